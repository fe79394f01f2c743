// The application shell without servers: start-up, "-R", the countdown, Run
// Mailer, the run window's lists and button, exit, help, about and preview.
// Runs are replaced by a job the test holds and releases.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QMenu>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QSystemTrayIcon>
#include <QTest>
#include <QTimer>
#include <QToolButton>
#include <QUrl>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <memory>
#include <thread>

#include "core/RunHost.h"
#include "gui/AboutWindow.h"
#include "gui/AppWindows.h"
#include "gui/Backdrop.h"
#include "gui/Countdown.h"
#include "gui/HelpWindow.h"
#include "gui/MainForm.h"
#include "gui/MessageBox.h"
#include "gui/RunMailWindow.h"
#include "gui/RunRequestBox.h"
#include "gui/Shell.h"
#include "gui/StartUp.h"
#include "gui_support.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::waitUntil;

struct ShellTest : ::testing::Test {
    test::GuiFolder f;
    std::unique_ptr<AppWindows> app;
    std::atomic<int> jobs{0};
    std::atomic<bool> release{true};
    std::atomic<bool> stopSeen{false};
    std::vector<QUrl> opened;
    bool openResult = true;

    ShellTest() {
        MessageBox::clearAnswers();
        setUrlOpener([this](const QUrl& url) {
            opened.push_back(url);
            return openResult;
        });
    }
    ~ShellTest() override {
        release = true;
        app.reset();
        setUrlOpener({});
        MessageBox::clearAnswers();
    }

    // Starts the windows with an auto-run interval (line 14) and arguments;
    // runs are the held job. Timer1 ticks only when the test says so.
    void startApp(const std::string& interval, std::vector<std::string> args = {}) {
        f.settings.txtDIALUPWHEN = interval;
        f.writeSettings();
        app = std::make_unique<AppWindows>(f.folder.path(), std::move(args));
        app->setTickInterval(3600 * 1000);
        const bool autoClose = leadingNumber(interval) > 0;
        app->runs().setJob([this, autoClose](const std::string&, RunHost& host) {
            ++jobs;
            host.addLogEntry("job");
            while (!release) {
                if (host.yield().stop) {
                    stopSeen = true;
                    break;
                }
                std::this_thread::sleep_for(std::chrono::milliseconds(5));
            }
            RunOutcome o;
            o.ended = true;
            o.closeWindow = autoClose;
            return o;
        });
        app->start();
    }
    bool waitIdle() {
        return waitUntil([this] { return !app->running(); });
    }
    QString menu() const { return app->backdrop()->secondsAction()->text(); }
    void ticks(int n) {
        for (int i = 0; i < n; ++i) {
            app->timer1Tick();
        }
    }
};

TEST_F(ShellTest, StartUpShowsTheWindowsWithNamesAndNoTimerWithoutInterval) {
    startApp("");
    EXPECT_TRUE(app->backdrop()->isVisible());
    EXPECT_EQ(app->backdrop()->windowTitle(), QStringLiteral("Vorel List Manager"));
    EXPECT_TRUE(app->mainForm()->isVisible());
    EXPECT_EQ(app->mainForm()->windowTitle(), QStringLiteral("Vorel Mailing List Manager"));
    EXPECT_EQ(control<QLabel>(app->mainForm(), "lblVERSION")->text(),
              QString::fromStdString(
                  versionLabel(VOREL_VERSION_MAJOR, VOREL_VERSION_MINOR, VOREL_VERSION_PATCH)));
    EXPECT_EQ(versionLabel(3, 6, 8), "Version 3.6.8");
    EXPECT_FALSE(app->backdrop()->timer()->isActive());
    EXPECT_FALSE(app->runWindow()->isVisible());
    EXPECT_EQ(jobs, 0);
    // Screen readers and UI automation find every control by a name.
    for (QWidget* window :
         {static_cast<QWidget*>(app->mainForm()), static_cast<QWidget*>(app->runWindow())}) {
        for (QWidget* w : window->findChildren<QWidget*>()) {
            if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QListWidget*>(w)) {
                EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
                EXPECT_FALSE(w->objectName().isEmpty());
            }
        }
    }
}

struct SwitchCase {
    std::vector<std::string> args;
    bool runs;
};

class DashR : public ShellTest, public ::testing::WithParamInterface<SwitchCase> {};

// A run starts at start-up for "-R" in any case anywhere; showing the main
// window again after that run does not start another.
TEST_P(DashR, StartsARunAtStartUpOnce) {
    startApp("", GetParam().args);
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(jobs, GetParam().runs ? 1 : 0);
    if (GetParam().runs) {
        EXPECT_TRUE(app->runWindow()->isVisible());
        EXPECT_TRUE(app->mainForm()->isVisible());
        click(control<QPushButton>(app->runWindow(), "cmdCLOSE"));
        EXPECT_FALSE(app->runWindow()->isVisible());
        EXPECT_TRUE(app->mainForm()->isVisible());
        QTest::qWait(50);
        EXPECT_EQ(jobs, 1);
    }
}

INSTANTIATE_TEST_SUITE_P(CommandLines, DashR,
                         ::testing::Values(SwitchCase{{"-R"}, true}, SwitchCase{{"-r"}, true},
                                           SwitchCase{{"--verbose", "x-Rated"}, true},
                                           SwitchCase{{}, false}, SwitchCase{{"/R", "R-"}, false}));

TEST_F(ShellTest, CountdownInTheTrayRunsOnTheThirtiethTickAndStartsAgain) {
    startApp("30");
    EXPECT_TRUE(app->backdrop()->timer()->isActive());
    click(control<QToolButton>(app->mainForm(), "Picture5"));
    ASSERT_TRUE(app->trayMode());
    // In the tray, or where there is none (offscreen) in the taskbar.
    EXPECT_TRUE(!app->backdrop()->isVisible() || app->backdrop()->isMinimized());
    EXPECT_FALSE(app->mainForm()->isVisible());

    ticks(1);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 30 Seconds"));
    ticks(28);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 2 Seconds"));
    EXPECT_EQ(jobs, 0);
    ticks(1);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 1 Seconds"));
    EXPECT_TRUE(app->running());
    EXPECT_FALSE(app->backdrop()->timer()->isActive());
    EXPECT_FALSE(app->runWindow()->isVisible());
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(jobs, 1);
    EXPECT_TRUE(app->backdrop()->timer()->isActive());
    EXPECT_FALSE(app->mainForm()->isVisible());
    // The invisible run window closed itself: the next run starts with empty lists.
    EXPECT_EQ(control<QListWidget>(app->runWindow(), "lstLOG")->count(), 0);
    ticks(1);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 30 Seconds"));
}

TEST_F(ShellTest, CountResumesAfterLeavingAndReenteringTheTray) {
    startApp("30");
    app->goToTray();
    ticks(10);
    // Without a tray the user gets the window back from the taskbar.
    if (QSystemTrayIcon::isSystemTrayAvailable()) {
        app->restoreFromTray();
    } else {
        app->backdrop()->showNormal();
    }
    EXPECT_FALSE(app->trayMode());
    EXPECT_TRUE(app->mainForm()->isVisible());
    ticks(3);
    EXPECT_EQ(menu(), QStringLiteral("Vorel will Autorun when running in Taskbar"));
    EXPECT_EQ(app->backdrop()->statusLabel()->text(),
              QStringLiteral("Vorel Will Autorun when Running in Taskbar"));
    click(control<QToolButton>(app->mainForm(), "Picture5"));
    ticks(1);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 20 Seconds"));
}

// Needs a desktop with a tray (Xvfb with a tray host such as trayer).
TEST_F(ShellTest, WithATrayTheIconHoldsTheWindowsAndADoubleClickRestores) {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        GTEST_SKIP() << "no system tray on this desktop";
    }
    startApp("30");
    app->goToTray();
    auto* tray = app->backdrop()->findChild<QSystemTrayIcon*>();
    ASSERT_NE(tray, nullptr);
    EXPECT_TRUE(tray->isVisible());
    EXPECT_EQ(tray->toolTip(), QStringLiteral("Grrr! Vorel! Double Click to Restore"));
    EXPECT_EQ(tray->contextMenu()->actions(), QList<QAction*>{app->backdrop()->secondsAction()});
    EXPECT_FALSE(app->backdrop()->isVisible());
    EXPECT_FALSE(app->mainForm()->isVisible());
    ticks(1);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 30 Seconds"));
    Q_EMIT tray->activated(QSystemTrayIcon::DoubleClick);
    EXPECT_FALSE(app->trayMode());
    EXPECT_FALSE(tray->isVisible());
    EXPECT_TRUE(app->backdrop()->isVisible());
    EXPECT_TRUE(app->mainForm()->isVisible());
}

TEST(Countdown, AnIntervalLoweredBelowTheCountStartsTheRunAtTheNextTick) {
    Countdown c;
    c.setInterval(30);
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(c.tick(true).startRun);
    }
    c.setInterval(10);
    Countdown::Tick t = c.tick(true);
    EXPECT_EQ(t.menuCaption, "Vorel Running in 1 Seconds");
    EXPECT_TRUE(t.startRun);
    EXPECT_EQ(c.tick(true).menuCaption, "Vorel Running in 10 Seconds");
}

// Run Mailer stops Timer1 for the run and gives it back; the count stays;
// neither the button nor the countdown starts a second run meanwhile.
TEST_F(ShellTest, RunMailerHoldsTheTimerAndNeverStartsASecondRun) {
    startApp("30");
    app->goToTray();
    ticks(5);
    app->restoreFromTray();
    release = false;
    click(control<QToolButton>(app->mainForm(), "Picture2"));
    ASSERT_TRUE(waitUntil([this] { return jobs == 1; }));
    auto* close = control<QPushButton>(app->runWindow(), "cmdCLOSE");
    EXPECT_EQ(close->text(), RunMailWindow::stopCaption());
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_FALSE(app->mainForm()->isVisible());
    EXPECT_FALSE(app->backdrop()->timer()->isActive());

    app->runMailer();
    app->goToTray();
    ticks(30);
    QTest::qWait(50);
    EXPECT_EQ(jobs, 1);
    app->restoreFromTray();

    release = true;
    ASSERT_TRUE(waitIdle());
    EXPECT_EQ(jobs, 1);
    EXPECT_TRUE(app->backdrop()->timer()->isActive());
    EXPECT_TRUE(app->mainForm()->isVisible());
    // An auto-run interval is set: the run window closed by itself.
    EXPECT_FALSE(app->runWindow()->isVisible());
    EXPECT_EQ(close->text(), RunMailWindow::closeCaption());
}

TEST_F(ShellTest, StopMailerAsksTheRunToStopAndCloseClosesAfterwards) {
    startApp("0");
    release = false;
    click(control<QToolButton>(app->mainForm(), "Picture2"));
    auto* close = control<QPushButton>(app->runWindow(), "cmdCLOSE");
    ASSERT_TRUE(waitUntil([this] { return jobs == 1; }));
    // The run window's own close box stops the run as the button does.
    app->runWindow()->close();
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_EQ(close->text(), RunMailWindow::cancellingCaption());
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(stopSeen);
    EXPECT_EQ(close->text(), RunMailWindow::closeCaption());
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_EQ(items(control<QListWidget>(app->runWindow(), "lstLOG")),
              QStringList{QStringLiteral("job")});
    click(close);
    EXPECT_FALSE(app->runWindow()->isVisible());
    EXPECT_TRUE(app->mainForm()->isVisible());
}

struct LimitCase {
    const char* list;
    int limit;
};

class ListLimit : public ::testing::TestWithParam<LimitCase> {};

TEST_P(ListLimit, ListIsClearedWhenItHoldsMoreThanItsLimit) {
    RunRequestBox box;
    RunMailWindow w(box);
    auto* list = control<QListWidget>(&w, GetParam().list);
    auto add = [&](const QString& t) {
        if (QString::fromLatin1(GetParam().list) == QStringLiteral("lstLOG")) {
            w.addLogEntry(t);
        } else {
            w.addDebugLine(t);
        }
    };
    for (int i = 1; i <= GetParam().limit + 1; ++i) {
        add(QString::number(i));
    }
    EXPECT_EQ(list->count(), GetParam().limit + 1);
    add(QStringLiteral("next"));
    EXPECT_EQ(items(list), QStringList{QStringLiteral("next")});
    EXPECT_EQ(list->currentRow(), 0);
}

INSTANTIATE_TEST_SUITE_P(Lists, ListLimit,
                         ::testing::Values(LimitCase{"lstLOG", 15}, LimitCase{"lstdebug", 10}));

TEST_F(ShellTest, DebugModeClicksReachTheRunOnceEach) {
    RunRequestBox box;
    RunMailWindow w(box);
    w.show();
    w.runStarted();
    auto* chk = control<QCheckBox>(&w, "chkDEBUGMODE");
    click(chk);
    click(chk);
    RunRequests asked = box.take();
    EXPECT_EQ(asked.debugMode, std::optional<bool>(false));
    EXPECT_FALSE(asked.stop);
    EXPECT_FALSE(box.take().debugMode.has_value());
    // The run setting the box does not count as a click.
    w.setDebugModeBox(true);
    EXPECT_FALSE(box.take().debugMode.has_value());
}

TEST_F(ShellTest, ExitSystemAnsweredNoLeavesEverythingAndYesEnds) {
    startApp("");
    QSignalSpy quit(app.get(), &AppWindows::quitRequested);
    MessageBox::setNextAnswer(MessageBox::No);
    click(control<QToolButton>(app->mainForm(), "Picture3"));
    EXPECT_EQ(MessageBox::shownTexts(),
              QStringList{QStringLiteral("Are you sure you want to quit?")});
    EXPECT_EQ(quit.count(), 0);
    EXPECT_TRUE(app->mainForm()->isVisible());
    EXPECT_TRUE(app->backdrop()->isVisible());
    MessageBox::setNextAnswer(MessageBox::Yes);
    click(control<QToolButton>(app->mainForm(), "Picture3"));
    EXPECT_EQ(quit.count(), 1);
}

// Ending the program mid-run lets the run finish the item at hand first.
TEST_F(ShellTest, ExitDuringARunStopsTheRunBeforeTheProgramEnds) {
    startApp("");
    QSignalSpy quit(app.get(), &AppWindows::quitRequested);
    release = false;
    app->runMailer();
    ASSERT_TRUE(waitUntil([this] { return jobs == 1; }));
    app->backdrop()->close();
    EXPECT_TRUE(stopSeen);
    EXPECT_FALSE(app->running());
    EXPECT_EQ(quit.count(), 1);
}

TEST_F(ShellTest, ANewHelpTextReplacesTheOldInOneWindow) {
    startApp("");
    helpStart();
    helpLine("First help");
    helpShow();
    HelpWindow* first = app->helpWindow();
    ASSERT_NE(first, nullptr);
    EXPECT_EQ(first->windowTitle(), QStringLiteral("Vorel Help"));
    helpStart();
    helpLine("Second help");
    helpLine("line two");
    helpShow();
    EXPECT_EQ(app->helpWindow(), first);
    EXPECT_EQ(control<QPlainTextEdit>(first, "txtHELP")->toPlainText(),
              QStringLiteral("Second help\nline two\n"));
    int helpWindows = 0;
    for (QWidget* w : QApplication::topLevelWidgets()) {
        helpWindows += w->objectName() == QStringLiteral("frmVORELHELP") && w->isVisible();
    }
    EXPECT_EQ(helpWindows, 1);
    click(control<QPushButton>(first, "Command1"));
    EXPECT_TRUE(waitUntil([this] { return app->helpWindow() == nullptr; }));
}

TEST_F(ShellTest, AboutLinksOpenTheirPagesAndLeaveTheWindowOpen) {
    startApp("");
    click(control<QToolButton>(app->mainForm(), "Picture4"));
    AboutWindow* about = app->aboutWindow();
    ASSERT_NE(about, nullptr);
    for (QPushButton* b : about->findChildren<QPushButton*>(QStringLiteral("cmdWEBSITELINK"))) {
        click(b);
    }
    click(control<QPushButton>(about, "Command1"));
    std::vector<QString> urls;
    for (const QUrl& u : opened) {
        urls.push_back(u.toString());
    }
    EXPECT_EQ(urls,
              (std::vector<QString>{QStringLiteral("http://www.vorel.example/"),
                                    QStringLiteral("http://www.vorel.example/updates.htm"),
                                    QStringLiteral("http://www.vorel.example/user_guide.htm"),
                                    QStringLiteral("http://www.vorel.example/contact_us.htm"),
                                    QStringLiteral("http://partner.vorel.example/?r=vorel")}));
    EXPECT_TRUE(about->isVisible());
    click(control<QPushButton>(about, "cmdOK"));
    EXPECT_TRUE(waitUntil([this] { return app->aboutWindow() == nullptr; }));
}

struct PreviewCase {
    const char* body;
    const char* file;
    bool opens;
    bool complains;
};

class Preview : public ShellTest, public ::testing::WithParamInterface<PreviewCase> {};

TEST_P(Preview, WritesTheFileAndOpensIt) {
    openResult = GetParam().opens;
    MessageBox::setStandingAnswer(MessageBox::Ok);
    previewMessage(nullptr, f.folder.path(), GetParam().body);
    EXPECT_EQ(f.folder.read(GetParam().file), std::string(GetParam().body) + "\r\n");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0],
              QUrl::fromLocalFile(QString::fromStdString(f.folder.file(GetParam().file))));
    EXPECT_EQ(MessageBox::shownTexts(),
              GetParam().complains
                  ? QStringList{QStringLiteral("Sorry, Could not find 'notepad.exe'")}
                  : QStringList{});
}

INSTANTIATE_TEST_SUITE_P(
    Bodies, Preview,
    ::testing::Values(PreviewCase{"<HTML><b>Hi</b>", "htmlprev.htm", true, false},
                      PreviewCase{"<html>lower case is text", "msg.temp", true, false},
                      PreviewCase{"plain", "msg.temp", false, true}));

TEST(StartUp, WithoutADisplayTheProgramSaysSoAndExits2) {
    std::string cmd = std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") +
                      VOREL_BINARY + " --folder /nonexistent/vorel-no-display -R 2>&1";
    FILE* p = ::popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    char buf[256] = {};
    std::string out;
    while (std::fgets(buf, sizeof buf, p)) {
        out += buf;
    }
    int status = ::pclose(p);
    EXPECT_EQ(out, std::string(kNoDisplayMessage) + "\n");
    EXPECT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 2);
}

TEST(StartUp, SigtermEndsTheWindowsLikeTheirCloseBox) {
    test::TempFolder folder;
    std::string cmd = std::string("QT_QPA_PLATFORM=offscreen ") + VOREL_BINARY + " --folder " +
                      folder.path() + " >/dev/null 2>&1 & pid=$!; sleep 1.5; kill -TERM $pid; " +
                      "wait $pid";
    int status = std::system(cmd.c_str());
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0);
}

}  // namespace
}  // namespace vorel
