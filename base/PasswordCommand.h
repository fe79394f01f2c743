#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vorel {

// A command line split into words as a shell would for a simple command
// (GLib's g_shell_parse_argv: quotes, backslashes and # comments as in sh).
// No variables, globs or pipes: the command runs without a shell.
// std::nullopt when there are no words or a quote is unclosed.
std::optional<std::vector<std::string>> splitCommandWords(const std::string& command);

// Runs the command without a shell (PATH searched) in a process group of
// its own, standard input from /dev/null, and returns the first line of its
// standard output without its line end. One deadline, `timeoutSeconds`,
// covers reading and waiting: then the group is ended, and a line printed
// by then still counts. An error text when it cannot start, exits with a
// status other than 0, prints nothing, or prints nothing before the deadline.
struct CommandOutput {
    std::string firstLine;
    std::string error;  // empty when it worked
};
CommandOutput runPasswordCommand(const std::string& command, int timeoutSeconds = 30);

}  // namespace vorel
