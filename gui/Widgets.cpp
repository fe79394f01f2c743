#include "gui/Widgets.h"

#include <QAccessibleWidget>
#include <QCoreApplication>
#include <QDialog>
#include <QGuiApplication>
#include <QIcon>
#include <QMainWindow>
#include <QMouseEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <QScreen>
#include <algorithm>

namespace vorel {

namespace {

// A window of ours made from a plain QWidget would be a "filler" to a screen
// reader, which then does not announce it as a window when it opens.
QAccessibleInterface* windowRole(const QString& className, QObject* object) {
    auto* w = qobject_cast<QWidget*>(object);
    if (!w || !w->isWindow() || !className.startsWith(QLatin1String("vorel::")) ||
        qobject_cast<QMainWindow*>(w) || qobject_cast<QDialog*>(w)) {
        return nullptr;
    }
    return new QAccessibleWidget(w, QAccessible::Window);
}

void installWindowRole() {
    QAccessible::installFactory(windowRole);
}

}  // namespace

Q_COREAPP_STARTUP_FUNCTION(installWindowRole)

void ClickLabel::mouseReleaseEvent(QMouseEvent* event) {
    QLabel::mouseReleaseEvent(event);
    if (event->button() == Qt::LeftButton && rect().contains(event->position().toPoint())) {
        Q_EMIT clicked();
    }
}

void ClickLabel::mouseDoubleClickEvent(QMouseEvent* event) {
    QLabel::mouseDoubleClickEvent(event);
    Q_EMIT doubleClicked();
}

void centreIn(QWidget* window, const QRect& area) {
    const QSize frame = window->frameGeometry().size();
    int x = area.left() + std::max(0, (area.width() - frame.width()) / 2);
    int y = area.top() + std::max(0, (area.height() - frame.height()) / 2);
    // Never partly off the screen: an enlarged window moves back into it,
    // keeping its title bar in sight when it is larger than the screen.
    QScreen* screen = QGuiApplication::screenAt(area.center());
    if (!screen) {
        screen = window->screen();
    }
    if (screen) {
        const QRect avail = screen->availableGeometry();
        x = std::max(avail.left(), std::min(x, avail.right() + 1 - frame.width()));
        y = std::max(avail.top(), std::min(y, avail.bottom() + 1 - frame.height()));
    }
    window->move(x, y);
}

// The same drawing as data/vorel.svg: an envelope on a blue disc with a
// return arrow.
QPixmap logoPixmap(int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setPen(Qt::NoPen);
    p.setBrush(QColor(0x1f, 0x5f, 0xa8));
    p.drawEllipse(QRectF(2, 2, 60, 60));
    p.setBrush(Qt::white);
    p.drawRoundedRect(QRectF(13, 20, 38, 26), 3, 3);
    QPen fold(QColor(0x1f, 0x5f, 0xa8), 3);
    fold.setJoinStyle(Qt::RoundJoin);
    p.setPen(fold);
    p.setBrush(Qt::NoBrush);
    p.drawPolyline(QPolygonF({QPointF(14, 22), QPointF(32, 35), QPointF(50, 22)}));
    QPen arrow(QColor(0xf2, 0xb1, 0x1a), 4);
    arrow.setCapStyle(Qt::RoundCap);
    arrow.setJoinStyle(Qt::RoundJoin);
    p.setPen(arrow);
    QPainterPath back;
    back.moveTo(46, 52);
    back.cubicTo(40, 57, 26, 57, 20, 52);
    p.drawPath(back);
    p.drawPolyline(QPolygonF({QPointF(25, 48), QPointF(20, 52), QPointF(25, 56)}));
    return pm;
}

QIcon logoIcon() {
    QIcon icon;
    for (int s : {16, 22, 32, 48, 64, 128}) {
        icon.addPixmap(logoPixmap(s));
    }
    return icon;
}

}  // namespace vorel
