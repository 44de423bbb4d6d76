// varnelctl run as a real process on generated files, with HOME and the XDG folders in a
// temporary folder so the real user's settings and trash are never touched.
#include "cli/ctl.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "knowledge/compare.h"
#include "store/files.h"
#include "store/memoryfit.h"
#include "support/testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QXmlStreamReader>
#include <QtTest>

#include <fcntl.h>
#include <unistd.h>

using namespace vrn;

namespace {

const QString kProcessors = "Global/Preferences/Process/MaxProcessors";
const QString kFont = "Global/Preferences/Application/FontResolution";
const QString kIntent = "Global/ColorManagement/DefaultRenderingIntent";
const QString kHighResFont = "Global/Preferences/Application/HighResFont";
const QString kBackup = "core-1-pxi.settings.bak-20240101-000000";

// The value at path as a conforming XML reader, not ours, reads it from the file.
QString xmlValue(const QByteArray &bytes, const QString &path)
{
    QXmlStreamReader xml(bytes);
    QStringList keys;
    while (xml.readNext() != QXmlStreamReader::EndDocument && !xml.hasError()) {
        if (xml.isStartElement() && xml.name() != u"xsdt")
            keys.append(xml.attributes().value("k").toString());
        else if (xml.isEndElement() && !keys.isEmpty())
            keys.removeLast();
        if (xml.isStartElement() && keys.join('/') == path)
            return xml.attributes().value("v").toString();
    }
    return xml.errorString();
}

// Where the element at path starts and ends in bytes, as Qt's XML reader finds it.
std::pair<qsizetype, qsizetype> elementAt(const QByteArray &bytes, const QString &path)
{
    QXmlStreamReader xml(QString::fromLatin1(bytes)); // one character a byte
    xml.readNextStartElement();
    qsizetype start = -1;
    for (const QString &key : path.split('/')) {
        for (start = xml.characterOffset(); xml.readNextStartElement();
             start = xml.characterOffset()) {
            if (xml.attributes().value("k") == key)
                break;
            xml.skipCurrentElement();
        }
    }
    xml.skipCurrentElement();
    return {start, xml.characterOffset()};
}

// One string value, Global/Note, holding a byte that is not UTF-8.
QByteArray withInvalidUtf8(QByteArray bytes)
{
    return bytes.replace("<i k=\"Global\">",
                         "<i k=\"Global\"><v k=\"Note\" t=\"s\" v=\"caf\xe9\"/>");
}

// Two paths PixInsight documents as read-only beside one that may change, all in /home/astro.
QByteArray readOnlyPaths()
{
    return testdata::wrapSettings(
        R"(<i k="Global"><v k="X" t="s" v="/home/astro/x"/><i k="Preferences"><i k="Application">)"
        R"(<v k="BaseDirectory" t="s" v="/home/astro/pi"/>)"
        R"(<v k="BinDirectory" t="s" v="/home/astro/pi/bin"/></i></i></i>)");
}

struct Run
{
    int code = -1;
    QString out, err;
};

} // namespace

class TestVarnelctl : public QObject
{
    Q_OBJECT

    // `here`: inside this process, where the store's test seams reach the command.
    Run run(QStringList args, bool here = false)
    {
        // Other test programs on this machine start processes named PixInsight too: a run that
        // must not see one waits until they are gone.
        if (!m_ownPixInsight &&
            !QTest::qWaitFor([] { return runningPixInsightPids().isEmpty(); }, 120000))
            qWarning("a process named PixInsight is still running");
        args.replaceInStrings("%F", m_file);
        if (here) {
            // The histories where the processes keep them.
            const bool set = qEnvironmentVariableIsSet("XDG_DATA_HOME");
            const QByteArray data = qgetenv("XDG_DATA_HOME");
            qputenv("XDG_DATA_HOME", QFile::encodeName(m_home.filePath(".local/share")));
            const auto restore = qScopeGuard(
                [&] { set ? qputenv("XDG_DATA_HOME", data) : qunsetenv("XDG_DATA_HOME"); });
            QString out, err;
            QTextStream outStream(&out), errStream(&err);
            const int code = Ctl(outStream, errStream).run(QStringList{"varnelctl"} + args);
            return {code, out, err};
        }
        QProcess process;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_home.path());
        env.insert("XDG_CONFIG_HOME", m_home.filePath(".config"));
        env.insert("XDG_DATA_HOME", m_home.filePath(".local/share"));
        env.remove("DISPLAY");
        env.remove("QT_QPA_PLATFORM");
        process.setProcessEnvironment(env);
        process.start(QString(VARNELCTL_PROGRAM), args);
        if (!process.waitForFinished(60000) || process.exitStatus() != QProcess::NormalExit)
            return {};
        return {process.exitCode(), QString::fromUtf8(process.readAllStandardOutput()),
                QString::fromUtf8(process.readAllStandardError())};
    }
    QString write(const QString &name, const QByteArray &bytes)
    {
        const QString path = m_home.filePath(name);
        if (!testdata::writeFile(path, bytes))
            qFatal("cannot write %s", qPrintable(path));
        return path;
    }

    // What the bash completion offers with the command line `varnelctl words...`, the last word
    // being the one completed; the varnelctl it calls is the one built here.
    QStringList complete(const QStringList &words)
    {
        QProcess bash;
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("HOME", m_home.path());
        env.insert("PATH", QFileInfo(VARNELCTL_PROGRAM).absolutePath() + ':' + env.value("PATH"));
        bash.setProcessEnvironment(env);
        bash.start("bash", QStringList{"-c",
                                       "source \"$0\"; COMP_WORDS=(varnelctl \"$@\"); "
                                       "COMP_CWORD=$((${#COMP_WORDS[@]} - 1)); _varnelctl; "
                                       "printf '%s\\n' \"${COMPREPLY[@]}\"",
                                       VARNELCTL_COMPLETION} +
                               words);
        if (!bash.waitForFinished(60000))
            return {"bash did not finish"};
        QStringList offered = QString::fromUtf8(bash.readAllStandardOutput()).split('\n');
        offered.removeAll(QString());
        offered.sort();
        return offered;
    }

    QTemporaryDir m_home;
    QString m_file;
    bool m_ownPixInsight = false;

private slots:
    void initTestCase() { QVERIFY(m_home.isValid()); }

    // A fresh settings file in the folder the window would look in first, and nothing beside it.
    void init()
    {
        m_ownPixInsight = false;
        QDir(m_home.path()).removeRecursively();
        QVERIFY(QDir().mkpath(m_home.filePath(".local/share")));
        testdata::GeneratorOptions options;
        options.targetBytes = 96 * 1024;
        options.plantProblems = true;
        m_file = write(".PixInsight/core-1-pxi.settings", testdata::generateSettings(options));
    }

    // Runs that leave the file and its backups as they were: the exit code and what standard
    // error says.
    void messagesAndCodes_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("setup");
        QTest::addColumn<int>("code");
        QTest::addColumn<QString>("message");

        auto row = [](const char *name, QStringList args, const char *setup, int code,
                      const char *message) {
            QTest::newRow(name) << args << QString::fromLatin1(setup) << code
                                << QString::fromUtf8(message);
        };
        const QString f = "--file=%F";
        row("unknown option", {"set", f, kIntent + "=9"}, "", 4, "is not one of the options");
        row("one bad among good", {"set", f, kFont + "=96", kProcessors + "=0"}, "", 4,
            "below the allowed minimum 1");
        row("no such setting", {"set", f, "Global/Nope=1"}, "", 3, "Global/Nope: No such setting.");
        row("Never", {"delete", f, "Global/Preferences"}, "", 4,
            "Cannot delete. Container of PixInsight's preferences.");
        row("Warn without --force", {"delete", f, "ModuleData/Kestrane"}, "", 4,
            "Add --force to delete it anyway.");
        row("import with bad entries", {"import", f, "%F.json"}, "import", 4,
            "5 problems; nothing was imported.");
        row("import of a later version", {"import", f, "%F.json"}, "later version", 4,
            "The file is of version 999 of the format; this program reads version 1 only.");
        row("import with a relative mapping", {"import", f, "--map", "home=/x", "%F.json"},
            "import", 6, "--map: \"home=/x\": both sides must be absolute paths.\nUsage:");
        row("export of an unknown module", {"export", f, "--module", "Nosuch"}, "", 3,
            "No module or script named \"Nosuch\" has data in this file.");
        row("a name with a line break", {"export", f, "--module", "x\ny"}, "", 3,
            ": No module or script named \"x\\ny\" has data in this file.\n");
        row("restore while running", {"restore", f, kBackup}, "running", 2,
            "Close it before restoring a backup.");
        row("read-only without --force", {"set", f, kFont + "=96"}, "read-only", 4,
            "is read-only (its owner may not write it). Nothing was written. Add --force to "
            "replace it anyway.");
        row("restore of a broken backup", {"restore", f, kBackup}, "broken", 4,
            "The backup is not a valid settings file");
        row("changed since read", {"set", f, "--expect-hash=%H", kFont + "=96"}, "changed", 4,
            "given with --expect-hash: it was changed since that hash was taken, or the hash is "
            "not this file's. Nothing was written.");
        row("same bytes rewritten during set", {"set", f, kFont + "=96"}, "rewritten", 4,
            "The file changed on disk while it was being saved");
        row("same bytes rewritten during restore", {"restore", f, kBackup}, "rewritten", 4,
            "The file changed on disk while the backup was being restored");
        row("file held open by another program", {"set", f, kFont + "=96"}, "held", 4,
            "Nothing was written: another program has the file open.");
        row("bytes not UTF-8 in another value", {"set", f, kFont + "=96"}, "invalid", 4,
            "Byte sequences that are not valid UTF-8 and will be written as U+FFFD: 1 (the first "
            "in Global/Note). Nothing was written. Add --allow-replacement");
        row("prune without a trash", {"prune", f, "--keep", "0"}, "no trash", 4,
            "Cannot move the backups to the trash: there is no trash folder (");
        row("unknown option, as typed", {"get", "--bogus", kFont}, "", 6,
            "Unknown option '--bogus'.");
        row("no command", {}, "", 6, "Usage: varnelctl");
        row("a tab in an unknown command", {"se\tt"}, "", 6, "Unknown command 'se\\tt'.");
        row("a control character in a path", {"get", f, "Global/\x1b[31m"}, "", 3,
            "Global/\\u001b[31m: No such setting.");
        row("unknown command", {"sett", kFont + "=96"}, "", 6, "Usage: varnelctl");
        row("set without =", {"set", f, kFont}, "", 6, "Usage: varnelctl");
        row("option of another command", {"get", "--force", kFont}, "", 6, "Usage: varnelctl");
        row("prune without --keep", {"prune"}, "", 6, "Usage: varnelctl");
        row("an option of one value given twice", {"prune", f, "--keep", "0", "--keep", "9"}, "", 6,
            "--keep is given more than once; it takes one value.");
        row("paths replace, dry run",
            {"paths", f, "--replace", "/home/astro=/nowhere", "--dry-run"}, "", 0, ": /nowhere/");
        row("paths replace while running", {"paths", f, "--replace", "/home/astro=/x"}, "running",
            2, "PixInsight is running");
        row("paths replace, nothing may change", {"paths", f, "--replace", "/home/astro/pi=/x"},
            "read-only values", 4,
            "Application/BinDirectory: BinDirectory: Documented by PixInsight as read-only or "
            "write-only.\n");
        row("paths replace, relative", {"paths", f, "--replace", "astro=/x"}, "", 6,
            "both sides must be absolute paths.");
        row("paths, --missing and --replace", {"paths", "--missing", "--replace", "/a=/b"}, "", 6,
            "--missing and --replace cannot be used together.");
        row("history restore while running", {"history", "restore", f, "1"}, "running", 2,
            "Close it before restoring a backup.");
        row("history of a version that is not there", {"history", "get", f, "9", kFont}, "", 3,
            "There is no version 9 in its history");
        row("too large for the memory", {"set", f, kFont + "=96"}, "no memory", 7,
            "Nothing was read. Close other programs, or add --ignore-memory");
        row("too large, read anyway", {"get", f, "--ignore-memory", "Global/Nope"}, "no memory", 3,
            "Global/Nope: No such setting.");
        row("a version too large for the memory", {"history", "get", f, "1", kFont}, "no memory",
            7, "Nothing was read.");
        row("diff with a broken second file", {"diff", "%F", "%F.bak-20240101-000000"}, "broken", 3,
            "core-1-pxi.settings.bak-20240101-000000 is not a valid PixInsight settings file");
        row("diff, room to read both files but not to compare them", {"diff", "%F", "%F"},
            "room for one", 7, "Nothing was read.");
    }

    void messagesAndCodes()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, setup);
        QFETCH(QString, message);

        const QByteArray broken = "not a settings file";
        write(".PixInsight/" + kBackup, setup == "broken" ? broken : testdata::wrapSettings({}));
        if (setup == "import" || setup == "later version") {
            // One good entry and five bad ones (the second for one setting among them): none of
            // them may reach the file.
            QByteArray json =
                R"({"format": "varnel-preferences", "version": 1, "values": [
                    {"path": "Global/Preferences/Application/FontResolution", "type": "i",
                     "value": "96"},
                    {"path": "Global/Nope", "type": "i", "value": "1"},
                    {"path": "Global/Preferences/Process/MaxProcessors", "type": "s", "value": "2"},
                    {"path": "Global/ColorManagement/DefaultRenderingIntent", "type": "i",
                     "value": "7"},
                    {"path": "Global/Preferences/Process/MaxProcessors", "type": "i",
                     "value": "3"},
                    {"path": "Global/Preferences/Application/HighResFont", "type": "s",
                     "value": "\u0000"}]})";
            if (setup == "later version")
                json.replace("\"version\": 1", "\"version\": 999");
            write(".PixInsight/core-1-pxi.settings.json", json);
        }
        if (args.value(0) == "history") {
            // Old enough to be taken at once.
            QVERIFY(testdata::writeFile(m_file, testdata::readFile(m_file),
                                        QDateTime::currentDateTime().addSecs(-60)));
            QCOMPARE(run({"watch", "--once", "--file=%F"}).code, 0);
        }
        if (setup == "invalid") {
            write(".PixInsight/core-1-pxi.settings", withInvalidUtf8(testdata::readFile(m_file)));
        } else if (setup == "read-only") {
            QVERIFY(QFile::setPermissions(m_file, QFile::ReadOwner | QFile::ReadOther));
        } else if (setup == "read-only values") {
            write(".PixInsight/core-1-pxi.settings", readOnlyPaths());
        } else if (setup == "no trash") {
            QVERIFY(QDir(m_home.filePath(".local")).removeRecursively());
        }
        QByteArray bytes = testdata::readFile(m_file);
        int rewrites = 0;
        if (setup == "rewritten") {
            // Another program writes the same bytes again each time the store reads its clock:
            // every stamp differs (the old files stay linked, so no inode number comes back),
            // the content never does.
            setStoreClock([&] {
                const QString kept = m_home.filePath(QString("kept-%1").arg(++rewrites));
                if (::link(QFile::encodeName(m_file), QFile::encodeName(kept)) != 0 ||
                    !testdata::writeFile(m_file + ".new", bytes) ||
                    ::rename(QFile::encodeName(m_file + ".new"), QFile::encodeName(m_file)) != 0)
                    qFatal("cannot rewrite %s", qPrintable(m_file));
                return QDateTime::currentDateTime();
            });
        }
        if (setup == "changed") {
            // A script read the file (and its hash), then PixInsight rewrote it.
            args.replaceInStrings("%H", QString::fromLatin1(sha256(bytes).toHex()));
            bytes.replace("v=\"20\"", "v=\"21\"");
            write(".PixInsight/core-1-pxi.settings", bytes);
        }
        QProcess pixinsight;
        QTemporaryDir bin;
        if (setup == "running") {
            QVERIFY(QFile::copy("/bin/sleep", bin.filePath("PixInsight")));
            pixinsight.start(bin.filePath("PixInsight"), {"60"});
            QVERIFY(pixinsight.waitForStarted());
            m_ownPixInsight = true;
        }
        const QStringList backupsBefore = listBackups(m_file);
        int held = -1;
        if (setup == "held") {
            // An open file keeps the save from taking its write lease, where there are leases.
            held = ::open(QFile::encodeName(m_file), O_RDONLY | O_CLOEXEC);
            if (::fcntl(held, F_SETLEASE, F_WRLCK) != 0 || ::fcntl(held, F_SETLEASE, F_UNLCK) != 0)
                QSKIP("this file system has no leases");
        }

        if (setup == "no memory") // less than any command needs
            MemoryFit::setSource([&] { return bytes.size(); });
        if (setup == "room for one") // enough to read both files, not to compare them
            MemoryFit::setSource(
                [&] { return qint64(2 * MemoryFit::kReadFactor * double(bytes.size())); });
        const Run result =
            run(args, setup == "rewritten" || setup == "no memory" || setup == "room for one");
        MemoryFit::setSource({});
        QVERIFY(held < 0 || ::close(held) == 0);
        setStoreClock({});
        pixinsight.kill();
        pixinsight.waitForFinished();
        m_ownPixInsight = false;

        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QTEST(result.code, "code");
        QVERIFY(testdata::readFile(m_file) == bytes);
        // A backup the store made before it found the file rewritten is the store's to clear.
        if (setup != "rewritten")
            QCOMPARE(listBackups(m_file), backupsBefore);
        else
            QVERIFY(rewrites >= 2);
    }

    void successes_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("edits"); // "path=value" sets, "-path" deletes; none: dry run
        QTest::addColumn<QString>("setup");

        auto row = [](const char *name, const QStringList &args, const QStringList &edits,
                      const char *setup = "") { QTest::newRow(name) << args << edits << setup; };
        const QString f = "--file=%F";
        row("set two, the default file", {"set", kFont + "=96", kProcessors + "= 3"},
            {kFont + "=96", kProcessors + "=3"});
        row("set where bytes are not UTF-8, allowed",
            {"set", f, "--allow-replacement", kProcessors + "=3"}, {kProcessors + "=3"}, "invalid");
        row("delete Safe and Warn with --force",
            {"delete", f, "--force", "Global/Statistics", "ModuleData/Kestrane"},
            {"-Global/Statistics", "-ModuleData/Kestrane"});
        row("set text with tab, line feed and carriage return",
            {"set", f, kHighResFont + "=a\tb\nc\rd "}, {kHighResFont + "=a\tb\nc\rd "});
        row("import", {"import", f, "%F.json"}, {kFont + "=50", kIntent + "=1"});
        row("restore", {"restore", f, "%F" + kBackup.mid(19)}, {"restore"});
        row("restore over a file that does not parse", {"restore", f, kBackup}, {"restore"},
            "broken");
        row("set a read-only file with --force", {"set", f, "--force", kFont + "=96"},
            {kFont + "=96"}, "read-only");
        row("restore over a read-only file with --force", {"restore", f, "--force", kBackup},
            {"restore"}, "read-only");
        row("restore with the file missing", {"restore", f, kBackup}, {"restore"}, "missing");
        row("set, dry run", {"set", "--dry-run", kFont + "=96"}, {});
        row("prune, dry run", {"prune", "--dry-run", "--keep", "0"}, {});
        row("paths replace on folder boundaries", {"paths", f, "--replace", "/data=/mnt/new/"},
            {"Global/A=/mnt/new/x.fits", "Global/C=/mnt/new",
             "Global/L=/mnt/new/l\n/other/o\r\n/mnt/new|5"},
            "paths");
        row("paths replace, every mapping, none chained",
            {"paths", f, "--replace", "/data=/database", "--replace", "/database=/x"},
            {"Global/A=/database/x.fits", "Global/B=/x", "Global/C=/database",
             "Global/L=/database/l\n/other/o\r\n/database|5"},
            "paths");
        row("paths replace, what may change", {"paths", f, "--replace", "/home/astro=/home/nova"},
            {"Global/X=/home/nova/x"}, "read-only values");
    }

    void successes()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, edits);
        QFETCH(QString, setup);

        write(".PixInsight/core-1-pxi.settings.json",
              R"({"format": "varnel-preferences", "values": [
                  {"path": "Global/Preferences/Application/FontResolution", "type": "i", "value": "50"},
                  {"path": "Global/ColorManagement/DefaultRenderingIntent", "type": "i",
                   "value": "1"}]})");
        const QByteArray older = testdata::wrapSettings(R"(<v k="Older" t="s" v="yes"/>)");
        write(".PixInsight/" + kBackup, older);
        if (setup == "invalid")
            write(".PixInsight/core-1-pxi.settings", withInvalidUtf8(testdata::readFile(m_file)));
        else if (setup == "broken")
            write(".PixInsight/core-1-pxi.settings", "<xsdt><v k=");
        else if (setup == "missing")
            QVERIFY(QFile::remove(m_file));
        else if (setup == "read-only")
            QVERIFY(QFile::setPermissions(m_file, QFile::ReadOwner | QFile::ReadOther));
        else if (setup == "paths")
            write(".PixInsight/core-1-pxi.settings",
                  testdata::wrapSettings(
                      R"(<i k="Global"><v k="A" t="s" v="/data/x.fits"/>)"
                      R"(<v k="B" t="s" v="/database"/><v k="C" t="s" v="/data"/>)"
                      R"(<v k="D" t="s" v="@/data"/>)"
                      "<v k=\"L\" t=\"s\" v=\"/data/l&#10;/other/o&#13;&#10;/data|5\"/></i>"));
        else if (setup == "read-only values")
            write(".PixInsight/core-1-pxi.settings", readOnlyPaths());
        QByteArray bytes = testdata::readFile(m_file);
        const QStringList backupsBefore = listBackups(m_file);

        // What the file must become: the old bytes with only the edited elements changed, and
        // the byte that is not UTF-8 written as U+FFFD.
        QByteArray wanted = edits.isEmpty() ? bytes : older;
        if (!edits.isEmpty() && edits != QStringList{"restore"}) {
            wanted = QByteArray(bytes).replace("caf\xe9", "caf\xef\xbf\xbd");
            for (const QString &edit : std::as_const(edits)) {
                const bool deletion = edit.startsWith('-');
                const auto [from, to] = elementAt(wanted, edit.section('=', 0, 0).mid(deletion));
                QByteArray element = deletion ? QByteArray() : wanted.mid(from, to - from);
                const qsizetype value = element.indexOf(" v=\"") + 4;
                if (!deletion)
                    element.replace(value, element.indexOf('"', value) - value,
                                    edit.section('=', 1)
                                        .toUtf8()
                                        .replace("\t", "&#9;")
                                        .replace("\n", "&#10;")
                                        .replace("\r", "&#13;"));
                wanted.replace(from, to - from, element);
            }
        }

        const Run result = run(args);
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QVERIFY(testdata::readFile(m_file) == wanted);
        for (const QString &edit : std::as_const(edits)) {
            const qsizetype equals = edit.indexOf('=');
            if (equals > 0)
                QCOMPARE(xmlValue(wanted, edit.left(equals)), edit.mid(equals + 1));
        }
        QStringList made = listBackups(m_file);
        for (const QString &backup : backupsBefore)
            QVERIFY(made.removeOne(backup));
        // A dry run keeps every backup and makes none; a missing file leaves nothing to keep.
        QCOMPARE(made.size(), edits.isEmpty() || setup == "missing" ? 0 : 1);
        if (made.size() == 1) {
            QVERIFY(result.err.contains(QFileInfo(made.constFirst()).fileName()));
            QVERIFY(testdata::readFile(made.constFirst()) == bytes);
        }
        // Standard output holds records alone; what is said about them goes to standard error.
        if (edits.isEmpty())
            QVERIFY(result.err.contains("varnelctl: Dry run: nothing was "));
        for (const QString &line : result.out.split('\n', Qt::SkipEmptyParts))
            QVERIFY2(line.contains('\t') || line.startsWith("core-1-pxi.settings.bak-"),
                     qPrintable(line));
    }

    void exportImportAndJson()
    {
        const QString other = write("core-2-pxi.settings", [] {
            testdata::GeneratorOptions options;
            options.seed = 2;
            options.targetBytes = 64 * 1024;
            return testdata::generateSettings(options);
        }());
        QCOMPARE(run({"set", "--file=%F", kProcessors + "=3", kFont + "=144"}).code, 0);
        const Run exported = run({"export", "--file=%F"});
        QCOMPARE(exported.code, 0);
        write("prefs.json", exported.out.toUtf8());
        const Run imported = run({"import", "--file", other, m_home.filePath("prefs.json")});
        QVERIFY2(imported.code == 0, qPrintable(imported.err));
        QVERIFY(imported.out.contains("\n" + kProcessors + "\tInteger\t"));

        // Without --recursive a group gives its own values, not those of its subgroups.
        const Run shallow = run({"get", "--file=%F", "Global/Preferences"});
        QCOMPARE(shallow.code, 0);
        QVERIFY(!shallow.out.contains(kProcessors));

        // The text form carries the same records as the JSON form, escapes undone.
        const Run text = run({"get", "--recursive", "--file=%F", "Global"});
        const Run json = run({"get", "--recursive", "--json", "--file=%F", "Global"});
        QStringList fromJson;
        for (const QJsonValue &value :
             QJsonDocument::fromJson(json.out.toUtf8())["values"].toArray())
            fromJson.append(value["path"].toString() + '\t' + value["typeName"].toString() + '\t' +
                            value["value"].toString());
        QStringList lines = text.out.split('\n', Qt::SkipEmptyParts);
        for (QString &line : lines)
            line.replace("\\n", "\n").replace("\\t", "\t").replace("\\\\", "\\");
        QVERIFY(fromJson.size() > 200);
        QCOMPARE(lines, fromJson);
    }

    void checkExitCodes()
    {
        const QString clean =
            write("clean.settings",
                  testdata::wrapSettings(R"(<i k="Global"><i k="Preferences"><i k="Process">)"
                                         R"(<v k="MaxProcessors" t="i" v="1"/></i></i></i>)"));
        QCOMPARE(run({"check", "--file", clean}).code, 0);
        const Run found = run({"check", "--json", "--file=%F"});
        QCOMPARE(found.code, 1);
        const QJsonArray findings =
            QJsonDocument::fromJson(found.out.toUtf8())["findings"].toArray();
        QCOMPARE(findings.first()["severity"].toString(), "Problem");
        QCOMPARE(findings.first()["paths"].toArray().first().toString(), kFont);

        // A copy of a file whose keys repeat is no different from it.
        QCOMPARE(run({"diff", "--file", m_file, write("copy.settings", testdata::readFile(m_file))})
                     .code,
                 0);
        const Run differ = run({"diff", m_file, clean});
        QCOMPARE(differ.code, 1);
        QVERIFY(differ.out.contains("\nDifferent\t" + kProcessors + "\t2\t1\n"));
        // As JSON each record tells whether the types differ and what the window's copy of the
        // second file's value would do, by the same check.
        const auto recordAgainst = [&](const char *type, const char *value) {
            const QString other =
                write("other.settings",
                      testdata::wrapSettings(QByteArray(R"(<i k="Global"><i k="Preferences"><i )"
                                                        R"(k="Process"><v k="MaxProcessors" t=")") +
                                             type + "\" v=\"" + value + "\"/></i></i></i>"));
            const Run json = run({"diff", "--json", clean, other});
            return QJsonDocument::fromJson(json.out.toUtf8())["records"].toArray().first();
        };
        const QJsonValue typed = recordAgainst("u", "1");
        QVERIFY(typed["typeDiffers"].toBool());
        QCOMPARE(typed["copy"]["verdict"].toString(), "typeDiffers");
        const QJsonValue refused = recordAgainst("i", "0");
        QVERIFY(!refused["typeDiffers"].toBool());
        QCOMPARE(refused["copy"]["reason"].toString(),
                 "Max processors: 0 is below the allowed minimum 1");

        // Finding no settings file is an answer too.
        QVERIFY(QFile::remove(m_file));
        const Run none = run({"files", "--json"});
        QCOMPARE(none.code, 0);
        QCOMPARE(none.out, "{\n    \"files\": [\n    ]\n}\n");
    }

    // Each record of a diff stays on one line, and as JSON reads as the value itself.
    void diffEscapes_data()
    {
        QTest::addColumn<QByteArray>("value");
        QTest::addColumn<QString>("text");
        QTest::addColumn<QString>("json");
        QTest::newRow("plain") << QByteArray("a b") << "a b"
                               << "\"a b\"";
        QTest::newRow("tab") << QByteArray("a&#9;b") << "a\\tb"
                             << "\"a\\tb\"";
        QTest::newRow("line feed") << QByteArray("a&#10;b") << "a\\nb"
                                   << "\"a\\nb\"";
        QTest::newRow("carriage return") << QByteArray("&#13;b") << "\\rb"
                                         << "\"\\rb\"";
        QTest::newRow("backslash") << QByteArray("a\\") << "a\\\\"
                                   << "\"a\\\\\"";
        QTest::newRow("quote") << QByteArray("&quot;b") << "\"b"
                               << "\"\\\"b\"";
        QTest::newRow("control") << QByteArray("a&#1;") << "a\\u0001"
                                 << "\"a\\u0001\"";
        QTest::newRow("beyond ASCII")
            << QByteArray("caf\xc3\xa9 \xe6\x97\xa5") << "caf\u00e9 \u65e5"
            << "\"caf\u00e9 \u65e5\"";
        // Long values are checked many characters at a time: what needs escaping still shows
        // inside a later block.
        const auto longRow = [](const char *name, const QByteArray &value, const QString &text,
                                const QString &json) {
            const QByteArray head = "0123456789abcdefgh";
            const QByteArray tail = "0123456789abcdef";
            QTest::newRow(name) << QByteArray(head + value + tail) << QString(head + text + tail)
                                << QString('"' + head + json + tail + '"');
        };
        longRow("quote, long", "&quot;", "\"", "\\\"");
        longRow("backslash, long", "\\", "\\\\", "\\\\");
        longRow("control, long", "&#1;", "\\u0001", "\\u0001");
        longRow("Latin-1, long", "\xc3\xa9", "\u00e9", "\u00e9");
        longRow("beyond Latin-1, long", "\xe6\x97\xa5", "\u65e5", "\u65e5");
    }
    void diffEscapes()
    {
        QFETCH(QByteArray, value);
        QFETCH(QString, text);
        QFETCH(QString, json);
        const auto file = [&](const char *name, const QByteArray &v) {
            return write(name, testdata::wrapSettings("<v k=\"K\" t=\"s\" v=\"" + v + "\"/>"));
        };
        const QString first = file("first.settings", "x");
        const QString second = file("second.settings", value);
        QCOMPARE(run({"diff", first, second}).out, "Different\tK\tx\t" + text + '\n');
        QVERIFY(run({"diff", "--json", second, first}).out.contains("\"value\": " + json + '\n'));
    }

    // A diff too long for one piece of output comes out whole and in order, the same in both
    // forms and as the comparison made here finds it.
    void diffLongOutput()
    {
        QStringList files;
        XsdtDocument documents[2];
        for (int seed : {1, 2}) {
            testdata::GeneratorOptions options;
            options.seed = seed;
            options.targetBytes = 512 * 1024;
            const QByteArray bytes = testdata::generateSettings(options);
            QVERIFY(documents[seed - 1].parse(bytes));
            files.append(write(QString("seed%1.settings").arg(seed), bytes));
        }
        const QList<DiffRecord> expected = compareDocuments(documents[0], documents[1]);
        const Run text = run({"diff", files[0], files[1]});
        const QJsonArray records =
            QJsonDocument::fromJson(
                run({"diff", "--json", files[0], files[1]}).out.toUtf8())["records"]
                .toArray();
        const QStringList lines = text.out.split('\n', Qt::SkipEmptyParts);
        QVERIFY(text.out.size() > 1024 * 1024);
        QCOMPARE(lines.size(), records.size());
        for (qsizetype i = 0; i < lines.size(); ++i)
            QCOMPARE(lines[i].section('\t', 1, 1), records[i]["path"].toString());
        QCOMPARE(lines.size(), expected.size());
        for (qsizetype i = 0; i < lines.size(); ++i)
            QCOMPARE(lines[i].section('\t', 1, 1), expected[i].path());
    }

    // An address given twice (case of the host and a trailing slash aside) or over plain http
    // is flagged on each repository it concerns; a switch the file lacks is null.
    void reposJson()
    {
        const auto repo = [](const char *key, const char *url) -> QByteArray {
            return QByteArray("<i k=\"") + key + "\"><v k=\"URL\" t=\"s\" v=\"" + url + "\"/></i>";
        };
        const QString file =
            write("repos.settings",
                  testdata::wrapSettings(
                      R"(<i k="Global"><i k="UpdateManager"><i k="Repositories">)" +
                      repo("1", "https://A.example/r/") + repo("2", "http://a.example/r") +
                      repo("3", "https://a.example/r") + "</i></i></i>"));
        const Run result = run({"repos", "--json", "--file", file});
        QCOMPARE(result.code, 0);
        const QJsonDocument json = QJsonDocument::fromJson(result.out.toUtf8());
        QVERIFY(json["allowUnsigned"].isNull());
        QStringList got;
        for (const QJsonValue &r : json["repositories"].toArray())
            got << QString("%1 %2 [%3] %4")
                       .arg(r["path"].toString(), r["urls"][0].toString(),
                            r["sameUrlAs"][0].toString(), r["plainHttp"].toBool() ? "http" : "-");
        const QString base = "Global/UpdateManager/Repositories/";
        QCOMPARE(got,
                 QStringList({"%1 https://A.example/r/ [%3] -", "%2 http://a.example/r [] http",
                              "%3 https://a.example/r [%1] -"})
                     .replaceInStrings("%1", base + "1")
                     .replaceInStrings("%2", base + "2")
                     .replaceInStrings("%3", base + "3"));
    }

    // The completion offers what the command table has, and nothing else.
    void completion_data()
    {
        QTest::addColumn<QStringList>("words");
        QTest::addColumn<QStringList>("offered");

        QStringList commands, common;
        for (const CtlCommand &command : Ctl::commands()) {
            // "history diff" and the like complete their first word with the others.
            if (!commands.contains(QString(command.name).section(' ', 0, 0)))
                commands.append(QString(command.name).section(' ', 0, 0));
        }
        for (const CtlOption &option : Ctl::options()) {
            if (option.scope != CtlOption::Command)
                common.append(QString("--") + option.name);
        }
        commands.sort();
        common.sort();
        QTest::newRow("commands") << QStringList{""} << commands;
        QTest::newRow("options before a command") << QStringList{"--"} << common;
        for (const CtlCommand &command : Ctl::commands()) {
            QStringList options = common;
            for (const QString &option : command.options)
                options.append("--" + option);
            options.sort();
            QTest::newRow(command.name)
                << QString(command.name).split(' ') + QStringList{"--"} << options;
        }
        // Backups, setting paths and module names come from the file named, or the default one.
        const QString backup = "core-1-pxi.settings.bak-20250101-000000";
        QTest::newRow("restore --file F")
            << QStringList{"restore", "--file", "%F", ""} << QStringList{backup};
        QTest::newRow("restore --file=F")
            << QStringList{"restore", "--file=%F", "core"} << QStringList{backup};
        QTest::newRow("restore, the default file")
            << QStringList{"restore", ""} << QStringList{kBackup};
        QTest::newRow("a group's path") << QStringList{"get", "Global/Preferences/Appl"}
                                        << QStringList{"Global/Preferences/Application/"};
        QTest::newRow("a value's path in set")
            << QStringList{"set", "--file", "%F", kFont.chopped(3)} << QStringList{kFont + "="};
        QTest::newRow("a module") << QStringList{"export", "--module", "Kes"}
                                  << QStringList{"Kestrane"};
        // The value of an option is not taken for the command.
        for (const CtlOption &option : Ctl::options()) {
            if (option.valueName)
                QTest::newRow(option.name)
                    << QStringList{QString("--") + option.name, "x", ""} << commands;
        }
    }

    void completion()
    {
        QFETCH(QStringList, words);
        // %F: a file elsewhere, with a backup of its own, beside the default one.
        const QString file = write("elsewhere/core-1-pxi.settings", testdata::readFile(m_file));
        write("elsewhere/core-1-pxi.settings.bak-20250101-000000", testdata::wrapSettings({}));
        write("elsewhere/core-1-pxi.settings.bak-my-notes.txt", "notes"); // not a backup
        write(".PixInsight/" + kBackup, testdata::wrapSettings({}));
        QTEST(complete(words.replaceInStrings("%F", file)), "offered");
    }

    // Every field of a record is escaped, the setting's path too: a key may hold a tab, and a
    // value a control character that would reach the terminal.
    void recordsEscaped_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("out");

        const QString f = "--file=%F";
        QTest::newRow("get") << QStringList{"get", f, "Global"} << "Global/a\\tb\tString\t/x\n";
        QTest::newRow("paths") << QStringList{"paths", f} << "Global/a\\tb\t/x\tmissing\n";
        QTest::newRow("diff") << QStringList{"diff", f, "%F.b"}
                              << "Different\tGlobal/a\\tb\t/x\t/y\\u001b[31m\n";
        QTest::newRow("set") << QStringList{"set", "--dry-run", f, "Global/a\tb=/z"}
                             << "Global/a\\tb\tString\t/x\t/z\n";
    }

    void recordsEscaped()
    {
        QFETCH(QStringList, args);
        const auto settings = [](const char *value) {
            return testdata::wrapSettings(
                QByteArray("<i k=\"Global\"><v k=\"a&#9;b\" t=\"s\" v=\"") + value + "\"/></i>");
        };
        write(".PixInsight/core-1-pxi.settings", settings("/x"));
        write(".PixInsight/core-1-pxi.settings.b", settings("/y&#27;[31m"));
        QTEST(run(args).out, "out");
    }

    // The preferences come along unasked only when nothing else is asked for.
    void exportChoice_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<bool>("preferences");
        QTest::addColumn<bool>("module");

        const QStringList module{"--module", "Kestrane"};
        QTest::newRow("nothing named") << QStringList{} << true << false;
        QTest::newRow("a module") << module << false << true;
        QTest::newRow("a module and --preferences")
            << module + QStringList{"--preferences"} << true << true;
        QTest::newRow("a subtree") << QStringList{kIntent} << false << false;
        QTest::newRow("a subtree and --preferences")
            << QStringList{kIntent, "--preferences"} << true << false;
    }

    void exportChoice()
    {
        QFETCH(QStringList, args);
        const Run result = run(QStringList{"export", "--file=%F"} + args);
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QStringList paths;
        for (const QJsonValue &value :
             QJsonDocument::fromJson(result.out.toUtf8())["values"].toArray())
            paths.append(value["path"].toString());
        QTEST(paths.contains(kFont), "preferences");
        QTEST(!paths.filter(QRegularExpression("^ModuleData(Access)?/Kestrane/")).isEmpty(),
              "module");
        QVERIFY(!args.contains(kIntent) || paths.contains(kIntent));
        QCOMPARE(paths.removeDuplicates(), 0);
    }

    // Through varnelctl alone: each write is kept, one value of an old version goes back into
    // the file, and then the whole version.
    void historyEndToEnd()
    {
        const QByteArray original = testdata::readFile(m_file);
        QCOMPARE(run({"set", kProcessors + "=3"}).code, 0);
        QCOMPARE(run({"set", kFont + "=96"}).code, 0);
        auto versions = [this] {
            const Run listed = run({"history", "--json"});
            QStringList kept;
            for (const QJsonValue &version :
                 QJsonDocument::fromJson(listed.out.toUtf8())["versions"].toArray())
                kept.append(QString("%1 %2 %3")
                                .arg(version["id"].toInt())
                                .arg(version["author"].toString())
                                .arg(version["changed"].toInt(-1)));
            return kept;
        };
        QCOMPARE(versions(), (QStringList{"3 varnelctl 1", "2 varnelctl 1", "1 unknown -1"}));
        const Run value = run({"history", "get", "1", kProcessors});
        QCOMPARE(value.code, 0);
        const QString old = xmlValue(original, kProcessors);
        QCOMPARE(value.out, kProcessors + "\tInteger\t" + old + "\n");
        QCOMPARE(run({"set", kProcessors + "=" + value.out.section('\t', 2).trimmed()}).code, 0);
        QCOMPARE(xmlValue(testdata::readFile(m_file), kProcessors), old);
        QCOMPARE(xmlValue(testdata::readFile(m_file), kFont), QString("96"));
        const Run diff = run({"history", "diff", "1"});
        QCOMPARE(diff.code, 1);
        QCOMPARE(diff.out.count('\n'), 1);
        QVERIFY(diff.out.startsWith("Different\t" + kFont + "\t"));

        const Run restored = run({"history", "restore", "1"});
        QVERIFY2(restored.code == 0, qPrintable(restored.err));
        QCOMPARE(restored.out, QString()); // what was done is said on standard error
        QVERIFY(testdata::readFile(m_file) == original);
        QCOMPARE(versions().first(), QString("5 restore 1"));
        QCOMPARE(run({"history", "diff", "1", "5"}).code, 0);
    }

    void pruneToTrash()
    {
        for (const char *stamp : {"20240101-000000", "20250101-000000", "20260101-000000"})
            write(QString(".PixInsight/core-1-pxi.settings.bak-") + stamp, "old");
        // Notes beside the file are no backup, and never removed.
        const QString notes = write(".PixInsight/core-1-pxi.settings.bak-my-notes.txt", "notes");
        const QStringList all = listBackups(m_file);
        const Run result = run({"prune", "--keep", "2"});
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QCOMPARE(listBackups(m_file), all.mid(0, 2));
        QVERIFY(QFile::exists(m_file));
        const QString trash = m_home.filePath(".local/share/Trash");
        QVERIFY2(result.err.contains("varnelctl: Backups moved to the trash folder " + trash +
                                     ": 1 (0 KiB).\n"),
                 qPrintable(result.err));
        QCOMPARE(QDir(trash + "/files").entryList(QDir::Files),
                 QStringList{QFileInfo(all.at(2)).fileName()});

        // Without a trash, deleting for good is asked for, and said once in the program's words.
        QVERIFY(QDir(m_home.filePath(".local")).removeRecursively());
        const Run permanently = run({"prune", "--keep", "1", "--permanently"});
        QVERIFY2(permanently.code == 0, qPrintable(permanently.err));
        QCOMPARE(permanently.err, "varnelctl: Backups deleted for good: 1 (0 KiB).\n");
        QCOMPARE(listBackups(m_file), all.mid(0, 1));
        QVERIFY(QFile::exists(notes));
    }

    // A backup's name holding a line break is escaped as the records are: one record a line.
    void namesWithLineBreaks()
    {
        const QString file = write(".PixInsight/a\nb.settings", testdata::readFile(m_file));
        write(".PixInsight/a\nb.settings.bak-20240101-000000", "old");
        const Run pruned = run({"prune", "--dry-run", "--keep", "0", "--file", file});
        QCOMPARE(pruned.out.section('\n', 0, 0), "a\\nb.settings.bak-20240101-000000");
    }

    // A script's data carried to a computer whose home folder has another name: every twin in
    // order (two entries under one name), each path of a list, nothing else of either file.
    void carryToAnotherHome()
    {
        const auto settings = [](const char *a, const char *b, const char *list) {
            return testdata::wrapSettings(
                QByteArray("<i k=\"ScriptData\"><i k=\"Tool\"><v k=\"Recent\" t=\"s\" v=\"") + a +
                "\"/><v k=\"Keep\" t=\"i\" v=\"1\"/><v k=\"Recent\" t=\"s\" v=\"" + b +
                "\"/><v k=\"List\" t=\"s\" v=\"" + list + "\"/></i></i>");
        };
        write(".PixInsight/core-1-pxi.settings",
              settings("/home/astro/a", "/home/astro/b", "/home/astro/c&#10;/home/astro/d.js|7"));
        const QString other = write("core-2-pxi.settings", settings("/x", "/y", "/z"));
        const Run exported = run({"export", "--file=%F", "--module", "Tool"});
        run({"import", "--file", other, "--map", "/home/astro=/home/nova",
             write("setup.json", exported.out.toUtf8())});
        QCOMPARE(testdata::readFile(other),
                 settings("/home/nova/a", "/home/nova/b", "/home/nova/c&#10;/home/nova/d.js|7"));
        const Run twins = run({"get", "--file", other, "ScriptData/Tool/Recent"});
        QCOMPARE(twins.out, "ScriptData/Tool/Recent\tString\t/home/nova/a\n"
                            "ScriptData/Tool/Recent\tString\t/home/nova/b\n");
    }

    // A module's data carried into a file that lacks some or all of it: refused whole unless
    // asked for, then created between the neighbours it had, every other byte kept.
    void addMissing_data()
    {
        QTest::addColumn<QByteArray>("source");
        QTest::addColumn<QByteArray>("target");
        QTest::addColumn<bool>("add");
        QTest::addColumn<int>("code");
        QTest::addColumn<QByteArray>("after");
        QTest::addColumn<QString>("error");
        const QByteArray a = R"(<v k="A" t="i" v="1"/>)";
        const QByteArray ab = a + R"(<v k="B" t="s" v="x&#10;y"/>)";
        const QByteArray other = R"(<i k="Other"><v k="Z" t="b" v="true"/></i>)";
        const QByteArray c = R"(<v k="C" t="f" v="0.5"/>)";
        QTest::newRow("never ran it, refused whole")
            << ab << other << false << 4 << other << "No such setting in";
        QTest::newRow("never ran it, created")
            << ab << other << true << 0 << other + "<i k=\"Tool\">" + ab + "</i>"
            << "";
        QTest::newRow("a value between its neighbours")
            << ab + c << "<i k=\"Tool\">" + a + c + "</i>" << true << 0
            << "<i k=\"Tool\">" + ab + c + "</i>"
            << "";
        QTest::newRow("twins never created")
            << ab + a << other << true << 4 << other << "a new setting is created once";
    }

    void addMissing()
    {
        QFETCH(QByteArray, source);
        QFETCH(QByteArray, target);
        QFETCH(bool, add);
        QFETCH(int, code);
        QFETCH(QByteArray, after);
        QFETCH(QString, error);
        const auto settings = [](const QByteArray &body) {
            return testdata::wrapSettings("<i k=\"ScriptData\">" + body + "</i>");
        };
        write(".PixInsight/core-1-pxi.settings", settings("<i k=\"Tool\">" + source + "</i>"));
        const QString file = write("core-2-pxi.settings", settings(target));
        const QString setup =
            write("setup.json", run({"export", "--file=%F", "--module", "Tool"}).out.toUtf8());
        QStringList args{"import", "--file", file, setup};
        if (add)
            args.append("--add-missing");
        const Run imported = run(args);
        QCOMPARE(imported.code, code);
        QVERIFY2(imported.err.contains(error), qPrintable(imported.err));
        QCOMPARE(testdata::readFile(file), settings(after));
    }
};

QTEST_GUILESS_MAIN(TestVarnelctl)
#include "tst_varnelctl.moc"
