// The theme manager: palettes, text scale steps and clamps, saved preferences, following the
// desktop's colour scheme through a stand-in for the desktop.
#include "app/systemcolorscheme.h"
#include "app/thememanager.h"

#include <QApplication>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStyle>
#include <QtTest>

#include <memory>

using namespace vrn;

namespace {

// Plays the desktop: says light or dark and announces a switch.
class FakeScheme : public SystemColorScheme
{
public:
    bool dark = false;
    QList<int> requests;

    bool isDark() const override { return dark; }
    void request(int theme) override { requests.append(theme); }
    void switchTo(bool toDark)
    {
        dark = toDark;
        emit changed();
    }
};

QSettings preferences()
{
    return QSettings("Varnelhaus", "Varnelhaus");
}

const QString kThemeKey = "Appearance/Theme";
const QString kScaleKey = "Appearance/FontScale";

// The dark palette's window colour; anything else is the light palette (checked exactly below).
bool showsDark()
{
    return QApplication::palette().color(QPalette::Window) == QColor(45, 45, 48);
}

// The colours of these roles, in this order, as "rrggbb" words.
QString colours(const QPalette &palette, QPalette::ColorGroup group)
{
    QStringList out;
    for (auto role :
         {QPalette::Window, QPalette::WindowText, QPalette::Base, QPalette::AlternateBase,
          QPalette::ToolTipBase, QPalette::ToolTipText, QPalette::Text, QPalette::PlaceholderText,
          QPalette::Button, QPalette::ButtonText, QPalette::BrightText, QPalette::Link,
          QPalette::Highlight, QPalette::HighlightedText, QPalette::Light, QPalette::Midlight,
          QPalette::Mid, QPalette::Dark, QPalette::Shadow})
        out.append(palette.color(group, role).name().mid(1));
    return out.join(' ');
}

// Preferences as stored (invalid: none), read or not, and the theme and scale that result.
struct Stored
{
    bool read;
    QVariant storedTheme, storedScale;
    int theme;
    double scale;
};

} // namespace

Q_DECLARE_METATYPE(Stored)

class TestTheme : public QObject
{
    Q_OBJECT

    ThemeManager *make(bool readSettings, bool systemDark = false)
    {
        m_manager = std::make_unique<ThemeManager>();
        m_scheme = new FakeScheme;
        m_scheme->dark = systemDark;
        m_manager->setSystemColorScheme(m_scheme);
        m_manager->init(readSettings);
        return m_manager.get();
    }

    QFont m_originalFont;
    FakeScheme *m_scheme = nullptr;
    std::unique_ptr<ThemeManager> m_manager;

private slots:
    void initTestCase()
    {
        // Never the real user's preferences.
        QStandardPaths::setTestModeEnabled(true);
        QVERIFY(preferences().fileName().contains(".qttest"));
        m_originalFont = QApplication::font();
    }

    void init()
    {
        m_manager.reset();
        preferences().clear();
        QApplication::setFont(m_originalFont); // every manager starts from the same base font
    }

    void steps_data()
    {
        QTest::addColumn<double>("start");
        QTest::addColumn<QList<int>>("steps");
        QTest::addColumn<double>("expected");

        QTest::newRow("larger from default") << 1.25 << QList<int>{1} << 1.35;
        QTest::newRow("smaller from default") << 1.25 << QList<int>{-1} << 1.15;
        QTest::newRow("stays at the top") << 2.15 << QList<int>{1, 1, 1} << 2.2;
        QTest::newRow("smaller stops at the bottom") << 0.85 << QList<int>{-1, -1} << 0.8;
        QTest::newRow("back onto the grid") << 1.27 << QList<int>{1} << 1.35;
    }

    void steps()
    {
        QFETCH(double, start);
        QFETCH(QList<int>, steps);
        QFETCH(double, expected);
        ThemeManager *manager = make(false);
        manager->setFontScale(start, false);
        QSignalSpy changed(manager, &ThemeManager::changed);
        for (int step : steps)
            manager->stepFontScale(step);
        QCOMPARE(manager->fontScale(), expected);
        QCOMPARE(changed.count(), steps.size());
        QCOMPARE(QApplication::font().pointSizeF(), m_originalFont.pointSizeF() * expected);
        QCOMPARE(preferences().value(kScaleKey).toDouble(), expected); // every step is remembered

        manager->resetFontScale();
        QCOMPARE(preferences().value(kScaleKey).toDouble(), 1.25);
        QCOMPARE(QApplication::font().pointSizeF(), m_originalFont.pointSizeF() * 1.25);
    }

    void storedValues_data()
    {
        QTest::addColumn<Stored>("c");
        QTest::newRow("nothing stored") << Stored(true, {}, {}, 0, 1.25);
        QTest::newRow("stored values") << Stored(true, 2, 1.5, 2, 1.5);
        QTest::newRow("out of range") << Stored(true, 7, 5.0, 0, 2.2);
        QTest::newRow("theme 3, tiny scale") << Stored(true, 3, 0.1, 0, 0.8);
        QTest::newRow("negative theme, not a number") << Stored(true, -1, "large", 0, 1.25);
        QTest::newRow("not read") << Stored(false, 2, 2.0, 0, 1.25);
    }

    void storedValues()
    {
        QFETCH(Stored, c);
        if (c.storedTheme.isValid())
            preferences().setValue(kThemeKey, c.storedTheme);
        if (c.storedScale.isValid())
            preferences().setValue(kScaleKey, c.storedScale);
        ThemeManager *manager = make(c.read);
        QCOMPARE(manager->theme(), c.theme);
        QCOMPARE(manager->fontScale(), c.scale);
        QCOMPARE(QApplication::font().pointSizeF(), m_originalFont.pointSizeF() * c.scale);
        QCOMPARE(QApplication::style()->name(), "fusion");
        QCOMPARE(preferences().value(kThemeKey), c.storedTheme); // reading does not write

        manager->setTheme(1, false);
        manager->init(true); // a second init changes nothing
        QCOMPARE(manager->theme(), 1);
    }

    void themes_data()
    {
        QTest::addColumn<int>("theme");
        QTest::addColumn<QString>("normal"); // the Active and Inactive groups of a fixed theme
        QTest::addColumn<QString>("disabled");
        QTest::newRow("follow the system") << 0 << QString() << QString();
        QTest::newRow("light")
            << 1
            << "f0f0f0 141414 ffffff f5f5f6 ffffeb 141414 141414 7d7d7d ececec "
               "141414 c80000 0066cc 308cc6 ffffff ffffff e3e3e3 a0a0a0 a0a0a0 696969"
            << "f0f0f0 8c8c8c ffffff f5f5f6 ffffeb 141414 8c8c8c 7d7d7d ececec "
               "8c8c8c c80000 0066cc bebebe ffffff ffffff e3e3e3 a0a0a0 a0a0a0 696969";
        QTest::newRow("dark")
            << 2
            << "2d2d30 e4e4e4 1e1e20 27272a 3e3e42 ebebeb e4e4e4 8c8c91 3c3c40 "
               "e4e4e4 ff5a5a 5aa0ff 2a82da ffffff 505055 424246 262629 18181a 0a0a0c"
            << "2d2d30 808084 1e1e20 27272a 3e3e42 ebebeb 808084 8c8c91 3c3c40 "
               "808084 ff5a5a 5aa0ff 505056 ffffff 505055 424246 262629 18181a 0a0a0c";
    }

    // The fixed themes keep their exact colours whatever the desktop does; following the system
    // switches with it.
    void themes()
    {
        QFETCH(int, theme);
        QFETCH(QString, normal);
        ThemeManager *manager = make(false);
        manager->setTheme(theme, false);
        QSignalSpy changed(manager, &ThemeManager::changed);
        for (bool dark : {true, false}) {
            m_scheme->switchTo(dark);
            QCOMPARE(showsDark(), theme == 2 || (theme == 0 && dark));
            QCOMPARE(manager->isDark(), showsDark());
        }
        QCOMPARE(changed.count(), theme == 0 ? 2 : 0);
        // The platform was told what the program asks for each time it applied.
        QCOMPARE(m_scheme->requests.last(), theme);
        if (theme == 0)
            return;
        QCOMPARE(colours(QApplication::palette(), QPalette::Active), normal);
        QCOMPARE(colours(QApplication::palette(), QPalette::Inactive), normal);
        QTEST(colours(QApplication::palette(), QPalette::Disabled), "disabled");
    }

    // Following a dark desktop, then the text size for this run only, then the menu's choices.
    void toggleAndSaving()
    {
        ThemeManager *manager = make(false, true);
        manager->setFontScale(1.5, false);
        manager->setTheme(0, false);
        QVERIFY(showsDark());
        QCOMPARE(QApplication::font().pointSizeF(), m_originalFont.pointSizeF() * 1.5);
        QVERIFY(!preferences().contains(kThemeKey));
        QVERIFY(!preferences().contains(kScaleKey));

        manager->toggleLightDark(); // shows dark colours: Light, saved with the run's scale
        QVERIFY(!showsDark());
        QCOMPARE(preferences().value(kThemeKey).toInt(), 1);
        QCOMPARE(preferences().value(kScaleKey).toDouble(), 1.5);
        manager->toggleLightDark();
        QCOMPARE(preferences().value(kThemeKey).toInt(), 2);

        // Theme and text size never touch each other.
        QCOMPARE(QApplication::font().pointSizeF(), m_originalFont.pointSizeF() * 1.5);
        manager->stepFontScale(1);
        QVERIFY(showsDark());
        QCOMPARE(manager->theme(), 2);
        manager->setFontScale(9.0, true);
        QCOMPARE(preferences().value(kScaleKey).toDouble(), 2.2);
        QCOMPARE(preferences().value(kThemeKey).toInt(), 2);
    }

    // The desktop's scheme is read from the platform's palette, not from the one we applied.
    void platformPaletteSeenThroughOurs()
    {
        const bool platformDark = platformPaletteIsDark();
        QApplication::setPalette(platformDark ? ThemeManager::lightPalette()
                                              : ThemeManager::darkPalette());
        QCOMPARE(platformPaletteIsDark(), platformDark);
        QCOMPARE(SystemColorScheme().isDark(), platformDark);
        QCOMPARE(!showsDark(), platformDark); // ours is back afterwards
    }
};

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
