#pragma once

#include <QFont>
#include <QObject>
#include <QPalette>

namespace vrn {

class SystemColorScheme;

// Decides the application's colours and text size: the Fusion style, a light or a dark
// palette (or whichever the desktop prefers) and a scale of the base font, remembered in the
// program's own preferences.
class ThemeManager : public QObject
{
    Q_OBJECT

public:
    static constexpr int FollowSystem = 0;
    static constexpr int Light = 1;
    static constexpr int Dark = 2;
    static constexpr double DefaultFontScale = 1.25;
    static constexpr double MinFontScale = 0.8;
    static constexpr double MaxFontScale = 2.2;

    // The program uses the one instance(); tests may make their own.
    explicit ThemeManager(QObject *parent = nullptr);
    static ThemeManager *instance();

    void init(bool readSettings);
    bool isInitialized() const { return m_initialized; }
    bool isDark() const;
    int theme() const { return m_theme; }
    double fontScale() const { return m_fontScale; }
    QFont baseFont() const { return m_baseFont; }

    void setTheme(int theme, bool save);
    void setFontScale(double scale, bool save);
    void resetFontScale();
    void stepFontScale(int steps);
    // Light when the colours now shown are dark, otherwise dark; remembered.
    void toggleLightDark();
    void save();

    // Replaces the source of the desktop's colour scheme (the manager takes it over). Must
    // come before init to take the place of the real one.
    void setSystemColorScheme(SystemColorScheme *scheme);
    SystemColorScheme *systemColorScheme() const { return m_scheme; }

    static QPalette lightPalette();
    static QPalette darkPalette();

signals:
    void changed();

private:
    void apply();
    void systemSchemeChanged();

    int m_theme = FollowSystem;
    double m_fontScale = DefaultFontScale;
    QFont m_baseFont;
    bool m_initialized = false;
    bool m_applying = false;
    SystemColorScheme *m_scheme = nullptr;
};

} // namespace vrn
