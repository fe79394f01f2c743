#include "store/AppFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <stdexcept>
#include <system_error>

#include "base/TextCompare.h"

namespace fs = std::filesystem;

namespace vorel {

namespace {

std::string nonEmptyEnv(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string homeFolder() {
    std::string home = nonEmptyEnv("HOME");
    if (!home.empty()) {
        return home;
    }
    if (const passwd* pw = getpwuid(getuid()); pw && pw->pw_dir) {
        return pw->pw_dir;
    }
    throw std::runtime_error("cannot find the home folder: HOME is not set");
}

// Message file references in the queue hold the folder, so it must not depend
// on the working directory of the process that wrote them.
std::string absoluteFolder(const std::string& folder) {
    std::string p = fs::absolute(fs::path(folder)).lexically_normal().string();
    while (p.size() > 1 && p.back() == '/') {
        p.pop_back();
    }
    return p;
}

}  // namespace

std::string resolveAppFolder(const std::optional<std::string>& cliFolder) {
    if (cliFolder && !cliFolder->empty()) {
        return absoluteFolder(*cliFolder);
    }
    if (std::string env = nonEmptyEnv("VOREL_FOLDER"); !env.empty()) {
        return absoluteFolder(env);
    }
    // The XDG base directory rules say a relative XDG_DATA_HOME is to be ignored.
    std::string data = nonEmptyEnv("XDG_DATA_HOME");
    if (data.empty() || data.front() != '/') {
        data = homeFolder() + "/.local/share";
    }
    return absoluteFolder(data + "/vorel");
}

void ensureFolder(const std::string& folder) {
    std::error_code ec;
    const bool made = fs::create_directories(folder, ec);
    if (made) {
        // What the folder holds is the owner's alone; even its file names
        // (message numbers, list exports) are nobody else's business.
        fs::permissions(folder, fs::perms::owner_all, ec);
    }
    if (ec || !fs::is_directory(folder)) {
        std::string why = ec ? ec.message() : std::string("not a folder");
        throw std::runtime_error("cannot create the folder " + folder + ": " + why);
    }
}

std::string joinPath(const std::string& folder, const std::string& name) {
    if (!folder.empty() && folder.back() == '/') {
        return folder + name;
    }
    return folder + "/" + name;
}

std::optional<std::string> findFileNoCase(const std::string& folder, const std::string& name) {
    std::string exact = joinPath(folder, name);
    struct stat st {};
    if (::stat(exact.c_str(), &st) == 0 && !S_ISDIR(st.st_mode)) {
        return exact;
    }
    std::error_code ec;
    fs::directory_iterator it(folder, ec);
    if (ec) {
        return std::nullopt;
    }
    for (const fs::directory_entry& e : it) {
        std::string entryName = e.path().filename().string();
        if (sameText(entryName, name) && !e.is_directory(ec)) {
            return joinPath(folder, entryName);
        }
    }
    return std::nullopt;
}

bool fileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

}  // namespace vorel
