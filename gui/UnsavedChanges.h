#pragma once

#include <QObject>
#include <QString>
#include <functional>
#include <string>
#include <vector>

class QWidget;

namespace vorel {

// The values of a window's fields as last loaded or saved; the window holds
// unsaved edits while its fields say otherwise. No Qt: the rule is the
// comparison.
class FieldSnapshot {
public:
    void take(std::vector<std::string> values) { taken_ = std::move(values); }
    bool differs(const std::vector<std::string>& now) const { return now != taken_; }

private:
    std::vector<std::string> taken_;
};

// Closing a window with unsaved edits asks first: Save / Discard / Cancel,
// or, for a window without a save of its own (`save` empty), Yes / No to
// losing them. The window calls mayClose() from its closeEvent.
class UnsavedChanges : public QObject {
    Q_OBJECT
public:
    using Values = std::function<std::vector<std::string>()>;
    // `save` returns whether the fields were stored.
    UnsavedChanges(QWidget* window, Values values, std::function<bool()> save, QString question);

    // The fields as they stand count as saved.
    void markSaved();
    bool changed() const;
    // True when the window may close (nothing to lose, saved or discarded).
    bool mayClose();

private:
    QWidget* window_;
    Values values_;
    std::function<bool()> save_;
    QString question_;
    FieldSnapshot snapshot_;
};

}  // namespace vorel
