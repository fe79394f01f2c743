#include "gui/HeldPostsPanel.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include "base/Clock.h"
#include "forms/HeldPostsForm.h"
#include "gui/EditorWindow.h"
#include "gui/MessageBox.h"
#include "gui/Widgets.h"
#include "mail/Subscriptions.h"
#include "store/AppFolder.h"

namespace vorel {

namespace {

QString text(const std::string& s) {
    return QString::fromStdString(s);
}

}  // namespace

HeldPostsPanel::HeldPostsPanel(std::string folder, QWidget* parent)
    : QWidget(parent), folder_(std::move(folder)) {
    cboPOSTCHECK_ = named(new QComboBox, "cboPOSTCHECK", QStringLiteral("Who may post:"));
    cboPOSTCHECK_->addItem(QStringLiteral("Any member (From is not checked)"));
    cboPOSTCHECK_->addItem(
        QStringLiteral("Members verified by your provider or who confirm (recommended)"));
    cboPOSTCHECK_->addItem(QStringLiteral("Every post is held for me to approve"));
    cboPOSTCHECK_->setCurrentIndex(1);
    auto* hint = new QLabel(QStringLiteral(
        "Anyone can write a member's address in From. A post goes out at once when your "
        "provider vouches for its sender (Settings, \"Trust authentication results from\"); "
        "otherwise the member is asked to confirm it by reply, and posts nobody confirms wait "
        "here for you."));
    hint->setObjectName(QStringLiteral("lblPOSTCHECKHINT"));
    hint->setWordWrap(true);
    cboPOSTCHECK_->setAccessibleDescription(hint->text());
    chkHOLDNONMEMBERS_ =
        named(new QCheckBox(QStringLiteral("Hold posts from &non-members for the owner")),
              "chkHOLDNONMEMBERS", QStringLiteral("Hold posts from non-members for the owner"));

    lstHELD_ = named(new QTreeWidget, "lstHELD", QStringLiteral("Held posts"));
    lstHELD_->setHeaderLabels({QStringLiteral("From"), QStringLiteral("Subject"),
                               QStringLiteral("Date"), QStringLiteral("Why")});
    lstHELD_->setRootIsDecorated(false);
    lstHELD_->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    cmdAPPROVE_ = button("cmdAPPROVE", QStringLiteral("Appr&ove"));
    cmdREJECT_ = button("cmdREJECT", QStringLiteral("Re&ject"));
    connect(cmdAPPROVE_, &QPushButton::clicked, this, [this] { decide(true); });
    connect(cmdREJECT_, &QPushButton::clicked, this, [this] { decide(false); });

    auto* form = new QFormLayout;
    auto* who = new QLabel(QStringLiteral("&Who may post:"));
    who->setBuddy(cboPOSTCHECK_);
    form->addRow(who, cboPOSTCHECK_);
    auto* v = new QVBoxLayout(this);
    v->addLayout(form);
    v->addWidget(hint);
    v->addWidget(chkHOLDNONMEMBERS_);
    auto* heldLabel = new QLabel(QStringLiteral("H&eld posts:"));
    heldLabel->setBuddy(lstHELD_);
    v->addWidget(heldLabel);
    v->addWidget(lstHELD_, 1);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdAPPROVE_);
    buttons->addWidget(cmdREJECT_);
    buttons->addStretch();
    v->addLayout(buttons);
}

void HeldPostsPanel::showList(const MailingList& row) {
    cboPOSTCHECK_->setCurrentIndex(static_cast<int>(row.postcheck));
    chkHOLDNONMEMBERS_->setChecked(row.holdnonmembers);
    list_ = row.Name;
    refresh();
}

void HeldPostsPanel::clear() {
    cboPOSTCHECK_->setCurrentIndex(1);
    chkHOLDNONMEMBERS_->setChecked(false);
    list_.clear();
    lstHELD_->clear();
}

void HeldPostsPanel::fillRow(MailingList& row) const {
    row.postcheck = cboPOSTCHECK_->currentIndex();
    row.holdnonmembers = chkHOLDNONMEMBERS_->isChecked();
}

std::vector<std::string> HeldPostsPanel::values() const {
    return {std::to_string(cboPOSTCHECK_->currentIndex()),
            chkHOLDNONMEMBERS_->isChecked() ? "1" : "0"};
}

void HeldPostsPanel::refresh() {
    lstHELD_->clear();
    if (list_.empty()) {
        return;
    }
    try {
        Database db = Database::open(databasePath(folder_));
        for (const HeldRow& r : heldRows(db, list_, epochSeconds(SystemClock().now()))) {
            auto* item = new QTreeWidgetItem(
                QStringList{text(r.from), text(r.subject), text(r.date), text(r.why)});
            item->setData(0, Qt::UserRole, QVariant::fromValue<qlonglong>(r.id));
            lstHELD_->addTopLevelItem(item);
        }
    } catch (const std::exception& e) {
        MessageBox::information(
            this, QStringLiteral("The held posts could not be read.\n\n") + text(e.what()));
    }
}

void HeldPostsPanel::decide(bool approve) {
    QTreeWidgetItem* item = lstHELD_->currentItem();
    if (!item) {
        MessageBox::information(this, QStringLiteral("Select a held post first."));
        return;
    }
    if (!approve && !MessageBox::question(this, QStringLiteral("Delete the post of ") +
                                                    item->text(0) + QStringLiteral("?"))) {
        return;
    }
    const std::int64_t id = item->data(0, Qt::UserRole).toLongLong();
    Outcome done;
    try {
        Database db = Database::open(databasePath(folder_));
        SystemClock clock;
        done = approve ? approveHeld(db, folder_, list_, id, clock)
                       : rejectHeld(db, folder_, list_, id, clock);
    } catch (const std::exception& e) {
        done = Outcome::failed(e.what());
    }
    MessageBox::information(this, text(done.message));
    refresh();
}

}  // namespace vorel
