#include "store/settingsstore.h"

#include "document/xsdtpieces.h"
#include "environment/pixinsight.h"
#include "store/descriptors.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QScopeGuard>

#include <future>
#include <memory>

#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrn {

namespace {

constexpr qsizetype kHashAsideBytes = 1 << 20;

// How old a file's times must be, compared with the moment its bytes were read, before an
// unchanged stamp may stand for unchanged content. File systems keep times with a granularity
// of up to two seconds, so a write in the same tick as the read can leave the stamp as it was.
constexpr qint64 kStampSettleNs = 3'000'000'000;

qint64 nowNs()
{
    return storeNow().toMSecsSinceEpoch() * 1000000;
}

// A refusal of the write itself; after a failed last check the check has said why.
SettingsStore::Failure writeFailure(WriteStop stop, SettingsStore::Failure checked)
{
    switch (stop) {
    case WriteStop::Check:
        return checked;
    case WriteStop::Changed:
        return SettingsStore::Failure::ChangedOnDisk;
    case WriteStop::InUse:
        return SettingsStore::Failure::InUse;
    default:
        return SettingsStore::Failure::Failed;
    }
}

// Opens the file and hashes all it holds, in pieces; invalid, with the message, when it cannot
// be opened or read.
UniqueFd openHashed(const QString &path, FileStamp *stamp, QByteArray *hash, QString *error)
{
    UniqueFd file(openStamped(path, stamp, error));
    if (file.valid() && !sha256Of(file.get(), hash)) {
        *error = SettingsStore::tr("Cannot read %1: %2")
                     .arg(QDir::toNativeSeparators(path), qt_error_string(errno));
        return UniqueFd();
    }
    return file;
}

} // namespace

bool SettingsStore::readsBackFromFile(int fd, QString *error, QString *where) const
{
    struct stat st;
    if (::fstat(fd, &st) != 0) {
        *error = qt_error_string(errno);
        return false;
    }
    const size_t size = size_t(st.st_size);
    if (size == 0)
        return readsBackFrom(document, "", 0, error, where, {});
    void *mapped = ::mmap(nullptr, size, PROT_READ, MAP_SHARED, fd, 0);
    if (mapped == MAP_FAILED) {
        // A file system that cannot map files: the text is read whole after all.
        QFile file;
        if (!file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) || !file.seek(0)) {
            *error = file.errorString();
            return false;
        }
        const QByteArray bytes = file.readAll();
        return readsBackFrom(document, bytes.constData(), bytes.size(), error, where, {});
    }
    const auto unmap = qScopeGuard([mapped, size] { ::munmap(mapped, size); });
    ::madvise(mapped, size, MADV_SEQUENTIAL);
    // The pages read are let go behind the reader, so the text never counts whole against the
    // process; were one needed again, the system reads it back from the file.
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const auto letGo = [mapped, page](qint64 done, qint64) {
        const qint64 behind = (done - (1 << 20)) / page * page;
        if (behind > 0)
            ::madvise(mapped, size_t(behind), MADV_DONTNEED);
    };
    return readsBackFrom(document, static_cast<const char *>(mapped), qsizetype(size), error, where,
                         letGo);
}

void SettingsStore::rememberHashed(const FileStamp &stamp, const QByteArray &digest,
                                   qint64 readAtNs) const
{
    m_hashed.valid = stamp.exists;
    m_hashed.stamp = stamp;
    m_hashed.digest = digest;
    m_hashed.trusted =
        stamp.mtimeNs < readAtNs - kStampSettleNs && stamp.ctimeNs < readAtNs - kStampSettleNs;
}

bool SettingsStore::load(const QString &filePath, QString *error)
{
    return take(readInto(filePath, document), error);
}

SettingsStore::Reading SettingsStore::readInto(const QString &filePath, XsdtDocument &into,
                                               const XsdtDocument::Progress &progress)
{
    Reading reading;
    reading.path = QFileInfo(filePath).absoluteFilePath();
    FileBytes bytes;
    reading.readAtNs = nowNs();
    if (!bytes.read(reading.path, &reading.stamp, &reading.error))
        return reading;
    reading.read = true;
    // Hashing a large file takes as long as parsing it: the two run side by side, and what
    // both have read is given back as they go. (The future waits for its thread, also when the
    // parse fails and nobody asks for the hash.)
    const bool aside = bytes.size() >= kHashAsideBytes;
    std::atomic<qsizetype> hashed = 0;
    std::future<QByteArray> hash =
        std::async(aside ? std::launch::async : std::launch::deferred,
                   [&bytes, &hashed] { return sha256(bytes.view(), &hashed); });
    XsdtDocument::LetGo letGo;
    if (aside)
        letGo = [&bytes, &hashed](qsizetype before) {
            bytes.letGoBefore(qMin(before, hashed.load(std::memory_order_acquire)));
        };
    reading.parsed = into.parse(bytes.view(), &reading.error, progress, letGo);
    if (reading.parsed)
        reading.hash = hash.get();
    return reading;
}

bool SettingsStore::take(const Reading &reading, QString *error)
{
    if (!reading.read) {
        if (error && error->isEmpty())
            *error = reading.error;
        return false;
    }
    if (!reading.parsed) {
        // The broken file stays the one in hand, so that it can be reloaded or replaced by one
        // of its backups.
        path = reading.path;
        loaded = false;
        m_hashed = HashedState();
        if (error && error->isEmpty())
            *error = notSettingsMessage(reading.path, reading.error);
        return false;
    }
    path = reading.path;
    loadedHash = reading.hash;
    loaded = true;
    rememberHashed(reading.stamp, loadedHash, reading.readAtNs);
    return true;
}

QString SettingsStore::notSettingsMessage(const QString &filePath, const QString &reason)
{
    return tr("%1 is not a valid PixInsight settings file: %2")
        .arg(QDir::toNativeSeparators(filePath), reason);
}

bool SettingsStore::fileReads(QString *error, const XsdtDocument::Progress &progress) const
{
    QByteArray bytes;
    if (!readFile(path, bytes, error))
        return false;
    QString message;
    if (XsdtDocument::reads(bytes, &message, progress))
        return true;
    if (error && error->isEmpty())
        *error = notSettingsMessage(path, message);
    return false;
}

bool SettingsStore::changedOnDisk() const
{
    switch (whatChanged()) {
    case StampVerdict::Unchanged:
        return false;
    case StampVerdict::Changed:
        return true;
    default:
        return contentChangedOnDisk();
    }
}

SettingsStore::StampVerdict SettingsStore::whatChanged() const
{
    if (!loaded)
        return StampVerdict::Unchanged;
    const FileStamp now = fileStamp(path);
    if (!now.exists)
        return StampVerdict::Changed;
    if (m_hashed.valid && m_hashed.trusted && now == m_hashed.stamp)
        return m_hashed.digest != loadedHash ? StampVerdict::Changed : StampVerdict::Unchanged;
    return StampVerdict::NeedsHash;
}

bool SettingsStore::contentChangedOnDisk() const
{
    if (!loaded)
        return false;
    return changedGiven(hashContent(path));
}

SettingsStore::ContentHash SettingsStore::hashContent(const QString &filePath,
                                                      const std::atomic<bool> *cancelled)
{
    ContentHash result;
    result.readAtNs = nowNs();
    QFile file(filePath);
    if (!file.open(QIODevice::ReadOnly))
        return result;
    // Taken from the open file before reading, so a write during the read leaves a stamp
    // that no longer matches.
    result.stamp = openFileStamp(file.handle());
    if (!result.stamp.regular)
        return result;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    // In slices, so that giving up takes a moment at most.
    QByteArray slice(1 << 20, Qt::Uninitialized);
    for (;;) {
        if (cancelled && *cancelled)
            return result;
        const qint64 got = file.read(slice.data(), slice.size());
        if (got < 0)
            return result;
        if (got == 0)
            break;
        hash.addData(QByteArrayView(slice.constData(), got));
    }
    result.digest = hash.result();
    result.ok = true;
    return result;
}

bool SettingsStore::changedGiven(const ContentHash &hash) const
{
    if (!loaded)
        return false;
    m_hashed = HashedState();
    if (!hash.ok)
        return true;
    rememberHashed(hash.stamp, hash.digest, hash.readAtNs);
    return hash.digest != loadedHash;
}

QString SettingsStore::missingMessage() const
{
    return tr("%1 no longer exists: it was deleted, moved or renamed after it was loaded. Nothing "
              "was written. To keep your changes, put the file back and save again.")
        .arg(QDir::toNativeSeparators(path));
}

SettingsStore::Failure SettingsStore::failure() const
{
    return m_failure;
}

bool SettingsStore::fail(Failure kind, const QString &message, QString *error)
{
    m_failure = kind;
    if (error && error->isEmpty())
        *error = message;
    return false;
}

bool SettingsStore::refuseWhileRunning(bool saving, QString *error) const
{
    const PixInsightCheck check = checkPixInsight();
    if (!check.mayBeRunning())
        return false;
    m_failure = Failure::Running;
    if (error && error->isEmpty()) {
        // Closing PixInsight would not help here: the process list itself is out of reach.
        if (!check.known)
            *error = saving ? tr("Cannot tell whether PixInsight is running: %1. Saving is "
                                 "refused while that cannot be checked, since a running "
                                 "PixInsight would overwrite the file. Nothing was written.")
                                  .arg(check.reason)
                            : tr("Cannot tell whether PixInsight is running: %1. Restoring is "
                                 "refused while that cannot be checked, since a running "
                                 "PixInsight would overwrite the file. Nothing was changed.")
                                  .arg(check.reason);
        else
            *error = saving ? tr("PixInsight is running. It keeps its settings in memory and "
                                 "would overwrite the file. Close PixInsight first.")
                            : tr("PixInsight is running. Close it before restoring a backup.");
    }
    return true;
}

bool SettingsStore::fileReadOnly() const
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 && S_ISREG(st.st_mode) &&
           (st.st_mode & S_IWUSR) == 0;
}

bool SettingsStore::refuseReadOnly(bool saving, QString *error)
{
    if (replaceReadOnly || !fileReadOnly())
        return false;
    fail(Failure::ReadOnly,
         saving ? tr("%1 is read-only (its owner may not write it). Nothing was written.")
                      .arg(QDir::toNativeSeparators(path))
                : tr("%1 is read-only (its owner may not write it). Nothing was changed.")
                      .arg(QDir::toNativeSeparators(path)),
         error);
    return true;
}

QStringList SettingsStore::replaceNotes() const
{
    // A save puts a new file in place: other names of the old one go on showing the old one.
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0 || st.st_nlink < 2)
        return {};
    return {tr("%1 has %2 names (hard links). It is replaced under this name only; the other "
               "names keep the old content.")
                .arg(QDir::toNativeSeparators(path))
                .arg(st.st_nlink)};
}

bool SettingsStore::replaceCheck(const FileStamp &expected, bool saving, QString *error) const
{
    // The last moment before the swap: PixInsight may have started, or someone may have
    // written the file, while the new text was being prepared.
    if (refuseWhileRunning(saving, error))
        return false;
    const FileStamp now = fileStamp(path);
    if (now != expected) {
        m_failure = Failure::ChangedOnDisk;
        if (error && error->isEmpty())
            *error = !now.exists && fileMissing(path) && saving ? missingMessage()
                     : saving                                   ? changedMessage()
                                                                : restoreChangedMessage();
        return false;
    }
    return true;
}

QString SettingsStore::changedMessage()
{
    return tr("The file changed on disk since it was loaded (PixInsight may have written it). "
              "Nothing was written. Use Reload and keep my changes (File menu or Shift+F5) to "
              "make your edits again on the new version, then save.");
}

QString SettingsStore::inUseMessage(bool saving)
{
    return saving ? tr("Nothing was written: another program has the file open. Close that "
                       "program, then save again.")
                  : tr("Nothing was changed: another program has the file open. Close that "
                       "program, then restore again.");
}

QString SettingsStore::restoreChangedMessage()
{
    return tr("The file changed on disk while the backup was being restored (PixInsight may have "
              "written it). That version was kept; nothing was changed.");
}

bool SettingsStore::save(QString *error, QString *backupPathOut)
{
    QByteArray written;
    if (!writePending(error, backupPathOut, &written))
        return false;
    commitWritten(written);
    return true;
}

void SettingsStore::commitWritten(const QByteArray &written)
{
    if (written.isEmpty())
        return;
    loadedHash = written;
    document.commit();
    // Our own write is too fresh for its stamp to be trusted; the next poll hashes in full.
    m_hashed = HashedState();
}

bool SettingsStore::writePending(QString *error, QString *backupPathOut, QByteArray *written)
{
    m_failure = Failure::None;
    written->clear();
    if (backupPathOut)
        backupPathOut->clear();
    if (!loaded)
        return fail(Failure::NotLoaded, tr("No file is loaded."), error);
    if (document.pendingChangeCount() == 0)
        return true;
    const std::unique_lock<std::mutex> readers =
        holdFileReaders ? holdFileReaders() : std::unique_lock<std::mutex>();
    if (refuseWhileRunning(true, error))
        return false;

    for (const XsdtNode *node : document.deletedNodes()) {
        QString reason;
        if (!mayDelete || !mayDelete(node, &reason))
            return fail(Failure::Refused,
                        tr("'%1' is protected and cannot be deleted. %2 Nothing was written.")
                            .arg(shortenedPath(node->path()), reason),
                        error);
    }
    // A backup made there could never be taken back if the save then refuses.
    QString folderError;
    if (!folderAllowsReplacing(path, &folderError))
        return fail(Failure::Failed, folderError, error);

    // The file is hashed and backed up through one descriptor, so the backup is exactly what
    // the user loaded even if the file is rewritten in between (which the swap then sees). Its
    // bytes are streamed both times: besides the document, a save holds only the new text.
    QString backupPath;
    std::unique_ptr<MadeFile> backup;
    FileStamp currentStamp;
    QByteArray currentHash;
    {
        QString readError;
        const qint64 readAt = nowNs();
        const UniqueFd current = openHashed(path, &currentStamp, &currentHash, &readError);
        if (!current.valid())
            return fileMissing(path) ? fail(Failure::ChangedOnDisk, missingMessage(), error)
                                     : fail(Failure::Failed,
                                            tr("%1. Nothing was written.").arg(readError), error);
        rememberHashed(currentStamp, currentHash, readAt);
        if (currentHash != loadedHash)
            return fail(Failure::ChangedOnDisk, changedMessage(), error);
        if (refuseReadOnly(true, error))
            return false;
        QString reason;
        bool changed = false;
        if (!copyBackup(path, current.get(), currentHash, QString(), &backupPath, &changed,
                        &reason))
            return changed ? fail(Failure::ChangedOnDisk, changedMessage(), error)
                           : fail(Failure::Failed,
                                  tr("Could not create the backup %1: %2. Nothing was written.")
                                      .arg(QDir::toNativeSeparators(backupPath), reason),
                                  error);
        backup = std::make_unique<MadeFile>(backupPath);
    }
    // A save that refuses leaves no backup of a file it did not replace.
    auto refuse = [&](Failure kind, const QString &message) {
        backup->remove();
        return fail(kind, message, error);
    };

    // The new text goes straight into the new file, and is proven to read back to the edited
    // tree from there: besides the document, a save holds no copy of the file.
    MadeContent content;
    content.write = [this](const MadeContent::Sink &sink) {
        return serializeInPieces(document, sink);
    };
    content.check = [this](int fd, QString *message) {
        QString parseError;
        QString where;
        if (readsBackFromFile(fd, &parseError, &where))
            return true;
        m_failure = Failure::Failed;
        if (message && message->isEmpty())
            *message = parseError.isEmpty()
                           ? tr("Internal error: the edited document differs after re-parsing "
                                "at %1. Nothing was written.")
                                 .arg(shortenedPath(where))
                           : tr("Internal error: the edited document does not parse back (%1). "
                                "Nothing was written.")
                                 .arg(parseError);
        return false;
    };

    ExpectedFile expected{currentStamp, currentHash, m_hashed.trusted};
    ReplaceGuard guard;
    guard.beforeReplace = [&](QString *message) {
        return replaceCheck(currentStamp, true, message);
    };
    guard.expected = &expected;
    guard.changedMessage = changedMessage();
    guard.inUseMessage = inUseMessage(true);
    WriteOutcome outcome;
    QString writeError;
    if (!writeFileVerified(path, content, &writeError, guard, &outcome)) {
        // The backup is of the version before this save, not of the one now in place.
        if (outcome.stop == WriteStop::Overwritten)
            return fail(
                Failure::Failed,
                tr("%1 was replaced with your changes, but another program wrote it "
                   "right after: it now holds that program's version, not your changes. "
                   "The backup %2 holds the file as it was before this save; restoring "
                   "it would undo the other program's change too.")
                    .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(backupPath)),
                error);
        if (outcome.replaced)
            return fail(Failure::Failed,
                        tr("%1 The previous version is in the backup %2.")
                            .arg(writeError, QDir::toNativeSeparators(backupPath)),
                        error);
        return refuse(writeFailure(outcome.stop, m_failure), writeError);
    }

    *written = content.hash;
    if (backupPathOut)
        *backupPathOut = backupPath;
    if (onFileWritten)
        onFileWritten({path, currentHash, backupPath, true, content.hash, false});
    return true;
}

bool SettingsStore::restoreBackup(const QString &backupPath, QString *error)
{
    Reading reading;
    return restoreInto(backupPath, document, &reading, error) && takeRestored(reading, error);
}

bool SettingsStore::takeRestored(const Reading &reading, QString *error)
{
    if (!take(reading, error))
        return fail(Failure::Failed, QString(), error);
    return true;
}

bool SettingsStore::restoreInto(const QString &backupPath, XsdtDocument &into, Reading *reading,
                                QString *error)
{
    m_failure = Failure::None;
    // A file that failed to parse may be restored too: that is what its backups are for.
    if (path.isEmpty())
        return fail(Failure::NotLoaded, tr("No file is loaded."), error);
    const std::unique_lock<std::mutex> readers =
        holdFileReaders ? holdFileReaders() : std::unique_lock<std::mutex>();
    if (refuseWhileRunning(false, error))
        return false;
    QByteArray bytes;
    QString readError;
    if (!readFile(backupPath, bytes, &readError))
        return fail(Failure::Failed, readError, error);
    QString message;
    if (!XsdtDocument::reads(bytes, &message))
        return fail(Failure::Refused,
                    tr("The backup is not a valid settings file: %1").arg(message), error);
    QString folderError;
    if (!folderAllowsReplacing(path, &folderError))
        return fail(Failure::Failed, folderError, error);
    // With the file gone there is nothing to keep first; a file that is there but cannot be
    // read is not replaced blindly.
    ExpectedFile expected;
    QString firstBackup;
    std::unique_ptr<MadeFile> first;
    {
        const qint64 readAt = nowNs();
        readError.clear();
        const UniqueFd current = openHashed(path, &expected.stamp, &expected.hash, &readError);
        if (current.valid()) {
            rememberHashed(expected.stamp, expected.hash, readAt);
            expected.stampTrusted = m_hashed.trusted;
            if (refuseReadOnly(false, error))
                return false;
            QString reason;
            bool changed = false;
            if (!copyBackup(path, current.get(), expected.hash, QStringLiteral("before-restore"),
                            &firstBackup, &changed, &reason))
                return changed ? fail(Failure::ChangedOnDisk, restoreChangedMessage(), error)
                               : fail(Failure::Failed,
                                      tr("Could not back up the current file to %1: %2. Nothing "
                                         "was changed.")
                                          .arg(QDir::toNativeSeparators(firstBackup), reason),
                                      error);
            first = std::make_unique<MadeFile>(firstBackup);
        } else if (!fileMissing(path)) {
            return fail(Failure::Failed, tr("%1. Nothing was changed.").arg(readError), error);
        }
    }

    ReplaceGuard guard;
    guard.beforeReplace = [&](QString *message) {
        return replaceCheck(expected.stamp, false, message);
    };
    guard.expected = &expected;
    guard.changedMessage = restoreChangedMessage();
    guard.inUseMessage = inUseMessage(false);
    guard.modeLike = backupPath;
    WriteOutcome outcome;
    QString writeError;
    if (!writeFileVerified(path, bytes, &writeError, guard, &outcome)) {
        if (outcome.stop == WriteStop::Overwritten && !firstBackup.isEmpty())
            return fail(
                Failure::Failed,
                tr("%1 was replaced with the backup, but another program wrote it right "
                   "after: it now holds that program's version. The backup %2 holds the "
                   "file as it was before the restore; restoring it would undo the "
                   "other program's change too.")
                    .arg(QDir::toNativeSeparators(path), QDir::toNativeSeparators(firstBackup)),
                error);
        if (outcome.replaced && !firstBackup.isEmpty())
            return fail(Failure::Failed,
                        tr("%1 The file as it was before is in the backup %2.")
                            .arg(writeError, QDir::toNativeSeparators(firstBackup)),
                        error);
        // Nothing was replaced, so the copy made first is only clutter.
        if (first)
            first->remove();
        return fail(writeFailure(outcome.stop, m_failure), writeError, error);
    }
    if (onFileWritten)
        onFileWritten({path, expected.hash, firstBackup, loaded && expected.hash == loadedHash,
                       sha256(bytes), true});
    bytes = QByteArray(); // read again from the file
    *reading = readInto(path, into);
    return true;
}

} // namespace vrn
