#pragma once

#include "app/busyindicator.h"
#include "app/filebanner.h"
#include "app/windowactions.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/schema.h"
#include "store/documentmanager.h"

#include <QList>
#include <QMainWindow>
#include <QStringList>

class QAction;
class QComboBox;
class QLabel;
class QPushButton;
class QTabWidget;

namespace vrn {

class AdBanner;
class AllSettingsView;
class CleanupView;
class CompareView;
class HistoryView;
class EditRequests;
class FileCommands;
class HealthView;
class PathsView;
class PreferencesView;
class RepositoriesView;
class SearchView;
class SettingsModel;
class TaskPage;
class UnusedModulesView;
class WindowLook;
struct XsdtNode;

// The one top-level window: owns the document manager, the schema, the deletion rules, the
// model and the pages, and shows the file row, the banner and the tool dialogs. Saving,
// reloading with the changes kept and restoring go through its FileCommands.
class MainWindow : public QMainWindow
{
    Q_OBJECT

public:
    // With an initial file, that file is opened instead of the one found in PixInsight's folder.
    explicit MainWindow(QWidget *parent = nullptr, const QString &initialFile = QString());
    ~MainWindow() override;

    // Files queued for deletion on the Unused modules page are dropped. A large file is read
    // on a worker while the window shows that; false when the file failed at once.
    bool loadFile(const QString &path);
    void updateState();
    void requestDeletion(XsdtNode *node);
    // Shows the node in the All settings tree.
    void revealNode(XsdtNode *node);
    void refillFileList();
    // Unsaved changes: edits and deletions in the document, and files queued for deletion.
    int pendingCount() const;

    // How a page's messages are shown in the status bar.
    enum class PageMessages {
        Refusals,    // edits the page could not make, shown as "Not accepted - ..."
        Notices,     // shown as the page words them
        LongNotices, // as worded, left up longer: they name files and counts to take in
    };
    // Adds a task page as a tab and wires its requests to the window; the document manager hands
    // it the document and the view-only state from then on.
    void addTaskPage(TaskPage *page, const QString &title, PageMessages messages);

    // Renders the pages to PNG files in the directory for layout checks and saves nothing;
    // false when a picture could not be written. With a search text the Preferences pages are
    // shown with that search applied.
    bool runScreenshots(const QString &directory, const QString &search = QString());

    // Read access for tests and the benchmark.
    const SettingsStore &store() const { return m_docs.store(); }
    const DocumentManager &documents() const { return m_docs; }
    SettingsModel *model() const { return m_model; }
    QTabWidget *tabs() const { return m_tabs; }
    AllSettingsView *allSettingsView() const { return m_allSettings; }
    HealthView *healthView() const { return m_health; }
    QComboBox *fileCombo() const { return m_fileCombo; }
    QLabel *banner() const { return m_banner->label(); }
    QLabel *busyLabel() const { return m_busy->label(); }
    QPushButton *bannerReloadButton() const { return m_banner->reloadButton(); }
    QPushButton *bannerReloadKeepButton() const { return m_banner->reloadKeepButton(); }
    const WindowActions *actions() const { return m_actions; }
    QAction *saveAction() const { return m_actions->save; }
    QAction *reloadAction() const { return m_actions->reload; }
    QAction *reloadKeepAction() const { return m_actions->reloadKeep; }
    QAction *restoreAction() const { return m_actions->restore; }
    QAction *revertAllAction() const { return m_actions->revertAll; }
    SearchView *searchView() const { return m_search; }
    UnusedModulesView *unusedModulesView() const { return m_unusedView; }
    PathsView *pathsView() const { return m_paths; }
    RepositoriesView *repositoriesView() const { return m_repositories; }
    QAction *aboutAction() const { return m_actions->about; }
    AdBanner *adBanner() const { return m_adBanner; }
    QAction *undoAction() const { return m_actions->undo; }
    QAction *redoAction() const { return m_actions->redo; }
    bool isPixInsightRunning() const { return m_docs.isPixInsightRunning(); }
    bool isChangedOnDisk() const { return m_docs.isChangedOnDisk(); }

public slots:
    void onOpen();
    void onReload();
    // Reviews the changes, then saves; false when the user stepped back or the save failed.
    bool onSave();
    void onRevertAll();
    void onEdited();
    void pollEnvironment();
    void onUnusedModules();
    void onHealthCheck();
    void onAbout();

protected:
    void closeEvent(QCloseEvent *event) override;
    void showEvent(QShowEvent *event) override;

private:
    void loadKnowledge();
    void connectActions();
    void buildCentralWidget();
    // Hands the page the document and the view-only state and wires its requests.
    void wirePage(TaskPage *page, PageMessages messages);
    void onFileActivated(int index);
    void chooseAndOpen();
    QString settingsFolder() const;
    void onDocumentReplaced(XsdtDocument *document);
    void onLoadFinished(bool ok, const QString &error);
    void onDocumentStateChanged();
    void showRejection(const QString &reason);
    void onBusyChanged();

    DocumentManager m_docs;
    SettingsStore &m_store = m_docs.store(); // the manager's; edits go through the model
    Schema m_schema;
    DeletionPolicy m_policy;
    SettingsModel *m_model = nullptr;
    WindowActions *m_actions = nullptr;
    WindowLook *m_look = nullptr;
    FileCommands *m_files = nullptr;
    EditRequests *m_requests = nullptr;
    AllSettingsView *m_allSettings = nullptr;
    PreferencesView *m_preferences = nullptr;
    SearchView *m_search = nullptr;
    CleanupView *m_cleanup = nullptr;
    CompareView *m_compare = nullptr;
    HistoryView *m_history = nullptr;
    UnusedModulesView *m_unusedView = nullptr;
    HealthView *m_health = nullptr;
    PathsView *m_paths = nullptr;
    RepositoriesView *m_repositories = nullptr;
    QTabWidget *m_tabs = nullptr;
    QComboBox *m_fileCombo = nullptr;
    QStringList m_knownFiles;
    FileBanner *m_banner = nullptr;
    QPushButton *m_browse = nullptr;
    BusyIndicator *m_busy = nullptr;
    bool m_closeWhenSaved = false;       // the user closed the window while it was being saved
    bool m_closeWhenKept = false;        // or while a reload kept changes
    bool m_pretendChangedOnDisk = false; // the screenshots show the banner without a change
    QString m_rejection; // the "Not accepted" message on show, cleared by the next good edit
    AdBanner *m_adBanner = nullptr;
};

} // namespace vrn
