#include "environment/pixinsight.h"
#include "privileged/installedupdates.h"
#include "store/files.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace vrn;

namespace {

const QDateTime kNow(QDate(2031, 5, 6), QTime(7, 8, 9, 10));

QByteArray readAll(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<unreadable>");
}

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// A PixInsight installation in a temporary folder with its record file.
struct Installation
{
    QTemporaryDir dir;
    QString folder = dir.filePath(QStringLiteral("PixInsight"));
    QString path = recordFilePath(folder);

    explicit Installation(const QByteArray &bytes)
    {
        QDir().mkpath(folder + QStringLiteral("/etc/update"));
        writeAll(path, bytes);
    }
};

const QByteArray kSmall = "<xri>\n"
                          " <package fileName=\"core.tgz\" type=\"core\"/>\n"
                          " <package fileName=\"Orrinpad.tgz\" type=\"module\"/>\n"
                          " <package fileName=\"Mono.tgz\" type=\"module\"/>\n"
                          "</xri>\n";

} // namespace

class TestInstalled : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase()
    {
        setStoreClock([] { return kNow; });
    }
    void cleanup() { setRecordReadBackHook({}); }
    void removeKeepsEveryOtherByte_data();
    void removeKeepsEveryOtherByte();
    void refusalsLeaveFileAlone_data();
    void refusalsLeaveFileAlone();
    void failedVerificationPutsOriginalBack();
    void restorePicksNewestBackup();
};

void TestInstalled::removeKeepsEveryOtherByte_data()
{
    QTest::addColumn<QByteArray>("before");
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<QByteArray>("after");

    QTest::newRow("declaration, comment, tabs and spaces, LF")
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!-- written by PixInsight -->\n"
                      "<xri version=\"1.0\">\n"
                      "\t<package fileName=\"core.tgz\" type=\"core\" installDate=\"20260101\"/>\n"
                      "    <package fileName=\"Orrinpad.tgz\" type=\"module\"/>  \n"
                      "\t<package fileName=\"Mono.tgz\" type=\"module\" repo=\"https://r/\">"
                      "</package>\n"
                      "  \t<package fileName=\"Kept.tgz\" type=\"module\"/>\n"
                      "</xri>\n")
        << QStringList{"Orrinpad.tgz", "Mono.tgz"}
        << QByteArray("<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
                      "<!-- written by PixInsight -->\n"
                      "<xri version=\"1.0\">\n"
                      "\t<package fileName=\"core.tgz\" type=\"core\" installDate=\"20260101\"/>\n"
                      "  \t<package fileName=\"Kept.tgz\" type=\"module\"/>\n"
                      "</xri>\n");
    QTest::newRow("CRLF lines, open and close element over several lines")
        << QByteArray("<xri>\r\n"
                      "  <package fileName=\"core.tgz\" type=\"core\"/>\r\n"
                      "  <package\r\n     fileName=\"Orrinpad.tgz\" type=\"module\">\r\n"
                      "    <signature/>\r\n  </package>\r\n"
                      "  <package fileName=\"Last.tgz\" type=\"module\"/>\r\n"
                      "</xri>\r\n")
        << QStringList{"Orrinpad.tgz"}
        << QByteArray("<xri>\r\n"
                      "  <package fileName=\"core.tgz\" type=\"core\"/>\r\n"
                      "  <package fileName=\"Last.tgz\" type=\"module\"/>\r\n"
                      "</xri>\r\n");
    QTest::newRow("one line with other elements")
        << QByteArray("<xri><note/> <package fileName=\"A.tgz\" type=\"module\"/> <package "
                      "fileName=\"B.tgz\" type=\"module\"/>\t<other a='1'/></xri>")
        << QStringList{"A.tgz", "B.tgz"} << QByteArray("<xri><note/><other a='1'/></xri>");
    QTest::newRow("quotes holding >, non-ASCII titles, a package recorded twice")
        << QByteArray("<xri>\n"
                      "<package title='a > b \"q\"' fileName=\"Dup.tgz\" type=\"module\"/>\n"
                      "<package fileName=\"core.tgz\" title=\"Ñandú – 星雲 >\" type=\"core\"/>\n"
                      "<package fileName=\"Dup.tgz\" type=\"module\" title=\"x/>\"></package>\n"
                      "<packages fileName=\"Dup.tgz\"/>\n"
                      "</xri>")
        << QStringList{"Dup.tgz"}
        << QByteArray("<xri>\n"
                      "<package fileName=\"core.tgz\" title=\"Ñandú – 星雲 >\" type=\"core\"/>\n"
                      "<packages fileName=\"Dup.tgz\"/>\n"
                      "</xri>");
}

void TestInstalled::removeKeepsEveryOtherByte()
{
    QFETCH(QByteArray, before);
    QFETCH(QStringList, names);
    QFETCH(QByteArray, after);
    Installation pi(before);

    const RecordChangeResult result = removeRecords(pi.path, names, false);
    QCOMPARE(result.message, QString());
    QCOMPARE(result.code, 0);
    QCOMPARE(readAll(pi.path), after);

    QList<UpdateRecord> remaining = parseRecords(before);
    remaining.removeIf([&](const UpdateRecord &r) { return names.contains(r.fileName); });
    QCOMPARE(result.count, parseRecords(before).size() - remaining.size());
    QCOMPARE(parseRecords(after), remaining);
    QCOMPARE(result.backupPath, pi.path + QStringLiteral(".bak-20310506-070809-010"));
    QCOMPARE(listRecordBackups(pi.path), QStringList{QFileInfo(result.backupPath).fileName()});
    QCOMPARE(readAll(result.backupPath), before);
}

void TestInstalled::refusalsLeaveFileAlone_data()
{
    QTest::addColumn<QByteArray>("bytes");
    QTest::addColumn<QString>("where"); // the record file's path below the temporary folder
    QTest::addColumn<QStringList>("names");
    QTest::addColumn<bool>("running");
    QTest::addColumn<int>("code");
    QTest::addColumn<QString>("message"); // %1: the path given

    const QString path = QStringLiteral("PixInsight/etc/update/installed.xri");
    const QStringList orrinpad{QStringLiteral("Orrinpad.tgz")};
    QTest::newRow("not the record file")
        << kSmall << QStringLiteral("PixInsight/etc/update/old/etc/update/installed.xri")
        << orrinpad << false << 4 << QStringLiteral("%1 is not PixInsight's installed.xri.");
    QTest::newRow("missing file") << QByteArray() << path << orrinpad << false << 3
                                  << QStringLiteral("%1 does not exist.");
    QTest::newRow("no names") << kSmall << path << QStringList() << false << 6
                              << QStringLiteral("No records were named.");
    QTest::newRow("PixInsight running")
        << kSmall << path << orrinpad << true << 2
        << QStringLiteral(
               "PixInsight is running. Close it first: it rewrites its records from memory.");
    QTest::newRow("unknown package")
        << kSmall << path << QStringList{"Mono.tgz", "Gone.tgz"} << false << 4
        << QStringLiteral("Gone.tgz is not in the file.");
    QTest::newRow("not a module")
        << kSmall << path << QStringList{"Mono.tgz", "core.tgz"} << false << 4
        << QStringLiteral("core.tgz is not a module package; only modules may be removed.");
    QTest::newRow("record not found in the text")
        << QByteArray("<xri><package fileName='Orrinpad.tgz' type='module'/></xri>") << path
        << orrinpad << false << 4
        << QStringLiteral("Could not locate the record of Orrinpad.tgz in the file text. Nothing "
                          "was changed.");
    QTest::newRow("no xri element")
        << QByteArray("<xsdt><package fileName=\"Orrinpad.tgz\" type=\"module\"/></xsdt>") << path
        << orrinpad << false << 5
        << QStringLiteral("The file is not a valid record file: Not a PixInsight update record "
                          "file (no <xri> element).");
}

void TestInstalled::refusalsLeaveFileAlone()
{
    QFETCH(QByteArray, bytes);
    QFETCH(QString, where);
    QFETCH(QStringList, names);
    QFETCH(bool, running);
    QFETCH(int, code);
    QFETCH(QString, message);

    QTemporaryDir dir;
    const QString path = dir.filePath(where);
    QDir().mkpath(QFileInfo(path).absolutePath());
    if (!bytes.isEmpty())
        QVERIFY(writeAll(path, bytes));

    QProcess pixInsight;
    if (running) {
        // The real check against a real process of that name.
        const QString program = dir.filePath(QStringLiteral("bin/PixInsight"));
        QVERIFY(QDir().mkpath(dir.filePath(QStringLiteral("bin"))));
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), program));
        pixInsight.start(program, {QStringLiteral("60")});
        QVERIFY(pixInsight.waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(isPixInsightRunning(), 5000);
    }
    const RecordChangeResult result = removeRecords(path, names, true);
    if (running) {
        pixInsight.kill();
        pixInsight.waitForFinished();
    }
    QCOMPARE(result.message, message.replace(QLatin1String("%1"), QDir::toNativeSeparators(path)));
    QCOMPARE(result.code, code);
    QCOMPARE(QFileInfo::exists(path) ? readAll(path) : QByteArray(), bytes);
    QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(),
             bytes.isEmpty() ? 0 : 1);
}

void TestInstalled::failedVerificationPutsOriginalBack()
{
    Installation pi(kSmall);
    setRecordReadBackHook([](QByteArray &bytes) { bytes.append(' '); });
    const RecordChangeResult result = removeRecords(pi.path, {QStringLiteral("Mono.tgz")}, false);
    QCOMPARE(result.code, 5);
    QCOMPARE(result.message,
             QStringLiteral("Verification after writing failed; the backup was put back."));
    QCOMPARE(readAll(pi.path), kSmall);
    QCOMPARE(listRecordBackups(pi.path).size(), 1);
}

void TestInstalled::restorePicksNewestBackup()
{
    Installation pi(kSmall);
    QCOMPARE(restoreNewestBackup(pi.path, false).code, 3);
    QCOMPARE(removeRecords(pi.path, {QStringLiteral("Mono.tgz")}, false).code, 0);
    const QByteArray withoutMono = readAll(pi.path);
    // Within the same millisecond: the second backup takes the counter.
    const RecordChangeResult second =
        removeRecords(pi.path, {QStringLiteral("Orrinpad.tgz")}, false);
    QCOMPARE(second.code, 0);
    QVERIFY(second.backupPath.endsWith(QLatin1String(".bak-20310506-070809-010-2")));
    QCOMPARE(listRecordBackups(pi.path), (QStringList{"installed.xri.bak-20310506-070809-010-2",
                                                      "installed.xri.bak-20310506-070809-010"}));

    const RecordChangeResult restored = restoreNewestBackup(pi.path, false);
    QCOMPARE(restored.message, QString());
    QCOMPARE(restored.code, 0);
    QCOMPARE(readAll(pi.path), withoutMono);

    // A newest backup that does not parse is not put back.
    QVERIFY(writeAll(pi.path + QStringLiteral(".bak-20990101-000000-000"), "<xsdt/>"));
    QCOMPARE(restoreNewestBackup(pi.path, false).code, 5);
    QCOMPARE(readAll(pi.path), withoutMono);
}

QTEST_MAIN(TestInstalled)
#include "tst_installed.moc"
