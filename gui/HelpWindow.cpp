#include "gui/HelpWindow.h"

#include <QHBoxLayout>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/Widgets.h"
#include "gui/WindowKeys.h"

namespace vorel {

HelpWindow::HelpWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmVORELHELP"));
    setWindowTitle(QStringLiteral("Vorel Help"));
    setAttribute(Qt::WA_DeleteOnClose);

    txtHELP_ = new QPlainTextEdit;
    named(txtHELP_, "txtHELP", QStringLiteral("Vorel Help"));
    txtHELP_->setReadOnly(true);
    QFont f(QStringLiteral("Verdana"));
    f.setStyleHint(QFont::SansSerif);
    txtHELP_->setFont(f);

    auto* command1 = new QPushButton(QStringLiteral("&Close"));
    named(command1, "Command1", command1->text());
    connect(command1, &QPushButton::clicked, this, &QWidget::close);
    txtHELP_->setTabChangesFocus(true);
    new WindowKeys(this, command1);
    auto* bottom = new QHBoxLayout;
    bottom->addStretch();
    bottom->addWidget(command1);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(txtHELP_, 1);
    layout->addLayout(bottom);
    resize(520, 420);
}

void HelpWindow::setHelpText(const QString& text) {
    txtHELP_->setPlainText(text);
}

}  // namespace vorel
