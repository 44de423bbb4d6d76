#pragma once

#include <QByteArray>
#include <QtGlobal>

#include <sys/stat.h>

#include <vector>

namespace vrn {

// Owns one file descriptor and closes it; moves, never copies.
class UniqueFd
{
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd)
        : m_fd(fd)
    {}
    UniqueFd(UniqueFd &&other) noexcept;
    UniqueFd &operator=(UniqueFd &&other) noexcept;
    UniqueFd(const UniqueFd &) = delete;
    UniqueFd &operator=(const UniqueFd &) = delete;
    ~UniqueFd();

    int get() const { return m_fd; }
    bool valid() const { return m_fd >= 0; }

private:
    int m_fd = -1;
};

// The id of the mount an open file lies on, which tells a bind mount of the same file system
// apart where the device number cannot. False when the system does not say.
bool mountIdOf(int fd, quint64 *mountId);

// Opens the folder `name` right inside the open folder `dirFd` without following a link, and
// only when it lies on the mount `mountId`. On failure the result is invalid and errno tells
// why: ELOOP for a link, ENOTDIR for something else than a folder, EXDEV for a mount point.
// `st` receives what the opened folder is.
UniqueFd openFolderIn(int dirFd, const char *name, quint64 mountId, struct stat *st);

// The names in an open folder (without "." and ".."), read completely before anything in it
// is removed: removing entries while readdir() walks them is left unspecified by POSIX.
bool listNames(int dirFd, std::vector<QByteArray> *names);

} // namespace vrn
