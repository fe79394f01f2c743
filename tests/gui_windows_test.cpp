// The windows as people use them: nothing typed is lost without a question,
// the keyboard reaches everything, and a screen reader hears every value.
#include <QAccessible>
#include <QApplication>
#include <QComboBox>
#include <QDateTime>
#include <QGroupBox>
#include <QKeySequence>
#include <QPointer>
#include <QStackedWidget>
#include <QTabBar>
#include <QTabWidget>
#include <QTimer>
#include <algorithm>
#include <map>

#include "gui/AboutWindow.h"
#include "gui/AutorespondersWindow.h"
#include "gui/CountdownWindow.h"
#include "gui/HelpWindow.h"
#include "gui/MailingListsWindow.h"
#include "gui/MembersWindow.h"
#include "gui/PostWindow.h"
#include "gui/SettingsWindow.h"
#include "gui_support.h"

namespace vorel {
namespace {

using test::click;
using test::control;
using test::q;
using test::texts;
using test::waitUntil;

// The tab page a widget sits on (its keys work only there), or null if always in sight.
const QWidget* pageOf(const QWidget* w) {
    for (; w; w = w->parentWidget()) {
        auto* stack = qobject_cast<const QStackedWidget*>(w->parentWidget());
        if (stack && qobject_cast<const QTabWidget*>(stack->parentWidget())) {
            return w;
        }
    }
    return nullptr;
}

// Controls of Qt's own inside a compound control are not the window's.
bool ownControl(const QWidget* w) {
    if (w->objectName().startsWith(QStringLiteral("qt_"))) {
        return false;
    }
    for (const QWidget* p = w->parentWidget(); p && !p->isWindow(); p = p->parentWidget()) {
        if (qobject_cast<const QComboBox*>(p) || qobject_cast<const QTabBar*>(p)) {
            return false;
        }
    }
    return w->focusPolicy() != Qt::NoFocus &&
           !qobject_cast<const QAbstractScrollArea*>(w->parentWidget() ? w->parentWidget() : w);
}

// Named labels as the last walk saw them: a new text under the old name is stale news.
struct SeenLabel {
    QPointer<QLabel> label;
    QString name, text;
};
std::vector<SeenLabel>& seenLabels() {
    static std::vector<SeenLabel> seen;
    return seen;
}

// What a screen reader or keyboard user trips over in `window`: a filler role, a label
// name hiding or lagging its value, a name or an access key used twice within reach.
QStringList accessProblems(QWidget* window) {
    QStringList problems;
    if (QAccessible::queryAccessibleInterface(window)->role() == QAccessible::Client) {
        problems << window->objectName() + QStringLiteral(" is a filler, not a window");
    }
    std::map<QString, QString> names;  // accessible name -> control
    std::vector<std::tuple<QKeySequence, const QWidget*, QString>> keys;
    auto key = [&](const QString& caption, const QWidget* w) {
        if (const QKeySequence k = QKeySequence::mnemonic(caption); !k.isEmpty()) {
            keys.emplace_back(k, pageOf(w), caption);
        }
    };
    std::function<void(QAccessibleInterface*)> walk = [&](QAccessibleInterface* node) {
        if (!node || !node->isValid()) {
            return;
        }
        auto* w = qobject_cast<QWidget*>(node->object());
        if (w && w != window && !w->isWindow()) {
            const QString name = node->text(QAccessible::Name);
            const QString id = w->objectName().isEmpty()
                                   ? QString::fromLatin1(w->metaObject()->className())
                                   : w->objectName();
            if (auto* label = qobject_cast<QLabel*>(w)) {
                if (!label->accessibleName().isEmpty() && !label->text().isEmpty() &&
                    !label->accessibleName().contains(label->text())) {
                    problems << id + QStringLiteral(": named \"") + label->accessibleName() +
                                    QStringLiteral("\" hides its value \"") + label->text() +
                                    QLatin1Char('"');
                }
                if (!label->accessibleName().isEmpty()) {
                    auto& seen = seenLabels();
                    auto at = std::find_if(seen.begin(), seen.end(),
                                           [&](const SeenLabel& s) { return s.label == label; });
                    if (at == seen.end()) {
                        seen.push_back({label, label->accessibleName(), label->text()});
                    } else if (at->text != label->text() && at->name == label->accessibleName()) {
                        problems << id + QStringLiteral(": still named \"") + at->name +
                                        QStringLiteral("\" after its text changed to \"") +
                                        label->text() + QLatin1Char('"');
                    } else {
                        *at = {label, label->accessibleName(), label->text()};
                    }
                }
                if (label->buddy()) {
                    key(label->text(), w);
                }
            } else if (auto* button = qobject_cast<QAbstractButton*>(w)) {
                key(button->text(), w);
            } else if (auto* group = qobject_cast<QGroupBox*>(w)) {
                key(group->title(), w);
            } else if (auto* tabs = qobject_cast<QTabWidget*>(w)) {
                for (int i = 0; i < tabs->count(); ++i) {
                    key(tabs->tabText(i), window);
                }
            }
            if ((qobject_cast<QAbstractButton*>(w) || qobject_cast<QListWidget*>(w)) &&
                ownControl(w) && (w->accessibleName().isEmpty() || w->objectName().isEmpty())) {
                problems << id + QStringLiteral(" lacks an object or an accessible name");
            }
            if (ownControl(w) && !name.isEmpty()) {
                auto [at, fresh] = names.emplace(name, id);
                if (!fresh) {
                    problems
                        << QStringLiteral("\"%1\" names both %2 and %3").arg(name, at->second, id);
                }
            }
        }
        for (int i = 0; i < node->childCount(); ++i) {
            walk(node->child(i));
        }
    };
    walk(QAccessible::queryAccessibleInterface(window));
    for (std::size_t i = 0; i < keys.size(); ++i) {
        for (std::size_t j = i + 1; j < keys.size(); ++j) {
            const auto& [k1, page1, text1] = keys[i];
            const auto& [k2, page2, text2] = keys[j];
            if (k1 == k2 && (page1 == page2 || !page1 || !page2)) {
                problems << QStringLiteral("%1 is both \"%2\" and \"%3\"")
                                .arg(k1.toString(), text1, text2);
            }
        }
    }
    if (window->windowTitle().isEmpty()) {
        problems << window->objectName() + QStringLiteral(" has no title");
    }
    return problems;
}

struct Windows : test::AppTest {
    Windows() { MessageBox::setStandingAnswer(MessageBox::Ok); }
    // Also: each window fits a 1024x768 screen at its default size.
    void expectClean(QWidget* w) {
        ASSERT_TRUE(w);
        EXPECT_TRUE(w->width() <= 1024 && w->height() <= 740) << w->objectName().toStdString();
        const QStringList found = accessProblems(w);
        EXPECT_TRUE(found.isEmpty()) << w->objectName().toStdString() << ":\n"
                                     << found.join(QLatin1Char('\n')).toStdString();
    }
    MailingListsWindow* lists() {
        click(app->mainForm(), "pctMAILINGLISTS");
        return app->mailingListsWindow();
    }
    void addList(const std::string& name, const std::string& to = "") {
        MailingList l;
        l.Name = name;
        l.onsubscribeto = to;
        l.Type = 1;
        f.db().addList(l);
    }
};

// Every window of the program at its default size, walked as a screen reader would.
TEST_F(Windows, EveryWindowNamesItsValuesAndControlsOnceWithUniqueAccessKeys) {
    addList("NEWS", "news@me.example");
    f.db().addMember({0, "NEWS", "ann@x.example", ""});
    const std::int64_t today = QDateTime::currentSecsSinceEpoch() / 86400;
    for (std::int64_t day = today - 2; day <= today; ++day) {
        f.db().recordBounce("ann@x.example", "NEWS", day);
    }
    f.settings.txtDIALUPWHEN = "30";
    start();
    expectClean(app->mainForm());
    expectClean(app->backdrop());
    expectClean(app->runWindow());
    // The countdown window (offscreen has no tray), walked again as it counts.
    app->goToTray();
    expectClean(app->countdownWindow());
    app->timer1Tick();
    app->timer1Tick();
    expectClean(app->countdownWindow());
    app->restoreFromTray();
    app->showAbout();
    expectClean(app->aboutWindow());
    helpStart();
    helpLine("help");
    helpShow();
    expectClean(app->helpWindow());
    app->showSetup();
    SettingsWindow* s = app->settingsWindow();
    expectClean(s);
    s->resize(s->minimumSizeHint());  // every tab shows at its smallest
    test::pause(50);
    QTabBar* bar = s->tabs()->tabBar();
    EXPECT_LE(bar->tabRect(s->tabs()->count() - 1).right(), bar->width());
    // The sign-in state after a sign-in that cannot start.
    control<QComboBox>(app->settingsWindow(), "cmbLOGINMETHOD")->setCurrentIndex(2);
    click(app->settingsWindow(), "cmdSIGNIN");
    expectClean(app->settingsWindow());
    MessageBox::setNextAnswer(MessageBox::Discard);
    app->settingsWindow()->close();
    ASSERT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));
    app->showAutoresponders();
    expectClean(app->autorespondersWindow());
    app->autorespondersWindow()->close();
    ASSERT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));
    MailingListsWindow* l = lists();
    expectClean(l);
    control<QListWidget>(l, "lstMAILING")->setCurrentRow(0);
    click(l, "cmdPOSTMESSAGE");
    expectClean(l->postWindow());
    click(l, "cmdVEWILIST");
    expectClean(l->membersWindow());
    // Held, then released: the count is heard either way.
    click(l->membersWindow(), "cmdRELEASE");
    expectClean(l->membersWindow());
    ImportStatusWindow status;
    expectClean(&status);
}

// Closing with edits asks: Cancel keeps the typing, Discard writes nothing, Save stores it.
TEST_F(Windows, ClosingOrEndingWithUnsavedEditsAsksSaveDiscardOrCancel) {
    addList("NEWS");
    start();
    struct Editor {
        const char* name;
        std::function<QWidget*()> open;
        const char* field;
        std::function<bool()> stored;
    };
    const Editor editors[] = {
        {"settings",
         [&] {
             app->showSetup();
             return static_cast<QWidget*>(app->settingsWindow());
         },
         "txtPOP", [&] { return f.folder.read("setup.ini").find("typed") != std::string::npos; }},
        {"autoresponders",
         [&] {
             app->showAutoresponders();
             return static_cast<QWidget*>(app->autorespondersWindow());
         },
         "txtNAME", [&] { return f.db().findAutoresponder("typed").has_value(); }},
        {"lists",
         [&] {
             MailingListsWindow* l = lists();
             control<QListWidget>(l, "lstMAILING")->setCurrentRow(0);
             return static_cast<QWidget*>(l);
         },
         "txtSUBSCRIBETO", [&] { return f.db().findList("NEWS")->onsubscribeto == "typed"; }},
    };
    // Unchanged (Ok here) an editor closes without a word; typed, Cancel keeps it open.
    for (const Editor& e : editors) {
        for (const MessageBox::Answer answer :
             {MessageBox::Ok, MessageBox::Discard, MessageBox::Save}) {
            SCOPED_TRACE(std::string(e.name) + " " + std::to_string(answer));
            QPointer<QWidget> w = e.open();
            ASSERT_TRUE(w);
            const qsizetype before = MessageBox::answeredTexts().size();
            if (answer != MessageBox::Ok) {
                control<QLineEdit>(w, e.field)->setText(QStringLiteral("typed"));
                MessageBox::setNextAnswer(MessageBox::Cancel);
                // Escape closes the way the close box does.
                QTest::keyClick(control<QLineEdit>(w, e.field), Qt::Key_Escape);
                ASSERT_FALSE(w.isNull());
                EXPECT_EQ(control<QLineEdit>(w, e.field)->text(), QStringLiteral("typed"));
                MessageBox::setNextAnswer(answer);
            }
            w->close();
            ASSERT_TRUE(waitUntil([&] { return w.isNull(); }));
            const QStringList said = MessageBox::answeredTexts().mid(before);
            EXPECT_EQ(said.isEmpty(), answer == MessageBox::Ok);
            EXPECT_TRUE(said.isEmpty() || said.value(1).contains(QStringLiteral("not saved")));
            EXPECT_EQ(e.stored(), answer == MessageBox::Save);
            ASSERT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));
        }
    }
    // The background window's close box ends the program only after the
    // editors with unsaved edits had their say.
    app->showAutoresponders();
    QPointer<QWidget> w = app->autorespondersWindow();
    EXPECT_TRUE(app->backdrop()->windowsLetGo());  // nothing typed
    control<QLineEdit>(w, "txtNAME")->setText(QStringLiteral("unsaved"));
    MessageBox::setNextAnswer(MessageBox::Cancel);
    EXPECT_FALSE(app->backdrop()->windowsLetGo());
    EXPECT_FALSE(w.isNull());
    MessageBox::setNextAnswer(MessageBox::Discard);
    EXPECT_TRUE(app->backdrop()->windowsLetGo());
    EXPECT_FALSE(f.db().findAutoresponder("unsaved"));
}

// The arrow keys choose a list; the post window's message box leaves on Tab,
// types a tab on Ctrl+Tab and asks before Cancel drops it; "Add New" leaves no
// list chosen; a list whose requests overlap is saved with a warning.
TEST_F(Windows, ListEditorKeysThePostWindowAndTheOverlapWarning) {
    addList("ALPHA", "alpha@me.example");
    addList("BETA", "beta@me.example");
    start();
    MailingListsWindow* l = lists();
    QApplication::setActiveWindow(l);
    auto* names = control<QListWidget>(l, "lstMAILING");
    auto* name = control<QLineEdit>(l, "txtNAME");
    names->setFocus();
    QTest::keyClick(names, Qt::Key_Down);
    QTest::keyClick(names, Qt::Key_Up);
    EXPECT_EQ(name->text(), QStringLiteral("ALPHA"));
    QTest::keyClick(names, Qt::Key_Down);
    EXPECT_EQ(name->text(), QStringLiteral("BETA"));
    EXPECT_EQ(control<QLineEdit>(l, "txtSUBSCRIBETO")->text(), QStringLiteral("beta@me.example"));

    click(l, "cmdPOSTMESSAGE");
    QPointer<PostWindow> p = l->postWindow();
    auto* message = control<QPlainTextEdit>(p, "txtMESSAGE");
    QApplication::setActiveWindow(p);
    message->setFocus();
    QTest::keyClick(message, Qt::Key_A);
    QTest::keyClick(message, Qt::Key_Tab, Qt::ControlModifier);
    EXPECT_EQ(message->toPlainText(), QStringLiteral("a\t"));
    QTest::keyClick(message, Qt::Key_Tab);
    EXPECT_FALSE(message->hasFocus());
    MessageBox::setNextAnswer(MessageBox::No);
    EXPECT_EQ(test::press(p, "cmdCANCEL").size(), 1);
    ASSERT_FALSE(p.isNull());
    MessageBox::setNextAnswer(MessageBox::Yes);
    click(p, "cmdCANCEL");
    EXPECT_TRUE(waitUntil([&] { return p.isNull(); }));

    MessageBox::setNextAnswer(MessageBox::Discard);
    click(l, "cmdADDNEW");
    EXPECT_TRUE(names->selectedItems().isEmpty());
    EXPECT_EQ(names->currentRow(), -1);
    EXPECT_TRUE(name->text().isEmpty());
    name->setText(QStringLiteral("NEWS"));
    for (const char* box : {"txtSUBSCRIBETO", "txtUNSUBSCRIBETO"}) {
        control<QLineEdit>(l, box)->setText(QStringLiteral("news@me.example"));
    }
    const QStringList said = test::press(l, "cmdSAVE");
    ASSERT_EQ(said.size(), 2);
    EXPECT_TRUE(
        said[1].startsWith(QStringLiteral("Warning: subscribe and unsubscribe both match "
                                          "the To address \"news@me.example\"")));
    control<QLineEdit>(l, "txtUNSUBSCRIBETO")->clear();
    EXPECT_EQ(test::press(l, "cmdSAVE").size(), 1);
}

// A run without setup.ini says so once; the status line then rests at "Vorel is inactive".
TEST_F(Windows, RunWithoutSetupSaysSoOnceAndTheStatusLineRests) {
    app = std::make_unique<AppWindows>(f.folder.path(), std::vector<std::string>{});
    app->setTickInterval(3600 * 1000);
    app->start();
    app->runMailer();
    ASSERT_TRUE(waitUntil([&] { return !app->running(); }));
    EXPECT_EQ(MessageBox::answeredTexts(),
              texts("Please set up your email system first!, using SETUP"));
    EXPECT_TRUE(waitUntil(
        [&] {
            return app->backdrop()->statusLabel()->text() == QStringLiteral("Vorel is inactive");
        },
        8000));
}

TEST_F(Windows, AccessKeysAndEnterPressTheButtons) {
    start();
    QApplication::setActiveWindow(app->mainForm());
    QTest::keyClick(app->mainForm(), Qt::Key_S, Qt::AltModifier);
    ASSERT_TRUE(waitUntil([&] { return app->settingsWindow() != nullptr; }, 2000));
    SettingsWindow* s = app->settingsWindow();
    // It takes the main window's place, which comes back with the new interval.
    EXPECT_TRUE(s->isVisible() && !app->mainForm()->isVisible());
    control<QLineEdit>(s, "txtDIALUPWHEN")->setText(QStringLiteral("60"));
    // Enter in a field presses Ok.
    QTest::keyClick(control<QLineEdit>(s, "txtTIMEOUT"), Qt::Key_Return);
    ASSERT_TRUE(waitUntil([&] { return app->settingsWindow() == nullptr; }));
    ASSERT_TRUE(waitUntil([&] { return app->mainForm()->isVisible(); }));
    EXPECT_TRUE(app->backdrop()->timer()->isActive());
    EXPECT_EQ(app->countdown().interval(), 60);
    auto* about = control<QAbstractButton>(app->mainForm(), "Picture4");
    about->setFocus();
    QTest::keyClick(about, Qt::Key_Return);
    EXPECT_TRUE(app->aboutWindow() && app->aboutWindow()->isVisible());
}

}  // namespace
}  // namespace vorel
