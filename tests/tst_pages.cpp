// The Preferences and Search pages over a real model, the module search of the main window,
// the Backups and About dialogs, and screenshot mode run as the real program.
#include "app/mainwindow.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/englishplurals.h"
#include "generator/generator.h"
#include "model/settingsmodel.h"
#include "support/testfiles.h"
#include "views/aboutdialog.h"
#include "views/backupsdialog.h"
#include "views/healthview.h"
#include "views/modulesearchdialog.h"
#include "views/preferencesview.h"
#include "views/searchview.h"
#include "widgets/collapsiblesection.h"
#include "widgets/dialogs.h"
#include "widgets/settingrow.h"

#include <QAbstractItemView>
#include <QAccessible>
#include <QAction>
#include <QCheckBox>
#include <QClipboard>
#include <QCompleter>
#include <QDialogButtonBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QProcess>
#include <QPushButton>
#include <QRadioButton>
#include <QSpinBox>
#include <QStackedWidget>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextLayout>
#include <QToolButton>
#include <QtTest>

using namespace vrn;

namespace {

const QByteArray kFixture =
    "<i k='Global'><i k='Preferences'><i k='Application'><v k='AutoSaveSettingsPeriod' t='i' "
    "v='30'/></i><i k='Process'><v k='MaxProcessors' t='i' v='8'/>"
    "<v k='MaxFileReadThreads' t='i' v='2'/></i><i k='ScriptEditor'>"
    "<v k='FontFamily' t='s' v='Mono'/><i k='Cache'><v k='Entry' t='s' v='hidden'/></i></i>"
    "<i k='Identifiers'><v k='NewImagePrefix' t='s' v='Image'/></i><i k='GUI'>"
    "<v k='ToolTipDelay' t='i' v='700'/><i k='Deep'><i k='Deeper'><v k='Marker' t='s' v='needle'/>"
    "</i></i></i><i k='OnlyTimes'><v k='Stamp' t='t' v='2026-01-01T00:00:00Z'/></i>"
    "<i k='ProcessInterface'><i k='Tool'><v k='X' t='i' v='1'/></i></i></i><i k='RGBWorkingSpace'>"
    "<v k='sRGBGamma' t='b' v='true'/></i></i><i k='Alpha'><v k='Zeta' t='s' v='a'/></i><i k='Lab'>"
    "<v k='Zeta' t='s' v='first'/><v k='Zeta' t='s' v='second'/><v k='ZetaCount' t='i' v='1'/>"
    "<v k='MaxZetas' t='i' v='2'/><i k='Zetaworks'><v k='Mode' t='s' v='m'/></i>"
    "<v k='Note' t='s' v='about zeta here'/><v k='Blob' t='B' v='zeta'/>"
    "<v k='ZetaStamp' t='t' v='2026-01-01T00:00:00Z'/></i><i k='Modules'>"
    "<v k='1' t='s' v='/opt/PixInsight/bin/Kestrane-pxm.so'/><v k='2' t='s' "
    "v='@pxi_bin_dir/KestraneTools-pxm.so'/></i><i k='ModuleData'><i k='Kestrane'>"
    "<v k='Enabled' t='b' v='true'/></i><i k='KestraneTools'><v k='Level' t='i' v='3'/></i></i>";

QByteArray bulkDocument(int values)
{
    QByteArray elements = "<i k='Bulk'>";
    for (int i = 0; i < values; ++i)
        elements += QString("<v k='Item%1' t='s' v='x'/>").arg(i, 3, 10, QChar('0')).toUtf8();
    return testdata::wrapSettings(elements + "</i>");
}

// The sections of the page shown, "+" when open: "Identifiers+ GUI+ Deep-".
QString sectionStates(const PreferencesView &view)
{
    QStringList out;
    for (const auto *section : view.stack()->currentWidget()->findChildren<CollapsibleSection *>())
        out.append(section->title() + (section->isExpanded() ? "+" : "-"));
    return out.join(' ');
}

// "path=value" of every row, in order.
QStringList shown(const SearchView &view)
{
    QStringList out;
    for (const SettingRow *row : view.rows())
        out.append(row->node()->path() + '=' + row->node()->value);
    return out;
}

} // namespace

class TestPages : public QObject
{
    Q_OBJECT

    void load(const QByteArray &bytes)
    {
        m_model.setDocument(nullptr);
        QString error;
        QVERIFY2(m_doc.parse(bytes, &error), qPrintable(error));
        m_model.setDocument(&m_doc);
    }
    XsdtNode *node(const char *path) const { return m_doc.findPath(QString::fromLatin1(path)); }
    QString settingsFile() const { return m_home.path() + "/.PixInsight/core-1-pxi.settings"; }

    Schema m_schema;
    XsdtDocument m_doc;
    SettingsModel m_model;
    QTemporaryDir m_home;

private slots:
    void initTestCase()
    {
        installEnglishPlurals();
        QVERIFY(m_schema.load(testdata::readFile(":/schema/globals.json"),
                              testdata::readFile(":/schema/overlay.json")));
        qputenv("HOME", m_home.path().toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", (m_home.path() + "/.config").toLocal8Bit());
        QStandardPaths::setTestModeEnabled(true);
        // Where the Backups dialog remembers how many to keep.
        QCoreApplication::setOrganizationName("Varnelhaus");
        QCoreApplication::setApplicationName("Varnelhaus");
        Dialogs::setTestMode(true);
    }

    void init()
    {
        Dialogs::reset();
        load(testdata::wrapSettings(kFixture));
    }

    void ranking_data()
    {
        QTest::addColumn<QString>("query");
        QTest::addColumn<bool>("names");
        QTest::addColumn<bool>("withProtected");
        QTest::addColumn<QStringList>("expected");
        // 10 for the key, 6 key start, 4 key part, 2 parent path only, 1 value; equal scores in
        // path order, duplicate keys in file order; a Block is never matched by its value.
        const auto row = [](const char *name, const char *query, bool names, bool withProtected,
                            const char *expected) { // rows joined by "|"
            QTest::newRow(name) << query << names << withProtected
                                << QString(expected).split('|', Qt::SkipEmptyParts);
        };
        row("every name row", "zeta", true, false,
            "Alpha/Zeta=a|Lab/Zeta=first|Lab/Zeta=second|Lab/ZetaCount=1|Lab/MaxZetas=2|"
            "Lab/Zetaworks/Mode=m|Lab/Note=about zeta here");
        row("protected by name, Block not by value", "zeta", true, true,
            "Alpha/Zeta=a|Lab/Zeta=first|Lab/Zeta=second|Lab/ZetaCount=1|"
            "Lab/ZetaStamp=2026-01-01T00:00:00Z|Lab/MaxZetas=2|Lab/Zetaworks/Mode=m|"
            "Lab/Note=about zeta here");
        row("values only", "zeta", false, false, "Lab/Note=about zeta here");
        row("label", "function", true, false, "Global/RGBWorkingSpace/sRGBGamma=true");
        row("description", "cores", true, false, "Global/Preferences/Process/MaxProcessors=8");
        row("two words", "max zetas", true, false, "Lab/MaxZetas=2");
        row("words anywhere", "here about", true, false, "Lab/Note=about zeta here");
        row("phrase", "\"here about\"", true, false, "");
        row("phrase across groups", "\"lab/zeta\"", true, false,
            "Lab/Zeta=first|Lab/Zeta=second|Lab/ZetaCount=1|Lab/Zetaworks/Mode=m");
        row("phrase from key into label", "\"srgbgamma use\"", true, false,
            "Global/RGBWorkingSpace/sRGBGamma=true");
    }

    void ranking()
    {
        QFETCH(QString, query);
        QFETCH(bool, names);
        QFETCH(bool, withProtected);
        QFETCH(QStringList, expected);
        SearchView view(&m_model, &m_schema);
        view.setDocument(&m_doc);
        view.buildIndex();
        view.namesBox()->setChecked(names);
        view.protectedBox()->setChecked(withProtected);
        view.setQuery(query);
        QCOMPARE(shown(view), expected);
        QCOMPARE(
            view.statusLabel()->text(),
            expected.isEmpty()
                ? "No matching settings."
                : QString("%1 result%2").arg(expected.size()).arg(expected.size() == 1 ? "" : "s"));
    }

    void pathRanksFollowPaths()
    {
        // Keys written in the reverse of path order, far more than one sorted run holds, and
        // groups whose paths run on into other groups' keys.
        QByteArray elements = "<i k='Bulk'>";
        for (int i = 99; i >= 0; --i)
            elements += QString("<v k='Item%1' t='s' v='x'/>").arg(i, 3, 10, QChar('0')).toUtf8();
        // A key written twice: equal paths keep the order of the file.
        elements += "<v k='Item050' t='s' v='again'/>";
        // More distinct keys than the index's first table of texts holds.
        elements += "</i><i k='Many'>";
        for (int i = 0; i < 600; ++i)
            elements += QString("<v k='M%1' t='s' v='x'/>").arg(i).toUtf8();
        elements += "</i><i k='Ab'><v k='z' t='s' v='x'/></i>"
                    "<i k='A'><v k='bz' t='s' v='x'/><i k='B'><v k='a' t='s' v='x'/></i>"
                    "<v k='B' t='s' v='x'/></i>";
        // Then paths under one group that fall between those under another: the same group
        // name twice apart from its case, and a key with a "/" in it.
        for (const QByteArray &between :
             {QByteArray(), QByteArray("<i k='a'><v k='bb' t='s' v='x'/></i>"),
              QByteArray("<v k='A/b0' t='s' v='x'/>")}) {
            XsdtDocument doc;
            QVERIFY(doc.parse(testdata::wrapSettings(elements + between)));
            const SearchIndex index = SearchView::makeIndex(doc, m_schema);
            QStringList paths;
            for (const SearchEntry &entry : index.entries)
                paths.append(entry.node->path().toLower());
            const qsizetype count = between.isEmpty() ? 705 : 706;
            QCOMPARE(paths.size(), count);
            QStringList sorted = paths;
            sorted.sort();
            QCOMPARE(index.pathRank.size(), size_t(count));
            for (int i = 0; i < count; ++i)
                QCOMPARE(sorted.at(index.pathRank[size_t(i)]), paths.at(i));
            const qsizetype first = paths.indexOf("bulk/item050");
            const qsizetype again = paths.lastIndexOf("bulk/item050");
            QVERIFY(first < again);
            QVERIFY(index.pathRank[size_t(first)] < index.pathRank[size_t(again)]);
        }
    }

    void indexTextsSpanBlocks()
    {
        // Keys long enough that the index's texts fill a block, start another and need one
        // larger than the usual: each must still read as its key.
        QByteArray elements;
        int n = 0;
        for (const int length : {40000, 40000, 100000, 3})
            elements +=
                "<v k='" + QByteArray(length, 'K') + QByteArray::number(++n) + "' t='s' v='x'/>";
        XsdtDocument doc;
        QVERIFY(doc.parse(testdata::wrapSettings(elements)));
        const SearchIndex index = SearchView::makeIndex(doc, m_schema);
        QCOMPARE(index.entries.size(), size_t(4));
        for (const SearchEntry &entry : index.entries)
            QCOMPARE(index.texts[size_t(index.names[size_t(entry.name)].key)],
                     entry.node->key.toLower());
    }

    void gatesAndFilter()
    {
        SearchView view(&m_model, &m_schema);
        view.setDocument(&m_doc);
        const QString intro =
            "Type to search the names, values and descriptions of every setting in the file.";
        // Asked before the worker's index is in place: said so, and answered when it is.
        QSignalSpy ready(&view, &SearchView::indexReady);
        view.setQuery("zeta");
        QCOMPARE(view.statusLabel()->text(),
                 "Still indexing the settings of this file; the results follow in a moment...");
        QVERIFY(view.rows().isEmpty());
        QVERIFY(ready.wait());
        QCOMPARE(view.statusLabel()->text(), "7 results");
        QVERIFY(m_model.setData(m_model.indexForNode(node("Lab/ZetaCount"), 1), "5"));
        node("Alpha")->pendingDelete = true;
        view.changedOnlyBox()->setChecked(true);
        view.setQuery(QString());
        QCOMPARE(shown(view), (QStringList{"Alpha/Zeta=a", "Lab/ZetaCount=5"}));
        view.changedOnlyBox()->setChecked(false);

        // Protected nodes handed over are listed although the box is off.
        view.showOnly({node("Lab/Blob"), node("Lab/ZetaStamp"), node("Lab/Note")}, "Just these");
        QVERIFY(view.banner()->isVisibleTo(&view));
        QCOMPARE(view.bannerLabel()->text(), "Just these");
        QCOMPARE(view.rows().size(), 3);
        QTest::keyClicks(view.searchEdit(), "zeta");
        QTRY_COMPARE(shown(view), (QStringList{"Lab/ZetaStamp=2026-01-01T00:00:00Z",
                                               "Lab/Note=about zeta here"}));
        view.searchEdit()->clear();
        view.setQuery(QString());
        QTest::mouseClick(view.clearFilterButton(), Qt::LeftButton);
        QVERIFY(!view.banner()->isVisibleTo(&view));
        QVERIFY(view.rows().isEmpty());
        QCOMPARE(view.statusLabel()->text(), intro);
    }

    // An edit while the worker indexes stops it; it starts again after the edit, and the search
    // asked for meanwhile shows the edited value without being typed again.
    void editWhileIndexing()
    {
        SearchView view(&m_model, &m_schema);
        QSignalSpy ready(&view, &SearchView::indexReady);
        view.setDocument(&m_doc); // its index is held until the event loop runs
        view.setQuery("maxprocessors");
        XsdtNode *max = node("Global/Preferences/Process/MaxProcessors");
        QVERIFY(m_model.setData(m_model.indexForNode(max, 1), "3"));
        QVERIFY(ready.wait());
        view.finishRows();
        QCOMPARE(shown(view), QStringList{"Global/Preferences/Process/MaxProcessors=3"});
    }

    void pagingAndSharedEdits()
    {
        load(bulkDocument(250));
        SearchView view(&m_model, &m_schema);
        view.setDocument(&m_doc);
        view.buildIndex();
        view.setQuery("item");
        for (const auto &[rows, button, status] :
             std::initializer_list<std::tuple<int, const char *, const char *>>{
                 {100, "Show more results (150 more)",
                  "250 results, showing the best 100. Refine the search or show more."},
                 {200, "Show more results (50 more)",
                  "250 results, showing the best 200. Refine the search or show more."},
                 {250, "", "250 results"}}) {
            QCOMPARE(view.rows().size(), rows);
            QCOMPARE(view.moreButton()->isVisibleTo(&view), rows < 250);
            if (rows < 250)
                QCOMPARE(view.moreButton()->text(), QString(button));
            QCOMPARE(view.statusLabel()->text(), QString(status));
            if (rows < 250)
                QTest::mouseClick(view.moreButton(), Qt::LeftButton);
        }
        QCOMPARE(view.rows().first()->node()->key, "Item000");
        QCOMPARE(view.rows().last()->node()->key, "Item249");

        // An edit made in a search row shows on the Preferences page and in the tree at once.
        view.setDocument(nullptr);
        load(testdata::wrapSettings(kFixture));
        PreferencesView prefs(&m_model, &m_schema);
        prefs.setDocument(&m_doc);
        view.setDocument(&m_doc);
        view.buildIndex();
        view.setQuery("maxprocessors");
        auto *spin = qobject_cast<QSpinBox *>(view.rows().first()->editor());
        // Tab goes from the last option straight to the first result's editor.
        view.show();
        QVERIFY(QTest::qWaitForWindowActive(&view));
        view.protectedBox()->setFocus();
        QTest::keyClick(view.protectedBox(), Qt::Key_Tab);
        QCOMPARE(QApplication::focusWidget(), spin);
        spin->setValue(3);
        XsdtNode *max = node("Global/Preferences/Process/MaxProcessors");
        QCOMPARE(m_model.data(m_model.indexForNode(max, 1)).toString(), "3");
        QCOMPARE(qobject_cast<QSpinBox *>(prefs.rowFor(max)->editor())->value(), 3);
        QVERIFY(prefs.rowFor(max)->titleLabel()->font().bold());
    }

    void preferencePagesAndSearch()
    {
        PreferencesView view(&m_model, &m_schema);
        view.setDocument(&m_doc);
        // "Only times" holds protected values only; ProcessInterface never gets a page.
        QStringList titles;
        for (int i = 0; i < view.pageCount(); ++i)
            titles.append(view.pageTitle(i));
        QCOMPARE(titles, (QStringList{"Application", "Processes", "RGB Working Space",
                                      "Script Editor", "Identifiers and GUI"}));
        QCOMPARE(view.pageList()->count(), 5);
        QVERIFY(!view.rowFor(node("Global/Preferences/ScriptEditor/Cache/Entry")));
        QVERIFY(view.rowFor(node("Global/Preferences/ScriptEditor/FontFamily")));

        QVERIFY(view.showPage(1));
        QCOMPARE(view.stack()->currentWidget()->findChildren<CollapsibleSection *>().size(), 0);
        QVERIFY(view.showPage(4));
        QCOMPARE(sectionStates(view), "Identifiers+ GUI+ Deep-");

        // A change made elsewhere marks the page that shows it.
        QVERIFY(m_model.setData(
            m_model.indexForNode(node("Global/Preferences/Process/MaxFileReadThreads"), 1), "4"));
        QCOMPARE(view.pageList()->item(1)->text(), "Processes   \u25CF 1");
        QVERIFY(view.pageList()->item(1)->font().bold());
        QCOMPARE(view.pageList()->item(0)->text(), "Application");
        m_model.revertAll();
        QCOMPARE(view.pageList()->item(1)->text(), "Processes");

        // Search shows the pages and rows that match and opens what hides them.
        QVERIFY(view.showPage(4));
        auto sections = view.stack()->currentWidget()->findChildren<CollapsibleSection *>();
        sections.first()->setExpanded(false); // "Identifiers", open at first

        // Only a description holds "cores".
        view.setSearchText("cores");
        for (int i = 0; i < view.pageCount(); ++i)
            QCOMPARE(view.pageList()->isRowHidden(i), i != 1);
        QCOMPARE(view.pageList()->currentRow(), 1);
        QVERIFY(view.rowFor(node("Global/Preferences/Process/MaxProcessors"))->isVisibleTo(&view));
        QVERIFY(!view.rowFor(node("Global/Preferences/Process/MaxFileReadThreads"))
                     ->isVisibleTo(&view));

        view.setSearchText("needle");
        QCOMPARE(view.pageList()->currentRow(), 4);
        sections = view.stack()->currentWidget()->findChildren<CollapsibleSection *>();
        QVERIFY(view.rowFor(node("Global/Preferences/GUI/Deep/Deeper/Marker"))->isVisibleTo(&view));
        QVERIFY(!sections.at(0)->isVisibleTo(&view));

        view.setSearchText("nothing like this");
        QCOMPARE(view.stack()->currentIndex(), 0);
        view.setSearchText(QString());
        QCOMPARE(view.pageList()->currentRow(), 0);
        QVERIFY(view.showPage(4));
        QCOMPARE(sectionStates(view), "Identifiers- GUI+ Deep- Deeper-");
    }

    void findModule()
    {
        const QString path = m_home.path() + "/modules.settings";
        QVERIFY(testdata::writeFile(path, testdata::wrapSettings(kFixture)));
        MainWindow window;
        QCOMPARE(window.tabs()->tabText(0), "Preferences");
        QCOMPARE(window.tabs()->currentIndex(), 0);
        window.actions()->findModule->trigger();
        QCOMPARE(Dialogs::lastShown().text, "Open a settings file first.");
        QVERIFY(window.loadFile(path));
        window.show();
        QVERIFY(QTest::qWaitForWindowActive(&window));

        // Find module data, answered with this name.
        auto searchModule = [&window](const QString &name) {
            Dialogs::setNextDialogHandler([name](QDialog *dialog) {
                auto *search = static_cast<ModuleSearchDialog *>(dialog);
                search->nameEdit()->setText(name);
                return search->buttons()->button(QDialogButtonBox::Ok)->isEnabled() ? 1 : 0;
            });
            Dialogs::clearShown();
            window.actions()->findModule->trigger();
        };
        SearchView *search = window.searchView();
        QTRY_VERIFY(search->isIndexBuilt()); // built on a worker after the load
        QTRY_VERIFY(search->modules());      // made on a worker after loading
        searchModule("kestrane");
        QCOMPARE(window.tabs()->currentWidget(), search);
        QCOMPARE(search->bannerLabel()->text(),
                 "Module search for \"kestrane\": registry entry, module data, module "
                 "settings and process entries - Kestrane (in the module list), 2 values. "
                 "Type words below to narrow them.");
        QCOMPARE(search->rows().size(), 2);
        searchModule("estr");
        QCOMPARE(search->bannerLabel()->text(),
                 "No module is called exactly \"estr\"; showing modules whose name contains it: "
                 "Kestrane (in the module list), KestraneTools (in the module list) - 4 values.");
        Dialogs::setNextAnswer(QMessageBox::Yes);
        searchModule("Needle");
        QCOMPARE(Dialogs::lastShown().text,
                 "Nothing recorded for \"Needle\" in the places module names usually "
                 "go.\n\nRun a full search instead?");
        QVERIFY(!search->banner()->isVisibleTo(search));
        QCOMPARE(search->searchEdit()->text(), "Needle");
        QTRY_VERIFY(search->searchEdit()->hasFocus());
        QCOMPARE(shown(*search), QStringList{"Global/Preferences/GUI/Deep/Deeper/Marker=needle"});

        window.tabs()->setCurrentIndex(0);
        QTest::keyClick(&window, Qt::Key_F, Qt::ControlModifier);
        QCOMPARE(window.tabs()->currentWidget(), search);
    }

    // With the name's suggestions open, one Enter takes the name and runs the search.
    void findModuleWithOneEnter()
    {
        ModuleSearchDialog dialog({"Halion", "HalionTools", "Kestrane"});
        dialog.show();
        QVERIFY(QTest::qWaitForWindowActive(&dialog));
        QTest::keyClicks(dialog.nameEdit(), "Halion");
        QAbstractItemView *suggestions = dialog.nameEdit()->completer()->popup();
        QVERIFY(suggestions->isVisible());
        QTest::keyClick(suggestions, Qt::Key_Return);
        QCOMPARE(dialog.result(), int(QDialog::Accepted));
        QVERIFY(!dialog.isVisible());
        QCOMPARE(dialog.moduleName(), "Halion");
    }

    // Every search example of the user guide finds something in the demo file.
    void guideExamples()
    {
        const QString guide = QString::fromUtf8(testdata::readFile(":/help/help.html"));
        XsdtDocument demo;
        QVERIFY(demo.parse(testdata::readFile(VARNEL_DEMO_FILE)));
        m_model.setDocument(&demo);
        const auto restore = qScopeGuard([this] { m_model.setDocument(&m_doc); });
        SearchView view(&m_model, &m_schema);
        view.setDocument(&demo);
        view.buildIndex();
        static const QRegularExpression example("<code>(\"[^<\"]+\")</code>");
        int examples = 0;
        for (auto it = example.globalMatch(guide); it.hasNext(); ++examples) {
            const QString query = it.next().captured(1);
            view.setQuery(query);
            QVERIFY2(view.resultCount() > 0, qPrintable(query));
        }
        QVERIFY(examples > 0);
    }

    // The real program renders its windows and dialogs from the settings file, which it leaves as
    // it was, without a backup beside it; its folders are a temporary HOME's.
    void screenshotMode()
    {
        QTemporaryDir dir;
        const QString file = dir.path() + "/.PixInsight/core-1-pxi.settings";
        const QByteArray before = testdata::readFile(VARNEL_DEMO_FILE);
        QVERIFY(testdata::writeFile(file, before));
        const QDateTime modified = QFileInfo(file).lastModified();
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", dir.path());
        for (const char *name : {"XDG_DATA_HOME", "XDG_CONFIG_HOME", "XDG_CACHE_HOME"})
            env.insert(name, dir.path() + '/' + name);
        env.insert("QT_QPA_PLATFORM", "offscreen");
        process.setProcessEnvironment(env);
        process.start(VARNEL_PROGRAM, {"--screenshots", dir.path() + "/shots", file});
        QVERIFY(process.waitForFinished(120000));
        QCOMPARE(process.exitStatus(), QProcess::NormalExit);
        QCOMPARE(process.exitCode(), 0);
        for (const QString name :
             {"prefs-01", "prefs-10", "prefs-180", "prefs-176-1024", "search-font", "search",
              "module-search", "review", "advanced-changed", "changed-on-disk", "advanced",
              "backups", "about"}) {
            const QImage image(dir.path() + "/shots/" + name + ".png");
            QVERIFY2(image.width() >= (name == "backups" || name == "about" ? 300 : 800),
                     qPrintable(name));
            // Not blank: text, frames and backgrounds give many colours.
            QSet<QRgb> colours;
            for (int y = 0; y < image.height(); y += 3)
                for (int x = 0; x < image.width(); x += 3)
                    colours.insert(image.pixel(x, y));
            QVERIFY2(colours.size() > 20, qPrintable(name));
        }
        QVERIFY(!QFile::exists(dir.path() + "/shots/prefs-11.png"));
        QCOMPARE(testdata::readFile(file), before);
        QCOMPARE(QFileInfo(file).lastModified(), modified);
        QCOMPARE(QDir(dir.path() + "/.PixInsight").entryList(QDir::Files).size(), 1);
    }

    void backups_data()
    {
        QTest::addColumn<int>("keep");
        QTest::addColumn<QMessageBox::StandardButton>("answer");
        QTest::addColumn<QString>("olderButton");
        QTest::addColumn<int>("left");
        QTest::addColumn<bool>("trash");
        // Seven backups of 1600 bytes each, 2 KiB apiece as the dialog rounds them.
        QTest::newRow("keep 5 of 7")
            << 5 << QMessageBox::Yes << "Delete the 2 older backups (3 KiB)" << 5 << true;
        QTest::newRow("keep 0") << 0 << QMessageBox::Yes << "Delete the 7 older backups (11 KiB)"
                                << 0 << true;
        QTest::newRow("No deletes nothing")
            << 3 << QMessageBox::No << "Delete the 4 older backups (6 KiB)" << 7 << true;
        QTest::newRow("no trash, deleted for good when asked")
            << 5 << QMessageBox::Yes << "Delete the 2 older backups (3 KiB)" << 5 << false;
        QTest::newRow("no trash, one, No")
            << 6 << QMessageBox::No << "Delete the 1 older backup (2 KiB)" << 7 << false;
    }

    void backups()
    {
        QFETCH(int, keep);
        QFETCH(QMessageBox::StandardButton, answer);
        QFETCH(int, left);
        QFETCH(bool, trash);
        // Each row starts from an empty home; the real trash lives in the data folder that test
        // mode places below it.
        QVERIFY(QDir(m_home.path()).removeRecursively());
        QSettings().clear();
        const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
        QVERIFY(QDir().mkpath(data));
        if (!trash)
            QVERIFY(QDir(data).removeRecursively());
        QVERIFY(testdata::writeFile(settingsFile(), "<xsdt/>"));
        // Another settings file's backup in the same folder is never listed or touched.
        QVERIFY(testdata::writeFile(settingsFile().replace("core-1", "core-2") + ".bak-1", "x"));
        for (int i = 0; i < 7; ++i)
            QVERIFY(testdata::writeFile(settingsFile() + QString(".bak-2026120%1-000000").arg(i),
                                        QByteArray(1600, 'x'),
                                        QDateTime::currentDateTime().addDays(i - 10)));

        BackupsDialog dialog(settingsFile());
        QCOMPARE(dialog.keepSpin()->value(), 5);
        dialog.keepSpin()->setValue(keep);
        const QString header = dialog.headerLabel()->text();
        QCOMPARE(QString(header).remove(QChar(0x2060)), "7 backups of core-1-pxi.settings, 11 KiB "
                                                        "in total (newest first):");
        // Wrapped where a line would end inside the file name, the name moves down whole.
        QTextLayout layout(header, dialog.headerLabel()->font());
        const qreal width =
            QFontMetricsF(layout.font()).horizontalAdvance("7 backups of core-1-p") + 1;
        QStringList lines;
        layout.beginLayout();
        for (QTextLine line = layout.createLine(); line.isValid(); line = layout.createLine()) {
            line.setLineWidth(width);
            lines << header.mid(line.textStart(), line.textLength()).remove(QChar(0x2060));
        }
        layout.endLayout();
        QCOMPARE(lines.value(0), "7 backups of ");
        QVERIFY2(lines.value(1).startsWith("core-1-pxi.settings"), qPrintable(lines.join('|')));
        QVERIFY(dialog.list()->item(0)->text().startsWith(
            "core-1-pxi.settings.bak-20261206-000000        2 KiB    "));
        QTEST(dialog.deleteOlderButton()->text(), "olderButton");
        QSignalSpy messages(&dialog, &BackupsDialog::message);
        Dialogs::setNextAnswer(answer);
        QTest::mouseClick(dialog.deleteOlderButton(), Qt::LeftButton);
        const int removed = 7 - left;
        QCOMPARE(Dialogs::lastShown().title, "Delete backups");
        const bool one = keep == 6; // one backup is offered
        QVERIFY(Dialogs::lastShown().text.endsWith(
            trash ? QString("%1 moved to the trash folder %2/Trash.")
                        .arg(one ? "It is" : "They are", data)
                  : QString("%1 does not exist or cannot be written). %2 will be deleted for "
                            "good.")
                        .arg(data, one ? "It" : "They")));
        const QStringList kept = listBackups(settingsFile());
        QCOMPARE(kept.size(), left);
        QVERIFY(left == 0 || kept.constFirst().endsWith(".bak-20261206-000000")); // the newest stay
        QCOMPARE(messages.size(), left == 7 ? 0 : 1);
        if (removed > 0)
            QCOMPARE(
                messages.at(0).at(0).toString(),
                (trash ? QString("Backups moved to the trash folder %1/Trash: ").arg(data)
                       : QString("Backups deleted for good: ")) +
                    QString("%1 (%2).").arg(removed).arg(BackupsDialog::sizeText(removed * 1600)));
        QCOMPARE(QDir(data + "/Trash/files").entryList(QDir::Files).size(), trash ? removed : 0);
        QCOMPARE(dialog.deleteAllButton()->isEnabled(), left > 0);
        QVERIFY(QFile::exists(settingsFile()));
        // The number kept is remembered for the next dialog.
        QCOMPARE(BackupsDialog(settingsFile()).keepSpin()->value(), keep);
    }

    // What a screen reader meets on every page: each control it can land on says what it is for.
    void everyControlNamed()
    {
        QVERIFY(testdata::writeFile(settingsFile(), testdata::readFile(QString(VARNEL_DEMO_FILE))));
        MainWindow window;
        window.resize(1200, 820);
        window.show();
        QVERIFY(QTest::qWaitForWindowExposed(&window));
        static const QSet<QAccessible::Role> controls{
            QAccessible::PushButton, QAccessible::CheckBox,   QAccessible::RadioButton,
            QAccessible::ComboBox,   QAccessible::SpinBox,    QAccessible::EditableText,
            QAccessible::Slider,     QAccessible::ButtonMenu, QAccessible::ButtonDropDown};
        QStringList unnamed;
        QStringList undescribed;
        int named = 0;
        int described = 0;
        const std::function<void(QAccessibleInterface *, const QString &)> walk =
            [&](QAccessibleInterface *node, const QString &where) {
                if (!node || node->state().invisible)
                    return;
                if (controls.contains(node->role())) {
                    if (node->text(QAccessible::Name).trimmed().isEmpty())
                        unnamed.append(where + ": " + node->object()->metaObject()->className());
                    else
                        ++named;
                    // A setting's editor also says what the setting does, as its row shows.
                    const SettingRow *row = nullptr;
                    for (QObject *up = node->object(); up && !row; up = up->parent())
                        row = qobject_cast<SettingRow *>(up);
                    if (row && row->editor() == node->object() &&
                        !row->info().description.isEmpty()) {
                        if (node->text(QAccessible::Description) == row->info().description)
                            ++described;
                        else
                            undescribed.append(where + ": " + row->info().label);
                    }
                }
                // Item views speak for their rows themselves.
                if (qobject_cast<QAbstractItemView *>(node->object()))
                    return;
                for (int i = 0; i < node->childCount(); ++i)
                    walk(node->child(i), where);
            };
        QTabWidget *tabs = window.tabs();
        auto *preferences = window.findChild<PreferencesView *>();
        for (int tab = 0; tab < tabs->count(); ++tab) {
            tabs->setCurrentIndex(tab);
            QWidget *page = tabs->currentWidget();
            if (page == window.healthView())
                window.healthView()->finishCheck();
            for (int shown = 0; page != preferences || preferences->showPage(shown); ++shown) {
                QCoreApplication::processEvents();
                walk(QAccessible::queryAccessibleInterface(page), tabs->tabText(tab));
                if (page != preferences)
                    break;
            }
        }
        QVERIFY(named > 300);
        QVERIFY2(described > 40, qPrintable(QString::number(described)));
        QVERIFY2(undescribed.isEmpty(), qPrintable(undescribed.join(", ")));
        QVERIFY2(unnamed.isEmpty(), qPrintable(unnamed.join(", ")));
    }

    void aboutDetails()
    {
        const QStringList none = AboutDialog::technicalDetails(QString(), QString()).split('\n');
        QCOMPARE(none.size(), 6);
        QCOMPARE(none.at(3), "Open file: none");
        QCOMPARE(none.at(4), "PixInsight recorded in the file: unknown");
        QVERIFY(none.at(5).contains(m_home.path() + "/.PixInsight; "));

        // The main window hands over the open file and the version lines recorded in it.
        QVERIFY(testdata::writeFile(settingsFile(), testdata::readFile(QString(VARNEL_DEMO_FILE))));
        MainWindow window;
        QString details;
        Dialogs::setNextDialogHandler([&](QDialog *dialog) {
            QTest::mouseClick(qobject_cast<AboutDialog *>(dialog)->copyButton(), Qt::LeftButton);
            details = QGuiApplication::clipboard()->text();
            return int(QDialog::Accepted);
        });
        window.aboutAction()->trigger();
        QVERIFY2(details.contains("\nOpen file: " + settingsFile() +
                                  "\nPixInsight recorded in the file: PixInsight Core 1.9.3 "
                                  "(x64) [1.9.3]\n"),
                 qPrintable(details));
    }
};

QTEST_MAIN(TestPages)
#include "tst_pages.moc"
