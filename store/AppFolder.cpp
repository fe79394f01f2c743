#include "store/AppFolder.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
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

// The path as a message may show it: control characters as escapes.
std::string escapedPath(const std::string& path) {
    std::string out;
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\n') {
            out += "\\n";
        } else if (c == '\r') {
            out += "\\r";
        } else if (c < 0x20 || c == 0x7F) {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", c);
            out += hex;
        } else {
            out += ch;
        }
    }
    return out;
}

std::string checkedPath(const std::string& path, const char* from) {
    for (const char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c < 0x20 || c == 0x7F) {
            throw FolderRefused(std::string("the folder ") + from + " \"" + escapedPath(path) +
                                "\" holds a line break or another control character; Vorel "
                                "refuses it: choose a folder whose name has none");
        }
    }
    return path;
}

// Whoever may rename a folder above the application folder may put a folder
// of their own in its place. So, as SSH checks the folders above its files,
// each must be root's or the user's and writable by nobody else, except a
// sticky folder of root's (/tmp), where nobody renames another's entries.
void checkParents(const std::string& folder) {
    std::error_code ec;
    fs::path p = fs::canonical(folder, ec);
    if (ec) {
        return;  // the folder's own check has read it; nothing more to learn here
    }
    while (p.has_relative_path()) {
        p = p.parent_path();
        struct stat st {};
        if (::stat(p.c_str(), &st) != 0) {
            throw FolderRefused("cannot read the folder " + escapedPath(p.string()) + " above " +
                                escapedPath(folder) + ": " + std::strerror(errno));
        }
        const bool rootsSticky = st.st_uid == 0 && (st.st_mode & S_ISVTX) != 0;
        if (st.st_uid != ::geteuid() && st.st_uid != 0) {
            throw FolderRefused("the folder " + escapedPath(folder) + " lies in " +
                                escapedPath(p.string()) + ", which belongs to another user (uid " +
                                std::to_string(st.st_uid) +
                                "); Vorel uses only a folder within folders of yours or root's");
        }
        if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0 && !rootsSticky) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
            throw FolderRefused(
                "the folder " + escapedPath(folder) + " lies in " + escapedPath(p.string()) +
                ", which other users may write to (mode " + mode +
                "); Vorel will not use it until you run: chmod go-w " + escapedPath(p.string()));
        }
    }
}

}  // namespace

std::string resolveAppFolder(const std::optional<std::string>& cliFolder) {
    if (cliFolder && !cliFolder->empty()) {
        return absoluteFolder(checkedPath(*cliFolder, "given by --folder"));
    }
    if (std::string env = nonEmptyEnv("VOREL_FOLDER"); !env.empty()) {
        return absoluteFolder(checkedPath(env, "in VOREL_FOLDER"));
    }
    // The XDG base directory rules say a relative XDG_DATA_HOME is to be ignored.
    std::string data = nonEmptyEnv("XDG_DATA_HOME");
    if (data.empty() || data.front() != '/') {
        data = homeFolder() + "/.local/share";
    }
    return checkedPath(absoluteFolder(data + "/vorel"), "path");
}

void checkFolderIsPrivate(const std::string& folder) {
    struct stat st {};
    if (::stat(folder.c_str(), &st) != 0) {
        throw FolderRefused("cannot read the folder " + escapedPath(folder) + ": " +
                            std::strerror(errno));
    }
    if (st.st_uid != ::geteuid()) {
        throw FolderRefused("the folder " + escapedPath(folder) + " belongs to another user (uid " +
                            std::to_string(st.st_uid) + "); Vorel uses only a folder of your own");
    }
    if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        char mode[8];
        std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
        throw FolderRefused(
            "the folder " + escapedPath(folder) + " may be written by other users (mode " + mode +
            "); Vorel will not use it until you run: chmod go-w " + escapedPath(folder));
    }
    checkParents(folder);
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

std::string databasePath(const std::string& folder) {
    return joinPath(folder, kDatabaseFile);
}

std::string runLogPath(const std::string& folder) {
    return joinPath(folder, kRunLogFile);
}

std::string debugLogPath(const std::string& folder) {
    return joinPath(folder, kDebugLogFile);
}

}  // namespace vorel
