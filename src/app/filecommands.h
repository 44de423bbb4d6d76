#pragma once

#include "store/documentmanager.h"

#include <QObject>
#include <QPointer>
#include <QString>
#include <QTemporaryFile>

#include <memory>

#include <functional>

class QMainWindow;
class QProgressDialog;
class QWidget;

namespace vrn {

class CompareView;
class DocumentManager;
class Schema;
class SettingsModel;
struct ImportPlan;
struct SetupFile;
struct SetupFolder;
class UnusedModulesView;

// Saving, reloading with the changes kept and restoring a backup, with the questions asked
// before and the reports after; the document manager takes the steps themselves.
class FileCommands : public QObject
{
    Q_OBJECT

public:
    struct Parts
    {
        QMainWindow *window; // asks the questions over it, reports in its status bar; the owner
        DocumentManager *docs;
        SettingsModel *model;
        UnusedModulesView *unusedView; // keeps the files queued for deletion
        CompareView *compare;
        const Schema *schema = nullptr; // what imported values are checked against
    };
    explicit FileCommands(const Parts &parts);

    // What an import shows while the worker reads or checks a large setup: the step and Cancel.
    static QProgressDialog *importProgress(const QString &text, QWidget *parent);

    // True when the file fits in the memory available now, or the user chose to open it anyway.
    bool mayOpen(const QString &path);
    // True when there is nothing unsaved or the user agreed to drop it; `reason` ends the question.
    bool confirmDiscard(const QString &reason);
    // Before another file is opened: runs `then` when nothing is unsaved, or once the user has
    // saved it (after a save written on the worker, too) or chosen to drop it.
    void offerSaveThen(const std::function<void()> &then);
    // Shows the review first; false when the user stepped back or the save failed. A large file
    // is still being saved when this returns true: saveDone follows.
    bool save();
    void reloadKeepingChanges();
    // Lets the user choose one of the current file's backups, then restores it.
    void restoreBackup();
    // False when the user stepped back; a large file is still being restored when this returns
    // true: restoreDone follows.
    bool restoreBackupFile(const QString &backup);
    // The same for a version of the file's history, restored from a copy of its bytes; `name`
    // says which version in the question and the report.
    bool restoreVersion(const QByteArray &bytes, const QString &name);
    // The backups of the open file, to compare, restore or delete.
    void manageBackups();
    // PixInsight's own record of installed updates, when it is found.
    void installedUpdates();
    // Writes the documented preferences and chosen modules' data to a file of the user's choice.
    void exportSetup();
    // Reads an exported file, asks where its paths move to, queues every value as one undo
    // step and shows the review; a file with problems changes nothing.
    void importSetup();

signals:
    // The file row has a new file or a new size and time to show.
    void fileListChanged();
    // What the window shows about the file may have changed.
    void stateChanged();
    // After every save this started, reported and all.
    void saveDone(bool ok);
    // A reload keeping changes has ended, however it went.
    void reloadKeptDone();
    // The same for a restore.
    void restoreDone(bool ok);
    // A comparison was started from the backups: its page is to be shown.
    void compareShown();

private:
    // A file the user made read-only is replaced only when they say so; `question` asks.
    bool allowReadOnly(const QString &question);
    void onSaved(const DocumentManager::SaveResult &saved);
    void onRestored(bool ok, const QString &error);
    struct WorkerRun;
    // The export once the names it offers are gathered.
    void chooseExport(const QStringList &modules);
    // The steps of an import once its file is read: where its paths move to, then the values
    // checked and queued.
    void mapSetup(const QString &path, const std::shared_ptr<SetupFile> &setup, qint64 size,
                  const QString &oldHome, const QList<SetupFolder> &folders);
    // While the worker reads, checks or writes a large setup, a dialog says so and offers Cancel.
    void offerCancel(const QString &title, const QString &busyText,
                     const std::shared_ptr<WorkerRun> &run);
    static QProgressDialog *progressDialog(const QString &title, const QString &text,
                                           QWidget *parent);
    void applyImport(const QString &path, const ImportPlan &plan);
    // True, after telling the user, while a reload is making the changes again.
    bool reloadUnderWay();

    QMainWindow *m_window;
    DocumentManager *m_docs;
    SettingsModel *m_model;
    UnusedModulesView *m_unusedView;
    CompareView *m_compare;
    const Schema *m_schema;
    bool m_saving = false; // a save this started is under way
    bool m_savedOk = false;
    QString m_restoring;                           // the backup being restored
    QString m_restoringName;                       // what the question and the report call it
    std::unique_ptr<QTemporaryFile> m_restoreCopy; // of a version, until it is restored
    QPointer<QProgressDialog> m_progress;
};

} // namespace vrn
