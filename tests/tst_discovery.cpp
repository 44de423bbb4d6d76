#include "environment/discovery.h"
#include "support/testfiles.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

using namespace vrn;

namespace {

const QString kSettings = "core-1-pxi.settings";
const QString kStamp = ".bak-20261205-102233";
const QString kBackup = "core-1-pxi.settings" + kStamp;

using testdata::writeFile;

// Every entry below a folder, links described by their target, files by their content: two
// snapshots are equal when nothing was moved, deleted or changed.
QStringList snapshot(const QString &root)
{
    QStringList out;
    QDirIterator it(root, QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot,
                    QDirIterator::Subdirectories);
    while (it.hasNext()) {
        const QFileInfo info(it.next());
        QFile file(info.filePath());
        const QString what = info.isSymLink() ? "link to " + info.symLinkTarget()
                             : info.isDir()   ? "folder"
                             : file.open(QIODevice::ReadOnly)
                                 ? QString::fromLatin1(file.readAll().toHex())
                                 : "unreadable";
        out.append(info.filePath().mid(root.size()) + ": " + what);
    }
    out.sort();
    return out;
}

} // namespace

class TestDiscovery : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_config;
    QString m_data;

private slots:
    void initTestCase()
    {
        // Discovery is under test here, so the real locations are used, inside a made-up home.
        m_config = m_home.filePath("cfg");
        m_data = m_home.filePath("data");
        qputenv("HOME", QFile::encodeName(m_home.path()));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_data));
        QCOMPARE(QDir::homePath(), m_home.path());
    }

    void cleanup()
    {
        setTrashFunction({});
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_config));
        qputenv("XDG_DATA_HOME", QFile::encodeName(m_data));
    }

    void configDirectoriesInOrder()
    {
        const QString home = m_home.path();
        QCOMPARE(configDirectories(), (QStringList{home + "/.PixInsight", m_config + "/Pleiades",
                                                   home + "/.config/Pleiades"}));
        // The default configuration folder is home/.config: the same folder is listed once.
        qunsetenv("XDG_CONFIG_HOME");
        QCOMPARE(configDirectories(),
                 (QStringList{home + "/.PixInsight", home + "/.config/Pleiades"}));
        qputenv("XDG_CONFIG_HOME", QFile::encodeName(home + "/.config/"));
        QCOMPARE(configDirectories(),
                 (QStringList{home + "/.PixInsight", home + "/.config/Pleiades"}));
    }

    void settingsFilesAndLabels()
    {
        const QString first = m_home.filePath(".PixInsight");
        const QString second = m_config + "/Pleiades";
        QVERIFY(findSettingsFiles().isEmpty()); // no folder exists yet
        const QDateTime time(QDate(2026, 12, 5), QTime(10, 22, 33));
        for (const auto &[name, size] : {std::pair{"core-2-pxi.settings", 10},
                                         {"core-1-pxi.settings", 812 * 1024 + 1023},
                                         {"core-10-pxi.settings", 10},
                                         {"Core-3-pxi.settings", 10},
                                         {"core-1-pxi.settings.bak-20261205-102233", 2048},
                                         {"core-x-pxi.settings.txt", 1024}})
            QVERIFY(writeFile(first + '/' + QLatin1String(name), QByteArray(size, 'x'), time));
        QVERIFY(QDir().mkpath(first + "/core-4-pxi.settings")); // a folder
        QVERIFY(writeFile(second + "/core-1-pxi.settings", QByteArray(1023, 'x'), time));
        QCOMPARE(findSettingsFiles(),
                 (QStringList{first + "/core-1-pxi.settings", first + "/core-10-pxi.settings",
                              first + "/core-2-pxi.settings", second + "/core-1-pxi.settings"}));
        QCOMPARE(fileLabel(first + "/core-1-pxi.settings"),
                 "core-1-pxi.settings [.PixInsight] - instance 1, 812 KiB, 2026-12-05 10:22");
        QCOMPARE(fileLabel(second + "/core-1-pxi.settings"),
                 "core-1-pxi.settings - instance 1, 0 KiB, 2026-12-05 10:22");
        QCOMPARE(fileLabel(first + "/" + kBackup),
                 kBackup + " [.PixInsight] - backup, 2 KiB, 2026-12-05 10:22");
        QCOMPARE(fileLabel(first + "/core-x-pxi.settings.txt"),
                 "core-x-pxi.settings.txt [.PixInsight] - 1 KiB, 2026-12-05 10:22");
        QVERIFY(QDir(first).removeRecursively() && QDir(second).removeRecursively());
    }

    void instanceNumbers_data()
    {
        QTest::addColumn<QString>("path");
        QTest::addColumn<int>("number"); // 0: not a settings file of an instance
        QTest::newRow("plain") << "core-12-pxi.settings" << 12;
        QTest::newRow("full path") << "/home/u/.PixInsight/core-3-pxi.settings" << 3;
        QTest::newRow("leading zero") << "core-010-pxi.settings" << 10;
        QTest::newRow("largest int") << "core-2147483647-pxi.settings" << 2147483647;
        QTest::newRow("past int") << "core-2147483648-pxi.settings" << 0;
        QTest::newRow("not a number") << "core-x-pxi.settings" << 0;
        QTest::newRow("negative") << "core--1-pxi.settings" << 0;
        QTest::newRow("backup") << "core-1-pxi.settings.bak-20261205-102233" << 0;
        QTest::newRow("upper case") << "Core-1-pxi.settings" << 0;
        QTest::newRow("Arabic-Indic digit") << QString::fromUtf16(u"core-\u0661-pxi.settings") << 0;
        QTest::newRow("a folder on the way") << "/x/core-5-pxi.settings/notes" << 0;
    }

    void instanceNumbers()
    {
        QFETCH(QString, path);
        QTEST(instanceNumber(path), "number");
    }

    void backupsNewestFirst()
    {
        QTemporaryDir dir;
        const QString settings = dir.filePath(kSettings);
        QVERIFY(writeFile(settings, "<xsdt/>"));
        // Written in an order unlike their age; two share a time and differ by the "-2".
        const QDateTime base(QDate(2026, 12, 5), QTime(10, 0));
        for (const auto &[suffix, minutes] : {std::pair{".bak-20261205-100300", 3},
                                              {".bak-20261205-100100", 1},
                                              {".bak-20261205-100500", 5},
                                              {".bak-20261205-100500-2", 5},
                                              {".bak-20261205-100200-before-restore", 2}})
            QVERIFY(writeFile(settings + suffix, QByteArray(100 * minutes, 'b'),
                              base.addSecs(60 * minutes)));
        // Not this file's backups, nor names the store gives; the newest of all.
        QVERIFY(writeFile(dir.filePath("core-2-pxi.settings.bak-20261205-100900"), "x"));
        QVERIFY(QDir().mkdir(settings + ".bak-folder"));
        QVERIFY(QFile::link(settings, settings + ".bak-link"));
        QVERIFY(writeFile(settings + ".bak-my-notes.txt", "x"));
        QVERIFY(writeFile(settings + ".bak-20261205-100500.evil", "x"));

        const QStringList expected = {
            settings + ".bak-20261205-100500-2", settings + ".bak-20261205-100500",
            settings + ".bak-20261205-100300", settings + ".bak-20261205-100200-before-restore",
            settings + ".bak-20261205-100100"};
        QCOMPARE(listBackups(settings), expected);
        const OldBackups old = oldBackups(settings, 3);
        QCOMPARE(old.paths, expected.mid(3));
        QCOMPARE(old.totalBytes, qint64(200 + 100));
        QCOMPARE(oldBackups(settings, -1).totalBytes, qint64(300 + 100 + 500 + 500 + 200));
        QCOMPARE(oldBackups(settings, 10).paths, QStringList());
    }

    void removalTouchesOnlyBackups()
    {
        // A folder "box" holds "settings" (the settings file's folder), "other" (another folder)
        // and "linked" (a link to "other").
        QTemporaryDir box;
        const QString settings = box.filePath("settings/" + kSettings);
        const QString other = box.filePath("other/");
        QVERIFY(writeFile(settings, "settings"));
        QVERIFY(writeFile(box.filePath("settings/core-2-pxi.settings" + kStamp), "other's"));
        QVERIFY(writeFile(box.filePath("settings/CORE-1-pxi.settings" + kStamp), "case"));
        QVERIFY(writeFile(settings + ".bak-1", "not a name the store gives"));
        QVERIFY(writeFile(settings + ".bak-folder/" + kSettings + kStamp, "inside a folder"));
        QVERIFY(writeFile(other + kSettings + kStamp, "elsewhere"));
        QVERIFY(writeFile(other + "victim", "target of a link"));
        QVERIFY(QFile::link(other + "victim", settings + ".bak-link"));
        QVERIFY(QFile::link(other, box.filePath("linked")));
        // The two backups that go are made after the picture of what must stay.
        const QStringList expected = snapshot(box.path());
        QVERIFY(writeFile(settings + kStamp, "backup"));
        QVERIFY(writeFile(settings + kStamp + "-2", "backup 2"));

        QStringList refused;
        for (const QString &relative : QStringList{
                 "settings/" + kBackup, // by then already gone
                 "settings/" + kSettings, "settings/core-2-pxi.settings" + kStamp,
                 "settings/CORE-1-pxi.settings" + kStamp, "settings/" + kSettings + ".bak-1",
                 "settings/" + kBackup + "-3", "other/" + kBackup, "settings/../other/" + kBackup,
                 "linked/" + kBackup, "settings/" + kSettings + ".bak-link",
                 "settings/" + kSettings + ".bak-folder", "settings/" + kSettings + ".bak-folder/",
                 "settings/" + kSettings + ".bak-folder/" + kBackup, QString()})
            refused.append(relative.isEmpty() ? QString() : box.filePath(relative));
        const QStringList requests =
            QStringList{settings + kStamp, box.filePath("other/../settings/./" + kBackup + "-2")} +
            refused;
        // With the trash requested, a refused path must not reach the trash either.
        int trashed = 0;
        setTrashFunction([&](const QString &path, QString *) {
            ++trashed;
            return QFile::remove(path);
        });
        const BackupRemoval result = removeBackups(settings, requests, true);
        QCOMPARE(snapshot(box.path()), expected);
        QCOMPARE(result.removed, 2);
        QCOMPARE(result.failed, refused.size());
        QCOMPARE(result.failedPaths, refused);
        QCOMPARE(result.bytesFreed, qint64(6 + 8));
        QCOMPARE(trashed, 2);
        QVERIFY(result.movedToTrash);
    }

    // A backup named in another folder is not one of this file's, even where this file's folder
    // holds one of the same name.
    void removalOnlyInItsFolder()
    {
        QTemporaryDir box;
        const QString settings = box.filePath("settings/" + kSettings);
        const QString elsewhere = box.filePath("other/" + kSettings + ".bak-1");
        QVERIFY(writeFile(settings, "settings") && writeFile(settings + ".bak-1", "backup"));
        QVERIFY(writeFile(elsewhere, "elsewhere"));
        const QStringList before = snapshot(box.path());
        const BackupRemoval result = removeBackups(settings, {elsewhere}, false);
        QCOMPARE(result.failedPaths, QStringList{elsewhere});
        QCOMPARE(snapshot(box.path()), before);
    }

    void removalToTrash()
    {
        QVERIFY(QDir().mkpath(m_data));
        const QString dir = m_home.filePath(".PixInsight");
        const QString settings = dir + '/' + kSettings;
        QVERIFY(writeFile(settings, "settings"));
        for (const char *n : {"2", "3", "4", "5"})
            QVERIFY(writeFile(settings + kStamp + "-" + n, QByteArray("backup ") + n));

        // The real trash, in the made-up data folder; without toTrash the backup is deleted.
        BackupRemoval result =
            removeBackups(settings, {settings + kStamp + "-2", settings + kStamp + "-3"}, true);
        QCOMPARE(result.removed, 2);
        QVERIFY(result.movedToTrash);
        QCOMPARE(result.bytesFreed, qint64(16));
        QCOMPARE(result.trashFolder, m_data + "/Trash");
        result = removeBackups(settings, {settings + kStamp + "-4"}, false);
        QCOMPARE(result.removed, 1);
        QVERIFY(!result.movedToTrash);
        const QString trash = m_data + "/Trash/";
        QCOMPARE(snapshot(trash + "files"),
                 (QStringList{"/" + kSettings + kStamp + "-2: " + QByteArray("backup 2").toHex(),
                              "/" + kSettings + kStamp + "-3: " + QByteArray("backup 3").toHex()}));
        QVERIFY(QFileInfo::exists(trash + "info/" + kSettings + kStamp + "-3.trashinfo"));

        // No usable trash folder (the data folder is a file): the backup stays, with the reason,
        // and nothing is left in the working folder, where Qt would otherwise put it.
        const QString notAFolder = m_home.filePath("data-file");
        QVERIFY(writeFile(notAFolder, "x"));
        qputenv("XDG_DATA_HOME", QFile::encodeName(notAFolder));
        QTemporaryDir working;
        const QString previous = QDir::currentPath();
        QVERIFY(QDir::setCurrent(working.path()));
        result = removeBackups(settings, {settings + kStamp + "-5"}, true);
        QVERIFY(QDir::setCurrent(previous));
        QCOMPARE(result.removed, 0);
        QCOMPARE(result.failedPaths, QStringList{settings + kStamp + "-5"});
        QCOMPARE(result.trashProblem, "there is no trash folder (" + notAFolder +
                                          " does not exist or cannot be written)");
        QCOMPARE(snapshot(working.path()), QStringList());
        QCOMPARE(QDir(dir).entryList(QDir::Files),
                 (QStringList{kSettings, kSettings + kStamp + "-5"}));
        QVERIFY(QDir(dir).removeRecursively() && QFile::remove(notAFolder));
    }
};

QTEST_GUILESS_MAIN(TestDiscovery)
#include "tst_discovery.moc"
