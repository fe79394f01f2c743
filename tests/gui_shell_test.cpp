// The shell and the settings window without servers; a run is a job the test holds.
#include <QCheckBox>
#include <QComboBox>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTimer>
#include <QToolButton>
#include <atomic>
#include <filesystem>
#include <thread>

#include "core/RunHost.h"
#include "forms/StartUp.h"
#include "gui/AboutWindow.h"
#include "gui/SettingsWindow.h"
#include "gui_support.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::press;
using test::q;
using test::texts;
using test::waitUntil;

struct ShellTest : test::AppTest {
    std::atomic<int> jobs{0};
    std::atomic<bool> release{true}, stopSeen{false}, debugAsked{false};
    bool autoClose = false;  // the run's choice (a countdown run's window closes)
    ~ShellTest() override {  // the held job reads these members: end it first
        release = true;
        app.reset();
    }
    // The windows with an auto-run interval (line 14); runs are the held job.
    void startApp(const std::string& interval, std::vector<std::string> args = {}) {
        app.reset();
        jobs = 0;
        f.settings.txtDIALUPWHEN = interval;
        f.writeSettings();
        app = std::make_unique<AppWindows>(f.folder.path(), std::move(args));
        app->setTickInterval(3600 * 1000);
        app->runs().setJob([this](const std::string&, RunHost& host) {
            ++jobs;
            host.addLogEntry("job");
            for (RunRequests r; !release && !(stopSeen = r.stop); r = host.yield()) {
                debugAsked = r.debugMode.value_or(debugAsked);
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
        while (n-- > 0) {
            app->timer1Tick();
        }
    }
    QPushButton* runClose() { return control<QPushButton>(app->runWindow(), "cmdCLOSE"); }
};

TEST_F(ShellTest, StartUpShowsNamedWindowsAndNoTimerWithoutInterval) {
    startApp("");
    EXPECT_EQ(app->backdrop()->windowTitle(), QStringLiteral("Vorel List Manager"));
    EXPECT_EQ(app->mainForm()->windowTitle(), QStringLiteral("Vorel Mailing List Manager"));
    EXPECT_TRUE(app->backdrop()->isVisible() && app->mainForm()->isVisible());
    EXPECT_EQ(control<QLabel>(app->mainForm(), "lblVERSION")->text().toStdString(),
              versionLabel(VOREL_VERSION_MAJOR, VOREL_VERSION_MINOR, VOREL_VERSION_PATCH));
    EXPECT_FALSE(app->backdrop()->timer()->isActive() || app->runWindow()->isVisible());
}

// "-R" in any case anywhere runs once at start-up, and only then.
TEST_F(ShellTest, DashRStartsOneRunAtStartUp) {
    const std::pair<std::vector<std::string>, bool> cases[] = {{{"-R"}, true},
                                                               {{"-r"}, true},
                                                               {{"--verbose", "x-Rated"}, true},
                                                               {{}, false},
                                                               {{"/R", "R-"}, false}};
    for (const auto& [args, runs] : cases) {
        SCOPED_TRACE(args.empty() ? "" : args[0]);
        startApp("", args);
        ASSERT_TRUE(waitIdle());
        EXPECT_EQ(app->runWindow()->isVisible(), runs);
        click(runClose());
        EXPECT_TRUE(app->mainForm()->isVisible() && !app->runWindow()->isVisible());
        test::pause(50);
        EXPECT_EQ(jobs, runs ? 1 : 0);
    }
}

// Counted only in the tray: the thirtieth tick runs unseen, then the count starts again.
TEST_F(ShellTest, CountdownRunsOnTheThirtiethTickInTheTray) {
    autoClose = true;
    startApp("30");
    click(app->mainForm(), "Picture5");
    ASSERT_TRUE(app->trayMode());
    // In the tray, or where there is none (offscreen) in the taskbar.
    EXPECT_TRUE(!app->backdrop()->isVisible() || app->backdrop()->isMinimized());
    EXPECT_FALSE(app->mainForm()->isVisible());
    ticks(10);
    app->restoreFromTray();
    EXPECT_TRUE(!app->trayMode() && app->mainForm()->isVisible());
    ticks(3);
    EXPECT_EQ(menu(), QStringLiteral("Vorel will Autorun when running in the tray"));
    EXPECT_EQ(app->backdrop()->statusLabel()->text(),
              QStringLiteral("Vorel Will Autorun when Running in the Tray"));
    app->goToTray();
    ticks(19);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 2 Seconds"));
    ticks(1);
    EXPECT_TRUE(app->running());
    EXPECT_FALSE(app->backdrop()->timer()->isActive() || app->runWindow()->isVisible());
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(jobs == 1 && app->backdrop()->timer()->isActive() && !app->mainForm()->isVisible());
    // The invisible run window closed itself: the next run starts with empty lists.
    EXPECT_EQ(control<QListWidget>(app->runWindow(), "lstLOG")->count(), 0);
    ticks(1);
    EXPECT_EQ(menu(), QStringLiteral("Vorel Running in 30 Seconds"));
    // An interval lowered below the count reached runs at the next tick.
    Countdown c;
    c.setInterval(30);
    for (int i = 0; i < 20; ++i) {
        c.tick(true);
    }
    c.setInterval(10);
    EXPECT_TRUE(c.tick(true).startRun);
}

// Timer1 stops for the run; no second run starts; Debug Mode and the close
// box (as "&Stop Mailer") reach the run; Close then brings the main window.
TEST_F(ShellTest, RunMailerHoldsTheTimerStopsOnRequestAndClosesAfterwards) {
    startApp("30");
    release = false;
    click(app->mainForm(), "Picture2");
    ASSERT_TRUE(waitUntil([this] { return jobs == 1; }));
    EXPECT_EQ(runClose()->text(), RunMailWindow::stopCaption());
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_FALSE(app->mainForm()->isVisible() || app->backdrop()->timer()->isActive());
    app->runMailer();
    app->goToTray();
    ticks(30);
    test::pause(50);
    app->restoreFromTray();
    click(app->runWindow(), "chkDEBUGMODE");
    EXPECT_TRUE(waitUntil([this] { return debugAsked.load(); }));
    app->runWindow()->close();
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_EQ(runClose()->text(), RunMailWindow::cancellingCaption());
    ASSERT_TRUE(waitIdle());
    EXPECT_TRUE(stopSeen && jobs == 1);
    EXPECT_TRUE(app->backdrop()->timer()->isActive() && app->mainForm()->isVisible());
    EXPECT_EQ(runClose()->text(), RunMailWindow::closeCaption());
    EXPECT_EQ(items(control<QListWidget>(app->runWindow(), "lstLOG")), texts("job"));
    click(runClose());
    EXPECT_TRUE(app->mainForm()->isVisible() && !app->runWindow()->isVisible());
    release = false;  // a stop asked of the last run is not this one's
    click(app->mainForm(), "Picture2");
    EXPECT_FALSE(waitUntil([this] { return !app->running(); }, 300));
}

// The About links open their pages; Exit asks first and stops a run before the end.
TEST_F(ShellTest, AboutLinksAndExit) {
    startApp("");
    click(app->mainForm(), "Picture4");
    AboutWindow* about = app->aboutWindow();
    ASSERT_NE(about, nullptr);
    for (QPushButton* b : about->findChildren<QPushButton*>(QStringLiteral("cmdWEBSITELINK"))) {
        click(b);
    }
    click(about, "Command1");
    QString urls;
    for (const QUrl& u : opened) {
        urls += u.toString() + QLatin1Char(' ');
    }
    EXPECT_EQ(urls, QStringLiteral("http://www.vorel.example/ http://www.vorel.example/updates.htm "
                                   "http://www.vorel.example/user_guide.htm "
                                   "http://www.vorel.example/contact_us.htm "
                                   "http://partner.vorel.example/?r=vorel "));
    EXPECT_TRUE(about->isVisible());
    QSignalSpy quit(app.get(), &AppWindows::quitRequested);
    MessageBox::setNextAnswer(MessageBox::No);
    EXPECT_EQ(press(app->mainForm(), "Picture3"), texts("Are you sure you want to quit?"));
    EXPECT_EQ(quit.count(), 0);
    release = false;
    app->runMailer();
    ASSERT_TRUE(waitUntil([this] { return jobs == 1; }));
    MessageBox::setNextAnswer(MessageBox::Yes);
    app->exitSystem();
    EXPECT_TRUE(stopSeen && !app->running());
    EXPECT_EQ(quit.count(), 1);
}

struct SettingsTest : test::AppTest {
    QPointer<SettingsWindow> w;
    ~SettingsTest() override { delete w.data(); }
    void open() {
        w = new SettingsWindow(f.folder.path(), {"Home DSL", "Office VPN"});
        w->show();
    }
    QLineEdit* edit(const char* name) { return control<QLineEdit>(w, name); }
    bool closed() {
        return waitUntil([this] { return w.isNull(); }, 5000);
    }
};

// Each line of setup.ini shows in its named control and Ok writes it back.
TEST_F(SettingsTest, EveryLineReachesItsNamedControlAndOkWritesItBack) {
    const char* const names[] = {
        "txtPOP",     "txtSMTP",        "txtUSERID",         "txtPASSWORD",   "chkLEAVE",
        "chkLOG",     "txtAUTOFORWARD", "txtRUNPROGRAM",     "txtEMAILLOG",   "chkAUTODIAL",
        "cmbDIALUP",  "txtDIALUPID",    "txtDIALUPPASSWORD", "txtDIALUPWHEN", "chkAUTODISCONNECT",
        "txtTIMEOUT", "chkESMTP",       "chkDEBUG"};
    const QStringList values = texts(
        "pop.example.com|smtp.example.com|me|secret|1|0|fwd@x|run.sh|"
        "log@x|1|Office|dialer|dialpw|60|2|45|1|0");
    const std::string setup = values.join(QStringLiteral("\r\n")).toStdString() + "\r\n";
    f.folder.write("setup.ini", setup);
    f.folder.write("antispam.lst", "spam@x.example\t\t\r\n\tBuy now\t\r\n");
    open();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Set Up System"));
    for (int i = 0; i < Settings::kLineCount; ++i) {
        QWidget* c = control<QWidget>(w, names[i]);
        auto* box = qobject_cast<QCheckBox*>(c);
        EXPECT_EQ(
            box ? QString::number(box->checkState() == Qt::PartiallyChecked ? 2 : box->isChecked())
                : c->property(qobject_cast<QComboBox*>(c) ? "currentText" : "text").toString(),
            values[i])
            << names[i];
    }
    EXPECT_EQ(control<QComboBox>(w, "cmbDIALUP")->itemText(1), QStringLiteral("Office VPN"));
    EXPECT_EQ(items(control<QListWidget>(w, "lstSPAMLIST")),
              texts("spam@x.example\t\t|\tBuy now\t"));
    EXPECT_EQ(edit("txtDIALUPWHEN")->toolTip(),
              QStringLiteral("This will cause vorel to run it's mailer ever n seconds"));
    // The sending limits live beside setup.ini, which keeps its 18 lines.
    auto* daily = control<QSpinBox>(w, "spnDAILYLIMIT");
    EXPECT_EQ(daily->value() + control<QSpinBox>(w, "spnPACE")->value(), 0);
    daily->setValue(500);
    control<QSpinBox>(w, "spnPACE")->setValue(30);
    click(w, "cmdOK");
    EXPECT_TRUE(MessageBox::answeredTexts().isEmpty());
    EXPECT_TRUE(closed());
    EXPECT_EQ(f.folder.read("setup.ini"), setup);
    EXPECT_EQ(f.folder.read("sending.ini"), "dailylimit=500\r\npace=30\r\n");
    EXPECT_EQ(f.folder.read("antispam.lst"), "spam@x.example\t\t\r\n\tBuy now\t\r\n");
}

// Defaults without setup.ini; Ok warns about ESMTP, applies the interval's
// rule (Enter leaves no field) and, when a write fails, names the file.
TEST_F(SettingsTest, DefaultsAndOkWarnsAppliesTheIntervalRuleAndReportsAFailedWrite) {
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    // No end-of-run program unless one is set: a Windows path cannot run here.
    EXPECT_EQ(edit("txtRUNPROGRAM")->text() + edit("txtTIMEOUT")->text(), QStringLiteral("30"));
    edit("txtDIALUPWHEN")->setText(QStringLiteral("5"));
    // A directory in its place cannot be replaced, even by root.
    std::filesystem::create_directories(f.folder.file("setup.ini") + "/x");
    const QStringList said = press(w, "cmdOK");
    ASSERT_EQ(said.size(), 2);
    EXPECT_EQ(said[0],
              QStringLiteral("Please check with your service provider that your SMTP server "
                             "is not ESMTP, Vorel may behave unpredictably if this setting "
                             "is not correct!"));
    EXPECT_TRUE(said[1].contains(q(f.folder.file("setup.ini"))));
    EXPECT_TRUE(w->isVisible());
    std::filesystem::remove_all(f.folder.file("setup.ini"));
    click(w, "cmdOK");
    EXPECT_EQ(MessageBox::answeredTexts().size(), 3);
    EXPECT_TRUE(closed());
    const std::string setup = f.folder.read("setup.ini");
    EXPECT_NE(setup.find("\r\n0\r\n0\r\n30\r\n0\r\n0\r\n"), std::string::npos) << setup;
    EXPECT_EQ(f.folder.read("antispam.lst"), "");
}

TEST_F(SettingsTest, AntiSpamButtonsMaskedPasswordsAndTheLogButtons) {
    f.folder.write("log.txt", "line\r\n");
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    auto* list = control<QListWidget>(w, "lstSPAMLIST");
    click(w, "cmdADDSPAM");
    EXPECT_EQ(list->count(), 0);  // all three fields empty
    for (const char* name : {"txtANTISPAMFROM", "txtANTISPAMSUBJECT", "txtTO", "txtTO"}) {
        click(w, "cmdADDSPAM");
        edit(name)->insert(QStringLiteral("a"));
    }
    click(w, "cmdADDSPAM");
    EXPECT_EQ(items(list), texts("a\t\t|a\ta\t|a\ta\ta|a\ta\taa"));
    list->clearSelection();
    click(w, "cmdDELETESPAM");
    EXPECT_EQ(MessageBox::answeredTexts(), texts("Please select an email from the list"));
    list->setCurrentRow(1);
    click(w, "cmdDELETESPAM");
    EXPECT_EQ(items(list), texts("a\t\t|a\ta\ta|a\ta\taa"));
    for (auto [field, toggle] : {std::pair{"txtPASSWORD", "cmdSHOWPASSWORD"},
                                 std::pair{"txtDIALUPPASSWORD", "cmdSHOWDIALUPPASSWORD"}}) {
        EXPECT_EQ(edit(field)->echoMode(), QLineEdit::Password);
        control<QToolButton>(w, toggle)->click();
        EXPECT_EQ(edit(field)->echoMode(), QLineEdit::Normal);
    }
    // Logs are deleted after asking, and opened or said so.
    MessageBox::setNextAnswer(MessageBox::No);
    EXPECT_EQ(press(w, "cmdDELETE"), texts("Are you SURE you want to delete the Log?"));
    EXPECT_TRUE(f.folder.exists("log.txt"));
    MessageBox::setNextAnswer(MessageBox::Yes);
    click(w, "cmdDELETE");
    EXPECT_FALSE(f.folder.exists("log.txt"));
    MessageBox::clearAnswers();
    MessageBox::setStandingAnswer(MessageBox::Ok);
    for (bool opens : {true, false}) {
        openResult = opens;
        click(w, "Command1");
        click(w, "Command2");
    }
    EXPECT_EQ(opened.size(), 4u);
    // The real path, which the user can open by hand.
    const QStringList said = MessageBox::answeredTexts();
    ASSERT_EQ(said.size(), 2);
    EXPECT_TRUE(said[0].contains(q(f.folder.file("log.txt"))));
    EXPECT_TRUE(said[1].contains(q(f.folder.file("debug.log"))));
}

// Test Connection checks the values in the window on a worker thread; Cancel writes nothing.
TEST_F(SettingsTest, TestConnectionAndCancelWritesNothing) {
    f.folder.write("antispam.lst", "old\t\t\r\n");
    open();
    std::string seenPop;
    w->setConnectionChecker([&seenPop](const Settings& s) {
        seenPop = s.txtPOP;
        return Outcome::done("POP3 server: logged in.");
    });
    QTest::keyClicks(edit("txtPOP"), QStringLiteral("pop.example.com"));
    auto* test = control<QPushButton>(w, "cmdTESTCONNECTION");
    click(test);
    EXPECT_FALSE(test->isEnabled());
    ASSERT_TRUE(waitUntil([test] { return test->isEnabled(); }, 5000));
    EXPECT_EQ(control<QLabel>(w, "lblTESTRESULT")->text(),
              QStringLiteral("POP3 server: logged in."));
    EXPECT_EQ(seenPop, "pop.example.com");
    QTest::keyClicks(edit("txtANTISPAMFROM"), QStringLiteral("new@x.example"));
    click(w, "cmdADDSPAM");
    QSignalSpy done(w.data(), &SettingsWindow::closed);
    MessageBox::setNextAnswer(MessageBox::Discard);
    EXPECT_TRUE(press(w, "cmdCANCEL").value(0).contains(QStringLiteral("not saved")));
    EXPECT_EQ(done.count(), 1);
    EXPECT_TRUE(closed());
    EXPECT_EQ(f.folder.read("antispam.lst"), "old\t\t\r\n");
    EXPECT_FALSE(f.folder.exists("setup.ini"));
}

}  // namespace
}  // namespace vorel
