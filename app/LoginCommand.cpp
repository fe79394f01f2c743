#include <spawn.h>
#include <sys/wait.h>

#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "app/Commands.h"
#include "app/Modules.h"
#include "net/OAuth2.h"
#include "run/AccountLogin.h"
#include "store/SignInSettings.h"

extern char** environ;

namespace vorel {

namespace {

struct LoginOptions {
    SignInSettings settings;
    bool noBrowser = false;
    bool device = false;
};

std::optional<LoginMethod> providerOption(const std::vector<std::string>& args) {
    for (std::size_t i = 0; i + 1 < args.size(); ++i) {
        if (args[i] == "--provider") {
            if (args[i + 1] == "microsoft") {
                return LoginMethod::Microsoft;
            }
            if (args[i + 1] == "custom") {
                return LoginMethod::CustomOAuth2;
            }
        }
    }
    return std::nullopt;
}

// The options over the stored settings of the same provider (another
// provider's client ID would be refused by this one).
std::optional<LoginOptions> parseLogin(const CommandLine& cl, const SignInSettings& stored) {
    const auto& a = cl.args;
    const auto method = providerOption(a);
    if (!method) {
        std::fputs("vorel login: --provider microsoft|custom is required\n", stderr);
        return std::nullopt;
    }
    LoginOptions o;
    if (*method == stored.method) {
        o.settings = stored;
    } else {
        o.settings.passwordCommand = stored.passwordCommand;
        o.settings.secretsInFolder = stored.secretsInFolder;
    }
    o.settings.method = *method;
    for (std::size_t i = 0; i < a.size(); ++i) {
        const std::string& arg = a[i];
        std::string* into = arg == "--client-id"       ? &o.settings.clientId
                            : arg == "--authorize-url" ? &o.settings.authorizeUrl
                            : arg == "--token-url"     ? &o.settings.tokenUrl
                            : arg == "--scope"         ? &o.settings.scope
                                                       : nullptr;
        if (into != nullptr || arg == "--provider") {
            if (i + 1 >= a.size()) {
                std::fprintf(stderr, "vorel login: %s needs a value\n", arg.c_str());
                return std::nullopt;
            }
            ++i;
            if (into != nullptr) {
                *into = a[i];
            }
        } else if (arg == "--no-browser") {
            o.noBrowser = true;
        } else if (arg == "--device") {
            o.device = true;
        } else if (arg == "--no-keyring") {
            o.settings.secretsInFolder = true;
        } else {
            std::fprintf(stderr, "vorel login: unknown option '%s'\n", arg.c_str());
            return std::nullopt;
        }
    }
    return o;
}

// xdg-open without a shell; the URL is printed as well in case it fails.
void openBrowser(const std::string& url) {
    const char* argv[] = {"xdg-open", url.c_str(), nullptr};
    pid_t pid = -1;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, "/dev/null", 01, 0);
    posix_spawn_file_actions_addopen(&actions, 2, "/dev/null", 01, 0);
    if (::posix_spawnp(&pid, "xdg-open", &actions, nullptr, const_cast<char* const*>(argv),
                       environ) == 0) {
        int status = 0;
        ::waitpid(pid, &status, 0);
    }
    posix_spawn_file_actions_destroy(&actions);
}

}  // namespace

int cmdLogin(const CommandLine& cl) {
    const std::string folder = prepareAppFolder(cl);
    const auto options = parseLogin(cl, readSignInSettings(folder));
    if (!options) {
        return kExitUsage;
    }
    const SignInSettings& settings = options->settings;
    const OAuth2Provider provider = providerFor(settings);
    if (provider.clientId.empty() && settings.method == LoginMethod::Microsoft) {
        std::fprintf(stderr,
                     "vorel login: this build has no Microsoft client ID. %s Then: vorel login "
                     "--provider microsoft --client-id ID\n",
                     kMicrosoftRegisterHint);
        return 1;
    }
    if (const std::string missing = missingProviderSetting(provider); !missing.empty()) {
        std::fprintf(stderr, "vorel login: %s\n", missing.c_str());
        return kExitUsage;
    }

    HeadlessKeyring keyring(folder, !settings.secretsInFolder);

    TokenAnswer answer;
    if (options->device) {
        answer = deviceSignIn(provider, [](const std::string& message) {
            std::printf("%s\n", message.c_str());
            std::fflush(stdout);
        });
    } else {
        LoopbackSignIn signIn(provider);
        std::string url;
        try {
            url = signIn.start();
        } catch (const std::exception& e) {
            std::fprintf(stderr, "vorel login: %s\n", e.what());
            return 1;
        }
        if (!options->noBrowser) {
            std::fputs("Opening the sign-in page in your browser; if none opens, visit:\n", stderr);
            openBrowser(url);
        }
        // On a line of its own: a script or a person copies it from here.
        std::printf("%s\n", url.c_str());
        std::fflush(stdout);
        answer = signIn.finish(300);
    }
    if (!answer.ok()) {
        std::fprintf(stderr, "vorel login: %s\n", answer.errorText.c_str());
        return 1;
    }
    if (const std::string why = saveSignIn(folder, settings, keyring.store(), answer);
        !why.empty()) {
        std::fprintf(stderr, "vorel login: %s\n", why.c_str());
        return 1;
    }
    std::printf("Signed in%s.\n", answer.account.empty() ? "" : (" as " + answer.account).c_str());
    return 0;
}

}  // namespace vorel
