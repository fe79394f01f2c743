#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "store/Database.h"

class QCheckBox;
class QHBoxLayout;
class QLabel;
class QLineEdit;
class QListWidget;
class QPlainTextEdit;
class QRadioButton;

namespace vorel {

class HeldPostsPanel;
class MembersWindow;
class PostWindow;
class UnsavedChanges;

// frmMAILLINGLISTS: the mailing lists and their request rules. The rules of
// Save and Delete live in forms/ListRules; this class is wiring.
class MailingListsWindow : public QWidget {
    Q_OBJECT
public:
    explicit MailingListsWindow(std::string folder, QWidget* parent = nullptr);
    ~MailingListsWindow() override;

    // What the post window reads when the user posts.
    std::string listName() const;
    std::string footer() const;

    MembersWindow* membersWindow() const;
    PostWindow* postWindow() const;

    void fillListNames();

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    // The constructor's parts: each tab, the buttons under them.
    QWidget* subscribeTab();
    QWidget* unsubscribeTab();
    QWidget* listTab();
    QHBoxLayout* buttonRow();
    Database* db();
    void listChosen(int row);
    void selectListNamed(const std::string& name);
    std::vector<std::string> fieldValues() const;
    void showListRecord(const MailingList& row);
    void typeChosen();
    void addNew();
    void clearFields();
    // True when the list was stored.
    bool save();
    void remove();
    void viewMembers();
    void postMessage();
    void showHelp();
    void storeFailed(const std::exception& e);

    std::string folder_;
    std::optional<Database> db_;
    std::vector<MailingList> rows_;
    QListWidget* lstMAILING_;
    QLineEdit* txtNAME_;
    QLineEdit* txtSUBSCRIBETO_;
    QLineEdit* txtSUBSCRIBESUBJECT_;
    QLineEdit* txtSUBSCRIBEFROM_;
    QLineEdit* txtSUBSCRIBESUBJECTFROM_;
    QPlainTextEdit* txtSUBSCRIBEMESSAGE_;
    QCheckBox* chkCONFIRM_;
    QCheckBox* chkFROMLIST_;
    QLineEdit* txtUNSUBSCRIBETO_;
    QLineEdit* txtUNSUBSCRIBESUBJECT_;
    QLineEdit* txtUNSUBSCRIBEFROM_;
    QLineEdit* txtUNSUBSCRIBEMESSAGESUBJECT_;
    QPlainTextEdit* txtUNSUBSCRIBEMESSAGE_;
    QLineEdit* txtSENDTOLISTTO_;
    QLineEdit* txtSENDTOLISTSUBJECT_;
    QLabel* Label15_;
    QLabel* Label16_;
    QLabel* Label17_;
    QRadioButton* optTYPE_[2];
    QPlainTextEdit* textTOADD_;
    HeldPostsPanel* posts_;
    QPointer<MembersWindow> members_;
    QPointer<PostWindow> post_;
    UnsavedChanges* unsaved_ = nullptr;
};

}  // namespace vorel
