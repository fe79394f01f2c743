#include "gui/UnsavedChanges.h"

#include <QWidget>

#include "gui/MessageBox.h"

namespace vorel {

UnsavedChanges::UnsavedChanges(QWidget* window, Values values, std::function<bool()> save,
                               QString question)
    : QObject(window),
      window_(window),
      values_(std::move(values)),
      save_(std::move(save)),
      question_(std::move(question)) {
    markSaved();
}

void UnsavedChanges::markSaved() {
    snapshot_.take(values_());
}

bool UnsavedChanges::changed() const {
    return snapshot_.differs(values_());
}

bool UnsavedChanges::mayClose() {
    if (!changed()) {
        return true;
    }
    if (!save_) {
        return MessageBox::question(window_, question_);
    }
    switch (MessageBox::saveDiscardCancel(window_, question_)) {
        case MessageBox::Save:
            // A save that failed said why; the window stays with the edits.
            return save_() && !changed();
        case MessageBox::Discard:
            return true;
        default:
            return false;
    }
}

}  // namespace vorel
