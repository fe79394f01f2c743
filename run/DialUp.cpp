#include "run/DialUp.h"

#include <glib.h>
#include <sys/wait.h>

#include <utility>

namespace vorel {

namespace {

std::string trimmed(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == '\r' || s.back() == ' ')) {
        s.pop_back();
    }
    return s;
}

}  // namespace

ProgramResult runProgramAndWait(const std::vector<std::string>& argv) {
    ProgramResult result;
    if (argv.empty()) {
        result.status = -1;
        result.errorOutput = "no program given";
        return result;
    }
    std::vector<char*> args;
    for (const auto& a : argv) {
        args.push_back(const_cast<char*>(a.c_str()));
    }
    args.push_back(nullptr);
    gchar* err = nullptr;
    gint waitStatus = 0;
    GError* error = nullptr;
    gboolean ok =
        g_spawn_sync(nullptr, args.data(), nullptr,
                     static_cast<GSpawnFlags>(G_SPAWN_SEARCH_PATH | G_SPAWN_STDOUT_TO_DEV_NULL),
                     nullptr, nullptr, nullptr, &err, &waitStatus, &error);
    if (!ok) {
        result.status = -1;
        result.errorOutput = error ? error->message : "cannot start " + argv[0];
        if (error) {
            g_error_free(error);
        }
        return result;
    }
    result.errorOutput = trimmed(err ? err : "");
    g_free(err);
    if (WIFEXITED(waitStatus)) {
        result.status = WEXITSTATUS(waitStatus);
    } else {
        result.status = -1;
        if (result.errorOutput.empty()) {
            result.errorOutput = argv[0] + " ended abnormally";
        }
    }
    return result;
}

DialUp::DialUp(std::string nmcli, ProgramRunner runner)
    : nmcli_(std::move(nmcli)), runner_(std::move(runner)) {}

DialUp DialUp::fromSystem() {
    gchar* found = g_find_program_in_path("nmcli");
    if (!found) {
        return DialUp();
    }
    std::string path = found;
    g_free(found);
    return DialUp(path, runProgramAndWait);
}

void DialUp::runConnection(const char* verb) {
    errorNumber_ = 0;
    errorText_.clear();
    if (!available()) {
        return;
    }
    ProgramResult r = runner_({nmcli_, "connection", verb, entry_});
    if (r.status != 0) {
        errorNumber_ = r.status;
        errorText_ = r.errorOutput;
        throw DialUpError(errorText_);
    }
}

void DialUp::dial() {
    runConnection("up");
}

void DialUp::hangUp() {
    runConnection("down");
}

}  // namespace vorel
