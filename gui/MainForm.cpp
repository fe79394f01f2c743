#include "gui/MainForm.h"

#include <QCloseEvent>
#include <QGridLayout>
#include <QLabel>
#include <QToolButton>
#include <QVBoxLayout>

#include "gui/ButtonIcons.h"
#include "gui/ValueLabel.h"
#include "gui/Widgets.h"
#include "gui/WindowKeys.h"

namespace vorel {

namespace {

QToolButton* pictureButton(const char* name, const QString& caption, ButtonIcon icon) {
    auto* b = new QToolButton;
    named(b, name, caption);
    b->setIcon(buttonIcon(icon));
    b->setIconSize(QSize(32, 32));
    b->setAutoRaise(false);
    b->setFixedSize(48, 48);
    return b;
}

}  // namespace

MainForm::MainForm(QWidget* parent) : QWidget(parent, Qt::Window) {
    setObjectName(QStringLiteral("frmMAINFORM"));
    setWindowTitle(QStringLiteral("Vorel Mailing List Manager"));

    auto* hint = new QLabel(QStringLiteral("New  users start at the top and work doiwn!"));
    hint->setObjectName(QStringLiteral("lblHINT"));
    QFont bold = hint->font();
    bold.setBold(true);
    hint->setFont(bold);

    struct Row {
        const char* button;
        const char* label;
        QString caption;  // with its access key
        ButtonIcon icon;
    };
    const Row rows[] = {
        {"cmdSETUP", "Label1", QStringLiteral("&Setup your system"), ButtonIcon::Setup},
        {"cmdAUTORESPONDER", "Label2", QStringLiteral("&Auto Responders"),
         ButtonIcon::Autoresponders},
        {"pctMAILINGLISTS", "Label3", QStringLiteral("&Mailing Lists"), ButtonIcon::MailingLists},
        {"Picture2", "Label4", QStringLiteral("&Run Mailer"), ButtonIcon::RunMailer},
        {"Picture4", "Label5", QStringLiteral("A&bout Vorel"), ButtonIcon::About},
        {"Picture3", "Label6", QStringLiteral("E&xit System"), ButtonIcon::Exit},
        {"Picture5", "Label8", QStringLiteral("Run in the &Tray"), ButtonIcon::Taskbar},
    };
    auto* grid = new QGridLayout;
    grid->setHorizontalSpacing(12);
    QToolButton* buttons[7];
    ClickLabel* labels[7];
    for (int i = 0; i < 7; ++i) {
        buttons[i] = pictureButton(rows[i].button, rows[i].caption, rows[i].icon);
        // The caption's access key presses its button.
        labels[i] = new ClickLabel(rows[i].caption);
        labels[i]->setBuddy(buttons[i]);
        labels[i]->setObjectName(QString::fromLatin1(rows[i].label));
        grid->addWidget(buttons[i], i, 0);
        grid->addWidget(labels[i], i, 1);
    }
    grid->setColumnStretch(1, 1);

    auto* lbl1 = new ClickLabel(QStringLiteral("www.vorel.example"));
    named(lbl1, "lbl1", QStringLiteral("Vorel web site ") + lbl1->text());
    lbl1->setToolTip(QStringLiteral("Double-click to visit the Vorel web site"));
    lblVERSION_ = valueLabel("lblVERSION", QStringLiteral("Version"), QString());

    auto* foot = new QHBoxLayout;
    foot->addWidget(lbl1);
    foot->addStretch();
    foot->addWidget(lblVERSION_);

    auto* layout = new QVBoxLayout(this);
    layout->addWidget(hint);
    layout->addSpacing(6);
    layout->addLayout(grid);
    layout->addSpacing(6);
    layout->addLayout(foot);
    setFixedSize(sizeHint().expandedTo(QSize(360, 0)));

    connect(buttons[0], &QToolButton::clicked, this, &MainForm::setupClicked);
    connect(buttons[1], &QToolButton::clicked, this, &MainForm::autorespondersClicked);
    connect(buttons[2], &QToolButton::clicked, this, &MainForm::mailingListsClicked);
    connect(buttons[3], &QToolButton::clicked, this, &MainForm::runMailerClicked);
    // The about window opens as the mouse goes down, exit acts as it goes up.
    connect(buttons[4], &QToolButton::pressed, this, &MainForm::aboutPressed);
    connect(buttons[5], &QToolButton::clicked, this, &MainForm::exitClicked);
    connect(buttons[6], &QToolButton::clicked, this, &MainForm::taskbarClicked);
    connect(labels[6], &ClickLabel::clicked, this, &MainForm::taskbarClicked);
    connect(lbl1, &ClickLabel::doubleClicked, this, &MainForm::webSiteDoubleClicked);
    // Enter presses the button in focus as Space does; Escape does not close
    // the main window (Exit System asks first).
    new WindowKeys(this, nullptr, false);
}

void MainForm::setVersionText(const QString& text) {
    showValue(lblVERSION_, text);
}

void MainForm::closeEvent(QCloseEvent* event) {
    // The main window's own close box is the way out, like Exit System; a
    // close passed on by the background window as the program ends is not.
    if (event->spontaneous()) {
        event->ignore();
        Q_EMIT exitClicked();
        return;
    }
    event->accept();
}

}  // namespace vorel
