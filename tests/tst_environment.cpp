#include "environment/pixinsight.h"
#include "support/testtree.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace vrn;

class TestEnvironment : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setPixInsightProcessQuery({}); }
    void processQuery();
    void realPgrepSeesRenamedProcess();
    void absolutePaths();
    void binDir();
    void registryPaths();
};

void TestEnvironment::processQuery()
{
    QCOMPARE(parseProcessIds("1234\n 5678 \n\nnot-a-pid\n"), (QList<qint64>{1234, 5678}));
    setPixInsightProcessQuery([] { return QList<qint64>{1234, 5678}; });
    QCOMPARE(runningPixInsightPids(), (QList<qint64>{1234, 5678}));
    QVERIFY(isPixInsightRunning());
    setPixInsightProcessQuery([] { return QList<qint64>{}; });
    QVERIFY(!isPixInsightRunning());

    // A program that is missing, or that does not finish in time, counts as "not running".
    const QString sh = QStringLiteral("/bin/sh");
    QVERIFY(queryProcessIds(QStringLiteral("/nonexistent/pgrep"), {}, 3000).isEmpty());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(queryProcessIds(sh, {"-c", "echo 42; sleep 5"}, 300).isEmpty());
    QVERIFY(timer.elapsed() < 3000);
    QCOMPARE(queryProcessIds(sh, {"-c", "echo 42; echo 7"}, 3000), (QList<qint64>{42, 7}));
}

void TestEnvironment::realPgrepSeesRenamedProcess()
{
    if (QStandardPaths::findExecutable(QStringLiteral("pgrep")).isEmpty())
        QSKIP("pgrep (procps) is not installed");
    // PixInsight, and a program whose name only contains it.
    QTemporaryDir dir;
    QProcess pixInsight;
    QProcess other;
    for (const auto &[process, name] :
         {std::pair{&pixInsight, "PixInsight"}, {&other, "xPixInsight"}}) {
        QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), dir.filePath(name)));
        process->start(dir.filePath(name), {QStringLiteral("30")});
        QVERIFY(process->waitForStarted());
    }
    QTRY_VERIFY_WITH_TIMEOUT(runningPixInsightPids().contains(pixInsight.processId()), 5000);
    QVERIFY(!runningPixInsightPids().contains(other.processId()));
    pixInsight.kill();
    other.kill();
    QVERIFY(pixInsight.waitForFinished() && other.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(!runningPixInsightPids().contains(pixInsight.processId()), 5000);
}

void TestEnvironment::absolutePaths()
{
    const struct
    {
        const char *path;
        bool windows;
        bool absolute;
    } cases[] = {{"/opt/PixInsight", false, true},
                 {"~/PixInsight", false, true},
                 {"PixInsight/bin", false, false},
                 {"C:/Program Files/PixInsight/bin/x", false, false},
                 {"C:/Program Files/PixInsight", true, true},
                 {"d:\\data", true, true},
                 {"\\\\server\\share", true, true},
                 {"//server/share", true, true},
                 {"C:data", true, false},
                 {"", true, false}};
    for (const auto &c : cases)
        QVERIFY2(looksAbsolute(QString::fromLatin1(c.path), c.windows) == c.absolute, c.path);
}

void TestEnvironment::binDir()
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
                                           QLatin1Char('s'), QString::fromLatin1(value)));
    values.append(testdata::ensurePath(&root, "Global/Preferences/Application/Number",
                                       XsdtNode::Value, QLatin1Char('i'), "/x/PixInsight/bin/y"));

    HealthEnv env;
    env.installCandidates = {QStringLiteral("/opt/PixInsight"),
                             QStringLiteral("/home/u/PixInsight")};
    auto existing = [&env](const QString &only) {
        env.exists = [only](const QString &p) { return p == only; };
    };
    // Recorded folders sorted, then the candidates not already tried; pattern A ignores case.
    existing(QStringLiteral("/home/u/PixInsight/bin"));
    BinDirSearch found = locateBinDir(values, env);
    QCOMPARE(found.lookedIn, (QStringList{"/Opt/PIXINSIGHT", "/data/PI", "/home/u/PixInsight"}));
    QCOMPARE(found.binDir, QString("/home/u/PixInsight/bin"));
    // A known bin folder is tried first, and taken only when it exists.
    env.binDir = QStringLiteral("C:\\PI\\bin");
    existing(QString());
    found = locateBinDir(values, env);
    QCOMPARE(found.binDir, QString());
    QCOMPARE(found.lookedIn, (QStringList{"C:/PI/bin", "/Opt/PIXINSIGHT", "/data/PI",
                                          "/home/u/PixInsight", "/opt/PixInsight"}));
    existing(env.binDir);
    found = locateBinDir(values, env);
    QCOMPARE(found.binDir, QString("C:/PI/bin"));
    QCOMPARE(found.lookedIn, QStringList{"C:/PI/bin"});
    // With no existence test any candidate is taken.
    env.binDir.clear();
    env.exists = nullptr;
    QCOMPARE(locateBinDir({}, env).binDir, QString("/opt/PixInsight/bin"));
    env.installCandidates.clear();
    found = locateBinDir({}, env);
    QVERIFY(found.binDir.isEmpty() && found.lookedIn.isEmpty());

    const HealthEnv system = HealthEnv::system();
    QVERIFY(system.exists(QStringLiteral("/")) && !system.exists(QStringLiteral("/no/such")));
}

void TestEnvironment::registryPaths()
{
    const QString bin = QStringLiteral("/opt/PixInsight/bin");
    QCOMPARE(resolveRegistryPath("@pxi_bin_dir/Kestrane-pxm.so", bin),
             QString("/opt/PixInsight/bin/Kestrane-pxm.so"));
    QCOMPARE(resolveRegistryPath("/usr/lib/x-pxm.so", bin), QString("/usr/lib/x-pxm.so"));
    QCOMPARE(resolveRegistryPath("@pxi_bin_dirx", bin), QString("@pxi_bin_dirx"));
}

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
