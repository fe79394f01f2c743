#pragma once

#include <memory>
#include <optional>
#include <string>

#include "store/SignInSettings.h"

class QCoreApplication;

namespace vorel {

// The desktop keyring (Secret Service on GNOME, KWallet on KDE) through
// QtKeychain, never its clear-text fallback. Each call waits for its job on
// a local event loop, so a QCoreApplication must exist; any thread will do.
// Secrets are keyed by the application folder, so two folders keep two
// accounts apart.
class KeyringSecretStore : public SecretStore {
public:
    explicit KeyringSecretStore(std::string folder);
    // Whether a session bus is there to ask: a cron job or a systemd timer
    // outside a desktop login has none, and asking would only wait.
    static bool reachable();

    std::optional<std::string> readSecret(const std::string& key) override;
    bool writeSecret(const std::string& key, const std::string& value) override;
    void removeSecret(const std::string& key) override;
    // The last job's error text, empty after a success.
    const std::string& lastError() const { return lastError_; }

private:
    std::string keyOf(const std::string& key) const;
    std::string folder_;
    std::string lastError_;
};

// For the headless commands: the keyring with the application object
// QtKeychain needs, or none when no session bus answers (or `wanted` is
// false).
class HeadlessKeyring {
public:
    HeadlessKeyring(const std::string& folder, bool wanted = true);
    ~HeadlessKeyring();
    HeadlessKeyring(const HeadlessKeyring&) = delete;
    HeadlessKeyring& operator=(const HeadlessKeyring&) = delete;
    SecretStore* store() const { return store_.get(); }

private:
    std::unique_ptr<QCoreApplication> app_;
    std::unique_ptr<KeyringSecretStore> store_;
};

}  // namespace vorel
