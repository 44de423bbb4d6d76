#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace vrn {

// Files and folders an uninstalled module may have left on disk.
enum class LeftoverKind {
    ModuleFile = 0,
    ModuleSignature = 1,
    BinFolder = 2,
    LibFolder = 3,
    ScriptsFolder = 4,
    ToolDocsFolder = 5,
    ScriptDocsFolder = 6,
    UserFolder = 7,
};

struct LeftoverItem
{
    LeftoverKind kind = LeftoverKind::ModuleFile;
    QString name;
    QString path;
    bool isFolder = false;
    bool inInstallation = false;
    qint64 size = 0;
    int fileCount = 0;
};

QString leftoverLabel(LeftoverKind kind);
QString leftoverKeyword(LeftoverKind kind);
bool isSafeName(const QString &name);
QString expectedFolder(LeftoverKind kind, const QString &installDir, const QString &userDir);
// Empty when the name is not safe or the folder the kind needs is unknown.
QString leftoverPath(LeftoverKind kind, const QString &installDir, const QString &userDir,
                     const QString &name);
QString findInstallDir(const QStringList &candidates = {});
QList<LeftoverItem> findLeftovers(const QString &installDir, const QString &userDir,
                                  const QString &name, bool withSizes);
void measure(LeftoverItem &item);
// "keyword:Name": how an item is named between processes, never by its path.
QString requestText(const LeftoverItem &item);
bool parseRequest(const QString &text, LeftoverKind *kind, QString *name);
// The item a request names, re-formed from the known folders; its path is empty when nothing
// exists there.
LeftoverItem itemFromRequest(const QString &text, const QString &installDir,
                             const QString &userDir);

} // namespace vrn
