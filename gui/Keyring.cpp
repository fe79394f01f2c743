#include "gui/Keyring.h"

#include <qt6keychain/keychain.h>

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QEventLoop>
#include <QString>
#include <QTimer>
#include <memory>
#include <utility>

#include "base/SessionBus.h"
#include "forms/StartUp.h"

namespace vorel {

namespace {

// The label all folders' secrets shared before each folder had its own.
const QString kOldService = QStringLiteral("vorel");

// Starts the job and waits for its end, at most `limitMs`; `error` empty, or
// why it failed. Returns whether it ended: a job given up on deletes itself
// when it ends at last.
bool runJob(QKeychain::Job* job, int limitMs, std::string& error) {
    QEventLoop loop;
    bool ended = false;
    QObject::connect(job, &QKeychain::Job::finished, &loop, [&] {
        ended = true;
        loop.quit();
    });
    QTimer::singleShot(limitMs, &loop, &QEventLoop::quit);
    job->start();
    loop.exec();
    if (!ended) {
        QObject::disconnect(job, nullptr, &loop, nullptr);
        QObject::connect(job, &QKeychain::Job::finished, job, &QObject::deleteLater);
        error = "the desktop keyring did not answer within " + std::to_string(limitMs / 1000) +
                " seconds";
        return false;
    }
    error = job->error() == QKeychain::NoError ? "" : job->errorString().toStdString();
    return true;
}

}  // namespace

KeyringSecretStore::KeyringSecretStore(std::string folder) : folder_(std::move(folder)) {}

bool KeyringSecretStore::reachable() {
    if (!sessionBusReachable()) {
        return false;
    }
    QDBusConnectionInterface* bus = QDBusConnection::sessionBus().interface();
    if (bus == nullptr) {
        return false;
    }
    const QStringList startable = bus->activatableServiceNames().value();
    for (const char* name : {"org.freedesktop.secrets", "org.kde.kwalletd6", "org.kde.kwalletd5"}) {
        const QString service = QString::fromLatin1(name);
        if (bus->isServiceRegistered(service).value() || startable.contains(service)) {
            return true;
        }
    }
    return false;
}

std::string KeyringSecretStore::keyOf(const std::string& key) const {
    return folder_ + ":" + key;
}

QString KeyringSecretStore::label() const {
    return QStringLiteral("Vorel (") + QString::fromStdString(folder_) + QLatin1Char(')');
}

std::optional<std::string> KeyringSecretStore::readFrom(const QString& service,
                                                        const std::string& key) {
    auto* job = new QKeychain::ReadPasswordJob(service);
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(QString::fromStdString(keyOf(key)));
    if (!runJob(job, limitMs_, lastError_)) {
        return std::nullopt;
    }
    std::unique_ptr<QKeychain::ReadPasswordJob> done(job);
    if (job->error() == QKeychain::EntryNotFound) {
        lastError_.clear();  // not an error: nothing kept under that key
    }
    if (!lastError_.empty() || job->textData().isEmpty()) {
        return std::nullopt;
    }
    return job->textData().toStdString();
}

std::optional<std::string> KeyringSecretStore::readSecret(const std::string& key) {
    if (std::optional<std::string> found = readFrom(label(), key); found || !lastError_.empty()) {
        return found;
    }
    // Kept by an older Vorel under the label every folder shared: moved
    // under this folder's own.
    std::optional<std::string> old = readFrom(kOldService, key);
    if (old && writeTo(label(), key, *old)) {
        removeFrom(kOldService, key);
        lastError_.clear();
    }
    return old;
}

bool KeyringSecretStore::writeTo(const QString& service, const std::string& key,
                                 const std::string& value) {
    auto* job = new QKeychain::WritePasswordJob(service);
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(QString::fromStdString(keyOf(key)));
    job->setTextData(QString::fromStdString(value));
    finish(job);
    return lastError_.empty();
}

void KeyringSecretStore::removeFrom(const QString& service, const std::string& key) {
    auto* job = new QKeychain::DeletePasswordJob(service);
    job->setAutoDelete(false);
    job->setInsecureFallback(false);
    job->setKey(QString::fromStdString(keyOf(key)));
    finish(job);
}

bool KeyringSecretStore::writeSecret(const std::string& key, const std::string& value) {
    if (!writeTo(label(), key, value)) {
        return false;
    }
    // An old copy would come back if this one were removed.
    removeFrom(kOldService, key);
    lastError_.clear();
    return true;
}

void KeyringSecretStore::removeSecret(const std::string& key) {
    removeFrom(kOldService, key);
    removeFrom(label(), key);
}

void KeyringSecretStore::finish(QKeychain::Job* job) {
    if (runJob(job, limitMs_, lastError_)) {
        delete job;
    }
}

}  // namespace vorel
