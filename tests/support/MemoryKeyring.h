#pragma once

#include <map>
#include <optional>
#include <string>

#include "store/SignInSettings.h"

namespace vorel::test {

// A keyring in memory; one that does not answer keeps nothing.
class MemoryKeyring : public SecretStore {
public:
    std::map<std::string, std::string> secrets;
    bool answers = true;
    std::optional<std::string> readSecret(const std::string& key) override {
        if (!answers || secrets.count(key) == 0) {
            return std::nullopt;
        }
        return secrets[key];
    }
    bool writeSecret(const std::string& key, const std::string& value) override {
        if (answers) {
            secrets[key] = value;
        }
        return answers;
    }
    void removeSecret(const std::string& key) override { secrets.erase(key); }
};

}  // namespace vorel::test
