// The Paths and Repositories pages over a real model.
#include "document/xsdtdocument.h"
#include "environment/englishplurals.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "support/testfiles.h"
#include "views/exportdialog.h"
#include "views/pathsview.h"
#include "views/repositoriesview.h"
#include "widgets/dialogs.h"
#include "widgets/editrequests.h"

#include <QCheckBox>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QPushButton>
#include <QScrollArea>
#include <QScrollBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QUndoStack>
#include <QtTest>

using namespace vrn;

namespace {

std::unique_ptr<XsdtDocument> parsed(const QByteArray &elements)
{
    auto doc = std::make_unique<XsdtDocument>();
    if (!doc->parse(testdata::wrapSettings(elements)))
        qFatal("test document does not parse");
    return doc;
}

QByteArray repository(const char *key, const char *url)
{
    return QByteArray(R"(<i k=")") + key + R"("><v k="URL" t="s" v=")" + url +
           R"("/><v k="Enabled" t="b" v="true"/></i>)";
}

} // namespace

class TestSetupPages : public QObject
{
    Q_OBJECT

    DeletionPolicy m_policy;

private slots:
    void initTestCase()
    {
        installEnglishPlurals();
        Dialogs::setTestMode(true);
        QVERIFY(m_policy.load(testdata::readFile(":/schema/overlay.json")));
    }

    // The preview lists each path that will change, and the values that may not apart;
    // confirming makes exactly those changes, as one undo step.
    void pathsPage()
    {
        auto doc = parsed(R"(<i k="Global"><v k="A" t="s" v="/data/a.fits"/>)"
                          R"(<v k="B" t="s" v="/database/b"/><v k="C" t="s" v="/data"/>)"
                          R"(<v k="D" t="s" v="@pxi_bin_dir/x"/><v k="L" t="s" v="/data/l&#10;)"
                          R"(/data/s.js|7"/><i k="Preferences"><i k="Application">)"
                          R"(<v k="BaseDirectory" t="s" v="/data/pi"/></i></i></i>)");
        Schema schema;
        QVERIFY(schema.load(testdata::readFile(":/schema/globals.json"),
                            testdata::readFile(":/schema/overlay.json")));
        SettingsModel model;
        model.setPolicy(&m_policy);
        model.setSchema(&schema);
        model.setDocument(doc.get());
        PathsView page(&model);
        HealthEnv env;
        const QStringList here{"/data", "/mnt/d", "/data/s.js"};
        env.exists = [here](const QString &path) { return here.contains(path); };
        page.setEnvironment(env);
        page.setDocument(doc.get());
        page.finishScan();
        QCOMPARE(page.statusLabel()->text(), "Paths: 6. Folders: 3. Missing on this computer: 4.");
        page.missingOnlyBox()->setChecked(true);
        QCOMPARE(page.tree()->topLevelItemCount(), 2); // "/" holds only /data, which is there

        page.preview("/data", "/mnt/d");
        page.finishPreview();
        const QAbstractItemModel *shown = page.previewView()->model();
        QStringList rows;
        for (int i = 0; i < shown->rowCount(); ++i)
            rows << shown->index(i, 0).data().toString() + " > " +
                        shown->index(i, 1).data().toString() + " " +
                        shown->index(i, 2).data().toString();
        QCOMPARE(rows, QStringList({"/data/a.fits > /mnt/d/a.fits No", "/data > /mnt/d Yes",
                                    "/data/l > /mnt/d/l No", "/data/s.js > /mnt/d/s.js No",
                                    "/data/pi > Not changed: BaseDirectory: Documented by "
                                    "PixInsight as read-only or write-only. "}));
        QCOMPARE(page.previewLabel()->text(),
                 "Paths that will change: 4. Values that may not be changed, listed last: 1. New "
                 "paths not found on this computer: 3.");
        QVERIFY(page.replaceButton()->isEnabled());
        page.preview("/data", "mnt");
        QCOMPARE(page.previewLabel()->text(), "\"mnt\" is not an absolute path.");
        page.preview("/data", "/mnt/d");
        page.finishPreview();
        QVERIFY(page.confirmReplacement());
        QCOMPARE(model.undoStack()->count(), 1);
        QCOMPARE(doc->findPath(u"Global/A")->value, "/mnt/d/a.fits");
        QCOMPARE(doc->findPath(u"Global/B")->value, "/database/b");
        QCOMPARE(doc->findPath(u"Global/C")->value, "/mnt/d");
        QCOMPARE(doc->findPath(u"Global/L")->value, "/mnt/d/l\n/mnt/d/s.js|7");
        QCOMPARE(doc->pendingChangeCount(), 3);
        model.undo();
        QCOMPARE(doc->pendingChangeCount(), 0);

        auto none = parsed(R"(<i k="Global"><v k="A" t="s" v="@pxi_bin_dir"/></i>)");
        page.setDocument(none.get());
        page.finishScan();
        QVERIFY(page.emptyLabel()->isVisibleTo(&page));
        QCOMPARE(page.emptyLabel()->text(),
                 "This file holds no values that name a file or folder.");
    }

    // Flags for a doubled and a plain address; Remove asks, then queues the repository.
    void repositoriesPage()
    {
        auto doc = parsed(R"(<i k="Global"><i k="UpdateManager"><i k="Repositories">)" +
                          repository("1", "https://Host.example/x/") +
                          repository("2", "https://host.example/x") +
                          repository("3", "http://plain.example/") + "</i></i></i>");
        SettingsModel model;
        model.setPolicy(&m_policy);
        model.setDocument(doc.get());
        RepositoriesView page(&model, nullptr);
        EditRequests requests(&model, &page);
        connect(&page, &TaskPage::deleteRequested, &requests, &EditRequests::requestDeletion);
        page.setDocument(doc.get());
        const QString text = page.visibleText();
        QVERIFY2(text.contains("Repository 1\nThe same address as repository 2.\n"),
                 qPrintable(text));
        QVERIFY(text.contains("The same address as repository 1.\n"));
        QCOMPARE(text.count("Plain http://"), 1);

        // Scrolled down, then the last one is removed: the page stays where it was, give or
        // take the summary line about plain addresses that goes with it.
        page.resize(500, 300);
        page.show();
        // The list's own scroll area, inside the one every page has for a small screen.
        QScrollBar *scroll = page.findChild<QScrollArea *>("pageScroll")
                                 ->widget()
                                 ->findChild<QScrollArea *>()
                                 ->verticalScrollBar();
        QTRY_VERIFY(scroll->maximum() > 0);
        scroll->setValue(scroll->maximum() / 2);
        const int scrolled = scroll->value();
        XsdtNode *third = doc->findPath(u"Global/UpdateManager/Repositories/3");
        Dialogs::setNextAnswer(QMessageBox::Yes);
        page.removeButton(third)->click();
        QCOMPARE(Dialogs::lastShown().title, "Delete saved information?");
        QCOMPARE(Dialogs::lastShown().text,
                 "Delete the update repository http://plain.example/?\n(2 values)");
        QVERIFY(third->pendingDelete);
        QCoreApplication::processEvents(); // the page is made again on the next turn
        QVERIFY2(qAbs(scroll->value() - scrolled) < 40,
                 qPrintable(QString::number(scroll->value())));
        QCOMPARE(doc->findPath(u"Global/UpdateManager/Repositories/1/URL")->pendingDelete, false);

        auto none = parsed(R"(<i k="Global"/>)");
        page.setDocument(none.get());
        QVERIFY(page.visibleText().contains("This file lists no update repositories"));
    }

    // Ticking all shown takes the names the filter lets through, and only those; the export
    // button follows though the list's signals were held meanwhile.
    void exportTicksAllShown()
    {
        ExportDialog dialog({"Alpha", "Beta", "alphabet"});
        dialog.preferencesBox()->setChecked(false);
        QDialogButtonBox *buttons = dialog.findChild<QDialogButtonBox *>();
        QVERIFY(!buttons->button(QDialogButtonBox::Ok)->isEnabled());
        dialog.filterEdit()->setText(" ALPHA ");
        dialog.tickAllButton()->click();
        QCOMPARE(dialog.modules(), QStringList({"Alpha", "alphabet"}));
        QVERIFY(buttons->button(QDialogButtonBox::Ok)->isEnabled());
        dialog.filterEdit()->clear();
        dialog.untickAllButton()->click();
        QCOMPARE(dialog.modules(), QStringList());
        QVERIFY(!buttons->button(QDialogButtonBox::Ok)->isEnabled());
    }
};

QTEST_MAIN(TestSetupPages)
#include "tst_setuppages.moc"
