#include "tools/cli/command_table.h"

int main(int argc, char** argv) { return RunCli(argc, argv); }
