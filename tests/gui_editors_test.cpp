// The autoresponder, mailing-list, member and post windows over a real data.mdb.
#include <sqlite3.h>

#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTimeEdit>
#include <QListView>
#include <QRadioButton>
#include <QSpinBox>
#include <QTreeWidget>

#include "forms/ListPost.h"
#include "forms/ListRules.h"
#include "forms/MemberRules.h"
#include "gui/AutorespondersWindow.h"
#include "gui/HelpWindow.h"
#include "gui/MailingListsWindow.h"
#include "gui/MembersWindow.h"
#include "gui/PostWindow.h"
#include "gui_support.h"
#include "mail/Subscriptions.h"
#include "store/HeldPosts.h"
#include "store/Queue.h"
#include "store/SendLimits.h"
#include "support/FixedClock.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::q;
using test::texts;
using test::waitUntil;

Autoresponder row(const std::string& name, const std::string& message = "Thanks") {
    Autoresponder a;
    a.Name = name;
    a.To = "info@x.example";
    a.message = message;
    a.mailto = "boss@x.example";
    return a;
}

struct Editors : test::AppTest {
    QWidget* w = nullptr;  // the editor the test works in
    test::FixedClock clock;
    Editors() {
        MessageBox::setStandingAnswer(MessageBox::Yes);  // unless the test says otherwise
        PostWindow::setClockForTests(&clock);
    }
    ~Editors() override { PostWindow::setClockForTests(nullptr); }
    void open(const char* button) {
        start();
        click(app->mainForm(), button);
        w = std::string(button) == "cmdAUTORESPONDER"
                ? static_cast<QWidget*>(app->autorespondersWindow())
                : app->mailingListsWindow();
        ASSERT_NE(w, nullptr);
    }
    QLineEdit* edit(const char* name, QWidget* in = nullptr) {
        return control<QLineEdit>(in ? in : w, name);
    }
    QPlainTextEdit* text(const char* name, QWidget* in = nullptr) {
        return control<QPlainTextEdit>(in ? in : w, name);
    }
    // What a line box or a message box shows.
    QString shown(const char* name) {
        auto* line = w->findChild<QLineEdit*>(q(name));
        return line ? line->text() : text(name)->toPlainText();
    }
    QListWidget* list(const char* name) { return control<QListWidget>(w, name); }
    QStringList press(const char* button, QWidget* in = nullptr) {
        return test::press(in ? in : w, button);
    }
    void select(const char* name) {
        auto* l = list("lstAUTORESPONDERS");
        l->setCurrentItem(l->findItems(q(name), Qt::MatchExactly).value(0));
    }
    void typeName(const char* name) {
        QApplication::setActiveWindow(w);  // focus moves only inside the active window
        edit("txtNAME")->setFocus();
        edit("txtNAME")->clear();  // a list the window opened on may show its name
        QTest::keyClicks(edit("txtNAME"), q(name));
        edit("txtSUBSCRIBESUBJECT")->setFocus();
    }
    void chooseList(const char* name) {
        auto* l = list("lstMAILING");
        Q_EMIT l->itemClicked(l->findItems(q(name), Qt::MatchExactly).value(0));
    }
    MembersWindow* members(const char* name) {
        typeName(name);
        click(w, "cmdVEWILIST");
        return app->mailingListsWindow()->membersWindow();
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

const QString kSaved = QStringLiteral("Your Autoresponder is Saved!");

// Save adds a row (count 0, To cut to 49 characters, a space after the
// message) or changes the row of that name in any case, keeping its count.
TEST_F(Editors, AutoresponderSaveAddsOrChangesByNameAndAClickShowsTheRow) {
    Autoresponder zeta = row("Zeta", "Line one\r\nLine two");
    zeta.Subject = "S";
    zeta.msgfrom = "F";
    zeta.msgsubject = "FS";
    zeta.Counter = 7;
    zeta.activeuntil = "2001-01-01 00:00:00";
    zeta.replydays = 7;
    for (const Autoresponder& a : {row("alpha"), zeta, row("")}) {
        f.db().addAutoresponder(a);
    }
    open("cmdAUTORESPONDER");
    EXPECT_EQ(items(list("lstAUTORESPONDERS")), texts("alpha|Zeta|"));
    // The mark says which answer now: a forgotten one is seen.
    QStringList marks;
    for (int i = 0; i < list("lstAUTORESPONDERS")->count(); ++i) {
        const QListWidgetItem* item = list("lstAUTORESPONDERS")->item(i);
        EXPECT_FALSE(item->icon().isNull());
        marks << item->data(Qt::AccessibleDescriptionRole).toString();
    }
    EXPECT_EQ(marks, texts("active now|no longer active since 2001-01-01 00:00:00|active now"));
    auto* from = control<QCheckBox>(w, "chkACTIVEFROM");
    auto* until = control<QCheckBox>(w, "chkACTIVEUNTIL");
    auto* days = control<QSpinBox>(w, "txtREPLYDAYS");
    select("Zeta");
    EXPECT_TRUE(!from->isChecked() && until->isChecked() && days->value() == 7);
    EXPECT_EQ(control<QDateTimeEdit>(w, "dtpACTIVEUNTIL")->dateTime(),
              QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
    const char* const names[] = {"txtNAME",        "txtTO",     "txtSUBJECT", "txtFROM",
                                 "txtFROMSUBJECT", "txtMAILTO", "txtMESSAGE"};
    QStringList all;
    for (const char* name : names) {
        all << shown(name);
    }
    EXPECT_EQ(all, texts("Zeta|info@x.example|S|F|FS|boss@x.example|Line one\nLine two"));
    EXPECT_EQ(control<QLabel>(w, "lblcounter")->text(), QStringLiteral("7"));
    click(w, "cmdNEW");
    for (const char* name : names) {
        EXPECT_EQ(shown(name).isEmpty(), name != std::string("txtMAILTO")) << name;
    }
    EXPECT_EQ(control<QLabel>(w, "lblcounter")->text(), QStringLiteral("0"));
    EXPECT_TRUE(!from->isChecked() && !until->isChecked() && days->value() == 0);
    QTest::keyClicks(text("txtMESSAGE"), QStringLiteral("Hello"));
    EXPECT_EQ(press("cmdSAVE"), texts("Please enter a name to save this autoresponder under!"));
    // 48 characters and a euro sign of three bytes, then more.
    const QString longTo = QString(48, QLatin1Char('t')) + QStringLiteral("\u20acbc");
    const QStringList typed = texts("Info||S|F|FS|M");
    for (int i = 0; i < 6; ++i) {
        edit(names[i])->setText(i == 1 ? longTo : typed[i]);
    }
    from->setChecked(true);
    control<QDateTimeEdit>(w, "dtpACTIVEFROM")
        ->setDateTime(QDateTime(QDate(2026, 12, 20), QTime(9, 0)));
    days->setValue(3);
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    EXPECT_EQ(edit("txtTO")->text(), longTo);  // as typed until the row is shown again
    const Autoresponder s = f.db().findAutoresponder("Info").value();
    EXPECT_EQ(s.To + "|" + s.Subject + s.msgfrom + s.msgsubject + s.mailto + "|" + s.message +
                  std::to_string(s.Counter),
              std::string(48, 't') + "\xe2\x82\xac|SFFSM|Hello 0");
    EXPECT_EQ(s.activefrom + "|" + s.activeuntil + "|" + std::to_string(s.replydays),
              "2026-12-20 09:00:00||3");
    f.db().incrementCounter(s.id);
    select("Info");
    edit("txtNAME")->setText(QStringLiteral("INFO"));
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    select("INFO");
    EXPECT_EQ(shown("txtMESSAGE"), QStringLiteral("Hello  "));
    EXPECT_EQ(control<QLabel>(w, "lblcounter")->text(), QStringLiteral("1"));
    edit("txtNAME")->setText(QStringLiteral("Info copy"));
    press("cmdSAVE");
    EXPECT_EQ(items(list("lstAUTORESPONDERS")).mid(3), texts("INFO|Info copy"));
}

// Delete removes every row of exactly the selected name; a Save that meets a run
// holding data.mdb past the busy time-out keeps the typing for the next Save.
TEST_F(Editors, AutoresponderDeleteByNameAndASaveThatWaitsOutARun) {
    for (const char* name : {"Bob's", "BOB'S", "Bob's", "Sales"}) {
        f.db().addAutoresponder(row(name));
    }
    open("cmdAUTORESPONDER");
    MessageBox::setNextAnswer(MessageBox::Yes);
    EXPECT_EQ(press("cmdDELETE"), texts("Are you SURE you want to delete this autoresponder?|"
                                        "Please Select an Autoresponder from the List"));
    select("Bob's");
    MessageBox::setNextAnswer(MessageBox::No);
    click(w, "cmdDELETE");
    EXPECT_EQ(f.db().autoresponders().size(), 4u);
    click(w, "cmdDELETE");
    EXPECT_EQ(items(list("lstAUTORESPONDERS")), texts("BOB'S|Sales"));
    EXPECT_EQ(f.db().autoresponders().size(), 2u);
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("Bob's"));
    edit("txtNAME")->setText(QStringLiteral("Info"));
    edit("txtMAILTO")->setText(QStringLiteral("a@x.example,b@x.example"));
    text("txtMESSAGE")->setPlainText(QStringLiteral("Typed with care"));
    sqlite3* lock = nullptr;
    sqlite3_open(f.folder.file("data.mdb").c_str(), &lock);
    ASSERT_EQ(sqlite3_exec(lock, "BEGIN IMMEDIATE", nullptr, nullptr, nullptr), SQLITE_OK);
    const QStringList said = press("cmdSAVE");
    sqlite3_exec(lock, "ROLLBACK", nullptr, nullptr, nullptr);
    sqlite3_close(lock);
    EXPECT_TRUE(said.value(0).startsWith(QStringLiteral("Your Autoresponder was NOT saved")));
    EXPECT_EQ(shown("txtNAME") + shown("txtMAILTO") + shown("txtMESSAGE"),
              QStringLiteral("Infoa@x.example,b@x.exampleTyped with care"));
    EXPECT_EQ(f.db().autoresponders().size(), 2u);
    EXPECT_EQ(press("cmdSAVE"), QStringList{kSaved});
    EXPECT_EQ(items(list("lstAUTORESPONDERS")), texts("BOB'S|Sales|Info"));
}

// Try merges the unsaved reply for a saved message or says why there is
// none, changing nothing; HELP shows the help window.
TEST_F(Editors, AutoresponderPreviewTryHelpAndClose) {
    open("cmdAUTORESPONDER");
    EXPECT_FALSE(app->mainForm()->isVisible());
    int htmlNotes = 0;  // the HTML note shows its tag instead of taking it for markup
    for (QLabel* l : w->findChildren<QLabel*>()) {
        htmlNotes += l->text().startsWith(QStringLiteral("To send HTML emails include <HTML>")) &&
                     l->textFormat() == Qt::PlainText;
    }
    EXPECT_EQ(htmlNotes, 1);
    text("txtMESSAGE")->setPlainText(QStringLiteral("<HTML><b>Hi %name%</b>"));
    click(w, "cmdPREVIEW");
    EXPECT_EQ(f.folder.read("htmlprev.htm"), "<HTML><b>Hi %name%</b>\r\n");
    edit("txtNAME")->setText(QStringLiteral("Prices"));
    edit("txtTO")->setText(QStringLiteral("INFO@x.example"));
    text("txtMESSAGE")->setPlainText(QStringLiteral("Dear %name%, we call %telephone%."));
    // Base64 of "Hello\r\n%vorelcode%\r\nname=John\r\ntelephone=0123\r\n".
    f.folder.write("sample.eml",
                   "From: reader@x.example\r\nTo: info@x.example\r\nSubject: Price list\r\n"
                   "Content-Transfer-Encoding: base64\r\n\r\n"
                   "SGVsbG8NCiV2b3JlbGNvZGUlDQpuYW1lPUpvaG4NCnRlbGVwaG9uZT0wMTIzDQo=\r\n");
    const std::string before = f.folder.read("data.mdb");
    FileDialog::setNextFileName(q(f.folder.file("sample.eml")));
    click(w, "cmdTRY");
    EXPECT_EQ(f.folder.read("msg.temp"), "Dear John, we call 0123. \r\n");
    const auto tried = [this] {
        FileDialog::setNextFileName(q(f.folder.file("sample.eml")));
        return press("cmdTRY").value(0);
    };
    edit("txtTO")->setText(QStringLiteral("sales@x.example"));
    EXPECT_TRUE(tried().contains(QStringLiteral(
        "does not match: To differs (\"info@x.example\" is not \"sales@x.example\")")));
    edit("txtTO")->setText(QStringLiteral("INFO@x.example"));
    control<QCheckBox>(w, "chkACTIVEUNTIL")->setChecked(true);
    control<QDateTimeEdit>(w, "dtpACTIVEUNTIL")
        ->setDateTime(QDateTime(QDate(2001, 1, 1), QTime(0, 0)));
    EXPECT_TRUE(
        tried().contains(QStringLiteral("does not match: no longer active since 2001-01-01")));
    EXPECT_EQ(opened, (std::vector<QUrl>{QUrl::fromLocalFile(q(f.folder.file("htmlprev.htm"))),
                                         QUrl::fromLocalFile(q(f.folder.file("msg.temp")))}));
    EXPECT_TRUE(f.folder.read("data.mdb") == before);
    EXPECT_FALSE(f.folder.exists("msgqueue.txt") || f.folder.exists("log.txt"));
    openResult = false;
    EXPECT_EQ(press("cmdPREVIEW"),
              QStringList{QStringLiteral("Could not open ") + q(f.folder.file("msg.temp")) +
                          QStringLiteral(" with the desktop's default application; open it "
                                         "from there yourself.")});
    click(w, "cmdHELP");
    EXPECT_TRUE(app->helpWindow() && app->helpWindow()->isVisible());
    click(w, "cmdCLOSE");
    EXPECT_TRUE(waitUntil([this] { return app->autorespondersWindow() == nullptr; }));
    EXPECT_TRUE(app->mainForm()->isVisible());
}

// Every field of a list reaches its column and comes back when the list is
// chosen; the name is stored normalised; "&Add New" keeps footer and type.
TEST_F(Editors, EveryListFieldIsSavedAndShownAgain) {
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
    open("pctMAILINGLISTS");
    EXPECT_FALSE(app->mainForm()->isVisible());
    typeName("my list's");
    EXPECT_EQ(edit("txtNAME")->text(), QStringLiteral("MYLISTS"));
    // Message boxes get two lines, stored with CR LF.
    for (const auto& [name, field] : fields) {
        if (auto* line = w->findChild<QLineEdit*>(q(name))) {
            line->setText(q(name));
        } else {
            text(name)->setPlainText(q(name) + QStringLiteral("\n2"));
        }
    }
    const QStringList said = press("cmdSAVE");
    ASSERT_EQ(said.size(), 1);
    EXPECT_TRUE(said[0].startsWith(q(kRecordSaved)) &&
                said[0].contains(QStringLiteral("saved as a Conference")))
        << said[0].toStdString();
    const MailingList saved = f.db().findList("MYLISTS").value();
    EXPECT_EQ(saved.Type, 1);  // neither option chosen: a conference
    for (const auto& [name, field] : fields) {
        EXPECT_EQ(q(saved.*field).replace(QStringLiteral("\r\n"), QStringLiteral("\n")),
                  shown(name));
    }
    EXPECT_EQ(saved.textTOADD, "textTOADD\r\n2");
    // New lists ask subscribers to confirm unless the box is cleared.
    auto* confirm = control<QCheckBox>(w, "chkCONFIRM");
    EXPECT_EQ(confirm->accessibleName(),
              QStringLiteral("Ask new subscribers to confirm by e-mail (recommended)"));
    EXPECT_TRUE(saved.confirm);
    confirm->setChecked(false);
    // Copies come from the list's address unless that box is cleared.
    auto* fromList = control<QCheckBox>(w, "chkFROMLIST");
    EXPECT_TRUE(saved.fromList);
    fromList->setChecked(false);
    click(w, "cmdSAVE");
    EXPECT_FALSE(f.db().findList("MYLISTS")->confirm);
    EXPECT_FALSE(f.db().findList("MYLISTS")->fromList);
    click(w, "cmdADDNEW");
    EXPECT_TRUE(confirm->isChecked());
    EXPECT_TRUE(fromList->isChecked());
    for (const auto& [name, field] : fields) {
        EXPECT_EQ(shown(name).isEmpty(), field != &M::textTOADD) << name;
    }
    EXPECT_EQ(press("cmdSAVE"), texts(kListNameMissing));
    chooseList("MYLISTS");
    for (const auto& [name, field] : fields) {
        EXPECT_TRUE(shown(name).startsWith(q(name))) << name;
    }
    EXPECT_FALSE(confirm->isChecked());
    EXPECT_FALSE(fromList->isChecked());
    // The focus stays where the user puts it.
    edit("txtNAME")->setFocus();
    test::pause(50);
    EXPECT_TRUE(edit("txtNAME")->hasFocus());
    // A simple list hides the posting fields and is saved as type 0.
    const auto opts = w->findChildren<QRadioButton*>(QStringLiteral("optTYPE"));
    ASSERT_EQ(opts.size(), 2);
    opts[0]->setChecked(true);
    EXPECT_TRUE(edit("txtSENDTOLISTTO")->isHidden() && control<QLabel>(w, "Label17")->isHidden());
    click(w, "cmdSAVE");
    EXPECT_EQ(f.db().findList("MYLISTS")->Type, 0);
    EXPECT_EQ(f.db().lists().size(), 1u);
    click(w, "cmdCLOSE");
    EXPECT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));
}

TEST_F(Editors, MemberEditorBrowsesSearchesEditsAddsImportsAndExports) {
    for (const char* a : {"ann@x.example", "bob@x.example", "carl@x.example"}) {
        f.db().addMember({0, "TYPED", a, ""});
    }
    open("pctMAILINGLISTS");
    EXPECT_EQ(press("cmdVEWILIST"), texts(kSaveListFirst));
    MembersWindow* m = members("typed");  // never saved
    ASSERT_TRUE(m);
    EXPECT_FALSE(w->isVisible());
    EXPECT_EQ(m->windowTitle(), QStringLiteral("List VIew - TYPED"));
    EXPECT_EQ(rows(m), QStringLiteral("ann@x.example|bob@x.example|carl@x.example"));
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("List Members: 3"));
    QLineEdit* email = edit("txtEMAIL", m);
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
        const bool search = std::string(step).rfind("cmd", 0) != 0;
        edit("txtSEARCH", m)->setText(q(step));
        if (std::string(step) == "zed") {  // Enter in the search box searches
            QTest::keyClick(edit("txtSEARCH", m), Qt::Key_Return);
        } else {
            click(m, search ? "cmdSEARCH" : step);
        }
        EXPECT_EQ(email->text(), q(after)) << step;
    }
    EXPECT_EQ(MessageBox::answeredTexts().last(), q(kEnterSearch));
    // Members held after three hard bounces are marked and counted, shown
    // alone on request, and released.
    const std::int64_t today = epochSeconds(SystemClock().now()) / 86400;
    for (std::int64_t day = today - 2; day <= today; ++day) {
        f.db().recordBounce("bob@x.example", "TYPED", day);
    }
    auto* onlyHeld = control<QCheckBox>(m, "chkONLYHELD");
    onlyHeld->setChecked(true);
    EXPECT_EQ(rows(m), QStringLiteral("bob@x.example  (held after 3 hard bounces)"));
    EXPECT_EQ(control<QLabel>(m, "lblHELD")->accessibleName(),
              QStringLiteral("Held after hard bounces: 1"));
    EXPECT_EQ(email->text(), QStringLiteral("bob@x.example"));
    EXPECT_EQ(press("cmdRELEASE", m),
              texts("bob@x.example is released and gets the list's copies again."));
    EXPECT_EQ(f.db().findMember("TYPED", "bob@x.example")->bounces, 0);
    EXPECT_EQ(rows(m), QString());
    EXPECT_FALSE(control<QPushButton>(m, "cmdRELEASE")->isEnabled());
    onlyHeld->setChecked(false);
    EXPECT_EQ(control<QLabel>(m, "lblHELD")->text(), QStringLiteral("Held after hard bounces: 0"));
    click(m, "cmdMOVEFIRST");
    email->setText(QStringLiteral("no-at-sign"));
    EXPECT_EQ(press("Command1", m), texts(kInvalidAddress));
    email->setText(QStringLiteral("anne@x.example"));
    click(m, "Command1");
    EXPECT_TRUE(f.db().findMember("TYPED", "anne@x.example"));
    click(m, "Command2");
    EXPECT_EQ(email->text(), QStringLiteral("bob@x.example"));  // the next one is current
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("List Members: 2"));
    EXPECT_FALSE(f.db().findMember("TYPED", "anne@x.example"));
    click(m, "cmdCLOSE");
    EXPECT_TRUE(waitUntil([&] { return w->isVisible(); }));
    // The add box, the import with its status window and the export.
    edit("txtNAME")->clear();
    m = members("L");
    ASSERT_TRUE(m);
    EXPECT_EQ(press("cmdEXPORT", m), texts(kNothingToExport));
    EXPECT_EQ(press("cmdAddaddresses", m), texts(kAddBoxEmpty));
    text("txtADDEMAILS", m)->setPlainText(QStringLiteral("ann@x.example\n\nann@x.example"));
    EXPECT_EQ(press("cmdAddaddresses", m),
              QStringList{q(kAddComplete) + QStringLiteral("\n\n2 addresses added")});
    EXPECT_TRUE(text("txtADDEMAILS", m)->toPlainText().isEmpty());
    EXPECT_EQ(rows(m), QStringLiteral("ann@x.example|"));
    f.folder.write("in.txt", "Bob Smith <bob@x.example>\r\nANN@x.example\r\n\r\nBOB@x.example");
    FileDialog::setNextFileName(q(f.folder.file("in.txt")));
    EXPECT_EQ(press("cmdIMPORT", m),
              QStringList{q(kImportDone) + QStringLiteral("\n\n1 address added")});
    EXPECT_EQ(control<QLabel>(m, "lblCOUNT")->text(), QStringLiteral("List Members: 3"));
    // Open in front of the member editor until the user closes it.
    QPointer<ImportStatusWindow> status = m->importStatus();
    ASSERT_FALSE(status.isNull());
    EXPECT_EQ(status->windowTitle(), QStringLiteral("Vorel - Importing"));
    EXPECT_TRUE(status->isVisible() && status->parentWidget() == m);
    ASSERT_EQ(status->lines().size(), 4u);  // the lines themselves: lists_test
    EXPECT_EQ(status->lines()[0], "Import Added bob@x.example to list L");
    status->close();
    for (const char* file : {"", "missing.txt"}) {
        FileDialog::setNextFileName(file[0] ? q(f.folder.file(file)) : QString());
        EXPECT_TRUE(press("cmdIMPORT", m)
                        .value(0)
                        .startsWith(q(file[0] ? kImportFailed : kImportCancelled)));
    }
    FileDialog::setNextFileName(QString());
    EXPECT_EQ(press("cmdEXPORT", m), texts("Export Cancelled!"));
    test::TempFolder elsewhere;  // the application folder's files are never export targets
    FileDialog::setNextFileName(q(elsewhere.file("out.txt")));
    EXPECT_EQ(press("cmdEXPORT", m), texts(kExportComplete));
    EXPECT_EQ(elsewhere.read("out.txt"), "ann@x.example\r\n\r\nbob@x.example\r\n");
}

// Pending requests are listed apart; Confirm makes the member and queues the welcome.
TEST_F(Editors, MemberEditorConfirmsOrDropsPendingRequests) {
    MailingList l;
    l.Name = "NEWS";
    l.subscribefrom = "news@x.example";
    l.subscribesubject = "Welcome";
    l.subscribemessage = "Hi %name%";
    f.db().addList(l);
    f.db().addMember({0, "NEWS", "member@x.example", ""});
    const std::int64_t now = epochSeconds(SystemClock().now());
    f.db().addPending({0, "NEWS", "ann@x.example", "%vorelcode%~name=Ann~", "t1", now - 60});
    f.db().addPending({0, "NEWS", "bob@x.example", "", "t2", now - kConfirmSeconds - 60});
    f.db().addPending({0, "OTHER", "carl@x.example", "", "t3", now});
    open("pctMAILINGLISTS");
    MembersWindow* m = members("NEWS");
    ASSERT_TRUE(m);
    auto* pending = control<QTreeWidget>(m, "lstPENDING");
    auto shownRows = [&] {
        QStringList out;
        for (int i = 0; i < pending->topLevelItemCount(); ++i) {
            out << pending->topLevelItem(i)->text(0) +
                       (pending->topLevelItem(i)->text(1).endsWith(QStringLiteral("(expired)"))
                            ? QStringLiteral(" expired")
                            : QString());
        }
        return out.join(QLatin1Char('|'));
    };
    EXPECT_EQ(shownRows(), QStringLiteral("ann@x.example|bob@x.example expired"));
    EXPECT_EQ(rows(m), QStringLiteral("member@x.example"));
    EXPECT_EQ(press("cmdCONFIRM", m), texts("Please choose a request first."));
    // Reached by keyboard: current, not chosen.
    pending->setCurrentItem(pending->topLevelItem(0), 0, QItemSelectionModel::NoUpdate);
    EXPECT_EQ(press("cmdCONFIRM", m), texts("Please choose a request first."));
    pending->setCurrentItem(pending->topLevelItem(0));
    MessageBox::setNextAnswer(MessageBox::No);
    EXPECT_EQ(press("cmdCONFIRM", m), texts("Add ann@x.example to NEWS and send the welcome?"));
    EXPECT_EQ(rows(m), QStringLiteral("member@x.example"));
    pending->setCurrentItem(pending->topLevelItem(0));
    EXPECT_EQ(press("cmdCONFIRM", m),
              texts("Add ann@x.example to NEWS and send the welcome?|ann@x.example is a member "
                    "of NEWS; the welcome goes out with the next run."));
    EXPECT_EQ(shownRows(), QStringLiteral("bob@x.example expired"));
    EXPECT_EQ(rows(m), QStringLiteral("member@x.example|ann@x.example"));
    EXPECT_EQ(f.db().findMember("NEWS", "ann@x.example")->Data, "%vorelcode%~name=Ann~");
    QueueReader r(f.folder.file(kQueueFile));
    const QueueRecord welcome = r.readRecord();
    EXPECT_EQ(welcome.to + welcome.from + welcome.subject + welcome.body,
              "ann@x.example\r\nnews@x.example\r\nWelcome\r\nHi Ann\r\n");
    EXPECT_TRUE(r.atEnd());
    pending->setCurrentItem(pending->topLevelItem(0));
    MessageBox::setNextAnswer(MessageBox::No);
    EXPECT_EQ(press("cmdDROP", m), texts("Drop the request of bob@x.example?"));
    EXPECT_EQ(shownRows(), QStringLiteral("bob@x.example expired"));
    pending->setCurrentItem(pending->topLevelItem(0));
    click(m, "cmdDROP");
    EXPECT_EQ(shownRows(), QString());
    EXPECT_TRUE(f.db().pendingOf("NEWS").empty());
    EXPECT_FALSE(f.db().findMember("NEWS", "bob@x.example"));
    EXPECT_EQ(f.db().pendingOf("OTHER").size(), 1u);
}

// The Posts tab: a held post approved (its copy queued) or rejected (asked
// first); who may post is saved with the list.
TEST_F(Editors, PostsTabApprovesRejectsAndSavesWhoMayPost) {
    MailingList l;
    l.Name = "NEWS";
    f.db().addList(l);
    f.db().addMember({0, "NEWS", "a@x.example", ""});
    {
        Database d = f.db();
        for (const char* subject : {"First", "Second"}) {
            HeldPosts(d).add({0, "NEWS", "p@x.example", "P <p@x.example>", subject, "Text\r\n", 1,
                              HeldWhy::NonMember, "", 0});
        }
    }
    open("pctMAILINGLISTS");
    chooseList("NEWS");
    auto* held = control<QTreeWidget>(w, "lstHELD");
    ASSERT_EQ(held->topLevelItemCount(), 2);
    EXPECT_EQ(held->topLevelItem(0)->text(3), QStringLiteral("from a non-member"));
    held->setCurrentItem(held->topLevelItem(0));
    EXPECT_EQ(press("cmdAPPROVE"), texts("Post 1 approved: 1 copy queued for the next run"));
    held->setCurrentItem(held->topLevelItem(0));
    EXPECT_EQ(press("cmdREJECT"),
              texts("Delete the post of P <p@x.example>?|Post 2 rejected and deleted"));
    EXPECT_EQ(held->topLevelItemCount(), 0);
    control<QComboBox>(w, "cboPOSTCHECK")->setCurrentIndex(2);
    control<QCheckBox>(w, "chkHOLDNONMEMBERS")->setChecked(true);
    press("cmdSAVE");
    EXPECT_EQ(f.db().findList("NEWS")->postcheck, 2);
    EXPECT_TRUE(f.db().findList("NEWS")->holdnonmembers);
}

// Delete asks first and clears the fields; Post queues one merged copy per
// member with the footer shown as the post window opened, which keeps its list.
TEST_F(Editors, ListDeleteTakesTheMembersAndPostQueuesCopiesWithTheUnsavedFooter) {
    MailingList l;
    for (const char* name : {"EMPTY", "FULL", "NEWS"}) {
        l.Name = name;
        l.subscribefrom = name == std::string("FULL") ? "me@x.example" : "";
        l.textTOADD = "saved footer";
        f.db().addList(l);
    }
    f.db().addMember({0, "FULL", "a@x.example", ""});
    f.db().addMember({0, "NEWS", "a@x.example", "%vorelcode%~Name=Ann~telephone=0938~"});
    f.db().addMember({0, "NEWS", "b@x.example", ""});
    open("pctMAILINGLISTS");
    EXPECT_EQ(press("cmdPOSTMESSAGE"), texts(kSelectListToPost));
    EXPECT_EQ(press("cmdDELETE"), texts(kSelectListToDelete));
    chooseList("EMPTY");
    EXPECT_EQ(press("cmdDELETE"), texts(kDeleteListQuestion));
    chooseList("FULL");
    MessageBox::setNextAnswer(MessageBox::No);
    click(w, "cmdDELETE");
    EXPECT_TRUE(f.db().findList("FULL"));
    EXPECT_EQ(press("cmdDELETE"),
              texts((std::string(kDeleteListQuestion) + "|" + kDeleteComplete).c_str()));
    EXPECT_EQ(items(list("lstMAILING")), texts("NEWS"));
    EXPECT_EQ(f.db().memberCount("FULL"), 0);
    EXPECT_EQ(shown("txtNAME") + shown("txtSUBSCRIBEFROM") + shown("textTOADD"), QString());
    chooseList("NEWS");
    text("textTOADD")->setPlainText(QStringLiteral("edited footer"));
    click(w, "cmdPOSTMESSAGE");
    QPointer<PostWindow> p = app->mailingListsWindow()->postWindow();
    ASSERT_FALSE(p.isNull());
    EXPECT_EQ(control<QLabel>(p, "lblStatus")->text(), q(kPostStatusStart));
    edit("txtFROM", p)->setText(QStringLiteral("me@x.example"));
    edit("txtSUBJECT", p)->setText(QStringLiteral("For %name%"));
    text("txtMESSAGE", p)->setPlainText(QStringLiteral("Dear %name% (%telephone%)\n%date%"));
    // The question says how far the post reaches under the daily limit.
    writeSendLimits(f.folder.path(), {1, 0});
    EXPECT_EQ(press("cmdPOST", p),
              texts((std::string("This post goes to 2 recipients. With the daily sending limit of "
                                 "1, it goes out over 2 days.\n\n") +
                     kPostQuestion + "|" + kPostComplete)
                        .c_str()));
    EXPECT_TRUE(waitUntil([&] { return p.isNull(); }, 2000));
    std::string queued;  // each record's fields, then "|"
    for (QueueReader r(f.folder.file(kQueueFile)); !r.atEnd();) {
        const QueueRecord c = r.readRecord();
        queued += c.to + c.from + c.subject + c.body + "|";
    }
    const std::string tail = "05 December 2026\r\n\r\nedited footer\r\n|";
    EXPECT_EQ(queued,
              "a@x.example\r\nme@x.example\r\nFor %name%\r\nDear Ann (0938)\r\n" + tail +
                  "b@x.example\r\nme@x.example\r\nFor %name%\r\nDear %name% (%telephone%)\r\n" +
                  tail);
    edit("txtNAME")->clear();
    typeName("NOBODY");
    click(w, "cmdPOSTMESSAGE");
    p = app->mailingListsWindow()->postWindow();
    EXPECT_EQ(p->windowTitle(), QStringLiteral("Post Message to List - NOBODY"));
    EXPECT_EQ(press("cmdPOST", p).last(), q(kNoMessagesToSend));
    // The post window keeps its own list while the editor shows another one
    // or closes.
    MessageBox::setNextAnswer(MessageBox::Discard);
    click(w, "cmdADDNEW");
    EXPECT_EQ(p->listName(), "NOBODY");
    p->close();
    EXPECT_TRUE(waitUntil([&] { return p.isNull(); }, 2000));
    chooseList("NEWS");
    click(w, "cmdPOSTMESSAGE");
    p = app->mailingListsWindow()->postWindow();
    edit("txtFROM", p)->setText(QStringLiteral("me@x.example"));
    text("txtMESSAGE", p)->setPlainText(QStringLiteral("Typed after the editor went"));
    click(w, "cmdCLOSE");
    ASSERT_TRUE(waitUntil([&] { return app->mailingListsWindow() == nullptr; }, 2000));
    ASSERT_FALSE(p.isNull());
    const QStringList said = press("cmdPOST", p);
    EXPECT_TRUE(said.value(0).startsWith(QStringLiteral("This post goes to 2 recipients.")));
    EXPECT_EQ(said.value(1), q(kPostComplete));
}

}  // namespace
}  // namespace vorel
