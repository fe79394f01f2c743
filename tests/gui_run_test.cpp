// Runs from the windows against the loopback servers (and a server that
// never answers): what the editors made goes out, the run window's captions
// and lists, stop and Debug Mode through the worker thread.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>

#include "gui/AutorespondersWindow.h"
#include "gui/Backdrop.h"
#include "gui/MailingListsWindow.h"
#include "gui/MainForm.h"
#include "gui/PostWindow.h"
#include "gui/RunMailWindow.h"
#include "gui_support.h"
#include "store/Database.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::waitUntil;

std::string message(int i) {
    const std::string n = std::to_string(i);
    return "From: Sender " + n + " <s" + n + "@x.example>\nTo: info@me.example\nSubject: question " +
           n + "\nMessage-ID: <" + n + "@test>\n\nHello.\n";
}

int countContaining(const QStringList& list, const QString& part) {
    return static_cast<int>(list.filter(part).size());
}

struct WindowRun : test::AppTest {
    QListWidget* list(const char* name) { return control<QListWidget>(app->runWindow(), name); }
    QPushButton* close() { return control<QPushButton>(app->runWindow(), "cmdCLOSE"); }
    bool waitClose(int ms = 60000) {
        return waitUntil([this] { return close()->text() == RunMailWindow::closeCaption(); }, ms);
    }
};

// An autoresponder and a list post typed into their windows go out in one
// real run; the run window shows its progress and stays for reading.
TEST_F(WindowRun, WhatTheEditorsMadeGoesOutInARealRun) {
    test::PopServer pop;
    test::SmtpServer smtp;
    f.pointAt(pop, smtp);
    f.settings.chkDEBUG = "1";
    {
        Database db = Database::open(f.folder.file("data.mdb"));
        MailingList l;
        l.Name = "NEWS";
        db.addList(l);
        for (const char* a : {"a@x.example", "b@x.example", "c@x.example"}) {
            db.addMember({0, "NEWS", a, ""});
        }
    }
    for (int i = 1; i <= 3; ++i) {
        pop.addMessage(message(i));
    }
    start();
    MessageBox::setStandingAnswer(MessageBox::Yes);
    click(app->mainForm(), "cmdAUTORESPONDER");
    QWidget* editor = app->autorespondersWindow();
    for (auto [name, text] : {std::pair{"txtNAME", "Info"}, {"txtTO", "info@me.example"},
                              {"txtFROM", "shop@me.example"}, {"txtFROMSUBJECT", "Prices"}}) {
        control<QLineEdit>(editor, name)->setText(QString::fromLatin1(text));
    }
    control<QPlainTextEdit>(editor, "txtMESSAGE")->setPlainText(QStringLiteral("Dear %email%."));
    click(editor, "cmdSAVE");
    click(editor, "cmdCLOSE");
    click(app->mainForm(), "pctMAILINGLISTS");
    MailingListsWindow* lists = app->mailingListsWindow();
    auto* names = control<QListWidget>(lists, "lstMAILING");
    Q_EMIT names->itemClicked(names->item(0));
    click(lists, "cmdPOSTMESSAGE");
    PostWindow* post = lists->postWindow();
    control<QLineEdit>(post, "txtFROM")->setText(QStringLiteral("me@x.example"));
    control<QLineEdit>(post, "txtSUBJECT")->setText(QStringLiteral("Hello"));
    control<QPlainTextEdit>(post, "txtMESSAGE")->setPlainText(QStringLiteral("Hello list"));
    click(post, "cmdPOST");
    click(lists, "cmdCLOSE");
    ASSERT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));

    // Everything that passed through the log list, which keeps only the latest.
    QStringList seen;
    QObject::connect(list("lstLOG")->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int) {
                         seen << list("lstLOG")->model()->index(first, 0).data().toString();
                     });
    click(app->mainForm(), "Picture2");
    EXPECT_EQ(close()->text(), RunMailWindow::stopCaption());
    EXPECT_TRUE(app->runWindow()->isVisible());
    ASSERT_TRUE(waitClose()) << seen.join(QLatin1Char('\n')).toStdString();

    const QStringList shown = items(list("lstLOG"));
    EXPECT_TRUE(shown.last().endsWith(QStringLiteral(" Mail Run Complete")));
    EXPECT_LE(shown.size(), 16);
    EXPECT_EQ(countContaining(seen, QStringLiteral("Testing To: info@me.example From: s3@x.example "
                                                   "Subject: question 3")),
              1);
    EXPECT_EQ(pop.messageCount(), 0u);
    QStringList sent;
    for (const auto& m : smtp.received()) {
        sent << QString::fromStdString(m.rcptTo.at(0) + " " + m.data);
    }
    ASSERT_EQ(sent.size(), 6);
    EXPECT_TRUE(sent[0].startsWith(QStringLiteral("a@x.example")));
    EXPECT_EQ(countContaining(sent, QStringLiteral("Hello list")), 3);
    EXPECT_EQ(countContaining(sent, QStringLiteral("List-Id:")), 3);
    EXPECT_EQ(countContaining(sent, QStringLiteral("Dear s2@x.example.")), 1);
    EXPECT_EQ(app->backdrop()->statusLabel()->text(), QStringLiteral("Mail Run Complete"));
    EXPECT_TRUE(control<QCheckBox>(app->runWindow(), "chkDEBUGMODE")->isChecked());
    const QStringList debug = items(list("lstdebug"));
    EXPECT_FALSE(debug.isEmpty());
    EXPECT_LE(debug.size(), 11);
    EXPECT_EQ(countContaining(debug, QString::fromStdString(pop.password())), 0);
    // No auto-run interval: the window stays for reading, the main window is back.
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_TRUE(app->mainForm()->isVisible());
    EXPECT_FALSE(control<QPushButton>(app->runWindow(), "cmdDISCONNET")->isVisible());
    click(close());
    click(app->mainForm(), "cmdAUTORESPONDER");
    control<QListWidget>(app->autorespondersWindow(), "lstAUTORESPONDERS")->setCurrentRow(0);
    EXPECT_EQ(control<QLabel>(app->autorespondersWindow(), "lblcounter")->text(),
              QStringLiteral("3"));
}

// "&Stop Mailer" after the first message: the message at hand is finished,
// nothing is sent. "Debug Mode" cleared first leaves its one line.
TEST_F(WindowRun, StopAndDebugModeReachTheRunThroughItsYields) {
    test::PopServer pop;
    test::SmtpServer smtp;
    f.pointAt(pop, smtp);
    f.settings.chkDEBUG = "1";
    f.addAutoresponder("info@me.example");
    // Enough mail that the run is still reading when the stop arrives.
    for (int i = 1; i <= 400; ++i) {
        pop.addMessage(message(i));
    }
    start();
    bool clicked = false;
    QObject::connect(list("lstLOG")->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex& parent, int first, int) {
                         if (!clicked && list("lstLOG")
                                             ->model()
                                             ->index(first, 0, parent)
                                             .data()
                                             .toString()
                                             .startsWith(QStringLiteral("Testing To:"))) {
                             clicked = true;
                             click(app->runWindow(), "chkDEBUGMODE");
                             click(close());
                             EXPECT_EQ(close()->text(), RunMailWindow::cancellingCaption());
                         }
                     });
    click(app->mainForm(), "Picture2");
    ASSERT_TRUE(waitClose());
    EXPECT_TRUE(items(list("lstLOG")).contains(QStringLiteral("Mail Run Cancelled by User")));
    EXPECT_EQ(items(list("lstdebug")), QStringList{QStringLiteral("Debugging Switched Off")});
    EXPECT_TRUE(smtp.received().empty());
    EXPECT_GT(pop.messageCount(), 300u);
}

// A server that accepts and never greets: the run waits on the worker while
// the window thread keeps turning; the stop is taken at the next yield and
// the run ends without a second try.
TEST_F(WindowRun, TheWindowsStayLiveWhileAServerStalls) {
    int listener = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(::bind(listener, reinterpret_cast<sockaddr*>(&a), sizeof a), 0);
    ASSERT_EQ(::listen(listener, 4), 0);
    socklen_t len = sizeof a;
    ::getsockname(listener, reinterpret_cast<sockaddr*>(&a), &len);
    f.settings.txtPOP = "127.0.0.1:" + std::to_string(ntohs(a.sin_port));
    f.settings.txtSMTP = "127.0.0.1:1";
    f.settings.txtTIMEOUT = "3";
    start();
    int fired = 0;
    QTimer beat;
    QObject::connect(&beat, &QTimer::timeout, [&] { ++fired; });
    beat.start(20);
    click(app->mainForm(), "Picture2");
    ASSERT_TRUE(waitUntil([this] {
        return app->backdrop()->statusLabel()->text() == QStringLiteral("Connecting to POP server");
    }));
    test::pause(1000);
    EXPECT_GE(fired, 20) << "the event loop stood still";
    click(close());
    EXPECT_EQ(close()->text(), RunMailWindow::cancellingCaption());
    ASSERT_TRUE(waitClose(15000));
    const QStringList log = items(list("lstLOG"));
    EXPECT_EQ(countContaining(log, QStringLiteral("Try 2 of 10")), 0);
    EXPECT_FALSE(log.contains(QStringLiteral("Mail Run Cancelled by User")));
    EXPECT_TRUE(log.last().endsWith(QStringLiteral(" Mail Run Complete")));
    ::close(listener);
}

}  // namespace
}  // namespace vorel
