#pragma once

#include <QWidget>
#include <string>
#include <vector>

#include "store/Database.h"

class QCheckBox;
class QComboBox;
class QPushButton;
class QTreeWidget;

namespace vorel {

// The list editor's "Posts" tab: who may post to the list, whether posts
// from non-members are held, and the posts held for a confirmation or the
// owner with Approve and Reject. The rules live in forms/HeldPostsForm.
class HeldPostsPanel : public QWidget {
    Q_OBJECT
public:
    explicit HeldPostsPanel(std::string folder, QWidget* parent = nullptr);

    // The settings of `row` and its held posts.
    void showList(const MailingList& row);
    // A new list: the defaults and no posts.
    void clear();
    // The two settings into the row being saved, and as field values.
    void fillRow(MailingList& row) const;
    std::vector<std::string> values() const;

private:
    void refresh();
    void decide(bool approve);

    std::string folder_;
    std::string list_;
    QComboBox* cboPOSTCHECK_;
    QCheckBox* chkHOLDNONMEMBERS_;
    QTreeWidget* lstHELD_;
    QPushButton* cmdAPPROVE_;
    QPushButton* cmdREJECT_;
};

}  // namespace vorel
