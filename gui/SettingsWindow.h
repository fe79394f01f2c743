#pragma once

#include <QWidget>
#include <functional>
#include <string>
#include <vector>

#include "forms/Outcome.h"
#include "forms/SetupForm.h"

class QCheckBox;
class QComboBox;
class QHBoxLayout;
class QLineEdit;
class QSpinBox;
class QLabel;
class QListWidget;
class QPushButton;
class QTabWidget;

namespace vorel {

class UnsavedChanges;
class SignInPanel;
class PostingTrustBox;

// frmSETUP: edits setup.ini and antispam.lst, shows and deletes the logs. The
// rules live in forms/SetupForm and forms/SettingsSave (what Ok writes, in
// which order); this class moves values between them and the controls. Nothing is written before
// "&Ok"; the window deletes itself when closed and says so with closed().
class SettingsWindow : public QWidget {
    Q_OBJECT
public:
    // `dialUpEntries`: the names cmbDIALUP offers.
    SettingsWindow(std::string folder, const std::vector<std::string>& dialUpEntries,
                   QWidget* parent = nullptr);

    QTabWidget* tabs() const { return tabs_; }
    SignInPanel* signInPanel() const { return signIn_; }

    // "Test connection" runs this on a worker thread with the settings as
    // they stand in the window; tests replace the real servers.
    using ConnectionChecker = std::function<Outcome(const Settings&)>;
    void setConnectionChecker(ConnectionChecker checker) { checker_ = std::move(checker); }

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    std::string loadedPassword_;  // line 4 as the window found it
    // The buttons under the tabs; `okButton` is set to the default one.
    QHBoxLayout* buttonRow(QPushButton*& okButton);
    QWidget* emailTab();
    QWidget* connectTab();
    QWidget* systemTab();
    QWidget* antiSpamTab();

    void load();
    SetupForm collect() const;
    void ok();
    // Writes both files; true when they were written.
    bool save();
    void applyDialUpWhenRule();
    void addSpam();
    void deleteSpam();
    void viewFile(const std::string& path);
    void deleteLog();
    void testConnection();
    void showConnectionResult(const std::string& said);

    std::string folder_;
    QTabWidget* tabs_;
    // The control of each setup.ini line (index 0 = line 1).
    QWidget* lines_[Settings::kLineCount] = {};
    QComboBox* cmbDIALUP_ = nullptr;
    QLineEdit* txtDIALUPWHEN_ = nullptr;
    QSpinBox* spnDAILYLIMIT_ = nullptr;  // sending.ini, not setup.ini
    QSpinBox* spnPACE_ = nullptr;
    QCheckBox* chkNOTIFY_ = nullptr;
    QLineEdit* txtANTISPAMFROM_ = nullptr;
    QLineEdit* txtANTISPAMSUBJECT_ = nullptr;
    QLineEdit* txtTO_ = nullptr;
    QListWidget* lstSPAMLIST_ = nullptr;
    QPushButton* cmdTESTCONNECTION_ = nullptr;
    QLabel* lblTESTRESULT_ = nullptr;
    ConnectionChecker checker_;
    QLabel* lblDIALUPWHENNOTE_ = nullptr;
    UnsavedChanges* unsaved_ = nullptr;
    SignInPanel* signIn_ = nullptr;
    PostingTrustBox* trust_ = nullptr;  // posting.ini
};

}  // namespace vorel
