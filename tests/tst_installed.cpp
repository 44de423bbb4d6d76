#include "environment/englishplurals.h"
#include "environment/pixinsight.h"
#include "privileged/elevation.h"
#include "privileged/installedupdates.h"
#include "privileged/installedupdateshelper.h"
#include "store/files.h"
#include "support/effectiveuser.h"
#include "support/testfiles.h"
#include "views/installedupdatesdialog.h"
#include "widgets/dialogs.h"

#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTemporaryDir>
#include <QTreeWidget>
#include <QtTest>

#include <optional>

#include <sys/stat.h>
#include <unistd.h>

using namespace vrn;

namespace {

const QDateTime kNow(QDate(2031, 5, 6), QTime(7, 8, 9, 10));

using testdata::readFile;
using testdata::writeFile;

// A PixInsight installation in a temporary folder with its record file.
struct Installation
{
    QTemporaryDir dir;
    QString folder = dir.filePath("PixInsight");
    QString path = recordFilePath(folder);

    explicit Installation(const QByteArray &bytes) { writeFile(path, bytes); }
};

// A real process named PixInsight, for the real running check.
struct FakePixInsight
{
    QTemporaryDir dir;
    QProcess process;

    FakePixInsight()
    {
        const QString program = dir.filePath("PixInsight");
        if (QFile::copy("/bin/sleep", program)) {
            process.start(program, {"60"});
            process.waitForStarted(); // exec'd, so listed under its name from here on
        }
    }
    ~FakePixInsight()
    {
        process.kill();
        process.waitForFinished();
    }
};

const QByteArray kSmall = "<xri>\n <package fileName=\"core.tgz\" type=\"core\"/>"
                          "\n <package fileName=\"Orrinpad.tgz\" type=\"module\"/>"
                          "\n <package fileName=\"Mono.tgz\" type=\"module\"/>\n</xri>\n";

} // namespace

class TestInstalled : public QObject
{
    Q_OBJECT

private slots:
    // Other test programs on this machine start processes named PixInsight too.
    void init()
    {
        QVERIFY(QTest::qWaitFor([] { return !isPixInsightRunning(); }, 120000));
    }
    void cleanup()
    {
        setRecordReadBackHook({});
        setReplaceHook({});
    }

    void initTestCase()
    {
        installEnglishPlurals();
        setStoreClock([] { return kNow; });
        Dialogs::setTestMode(true);
        QStandardPaths::setTestModeEnabled(true);
    }

    // The file in pieces; those starting with "-" are what the removal must cut, nothing else.
    void removeKeepsEveryOtherByte_data()
    {
        QTest::addColumn<QByteArrayList>("pieces");
        QTest::addColumn<QStringList>("names");
        const auto row = [](const char *name, const QByteArrayList &pieces,
                            const QStringList &names) { QTest::newRow(name) << pieces << names; };

        row("declaration, comment, tabs and spaces, LF",
            QByteArrayList{"<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<!-- PixInsight -->\n"
                           "<xri version=\"1.0\">\n\t<package fileName=\"core.tgz\" "
                           "type=\"core\"/>\n",
                           "-    <package fileName=\"Orrinpad.tgz\" type=\"module\"/>  \n",
                           "-\t<package fileName=\"Mono.tgz\" type=\"module\"></package>\n",
                           "  \t<package fileName=\"Kept.tgz\" type=\"module\"/>\n</xri>\n"},
            {"Orrinpad.tgz", "Mono.tgz"});
        row("CRLF, open and close element over several lines",
            QByteArrayList{"<xri>\r\n  <package fileName=\"core.tgz\" type=\"core\"/>\r\n",
                           "-  <package\r\n   fileName=\"Orrinpad.tgz\" type=\"module\">\r\n"
                           "    <sig/>\r\n  </package>\r\n",
                           "  <package fileName=\"Last.tgz\" type=\"module\"/>\r\n</xri>\r\n"},
            {"Orrinpad.tgz"});
        row("one line with other elements",
            QByteArrayList{"<xri><note/>", "- <package fileName=\"A.tgz\" type=\"module\"/> ",
                           "- <package fileName=\"B.tgz\" type=\"module\"/>\t",
                           "<other a='1'/></xri>"},
            {"A.tgz", "B.tgz"});
        row("quotes holding >, non-ASCII titles, a package recorded twice",
            QByteArrayList{
                "<xri>\n", "-<package title='a > b \"q\"' fileName=\"Dup.tgz\" type=\"module\"/>\n",
                "<package fileName=\"core.tgz\" title=\"Ñandú – 星雲 >\" type=\"core\"/>\n",
                "-<package fileName=\"Dup.tgz\" type=\"module\" title=\"x/>\"></package>\n",
                "<packages fileName=\"Dup.tgz\"/>\n</xri>"},
            {"Dup.tgz"});
    }

    void removeKeepsEveryOtherByte()
    {
        QFETCH(QByteArrayList, pieces);
        QFETCH(QStringList, names);
        QByteArray before;
        QByteArray after;
        for (const QByteArray &piece : pieces) {
            before += piece.startsWith('-') ? piece.mid(1) : piece;
            after += piece.startsWith('-') ? QByteArray() : piece;
        }
        Installation pi(before);

        const RecordChangeResult result = removeRecords(pi.path, names, false);
        QCOMPARE(readFile(pi.path), after);
        QCOMPARE(listRecordBackups(pi.path), QStringList{"installed.xri.bak-20310506-070809-010"});
        QCOMPARE(readFile(result.backupPath), before);
    }

    void refusalsLeaveFileAlone_data()
    {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("where"); // the record file's path below the temporary folder
        QTest::addColumn<QStringList>("names");
        QTest::addColumn<bool>("running");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message"); // %1: the path given

        const auto row = [](const char *name, const QByteArray &bytes, const char *where,
                            const QStringList &names, bool running, int code, const char *message) {
            QTest::newRow(name) << bytes << where << names << running << code << message;
        };
        const char *path = "PixInsight/etc/update/installed.xri";
        const QStringList orrinpad{"Orrinpad.tgz"};
        row("not the record file", kSmall, "PixInsight/etc/update/old/etc/update/installed.xri",
            orrinpad, false, 4, "%1 is not PixInsight's installed.xri.");
        row("missing file", {}, path, orrinpad, false, 3, "%1 does not exist.");
        row("no names", kSmall, path, {}, false, 6, "No records were named.");
        row("PixInsight running", kSmall, path, orrinpad, true, 2,
            "PixInsight is running. Close it first: it rewrites its records from memory.");
        row("unknown package", kSmall, path, {"Mono.tgz", "Gone.tgz"}, false, 4,
            "Gone.tgz is not in the file.");
        row("not a module", kSmall, path, {"Mono.tgz", "core.tgz"}, false, 4,
            "core.tgz is not a module package; only modules may be removed.");
        row("record not found in the text",
            "<xri><package fileName='Orrinpad.tgz' type='module'/></xri>", path, orrinpad, false, 4,
            "Could not locate the record of Orrinpad.tgz in the file text. Nothing was changed.");
        row("record also in a comment",
            "<xri><!-- <package fileName=\"Orrinpad.tgz\" type=\"module\"/> -->\n"
            "<package fileName='Orrinpad.tgz' type='module'/></xri>",
            path, orrinpad, false, 5,
            "The edited file does not consist of exactly the remaining records. Nothing was "
            "changed.");
    }

    void refusalsLeaveFileAlone()
    {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, where);
        QFETCH(QStringList, names);
        QFETCH(bool, running);
        QFETCH(QString, message);
        QTemporaryDir dir;
        const QString path = dir.filePath(where);
        QDir().mkpath(QFileInfo(path).absolutePath());
        if (!bytes.isEmpty())
            QVERIFY(writeFile(path, bytes));

        std::optional<FakePixInsight> pixInsight;
        if (running)
            pixInsight.emplace();
        QCOMPARE(isPixInsightRunning(), running); // started means exec'd under its name
        const RecordChangeResult result = removeRecords(path, names, true);
        QCOMPARE(result.message, message.replace("%1", QDir::toNativeSeparators(path)));
        QTEST(result.code, "code");
        QCOMPARE(readFile(path), bytes);
        QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files | QDir::Hidden).size(),
                 bytes.isEmpty() ? 0 : 1);
    }

    void verificationAndRestore()
    {
        Installation pi(kSmall);
        QCOMPARE(restoreNewestBackup(pi.path, false).code, 3);
        // A read-back that differs from what was written puts the original back.
        setRecordReadBackHook([](QByteArray &bytes) { bytes.append(' '); });
        RecordChangeResult result = removeRecords(pi.path, {"Mono.tgz"}, false);
        QCOMPARE(result.message, "Verification after writing failed; the backup was put back.");
        QCOMPARE(readFile(pi.path), kSmall);
        setRecordReadBackHook({});
        QVERIFY(QFile::remove(pi.path + ".bak-20310506-070809-010"));

        QCOMPARE(removeRecords(pi.path, {"Mono.tgz"}, false).code, 0);
        const QByteArray withoutMono = readFile(pi.path);
        // Within the same millisecond: the second backup takes the counter.
        QCOMPARE(removeRecords(pi.path, {"Orrinpad.tgz"}, false).code, 0);
        QCOMPARE(listRecordBackups(pi.path),
                 (QStringList{"installed.xri.bak-20310506-070809-010-2",
                              "installed.xri.bak-20310506-070809-010"}));

        // A record added since is kept in a backup of its own first.
        const QByteArray added =
            readFile(pi.path).replace("</xri>", "<package fileName=\"N\"/></xri>");
        QVERIFY(writeFile(pi.path, added));
        QCOMPARE(restoreNewestBackup(pi.path, false).code, 0);
        QCOMPARE(readFile(pi.path), withoutMono);
        QCOMPARE(readFile(pi.path + ".bak-20310506-070809-010-before-restore"), added);
    }

    void otherWriterKept_data()
    {
        QTest::addColumn<bool>("restore");
        QTest::addColumn<bool>("inPlace");
        QTest::addColumn<bool>("afterSwap"); // while reading back, instead of just before the swap
        QTest::newRow("removal, renamed over before the swap") << false << false << false;
        QTest::newRow("removal, written in place before the swap") << false << true << false;
        QTest::newRow("removal, renamed over after the swap") << false << false << true;
        QTest::newRow("restore, written in place before the swap") << true << true << false;
    }

    // Another program writes the record file at the worst moment: its version stays, and the
    // change is refused and says so.
    void otherWriterKept()
    {
        QFETCH(bool, restore);
        QFETCH(bool, inPlace);
        QFETCH(bool, afterSwap);
        Installation pi(kSmall);
        QVERIFY(writeFile(pi.path + ".bak-20300101-000000-000", kSmall));
        const QByteArray theirs = QByteArray(kSmall).replace("</xri>", "<package/></xri>");
        bool wrote = false;
        const auto write = [&] {
            wrote = inPlace ? writeFile(pi.path, theirs)
                            : writeFile(pi.path + ".new", theirs) &&
                                  ::rename(QFile::encodeName(pi.path + ".new").constData(),
                                           QFile::encodeName(pi.path).constData()) == 0;
        };
        if (afterSwap)
            setRecordReadBackHook([&](QByteArray &bytes) {
                write();
                bytes = readFile(pi.path);
            });
        else
            setReplaceHook([&](const QString &) { write(); });
        const RecordChangeResult result = restore ? restoreNewestBackup(pi.path, false)
                                                  : removeRecords(pi.path, {"Mono.tgz"}, false);
        QVERIFY(wrote);
        QCOMPARE(result.code, 5);
        const QString message =
            afterSwap ? QString("Verification after writing failed because another program changed "
                                "%1 meanwhile; its version was kept. The backup of the file as it "
                                "was before is %1.bak-20310506-070809-010.")
                      : QString("%1 was changed by another program while it was being edited. That "
                                "program's version was kept and nothing was changed; look at the "
                                "records again and retry.");
        QCOMPARE(result.message, message.arg(QDir::toNativeSeparators(pi.path)));
        QCOMPARE(readFile(pi.path), theirs);
    }

    void dialog()
    {
        QByteArray bytes = "<xri>\n<package fileName=\"ModCore\" type=\"core\"/>\n";
        for (int i = 1; i <= 15; ++i)
            bytes += QString("<package fileName=\"Mod%1\" type=\"module\"/>\n").arg(i).toUtf8();
        bytes += "<package fileName=\"Orrinpad\" type=\"module\" installDate=\"20260102030405\"/>\n"
                 "<package fileName=\"Orrinpad\" type=\"module\"/>\n</xri>\n";
        Installation pi(bytes);
        InstalledUpdatesDialog dialog(pi.path);
        QTreeWidget *list = dialog.list();
        QCOMPARE(list->topLevelItemCount(), 18);
        QCOMPARE(list->topLevelItem(16)->text(2), "2026-01-02 03:04");
        QVERIFY(!dialog.removeButton()->isEnabled() && !dialog.restoreButton()->isEnabled());

        // A package recorded twice is ticked as one; hidden ticks stay.
        list->topLevelItem(16)->setCheckState(0, Qt::Checked);
        QCOMPARE(list->topLevelItem(17)->checkState(0), Qt::Checked);
        dialog.filterEdit()->setText(" MOD");
        QVERIFY(list->topLevelItem(17)->isHidden() && !list->topLevelItem(15)->isHidden());
        dialog.setAllShownChecked(true);
        QVERIFY(!list->topLevelItem(0)->data(0, Qt::CheckStateRole).isValid());
        QCOMPARE(dialog.removeButton()->text(), "Remove 17 ticked...");

        Dialogs::setNextAnswer(QMessageBox::Yes);
        QTest::mouseClick(dialog.removeButton(), Qt::LeftButton);
        QString question = "Remove 17 records from PixInsight's list of installed updates?";
        for (int i = 1; i <= 12; ++i)
            question += QString("\n  - Mod%1").arg(i);
        question += "\n  ... and 5 more\n\nA backup is made first. PixInsight must be closed.";
        QCOMPARE(Dialogs::shown().value(0).text, question);
        const QString backup = pi.path + ".bak-20310506-070809-010";
        QCOMPARE(Dialogs::lastShown().text,
                 "Removed 17 records.\n\nIn PixInsight: Resources > Updates > "
                 "Check for Updates.\n\nBackup: " +
                     backup);
        QCOMPARE(list->topLevelItemCount(), 1);
        QCOMPARE(readFile(backup), bytes);

        QVERIFY(dialog.restoreButton()->isEnabled());
        FakePixInsight pixInsight;
        dialog.updateState(); // what the dialog's poll does
        QVERIFY(!dialog.restoreButton()->isEnabled());
        QVERIFY(dialog.statusLabel()->text().startsWith("<b>PixInsight is running."));
        // Processes that cannot be listed count as PixInsight perhaps running, and say so.
        setPixInsightProcessQuery([] { return PixInsightCheck::failed("no process list"); });
        dialog.updateState();
        QVERIFY(dialog.statusLabel()->text().startsWith(
            "<b>Cannot tell whether PixInsight is running</b> (no process list)."));
        const RecordChangeResult refused = restoreNewestBackup(pi.path, true);
        setPixInsightProcessQuery({});
        QCOMPARE(refused.message, "Could not check whether PixInsight is running (no process "
                                  "list). It may be running: close it first, it rewrites its "
                                  "records from memory.");
        Dialogs::reset();
    }

    // The helper for real through "sudo -n", from the dialog of a user who may not write the
    // installation. Runs as root with sudo installed (as in CI), against a fake installation made
    // in /opt/PixInsight only when there is none, and removed again.
    void helperThroughSudo()
    {
        const QString folder = "/opt/PixInsight";
        if (::geteuid() != 0 || !QFileInfo::exists("/usr/bin/sudo"))
            QSKIP("needs root and /usr/bin/sudo (CI installs sudo and runs the tests as root)");
        // Made in one step, so an installation that appears meanwhile is never taken for ours.
        if (!QDir().mkdir(folder))
            QSKIP("/opt/PixInsight exists; a fake installation is made only where there is none");
        const auto removeFake = qScopeGuard([&] { QDir(folder).removeRecursively(); });
        const QString path = recordFilePath(folder);
        QVERIFY(writeFile(path, kSmall));
        QTemporaryDir tmp;
        const QString denying = tmp.filePath("pkexec");
        QVERIFY(writeFile(denying, "#!/bin/sh\nexit 126\n"));
        const QString wantsPassword = tmp.filePath("sudo"); // as "sudo -n" does without a prompt
        QVERIFY(writeFile(wantsPassword, "#!/bin/sh\nexit 1\n"));
        QVERIFY(::chmod(QFile::encodeName(denying).constData(), 0755) == 0 &&
                ::chmod(QFile::encodeName(wantsPassword).constData(), 0755) == 0 &&
                ::chmod(QFile::encodeName(tmp.path()).constData(), 0755) == 0);
        const auto realTools = qScopeGuard([] { setElevationTools({}); });
        const ElevationTools sudo{tmp.filePath("none"), {}, VARNEL_PROGRAM, 0, 0};
        setElevationTools(sudo);

        testdata::EffectiveUser nobody(testdata::kNobody);
        QVERIFY(nobody.ok());
        InstalledUpdatesDialog dialog(path);
        // The dialog names what this system will ask, as the launcher would run it.
        QCOMPARE(dialog.statusLabel()->text(),
                 "Changing this file needs administrator rights. When you confirm, it is done "
                 "through sudo, which cannot ask for a password here: it works only if sudo lets "
                 "you run it without one. Installing polkit adds a password dialog.");
        setElevationTools({tmp.filePath("none"), wantsPassword, VARNEL_PROGRAM, 0, 0});
        QCOMPARE(changeRecordFile(path, "remove", {"Mod1"}).message,
                 "The elevated helper could not run (sudo needs a password and cannot ask for one "
                 "here; install polkit to be asked for it).");
        setElevationTools({denying, {}, VARNEL_PROGRAM, 0, 0});
        dialog.updateState();
        QCOMPARE(dialog.statusLabel()->text(),
                 "Changing this file needs administrator rights. When you confirm, the system's "
                 "authentication dialog (pkexec) asks for an administrator password.");
        dialog.list()->topLevelItem(2)->setCheckState(0, Qt::Checked);
        Dialogs::setNextAnswer(QMessageBox::Yes);
        dialog.removeChecked();
        QCOMPARE(Dialogs::lastShown().kind, Dialogs::Kind::Information);
        QCOMPARE(Dialogs::lastShown().text, "Cancelled: administrator permission was "
                                            "not given, so nothing was changed.");

        setElevationTools(sudo);
        dialog.list()->topLevelItem(2)->setCheckState(0, Qt::Checked);
        Dialogs::setNextAnswer(QMessageBox::Yes);
        dialog.removeChecked();
        const QStringList backups = listRecordBackups(path);
        QCOMPARE(Dialogs::lastShown().text,
                 "Removed 1 record.\n\nIn PixInsight: Resources > Updates > Check "
                 "for Updates.\n\nBackup: " +
                     backups.value(0));
        QCOMPARE(readFile(folder + "/etc/update/" + backups.value(0)), kSmall);
        // The helper restores only when told nothing more.
        QCOMPARE(changeRecordFile(path, "restore", {"x"}).message,
                 "The change failed (code 6). The file was left as it was, or the backup was put "
                 "back.");
        Dialogs::setNextAnswer(QMessageBox::Yes);
        dialog.restoreBackup();
        QCOMPARE(readFile(path), kSmall);
        Dialogs::reset();
    }
};

QTEST_MAIN(TestInstalled)
#include "tst_installed.moc"
