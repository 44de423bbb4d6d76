#include "document/xsdtdocument.h"
#include "knowledge/schema.h"
#include "support/generator.h"
#include "support/testtree.h"

#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QtTest>

#include <limits>

using namespace vrn;
using testdata::ensurePath;

namespace {

QByteArray resource(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QByteArray shippedGlobals()
{
    return resource(QStringLiteral(":/schema/globals.json"));
}

QByteArray shippedOverlay()
{
    return resource(QStringLiteral(":/schema/overlay.json"));
}

using Choices = QList<QPair<int, QString>>;

const Choices kIntents = {
    {0, "Perceptual"},
    {1, "Saturation"},
    {2, "Relative colorimetric"},
    {3, "Absolute colorimetric"},
};

} // namespace

Q_DECLARE_METATYPE(EditorKind)

class TestSchema : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void labels_data();
    void labels();
    void variableIds_data();
    void variableIds();
    void info_data();
    void info();
    void pages();
    void hidden();
    void loadFailures();
    void shippedGlobals();

private:
    Schema m_schema;
};

void TestSchema::initTestCase()
{
    QString error;
    QVERIFY2(m_schema.load(::shippedGlobals(), shippedOverlay(), &error), qPrintable(error));
}

void TestSchema::labels_data()
{
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("label");
    const QList<QPair<const char *, const char *>> rows = {
        {"MaxModuleThreadPriority", "Max module thread priority"},
        {"AutoSaveSettingsPeriod", "Auto save settings period"},
        {"CIP_ITRSDataFile", "CIP ITRS data file"},
        {"sRGBGamma", "S RGB gamma"},
        {"HTMLFile", "HTML file"},
        {"IDsCount", "IDs count"},
        {"URLs", "URLs"},
        {"OpenURLsWithInternalBrowser", "Open URLs with internal browser"},
        {"Use3DView", "Use 3 d view"},
        {"Default24BitScreenLUT", "Default 24 bit screen LUT"},
        {"WallpaperFile01", "Wallpaper file 01"},
        {"UIScalingFactor", "UI scaling factor"},
        {"AllowUnsignedRepositories", "Allow unsigned repositories"},
        {"x", "X"},
        {"lower_case__name_", "Lower case name"},
        {"", ""},
        {"\u00C4rger\u00DCberall", "\u00C4rger \u00FCberall"}, // non-ASCII capitals split too
    };
    for (const auto &row : rows)
        QTest::newRow(row.first) << QString::fromUtf8(row.first) << QString::fromUtf8(row.second);
}

void TestSchema::labels()
{
    QFETCH(QString, key);
    QFETCH(QString, label);
    QCOMPARE(labelFromIdentifier(key), label);
}

void TestSchema::variableIds_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("id");
    QTest::newRow("preference") << "Global/Preferences/Process/MaxProcessors"
                                << "Process/MaxProcessors";
    QTest::newRow("global") << "Global/ColorManagement/DefaultRenderingIntent"
                            << "ColorManagement/DefaultRenderingIntent";
    QTest::newRow("outside") << "ModuleData/Kestrane/MaxProcessors"
                             << "ModuleData/Kestrane/MaxProcessors";
    // The two prefixes are removed independently of each other.
    QTest::newRow("preferences alone") << "Preferences/Process/X"
                                       << "Process/X";
    QTest::newRow("case") << "global/Preferences/X"
                          << "global/Preferences/X";
    QTest::newRow("similar") << "GlobalX/Preferences/X"
                             << "GlobalX/Preferences/X";
}

void TestSchema::variableIds()
{
    QFETCH(QString, path);
    QFETCH(QString, id);
    XsdtNode root;
    QCOMPARE(Schema::variableId(ensurePath(&root, path, XsdtNode::Value)), id);
}

void TestSchema::info_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QChar>("type");
    QTest::addColumn<EditorKind>("kind");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("description");
    QTest::addColumn<bool>("known");
    QTest::addColumn<bool>("readOnly");
    QTest::addColumn<bool>("hasRange");
    QTest::addColumn<double>("min");
    QTest::addColumn<double>("max");
    QTest::addColumn<Choices>("choices");

    const double highest = std::numeric_limits<double>::max();
    QTest::newRow("MaxProcessors: lower bound only")
        << "Global/Preferences/Process/MaxProcessors" << QChar('i') << EditorKind::Integer
        << "Max processors"
        << "Maximum number of processor cores allowed for installed modules." << true << false
        << true << 1.0 << highest << Choices();
    QTest::newRow("rendering intent: choices, reference cleaned away")
        << "Global/ColorManagement/DefaultRenderingIntent" << QChar('i') << EditorKind::Choice
        << "Default rendering intent"
        << "" << true << false << false << 0.0 << 0.0 << kIntents;
    QTest::newRow("rendering intent as text: no choices")
        << "Global/ColorManagement/DefaultRenderingIntent" << QChar('s') << EditorKind::Text
        << "Default rendering intent"
        << "" << true << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("proofing intent as unsigned: choices")
        << "Global/ColorManagement/ProofingIntent" << QChar('u') << EditorKind::Choice
        << "Proofing intent"
        << "Rendering intent used for soft-proofing." << true << false << false << 0.0 << 0.0
        << kIntents;
    QTest::newRow("UIScalingFactor: range from the description")
        << "Global/Preferences/Application/UIScalingFactor" << QChar('F') << EditorKind::Real
        << "UI scaling factor"
        << "Global interface scaling factor of the core application. In the range [1.0,4.0]."
        << true << false << true << 1.0 << 4.0 << Choices();
    QTest::newRow("opacity as single precision")
        << "Global/Preferences/MainWindow/ActiveWindowOpacity" << QChar('f') << EditorKind::Real
        << "Active window opacity"
        << "Window opacity in the [0,1] range." << true << false << true << 0.0 << 1.0 << Choices();
    QTest::newRow("opacity as text: no range")
        << "Global/Preferences/MainWindow/ActiveWindowOpacity" << QChar('s') << EditorKind::Text
        << "Active window opacity"
        << "Window opacity in the [0,1] range." << true << false << false << 0.0 << 0.0
        << Choices();
    QTest::newRow("resolution: global variable reference cleaned")
        << "Global/Preferences/ImageWindow/DefaultHorizontalResolution" << QChar('F')
        << EditorKind::Real << "Default horizontal resolution"
        << "In device pixels per resolution unit." << true << false << false << 0.0 << 0.0
        << Choices();
    QTest::newRow("thread priority: refined description and range")
        << "Global/Preferences/Process/MaxModuleThreadPriority" << QChar('i') << EditorKind::Integer
        << "Max module thread priority"
        << "Maximum thread priority for modules: 0 = idle ... 7 = real-time." << true << false
        << true << 0.0 << 7.0 << Choices();
    QTest::newRow("read-only folder")
        << "Global/Preferences/Application/AppDirectory" << QChar('s') << EditorKind::Directory
        << "App directory"
        << "Full path to the distribution's core application bundle. Read-only. macOS only." << true
        << true << false << 0.0 << 0.0 << Choices();
    QTest::newRow("sRGBGamma: refined label, not in globals")
        << "Global/RGBWorkingSpace/sRGBGamma" << QChar('b') << EditorKind::Bool
        << "Use the sRGB gamma function"
        << "" << false << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("gamma: refined range, not in globals")
        << "Global/RGBWorkingSpace/Gamma" << QChar('F') << EditorKind::Real << "Gamma"
        << "" << false << false << true << 0.1 << 10.0 << Choices();
    QTest::newRow("colour by key") << "Global/Preferences/Foo/BackgroundColor2" << QChar('u')
                                   << EditorKind::Color << "Background color 2"
                                   << "" << false << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("colour needs unsigned")
        << "Global/Preferences/Foo/BackgroundColor" << QChar('i') << EditorKind::Integer
        << "Background color"
        << "" << false << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("file by key") << "ModuleData/X/SearchPath" << QChar('s') << EditorKind::FilePath
                                 << "Search path"
                                 << "" << false << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("folder by key")
        << "ModuleData/X/TempDirectory" << QChar('s') << EditorKind::Directory << "Temp directory"
        << "" << false << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("numbered file") << "Global/Preferences/Application/ResourceFile07" << QChar('s')
                                   << EditorKind::FilePath << "Resource file 07"
                                   << "" << true << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("suffix is case-sensitive")
        << "ModuleData/X/Sourcefile" << QChar('s') << EditorKind::Text << "Sourcefile"
        << "" << false << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("same key outside Global matches nothing")
        << "ModuleData/Kestrane/MaxProcessors" << QChar('i') << EditorKind::Integer
        << "Max processors"
        << "" << false << false << false << 0.0 << 0.0 << Choices();
    QTest::newRow("time is text") << "ModuleData/X/LastRun" << QChar('t') << EditorKind::Text
                                  << "Last run"
                                  << "" << false << false << false << 0.0 << 0.0 << Choices();
    // A key holding a "/" still gives the id its path spells.
    QTest::newRow("slash in a key")
        << "Global/Preferences/Process|MaxProcessors" << QChar('i') << EditorKind::Integer
        << "Process/max processors"
        << "Maximum number of processor cores allowed for installed "
           "modules."
        << true << false << true << 1.0 << std::numeric_limits<double>::max() << Choices();
}

void TestSchema::info()
{
    QFETCH(QString, path);
    QFETCH(QChar, type);
    XsdtNode root;
    XsdtNode *node = ensurePath(&root, path, XsdtNode::Value, type);
    node->key.replace(QLatin1Char('|'), QLatin1Char('/')); // a key that holds a slash
    const VariableInfo info = m_schema.info(node);
    QTEST(info.kind, "kind");
    QTEST(info.label, "label");
    QTEST(info.description, "description");
    QTEST(info.known, "known");
    QTEST(info.readOnly, "readOnly");
    QTEST(info.hasRange, "hasRange");
    if (info.hasRange) {
        QTEST(info.min, "min");
        QTEST(info.max, "max");
    }
    QTEST(info.choices, "choices");
}

void TestSchema::pages()
{
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::wrapSettings(
        "<i k=\"Global\"><i k=\"Preferences\">"
        "<i k=\"Application\"><v k=\"A\" t=\"b\" v=\"true\"/></i>"
        "<i k=\"Foo\"/><v k=\"Loose\" t=\"i\" v=\"1\"/><i k=\"ProcessInterface\"/>"
        "<i k=\"GUI\"/><i k=\"Process\"/><i k=\"ExtraThings\"/><i k=\"Foo\"/>"
        "</i><i k=\"ColorManagement\"/></i>")));

    QStringList titles;
    QList<QStringList> paths;
    for (const PageSpec &page : m_schema.pagesFor(doc)) {
        titles.append(page.title);
        paths.append(page.paths);
    }
    // Overlay pages first in their order, with only the paths this file has; then the other
    // preference groups in document order, each once.
    QCOMPARE(titles, (QStringList{"Application", "Processes", "Color Management",
                                  "Identifiers and GUI", "Foo", "Extra things"}));
    QCOMPARE(paths.at(3), QStringList{"Global/Preferences/GUI"});
    QCOMPARE(paths.at(4), QStringList{"Global/Preferences/Foo"});
    QCOMPARE(paths.at(5), QStringList{"Global/Preferences/ExtraThings"});

    // Without "Global/Preferences" only the overlay's pages can appear.
    XsdtDocument bare;
    QVERIFY(bare.parse(testdata::wrapSettings("<i k=\"Global\"><i k=\"ReadoutOptions\"/></i>")));
    const QList<PageSpec> barePages = m_schema.pagesFor(bare);
    QCOMPARE(barePages.size(), 1);
    QCOMPARE(barePages.at(0).title, QString("Readout Options"));

    // Pages without a title or without paths are dropped when the overlay is read.
    Schema schema;
    QVERIFY(schema.load(QByteArray(), "{\"pages\": [{\"title\": \"Empty\", \"paths\": []},"
                                      "{\"title\": \"\", \"paths\": [\"Global\"]},"
                                      "{\"title\": \"Blank path\", \"paths\": [\"\"]},"
                                      "{\"title\": \"Kept\", \"paths\": [\"Global\", \"X\"]}]}"));
    QCOMPARE(schema.pages().size(), 1);
    QCOMPARE(schema.pages().at(0).title, QString("Kept"));
    QCOMPARE(schema.pages().at(0).paths, (QStringList{"Global", "X"}));
}

void TestSchema::hidden()
{
    XsdtNode root;
    QVERIFY(m_schema.isHidden(ensurePath(
        &root, QStringLiteral("Global/Preferences/ScriptEditor/Cache"), XsdtNode::Group)));
    QVERIFY(!m_schema.isHidden(
        ensurePath(&root, QStringLiteral("Global/Preferences/ScriptEditor"), XsdtNode::Group)));
    QVERIFY(!m_schema.isHidden(ensurePath(
        &root, QStringLiteral("Global/Preferences/ScriptEditor/Cache/File1"), XsdtNode::Value)));
    QVERIFY(!m_schema.isHidden(nullptr));
}

void TestSchema::loadFailures()
{
    auto parserText = [](const QByteArray &bytes) {
        QJsonParseError error;
        QJsonDocument::fromJson(bytes, &error);
        return error.errorString();
    };
    XsdtNode root;
    XsdtNode *maxProcessors =
        ensurePath(&root, QStringLiteral("Global/Preferences/Process/MaxProcessors"),
                   XsdtNode::Value, QLatin1Char('i'));

    Schema schema;
    QString error;
    QVERIFY(schema.load(::shippedGlobals(), shippedOverlay(), &error));
    QVERIFY(schema.info(maxProcessors).known);

    // A broken globals.json empties what was loaded before and stops before the overlay.
    QVERIFY(!schema.load("{\"variables\": ", "also broken", &error));
    QCOMPARE(error, "globals.json: " + parserText("{\"variables\": "));
    QVERIFY(!schema.info(maxProcessors).known);
    QVERIFY(!schema.info(maxProcessors).hasRange);
    QVERIFY(schema.pages().isEmpty());

    QVERIFY(!schema.load("{}", "[1, 2]", &error));
    QCOMPARE(error, "overlay.json: " + parserText("[1, 2]"));
    QVERIFY(!schema.load("{}", "{\"pages\": [", &error));
    QCOMPARE(error, "overlay.json: " + parserText("{\"pages\": ["));

    // Blank documents are empty objects, not errors; wrong JSON types read as empty values.
    error.clear();
    QVERIFY(schema.load(" \n\t", "", &error));
    QVERIFY(error.isEmpty());
    QVERIFY(schema.load("{\"variables\": {\"Process/MaxProcessors\": {\"description\": 5, "
                        "\"readOnly\": \"yes\"}}}",
                        "{\"pages\": {}, \"hide\": 3}", &error));
    const VariableInfo info = schema.info(maxProcessors);
    QVERIFY(info.known);
    QVERIFY(!info.readOnly);
    QVERIFY(info.description.isEmpty());
    QVERIFY(schema.pages().isEmpty());

    // Choice values are numbers truncated to integers; absurd ones are clamped, not undefined.
    QVERIFY(schema.load(QByteArray(),
                        "{\"variables\": {\"Process/MaxProcessors\": {\"choices\": "
                        "[[1.9, \"one\"], [-2.5, \"minus two\"], [1e300, \"big\"]]}}}"));
    QCOMPARE(schema.info(maxProcessors).choices,
             (Choices{{1, "one"}, {-2, "minus two"}, {std::numeric_limits<int>::max(), "big"}}));
}

void TestSchema::shippedGlobals()
{
    const QJsonObject variables = QJsonDocument::fromJson(::shippedGlobals())
                                      .object()
                                      .value(QLatin1String("variables"))
                                      .toObject();
    QCOMPARE(variables.size(), 243);

    QMap<QString, int> groups;
    QMap<QString, int> types;
    int readOnly = 0;
    for (auto it = variables.begin(); it != variables.end(); ++it) {
        const QJsonObject record = it.value().toObject();
        groups[it.key().section(QLatin1Char('/'), 0, 0)] += 1;
        types[record.value(QLatin1String("type")).toString()] += 1;
        readOnly += record.value(QLatin1String("readOnly")).toBool() ? 1 : 0;
    }
    QCOMPARE(readOnly, 36);
    QCOMPARE(types, (QMap<QString, int>{{"b", 107}, {"s", 85}, {"i", 33}, {"F", 12}, {"u", 6}}));
    QCOMPARE(groups, (QMap<QString, int>{{"Application", 64},
                                         {"MainWindow", 61},
                                         {"ImageWindow", 49},
                                         {"Process", 23},
                                         {"ColorManagement", 18},
                                         {"Security", 8},
                                         {"TransparencyBrush", 4},
                                         {"ViewList", 4},
                                         {"Workspace", 4},
                                         {"FileFormat", 2},
                                         {"ImageContainerIcon", 1},
                                         {"Preview", 1},
                                         {"ProcessIcon", 1},
                                         {"ScriptIcon", 1},
                                         {"System", 1},
                                         {"View", 1}}));

    // Without the overlay, ranges come from the descriptions alone: exactly the seven
    // bracketed ones. Every "See the" reference is cleaned away.
    Schema globalsOnly;
    QVERIFY(globalsOnly.load(::shippedGlobals(), QByteArray()));
    XsdtNode root;
    QMap<QString, QPair<double, double>> ranges;
    int cleaned = 0;
    for (auto it = variables.begin(); it != variables.end(); ++it) {
        const QJsonObject record = it.value().toObject();
        const QChar type = record.value(QLatin1String("type")).toString().at(0);
        XsdtNode *node = ensurePath(&root, QStringLiteral("Global/Preferences/") + it.key(),
                                    XsdtNode::Value, type);
        const VariableInfo info = globalsOnly.info(node);
        QVERIFY2(info.known, qPrintable(it.key()));
        QCOMPARE(info.readOnly, record.value(QLatin1String("readOnly")).toBool());
        if (info.hasRange)
            ranges.insert(it.key(), {info.min, info.max});
        const QString raw = record.value(QLatin1String("description")).toString();
        QVERIFY2(!info.description.contains(QLatin1String("See the")), qPrintable(it.key()));
        if (raw.contains(QLatin1String("See the"))) {
            QVERIFY(info.description.size() < raw.size());
            ++cleaned;
        } else {
            QCOMPARE(info.description, raw.trimmed());
        }
    }
    QCOMPARE(cleaned, 10);
    const QPair<double, double> unit{0.0, 1.0};
    QCOMPARE(ranges, (QMap<QString, QPair<double, double>>{
                         {"Application/UIScalingFactor", {1.0, 4.0}},
                         {"MainWindow/ActiveWindowOpacity", unit},
                         {"MainWindow/AutoHideWindowOpacity", unit},
                         {"MainWindow/InactiveChildWindowOpacity", unit},
                         {"MainWindow/InactiveWindowOpacity", unit},
                         {"MainWindow/MovingChildWindowOpacity", unit},
                         {"MainWindow/MovingWindowOpacity", unit},
                     }));

    const QList<QPair<const char *, const char *>> quoted = {
        {"Application/AutoSaveSettingsPeriod", "In seconds."},
        {"Application/UIScalingFactor",
         "Global interface scaling factor of the core application. In the range [1.0,4.0]."},
        {"ColorManagement/DefaultRenderingIntent", "See the pcl::ICCRenderingIntent namespace."},
        {"ImageWindow/DefaultHorizontalResolution",
         "In device pixels per resolution unit. See the ImageWindow/DefaultMetricResolution "
         "global variable."},
        {"Security/AllowUnsignedRepositories", ""},
    };
    for (const auto &row : quoted) {
        QCOMPARE(variables.value(QLatin1String(row.first))
                     .toObject()
                     .value(QLatin1String("description"))
                     .toString(),
                 QString::fromUtf8(row.second));
    }
}

QTEST_GUILESS_MAIN(TestSchema)
#include "tst_schema.moc"
