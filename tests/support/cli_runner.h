// Runs the command-line tool (built at VG_CLI_PATH) as a separate process,
// as a user runs it from a shell. A run that does not end within a minute
// is stopped and fails.
#pragma once

#include <fcntl.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

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
// with standard input from `stdinFrom` (none when empty). Its output is kept
// outside `folder`; with `stdoutTo` the standard output goes to that file
// instead of `out`. `shellPrefix` runs in the same shell first (limits,
// ignored signals).
inline CliResult RunCli(const std::vector<std::string>& arguments, const std::string& folder = "",
                        const std::string& stdoutTo = "", const std::string& shellPrefix = "",
                        const std::string& stdinFrom = "") {
    const TempDir logs;
    std::string command;
    if (!folder.empty()) command.append("cd ").append(ShellQuote(folder)).append(" && ");
    command.append(shellPrefix).append("timeout -k 5 60 ").append(ShellQuote(VG_CLI_PATH));
    for (const std::string& argument : arguments) command.append(" ").append(ShellQuote(argument));
    command.append(" >").append(ShellQuote(stdoutTo.empty() ? logs / "out" : stdoutTo));
    command.append(" 2>").append(ShellQuote(logs / "err"));
    command.append(" <").append(ShellQuote(stdinFrom.empty() ? "/dev/null" : stdinFrom));
    const int raw = std::system(command.c_str());
    const auto read = [](const std::string& name) {
        std::ifstream in(name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    };
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, read(logs / "out"), read(logs / "err")};
}

// Runs the tool inside `folder` with its standard output a pipe that
// nobody reads any more (as in `vendaru-cli ... | true` once `true` has
// ended), with the tool's own signal dispositions left as they are.
inline CliResult RunCliIntoClosedPipe(const std::vector<std::string>& arguments, const std::string& folder) {
    const TempDir logs;
    int ends[2];
    if (::pipe(ends) != 0) return {-1, "", "no pipe"};
    ::close(ends[0]);
    posix_spawn_file_actions_t actions;
    ::posix_spawn_file_actions_init(&actions);
    ::posix_spawn_file_actions_addopen(&actions, 0, "/dev/null", O_RDONLY, 0);
    ::posix_spawn_file_actions_adddup2(&actions, ends[1], 1);
    ::posix_spawn_file_actions_addclose(&actions, ends[1]);
    const std::string err = logs / "err";
    ::posix_spawn_file_actions_addopen(&actions, 2, err.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    std::string command = "cd " + ShellQuote(folder) + " && exec timeout -k 5 60 " + ShellQuote(VG_CLI_PATH);
    for (const std::string& argument : arguments) command.append(" ").append(ShellQuote(argument));
    char* argv[] = {const_cast<char*>("sh"), const_cast<char*>("-c"), command.data(), nullptr};
    pid_t pid = 0;
    const int spawned = ::posix_spawn(&pid, "/bin/sh", &actions, nullptr, argv, environ);
    ::posix_spawn_file_actions_destroy(&actions);
    ::close(ends[1]);
    if (spawned != 0) return {-1, "", "not started"};
    int raw = 0;
    ::waitpid(pid, &raw, 0);
    std::ifstream in(err, std::ios::binary);
    return {WIFEXITED(raw) ? WEXITSTATUS(raw) : -1, "",
            std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>())};
}
