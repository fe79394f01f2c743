// At home on a desktop: the autostart entry, and the countdown window that
// stands in for the tray icon where there is no tray (offscreen has none).
#include <glib.h>

#include <QCheckBox>
#include <QLabel>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "gui/Autostart.h"
#include "gui/Backdrop.h"
#include "gui/CountdownWindow.h"
#include "gui/MainForm.h"
#include "gui/MessageBox.h"
#include "gui/SettingsWindow.h"
#include "gui_support.h"

namespace vorel {
namespace {

using test::click;
using test::control;

// The Exec line as a desktop reads it: string escapes, field codes, then the
// shell-like quoting (GLib's parsers, which GNOME and others use).
std::vector<std::string> execArgv(const std::string& entryText) {
    GKeyFile* file = g_key_file_new();
    std::vector<std::string> argv;
    if (g_key_file_load_from_data(file, entryText.data(), entryText.size(), G_KEY_FILE_NONE,
                                  nullptr)) {
        gchar* exec = g_key_file_get_string(file, "Desktop Entry", "Exec", nullptr);
        std::string line = exec ? exec : "";
        g_free(exec);
        for (std::size_t at = 0; (at = line.find("%%", at)) != std::string::npos; ++at) {
            line.erase(at, 1);
        }
        gchar** args = nullptr;
        if (g_shell_parse_argv(line.c_str(), nullptr, &args, nullptr)) {
            for (gchar** a = args; *a; ++a) {
                argv.emplace_back(*a);
            }
            g_strfreev(args);
        }
    }
    g_key_file_free(file);
    return argv;
}

// Every character a folder may hold comes back unchanged; control characters
// are refused rather than written.
TEST(Autostart, ExecArgumentsSurviveTheDesktopsParsing) {
    const char* const folders[] = {
        "/home/ann/.local/share/vorel",
        "/home/ann/My Mail",
        "/srv/a\"quote",
        "/srv/back\\slash",
        "/srv/$HOME and `cmd`",
        "/srv/100% done",
        "/srv/semi;colon & pipe|<less>#hash~'single'",
        "/srv/ünïcode",
    };
    for (const char* folder : folders) {
        SCOPED_TRACE(folder);
        const std::string text = Autostart::entryText("/usr/bin/vorel", folder);
        EXPECT_EQ(execArgv(text),
                  (std::vector<std::string>{"/usr/bin/vorel", "--folder", folder, "--tray"}));
    }
    for (const char* bad : {"/srv/new\nline", "/srv/tab\there", "/srv/esc\x1b", "/srv/del\x7f"}) {
        EXPECT_EQ(desktopExecArg(bad), "") << bad;
        EXPECT_EQ(Autostart::entryText("/usr/bin/vorel", bad), "");
    }
}

TEST(Autostart, DefaultPathFollowsTheBaseDirectoryRules) {
    struct Case {
        const char* xdg;
        const char* home;
        const char* path;
    };
    const Case cases[] = {
        {"", "/home/ann", "/home/ann/.config/autostart/vorel.desktop"},
        {"/cfg", "/home/ann", "/cfg/autostart/vorel.desktop"},
        {"relative/cfg", "/home/ann", "/home/ann/.config/autostart/vorel.desktop"},
        {"", "", ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(Autostart::defaultPath([&c](const char* name) {
                      return std::string(std::string(name) == "HOME" ? c.home : c.xdg);
                  }),
                  c.path)
            << c.xdg << " " << c.home;
    }
}

// Written with its folder, valid for desktop-file-validate, switched off by a
// desktop's Hidden=true, removed; removing what is not there is no failure.
TEST(Autostart, SetWritesAValidEntryAndRemovesIt) {
    test::TempFolder home;
    const Autostart entry(home.file("config/autostart/vorel.desktop"));
    EXPECT_FALSE(entry.enabled());
    EXPECT_EQ(entry.set(false, "/usr/bin/vorel", "/m"), "");
    EXPECT_EQ(entry.set(true, "/usr/bin/vorel", home.path() + "/My Mail"), "");
    EXPECT_TRUE(entry.enabled());
    EXPECT_EQ(std::filesystem::status(entry.path()).permissions(), std::filesystem::perms(0644));
    if (std::system("command -v desktop-file-validate >/dev/null") == 0) {
        EXPECT_EQ(std::system(("desktop-file-validate '" + entry.path() + "'").c_str()), 0);
    }
    home.write("config/autostart/vorel.desktop",
               Autostart::entryText("/usr/bin/vorel", "/m") + "Hidden=true\n");
    EXPECT_FALSE(entry.enabled());
    EXPECT_EQ(entry.set(false, "", ""), "");
    EXPECT_FALSE(std::filesystem::exists(entry.path()));
    EXPECT_NE(entry.set(true, "/usr/bin/vorel", "/bad\nfolder"), "");
    EXPECT_FALSE(std::filesystem::exists(entry.path()));
    // A file where the folder should be: the reason comes back.
    home.write("blocked", "");
    EXPECT_NE(Autostart(home.file("blocked/autostart/vorel.desktop")).set(true, "/v", "/m"), "");
}

// A package's smoke test and a server's scripts ask these without a display.
TEST(CommandLine, VersionAndHelpNeedNoDisplay) {
    test::TempFolder out;
    const std::string noDisplay = "env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " +
                                  std::string(VOREL_BINARY) + " --folder " + out.path() + "/f ";
    const std::string version = "vorel " + std::to_string(VOREL_VERSION_MAJOR) + "." +
                                std::to_string(VOREL_VERSION_MINOR) + "." +
                                std::to_string(VOREL_VERSION_PATCH) + "\n";
    const std::pair<const char*, const char*> cases[] = {
        {"--version", version.c_str()}, {"--help", "usage: vorel"}, {"-h", "usage: vorel"}};
    for (const auto& [arg, starts] : cases) {
        EXPECT_EQ(std::system((noDisplay + arg + " >" + out.file("out") + " 2>&1").c_str()), 0)
            << arg;
        EXPECT_EQ(out.read("out").rfind(starts, 0), 0U) << arg << ": " << out.read("out");
    }
    // Nothing was created for them.
    EXPECT_FALSE(out.exists("f"));
    // The program loads Qt only with its windows' module.
    ASSERT_EQ(std::system(("ldd " + std::string(VOREL_BINARY) + " >" + out.file("libs")).c_str()),
              0);
    EXPECT_EQ(out.read("libs").find("libQt"), std::string::npos) << out.read("libs");
}

struct DesktopTest : test::AppTest {
    Autostart entry{Autostart::defaultPath([](const char* name) {
        const char* v = std::getenv(name);
        return std::string(v ? v : "");
    })};
    ~DesktopTest() override { std::remove(entry.path().c_str()); }
};

// The box shows the entry; Ok writes it only when switched, Cancel never.
TEST_F(DesktopTest, SettingsBoxWritesAndRemovesTheAutostartEntryOnOk) {
    ASSERT_NE(std::string(std::getenv("XDG_CONFIG_HOME")), "");  // not the tester's own
    MessageBox::setStandingAnswer(MessageBox::Ok);
    for (const bool on : {true, false}) {
        SCOPED_TRACE(on);
        for (const char* button : {"cmdCANCEL", "cmdOK"}) {
            auto* w = new SettingsWindow(f.folder.path(), {});
            w->show();
            auto* box = control<QCheckBox>(w, "chkAUTOSTART");
            EXPECT_EQ(box->isChecked(), !on);
            box->setChecked(on);
            click(w, button);
            ASSERT_TRUE(test::waitUntil([&] { return !w->isVisible(); }, 5000));
            delete w;
            EXPECT_EQ(entry.enabled(), std::string(button) == "cmdOK" ? on : !on);
        }
    }
    EXPECT_FALSE(std::filesystem::exists(entry.path()));
}

// Without a tray the countdown window takes the icon's place, counts down,
// says why, and brings the main window back; "--tray" starts there.
TEST_F(DesktopTest, WithoutATrayTheCountdownWindowStandsIn) {
    ASSERT_FALSE(QSystemTrayIcon::isSystemTrayAvailable());
    f.settings.txtDIALUPWHEN = "30";
    start({"--tray"});
    ASSERT_TRUE(app->trayMode());
    CountdownWindow* w = app->countdownWindow();
    ASSERT_NE(w, nullptr);
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(app->backdrop()->isVisible() || app->mainForm()->isVisible());
    EXPECT_EQ(w->countdownText(), QStringLiteral("Vorel Running in 30 Seconds"));
    EXPECT_TRUE(control<QLabel>(w, "lblNOTRAY")->isVisible());
    app->timer1Tick();
    app->timer1Tick();
    EXPECT_EQ(w->countdownText(), QStringLiteral("Vorel Running in 29 Seconds"));
    click(w, "cmdRESTORE");
    EXPECT_FALSE(app->trayMode() || w->isVisible());
    EXPECT_TRUE(app->backdrop()->isVisible() && app->mainForm()->isVisible());
    // Closing it is the same as Restore: the program never goes unseen.
    app->goToTray();
    EXPECT_TRUE(w->isVisible());
    w->close();
    EXPECT_TRUE(!app->trayMode() && app->mainForm()->isVisible());
}

}  // namespace
}  // namespace vorel
