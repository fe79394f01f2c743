#pragma once

#include <functional>
#include <stdexcept>
#include <string>
#include <vector>

namespace vorel {

// Outcome of a program run to its end: its exit status and what it wrote to
// standard error.
struct ProgramResult {
    int status = 0;
    std::string errorOutput;
};

// Runs a program (argv[0] looked up on PATH) without a shell and waits for it.
// A program that cannot be started gives status -1 and the reason.
using ProgramRunner = std::function<ProgramResult(const std::vector<std::string>& argv)>;
ProgramResult runProgramAndWait(const std::vector<std::string>& argv);

class DialUpError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The run's dial-up connection. On Linux the entry is a NetworkManager
// connection brought up and down with nmcli; without nmcli there is no
// dial-up networking and dialling and hanging up do nothing.
class DialUp {
public:
    DialUp() = default;
    DialUp(std::string nmcli, ProgramRunner runner);
    // nmcli from PATH when present; otherwise a DialUp that does nothing.
    static DialUp fromSystem();

    bool available() const { return !nmcli_.empty(); }

    void setEntryName(const std::string& name) { entry_ = name; }
    // NetworkManager keeps the secrets of its connections; the login name and
    // password are held for the component's interface only.
    void setUserName(const std::string& name) { user_ = name; }
    void setPassword(const std::string& password) { password_ = password; }

    // Both throw DialUpError on failure; errorNumber() and errorText() then
    // tell why.
    void dial();
    void hangUp();

    int errorNumber() const { return errorNumber_; }
    const std::string& errorText() const { return errorText_; }

private:
    void runConnection(const char* verb);

    std::string nmcli_;
    ProgramRunner runner_;
    std::string entry_, user_, password_;
    int errorNumber_ = 0;
    std::string errorText_;
};

}  // namespace vorel
