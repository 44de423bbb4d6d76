#include "widgets/colorbutton.h"

#include "widgets/dialogs.h"

#include <QPainter>
#include <QPixmap>

namespace vrn {

namespace {
constexpr int kIconWidth = 36;
constexpr int kIconHeight = 16;
} // namespace

ColorButton::ColorButton(QWidget *parent)
    : QPushButton(parent)
{
    setSizePolicy(QSizePolicy::Fixed, sizePolicy().verticalPolicy());
    setMinimumWidth(150);
    setIconSize(QSize(kIconWidth, kIconHeight));
    connect(this, &QPushButton::clicked, this, &ColorButton::choose);
    setColor(0);
}

void ColorButton::setColor(unsigned argb)
{
    m_argb = argb;
    QPixmap swatch(kIconWidth, kIconHeight);
    swatch.fill(Qt::transparent);
    {
        QPainter p(&swatch);
        // A checkerboard behind the colour makes its transparency visible.
        const QColor light(250, 250, 250);
        const QColor dark(200, 200, 200);
        const int cw = kIconWidth / 2;
        const int ch = kIconHeight / 2;
        p.fillRect(0, 0, cw, ch, light);
        p.fillRect(cw, 0, cw, ch, dark);
        p.fillRect(0, ch, cw, ch, dark);
        p.fillRect(cw, ch, cw, ch, light);
        p.fillRect(0, 0, kIconWidth, kIconHeight, QColor::fromRgba(argb));
        p.setPen(QColor(90, 90, 90));
        p.setBrush(Qt::NoBrush);
        p.drawRect(0, 0, kIconWidth - 1, kIconHeight - 1);
    }
    setIcon(QIcon(swatch));
    setText(QStringLiteral("#%1").arg(argb, 8, 16, QLatin1Char('0')).toUpper());
}

void ColorButton::choose()
{
    const QColor chosen = Dialogs::getColor(QColor::fromRgba(m_argb), this, tr("Choose color"),
                                            QColorDialog::ShowAlphaChannel);
    if (chosen.isValid())
        emit colorPicked(chosen.rgba());
}

} // namespace vrn
