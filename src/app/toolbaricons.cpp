#include "app/toolbaricons.h"

#include <QPainter>
#include <QPainterPathStroker>
#include <QPixmap>
#include <QTransform>

#include <cmath>

namespace vrn {

namespace {

constexpr qreal kStroke = 1.9;

QPainterPath outline(const QPainterPath &stroke)
{
    QPainterPathStroker stroker;
    stroker.setWidth(kStroke);
    stroker.setCapStyle(Qt::RoundCap);
    stroker.setJoinStyle(Qt::RoundJoin);
    return stroker.createStroke(stroke);
}

// An arc of a circle as an open path, angles in degrees counter-clockwise from three o'clock.
QPainterPath arc(QPointF centre, qreal radius, qreal startDeg, qreal sweepDeg)
{
    QPainterPath path;
    const QRectF box(centre.x() - radius, centre.y() - radius, 2 * radius, 2 * radius);
    path.arcMoveTo(box, startDeg);
    path.arcTo(box, startDeg, sweepDeg);
    return path;
}

// A filled triangular arrow head with its tip at `tip`, pointing along `angleDeg`.
QPainterPath arrowHead(QPointF tip, qreal angleDeg, qreal size = 4.2)
{
    const qreal a = qDegreesToRadians(angleDeg);
    const QPointF back(tip.x() - size * std::cos(a), tip.y() + size * std::sin(a));
    const QPointF side(size * 0.62 * std::sin(a), size * 0.62 * std::cos(a));
    QPainterPath head;
    head.moveTo(tip);
    head.lineTo(back + side);
    head.lineTo(back - side);
    head.closeSubpath();
    return head;
}

} // namespace

QPainterPath toolbarGlyphPath(ToolbarGlyph glyph)
{
    QPainterPath stroke;
    QPainterPath fill;
    switch (glyph) {
    case ToolbarGlyph::Open:
        stroke.moveTo(3, 19);
        stroke.lineTo(3, 5.5);
        stroke.lineTo(9, 5.5);
        stroke.lineTo(11, 8);
        stroke.lineTo(19, 8);
        stroke.lineTo(19, 10.5);
        stroke.moveTo(3, 19);
        stroke.lineTo(6.5, 11);
        stroke.lineTo(22, 11);
        stroke.lineTo(18.5, 19);
        stroke.closeSubpath();
        break;
    case ToolbarGlyph::Reload:
        stroke = arc(QPointF(12, 12.5), 7, 60, 290);
        fill = arrowHead(QPointF(18.3, 8.0), -30);
        break;
    case ToolbarGlyph::Save:
        stroke.addRoundedRect(QRectF(4, 4, 16, 16), 1.5, 1.5);
        stroke.addRect(QRectF(8, 4, 8, 5));
        stroke.addRect(QRectF(7, 13, 10, 7));
        fill.addRect(QRectF(13, 5, 2, 3));
        break;
    case ToolbarGlyph::RevertAll:
        stroke.moveTo(5, 10);
        stroke.lineTo(15, 10);
        stroke.cubicTo(22, 10, 22, 20, 15, 20);
        stroke.lineTo(9, 20);
        fill = arrowHead(QPointF(3.2, 10), 180);
        stroke.moveTo(5, 4.5);
        stroke.lineTo(11, 4.5);
        fill.addPath(arrowHead(QPointF(3.2, 4.5), 180, 3.4));
        break;
    case ToolbarGlyph::Undo:
    case ToolbarGlyph::Redo:
        // A hooked arrow; Redo is its mirror image.
        stroke.moveTo(6, 10);
        stroke.lineTo(14, 10);
        stroke.cubicTo(21, 10, 21, 19, 14, 19);
        stroke.lineTo(9, 19);
        fill = arrowHead(QPointF(3.5, 10), 180);
        if (glyph == ToolbarGlyph::Redo) {
            QTransform mirror(-1, 0, 0, 1, 24, 0);
            stroke = mirror.map(stroke);
            fill = mirror.map(fill);
        }
        break;
    case ToolbarGlyph::FindModule:
        stroke.addEllipse(QPointF(10, 10), 6, 6);
        stroke.moveTo(14.5, 14.5);
        stroke.lineTo(20.5, 20.5);
        fill.addRect(QRectF(8, 8, 4, 4));
        break;
    case ToolbarGlyph::Backups:
        stroke.addRoundedRect(QRectF(8, 3.5, 12, 14), 1.2, 1.2);
        stroke.moveTo(5, 7);
        stroke.lineTo(5, 20.5);
        stroke.lineTo(15.5, 20.5);
        stroke.moveTo(11, 8);
        stroke.lineTo(17, 8);
        stroke.moveTo(11, 11.5);
        stroke.lineTo(17, 11.5);
        break;
    case ToolbarGlyph::Restore:
        stroke = arc(QPointF(13, 12), 8, 200, -320);
        fill = arrowHead(QPointF(4.2, 10.8), 250);
        stroke.moveTo(13, 7.5);
        stroke.lineTo(13, 12);
        stroke.lineTo(16.5, 14);
        break;
    case ToolbarGlyph::Theme:
        stroke.addEllipse(QPointF(12, 12), 8, 8);
        fill.moveTo(12, 4);
        fill.arcTo(QRectF(4, 4, 16, 16), 90, -180);
        fill.closeSubpath();
        break;
    case ToolbarGlyph::About:
        stroke.addEllipse(QPointF(12, 12), 8.5, 8.5);
        stroke.moveTo(12, 11);
        stroke.lineTo(12, 16.5);
        fill.addEllipse(QPointF(12, 7.6), 1.3, 1.3);
        break;
    }
    QPainterPath glyphPath = outline(stroke);
    glyphPath.addPath(fill);
    glyphPath.setFillRule(Qt::WindingFill);
    return glyphPath;
}

QIcon toolbarIcon(ToolbarGlyph glyph, const QColor &normal, const QColor &disabled, int pixels,
                  qreal devicePixelRatio)
{
    const QPainterPath path = toolbarGlyphPath(glyph);
    auto render = [&](const QColor &colour) {
        QPixmap pixmap(pixels, pixels);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setRenderHint(QPainter::Antialiasing);
        painter.scale(pixels / 24.0, pixels / 24.0);
        painter.fillPath(path, colour);
        painter.end();
        pixmap.setDevicePixelRatio(devicePixelRatio);
        return pixmap;
    };
    QIcon icon;
    const QPixmap normalPixmap = render(normal);
    icon.addPixmap(normalPixmap, QIcon::Normal);
    icon.addPixmap(normalPixmap, QIcon::Active);
    icon.addPixmap(render(disabled), QIcon::Disabled);
    return icon;
}

} // namespace vrn
