#pragma once

#include <QLabel>
#include <QString>
#include <QWidget>

namespace vorel {

// Object name (the system's control name) and accessible name (its caption
// or label, without the access-key marks) in one go.
template <typename W>
W* named(W* widget, const char* objectName, QString accessibleName) {
    widget->setObjectName(QString::fromLatin1(objectName));
    accessibleName.remove(QLatin1Char('&'));
    widget->setAccessibleName(accessibleName);
    return widget;
}

// A label that can be clicked or double-clicked, as picture-button captions
// and links are.
class ClickLabel : public QLabel {
    Q_OBJECT
public:
    using QLabel::QLabel;

Q_SIGNALS:
    void clicked();
    void doubleClicked();

protected:
    void mouseReleaseEvent(QMouseEvent* event) override;
    void mouseDoubleClickEvent(QMouseEvent* event) override;
};

// Moves a window to the middle of `area` (global coordinates), never above or
// left of it, and inside the screen's available area.
void centreIn(QWidget* window, const QRect& area);

// The product's logo, drawn at any size (the window icon and the about picture).
QPixmap logoPixmap(int size);
QIcon logoIcon();

}  // namespace vorel
