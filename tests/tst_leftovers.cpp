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

bool isLink(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0 && S_ISLNK(st.st_mode);
}

bool existsNoFollow(const QString &path)
{
    struct stat st;
    return ::lstat(QFile::encodeName(path).constData(), &st) == 0;
}

bool chownTo(const QString &path, uid_t uid)
{
    return ::lchown(QFile::encodeName(path).constData(), uid, uid) == 0;
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

// Names that must never form a path: traversal, separators, reserved folders, and characters
// that only look like slashes or dots.
const QStringList kHostileNames = {
    QString(),
    QStringLiteral("."),
    QStringLiteral(".."),
    QStringLiteral("../x"),
    QStringLiteral("..x"),
    QStringLiteral("x.."),
    QStringLiteral("a..b"),
    QStringLiteral("-x"),
    QStringLiteral("_x"),
    QStringLiteral(".x"),
    QStringLiteral("a/b"),
    QStringLiteral("a\\b"),
    QStringLiteral("/etc"),
    QStringLiteral("C:x"),
    QStringLiteral("~root"),
    QStringLiteral("$HOME"),
    QStringLiteral("a*b"),
    QStringLiteral("%2e%2e"),
    QStringLiteral("Kestrane\n"),
    QStringLiteral("Kestrane "),
    QStringLiteral(" Kestrane"),
    QStringLiteral("Kes trane"),
    QString::fromUtf16(u"a\u2215b"),       // division slash
    QString::fromUtf16(u"a\uFF0Fb"),       // fullwidth solidus
    QString::fromUtf16(u"\u2024\u2024"),   // one dot leaders
    QString::fromUtf16(u"a\u2024\u2024b"), //
    QString::fromUtf16(u"\uFF0E\uFF0E"),   // fullwidth full stops
    QString::fromUtf16(u"\uFF2Bestrane"),  // fullwidth K
    QString::fromUtf16(u"Kestran\u0435"),  // Cyrillic e
    QStringLiteral("Kes") + QChar(0) + QStringLiteral("trane"),
    QString(65, QLatin1Char('a')),
    QStringLiteral("bin"),
    QStringLiteral("Scripts"),
    QStringLiteral("PixInsight"),
    QStringLiteral("PLEIADES"),
    QStringLiteral("System32"),
    QStringLiteral("Program Files"),
    QStringLiteral("networkinformation"),
};

} // namespace

Q_DECLARE_METATYPE(LeftoverKind)

class TestLeftovers : public QObject
{
    Q_OBJECT

private slots:
    void safeNames_data();
    void safeNames();
    void paths_data();
    void paths();
    void requests_data();
    void requests();
    void noPathLeavesItsFolder();
    void findOnDisk();
    void installFolder();
    void measureStopsAt50000Files();
    void removeTreeLeavesLinkTargets();
    void removeTreeRefuses();
    void removeTreeWithoutRoot();
    void removeTreeReportsWhatRemains();
};

void TestLeftovers::safeNames_data()
{
    QTest::addColumn<QString>("name");
    QTest::addColumn<bool>("safe");
    for (const char *name :
         {"Kestrane", "Kestrane.v2", "x_1-2", "A", "9lives", "Bin2", "PixInsight2", "x-", "a.b"})
        QTest::newRow(name) << QString::fromLatin1(name) << true;
    QTest::newRow("64 characters") << QString(64, QLatin1Char('a')) << true;
    for (qsizetype i = 0; i < kHostileNames.size(); ++i)
        QTest::addRow("hostile %d", int(i)) << kHostileNames.at(i) << false;
}

void TestLeftovers::safeNames()
{
    QFETCH(QString, name);
    QTEST(isSafeName(name), "safe");
}

void TestLeftovers::paths_data()
{
    QTest::addColumn<LeftoverKind>("kind");
    QTest::addColumn<QString>("install");
    QTest::addColumn<QString>("user");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");

    const QString k = QStringLiteral("Kestrane");
    QTest::newRow("module file") << LeftoverKind::ModuleFile << kInstall << kUser << k
                                 << "/opt/PixInsight/bin/Kestrane-pxm.so";
    QTest::newRow("signature") << LeftoverKind::ModuleSignature << kInstall << kUser << k
                               << "/opt/PixInsight/bin/Kestrane-pxm.xsgn";
    QTest::newRow("bin") << LeftoverKind::BinFolder << kInstall << kUser << k
                         << "/opt/PixInsight/bin/Kestrane";
    QTest::newRow("lib") << LeftoverKind::LibFolder << kInstall << kUser << k
                         << "/opt/PixInsight/lib/Kestrane";
    QTest::newRow("scripts") << LeftoverKind::ScriptsFolder << kInstall << kUser << k
                             << "/opt/PixInsight/src/scripts/Kestrane";
    QTest::newRow("tool docs") << LeftoverKind::ToolDocsFolder << kInstall << kUser << k
                               << "/opt/PixInsight/doc/tools/Kestrane";
    QTest::newRow("script docs") << LeftoverKind::ScriptDocsFolder << kInstall << kUser << k
                                 << "/opt/PixInsight/doc/scripts/Kestrane";
    QTest::newRow("user") << LeftoverKind::UserFolder << kInstall << kUser << k
                          << "/home/u/.PixInsight/Pleiades/Kestrane";
    QTest::newRow("user folder unknown")
        << LeftoverKind::UserFolder << kInstall << QString() << k << QString();
    QTest::newRow("installation unknown")
        << LeftoverKind::LibFolder << QString() << kUser << k << QString();
    QTest::newRow("folders cleaned") << LeftoverKind::ModuleFile << "/opt//x/../PixInsight/./"
                                     << kUser << k << "/opt/PixInsight/bin/Kestrane-pxm.so";
    QTest::newRow("relative installation")
        << LeftoverKind::BinFolder << "opt/PixInsight" << kUser << k << QString();
    QTest::newRow("relative user folder")
        << LeftoverKind::UserFolder << kInstall << "Pleiades" << k << QString();
    QTest::newRow("installation at the root")
        << LeftoverKind::BinFolder << "/" << kUser << k << "/bin/Kestrane";
    QTest::newRow("user folder at the root")
        << LeftoverKind::UserFolder << kInstall << "/" << k << "/Kestrane";
    QTest::newRow("unsafe name") << LeftoverKind::BinFolder << kInstall << kUser << "../x"
                                 << QString();
    QTest::newRow("unknown kind") << LeftoverKind(8) << kInstall << kUser << k << QString();
}

void TestLeftovers::paths()
{
    QFETCH(LeftoverKind, kind);
    QFETCH(QString, install);
    QFETCH(QString, user);
    QFETCH(QString, name);
    QFETCH(QString, path);
    QCOMPARE(leftoverPath(kind, install, user, name), path);
    if (!path.isEmpty())
        QCOMPARE(expectedFolder(kind, install, user), QFileInfo(path).path());
    const bool known = int(kind) >= 0 && int(kind) <= 7;
    QCOMPARE(leftoverLabel(kind).isEmpty(), !known);
    QCOMPARE(leftoverKeyword(kind).isEmpty(), !known);
    if (!known)
        QVERIFY(expectedFolder(kind, install, user).isEmpty());
}

void TestLeftovers::requests_data()
{
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("parses");
    QTest::addColumn<LeftoverKind>("kind");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("path");

    QTest::newRow("signature") << "sig:Kestrane" << true << LeftoverKind::ModuleSignature
                               << "Kestrane"
                               << "/opt/PixInsight/bin/Kestrane-pxm.xsgn";
    QTest::newRow("user") << "user:Kestrane" << true << LeftoverKind::UserFolder << "Kestrane"
                          << "/home/u/.PixInsight/Pleiades/Kestrane";
    QTest::newRow("traversal parses, forms nothing")
        << "bin:../x" << true << LeftoverKind::BinFolder << "../x" << QString();
    QTest::newRow("absolute name")
        << "lib:/etc" << true << LeftoverKind::LibFolder << "/etc" << QString();
    QTest::newRow("look-alike slashes")
        << QString::fromUtf16(u"tooldocs:x\u2215..\u2215..\u2215etc") << true
        << LeftoverKind::ToolDocsFolder << QString::fromUtf16(u"x\u2215..\u2215..\u2215etc")
        << QString();
    QTest::newRow("empty name") << "file:" << true << LeftoverKind::ModuleFile << QString()
                                << QString();
    QTest::newRow("second colon") << "file:a:b" << true << LeftoverKind::ModuleFile << "a:b"
                                  << QString();
    QTest::newRow("no keyword") << ":x" << false << LeftoverKind::ModuleFile << QString()
                                << QString();
    QTest::newRow("keyword case") << "File:x" << false << LeftoverKind::ModuleFile << QString()
                                  << QString();
    QTest::newRow("no colon") << "nothing" << false << LeftoverKind::ModuleFile << QString()
                              << QString();
    QTest::newRow("space before") << " file:x" << false << LeftoverKind::ModuleFile << QString()
                                  << QString();
    QTest::newRow("space after") << "file :x" << false << LeftoverKind::ModuleFile << QString()
                                 << QString();
    QTest::newRow("a path") << "/opt/PixInsight/bin/x" << false << LeftoverKind::ModuleFile
                            << QString() << QString();
    QTest::newRow("empty") << QString() << false << LeftoverKind::ModuleFile << QString()
                           << QString();
}

void TestLeftovers::requests()
{
    QFETCH(QString, text);
    QFETCH(bool, parses);
    LeftoverKind kind = LeftoverKind::ModuleFile;
    QString name;
    QCOMPARE(parseRequest(text, &kind, &name), parses);
    QVERIFY(parseRequest(text, nullptr, nullptr) == parses);
    if (!parses)
        return;
    QTEST(kind, "kind");
    QTEST(name, "name");
    QTEST(leftoverPath(kind, kInstall, kUser, name), "path");

    LeftoverItem item;
    item.kind = kind;
    item.name = name;
    QCOMPARE(requestText(item), text);
}

void TestLeftovers::noPathLeavesItsFolder()
{
    QStringList names = kHostileNames;
    names << QStringLiteral("Kestrane") << QStringLiteral("x_1-2") << QStringLiteral("a.b");
    const QStringList folders = {kInstall, QStringLiteral("/"), QStringLiteral("/opt/PixInsight/"),
                                 QStringLiteral("/a/../opt")};
    int formed = 0;
    for (const QString &name : std::as_const(names)) {
        for (int k = 0; k <= 7; ++k) {
            const auto kind = LeftoverKind(k);
            for (const QString &folder : folders) {
                const QString path = leftoverPath(kind, folder, folder, name);
                const QString request = leftoverKeyword(kind) + QLatin1Char(':') + name;
                const LeftoverItem item = itemFromRequest(request, folder, folder);
                QVERIFY(item.path.isEmpty() || item.path == path);
                if (path.isEmpty()) {
                    QVERIFY2(!isSafeName(name), qPrintable(name));
                    continue;
                }
                ++formed;
                QVERIFY(isSafeName(name));
                const QFileInfo info(path);
                QCOMPARE(info.path(), expectedFolder(kind, folder, folder));
                QVERIFY(info.fileName().startsWith(name));
                QCOMPARE(QDir::cleanPath(path), path);
                QVERIFY(!path.contains(QLatin1String("/../")));
            }
        }
    }
    QCOMPARE(formed, 3 * 8 * folders.size());
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
    QVERIFY(QDir().mkpath(install + "/doc/scripts"));
    QVERIFY(QDir().mkpath(install + "/doc/tools"));
    QVERIFY(QFile::link(outside, install + "/doc/tools/Kestrane")); // a link, not a folder
    QVERIFY(QDir().mkpath(user + "/Kestrane"));
    QVERIFY(QDir().mkpath(install + "/bin/Other-pxm.so")); // a folder where a file belongs

    const QList<LeftoverItem> items =
        findLeftovers(install, user, QStringLiteral("Kestrane"), true);
    QCOMPARE(items.size(), 5);
    const QList<LeftoverKind> kinds = {LeftoverKind::ModuleFile, LeftoverKind::ModuleSignature,
                                       LeftoverKind::BinFolder, LeftoverKind::LibFolder,
                                       LeftoverKind::UserFolder};
    const QList<qint64> sizes = {100, 10, 5, 7, 0};
    const QList<int> counts = {1, 1, 1, 1, 0};
    for (qsizetype i = 0; i < items.size(); ++i) {
        const LeftoverItem &item = items.at(i);
        QCOMPARE(item.kind, kinds.at(i));
        QCOMPARE(item.name, QString("Kestrane"));
        QCOMPARE(item.path, leftoverPath(item.kind, install, user, item.name));
        QCOMPARE(item.isFolder, i >= 2);
        QCOMPARE(item.inInstallation, item.kind != LeftoverKind::UserFolder);
        QCOMPARE(item.size, sizes.at(i));
        QCOMPARE(item.fileCount, counts.at(i));
    }
    const QList<LeftoverItem> unsized =
        findLeftovers(install, user, QStringLiteral("Kestrane"), false);
    QCOMPARE(unsized.size(), 5);
    QCOMPARE(unsized.first().size, 0);

    QVERIFY(findLeftovers(install, user, QStringLiteral("Other"), true).isEmpty());
    QVERIFY(findLeftovers(install, user, QStringLiteral("Kestrane/../Kestrane"), true).isEmpty());
    QCOMPARE(findLeftovers(install, QString(), QStringLiteral("Kestrane"), false).size(), 4);
    QCOMPARE(findLeftovers(QString(), user, QStringLiteral("Kestrane"), false).size(), 1);

    // Requests are formed again from the folders; the type is not tested there, links are not
    // measured through.
    LeftoverItem item = itemFromRequest(QStringLiteral("file:Kestrane"), install, user);
    QCOMPARE(item.path, install + "/bin/Kestrane-pxm.so");
    QCOMPARE(item.size, 100);
    QVERIFY(!item.isFolder);
    QVERIFY(item.inInstallation);
    item = itemFromRequest(QStringLiteral("scripts:Kestrane"), install, user);
    QCOMPARE(item.path, install + "/src/scripts/Kestrane");
    QVERIFY(item.isFolder);
    item = itemFromRequest(QStringLiteral("tooldocs:Kestrane"), install, user);
    QCOMPARE(item.path, install + "/doc/tools/Kestrane");
    QCOMPARE(item.fileCount, 0);
    QCOMPARE(item.size, 0);
    item = itemFromRequest(QStringLiteral("user:Kestrane"), install, user);
    QVERIFY(!item.inInstallation);
    QCOMPARE(item.path, user + "/Kestrane");
    item = itemFromRequest(QStringLiteral("sig:Nobody"), install, user);
    QVERIFY(item.path.isEmpty());
    QCOMPARE(item.kind, LeftoverKind::ModuleSignature);
    QCOMPARE(item.name, QString("Nobody"));
    QVERIFY(itemFromRequest(QStringLiteral("nothing"), install, user).path.isEmpty());
}

void TestLeftovers::installFolder()
{
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    const QString noBin = tmp.filePath(QStringLiteral("NoBin"));
    const QString binFile = tmp.filePath(QStringLiteral("BinFile"));
    const QString good = tmp.filePath(QStringLiteral("Good"));
    QVERIFY(QDir().mkpath(noBin));
    QVERIFY(writeFile(binFile + "/bin", 1));
    QVERIFY(QDir().mkpath(good + "/bin"));
    QCOMPARE(findInstallDir({tmp.filePath(QStringLiteral("Missing")), noBin, binFile, good + "//./",
                             tmp.path()}),
             good);
    QCOMPARE(findInstallDir({noBin}), QString());
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
    item.kind = LeftoverKind::LibFolder;
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
    QVERIFY(!existsNoFollow(victim));
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
    QVERIFY(QFile::link(target, link));

    // A folder given as a link is not what the caller formed: neither the link nor what it
    // points to is touched.
    QVERIFY(!removeTree(link));
    QVERIFY(!removeTree(link + "/"));
    QVERIFY(!removeTree(link + "/."));
    QVERIFY(isLink(link));
    QCOMPARE(QFileInfo(target + "/keep.txt").size(), 8);

    QVERIFY(!removeTree(QString()));
    QVERIFY(!removeTree(QStringLiteral("/")));
    QVERIFY(!removeTree(QStringLiteral("relative/folder")));
    QVERIFY(!removeTree(tmp.filePath(QStringLiteral("missing"))));
    QVERIFY(!removeTree(target + "/keep.txt")); // a file is not a folder
    QVERIFY(QFileInfo::exists(target + "/keep.txt"));
    QVERIFY(!removeTree(target + QChar(0) + "/../other"));
    QVERIFY(QDir().mkpath(target + "/sub"));
    QVERIFY(!removeTree(target + "/sub/..")); // would name target itself
    QVERIFY(!removeTree(target + "/./sub"));
    QVERIFY(QFileInfo::exists(target + "/sub"));
    QVERIFY(QFileInfo::exists(target + "/keep.txt"));
}

void TestLeftovers::removeTreeWithoutRoot()
{
    if (::geteuid() != 0)
        QSKIP("needs root to hand the files to another user");
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(chmodTo(tmp.path(), 0755));
    const QString shared = tmp.filePath(QStringLiteral("shared"));
    const QString victim = shared + "/victim";
    QVERIFY(writeFile(victim + "/ro.txt", 2));
    QVERIFY(writeFile(victim + "/rodir/inner.txt", 3));
    for (const QString &path : QStringList{shared, victim, victim + "/ro.txt", victim + "/rodir",
                                           victim + "/rodir/inner.txt"})
        QVERIFY(chownTo(path, kNobody));
    QVERIFY(chmodTo(victim + "/ro.txt", 0444));
    QVERIFY(chmodTo(victim + "/rodir", 0555));

    // The owner of read-only files and folders can remove them without any special right.
    bool removed = false;
    {
        EffectiveUser nobody(kNobody);
        QVERIFY(nobody.ok());
        removed = removeTree(victim);
    }
    QVERIFY(removed);
    QVERIFY(!existsNoFollow(victim));
}

void TestLeftovers::removeTreeReportsWhatRemains()
{
    if (::geteuid() != 0)
        QSKIP("needs root to hand the files to another user");
    QTemporaryDir tmp;
    QVERIFY(tmp.isValid());
    QVERIFY(chmodTo(tmp.path(), 0755));
    const QString shared = tmp.filePath(QStringLiteral("shared"));
    const QString victim = shared + "/victim";
    QVERIFY(writeFile(victim + "/a-free.txt", 1));
    QVERIFY(writeFile(victim + "/locked/secret.txt", 6));
    QVERIFY(writeFile(victim + "/z-free.txt", 1));
    for (const QString &path :
         QStringList{shared, victim, victim + "/a-free.txt", victim + "/z-free.txt"})
        QVERIFY(chownTo(path, kNobody));
    // "locked" and its file stay root's: another user cannot empty it.

    bool removed = true;
    {
        EffectiveUser nobody(kNobody);
        QVERIFY(nobody.ok());
        removed = removeTree(victim);
    }
    QVERIFY(!removed);
    // The walk went on past the failure, and what could not go is still there.
    QVERIFY(!existsNoFollow(victim + "/a-free.txt"));
    QVERIFY(!existsNoFollow(victim + "/z-free.txt"));
    QCOMPARE(QFileInfo(victim + "/locked/secret.txt").size(), 6);
    QVERIFY(QFileInfo(victim).isDir());
}

QTEST_GUILESS_MAIN(TestLeftovers)
#include "tst_leftovers.moc"
