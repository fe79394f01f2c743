#pragma once

#include <QWidget>
#include <string>

class QLabel;
class QLineEdit;
class QPlainTextEdit;

namespace vorel {

class Clock;
class UnsavedChanges;

// frmPOSTEMAIL: one message queued to every member of a list. The window
// keeps its own copy of the list's name and footer as the list editor showed
// them when it opened, so it outlives the editor. The post loop lives in
// forms/ListPost.
class PostWindow : public QWidget {
    Q_OBJECT
public:
    PostWindow(std::string folder, std::string listName, std::string footer,
               QWidget* parent = nullptr);

    const std::string& listName() const { return listName_; }

    // Tests fix the time of the merges; nullptr: the system clock.
    static void setClockForTests(const Clock* clock);

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    void post();
    void showPostStatus(const QString& text);
    void showHelp();

    std::string folder_;
    std::string listName_;
    std::string footer_;
    UnsavedChanges* unsaved_ = nullptr;
    QLineEdit* txtFROM_;
    QLineEdit* txtSUBJECT_;
    QPlainTextEdit* txtMESSAGE_;
    QLabel* lblStatus_;
};

}  // namespace vorel
