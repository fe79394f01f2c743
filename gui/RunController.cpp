#include "gui/RunController.h"

#include <QEventLoop>
#include <QMetaObject>
#include <ctime>
#include <exception>

#include "base/Clock.h"
#include "core/RunHost.h"
#include "core/RunState.h"
#include "forms/Notices.h"
#include "gui/Keyring.h"
#include "net/CurlMailComponent.h"
#include "net/OAuth2.h"
#include "run/AccountLogin.h"
#include "run/MailRun.h"
#include "store/Settings.h"

namespace vorel {

RunOutcome runMailJob(const std::string& folder, RunHost& host) {
    // The component lives and dies on the worker: its handles never cross
    // threads.
    CurlMailComponent mail;
    SystemClock clock;
    MailRun run(folder, host, mail, clock);
    CurlTokenService tokens;
    KeyringSecretStore keyring(folder);
    run.setSignInServices({KeyringSecretStore::reachable() ? &keyring : nullptr, &tokens});
    RunOutcome o;
    const std::int64_t started = std::time(nullptr);
    o.ended = run.doRunMail();
    const RunState& s = run.state();
    // The notices are given on the windows' thread (AppWindows::endRun).
    afterRun(folder, lastRunOf(s, o.ended, started, std::time(nullptr)), nullptr);
    o.showDisconnect = s.dialUp && !lineIsOnWhenNonZero(s.settings.chkAUTODISCONNECT);
    o.closeWindow = leadingNumber(s.settings.txtDIALUPWHEN) > 0;
    return o;
}

RunController::RunController(std::string folder, RunHost& host, QObject* parent)
    : QObject(parent), folder_(std::move(folder)), host_(host), job_(runMailJob) {}

RunController::~RunController() {
    if (worker_.joinable()) {
        worker_.join();
    }
}

bool RunController::start() {
    if (busy_) {
        return false;
    }
    if (worker_.joinable()) {
        worker_.join();
    }
    busy_ = true;
    worker_ = std::thread([this] {
        RunOutcome o;
        try {
            o = job_(folder_, host_);
        } catch (const std::exception& e) {
            // A run reports its own failures; this is a fault outside them.
            host_.addLogEntry(std::string("The mail run stopped: ") + e.what());
        }
        QMetaObject::invokeMethod(
            this, [this, o] { workerDone(o); }, Qt::QueuedConnection);
    });
    return true;
}

void RunController::workerDone(RunOutcome outcome) {
    worker_.join();
    busy_ = false;
    outcome_ = outcome;
    Q_EMIT finished();
}

void RunController::waitForEnd() {
    if (!busy_) {
        return;
    }
    QEventLoop loop;
    connect(this, &RunController::finished, &loop, &QEventLoop::quit);
    loop.exec();
}

}  // namespace vorel
