#include "tools/cli/command_table.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdio>
#include <exception>
#include <semaphore>
#include <set>

#include "core/ending_signals.h"
#include "core/thread_cap.h"
#include "core/worker_threads.h"
#include "tools/cli/cli_files.h"

#ifndef VENDARU_VERSION
#define VENDARU_VERSION "unknown"
#endif

namespace {

std::vector<CliCommand>& Table() {
    static std::vector<CliCommand> table;
    return table;
}

std::mutex CodecLock;
std::mutex PrintLock;

// --- messages ------------------------------------------------------------------

void PrintError(const std::string& text) {
    const std::string line = "vendaru-cli: " + text + "\n";
    const std::lock_guard lock(PrintLock);
    std::fputs(line.c_str(), stderr);
    std::fflush(stderr);
}

int Fail(const std::string& text) {
    PrintError(text);
    return 1;
}

// --- help ----------------------------------------------------------------------

const char* const kOptionsHelp =
    "Options:\n"
    "  -f, --force          replace output files that exist (never the input itself)\n"
    "  -q, --quiet          print no summary lines\n"
    "  -T N, --threads=N    use at most N threads at once (default: VENDARU_THREADS,\n"
    "                       else one per processor this process may run on)\n"
    "  -h, --help           show this help (after a command: that command's)\n"
    "  -V, --version        show the version\n";

const char* const kFormsHelp =
    "Every command but listing takes its files in these forms:\n"
    "  COMMAND IN               the output beside IN: a.bmp -> a.234 (pack),\n"
    "                           a.234 -> a.bmp (unpack), x -> x.234 (compress),\n"
    "                           x.234 -> x (expand)\n"
    "  COMMAND IN OUT           the output OUT (inside OUT, when it is a folder)\n"
    "  COMMAND IN... FOLDER     one output for each IN, named as above, in FOLDER\n"
    "\"-\" (or /dev/stdin, /dev/stdout) reads standard input or writes standard\n"
    "output; COMMAND - alone does both. Several pictures are packed or unpacked\n"
    "side by side, one per thread.\n";

const char* const kTrailerHelp =
    "\n"
    "An output file is written under a temporary name beside it and takes its\n"
    "place only when its input has been handled: a failure leaves no partial\n"
    "output and keeps a file that was there before. An existing output is\n"
    "replaced only with -f; a symbolic link keeps pointing at the file it names.\n"
    "\n"
    "Environment: VENDARU_THREADS, the most threads to use at once (as -T).\n"
    "\n"
    "Exit status: 0 on success; 1 when any file failed, with the reason on\n"
    "standard error; 2 when every output was written but some input was damaged\n"
    "or cut short (a warning on standard error names it).\n";

std::string Usage() {
    std::string text =
        "Usage: vendaru-cli [OPTIONS] COMMAND [OPTIONS] FILE...\n"
        "\n"
        "Compresses any file with a byte-wise static Huffman code into a \".234\" file\n"
        "that carries its own code table, and expands such files again; packs BMP\n"
        "pictures as JPEG (quality 90) into \".234\" files and back.\n"
        "\n"
        "Commands:\n";
    const std::vector<CliCommand> commands = RegisteredCommands();
    size_t width = 0;
    for (const CliCommand& c : commands) width = std::max(width, c.Name.size() + 1 + c.Arguments.size());
    for (const CliCommand& c : commands) {
        const std::string head = c.Name + " " + c.Arguments;
        text += "  " + head + std::string(width - head.size() + 2, ' ') + c.Summary + "\n";
    }
    return text + "\n" + kFormsHelp + "\n" + kOptionsHelp + kTrailerHelp;
}

std::string CommandUsage(const CliCommand& c) {
    std::string text = "Usage: vendaru-cli " + c.Name + " [OPTIONS] " + c.Arguments + "\n";
    if (!c.PrintsOnly) text += "       vendaru-cli " + c.Name + " [OPTIONS] IN... FOLDER\n";
    text += "\n" + c.Summary + ".\n\n";
    if (!c.PrintsOnly) text += std::string(kFormsHelp) + "\n";
    return text + kOptionsHelp;
}

int PrintHelp(const std::string& text) {
    try {
        WriteStandardOutput(text);
    } catch (const EFileFailure& e) {
        return Fail(e.what());
    }
    return 0;
}

// --- the command line ------------------------------------------------------------

struct TCommandLine {
    bool Help = false, Version = false, Force = false, Quiet = false;
    std::vector<std::string> Operands;  // the command first
};

// Reads the options wherever they stand, before "--". Throws a message.
TCommandLine ParseCommandLine(const std::vector<std::string>& words) {
    TCommandLine line;
    const auto threads = [](const std::string& value) {
        const int count = ParseThreadCount(value.c_str());
        if (count < 1) throw std::string("invalid thread count \"" + value + "\" (a whole number from 1)");
        SetThreadCap(count);
    };
    bool optionsEnd = false;
    for (size_t i = 0; i < words.size(); ++i) {
        const std::string& w = words[i];
        if (optionsEnd || w == "-" || w.empty() || w[0] != '-') {
            line.Operands.push_back(w);
        } else if (w == "--") {
            optionsEnd = true;
        } else if (w.rfind("--", 0) == 0) {
            const size_t equals = w.find('=');
            const std::string name = w.substr(0, equals);
            if (name == "--threads") {
                if (equals != std::string::npos) {
                    threads(w.substr(equals + 1));
                } else {
                    if (i + 1 >= words.size()) throw std::string("option --threads needs a number");
                    threads(words[++i]);
                }
                continue;
            }
            bool* const flag = name == "--help"      ? &line.Help
                               : name == "--version" ? &line.Version
                               : name == "--force"   ? &line.Force
                               : name == "--quiet"   ? &line.Quiet
                                                     : nullptr;
            if (!flag) throw std::string("unknown option " + w + " (see vendaru-cli --help)");
            if (equals != std::string::npos) throw std::string("option " + name + " takes no value");
            *flag = true;
        } else {
            for (size_t k = 1; k < w.size(); ++k) {
                switch (w[k]) {
                    case 'h': line.Help = true; break;
                    case 'V': line.Version = true; break;
                    case 'f': line.Force = true; break;
                    case 'q': line.Quiet = true; break;
                    case 'T':
                        if (k + 1 < w.size()) {
                            threads(w.substr(k + 1));
                        } else {
                            if (i + 1 >= words.size()) throw std::string("option -T needs a number");
                            threads(words[++i]);
                        }
                        k = w.size();
                        break;
                    default:
                        throw std::string("unknown option -") + w[k] + " (see vendaru-cli --help)";
                }
            }
        }
    }
    return line;
}

// --- names of outputs ----------------------------------------------------------

bool EndsWithIgnoringCase(const std::string& text, const std::string& suffix) {
    if (suffix.empty() || text.size() <= suffix.size()) return false;
    return std::equal(suffix.rbegin(), suffix.rend(), text.rbegin(), [](char a, char b) {
        return std::tolower(static_cast<unsigned char>(a)) == std::tolower(static_cast<unsigned char>(b));
    });
}

// The output named after `input`, beside it.
std::string OutputNameFor(const CliCommand& c, const std::string& input) {
    if (IsStandardInput(input))
        throw EFileFailure(InputLabel(input), "has no name to name the output after; name the output");
    if (EndsWithIgnoringCase(input, c.InputSuffix))
        return input.substr(0, input.size() - c.InputSuffix.size()) + c.OutputSuffix;
    if (c.SuffixRequired)
        throw EFileFailure(input, "does not end in " + c.InputSuffix + "; name the output");
    return input + c.OutputSuffix;
}

std::string BaseName(const std::string& name) {
    std::string trimmed = name;
    while (trimmed.size() > 1 && trimmed.back() == '/') trimmed.pop_back();
    const size_t slash = trimmed.rfind('/');
    return slash == std::string::npos ? trimmed : trimmed.substr(slash + 1);
}

bool IsFolder(const std::string& name) {
    struct stat st {};
    return !IsStandardOutput(name) && ::stat(name.c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::string InFolder(const std::string& folder, const std::string& name) {
    return folder + (folder.back() == '/' ? "" : "/") + name;
}

// One job per input. A job whose output cannot be named keeps the failure
// (reported when the job runs); a wrong form of the whole line is thrown.
struct TPlannedJob {
    TFileJob Job;
    std::string Failure;
};

std::vector<TPlannedJob> PlanJobs(const CliCommand& c, const TCommandLine& line) {
    const std::vector<std::string> files(line.Operands.begin() + 1, line.Operands.end());
    const std::string usage = "usage: vendaru-cli " + c.Name + " " + c.Arguments;
    if (files.empty()) throw std::string(c.Name + ": no input given (" + usage + ")");
    if (c.PrintsOnly && files.size() > 1) throw std::string(c.Name + ": one input only (" + usage + ")");
    std::vector<std::pair<std::string, std::string>> pairs;  // input, output ("": named after it)
    if (c.PrintsOnly) {
        pairs.emplace_back(files[0], "");
    } else if (files.size() == 1) {
        pairs.emplace_back(files[0], IsStandardInput(files[0]) ? "-" : "");
    } else if (files.size() == 2 && !IsFolder(files[1])) {
        pairs.emplace_back(files[0], files[1]);
    } else {
        const std::string& folder = files.back();
        if (!IsFolder(folder))
            throw std::string(c.Name + ": " + folder + ": not a folder (several inputs go into a folder, named last)");
        for (size_t i = 0; i + 1 < files.size(); ++i) pairs.emplace_back(files[i], folder);
    }
    std::vector<TPlannedJob> jobs;
    std::set<std::string> outputs;
    for (const auto& [input, given] : pairs) {
        TPlannedJob& planned = jobs.emplace_back();
        planned.Job.Input = input;
        planned.Job.Force = line.Force;
        planned.Job.Quiet = line.Quiet;
        if (c.PrintsOnly) continue;
        try {
            if (given.empty())
                planned.Job.Output = OutputNameFor(c, input);
            else if (IsFolder(given))
                planned.Job.Output = InFolder(given, BaseName(OutputNameFor(c, input)));
            else
                planned.Job.Output = given;
        } catch (const EFileFailure& e) {
            planned.Failure = e.what();
            continue;
        }
        if (!IsStandardOutput(planned.Job.Output) && !outputs.insert(planned.Job.Output).second)
            planned.Failure = planned.Job.Output + ": the output of an earlier input too; not overwritten";
    }
    return jobs;
}

// --- running the jobs --------------------------------------------------------------

// Runs one job and reports on it; returns its exit status.
int RunJob(const CliCommand& c, TPlannedJob& planned) {
    TFileJob& job = planned.Job;
    if (!planned.Failure.empty()) return Fail(c.Name + ": " + planned.Failure);
    try {
        c.Run(job);
    } catch (const EFileFailure& e) {
        return Fail(c.Name + ": " + e.what());
    } catch (const std::exception& e) {
        const std::string input = InputLabel(job.Input);
        return Fail(c.Name + ": " + input + ": " + ReasonOf(e, input));
    }
    for (const std::string& warning : job.Warnings) PrintError(c.Name + ": " + warning);
    return job.Warnings.empty() ? 0 : 2;
}

// The worse of two exit statuses: a failure (1) over a warning (2) over success.
int Worse(int a, int b) {
    const auto rank = [](int status) { return status == 1 ? 2 : status == 2 ? 1 : 0; };
    return rank(a) >= rank(b) ? a : b;
}

int RunJobs(const CliCommand& c, std::vector<TPlannedJob>& jobs) {
    const int threads = c.SideBySide ? std::min<int>(ThreadCap(), int(jobs.size())) : 1;
    // The kept threads take no signals: the thread that waits for them must
    // be there before any of them makes a temporary file.
    if (threads > 1) EndingSignalsNeeded();
    // One picture per thread; the codec, called from a part, then runs on
    // that part's thread alone.
    std::vector<int> statuses(jobs.size(), 0);
    RunParts(int(jobs.size()), [&](int i) { statuses[size_t(i)] = RunJob(c, jobs[size_t(i)]); }, threads);
    int worst = 0;
    for (const int status : statuses) worst = Worse(worst, status);
    return worst;
}

}  // namespace

void TFileJob::Warn(const std::string& file, const std::string& text) {
    Warnings.push_back(file + ": warning: " + text);
}

CommandRegistration::CommandRegistration(CliCommand command) { Table().push_back(std::move(command)); }

std::vector<CliCommand> RegisteredCommands() {
    std::vector<CliCommand> commands = Table();
    std::sort(commands.begin(), commands.end(),
              [](const CliCommand& a, const CliCommand& b) { return a.Name < b.Name; });
    return commands;
}

TCodecTurn::TCodecTurn() : FLock(CodecLock) {}

namespace {
// Two temporary files an output at the most (standard output goes through
// one too), against the eight that the list holds.
constexpr int kWritersAtOnce = 3;
std::counting_semaphore<kWritersAtOnce> Writers(kWritersAtOnce);
}  // namespace

TWriteTurn::TWriteTurn() { Writers.acquire(); }
TWriteTurn::~TWriteTurn() { Writers.release(); }

void PrintSummary(const TFileJob& job, const std::string& text) {
    if (job.Quiet) return;
    const std::lock_guard lock(PrintLock);
    if (IsStandardOutput(job.Output)) {
        std::fputs(text.c_str(), stderr);
        std::fflush(stderr);
        return;
    }
    WriteStandardOutput(text);
}

int RunCli(int argc, char** argv) {
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    TCommandLine line;
    try {
        line = ParseCommandLine(words);
    } catch (const std::string& message) {
        return Fail(message);
    }
    if (line.Operands.empty()) {
        if (line.Version && !line.Help) return PrintHelp(std::string("vendaru-cli ") + VENDARU_VERSION + "\n");
        if (line.Help) return PrintHelp(Usage());
        std::fputs(Usage().c_str(), stderr);
        return 1;
    }
    const std::string& name = line.Operands[0];
    if (name == "help" && line.Operands.size() == 1) return PrintHelp(Usage());
    const std::vector<CliCommand> commands = RegisteredCommands();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&](const CliCommand& c) { return c.Name == name; });
    if (command == commands.end())
        return Fail("unknown command \"" + name + "\" (see vendaru-cli --help)");
    if (line.Help) {
        if (line.Operands.size() > 1) return Fail(name + ": --help takes no files");
        return PrintHelp(CommandUsage(*command));
    }
    if (line.Version) return Fail(name + ": --version takes no command");
    std::vector<TPlannedJob> jobs;
    try {
        jobs = PlanJobs(*command, line);
    } catch (const std::string& message) {
        return Fail(message);
    }
    return RunJobs(*command, jobs);
}
