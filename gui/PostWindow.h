#pragma once

#include <QPointer>
#include <QWidget>
#include <string>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace vorel {

class Clock;
class MailingListsWindow;

// frmPOSTEMAIL: one message queued to every member of the list shown in the
// list editor. The post loop lives in mail/ListPost.
class PostWindow : public QWidget {
    Q_OBJECT
public:
    PostWindow(std::string folder, MailingListsWindow* editor, QWidget* parent = nullptr);

    // Tests fix the time of the merges; nullptr: the system clock.
    static void setClockForTests(const Clock* clock);

private:
    void post();
    void showPostStatus(const QString& text);
    void showHelp();

    std::string folder_;
    QPointer<MailingListsWindow> editor_;
    QLineEdit* txtFROM_;
    QLineEdit* txtSUBJECT_;
    QPlainTextEdit* txtMESSAGE_;
    QLabel* lblStatus_;
};

}  // namespace vorel
