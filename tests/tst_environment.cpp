#include "document/xsdtdocument.h"
#include "environment/pixinsight.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

using namespace vrn;

namespace {

QList<XsdtNode *> valuesOf(const XsdtDocument &doc)
{
    QList<XsdtNode *> out;
    std::function<void(const XsdtNode *)> walk = [&](const XsdtNode *n) {
        for (const auto &c : n->children) {
            if (c->kind == XsdtNode::Value)
                out.append(c.get());
            else
                walk(c.get());
        }
    };
    walk(&doc.root);
    return out;
}

} // namespace

class TestEnvironment : public QObject
{
    Q_OBJECT

private slots:
    void cleanup() { setPixInsightProcessQuery({}); }
    void processIdsFromQuery();
    void realPgrepSeesRenamedProcess();
    void absolutePaths_data();
    void absolutePaths();
    void binDirFromRecordedFolders();
    void registryPaths();
};

void TestEnvironment::processIdsFromQuery()
{
    QCOMPARE(parseProcessIds("1234\n 5678 \n\nnot-a-pid\n"), (QList<qint64>{1234, 5678}));
    QVERIFY(parseProcessIds("").isEmpty());

    setPixInsightProcessQuery([] { return QList<qint64>{1234, 5678}; });
    QCOMPARE(runningPixInsightPids(), (QList<qint64>{1234, 5678}));
    QVERIFY(isPixInsightRunning());
    setPixInsightProcessQuery([] { return QList<qint64>{}; });
    QVERIFY(!isPixInsightRunning());

    // A program that is missing, or that does not finish in time, counts as "not running".
    QVERIFY(queryProcessIds(QStringLiteral("/nonexistent/pgrep"), {}, 3000).isEmpty());
    QElapsedTimer timer;
    timer.start();
    QVERIFY(queryProcessIds(QStringLiteral("/bin/sh"),
                            {QStringLiteral("-c"), QStringLiteral("echo 42; sleep 5")}, 300)
                .isEmpty());
    QVERIFY(timer.elapsed() < 3000);
    QCOMPARE(queryProcessIds(QStringLiteral("/bin/sh"),
                             {QStringLiteral("-c"), QStringLiteral("echo 42; echo 7")}, 3000),
             (QList<qint64>{42, 7}));
}

void TestEnvironment::realPgrepSeesRenamedProcess()
{
    if (QStandardPaths::findExecutable(QStringLiteral("pgrep")).isEmpty())
        QSKIP("pgrep (procps) is not installed");
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString fake = dir.filePath(QStringLiteral("PixInsight"));
    QVERIFY(QFile::copy(QStringLiteral("/bin/sleep"), fake));
    QProcess process;
    process.start(fake, {QStringLiteral("30")});
    QVERIFY(process.waitForStarted());
    QTRY_VERIFY_WITH_TIMEOUT(runningPixInsightPids().contains(process.processId()), 5000);
    QVERIFY(isPixInsightRunning());
    process.kill();
    QVERIFY(process.waitForFinished());
    QTRY_VERIFY_WITH_TIMEOUT(!runningPixInsightPids().contains(process.processId()), 5000);
}

void TestEnvironment::absolutePaths_data()
{
    QTest::addColumn<QString>("path");
    QTest::addColumn<bool>("windows");
    QTest::addColumn<bool>("absolute");
    QTest::newRow("unix root") << "/opt/PixInsight" << false << true;
    QTest::newRow("home tilde") << "~/PixInsight" << false << true;
    QTest::newRow("relative") << "PixInsight/bin" << false << false;
    QTest::newRow("drive on linux") << "C:/Program Files/PixInsight/bin/x" << false << false;
    QTest::newRow("drive on windows") << "C:/Program Files/PixInsight" << true << true;
    QTest::newRow("backslash drive") << "d:\\data" << true << true;
    QTest::newRow("unc") << "\\\\server\\share" << true << true;
    QTest::newRow("double slash") << "//server/share" << true << true;
    QTest::newRow("drive without separator") << "C:data" << true << false;
    QTest::newRow("empty") << "" << true << false;
}

void TestEnvironment::absolutePaths()
{
    QFETCH(QString, path);
    QFETCH(bool, windows);
    QFETCH(bool, absolute);
    QCOMPARE(looksAbsolute(path, windows), absolute);
}

void TestEnvironment::binDirFromRecordedFolders()
{
    XsdtDocument doc;
    QVERIFY(doc.parse(
        "<xsdt><i k=\"Global\">"
        "<i k=\"Preferences\"><i k=\"Application\">"
        "<v k=\"CoreFilePath\" t=\"s\" v=\"/opt/PixInsight/bin/PixInsight\"/>"
        "<v k=\"Fonts\" t=\"s\" v=\"/data/PI/rsc/fonts\"/>"
        "<v k=\"Relative\" t=\"s\" v=\"PixInsight/rsc/x\"/>"
        "<v k=\"Token\" t=\"s\" v=\"@/Elsewhere/PixInsight/bin/x\"/>"
        "<v k=\"Number\" t=\"i\" v=\"1\"/>"
        "</i><i k=\"ImageWindow\"><v k=\"Icons\" t=\"s\" v=\"/Opt/PIXINSIGHT/Bin/x\"/></i></i>"
        "<i k=\"ColorManagement\"><v k=\"Profile\" t=\"s\" v=\"/srv/PI2/rsc/color/x.icc\"/>"
        "<v k=\"Home\" t=\"s\" v=\"/home/u/PixInsight/rsc/x\"/></i>"
        "</i><i k=\"Other\"><v k=\"P\" t=\"s\" v=\"/var/PixInsight/bin/x\"/></i></xsdt>"));
    const QList<XsdtNode *> values = valuesOf(doc);

    HealthEnv env;
    env.installCandidates = {QStringLiteral("/opt/PixInsight"),
                             QStringLiteral("/home/u/PixInsight")};
    QStringList asked;
    env.exists = [&](const QString &p) {
        asked.append(p);
        return p == QLatin1String("/home/u/PixInsight/bin");
    };
    BinDirSearch found = locateBinDir(values, env);
    // Recorded folders sorted, then the candidates not already tried; pattern B only under
    // Application, pattern A case-insensitively, values outside the three groups ignored.
    QCOMPARE(found.lookedIn, (QStringList{"/Opt/PIXINSIGHT", "/data/PI", "/home/u/PixInsight"}));
    QCOMPARE(found.binDir, QString("/home/u/PixInsight/bin"));

    env.exists = [](const QString &) { return false; };
    found = locateBinDir(values, env);
    QVERIFY(found.binDir.isEmpty());
    QCOMPARE(found.lookedIn,
             (QStringList{"/Opt/PIXINSIGHT", "/data/PI", "/home/u/PixInsight", "/opt/PixInsight"}));

    // A known bin folder wins when it exists; with no existence test any candidate is taken.
    env.binDir = QStringLiteral("C:\\PI\\bin");
    env.exists = [](const QString &p) { return p == QLatin1String("C:\\PI\\bin"); };
    found = locateBinDir(values, env);
    QCOMPARE(found.binDir, QString("C:/PI/bin"));
    QCOMPARE(found.lookedIn, QStringList{"C:/PI/bin"});
    env.binDir.clear();
    env.exists = nullptr;
    found = locateBinDir({}, env);
    QCOMPARE(found.binDir, QString("/opt/PixInsight/bin"));
    env.installCandidates.clear();
    found = locateBinDir({}, env);
    QVERIFY(found.binDir.isEmpty());
    QVERIFY(found.lookedIn.isEmpty());

    const HealthEnv system = HealthEnv::system();
    QVERIFY(system.logicalProcessors >= 1);
    QVERIFY(!system.windowsPaths);
    QCOMPARE(system.installCandidates.value(0), QString("/opt/PixInsight"));
    QVERIFY(system.exists && system.exists(QStringLiteral("/")) &&
            !system.exists(QStringLiteral("/no/such/place")));
}

void TestEnvironment::registryPaths()
{
    QCOMPARE(resolveRegistryPath(QStringLiteral("@pxi_bin_dir/Kestrane-pxm.so"),
                                 QStringLiteral("/opt/PixInsight/bin")),
             QString("/opt/PixInsight/bin/Kestrane-pxm.so"));
    QCOMPARE(resolveRegistryPath(QStringLiteral("/usr/lib/x-pxm.so"),
                                 QStringLiteral("/opt/PixInsight/bin")),
             QString("/usr/lib/x-pxm.so"));
    QCOMPARE(resolveRegistryPath(QStringLiteral("@pxi_bin_dirx"), QStringLiteral("/b")),
             QString("@pxi_bin_dirx"));
}

QTEST_GUILESS_MAIN(TestEnvironment)
#include "tst_environment.moc"
