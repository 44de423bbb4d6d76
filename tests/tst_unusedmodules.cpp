// The Unused modules page over a real model: the two confirmations, the row limit and the
// view-only state.
#include "document/xsdtdocument.h"
#include "environment/englishplurals.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "support/testfiles.h"
#include "support/testtree.h"
#include "views/unusedmodulesview.h"
#include "widgets/collapsiblesection.h"
#include "widgets/dialogs.h"
#include "widgets/settingrow.h"

#include <QCheckBox>
#include <QDir>
#include <QFile>
#include <QLabel>
#include <QPushButton>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QUndoStack>
#include <QtTest>

using namespace vrn;

class TestUnusedModules : public QObject
{
    Q_OBJECT

    bool marked(const char *module) const
    {
        return m_doc.findPath(QString("ModuleData/%1").arg(module))->pendingDelete;
    }

    QTemporaryDir m_tmp;
    DeletionPolicy m_policy;
    Schema m_schema;
    XsdtDocument m_doc;
    SettingsModel m_model;

private slots:
    // Alpha and Beta left data behind and Alpha left its module file; Gamma is still installed;
    // of Delta only an access record is left, which is never deleted.
    void init()
    {
        installEnglishPlurals();
        Dialogs::setTestMode(true);
        Dialogs::reset();
        m_model.setDocument(nullptr);
        m_doc.clear();
        testdata::ensurePath(&m_doc.root, "Modules/g", XsdtNode::Value, 's', "/x/Gamma-pxm.so");
        testdata::ensurePath(&m_doc.root, "ModuleData/Gamma/v", XsdtNode::Value, 'i', "1");
        testdata::ensurePath(&m_doc.root, "ModuleData/Alpha/v", XsdtNode::Value, 'i', "1");
        testdata::ensurePath(&m_doc.root, "ModuleDataAccess/Delta/v", XsdtNode::Value, 'u', "7");
        for (int i = 0; i < 1000; ++i)
            testdata::ensurePath(&m_doc.root,
                                 QString("ModuleData/Beta/v%1").arg(i, 4, 10, QChar('0')),
                                 XsdtNode::Value, 'i', QString::number(i));
        QVERIFY(testdata::writeFile(m_tmp.filePath("PixInsight/bin/Alpha-pxm.so"),
                                    QByteArray(1536, 'x')));
        QVERIFY(m_policy.load(testdata::readFile(":/schema/overlay.json")));
        m_model.setPolicy(&m_policy);
        m_model.setDocument(&m_doc);
    }

    void confirmations_data()
    {
        QTest::addColumn<bool>("modules");
        QTest::addColumn<bool>("file");
        QTest::addColumn<QList<int>>("answers");
        QTest::addColumn<QStringList>("asked");
        QTest::addColumn<bool>("queued");

        const auto row = [](const char *name, bool modules, bool file, const QList<int> &answers,
                            const QStringList &asked, bool queued) {
            QTest::newRow(name) << modules << file << answers << asked << queued;
        };
        const QString data = "Delete unused module data?";
        const QString files = "Delete files and folders?";
        const int yes = QMessageBox::Yes;
        const int cancel = QMessageBox::Cancel;
        row("two modules", true, false, QList<int>{yes}, {data}, true);
        row("only a file", false, true, QList<int>{yes}, {files}, true);
        row("both", true, true, QList<int>{yes, yes}, {data, files}, true);
        row("second cancelled", true, true, QList<int>{yes, cancel}, {data, files}, false);
        row("first cancelled", true, true, QList<int>{cancel}, {data}, false);
    }

    // Each question is asked only for what is ticked, and a cancel at either queues nothing.
    void confirmations()
    {
        QFETCH(bool, modules);
        QFETCH(bool, file);
        QFETCH(QList<int>, answers);
        QFETCH(QStringList, asked);
        QFETCH(bool, queued);
        UnusedModulesView view(&m_model, &m_schema);
        view.setFolders(QString(), m_tmp.filePath("PixInsight"));
        view.setDocument(&m_doc);
        QSignalSpy queueChanged(&view, &UnusedModulesView::queueChanged);
        QCOMPARE(view.cards().size(), size_t(2));
        view.expandModule("Alpha");
        QCheckBox *fileTick = view.cards().front().itemTicks.value(0);
        QVERIFY(fileTick);
        if (modules)
            view.tickAllButton()->click();
        fileTick->setChecked(file);
        for (int answer : answers)
            Dialogs::setNextAnswer(QMessageBox::StandardButton(answer));
        view.queueButton()->click();

        QStringList titles;
        for (const Dialogs::Record &record : Dialogs::shown())
            titles.append(record.title);
        QCOMPARE(titles, asked);
        if (modules)
            QCOMPARE(Dialogs::shown().first().detailedText, "Alpha\nBeta");
        if (asked.constLast().startsWith("Delete files")) {
            QCOMPARE(Dialogs::shown().last().detailedText,
                     QDir::toNativeSeparators(m_tmp.filePath("PixInsight/bin/Alpha-pxm.so")) +
                         "   (1.5 KiB)");
            // Its explanation is HTML: shown as plain text, escapes and tags would appear.
            QCOMPARE(Dialogs::shown().last().textFormat, Qt::RichText);
        }
        QCOMPARE(marked("Alpha") && marked("Beta"), queued && modules);
        // Both modules' data went in one undo step.
        QCOMPARE(m_model.undoStack()->count(), queued && modules ? 1 : 0);
        QCOMPARE(view.queuedFileCount(), queued && file ? 1 : 0);
        QCOMPARE(queueChanged.count(), queued && file ? 1 : 0);
        // A queued file is not offered again; ticking its module and undoing takes it back.
        QCOMPARE(fileTick->isEnabled(), !(queued && file));
        view.cards().front().tick->setChecked(true);
        view.undoButton()->click();
        QCOMPARE(view.queuedFileCount(), 0);
        QVERIFY(!marked("Alpha"));
    }

    void largeCardAndViewOnly()
    {
        UnusedModulesView view(&m_model, &m_schema);
        view.setDocument(&m_doc);
        QCOMPARE(view.cards().size(), size_t(2));
        QCOMPARE(view.summaryLabel()->text(),
                 "2 unused modules; 0 queued for deletion\nOnly protected access records remain "
                 "for Delta: PixInsight keeps them, and there is nothing to remove.");
        view.expandModule("Beta");
        const UnusedModulesView::Card &beta = view.cards().back();
        QCOMPARE(beta.section->content()->findChildren<SettingRow *>().size(), 400);
        QStringList texts;
        for (const QLabel *label : beta.section->content()->findChildren<QLabel *>())
            texts.append(label->text());
        QVERIFY(texts.contains("ModuleData/Beta  (1000 values)"));
        QVERIFY(texts.contains("...and 600 more values. Use \"Show in All settings\" from the "
                               "right-click menu to see the rest."));

        view.tickAllButton()->click();
        view.setViewOnly(true);
        for (const UnusedModulesView::Card &card : view.cards())
            QVERIFY(!card.tick->isEnabled());
        QVERIFY(!view.queueButton()->isEnabled() && !view.undoButton()->isEnabled());
        QVERIFY(view.tickAllButton()->isEnabled());
        for (const SettingRow *row : beta.section->content()->findChildren<SettingRow *>())
            QVERIFY(row->isViewOnly());
    }
};

QTEST_MAIN(TestUnusedModules)
#include "tst_unusedmodules.moc"
