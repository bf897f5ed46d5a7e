// The table of vendaru-cli's commands. A source file of commands adds its
// entries with a static CommandRegistration each, for example
//
//   static CommandRegistration pack({"pack", "IN.bmp [OUT.234]",
//       "Encode a BMP file as JPEG and compress it", ".bmp", ".234", ...});
//
// A command runs once for each input file: it reads TFileJob::Input and
// writes TFileJob::Output. It reports failure by throwing (best an
// EFileFailure that names the file and the reason); the tool prints the
// message to standard error and the exit status is 1. Warnings (an output
// written from a damaged input) make it 2.
#pragma once

#include <mutex>
#include <string>
#include <vector>

// One input of a command and where its output goes.
struct TFileJob {
    std::string Input;   // as given; "-" (or /dev/stdin) is standard input
    std::string Output;  // "-" is standard output; empty for a command without one
    bool Force = false;  // replace an existing output
    bool Quiet = false;  // no summary lines

    // Notes that the output was made from damaged input: "FILE: warning: TEXT".
    void Warn(const std::string& file, const std::string& text);
    std::vector<std::string> Warnings;
};

struct CliCommand {
    std::string Name;
    std::string Arguments;  // as shown in the help, e.g. "IN [OUT]"
    std::string Summary;    // one line for the help
    // An output named after its input: InputSuffix (when the input ends in
    // it, in any case) is replaced by OutputSuffix, or OutputSuffix is
    // appended. With SuffixRequired an input without the suffix needs its
    // output named.
    std::string InputSuffix;
    std::string OutputSuffix;
    bool SuffixRequired = false;
    // One input and no output file: it prints to standard output.
    bool PrintsOnly = false;
    // Several inputs run side by side, one per thread (pictures, whose
    // encoder takes one thread); otherwise one after the other.
    bool SideBySide = false;
    void (*Run)(TFileJob& job) = nullptr;
};

struct CommandRegistration {
    explicit CommandRegistration(CliCommand command);
};

// Every registered command, sorted by name.
std::vector<CliCommand> RegisteredCommands();

// The codec has one workspace: a command holds its turn while it runs the
// codec (and writes the codec's output).
class TCodecTurn {
public:
    TCodecTurn();
    TCodecTurn(const TCodecTurn&) = delete;
    TCodecTurn& operator=(const TCodecTurn&) = delete;

private:
    std::lock_guard<std::mutex> FLock;
};

// An output written without the codec (a decoded picture) waits for one of
// a few turns: each such output holds temporary files, and the list of them
// that a signal clears has room for a few at once.
class TWriteTurn {
public:
    TWriteTurn();
    ~TWriteTurn();
    TWriteTurn(const TWriteTurn&) = delete;
    TWriteTurn& operator=(const TWriteTurn&) = delete;
};

// Prints a job's summary lines, unless it is quiet: on standard output, or
// on standard error when the output itself goes to standard output.
void PrintSummary(const TFileJob& job, const std::string& text);

// Runs the tool on its command line; returns the exit status.
int RunCli(int argc, char** argv);
