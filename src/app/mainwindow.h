#pragma once

#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "store/settingsstore.h"
#include "widgets/settingstreeview.h"

#include <QList>
#include <QMainWindow>
#include <QPair>
#include <QStringList>

#include <functional>

class QAction;
class QActionGroup;
class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTabWidget;
class QTimer;
class QToolBar;
class QTreeView;
class QUrl;

namespace vrn {

class PreferencesView;
class SearchView;
class AdBanner;
class CleanupView;
class CompareView;
class HealthView;
class SettingsFilterProxy;
class SettingsModel;
class TaskPage;
class TreeFilter;
struct ModuleEntries;
class UnusedModulesView;
struct XsdtNode;

// The one top-level window: owns the open file's store, the schema, the deletion rules, the
// model and the pages, and is the only place where the file is opened, reloaded, saved or
// restored.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // With an initial file, that file is opened instead of the one found in PixInsight's folder.
    explicit MainWindow(QWidget *parent = nullptr, const QString &initialFile = QString());
    ~MainWindow() override;

    // Files queued for deletion on the Unused modules page are dropped, unless kept for a
    // reload of the same file.
    bool loadFile(const QString &path, bool keepFileQueue = false);
    void updateState();
    bool confirmDiscard(const QString &reason);
    void requestDeletion(XsdtNode *node);
    void revealNode(XsdtNode *node);
    void attachDocument();
    void detachDocument();
    void expandToPreferences();
    void refillFileList();
    // Unsaved changes: edits and deletions in the document, and files queued for deletion.
    int pendingCount() const;
    // Deletes the files queued on the Unused modules page, right after a save; the first line
    // of the result goes to the status bar.
    QString deleteLeftoverFiles();

    // How a page's messages reach the status bar.
    enum class PageMessages { NotAccepted8s, AsGiven8s, AsGiven10s };
    // Adds a task page as a tab and wires its requests to the window; the window hands it the
    // document and the view-only state from then on.
    void addTaskPage(TaskPage *page, const QString &title, PageMessages messages);

    // Renders the pages to PNG files in the directory for layout checks and saves nothing;
    // false when a picture could not be written. With a search text the Preferences pages are
    // shown with that search applied.
    bool runScreenshots(const QString &directory, const QString &search = QString());

    // Read access for tests and the benchmark.
    const SettingsStore &store() const { return m_store; }
    SettingsModel *model() const { return m_model; }
    SettingsFilterProxy *proxy() const { return m_proxy; }
    QTreeView *tree() const { return m_tree; }
    QTabWidget *tabs() const { return m_tabs; }
    CleanupView *cleanupView() const { return m_cleanup; }
    CompareView *compareView() const { return m_compare; }
    HealthView *healthView() const { return m_health; }
    QComboBox *fileCombo() const { return m_fileCombo; }
    QLabel *banner() const { return m_banner; }
    QPushButton *bannerReloadButton() const { return m_bannerReload; }
    QPushButton *bannerReloadKeepButton() const { return m_bannerReloadKeep; }
    QLineEdit *filterEdit() const { return m_filterEdit; }
    QCheckBox *changedOnlyBox() const { return m_changedOnly; }
    QToolBar *toolbar() const { return m_toolbar; }
    QAction *saveAction() const { return m_saveAction; }
    QAction *reloadAction() const { return m_reloadAction; }
    QAction *reloadKeepAction() const { return m_reloadKeepAction; }
    QAction *restoreAction() const { return m_restoreAction; }
    QAction *installedUpdatesAction() const { return m_installedUpdatesAction; }
    QAction *revertAllAction() const { return m_revertAllAction; }
    QAction *findModuleAction() const { return m_findModuleAction; }
    PreferencesView *preferencesView() const { return m_preferences; }
    SearchView *searchView() const { return m_search; }
    QAction *unusedModulesAction() const { return m_unusedAction; }
    UnusedModulesView *unusedModulesView() const { return m_unusedView; }
    QAction *manageBackupsAction() const { return m_manageBackupsAction; }
    QAction *aboutAction() const { return m_aboutAction; }
    AdBanner *adBanner() const { return m_adBanner; }
    QAction *undoAction() const { return m_undoAction; }
    QAction *redoAction() const { return m_redoAction; }
    bool isPixInsightRunning() const { return m_pixInsightRunning; }
    bool isChangedOnDisk() const { return m_changedOnDisk; }

    // Seam for tests: how the user guide is opened (the desktop's handler by default).
    static void setUrlOpener(std::function<bool(const QUrl &)> opener);

public slots:
    void onOpen();
    void onReload();
    void onReloadKeepingChanges();
    bool onSave();
    void onRestoreBackup();
    // File > Restore backup once the backup is chosen; also run from the Backups dialog.
    bool restoreBackupFile(const QString &backup);
    void onRevertAll();
    void onEdited();
    void pollEnvironment();
    void showContextMenu(const QPoint &pos);
    void deleteSelected();
    void refreshToolbarIcons();
    void updateMinimumWidth();
    void ensureOnScreen();
    void updateStatusBarStyle();
    void openUserGuide();
    void onFindModule();
    void onUnusedModules();
    void onInstalledUpdates();
    void onManageBackups();
    void onHealthCheck();
    void onAbout();
    void updateUndoActions();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void loadKnowledge();
    void buildActions();
    void buildMenus();
    void buildToolbar();
    void buildCentralWidget();
    QWidget *buildAdvancedPage();
    void onFileActivated(int index);
    void onThemeChanged();
    void onFilterEdited(const QString &text);
    void onChangedOnlyToggled(bool on);
    void onFilterApplied(bool filtering, bool capped);
    void resetTreeExpansion();
    QString settingsFolder() const;
    void runFullSearch(const QString &text);
    QList<XsdtNode *> moduleValueNodes(const QList<ModuleEntries> &modules,
                                       QStringList *labels = nullptr) const;
    int documentPendingCount() const;
    // The file the window is about: the open one, or the one that failed to parse (empty when
    // neither); Reload and Restore backup act on it.
    QString currentFile() const;
    void showRejection(const QString &reason);
    QString recordedPixInsightVersion() const;

    SettingsStore m_store;
    Schema m_schema;
    DeletionPolicy m_policy;
    SettingsModel *m_model = nullptr;
    SettingsFilterProxy *m_proxy = nullptr;
    QList<TaskPage *> m_pages;
    PreferencesView *m_preferences = nullptr;
    SearchView *m_search = nullptr;
    CleanupView *m_cleanup = nullptr;
    CompareView *m_compare = nullptr;
    UnusedModulesView *m_unusedView = nullptr;
    HealthView *m_health = nullptr;
    QAction *m_healthCheckAction = nullptr;
    QTabWidget *m_tabs = nullptr;
    QComboBox *m_fileCombo = nullptr;
    QStringList m_knownFiles;
    QLabel *m_banner = nullptr;
    QPushButton *m_bannerReload = nullptr;
    QPushButton *m_bannerReloadKeep = nullptr;
    QLineEdit *m_filterEdit = nullptr;
    QCheckBox *m_changedOnly = nullptr;
    SettingsTreeView *m_tree = nullptr;
    TreeFilter *m_treeFilter = nullptr;
    QToolBar *m_toolbar = nullptr;
    QList<QPair<QAction *, int>> m_toolbarActions;
    QTimer *m_envTimer = nullptr;
    bool m_pixInsightRunning = false; // or nobody could tell
    QString m_runningUnknown;         // why the running check could not be made
    bool m_changedOnDisk = false;
    bool m_fileMissing = false; // the loaded file is gone from disk: nothing to reload
    bool m_dontAskDelete = false;
    double m_lastFontScale = 0;
    bool m_firstShowDone = false;
    // The file that last failed to open and why; shown in the file row until a file opens.
    QString m_failedPath;
    QString m_loadError;
    QString m_rejection; // the "Not accepted" message on show, cleared by the next good edit
    // The pending-change count walks the whole document; the poll asks for it every three
    // seconds, so it is kept until something changes the document.
    mutable int m_pendingCache = -1;

    QAction *m_openAction = nullptr;
    QAction *m_reloadAction = nullptr;
    QAction *m_reloadKeepAction = nullptr;
    QAction *m_saveAction = nullptr;
    QAction *m_restoreAction = nullptr;
    QAction *m_installedUpdatesAction = nullptr;
    QAction *m_revertAllAction = nullptr;
    QAction *m_findModuleAction = nullptr;
    QAction *m_unusedAction = nullptr;
    QAction *m_undoAction = nullptr;
    QAction *m_redoAction = nullptr;
    QAction *m_quitAction = nullptr;
    QAction *m_manageBackupsAction = nullptr;
    QAction *m_aboutAction = nullptr;
    AdBanner *m_adBanner = nullptr;
    QAction *m_expandAllAction = nullptr;
    QAction *m_collapseAllAction = nullptr;
    QAction *m_largerTextAction = nullptr;
    QAction *m_smallerTextAction = nullptr;
    QAction *m_defaultTextAction = nullptr;
    QAction *m_toggleThemeAction = nullptr;
    QAction *m_userGuideAction = nullptr;
    QAction *m_aboutQtAction = nullptr;
    QActionGroup *m_themeGroup = nullptr;
    QAction *m_lightAction = nullptr;
    QAction *m_darkAction = nullptr;
    QAction *m_systemThemeAction = nullptr;
};

} // namespace vrn
