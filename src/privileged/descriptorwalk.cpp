#include "privileged/descriptorwalk.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace vrn {

namespace {

// Deeper than any real module folder; beyond it the walk gives up rather than run out of
// descriptors.
constexpr int kMaxDepth = 256;

// Older kernels have no mount id in statx; every kernel since 3.15 lists it per descriptor.
bool mountIdFromFdinfo(int fd, quint64 *mountId)
{
    const QByteArray path = QByteArray("/proc/self/fdinfo/").append(QByteArray::number(fd));
    FILE *file = std::fopen(path.constData(), "re");
    if (!file)
        return false;
    char line[256];
    bool found = false;
    while (!found && std::fgets(line, sizeof line, file)) {
        unsigned long long id = 0;
        if (std::sscanf(line, "mnt_id: %llu", &id) == 1) {
            *mountId = id;
            found = true;
        }
    }
    std::fclose(file);
    return found;
}

bool removeContents(int fd, quint64 mountId, int depth)
{
    std::vector<QByteArray> names;
    bool ok = listNames(fd, &names);
    for (const QByteArray &name : names) {
        struct stat st;
        if (::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            ok = ok && errno == ENOENT;
            continue;
        }
        // Links, files, pipes and sockets go as they are, never followed. File permissions play
        // no part (removing needs the folder's), and changing a file that has another hard link
        // outside would reach outside the folder.
        if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(fd, name.constData(), 0) != 0 && errno != ENOENT)
                ok = false;
            continue;
        }
        if (depth >= kMaxDepth) {
            ok = false;
            continue;
        }
        struct stat opened;
        const UniqueFd sub = openFolderIn(fd, name.constData(), mountId, &opened);
        // A folder swapped in since the look above is not the one that was looked at.
        if (!sub.valid() || opened.st_dev != st.st_dev || opened.st_ino != st.st_ino) {
            ok = false;
            continue;
        }
        makeFolderWritable(sub.get(), opened);
        if (!removeContents(sub.get(), mountId, depth + 1))
            ok = false;
        // Only ever an empty folder, and only in the folder we hold: whatever took the name
        // meanwhile, nothing outside can be reached from here.
        if (::unlinkat(fd, name.constData(), AT_REMOVEDIR) != 0 && errno != ENOENT)
            ok = false;
    }
    return ok;
}

} // namespace

UniqueFd::UniqueFd(UniqueFd &&other) noexcept
    : m_fd(other.m_fd)
{
    other.m_fd = -1;
}

UniqueFd &UniqueFd::operator=(UniqueFd &&other) noexcept
{
    if (this != &other) {
        if (m_fd >= 0)
            ::close(m_fd);
        m_fd = other.m_fd;
        other.m_fd = -1;
    }
    return *this;
}

UniqueFd::~UniqueFd()
{
    if (m_fd >= 0)
        ::close(m_fd);
}

bool mountIdOf(int fd, quint64 *mountId)
{
#ifdef STATX_MNT_ID
    struct statx sx;
    if (::statx(fd, "", AT_EMPTY_PATH | AT_SYMLINK_NOFOLLOW, STATX_MNT_ID, &sx) == 0 &&
        (sx.stx_mask & STATX_MNT_ID)) {
        *mountId = sx.stx_mnt_id;
        return true;
    }
#endif
    return mountIdFromFdinfo(fd, mountId);
}

UniqueFd openFolderIn(int dirFd, const char *name, quint64 mountId, struct stat *st)
{
    // Taken hold of first without following or opening it, so that the type seen and the folder
    // opened are one entry even while someone keeps swapping it for a link.
    const UniqueFd entry(::openat(dirFd, name, O_PATH | O_NOFOLLOW | O_CLOEXEC));
    struct stat what;
    if (!entry.valid() || ::fstat(entry.get(), &what) != 0)
        return UniqueFd();
    if (!S_ISDIR(what.st_mode)) {
        errno = S_ISLNK(what.st_mode) ? ELOOP : ENOTDIR;
        return UniqueFd();
    }
    UniqueFd fd(::openat(entry.get(), ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!fd.valid())
        return fd;
    quint64 id = 0;
    if (::fstat(fd.get(), st) != 0)
        return UniqueFd();
    // The same file system can be mounted again inside itself (a bind mount): the device is
    // the same, only the mount tells. Unknown counts as different.
    if (!mountIdOf(fd.get(), &id) || id != mountId) {
        errno = EXDEV;
        return UniqueFd();
    }
    return fd;
}

bool removeFolderContents(int fd, quint64 mountId)
{
    return removeContents(fd, mountId, 0);
}

void makeFolderWritable(int fd, const struct stat &st)
{
    // A folder of our own that we may not write into cannot be emptied; it can be made
    // writable through the descriptor we hold, which cannot be redirected. Root needs no
    // permission bits.
    const mode_t needed = S_IWUSR | S_IXUSR;
    if (::geteuid() == 0 || st.st_uid != ::geteuid() || (st.st_mode & needed) == needed)
        return;
    ::fchmod(fd, (st.st_mode & 07777) | needed);
}

bool listNames(int dirFd, std::vector<QByteArray> *names)
{
    const int copy = ::fcntl(dirFd, F_DUPFD_CLOEXEC, 0);
    if (copy < 0)
        return false;
    DIR *dir = ::fdopendir(copy);
    if (!dir) {
        ::close(copy);
        return false;
    }
    ::rewinddir(dir);
    bool ok = true;
    for (;;) {
        errno = 0;
        const dirent *entry = ::readdir(dir);
        if (!entry) {
            ok = errno == 0;
            break;
        }
        const char *name = entry->d_name;
        if (name[0] == '.' && (name[1] == 0 || (name[1] == '.' && name[2] == 0)))
            continue;
        names->emplace_back(name);
    }
    ::closedir(dir);
    return ok;
}

bool removeTree(const QString &folder)
{
    if (folder.isEmpty() || folder.contains(QChar(0)))
        return false;
    // "." and ".." would be resolved here by text, not by the file system; a caller that forms
    // its paths properly never passes them, so they are refused rather than interpreted.
    for (QStringView part : QStringView(folder).tokenize(u'/', Qt::SkipEmptyParts)) {
        if (part == u"." || part == u"..")
            return false;
    }
    const QString clean = QDir::cleanPath(folder);
    if (!QDir::isAbsolutePath(clean))
        return false;
    const qsizetype slash = clean.lastIndexOf(QLatin1Char('/'));
    const QString parent = slash == 0 ? QStringLiteral("/") : clean.left(slash);
    const QByteArray name = QFile::encodeName(clean.mid(slash + 1));
    if (name.isEmpty())
        return false;
    const UniqueFd parentFd(
        ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    quint64 mountId = 0;
    if (!parentFd.valid() || !mountIdOf(parentFd.get(), &mountId))
        return false;
    struct stat st;
    const UniqueFd fd = openFolderIn(parentFd.get(), name.constData(), mountId, &st);
    if (!fd.valid())
        return false;
    makeFolderWritable(fd.get(), st);
    bool ok = removeFolderContents(fd.get(), mountId);
    // Remove the name only while it still is the folder that was emptied.
    struct stat now;
    if (::fstatat(parentFd.get(), name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0 ||
        now.st_dev != st.st_dev || now.st_ino != st.st_ino ||
        ::unlinkat(parentFd.get(), name.constData(), AT_REMOVEDIR) != 0)
        ok = false;
    return ok;
}

} // namespace vrn
