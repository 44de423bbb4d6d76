// varnelctl run as a real process on generated files, with HOME and the XDG folders in a
// temporary folder so the real user's settings and trash are never touched.
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "store/files.h"
#include "support/testfiles.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace vrn;

namespace {

const QString kProcessors = "Global/Preferences/Process/MaxProcessors";
const QString kFont = "Global/Preferences/Application/FontResolution";
const QString kIntent = "Global/ColorManagement/DefaultRenderingIntent";

struct Run
{
    int code = -1;
    QString out, err;
};

} // namespace

class TestVarnelctl : public QObject
{
    Q_OBJECT

    Run run(QStringList args)
    {
        // Other test programs on this machine start processes named PixInsight too: a run that
        // must not see one waits until they are gone.
        if (!m_ownPixInsight &&
            !QTest::qWaitFor([] { return runningPixInsightPids().isEmpty(); }, 120000))
            qWarning("a process named PixInsight is still running");
        args.replaceInStrings("%F", m_file);
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

    void refusals_data()
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
        row("below minimum", {"set", f, kProcessors + "=0"}, "", 4, "below the allowed minimum 1");
        row("wrong type", {"set", kProcessors + "=four"}, "", 4,
            "MaxProcessors: Expected an integer between");
        row("unknown option", {"set", f, kIntent + "=9"}, "", 4, "is not one of the options");
        row("one bad among good", {"set", f, kFont + "=96", kProcessors + "=0"}, "", 4, "minimum");
        row("no such setting", {"set", f, "Global/Nope=1"}, "", 3, "Global/Nope: No such setting.");
        row("Never", {"delete", f, "Global/Preferences"}, "", 4,
            "Cannot delete. Container of PixInsight's preferences.");
        row("Warn without --force", {"delete", f, "ModuleData/Kestrane"}, "", 4,
            "Add --force to delete it anyway.");
        row("import with bad entries", {"import", f, "%F.json"}, "import", 4,
            "3 problem(s); nothing was imported.");
        row("PixInsight running", {"set", f, kFont + "=96"}, "running", 2, "PixInsight is running");
        row("restore while running", {"restore", f, "core-1-pxi.settings.bak-1"}, "running", 2,
            "Close it before restoring a backup.");
        row("restore of a broken backup", {"restore", f, "core-1-pxi.settings.bak-1"}, "broken", 4,
            "The backup is not a valid settings file");
        row("changed since read", {"set", f, "--expect-hash=%H", kFont + "=96"}, "changed", 4,
            "The file changed on disk since it was loaded");
        row("no command", {}, "", 6, "Usage: varnelctl");
        row("unknown command", {"sett", kFont + "=96"}, "", 6, "Usage: varnelctl");
        row("set without =", {"set", f, kFont}, "", 6, "Usage: varnelctl");
        row("option of another command", {"get", "--force", kFont}, "", 6, "Usage: varnelctl");
        row("prune without --keep", {"prune"}, "", 6, "Usage: varnelctl");
    }

    void refusals()
    {
        QFETCH(QStringList, args);
        QFETCH(QString, setup);
        QFETCH(QString, message);

        const QByteArray broken = "not a settings file";
        write(".PixInsight/core-1-pxi.settings.bak-1",
              setup == "broken" ? broken : testdata::wrapSettings({}));
        if (setup == "import") {
            // Two good entries and three bad ones: none of them may reach the file.
            const QByteArray json =
                R"({"format": "varnel-preferences", "version": 1, "values": [
                    {"path": "Global/Preferences/Application/FontResolution", "type": "i",
                     "value": "96"},
                    {"path": "Global/Nope", "type": "i", "value": "1"},
                    {"path": "Global/Preferences/Process/MaxProcessors", "type": "s", "value": "2"},
                    {"path": "Global/ColorManagement/DefaultRenderingIntent", "type": "i",
                     "value": "7"},
                    {"path": "Global/Preferences/Process/MaxProcessors", "type": "i",
                     "value": "3"}]})";
            write(".PixInsight/core-1-pxi.settings.json", json);
        }
        QByteArray bytes = testdata::readFile(m_file);
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

        const Run result = run(args);
        pixinsight.kill();
        pixinsight.waitForFinished();
        m_ownPixInsight = false;

        QVERIFY2(result.err.contains(message), qPrintable(result.err));
        QTEST(result.code, "code");
        QVERIFY(testdata::readFile(m_file) == bytes);
        QCOMPARE(listBackups(m_file), backupsBefore);
    }

    void successes_data()
    {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QStringList>("edits"); // "path=value" sets, "-path" deletes

        const QString f = "--file=%F";
        QTest::newRow("set two, the default file")
            << QStringList{"set", kFont + "=96", kProcessors + "= 3"}
            << QStringList{kFont + "=96", kProcessors + "=3"};
        QTest::newRow("set to the same value and another")
            << QStringList{"set", f, kProcessors + "=2", kIntent + "=2"}
            << QStringList{kIntent + "=2"};
        QTest::newRow("delete Safe and Warn with --force")
            << QStringList{"delete", f, "--force", "Global/Statistics", "ModuleData/Kestrane"}
            << QStringList{"-Global/Statistics", "-ModuleData/Kestrane"};
        QTest::newRow("import") << QStringList{"import", f, "%F.json"}
                                << QStringList{kFont + "=50", kIntent + "=1"};
        QTest::newRow("restore") << QStringList{"restore", f, "%F.bak-1"} << QStringList{"restore"};
    }

    void successes()
    {
        QFETCH(QStringList, args);
        QFETCH(QStringList, edits);

        write(".PixInsight/core-1-pxi.settings.json",
              R"({"format": "varnel-preferences", "values": [
                  {"path": "Global/Preferences/Application/FontResolution", "type": "i", "value": "50"},
                  {"path": "Global/ColorManagement/DefaultRenderingIntent", "type": "i",
                   "value": "1"}]})");
        const QByteArray older = testdata::wrapSettings(R"(<v k="Older" t="s" v="yes"/>)");
        write(".PixInsight/core-1-pxi.settings.bak-1", older);
        QByteArray bytes = testdata::readFile(m_file);
        const QStringList backupsBefore = listBackups(m_file);

        // What the file must become: the same edits made in the document here.
        XsdtDocument expected;
        QVERIFY(expected.parse(bytes));
        for (const QString &edit : std::as_const(edits)) {
            const qsizetype equals = edit.indexOf('=');
            if (edit.startsWith('-'))
                expected.findPath(edit.mid(1))->pendingDelete = true;
            else if (equals > 0)
                expected.findPath(edit.left(equals))->value = edit.mid(equals + 1);
        }
        const QByteArray wanted = edits == QStringList{"restore"} ? older : expected.serialize();

        const Run result = run(args);
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QVERIFY(testdata::readFile(m_file) == wanted);
        QStringList made = listBackups(m_file);
        for (const QString &backup : backupsBefore)
            made.removeOne(backup);
        QCOMPARE(made.size(), 1);
        QVERIFY(result.out.contains(QFileInfo(made.constFirst()).fileName()));
        QVERIFY(testdata::readFile(made.constFirst()) == bytes);
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
        const QJsonArray values =
            QJsonDocument::fromJson(exported.out.toUtf8())["values"].toArray();
        QVERIFY(values.size() > 40);
        QVERIFY(QJsonDocument::fromJson(run({"export", "--file", other}).out.toUtf8())["values"] !=
                values);
        write("prefs.json", exported.out.toUtf8());
        const Run imported = run({"import", "--file", other, m_home.filePath("prefs.json")});
        QVERIFY2(imported.code == 0, qPrintable(imported.err));
        QVERIFY(imported.out.contains(kProcessors + ": "));

        QStringList paths;
        for (const QJsonValue &value : values)
            paths.append(value["path"].toString());
        const Run here = run(QStringList{"get", "--json", "--file=%F"} + paths);
        const Run there = run(QStringList{"get", "--json", "--file", other} + paths);
        QCOMPARE(here.code, 0);
        const QJsonArray hereValues =
            QJsonDocument::fromJson(here.out.toUtf8())["values"].toArray();
        QCOMPARE(hereValues.size(), values.size());
        QCOMPARE(QJsonDocument::fromJson(there.out.toUtf8())["values"], hereValues);

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
    }

    void pruneToTrash()
    {
        for (const char *stamp : {"20240101-000000", "20250101-000000", "20260101-000000"})
            write(QString(".PixInsight/core-1-pxi.settings.bak-") + stamp, "old");
        const QStringList all = listBackups(m_file);
        QCOMPARE(run({"prune", "--keep", "1", "--dry-run"}).code, 0);
        QCOMPARE(listBackups(m_file), all);
        const Run result = run({"prune", "--keep", "1"});
        QVERIFY2(result.code == 0, qPrintable(result.err));
        QCOMPARE(listBackups(m_file), all.mid(0, 1));
        QVERIFY(QFile::exists(m_file));
        QStringList trashed;
        for (const QString &path : all.mid(1))
            trashed.append(QFileInfo(path).fileName());
        trashed.sort();
        QCOMPARE(QDir(m_home.filePath(".local/share/Trash/files")).entryList(QDir::Files), trashed);
    }
};

QTEST_GUILESS_MAIN(TestVarnelctl)
#include "tst_varnelctl.moc"
