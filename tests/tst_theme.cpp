// The theme manager: palettes, text scale steps and clamps, saved preferences, following the
// desktop's colour scheme through a stand-in for the desktop; contrast of what the palettes and
// the row colours draw.
#include "app/systemcolorscheme.h"
#include "app/thememanager.h"
#include "app/varnelstyle.h"
#include "document/xsdtdocument.h"
#include "model/settingsmodel.h"
#include "support/testtree.h"
#include "widgets/settingrow.h"

#include <QApplication>
#include <QLabel>
#include <QPainter>
#include <QSettings>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QStyle>
#include <QStyleOption>
#include <QtTest>

#include <cmath>
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

bool showsDark()
{
    return QApplication::palette().color(QPalette::Window) ==
           ThemeManager::darkPalette().color(QPalette::Window);
}

// A translucent colour painted over an opaque one.
QColor over(const QColor &top, const QColor &below)
{
    const double a = top.alphaF();
    return QColor::fromRgbF(top.redF() * a + below.redF() * (1 - a),
                            top.greenF() * a + below.greenF() * (1 - a),
                            top.blueF() * a + below.blueF() * (1 - a));
}

// The WCAG 2.1 contrast ratio of two opaque colours, from their relative luminance.
double contrast(const QColor &a, const QColor &b)
{
    const auto luminance = [](const QColor &c) {
        const auto channel = [](double v) {
            return v <= 0.03928 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4);
        };
        return 0.2126 * channel(c.redF()) + 0.7152 * channel(c.greenF()) +
               0.0722 * channel(c.blueF());
    };
    const double x = luminance(a);
    const double y = luminance(b);
    return (qMax(x, y) + 0.05) / (qMin(x, y) + 0.05);
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
        auto *style = qobject_cast<VarnelStyle *>(QApplication::style());
        QVERIFY(style);
        QCOMPARE(style->baseStyle()->name(), "fusion");
        QCOMPARE(preferences().value(kThemeKey), c.storedTheme); // reading does not write

        manager->setTheme(1, false);
        manager->init(true); // a second init changes nothing
        QCOMPARE(manager->theme(), 1);
    }

    void themes_data()
    {
        QTest::addColumn<int>("theme");
        QTest::newRow("follow the system") << 0;
        QTest::newRow("light") << 1;
        QTest::newRow("dark") << 2;
    }

    // The fixed themes keep their colours whatever the desktop does; following the system
    // switches with it.
    void themes()
    {
        QFETCH(int, theme);
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
    }

    void readable_data()
    {
        QTest::addColumn<bool>("dark");
        QTest::newRow("light") << false;
        QTest::newRow("dark") << true;
    }

    // Every text at least 4.5:1 and every enabled control at least 3:1 against what it is
    // drawn on, on plain, alternate, selected, changed and deleted rows alike.
    void readable()
    {
        QFETCH(bool, dark);
        ThemeManager *manager = make(false);
        manager->setTheme(dark ? ThemeManager::Dark : ThemeManager::Light, false);
        const QPalette p = QApplication::palette();
        const QPalette other = dark ? ThemeManager::lightPalette() : ThemeManager::darkPalette();
        QVERIFY(contrast(p.color(QPalette::Base), other.color(QPalette::Base)) > 4.5);
        const QColor outline = VarnelStyle::outlineColor(p);

        XsdtDocument doc;
        XsdtNode *changed =
            testdata::ensurePath(&doc.root, "A/changed", XsdtNode::Value, QLatin1Char('b'), "true");
        XsdtNode *gone =
            testdata::ensurePath(&doc.root, "A/gone", XsdtNode::Value, QLatin1Char('i'), "2");
        XsdtNode *block =
            testdata::ensurePath(&doc.root, "A/block", XsdtNode::Value, QLatin1Char('B'), "QQ");
        doc.commit();
        changed->value = "false";
        gone->pendingDelete = true;
        SettingsModel model;
        model.setDocument(&doc);
        QWidget page;
        SettingRow row(changed, VariableInfo(), &model, &page);
        row.refresh();

        QStringList failures;
        const auto check = [&](const QString &what, double ratio, double least,
                               const QColor &back) {
            if (ratio < least)
                failures.append(
                    QStringLiteral("%1 on %2: %3:1").arg(what, back.name()).arg(ratio, 0, 'f', 2));
        };
        const auto text = [&](const QString &what, const QColor &front, const QColor &back) {
            check(what, contrast(front, back), 4.5, back);
        };
        // A box shows by its outline, or by its own fill where the outline meets a like colour.
        const auto control = [&](const QString &what, const QColor &back) {
            check(what, qMax(contrast(outline, back), contrast(p.color(QPalette::Base), back)), 3.0,
                  back);
        };
        text("window text", p.color(QPalette::WindowText), p.color(QPalette::Window));
        text("button text", p.color(QPalette::ButtonText), p.color(QPalette::Button));
        text("tooltip", p.color(QPalette::ToolTipText), p.color(QPalette::ToolTipBase));
        text("placeholder", p.color(QPalette::PlaceholderText), p.color(QPalette::Base));
        text("link", p.color(QPalette::Link), p.color(QPalette::Window));
        text("selected row", p.color(QPalette::HighlightedText), p.color(QPalette::Highlight));
        for (QPalette::ColorRole role : {QPalette::Base, QPalette::AlternateBase}) {
            const QColor back = p.color(role);
            text("row", p.color(QPalette::Text), back);
            text("link on a row", p.color(QPalette::Link), back);
            control("check box on a row", back);
            for (XsdtNode *node : {changed, gone, block}) {
                const QModelIndex index = model.indexForNode(node, 0);
                const QVariant fill = index.data(Qt::BackgroundRole);
                const QVariant ink = index.data(Qt::ForegroundRole);
                const QColor under =
                    fill.isValid() ? over(fill.value<QBrush>().color(), back) : back;
                text(node->key,
                     ink.isValid() ? ink.value<QBrush>().color() : p.color(QPalette::Text), under);
                control("check box on a marked row", under);
            }
        }
        control("check box on the window", p.color(QPalette::Window));
        control("check box on a selected row", p.color(QPalette::Highlight));
        check("check mark", contrast(p.color(QPalette::Text), p.color(QPalette::Base)), 3.0,
              p.color(QPalette::Base));
        // A changed setting on a page: its row tints the page.
        const QColor tinted =
            over(row.palette().color(QPalette::Window), p.color(QPalette::Window));
        QVERIFY(tinted != p.color(QPalette::Window));
        text("changed setting", row.titleLabel()->palette().color(QPalette::WindowText), tinted);
        control("check box on a changed setting", tinted);
        text("breadcrumb", row.pathLabel()->palette().color(QPalette::WindowText),
             p.color(QPalette::Window));
        text("read-only value", p.color(QPalette::Disabled, QPalette::Text),
             p.color(QPalette::Disabled, QPalette::Base));
        text("value out of range", p.color(QPalette::BrightText), p.color(QPalette::Window));
        // Where the keyboard is: the ring drawn around a focused field and a check box reached
        // with Tab, at its strongest pixel.
        VarnelStyle style;
        const auto ring = [&](const QString &what, QStyle::PrimitiveElement element,
                              QStyleOption &option, const QColor &back) {
            QImage image(60, 24, QImage::Format_RGB32);
            image.fill(back);
            option.rect = image.rect();
            option.palette = p;
            option.state =
                QStyle::State_Enabled | QStyle::State_HasFocus | QStyle::State_KeyboardFocusChange;
            QPainter painter(&image);
            style.drawPrimitive(element, &option, &painter);
            painter.end();
            double best = 0;
            for (int x = 0; x < image.width(); ++x)
                best = qMax(best, contrast(image.pixelColor(x, 1), back));
            check(what, best, 3.0, back);
        };
        QStyleOptionFrame field;
        field.lineWidth = 1;
        ring("focused field", QStyle::PE_FrameLineEdit, field, p.color(QPalette::Base));
        QStyleOptionFocusRect box;
        ring("focused check box", QStyle::PE_FrameFocusRect, box, p.color(QPalette::Window));

        QVERIFY2(failures.isEmpty(), qPrintable(failures.join(QStringLiteral("; "))));
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
