#include "app/mainwindow.h"

#include "app/busyindicator.h"
#include "app/filebanner.h"
#include "app/filecommands.h"
#include "app/historyswitch.h"
#include "app/thememanager.h"
#include "app/userguide.h"
#include "app/windowlook.h"
#include "document/xsdtnode.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/builtin.h"
#include "model/settingsmodel.h"
#include "privileged/leftoverdeletion.h"
#include "store/nativepath.h"
#include "views/aboutdialog.h"
#include "views/adbanner.h"
#include "views/allsettingsview.h"
#include "views/cleanupview.h"
#include "views/compareview.h"
#include "views/healthview.h"
#include "views/historyview.h"
#include "views/modulesearchdialog.h"
#include "views/pathsview.h"
#include "views/preferencesview.h"
#include "views/repositoriesview.h"
#include "views/searchview.h"
#include "views/taskpage.h"
#include "views/unusedmodulesview.h"
#include "widgets/dialogs.h"
#include "widgets/editrequests.h"

#include <QAction>
#include <QCloseEvent>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QVBoxLayout>

#include <utility>

namespace vrn {

namespace {} // namespace

MainWindow::MainWindow(QWidget *parent, const QString &initialFile)
    : QMainWindow(parent)
{
    // The pages' signals carry node pointers, also across queued connections.
    qRegisterMetaType<XsdtNode *>("vrn::XsdtNode*");
    loadKnowledge();
    m_docs.setDeletionGuard(m_policy.deletionGuard());

    resize(1100, 760);
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
    connect(&m_docs, &DocumentManager::busyChanged, this, &MainWindow::onBusyChanged);
    // Marking the nodes saved writes what the pages' workers read: they stop before it and
    // start again after, without taking it for an edit of values.
    connect(&m_docs, &DocumentManager::aboutToMarkSaved, m_model, &SettingsModel::aboutToChange);
    connect(&m_docs, &DocumentManager::markedSaved, m_model, &SettingsModel::resumeWork);
    m_actions = new WindowActions(this);
    m_requests = new EditRequests(m_model, this);
    connect(m_requests, &EditRequests::message, statusBar(), &QStatusBar::showMessage);
    buildCentralWidget();
    m_files = new FileCommands({this, &m_docs, m_model, m_unusedView, m_compare, &m_schema});
    connect(m_files, &FileCommands::fileListChanged, this, &MainWindow::refillFileList);
    connect(m_files, &FileCommands::stateChanged, this, &MainWindow::updateState);
    connect(m_files, &FileCommands::compareShown, this,
            [this] { m_tabs->setCurrentWidget(m_compare); });
    connect(m_files, &FileCommands::saveDone, this, [this](bool ok) {
        if (std::exchange(m_closeWhenSaved, false) && ok)
            close();
    });
    connect(m_files, &FileCommands::reloadKeptDone, this, [this] {
        if (std::exchange(m_closeWhenKept, false))
            close();
    });
    m_look = new WindowLook(this, m_actions);
    new HistorySwitch(this, m_actions, &m_docs, m_history, m_files);
    connectActions();
    m_docs.setFileQueue({[this] { return m_unusedView->queuedFileCount(); },
                         [this] {
                             return [items = m_unusedView->queuedFiles(),
                                     install = m_unusedView->programFolder(),
                                     user = m_unusedView->settingsFolder()] {
                                 return deleteQueuedLeftovers(items, install, user);
                             };
                         },
                         [this] { m_unusedView->clearFileQueue(); }});

    connect(ThemeManager::instance(), &ThemeManager::changed, this, &MainWindow::updateState);
    connect(m_model, &SettingsModel::pendingChanged, &m_docs, &DocumentManager::documentEdited);
    connect(m_model, &SettingsModel::edited, this, &MainWindow::onEdited);
    connect(m_model, &SettingsModel::editRejected, this, &MainWindow::showRejection);

    m_docs.startPolling(3000);
    // Before the file: a large one is read on the worker, and polls wait until it is in.
    pollEnvironment();

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
            folders.append(nativePath(dir));
        statusBar()->showMessage(
            tr("No PixInsight settings file found in %1. Use Browse to open one.")
                .arg(folders.join(QStringLiteral("; "))));
    }
    m_look->applyTheme();
    updateState();
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
    connect(a->reloadKeep, &QAction::triggered, m_files, &FileCommands::reloadKeepingChanges);
    connect(a->save, &QAction::triggered, this, [this] { onSave(); });
    connect(a->findModule, &QAction::triggered, this, [this] {
        ModuleSearchDialog::findModuleData(
            m_docs.document(), m_search, [this] { m_tabs->setCurrentWidget(m_search); }, this);
    });
    connect(a->healthCheck, &QAction::triggered, this, &MainWindow::onHealthCheck);
    connect(a->restore, &QAction::triggered, m_files, &FileCommands::restoreBackup);
    connect(a->importSetup, &QAction::triggered, m_files, &FileCommands::importSetup);
    connect(a->exportSetup, &QAction::triggered, m_files, &FileCommands::exportSetup);
    connect(a->installedUpdates, &QAction::triggered, m_files, &FileCommands::installedUpdates);
    connect(a->manageBackups, &QAction::triggered, m_files, &FileCommands::manageBackups);
    connect(a->quit, &QAction::triggered, this, &MainWindow::close);
    connect(a->unusedModules, &QAction::triggered, this, &MainWindow::onUnusedModules);
    connect(a->revertAll, &QAction::triggered, this, &MainWindow::onRevertAll);
    connect(a->expandAll, &QAction::triggered, m_allSettings, &AllSettingsView::expandAll);
    connect(a->collapseAll, &QAction::triggered, m_allSettings, &AllSettingsView::resetExpansion);
    connect(a->userGuide, &QAction::triggered, this, [this] { showUserGuide(this); });
    connect(a->about, &QAction::triggered, this, &MainWindow::onAbout);
    connect(a->paths, &QAction::triggered, this, [this] { m_tabs->setCurrentWidget(m_paths); });
    connect(a->repositories, &QAction::triggered, this,
            [this] { m_tabs->setCurrentWidget(m_repositories); });
    m_actions->followUndo(m_model);
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
    m_browse = new QPushButton(tr("Browse..."), central);
    connect(m_browse, &QPushButton::clicked, this, &MainWindow::onOpen);
    fileRow->addWidget(m_browse);
    layout->addLayout(fileRow);
    connect(m_fileCombo, &QComboBox::activated, this, &MainWindow::onFileActivated);

    m_banner = new FileBanner(central);
    connect(m_banner, &FileBanner::reloadRequested, this, &MainWindow::onReload);
    connect(m_banner, &FileBanner::reloadKeepRequested, this,
            [this] { m_files->reloadKeepingChanges(); });
    layout->addWidget(m_banner);

    m_tabs = new QTabWidget(central);
    // Whole titles, with arrows to reach the last ones when the window is too narrow for all.
    m_tabs->setElideMode(Qt::ElideNone);
    m_tabs->setUsesScrollButtons(true);
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
    connect(&m_docs, &DocumentManager::busyChanged, m_preferences, &PreferencesView::showBusy);
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
        showTabCount(m_tabs, m_health, problems + warnings);
    });
    showTabCount(m_tabs, m_health, 0);
    m_compare = new CompareView(m_model, m_tabs);
    m_compare->setEditedPathSource([this] { return m_store.loaded ? m_store.path : QString(); });
    addTaskPage(m_compare, tr("Compare"), PageMessages::Notices);
    m_history = new HistoryView(m_model, &m_policy, &m_schema, m_tabs);
    addTaskPage(m_history, tr("History"), PageMessages::Notices);
    m_paths = new PathsView(m_model, m_tabs);
    addTaskPage(m_paths, tr("Paths"), PageMessages::Notices);
    m_repositories = new RepositoriesView(m_model, &m_schema, m_tabs);
    addTaskPage(m_repositories, tr("Repositories"), PageMessages::Refusals);
    m_tabs->setCurrentWidget(m_preferences);

    m_busy = new BusyIndicator(&m_docs, statusBar());

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
    connect(page, &TaskPage::deleteRequested, m_requests, &EditRequests::requestDeletion);
    connect(page, &TaskPage::restoreRequested, m_model, &SettingsModel::undoDeletion);
    connect(page, &TaskPage::revealRequested, this, &MainWindow::revealNode);
    // A large document's pages let go of it a turn before the model does, the All settings
    // tree (which closes slowly when opened all the way) a turn before them.
    connect(&m_docs, &DocumentManager::aboutToReplaceSoon, page, [this, page](int turnsLeft) {
        if (page == m_allSettings && turnsLeft == 2)
            m_allSettings->letGo(m_docs.holdReplace());
        else if (page != m_allSettings && turnsLeft == 1)
            page->setDocument(nullptr);
    });
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

void MainWindow::updateState()
{
    const SettingsStore &store = m_store;
    const DocumentManager::FileState state = m_docs.fileState(m_pretendChangedOnDisk);
    const int count = state.pending;
    if (store.loaded)
        m_fileCombo->setToolTip(nativePath(store.path));
    else if (!m_docs.failedPath().isEmpty())
        m_fileCombo->setToolTip(
            QStringLiteral("%1\n%2").arg(nativePath(m_docs.failedPath()), m_docs.loadError()));
    else
        m_fileCombo->setToolTip(tr("No settings file loaded."));

    m_banner->showState(m_docs, state);

    m_actions->reloadKeep->setEnabled(state.canReloadKeep);
    m_actions->reload->setEnabled(state.canReload);
    m_actions->save->setEnabled(state.canSave);
    m_actions->restore->setEnabled(state.canRestore);
    m_actions->manageBackups->setEnabled(state.haveFile);
    m_actions->exportSetup->setEnabled(store.loaded);
    m_actions->importSetup->setEnabled(store.loaded && !m_model->isViewOnly());
    m_actions->revertAll->setEnabled(count >= 1 && !m_docs.isBusy());
    // Opening another file drops a load under way, but not a save.
    m_actions->open->setEnabled(!m_docs.isSaving());
    m_browse->setEnabled(!m_docs.isSaving());
    m_fileCombo->setEnabled(!m_docs.isSaving());
    m_actions->showUndoState();
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
    // The file being read is the one the pages will show, not the one they showed before.
    const QString loading = m_docs.loadingPath();
    const QString shown = !loading.isEmpty() ? loading : m_store.loaded ? m_store.path : QString();
    const QString failedPath = m_docs.failedPath();
    bool shownListed = false;
    for (const QString &path : std::as_const(m_knownFiles)) {
        m_fileCombo->addItem(fileLabel(path), path);
        if (!shown.isEmpty() && !shownListed && sameFile(path, shown)) {
            m_fileCombo->setCurrentIndex(m_fileCombo->count() - 1);
            shownListed = true;
        }
    }
    if (!shown.isEmpty() && !shownListed) {
        m_fileCombo->addItem(fileLabel(shown), shown);
        m_fileCombo->setCurrentIndex(m_fileCombo->count() - 1);
    }
    if (shown.isEmpty() && !failedPath.isEmpty()) {
        // The file row names the file that failed, so that nobody takes another for it.
        const qsizetype listed = m_knownFiles.indexOf(failedPath);
        if (listed < 0)
            m_fileCombo->addItem(tr("%1 - cannot be opened").arg(nativePath(failedPath)),
                                 failedPath);
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
    refillFileList(); // the open file until the other one is loaded
    m_files->offerSaveThen([this, path] { loadFile(path); });
}

void MainWindow::onOpen()
{
    m_files->offerSaveThen([this] { chooseAndOpen(); });
}

void MainWindow::chooseAndOpen()
{
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
    if (m_files->confirmDiscard(tr("Reloading discards them.")))
        loadFile(path);
}

bool MainWindow::loadFile(const QString &path)
{
    return m_files->mayOpen(path) && m_docs.startLoad(path);
}

void MainWindow::onBusyChanged()
{
    // The worker reads the document or reads into it: nothing may change it meanwhile. Work
    // of busyWhile() runs here, on the document as it is.
    const bool worker = m_docs.isBusy();
    const bool locked = worker || m_docs.isViewOnly();
    m_model->setViewOnlyReason(
        worker && !m_docs.isViewOnly()
            ? tr("The file is being read or saved; nothing can be changed until that is done.")
            : QString());
    m_model->setViewOnly(locked);
    m_unusedView->setViewOnly(locked);
    m_compare->holdComparisons(worker);
    if (worker && !m_docs.loadingPath().isEmpty())
        refillFileList();
    updateState();
}

void MainWindow::onLoadFinished(bool ok, const QString &error)
{
    if (ok) {
        statusBar()->showMessage(tr("Loaded %1").arg(nativePath(m_store.path)), 5000);
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

bool MainWindow::onSave()
{
    return m_files->save();
}

void MainWindow::onRevertAll()
{
    const int count = pendingCount();
    if (!m_store.loaded || count < 1)
        return;
    if (!m_requests->revertAll(count))
        return;
    m_unusedView->clearFileQueue();
    updateState();
}

void MainWindow::requestDeletion(XsdtNode *node)
{
    m_requests->requestDeletion(node);
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

void MainWindow::onAbout()
{
    AboutDialog dialog(m_store.loaded ? m_store.path : QString(),
                       m_store.loaded ? recordedPixInsightVersion(m_store.document) : QString(),
                       this);
    Dialogs::execDialog(&dialog);
}

void MainWindow::closeEvent(QCloseEvent *event)
{
    // A save under way is finished first; the window closes when it succeeded.
    if (m_docs.isSaving()) {
        m_closeWhenSaved = true;
        event->ignore();
        return;
    }
    // A reload holds the changes it keeps until they are made again: then it asks about them.
    if (m_docs.isKeepingChanges()) {
        m_closeWhenKept = true;
        event->ignore();
        return;
    }
    const int count = pendingCount();
    if (m_store.loaded && count >= 1) {
        const auto answer = Dialogs::question(
            this, tr("Unsaved changes"), tr("You have %n unsaved changes.", nullptr, count),
            QMessageBox::Save | QMessageBox::Discard | QMessageBox::Cancel, QMessageBox::Save);
        if (answer == QMessageBox::Cancel || (answer == QMessageBox::Save && !onSave())) {
            event->ignore();
            return;
        }
        if (m_docs.isSaving()) {
            m_closeWhenSaved = true;
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
    m_look->windowShown();
}

} // namespace vrn
