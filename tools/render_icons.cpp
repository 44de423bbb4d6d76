// Draws the program icon at every size the window icon uses and writes
// resources/icons/vrne-<size>.png. Run again after changing the drawing.
#include <QCoreApplication>
#include <QDir>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>

#include <cstdio>

namespace {

// The icon on a 512-unit canvas: a night-sky tile, an orbit, a few stars and a bold amber V
// whose right stroke ends in a pen nib (an editor for an astronomy program's settings).
void drawIcon(QPainter &p, int size)
{
    p.setRenderHint(QPainter::Antialiasing);
    p.scale(size / 512.0, size / 512.0);
    const bool tiny = size <= 24; // fewer details where they would only blur

    QPainterPath tile;
    tile.addRoundedRect(QRectF(16, 16, 480, 480), 96, 96);
    QLinearGradient sky(0, 16, 0, 496);
    sky.setColorAt(0, QColor(24, 38, 92));
    sky.setColorAt(1, QColor(10, 14, 38));
    p.fillPath(tile, sky);
    QRadialGradient glow(QPointF(330, 170), 260);
    glow.setColorAt(0, QColor(90, 120, 220, 110));
    glow.setColorAt(1, QColor(90, 120, 220, 0));
    p.fillPath(tile, glow);

    if (!tiny) {
        p.save();
        p.setClipPath(tile);
        p.translate(256, 262);
        p.rotate(-18);
        p.setPen(QPen(QColor(140, 170, 255, 150), 14));
        p.setBrush(Qt::NoBrush);
        p.drawEllipse(QPointF(0, 0), 236, 88);
        p.restore();

        p.setPen(Qt::NoPen);
        const QList<QPair<QPointF, qreal>> stars = {{{104, 112}, 11}, {{398, 96}, 9}, {{420, 388}, 8},
                                                    {{84, 380}, 7}, {{182, 70}, 6}, {{448, 236}, 6}};
        for (const auto &[at, r] : stars) {
            p.setBrush(QColor(235, 240, 255));
            p.drawEllipse(at, r, r);
        }
    }

    // The V: two strokes meeting at the bottom, drawn as one filled outline.
    QPainterPath v;
    v.moveTo(118, 120);
    v.lineTo(196, 120);
    v.lineTo(262, 318);
    v.lineTo(318, 150);
    v.lineTo(372, 96);
    v.lineTo(404, 128);
    v.lineTo(302, 410);
    v.lineTo(222, 410);
    v.closeSubpath();
    QLinearGradient amber(0, 96, 0, 410);
    amber.setColorAt(0, QColor(255, 214, 102));
    amber.setColorAt(1, QColor(240, 140, 30));
    p.setPen(QPen(QColor(90, 40, 0, 140), tiny ? 0 : 6));
    p.setBrush(amber);
    p.drawPath(v);
    // The nib's slit on the right stroke.
    if (!tiny) {
        p.setPen(QPen(QColor(120, 60, 0), 8, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(388, 112), QPointF(342, 180));
    }
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    const QString dir = app.arguments().value(1, QStringLiteral("resources/icons"));
    QDir().mkpath(dir);
    for (int size : {16, 24, 32, 48, 64, 128, 256, 512}) {
        QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
        image.fill(Qt::transparent);
        QPainter painter(&image);
        drawIcon(painter, size);
        painter.end();
        const QString path = QStringLiteral("%1/vrne-%2.png").arg(dir).arg(size);
        if (!image.save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    std::printf("icons written to %s\n", qPrintable(dir));
    return 0;
}
