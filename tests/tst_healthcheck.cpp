#include "document/xsdtdocument.h"
#include "environment/pixinsight.h"
#include "knowledge/healthcheck.h"
#include "knowledge/schema.h"
#include "support/generator.h"

#include <QFile>
#include <QSet>
#include <QtTest>

using namespace vrn;

namespace {

QByteArray resource(const QString &name)
{
    QFile file(name);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// A made-up computer: everything exists except the listed paths ("*" = nothing exists).
HealthEnv madeUpEnv(const QStringList &missing, int processors,
                    const QStringList &candidates = {QStringLiteral("/nowhere/PixInsight")})
{
    HealthEnv env;
    const QSet<QString> gone(missing.begin(), missing.end());
    env.exists = [gone](const QString &path) {
        return !gone.contains(QStringLiteral("*")) && !gone.contains(path);
    };
    env.logicalProcessors = processors;
    env.installCandidates = candidates;
    return env;
}

QString line(const Finding &f)
{
    return f.id + QLatin1String(" | ") + severityName(f.severity) + QLatin1String(" | ") + f.title +
           QLatin1String(" | ") + f.text;
}

QStringList lines(const QList<Finding> &findings)
{
    QStringList out;
    for (const Finding &f : findings)
        out.append(line(f));
    return out;
}

const QString kPathText = QStringLiteral(
    " is not on this computer. If it is a drive that is not connected right now, ignore this; "
    "otherwise point the setting at somewhere that exists.");
const QString kDuplicateText = QStringLiteral(
    "A key should occur once. PixInsight reads only one of them, so the other holds data it "
    "never uses, or a stale copy that may be the one it picks.");
const QString kUnsignedText =
    QStringLiteral(". That is a choice, not an error; it just lowers PixInsight's protection.");
const QString kUnusedText = QStringLiteral(
    " values in all). Uninstalled, renamed or replaced modules leave their data behind.");
const QString kRegistryText = QStringLiteral(
    ". PixInsight repairs its registry at startup, so this only matters if the modules should "
    "be there.");
const QString kUncheckedText =
    QStringLiteral("The PixInsight program folder could not be found, so the registered modules "
                   "could not be matched to files. Looked in: ");

QByteArray pref(const char *group, const char *key, const char *type, const char *value)
{
    return QByteArray("<i k=\"Global\"><i k=\"Preferences\"><i k=\"") + group + "\"><v k=\"" + key +
           "\" t=\"" + type + "\" v=\"" + value + "\"/></i></i></i>";
}

qsizetype valuesBelow(const XsdtNode *node)
{
    return node ? node->valueCount() : 0;
}

} // namespace

class TestHealthCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyFindingInAGeneratedFile();
    void generatedFileWithoutProgramFolder();
    void cleanGeneratedFile();
    void cases_data();
    void cases();
    void pendingChanges();
    void duplicateKeys();
    void severityNames();

private:
    Schema m_schema;
};

void TestHealthCheck::initTestCase()
{
    QString error;
    QVERIFY2(m_schema.load(resource(QStringLiteral(":/schema/globals.json")),
                           resource(QStringLiteral(":/schema/overlay.json")), &error),
             qPrintable(error));
}

void TestHealthCheck::everyFindingInAGeneratedFile()
{
    testdata::GeneratorOptions options;
    options.seed = 11;
    options.targetBytes = 200 * 1024;
    options.duplicateKeys = false;
    options.plantProblems = true;
    options.plantMoreProblems = true;
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::generateSettings(options)));

    const QString lost = testdata::generatedModuleNames(options).first();
    const QString lostFile = QStringLiteral("/opt/PixInsight/bin/%1-pxm.so").arg(lost);
    const HealthEnv env =
        madeUpEnv({QString::fromLatin1(testdata::kMissingFolder),
                   "/opt/PixInsight/rsc/style/core.qss", lostFile,
                   // Read-only settings are PixInsight's business and never reported.
                   "/opt/PixInsight/bin/PixInsight", "/usr/share/color/icc/colord/sRGB.icc"},
                  8);
    const QList<Finding> findings = runHealthCheck(doc, m_schema, env);

    // The unregistered module's values, counted from the file's layout rather than by the
    // module analysis: its data, access record, top-level group and per-process entries,
    // plus the one value of PixelClipboard.
    const QString kestrane = QString::fromLatin1(testdata::kUnregisteredModule);
    qsizetype unusedValues = valuesBelow(doc.findPath(u"PixelClipboard"));
    unusedValues += valuesBelow(doc.findPath(QString(QStringLiteral("ModuleData/") + kestrane)));
    unusedValues +=
        valuesBelow(doc.findPath(QString(QStringLiteral("ModuleDataAccess/") + kestrane)));
    unusedValues += valuesBelow(doc.findPath(kestrane));
    for (const char *container :
         {"Global/Preferences/ProcessInterface", "Global/Statistics/Process"}) {
        for (const auto &child : doc.findPath(QString::fromLatin1(container))->children) {
            if (child->key.startsWith(kestrane))
                unusedValues += child->valueCount();
        }
    }

    const QStringList expected = {
        "out-of-range | Problem | Font resolution is outside its documented range | The value is "
        "20; PixInsight documents 48 to 1000.",
        "path-missing | Warning | Style sheet file: the file does not exist | "
        "/opt/PixInsight/rsc/style/core.qss" +
            kPathText,
        "unknown-option | Warning | Default mask mode has an option value that is not "
        "recognised | The value is 12; the known options are: 0 = Replace image, 1 = Multiply, "
        "2 = Overlay red, 3 = Overlay green, 4 = Overlay blue, 5 = Overlay yellow, 6 = Overlay "
        "magenta, 7 = Overlay cyan, 8 = Overlay orange, 9 = Overlay violet.",
        "path-missing | Warning | Downloads directory: the folder does not exist | " +
            QString::fromLatin1(testdata::kMissingFolder) + kPathText,
        "too-many-processors | Warning | Maximum processors is higher than this computer has | "
        "The setting is 64 and this computer has 8 logical processors. This is harmless on the "
        "computer the file came from, but here PixInsight will simply use them all.",
        "module-file-missing | Warning | 1 registered module(s) have no file on this computer | "
        "Listed in the module registry but not in /opt/PixInsight/bin: " +
            lost + kRegistryText,
        "duplicate-key | Warning | \"File02\" appears 2 times in MainWindow/RecentFiles | " +
            kDuplicateText,
        "unused-modules | Note | 2 module(s) have saved data but are not in the module list | " +
            kestrane + ", PixelClipboard (" + QString::number(unusedValues) + kUnusedText,
        "unsigned-allowed | Note | PixInsight is set to allow unsigned or insecure content | "
        "Turned on: allow unsigned repositories; allow unsigned script execution" +
            kUnsignedText,
    };
    QCOMPARE(lines(findings), expected);

    auto at = [&](const char *path) { return doc.findPath(QString::fromLatin1(path)); };
    QCOMPARE(findings.at(0).nodes, {at("Global/Preferences/Application/FontResolution")});
    QCOMPARE(findings.at(1).nodes, {at("Global/Preferences/Application/StyleSheetFile")});
    QCOMPARE(findings.at(2).nodes, {at("Global/Preferences/ImageWindow/DefaultMaskMode")});
    QCOMPARE(findings.at(3).nodes, {at("Global/Preferences/ImageWindow/DownloadsDirectory")});
    QCOMPARE(findings.at(4).nodes, {at("Global/Preferences/Process/MaxProcessors")});
    QCOMPARE(findings.at(5).nodes.size(), 1);
    QVERIFY(findings.at(5).nodes.first()->value.endsWith(lost + QStringLiteral("-pxm.so")));
    QCOMPARE(findings.at(5).nodes.first()->parent, at("Modules"));
    const XsdtNode *recent = at("MainWindow/RecentFiles");
    QCOMPARE(findings.at(6).nodes.size(), 2);
    QCOMPARE(findings.at(6).nodes.at(0), recent->children.at(1).get());
    QCOMPARE(findings.at(6).nodes.at(1), recent->children.at(2).get());
    QVERIFY(findings.at(7).nodes.isEmpty());
    QCOMPARE(findings.at(8).nodes,
             (QList<XsdtNode *>{at("Global/Preferences/Security/AllowUnsignedRepositories"),
                                at("Global/Preferences/Security/AllowUnsignedScriptExecution")}));
    for (qsizetype i = 0; i < findings.size(); ++i) {
        QCOMPARE(findings.at(i).action,
                 i == 7 ? FindingAction::OpenUnusedModules : FindingAction::None);
    }
}

void TestHealthCheck::generatedFileWithoutProgramFolder()
{
    testdata::GeneratorOptions options;
    options.seed = 12;
    options.targetBytes = 64 * 1024;
    options.duplicateKeys = false;
    options.pixelClipboard = false;
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::generateSettings(options)));

    // The file records /opt/PixInsight; the candidates follow, without repeating it.
    const HealthEnv env = madeUpEnv({"/opt/PixInsight/bin", "/home/u/PixInsight/bin"}, 8,
                                    {"/opt/PixInsight", "/home/u/PixInsight"});
    QCOMPARE(lines(runHealthCheck(doc, m_schema, env)),
             QStringList{"modules-unchecked | Note | Module files were not checked | " +
                         kUncheckedText + "/opt/PixInsight, /home/u/PixInsight."});
}

void TestHealthCheck::cleanGeneratedFile()
{
    testdata::GeneratorOptions options;
    options.seed = 13;
    options.targetBytes = 256 * 1024;
    options.duplicateKeys = false;
    options.plantProblems = false;
    options.pixelClipboard = false;
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::generateSettings(options)));
    const QList<Finding> findings = runHealthCheck(doc, m_schema, madeUpEnv({}, 8));
    QVERIFY2(findings.isEmpty(), qPrintable(lines(findings).join(QLatin1Char('\n'))));
}

void TestHealthCheck::cases_data()
{
    QTest::addColumn<QByteArray>("elements");
    QTest::addColumn<QStringList>("missing");
    QTest::addColumn<bool>("existsKnown");
    QTest::addColumn<int>("processors");
    QTest::addColumn<bool>("windows");
    QTest::addColumn<QString>("binDir");
    QTest::addColumn<QStringList>("candidates");
    QTest::addColumn<QStringList>("expected");

    const QStringList none;
    const QStringList all{"*"};
    QTest::newRow("below documented minimum")
        << pref("Application", "FontResolution", "i", "20") << none << true << 8 << false
        << QString() << none
        << QStringList{"out-of-range | Problem | Font resolution is outside its documented range "
                       "| The value is 20; PixInsight documents 48 to 1000."};
    QTest::newRow("open upper bound")
        << pref("Process", "MaxProcessors", "i", "0") << none << true << 8 << false << QString()
        << none
        << QStringList{"out-of-range | Problem | Max processors is outside its documented range | "
                       "The value is 0; PixInsight documents 1 to 1.7976931348623157e+308."};
    QTest::newRow("opacity above one")
        << pref("MainWindow", "InactiveWindowOpacity", "F", "1.5") << none << true << 8 << false
        << QString() << none
        << QStringList{"out-of-range | Problem | Inactive window opacity is outside its "
                       "documented range | The value is 1.5; PixInsight documents 0 to 1."};
    QTest::newRow("not a number is no range problem")
        << pref("Application", "FontResolution", "i", "big") << none << true << 8 << false
        << QString() << none << QStringList();
    QTest::newRow("unknown option")
        << QByteArray("<i k=\"Global\"><i k=\"ColorManagement\"><v k=\"DefaultRenderingIntent\" "
                      "t=\"i\" v=\"7\"/></i></i>")
        << none << true << 8 << false << QString() << none
        << QStringList{"unknown-option | Warning | Default rendering intent has an option value "
                       "that is not recognised | The value is 7; the known options are: 0 = "
                       "Perceptual, 1 = Saturation, 2 = Relative colorimetric, 3 = Absolute "
                       "colorimetric."};
    QTest::newRow("option that does not parse counts as 0")
        << QByteArray("<i k=\"Global\"><i k=\"ColorManagement\"><v k=\"DefaultRenderingIntent\" "
                      "t=\"i\" v=\"abc\"/></i></i>")
        << none << true << 8 << false << QString() << none << QStringList();
    QTest::newRow("settings never reported missing")
        << QByteArray(
               "<i k=\"Global\"><i k=\"Preferences\"><i k=\"Application\">"
               "<v k=\"StyleSheetFile\" t=\"s\" v=\"@rsc/core.qss\"/>"
               "<v k=\"ResourceFile01\" t=\"s\" v=\"rsc/relative.rcc\"/>"
               "<v k=\"ResourceFile02\" t=\"s\" v=\"   \"/>"
               "<v k=\"CoreFilePath\" t=\"s\" v=\"/gone/PixInsight\"/>"
               "<v k=\"ResourceFile03\" t=\"B\" v=\"/gone/block\"/>"
               "<v k=\"ResourceFile04\" t=\"s\" c=\"zlib\"><s u=\"12\">eJwrzs9NBQAAAP//</s></v>"
               "</i></i><i k=\"FileDialogs\"><v k=\"LastDirectory\" t=\"s\" v=\"/gone\"/></i></i>"
               "<i k=\"ScriptData\"><i k=\"Tool\"><v k=\"OutputDirectory\" t=\"s\" "
               "v=\"/gone\"/></i></i>")
        << all << true << 8 << false << QString() << none << QStringList();
    QTest::newRow("missing file and folder")
        << QByteArray("<i k=\"Global\"><i k=\"ColorManagement\">"
                      "<v k=\"DefaultRGBProfilePath\" t=\"s\" v=\"/gone/sRGB.icc\"/>"
                      "<v k=\"ProofingProfilePath\" t=\"s\" v=\"C:/Profiles/proof.icc\"/>"
                      "</i><i k=\"Preferences\"><i k=\"Tool\">"
                      "<v k=\"CacheDirectory3\" t=\"s\" v=\"~/cache\"/></i></i></i>")
        << QStringList{"/gone/sRGB.icc", "~/cache", "C:/Profiles/proof.icc"} << true << 8 << false
        << QString() << none
        << QStringList{"path-missing | Warning | Default RGB profile path: the file does not "
                       "exist | /gone/sRGB.icc" +
                           kPathText,
                       "path-missing | Warning | Cache directory 3: the folder does not exist | "
                       "~/cache" +
                           kPathText};
    QTest::newRow("windows drive paths")
        << QByteArray("<i k=\"Global\"><i k=\"ColorManagement\">"
                      "<v k=\"ProofingProfilePath\" t=\"s\" v=\"C:/Profiles/proof.icc\"/>"
                      "</i></i>")
        << all << true << 8 << true << QString() << none
        << QStringList{"path-missing | Warning | Proofing profile path: the file does not exist "
                       "| C:/Profiles/proof.icc" +
                       kPathText};
    QTest::newRow("no existence test: nothing is missing")
        << QByteArray("<i k=\"Global\"><i k=\"ColorManagement\">"
                      "<v k=\"DefaultRGBProfilePath\" t=\"s\" v=\"/gone/sRGB.icc\"/></i></i>"
                      "<i k=\"Modules\"><v k=\"1\" t=\"s\" v=\"@pxi_bin_dir/Gone-pxm.so\"/></i>")
        << all << false << 8 << false << QString() << QStringList{"/nowhere"} << QStringList();
    QTest::newRow("too many processors")
        << pref("Process", "MaxProcessors", "i", "64") << none << true << 8 << false << QString()
        << none
        << QStringList{"too-many-processors | Warning | Maximum processors is higher than this "
                       "computer has | The setting is 64 and this computer has 8 logical "
                       "processors. This is harmless on the computer the file came from, but "
                       "here PixInsight will simply use them all."};
    QTest::newRow("processor count unknown")
        << pref("Process", "MaxProcessors", "i", "64") << none << true << 0 << false << QString()
        << none << QStringList();
    QTest::newRow("processors beyond 32 bits read as 0")
        << pref("Process", "MaxProcessors", "i", "4294967297") << none << true << 8 << false
        << QString() << none << QStringList();
    QTest::newRow("nowhere to look")
        << QByteArray("<i k=\"Modules\"><v k=\"1\" t=\"s\" v=\"@pxi_bin_dir/Gone-pxm.so\"/></i>")
        << all << true << 8 << false << QString() << none
        << QStringList{"modules-unchecked | Note | Module files were not checked | " +
                       kUncheckedText +
                       "(nowhere: no location is recorded in the file and none is known for "
                       "this system)."};
    QTest::newRow("registered modules without files")
        << QByteArray("<i k=\"Modules\">"
                      "<v k=\"1\" t=\"s\" v=\"@pxi_bin_dir/Kestrane-pxm.so\"/>"
                      "<v k=\"2\" t=\"s\" v=\"/pi/bin/Present-pxm.so\"/>"
                      "<v k=\"3\" t=\"s\" v=\"relative/Rel-pxm.so\"/>"
                      "<v k=\"4\" t=\"s\" v=\"@pxi_bin_dir/notamodule.so\"/>"
                      "<i k=\"5\"><v k=\"x\" t=\"s\" v=\"/gone/Grouped-pxm.so\"/></i>"
                      "</i><i k=\"Kestrane\"/>")
        << QStringList{"/pi/bin/Kestrane-pxm.so", "/pi/bin/notamodule.so", "relative/Rel-pxm.so"}
        << true << 8 << false << "/pi/bin" << none
        << QStringList{"module-file-missing | Warning | 2 registered module(s) have no file on "
                       "this computer | Listed in the module registry but not in /pi/bin: "
                       "Kestrane, @pxi_bin_dir/notamodule.so" +
                       kRegistryText};
    QTest::newRow("no registry, no module checks")
        << pref("Application", "BinDirectory", "s", "/gone/bin") << all << true << 8 << false
        << QString() << none << QStringList();
    QTest::newRow("duplicates at the top level")
        << QByteArray("<i k=\"Foo\"/><v k=\"Bar\" t=\"i\" v=\"1\"/><i k=\"Foo\"><v k=\"a\" "
                      "t=\"i\" v=\"1\"/></i><v k=\"Bar\" t=\"i\" v=\"2\"/><v k=\"Foo\" t=\"s\" "
                      "v=\"\"/><i k=\"foo\"/>")
        << none << true << 8 << false << QString() << none
        << QStringList{"duplicate-key | Warning | \"Foo\" appears 3 times in the top level | " +
                           kDuplicateText,
                       "duplicate-key | Warning | \"Bar\" appears 2 times in the top level | " +
                           kDuplicateText,
                       "unused-modules | Note | 2 module(s) have saved data but are not in the "
                       "module list | Foo, foo (1" +
                           kUnusedText};
    QTest::newRow("duplicates inside a module")
        << QByteArray("<i k=\"Modules\"><v k=\"1\" t=\"s\" v=\"@pxi_bin_dir/Kestrane-pxm.so\"/>"
                      "</i><i k=\"ModuleData\"><i k=\"Kestrane\"><v k=\"X\" t=\"i\" v=\"1\"/>"
                      "<v k=\"X\" t=\"i\" v=\"2\"/></i></i>")
        << none << true << 8 << false << "/pi/bin" << none
        << QStringList{"duplicate-key | Warning | \"X\" appears 2 times in ModuleData/Kestrane | " +
                       kDuplicateText};
    QTest::newRow("only exact true allows")
        << QByteArray("<i k=\"Global\"><i k=\"Preferences\"><i k=\"Security\">"
                      "<v k=\"AllowInsecureRepositories\" t=\"b\" v=\"True\"/>"
                      "<v k=\"AllowUnsignedModuleInstallation\" t=\"b\" v=\"true \"/>"
                      "<v k=\"AllowUnsignedRepositories\" t=\"b\" v=\"true\"/>"
                      "<i k=\"AllowUnsignedScriptExecution\"/>"
                      "<v k=\"WarnOnUnsignedCodeExecution\" t=\"b\" v=\"true\"/>"
                      "</i></i></i>")
        << none << true << 8 << false << QString() << none
        << QStringList{"unsigned-allowed | Note | PixInsight is set to allow unsigned or insecure "
                       "content | Turned on: allow unsigned repositories" +
                       kUnsignedText};
    // A Warning, then a Problem, then a Note in the order the checks run: listed by severity,
    // and equal severities keep their order.
    QTest::newRow("sorted by severity")
        << QByteArray(
               "<i k=\"Global\"><i k=\"Preferences\">"
               "<i k=\"Security\"><v k=\"AllowInsecureRepositories\" t=\"b\" v=\"true\"/></i>"
               "<i k=\"Application\"><v k=\"StyleSheetFile\" t=\"s\" v=\"/gone.qss\"/></i>"
               "<i k=\"MainWindow\"><v k=\"ActiveWindowOpacity\" t=\"F\" v=\"-0.5\"/>"
               "<v k=\"WallpaperFile01\" t=\"s\" v=\"/gone.jpg\"/></i>"
               "</i></i>")
        << QStringList{"/gone.qss", "/gone.jpg"} << true << 8 << false << QString() << none
        << QStringList{"out-of-range | Problem | Active window opacity is outside its documented "
                       "range | The value is -0.5; PixInsight documents 0 to 1.",
                       "path-missing | Warning | Style sheet file: the file does not exist | "
                       "/gone.qss" +
                           kPathText,
                       "path-missing | Warning | Wallpaper file 01: the file does not exist | "
                       "/gone.jpg" +
                           kPathText,
                       "unsigned-allowed | Note | PixInsight is set to allow unsigned or "
                       "insecure content | Turned on: allow insecure repositories" +
                           kUnsignedText};
}

void TestHealthCheck::cases()
{
    QFETCH(QByteArray, elements);
    QFETCH(QStringList, missing);
    QFETCH(bool, existsKnown);
    QFETCH(int, processors);
    QFETCH(bool, windows);
    QFETCH(QString, binDir);
    QFETCH(QStringList, candidates);

    XsdtDocument doc;
    QString error;
    QVERIFY2(doc.parse(testdata::wrapSettings(elements), &error), qPrintable(error));
    HealthEnv env = madeUpEnv(missing, processors, candidates);
    if (!existsKnown)
        env.exists = nullptr;
    env.windowsPaths = windows;
    env.binDir = binDir;
    QTEST(lines(runHealthCheck(doc, m_schema, env)), "expected");
}

void TestHealthCheck::pendingChanges()
{
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::wrapSettings(
        "<i k=\"Global\"><i k=\"Preferences\">"
        "<i k=\"Application\"><v k=\"FontResolution\" t=\"i\" v=\"100\"/>"
        "<v k=\"StyleSheetFile\" t=\"s\" v=\"/gone.qss\"/></i>"
        "<i k=\"Process\"><v k=\"MaxProcessors\" t=\"i\" v=\"64\"/></i>"
        "<i k=\"Security\"><v k=\"AllowUnsignedRepositories\" t=\"b\" v=\"true\"/></i>"
        "</i></i>"
        "<i k=\"Modules\"><v k=\"1\" t=\"s\" v=\"@pxi_bin_dir/Gone-pxm.so\"/></i>"
        "<i k=\"ModuleData\"><i k=\"Gone\"><v k=\"X\" t=\"i\" v=\"1\"/><v k=\"X\" t=\"i\" "
        "v=\"2\"/></i></i>")));
    const HealthEnv env = madeUpEnv({"/gone.qss", "/pi/bin/Gone-pxm.so"}, 8);
    HealthEnv withBin = env;
    withBin.binDir = QStringLiteral("/pi/bin");
    auto idsWithBin = [&] {
        QStringList out;
        for (const Finding &f : runHealthCheck(doc, m_schema, withBin))
            out.append(f.id);
        return out;
    };
    QCOMPARE(idsWithBin(),
             (QStringList{"path-missing", "too-many-processors", "module-file-missing",
                          "duplicate-key", "unsigned-allowed"}));

    // An edit not yet saved is what is checked.
    XsdtNode *font = doc.findPath(u"Global/Preferences/Application/FontResolution");
    font->value = QStringLiteral("20");
    QCOMPARE(idsWithBin().first(), QString("out-of-range"));
    font->value = font->originalValue;

    // Entries queued for deletion, or inside a group queued for deletion, are gone already.
    doc.findPath(u"Global/Preferences/Application")->pendingDelete = true;
    doc.findPath(u"Global/Preferences/Process/MaxProcessors")->pendingDelete = true;
    doc.findPath(u"Global/Preferences/Security/AllowUnsignedRepositories")->pendingDelete = true;
    doc.findPath(u"Modules/1")->pendingDelete = true;
    doc.findPath(u"ModuleData/Gone")->children.at(1)->pendingDelete = true;
    QVERIFY(idsWithBin().isEmpty());
    doc.revertAll();
    doc.findPath(u"ModuleData/Gone")->pendingDelete = true;
    QVERIFY(!idsWithBin().contains(QStringLiteral("duplicate-key")));
}

void TestHealthCheck::duplicateKeys()
{
    // A large group takes another path through the search than a small one; both report keys
    // in the order they first occur, with all entries in document order.
    XsdtNode root;
    XsdtNode *big = root.appendChild(XsdtNode::Group, QStringLiteral("Big"));
    for (int i = 0; i < 30; ++i)
        big->appendChild(XsdtNode::Value, QStringLiteral("k%1").arg(29 - (i % 20)));
    XsdtNode *small = root.appendChild(XsdtNode::Group, QStringLiteral("Small"));
    for (const char *key : {"b", "a", "b", "c", "a", "b"})
        small->appendChild(XsdtNode::Value, QString::fromLatin1(key));

    QList<Finding> findings{Finding{QStringLiteral("kept"), Severity::Note, {}, {}, {}, {}}};
    findDuplicateKeys(&root, findings);
    QCOMPARE(findings.size(), 1 + 10 + 2);
    QCOMPARE(findings.first().id, QString("kept"));
    for (int i = 0; i < 10; ++i) {
        const Finding &f = findings.at(1 + i);
        QCOMPARE(f.title, QStringLiteral("\"k%1\" appears 2 times in Big").arg(29 - i));
        QCOMPARE(f.nodes,
                 (QList<XsdtNode *>{big->children.at(i).get(), big->children.at(i + 20).get()}));
    }
    QCOMPARE(findings.at(11).title, QString("\"b\" appears 3 times in Small"));
    QCOMPARE(findings.at(11).nodes,
             (QList<XsdtNode *>{small->children.at(0).get(), small->children.at(2).get(),
                                small->children.at(5).get()}));
    QCOMPARE(findings.at(12).title, QString("\"a\" appears 2 times in Small"));

    // Called on one group, only that group and what is below it is searched.
    QList<Finding> below;
    findDuplicateKeys(small, below);
    QCOMPARE(below.size(), 2);
    findDuplicateKeys(nullptr, below);
    QCOMPARE(below.size(), 2);
}

void TestHealthCheck::severityNames()
{
    QCOMPARE(severityName(Severity::Note), QString("Note"));
    QCOMPARE(severityName(Severity::Warning), QString("Warning"));
    QCOMPARE(severityName(Severity::Problem), QString("Problem"));
    QCOMPARE(severityName(Severity(3)), QString());
}

QTEST_GUILESS_MAIN(TestHealthCheck)
#include "tst_healthcheck.moc"
