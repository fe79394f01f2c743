// The application shell without servers: start-up, "-R", the countdown, Run
// Mailer, the run window, exit, help, about and preview. Runs are replaced
// by a job the test holds and releases.
#include <gtest/gtest.h>
#include <sys/wait.h>

#include <QCheckBox>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTimer>
#include <atomic>
#include <chrono>
#include <thread>

#include "core/RunHost.h"
#include "gui/AboutWindow.h"
#include "gui/Backdrop.h"
#include "gui/MainForm.h"
#include "gui/RunMailWindow.h"
#include "gui/RunRequestBox.h"
#include "gui/StartUp.h"
#include "gui_support.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::waitUntil;

struct ShellTest : test::AppTest {
    std::atomic<int> jobs{0};
    std::atomic<bool> release{true};
    std::atomic<bool> stopSeen{false};
    bool autoClose = false;  // the run's choice (a countdown run's window closes)

    ~ShellTest() override { release = true; }

    // The windows with an auto-run interval (line 14); runs are the held job.
    void startApp(const std::string& interval, std::vector<std::string> args = {}) {
        app.reset();
        f.settings.txtDIALUPWHEN = interval;
        start(std::move(args));
        app->runs().setJob([this](const std::string&, RunHost& host) {
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
    QPushButton* runClose() { return control<QPushButton>(app->runWindow(), "cmdCLOSE"); }
};

TEST_F(ShellTest, StartUpShowsNamedWindowsAndNoTimerWithoutInterval) {
    startApp("");
    EXPECT_EQ(app->backdrop()->windowTitle(), QStringLiteral("Vorel List Manager"));
    EXPECT_TRUE(app->backdrop()->isVisible());
    EXPECT_EQ(app->mainForm()->windowTitle(), QStringLiteral("Vorel Mailing List Manager"));
    EXPECT_TRUE(app->mainForm()->isVisible());
    EXPECT_EQ(versionLabel(3, 6, 8), "Version 3.6.8");
    EXPECT_EQ(control<QLabel>(app->mainForm(), "lblVERSION")->text(),
              QString::fromStdString(
                  versionLabel(VOREL_VERSION_MAJOR, VOREL_VERSION_MINOR, VOREL_VERSION_PATCH)));
    EXPECT_FALSE(app->backdrop()->timer()->isActive());
    EXPECT_FALSE(app->runWindow()->isVisible());
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
    test::pause(50);
    EXPECT_EQ(jobs, 0);
}

// "-R" in any case anywhere runs once at start-up; the main window shown
// again after that run starts no other.
TEST_F(ShellTest, DashRStartsOneRunAtStartUp) {
    const std::pair<std::vector<std::string>, bool> cases[] = {{{"-R"}, true},
                                                               {{"-r"}, true},
                                                               {{"--verbose", "x-Rated"}, true},
                                                               {{}, false},
                                                               {{"/R", "R-"}, false}};
    for (const auto& [args, runs] : cases) {
        SCOPED_TRACE(args.empty() ? "" : args[0]);
        jobs = 0;
        startApp("", args);
        ASSERT_TRUE(waitIdle());
        EXPECT_EQ(jobs, runs ? 1 : 0);
        EXPECT_EQ(app->runWindow()->isVisible(), runs);
        click(runClose());
        EXPECT_FALSE(app->runWindow()->isVisible());
        EXPECT_TRUE(app->mainForm()->isVisible());
        test::pause(50);
        EXPECT_EQ(jobs, runs ? 1 : 0);
    }
}

// Counted only in the tray: leaving it holds the count, the thirtieth tick
// runs unseen, and the count starts again.
TEST_F(ShellTest, CountdownRunsOnTheThirtiethTickInTheTray) {
    autoClose = true;
    startApp("30");
    EXPECT_TRUE(app->backdrop()->timer()->isActive());
    click(app->mainForm(), "Picture5");
    ASSERT_TRUE(app->trayMode());
    // In the tray, or where there is none (offscreen) in the taskbar.
    EXPECT_TRUE(!app->backdrop()->isVisible() || app->backdrop()->isMinimized());
    EXPECT_FALSE(app->mainForm()->isVisible());
    ticks(1);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 30 Seconds"));
    ticks(9);
    app->restoreFromTray();
    EXPECT_FALSE(app->trayMode());
    EXPECT_TRUE(app->mainForm()->isVisible());
    ticks(3);
    EXPECT_EQ(menu(), QStringLiteral("Vorel will Autorun when running in Taskbar"));
    EXPECT_EQ(app->backdrop()->statusLabel()->text(),
              QStringLiteral("Vorel Will Autorun when Running in Taskbar"));
    app->goToTray();
    ticks(19);
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

    // An interval lowered below the count reached runs at the next tick.
    Countdown c;
    c.setInterval(30);
    for (int i = 0; i < 20; ++i) {
        EXPECT_FALSE(c.tick(true).startRun);
    }
    c.setInterval(10);
    EXPECT_TRUE(c.tick(true).startRun);
    EXPECT_EQ(c.tick(true).menuCaption, "Vorel Running in 10 Seconds");
}

// Run Mailer stops Timer1 for the run and gives it back; neither the button
// nor the countdown starts a second run meanwhile; the close box asks the
// run to stop as "&Stop Mailer" does, and Close then brings the main window.
TEST_F(ShellTest, RunMailerHoldsTheTimerStopsOnRequestAndClosesAfterwards) {
    startApp("30");
    release = false;
    click(app->mainForm(), "Picture2");
    ASSERT_TRUE(waitUntil([this] { return jobs == 1; }));
    EXPECT_EQ(runClose()->text(), RunMailWindow::stopCaption());
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_FALSE(app->mainForm()->isVisible());
    EXPECT_FALSE(app->backdrop()->timer()->isActive());
    app->runMailer();
    app->goToTray();
    ticks(30);
    test::pause(50);
    app->restoreFromTray();
    app->runWindow()->close();
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_EQ(runClose()->text(), RunMailWindow::cancellingCaption());
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(stopSeen);
    EXPECT_EQ(jobs, 1);
    EXPECT_TRUE(app->backdrop()->timer()->isActive());
    EXPECT_TRUE(app->mainForm()->isVisible());
    EXPECT_EQ(runClose()->text(), RunMailWindow::closeCaption());
    EXPECT_EQ(items(control<QListWidget>(app->runWindow(), "lstLOG")),
              QStringList{QStringLiteral("job")});
    click(runClose());
    EXPECT_FALSE(app->runWindow()->isVisible());
    EXPECT_TRUE(app->mainForm()->isVisible());
}

// lstLOG and lstdebug are emptied once they hold more than 15 and 10
// lines; each Debug Mode click reaches the run once, the run's own setting not.
TEST(RunWindow, ListLimitsAndDebugModeClicks) {
    RunRequestBox box;
    RunMailWindow w(box);
    for (auto [name, limit] : {std::pair{"lstLOG", 15}, std::pair{"lstdebug", 10}}) {
        auto* list = control<QListWidget>(&w, name);
        for (int i = 0; i <= limit + 1; ++i) {
            const QString line = i <= limit ? QString::number(i) : QStringLiteral("next");
            if (list->objectName() == QStringLiteral("lstLOG")) {
                w.addLogEntry(line);
            } else {
                w.addDebugLine(line);
            }
            EXPECT_EQ(list->currentRow(), list->count() - 1);
        }
        EXPECT_EQ(items(list), QStringList{QStringLiteral("next")}) << name;
    }
    w.show();
    w.runStarted();
    auto* chk = control<QCheckBox>(&w, "chkDEBUGMODE");
    click(chk);
    click(chk);
    RunRequests asked = box.take();
    EXPECT_EQ(asked.debugMode, std::optional<bool>(false));
    EXPECT_FALSE(asked.stop);
    EXPECT_FALSE(box.take().debugMode.has_value());
    w.setDebugModeBox(true);
    EXPECT_FALSE(box.take().debugMode.has_value());
}

TEST_F(ShellTest, ExitAsksFirstAndStopsARunBeforeTheProgramEnds) {
    startApp("");
    QSignalSpy quit(app.get(), &AppWindows::quitRequested);
    MessageBox::setNextAnswer(MessageBox::No);
    click(app->mainForm(), "Picture3");
    EXPECT_EQ(MessageBox::shownTexts(),
              QStringList{QStringLiteral("Are you sure you want to quit?")});
    EXPECT_EQ(quit.count(), 0);
    EXPECT_TRUE(app->mainForm()->isVisible());
    release = false;
    app->runMailer();
    ASSERT_TRUE(waitUntil([this] { return jobs == 1; }));
    MessageBox::setNextAnswer(MessageBox::Yes);
    app->exitSystem();
    EXPECT_TRUE(stopSeen);
    EXPECT_FALSE(app->running());
    EXPECT_EQ(quit.count(), 1);
}

TEST_F(ShellTest, AboutLinksOpenTheirPagesAndLeaveTheWindowOpen) {
    startApp("");
    click(app->mainForm(), "Picture4");
    AboutWindow* about = app->aboutWindow();
    ASSERT_NE(about, nullptr);
    for (QPushButton* b : about->findChildren<QPushButton*>(QStringLiteral("cmdWEBSITELINK"))) {
        click(b);
    }
    click(about, "Command1");
    QStringList urls;
    for (const QUrl& u : opened) {
        urls << u.toString();
    }
    EXPECT_EQ(urls.join(' '), QStringLiteral("http://www.vorel.example/ "
                                             "http://www.vorel.example/updates.htm "
                                             "http://www.vorel.example/user_guide.htm "
                                             "http://www.vorel.example/contact_us.htm "
                                             "http://partner.vorel.example/?r=vorel"));
    EXPECT_TRUE(about->isVisible());
    click(about, "cmdOK");
    EXPECT_TRUE(waitUntil([this] { return app->aboutWindow() == nullptr; }));
}

int shell(const std::string& cmd, std::string* out = nullptr) {
    FILE* p = ::popen(cmd.c_str(), "r");
    char buf[256];
    while (p && std::fgets(buf, sizeof buf, p)) {
        if (out) {
            *out += buf;
        }
    }
    const int status = p ? ::pclose(p) : -1;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(StartUp, WithoutADisplayExits2AndSigtermEndsTheWindowsLikeTheirCloseBox) {
    std::string out;
    EXPECT_EQ(shell(std::string("env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM ") +
                        VOREL_BINARY + " --folder /nonexistent/vorel-no-display -R 2>&1",
                    &out),
              2);
    EXPECT_EQ(out, std::string(kNoDisplayMessage) + "\n");
    test::TempFolder folder;
    EXPECT_EQ(shell(std::string("QT_QPA_PLATFORM=offscreen ") + VOREL_BINARY + " --folder " +
                    folder.path() + " >/dev/null 2>&1 & pid=$!; sleep 1.5; kill -TERM $pid; " +
                    "wait $pid"),
              0);
}

}  // namespace
}  // namespace vorel
