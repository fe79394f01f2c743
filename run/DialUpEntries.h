#pragma once

#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace vorel {

// Runs a program (argv[0] looked up on PATH) and returns what it wrote to
// standard output, or nothing when it could not be started or failed.
using OutputRunner = std::function<std::optional<std::string>(const std::vector<std::string>&)>;
std::optional<std::string> programOutput(const std::vector<std::string>& argv);

// Names of the dial-up entries the settings window offers: the connections
// NetworkManager knows, in its order. Empty without nmcli (no dial-up
// networking) or when nmcli fails.
std::vector<std::string> dialUpEntryNames();
std::vector<std::string> dialUpEntryNames(const std::string& nmcli, const OutputRunner& runner);

// One name per line of `nmcli -t -f NAME connection show`, whose terse form
// escapes ':' and '\' with a backslash.
std::vector<std::string> parseConnectionNames(const std::string& output);

}  // namespace vorel
