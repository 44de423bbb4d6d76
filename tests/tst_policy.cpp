#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "support/testfiles.h"
#include "support/testtree.h"

#include <QFile>
#include <QtTest>

using namespace vrn;
using testdata::ensurePath;

namespace {

// A trailing "/" makes the last node a group.
XsdtNode *node(XsdtNode *root, QString path)
{
    const bool group = path.endsWith('/');
    if (group)
        path.chop(1);
    return ensurePath(root, path, group ? XsdtNode::Group : XsdtNode::Value);
}

} // namespace

Q_DECLARE_METATYPE(vrn::DeleteLevel)

class TestPolicy : public QObject
{
    Q_OBJECT

    DeletionPolicy m_policy;
    XsdtNode m_root;

private slots:
    void initTestCase()
    {
        QString error;
        QVERIFY2(m_policy.load(testdata::readFile(":/schema/overlay.json"), &error),
                 qPrintable(error));
    }

    // The protecting rules, and safe and warning ones for each way a path can match.
    void shippedRules_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<DeleteLevel>("level");
        QTest::addColumn<QString>("reason"); // a part of the reason that names the rule
        const auto row = [](const char *path, DeleteLevel level, const char *reason) {
            QTest::newRow(path) << QString::fromLatin1(path) << level << QString::fromUtf8(reason);
        };
        const DeleteLevel S = DeleteLevel::Safe, W = DeleteLevel::Warn, N = DeleteLevel::Never;
        row("Global/Statistics/Count", S, "usage counters");
        row("Global/Preferences/ProcessInterface/", S, "Per-process window options");
        row("Global/Preferences/ScriptEditor/Cache/File1", S, "Script editor per-file cache");
        row("ModuleData/Kestrane/Interfaces/Main/Geometry/", S, "of this process");
        row("SomeTool/Interfaces/Main/Geometry/width", S, "of this process");
        row("CommandHistory/", S, "command history");
        row("MainWindow/RecentFiles/File01", S, "Recently opened");
        row("Global/FileDialogs/OpenDirectory", S, "file dialogs");
        row("SomeTool/", W, "Saved settings of a tool");
        row("SomeTool/Preset", W, "saved by a tool");
        row("ModuleData/Kestrane/Interfaces/Main/Visible", W, "saved by a module");
        row("ScriptData/BatchPreprocessing/", W, "Saved settings of a script");
        row("ScriptData/BatchPreprocessing/Files", W, "saved by a script");
        row("Global/FeaturedScripts/", W, "featured scripts. Deleting empties");
        row("Global/FeaturedScripts/Script01", W, "item of your featured scripts");
        row("Global/FavoriteProcesses/", W, "favorite processes. Deleting empties");
        row("Global/FavoriteProcesses/Process1", W, "item of your favorite");
        row("Global/UpdateManager/Repositories/1/", W, "configured update repository");
        row("Global/UpdateManager/Repositories/1/URL", W, "setting of an update repository");
        row("ThreadPerformanceOptimization/", W, "thread performance");
        row("ThreadPerformanceOptimization/Threads", W, "Information saved by a tool");
        row("Global/", N, "core preferences");
        row("Global/UpdateManager/", N, "Core PixInsight data");
        row("Global/ColorManagement/IsEnabled", N, "Color management");
        row("Global/RGBWorkingSpace/Gamma", N, "RGB working space");
        row("Global/ReadoutOptions/Precision", N, "Readout options");
        row("Modules/", N, "Module registry");
        row("Modules/1", N, "Module registry");
        row("ModuleData/", N, "all module settings");
        row("ModuleDataAccess/", N, "access records");
        row("ModuleDataAccess/Kestrane/", N, "access records");
        row("ScriptData/", N, "all script settings");
        row("MainWindow/", N, "Main window state");
        row("MainWindow/Geometry/", N, "Main window state");
        row("LastVersion", N, "version that last ran");
        row("PixInsight", N, "build that wrote");
        row("SomeValue", N, "so it is protected");
    }

    void shippedRules()
    {
        QFETCH(QString, path);
        QFETCH(DeleteLevel, level);
        QFETCH(QString, reason);
        const DeleteVerdict verdict = m_policy.verdictFor(node(&m_root, path));
        QCOMPARE(verdict.level, level);
        QVERIFY2(verdict.reason.contains(reason), qPrintable(verdict.reason));
    }

    void ties()
    {
        XsdtNode root;
        auto verdict = [&](const char *path) { return m_policy.verdictFor(node(&root, path)); };
        // ModuleData/* and the later ModuleData/** have equal specificity: the deep one loses.
        QCOMPARE(verdict("ModuleData/Kestrane/").reason,
                 "Saved settings of a module. Deleting resets that module to its defaults and "
                 "loses your configuration for it.");
        // groupsOnly rules pass values by: they fall to Global/**, or to no rule at all.
        QCOMPARE(verdict("Global/FeaturedScripts").reason,
                 "Core PixInsight data that is not on the list of entries known to be safe to "
                 "remove.");
        // A deep rule never covers the node it names.
        QCOMPARE(verdict("Modules/").reason,
                 "Module registry. Deleting it can stop modules from loading.");

        // Equal specificity: the later rule wins, whether the earlier one is exact or deep, but a
        // deep rule never displaces an exact one.
        DeletionPolicy policy;
        QVERIFY(
            policy.load("{\"policy\": {\"delete\": [{\"path\": \"A/*\", \"level\": \"safe\"}, "
                        "{\"path\": \"*/B\", \"level\": \"warn\"}, {\"path\": \"C/**\", \"level\": "
                        "\"safe\"}, {\"path\": \"C/*\", \"level\": \"warn\"}, {\"path\": \"C/**\", "
                        "\"level\": \"never\"}]}}"));
        QCOMPARE(policy.verdictFor(node(&root, "A/B")).level, DeleteLevel::Warn);
        QCOMPARE(policy.verdictFor(node(&root, "C/D")).level, DeleteLevel::Warn);
    }

    // A later registration of a file name an earlier live entry names may go, after a warning.
    void doubledRegistration()
    {
        XsdtNode root;
        QList<XsdtNode *> entries;
        for (const char *file :
             {"@pxi_bin_dir/A-pxm.so", "/x/xB-pxm.so", "/y/a-pxm.so", "/x/B-pxm.so", "/z/A-pxm.so"})
            entries << ensurePath(&root, QString("Modules/%1").arg(entries.size() + 1),
                                  XsdtNode::Value, 's', file);
        for (const char *key : {"ModuleDataAccess/0", "ModuleDataAccess/1"})
            ensurePath(&root, key, XsdtNode::Value, 's', "/x/B-pxm.so");
        const auto levels = [&] {
            QList<DeleteLevel> out;
            for (XsdtNode *node : {entries[0], entries[1], entries[2], entries[3], entries[4],
                                   root.findPath(u"ModuleDataAccess/1")})
                out << m_policy.verdictFor(node).level;
            return out;
        };
        const auto never = DeleteLevel::Never, warn = DeleteLevel::Warn;
        QCOMPARE(levels(), (QList{never, never, warn, never, warn, never}));
        QCOMPARE(m_policy.verdictFor(entries[2]).reason,
                 "An earlier entry of the module registry names a module file of the same name. "
                 "Deleting this one leaves that entry.");
        entries[0]->pendingDelete = true; // then the third is the first of its name
        QCOMPARE(levels(), (QList{never, never, never, never, warn, never}));
        QCOMPARE(DeletionPolicy().verdictFor(entries[4]).level, never); // no rules read
    }

    void editLocksAndCompareLists()
    {
        struct Row
        {
            const char *path;
            bool locked, noise, noCopy;
        };
        const Row rows[] = {
            {"LastVersion", true, true, true},
            {"Modules/", false, false, false},
            {"Modules/Foo", true, true, true},
            {"Global/Statistics/", false, true, false}, // noise through its Safe verdict
            {"MainWindow/Layout", false, true, true},
            {"ModuleDataAccess/K/x", false, true, true},
            {"Global/RGBWorkingSpace/Gamma", false, false, false}};
        XsdtNode root;
        for (const Row &row : rows) {
            const XsdtNode *n = node(&root, QString::fromLatin1(row.path));
            QVERIFY2(m_policy.isEditLocked(n) == row.locked, row.path);
            QVERIFY2(m_policy.isCompareNoise(n) == row.noise, row.path);
            QVERIFY2(m_policy.isCompareNoCopy(n) == row.noCopy, row.path);
        }
        QVERIFY(m_policy.isEditLocked(nullptr) && m_policy.isCompareNoCopy(nullptr));
        QVERIFY(!m_policy.isCompareNoise(nullptr) && !m_policy.isCompareNoise(&root));
    }

    void nodesMatchingAndWarnEntries()
    {
        XsdtNode root;
        XsdtNode *a = node(&root, "ModuleData/A/Interfaces/P/Geometry/");
        XsdtNode *b = node(&root, "ModuleData/B/Interfaces/Q/Geometry/");
        XsdtNode *c = node(&root, "ModuleData/A/Interfaces/R/Geometry/");
        XsdtNode *tool = node(&root, "SomeTool/Interfaces/Main/Geometry/");
        // Document order, not the order of creation; five keys never match four segments.
        QCOMPARE(nodesMatching(&root, "ModuleData/*/Interfaces/*/Geometry"), (QList{a, c, b}));
        QCOMPARE(nodesMatching(&root, "*/Interfaces/*/Geometry"), QList{tool});
        QCOMPARE(nodesMatching(&root, "ModuleData/B"), QList{b->parent->parent->parent});
        QVERIFY(nodesMatching(&root, "//").isEmpty());

        // Warn entries are collected and not entered; repositories lie four levels down.
        QList<XsdtNode *> expected = {a->parent->parent->parent, b->parent->parent->parent,
                                      tool->parent->parent->parent};
        for (const char *path : {"Global/FeaturedScripts/", "Global/FavoriteProcesses/",
                                 "ScriptData/S/", "ThreadPerformanceOptimization/"})
            expected.append(node(&root, path));
        node(&root, "Global/UpdateManager/Repositories/1/");
        node(&root, "LastVersion");
        QCOMPARE(warnEntriesBelow(m_policy, &root), expected);
    }

    void loadFailures()
    {
        DeletionPolicy policy;
        QString error;
        for (const char *bad : {"[1, 2]", "{ \"policy\": "}) {
            QVERIFY(!policy.load(bad, &error));
            QVERIFY2(error.startsWith("overlay.json: "), qPrintable(error));
        }
        // An unknown level drops every rule and list, including those read before it.
        QVERIFY(!policy.load("{\"policy\": {\"defaultReason\": \"Kept.\", \"delete\": [{\"path\": "
                             "\"Global/Statistics\", \"level\": \"safe\"}, {\"path\": \"X\", "
                             "\"level\": \"maybe\"}]}, \"editLocked\": [\"LastVersion\"], "
                             "\"cleanup\": [{\"title\": \"T\", \"paths\": [\"X\"]}]}",
                             &error));
        QCOMPARE(error, "overlay.json: unknown delete level 'maybe'");
        XsdtNode root;
        const DeleteVerdict verdict = policy.verdictFor(node(&root, "Global/Statistics/"));
        QCOMPARE(verdict.level, DeleteLevel::Never);
        QCOMPARE(verdict.reason, "Kept.");
        QVERIFY(policy.rules().isEmpty() && policy.cleanupGroups().isEmpty());
        QVERIFY(!policy.isEditLocked(node(&root, "LastVersion")));
        QVERIFY(!policy.load("{\"policy\": {\"delete\": [{\"path\": \"X\"}]}}", &error));
        QCOMPARE(error, "overlay.json: unknown delete level ''");

        // Empty input is no error; empty paths and untitled or empty cleanup groups are skipped.
        QVERIFY(policy.load("  \n", &error));
        QCOMPARE(policy.defaultReason(),
                 "This entry is not on the list of entries known to be safe to remove.");
        QVERIFY(policy.load("{\"policy\": {\"delete\": [{\"path\": \"//\", \"level\": \"safe\"}, "
                            "{\"path\": \"A/**\", \"level\": \"safe\", \"groupsOnly\": true}]}, "
                            "\"cleanup\": [{\"title\": \"\", \"paths\": [\"A\"]}, {\"title\": \"No "
                            "paths\", \"paths\": []}, {\"title\": \"Ok\", \"paths\": [\"A\"]}]}",
                            &error));
        QCOMPARE(policy.rules().size(), 1);
        QVERIFY(policy.rules().at(0).deep && policy.rules().at(0).groupsOnly);
        QCOMPARE(policy.rules().at(0).specificity, 1);
        QCOMPARE(policy.cleanupGroups().size(), 1);
        QCOMPARE(policy.verdictFor(node(&root, "A/B/")).level, DeleteLevel::Safe);
        QCOMPARE(policy.verdictFor(node(&root, "A/B/")).reason,
                 "This entry is not on the list of entries known to be safe to remove.");
        QCOMPARE(policy.verdictFor(node(&root, "A/C")).level, DeleteLevel::Never);
    }
};

QTEST_GUILESS_MAIN(TestPolicy)
#include "tst_policy.moc"
