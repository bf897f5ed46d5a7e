#include <csignal>

#include "core/safe_write.h"
#include "tools/cli/command_table.h"

int main(int argc, char** argv) {
    RemoveTemporaryFilesOnSignals();
    // A closed pipe is a write error like any other: reported, and the
    // temporary files removed, rather than the end of the process.
    std::signal(SIGPIPE, SIG_IGN);
    return RunCli(argc, argv);
}
