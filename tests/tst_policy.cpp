#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/modules.h"
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
        QCOMPARE(m_policy.rules().size(), 60);
        QCOMPARE(m_policy.defaultReason(), "This entry is not on the list of entries known to "
                                           "be safe to remove, so it is protected.");
    }

    // A top-level key the rules name is PixInsight's own, never taken for a module's data.
    void topLevelKeysOfTheRulesAreNoModules()
    {
        int named = 0;
        for (const DeletionRule &rule : m_policy.rules()) {
            const QString first = rule.segments.value(0);
            if (first.contains('*'))
                continue;
            ++named;
            QVERIFY2(isPixInsightTopLevelKey(first), qPrintable(first));
        }
        QVERIFY(named > 10);
    }

    void everyShippedRule_data()
    {
        QTest::addColumn<int>("rule");
        QTest::addColumn<QString>("path");
        // One node that each shipped rule decides, in the rules' file order.
        const QStringList nodes =
            QString(
                "Global/Statistics/ Global/Statistics/Count Global/Preferences/ProcessInterface/ "
                "Global/Preferences/ProcessInterface/Foo/Mode "
                "Global/Preferences/ScriptEditor/Cache/ "
                "Global/Preferences/ScriptEditor/Cache/File1 CentralWidgetClients/ "
                "CentralWidgetClients/Geometry/ ExtensibleWidgets/ ExtensibleWidgets/Count "
                "FileExplorer/ FileExplorer/Path FloatingInstanceInfoViewer/ "
                "FloatingInstanceInfoViewer/x FloatingSourceEditor/ "
                "FloatingSourceEditor/Geometry/x ModuleData/Kestrane/Interfaces/Main/Geometry/ "
                "ModuleData/Kestrane/Interfaces/Main/Geometry/x SomeTool/Interfaces/Main/Geometry/ "
                "SomeTool/Interfaces/Main/Geometry/width CommandHistory/ CommandHistory/Command01 "
                "MainWindow/RecentFiles/ MainWindow/RecentFiles/File01 Global/FileDialogs/ "
                "Global/FileDialogs/OpenDirectory PixelClipboard/ PixelClipboard/Width "
                "DontShowAgain/ DontShowAgain/Dialog1 SomeTool/ SomeTool/Preset "
                "ModuleData/Kestrane/ ModuleData/Kestrane/Interfaces/Main/Visible "
                "ScriptData/BatchPreprocessing/ ScriptData/BatchPreprocessing/Files "
                "Global/FeaturedScripts/ Global/FeaturedScripts/Script01 Global/FavoriteProcesses/ "
                "Global/FavoriteProcesses/Process1 Global/UpdateManager/Repositories/1/ "
                "Global/UpdateManager/Repositories/1/URL ThreadPerformanceOptimization/ Global/ "
                "Global/UpdateManager/ Global/Preferences/ "
                "Global/Preferences/Application/FontResolution Global/ColorManagement/IsEnabled "
                "Global/RGBWorkingSpace/Gamma Global/ReadoutOptions/Precision Modules/ Modules/1 "
                "ModuleData/ ModuleDataAccess/ ModuleDataAccess/Kestrane/ ScriptData/ MainWindow/ "
                "MainWindow/Geometry/ LastVersion PixInsight")
                .split(' ');
        QCOMPARE(nodes.size(), 60);
        for (int i = 0; i < nodes.size(); ++i)
            QTest::newRow(qPrintable(nodes.at(i))) << i << nodes.at(i);
    }

    void everyShippedRule()
    {
        QFETCH(int, rule);
        QFETCH(QString, path);
        // The shipped list holds 30 Safe rules, then 13 Warn rules, then Never rules.
        const DeleteLevel level = rule < 30   ? DeleteLevel::Safe
                                  : rule < 43 ? DeleteLevel::Warn
                                              : DeleteLevel::Never;
        const DeleteVerdict verdict = m_policy.verdictFor(node(&m_root, path));
        QCOMPARE(verdict.level, level);
        QCOMPARE(verdict.reason, m_policy.rules().at(rule).reason);
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
        QCOMPARE(verdict("SomeValue").reason, m_policy.defaultReason());
        QCOMPARE(verdict("SomeValue").level, DeleteLevel::Never);
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

    void listsAndCleanup()
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

        const QList<CleanupGroup> &groups = m_policy.cleanupGroups();
        QList<bool> each;
        for (const CleanupGroup &group : groups)
            each.append(group.each);
        QCOMPARE(each, (QList<bool>{false, false, true, false, false, false}));
        QCOMPARE(groups.at(0).title, "Process usage statistics");
        QCOMPARE(groups.at(2).paths,
                 (QStringList{"ModuleData/*/Interfaces/*/Geometry", "*/Interfaces/*/Geometry"}));
        QCOMPARE(groups.at(5).description,
                 "Dialogs you dismissed with 'don't show again' will appear again.");
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
        QCOMPARE(policy.verdictFor(node(&root, "A/B/")).reason, policy.defaultReason());
        QCOMPARE(policy.verdictFor(node(&root, "A/C")).level, DeleteLevel::Never);
    }
};

QTEST_GUILESS_MAIN(TestPolicy)
#include "tst_policy.moc"
