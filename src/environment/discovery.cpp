#include "environment/discovery.h"

#include <QCoreApplication>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QStandardPaths>

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <sys/stat.h>

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
bool systemTrash(const QString &path)
{
    QString inTrash;
    if (!QFile::moveToTrash(path, &inTrash))
        return false;
    if (!QDir::isRelativePath(inTrash))
        return true;
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

bool moveToTrash(const QString &path)
{
    if (trashFunction())
        return trashFunction()(path);
    return systemTrash(path);
}

QString backupPrefix(const QString &settingsPath)
{
    return QFileInfo(settingsPath).fileName() + QStringLiteral(".bak-");
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
    if (settings.fileName().isEmpty() || folder.isEmpty() || requested.isEmpty() ||
        !name.startsWith(backupPrefix(settingsPath)))
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
    const QFileInfo settings(settingsPath);
    const QString prefix = backupPrefix(settingsPath);
    // Links are left out: the store never makes one, and one could point anywhere.
    QFileInfoList entries;
    const QFileInfoList all =
        QDir(settings.absolutePath())
            .entryInfoList(QDir::Files | QDir::Hidden | QDir::NoSymLinks, QDir::NoSort);
    for (const QFileInfo &entry : all) {
        if (entry.fileName().startsWith(prefix))
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

BackupRemoval removeBackups(const QString &settingsPath, const QStringList &paths, bool toTrash)
{
    BackupRemoval result;
    for (const QString &requested : paths) {
        qint64 size = 0;
        const QString target = checkedBackup(settingsPath, requested, &size);
        bool done = false;
        bool trashed = false;
        if (!target.isEmpty()) {
            trashed = toTrash && moveToTrash(target);
            // QFile::remove unlinks the name itself, never what a link would point to.
            done = trashed || QFile::remove(target);
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
