// At home on a desktop: the autostart entry, the tray, and the window standing in for it.
#include <QCheckBox>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "forms/Autostart.h"
#include "forms/StartUp.h"
#include "gui/CountdownWindow.h"
#include "gui/SettingsWindow.h"
#include "gui_support.h"

namespace vorel {
namespace {

using test::click;
using test::control;

// A package's smoke test and a server's scripts ask these without a display;
// the windows then exit 2, and with one SIGTERM ends them like their close box.
TEST(CommandLine, VersionAndHelpNeedNoDisplayTheWindowsDo) {
    test::TempFolder out;
    const std::string vorel = std::string(VOREL_BINARY) + " --folder " + out.path() + "/f ";
    const std::string version = "vorel " + std::to_string(VOREL_VERSION_MAJOR) + "." +
                                std::to_string(VOREL_VERSION_MINOR) + "." +
                                std::to_string(VOREL_VERSION_PATCH) + "\n";
    const std::tuple<const char*, std::string, int> cases[] = {
        {"--version", version, 0},
        {"--help", "usage: vorel", 0},
        {"-h", "usage: vorel", 0},
        {"-R", std::string(kNoDisplayMessage) + "\n", 2}};
    for (const auto& [arg, starts, status] : cases) {
        EXPECT_EQ(std::system(("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " + vorel +
                               arg + " >" + out.file("out") + " 2>&1")
                                  .c_str()),
                  status << 8)
            << arg;
        EXPECT_EQ(out.read("out").rfind(starts, 0), 0U) << arg << ": " << out.read("out");
    }
    // Nothing was created for them.
    EXPECT_FALSE(out.exists("f"));
    EXPECT_EQ(std::system(("QT_QPA_PLATFORM=offscreen " + vorel +
                           " >/dev/null 2>&1 & pid=$!; sleep 1.5; kill -TERM $pid; wait $pid")
                              .c_str()),
              0);
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

// The tray as a KDE, Xfce, Cinnamon or GNOME (AppIndicator) panel drives it:
// a StatusNotifier watcher on a bus of the test's own clicks the icon once
// (Activate), then chooses the menu's Restore, then its Exit. Qt speaks that
// protocol only on a real display, so the test runs itself again under
// Xvfb with a session bus of its own.
TEST_F(DesktopTest, APanelsClickAndMenuBringTheWindowsBackOrEndTheProgram) {
    if (test::childMode().empty()) {
        if (std::system("command -v xvfb-run >/dev/null") != 0) {
            GTEST_SKIP() << "needs xvfb-run";
        }
        EXPECT_TRUE(test::passesInChild("tray", "xvfb-run -a", "QT_QPA_PLATFORM=xcb"));
        return;
    }
    const std::string log = f.folder.file("panel.log");
    auto panel = test::startHelper(
        "sni_panel.py", {test::q(log), QStringLiteral("activate"),
                         QStringLiteral("menu:Restore Vorel"), QStringLiteral("menu:Exit")});
    f.settings.txtDIALUPWHEN = "30";
    start({"--tray"});
    bool quit = false;
    QObject::connect(app.get(), &AppWindows::quitRequested, [&] { quit = true; });
    ASSERT_TRUE(QSystemTrayIcon::isSystemTrayAvailable());
    EXPECT_EQ(app->countdownWindow(), nullptr);  // the icon, not its stand-in
    for (const char* how : {"a click", "Restore"}) {
        SCOPED_TRACE(how);
        ASSERT_TRUE(app->trayMode());
        EXPECT_TRUE(test::waitUntil([&] { return !app->trayMode(); }, 10000));
        EXPECT_TRUE(app->mainForm()->isVisible());
        app->goToTray();
    }
    MessageBox::setNextAnswer(MessageBox::Yes);
    EXPECT_TRUE(test::waitUntil([&] { return quit; }, 10000));
    EXPECT_EQ(MessageBox::answeredTexts(),
              QStringList{QStringLiteral("Are you sure you want to quit?")});
    panel.reset();
    // What the panel showed each time: the tooltip says what a click does,
    // the menu has the countdown, Restore and Exit.
    const std::string seen = f.folder.read("panel.log");
    EXPECT_NE(seen.find("Click to restore"), std::string::npos) << seen;
    EXPECT_NE(seen.find(R"("menu": ["Vorel Running in 30 Seconds", "Restore Vorel", "Exit"])"),
              std::string::npos)
        << seen;
}

}  // namespace
}  // namespace vorel
