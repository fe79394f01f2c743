// A run from the windows against the loopback servers.
#include <QAction>
#include <QCheckBox>
#include <cstdlib>

#include "forms/ListPost.h"
#include "gui/AutorespondersWindow.h"
#include "gui/MailWatcher.h"
#include "gui/MailingListsWindow.h"
#include "gui_support.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::q;
using test::waitUntil;

std::string message(int i) {
    const std::string n = std::to_string(i);
    return "From: Sender " + n + " <s" + n +
           "@x.example>\nTo: info@me.example\nSubject: question " + n + "\nMessage-ID: <" + n +
           "@test>\n\nHello.\n";
}

int countContaining(const QStringList& list, const QString& part) {
    return static_cast<int>(list.filter(part).size());
}

struct WindowRun : test::AppTest {
    QListWidget* list(const char* name) { return control<QListWidget>(app->runWindow(), name); }
    QPushButton* close() { return control<QPushButton>(app->runWindow(), "cmdCLOSE"); }
    bool waitClose() {
        return waitUntil([this] { return close()->text() == RunMailWindow::closeCaption(); },
                         60000);
    }
};

// A run from the main window sends a list post and the answers, the editor shows the count.
TEST_F(WindowRun, ARunFromTheMainWindowSendsThePostAndTheAnswers) {
    test::PopServer pop;
    test::SmtpServer smtp;
    f.pointAt(pop, smtp);
    f.settings.chkDEBUG = "1";
    Database db = f.db();
    MailingList l;
    l.Name = "NEWS";
    db.addList(l);
    for (const char* a : {"a@x.example", "b@x.example", "c@x.example"}) {
        db.addMember({0, "NEWS", a, ""});
    }
    for (int i = 1; i <= 3; ++i) {
        pop.addMessage(message(i));
    }
    f.addAutoresponder("info@me.example");
    // A post as the post window queues it (its window: gui_editors_test).
    const ListPost post{"NEWS", "me@x.example", "Hello", "Hello list", ""};
    ASSERT_EQ(postToList(db, f.folder.path(), post, SystemClock()), 3u);
    start();
    click(app->mainForm(), "Picture2");
    EXPECT_EQ(close()->text(), RunMailWindow::stopCaption());
    EXPECT_TRUE(app->runWindow()->isVisible());
    ASSERT_TRUE(waitClose());
    const QStringList shown = items(list("lstLOG"));
    EXPECT_TRUE(shown.last().endsWith(QStringLiteral(" Mail Run Complete")));
    EXPECT_LE(shown.size(), 16);
    EXPECT_EQ(pop.messageCount(), 0u);
    QStringList sent;
    for (const auto& m : smtp.received()) {
        sent << q(m.rcptTo.at(0) + " " + m.data);
    }
    ASSERT_EQ(sent.size(), 6);
    EXPECT_EQ(countContaining(sent, QStringLiteral("Hello list")), 3);
    EXPECT_EQ(countContaining(sent, QStringLiteral("Thanks")), 3);
    EXPECT_EQ(app->backdrop()->statusLabel()->text(), QStringLiteral("Mail Run Complete"));
    EXPECT_TRUE(control<QCheckBox>(app->runWindow(), "chkDEBUGMODE")->isChecked());
    const QStringList debug = items(list("lstdebug"));
    EXPECT_FALSE(debug.isEmpty());
    EXPECT_LE(debug.size(), 11);
    EXPECT_EQ(countContaining(debug, q(pop.password())), 0);
    // No auto-run interval: the window stays for reading, the main window is back.
    EXPECT_TRUE(app->runWindow()->isVisible() && app->mainForm()->isVisible());
    click(close());
    click(app->mainForm(), "cmdAUTORESPONDER");
    control<QListWidget>(app->autorespondersWindow(), "lstAUTORESPONDERS")->setCurrentRow(0);
    EXPECT_EQ(control<QLabel>(app->autorespondersWindow(), "lblcounter")->text(),
              QStringLiteral("3"));
}

// In the tray an IMAP mailbox offering IDLE is watched: new mail is answered long before
// the hour of the interval is up. Back from the tray, watching stops.
TEST_F(WindowRun, TrayWatchesAnImapMailboxAndAnswersNewMailAtOnce) {
    test::PopServer::Options o;
    o.tls = true;
    o.imap = true;
    test::PopServer pop(o);
    test::SmtpServer smtp;
    ::setenv("VOREL_CA_FILE", pop.caFile().c_str(), 1);
    f.pointAt(pop, smtp);
    f.settings.txtPOP = pop.imapAddress(true);
    f.settings.txtDIALUPWHEN = "3600";
    f.addAutoresponder("info@me.example");
    start();
    app->goToTray();
    ASSERT_TRUE(
        waitUntil([&] { return app->mailWatcher() && app->mailWatcher()->watching(); }, 20000));
    EXPECT_TRUE(app->backdrop()->secondsAction()->text().startsWith(
        QStringLiteral("Vorel watching for new mail (Vorel Running in ")));
    pop.addMessage(message(1));
    ASSERT_TRUE(waitUntil([&] { return smtp.received().size() == 1; }, 20000));
    EXPECT_EQ(smtp.received()[0].rcptTo.at(0), "s1@x.example");
    ASSERT_TRUE(waitUntil([&] { return !app->running(); }, 20000));
    EXPECT_EQ(pop.messageCount(), 0u);
    app->restoreFromTray();
    EXPECT_FALSE(app->mailWatcher()->watching());
    ::unsetenv("VOREL_CA_FILE");
}

}  // namespace
}  // namespace vorel
