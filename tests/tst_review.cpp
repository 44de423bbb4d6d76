// The review dialog over a real model: the list, its filters, the details, taking changes
// back and the leftover files.
#include "document/additions.h"
#include "document/xsdtdocument.h"
#include "environment/englishplurals.h"
#include "knowledge/deletionpolicy.h"
#include "model/reviewmodel.h"
#include "model/settingsmodel.h"
#include "support/testfiles.h"
#include "support/testtree.h"
#include "views/reviewdialog.h"

#include <QAbstractItemModelTester>
#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeView>
#include <QtTest>

#include <memory>

using namespace vrn;

namespace {

// The first texts of the rows under `parent`, joined by " | ".
QStringList rows(const QTreeView *tree, int columns = 4, const QModelIndex &parent = {})
{
    const QAbstractItemModel *model = tree->model();
    QStringList out;
    for (int i = 0; i < model->rowCount(parent); ++i) {
        QStringList texts;
        for (int c = 0; c < columns; ++c)
            texts.append(model->index(i, c, parent).data().toString());
        out.append(texts.join(" | "));
    }
    return out;
}

QModelIndex rowFor(const QTreeView *tree, QStringView path)
{
    const QAbstractItemModel *model = tree->model();
    for (int i = 0; i < model->rowCount(); ++i) {
        if (model->index(i, 1).data().toString() == path)
            return model->index(i, 0);
    }
    return {};
}

void select(QTreeView *tree, const QModelIndex &row)
{
    tree->selectionModel()->select(row, QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

LeftoverItem leftover(const QString &path, bool inInstallation = false)
{
    return {LeftoverKind::ModuleFile, {}, path, false, inInstallation, 0, 0};
}

const QString kKestraneConfig = "/home/astro/.config/Pleiades/Kestrane";

} // namespace

class TestReview : public QObject
{
    Q_OBJECT

    void edit(const char *path, const char *text)
    {
        XsdtNode *node = m_doc->findPath(QString::fromLatin1(path));
        QVERIFY(node);
        QVERIFY(m_model->setData(m_model->indexForNode(node, 1), QString::fromLatin1(text)));
    }
    void queue(const char *path)
    {
        QString whyNot;
        QVERIFY2(m_model->queueDeletion(m_doc->findPath(QString::fromLatin1(path)), &whyNot),
                 qPrintable(whyNot));
    }

    DeletionPolicy m_policy;
    std::unique_ptr<XsdtDocument> m_doc;
    std::unique_ptr<SettingsModel> m_model;

private slots:
    void initTestCase()
    {
        installEnglishPlurals();
        QVERIFY(m_policy.load(testdata::readFile(":/schema/overlay.json")));
    }

    void init()
    {
        m_model.reset();
        m_doc = std::make_unique<XsdtDocument>();
        for (const auto &[path, type, value] :
             std::initializer_list<std::tuple<const char *, char, const char *>>{
                 {"Global/Preferences/Process/MaxProcessors", 'i', "8"},
                 {"Global/RGBWorkingSpace/Gamma", 'F', "2.2"},
                 {"Global/Preferences/Application/StyleSheetFile", 's', "/opt/old-gamma.qss"},
                 {"Global/Statistics/Process/Curves", 'u', "3"},
                 {"Global/Statistics/Process/Stretch", 'u', "4"},
                 {"Global/Statistics/Total", 'u', "7"},
                 {"commandHistory/102", 's', "run()"},
                 {"commandHistory/12", 's', "stop()"},
                 {"ModuleData/Kestrane/Notes", 's', "one\ntwo"}})
            testdata::ensurePath(&m_doc->root, QString::fromLatin1(path), XsdtNode::Value,
                                 QLatin1Char(type), QString::fromLatin1(value));
        m_model = std::make_unique<SettingsModel>();
        m_model->setPolicy(&m_policy);
        m_model->setDocument(m_doc.get());
    }

    void listAndDetails()
    {
        edit("Global/RGBWorkingSpace/Gamma", "1.8");
        edit("Global/Preferences/Process/MaxProcessors", "4");
        edit("ModuleData/Kestrane/Notes", "one\ntwo\nthree");
        queue("Global/Statistics");
        queue("commandHistory/102");
        queue("commandHistory/12");

        ReviewDialog dialog(m_model.get(), m_doc.get());
        QTreeView *tree = dialog.tree();
        const QAbstractItemModel *list = tree->model();
        QCOMPARE(dialog.summaryLabel()->text(),
                 "3 edits and 3 deletions (5 values removed) will be written to "
                 "the settings file.");
        // Bytes that were not UTF-8 are announced before the save that rewrites them.
        m_doc->invalidUtf8 = {2, 7, 12, "ModuleData/Kestrane/Notes"};
        dialog.populate();
        QVERIFY(dialog.summaryLabel()->text().endsWith(
            "\n2 byte sequences that are not valid UTF-8 (first at line 7, column 12) will be "
            "written as U+FFFD; the backup keeps the original bytes."));
        m_doc->invalidUtf8 = {};
        // Many changes are sorted on a worker: none is listed, counted or saved until all are.
        const qsizetype atOnce = ReviewDialog::setListAtOnce(5);
        dialog.populate();
        QCOMPARE(dialog.summaryLabel()->text(), "Listing 6 changes...");
        QVERIFY(!dialog.saveButton()->isEnabled());
        QCOMPARE(list->rowCount(), 0);
        dialog.finishListing();
        ReviewDialog::setListAtOnce(atOnce);
        // Deletions first, then edits, each sorted by path ignoring case, numbers by value.
        QCOMPARE(rows(tree),
                 (QStringList{
                     "Delete | commandHistory/12 | 1 value | (removed)",
                     "Delete | commandHistory/102 | 1 value | (removed)",
                     "Delete | Global/Statistics | 3 values | (removed)",
                     "Edit | Global/Preferences/Process/MaxProcessors | 8 | 4",
                     "Edit | Global/RGBWorkingSpace/Gamma | 2.2 | 1.8",
                     "Edit | ModuleData/Kestrane/Notes | one\u23CEtwo | one\u23CEtwo\u23CEthree"}));
        const QModelIndex history = list->index(1, 0);
        const QModelIndex statistics = list->index(2, 0);
        const QModelIndex notes = list->index(5, 0);
        // A deletion shows it can be opened; its values are listed only when it is.
        QVERIFY(list->hasChildren(statistics));
        QCOMPARE(list->rowCount(statistics), 0);
        // (The tester opens every row; it cannot follow a reset of a model that fetches more.)
        QAbstractItemModelTester tester(dialog.reviewModel(),
                                        QAbstractItemModelTester::FailureReportingMode::QtTest);
        QCOMPARE(list->index(5, 3).data(Qt::ToolTipRole).toString(), "one\ntwo\nthree");
        QVERIFY(dialog.saveButton()->isEnabled());
        QVERIFY(dialog.leftoverText()->isHidden());

        // Details: the full texts of one row, or how many rows are selected.
        QVERIFY(!dialog.revertButton()->isEnabled());
        QVERIFY(dialog.detailText()->toPlainText().isEmpty());
        tree->setCurrentIndex(notes);
        QCOMPARE(dialog.detailText()->toPlainText(),
                 "ModuleData/Kestrane/Notes\nBefore: one\ntwo\nAfter:  one\ntwo\nthree");
        QVERIFY(dialog.revertButton()->isEnabled());
        tree->setCurrentIndex(statistics);
        QCOMPARE(dialog.detailText()->toPlainText(),
                 "Global/Statistics\nThe whole entry is removed (3 values). Expand "
                 "the row to see them.");
        tree->setCurrentIndex(history);
        QCOMPARE(dialog.detailText()->toPlainText(), "commandHistory/102\nRemoved value: run()");
        select(tree, notes);
        QCOMPARE(dialog.detailText()->toPlainText(), "2 changes selected.");

        // A deleted value lists itself; a row inside a deletion has no details of its own.
        tree->expand(history);
        QCOMPARE(rows(tree, 3, history), QStringList{" | commandHistory/102 | run()"});
        tree->expand(statistics);
        tree->clearSelection();
        tree->setCurrentIndex(list->index(0, 0, statistics));
        QVERIFY(dialog.detailText()->toPlainText().isEmpty());
    }

    void filters_data()
    {
        QTest::addColumn<QString>("filter");
        QTest::addColumn<bool>("edits");
        QTest::addColumn<bool>("deletions");
        QTest::addColumn<QStringList>("shown");

        const QString statistics = "Delete | Global/Statistics";
        const QString style = "Edit | Global/Preferences/Application/StyleSheetFile";
        const QString gamma = "Edit | Global/RGBWorkingSpace/Gamma";
        const QString nothing = "Nothing matches the filters. | ";
        QTest::newRow("all") << "" << true << true << QStringList{statistics, style, gamma};
        QTest::newRow("edits only") << "" << true << false << QStringList{style, gamma};
        QTest::newRow("deletions only") << "" << false << true << QStringList{statistics};
        QTest::newRow("neither") << "" << false << false << QStringList{nothing};
        // "gamma" is in one path and in the old value of the style sheet only.
        QTest::newRow("word in an old value")
            << " GAMMA " << true << true << QStringList{style, gamma};
        QTest::newRow("word in a new value") << "bright" << true << true << QStringList{style};
        QTest::newRow("path of a deletion") << "statis" << true << true << QStringList{statistics};
    }

    void filters()
    {
        QFETCH(QString, filter);
        QFETCH(bool, edits);
        QFETCH(bool, deletions);
        QFETCH(QStringList, shown);
        edit("Global/RGBWorkingSpace/Gamma", "1.8");
        edit("Global/Preferences/Application/StyleSheetFile", "/opt/bright.qss");
        queue("Global/Statistics");

        ReviewDialog dialog(m_model.get(), m_doc.get());
        dialog.show();
        QTest::keyClicks(dialog.filterEdit(), filter);
        if (!edits)
            QTest::mouseClick(dialog.showEditsBox(), Qt::LeftButton);
        if (!deletions)
            QTest::mouseClick(dialog.showDeletionsBox(), Qt::LeftButton);
        QCOMPARE(rows(dialog.tree(), 2), shown);
        if (shown.first().startsWith("Nothing")) { // cannot be selected, and spans the row
            QCOMPARE(dialog.tree()->model()->flags(dialog.tree()->model()->index(0, 0)),
                     Qt::ItemIsEnabled);
            QVERIFY(dialog.tree()->isFirstColumnSpanned(0, {}));
        }
        // Filters only narrow the list: saving still writes everything.
        QVERIFY(dialog.saveButton()->isEnabled());
        QVERIFY(dialog.summaryLabel()->text().startsWith("2 edits and 1 deletion ("));
    }

    void takeBackAndLeftovers()
    {
        edit("Global/RGBWorkingSpace/Gamma", "1.8");
        edit("Global/Preferences/Process/MaxProcessors", "4");
        queue("Global/Statistics");
        ReviewDialog dialog(m_model.get(), m_doc.get());
        QTreeView *tree = dialog.tree();
        // Rows inside a deletion are skipped: selecting one must not take anything back.
        const QModelIndex statistics = rowFor(tree, u"Global/Statistics");
        tree->expand(statistics);
        select(tree, tree->model()->index(0, 0, statistics));
        QVERIFY(!dialog.revertButton()->isEnabled());
        QTest::mouseClick(dialog.revertButton(), Qt::LeftButton);
        QCOMPARE(m_doc->pendingChangeCount(), 3);

        // An edit and a deletion at once, straight through the model.
        select(tree, rowFor(tree, u"Global/Statistics"));
        select(tree, rowFor(tree, u"Global/RGBWorkingSpace/Gamma"));
        QTest::mouseClick(dialog.revertButton(), Qt::LeftButton);
        QVERIFY(!m_doc->findPath(u"Global/Statistics")->pendingDelete);
        QCOMPARE(m_doc->findPath(u"Global/RGBWorkingSpace/Gamma")->value, "2.2");
        QCOMPARE(dialog.summaryLabel()->text(),
                 "1 edit and 0 deletions (0 values removed) will be written to "
                 "the settings file.");
        QCOMPARE(rows(tree, 2), QStringList{"Edit | Global/Preferences/Process/MaxProcessors"});
        QVERIFY(!dialog.revertButton()->isEnabled());

        select(tree, tree->model()->index(0, 0));
        QTest::mouseClick(dialog.revertButton(), Qt::LeftButton);
        QCOMPARE(m_doc->pendingChangeCount(), 0);
        QCOMPARE(tree->model()->rowCount(), 0);
        QCOMPARE(dialog.summaryLabel()->text(), "There are no changes to save.");
        QVERIFY(!dialog.saveButton()->isEnabled());

        // Files to delete alone are something to save.
        dialog.setLeftoverItems(
            {leftover(kKestraneConfig), leftover("/opt/PixInsight/bin/Kestrane-pxm.so", true)});
        QVERIFY(!dialog.leftoverText()->isHidden());
        QCOMPARE(dialog.leftoverText()->toPlainText(),
                 "Also deleted from disk, permanently, right after the settings are written (2 "
                 "items):\n   /home/astro/.config/Pleiades/Kestrane\n   "
                 "/opt/PixInsight/bin/Kestrane-pxm.so   (protected)\nThe protected ones need "
                 "administrator permission: you will be asked for it.");
        QCOMPARE(dialog.summaryLabel()->text(), "The settings file itself is not changed.");
        QVERIFY(dialog.saveButton()->isEnabled());
        dialog.setLeftoverItems({leftover(kKestraneConfig)});
        QCOMPARE(dialog.leftoverText()->toPlainText(),
                 "Also deleted from disk, permanently, right after the settings are written (1 "
                 "item):\n   /home/astro/.config/Pleiades/Kestrane");
        dialog.setLeftoverItems({});
        QVERIFY(dialog.leftoverText()->isHidden());
        QVERIFY(!dialog.saveButton()->isEnabled());
    }

    // New values: one row per new entry, a new group listing its values when expanded, its own
    // filter box, and taken back whole, undoably.
    void additions()
    {
        QCOMPARE(m_model->addValues({{{"ModuleData", "Halion", "A"}, QLatin1Char('i'), "1"},
                                     {{"ModuleData", "Halion", "B"}, QLatin1Char('s'), "two"},
                                     {{"Global", "Statistics", "Extra"}, QLatin1Char('u'), "5"}},
                                    "import"),
                 3);
        ReviewDialog dialog(m_model.get(), m_doc.get());
        QTreeView *tree = dialog.tree();
        QCOMPARE(dialog.summaryLabel()->text(),
                 "0 edits, 2 additions (3 values new) and 0 deletions (0 values removed) will be "
                 "written to the settings file.");
        QCOMPARE(rows(tree), (QStringList{"Add | Global/Statistics/Extra | (new) | 5",
                                          "Add | ModuleData/Halion | (new) | 2 values"}));
        const QModelIndex halion = tree->model()->index(1, 0);
        tree->expand(halion);
        QCOMPARE(rows(tree, 4, halion).value(1), " | ModuleData/Halion/B | (new) | two");
        tree->setCurrentIndex(halion);
        QCOMPARE(dialog.detailText()->toPlainText(),
                 "ModuleData/Halion\nA new entry with 2 values. Expand the row to see them.");
        QTest::mouseClick(dialog.revertButton(), Qt::LeftButton);
        QVERIFY(!m_doc->findPath(u"ModuleData/Halion"));
        QCOMPARE(rows(tree, 2), QStringList{"Add | Global/Statistics/Extra"});
        dialog.showAdditionsBox()->setChecked(false);
        QCOMPARE(rows(tree, 1), QStringList{"Nothing matches the filters."});
        m_model->undo();
        QCOMPARE(m_doc->findPath(u"ModuleData/Halion/B")->value, "two");
    }

    void largeDeletionIsCapped()
    {
        for (int i = 0; i < 1000; ++i) // values one level down, so that document order matters
            testdata::ensurePath(&m_doc->root,
                                 QString("ModuleData/Big/%1/Value").arg(i, 4, 10, QChar(u'0')),
                                 XsdtNode::Value, u's', QString("v%1").arg(i));
        m_model->setDocument(m_doc.get());
        queue("ModuleData/Big");
        ReviewDialog dialog(m_model.get(), m_doc.get());
        QTreeView *tree = dialog.tree();
        const QModelIndex big = rowFor(tree, u"ModuleData/Big");
        QCOMPARE(big.siblingAtColumn(2).data().toString(), "1000 values");
        for (int pass = 0; pass < 2; ++pass) { // expanding again adds nothing
            tree->collapse(big);
            tree->expand(big);
            QCOMPARE(tree->model()->rowCount(big), 301);
        }
        const QStringList children = rows(tree, 4, big);
        QCOMPARE(children.first(), " | ModuleData/Big/0000/Value | v0 | (removed)");
        QCOMPARE(children.at(299), " | ModuleData/Big/0299/Value | v299 | (removed)");
        QCOMPARE(children.at(300), "...and 700 more values |  |  | ");
        QCOMPARE(tree->model()->flags(tree->model()->index(300, 0, big)), Qt::ItemIsEnabled);
        QVERIFY(tree->isFirstColumnSpanned(300, big));
    }

    // Typing and clicking as a user does, with a filter on: Enter in the filter does not save
    // and hands on to the list; the list is rebuilt once per take-back, the next click selects
    // the row under the mouse, long paths are cut in the middle; Enter in the list saves.
    void keyboardAndMouse()
    {
        edit("Global/RGBWorkingSpace/Gamma", "1.8");
        edit("Global/Preferences/Application/StyleSheetFile", "/opt/new-gamma.qss");
        edit("Global/Preferences/Process/MaxProcessors", "4");
        ReviewDialog dialog(m_model.get(), m_doc.get());
        dialog.show();
        QVERIFY(QTest::qWaitForWindowExposed(&dialog));
        dialog.activateWindow();
        QSignalSpy accepted(&dialog, &QDialog::accepted);
        QTreeView *tree = dialog.tree();
        dialog.filterEdit()->setFocus();
        QTRY_VERIFY(dialog.filterEdit()->hasFocus());
        QTest::keyClicks(dialog.filterEdit(), "gamma");
        QTest::keyClick(dialog.filterEdit(), Qt::Key_Return);
        QCOMPARE(accepted.count(), 0);
        QCOMPARE(tree->model()->rowCount(), 2);
        QTRY_VERIFY(tree->hasFocus());
        const auto click = [tree](const QModelIndex &row) {
            QTest::mouseClick(tree->viewport(), Qt::LeftButton, {}, tree->visualRect(row).center());
        };
        click(rowFor(tree, u"Global/RGBWorkingSpace/Gamma"));
        QTest::mouseClick(dialog.revertButton(), Qt::LeftButton);
        QCOMPARE(rows(tree, 2),
                 QStringList{"Edit | Global/Preferences/Application/StyleSheetFile"});
        click(tree->model()->index(0, 0));
        QCOMPARE(tree->selectionModel()->selectedRows(),
                 QModelIndexList{tree->model()->index(0, 0)});
        QCOMPARE(tree->model()->index(0, 1).data(Qt::ToolTipRole).toString(),
                 "Global/Preferences/Application/StyleSheetFile");
        QCOMPARE(tree->textElideMode(), Qt::ElideMiddle);
        QTest::keyClick(tree, Qt::Key_Return);
        QCOMPARE(accepted.count(), 1);
    }
};

QTEST_MAIN(TestReview)
#include "tst_review.moc"
