#include "environment/discovery.h"

#include <QCryptographicHash>
#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

using namespace vrn;

namespace {

const QString kSettings = QStringLiteral("core-1-pxi.settings");
const QString kBackup = QStringLiteral("core-1-pxi.settings.bak-20261205-102233");

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

bool setModified(const QString &path, const QDateTime &time)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) &&
           file.setFileTime(time, QFileDevice::FileModificationTime);
}

// Every entry below a folder, links described by their target, files by their content: two
// snapshots are equal when nothing was moved, deleted or changed.
QStringList snapshot(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QString path = it.next();
        const QFileInfo info(path);
        QString what;
        if (info.isSymLink()) {
            what = QStringLiteral("link to ") + info.symLinkTarget();
        } else if (info.isDir()) {
            what = QStringLiteral("folder");
        } else {
            QFile file(path);
            file.open(QIODevice::ReadOnly);
            what = QString::fromLatin1(
                QCryptographicHash::hash(file.readAll(), QCryptographicHash::Sha256).toHex());
        }
        out.append(path.mid(root.size()) + QStringLiteral(": ") + what);
    }
    out.sort();
    return out;
}

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void cleanup();
    void configDirectoriesInOrder();
    void settingsFilesFound();
    void instanceNumbers_data();
    void instanceNumbers();
    void labels_data();
    void labels();
    void backupsNewestFirst();
    void removalRefusesWhatIsNotABackup_data();
    void removalRefusesWhatIsNotABackup();
    void removalCountsInOrder();
    void removalToTheRealTrash();
    void removalWithoutTrash();

private:
    QTemporaryDir m_home;
    QString m_config;
    QString m_data;
};

void TestDiscovery::initTestCase()
{
    // Discovery is under test here, so the real locations are used, inside a made-up home.
    QVERIFY(m_home.isValid());
    m_config = m_home.filePath(QStringLiteral("cfg"));
    m_data = m_home.filePath(QStringLiteral("data"));
    qputenv("HOME", QFile::encodeName(m_home.path()));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data));
    QCOMPARE(QDir::homePath(), m_home.path());
}

void TestDiscovery::cleanup()
{
    setTrashFunction({});
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
    qputenv("XDG_DATA_HOME", QFile::encodeName(m_data));
}

void TestDiscovery::configDirectoriesInOrder()
{
    const QString home = m_home.path();
    QCOMPARE(configDirectories(), (QStringList{home + "/.PixInsight", m_config + "/Pleiades",
                                               home + "/.config/Pleiades"}));
    // The default configuration folder is home/.config: the same folder is listed once.
    qunsetenv("XDG_CONFIG_HOME");
    QCOMPARE(configDirectories(), (QStringList{home + "/.PixInsight", home + "/.config/Pleiades"}));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + "/.config/"));
    QCOMPARE(configDirectories(), (QStringList{home + "/.PixInsight", home + "/.config/Pleiades"}));
}

void TestDiscovery::settingsFilesFound()
{
    const QString first = m_home.filePath(QStringLiteral(".PixInsight"));
    const QString second = m_config + QStringLiteral("/Pleiades");
    QVERIFY(findSettingsFiles().isEmpty()); // no folder exists yet
    for (const char *name : {"core-2-pxi.settings", "core-1-pxi.settings", "core-10-pxi.settings",
                             "Core-3-pxi.settings", "core-1-pxi.settings.bak-20261205-102233",
                             "core-x-pxi.settings.txt"})
        QVERIFY(writeBytes(first + QLatin1Char('/') + QLatin1String(name), "<xsdt/>"));
    QVERIFY(QDir().mkpath(first + QStringLiteral("/core-4-pxi.settings"))); // a folder
    QVERIFY(writeBytes(second + QStringLiteral("/core-1-pxi.settings"), "<xsdt/>"));
    QCOMPARE(findSettingsFiles(),
             (QStringList{first + "/core-1-pxi.settings", first + "/core-10-pxi.settings",
                          first + "/core-2-pxi.settings", second + "/core-1-pxi.settings"}));
    QVERIFY(QDir(first).removeRecursively());
    QVERIFY(QDir(second).removeRecursively());
}

void TestDiscovery::instanceNumbers_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<int>("number");
    QTest::newRow("twelve") << "core-12-pxi.settings" << 12;
    QTest::newRow("in a folder") << "/home/u/.PixInsight/core-3-pxi.settings" << 3;
    QTest::newRow("leading zeros") << "core-007-pxi.settings" << 7;
    QTest::newRow("largest") << "core-2147483647-pxi.settings" << 2147483647;
    QTest::newRow("beyond 32 bits") << "core-2147483648-pxi.settings" << 0;
    QTest::newRow("not a number") << "core-x-pxi.settings" << 0;
    QTest::newRow("negative") << "core--1-pxi.settings" << 0;
    QTest::newRow("backup") << "core-1-pxi.settings.bak-20261205-102233" << 0;
    QTest::newRow("capital C") << "Core-1-pxi.settings" << 0;
    QTest::newRow("other digits") << QString::fromUtf8("core-\u0661-pxi.settings") << 0;
    QTest::newRow("folder of that name") << "/x/core-5-pxi.settings/notes" << 0;
}

void TestDiscovery::instanceNumbers()
{
    QFETCH(QString, path);
    QFETCH(int, number);
    QCOMPARE(instanceNumber(path), number);
}

void TestDiscovery::labels_data()
{
    QTest::addColumn<QString>("relative");
    QTest::addColumn<int>("size");
    QTest::addColumn<QString>("label");
    QTest::newRow("settings file")
        << ".PixInsight/core-1-pxi.settings" << 812 * 1024 + 1023
        << "core-1-pxi.settings [.PixInsight] - instance 1, 812 KiB, 2026-12-05 10:22";
    QTest::newRow("in Pleiades") << "Pleiades/core-2-pxi.settings" << 1023
                                 << "core-2-pxi.settings - instance 2, 0 KiB, 2026-12-05 10:22";
    QTest::newRow("backup") << "Pleiades/" + kBackup << 2048
                            << kBackup + " - backup, 2 KiB, 2026-12-05 10:22";
    QTest::newRow("something else")
        << "other/notes.txt" << 1024 << "notes.txt [other] - 1 KiB, 2026-12-05 10:22";
}

void TestDiscovery::labels()
{
    QFETCH(QString, relative);
    QFETCH(int, size);
    QFETCH(QString, label);
    QTemporaryDir dir;
    const QString path = dir.filePath(relative);
    QVERIFY(writeBytes(path, QByteArray(size, 'x')));
    QVERIFY(setModified(path, QDateTime(QDate(2026, 12, 5), QTime(10, 22, 33))));
    QCOMPARE(fileLabel(path), label);
}

void TestDiscovery::backupsNewestFirst()
{
    QTemporaryDir dir;
    const QString settings = dir.filePath(kSettings);
    QVERIFY(writeBytes(settings, "<xsdt/>"));
    const QDateTime base(QDate(2026, 12, 5), QTime(10, 0));
    // Written in an order unlike their age; two share a time and differ by the "-2".
    const QList<QPair<QString, int>> made = {{".bak-20261205-100300", 3},
                                             {".bak-20261205-100100", 1},
                                             {".bak-20261205-100500", 5},
                                             {".bak-20261205-100500-2", 5},
                                             {".bak-20261205-100200-before-restore", 2}};
    for (const auto &[suffix, minutes] : made) {
        const QString path = settings + suffix;
        QVERIFY(writeBytes(path, QByteArray(100 * minutes, 'b')));
        QVERIFY(setModified(path, base.addSecs(60 * minutes)));
    }
    // Not backups of this file.
    QVERIFY(writeBytes(dir.filePath("core-2-pxi.settings.bak-20261205-100900"), "x"));
    QVERIFY(writeBytes(settings + ".bak", "x"));
    QVERIFY(QDir().mkdir(settings + ".bak-folder"));
    QVERIFY(QFile::link(settings, settings + ".bak-link"));

    const QStringList expected = {
        settings + ".bak-20261205-100500-2", settings + ".bak-20261205-100500",
        settings + ".bak-20261205-100300", settings + ".bak-20261205-100200-before-restore",
        settings + ".bak-20261205-100100"};
    QCOMPARE(listBackups(settings), expected);

    OldBackups old = oldBackups(settings, 3);
    QCOMPARE(old.paths, expected.mid(3));
    QCOMPARE(old.totalBytes, qint64(200 + 100));
    old = oldBackups(settings, -1);
    QCOMPARE(old.paths, expected);
    QCOMPARE(old.totalBytes, qint64(300 + 100 + 500 + 500 + 200));
    old = oldBackups(settings, 10);
    QVERIFY(old.paths.isEmpty());
    QCOMPARE(old.totalBytes, qint64(0));
}

void TestDiscovery::removalRefusesWhatIsNotABackup_data()
{
    // Paths relative to a folder "box" that holds "settings" (the settings file's folder),
    // "other" (another folder) and "linked" (a link to "other").
    QTest::addColumn<QString>("request");
    QTest::addColumn<bool>("removed");
    QTest::newRow("a backup") << "settings/" + kBackup << true;
    QTest::newRow("a backup by a detour") << "other/../settings/./" + kBackup << true;
    QTest::newRow("the settings file") << "settings/" + kSettings << false;
    QTest::newRow("another file's backup")
        << "settings/core-2-pxi.settings.bak-20261205-102233" << false;
    QTest::newRow("a backup elsewhere") << "other/" + kBackup << false;
    QTest::newRow("elsewhere by ..") << "settings/../other/" + kBackup << false;
    QTest::newRow("elsewhere by a linked folder") << "linked/" + kBackup << false;
    QTest::newRow("a link named like a backup") << "settings/" + kSettings + ".bak-link" << false;
    QTest::newRow("a folder named like a backup")
        << "settings/" + kSettings + ".bak-folder" << false;
    QTest::newRow("the folder named like a backup, with a slash")
        << "settings/" + kSettings + ".bak-folder/" << false;
    QTest::newRow("inside that folder")
        << "settings/" + kSettings + ".bak-folder/" + kBackup << false;
    QTest::newRow("case differs") << "settings/CORE-1-pxi.settings.bak-20261205-102233" << false;
    QTest::newRow("no dash") << "settings/" + kSettings + ".bak" << false;
    QTest::newRow("missing") << "settings/" + kSettings + ".bak-missing" << false;
    QTest::newRow("empty") << "" << false;
}

void TestDiscovery::removalRefusesWhatIsNotABackup()
{
    QFETCH(QString, request);
    QFETCH(bool, removed);
    QTemporaryDir box;
    const QString settingsDir = box.filePath(QStringLiteral("settings"));
    const QString settings = settingsDir + QLatin1Char('/') + kSettings;
    const QString other = box.filePath(QStringLiteral("other"));
    QVERIFY(writeBytes(settings, "settings"));
    QVERIFY(writeBytes(settingsDir + QLatin1Char('/') + kBackup, "backup"));
    QVERIFY(writeBytes(settingsDir + "/core-2-pxi.settings.bak-20261205-102233", "other's"));
    QVERIFY(writeBytes(settingsDir + "/CORE-1-pxi.settings.bak-20261205-102233", "case"));
    QVERIFY(writeBytes(settings + ".bak", "no dash"));
    QVERIFY(writeBytes(settings + ".bak-folder/" + kBackup, "inside a folder"));
    QVERIFY(writeBytes(other + QLatin1Char('/') + kBackup, "elsewhere"));
    QVERIFY(writeBytes(other + QStringLiteral("/victim"), "target of a link"));
    QVERIFY(QFile::link(other + QStringLiteral("/victim"), settings + ".bak-link"));
    QVERIFY(QFile::link(other, box.filePath(QStringLiteral("linked"))));
    const QStringList before = snapshot(box.path());
    // With the trash requested, a refused path must not reach the trash either.
    int trashed = 0;
    setTrashFunction([&](const QString &) {
        ++trashed;
        return false;
    });

    const QString path = request.isEmpty() ? QString() : box.filePath(request);
    const BackupRemoval result = removeBackups(settings, {path}, true);
    QStringList after = snapshot(box.path());
    if (removed) {
        QCOMPARE(result.removed, 1);
        QCOMPARE(result.failed, 0);
        QVERIFY(result.failedPaths.isEmpty());
        QCOMPARE(result.bytesFreed, qint64(6));
        QCOMPARE(trashed, 1);
        QVERIFY(!QFileInfo::exists(settingsDir + QLatin1Char('/') + kBackup));
        QStringList expected = before;
        expected.removeIf([](const QString &s) { return s.startsWith("/settings/" + kBackup); });
        QCOMPARE(after, expected);
    } else {
        QCOMPARE(result.removed, 0);
        QCOMPARE(result.failed, 1);
        QCOMPARE(result.failedPaths, QStringList{path});
        QCOMPARE(result.bytesFreed, qint64(0));
        QVERIFY(!result.movedToTrash);
        QCOMPARE(trashed, 0);
        QCOMPARE(after, before);
    }
}

void TestDiscovery::removalCountsInOrder()
{
    QTemporaryDir dir;
    const QString settings = dir.filePath(kSettings);
    QVERIFY(writeBytes(settings, "settings"));
    const QString a = settings + ".bak-20261205-100000";
    const QString b = settings + ".bak-20261205-100001";
    QVERIFY(writeBytes(a, "12345"));
    QVERIFY(writeBytes(b, "1234567"));
    const QString stranger = dir.filePath("core-2-pxi.settings.bak-20261205-100000");
    QVERIFY(writeBytes(stranger, "x"));
    const BackupRemoval result = removeBackups(settings, {settings, a, stranger, b, a}, false);
    QCOMPARE(result.removed, 2);
    QCOMPARE(result.failed, 3);
    QCOMPARE(result.failedPaths, (QStringList{settings, stranger, a}));
    QCOMPARE(result.bytesFreed, qint64(12));
    QVERIFY(!result.movedToTrash);
    QVERIFY(!QFileInfo::exists(a) && !QFileInfo::exists(b));
    QVERIFY(QFileInfo::exists(settings) && QFileInfo::exists(stranger));
}

void TestDiscovery::removalToTheRealTrash()
{
    QVERIFY(QDir().mkpath(m_data));
    const QString dir = m_home.filePath(QStringLiteral(".PixInsight"));
    const QString settings = dir + QLatin1Char('/') + kSettings;
    QVERIFY(writeBytes(settings, "settings"));
    QVERIFY(writeBytes(settings + ".bak-1", "first"));
    QVERIFY(writeBytes(settings + ".bak-2", "second"));
    const BackupRemoval result =
        removeBackups(settings, {settings + ".bak-1", settings + ".bak-2"}, true);
    QCOMPARE(result.removed, 2);
    QCOMPARE(result.failed, 0);
    QVERIFY(result.movedToTrash);
    QCOMPARE(result.bytesFreed, qint64(11));
    const QString files = m_data + QStringLiteral("/Trash/files/");
    QFile first(files + kSettings + ".bak-1");
    QVERIFY(first.open(QIODevice::ReadOnly));
    QCOMPARE(first.readAll(), QByteArray("first"));
    QVERIFY(QFileInfo::exists(files + kSettings + ".bak-2"));
    QVERIFY(QFileInfo::exists(m_data + "/Trash/info/" + kSettings + ".bak-2.trashinfo"));
    QCOMPARE(QDir(dir).entryList(QDir::Files), QStringList{kSettings});
    QVERIFY(QDir(dir).removeRecursively());
}

void TestDiscovery::removalWithoutTrash()
{
    QTemporaryDir dir;
    const QString settings = dir.filePath(kSettings);
    QVERIFY(writeBytes(settings, "settings"));
    QVERIFY(writeBytes(settings + ".bak-1", "first"));
    QVERIFY(writeBytes(settings + ".bak-2", "second"));

    // A desktop without a trash: the backup is deleted instead.
    setTrashFunction([](const QString &) { return false; });
    BackupRemoval result = removeBackups(settings, {settings + ".bak-1"}, true);
    QCOMPARE(result.removed, 1);
    QVERIFY(!result.movedToTrash);
    QCOMPARE(result.bytesFreed, qint64(5));
    QVERIFY(!QFileInfo::exists(settings + ".bak-1"));

    // The real trash with no usable trash folder (the data folder is a file): the backup is
    // deleted, and nothing is left in the working folder, where Qt would otherwise put it.
    setTrashFunction({});
    const QString notAFolder = dir.filePath(QStringLiteral("data-file"));
    QVERIFY(writeBytes(notAFolder, "x"));
    qputenv("XDG_DATA_HOME", QFile::encodeName(notAFolder));
    QTemporaryDir working;
    const QString previous = QDir::currentPath();
    QVERIFY(QDir::setCurrent(working.path()));
    result = removeBackups(settings, {settings + ".bak-2"}, true);
    QVERIFY(QDir::setCurrent(previous));
    QCOMPARE(result.removed, 1);
    QCOMPARE(result.failed, 0);
    QVERIFY(!result.movedToTrash);
    QCOMPARE(result.bytesFreed, qint64(6));
    QVERIFY(!QFileInfo::exists(settings + ".bak-2"));
    QCOMPARE(snapshot(working.path()), QStringList());
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files), (QStringList{kSettings, "data-file"}));
}

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
