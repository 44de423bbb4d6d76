#include "store/settingsstore.h"

#include "environment/pixinsight.h"
#include "knowledge/deletionpolicy.h"

#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace vrn {

namespace {

// How old a file's times must be, compared with the moment its bytes were read, before an
// unchanged stamp may stand for unchanged content. File systems keep times with a granularity
// of up to two seconds, so a write in the same tick as the read can leave the stamp as it was.
constexpr qint64 kStampSettleNs = 3'000'000'000;

qint64 nowNs()
{
    return storeNow().toMSecsSinceEpoch() * 1000000;
}

} // namespace

bool sameAfterReparse(const XsdtNode &edited, const XsdtNode &parsed, QString *where)
{
    size_t kept = 0;
    for (const auto &child : edited.children)
        kept += child->pendingDelete ? 0 : 1;
    if (kept != parsed.children.size()) {
        *where = edited.path();
        return false;
    }
    size_t j = 0;
    for (const auto &child : edited.children) {
        if (child->pendingDelete)
            continue;
        const XsdtNode &x = *child;
        const XsdtNode &y = *parsed.children[j++];
        bool same = x.kind == y.kind && x.key == y.key;
        if (same && x.kind == XsdtNode::Value)
            same = x.type == y.type && x.value == y.value && x.compression == y.compression &&
                   x.compressedText == y.compressedText;
        if (!same) {
            *where = x.path();
            return false;
        }
        if (x.kind == XsdtNode::Group && !sameAfterReparse(x, y, where))
            return false;
    }
    return true;
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
    const QString absolute = QFileInfo(filePath).absoluteFilePath();
    QByteArray bytes;
    FileStamp stamp;
    const qint64 readAt = nowNs();
    if (!readFileStamped(absolute, bytes, &stamp, error))
        return false;
    QString message;
    if (!document.parse(bytes, &message)) {
        // The broken file stays the one in hand, so that it can be reloaded or replaced by one
        // of its backups.
        path = absolute;
        loaded = false;
        m_hashed = HashedState();
        if (error && error->isEmpty())
            *error = tr("%1 is not a valid PixInsight settings file: %2")
                         .arg(QDir::toNativeSeparators(absolute), message);
        return false;
    }
    path = absolute;
    loadedHash = sha256(bytes);
    loaded = true;
    rememberHashed(stamp, loadedHash, readAt);
    return true;
}

bool SettingsStore::changedOnDisk() const
{
    if (!loaded)
        return false;
    const FileStamp now = fileStamp(path);
    if (!now.exists)
        return true;
    if (m_hashed.valid && m_hashed.trusted && now == m_hashed.stamp)
        return m_hashed.digest != loadedHash;
    return contentChangedOnDisk();
}

bool SettingsStore::contentChangedOnDisk() const
{
    if (!loaded)
        return false;
    m_hashed = HashedState();
    const qint64 readAt = nowNs();
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return true;
    // Taken from the open file before reading, so a write during the read leaves a stamp
    // that no longer matches.
    const FileStamp stamp = openFileStamp(file.handle());
    if (!stamp.regular)
        return true;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    if (!hash.addData(&file) || file.error() != QFileDevice::NoError)
        return true;
    const QByteArray digest = hash.result();
    rememberHashed(stamp, digest, readAt);
    return digest != loadedHash;
}

bool SettingsStore::replaceCheck(const FileStamp &expected, const QString &runningMessage,
                                 QString *error) const
{
    // The last moment before the old file is gone: PixInsight may have started, or someone
    // may have written the file, while the new text was being prepared.
    if (isPixInsightRunning()) {
        if (error && error->isEmpty())
            *error = runningMessage;
        return false;
    }
    if (fileStamp(path) != expected) {
        if (error && error->isEmpty())
            *error = tr("The file changed on disk since it was loaded (PixInsight may have "
                        "written it). Reload it and redo your edits.");
        return false;
    }
    return true;
}

bool SettingsStore::save(QString *error, QString *backupPathOut)
{
    auto fail = [&](const QString &message) {
        if (error && error->isEmpty())
            *error = message;
        return false;
    };
    if (backupPathOut)
        backupPathOut->clear();
    if (!loaded)
        return fail(tr("No file is loaded."));
    if (document.pendingChangeCount() == 0)
        return true;
    const QString running = tr("PixInsight is running. It keeps its settings in memory and "
                               "would overwrite the file. Close PixInsight first.");
    if (isPixInsightRunning())
        return fail(running);

    // The bytes checked here are the ones backed up below, so the backup is exactly what the
    // user loaded even if the file is rewritten in between (which the last check then sees).
    QByteArray current;
    FileStamp currentStamp;
    const qint64 readAt = nowNs();
    const bool readable = readFileStamped(path, current, &currentStamp);
    const QByteArray currentHash = readable ? sha256(current) : QByteArray();
    if (readable)
        rememberHashed(currentStamp, currentHash, readAt);
    if (!readable || currentHash != loadedHash)
        return fail(tr("The file changed on disk since it was loaded (PixInsight may have "
                       "written it). Reload it and redo your edits."));

    for (const XsdtNode *node : document.deletedNodes()) {
        if (!policy)
            return fail(tr("'%1' is protected and cannot be deleted. %2 Nothing was written.")
                            .arg(node->path(), QString()));
        const DeleteVerdict verdict = policy->verdictFor(node);
        if (verdict.level == DeleteLevel::Never)
            return fail(tr("'%1' is protected and cannot be deleted. %2 Nothing was written.")
                            .arg(node->path(), verdict.reason));
    }

    const QByteArray bytes = document.serialize();
    {
        XsdtDocument scratch;
        QString message;
        if (!scratch.parse(bytes, &message))
            return fail(tr("Internal error: the edited document does not parse back (%1). "
                           "Nothing was written.")
                            .arg(message));
        QString where;
        if (!sameAfterReparse(document.root, scratch.root, &where))
            return fail(tr("Internal error: the edited document differs after re-parsing at "
                           "%1. Nothing was written.")
                            .arg(where));
    }

    QString backupPath;
    if (!writeBackup(path, current, QString(), &backupPath))
        return fail(tr("Could not create the backup %1. Nothing was written.")
                        .arg(QDir::toNativeSeparators(backupPath)));

    const ReplaceCheck check = [&](QString *message) {
        return replaceCheck(currentStamp, running, message);
    };
    if (!writeFileVerified(path, bytes, error, check))
        return false;

    loadedHash = sha256(bytes);
    document.commit();
    // Our own write is too fresh for its stamp to be trusted; the next poll hashes in full.
    m_hashed = HashedState();
    if (backupPathOut)
        *backupPathOut = backupPath;
    return true;
}

bool SettingsStore::restoreBackup(const QString &backupPath, QString *error)
{
    auto fail = [&](const QString &message) {
        if (error && error->isEmpty())
            *error = message;
        return false;
    };
    // A file that failed to parse may be restored too: that is what its backups are for.
    if (path.isEmpty())
        return fail(tr("No file is loaded."));
    const QString running = tr("PixInsight is running. Close it before restoring a backup.");
    if (isPixInsightRunning())
        return fail(running);
    QByteArray bytes;
    if (!readFile(backupPath, bytes, error))
        return false;
    {
        XsdtDocument scratch;
        QString message;
        if (!scratch.parse(bytes, &message))
            return fail(tr("The backup is not a valid settings file: %1").arg(message));
    }
    QByteArray current;
    FileStamp currentStamp;
    if (!readFileStamped(path, current, &currentStamp) ||
        !writeBackup(path, current, QStringLiteral("before-restore"), nullptr))
        return fail(tr("Could not back up the current file first. Nothing was changed."));

    const ReplaceCheck check = [&](QString *message) {
        return replaceCheck(currentStamp, running, message);
    };
    if (!writeFileVerified(path, bytes, error, check))
        return false;
    return load(path, error);
}

} // namespace vrn
