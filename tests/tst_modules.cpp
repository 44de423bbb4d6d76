#include "document/xsdtdocument.h"
#include "generator/generator.h"
#include "knowledge/modules.h"

#include <QRegularExpression>
#include <QtTest>

using namespace vrn;

namespace {

// A module registry: its entries numbered from 1, then anything else it holds.
QByteArray registry(const QList<QByteArray> &files, const QByteArray &more = {})
{
    QByteArray text = "<i k='Modules'>";
    for (qsizetype i = 0; i < files.size(); ++i)
        text += "<v k='" + QByteArray::number(i + 1) + "' t='s' v='" + files.at(i) + "'/>";
    return text + more + "</i>";
}

// Pieces of one hand-written file, kept apart so that a module's byte size can be checked
// against the text it was read from.
const QByteArray kRegistry = registry(
    {
        "@pxi_bin_dir/Kestrane-pxm.so",
        "/opt/PixInsight/bin/Kestrane-pxm.so",
        "libfoo.so",
        "@pxi_bin_dir/beta-pxm.so",
        "C:\\PI\\bin\\Alpha-pxm.dll",
        "/x/OnlyRegistered-pxm.dylib",
    },
    "<i k='7'><v k='x' t='s' v='@pxi_bin_dir/Grouped-pxm.so'/></i>");
const QByteArray kKestraneData = "<i k='Kestrane'><v k='Version' t='u' v='3'/><i k='Interfaces'>"
                                 "<i k='KestraneProcess'><i k='Geometry'><v k='x' t='i' v='10'/>"
                                 "</i></i><v k='Loose' t='s' v='not a process'/></i></i>";
const QByteArray kOrphanData = "<i k='Orphan'><v k='Mode' t='i' v='2'/></i>";
const QByteArray kKestraneAccess = "<i k='Kestrane'><v k='Access' t='u' v='7'/></i>";
const QByteArray kKestraneTop = "<i k='Kestrane'><v k='Preset' t='s' v='M31 &amp; M33'/>"
                                "<i k='Interfaces'><i k='KestraneTool'/></i></i>";
const QByteArray kInterfaceProcess =
    "<i k='KestraneProcess'><v k='AutoApply' t='b' v='false'/></i>";
const QByteArray kInterfaceTool = "<i k='KestraneTool'><v k='Mode' t='i' v='1'/></i>";
const QByteArray kStatProcess = "<i k='KestraneProcess'><v k='Count' t='u' v='12'/>"
                                "<v k='LastUsed' t='t' v='2026-01-02T03:04:05Z'/></i>";

// ModuleData/0 is reserved; "global" is not PixInsight's "Global"; CommandHistory is
// PixInsight's own; only the first "Modules" group is the registry.
QByteArray sampleFile()
{
    return testdata::wrapSettings(
        "<i k='Global'><i k='Preferences'><i k='ProcessInterface'>" + kInterfaceTool +
        "<v k='Kestrane' t='s' v='a value, not a group'/>" + kInterfaceProcess +
        "</i></i><i k='Statistics'><i k='Process'>" + kStatProcess + "</i></i></i>" + kRegistry +
        "<i k='ModuleData'><i k='0'><v k='Reserved' t='u' v='0'/></i>" + kKestraneData +
        kOrphanData + "</i><i k='ModuleDataAccess'>" + kKestraneAccess + "<i k='AccessOnly'/></i>" +
        kKestraneTop +
        "<i k='PixelClipboard'><v k='Width' t='i' v='0'/></i><i k='CommandHistory'/>"
        "<v k='LooseValue' t='s' v='x'/>"
        "<i k='global'/>" +
        registry({"/second/Hidden-pxm.so"}) +
        "<i k='ScriptData'><i k='kestrane'><v k='Out' t='s' v='/o'/></i><i k='BatchKest'>"
        "<v k='x' t='i' v='1'/></i></i>");
}

QStringList pathsOf(const QList<XsdtNode *> &nodes)
{
    QStringList paths;
    for (const XsdtNode *node : nodes)
        paths.append(node->path());
    return paths;
}

QStringList namesOf(const QList<ModuleEntries> &list)
{
    QStringList names;
    for (const ModuleEntries &entries : list)
        names.append(entries.name);
    return names;
}

} // namespace

class TestModules : public QObject
{
    Q_OBJECT

    XsdtDocument m_doc;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_doc.parse(sampleFile(), &error), qPrintable(error));
    }

    void moduleNamesAgreeWithThePattern()
    {
        // The documented pattern, as the reference for the hand-written reading.
        const QRegularExpression pattern("([^/\\\\]+?)-pxm\\.(?:dll|so|dylib)$");
        const QStringList stems = {"",         "K", "/K", "a/b\\K", "K\n", "-pxm.so",
                                   "K-pxm.so", "/", "\\", "K.v2",   " K ", "\n"};
        const QStringList endings = {"-pxm.so",     "-pxm.dll",     "-pxm.dylib", "-pxm.so\n",
                                     "-pxm.so\n\n", "-pxm.SO",      "pxm.so",     "-pxm.so/",
                                     "-pxm.sox",    "-pxm.dylib\n", "",           ".so"};
        int named = 0;
        for (const QString &stem : stems) {
            for (const QString &ending : endings) {
                const QRegularExpressionMatch match = pattern.match(stem + ending);
                const QString expected = match.hasMatch() ? match.captured(1) : QString();
                QCOMPARE(moduleNameFromFile(stem + ending), expected);
                named += expected.isEmpty() ? 0 : 1;
            }
        }
        QVERIFY(named > 20);
    }

    void registryAndData()
    {
        // Kestrane named twice counts once; libfoo.so and a group inside the registry name nothing.
        QCOMPARE(registeredModules(m_doc),
                 (QStringList{"Alpha", "beta", "Kestrane", "OnlyRegistered"}));
        // An entry marked for deletion is still in the registry until the file is saved.
        XsdtNode *beta = m_doc.findPath(u"Modules/4");
        beta->pendingDelete = true;
        const QStringList withMarked = registeredModules(m_doc);
        beta->pendingDelete = false;
        QCOMPARE(withMarked, registeredModules(m_doc));

        QCOMPARE(modulesWithData(m_doc),
                 (QStringList{"AccessOnly", "global", "Kestrane", "Orphan"}));
        const QList<ModuleEntries> unused = unusedModuleData(m_doc);
        QCOMPARE(namesOf(unused), (QStringList{"AccessOnly", "global", "Orphan"}));
        QCOMPARE(unused.at(2).valueCount(), 1); // no registry entry to count
        // Only access records, which are never deleted, are left of AccessOnly.
        QCOMPARE(unused.at(0).onlyAccessRecords(), true);
        QCOMPARE(unused.at(1).onlyAccessRecords(), false);
        QCOMPARE(moduleEntries(m_doc, "Kestrane").onlyAccessRecords(), false);

        // Registration is matched exactly: "orphan" does not cover "Orphan"; a value "Modules"
        // is no registry.
        XsdtDocument doc;
        QVERIFY(doc.parse(testdata::wrapSettings(registry({"@pxi_bin_dir/orphan-pxm.so"}) +
                                                 "<i k='ModuleData'>" + kOrphanData + "</i>")));
        QCOMPARE(namesOf(unusedModuleData(doc)), QStringList{"Orphan"});
        // A worker told to stop finds nothing more.
        const std::atomic_bool stop = true;
        QVERIFY(unusedModuleData(doc, registryValues(doc), &stop).isEmpty());
        QVERIFY(
            doc.parse(testdata::wrapSettings("<v k='Modules' t='s' v='@pxi_bin_dir/X-pxm.so'/>")));
        QVERIFY(registeredModules(doc).isEmpty());
    }

    void entriesOfOneModule()
    {
        const ModuleEntries kestrane = moduleEntries(m_doc, "Kestrane");
        QCOMPARE(kestrane.name, "Kestrane");
        QVERIFY(kestrane.registered);
        QCOMPARE(kestrane.registryEntry, m_doc.findPath(u"Modules/1"));
        // Data, access record, own top-level group, then for each process key (the module itself,
        // its interfaces from ModuleData, then those of the top-level group) the process window
        // options and usage counters that are groups.
        QCOMPARE(pathsOf(kestrane.nodes),
                 (QStringList{"ModuleData/Kestrane", "ModuleDataAccess/Kestrane", "Kestrane",
                              "Global/Preferences/ProcessInterface/KestraneProcess",
                              "Global/Statistics/Process/KestraneProcess",
                              "Global/Preferences/ProcessInterface/KestraneTool"}));
        QCOMPARE(kestrane.valueCount(), 1 + 3 + 1 + 1 + 1 + 2 + 1);
        QCOMPARE(kestrane.byteSize(), kKestraneData.size() + kKestraneAccess.size() +
                                          kKestraneTop.size() + kInterfaceProcess.size() +
                                          kStatProcess.size() + kInterfaceTool.size());
        const QList<XsdtNode *> values = valueNodes(kestrane);
        QCOMPARE(values.size(), kestrane.valueCount());
        QCOMPARE(values.first(), kestrane.registryEntry);
        QCOMPARE(pathsOf(values.mid(1, 3)),
                 (QStringList{"ModuleData/Kestrane/Version",
                              "ModuleData/Kestrane/Interfaces/KestraneProcess/Geometry/x",
                              "ModuleData/Kestrane/Interfaces/Loose"}));

        // Only a registry entry: one value, no bytes. A name that is one of PixInsight's own keys
        // never collects that top-level group.
        const ModuleEntries only = moduleEntries(m_doc, "OnlyRegistered");
        QVERIFY(only.registered && only.nodes.isEmpty());
        QCOMPARE(only.valueCount(), 1);
        QCOMPARE(only.byteSize(), 0);
        QCOMPARE(valueNodes(only), QList<XsdtNode *>{m_doc.findPath(u"Modules/6")});
        const ModuleEntries history = moduleEntries(m_doc, "CommandHistory");
        QVERIFY(!history.registered && history.nodes.isEmpty());
    }

    // What a module or script takes along to another computer: no registry entry.
    void dataToCarry()
    {
        QStringList similar{"stale"};
        const QStringList kestrane = pathsOf(moduleDataValues(m_doc, " KESTRANE", &similar));
        QCOMPARE(kestrane.size(), 10);
        QCOMPARE(kestrane.first(), "ModuleData/Kestrane/Version");
        QCOMPARE(kestrane.last(), "ScriptData/kestrane/Out");
        QVERIFY(similar.isEmpty());
        QVERIFY(moduleDataValues(m_doc, "kest", &similar).isEmpty());
        QCOMPARE(similar, (QStringList{"BatchKest", "Kestrane", "kestrane"}));
        QCOMPARE(pathsOf(moduleDataValues(m_doc, "batchkest")),
                 QStringList{"ScriptData/BatchKest/x"});
    }

    void search_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("exact");
        QTest::newRow("part, any case") << "kest" << QStringList{"Kestrane"} << false;
        QTest::newRow("exact, any case") << " KESTRANE\t" << QStringList{"Kestrane"} << true;
        QTest::newRow("several") << "A" << QStringList{"AccessOnly", "Alpha",    "beta",
                                                       "global",     "Kestrane", "Orphan"}
                                 << false;
        QTest::newRow("registered only") << "onlyreg" << QStringList{"OnlyRegistered"} << false;
        QTest::newRow("nothing") << "zzz" << QStringList() << false;
        QTest::newRow("empty") << "  " << QStringList() << false;
    }

    void search()
    {
        QFETCH(QString, query);
        QFETCH(bool, exact);
        bool reported = !exact; // the call must overwrite it either way
        const QList<ModuleEntries> found = findModule(m_doc, query, &reported);
        QTEST(namesOf(found), "names");
        QCOMPARE(reported, exact);
        for (const ModuleEntries &entries : found)
            QCOMPARE(entries.nodes, moduleEntries(m_doc, entries.name).nodes);
        findModule(m_doc, query); // the flag is optional
    }

    void generatedFile()
    {
        testdata::GeneratorOptions options;
        options.seed = 3;
        options.targetBytes = 200 * 1024;
        options.plantProblems = true;
        XsdtDocument doc;
        QVERIFY(doc.parse(testdata::generateSettings(options)));

        QStringList generated = testdata::generatedModuleNames(options);
        generated.sort(Qt::CaseInsensitive);
        QCOMPARE(registeredModules(doc), generated);
        // Every top-level group PixInsight writes is its own; only this module is left behind.
        QCOMPARE(namesOf(unusedModuleData(doc)),
                 QStringList{QString::fromLatin1(testdata::kUnregisteredModule)});

        // Every value of every module is found exactly once across all modules' entries.
        QSet<XsdtNode *> seen;
        for (const QString &name : modulesWithData(doc)) {
            for (XsdtNode *value : valueNodes(moduleEntries(doc, name))) {
                QVERIFY2(!seen.contains(value), qPrintable(value->path()));
                seen.insert(value);
            }
        }
        QVERIFY(seen.size() > generated.size() * 10);
    }
};

QTEST_GUILESS_MAIN(TestModules)
#include "tst_modules.moc"
