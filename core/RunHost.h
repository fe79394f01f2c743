#pragma once

#include <string>

namespace vorel {

// What a mail run needs of its surroundings: the run window in the GUI, the
// terminal headless. The window's list limits (15 log entries, 10 transcript
// lines) belong to the window's implementation.
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
    // Lets the surroundings handle pending events (the stop button, signals).
    virtual void yield() = 0;
};

}  // namespace vorel
