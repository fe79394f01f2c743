#pragma once

#include <QMainWindow>

class QAction;
class QLabel;
class QMenu;
class QSystemTrayIcon;
class QTimer;

namespace vorel {

// frmBACKDROP: the frame of the application, with the status line, the
// countdown timer Timer1 and the tray icon with its menu.
class Backdrop : public QMainWindow {
    Q_OBJECT
public:
    explicit Backdrop(QWidget* parent = nullptr);

    QLabel* statusLabel() const { return lblStatus_; }
    QTimer* timer() const { return Timer1_; }
    QAction* secondsAction() const { return mnuSeconds_; }
    QMenu* trayMenu() const { return mnuPopup_; }
    QSystemTrayIcon* trayIcon() const { return tray_; }
    // The inner area other windows centre themselves in, global coordinates.
    QRect innerArea() const;

    // Before the program ends by the close box: each window with unsaved
    // edits asks; false when the user keeps one.
    bool windowsLetGo();

    // The tray icon where the desktop has a tray; false when it has none.
    bool showTrayIcon();
    void hideTrayIcon();
    // The icon's tooltip: what a click does, and whether new mail is watched.
    void setTrayWatching(bool watching);

Q_SIGNALS:
    void closing();
    // A click on the icon (Activate on a StatusNotifier tray, which never
    // reports a double click), a double click, or the menu's Restore.
    void trayRestoreAsked();
    // The tray menu's Exit.
    void trayExitAsked();
    // Shown again from the taskbar after being minimised.
    void restored();
    void resized();

protected:
    void closeEvent(QCloseEvent* event) override;
    void changeEvent(QEvent* event) override;
    void resizeEvent(QResizeEvent* event) override;

private:
    QLabel* lblStatus_;
    QTimer* Timer1_;
    QMenu* mnuPopup_;
    QAction* mnuSeconds_;
    QAction* mnuRestore_;
    QAction* mnuExit_;
    bool watching_ = false;
    QSystemTrayIcon* tray_ = nullptr;
};

}  // namespace vorel
