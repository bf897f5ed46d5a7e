// Runs the command-line tool (built at VG_CLI_PATH) as a separate process,
// as a user runs it from a shell. A run that does not end within a minute
// is stopped and fails.
#pragma once

#include <sys/wait.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "tests/support/temp_dir.h"

struct CliResult {
    int status;       // exit status; 124 when stopped for taking too long, -1 on a signal
    std::string out;  // standard output
    std::string err;  // standard error
};

// One word for the shell, whatever characters it holds.
inline std::string ShellQuote(const std::string& word) {
    std::string quoted(1, '\'');
    for (const char c : word) {
        if (c == '\'')
            quoted.append("'\\''");
        else
            quoted.push_back(c);
    }
    quoted.push_back('\'');
    return quoted;
}

// Runs the tool with `arguments` inside `folder` (empty: the current one),
// with no standard input. Its output is kept outside `folder`; with
// `stdoutTo` the standard output goes to that file instead of `out`.
// `shellPrefix` runs in the same shell first (limits, ignored signals).
inline CliResult RunCli(const std::vector<std::string>& arguments, const std::string& folder = "",
                        const std::string& stdoutTo = "", const std::string& shellPrefix = "") {
    const TempDir logs;
    std::string command;
    if (!folder.empty()) command.append("cd ").append(ShellQuote(folder)).append(" && ");
    command.append(shellPrefix).append("timeout -k 5 60 ").append(ShellQuote(VG_CLI_PATH));
    for (const std::string& argument : arguments) command.append(" ").append(ShellQuote(argument));
    command.append(" >").append(ShellQuote(stdoutTo.empty() ? logs / "out" : stdoutTo));
    command.append(" 2>").append(ShellQuote(logs / "err")).append(" </dev/null");
    const int raw = std::system(command.c_str());
    const auto read = [](const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read(logs / "out"), read(logs / "err")};
}
