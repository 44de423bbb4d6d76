#pragma once

#include "store/documentmanager.h"

#include <QObject>
#include <QString>

class QMainWindow;

namespace vrn {

class CompareView;
class SettingsModel;
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
    };
    explicit FileCommands(const Parts &parts);

    // True when there is nothing unsaved or the user agreed to drop it; `reason` ends the question.
    bool confirmDiscard(const QString &reason);
    // Shows the review first; false when the user stepped back or the save failed. A large file
    // is still being saved when this returns true: saveDone follows.
    bool save();
    void reloadKeepingChanges();
    // Lets the user choose one of the current file's backups, then restores it.
    void restoreBackup();
    bool restoreBackupFile(const QString &backup);

signals:
    // The file row has a new file or a new size and time to show.
    void fileListChanged();
    // What the window shows about the file may have changed.
    void stateChanged();
    // After every save this started, reported and all.
    void saveDone(bool ok);

private:
    void onSaved(const DocumentManager::SaveResult &saved);

    QMainWindow *m_window;
    DocumentManager *m_docs;
    SettingsModel *m_model;
    UnusedModulesView *m_unusedView;
    CompareView *m_compare;
    bool m_saving = false; // a save this started is under way
    bool m_savedOk = false;
};

} // namespace vrn
