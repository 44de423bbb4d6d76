#include "privileged/leftoverdeletion.h"

#include "environment/pixinsight.h"
#include "privileged/elevation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

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

// An item that passed every check, with the identity it had then.
struct CheckedItem
{
    QString path;
    bool isFolder = false;
    dev_t device = 0;
    ino_t inode = 0;
};

LeftoverDeletion stopped(int code, const QString &message)
{
    LeftoverDeletion result;
    result.code = code;
    result.message = message;
    return result;
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

bool isFileKind(LeftoverKind kind)
{
    return kind == LeftoverKind::ModuleFile || kind == LeftoverKind::ModuleSignature;
}

// Removes the item only while the name still leads to what was checked; a link swapped in
// since then is neither followed nor removed.
bool removeChecked(const CheckedItem &item)
{
    const qsizetype slash = item.path.lastIndexOf(QLatin1Char('/'));
    if (slash < 0)
        return false;
    const QString parent = slash == 0 ? QStringLiteral("/") : item.path.left(slash);
    const QByteArray name = QFile::encodeName(item.path.mid(slash + 1));
    const int parentFd =
        ::open(QFile::encodeName(parent).constData(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (parentFd < 0)
        return false;
    struct stat now;
    const bool same = ::fstatat(parentFd, name.constData(), &now, AT_SYMLINK_NOFOLLOW) == 0 &&
                      now.st_dev == item.device && now.st_ino == item.inode &&
                      (item.isFolder ? S_ISDIR(now.st_mode) : S_ISREG(now.st_mode));
    bool ok = false;
    if (same && !item.isFolder)
        ok = ::unlinkat(parentFd, name.constData(), 0) == 0;
    ::close(parentFd);
    // removeTree looks at the name again itself and refuses a link in the folder's place.
    if (same && item.isFolder)
        ok = removeTree(item.path);
    return ok;
}

// Whether the item resolves to its formed path below the real base folder. Only the base
// (the installation or the user data folder) may be reached through a link, as an installation
// moved aside and linked back often is; a link below it, say doc/tools pointing elsewhere,
// would lead the deletion out of the installation.
bool resolvesInPlace(const QString &path, const QString &baseDir)
{
    const QString base = QDir::cleanPath(QDir::fromNativeSeparators(baseDir));
    QString realBase = QFileInfo(base).canonicalFilePath();
    const QString canonical = QFileInfo(path).canonicalFilePath();
    if (realBase.isEmpty() || canonical.isEmpty())
        return false;
    if (realBase.endsWith(QLatin1Char('/')))
        realBase.chop(1);
    return canonical == realBase + QLatin1Char('/') + QDir(base).relativeFilePath(path);
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
        lines.append(QStringLiteral("   ") + native(item.path));
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

    QList<CheckedItem> checked;
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
        struct stat st;
        if (::lstat(QFile::encodeName(path).constData(), &st) != 0) {
            if (errno == ENOENT || errno == ENOTDIR)
                return stopped(3, DeletionText::tr("%1 does not exist.").arg(native(path)));
            // Cannot even be looked at with these rights: not missing, just out of reach.
            return stopped(
                5, DeletionText::tr("Some items could not be removed: %1")
                       .arg(native(path) + DeletionText::tr(": could not be removed (in use, or no "
                                                            "permission)")));
        }
        // A link is refused before its type is asked about: it is never either.
        const QString linkRefusal =
            DeletionText::tr("%1 is a link to somewhere else and is not touched.")
                .arg(native(path));
        if (S_ISLNK(st.st_mode))
            return stopped(4, linkRefusal);
        if (isFileKind(kind) ? !S_ISREG(st.st_mode) : !S_ISDIR(st.st_mode))
            return stopped(4, DeletionText::tr("%1 is not the kind of item that was asked for.")
                                  .arg(native(path)));
        if (!resolvesInPlace(path, kind == LeftoverKind::UserFolder ? userDir : installDir))
            return stopped(4, linkRefusal);
        checked.append({path, !isFileKind(kind), st.st_dev, st.st_ino});
    }

    if (checkedHook())
        checkedHook()();

    LeftoverDeletion result;
    QStringList failures;
    for (const CheckedItem &item : std::as_const(checked)) {
        if (removeChecked(item))
            ++result.removed;
        else
            failures.append(native(item.path) +
                            DeletionText::tr(": could not be removed (in use, or no permission)"));
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
    if (arguments.size() < 3 || arguments.at(0) != QLatin1String("--leftovers-helper") ||
        arguments.at(1) != QLatin1String("delete"))
        return 6;
    const QStringList requests = arguments.mid(2);
    for (const QString &request : requests) {
        LeftoverKind kind = LeftoverKind::ModuleFile;
        // The user's own folder never needs raised rights, so a request for it is suspect.
        if (!parseRequest(request, &kind, nullptr) || kind == LeftoverKind::UserFolder)
            return 4;
    }
    // Found again here: the helper takes no folder, and no path, from whoever started it.
    const QString installDir = findInstallDir();
    if (installDir.isEmpty())
        return 3;
    const LeftoverDeletion result = deleteLeftovers(requests, installDir, QString(), true);
    // Only the exit code goes back to the window; whoever runs the helper by hand sees why.
    if (!result.message.isEmpty())
        std::fprintf(stderr, "%s\n", qPrintable(result.message));
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
