#include "gui/Keyring.h"

#include <qt6keychain/keychain.h>

#include <QEventLoop>
#include <QString>
#include <utility>

#include "forms/StartUp.h"

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
    return sessionBusReachable();
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

}  // namespace vorel
