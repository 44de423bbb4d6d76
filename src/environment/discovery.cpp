#include "environment/discovery.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>
#include <QStorageInfo>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace vrn {

namespace {

struct DiscoveryText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Discovery)
};

TrashFunction &trashFunction()
{
    static TrashFunction trash;
    return trash;
}

// The desktop's trash. When Qt finds no usable trash folder it still reports success, having
// moved the file into "files" below the working folder (the path it hands back is then
// relative); such a file is put back and the trash counts as missing.
bool systemTrash(const QString &path, QString *trashedAs)
{
    QString inTrash;
    if (!QFile::moveToTrash(path, &inTrash))
        return false;
    if (!QDir::isRelativePath(inTrash)) {
        *trashedAs = inTrash;
        return true;
    }
    const QString moved = QDir::current().absoluteFilePath(inTrash);
    const QString info = QDir::current().absoluteFilePath(
        QStringLiteral("info/") + QFileInfo(moved).fileName() + QStringLiteral(".trashinfo"));
    if (::renameat2(AT_FDCWD, QFile::encodeName(moved).constData(), AT_FDCWD,
                    QFile::encodeName(path).constData(), RENAME_NOREPLACE) != 0)
        return false;
    QFile::remove(info);
    QDir().rmdir(QFileInfo(moved).absolutePath());
    QDir().rmdir(QFileInfo(info).absolutePath());
    return false;
}

bool moveToTrash(const QString &path, QString *trashedAs)
{
    if (trashFunction())
        return trashFunction()(path, trashedAs);
    return systemTrash(path, trashedAs);
}

bool statPath(const QString &path, struct stat *st)
{
    return ::stat(QFile::encodeName(path).constData(), st) == 0;
}

bool pathExists(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool writableFolder(const QString &path)
{
    struct stat st;
    return statPath(path, &st) && S_ISDIR(st.st_mode) &&
           ::access(QFile::encodeName(path).constData(), W_OK | X_OK) == 0;
}

// A folder the trash would use: there already, or one that can be made in `parent`.
bool trashFolderReady(const QString &folder, const QString &parent)
{
    return writableFolder(folder) || (!pathExists(folder) && writableFolder(parent));
}

// Deletes the regular file `name` in `folder` through the folder's descriptor, so that what is
// checked is what is unlinked, and never across a mount point.
bool unlinkRegularFile(const QString &folder, const QString &name)
{
    const int dir = ::open(QFile::encodeName(folder).constData(),
                           O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (dir < 0)
        return false;
    struct stat folderStat;
    struct stat fileStat;
    const QByteArray encoded = QFile::encodeName(name);
    const bool ok = ::fstat(dir, &folderStat) == 0 &&
                    ::fstatat(dir, encoded.constData(), &fileStat, AT_SYMLINK_NOFOLLOW) == 0 &&
                    S_ISREG(fileStat.st_mode) && fileStat.st_dev == folderStat.st_dev &&
                    ::unlinkat(dir, encoded.constData(), 0) == 0;
    ::close(dir);
    return ok;
}

// Whether `name` is one the store gives a backup of the settings file: its name, ".bak-" and
// the time stamp, then perhaps "-before-restore", then perhaps "-2", "-3", ... Anything else
// beside the file (notes, copies the user made) is no backup, whatever its name begins with.
bool isBackupName(const QString &settingsPath, const QString &name)
{
    static const QRegularExpression form(QStringLiteral(
        "^\\.bak-[0-9]{8}-[0-9]{6}(?:-before-restore)?(?:-(?:[2-9]|[1-9][0-9]+))?$"));
    const QString settings = QFileInfo(settingsPath).fileName();
    return !settings.isEmpty() && name.startsWith(settings) &&
           form.match(QStringView(name).mid(settings.size())).hasMatch();
}

// The path of the backup named by `requested`, formed from the settings file's own folder and
// the checked file name; empty unless it is a regular file (not a link, not a folder) in that
// folder whose name marks it as a backup of that settings file. `size` receives its size.
QString checkedBackup(const QString &settingsPath, const QString &requested, qint64 *size)
{
    const QFileInfo settings(settingsPath);
    const QString folder = QFileInfo(settings.absolutePath()).canonicalFilePath();
    const QFileInfo info(requested);
    const QString name = info.fileName();
    if (folder.isEmpty() || requested.isEmpty() || !isBackupName(settingsPath, name))
        return QString();
    // The folder as the request names it, with links and ".." resolved, must be the same.
    if (QFileInfo(info.absolutePath()).canonicalFilePath() != folder)
        return QString();
    const QString target = folder + QLatin1Char('/') + name;
    struct stat st;
    if (::lstat(QFile::encodeName(target).constData(), &st) != 0 || !S_ISREG(st.st_mode))
        return QString();
    *size = st.st_size;
    return target;
}

} // namespace

QStringList configDirectories()
{
    QStringList candidates;
    const QString home = QDir::homePath();
    auto fromHome = [&](const char *rest) {
        if (!home.isEmpty())
            candidates.append(home + QLatin1String(rest));
    };
#if defined(Q_OS_WIN)
    const QString appData = qEnvironmentVariable("APPDATA");
    if (!appData.isEmpty())
        candidates.append(appData + QStringLiteral("/Pleiades"));
#elif defined(Q_OS_MACOS)
    fromHome("/Library/PixInsight");
    fromHome("/Library/PixInsight-x64");
    fromHome("/Library/Application Support/Pleiades");
    candidates.append(QStringLiteral("/Library/Application Support/Pleiades"));
    fromHome("/.config/Pleiades");
#else
    fromHome("/.PixInsight");
    const QString config = QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation);
    if (!config.isEmpty())
        candidates.append(config + QStringLiteral("/Pleiades"));
    fromHome("/.config/Pleiades");
#endif
    QStringList result;
    for (const QString &candidate : std::as_const(candidates)) {
        const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(candidate));
        if (!result.contains(clean))
            result.append(clean);
    }
    return result;
}

QStringList findSettingsFiles()
{
    QStringList result;
    for (const QString &folder : configDirectories()) {
        const QDir dir(folder);
        QStringList names =
            dir.entryList({QStringLiteral("core-*-pxi.settings")},
                          QDir::Files | QDir::Hidden | QDir::CaseSensitive, QDir::NoSort);
        std::sort(names.begin(), names.end());
        for (const QString &name : std::as_const(names)) {
            const QString path = dir.absoluteFilePath(name);
            if (!result.contains(path))
                result.append(path);
        }
    }
    return result;
}

int instanceNumber(const QString &path)
{
    static const QRegularExpression pattern(QStringLiteral(R"(^core-(\d+)-pxi\.settings$)"));
    const QRegularExpressionMatch match = pattern.match(QFileInfo(path).fileName());
    if (!match.hasMatch())
        return 0;
    bool ok = false;
    const int number = match.captured(1).toInt(&ok, 10);
    return ok ? number : 0;
}

QString fileLabel(const QString &path)
{
    const QFileInfo info(path);
    const QString name = info.fileName();
    QStringList parts;
    if (const int instance = instanceNumber(path))
        parts.append(DiscoveryText::tr("instance %1").arg(instance));
    else if (name.contains(QLatin1String(".bak-")))
        parts.append(DiscoveryText::tr("backup"));
    parts.append(DiscoveryText::tr("%1 KiB").arg(info.size() / 1024));
    const QString modified = info.lastModified().toString(QStringLiteral("yyyy-MM-dd HH:mm"));
    if (!modified.isEmpty())
        parts.append(modified);

    const QString folder = info.absolutePath();
    const QString folderName = folder.mid(folder.lastIndexOf(QLatin1Char('/')) + 1);
    const QString shown = folderName.isEmpty() || folderName == QLatin1String("Pleiades")
                              ? name
                              : DiscoveryText::tr("%1 [%2]").arg(name, folderName);
    return DiscoveryText::tr("%1 - %2").arg(shown, parts.join(QStringLiteral(", ")));
}

bool sameFile(const QString &a, const QString &b)
{
    if (a.isEmpty() || b.isEmpty())
        return false;
    const QFileInfo x(a);
    const QFileInfo y(b);
    if (x.exists() && y.exists())
        return x.canonicalFilePath() == y.canonicalFilePath();
    return x.absoluteFilePath() == y.absoluteFilePath();
}

QStringList listBackups(const QString &settingsPath)
{
    // Links are left out: the store never makes one, and one could point anywhere.
    QFileInfoList entries;
    const QFileInfoList all =
        QDir(QFileInfo(settingsPath).absolutePath())
            .entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::NoSort);
    for (const QFileInfo &entry : all) {
        if (isBackupName(settingsPath, entry.fileName()))
            entries.append(entry);
    }
    std::sort(entries.begin(), entries.end(), [](const QFileInfo &a, const QFileInfo &b) {
        const QDateTime ta = a.lastModified();
        const QDateTime tb = b.lastModified();
        if (ta != tb)
            return ta > tb;
        // Same time: a later name ("-2" after the plain stamp) is the newer one.
        return a.fileName() > b.fileName();
    });
    QStringList result;
    for (const QFileInfo &entry : std::as_const(entries))
        result.append(entry.absoluteFilePath());
    return result;
}

OldBackups oldBackups(const QString &settingsPath, int keep)
{
    OldBackups result;
    result.paths = listBackups(settingsPath).mid(qMax(keep, 0));
    for (const QString &path : std::as_const(result.paths))
        result.totalBytes += QFileInfo(path).size();
    return result;
}

TrashPlace trashPlaceFor(const QString &folder)
{
    TrashPlace place;
    struct stat source;
    if (!statPath(folder, &source)) {
        place.reason = DiscoveryText::tr("%1 cannot be read").arg(QDir::toNativeSeparators(folder));
        return place;
    }
    // Qt moves a file to the trash only by renaming it, so the trash must be on the file's own
    // file system. Away from home, that is the file system's own trash folder, as Qt picks it.
    struct stat home;
    if (statPath(QDir::homePath(), &home) && home.st_dev != source.st_dev) {
        const QString root = QStorageInfo(folder).rootPath();
        const QString uid = QString::number(::getuid());
        const QString shared = root + QStringLiteral("/.Trash");
        struct stat st;
        if (::lstat(QFile::encodeName(shared).constData(), &st) == 0 && S_ISDIR(st.st_mode) &&
            (st.st_mode & S_ISVTX) && trashFolderReady(shared + QLatin1Char('/') + uid, shared)) {
            place.folder = QDir::cleanPath(shared + QLatin1Char('/') + uid);
            return place;
        }
        const QString own = root + QStringLiteral("/.Trash-") + uid;
        if (trashFolderReady(own, root)) {
            place.folder = QDir::cleanPath(own);
            return place;
        }
    }
    const QString data = QStandardPaths::writableLocation(QStandardPaths::GenericDataLocation);
    const QString trash = data + QStringLiteral("/Trash");
    struct stat where;
    if (data.isEmpty() || !trashFolderReady(trash, data) ||
        !statPath(writableFolder(trash) ? trash : data, &where)) {
        place.reason = DiscoveryText::tr("there is no trash folder (%1 does not exist or cannot be "
                                         "written)")
                           .arg(QDir::toNativeSeparators(data.isEmpty() ? QDir::homePath() : data));
    } else if (where.st_dev != source.st_dev) {
        place.reason = DiscoveryText::tr("the trash folder %1 is on another file system than %2")
                           .arg(QDir::toNativeSeparators(trash), QDir::toNativeSeparators(folder));
    } else {
        place.folder = trash;
    }
    return place;
}

BackupRemoval removeBackups(const QString &settingsPath, const QStringList &paths, bool toTrash)
{
    BackupRemoval result;
    // Asked once, before any file is touched: Qt would otherwise warn about the missing trash
    // once for every file, and the caller must hear of it before anything is deleted.
    if (toTrash && !trashFunction()) {
        const TrashPlace place = trashPlaceFor(QFileInfo(settingsPath).absolutePath());
        result.trashProblem = place.reason;
    }
    for (const QString &requested : paths) {
        qint64 size = 0;
        const QString target = checkedBackup(settingsPath, requested, &size);
        bool done = false;
        bool trashed = false;
        if (!target.isEmpty() && toTrash && result.trashProblem.isEmpty()) {
            QString trashedAs;
            trashed = done = moveToTrash(target, &trashedAs);
            // trashedAs is <trash>/files/<name>.
            if (trashed && result.trashFolder.isEmpty() && !trashedAs.isEmpty())
                result.trashFolder = QFileInfo(QFileInfo(trashedAs).absolutePath()).absolutePath();
        } else if (!target.isEmpty() && !toTrash) {
            done =
                unlinkRegularFile(QFileInfo(target).absolutePath(), QFileInfo(target).fileName());
        }
        if (done) {
            ++result.removed;
            result.bytesFreed += size;
            result.movedToTrash = result.movedToTrash || trashed;
        } else {
            ++result.failed;
            result.failedPaths.append(requested);
        }
    }
    return result;
}

void setTrashFunction(TrashFunction trash)
{
    trashFunction() = std::move(trash);
}

} // namespace vrn
