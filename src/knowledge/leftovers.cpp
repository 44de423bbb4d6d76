#include "knowledge/leftovers.h"

#include "environment/pixinsight.h"
#include "store/descriptors.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QSet>

#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <vector>

namespace vrn {

namespace {

class LeftoverText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Leftovers)
};

constexpr int kMeasureLimit = 50000;
// Deeper than any real module folder; beyond it the walk gives up rather than exhaust the
// stack or the file descriptors.
constexpr int kMaxDepth = 256;

bool isKnownKind(LeftoverKind kind)
{
    return int(kind) >= int(LeftoverKind::ModuleFile) && int(kind) <= int(LeftoverKind::UserFolder);
}

bool isFolderKind(LeftoverKind kind)
{
    return kind != LeftoverKind::ModuleFile && kind != LeftoverKind::ModuleSignature;
}

bool isAsciiAlnum(QChar c)
{
    const char16_t u = c.unicode();
    return (u >= 'A' && u <= 'Z') || (u >= 'a' && u <= 'z') || (u >= '0' && u <= '9');
}

// The base a kind lives under, cleaned; empty when that base is not known or not absolute,
// so that nothing is ever formed relative to whatever the current folder happens to be.
QString baseFolder(LeftoverKind kind, const QString &installDir, const QString &userDir)
{
    const QString base = kind == LeftoverKind::UserFolder ? userDir : installDir;
    if (base.isEmpty())
        return QString();
    const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(base));
    return QDir::isAbsolutePath(clean) ? clean : QString();
}

QString entryName(LeftoverKind kind, const QString &name)
{
    switch (kind) {
    case LeftoverKind::ModuleFile:
        return name + QStringLiteral("-pxm.so");
    case LeftoverKind::ModuleSignature:
        return name + QStringLiteral("-pxm.xsgn");
    default:
        return name;
    }
}

// lstat: what is at the path itself, a link being a link.
bool statNoFollow(const QString &path, struct stat *st)
{
    if (path.isEmpty() || path.contains(QChar(0)))
        return false;
    return ::lstat(QFile::encodeName(path).constData(), st) == 0;
}

// Opens a folder below dirFd without following a link, and makes sure it is the folder that
// was looked at (not something swapped in between).
int openFolderAt(int dirFd, const char *name, const struct stat &expected)
{
    const int fd = ::openat(dirFd, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fd < 0)
        return -1;
    struct stat opened;
    if (::fstat(fd, &opened) != 0 || opened.st_dev != expected.st_dev ||
        opened.st_ino != expected.st_ino) {
        ::close(fd);
        return -1;
    }
    return fd;
}

// Counts files below an open folder without following links; stops at the limit.
void measureFolder(int dirFd, int depth, qint64 *size, int *count)
{
    std::vector<QByteArray> names;
    listNames(dirFd, &names);
    for (const QByteArray &name : names) {
        if (*count >= kMeasureLimit)
            return;
        struct stat st;
        if (::fstatat(dirFd, name.constData(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            S_ISLNK(st.st_mode))
            continue;
        if (S_ISDIR(st.st_mode)) {
            if (depth >= kMaxDepth)
                continue;
            const UniqueFd folder(openFolderAt(dirFd, name.constData(), st));
            if (folder.valid())
                measureFolder(folder.get(), depth + 1, size, count);
            continue;
        }
        *size += qint64(st.st_size);
        ++*count;
    }
}

} // namespace

QString leftoverLabel(LeftoverKind kind)
{
    switch (kind) {
    case LeftoverKind::ModuleFile:
        return LeftoverText::tr("module file");
    case LeftoverKind::ModuleSignature:
        return LeftoverText::tr("module signature");
    case LeftoverKind::BinFolder:
        return LeftoverText::tr("bin folder");
    case LeftoverKind::LibFolder:
        return LeftoverText::tr("lib folder");
    case LeftoverKind::ScriptsFolder:
        return LeftoverText::tr("scripts folder");
    case LeftoverKind::ToolDocsFolder:
        return LeftoverText::tr("tool documentation folder");
    case LeftoverKind::ScriptDocsFolder:
        return LeftoverText::tr("script documentation folder");
    case LeftoverKind::UserFolder:
        return LeftoverText::tr("user data folder");
    }
    return QString();
}

QString leftoverKeyword(LeftoverKind kind)
{
    switch (kind) {
    case LeftoverKind::ModuleFile:
        return QStringLiteral("file");
    case LeftoverKind::ModuleSignature:
        return QStringLiteral("sig");
    case LeftoverKind::BinFolder:
        return QStringLiteral("bin");
    case LeftoverKind::LibFolder:
        return QStringLiteral("lib");
    case LeftoverKind::ScriptsFolder:
        return QStringLiteral("scripts");
    case LeftoverKind::ToolDocsFolder:
        return QStringLiteral("tooldocs");
    case LeftoverKind::ScriptDocsFolder:
        return QStringLiteral("scriptdocs");
    case LeftoverKind::UserFolder:
        return QStringLiteral("user");
    }
    return QString();
}

bool isSafeName(const QString &name)
{
    // Checked character by character rather than with a pattern: "$" would also accept a name
    // followed by a line break, and only ASCII may pass (no look-alike slashes or dots).
    if (name.isEmpty() || name.size() > 64 || !isAsciiAlnum(name.at(0)))
        return false;
    for (const QChar c : name) {
        if (!isAsciiAlnum(c) && c != QLatin1Char('_') && c != QLatin1Char('.') &&
            c != QLatin1Char('-'))
            return false;
    }
    if (name.contains(QLatin1String("..")))
        return false;
    static const QSet<QString> reserved = {
        QStringLiteral("bin"),
        QStringLiteral("lib"),
        QStringLiteral("etc"),
        QStringLiteral("include"),
        QStringLiteral("doc"),
        QStringLiteral("src"),
        QStringLiteral("rsc"),
        QStringLiteral("color"),
        QStringLiteral("library"),
        QStringLiteral("scripts"),
        QStringLiteral("tools"),
        QStringLiteral("plugins"),
        QStringLiteral("platforms"),
        QStringLiteral("imageformats"),
        QStringLiteral("styles"),
        QStringLiteral("iconengines"),
        QStringLiteral("tls"),
        QStringLiteral("generic"),
        QStringLiteral("networkinformation"),
        QStringLiteral("python"),
        QStringLiteral("qml"),
        QStringLiteral("translations"),
        QStringLiteral("sqldrivers"),
        QStringLiteral("printsupport"),
        QStringLiteral("platformthemes"),
        QStringLiteral("resources"),
        QStringLiteral("data"),
        QStringLiteral("temp"),
        QStringLiteral("tmp"),
        QStringLiteral("pixinsight"),
        QStringLiteral("pleiades"),
        QStringLiteral("windows"),
        QStringLiteral("system32"),
        QStringLiteral("users"),
        QStringLiteral("program files"),
    };
    return !reserved.contains(name.toLower());
}

QString expectedFolder(LeftoverKind kind, const QString &installDir, const QString &userDir)
{
    if (!isKnownKind(kind))
        return QString();
    const QString base = baseFolder(kind, installDir, userDir);
    if (base.isEmpty())
        return QString();
    switch (kind) {
    case LeftoverKind::ModuleFile:
    case LeftoverKind::ModuleSignature:
    case LeftoverKind::BinFolder:
        return QDir::cleanPath(base + QStringLiteral("/bin"));
    case LeftoverKind::LibFolder:
        return QDir::cleanPath(base + QStringLiteral("/lib"));
    case LeftoverKind::ScriptsFolder:
        return QDir::cleanPath(base + QStringLiteral("/src/scripts"));
    case LeftoverKind::ToolDocsFolder:
        return QDir::cleanPath(base + QStringLiteral("/doc/tools"));
    case LeftoverKind::ScriptDocsFolder:
        return QDir::cleanPath(base + QStringLiteral("/doc/scripts"));
    case LeftoverKind::UserFolder:
        return base;
    }
    return QString();
}

QString leftoverPath(LeftoverKind kind, const QString &installDir, const QString &userDir,
                     const QString &name)
{
    if (!isSafeName(name))
        return QString();
    const QString folder = expectedFolder(kind, installDir, userDir);
    if (folder.isEmpty())
        return QString();
    // The folder has no trailing slash except when it is "/" itself.
    const QString separator = folder.endsWith(QLatin1Char('/')) ? QString() : QStringLiteral("/");
    return folder + separator + entryName(kind, name);
}

QString findInstallDir(const QStringList &candidates)
{
    const QStringList tried =
        candidates.isEmpty() ? HealthEnv::system().installCandidates : candidates;
    for (const QString &candidate : tried) {
        if (candidate.isEmpty())
            continue;
        const QString clean = QDir::cleanPath(QDir::fromNativeSeparators(candidate));
        if (QFileInfo(clean + QStringLiteral("/bin")).isDir())
            return clean;
    }
    return QString();
}

QList<LeftoverItem> findLeftovers(const QString &installDir, const QString &userDir,
                                  const QString &name, bool withSizes)
{
    QList<LeftoverItem> items;
    if (!isSafeName(name))
        return items;
    for (int k = int(LeftoverKind::ModuleFile); k <= int(LeftoverKind::UserFolder); ++k) {
        const auto kind = LeftoverKind(k);
        const QString path = leftoverPath(kind, installDir, userDir, name);
        struct stat st;
        if (path.isEmpty() || !statNoFollow(path, &st))
            continue;
        // The entry itself must be of the kind's type; a link is neither, since nothing is
        // ever done through one.
        if (isFolderKind(kind) ? !S_ISDIR(st.st_mode) : !S_ISREG(st.st_mode))
            continue;
        LeftoverItem item;
        item.kind = kind;
        item.name = name;
        item.path = path;
        item.isFolder = isFolderKind(kind);
        item.inInstallation = kind != LeftoverKind::UserFolder;
        if (withSizes)
            measure(item);
        items.append(item);
    }
    return items;
}

void measure(LeftoverItem &item)
{
    item.size = 0;
    item.fileCount = 0;
    struct stat st;
    if (!statNoFollow(item.path, &st))
        return;
    if (S_ISREG(st.st_mode)) {
        item.size = qint64(st.st_size);
        item.fileCount = 1;
        return;
    }
    if (!S_ISDIR(st.st_mode))
        return;
    const UniqueFd folder(::open(QFile::encodeName(item.path).constData(),
                                 O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC));
    if (folder.valid())
        measureFolder(folder.get(), 0, &item.size, &item.fileCount);
}

QString requestText(const LeftoverItem &item)
{
    return leftoverKeyword(item.kind) + QLatin1Char(':') + item.name;
}

bool parseRequest(const QString &text, LeftoverKind *kind, QString *name)
{
    const qsizetype colon = text.indexOf(QLatin1Char(':'));
    if (colon < 1)
        return false;
    const QStringView keyword = QStringView(text).left(colon);
    for (int k = int(LeftoverKind::ModuleFile); k <= int(LeftoverKind::UserFolder); ++k) {
        if (keyword == leftoverKeyword(LeftoverKind(k))) {
            if (kind)
                *kind = LeftoverKind(k);
            if (name)
                *name = text.mid(colon + 1);
            return true;
        }
    }
    return false;
}

LeftoverItem itemFromRequest(const QString &text, const QString &installDir, const QString &userDir)
{
    LeftoverItem item;
    if (!parseRequest(text, &item.kind, &item.name))
        return item;
    item.isFolder = isFolderKind(item.kind);
    item.inInstallation = item.kind != LeftoverKind::UserFolder;
    const QString path = leftoverPath(item.kind, installDir, userDir, item.name);
    struct stat st;
    if (path.isEmpty() || !statNoFollow(path, &st))
        return item;
    item.path = path;
    measure(item);
    return item;
}

} // namespace vrn
