#pragma once

#include <QProxyStyle>

namespace vrn {

// Fusion with two changes: check boxes, radio buttons and the frames of fields and buttons are
// outlined in a colour that stands out from every background they sit on (Fusion derives its
// outline from the window colour, which in a dark palette vanishes against the rows), and
// indicators and small icons grow with the text size instead of keeping their pixel size.
class VarnelStyle : public QProxyStyle
{
    Q_OBJECT

public:
    VarnelStyle();

    // Multiplier for indicator and icon sizes; never below 1, so targets never get smaller
    // than Fusion's own.
    void setScale(qreal scale);
    qreal scale() const { return m_scale; }

    // The outline of enabled controls: three quarters of the way from the base colour to
    // the text colour.
    static QColor outlineColor(const QPalette &palette);
    // The ring around the control that has the keyboard: at least 3:1 against the window and
    // the fields in either theme.
    static QColor focusColor(const QPalette &palette);

    int pixelMetric(PixelMetric metric, const QStyleOption *option = nullptr,
                    const QWidget *widget = nullptr) const override;
    void drawPrimitive(PrimitiveElement element, const QStyleOption *option, QPainter *painter,
                       const QWidget *widget = nullptr) const override;
    void drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
                            QPainter *painter, const QWidget *widget = nullptr) const override;

private:
    qreal m_scale = 1.0;
};

} // namespace vrn
