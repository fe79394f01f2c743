#pragma once

#include <optional>
#include <string>

#include "store/SignInSettings.h"

namespace vorel {

// The desktop keyring (Secret Service on GNOME, KWallet on KDE) through
// QtKeychain, never its clear-text fallback. Each call waits for its job on
// a local event loop, so a QCoreApplication must exist; any thread will do.
// Secrets are keyed by the application folder, so two folders keep two
// accounts apart.
class KeyringSecretStore : public SecretStore {
public:
    explicit KeyringSecretStore(std::string folder);
    // Whether a session bus is there to ask (sessionBusReachable).
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

}  // namespace vorel
