#include "store/descriptors.h"

#include <cerrno>
#include <cstdio>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace vrn {

namespace {

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

} // namespace vrn
