// vendaru-cli end to end: the built tool is run as a separate process.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "core/safe_write.h"
#include "tests/support/cli_runner.h"

namespace {

namespace fs = std::filesystem;

std::string ReadText(const fs::path& name) {
    std::ifstream in(name, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteText(const fs::path& name, const std::string& text) {
    std::ofstream(name, std::ios::binary | std::ios::trunc) << text;
}

class CliTest : public ::testing::Test {
protected:
    std::string Path(const std::string& name) const { return FFolder / name; }

    // Runs the tool; its standard output and error land in Out and Err.
    int Run(const std::vector<std::string>& arguments, const std::string& stdoutTo = "",
            const std::string& stdinFrom = "") {
        const CliResult result = RunCli(arguments, "", stdoutTo, ShellPrefix, stdinFrom);
        Out = result.out;
        Err = result.err;
        return result.status;
    }

    // Names in the scratch folder, to find left-over temporary files.
    std::vector<std::string> Listing() const { return FFolder.Names(); }
    const std::string& Folder() const { return FFolder.path.native(); }

    std::string Out, Err;
    std::string ShellPrefix;  // shell commands run before the tool, e.g. limits

private:
    TempDir FFolder;
};

const std::string kAbracadabra234(
    "\x07\x0F\x00\x00\x00\x41\x01\x00\x42\x03\xC0\x43\x03\x80\x44\x03\xA0\x52\x03\xE0\x6E\x8A\xDC",
    23);

}  // namespace

TEST_F(CliTest, CompressExpandAndListing) {
    WriteText(Path("word"), "ABRACADABRA");
    ASSERT_EQ(Run({"compress", Path("word"), Path("word.234")}), 0) << Err;
    EXPECT_EQ(ReadText(Path("word.234")), kAbracadabra234);
    ASSERT_EQ(Run({"expand", Path("word.234"), Path("back")}), 0) << Err;
    EXPECT_EQ(ReadText(Path("back")), "ABRACADABRA");
    ASSERT_EQ(Run({"listing", Path("word")}), 0) << Err;
    EXPECT_EQ(Out, "Kode: 65- 0\r\nKode: 66- 110\r\nKode: 67- 100\r\nKode: 68- 101\r\nKode: 82- 111\r\n");
    EXPECT_EQ(Err, "");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"back", "word", "word.234"}));

    // The input itself, by its name, through a link or by a second name
    // (a hard link), is never the output, not even with -f.
    fs::create_symlink(Path("word"), Path("word-link"));
    fs::create_hard_link(Path("word"), Path("word-too"));
    for (const std::string& output : {Path("word"), Path("word-link"), Path("word-too")}) {
        EXPECT_EQ(Run({"compress", "-f", Path("word"), output}), 1) << output;
        EXPECT_EQ(Err, "vendaru-cli: compress: " + output + ": the input file itself; not overwritten\n");
    }
    EXPECT_EQ(ReadText(Path("word")), "ABRACADABRA");
    fs::remove(Path("word-link"));
    fs::remove(Path("word-too"));

    // An output named after its input, beside it; one that exists is
    // replaced only with -f.
    fs::rename(Path("word.234"), Path("copy.234"));
    ASSERT_EQ(Run({"expand", Path("copy.234")}), 0) << Err;
    EXPECT_EQ(ReadText(Path("copy")), "ABRACADABRA");
    fs::remove(Path("copy.234"));
    ASSERT_EQ(Run({"compress", Path("copy")}), 0) << Err;
    EXPECT_EQ(ReadText(Path("copy.234")), kAbracadabra234);
    WriteText(Path("copy"), "other");
    EXPECT_EQ(Run({"expand", Path("copy.234")}), 1);
    EXPECT_EQ(Err, "vendaru-cli: expand: " + Path("copy") + " already exists; not overwritten (-f replaces it)\n");
    EXPECT_EQ(ReadText(Path("copy")), "other");
    ASSERT_EQ(Run({"--force", "expand", Path("copy.234")}), 0) << Err;
    EXPECT_EQ(ReadText(Path("copy")), "ABRACADABRA");
    EXPECT_EQ(Run({"expand", Path("word")}), 1);  // no ".234" to take off
    EXPECT_EQ(Err, "vendaru-cli: expand: " + Path("word") + ": does not end in .234; name the output\n");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"back", "copy", "copy.234", "word"}));
}

TEST_F(CliTest, HelpAndUsageErrors) {
    EXPECT_EQ(Run({"--help"}), 0);
    for (const char* word : {"compress IN [OUT]", "expand IN.234 [OUT]", "listing IN", "pack IN.bmp [OUT.234]",
                             "IN... FOLDER", "--help", "--version", "--force", "--quiet", "--threads=N",
                             "VENDARU_THREADS", "2 when"})
        EXPECT_NE(Out.find(word), std::string::npos) << word;
    for (const char* version : {"--version", "-V"}) {
        EXPECT_EQ(Run({version}), 0);
        EXPECT_EQ(Out.rfind("vendaru-cli ", 0), 0u) << Out;
        EXPECT_EQ(Out.find("unknown"), std::string::npos) << Out;
    }
    // A command's own usage, on standard output.
    EXPECT_EQ(Run({"pack", "--help"}), 0);
    EXPECT_EQ(Out.rfind("Usage: vendaru-cli pack", 0), 0u) << Out;
    EXPECT_EQ(Err, "");
    EXPECT_EQ(Run({"--help"}, "/dev/full"), 1);
    EXPECT_EQ(Err, "vendaru-cli: standard output: No space left on device\n");

    EXPECT_EQ(Run({}), 1);
    EXPECT_NE(Err.find("Usage"), std::string::npos);
    EXPECT_EQ(Run({"squeeze", "a", "b"}), 1);
    EXPECT_NE(Err.find("unknown command"), std::string::npos);
    EXPECT_EQ(Run({"compress"}), 1);
    EXPECT_NE(Err.find("compress IN [OUT]"), std::string::npos) << Err;
    // Extra words are refused, not ignored.
    EXPECT_EQ(Run({"listing", Path("a"), Path("b")}), 1);
    EXPECT_NE(Err.find("one input only"), std::string::npos) << Err;
    EXPECT_EQ(Run({"compress", Path("a"), Path("b"), Path("c")}), 1);
    EXPECT_NE(Err.find(Path("c") + ": not a folder"), std::string::npos) << Err;
    EXPECT_EQ(Run({"--version", "compress"}), 1);
    EXPECT_EQ(Run({"compress", "--level=9", Path("a")}), 1);
    EXPECT_NE(Err.find("unknown option --level=9"), std::string::npos) << Err;
    EXPECT_EQ(Run({"-T", "0", "compress", Path("a")}), 1);
    EXPECT_NE(Err.find("invalid thread count"), std::string::npos) << Err;
    EXPECT_TRUE(Listing().empty());
}

TEST_F(CliTest, FailuresLeaveNoPartialOutputAndKeepTheOldOne) {
    EXPECT_EQ(Run({"compress", Path("missing"), Path("out.234")}), 1);
    EXPECT_EQ(Err, "vendaru-cli: compress: " + Path("missing") + ": No such file or directory\n");
    EXPECT_EQ(Run({"compress", Folder(), Path("out.234")}), 1);
    EXPECT_EQ(Err, "vendaru-cli: compress: " + Folder() + ": Is a directory\n");
    EXPECT_TRUE(Listing().empty());

    WriteText(Path("damaged.234"), std::string("\x01\x06\x00\x00\x00\x41\x01\x00\x42\x01\x80", 11));
    WriteText(Path("out"), "precious");
    ::chmod(Path("out").c_str(), 0440);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(Path("out").c_str(), 4321, 4321), 0);
    }
    EXPECT_EQ(Run({"expand", Path("damaged.234"), Path("out")}), 1);
    EXPECT_EQ(Err, "vendaru-cli: expand: " + Path("out") + " is write-protected; not overwritten (-f replaces it)\n");
    EXPECT_EQ(Run({"expand", "-f", Path("damaged.234"), Path("out")}), 1);
    EXPECT_EQ(Err.rfind("vendaru-cli: expand: " + Path("damaged.234") + ": ", 0), 0u) << Err;
    EXPECT_NE(Err.find("not a valid compressed file"), std::string::npos) << Err;
    EXPECT_EQ(ReadText(Path("out")), "precious");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"damaged.234", "out"}));

    // A replaced output keeps its permission bits, read-only ones too, and
    // (when root replaces it) its owner and group.
    WriteText(Path("word"), "ABRACADABRA");
    ASSERT_EQ(Run({"compress", "-f", Path("word"), Path("out")}), 0) << Err;
    struct stat st {};
    ASSERT_EQ(::stat(Path("out").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0440u);
    if (root) {
        EXPECT_TRUE(st.st_uid == 4321 && st.st_gid == 4321);
    }

    // A write that fails (here beyond the file size limit, like a full
    // disk) is reported with the output's name and the reason.
    std::string noise(4096, '\0');
    for (size_t i = 0; i < noise.size(); ++i) noise[i] = char(i * 2654435761u >> 13);
    WriteText(Path("noise"), noise);
    ShellPrefix = "trap '' XFSZ; ulimit -f 1; ";
    EXPECT_EQ(Run({"compress", "-f", Path("noise"), Path("out")}), 1);
    ShellPrefix.clear();
    EXPECT_EQ(Err, "vendaru-cli: compress: " + Path("out") + ": File too large\n");
    EXPECT_EQ(ReadText(Path("out")), kAbracadabra234);
    fs::remove(Path("noise"));

    EXPECT_EQ(Run({"compress", Path("word"), Path("no/such/folder/out")}), 1);
    EXPECT_EQ(Err, "vendaru-cli: compress: " + Path("no/such/folder/out") + ": No such file or directory\n");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"damaged.234", "out", "word"}));
}

TEST_F(CliTest, SignalMidRunRemovesTheTemporaryFileAndKeepsTheOldOutput) {
    // A sparse input, large enough that compressing it is still running
    // when the signal comes.
    std::ofstream(Path("big")).close();
    fs::resize_file(Path("big"), 1500000000);
    WriteText(Path("out"), "old");
    for (const int signal : {SIGINT, SIGTERM, SIGHUP}) {
        posix_spawnattr_t attributes;
        ASSERT_EQ(::posix_spawnattr_init(&attributes), 0);
        sigset_t none, handled;
        sigemptyset(&none);
        sigemptyset(&handled);
        for (const int s : {SIGINT, SIGTERM, SIGHUP}) sigaddset(&handled, s);
        ::posix_spawnattr_setsigmask(&attributes, &none);
        ::posix_spawnattr_setsigdefault(&attributes, &handled);
        ::posix_spawnattr_setflags(&attributes, POSIX_SPAWN_SETSIGMASK | POSIX_SPAWN_SETSIGDEF);
        const std::string big = Path("big"), out = Path("out");
        char* argv[] = {const_cast<char*>(VG_CLI_PATH), const_cast<char*>("compress"), const_cast<char*>("-f"),
                        const_cast<char*>(big.c_str()), const_cast<char*>(out.c_str()), nullptr};
        pid_t pid = 0;
        ASSERT_EQ(::posix_spawn(&pid, VG_CLI_PATH, nullptr, &attributes, argv, environ), 0);
        ::posix_spawnattr_destroy(&attributes);

        const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(60);
        while (Listing().size() < 3 && std::chrono::steady_clock::now() < deadline) ::usleep(1000);
        EXPECT_EQ(Listing().size(), 3u) << "no temporary file appeared";
        ::kill(pid, signal);
        int status = 0;
        ASSERT_EQ(::waitpid(pid, &status, 0), pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == signal) << signal;
        EXPECT_EQ(Listing(), (std::vector<std::string>{"big", "out"})) << signal;
        EXPECT_EQ(ReadText(Path("out")), "old");
    }
}

TEST_F(CliTest, ListingToAFullDeviceFails) {
    WriteText(Path("word"), "ABRACADABRA");
    EXPECT_EQ(Run({"listing", Path("word")}, "/dev/full"), 1);
    EXPECT_EQ(Err, "vendaru-cli: listing: standard output: No space left on device\n");
}

TEST_F(CliTest, StandardInputAndOutputBothWays) {
    WriteText(Path("word"), "ABRACADABRA");
    WriteText(Path("word.234"), kAbracadabra234);
    ASSERT_EQ(Run({"compress", "-", "-"}, "", Path("word")), 0) << Err;
    EXPECT_EQ(Out, kAbracadabra234);
    ASSERT_EQ(Run({"expand", "/dev/stdin", "/dev/stdout"}, "", Path("word.234")), 0) << Err;
    EXPECT_EQ(Out, "ABRACADABRA");
    ASSERT_EQ(Run({"listing", "-"}, "", Path("word")), 0) << Err;
    EXPECT_EQ(Out, "Kode: 65- 0\r\nKode: 66- 110\r\nKode: 67- 100\r\nKode: 68- 101\r\nKode: 82- 111\r\n");
    // From a pipe, which can be read only once, to a file; "-" alone is both.
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    ShellPrefix = "(printf ABRACADABRA > " + ShellQuote(Path("pipe")) + " &); ";
    ASSERT_EQ(Run({"compress", "-", Path("piped.234")}, "", Path("pipe")), 0) << Err;
    EXPECT_EQ(ReadText(Path("piped.234")), kAbracadabra234);
    ShellPrefix = "(cat " + ShellQuote(Path("word.234")) + " > " + ShellQuote(Path("pipe")) + " &); ";
    ASSERT_EQ(Run({"expand", "-"}, "", Path("pipe")), 0) << Err;
    ShellPrefix.clear();
    EXPECT_EQ(Out, "ABRACADABRA");
    // Damaged input on standard input is named so.
    EXPECT_EQ(Run({"expand", "-", "-"}, "", Path("word")), 1);
    EXPECT_EQ(Err.rfind("vendaru-cli: expand: standard input: ", 0), 0u) << Err;
    EXPECT_EQ(Out, "");
    // No file named "-", and no temporary file, is left.
    EXPECT_EQ(Listing(), (std::vector<std::string>{"pipe", "piped.234", "word", "word.234"}));
}

TEST_F(CliTest, ClosedPipeIsAWriteErrorLikeAnyOther) {
    WriteText(Path("word"), "ABRACADABRA");
    for (const std::vector<std::string>& arguments :
         {std::vector<std::string>{"compress", "word", "-"}, {"listing", "word"}, {"--help"}}) {
        const CliResult result = RunCliIntoClosedPipe(arguments, Folder());
        EXPECT_EQ(result.status, 1) << arguments[0];
        EXPECT_NE(result.err.find("standard output: Broken pipe"), std::string::npos) << result.err;
    }
    EXPECT_EQ(Listing(), (std::vector<std::string>{"word"}));
}

TEST_F(CliTest, OutputsThatAreLinksPipesOrLongNames) {
    WriteText(Path("word"), "ABRACADABRA");
    // Through a link: the link stays and the file it names is replaced.
    WriteText(Path("real"), "old");
    fs::create_symlink(Path("real"), Path("link"));
    ASSERT_EQ(Run({"compress", "-f", Path("word"), Path("link")}), 0) << Err;
    EXPECT_TRUE(fs::is_symlink(Path("link")));
    EXPECT_EQ(ReadText(Path("real")), kAbracadabra234);
    // A link to nothing, or in a loop, is refused: it would become a file.
    fs::remove(Path("real"));
    fs::create_symlink(Path("loop-a"), Path("loop-b"));
    fs::create_symlink(Path("loop-b"), Path("loop-a"));
    for (const char* name : {"link", "loop-a"}) {
        EXPECT_EQ(Run({"compress", "-f", Path("word"), Path(name)}), 1) << name;
        EXPECT_NE(Err.find(Path(name) + ": "), std::string::npos) << Err;
        EXPECT_NE(Err.find("not replaced"), std::string::npos) << Err;
        EXPECT_TRUE(fs::is_symlink(Path(name)));
        // The windows' saves refuse them too.
        EXPECT_THROW(WriteFileSafely(Path(name), [](const std::string& file) { WriteText(file, "new"); }), EError);
        EXPECT_TRUE(fs::is_symlink(Path(name)));
    }
    fs::remove(Path("loop-a"));
    fs::remove(Path("loop-b"));
    WriteText(Path("real"), "old");

    // A pipe (like a device) is refused, not replaced by a file.
    ASSERT_EQ(::mkfifo(Path("pipe").c_str(), 0600), 0);
    EXPECT_EQ(Run({"compress", Path("word"), Path("pipe")}), 1);
    EXPECT_NE(Err.find("not a regular file"), std::string::npos) << Err;
    EXPECT_TRUE(fs::is_fifo(Path("pipe")));
    EXPECT_EQ(Listing(), (std::vector<std::string>{"link", "pipe", "real", "word"}));

    // The longest name a folder allows.
    const std::string longName(255, 'n');
    ASSERT_EQ(Run({"compress", Path("word"), Path(longName)}), 0) << Err;
    EXPECT_EQ(ReadText(Path(longName)), kAbracadabra234);
}
