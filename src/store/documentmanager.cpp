#include "store/documentmanager.h"

#include "environment/pixinsight.h"
#include "store/files.h"

#include <QFileInfo>
#include <QTimer>

namespace vrn {

DocumentManager::DocumentManager(QObject *parent)
    : QObject(parent)
{
    m_timer = new QTimer(this);
    connect(m_timer, &QTimer::timeout, this, &DocumentManager::poll);
}

DocumentManager::~DocumentManager() = default;

void DocumentManager::setPolicy(const DeletionPolicy *policy)
{
    m_store.policy = policy;
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

void DocumentManager::announce()
{
    m_pendingCache = -1;
    emit documentReplaced(document());
}

bool DocumentManager::load(const QString &path, QString *error)
{
    if (m_queue.clear)
        m_queue.clear();
    return loadKeepingQueue(path, error);
}

bool DocumentManager::loadKeepingQueue(const QString &path, QString *error)
{
    emit aboutToReplaceDocument();
    m_pendingCache = -1;
    QString message;
    emit busyChanged(true);
    const bool ok = m_store.load(path, &message);
    announce();
    emit busyChanged(false);
    if (ok) {
        forgetFileTrouble();
    } else {
        m_failedPath = QFileInfo(path).absoluteFilePath();
        m_loadError = message;
        if (error)
            *error = message;
    }
    emit loadFinished(ok, message);
    emit stateChanged();
    return ok;
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

bool DocumentManager::reloadKeepingChanges(const KeepChanges &keep, QString *error)
{
    if (!m_store.loaded) {
        if (error)
            *error = tr("No file is loaded.");
        return false;
    }
    // A file the other program left broken would take the changes with it: they stay in memory
    // until it reads again.
    emit busyChanged(true);
    const bool reads = m_store.fileReads(error);
    emit busyChanged(false);
    if (!reads)
        return false;
    if (keep.note)
        keep.note(m_store.document);
    if (!loadKeepingQueue(m_store.path, error))
        return false;
    if (keep.makeAgain)
        keep.makeAgain();
    m_pendingCache = -1;
    emit stateChanged();
    return true;
}

DocumentManager::SaveResult DocumentManager::save()
{
    SaveResult result;
    if (!m_store.loaded)
        return result;
    // Counted afresh: a caller that edits the document directly need not report each edit.
    m_pendingCache = -1;
    const int queued = m_queue.count ? m_queue.count() : 0;
    if (documentPendingCount() >= 1) {
        // Deletions prune the tree: nobody may hold a node pointer while that happens.
        result.replaced = !m_store.document.deletedNodes().isEmpty();
        if (result.replaced)
            emit aboutToReplaceDocument();
        emit busyChanged(true);
        result.ok = m_store.save(&result.error, &result.backupPath);
        emit busyChanged(false);
        m_pendingCache = -1; // a save commits the document
        if (result.replaced)
            announce();
        if (!result.ok) {
            emit stateChanged();
            return result;
        }
        result.wrote = true;
    }
    // Files go only after the settings were written (or when there was nothing to write).
    if (queued > 0 && m_queue.items) {
        const QList<LeftoverItem> items = m_queue.items();
        emit busyChanged(true);
        result.files =
            deleteQueuedLeftovers(items, m_queue.installDir ? m_queue.installDir() : QString(),
                                  m_queue.userDir ? m_queue.userDir() : QString());
        emit busyChanged(false);
        result.filesDone = true;
        // Whatever the outcome: what is still there can be found and queued again.
        if (m_queue.clear)
            m_queue.clear();
    }
    emit stateChanged();
    return result;
}

bool DocumentManager::restoreBackup(const QString &backup, QString *error)
{
    const QString target = currentFile();
    if (target.isEmpty()) {
        if (error)
            *error = tr("No file is loaded.");
        return false;
    }
    // Files queued against the file being replaced are among the changes it discards.
    if (m_queue.clear)
        m_queue.clear();
    emit aboutToReplaceDocument();
    m_pendingCache = -1;
    // A file that could not be read at all left no path in the store; its backups still can
    // take its place when it is simply gone.
    if (m_store.path.isEmpty())
        m_store.path = target;
    emit busyChanged(true);
    const bool restored = m_store.restoreBackup(backup, error);
    announce();
    emit busyChanged(false);
    if (restored) {
        forgetFileTrouble();
    }
    emit stateChanged();
    return restored;
}

void DocumentManager::unload()
{
    emit aboutToReplaceDocument();
    m_store.loaded = false;
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

void DocumentManager::documentEdited()
{
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
    const bool wasRunning = m_running;
    const PixInsightCheck running = checkPixInsight();
    setRunning(running.mayBeRunning(), running.known ? QString() : running.reason);
    if (m_store.loaded) {
        m_changedOnDisk = m_store.changedOnDisk();
        m_fileMissing = m_changedOnDisk && !QFileInfo::exists(m_store.path);
        // What PixInsight wrote when it exited is shown at once, unless it would cost edits.
        if (m_changedOnDisk && wasRunning && !m_running && pendingCount() == 0)
            load(m_store.path);
    } else {
        m_changedOnDisk = false;
        m_fileMissing = false;
    }
    emit stateChanged();
}

} // namespace vrn
