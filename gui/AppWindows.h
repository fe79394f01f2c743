#pragma once

#include <QObject>
#include <QPointer>
#include <memory>
#include <string>
#include <vector>

#include "forms/Countdown.h"
#include "gui/EditorWindow.h"
#include "gui/HelpText.h"
#include "gui/RunController.h"
#include "gui/RunRequestBox.h"

class QWidget;

namespace vorel {

class AboutWindow;
class AutorespondersWindow;
class Backdrop;
class CountdownWindow;
class MailWatcher;
class HelpWindow;
class DesktopNotifier;
class MailingListsWindow;
class MainForm;
class RunMailWindow;
class SettingsWindow;
class WindowRunHost;

// The application shell: the background and main windows, tray mode and the
// countdown, Run Mailer, and the helpers every window uses. One per process.
class AppWindows : public QObject {
    Q_OBJECT
public:
    // `args`: the command line without the program name.
    AppWindows(std::string folder, std::vector<std::string> args);
    ~AppWindows() override;

    static AppWindows* instance();

    // Shows the background window: schema upgrade, then the main window.
    void start();

    // Run Mailer; does nothing while a run is going on.
    void runMailer();
    void goToTray();
    void restoreFromTray();
    // One tick of Timer1 (tests call it instead of waiting a second).
    void timer1Tick();
    // Timer1's period, one second; tests lengthen it and tick by hand.
    void setTickInterval(int ms) { tickMs_ = ms; }
    // "Exit System": asks first.
    void exitSystem();
    void showAbout();
    // cmdSETUP: the settings window takes the main window's place.
    void showSetup();
    // "Auto Responders": the editor takes the main window's place.
    void showAutoresponders();
    // The mailing list editor takes the main window's place until it closes.
    void showMailingLists();

    // Window helpers.
    void centreInBackdrop(QWidget* window) const;
    HelpText& helpText() { return help_; }
    void helpShow();

    bool trayMode() const { return trayMode_; }
    bool running() const { return runs_->busy(); }
    const Countdown& countdown() const { return countdown_; }
    Backdrop* backdrop() const { return backdrop_.get(); }
    MainForm* mainForm() const { return main_; }
    RunMailWindow* runWindow() const { return runWindow_; }
    // The tray's stand-in on a desktop without a tray; null until first needed.
    CountdownWindow* countdownWindow() const { return countdownWindow_.get(); }
    MailWatcher* mailWatcher() const { return watcher_.get(); }
    HelpWindow* helpWindow() const;
    AboutWindow* aboutWindow() const;
    SettingsWindow* settingsWindow() const;
    AutorespondersWindow* autorespondersWindow() const;
    MailingListsWindow* mailingListsWindow() const;
    RunController& runs() { return *runs_; }
    const std::string& folder() const { return folder_; }

Q_SIGNALS:
    // The program is to end (the run at hand has stopped by then).
    void quitRequested();

private:
    void loadMainForm(bool afterRun);
    void beginRun(bool fromCountdown);
    void endRun();
    void showMainAfterRun();
    void quit();
    void showCountdownWindow();
    void newMailArrived();
    void showCountdownCaption(const std::string& caption);
    // A desktop notice clicked: the window that resolves its cause.
    void noticeClicked(const std::string& cause);

    std::string folder_;
    std::vector<std::string> args_;
    bool trayMode_ = false;
    Countdown countdown_;
    HelpText help_;
    RunRequestBox requests_;
    std::unique_ptr<Backdrop> backdrop_;
    std::unique_ptr<CountdownWindow> countdownWindow_;
    std::unique_ptr<MailWatcher> watcher_;
    bool newMailWaiting_ = false;  // told of new mail while a run went on
    MainForm* main_;
    RunMailWindow* runWindow_;
    QPointer<AboutWindow> about_;
    QPointer<HelpWindow> helpWindow_;
    QPointer<SettingsWindow> setup_;
    QPointer<AutorespondersWindow> autoresponders_;
    QPointer<MailingListsWindow> lists_;
    std::unique_ptr<WindowRunHost> host_;
    std::unique_ptr<RunController> runs_;
    std::unique_ptr<DesktopNotifier> notifier_;
    bool runFromCountdown_ = false;
    bool timerWasRunning_ = false;
    bool quitting_ = false;
    int tickMs_ = 1000;
    int runsEnded_ = 0;
    static constexpr int kLastWordMs = 5000;
};

// The windows' entry: runs the event loop; returns the exit status.
int runWindows(const std::string& folder, const std::vector<std::string>& args, int& argc,
               char** argv);
// Shows why the windows cannot start (a refused folder) in a message box and
// returns `status`.
int showStartFailure(const std::string& text, int& argc, char** argv, int status);

}  // namespace vorel
