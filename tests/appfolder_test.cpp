// Where the application folder is, and finding files in it without regard to
// letter case.
#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <map>
#include <optional>
#include <string>

#include "store/AppFolder.h"
#include "support/TempFolder.h"

using vorel::test::TempFolder;

namespace {

// Sets or clears environment variables for one test and restores them after.
struct EnvGuard {
    std::map<std::string, std::optional<std::string>> saved;
    void set(const char* name, const char* value) {
        const char* old = getenv(name);
        saved.try_emplace(name, old ? std::optional<std::string>(old) : std::nullopt);
        value ? setenv(name, value, 1) : unsetenv(name);
    }
    ~EnvGuard() {
        for (const auto& [name, value] : saved) {
            value ? setenv(name.c_str(), value->c_str(), 1) : unsetenv(name.c_str());
        }
    }
};

TEST(AppFolder, ResolutionOrder) {
    EnvGuard env;
    env.set("HOME", "/home/someone");
    env.set("XDG_DATA_HOME", nullptr);
    env.set("VOREL_FOLDER", nullptr);
    EXPECT_EQ(vorel::resolveAppFolder(std::nullopt), "/home/someone/.local/share/vorel");
    env.set("XDG_DATA_HOME", "relative/ignored");
    EXPECT_EQ(vorel::resolveAppFolder(std::nullopt), "/home/someone/.local/share/vorel");
    env.set("XDG_DATA_HOME", "/data/");
    EXPECT_EQ(vorel::resolveAppFolder(std::nullopt), "/data/vorel");
    env.set("VOREL_FOLDER", "");
    EXPECT_EQ(vorel::resolveAppFolder(std::nullopt), "/data/vorel");
    env.set("VOREL_FOLDER", "/srv/vorel/");
    EXPECT_EQ(vorel::resolveAppFolder(std::nullopt), "/srv/vorel");
    EXPECT_EQ(vorel::resolveAppFolder(std::string("/opt/x")), "/opt/x");
    EXPECT_EQ(vorel::resolveAppFolder(std::string("")), "/srv/vorel");
    // A relative folder is pinned to the working directory: queue records
    // hold message file paths that must stay valid.
    char cwd[4096];
    ASSERT_TRUE(getcwd(cwd, sizeof cwd));
    EXPECT_EQ(vorel::resolveAppFolder(std::string("rel/./app")), std::string(cwd) + "/rel/app");
}

// Folders are made with their parents; a file in the way is named. Files
// are found without regard to case, an exact match first, folders never.
TEST(AppFolder, EnsureFolderAndFindFileNoCase) {
    TempFolder f;
    vorel::ensureFolder(f.file("a/b/c"));
    vorel::ensureFolder(f.file("a/b/c"));
    EXPECT_TRUE(vorel::fileExists(f.file("a/b/c")));
    f.write("plain", "x");
    try {
        vorel::ensureFolder(f.file("plain/sub"));
        ADD_FAILURE() << "no error";
    } catch (const std::runtime_error& e) {
        EXPECT_NE(std::string(e.what()).find(f.file("plain/sub")), std::string::npos);
    }

    EXPECT_FALSE(vorel::findFileNoCase(f.path(), "antispam.lst"));
    f.write("AntiSpam.Lst", "");
    EXPECT_EQ(vorel::findFileNoCase(f.path(), "ANTISPAM.LST"), f.file("AntiSpam.Lst"));
    f.write("antispam.lst", "");
    EXPECT_EQ(vorel::findFileNoCase(f.path(), "antispam.lst"), f.file("antispam.lst"));
    vorel::ensureFolder(f.file("DIR.LST"));
    EXPECT_FALSE(vorel::findFileNoCase(f.path(), "dir.lst"));
    EXPECT_FALSE(vorel::findFileNoCase(f.file("missing"), "x"));
}

}  // namespace
