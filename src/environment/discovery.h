#pragma once

#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

// Folders where PixInsight keeps its settings on this platform, in the order they are tried.
QStringList configDirectories();
// Absolute paths of the core-*-pxi.settings files in those folders.
QStringList findSettingsFiles();
// N of core-N-pxi.settings; 0 for any other name or a number beyond 32 bits.
int instanceNumber(const QString &path);
// One line for lists and menus, such as "core-1-pxi.settings [.PixInsight] - instance 1,
// 812 KiB, 2026-12-05 10:22".
QString fileLabel(const QString &path);

// Whether two paths name the same file (through links when both exist); false for an empty one.
bool sameFile(const QString &a, const QString &b);

// The backups the store made beside a settings file (only names of the form it gives them),
// newest first.
QStringList listBackups(const QString &settingsPath);

struct OldBackups
{
    QStringList paths;
    qint64 totalBytes = 0;
};
// The backups beyond the newest `keep`.
OldBackups oldBackups(const QString &settingsPath, int keep);

// The trash folder a file in `folder` would be moved to: the desktop's own trash when it is on
// the same file system, otherwise the trash of that file system. Empty, with `reason`, when there
// is none that the file can be moved into.
struct TrashPlace
{
    QString folder;
    QString reason;
    bool usable() const { return !folder.isEmpty(); }
};
TrashPlace trashPlaceFor(const QString &folder);

struct BackupRemoval
{
    int removed = 0;
    int failed = 0;
    bool movedToTrash = false;
    qint64 bytesFreed = 0;
    QStringList failedPaths;
    QString trashFolder;  // where the files moved to the trash went
    QString trashProblem; // why nothing could go to the trash
};
// Deletes (or moves to the trash) those of `paths` that really are backups of the settings
// file; anything else is refused and listed in failedPaths. With `toTrash` a file that cannot
// go to the trash is left where it is: deleting it for good is the caller's decision to ask for.
BackupRemoval removeBackups(const QString &settingsPath, const QStringList &paths, bool toTrash);

// Test seam for the trash: the real one is QFile::moveToTrash. `trashedAs` receives the path
// the file now has in the trash. An empty function restores the real one.
using TrashFunction = std::function<bool(const QString &path, QString *trashedAs)>;
void setTrashFunction(TrashFunction trash);

} // namespace vrn
