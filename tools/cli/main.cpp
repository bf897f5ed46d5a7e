#include "core/ending_signals.h"
#include "tools/cli/command_table.h"

int main(int argc, char** argv) {
    // A command ended by a signal removes its temporary files first.
    HoldBackEndingSignals();
    WaitForEndingSignals();
    return RunCli(argc, argv);
}
