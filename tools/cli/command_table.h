// The table of vendaru-cli's commands. A source file of commands adds its
// entries with a static CommandRegistration each, for example
//
//   static CommandRegistration pack({"pack", "IN.bmp OUT.234",
//       "Encode a BMP file as JPEG and compress it", 2, &Pack});
//
// A command reports failure by throwing; the tool then prints the message
// to standard error and exits with status 1.
#pragma once

#include <string>
#include <vector>

struct CliCommand {
    std::string Name;
    std::string Arguments;  // as shown in the help, e.g. "IN OUT"
    std::string Summary;    // one line for the help
    size_t ArgumentCount;
    void (*Run)(const std::vector<std::string>& arguments);
};

struct CommandRegistration {
    explicit CommandRegistration(CliCommand command);
};

// Every registered command, sorted by name.
std::vector<CliCommand> RegisteredCommands();

// Runs the tool on its command line; returns the exit status.
int RunCli(int argc, char** argv);
