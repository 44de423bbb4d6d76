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
    return QSettings(QStringLiteral("Varnelhaus"), QStringLiteral("Varnelhaus"));
}

bool showsDarkPalette()
{
    return QApplication::palette().color(QPalette::Window) == QColor(45, 45, 48);
}

bool showsLightPalette()
{
    return QApplication::palette().color(QPalette::Window) == QColor(240, 240, 240);
}

} // namespace

class TestTheme : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void steps_data();
    void steps();
    void storedValues_data();
    void storedValues();
    void followsSystem_data();
    void followsSystem();
    void toggleWhileFollowingDarkSystem();
    void themeAndTextSizeIndependent();
    void savingOnlyWhenAsked();
    void palettesApplied_data();
    void palettesApplied();
    void platformPaletteSeenThroughOurs();

private:
    ThemeManager *make(bool readSettings, bool systemDark = false);

    QFont m_originalFont;
    FakeScheme *m_scheme = nullptr;
    std::unique_ptr<ThemeManager> m_manager;
};

void TestTheme::initTestCase()
{
    // Never the real user's preferences.
    QStandardPaths::setTestModeEnabled(true);
    const QString configRoot =
        QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    QVERIFY(configRoot.contains(QLatin1String(".qttest")));
    QVERIFY(preferences().fileName().startsWith(configRoot));
    m_originalFont = QApplication::font();
}

void TestTheme::init()
{
    preferences().clear();
    QApplication::setFont(m_originalFont); // every manager starts from the same base font
}

void TestTheme::cleanup()
{
    m_manager.reset();
    preferences().clear();
}

ThemeManager *TestTheme::make(bool readSettings, bool systemDark)
{
    m_manager = std::make_unique<ThemeManager>();
    m_scheme = new FakeScheme;
    m_scheme->dark = systemDark;
    m_manager->setSystemColorScheme(m_scheme);
    m_manager->init(readSettings);
    return m_manager.get();
}

void TestTheme::steps_data()
{
    QTest::addColumn<double>("start");
    QTest::addColumn<QList<int>>("steps");
    QTest::addColumn<double>("expected");

    QTest::newRow("larger from default") << 1.25 << QList<int>{1} << 1.35;
    QTest::newRow("smaller from default") << 1.25 << QList<int>{-1} << 1.15;
    QTest::newRow("larger near the top") << 2.15 << QList<int>{1} << 2.2;
    QTest::newRow("stays at the top") << 2.15 << QList<int>{1, 1, 1} << 2.2;
    QTest::newRow("smaller stops at the bottom") << 0.85 << QList<int>{-1, -1} << 0.8;
    QTest::newRow("back onto the grid") << 1.27 << QList<int>{1} << 1.35;
    QTest::newRow("there and back") << 1.25 << QList<int>{1, 1, -1, -1} << 1.25;
}

void TestTheme::steps()
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
    QCOMPARE(QApplication::font().pointSizeF(), manager->baseFont().pointSizeF() * expected);
    // Every step is remembered.
    QCOMPARE(preferences().value(QStringLiteral("Appearance/FontScale")).toDouble(), expected);

    manager->resetFontScale();
    QCOMPARE(manager->fontScale(), 1.25);
    QCOMPARE(preferences().value(QStringLiteral("Appearance/FontScale")).toDouble(), 1.25);
    QCOMPARE(QApplication::font().pointSizeF(), manager->baseFont().pointSizeF() * 1.25);
}

void TestTheme::storedValues_data()
{
    QTest::addColumn<bool>("read");
    QTest::addColumn<QVariant>("storedTheme");
    QTest::addColumn<QVariant>("storedScale");
    QTest::addColumn<int>("theme");
    QTest::addColumn<double>("scale");

    QTest::newRow("nothing stored") << true << QVariant() << QVariant() << 0 << 1.25;
    QTest::newRow("stored values") << true << QVariant(2) << QVariant(1.5) << 2 << 1.5;
    QTest::newRow("out of range") << true << QVariant(7) << QVariant(5.0) << 0 << 2.2;
    QTest::newRow("theme 3, tiny scale") << true << QVariant(3) << QVariant(0.1) << 0 << 0.8;
    QTest::newRow("negative theme, not a number")
        << true << QVariant(-1) << QVariant(QStringLiteral("large")) << 0 << 1.25;
    QTest::newRow("not read") << false << QVariant(2) << QVariant(2.0) << 0 << 1.25;
}

void TestTheme::storedValues()
{
    QFETCH(bool, read);
    QFETCH(QVariant, storedTheme);
    QFETCH(QVariant, storedScale);
    QFETCH(int, theme);
    QFETCH(double, scale);
    {
        QSettings settings = preferences();
        if (storedTheme.isValid())
            settings.setValue(QStringLiteral("Appearance/Theme"), storedTheme);
        if (storedScale.isValid())
            settings.setValue(QStringLiteral("Appearance/FontScale"), storedScale);
    }
    ThemeManager *manager = make(read);
    QCOMPARE(manager->theme(), theme);
    QCOMPARE(manager->fontScale(), scale);
    QCOMPARE(QApplication::font().pointSizeF(), m_originalFont.pointSizeF() * scale);
    QCOMPARE(QApplication::style()->name(), QStringLiteral("fusion"));
    // Reading does not write.
    QCOMPARE(preferences().value(QStringLiteral("Appearance/Theme")), storedTheme);

    // A second init changes nothing.
    manager->setTheme(1, false);
    manager->init(true);
    QCOMPARE(manager->theme(), 1);
}

void TestTheme::followsSystem_data()
{
    QTest::addColumn<int>("theme");
    QTest::addColumn<bool>("follows");

    QTest::newRow("follow the system") << 0 << true;
    QTest::newRow("light") << 1 << false;
    QTest::newRow("dark") << 2 << false;
}

void TestTheme::followsSystem()
{
    QFETCH(int, theme);
    QFETCH(bool, follows);
    ThemeManager *manager = make(false);
    manager->setTheme(theme, false);
    const bool darkAtStart = theme == 2;
    QCOMPARE(showsDarkPalette(), darkAtStart);
    QCOMPARE(manager->isDark(), darkAtStart);

    QSignalSpy changed(manager, &ThemeManager::changed);
    m_scheme->switchTo(true);
    QCOMPARE(changed.count(), follows ? 1 : 0);
    QCOMPARE(showsDarkPalette(), follows || darkAtStart);
    QCOMPARE(manager->isDark(), follows || darkAtStart);

    m_scheme->switchTo(false);
    QCOMPARE(changed.count(), follows ? 2 : 0);
    QCOMPARE(showsLightPalette(), theme != 2);
    // The platform was told what the program asks for each time it applied.
    QCOMPARE(m_scheme->requests.last(), theme);
}

void TestTheme::toggleWhileFollowingDarkSystem()
{
    ThemeManager *manager = make(false, true);
    QCOMPARE(manager->theme(), 0);
    QVERIFY(showsDarkPalette());
    manager->toggleLightDark();
    QCOMPARE(manager->theme(), 1);
    QVERIFY(showsLightPalette());
    QCOMPARE(preferences().value(QStringLiteral("Appearance/Theme")).toInt(), 1);
    manager->toggleLightDark();
    QCOMPARE(manager->theme(), 2);
    QVERIFY(showsDarkPalette());
    QCOMPARE(preferences().value(QStringLiteral("Appearance/Theme")).toInt(), 2);
}

void TestTheme::themeAndTextSizeIndependent()
{
    ThemeManager *manager = make(false);
    manager->setFontScale(1.5, false);
    const qreal size = QApplication::font().pointSizeF();
    manager->setTheme(2, false);
    QCOMPARE(QApplication::font().pointSizeF(), size);
    QCOMPARE(manager->fontScale(), 1.5);
    manager->stepFontScale(1);
    QVERIFY(showsDarkPalette());
    QCOMPARE(manager->theme(), 2);
    m_scheme->switchTo(true);
    manager->setTheme(0, false);
    QCOMPARE(manager->fontScale(), 1.6);
}

void TestTheme::savingOnlyWhenAsked()
{
    ThemeManager *manager = make(false);
    // A run-only choice (command line) is not written ...
    manager->setTheme(2, false);
    manager->setFontScale(2.0, false);
    QVERIFY(!preferences().contains(QStringLiteral("Appearance/Theme")));
    QVERIFY(!preferences().contains(QStringLiteral("Appearance/FontScale")));
    // ... a menu choice writes both keys.
    manager->setTheme(1, true);
    QCOMPARE(preferences().value(QStringLiteral("Appearance/Theme")).toInt(), 1);
    QCOMPARE(preferences().value(QStringLiteral("Appearance/FontScale")).toDouble(), 2.0);
    manager->setFontScale(9.0, true);
    QCOMPARE(preferences().value(QStringLiteral("Appearance/FontScale")).toDouble(), 2.2);
}

void TestTheme::palettesApplied_data()
{
    QTest::addColumn<int>("theme");
    QTest::addColumn<QColor>("window");
    QTest::addColumn<QColor>("disabledText");
    QTest::addColumn<QColor>("disabledHighlight");
    QTest::addColumn<QColor>("highlight");

    QTest::newRow("light") << 1 << QColor(240, 240, 240) << QColor(140, 140, 140)
                           << QColor(190, 190, 190) << QColor(48, 140, 198);
    QTest::newRow("dark") << 2 << QColor(45, 45, 48) << QColor(128, 128, 132) << QColor(80, 80, 86)
                          << QColor(42, 130, 218);
}

void TestTheme::palettesApplied()
{
    QFETCH(int, theme);
    QFETCH(QColor, window);
    QFETCH(QColor, disabledText);
    QFETCH(QColor, disabledHighlight);
    QFETCH(QColor, highlight);
    make(false)->setTheme(theme, false);
    const QPalette p = QApplication::palette();
    for (QPalette::ColorGroup group : {QPalette::Active, QPalette::Inactive, QPalette::Disabled})
        QCOMPARE(p.color(group, QPalette::Window), window);
    QCOMPARE(p.color(QPalette::Active, QPalette::Highlight), highlight);
    QCOMPARE(p.color(QPalette::Inactive, QPalette::Highlight), highlight);
    QCOMPARE(p.color(QPalette::Disabled, QPalette::Highlight), disabledHighlight);
    for (QPalette::ColorRole role : {QPalette::WindowText, QPalette::Text, QPalette::ButtonText}) {
        QCOMPARE(p.color(QPalette::Disabled, role), disabledText);
        QVERIFY(p.color(QPalette::Active, role) != disabledText);
    }
}

// The desktop's scheme is read from the platform's palette, not from the one we applied.
void TestTheme::platformPaletteSeenThroughOurs()
{
    const bool platformDark = platformPaletteIsDark();
    QApplication::setPalette(platformDark ? ThemeManager::lightPalette()
                                          : ThemeManager::darkPalette());
    QCOMPARE(platformPaletteIsDark(), platformDark);
    // Our palette is back afterwards.
    QCOMPARE(QApplication::palette().color(QPalette::Window),
             platformDark ? QColor(240, 240, 240) : QColor(45, 45, 48));
    SystemColorScheme real;
    QCOMPARE(real.isDark(), platformDark);
}

QTEST_MAIN(TestTheme)
#include "tst_theme.moc"
