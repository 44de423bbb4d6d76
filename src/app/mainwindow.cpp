#include "app/mainwindow.h"

#include "app/thememanager.h"
#include "app/toolbaricons.h"
#include "app/varnelstyle.h"
#include "document/xsdtnode.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/leftovers.h"
#include "knowledge/modules.h"
#include "model/reapply.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "privileged/installedupdates.h"
#include "privileged/leftoverdeletion.h"
#include "views/aboutdialog.h"
#include "views/adbanner.h"
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
#include <QActionGroup>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QCloseEvent>
#include <QComboBox>
#include <QDialog>
#include <QDialogButtonBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QFrame>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMenuBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QScreen>
#include <QSet>
#include <QSettings>
#include <QShortcut>
#include <QStandardPaths>
#include <QStatusBar>
#include <QTabWidget>
#include <QTextBrowser>
#include <QTimer>
#include <QToolBar>
#include <QTreeView>
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

const char *const kToolbarStyle =
    "QToolBar QToolButton {  border-width: %1px; border-style: solid;  border-top-color: "
    "palette(light); border-left-color: palette(light);  border-bottom-color: palette(dark); "
    "border-right-color: palette(dark);  border-radius: 2px; padding: %2px %3px; background: "
    "palette(button); }QToolBar QToolButton:hover { background: palette(midlight); }QToolBar "
    "QToolButton:pressed {  border-top-color: palette(dark); border-left-color: palette(dark);  "
    "border-bottom-color: palette(light); border-right-color: palette(light);  background: "
    "palette(midlight); }QToolBar QToolButton:disabled { border-color: palette(mid); background: "
    "transparent; }";

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
    m_store.policy = &m_policy;

    resize(1100, 760);
    updateStatusBarStyle();
    m_model = new SettingsModel(this);
    m_model->setPolicy(&m_policy);
    m_model->setSchema(&m_schema);
    m_proxy = new SettingsFilterProxy(this);
    m_proxy->setSourceModel(m_model);
    buildActions();
    buildMenus();
    buildToolbar();
    buildCentralWidget();

    ThemeManager *theme = ThemeManager::instance();
    m_lastFontScale = theme->fontScale();
    connect(theme, &ThemeManager::changed, this, &MainWindow::updateStatusBarStyle);
    connect(theme, &ThemeManager::changed, this, &MainWindow::refreshToolbarIcons);
    connect(theme, &ThemeManager::changed, this, &MainWindow::onThemeChanged);
    connect(m_model, &SettingsModel::edited, this, &MainWindow::onEdited);
    connect(m_model, &SettingsModel::editRejected, this, &MainWindow::showRejection);

    m_envTimer = new QTimer(this);
    m_envTimer->setInterval(3000);
    connect(m_envTimer, &QTimer::timeout, this, &MainWindow::pollEnvironment);
    m_envTimer->start();

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
    // The pages and the model hold node pointers into the store's document, which dies with
    // this object's members after the widgets.
    detachDocument();
}

void MainWindow::loadKnowledge()
{
    const QByteArray globals = readResource(QStringLiteral(":/schema/globals.json"));
    const QByteArray overlay = readResource(QStringLiteral(":/schema/overlay.json"));
    QString error;
    if (!m_schema.load(globals, overlay, &error))
        Dialogs::warning(this, tr("Settings schema"),
                         tr("The built-in settings descriptions could not be read (%1). Names and "
                            "descriptions will be limited.")
                             .arg(error));
    error.clear();
    if (!m_policy.load(overlay, &error))
        Dialogs::warning(this, tr("Deletion rules"),
                         tr("The built-in deletion rules could not be read (%1). Deleting entries "
                            "is disabled.")
                             .arg(error));
}

void MainWindow::buildActions()
{
    auto make = [this](const QString &text, auto slot) {
        auto *action = new QAction(text, this);
        action->setIconVisibleInMenu(false);
        connect(action, &QAction::triggered, this, slot);
        return action;
    };
    m_openAction = make(tr("&Open settings file..."), &MainWindow::onOpen);
    m_openAction->setShortcut(QKeySequence::Open);
    m_openAction->setIconText(tr("Open"));
    m_reloadAction = make(tr("&Reload from disk"), &MainWindow::onReload);
    m_reloadAction->setShortcut(QKeySequence::Refresh);
    m_reloadAction->setIconText(tr("Reload"));
    m_reloadKeepAction =
        make(tr("Reload and &keep my changes"), &MainWindow::onReloadKeepingChanges);
    m_reloadKeepAction->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F5));
    m_reloadKeepAction->setStatusTip(tr("Read the file again and make your unsaved changes once "
                                        "more where another program left the values alone"));
    m_saveAction = make(tr("&Save changes..."), [this] { onSave(); });
    m_saveAction->setShortcut(QKeySequence::Save);
    m_saveAction->setStatusTip(tr("Review the pending changes, then save"));
    m_saveAction->setIconText(tr("Save"));
    m_findModuleAction = make(tr("Find &module data..."), &MainWindow::onFindModule);
    m_findModuleAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_M));
    m_findModuleAction->setStatusTip(tr("Look up everything the file records about one module"));
    m_findModuleAction->setIconText(tr("Find module"));
    m_healthCheckAction = make(tr("Run &health check"), &MainWindow::onHealthCheck);
    m_healthCheckAction->setStatusTip(tr("Look for settings that are probably wrong"));
    m_restoreAction = make(tr("Restore &backup..."), &MainWindow::onRestoreBackup);
    m_restoreAction->setIconText(tr("Restore"));
    m_installedUpdatesAction = make(tr("Installed &updates..."), &MainWindow::onInstalledUpdates);
    m_installedUpdatesAction->setStatusTip(tr("PixInsight's own record of installed updates: "
                                              "remove a module's record so PixInsight offers it "
                                              "again"));
    m_manageBackupsAction = make(tr("&Manage backups..."), &MainWindow::onManageBackups);
    m_manageBackupsAction->setIconText(tr("Backups"));
    m_quitAction = make(tr("&Quit"), &MainWindow::close);
    m_quitAction->setShortcut(QKeySequence::Quit);
    m_quitAction->setMenuRole(QAction::QuitRole);

    m_unusedAction = make(tr("&Unused module data"), &MainWindow::onUnusedModules);
    m_unusedAction->setStatusTip(
        tr("Modules with saved data that are no longer in PixInsight's module list"));
    m_revertAllAction = make(tr("Revert &all changes"), &MainWindow::onRevertAll);
    m_revertAllAction->setIconText(tr("Revert all"));
    m_undoAction = make(tr("Undo"), [this] { m_model->undo(); });
    m_undoAction->setShortcut(QKeySequence::Undo);
    m_undoAction->setIconText(tr("Undo"));
    m_redoAction = make(tr("Redo"), [this] { m_model->redo(); });
    m_redoAction->setShortcut(QKeySequence::Redo);
    m_redoAction->setIconText(tr("Redo"));
    QUndoStack *history = m_model->undoStack();
    for (auto signal : {&QUndoStack::canUndoChanged, &QUndoStack::canRedoChanged})
        connect(history, signal, this, &MainWindow::updateUndoActions);
    for (auto signal : {&QUndoStack::undoTextChanged, &QUndoStack::redoTextChanged})
        connect(history, signal, this, &MainWindow::updateUndoActions);

    ThemeManager *theme = ThemeManager::instance();
    m_themeGroup = new QActionGroup(this);
    m_themeGroup->setExclusive(true);
    auto themeAction = [&](const QString &text, int value) {
        QAction *action = make(text, [theme, value] { theme->setTheme(value, true); });
        action->setCheckable(true);
        m_themeGroup->addAction(action);
        return action;
    };
    m_lightAction = themeAction(tr("&Light"), ThemeManager::Light);
    m_darkAction = themeAction(tr("&Dark"), ThemeManager::Dark);
    m_systemThemeAction = themeAction(tr("Follow &system"), ThemeManager::FollowSystem);

    m_expandAllAction = make(tr("&Expand all"), [this] {
        const BusyCursor busy;
        const int levels = m_tree->expandAllWithin(SettingsTreeView::ExpandAllBudget);
        if (levels >= 0)
            statusBar()->showMessage(
                tr("This file has too many groups to open them all: %n levels from the top "
                   "were opened. Open a group to see inside it.",
                   nullptr, levels),
                8000);
    });
    m_collapseAllAction = make(tr("&Collapse all"), [this] { resetTreeExpansion(); });
    m_largerTextAction = make(tr("&Larger text"), [theme] { theme->stepFontScale(+1); });
    m_largerTextAction->setShortcuts(
        {QKeySequence(QKeySequence::ZoomIn), QKeySequence(Qt::CTRL | Qt::Key_Equal)});
    m_smallerTextAction = make(tr("&Smaller text"), [theme] { theme->stepFontScale(-1); });
    m_smallerTextAction->setShortcut(QKeySequence::ZoomOut);
    m_defaultTextAction = make(tr("&Default text size"), [theme] { theme->resetFontScale(); });
    m_defaultTextAction->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_0));
    m_toggleThemeAction = make(tr("Toggle light/dark"), [theme] {
        theme->setTheme(theme->isDark() ? ThemeManager::Light : ThemeManager::Dark, true);
    });
    m_toggleThemeAction->setShortcut(QKeySequence(Qt::CTRL | Qt::SHIFT | Qt::Key_D));
    m_toggleThemeAction->setIconText(tr("Theme"));

    m_userGuideAction = make(tr("&User Guide"), &MainWindow::openUserGuide);
    m_aboutAction = make(tr("&About Varnel"), &MainWindow::onAbout);
    m_aboutAction->setMenuRole(QAction::AboutRole);
    m_aboutAction->setIconText(tr("About"));
    m_aboutQtAction = make(tr("About &Qt"), [] { QApplication::aboutQt(); });
    m_aboutQtAction->setMenuRole(QAction::AboutQtRole);
}

void MainWindow::buildMenus()
{
    QMenu *file = menuBar()->addMenu(tr("&File"));
    file->addAction(m_openAction);
    file->addAction(m_reloadAction);
    file->addAction(m_reloadKeepAction);
    file->addSeparator();
    file->addAction(m_findModuleAction);
    file->addAction(m_unusedAction);
    file->addAction(m_healthCheckAction);
    file->addSeparator();
    file->addAction(m_installedUpdatesAction);
    file->addSeparator();
    file->addAction(m_saveAction);
    file->addAction(m_restoreAction);
    file->addAction(m_manageBackupsAction);
    file->addSeparator();
    file->addAction(m_quitAction);
    // Looked up each time: PixInsight may be installed or removed while the editor runs.
    connect(file, &QMenu::aboutToShow, this, [this] {
        const bool found = !findRecordFile().isEmpty();
        m_installedUpdatesAction->setEnabled(found);
        m_installedUpdatesAction->setToolTip(
            found ? QString() : tr("PixInsight's installed.xri was not found on this computer."));
    });

    QMenu *edit = menuBar()->addMenu(tr("&Edit"));
    edit->addAction(m_undoAction);
    edit->addAction(m_redoAction);
    edit->addSeparator();
    edit->addAction(m_revertAllAction);
    edit->addSeparator();
    QMenu *themeMenu = edit->addMenu(tr("&Theme"));
    themeMenu->addAction(m_lightAction);
    themeMenu->addAction(m_darkAction);
    themeMenu->addAction(m_systemThemeAction);

    m_toolbar = new QToolBar(tr("Main toolbar"), this);
    QMenu *view = menuBar()->addMenu(tr("&View"));
    view->addAction(m_expandAllAction);
    view->addAction(m_collapseAllAction);
    view->addSeparator();
    view->addAction(m_largerTextAction);
    view->addAction(m_smallerTextAction);
    view->addAction(m_defaultTextAction);
    view->addSeparator();
    view->addAction(m_toggleThemeAction);
    view->addSeparator();
    QAction *toolbarToggle = m_toolbar->toggleViewAction();
    toolbarToggle->setText(tr("&Toolbar"));
    view->addAction(toolbarToggle);

    QMenu *help = menuBar()->addMenu(tr("&Help"));
    help->addAction(m_userGuideAction);
    help->addSeparator();
    help->addAction(m_aboutAction);
    help->addAction(m_aboutQtAction);
}

void MainWindow::buildToolbar()
{
    m_toolbar->setObjectName(QStringLiteral("MainToolbar"));
    m_toolbar->setMovable(false);
    m_toolbar->setToolButtonStyle(Qt::ToolButtonTextUnderIcon);
    auto add = [this](QAction *action, ToolbarGlyph glyph) {
        m_toolbar->addAction(action);
        m_toolbarActions.append({action, int(glyph)});
    };
    add(m_openAction, ToolbarGlyph::Open);
    add(m_reloadAction, ToolbarGlyph::Reload);
    m_toolbar->addSeparator();
    add(m_saveAction, ToolbarGlyph::Save);
    add(m_revertAllAction, ToolbarGlyph::RevertAll);
    add(m_undoAction, ToolbarGlyph::Undo);
    add(m_redoAction, ToolbarGlyph::Redo);
    m_toolbar->addSeparator();
    add(m_findModuleAction, ToolbarGlyph::FindModule);
    add(m_manageBackupsAction, ToolbarGlyph::Backups);
    add(m_restoreAction, ToolbarGlyph::Restore);
    m_toolbar->addSeparator();
    add(m_toggleThemeAction, ToolbarGlyph::Theme);
    m_toolbar->addSeparator();
    add(m_aboutAction, ToolbarGlyph::About);
    addToolBar(Qt::TopToolBarArea, m_toolbar);

    const QSettings settings;
    m_toolbar->setVisible(
        settings.value(QStringLiteral("Appearance/ToolbarVisible"), true).toBool());
    connect(m_toolbar, &QToolBar::visibilityChanged, this, [this](bool visible) {
        if (!isVisible())
            return;
        // Showing the window shows the bar too; only a real change is worth remembering.
        QSettings settings;
        const QString key = QStringLiteral("Appearance/ToolbarVisible");
        if (settings.value(key, true).toBool() != visible)
            settings.setValue(key, visible);
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
    m_tabs->addTab(buildAdvancedPage(), tr("All settings (advanced)"));
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
    addTaskPage(m_preferences, tr("Preferences"), PageMessages::NotAccepted8s);
    m_search = new SearchView(m_model, &m_schema, m_tabs);
    addTaskPage(m_search, tr("Search"), PageMessages::NotAccepted8s);
    m_cleanup = new CleanupView(m_model, m_tabs);
    addTaskPage(m_cleanup, tr("Cleanup"), PageMessages::AsGiven8s);
    m_unusedView = new UnusedModulesView(m_model, &m_schema, m_tabs);
    addTaskPage(m_unusedView, tr("Unused modules"), PageMessages::AsGiven10s);
    connect(m_unusedView, &UnusedModulesView::queueChanged, this, &MainWindow::updateState);
    m_health = new HealthView(m_model, &m_schema, m_tabs);
    addTaskPage(m_health, tr("Health check"), PageMessages::NotAccepted8s);
    connect(m_health, &HealthView::openUnusedModules, this, &MainWindow::onUnusedModules);
    connect(m_health, &HealthView::summaryChanged, this, [this](int problems, int warnings) {
        const int count = problems + warnings;
        m_tabs->setTabText(m_tabs->indexOf(m_health),
                           count >= 1 ? tr("Health check (%1)").arg(count) : tr("Health check"));
    });
    m_compare = new CompareView(m_model, m_tabs);
    m_compare->setEditedPathSource([this] { return m_store.loaded ? m_store.path : QString(); });
    addTaskPage(m_compare, tr("Compare"), PageMessages::AsGiven8s);
    m_tabs->setCurrentWidget(m_preferences);

    auto *find = new QShortcut(QKeySequence::Find, this);
    find->setContext(Qt::WindowShortcut);
    connect(find, &QShortcut::activated, this, [this] {
        m_tabs->setCurrentWidget(m_search);
        m_search->focusSearch();
    });
}

QWidget *MainWindow::buildAdvancedPage()
{
    auto *page = new QWidget(this);
    auto *layout = new QVBoxLayout(page);
    layout->setContentsMargins(0, 6, 0, 0);
    auto *row = new QHBoxLayout;
    m_filterEdit = new QLineEdit(page);
    m_filterEdit->setPlaceholderText(
        tr("Filter this tree by name or value (Ctrl+F searches everything)"));
    m_filterEdit->setClearButtonEnabled(true);
    row->addWidget(m_filterEdit, 1);
    m_changedOnly = new QCheckBox(tr("Changed only"), page);
    row->addWidget(m_changedOnly);
    layout->addLayout(row);
    connect(m_filterEdit, &QLineEdit::textChanged, this, &MainWindow::onFilterEdited);
    connect(m_changedOnly, &QCheckBox::toggled, this, &MainWindow::onChangedOnlyToggled);

    m_tree = new SettingsTreeView(m_model, page);
    m_tree->setModel(m_proxy);
    m_treeFilter = new TreeFilter(m_model, m_proxy, m_tree, this);
    connect(m_treeFilter, &TreeFilter::applied, this, &MainWindow::onFilterApplied);
    auto *delegate = new ValueDelegate(m_tree);
    m_tree->setItemDelegateForColumn(1, delegate);
    connect(delegate, &ValueDelegate::rejected, this, &MainWindow::showRejection);
    connect(m_tree, &SettingsTreeView::editRefused, this,
            [this](const QString &reason) { statusBar()->showMessage(reason, 8000); });
    m_tree->setColumnLayout();
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_tree->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                            QAbstractItemView::EditKeyPressed);
    connect(m_tree, &QTreeView::customContextMenuRequested, this, &MainWindow::showContextMenu);
    layout->addWidget(m_tree, 1);

    auto *del = new QShortcut(QKeySequence::Delete, m_tree);
    del->setContext(Qt::WidgetShortcut);
    connect(del, &QShortcut::activated, this, &MainWindow::deleteSelected);
    return page;
}

void MainWindow::addTaskPage(TaskPage *page, const QString &title, PageMessages messages)
{
    const int timeout = messages == PageMessages::AsGiven10s ? 10000 : 8000;
    const bool notAccepted = messages == PageMessages::NotAccepted8s;
    connect(page, &TaskPage::message, this, [this, timeout, notAccepted](const QString &text) {
        statusBar()->showMessage(notAccepted ? tr("Not accepted - %1").arg(text) : text, timeout);
    });
    connect(page, &TaskPage::deleteRequested, this, &MainWindow::requestDeletion);
    connect(page, &TaskPage::restoreRequested, m_model, &SettingsModel::undoDeletion);
    connect(page, &TaskPage::revealRequested, this, &MainWindow::revealNode);
    // Task pages come before the advanced tree, which stays the last tab.
    m_tabs->insertTab(m_tabs->count() - 1, page, title);
    m_pages.append(page);
    page->setDocument(m_store.loaded ? &m_store.document : nullptr);
    page->setViewOnly(m_pixInsightRunning);
}

int MainWindow::documentPendingCount() const
{
    if (m_pendingCache < 0)
        m_pendingCache = m_store.loaded ? m_store.document.pendingChangeCount() : 0;
    return m_pendingCache;
}

int MainWindow::pendingCount() const
{
    return documentPendingCount() + (m_unusedView ? m_unusedView->queuedFileCount() : 0);
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

QString MainWindow::deleteLeftoverFiles()
{
    const QList<LeftoverItem> items = m_unusedView->queuedFiles();
    LeftoverReport report;
    {
        const BusyCursor busy;
        report = deleteQueuedLeftovers(items, m_unusedView->programFolder(),
                                       m_unusedView->settingsFolder());
    }
    // Whatever the outcome: what is still there can be found and queued again.
    m_unusedView->clearFileQueue();
    m_unusedView->refresh();
    if (!report.problems.isEmpty())
        Dialogs::warning(this, tr("Some files were not deleted"),
                         report.problems.join(QStringLiteral("\n\n")));
    return tr("Deleted %n files or folders from disk.", nullptr, report.deleted);
}

void MainWindow::onEdited()
{
    m_pendingCache = -1;
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

QString MainWindow::currentFile() const
{
    if (m_store.loaded)
        return m_store.path;
    // The store keeps the path of a file that did not parse; a file that could not be read
    // at all has nothing to reload or restore.
    return !m_failedPath.isEmpty() && m_store.path == m_failedPath ? m_failedPath : QString();
}

// The actions name the step they would take back or do again.
void MainWindow::updateUndoActions()
{
    const QUndoStack *history = m_model->undoStack();
    m_undoAction->setEnabled(m_model->canUndo());
    m_redoAction->setEnabled(m_model->canRedo());
    m_undoAction->setText(history->canUndo() ? tr("Undo %1").arg(history->undoText()) : tr("Undo"));
    m_redoAction->setText(history->canRedo() ? tr("Redo %1").arg(history->redoText()) : tr("Redo"));
}

void MainWindow::updateState()
{
    const int count = pendingCount();
    if (m_store.loaded)
        m_fileCombo->setToolTip(native(m_store.path));
    else if (!m_failedPath.isEmpty())
        m_fileCombo->setToolTip(QStringLiteral("%1\n%2").arg(native(m_failedPath), m_loadError));
    else
        m_fileCombo->setToolTip(tr("No settings file loaded."));

    QString text;
    QColor colour;
    bool reload = false;
    if (!m_runningUnknown.isEmpty()) {
        text = tr("<b>Cannot tell whether PixInsight is running - view only.</b> %1. Until this "
                  "can be checked, PixInsight counts as running: saving and restoring are "
                  "blocked.")
                   .arg(m_runningUnknown.toHtmlEscaped());
        colour = QColor(255, 190, 0, 90);
    } else if (m_pixInsightRunning) {
        text = tr("<b>PixInsight is running - view only.</b> It keeps its settings in memory and "
                  "overwrites this file, so edits made now would be lost. Close PixInsight to "
                  "edit.");
        colour = QColor(255, 190, 0, 90);
    } else if (m_fileMissing) {
        // Reloading could only fail; a backup can still be put in its place.
        text = tr("<b>The settings file is missing: it was deleted, moved or renamed after it "
                  "was loaded.</b> Saving is blocked. Put the file back or restore a backup.");
        colour = QColor(255, 120, 0, 90);
    } else if (m_changedOnDisk && count < 1) {
        text = tr("<b>The file changed on disk since it was loaded.</b>");
        colour = QColor(255, 120, 0, 90);
        reload = true;
    } else if (m_changedOnDisk) {
        text = tr("<b>The file changed on disk since it was loaded.</b> Saving is blocked. Reload "
                  "to continue (your %n unsaved changes will be discarded), or reload and keep "
                  "your changes where the other program left the values alone.",
                  nullptr, count);
        colour = QColor(255, 120, 0, 90);
        reload = true;
    } else if (const XsdtDocument::InvalidUtf8 &bad = m_store.document.invalidUtf8;
               m_store.loaded && bad.count > 0) {
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
    } else if (m_store.loaded && !m_store.document.compactLayout) {
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
    m_reloadKeepAction->setEnabled(m_store.loaded && m_changedOnDisk && !m_fileMissing &&
                                   !m_pixInsightRunning && documentPendingCount() >= 1);
    m_bannerReloadKeep->setVisible(reload && m_reloadKeepAction->isEnabled());

    const bool haveFile = !currentFile().isEmpty();
    m_reloadAction->setEnabled(haveFile && !m_fileMissing);
    m_saveAction->setEnabled(m_store.loaded && count >= 1 && !m_pixInsightRunning &&
                             !m_changedOnDisk);
    m_restoreAction->setEnabled(haveFile && !m_pixInsightRunning);
    m_manageBackupsAction->setEnabled(haveFile);
    m_revertAllAction->setEnabled(count >= 1);
    updateUndoActions();
    // Ends with the program's name, which the desktop's window title would otherwise add once
    // more.
    QString title;
    if (m_store.loaded)
        title = QFileInfo(m_store.path).fileName() + QStringLiteral(" - ");
    if (count >= 1)
        title += tr("%n unsaved changes", nullptr, count) + QStringLiteral(" - ");
    setWindowTitle(title + tr("Varnel"));
}

void MainWindow::pollEnvironment()
{
    const bool wasRunning = m_pixInsightRunning;
    const PixInsightCheck running = checkPixInsight();
    m_pixInsightRunning = running.mayBeRunning();
    m_runningUnknown = running.known ? QString() : running.reason;
    if (m_store.loaded) {
        m_changedOnDisk = m_store.changedOnDisk();
        m_fileMissing = m_changedOnDisk && !QFileInfo::exists(m_store.path);
        // What PixInsight wrote when it exited is shown at once, unless it would cost edits.
        if (m_changedOnDisk && wasRunning && !m_pixInsightRunning && pendingCount() == 0)
            loadFile(m_store.path);
    } else {
        m_changedOnDisk = false;
        m_fileMissing = false;
    }
    m_model->setViewOnly(m_pixInsightRunning);
    for (TaskPage *page : std::as_const(m_pages))
        page->setViewOnly(m_pixInsightRunning);
    if (findSettingsFiles() != m_knownFiles)
        refillFileList();
    updateState();
}

void MainWindow::refillFileList()
{
    m_knownFiles = findSettingsFiles();
    const QSignalBlocker blocker(m_fileCombo);
    m_fileCombo->clear();
    bool openListed = false;
    for (const QString &path : std::as_const(m_knownFiles)) {
        m_fileCombo->addItem(fileLabel(path), path);
        if (m_store.loaded && !openListed && sameFile(path, m_store.path)) {
            m_fileCombo->setCurrentIndex(m_fileCombo->count() - 1);
            openListed = true;
        }
    }
    if (m_store.loaded && !openListed) {
        m_fileCombo->addItem(fileLabel(m_store.path), m_store.path);
        m_fileCombo->setCurrentIndex(m_fileCombo->count() - 1);
    }
    if (!m_store.loaded && !m_failedPath.isEmpty()) {
        // The file row names the file that failed, so that nobody takes another for it.
        const qsizetype listed = m_knownFiles.indexOf(m_failedPath);
        if (listed < 0)
            m_fileCombo->addItem(tr("%1 - cannot be opened").arg(native(m_failedPath)),
                                 m_failedPath);
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
    const QString path = currentFile();
    if (path.isEmpty())
        return;
    if (confirmDiscard(tr("Reloading discards them.")))
        loadFile(path);
}

void MainWindow::onReloadKeepingChanges()
{
    if (!m_reloadKeepAction->isEnabled())
        return;
    const QString path = m_store.path;
    // A file the other program left broken would take the changes with it: they stay in memory
    // until it reads again.
    QString error;
    bool reads = false;
    {
        const BusyCursor busy;
        reads = m_store.fileReads(&error);
    }
    if (!reads) {
        Dialogs::critical(this, tr("Cannot reload"),
                          tr("%1\nNothing was reloaded; your changes are kept.").arg(error));
        return;
    }
    const QList<PendingChange> pending = pendingChanges(m_store.document);
    // The queued files are on disk, not in the settings file: they stay as they are.
    if (!loadFile(path, true))
        return;
    QList<ReapplyOutcome> outcomes;
    {
        const BusyCursor busy;
        outcomes = reapplyPending(pending, *m_model);
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

bool MainWindow::loadFile(const QString &path, bool keepFileQueue)
{
    if (!keepFileQueue)
        m_unusedView->clearFileQueue();
    detachDocument();
    QString error;
    bool ok = false;
    {
        const BusyCursor busy;
        ok = m_store.load(path, &error);
        attachDocument();
    }
    if (ok) {
        m_changedOnDisk = false;
        m_fileMissing = false;
        m_failedPath.clear();
        m_loadError.clear();
        resetTreeExpansion();
        statusBar()->showMessage(tr("Loaded %1").arg(native(m_store.path)), 5000);
    } else {
        m_failedPath = QFileInfo(path).absoluteFilePath();
        m_loadError = error;
        statusBar()->showMessage(error);
        Dialogs::critical(this, tr("Cannot open file"), error);
    }
    refillFileList();
    updateState();
    return ok;
}

void MainWindow::attachDocument()
{
    m_pendingCache = -1;
    m_unusedView->setFolders(settingsFolder(), findInstallDir());
    XsdtDocument *document = m_store.loaded ? &m_store.document : nullptr;
    m_model->setDocument(document);
    for (TaskPage *page : std::as_const(m_pages))
        page->setDocument(document);
}

void MainWindow::detachDocument()
{
    m_pendingCache = -1;
    m_model->setDocument(nullptr);
    for (TaskPage *page : std::as_const(m_pages))
        page->setDocument(nullptr);
}

void MainWindow::expandToPreferences()
{
    if (!m_store.loaded)
        return;
    const XsdtNode *prefs = m_store.document.findPath(u"Global/Preferences");
    if (!prefs)
        return;
    for (QModelIndex index = m_proxy->mapFromSource(m_model->indexForNode(prefs)); index.isValid();
         index = index.parent())
        m_tree->expand(index);
}

void MainWindow::revealNode(XsdtNode *node)
{
    if (!node)
        return;
    m_tabs->setCurrentWidget(m_tree->parentWidget());
    {
        // The filter goes at once, without a typing pause that would close the tree again.
        const QSignalBlocker text(m_filterEdit);
        const QSignalBlocker changed(m_changedOnly);
        m_filterEdit->clear();
        m_changedOnly->setChecked(false);
    }
    m_treeFilter->clearNow();
    const QModelIndex index = m_proxy->mapFromSource(m_model->indexForNode(node));
    if (!index.isValid())
        return;
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent())
        m_tree->expand(up);
    m_tree->setCurrentIndex(index);
    m_tree->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void MainWindow::onFilterEdited(const QString &text)
{
    m_treeFilter->setText(text);
}

void MainWindow::onChangedOnlyToggled(bool on)
{
    m_treeFilter->setChangedOnly(on);
}

// A new document shows its Preferences, unless a filter is on: that opens its own matches
// once it has looked through the new document.
void MainWindow::resetTreeExpansion()
{
    if (m_treeFilter->isActive())
        return;
    m_tree->collapseAll();
    expandToPreferences();
}

void MainWindow::onFilterApplied(bool filtering, bool capped)
{
    if (!filtering)
        expandToPreferences();
    if (capped)
        statusBar()->showMessage(tr("Many settings match: only the first %1 rows are opened. Open "
                                    "a group to see the matches inside it.")
                                     .arg(TreeFilter::RowBudget),
                                 8000);
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

void MainWindow::deleteSelected()
{
    const QModelIndex index = m_proxy->mapToSource(m_tree->currentIndex());
    if (!index.isValid())
        return;
    requestDeletion(m_model->nodeForIndex(index));
}

void MainWindow::showContextMenu(const QPoint &pos)
{
    const QModelIndex index = m_proxy->mapToSource(m_tree->indexAt(pos));
    if (!index.isValid())
        return;
    XsdtNode *node = m_model->nodeForIndex(index);
    if (!node)
        return;
    const bool viewOnly = m_model->isViewOnly();
    QMenu menu(this);
    menu.setToolTipsVisible(true);
    QAction *edit = nullptr;
    if (node->isValue()) {
        edit = menu.addAction(tr("Edit value"));
        const QString why = m_model->whyNotEditable(node);
        edit->setEnabled(why.isEmpty());
        edit->setToolTip(why);
    }
    QAction *revert = menu.addAction(tr("Revert this value"));
    revert->setEnabled(node->kind == XsdtNode::Value && node->value != node->originalValue &&
                       !viewOnly);
    QAction *copyPath = menu.addAction(tr("Copy setting path"));
    QAction *copyValue = menu.addAction(tr("Copy value"));
    copyValue->setEnabled(node->kind == XsdtNode::Value);
    menu.addSeparator();
    QAction *undo = nullptr;
    QAction *remove = nullptr;
    QAction *why = nullptr;
    const DeleteVerdict verdict = m_model->deletionVerdict(node);
    if (node->pendingDelete) {
        undo = menu.addAction(tr("Undo deletion"));
    } else if (node->isDeleted()) {
        menu.addAction(tr("Inside an entry marked for deletion"))->setEnabled(false);
    } else if (verdict.level == DeleteLevel::Never) {
        why = menu.addAction(tr("Why can't this be deleted?"));
    } else {
        remove = menu.addAction(verdict.level == DeleteLevel::Warn ? tr("Delete this entry...")
                                                                   : tr("Delete this entry"));
        remove->setToolTip(verdict.reason);
        remove->setEnabled(!viewOnly);
    }

    QAction *chosen = Dialogs::execMenu(&menu, m_tree->viewport()->mapToGlobal(pos));
    if (!chosen)
        return;
    if (chosen == edit)
        m_tree->editValue(m_tree->indexAt(pos));
    else if (chosen == revert)
        m_model->revertValue(node);
    else if (chosen == copyPath)
        QGuiApplication::clipboard()->setText(node->path());
    else if (chosen == copyValue)
        QGuiApplication::clipboard()->setText(node->value);
    else if (chosen == undo)
        m_model->undoDeletion(node);
    else if (chosen == remove)
        requestDeletion(node);
    else if (chosen == why)
        Dialogs::information(this, tr("Cannot delete"),
                             QStringLiteral("%1\n\n%2").arg(node->path(), verdict.reason));
}

bool MainWindow::onSave()
{
    if (!m_store.loaded)
        return true;
    const QList<LeftoverItem> files = m_unusedView->queuedFiles();
    if (documentPendingCount() == 0 && files.isEmpty())
        return true;
    {
        ReviewDialog review(m_model, &m_store.document, this);
        review.setLeftoverItems(files);
        if (Dialogs::execDialog(&review) != QDialog::Accepted)
            return false;
    }
    QString backupName;
    if (documentPendingCount() >= 1) {
        // Deletions prune the tree: nobody may hold a node pointer while that happens.
        const bool pruning = !m_store.document.deletedNodes().isEmpty();
        if (pruning)
            detachDocument();
        QString error;
        QString backup;
        bool ok = false;
        {
            const BusyCursor busy;
            ok = m_store.save(&error, &backup);
        }
        m_pendingCache = -1; // a save commits the document
        if (pruning) {
            attachDocument();
            resetTreeExpansion();
        }
        if (!ok) {
            Dialogs::critical(this, tr("Save failed"), error);
            pollEnvironment();
            return false;
        }
        m_model->refreshAll();
        refillFileList();        // the file row shows the new size and time
        m_model->clearHistory(); // what was saved is the new starting point
        backupName = QFileInfo(backup).fileName();
        // Compare offers the backup just made.
        m_compare->refreshFileChoices();
    }
    // Files go only after the settings were written (or when there was nothing to write).
    QString deleted;
    if (m_unusedView->queuedFileCount() > 0)
        deleted = deleteLeftoverFiles().section(QLatin1Char('\n'), 0, 0);
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
    const QString target = currentFile();
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
    // Files queued against the file being replaced were among the changes just discarded.
    m_unusedView->clearFileQueue();
    detachDocument();
    QString error;
    bool restored = false;
    {
        const BusyCursor busy;
        restored = m_store.restoreBackup(backup, &error);
        attachDocument();
    }
    if (!restored) {
        Dialogs::critical(this, tr("Restore failed"), error);
    } else {
        m_changedOnDisk = false;
        m_failedPath.clear();
        m_loadError.clear();
        refillFileList();
        statusBar()->showMessage(tr("Restored %1").arg(QFileInfo(backup).fileName()), 8000);
        resetTreeExpansion();
    }
    updateState();
    return restored;
}

void MainWindow::onThemeChanged()
{
    ThemeManager *theme = ThemeManager::instance();
    switch (theme->theme()) {
    case ThemeManager::Light:
        m_lightAction->setChecked(true);
        break;
    case ThemeManager::Dark:
        m_darkAction->setChecked(true);
        break;
    default:
        m_systemThemeAction->setChecked(true);
        break;
    }
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
    const QPalette palette = QApplication::palette();
    const QColor normal = palette.color(QPalette::Active, QPalette::ButtonText);
    const QColor disabled = palette.color(QPalette::Disabled, QPalette::ButtonText);
    // The glyphs grow with the text like the labels under them.
    const auto *varnelStyle = qobject_cast<const VarnelStyle *>(style());
    const int side = int(std::lround(18 * (varnelStyle ? varnelStyle->scale() : 1.0)));
    m_toolbar->setIconSize(QSize(side, side));
    QFont font = this->font();
    font.setPointSizeF(qMax(font.pointSizeF() * 0.62, 6.5));
    m_toolbar->setFont(font);
    m_toolbar->setStyleSheet(QString::fromLatin1(kToolbarStyle).arg(1).arg(3).arg(4));
    const qreal ratio = devicePixelRatioF();
    const int pixels = qMax(int(std::lround(side * ratio)), 8);
    for (const auto &[action, glyph] : std::as_const(m_toolbarActions)) {
        action->setIcon(toolbarIcon(ToolbarGlyph(glyph), normal, disabled, pixels, ratio));
        // Each button gets the size itself: a style sheet polishes the buttons with the
        // font they had then, and a platform may give tool buttons a font of their own.
        if (QWidget *button = m_toolbar->widgetForAction(action))
            button->setFont(font);
    }
    // Keeps the bar compact, but never so low that the labels under the icons are cut off
    // (with some styles and fonts the buttons need a few pixels more than that).
    m_toolbar->setMaximumHeight(QWIDGETSIZE_MAX);
    m_toolbar->setMaximumHeight(
        qMax(QFontMetrics(font).lineSpacing() + side + 21, m_toolbar->sizeHint().height()));
    updateMinimumWidth();
    QTimer::singleShot(0, this, &MainWindow::updateMinimumWidth);
}

void MainWindow::updateMinimumWidth()
{
    int width = centralWidget() ? centralWidget()->minimumSizeHint().width() : 0;
    if (m_toolbar->isVisible()) {
        if (m_toolbar->layout())
            m_toolbar->layout()->activate();
        width = qMax(width, m_toolbar->sizeHint().width());
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
    const QString file = currentFile();
    if (file.isEmpty())
        return;
    BackupsDialog dialog(file, this);
    dialog.setActionsAllowed(m_store.loaded, m_restoreAction->isEnabled());
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
        dialog.setActionsAllowed(m_store.loaded, m_restoreAction->isEnabled());
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
