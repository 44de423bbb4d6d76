#include "app/entry.h"
#include "app/mainwindow.h"
#include "app/thememanager.h"
#include "app/windowlook.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/englishplurals.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "history/historybrowser.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "knowledge/comparison.h"
#include "knowledge/modules.h"
#include "knowledge/setupfile.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "store/memoryfit.h"
#include "support/testfiles.h"
#include "views/allsettingsview.h"
#include "views/backupsdialog.h"
#include "views/cleanupview.h"
#include "views/compareview.h"
#include "views/healthview.h"
#include "views/historytimeline.h"
#include "views/historyview.h"
#include "views/importmapdialog.h"
#include "views/preferencesview.h"
#include "views/reviewdialog.h"
#include "views/taskpage.h"
#include "views/unusedmodulesview.h"
#include "widgets/dialogs.h"
#include "widgets/settingstreeview.h"
#include "widgets/treefilter.h"

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QMenuBar>
#include <QPlainTextEdit>
#include <QPointer>
#include <QProcess>
#include <QProgressDialog>
#include <QPushButton>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QSettings>
#include <QStackedWidget>
#include <QStatusBar>
#include <QStyle>
#include <QTabBar>
#include <QTabWidget>
#include <QTemporaryDir>
#include <QTextBrowser>
#include <QToolBar>
#include <QTreeView>
#include <QTreeWidget>
#include <QUndoStack>
#include <QtTest>

#include <unistd.h>

using namespace vrn;

namespace {

using testdata::readFile;
using testdata::writeFile;

QByteArray smallSettings(quint64 seed = 3, bool plantProblems = false, qint64 bytes = 40 * 1024)
{
    testdata::GeneratorOptions options;
    options.seed = seed;
    options.targetBytes = bytes;
    options.plantProblems = plantProblems; // among them a module that left its data behind
    return testdata::generateSettings(options);
}

QAction *menuAction(const MainWindow &window, const QString &menu, const QString &entry)
{
    for (const QAction *top : window.menuBar()->actions()) {
        for (QAction *action :
             top->menu() && top->text() == menu ? top->menu()->actions() : QList<QAction *>()) {
            if (action->text() == entry)
                return action;
        }
    }
    return nullptr;
}

const QString kMaxProcessors = QStringLiteral("Global/Preferences/Process/MaxProcessors");
const QString kTitleSaved = QStringLiteral("core-1-pxi.settings - Varnel");
const QString kTitleOneUnsaved = QStringLiteral("core-1-pxi.settings - 1 unsaved change - Varnel");

XsdtNode *findNode(const MainWindow &window, QStringView path)
{
    return window.store().document.findPath(path);
}

QString statusText(const MainWindow &window)
{
    return window.statusBar()->currentMessage();
}

// An edit made through the model, as the pages and the tree make theirs.
bool setValue(MainWindow &window, const QString &path, const QString &text)
{
    XsdtNode *node = findNode(window, path);
    return node && window.model()->setData(window.model()->indexForNode(node, 1), text);
}

// Every job of the document manager runs on the worker and waits there for `gate`.
auto holdWorker(QSemaphore &gate)
{
    DocumentManager::setWorkerHook([&gate] { gate.acquire(); });
    DocumentManager::setWorkerThreshold(0);
    return qScopeGuard([&gate] {
        gate.release(10);
        DocumentManager::setWorkerThreshold(qint64(1) << 40);
        DocumentManager::setWorkerHook({});
    });
}

CompareView *compareView(const MainWindow &window)
{
    return window.findChild<CompareView *>();
}

// The review and other dialogs answer OK, as a user who agrees.
void acceptNextDialog()
{
    Dialogs::setNextDialogHandler([](QDialog *) { return int(QDialog::Accepted); });
}

bool showActive(MainWindow &window)
{
    window.show();
    window.activateWindow();
    return QTest::qWaitForWindowActive(&window);
}

// Where a node stands in the tree as shown, after the filter.
QModelIndex treeIndex(const MainWindow &window, const XsdtNode *node, int column = 0)
{
    return window.allSettingsView()->tree()->fromSource(window.model()->indexForNode(node, column));
}

// A task page that records what the window hands it.
class RecordingPage : public TaskPage
{
public:
    using TaskPage::TaskPage;
    void setDocument(XsdtDocument *document) override { documents.append(document); }
    void setViewOnly(bool viewOnly) override { viewOnlyStates.append(viewOnly); }
    QList<XsdtDocument *> documents;
    QList<bool> viewOnlyStates;
};

} // namespace

class TestMainWindow : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void startupFindsSettingsFile();
    void startupWithoutSettingsFile();
    void editInTreeAndSave();
    void keyboardEditing();
    void treeFilterKeepsMatchesOpen();
    void brokenOrMissingFile();
    void pixInsightMakesViewOnly();
    void changedOnDiskBanner();
    void reloadKeepingChanges();
    void restoreAndRevertAll();
    void closeWithUnsavedChanges();
    void deletionFlow();
    void pagesBehindCatchUp();
    void taskPagePlugsIn();
    void healthCheckAction();
    void menuCommands_data();
    void menuCommands();
    void leftoverFilesAfterSave_data();
    void leftoverFilesAfterSave();
    void fileComboChoices();
    void themeAndTextSize();
    void windowComesBackOnScreen();
    void userGuide();
    void commandLine();
    void importSetup();
    void exportOnWorker();
    void saveOnWorker();
    void reloadKeepHoldsChanges();
    void historyPage_data();
    void historyPage();

private:
    QString configFile(int instance = 1) const;
    void setNodeValueInTree(MainWindow &window, const QString &path, const QString &text);

    QTemporaryDir m_home;
    QList<qint64> m_fakePids;
};

void TestMainWindow::initTestCase()
{
    installEnglishPlurals();
    QVERIFY(m_home.isValid());
    qputenv("HOME", m_home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (m_home.path() + "/.config").toLocal8Bit());
    qputenv("XDG_DATA_HOME", (m_home.path() + "/.local/share").toLocal8Bit());
    qputenv("XDG_CACHE_HOME", (m_home.path() + "/.cache").toLocal8Bit());
    QCoreApplication::setOrganizationName(QStringLiteral("Varnelhaus"));
    QCoreApplication::setApplicationName(QStringLiteral("Varnelhaus"));
    Dialogs::setTestMode(true);
    ThemeManager::instance()->init(false);
}

void TestMainWindow::init()
{
    Dialogs::reset();
    m_fakePids.clear();
    setPixInsightProcessQuery([this] { return m_fakePids; });
    QDir(m_home.path()).removeRecursively();
    QDir().mkpath(m_home.path());
}

void TestMainWindow::cleanup()
{
    setPixInsightProcessQuery({});
    Dialogs::setUrlOpener({});
}

QString TestMainWindow::configFile(int instance) const
{
    const QString dir = m_home.path() + QStringLiteral("/.PixInsight");
    QDir().mkpath(dir);
    return dir + QStringLiteral("/core-%1-pxi.settings").arg(instance);
}

void TestMainWindow::setNodeValueInTree(MainWindow &window, const QString &path,
                                        const QString &text)
{
    XsdtNode *node = findNode(window, path);
    QVERIFY(node);
    window.revealNode(node);
    const QModelIndex index = treeIndex(window, node, 1);
    QVERIFY(index.isValid());
    QTreeView *tree = window.allSettingsView()->tree();
    tree->setCurrentIndex(index);
    tree->edit(index);
    auto *editor = tree->viewport()->findChild<QLineEdit *>(QString(), Qt::FindDirectChildrenOnly);
    QVERIFY(editor);
    QTRY_COMPARE(QApplication::focusWidget(), editor);
    editor->selectAll();
    QTest::keyClicks(editor, text);
    QPointer<QLineEdit> open(editor);
    QTest::keyClick(editor, Qt::Key_Return);
    // The delegate commits on its next turn of the event loop, then closes the editor.
    QTRY_VERIFY(open.isNull());
}

void TestMainWindow::startupFindsSettingsFile()
{
    const QString path = configFile(1);
    QVERIFY(writeFile(path, smallSettings()));
    QVERIFY(writeFile(configFile(2), smallSettings(4)));
    MainWindow window;
    QVERIFY(window.store().loaded);
    QCOMPARE(window.store().path, path);
    QCOMPARE(statusText(window), QStringLiteral("Loaded %1").arg(path));
    QCOMPARE(window.fileCombo()->count(), 2);
    QCOMPARE(window.fileCombo()->currentIndex(), 0);
    QCOMPARE(window.fileCombo()->currentText(), fileLabel(path));
    QCOMPARE(window.fileCombo()->toolTip(), path);
    QCOMPARE(window.windowTitle(), kTitleSaved);
    QVERIFY(window.banner()->isHidden());
    QVERIFY(!window.saveAction()->isEnabled());
    QVERIFY(window.reloadAction()->isEnabled());
    // The Preferences group is opened in the tree, the rest stays collapsed.
    const auto expanded = [&window](const XsdtNode *node) {
        return window.allSettingsView()->tree()->isExpanded(treeIndex(window, node));
    };
    const XsdtNode *prefs = findNode(window, u"Global/Preferences");
    QVERIFY(expanded(prefs));
    const XsdtNode *modules = findNode(window, u"Modules");
    QVERIFY(!expanded(modules));
    menuAction(window, "&View", "&Expand all")->trigger();
    QVERIFY(expanded(modules));
    menuAction(window, "&View", "&Collapse all")->trigger();
    QVERIFY(!expanded(modules) && expanded(prefs));
    // Showing the window is not a change of preferences: nothing is written.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    QCoreApplication::processEvents();
    QVERIFY(!QFile::exists(QSettings().fileName()));
}

void TestMainWindow::startupWithoutSettingsFile()
{
    MainWindow window;
    QVERIFY(!window.store().loaded);
    QCOMPARE(window.fileCombo()->count(), 1);
    QCOMPARE(window.fileCombo()->currentText(), QString("No settings file found - use Browse..."));
    QVERIFY(window.fileCombo()->currentData().toString().isEmpty());
    QCOMPARE(window.fileCombo()->toolTip(), QString("No settings file loaded."));
    QStringList dirs;
    for (const QString &dir : configDirectories())
        dirs.append(QDir::toNativeSeparators(dir));
    QVERIFY(dirs.first().startsWith(m_home.path()));
    QCOMPARE(statusText(window),
             QStringLiteral("No PixInsight settings file found in %1. Use Browse to open one.")
                 .arg(dirs.join("; ")));
    QVERIFY(!window.reloadAction()->isEnabled());
    QVERIFY(!window.restoreAction()->isEnabled());
    QCOMPARE(window.model()->rowCount(), 0);

    // A file appearing later shows up in the list at the next poll.
    QVERIFY(writeFile(configFile(1), smallSettings()));
    window.pollEnvironment();
    QCOMPARE(window.fileCombo()->count(), 1);
    QCOMPARE(window.fileCombo()->itemData(0).toString(), configFile(1));
}

void TestMainWindow::editInTreeAndSave()
{
    const QString path = configFile();
    const QByteArray original = smallSettings();
    QVERIFY(writeFile(path, original));
    MainWindow window;
    QVERIFY(showActive(window));

    setNodeValueInTree(window, kMaxProcessors, "6");
    QCOMPARE(findNode(window, kMaxProcessors)->value, QString("6"));
    QCOMPARE(window.windowTitle(), kTitleOneUnsaved);
    QVERIFY(window.saveAction()->isEnabled());

    // Cancelling the review writes nothing.
    window.saveAction()->trigger();
    QCOMPARE(readFile(path), original);
    QVERIFY(listBackups(path).isEmpty());

    // A read-only file with a second name: the review says so, and a yes is asked for.
    QVERIFY(!::link(qPrintable(path), qPrintable(path + "-link")) &&
            QFile::setPermissions(path, QFile::ReadOwner));
    QString summary;
    Dialogs::setNextDialogHandler([&](QDialog *review) {
        summary = static_cast<ReviewDialog *>(review)->summaryLabel()->text();
        return int(QDialog::Accepted);
    });
    window.saveAction()->trigger();
    QVERIFY(summary.endsWith("\n" + path +
                             " has 2 names (hard links). It is replaced under this "
                             "name only; the other names keep the old content."));
    QCOMPARE(Dialogs::lastShown().text, path + " is read-only: its owner may not write it.\n\n"
                                               "Save anyway? The new file is read-only too.");
    QCOMPARE(readFile(path), original);
    acceptNextDialog();
    Dialogs::setNextAnswer(QMessageBox::Yes);
    window.saveAction()->trigger();
    QCOMPARE(readFile(path + "-link"), original);
    QCOMPARE(window.windowTitle(), kTitleSaved);
    const QStringList backups = listBackups(path);
    QCOMPARE(backups.size(), 1);
    QCOMPARE(statusText(window),
             QStringLiteral("Saved. Backup: %1").arg(QFileInfo(backups.first()).fileName()));
    QVERIFY(compareView(window)->fileChooser()->findData(backups.first()) > 0);
    QVERIFY(!window.saveAction()->isEnabled());
    // The history keeps the save, and what was there before it.
    HistoryStore history;
    QTRY_VERIFY(history.open(path) && history.versions().size() == 2);
    QCOMPARE(history.newest()->author, VersionAuthor::Varnel);
    QByteArray before;
    QVERIFY(history.read(history.versions().constFirst().id, &before) && before == original);
}

// Tab in, arrows, F2 or Enter from any column; a refusal keeps the typed text at the editor.
void TestMainWindow::keyboardEditing()
{
    QVERIFY(writeFile(configFile(), smallSettings()));
    MainWindow window;
    QVERIFY(showActive(window));
    QTreeView *tree = window.allSettingsView()->tree();
    XsdtNode *node = findNode(window, kMaxProcessors);
    window.revealNode(node);
    tree->setFocus();
    QTest::keyClick(tree, Qt::Key_Down);
    QTest::keyClick(tree, Qt::Key_Up);
    QCOMPARE(tree->currentIndex().column(), 0);
    const auto editor = [tree] {
        return tree->viewport()->findChild<QLineEdit *>(QString(), Qt::FindDirectChildrenOnly);
    };
    QTest::keyClick(tree, Qt::Key_F2);
    QTRY_VERIFY(editor() && editor()->hasFocus());
    QTest::keyClick(editor(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(editor(), QStringLiteral("0"));
    QTest::keyClick(editor(), Qt::Key_Return);
    // The tree's editor refuses what varnelctl refuses, not only what the type refuses.
    const QString refused = QStringLiteral("Max processors: 0 is below the allowed minimum 1");
    QVERIFY(editor());
    QCOMPARE(editor()->text(), QString("0"));
    QCOMPARE(editor()->toolTip(), refused);
    QCOMPARE(statusText(window), "Not accepted - " + refused);
    QCOMPARE(node->value, node->originalValue);
    QTest::keyClick(editor(), Qt::Key_A, Qt::ControlModifier);
    QTest::keyClicks(editor(), QStringLiteral("6"));
    QTest::keyClick(editor(), Qt::Key_Return);
    QTRY_VERIFY(!editor());
    QCOMPARE(node->value, QString("6"));
    QVERIFY(statusText(window).isEmpty());

    // Enter on the name of a value that cannot be edited says why.
    XsdtNode *block = nullptr;
    QList<const XsdtNode *> todo{&window.store().document.root};
    while (!todo.isEmpty() && !block) {
        const XsdtNode *n = todo.takeLast();
        if (n->isValue() && !n->isEditable())
            block = const_cast<XsdtNode *>(n);
        for (const auto &child : n->children)
            todo.append(child.get());
    }
    QVERIFY(block);
    window.revealNode(block);
    tree->setFocus();
    QTest::keyClick(tree, Qt::Key_Return);
    QVERIFY(!editor());
    QCOMPARE(statusText(window), window.model()->whyNotEditable(block));
    QVERIFY(statusText(window).startsWith(block->key + " is "));

    // The context menu's "Edit value" opens the editor too.
    window.revealNode(node);
    Dialogs::setNextMenuChoice(QStringLiteral("Edit value"));
    window.allSettingsView()->showContextMenu(tree->visualRect(tree->currentIndex()).center());
    QTRY_VERIFY(editor());
    QCOMPARE(editor()->text(), QString("6"));
}

// Typed text filters after a pause and opens the matches, also after Revert all and Reload.
void TestMainWindow::treeFilterKeepsMatchesOpen()
{
    QVERIFY(writeFile(configFile(), smallSettings()));
    MainWindow window;
    window.show();
    const auto open = [&window] {
        const XsdtNode *node = findNode(window, kMaxProcessors);
        QModelIndex index = treeIndex(window, node);
        if (!index.isValid())
            return false;
        for (index = index.parent(); index.isValid(); index = index.parent())
            if (!window.allSettingsView()->tree()->isExpanded(index))
                return false;
        return window.allSettingsView()->proxy()->rowCount() == 1;
    };
    QTest::keyClicks(window.allSettingsView()->filterEdit(), QStringLiteral("maxproc"));
    QTRY_VERIFY(open());
    QVERIFY(setValue(window, kMaxProcessors, "3"));
    Dialogs::setNextAnswer(QMessageBox::Yes);
    window.revertAllAction()->trigger();
    QTRY_VERIFY(open());
    window.reloadAction()->trigger();
    QTRY_VERIFY(open());
    window.allSettingsView()->filterEdit()->clear();
    QTRY_COMPARE(window.allSettingsView()->tree()->model()->rowCount(), window.model()->rowCount());

    // Too many matches to open is said once; a reload that filters anew does not say it again.
    QVERIFY(writeFile(configFile(), smallSettings(3, false, 400 * 1024)));
    window.reloadAction()->trigger();
    window.tabs()->setCurrentWidget(window.allSettingsView());
    const auto *filter = window.allSettingsView()->findChild<TreeFilter *>();
    QSignalSpy applied(filter, &TreeFilter::applied);
    QSignalSpy said(window.allSettingsView(), &TaskPage::message);
    window.allSettingsView()->filterEdit()->setText(QStringLiteral("e"));
    QTRY_COMPARE(applied.size(), 1);
    QVERIFY(applied.last().at(1).toBool());
    QCOMPARE(said.size(), 1);
    window.reloadAction()->trigger();
    QTRY_VERIFY(applied.size() > 1 && !filter->isBusy());
    QVERIFY(applied.last().at(1).toBool());
    QCOMPARE(said.size(), 1);
}

// A file that does not parse keeps Reload and Restore; a file named at start that cannot be
// read leaves the window empty instead of showing another one.
void TestMainWindow::brokenOrMissingFile()
{
    const QString path = configFile();
    const QByteArray good = smallSettings();
    QVERIFY(writeFile(path + ".bak-20261201-101010", good));
    QVERIFY(writeFile(path, good.left(good.size() / 2)));
    MainWindow window;
    QVERIFY(!window.store().loaded);
    QVERIFY(Dialogs::lastShown().text.contains(QLatin1String("line ")));
    QCOMPARE(window.fileCombo()->toolTip(), path + "\n" + Dialogs::lastShown().text);
    QVERIFY(window.reloadAction()->isEnabled());
    QVERIFY(window.restoreAction()->isEnabled());
    Dialogs::setNextItem(0);
    Dialogs::setNextAnswer(QMessageBox::Yes);
    window.restoreAction()->trigger();
    QVERIFY(window.store().loaded);
    QCOMPARE(readFile(path), good);
    QCOMPARE(window.fileCombo()->toolTip(), path);

    const QString missing = m_home.path() + QStringLiteral("/nowhere/core-9-pxi.settings");
    MainWindow named(nullptr, missing);
    QVERIFY(!named.store().loaded);
    QCOMPARE(named.model()->rowCount(), 0);
    QCOMPARE(statusText(named),
             QStringLiteral("Cannot read %1: No such file or directory").arg(missing));
    QCOMPARE(named.fileCombo()->currentText(), missing + " - cannot be opened");
    // Nothing to read again, but a backup may take its place.
    QVERIFY(!named.reloadAction()->isEnabled() && named.restoreAction()->isEnabled());

    // A file too large for the memory free now is read only when the user says so.
    MemoryFit::setSource([&] { return qint64(good.size()); });
    const auto freeAgain = qScopeGuard([] { MemoryFit::setSource({}); });
    Dialogs::clearShown();
    MainWindow large(nullptr, path);
    QVERIFY(!large.store().loaded);
    QCOMPARE(Dialogs::lastShown().title, QStringLiteral("Not enough memory"));
    QVERIFY(Dialogs::lastShown().text.startsWith("Opening " + path + " needs about"));
    Dialogs::setNextAnswer(QMessageBox::Open);
    QVERIFY(large.loadFile(path));
    QVERIFY(large.store().loaded);

    // So is a file to compare with, on top of the one open.
    const QString other = path + QStringLiteral(".other");
    QVERIFY(writeFile(other, good));
    QString error;
    QVERIFY(!compareView(large)->compareWith(other, &error));
    QCOMPARE(error, other + " was not compared.");
    QVERIFY(Dialogs::lastShown().text.startsWith("Opening " + other + " needs about"));
    QVERIFY(compareView(large)->otherPath().isEmpty());
    Dialogs::setNextAnswer(QMessageBox::Yes);
    QVERIFY(compareView(large)->compareWith(other, &error));
}

// While PixInsight runs the window is view-only, the edit kept.
void TestMainWindow::pixInsightMakesViewOnly()
{
    const QString path = configFile();
    QVERIFY(writeFile(path, smallSettings()));
    MainWindow window;
    QVERIFY(!window.isPixInsightRunning());
    QVERIFY(setValue(window, "Global/Preferences/MainWindow/AnimateCombo", "false"));
    QVERIFY(window.saveAction()->isEnabled());

    m_fakePids = {4242};
    window.pollEnvironment();
    QVERIFY(window.isPixInsightRunning());
    QVERIFY(window.banner()->isVisibleTo(&window));
    QVERIFY(window.banner()->text().startsWith(
        QLatin1String("<b>PixInsight is running - view only.</b>")));
    QVERIFY(window.model()->isViewOnly());
    QVERIFY(!window.saveAction()->isEnabled());
    QVERIFY(!window.restoreAction()->isEnabled());
    QCOMPARE(window.windowTitle(), kTitleOneUnsaved);

    m_fakePids.clear();
    window.pollEnvironment();
    QVERIFY(window.banner()->isHidden());
    QVERIFY(!window.model()->isViewOnly());
    QVERIFY(window.saveAction()->isEnabled());

    // When nobody can tell, PixInsight counts as running and the banner says why.
    setPixInsightProcessQuery([] { return PixInsightCheck::failed("No <proc>"); });
    window.pollEnvironment();
    QCOMPARE(
        window.banner()->text(),
        QString("<b>Cannot tell whether PixInsight is running - view only.</b> No &lt;proc&gt;. "
                "Until this can be checked, PixInsight counts as running: saving and "
                "restoring are blocked."));
    QVERIFY(window.model()->isViewOnly());
    QVERIFY(!window.restoreAction()->isEnabled());
}

void TestMainWindow::changedOnDiskBanner()
{
    const QString path = configFile();
    QByteArray bytes = smallSettings();
    QVERIFY(writeFile(path, bytes));
    MainWindow window;
    window.show();
    bytes.replace("<v k=\"AnimateCombo\" t=\"b\" v=\"true\"/>",
                  "<v k=\"AnimateCombo\" t=\"b\" v=\"fals\"/>");
    QVERIFY(writeFile(path, bytes));
    window.pollEnvironment();
    QVERIFY(window.isChangedOnDisk());
    QCOMPARE(window.banner()->text(),
             QString("<b>The file changed on disk since it was loaded.</b>"));
    QVERIFY(window.bannerReloadButton()->isVisible());

    QVERIFY(setValue(window, kMaxProcessors, "3"));
    QVERIFY(window.banner()->text().startsWith(
        "<b>The file changed on disk since it was loaded.</b> Saving is blocked. Reload to "
        "continue (your 1 unsaved change will be discarded)"));
    QVERIFY(!window.saveAction()->isEnabled());

    // Reload asks first; Cancel keeps the edit, Discard reads the new file.
    QTest::mouseClick(window.bannerReloadButton(), Qt::LeftButton);
    QCOMPARE(Dialogs::lastShown().title, QString("Discard changes?"));
    QCOMPARE(Dialogs::lastShown().text,
             QString("You have 1 unsaved change. Reloading discards them."));
    QCOMPARE(window.pendingCount(), 1);
    Dialogs::setNextAnswer(QMessageBox::Discard);
    QTest::mouseClick(window.bannerReloadButton(), Qt::LeftButton);
    QCOMPARE(window.pendingCount(), 0);
    QVERIFY(!window.isChangedOnDisk());
    QVERIFY(window.banner()->isHidden());
    QCOMPARE(findNode(window, u"Global/Preferences/MainWindow/AnimateCombo")->value,
             QString("fals"));

    // An indented file is read as it is and said to be rewritten compactly.
    testdata::GeneratorOptions indented;
    indented.seed = 3;
    indented.targetBytes = 40 * 1024;
    indented.indented = true;
    QVERIFY(writeFile(path, testdata::generateSettings(indented)));
    QVERIFY(window.loadFile(path));
    QVERIFY(
        window.banner()->text().startsWith(QLatin1String("This file uses a non-default layout")));
    QVERIFY(!window.bannerReloadButton()->isVisible());

    // Bytes that are not UTF-8 do change on saving, so the banner must not call values unaffected.
    QVERIFY(writeFile(path, testdata::wrapSettings("<i k=\"Global\"><v k=\"Ok\" t=\"s\" v=\"a\"/>"
                                                   "<v k=\"Name\" t=\"s\" v=\"a\xff\xfe\"/></i>")));
    QVERIFY(window.loadFile(path));
    QCOMPARE(window.banner()->text(),
             QString("Byte sequences in this file that are not valid UTF-8: 2 (the first in "
                     "Global/Name). Saving writes them as U+FFFD; the backup keeps the original "
                     "bytes."));

    QVERIFY(writeFile(path, "hello"));
    QVERIFY(!window.loadFile(path));
    QCOMPARE(Dialogs::lastShown().title, QString("Cannot open file"));
    QVERIFY(Dialogs::lastShown().text.startsWith(path + " is not a valid"));
    QCOMPARE(window.model()->rowCount(), 0);
}

// An edit survives another program's write where it left the value alone; the rest is listed
// and the other program's value stays. A file gone offers no reload.
void TestMainWindow::reloadKeepingChanges()
{
    const QString path = configFile();
    QVERIFY(writeFile(path, smallSettings()));
    MainWindow window;
    window.show();
    setNodeValueInTree(window, "Global/RGBWorkingSpace/Gamma", "2.4");
    setNodeValueInTree(window, kMaxProcessors, "3");
    XsdtDocument written;
    QVERIFY(written.parse(readFile(path)));
    written.findPath(u"Global/RGBWorkingSpace/Gamma")->value = "1.8";
    QVERIFY(writeFile(path, written.serialize()));
    QVERIFY(!window.reloadKeepAction()->isEnabled());
    window.pollEnvironment();
    QVERIFY(window.reloadKeepAction()->isEnabled());

    QTest::mouseClick(window.bannerReloadKeepButton(), Qt::LeftButton);
    QCOMPARE(Dialogs::shown().size(), 1);
    QCOMPARE(Dialogs::lastShown().informativeText,
             QString("Global/RGBWorkingSpace/Gamma: changed on disk to \"1.8\"; your value "
                     "\"2.4\" was not applied."));
    const XsdtDocument &doc = window.store().document;
    QCOMPARE(doc.findPath(u"Global/RGBWorkingSpace/Gamma")->value, QString("1.8"));
    QCOMPARE(doc.findPath(kMaxProcessors)->value, QString("3"));
    QCOMPARE(window.windowTitle(), kTitleOneUnsaved);
    QVERIFY(window.saveAction()->isEnabled() && !window.undoAction()->isEnabled());

    // Without the memory to read the new version beside the changes, it is read only when the
    // user says so.
    written.findPath(u"Global/RGBWorkingSpace/Gamma")->value = "2.0";
    QVERIFY(writeFile(path, written.serialize()));
    window.pollEnvironment();
    MemoryFit::setSource([] { return qint64(1); });
    const auto freeAgain = qScopeGuard([] { MemoryFit::setSource({}); });
    window.reloadKeepAction()->trigger();
    QCOMPARE(Dialogs::lastShown().title, QStringLiteral("Not enough memory"));
    QCOMPARE(doc.findPath(u"Global/RGBWorkingSpace/Gamma")->value, QString("1.8"));
    Dialogs::setNextAnswer(QMessageBox::Yes);
    window.reloadKeepAction()->trigger();
    QTRY_COMPARE(window.store().document.findPath(u"Global/RGBWorkingSpace/Gamma")->value,
                 QString("2.0"));
    QCOMPARE(window.store().document.findPath(kMaxProcessors)->value, QString("3"));
    MemoryFit::setSource({});

    // A file left broken is not loaded over the changes.
    QVERIFY(writeFile(path, "<xsdt version=\"1.0\"><i k=\"Global\">"));
    window.pollEnvironment();
    window.reloadKeepAction()->trigger();
    QVERIFY(Dialogs::lastShown().text.endsWith("Nothing was reloaded; your changes are kept."));
    QCOMPARE(window.store().document.pendingChangeCount(), 1);

    QVERIFY(QFile::remove(path));
    window.pollEnvironment();
    QVERIFY(window.banner()->text().startsWith("<b>The settings file is missing"));
    QVERIFY(!window.bannerReloadButton()->isVisible());
    QVERIFY(!window.reloadAction()->isEnabled() && window.restoreAction()->isEnabled());
}

void TestMainWindow::restoreAndRevertAll()
{
    const QString path = configFile();
    const QByteArray original = smallSettings();
    QVERIFY(writeFile(path, original));
    MainWindow window;

    Dialogs::setNextAnswer(QMessageBox::Ok);
    window.restoreAction()->trigger();
    QCOMPARE(Dialogs::lastShown().text,
             QString("No backups were found next to the settings file."));

    QVERIFY(setValue(window, kMaxProcessors, "5"));
    acceptNextDialog();
    QVERIFY(window.onSave());
    const QByteArray saved = readFile(path);
    QVERIFY(saved != original);

    QVERIFY(setValue(window, kMaxProcessors, "7"));
    QVERIFY(window.model()->queueDeletion(findNode(window, u"Global/Statistics")));
    QCOMPARE(window.pendingCount(), 2);
    window.revertAllAction()->trigger(); // No
    QCOMPARE(Dialogs::lastShown().text, QString("Discard all 2 unsaved changes?"));
    QCOMPARE(window.pendingCount(), 2);
    Dialogs::setNextAnswer(QMessageBox::Yes);
    window.revertAllAction()->trigger();
    QCOMPARE(window.pendingCount(), 0);
    QCOMPARE(window.windowTitle(), kTitleSaved);
    QVERIFY(!window.revertAllAction()->isEnabled());

    const QStringList backups = listBackups(path);
    QCOMPARE(backups.size(), 1);
    Dialogs::setNextItem(0);
    Dialogs::setNextAnswer(QMessageBox::Yes);
    window.restoreAction()->trigger();
    QCOMPARE(readFile(path), original);
    QCOMPARE(statusText(window),
             QStringLiteral("Restored %1").arg(QFileInfo(backups.first()).fileName()));
    const QStringList after = listBackups(path);
    const Dialogs::Record question = Dialogs::lastShown();
    QCOMPARE(question.title, QString("Restore backup"));
    QCOMPARE(
        question.text,
        QStringLiteral(
            "Replace the current settings file with\n%1\n\nThe current file is backed up first.")
            .arg(backups.first()));

    // The Backups dialog restores the newest backup with File > Restore backup's own question,
    // and opens Compare on one.
    int offered = -1; // the row the dialog opened with
    auto clickInBackupsDialog = [&](QPushButton *(BackupsDialog::*button)() const, int row) {
        Dialogs::setNextDialogHandler([button, row, &offered](QDialog *dialog) {
            QListWidget *list = static_cast<BackupsDialog *>(dialog)->list();
            offered = list->selectedItems().isEmpty() ? -1 : list->currentRow();
            list->setCurrentRow(row);
            QTest::mouseClick((static_cast<BackupsDialog *>(dialog)->*button)(), Qt::LeftButton);
            return int(QDialog::Rejected);
        });
        window.actions()->manageBackups->trigger();
    };
    Dialogs::setNextAnswer(QMessageBox::Yes);
    clickInBackupsDialog(&BackupsDialog::restoreButton, 0);
    QCOMPARE(readFile(path), saved);
    QCOMPARE(Dialogs::lastShown().text,
             QString(question.text).replace(backups.first(), after.first()));
    QCOMPARE(offered, -1);
    clickInBackupsDialog(&BackupsDialog::compareButton, 1);
    QCOMPARE(compareView(window)->otherPath(), listBackups(path).at(1));
    QCOMPARE(window.tabs()->currentWidget(), static_cast<QWidget *>(compareView(window)));
    // Restoring next offers the backup just compared, from the menu and in the dialog.
    window.restoreAction()->trigger();
    QCOMPARE(Dialogs::lastShown().currentItem, 1);
    clickInBackupsDialog(&BackupsDialog::closeButton, 0);
    QCOMPARE(offered, 1);
}

void TestMainWindow::closeWithUnsavedChanges()
{
    const QString path = configFile();
    const QByteArray original = smallSettings();
    QVERIFY(writeFile(path, original));
    auto edit = [](MainWindow &window) { QVERIFY(setValue(window, kMaxProcessors, "9")); };
    {
        MainWindow window;
        window.show();
        edit(window);
        Dialogs::setNextAnswer(QMessageBox::Cancel);
        QVERIFY(!window.close());
        QCOMPARE(Dialogs::lastShown().title, QString("Unsaved changes"));
        QCOMPARE(Dialogs::lastShown().text, QString("You have 1 unsaved change."));
        QCOMPARE(Dialogs::lastShown().defaultButton, QMessageBox::Save);
        // Save, then cancel the review: the window stays and nothing is written.
        Dialogs::setNextAnswer(QMessageBox::Save);
        Dialogs::setNextDialogHandler([](QDialog *) { return int(QDialog::Rejected); });
        QVERIFY(!window.close());
        QVERIFY(window.isVisible());
        QCOMPARE(readFile(path), original);
        Dialogs::setNextAnswer(QMessageBox::Discard);
        QVERIFY(window.close());
        QCOMPARE(readFile(path), original);
    }
    {
        MainWindow window;
        window.show();
        edit(window);
        Dialogs::setNextAnswer(QMessageBox::Save);
        acceptNextDialog();
        QVERIFY(window.close());
        XsdtDocument onDisk;
        QVERIFY(onDisk.parse(readFile(path)));
        QCOMPARE(onDisk.findPath(kMaxProcessors)->value, QString("9"));
    }
}

void TestMainWindow::deletionFlow()
{
    const QString path = configFile();
    QVERIFY(writeFile(path, smallSettings()));
    MainWindow window;
    QVERIFY(showActive(window));
    XsdtDocument &doc = const_cast<XsdtDocument &>(window.store().document);

    // Never: refused with the reason.
    window.requestDeletion(doc.findPath(u"Modules"));
    QCOMPARE(Dialogs::lastShown().title, QString("Cannot delete"));
    QCOMPARE(Dialogs::lastShown().text,
             QString("Modules\n\nModule registry. Deleting it can stop modules from loading."));
    QCOMPARE(window.pendingCount(), 0);

    // Safe: queued at once, never asked.
    Dialogs::clearShown();
    XsdtNode *stats = doc.findPath(u"Global/Statistics");
    window.requestDeletion(stats);
    QVERIFY(Dialogs::shown().isEmpty());
    QVERIFY(stats->pendingDelete);
    QCOMPARE(statusText(window),
             QStringLiteral("Global/Statistics queued for deletion (%1 values). Save to apply.")
                 .arg(stats->valueCount()));
    window.requestDeletion(stats); // already queued: nothing happens
    QVERIFY(Dialogs::shown().isEmpty());

    // Warn: asked, with "Don't ask again" honoured for the rest of the run.
    XsdtNode *script = doc.findPath(u"ScriptData")->children.front().get();
    window.requestDeletion(script); // Cancel (the default)
    QVERIFY(!script->pendingDelete);
    const Dialogs::Record warning = Dialogs::lastShown();
    QCOMPARE(warning.title, QString("Delete saved information?"));
    QCOMPARE(
        warning.text,
        QStringLiteral("Delete %1?\n(%2 values)").arg(script->path()).arg(script->valueCount()));
    QVERIFY(warning.informativeText.endsWith(
        QLatin1String("\n\nNothing is removed until you save, and you can undo it before then.")));
    QCOMPARE(warning.checkBoxText, QString("Don't ask again until I close the program"));
    QCOMPARE(warning.defaultButton, QMessageBox::Cancel);
    Dialogs::setNextAnswer(QMessageBox::Yes, true);
    window.requestDeletion(script);
    QVERIFY(script->pendingDelete);
    Dialogs::clearShown();
    XsdtNode *other = doc.findPath(u"ScriptData")->children.at(1).get();
    window.requestDeletion(other);
    QVERIFY(other->pendingDelete);
    QVERIFY(Dialogs::shown().isEmpty());

    // The tree's menu: undo on a queued entry, the reason on a protected one, Delete key.
    window.revealNode(stats);
    QTreeView *tree = window.allSettingsView()->tree();
    const QRect rect = tree->visualRect(tree->currentIndex());
    Dialogs::setNextMenuChoice(QStringLiteral("Undo deletion"));
    window.allSettingsView()->showContextMenu(rect.center());
    QVERIFY(!stats->pendingDelete);
    QCOMPARE(Dialogs::lastShown().menuEntries.first().text, QString("Copy setting path"));
    tree->setFocus();
    QTest::keyClick(tree, Qt::Key_Delete);
    QVERIFY(stats->pendingDelete);
    QCOMPARE(window.pendingCount(), 3);

    // A save with deletions prunes the tree and leaves no pointer behind in the model.
    acceptNextDialog();
    QVERIFY(window.onSave());
    QCOMPARE(doc.findPath(u"Global/Statistics"), nullptr);
    QCOMPARE(window.pendingCount(), 0);
    QCOMPARE(window.fileCombo()->currentText(), fileLabel(window.store().path));
    QCOMPARE(window.model()->rowCount(), int(doc.root.children.size()));
    // The pruned tree opens at the Preferences again, as a newly loaded one does.
    const XsdtNode *prefs = doc.findPath(u"Global/Preferences");
    QVERIFY(tree->isExpanded(treeIndex(window, prefs)));
}

// Pages behind the one shown put off their long lists; shown again, they list the edits and
// deletions made meanwhile.
void TestMainWindow::pagesBehindCatchUp()
{
    const QString path = configFile();
    const QString other = path + QStringLiteral(".other");
    QVERIFY(writeFile(path, smallSettings()) && writeFile(other, smallSettings()));
    MainWindow window;
    QVERIFY(showActive(window));
    CompareView *compare = compareView(window);
    auto *cleanup = window.findChild<CleanupView *>();
    window.tabs()->setCurrentWidget(cleanup);
    cleanup->ensureBuilt();
    window.tabs()->setCurrentWidget(compare);
    QVERIFY(compare->compareWith(other));
    compare->finishComparison();
    QCOMPARE(compare->summaryLabel()->text(),
             "0 different, 0 only in this file, 0 only in the other file");

    window.tabs()->setCurrentWidget(window.allSettingsView());
    QVERIFY(setValue(window, kMaxProcessors, "3"));
    window.requestDeletion(findNode(window, u"Global/Statistics"));
    compare->finishComparison();
    window.tabs()->setCurrentWidget(compare);
    QCOMPARE(compare->summaryLabel()->text(),
             "1 different, 0 only in this file, 0 only in the other file (46 more hidden as "
             "statistics, window state or generated lists)");
    window.tabs()->setCurrentWidget(cleanup);
    QCOMPARE(cleanup->statusLabel()->text(), "1 entry queued for deletion");
}

// The menu entry opens the Health check page and runs it; its findings count in the tab.
void TestMainWindow::healthCheckAction()
{
    {
        MainWindow empty;
        empty.onHealthCheck();
        QCOMPARE(Dialogs::lastShown().text, QString("Open a settings file first."));
    }
    QVERIFY(writeFile(configFile(), smallSettings()));
    MainWindow window;
    QVERIFY(showActive(window));
    QTabBar *bar = window.tabs()->tabBar();
    const int health = window.tabs()->indexOf(window.healthView());
    const QRect next = bar->tabRect(health + 1);
    window.onHealthCheck();
    QCOMPARE(window.tabs()->currentWidget(), window.healthView());
    window.healthView()->finishCheck();
    int counted = 0;
    for (const Finding &finding : window.healthView()->findings())
        counted += finding.severity != Severity::Note ? 1 : 0;
    QVERIFY(counted > 0);
    QCOMPARE(bar->accessibleTabName(health), QString("Health check (%1)").arg(counted));
    // The count comes in room the tab kept for it: the tabs after it stay where they were.
    QCOMPARE(bar->tabRect(health + 1), next);
}

void TestMainWindow::menuCommands_data()
{
    QTest::addColumn<QString>("entry");
    QTest::addColumn<QString>("title");
    QTest::newRow("find module") << QString("Find &module data...") << QString("Find module data");
    QTest::newRow("unused") << QString("&Unused module data") << QString("Unused module data");
    QTest::newRow("health check") << QString("Run &health check") << QString("Health check");
    QTest::newRow("updates") << QString("Installed &updates...") << QString("Installed updates");
}

// Each File menu entry reaches its own command: without a file each says so in its own box.
void TestMainWindow::menuCommands()
{
    QFETCH(QString, entry);
    QFETCH(QString, title);
    MainWindow window;
    QAction *action = menuAction(window, "&File", entry);
    QVERIFY(action);
    action->trigger();
    QCOMPARE(Dialogs::shown().size(), 1);
    QCOMPARE(Dialogs::lastShown().title, title);
}

void TestMainWindow::taskPagePlugsIn()
{
    QVERIFY(writeFile(configFile(), smallSettings()));
    MainWindow window;
    auto *page = new RecordingPage;
    window.addTaskPage(page, QStringLiteral("Recorder"), MainWindow::PageMessages::Refusals);
    const int tabs = window.tabs()->count();
    QCOMPARE(window.tabs()->tabText(tabs - 2), QString("Recorder"));
    QCOMPARE(window.tabs()->tabText(tabs - 1), QString("All settings (advanced)"));
    QCOMPARE(page->documents.last(), &const_cast<XsdtDocument &>(window.store().document));

    emit page->message(QStringLiteral("Gamma: too big"));
    QCOMPARE(statusText(window), QString("Not accepted - Gamma: too big"));
    auto *notices = new RecordingPage;
    window.addTaskPage(notices, QStringLiteral("Notices"), MainWindow::PageMessages::Notices);
    emit notices->message(QStringLiteral("3 rows copied."));
    QCOMPARE(statusText(window), QString("3 rows copied."));
    XsdtNode *stats = findNode(window, u"Global/Statistics");
    emit page->deleteRequested(stats);
    QVERIFY(stats->pendingDelete);
    emit page->restoreRequested(stats);
    QVERIFY(!stats->pendingDelete);
    emit page->revealRequested(stats);
    QCOMPARE(window.model()->nodeForIndex(window.allSettingsView()->tree()->toSource(
                 window.allSettingsView()->tree()->currentIndex())),
             stats);

    m_fakePids = {4242};
    window.pollEnvironment();
    QCOMPARE(page->viewOnlyStates.last(), true);
    m_fakePids.clear();
    window.pollEnvironment();
    QCOMPARE(page->viewOnlyStates.last(), false);

    // Detached before a save with deletions, attached again afterwards.
    window.requestDeletion(stats);
    page->documents.clear();
    acceptNextDialog();
    QVERIFY(window.onSave());
    QCOMPARE(page->documents, (QList<XsdtDocument *>{
                                  nullptr, &const_cast<XsdtDocument &>(window.store().document)}));
}

void TestMainWindow::leftoverFilesAfterSave_data()
{
    QTest::addColumn<bool>("edit");
    QTest::newRow("only the file") << false;
    QTest::newRow("with an edit") << true;
}

// A queued module file goes right after the settings were written, or alone without writing
// them, and the status bar says so.
void TestMainWindow::leftoverFilesAfterSave()
{
    QFETCH(bool, edit);
    const QString path = configFile();
    const QByteArray original = smallSettings(3, true);
    QVERIFY(writeFile(path, original));
    XsdtDocument parsed;
    QVERIFY(parsed.parse(original) && !unusedModuleData(parsed).isEmpty());
    const QString module =
        m_home.path() + "/PixInsight/bin/" + unusedModuleData(parsed).first().name + "-pxm.so";
    QVERIFY(QDir().mkpath(QFileInfo(module).path()) && writeFile(module, "x"));
    MainWindow window;
    UnusedModulesView *page = window.unusedModulesView();
    page->expandModule(page->cards().front().name);
    page->cards().front().itemTicks.value(0)->setChecked(true);
    Dialogs::setNextAnswer(QMessageBox::Yes);
    page->queueTicked();
    QCOMPARE(window.pendingCount(), 1);
    if (edit)
        QVERIFY(setValue(window, kMaxProcessors, "6"));
    QString reviewed;
    Dialogs::setNextDialogHandler([&](QDialog *dialog) {
        reviewed = static_cast<ReviewDialog *>(dialog)->leftoverText()->toPlainText();
        return int(QDialog::Accepted);
    });
    QVERIFY(window.onSave());
    QVERIFY(reviewed.contains(QDir::toNativeSeparators(module)));
    QVERIFY(!QFileInfo::exists(module));
    QCOMPARE(page->queuedFileCount(), 0);
    const QStringList backups = listBackups(path);
    QCOMPARE(backups.size(), edit ? 1 : 0);
    if (!edit)
        QCOMPARE(readFile(path), original);
    // The backup's name comes last, where no sentence runs on from it.
    const QString deleted = QStringLiteral("Deleted 1 file or folder from disk.");
    QCOMPARE(statusText(window),
             edit ? "Saved. " + deleted + " Backup: " + QFileInfo(backups.value(0)).fileName()
                  : deleted);
}

void TestMainWindow::fileComboChoices()
{
    QVERIFY(writeFile(configFile(1), smallSettings(3)));
    QVERIFY(writeFile(configFile(2), smallSettings(4)));
    MainWindow window;
    QComboBox *combo = window.fileCombo();
    QCOMPARE(combo->count(), 2);

    // The open file again: nothing happens.
    Dialogs::clearShown();
    combo->setCurrentIndex(0);
    emit combo->activated(0);
    QVERIFY(Dialogs::shown().isEmpty());

    // Unsaved changes: Cancel stays, Save writes them first, Discard drops them.
    QVERIFY(setValue(window, kMaxProcessors, "11"));
    combo->setCurrentIndex(1);
    emit combo->activated(1); // Cancel
    QCOMPARE(Dialogs::lastShown().text,
             QString("You have 1 unsaved change. Save it before opening another file?"));
    QCOMPARE(Dialogs::lastShown().defaultButton, QMessageBox::Save);
    QCOMPARE(combo->currentIndex(), 0);
    QCOMPARE(window.store().path, configFile(1));
    Dialogs::setNextAnswer(QMessageBox::Save);
    acceptNextDialog();
    DocumentManager::setWorkerThreshold(0); // saved on the worker, as a large file is
    combo->setCurrentIndex(1);
    emit combo->activated(1);
    QTRY_COMPARE(window.store().path, configFile(2));
    DocumentManager::setWorkerThreshold(qint64(1) << 40);
    QCOMPARE(combo->currentIndex(), 1);
    XsdtDocument saved;
    QVERIFY(saved.parse(readFile(configFile(1))));
    QCOMPARE(saved.findPath(kMaxProcessors)->value, QString("11"));

    // Browse opens any file and lists it.
    const QByteArray second = readFile(configFile(2));
    QVERIFY(setValue(window, kMaxProcessors, "12"));
    const QString elsewhere = m_home.filePath(QStringLiteral("copy.settings"));
    QVERIFY(writeFile(elsewhere, smallSettings(5)));
    Dialogs::setNextAnswer(QMessageBox::Discard);
    Dialogs::setNextFileName(elsewhere);
    window.onOpen();
    QCOMPARE(readFile(configFile(2)), second);
    const Dialogs::Record open = Dialogs::lastShown();
    QCOMPARE(open.title, QString("Open PixInsight settings file"));
    QCOMPARE(open.filter, QString("PixInsight settings (*.settings);;All files (*)"));
    QCOMPARE(open.directory, QFileInfo(configFile(2)).absolutePath());
    QCOMPARE(window.store().path, elsewhere);
    QCOMPARE(combo->count(), 3);
    QCOMPARE(combo->currentData().toString(), elsewhere);

    // While a file is read on the worker, the row names it and Preferences says it is read.
    QSemaphore gate;
    const auto restore = holdWorker(gate);
    combo->setCurrentIndex(0);
    emit combo->activated(0);
    QTRY_COMPARE(combo->currentData().toString(), configFile(1));
    auto *preferences = window.findChild<PreferencesView *>();
    QVERIFY(preferences->stack()->currentWidget() == preferences->emptyLabel());
    QCOMPARE(preferences->emptyLabel()->text(),
             "Loading " + QFileInfo(configFile(1)).fileName() + "…");
    gate.release();
    QTRY_COMPARE(window.store().path, configFile(1));
    QCOMPARE(combo->currentData().toString(), configFile(1));
    QVERIFY(preferences->stack()->currentWidget() != preferences->emptyLabel());
}

void TestMainWindow::themeAndTextSize()
{
    QVERIFY(writeFile(configFile(), readFile(VARNEL_DEMO_FILE)));
    MainWindow window;
    ThemeManager *theme = ThemeManager::instance();
    theme->setFontScale(1.25, false);
    theme->setTheme(ThemeManager::Light, false);
    theme->setFontScale(1.5, false);
    QCOMPARE(statusText(window), QString("Text size 120%"));
    theme->setFontScale(1.25, false);
    QCOMPARE(statusText(window), QString("Text size 100%"));
    window.statusBar()->clearMessage();
    // At the default size every page fits a 1024 x 700 screen.
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QSize toolbar = window.actions()->toolbar->sizeHint();
    QVERIFY(window.layout()->minimumSize().boundedTo({1024, 700}) ==
            window.layout()->minimumSize());
    window.resize(1024, 700);
    for (int i = 0; i < window.tabs()->count(); ++i) {
        window.tabs()->setCurrentIndex(i);
        QCoreApplication::processEvents();
        const auto *scroll = window.tabs()->widget(i)->findChild<QScrollArea *>(
            "pageScroll", Qt::FindDirectChildrenOnly);
        QVERIFY2(!scroll || (!scroll->verticalScrollBar()->isVisible() &&
                             !scroll->horizontalScrollBar()->isVisible()),
                 qPrintable(window.tabs()->tabText(i)));
    }
    // At 176 % boxes and toolbar icons grow with the text, the window stays on the screen and
    // every tab title can be brought into view whole.
    const int indicator = window.style()->pixelMetric(QStyle::PM_IndicatorWidth);
    const int icon18 = window.actions()->toolbar->iconSize().width();
    const QRect room = window.screen()->availableGeometry();
    window.resize(room.size() / 2);
    theme->setFontScale(2.2, false);
    QCoreApplication::processEvents();
    QVERIFY(window.style()->pixelMetric(QStyle::PM_IndicatorWidth) >= indicator * 2.2 / 1.25 - 1);
    QVERIFY(window.actions()->toolbar->iconSize().width() >= icon18 * 2.2 / 1.25 - 1);
    QTRY_VERIFY(room.contains(QRect(room.topLeft(), window.frameGeometry().size())));
    QTabBar *bar = window.tabs()->tabBar();
    for (int i = 0; i < bar->count(); ++i) {
        bar->setCurrentIndex(i);
        const QRect tab = bar->tabRect(i);
        const QString title = bar->tabText(i);
        QVERIFY2(tab.left() >= 0 && tab.right() < bar->width(), qPrintable(title));
        QVERIFY2(tab.width() > bar->fontMetrics().horizontalAdvance(title), qPrintable(title));
        // The page fits a 1024 pixel screen: what does not fit scrolls or wraps.
        QWidget *page = window.tabs()->widget(i);
        QVERIFY2(page == compareView(window) || page->minimumSizeHint().width() <= 1000,
                 qPrintable(title));
    }
    // On a 1024 x 700 screen nothing on a page is drawn smaller than it needs, over its
    // neighbours: the page scrolls instead.
    window.resize(1024, 700);
    for (int i = 0; i < bar->count(); ++i) {
        window.tabs()->setCurrentIndex(i);
        QCoreApplication::processEvents();
        QWidget *page = window.tabs()->widget(i);
        for (const QWidget *part : page->findChildren<QWidget *>()) {
            if (page == compareView(window) || !part->isVisibleTo(page) ||
                !part->parentWidget()->layout())
                continue;
            const int least = qMin(part->minimumSizeHint().height(), part->maximumHeight());
            QVERIFY2(part->height() >= least,
                     qPrintable(bar->tabText(i) + ": " + part->metaObject()->className()));
        }
    }
    // Back at the default size the toolbar is as small as it was.
    theme->setFontScale(1.25, false);
    QCoreApplication::processEvents();
    QCOMPARE(window.actions()->toolbar->sizeHint(), toolbar);
    window.statusBar()->clearMessage();
    theme->setTheme(ThemeManager::Dark, false);
    QVERIFY(statusText(window).isEmpty());
    // The toolbar's icons follow the palette.
    const QIcon icon = window.saveAction()->icon();
    QVERIFY(!icon.isNull());
    const QImage image = icon.pixmap(18, 18).toImage();
    bool light = false;
    for (int y = 0; y < image.height() && !light; ++y)
        for (int x = 0; x < image.width() && !light; ++x)
            light = qAlpha(image.pixel(x, y)) > 200 && qGray(image.pixel(x, y)) > 180;
    QVERIFY(light);
    theme->setTheme(ThemeManager::Light, false);
}

void TestMainWindow::windowComesBackOnScreen()
{
    MainWindow window;
    window.show();
    QVERIFY(QTest::qWaitForWindowExposed(&window));
    const QRect available = QGuiApplication::primaryScreen()->availableGeometry();
    window.move(available.right() + 500, available.bottom() + 500);
    ensureOnScreen(&window);
    const QRect frame = window.frameGeometry();
    QVERIFY(available.intersects(frame));
    QVERIFY(frame.left() >= available.left());
    QVERIFY(frame.top() >= available.top());
    QVERIFY(window.height() <= available.height() - 60 ||
            window.minimumHeight() > available.height() - 60);
}

void TestMainWindow::userGuide()
{
    MainWindow window;
    QUrl opened;
    Dialogs::setUrlOpener([&](const QUrl &url) {
        opened = url;
        return true;
    });
    window.actions()->userGuide->trigger();
    const auto *guide = window.findChild<QDialog *>("userGuide");
    QTextBrowser *browser = guide ? guide->findChild<QTextBrowser *>() : nullptr;
    QVERIFY(browser && browser->isVisible());
    QCOMPARE(browser->documentTitle(), "Varnel - User Guide");
    QVERIFY(browser->toPlainText().contains("Getting started"));
    QVERIFY(opened.isEmpty()); // shown here, no file handed to the desktop
    // Links to the outside still open in the desktop's browser.
    emit browser->anchorClicked(QUrl("https://varnelhaus.org/modules/"));
    QCOMPARE(opened, QUrl("https://varnelhaus.org/modules/"));
    window.actions()->userGuide->trigger();
    QCOMPARE(window.findChildren<QTextBrowser *>().size(), 1);
}

void TestMainWindow::commandLine()
{
    QCOMPARE(themeFromOption(QStringLiteral("DARK")), int(ThemeManager::Dark));
    QCOMPARE(themeFromOption(QStringLiteral("Light")), int(ThemeManager::Light));
    QCOMPARE(themeFromOption(QStringLiteral("solarized")), int(ThemeManager::FollowSystem));

    const QString program = QStringLiteral(VARNEL_PROGRAM);
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
    auto run = [&](const QStringList &args, const QProcessEnvironment &environment) {
        QProcess process;
        process.setProcessEnvironment(environment);
        process.start(program, args);
        process.waitForFinished(20000);
        return qMakePair(process.exitCode(),
                         QString::fromLocal8Bit(process.readAllStandardOutput() +
                                                process.readAllStandardError()));
    };
    // A helper switch anywhere but first is an unknown editor option.
    auto result = run({QStringLiteral("--theme"), QStringLiteral("dark"),
                       QStringLiteral("--installed-updates-helper")},
                      env);
    QCOMPARE(result.first, 1);
    QVERIFY2(result.second.contains(QLatin1String("Unknown option 'installed-updates-helper'")),
             qPrintable(result.second));
    // First, it is a helper call: an unknown verb is a malformed command line.
    result = run({QStringLiteral("--leftovers-helper"), QStringLiteral("erase"),
                  QStringLiteral("file:Kestrane")},
                 env);
    QCOMPARE(result.first, 6);
    result = run({QStringLiteral("--version")}, env);
    QCOMPARE(result.first, 0);
    // No display at all: a clear message instead of a crash.
    QProcessEnvironment bare = env;
    bare.remove(QStringLiteral("QT_QPA_PLATFORM"));
    bare.remove(QStringLiteral("DISPLAY"));
    bare.remove(QStringLiteral("WAYLAND_DISPLAY"));
    result = run({}, bare);
    QCOMPARE(result.first, 1);
    QVERIFY(result.second.contains(QLatin1String("no display is available")));
    // Help and version answer anywhere, under the program's own name.
    result = run({QStringLiteral("--version")}, bare);
    QCOMPARE(result, qMakePair(0, QString("Varnel 0.1.3\n")));
    result = run({QStringLiteral("--help")}, bare);
    QCOMPARE(result.first, 0);
    QVERIFY2(result.second.startsWith("Usage: varnel [options] file"), qPrintable(result.second));
    result = run({QStringLiteral("--theme"), QStringLiteral("purple")}, env);
    QCOMPARE(result, qMakePair(1, QString("Unknown theme 'purple'. Use light, dark or system.\n")));
    result = run({"--theme", "dark", "--theme", "light"}, env);
    QCOMPARE(result,
             qMakePair(1, QString("--theme is given more than once; it takes one value.\n")));
    // Pictures of a file that cannot be read: no box waits for an answer, the run ends saying why.
    const QString missing = m_home.filePath(QStringLiteral("missing.settings"));
    result = run(
        {QStringLiteral("--screenshots"), m_home.filePath(QStringLiteral("shots")), missing}, env);
    QCOMPARE(result.first, 1);
    QVERIFY2(result.second.contains(missing) &&
                 result.second.endsWith("\nNo pictures were made.\n"),
             qPrintable(result.second));
}

// File > Import...: paths moved to this computer's home, every value one undo step, ending in the
// review; a file with a problem changes nothing and says what.
void TestMainWindow::importSetup()
{
    QVERIFY(writeFile(configFile(), smallSettings()));
    MainWindow window;
    const QString folder = QStringLiteral("Global/FileDialogs/OpenDirectory");
    const QString before = findNode(window, folder)->value;
    auto setupFile = [&](const QString &lastPath) {
        const QString path = m_home.filePath(QStringLiteral("setup.json"));
        writeFile(path, QStringLiteral(R"({"format": "varnel-preferences", "version": 1, "values": [
            {"path": "%1", "type": "s", "value": "/home/old/Lights"},
            {"path": "%2", "type": "i", "value": "3"}]})")
                            .arg(folder, lastPath)
                            .toUtf8());
        Dialogs::setNextFileName(path);
    };
    QStringList suggested;
    QString folders;
    int reviewed = -1;
    Dialogs::setNextDialogHandler([&](QDialog *dialog) {
        suggested = qobject_cast<ImportMapDialog *>(dialog)->mappings();
        folders = qobject_cast<ImportMapDialog *>(dialog)->foldersLabel()->text();
        Dialogs::setNextDialogHandler([&](QDialog *review) {
            reviewed = qobject_cast<ReviewDialog *>(review)->tree()->model()->rowCount();
            return int(QDialog::Rejected);
        });
        return int(QDialog::Accepted);
    });
    setupFile(kMaxProcessors);
    menuAction(window, "&File", "&Import...")->trigger();
    QCOMPARE(suggested, QStringList{"/home/old=" + QDir::homePath()});
    QCOMPARE(folders, QString("Its paths begin with: /home/old (1 path)."));
    QCOMPARE(reviewed, 2);
    QCOMPARE(findNode(window, folder)->value, QDir::homePath() + "/Lights");
    QCOMPARE(findNode(window, kMaxProcessors)->value, QString("3"));
    window.model()->undo();
    QCOMPARE(findNode(window, folder)->value, before);
    QCOMPARE(window.store().document.pendingChangeCount(), 0);

    acceptNextDialog();
    setupFile(QStringLiteral("Global/Nope"));
    menuAction(window, "&File", "&Import...")->trigger();
    QCOMPARE(Dialogs::lastShown().text,
             "1 problem in " + m_home.filePath("setup.json") + "; nothing was imported.");
    QVERIFY2(Dialogs::lastShown().informativeText.startsWith("Global/Nope: No such setting in "),
             qPrintable(Dialogs::lastShown().informativeText));
    QCOMPARE(window.store().document.pendingChangeCount(), 0);

    // Asked for (it is not by default), the missing setting is created: one more change.
    bool offByDefault = false;
    Dialogs::setNextDialogHandler([&](QDialog *dialog) {
        auto *mapping = qobject_cast<ImportMapDialog *>(dialog);
        offByDefault = !mapping->addMissing();
        mapping->addMissingBox()->setChecked(true);
        Dialogs::setNextDialogHandler([](QDialog *) { return int(QDialog::Rejected); });
        return int(QDialog::Accepted);
    });
    setupFile(QStringLiteral("Global/Nope"));
    menuAction(window, "&File", "&Import...")->trigger();
    QVERIFY(offByDefault);
    const XsdtNode *created = findNode(window, QStringLiteral("Global/Nope"));
    QVERIFY(created);
    QCOMPARE(created->value, QString("3"));
    QCOMPARE(window.store().document.pendingChangeCount(), 2);

    // A large setup is read, then checked, on the worker: the window says so, takes no edits
    // meanwhile and queues the values only once they were checked.
    window.model()->undo();
    QSemaphore gate;
    const auto restore = holdWorker(gate);
    Dialogs::setNextDialogHandler([](QDialog *) {
        Dialogs::setNextDialogHandler([](QDialog *) { return int(QDialog::Rejected); });
        return int(QDialog::Accepted);
    });
    setupFile(kMaxProcessors);
    menuAction(window, "&File", "&Import...")->trigger();
    QCOMPARE(window.busyLabel()->text(), QString("Reading setup.json…"));
    const QModelIndex maxProcessors =
        window.model()->indexForNode(findNode(window, kMaxProcessors), 1);
    QVERIFY(!window.model()->setData(maxProcessors, QStringLiteral("6")));
    gate.release();
    QTRY_COMPARE(window.busyLabel()->text(), QString("Checking setup.json…"));
    QVERIFY(!window.model()->setData(maxProcessors, QStringLiteral("6")));
    QCOMPARE(window.store().document.pendingChangeCount(), 0);
    gate.release();
    QTRY_VERIFY(!window.documents().isBusy());
    QCOMPARE(findNode(window, kMaxProcessors)->value, QString("3"));
    QCOMPARE(window.store().document.pendingChangeCount(), 2);

    // Either step offers Cancel while the worker has it; a cancelled import asks and changes
    // nothing.
    window.model()->undo();
    for (const QString step : {"Reading setup.json…", "Checking setup.json…"}) {
        int asked = 0;
        Dialogs::setNextDialogHandler([&](QDialog *) {
            ++asked;
            Dialogs::setNextDialogHandler([&](QDialog *) { return ++asked; });
            return int(QDialog::Accepted);
        });
        setupFile(kMaxProcessors);
        menuAction(window, "&File", "&Import...")->trigger();
        if (step.startsWith("Checking"))
            gate.release();
        QTRY_COMPARE(window.busyLabel()->text(), step);
        auto *progress = window.findChild<QProgressDialog *>();
        QVERIFY(progress && progress->isVisible());
        QCOMPARE(progress->labelText(), step);
        progress->findChild<QPushButton *>()->click();
        gate.release();
        QTRY_VERIFY(!window.documents().isBusy());
        QTRY_VERIFY(!window.findChild<QProgressDialog *>());
        QCOMPARE(asked, step.startsWith("Checking") ? 1 : 0);
        QCOMPARE(window.store().document.pendingChangeCount(), 0);
        QCOMPARE(Dialogs::lastShown().kind,
                 step.startsWith("Checking") ? Dialogs::Kind::Dialog : Dialogs::Kind::OpenFile);
    }
}

// File > Export... of a large file on the worker: the unsaved value goes out, no edit is taken
// meanwhile, and Cancel leaves no file behind.
void TestMainWindow::exportOnWorker()
{
    QVERIFY(writeFile(configFile(), smallSettings()));
    MainWindow window;
    QVERIFY(setValue(window, kMaxProcessors, QStringLiteral("6")));
    QSemaphore gate;
    const auto restore = holdWorker(gate);
    const QString path = m_home.filePath(QStringLiteral("out.json"));
    for (const bool cancel : {true, false}) {
        acceptNextDialog();
        Dialogs::setNextFileName(path);
        menuAction(window, "&File", "E&xport...")->trigger();
        QCOMPARE(window.busyLabel()->text(), QString("Listing modules…"));
        gate.release(); // the names it offers are gathered on the worker too
        QTRY_COMPARE(window.busyLabel()->text(), QString("Exporting to out.json…"));
        QVERIFY(!setValue(window, kMaxProcessors, QStringLiteral("7")));
        auto *progress = window.findChild<QProgressDialog *>();
        QVERIFY(progress && progress->isVisible());
        if (cancel)
            progress->findChild<QPushButton *>()->click();
        gate.release();
        QTRY_VERIFY(!window.documents().isBusy());
        QCOMPARE(QFile::exists(path), !cancel);
    }
    SetupFile setup;
    QVERIFY(readSetupFile(readFile(path), &setup, nullptr));
    const auto exported =
        std::find_if(setup.values.cbegin(), setup.values.cend(),
                     [](const SetupValue &v) { return v.path == kMaxProcessors; });
    QVERIFY(exported != setup.values.cend());
    QCOMPARE(exported->value, QString("6"));
}

// A save on the worker: the window says so and takes no edits until it is back.
void TestMainWindow::saveOnWorker()
{
    QVERIFY(writeFile(configFile(), smallSettings()));
    MainWindow window;
    const QModelIndex value = window.model()->indexForNode(findNode(window, kMaxProcessors), 1);
    QVERIFY(window.model()->setData(value, QStringLiteral("6")));
    QSemaphore gate;
    const auto restore = holdWorker(gate);
    acceptNextDialog();
    QSignalSpy saved(&window.documents(), &DocumentManager::saved);
    // A save is no edit: Compare would compare again and the health page call itself stale.
    QSignalSpy edits(window.model(), &SettingsModel::edited);
    QSignalSpy resumed(window.model(), &SettingsModel::resumeWork);
    window.saveAction()->trigger();
    QCOMPARE(window.busyLabel()->text(), QString("Saving…"));
    QCOMPARE(statusText(window), QString());
    QCOMPARE(window.banner()->text(), QString("Saving…"));
    QVERIFY(!window.model()->setData(value, QStringLiteral("7")));
    QCOMPARE(
        window.model()->whyNotEditable(window.model()->nodeForIndex(value)),
        QString("The file is being read or saved; nothing can be changed until that is done."));
    gate.release();
    QVERIFY(saved.wait());
    QVERIFY(statusText(window).startsWith("Saved. Backup: "));
    QCOMPARE(edits.count(), 0);
    QCOMPARE(resumed.count(), 1);
    QVERIFY(window.model()->setData(value, QStringLiteral("7")));
}

// A reload keeping changes holds them: opening another file waits, closing asks after it.
void TestMainWindow::reloadKeepHoldsChanges()
{
    QVERIFY(writeFile(configFile(), smallSettings()));
    MainWindow window;
    QVERIFY(window.model()->setData(
        window.model()->indexForNode(findNode(window, kMaxProcessors), 1), QStringLiteral("6")));
    QVERIFY(writeFile(configFile(), smallSettings() + '\n'));
    window.pollEnvironment();
    QSemaphore gate;
    const auto restore = holdWorker(gate);
    window.reloadKeepAction()->trigger();
    gate.release(); // the file reads: it is read into the document, which is not loaded meanwhile
    QTRY_VERIFY(!window.store().loaded);
    window.actions()->open->trigger();
    QCOMPARE(Dialogs::lastShown().text, QString("Your changes are being made again on the file "
                                                "just read. Try again when that is done."));
    QVERIFY(!window.close());
    Dialogs::setNextAnswer(QMessageBox::Cancel);
    gate.release(10);
    QTRY_COMPARE(Dialogs::lastShown().title, QString("Unsaved changes"));
    QCOMPARE(window.store().document.findPath(kMaxProcessors)->value, QString("6"));
}

void TestMainWindow::historyPage_data()
{
    QTest::addColumn<QString>("action");
    QTest::newRow("a version against the one before it") << "since";
    QTest::newRow("a damaged version offers the good one before it") << "damaged";
    QTest::newRow("a value copied from a version, as one undo step") << "copy";
    QTest::newRow("a whole version restored, with a backup") << "restore";
    QTest::newRow("a version pinned and let go again") << "pin";
    QTest::newRow("an entry of the open file taken out again") << "taken out";
    QTest::newRow("compared without the memory only when the user says so") << "no memory";
}

// Three versions: the file as PixInsight wrote it, a save with one value changed (the file as
// it is now), and a write cut short.
void TestMainWindow::historyPage()
{
    QFETCH(QString, action);
    const QString path = configFile();
    const QByteArray first = smallSettings();
    XsdtDocument edited;
    QVERIFY(edited.parse(first));
    const QString firstValue = edited.findPath(kMaxProcessors)->value;
    edited.findPath(kMaxProcessors)->value = firstValue + "1";
    const QByteArray second = edited.serialize();
    QVERIFY(writeFile(path, second));
    HistoryStore store;
    QVERIFY(store.open(path));
    const qint64 older = HistoryRecorder::recordAndCount(store, first, VersionAuthor::PixInsight);
    const qint64 saved = HistoryRecorder::recordAndCount(store, second, VersionAuthor::Varnel);
    const qint64 cut = HistoryRecorder::recordAndCount(store, second.left(second.size() / 2),
                                                       VersionAuthor::PixInsight);
    QVERIFY(older && saved && cut);

    MainWindow window;
    QVERIFY(showActive(window));
    auto *page = window.findChild<HistoryView *>();
    window.findChild<QTabWidget *>()->setCurrentWidget(page);
    QAbstractItemModel *versions = page->timeline()->model();
    QCOMPARE(versions->rowCount(), 3);
    QCOMPARE(versions->index(0, 0).data(Qt::UserRole).toLongLong(), cut);
    QCOMPARE(versions->index(1, 3).data().toString(), QString("1"));
    auto shownId = [&] { return page->timeline()->currentIndex().data(Qt::UserRole).toLongLong(); };
    const Comparison *comparison = page->browser()->comparison();

    if (action == "damaged") {
        page->showVersion(cut);
        QVERIFY(page->problemLabel()->text().startsWith(
            "Version 3 did not read as a settings file when it was written: "));
        QVERIFY(!page->restoreButton()->isEnabled());
        QVERIFY(page->goodVersionButton()->isVisible());
        page->goodVersionButton()->click();
        page->finishComparison();
        QCOMPARE(shownId(), saved);
        QVERIFY(page->problemLabel()->isHidden());
        return;
    }
    if (action == "no memory") {
        MemoryFit::setSource([] { return qint64(1); });
        const auto freeAgain = qScopeGuard([] { MemoryFit::setSource({}); });
        page->showVersion(saved);
        QCOMPARE(Dialogs::lastShown().title, QStringLiteral("Not enough memory"));
        QCOMPARE(page->problemLabel()->text(), QString("Version %1 was not compared.").arg(saved));
        QVERIFY(!page->browser()->isRunning() && !comparison->hasOther());
        // Out of sight, the page asks only once it is shown again.
        auto *tabs = window.findChild<QTabWidget *>();
        tabs->setCurrentIndex(0);
        Dialogs::clearShown();
        page->againstChooser()->setCurrentIndex(1);
        QVERIFY(Dialogs::shown().isEmpty());
        Dialogs::setNextAnswer(QMessageBox::Yes);
        tabs->setCurrentWidget(page);
        QCOMPARE(Dialogs::lastShown().title, QStringLiteral("Not enough memory"));
        page->finishComparison();
        QVERIFY(comparison->hasOther() && page->problemLabel()->isHidden());
        return;
    }
    if (action == "pin") {
        page->showVersion(older);
        QCOMPARE(page->pinButton()->text(), "Pin this version");
        page->pinButton()->click();
        QVERIFY(store.refresh() && store.version(older)->pinned);
        QCOMPARE(versions->index(2, HistoryTimeline::Note).data().toString(), "Pinned");
        QCOMPARE(shownId(), older);
        QCOMPARE(page->pinButton()->accessibleName(), "Unpin this version");
        page->pinButton()->click();
        QVERIFY(store.refresh() && !store.version(older)->pinned);
        QCOMPARE(page->pinButton()->text(), "Pin this version");
        return;
    }
    page->showVersion(action == "since" ? saved : older);
    if (action != "since")
        page->againstChooser()->setCurrentIndex(1);
    page->finishComparison();
    QCOMPARE(comparison->current().size(), size_t(1));
    const DiffRecord &record = comparison->records()[comparison->current().front()];
    QCOMPARE(record.path(), kMaxProcessors);
    QCOMPARE(record.there->value, action == "since" ? firstValue + "1" : firstValue);
    // Of the version read for the page, only the record's entry and the groups holding it stay.
    int entries = 0;
    for (const XsdtNode *n = &comparison->otherDocument()->root; n->children.size() == 1;
         n = n->children.front().get())
        ++entries;
    QCOMPARE(entries, 4);

    if (action == "taken out") {
        // Compared again with an entry added, then the addition undone: the records that
        // pointed at the entry go with it, and the comparison is made again.
        QCOMPARE(window.model()->addValues({NewValue{{"Global", "Added"}, QChar('i'), "1"}}, "add"),
                 1);
        page->againstChooser()->setCurrentIndex(0);
        page->againstChooser()->setCurrentIndex(1);
        page->finishComparison();
        QCOMPARE(comparison->records().size(), 2);
        window.model()->undo();
        QVERIFY(comparison->records().isEmpty());
        QTRY_VERIFY(comparison->records().size() == 1 && !page->browser()->isRunning());
        QCOMPARE(comparison->records().front().path(), kMaxProcessors);
        return;
    }
    if (action == "copy") {
        QVERIFY(!page->copyButton()->isEnabled());
        page->differences()->selectAll();
        QVERIFY(page->copyButton()->isEnabled());
        Dialogs::setNextAnswer(QMessageBox::Yes);
        page->copyButton()->click();
        QCOMPARE(findNode(window, kMaxProcessors)->value, firstValue);
        QCOMPARE(window.model()->undoStack()->count(), 1);
        QCOMPARE(window.pendingCount(), 1);
        page->finishComparison();
        QVERIFY(comparison->current().empty());
        QCOMPARE(readFile(path), second);
    } else if (action == "restore") {
        Dialogs::setNextAnswer(QMessageBox::Yes);
        page->restoreButton()->click();
        page->finishComparison();
        QTRY_COMPARE(readFile(path), first);
        QCOMPARE(Dialogs::lastShown().title, QString("Restore version"));
        QCOMPARE(listBackups(path).size(), 1);
        QCOMPARE(readFile(listBackups(path).constFirst()), second);
        QTRY_VERIFY(store.refresh() && store.newest()->author == VersionAuthor::Restore);
        QTRY_COMPARE(versions->rowCount(), int(store.versions().size()));
    }
}

QTEST_MAIN(TestMainWindow)
#include "tst_mainwindow.moc"
