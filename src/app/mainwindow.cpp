#include "app/mainwindow.h"

#include "app/thememanager.h"
#include "document/xsdtnode.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/builtin.h"
#include "knowledge/leftovers.h"
#include "knowledge/modules.h"
#include "model/reapply.h"
#include "model/settingsmodel.h"
#include "privileged/installedupdates.h"
#include "privileged/leftoverdeletion.h"
#include "views/aboutdialog.h"
#include "views/adbanner.h"
#include "views/allsettingsview.h"
#include "views/backupsdialog.h"
#include "views/cleanupview.h"
#include "views/compareview.h"
#include "views/healthview.h"
#include "views/installedupdatesdialog.h"
#include "views/modulesearchdialog.h"
#include "views/preferencesview.h"
#include "views/reviewdialog.h"
#include "views/searchview.h"
#include "views/taskpage.h"
#include "views/unusedmodulesview.h"
#include "widgets/dialogs.h"
#include "widgets/treefilter.h"
#include "widgets/valuedelegate.h"

#include <QAction>
#include <QApplication>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <QUndoStack>
#include <QUrl>
#include <QVBoxLayout>
#include <QWindow>

#include <cmath>

namespace vrn {

namespace {

QByteArray readResource(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// A busy cursor while a large file is read, checked and written on the GUI thread.
class BusyCursor
{
public:
    BusyCursor() { QApplication::setOverrideCursor(Qt::WaitCursor); }
    ~BusyCursor() { QApplication::restoreOverrideCursor(); }
    BusyCursor(const BusyCursor &) = delete;
    BusyCursor &operator=(const BusyCursor &) = delete;
};

} // namespace

void MainWindow::setUrlOpener(std::function<bool(const QUrl &)> opener)
{
    Dialogs::setUrlOpener(std::move(opener));
}

MainWindow::MainWindow(QWidget *parent, const QString &initialFile)
    : QMainWindow(parent)
{
    // The pages' signals carry node pointers, also across queued connections.
    qRegisterMetaType<XsdtNode *>("vrn::XsdtNode*");
    loadKnowledge();
    m_docs.setPolicy(&m_policy);

    resize(1100, 760);
    updateStatusBarStyle();
    m_model = new SettingsModel(this);
    m_model->setPolicy(&m_policy);
    m_model->setSchema(&m_schema);
    // The window's own handlers and the model's go first, then each page's in tab order.
    connect(&m_docs, &DocumentManager::aboutToReplaceDocument, m_model,
            [this] { m_model->setDocument(nullptr); });
    connect(&m_docs, &DocumentManager::documentReplaced, this, &MainWindow::onDocumentReplaced);
    connect(&m_docs, &DocumentManager::viewOnlyChanged, m_model, &SettingsModel::setViewOnly);
    connect(&m_docs, &DocumentManager::loadFinished, this, &MainWindow::onLoadFinished);
    connect(&m_docs, &DocumentManager::stateChanged, this, &MainWindow::onDocumentStateChanged);
    connect(&m_docs, &DocumentManager::busyChanged, this, [](bool busy) {
        // A busy cursor while a large file is read, checked and written on the GUI thread.
        if (busy)
            QApplication::setOverrideCursor(Qt::WaitCursor);
        else
            QApplication::restoreOverrideCursor();
    });
    m_actions = new WindowActions(this);
    buildCentralWidget();
    connectActions();
    m_docs.setFileQueue({[this] { return m_unusedView->queuedFileCount(); },
                         [this] { return m_unusedView->queuedFiles(); },
                         [this] { return m_unusedView->programFolder(); },
                         [this] { return m_unusedView->settingsFolder(); },
                         [this] { m_unusedView->clearFileQueue(); }});

    ThemeManager *theme = ThemeManager::instance();
    m_lastFontScale = theme->fontScale();
    connect(theme, &ThemeManager::changed, this, &MainWindow::updateStatusBarStyle);
    connect(theme, &ThemeManager::changed, this, &MainWindow::refreshToolbarIcons);
    connect(theme, &ThemeManager::changed, this, &MainWindow::onThemeChanged);
    connect(m_model, &SettingsModel::edited, this, &MainWindow::onEdited);
    connect(m_model, &SettingsModel::editRejected, this, &MainWindow::showRejection);

    m_docs.startPolling(3000);

    const QStringList files = findSettingsFiles();
    if (!initialFile.isEmpty()) {
        loadFile(initialFile);
    } else if (!files.isEmpty()) {
        loadFile(files.constFirst());
    } else {
        refillFileList();
        updateState();
        QStringList folders;
        for (const QString &dir : configDirectories())
            folders.append(native(dir));
        statusBar()->showMessage(
            tr("No PixInsight settings file found in %1. Use Browse to open one.")
                .arg(folders.join(QStringLiteral("; "))));
    }
    pollEnvironment();
    onThemeChanged();
    refreshToolbarIcons();
}

MainWindow::~MainWindow()
{
    // The pages and the model hold node pointers into the manager's document, which dies with
    // this object's members before the widgets. Nothing is left to show on the way out.
    disconnect(&m_docs, nullptr, this, nullptr);
    m_docs.unload();
}

void MainWindow::loadKnowledge()
{
    const BuiltInLoad loaded = loadBuiltInKnowledge(m_schema, m_policy);
    if (!loaded.schemaLoaded)
        Dialogs::warning(this, tr("Settings schema"),
                         tr("The built-in settings descriptions could not be read (%1). Names and "
                            "descriptions will be limited.")
                             .arg(loaded.schemaError));
    if (!loaded.policyLoaded)
        Dialogs::warning(this, tr("Deletion rules"),
                         tr("The built-in deletion rules could not be read (%1). Deleting entries "
                            "is disabled.")
                             .arg(loaded.policyError));
}

void MainWindow::connectActions()
{
    const WindowActions *a = m_actions;
    connect(a->open, &QAction::triggered, this, &MainWindow::onOpen);
    connect(a->reload, &QAction::triggered, this, &MainWindow::onReload);
    connect(a->reloadKeep, &QAction::triggered, this, &MainWindow::onReloadKeepingChanges);
    connect(a->save, &QAction::triggered, this, [this] { onSave(); });
    connect(a->findModule, &QAction::triggered, this, &MainWindow::onFindModule);
    connect(a->healthCheck, &QAction::triggered, this, &MainWindow::onHealthCheck);
    connect(a->restore, &QAction::triggered, this, &MainWindow::onRestoreBackup);
    connect(a->installedUpdates, &QAction::triggered, this, &MainWindow::onInstalledUpdates);
    connect(a->manageBackups, &QAction::triggered, this, &MainWindow::onManageBackups);
    connect(a->quit, &QAction::triggered, this, &MainWindow::close);
    connect(a->unusedModules, &QAction::triggered, this, &MainWindow::onUnusedModules);
    connect(a->revertAll, &QAction::triggered, this, &MainWindow::onRevertAll);
    connect(a->undo, &QAction::triggered, m_model, &SettingsModel::undo);
    connect(a->redo, &QAction::triggered, m_model, &SettingsModel::redo);
    connect(a->expandAll, &QAction::triggered, m_allSettings, &AllSettingsView::expandAll);
    connect(a->collapseAll, &QAction::triggered, m_allSettings, &AllSettingsView::resetExpansion);
    connect(a->userGuide, &QAction::triggered, this, &MainWindow::openUserGuide);
    connect(a->about, &QAction::triggered, this, &MainWindow::onAbout);
    QUndoStack *history = m_model->undoStack();
    for (auto signal : {&QUndoStack::canUndoChanged, &QUndoStack::canRedoChanged})
        connect(history, signal, this, &MainWindow::updateUndoActions);
    for (auto signal : {&QUndoStack::undoTextChanged, &QUndoStack::redoTextChanged})
        connect(history, signal, this, &MainWindow::updateUndoActions);
    connect(a->toolbar, &QToolBar::visibilityChanged, this, [this] {
        if (isVisible())
            updateMinimumWidth();
    });
}

void MainWindow::buildCentralWidget()
{
    auto *central = new QWidget(this);
    auto *layout = new QVBoxLayout(central);
    layout->setContentsMargins(8, 8, 8, 8);

    auto *fileRow = new QHBoxLayout;
    fileRow->addWidget(new QLabel(tr("File:"), central));
    m_fileCombo = new QComboBox(central);
    m_fileCombo->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    fileRow->addWidget(m_fileCombo, 1);
    auto *browse = new QPushButton(tr("Browse..."), central);
    connect(browse, &QPushButton::clicked, this, &MainWindow::onOpen);
    fileRow->addWidget(browse);
    layout->addLayout(fileRow);
    connect(m_fileCombo, &QComboBox::activated, this, &MainWindow::onFileActivated);

    auto *bannerRow = new QHBoxLayout;
    m_banner = new QLabel(central);
    m_banner->setWordWrap(true);
    m_banner->setMargin(8);
    m_banner->setTextFormat(Qt::RichText);
    m_banner->setAutoFillBackground(true);
    m_banner->hide();
    bannerRow->addWidget(m_banner, 1);
    m_bannerReload = new QPushButton(tr("Reload"), central);
    m_bannerReload->hide();
    connect(m_bannerReload, &QPushButton::clicked, this, &MainWindow::onReload);
    bannerRow->addWidget(m_bannerReload, 0, Qt::AlignVCenter);
    m_bannerReloadKeep = new QPushButton(tr("Reload and keep my changes"), central);
    m_bannerReloadKeep->hide();
    connect(m_bannerReloadKeep, &QPushButton::clicked, this, &MainWindow::onReloadKeepingChanges);
    bannerRow->addWidget(m_bannerReloadKeep, 0, Qt::AlignVCenter);
    layout->addLayout(bannerRow);

    m_tabs = new QTabWidget(central);
    // Whole titles at every text size: the window's minimum width makes room for them
    // instead of cutting them short or scrolling the first ones out of sight.
    m_tabs->setElideMode(Qt::ElideNone);
    m_tabs->setUsesScrollButtons(false);
    m_allSettings = new AllSettingsView(m_model, m_tabs);
    m_tabs->addTab(m_allSettings, tr("All settings (advanced)"));
    wirePage(m_allSettings, PageMessages::Notices);
    connect(m_allSettings, &AllSettingsView::editRejected, this, &MainWindow::showRejection);
    layout->addWidget(m_tabs, 1);

    auto *line = new QFrame(central);
    line->setFrameShape(QFrame::HLine);
    line->setFrameShadow(QFrame::Sunken);
    layout->addWidget(line);
    m_adBanner = new AdBanner(QStandardPaths::writableLocation(QStandardPaths::CacheLocation) +
                                  QStringLiteral("/ads"),
                              central);
    layout->addWidget(m_adBanner);
    setCentralWidget(central);

    // Task pages in tab order; each goes before the advanced tree.
    m_preferences = new PreferencesView(m_model, &m_schema, m_tabs);
    addTaskPage(m_preferences, tr("Preferences"), PageMessages::Refusals);
    m_search = new SearchView(m_model, &m_schema, m_tabs);
    addTaskPage(m_search, tr("Search"), PageMessages::Refusals);
    m_cleanup = new CleanupView(m_model, m_tabs);
    addTaskPage(m_cleanup, tr("Cleanup"), PageMessages::Notices);
    m_unusedView = new UnusedModulesView(m_model, &m_schema, m_tabs);
    addTaskPage(m_unusedView, tr("Unused modules"), PageMessages::LongNotices);
    connect(m_unusedView, &UnusedModulesView::queueChanged, this, &MainWindow::updateState);
    m_health = new HealthView(m_model, &m_schema, m_tabs);
    addTaskPage(m_health, tr("Health check"), PageMessages::Refusals);
    connect(m_health, &HealthView::openUnusedModules, this, &MainWindow::onUnusedModules);
    connect(m_health, &HealthView::summaryChanged, this, [this](int problems, int warnings) {
        const int count = problems + warnings;
        m_tabs->setTabText(m_tabs->indexOf(m_health),
                           count >= 1 ? tr("Health check (%1)").arg(count) : tr("Health check"));
    });
    m_compare = new CompareView(m_model, m_tabs);
    m_compare->setEditedPathSource([this] { return m_store.loaded ? m_store.path : QString(); });
    addTaskPage(m_compare, tr("Compare"), PageMessages::Notices);
    m_tabs->setCurrentWidget(m_preferences);

    auto *find = new QShortcut(QKeySequence::Find, this);
    find->setContext(Qt::WindowShortcut);
    connect(find, &QShortcut::activated, this, [this] {
        m_tabs->setCurrentWidget(m_search);
        m_search->focusSearch();
    });
}

void MainWindow::addTaskPage(TaskPage *page, const QString &title, PageMessages messages)
{
    // Task pages come before the All settings tree, which stays the last tab.
    m_tabs->insertTab(m_tabs->count() - 1, page, title);
    wirePage(page, messages);
}

void MainWindow::wirePage(TaskPage *page, PageMessages messages)
{
    const int timeout = messages == PageMessages::LongNotices ? 10000 : 8000;
    const bool refusal = messages == PageMessages::Refusals;
    connect(page, &TaskPage::message, this, [this, timeout, refusal](const QString &text) {
        statusBar()->showMessage(refusal ? tr("Not accepted - %1").arg(text) : text, timeout);
    });
    connect(page, &TaskPage::deleteRequested, this, &MainWindow::requestDeletion);
    connect(page, &TaskPage::restoreRequested, m_model, &SettingsModel::undoDeletion);
    connect(page, &TaskPage::revealRequested, this, &MainWindow::revealNode);
    connect(&m_docs, &DocumentManager::aboutToReplaceDocument, page,
            [page] { page->setDocument(nullptr); });
    connect(&m_docs, &DocumentManager::documentReplaced, page, &TaskPage::setDocument);
    connect(&m_docs, &DocumentManager::viewOnlyChanged, page, &TaskPage::setViewOnly);
    page->setDocument(m_docs.document());
    page->setViewOnly(m_docs.isViewOnly());
}

int MainWindow::pendingCount() const
{
    return m_docs.pendingCount();
}

QString MainWindow::settingsFolder() const
{
    if (!m_store.loaded)
        return QString();
    const QFileInfo folder(QFileInfo(m_store.path).absolutePath());
    return folder.fileName().compare(QLatin1String("Pleiades"), Qt::CaseInsensitive) == 0
               ? folder.absoluteFilePath()
               : QString();
}

void MainWindow::onUnusedModules()
{
    if (!m_store.loaded) {
        Dialogs::information(this, tr("Unused module data"), tr("Open a settings file first."));
        return;
    }
    m_tabs->setCurrentWidget(m_unusedView);
    m_unusedView->refresh();
}

void MainWindow::onEdited()
{
    m_docs.documentEdited();
    // A refusal is old news once an edit went through.
    if (!m_rejection.isEmpty() && statusBar()->currentMessage() == m_rejection)
        statusBar()->clearMessage();
    m_rejection.clear();
    updateState();
}

void MainWindow::showRejection(const QString &reason)
{
    m_rejection = tr("Not accepted - %1").arg(reason);
    statusBar()->showMessage(m_rejection, 8000);
}

// The actions name the step they would take back or do again.
void MainWindow::updateUndoActions()
{
    const QUndoStack *history = m_model->undoStack();
    m_actions->undo->setEnabled(m_model->canUndo());
    m_actions->redo->setEnabled(m_model->canRedo());
    m_actions->undo->setText(history->canUndo() ? tr("Undo %1").arg(history->undoText())
                                                : tr("Undo"));
    m_actions->redo->setText(history->canRedo() ? tr("Redo %1").arg(history->redoText())
                                                : tr("Redo"));
}

void MainWindow::updateState()
{
    const int count = pendingCount();
    const SettingsStore &store = m_store;
    const bool running = m_docs.isPixInsightRunning();
    const bool changedOnDisk = m_docs.isChangedOnDisk() || m_pretendChangedOnDisk;
    const bool fileMissing = m_docs.isFileMissing();
    if (store.loaded)
        m_fileCombo->setToolTip(native(store.path));
    else if (!m_docs.failedPath().isEmpty())
        m_fileCombo->setToolTip(
            QStringLiteral("%1\n%2").arg(native(m_docs.failedPath()), m_docs.loadError()));
    else
        m_fileCombo->setToolTip(tr("No settings file loaded."));

    QString text;
    QColor colour;
    bool reload = false;
    if (const QString unknown = m_docs.runningUnknownReason(); !unknown.isEmpty()) {
        text = tr("<b>Cannot tell whether PixInsight is running - view only.</b> %1. Until this "
                  "can be checked, PixInsight counts as running: saving and restoring are "
                  "blocked.")
                   .arg(unknown.toHtmlEscaped());
        colour = QColor(255, 190, 0, 90);
    } else if (running) {
        text = tr("<b>PixInsight is running - view only.</b> It keeps its settings in memory and "
                  "overwrites this file, so edits made now would be lost. Close PixInsight to "
                  "edit.");
        colour = QColor(255, 190, 0, 90);
    } else if (fileMissing) {
        // Reloading could only fail; a backup can still be put in its place.
        text = tr("<b>The settings file is missing: it was deleted, moved or renamed after it "
                  "was loaded.</b> Saving is blocked. Put the file back or restore a backup.");
        colour = QColor(255, 120, 0, 90);
    } else if (changedOnDisk && count < 1) {
        text = tr("<b>The file changed on disk since it was loaded.</b>");
        colour = QColor(255, 120, 0, 90);
        reload = true;
    } else if (changedOnDisk) {
        text = tr("<b>The file changed on disk since it was loaded.</b> Saving is blocked. Reload "
                  "to continue (your %n unsaved changes will be discarded), or reload and keep "
                  "your changes where the other program left the values alone.",
                  nullptr, count);
        colour = QColor(255, 120, 0, 90);
        reload = true;
    } else if (const XsdtDocument::InvalidUtf8 &bad = store.document.invalidUtf8;
               store.loaded && bad.count > 0) {
        // Those bytes cannot be written back, so the values holding them do change.
        text = (bad.path.isEmpty()
                    ? tr("Byte sequences in this file that are not valid UTF-8: %n (the first at "
                         "line %1, column %2). Saving writes them as U+FFFD; the backup keeps the "
                         "original bytes.",
                         nullptr, bad.count)
                          .arg(bad.line)
                          .arg(bad.column)
                    : tr("Byte sequences in this file that are not valid UTF-8: %n (the first in "
                         "%1). Saving writes them as U+FFFD; the backup keeps the original bytes.",
                         nullptr, bad.count)
                          .arg(bad.path.toHtmlEscaped()));
        colour = QColor(255, 190, 0, 90);
    } else if (store.loaded && !store.document.compactLayout) {
        text = tr("This file uses a non-default layout (for example indented XML). Values are "
                  "unaffected; saving will rewrite it in PixInsight's compact layout.");
        colour = QColor(80, 160, 255, 70);
    }
    m_banner->setText(text);
    if (colour.isValid()) {
        QPalette palette = m_banner->palette();
        palette.setBrush(QPalette::All, QPalette::Window, colour);
        m_banner->setPalette(palette);
    }
    m_banner->setVisible(!text.isEmpty());
    m_bannerReload->setVisible(reload);
    m_actions->reloadKeep->setEnabled(store.loaded && changedOnDisk && !fileMissing && !running &&
                                      m_docs.documentPendingCount() >= 1);
    m_bannerReloadKeep->setVisible(reload && m_actions->reloadKeep->isEnabled());

    const QString file = m_docs.currentFile();
    const bool haveFile = !file.isEmpty();
    // A file that is not there cannot be read again, only replaced by a backup.
    m_actions->reload->setEnabled(haveFile && !fileMissing &&
                                  (store.loaded || !vrn::fileMissing(file)));
    m_actions->save->setEnabled(store.loaded && count >= 1 && !running && !changedOnDisk);
    m_actions->restore->setEnabled(haveFile && !running);
    m_actions->manageBackups->setEnabled(haveFile);
    m_actions->revertAll->setEnabled(count >= 1);
    updateUndoActions();
    // Ends with the program's name, which the desktop's window title would otherwise add once
    // more.
    QString title;
    if (store.loaded)
        title = QFileInfo(store.path).fileName() + QStringLiteral(" - ");
    if (count >= 1)
        title += tr("%n unsaved changes", nullptr, count) + QStringLiteral(" - ");
    setWindowTitle(title + tr("Varnel"));
}

void MainWindow::pollEnvironment()
{
    m_docs.poll();
}

void MainWindow::onDocumentStateChanged()
{
    if (findSettingsFiles() != m_knownFiles)
        refillFileList();
    updateState();
}

void MainWindow::refillFileList()
{
    m_knownFiles = findSettingsFiles();
    const QSignalBlocker blocker(m_fileCombo);
    m_fileCombo->clear();
    const SettingsStore &store = m_store;
    const QString failedPath = m_docs.failedPath();
    bool openListed = false;
    for (const QString &path : std::as_const(m_knownFiles)) {
        m_fileCombo->addItem(fileLabel(path), path);
        if (store.loaded && !openListed && sameFile(path, store.path)) {
            m_fileCombo->setCurrentIndex(m_fileCombo->count() - 1);
            openListed = true;
        }
    }
    if (store.loaded && !openListed) {
        m_fileCombo->addItem(fileLabel(store.path), store.path);
        m_fileCombo->setCurrentIndex(m_fileCombo->count() - 1);
    }
    if (!store.loaded && !failedPath.isEmpty()) {
        // The file row names the file that failed, so that nobody takes another for it.
        const qsizetype listed = m_knownFiles.indexOf(failedPath);
        if (listed < 0)
            m_fileCombo->addItem(tr("%1 - cannot be opened").arg(native(failedPath)), failedPath);
        m_fileCombo->setCurrentIndex(listed < 0 ? m_fileCombo->count() - 1 : int(listed));
    }
    if (m_fileCombo->count() == 0)
        m_fileCombo->addItem(tr("No settings file found - use Browse..."));
}

void MainWindow::onFileActivated(int index)
{
    const QString path = m_fileCombo->itemData(index).toString();
    if (path.isEmpty() || (m_store.loaded && sameFile(path, m_store.path)))
        return;
    if (confirmDiscard(tr("Opening another file discards them.")))
        loadFile(path);
    else
        refillFileList();
}

void MainWindow::onOpen()
{
    if (!confirmDiscard(tr("Opening another file discards them.")))
        return;
    QString start;
    if (m_store.loaded) {
        start = QFileInfo(m_store.path).absolutePath();
    } else {
        const QStringList dirs = configDirectories();
        if (!dirs.isEmpty())
            start = dirs.constFirst();
    }
    const QString path =
        Dialogs::getOpenFileName(this, tr("Open PixInsight settings file"), start,
                                 tr("PixInsight settings (*.settings);;All files (*)"));
    if (!path.isEmpty())
        loadFile(path);
}

void MainWindow::onReload()
{
    const QString path = m_docs.currentFile();
    if (path.isEmpty())
        return;
    if (confirmDiscard(tr("Reloading discards them.")))
        loadFile(path);
}

void MainWindow::onReloadKeepingChanges()
{
    if (!m_actions->reloadKeep->isEnabled())
        return;
    const QString path = m_store.path;
    QList<PendingChange> pending;
    QList<ReapplyOutcome> outcomes;
    DocumentManager::KeepChanges keep;
    keep.note = [&pending](const XsdtDocument &old) { pending = pendingChanges(old); };
    keep.makeAgain = [&] {
        const BusyCursor busy;
        outcomes = reapplyPending(pending, *m_model);
    };
    QString error;
    if (!m_docs.reloadKeepingChanges(keep, &error)) {
        // A load that failed has told the user already; a file that did not read was left
        // alone, and so were the changes.
        if (m_store.loaded)
            Dialogs::critical(this, tr("Cannot reload"),
                              tr("%1\nNothing was reloaded; your changes are kept.").arg(error));
        return;
    }
    QStringList problems;
    for (const ReapplyOutcome &outcome : std::as_const(outcomes)) {
        if (!outcome.done())
            problems.append(describeOutcome(outcome));
    }
    const int applied = int(outcomes.size() - problems.size());
    if (!problems.isEmpty()) {
        // A long list goes behind "Show Details..." so that the box still fits on the screen.
        constexpr int kListed = 20;
        QString listed = problems.mid(0, kListed).join(QLatin1Char('\n'));
        if (problems.size() > kListed)
            listed += QLatin1Char('\n') + tr("... and %n more under Show Details.", nullptr,
                                             int(problems.size()) - kListed);
        Dialogs::Message report;
        report.icon = QMessageBox::Warning;
        report.title = tr("Some changes were not made again");
        report.text =
            tr("%1 was reloaded. %n of your changes could not be made on it again:", nullptr,
               int(problems.size()))
                .arg(native(path));
        report.informativeText = listed;
        report.detailedText =
            problems.size() > kListed ? problems.join(QLatin1Char('\n')) : QString();
        report.buttons = QMessageBox::Ok;
        report.defaultButton = QMessageBox::Ok;
        Dialogs::message(this, report);
    }
    statusBar()->showMessage(
        tr("Reloaded %1 and made %n of your changes again.", nullptr, applied).arg(native(path)),
        8000);
}

bool MainWindow::loadFile(const QString &path)
{
    return m_docs.load(path);
}

void MainWindow::onLoadFinished(bool ok, const QString &error)
{
    if (ok) {
        statusBar()->showMessage(tr("Loaded %1").arg(native(m_store.path)), 5000);
    } else {
        statusBar()->showMessage(error);
        Dialogs::critical(this, tr("Cannot open file"), error);
    }
    refillFileList();
}

void MainWindow::onDocumentReplaced(XsdtDocument *document)
{
    m_unusedView->setFolders(settingsFolder(), findInstallDir());
    m_model->setDocument(document);
}

void MainWindow::revealNode(XsdtNode *node)
{
    if (!node)
        return;
    m_tabs->setCurrentWidget(m_allSettings);
    m_allSettings->revealNode(node);
}

bool MainWindow::confirmDiscard(const QString &reason)
{
    const int count = pendingCount();
    if (!m_store.loaded || count == 0)
        return true;
    const auto answer =
        Dialogs::question(this, tr("Discard changes?"),
                          tr("You have %n unsaved changes. %1", nullptr, count).arg(reason),
                          QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Cancel);
    return answer == QMessageBox::Discard;
}

void MainWindow::onRevertAll()
{
    const int count = pendingCount();
    if (!m_store.loaded || count < 1)
        return;
    if (Dialogs::question(this, tr("Revert all changes"),
                          tr("Discard all %n unsaved changes?", nullptr, count),
                          QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return;
    m_model->revertAll();
    m_unusedView->clearFileQueue();
    updateState();
}

void MainWindow::requestDeletion(XsdtNode *node)
{
    if (!node || node->pendingDelete)
        return;
    const DeleteVerdict verdict = m_model->deletionVerdict(node);
    if (verdict.level == DeleteLevel::Never) {
        Dialogs::information(this, tr("Cannot delete"),
                             QStringLiteral("%1\n\n%2").arg(node->path(), verdict.reason));
        return;
    }
    const int values = int(node->valueCount());
    if (verdict.level == DeleteLevel::Warn && !m_dontAskDelete) {
        bool dontAsk = false;
        Dialogs::Message ask;
        ask.icon = QMessageBox::Warning;
        ask.title = tr("Delete saved information?");
        ask.text = tr("Delete %1?\n(%n values)", nullptr, values).arg(node->path());
        ask.informativeText =
            verdict.reason +
            tr("\n\nNothing is removed until you save, and you can undo it before then.");
        ask.buttons = QMessageBox::Yes | QMessageBox::Cancel;
        ask.defaultButton = QMessageBox::Cancel;
        ask.checkBoxText = tr("Don't ask again until I close the program");
        ask.checked = &dontAsk;
        const auto answer = Dialogs::message(this, ask);
        if (answer != QMessageBox::Yes)
            return;
        m_dontAskDelete = dontAsk;
    }
    QString whyNot;
    if (m_model->queueDeletion(node, &whyNot))
        statusBar()->showMessage(
            tr("%1 queued for deletion (%n values). Save to apply.", nullptr, values)
                .arg(node->path()),
            8000);
    else
        Dialogs::information(this, tr("Cannot delete"), whyNot);
}

bool MainWindow::onSave()
{
    if (!m_store.loaded)
        return true;
    const QList<LeftoverItem> files = m_unusedView->queuedFiles();
    if (m_docs.documentPendingCount() == 0 && files.isEmpty())
        return true;
    {
        ReviewDialog review(m_model, &m_store.document, this);
        review.setLeftoverItems(files);
        if (Dialogs::execDialog(&review) != QDialog::Accepted)
            return false;
    }
    const DocumentManager::SaveResult saved = m_docs.save();
    if (!saved.ok) {
        Dialogs::critical(this, tr("Save failed"), saved.error);
        pollEnvironment();
        return false;
    }
    QString backupName;
    if (saved.wrote) {
        m_model->refreshAll();
        refillFileList();        // the file row shows the new size and time
        m_model->clearHistory(); // what was saved is the new starting point
        backupName = QFileInfo(saved.backupPath).fileName();
        // Compare offers the backup just made.
        m_compare->refreshFileChoices();
    }
    QString deleted;
    if (saved.filesDone) {
        // What is still there can be found and queued again.
        m_unusedView->refresh();
        if (!saved.files.problems.isEmpty())
            Dialogs::warning(this, tr("Some files were not deleted"),
                             saved.files.problems.join(QStringLiteral("\n\n")));
        deleted = tr("Deleted %n files or folders from disk.", nullptr, saved.files.deleted);
    }
    // The backup's name ends the message: a sentence after it would read as part of the name.
    QString message = deleted;
    if (!backupName.isEmpty())
        message = deleted.isEmpty() ? tr("Saved. Backup: %1").arg(backupName)
                                    : tr("Saved. %1 Backup: %2").arg(deleted, backupName);
    statusBar()->showMessage(message, 10000);
    updateState();
    return true;
}

void MainWindow::onRestoreBackup()
{
    const QString target = m_docs.currentFile();
    if (target.isEmpty())
        return;
    const QStringList backups = listBackups(target);
    if (backups.isEmpty()) {
        Dialogs::information(this, tr("Restore backup"),
                             tr("No backups were found next to the settings file."));
        return;
    }
    QStringList items;
    for (const QString &backup : backups) {
        const QFileInfo info(backup);
        items.append(tr("%1   (%2, %3 KiB)")
                         .arg(info.fileName(),
                              info.lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm:ss")))
                         .arg(info.size() / 1024));
    }
    bool ok = false;
    const QString chosen = Dialogs::getItem(this, tr("Restore backup"),
                                            tr("Backup to restore (newest first):"), items, 0, &ok);
    const int index = items.indexOf(chosen);
    if (!ok || index < 0)
        return;
    restoreBackupFile(backups.at(index));
}

bool MainWindow::restoreBackupFile(const QString &backup)
{
    if (!confirmDiscard(tr("Restoring discards them.")))
        return false;
    if (Dialogs::question(this, tr("Restore backup"),
                          tr("Replace the current settings file with\n%1\n\nThe current file is "
                             "backed up first.")
                              .arg(native(backup)),
                          QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return false;
    // Files queued against the file being replaced go with the changes just discarded.
    QString error;
    const bool restored = m_docs.restoreBackup(backup, &error);
    if (!restored) {
        Dialogs::critical(this, tr("Restore failed"), error);
    } else {
        refillFileList();
        statusBar()->showMessage(tr("Restored %1").arg(QFileInfo(backup).fileName()), 8000);
    }
    updateState();
    return restored;
}

void MainWindow::onThemeChanged()
{
    ThemeManager *theme = ThemeManager::instance();
    m_actions->showCurrentTheme();
    updateState();
    if (std::fabs(theme->fontScale() - m_lastFontScale) > 0.000001) {
        m_lastFontScale = theme->fontScale();
        statusBar()->showMessage(tr("Text size %1%").arg(std::lround(m_lastFontScale * 100 / 1.25)),
                                 3000);
    }
}

void MainWindow::updateStatusBarStyle()
{
    statusBar()->setStyleSheet(
        QStringLiteral("QStatusBar { background: palette(midlight); border-top: 1px solid "
                       "palette(mid); }"));
}

void MainWindow::refreshToolbarIcons()
{
    m_actions->refreshToolbarIcons();
    updateMinimumWidth();
    QTimer::singleShot(0, this, &MainWindow::updateMinimumWidth);
}

void MainWindow::updateMinimumWidth()
{
    int width = centralWidget() ? centralWidget()->minimumSizeHint().width() : 0;
    if (QToolBar *toolbar = m_actions->toolbar; toolbar->isVisible()) {
        if (toolbar->layout())
            toolbar->layout()->activate();
        width = qMax(width, toolbar->sizeHint().width());
    }
    setMinimumWidth(width);
}

void MainWindow::ensureOnScreen()
{
    if (isMinimized()) {
        showNormal();
        activateWindow();
    }
    const QRect frame = frameGeometry();
    const QRect strip(frame.left(), frame.top(), frame.width(), 40);
    for (const QScreen *screen : QGuiApplication::screens()) {
        const QRect visible = strip.intersected(screen->availableGeometry());
        if (visible.width() >= 120 && visible.height() >= 20)
            return;
    }
    const QScreen *primary = QGuiApplication::primaryScreen();
    if (!primary)
        return;
    const QRect available = primary->availableGeometry();
    resize(qMin(width(), available.width()), qMin(height(), available.height() - 60));
    const QRect resized = frameGeometry();
    const int x = qMax(available.left(), available.center().x() - resized.width() / 2);
    const int y = qMax(available.top(), available.center().y() - resized.height() / 2);
    move(x, y);
}

void MainWindow::openUserGuide()
{
    // Shown inside the program from the built-in page: nothing is written to a shared folder,
    // where another user's file of the same name would be in the way (or planted), and it
    // opens the same when the desktop has no browser. One window, kept for the session.
    auto *guide = findChild<QDialog *>(QStringLiteral("userGuide"), Qt::FindDirectChildrenOnly);
    if (!guide) {
        guide = new QDialog(this);
        guide->setObjectName(QStringLiteral("userGuide"));
        guide->setWindowTitle(tr("Varnel - User Guide"));
        auto *browser = new QTextBrowser(guide);
        browser->setOpenLinks(false);
        connect(browser, &QTextBrowser::anchorClicked, browser, [browser](const QUrl &url) {
            // Places in the page scroll; anything else goes to the desktop's browser.
            if (url.isRelative() && url.path().isEmpty())
                browser->scrollToAnchor(url.fragment());
            else
                Dialogs::openUrl(url);
        });
        auto *buttons = new QDialogButtonBox(QDialogButtonBox::Close, guide);
        connect(buttons, &QDialogButtonBox::rejected, guide, &QDialog::close);
        auto *layout = new QVBoxLayout(guide);
        layout->addWidget(browser);
        layout->addWidget(buttons);
        guide->resize(800, 700);
    }
    // The page keeps its dark colours in a media query, which the text browser does not read;
    // it becomes plain rules with a dark palette and goes with a light one.
    const bool dark = palette().color(QPalette::Window).lightness() < 128;
    if (guide->property("dark") != QVariant(dark)) {
        guide->setProperty("dark", dark);
        QString page = QString::fromUtf8(readResource(QStringLiteral(":/help/help.html")));
        static const QRegularExpression darkRules(QStringLiteral(
            R"(@media\s*\(prefers-color-scheme:\s*dark\)\s*\{((?:[^{}]*\{[^{}]*\})*)\s*\})"));
        const QRegularExpressionMatch match = darkRules.match(page);
        if (match.hasMatch())
            page.replace(match.capturedStart(), match.capturedLength(),
                         dark ? match.captured(1) : QString());
        guide->findChild<QTextBrowser *>()->setHtml(page);
    }
    guide->show();
    guide->raise();
    guide->activateWindow();
}

void MainWindow::onHealthCheck()
{
    if (!m_store.loaded) {
        Dialogs::information(this, tr("Health check"), tr("Open a settings file first."));
        return;
    }
    m_tabs->setCurrentWidget(m_health);
    m_health->runCheck();
}

void MainWindow::onManageBackups()
{
    const QString file = m_docs.currentFile();
    if (file.isEmpty())
        return;
    BackupsDialog dialog(file, this);
    dialog.setActionsAllowed(m_store.loaded, m_actions->restore->isEnabled());
    connect(&dialog, &BackupsDialog::message, this,
            [this](const QString &text) { statusBar()->showMessage(text, 10000); });
    connect(&dialog, &BackupsDialog::compareRequested, this, [this, &dialog](const QString &path) {
        QString error;
        if (!m_compare->compareWith(path, &error)) {
            Dialogs::warning(&dialog, tr("Compare"), error);
            return;
        }
        // The comparison is shown on its page, which the dialog would cover.
        m_tabs->setCurrentWidget(m_compare);
        dialog.accept();
    });
    connect(&dialog, &BackupsDialog::restoreRequested, this, [this, &dialog](const QString &path) {
        restoreBackupFile(path);
        // The restore adds the replaced file's backup, and may have changed what is allowed.
        dialog.refresh();
        dialog.setActionsAllowed(m_store.loaded, m_actions->restore->isEnabled());
    });
    Dialogs::execDialog(&dialog);
}

QString MainWindow::recordedPixInsightVersion() const
{
    if (!m_store.loaded)
        return QString();
    auto topValue = [this](QStringView key) {
        const XsdtNode *node = m_store.document.root.childByKey(key);
        return node && node->isValue() ? node : nullptr;
    };
    const XsdtNode *product = topValue(u"PixInsight");
    const XsdtNode *last = topValue(u"LastVersion");
    if (!last || last->value.isEmpty())
        return product ? product->value : QString();
    if (!product)
        return last->value;
    return QStringLiteral("%1 [%2]").arg(product->value, last->value);
}

void MainWindow::onAbout()
{
    AboutDialog dialog(m_store.loaded ? m_store.path : QString(), recordedPixInsightVersion(),
                       this);
    Dialogs::execDialog(&dialog);
}

void MainWindow::runFullSearch(const QString &text)
{
    m_tabs->setCurrentWidget(m_search);
    m_search->clearFilter();
    m_search->setQuery(text);
    m_search->focusSearch();
}

QList<XsdtNode *> MainWindow::moduleValueNodes(const QList<ModuleEntries> &modules,
                                               QStringList *labels) const
{
    QList<XsdtNode *> nodes;
    // Modules found by a part of their name can share process entries; each value is listed
    // and counted once.
    QSet<const XsdtNode *> seen;
    for (const ModuleEntries &module : modules) {
        if (labels)
            labels->append(module.registered ? tr("%1 (installed)").arg(module.name)
                                             : tr("%1 (not in the module list)").arg(module.name));
        for (XsdtNode *node : valueNodes(module)) {
            if (!seen.contains(node)) {
                seen.insert(node);
                nodes.append(node);
            }
        }
    }
    return nodes;
}

void MainWindow::onFindModule()
{
    if (!m_store.loaded) {
        Dialogs::information(this, tr("Find module data"), tr("Open a settings file first."));
        return;
    }
    QStringList names = modulesWithData(m_store.document);
    for (const QString &name : registeredModules(m_store.document)) {
        if (!names.contains(name))
            names.append(name);
    }
    ModuleSearchDialog dialog(names, this);
    if (Dialogs::execDialog(&dialog) != QDialog::Accepted)
        return;
    const QString name = dialog.moduleName();
    if (dialog.isFullSearch()) {
        runFullSearch(name);
        return;
    }
    bool exact = false;
    const QList<ModuleEntries> found = findModule(m_store.document, name, &exact);
    if (found.isEmpty()) {
        if (Dialogs::question(this, tr("Find module data"),
                              tr("Nothing recorded for \"%1\" in the places module names usually "
                                 "go.\n\nRun a full search instead?")
                                  .arg(name),
                              QMessageBox::Yes | QMessageBox::No) == QMessageBox::Yes)
            runFullSearch(name);
        return;
    }
    QStringList labels;
    const QList<XsdtNode *> nodes = moduleValueNodes(found, &labels);
    const int count = int(nodes.size());
    const QString banner =
        exact ? tr("Module search for \"%1\": registry entry, module data, module settings and "
                   "process entries - %2, %n values. Type words below to narrow them.",
                   nullptr, count)
                    .arg(name, labels.join(QStringLiteral(", ")))
              : tr("No module is called exactly \"%1\"; showing modules whose name contains it: "
                   "%2 - %n values.",
                   nullptr, count)
                    .arg(name, labels.join(QStringLiteral(", ")));
    m_tabs->setCurrentWidget(m_search);
    m_search->showOnly(nodes, banner);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    const int count = pendingCount();
    if (m_store.loaded && count >= 1) {
        const auto answer = Dialogs::question(
            this, tr("Unsaved changes"), tr("You have %n unsaved changes.", nullptr, count),
            QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
        if (answer == QMessageBox::Cancel || (answer == QMessageBox::Save && !onSave())) {
            event->ignore();
            return;
        }
        if (answer != QMessageBox::Save && answer != QMessageBox::Discard) {
            event->ignore();
            return;
        }
    }
    event->accept();
}

void MainWindow::showEvent(QShowEvent *event)
{
    QMainWindow::showEvent(event);
    QTimer::singleShot(0, this, &MainWindow::updateMinimumWidth);
    if (!m_firstShowDone) {
        m_firstShowDone = true;
        QTimer::singleShot(0, this, &MainWindow::ensureOnScreen);
        // Once more after the first polish, which is when the buttons took their fonts.
        QTimer::singleShot(0, this, &MainWindow::refreshToolbarIcons);
    }
}

void MainWindow::onInstalledUpdates()
{
    const QString path = findRecordFile();
    if (path.isEmpty()) {
        Dialogs::information(this, tr("Installed updates"),
                             tr("PixInsight's installed.xri was not found on this computer."));
        return;
    }
    InstalledUpdatesDialog dialog(path, this);
    Dialogs::execDialog(&dialog);
}

} // namespace vrn
