#include "gui/ButtonIcons.h"

#include <QPainter>
#include <QPainterPath>
#include <QPixmap>
#include <cmath>

namespace vorel {

namespace {

QColor discColour(ButtonIcon which) {
    switch (which) {
        case ButtonIcon::Setup:
            return QColor(0x1f, 0x8a, 0x70);
        case ButtonIcon::Autoresponders:
            return QColor(0x1f, 0x5f, 0xa8);
        case ButtonIcon::MailingLists:
            return QColor(0x7a, 0x4f, 0xb5);
        case ButtonIcon::RunMailer:
            return QColor(0x2e, 0x8b, 0x3a);
        case ButtonIcon::About:
            return QColor(0x2a, 0x6f, 0xc4);
        case ButtonIcon::Exit:
            return QColor(0xc0, 0x39, 0x2b);
        case ButtonIcon::Taskbar:
            return QColor(0xc2, 0x6a, 0x12);
    }
    return Qt::darkGray;
}

// The sign, on a 64 by 64 grid.
void drawSign(QPainter& p, ButtonIcon which) {
    QPen pen(Qt::white, 5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    p.setPen(pen);
    p.setBrush(Qt::NoBrush);
    switch (which) {
        case ButtonIcon::Setup: {  // a cog
            p.setBrush(Qt::white);
            p.setPen(Qt::NoPen);
            for (int i = 0; i < 8; ++i) {
                p.save();
                p.translate(32, 32);
                p.rotate(45.0 * i);
                p.drawRect(QRectF(-4, -21, 8, 10));
                p.restore();
            }
            p.drawEllipse(QPointF(32, 32), 14, 14);
            p.setBrush(discColour(which));
            p.drawEllipse(QPointF(32, 32), 6, 6);
            break;
        }
        case ButtonIcon::Autoresponders: {  // an envelope with a return arrow
            p.setPen(QPen(Qt::white, 3.5, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
            p.drawRoundedRect(QRectF(15, 18, 34, 24), 2, 2);
            p.drawPolyline(QPolygonF({QPointF(16, 20), QPointF(32, 32), QPointF(48, 20)}));
            QPainterPath back;
            back.moveTo(44, 50);
            back.cubicTo(38, 55, 26, 55, 20, 50);
            p.drawPath(back);
            p.drawPolyline(QPolygonF({QPointF(24, 46), QPointF(20, 50), QPointF(24, 54)}));
            break;
        }
        case ButtonIcon::MailingLists:  // lines of a list
            for (int row = 0; row < 3; ++row) {
                const qreal y = 21 + row * 11;
                p.drawPoint(QPointF(19, y));
                p.drawLine(QPointF(27, y), QPointF(46, y));
            }
            break;
        case ButtonIcon::RunMailer:  // play
            p.setBrush(Qt::white);
            p.drawPolygon(QPolygonF({QPointF(25, 18), QPointF(47, 32), QPointF(25, 46)}));
            break;
        case ButtonIcon::About:  // i
            p.setPen(QPen(Qt::white, 7, Qt::SolidLine, Qt::RoundCap));
            p.drawPoint(QPointF(32, 19));
            p.drawLine(QPointF(32, 29), QPointF(32, 46));
            break;
        case ButtonIcon::Exit: {  // power
            p.drawArc(QRectF(18, 19, 28, 28), 120 * 16, 300 * 16);
            p.drawLine(QPointF(32, 14), QPointF(32, 31));
            break;
        }
        case ButtonIcon::Taskbar:  // down onto a bar
            p.drawLine(QPointF(32, 15), QPointF(32, 37));
            p.drawPolyline(QPolygonF({QPointF(23, 29), QPointF(32, 38), QPointF(41, 29)}));
            p.drawLine(QPointF(19, 47), QPointF(45, 47));
            break;
    }
}

QPixmap buttonPixmap(ButtonIcon which, int size) {
    QPixmap pm(size, size);
    pm.fill(Qt::transparent);
    QPainter p(&pm);
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 64.0, size / 64.0);
    p.setPen(Qt::NoPen);
    p.setBrush(discColour(which));
    p.drawEllipse(QRectF(2, 2, 60, 60));
    drawSign(p, which);
    return pm;
}

}  // namespace

QIcon buttonIcon(ButtonIcon which) {
    QIcon icon;
    for (int s : {16, 24, 32, 48, 64}) {
        icon.addPixmap(buttonPixmap(which, s));
    }
    return icon;
}

}  // namespace vorel
