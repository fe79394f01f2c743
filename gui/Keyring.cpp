#include "gui/Keyring.h"

#include <qt6keychain/keychain.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QString>
#include <cstdlib>
#include <filesystem>
#include <utility>

namespace vorel {

namespace {

const QString kService = QStringLiteral("vorel");

// Starts the job and waits for its end.
void runJob(QKeychain::Job& job) {
    QEventLoop loop;
    QObject::connect(&job, &QKeychain::Job::finished, &loop, &QEventLoop::quit);
    job.start();
    loop.exec();
}

}  // namespace

KeyringSecretStore::KeyringSecretStore(std::string folder) : folder_(std::move(folder)) {}

bool KeyringSecretStore::reachable() {
    const char* bus = std::getenv("DBUS_SESSION_BUS_ADDRESS");
    if (bus != nullptr && *bus != '\0') {
        return true;
    }
    const char* runtime = std::getenv("XDG_RUNTIME_DIR");
    std::error_code ec;
    return runtime != nullptr && *runtime != '\0' &&
           std::filesystem::exists(std::filesystem::path(runtime) / "bus", ec);
}

std::string KeyringSecretStore::keyOf(const std::string& key) const {
    return folder_ + ":" + key;
}

std::optional<std::string> KeyringSecretStore::readSecret(const std::string& key) {
    QKeychain::ReadPasswordJob job(kService);
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(QString::fromStdString(keyOf(key)));
    runJob(job);
    lastError_ = job.error() == QKeychain::NoError ? "" : job.errorString().toStdString();
    if (job.error() != QKeychain::NoError || job.textData().isEmpty()) {
        return std::nullopt;
    }
    return job.textData().toStdString();
}

bool KeyringSecretStore::writeSecret(const std::string& key, const std::string& value) {
    QKeychain::WritePasswordJob job(kService);
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(QString::fromStdString(keyOf(key)));
    job.setTextData(QString::fromStdString(value));
    runJob(job);
    lastError_ = job.error() == QKeychain::NoError ? "" : job.errorString().toStdString();
    return job.error() == QKeychain::NoError;
}

void KeyringSecretStore::removeSecret(const std::string& key) {
    QKeychain::DeletePasswordJob job(kService);
    job.setAutoDelete(false);
    job.setInsecureFallback(false);
    job.setKey(QString::fromStdString(keyOf(key)));
    runJob(job);
    lastError_ = job.error() == QKeychain::NoError ? "" : job.errorString().toStdString();
}

HeadlessKeyring::HeadlessKeyring(const std::string& folder, bool wanted) {
    if (!wanted || !KeyringSecretStore::reachable()) {
        return;
    }
    if (QCoreApplication::instance() == nullptr) {
        static int argc = 1;
        static char name[] = "vorel";
        static char* argv[] = {name, nullptr};
        app_ = std::make_unique<QCoreApplication>(argc, argv);
    }
    store_ = std::make_unique<KeyringSecretStore>(folder);
}

HeadlessKeyring::~HeadlessKeyring() {
    store_.reset();  // before the application object it needs
}

}  // namespace vorel
