#include <csignal>

#include "core/ending_signals.h"
#include "tools/cli/command_table.h"

int main(int argc, char** argv) {
    // A command ended by a signal removes its temporary files first. The
    // signals are held back from here on, so every thread started later
    // leaves them to the thread that waits for them, which starts with the
    // first temporary file.
    WaitForEndingSignalsOnceNeeded();
    // A closed pipe is a write error like any other: reported, and the
    // temporary files removed, rather than the end of the process.
    std::signal(SIGPIPE, SIG_IGN);
    return RunCli(argc, argv);
}
