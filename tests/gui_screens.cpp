// Renders every window offscreen into DIR/<window>.png: the run window in the
// middle of a real run against the loopback servers (root: Dovecot).
#include <QApplication>
#include <QComboBox>
#include <QDir>
#include <QPainter>
#include <QTabWidget>
#include <QTreeWidget>
#include <cstdio>
#include <ctime>

#include "gui/AboutWindow.h"
#include "gui/AutorespondersWindow.h"
#include "gui/CountdownWindow.h"
#include "gui/HelpWindow.h"
#include "gui/MailingListsWindow.h"
#include "gui/MembersWindow.h"
#include "gui/PostWindow.h"
#include "gui/SettingsWindow.h"
#include "gui/Shell.h"
#include "gui_support.h"
#include "support/TestServers.h"

using namespace vorel;
using test::control;

namespace {

QString gDir;
bool gOk = true;
// "-dark" while the windows are drawn with a dark palette.
QString gSuffix;

void save(const QPixmap& pm, const char* name) {
    const QString path = QStringLiteral("%1/%2%3.png").arg(gDir, QLatin1String(name), gSuffix);
    const bool saved = pm.save(path);
    std::fprintf(saved ? stdout : stderr, "%s%s\n", saved ? "" : "cannot write ",
                 path.toLocal8Bit().constData());
    gOk = gOk && saved;
}

// One picture of `w` per tab of its SSTab1 (or one picture without tabs).
void shoot(QWidget* w, std::initializer_list<const char*> names) {
    auto* tabs = w->findChild<QTabWidget*>(QStringLiteral("SSTab1"));
    int i = 0;
    for (const char* name : names) {
        if (tabs) {
            tabs->setCurrentIndex(i++);
        }
        test::pause(100);
        save(w->grab(), name);
    }
}

// One tab of SSTab1.
void shootTab(QWidget* w, int index, const char* name) {
    w->findChild<QTabWidget*>(QStringLiteral("SSTab1"))->setCurrentIndex(index);
    test::pause(100);
    save(w->grab(), name);
}

// A dark desktop palette, as a dark theme sets it.
QPalette darkPalette() {
    QPalette p;
    const QColor window(0x2b, 0x2b, 0x2b), base(0x1e, 0x1e, 0x1e), text(0xe6, 0xe6, 0xe6);
    p.setColor(QPalette::Window, window);
    p.setColor(QPalette::WindowText, text);
    p.setColor(QPalette::Base, base);
    p.setColor(QPalette::AlternateBase, window);
    p.setColor(QPalette::Text, text);
    p.setColor(QPalette::Button, QColor(0x35, 0x35, 0x35));
    p.setColor(QPalette::ButtonText, text);
    p.setColor(QPalette::ToolTipBase, base);
    p.setColor(QPalette::ToolTipText, text);
    p.setColor(QPalette::Highlight, QColor(0x3d, 0x7a, 0xd6));
    p.setColor(QPalette::HighlightedText, Qt::white);
    p.setColor(QPalette::Light, QColor(0x50, 0x50, 0x50));
    p.setColor(QPalette::Midlight, QColor(0x40, 0x40, 0x40));
    p.setColor(QPalette::Mid, QColor(0x30, 0x30, 0x30));
    p.setColor(QPalette::Dark, QColor(0x18, 0x18, 0x18));
    p.setColor(QPalette::Shadow, Qt::black);
    p.setColor(QPalette::Link, QColor(0x6c, 0xa8, 0xff));
    p.setColor(QPalette::PlaceholderText, QColor(0x90, 0x90, 0x90));
    for (auto role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        p.setColor(QPalette::Disabled, role, QColor(0x80, 0x80, 0x80));
    }
    return p;
}

// Every window but the run window, as a user opens them.
void shootWindows(AppWindows& app, bool testConnection) {
    shoot(app.mainForm(), {"frmMAINFORM"});
    // The background window with the main window where it sits.
    QPixmap backdrop = app.backdrop()->grab();
    const QPoint at = app.backdrop()->mapFromGlobal(app.mainForm()->geometry().topLeft());
    QPainter(&backdrop).drawPixmap(at, app.mainForm()->grab());
    save(backdrop, "frmBACKDROP");
    app.showAbout();
    shoot(app.aboutWindow(), {"frmABOUT"});
    app.aboutWindow()->close();
    helpStart();
    helpLine("Merge codes such as %date% are filled in.");
    helpShow();
    shoot(app.helpWindow(), {"frmVORELHELP"});
    app.helpWindow()->close();
    app.showSetup();
    if (testConnection) {
        // A real connection test against the loopback servers on the email tab.
        auto* check = control<QAbstractButton>(app.settingsWindow(), "cmdTESTCONNECTION");
        check->click();
        test::waitUntil([check] { return check->isEnabled(); });
    }
    shoot(app.settingsWindow(), {"frmSETUP-email", "frmSETUP-connect", "frmSETUP-system",
                                 "frmSETUP-antispam", "frmSETUP-signin"});
    // The sign-in methods: Microsoft, and a custom provider waiting on a
    // browser that never opened (its address shown with Copy and Cancel).
    auto* method = control<QComboBox>(app.settingsWindow(), "cmbLOGINMETHOD");
    method->setCurrentIndex(1);
    shootTab(app.settingsWindow(), 4, "frmSETUP-signin-microsoft");
    method->setCurrentIndex(2);
    control<QLineEdit>(app.settingsWindow(), "txtCLIENTID")->setText(QStringLiteral("my-client"));
    control<QLineEdit>(app.settingsWindow(), "txtAUTHORIZEURL")
        ->setText(QStringLiteral("https://login.example/authorize"));
    control<QLineEdit>(app.settingsWindow(), "txtTOKENURL")
        ->setText(QStringLiteral("https://login.example/token"));
    setUrlOpener([](const QUrl&) { return false; });
    control<QAbstractButton>(app.settingsWindow(), "cmdSIGNIN")->click();
    test::waitUntil(
        [&] { return control<QWidget>(app.settingsWindow(), "txtSIGNINURL")->isVisible(); }, 5000);
    shootTab(app.settingsWindow(), 4, "frmSETUP-signin-custom");
    control<QAbstractButton>(app.settingsWindow(), "cmdCANCELSIGNIN")->click();
    test::waitUntil(
        [&] { return control<QWidget>(app.settingsWindow(), "cmdSIGNIN")->isEnabled(); }, 5000);
    setUrlOpener({});
    MessageBox::setNextAnswer(MessageBox::Discard);
    app.settingsWindow()->close();
    app.showAutoresponders();
    control<QListWidget>(app.autorespondersWindow(), "lstAUTORESPONDERS")->setCurrentRow(0);
    shoot(app.autorespondersWindow(), {"frmAUTORESPONDERS-Message", "frmAUTORESPONDERS-Forward"});
    app.autorespondersWindow()->close();
    test::pause(100);
    app.showMailingLists();
    MailingListsWindow* lists = app.mailingListsWindow();
    control<QListWidget>(lists, "lstMAILING")->setCurrentRow(0);
    shoot(lists, {"frmMAILLINGLISTS-SubscribeSettings", "frmMAILLINGLISTS-UnsubscribeSettings",
                  "frmMAILLINGLISTS-MessageListSettings", "frmMAILLINGLISTS-Posts"});
    control<QAbstractButton>(lists, "cmdPOSTMESSAGE")->click();
    PostWindow* post = lists->postWindow();
    control<QLineEdit>(post, "txtFROM")->setText(QStringLiteral("news@me.example"));
    control<QPlainTextEdit>(post, "txtMESSAGE")->setPlainText(QStringLiteral("Dear %name%, news."));
    shoot(post, {"frmPOSTEMAIL"});
    MessageBox::setNextAnswer(MessageBox::Yes);  // the typed message may go
    post->close();
    control<QAbstractButton>(lists, "cmdVEWILIST")->click();
    MembersWindow* members = lists->membersWindow();
    control<QAbstractButton>(members, "cmdMOVENEXT")->click();
    control<QPlainTextEdit>(members, "txtADDEMAILS")
        ->setPlainText(QStringLiteral("new.reader@x.example\nAnother Reader <another@x.example>"));
    shoot(members, {"frmLISTVIEW-AddEmailAddresses", "frmLISTVIEW-ViewEmailAddresses"});
    // The held member shown alone; a chosen request.
    control<QAbstractButton>(members, "chkONLYHELD")->click();
    shootTab(members, 1, "frmLISTVIEW-HeldMembers");
    control<QAbstractButton>(members, "chkONLYHELD")->click();
    auto* pending = control<QTreeWidget>(members, "lstPENDING");
    pending->setCurrentItem(pending->topLevelItem(1));
    shootTab(members, 2, "frmLISTVIEW-PendingRequests");
    ImportStatusWindow status;
    status.addLines({"Import Added ann@x.example to list NEWSLETTER",
                     "Email Addresss reader1@x.example already in list NEWSLETTER",
                     "Invalid email  NOT ADDED"});
    status.show();
    shoot(&status, {"frmIMPORTSTATUS"});
    status.close();
    members->close();
    lists->close();
    test::waitUntil([&] { return app.mainForm()->isVisible(); }, 2000);
    // The tray's stand-in where there is no tray (offscreen has none).
    app.goToTray();
    shoot(app.countdownWindow(), {"frmCOUNTDOWN"});
    app.restoreFromTray();
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fputs("usage: gui_screens DIR\n", stderr);
        return 2;
    }
    QApplication qapp(argc, argv);
    gDir = QString::fromLocal8Bit(argv[1]);
    QDir().mkpath(gDir);
    test::PopServer pop;
    test::SmtpServer smtp;
    test::GuiFolder f;
    f.pointAt(pop, smtp);
    f.settings.chkDEBUG = "1";
    f.settings.txtDIALUPWHEN = "300";
    f.writeSettings();
    f.folder.write("antispam.lst", "offers@spam.example\t\t\r\n\tYou have WON!\t\r\n");
    f.addAutoresponder("info@me.example");
    Autoresponder away;  // a holiday notice whose period is over: the list marks it
    away.Name = "HOLIDAY";
    away.To = "sales@me.example";
    away.message = "I am away until the 10th.";
    away.activefrom = "2026-01-02 08:00:00";
    away.activeuntil = "2026-01-10 08:00:00";
    away.replydays = 4;
    f.db().addAutoresponder(away);
    MailingList l;
    l.Name = "NEWSLETTER";
    l.onsubscribeto = l.subscribefrom = l.onunsubscribeto = "news@me.example";
    l.onsubscribesubject = "subscribe";
    l.subscribesubject = "Welcome to the newsletter";
    l.subscribemessage = "Dear %name%,\r\n\r\nwelcome to our newsletter.";
    l.textTOADD = "--\r\nTo leave, write to news@me.example with the subject unsubscribe.";
    f.db().addList(l);
    for (int i = 1; i <= 40; ++i) {
        f.db().addMember({0, "NEWSLETTER", "reader" + std::to_string(i) + "@x.example", ""});
    }
    const std::int64_t today = std::time(nullptr) / 86400;
    for (std::int64_t day = today - 2; day <= today; ++day) {
        f.db().recordBounce("reader7@x.example", "NEWSLETTER", day);
    }
    for (int i = 1; i <= 3; ++i) {
        f.db().addPending({0, "NEWSLETTER", "asker" + std::to_string(i) + "@x.example", "",
                           "t" + std::to_string(i), std::time(nullptr) - i * 3600});
    }
    for (int i = 1; i <= 300; ++i) {
        const std::string n = std::to_string(i);
        pop.addMessage("From: Reader " + n + " <reader" + n + "@x.example>\nTo: info@me.example\n" +
                       "Subject: Price list please\nMessage-ID: <" + n + "@x.example>\n\nHello.\n");
    }
    AppWindows app(f.folder.path(), {});
    app.backdrop()->resize(1000, 700);
    app.start();
    shootWindows(app, true);
    // Mid-run: taken as a message shows in the log with both lists filled.
    auto* log = control<QListWidget>(app.runWindow(), "lstLOG");
    auto* debug = control<QListWidget>(app.runWindow(), "lstdebug");
    QPixmap run;
    QObject::connect(log->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int) {
                         if (run.isNull() && first >= 6 && debug->count() >= 6 &&
                             log->model()->index(first, 0).data().toString().startsWith(
                                 QStringLiteral("Testing To:"))) {
                             // The window selects the new line right after this.
                             log->setCurrentRow(first);
                             run = app.runWindow()->grab();
                         }
                     });
    app.runMailer();
    test::waitUntil([&] { return !run.isNull() || !app.running(); });
    if (run.isNull()) {
        std::fputs("the run ended before both lists filled\n", stderr);
        return 1;
    }
    save(run, "frmRUNMAIL");
    control<QAbstractButton>(app.runWindow(), "cmdCLOSE")->click();
    app.runs().waitForEnd();
    // Once more with a dark palette: every icon and colour must still show.
    QApplication::setPalette(darkPalette());
    gSuffix = QStringLiteral("-dark");
    test::pause(100);
    shootWindows(app, false);
    app.runWindow()->show();
    shoot(app.runWindow(), {"frmRUNMAIL"});
    return gOk ? 0 : 1;
}
