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
    int Run(const std::vector<std::string>& arguments, const std::string& stdoutTo = "") {
        const CliResult result = RunCli(arguments, "", stdoutTo, ShellPrefix);
        Out = result.out;
        Err = result.err;
        return result.status;
    }

    // Names in the scratch folder, to find left-over temporary files.
    std::vector<std::string> Listing() const { return FFolder.Names(); }

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

    // Output over the input: the input is read in full before it is replaced.
    ASSERT_EQ(Run({"compress", Path("word"), Path("word")}), 0) << Err;
    EXPECT_EQ(ReadText(Path("word")), kAbracadabra234);
}

TEST_F(CliTest, HelpAndUsageErrors) {
    EXPECT_EQ(Run({"--help"}), 0);
    for (const char* word : {"compress IN OUT", "expand IN OUT", "listing IN", "--help", "--version"})
        EXPECT_NE(Out.find(word), std::string::npos) << word;
    EXPECT_EQ(Run({"--version"}), 0);
    EXPECT_EQ(Out.rfind("vendaru-cli ", 0), 0u) << Out;
    EXPECT_EQ(Out.find("unknown"), std::string::npos) << Out;
    EXPECT_EQ(Run({}), 1);
    EXPECT_NE(Err.find("Usage"), std::string::npos);
    EXPECT_EQ(Run({"squeeze", "a", "b"}), 1);
    EXPECT_NE(Err.find("unknown command"), std::string::npos);
    EXPECT_EQ(Run({"compress", Path("a")}), 1);
    EXPECT_NE(Err.find("compress IN OUT"), std::string::npos);
}

TEST_F(CliTest, FailuresLeaveNoPartialOutputAndKeepTheOldOne) {
    EXPECT_EQ(Run({"compress", Path("missing"), Path("out.234")}), 1);
    EXPECT_EQ(Err, "vendaru-cli: Invalid Filename\n");
    EXPECT_TRUE(Listing().empty());

    WriteText(Path("damaged.234"), std::string("\x01\x06\x00\x00\x00\x41\x01\x00\x42\x01\x80", 11));
    WriteText(Path("out"), "precious");
    ::chmod(Path("out").c_str(), 0440);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(Path("out").c_str(), 4321, 4321), 0);
    }
    EXPECT_EQ(Run({"expand", Path("damaged.234"), Path("out")}), 1);
    EXPECT_NE(Err.find("not a valid compressed file"), std::string::npos) << Err;
    EXPECT_EQ(ReadText(Path("out")), "precious");
    EXPECT_EQ(Listing(), (std::vector<std::string>{"damaged.234", "out"}));

    // A replaced output keeps its permission bits, read-only ones too, and
    // (when root replaces it) its owner and group.
    WriteText(Path("word"), "ABRACADABRA");
    ASSERT_EQ(Run({"compress", Path("word"), Path("out")}), 0) << Err;
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
    EXPECT_EQ(Run({"compress", Path("noise"), Path("out")}), 1);
    ShellPrefix.clear();
    EXPECT_EQ(Err, "vendaru-cli: Cannot write " + Path("out") + ": File too large\n");
    EXPECT_EQ(ReadText(Path("out")), kAbracadabra234);
    fs::remove(Path("noise"));

    EXPECT_EQ(Run({"compress", Path("word"), Path("no/such/folder/out")}), 1);
    EXPECT_NE(Err.find("Cannot create file"), std::string::npos) << Err;
    EXPECT_EQ(Run({"compress", Path("word"), Path("")}), 1);  // a folder as output
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
        char* argv[] = {const_cast<char*>(VG_CLI_PATH), const_cast<char*>("compress"),
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
    EXPECT_NE(Err.find("write error"), std::string::npos) << Err;
}

TEST_F(CliTest, OutputsThatAreLinksPipesOrLongNames) {
    WriteText(Path("word"), "ABRACADABRA");
    // Through a link: the link stays and the file it names is replaced.
    WriteText(Path("real"), "old");
    fs::create_symlink(Path("real"), Path("link"));
    ASSERT_EQ(Run({"compress", Path("word"), Path("link")}), 0) << Err;
    EXPECT_TRUE(fs::is_symlink(Path("link")));
    EXPECT_EQ(ReadText(Path("real")), kAbracadabra234);

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
