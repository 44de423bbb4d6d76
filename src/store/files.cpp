#include "store/files.h"

#include "store/nativepath.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRandomGenerator>
#include <QScopeGuard>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <map>
#include <openssl/evp.h>
#include <openssl/sha.h>
#include <sys/ioctl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace vrn {

namespace {

struct FileMessages
{
    Q_DECLARE_TR_FUNCTIONS(vrn::SettingsStore)
};

// Large files are compared and copied in pieces of this size.
constexpr qint64 kReadChunk = 1 << 20;

StoreClock &storeClock()
{
    static StoreClock clock;
    return clock;
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

// Closes a descriptor when it goes out of scope.
struct Fd
{
    int fd;
    explicit Fd(int descriptor)
        : fd(descriptor)
    {}
    Fd(const Fd &) = delete;
    Fd &operator=(const Fd &) = delete;
    ~Fd()
    {
        if (fd >= 0)
            ::close(fd);
    }
};

ReplaceHook &replaceHook()
{
    static ReplaceHook hook;
    return hook;
}

ReplaceHook &replacedHook()
{
    static ReplaceHook hook;
    return hook;
}

// Calls get(buffer, size) with a buffer large enough for the answer, which may grow meanwhile.
// 0 or the system's error code.
template <typename Get>
int readSized(QByteArray *into, Get get)
{
    for (;;) {
        const ssize_t size = get(nullptr, 0);
        if (size < 0)
            return errno;
        into->resize(size);
        const ssize_t got = get(into->data(), size_t(size));
        if (got >= 0) {
            into->resize(got);
            return 0;
        }
        if (errno != ERANGE)
            return errno;
    }
}

// Who may read a file is part of it: Linux keeps its access control list among its extended
// attributes (system.posix_acl_access), and those go with it to a new file or a backup.
// `error` and `failed` (the attribute's name; empty for the list) say what could not be carried.
struct Access
{
    std::map<QByteArray, QByteArray> attributes;
    int error = 0;
    QByteArray failed;

    // From the open file `fd`, or from `path` when fd is -1.
    bool read(int fd, const QByteArray &path)
    {
        QByteArray names;
        error = readSized(&names, [&](char *to, size_t size) {
            return fd >= 0 ? ::flistxattr(fd, to, size) : ::listxattr(path.constData(), to, size);
        });
        if (error == ENOTSUP) // a file system without them
            error = 0;
        for (const QByteArray &name : names.split('\0')) {
            if (error != 0 || name.isEmpty())
                continue;
            error = readSized(&attributes[name], [&](char *to, size_t size) {
                return fd >= 0 ? ::fgetxattr(fd, name.constData(), to, size)
                               : ::getxattr(path.constData(), name.constData(), to, size);
            });
            failed = error != 0 ? name : QByteArray();
        }
        return error == 0;
    }

    // Gives the open file `fd` exactly these attributes: those it lacks are set, and those it
    // has beyond them removed (a folder's default access list gives every new file one).
    bool give(int fd)
    {
        Access now;
        if (!now.read(fd, {})) {
            *this = now;
            return false;
        }
        for (const auto &[name, value] : attributes) {
            const auto there = now.attributes.find(name);
            // One the system gave already (a security label) need not be set, and may not be.
            if ((there == now.attributes.end() || there->second != value) &&
                ::fsetxattr(fd, name.constData(), value.constData(), size_t(value.size()), 0) != 0)
                return fail(name);
        }
        for (const auto &[name, value] : now.attributes) {
            if (attributes.count(name) == 0 && ::fremovexattr(fd, name.constData()) != 0)
                return fail(name);
        }
        return true;
    }

    bool fail(const QByteArray &name)
    {
        error = errno;
        failed = name;
        return false;
    }

    // What could not be carried, for a message.
    QString what() const
    {
        if (failed.isEmpty())
            return FileMessages::tr("the extended attributes");
        if (failed.startsWith("system.posix_acl_"))
            return FileMessages::tr("the access control list");
        return FileMessages::tr("the extended attribute %1").arg(QString::fromUtf8(failed));
    }
};

// `name` + "." + six random letters or digits, the form of a temporary file beside `name`.
QByteArray temporaryName(const QByteArray &name)
{
    static const char letters[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789";
    QByteArray candidate = name + '.';
    for (int i = 0; i < 6; ++i)
        candidate += letters[QRandomGenerator::global()->bounded(62)];
    return candidate;
}

// Creates a temporary file beside `name` in the folder; -1 with errno on failure.
int createTemporary(int dir, const QByteArray &name, mode_t mode, QByteArray *temp)
{
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate = temporaryName(name);
        const int fd = ::openat(dir, candidate.constData(),
                                O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode);
        if (fd >= 0 || errno != EEXIST) {
            *temp = candidate;
            return fd;
        }
    }
    errno = EEXIST;
    return -1;
}

// Gives the finished unnamed file `fd` a temporary name beside `name`, through its /proc entry.
bool nameTemporary(int fd, int dir, const QByteArray &name, QByteArray *temp)
{
    const QByteArray proc = "/proc/self/fd/" + QByteArray::number(fd);
    for (int attempt = 0; attempt < 100; ++attempt) {
        const QByteArray candidate = temporaryName(name);
        if (::linkat(AT_FDCWD, proc.constData(), dir, candidate.constData(), AT_SYMLINK_FOLLOW) ==
            0) {
            *temp = candidate;
            return true;
        }
        if (errno != EEXIST)
            return false;
    }
    return false;
}

// A folder marked append-only or immutable lets files be created but never removed.
bool refusesRemoval(int dir)
{
    int flags = 0;
    return ::ioctl(dir, FS_IOC_GETFLAGS, &flags) == 0 &&
           (flags & (FS_APPEND_FL | FS_IMMUTABLE_FL)) != 0;
}

// 1 when the open file holds exactly `bytes`, 0 when not, -errno when it cannot be read. Read
// in pieces, so that checking a large file costs no second copy of it.
int sameContent(int fd, const QByteArray &bytes)
{
    struct stat st;
    if (::fstat(fd, &st) != 0)
        return -errno;
    if (!S_ISREG(st.st_mode) || st.st_size != bytes.size())
        return 0;
    QByteArray chunk(qMin<qint64>(bytes.size(), kReadChunk), Qt::Uninitialized);
    for (qint64 at = 0; at < bytes.size();) {
        const ssize_t n =
            ::pread(fd, chunk.data(), size_t(qMin<qint64>(chunk.size(), bytes.size() - at)), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return -errno;
        if (n == 0 || std::memcmp(chunk.constData(), bytes.constData() + at, size_t(n)) != 0)
            return 0;
        at += n;
    }
    char extra;
    return ::pread(fd, &extra, 1, bytes.size()) == 0 ? 1 : 0;
}

// The SHA-256 of everything an open file holds from its start, read in pieces; false when it
// cannot be read. `copyTo`, when not negative, receives every piece read.
bool hashPieces(int fd, QByteArray *digest, int copyTo = -1)
{
    EVP_MD_CTX *context = ::EVP_MD_CTX_new();
    const auto release = qScopeGuard([context] { ::EVP_MD_CTX_free(context); });
    if (!context || ::EVP_DigestInit_ex(context, ::EVP_sha256(), nullptr) != 1)
        return false;
    QByteArray chunk(kReadChunk, Qt::Uninitialized);
    for (qint64 at = 0;;) {
        const ssize_t n = ::pread(fd, chunk.data(), size_t(chunk.size()), at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return false;
        if (n == 0)
            break;
        if (::EVP_DigestUpdate(context, chunk.constData(), size_t(n)) != 1 ||
            (copyTo >= 0 && !writeAllFd(copyTo, chunk.constData(), n)))
            return false;
        at += n;
    }
    digest->resize(SHA256_DIGEST_LENGTH);
    return ::EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char *>(digest->data()),
                                nullptr) == 1;
}

// Whether the file that a swap displaced (now under `name` in the folder) is the expected one:
// the stamp vouches for it when it may, otherwise its content is hashed. The swap itself moves
// the change time, so that is not compared. `held` is the file as opened before the swap, or
// -1; only a regular file is ever opened, so a pipe swapped in cannot block the check.
bool displacedIsExpected(int dir, const QByteArray &name, int held, const ExpectedFile &expected,
                         struct stat *seen)
{
    struct stat st;
    struct stat &opened = *seen;
    if (::fstatat(dir, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISREG(st.st_mode))
        return false;
    const Fd own(
        held < 0 ? ::openat(dir, name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC)
                 : -1);
    const int fd = held < 0 ? own.fd : held;
    if (fd < 0 || ::fstat(fd, &opened) != 0 || opened.st_ino != st.st_ino ||
        opened.st_dev != st.st_dev)
        return false;
    FileStamp now = stampFrom(opened);
    now.ctimeNs = expected.stamp.ctimeNs;
    if (expected.stampTrusted && now == expected.stamp)
        return true;
    QFile file;
    if (::lseek(fd, 0, SEEK_SET) != 0 ||
        !file.open(fd, QIODevice::ReadOnly, QFileDevice::DontCloseHandle))
        return false;
    QCryptographicHash hash(QCryptographicHash::Sha256);
    return hash.addData(&file) && file.error() == QFileDevice::NoError &&
           hash.result() == expected.hash;
}

// A write lease on an open file, released when it goes out of scope. The kernel announces a
// break with a signal, SIGIO unless told otherwise, which would end the program: it is told to
// use SIGURG, which is ignored unless someone handles it, and the break is read back with
// F_GETLEASE instead. Where SIGURG has a handler no lease is taken.
class WriteLease
{
public:
    enum Result { Held, InUse, Unavailable };
    WriteLease() = default;
    WriteLease(const WriteLease &) = delete;
    WriteLease &operator=(const WriteLease &) = delete;
    ~WriteLease()
    {
        if (m_fd >= 0)
            ::fcntl(m_fd, F_SETLEASE, F_UNLCK);
    }
    // InUse when another open of the file exists (ours included); Unavailable where the file
    // system has no leases or the file is someone else's and we lack the capability.
    Result take(int fd)
    {
        struct sigaction action;
        if (::sigaction(SIGURG, nullptr, &action) != 0 || (action.sa_flags & SA_SIGINFO) ||
            (action.sa_handler != SIG_DFL && action.sa_handler != SIG_IGN))
            return Unavailable;
        // Set for every lease: releasing one forgets the signal.
        if (::fcntl(fd, F_SETSIG, SIGURG) != 0)
            return Unavailable;
        if (::fcntl(fd, F_SETLEASE, F_WRLCK) == 0) {
            m_fd = fd;
            return Held;
        }
        return errno == EAGAIN ? InUse : Unavailable;
    }
    // Someone opened the file since the lease was taken (an open that waits for us, or one
    // that gave up with EWOULDBLOCK).
    bool broken() const { return m_fd >= 0 && ::fcntl(m_fd, F_GETLEASE) != F_WRLCK; }

private:
    int m_fd = -1;
};

// The file that writeFileVerified replaces: through a link, the file it points to.
QFileInfo replaceTarget(const QString &path)
{
    QString target = QFileInfo(path).absoluteFilePath();
    if (QFileInfo(path).isSymLink()) {
        const QString canonical = QFileInfo(path).canonicalFilePath();
        if (!canonical.isEmpty())
            target = canonical;
    }
    return QFileInfo(target);
}

QString appendOnlyReason()
{
    return FileMessages::tr("the folder only allows adding files (it is marked append-only or "
                            "immutable)");
}

QString openErrorMessage(const QString &path, const QString &reason)
{
    return FileMessages::tr("Cannot open %1 for writing: %2. The file was not changed.")
        .arg(nativePath(path), reason);
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

namespace {

// Opens a file to read it whole, with the stamp it had when opened. Only regular files: a pipe
// or a device named by mistake cannot block or exhaust memory.
bool openToRead(const QString &path, QFile &file, FileStamp *stamp, QString *error)
{
    auto fail = [&](const QString &reason) {
        if (error && error->isEmpty())
            *error = FileMessages::tr("Cannot read %1: %2").arg(nativePath(path), reason);
        return false;
    };
    // Checked before opening too: opening a pipe would wait for a writer.
    const FileStamp before = fileStamp(path);
    if (before.exists && !before.regular)
        return fail(FileMessages::tr("Not a regular file"));
    file.setFileName(path);
    if (!file.open(QIODevice::ReadOnly))
        return fail(file.errorString());
    const FileStamp opened = openFileStamp(file.handle());
    if (!opened.exists)
        return fail(systemError(errno));
    if (!opened.regular)
        return fail(FileMessages::tr("Not a regular file"));
    *stamp = opened;
    return true;
}

// Reads to the end, which may lie past the size seen if the file grows meanwhile; `grow` makes
// room for at least the given number of bytes and returns where they go.
template <typename Grow>
bool readToEnd(QFile &file, const QString &path, qint64 expected, qint64 *done, Grow grow,
               QString *error)
{
    qint64 room = expected + 1;
    char *to = grow(room);
    *done = 0;
    for (;;) {
        if (*done == room) {
            room = *done + qMax<qint64>(*done, kReadChunk);
            to = grow(room);
        }
        if (!to) {
            if (error && error->isEmpty())
                *error = FileMessages::tr("Cannot read %1: %2")
                             .arg(nativePath(path), systemError(ENOMEM));
            return false;
        }
        const qint64 n = file.read(to + *done, room - *done);
        if (n < 0) {
            if (error && error->isEmpty())
                *error = FileMessages::tr("Cannot read %1: %2")
                             .arg(nativePath(path), file.errorString());
            return false;
        }
        if (n == 0)
            return true;
        *done += n;
    }
}

} // namespace

bool readFileStamped(const QString &path, QByteArray &bytes, FileStamp *stamp, QString *error)
{
    QFile file;
    FileStamp opened;
    if (!openToRead(path, file, &opened, error))
        return false;
    if (stamp)
        *stamp = opened;
    // Into the memory `bytes` already holds where it is enough and not shared: a caller
    // reading several large files in turn then has it faulted in once, not once a file.
    if (bytes.isDetached())
        bytes.truncate(0);
    else
        bytes = QByteArray();
    qint64 done = 0;
    const bool read = readToEnd(
        file, path, qMax<qint64>(opened.size, 0), &done,
        [&bytes](qint64 room) {
            bytes.resize(room);
            return bytes.data();
        },
        error);
    bytes.truncate(read ? done : 0);
    return read;
}

FileBytes::~FileBytes()
{
    if (m_data)
        ::munmap(m_data, m_mapped);
}

bool FileBytes::read(const QString &path, FileStamp *stamp, QString *error)
{
    QFile file;
    FileStamp opened;
    if (!openToRead(path, file, &opened, error))
        return false;
    if (stamp)
        *stamp = opened;
    m_released = 0;
    m_fill = nullptr;
    m_filled = 0;
    m_whole = false;
    const qint64 page = ::sysconf(_SC_PAGESIZE);
    const auto grow = [this, page](qint64 room) -> char * {
        const size_t wanted = size_t((room + page - 1) / page * page);
        void *at = m_data ? ::mremap(m_data, m_mapped, wanted, MREMAP_MAYMOVE)
                          : ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE,
                                   MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (at == MAP_FAILED)
            return nullptr;
        m_data = static_cast<char *>(at);
        m_mapped = wanted;
        return m_data;
    };
    qint64 done = 0;
    const bool read = readToEnd(file, path, qMax<qint64>(opened.size, 0), &done, grow, error);
    m_size = read ? done : 0;
    m_filled = m_size;
    m_whole = read;
    return read;
}

char *FileBytes::allocate(qsizetype size)
{
    m_fill = nullptr;
    m_filled = 0;
    m_whole = false;
    if (m_data)
        ::munmap(m_data, m_mapped);
    m_data = nullptr;
    m_mapped = 0;
    m_size = 0;
    m_released = 0;
    // One page at least, so that even no bytes have an address.
    const qsizetype page = qsizetype(::sysconf(_SC_PAGESIZE));
    const size_t wanted = size_t((qMax<qsizetype>(size, 1) + page - 1) / page * page);
    void *at = ::mmap(nullptr, wanted, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (at == MAP_FAILED)
        return nullptr;
    m_data = static_cast<char *>(at);
    m_mapped = wanted;
    m_size = size;
    // The caller fills it all.
    m_filled = size;
    m_whole = true;
    return m_data;
}

bool FileBytes::fillFrom(qsizetype size, Fill fill)
{
    if (!allocate(size))
        return false;
    m_fill = std::move(fill);
    m_filled = 0;
    m_whole = false;
    return true;
}

bool FileBytes::openToFill(const QString &path, QString *error)
{
    auto file = std::make_shared<QFile>();
    FileStamp opened;
    if (!openToRead(path, *file, &opened, error))
        return false;
    if (!fillFrom(qsizetype(qMax<qint64>(opened.size, 0)),
                  [file](char *into, qint64 most) { return file->read(into, most); })) {
        if (error && error->isEmpty())
            *error =
                FileMessages::tr("Cannot read %1: %2").arg(nativePath(path), systemError(ENOMEM));
        return false;
    }
    return true;
}

qsizetype FileBytes::fillTo(qsizetype offset)
{
    const qsizetype end = qMin(offset, m_size);
    while (m_fill && m_filled < end) {
        const qint64 n = m_fill(m_data + m_filled, end - m_filled);
        // A fault or an early end leaves the rest as zeros, which is not what was to be had.
        if (n <= 0)
            m_fill = nullptr;
        else
            m_filled += qsizetype(n);
    }
    if (m_fill && m_filled == m_size) {
        char more = 0;
        m_whole = m_fill(&more, 1) == 0;
        m_fill = nullptr;
    }
    return m_filled;
}

void FileBytes::stopFillingAt(qsizetype offset)
{
    if (offset < m_filled)
        std::memset(m_data + offset, 0, size_t(m_filled - offset));
    m_filled = qMin(offset, m_filled);
    m_fill = nullptr;
    m_whole = false;
}

void FileBytes::letGoBefore(qsizetype offset)
{
    const qsizetype page = qsizetype(::sysconf(_SC_PAGESIZE));
    const qsizetype end = qMin(offset, m_size) / page * page;
    if (end <= m_released)
        return;
    ::madvise(m_data + m_released, size_t(end - m_released), MADV_DONTNEED);
    m_released = end;
}

bool readFile(const QString &path, QByteArray &bytes, QString *error)
{
    return readFileStamped(path, bytes, nullptr, error);
}

void setReplaceHook(ReplaceHook hook)
{
    replaceHook() = std::move(hook);
}

void setReplacedHook(ReplaceHook hook)
{
    replacedHook() = std::move(hook);
}

bool fileMissing(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) != 0 &&
           (errno == ENOENT || errno == ENOTDIR);
}

bool folderAllowsReplacing(const QString &path, QString *error)
{
    const Fd dir(::open(QFile::encodeName(replaceTarget(path).absolutePath()).constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0 || !refusesRemoval(dir.fd))
        return true; // a folder that cannot be opened is reported by the write itself
    if (error && error->isEmpty())
        *error = openErrorMessage(path, appendOnlyReason());
    return false;
}

MadeFile::MadeFile(const QString &path)
    : m_dir(::open(QFile::encodeName(QFileInfo(path).absolutePath()).constData(),
                   O_RDONLY | O_DIRECTORY | O_CLOEXEC))
    , m_name(QFile::encodeName(QFileInfo(path).fileName()))
{
    struct stat st;
    if (m_dir >= 0 && ::fstatat(m_dir, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0)
        m_made = stampFrom(st);
}

MadeFile::~MadeFile()
{
    if (m_dir >= 0)
        ::close(m_dir);
}

bool MadeFile::remove()
{
    struct stat st;
    const bool same = m_made.exists &&
                      ::fstatat(m_dir, m_name.constData(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
                      st.st_ino == m_made.inode && st.st_dev == m_made.device;
    m_made = FileStamp();
    return same && ::unlinkat(m_dir, m_name.constData(), 0) == 0;
}

namespace {

// Writes what `made` makes into the open file, hashing it on the way.
bool writeMade(int fd, MadeContent &made)
{
    EVP_MD_CTX *context = ::EVP_MD_CTX_new();
    const auto release = qScopeGuard([context] { ::EVP_MD_CTX_free(context); });
    if (!context || ::EVP_DigestInit_ex(context, ::EVP_sha256(), nullptr) != 1)
        return false;
    errno = 0;
    const bool written = made.write([&](const char *data, qsizetype size) {
        return ::EVP_DigestUpdate(context, data, size_t(size)) == 1 && writeAllFd(fd, data, size);
    });
    const int code = errno ? errno : EIO;
    made.hash.resize(SHA256_DIGEST_LENGTH);
    const bool hashed =
        ::EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char *>(made.hash.data()),
                             nullptr) == 1;
    errno = code;
    return written && hashed;
}

bool writeVerified(const QString &path, const QByteArray *bytes, MadeContent *made, QString *error,
                   const ReplaceGuard &guard, WriteOutcome *outcome)
{
    WriteOutcome ignored;
    WriteOutcome &result = outcome ? *outcome : ignored;
    result = WriteOutcome();
    auto stop = [&](WriteStop why, const QString &message = QString()) {
        result.stop = why;
        if (error && error->isEmpty())
            *error = message;
        return false;
    };
    auto fail = [&](const QString &message) { return stop(WriteStop::Error, message); };
    auto changed = [&] { return stop(WriteStop::Changed, guard.changedMessage); };
    auto inUse = [&] {
        return stop(WriteStop::InUse,
                    guard.inUseMessage.isEmpty() ? guard.changedMessage : guard.inUseMessage);
    };
    auto openError = [&](const QString &reason) { return fail(openErrorMessage(path, reason)); };
    auto writeError = [&](int code) {
        return fail(FileMessages::tr("Error writing %1: %2. The file was not changed.")
                        .arg(nativePath(path), systemError(code)));
    };
    // Through a link, the file it points to is replaced in its own folder and the link stays.
    const QFileInfo info = replaceTarget(path);
    const QString target = info.absoluteFilePath();
    const QByteArray name = QFile::encodeName(info.fileName());
    // Everything below works relative to the folder, so that a folder renamed meanwhile still
    // gets its temporary file removed.
    const Fd dir(::open(QFile::encodeName(info.absolutePath()).constData(),
                        O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.fd < 0)
        return openError(systemError(errno));
    // There the temporary file could be created but never removed again.
    if (refusesRemoval(dir.fd))
        return openError(appendOnlyReason());
    struct stat original;
    const bool hadFile = ::fstatat(dir.fd, name.constData(), &original, 0) == 0;
    if (guard.expected && hadFile != guard.expected->stamp.exists)
        return changed();
    struct stat like;
    const bool haveLike =
        hadFile || (!guard.modeLike.isEmpty() &&
                    ::stat(QFile::encodeName(guard.modeLike).constData(), &like) == 0);
    // Read before anything is made, and the descriptor closed again so that it counts against
    // no lease below.
    Access access;
    if (hadFile) {
        const Fd source(
            ::openat(dir.fd, name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC));
        access.read(source.fd, QFile::encodeName(target));
    } else if (haveLike) {
        access.read(-1, QFile::encodeName(guard.modeLike));
    }
    auto accessError = [&] {
        return fail(FileMessages::tr("Cannot carry %1 of %2 over to the new file: %3. The file "
                                     "was not changed.")
                        .arg(access.what(), nativePath(path), systemError(access.error)));
    };
    if (access.error != 0)
        return accessError();

    // Written unnamed where the system allows, so that a crash while writing leaves nothing;
    // the finished file gets its temporary name only just before the swap.
    QByteArray temp;
    const mode_t mode = haveLike ? 0600 : 0666;
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::openat(dir.fd, ".", O_TMPFILE | O_RDWR | O_CLOEXEC, mode);
#endif
    if (fd < 0)
        fd = createTemporary(dir.fd, name, mode, &temp);
    Fd file(fd);
    if (file.fd < 0)
        return openError(systemError(errno));
    auto abandon = [&]() {
        const int saved = errno;
        if (!temp.isEmpty())
            ::unlinkat(dir.fd, temp.constData(), 0);
        errno = saved;
        return false;
    };
    const struct stat &from = hadFile ? original : like;
    if (haveLike)
        keepOwner(file.fd, from);
    if (bytes ? !writeAllFd(file.fd, bytes->constData(), bytes->size())
              : !writeMade(file.fd, *made))
        return abandon() || writeError(errno);
    if (made && made->check && !made->check(file.fd, error))
        return abandon() || stop(WriteStop::Check);
    // Until its attributes are given, the new file is the owner's alone; its permission bits
    // come last, and leave a read-only file read-only.
    if (haveLike && !access.give(file.fd))
        return abandon() || accessError();
    if (haveLike && ::fchmod(file.fd, from.st_mode & 07777) != 0 && errno != EPERM)
        return abandon() || writeError(errno);
    // On disk before the swap, with a failure reported: a replacement whose data never reached
    // the disk is what a power cut must not find.
    if (::fsync(file.fd) != 0)
        return abandon() || writeError(errno);
    struct stat ours;
    if (::fstat(file.fd, &ours) != 0)
        return abandon() || writeError(errno);
    if (guard.beforeReplace && !guard.beforeReplace(error))
        return abandon() || stop(WriteStop::Check);
    // From here through the swap the file is held open, without blocking on a pipe or
    // following a link put in its place, and under a write lease where one can be had.
    Fd held(-1);
    WriteLease lease;
    if (guard.expected && hadFile) {
        held.fd =
            ::openat(dir.fd, name.constData(), O_RDONLY | O_NONBLOCK | O_NOFOLLOW | O_CLOEXEC);
        struct stat st;
        if (held.fd < 0 && errno == EWOULDBLOCK) // another program's lease
            return abandon() || inUse();
        // Unreadable is left to the check after the swap; anything else is not the file.
        if (held.fd < 0 && errno != EACCES)
            return abandon() || changed();
        // A caller that knows only the content (inode 0) leaves the comparison to the hash.
        const FileStamp &known = guard.expected->stamp;
        if (held.fd >= 0 &&
            (::fstat(held.fd, &st) != 0 || !S_ISREG(st.st_mode) ||
             (known.inode != 0 && (st.st_ino != known.inode || st.st_dev != known.device))))
            return abandon() || changed();
        // Only callers that can say what an open file means to the user take the lease.
        if (held.fd >= 0 && !guard.inUseMessage.isEmpty() &&
            lease.take(held.fd) == WriteLease::InUse)
            return abandon() || inUse();
    }
    if (temp.isEmpty() && !nameTemporary(file.fd, dir.fd, name, &temp))
        return writeError(errno);
    if (replaceHook())
        replaceHook()(target);
    if (lease.broken())
        return abandon() || inUse();

    // Swapping rather than renaming over the file keeps what is displaced, so a write that
    // lands after the last check is found below and put back instead of being lost.
    bool swapped = false;
    int code = 0;
    if (hadFile) {
        swapped =
            ::renameat2(dir.fd, temp.constData(), dir.fd, name.constData(), RENAME_EXCHANGE) == 0;
        code = swapped ? 0 : errno;
        if (code == EINVAL || code == ENOSYS || code == EOPNOTSUPP) // not on this file system
            code = ::renameat(dir.fd, temp.constData(), dir.fd, name.constData()) == 0 ? 0 : errno;
    } else {
        code =
            ::renameat2(dir.fd, temp.constData(), dir.fd, name.constData(), RENAME_NOREPLACE) == 0
                ? 0
                : errno;
        if (code == EINVAL || code == ENOSYS || code == EOPNOTSUPP)
            code = ::renameat(dir.fd, temp.constData(), dir.fd, name.constData()) == 0 ? 0 : errno;
    }
    if (code == EEXIST || (code == ENOENT && hadFile))
        return abandon() || changed();
    if (code != 0)
        return abandon() || writeError(code);
    struct stat seen = {};
    // The lease is asked last, so that an open during the content check is seen too.
    const bool expectedOut = !swapped || !guard.expected ||
                             displacedIsExpected(dir.fd, temp, held.fd, *guard.expected, &seen);
    const bool opened = lease.broken();
    if (swapped && (!expectedOut || opened)) {
        // Put the other program's version back; our copy is removed only when it really is the
        // one that came out, so that nobody's data is deleted by mistake.
        struct stat back;
        if (::renameat2(dir.fd, temp.constData(), dir.fd, name.constData(), RENAME_EXCHANGE) != 0 ||
            ::fstatat(dir.fd, temp.constData(), &back, AT_SYMLINK_NOFOLLOW) != 0 ||
            back.st_ino != ours.st_ino || back.st_dev != ours.st_dev) {
            result.replaced = true;
            return fail(
                FileMessages::tr("%1 was written by another program while it was being "
                                 "replaced. Both versions are kept: %1 and %2.")
                    .arg(nativePath(target), nativePath(info.absolutePath() + QLatin1Char('/') +
                                                        QFile::decodeName(temp))));
        }
        ::unlinkat(dir.fd, temp.constData(), 0);
        return opened ? inUse() : changed();
    }
    // The displaced file (the old content, which the caller backed up) stays until the new one
    // is verified when another program's writes are guarded against: one that opened the file
    // before the swap and writes it only now is then still found, and its version put back.
    const bool keepDisplaced = swapped && guard.expected;
    if (swapped && !keepDisplaced)
        ::unlinkat(dir.fd, temp.constData(), 0);
    auto dropDisplaced = qScopeGuard([&] {
        if (keepDisplaced)
            ::unlinkat(dir.fd, temp.constData(), 0);
    });
    result.replaced = true;
    // A rename is only durable once the folder holding the name is on disk too; some file
    // systems cannot sync a folder at all, which is not a failure of the write.
    if (::fsync(dir.fd) != 0 && errno != EINVAL && errno != EROFS)
        return fail(FileMessages::tr("Error writing %1: %2. The file was replaced, but the "
                                     "change may not be on disk yet.")
                        .arg(nativePath(path), systemError(errno)));

    if (replacedHook())
        replacedHook()(target);
    const Fd check(
        ::openat(dir.fd, name.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC | O_NOFOLLOW));
    QByteArray readBack;
    const int same = check.fd < 0                       ? -errno
                     : bytes                            ? sameContent(check.fd, *bytes)
                     : !hashPieces(check.fd, &readBack) ? -(errno ? errno : EIO)
                                                        : int(readBack == made->hash);
    if (same < 0)
        return fail(FileMessages::tr("Cannot read %1 back after replacing it: %2.")
                        .arg(nativePath(path), systemError(-same)));
    if (same == 0)
        return stop(WriteStop::Overwritten,
                    FileMessages::tr("Read-back verification of %1 failed: the file was replaced "
                                     "but does not hold what was written.")
                        .arg(nativePath(path)));
    struct stat now;
    if (keepDisplaced &&
        (::fstatat(dir.fd, temp.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
         now.st_ino != seen.st_ino || now.st_size != seen.st_size ||
         now.st_mtim.tv_sec != seen.st_mtim.tv_sec || now.st_mtim.tv_nsec != seen.st_mtim.tv_nsec ||
         now.st_ctim.tv_sec != seen.st_ctim.tv_sec ||
         now.st_ctim.tv_nsec != seen.st_ctim.tv_nsec)) {
        // Written since it was checked: that version goes back in place, and ours is removed
        // only when it really is ours that came out.
        struct stat back;
        if (::renameat2(dir.fd, temp.constData(), dir.fd, name.constData(), RENAME_EXCHANGE) != 0 ||
            ::fstatat(dir.fd, temp.constData(), &back, AT_SYMLINK_NOFOLLOW) != 0 ||
            back.st_ino != ours.st_ino || back.st_dev != ours.st_dev) {
            dropDisplaced.dismiss();
            return fail(
                FileMessages::tr("%1 was written by another program while it was being "
                                 "replaced. Both versions are kept: %1 and %2.")
                    .arg(nativePath(target), nativePath(info.absolutePath() + QLatin1Char('/') +
                                                        QFile::decodeName(temp))));
        }
        result.replaced = false;
        return changed();
    }
    return true;
}

} // namespace

bool writeFileVerified(const QString &path, const QByteArray &bytes, QString *error,
                       const ReplaceGuard &guard, WriteOutcome *outcome)
{
    return writeVerified(path, &bytes, nullptr, error, guard, outcome);
}

bool writeFileVerified(const QString &path, MadeContent &content, QString *error,
                       const ReplaceGuard &guard, WriteOutcome *outcome)
{
    return writeVerified(path, nullptr, &content, error, guard, outcome);
}

namespace {

// The work of writeNewFileVerified: 0 on success, else the system's error code (EEXIST when
// the name was taken).
// What a new file is to hold: `bytes`, or (with `source` set) a copy of an open file that must
// hash to `hash`.
struct NewContent
{
    const QByteArray *bytes = nullptr;
    int source = -1;
    QByteArray hash;
};

// The copy's source changed while it was read: not what the caller checked.
constexpr int kSourceChanged = -1;

int createNewFileVerified(const QString &path, const NewContent &content, uint mode,
                          const struct stat *ownerOf, Access *access = nullptr)
{
    const QFileInfo info(path);
    const QByteArray dir = QFile::encodeName(info.absolutePath());
    const QByteArray target = QFile::encodeName(info.absoluteFilePath());
    QByteArray tempName;
    int fd = -1;
#ifdef O_TMPFILE
    fd = ::open(dir.constData(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0600);
    if (fd < 0 && errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL)
        return errno;
#endif
    if (fd < 0) {
        // No unnamed files here: a hidden temporary name that no listing of backups matches.
        tempName = dir + "/." + QFile::encodeName(info.fileName()) + ".tmp-XXXXXX";
        fd = ::mkostemp(tempName.data(), O_CLOEXEC);
        if (fd < 0)
            return errno;
    }
    auto abandon = [&](int code) {
        ::close(fd);
        if (!tempName.isEmpty())
            ::unlink(tempName.constData());
        return code;
    };
    if (ownerOf)
        keepOwner(fd, *ownerOf);
    if (content.bytes && !writeAllFd(fd, content.bytes->constData(), content.bytes->size()))
        return abandon(errno);
    if (!content.bytes) {
        // What was copied is hashed, not the file a second time: a writer racing the copy
        // cannot leave a backup that differs from what the caller checked.
        QByteArray copied;
        if (!hashPieces(content.source, &copied, fd))
            return abandon(errno ? errno : EIO);
        if (copied != content.hash)
            return abandon(kSourceChanged);
    }
    // The owner's alone until it has the attributes, then the permission bits.
    if (access && !access->give(fd))
        return abandon(access->error);
    if ((::fchmod(fd, mode_t(mode & 07777)) != 0 && errno != EPERM) || ::fsync(fd) != 0)
        return abandon(errno);
    if (!linkNew(fd, tempName, target))
        return abandon(errno);
    ::close(fd);
    if (!tempName.isEmpty())
        ::unlink(tempName.constData());
    if (!syncDirectory(info.absolutePath())) {
        const int code = errno;
        ::unlink(target.constData());
        return code;
    }
    const Fd back(::open(target.constData(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW));
    QByteArray readBack;
    const int same = back.fd < 0                       ? -errno
                     : content.bytes                   ? sameContent(back.fd, *content.bytes)
                     : !hashPieces(back.fd, &readBack) ? -(errno ? errno : EIO)
                                                       : int(readBack == content.hash);
    if (same != 1) {
        // Something else wrote there at the same moment; leave no wrong copy behind.
        ::unlink(target.constData());
        return same < 0 ? -same : EIO;
    }
    return 0;
}

} // namespace

bool writeNewFileVerified(const QString &path, const QByteArray &bytes, uint mode, bool *exists,
                          QString *error, const struct stat *ownerOf)
{
    NewContent content;
    content.bytes = &bytes;
    const int code = createNewFileVerified(path, content, mode, ownerOf);
    if (exists)
        *exists = code == EEXIST;
    if (code != 0 && error && error->isEmpty())
        *error = FileMessages::tr("Cannot create %1: %2").arg(nativePath(path), systemError(code));
    return code == 0;
}

namespace {

bool backupOf(const QString &path, const NewContent &content, const QString &suffix,
              QString *backupPath, QString *reason, const QString &stampFormat,
              bool *sourceChanged = nullptr)
{
    // The backup may be read by exactly those who may read the file.
    struct stat st;
    const QByteArray encoded = QFile::encodeName(path);
    const Fd source(::open(encoded.constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    const bool hadFile =
        source.fd >= 0 ? ::fstat(source.fd, &st) == 0 : ::stat(encoded.constData(), &st) == 0;
    Access access;
    if (hadFile)
        access.read(source.fd, encoded);
    const uint mode = hadFile ? uint(st.st_mode & 0777) : 0600u;
    QString candidate = backupPathFor(path, suffix, stampFormat);
    int code = access.error != 0 ? access.error : EEXIST;
    // Another program may take the free name between choosing it and creating the file.
    for (int attempt = 0; attempt < 20 && code == EEXIST; ++attempt) {
        candidate = backupPathFor(path, suffix, stampFormat);
        code = createNewFileVerified(candidate, content, mode, hadFile ? &st : nullptr,
                                     hadFile ? &access : nullptr);
    }
    if (backupPath)
        *backupPath = candidate;
    if (sourceChanged)
        *sourceChanged = code == kSourceChanged;
    if (code != 0 && reason && reason->isEmpty())
        *reason =
            code == kSourceChanged ? FileMessages::tr("the file changed while it was being copied")
            : access.error == 0
                ? systemError(code)
                : FileMessages::tr("%1 of %2 cannot be carried over to it (%3)")
                      .arg(access.what(), QFileInfo(path).fileName(), systemError(access.error));
    return code == 0;
}

} // namespace

bool writeBackup(const QString &path, const QByteArray &bytes, const QString &suffix,
                 QString *backupPath, QString *reason, const QString &stampFormat)
{
    NewContent content;
    content.bytes = &bytes;
    return backupOf(path, content, suffix, backupPath, reason, stampFormat);
}

bool copyBackup(const QString &path, int source, const QByteArray &hash, const QString &suffix,
                QString *backupPath, bool *changed, QString *reason)
{
    NewContent content;
    content.source = source;
    content.hash = hash;
    return backupOf(path, content, suffix, backupPath, reason, QStringLiteral("yyyyMMdd-HHmmss"),
                    changed);
}

bool sha256Of(int fd, QByteArray *digest)
{
    return hashPieces(fd, digest);
}

int openStamped(const QString &path, FileStamp *stamp, QString *error)
{
    auto fail = [&](const QString &reason) {
        if (error && error->isEmpty())
            *error = FileMessages::tr("Cannot read %1: %2").arg(nativePath(path), reason);
        return -1;
    };
    // Checked before opening too: opening a pipe would wait for a writer.
    const FileStamp before = fileStamp(path);
    if (before.exists && !before.regular)
        return fail(FileMessages::tr("Not a regular file"));
    Fd file(::open(QFile::encodeName(path).constData(), O_RDONLY | O_NONBLOCK | O_CLOEXEC));
    if (file.fd < 0)
        return fail(systemError(errno));
    struct stat st;
    if (::fstat(file.fd, &st) != 0)
        return fail(systemError(errno));
    if (!S_ISREG(st.st_mode))
        return fail(FileMessages::tr("Not a regular file"));
    if (stamp)
        *stamp = stampFrom(st);
    const int fd = file.fd;
    file.fd = -1;
    return fd;
}

QByteArray sha256(QByteArrayView bytes, std::atomic<qsizetype> *done)
{
    // OpenSSL uses the processor's SHA instructions where it has them: a 50 MB file takes a
    // tenth of the time Qt's own implementation needs.
    QByteArray digest(SHA256_DIGEST_LENGTH, Qt::Uninitialized);
    EVP_MD_CTX *context = ::EVP_MD_CTX_new();
    const auto release = qScopeGuard([context] { ::EVP_MD_CTX_free(context); });
    bool hashed = context && ::EVP_DigestInit_ex(context, ::EVP_sha256(), nullptr) == 1;
    // In pieces when someone follows along: it may give back what has been hashed.
    const qsizetype piece = done ? qsizetype(4) << 20 : qMax<qsizetype>(bytes.size(), 1);
    for (qsizetype at = 0; hashed && at < bytes.size(); at += piece) {
        const qsizetype n = qMin(piece, bytes.size() - at);
        hashed = ::EVP_DigestUpdate(context, bytes.data() + at, size_t(n)) == 1;
        if (done)
            done->store(at + n, std::memory_order_release);
    }
    if (hashed && ::EVP_DigestFinal_ex(context, reinterpret_cast<unsigned char *>(digest.data()),
                                       nullptr) == 1)
        return digest;
    return QCryptographicHash::hash(bytes, QCryptographicHash::Sha256);
}

} // namespace vrn
