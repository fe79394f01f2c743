#include "gui/PostWindow.h"

#include <QApplication>
#include <QCloseEvent>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "base/Clock.h"
#include "forms/ListPost.h"
#include "forms/MergeCodeHelp.h"
#include "gui/EditorWindow.h"
#include "gui/ListText.h"
#include "gui/MessageBox.h"
#include "gui/Shell.h"
#include "gui/UnsavedChanges.h"
#include "gui/ValueLabel.h"
#include "gui/Widgets.h"
#include "gui/WindowKeys.h"
#include "store/AppFolder.h"
#include "store/SendLimits.h"

namespace vorel {

namespace {

const Clock* gTestClock = nullptr;

// The status line is repainted once per this many copies, not per copy.
constexpr std::size_t kStatusEvery = 250;

}  // namespace

void PostWindow::setClockForTests(const Clock* clock) {
    gTestClock = clock;
}

PostWindow::PostWindow(std::string folder, std::string listName, std::string footer,
                       QWidget* parent)
    : QWidget(parent, Qt::Window),
      folder_(std::move(folder)),
      listName_(std::move(listName)),
      footer_(std::move(footer)) {
    setObjectName(QStringLiteral("frmPOSTEMAIL"));
    setWindowTitle(QStringLiteral("Post Message to List - ") + QString::fromStdString(listName_));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* title = new QLabel(QStringLiteral("Send an Email Message"));
    title->setObjectName(QStringLiteral("lblTITLE"));
    QFont big = title->font();
    big.setBold(true);
    big.setPointSizeF(big.pointSizeF() * 1.4);
    title->setFont(big);

    txtFROM_ = named(new QLineEdit, "txtFROM", QStringLiteral("From:"));
    txtSUBJECT_ = named(new QLineEdit, "txtSUBJECT", QStringLiteral("Subject:"));
    txtMESSAGE_ = named(new QPlainTextEdit, "txtMESSAGE", QStringLiteral("Message"));
    tabLeaves(txtMESSAGE_);
    lblStatus_ = newsLabel(new QLabel(QString::fromLatin1(kPostStatusStart)), "lblStatus",
                           QStringLiteral("Status"));
    lblStatus_->setTextFormat(Qt::PlainText);
    auto* cmdPOST = named(new QPushButton(QStringLiteral("&Post Message")), "cmdPOST",
                          QStringLiteral("Post Message"));
    auto* cmdCANCEL =
        named(new QPushButton(QStringLiteral("Cancel")), "cmdCANCEL", QStringLiteral("Cancel"));
    auto* command1 =
        named(new QPushButton(QStringLiteral("&Help")), "Command1", QStringLiteral("Help"));
    auto* command2 = named(new QPushButton(QStringLiteral("HTML Preview")), "Command2",
                           QStringLiteral("HTML Preview"));

    auto* form = new QFormLayout;
    form->addRow(QStringLiteral("From:"), txtFROM_);
    form->addRow(QStringLiteral("Subject:"), txtSUBJECT_);
    auto* buttons = new QHBoxLayout;
    buttons->addWidget(cmdPOST);
    buttons->addWidget(command2);
    buttons->addStretch();
    buttons->addWidget(command1);
    buttons->addWidget(cmdCANCEL);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(title);
    layout->addLayout(form);
    layout->addWidget(txtMESSAGE_, 1);
    layout->addWidget(lblStatus_);
    layout->addLayout(buttons);
    resize(QSize(600, 460));

    connect(cmdPOST, &QPushButton::clicked, this, &PostWindow::post);
    connect(cmdCANCEL, &QPushButton::clicked, this, &QWidget::close);
    connect(command1, &QPushButton::clicked, this, &PostWindow::showHelp);
    connect(command2, &QPushButton::clicked, this,
            [this] { previewMessage(this, folder_, storedText(txtMESSAGE_->toPlainText())); });
    unsaved_ = new UnsavedChanges(
        this,
        [this] {
            return std::vector<std::string>{txtFROM_->text().toStdString(),
                                            txtSUBJECT_->text().toStdString(),
                                            txtMESSAGE_->toPlainText().toStdString()};
        },
        nullptr, QStringLiteral("Your message has not been posted. Close the window and lose it?"));
    new WindowKeys(this, nullptr);
    centreInBackdrop(this);
}

void PostWindow::closeEvent(QCloseEvent* event) {
    if (!unsaved_->mayClose()) {
        event->ignore();
        return;
    }
    event->accept();
}

void PostWindow::showPostStatus(const QString& text) {
    lblStatus_->setText(text);
    lblStatus_->repaint();
}

void PostWindow::post() {
    // How far the post reaches, before anything is queued.
    QString question = QString::fromLatin1(kPostQuestion);
    if (!listName_.empty()) {
        try {
            Database db = Database::open(databasePath(folder_));
            if (const std::int64_t members = db.memberCount(listName_); members > 0) {
                question =
                    QString::fromStdString(postReach(members, readSendLimits(folder_).dailyLimit)) +
                    QStringLiteral("\n\n") + question;
            }
        } catch (const std::exception&) {
            // The post itself reports a database that cannot be read.
        }
    }
    if (!MessageBox::question(this, question)) {
        return;
    }
    ListPost p;
    p.listName = listName_;
    p.footer = footer_;
    if (p.listName.empty()) {
        MessageBox::information(this, QString::fromLatin1(kSystemError));
        return;
    }
    p.from = txtFROM_->text().toStdString();
    p.subject = txtSUBJECT_->text().toStdString();
    p.message = storedText(txtMESSAGE_->toPlainText());

    SystemClock systemClock;
    const Clock& clock = gTestClock ? *gTestClock : static_cast<const Clock&>(systemClock);
    std::size_t queued = 0;
    std::string failure;
    // The window takes no input meanwhile, but keeps painting its status.
    setEnabled(false);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    try {
        Database db = Database::open(databasePath(folder_));
        queued = postToList(db, folder_, p, clock, [this](const std::string& email, std::size_t n) {
            if (n % kStatusEvery == 1) {
                showPostStatus(QString::fromLatin1(kPostingTo) + QString::fromStdString(email));
                QCoreApplication::processEvents(QEventLoop::ExcludeUserInputEvents);
            }
        });
    } catch (const std::exception& e) {
        failure = e.what();
    }
    QApplication::restoreOverrideCursor();
    setEnabled(true);
    if (!failure.empty()) {
        // The copies queued before the failure stay queued.
        MessageBox::information(
            this, QStringLiteral("The message could not be queued for every member (%1 queued); "
                                 "your message is kept.\n\n%2")
                      .arg(queued)
                      .arg(QString::fromStdString(failure)));
        return;
    }
    if (queued == 0) {
        MessageBox::information(this, QString::fromLatin1(kNoMessagesToSend));
        return;
    }
    MessageBox::information(this, QString::fromLatin1(kPostComplete));
    unsaved_->markSaved();
    close();
}

void PostWindow::showHelp() {
    vorel::showHelp(postHelp());
}

}  // namespace vorel
