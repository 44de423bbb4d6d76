#include "app/thememanager.h"

#include "app/systemcolorscheme.h"
#include "app/varnelstyle.h"

#include <QApplication>
#include <QSettings>

#include <cmath>

namespace vrn {

namespace {

const QString kThemeKey = QStringLiteral("Appearance/Theme");
const QString kFontScaleKey = QStringLiteral("Appearance/FontScale");

// The program's own preferences, whatever name the application object carries.
const QString kOrganization = QStringLiteral("Varnelhaus");
const QString kApplication = QStringLiteral("Varnelhaus");

double clampScale(double scale)
{
    if (!std::isfinite(scale))
        return ThemeManager::DefaultFontScale;
    return qBound(ThemeManager::MinFontScale, scale, ThemeManager::MaxFontScale);
}

int validTheme(int theme)
{
    return theme >= ThemeManager::FollowSystem && theme <= ThemeManager::Dark
               ? theme
               : ThemeManager::FollowSystem;
}

struct Entry
{
    QPalette::ColorRole role;
    QColor light;
    QColor dark;
};

const Entry kEntries[] = {
    {QPalette::Window, {240, 240, 240}, {45, 45, 48}},
    {QPalette::WindowText, {20, 20, 20}, {228, 228, 228}},
    {QPalette::Base, {255, 255, 255}, {30, 30, 32}},
    {QPalette::AlternateBase, {245, 245, 246}, {39, 39, 42}},
    {QPalette::ToolTipBase, {255, 255, 235}, {62, 62, 66}},
    {QPalette::ToolTipText, {20, 20, 20}, {235, 235, 235}},
    {QPalette::Text, {20, 20, 20}, {228, 228, 228}},
    {QPalette::PlaceholderText, {112, 112, 112}, {140, 140, 145}},
    {QPalette::Button, {236, 236, 236}, {60, 60, 64}},
    {QPalette::ButtonText, {20, 20, 20}, {228, 228, 228}},
    {QPalette::BrightText, {200, 0, 0}, {255, 100, 100}},
    {QPalette::Link, {0, 102, 204}, {90, 160, 255}},
    // Dark enough for white text on selected rows.
    {QPalette::Highlight, {38, 118, 178}, {30, 108, 190}},
    {QPalette::HighlightedText, {255, 255, 255}, {255, 255, 255}},
    {QPalette::Light, {255, 255, 255}, {80, 80, 85}},
    {QPalette::Midlight, {227, 227, 227}, {66, 66, 70}},
    {QPalette::Mid, {160, 160, 160}, {38, 38, 41}},
    {QPalette::Dark, {160, 160, 160}, {24, 24, 26}},
    {QPalette::Shadow, {105, 105, 105}, {10, 10, 12}},
};

const Entry kDisabledEntries[] = {
    {QPalette::WindowText, {140, 140, 140}, {128, 128, 132}},
    // Read-only values are shown in disabled fields: still readable there (4.5:1).
    {QPalette::Text, {110, 110, 110}, {150, 150, 154}},
    {QPalette::ButtonText, {140, 140, 140}, {128, 128, 132}},
    {QPalette::Highlight, {190, 190, 190}, {80, 80, 86}},
};

QPalette makePalette(bool dark)
{
    QPalette palette;
    for (const Entry &e : kEntries)
        palette.setColor(e.role, dark ? e.dark : e.light);
    for (const Entry &e : kDisabledEntries)
        palette.setColor(QPalette::Disabled, e.role, dark ? e.dark : e.light);
    return palette;
}

} // namespace

ThemeManager::ThemeManager(QObject *parent)
    : QObject(parent)
{}

ThemeManager *ThemeManager::instance()
{
    static ThemeManager *manager = new ThemeManager(QCoreApplication::instance());
    return manager;
}

QPalette ThemeManager::lightPalette()
{
    return makePalette(false);
}

QPalette ThemeManager::darkPalette()
{
    return makePalette(true);
}

void ThemeManager::setSystemColorScheme(SystemColorScheme *scheme)
{
    if (m_scheme == scheme)
        return;
    delete m_scheme;
    m_scheme = scheme;
    if (!m_scheme)
        return;
    m_scheme->setParent(this);
    connect(m_scheme, &SystemColorScheme::changed, this, &ThemeManager::systemSchemeChanged);
}

void ThemeManager::init(bool readSettings)
{
    if (m_initialized)
        return;
    m_initialized = true;
    m_baseFont = QApplication::font();
    QApplication::setStyle(new VarnelStyle);
    if (readSettings) {
        const QSettings settings(kOrganization, kApplication);
        m_theme = validTheme(settings.value(kThemeKey, FollowSystem).toInt());
        bool ok = false;
        const double scale = settings.value(kFontScaleKey, DefaultFontScale).toDouble(&ok);
        m_fontScale = clampScale(ok ? scale : DefaultFontScale);
    }
    if (!m_scheme)
        setSystemColorScheme(new SystemColorScheme(this));
    apply();
}

bool ThemeManager::isDark() const
{
    if (m_theme == Light)
        return false;
    if (m_theme == Dark)
        return true;
    return m_scheme && m_scheme->isDark();
}

void ThemeManager::systemSchemeChanged()
{
    if (m_theme == FollowSystem && !m_applying)
        apply();
}

void ThemeManager::apply()
{
    if (!m_initialized)
        return;
    m_applying = true;
    if (m_scheme)
        m_scheme->request(m_theme);
    QApplication::setPalette(isDark() ? darkPalette() : lightPalette());
    // Before the font: the font change makes every widget ask for its sizes again.
    if (auto *style = qobject_cast<VarnelStyle *>(QApplication::style()))
        style->setScale(m_fontScale / DefaultFontScale);
    QFont font = m_baseFont;
    if (font.pointSizeF() > 0)
        font.setPointSizeF(m_baseFont.pointSizeF() * m_fontScale);
    else if (font.pixelSize() > 0)
        font.setPixelSize(qMax(1, qRound(m_baseFont.pixelSize() * m_fontScale)));
    QApplication::setFont(font);
    m_applying = false;
    emit changed();
}

void ThemeManager::setTheme(int theme, bool save)
{
    m_theme = validTheme(theme);
    apply();
    if (save)
        this->save();
}

void ThemeManager::setFontScale(double scale, bool save)
{
    m_fontScale = clampScale(scale);
    apply();
    if (save)
        this->save();
}

void ThemeManager::resetFontScale()
{
    m_fontScale = DefaultFontScale;
    apply();
    save();
}

void ThemeManager::stepFontScale(int steps)
{
    // 0.1 per step on a grid of 0.05, so repeated steps never drift.
    m_fontScale = clampScale(std::round((m_fontScale + steps * 0.1) * 20.0) / 20.0);
    apply();
    save();
}

void ThemeManager::toggleLightDark()
{
    setTheme(isDark() ? Light : Dark, true);
}

void ThemeManager::save()
{
    // Only what differs from what is already stored (or assumed when nothing is): the
    // preferences file should not appear, or change, when nothing was changed.
    QSettings settings(kOrganization, kApplication);
    if (settings.value(kThemeKey, FollowSystem).toInt() != m_theme)
        settings.setValue(kThemeKey, m_theme);
    if (std::fabs(settings.value(kFontScaleKey, DefaultFontScale).toDouble() - m_fontScale) > 1e-9)
        settings.setValue(kFontScaleKey, m_fontScale);
}

} // namespace vrn
