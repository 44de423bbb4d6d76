#pragma once

#include <QByteArray>
#include <QByteArrayView>
#include <QDateTime>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>

#include <sys/stat.h>

namespace vrn {

// What stat() tells about a file: enough to notice that someone wrote, touched or replaced it
// without reading it. The change time catches writers that put the modification time back.
struct FileStamp
{
    bool exists = false;
    bool regular = false; // a regular file, not a folder, device or pipe
    qint64 size = 0;
    qint64 mtimeNs = 0;
    qint64 ctimeNs = 0;
    quint64 inode = 0;
    quint64 device = 0;

    friend bool operator==(const FileStamp &, const FileStamp &) = default;
};

// The stamp of the file at path (symbolic links followed); `exists` false when stat fails.
FileStamp fileStamp(const QString &path);
// The stamp of an open file.
FileStamp openFileStamp(int fd);

// The first free name path + ".bak-" + local time in stampFormat (+ "-" + suffix), then with
// "-2", "-3", ... appended.
QString backupPathFor(const QString &path, const QString &suffix = QString(),
                      const QString &stampFormat = QStringLiteral("yyyyMMdd-HHmmss"));

// The clock of the store (backup names, the age of file times): the real one unless a test
// set another; an empty function restores the real clock.
using StoreClock = std::function<QDateTime()>;
void setStoreClock(StoreClock clock);
QDateTime storeNow();

// Reads the whole file. Only regular files are read, so a pipe or a device named by mistake
// cannot block or exhaust memory.
bool readFile(const QString &path, QByteArray &bytes, QString *error = nullptr);
// The same, also giving the stamp of the opened file as it was before reading; a write during
// the read therefore leaves a stamp that no longer matches.
bool readFileStamped(const QString &path, QByteArray &bytes, FileStamp *stamp,
                     QString *error = nullptr);

// A file's bytes, read as readFileStamped() reads them into memory of their own, whose pages a
// reader that is done with them gives back while it goes on: a large file's text then never
// stays whole beside what is built from it.
class FileBytes
{
public:
    FileBytes() = default;
    FileBytes(const FileBytes &) = delete;
    FileBytes &operator=(const FileBytes &) = delete;
    ~FileBytes();

    bool read(const QString &path, FileStamp *stamp, QString *error = nullptr);
    // Room for `size` bytes that the caller fills (untouched pages cost nothing), in place of
    // what was held; null when the system has none to give.
    char *allocate(qsizetype size);
    // Hands out what fills the bytes next: at most `most` at `into`; how many, 0 once there is
    // no more, -1 when the rest cannot be had.
    using Fill = std::function<qint64(char *into, qint64 most)>;
    // Room for `size` bytes, in place of what was held, filled from `fill` as fillTo() asks: the
    // part not filled yet reads as zeros. False when the system has no room to give.
    bool fillFrom(qsizetype size, Fill fill);
    // Opens the file and makes room for it as large as it is, to be read as fillTo() asks.
    bool openToFill(const QString &path, QString *error = nullptr);
    // Fills on to `offset`, the end at most, and says how far the bytes are filled.
    qsizetype fillTo(qsizetype offset);
    // Makes the bytes from `offset` on zeros again and fills no more.
    void stopFillingAt(qsizetype offset);
    // Whether bytes are still to be filled.
    bool filling() const { return bool(m_fill); }
    // Whether every byte was filled and nothing was left over (the file was no longer than
    // when opened); bytes read or allocated whole count as filled.
    bool filledWhole() const { return m_whole; }
    QByteArrayView view() const { return QByteArrayView(m_data, m_size); }
    qsizetype size() const { return m_size; }
    // Gives back the whole pages before `offset`, which read as zeros from then on.
    void letGoBefore(qsizetype offset);

private:
    char *m_data = nullptr;
    size_t m_mapped = 0;
    qsizetype m_size = 0;
    qsizetype m_released = 0;
    // Filled as asked: from what, until its end, and how far.
    Fill m_fill;
    qsizetype m_filled = 0;
    bool m_whole = false;
};

// Called after the new content is complete and on disk, just before it replaces the file;
// returning false abandons the write and leaves the old file in place.
using ReplaceCheck = std::function<bool(QString *error)>;

// What the file about to be replaced must still be: the stamp it had when its bytes were read
// and their SHA-256. A stamp that does not exist means that there must be no file at all.
struct ExpectedFile
{
    FileStamp stamp;
    QByteArray hash;
    bool stampTrusted = false; // an unchanged stamp may stand for unchanged content
};

struct ReplaceGuard
{
    ReplaceCheck beforeReplace;
    // When set, the file that the new one displaced is compared with it; a different one (a
    // write that landed after the last check) is put back, and the write fails with
    // `changedMessage`.
    const ExpectedFile *expected = nullptr;
    QString changedMessage;
    // With `expected` set, the file is held open from the last check through the swap; with
    // this message set too, under a write lease where the file system and our rights allow one:
    // a program that has the file open then, or opens it meanwhile, stops the write with this
    // message (its writes would otherwise land in the displaced file and be lost).
    QString inUseMessage;
    // A file created where there was none takes the mode, owner and extended attributes of
    // this one.
    QString modeLike;
};

// What stopped writeFileVerified: `Check` is a false from `beforeReplace`, `Changed` and `InUse`
// the refusals with the guard's messages, `Overwritten` a file that holds something else when
// read back right after it was replaced (another program wrote it), `Error` a failure of the
// system.
enum class WriteStop { None, Check, Changed, InUse, Overwritten, Error };
struct WriteOutcome
{
    WriteStop stop = WriteStop::None;
    bool replaced = false; // the old file had been replaced when the failure stopped the write
};

// Replaces the file atomically (a temporary file in the same folder, flushed to disk, then
// swapped with the target) and reads it back: afterwards the file is either the old one or
// exactly `bytes`. Through a symbolic link, the file it points to is replaced. The new file
// keeps the old one's owner, mode and extended attributes (its access control list among them);
// where they cannot all be carried over, nothing is written.
bool writeFileVerified(const QString &path, const QByteArray &bytes, QString *error = nullptr,
                       const ReplaceGuard &guard = {}, WriteOutcome *outcome = nullptr);
// New content made while it is written, so that a large file's text is never held whole:
// `write` hands its pieces to the sink (which returns false when the write failed, and `write`
// then stops and returns false); `check`, when set, may refuse the finished file (open for
// reading and writing) with a message before anything is replaced. Afterwards `hash` is the
// SHA-256 of what was written, and the file read back is compared with it.
struct MadeContent
{
    using Sink = std::function<bool(const char *data, qsizetype size)>;
    std::function<bool(const Sink &sink)> write;
    std::function<bool(int fd, QString *error)> check;
    QByteArray hash;
};
bool writeFileVerified(const QString &path, MadeContent &content, QString *error,
                       const ReplaceGuard &guard, WriteOutcome *outcome = nullptr);
// False, with writeFileVerified's message, where that would fail before writing anything
// because the folder keeps every file created in it: asked before a backup is made there.
bool folderAllowsReplacing(const QString &path, QString *error = nullptr);

// A file just made, that may have to be taken back: it is removed from the folder it was made
// in, even when that folder was renamed since, and only while its name still holds that file.
class MadeFile
{
public:
    MadeFile() = default;
    explicit MadeFile(const QString &path);
    MadeFile(const MadeFile &) = delete;
    MadeFile &operator=(const MadeFile &) = delete;
    ~MadeFile();
    bool remove();

private:
    int m_dir = -1;
    QByteArray m_name;
    FileStamp m_made;
};

// Test seam: runs in the moment between the last check and the swap, with the target's path.
using ReplaceHook = std::function<void(const QString &path)>;
void setReplaceHook(ReplaceHook hook);
// Test seam: runs right after the swap, before the new file is read back.
void setReplacedHook(ReplaceHook hook);

// True when nothing at all is at path (it or a folder on the way is missing).
bool fileMissing(const QString &path);

// Creates a new file holding exactly `bytes` under `path` and never replaces an existing one.
// The content is written and flushed under no name or a hidden temporary one, and only then
// given the final name, so that name never holds a partial file. `exists` is set when `path`
// was taken. The file gets the permission bits `mode` and, where allowed, the owner and group
// of `ownerOf`.
bool writeNewFileVerified(const QString &path, const QByteArray &bytes, uint mode,
                          bool *exists = nullptr, QString *error = nullptr,
                          const struct stat *ownerOf = nullptr);

// Makes a backup of `bytes` (the content of the file at `path`) under the first free
// backupPathFor name, with the file's owner, mode and extended attributes; `backupPath`
// receives the name used or, on failure, the one tried, and `reason` why it failed.
bool writeBackup(const QString &path, const QByteArray &bytes, const QString &suffix,
                 QString *backupPath, QString *reason = nullptr,
                 const QString &stampFormat = QStringLiteral("yyyyMMdd-HHmmss"));

// The same backup copied from the open file `source` in pieces, so that its content is never
// held whole: what was copied must hash to `hash` (the SHA-256 the caller checked), otherwise no
// backup is left and `changed` is set.
bool copyBackup(const QString &path, int source, const QByteArray &hash, const QString &suffix,
                QString *backupPath, bool *changed, QString *reason = nullptr);

// Opens a regular file for reading (never blocking on a pipe or device named by mistake) and
// gives its stamp as opened; -1 with the message on failure. The caller closes the descriptor.
int openStamped(const QString &path, FileStamp *stamp, QString *error = nullptr);

// With `done`, hashes in pieces and stores there how many bytes it has hashed so far.
QByteArray sha256(QByteArrayView bytes, std::atomic<qsizetype> *done = nullptr);
// The SHA-256 of everything the open file holds from its start, read in pieces.
bool sha256Of(int fd, QByteArray *digest);

} // namespace vrn
