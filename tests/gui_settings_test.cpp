// frmSETUP driven offscreen: load, Ok writing both files, the ESMTP warning,
// Cancel, the anti-spam buttons, the logs, the interval's leave rule and a
// failing write. Message boxes are answered through the hooks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <filesystem>
#include <memory>

#include "gui/AppWindows.h"
#include "gui/MainForm.h"
#include "gui/MessageBox.h"
#include "gui/SettingsWindow.h"
#include "gui/Shell.h"
#include "gui_support.h"
#include "store/TextFile.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::waitUntil;

const QString kEsmtpWarning = QStringLiteral(
    "Please check with your service provider that your SMTP server is not ESMTP, Vorel may "
    "behave unpredictably if this setting is not correct!");

struct SettingsTest : ::testing::Test {
    test::TempFolder f;
    QPointer<SettingsWindow> w;
    std::vector<QUrl> opened;
    bool openResult = true;

    SettingsTest() {
        MessageBox::clearAnswers();
        setUrlOpener([this](const QUrl& url) {
            opened.push_back(url);
            return openResult;
        });
    }
    ~SettingsTest() override {
        delete w.data();
        setUrlOpener({});
        MessageBox::clearAnswers();
    }
    void open() {
        w = new SettingsWindow(f.path(), {"Home DSL", "Office VPN"});
        w->show();
    }
    QLineEdit* edit(const char* name) { return control<QLineEdit>(w, name); }
    QCheckBox* box(const char* name) { return control<QCheckBox>(w, name); }
    QPushButton* button(const char* name) { return control<QPushButton>(w, name); }
    std::vector<std::string> setupLines() {
        return readTextLines(f.file("setup.ini")).value_or(std::vector<std::string>{});
    }
    bool closed() {
        return waitUntil([this] { return w.isNull(); }, 5000);
    }
};

TEST_F(SettingsTest, LoadsBothFilesAndNamesEveryControl) {
    f.write("setup.ini",
            "pop.example.com\r\nsmtp.example.com\r\nme\r\nsecret\r\n1\r\n0\r\nfwd@me.example\r\n"
            "run.sh\r\nlog@me.example\r\n1\r\nOffice\r\ndialer\r\ndialpw\r\n60\r\n0\r\n45\r\n"
            "1\r\n0\r\n");
    f.write("antispam.lst", "spam@x.example\t\t\r\n\tBuy now\t\r\n");
    open();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Set Up System"));
    EXPECT_EQ(edit("txtPOP")->text(), QStringLiteral("pop.example.com"));
    EXPECT_EQ(edit("txtPASSWORD")->text(), QStringLiteral("secret"));
    EXPECT_TRUE(box("chkLEAVE")->isChecked());
    EXPECT_FALSE(box("chkLOG")->isChecked());
    EXPECT_TRUE(box("chkAUTODIAL")->isChecked());
    EXPECT_TRUE(box("chkESMTP")->isChecked());
    EXPECT_EQ(edit("txtDIALUPWHEN")->text(), QStringLiteral("60"));
    EXPECT_EQ(edit("txtTIMEOUT")->text(), QStringLiteral("45"));
    auto* dialUp = control<QComboBox>(w, "cmbDIALUP");
    EXPECT_EQ(dialUp->currentText(), QStringLiteral("Office"));
    ASSERT_EQ(dialUp->count(), 2);
    EXPECT_EQ(dialUp->itemText(1), QStringLiteral("Office VPN"));
    EXPECT_EQ(items(control<QListWidget>(w, "lstSPAMLIST")),
              (QStringList{QStringLiteral("spam@x.example\t\t"), QStringLiteral("\tBuy now\t")}));

    QStringList tabs;
    for (int i = 0; i < w->tabs()->count(); ++i) {
        tabs << w->tabs()->tabText(i);
    }
    EXPECT_EQ(tabs,
              (QStringList{QStringLiteral("Email Settings"), QStringLiteral("Connect Settings"),
                           QStringLiteral("System Settings"), QStringLiteral("Anti Spam")}));
    for (QWidget* c : w->findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractButton*>(c) || qobject_cast<QLineEdit*>(c) ||
            qobject_cast<QListWidget*>(c)) {
            if (c->parent() == dialUp) {
                continue;  // the combo box's own editor
            }
            EXPECT_FALSE(c->objectName().isEmpty()) << c->accessibleName().toStdString();
            EXPECT_FALSE(c->accessibleName().isEmpty()) << c->objectName().toStdString();
        }
    }
    EXPECT_TRUE(edit("txtPOP")->toolTip().contains(QStringLiteral("pop.example.com")));
    EXPECT_TRUE(edit("txtPOP")->toolTip().contains(QStringLiteral("pop3s://")));
    EXPECT_TRUE(edit("txtSMTP")->toolTip().contains(QStringLiteral("smtps://")));
    EXPECT_EQ(edit("txtDIALUPWHEN")->toolTip(),
              QStringLiteral("This will cause vorel to run it's mailer ever n seconds"));
}

// Loading fills what the file has and keeps the defaults for the rest: a
// missing file, a short one, and one stopping at a check-box line a box
// cannot take ("3" on line 10).
TEST_F(SettingsTest, LoadingKeepsTheDefaultsPastWhatTheFileHolds) {
    struct Case {
        const char* setup;  // nullptr: no file
        const char* pop;
        bool leave;
        bool log;
        const char* runProgram;
    };
    for (const Case& c :
         {Case{nullptr, "", false, true, "C:\\pmail\\winpm-32.exe"},
          Case{"pop.example.com\r\nsmtp.example.com\r\nme\r\npw\r\n1\r\n0", "pop.example.com", true,
               false, "C:\\pmail\\winpm-32.exe"},
          Case{"pop.example.com\r\n\r\n\r\n\r\n1\r\n0\r\n\r\nrun.sh\r\n\r\n3\r\nOffice\r\n",
               "pop.example.com", true, false, "run.sh"}}) {
        SCOPED_TRACE(c.setup ? c.setup : "no file");
        if (c.setup) {
            f.write("setup.ini", c.setup);
        }
        open();
        EXPECT_EQ(edit("txtPOP")->text(), QString::fromLatin1(c.pop));
        EXPECT_EQ(box("chkLEAVE")->isChecked(), c.leave);
        EXPECT_EQ(box("chkLOG")->isChecked(), c.log);
        EXPECT_EQ(edit("txtRUNPROGRAM")->text(), QString::fromLatin1(c.runProgram));
        EXPECT_FALSE(box("chkAUTODIAL")->isChecked());
        EXPECT_EQ(control<QComboBox>(w, "cmbDIALUP")->currentText(), QString());
        EXPECT_EQ(edit("txtTIMEOUT")->text(), QStringLiteral("30"));
        EXPECT_EQ(control<QListWidget>(w, "lstSPAMLIST")->count(), 0);
        delete w.data();
    }
}

TEST_F(SettingsTest, OkWritesBothFilesWithoutWarningWhenEsmtpIsTicked) {
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    QTest::keyClicks(edit("txtPOP"), QStringLiteral("pop3s://pop.example.com"));
    QTest::keyClicks(control<QComboBox>(w, "cmbDIALUP")->lineEdit(), QStringLiteral("My ISP"));
    box("chkLEAVE")->setChecked(true);
    box("chkLOG")->setChecked(false);
    box("chkESMTP")->setChecked(true);
    QTest::keyClicks(edit("txtANTISPAMSUBJECT"), QStringLiteral("Buy now"));
    click(button("cmdADDSPAM"));
    QSignalSpy done(w.data(), &SettingsWindow::closed);
    click(button("cmdOK"));
    EXPECT_TRUE(MessageBox::shownTexts().isEmpty());
    EXPECT_EQ(done.count(), 1);
    EXPECT_TRUE(closed());
    const auto lines = setupLines();
    ASSERT_EQ(lines.size(), 18u);
    EXPECT_EQ(lines[0], "pop3s://pop.example.com");
    EXPECT_EQ(lines[4], "1");
    EXPECT_EQ(lines[5], "0");
    EXPECT_EQ(lines[7], "C:\\pmail\\winpm-32.exe");
    EXPECT_EQ(lines[10], "My ISP");
    EXPECT_EQ(lines[15], "30");
    EXPECT_EQ(lines[16], "1");
    EXPECT_EQ(f.read("antispam.lst"), "\tBuy now\t\r\n");
}

// Ok warns once about ESMTP, and applies the interval's rule although the
// field was never left (Enter presses Ok).
TEST_F(SettingsTest, OkWarnsOnceAboutEsmtpAndAppliesTheIntervalRule) {
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    edit("txtDIALUPWHEN")->setText(QStringLiteral("5"));
    click(button("cmdOK"));
    EXPECT_EQ(MessageBox::shownTexts(), QStringList{kEsmtpWarning});
    EXPECT_TRUE(closed());
    EXPECT_EQ(setupLines().at(13), "0");
    EXPECT_EQ(setupLines().at(16), "0");
    EXPECT_EQ(f.read("antispam.lst"), "");
}

TEST_F(SettingsTest, CancelAndTheCloseBoxWriteNothing) {
    const std::string setup = "pop.example.com\r\n\r\n\r\n\r\n0\r\n1\r\n";
    f.write("setup.ini", setup);
    f.write("antispam.lst", "old@x.example\t\t\r\n");
    for (bool viaCancel : {true, false}) {
        open();
        QTest::keyClicks(edit("txtANTISPAMFROM"), QStringLiteral("new@x.example"));
        click(button("cmdADDSPAM"));
        box("chkESMTP")->setChecked(true);
        QSignalSpy done(w.data(), &SettingsWindow::closed);
        if (viaCancel) {
            click(button("cmdCANCEL"));
        } else {
            w->close();
        }
        EXPECT_EQ(done.count(), 1);
        EXPECT_TRUE(closed());
        EXPECT_EQ(f.read("antispam.lst"), "old@x.example\t\t\r\n");
        EXPECT_EQ(f.read("setup.ini"), setup);
    }
}

TEST_F(SettingsTest, AntiSpamAddAndDelete) {
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    auto* list = control<QListWidget>(w, "lstSPAMLIST");
    click(button("cmdADDSPAM"));
    EXPECT_EQ(list->count(), 0);  // all three fields empty
    QTest::keyClicks(edit("txtANTISPAMFROM"), QStringLiteral("a@x.example"));
    QTest::keyClicks(edit("txtTO"), QStringLiteral("me@me.example"));
    click(button("cmdADDSPAM"));
    click(button("cmdADDSPAM"));
    EXPECT_EQ(items(list), (QStringList{QStringLiteral("a@x.example\t\tme@me.example"),
                                        QStringLiteral("a@x.example\t\tme@me.example")}));
    EXPECT_EQ(edit("txtANTISPAMFROM")->text(), QStringLiteral("a@x.example"));

    list->clearSelection();
    click(button("cmdDELETESPAM"));
    EXPECT_EQ(MessageBox::shownTexts(),
              QStringList{QStringLiteral("Please select an email from the list")});
    EXPECT_EQ(list->count(), 2);
    list->setCurrentRow(1);
    click(button("cmdDELETESPAM"));
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(MessageBox::shownTexts().size(), 1);
}

struct LeaveCase {
    const char* typed;
    const char* kept;
};

class DialUpWhenField : public SettingsTest, public ::testing::WithParamInterface<LeaveCase> {};

TEST_P(DialUpWhenField, LeavingItAppliesTheRule) {
    open();
    QApplication::setActiveWindow(w);
    auto* when = edit("txtDIALUPWHEN");
    w->tabs()->setCurrentIndex(1);
    when->setFocus();
    ASSERT_TRUE(waitUntil([when] { return when->hasFocus(); }, 2000));
    QTest::keyClicks(when, QString::fromLatin1(GetParam().typed));
    edit("txtDIALUPID")->setFocus();
    ASSERT_TRUE(waitUntil([when] { return !when->hasFocus(); }, 2000));
    EXPECT_EQ(when->text(), QString::fromLatin1(GetParam().kept));
}

INSTANTIATE_TEST_SUITE_P(Values, DialUpWhenField,
                         ::testing::Values(LeaveCase{"5", "0"}, LeaveCase{"20", "20"},
                                           LeaveCase{"-3", "0"}));

TEST_F(SettingsTest, DeleteLogAsksFirst) {
    f.write("log.txt", "line\r\n");
    f.write("debug.log", "transcript\r\n");
    open();
    MessageBox::setNextAnswer(MessageBox::No);
    click(button("cmdDELETE"));
    EXPECT_EQ(MessageBox::shownTexts(),
              QStringList{QStringLiteral("Are you SURE you want to delete the Log?")});
    EXPECT_TRUE(f.exists("log.txt"));
    MessageBox::setNextAnswer(MessageBox::Yes);
    click(button("cmdDELETE"));
    EXPECT_FALSE(f.exists("log.txt"));
    EXPECT_TRUE(f.exists("debug.log"));
    // A missing log is no error: only the question is shown.
    MessageBox::setNextAnswer(MessageBox::Yes);
    click(button("cmdDELETE"));
    EXPECT_EQ(MessageBox::shownTexts().size(), 3);
    EXPECT_TRUE(w->isVisible());
}

TEST_F(SettingsTest, ViewLogsOpenTheFilesOrSaySo) {
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    click(button("Command1"));
    click(button("Command2"));
    ASSERT_EQ(opened.size(), 2u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(QString::fromStdString(f.file("log.txt"))));
    EXPECT_EQ(opened[1], QUrl::fromLocalFile(QString::fromStdString(f.file("debug.log"))));
    EXPECT_TRUE(MessageBox::shownTexts().isEmpty());
    openResult = false;
    click(button("Command1"));
    click(button("Command2"));
    EXPECT_EQ(
        MessageBox::shownTexts(),
        (QStringList{
            QStringLiteral("Could not start Notepad, open LOG.TXT in the vorel program directory!"),
            QStringLiteral(
                "Could not start Notepad, open debug.log in the vorel program directory!")}));
}

// A directory where setup.ini should be cannot be replaced, even by root.
TEST_F(SettingsTest, AFailingWriteSaysWhichFileAndKeepsTheEdits) {
    std::filesystem::create_directories(f.file("setup.ini") + "/x");
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    box("chkESMTP")->setChecked(true);
    QTest::keyClicks(edit("txtPOP"), QStringLiteral("pop.example.com"));
    QTest::keyClicks(edit("txtANTISPAMFROM"), QStringLiteral("a@x.example"));
    click(button("cmdADDSPAM"));
    click(button("cmdOK"));
    ASSERT_EQ(MessageBox::shownTexts().size(), 1);
    EXPECT_TRUE(MessageBox::shownTexts()[0].contains(QString::fromStdString(f.file("setup.ini"))))
        << MessageBox::shownTexts()[0].toStdString();
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(edit("txtPOP")->text(), QStringLiteral("pop.example.com"));
    EXPECT_EQ(control<QListWidget>(w, "lstSPAMLIST")->count(), 1);
    EXPECT_FALSE(f.exists("antispam.lst"));
}

TEST_F(SettingsTest, PasswordsAreMaskedUntilShown) {
    open();
    for (auto [field, toggle] : {std::pair{"txtPASSWORD", "cmdSHOWPASSWORD"},
                                 std::pair{"txtDIALUPPASSWORD", "cmdSHOWDIALUPPASSWORD"}}) {
        EXPECT_EQ(edit(field)->echoMode(), QLineEdit::Password);
        control<QToolButton>(w, toggle)->click();
        EXPECT_EQ(edit(field)->echoMode(), QLineEdit::Normal);
        control<QToolButton>(w, toggle)->click();
        EXPECT_EQ(edit(field)->echoMode(), QLineEdit::Password);
    }
}

// The check runs on a worker thread with the values in the window, unsaved.
TEST_F(SettingsTest, TestConnectionSaysWhatWorkedAndWritesNothing) {
    open();
    std::string seenPop;
    w->setConnectionChecker([&seenPop](const Settings& s) {
        seenPop = s.txtPOP;
        return std::string("POP3 server: logged in. SMTP server: greeted.");
    });
    QTest::keyClicks(edit("txtPOP"), QStringLiteral("pop.example.com"));
    auto* test = button("cmdTESTCONNECTION");
    click(test);
    auto* said = control<QLabel>(w, "lblTESTRESULT");
    ASSERT_TRUE(waitUntil([test] { return test->isEnabled(); }, 5000));
    EXPECT_EQ(said->text(), QStringLiteral("POP3 server: logged in. SMTP server: greeted."));
    EXPECT_EQ(seenPop, "pop.example.com");
    EXPECT_FALSE(f.exists("setup.ini"));
    EXPECT_FALSE(f.exists("antispam.lst"));
}

// The main window's button opens the window in its place; closing it brings
// the main window back with the new auto-run interval.
TEST(SettingsFromMain, SetupButtonOpensAndClosingReturns) {
    MessageBox::clearAnswers();
    MessageBox::setStandingAnswer(MessageBox::Ok);
    test::GuiFolder f;
    {
        AppWindows app(f.folder.path(), {});
        app.setTickInterval(3600 * 1000);
        app.start();
        auto* setup = control<QToolButton>(app.mainForm(), "cmdSETUP");
        ASSERT_TRUE(setup->isEnabled());
        click(setup);
        ASSERT_NE(app.settingsWindow(), nullptr);
        EXPECT_TRUE(app.settingsWindow()->isVisible());
        EXPECT_FALSE(app.mainForm()->isVisible());
        control<QLineEdit>(app.settingsWindow(), "txtDIALUPWHEN")->setText(QStringLiteral("60"));
        click(control<QPushButton>(app.settingsWindow(), "cmdOK"));
        EXPECT_TRUE(app.mainForm()->isVisible());
        EXPECT_EQ(app.countdown().interval(), 60);
        EXPECT_TRUE(waitUntil([&app] { return app.settingsWindow() == nullptr; }, 5000));
    }
    MessageBox::clearAnswers();
}

}  // namespace
}  // namespace vorel
