#include "store/files.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSaveFile>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrn {

namespace {

struct FileMessages
{
    Q_DECLARE_TR_FUNCTIONS(vrn::SettingsStore)
};

StoreClock &storeClock()
{
    static StoreClock clock;
    return clock;
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QString systemError(int code)
{
    return qt_error_string(code);
}

FileStamp stampFrom(const struct stat &st)
{
    FileStamp stamp;
    stamp.exists = true;
    stamp.regular = S_ISREG(st.st_mode);
    stamp.size = st.st_size;
    stamp.mtimeNs = qint64(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec;
    stamp.ctimeNs = qint64(st.st_ctim.tv_sec) * 1000000000 + st.st_ctim.tv_nsec;
    stamp.inode = st.st_ino;
    stamp.device = st.st_dev;
    return stamp;
}

bool lexists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool writeAllFd(int fd, const char *data, qint64 size)
{
    while (size > 0) {
        const ssize_t n = ::write(fd, data, size_t(qMin<qint64>(size, 1 << 30)));
        if (n < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        data += n;
        size -= n;
    }
    return true;
}

// A new file belongs to whoever writes it. Run as root on someone else's file, that would leave
// PixInsight unable to rewrite its own settings, so the new file takes the old one's owner.
// Where the change is not allowed (an ordinary user) the file simply stays ours.
void keepOwner(int fd, const struct stat &original)
{
    struct stat now;
    if (::fstat(fd, &now) != 0 || (now.st_uid == original.st_uid && now.st_gid == original.st_gid))
        return;
    if (::fchown(fd, original.st_uid, original.st_gid) != 0 && original.st_uid != now.st_uid)
        (void)::fchown(fd, uid_t(-1), original.st_gid);
}

// A rename is only durable once the folder holding the name is on disk too.
bool syncDirectory(const QString &dir)
{
    const int fd = ::open(QFile::encodeName(dir).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0)
        return false;
    // Some file systems cannot sync a folder at all; that is not a failure of the write.
    const bool ok = ::fsync(fd) == 0 || errno == EINVAL || errno == EROFS;
    const int saved = errno;
    ::close(fd);
    errno = saved;
    return ok;
}

// Gives the finished temporary file `fd` the name `path` without replacing anything there.
bool linkNew(int fd, const QByteArray &tempName, const QByteArray &path)
{
    if (tempName.isEmpty()) {
        // An unnamed file gets its name through its /proc entry; AT_EMPTY_PATH is the
        // fallback where /proc is missing (it needs a capability ordinary users lack).
        const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
        if (::linkat(AT_FDCWD, proc.constData(), AT_FDCWD, path.constData(), AT_SYMLINK_FOLLOW) ==
            0)
            return true;
        if (errno == EEXIST)
            return false;
#ifdef AT_EMPTY_PATH
        return ::linkat(fd, "", AT_FDCWD, path.constData(), AT_EMPTY_PATH) == 0;
#else
        return false;
#endif
    }
    if (::link(tempName.constData(), path.constData()) == 0)
        return true;
    if (errno == EEXIST)
        return false;
#ifdef RENAME_NOREPLACE
    // File systems without hard links may still rename without replacing.
    if (::renameat2(AT_FDCWD, tempName.constData(), AT_FDCWD, path.constData(), RENAME_NOREPLACE) ==
        0)
        return true;
#endif
    return false;
}

} // namespace

FileStamp fileStamp(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return FileStamp();
    return stampFrom(st);
}

FileStamp openFileStamp(int fd)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return FileStamp();
    return stampFrom(st);
}

void setStoreClock(StoreClock clock)
{
    storeClock() = std::move(clock);
}

QDateTime storeNow()
{
    return storeClock() ? storeClock()() : QDateTime::currentDateTime();
}

QString backupPathFor(const QString &path, const QString &suffix, const QString &stampFormat)
{
    QString base = path + QStringLiteral(".bak-") + storeNow().toString(stampFormat);
    if (!suffix.isEmpty())
        base += QLatin1Char('-') + suffix;
    QString candidate = base;
    // lstat, so that a dangling symbolic link also counts as taken.
    for (int n = 2; lexists(candidate); ++n)
        candidate = base + QLatin1Char('-') + QString::number(n);
    return candidate;
}

bool readFileStamped(const QString &path, QByteArray &bytes, FileStamp *stamp, QString *error)
{
    auto fail = [&](const QString &reason) {
        if (error && error->isEmpty())
            *error = FileMessages::tr("Cannot read %1: %2").arg(native(path), reason);
        return false;
    };
    // Checked before opening too: opening a pipe would wait for a writer.
    const FileStamp before = fileStamp(path);
    if (before.exists && !before.regular)
        return fail(FileMessages::tr("Not a regular file"));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    const FileStamp opened = openFileStamp(file.handle());
    if (!opened.exists)
        return fail(systemError(errno));
    if (!opened.regular)
        return fail(FileMessages::tr("Not a regular file"));
    if (stamp)
        *stamp = opened;
    bytes = file.readAll();
    if (file.error() != QFileDevice::NoError)
        return fail(file.errorString());
    return true;
}

bool readFile(const QString &path, QByteArray &bytes, QString *error)
{
    return readFileStamped(path, bytes, nullptr, error);
}

bool writeFileVerified(const QString &path, const QByteArray &bytes, QString *error,
                       const ReplaceCheck &beforeReplace)
{
    auto writeError = [&](const QString &reason) {
        if (error && error->isEmpty())
            *error = FileMessages::tr("Error writing %1: %2").arg(native(path), reason);
        return false;
    };
    struct stat original;
    const bool hadFile = ::stat(QFile::encodeName(path).constData(), &original) == 0;
    QSaveFile file(path);
    // Never write into the target itself: a crash then would leave half a file.
    file.setDirectWriteFallback(false);
    if (!file.open(QIODevice::WriteOnly)) {
        if (error && error->isEmpty())
            *error = FileMessages::tr("Cannot open %1 for writing: %2")
                         .arg(native(path), file.errorString());
        return false;
    }
    // A short write is retried: only the failing call says why (a full disk, a size limit).
    for (qint64 done = 0; done < bytes.size();) {
        const qint64 n = file.write(bytes.constData() + done, bytes.size() - done);
        if (n <= 0)
            return writeError(file.errorString());
        done += n;
    }
    if (hadFile)
        keepOwner(int(file.handle()), original);
    if (!file.flush())
        return writeError(file.errorString());
    // On disk before the rename, with a failure reported: QSaveFile does not ensure this, and a
    // rename over the old file with data that never reached the disk is what a power cut must
    // not find.
    if (::fsync(file.handle()) != 0)
        return writeError(systemError(errno));
    if (beforeReplace && !beforeReplace(error)) {
        file.cancelWriting();
        return false;
    }
    if (!file.commit())
        return writeError(file.errorString());
    // The save file renames within the folder of the link's target when path is a link.
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (!syncDirectory(QFileInfo(canonical.isEmpty() ? path : canonical).absolutePath()))
        return writeError(systemError(errno));

    QByteArray back;
    if (!readFile(path, back, error))
        return false;
    if (back != bytes) {
        if (error && error->isEmpty())
            *error = FileMessages::tr("Read-back verification of %1 failed.").arg(native(path));
        return false;
    }
    return true;
}

bool writeNewFileVerified(const QString &path, const QByteArray &bytes, uint mode, bool *exists,
                          QString *error, const struct stat *ownerOf)
{
    if (exists)
        *exists = false;
    auto fail = [&](int code) {
        if (error && error->isEmpty())
            *error = FileMessages::tr("Cannot create %1: %2").arg(native(path), systemError(code));
        return false;
    };
    const QFileInfo info(path);
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    QByteArray tempName;
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return fail(errno);
#endif
    if (fd < 0) {
        // No unnamed files here: a hidden temporary name that no listing of backups matches.
        tempName = dir + "/." + QFile::encodeName(info.fileName()) + ".tmp-XXXXXX";
        fd = ::mkostemp(tempName.data(), O_CLOEXEC);
        if (fd < 0)
            return fail(errno);
    }
    auto abandon = [&](int code) {
        ::close(fd);
        if (!tempName.isEmpty())
            ::unlink(tempName.constData());
        return fail(code);
    };
    if (ownerOf)
        keepOwner(fd, *ownerOf);
    if (::fchmod(fd, mode_t(mode & 07777)) != 0 && errno != EPERM)
        return abandon(errno);
    if (!writeAllFd(fd, bytes.constData(), bytes.size()) || ::fsync(fd) != 0)
        return abandon(errno);
    if (!linkNew(fd, tempName, target)) {
        const int code = errno;
        if (code == EEXIST && exists)
            *exists = true;
        return abandon(code);
    }
    ::close(fd);
    if (!tempName.isEmpty())
        ::unlink(tempName.constData());
    if (!syncDirectory(info.absolutePath())) {
        const int code = errno;
        ::unlink(target.constData());
        return fail(code);
    }

    QByteArray back;
    if (!readFile(path, back, error) || back != bytes) {
        // Something else wrote there at the same moment; leave no wrong copy behind.
        ::unlink(target.constData());
        return fail(EIO);
    }
    return true;
}

bool writeBackup(const QString &path, const QByteArray &bytes, const QString &suffix,
                 QString *backupPath, QString *error, const QString &stampFormat)
{
    struct stat st;
    const bool hadFile = ::stat(QFile::encodeName(path).constData(), &st) == 0;
    const uint mode = hadFile ? uint(st.st_mode & 0777) : 0600u;
    QString candidate;
    // Another program may take the free name between choosing it and creating the file.
    for (int attempt = 0; attempt < 20; ++attempt) {
        candidate = backupPathFor(path, suffix, stampFormat);
        bool taken = false;
        QString message;
        if (writeNewFileVerified(candidate, bytes, mode, &taken, &message,
                                 hadFile ? &st : nullptr)) {
            if (backupPath)
                *backupPath = candidate;
            return true;
        }
        if (!taken) {
            if (backupPath)
                *backupPath = candidate;
            if (error && error->isEmpty())
                *error = message;
            return false;
        }
    }
    if (backupPath)
        *backupPath = candidate;
    if (error && error->isEmpty())
        *error =
            FileMessages::tr("Cannot create %1: %2").arg(native(candidate), systemError(EEXIST));
    return false;
}

QByteArray sha256(const QByteArray &bytes)
{
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace vrn
