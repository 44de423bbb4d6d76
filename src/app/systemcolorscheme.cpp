#include "app/systemcolorscheme.h"

#include <QEvent>
#include <QGuiApplication>
#include <QPalette>
#include <QStyleHints>
#include <QTimer>

namespace vrn {

bool platformPaletteIsDark()
{
    const auto isDarkPalette = [](const QPalette &palette) {
        return palette.color(QPalette::Window).lightness() < 128;
    };
    if (!QCoreApplication::testAttribute(Qt::AA_SetPalette))
        return isDarkPalette(QGuiApplication::palette());
    // Our palette covers the platform's. A palette with nothing of its own set makes the
    // application fall back to the platform's for a moment; then ours goes back.
    const QPalette ours = QGuiApplication::palette();
    QPalette nothingSet = ours;
    nothingSet.setResolveMask(0);
    QGuiApplication::setPalette(nothingSet);
    const bool dark = isDarkPalette(QGuiApplication::palette());
    QGuiApplication::setPalette(ours);
    return dark;
}

SystemColorScheme::SystemColorScheme(QObject *parent)
    : QObject(parent)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    connect(QGuiApplication::styleHints(), &QStyleHints::colorSchemeChanged, this,
            &SystemColorScheme::changed);
#else
    m_dark = platformPaletteIsDark();
    // Without a colour scheme API the platform only says that its theme changed: every
    // window gets a ThemeChange event, seen here through the application.
    if (QCoreApplication::instance())
        QCoreApplication::instance()->installEventFilter(this);
#endif
}

bool SystemColorScheme::isDark() const
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
    return QGuiApplication::styleHints()->colorScheme() == Qt::ColorScheme::Dark;
#else
    return m_dark;
#endif
}

void SystemColorScheme::request(int theme)
{
#if QT_VERSION >= QT_VERSION_CHECK(6, 8, 0)
    QGuiApplication::styleHints()->setColorScheme(theme == 1   ? Qt::ColorScheme::Light
                                                  : theme == 2 ? Qt::ColorScheme::Dark
                                                               : Qt::ColorScheme::Unknown);
#else
    Q_UNUSED(theme);
#endif
}

bool SystemColorScheme::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::ThemeChange && !m_resamplePending) {
        // One theme change reaches every window; look once, after all of them.
        m_resamplePending = true;
        QTimer::singleShot(0, this, &SystemColorScheme::resample);
    }
    return QObject::eventFilter(watched, event);
}

void SystemColorScheme::resample()
{
    m_resamplePending = false;
    const bool dark = platformPaletteIsDark();
    if (dark == m_dark)
        return;
    m_dark = dark;
    emit changed();
}

} // namespace vrn
