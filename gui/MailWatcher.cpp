#include "gui/MailWatcher.h"

#include <QMetaObject>
#include <chrono>
#include <utility>

#include "gui/Keyring.h"
#include "net/CurlMailComponent.h"
#include "net/OAuth2.h"
#include "net/ServerAddress.h"
#include "run/MailboxWatch.h"

namespace vorel {

namespace {

std::atomic<int> gFirstRetrySeconds{5};

}  // namespace

// The shared watch, told back to the window thread.
class MailWatcher::Watch : public MailboxWatch {
public:
    explicit Watch(MailWatcher& owner)
        : MailboxWatch(owner.folder_, 30, std::chrono::seconds(gFirstRetrySeconds)),
          owner_(owner),
          keyring_(owner.folder_) {}

private:
    bool stopRequested() const override { return owner_.stop_; }
    std::unique_ptr<MailComponent> watchingConnection(const Settings& s) override {
        return isImapAddress(s.txtPOP) ? std::make_unique<CurlMailComponent>() : nullptr;
    }
    SignInServices signInServices() override {
        return {KeyringSecretStore::reachable() ? &keyring_ : nullptr, &tokens_};
    }
    // The countdown alone, as with POP3.
    bool unwatched() override { return false; }
    // The runs report what is wrong with the mailbox; the watcher only
    // tries again later.
    void watching(bool on) override { owner_.report(on); }
    void newMail(WatchPace&) override {
        MailWatcher* owner = &owner_;
        QMetaObject::invokeMethod(
            owner, [owner] { Q_EMIT owner->newMail(); }, Qt::QueuedConnection);
    }

    MailWatcher& owner_;
    CurlTokenService tokens_;
    KeyringSecretStore keyring_;
};
MailWatcher::MailWatcher(std::string folder, QObject* parent)
    : QObject(parent), folder_(std::move(folder)) {}

MailWatcher::~MailWatcher() {
    stop();
}

void MailWatcher::setRetrySeconds(int seconds) {
    gFirstRetrySeconds = seconds;
}

void MailWatcher::start() {
    if (thread_.joinable()) {
        return;
    }
    Settings s;
    readSettingsLines(folder_, s);
    if (!isImapAddress(s.txtPOP)) {
        return;
    }
    stop_ = false;
    thread_ = std::thread([this] { loop(); });
}

void MailWatcher::stop() {
    stop_ = true;
    if (thread_.joinable()) {
        thread_.join();
    }
    if (watching_) {
        watching_ = false;
        Q_EMIT watchingChanged(false);
    }
}

// Told to the window thread; a watcher destroyed first drops the event.
void MailWatcher::report(bool on) {
    QMetaObject::invokeMethod(
        this,
        [this, on] {
            if (watching_ != on && !stop_) {
                watching_ = on;
                Q_EMIT watchingChanged(on);
            }
        },
        Qt::QueuedConnection);
}

void MailWatcher::loop() {
    Watch(*this).run();
}

}  // namespace vorel
