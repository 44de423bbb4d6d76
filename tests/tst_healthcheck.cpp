#include "document/xsdtdocument.h"
#include "environment/englishplurals.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "knowledge/healthcheck.h"
#include "knowledge/schema.h"
#include "support/testfiles.h"

#include <QFile>
#include <QSet>
#include <QtTest>

using namespace vrn;

namespace {

using testdata::readFile;

// A made-up computer: everything exists except the listed paths ("*" = nothing exists).
HealthEnv madeUpEnv(const QStringList &missing, int processors = 8, const QString &binDir = {},
                    const QStringList &candidates = {"/nowhere/PixInsight"})
{
    HealthEnv env;
    const QSet<QString> gone(missing.begin(), missing.end());
    env.exists = [gone](const QString &path) {
        return !gone.contains("*") && !gone.contains(path);
    };
    env.logicalProcessors = processors;
    env.binDir = binDir;
    env.installCandidates = candidates;
    return env;
}

QStringList lines(const QList<Finding> &findings)
{
    QStringList out;
    for (const Finding &f : findings) {
        QStringList at;
        for (const XsdtNode *node : f.nodes)
            at.append(node->path());
        out.append(f.id + " | " + severityName(f.severity) + " | " + f.title + " | " + f.text +
                   " | at " + at.join(", "));
    }
    return out;
}

const QString kUncheckedText =
    "modules-unchecked | Note | Module files were not checked | The PixInsight program folder "
    "could not be found, so the registered modules could not be matched to files. Looked in: ";

// Each expected line is the start of a finding's line; more or fewer findings show as well.
QStringList startsOf(const QStringList &found, const QStringList &expected)
{
    QStringList starts;
    for (qsizetype i = 0; i < found.size(); ++i)
        starts.append(found.at(i).left(expected.value(i).size()));
    return starts;
}

QByteArray pref(const char *group, const char *key, const char *type, const char *value)
{
    return QByteArray("<i k='Global'><i k='Preferences'><i k='") + group + "'><v k='" + key +
           "' t='" + type + "' v='" + value + "'/></i></i></i>";
}

} // namespace

Q_DECLARE_METATYPE(HealthEnv)

class TestHealthCheck : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanGeneratedFile();
    void cases_data();
    void cases();
    void pendingChanges();
    void largeGroups();

private:
    Schema m_schema;
};

void TestHealthCheck::initTestCase()
{
    installEnglishPlurals();
    QString error;
    QVERIFY2(
        m_schema.load(readFile(":/schema/globals.json"), readFile(":/schema/overlay.json"), &error),
        qPrintable(error));
}

// A file as PixInsight writes it, with no problems planted, raises nothing.
void TestHealthCheck::cleanGeneratedFile()
{
    testdata::GeneratorOptions options;
    options.seed = 13;
    options.targetBytes = 256 * 1024;
    options.duplicateKeys = options.pixelClipboard = false;
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::generateSettings(options)));
    const QStringList found = lines(runHealthCheck(doc, m_schema, madeUpEnv({})));
    QVERIFY2(found.isEmpty(), qPrintable(found.join('\n')));
}

void TestHealthCheck::cases_data()
{
    QTest::addColumn<QByteArray>("elements");
    QTest::addColumn<HealthEnv>("env");
    QTest::addColumn<QStringList>("expected");

    const auto row = [](const char *name, const QByteArray &elements, const HealthEnv &env,
                        const QStringList &expected) {
        QTest::newRow(name) << elements << env << expected;
    };

    const HealthEnv all = madeUpEnv({"*"});
    HealthEnv windows = all;
    windows.windowsPaths = true;
    HealthEnv blind = madeUpEnv({"*"}, 8, {}, {"/nowhere"});
    blind.exists = nullptr;

    // Bytes that are not UTF-8: counted and placed; a real U+FFFD in the file is not one.
    row("invalid UTF-8 in a value", "<v k='B' t='s' v='x\xFFy'/>", all,
        {"invalid-utf8 | Warning | 1 byte sequence in the file is not valid UTF-8 | The first "
         "is at line 2, column 79, in B. They are shown as \uFFFD, and saving writes them that "
         "way; the backup made by the save keeps the original bytes."});
    row("invalid UTF-8 after a real replacement character",
        "<v k='C' t='s' v='\xEF\xBF\xBDz'/><v k='D' t='s' v='\xC3'/>", all,
        {"invalid-utf8 | Warning | 1 byte sequence in the file is not valid "
         "UTF-8 | The first is at line 2, column 101, in D."});

    // Anywhere in the file, in both forms; tab, line feed and carriage return are allowed.
    row("characters XML does not allow",
        "<i k='Global'><i k='X'><v k='A' t='s' v='a&#9;&#10;&#13;'/><v k='B' t='s' v='a&#1;b'/>"
        "</i></i><i k='CommandHistory'><v k='C' t='s'>\x1F</v></i>",
        all,
        {"unwritable-character | Warning | 2 values hold characters that XML does not allow | "
         "The first is U+0001 at position 2 of Global/X/B. Programs that read the file as XML "
         "refuse it because of them; edit or delete these values."});
    row("option not recognised", pref("ImageWindow", "DefaultMaskMode", "i", "12"), all,
        {"unknown-option | Warning | Default mask mode has an option value that is not "
         "recognised | The value is 12; the known options are: 0 = Replace image, 1 = Multiply,"});
    row("more processors than the computer has", pref("Process", "MaxProcessors", "i", "9"),
        madeUpEnv({}, 8),
        {"too-many-processors | Warning | Maximum processors is higher than this computer has | "
         "The setting is 9 and this computer has 8 logical processors."});
    row("as many processors as the computer has", pref("Process", "MaxProcessors", "i", "8"),
        madeUpEnv({}, 8), {});
    row("at the minimum", pref("Application", "AutoSaveSettingsPeriod", "i", "1"), all, {});
    row("at the maximum", pref("Application", "AutoSaveSettingsPeriod", "i", "86400"), all, {});
    row("open upper bound", pref("Process", "MaxProcessors", "i", "0"), all,
        {"out-of-range | Problem | Max processors is outside its documented range | "
         "The value is 0; PixInsight documents at least 1. | at "
         "Global/Preferences/Process/MaxProcessors"});
    // "big" is no number, "abc" counts as option 0, 2^32 + 1 processors read as 0.
    row("values that do not parse",
        "<i k='Global'><i k='Preferences'><i k='Application'><v k='FontResolution' t='i' v='big'/>"
        "</i><i k='Process'><v k='MaxProcessors' t='i' v='4294967297'/></i></i>"
        "<i k='ColorManagement'><v k='ProofingIntent' t='i' v='abc'/></i></i>",
        all, {});
    row("settings never reported missing",
        "<i k='Global'><i k='Preferences'><i k='Application'><v k='StyleSheetFile' t='s' "
        "v='@rsc/core.qss'/><v k='ResourceFile01' t='s' v='rsc/relative.rcc'/>"
        "<v k='ResourceFile02' t='s' v='   '/><v k='CoreFilePath' t='s' v='/gone/PixInsight'/>"
        "<v k='ResourceFile03' t='B' v='/gone/block'/><v k='ResourceFile04' t='s' c='zlib'>"
        "<s u=\"12\">eJwrzs9NBQAAAP//</s></v></i></i><i k='FileDialogs'>"
        "<v k='LastDirectory' t='s' v='/gone'/></i></i><i k='ScriptData'><i k='Tool'>"
        "<v k='OutputDirectory' t='s' v='/gone'/></i></i>",
        all, {});
    row("missing file and folder",
        "<i k='Global'><i k='ColorManagement'><v k='DefaultRGBProfilePath' t='s' "
        "v='/gone/sRGB.icc'/><v k='ProofingProfilePath' t='s' v='C:/Profiles/proof.icc'/></i>"
        "<i k='Preferences'><i k='Tool'><v k='CacheDirectory3' t='s' v='~/cache'/></i></i></i>",
        all,
        {"path-missing | Warning | Default RGB profile path: the file does not "
         "exist | /gone/sRGB.icc is not",
         "path-missing | Warning | Cache directory 3: the folder does not exist | ~/cache is not"});
    // Each path of a list on its own; a script editor's "|place" is no part of the name.
    row("a list, one path missing",
        "<i k='Global'><i k='ColorManagement'><v k='DefaultRGBProfilePath' t='s' "
        "v='/here/a.icc|12&#10;/gone/b.icc'/></i></i>",
        madeUpEnv({"/gone/b.icc", "/here/a.icc|12"}),
        {"path-missing | Warning | Default RGB profile path: the file does not exist | "
         "/gone/b.icc is not"});
    row("windows drive paths",
        "<i k='Global'><i k='ColorManagement'>"
        "<v k='ProofingProfilePath' t='s' v='C:/Profiles/proof.icc'/></i></i>",
        windows,
        {"path-missing | Warning | Proofing profile path: the file does not exist "
         "| C:/Profiles/proof.icc is not"});
    row("no existence test: nothing is missing",
        "<i k='Global'><i k='ColorManagement'>"
        "<v k='DefaultRGBProfilePath' t='s' v='/gone/sRGB.icc'/></i></i>"
        "<i k='Modules'><v k='1' t='s' v='@pxi_bin_dir/Gone-pxm.so'/></i>",
        blind, {});
    row("processor count unknown", pref("Process", "MaxProcessors", "i", "64"), madeUpEnv({}, 0),
        {});
    row("registered modules without files",
        "<i k='Modules'><v k='1' t='s' v='@pxi_bin_dir/Kestrane-pxm.so'/>"
        "<v k='2' t='s' v='/pi/bin/Present-pxm.so'/><v k='3' t='s' "
        "v='relative/Rel-pxm.so'/><v k='4' t='s' v='@pxi_bin_dir/notamodule.so'/>"
        "<i k='5'><v k='x' t='s' v='/gone/Grouped-pxm.so'/></i></i><i k='Kestrane'/>",
        madeUpEnv({"/pi/bin/Kestrane-pxm.so", "/pi/bin/notamodule.so", "relative/Rel-pxm.so"}, 8,
                  "/pi/bin"),
        {"module-file-missing | Warning | 2 registered modules have no file on this computer | "
         "Listed in the module registry but not in /pi/bin: Kestrane, "
         "@pxi_bin_dir/notamodule.so. PixInsight repairs its registry at startup, so this only "
         "matters if the modules should be there. | at Modules/1, Modules/4"});
    // Compared after resolving the placeholder; "//" is one separator, case counts here.
    row("module file registered twice",
        "<i k='Modules'><v k='1' t='s' v='@pxi_bin_dir/Kestrane-pxm.so'/><v k='2' t='s' "
        "v='/pi/bin/Other-pxm.so'/><v k='3' t='s' v='/pi/bin/Kestrane-pxm.so'/><v k='4' t='s' "
        "v='/pi/bin//Other-pxm.so'/><v k='5' t='s' v='/pi/BIN/Kestrane-pxm.so'/></i>",
        madeUpEnv({}, 8, "/pi/bin"),
        {"module-registered-twice | Warning | Kestrane is registered twice | The module registry "
         "entries Modules/1 and Modules/3 both name /pi/bin/Kestrane-pxm.so, so PixInsight loads "
         "it twice and complains about duplicate identifiers. The later entry can go.",
         "module-registered-twice | Warning | Other is registered twice | The module registry "
         "entries Modules/2 and Modules/4 both name /pi/bin/Other-pxm.so,"});
    row("registered twice under one key",
        "<i k='Modules'><v k='2' t='s' v='/pi/bin/Y-pxm.so'/><v k='2' t='s' "
        "v='/pi/bin/Y-pxm.so'/></i>",
        madeUpEnv({}, 8, "/pi/bin"),
        {"module-registered-twice | Warning | Y is registered twice | The module registry entries "
         "Modules/2 (entry 1 of 2 with that key) and Modules/2 (entry 2 of 2 with that key) both "
         "name /pi/bin/Y-pxm.so,",
         "duplicate-key"});
    row("registered twice, Windows rules",
        "<i k='Modules'><v k='1' t='s' v='@pxi_bin_dir/A-pxm.dll'/>"
        "<v k='2' t='s' v='c:\\pi\\BIN\\a-pxm.dll'/></i>",
        [] {
            HealthEnv env = madeUpEnv({}, 8, "C:/PI/bin");
            env.windowsPaths = true;
            return env;
        }(),
        {"module-registered-twice | Warning | A is registered twice | The module registry entries "
         "Modules/1 and Modules/2 both name C:/PI/bin/A-pxm.dll,"});
    // Not found here: the folder the file records stands in for the placeholder.
    row("registered twice, recorded bin folder",
        pref("Application", "CoreFilePath", "s", "/rec/PixInsight/bin/PixInsight") +
            "<i k='Modules'><v k='1' t='s' v='@pxi_bin_dir/X-pxm.so'/>"
            "<v k='2' t='s' v='/rec/PixInsight/bin/X-pxm.so'/></i>",
        all,
        {"module-registered-twice | Warning | X is registered twice | The module registry entries "
         "Modules/1 and Modules/2 both name /rec/PixInsight/bin/X-pxm.so,",
         kUncheckedText + "/rec/PixInsight, /nowhere/PixInsight."});
    row("registered twice, no bin folder at all",
        "<i k='Modules'><v k='1' t='s' v='@pxi_bin_dir/X-pxm.so'/><v k='2' t='s' "
        "v='/opt/PixInsight/bin/X-pxm.so'/><v k='3' t='s' v='@pxi_bin_dir/X-pxm.so'/></i>",
        madeUpEnv({"*"}, 8, {}, {}),
        {"module-registered-twice | Warning | X is registered twice | The module registry entries "
         "Modules/1 and Modules/3 both name @pxi_bin_dir/X-pxm.so,",
         kUncheckedText + "(nowhere: no location is recorded in the file and none is known for "
                          "this system)."});
    row("no registry, no module checks", pref("Application", "BinDirectory", "s", "/gone/bin"), all,
        {});
    row("duplicates at the top level",
        "<i k='Foo'/><v k='Bar' t='i' v='1'/><i k='Foo'><v k='a' t='i' v='1'/></i>"
        "<v k='Bar' t='i' v='2'/><v k='Foo' t='s' v=''/><i k='foo'/>",
        all,
        {"duplicate-key | Warning | \"Foo\" appears 3 times in the top level | A",
         "duplicate-key | Warning | \"Bar\" appears 2 times in the top level | A",
         "unused-modules | Note | 2 modules have saved data but are not in the "
         "module list | Foo, foo (1 value in all"});
    row("only exact true allows",
        "<i k='Global'><i k='Preferences'><i k='Security'><v k='AllowInsecureRepositories' t='b' "
        "v='True'/><v k='AllowUnsignedModuleInstallation' t='b' v='true '/>"
        "<v k='AllowUnsignedRepositories' t='b' v='true'/><i k='AllowUnsignedScriptExecution'/>"
        "<v k='WarnOnUnsignedCodeExecution' t='b' v='true'/></i></i></i>",
        all,
        {"unsigned-allowed | Note | PixInsight is set to allow unsigned or insecure "
         "content | Turned on: allow unsigned repositories. "});
    // A Warning, then a Problem, then a Warning and a Note in the order the checks run: listed
    // by severity, and equal severities keep their order.
    row("sorted by severity",
        "<i k='Global'><i k='Preferences'><i k='Security'><v k='AllowInsecureRepositories' t='b' "
        "v='true'/></i><i k='Application'><v k='StyleSheetFile' t='s' v='/gone.qss'/></i>"
        "<i k='MainWindow'><v k='ActiveWindowOpacity' t='F' v='-0.5'/>"
        "<v k='WallpaperFile01' t='s' v='/gone.jpg'/></i></i></i>",
        madeUpEnv({"/gone.qss", "/gone.jpg"}),
        {"out-of-range | Problem | Active window opacity is outside its documented "
         "range | The value is -0.5; PixInsight documents 0 to 1.",
         "path-missing | Warning | Style sheet file: the file does not exist",
         "path-missing | Warning | Wallpaper file 01: the file does not exist",
         "unsigned-allowed | Note | PixInsight is set to allow unsigned or "
         "insecure content | Turned on: allow insecure repositories. "});
}

void TestHealthCheck::cases()
{
    QFETCH(QByteArray, elements);
    QFETCH(HealthEnv, env);
    QFETCH(QStringList, expected);
    XsdtDocument doc;
    QString error;
    QVERIFY2(doc.parse(testdata::wrapSettings(elements), &error), qPrintable(error));
    const QStringList found = lines(runHealthCheck(doc, m_schema, env));
    QVERIFY2(found.size() == expected.size(), qPrintable(found.join('\n')));
    QCOMPARE(startsOf(found, expected), expected);
}

void TestHealthCheck::pendingChanges()
{
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::wrapSettings(
        "<i k='Global'><i k='Preferences'><i k='Application'><v k='FontResolution' t='i' v='100'/>"
        "<v k='StyleSheetFile' t='s' v='/gone.qss'/></i><i k='Process'>"
        "<v k='MaxProcessors' t='i' v='64'/></i><i k='Security'>"
        "<v k='AllowUnsignedRepositories' t='b' v='true'/></i></i></i><i k='Modules'>"
        "<v k='1' t='s' v='@pxi_bin_dir/Gone-pxm.so'/><v k='2' t='s' v='/pi/bin/Gone-pxm.so'/>"
        "</i><i k='ModuleData'><i k='Gone'>"
        "<v k='X' t='i' v='1'/><v k='X' t='i' v='2'/></i></i>")));
    const HealthEnv env = madeUpEnv({"/gone.qss", "/pi/bin/Gone-pxm.so"}, 8, "/pi/bin");
    auto ids = [&] {
        QStringList out;
        for (const Finding &f : runHealthCheck(doc, m_schema, env))
            out.append(f.id);
        return out;
    };
    QCOMPARE(ids(), (QStringList{"path-missing", "too-many-processors", "module-registered-twice",
                                 "module-file-missing", "duplicate-key", "unsigned-allowed"}));

    // An edit not yet saved is what is checked.
    XsdtNode *font = doc.findPath(u"Global/Preferences/Application/FontResolution");
    font->value = "20";
    QCOMPARE(ids().first(), "out-of-range");
    font->value = font->originalValue;

    // Entries queued for deletion, or inside a group queued for deletion, are gone already.
    for (const char16_t *path :
         {u"Global/Preferences/Application", u"Global/Preferences/Process/MaxProcessors",
          u"Global/Preferences/Security/AllowUnsignedRepositories", u"Modules/1", u"Modules/2"})
        doc.findPath(path)->pendingDelete = true;
    doc.findPath(u"ModuleData/Gone")->children.at(1)->pendingDelete = true;
    QVERIFY(ids().isEmpty());
    doc.revertAll();
    doc.findPath(u"ModuleData/Gone")->pendingDelete = true;
    QVERIFY(!ids().contains("duplicate-key"));
}

// Duplicates in a group too large to sort at once are found across its slices, in the order
// their keys first occur. An edit waits for a running check, which stops where it is.
void TestHealthCheck::largeGroups()
{
    QByteArray elements = "<i k='ModuleData'><i k='Big'>";
    for (int i = 0; i < 20000; ++i)
        elements += "<v k='k" + QByteArray::number(i) + "' t='i' v='1'/>";
    // Second copies far from the first: they meet the first ones only where slices merge.
    for (int i : {19999, 3, 12000})
        elements += "<v k='k" + QByteArray::number(i) + "' t='i' v='2'/>";
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::wrapSettings(elements + "</i></i>")));
    std::atomic_bool cancelled = false;
    QList<Finding> findings;
    findDuplicateKeys(&doc.root, findings, &cancelled);
    QStringList titles;
    for (const Finding &finding : std::as_const(findings))
        titles.append(finding.title);
    QCOMPARE(titles, (QStringList{"\"k3\" appears 2 times in ModuleData/Big",
                                  "\"k12000\" appears 2 times in ModuleData/Big",
                                  "\"k19999\" appears 2 times in ModuleData/Big"}));
    cancelled = true;
    findings.clear();
    findDuplicateKeys(&doc.root, findings, &cancelled);
    QVERIFY(findings.isEmpty());
}

QTEST_GUILESS_MAIN(TestHealthCheck)
#include "tst_healthcheck.moc"
