#pragma once

#include <QString>
#include <QWidget>
#include <exception>
#include <string>
#include <vector>

#include "forms/AutoresponderEditor.h"

class QCheckBox;
class QDateTimeEdit;
class QGroupBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QSpinBox;
class QTabWidget;
class QVBoxLayout;

namespace vorel {

class UnsavedChanges;

// frmAUTORESPONDERS: lists, creates, changes, previews and deletes
// autoresponders. The rules live in AutoresponderEditor; this is wiring.
class AutorespondersWindow : public QWidget {
    Q_OBJECT
public:
    // `folder`: the application folder with data.mdb.
    explicit AutorespondersWindow(std::string folder, QWidget* parent = nullptr);

    // Load: fills the list from data.mdb; a failure is reported and the
    // window stays usable (Save opens the file again).
    void load();

Q_SIGNALS:
    // The window is going: the main window comes back.
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The constructor's parts: the list, the fields with their tabs, the buttons.
    QVBoxLayout* listColumn();
    QGroupBox* editorFrame();
    QWidget* messageTab();
    QWidget* forwardTab();
    QHBoxLayout* buttonRow();
    // The active period and the days between replies to one sender.
    QWidget* periodRow();
    QWidget* replyDaysRow();
    void showPeriodSide(QCheckBox* box, QDateTimeEdit* edit, const std::string& stored);
    void fillList();
    void showRow(const QString& name);
    void addNew();
    // True when the autoresponder was stored.
    bool save();
    std::vector<std::string> fieldValues() const;
    void remove();
    void preview();
    void help();
    void tryMessage();
    Autoresponder typed() const;
    void reportFailure(const QString& what, const std::exception& e);

    std::string folder_;
    AutoresponderEditor editor_;
    QListWidget* lstAUTORESPONDERS_;
    QLineEdit* txtNAME_;
    QLineEdit* txtTO_;
    QLineEdit* txtSUBJECT_;
    QLineEdit* txtFROM_;
    QLineEdit* txtFROMSUBJECT_;
    QPlainTextEdit* txtMESSAGE_;
    QLineEdit* txtMAILTO_;
    QCheckBox* chkACTIVEFROM_;
    QDateTimeEdit* dtpACTIVEFROM_;
    QCheckBox* chkACTIVEUNTIL_;
    QDateTimeEdit* dtpACTIVEUNTIL_;
    QSpinBox* txtREPLYDAYS_;
    QLabel* lblcounter_;
    QTabWidget* SSTab1_;
    UnsavedChanges* unsaved_ = nullptr;
};

}  // namespace vorel
