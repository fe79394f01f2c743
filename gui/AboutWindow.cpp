#include "gui/AboutWindow.h"

#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include "gui/Shell.h"
#include "gui/Widgets.h"
#include "gui/WindowKeys.h"

namespace vorel {

QString AboutWindow::linkTarget(int index) {
    const QString site = QString::fromLatin1(kWebSite);
    switch (index) {
        case 0:
            return site;
        case 1:
            return site + QStringLiteral("updates.htm");
        case 2:
            return site + QStringLiteral("user_guide.htm");
        case 4:
            return site + QStringLiteral("contact_us.htm");
        default:
            return {};
    }
}

AboutWindow::AboutWindow(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmABOUT"));
    setWindowTitle(QStringLiteral("About"));
    setAttribute(Qt::WA_DeleteOnClose);

    auto* frame = new QGroupBox(QStringLiteral(" About Vorel"));
    frame->setObjectName(QStringLiteral("Frame1"));
    auto* picture1 = new QLabel;
    named(picture1, "Picture1", QStringLiteral("Vorel logo"));
    picture1->setPixmap(logoPixmap(96));
    auto* name =
        new QLabel(QStringLiteral("<b>Vorel</b><br>E-mail autoresponder and<br>"
                                  "mailing-list manager"));
    auto* top = new QHBoxLayout;
    top->addWidget(picture1);
    top->addWidget(name, 1);

    auto* heading = new QLabel(QStringLiteral("Vorel Website Links"));
    QFont bold = heading->font();
    bold.setBold(true);
    heading->setFont(bold);

    auto* links = new QVBoxLayout;
    const QString site = QString::fromLatin1(kWebSite);
    const std::pair<int, QString> buttons[] = {
        {0, QStringLiteral("&Vorel Website - ") + site},
        {1, QStringLiteral("&Check for updates")},
        {2, QStringLiteral("&User Manual")},
        {4, QStringLiteral("Con&tact Us")},  // Alt+C is "Check for updates"
    };
    for (const auto& [index, caption] : buttons) {
        auto* b = new QPushButton(caption);
        named(b, "cmdWEBSITELINK", caption);
        // One control array: the index chooses the page.
        b->setProperty("index", index);
        connect(b, &QPushButton::clicked, this,
                [this, index] { openPageOrSay(this, linkTarget(index)); });
        links->addWidget(b);
    }

    auto* command1 = new QPushButton;
    named(command1, "Command1", QStringLiteral("Partner web site"));
    command1->setIcon(logoIcon());
    command1->setIconSize(QSize(24, 24));
    command1->setToolTip(QStringLiteral("Partner web site"));
    connect(command1, &QPushButton::clicked, this,
            [this] { openPageOrSay(this, QString::fromLatin1(kPartnerSite)); });

    auto* inner = new QVBoxLayout(frame);
    inner->addLayout(top);
    inner->addSpacing(8);
    inner->addWidget(heading);
    inner->addLayout(links);

    auto* cmdOK = new QPushButton(QStringLiteral("&OK"));
    named(cmdOK, "cmdOK", cmdOK->text());
    cmdOK->setDefault(true);
    connect(cmdOK, &QPushButton::clicked, this, &QWidget::close);
    new WindowKeys(this, cmdOK);
    auto* bottom = new QHBoxLayout;
    bottom->addWidget(command1);
    bottom->addStretch();
    bottom->addWidget(cmdOK);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(frame);
    layout->addLayout(bottom);
    setFixedSize(sizeHint().expandedTo(QSize(380, 0)));
}

}  // namespace vorel
