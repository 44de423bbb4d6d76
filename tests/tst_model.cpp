// The settings model, its filter proxy and the tree's value delegate.
#include "document/additions.h"
#include "document/xsdtdocument.h"
#include "environment/englishplurals.h"
#include "generator/generator.h"
#include "knowledge/backgroundjob.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "model/reapply.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "support/testfiles.h"
#include "support/testtree.h"
#include "widgets/settingstreeview.h"
#include "widgets/treefilter.h"
#include "widgets/valuedelegate.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QScopeGuard>
#include <QSet>
#include <QSignalSpy>
#include <QThread>
#include <QThreadPool>
#include <QTreeView>
#include <QtTest>

#include <functional>
#include <memory>

using namespace vrn;

namespace {

const QString kStatisticsReason = QStringLiteral(
    "Process usage counters. Deleting resets them; PixInsight starts counting again.");
const QString kMaxProcessors = QStringLiteral("Global/Preferences/Process/MaxProcessors");

// A small document with one of everything the model treats differently.
void fill(XsdtDocument &doc)
{
    for (const auto &[path, type, value] :
         std::initializer_list<std::tuple<const char *, char, const char *>>{
             {"Global/Preferences/Process/MaxProcessors", 'i', "8"},
             {"Global/Preferences/Application/StyleSheetFile", 's',
              "/opt/PixInsight/etc/style.qss"},
             {"Global/Preferences/ImageWindow/ShowCaptionFullPaths", 'b', "true"},
             {"Global/RGBWorkingSpace/Gamma", 'F', "2.2"},
             {"Global/Statistics/Process/ImageIntegration", 'u', "12"},
             {"Global/Statistics/Process/Curves", 'u', "3"},
             {"Global/Statistics/Total", 'u', "15"},
             {"Modules/1", 's', "/opt/PixInsight/bin/Kestrane-pxm.so"},
             {"ModuleData/Kestrane/Parameters/Gamma", 'F', "1.5"},
             {"ModuleData/Kestrane/Parameters/Label", 's', "gamma stretch"},
             {"ModuleData/Kestrane/Geometry", 'B', "AAAAgammaAAAA"},
             {"ModuleData/Kestrane/LastRun", 't', "2024-05-01T10:00:00"},
             {"CommandHistory/0001", 's', "first\nsecond"}})
        testdata::ensurePath(&doc.root, QString::fromLatin1(path), XsdtNode::Value,
                             QLatin1Char(type), QString::fromUtf8(value));
}

// An edit as the tree's editor makes it.
bool edit(SettingsModel &model, const XsdtNode *node, const QString &text)
{
    return model.setData(model.indexForNode(node, 1), text);
}

// Every node named by the rows of the dataChanged emissions in the spy, checking that each
// covers the three columns.
QSet<const XsdtNode *> repainted(const SettingsModel &model, const QSignalSpy &spy)
{
    QSet<const XsdtNode *> nodes;
    for (const QList<QVariant> &args : spy) {
        const auto topLeft = args.at(0).value<QModelIndex>();
        const auto bottomRight = args.at(1).value<QModelIndex>();
        if (topLeft.column() != 0 || bottomRight.column() != 2)
            continue;
        for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
            nodes.insert(model.nodeForIndex(model.index(row, 0, topLeft.parent())));
    }
    return nodes;
}

void collect(const XsdtNode *node, QSet<const XsdtNode *> &out)
{
    out.insert(node);
    for (const auto &child : node->children)
        collect(child.get(), out);
}

QStringList visiblePaths(const QAbstractItemModel &proxy, const QModelIndex &parent = {})
{
    QStringList out;
    for (int row = 0; row < proxy.rowCount(parent); ++row) {
        const QModelIndex index = proxy.index(row, 0, parent);
        out.append(index.data(SettingsModel::NodeRole).value<XsdtNode *>()->path());
        out += visiblePaths(proxy, index);
    }
    return out;
}

// What the model shows of a node in each column and in its tool tip (after the path and a
// line feed; empty: not checked), after the node or its parent was marked for deletion
// ("self", "ancestor") or its value made long ("long", "long edit").
struct Look
{
    QString path, mark, column1, column2, toolTip = {};
};

// An edit of the node at path and what the node holds afterwards, with the reason given when
// the model refuses it. Setup: "view-only" or "queue parent".
struct Edit
{
    QString path, setup, input, stored, rejection = {};
};

// A deletion refused for a node (path "": none, "/": the root), with "view-only" or
// "no policy" as setup, and the reason given.
struct Refusal
{
    QString path, setup, reason;
};

// An edit to `mine` (a deletion when empty; "+X" a new value X where the old document lacked it)
// carried to a copy changed by `disk`: "value=X",
// "remove", "duplicate", "type=X" or "twin" (a duplicate edited in the old document instead).
struct Carry
{
    QString path, mine, disk;
    int status;
    QString line;
};

void applyOp(XsdtDocument &doc, const QString &path, const QString &op)
{
    XsdtNode *node = doc.findPath(path);
    if (op.startsWith(QLatin1String("value=")))
        node->value = node->originalValue = op.mid(6);
    else if (op.startsWith(QLatin1String("type=")))
        node->type = op.at(5);
    else if (op == QLatin1String("remove"))
        node->parent->children.erase(node->parent->children.begin() + node->indexInParent());
    else if (!op.isEmpty()) { // a second entry with the same key
        XsdtNode *twin = node->parent->appendChild(node->kind, node->key);
        twin->type = node->type;
        twin->value = twin->originalValue = node->value.text();
    }
}

} // namespace

Q_DECLARE_METATYPE(Look)
Q_DECLARE_METATYPE(Edit)
Q_DECLARE_METATYPE(Refusal)
Q_DECLARE_METATYPE(Carry)

class TestModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void testersFollowEveryChange();
    void roles_data();
    void roles();
    void setData_data();
    void setData();
    void queueDeletionRefusals_data();
    void queueDeletionRefusals();
    void queueAndUndoRepaintEveryDescendant();
    void pendingCountFollowsChanges_data();
    void pendingCountFollowsChanges();
    void viewOnly();
    void rowsInHugeGroup();
    void filter_data();
    void filter();
    void treeFilterOpensMatches_data();
    void treeFilterOpensMatches();
    void treeRepaintsAllValues();
    void treeClosesEveryGroup();
    void delegateBooleanEditor();
    void reapplyPending_data();
    void reapplyPending();
    void backgroundJobKeepsOnlyTheLatest();
    void reloadReport_data();
    void reloadReport();

private:
    DeletionPolicy m_policy;
    Schema m_schema;
    std::unique_ptr<XsdtDocument> m_doc;
    std::unique_ptr<SettingsModel> m_model;
    XsdtNode *node(QStringView path) const { return m_doc->findPath(path); }
};

void TestModel::initTestCase()
{
    installEnglishPlurals();
    QFile overlay(QStringLiteral(":/schema/overlay.json"));
    QVERIFY(overlay.open(QIODevice::ReadOnly));
    QString error;
    QVERIFY2(m_policy.load(overlay.readAll(), &error), qPrintable(error));
    QVERIFY2(m_schema.load(testdata::readFile(":/schema/globals.json"),
                           testdata::readFile(":/schema/overlay.json"), &error),
             qPrintable(error));
}

void TestModel::init()
{
    m_model.reset();
    m_doc = std::make_unique<XsdtDocument>();
    fill(*m_doc);
    m_model = std::make_unique<SettingsModel>();
    m_model->setPolicy(&m_policy);
    m_model->setSchema(&m_schema);
    m_model->setDocument(m_doc.get());
}

// The testers watch the model and the proxy while values are edited,
// entries queued and undone, the model reset and the filters changed.
enum class Change {
    Edit,
    EditBack,
    EditAgain,
    Revert,
    QueueValue,
    QueueEdited,
    KeepValue,
    QueueGroup,
    UndoBatch,
    RedoBatch,
    UndoBelowQueued,
    Copy,
    CopyAround,
    Add
};
Q_DECLARE_METATYPE(Change)

void TestModel::pendingCountFollowsChanges_data()
{
    QTest::addColumn<Change>("change");
    QTest::addColumn<bool>("counted"); // told as a move of the count, not as "count again"
    QTest::newRow("value edited") << Change::Edit << true;
    QTest::newRow("edited value set back by hand") << Change::EditBack << true;
    QTest::newRow("edited value edited again") << Change::EditAgain << true;
    QTest::newRow("edited value reverted") << Change::Revert << true;
    QTest::newRow("value queued for deletion") << Change::QueueValue << true;
    QTest::newRow("edited value queued for deletion") << Change::QueueEdited << true;
    QTest::newRow("value's deletion taken back") << Change::KeepValue << true;
    QTest::newRow("group queued for deletion") << Change::QueueGroup << true;
    QTest::newRow("batch undone") << Change::UndoBatch << true;
    QTest::newRow("batch redone") << Change::RedoBatch << true;
    QTest::newRow("edit undone below a queued group") << Change::UndoBelowQueued << true;
    QTest::newRow("values copied") << Change::Copy << true;
    QTest::newRow("values copied beside queued and new groups") << Change::CopyAround << true;
    QTest::newRow("value added") << Change::Add << false;
}

// The window keeps the count of pending changes by the moves the model tells as it writes:
// after each change the moves add up to a full count of the document.
void TestModel::pendingCountFollowsChanges()
{
    QFETCH(Change, change);
    QFETCH(bool, counted);
    XsdtNode *processors = node(kMaxProcessors);
    XsdtNode *gamma = node(u"Global/RGBWorkingSpace/Gamma");
    XsdtNode *total = node(u"Global/Statistics/Total");
    QVERIFY(edit(*m_model, processors, "3"));
    XsdtNode *moduleGamma = node(u"ModuleData/Kestrane/Parameters/Gamma");
    if (change == Change::KeepValue)
        QVERIFY(m_model->queueDeletion(total));
    if (change == Change::QueueEdited)
        QVERIFY(edit(*m_model, moduleGamma, "1.7"));
    if (change == Change::QueueGroup) // two edits below it become one deletion
        QVERIFY(
            m_model->setAcceptedValues(
                {{total, QString("20")}, {node(u"Global/Statistics/Process/Curves"), QString("4")}},
                "copy") == 2);
    if (change == Change::UndoBatch || change == Change::RedoBatch) {
        m_model->beginBatch(QStringLiteral("batch"));
        QVERIFY(edit(*m_model, processors, "8"));
        QVERIFY(edit(*m_model, gamma, "2.5"));
        QVERIFY(m_model->queueDeletion(total));
        m_model->endBatch();
        if (change == Change::RedoBatch)
            m_model->undo();
    }
    if (change == Change::UndoBelowQueued) {
        QVERIFY(edit(*m_model, total, "20"));
        node(u"Global/Statistics")->pendingDelete = true;
    }
    XsdtNode *added = nullptr;
    if (change == Change::CopyAround) {
        QVERIFY(m_model->queueDeletion(node(u"Global/Statistics")));
        QCOMPARE(m_model->addValues({{{"Global", "Extra", "Level"}, QLatin1Char('i'), "1"}}, "add"),
                 1);
        added = node(u"Global/Extra/Level");
    }
    std::optional<int> count = m_doc->pendingChangeCount();
    connect(m_model.get(), &SettingsModel::pendingChanged, this, [&](std::optional<int> delta) {
        count = count && delta ? std::optional<int>(*count + *delta) : std::nullopt;
    });
    switch (change) {
    case Change::Edit:
        QVERIFY(edit(*m_model, gamma, "2.5"));
        break;
    case Change::EditBack:
        QVERIFY(edit(*m_model, processors, "8"));
        break;
    case Change::EditAgain:
        QVERIFY(edit(*m_model, processors, "4"));
        break;
    case Change::Revert:
        m_model->revertValue(processors);
        break;
    case Change::QueueValue:
        QVERIFY(m_model->queueDeletion(total));
        break;
    case Change::QueueEdited:
        QVERIFY(m_model->queueDeletion(moduleGamma));
        break;
    case Change::KeepValue:
        m_model->undoDeletion(total);
        break;
    case Change::QueueGroup:
        QVERIFY(m_model->queueDeletion(node(u"Global/Statistics")));
        break;
    case Change::UndoBatch:
    case Change::UndoBelowQueued:
        m_model->undo();
        break;
    case Change::RedoBatch:
        m_model->redo();
        break;
    case Change::Copy:
        QCOMPARE(
            m_model->setAcceptedValues({{gamma, QString("1.8")}, {total, QString("20")}}, "copy"),
            2);
        break;
    case Change::CopyAround: // only gamma changes on its own
        QCOMPARE(
            m_model->setAcceptedValues(
                {{gamma, QString("1.8")}, {total, QString("20")}, {added, QString("2")}}, "copy"),
            2);
        QCOMPARE(total->value, "15");
        QCOMPARE(added->value, "2");
        break;
    case Change::Add:
        QCOMPARE(m_model->addValues({{{"Global", "Extra"}, QLatin1Char('b'), "true"}}, "add"), 1);
        break;
    }
    QCOMPARE(count.has_value(), counted);
    if (count)
        QCOMPARE(*count, m_doc->pendingChangeCount());
}

void TestModel::testersFollowEveryChange()
{
    testdata::GeneratorOptions options;
    options.targetBytes = 20 * 1024; // the testers walk the whole tree on every signal
    XsdtDocument doc;
    QVERIFY(doc.parse(testdata::generateSettings(options)));
    SettingsModel model;
    model.setPolicy(&m_policy);
    QAbstractItemModelTester modelTester(&model,
                                         QAbstractItemModelTester::FailureReportingMode::QtTest);
    SettingsFilterProxy proxy;
    proxy.setSourceModel(&model);
    QAbstractItemModelTester proxyTester(&proxy,
                                         QAbstractItemModelTester::FailureReportingMode::QtTest);
    model.setDocument(&doc);

    XsdtNode *maxProcessors = doc.findPath(kMaxProcessors);
    XsdtNode *statistics = doc.findPath(u"Global/Statistics");
    QVERIFY(maxProcessors && statistics);
    const QStringList toMaxProcessors = {"Global", "Global/Preferences",
                                         "Global/Preferences/Process", kMaxProcessors};
    // "Changed only" follows edits, queued groups, reverts and undos as they happen.
    proxy.setChangedOnly(true);
    QCOMPARE(proxy.rowCount(), 0);
    QVERIFY(edit(model, maxProcessors, QStringLiteral("3")));
    QVERIFY(model.queueDeletion(statistics));
    QTRY_COMPARE(visiblePaths(proxy), toMaxProcessors + QStringList{"Global/Statistics"});
    proxy.setFilterText(QStringLiteral("  maxproc "));
    QCOMPARE(visiblePaths(proxy), toMaxProcessors);
    model.revertValue(maxProcessors);
    QCOMPARE(proxy.rowCount(), 0);
    proxy.setFilterText(QString());
    QCOMPARE(visiblePaths(proxy), (QStringList{"Global", "Global/Statistics"}));
    model.undoDeletion(statistics); // the proxy catches up from the event loop
    QTRY_COMPARE(proxy.rowCount(), 0);
    // A save commits every edit at once: the rows and their ancestors go.
    QVERIFY(edit(model, maxProcessors, QStringLiteral("5")));
    QCOMPARE(visiblePaths(proxy), toMaxProcessors);
    doc.commit();
    model.refreshAll();
    QCOMPARE(proxy.rowCount(), 0);

    proxy.setChangedOnly(false);
    QVERIFY(model.queueDeletion(statistics->children.front().get()));
    model.setViewOnly(true);
    model.setViewOnly(false);
    proxy.setFilterText(QStringLiteral("gamma"));
    QVERIFY(edit(model, maxProcessors, QStringLiteral("6")));
    model.revertAll();
    QCOMPARE(doc.pendingChangeCount(), 0);
    model.setDocument(nullptr);
    QCOMPARE(proxy.rowCount(), 0);
    model.setDocument(&doc);
    QVERIFY(proxy.rowCount() > 0);
}

void TestModel::roles_data()
{
    QTest::addColumn<Look>("c");
    // "long": the value becomes 300 characters with a line feed at position 100.
    QString cut = QString(200, QLatin1Char('x')) + QChar(0x2026);
    cut[100] = QChar(0x23CE);
    const QString style = QStringLiteral("Global/Preferences/Application/StyleSheetFile");
    QTest::newRow("integer") << Look(kMaxProcessors, "", "8", "Integer", "Integer");
    QTest::newRow("line feeds") << Look("CommandHistory/0001", "",
                                        QStringLiteral("first\u23CEsecond"), "String");
    QTest::newRow("block") << Look("ModuleData/Kestrane/Geometry", "",
                                   "(13 characters of encoded data)", "Block");
    QTest::newRow("time, protected")
        << Look("ModuleData/Kestrane/LastRun", "", "2024-05-01T10:00:00", "Time",
                "Time - protected, shown for reference only\nCan be deleted: Information saved "
                "by a module or process (settings, state, history). Deleting it resets that item "
                "to its default and loses what was saved.");
    QTest::newRow("group counts its children")
        << Look("Global/Statistics", "", "", "2 items", "Can be deleted: " + kStatisticsReason);
    QTest::newRow("marked group counts every value below")
        << Look("Global/Statistics", "self", "", "Will be deleted",
                "Marked for deletion (3 values); removed when you save.");
    QTest::newRow("marked value") << Look("Global/Statistics/Total", "self", "15",
                                          "Will be deleted",
                                          "Unsigned\nMarked for deletion (1 value); removed "
                                          "when you save.");
    QTest::newRow("inside marked")
        << Look("Global/Statistics/Process/Curves", "ancestor", "3", "Unsigned",
                "Unsigned\nInside an entry marked for deletion.");
    QTest::newRow("300 characters") << Look(style, "long", cut, "String", "String");
    // A 300-character original, edited: the tip quotes only its first 200 characters.
    QTest::newRow("long original")
        << Look(style, "long edit", "short", "String",
                "String\nOriginal value: " + QString(200, QLatin1Char('a')));
}

void TestModel::roles()
{
    QFETCH(Look, c);
    XsdtNode *n = node(c.path);
    QVERIFY(n);
    if (c.mark == QLatin1String("self"))
        QVERIFY(m_model->queueDeletion(n));
    if (c.mark == QLatin1String("ancestor"))
        QVERIFY(m_model->queueDeletion(n->parent));
    if (c.mark == QLatin1String("long")) {
        QString text(300, QLatin1Char('x'));
        text[100] = QLatin1Char('\n');
        n->value = n->originalValue = text;
    }
    if (c.mark == QLatin1String("long edit")) {
        n->value = n->originalValue =
            QString(250, QLatin1Char('a')) + QString(50, QLatin1Char('b'));
        QVERIFY(m_model->setData(m_model->indexForNode(n, 1), QStringLiteral("short")));
    }
    QCOMPARE(m_model->indexForNode(n, 0).data().toString(), n->key);
    QCOMPARE(m_model->indexForNode(n, 1).data().toString(), c.column1);
    QCOMPARE(m_model->indexForNode(n, 2).data().toString(), c.column2);
    if (n->isValue()) // the editor gets the real text
        QCOMPARE(m_model->indexForNode(n, 1).data(Qt::EditRole).toString(), n->value);
    for (int column = 0; !c.toolTip.isEmpty() && column < 3; ++column)
        QCOMPARE(m_model->indexForNode(n, column).data(Qt::ToolTipRole).toString(),
                 c.path + QLatin1Char('\n') + c.toolTip);
}

void TestModel::setData_data()
{
    QTest::addColumn<Edit>("c");
    // The text checks themselves are the document's; here: what the model does with them.
    QTest::newRow("integer") << Edit(kMaxProcessors, "", " 12 ", "12");
    QTest::newRow("same text") << Edit(kMaxProcessors, "", "8", "8");
    QTest::newRow("same after normalising") << Edit(kMaxProcessors, "", "+8", "8");
    QTest::newRow("not a number") << Edit(
        kMaxProcessors, "", "eight", "8",
        "MaxProcessors: Expected an integer between -2147483648 and 2147483647.");
    QTest::newRow("locked") << Edit("Modules/1", "", "/elsewhere",
                                    "/opt/PixInsight/bin/Kestrane-pxm.so",
                                    "1 is part of the module registry or version records and is "
                                    "locked against editing.");
    QTest::newRow("protected type")
        << Edit("ModuleData/Kestrane/LastRun", "", "2025", "2024-05-01T10:00:00");
    QTest::newRow("view-only") << Edit(kMaxProcessors, "view-only", "2", "8");
    QTest::newRow("inside marked") << Edit("Global/Statistics/Total", "queue parent", "2", "15");
}

void TestModel::setData()
{
    QFETCH(Edit, c);
    const auto &[path, setup, input, stored, rejection] = c;
    XsdtNode *n = node(path);
    QVERIFY(n);
    const bool accepted = stored != n->value;
    if (setup == QLatin1String("view-only"))
        m_model->setViewOnly(true);
    if (setup == QLatin1String("queue parent"))
        QVERIFY(m_model->queueDeletion(n->parent));

    QSignalSpy changed(m_model.get(), &QAbstractItemModel::dataChanged);
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QSignalSpy rejected(m_model.get(), &SettingsModel::editRejected);
    const QModelIndex index = m_model->indexForNode(n, 1);
    QCOMPARE(m_model->setData(index, input, Qt::EditRole), accepted);
    QCOMPARE(n->value, stored);
    QCOMPARE(edited.count(), accepted ? 1 : 0);
    QCOMPARE(changed.count(), accepted ? 1 : 0);
    if (accepted) { // the whole row repaints
        QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), m_model->indexForNode(n, 0));
        QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), m_model->indexForNode(n, 2));
        QVERIFY(m_model->indexForNode(n, 0).data(Qt::FontRole).value<QFont>().bold());
    }
    QCOMPARE(rejected.count(), rejection.isEmpty() ? 0 : 1);
    if (!rejection.isEmpty())
        QCOMPARE(rejected.at(0).at(0).toString(), rejection);
    // Only the value column of an editable, unlocked, live value accepts an edit.
    QCOMPARE(m_model->flags(index).testFlag(Qt::ItemIsEditable),
             setup.isEmpty() && n->isEditable() && !path.startsWith(QLatin1String("Modules")));
    QVERIFY(!m_model->flags(m_model->indexForNode(n, 0)).testFlag(Qt::ItemIsEditable));
    QVERIFY(!m_model->setData(m_model->indexForNode(n, 0), QStringLiteral("7")));
}

void TestModel::queueDeletionRefusals_data()
{
    QTest::addColumn<Refusal>("c");
    QTest::newRow("null") << Refusal("", "", "Nothing to delete.");
    QTest::newRow("root") << Refusal("/", "", "Nothing to delete.");
    QTest::newRow("never") << Refusal(kMaxProcessors, "",
                                      "Preferences are edited, not deleted: removing one "
                                      "silently reverts it to a default.");
    QTest::newRow("view-only") << Refusal("CommandHistory", "view-only",
                                          "PixInsight is running; nothing can be changed.");
    QTest::newRow("no policy") << Refusal("Global/Statistics", "no policy", "");
}

void TestModel::queueDeletionRefusals()
{
    QFETCH(Refusal, c);
    const auto &[path, setup, reason] = c;
    if (setup == QLatin1String("no policy"))
        m_model->setPolicy(nullptr);
    m_model->setViewOnly(setup == QLatin1String("view-only"));
    XsdtNode *n = path.isEmpty() ? nullptr : path == QLatin1String("/") ? &m_doc->root : node(path);
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QString whyNot = QStringLiteral("untouched");
    QVERIFY(!m_model->queueDeletion(n, &whyNot));
    QCOMPARE(whyNot, reason);
    QCOMPARE(edited.count(), 0);
    QCOMPARE(m_doc->pendingChangeCount(), 0);
}

void TestModel::queueAndUndoRepaintEveryDescendant()
{
    XsdtNode *statistics = node(u"Global/Statistics");
    XsdtNode *curves = node(u"Global/Statistics/Process/Curves");
    QSet<const XsdtNode *> below;
    collect(statistics, below);
    QSignalSpy changed(m_model.get(), &QAbstractItemModel::dataChanged);
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QVERIFY(m_model->queueDeletion(statistics));
    QCOMPARE(edited.count(), 1);
    QVERIFY(repainted(*m_model, changed).contains(below));
    // Struck through all the way down; how readable that is, in both themes, tst_theme checks.
    for (const XsdtNode *n : below) {
        const QModelIndex index = m_model->indexForNode(n, 0);
        QVERIFY2(index.data(Qt::FontRole).value<QFont>().strikeOut(), qPrintable(n->path()));
        QCOMPARE(index.data(Qt::BackgroundRole).isValid(), n == statistics);
    }

    // Inside the queued group: queueing answers true and undoing does nothing, silently.
    changed.clear();
    edited.clear();
    QVERIFY(m_model->queueDeletion(curves));
    QVERIFY(!curves->pendingDelete);
    m_model->undoDeletion(curves);
    m_model->undoDeletion(curves->parent);
    QCOMPARE(changed.count() + edited.count(), 0);
    QVERIFY(curves->isDeleted());

    m_model->undoDeletion(statistics);
    QCOMPARE(edited.count(), 1);
    QVERIFY(repainted(*m_model, changed).contains(below));
    for (const XsdtNode *n : below) {
        QVERIFY(!m_model->indexForNode(n, 0).data(Qt::FontRole).isValid());
        QVERIFY(!m_model->indexForNode(n, 0).data(Qt::ForegroundRole).isValid());
    }
    QCOMPARE(m_doc->pendingChangeCount(), 0);
}

void TestModel::viewOnly()
{
    XsdtNode *statistics = node(u"Global/Statistics");
    QVERIFY(m_model->queueDeletion(statistics));
    QSignalSpy refreshed(m_model.get(), &SettingsModel::valuesChanged);
    QSignalSpy reset(m_model.get(), &QAbstractItemModel::modelReset);
    m_model->setViewOnly(true);
    m_model->setViewOnly(true); // no change, no signal
    // Views hear that every row may look different; the tree is not reset.
    QCOMPARE(refreshed.count(), 1);
    QCOMPARE(reset.count(), 0);
    // What was queued before stays queued and visible.
    QCOMPARE(m_model->indexForNode(statistics, 2).data().toString(),
             QStringLiteral("Will be deleted"));
    m_model->setViewOnly(false);
    QCOMPARE(refreshed.count(), 2);
    QVERIFY(m_model->flags(m_model->indexForNode(node(kMaxProcessors), 1))
                .testFlag(Qt::ItemIsEditable));
}

// Rows of children of a group with 100,000 entries, also after the group changed under the
// model (the row cache must notice).
void TestModel::rowsInHugeGroup()
{
    XsdtDocument doc;
    XsdtNode *history =
        testdata::ensurePath(&doc.root, QStringLiteral("CommandHistory"), XsdtNode::Group);
    for (int i = 0; i < 100000; ++i)
        testdata::ensurePath(history->appendChild(XsdtNode::Group, QString::number(i)),
                             QStringLiteral("Text"), XsdtNode::Value, u's', QString::number(i));
    SettingsModel model;
    model.setDocument(&doc);
    const QModelIndex historyIndex = model.index(0, 0);
    QCOMPARE(model.rowCount(historyIndex), 100000);
    for (int row : {0, 1, 31, 32, 50000, 99999}) {
        const QModelIndex entry = model.index(row, 0, historyIndex);
        QCOMPARE(model.parent(model.index(0, 1, entry)), entry);
        QCOMPARE(model.indexForNode(model.nodeForIndex(entry)).row(), row);
        QCOMPARE(model.sibling(row == 0 ? 1 : 0, 2, entry).row(), row == 0 ? 1 : 0);
    }
    // The group changes shape (as after a commit of deletions): rows must follow.
    XsdtNode *entry50000 = history->children[50000].get();
    history->children.erase(history->children.begin());
    QCOMPARE(model.indexForNode(entry50000).row(), 49999);
    QCOMPARE(model.parent(model.index(0, 0, model.indexForNode(entry50000))).row(), 49999);
}

void TestModel::filter_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("changedOnly");
    QTest::addColumn<QStringList>("expected"); // {"all"}: every row of the model
    const auto row = [](const char *name, const char *text, bool changedOnly,
                        const QStringList &expected) {
        QTest::newRow(name) << QString(text) << changedOnly << expected;
    };
    const QStringList gammas = {"Global",
                                "Global/RGBWorkingSpace",
                                "Global/RGBWorkingSpace/Gamma",
                                "ModuleData",
                                "ModuleData/Kestrane",
                                "ModuleData/Kestrane/Parameters",
                                "ModuleData/Kestrane/Parameters/Label"};
    row("nothing", "", false, {"all"});
    // In paths, across "/", and in editable values, never in protected ones (the Block
    // holds "gamma" too) nor in the texts of the Type column.
    row("gamma", "GAMMA", false, gammas + QStringList{"ModuleData/Kestrane/Parameters/Gamma"});
    row("across separator", "process/max", false,
        {"Global", "Global/Preferences", "Global/Preferences/Process", kMaxProcessors});
    row("type column", "will be", false, {});
    row("changed only", "", true, gammas + QStringList{"Global/Statistics"});
    row("gamma, changed only", "gamma", true, gammas);
}

void TestModel::filter()
{
    QFETCH(QString, text);
    QFETCH(bool, changedOnly);
    QFETCH(QStringList, expected);
    // Changed: two values, one of them matching "gamma" only by value; queued: a group.
    QVERIFY(edit(*m_model, node(u"Global/RGBWorkingSpace/Gamma"), "1.8"));
    QVERIFY(edit(*m_model, node(u"ModuleData/Kestrane/Parameters/Label"), "soft gamma"));
    QVERIFY(m_model->queueDeletion(node(u"Global/Statistics")));
    if (expected == QStringList{QStringLiteral("all")})
        expected = visiblePaths(*m_model);

    SettingsFilterProxy proxy;
    proxy.setSourceModel(m_model.get());
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    proxy.setFilterText(text);
    proxy.setChangedOnly(changedOnly);
    QStringList shown = visiblePaths(proxy);
    shown.sort();
    expected.sort();
    QCOMPARE(shown, expected);
}

void TestModel::treeFilterOpensMatches_data()
{
    QTest::addColumn<bool>("everythingOpen");
    QTest::addColumn<bool>("throughProxy"); // the view shows the proxy before the filter comes
    QTest::addColumn<bool>("inSlices");     // the tree closes a group per turn of the event loop
    QTest::newRow("few rows open") << false << false << false;
    QTest::newRow("every row open") << true << false << false;
    QTest::newRow("every row open, closed in slices") << true << false << true;
    // Past TreeFilter::ManyOpenRows the proxy's rows are closed by a reset instead.
    QTest::newRow("every row open through the proxy") << true << true << false;
}

// Whatever was open before, the filter leaves open exactly the groups with matches and keeps
// the current row, also once it is cleared again.
void TestModel::treeFilterOpensMatches()
{
    QFETCH(bool, everythingOpen);
    QFETCH(bool, throughProxy);
    QFETCH(bool, inSlices);
    // Slices of a millisecond still close thousands of groups in many turns; slices of one
    // group each took a sanitized build on a busy machine past the filter's wait.
    const qint64 usual = SettingsTreeView::setSliceMs(1);
    const auto restore = qScopeGuard([usual] { SettingsTreeView::setSliceMs(usual); });
    if (!inSlices)
        SettingsTreeView::setSliceMs(usual);
    XsdtNode *extra = m_doc->root.appendChild(XsdtNode::Group, QStringLiteral("Extra"));
    for (int g = 0; g < TreeFilter::ManyOpenRows + 100; ++g) {
        XsdtNode *value = extra->appendChild(XsdtNode::Group, QStringLiteral("G%1").arg(g))
                              ->appendChild(XsdtNode::Value, QStringLiteral("V"));
        value->type = QLatin1Char('i');
        value->value = value->originalValue = QStringLiteral("1");
    }
    m_model->setDocument(m_doc.get());
    SettingsFilterProxy proxy;
    proxy.setSourceModel(m_model.get());
    SettingsTreeView view(m_model.get());
    view.setModel(throughProxy ? static_cast<QAbstractItemModel *>(&proxy) : m_model.get());
    TreeFilter filter(m_model.get(), &proxy, &view);
    view.show();
    const auto shown = [&](const QModelIndex &index) {
        return view.model() == &proxy ? proxy.mapFromSource(index) : index;
    };
    const QModelIndex current = m_model->indexForNode(node(kMaxProcessors));
    view.setCurrentIndex(shown(current));
    if (everythingOpen)
        view.expandAll();
    else
        view.expand(shown(m_model->indexForNode(node(u"Global/Statistics"))));
    QCOMPARE(proxy.heldIndexes() > TreeFilter::ManyOpenRows, throughProxy);

    QSignalSpy applied(&filter, &TreeFilter::applied);
    filter.setText(QStringLiteral("maxproc"));
    QVERIFY(applied.wait());
    QStringList open;
    const std::function<void(const QModelIndex &)> collect = [&](const QModelIndex &parent) {
        for (int row = 0; row < proxy.rowCount(parent); ++row) {
            const QModelIndex index = proxy.index(row, 0, parent);
            if (view.isExpanded(index))
                open.append(index.data(SettingsModel::NodeRole).value<XsdtNode *>()->path());
            collect(index);
        }
    };
    collect(QModelIndex());
    QCOMPARE(open, QStringList({"Global", "Global/Preferences", "Global/Preferences/Process"}));
    QCOMPARE(visiblePaths(proxy), QStringList({"Global", "Global/Preferences",
                                               "Global/Preferences/Process", kMaxProcessors}));
    QCOMPARE(proxy.mapToSource(view.currentIndex()), current);

    filter.setText(QString());
    QVERIFY(applied.wait());
    QCOMPARE(view.model()->rowCount(), m_model->rowCount());
    QCOMPARE(view.currentIndex(), current);
}

// Shown without a filter, the tree repaints when the model says every value may have changed
// (a save, an undo of thousands): otherwise it goes on showing the old values.
void TestModel::treeRepaintsAllValues()
{
    struct Paints : QObject
    {
        int count = 0;
        bool eventFilter(QObject *, QEvent *event) override
        {
            count += event->type() == QEvent::Paint;
            return false;
        }
    } paints;
    SettingsTreeView view(m_model.get());
    view.setModel(m_model.get());
    view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    view.viewport()->installEventFilter(&paints);
    QCoreApplication::processEvents();
    paints.count = 0;
    m_model->refreshAll();
    QCoreApplication::processEvents();
    QVERIFY(paints.count > 0);
}

// Closing the tree a group per turn of the event loop leaves no group open, however deep, and
// then goes on; a slice stops within a group's rows, which may be a hundred thousand groups.
void TestModel::treeClosesEveryGroup()
{
    const qint64 usual = SettingsTreeView::setSliceMs(0);
    const auto restore = qScopeGuard([usual] { SettingsTreeView::setSliceMs(usual); });
    SettingsTreeView view(m_model.get());
    view.setModel(m_model.get());
    view.expandAll();
    const QModelIndex top = m_model->indexForNode(node(u"Global"));
    const QModelIndex deep = m_model->indexForNode(node(u"Global/Preferences/Process"));
    QVERIFY(view.isExpanded(deep));
    bool closed = false;
    QVERIFY(!view.closeEverything([&closed] { closed = true; }));
    QVERIFY(!view.isExpanded(top));
    QVERIFY(view.isExpanded(m_model->indexForNode(node(u"ModuleData"))));
    QTRY_VERIFY(closed);
    QStringList open;
    const std::function<void(const QModelIndex &)> collect = [&](const QModelIndex &parent) {
        for (int row = 0; row < m_model->rowCount(parent); ++row) {
            const QModelIndex index = m_model->index(row, 0, parent);
            if (m_model->rowCount(index) > 0 && view.isExpanded(index))
                open.append(index.data(SettingsModel::NodeRole).value<XsdtNode *>()->path());
            collect(index);
        }
    };
    collect(QModelIndex());
    QCOMPARE(open, QStringList());
}

// In the tree a Boolean offers exactly "true" and "false" and commits on choosing.
void TestModel::delegateBooleanEditor()
{
    SettingsFilterProxy proxy;
    proxy.setSourceModel(m_model.get());
    QTreeView view;
    view.setModel(&proxy);
    view.setItemDelegateForColumn(1, new ValueDelegate(&view));
    view.setEditTriggers(QAbstractItemView::EditKeyPressed);
    view.resize(700, 500);
    view.show();
    view.expandAll();
    QVERIFY(QTest::qWaitForWindowExposed(&view));
    XsdtNode *flag = node(u"Global/Preferences/ImageWindow/ShowCaptionFullPaths");
    view.setCurrentIndex(proxy.mapFromSource(m_model->indexForNode(flag, 1)));
    QTest::keyClick(view.viewport(), Qt::Key_F2);
    auto *combo = view.viewport()->findChild<QComboBox *>();
    QVERIFY(combo);
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0) + " " + combo->itemText(1) + " " + combo->currentText(),
             QStringLiteral("true false true"));
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(flag->value, QStringLiteral("false"));
    QCOMPARE(edited.count(), 1);
    QTRY_VERIFY(!view.viewport()->findChild<QComboBox *>()); // the editor went away
}

void TestModel::reapplyPending_data()
{
    QTest::addColumn<Carry>("carry");
    using O = ReapplyOutcome;
    const QString max = kMaxProcessors, lost = "; your value \"4\" was not applied.";
    const QString twice = max + ": more than one entry has this path (duplicate keys)" + lost;
    QTest::newRow("value re-applied") << Carry{max, "4", "", O::Applied, ""};
    QTest::newRow("already equal") << Carry{max, "4", "value=4", O::AlreadyEqual, ""};
    QTest::newRow("changed on disk") << Carry{max, "4", "value=16", O::ChangedOnDisk,
                                              max + ": changed on disk to \"16\"" + lost};
    QTest::newRow("path gone") << Carry{max, "4", "remove", O::Gone,
                                        max + ": no longer in the file" + lost};
    QTest::newRow("duplicate on disk") << Carry{max, "4", "duplicate", O::Ambiguous, twice};
    QTest::newRow("duplicate before") << Carry{max, "4", "twin", O::Ambiguous, twice};
    QTest::newRow("type changed") << Carry{
        max, "4", "type=u", O::TypeChanged,
        max + ": its type changed on disk from Integer to Unsigned" + lost};
    QTest::newRow("deletion re-queued")
        << Carry{"Global/Statistics/Process/Curves", "", "value=9", O::Applied, ""};
    QTest::newRow("addition made again") << Carry{max, "+4", "remove", O::Applied, ""};
    QTest::newRow("addition already on disk") << Carry{max, "+4", "value=4", O::AlreadyEqual, ""};
    QTest::newRow("addition appeared on disk")
        << Carry{max, "+4", "value=16", O::Appeared,
                 max + ": is in the file now, as \"16\" (Integer); your new value \"4\" was not "
                       "added."};
}

void TestModel::reapplyPending()
{
    QFETCH(Carry, carry);
    const bool twin = carry.disk == QLatin1String("twin");
    if (twin)
        applyOp(*m_doc, carry.path, QStringLiteral("duplicate"));
    const bool adding = carry.mine.startsWith('+');
    if (adding) {
        applyOp(*m_doc, carry.path, "remove");
        m_model->setDocument(m_doc.get());
        QCOMPARE(m_model->addValues({{carry.path.split('/'), QLatin1Char('i'), carry.mine.mid(1)}},
                                    "add"),
                 1);
    }
    XsdtNode *mine = m_doc->findPath(carry.path);
    mine = twin ? mine->parent->children.back().get() : mine;
    QVERIFY(adding || (carry.mine.isEmpty() ? m_model->queueDeletion(mine)
                                            : edit(*m_model, mine, carry.mine)));
    const QList<PendingChange> changes = pendingChanges(*m_doc);

    // Made by the window alone, or with the edits made first on the thread that read the file.
    for (const bool onReader : {false, true}) {
        XsdtDocument disk;
        fill(disk);
        if (!twin)
            applyOp(disk, carry.path, carry.disk);
        const XsdtNode *node = disk.findPath(carry.path);
        const QString diskValue = node ? node->value.toString() : QString();
        SettingsModel model;
        QAbstractItemModelTester tester(&model,
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        model.setPolicy(&m_policy);
        model.setDocument(&disk);
        QList<ReapplyOutcome> outcomes;
        if (onReader) {
            outcomes = resolvePending(changes, disk, refusalCheck(nullptr, &m_policy));
            makeResolvedEdits(outcomes);
            applyResolved(outcomes, model);
        } else {
            outcomes = vrn::reapplyPending(changes, model);
        }
        QCOMPARE(outcomes.size(), 1);
        QCOMPARE(int(outcomes[0].status), carry.status);
        QCOMPARE(describeOutcome(outcomes[0]), carry.line);
        QVERIFY(!model.canUndo());
        // Only what was made again is pending; everything else keeps the file's value.
        const bool made = carry.status == ReapplyOutcome::Applied;
        QCOMPARE(disk.pendingChangeCount(), made ? 1 : 0);
        if (node)
            QCOMPARE(node->value, made && !carry.mine.isEmpty() ? carry.mine : diskValue);
        if (adding && made)
            QCOMPARE(disk.findPath(carry.path)->value, carry.mine.mid(1));
    }
}

// Work that was replaced or stopped never puts its result in place, even when its thread got
// to the end; the latest work does, once, and finishNow() does it without the event loop.
void TestModel::backgroundJobKeepsOnlyTheLatest()
{
    QObject owner;
    QStringList taken;
    std::atomic_bool release = false;
    const auto work = [&](const QString &name, bool hold) {
        return [&, name, hold](const std::atomic_bool &cancelled) -> BackgroundJob::Finish {
            while (hold && !release && !cancelled)
                QThread::yieldCurrentThread();
            return [&taken, name] { taken.append(name); };
        };
    };
    {
        BackgroundJob job(&owner);
        job.start(work("replaced", false));
        job.start(work("latest", true)); // waits for the first thread, whose result is queued
        QCoreApplication::processEvents();
        QVERIFY(taken.isEmpty());
        QVERIFY(job.isRunning());
        release = true;
        QTRY_COMPARE(taken, QStringList{"latest"});
        QVERIFY(!job.isRunning());

        job.start(work("stopped", false));
        job.stop();
        QCoreApplication::processEvents();
        QCOMPARE(taken, QStringList{"latest"});

        job.start(work("now", false));
        job.finishNow();
        QCOMPARE(taken, (QStringList{"latest", "now"}));
        QCoreApplication::processEvents();
        QCOMPARE(taken, (QStringList{"latest", "now"}));
        job.start(work("gone with the job", false));
    }
    QCoreApplication::processEvents();
    QCOMPARE(taken, (QStringList{"latest", "now"}));

    // A stopped result is let go of neither on the owner's thread, which may be the window's,
    // nor, when it was stopped at work, on the work's thread, which stop() waits for, nor on
    // Qt's shared pool, whose threads the window's painting waits for.
    for (const bool doneBeforeStop : {true, false}) {
        std::atomic<QThread *> worked = nullptr;
        std::atomic<QThread *> freed = nullptr;
        std::atomic_bool freedOnSharedPool = true;
        BackgroundJob job(&owner);
        job.start([&](const std::atomic_bool &cancelled) -> BackgroundJob::Finish {
            worked = QThread::currentThread();
            while (!doneBeforeStop && !cancelled)
                QThread::yieldCurrentThread();
            std::shared_ptr<int> result(new int, [&](int *p) {
                freed = QThread::currentThread();
                freedOnSharedPool = QThreadPool::globalInstance()->contains(freed);
                delete p;
            });
            return [result] {};
        });
        if (doneBeforeStop)
            job.waitForWork();
        job.stop();
        QCoreApplication::processEvents();
        waitForAside();
        QVERIFY(freed != nullptr);
        QVERIFY(freed != QThread::currentThread());
        QVERIFY(doneBeforeStop || freed != worked);
        QVERIFY(!freedOnSharedPool);
    }
}

void TestModel::reloadReport_data()
{
    QTest::addColumn<int>("applied");
    QTest::addColumn<int>("gone");
    QTest::addColumn<QString>("status");
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("listLines");
    QTest::addColumn<QString>("lastListed");
    QTest::addColumn<int>("detailLines");
    const QString made = "Reloaded /s/c.settings and made %1 of your changes again.";
    const QString lost =
        "/s/c.settings was reloaded. %1 of your changes could not be made on it again:";
    const QString gone = "G/k1: no longer in the file; there is nothing to delete.";
    QTest::newRow("all made") << 3 << 0 << made.arg(3) << "" << 0 << "" << 0;
    QTest::newRow("one lost")
        << 1 << 1 << "Reloaded /s/c.settings and made your change again."
        << "/s/c.settings was reloaded. Your change could not be made on it again:" << 1 << gone
        << 0;
    QTest::newRow("twenty listed")
        << 0 << 20 << made.arg(0) << lost.arg(20) << 20
        << "G/k20: no longer in the file; there is nothing to delete." << 0;
    QTest::newRow("rest in details") << 2 << 22 << made.arg(2) << lost.arg(22) << 21
                                     << "... and 2 more under Show Details." << 22;
}

void TestModel::reloadReport()
{
    QFETCH(int, applied);
    QFETCH(int, gone);
    QList<ReapplyOutcome> outcomes;
    for (int i = 1; i <= applied + gone; ++i) {
        ReapplyOutcome outcome;
        outcome.change.keys = QStringList{"G", QString("k%1").arg(i)};
        outcome.change.deletion = true;
        outcome.status = i <= gone ? ReapplyOutcome::Gone : ReapplyOutcome::Applied;
        outcomes.append(outcome);
    }
    const ReloadReport report = describeReload(outcomes, "/s/c.settings");
    QTEST(report.status, "status");
    QCOMPARE(report.warn, gone > 0);
    QTEST(report.text, "text");
    QTEST(int(report.list.isEmpty() ? 0 : report.list.split('\n').size()), "listLines");
    QTEST(report.list.section('\n', -1), "lastListed");
    QTEST(int(report.details.isEmpty() ? 0 : report.details.split('\n').size()), "detailLines");
}

QTEST_MAIN(TestModel)
#include "tst_model.moc"
