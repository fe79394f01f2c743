#include "gui/WindowRunHost.h"

#include <QLabel>
#include <QMetaObject>

#include "gui/MessageBox.h"
#include "gui/RunMailWindow.h"

namespace vorel {

namespace {

QString qs(const std::string& text) {
    return QString::fromStdString(text);
}

}  // namespace

WindowRunHost::WindowRunHost(RunRequestBox& requests, RunMailWindow* window, QLabel* status)
    : requests_(requests), window_(window), status_(status) {}

void WindowRunHost::setStatus(const std::string& text) {
    QLabel* label = status_;
    QMetaObject::invokeMethod(
        label, [label, t = qs(text)] { label->setText(t); }, Qt::QueuedConnection);
}

void WindowRunHost::addLogEntry(const std::string& text) {
    if (RunMailWindow* w = window_) {
        QMetaObject::invokeMethod(
            w, [w, t = qs(text)] { w->addLogEntry(t); }, Qt::QueuedConnection);
    }
}

void WindowRunHost::addDebugLine(const std::string& text) {
    if (RunMailWindow* w = window_) {
        QMetaObject::invokeMethod(
            w, [w, t = qs(text)] { w->addDebugLine(t); }, Qt::QueuedConnection);
    }
}

void WindowRunHost::clearDebugLines() {
    if (RunMailWindow* w = window_) {
        QMetaObject::invokeMethod(
            w, [w] { w->clearDebugLines(); }, Qt::QueuedConnection);
    }
}

void WindowRunHost::setDebugModeBox(bool ticked) {
    if (RunMailWindow* w = window_) {
        QMetaObject::invokeMethod(
            w, [w, ticked] { w->setDebugModeBox(ticked); }, Qt::QueuedConnection);
    }
}

void WindowRunHost::showMessage(const std::string& text) {
    RunMailWindow* w = window_;
    if (!w || closing_) {
        return;
    }
    QMetaObject::invokeMethod(
        w,
        [this, w, t = qs(text)] {
            if (!closing_) {
                MessageBox::information(w->isVisible() ? w : w->parentWidget(), t);
            }
        },
        Qt::BlockingQueuedConnection);
}

bool WindowRunHost::askYesNo(const std::string& text) {
    RunMailWindow* w = window_;
    if (!w || closing_) {
        return false;
    }
    bool yes = false;
    QMetaObject::invokeMethod(
        w,
        [this, w, t = qs(text), &yes] {
            yes = !closing_ && MessageBox::question(w->isVisible() ? w : w->parentWidget(), t);
        },
        Qt::BlockingQueuedConnection);
    return yes;
}

RunRequests WindowRunHost::yield() {
    RunRequests asked = requests_.take();
    if (closing_) {
        asked.stop = true;
    }
    return asked;
}

void WindowRunHost::closing() {
    closing_ = true;
}

}  // namespace vorel
