#pragma once

#include <atomic>

#include "core/RunHost.h"
#include "gui/RunRequestBox.h"

class QLabel;

namespace vorel {

class RunMailWindow;

// The run's surroundings in the windows. Called on the run's thread; every
// call is carried over to the window thread. Lists and the status line are
// posted and the run goes on; message boxes hold the run until answered.
class WindowRunHost : public RunHost {
public:
    // The window, the label and the box must outlive every run.
    WindowRunHost(RunRequestBox& requests, RunMailWindow* window, QLabel* status);

    void setStatus(const std::string& text) override;
    void addLogEntry(const std::string& text) override;
    void addDebugLine(const std::string& text) override;
    void clearDebugLines() override;
    void setDebugModeBox(bool ticked) override;
    void showMessage(const std::string& text) override;
    bool askYesNo(const std::string& text) override;
    RunRequests yield() override;

    // The program is ending: boxes are no longer shown (a question gets No)
    // and the run is asked to stop.
    void closing();

private:
    RunRequestBox& requests_;
    RunMailWindow* window_;
    QLabel* status_;
    std::atomic<bool> closing_{false};
};

}  // namespace vorel
