// The autoresponder editor driven offscreen from the main window's "Auto
// Responders" button over a real data.mdb.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QTest>

#include "gui/AutoresponderEditor.h"
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

Autoresponder typed(const std::string& name, const std::string& message = "Thanks") {
    Autoresponder a;
    a.Name = name;
    a.To = "info@me.example";
    a.Subject = "Prices";
    a.msgfrom = "robot@me.example";
    a.msgsubject = "Our prices";
    a.message = message;
    a.mailto = "boss@me.example";
    return a;
}

// To is stored as its first 49 characters, never half of one.
TEST(StoredTo, KeepsTheFirst49Characters) {
    const std::string a48(48, 'a'), e = "\xc3\xa9";
    std::string e60, e49;
    for (int i = 0; i < 60; ++i) {
        e60 += e;
        e49 += i < 49 ? e : "";
    }
    const std::pair<std::string, std::string> cases[] = {
        {"", ""}, {a48 + "a", a48 + "a"}, {a48 + "abcd", a48 + "a"}, {e60, e49},
        {a48 + "\xe2\x82\xac" + "bc", a48 + "\xe2\x82\xac"}};
    for (const auto& [to, stored] : cases) {
        EXPECT_EQ(AutoresponderEditor::storedTo(to), stored) << to;
    }
}

struct WindowTest : test::AppTest {
    AutorespondersWindow* w = nullptr;

    void open() {
        start();
        click(app->mainForm(), "cmdAUTORESPONDER");
        w = app->autorespondersWindow();
        ASSERT_NE(w, nullptr);
    }
    Database db() { return Database::open(f.folder.file("data.mdb")); }
    void seed(std::initializer_list<Autoresponder> rows) {
        for (const Autoresponder& a : rows) {
            db().addAutoresponder(a);
        }
    }
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

TEST_F(WindowTest, OpensInPlaceOfTheMainWindowAndEveryWayOfClosingBringsItBack) {
    open();
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(app->mainForm()->isVisible());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Autoresponders"));
    auto* tabs = control<QTabWidget>(w, "SSTab1");
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("Forward Emails to:"));
    for (const char* name : {"txtNAME", "txtTO", "txtSUBJECT", "txtFROM", "txtFROMSUBJECT",
                             "txtMAILTO", "txtMESSAGE", "lstAUTORESPONDERS", "lblcounter", "cmdNEW",
                             "cmdSAVE", "cmdDELETE", "cmdPREVIEW", "cmdTRY", "cmdHELP"}) {
        QWidget* c = control<QWidget>(w, name);
        EXPECT_TRUE(c && !c->accessibleName().isEmpty()) << name;
    }
    // The HTML note shows its tag instead of taking it for markup.
    int htmlNotes = 0;
    for (QLabel* l : w->findChildren<QLabel*>()) {
        if (l->text().startsWith(QStringLiteral("To send HTML emails include <HTML>"))) {
            htmlNotes += l->textFormat() == Qt::PlainText;
        }
    }
    EXPECT_EQ(htmlNotes, 1);
    click(w, "cmdCLOSE");
    EXPECT_TRUE(waitUntil([this] { return app->autorespondersWindow() == nullptr; }));
    EXPECT_TRUE(app->mainForm()->isVisible());
    click(app->mainForm(), "cmdAUTORESPONDER");
    ASSERT_NE(app->autorespondersWindow(), nullptr);
    EXPECT_FALSE(app->mainForm()->isVisible());
    app->autorespondersWindow()->close();  // the close box
    EXPECT_TRUE(waitUntil([this] { return app->autorespondersWindow() == nullptr; }));
    EXPECT_TRUE(app->mainForm()->isVisible());
}

// Save adds a row (count 0, To cut, a space after the message) or, for a
// name in any letter case, changes that row keeping its count; the list
// shows rows in stored order and a click shows every field of one.
TEST_F(WindowTest, SaveAddsOrChangesByNameAndAClickShowsTheRow) {
    Autoresponder zeta = typed("Zeta", "Line one\nLine two");
    zeta.Counter = 7;
    seed({typed("alpha"), zeta, typed("")});
    open();
    EXPECT_EQ(items(list()),
              (QStringList{QStringLiteral("alpha"), QStringLiteral("Zeta"), QString()}));
    select(QStringLiteral("Zeta"));
    const std::pair<const char*, const char*> shown[] = {
        {"txtNAME", "Zeta"},         {"txtTO", "info@me.example"},
        {"txtSUBJECT", "Prices"},    {"txtFROM", "robot@me.example"},
        {"txtFROMSUBJECT", "Our prices"}, {"txtMAILTO", "boss@me.example"}};
    for (const auto& [name, text] : shown) {
        EXPECT_EQ(edit(name)->text(), QString::fromLatin1(text)) << name;
    }
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Line one\nLine two"));
    EXPECT_EQ(counter(), QStringLiteral("7"));

    press("cmdNEW");
    for (const char* name : {"txtNAME", "txtTO", "txtSUBJECT", "txtFROM", "txtFROMSUBJECT"}) {
        EXPECT_TRUE(edit(name)->text().isEmpty()) << name;
    }
    EXPECT_TRUE(message()->toPlainText().isEmpty());
    EXPECT_EQ(counter(), QStringLiteral("0"));
    EXPECT_EQ(edit("txtMAILTO")->text(), QStringLiteral("boss@me.example"));
    EXPECT_EQ(list()->selectedItems().size(), 1);
    QTest::keyClicks(message(), QStringLiteral("Hello"));
    EXPECT_EQ(press("cmdSAVE"),
              QStringList{QStringLiteral("Please enter a name to save this autoresponder under!")});
    EXPECT_EQ(db().autoresponders().size(), 3u);

    const QString longTo(60, QLatin1Char('t'));
    type("txtNAME", QStringLiteral("Info"));
    type("txtTO", longTo);
    type("txtSUBJECT", QStringLiteral("S"));
    type("txtFROM", QStringLiteral("F"));
    type("txtFROMSUBJECT", QStringLiteral("FS"));
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    EXPECT_EQ(items(list()).last(), QStringLiteral("Info"));
    EXPECT_TRUE(list()->selectedItems().isEmpty());
    EXPECT_EQ(edit("txtTO")->text(), longTo);  // as typed until the row is shown again
    Autoresponder row = *db().findAutoresponder("Info");
    EXPECT_EQ(row.To, std::string(49, 't'));
    EXPECT_EQ(row.Subject + row.msgfrom + row.msgsubject + row.mailto, "SFFSboss@me.example");
    EXPECT_EQ(row.message, "Hello ");
    EXPECT_EQ(row.Counter, 0);
    db().incrementCounter(row.id);

    select(QStringLiteral("Info"));
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Hello "));
    type("txtNAME", QStringLiteral("INFO"));
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    select(QStringLiteral("INFO"));
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Hello  "));
    EXPECT_EQ(counter(), QStringLiteral("1"));
    type("txtNAME", QStringLiteral("Info copy"));
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    EXPECT_EQ(items(list()).mid(3), (QStringList{QStringLiteral("INFO"), QStringLiteral("Info copy")}));
    EXPECT_EQ(db().findAutoresponder("Info copy")->message, "Hello   ");
}

// Delete asks first, then wants a selection, then removes every row of
// exactly the selected name; the fields keep it, so Save brings it back.
TEST_F(WindowTest, DeleteAsksWantsASelectionAndRemovesRowsOfThatName) {
    seed({typed("Bob's"), typed("BOB'S"), typed("Bob's"), typed("Sales")});
    open();
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
    EXPECT_EQ(items(list()), (QStringList{QStringLiteral("BOB'S"), QStringLiteral("Sales")}));
    EXPECT_EQ(db().autoresponders().size(), 2u);
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Bob's"));
}

const char kMergeMessage[] =
    "From: Reader <reader@x.example>\r\n"
    "To: info@me.example\r\n"
    "Subject: Price list please\r\n"
    "MIME-Version: 1.0\r\n"
    "Content-Type: text/plain; charset=utf-8\r\n"
    "Content-Transfer-Encoding: base64\r\n"
    "\r\n"
    // "Hello\r\n%vorelcode%\r\nname=John\r\ntelephone=0123\r\n"
    "SGVsbG8NCiV2b3JlbGNvZGUlDQpuYW1lPUpvaG4NCnRlbGVwaG9uZT0wMTIzDQo=\r\n";

// Preview shows the typed message; Try merges the unsaved reply for a saved
// message or says why there is none, changing nothing; HELP fills the one
// help window.
TEST_F(WindowTest, PreviewTryAndHelp) {
    open();
    QTest::keyClicks(message(), QStringLiteral("<HTML><b>Hi %name%</b>"));
    press("cmdPREVIEW");
    EXPECT_EQ(f.folder.read("htmlprev.htm"), "<HTML><b>Hi %name%</b>\r\n");

    type("txtNAME", QStringLiteral("Prices"));
    type("txtTO", QStringLiteral("INFO@me.example"));
    type("txtSUBJECT", QStringLiteral("Prices"));
    message()->setPlainText(QStringLiteral("Dear %name%, we call %telephone%."));
    f.folder.write("sample.eml", kMergeMessage);
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
    EXPECT_FALSE(f.folder.exists("msgqueue.txt"));
    EXPECT_FALSE(f.folder.exists("log.txt"));

    press("cmdHELP");
    const QStringList lines =
        control<QPlainTextEdit>(app->helpWindow(), "txtHELP")->toPlainText().split(QLatin1Char('\n'));
    ASSERT_EQ(lines.size(), 40);  // 39 lines, each ended by a line break
    EXPECT_EQ(lines[0], QStringLiteral("AUTORESPONDER HELP"));
    EXPECT_EQ(lines[25], QStringLiteral("%vorelcode%"));
}

// The run holds data.mdb past the busy time-out (about ten seconds here):
// the save is reported, the typing kept, and the same Save goes through later.
TEST_F(WindowTest, ASaveWhileTheRunHoldsTheDatabaseIsReportedAndKeepsTheTyping) {
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
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Info"));
    EXPECT_EQ(edit("txtMAILTO")->text(), QStringLiteral("a@me.example,b@me.example"));
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Typed with care"));
    EXPECT_TRUE(db().autoresponders().empty());
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    EXPECT_EQ(items(list()), QStringList{QStringLiteral("Info")});
}

TEST_F(WindowTest, ADamagedDatabaseIsReportedAtLoadAndAtSave) {
    f.folder.write("data.mdb", "garbage");
    MessageBox::setStandingAnswer(MessageBox::Ok);
    open();
    ASSERT_EQ(MessageBox::shownTexts().size(), 1);
    EXPECT_TRUE(MessageBox::shownTexts()[0].startsWith(
        QStringLiteral("The autoresponders could not be read from data.mdb.")));
    EXPECT_EQ(list()->count(), 0);
    type("txtNAME", QStringLiteral("Info"));
    const QStringList said = press("cmdSAVE");
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said[0].startsWith(kNotSaved));
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Info"));
    EXPECT_EQ(f.folder.read("data.mdb"), "garbage");
}

}  // namespace
}  // namespace vorel
