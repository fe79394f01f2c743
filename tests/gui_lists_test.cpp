// The mailing-list windows driven offscreen over a real data.mdb: the list
// editor, the member editor with import and export, and posting.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QRadioButton>
#include <QTest>

#include "gui/MailingListsWindow.h"
#include "gui/MainForm.h"
#include "gui/MembersWindow.h"
#include "gui/PostWindow.h"
#include "gui_support.h"
#include "mail/ListPost.h"
#include "mail/ListRules.h"
#include "mail/MemberRules.h"
#include "store/Queue.h"
#include "support/FixedClock.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::texts;
using test::waitUntil;

QString q(const char* text) {
    return QString::fromUtf8(text);
}

struct ListWindows : test::AppTest {
    MailingListsWindow* lists = nullptr;
    test::FixedClock clock;

    ListWindows() {
        MessageBox::setStandingAnswer(MessageBox::Yes);
        PostWindow::setClockForTests(&clock);
    }
    ~ListWindows() override { PostWindow::setClockForTests(nullptr); }
    Database db() const { return Database::open(f.folder.file("data.mdb")); }
    void open() {
        start();
        click(app->mainForm(), "pctMAILINGLISTS");
        lists = app->mailingListsWindow();
        ASSERT_NE(lists, nullptr);
    }
    static QLineEdit* box(QWidget* w, const char* name) { return control<QLineEdit>(w, name); }
    static QPlainTextEdit* text(QWidget* w, const char* name) {
        return control<QPlainTextEdit>(w, name);
    }
    // What a line box or a message box of the list editor shows.
    QString shown(const char* name) {
        auto* line = lists->findChild<QLineEdit*>(q(name));
        return line ? line->text() : text(lists, name)->toPlainText();
    }
    void typeName(const QString& name) {
        // Focus moves only inside the active window.
        QApplication::setActiveWindow(lists);
        box(lists, "txtNAME")->setFocus();
        QTest::keyClicks(box(lists, "txtNAME"), name);
        box(lists, "txtSUBSCRIBESUBJECT")->setFocus();
    }
    void chooseList(const QString& name) {
        auto* lst = control<QListWidget>(lists, "lstMAILING");
        const auto found = lst->findItems(name, Qt::MatchExactly);
        ASSERT_FALSE(found.isEmpty());
        Q_EMIT lst->itemClicked(found.first());
    }
    MembersWindow* members(const QString& name) {
        typeName(name);
        click(lists, "cmdVEWILIST");
        return lists->membersWindow();
    }
    QString rows(QWidget* m) {
        QStringList out;
        auto* model = control<QListView>(m, "lstEMAILS")->model();
        for (int i = 0; i < model->rowCount(); ++i) {
            out << model->index(i, 0).data().toString();
        }
        return out.join(QLatin1Char('|'));
    }
};

// Every field reaches its column and comes back when the list is chosen; the
// name is stored normalised; "&Add New" keeps the footer and the type.
TEST_F(ListWindows, EveryFieldIsSavedAndShownAgain) {
    using M = MailingList;
    const std::pair<const char*, std::string M::*> fields[] = {
        {"txtSUBSCRIBETO", &M::onsubscribeto},
        {"txtSUBSCRIBESUBJECT", &M::onsubscribesubject},
        {"txtSUBSCRIBEFROM", &M::subscribefrom},
        {"txtSUBSCRIBESUBJECTFROM", &M::subscribesubject},
        {"txtSUBSCRIBEMESSAGE", &M::subscribemessage},
        {"txtUNSUBSCRIBETO", &M::onunsubscribeto},
        {"txtUNSUBSCRIBESUBJECT", &M::onunsubscribesubject},
        {"txtUNSUBSCRIBEFROM", &M::unsubscribefrom},
        {"txtUNSUBSCRIBEMESSAGESUBJECT", &M::unsubscribesubject},
        {"txtUNSUBSCRIBEMESSAGE", &M::unsubscribemessage},
        {"txtSENDTOLISTTO", &M::sendtolistfrom},
        {"txtSENDTOLISTSUBJECT", &M::sendtolistsubject},
        {"textTOADD", &M::textTOADD}};
    open();
    EXPECT_FALSE(app->mainForm()->isVisible());
    EXPECT_EQ(lists->windowTitle(), QStringLiteral("Vorel Mailing List Manager"));
    EXPECT_TRUE(box(lists, "txtSUBSCRIBEFROM")->toolTip().startsWith(q("Some email servers R")));
    typeName(QStringLiteral("my list's"));
    EXPECT_EQ(box(lists, "txtNAME")->text(), QStringLiteral("MYLISTS"));
    // Message boxes get two lines, stored with CR LF.
    for (const auto& [name, field] : fields) {
        if (auto* line = lists->findChild<QLineEdit*>(q(name))) {
            line->setText(q(name));
        } else {
            text(lists, name)->setPlainText(q(name) + QStringLiteral("\n2"));
        }
    }
    click(lists, "cmdSAVE");
    EXPECT_EQ(lastShown(), q(kRecordSaved));
    const MailingList row = *db().findList("MYLISTS");
    EXPECT_EQ(row.Type, 1);  // neither option chosen: a conference
    for (const auto& [name, field] : fields) {
        EXPECT_EQ(QString::fromStdString(row.*field)
                      .replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                  shown(name));
        EXPECT_TRUE(shown(name).startsWith(q(name))) << name;
    }
    EXPECT_EQ(row.textTOADD, "textTOADD\r\n2");
    click(lists, "cmdADDNEW");
    for (const auto& [name, field] : fields) {
        EXPECT_EQ(shown(name).isEmpty(), field != &M::textTOADD) << name;
    }
    EXPECT_TRUE(box(lists, "txtNAME")->text().isEmpty());
    click(lists, "cmdSAVE");
    EXPECT_EQ(lastShown(), q(kListNameMissing));
    chooseList(QStringLiteral("MYLISTS"));
    for (const auto& [name, field] : fields) {
        EXPECT_TRUE(shown(name).startsWith(q(name))) << name;
    }
    // A list keeps its name: focus moves on from it.
    box(lists, "txtNAME")->setFocus();
    EXPECT_TRUE(waitUntil([&] { return box(lists, "txtSUBSCRIBETO")->hasFocus(); }, 2000));

    // A simple list hides the posting fields and is saved as type 0.
    const auto opts = lists->findChildren<QRadioButton*>(QStringLiteral("optTYPE"));
    ASSERT_EQ(opts.size(), 2);
    opts[0]->setChecked(true);
    EXPECT_TRUE(box(lists, "txtSENDTOLISTTO")->isHidden());
    EXPECT_TRUE(control<QLabel>(lists, "Label17")->isHidden());
    click(lists, "cmdSAVE");
    EXPECT_EQ(db().findList("MYLISTS")->Type, 0);
    EXPECT_EQ(db().lists().size(), 1u);
    click(lists, "cmdADDNEW");
    EXPECT_TRUE(opts[0]->isChecked());
    opts[1]->setChecked(true);
    EXPECT_FALSE(box(lists, "txtSENDTOLISTTO")->isHidden());
    click(lists, "cmdCLOSE");
    EXPECT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));
}

// Delete asks first and says "Delete Complete" only where members went; the
// fields stay. A failing data.mdb is shown and the typing kept.
TEST_F(ListWindows, DeleteAndADatabaseFailure) {
    MailingList l;
    l.Name = "EMPTY";
    db().addList(l);
    l.Name = "FULL";
    l.subscribefrom = "me@x.example";
    db().addList(l);
    db().addMember({0, "FULL", "a@x.example", ""});
    open();
    click(lists, "cmdDELETE");
    EXPECT_EQ(lastShown(), q(kSelectListToDelete));
    chooseList(QStringLiteral("EMPTY"));
    const qsizetype before = MessageBox::shownTexts().size();
    click(lists, "cmdDELETE");
    EXPECT_EQ(MessageBox::shownTexts().mid(before), QStringList{q(kDeleteListQuestion)});
    chooseList(QStringLiteral("FULL"));
    MessageBox::setNextAnswer(MessageBox::No);
    click(lists, "cmdDELETE");
    EXPECT_TRUE(db().findList("FULL"));
    click(lists, "cmdDELETE");
    EXPECT_EQ(lastShown(), q(kDeleteComplete));
    EXPECT_EQ(control<QListWidget>(lists, "lstMAILING")->count(), 0);
    EXPECT_EQ(db().memberCount("FULL"), 0);
    EXPECT_EQ(shown("txtSUBSCRIBEFROM"), QStringLiteral("me@x.example"));

    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(f.folder.file("data.mdb").c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "DROP TABLE mailling", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    click(lists, "cmdSAVE");
    EXPECT_TRUE(lastShown().startsWith(QStringLiteral("The mailing lists could not be read")));
    EXPECT_TRUE(lastShown().contains(QStringLiteral("data.mdb")));
    EXPECT_EQ(shown("txtNAME") + shown("txtSUBSCRIBEFROM"), QStringLiteral("FULLme@x.example"));
}

TEST_F(ListWindows, MemberEditorBrowsesSearchesAndEdits) {
    for (const char* a : {"ann@x.example", "bob@x.example", "carl@x.example"}) {
        db().addMember({0, "TYPED", a, ""});
    }
    open();
    click(lists, "cmdVEWILIST");
    EXPECT_EQ(lastShown(), q(kSaveListFirst));
    MembersWindow* m = members(QStringLiteral("typed"));  // never saved
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(lists->isVisible());
    EXPECT_EQ(m->windowTitle(), QStringLiteral("List VIew"));
    EXPECT_EQ(rows(m), QStringLiteral("ann@x.example|bob@x.example|carl@x.example"));
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("3"));
    QLineEdit* email = box(m, "txtEMAIL");
    auto* lst = control<QListView>(m, "lstEMAILS");
    // Each button or search and what it leaves in the address box.
    const std::pair<const char*, const char*> steps[] = {{"cmdLAST", "carl@x.example"},
                                                         {"cmdMOVENEXT", kNotFound},
                                                         {"cmdMOVEPREVIOUS", "carl@x.example"},
                                                         {"cmdMOVEFIRST", "ann@x.example"},
                                                         {"cmdMOVEPREVIOUS", kNotFound},
                                                         {"BOB", "bob@x.example"},
                                                         {"zed", kNotFound},
                                                         {"", kNotFound}};
    for (const auto& [step, after] : steps) {
        if (std::string(step).rfind("cmd", 0) != 0) {
            box(m, "txtSEARCH")->setText(q(step));
            click(m, "cmdSEARCH");
        } else {
            click(m, step);
        }
        EXPECT_EQ(email->text(), q(after)) << step;
    }
    EXPECT_EQ(lastShown(), q(kEnterSearch));
    // The keyboard in the list chooses as a click does; typing a listed
    // address makes it current.
    lst->setCurrentIndex(lst->model()->index(2, 0));
    EXPECT_EQ(email->text(), QStringLiteral("carl@x.example"));
    email->clear();
    QTest::keyClicks(email, QStringLiteral("ann@x.example"));
    EXPECT_EQ(lst->currentIndex().row(), 0);
    email->setText(QStringLiteral("no-at-sign"));
    click(m, "Command1");
    EXPECT_EQ(lastShown(), q(kInvalidAddress));
    email->setText(QStringLiteral("anne@x.example"));
    click(m, "Command1");
    EXPECT_TRUE(db().findMember("TYPED", "anne@x.example"));
    click(m, "Command2");
    EXPECT_EQ(email->text(), q(kNotFound));
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("2"));
    EXPECT_FALSE(db().findMember("TYPED", "anne@x.example"));
    click(m, "cmdCLOSE");
    EXPECT_TRUE(waitUntil([&] { return lists->isVisible(); }));
}

TEST_F(ListWindows, AddBoxImportWithItsStatusWindowAndExport) {
    open();
    MembersWindow* m = members(QStringLiteral("L"));
    ASSERT_NE(m, nullptr);
    click(m, "cmdEXPORT");
    EXPECT_EQ(lastShown(), q(kNothingToExport));
    click(m, "cmdAddaddresses");
    EXPECT_EQ(lastShown(), q(kAddBoxEmpty));
    text(m, "txtADDEMAILS")->setPlainText(QStringLiteral("ann@x.example\n\nann@x.example"));
    click(m, "cmdAddaddresses");
    EXPECT_EQ(lastShown(), q(kAddComplete));
    EXPECT_TRUE(text(m, "txtADDEMAILS")->toPlainText().isEmpty());
    EXPECT_EQ(rows(m), QStringLiteral("ann@x.example|"));

    f.folder.write("in.txt", "Bob Smith <bob@x.example>\r\nANN@x.example\r\n\r\nBOB@x.example");
    FileDialog::setNextFileName(QString::fromStdString(f.folder.file("in.txt")));
    click(m, "cmdIMPORT");
    EXPECT_EQ(lastShown(), q(kImportDone));
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("3"));
    // Closed once the final message is confirmed, gone with the next events.
    QPointer<ImportStatusWindow> status = m->importStatus();
    ASSERT_FALSE(status.isNull());
    EXPECT_EQ(status->windowTitle(), QStringLiteral("Vorel - Importing"));
    EXPECT_FALSE(status->isVisible());
    EXPECT_EQ(status->lines(),
              (std::vector<std::string>{"Import Added bob@x.example to list L",
                                        "Email Addresss ANN@x.example already in list L",
                                        "Invalid email  NOT ADDED",
                                        "Email Addresss BOB@x.example already in list L"}));
    EXPECT_TRUE(waitUntil([&] { return status.isNull(); }, 2000));
    for (const char* file : {"", "missing.txt"}) {
        FileDialog::setNextFileName(file[0] ? QString::fromStdString(f.folder.file(file))
                                            : QString());
        click(m, "cmdIMPORT");
        EXPECT_TRUE(lastShown().startsWith(q(file[0] ? kImportFailed : kImportCancelled)));
    }
    FileDialog::setNextFileName(QString::fromStdString(f.folder.file("out.txt")));
    click(m, "cmdEXPORT");
    EXPECT_EQ(lastShown(), q(kExportComplete));
    EXPECT_EQ(f.folder.read("out.txt"), "ann@x.example\r\n\r\nbob@x.example\r\n");
}

// A post queues one merged copy per member with the footer as it stands in
// the editor, unsaved; without a list name (none typed, or the editor gone)
// it is a "System Error".
TEST_F(ListWindows, PostQueuesCopiesWithTheUnsavedFooterAndNeedsAListName) {
    MailingList l;
    l.Name = "NEWS";
    l.textTOADD = "saved footer";
    db().addList(l);
    db().addMember({0, "NEWS", "a@x.example", "%vorelcode%~Name=Ann~telephone=0938~"});
    db().addMember({0, "NEWS", "b@x.example", ""});
    open();
    click(lists, "cmdPOSTMESSAGE");
    EXPECT_EQ(lastShown(), q(kSelectListToPost));
    chooseList(QStringLiteral("NEWS"));
    text(lists, "textTOADD")->setPlainText(QStringLiteral("edited footer"));
    click(lists, "cmdPOSTMESSAGE");
    QPointer<PostWindow> p = lists->postWindow();
    ASSERT_FALSE(p.isNull());
    EXPECT_EQ(control<QLabel>(p, "lblStatus")->text(), q(kPostStatusStart));
    box(p, "txtFROM")->setText(QStringLiteral("me@x.example"));
    box(p, "txtSUBJECT")->setText(QStringLiteral("For %name%"));
    text(p, "txtMESSAGE")->setPlainText(QStringLiteral("Dear %name% (%telephone%)\n%date%"));
    click(p, "cmdPOST");
    EXPECT_EQ(lastShown(), q(kPostComplete));
    EXPECT_TRUE(waitUntil([&] { return p.isNull(); }, 2000));
    std::vector<QueueRecord> queued;
    for (QueueReader r(f.folder.file(kQueueFile)); !r.atEnd();) {
        queued.push_back(r.readRecord());
    }
    ASSERT_EQ(queued.size(), 2u);
    EXPECT_EQ(queued[0].to + queued[0].from + queued[0].subject,
              "a@x.example\r\nme@x.example\r\nFor %name%\r\n");
    EXPECT_EQ(queued[0].body, "Dear Ann (0938)\r\n05 December 2026\r\n\r\nedited footer\r\n");
    EXPECT_EQ(queued[1].body,
              "Dear %name% (%telephone%)\r\n05 December 2026\r\n\r\nedited footer\r\n");

    typeName(QStringLiteral("NOBODY"));
    click(lists, "cmdPOSTMESSAGE");
    p = lists->postWindow();
    click(p, "cmdPOST");
    EXPECT_EQ(lastShown(), q(kNoMessagesToSend));
    click(lists, "cmdADDNEW");
    click(p, "cmdPOST");
    EXPECT_EQ(lastShown(), q(kSystemError));
    EXPECT_TRUE(waitUntil([&] { return p.isNull(); }, 2000));
    typeName(QStringLiteral("NEWS"));
    click(lists, "cmdPOSTMESSAGE");
    p = lists->postWindow();
    click(lists, "cmdCLOSE");
    ASSERT_TRUE(waitUntil([&] { return app->mailingListsWindow() == nullptr; }, 2000));
    ASSERT_FALSE(p.isNull());
    click(p, "cmdPOST");
    EXPECT_EQ(lastShown(), q(kSystemError));
}

}  // namespace
}  // namespace vorel
