#include "gui/AppWindows.h"

#include <QApplication>
#include <QLabel>
#include <QTimer>
#include <csignal>
#include <memory>
#include <optional>

#include "forms/ConnectionCheck.h"
#include "forms/FolderStatus.h"
#include "forms/Notices.h"
#include "forms/StartUp.h"
#include "gui/AboutWindow.h"
#include "gui/AutorespondersWindow.h"
#include "gui/Backdrop.h"
#include "gui/CountdownWindow.h"
#include "gui/HelpWindow.h"
#include "gui/MailWatcher.h"
#include "gui/MailingListsWindow.h"
#include "gui/MainForm.h"
#include "gui/MessageBox.h"
#include "gui/RunMailWindow.h"
#include "gui/SettingsWindow.h"
#include "gui/Shell.h"
#include "gui/Widgets.h"
#include "gui/WindowRunHost.h"
#include "net/DesktopNotifier.h"
#include "run/DialUpEntries.h"
#include "store/AppFolder.h"
#include "store/Database.h"
#include "store/Settings.h"

namespace vorel {

namespace {

AppWindows* gInstance = nullptr;
const QString kNoAutoRun =
    QStringLiteral("No auto-run: set its interval under Set Up System, Connect Settings");
volatile std::sig_atomic_t gEndRequested = 0;

extern "C" void onEndSignal(int) {
    gEndRequested = 1;
}

// SIGTERM (a desktop session ending) and SIGINT end the program the way the
// background window's close does: a run at hand stops after its item, instead
// of dying half-way through rewriting the queue. The handler only sets a
// flag; the window thread looks at it five times a second.
void endOnSignals(AppWindows& windows, QObject* owner) {
    auto* watch = new QTimer(owner);
    QObject::connect(watch, &QTimer::timeout, owner, [&windows, watch] {
        if (gEndRequested) {
            watch->stop();
            windows.backdrop()->close();
        }
    });
    watch->start(200);
    struct sigaction sa {};
    sa.sa_handler = onEndSignal;
    sigemptyset(&sa.sa_mask);
    sa.sa_flags = SA_RESTART;
    sigaction(SIGTERM, &sa, nullptr);
    sigaction(SIGINT, &sa, nullptr);
}

}  // namespace

AppWindows::AppWindows(std::string folder, std::vector<std::string> args)
    : folder_(std::move(folder)), args_(std::move(args)) {
    gInstance = this;
    backdrop_ = std::make_unique<Backdrop>();
    main_ = new MainForm(backdrop_.get());
    runWindow_ = new RunMailWindow(requests_, backdrop_.get());
    host_ = std::make_unique<WindowRunHost>(requests_, runWindow_, backdrop_->statusLabel());
    runs_ = std::make_unique<RunController>(folder_, *host_);
    notifier_ = std::make_unique<DesktopNotifier>(
        [this](const std::string& cause) { noticeClicked(cause); });

    connect(backdrop_->timer(), &QTimer::timeout, this, &AppWindows::timer1Tick);
    connect(backdrop_.get(), &Backdrop::closing, this, &AppWindows::quit);
    // On X11 a double click also reports the click before it: once is enough.
    connect(backdrop_.get(), &Backdrop::trayRestoreAsked, this, [this] {
        if (trayMode_) {
            restoreFromTray();
        }
    });
    connect(backdrop_.get(), &Backdrop::trayExitAsked, this, &AppWindows::exitSystem);
    connect(backdrop_.get(), &Backdrop::restored, this, [this] {
        if (trayMode_) {
            restoreFromTray();
        }
    });
    connect(backdrop_.get(), &Backdrop::resized, this, [this] {
        if (main_->isVisible()) {
            centreInBackdrop(main_);
        }
    });
    connect(main_, &MainForm::setupClicked, this, &AppWindows::showSetup);
    connect(main_, &MainForm::runMailerClicked, this, &AppWindows::runMailer);
    connect(main_, &MainForm::mailingListsClicked, this, &AppWindows::showMailingLists);
    connect(main_, &MainForm::aboutPressed, this, &AppWindows::showAbout);
    connect(main_, &MainForm::autorespondersClicked, this, &AppWindows::showAutoresponders);
    connect(main_, &MainForm::exitClicked, this, &AppWindows::exitSystem);
    connect(main_, &MainForm::taskbarClicked, this, &AppWindows::goToTray);
    connect(main_, &MainForm::webSiteDoubleClicked, this,
            [] { openWithShell(QString::fromLatin1(kWebSite)); });
    connect(runWindow_, &RunMailWindow::closed, this, [this] {
        if (!trayMode_) {
            showMainAfterRun();
        }
    });
    connect(runs_.get(), &RunController::finished, this, &AppWindows::endRun);
}

AppWindows::~AppWindows() {
    watcher_.reset();  // its worker ends at the next slice
    // The run may still call into the windows: let it end first.
    host_->closing();
    runs_->waitForEnd();
    runs_.reset();
    host_.reset();
    countdownWindow_.reset();
    backdrop_.reset();
    gInstance = nullptr;
}

AppWindows* AppWindows::instance() {
    return gInstance;
}

HelpWindow* AppWindows::helpWindow() const {
    return helpWindow_.data();
}

AboutWindow* AppWindows::aboutWindow() const {
    return about_.data();
}

AutorespondersWindow* AppWindows::autorespondersWindow() const {
    return autoresponders_.data();
}

MailingListsWindow* AppWindows::mailingListsWindow() const {
    return lists_.data();
}

void AppWindows::showMailingLists() {
    if (!lists_) {
        lists_ = new MailingListsWindow(folder_, backdrop_.get());
        connect(lists_, &MailingListsWindow::closed, this, [this] {
            if (!quitting_) {
                loadMainForm(false);
            }
        });
    }
    // The editor shows before the main window goes, so the focus moves
    // straight to it rather than to the background window first.
    lists_->show();
    lists_->raise();
    lists_->activateWindow();
    centreInBackdrop(lists_);
    main_->hide();
}

void AppWindows::start() {
    backdrop_->show();
    // Errors of the upgrade are ignored by the upgrade itself.
    Database::upgradeSchema(databasePath(folder_));
    trayMode_ = false;
    loadMainForm(false);
    if (asksForTray(args_)) {
        goToTray();
    }
}

void AppWindows::loadMainForm(bool afterRun) {
    main_->show();
    main_->raise();
    centreInBackdrop(main_);
    // On first start the window manager places the background window after
    // this: centre again once it has.
    QTimer::singleShot(50, main_, [this] {
        if (main_->isVisible()) {
            centreInBackdrop(main_);
        }
    });
    QCoreApplication::processEvents();
    main_->setVersionText(QString::fromStdString(
        versionLabel(VOREL_VERSION_MAJOR, VOREL_VERSION_MINOR, VOREL_VERSION_PATCH)));
    countdown_.setInterval(readAutoRunInterval(folder_, countdown_.interval()));
    if (countdown_.interval() > 0) {
        if (!backdrop_->timer()->isActive() && !runs_->busy()) {
            backdrop_->timer()->start(tickMs_);
        }
    } else {
        backdrop_->timer()->stop();
    }
    // Showing the main window at the end of a run is not a return from an
    // editor: "-R" would otherwise start runs without end.
    if (!afterRun && asksForRun(args_)) {
        runMailer();
    }
}

void AppWindows::runMailer() {
    if (runs_->busy()) {
        return;
    }
    timerWasRunning_ = backdrop_->timer()->isActive();
    backdrop_->timer()->stop();
    beginRun(false);
}

void AppWindows::beginRun(bool fromCountdown) {
    runFromCountdown_ = fromCountdown;
    runWindow_->runStarted();
    // The run window takes the main window's place while the run goes on.
    main_->hide();
    if (!trayMode_) {
        runWindow_->show();
        runWindow_->raise();
        centreInBackdrop(runWindow_);
    } else if (countdownWindow_) {
        countdownWindow_->setCountdownText(QStringLiteral("Vorel is running the mailer"));
    }
    runs_->start();
}

void AppWindows::endRun() {
    runWindow_->runEnded(runs_->lastOutcome());
    afterRun(folder_, std::nullopt, notifier_.get());
    // The run's last word stays a moment, then the line says Vorel is idle.
    const int run = ++runsEnded_;
    QTimer::singleShot(kLastWordMs, this, [this, run] {
        if (run == runsEnded_ && !runs_->busy()) {
            backdrop_->statusLabel()->setText(QStringLiteral("Vorel is inactive"));
        }
    });
    if (runFromCountdown_) {
        backdrop_->timer()->start(tickMs_);
        if (newMailWaiting_ && trayMode_) {
            newMailWaiting_ = false;
            QTimer::singleShot(0, this, &AppWindows::newMailArrived);
        }
    } else {
        if (timerWasRunning_) {
            backdrop_->timer()->start(tickMs_);
        }
        if (!trayMode_) {
            showMainAfterRun();
        }
    }
    if (runWindow_->isVisible()) {
        runWindow_->raise();
    }
}

void AppWindows::showMainAfterRun() {
    if (!main_->isVisible() && !quitting_) {
        loadMainForm(true);
    }
}

void AppWindows::showCountdownCaption(const std::string& caption) {
    const std::string shown = watcher_ && watcher_->watching() && trayMode_
                                  ? Countdown::watchingCaption(caption)
                                  : caption;
    backdrop_->secondsAction()->setText(QString::fromStdString(shown));
    backdrop_->setTrayWatching(watcher_ && watcher_->watching() && trayMode_);
    if (trayMode_ && countdownWindow_) {
        countdownWindow_->setCountdownText(QString::fromStdString(shown));
    }
}

void AppWindows::newMailArrived() {
    if (!trayMode_) {
        return;
    }
    if (runs_->busy()) {
        // The run at hand may have looked before this mail came.
        newMailWaiting_ = true;
        return;
    }
    backdrop_->timer()->stop();
    countdown_.restart();
    beginRun(true);
}

void AppWindows::timer1Tick() {
    const Countdown::Tick t = countdown_.tick(trayMode_);
    showCountdownCaption(t.menuCaption);
    if (!t.status.empty()) {
        backdrop_->statusLabel()->setText(QString::fromStdString(t.status));
        backdrop_->statusLabel()->repaint();
    }
    if (t.startRun && !runs_->busy()) {
        backdrop_->timer()->stop();
        beginRun(true);
    }
}

void AppWindows::goToTray() {
    trayMode_ = true;
    const bool tray = backdrop_->showTrayIcon();
    QCoreApplication::processEvents();
    for (QWidget* w : {static_cast<QWidget*>(main_), static_cast<QWidget*>(runWindow_)}) {
        w->hide();
    }
    if (about_) {
        about_->hide();
    }
    if (helpWindow_) {
        helpWindow_->hide();
    }
    backdrop_->hide();
    // The menu shows the countdown from the start, not at the first tick.
    if (countdown_.interval() > 0) {
        showCountdownCaption(countdown_.caption());
    } else {
        backdrop_->secondsAction()->setText(kNoAutoRun);
    }
    // Without a tray there would be no way back from a hidden window: a small
    // window with the countdown takes the icon's place.
    if (!tray) {
        showCountdownWindow();
    }
    // With the auto-run on, an IMAP mailbox that offers IDLE starts a run as
    // its mail comes; the countdown stays the longest time between runs.
    if (countdown_.interval() > 0) {
        if (!watcher_) {
            watcher_ = std::make_unique<MailWatcher>(folder_);
            connect(watcher_.get(), &MailWatcher::newMail, this, &AppWindows::newMailArrived);
            connect(watcher_.get(), &MailWatcher::watchingChanged, this,
                    [this] { showCountdownCaption(countdown_.caption()); });
        }
        watcher_->start();
    }
    QCoreApplication::processEvents();
}

void AppWindows::showCountdownWindow() {
    if (!countdownWindow_) {
        countdownWindow_ = std::make_unique<CountdownWindow>();
        connect(countdownWindow_.get(), &CountdownWindow::restoreRequested, this,
                &AppWindows::restoreFromTray);
    }
    countdownWindow_->setCountdownText(
        countdown_.interval() > 0 ? QString::fromStdString(countdown_.caption()) : kNoAutoRun);
    countdownWindow_->show();
    countdownWindow_->raise();
    // Started with the session, the program may be up before the panel that
    // holds the tray: look again for a minute and move to the icon then.
    auto* look = new QTimer(countdownWindow_.get());
    auto tries = std::make_shared<int>(30);
    connect(look, &QTimer::timeout, this, [this, look, tries] {
        const bool gaveUp = !trayMode_ || !countdownWindow_->isVisible() || --*tries < 0;
        const bool moved = !gaveUp && backdrop_->showTrayIcon();
        if (moved) {
            countdownWindow_->hide();
        }
        if (gaveUp || moved) {
            look->stop();
            look->deleteLater();
        }
    });
    look->start(2000);
}

void AppWindows::noticeClicked(const std::string& cause) {
    if (trayMode_) {
        restoreFromTray();
    }
    if (cause == kCauseSignIn) {
        showSetup();
    } else if (cause == kCauseHeldMembers || cause == kCauseHeldPosts) {
        showMailingLists();
    }
    // A failed run or a queue at its limit: the main window, with the log.
}

void AppWindows::restoreFromTray() {
    if (watcher_) {
        watcher_->stop();
    }
    newMailWaiting_ = false;
    backdrop_->hideTrayIcon();
    if (countdownWindow_) {
        countdownWindow_->hide();
    }
    if (backdrop_->isMinimized()) {
        backdrop_->showNormal();
    } else {
        backdrop_->show();
    }
    trayMode_ = false;
    main_->show();
    centreInBackdrop(main_);
    // A countdown run still going on is shown rather than left invisible.
    if (runs_->busy()) {
        runWindow_->show();
        runWindow_->raise();
        centreInBackdrop(runWindow_);
    }
}

void AppWindows::exitSystem() {
    // From the tray menu there is no window to stand on.
    if (MessageBox::question(trayMode_ ? nullptr : main_,
                             QStringLiteral("Are you sure you want to quit?"))) {
        quit();
    }
}

void AppWindows::quit() {
    if (quitting_) {
        return;
    }
    // A box the run waits on (a SIGTERM while "Please set up..." shows) goes
    // first: waiting for the run from inside it would never end.
    if (QWidget* modal = QApplication::activeModalWidget()) {
        host_->closing();
        modal->close();
        QTimer::singleShot(200, this, &AppWindows::quit);
        return;
    }
    quitting_ = true;
    // A run in progress finishes the item at hand (a queue half rewritten
    // would lose mail), then the program ends.
    host_->closing();
    runs_->waitForEnd();
    backdrop_->hideTrayIcon();
    if (countdownWindow_) {
        countdownWindow_->hide();
    }
    Q_EMIT quitRequested();
}

void AppWindows::showAbout() {
    if (!about_) {
        about_ = new AboutWindow(backdrop_.get());
    }
    centreInBackdrop(about_);
    about_->show();
    about_->raise();
}

SettingsWindow* AppWindows::settingsWindow() const {
    return setup_.data();
}

void AppWindows::showSetup() {
    if (setup_) {
        return;
    }
    setup_ = new SettingsWindow(folder_, dialUpEntryNames(), backdrop_.get());
    // Coming back reloads the main window, so a new auto-run interval counts.
    connect(setup_, &SettingsWindow::closed, this, [this] {
        if (!quitting_) {
            loadMainForm(false);
        }
    });
    setup_->show();
    centreInBackdrop(setup_);
    setup_->raise();
    setup_->activateWindow();
    main_->hide();
}

void AppWindows::showAutoresponders() {
    QCoreApplication::processEvents();
    if (autoresponders_) {
        autoresponders_->raise();
        return;
    }
    autoresponders_ = new AutorespondersWindow(folder_, backdrop_.get());
    // Closing the editor in any way brings the main window back, reloaded.
    connect(autoresponders_, &AutorespondersWindow::closed, this, [this] {
        if (!quitting_) {
            loadMainForm(false);
        }
    });
    autoresponders_->show();
    autoresponders_->activateWindow();
    centreInBackdrop(autoresponders_);
    main_->hide();
    autoresponders_->load();
}

void AppWindows::centreInBackdrop(QWidget* window) const {
    if (trayMode_) {
        return;
    }
    centreIn(window, backdrop_->innerArea());
}

void AppWindows::helpShow() {
    if (!helpWindow_) {
        helpWindow_ = new HelpWindow(backdrop_.get());
    }
    QString text = QString::fromStdString(help_.take());
    text.replace(QStringLiteral("\r\n"), QStringLiteral("\n"));
    helpWindow_->setHelpText(text);
    centreInBackdrop(helpWindow_);
    helpWindow_->show();
    helpWindow_->raise();
}

void centreInBackdrop(QWidget* window) {
    if (AppWindows* app = AppWindows::instance()) {
        app->centreInBackdrop(window);
    }
}

void helpStart() {
    if (AppWindows* app = AppWindows::instance()) {
        app->helpText().start();
    }
}

void helpLine(const std::string& text) {
    if (AppWindows* app = AppWindows::instance()) {
        app->helpText().line(text);
    }
}

void helpShow() {
    if (AppWindows* app = AppWindows::instance()) {
        app->helpShow();
    }
}

int showStartFailure(const std::string& text, int& argc, char** argv, int status) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vorel"));
    QApplication::setWindowIcon(logoIcon());
    MessageBox::information(nullptr,
                            QStringLiteral("Vorel cannot start: ") + QString::fromStdString(text));
    return status;
}

int runWindows(const std::string& folder, const std::vector<std::string>& args, int& argc,
               char** argv) {
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vorel"));
    QApplication::setDesktopFileName(QStringLiteral("vorel"));
    QApplication::setWindowIcon(logoIcon());
    // The background window's close ends the program, not the last window.
    QApplication::setQuitOnLastWindowClosed(false);
    AppWindows windows(folder, args);
    QObject::connect(&windows, &AppWindows::quitRequested, &app, &QCoreApplication::quit,
                     Qt::QueuedConnection);
    endOnSignals(windows, &app);
    windows.start();
    const int status = QApplication::exec();
    // A connection test still waiting on a server ends before the program.
    BackgroundWork::instance().joinAll();
    return status;
}

}  // namespace vorel
