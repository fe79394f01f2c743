#include "app/Modules.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <optional>
#include <system_error>
#include <utility>

#include "base/SessionBus.h"
#include "forms/StartUp.h"
#include "gui/Modules.h"

namespace vorel {

namespace {

// Beside the program in a build folder; in its library folder once
// installed (VOREL_MODULE_DIR, relative to the program's folder).
void* loadModule(const char* name) {
    namespace fs = std::filesystem;
    std::error_code ec;
    const fs::path self = fs::read_symlink("/proc/self/exe", ec);
    const fs::path dir = ec ? fs::path(".") : self.parent_path();
    std::string why;
    for (const fs::path& candidate : {dir / name, dir / VOREL_MODULE_DIR / name}) {
        if (!fs::exists(candidate, ec)) {
            continue;
        }
        // Never unloaded: Qt leaves exit handlers behind.
        if (void* module = ::dlopen(candidate.c_str(), RTLD_NOW | RTLD_LOCAL)) {
            return module;
        }
        why = ::dlerror();
    }
    std::fprintf(stderr, "vorel: cannot load %s: %s\n", name,
                 why.empty() ? "not installed beside the program" : why.c_str());
    return nullptr;
}

template <typename Entry>
Entry* entryOf(const char* module, const char* name) {
    void* handle = loadModule(module);
    if (handle == nullptr) {
        return nullptr;
    }
    void* entry = ::dlsym(handle, name);
    if (entry == nullptr) {
        std::fprintf(stderr, "vorel: %s has no %s\n", module, name);
    }
    return reinterpret_cast<Entry*>(entry);
}

// Loads the keyring's module at the first secret asked for. A module that
// cannot be loaded is said once and then answers as a keyring that is not
// there.
class LazyKeyring : public SecretStore {
public:
    explicit LazyKeyring(std::string folder) : folder_(std::move(folder)) {}

    std::optional<std::string> readSecret(const std::string& key) override {
        SecretStore* s = keyring();
        return s != nullptr ? s->readSecret(key) : std::nullopt;
    }
    bool writeSecret(const std::string& key, const std::string& value) override {
        SecretStore* s = keyring();
        return s != nullptr && s->writeSecret(key, value);
    }
    void removeSecret(const std::string& key) override {
        if (SecretStore* s = keyring()) {
            s->removeSecret(key);
        }
    }
    std::string lastError() const override { return keyring_ ? keyring_->lastError() : ""; }

private:
    SecretStore* keyring() {
        if (!tried_) {
            tried_ = true;
            if (auto* open = entryOf<OpenKeyringEntry>(kKeyringModule, "vorel_open_keyring")) {
                keyring_.reset(open(folder_.c_str()));
            }
        }
        return keyring_.get();
    }

    std::string folder_;
    bool tried_ = false;
    std::unique_ptr<SecretStore> keyring_;
};

}  // namespace

int openWindows(const std::string& folder, const std::vector<std::string>& args, int& argc,
                char** argv) {
    auto* run = entryOf<RunWindowsEntry>(kWindowsModule, "vorel_run_windows");
    if (run == nullptr) {
        return 1;
    }
    std::vector<const char*> list;
    for (const std::string& a : args) {
        list.push_back(a.c_str());
    }
    return run(folder.c_str(), list.data(), static_cast<int>(list.size()), &argc, argv);
}

int showStartFailure(const std::string& text, int& argc, char** argv, int status) {
    auto* show = entryOf<StartFailureEntry>(kWindowsModule, "vorel_show_start_failure");
    return show != nullptr ? show(text.c_str(), &argc, argv, status) : status;
}

HeadlessKeyring::HeadlessKeyring(std::string folder, bool wanted) {
    if (wanted && sessionBusReachable()) {
        store_ = std::make_unique<LazyKeyring>(std::move(folder));
    }
}

HeadlessKeyring::~HeadlessKeyring() = default;

}  // namespace vorel
