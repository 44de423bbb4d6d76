// The settings model, its filter proxy and the tree's value delegate.
#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "model/valuedelegate.h"
#include "support/generator.h"
#include "support/testtree.h"

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QComboBox>
#include <QFile>
#include <QLineEdit>
#include <QSet>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace vrn;

namespace {

// A value at the end of a path of groups, with the same current and original text.
XsdtNode *addValue(XsdtNode &root, const QString &path, QChar type, const QString &value)
{
    return testdata::ensurePath(&root, path, XsdtNode::Value, type, value);
}

QByteArray shippedOverlay()
{
    QFile file(QStringLiteral(":/schema/overlay.json"));
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

const QString kStatisticsReason = QStringLiteral(
    "Process usage counters. Deleting resets them; PixInsight starts counting again.");
const QString kPreferenceReason = QStringLiteral(
    "Preferences are edited, not deleted: removing one silently reverts it to a default.");

// A small document with one of everything the model treats differently.
void fill(XsdtDocument &doc)
{
    XsdtNode &r = doc.root;
    addValue(r, QStringLiteral("Global/Preferences/Process/MaxProcessors"), u'i',
             QStringLiteral("8"));
    addValue(r, QStringLiteral("Global/Preferences/Application/StyleSheetFile"), u's',
             QStringLiteral("/opt/PixInsight/etc/style.qss"));
    addValue(r, QStringLiteral("Global/Preferences/ImageWindow/ShowCaptionFullPaths"), u'b',
             QStringLiteral("true"));
    addValue(r, QStringLiteral("Global/RGBWorkingSpace/Gamma"), u'F', QStringLiteral("2.2"));
    addValue(r, QStringLiteral("Global/Statistics/Process/ImageIntegration"), u'u',
             QStringLiteral("12"));
    addValue(r, QStringLiteral("Global/Statistics/Process/Curves"), u'u', QStringLiteral("3"));
    addValue(r, QStringLiteral("Global/Statistics/Total"), u'u', QStringLiteral("15"));
    addValue(r, QStringLiteral("Modules/1"), u's',
             QStringLiteral("/opt/PixInsight/bin/Kestrane-pxm.so"));
    addValue(r, QStringLiteral("ModuleData/Kestrane/Parameters/Gamma"), u'F',
             QStringLiteral("1.5"));
    addValue(r, QStringLiteral("ModuleData/Kestrane/Parameters/Label"), u's',
             QStringLiteral("gamma stretch"));
    addValue(r, QStringLiteral("ModuleData/Kestrane/Geometry"), u'B',
             QStringLiteral("AAAAgammaAAAA"));
    addValue(r, QStringLiteral("ModuleData/Kestrane/LastRun"), u't',
             QStringLiteral("2024-05-01T10:00:00"));
    addValue(r, QStringLiteral("CommandHistory/0001"), u's', QStringLiteral("first\nsecond"));
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

} // namespace

class TestModel : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();

    void testersFollowEveryChange();
    void display_data();
    void display();
    void toolTips_data();
    void toolTips();
    void setData_data();
    void setData();
    void queueDeletionRefusals_data();
    void queueDeletionRefusals();
    void queuedGroupLooksDeletedEverywhereBelow();
    void nestedQueueAndUndo();
    void viewOnly();
    void queueWhileFiltering();
    void refreshAllRefilters();
    void revertValueAndRevertAll();
    void rowsInHugeGroup();
    void filter_data();
    void filter();
    void delegateBooleanEditor();
    void delegateRefusedTextKeepsValue();

private:
    DeletionPolicy m_policy;
    std::unique_ptr<XsdtDocument> m_doc;
    std::unique_ptr<SettingsModel> m_model;
    XsdtNode *node(const QString &path) const { return m_doc->findPath(path); }
};

void TestModel::initTestCase()
{
    QString error;
    QVERIFY2(m_policy.load(shippedOverlay(), &error), qPrintable(error));
}

void TestModel::init()
{
    m_model.reset();
    m_doc = std::make_unique<XsdtDocument>();
    fill(*m_doc);
    m_model = std::make_unique<SettingsModel>();
    m_model->setPolicy(&m_policy);
    m_model->setDocument(m_doc.get());
}

void TestModel::testersFollowEveryChange()
{
    testdata::GeneratorOptions options;
    options.targetBytes = 20 * 1024; // the testers walk the whole tree on every signal
    XsdtDocument generated;
    QVERIFY(generated.parse(testdata::generateSettings(options)));

    SettingsModel model;
    model.setPolicy(&m_policy);
    QAbstractItemModelTester modelTester(&model,
                                         QAbstractItemModelTester::FailureReportingMode::QtTest);
    SettingsFilterProxy proxy;
    proxy.setSourceModel(&model);
    QAbstractItemModelTester proxyTester(&proxy,
                                         QAbstractItemModelTester::FailureReportingMode::QtTest);
    QTreeView view;
    view.setModel(&proxy);
    view.setItemDelegateForColumn(1, new ValueDelegate(&view));
    view.resize(800, 600);
    view.show();

    model.setDocument(&generated);
    view.expandAll();
    QVERIFY(proxy.rowCount() > 0);

    // An edit, a queued group, a queued value, an undo and a revert while filters come and go.
    XsdtNode *maxProcessors =
        generated.findPath(QStringLiteral("Global/Preferences/Process/MaxProcessors"));
    QVERIFY(maxProcessors);
    QVERIFY(model.setData(model.indexForNode(maxProcessors, 1), QStringLiteral("3")));
    XsdtNode *statistics = generated.findPath(QStringLiteral("Global/Statistics"));
    QVERIFY(statistics);
    QVERIFY(model.queueDeletion(statistics));

    proxy.setChangedOnly(true);
    view.expandAll();
    QStringList shown = visiblePaths(proxy);
    QVERIFY(shown.contains(maxProcessors->path()));
    QVERIFY(shown.contains(statistics->path()));
    QVERIFY(shown.contains(QStringLiteral("Global")));
    QVERIFY(!shown.contains(QStringLiteral("Global/Preferences/Process/MaxFileReadThreads")));

    proxy.setFilterText(QStringLiteral("  maxproc "));
    QCOMPARE(proxy.filterText(), QStringLiteral("maxproc"));
    shown = visiblePaths(proxy);
    QVERIFY(shown.contains(maxProcessors->path()));
    QVERIFY(!shown.contains(statistics->path()));

    model.revertValue(maxProcessors);
    QVERIFY(!visiblePaths(proxy).contains(maxProcessors->path()));
    proxy.setFilterText(QString());
    proxy.setChangedOnly(false);
    view.expandAll();

    model.undoDeletion(statistics);
    QVERIFY(model.queueDeletion(statistics->children.front().get()));
    model.setViewOnly(true);
    model.setViewOnly(false);
    model.refreshAll();
    proxy.setFilterText(QStringLiteral("gamma"));
    view.expandAll();
    QVERIFY(model.setData(model.indexForNode(maxProcessors, 1), QStringLiteral("5")));
    model.revertAll();
    QCOMPARE(generated.pendingChangeCount(), 0);
    model.setDocument(nullptr);
    QCOMPARE(proxy.rowCount(), 0);
    model.setDocument(&generated);
    QVERIFY(proxy.rowCount() > 0);
}

void TestModel::display_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("mark"); // "self", "ancestor", "long" or ""
    QTest::addColumn<QString>("column1");
    QTest::addColumn<QString>("column2");

    // "long": the value becomes 300 characters with a line feed at position 100.
    QString cut = QString(200, QLatin1Char('x')) + QChar(0x2026);
    cut[100] = QChar(0x23CE);
    QTest::newRow("integer") << "Global/Preferences/Process/MaxProcessors"
                             << ""
                             << "8"
                             << "Integer";
    QTest::newRow("line feeds") << "CommandHistory/0001"
                                << "" << QStringLiteral("first\u23CEsecond") << "String";
    QTest::newRow("block") << "ModuleData/Kestrane/Geometry"
                           << ""
                           << "(13 characters of encoded data)"
                           << "Block";
    QTest::newRow("time") << "ModuleData/Kestrane/LastRun"
                          << ""
                          << "2024-05-01T10:00:00"
                          << "Time";
    QTest::newRow("group") << "Global/Statistics/Process"
                           << ""
                           << ""
                           << "2 item(s)";
    QTest::newRow("marked group") << "Global/Statistics/Process"
                                  << "self"
                                  << ""
                                  << "Will be deleted";
    QTest::newRow("marked value") << "Global/Statistics/Total"
                                  << "self"
                                  << "15"
                                  << "Will be deleted";
    QTest::newRow("300 characters") << "Global/Preferences/Application/StyleSheetFile"
                                    << "long" << cut << "String";
    QTest::newRow("inside marked") << "Global/Statistics/Process/Curves"
                                   << "ancestor"
                                   << "3"
                                   << "Unsigned";
}

void TestModel::display()
{
    QFETCH(QString, path);
    QFETCH(QString, mark);
    QFETCH(QString, column1);
    QFETCH(QString, column2);
    XsdtNode *n = node(path);
    QVERIFY(n);
    if (mark == QLatin1String("self"))
        QVERIFY(m_model->queueDeletion(n));
    else if (mark == QLatin1String("ancestor"))
        QVERIFY(m_model->queueDeletion(n->parent));
    if (mark == QLatin1String("long")) {
        n->value = n->originalValue = QString(300, QLatin1Char('x'));
        n->value[100] = n->originalValue[100] = QLatin1Char('\n');
    }
    QCOMPARE(m_model->indexForNode(n, 0).data().toString(), n->key);
    QCOMPARE(m_model->indexForNode(n, 1).data().toString(), column1);
    QCOMPARE(m_model->indexForNode(n, 2).data().toString(), column2);
    if (n->isValue())
        QCOMPARE(m_model->indexForNode(n, 1).data(Qt::EditRole).toString(), n->value);
}

void TestModel::toolTips_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("action");
    QTest::addColumn<QString>("expected");

    QTest::newRow("editable value, never deletable")
        << "Global/Preferences/Process/MaxProcessors"
        << ""
        << "Global/Preferences/Process/MaxProcessors\nInteger";
    QTest::newRow("protected value, deletable after warning")
        << "ModuleData/Kestrane/LastRun"
        << ""
        << "ModuleData/Kestrane/LastRun\nTime - protected, shown for reference only\nCan be "
           "deleted: Information saved by a module or process (settings, state, history). "
           "Deleting it resets that item to its default and loses what was saved.";
    QTest::newRow("safe group") << "Global/Statistics/Process"
                                << ""
                                << "Global/Statistics/Process\nCan be deleted: " +
                                       kStatisticsReason;
    QTest::newRow("marked group counts every value below")
        << "Global/Statistics"
        << "queue"
        << "Global/Statistics\nMarked for deletion (3 value(s)); removed when you save.";
    QTest::newRow("inside marked") << "Global/Statistics/Process"
                                   << "queue parent"
                                   << "Global/Statistics/Process\nInside an entry marked for "
                                      "deletion.";
    QTest::newRow("long original cut to 200") << "Global/Preferences/Application/StyleSheetFile"
                                              << "long edit" << QString();
}

void TestModel::toolTips()
{
    QFETCH(QString, path);
    QFETCH(QString, action);
    QFETCH(QString, expected);
    XsdtNode *n = node(path);
    QVERIFY(n);
    if (action == QLatin1String("queue"))
        QVERIFY(m_model->queueDeletion(n));
    if (action == QLatin1String("queue parent"))
        QVERIFY(m_model->queueDeletion(n->parent));
    if (action == QLatin1String("long edit")) {
        // A 300-character original, edited: the tip quotes only its first 200 characters.
        n->value = n->originalValue =
            QString(250, QLatin1Char('a')) + QString(50, QLatin1Char('b'));
        QVERIFY(m_model->setData(m_model->indexForNode(n, 1), QStringLiteral("short")));
        expected =
            path + QStringLiteral("\nString\nOriginal value: ") + QString(200, QLatin1Char('a'));
    }
    for (int column = 0; column < 3; ++column)
        QCOMPARE(m_model->indexForNode(n, column).data(Qt::ToolTipRole).toString(), expected);
}

void TestModel::setData_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("setup");
    QTest::addColumn<QString>("input");
    QTest::addColumn<bool>("accepted");
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QString>("rejection");

    const QString maxProc = QStringLiteral("Global/Preferences/Process/MaxProcessors");
    QTest::newRow("integer") << maxProc << ""
                             << " 12 " << true << "12"
                             << "";
    QTest::newRow("same text") << maxProc << ""
                               << "8" << false << "8"
                               << "";
    QTest::newRow("same after normalising") << maxProc << ""
                                            << "+8" << false << "8"
                                            << "";
    QTest::newRow("not a number")
        << maxProc << ""
        << "eight" << false << "8"
        << "MaxProcessors: Expected an integer between -2147483648 and 2147483647.";
    QTest::newRow("real normalised") << "Global/RGBWorkingSpace/Gamma"
                                     << ""
                                     << "1e1" << true << "10"
                                     << "";
    QTest::newRow("real with comma") << "Global/RGBWorkingSpace/Gamma"
                                     << ""
                                     << "2,4" << false << "2.2"
                                     << "Gamma: Expected a real number.";
    QTest::newRow("boolean") << "Global/Preferences/ImageWindow/ShowCaptionFullPaths"
                             << ""
                             << " FALSE " << true << "false"
                             << "";
    QTest::newRow("string kept as typed") << "Global/Preferences/Application/StyleSheetFile"
                                          << ""
                                          << "  /a b  " << true << "  /a b  "
                                          << "";
    QTest::newRow("locked")
        << "Modules/1"
        << ""
        << "/elsewhere" << false << "/opt/PixInsight/bin/Kestrane-pxm.so"
        << "1 is part of the module registry or version records and is locked against editing.";
    QTest::newRow("protected type") << "ModuleData/Kestrane/LastRun"
                                    << ""
                                    << "2025" << false << "2024-05-01T10:00:00"
                                    << "";
    QTest::newRow("view-only") << maxProc << "view-only"
                               << "2" << false << "8"
                               << "";
    QTest::newRow("inside marked") << "Global/Statistics/Total"
                                   << "queue parent"
                                   << "2" << false << "15"
                                   << "";
}

void TestModel::setData()
{
    QFETCH(QString, path);
    QFETCH(QString, setup);
    QFETCH(QString, input);
    QFETCH(bool, accepted);
    QFETCH(QString, stored);
    QFETCH(QString, rejection);
    XsdtNode *n = node(path);
    QVERIFY(n);
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
    if (accepted) {
        QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), m_model->indexForNode(n, 0));
        QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), m_model->indexForNode(n, 2));
        QVERIFY(m_model->indexForNode(n, 0).data(Qt::FontRole).value<QFont>().bold());
        QCOMPARE(m_model->indexForNode(n, 0).data(Qt::BackgroundRole).value<QBrush>().color(),
                 QColor(255, 190, 0, 70));
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
    QTest::addColumn<QString>("path"); // "" = null node, "/" = the root
    QTest::addColumn<bool>("withPolicy");
    QTest::addColumn<QString>("reason");

    QTest::newRow("null") << "" << true << "Nothing to delete.";
    QTest::newRow("root") << "/" << true << "Nothing to delete.";
    QTest::newRow("never") << "Global/Preferences/Process/MaxProcessors" << true
                           << kPreferenceReason;
    QTest::newRow("no policy") << "Global/Statistics" << false << "";
}

void TestModel::queueDeletionRefusals()
{
    QFETCH(QString, path);
    QFETCH(bool, withPolicy);
    QFETCH(QString, reason);
    if (!withPolicy)
        m_model->setPolicy(nullptr);
    XsdtNode *n = path.isEmpty() ? nullptr : path == QLatin1String("/") ? &m_doc->root : node(path);
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QString whyNot = QStringLiteral("untouched");
    QVERIFY(!m_model->queueDeletion(n, &whyNot));
    QCOMPARE(whyNot, reason);
    QCOMPARE(edited.count(), 0);
    QCOMPARE(m_doc->pendingChangeCount(), 0);
}

void TestModel::queuedGroupLooksDeletedEverywhereBelow()
{
    XsdtNode *statistics = node(QStringLiteral("Global/Statistics"));
    QSignalSpy changed(m_model.get(), &QAbstractItemModel::dataChanged);
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QString whyNot;
    QVERIFY(m_model->queueDeletion(statistics, &whyNot));
    QCOMPARE(edited.count(), 1);

    QSet<const XsdtNode *> below;
    collect(statistics, below);
    const QSet<const XsdtNode *> painted = repainted(*m_model, changed);
    QVERIFY(painted.contains(below));

    const QModelIndex group = m_model->indexForNode(statistics, 2);
    QCOMPARE(group.data().toString(), QStringLiteral("Will be deleted"));
    QCOMPARE(group.data(Qt::BackgroundRole).value<QBrush>().color(), QColor(230, 60, 60, 60));
    QVERIFY(group.data(Qt::FontRole).value<QFont>().strikeOut());
    const QBrush disabledText =
        QGuiApplication::palette().brush(QPalette::Disabled, QPalette::Text);
    for (const XsdtNode *n : below) {
        if (n == statistics)
            continue;
        const QModelIndex index = m_model->indexForNode(n, 0);
        QVERIFY2(index.data(Qt::FontRole).value<QFont>().strikeOut(), qPrintable(n->path()));
        QCOMPARE(index.data(Qt::ForegroundRole).value<QBrush>(), disabledText);
        QVERIFY(!index.data(Qt::BackgroundRole).isValid());
    }
    QCOMPARE(m_doc->pendingChangeCount(), 1);
}

void TestModel::nestedQueueAndUndo()
{
    XsdtNode *statistics = node(QStringLiteral("Global/Statistics"));
    XsdtNode *curves = node(QStringLiteral("Global/Statistics/Process/Curves"));
    QVERIFY(m_model->queueDeletion(statistics));

    QSignalSpy changed(m_model.get(), &QAbstractItemModel::dataChanged);
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    // Already inside a queued group: true, and nothing changes.
    QVERIFY(m_model->queueDeletion(curves));
    QVERIFY(!curves->pendingDelete);
    // Undoing a child of the queued group does nothing either.
    m_model->undoDeletion(curves);
    m_model->undoDeletion(curves->parent);
    QCOMPARE(changed.count(), 0);
    QCOMPARE(edited.count(), 0);
    QVERIFY(curves->isDeleted());

    m_model->undoDeletion(statistics);
    QCOMPARE(edited.count(), 1);
    QSet<const XsdtNode *> below;
    collect(statistics, below);
    QVERIFY(repainted(*m_model, changed).contains(below));
    for (const XsdtNode *n : below) {
        const QModelIndex index = m_model->indexForNode(n, 0);
        QVERIFY(!index.data(Qt::FontRole).isValid());
        QVERIFY(!index.data(Qt::ForegroundRole).isValid());
    }
    QCOMPARE(m_doc->pendingChangeCount(), 0);
}

void TestModel::viewOnly()
{
    XsdtNode *statistics = node(QStringLiteral("Global/Statistics"));
    QVERIFY(m_model->queueDeletion(statistics));
    const QPersistentModelIndex deep =
        m_model->indexForNode(node(QStringLiteral("Global/Statistics/Process/Curves")), 1);
    QSignalSpy aboutToChange(m_model.get(), &QAbstractItemModel::layoutAboutToBeChanged);
    QSignalSpy layoutChanged(m_model.get(), &QAbstractItemModel::layoutChanged);
    QSignalSpy reset(m_model.get(), &QAbstractItemModel::modelReset);
    m_model->setViewOnly(true);
    QVERIFY(m_model->isViewOnly());
    // Views hear that every row may look different; nothing moves and nothing is reset.
    QCOMPARE(aboutToChange.count(), 1);
    QCOMPARE(layoutChanged.count(), 1);
    QCOMPARE(reset.count(), 0);
    QCOMPARE(deep.row(), 1);
    QCOMPARE(m_model->nodeForIndex(deep)->key, QStringLiteral("Curves"));
    m_model->setViewOnly(true); // no change, no signal
    QCOMPARE(layoutChanged.count(), 1);

    QSet<const XsdtNode *> all;
    collect(&m_doc->root, all);
    all.remove(&m_doc->root);
    for (const XsdtNode *n : std::as_const(all))
        QVERIFY(!m_model->flags(m_model->indexForNode(n, 1)).testFlag(Qt::ItemIsEditable));
    QString whyNot;
    QVERIFY(!m_model->queueDeletion(node(QStringLiteral("CommandHistory")), &whyNot));
    QCOMPARE(whyNot, QStringLiteral("PixInsight is running; nothing can be changed."));
    // What was queued before stays queued and visible.
    QCOMPARE(m_model->indexForNode(statistics, 2).data().toString(),
             QStringLiteral("Will be deleted"));
    m_model->setViewOnly(false);
    QCOMPARE(layoutChanged.count(), 2);
    QVERIFY(
        m_model
            ->flags(m_model->indexForNode(node(QStringLiteral("Global/RGBWorkingSpace/Gamma")), 1))
            .testFlag(Qt::ItemIsEditable));
}

// Queued and undone while "Changed only" is on: the group and its ancestors come and go.
void TestModel::queueWhileFiltering()
{
    SettingsFilterProxy proxy;
    proxy.setSourceModel(m_model.get());
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    proxy.setChangedOnly(true);
    QCOMPARE(proxy.rowCount(), 0);
    XsdtNode *process = node(QStringLiteral("Global/Statistics/Process"));
    QVERIFY(m_model->queueDeletion(process));
    QTRY_COMPARE(visiblePaths(proxy),
                 (QStringList{"Global", "Global/Statistics", "Global/Statistics/Process"}));
    m_model->undoDeletion(process);
    QTRY_COMPARE(proxy.rowCount(), 0);
    // A text filter alone follows as well: "curves" is below the queued group.
    proxy.setChangedOnly(false);
    proxy.setFilterText(QStringLiteral("will"));
    QCOMPARE(proxy.rowCount(), 0);
    proxy.setFilterText(QStringLiteral("curves"));
    QCOMPARE(visiblePaths(proxy).size(), 4);
    QVERIFY(m_model->queueDeletion(process));
    QTRY_COMPARE(visiblePaths(proxy).size(), 4);
}

// After a save every edit is committed at once: a "Changed only" view must let the rows and
// their now empty ancestors go when the model says everything changed.
void TestModel::refreshAllRefilters()
{
    XsdtNode *gamma = node(QStringLiteral("Global/RGBWorkingSpace/Gamma"));
    QVERIFY(m_model->setData(m_model->indexForNode(gamma, 1), QStringLiteral("1.8")));
    SettingsFilterProxy proxy;
    proxy.setSourceModel(m_model.get());
    QAbstractItemModelTester tester(&proxy, QAbstractItemModelTester::FailureReportingMode::QtTest);
    proxy.setChangedOnly(true);
    QCOMPARE(visiblePaths(proxy),
             (QStringList{"Global", "Global/RGBWorkingSpace", "Global/RGBWorkingSpace/Gamma"}));
    m_doc->commit();
    m_model->refreshAll();
    QCOMPARE(visiblePaths(proxy), QStringList());
}

void TestModel::revertValueAndRevertAll()
{
    XsdtNode *gamma = node(QStringLiteral("Global/RGBWorkingSpace/Gamma"));
    XsdtNode *total = node(QStringLiteral("Global/Statistics/Total"));
    QVERIFY(m_model->setData(m_model->indexForNode(gamma, 1), QStringLiteral("1.8")));

    QSignalSpy changed(m_model.get(), &QAbstractItemModel::dataChanged);
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    m_model->revertValue(total); // unchanged: nothing
    QCOMPARE(edited.count(), 0);
    m_model->revertValue(gamma);
    QCOMPARE(gamma->value, QStringLiteral("2.2"));
    QCOMPARE(edited.count(), 1);
    QCOMPARE(changed.count(), 1);
    QCOMPARE(changed.at(0).at(0).value<QModelIndex>(), m_model->indexForNode(gamma, 0));
    QCOMPARE(changed.at(0).at(1).value<QModelIndex>(), m_model->indexForNode(gamma, 1));

    QVERIFY(m_model->setData(m_model->indexForNode(gamma, 1), QStringLiteral("1.8")));
    QVERIFY(m_model->queueDeletion(node(QStringLiteral("Global/Statistics"))));
    QVERIFY(m_model->queueDeletion(node(QStringLiteral("CommandHistory"))));
    QCOMPARE(m_doc->pendingChangeCount(), 3);
    QSignalSpy reset(m_model.get(), &QAbstractItemModel::modelReset);
    edited.clear();
    m_model->revertAll();
    QCOMPARE(reset.count(), 1);
    QCOMPARE(edited.count(), 1);
    QCOMPARE(m_doc->pendingChangeCount(), 0);
    QCOMPARE(gamma->value, QStringLiteral("2.2"));

    m_model->setDocument(nullptr);
    edited.clear();
    m_model->revertAll();
    QCOMPARE(edited.count(), 0);
    QCOMPARE(m_model->rowCount(), 0);
    QVERIFY(!m_model->index(0, 0).isValid());
}

// Rows of children of a group with 100,000 entries, also after the group changed under the
// model (the row cache must notice).
void TestModel::rowsInHugeGroup()
{
    XsdtDocument doc;
    XsdtNode *history =
        testdata::ensurePath(&doc.root, QStringLiteral("CommandHistory"), XsdtNode::Group);
    for (int i = 0; i < 100000; ++i)
        addValue(*history->appendChild(XsdtNode::Group, QString::number(i)), QStringLiteral("Text"),
                 u's', QString::number(i));
    SettingsModel model;
    model.setDocument(&doc);

    const QModelIndex historyIndex = model.index(0, 0);
    QCOMPARE(model.rowCount(historyIndex), 100000);
    for (int row : {0, 1, 31, 32, 50000, 99999}) {
        const QModelIndex entry = model.index(row, 0, historyIndex);
        const QModelIndex text = model.index(0, 1, entry);
        QCOMPARE(model.parent(text), entry);
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
    QTest::addColumn<QStringList>("expected");

    const QStringList all = {"Global",
                             "Global/Preferences",
                             "Global/Preferences/Process",
                             "Global/Preferences/Process/MaxProcessors",
                             "Global/Preferences/Application",
                             "Global/Preferences/Application/StyleSheetFile",
                             "Global/Preferences/ImageWindow",
                             "Global/Preferences/ImageWindow/ShowCaptionFullPaths",
                             "Global/RGBWorkingSpace",
                             "Global/RGBWorkingSpace/Gamma",
                             "Global/Statistics",
                             "Global/Statistics/Process",
                             "Global/Statistics/Process/ImageIntegration",
                             "Global/Statistics/Process/Curves",
                             "Global/Statistics/Total",
                             "Modules",
                             "Modules/1",
                             "ModuleData",
                             "ModuleData/Kestrane",
                             "ModuleData/Kestrane/Parameters",
                             "ModuleData/Kestrane/Parameters/Gamma",
                             "ModuleData/Kestrane/Parameters/Label",
                             "ModuleData/Kestrane/Geometry",
                             "ModuleData/Kestrane/LastRun",
                             "CommandHistory",
                             "CommandHistory/0001"};
    QTest::newRow("nothing") << "" << false << all;
    // In paths, across "/", and in editable values, never in protected ones (the Block
    // holds "gamma" too).
    QTest::newRow("gamma") << "GAMMA" << false
                           << QStringList{"Global",
                                          "Global/RGBWorkingSpace",
                                          "Global/RGBWorkingSpace/Gamma",
                                          "ModuleData",
                                          "ModuleData/Kestrane",
                                          "ModuleData/Kestrane/Parameters",
                                          "ModuleData/Kestrane/Parameters/Gamma",
                                          "ModuleData/Kestrane/Parameters/Label"};
    QTest::newRow("across separator")
        << "process/max" << false
        << QStringList{"Global", "Global/Preferences", "Global/Preferences/Process",
                       "Global/Preferences/Process/MaxProcessors"};
    QTest::newRow("value text") << "style.qss" << false
                                << QStringList{"Global", "Global/Preferences",
                                               "Global/Preferences/Application",
                                               "Global/Preferences/Application/StyleSheetFile"};
    QTest::newRow("changed only") << "" << true
                                  << QStringList{"Global",
                                                 "Global/RGBWorkingSpace",
                                                 "Global/RGBWorkingSpace/Gamma",
                                                 "Global/Statistics",
                                                 "ModuleData",
                                                 "ModuleData/Kestrane",
                                                 "ModuleData/Kestrane/Parameters",
                                                 "ModuleData/Kestrane/Parameters/Label"};
    QTest::newRow("gamma, changed only") << "gamma" << true
                                         << QStringList{"Global",
                                                        "Global/RGBWorkingSpace",
                                                        "Global/RGBWorkingSpace/Gamma",
                                                        "ModuleData",
                                                        "ModuleData/Kestrane",
                                                        "ModuleData/Kestrane/Parameters",
                                                        "ModuleData/Kestrane/Parameters/Label"};
}

void TestModel::filter()
{
    QFETCH(QString, text);
    QFETCH(bool, changedOnly);
    QFETCH(QStringList, expected);
    // Changed: two values, one of them matching "gamma" only by value; queued: a group.
    QVERIFY(m_model->setData(
        m_model->indexForNode(node(QStringLiteral("Global/RGBWorkingSpace/Gamma")), 1),
        QStringLiteral("1.8")));
    QVERIFY(m_model->setData(
        m_model->indexForNode(node(QStringLiteral("ModuleData/Kestrane/Parameters/Label")), 1),
        QStringLiteral("soft gamma")));
    QVERIFY(m_model->queueDeletion(node(QStringLiteral("Global/Statistics"))));

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

void TestModel::delegateBooleanEditor()
{
    SettingsFilterProxy proxy;
    proxy.setSourceModel(m_model.get());
    QTreeView view;
    view.setModel(&proxy);
    view.setItemDelegateForColumn(1, new ValueDelegate(&view));
    view.setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::EditKeyPressed);
    view.resize(700, 500);
    view.show();
    view.expandAll();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    XsdtNode *flag = node(QStringLiteral("Global/Preferences/ImageWindow/ShowCaptionFullPaths"));
    const QModelIndex index = proxy.mapFromSource(m_model->indexForNode(flag, 1));
    QVERIFY(index.isValid());
    view.setCurrentIndex(index);
    QTest::keyClick(view.viewport(), Qt::Key_F2);
    auto *combo = view.viewport()->findChild<QComboBox *>();
    QVERIFY(combo);
    QCOMPARE(combo->count(), 2);
    QCOMPARE(combo->itemText(0), QStringLiteral("true"));
    QCOMPARE(combo->itemText(1), QStringLiteral("false"));
    QCOMPARE(combo->currentText(), QStringLiteral("true"));

    // Choosing is committing: the value changes and the editor goes away.
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QTest::keyClick(combo, Qt::Key_Down);
    QCOMPARE(flag->value, QStringLiteral("false"));
    QCOMPARE(edited.count(), 1);
    QTRY_VERIFY(!view.viewport()->findChild<QComboBox *>());
    QVERIFY(!view.indexWidget(index));

    // Other values get the plain line edit.
    XsdtNode *gamma = node(QStringLiteral("Global/RGBWorkingSpace/Gamma"));
    view.setCurrentIndex(proxy.mapFromSource(m_model->indexForNode(gamma, 1)));
    QTest::keyClick(view.viewport(), Qt::Key_F2);
    auto *line = view.viewport()->findChild<QLineEdit *>();
    QVERIFY(line);
    QCOMPARE(line->text(), QStringLiteral("2.2"));
    line->selectAll();
    QTest::keyClicks(line, QStringLiteral("1.0e0"));
    QTest::keyClick(line, Qt::Key_Return); // the delegate commits from the event loop
    QTRY_COMPARE(gamma->value, QStringLiteral("1"));
}

void TestModel::delegateRefusedTextKeepsValue()
{
    SettingsFilterProxy proxy;
    proxy.setSourceModel(m_model.get());
    QTreeView view;
    view.setModel(&proxy);
    view.setItemDelegateForColumn(1, new ValueDelegate(&view));
    view.show();
    view.expandAll();
    QVERIFY(QTest::qWaitForWindowExposed(&view));

    XsdtNode *maxProc = node(QStringLiteral("Global/Preferences/Process/MaxProcessors"));
    view.setCurrentIndex(proxy.mapFromSource(m_model->indexForNode(maxProc, 1)));
    QTest::keyClick(view.viewport(), Qt::Key_F2);
    auto *line = view.viewport()->findChild<QLineEdit *>();
    QVERIFY(line);
    QSignalSpy rejected(m_model.get(), &SettingsModel::editRejected);
    line->selectAll();
    QTest::keyClicks(line, QStringLiteral("lots"));
    QTest::keyClick(line, Qt::Key_Return);
    QTRY_COMPARE(rejected.count(), 1);
    QCOMPARE(rejected.at(0).at(0).toString(),
             QStringLiteral("MaxProcessors: Expected an integer between -2147483648 and "
                            "2147483647."));
    QCOMPARE(maxProc->value, QStringLiteral("8"));
    QCOMPARE(proxy.mapFromSource(m_model->indexForNode(maxProc, 1)).data().toString(),
             QStringLiteral("8"));
}

QTEST_MAIN(TestModel)
#include "tst_model.moc"
