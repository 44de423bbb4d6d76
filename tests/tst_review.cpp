// The review dialog over a real model: the list, its filters, the details, taking changes
// back and the leftover files.
#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "model/settingsmodel.h"
#include "support/testtree.h"
#include "views/reviewdialog.h"

#include <QCheckBox>
#include <QFile>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QSignalSpy>
#include <QTreeWidget>
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

// Column texts of the top-level rows, joined by " | ".
QStringList rows(const QTreeWidget *tree)
{
    QStringList out;
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = tree->topLevelItem(i);
        QStringList columns;
        for (int c = 0; c < 4; ++c)
            columns.append(item->text(c));
        out.append(columns.join(QStringLiteral(" | ")));
    }
    return out;
}

QTreeWidgetItem *rowFor(const QTreeWidget *tree, const QString &path)
{
    for (int i = 0; i < tree->topLevelItemCount(); ++i) {
        if (tree->topLevelItem(i)->text(1) == path)
            return tree->topLevelItem(i);
    }
    return nullptr;
}

LeftoverItem leftover(const QString &path, bool inInstallation)
{
    LeftoverItem item;
    item.path = path;
    item.inInstallation = inInstallation;
    item.isFolder = true;
    return item;
}

} // namespace

class TestReview : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();

    void listAfterEditsAndDeletions();
    void filters_data();
    void filters();
    void details();
    void revertSelectedActsAtOnce_data();
    void revertSelectedActsAtOnce();
    void largeDeletionIsCapped();
    void deletedValueChild();
    void leftoverFiles();
    void keyboard();

private:
    void edit(const QString &path, const QString &text);
    void queue(const QString &path);

    DeletionPolicy m_policy;
    std::unique_ptr<XsdtDocument> m_doc;
    std::unique_ptr<SettingsModel> m_model;
};

void TestReview::initTestCase()
{
    QString error;
    QVERIFY2(m_policy.load(shippedOverlay(), &error), qPrintable(error));
}

void TestReview::init()
{
    m_doc = std::make_unique<XsdtDocument>();
    XsdtNode &r = m_doc->root;
    addValue(r, QStringLiteral("Global/Preferences/Process/MaxProcessors"), u'i',
             QStringLiteral("8"));
    addValue(r, QStringLiteral("Global/RGBWorkingSpace/Gamma"), u'F', QStringLiteral("2.2"));
    addValue(r, QStringLiteral("Global/Preferences/Application/StyleSheetFile"), u's',
             QStringLiteral("/opt/old-gamma.qss"));
    addValue(r, QStringLiteral("Global/Statistics/Process/Curves"), u'u', QStringLiteral("3"));
    addValue(r, QStringLiteral("Global/Statistics/Process/Stretch"), u'u', QStringLiteral("4"));
    addValue(r, QStringLiteral("Global/Statistics/Total"), u'u', QStringLiteral("7"));
    addValue(r, QStringLiteral("commandHistory/0001"), u's', QStringLiteral("run()"));
    addValue(r, QStringLiteral("ModuleData/Kestrane/Notes"), u's', QStringLiteral("one\ntwo"));
    m_model = std::make_unique<SettingsModel>();
    m_model->setPolicy(&m_policy);
    m_model->setDocument(m_doc.get());
}

void TestReview::cleanup()
{
    m_model.reset();
    m_doc.reset();
}

void TestReview::edit(const QString &path, const QString &text)
{
    XsdtNode *node = m_doc->findPath(path);
    QVERIFY(node);
    QVERIFY(m_model->setData(m_model->indexForNode(node, 1), text));
}

void TestReview::queue(const QString &path)
{
    XsdtNode *node = m_doc->findPath(path);
    QVERIFY(node);
    QString whyNot;
    QVERIFY2(m_model->queueDeletion(node, &whyNot), qPrintable(whyNot));
}

void TestReview::listAfterEditsAndDeletions()
{
    edit(QStringLiteral("Global/RGBWorkingSpace/Gamma"), QStringLiteral("1.8"));
    edit(QStringLiteral("Global/Preferences/Process/MaxProcessors"), QStringLiteral("4"));
    edit(QStringLiteral("ModuleData/Kestrane/Notes"), QStringLiteral("one\ntwo\nthree"));
    queue(QStringLiteral("Global/Statistics"));
    queue(QStringLiteral("commandHistory"));

    ReviewDialog dialog(m_model.get(), m_doc.get());
    QCOMPARE(dialog.windowTitle(), QStringLiteral("Review changes"));
    QCOMPARE(dialog.summaryLabel()->text(),
             QStringLiteral("3 edit(s) and 2 deletion(s) (4 values removed) will be written to "
                            "the settings file."));
    // Deletions first, then edits, each sorted by path ignoring case.
    QCOMPARE(rows(dialog.tree()),
             (QStringList{
                 "Delete | commandHistory | 1 value(s) | (removed)",
                 "Delete | Global/Statistics | 3 value(s) | (removed)",
                 "Edit | Global/Preferences/Process/MaxProcessors | 8 | 4",
                 "Edit | Global/RGBWorkingSpace/Gamma | 2.2 | 1.8",
                 QStringLiteral(
                     "Edit | ModuleData/Kestrane/Notes | one\u23CEtwo | one\u23CEtwo\u23CEthree"),
             }));
    QTreeWidgetItem *deletion = dialog.tree()->topLevelItem(1);
    QVERIFY(deletion->font(0).bold());
    QCOMPARE(deletion->foreground(0).color(), QColor(214, 60, 60));
    QCOMPARE(deletion->childIndicatorPolicy(), QTreeWidgetItem::ShowIndicator);
    QCOMPARE(deletion->childCount(), 0); // made on first expansion
    QCOMPARE(deletion->data(0, ReviewDialog::DeletionRole).toBool(), true);
    QTreeWidgetItem *gamma = dialog.tree()->topLevelItem(3);
    QCOMPARE(gamma->data(0, ReviewDialog::DeletionRole).toBool(), false);
    QCOMPARE(gamma->data(0, ReviewDialog::NodeRole).value<XsdtNode *>(),
             m_doc->findPath(QStringLiteral("Global/RGBWorkingSpace/Gamma")));
    QVERIFY(dialog.saveButton()->isEnabled());
    QVERIFY(dialog.saveButton()->isDefault());
    QVERIFY(!dialog.revertButton()->isEnabled());
    QVERIFY(dialog.leftoverText()->isHidden());
}

void TestReview::filters_data()
{
    QTest::addColumn<QString>("filter");
    QTest::addColumn<bool>("edits");
    QTest::addColumn<bool>("deletions");
    QTest::addColumn<QStringList>("paths");

    QTest::newRow("all") << "" << true << true
                         << QStringList{"Global/Statistics",
                                        "Global/Preferences/Application/StyleSheetFile",
                                        "Global/RGBWorkingSpace/Gamma"};
    QTest::newRow("edits only") << "" << true << false
                                << QStringList{"Global/Preferences/Application/StyleSheetFile",
                                               "Global/RGBWorkingSpace/Gamma"};
    QTest::newRow("deletions only") << "" << false << true << QStringList{"Global/Statistics"};
    QTest::newRow("neither") << "" << false << false << QStringList{"Nothing matches the filters."};
    // "gamma" is in one path and in the old value of the style sheet only.
    QTest::newRow("word in an old value")
        << " GAMMA " << true << true
        << QStringList{"Global/Preferences/Application/StyleSheetFile",
                       "Global/RGBWorkingSpace/Gamma"};
    QTest::newRow("word in a new value")
        << "bright" << true << true << QStringList{"Global/Preferences/Application/StyleSheetFile"};
    QTest::newRow("path of a deletion")
        << "statis" << true << true << QStringList{"Global/Statistics"};
    QTest::newRow("no match") << "zzz" << true << true
                              << QStringList{"Nothing matches the filters."};
}

void TestReview::filters()
{
    QFETCH(QString, filter);
    QFETCH(bool, edits);
    QFETCH(bool, deletions);
    QFETCH(QStringList, paths);
    edit(QStringLiteral("Global/RGBWorkingSpace/Gamma"), QStringLiteral("1.8"));
    edit(QStringLiteral("Global/Preferences/Application/StyleSheetFile"),
         QStringLiteral("/opt/bright.qss"));
    queue(QStringLiteral("Global/Statistics"));

    ReviewDialog dialog(m_model.get(), m_doc.get());
    dialog.show();
    QTest::keyClicks(dialog.filterEdit(), filter);
    if (!edits)
        QTest::mouseClick(dialog.showEditsBox(), Qt::LeftButton);
    if (!deletions)
        QTest::mouseClick(dialog.showDeletionsBox(), Qt::LeftButton);
    QCOMPARE(dialog.showEditsBox()->isChecked(), edits);
    QStringList shown;
    for (int i = 0; i < dialog.tree()->topLevelItemCount(); ++i) {
        const QTreeWidgetItem *item = dialog.tree()->topLevelItem(i);
        shown.append(item->text(1).isEmpty() ? item->text(0) : item->text(1));
    }
    QCOMPARE(shown, paths);
    if (paths == QStringList{QStringLiteral("Nothing matches the filters.")}) {
        QCOMPARE(dialog.tree()->topLevelItem(0)->flags(), Qt::ItemIsEnabled);
        QVERIFY(dialog.tree()->topLevelItem(0)->isFirstColumnSpanned());
    }
    // Filters only narrow the list: saving still writes everything.
    QVERIFY(dialog.saveButton()->isEnabled());
    QVERIFY(dialog.summaryLabel()->text().startsWith(QLatin1String("2 edit(s) and 1 deletion(s)")));
}

void TestReview::details()
{
    edit(QStringLiteral("ModuleData/Kestrane/Notes"), QStringLiteral("one\ntwo\nthree"));
    queue(QStringLiteral("Global/Statistics"));
    queue(QStringLiteral("commandHistory/0001"));
    ReviewDialog dialog(m_model.get(), m_doc.get());
    QTreeWidget *tree = dialog.tree();
    QCOMPARE(dialog.detailText()->placeholderText(),
             QStringLiteral("Select a change to see its full text."));
    QVERIFY(dialog.detailText()->toPlainText().isEmpty());

    QTreeWidgetItem *notes = rowFor(tree, QStringLiteral("ModuleData/Kestrane/Notes"));
    QCOMPARE(notes->text(3), QStringLiteral("one\u23CEtwo\u23CEthree"));
    QCOMPARE(notes->toolTip(3), QStringLiteral("one\ntwo\nthree"));
    tree->setCurrentItem(notes);
    QCOMPARE(
        dialog.detailText()->toPlainText(),
        QStringLiteral("ModuleData/Kestrane/Notes\nBefore: one\ntwo\nAfter:  one\ntwo\nthree"));
    QVERIFY(dialog.revertButton()->isEnabled());

    tree->setCurrentItem(rowFor(tree, QStringLiteral("Global/Statistics")));
    QCOMPARE(dialog.detailText()->toPlainText(),
             QStringLiteral("Global/Statistics\nThe whole entry is removed (3 value(s)). Expand "
                            "the row to see them."));
    tree->setCurrentItem(rowFor(tree, QStringLiteral("commandHistory/0001")));
    QCOMPARE(dialog.detailText()->toPlainText(),
             QStringLiteral("commandHistory/0001\nRemoved value: run()"));

    notes->setSelected(true);
    QCOMPARE(dialog.detailText()->toPlainText(), QStringLiteral("2 changes selected."));

    // A row inside a deleted group has no details of its own.
    QTreeWidgetItem *statistics = rowFor(tree, QStringLiteral("Global/Statistics"));
    tree->expandItem(statistics);
    QCOMPARE(statistics->childCount(), 3);
    tree->clearSelection();
    tree->setCurrentItem(statistics->child(0));
    QVERIFY(dialog.detailText()->toPlainText().isEmpty());
    tree->clearSelection();
    QVERIFY(!dialog.revertButton()->isEnabled());
}

void TestReview::revertSelectedActsAtOnce_data()
{
    QTest::addColumn<bool>("withLeftovers");
    QTest::newRow("settings only") << false;
    QTest::newRow("with files queued") << true;
}

void TestReview::revertSelectedActsAtOnce()
{
    QFETCH(bool, withLeftovers);
    edit(QStringLiteral("Global/RGBWorkingSpace/Gamma"), QStringLiteral("1.8"));
    queue(QStringLiteral("Global/Statistics"));
    ReviewDialog dialog(m_model.get(), m_doc.get());
    if (withLeftovers)
        dialog.setLeftoverItems(
            {leftover(QStringLiteral("/home/astro/.config/Pleiades/Kestrane"), false)});
    QTreeWidget *tree = dialog.tree();
    // Rows inside a deletion are skipped: selecting one must not take anything back.
    QTreeWidgetItem *statistics = rowFor(tree, QStringLiteral("Global/Statistics"));
    tree->expandItem(statistics);
    statistics->child(0)->setSelected(true);
    QSignalSpy edited(m_model.get(), &SettingsModel::edited);
    QTest::mouseClick(dialog.revertButton(), Qt::LeftButton);
    QCOMPARE(edited.count(), 0);
    QCOMPARE(m_doc->pendingChangeCount(), 2);

    rowFor(tree, QStringLiteral("Global/Statistics"))->setSelected(true);
    QTest::mouseClick(dialog.revertButton(), Qt::LeftButton);
    QCOMPARE(edited.count(), 1);
    QVERIFY(!m_doc->findPath(QStringLiteral("Global/Statistics"))->pendingDelete);
    QCOMPARE(dialog.summaryLabel()->text(),
             QStringLiteral("1 edit(s) and 0 deletion(s) (0 values removed) will be written to "
                            "the settings file."));
    QCOMPARE(tree->topLevelItemCount(), 1);

    tree->topLevelItem(0)->setSelected(true);
    QTest::mouseClick(dialog.revertButton(), Qt::LeftButton);
    QCOMPARE(m_doc->findPath(QStringLiteral("Global/RGBWorkingSpace/Gamma"))->value,
             QStringLiteral("2.2"));
    QCOMPARE(m_doc->pendingChangeCount(), 0);
    QCOMPARE(tree->topLevelItemCount(), 0);
    QCOMPARE(dialog.summaryLabel()->text(),
             withLeftovers ? QStringLiteral("The settings file itself is not changed.")
                           : QStringLiteral("There are no changes to save."));
    QCOMPARE(dialog.saveButton()->isEnabled(), withLeftovers);
    QVERIFY(!dialog.revertButton()->isEnabled());
}

void TestReview::largeDeletionIsCapped()
{
    for (int i = 0; i < 1000; ++i) {
        // Values at two depths, so that document order matters.
        addValue(m_doc->root,
                 QStringLiteral("ModuleData/Big/%1/Value").arg(i, 4, 10, QLatin1Char('0')), u's',
                 QStringLiteral("v%1").arg(i));
    }
    m_model->setDocument(m_doc.get());
    queue(QStringLiteral("ModuleData/Big"));
    ReviewDialog dialog(m_model.get(), m_doc.get());
    QTreeWidgetItem *big = rowFor(dialog.tree(), QStringLiteral("ModuleData/Big"));
    QCOMPARE(big->text(2), QStringLiteral("1000 value(s)"));
    dialog.tree()->expandItem(big);
    QCOMPARE(big->childCount(), 301);
    QCOMPARE(big->child(0)->text(1), QStringLiteral("ModuleData/Big/0000/Value"));
    QCOMPARE(big->child(0)->text(2), QStringLiteral("v0"));
    QCOMPARE(big->child(0)->text(3), QStringLiteral("(removed)"));
    QCOMPARE(big->child(299)->text(1), QStringLiteral("ModuleData/Big/0299/Value"));
    QCOMPARE(big->child(300)->text(0), QStringLiteral("...and 700 more values"));
    QCOMPARE(big->child(300)->flags(), Qt::ItemIsEnabled);
    // Expanding again adds nothing.
    dialog.tree()->collapseItem(big);
    dialog.tree()->expandItem(big);
    QCOMPARE(big->childCount(), 301);
}

void TestReview::deletedValueChild()
{
    queue(QStringLiteral("commandHistory/0001"));
    ReviewDialog dialog(m_model.get(), m_doc.get());
    QTreeWidgetItem *row = dialog.tree()->topLevelItem(0);
    QCOMPARE(row->text(2), QStringLiteral("1 value(s)"));
    dialog.tree()->expandItem(row);
    QCOMPARE(row->childCount(), 1);
    QCOMPARE(row->child(0)->text(0), QString());
    QCOMPARE(row->child(0)->text(1), QStringLiteral("commandHistory/0001"));
    QCOMPARE(row->child(0)->text(2), QStringLiteral("run()"));
}

void TestReview::leftoverFiles()
{
    ReviewDialog dialog(m_model.get(), m_doc.get());
    QCOMPARE(dialog.summaryLabel()->text(), QStringLiteral("There are no changes to save."));
    QVERIFY(!dialog.saveButton()->isEnabled());
    QCOMPARE(dialog.tree()->topLevelItemCount(), 0);

    dialog.setLeftoverItems(
        {leftover(QStringLiteral("/home/astro/.config/Pleiades/Kestrane"), false),
         leftover(QStringLiteral("/opt/PixInsight/bin/Kestrane-pxm.so"), true)});
    QVERIFY(!dialog.leftoverText()->isHidden());
    QCOMPARE(dialog.leftoverText()->toPlainText(),
             QStringLiteral("Also deleted from disk, permanently, right after the settings are "
                            "written (2 item(s)):\n"
                            "   /home/astro/.config/Pleiades/Kestrane\n"
                            "   /opt/PixInsight/bin/Kestrane-pxm.so   (protected)\n"
                            "The protected ones need administrator permission: you will be asked "
                            "for it."));
    QCOMPARE(dialog.summaryLabel()->text(),
             QStringLiteral("The settings file itself is not changed."));
    QVERIFY(dialog.saveButton()->isEnabled());

    dialog.setLeftoverItems(
        {leftover(QStringLiteral("/home/astro/.config/Pleiades/Kestrane"), false)});
    QCOMPARE(dialog.leftoverText()->toPlainText(),
             QStringLiteral("Also deleted from disk, permanently, right after the settings are "
                            "written (1 item(s)):\n"
                            "   /home/astro/.config/Pleiades/Kestrane"));
    dialog.setLeftoverItems({});
    QVERIFY(dialog.leftoverText()->isHidden());
    QVERIFY(!dialog.saveButton()->isEnabled());
}

void TestReview::keyboard()
{
    edit(QStringLiteral("Global/RGBWorkingSpace/Gamma"), QStringLiteral("1.8"));
    ReviewDialog dialog(m_model.get(), m_doc.get());
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    dialog.activateWindow();
    QSignalSpy accepted(&dialog, &QDialog::accepted);
    QSignalSpy rejected(&dialog, &QDialog::rejected);
    // Enter in the filter does not save ...
    dialog.filterEdit()->setFocus();
    QTRY_VERIFY(dialog.filterEdit()->hasFocus());
    QTest::keyClicks(dialog.filterEdit(), QStringLiteral("gamma"));
    QTest::keyClick(dialog.filterEdit(), Qt::Key_Return);
    QCOMPARE(accepted.count(), 0);
    QVERIFY(dialog.isVisible());
    QCOMPARE(dialog.tree()->topLevelItemCount(), 1);
    // ... Enter elsewhere presses Save, Escape cancels.
    QTRY_VERIFY(dialog.tree()->hasFocus());
    QTest::keyClick(dialog.tree(), Qt::Key_Return);
    QCOMPARE(accepted.count(), 1);
    dialog.show();
    QVERIFY(QTest::qWaitForWindowExposed(&dialog));
    QTest::keyClick(&dialog, Qt::Key_Escape);
    QCOMPARE(rejected.count(), 1);
}

QTEST_MAIN(TestReview)
#include "tst_review.moc"
