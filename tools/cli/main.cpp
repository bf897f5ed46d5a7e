#include "core/ending_signals.h"
#include "tools/cli/command_table.h"

int main(int argc, char** argv) {
    // A command ended by a signal removes its temporary files first. Its
    // temporary files are made on this thread, and the codec's threads take
    // no signals, so the thread that waits for them starts with the first.
    WaitForEndingSignalsOnceNeeded();
    return RunCli(argc, argv);
}
