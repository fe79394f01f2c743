#include "gui/WindowKeys.h"

#include <QAbstractButton>
#include <QApplication>
#include <QKeyEvent>
#include <QPlainTextEdit>
#include <QWidget>

namespace vorel {

namespace {

bool isEnter(const QKeyEvent* key) {
    return (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter) &&
           (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
}

// Types a tab on Ctrl+Tab, which would otherwise move between tabs.
class CtrlTabTypes : public QObject {
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject* watched, QEvent* event) override {
        if (event->type() == QEvent::KeyPress || event->type() == QEvent::ShortcutOverride) {
            auto* key = static_cast<QKeyEvent*>(event);
            if (key->key() == Qt::Key_Tab && key->modifiers() == Qt::ControlModifier) {
                if (event->type() == QEvent::KeyPress) {
                    auto* box = static_cast<QPlainTextEdit*>(watched);
                    if (!box->isReadOnly()) {
                        box->insertPlainText(QStringLiteral("\t"));
                    }
                }
                event->accept();
                return true;
            }
        }
        return QObject::eventFilter(watched, event);
    }
};

}  // namespace

WindowKeys::WindowKeys(QWidget* window, QAbstractButton* defaultButton, bool escapeCloses)
    : QObject(window), window_(window), default_(defaultButton), escapeCloses_(escapeCloses) {
    // Key presses that no control took come up to the window.
    window->installEventFilter(this);
}

void WindowKeys::tie(QWidget* field, QAbstractButton* button) {
    tied_.insert(field, button);
}

bool WindowKeys::eventFilter(QObject* watched, QEvent* event) {
    if (watched != window_ || event->type() != QEvent::KeyPress) {
        return QObject::eventFilter(watched, event);
    }
    auto* key = static_cast<QKeyEvent*>(event);
    if (key->key() == Qt::Key_Escape && key->modifiers() == Qt::NoModifier && escapeCloses_) {
        window_->close();
        return true;
    }
    if (!isEnter(key)) {
        return QObject::eventFilter(watched, event);
    }
    QWidget* focus = window_->focusWidget();
    QAbstractButton* target = nullptr;
    auto* button = qobject_cast<QAbstractButton*>(focus);
    if (button && !button->isCheckable()) {
        target = button;
    } else if (focus && tied_.contains(focus)) {
        target = tied_.value(focus);
    } else {
        target = default_;
    }
    if (target && target->isEnabled() && target->isVisible()) {
        target->click();
        return true;
    }
    return QObject::eventFilter(watched, event);
}

void tabLeaves(QPlainTextEdit* box) {
    box->setTabChangesFocus(true);
    box->installEventFilter(new CtrlTabTypes(box));
}

}  // namespace vorel
