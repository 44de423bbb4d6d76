#pragma once

#include "store/leftoverreport.h"
#include "store/settingsstore.h"

#include <QObject>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <optional>

class QThread;
class QTimer;

namespace vrn {

// The open settings file's life: loading, reloading, saving and restoring it, and the poll that
// notices PixInsight starting or exiting and the file changing underneath. It asks the user
// nothing: questions and messages stay with whoever drives it (the window, varnelctl). Anything
// holding node pointers lets go on aboutToReplaceDocument and takes the new document on
// documentReplaced.
//
// Reading, checking and writing a large file runs on a worker thread: the GUI thread hands the
// document over and takes it back, and while the worker has it nobody changes it (a load hides
// it, a save only reads it, so the caller refuses edits until the save is done). A result that
// comes back after the user moved on (another file opened, unload) is dropped.
class DocumentManager : public QObject
{
    Q_OBJECT

public:
    // Files queued for deletion beside the settings file (the Unused modules page keeps the
    // queue). They count as pending changes and are deleted right after a successful save, by
    // the deletion that whoever keeps the queue hands in: asking for administrator rights to
    // delete them is not the store's business.
    struct FileQueue
    {
        std::function<int()> count;
        // Called when a save starts: the deletion of what is queued now, run where the save
        // runs once the settings were written.
        std::function<std::function<LeftoverReport()>()> take;
        std::function<void()> clear;
    };

    // What reloading with the pending changes kept needs from the layer that makes edits: note
    // them on the old document before it goes, and make them again on the new one.
    struct KeepChanges
    {
        std::function<void(const XsdtDocument &old)> note;
        std::function<void()> makeAgain;
        // How it ended (not called when the user moved on).
        std::function<void(bool ok, const QString &error)> finished;
        // On the thread that reads the file: once with the document as it was, just before
        // the read, and once with the document read (fresh), before the window has it, at no
        // cost to it. It may read only the document given, and change values of the fresh one.
        std::function<void(const XsdtDocument &document, bool fresh)> onReader;
    };

    struct SaveResult
    {
        bool ok = true;        // false: nothing was written and `error` says why
        bool wrote = false;    // the settings file was written
        bool replaced = false; // deletions pruned the tree: the document was announced again
        QString error;
        QString backupPath;     // the backup made before writing
        bool filesDone = false; // queued files were deleted (or tried)
        LeftoverReport files;
    };

    // What there is to tell about the file, the most pressing first, and what it allows now.
    struct FileState
    {
        enum Notice {
            NoNotice,
            RunningUnknown, // nobody could tell whether PixInsight runs: it counts as running
            Running,
            Missing,       // gone from disk since it was loaded
            ChangedOnDisk, // another program wrote it since it was loaded
            InvalidUtf8,   // it holds bytes that cannot be written back as they are
            OtherLayout,   // saving rewrites it in PixInsight's compact layout
        };
        Notice notice = NoNotice;
        int pending = 0; // pendingCount()
        bool haveFile = false;
        bool canSave = false;
        bool canReload = false;
        bool canReloadKeep = false;
        bool canRestore = false;
    };

    explicit DocumentManager(QObject *parent = nullptr);
    ~DocumentManager() override;

    void setDeletionGuard(DeletionGuard mayDelete);
    void setFileQueue(FileQueue queue);

    const SettingsStore &store() const { return m_store; }
    // For callers that edit the document themselves (varnelctl); the window edits through its
    // model.
    SettingsStore &store() { return m_store; }
    // Null while no file is open.
    XsdtDocument *document();

    // Opens a file; the queued files go with the old one. On failure the path and the message
    // are kept for failedPath()/loadError().
    bool load(const QString &path, QString *error = nullptr);
    // Reads currentFile() again, dropping the pending changes.
    bool reload(QString *error = nullptr);
    // Writes the pending changes (refused while PixInsight runs or after a change on disk; the
    // store's failure() says which), then deletes the queued files. Nothing to write is a
    // success with `wrote` false.
    SaveResult save();
    // Puts a backup in place of currentFile(), also when that file is missing or does not
    // parse. The queued files were part of what is replaced.
    bool restoreBackup(const QString &backup, QString *error = nullptr);
    // The same for the window: a large file is restored on the worker and the outcome arrives
    // through `restored`; a small one before this returns.
    void startRestore(const QString &backup);
    // Closes the file: everything holding node pointers lets go, and no document follows.
    void unload();

    // The same for the window: a large file is read or written on the worker and the outcome
    // arrives through loadFinished, saved or `keep.finished`; a small one is done before these
    // return. False when it failed at once (the signals have told why).
    bool startLoad(const QString &path);
    // Reads the open file again and makes the pending changes once more through `keep`. Refused,
    // with everything left in memory, when the file no longer reads. The queued files stay.
    void startReloadKeepingChanges(const KeepChanges &keep);
    // Until such a reload ends, the changes are held by it rather than by the document, which
    // counts as not loaded while it is read: nothing may discard them without asking.
    bool isKeepingChanges() const { return m_keeping; }
    void startSave();
    // While the worker has the document: what it does, for the user to see ("Saving…").
    bool isBusy() const { return m_job && !m_job->quiet; }
    // Also false while the poll hashes a large file on the worker: nobody waits for that, and
    // any request made meanwhile ends it.
    bool isIdle() const { return !m_job; }
    bool isSaving() const;
    QString busyText() const { return m_busyText; }
    // Runs work on the document that holds up this thread for a moment (changes made again, an
    // import), announced as busyChanged without a text: a busy cursor, and nothing locked.
    void busyWhile(const std::function<void()> &work);
    // Runs `read`, which may only read the open document and what else it was given, on the
    // worker when the document or that other input (`inputSize` bytes) is large, while nobody
    // may change the document, announced as busyChanged with `busyText`. Then `finish` here,
    // unless the user moved on meanwhile (another file, a reload, unload). Nothing runs while no
    // file is loaded.
    void startReadOnly(const QString &busyText, qint64 inputSize, std::function<void()> read,
                       std::function<void()> finish);
    // Takes back whatever the worker is doing, blocking; for varnelctl-like callers and exit.
    void waitForIdle();
    // For a view that lets go of a large document in slices, asked from aboutToReplaceSoon():
    // the document is not replaced before the step returned has been called (once is enough).
    std::function<void()> holdReplace();

    // Files at least this large go to the worker; smaller ones are done at once, where handing
    // over would cost more than the work. 0 sends everything to the worker.
    static void setWorkerThreshold(qint64 bytes);
    // Called on the worker before each job, so that a test can hold it there.
    static void setWorkerHook(std::function<void()> hook);

    bool isLoaded() const { return m_store.loaded; }
    // The file the manager is about: the open one, or one that failed to parse or is missing
    // (empty when neither); reload and restore act on it.
    QString currentFile() const;
    QString failedPath() const { return m_failedPath; }
    // The file being read in place of the open one, until the read is done; empty otherwise.
    QString loadingPath() const { return m_loadingPath; }
    QString loadError() const { return m_loadError; }

    bool isPixInsightRunning() const { return m_running; } // or nobody could tell
    QString runningUnknownReason() const { return m_runningUnknown; }
    bool isViewOnly() const { return m_running; }
    bool isChangedOnDisk() const { return m_changedOnDisk; }
    bool isFileMissing() const { return m_fileMissing; }

    // With `assumeChangedOnDisk` the file counts as changed on disk, for pictures of that state.
    FileState fileState(bool assumeChangedOnDisk = false) const;

    // Edits and deletions in the document; kept until something changes the document.
    int documentPendingCount() const;
    // Those and the queued files.
    int pendingCount() const;
    // Called as every edit is made: the count moves by `delta`, or is taken again when only a
    // count can tell. A change made to the document directly must be reported here too: the
    // count after a load or a restore is known from the worker, not taken again.
    void documentEdited(std::optional<int> delta = std::nullopt);

    // Polls every `intervalMs` from now on, until stopPolling().
    void startPolling(int intervalMs = 3000);
    void stopPolling();
    // One poll now: whether PixInsight runs and whether the file changed on disk. A file
    // PixInsight rewrote on exit is read again at once when that costs no changes.
    void poll();

signals:
    // Turns before a large document is replaced on the worker, counting down to 1.
    void aboutToReplaceSoon(int turnsLeft);
    void aboutToReplaceDocument();
    void documentReplaced(vrn::XsdtDocument *document);
    // After every load, also the reload made by the poll.
    void loadFinished(bool ok, const QString &error);
    void stateChanged();
    void viewOnlyChanged(bool viewOnly);
    // Around the steps that read, check or write a whole file, paired; `text` says which. An
    // empty text is work of busyWhile(), which leaves the document open to it.
    void busyChanged(bool busy, const QString &text);
    // While a file is read: how many of its bytes, of `total`. Steps that cannot tell send none.
    void busyProgress(qint64 done, qint64 total);
    // How a save started with startSave ended.
    void saved(const vrn::DocumentManager::SaveResult &result);
    // Around marking what a save wrote as the saved state of the nodes: whoever reads the nodes
    // on another thread stops first and may start again after.
    void aboutToMarkSaved();
    void markedSaved();
    // How a restore started with startRestore ended.
    void restored(bool ok, const QString &error);

private:
    struct Job
    {
        quint64 id = 0;
        quint64 generation = 0;
        bool saving = false;
        bool quiet = false; // the poll's own: no busy signals, given up for any request
        bool held = false;  // waits for the views that hold the replacement, not for a turn
        std::atomic<bool> cancelled{false};
        std::function<void()> work;   // on the worker or here; touches only what it was handed
        std::function<void()> finish; // here, unless the user moved on meanwhile
    };
    // BySize: on the worker from the threshold on; NextTurn: here, once the events waiting now
    // are handled; Held: as NextTurn, once the last hold is let go.
    enum class Run { Inline, BySize, NextTurn, Held };
    std::unique_ptr<Job> newJob();
    // Hands the reader's progress over to this thread, for as long as the job `id` runs.
    XsdtDocument::Progress progressOf(quint64 id);
    void beginRestore(const QString &backup, Run run,
                      std::function<void(bool ok, const QString &error)> then);
    // What the poll found about the file on disk.
    void takeDiskVerdict(bool changed, bool wasRunning);
    bool startLoadKeepingQueue(
        const QString &path, Run run, std::function<void(bool ok, const QString &error)> then = {},
        std::function<void(const XsdtDocument &document, bool fresh)> onReader = {});
    void beginSave(Run run);
    // Runs the job's work here or on the worker, then its finish here unless the user moved on.
    void runJob(std::unique_ptr<Job> job, Run run, qint64 size);
    void runNextTurn(quint64 id);
    void finishJob(quint64 id);
    // Starts `next` once the worker is free (at once when it is).
    void whenFree(std::function<void()> next);
    // Then `replace`: at once, or a few turns after aboutToReplaceSoon() when a large document
    // goes.
    void whenFreeToReplace(Run run, const QString &busyText, std::function<void()> replace);
    void replaceInTurns(int turnsLeft, const QString &busyText, std::function<void()> replace);
    void announce(int knownPending = -1);
    // A file that read or was restored: nothing changed underneath, missing or failed any more.
    void forgetFileTrouble();
    void setRunning(bool running, const QString &unknownReason);

    SettingsStore m_store;
    FileQueue m_queue;
    QTimer *m_timer = nullptr;
    bool m_running = false;
    bool m_keeping = false;
    QString m_runningUnknown;
    bool m_changedOnDisk = false;
    bool m_fileMissing = false; // the loaded file is gone from disk: nothing to reload
    QString m_failedPath;
    QString m_loadError;
    QString m_loadingPath;
    // The pending-change count walks the whole document; the poll asks for it every three
    // seconds.
    mutable int m_pendingCache = -1;
    qint64 m_loadedSize = 0; // of the file as read, to choose between here and the worker

    std::unique_ptr<Job> m_job;
    QThread *m_thread = nullptr;
    std::function<void()> m_next; // what waits for the worker; the latest request wins
    quint64 m_generation = 0;     // counts the user's moves: a job from an older one is dropped
    quint64 m_jobIds = 0;
    QString m_busyText;
    int m_replaceHolds = 0;
    quint64 m_replaceRound = 0; // a hold counts only for the replacement it was taken for
};

} // namespace vrn
