#include "store/documentmanager.h"

#include "environment/pixinsight.h"
#include "store/files.h"
#include "store/heap.h"

#include <QFileInfo>
#include <QPointer>
#include <QThread>
#include <QTimer>

#include <algorithm>

namespace vrn {

namespace {

// About what a file takes to read in 50 ms here: below it a worker's round trip and a flash of
// progress would be all the user saw.
std::atomic<qint64> s_workerThreshold{1024 * 1024};

std::function<void()> &workerHook()
{
    static std::function<void()> hook;
    return hook;
}

} // namespace

void DocumentManager::setWorkerThreshold(qint64 bytes)
{
    s_workerThreshold = bytes;
}

void DocumentManager::setWorkerHook(std::function<void()> hook)
{
    workerHook() = std::move(hook);
}

DocumentManager::DocumentManager(QObject *parent)
    : QObject(parent)
{
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &DocumentManager::poll);
}

DocumentManager::~DocumentManager()
{
    // A write under way is finished, never cut short; what it brings back is not needed.
    m_next = nullptr;
    if (m_job && m_job->quiet)
        m_job->cancelled = true;
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
    }
}

void DocumentManager::setDeletionGuard(DeletionGuard mayDelete)
{
    m_store.mayDelete = std::move(mayDelete);
}

void DocumentManager::setFileQueue(FileQueue queue)
{
    m_queue = std::move(queue);
}

XsdtDocument *DocumentManager::document()
{
    return m_store.loaded ? &m_store.document : nullptr;
}

void DocumentManager::forgetFileTrouble()
{
    m_changedOnDisk = false;
    m_fileMissing = false;
    m_failedPath.clear();
    m_loadError.clear();
}

void DocumentManager::announce(int knownPending)
{
    // Known from the worker where it counted, so that the pages taking the new document in do
    // not walk the whole tree on the window's thread to learn it.
    m_pendingCache = knownPending;
    emit documentReplaced(document());
}

bool DocumentManager::isSaving() const
{
    return m_job && m_job->saving;
}

void DocumentManager::whenFree(std::function<void()> next)
{
    // The poll's hash is not worth a moment of the user's: it is asked again later.
    if (m_job && m_job->quiet) {
        m_job->cancelled = true;
        if (m_thread) {
            m_thread->wait();
            delete m_thread;
            m_thread = nullptr;
        }
        m_job.reset();
    }
    if (m_job)
        m_next = std::move(next);
    else
        next();
}

void DocumentManager::whenFreeToReplace(Run run, const QString &busyText,
                                        std::function<void()> replace)
{
    whenFree([this, run, busyText, replace] {
        if (run == Run::Inline || !m_store.loaded || m_loadedSize < s_workerThreshold) {
            replace();
        } else {
            ++m_replaceRound;
            m_replaceHolds = 0;
            replaceInTurns(2, busyText, replace);
        }
    });
}

// What views built on a large document (a tree opened all the way, the pages' findings) can
// take as long to let go of as the document itself: each lets go in a turn of its own.
void DocumentManager::replaceInTurns(int turnsLeft, const QString &busyText,
                                     std::function<void()> replace)
{
    emit aboutToReplaceSoon(turnsLeft);
    auto job = newJob();
    job->work = [] {};
    if (turnsLeft > 1)
        job->finish = [this, turnsLeft, busyText, replace] {
            replaceInTurns(turnsLeft - 1, busyText, replace);
        };
    else
        job->finish = replace;
    m_busyText = busyText;
    runJob(std::move(job), turnsLeft == 1 && m_replaceHolds > 0 ? Run::Held : Run::NextTurn, 0);
}

std::function<void()> DocumentManager::holdReplace()
{
    ++m_replaceHolds;
    return [self = QPointer(this), round = m_replaceRound, once = std::make_shared<bool>()] {
        if (!self || std::exchange(*once, true) || round != self->m_replaceRound ||
            --self->m_replaceHolds > 0)
            return;
        if (self->m_job && self->m_job->held) {
            self->m_job->held = false;
            self->runNextTurn(self->m_job->id);
        }
    };
}

std::unique_ptr<DocumentManager::Job> DocumentManager::newJob()
{
    auto job = std::make_unique<Job>();
    job->id = ++m_jobIds;
    return job;
}

XsdtDocument::Progress DocumentManager::progressOf(quint64 id)
{
    // The reader reports every few MB, so each report can cross as an event of its own.
    return [this, id](qint64 done, qint64 total) {
        QMetaObject::invokeMethod(
            this,
            [this, id, done, total] {
                if (m_job && m_job->id == id)
                    emit busyProgress(done, total);
            },
            Qt::QueuedConnection);
    };
}

void DocumentManager::runJob(std::unique_ptr<Job> job, Run run, qint64 size)
{
    job->generation = m_generation;
    const quint64 id = job->id;
    const bool worker = run == Run::BySize && size >= s_workerThreshold;
    m_job = std::move(job);
    if (!m_job->quiet)
        emit busyChanged(true, m_busyText);
    if (run == Run::Held) {
        m_job->held = true;
        return;
    }
    if (run == Run::NextTurn)
        return runNextTurn(id);
    if (!worker) {
        m_job->work();
        finishJob(id);
        return;
    }
    m_thread = QThread::create([this, work = m_job->work, id] {
        if (const std::function<void()> &hook = workerHook())
            hook();
        work();
        tidyHeap();
        QMetaObject::invokeMethod(
            this, [this, id] { finishJob(id); }, Qt::QueuedConnection);
    });
    m_thread->start();
}

void DocumentManager::runNextTurn(quint64 id)
{
    // A timer of a millisecond: a posted call, and a zero timer Qt posts as well, would run
    // before the window gets to handle input or paint.
    QTimer::singleShot(1, this, [this, id] {
        if (m_job && m_job->id == id)
            m_job->work();
        finishJob(id);
    });
}

void DocumentManager::finishJob(quint64 id)
{
    if (!m_job || m_job->id != id)
        return; // taken back already by waitForIdle()
    if (m_thread) {
        m_thread->wait();
        delete m_thread;
        m_thread = nullptr;
    }
    const std::unique_ptr<Job> job = std::move(m_job);
    m_loadingPath.clear(); // also when a later request dropped the load
    if (!job->quiet) {
        m_busyText.clear();
        emit busyChanged(false, QString());
    }
    if (job->generation == m_generation)
        job->finish();
    if (m_next && !m_job) {
        const std::function<void()> next = std::move(m_next);
        m_next = nullptr;
        next();
    }
}

void DocumentManager::busyWhile(const std::function<void()> &work)
{
    emit busyChanged(true, QString());
    work();
    emit busyChanged(false, QString());
}

void DocumentManager::startReadOnly(const QString &busyText, qint64 inputSize,
                                    std::function<void()> read, std::function<void()> finish)
{
    whenFree([this, busyText, inputSize, read = std::move(read), finish = std::move(finish)] {
        if (!m_store.loaded)
            return;
        auto job = newJob();
        job->work = read;
        job->finish = finish;
        m_busyText = busyText;
        runJob(std::move(job), Run::BySize, std::max(m_loadedSize, inputSize));
    });
}

void DocumentManager::waitForIdle()
{
    while (m_job)
        finishJob(m_job->id);
}

bool DocumentManager::load(const QString &path, QString *error)
{
    m_keeping = false; // what a reload kept goes with the document it was made on
    if (m_queue.clear)
        m_queue.clear();
    bool ok = false;
    startLoadKeepingQueue(path, Run::Inline, [&](bool done, const QString &message) {
        ok = done;
        if (!done && error)
            *error = message;
    });
    waitForIdle();
    return ok;
}

bool DocumentManager::startLoad(const QString &path)
{
    m_keeping = false; // what a reload kept goes with the document it was made on
    if (m_queue.clear)
        m_queue.clear();
    return startLoadKeepingQueue(path, Run::BySize);
}

bool DocumentManager::startLoadKeepingQueue(
    const QString &path, Run run, std::function<void(bool, const QString &)> then,
    std::function<void(const XsdtDocument &, bool)> onReader)
{
    ++m_generation;
    auto failed = std::make_shared<bool>(false);
    const QString busy = tr("Loading %1…").arg(QFileInfo(path).fileName());
    whenFreeToReplace(run, busy, [this, path, run, then, failed, onReader, busy] {
        emit aboutToReplaceDocument();
        m_pendingCache = -1;
        const bool wasLoaded = m_store.loaded;
        // Nobody looks at the document while it is read into.
        m_store.loaded = false;
        m_loadingPath = QFileInfo(path).absoluteFilePath();
        auto reading = std::make_shared<SettingsStore::Reading>();
        auto pending = std::make_shared<int>(-1);
        auto job = newJob();
        job->work = [this, path, reading, pending, onReader, progress = progressOf(job->id)] {
            if (onReader)
                onReader(m_store.document, false);
            *reading = SettingsStore::readInto(path, m_store.document, progress);
            if (!reading->read || !reading->parsed)
                return;
            if (onReader)
                onReader(m_store.document, true);
            *pending = onReader ? m_store.document.pendingChangeCount() : 0;
        };
        job->finish = [this, path, reading, pending, wasLoaded, then, failed] {
            // A file that could not be read left the document as it was.
            if (!reading->read)
                m_store.loaded = wasLoaded;
            QString message;
            const bool ok = m_store.take(*reading, &message);
            if (ok)
                m_loadedSize = reading->stamp.size;
            announce(ok ? *pending : -1);
            if (ok) {
                forgetFileTrouble();
            } else {
                m_failedPath = QFileInfo(path).absoluteFilePath();
                m_loadError = message;
            }
            *failed = !ok;
            emit loadFinished(ok, message);
            emit stateChanged();
            if (then)
                then(ok, message);
        };
        m_busyText = busy;
        const qint64 size = fileStamp(path).size;
        const quint64 id = job->id;
        runJob(std::move(job), run, size);
        if (m_job && m_job->id == id)
            emit busyProgress(0, size);
    });
    return !*failed;
}

bool DocumentManager::reload(QString *error)
{
    const QString path = currentFile();
    if (path.isEmpty()) {
        if (error)
            *error = tr("No file is loaded.");
        return false;
    }
    return load(path, error);
}

void DocumentManager::startReloadKeepingChanges(const KeepChanges &given)
{
    KeepChanges keep = given;
    keep.finished = [this, finished = given.finished](bool ok, const QString &error) {
        m_keeping = false;
        if (finished)
            finished(ok, error);
    };
    if (!m_store.loaded) {
        keep.finished(false, tr("No file is loaded."));
        return;
    }
    m_keeping = true;
    whenFree([this, keep] {
        // A file the other program left broken would take the changes with it: they stay in
        // memory until it reads again. The check only reads the file, so the document stays
        // on show meanwhile.
        auto reads = std::make_shared<bool>(false);
        auto error = std::make_shared<QString>();
        auto job = newJob();
        job->work = [this, reads, error, progress = progressOf(job->id)] {
            *reads = m_store.fileReads(error.get(), progress);
        };
        job->finish = [this, keep, reads, error] {
            if (!*reads) {
                keep.finished(false, *error);
                return;
            }
            if (keep.note)
                keep.note(m_store.document);
            startLoadKeepingQueue(
                m_store.path, Run::BySize,
                [this, keep](bool ok, const QString &message) {
                    if (!ok) {
                        keep.finished(ok, message);
                        return;
                    }
                    // The pages have just taken in the new document; on a large file the
                    // changes go in at the next turn, still view-only, so that no turn of the
                    // window pays for both.
                    auto job = newJob();
                    job->work = [] {};
                    job->finish = [this, keep, message] {
                        // What it makes is counted as it goes, through documentEdited: no
                        // walk of the whole document here.
                        if (keep.makeAgain)
                            keep.makeAgain();
                        emit stateChanged();
                        keep.finished(true, message);
                    };
                    m_busyText = tr("Reading %1…").arg(QFileInfo(m_store.path).fileName());
                    runJob(std::move(job),
                           m_loadedSize >= s_workerThreshold ? Run::NextTurn : Run::Inline, 0);
                },
                keep.onReader);
        };
        m_busyText = tr("Reading %1…").arg(QFileInfo(m_store.path).fileName());
        const quint64 id = job->id;
        runJob(std::move(job), Run::BySize, m_loadedSize);
        if (m_job && m_job->id == id)
            emit busyProgress(0, fileStamp(m_store.path).size);
    });
}

DocumentManager::SaveResult DocumentManager::save()
{
    SaveResult result;
    const QMetaObject::Connection taken =
        connect(this, &DocumentManager::saved, this, [&](const SaveResult &r) { result = r; });
    beginSave(Run::Inline);
    waitForIdle();
    disconnect(taken);
    return result;
}

void DocumentManager::startSave()
{
    beginSave(Run::BySize);
}

void DocumentManager::beginSave(Run run)
{
    whenFree([this, run] {
        auto result = std::make_shared<SaveResult>();
        if (!m_store.loaded) {
            emit saved(*result);
            return;
        }
        // Files go only after the settings were written (or when there was nothing to write).
        const std::function<LeftoverReport()> deleteFiles =
            m_queue.count && m_queue.count() > 0 && m_queue.take ? m_queue.take() : nullptr;
        auto written = std::make_shared<QByteArray>();
        auto prunes = std::make_shared<bool>(false);
        auto job = newJob();
        job->saving = true;
        // Whether there is anything to write is counted afresh there, since a caller that edits
        // the document directly need not report each edit, and counting walks the whole tree.
        job->work = [this, result, written, prunes, deleteFiles] {
            if (m_store.document.pendingChangeCount() >= 1) {
                // Deletions prune the tree when the save is taken back: nobody may hold a node
                // pointer then.
                *prunes = !m_store.document.deletedNodes().isEmpty();
                result->ok =
                    m_store.writePending(&result->error, &result->backupPath, written.get());
                if (!result->ok)
                    return;
                result->wrote = true;
            }
            if (deleteFiles) {
                result->files = deleteFiles();
                result->filesDone = true;
            }
        };
        job->finish = [this, result, written, prunes] {
            // Nothing is pending once the document is committed: edits were refused meanwhile.
            m_pendingCache = result->ok ? 0 : -1;
            result->replaced = result->wrote && *prunes;
            // Marking the nodes saved writes what the pages' workers read; a pruning save
            // replaces the document for them anyway.
            const bool marks = !written->isEmpty() && !result->replaced;
            if (result->replaced)
                emit aboutToReplaceDocument();
            else if (marks)
                emit aboutToMarkSaved();
            m_store.commitWritten(*written);
            if (result->replaced)
                announce(m_pendingCache);
            else if (marks)
                emit markedSaved();
            // Whatever the outcome: what is still there can be found and queued again.
            if (result->filesDone && m_queue.clear)
                m_queue.clear();
            emit stateChanged();
            emit saved(*result);
        };
        m_busyText = tr("Saving…");
        runJob(std::move(job), run, m_loadedSize);
    });
}

bool DocumentManager::restoreBackup(const QString &backup, QString *error)
{
    bool ok = false;
    beginRestore(backup, Run::Inline, [&](bool done, const QString &message) {
        ok = done;
        if (!done && error && error->isEmpty())
            *error = message;
    });
    waitForIdle();
    return ok;
}

void DocumentManager::startRestore(const QString &backup)
{
    beginRestore(backup, Run::BySize,
                 [this](bool ok, const QString &error) { emit restored(ok, error); });
}

void DocumentManager::beginRestore(const QString &backup, Run run,
                                   std::function<void(bool, const QString &)> then)
{
    const QString target = currentFile();
    if (target.isEmpty()) {
        then(false, tr("No file is loaded."));
        return;
    }
    ++m_generation;
    m_keeping = false;
    const QString busy = tr("Restoring %1…").arg(QFileInfo(backup).fileName());
    whenFreeToReplace(run, busy, [this, backup, target, run, then, busy] {
        // Files queued against the file being replaced are among the changes it discards.
        if (m_queue.clear)
            m_queue.clear();
        emit aboutToReplaceDocument();
        m_pendingCache = -1;
        // A file that could not be read at all left no path in the store; its backups still can
        // take its place when it is simply gone.
        if (m_store.path.isEmpty())
            m_store.path = target;
        const bool wasLoaded = m_store.loaded;
        // The restored file is read into the document: nobody looks at it meanwhile.
        m_store.loaded = false;
        auto reading = std::make_shared<SettingsStore::Reading>();
        auto restored = std::make_shared<bool>(false);
        auto error = std::make_shared<QString>();
        auto job = newJob();
        job->work = [this, backup, reading, restored, error] {
            *restored = m_store.restoreInto(backup, m_store.document, reading.get(), error.get());
        };
        job->finish = [this, reading, restored, error, wasLoaded, then] {
            // Refused, or the file could not be read back: the document is as it was.
            if (!reading->read)
                m_store.loaded = wasLoaded;
            QString message = *error;
            const bool ok = *restored && m_store.takeRestored(*reading, &message);
            if (ok)
                m_loadedSize = reading->stamp.size;
            announce(ok ? 0 : -1); // a backup read afresh has nothing pending
            if (ok)
                forgetFileTrouble();
            emit stateChanged();
            then(ok, message);
        };
        m_busyText = busy;
        runJob(std::move(job), run, std::max(m_loadedSize, fileStamp(backup).size));
    });
}

void DocumentManager::unload()
{
    m_keeping = false; // what a reload kept goes with the document it was made on
    ++m_generation;
    emit aboutToReplaceDocument();
    // A job under way keeps the store until it is back; its result is dropped.
    whenFree([this] { m_store.loaded = false; });
    m_pendingCache = -1;
    emit documentReplaced(nullptr);
}

QString DocumentManager::currentFile() const
{
    if (m_store.loaded)
        return m_store.path;
    if (m_failedPath.isEmpty())
        return QString();
    // A file that did not parse or is gone can be reloaded or replaced by a backup; one that is
    // there but cannot be read is not replaced blindly.
    return m_store.path == m_failedPath || fileMissing(m_failedPath) ? m_failedPath : QString();
}

DocumentManager::FileState DocumentManager::fileState(bool assumeChangedOnDisk) const
{
    FileState state;
    state.pending = pendingCount();
    const bool loaded = m_store.loaded;
    const bool changed = m_changedOnDisk || assumeChangedOnDisk;
    if (!m_runningUnknown.isEmpty())
        state.notice = FileState::RunningUnknown;
    else if (m_running)
        state.notice = FileState::Running;
    else if (m_fileMissing)
        state.notice = FileState::Missing;
    else if (changed)
        state.notice = FileState::ChangedOnDisk;
    else if (loaded && m_store.document.invalidUtf8.count > 0)
        state.notice = FileState::InvalidUtf8;
    else if (loaded && !m_store.document.compactLayout)
        state.notice = FileState::OtherLayout;

    const QString file = currentFile();
    state.haveFile = !file.isEmpty();
    // A file that is not there cannot be read again, only replaced by a backup.
    state.canReload = state.haveFile && !m_fileMissing && (loaded || !fileMissing(file));
    state.canReloadKeep =
        loaded && changed && !m_fileMissing && !m_running && documentPendingCount() >= 1;
    state.canSave = loaded && state.pending >= 1 && !m_running && !changed;
    state.canRestore = state.haveFile && !m_running;
    if (isBusy())
        state.canSave = state.canReload = state.canReloadKeep = state.canRestore = false;
    return state;
}

int DocumentManager::documentPendingCount() const
{
    if (m_pendingCache < 0)
        m_pendingCache = m_store.loaded ? m_store.document.pendingChangeCount() : 0;
    return m_pendingCache;
}

int DocumentManager::pendingCount() const
{
    return documentPendingCount() + (m_queue.count ? m_queue.count() : 0);
}

void DocumentManager::documentEdited(std::optional<int> delta)
{
    // A count not taken yet is taken from the document as it is by then.
    if (m_pendingCache >= 0 && delta)
        m_pendingCache += *delta;
    else
        m_pendingCache = -1;
}

void DocumentManager::startPolling(int intervalMs)
{
    m_timer->start(intervalMs);
}

void DocumentManager::stopPolling()
{
    m_timer->stop();
}

void DocumentManager::setRunning(bool running, const QString &unknownReason)
{
    const bool changed = running != m_running;
    m_running = running;
    m_runningUnknown = unknownReason;
    if (changed)
        emit viewOnlyChanged(running);
}

void DocumentManager::poll()
{
    // The worker has the file: a save's own write would look like somebody else's, and a hash
    // under way gives its own verdict.
    if (m_job)
        return;
    const bool wasRunning = m_running;
    const PixInsightCheck running = checkPixInsight();
    setRunning(running.mayBeRunning(), running.known ? QString() : running.reason);
    if (!m_store.loaded) {
        m_changedOnDisk = false;
        m_fileMissing = false;
        emit stateChanged();
        return;
    }
    if (m_store.whatChanged() != SettingsStore::StampVerdict::NeedsHash ||
        m_loadedSize < s_workerThreshold) {
        takeDiskVerdict(m_store.changedOnDisk(), wasRunning);
        return;
    }
    // Right after a save, or for a file written a moment ago, only the content can tell: a
    // large one is hashed on the worker, and the last verdict stands until it is back.
    emit stateChanged();
    auto hash = std::make_shared<SettingsStore::ContentHash>();
    auto job = newJob();
    job->quiet = true;
    job->work = [path = m_store.path, hash, cancelled = &job->cancelled] {
        *hash = SettingsStore::hashContent(path, cancelled);
    };
    job->finish = [this, hash, wasRunning] {
        takeDiskVerdict(m_store.changedGiven(*hash), wasRunning);
    };
    runJob(std::move(job), Run::BySize, m_loadedSize);
}

void DocumentManager::takeDiskVerdict(bool changed, bool wasRunning)
{
    m_changedOnDisk = changed;
    m_fileMissing = changed && !QFileInfo::exists(m_store.path);
    // What PixInsight wrote when it exited is shown at once, unless it would cost edits.
    if (changed && wasRunning && !m_running && pendingCount() == 0)
        startLoad(m_store.path);
    emit stateChanged();
}

} // namespace vrn
