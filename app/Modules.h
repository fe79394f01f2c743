#pragma once

#include <memory>
#include <string>
#include <vector>

#include "store/SignInSettings.h"

namespace vorel {

// The windows, from their module (gui/Modules.h): loaded only when asked for,
// so that the headless commands start without Qt. A module that cannot be
// loaded is reported on standard error and ends the program with status 1.
int openWindows(const std::string& folder, const std::vector<std::string>& args, int& argc,
                char** argv);
int showStartFailure(const std::string& text, int& argc, char** argv, int status);

// For the headless commands: the desktop keyring, or none when no session
// bus answers (or `wanted` is false). The keyring's module, Qt with it, is
// loaded at the first secret asked for: a run that finds its password
// elsewhere never loads it.
class HeadlessKeyring {
public:
    explicit HeadlessKeyring(std::string folder, bool wanted = true);
    ~HeadlessKeyring();
    HeadlessKeyring(const HeadlessKeyring&) = delete;
    HeadlessKeyring& operator=(const HeadlessKeyring&) = delete;
    SecretStore* store() const { return store_.get(); }

private:
    std::unique_ptr<SecretStore> store_;
};

}  // namespace vorel
