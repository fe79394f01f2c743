#include "gui/PostingTrustBox.h"

#include <QCheckBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>

#include "forms/PostingTrustForm.h"
#include "gui/Widgets.h"
#include "store/PostingTrust.h"

namespace vorel {

PostingTrustBox::PostingTrustBox(std::string folder, QWidget* parent)
    : QGroupBox(QStringLiteral("List posts"), parent), folder_(std::move(folder)) {
    setObjectName(QStringLiteral("grpPOSTTRUST"));
    txtAUTHSERVID_ =
        named(new QLineEdit, "txtAUTHSERVID", QStringLiteral("Trust authentication results from:"));
    txtAUTHSERVID_->setPlaceholderText(QStringLiteral("for example mx.google.com"));
    txtAUTHSERVID_->setMaxLength(253);
    chkTOPMOSTPROVIDER_ = named(
        new QCheckBox(QStringLiteral("The top-most Authentication-Results field is my provider's")),
        "chkTOPMOSTPROVIDER",
        QStringLiteral("The top-most Authentication-Results field is my provider's"));
    auto* hint = new QLabel(QStringLiteral(
        "Your provider checks every sender and writes the result into the message's "
        "Authentication-Results field, after its name (the authserv-id). A member's post goes "
        "out at once only when that field vouches for its From; \"Test connection\" reads the "
        "name from your newest message. Tick the box only if your provider writes no name: "
        "then the top-most field is believed whatever name it carries, which is safe only when "
        "your provider always adds one on top."));
    hint->setObjectName(QStringLiteral("lblPOSTTRUSTHINT"));
    hint->setWordWrap(true);
    txtAUTHSERVID_->setAccessibleDescription(hint->text());
    auto* label = new QLabel(QStringLiteral("Trust authentication results &from:"));
    label->setBuddy(txtAUTHSERVID_);
    auto* form = new QFormLayout(this);
    form->addRow(label, txtAUTHSERVID_);
    form->addRow(chkTOPMOSTPROVIDER_);
    form->addRow(hint);
}

void PostingTrustBox::load() {
    const PostingTrust t = readPostingTrust(folder_);
    txtAUTHSERVID_->setText(QString::fromStdString(t.authservId));
    chkTOPMOSTPROVIDER_->setChecked(t.topmostIsProvider);
}

PostingTrust PostingTrustBox::collect() const {
    return {txtAUTHSERVID_->text().trimmed().toStdString(), chkTOPMOSTPROVIDER_->isChecked()};
}

std::vector<std::string> PostingTrustBox::values() const {
    return {txtAUTHSERVID_->text().trimmed().toStdString(),
            chkTOPMOSTPROVIDER_->isChecked() ? "1" : "0"};
}

void PostingTrustBox::offer(const std::string& testResult) {
    const std::string id = offeredAuthservId(testResult);
    if (!id.empty() && txtAUTHSERVID_->text().trimmed().isEmpty()) {
        txtAUTHSERVID_->setText(QString::fromStdString(id));
    }
}

}  // namespace vorel
