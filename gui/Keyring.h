#pragma once

#include <QString>
#include <optional>
#include <string>

#include "store/SignInSettings.h"

namespace QKeychain {
class Job;
}

namespace vorel {

// The desktop keyring (Secret Service on GNOME, KWallet on KDE) through
// QtKeychain, never its clear-text fallback. Each call waits for its job on
// a local event loop, so a QCoreApplication must exist; any thread will do.
// Secrets are keyed and labelled by the application folder ("Vorel
// (/home/ann/.vorel)"), so two folders keep two accounts apart and a keyring
// browser tells them apart.
class KeyringSecretStore : public SecretStore {
public:
    explicit KeyringSecretStore(std::string folder);
    // Whether a keyring answers on the session bus: a Secret Service
    // (GNOME Keyring, KeePassXC) or KWallet running or startable there.
    static bool reachable();
    // How long one job may wait for the keyring (an unlock prompt, or a
    // keyring that never answers) before it counts as failed.
    void setTimeLimit(int ms) { limitMs_ = ms; }

    std::optional<std::string> readSecret(const std::string& key) override;
    bool writeSecret(const std::string& key, const std::string& value) override;
    void removeSecret(const std::string& key) override;
    // The last job's error text, empty after a success.
    std::string lastError() const override { return lastError_; }

private:
    std::string keyOf(const std::string& key) const;
    QString label() const;
    std::optional<std::string> readFrom(const QString& service, const std::string& key);
    bool writeTo(const QString& service, const std::string& key, const std::string& value);
    void removeFrom(const QString& service, const std::string& key);
    // Runs the job for lastError_; deletes it unless it was given up on.
    void finish(QKeychain::Job* job);
    std::string folder_;
    std::string lastError_;
    int limitMs_ = 30000;
};

}  // namespace vorel
