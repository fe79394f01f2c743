// The entry of vorel-keyring.so (gui/Modules.h): the desktop keyring for the
// headless commands, loaded on the first secret they ask for.
#include <QCoreApplication>
#include <memory>
#include <optional>
#include <string>
#include <type_traits>

#include "gui/Keyring.h"
#include "gui/Modules.h"

namespace {

// QtKeychain's jobs need an application object; a headless command has none.
std::unique_ptr<QCoreApplication> applicationIfNone() {
    if (QCoreApplication::instance() != nullptr) {
        return nullptr;
    }
    static int argc = 1;
    static char name[] = "vorel";
    static char* argv[] = {name, nullptr};
    return std::make_unique<QCoreApplication>(argc, argv);
}

class HeadlessKeyring : public vorel::SecretStore {
public:
    explicit HeadlessKeyring(const char* folder) : store_(folder) {}
    std::optional<std::string> readSecret(const std::string& key) override {
        return store_.readSecret(key);
    }
    bool writeSecret(const std::string& key, const std::string& value) override {
        return store_.writeSecret(key, value);
    }
    void removeSecret(const std::string& key) override { store_.removeSecret(key); }

private:
    std::unique_ptr<QCoreApplication> app_ = applicationIfNone();  // outlives the store
    vorel::KeyringSecretStore store_;
};

}  // namespace

extern "C" __attribute__((visibility("default"))) vorel::SecretStore* vorel_open_keyring(
    const char* folder) {
    return new HeadlessKeyring(folder);
}

static_assert(std::is_same_v<decltype(vorel_open_keyring), vorel::OpenKeyringEntry>);
