#pragma once

#include <QByteArray>
#include <QString>
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

// Removes everything inside the open folder `fd` (on the mount `mountId`) through descriptors
// alone: no path is looked up again, no link followed and no mount point entered. True only
// when the folder is empty afterwards.
bool removeFolderContents(int fd, quint64 mountId);

// Gives the owner write access to an open folder of their own, so that it can be emptied.
void makeFolderWritable(int fd, const struct stat &st);

// The names in an open folder (without "." and ".."), read completely before anything in it
// is removed: removing entries while readdir() walks them is left unspecified by POSIX.
bool listNames(int dirFd, std::vector<QByteArray> *names);

// Deletes a folder and everything in it through the walk above; true only when nothing
// remains. A folder that is itself a link or a mount point is refused and left alone, and so is
// a path that names it through "." or "..".
bool removeTree(const QString &folder);

} // namespace vrn
