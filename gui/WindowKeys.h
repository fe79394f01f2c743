#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>

class QAbstractButton;
class QPlainTextEdit;
class QWidget;

namespace vorel {

// The keys of a window that is not a dialog, as people expect them from one:
// Escape closes it (its closeEvent asks about unsaved edits), Enter presses
// the button that has the focus, the button tied to the field that has it,
// or else the default button.
class WindowKeys : public QObject {
    Q_OBJECT
public:
    // `defaultButton` may be null: Enter then presses only focused or tied
    // buttons.
    WindowKeys(QWidget* window, QAbstractButton* defaultButton, bool escapeCloses = true);

    // Enter in `field` presses `button` (Search beside its box).
    void tie(QWidget* field, QAbstractButton* button);

protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    QWidget* window_;
    QPointer<QAbstractButton> default_;
    bool escapeCloses_;
    QHash<QWidget*, QPointer<QAbstractButton>> tied_;
};

// Tab leaves the message box instead of typing a tab; Ctrl+Tab types one.
void tabLeaves(QPlainTextEdit* box);

}  // namespace vorel
