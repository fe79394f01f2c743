#include "gui/RunMailWindow.h"

#include <QCheckBox>
#include <QCloseEvent>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QListWidget>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/RunController.h"
#include "gui/RunRequestBox.h"
#include "gui/Widgets.h"
#include "gui/WindowKeys.h"

namespace vorel {

RunMailWindow::RunMailWindow(RunRequestBox& requests, QWidget* parent)
    : QWidget(parent, Qt::Window), requests_(requests) {
    setObjectName(QStringLiteral("frmRUNMAIL"));
    setWindowTitle(QStringLiteral("Run Mailer"));

    auto* logLabel =
        new QLabel(QStringLiteral("Processing Log (View in LOG under Setup or Emailed to you!)"));
    lstLOG_ = new QListWidget;
    named(lstLOG_, "lstLOG", logLabel->text());
    auto* debugLabel =
        new QLabel(QStringLiteral("Server Communication (View in DEBUG log under Setup)"));
    lstdebug_ = new QListWidget;
    named(lstdebug_, "lstdebug", debugLabel->text());
    logLabel->setBuddy(lstLOG_);
    debugLabel->setBuddy(lstdebug_);

    pctCONNECT_ = new QFrame;
    named(pctCONNECT_, "pctCONNECT", QStringLiteral("Vorel System Online"));
    pctCONNECT_->setFixedSize(16, 16);
    pctCONNECT_->setFrameShape(QFrame::Box);
    pctCONNECT_->setAutoFillBackground(true);
    setConnected(false);
    auto* onlineLabel = new QLabel(QStringLiteral("Vorel System Online"));

    chkDEBUGMODE_ = new QCheckBox(QStringLiteral("Debug Mode"));
    named(chkDEBUGMODE_, "chkDEBUGMODE", chkDEBUGMODE_->text());
    cmdDISCONNET_ = new QPushButton(QStringLiteral("Disconnect"));
    named(cmdDISCONNET_, "cmdDISCONNET", cmdDISCONNET_->text());
    cmdDISCONNET_->hide();
    cmdCLOSE_ = new QPushButton(closeCaption());
    named(cmdCLOSE_, "cmdCLOSE", closeCaption());
    // Wide enough for "Cancelling....please wait...." without the layout jumping.
    cmdCLOSE_->setMinimumWidth(cmdCLOSE_->fontMetrics().horizontalAdvance(cancellingCaption()) +
                               24);

    auto* bottom = new QHBoxLayout;
    bottom->addWidget(pctCONNECT_);
    bottom->addWidget(onlineLabel);
    bottom->addSpacing(16);
    bottom->addWidget(chkDEBUGMODE_);
    bottom->addStretch();
    bottom->addWidget(cmdDISCONNET_);
    bottom->addWidget(cmdCLOSE_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(logLabel);
    layout->addWidget(lstLOG_, 3);
    layout->addWidget(debugLabel);
    layout->addWidget(lstdebug_, 2);
    layout->addLayout(bottom);
    resize(640, 460);

    connect(cmdCLOSE_, &QPushButton::clicked, this, &RunMailWindow::closeClicked);
    connect(cmdDISCONNET_, &QPushButton::clicked, this, &QWidget::close);
    connect(chkDEBUGMODE_, &QCheckBox::clicked, this, &RunMailWindow::debugClicked);
    // Enter presses the focused button; Escape would stop a run unasked.
    new WindowKeys(this, nullptr, false);
}

void RunMailWindow::runStarted() {
    running_ = true;
    // Requests made while no run was going on do not belong to this one.
    requests_.take();
    cmdCLOSE_->setText(stopCaption());
    cmdCLOSE_->setAccessibleName(QStringLiteral("Stop Mailer"));
    cmdDISCONNET_->hide();
}

void RunMailWindow::runEnded(const RunOutcome& outcome) {
    running_ = false;
    cmdCLOSE_->setText(closeCaption());
    cmdCLOSE_->setAccessibleName(QStringLiteral("Close"));
    cmdCLOSE_->setVisible(true);
    cmdDISCONNET_->setVisible(outcome.showDisconnect);
    setConnected(outcome.showDisconnect);
    if (outcome.closeWindow) {
        close();
    }
}

void RunMailWindow::closeClicked() {
    if (cmdCLOSE_->text() != closeCaption()) {
        requests_.requestStop();
        cmdCLOSE_->setText(cancellingCaption());
        cmdCLOSE_->setAccessibleName(cancellingCaption());
        return;
    }
    close();
}

void RunMailWindow::debugClicked(bool ticked) {
    requests_.setDebugMode(ticked);
}

void RunMailWindow::closeEvent(QCloseEvent* event) {
    // The window holds the run: closing it mid-run asks the run to stop.
    if (running_) {
        event->ignore();
        if (cmdCLOSE_->text() == stopCaption()) {
            closeClicked();
        }
        return;
    }
    // Like a window loaded afresh, the next run starts with empty lists.
    lstLOG_->clear();
    lstdebug_->clear();
    log_.clear();
    debug_.clear();
    event->accept();
    Q_EMIT closed();
}

void RunMailWindow::addLogEntry(const QString& text) {
    if (log_.add(text.toStdString())) {
        lstLOG_->clear();
    }
    lstLOG_->addItem(text);
    lstLOG_->setCurrentRow(lstLOG_->count() - 1);
}

void RunMailWindow::addDebugLine(const QString& text) {
    if (debug_.add(text.toStdString())) {
        lstdebug_->clear();
    }
    lstdebug_->addItem(text);
    lstdebug_->setCurrentRow(lstdebug_->count() - 1);
}

void RunMailWindow::clearDebugLines() {
    debug_.clear();
    lstdebug_->clear();
}

void RunMailWindow::setDebugModeBox(bool ticked) {
    chkDEBUGMODE_->setChecked(ticked);
}

void RunMailWindow::setConnected(bool up) {
    // Filled in the palette's highlight while online, empty otherwise; the
    // name says it for those who cannot see it.
    pctCONNECT_->setBackgroundRole(up ? QPalette::Highlight : QPalette::Base);
    const QString said = up ? QStringLiteral("Vorel System Online: connected")
                            : QStringLiteral("Vorel System Online: not connected");
    pctCONNECT_->setAccessibleName(said);
    pctCONNECT_->setToolTip(said);
}

}  // namespace vorel
