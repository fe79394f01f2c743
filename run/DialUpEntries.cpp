#include "run/DialUpEntries.h"

#include <glib.h>
#include <sys/wait.h>

namespace vorel {

std::optional<std::string> programOutput(const std::vector<std::string>& argv) {
    if (argv.empty()) {
        return std::nullopt;
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    gchar* out = nullptr;
    gint waitStatus = 0;
    gboolean ok =
        g_spawn_sync(nullptr, args.data(), nullptr,
                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDERR_TO_DEV_NULL),
                     nullptr, nullptr, &out, nullptr, &waitStatus, nullptr);
    if (!ok) {
        return std::nullopt;
    }
    std::string text = out ? out : "";
    g_free(out);
    if (!WIFEXITED(waitStatus) || WEXITSTATUS(waitStatus) != 0) {
        return std::nullopt;
    }
    return text;
}

std::vector<std::string> parseConnectionNames(const std::string& output) {
    std::vector<std::string> names;
    std::string name;
    bool escaped = false;
    for (char c : output) {
        if (escaped) {
            name += c;
            escaped = false;
        } else if (c == '\\') {
            escaped = true;
        } else if (c == '\n') {
            if (!name.empty()) {
                names.push_back(name);
            }
            name.clear();
        } else {
            name += c;
        }
    }
    if (!name.empty()) {
        names.push_back(name);
    }
    return names;
}

std::vector<std::string> dialUpEntryNames(const std::string& nmcli, const OutputRunner& runner) {
    auto out = runner({nmcli, "-t", "-f", "NAME", "connection", "show"});
    return out ? parseConnectionNames(*out) : std::vector<std::string>{};
}

std::vector<std::string> dialUpEntryNames() {
    gchar* found = g_find_program_in_path("nmcli");
    if (!found) {
        return {};
    }
    std::string nmcli = found;
    g_free(found);
    return dialUpEntryNames(nmcli, programOutput);
}

}  // namespace vorel
