// The mailing-list windows driven offscreen over a real data.mdb: the list
// editor, the member editor with import and export, and posting, ending with
// a post that a real run delivers to the loopback servers.
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <QApplication>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QRadioButton>
#include <QTest>
#include <QToolButton>
#include <memory>

#include "gui/AppWindows.h"
#include "gui/MailingListsWindow.h"
#include "gui/MainForm.h"
#include "gui/MembersWindow.h"
#include "gui/MessageBox.h"
#include "gui/PostWindow.h"
#include "gui/RunMailWindow.h"
#include "gui_support.h"
#include "mail/ListPost.h"
#include "mail/ListRules.h"
#include "mail/MemberRules.h"
#include "store/Queue.h"
#include "support/FixedClock.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::waitUntil;

QString q(const char* text) {
    return QString::fromLatin1(text);
}

QStringList rows(const QListView* view) {
    QStringList out;
    for (int i = 0; i < view->model()->rowCount(); ++i) {
        out << view->model()->index(i, 0).data().toString();
    }
    return out;
}

struct ListWindows : ::testing::Test {
    test::GuiFolder f;
    std::unique_ptr<AppWindows> app;
    MailingListsWindow* lists = nullptr;
    test::FixedClock clock;

    ListWindows() {
        MessageBox::clearAnswers();
        MessageBox::setStandingAnswer(MessageBox::Yes);
        PostWindow::setClockForTests(&clock);
        f.writeSettings();
        Database::upgradeSchema(f.folder.file("data.mdb"));
    }
    ~ListWindows() override {
        app.reset();
        PostWindow::setClockForTests(nullptr);
        MessageBox::clearAnswers();
    }
    Database db() const { return Database::open(f.folder.file("data.mdb")); }
    void open() {
        app = std::make_unique<AppWindows>(f.folder.path(), std::vector<std::string>{});
        app->start();
        click(control<QToolButton>(app->mainForm(), "pctMAILINGLISTS"));
        lists = app->mailingListsWindow();
        ASSERT_NE(lists, nullptr);
    }
    QLineEdit* box(QWidget* w, const char* name) { return control<QLineEdit>(w, name); }
    QPushButton* button(QWidget* w, const char* name) { return control<QPushButton>(w, name); }
    QString lastShown() const {
        const QStringList& s = MessageBox::shownTexts();
        return s.isEmpty() ? QString() : s.last();
    }
    void typeName(const QString& text) {
        QLineEdit* name = box(lists, "txtNAME");
        // Focus moves only inside the active window.
        QApplication::setActiveWindow(lists);
        name->setFocus();
        QTest::keyClicks(name, text);
        box(lists, "txtSUBSCRIBESUBJECT")->setFocus();
    }
    void chooseList(const QString& name) {
        auto* lst = control<QListWidget>(lists, "lstMAILING");
        const auto found = lst->findItems(name, Qt::MatchExactly);
        ASSERT_FALSE(found.isEmpty());
        lst->setCurrentItem(found.first());
        Q_EMIT lst->itemClicked(found.first());
    }
    MembersWindow* viewMembers() {
        click(button(lists, "cmdVEWILIST"));
        return lists->membersWindow();
    }
};

TEST_F(ListWindows, EditorOpensFromTheMainWindowWithNamedControls) {
    open();
    EXPECT_FALSE(app->mainForm()->isVisible());
    EXPECT_TRUE(lists->isVisible());
    EXPECT_EQ(lists->windowTitle(), QStringLiteral("Vorel Mailing List Manager"));
    for (QWidget* w : lists->findChildren<QWidget*>()) {
        if (qobject_cast<QAbstractButton*>(w) || qobject_cast<QLineEdit*>(w) ||
            qobject_cast<QPlainTextEdit*>(w)) {
            EXPECT_FALSE(w->accessibleName().isEmpty()) << w->objectName().toStdString();
        }
    }
    EXPECT_EQ(box(lists, "txtSUBSCRIBEFROM")->toolTip().left(20),
              QStringLiteral("Some email servers R"));
    click(button(lists, "cmdCLOSE"));
    EXPECT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));
}

TEST_F(ListWindows, NameIsNormalisedAndFocusMovesOnFromANamedList) {
    open();
    typeName(QStringLiteral("my list's"));
    EXPECT_EQ(box(lists, "txtNAME")->text(), QStringLiteral("MYLISTS"));
    click(button(lists, "cmdSAVE"));
    EXPECT_EQ(lastShown(), q(kRecordSaved));
    ASSERT_TRUE(db().findList("MYLISTS"));
    EXPECT_EQ(db().findList("MYLISTS")->Type, 1);  // neither option chosen: a conference

    box(lists, "txtNAME")->setFocus();
    EXPECT_TRUE(waitUntil([&] { return box(lists, "txtSUBSCRIBETO")->hasFocus(); }, 2000));
}

TEST_F(ListWindows, SaveOverwritesByNameAndAddNewKeepsFooterAndType) {
    open();
    auto* footer = control<QPlainTextEdit>(lists, "textTOADD");
    const auto opts = lists->findChildren<QRadioButton*>(QStringLiteral("optTYPE"));
    ASSERT_EQ(opts.size(), 2);
    typeName(QStringLiteral("news"));
    opts[0]->setChecked(true);
    EXPECT_TRUE(box(lists, "txtSENDTOLISTTO")->isHidden());
    EXPECT_TRUE(control<QLabel>(lists, "Label17")->isHidden());
    footer->setPlainText(QStringLiteral("first footer"));
    box(lists, "txtSUBSCRIBETO")->setText(QStringLiteral("join@x.example"));
    click(button(lists, "cmdSAVE"));

    click(button(lists, "cmdADDNEW"));
    EXPECT_TRUE(box(lists, "txtNAME")->text().isEmpty());
    EXPECT_TRUE(box(lists, "txtSUBSCRIBETO")->text().isEmpty());
    EXPECT_EQ(footer->toPlainText(), QStringLiteral("first footer"));
    EXPECT_TRUE(opts[0]->isChecked());
    typeName(QStringLiteral("NEWS"));
    footer->setPlainText(QStringLiteral("line 1\nline 2"));
    click(button(lists, "cmdSAVE"));
    EXPECT_EQ(control<QListWidget>(lists, "lstMAILING")->count(), 1);
    const MailingList row = *db().findList("NEWS");
    EXPECT_EQ(row.Type, 0);
    EXPECT_EQ(row.onsubscribeto, "");
    EXPECT_EQ(row.textTOADD, "line 1\r\nline 2");

    click(button(lists, "cmdADDNEW"));
    click(button(lists, "cmdSAVE"));
    EXPECT_EQ(lastShown(), q(kListNameMissing));

    // Showing a conference shows the posting fields again.
    MailingList conf;
    conf.Name = "CONF";
    conf.Type = 7;
    db().addList(conf);
    lists->fillListNames();
    chooseList(QStringLiteral("CONF"));
    EXPECT_TRUE(opts[1]->isChecked());
    EXPECT_FALSE(box(lists, "txtSENDTOLISTTO")->isHidden());
    chooseList(QStringLiteral("NEWS"));
    EXPECT_TRUE(box(lists, "txtSENDTOLISTTO")->isHidden());
    EXPECT_EQ(footer->toPlainText(), QStringLiteral("line 1\nline 2"));
}

TEST_F(ListWindows, DeleteWithAndWithoutMembersKeepsTheFields) {
    MailingList l;
    l.Name = "EMPTY";
    db().addList(l);
    l.Name = "FULL";
    l.subscribefrom = "me@x.example";
    db().addList(l);
    db().addMember({0, "FULL", "a@x.example", ""});
    open();
    chooseList(QStringLiteral("EMPTY"));
    const qsizetype before = MessageBox::shownTexts().size();
    click(button(lists, "cmdDELETE"));
    EXPECT_EQ(MessageBox::shownTexts().mid(before), QStringList{q(kDeleteListQuestion)});

    chooseList(QStringLiteral("FULL"));
    click(button(lists, "cmdDELETE"));
    EXPECT_EQ(lastShown(), q(kDeleteComplete));
    EXPECT_EQ(control<QListWidget>(lists, "lstMAILING")->count(), 0);
    EXPECT_EQ(db().memberCount("FULL"), 0);
    EXPECT_EQ(box(lists, "txtNAME")->text(), QStringLiteral("FULL"));
    EXPECT_EQ(box(lists, "txtSUBSCRIBEFROM")->text(), QStringLiteral("me@x.example"));

    click(button(lists, "cmdSAVE"));
    MessageBox::setNextAnswer(MessageBox::No);
    click(button(lists, "cmdDELETE"));
    EXPECT_TRUE(db().findList("FULL"));
}

TEST_F(ListWindows, ADatabaseFailureIsShownAndTheTypingKept) {
    open();
    typeName(QStringLiteral("news"));
    box(lists, "txtSUBSCRIBETO")->setText(QStringLiteral("join@x.example"));
    sqlite3* raw = nullptr;
    ASSERT_EQ(sqlite3_open(f.folder.file("data.mdb").c_str(), &raw), SQLITE_OK);
    ASSERT_EQ(sqlite3_exec(raw, "DROP TABLE mailling", nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_close(raw);
    click(button(lists, "cmdSAVE"));
    EXPECT_TRUE(lastShown().startsWith(QStringLiteral("The mailing lists could not be read")));
    EXPECT_TRUE(lastShown().contains(QStringLiteral("data.mdb")));
    EXPECT_EQ(box(lists, "txtNAME")->text(), QStringLiteral("NEWS"));
    EXPECT_EQ(box(lists, "txtSUBSCRIBETO")->text(), QStringLiteral("join@x.example"));
}

TEST_F(ListWindows, MemberEditorBrowsesSearchesAndEdits) {
    for (const char* a : {"ann@x.example", "bob@x.example", "carl@x.example"}) {
        db().addMember({0, "TYPED", a, ""});
    }
    open();
    typeName(QStringLiteral("typed"));  // never saved
    MembersWindow* m = viewMembers();
    ASSERT_NE(m, nullptr);
    EXPECT_FALSE(lists->isVisible());
    EXPECT_EQ(m->windowTitle(), QStringLiteral("List VIew"));
    auto* lst = control<QListView>(m, "lstEMAILS");
    EXPECT_EQ(rows(lst),
              (QStringList{QStringLiteral("ann@x.example"), QStringLiteral("bob@x.example"),
                           QStringLiteral("carl@x.example")}));
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("3"));
    QLineEdit* email = box(m, "txtEMAIL");
    EXPECT_TRUE(email->text().isEmpty());

    click(button(m, "cmdLAST"));
    EXPECT_EQ(email->text(), QStringLiteral("carl@x.example"));
    click(button(m, "cmdMOVENEXT"));
    EXPECT_EQ(email->text(), q(kNotFound));
    click(button(m, "cmdMOVENEXT"));
    EXPECT_EQ(email->text(), q(kNotFound));
    click(button(m, "cmdMOVEPREVIOUS"));
    EXPECT_EQ(email->text(), QStringLiteral("carl@x.example"));

    box(m, "txtSEARCH")->setText(QStringLiteral("BOB"));
    click(button(m, "cmdSEARCH"));
    EXPECT_EQ(email->text(), QStringLiteral("bob@x.example"));
    EXPECT_EQ(lst->currentIndex().row(), 1);
    box(m, "txtSEARCH")->setText(QStringLiteral("zed"));
    click(button(m, "cmdSEARCH"));
    EXPECT_EQ(email->text(), q(kNotFound));
    box(m, "txtSEARCH")->clear();
    click(button(m, "cmdSEARCH"));
    EXPECT_EQ(lastShown(), q(kEnterSearch));

    // The keyboard in the list chooses as a click does.
    lst->setFocus();
    lst->setCurrentIndex(lst->model()->index(2, 0));
    EXPECT_EQ(email->text(), QStringLiteral("carl@x.example"));

    // Typing an address that is listed makes it current.
    email->clear();
    QTest::keyClicks(email, QStringLiteral("ann@x.example"));
    EXPECT_EQ(lst->currentIndex().row(), 0);
    email->setText(QStringLiteral("no-at-sign"));
    click(button(m, "Command1"));
    EXPECT_EQ(lastShown(), q(kInvalidAddress));
    email->setText(QStringLiteral("anne@x.example"));
    click(button(m, "Command1"));
    EXPECT_TRUE(db().findMember("TYPED", "anne@x.example"));

    click(button(m, "cmdMOVEFIRST"));
    click(button(m, "Command2"));
    EXPECT_EQ(email->text(), q(kNotFound));
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("2"));
    EXPECT_FALSE(db().findMember("TYPED", "anne@x.example"));

    click(button(m, "cmdCLOSE"));
    EXPECT_TRUE(waitUntil([&] { return lists->isVisible(); }));
}

TEST_F(ListWindows, AddBoxImportAndExport) {
    open();
    typeName(QStringLiteral("L"));
    MembersWindow* m = viewMembers();
    ASSERT_NE(m, nullptr);
    click(button(m, "cmdEXPORT"));
    EXPECT_EQ(lastShown(), q(kNothingToExport));

    auto* add = control<QPlainTextEdit>(m, "txtADDEMAILS");
    click(button(m, "cmdAddaddresses"));
    EXPECT_EQ(lastShown(), q(kAddBoxEmpty));
    add->setPlainText(QStringLiteral("ann@x.example\n\nann@x.example"));
    click(button(m, "cmdAddaddresses"));
    EXPECT_EQ(lastShown(), q(kAddComplete));
    EXPECT_TRUE(add->toPlainText().isEmpty());
    EXPECT_EQ(rows(control<QListView>(m, "lstEMAILS")),
              (QStringList{QStringLiteral("ann@x.example"), QString()}));

    f.folder.write("in.txt", "Bob Smith <bob@x.example>\r\nANN@x.example\r\n\r\nBOB@x.example");
    FileDialog::setNextFileName(QString::fromStdString(f.folder.file("in.txt")));
    MessageBox::setNextAnswer(MessageBox::Ok);
    click(button(m, "cmdIMPORT"));
    EXPECT_EQ(lastShown(), q(kImportDone));
    EXPECT_EQ(db().memberCount("L"), 3);
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("3"));

    FileDialog::setNextFileName(QString());  // the dialog cancelled
    click(button(m, "cmdIMPORT"));
    EXPECT_EQ(lastShown(), q(kImportCancelled));

    FileDialog::setNextFileName(QString::fromStdString(f.folder.file("out.txt")));
    click(button(m, "cmdEXPORT"));
    EXPECT_EQ(lastShown(), q(kExportComplete));
    EXPECT_EQ(f.folder.read("out.txt"), "ann@x.example\r\n\r\nbob@x.example\r\n");

    // Re-importing the export reports every address as already in the list.
    Database d = db();
    std::vector<std::string> status;
    importFile(d, "L", f.folder.file("out.txt"), [&](const std::vector<std::string>& b) {
        status.insert(status.end(), b.begin(), b.end());
    });
    EXPECT_EQ(status, (std::vector<std::string>{"Email Addresss ann@x.example already in list L",
                                                "Invalid email  NOT ADDED",
                                                "Email Addresss bob@x.example already in list L"}));
}

TEST_F(ListWindows, ImportStatusWindowListsEveryLineUntilTheEnd) {
    open();
    typeName(QStringLiteral("L"));
    MembersWindow* m = viewMembers();
    ASSERT_NE(m, nullptr);
    f.folder.write("in.txt", "a@x.example\r\nA@x.example\r\n\r\n");
    FileDialog::setNextFileName(QString::fromStdString(f.folder.file("in.txt")));
    click(button(m, "cmdIMPORT"));
    EXPECT_EQ(lastShown(), q(kImportDone));
    // Closed once the final message is confirmed, gone with the next events.
    QPointer<ImportStatusWindow> status = m->importStatus();
    ASSERT_FALSE(status.isNull());
    EXPECT_EQ(status->windowTitle(), QStringLiteral("Vorel - Importing"));
    EXPECT_FALSE(status->isVisible());
    EXPECT_EQ(status->lines(), (std::vector<std::string>{"Import Added a@x.example to list L",
                                                         "Email Addresss A@x.example already "
                                                         "in list L",
                                                         "Invalid email  NOT ADDED"}));
    EXPECT_TRUE(waitUntil([&] { return status.isNull(); }, 2000));

    FileDialog::setNextFileName(QString::fromStdString(f.folder.file("missing.txt")));
    click(button(m, "cmdIMPORT"));
    EXPECT_TRUE(lastShown().startsWith(q(kImportFailed)));
}

TEST_F(ListWindows, PostQueuesPersonalisedCopiesWithTheUnsavedFooter) {
    MailingList l;
    l.Name = "NEWS";
    l.textTOADD = "saved footer";
    db().addList(l);
    db().addMember({0, "NEWS", "a@x.example", "%vorelcode%~Name=Ann~telephone=0938~"});
    db().addMember({0, "NEWS", "b@x.example", ""});
    db().addMember({0, "NEWS", "c@x.example", "%vorelcode%~name=Cy~"});
    open();
    chooseList(QStringLiteral("NEWS"));
    control<QPlainTextEdit>(lists, "textTOADD")->setPlainText(QStringLiteral("edited footer"));
    click(button(lists, "cmdPOSTMESSAGE"));
    PostWindow* p = lists->postWindow();
    ASSERT_NE(p, nullptr);
    EXPECT_EQ(control<QLabel>(p, "lblStatus")->text(), q(kPostStatusStart));
    box(p, "txtFROM")->setText(QStringLiteral("me@x.example"));
    box(p, "txtSUBJECT")->setText(QStringLiteral("For %name%"));
    control<QPlainTextEdit>(p, "txtMESSAGE")
        ->setPlainText(QStringLiteral("Dear %name% (%telephone%)\n%date% %Date%"));
    QPointer<PostWindow> alive(p);
    click(button(p, "cmdPOST"));
    EXPECT_EQ(lastShown(), q(kPostComplete));
    EXPECT_TRUE(waitUntil([&] { return alive.isNull(); }, 2000));

    std::vector<QueueRecord> q;
    QueueReader r(f.folder.file(kQueueFile));
    while (!r.atEnd()) {
        q.push_back(r.readRecord());
    }
    ASSERT_EQ(q.size(), 3u);
    EXPECT_EQ(q[0].to, "a@x.example\r\n");
    EXPECT_EQ(q[0].subject, "For %name%\r\n");
    EXPECT_EQ(q[0].body, "Dear Ann (0938)\r\n05 December 2026 %Date%\r\n\r\nedited footer\r\n");
    EXPECT_EQ(q[1].body,
              "Dear %name% (%telephone%)\r\n05 December 2026 %Date%\r\n\r\nedited footer\r\n");
    EXPECT_EQ(q[2].body,
              "Dear Cy (%telephone%)\r\n05 December 2026 %Date%\r\n\r\nedited footer\r\n");
}

TEST_F(ListWindows, PostWithoutAListNameIsASystemError) {
    open();
    typeName(QStringLiteral("EMPTYLIST"));
    click(button(lists, "cmdPOSTMESSAGE"));
    QPointer<PostWindow> p = lists->postWindow();
    ASSERT_FALSE(p.isNull());
    click(button(p, "cmdPOST"));
    EXPECT_EQ(lastShown(), q(kNoMessagesToSend));
    EXPECT_FALSE(p.isNull());

    click(button(lists, "cmdADDNEW"));
    click(button(p, "cmdPOST"));
    EXPECT_EQ(lastShown(), q(kSystemError));
    EXPECT_TRUE(waitUntil([&] { return p.isNull(); }, 2000));
    EXPECT_FALSE(QFile::exists(QString::fromStdString(f.folder.file(kQueueFile))));

    // An editor that is gone gives no list either; the post window outlives it.
    typeName(QStringLiteral("EMPTYLIST"));
    click(button(lists, "cmdPOSTMESSAGE"));
    p = lists->postWindow();
    ASSERT_FALSE(p.isNull());
    click(button(lists, "cmdCLOSE"));
    ASSERT_TRUE(waitUntil([&] { return app->mailingListsWindow() == nullptr; }, 2000));
    ASSERT_FALSE(p.isNull());
    click(button(p, "cmdPOST"));
    EXPECT_EQ(lastShown(), q(kSystemError));
    EXPECT_TRUE(waitUntil([&] { return p.isNull(); }, 2000));

    click(control<QToolButton>(app->mainForm(), "pctMAILINGLISTS"));
    lists = app->mailingListsWindow();
    ASSERT_NE(lists, nullptr);
    click(button(lists, "cmdPOSTMESSAGE"));
    EXPECT_EQ(lastShown(), q(kSelectListToPost));
    click(button(lists, "cmdVEWILIST"));
    EXPECT_EQ(lastShown(), q(kSaveListFirst));
    click(button(lists, "cmdDELETE"));
    EXPECT_EQ(lastShown(), q(kSelectListToDelete));
}

TEST_F(ListWindows, APostInTheWindowIsDeliveredByTheNextRun) {
    test::PopServer pop;
    test::SmtpServer smtp;
    f.settings.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    f.settings.txtUSERID = pop.user();
    f.settings.txtPASSWORD = pop.password();
    f.settings.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    f.writeSettings();
    MailingList l;
    l.Name = "NEWS";
    l.sendtolistfrom = "news@me.example";
    db().addList(l);
    for (const char* a : {"a@x.example", "b@x.example", "c@x.example"}) {
        db().addMember({0, "NEWS", a, ""});
    }
    open();
    chooseList(QStringLiteral("NEWS"));
    click(button(lists, "cmdPOSTMESSAGE"));
    PostWindow* p = lists->postWindow();
    ASSERT_NE(p, nullptr);
    box(p, "txtFROM")->setText(QStringLiteral("me@x.example"));
    box(p, "txtSUBJECT")->setText(QStringLiteral("Hello"));
    control<QPlainTextEdit>(p, "txtMESSAGE")->setPlainText(QStringLiteral("Hello list"));
    click(button(p, "cmdPOST"));
    click(button(lists, "cmdCLOSE"));
    ASSERT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));

    click(control<QToolButton>(app->mainForm(), "Picture2"));
    auto* close = control<QPushButton>(app->runWindow(), "cmdCLOSE");
    ASSERT_TRUE(waitUntil([&] { return close->text() == RunMailWindow::closeCaption(); }, 60000));
    const auto got = smtp.received();
    ASSERT_EQ(got.size(), 3u);
    for (const auto& m : got) {
        EXPECT_NE(m.data.find("List-Id:"), std::string::npos);
        EXPECT_NE(m.data.find("Hello list"), std::string::npos);
    }
    EXPECT_EQ(got[0].rcptTo, std::vector<std::string>{"a@x.example"});
}

}  // namespace
}  // namespace vorel
