#pragma once

#include "document/xsdtdocument.h"
#include "store/files.h"

#include <QByteArray>
#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <mutex>

namespace vrn {

// Whether an entry queued for deletion may go; when not, `reason` says why (it may stay empty).
using DeletionGuard = std::function<bool(const XsdtNode *node, QString *reason)>;

// The one settings file open for editing. Saving refuses to write while PixInsight runs, after
// the file changed underneath, or when a deletion is protected; it proves that the new text
// reads back to the edited tree, backs up the old file beside it, replaces the file atomically
// and reads it back.
class SettingsStore
{
    Q_DECLARE_TR_FUNCTIONS(vrn::SettingsStore)

public:
    QString path;            // the file loaded, or the last one that failed to parse (absolute)
    XsdtDocument document;   // with the pending edits
    QByteArray loadedHash;   // SHA-256 of the bytes as loaded or as last written here
    DeletionGuard mayDelete; // while unset nothing can be deleted
    bool loaded = false;
    // A file its owner may not write (made read-only) is replaced by a save or restore only
    // while this is set: the user was asked, or said so on the command line.
    bool replaceReadOnly = false;

    // Whether the file at `path` is read-only: its owner has no write permission.
    bool fileReadOnly() const;
    // What the user should hear before the file is replaced, beyond the changes themselves.
    QStringList replaceNotes() const;

    // Told of every save and restore that replaced the file: what it held before (the SHA-256
    // and the backup that keeps those bytes; both empty when there was no file) and the SHA-256
    // of what was written and read back. Nothing is serialized for it: whoever records reads
    // the version from the file, or from the next save's backup once that save replaced it.
    // Called on the thread that wrote, which it must hand the work on from at once.
    struct FileWrite
    {
        QString path;
        QByteArray beforeHash;
        QString beforeCopy;
        bool beforeReads = false; // the content before was loaded here, so it parses
        QByteArray afterHash;
        bool restore = false;
    };
    std::function<void(const FileWrite &)> onFileWritten;
    // Taken by a save or restore before it looks at the file and kept until it is done, so that
    // whoever records versions does not hold the file open meanwhile: an open of our own would
    // break the write lease and refuse the save as if another program had the file.
    std::function<std::unique_lock<std::mutex>()> holdFileReaders;

    bool load(const QString &filePath, QString *error = nullptr);

    // Loading in two steps, so that the slow one can run on another thread: readInto touches
    // nothing but `into` (the store's own document only while nobody else looks at it), take()
    // makes what it read the store's. A file that could not be read leaves the store as it was.
    struct Reading
    {
        QString path; // absolute
        bool read = false;
        bool parsed = false;
        QString error; // why it could not be read, or what the parser said
        QByteArray hash;
        FileStamp stamp;
        qint64 readAtNs = 0;
    };
    static Reading readInto(const QString &filePath, XsdtDocument &into,
                            const XsdtDocument::Progress &progress = {});
    bool take(const Reading &reading, QString *error = nullptr);

    // Cheap enough for a timer: the content is hashed only when stat() says the file may have
    // changed since it was last hashed.
    bool changedOnDisk() const;
    // Whether the file at `path` reads and parses now, without touching the loaded document:
    // asked before a reload that must not lose what is in memory.
    bool fileReads(QString *error = nullptr, const XsdtDocument::Progress &progress = {}) const;
    // Always reads and hashes the whole file.
    bool contentChangedOnDisk() const;

    // The same check in steps, so that hashing a large file can run on another thread:
    // whatChanged() says whether the stamp settles it, hashContent touches nothing but the file,
    // and changedGiven() takes its hash in as changedOnDisk() would have.
    enum class StampVerdict { Unchanged, Changed, NeedsHash };
    StampVerdict whatChanged() const;
    struct ContentHash
    {
        bool ok = false; // false: the file could not be opened or read, which counts as changed
        FileStamp stamp;
        QByteArray digest;
        qint64 readAtNs = 0;
    };
    // Gives up, with `ok` false, once `cancelled` is set.
    static ContentHash hashContent(const QString &filePath,
                                   const std::atomic<bool> *cancelled = nullptr);
    bool changedGiven(const ContentHash &hash) const;

    bool save(QString *error = nullptr, QString *backupPathOut = nullptr);
    // The save in two steps: writePending does every check and the write and only reads the
    // document, so it may run on another thread while the document is shown but not changed;
    // commitWritten then marks the document saved. `written` is empty when nothing was written.
    bool writePending(QString *error, QString *backupPathOut, QByteArray *written);
    void commitWritten(const QByteArray &written);
    bool restoreBackup(const QString &backupPath, QString *error = nullptr);
    // The restore in two steps like loading: restoreInto does every check and the write, then
    // reads the restored file into `into` (the store's own document only while nobody else looks
    // at it); takeRestored() makes what it read the store's.
    bool restoreInto(const QString &backupPath, XsdtDocument &into, Reading *reading,
                     QString *error = nullptr);
    bool takeRestored(const Reading &reading, QString *error = nullptr);

    // What stopped the last save or restore, for callers that act on the kind of refusal
    // rather than on its words. ChangedOnDisk covers every refusal because the file is not the
    // one loaded (changed, replaced, deleted, or rewritten with the same bytes); InUse a file
    // that another program has open; Refused a protected deletion or a backup that is not a
    // settings file; Failed anything the system or the writer could not do.
    // ReadOnly a file its owner may not write, while replaceReadOnly was not set.
    enum class Failure {
        None,
        NotLoaded,
        Running,
        ChangedOnDisk,
        InUse,
        Refused,
        Failed,
        ReadOnly
    };
    Failure failure() const;

private:
    // The file as it was when its bytes were last hashed, and their hash.
    struct HashedState
    {
        bool valid = false;
        bool trusted = false; // false while the stamp is too fresh to vouch for the content
        FileStamp stamp;
        QByteArray digest;
    };
    void rememberHashed(const FileStamp &stamp, const QByteArray &digest, qint64 readAtNs) const;
    // True (with the message) when PixInsight runs or nobody can tell whether it does.
    bool refuseWhileRunning(bool saving, QString *error) const;
    // True (with the message) when the file is read-only and replacing it was not asked for.
    bool refuseReadOnly(bool saving, QString *error);
    bool replaceCheck(const FileStamp &expected, bool saving, QString *error) const;
    QString missingMessage() const;
    static QString changedMessage();
    static QString notSettingsMessage(const QString &filePath, const QString &reason);
    static QString restoreChangedMessage();
    static QString inUseMessage(bool saving);
    bool fail(Failure kind, const QString &message, QString *error);
    // Whether the open file's text reads back to the document, without holding it whole.
    bool readsBackFromFile(int fd, QString *error, QString *where) const;

    mutable HashedState m_hashed;
    mutable Failure m_failure = Failure::None;
};

} // namespace vrn
