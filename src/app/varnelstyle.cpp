#include "app/varnelstyle.h"

#include <QPainter>
#include <QPainterPath>
#include <QStyleFactory>
#include <QStyleOption>

#include <cmath>

namespace vrn {

namespace {

bool drawsOutline(const QStyleOption *option)
{
    // Disabled controls keep Fusion's faint look; focused ones its highlight.
    return option && (option->state & QStyle::State_Enabled) &&
           !((option->state & QStyle::State_HasFocus) &&
             (option->state & QStyle::State_KeyboardFocusChange));
}

// The rounded frame Fusion draws around fields and buttons, in our colour.
void outlineFrame(QPainter *painter, const QRectF &frame, const QPalette &palette)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(VarnelStyle::outlineColor(palette), 1));
    painter->drawRoundedRect(frame, 2, 2);
    painter->restore();
}

double luminance(const QColor &color)
{
    const auto channel = [](double v) {
        return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
    };
    return 0.2126 * channel(color.redF()) + 0.7152 * channel(color.greenF()) +
           0.0722 * channel(color.blueF());
}

double contrast(const QColor &a, const QColor &b)
{
    const double x = luminance(a);
    const double y = luminance(b);
    return (qMax(x, y) + 0.05) / (qMin(x, y) + 0.05);
}

// Two pixels wide, inside the control's own rectangle.
void focusRing(QPainter *painter, const QRect &rect, const QPalette &palette)
{
    painter->save();
    painter->setRenderHint(QPainter::Antialiasing, true);
    painter->setBrush(Qt::NoBrush);
    painter->setPen(QPen(VarnelStyle::focusColor(palette), 2));
    painter->drawRoundedRect(QRectF(rect).adjusted(1, 1, -1, -1), 2, 2);
    painter->restore();
}

bool keyboardFocus(const QStyleOption *option)
{
    return (option->state & QStyle::State_HasFocus) &&
           (option->state & QStyle::State_KeyboardFocusChange);
}

} // namespace

VarnelStyle::VarnelStyle()
    : QProxyStyle(QStyleFactory::create(QStringLiteral("Fusion")))
{}

void VarnelStyle::setScale(qreal scale)
{
    m_scale = std::isfinite(scale) ? qMax(1.0, scale) : 1.0;
}

QColor VarnelStyle::outlineColor(const QPalette &palette)
{
    const QColor text = palette.color(QPalette::Active, QPalette::Text);
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const auto mix = [](int t, int b) { return (3 * t + b) / 4; };
    return QColor(mix(text.red(), base.red()), mix(text.green(), base.green()),
                  mix(text.blue(), base.blue()));
}

QColor VarnelStyle::focusColor(const QPalette &palette)
{
    // Fusion rings focus in a darkened highlight, which all but vanishes on a dark window.
    // The highlight moves toward the text colour until it stands out from the window and
    // from the fields alike.
    const QColor window = palette.color(QPalette::Active, QPalette::Window);
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const QColor text = palette.color(QPalette::Active, QPalette::Text);
    QColor ring = palette.color(QPalette::Active, QPalette::Highlight);
    for (int step = 0; step < 8 && qMin(contrast(ring, window), contrast(ring, base)) < 3.0; ++step)
        ring = QColor((3 * ring.red() + text.red()) / 4, (3 * ring.green() + text.green()) / 4,
                      (3 * ring.blue() + text.blue()) / 4);
    return ring;
}

int VarnelStyle::pixelMetric(PixelMetric metric, const QStyleOption *option,
                             const QWidget *widget) const
{
    const int size = QProxyStyle::pixelMetric(metric, option, widget);
    switch (metric) {
    case PM_IndicatorWidth:
    case PM_IndicatorHeight:
    case PM_ExclusiveIndicatorWidth:
    case PM_ExclusiveIndicatorHeight:
    case PM_SmallIconSize:
    case PM_ButtonIconSize:
    case PM_ToolBarIconSize:
    case PM_TabBarIconSize:
    case PM_ListViewIconSize:
        return int(std::lround(size * m_scale));
    default:
        return size;
    }
}

void VarnelStyle::drawPrimitive(PrimitiveElement element, const QStyleOption *option,
                                QPainter *painter, const QWidget *widget) const
{
    QProxyStyle::drawPrimitive(element, option, painter, widget);
    if (option && (option->state & State_Enabled)) {
        const bool lineEdit = element == PE_FrameLineEdit && (option->state & State_HasFocus);
        const bool keyed = (element == PE_PanelButtonCommand || element == PE_FrameFocusRect) &&
                           keyboardFocus(option);
        if (lineEdit || keyed)
            focusRing(painter, option->rect, option->palette);
    }
    if (!drawsOutline(option))
        return;
    const QRect rect = option->rect;
    switch (element) {
    case PE_IndicatorCheckBox: {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setBrush(Qt::NoBrush);
        painter->setPen(QPen(outlineColor(option->palette), 1));
        painter->drawRect(QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5));
        painter->restore();
        break;
    }
    case PE_IndicatorRadioButton: {
        painter->save();
        painter->setRenderHint(QPainter::Antialiasing, true);
        painter->setBrush(Qt::NoBrush);
        painter->setPen(QPen(outlineColor(option->palette), 1));
        const qreal radius = (rect.width() + (rect.width() + 1) % 2) / 2.0 - 1;
        painter->drawEllipse(QPointF(rect.center()) + QPointF(1, 1), radius, radius);
        painter->restore();
        break;
    }
    case PE_FrameLineEdit:
        if (!(option->state & State_HasFocus))
            outlineFrame(painter, QRectF(rect).adjusted(0.5, 0.5, -0.5, -0.5), option->palette);
        break;
    case PE_PanelButtonCommand:
        outlineFrame(painter, QRectF(rect).adjusted(0.5, 1.5, -0.5, -0.5), option->palette);
        break;
    default:
        break;
    }
}

void VarnelStyle::drawComplexControl(ComplexControl control, const QStyleOptionComplex *option,
                                     QPainter *painter, const QWidget *widget) const
{
    QProxyStyle::drawComplexControl(control, option, painter, widget);
    if ((control == CC_SpinBox || control == CC_ComboBox) && (option->state & State_Enabled) &&
        (option->state & State_HasFocus))
        focusRing(painter, option->rect, option->palette);
    if (control == CC_SpinBox && drawsOutline(option) && !(option->state & State_HasFocus)) {
        const auto *spin = qstyleoption_cast<const QStyleOptionSpinBox *>(option);
        if (spin && spin->frame)
            outlineFrame(painter, QRectF(option->rect).adjusted(0.5, 0.5, -0.5, -0.5),
                         option->palette);
    }
}

} // namespace vrn
