#pragma once

#include <QPointer>
#include <QWidget>
#include <optional>
#include <string>
#include <vector>

#include "forms/MemberRules.h"
#include "store/Database.h"

class QHBoxLayout;
class QCheckBox;
class QLabel;
class QPushButton;
class QLineEdit;
class QListView;
class QPlainTextEdit;
class QTreeWidget;

namespace vorel {

class LinesModel;

// frmIMPORTSTATUS: the status lines of one import.
class ImportStatusWindow : public QWidget {
    Q_OBJECT
public:
    explicit ImportStatusWindow(QWidget* parent = nullptr);
    void addLines(const std::vector<std::string>& lines);
    const std::vector<std::string>& lines() const { return store_; }

private:
    std::vector<std::string> store_;
    LinesModel* lines_;
    QListView* lstIMPORT_;
};

// frmLISTVIEW: the members of one list. The rules (cursor, add box, import,
// export) live in forms/MemberRules, what Save, Delete, Release, Search and
// Drop do in forms/MemberEdit; this class is wiring. The member list is
// a view over the addresses, so a list of a million opens at once.
class MembersWindow : public QWidget {
    Q_OBJECT
public:
    explicit MembersWindow(std::string folder, QWidget* parent = nullptr);
    ~MembersWindow() override;

    void fillList(const std::string& name);
    const std::string& listName() const { return name_; }
    ImportStatusWindow* importStatus() const { return status_.data(); }

Q_SIGNALS:
    void closed();

protected:
    void closeEvent(QCloseEvent* event) override;

private:
    // The constructor's parts: the member shown with the arrows, the tabs,
    // the file buttons.
    QHBoxLayout* browseRow();
    QWidget* addTab();
    QWidget* viewTab();
    QHBoxLayout* fileRow();
    Database* db();
    void storeFailed(const std::exception& e);
    // `current`: the member to show afterwards (by position); the first by default.
    void fillMembers(std::size_t current = 0);
    void showCurrent();
    void emailEdited(const QString& text);
    void entryChosen(int row);
    void search();
    void saveMember();
    void deleteMember();
    void addAddressesClicked();
    void importClicked();
    void exportClicked();
    // Subscribe requests waiting for their confirmation, apart from members.
    QWidget* pendingTab();
    void fillPending();
    void confirmPending();
    void dropPending();
    const PendingRequest* chosenPending() const;
    // Members held after hard bounces: marked in the list, counted, shown
    // alone on request; the current one releasable.
    bool held(const MemberEntry& e) const;
    void showHeld();
    void releaseHeld();

    std::string folder_;
    std::string name_;
    std::optional<Database> db_;
    std::vector<MemberEntry> entries_;
    MemberCursor cursor_;
    LinesModel* model_;
    QLineEdit* txtEMAIL_;
    QLineEdit* txtSEARCH_;
    QPlainTextEdit* txtADDEMAILS_;
    QListView* lstEMAILS_;
    QLabel* lblCOUNT_;
    QPointer<ImportStatusWindow> status_;
    std::vector<PendingRequest> pending_;
    QTreeWidget* lstPENDING_ = nullptr;
    QLabel* lblHELD_ = nullptr;
    QCheckBox* chkONLYHELD_ = nullptr;
    std::int64_t today_ = 0;  // days since the epoch, for held()
    QPushButton* cmdRELEASE_ = nullptr;
};

}  // namespace vorel
