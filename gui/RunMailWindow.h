#pragma once

#include <QWidget>
#include <string>

#include "gui/ScreenList.h"

class QCheckBox;
class QFrame;
class QListWidget;
class QPushButton;

namespace vorel {

class RunRequestBox;
struct RunOutcome;

// frmRUNMAIL: a run as it happens. Its controls are fed by the run's host on
// the window thread; what the user asks goes into the request box for the
// run to pick up at its next yield.
class RunMailWindow : public QWidget {
    Q_OBJECT
public:
    RunMailWindow(RunRequestBox& requests, QWidget* parent = nullptr);

    void runStarted();
    void runEnded(const RunOutcome& outcome);
    bool running() const { return running_; }

    void addLogEntry(const QString& text);
    void addDebugLine(const QString& text);
    void clearDebugLines();
    void setDebugModeBox(bool ticked);
    // pctCONNECT: filled while the dial-up connection is up, empty otherwise.
    void setConnected(bool up);

    // The captions of cmdCLOSE.
    static QString stopCaption() { return QStringLiteral("&Stop Mailer"); }
    static QString cancellingCaption() { return QStringLiteral("Cancelling....please wait...."); }
    static QString closeCaption() { return QStringLiteral("&Close"); }

Q_SIGNALS:
    // The user closed the window (not a hide in the tray).
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void closeClicked();
    void debugClicked(bool ticked);

    RunRequestBox& requests_;
    ScreenList log_{kLogListLimit};
    ScreenList debug_{kDebugListLimit};
    QListWidget* lstLOG_;
    QListWidget* lstdebug_;
    QCheckBox* chkDEBUGMODE_;
    QPushButton* cmdCLOSE_;
    QPushButton* cmdDISCONNET_;
    QFrame* pctCONNECT_;
    bool running_ = false;
};

}  // namespace vorel
