#include "environment/pixinsight.h"
#include "knowledge/leftovers.h"
#include "privileged/descriptorwalk.h"
#include "privileged/elevation.h"
#include "privileged/leftoverdeletion.h"
#include "support/effectiveuser.h"
#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <optional>

#include <fcntl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vrn;

#ifndef VARNEL_PROGRAM
#define VARNEL_PROGRAM "" // the helper modes are tested in the program itself where it is built
#endif

namespace {

using testdata::EffectiveUser;
using testdata::kNobody;

bool writeFile(const QString &path, qsizetype bytes)
{
    return testdata::writeFile(path, QByteArray(bytes, 'x'));
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

const QString kInstall = "/opt/PixInsight";
const QString kUser = "/home/u/.PixInsight/Pleiades";

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
            .split('|');
    names << "Kes" + QChar(0) + "trane" << QString(65, 'a');
    return names;
}

// A fake installation and user data folder, and beside them a folder nothing may touch. The
// module "Good" has a module file and a scripts folder; the rest are traps.
struct FakeInstall
{
    QTemporaryDir tmp;
    QString install = tmp.filePath("PixInsight"); // where a home's one is looked for
    QString outside = tmp.filePath("outside");
    QString goodFile = install + "/bin/Good-pxm.so";
    QString goodFolder = install + "/src/scripts/Good";

    bool make()
    {
        bool ok = tmp.isValid() && writeFile(goodFile, 5) && writeFile(goodFolder + "/a.js", 6) &&
                  writeFile(outside + "/dir/keep.txt", 7) && writeFile(outside + "/file.so", 9) &&
                  writeFile(outside + "/tools/Way/keep.txt", 7) &&
                  QDir().mkpath(install + "/bin/Folder-pxm.xsgn") &&
                  QDir().mkpath(install + "/doc") &&
                  writeFile(install + "/etc/update/installed.xri", 10);
        ok = ok && QFile::link(outside + "/file.so", install + "/bin/Linked-pxm.so") &&
             QFile::link(outside + "/dir", install + "/bin/LinkDir") &&
             QFile::link(outside + "/tools", install + "/doc/tools");
        return ok;
    }
    bool outsideIntact() const
    {
        return QFileInfo(outside + "/dir/keep.txt").size() == 7 &&
               QFileInfo(outside + "/file.so").size() == 9 &&
               QFileInfo(outside + "/tools/Way/keep.txt").size() == 7;
    }
};

const auto native = &QDir::toNativeSeparators;

// The requests queued and deleted through the window's flow by the user "nobody", with these
// stand-ins for pkexec and sudo and no PixInsight running; nothing when the user cannot switch.
std::optional<LeftoverReport> deleteQueuedAsNobody(const QStringList &requests,
                                                   const QString &install, ElevationTools tools)
{
    QList<LeftoverItem> items;
    for (const QString &request : requests)
        items.append(itemFromRequest(request, install, QString()));
    setElevationTools(tools);
    setPixInsightProcessQuery([] { return QList<qint64>(); });
    std::optional<LeftoverReport> report;
    if (EffectiveUser nobody(kNobody); nobody.ok())
        report = deleteQueuedLeftovers(items, install, QString());
    setElevationTools({});
    setPixInsightProcessQuery({});
    return report;
}

const QString kNotRemoved = ": could not be removed (in use, or no permission)";

} // namespace

class TestLeftovers : public QObject
{
    Q_OBJECT

private slots:
    void cleanup()
    {
        setLeftoverCheckedHook({});
        setWalkStepHook({});
    }

    void names_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<bool>("safe");
        for (const char *name : {"Kestrane", "Kestrane.v2", "x_1-2", "9lives", "Bin2", "x-", "a.b"})
            QTest::newRow(name) << QString::fromLatin1(name) << true;
        QTest::newRow("64 characters") << QString(64, 'a') << true;
        for (const QString &name : hostileNames()) {
            const QByteArray tag = name.toUtf8().replace('\n', "\\n").replace('\0', "\\0");
            QTest::addRow("hostile \"%s\"", tag.constData()) << name << false;
        }
    }

    // A path is formed only for a safe name, and then it lies directly in the kind's folder,
    // whatever the folders look like; a request for it forms the same path or none.
    void names()
    {
        QFETCH(QString, name);
        QFETCH(bool, safe);
        QCOMPARE(isSafeName(name), safe);
        for (const QString &folder : QStringList{kInstall, "/", "/opt/PixInsight/", "/a/../opt"}) {
            for (int k = 0; k <= 7; ++k) {
                const auto kind = LeftoverKind(k);
                const QString path = leftoverPath(kind, folder, folder, name);
                const QString request = leftoverKeyword(kind) + ':' + name;
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

    void kindsAndRequests()
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
            {"user", "user data folder", "/home/u/.PixInsight/Pleiades/Kestrane"}};
        for (int k = 0; k <= 8; ++k) {
            const auto kind = LeftoverKind(k);
            const Kind expected = k < 8 ? kinds[k] : Kind{"", "", ""}; // 8: no such kind
            QCOMPARE(leftoverKeyword(kind), QString(expected.keyword));
            QCOMPARE(leftoverLabel(kind), QString(expected.label));
            QCOMPARE(leftoverPath(kind, kInstall, kUser, "Kestrane"), QString(expected.path));
        }
        // Relative folders form nothing: they would depend on the current folder.
        QCOMPARE(leftoverPath(LeftoverKind::BinFolder, "opt/PixInsight", kUser, "K"), QString());
        QCOMPARE(leftoverPath(LeftoverKind::UserFolder, kInstall, "Pleiades", "K"), QString());
        LeftoverKind kind;
        QString name;

        // A request splits at its first colon; malformed ones do not parse at all.
        QVERIFY(parseRequest("file:a:b", &kind, &name));
        QVERIFY(kind == LeftoverKind::ModuleFile && name == "a:b");
        for (const char *text :
             {":x", "File:x", "nothing", " file:x", "file :x", "/opt/PixInsight/bin/x", ""})
            QVERIFY2(!parseRequest(QString::fromLatin1(text), nullptr, nullptr), text);
    }

    void findOnDisk()
    {
        QTemporaryDir tmp;
        const QString install = tmp.filePath("PixInsight");
        const QString user = tmp.filePath("Pleiades");
        const QString outside = tmp.filePath("outside");
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
            return QString("%1 %2 %3 %4 %5/%6")
                .arg(requestText(item),
                     item.path.isEmpty() ? "-" : QDir(tmp.path()).relativeFilePath(item.path),
                     item.isFolder ? "folder" : "file", item.inInstallation ? "installed" : "user")
                .arg(item.size)
                .arg(item.fileCount);
        };
        // Links are neither followed nor counted; hidden files are.
        QStringList found;
        for (const LeftoverItem &item : findLeftovers(install, user, "Kestrane", true))
            found.append(describe(item));
        QCOMPARE(found,
                 (QStringList{"file:Kestrane PixInsight/bin/Kestrane-pxm.so file installed 100/1",
                              "sig:Kestrane PixInsight/bin/Kestrane-pxm.xsgn file installed 10/1",
                              "bin:Kestrane PixInsight/bin/Kestrane folder installed 5/1",
                              "lib:Kestrane PixInsight/lib/Kestrane folder installed 7/1",
                              "user:Kestrane Pleiades/Kestrane folder user 0/0"}));
        for (const LeftoverItem &item : findLeftovers(install, user, "Kestrane", false))
            QCOMPARE(item.size, 0);
        QVERIFY(findLeftovers(install, user, "Other", true).isEmpty());
        QCOMPARE(findLeftovers(install, QString(), "Kestrane", false).size(), 4);
        QCOMPARE(findLeftovers(QString(), user, "Kestrane", false).size(), 1);

        // Requests are formed again from the folders; the type is not tested there, links are not
        // measured through.
        found.clear();
        for (const char *request : {"file:Kestrane", "scripts:Kestrane", "tooldocs:Kestrane",
                                    "user:Kestrane", "sig:Nobody"})
            found.append(describe(itemFromRequest(QString::fromLatin1(request), install, user)));
        QCOMPARE(found, (QStringList{
                            "file:Kestrane PixInsight/bin/Kestrane-pxm.so file installed 100/1",
                            "scripts:Kestrane PixInsight/src/scripts/Kestrane folder installed 3/1",
                            "tooldocs:Kestrane PixInsight/doc/tools/Kestrane folder installed 0/0",
                            "user:Kestrane Pleiades/Kestrane folder user 0/0",
                            "sig:Nobody - file installed 0/0"}));

        // The installation folder is the first candidate with a "bin" folder, cleaned.
        QVERIFY(QDir().mkpath(tmp.filePath("NoBin")));
        QVERIFY(writeFile(tmp.filePath("BinFile/bin"), 1));
        QCOMPARE(findInstallDir({tmp.filePath("Missing"), tmp.filePath("NoBin"),
                                 tmp.filePath("BinFile"), install + "//./", user}),
                 install);
        QCOMPARE(findInstallDir({tmp.filePath("NoBin")}), QString());
    }

    void measureStopsAt50000Files()
    {
        QTemporaryDir tmp;
        const QString folder = tmp.filePath("big");
        const QByteArray name = QFile::encodeName(folder);
        QVERIFY(QDir().mkpath(folder + "/part0") && QDir().mkpath(folder + "/part1") &&
                QDir().mkpath(folder + "/part2"));
        // 50,003 files of two bytes each: links to three files beside the folder, which are made
        // many times faster than new files (each well under any file system's link limit).
        const QByteArray base = QFile::encodeName(tmp.path());
        for (const char *part : {"0", "1", "2"})
            QVERIFY(testdata::writeFile(tmp.filePath(part), "ab"));
        for (int i = 0; i < 50003; ++i) {
            const QByteArray part = QByteArray::number(i % 3);
            const QByteArray target = base + '/' + part;
            const QByteArray entry = name + "/part" + part + "/f" + QByteArray::number(i);
            QCOMPARE(::link(target.constData(), entry.constData()), 0);
        }
        LeftoverItem item{LeftoverKind::ModuleFile, {}, folder, false, false, -1, 0};
        measure(item);
        QCOMPARE(item.fileCount, 50000);
        QCOMPARE(item.size, 100000);
    }

    // The walk removes everything below the folder and nothing through a link, not even making a
    // link's target writable. A folder given as a link is not what the caller formed: neither
    // the link nor what it points to is touched; nor is anything named through "." or "..", a
    // file, or nothing.
    void removeTreeFollowsNoLink()
    {
        QTemporaryDir tmp;
        const QString outside = tmp.filePath("outside");
        const QString victim = tmp.filePath("victim");
        const QString link = tmp.filePath("link");
        QVERIFY(writeFile(outside + "/dir/keep.txt", 12) && writeFile(outside + "/file.txt", 34));
        QVERIFY(QDir().mkpath(outside + "/dir/sub") && chmodTo(outside + "/file.txt", 0444));
        QVERIFY(writeFile(victim + "/sub/deeper/f.txt", 5) && writeFile(victim + "/.hidden", 1));
        QVERIFY(writeFile(victim + "/ro.txt", 2) && chmodTo(victim + "/ro.txt", 0444));
        QVERIFY(writeFile(victim + "/rodir/inner.txt", 3) && chmodTo(victim + "/rodir", 0555));
        QVERIFY(QFile::link(outside + "/dir", victim + "/link-to-folder"));
        QVERIFY(QFile::link(outside + "/dir", victim + "/sub/link-to-folder"));
        QVERIFY(QFile::link(outside + "/file.txt", victim + "/link-to-file"));
        QVERIFY(QFile::link(tmp.filePath("nowhere"), victim + "/dangling"));
        QCOMPARE(::mkfifo(QFile::encodeName(victim + "/pipe").constData(), 0600), 0);
        QVERIFY(QFile::link(outside + "/dir", link));

        QVERIFY(removeTree(victim));
        QVERIFY(!onDisk(victim));
        const QString target = outside + "/dir";
        for (const QString &folder :
             QStringList{link, link + "/", link + "/.", QString(), "/", "relative/folder",
                         tmp.filePath("missing"), target + "/keep.txt",
                         target + QChar(0) + "/../other", target + "/sub/..", target + "/./sub"})
            QVERIFY2(!removeTree(folder), qPrintable(folder));
        QVERIFY(QFileInfo(link).isSymLink());
        QVERIFY(QFileInfo(target + "/sub").isDir());
        QCOMPARE(QFileInfo(target + "/keep.txt").size(), 12);
        QCOMPARE(QFileInfo(outside + "/file.txt").size(), 34);
        struct stat st;
        QCOMPARE(::stat(QFile::encodeName(outside + "/file.txt").constData(), &st), 0);
        QCOMPARE(st.st_mode & 07777, mode_t(0444));
    }

    void removeTreeAsOwner_data()
    {
        QTest::addColumn<bool>("foreignFolder");
        QTest::newRow("read-only file and folder") << false;
        QTest::newRow("a folder of another user inside") << true;
    }

    // As the owner of read-only files and folders, without any special right: they go. A folder
    // that user cannot empty stays, the walk goes on past it and the result says so.
    void removeTreeAsOwner()
    {
        if (::geteuid() != 0)
            QSKIP("needs root to hand the files to another user");
        QFETCH(bool, foreignFolder);
        QTemporaryDir tmp;
        QVERIFY(chmodTo(tmp.path(), 0755));
        const QString shared = tmp.filePath("shared");
        const QString victim = shared + "/victim";
        QStringList owned = {shared, victim};
        for (const char *name :
             {"/a-free.txt", "/ro.txt", "/rodir", "/rodir/inner.txt", "/z-free.txt"})
            owned << victim + name;
        for (const QString &path : owned.mid(2))
            QVERIFY(path.endsWith("rodir") ? QDir().mkpath(path) : writeFile(path, 2));
        if (foreignFolder)
            QVERIFY(writeFile(victim + "/locked/secret.txt", 6)); // stays root's
        for (const QString &path : owned)
            QVERIFY(::lchown(QFile::encodeName(path).constData(), kNobody, kNobody) == 0);
        QVERIFY(chmodTo(victim + "/ro.txt", 0444) && chmodTo(victim + "/rodir", 0555));

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

    void deletionRefusals_data()
    {
        QTest::addColumn<QString>("request");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");    // %1: the installation folder
        QTest::addColumn<QString>("checkFails"); // non-empty: the running check, failing so
        const auto row = [](const char *name, const char *request, int code, const QString &message,
                            const char *checkFails = "") {
            QTest::newRow(name) << request << code << message << checkFails;
        };
        const QString unacceptable =
            "%1 is not acceptable (an unsafe name, or a location that is not known).";
        const QString link = "%1 is a link to somewhere else and is not touched.";
        row("unparsable", "nothing", 4, "nothing is not a recognized request.");
        row("unsafe name", "bin:../x", 4, unacceptable.arg("bin:../x"));
        row("no user folder", "user:Good", 4, unacceptable.arg("user:Good"));
        row("missing", "sig:Good", 3, "%1/bin/Good-pxm.xsgn does not exist.");
        row("wrong kind", "sig:Folder", 4,
            "%1/bin/Folder-pxm.xsgn is not the kind of item that was asked for.");
        row("link to a file", "file:Linked", 4, link.arg("%1/bin/Linked-pxm.so"));
        row("link to a folder", "bin:LinkDir", 4, link.arg("%1/bin/LinkDir"));
        row("link on the way", "tooldocs:Way", 4, link.arg("%1/doc/tools/Way"));
        row("running check failed", "scripts:Good", 2,
            "Could not check whether PixInsight is running (no process list). It may be running. "
            "Close it first.",
            "no process list");
    }

    // One bad request among good ones stops the run before anything is deleted, and so does a
    // running check that could not be made.
    void deletionRefusals()
    {
        QFETCH(QString, request);
        QFETCH(QString, message);
        QFETCH(QString, checkFails);
        FakeInstall fake;
        QVERIFY(fake.make());
        if (!checkFails.isEmpty())
            setPixInsightProcessQuery([&] { return PixInsightCheck::failed(checkFails); });
        const LeftoverDeletion result = deleteLeftovers(
            {"file:Good", request, "scripts:Good"}, fake.install, QString(), !checkFails.isEmpty());
        // The window's own path refuses the same way, before any helper could run.
        const LeftoverReport queued =
            checkFails.isEmpty()
                ? LeftoverReport()
                : deleteQueuedLeftovers({itemFromRequest("file:Good", fake.install, QString())},
                                        fake.install, QString());
        setPixInsightProcessQuery({});
        QCOMPARE(queued.problems.value(0).startsWith(
                     "Could not check whether PixInsight is running (no process list). It may be "
                     "running: close it first. These were not deleted:"),
                 !checkFails.isEmpty());
        QTEST(result.code, "code");
        QCOMPARE(result.message, message.arg(native(fake.install)));
        QCOMPARE(result.removed, 0);
        QVERIFY(onDisk(fake.goodFile));
        QVERIFY(onDisk(fake.goodFolder + "/a.js"));
        QVERIFY(QFileInfo(fake.install + "/bin/Linked-pxm.so").isSymLink());
        QVERIFY(QFileInfo(fake.install + "/bin/LinkDir").isSymLink());
        QVERIFY(fake.outsideIntact());
    }

    void swappedAfterCheck_data()
    {
        QTest::addColumn<bool>("swapFolder");
        QTest::addColumn<bool>("forLink"); // false: for another item of the same kind
        QTest::newRow("module file for a link") << false << true;
        QTest::newRow("scripts folder for a link") << true << true;
        QTest::newRow("module file for another file") << false << false;
        QTest::newRow("scripts folder for another folder") << true << false;
    }

    // An item replaced between the check and the deletion is neither followed nor removed, nor is
    // the one moved away; the other item goes and the run reports the one that stayed.
    void swappedAfterCheck()
    {
        QFETCH(bool, swapFolder);
        QFETCH(bool, forLink);
        FakeInstall fake;
        QVERIFY(fake.make());
        const QString swapped = swapFolder ? fake.goodFolder : fake.goodFile;
        const QString other = swapFolder ? fake.goodFile : fake.goodFolder;
        const QString moved = fake.outside + (swapFolder ? "/moved/a.js" : "/moved");
        bool swappedOk = false;
        setLeftoverCheckedHook([&] {
            swappedOk =
                QFile::rename(swapped, fake.outside + "/moved") &&
                (forLink ? QFile::link(fake.outside + (swapFolder ? "/dir" : "/file.so"), swapped)
                         : writeFile(swapFolder ? swapped + "/new.js" : swapped, 4));
        });
        const LeftoverDeletion result =
            deleteLeftovers({"file:Good", "scripts:Good"}, fake.install, QString(), false);
        QVERIFY(swappedOk);
        QCOMPARE(result.code, 5);
        QCOMPARE(result.removed, 1);
        QCOMPARE(result.message,
                 "Some items could not be removed: " + native(swapped) + kNotRemoved);
        QVERIFY(!onDisk(other));
        if (forLink)
            QVERIFY(QFileInfo(swapped).isSymLink());
        else
            QCOMPARE(QFileInfo(swapFolder ? swapped + "/new.js" : swapped).size(), 4);
        QCOMPARE(QFileInfo(moved).size(), swapFolder ? 6 : 5);
        QVERIFY(fake.outsideIntact());
    }

    void swappedWhileRemoved_data()
    {
        QTest::addColumn<WalkStep>("step");
        QTest::addColumn<QString>("folder"); // the one swapped, below the scripts folder of Good
        QTest::addColumn<int>("code");
        const auto open = WalkStep::Open, remove = WalkStep::Remove;
        QTest::newRow("item, while it is checked") << open << "" << 4;
        QTest::newRow("subfolder, before it is emptied") << open << "/sub" << 5;
        QTest::newRow("subfolder, emptied, before it is removed") << remove << "/sub" << 5;
    }

    // Another program swaps a folder for another one between the walk's look at it and what it
    // does on that look: the walk notices, and the folder swapped in keeps what it holds (once
    // emptied, only an empty one could be removed, so that is what comes).
    void swappedWhileRemoved()
    {
        QFETCH(WalkStep, step);
        QFETCH(QString, folder);
        FakeInstall fake;
        QVERIFY(fake.make() && writeFile(fake.goodFolder + "/sub/deeper/b.js", 2));
        const QString target = fake.goodFolder + folder;
        const QByteArray name = QFile::encodeName(QFileInfo(target).fileName());
        const bool filled = step == WalkStep::Open;
        bool swapped = false;
        setWalkStepHook([&](WalkStep at, int, const char *entry) {
            if (at == step && name == entry && !swapped)
                swapped = QFile::rename(target, fake.outside + "/moved") && QDir().mkdir(target) &&
                          (!filled || writeFile(target + "/theirs.txt", 3));
        });
        const LeftoverDeletion result =
            deleteLeftovers({"scripts:Good"}, fake.install, QString(), false);
        QVERIFY(swapped);
        QTEST(result.code, "code");
        QVERIFY(QFileInfo(target).isDir());
        QCOMPARE(QFileInfo(target + "/theirs.txt").size(), filled ? 3 : 0);
        QVERIFY(fake.outsideIntact());
    }

    // With only a few descriptors to spare: any number of items goes, and a tree too deep to walk
    // with them is said to be that, not blamed on the files.
    void fewDescriptors()
    {
        QTemporaryDir tmp;
        const QString scripts = tmp.filePath("PixInsight/src/scripts/M");
        QStringList requests;
        for (int i = 0; i < 100; ++i) {
            QVERIFY(writeFile(tmp.filePath("PixInsight/bin/M%1-pxm.so").arg(i), 1));
            const QString deep = QString("/d").repeated(i == 0 ? 40 : 1);
            QVERIFY(writeFile(scripts + QString::number(i) + deep + "/a.js", 1));
            requests << QString("file:M%1").arg(i) << QString("scripts:M%1").arg(i);
        }
        rlimit old;
        QVERIFY(::getrlimit(RLIMIT_NOFILE, &old) == 0);
        // As under a low "ulimit -n": 16 free below the limit, where new descriptors are taken.
        QSet<int> open;
        for (const QString &fd : QDir("/proc/self/fd").entryList(QDir::AllEntries | QDir::System))
            open.insert(fd.toInt());
        rlimit few{0, old.rlim_max};
        for (int free = 0; free < 16; ++few.rlim_cur)
            free += open.contains(int(few.rlim_cur)) ? 0 : 1;
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &few) == 0);
        const LeftoverDeletion result =
            deleteLeftovers(requests, tmp.filePath("PixInsight"), QString(), false);
        QVERIFY(::setrlimit(RLIMIT_NOFILE, &old) == 0);
        QCOMPARE(result.message, QString("Some items could not be removed: %1: could not be "
                                         "removed (too many files open at once: the limit is %2)")
                                     .arg(native(scripts + "0"))
                                     .arg(few.rlim_cur));
        QCOMPARE(result.removed, 199);
        QCOMPARE(QDir(QFileInfo(scripts).path()).entryList(QDir::NoDotAndDotDot | QDir::AllEntries),
                 QStringList("M0"));
    }

    void folderOnTheWaySwappedForLink_data()
    {
        QTest::addColumn<QString>("request");
        QTest::newRow("folder item") << "scripts:Foo";
        QTest::newRow("file item") << "file:Foo";
    }

    // The first folder on the way to the item trades places with a link to the same layout
    // outside between the check and the deletion: the item checked goes, the copy outside stays.
    void folderOnTheWaySwappedForLink()
    {
        QFETCH(QString, request);
        QTemporaryDir tmp;
        const QString install = tmp.filePath("PixInsight");
        LeftoverKind kind;
        QString name;
        QVERIFY(parseRequest(request, &kind, &name));
        const QString inside = leftoverPath(kind, install, QString(), name);
        const QString file = kind == LeftoverKind::ModuleFile ? "" : "/a.js";
        const QString relative = QDir(install).relativeFilePath(inside);
        const QString outside = tmp.filePath("outside/") + relative;
        const QString way = relative.section('/', 0, 0);
        QVERIFY(writeFile(inside + file, 3) && writeFile(outside + file, 4));
        QVERIFY(QFile::link(tmp.filePath("outside/") + way, install + "/swap"));
        const QByteArray real = QFile::encodeName(install + '/' + way);
        const QByteArray link = QFile::encodeName(install + "/swap");
        bool swapped = false;
        setLeftoverCheckedHook([&] {
            swapped = ::renameat2(AT_FDCWD, real.constData(), AT_FDCWD, link.constData(),
                                  RENAME_EXCHANGE) == 0;
        });
        const LeftoverDeletion result = deleteLeftovers({request}, install, QString(), false);
        QVERIFY(swapped);
        QCOMPARE(result.message, QString());
        QCOMPARE(result.code, 0);
        QCOMPARE(QFileInfo(outside + file).size(), 4);
        QVERIFY(!onDisk(install + "/swap/" + relative.section('/', 1)));
    }

    void mountPointsNotEntered_data()
    {
        QTest::addColumn<QString>("mountAt"); // below the scripts folder of Good
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");
        QTest::newRow("inside the folder item")
            << "/inner" << 5 << "Some items could not be removed: %1" + kNotRemoved;
        QTest::newRow("the folder item itself")
            << "" << 4 << "%1 is a mount point and is not touched.";
    }

    // A folder mounted again inside an item (a bind mount of the same file system, so the device
    // number is the same) is not emptied through it.
    void mountPointsNotEntered()
    {
        QFETCH(QString, mountAt);
        QFETCH(QString, message);
        if (::geteuid() != 0)
            QSKIP("needs root to mount");
        FakeInstall fake;
        QVERIFY(fake.make() && QDir().mkpath(fake.goodFolder + mountAt));
        const QByteArray target = QFile::encodeName(fake.goodFolder + mountAt);
        if (::mount(QFile::encodeName(fake.outside).constData(), target.constData(), nullptr,
                    MS_BIND, nullptr) != 0)
            QSKIP("cannot mount here");
        const LeftoverDeletion result =
            deleteLeftovers({"scripts:Good"}, fake.install, QString(), false);
        QCOMPARE(::umount2(target.constData(), MNT_DETACH), 0);
        QTEST(result.code, "code");
        QCOMPARE(result.message, message.arg(native(fake.goodFolder)));
        QVERIFY(fake.outsideIntact());
    }

    void launcher_data()
    {
        QTest::addColumn<QString>("tool"); // the fake tool's name, or "" for none at all
        QTest::addColumn<QString>("script");
        QTest::addColumn<int>("status");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QString>("message");
        const auto row = [](const char *name, const char *tool, const char *script,
                            ElevatedResult::Status status, int exitCode, const char *message) {
            QTest::newRow(name) << tool << script << int(status) << exitCode << message;
        };
        using R = ElevatedResult;
        row("pkexec ran", "pkexec", "exit 4", R::Ran, 4, "");
        row("pkexec dismissed", "pkexec", "exit 126", R::Denied, -1, "");
        row("pkexec failed", "pkexec", "exit 127", R::Failed, -1,
            "pkexec could not run the helper");
        row("sudo ran", "sudo", "exit 0", R::Ran, 0, "");
        row("sudo wants a password", "sudo", "exit 1", R::Failed, -1,
            "sudo needs a password and cannot ask for one here; install polkit to be asked for it");
        row("helper killed", "sudo", "kill -9 $$", R::Failed, -1,
            "the helper stopped unexpectedly");
        row("too slow", "pkexec", "exec sleep 60", R::Failed, -1,
            "the helper did not finish in two minutes");
        row("not executable", "pkexec", "", R::Failed, -1, "%1 could not be started");
        row("no tool", "", "", R::Unavailable, -1,
            "no authorisation tool (pkexec or sudo) is installed");
    }

    // The launcher through stand-ins for pkexec and sudo: what they are given, and how their
    // exit codes are read.
    void launcher()
    {
        QFETCH(QString, tool);
        QFETCH(QString, script);
        QFETCH(int, status);
        QFETCH(int, exitCode);
        QFETCH(QString, message);
        QTemporaryDir tmp;
        const QString toolPath = tmp.filePath(tool.isEmpty() ? "none" : tool);
        const QString argsFile = tmp.filePath("args");
        if (!tool.isEmpty()) {
            const QString text = QString("#!/bin/sh\nprintf '%s\\n' \"$@\" > '%1'\n%2\n");
            QVERIFY(testdata::writeFile(toolPath, text.arg(argsFile, script).toUtf8()));
            QVERIFY(chmodTo(toolPath, script.isEmpty() ? 0644 : 0755));
        }
        const QString missing = tmp.filePath("missing");
        ElevationTools tools{tool == "pkexec" ? toolPath : missing,
                             tool == "sudo" ? toolPath : missing, "/the/program", 0, 300};
        setElevationTools(tools);
        const bool available = elevationAvailable();
        const ElevatedResult result = runElevated({"--leftovers-helper", "delete", "file:Good"});
        setElevationTools({});
        QCOMPARE(available, !tool.isEmpty());
        QCOMPARE(int(result.status), status);
        QCOMPARE(result.exitCode, exitCode);
        QCOMPARE(result.message, message.arg(toolPath));
        QStringList expectedArgs = {"/the/program", "--leftovers-helper", "delete", "file:Good"};
        if (tool == "sudo")
            expectedArgs.prepend("-n");
        QVERIFY(script.isEmpty() ? !onDisk(argsFile) : onDisk(argsFile));
        if (!script.isEmpty())
            QCOMPARE(QString(testdata::readFile(argsFile)).split('\n', Qt::SkipEmptyParts),
                     expectedArgs);
    }

    void helperProcess_data()
    {
        QTest::addColumn<QStringList>("requests");
        QTest::addColumn<bool>("installed");
        QTest::addColumn<bool>("running");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("why"); // the start of what it prints
        const QStringList good = {"file:Good", "scripts:Good"};
        const auto row = [](const char *name, const QStringList &requests, bool installed,
                            bool running, int code, const char *why) {
            QTest::newRow(name) << requests << installed << running << code << why;
        };
        row("deleted", good, true, false, 0, "");
        row("PixInsight running", good, true, true, 2, "PixInsight is running. Close it first.");
        row("no installation", good, false, false, 3, "No PixInsight installation was found");
        row("user folder", good + QStringList("user:Good"), true, false, 4,
            "\"user:Good\" names a folder in the user's own data folder");
        row("leading space", good + QStringList(" file:Good"), true, false, 4,
            "\" file:Good\" is not a recognized request; nothing was deleted.");
        row("nothing named", {}, true, false, 6, "The command line was not understood");
        // The other helper, on the same installation, which has a record file.
        const QString records = "--installed-updates-helper";
        row("records: restore and more", {records, "restore", "x"}, true, false, 6,
            "The command line was not understood; nothing was changed.");
        row("records: unknown verb", {records, "undo"}, true, false, 6,
            "The command line was not understood; nothing was changed.");
        row("records: not found", {records, "restore"}, false, false, 3,
            "PixInsight's record of installed updates was not found");
    }

    // The program itself in its helper mode, finding the installation in its home folder.
    void helperProcess()
    {
        QFETCH(QStringList, requests);
        QFETCH(bool, installed);
        QFETCH(bool, running);
        QFETCH(int, code);
        QFETCH(QString, why);
        if (QString(VARNEL_PROGRAM).isEmpty())
            QSKIP("the program is not built here");
        if (QFileInfo::exists("/opt/PixInsight/bin"))
            QSKIP("the helper would find the installation in /opt/PixInsight first");
        if (!running && isPixInsightRunning())
            QSKIP("another process named PixInsight runs on this machine; the helper would refuse");
        FakeInstall fake;
        QVERIFY(fake.make());
        QProcess pixInsight;
        if (running) {
            const QString fakePixInsight = fake.outside + "/PixInsight";
            QVERIFY(QFile::copy("/bin/sleep", fakePixInsight));
            pixInsight.start(fakePixInsight, {"60"});
            QVERIFY(pixInsight.waitForStarted());
        }
        QProcess helper;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", installed ? fake.tmp.path() : fake.outside);
        helper.setProcessEnvironment(env);
        helper.start(QString(VARNEL_PROGRAM),
                     requests.value(0).startsWith("--")
                         ? requests
                         : QStringList{"--leftovers-helper", "delete"} + requests);
        QVERIFY(helper.waitForFinished(30000));
        pixInsight.kill();
        pixInsight.waitForFinished();
        QCOMPARE(helper.exitStatus(), QProcess::NormalExit);
        QCOMPARE(helper.exitCode(), code);
        const QString said = helper.readAllStandardError();
        QVERIFY2(why.isEmpty() ? said.isEmpty() : said.startsWith(why), qPrintable(said));
        QCOMPARE(onDisk(fake.goodFile), code != 0);
        QCOMPARE(onDisk(fake.goodFolder), code != 0);
        QVERIFY(fake.outsideIntact());
    }

    void deletionWithUserRights_data()
    {
        QTest::addColumn<bool>("sudo");
        QTest::newRow("administrator rights cannot be asked for") << false;
        QTest::newRow("administrator rights through sudo") << true;
    }

    // The window's flow for a user who may delete the module file but not the scripts folder:
    // the file goes with the user's own rights, the folder through the helper and "sudo -n" where
    // there is sudo (as in CI). The helper finds /opt/PixInsight itself: a fake one is made there
    // only where there is none, and removed again.
    void deletionWithUserRights()
    {
        QFETCH(bool, sudo);
        if (::geteuid() != 0 ||
            (sudo && (QString(VARNEL_PROGRAM).isEmpty() || !QFileInfo::exists("/usr/bin/sudo"))))
            QSKIP("needs root to hand the files to another user, and the program and sudo");
        QTemporaryDir tmp;
        const QString install = sudo ? "/opt/PixInsight" : tmp.filePath("PixInsight");
        if (sudo && (onDisk(install) || isPixInsightRunning()))
            QSKIP("/opt/PixInsight exists, or a process named PixInsight runs here");
        const auto cleanup = qScopeGuard([&] { removeTree(install); });
        const QString file = install + "/bin/VarnelTestModule-pxm.so";
        const QString folder = install + "/src/scripts/VarnelTestModule";
        QVERIFY(writeFile(file, 3) && writeFile(folder + "/a.js", 4));
        QVERIFY(chmodTo(tmp.path(), 0755) &&
                ::lchown(QFile::encodeName(install + "/bin").constData(), kNobody, kNobody) == 0);
        const auto report = deleteQueuedAsNobody(
            {"file:VarnelTestModule", "scripts:VarnelTestModule"}, install,
            {tmp.filePath("no-pkexec"), sudo ? "" : tmp.filePath("no-sudo"), VARNEL_PROGRAM, 0, 0});
        QVERIFY(report);
        QCOMPARE(report->problems,
                 sudo
                     ? QStringList()
                     : QStringList("Deleting these needs administrator rights, which this program "
                                   "cannot request on this system yet. Delete them yourself:\n   " +
                                   native(folder)));
        QCOMPARE(report->deleted, sudo ? 2 : 1);
        QVERIFY(!onDisk(file));
        QCOMPARE(onDisk(folder + "/a.js"), !sudo);
    }
};

QTEST_GUILESS_MAIN(TestLeftovers)
#include "tst_leftovers.moc"
