#pragma once

#include <QWidget>

class QLabel;

namespace vorel {

// frmCOUNTDOWN: stands in for the tray icon where the desktop has no system
// tray (stock GNOME, many Wayland sessions), so tray mode never leaves the
// program without a window to come back by. Shows the countdown and one line
// on why there is no icon; Restore or closing it brings the main window back.
class CountdownWindow : public QWidget {
    Q_OBJECT
public:
    explicit CountdownWindow(QWidget* parent = nullptr);

    void setCountdownText(const QString& text);
    QString countdownText() const;

    static const QString& noTrayText();

Q_SIGNALS:
    void restoreRequested();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* lblCOUNTDOWN_;
};

}  // namespace vorel
