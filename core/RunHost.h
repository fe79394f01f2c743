#pragma once

#include <optional>
#include <string>

namespace vorel {

// What the user asked of a run since the run last looked: the only way a
// request reaches a run, so that a window on another thread never writes
// into the run's state.
struct RunRequests {
    bool stop = false;              // "&Stop Mailer", or a stop signal headless
    std::optional<bool> debugMode;  // "Debug Mode" ticked (true) or cleared
};

// What a mail run needs of its surroundings: the run window in the GUI, the
// terminal headless. Every call comes from the run's own thread. The window's
// list limits (15 log entries, 10 transcript lines) belong to the window.
class RunHost {
public:
    virtual ~RunHost() = default;
    virtual void setStatus(const std::string& text) = 0;     // status line
    virtual void addLogEntry(const std::string& text) = 0;   // lstLOG
    virtual void addDebugLine(const std::string& text) = 0;  // lstdebug
    virtual void clearDebugLines() = 0;                      // lstdebug
    virtual void setDebugModeBox(bool ticked) = 0;           // chkDEBUGMODE
    virtual void showMessage(const std::string& text) = 0;   // OK message box
    virtual bool askYesNo(const std::string& text) = 0;      // Yes/No message box
    // The run's yield points: the surroundings may handle pending events and
    // hand over what the user asked meanwhile. Each request is handed over
    // once.
    virtual RunRequests yield() = 0;
};

}  // namespace vorel
