#include "privileged/descriptorwalk.h"

#include <QByteArray>
#include <QDir>
#include <QFile>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

#include <vector>

namespace vrn {

namespace {

// Deeper than any real module folder; beyond it the walk gives up rather than run out of
// descriptors.
constexpr int kMaxDepth = 256;

std::function<void(WalkStep, int, const char *)> &stepHook()
{
    static std::function<void(WalkStep, int, const char *)> hook;
    return hook;
}

void step(WalkStep at, int dirFd, const char *name)
{
    if (stepHook())
        stepHook()(at, dirFd, name);
}

// Keeps the first reason a removal failed; later ones are mostly its consequences.
bool failed(int *error, int why)
{
    if (error && *error == 0)
        *error = why;
    return false;
}

bool sameEntry(const struct stat &a, const struct stat &b)
{
    return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

// Gives the owner write access to an open folder of their own, so that it can be emptied.
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

bool removeFolder(int dirFd, const char *name, const struct stat &seen, quint64 mountId, int depth,
                  int *error);

bool removeContents(int fd, quint64 mountId, int depth, int *error)
{
    std::vector<QByteArray> names;
    bool ok = listNames(fd, &names) || failed(error, errno);
    for (const QByteArray &name : names) {
        struct stat st;
        if (::fstatat(fd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
            if (errno != ENOENT)
                ok = failed(error, errno);
            continue;
        }
        // Links, files, pipes and sockets go as they are, never followed. File permissions play
        // no part (removing needs the folder's), and changing a file that has another hard link
        // outside would reach outside the folder.
        if (!S_ISDIR(st.st_mode)) {
            if (::unlinkat(fd, name.constData(), 0) != 0 && errno != ENOENT)
                ok = failed(error, errno);
            continue;
        }
        if (!removeFolder(fd, name.constData(), st, mountId, depth + 1, error))
            ok = false;
    }
    return ok;
}

// Only the folder being emptied and those above it are open at any time, however many
// entries there are beside them.
bool removeFolder(int dirFd, const char *name, const struct stat &seen, quint64 mountId, int depth,
                  int *error)
{
    if (depth > kMaxDepth)
        return false;
    struct stat opened;
    const UniqueFd fd = openSeenFolder(dirFd, name, seen, mountId, &opened);
    if (!fd.valid())
        return failed(error, errno);
    makeFolderWritable(fd.get(), opened);
    const bool emptied = removeContents(fd.get(), mountId, depth, error);
    step(WalkStep::Remove, dirFd, name);
    // Only while the name still is the folder that was emptied: an empty folder swapped in
    // meanwhile is not ours to remove. Gone already is what was wanted.
    struct stat now;
    if (::fstatat(dirFd, name, &now, AT_SYMLINK_NOFOLLOW) != 0)
        return errno == ENOENT ? emptied : failed(error, errno);
    if (!sameEntry(now, seen))
        return failed(error, ESTALE);
    if (::unlinkat(dirFd, name, AT_REMOVEDIR) != 0)
        return failed(error, errno);
    return emptied;
}

} // namespace

void setWalkStepHook(std::function<void(WalkStep, int, const char *)> hook)
{
    stepHook() = std::move(hook);
}

UniqueFd openSeenFolder(int dirFd, const char *name, const struct stat &seen, quint64 mountId,
                        struct stat *opened)
{
    step(WalkStep::Open, dirFd, name);
    UniqueFd fd = openFolderIn(dirFd, name, mountId, opened);
    if (fd.valid() && !sameEntry(*opened, seen)) {
        errno = ESTALE;
        return UniqueFd();
    }
    return fd;
}

bool removeFolderAt(int dirFd, const char *name, const struct stat &seen, quint64 mountId,
                    int *error)
{
    return removeFolder(dirFd, name, seen, mountId, 0, error);
}

bool removeTree(const QString &folder, int *error)
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
    if (!parentFd.valid())
        return failed(error, errno);
    quint64 mountId = 0;
    struct stat seen;
    if (!mountIdOf(parentFd.get(), &mountId) ||
        ::fstatat(parentFd.get(), name.constData(), &seen, AT_SYMLINK_NOFOLLOW) != 0)
        return failed(error, errno);
    return removeFolder(parentFd.get(), name.constData(), seen, mountId, 0, error);
}

} // namespace vrn
