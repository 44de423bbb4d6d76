#include "environment/adfeed.h"
#include "environment/englishplurals.h"
#include "environment/pixinsight.h"
#include "support/testfiles.h"
#include "support/testtree.h"

#include <QDirIterator>
#include <QTemporaryDir>
#include <QtTest>

using namespace vrn;

class TestEnvironment : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setPixInsightProcessQuery({}); }

    // Every counted text in the program reads right for one: it has its singular here, and no
    // text hedges with "(s)".
    void countedTexts()
    {
        // A tr() call and the string literals it starts with.
        static const QRegularExpression call("\\btr\\(\\s*((?:\"(?:[^\"\\\\]|\\\\.)*\"\\s*)+)");
        static const QRegularExpression literal("\"((?:[^\"\\\\]|\\\\.)*)\"");
        int counted = 0;
        for (QDirIterator it(VARNEL_SOURCE_DIR "/src", {"*.cpp"}, QDir::Files,
                             QDirIterator::Subdirectories);
             it.hasNext();) {
            const QString source = QString::fromUtf8(testdata::readFile(it.next()));
            for (auto calls = call.globalMatch(source); calls.hasNext();) {
                QString text;
                for (auto parts = literal.globalMatch(calls.next().captured(1)); parts.hasNext();)
                    text += parts.next().captured(1);
                text.replace("\\n", "\n").replace("\\\"", "\"").replace("\\\\", "\\");
                QVERIFY2(!text.contains("(s)"), qPrintable(it.filePath() + ": " + text));
                if (!text.contains("%n"))
                    continue;
                ++counted;
                const QString singular = EnglishPlurals::singular(text.toUtf8().constData());
                QVERIFY2(!singular.isNull(), qPrintable(it.filePath() + ": " + text));
                // The singular fills in the same arguments as the text it stands for.
                for (const char *argument : {"%1", "%2", "%3", "%4"})
                    QVERIFY2(singular.contains(argument) == text.contains(argument),
                             qPrintable(singular));
            }
        }
        QVERIFY(counted > 0);
        installEnglishPlurals();
        QCOMPARE(QCoreApplication::translate("vrn::MainWindow", "%n unsaved changes", nullptr, 1),
                 "1 unsaved change");
        // The window writes counts as the user's locale writes numbers, every count alike.
        EnglishPlurals grouped(nullptr, true);
        QCoreApplication::installTranslator(&grouped);
        QLocale::setDefault(QLocale(QLocale::English, QLocale::UnitedStates));
        QCOMPARE(
            QCoreApplication::translate("vrn::MainWindow", "%n unsaved changes", nullptr, 2749),
            "2,749 unsaved changes");
        QLocale::setDefault(QLocale::c());
        QCoreApplication::removeTranslator(&grouped);
    }

    // Only a count of exactly one takes the singular.
    void countsOtherThanOne_data()
    {
        QTest::addColumn<int>("count");
        QTest::addColumn<QString>("text");
        QTest::newRow("none") << 0 << "0 unsaved changes";
        QTest::newRow("twenty-one") << 21 << "21 unsaved changes";
    }

    void countsOtherThanOne()
    {
        QFETCH(int, count);
        installEnglishPlurals();
        QTEST(QCoreApplication::translate("vrn::MainWindow", "%n unsaved changes", nullptr, count),
              "text");
    }

    void processQuery()
    {
        // A made-up process table: exact names only, entries that vanished or are not processes
        // skipped, and ids in order.
        QTemporaryDir proc;
        // An entry with no name is a folder without a comm file.
        const auto entry = [&](const char *name, const char *comm) {
            QVERIFY(*comm ? testdata::writeFile(proc.filePath(name) + "/comm", comm)
                          : QDir(proc.path()).mkpath(name));
        };
        entry("12", "PixInsight\n");
        entry("7", "PixInsight\n");
        entry("13", "xPixInsight\n");
        entry("14", "PixInsight2\n");
        entry("99", "");
        QVERIFY(QFile::link("12", proc.filePath("self")));
        PixInsightCheck check = processesNamed(proc.path(), "PixInsight");
        QVERIFY(check.known);
        QCOMPARE(check.pids, (QList<qint64>{7, 12}));
        QVERIFY(processesNamed("/proc", "PixInsight").known);

        // A table that does not show this program would not show PixInsight either.
        QVERIFY(QDir(proc.filePath("12")).removeRecursively());
        check = processesNamed(proc.path(), "PixInsight");
        QCOMPARE(check.reason,
                 proc.path() + " does not show this program itself (it is empty or hidden)");

        // No process table: nobody can tell, which counts as running.
        check = processesNamed(proc.filePath("missing"), "PixInsight");
        QVERIFY(!check.known && check.pids.isEmpty() && check.mayBeRunning());
        QCOMPARE(check.reason, "Cannot list the running programs in " + proc.filePath("missing") +
                                   ": No such file or directory");
    }

    void absolutePaths()
    {
        // Path, for Windows, absolute.
        const std::tuple<const char *, bool, bool> cases[] = {
            {"/opt/PixInsight", false, true},
            {"~/PixInsight", false, true},
            {"PixInsight/bin", false, false},
            {"C:/Program Files/PixInsight/bin/x", false, false},
            {"C:/Program Files/PixInsight", true, true},
            {"d:\\data", true, true},
            {"\\\\server\\share", true, true},
            {"//server/share", true, true},
            {"C:data", true, false},
            {"", true, false}};
        for (const auto &[path, windows, absolute] : cases)
            QVERIFY2(looksAbsolute(QString::fromLatin1(path), windows) == absolute, path);
    }

    void binDir()
    {
        // Only strings under the three groups count; pattern B only under Application.
        XsdtNode root;
        QList<XsdtNode *> values;
        for (const auto &[path, value] :
             {std::pair{"Global/Preferences/Application/CoreFilePath",
                        "/opt/PixInsight/bin/PixInsight"},
              {"Global/Preferences/Application/Fonts", "/data/PI/rsc/fonts"},
              {"Global/Preferences/Application/Relative", "PixInsight/rsc/x"},
              {"Global/Preferences/ImageWindow/Icons", "/Opt/PIXINSIGHT/Bin/x"},
              {"Global/ColorManagement/Profile", "/srv/PI2/rsc/color/x.icc"},
              {"Global/ColorManagement/Home", "/home/u/PixInsight/rsc/x"},
              {"Other/P", "/var/PixInsight/bin/x"}})
            values.append(testdata::ensurePath(&root, QString::fromLatin1(path), XsdtNode::Value,
                                               's', QString::fromLatin1(value)));
        values.append(testdata::ensurePath(&root, "Global/Preferences/Application/Number",
                                           XsdtNode::Value, 'i', "/x/PixInsight/bin/y"));

        HealthEnv env;
        env.installCandidates = {"/opt/PixInsight", "/home/u/PixInsight"};
        auto existing = [&env](const QString &only) {
            env.exists = [only](const QString &p) { return p == only; };
        };
        // Recorded folders sorted, then the candidates not already tried; pattern A ignores case.
        existing("/home/u/PixInsight/bin");
        BinDirSearch found = locateBinDir(values, env);
        QCOMPARE(found.lookedIn,
                 (QStringList{"/Opt/PIXINSIGHT", "/data/PI", "/home/u/PixInsight"}));
        QCOMPARE(found.binDir, "/home/u/PixInsight/bin");
        // A known bin folder is tried first, and taken only when it exists.
        env.binDir = "C:\\PI\\bin";
        existing(QString());
        found = locateBinDir(values, env);
        QCOMPARE(found.binDir, QString());
        QCOMPARE(found.lookedIn, (QStringList{"C:/PI/bin", "/Opt/PIXINSIGHT", "/data/PI",
                                              "/home/u/PixInsight", "/opt/PixInsight"}));
        existing(env.binDir);
        found = locateBinDir(values, env);
        QCOMPARE(found.binDir, "C:/PI/bin");
        QCOMPARE(found.lookedIn, QStringList{"C:/PI/bin"});
        // With no existence test any candidate is taken.
        env.binDir.clear();
        env.exists = nullptr;
        QCOMPARE(locateBinDir({}, env).binDir, "/opt/PixInsight/bin");
        env.installCandidates.clear();
        found = locateBinDir({}, env);
        QVERIFY(found.binDir.isEmpty() && found.lookedIn.isEmpty());

        const HealthEnv system = HealthEnv::system();
        QVERIFY(system.exists("/") && !system.exists("/no/such"));
    }

    void feedParsing_data()
    {
        QTest::addColumn<QByteArray>("xml");
        QTest::addColumn<bool>("ok");
        QTest::addColumn<double>("ttl");
        QTest::addColumn<QString>("records"); // id:weight per record
        const QByteArray ad = "<ad id=\"a\"><alt>A</alt></ad>";
        const auto ttl = [&](const char *name, const char *ttl, double hours) {
            QTest::newRow(name) << "<feed ttl=\"" + QByteArray(ttl) + "\">" + ad + "</feed>" << true
                                << hours << "a:1";
        };
        ttl("days", "2d", 48.0);
        ttl("hours, upper case", "12H", 12.0);
        ttl("minutes", "90m", 1.5);
        ttl("weeks", "1w", 168.0);
        ttl("no unit: hours", "6", 6.0);
        ttl("negative: the default", "-1h", 24.0);
        ttl("not a number: the default", "abc", 24.0);
        ttl("infinite: the default", "inf", 24.0);
        ttl("blank: the default", " ", 24.0);
        QTest::newRow("ttlHours when ttl is empty")
            << QByteArray("<x ttl=\"\" ttlHours=\"3d\"/>") << true << 72.0 << "";
        QTest::newRow("weights 0, -2, abc, 2.5")
            << QByteArray("<f><ad id=\"z\" weight=\"0\"><alt>x</alt></ad><ad id=\"n\" "
                          "weight=\"-2\"><alt>x</alt></ad><ad id=\"s\" weight=\"abc\"><alt>x</alt>"
                          "</ad><ad id=\"w\" weight=\" 2.5 \"><click>c</click></ad></f>")
            << true << 24.0 << "z:1 n:1 s:1 w:2.5";
        QTest::newRow("only an id is dropped, only an alt kept")
            << QByteArray("<f><ad id=\"i\"/><ad id=\"j\"><note>n</note></ad><ad><alt> t </alt>"
                          "</ad><other><ad id=\"deep\"><alt>x</alt></ad></other></f>")
            << true << 24.0 << ":1";
        QTest::newRow("xml error") << "<feed ttl=\"2d\">" + ad + "<ad>" << false << 24.0 << "";
        QTest::newRow("empty") << QByteArray() << false << 24.0 << "";
    }

    void feedParsing()
    {
        QFETCH(QByteArray, xml);
        const AdFeed feed = parseAdFeed(xml);
        QTEST(feed.ok, "ok");
        QTEST(feed.ttlHours, "ttl");
        QStringList got;
        for (const AdRecord &record : feed.records)
            got.append(record.id + ':' + QString::number(record.weight));
        QTEST(got.join(' '), "records");
    }

    void eligibility_data()
    {
        QTest::addColumn<QString>("field");
        QTest::addColumn<QString>("value");
        QTest::addColumn<bool>("eligible");
        const QDate today = QDate::currentDate();
        QTest::newRow("start today") << "start" << today.toString(Qt::ISODate) << true;
        QTest::newRow("start tomorrow")
            << "start" << today.addDays(1).toString(Qt::ISODate) << false;
        QTest::newRow("end today") << "end" << today.toString(Qt::ISODate) << true;
        QTest::newRow("end yesterday") << "end" << today.addDays(-1).toString(Qt::ISODate) << false;
        // The program is version 1.2.
        QTest::newRow("min equal") << "min"
                                   << "1.2.0" << true;
        QTest::newRow("min newer, compared by number") << "min"
                                                       << "1.10" << false;
        QTest::newRow("max newer, compared by number") << "max"
                                                       << "1.10" << true;
        QTest::newRow("max older") << "max"
                                   << "1.1.9" << false;
        QTest::newRow("max not a number") << "max"
                                          << "1.2.x" << true;
        QTest::newRow("min with a part past the integer range") << "min"
                                                                << "1.2.99999999999" << true;
    }

    void eligibility()
    {
        QFETCH(QString, field);
        QFETCH(QString, value);
        AdRecord record;
        (field == "start" ? record.start
         : field == "end" ? record.end
         : field == "min" ? record.minVersion
                          : record.maxVersion) = value;
        QTEST(isAdEligible(record, QDate::currentDate().toString(Qt::ISODate), "1.2"), "eligible");

        // Weighted choice walks the candidates in order.
        AdRecord heavy;
        heavy.weight = 3;
        QCOMPARE(pickWeighted({AdRecord(), heavy}, 0.0), 0);
        QCOMPARE(pickWeighted({AdRecord(), heavy}, 0.26), 1);
    }
};

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
