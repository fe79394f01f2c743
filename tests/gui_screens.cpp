// Renders every window offscreen into DIR/<window>.png: the run window in the
// middle of a real run against the loopback servers (root: Dovecot).
#include <gtest/gtest.h>

#include <QApplication>
#include <QDir>
#include <QLineEdit>
#include <QListWidget>
#include <QPainter>
#include <QPixmap>
#include <QPlainTextEdit>
#include <QTabWidget>
#include <QToolButton>
#include <cstdio>
#include <string>

#include "gui/AboutWindow.h"
#include "gui/AppWindows.h"
#include "gui/AutorespondersWindow.h"
#include "gui/Backdrop.h"
#include "gui/HelpWindow.h"
#include "gui/MailingListsWindow.h"
#include "gui/MainForm.h"
#include "gui/MembersWindow.h"
#include "gui/PostWindow.h"
#include "gui/RunMailWindow.h"
#include "gui/SettingsWindow.h"
#include "gui_support.h"
#include "store/Database.h"
#include "support/TestServers.h"

using namespace vorel;

namespace {

bool save(const QPixmap& pm, const QString& dir, const char* name) {
    const QString path =
        dir + QLatin1Char('/') + QString::fromLatin1(name) + QStringLiteral(".png");
    if (!pm.save(path)) {
        std::fprintf(stderr, "cannot write %s\n", path.toLocal8Bit().constData());
        return false;
    }
    std::printf("%s\n", path.toLocal8Bit().constData());
    return true;
}

// The background window with the main window where it sits, as seen on screen.
QPixmap backdropWithMain(AppWindows& app) {
    QPixmap pm = app.backdrop()->grab();
    QPainter p(&pm);
    QWidget* main = app.mainForm();
    const QPoint at = app.backdrop()->mapFromGlobal(main->geometry().topLeft());
    p.drawPixmap(at, main->grab());
    return pm;
}

// The mailing list editor per tab, the member editor per tab, the import
// status and the post window, over a list with a few members.
bool saveListWindows(AppWindows& app, const test::GuiFolder& f, const QString& dir) {
    {
        Database db = Database::open(f.folder.file("data.mdb"));
        MailingList l;
        l.Name = "NEWSLETTER";
        l.Type = 1;
        l.onsubscribeto = "news@me.example";
        l.onsubscribesubject = "subscribe";
        l.subscribefrom = "news@me.example";
        l.subscribesubject = "Welcome to the newsletter";
        l.subscribemessage = "Dear %name%,\r\n\r\nwelcome to our newsletter.";
        l.onunsubscribeto = "news@me.example";
        l.onunsubscribesubject = "unsubscribe";
        l.unsubscribefrom = "news@me.example";
        l.unsubscribesubject = "Goodbye";
        l.unsubscribemessage = "You have left the newsletter.";
        l.sendtolistfrom = "news-post@me.example";
        l.sendtolistsubject = "post";
        l.textTOADD = "--\r\nTo leave, write to news@me.example with the subject unsubscribe.";
        db.addList(l);
        l.Name = "FRIENDS";
        db.addList(l);
        for (int i = 1; i <= 40; ++i) {
            db.addMember({0, "NEWSLETTER", "reader" + std::to_string(i) + "@x.example", ""});
        }
    }
    app.mainForm()->findChild<QToolButton*>(QStringLiteral("pctMAILINGLISTS"))->click();
    MailingListsWindow* lists = app.mailingListsWindow();
    auto* names = lists->findChild<QListWidget*>(QStringLiteral("lstMAILING"));
    names->setCurrentRow(0);
    Q_EMIT names->itemClicked(names->item(0));
    auto* tabs = lists->findChild<QTabWidget*>(QStringLiteral("SSTab1"));
    const char* tabNames[] = {"frmMAILLINGLISTS-SubscribeSettings",
                              "frmMAILLINGLISTS-UnsubscribeSettings",
                              "frmMAILLINGLISTS-MessageListSettings"};
    bool ok = true;
    for (int i = 0; i < 3; ++i) {
        tabs->setCurrentIndex(i);
        test::waitUntil([] { return false; }, 100);
        ok = save(lists->grab(), dir, tabNames[i]) && ok;
    }

    lists->findChild<QAbstractButton*>(QStringLiteral("cmdPOSTMESSAGE"))->click();
    PostWindow* post = lists->postWindow();
    post->findChild<QLineEdit*>(QStringLiteral("txtFROM"))
        ->setText(QStringLiteral("news@me.example"));
    post->findChild<QLineEdit*>(QStringLiteral("txtSUBJECT"))
        ->setText(QStringLiteral("December newsletter"));
    post->findChild<QPlainTextEdit*>(QStringLiteral("txtMESSAGE"))
        ->setPlainText(QStringLiteral("Dear %name%,\n\nhere is the news of %date%."));
    test::waitUntil([] { return false; }, 100);
    ok = save(post->grab(), dir, "frmPOSTEMAIL") && ok;
    post->close();

    lists->findChild<QAbstractButton*>(QStringLiteral("cmdVEWILIST"))->click();
    MembersWindow* members = lists->membersWindow();
    members->findChild<QAbstractButton*>(QStringLiteral("cmdMOVENEXT"))->click();
    members->findChild<QPlainTextEdit*>(QStringLiteral("txtADDEMAILS"))
        ->setPlainText(QStringLiteral("new.reader@x.example\nAnother Reader <another@x.example>"));
    auto* memberTabs = members->findChild<QTabWidget*>(QStringLiteral("SSTab1"));
    const char* memberTabNames[] = {"frmLISTVIEW-AddEmailAddresses",
                                    "frmLISTVIEW-ViewEmailAddresses"};
    for (int i = 0; i < 2; ++i) {
        memberTabs->setCurrentIndex(i);
        test::waitUntil([] { return false; }, 100);
        ok = save(members->grab(), dir, memberTabNames[i]) && ok;
    }
    ImportStatusWindow status;
    status.addLines({"Import Added ann@x.example to list NEWSLETTER",
                     "Email Addresss reader1@x.example already in list NEWSLETTER",
                     "Invalid email  NOT ADDED", "Import Added bob@x.example to list NEWSLETTER"});
    status.show();
    test::waitUntil([] { return false; }, 100);
    ok = save(status.grab(), dir, "frmIMPORTSTATUS") && ok;
    status.close();
    members->close();
    lists->close();
    test::waitUntil([&] { return app.mainForm()->isVisible(); }, 2000);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: gui_screens DIR\n", stderr);
        return 2;
    }
    QApplication qapp(argc, argv);
    const QString dir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(dir);

    test::PopServer pop;
    test::SmtpServer smtp;
    test::GuiFolder f;
    f.settings.txtPOP = pop.host() + ":" + std::to_string(pop.port());
    f.settings.txtUSERID = pop.user();
    f.settings.txtPASSWORD = pop.password();
    f.settings.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    f.settings.chkDEBUG = "1";
    f.writeSettings();
    f.addAutoresponder("info@me.example");
    {
        Autoresponder hours;
        hours.Name = "Opening hours";
        hours.To = "hours@me.example";
        hours.Subject = "When are you open?";
        hours.msgfrom = "shop@me.example";
        hours.msgsubject = "Our opening hours";
        hours.message =
            "Dear %name%,\n\nWe are open Monday to Friday, 9:00 to 17:30.\n\n"
            "Sent on %date% at %time% to %email%. ";
        hours.mailto = "sales@me.example,boss@me.example";
        hours.Counter = 42;
        Database::open(f.folder.file("data.mdb")).addAutoresponder(hours);
    }
    for (int i = 1; i <= 300; ++i) {
        const std::string n = std::to_string(i);
        pop.addMessage("From: Reader " + n + " <reader" + n + "@x.example>\nTo: info@me.example\n" +
                       "Subject: Price list please\nMessage-ID: <" + n + "@x.example>\n\nHello.\n");
    }

    AppWindows app(f.folder.path(), {});
    app.backdrop()->resize(1000, 700);
    app.start();
    test::waitUntil([] { return false; }, 200);
    bool ok = save(app.mainForm()->grab(), dir, "frmMAINFORM");
    ok = save(backdropWithMain(app), dir, "frmBACKDROP") && ok;

    app.showAbout();
    test::waitUntil([] { return false; }, 100);
    ok = save(app.aboutWindow()->grab(), dir, "frmABOUT") && ok;
    app.aboutWindow()->close();

    helpStart();
    helpLine("AUTO RESPONDERS");
    helpLine("");
    helpLine("An autoresponder answers every message whose To or Subject matches it.");
    helpLine("Merge codes such as %date%, %time% and %email% are filled in from the message.");
    helpShow();
    test::waitUntil([] { return false; }, 100);
    ok = save(app.helpWindow()->grab(), dir, "frmVORELHELP") && ok;
    app.helpWindow()->close();

    // The settings window, one picture per tab.
    f.folder.write("antispam.lst",
                   "offers@spam.example\t\t\r\n\tYou have WON!\t\r\n"
                   "\t\tundisclosed-recipients:;\r\n");
    app.showSetup();
    test::waitUntil([] { return false; }, 100);
    // The email tab with a real connection test against the loopback servers.
    auto* check =
        app.settingsWindow()->findChild<QAbstractButton*>(QStringLiteral("cmdTESTCONNECTION"));
    check->click();
    test::waitUntil([check] { return check->isEnabled(); });
    const char* tabs[] = {"frmSETUP-email", "frmSETUP-connect", "frmSETUP-system",
                          "frmSETUP-antispam"};
    for (int i = 0; i < 4; ++i) {
        app.settingsWindow()->tabs()->setCurrentIndex(i);
        test::waitUntil([] { return false; }, 50);
        ok = save(app.settingsWindow()->grab(), dir, tabs[i]) && ok;
    }
    app.settingsWindow()->close();
    app.showAutoresponders();
    AutorespondersWindow* editor = app.autorespondersWindow();
    editor->findChild<QListWidget*>(QStringLiteral("lstAUTORESPONDERS"))->setCurrentRow(1);
    auto* editorTabs = editor->findChild<QTabWidget*>(QStringLiteral("SSTab1"));
    test::waitUntil([] { return false; }, 100);
    ok = save(editor->grab(), dir, "frmAUTORESPONDERS-Message") && ok;
    editorTabs->setCurrentIndex(1);
    test::waitUntil([] { return false; }, 100);
    ok = save(editor->grab(), dir, "frmAUTORESPONDERS-Forward") && ok;
    editor->close();
    test::waitUntil([] { return false; }, 100);
    ok = saveListWindows(app, f, dir) && ok;

    // Mid-run: taken as a message shows in the log with both lists filled.
    auto* log = app.runWindow()->findChild<QListWidget*>(QStringLiteral("lstLOG"));
    auto* debug = app.runWindow()->findChild<QListWidget*>(QStringLiteral("lstdebug"));
    QPixmap run;
    QObject::connect(log->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int) {
                         const QString line = log->model()->index(first, 0).data().toString();
                         if (run.isNull() && first >= 6 && debug->count() >= 6 &&
                             line.startsWith(QStringLiteral("Testing To:"))) {
                             // The window selects the new line right after this.
                             log->setCurrentRow(first);
                             run = app.runWindow()->grab();
                         }
                     });
    app.runMailer();
    test::waitUntil([&] { return !run.isNull() || !app.running(); });
    if (run.isNull()) {
        std::fputs("the run ended before both lists filled\n", stderr);
        ok = false;
    } else {
        ok = save(run, dir, "frmRUNMAIL") && ok;
    }
    app.runWindow()->findChild<QAbstractButton*>(QStringLiteral("cmdCLOSE"))->click();
    app.runs().waitForEnd();
    return ok ? 0 : 1;
}
