// frmSETUP driven offscreen: every setup.ini line through its control and
// back, the ESMTP warning, Cancel, the anti-spam buttons, the logs, the
// interval's rule, a failing write, and the main window's Setup button.
#include <gtest/gtest.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QPointer>
#include <QPushButton>
#include <QSignalSpy>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <filesystem>

#include "gui/MainForm.h"
#include "gui/SettingsWindow.h"
#include "gui_support.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::waitUntil;

const QString kEsmtpWarning = QStringLiteral(
    "Please check with your service provider that your SMTP server is not ESMTP, Vorel may "
    "behave unpredictably if this setting is not correct!");

struct SettingsTest : test::AppTest {
    QPointer<SettingsWindow> w;

    ~SettingsTest() override { delete w.data(); }
    void open() {
        w = new SettingsWindow(f.folder.path(), {"Home DSL", "Office VPN"});
        w->show();
    }
    QLineEdit* edit(const char* name) { return control<QLineEdit>(w, name); }
    QCheckBox* box(const char* name) { return control<QCheckBox>(w, name); }
    bool closed() {
        return waitUntil([this] { return w.isNull(); }, 5000);
    }
};

// Each line of setup.ini shows in its control and Ok writes it back unchanged.
TEST_F(SettingsTest, EveryLineReachesItsNamedControlAndOkWritesItBack) {
    const char* const names[] = {
        "txtPOP",     "txtSMTP",        "txtUSERID",         "txtPASSWORD",   "chkLEAVE",
        "chkLOG",     "txtAUTOFORWARD", "txtRUNPROGRAM",     "txtEMAILLOG",   "chkAUTODIAL",
        "cmbDIALUP",  "txtDIALUPID",    "txtDIALUPPASSWORD", "txtDIALUPWHEN", "chkAUTODISCONNECT",
        "txtTIMEOUT", "chkESMTP",       "chkDEBUG"};
    const QStringList values =
        QStringLiteral(
            "pop.example.com smtp.example.com me secret 1 0 fwd@me.example run.sh log@me.example 1 "
            "Office dialer dialpw 60 2 45 1 0")
            .split(QLatin1Char(' '));
    const std::string setup = values.join(QStringLiteral("\r\n")).toStdString() + "\r\n";
    f.folder.write("setup.ini", setup);
    f.folder.write("antispam.lst", "spam@x.example\t\t\r\n\tBuy now\t\r\n");
    open();
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Set Up System"));
    for (int i = 0; i < Settings::kLineCount; ++i) {
        const char* name = names[i];
        QWidget* c = control<QWidget>(w, name);
        ASSERT_NE(c, nullptr);
        EXPECT_FALSE(c->accessibleName().isEmpty()) << name;
        QString shown;
        if (auto* b = qobject_cast<QCheckBox*>(c)) {
            shown = QString::number(b->checkState() == Qt::PartiallyChecked ? 2 : b->isChecked());
        } else if (auto* e = qobject_cast<QLineEdit*>(c)) {
            shown = e->text();
        } else {
            shown = qobject_cast<QComboBox*>(c)->currentText();
        }
        EXPECT_EQ(shown, values[i]) << name;
    }
    auto* dialUp = control<QComboBox>(w, "cmbDIALUP");
    ASSERT_EQ(dialUp->count(), 2);
    EXPECT_EQ(dialUp->itemText(1), QStringLiteral("Office VPN"));
    EXPECT_EQ(items(control<QListWidget>(w, "lstSPAMLIST")),
              (QStringList{QStringLiteral("spam@x.example\t\t"), QStringLiteral("\tBuy now\t")}));
    EXPECT_TRUE(edit("txtPOP")->toolTip().contains(QStringLiteral("pop3s://")));
    EXPECT_EQ(edit("txtDIALUPWHEN")->toolTip(),
              QStringLiteral("This will cause vorel to run it's mailer ever n seconds"));
    QSignalSpy done(w.data(), &SettingsWindow::closed);
    click(w, "cmdOK");
    EXPECT_TRUE(MessageBox::shownTexts().isEmpty());
    EXPECT_EQ(done.count(), 1);
    EXPECT_TRUE(closed());
    EXPECT_EQ(f.folder.read("setup.ini"), setup);
    EXPECT_EQ(f.folder.read("antispam.lst"), "spam@x.example\t\t\r\n\tBuy now\t\r\n");
}

// Without setup.ini the defaults show. Ok warns about ESMTP each time,
// applies the interval's rule although the field was never left (Enter
// presses Ok), and on a failing write says which file and stays open.
TEST_F(SettingsTest, DefaultsAndOkWarnsAppliesTheIntervalRuleAndReportsAFailedWrite) {
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    EXPECT_TRUE(box("chkLOG")->isChecked());
    EXPECT_EQ(edit("txtRUNPROGRAM")->text(), QStringLiteral("C:\\pmail\\winpm-32.exe"));
    EXPECT_EQ(edit("txtTIMEOUT")->text(), QStringLiteral("30"));
    edit("txtDIALUPWHEN")->setText(QStringLiteral("5"));
    // A directory in its place cannot be replaced, even by root.
    std::filesystem::create_directories(f.folder.file("setup.ini") + "/x");
    click(w, "cmdOK");
    ASSERT_EQ(MessageBox::shownTexts().size(), 2);
    EXPECT_EQ(MessageBox::shownTexts()[0], kEsmtpWarning);
    EXPECT_TRUE(
        MessageBox::shownTexts()[1].contains(QString::fromStdString(f.folder.file("setup.ini"))));
    EXPECT_TRUE(w->isVisible());
    EXPECT_EQ(edit("txtDIALUPWHEN")->text(), QStringLiteral("0"));
    std::filesystem::remove_all(f.folder.file("setup.ini"));
    click(w, "cmdOK");
    EXPECT_EQ(MessageBox::shownTexts().size(), 3);
    EXPECT_TRUE(closed());
    const std::string setup = f.folder.read("setup.ini");
    EXPECT_NE(setup.find("\r\nC:\\pmail\\winpm-32.exe\r\n"), std::string::npos);
    EXPECT_NE(setup.find("\r\n0\r\n0\r\n30\r\n0\r\n0\r\n"), std::string::npos) << setup;
    EXPECT_EQ(f.folder.read("antispam.lst"), "");
}

TEST_F(SettingsTest, CancelAndTheCloseBoxWriteNothing) {
    const std::string setup = "pop.example.com\r\n\r\n\r\n\r\n0\r\n1\r\n";
    f.folder.write("setup.ini", setup);
    f.folder.write("antispam.lst", "old@x.example\t\t\r\n");
    for (bool viaCancel : {true, false}) {
        open();
        QTest::keyClicks(edit("txtANTISPAMFROM"), QStringLiteral("new@x.example"));
        click(w, "cmdADDSPAM");
        box("chkESMTP")->setChecked(true);
        QSignalSpy done(w.data(), &SettingsWindow::closed);
        viaCancel ? click(w, "cmdCANCEL") : void(w->close());
        EXPECT_EQ(done.count(), 1);
        EXPECT_TRUE(closed());
        EXPECT_EQ(f.folder.read("antispam.lst"), "old@x.example\t\t\r\n");
        EXPECT_EQ(f.folder.read("setup.ini"), setup);
    }
}

TEST_F(SettingsTest, AntiSpamButtonsIntervalLeaveRuleAndMaskedPasswords) {
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    auto* list = control<QListWidget>(w, "lstSPAMLIST");
    click(w, "cmdADDSPAM");
    EXPECT_EQ(list->count(), 0);  // all three fields empty
    QTest::keyClicks(edit("txtANTISPAMFROM"), QStringLiteral("a@x.example"));
    QTest::keyClicks(edit("txtANTISPAMSUBJECT"), QStringLiteral("Buy"));
    QTest::keyClicks(edit("txtTO"), QStringLiteral("me@me.example"));
    click(w, "cmdADDSPAM");
    click(w, "cmdADDSPAM");
    EXPECT_EQ(items(list), QStringList(2, QStringLiteral("a@x.example\tBuy\tme@me.example")));
    list->clearSelection();
    click(w, "cmdDELETESPAM");
    EXPECT_EQ(MessageBox::shownTexts(),
              QStringList{QStringLiteral("Please select an email from the list")});
    list->setCurrentRow(1);
    click(w, "cmdDELETESPAM");
    EXPECT_EQ(list->count(), 1);
    EXPECT_EQ(MessageBox::shownTexts().size(), 1);

    // Leaving the interval box applies the rule at once.
    QApplication::setActiveWindow(w);
    w->tabs()->setCurrentIndex(1);
    auto* when = edit("txtDIALUPWHEN");
    when->setFocus();
    ASSERT_TRUE(waitUntil([when] { return when->hasFocus(); }, 2000));
    QTest::keyClicks(when, QStringLiteral("5"));
    edit("txtDIALUPID")->setFocus();
    ASSERT_TRUE(waitUntil([when] { return when->text() == QStringLiteral("0"); }, 2000));

    for (auto [field, toggle] : {std::pair{"txtPASSWORD", "cmdSHOWPASSWORD"},
                                 std::pair{"txtDIALUPPASSWORD", "cmdSHOWDIALUPPASSWORD"}}) {
        EXPECT_EQ(edit(field)->echoMode(), QLineEdit::Password);
        control<QToolButton>(w, toggle)->click();
        EXPECT_EQ(edit(field)->echoMode(), QLineEdit::Normal);
        control<QToolButton>(w, toggle)->click();
        EXPECT_EQ(edit(field)->echoMode(), QLineEdit::Password);
    }
}

TEST_F(SettingsTest, LogsAreDeletedAfterAskingAndOpenedOrSaidSo) {
    f.folder.write("log.txt", "line\r\n");
    open();
    MessageBox::setNextAnswer(MessageBox::No);
    click(w, "cmdDELETE");
    EXPECT_EQ(MessageBox::shownTexts(),
              QStringList{QStringLiteral("Are you SURE you want to delete the Log?")});
    EXPECT_TRUE(f.folder.exists("log.txt"));
    MessageBox::setNextAnswer(MessageBox::Yes);
    click(w, "cmdDELETE");
    EXPECT_FALSE(f.folder.exists("log.txt"));
    EXPECT_EQ(MessageBox::shownTexts().size(), 2);

    MessageBox::clearAnswers();
    MessageBox::setStandingAnswer(MessageBox::Ok);
    click(w, "Command1");
    click(w, "Command2");
    EXPECT_EQ(opened,
              (std::vector<QUrl>{
                  QUrl::fromLocalFile(QString::fromStdString(f.folder.file("log.txt"))),
                  QUrl::fromLocalFile(QString::fromStdString(f.folder.file("debug.log")))}));
    EXPECT_TRUE(MessageBox::shownTexts().isEmpty());
    openResult = false;
    click(w, "Command1");
    click(w, "Command2");
    EXPECT_EQ(
        MessageBox::shownTexts(),
        (QStringList{
            QStringLiteral("Could not start Notepad, open LOG.TXT in the vorel program directory!"),
            QStringLiteral(
                "Could not start Notepad, open debug.log in the vorel program directory!")}));
    EXPECT_TRUE(w->isVisible());
}

// The check runs on a worker thread with the values in the window, unsaved.
TEST_F(SettingsTest, TestConnectionSaysWhatWorkedAndWritesNothing) {
    open();
    std::string seenPop;
    w->setConnectionChecker([&seenPop](const Settings& s) {
        seenPop = s.txtPOP;
        return std::string("POP3 server: logged in.");
    });
    QTest::keyClicks(edit("txtPOP"), QStringLiteral("pop.example.com"));
    auto* test = control<QPushButton>(w, "cmdTESTCONNECTION");
    click(test);
    EXPECT_FALSE(test->isEnabled());
    ASSERT_TRUE(waitUntil([test] { return test->isEnabled(); }, 5000));
    EXPECT_EQ(control<QLabel>(w, "lblTESTRESULT")->text(),
              QStringLiteral("POP3 server: logged in."));
    EXPECT_EQ(seenPop, "pop.example.com");
    EXPECT_FALSE(f.folder.exists("setup.ini"));
}

// The main window's button opens the window in its place; closing it brings
// the main window back with the new auto-run interval.
TEST_F(SettingsTest, SetupButtonOpensInPlaceOfTheMainWindow) {
    MessageBox::setStandingAnswer(MessageBox::Ok);
    start();
    click(app->mainForm(), "cmdSETUP");
    SettingsWindow* s = app->settingsWindow();
    ASSERT_NE(s, nullptr);
    EXPECT_TRUE(s->isVisible());
    EXPECT_FALSE(app->mainForm()->isVisible());
    control<QLineEdit>(s, "txtDIALUPWHEN")->setText(QStringLiteral("60"));
    click(s, "cmdOK");
    EXPECT_TRUE(app->mainForm()->isVisible());
    EXPECT_EQ(app->countdown().interval(), 60);
    EXPECT_TRUE(waitUntil([this] { return app->settingsWindow() == nullptr; }, 5000));
}

}  // namespace
}  // namespace vorel
