// Runs from the windows against the loopback servers (and a server that
// never answers): captions, lists, stop and Debug Mode through the worker
// thread, and the event loop turning meanwhile.
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QCheckBox>
#include <QElapsedTimer>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QToolButton>
#include <memory>
#include <string>

#include "gui/AppWindows.h"
#include "gui/Backdrop.h"
#include "gui/MainForm.h"
#include "gui/MessageBox.h"
#include "gui/RunMailWindow.h"
#include "gui_support.h"
#include "support/TestServers.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::items;
using test::waitUntil;

std::string message(int i) {
    return "From: Sender " + std::to_string(i) + " <s" + std::to_string(i) +
           "@x.example>\nTo: info@me.example\nSubject: question " + std::to_string(i) +
           "\nMessage-ID: <" + std::to_string(i) + "@test>\n\nHello.\n";
}

bool anyContains(const QStringList& list, const QString& part) {
    for (const QString& s : list) {
        if (s.contains(part)) {
            return true;
        }
    }
    return false;
}

struct WindowRun : ::testing::Test {
    test::GuiFolder f;
    std::unique_ptr<AppWindows> app;
    QListWidget* log = nullptr;
    QListWidget* debug = nullptr;
    QPushButton* close = nullptr;

    WindowRun() { MessageBox::clearAnswers(); }
    ~WindowRun() override { app.reset(); }

    void pointAt(const test::PopServer& pop, const test::SmtpServer& smtp) {
        f.settings.txtPOP = pop.host() + ":" + std::to_string(pop.port());
        f.settings.txtUSERID = pop.user();
        f.settings.txtPASSWORD = pop.password();
        f.settings.txtSMTP = smtp.host() + ":" + std::to_string(smtp.port());
    }
    void start() {
        f.writeSettings();
        app = std::make_unique<AppWindows>(f.folder.path(), std::vector<std::string>{});
        app->start();
        log = control<QListWidget>(app->runWindow(), "lstLOG");
        debug = control<QListWidget>(app->runWindow(), "lstdebug");
        close = control<QPushButton>(app->runWindow(), "cmdCLOSE");
    }
    void runMailer() { click(control<QToolButton>(app->mainForm(), "Picture2")); }
    bool waitClose(int ms = 60000) {
        return waitUntil([this] { return close->text() == RunMailWindow::closeCaption(); }, ms);
    }
};

TEST_F(WindowRun, ARealRunShowsItsProgressAndEndsWithClose) {
    test::PopServer pop;
    test::SmtpServer smtp;
    pointAt(pop, smtp);
    f.settings.chkDEBUG = "1";
    f.addAutoresponder("info@me.example");
    for (int i = 1; i <= 3; ++i) {
        pop.addMessage(message(i));
    }
    start();
    // Everything that passed through the log list, which keeps only the latest.
    QStringList seen;
    QObject::connect(log->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int) {
                         seen << log->model()->index(first, 0).data().toString();
                     });
    runMailer();
    EXPECT_EQ(close->text(), RunMailWindow::stopCaption());
    EXPECT_TRUE(app->runWindow()->isVisible());
    ASSERT_TRUE(waitClose()) << items(log).join(QLatin1Char('\n')).toStdString();

    const QStringList shown = items(log);
    EXPECT_TRUE(shown.last().endsWith(QStringLiteral(" Mail Run Complete")));
    EXPECT_LE(shown.size(), 16);
    EXPECT_TRUE(anyContains(
        seen,
        QStringLiteral("Testing To: info@me.example From: s3@x.example Subject: question 3")));
    EXPECT_EQ(smtp.received().size(), 3u);
    EXPECT_EQ(pop.messageCount(), 0u);
    EXPECT_EQ(app->backdrop()->statusLabel()->text(), QStringLiteral("Mail Run Complete"));
    EXPECT_TRUE(control<QCheckBox>(app->runWindow(), "chkDEBUGMODE")->isChecked());
    EXPECT_FALSE(items(debug).isEmpty());
    EXPECT_LE(debug->count(), 11);
    EXPECT_FALSE(anyContains(items(debug), QString::fromStdString(pop.password())));
    // No auto-run interval: the window stays for reading, the main window is back.
    EXPECT_TRUE(app->runWindow()->isVisible());
    EXPECT_TRUE(app->mainForm()->isVisible());
    EXPECT_FALSE(control<QPushButton>(app->runWindow(), "cmdDISCONNET")->isVisible());
}

// "&Stop Mailer" after the first message: the message at hand is finished,
// nothing is sent. "Debug Mode" cleared first leaves its one line.
TEST_F(WindowRun, StopAndDebugModeReachTheRunThroughItsYields) {
    test::PopServer pop;
    test::SmtpServer smtp;
    pointAt(pop, smtp);
    f.settings.chkDEBUG = "1";
    f.addAutoresponder("info@me.example");
    // Enough mail that the run is still reading when the stop arrives.
    for (int i = 1; i <= 400; ++i) {
        pop.addMessage(message(i));
    }
    start();
    // The user's clicks as soon as the first message shows in the list.
    bool clicked = false;
    QObject::connect(log->model(), &QAbstractItemModel::rowsInserted,
                     [&](const QModelIndex&, int first, int) {
                         if (!clicked && log->model()->index(first, 0).data().toString().startsWith(
                                             QStringLiteral("Testing To:"))) {
                             clicked = true;
                             click(control<QCheckBox>(app->runWindow(), "chkDEBUGMODE"));
                             click(close);
                             EXPECT_EQ(close->text(), RunMailWindow::cancellingCaption());
                         }
                     });
    runMailer();
    ASSERT_TRUE(waitClose());
    EXPECT_TRUE(items(log).contains(QStringLiteral("Mail Run Cancelled by User")));
    EXPECT_EQ(items(debug), QStringList{QStringLiteral("Debugging Switched Off")});
    EXPECT_TRUE(smtp.received().empty());
    EXPECT_GT(pop.messageCount(), 300u);
}

// A server that accepts and never greets: the run waits for its time-out
// on the worker while the window thread keeps turning; a stop is taken at
// the next yield and the run ends without a second try.
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
    runMailer();
    ASSERT_TRUE(waitUntil([this] {
        return app->backdrop()->statusLabel()->text() == QStringLiteral("Connecting to POP server");
    }));
    QElapsedTimer stalled;
    stalled.start();
    waitUntil([] { return false; }, 1000);
    EXPECT_GE(fired, 20) << "the event loop stood still";
    click(close);
    EXPECT_EQ(close->text(), RunMailWindow::cancellingCaption());
    ASSERT_TRUE(waitClose(15000));
    EXPECT_EQ(items(log).count(QStringLiteral("Mail Run Cancelled by User")), 0);
    EXPECT_FALSE(anyContains(items(log), QStringLiteral("Try 2 of 10")));
    EXPECT_TRUE(items(log).last().endsWith(QStringLiteral(" Mail Run Complete")));
    ::close(listener);
}

}  // namespace
}  // namespace vorel
