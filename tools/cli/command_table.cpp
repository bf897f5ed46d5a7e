#include "tools/cli/command_table.h"

#include <algorithm>
#include <cstdio>
#include <exception>
#include <new>

#include "core/exceptions.h"
#include "core/safe_write.h"

#ifndef VENDARU_VERSION
#define VENDARU_VERSION "unknown"
#endif

namespace {

std::vector<CliCommand>& Table() {
    static std::vector<CliCommand> table;
    return table;
}

std::string Usage() {
    std::string text =
        "Usage: vendaru-cli COMMAND ARGUMENTS...\n"
        "\n"
        "Compresses any file with a byte-wise static Huffman code into a \".234\" file\n"
        "that carries its own code table, and expands such files again.\n"
        "\n"
        "Commands:\n";
    const std::vector<CliCommand> commands = RegisteredCommands();
    size_t width = 9;  // "--version"
    for (const CliCommand& c : commands) width = std::max(width, c.Name.size() + 1 + c.Arguments.size());
    for (const CliCommand& c : commands) {
        const std::string head = c.Name + " " + c.Arguments;
        text += "  " + head + std::string(width - head.size() + 2, ' ') + c.Summary + "\n";
    }
    text += "  --help" + std::string(width - 6 + 2, ' ') + "Show this help\n";
    text += "  --version" + std::string(width - 9 + 2, ' ') + "Show the version\n";
    text +=
        "\n"
        "An output file is written under a temporary name beside it and takes its\n"
        "place only when the command succeeds: a failure leaves no partial output\n"
        "and keeps a file that was there before.\n"
        "\n"
        "Exit status: 0 on success; on failure 1, with the reason on standard error.\n";
    return text;
}

int Fail(const std::string& message) {
    std::fprintf(stderr, "vendaru-cli: %s\n", message.c_str());
    return 1;
}

}  // namespace

CommandRegistration::CommandRegistration(CliCommand command) { Table().push_back(std::move(command)); }

std::vector<CliCommand> RegisteredCommands() {
    std::vector<CliCommand> commands = Table();
    std::sort(commands.begin(), commands.end(),
              [](const CliCommand& a, const CliCommand& b) { return a.Name < b.Name; });
    return commands;
}

int RunCli(int argc, char** argv) {
    const std::vector<std::string> words(argv + (argc > 0 ? 1 : 0), argv + argc);
    if (words.empty()) {
        std::fputs(Usage().c_str(), stderr);
        return 1;
    }
    const std::string& name = words[0];
    if (name == "--help" || name == "-h" || name == "help" || name == "--version") {
        const std::string text =
            name == "--version" ? std::string("vendaru-cli ") + VENDARU_VERSION + "\n" : Usage();
        std::fwrite(text.data(), 1, text.size(), stdout);
        return std::fflush(stdout) == 0 && !std::ferror(stdout) ? 0 : Fail("Stream write error");
    }
    const std::vector<CliCommand> commands = RegisteredCommands();
    const auto command = std::find_if(commands.begin(), commands.end(),
                                      [&](const CliCommand& c) { return c.Name == name; });
    if (command == commands.end())
        return Fail("unknown command \"" + name + "\" (see vendaru-cli --help)");
    const std::vector<std::string> arguments(words.begin() + 1, words.end());
    if (arguments.size() != command->ArgumentCount)
        return Fail("usage: vendaru-cli " + command->Name + " " + command->Arguments);
    try {
        command->Run(arguments);
    } catch (const EOutputError& e) {
        return Fail(e.Detail());
    } catch (const Exception& e) {
        return Fail(e.Message());
    } catch (const std::bad_alloc&) {
        return Fail("Out of memory");
    } catch (const std::exception& e) {
        return Fail(e.what());
    }
    return 0;
}
