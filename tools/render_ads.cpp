// Draws the pictures of the three built-in advertisements and writes
// resources/ads/<product>.png at twice the strip's size, so they stay sharp on dense screens.
// Run again after changing the drawing (QT_QPA_PLATFORM=offscreen works without a display).
#include <QDir>
#include <QGuiApplication>
#include <QImage>
#include <QLinearGradient>
#include <QPainter>
#include <QPainterPath>
#include <QRadialGradient>
#include <QRandomGenerator>

#include <cstdio>

namespace {

constexpr int kWidth = 532;
constexpr int kHeight = 92;

struct Ad
{
    const char *file;
    const char *name;
    const char *line;
    QColor skyTop;
    QColor skyBottom;
    QColor accent;
};

// A night sky with a fixed field of stars, so every run draws the same picture.
void drawSky(QPainter &p, const Ad &ad, quint32 seed)
{
    QLinearGradient sky(0, 0, kWidth, kHeight);
    sky.setColorAt(0, ad.skyTop);
    sky.setColorAt(1, ad.skyBottom);
    p.fillRect(QRectF(0, 0, kWidth, kHeight), sky);
    QRandomGenerator random(seed);
    p.setPen(Qt::NoPen);
    for (int i = 0; i < 160; ++i) {
        const QPointF at(random.bounded(double(kWidth)), random.bounded(double(kHeight)));
        const qreal r = 0.3 + random.bounded(1.0);
        if (at.x() > 92 && at.x() < 408)
            continue; // keep the text clear
        p.setBrush(QColor(235, 240, 255, 90 + random.bounded(150)));
        p.drawEllipse(at, r, r);
    }
}

// The product's emblem in the square at the left.
void drawEmblem(QPainter &p, int index, const QColor &accent)
{
    const QPointF c(46, 46);
    p.setBrush(Qt::NoBrush);
    if (index == 0) {
        // Skyglass: a gradient being flattened into level bands.
        QLinearGradient glow(10, 80, 80, 10);
        glow.setColorAt(0, QColor(255, 170, 60, 200));
        glow.setColorAt(1, QColor(255, 170, 60, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(glow);
        p.drawRoundedRect(QRectF(12, 12, 68, 68), 12, 12);
        p.setPen(QPen(accent, 4, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 3; ++i)
            p.drawLine(QPointF(24, 32 + i * 14), QPointF(68, 32 + i * 14));
    } else if (index == 1) {
        // Haloquell: a star whose halo shrinks to a clean core.
        for (int i = 4; i >= 1; --i) {
            p.setPen(
                QPen(QColor(accent.red(), accent.green(), accent.blue(), 40 + 30 * (4 - i)), 2));
            p.drawEllipse(c, 8.0 * i, 8.0 * i);
        }
        QRadialGradient core(c, 10);
        core.setColorAt(0, Qt::white);
        core.setColorAt(1, QColor(255, 255, 255, 0));
        p.setPen(Qt::NoPen);
        p.setBrush(core);
        p.drawEllipse(c, 10, 10);
    } else {
        // Driftmend: a trail across the frame, cut by a mending stitch.
        p.setPen(QPen(QColor(255, 255, 255, 170), 3, Qt::SolidLine, Qt::RoundCap));
        p.drawLine(QPointF(12, 70), QPointF(80, 20));
        p.setPen(QPen(accent, 4, Qt::SolidLine, Qt::RoundCap));
        for (int i = 0; i < 3; ++i) {
            const qreal x = 32 + i * 14;
            const qreal y = 70 - (x - 12) * 50 / 68;
            p.drawLine(QPointF(x - 7, y - 7), QPointF(x + 7, y + 7));
        }
    }
}

QImage drawAd(const Ad &ad, int index)
{
    QImage image(kWidth * 2, kHeight * 2, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::black);
    QPainter p(&image);
    p.setRenderHint(QPainter::Antialiasing);
    p.setRenderHint(QPainter::TextAntialiasing);
    p.scale(2, 2);
    drawSky(p, ad, 1000 + quint32(index));
    drawEmblem(p, index, ad.accent);

    QFont title(QStringLiteral("DejaVu Sans"));
    title.setPixelSize(26);
    title.setBold(true);
    p.setFont(title);
    p.setPen(Qt::white);
    p.drawText(QRectF(100, 12, 300, 34), Qt::AlignLeft | Qt::AlignVCenter,
               QString::fromUtf8(ad.name));
    QFont body(QStringLiteral("DejaVu Sans"));
    body.setPixelSize(13);
    p.setFont(body);
    p.setPen(QColor(210, 222, 245));
    p.drawText(QRectF(100, 46, 300, 36), Qt::AlignLeft | Qt::AlignTop | Qt::TextWordWrap,
               QString::fromUtf8(ad.line));

    // The call to action, a pill at the right.
    const QRectF pill(414, 30, 104, 32);
    p.setPen(Qt::NoPen);
    p.setBrush(ad.accent);
    p.drawRoundedRect(pill, 16, 16);
    QFont button(QStringLiteral("DejaVu Sans"));
    button.setPixelSize(13);
    button.setBold(true);
    p.setFont(button);
    p.setPen(QColor(20, 24, 40));
    p.drawText(pill, Qt::AlignCenter, QStringLiteral("Learn more"));
    p.end();
    return image;
}

} // namespace

int main(int argc, char **argv)
{
    QGuiApplication app(argc, argv);
    const QString dir = app.arguments().value(1, QStringLiteral("resources/ads"));
    QDir().mkpath(dir);
    const Ad ads[] = {
        {"skyglass", "Skyglass", "Flattens light-pollution gradients in one pass.",
         QColor(20, 34, 78), QColor(58, 30, 70), QColor(255, 190, 80)},
        {"haloquell", "Haloquell", "Tames halos around bright stars, keeps the faint ones.",
         QColor(12, 28, 60), QColor(16, 60, 90), QColor(120, 210, 255)},
        {"driftmend", "Driftmend", "Finds satellite trails and drift before you integrate.",
         QColor(18, 22, 52), QColor(40, 60, 50), QColor(150, 230, 140)},
    };
    int index = 0;
    for (const Ad &ad : ads) {
        const QString path = QStringLiteral("%1/%2.png").arg(dir, QLatin1String(ad.file));
        if (!drawAd(ad, index++).save(path)) {
            std::fprintf(stderr, "cannot write %s\n", qPrintable(path));
            return 1;
        }
    }
    std::printf("ad pictures written to %s\n", qPrintable(dir));
    return 0;
}
