#include "privileged/leftoverdeletion.h"

#include "environment/pixinsight.h"
#include "privileged/descriptorwalk.h"
#include "privileged/elevation.h"
#include "store/nativepath.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <vector>

namespace vrn {

namespace {

class DeletionText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::LeftoverDeletion)
};

std::function<void()> &checkedHook()
{
    static std::function<void()> hook;
    return hook;
}

// A folder items lie in, open from the check to the deletion: every item in it is removed
// through this descriptor. Items share them, so a run holds a handful however many it names.
struct ItemFolder
{
    QString path;
    UniqueFd fd;
    quint64 mountId = 0;
};

// An item that passed every check: the folder holding it, its name there, and what it was
// then. A folder item is not held open: it is opened again for the deletion and must still
// be what was checked.
struct CheckedItem
{
    QString path;
    bool isFolder = false;
    const ItemFolder *parent = nullptr;
    QByteArray name;
    struct stat seen;
};

LeftoverDeletion stopped(int code, const QString &message)
{
    LeftoverDeletion result;
    result.code = code;
    result.message = message;
    return result;
}

bool isFileKind(LeftoverKind kind)
{
    return kind == LeftoverKind::ModuleFile || kind == LeftoverKind::ModuleSignature;
}

QString notRemoved(const QString &path, int error)
{
    if (error == EMFILE || error == ENFILE) {
        struct rlimit limit;
        const bool known = ::getrlimit(RLIMIT_NOFILE, &limit) == 0 && error == EMFILE &&
                           limit.rlim_cur != RLIM_INFINITY;
        return nativePath(path) +
               (known ? DeletionText::tr(": could not be removed (too many files open at once: "
                                         "the limit is %1)")
                            .arg(quint64(limit.rlim_cur))
                      : DeletionText::tr(": could not be removed (too many files open at once)"));
    }
    return nativePath(path) + DeletionText::tr(": could not be removed (in use, or no permission)");
}

// Removes the item only while its name in the folder that was checked still leads to what was
// checked. Everything goes through the descriptor of that folder taken then, so a folder on
// the way swapped for a link since cannot lead anywhere else.
bool removeChecked(const CheckedItem &item, int *error)
{
    const int parent = item.parent->fd.get();
    if (item.isFolder)
        return removeFolderAt(parent, item.name.constData(), item.seen, item.parent->mountId,
                              error);
    struct stat now;
    if (::fstatat(parent, item.name.constData(), &now, AT_SYMLINK_NOFOLLOW) != 0) {
        *error = errno;
        return false;
    }
    if (now.st_dev != item.seen.st_dev || now.st_ino != item.seen.st_ino || !S_ISREG(now.st_mode))
        return false;
    if (::unlinkat(parent, item.name.constData(), 0) == 0)
        return true;
    *error = errno;
    return false;
}

// Opens the folder an item lies in by walking down from its base (the installation or the
// user data folder) one name at a time: only the base may be reached through a link, as an
// installation moved aside and linked back often is; a link below it, say doc/tools pointing
// elsewhere, would lead the deletion out of the installation. Nothing below the base may be
// another mount either. A folder opened for an earlier item is taken again. Returns 0 with the
// folder in `item`, or the refusal's code and message.
int openItemFolder(LeftoverKind kind, const QString &installDir, const QString &userDir,
                   std::vector<std::unique_ptr<ItemFolder>> &folders, CheckedItem &item,
                   QString *message)
{
    const QString folder = QFileInfo(item.path).path();
    for (const auto &open : folders) {
        if (open->path == folder) {
            item.parent = open.get();
            return 0;
        }
    }
    const QString native = QDir::toNativeSeparators(item.path);
    auto refuse = [&](int error) {
        if (error == ENOENT || error == ENOTDIR) {
            *message = DeletionText::tr("%1 does not exist.").arg(native);
            return 3;
        }
        if (error == ELOOP) {
            *message =
                DeletionText::tr("%1 is a link to somewhere else and is not touched.").arg(native);
            return 4;
        }
        if (error == EXDEV) {
            *message = DeletionText::tr("%1 lies on another mounted file system (a mount point on "
                                        "the way) and is not touched.")
                           .arg(native);
            return 4;
        }
        *message = DeletionText::tr("Some items could not be removed: %1")
                       .arg(notRemoved(item.path, error));
        return 5;
    };
    const QString base = QDir::cleanPath(
        QDir::fromNativeSeparators(kind == LeftoverKind::UserFolder ? userDir : installDir));
    auto opened = std::make_unique<ItemFolder>();
    opened->path = folder;
    UniqueFd at(::open(QFile::encodeName(base).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!at.valid())
        return refuse(errno);
    if (!mountIdOf(at.get(), &opened->mountId))
        return refuse(EPERM);
    const QString below = folder.mid(base.size());
    for (QStringView part : QStringView(below).tokenize(u'/', Qt::SkipEmptyParts)) {
        struct stat st;
        UniqueFd next = openFolderIn(at.get(), QFile::encodeName(part.toString()).constData(),
                                     opened->mountId, &st);
        if (!next.valid())
            return refuse(errno);
        at = std::move(next);
    }
    opened->fd = std::move(at);
    item.parent = opened.get();
    folders.push_back(std::move(opened));
    return 0;
}

bool stillThere(const QString &path)
{
    struct stat st;
    return !path.isEmpty() && ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

QString listed(const QString &heading, const QList<LeftoverItem> &items)
{
    QStringList lines{heading};
    for (const LeftoverItem &item : items)
        lines.append(QStringLiteral("   ") + nativePath(item.path));
    return lines.join(QLatin1Char('\n'));
}

} // namespace

void deleteElevated(const QList<LeftoverItem> &items, LeftoverReport *report)
{
    if (!elevationAvailable()) {
        report->problems.append(
            listed(DeletionText::tr("Deleting these needs administrator rights, which this "
                                    "program cannot request on this system yet. Delete them "
                                    "yourself:"),
                   items));
        return;
    }
    QStringList arguments{QStringLiteral("--leftovers-helper"), QStringLiteral("delete")};
    for (const LeftoverItem &item : items)
        arguments.append(requestText(item));
    const ElevatedResult result = runElevated(arguments);

    // Counted by what is actually gone, whatever the helper said.
    QList<LeftoverItem> remaining;
    for (const LeftoverItem &item : items) {
        if (stillThere(item.path))
            remaining.append(item);
    }
    report->deleted += int(items.size() - remaining.size());
    if (remaining.isEmpty())
        return;
    QString heading;
    if (result.status == ElevatedResult::Denied) {
        heading = DeletionText::tr("Administrator permission was not given, so these were not "
                                   "deleted:");
    } else if (result.status != ElevatedResult::Ran) {
        heading =
            DeletionText::tr("The elevated helper could not run (%1). These were not deleted:")
                .arg(result.message);
    } else if (result.exitCode == 2) {
        heading = DeletionText::tr("PixInsight is running. Close it first. These were not "
                                   "deleted:");
    } else {
        heading = DeletionText::tr("Some items could not be deleted (in use, or refused). These "
                                   "may remain:");
    }
    report->problems.append(listed(heading, remaining));
}

void setLeftoverCheckedHook(std::function<void()> hook)
{
    checkedHook() = std::move(hook);
}

LeftoverDeletion deleteLeftovers(const QStringList &requests, const QString &installDir,
                                 const QString &userDir, bool checkRunning)
{
    if (requests.isEmpty())
        return stopped(6, DeletionText::tr("Nothing was named."));
    if (checkRunning) {
        // The check fails closed: when the processes cannot be listed PixInsight may be running,
        // and the refusal says so rather than claiming it is.
        const PixInsightCheck check = checkPixInsight();
        if (!check.known)
            return stopped(2, DeletionText::tr("Could not check whether PixInsight is running "
                                               "(%1). It may be running. Close it first.")
                                  .arg(check.reason));
        if (check.mayBeRunning())
            return stopped(2, DeletionText::tr("PixInsight is running. Close it first."));
    }

    std::vector<std::unique_ptr<ItemFolder>> folders;
    std::vector<CheckedItem> checked;
    QSet<QString> seen;
    for (const QString &request : requests) {
        // The same item named twice is deleted once, not reported as failing the second time.
        if (seen.contains(request))
            continue;
        seen.insert(request);
        LeftoverKind kind = LeftoverKind::ModuleFile;
        QString name;
        if (!parseRequest(request, &kind, &name))
            return stopped(4, DeletionText::tr("%1 is not a recognized request.").arg(request));
        const QString path = leftoverPath(kind, installDir, userDir, name);
        if (path.isEmpty())
            return stopped(4, DeletionText::tr("%1 is not acceptable (an unsafe name, or a "
                                               "location that is not known).")
                                  .arg(request));
        CheckedItem item;
        item.path = path;
        item.isFolder = !isFileKind(kind);
        item.name = QFile::encodeName(QFileInfo(path).fileName());
        QString refusal;
        if (const int code = openItemFolder(kind, installDir, userDir, folders, item, &refusal))
            return stopped(code, refusal);
        struct stat &st = item.seen;
        if (::fstatat(item.parent->fd.get(), item.name.constData(), &st, AT_SYMLINK_NOFOLLOW) !=
            0) {
            if (errno == ENOENT || errno == ENOTDIR)
                return stopped(3, DeletionText::tr("%1 does not exist.").arg(nativePath(path)));
            // Cannot even be looked at with these rights: not missing, just out of reach.
            return stopped(5, DeletionText::tr("Some items could not be removed: %1")
                                  .arg(notRemoved(path, errno)));
        }
        // A link is refused before its type is asked about: it is never either.
        if (S_ISLNK(st.st_mode))
            return stopped(4, DeletionText::tr("%1 is a link to somewhere else and is not touched.")
                                  .arg(nativePath(path)));
        if (isFileKind(kind) ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))
            return stopped(4, DeletionText::tr("%1 is not the kind of item that was asked for.")
                                  .arg(nativePath(path)));
        if (item.isFolder) {
            // Opened once here so that a mount point is refused before anything goes, then let
            // go: a run may name more folders than may be open at once.
            struct stat opened;
            const UniqueFd folder = openSeenFolder(item.parent->fd.get(), item.name.constData(), st,
                                                   item.parent->mountId, &opened);
            if (!folder.valid() && errno == EXDEV)
                return stopped(4, DeletionText::tr("%1 is a mount point and is not touched.")
                                      .arg(nativePath(path)));
            if (!folder.valid() && (errno == EMFILE || errno == ENFILE))
                return stopped(5, DeletionText::tr("Some items could not be removed: %1")
                                      .arg(notRemoved(path, errno)));
            if (!folder.valid())
                return stopped(4, DeletionText::tr("%1 changed while it was being checked and "
                                                   "is not touched.")
                                      .arg(nativePath(path)));
        }
        checked.push_back(std::move(item));
    }

    if (checkedHook())
        checkedHook()();

    LeftoverDeletion result;
    QStringList failures;
    for (const CheckedItem &item : std::as_const(checked)) {
        int error = 0;
        if (removeChecked(item, &error))
            ++result.removed;
        else
            failures.append(notRemoved(item.path, error));
    }
    if (!failures.isEmpty()) {
        result.code = 5;
        result.message = DeletionText::tr("Some items could not be removed: %1")
                             .arg(failures.join(QStringLiteral("; ")));
    }
    return result;
}

int leftoversHelper(const QStringList &arguments)
{
    // Only the exit code goes back to the window; whoever runs the helper by hand sees why.
    auto refuse = [](int code, const QString &why) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return code;
    };
    if (arguments.size() < 3 || arguments.at(0) != QLatin1String("--leftovers-helper") ||
        arguments.at(1) != QLatin1String("delete"))
        return refuse(6, DeletionText::tr("The command line was not understood; nothing was "
                                          "deleted. Use: --leftovers-helper delete "
                                          "KEYWORD:NAME..."));
    const QStringList requests = arguments.mid(2);
    for (const QString &request : requests) {
        LeftoverKind kind = LeftoverKind::ModuleFile;
        // Quoted, so that a stray space around the request shows.
        if (!parseRequest(request, &kind, nullptr))
            return refuse(4, DeletionText::tr("\"%1\" is not a recognized request; nothing was "
                                              "deleted.")
                                 .arg(request));
        // The user's own folder never needs raised rights, so a request for it is suspect.
        if (kind == LeftoverKind::UserFolder)
            return refuse(4, DeletionText::tr("\"%1\" names a folder in the user's own data "
                                              "folder, which never needs administrator rights; "
                                              "nothing was deleted.")
                                 .arg(request));
    }
    // Found again here: the helper takes no folder, and no path, from whoever started it.
    const QString installDir = findInstallDir();
    if (installDir.isEmpty()) {
        QStringList tried;
        for (const QString &folder : HealthEnv::system().installCandidates)
            tried.append(nativePath(folder));
        return refuse(3, DeletionText::tr("No PixInsight installation was found (looked for a bin "
                                          "folder in %1); nothing was deleted.")
                             .arg(tried.join(QStringLiteral(", "))));
    }
    const LeftoverDeletion result = deleteLeftovers(requests, installDir, QString(), true);
    if (!result.message.isEmpty())
        refuse(result.code, result.message);
    return result.code;
}

LeftoverReport deleteQueuedLeftovers(const QList<LeftoverItem> &items, const QString &installDir,
                                     const QString &userDir)
{
    LeftoverReport report;
    if (items.isEmpty())
        return report;
    if (const PixInsightCheck check = checkPixInsight(); check.mayBeRunning()) {
        report.problems.append(listed(
            check.known ? DeletionText::tr("PixInsight is running. Close it first. These were not "
                                           "deleted:")
                        : DeletionText::tr("Could not check whether PixInsight is running (%1). "
                                           "It may be running: close it first. These were not "
                                           "deleted:")
                              .arg(check.reason),
            items));
        return report;
    }
    QList<LeftoverItem> ordered;
    for (const LeftoverItem &item : items) {
        if (!item.inInstallation)
            ordered.append(item);
    }
    for (const LeftoverItem &item : items) {
        if (item.inInstallation)
            ordered.append(item);
    }
    QList<LeftoverItem> refused;
    QList<LeftoverItem> elevate;
    for (const LeftoverItem &item : std::as_const(ordered)) {
        const LeftoverDeletion one =
            deleteLeftovers({requestText(item)}, installDir, userDir, false);
        if (one.code == 0)
            report.deleted += one.removed;
        else if (one.code == 5 && item.inInstallation)
            elevate.append(item);
        else if (one.code != 3) // gone already is what was wanted
            refused.append(item);
    }
    if (!refused.isEmpty())
        report.problems.append(listed(DeletionText::tr("Some items could not be deleted (in use, "
                                                       "or refused). These may remain:"),
                                      refused));
    if (!elevate.isEmpty())
        deleteElevated(elevate, &report);
    return report;
}

} // namespace vrn
