#include "knowledge/leftovers.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vrn;

namespace {

constexpr uid_t kNobody = 65534;

bool writeFile(const QString &path, qsizetype bytes)
{
    QDir().mkpath(QFileInfo(path).path());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(QByteArray(bytes, 'x')) == bytes;
}

// Whether anything is at the path itself, a dangling link included.
bool onDisk(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool chmodTo(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Runs the enclosed code with another effective user, so that permissions are enforced even
// though the tests run as root; the real user stays root, so the guard can switch back.
class EffectiveUser
{
public:
    explicit EffectiveUser(uid_t uid)
        : m_ok(::setegid(uid) == 0 && ::seteuid(uid) == 0)
    {}
    ~EffectiveUser()
    {
        if (::seteuid(0) != 0 || ::setegid(0) != 0)
            qFatal("could not return to root");
    }
    bool ok() const { return m_ok; }

private:
    bool m_ok;
};

const QString kInstall = QStringLiteral("/opt/PixInsight");
const QString kUser = QStringLiteral("/home/u/.PixInsight/Pleiades");

// Names that must never form a path, separated by "|": traversal, separators, reserved folders,
// and characters that only look like slashes or dots (division slash, fullwidth solidus, one
// dot leaders, fullwidth full stops, fullwidth K, Cyrillic e).
QStringList hostileNames()
{
    QStringList names =
        QString::fromUtf16(u"|.|..|../x|..x|x..|a..b|-x|_x|.x|a/b|a\\b|/etc|C:x|~root|$HOME|a*b|"
                           u"%2e%2e|Kestrane\n|Kestrane | Kestrane|Kes trane|bin|Scripts|"
                           u"PixInsight|PLEIADES|System32|Program Files|networkinformation|"
                           u"a\u2215b|a\uFF0Fb|\u2024\u2024|a\u2024\u2024b|\uFF0E\uFF0E|"
                           u"\uFF2Bestrane|Kestran\u0435")
            .split(QLatin1Char('|'));
    names << QStringLiteral("Kes") + QChar(0) + QStringLiteral("trane") << QString(65, 'a');
    return names;
}

} // namespace

class TestLeftovers : public QObject
{
    Q_OBJECT

private slots:
    void names_data();
    void names();
    void kindsAndRequests();
    void findOnDisk();
    void measureStopsAt50000Files();
    void removeTreeLeavesLinkTargets();
    void removeTreeRefuses();
    void removeTreeAsOwner_data();
    void removeTreeAsOwner();
};

void TestLeftovers::names_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    for (const char *name : {"Kestrane", "Kestrane.v2", "x_1-2", "9lives", "Bin2", "x-", "a.b"})
        QTest::newRow(name) << QString::fromLatin1(name) << true;
    QTest::newRow("64 characters") << QString(64, QLatin1Char('a')) << true;
    for (const QString &name : hostileNames()) {
        const QByteArray tag = name.toUtf8().replace('\n', "\\n").replace('\0', "\\0");
        QTest::addRow("hostile \"%s\"", tag.constData()) << name << false;
    }
}

// A path is formed only for a safe name, and then it lies directly in the kind's folder,
// whatever the folders look like; a request for it forms the same path or none.
void TestLeftovers::names()
{
    QFETCH(QString, name);
    QFETCH(bool, safe);
    QCOMPARE(isSafeName(name), safe);
    for (const QString &folder : {kInstall, QStringLiteral("/"), QStringLiteral("/opt/PixInsight/"),
                                  QStringLiteral("/a/../opt")}) {
        for (int k = 0; k <= 7; ++k) {
            const auto kind = LeftoverKind(k);
            const QString path = leftoverPath(kind, folder, folder, name);
            const QString request = leftoverKeyword(kind) + QLatin1Char(':') + name;
            const QString fromRequest = itemFromRequest(request, folder, folder).path;
            QVERIFY(fromRequest.isEmpty() || fromRequest == path);
            QCOMPARE(path.isEmpty(), !safe);
            if (path.isEmpty())
                continue;
            const QFileInfo info(path);
            QCOMPARE(info.path(), expectedFolder(kind, folder, folder));
            QVERIFY(info.fileName().startsWith(name));
            QCOMPARE(QDir::cleanPath(path), path);
        }
    }
}

void TestLeftovers::kindsAndRequests()
{
    struct Kind
    {
        const char *keyword, *label, *path;
    };
    const Kind kinds[] = {
        {"file", "module file", "/opt/PixInsight/bin/Kestrane-pxm.so"},
        {"sig", "module signature", "/opt/PixInsight/bin/Kestrane-pxm.xsgn"},
        {"bin", "bin folder", "/opt/PixInsight/bin/Kestrane"},
        {"lib", "lib folder", "/opt/PixInsight/lib/Kestrane"},
        {"scripts", "scripts folder", "/opt/PixInsight/src/scripts/Kestrane"},
        {"tooldocs", "tool documentation folder", "/opt/PixInsight/doc/tools/Kestrane"},
        {"scriptdocs", "script documentation folder", "/opt/PixInsight/doc/scripts/Kestrane"},
        {"user", "user data folder", "/home/u/.PixInsight/Pleiades/Kestrane"},
    };
    for (int k = 0; k <= 8; ++k) {
        const auto kind = LeftoverKind(k);
        const Kind expected = k < 8 ? kinds[k] : Kind{"", "", ""}; // 8: no such kind
        QCOMPARE(leftoverKeyword(kind), QString(expected.keyword));
        QCOMPARE(leftoverLabel(kind), QString(expected.label));
        QCOMPARE(leftoverPath(kind, kInstall, kUser, "Kestrane"), QString(expected.path));
        QCOMPARE(expectedFolder(kind, kInstall, kUser),
                 k < 8 ? QFileInfo(expected.path).path() : QString());
        // Requests name the kind and the module, and parse back to both.
        LeftoverItem item;
        item.kind = kind;
        item.name = QStringLiteral("Kestrane");
        LeftoverKind parsed = LeftoverKind(8);
        QString name;
        QCOMPARE(parseRequest(requestText(item), &parsed, &name), k < 8);
        QVERIFY(k == 8 || (parsed == kind && name == item.name));
    }

    // Folders are cleaned; unknown or relative folders form nothing, the root forms paths in it.
    const QString bin = QStringLiteral("bin:Kestrane");
    const QList<QStringList> folders = {
        {"user:Kestrane", kInstall, "", ""}, {"lib:Kestrane", "", kUser, ""},
        {bin, "opt/PixInsight", kUser, ""},  {"user:Kestrane", kInstall, "Pleiades", ""},
        {bin, "/", kUser, "/bin/Kestrane"},  {"user:Kestrane", kInstall, "/", "/Kestrane"},
    };
    LeftoverKind kind;
    QString name;
    for (const QStringList &row : folders) {
        QVERIFY(parseRequest(row.at(0), &kind, &name));
        QCOMPARE(leftoverPath(kind, row.at(1), row.at(2), name), row.at(3));
    }

    // A request splits at its first colon; malformed ones do not parse at all.
    QVERIFY(parseRequest(QStringLiteral("file:a:b"), &kind, &name));
    QVERIFY(kind == LeftoverKind::ModuleFile && name == QStringLiteral("a:b"));
    for (const char *text :
         {":x", "File:x", "nothing", " file:x", "file :x", "/opt/PixInsight/bin/x", ""}) {
        QVERIFY2(!parseRequest(QString::fromLatin1(text), nullptr, nullptr), text);
        QVERIFY(itemFromRequest(QString::fromLatin1(text), kInstall, kUser).path.isEmpty());
    }
}

void TestLeftovers::findOnDisk()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString install = tmp.filePath(QStringLiteral("PixInsight"));
    const QString user = tmp.filePath(QStringLiteral("Pleiades"));
    const QString outside = tmp.filePath(QStringLiteral("outside"));
    QVERIFY(writeFile(install + "/bin/Kestrane-pxm.so", 100));
    QVERIFY(writeFile(install + "/bin/Kestrane-pxm.xsgn", 10));
    QVERIFY(writeFile(install + "/bin/Kestrane/a.txt", 5));
    QVERIFY(writeFile(install + "/lib/Kestrane/sub/.hidden", 7));
    QVERIFY(writeFile(outside + "/big.bin", 4096));
    QVERIFY(QFile::link(outside, install + "/lib/Kestrane/sub/to-outside"));
    QVERIFY(QFile::link(outside + "/big.bin", install + "/lib/Kestrane/big-link"));
    QVERIFY(writeFile(install + "/src/scripts/Kestrane", 3)); // a file where a folder belongs
    QVERIFY(QDir().mkpath(install + "/doc/tools"));
    QVERIFY(QFile::link(outside, install + "/doc/tools/Kestrane")); // a link, not a folder
    QVERIFY(QDir().mkpath(user + "/Kestrane"));
    QVERIFY(QDir().mkpath(install + "/bin/Other-pxm.so")); // a folder where a file belongs

    // An item on one line: request, path below the temporary folder, folder or file, in the
    // installation or not, bytes and files.
    auto describe = [&](const LeftoverItem &item) {
        return QStringLiteral("%1 %2 %3 %4 %5/%6")
            .arg(requestText(item),
                 item.path.isEmpty() ? "-" : QDir(tmp.path()).relativeFilePath(item.path),
                 item.isFolder ? "folder" : "file", item.inInstallation ? "installed" : "user")
            .arg(item.size)
            .arg(item.fileCount);
    };
    // Links are neither followed nor counted; hidden files are.
    QStringList found;
    for (const LeftoverItem &item : findLeftovers(install, user, QStringLiteral("Kestrane"), true))
        found.append(describe(item));
    QCOMPARE(found,
             (QStringList{"file:Kestrane PixInsight/bin/Kestrane-pxm.so file installed 100/1",
                          "sig:Kestrane PixInsight/bin/Kestrane-pxm.xsgn file installed 10/1",
                          "bin:Kestrane PixInsight/bin/Kestrane folder installed 5/1",
                          "lib:Kestrane PixInsight/lib/Kestrane folder installed 7/1",
                          "user:Kestrane Pleiades/Kestrane folder user 0/0"}));
    for (const LeftoverItem &item : findLeftovers(install, user, QStringLiteral("Kestrane"), false))
        QCOMPARE(item.size, 0);
    QVERIFY(findLeftovers(install, user, QStringLiteral("Other"), true).isEmpty());
    QVERIFY(findLeftovers(install, user, QStringLiteral("Kestrane/../Kestrane"), true).isEmpty());
    QCOMPARE(findLeftovers(install, QString(), QStringLiteral("Kestrane"), false).size(), 4);
    QCOMPARE(findLeftovers(QString(), user, QStringLiteral("Kestrane"), false).size(), 1);

    // Requests are formed again from the folders; the type is not tested there, links are not
    // measured through.
    found.clear();
    for (const char *request :
         {"file:Kestrane", "scripts:Kestrane", "tooldocs:Kestrane", "user:Kestrane", "sig:Nobody"})
        found.append(describe(itemFromRequest(QString::fromLatin1(request), install, user)));
    QCOMPARE(found,
             (QStringList{"file:Kestrane PixInsight/bin/Kestrane-pxm.so file installed 100/1",
                          "scripts:Kestrane PixInsight/src/scripts/Kestrane folder installed 3/1",
                          "tooldocs:Kestrane PixInsight/doc/tools/Kestrane folder installed 0/0",
                          "user:Kestrane Pleiades/Kestrane folder user 0/0",
                          "sig:Nobody - file installed 0/0"}));

    // The installation folder is the first candidate with a "bin" folder, cleaned.
    QVERIFY(QDir().mkpath(tmp.filePath(QStringLiteral("NoBin"))));
    QVERIFY(writeFile(tmp.filePath(QStringLiteral("BinFile/bin")), 1));
    QCOMPARE(findInstallDir({tmp.filePath(QStringLiteral("Missing")),
                             tmp.filePath(QStringLiteral("NoBin")),
                             tmp.filePath(QStringLiteral("BinFile")), install + "//./", user}),
             install);
    QCOMPARE(findInstallDir({tmp.filePath(QStringLiteral("NoBin"))}), QString());
}

void TestLeftovers::measureStopsAt50000Files()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString folder = tmp.filePath(QStringLiteral("big"));
    const QByteArray name = QFile::encodeName(folder);
    for (int sub = 0; sub < 3; ++sub)
        QVERIFY(QDir().mkpath(folder + QStringLiteral("/part%1").arg(sub)));
    // 50,003 files of two bytes each, written with plain system calls to keep this quick.
    for (int i = 0; i < 50003; ++i) {
        const QByteArray path =
            name + "/part" + QByteArray::number(i % 3) + "/f" + QByteArray::number(i);
        const int fd = ::open(path.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        QVERIFY(fd >= 0);
        QCOMPARE(::write(fd, "ab", 2), ssize_t(2));
        ::close(fd);
    }
    LeftoverItem item;
    item.path = folder;
    item.size = -1;
    measure(item);
    QCOMPARE(item.fileCount, 50000);
    QCOMPARE(item.size, 100000);
}

void TestLeftovers::removeTreeLeavesLinkTargets()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString outside = tmp.filePath(QStringLiteral("outside"));
    const QString victim = tmp.filePath(QStringLiteral("victim"));
    QVERIFY(writeFile(outside + "/dir/keep.txt", 12));
    QVERIFY(writeFile(outside + "/file.txt", 34));
    QVERIFY(chmodTo(outside + "/file.txt", 0444));
    QVERIFY(writeFile(victim + "/sub/deeper/f.txt", 5));
    QVERIFY(writeFile(victim + "/.hidden", 1));
    QVERIFY(writeFile(victim + "/ro.txt", 2));
    QVERIFY(chmodTo(victim + "/ro.txt", 0444));
    QVERIFY(writeFile(victim + "/rodir/inner.txt", 3));
    QVERIFY(chmodTo(victim + "/rodir", 0555));
    QVERIFY(QFile::link(outside + "/dir", victim + "/link-to-folder"));
    QVERIFY(QFile::link(outside + "/dir", victim + "/sub/link-to-folder"));
    QVERIFY(QFile::link(outside + "/file.txt", victim + "/link-to-file"));
    QVERIFY(QFile::link(tmp.filePath(QStringLiteral("nowhere")), victim + "/dangling"));
    QCOMPARE(::mkfifo(QFile::encodeName(victim + "/pipe").constData(), 0600), 0);

    QVERIFY(removeTree(victim));
    QVERIFY(!onDisk(victim));
    QCOMPARE(QFileInfo(outside + "/dir/keep.txt").size(), 12);
    QCOMPARE(QFileInfo(outside + "/file.txt").size(), 34);
    // Nothing was done through the link, not even making its target writable.
    struct stat st;
    QCOMPARE(::stat(QFile::encodeName(outside + "/file.txt").constData(), &st), 0);
    QCOMPARE(st.st_mode & 07777, mode_t(0444));
}

void TestLeftovers::removeTreeRefuses()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString target = tmp.filePath(QStringLiteral("target"));
    const QString link = tmp.filePath(QStringLiteral("link"));
    QVERIFY(writeFile(target + "/keep.txt", 8));
    QVERIFY(QDir().mkpath(target + "/sub"));
    QVERIFY(QFile::link(target, link));

    // A folder given as a link is not what the caller formed: neither the link nor what it
    // points to is touched. Nor is anything named through "." or "..", a file, or nothing.
    for (const QString &folder :
         QStringList{link, link + "/", link + "/.", QString(), QStringLiteral("/"),
                     QStringLiteral("relative/folder"), tmp.filePath(QStringLiteral("missing")),
                     target + "/keep.txt", target + QChar(0) + "/../other", target + "/sub/..",
                     target + "/./sub"})
        QVERIFY2(!removeTree(folder), qPrintable(folder));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(QFileInfo(target + "/keep.txt").size(), 8);
    QVERIFY(QFileInfo(target + "/sub").isDir());
}

void TestLeftovers::removeTreeAsOwner_data()
{
    QTest::addColumn<bool>("foreignFolder");
    QTest::newRow("read-only file and folder") << false;
    QTest::newRow("a folder of another user inside") << true;
}

// As the owner of read-only files and folders, without any special right: they go. A folder
// that user cannot empty stays, the walk goes on past it and the result says so.
void TestLeftovers::removeTreeAsOwner()
{
    if (::geteuid() != 0)
        QSKIP("needs root to hand the files to another user");
    QFETCH(bool, foreignFolder);
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(chmodTo(tmp.path(), 0755));
    const QString shared = tmp.filePath(QStringLiteral("shared"));
    const QString victim = shared + "/victim";
    const QStringList owned = {shared,
                               victim,
                               victim + "/a-free.txt",
                               victim + "/ro.txt",
                               victim + "/rodir",
                               victim + "/rodir/inner.txt",
                               victim + "/z-free.txt"};
    for (const QString &path : owned.mid(2))
        QVERIFY(path.endsWith("rodir") ? QDir().mkpath(path) : writeFile(path, 2));
    if (foreignFolder)
        QVERIFY(writeFile(victim + "/locked/secret.txt", 6)); // stays root's
    for (const QString &path : owned)
        QVERIFY(::lchown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0);
    QVERIFY(chmodTo(victim + "/ro.txt", 0444));
    QVERIFY(chmodTo(victim + "/rodir", 0555));

    bool removed = foreignFolder;
    {
        EffectiveUser nobody(kNobody);
        QVERIFY(nobody.ok());
        removed = removeTree(victim);
    }
    QCOMPARE(removed, !foreignFolder);
    for (const QString &path : owned.mid(2))
        QVERIFY2(!onDisk(path), qPrintable(path));
    QCOMPARE(onDisk(victim), foreignFolder);
    if (foreignFolder)
        QCOMPARE(QFileInfo(victim + "/locked/secret.txt").size(), 6);
}

QTEST_GUILESS_MAIN(TestLeftovers)
#include "tst_leftovers.moc"
