// At home on a desktop: the autostart entry, and the countdown window that
// stands in for the tray icon where there is no tray (offscreen has none).
#include <QCheckBox>
#include <QLabel>
#include <QSystemTrayIcon>
#include <cstdio>
#include <cstdlib>
#include <filesystem>

#include "forms/Autostart.h"
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
