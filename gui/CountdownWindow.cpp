#include "gui/CountdownWindow.h"

#include <QCloseEvent>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/ValueLabel.h"
#include "gui/Widgets.h"

namespace vorel {

CountdownWindow::CountdownWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmCOUNTDOWN"));
    setWindowTitle(QStringLiteral("Vorel"));
    setWindowIcon(logoIcon());

    lblCOUNTDOWN_ = valueLabel("lblCOUNTDOWN", QStringLiteral("Countdown"), QString());
    QFont bold = lblCOUNTDOWN_->font();
    bold.setBold(true);
    lblCOUNTDOWN_->setFont(bold);
    auto* why = newsLabel(new QLabel(noTrayText()), "lblNOTRAY",
                          QStringLiteral("Why there is no tray icon"));
    why->setWordWrap(true);
    auto* restore = new QPushButton(QStringLiteral("&Restore"));
    named(restore, "cmdRESTORE", QStringLiteral("Restore"));
    connect(restore, &QPushButton::clicked, this, &CountdownWindow::restoreRequested);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch();
    buttons->addWidget(restore);
    auto* layout = new QVBoxLayout(this);
    layout->addWidget(lblCOUNTDOWN_);
    layout->addWidget(why);
    layout->addLayout(buttons);
}

const QString& CountdownWindow::noTrayText() {
    static const QString text = QStringLiteral(
        "This desktop has no system tray, so Vorel waits in this window instead of a tray icon.");
    return text;
}

void CountdownWindow::setCountdownText(const QString& text) {
    showValue(lblCOUNTDOWN_, text);
}

QString CountdownWindow::countdownText() const {
    return lblCOUNTDOWN_->text();
}

void CountdownWindow::closeEvent(QCloseEvent* event) {
    // Closing the only window left must not leave the program running unseen.
    event->accept();
    Q_EMIT restoreRequested();
}

}  // namespace vorel
