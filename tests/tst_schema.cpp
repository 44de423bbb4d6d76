#include "document/xsdtdocument.h"
#include "generator/generator.h"
#include "knowledge/schema.h"
#include "knowledge/valuecheck.h"
#include "support/testfiles.h"
#include "support/testtree.h"

#include <QFile>
#include <QJsonDocument>
#include <QLocale>
#include <QtTest>

#include <limits>

using namespace vrn;
using testdata::ensurePath;

namespace {

using testdata::readFile;

QString number(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

// Every field of an answer on one line, so that each table row states all of them.
QString summary(const VariableInfo &info)
{
    static const char *const kinds[] = {"Bool", "Choice",   "Integer",   "Unsigned", "Real",
                                        "Text", "FilePath", "Directory", "Color"};
    const int kind = int(info.kind);
    QStringList parts{QString::fromLatin1(kind >= 0 && kind <= 8 ? kinds[kind] : "?"), info.label};
    if (info.known)
        parts.append("known");
    if (info.readOnly)
        parts.append("read-only");
    if (info.hasRange)
        parts.append(number(info.min) + " to " + number(info.max));
    QStringList choices;
    for (const auto &choice : info.choices)
        choices.append(QString::number(choice.first) + '=' + choice.second);
    if (!choices.isEmpty())
        parts.append(choices.join(", "));
    parts.append(info.description);
    return parts.join(" | ");
}

const QString kIntents =
    "0=Perceptual, 1=Saturation, 2=Relative colorimetric, 3=Absolute colorimetric";

} // namespace

class TestSchema : public QObject
{
    Q_OBJECT

    Schema m_schema;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_schema.load(readFile(":/schema/globals.json"), readFile(":/schema/overlay.json"),
                               &error),
                 qPrintable(error));
    }

    void labelsAndIds()
    {
        const QList<QPair<QString, QString>> labels = {
            {"AutoSaveSettingsPeriod", "Auto save settings period"},
            {"CIP_ITRSDataFile", "CIP ITRS data file"},
            {"sRGBGamma", "S RGB gamma"},
            {"HTMLFile", "HTML file"},
            {"IDsCount", "IDs count"},
            {"URLs", "URLs"},
            {"Use3DView", "Use 3 d view"},
            {"Default24BitScreenLUT", "Default 24 bit screen LUT"},
            {"lower_case__name_", "Lower case name"},
            {"", ""},
            {QString::fromUtf16(u"\u00C4rger\u00DCberall"),
             QString::fromUtf16(u"\u00C4rger \u00FCberall")}};
        for (const auto &[key, label] : labels)
            QCOMPARE(labelFromIdentifier(key), label);

        // "Global/" and then, independently, "Preferences/" are removed, case-sensitively.
        const QList<QPair<QString, QString>> ids = {
            {"Global/Preferences/Process/MaxProcessors", "Process/MaxProcessors"},
            {"Global/ColorManagement/DefaultRenderingIntent",
             "ColorManagement/DefaultRenderingIntent"},
            {"ModuleData/Kestrane/MaxProcessors", "ModuleData/Kestrane/MaxProcessors"},
            {"Preferences/Process/X", "Process/X"},
            {"global/Preferences/X", "global/Preferences/X"},
            {"GlobalX/Preferences/X", "GlobalX/Preferences/X"}};
        XsdtNode root;
        for (const auto &[path, id] : ids)
            QCOMPARE(Schema::variableId(ensurePath(&root, path, XsdtNode::Value)), id);
    }

    void info_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QChar>("type");
        QTest::addColumn<QString>("summary");

        const auto row = [](const char *name, const QString &path, const QChar &type,
                            const QString &summary) {
            QTest::newRow(name) << path << type << summary;
        };

        const QString preferences = "Global/Preferences/";
        row("lower bound only", preferences + "Process/MaxProcessors", QChar('i'),
            "Integer | Max processors | known | 1 to 1.7976931348623157e+308 | Maximum number of "
            "processor cores allowed for installed modules.");
        row("both bounds from the overlay", preferences + "Application/AutoSaveSettingsPeriod",
            QChar('i'), "Integer | Auto save settings period | known | 1 to 86400 | In seconds.");
        row("choices, reference cleaned away", "Global/ColorManagement/DefaultRenderingIntent",
            QChar('i'), "Choice | Default rendering intent | known | " + kIntents + " | ");
        row("same id as text: no choices", "Global/ColorManagement/DefaultRenderingIntent",
            QChar('s'), "Text | Default rendering intent | known | ");
        row("choices on an unsigned", "Global/ColorManagement/ProofingIntent", QChar('u'),
            "Choice | Proofing intent | known | " + kIntents +
                " | Rendering intent used for soft-proofing.");
        row("range from the description", preferences + "Application/UIScalingFactor", QChar('F'),
            "Real | UI scaling factor | known | 1 to 4 | Global interface scaling factor of the "
            "core application. In the range [1.0,4.0].");
        row("single precision", preferences + "MainWindow/ActiveWindowOpacity", QChar('f'),
            "Real | Active window opacity | known | 0 to 1 | Window opacity in the [0,1] range.");
        row("text has no range", preferences + "MainWindow/ActiveWindowOpacity", QChar('s'),
            "Text | Active window opacity | known | Window opacity in the [0,1] range.");
        row("global variable reference cleaned",
            preferences + "ImageWindow/DefaultHorizontalResolution", QChar('F'),
            "Real | Default horizontal resolution | known | In device pixels per resolution unit.");
        row("refined description and range", preferences + "Process/MaxModuleThreadPriority",
            QChar('i'),
            "Integer | Max module thread priority | known | 0 to 7 | Maximum thread priority "
            "for modules: 0 = idle ... 7 = real-time.");
        row("read-only folder", preferences + "Application/AppDirectory", QChar('s'),
            "Directory | App directory | known | read-only | Full path to the distribution's core "
            "application bundle. Read-only. macOS only.");
        row("refined label, not in globals", "Global/RGBWorkingSpace/sRGBGamma", QChar('b'),
            "Bool | Use the sRGB gamma function | ");
        row("refined range, not in globals", "Global/RGBWorkingSpace/Gamma", QChar('F'),
            "Real | Gamma | 0.1 to 10 | ");
        row("colour by key", preferences + "Foo/BackgroundColor2", QChar('u'),
            "Color | Background color 2 | ");
        row("colour needs unsigned", preferences + "Foo/BackgroundColor", QChar('i'),
            "Integer | Background color | ");
        row("file by key", "ModuleData/X/SearchPath", QChar('s'), "FilePath | Search path | ");
        row("folder by key", "ModuleData/X/TempDirectory", QChar('s'),
            "Directory | Temp directory | ");
        row("numbered file", preferences + "Application/ResourceFile07", QChar('s'),
            "FilePath | Resource file 07 | known | ");
        row("suffix is case-sensitive", "ModuleData/X/Sourcefile", QChar('s'),
            "Text | Sourcefile | ");
        row("documentation reference cleaned", preferences + "Application/FiltersDatabaseFile",
            QChar('s'),
            "FilePath | Filters database file | known | Database file of filter transmission "
            "curves used for spectrophotometric color calibration.");
    }

    void info()
    {
        QFETCH(QString, path);
        QFETCH(QChar, type);
        XsdtNode root;
        QTEST(summary(m_schema.info(ensurePath(&root, path, XsdtNode::Value, type))), "summary");
    }

    // What a new value must pass whichever editor it comes from. Each bound itself is allowed,
    // the next value past it is not.
    void newValues_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QChar>("type");
        QTest::addColumn<bool>("queued"); // for deletion
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("refusal"); // empty: stored as typed

        const auto row = [](const char *name, const char *path, char type, const char *text,
                            const char *refusal, bool queued = false) {
            QTest::newRow(name) << QString::fromLatin1(path) << QChar::fromLatin1(type) << queued
                                << QString::fromLatin1(text) << QString::fromLatin1(refusal);
        };
        const char *period = "Global/Preferences/Application/AutoSaveSettingsPeriod";
        const char *gamma = "Global/RGBWorkingSpace/Gamma";
        row("integer at the minimum", period, 'i', "1", "");
        row("integer at the maximum", period, 'i', "86400", "");
        row("integer below the minimum", period, 'i', "0",
            "Auto save settings period: 0 is outside the allowed range 1 to 86400");
        row("integer above the maximum", period, 'i', "86401",
            "Auto save settings period: 86401 is outside the allowed range 1 to 86400");
        row("real at the minimum", gamma, 'F', "0.1", "");
        row("real at the maximum", gamma, 'F', "10", "");
        row("real just below the minimum", gamma, 'F', "0.09",
            "Gamma: 0.09 is outside the allowed range 0.1 to 10");
        row("real just above the maximum", gamma, 'F', "10.001",
            "Gamma: 10.001 is outside the allowed range 0.1 to 10");
        row("queued for deletion", gamma, 'F', "2",
            "Global/RGBWorkingSpace/Gamma is queued for deletion.", true);
        row("documented read-only", "Global/Preferences/Application/AppDirectory", 's', "/opt",
            "AppDirectory: Documented by PixInsight as read-only or write-only.");
    }

    void newValues()
    {
        QFETCH(QString, path);
        QFETCH(QChar, type);
        QFETCH(bool, queued);
        QFETCH(QString, text);
        QFETCH(QString, refusal);
        XsdtNode root;
        XsdtNode *node = ensurePath(&root, path, XsdtNode::Value, type, "2");
        node->parent->pendingDelete = queued;
        QString stored = "(none)";
        QString error;
        QCOMPARE(checkNewValue(node, text, m_schema, nullptr, &stored, &error), refusal.isEmpty());
        QCOMPARE(error, refusal);
        QCOMPARE(stored, refusal.isEmpty() ? text : "(none)");
    }

    void pages()
    {
        XsdtDocument doc;
        QVERIFY(doc.parse(testdata::wrapSettings(
            "<i k='Global'><i k='Preferences'><i k='Application'><v k='A' t='b' v='true'/></i>"
            "<i k='Foo'/><v k='Loose' t='i' v='1'/><i k='ProcessInterface'/><i k='GUI'/>"
            "<i k='Process'/><i k='ExtraThings'/><i k='Foo'/><i k='ScriptEditor'><i k='Cache'>"
            "<v k='File1' t='s' v=''/></i></i></i><i k='ColorManagement'/></i>")));
        // Overlay pages first in their order, with only the paths this file has; then the other
        // preference groups in document order, each once, never ProcessInterface.
        QStringList pages;
        for (const PageSpec &page : m_schema.pagesFor(doc))
            pages.append(page.title + ": " + page.paths.join(", "));
        QCOMPARE(pages, (QStringList{"Application: Global/Preferences/Application",
                                     "Processes: Global/Preferences/Process",
                                     "Color Management: Global/ColorManagement",
                                     "Script Editor: Global/Preferences/ScriptEditor",
                                     "Identifiers and GUI: Global/Preferences/GUI",
                                     "Foo: Global/Preferences/Foo",
                                     "Extra things: Global/Preferences/ExtraThings"}));
        // Only the cache group itself is left out of the pages.
        QVERIFY(m_schema.isHidden(doc.findPath(u"Global/Preferences/ScriptEditor/Cache")));
        QVERIFY(!m_schema.isHidden(doc.findPath(u"Global/Preferences/ScriptEditor")));
        QVERIFY(!m_schema.isHidden(doc.findPath(u"Global/Preferences/ScriptEditor/Cache/File1")));
        QVERIFY(!m_schema.isHidden(nullptr));

        // Without "Global/Preferences" only the overlay's pages can appear.
        QVERIFY(doc.parse(testdata::wrapSettings("<i k='Global'><i k='ReadoutOptions'/></i>")));
        QCOMPARE(m_schema.pagesFor(doc).size(), 1);
        QCOMPARE(m_schema.pagesFor(doc).at(0).title, "Readout Options");

        // Pages without a title or without paths are dropped when the overlay is read.
        Schema schema;
        QVERIFY(schema.load(QByteArray(),
                            "{\"pages\": [{\"title\": \"Empty\", \"paths\": []},{\"title\": \"\", "
                            "\"paths\": [\"Global\"]},{\"title\": \"Blank path\", \"paths\": "
                            "[\"\"]},{\"title\": \"Kept\", \"paths\": [\"Global\", \"X\"]}]}"));
        QCOMPARE(schema.pages().size(), 1);
        QCOMPARE(schema.pages().at(0).title, "Kept");
        QCOMPARE(schema.pages().at(0).paths, (QStringList{"Global", "X"}));
    }

    void loadFailures()
    {
        auto parserText = [](const QByteArray &bytes) {
            QJsonParseError error;
            QJsonDocument::fromJson(bytes, &error);
            return error.errorString();
        };
        XsdtNode root;
        const XsdtNode *maxProcessors =
            ensurePath(&root, "Global/Preferences/Process/MaxProcessors", XsdtNode::Value, 'i');

        // A broken globals.json empties what was loaded before and stops before the overlay.
        Schema schema = m_schema;
        QString error;
        QVERIFY(!schema.load("{\"variables\": ", "also broken", &error));
        QCOMPARE(error, "globals.json: " + parserText("{\"variables\": "));
        QCOMPARE(summary(schema.info(maxProcessors)), "Integer | Max processors | ");
        QVERIFY(schema.pages().isEmpty());
        for (const char *overlay : {"[1, 2]", "{\"pages\": ["}) {
            QVERIFY(!schema.load("{}", overlay, &error));
            QCOMPARE(error, "overlay.json: " + parserText(overlay));
        }

        // Blank documents are empty objects, not errors; wrong JSON types read as empty values.
        error.clear();
        QVERIFY(schema.load(" \n\t", "", &error));
        QVERIFY(error.isEmpty());
        QVERIFY(schema.load("{\"variables\": {\"Process/MaxProcessors\": {\"description\": 5, "
                            "\"readOnly\": \"yes\"}}}",
                            "{\"pages\": {}, \"hide\": 3}", &error));
        QCOMPARE(summary(schema.info(maxProcessors)), "Integer | Max processors | known | ");
        QVERIFY(schema.pages().isEmpty());

        // Choice values are numbers truncated to integers; absurd ones are clamped, not undefined.
        QVERIFY(schema.load(QByteArray(),
                            "{\"variables\": {\"Process/MaxProcessors\": {\"choices\": "
                            "[[1.9, \"one\"], [-2.5, \"minus two\"], [1e300, \"big\"]]}}}"));
        QCOMPARE(schema.info(maxProcessors).choices,
                 (QList<QPair<int, QString>>{
                     {1, "one"}, {-2, "minus two"}, {std::numeric_limits<int>::max(), "big"}}));
    }
};

QTEST_GUILESS_MAIN(TestSchema)
#include "tst_schema.moc"
