#include "gui/Backdrop.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QMenu>
#include <QSystemTrayIcon>
#include <QTimer>
#include <QVBoxLayout>

#include "gui/UnsavedChanges.h"
#include "gui/ValueLabel.h"
#include "gui/Widgets.h"

namespace vorel {

Backdrop::Backdrop(QWidget* parent) : QMainWindow(parent) {
    setObjectName(QStringLiteral("frmBACKDROP"));
    setWindowTitle(QStringLiteral("Vorel List Manager"));
    setWindowIcon(logoIcon());

    auto* area = new QWidget;
    area->setObjectName(QStringLiteral("backdropArea"));
    // The desktop's own colours: a darker shade of its palette.
    area->setAutoFillBackground(true);
    area->setBackgroundRole(QPalette::Dark);

    auto* picture1 = new QWidget;
    named(picture1, "Picture1", QStringLiteral("Status bar"));
    lblStatus_ = newsLabel(new QLabel(QStringLiteral("Vorel is inactive")), "lblStatus",
                           QStringLiteral("Status"));
    auto* bar = new QHBoxLayout(picture1);
    bar->setContentsMargins(6, 3, 6, 3);
    bar->addWidget(lblStatus_, 1);
    auto* dock = new QWidget;
    auto* column = new QVBoxLayout(dock);
    column->setContentsMargins(0, 0, 0, 0);
    column->setSpacing(0);
    column->addWidget(area, 1);
    column->addWidget(picture1);
    setCentralWidget(dock);

    Timer1_ = new QTimer(this);
    Timer1_->setObjectName(QStringLiteral("Timer1"));
    Timer1_->setInterval(1000);

    mnuPopup_ = new QMenu(QStringLiteral("Tray Menu"), this);
    mnuPopup_->setObjectName(QStringLiteral("mnuPopup"));
    mnuSeconds_ = mnuPopup_->addAction(QStringLiteral("Seconds"));
    mnuSeconds_->setObjectName(QStringLiteral("mnuSeconds"));
    mnuSeconds_->setEnabled(false);  // a caption, not a command
    mnuPopup_->addSeparator();
    mnuRestore_ = mnuPopup_->addAction(QStringLiteral("&Restore Vorel"));
    mnuRestore_->setObjectName(QStringLiteral("mnuRestore"));
    connect(mnuRestore_, &QAction::triggered, this, &Backdrop::trayRestoreAsked);
    mnuExit_ = mnuPopup_->addAction(QStringLiteral("E&xit"));
    mnuExit_->setObjectName(QStringLiteral("mnuExit"));
    connect(mnuExit_, &QAction::triggered, this, &Backdrop::trayExitAsked);
    resize(900, 640);
}

QRect Backdrop::innerArea() const {
    QWidget* area = findChild<QWidget*>(QStringLiteral("backdropArea"));
    return QRect(area->mapToGlobal(QPoint(0, 0)), area->size());
}

bool Backdrop::showTrayIcon() {
    if (!QSystemTrayIcon::isSystemTrayAvailable()) {
        return false;
    }
    if (!tray_) {
        tray_ = new QSystemTrayIcon(logoIcon(), this);
        tray_->setContextMenu(mnuPopup_);
        setTrayWatching(watching_);
        connect(tray_, &QSystemTrayIcon::activated, this,
                [this](QSystemTrayIcon::ActivationReason why) {
                    if (why == QSystemTrayIcon::Trigger || why == QSystemTrayIcon::DoubleClick) {
                        Q_EMIT trayRestoreAsked();
                    }
                });
    }
    tray_->show();
    return true;
}

void Backdrop::setTrayWatching(bool watching) {
    watching_ = watching;
    if (tray_) {
        tray_->setToolTip(watching ? QStringLiteral("Vorel: watching for new mail. Click to "
                                                    "restore; right-click for the menu.")
                                   : QStringLiteral("Vorel: waiting for the next run. Click to "
                                                    "restore; right-click for the menu."));
    }
}

void Backdrop::hideTrayIcon() {
    if (tray_) {
        tray_->hide();
    }
}

bool Backdrop::windowsLetGo() {
    for (QWidget* w : findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
        auto* unsaved = w->findChild<UnsavedChanges*>(QString(), Qt::FindDirectChildrenOnly);
        if (w->isWindow() && w->isVisible() && unsaved && unsaved->changed() && !w->close()) {
            return false;
        }
    }
    return true;
}

void Backdrop::closeEvent(QCloseEvent* event) {
    // Closing the frame by hand ends the program: windows with unsaved edits
    // ask first, and one the user keeps stops it. A signal's close cannot ask.
    if (event->spontaneous() && !windowsLetGo()) {
        event->ignore();
        return;
    }
    Q_EMIT closing();
    event->accept();
}

void Backdrop::changeEvent(QEvent* event) {
    QMainWindow::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange) {
        auto* change = static_cast<QWindowStateChangeEvent*>(event);
        if ((change->oldState() & Qt::WindowMinimized) && !isMinimized()) {
            Q_EMIT restored();
        }
    }
}

void Backdrop::resizeEvent(QResizeEvent* event) {
    QMainWindow::resizeEvent(event);
    Q_EMIT resized();
}

}  // namespace vorel
