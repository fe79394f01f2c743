#pragma once

#include <QObject>
#include <functional>
#include <string>
#include <thread>

namespace vorel {

class RunHost;

// What the run window does once a run has ended.
struct RunOutcome {
    bool ended = false;           // false: every try failed
    bool showDisconnect = false;  // dialled up and left the connection up
    bool closeWindow = false;     // an auto-run interval is set
};

// One whole run (doRunMail) in `folder`, reporting to `host`; runs on the
// worker thread.
using RunJob = std::function<RunOutcome(const std::string& folder, RunHost& host)>;
// The real run: libcurl mail component, system clock.
RunOutcome runMailJob(const std::string& folder, RunHost& host);

// Runs one mail run at a time on a worker thread, so that the windows stay
// live while a server call waits.
class RunController : public QObject {
    Q_OBJECT
public:
    RunController(std::string folder, RunHost& host, QObject* parent = nullptr);
    ~RunController() override;

    void setJob(RunJob job) { job_ = std::move(job); }
    bool busy() const { return busy_; }
    // Starts a run; false (and nothing happens) while one is going on.
    bool start();
    // Turns the event loop until the run at hand has ended.
    void waitForEnd();
    const RunOutcome& lastOutcome() const { return outcome_; }

Q_SIGNALS:
    void finished();

private:
    void workerDone(RunOutcome outcome);

    std::string folder_;
    RunHost& host_;
    RunJob job_;
    std::thread worker_;
    bool busy_ = false;
    RunOutcome outcome_;
};

}  // namespace vorel
