#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "support/generator.h"

#include <QFile>
#include <QSet>
#include <QtTest>

using namespace vrn;

namespace {

QByteArray shippedOverlay()
{
    QFile file(QStringLiteral(":/schema/overlay.json"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

// Creates the groups along the path (reusing existing ones) and a last node of the given kind.
XsdtNode *ensure(XsdtNode *root, const QString &path, XsdtNode::Kind kind)
{
    const QStringList keys = path.split(QLatin1Char('/'));
    XsdtNode *node = root;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const bool last = i + 1 == keys.size();
        XsdtNode *child = node->childByKey(keys.at(i));
        if (!child || (last && child->kind != kind)) {
            child = node->appendChild(last ? kind : XsdtNode::Group, keys.at(i));
            if (child->kind == XsdtNode::Value)
                child->type = QLatin1Char('s');
        }
        node = child;
    }
    return node;
}

} // namespace

class TestPolicy : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void everyShippedRuleDecidesSomething_data();
    void everyShippedRuleDecidesSomething();
    void tiesAndDefaults();
    void listsAndCleanup();
    void nodesMatchingAndWarnEntries();
    void loadFailures();

private:
    DeletionPolicy m_policy;
    XsdtNode m_root;
};

void TestPolicy::initTestCase()
{
    QString error;
    QVERIFY2(m_policy.load(shippedOverlay(), &error), qPrintable(error));
    QCOMPARE(m_policy.rules().size(), 60);
    QCOMPARE(m_policy.defaultReason(), QString("This entry is not on the list of entries known to "
                                               "be safe to remove, so it is protected."));
}

void TestPolicy::everyShippedRuleDecidesSomething_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("group");
    QTest::addColumn<int>("rule"); // 1-based position in the shipped list
    QTest::addColumn<int>("level");

    const int safe = int(DeleteLevel::Safe);
    const int warn = int(DeleteLevel::Warn);
    const int never = int(DeleteLevel::Never);
    struct Row
    {
        const char *path;
        bool group;
        int rule;
        int level;
    };
    const QList<Row> rows = {
        {"Global/Statistics", true, 1, safe},
        {"Global/Statistics/Count", false, 2, safe},
        {"Global/Preferences/ProcessInterface", true, 3, safe},
        {"Global/Preferences/ProcessInterface/Foo/Mode", false, 4, safe},
        {"Global/Preferences/ScriptEditor/Cache", true, 5, safe},
        {"Global/Preferences/ScriptEditor/Cache/File1", false, 6, safe},
        {"CentralWidgetClients", true, 7, safe},
        {"CentralWidgetClients/Geometry", true, 8, safe},
        {"ExtensibleWidgets", true, 9, safe},
        {"ExtensibleWidgets/Count", false, 10, safe},
        {"FileExplorer", true, 11, safe},
        {"FileExplorer/Path", false, 12, safe},
        {"FloatingInstanceInfoViewer", true, 13, safe},
        {"FloatingInstanceInfoViewer/x", false, 14, safe},
        {"FloatingSourceEditor", true, 15, safe},
        {"FloatingSourceEditor/Geometry/x", false, 16, safe},
        {"ModuleData/Kestrane/Interfaces/Main/Geometry", true, 17, safe},
        {"ModuleData/Kestrane/Interfaces/Main/Geometry/x", false, 18, safe},
        {"SomeTool/Interfaces/Main/Geometry", true, 19, safe},
        {"SomeTool/Interfaces/Main/Geometry/width", false, 20, safe},
        {"CommandHistory", true, 21, safe},
        {"CommandHistory/Command01", false, 22, safe},
        {"MainWindow/RecentFiles", true, 23, safe},
        {"MainWindow/RecentFiles/File01", false, 24, safe},
        {"Global/FileDialogs", true, 25, safe},
        {"Global/FileDialogs/OpenDirectory", false, 26, safe},
        {"PixelClipboard", true, 27, safe},
        {"PixelClipboard/Width", false, 28, safe},
        {"DontShowAgain", true, 29, safe},
        {"DontShowAgain/Dialog1", false, 30, safe},
        {"SomeTool", true, 31, warn},
        {"SomeTool/Preset", false, 32, warn},
        {"ModuleData/Kestrane", true, 33, warn},
        {"ModuleData/Kestrane/Interfaces/Main/Visible", false, 34, warn},
        {"ScriptData/BatchPreprocessing", true, 35, warn},
        {"ScriptData/BatchPreprocessing/Files", false, 36, warn},
        {"Global/FeaturedScripts", true, 37, warn},
        {"Global/FeaturedScripts/Script01", false, 38, warn},
        {"Global/FavoriteProcesses", true, 39, warn},
        {"Global/FavoriteProcesses/Process1", false, 40, warn},
        {"Global/UpdateManager/Repositories/1", true, 41, warn},
        {"Global/UpdateManager/Repositories/1/URL", false, 42, warn},
        {"ThreadPerformanceOptimization", true, 43, warn},
        {"Global", true, 44, never},
        {"Global/UpdateManager", true, 45, never},
        {"Global/Preferences", true, 46, never},
        {"Global/Preferences/Application/FontResolution", false, 47, never},
        {"Global/ColorManagement/IsEnabled", false, 48, never},
        {"Global/RGBWorkingSpace/Gamma", false, 49, never},
        {"Global/ReadoutOptions/Precision", false, 50, never},
        {"Modules", true, 51, never},
        {"Modules/1", false, 52, never},
        {"ModuleData", true, 53, never},
        {"ModuleDataAccess", true, 54, never},
        {"ModuleDataAccess/Kestrane", true, 55, never},
        {"ScriptData", true, 56, never},
        {"MainWindow", true, 57, never},
        {"MainWindow/Geometry", true, 58, never},
        {"LastVersion", false, 59, never},
        {"PixInsight", false, 60, never},
    };
    QSet<int> covered;
    for (const Row &row : rows) {
        QTest::newRow(row.path) << QString::fromLatin1(row.path) << row.group << row.rule
                                << row.level;
        covered.insert(row.rule);
    }
    QCOMPARE(covered.size(), 60);
}

void TestPolicy::everyShippedRuleDecidesSomething()
{
    QFETCH(QString, path);
    QFETCH(bool, group);
    QFETCH(int, rule);
    QFETCH(int, level);
    const DeletionRule &expected = m_policy.rules().at(rule - 1);
    QCOMPARE(int(expected.level), level);
    XsdtNode *node = ensure(&m_root, path, group ? XsdtNode::Group : XsdtNode::Value);
    const DeleteVerdict verdict = m_policy.verdictFor(node);
    QCOMPARE(int(verdict.level), level);
    QCOMPARE(verdict.reason, expected.reason);
}

void TestPolicy::tiesAndDefaults()
{
    XsdtNode root;
    auto verdict = [&](const char *path, bool group) {
        return m_policy.verdictFor(
            ensure(&root, QString::fromLatin1(path), group ? XsdtNode::Group : XsdtNode::Value));
    };
    // Equal specificity: the exact rule ModuleData/* beats the later deep ModuleData/**.
    DeleteVerdict v = verdict("ModuleData/Kestrane", true);
    QCOMPARE(v.level, DeleteLevel::Warn);
    QCOMPARE(v.reason, QString("Saved settings of a module. Deleting resets that module to its "
                               "defaults and loses your configuration for it."));
    // groupsOnly: the same paths as values fall through to other rules.
    v = verdict("Global/FeaturedScripts", false);
    QCOMPARE(v.level, DeleteLevel::Never);
    QCOMPARE(
        v.reason,
        QString(
            "Core PixInsight data that is not on the list of entries known to be safe to remove."));
    v = verdict("SomeValue", false);
    QCOMPARE(v.level, DeleteLevel::Never);
    QCOMPARE(v.reason, m_policy.defaultReason());
    // A deep rule never covers the node it names.
    QCOMPARE(verdict("Modules", true).reason,
             QString("Module registry. Deleting it can stop modules from loading."));
    QCOMPARE(verdict("Modules/Foo", false).level, DeleteLevel::Never);
    QCOMPARE(verdict("Global/Statistics/Count", false).level, DeleteLevel::Safe);
    QCOMPARE(verdict("MainWindow/Geometry", true).level, DeleteLevel::Never);
    QCOMPARE(verdict("Global/Preferences/ProcessInterface", true).level, DeleteLevel::Safe);
    // Repositories lie one level deeper than the Warn rule for a repository's settings.
    QCOMPARE(verdict("Global/UpdateManager/Repositories", true).level, DeleteLevel::Never);

    QCOMPARE(m_policy.verdictFor(nullptr).level, DeleteLevel::Never);
    QCOMPARE(m_policy.verdictFor(&root).reason, m_policy.defaultReason());
}

void TestPolicy::listsAndCleanup()
{
    XsdtNode root;
    XsdtNode *last = ensure(&root, QStringLiteral("LastVersion"), XsdtNode::Value);
    XsdtNode *modules = ensure(&root, QStringLiteral("Modules"), XsdtNode::Group);
    XsdtNode *module = ensure(&root, QStringLiteral("Modules/Foo"), XsdtNode::Value);
    XsdtNode *stats = ensure(&root, QStringLiteral("Global/Statistics"), XsdtNode::Group);
    XsdtNode *layout = ensure(&root, QStringLiteral("MainWindow/Layout"), XsdtNode::Value);
    XsdtNode *access = ensure(&root, QStringLiteral("ModuleDataAccess/K/x"), XsdtNode::Value);
    XsdtNode *gamma =
        ensure(&root, QStringLiteral("Global/RGBWorkingSpace/Gamma"), XsdtNode::Value);

    QVERIFY(m_policy.isEditLocked(last));
    QVERIFY(m_policy.isEditLocked(module));
    QVERIFY(!m_policy.isEditLocked(modules));
    QVERIFY(!m_policy.isEditLocked(gamma));
    QVERIFY(m_policy.isEditLocked(nullptr));

    QVERIFY(m_policy.isCompareNoise(stats)); // through its Safe verdict
    QVERIFY(m_policy.isCompareNoise(layout));
    QVERIFY(m_policy.isCompareNoise(access));
    QVERIFY(!m_policy.isCompareNoise(gamma));
    QVERIFY(!m_policy.isCompareNoise(&root));
    QVERIFY(!m_policy.isCompareNoise(nullptr));

    QVERIFY(m_policy.isCompareNoCopy(layout));
    QVERIFY(m_policy.isCompareNoCopy(module));
    QVERIFY(!m_policy.isCompareNoCopy(stats));
    QVERIFY(m_policy.isCompareNoCopy(nullptr));

    const QList<CleanupGroup> &groups = m_policy.cleanupGroups();
    QCOMPARE(groups.size(), 6);
    QCOMPARE(groups.at(0).title, QString("Process usage statistics"));
    QCOMPARE(groups.at(2).paths,
             (QStringList{"ModuleData/*/Interfaces/*/Geometry", "*/Interfaces/*/Geometry"}));
    QVERIFY(groups.at(2).each);
    QVERIFY(!groups.at(3).each);
    QCOMPARE(groups.at(4).paths.size(), 5);
    QCOMPARE(groups.at(5).description,
             QString("Dialogs you dismissed with 'don't show again' will appear again."));
}

void TestPolicy::nodesMatchingAndWarnEntries()
{
    testdata::GeneratorOptions options;
    options.seed = 5;
    options.targetBytes = 64 * 1024;
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::generateSettings(options)));
    XsdtNode *tool =
        ensure(&doc.root, QStringLiteral("SomeTool/Interfaces/Main/Geometry"), XsdtNode::Group);

    const QList<XsdtNode *> top =
        nodesMatching(&doc.root, QStringLiteral("*/Interfaces/*/Geometry"));
    QVERIFY(top.contains(tool));
    for (XsdtNode *node : top) {
        QCOMPARE(node->key, QString("Geometry"));
        QCOMPARE(pathKeys(node).size(), 4); // never ModuleData/X/Interfaces/Y/Geometry
    }
    const QList<XsdtNode *> modules =
        nodesMatching(&doc.root, QStringLiteral("ModuleData/*/Interfaces/*/Geometry"));
    QVERIFY(modules.size() >= 3);
    // Document order: each match comes after the previous one in a depth-first walk.
    QStringList paths;
    for (XsdtNode *node : modules)
        paths.append(node->path());
    QList<XsdtNode *> walk;
    std::function<void(XsdtNode *)> visit = [&](XsdtNode *n) {
        for (const auto &c : n->children) {
            if (modules.contains(c.get()))
                walk.append(c.get());
            visit(c.get());
        }
    };
    visit(&doc.root);
    QCOMPARE(walk, modules);
    QVERIFY(nodesMatching(&doc.root, QStringLiteral("//")).isEmpty());
    QCOMPARE(nodesMatching(&doc.root, QStringLiteral("Global/Statistics")),
             QList<XsdtNode *>{doc.findPath(u"Global/Statistics")});

    const QList<XsdtNode *> warn = warnEntriesBelow(m_policy, &doc.root);
    QVERIFY(warn.contains(doc.findPath(u"Global/FeaturedScripts")));
    QVERIFY(warn.contains(doc.findPath(u"Global/FavoriteProcesses")));
    QVERIFY(warn.contains(doc.findPath(u"ThreadPerformanceOptimization")));
    QVERIFY(warn.contains(doc.findPath(u"SomeTool")));
    for (XsdtNode *node : warn) {
        QCOMPARE(m_policy.verdictFor(node).level, DeleteLevel::Warn);
        QVERIFY(pathKeys(node).size() <= 3);
        QVERIFY(!node->path().startsWith(QLatin1String("Global/UpdateManager/Repositories")));
    }
    int moduleEntries = 0;
    for (const auto &child : doc.findPath(u"ModuleData")->children)
        moduleEntries += warn.contains(child.get()) ? 1 : 0;
    QCOMPARE(moduleEntries, int(doc.findPath(u"ModuleData")->children.size()));
}

void TestPolicy::loadFailures()
{
    DeletionPolicy policy;
    QString error;
    QVERIFY(!policy.load("[1, 2]", &error));
    QVERIFY2(error.startsWith(QLatin1String("overlay.json: ")), qPrintable(error));
    QVERIFY(!policy.load("{ \"policy\": ", &error));
    QVERIFY(error.startsWith(QLatin1String("overlay.json: ")));

    // An unknown level drops every rule, including those read before it.
    const QByteArray bad = "{\"policy\": {\"defaultReason\": \"Kept.\", \"delete\": [\n"
                           "        {\"path\": \"Global/Statistics\", \"level\": \"safe\"},\n"
                           "        {\"path\": \"Global/Other\", \"level\": \"maybe\"}]},\n"
                           "        \"editLocked\": [\"LastVersion\"], \"cleanup\": [{\"title\": "
                           "\"T\", \"paths\": [\"X\"]}]}";
    QVERIFY(!policy.load(bad, &error));
    QCOMPARE(error, QString("overlay.json: unknown delete level 'maybe'"));
    XsdtNode root;
    XsdtNode *stats = ensure(&root, QStringLiteral("Global/Statistics"), XsdtNode::Group);
    QCOMPARE(policy.verdictFor(stats).level, DeleteLevel::Never);
    QCOMPARE(policy.verdictFor(stats).reason, QString("Kept."));
    QVERIFY(policy.rules().isEmpty());
    QVERIFY(policy.cleanupGroups().isEmpty());
    QVERIFY(!policy.isEditLocked(ensure(&root, QStringLiteral("LastVersion"), XsdtNode::Value)));
    QVERIFY(!policy.load("{\"policy\": {\"delete\": [{\"path\": \"X\"}]}}", &error));
    QCOMPARE(error, QString("overlay.json: unknown delete level ''"));

    // Empty input is no error; empty paths and untitled cleanup groups are skipped.
    QVERIFY(policy.load("  \n", &error));
    QCOMPARE(policy.defaultReason(),
             QString("This entry is not on the list of entries known to be safe to remove."));
    QVERIFY(policy.load(
        "{\"policy\": {\"delete\": [{\"path\": \"//\", \"level\": \"safe\"}, {\"path\": \"A/**\", "
        "\"level\": \"safe\", \"groupsOnly\": true}]},\n"
        "        \"cleanup\": [{\"title\": \"\", \"paths\": [\"A\"]}, {\"title\": \"No paths\", "
        "\"paths\": []}, {\"title\": \"Ok\", \"paths\": [\"A\"], \"each\": true}]}",
        &error));
    QCOMPARE(policy.rules().size(), 1);
    QVERIFY(policy.rules().at(0).deep);
    QVERIFY(policy.rules().at(0).groupsOnly);
    QCOMPARE(policy.rules().at(0).specificity, 1);
    QCOMPARE(policy.cleanupGroups().size(), 1);
    XsdtNode *inner = ensure(&root, QStringLiteral("A/B"), XsdtNode::Group);
    QCOMPARE(policy.verdictFor(inner).level, DeleteLevel::Safe);
    QCOMPARE(policy.verdictFor(inner).reason, policy.defaultReason());
    QCOMPARE(policy.verdictFor(ensure(&root, QStringLiteral("A/C"), XsdtNode::Value)).level,
             DeleteLevel::Never);
}

QTEST_GUILESS_MAIN(TestPolicy)
#include "tst_policy.moc"
