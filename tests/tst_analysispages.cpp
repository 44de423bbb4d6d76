// The Compare, Cleanup and Health check pages over a real model, and the comparison itself.
#include "document/additions.h"
#include "document/xsdtdocument.h"
#include "environment/englishplurals.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "knowledge/builtin.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/modules.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "support/testfiles.h"
#include "support/testtree.h"
#include "views/backupsdialog.h"
#include "views/cleanupview.h"
#include "views/comparerows.h"
#include "views/compareview.h"
#include "views/healthview.h"
#include "views/unusedmodulesview.h"
#include "widgets/dialogs.h"
#include "widgets/settingrow.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QComboBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QSpinBox>
#include <QTemporaryDir>
#include <QThread>
#include <QTreeView>
#include <QUndoStack>
#include <QtTest>

using namespace vrn;

namespace {

using testdata::parsedSettings;

// "group" rows and their "  label | here | there | status" children, in order.
QStringList treeRows(const QTreeView *tree)
{
    const QAbstractItemModel *model = tree->model();
    QStringList out;
    for (int i = 0; i < model->rowCount(); ++i) {
        const QModelIndex group = model->index(i, 0);
        out << group.data().toString();
        for (int c = 0; c < model->rowCount(group); ++c) {
            const auto text = [&](int column) { return model->index(c, column, group).data(); };
            out << QString("  %1 | %2 | %3 | %4")
                       .arg(text(0).toString(), text(1).toString(), text(2).toString(),
                            text(3).toString());
        }
    }
    return out;
}

QModelIndex rowNamed(const QTreeView *tree, const QString &label)
{
    const QAbstractItemModel *model = tree->model();
    for (int i = 0; i < model->rowCount(); ++i) {
        const QModelIndex group = model->index(i, 0);
        const auto found =
            model->match(model->index(0, 0, group), Qt::DisplayRole, label, 1, Qt::MatchExactly);
        if (!found.isEmpty())
            return found.first();
    }
    return {};
}

void selectRow(QTreeView *tree, const QModelIndex &index)
{
    tree->selectionModel()->select(index, QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

// Every row below the top, indented by depth: "entry | values | status".
void dumpRows(const QAbstractItemModel *model, const QModelIndex &parent, int depth,
              QStringList &out)
{
    for (int i = 0; i < model->rowCount(parent); ++i) {
        const QModelIndex row = model->index(i, 0, parent);
        const auto text = [&](int column) { return row.siblingAtColumn(column).data().toString(); };
        out << QString(depth * 2, ' ') + QStringList{text(0), text(1), text(3)}.join(" | ");
        dumpRows(model, row, depth + 1, out);
    }
}

QStringList cleanupRows(const QTreeView *tree)
{
    QStringList out;
    dumpRows(tree->model(), {}, 0, out);
    return out;
}

// The row of this label at any depth.
QModelIndex cleanupRow(const QTreeView *tree, const QString &label)
{
    const QAbstractItemModel *model = tree->model();
    const auto found = model->match(model->index(0, 0), Qt::DisplayRole, label, 1,
                                    Qt::MatchExactly | Qt::MatchRecursive);
    return found.isEmpty() ? QModelIndex() : found.first();
}

Qt::CheckState tickOf(const QModelIndex &row)
{
    return row.data(Qt::CheckStateRole).value<Qt::CheckState>();
}

// Ticks or unticks a row from the keyboard, as a user does.
void toggle(QTreeView *tree, const QModelIndex &row)
{
    tree->setCurrentIndex(row);
    QTest::keyClick(tree, Qt::Key_Space);
}

using testdata::writeFile;

// The text of the oldest message a page sent that is not taken yet.
QString said(QSignalSpy &messages)
{
    return messages.takeFirst().at(0).toString();
}

// Rules and groups of our own, so that a group can be absent or protected; defined after the
// class, where moc does not read its raw string.
QByteArray cleanupOverlay();

const QByteArray kCleanupFile =
    "<i k='Safe'><i k='Hollow'/><v k='A' t='i' v='1'/><i k='B'><v k='x' t='s' v='1'/><v k='y' "
    "t='s' v='2'/>"
    "</i></i><i k='Never'><v k='v' t='i' v='1'/></i><i k='zed'><i k='Interfaces'><i k='Main'>"
    "<i k='Geometry'><v k='g' t='s' v='1'/></i></i></i></i><i k='Alpha'><i k='Interfaces'>"
    "<i k='Side'><i k='Geometry'><v k='g' t='s' v='1'/></i></i></i><v k='p' t='i' v='1'/></i>"
    "<i k='beta'><i k='Interfaces'><i k='Geometry'><i k='Geometry'><v k='g' t='s' v='1'/></i>"
    "</i></i></i><i k='ModuleData'><i k='Alpha'><v k='m' t='i' v='1'/></i><i k='Idle'/></i>";

} // namespace

class TestAnalysisPages : public QObject
{
    Q_OBJECT

    QString thisFile() const { return m_dir.filePath("core-1-pxi.settings"); }
    QString otherFile() const { return m_dir.filePath("core-2-pxi.settings"); }
    QString compareSummary() const { return m_compare->summaryLabel()->text(); }
    QString cleanupStatus() const { return m_cleanup->statusLabel()->text(); }

    // This file and the other, written to disk; the view compares them.
    void openCompare(const QByteArray &here, const QByteArray &there, QString therePath = {})
    {
        const QString herePath = thisFile();
        if (therePath.isEmpty())
            therePath = otherFile();
        QVERIFY(writeFile(herePath, testdata::wrapSettings(here)));
        QVERIFY(writeFile(therePath, testdata::wrapSettings(there)));
        m_compare.reset();
        m_doc = parsedSettings(here);
        m_model->setDocument(m_doc.get());
        m_compare = std::make_unique<CompareView>(m_model.get());
        m_compare->setDocument(m_doc.get(), herePath);
        QCOMPARE(compareSummary(),
                 "Pick another settings file to see how it differs from this one.");
        QString error;
        QVERIFY2(m_compare->compareWith(therePath, &error), qPrintable(error));
        m_compare->finishComparison();
    }

    // The cleanup page over the given file, with the rules of cleanupOverlay().
    void openCleanup(const QByteArray &file)
    {
        m_model->setPolicy(&m_cleanupPolicy);
        m_doc = parsedSettings(file);
        m_model->setDocument(m_doc.get());
        m_cleanup = std::make_unique<CleanupView>(m_model.get());
        QAbstractItemModel *rows = m_cleanup->findChild<QTreeView *>()->model();
        new QAbstractItemModelTester(rows, QAbstractItemModelTester::FailureReportingMode::QtTest,
                                     rows);
        m_cleanup->setDocument(m_doc.get());
    }

    QTemporaryDir m_dir;
    DeletionPolicy m_policy, m_cleanupPolicy;
    Schema m_schema;
    std::unique_ptr<XsdtDocument> m_doc;
    std::unique_ptr<SettingsModel> m_model;
    std::unique_ptr<CompareView> m_compare;
    std::unique_ptr<CleanupView> m_cleanup;

private slots:
    void initTestCase()
    {
        installEnglishPlurals();
        QStandardPaths::setTestModeEnabled(true);
        qputenv("HOME", m_dir.path().toUtf8()); // no settings file of the real user is offered
        Dialogs::setTestMode(true);
        QVERIFY(m_policy.load(testdata::readFile(":/schema/overlay.json")));
        QVERIFY(m_cleanupPolicy.load(cleanupOverlay()));
        DeletionPolicy shipped;
        QVERIFY(loadBuiltInKnowledge(m_schema, shipped).schemaLoaded);
    }

    void init()
    {
        Dialogs::reset();
        m_compare.reset();
        m_cleanup.reset();
        m_model = std::make_unique<SettingsModel>();
        m_model->setPolicy(&m_policy);
    }

    void compareView_data()
    {
        QTest::addColumn<QByteArray>("here");
        QTest::addColumn<QByteArray>("there");
        QTest::addColumn<bool>("showAll"); // both "only in" boxes ticked, noise shown
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("summary");
        QTest::addColumn<QStringList>("rows");

        const auto row = [](const char *name, const QByteArray &here, const QByteArray &there,
                            bool showAll, const QString &summary, const QStringList &rows,
                            const QString &search = {}) {
            QTest::newRow(name) << here << there << showAll << search << summary << rows;
        };

        const QByteArray same = "<i k='Tool'><v k='a' t='i' v='1'/></i>";
        row("identical", same, same, false,
            "0 different, 0 only in this file, 0 only in the other file",
            {"Nothing to show with the current filters."});
        // Preferences group by three keys, the rest by two; a top-level value has a group of its
        // own. Queued entries count as missing here; statistics are noise unless shown.
        const QByteArray prefs = "<i k='Global'><i k='Preferences'><i k='Main'><i k='Sub'>"
                                 "<v k='x' t='i' v='5'/></i></i></i>"
                                 "<i k='Statistics'><v k='n' t='u' v='1'/></i></i>";
        row("grouping, noise hidden",
            prefs + "<v k='top' t='s' v='a\nb'/><i k='T'><i k='U'><v k='q' t='i' v='1'/></i></i>",
            "<i k='Global'><i k='Preferences'><i k='Main'><i k='Sub'><v k='x' t='u' v='5'/></i></i>"
            "</i><i k='Statistics'><v k='n' t='u' v='2'/></i></i><v k='top' t='s' v='c'/><i k='T'>"
            "<i k='U'><v k='q' t='i' v='2'/></i></i>",
            false,
            "3 different, 0 only in this file, 0 only in the other file (1 more hidden as "
            "statistics, window state or generated lists)\nNot copied: 1 of a different type.",
            {"Global/Preferences/Main", "  Sub/x | 5 | 5 | Different (type i / u)", "(top level)",
             "  top | a\u23CEb | c | Different", "T/U", "  q | 1 | 2 | Different"});
        const QByteArray longValue(5000, 'z');
        const QByteArray allHere = "<i k='G'><v k='mine' t='i' v='1'/><v k='long' t='s' v='" +
                                   longValue +
                                   "'/></i><i k='Global'><i k='Statistics'><v k='n' t='u' "
                                   "v='1'/></i></i>";
        const QByteArray allThere =
            "<i k='G'><v k='long' t='s' v='y'/><v k='theirs' t='i' v='2'/></i>"
            "<i k='Global'><i k='Statistics'><v k='n' t='u' v='2'/></i></i>";
        const QString allKinds = "2 different, 1 only in this file, 1 only in the other file";
        const QString longRow = "  long | " + QString(90, 'z') + QChar(0x2026) + " | y | Different";
        const QString oneSided = "\nNot copied: %1 only in one of the files.";
        row("all kinds shown", allHere, allThere, true, allKinds + oneSided.arg(2),
            {"G", "  mine | 1 |  | Only in this file", longRow,
             "  theirs |  | 2 | Only in the other file", "Global/Statistics",
             "  n | 1 | 2 | Different"});
        // The counts stay those of every kind; the search looks at paths and both values.
        row("search in values, any case", allHere, allThere, true, allKinds, {"G", longRow}, "Y");
        row("search in paths", allHere, allThere, true, allKinds + oneSided.arg(1),
            {"G", "  theirs |  | 2 | Only in the other file"}, "g/THE");
        row("search in a later group's path", allHere, allThere, true, allKinds,
            {"Global/Statistics", "  n | 1 | 2 | Different"}, "statistics/N");
    }

    void compareView()
    {
        QFETCH(QByteArray, here);
        QFETCH(QByteArray, there);
        QFETCH(bool, showAll);
        QFETCH(QString, search);
        openCompare(here, there);
        QAbstractItemModelTester tester(m_compare->tree()->model());
        if (showAll) {
            m_compare->onlyHereBox()->setChecked(true);
            m_compare->onlyThereBox()->setChecked(true);
            m_compare->hideNoiseBox()->setChecked(false);
        }
        if (!search.isEmpty()) {
            QTest::keyClicks(m_compare->searchEdit(), search);
            QTest::keyClick(m_compare->searchEdit(), Qt::Key_Return); // at once, not after a pause
        }
        QTEST(compareSummary(), "summary");
        QTEST(treeRows(m_compare->tree()), "rows");
        if (const QModelIndex item = rowNamed(m_compare->tree(), "long"); item.isValid())
            QCOMPARE(item.data(Qt::ToolTipRole).toString().section('\n', 1, 1),
                     "This file: " + QString(300, 'z'));
    }

    // Copies are pending edits; the confirmation counts what will be copied, both it and the
    // result group the reasons for the rest; recomputing drops copied rows, adds new ones.
    void compareCopies()
    {
        openCompare("<i k='T'><v k='a' t='i' v='1'/><v k='b' t='i' v='1'/>"
                    "<v k='c' t='i' v='1'/><v k='d' t='i' v='1'/><v k='e' t='i' v='5'/>"
                    "<v k='mine' t='i' v='1'/></i><v k='LastVersion' t='s' v='1'/>",
                    "<i k='T'><v k='a' t='i' v='2'/><v k='b' t='i' v='1'/><v k='c' t='i' v='abc'/>"
                    "<v k='d' t='i' v='2'/><v k='e' t='u' v='5'/></i>"
                    "<v k='LastVersion' t='s' v='2'/>");
        m_compare->onlyHereBox()->setChecked(true);
        m_compare->hideNoiseBox()->setChecked(false);
        QTreeView *tree = m_compare->tree();
        QCOMPARE(m_compare->copyAllButton()->text(),
                 "Use the other file's value for all shown (2)");
        const QString rest = "1 only in one of the files; 1 kept by the rules; 1 of a different "
                             "type; 1 not valid for the type of this file's entry";
        const QString notCopied = "\nNot copied: " + rest + ".";
        QCOMPARE(compareSummary(),
                 "5 different, 1 only in this file, 0 only in the other file" + notCopied);
        // The reason is on every cell of a greyed row, not only on its name.
        QVERIFY(rowNamed(tree, "c")
                    .siblingAtColumn(2)
                    .data(Qt::ToolTipRole)
                    .toString()
                    .endsWith("\nCannot be copied: the other file's value does not fit this file's "
                              "entry. Expected "
                              "an integer between -2147483648 and 2147483647."));
        QSignalSpy messages(m_compare.get(), &CompareView::message);

        selectRow(tree, rowNamed(tree, "d"));
        QVERIFY(m_compare->copySelectedButton()->isEnabled());
        QTest::mouseClick(m_compare->copySelectedButton(), Qt::LeftButton);
        QCOMPARE(said(messages), "Values copied into this file: 1. Review and save when ready.");
        QCOMPARE(m_doc->findPath(u"T/d")->value, "2");
        QTRY_VERIFY(!rowNamed(tree, "d").isValid());

        // c is no integer, e is of another type, mine exists only here, LastVersion is never
        // copied: only a is.
        Dialogs::setNextAnswer(QMessageBox::Yes);
        QTest::mouseClick(m_compare->copyAllButton(), Qt::LeftButton);
        QCOMPARE(Dialogs::lastShown().text,
                 "Values to copy from core-2-pxi.settings into this file: 1.\nNot copied: " + rest +
                     ".\n\nThey become pending changes: you can review, revert and save them "
                     "as usual.");
        QCOMPARE(said(messages), "Values copied into this file: 1. Not copied: " + rest +
                                     ". Review and save when ready.");
        QCOMPARE(m_doc->pendingChangeCount(), 2);
        QTRY_COMPARE(
            treeRows(tree),
            (QStringList{"T", "  c | 1 | abc | Different", "  e | 5 | 5 | Different (type i / u)",
                         "  mine | 1 |  | Only in this file", "(top level)",
                         "  LastVersion | 1 | 2 | Different"}));

        // A value that starts to differ takes its place in document order.
        QVERIFY(m_model->setData(m_model->indexForNode(m_doc->findPath(u"T/b"), 1), "7"));
        QTRY_COMPARE(treeRows(tree).mid(1, 2),
                     (QStringList{"  b | 7 | 1 | Different", "  c | 1 | abc | Different"}));
        QCOMPARE(compareSummary(),
                 "4 different, 1 only in this file, 0 only in the other file" + notCopied);
        // Nothing is compared while the file is read or saved; the edit is taken in after.
        m_compare->holdComparisons(true);
        m_model->revertValue(m_doc->findPath(u"T/b"));
        m_compare->finishComparison();
        QVERIFY(rowNamed(tree, "b").isValid());
        m_compare->holdComparisons(false);
        QTRY_VERIFY(!rowNamed(tree, "b").isValid());
        QCOMPARE(compareSummary(),
                 "3 different, 1 only in this file, 0 only in the other file" + notCopied);

        // Queued for deletion here: its twin of the other file shows as only there.
        QVERIFY(m_model->queueDeletion(m_doc->findPath(u"T")));
        m_compare->onlyThereBox()->setChecked(true);
        QTRY_COMPARE(compareSummary(), "1 different, 0 only in this file, 5 only in the other "
                                       "file\nNot copied: 5 only in one of the files; 1 kept by "
                                       "the rules.");
        m_compare->setViewOnly(true);
        QVERIFY(!m_compare->copyAllButton()->isEnabled());
        QCOMPARE(m_compare->copyAllButton()->toolTip(),
                 "PixInsight is running; nothing can be copied until it is closed.");
    }

    // A copy writes to the twin it was shown against; an edited twin meets its own partner.
    void compareTwins()
    {
        openCompare("<i k='R'><v k='F' t='s' v='a'/><v k='F' t='s' v='b'/></i>",
                    "<i k='R'><v k='F' t='s' v='a'/><v k='F' t='s' v='c'/></i>");
        QTreeView *tree = m_compare->tree();
        QCOMPARE(treeRows(tree), (QStringList{"R", "  F | b | c | Different"}));
        XsdtNode *first = m_doc->findPath(u"R/F"), *second = first->parent->children[1].get();
        QSignalSpy messages(m_compare.get(), &CompareView::message);
        // PixInsight started: the model refuses before the page is told.
        m_model->setViewOnly(true);
        selectRow(tree, tree->model()->index(0, 0));
        m_compare->copySelectedButton()->click();
        QCOMPARE(said(messages), "PixInsight is running, so nothing was copied. Close PixInsight, "
                                 "then copy again.");
        m_model->setViewOnly(false);
        m_compare->copySelectedButton()->click();
        QCOMPARE(first->value, "a");
        QCOMPARE(second->value, "c");
        QTRY_COMPARE(treeRows(tree), QStringList{"Nothing to show with the current filters."});
        QVERIFY(m_model->setData(m_model->indexForNode(second, 1), "d"));
        QTRY_COMPARE(treeRows(tree), (QStringList{"R", "  F | d | c | Different"}));
        QVERIFY(m_model->setData(m_model->indexForNode(first, 1), "z"));
        QTRY_COMPARE(treeRows(tree),
                     (QStringList{"R", "  F | z | a | Different", "  F | d | c | Different"}));
    }

    // A value the value check refuses (below its documented minimum) is not offered: left out
    // of the count, reported as refused, and this file keeps its own value.
    void compareRefusedValue()
    {
        m_model->setSchema(&m_schema);
        const auto file = [](const char *processors, const char *a) -> QByteArray {
            return QByteArray("<i k='Global'><i k='Preferences'><i k='Process'>"
                              "<v k='MaxProcessors' t='i' v='") +
                   processors + "'/></i></i></i><v k='a' t='i' v='" + a + "'/>";
        };
        openCompare(file("4", "1"), file("0", "2"));
        QTreeView *tree = m_compare->tree();
        const QModelIndex refused = rowNamed(tree, "MaxProcessors");
        QVERIFY(refused.data(Qt::ToolTipRole)
                    .toString()
                    .endsWith("\nCannot be copied: Max processors: 0 is below the allowed "
                              "minimum 1"));
        QCOMPARE(m_compare->copyAllButton()->text(),
                 "Use the other file's value for all shown (1)");
        selectRow(tree, refused);
        QVERIFY(!m_compare->copySelectedButton()->isEnabled());
        QSignalSpy messages(m_compare.get(), &CompareView::message);
        Dialogs::setNextAnswer(QMessageBox::Yes);
        m_compare->copyAllButton()->click();
        QCOMPARE(Dialogs::lastShown().text,
                 "Values to copy from core-2-pxi.settings into this file: 1.\nNot copied: 1 "
                 "refused by the value check.\n\nThey become pending changes: you can review, "
                 "revert and save them as usual.");
        QCOMPARE(said(messages),
                 "Values copied into this file: 1. Not copied: 1 refused by the value check. "
                 "Review and save when ready.");
        QCOMPARE(m_doc->findPath(u"Global/Preferences/Process/MaxProcessors")->value, "4");
        QCOMPARE(m_doc->pendingChangeCount(), 1);
    }

    // Against a backup the summary counts everything a restore would change, the rows the
    // filters leave out by reason.
    void compareBackup_data()
    {
        QTest::addColumn<bool>("showAll");
        QTest::addColumn<QString>("search");
        QTest::addColumn<QString>("restore");
        const QString unlisted = "1 only in this file; 1 only in the backup; ";
        const QString noise = "1 statistics, window state or generated lists.";
        QTest::newRow("defaults") << false << ""
                                  << "Not listed: " + unlisted + noise;
        QTest::newRow("search") << false << "T/a"
                                << "Not listed: " + unlisted + "1 not matching the search; " +
                                       noise;
        QTest::newRow("all listed") << true << ""
                                    << "";
    }

    void compareBackup()
    {
        QFETCH(bool, showAll);
        QFETCH(QString, search);
        QFETCH(QString, restore);
        const QString backup = thisFile() + ".bak-20250101-000000";
        const auto gone = qScopeGuard([&] { QFile::remove(backup); });
        const QByteArray stats = "<i k='Global'><i k='Statistics'><v k='n' t='u' v='1'/></i></i>";
        openCompare("<i k='T'><v k='a' t='i' v='1'/><v k='c' t='i' v='1'/><v k='mine' t='i' "
                    "v='1'/></i>" +
                        stats,
                    "<i k='T'><v k='a' t='i' v='2'/><v k='c' t='i' v='2'/><v k='theirs' t='i' "
                    "v='1'/></i>" +
                        QByteArray(stats).replace("'1'", "'2'"),
                    backup);
        m_compare->onlyHereBox()->setChecked(showAll);
        m_compare->onlyThereBox()->setChecked(showAll);
        m_compare->hideNoiseBox()->setChecked(!showAll);
        m_compare->searchEdit()->setText(search);
        emit m_compare->searchEdit()->returnPressed();
        QCOMPARE(compareSummary().section('\n', 1, 1),
                 QString("Restoring this backup would change 5 values. " + restore).trimmed());
    }

    // A result already on its way when the comparison was cancelled, or when the document went
    // away, is not shown; the file being read then is read again for the next document.
    void compareLateResult_data()
    {
        QTest::addColumn<bool>("cancel");
        QTest::newRow("cancelled") << true;
        QTest::newRow("document replaced") << false;
    }

    void compareLateResult()
    {
        QFETCH(bool, cancel);
        openCompare("<v k='a' t='i' v='1'/>", "<v k='a' t='i' v='2'/>");
        QSignalSpy messages(m_compare.get(), &CompareView::message);
        QVERIFY(m_compare->compareWith(otherFile()));
        QVERIFY(m_compare->isComparing());
        m_compare->waitForWorker();
        if (cancel)
            m_compare->cancelButton()->click();
        else
            m_compare->setDocument(nullptr, QString());
        QCoreApplication::processEvents();
        QVERIFY(m_compare->otherPath().isEmpty());
        QCOMPARE(treeRows(m_compare->tree()), QStringList());
        if (cancel) {
            QCOMPARE(said(messages), "Comparison cancelled.");
            QCOMPARE(compareSummary(),
                     "Pick another settings file to see how it differs from this one.");
            return;
        }
        const auto old = std::exchange(m_doc, parsedSettings("<v k='a' t='i' v='3'/>"));
        m_compare->setDocument(m_doc.get(), thisFile());
        m_compare->finishComparison();
        QCOMPARE(m_compare->otherPath(), otherFile());
        QCOMPARE(treeRows(m_compare->tree()),
                 (QStringList{"(top level)", "  a | 3 | 2 | Different"}));
    }

    // A long list is gone through in slices: meanwhile no row is listed, neither the last
    // filter's nor part of the new one's, and nothing can be copied.
    void compareInSlices()
    {
        openCompare("<i k='G'><v k='a' t='i' v='1'/><v k='b' t='i' v='1'/></i>"
                    "<i k='H'><v k='c' t='i' v='1'/></i>",
                    "<i k='G'><v k='a' t='i' v='2'/><v k='b' t='i' v='2'/></i>"
                    "<i k='H'><v k='c' t='i' v='2'/><v k='d' t='i' v='2'/></i>");
        const QStringList different = {"G", "  a | 1 | 2 | Different", "  b | 1 | 2 | Different",
                                       "H", "  c | 1 | 2 | Different"};
        QCOMPARE(treeRows(m_compare->tree()), different);
        const qsizetype perSlice = CompareRows::setRecordsPerSlice(1);
        m_compare->onlyThereBox()->setChecked(true);
        int turns = 0;
        for (; m_compare->isSearchPending() && turns < 20; ++turns) {
            QCOMPARE(treeRows(m_compare->tree()), QStringList());
            QVERIFY(!m_compare->copyAllButton()->isEnabled());
            QCoreApplication::processEvents();
        }
        CompareRows::setRecordsPerSlice(perSlice);
        QVERIFY(turns > 2);
        QCOMPARE(treeRows(m_compare->tree()), QStringList(different)
                                                  << "  d |  | 2 | Only in the other file");
        QVERIFY(m_compare->copyAllButton()->isEnabled());
    }

    void compareRefusals()
    {
        openCompare("<v k='a' t='i' v='1'/>", "<v k='a' t='i' v='2'/>");
        const QString bad = m_dir.filePath("bad.settings");
        QVERIFY(writeFile(bad, "<xsdt><v k="));
        const QString missing = m_dir.filePath("missing.settings");
        QString error;
        QVERIFY(!m_compare->compareWith(thisFile(), &error));
        QCOMPARE(error, "That is the file being edited.");
        QVERIFY(!m_compare->compareWith(missing, &error));
        QVERIFY(error.startsWith("Cannot read " + missing + ": "));
        // An unreadable file keeps the file compared before; an invalid one ends the comparison.
        QCOMPARE(m_compare->records().size(), 1);
        QSignalSpy messages(m_compare.get(), &CompareView::message);
        QVERIFY(m_compare->compareWith(bad, &error));
        m_compare->finishComparison();
        QVERIFY(said(messages).startsWith(bad + " is not a valid PixInsight settings file: "));
        QVERIFY(m_compare->otherPath().isEmpty());
        QVERIFY(m_compare->records().isEmpty());
        // A backup made while the page was away is offered when it is shown again, and the
        // file compared with stays chosen.
        QVERIFY(m_compare->compareWith(otherFile()));
        m_compare->finishComparison();
        const QString backup = m_dir.filePath("core-1-pxi.settings.bak-20260102-030405");
        QVERIFY(writeFile(backup, "<xsdt/>"));
        QCOMPARE(m_compare->fileChooser()->findData(backup), -1);
        m_compare->show();
        QVERIFY(m_compare->fileChooser()->findData(backup) > 0);
        QCOMPARE(m_compare->fileChooser()->currentData().toString(), otherFile());
        // Loading the compared file as the document forgets it as the other file.
        QVERIFY(m_compare->compareWith(otherFile()));
        m_compare->setDocument(m_doc.get(), otherFile());
        QVERIFY(m_compare->otherPath().isEmpty());
        m_compare->setDocument(nullptr, QString());
        QVERIFY(compareSummary().isEmpty());
    }

    // The size formats of the three pages that show sizes; a KiB figure that would print as
    // 1024 goes to MiB where the page has it.
    void sizes_data()
    {
        QTest::addColumn<QString>("page");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<QString>("text");
        const auto row = [](const char *page, qint64 bytes, const char *text) {
            QTest::newRow(qPrintable(QString("%1 %2").arg(page).arg(bytes)))
                << QString(page) << bytes << QString(text);
        };
        row("cleanup", 1023, "1023 B");
        row("cleanup", 1024, "1.0 KiB");
        row("cleanup", 1048575, "1024.0 KiB"); // no larger unit on this page
        row("unused", 1048473, "1023.9 KiB");
        row("unused", 1048525, "1.0 MiB");
        row("backups", 1048063, "1023 KiB");
        row("backups", 1048064, "1.0 MiB");
    }

    void sizes()
    {
        QFETCH(QString, page);
        QFETCH(qint64, bytes);
        const QString text = page == "cleanup"  ? CleanupView::sizeText(bytes)
                             : page == "unused" ? UnusedModulesView::formatSize(bytes)
                                                : BackupsDialog::sizeText(bytes);
        QTEST(text, "text");
    }

    void cleanupTree_data()
    {
        QTest::addColumn<QByteArray>("file");
        QTest::addColumn<QStringList>("rows");
        const QString safe = "Safe to clean - PixInsight recreates these |  | ";
        const QString saved =
            "Saved tool and script settings - deleting loses your configuration |  | ";
        QTest::newRow("nothing") << QByteArray("<i k='Never'><v k='v' t='i' v='1'/></i>")
                                 << QStringList{safe, "  Nothing to clean in this file. |  | ",
                                                saved, "  No tool settings found. |  | "};
    }

    void cleanupTree()
    {
        QFETCH(QByteArray, file);
        openCleanup(file);
        QTEST(cleanupRows(m_cleanup->tree()), "rows");
        QCOMPARE(cleanupStatus(), "0 entries queued for deletion");
        QVERIFY(!m_cleanup->tree()->model()->index(1, 0).data(Qt::CheckStateRole).isValid());
    }

    void cleanupQueue()
    {
        openCleanup(kCleanupFile);
        // The list's first status changes no row while nothing is queued: a large file's list
        // has hundreds of thousands.
        QSignalSpy rowChanges(m_cleanup->findChild<QTreeView *>()->model(),
                              &QAbstractItemModel::dataChanged);
        QTreeView *tree = m_cleanup->tree();
        QCOMPARE(rowChanges.count(), 0);
        QSignalSpy messages(m_cleanup.get(), &CleanupView::message);
        const QModelIndex safeTop = tree->model()->index(0, 0);
        const QModelIndex savedTop = tree->model()->index(1, 0);
        const QModelIndex pair = cleanupRow(tree, "Pair");
        const QModelIndex windows = cleanupRow(tree, "Windows (3)");
        const auto status = [](const QModelIndex &row) {
            return row.siblingAtColumn(3).data().toString();
        };

        // Queued elsewhere: the page follows.
        QVERIFY(m_model->queueDeletion(m_doc->findPath(u"Safe/A")));
        QTRY_COMPARE(status(pair), "Partly queued (1 of 2)");
        QCOMPARE(cleanupStatus(), "1 entry queued for deletion");
        m_model->undoDeletion(m_doc->findPath(u"Safe/A"));

        // A closed group ticks and unticks the entries below it.
        toggle(tree, windows);
        QCOMPARE(tickOf(cleanupRow(tree, "beta \u203A Geometry")), Qt::Checked);
        QTRY_COMPARE(cleanupStatus().left(18), "Ticked: 3 entries ");
        toggle(tree, windows);
        QCOMPARE(tickOf(cleanupRow(tree, "beta \u203A Geometry")), Qt::Unchecked);

        // Two entries of three nodes, safe to clean: no question.
        toggle(tree, pair);
        toggle(tree, cleanupRow(tree, "zed \u203A Main"));
        QTRY_VERIFY(m_cleanup->queueButton()->isEnabled());
        QCOMPARE(tickOf(safeTop), Qt::PartiallyChecked);
        QCOMPARE(tickOf(windows), Qt::PartiallyChecked);
        QVERIFY(!m_cleanup->undoButton()->isEnabled()); // nothing of theirs is queued
        QVERIFY(cleanupStatus().startsWith("Ticked: 3 entries (about "));
        QTest::mouseClick(m_cleanup->queueButton(), Qt::LeftButton);
        QVERIFY(Dialogs::shown().isEmpty());
        // One count everywhere: the message, the page, the undo step and the window title's
        // count of pending changes.
        QCOMPARE(said(messages), "Queued 3 entries for deletion. Save to apply.");
        QTRY_COMPARE(cleanupStatus(), "3 entries queued for deletion");
        QCOMPARE(m_model->undoStack()->undoText(), "cleanup of 3 entries");
        QCOMPARE(m_doc->pendingChangeCount(), 3);
        QCOMPARE(status(pair), "Queued for deletion");
        QCOMPARE(status(windows), "Partly queued (1 of 3)");
        QCOMPARE(tickOf(pair), Qt::Unchecked);
        QCOMPARE(tickOf(safeTop), Qt::Unchecked);

        // The saved-settings section ticks its entries; queueing asks once, listing them all.
        toggle(tree, savedTop);
        QTRY_COMPARE(cleanupStatus().left(18), "Ticked: 4 entries ");
        QTest::mouseClick(m_cleanup->queueButton(), Qt::LeftButton); // cancelled
        QCOMPARE(Dialogs::shown().size(), 1);
        const Dialogs::Record asked = Dialogs::lastShown();
        QCOMPARE(asked.text, "This removes the saved configuration of 3 tools or scripts. They "
                             "will start from their defaults.");
        QCOMPARE(asked.detailedText, "Alpha\nbeta\nzed");
        QVERIFY(messages.isEmpty());
        QVERIFY(!m_doc->findPath(u"Alpha")->pendingDelete);
        QCOMPARE(tickOf(savedTop), Qt::Checked);
        // zed holds a window position queued before; zed is queued whole all the same.
        Dialogs::setNextAnswer(QMessageBox::Yes);
        QTest::mouseClick(m_cleanup->queueButton(), Qt::LeftButton);
        QCOMPARE(said(messages), "Queued 4 entries for deletion. Save to apply.");
        QVERIFY(m_doc->findPath(u"Alpha")->pendingDelete);
        // zed's window position goes with zed: counted once, as in the title.
        QTRY_COMPARE(cleanupStatus(), "6 entries queued for deletion");
        QCOMPARE(m_doc->pendingChangeCount(), 6);
        QCOMPARE(status(windows), "Queued for deletion"); // each within a tool queued whole

        // Undo takes back only the marks of the ticked entries themselves.
        toggle(tree, pair);
        QTRY_VERIFY(m_cleanup->undoButton()->isEnabled());
        QTest::mouseClick(m_cleanup->undoButton(), Qt::LeftButton);
        QCOMPARE(m_model->undoStack()->undoText(), "cancelled cleanup of 2 entries");
        QVERIFY(!m_doc->findPath(u"Safe/A")->isDeleted());
        QVERIFY(m_doc->findPath(u"Alpha")->pendingDelete);

        // A refusal by the model is reported with its reason; the other nodes are still tried.
        m_model->setViewOnly(true);
        toggle(tree, pair);
        QTRY_VERIFY(m_cleanup->queueButton()->isEnabled());
        QTest::mouseClick(m_cleanup->queueButton(), Qt::LeftButton);
        QCOMPARE(said(messages),
                 "Some entries were refused: PixInsight is running; nothing can be changed.");

        m_cleanup->setViewOnly(true);
        QCOMPARE(cleanupStatus(), "PixInsight is running: view only.");
        QVERIFY(!m_cleanup->queueButton()->isEnabled());
        QVERIFY(!(pair.flags() & Qt::ItemIsEnabled));
        QVERIFY(!(cleanupRow(tree, "Safe/A").flags() & Qt::ItemIsEnabled));
        QVERIFY(!(savedTop.flags() & Qt::ItemIsEnabled));
    }

    // A generated file with one of every finding (the module files checked, so not the note that
    // they could not be), plus a key that occurs 15 times.
    void healthCards()
    {
        Schema schema;
        QVERIFY(schema.load(testdata::readFile(":/schema/globals.json"),
                            testdata::readFile(":/schema/overlay.json")));
        testdata::GeneratorOptions options;
        options.seed = 11;
        options.targetBytes = 200 * 1024;
        options.plantProblems = options.plantMoreProblems = true;
        m_doc = std::make_unique<XsdtDocument>();
        QVERIFY(m_doc->parse(testdata::generateSettings(options)));
        for (int i = 0; i < 15; ++i)
            m_doc->root.appendChild(XsdtNode::Group, "Twice");
        XsdtNode *modules = m_doc->findPath(u"Modules");
        XsdtNode *twin = modules->appendChild(XsdtNode::Value, "Twin");
        twin->type = 's';
        twin->value = twin->originalValue = modules->children.front()->value.text();
        m_model->setDocument(m_doc.get());

        HealthView view(m_model.get(), &schema);
        HealthEnv env;
        env.exists = [](const QString &path) {
            return !path.endsWith(".qss") && !path.endsWith("-pxm.so");
        };
        env.logicalProcessors = 8;
        env.installCandidates = {"/nowhere"};
        view.setEnvironment(env);
        QSignalSpy summaries(&view, &HealthView::summaryChanged);
        view.setDocument(m_doc.get());
        QVERIFY(!view.hasRun()); // hidden: the check waits until the page is shown
        view.show();
        QVERIFY(view.hasRun());
        view.finishCheck();

        QStringList ids;
        int counts[3] = {0, 0, 0};
        for (const Finding &finding : view.findings()) {
            ids << finding.id;
            ++counts[int(finding.severity)];
        }
        QVERIFY(ids.contains("duplicate-key") && ids.contains("unused-modules"));
        QCOMPARE(view.cards().size(), ids.size());
        const auto counted = [](int n, const QString &word) {
            return QString("%1 %2%3").arg(n).arg(word, n == 1 ? "" : "s");
        };
        QCOMPARE(view.summaryLabel()->text(), counted(counts[2], "problem") + ", " +
                                                  counted(counts[1], "warning") + ", " +
                                                  counted(counts[0], "note"));
        QCOMPARE(summaries.last(), (QVariantList{counts[2], counts[1]}));
        const qsizetype twice = ids.indexOf("duplicate-key");
        QCOMPARE(view.findings().at(twice).nodes.size(), 15);
        QWidget *twiceCard = view.cards().at(twice);
        QCOMPARE(
            twiceCard->findChildren<QPushButton *>(QString(), Qt::FindChildrenRecursively).size(),
            24); // 12 lines of two buttons
        bool more = false;
        for (const QLabel *label : twiceCard->findChildren<QLabel *>())
            more = more || label->text() == "...and 3 more.";
        QVERIFY(more);
        // A queued entry is struck through in its card.
        QLabel *firstTwice = twiceCard->findChildren<QLabel *>().at(2);
        QVERIFY2(firstTwice->text().startsWith("<b>Twice</b>"), qPrintable(firstTwice->text()));
        QVERIFY(m_model->queueDeletion(view.findings().at(twice).nodes.first()));
        QVERIFY(firstTwice->font().strikeOut());
        m_model->undoDeletion(view.findings().at(twice).nodes.first());
        QVERIFY(!firstTwice->font().strikeOut());
        const qsizetype unused = ids.indexOf("unused-modules");
        QSignalSpy opened(&view, &HealthView::openUnusedModules);
        const auto unusedButtons = view.cards().at(unused)->findChildren<QPushButton *>();
        QCOMPARE(unusedButtons.size(), 1);
        unusedButtons.first()->click();
        QCOMPARE(opened.size(), 1);

        // A doubled registration's card offers the later entry to the window's delete flow.
        QPushButton *removeTwin = nullptr;
        for (QPushButton *button :
             view.cards().at(ids.indexOf("module-registered-twice"))->findChildren<QPushButton *>())
            removeTwin = button->text().startsWith("Delete the registration of ") &&
                                 button->text().endsWith(" (Modules/Twin)...")
                             ? button
                             : removeTwin;
        QVERIFY(removeTwin && removeTwin->isEnabled());
        QSignalSpy deletions(&view, &HealthView::deleteRequested);
        removeTwin->click();
        QCOMPARE(deletions.value(0).value(0).value<XsdtNode *>(), twin);
        // Queued, it has nothing more to offer; undone, it is offered again.
        QVERIFY(m_model->queueDeletion(twin));
        QVERIFY(!removeTwin->isEnabled());
        m_model->undoDeletion(twin);
        QVERIFY(removeTwin->isEnabled());
        view.setViewOnly(true);
        QVERIFY(!removeTwin->isEnabled());
        view.setViewOnly(false);

        // Filtered to one kind, then to one severity: only those cards.
        view.kindFilter()->setCurrentIndex(view.kindFilter()->findData("module-registered-twice"));
        QCOMPARE(view.kindFilter()->currentText(), "Modules registered twice (1)");
        view.finishCheck();
        QCOMPARE(view.cards().size(), 1);
        view.kindFilter()->setCurrentIndex(0);
        view.severityFilter()->setCurrentIndex(view.severityFilter()->findText("Notes"));
        view.finishCheck();
        QCOMPARE(view.cards().size(), counts[0]);
        view.severityFilter()->setCurrentIndex(0);
        view.finishCheck();
        QCOMPARE(view.cards().size(), ids.size());

        // Rows edit through the model; the first edit adds the stale notice, later ones nothing.
        XsdtNode *font = m_doc->findPath(u"Global/Preferences/Application/FontResolution");
        auto *spin = qobject_cast<QSpinBox *>(view.rowFor(font)->editor());
        QVERIFY(spin);
        m_model->setSchema(&schema);
        spin->setValue(21); // still outside the documented range: refused, and left as typed
        QCOMPARE(font->value, "20");
        QCOMPARE(spin->value(), 21);
        spin->setValue(96);
        QCOMPARE(font->value, "96");
        const QString stale = view.summaryLabel()->text();
        QVERIFY(stale.endsWith("   (You changed settings: run the check again to re-check.)"));
        spin->setValue(97);
        QCOMPARE(view.summaryLabel()->text(), stale);
        m_model->revertValue(font);
        QCOMPARE(spin->value(), 20); // rows follow changes made elsewhere

        view.runButton()->click();
        QVERIFY(!view.summaryLabel()->text().contains("You changed"));

        // A value changed after the running check read it: the check starts again on the new
        // value instead of showing what it found before.
        view.finishCheck();
        XsdtNode *missing = nullptr;
        for (const Finding &finding : view.findings())
            missing = !missing && finding.id == "path-missing" ? finding.nodes.first() : missing;
        QVERIFY(missing);
        std::atomic_bool read = false;
        HealthEnv watching = env;
        watching.exists = [&read, old = missing->value.toString(), env](const QString &path) {
            read = read || path == old;
            return env.exists(path);
        };
        view.setEnvironment(watching);
        view.runCheck();
        while (!read)
            QThread::yieldCurrentThread();
        QVERIFY(m_model->setData(m_model->indexForNode(missing, 1), "/elsewhere/style.css"));
        view.finishCheck();
        for (const Finding &finding : view.findings())
            QVERIFY(!finding.nodes.contains(missing));
        m_model->revertValue(missing);
        view.setDocument(nullptr);
        QCOMPARE(summaries.last(), (QVariantList{0, 0}));
        QVERIFY(view.cards().isEmpty());
        QVERIFY(view.summaryLabel()->text().isEmpty());
        view.hide();
        view.show();
        QVERIFY(!view.hasRun());
        QVERIFY(view.moreButton()->isHidden());

        // Thousands of findings are built a hundred cards at a time.
        for (int i = 0; i < 150; ++i) {
            XsdtNode *group = m_doc->root.appendChild(XsdtNode::Group, QString("G%1").arg(i));
            group->appendChild(XsdtNode::Group, "X");
            group->appendChild(XsdtNode::Group, "X");
        }
        view.setDocument(m_doc.get());
        view.finishCheck();
        const qsizetype all = view.findings().size();
        QVERIFY(all > 150);
        QCOMPARE(view.cards().size(), 100);
        QCOMPARE(view.moreButton()->text(),
                 QString("Show more findings (%1 not shown yet)").arg(all - 100));
        view.moreButton()->click();
        QTRY_COMPARE(view.cards().size(), std::min<qsizetype>(all, 200));
        while (!view.moreButton()->isHidden()) {
            view.moreButton()->click();
            view.finishCheck();
        }
        QCOMPARE(view.cards().size(), all);
        // A document that goes takes its findings with it.
        view.setDocument(nullptr);
        QVERIFY(view.findings().isEmpty());
    }

    // Nothing is looked at until the page shows; a document replaced meanwhile is not listed.
    void cleanupWhenShown_data()
    {
        QTest::addColumn<bool>("replaced");
        QTest::newRow("shown") << false;
        QTest::newRow("replaced while looking") << true;
    }

    void cleanupWhenShown()
    {
        QFETCH(bool, replaced);
        openCleanup(kCleanupFile);
        QVERIFY(m_cleanup->isBuilding());
        m_cleanup->show();
        if (replaced) {
            std::unique_ptr<XsdtDocument> first =
                std::exchange(m_doc, parsedSettings("<i k='Never'><v k='v' t='i' v='1'/></i>"));
            m_model->setDocument(m_doc.get());
            m_cleanup->setDocument(m_doc.get());
        }
        QTRY_VERIFY(!m_cleanup->isBuilding());
        QCOMPARE(cleanupRows(m_cleanup->tree()).size(), replaced ? 4 : 14);
    }

    // An entry taken out again by undo is freed once a new edit drops that step: the list lets
    // go of it when it goes, and is made again without it.
    void cleanupLetsGoOfEntriesTakenOut()
    {
        openCleanup(kCleanupFile);
        QStringList reasons;
        QCOMPARE(
            m_model->addValues({NewValue{{"Safe", "Missing"}, QChar('i'), "1"}}, "add", &reasons),
            1);
        m_cleanup->show();
        QTRY_VERIFY(!m_cleanup->isBuilding());
        QVERIFY(cleanupRow(m_cleanup->tree(), "Absent").isValid());
        m_model->undo();
        QVERIFY(m_model->queueDeletion(m_doc->findPath(u"Safe/A")));
        QTRY_VERIFY(!m_cleanup->isBuilding());
        QVERIFY(!cleanupRow(m_cleanup->tree(), "Absent").isValid());
        QTRY_COMPARE(cleanupStatus(), "1 entry queued for deletion");
    }

    // One size measured a turn: the same rows in the same order, and deletions queued after the
    // second show on the rows of nodes measured before and after them.
    void cleanupInSlices()
    {
        openCleanup(kCleanupFile);
        m_cleanup->setSliceRule([this](qsizetype measured) {
            if (measured == 2) {
                m_model->queueDeletion(m_doc->findPath(u"Safe/A"));
                m_model->queueDeletion(m_doc->findPath(u"Alpha"));
            }
            return true;
        });
        m_cleanup->show();
        QTRY_VERIFY(!m_cleanup->isBuilding());
        const QString queued = "Queued for deletion";
        QCOMPARE(cleanupRows(m_cleanup->tree()),
                 (QStringList{"Safe to clean - PixInsight recreates these |  | ",
                              "  Pair | 3 | Partly queued (1 of 2)", "    Safe/A | 1 | ",
                              "    Safe/B | 2 | ", "  Windows (3) | 3 | Partly queued (1 of 3)",
                              "    Alpha \u203A Side | 1 | " + queued,
                              "    beta \u203A Geometry | 1 | ", "    zed \u203A Main | 1 | ",
                              "Saved tool and script settings - deleting loses your "
                              "configuration |  | ",
                              "  Alpha | 3 | Partly queued (1 of 2)", "    Alpha | 2 | ",
                              "    ModuleData/Alpha | 1 | ", "  beta | 1 | ", "  zed | 1 | "}));
        QCOMPARE(cleanupStatus(), "2 entries queued for deletion");
        QCOMPARE(cleanupRow(m_cleanup->tree(), "Pair").data(Qt::ToolTipRole),
                 "Two paths\nSafe/A, Safe/B");
        // What each path takes in the file, written as it is: <i k="B"> with its two values.
        const QModelIndex safeB = cleanupRow(m_cleanup->tree(), "Safe/B").siblingAtColumn(2);
        QCOMPARE(safeB.data(), "57 B");
        QCOMPARE(safeB.data(Qt::TextAlignmentRole).value<Qt::Alignment>(),
                 Qt::AlignRight | Qt::AlignVCenter);
    }

    // Off the GUI thread the module lookups go by the registry as copied before: an entry
    // edited meanwhile does not count.
    void modulesByRegistryCopy()
    {
        const auto doc = parsedSettings("<i k='Modules'><v k='m' t='s' v='/x/Kept-pxm.so'/></i>"
                                        "<i k='ModuleData'><i k='Kept'><v k='a' t='i' v='1'/></i>"
                                        "<i k='Gone'><v k='a' t='i' v='1'/></i></i>");
        const QList<RegistryValue> registry = registryValues(*doc);
        doc->findPath(u"Modules/m")->value = "/x/Gone-pxm.so";
        const QList<ModuleEntries> unused = unusedModuleData(*doc, registry);
        QCOMPARE(unused.size(), 1);
        QCOMPARE(unused.first().name, "Gone");
        QVERIFY(ModuleFinder(*doc, registry).find("Kept").first().registered);
    }
};

namespace {

QByteArray cleanupOverlay()
{
    return R"({"policy": {"delete": [
    {"path": "Safe", "level": "safe", "reason": "recreated"},
    {"path": "Safe/**", "level": "safe", "reason": "recreated"},
    {"path": "*", "level": "warn", "groupsOnly": true, "reason": "tool settings"},
    {"path": "*/Interfaces/*/Geometry", "level": "safe", "reason": "window"},
    {"path": "Never", "level": "never", "reason": "kept"},
    {"path": "ModuleData", "level": "never", "reason": "kept"},
    {"path": "ModuleData/*", "level": "warn", "groupsOnly": true, "reason": "module data"}]},
  "cleanup": [
    {"title": "Pair", "description": "Two paths", "paths": ["Safe/A", "Safe/B"]},
    {"title": "Absent", "description": "d", "paths": ["Safe/Missing"]},
    {"title": "Hollow", "description": "d", "paths": ["Safe/Hollow"]},
    {"title": "Protected", "description": "d", "paths": ["Never"]},
    {"title": "Windows", "description": "each", "paths": ["*/Interfaces/*/Geometry"],
     "each": true}]})";
}

} // namespace

QTEST_MAIN(TestAnalysisPages)
#include "tst_analysispages.moc"
