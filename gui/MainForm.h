#pragma once

#include <QWidget>

class QLabel;
class QToolButton;

namespace vorel {

class ClickLabel;

// frmMAINFORM: a column of picture buttons with their captions beside them.
// The window is wiring only; what the buttons do belongs to the shell.
class MainForm : public QWidget {
    Q_OBJECT
public:
    explicit MainForm(QWidget* parent = nullptr);

    void setVersionText(const QString& text);

Q_SIGNALS:
    void setupClicked();
    void autorespondersClicked();
    void mailingListsClicked();
    void runMailerClicked();
    void aboutPressed();
    void exitClicked();
    void taskbarClicked();
    void webSiteDoubleClicked();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    QLabel* lblVERSION_;
};

}  // namespace vorel
