// The autoresponder editor driven offscreen from the main window's "Auto
// Responders" button over a real data.mdb.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>

#include "gui/AutorespondersWindow.h"
#include "gui/HelpWindow.h"
#include "gui/MainForm.h"
#include "gui_support.h"
#include "store/Database.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::waitUntil;

QString qs(const std::string& s) {
    return QString::fromStdString(s);
}

Autoresponder row(const std::string& name, const std::string& message = "Thanks") {
    return {0,
            name,
            "info@me.example",
            "Prices",
            "robot@me.example",
            "Our prices",
            message,
            "boss@me.example",
            0};
}

struct Editor : test::AppTest {
    AutorespondersWindow* w = nullptr;

    void open(std::initializer_list<Autoresponder> rows = {}) {
        for (const Autoresponder& a : rows) {
            db().addAutoresponder(a);
        }
        start();
        click(app->mainForm(), "cmdAUTORESPONDER");
        w = app->autorespondersWindow();
        ASSERT_NE(w, nullptr);
    }
    Database db() { return Database::open(f.folder.file("data.mdb")); }
    QLineEdit* edit(const char* name) { return control<QLineEdit>(w, name); }
    QPlainTextEdit* message() { return control<QPlainTextEdit>(w, "txtMESSAGE"); }
    QListWidget* list() { return control<QListWidget>(w, "lstAUTORESPONDERS"); }
    QString counter() { return control<QLabel>(w, "lblcounter")->text(); }
    void type(const char* name, const QString& text) {
        edit(name)->clear();
        QTest::keyClicks(edit(name), text);
    }
    void select(const QString& name) {
        const QList<QListWidgetItem*> found = list()->findItems(name, Qt::MatchExactly);
        ASSERT_FALSE(found.isEmpty()) << name.toStdString();
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {},
                          list()->visualItemRect(found.front()).center());
    }
    // Presses a button answering every box with Ok; returns the texts shown.
    QStringList press(const char* button) {
        MessageBox::clearAnswers();
        MessageBox::setStandingAnswer(MessageBox::Ok);
        click(w, button);
        QStringList shown = MessageBox::shownTexts();
        MessageBox::clearAnswers();
        return shown;
    }
};

const QString kSaved = QStringLiteral("Your Autoresponder is Saved!");
const QString kNotSaved = QStringLiteral("Your Autoresponder was NOT saved");

TEST_F(Editor, OpensInPlaceOfTheMainWindowAndEveryWayOfClosingBringsItBack) {
    open();
    EXPECT_FALSE(app->mainForm()->isVisible());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Autoresponders"));
    EXPECT_EQ(control<QTabWidget>(w, "SSTab1")->tabText(1), QStringLiteral("Forward Emails to:"));
    for (const char* name : {"txtNAME", "txtTO", "txtSUBJECT", "txtFROM", "txtFROMSUBJECT",
                             "txtMAILTO", "txtMESSAGE", "lstAUTORESPONDERS", "lblcounter", "cmdNEW",
                             "cmdSAVE", "cmdDELETE", "cmdPREVIEW", "cmdTRY", "cmdHELP"}) {
        QWidget* c = control<QWidget>(w, name);
        EXPECT_TRUE(c && !c->accessibleName().isEmpty()) << name;
    }
    // The HTML note shows its tag instead of taking it for markup.
    int htmlNotes = 0;
    for (QLabel* l : w->findChildren<QLabel*>()) {
        htmlNotes += l->text().startsWith(QStringLiteral("To send HTML emails include <HTML>")) &&
                     l->textFormat() == Qt::PlainText;
    }
    EXPECT_EQ(htmlNotes, 1);
    for (bool viaButton : {true, false}) {
        viaButton ? click(w, "cmdCLOSE") : void(w->close());
        EXPECT_TRUE(waitUntil([this] { return app->autorespondersWindow() == nullptr; }));
        EXPECT_TRUE(app->mainForm()->isVisible());
        click(app->mainForm(), "cmdAUTORESPONDER");
        w = app->autorespondersWindow();
    }
}

// Save adds a row (count 0, To cut to 49 characters, a space after the
// message) or, for a name in any letter case, changes that row keeping its
// count. The list shows rows in stored order, a click every field of one.
TEST_F(Editor, SaveAddsOrChangesByNameAndAClickShowsTheRow) {
    Autoresponder zeta = row("Zeta", "Line one\nLine two");
    zeta.Counter = 7;
    open({row("alpha"), zeta, row("")});
    EXPECT_EQ(items(list()), test::texts("alpha|Zeta|"));
    select(QStringLiteral("Zeta"));
    const char* const names[] = {"txtNAME", "txtTO",          "txtSUBJECT",
                                 "txtFROM", "txtFROMSUBJECT", "txtMAILTO"};
    const std::string* fields[] = {&zeta.Name,    &zeta.To,         &zeta.Subject,
                                   &zeta.msgfrom, &zeta.msgsubject, &zeta.mailto};
    for (int i = 0; i < 6; ++i) {
        EXPECT_EQ(edit(names[i])->text(), qs(*fields[i])) << names[i];
    }
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Line one\nLine two"));
    EXPECT_EQ(counter(), QStringLiteral("7"));

    click(w, "cmdNEW");
    for (int i = 0; i < 5; ++i) {
        EXPECT_TRUE(edit(names[i])->text().isEmpty()) << names[i];
    }
    EXPECT_TRUE(message()->toPlainText().isEmpty());
    EXPECT_EQ(counter(), QStringLiteral("0"));
    EXPECT_EQ(edit("txtMAILTO")->text(), QStringLiteral("boss@me.example"));
    EXPECT_EQ(list()->selectedItems().size(), 1);
    QTest::keyClicks(message(), QStringLiteral("Hello"));
    EXPECT_EQ(press("cmdSAVE"),
              QStringList{QStringLiteral("Please enter a name to save this autoresponder under!")});
    EXPECT_EQ(db().autoresponders().size(), 3u);

    // 48 characters and a euro sign of three bytes, then more.
    const QString longTo = QString(48, QLatin1Char('t')) + QStringLiteral("\u20acbc");
    const char* const typed[] = {"Info", "", "S", "F", "FS", "M"};
    for (int i = 0; i < 6; ++i) {
        edit(names[i])->setText(i == 1 ? longTo : QString::fromLatin1(typed[i]));
    }
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    EXPECT_EQ(items(list()).last(), QStringLiteral("Info"));
    EXPECT_TRUE(list()->selectedItems().isEmpty());
    EXPECT_EQ(edit("txtTO")->text(), longTo);  // as typed until the row is shown again
    Autoresponder saved = *db().findAutoresponder("Info");
    EXPECT_EQ(saved.To, std::string(48, 't') + "\xe2\x82\xac");
    EXPECT_EQ(saved.Subject + saved.msgfrom + saved.msgsubject + saved.mailto, "SFFSM");
    EXPECT_EQ(saved.message, "Hello ");
    EXPECT_EQ(saved.Counter, 0);
    db().incrementCounter(saved.id);

    select(QStringLiteral("Info"));
    type("txtNAME", QStringLiteral("INFO"));
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    select(QStringLiteral("INFO"));
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Hello  "));
    EXPECT_EQ(counter(), QStringLiteral("1"));
    type("txtNAME", QStringLiteral("Info copy"));
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    EXPECT_EQ(items(list()).mid(3), test::texts("INFO|Info copy"));
}

// Delete asks first, then wants a selection, then removes every row of
// exactly the selected name; the fields keep it, so Save brings it back.
TEST_F(Editor, DeleteAsksWantsASelectionAndRemovesRowsOfThatName) {
    open({row("Bob's"), row("BOB'S"), row("Bob's"), row("Sales")});
    MessageBox::setNextAnswer(MessageBox::Yes);
    MessageBox::setNextAnswer(MessageBox::Ok);
    click(w, "cmdDELETE");
    EXPECT_EQ(MessageBox::shownTexts(),
              (QStringList{QStringLiteral("Are you SURE you want to delete this autoresponder?"),
                           QStringLiteral("Please Select an Autoresponder from the List")}));
    select(QStringLiteral("Bob's"));
    MessageBox::setNextAnswer(MessageBox::No);
    click(w, "cmdDELETE");
    EXPECT_EQ(db().autoresponders().size(), 4u);
    MessageBox::setNextAnswer(MessageBox::Yes);
    click(w, "cmdDELETE");
    EXPECT_EQ(items(list()), test::texts("BOB'S|Sales"));
    EXPECT_EQ(db().autoresponders().size(), 2u);
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Bob's"));
}

// Preview shows the typed message; Try merges the unsaved reply for a saved
// message or says why there is none, changing nothing; HELP replaces the
// text of the one help window.
TEST_F(Editor, PreviewTryAndHelp) {
    open();
    QTest::keyClicks(message(), QStringLiteral("<HTML><b>Hi %name%</b>"));
    press("cmdPREVIEW");
    EXPECT_EQ(f.folder.read("htmlprev.htm"), "<HTML><b>Hi %name%</b>\r\n");

    type("txtNAME", QStringLiteral("Prices"));
    type("txtTO", QStringLiteral("INFO@me.example"));
    message()->setPlainText(QStringLiteral("Dear %name%, we call %telephone%."));
    // Base64 of "Hello\r\n%vorelcode%\r\nname=John\r\ntelephone=0123\r\n".
    f.folder.write("sample.eml",
                   "From: reader@x.example\r\nTo: info@me.example\r\nSubject: Price list\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n"
                   "SGVsbG8NCiV2b3JlbGNvZGUlDQpuYW1lPUpvaG4NCnRlbGVwaG9uZT0wMTIzDQo=\r\n");
    const std::string before = f.folder.read("data.mdb");
    FileDialog::setNextFileName(qs(f.folder.file("sample.eml")));
    press("cmdTRY");
    EXPECT_EQ(f.folder.read("msg.temp"), "Dear John, we call 0123. \r\n");
    type("txtTO", QStringLiteral("sales@me.example"));
    FileDialog::setNextFileName(qs(f.folder.file("sample.eml")));
    const QStringList said = press("cmdTRY");
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said[0].contains(QStringLiteral(
        "does not match: To differs (\"info@me.example\" is not \"sales@me.example\")")))
        << said[0].toStdString();
    EXPECT_EQ(opened, (std::vector<QUrl>{QUrl::fromLocalFile(qs(f.folder.file("htmlprev.htm"))),
                                         QUrl::fromLocalFile(qs(f.folder.file("msg.temp")))}));
    EXPECT_TRUE(f.folder.read("data.mdb") == before);
    EXPECT_FALSE(f.folder.exists("msgqueue.txt") || f.folder.exists("log.txt"));
    openResult = false;
    EXPECT_EQ(press("cmdPREVIEW"),
              QStringList{QStringLiteral("Sorry, Could not find 'notepad.exe'")});

    helpStart();
    helpLine("Other help");
    helpShow();
    HelpWindow* help = app->helpWindow();
    press("cmdHELP");
    EXPECT_EQ(app->helpWindow(), help);
    const QStringList lines =
        control<QPlainTextEdit>(help, "txtHELP")->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 40);  // 39 lines, each ended by a line break
    EXPECT_EQ(lines[0], QStringLiteral("AUTORESPONDER HELP"));
    EXPECT_EQ(lines[25], QStringLiteral("%vorelcode%"));
}

// A run holding data.mdb past the busy time-out (about ten seconds here) or
// a damaged file: the failure is reported, the typing kept, and the same
// Save goes through once the run lets go.
TEST_F(Editor, AFailedLoadOrSaveIsReportedAndKeepsTheTyping) {
    open();
    type("txtNAME", QStringLiteral("Info"));
    type("txtMAILTO", QStringLiteral("a@me.example,b@me.example"));
    QTest::keyClicks(message(), QStringLiteral("Typed with care"));
    sqlite3* lock = nullptr;
    sqlite3_open(f.folder.file("data.mdb").c_str(), &lock);
    ASSERT_EQ(sqlite3_exec(lock, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    QStringList said = press("cmdSAVE");
    sqlite3_exec(lock, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(lock);
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said[0].startsWith(kNotSaved)) << said[0].toStdString();
    EXPECT_EQ(edit("txtNAME")->text() + edit("txtMAILTO")->text() + message()->toPlainText(),
              QStringLiteral("Infoa@me.example,b@me.exampleTyped with care"));
    EXPECT_TRUE(db().autoresponders().empty());
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    EXPECT_EQ(items(list()), QStringList{QStringLiteral("Info")});

    click(w, "cmdCLOSE");
    f.folder.write("data.mdb", "garbage");
    MessageBox::setStandingAnswer(MessageBox::Ok);
    click(app->mainForm(), "cmdAUTORESPONDER");
    w = app->autorespondersWindow();
    EXPECT_TRUE(test::AppTest::lastShown().startsWith(
        QStringLiteral("The autoresponders could not be read from data.mdb.")));
    EXPECT_EQ(list()->count(), 0);
    type("txtNAME", QStringLiteral("Info"));
    said = press("cmdSAVE");
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said[0].startsWith(kNotSaved));
}

}  // namespace
}  // namespace vorel
