#include "core/safe_write.h"
#include "tools/cli/command_table.h"

int main(int argc, char** argv) {
    RemoveTemporaryFilesOnSignals();
    return RunCli(argc, argv);
}
