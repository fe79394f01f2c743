// The autoresponder editor: its rules against a real data.mdb, and the
// window driven offscreen from the main window's "Auto Responders" button.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QToolButton>
#include <QUrl>
#include <memory>
#include <string>
#include <vector>

#include "gui/AppWindows.h"
#include "gui/AutoresponderEditor.h"
#include "gui/AutorespondersWindow.h"
#include "gui/HelpWindow.h"
#include "gui/MainForm.h"
#include "gui/MessageBox.h"
#include "gui/RunMailWindow.h"
#include "gui/Shell.h"
#include "gui_support.h"
#include "store/Database.h"
#include "support/TestServers.h"

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

// Another connection holding the write lock, as a mail run writing a count.
class WriteLock {
public:
    explicit WriteLock(const std::string& path) {
        sqlite3_open(path.c_str(), &db_);
        locked_ = sqlite3_exec(db_, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    ~WriteLock() {
        sqlite3_exec(db_, "ROLLBACK", nullptr, nullptr, nullptr);
        sqlite3_close(db_);
    }
    bool locked() const { return locked_; }

private:
    sqlite3* db_ = nullptr;
    bool locked_ = false;
};

// ---- The rules, without the window ----

struct ToCase {
    std::string typed;
    std::string stored;
};

class StoredTo : public ::testing::TestWithParam<ToCase> {};

TEST_P(StoredTo, KeepsTheFirst49Characters) {
    EXPECT_EQ(AutoresponderEditor::storedTo(GetParam().typed), GetParam().stored);
}

std::string times(int n, const std::string& s) {
    std::string out;
    for (int i = 0; i < n; ++i) {
        out += s;
    }
    return out;
}

INSTANTIATE_TEST_SUITE_P(Lengths, StoredTo,
                         ::testing::Values(ToCase{"", ""}, ToCase{times(49, "a"), times(49, "a")},
                                           ToCase{times(60, "a"), times(49, "a")},
                                           // Characters, not bytes: no character is cut in half.
                                           ToCase{times(60, "\xc3\xa9"), times(49, "\xc3\xa9")},
                                           ToCase{times(48, "a") + "\xe2\x82\xac" + "bc",
                                                  times(48, "a") + "\xe2\x82\xac"}));

struct EditorTest : ::testing::Test {
    test::TempFolder folder;
    std::string path = folder.file("data.mdb");
    std::unique_ptr<AutoresponderEditor> editor;
    EditorTest() {
        Database::createIfMissing(path);
        editor = std::make_unique<AutoresponderEditor>(path);
    }
    std::vector<Autoresponder> rows() { return Database::open(path).autoresponders(); }
};

// Save adds a row (count 0, a space after the message) or, for a name in any
// letter case, changes that row and keeps its count; no name writes nothing.
TEST_F(EditorTest, SaveAddsOrChangesByNameInAnyCase) {
    EXPECT_EQ(editor->save(typed("", "Hello")), AutoresponderEditor::Saved::NoName);
    EXPECT_EQ(editor->save(typed("Bob's", "Hello")), AutoresponderEditor::Saved::Added);
    ASSERT_EQ(rows().size(), 1u);
    EXPECT_EQ(rows()[0].message, "Hello ");
    EXPECT_EQ(rows()[0].Counter, 0);
    Database::open(path).incrementCounter(rows()[0].id);
    Autoresponder changed = typed("BOB'S", "New text");
    changed.To = "sales@me.example";
    EXPECT_EQ(editor->save(changed), AutoresponderEditor::Saved::Changed);
    auto r = rows();
    ASSERT_EQ(r.size(), 1u);
    EXPECT_EQ(r[0].Name, "BOB'S");
    EXPECT_EQ(r[0].To, "sales@me.example");
    EXPECT_EQ(r[0].message, "New text ");
    EXPECT_EQ(r[0].mailto, "boss@me.example");
    EXPECT_EQ(r[0].Counter, 1);
    ASSERT_TRUE(editor->find("bob's"));
}

TEST_F(EditorTest, DeleteRemovesEveryRowOfExactlyThatName) {
    Database db = Database::open(path);
    for (const char* n : {"Bob's", "BOB'S", "Bob's", "Sales"}) {
        db.addAutoresponder(typed(n));
    }
    EXPECT_EQ(editor->remove("Bob's"), 2u);
    EXPECT_EQ(editor->names(), (std::vector<std::string>{"BOB'S", "Sales"}));
    EXPECT_EQ(editor->remove("nobody"), 0u);
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

TEST_F(EditorTest, TryingAMessageMergesTheUnsavedReplyAndChangesNothing) {
    EXPECT_TRUE(rows().empty());  // opened once, as every user of the file does
    const std::string before = folder.read("data.mdb");
    Autoresponder a = typed("Unsaved", "Dear %name%, we call %telephone%.");
    AutoresponderEditor::Trial t = AutoresponderEditor::tryMessage(folder.path(), kMergeMessage, a);
    EXPECT_TRUE(t.replies) << t.report;
    EXPECT_EQ(t.reply, "Dear John, we call 0123. ");

    a.To = "sales@me.example";
    t = AutoresponderEditor::tryMessage(folder.path(), kMergeMessage, a);
    EXPECT_FALSE(t.replies);
    EXPECT_NE(t.report.find("does not match: To differs (\"info@me.example\" is not "
                            "\"sales@me.example\")"),
              std::string::npos)
        << t.report;
    EXPECT_TRUE(folder.read("data.mdb") == before);
    EXPECT_TRUE(rows().empty());
    EXPECT_FALSE(folder.exists("msgqueue.txt"));
    EXPECT_FALSE(folder.exists("log.txt"));
}

// ---- The window ----

struct WindowTest : ::testing::Test {
    test::GuiFolder f;
    std::unique_ptr<AppWindows> app;
    AutorespondersWindow* w = nullptr;
    std::vector<QUrl> opened;

    WindowTest() {
        MessageBox::clearAnswers();
        setUrlOpener([this](const QUrl& url) {
            opened.push_back(url);
            return true;
        });
    }
    ~WindowTest() override {
        app.reset();
        setUrlOpener({});
        MessageBox::clearAnswers();
    }

    void open() {
        f.writeSettings();
        app = std::make_unique<AppWindows>(f.folder.path(), std::vector<std::string>{});
        app->start();
        click(control<QToolButton>(app->mainForm(), "cmdAUTORESPONDER"));
        w = app->autorespondersWindow();
        ASSERT_NE(w, nullptr);
    }
    QLineEdit* edit(const char* name) { return control<QLineEdit>(w, name); }
    QPlainTextEdit* message() { return control<QPlainTextEdit>(w, "txtMESSAGE"); }
    QListWidget* list() { return control<QListWidget>(w, "lstAUTORESPONDERS"); }
    QString counter() { return control<QLabel>(w, "lblcounter")->text(); }
    void press(const char* button) { click(control<QPushButton>(w, button)); }
    void type(const char* name, const QString& text) {
        edit(name)->clear();
        QTest::keyClicks(edit(name), text);
    }
    void select(const QString& name) {
        const QList<QListWidgetItem*> found = list()->findItems(name, Qt::MatchExactly);
        ASSERT_FALSE(found.isEmpty()) << name.toStdString();
        const QRect r = list()->visualItemRect(found.front());
        QTest::mouseClick(list()->viewport(), Qt::LeftButton, {}, r.center());
    }
    // Saves, answering the message box; returns the texts shown.
    QStringList save() {
        MessageBox::clearAnswers();
        MessageBox::setStandingAnswer(MessageBox::Ok);
        press("cmdSAVE");
        QStringList shown = MessageBox::shownTexts();
        MessageBox::clearAnswers();
        return shown;
    }
    std::vector<Autoresponder> rows() {
        return Database::open(f.folder.file("data.mdb")).autoresponders();
    }
};

const QString kSaved = QStringLiteral("Your Autoresponder is Saved!");

TEST_F(WindowTest, OpensInPlaceOfTheMainWindowAndEveryWayOfClosingBringsItBack) {
    open();
    EXPECT_TRUE(w->isVisible());
    EXPECT_FALSE(app->mainForm()->isVisible());
    EXPECT_EQ(w->windowTitle(), QStringLiteral("Autoresponders"));
    auto* tabs = control<QTabWidget>(w, "SSTab1");
    ASSERT_EQ(tabs->count(), 2);
    EXPECT_EQ(tabs->tabText(0), QStringLiteral("Message"));
    EXPECT_EQ(tabs->tabText(1), QStringLiteral("Forward Emails to:"));
    for (const char* name :
         {"txtNAME", "txtTO", "txtSUBJECT", "txtFROM", "txtFROMSUBJECT", "txtMAILTO", "txtMESSAGE",
          "lstAUTORESPONDERS", "lblcounter", "cmdNEW", "cmdSAVE", "cmdDELETE", "cmdPREVIEW",
          "cmdTRY", "cmdHELP", "cmdCLOSE"}) {
        QWidget* c = control<QWidget>(w, name);
        ASSERT_NE(c, nullptr);
        EXPECT_FALSE(c->accessibleName().isEmpty()) << name;
    }
    // The HTML note shows its tag instead of taking it for markup.
    int htmlNotes = 0;
    for (QLabel* l : w->findChildren<QLabel*>()) {
        if (l->text().startsWith(QStringLiteral("To send HTML emails include <HTML>"))) {
            ++htmlNotes;
            EXPECT_EQ(l->textFormat(), Qt::PlainText);
        }
    }
    EXPECT_EQ(htmlNotes, 1);
    press("cmdCLOSE");
    EXPECT_TRUE(waitUntil([this] { return app->autorespondersWindow() == nullptr; }));
    EXPECT_TRUE(app->mainForm()->isVisible());

    click(control<QToolButton>(app->mainForm(), "cmdAUTORESPONDER"));
    ASSERT_NE(app->autorespondersWindow(), nullptr);
    EXPECT_FALSE(app->mainForm()->isVisible());
    app->autorespondersWindow()->close();  // the close box
    EXPECT_TRUE(waitUntil([this] { return app->autorespondersWindow() == nullptr; }));
    EXPECT_TRUE(app->mainForm()->isVisible());
}

TEST_F(WindowTest, FillsTheListInStoredOrderAndShowsTheRowClicked) {
    {
        Database db = Database::open(f.folder.file("data.mdb"));
        Autoresponder b = typed("Zeta", "Line one\nLine two");
        b.Counter = 7;
        db.addAutoresponder(typed("alpha"));
        db.addAutoresponder(b);
        db.addAutoresponder(typed(""));
    }
    open();
    EXPECT_EQ(items(list()),
              (QStringList{QStringLiteral("alpha"), QStringLiteral("Zeta"), QString()}));
    select(QStringLiteral("Zeta"));
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Zeta"));
    EXPECT_EQ(edit("txtTO")->text(), QStringLiteral("info@me.example"));
    EXPECT_EQ(edit("txtSUBJECT")->text(), QStringLiteral("Prices"));
    EXPECT_EQ(edit("txtFROM")->text(), QStringLiteral("robot@me.example"));
    EXPECT_EQ(edit("txtFROMSUBJECT")->text(), QStringLiteral("Our prices"));
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Line one\nLine two"));
    EXPECT_EQ(edit("txtMAILTO")->text(), QStringLiteral("boss@me.example"));
    EXPECT_EQ(counter(), QStringLiteral("7"));
}

TEST_F(WindowTest, SavingNewThenInOtherCaseKeepsOneRowCutsToAndAddsASpaceEachTime) {
    open();
    QTest::keyClicks(message(), QStringLiteral("Hello"));
    EXPECT_EQ(save(),
              QStringList{QStringLiteral("Please enter a name to save this autoresponder under!")});
    EXPECT_TRUE(rows().empty());
    const QString longTo = QString(60, QLatin1Char('t'));
    type("txtNAME", QStringLiteral("Info"));
    type("txtTO", longTo);
    EXPECT_EQ(save(), QStringList{kSaved});
    EXPECT_EQ(items(list()), QStringList{QStringLiteral("Info")});
    EXPECT_TRUE(list()->selectedItems().isEmpty());
    // The fields keep what was typed until the row is shown again.
    EXPECT_EQ(edit("txtTO")->text(), longTo);

    select(QStringLiteral("Info"));
    EXPECT_EQ(edit("txtTO")->text(), QString(49, QLatin1Char('t')));
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Hello "));
    EXPECT_EQ(counter(), QStringLiteral("0"));

    type("txtNAME", QStringLiteral("INFO"));
    EXPECT_EQ(save(), QStringList{kSaved});
    EXPECT_EQ(items(list()), QStringList{QStringLiteral("INFO")});
    select(QStringLiteral("INFO"));
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Hello  "));
    ASSERT_EQ(rows().size(), 1u);
}

TEST_F(WindowTest, RenamingAndSavingAddsASecondAutoresponder) {
    Database::open(f.folder.file("data.mdb")).addAutoresponder(typed("Info", "Original "));
    open();
    select(QStringLiteral("Info"));
    type("txtNAME", QStringLiteral("Info copy"));
    EXPECT_EQ(save(), QStringList{kSaved});
    EXPECT_EQ(items(list()), (QStringList{QStringLiteral("Info"), QStringLiteral("Info copy")}));
    auto r = rows();
    ASSERT_EQ(r.size(), 2u);
    EXPECT_EQ(r[0].message, "Original ");
    EXPECT_EQ(r[1].message, "Original  ");
}

TEST_F(WindowTest, AddNewEmptiesTheFieldsButKeepsForwardAddressesAndTheSelection) {
    Autoresponder a = typed("Info");
    a.Counter = 3;
    Database::open(f.folder.file("data.mdb")).addAutoresponder(a);
    open();
    select(QStringLiteral("Info"));
    press("cmdNEW");
    for (const char* name : {"txtNAME", "txtTO", "txtSUBJECT", "txtFROM", "txtFROMSUBJECT"}) {
        EXPECT_TRUE(edit(name)->text().isEmpty()) << name;
    }
    EXPECT_TRUE(message()->toPlainText().isEmpty());
    EXPECT_EQ(counter(), QStringLiteral("0"));
    EXPECT_EQ(edit("txtMAILTO")->text(), QStringLiteral("boss@me.example"));
    EXPECT_EQ(list()->selectedItems().size(), 1);
}

TEST_F(WindowTest, DeleteAsksFirstThenWantsASelectionThenRemovesTheRows) {
    {
        Database db = Database::open(f.folder.file("data.mdb"));
        db.addAutoresponder(typed("Bob's"));
        db.addAutoresponder(typed("Sales"));
    }
    open();
    MessageBox::setNextAnswer(MessageBox::Yes);
    MessageBox::setNextAnswer(MessageBox::Ok);
    press("cmdDELETE");
    EXPECT_EQ(MessageBox::shownTexts(),
              (QStringList{QStringLiteral("Are you SURE you want to delete this autoresponder?"),
                           QStringLiteral("Please Select an Autoresponder from the List")}));
    EXPECT_EQ(rows().size(), 2u);

    select(QStringLiteral("Bob's"));
    MessageBox::clearAnswers();
    MessageBox::setNextAnswer(MessageBox::No);
    press("cmdDELETE");
    EXPECT_EQ(rows().size(), 2u);

    MessageBox::setNextAnswer(MessageBox::Yes);
    press("cmdDELETE");
    EXPECT_EQ(items(list()), QStringList{QStringLiteral("Sales")});
    // The fields keep the deleted autoresponder: Save brings it back.
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Bob's"));
    ASSERT_EQ(rows().size(), 1u);
}

TEST_F(WindowTest, PreviewShowsTheTypedMessage) {
    open();
    QTest::keyClicks(message(), QStringLiteral("<HTML><b>Hi %name%</b>"));
    press("cmdPREVIEW");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(qs(f.folder.file("htmlprev.htm"))));
    EXPECT_EQ(f.folder.read("htmlprev.htm"), "<HTML><b>Hi %name%</b>\r\n");
}

TEST_F(WindowTest, HelpReplacesTheTextOfTheOneHelpWindow) {
    open();
    helpStart();
    helpLine("Other help");
    helpShow();
    HelpWindow* help = app->helpWindow();
    press("cmdHELP");
    EXPECT_EQ(app->helpWindow(), help);
    const QStringList lines =
        control<QPlainTextEdit>(help, "txtHELP")->toPlainText().split(QLatin1Char('\n'));
    // 39 lines, each ended by a line break.
    ASSERT_EQ(lines.size(), 40);
    EXPECT_EQ(lines[0], QStringLiteral("AUTORESPONDER HELP"));
    EXPECT_EQ(lines[25], QStringLiteral("%vorelcode%"));
}

TEST_F(WindowTest, TryWithAMessagePreviewsTheMergedReplyOfTheFieldsAsTyped) {
    open();
    type("txtNAME", QStringLiteral("Prices"));
    type("txtSUBJECT", QStringLiteral("price list PLEASE"));
    QTest::keyClicks(message(), QStringLiteral("Hi %name%"));
    f.folder.write("sample.eml", kMergeMessage);
    FileDialog::setNextFileName(qs(f.folder.file("sample.eml")));
    press("cmdTRY");
    ASSERT_EQ(opened.size(), 1u);
    EXPECT_EQ(opened[0], QUrl::fromLocalFile(qs(f.folder.file("msg.temp"))));
    EXPECT_EQ(f.folder.read("msg.temp"), "Hi John \r\n");
    EXPECT_TRUE(rows().empty());
    EXPECT_FALSE(f.folder.exists("msgqueue.txt"));
}

// The run holds data.mdb past the busy time-out (about ten seconds here).
TEST_F(WindowTest, ASaveWhileTheRunHoldsTheDatabaseIsReportedAndKeepsTheTyping) {
    open();
    type("txtNAME", QStringLiteral("Info"));
    type("txtMAILTO", QStringLiteral("a@me.example,b@me.example"));
    QTest::keyClicks(message(), QStringLiteral("Typed with care"));
    {
        WriteLock lock(f.folder.file("data.mdb"));
        ASSERT_TRUE(lock.locked());
        const QStringList shown = save();
        ASSERT_EQ(shown.size(), 1);
        EXPECT_TRUE(shown[0].startsWith(QStringLiteral("Your Autoresponder was NOT saved")))
            << shown[0].toStdString();
    }
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Info"));
    EXPECT_EQ(edit("txtMAILTO")->text(), QStringLiteral("a@me.example,b@me.example"));
    EXPECT_EQ(message()->toPlainText(), QStringLiteral("Typed with care"));
    EXPECT_TRUE(rows().empty());
    // Once the run lets go, the same Save goes through.
    EXPECT_EQ(save(), QStringList{kSaved});
    EXPECT_EQ(items(list()), QStringList{QStringLiteral("Info")});
}

TEST_F(WindowTest, ADamagedDatabaseIsReportedAtLoadAndAtSave) {
    f.folder.write("data.mdb", "garbage");
    MessageBox::setStandingAnswer(MessageBox::Ok);
    f.writeSettings();
    app = std::make_unique<AppWindows>(f.folder.path(), std::vector<std::string>{});
    app->start();
    click(control<QToolButton>(app->mainForm(), "cmdAUTORESPONDER"));
    w = app->autorespondersWindow();
    ASSERT_NE(w, nullptr);
    ASSERT_EQ(MessageBox::shownTexts().size(), 1);
    EXPECT_TRUE(MessageBox::shownTexts()[0].startsWith(
        QStringLiteral("The autoresponders could not be read from data.mdb.")));
    EXPECT_EQ(list()->count(), 0);
    type("txtNAME", QStringLiteral("Info"));
    const QStringList shown = save();
    ASSERT_EQ(shown.size(), 1);
    EXPECT_TRUE(shown[0].startsWith(QStringLiteral("Your Autoresponder was NOT saved")));
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Info"));
    EXPECT_EQ(f.folder.read("data.mdb"), "garbage");
}

// Made in the window, it answers in a real run, and the window shows the count.
TEST_F(WindowTest, AnAutoresponderMadeHereAnswersInARealRun) {
    test::PopServer pop;
    test::SmtpServer smtp;
    f.settings.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    f.settings.txtUSERID = pop.user();
    f.settings.txtPASSWORD = pop.password();
    f.settings.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    open();
    type("txtNAME", QStringLiteral("Prices"));
    type("txtTO", QStringLiteral("prices@me.example"));
    type("txtFROM", QStringLiteral("shop@me.example"));
    type("txtFROMSUBJECT", QStringLiteral("Our prices"));
    QTest::keyClicks(message(), QStringLiteral("Dear %email%, the prices are attached."));
    ASSERT_EQ(save(), QStringList{kSaved});
    press("cmdCLOSE");
    ASSERT_TRUE(waitUntil([this] { return app->mainForm()->isVisible(); }));

    pop.addMessage(
        "From: Reader <reader@x.example>\nTo: prices@me.example\nSubject: prices?\n"
        "Message-ID: <1@x.example>\n\nHello.\n");
    click(control<QToolButton>(app->mainForm(), "Picture2"));
    auto* runClose = control<QPushButton>(app->runWindow(), "cmdCLOSE");
    ASSERT_TRUE(waitUntil(
        [&] { return !app->running() && runClose->text() == RunMailWindow::closeCaption(); },
        60000));
    const std::vector<test::SmtpServer::Received> sent = smtp.received();
    ASSERT_EQ(sent.size(), 1u);
    const test::SmtpServer::Received& reply = sent[0];
    EXPECT_EQ(reply.rcptTo, std::vector<std::string>{"reader@x.example"});
    EXPECT_NE(reply.data.find("Dear reader@x.example, the prices are attached."), std::string::npos)
        << reply.data;
    click(runClose);

    click(control<QToolButton>(app->mainForm(), "cmdAUTORESPONDER"));
    w = app->autorespondersWindow();
    ASSERT_NE(w, nullptr);
    select(QStringLiteral("Prices"));
    EXPECT_EQ(counter(), QStringLiteral("1"));
}

}  // namespace
}  // namespace vorel
