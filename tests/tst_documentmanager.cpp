#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "knowledge/deletionpolicy.h"
#include "privileged/leftoverdeletion.h"
#include "store/documentmanager.h"
#include "support/testfiles.h"

#include <QSemaphore>
#include <QTemporaryDir>
#include <QtTest>

using namespace vrn;
using testdata::readFile;
using testdata::writeFile;

namespace {

QByteArray settings(const char *name, const char *other = "x")
{
    return testdata::wrapSettings(QByteArray("<i k=\"Global\"><v k=\"Name\" t=\"s\" v=\"") + name +
                                  "\"/><v k=\"Other\" t=\"s\" v=\"" + other + "\"/></i>");
}

QString valueAt(DocumentManager &docs, const char16_t *path)
{
    const XsdtNode *node = docs.document() ? docs.document()->findPath(path) : nullptr;
    return node ? node->value.toString() : QStringLiteral("<none>");
}

} // namespace

class TestDocumentManager : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanupTestCase() { setPixInsightProcessQuery({}); }
    void loadAndRestore_data();
    void loadAndRestore();
    void save_data();
    void save();
    void signalsAroundReplacement_data();
    void signalsAroundReplacement();
    void poll();
    void worker_data();
    void worker();
    void workerReports_data();
    void workerReports();

private:
    // Connects the queue of m_queued and the log of the manager's signals.
    void watch(DocumentManager &docs);

    std::unique_ptr<QTemporaryDir> m_dir;
    QString m_path;
    QString m_install;
    QList<qint64> m_pids;
    DeletionPolicy m_policy;
    QList<LeftoverItem> m_queued;
    QStringList m_log;
    QSemaphore m_gate; // holds the worker at its start while m_hold
    bool m_hold = false;
    bool m_slowView = false; // a view lets go in slices: it holds the replacement back
};

void TestDocumentManager::initTestCase()
{
    setPixInsightProcessQuery([this] { return PixInsightCheck(m_pids); });
    QVERIFY(m_policy.load(readFile(QStringLiteral(":/schema/overlay.json"))));
    DocumentManager::setWorkerHook([this] {
        if (m_hold)
            m_gate.acquire();
    });
}

void TestDocumentManager::init()
{
    m_dir = std::make_unique<QTemporaryDir>();
    m_path = m_dir->filePath(QStringLiteral("core-1-pxi.settings"));
    m_install = m_dir->filePath(QStringLiteral("PixInsight"));
    m_pids.clear();
    m_queued.clear();
    m_log.clear();
    m_hold = false;
    m_slowView = false;
    m_gate.acquire(m_gate.available()); // what the last test let through
    DocumentManager::setWorkerThreshold(qint64(1) << 40);
}

void TestDocumentManager::watch(DocumentManager &docs)
{
    docs.setDeletionGuard(m_policy.deletionGuard());
    docs.setFileQueue({[this] { return int(m_queued.size()); },
                       [this] {
                           return [items = m_queued, install = m_install] {
                               return deleteQueuedLeftovers(items, install, QString());
                           };
                       },
                       [this] { m_log.append("clear"), m_queued.clear(); }});
    auto log = [this](const char *text) { return [this, text] { m_log.append(text); }; };
    auto release = std::make_shared<std::function<void()>>();
    connect(&docs, &DocumentManager::aboutToReplaceSoon, this, [this, &docs, release](int turns) {
        m_log.append(QString("soon%1").arg(turns));
        if (m_slowView && turns == 2)
            *release = docs.holdReplace();
        // Later than the manager's next turn would come.
        if (m_slowView && turns == 1)
            QTimer::singleShot(5, this, [this, release] {
                m_log.append("let go");
                (*release)();
                (*release)(); // once counts
            });
    });
    connect(&docs, &DocumentManager::aboutToReplaceDocument, this, log("about"));
    connect(&docs, &DocumentManager::documentReplaced, this,
            [this](XsdtDocument *doc) { m_log.append(doc ? "replaced" : "replaced:null"); });
    connect(&docs, &DocumentManager::loadFinished, this,
            [this](bool ok) { m_log.append(ok ? "loaded" : "failed"); });
    connect(&docs, &DocumentManager::stateChanged, this, log("state"));
    connect(&docs, &DocumentManager::viewOnlyChanged, this,
            [this](bool on) { m_log.append(on ? "viewonly" : "editable"); });
}

void TestDocumentManager::loadAndRestore_data()
{
    QTest::addColumn<QByteArray>("bytes"); // "dir": a folder stands where the file should be
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("loads");
    QTest::addColumn<bool>("restores"); // reload and restore act on a file that is gone too
    QTest::addColumn<QString>("error");
    const QString notSettings = QStringLiteral("%1 is not a valid PixInsight settings file: Not a "
                                               "PixInsight settings file (no <xsdt> element).");
    QTest::newRow("parses") << settings("a") << false << true << true << QString();
    QTest::newRow("does not parse") << QByteArray("hello") << false << false << true << notSettings;
    QTest::newRow("missing") << QByteArray() << false << false << true
                             << "Cannot read %1: No such file or directory";
    QTest::newRow("unreadable") << QByteArray("dir") << false << false << false << QString();
    QTest::newRow("PixInsight running") << settings("a") << true << true << false << QString();
}

void TestDocumentManager::loadAndRestore()
{
    QFETCH(QByteArray, bytes);
    QFETCH(bool, running);
    QFETCH(bool, loads);
    QFETCH(bool, restores);
    QFETCH(QString, error);
    if (bytes == "dir")
        QVERIFY(QDir().mkpath(m_path));
    else if (!bytes.isEmpty())
        QVERIFY(writeFile(m_path, bytes));
    const QString backup = m_path + QStringLiteral(".bak-20261201-101010");
    QVERIFY(writeFile(backup, settings("b")));
    DocumentManager docs;
    watch(docs);
    m_queued.append(LeftoverItem());
    QString message;
    QCOMPARE(docs.load(m_path, &message), loads);
    QCOMPARE(docs.document() != nullptr, loads);
    QCOMPARE(docs.failedPath(), loads ? QString() : m_path);
    QCOMPARE(docs.loadError(), message);
    QCOMPARE(message.isEmpty(), loads);
    if (!error.isEmpty())
        QCOMPARE(message, error.arg(m_path));
    QCOMPARE(docs.pendingCount(), 0); // the queued files went with the file open before

    m_pids = running ? QList<qint64>{4242} : QList<qint64>();
    QCOMPARE(docs.currentFile().isEmpty(), !loads && !restores);
    QCOMPARE(docs.restoreBackup(backup, &message), restores);
    QCOMPARE(readFile(m_path) == settings("b"), restores);
    QCOMPARE(valueAt(docs, u"Global/Name"), QString(restores ? "b" : loads ? "a" : "<none>"));
    if (restores)
        QVERIFY(docs.failedPath().isEmpty() && docs.loadError().isEmpty());
    QCOMPARE(docs.store().failure() == SettingsStore::Failure::Running, running);
}

void TestDocumentManager::save_data()
{
    QTest::addColumn<bool>("edit");
    QTest::addColumn<bool>("queueFile");
    QTest::addColumn<bool>("running");
    QTest::addColumn<bool>("worker");
    QTest::newRow("edit") << true << false << false << false;
    QTest::newRow("queued file alone") << false << true << false << false;
    QTest::newRow("edit and queued file") << true << true << false << false;
    QTest::newRow("PixInsight running") << true << true << true << false;
    QTest::newRow("edit and queued file, worker") << true << true << false << true;
    QTest::newRow("PixInsight running, worker") << true << true << true << true;
}

void TestDocumentManager::save()
{
    QFETCH(bool, edit);
    QFETCH(bool, queueFile);
    QFETCH(bool, running);
    QFETCH(bool, worker);
    const bool saves = !running;
    QVERIFY(writeFile(m_path, settings("a")));
    const QString module = m_install + QStringLiteral("/bin/Gone-pxm.so");
    QVERIFY(writeFile(module, "x"));
    DocumentManager docs;
    watch(docs);
    QVERIFY(docs.load(m_path));
    QCOMPARE(docs.pendingCount(), 0); // counted before an edit that is not reported
    if (edit)
        docs.document()->findPath(u"Global/Name")->value = QStringLiteral("b");
    if (queueFile)
        m_queued.append(itemFromRequest(QStringLiteral("file:Gone"), m_install, QString()));
    QVERIFY(!queueFile || !m_queued.constFirst().path.isEmpty());
    if (running)
        m_pids = {4242};
    const QByteArray before = readFile(m_path);

    DocumentManager::setWorkerThreshold(worker ? 0 : qint64(1) << 40);
    DocumentManager::SaveResult saved;
    connect(&docs, &DocumentManager::saved, this, [&](auto result) { saved = result; });
    docs.startSave();
    QCOMPARE(docs.isSaving(), worker);
    docs.waitForIdle();
    QCOMPARE(saved.ok, saves);
    QCOMPARE(docs.store().failure() == SettingsStore::Failure::Running, running);
    QCOMPARE(saved.wrote, saves && edit);
    QCOMPARE(readFile(m_path), saved.wrote ? settings("b") : before);
    if (saved.wrote)
        QCOMPARE(readFile(saved.backupPath), before);
    else
        QVERIFY(listBackups(m_path).isEmpty());
    // Files go only once the settings were written, or when there was nothing to write.
    QCOMPARE(QFile::exists(module), !(saves && queueFile));
    QCOMPARE(saved.files.deleted, saves && queueFile ? 1 : 0);
    QCOMPARE(docs.pendingCount(), saves ? 0 : 2);
}

void TestDocumentManager::signalsAroundReplacement_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("failed load") << "broken"
                                 << QStringList{"clear", "about", "replaced:null", "failed",
                                                "state"};
    // Node pointers held across the pruning would dangle.
    QTest::newRow("save with a deletion") << "delete" << QStringList{"about", "replaced", "state"};
    QTest::newRow("save of an edit") << "edit" << QStringList{"state"};
    QTest::newRow("restore") << "restore" << QStringList{"clear", "about", "replaced", "state"};
    QTest::newRow("unload") << "unload" << QStringList{"about", "replaced:null"};
}

void TestDocumentManager::signalsAroundReplacement()
{
    QFETCH(QString, step);
    QFETCH(QStringList, expected);
    testdata::GeneratorOptions options;
    options.targetBytes = 20 * 1024;
    const QByteArray bytes = testdata::generateSettings(options);
    QVERIFY(writeFile(m_path, bytes));
    QVERIFY(writeFile(m_path + ".bak-20261201-101010", bytes));
    DocumentManager docs;
    watch(docs);
    QVERIFY(docs.load(m_path));
    m_log.clear();
    if (step == "broken") {
        QVERIFY(writeFile(m_path, "hello") && !docs.reload());
    } else if (step == "delete" || step == "edit") {
        XsdtNode *node = docs.document()->findPath(
            step == "delete" ? u"Global/Statistics" : u"Global/Preferences/Process/MaxProcessors");
        QVERIFY(node);
        if (step == "delete")
            node->pendingDelete = true;
        else
            node->value = QStringLiteral("5");
        QVERIFY(docs.save().ok);
    } else if (step == "restore") {
        QVERIFY(docs.restoreBackup(m_path + ".bak-20261201-101010"));
    } else {
        docs.unload();
        QVERIFY(!docs.document());
    }
    QCOMPARE(m_log, expected);
}

void TestDocumentManager::poll()
{
    QVERIFY(writeFile(m_path, settings("a")));
    DocumentManager docs;
    watch(docs);
    QVERIFY(docs.load(m_path));
    // PixInsight starts and rewrites the file: view only, said once.
    m_pids = {4242};
    QVERIFY(writeFile(m_path, settings("pixinsight")));
    m_log.clear();
    docs.poll();
    docs.poll();
    QCOMPARE(m_log, QStringList({"viewonly", "state", "state"}));
    QVERIFY(docs.isViewOnly() && docs.isChangedOnDisk() && !docs.isFileMissing());
    // It exits: with nothing pending what it wrote is read at once.
    m_pids.clear();
    m_log.clear();
    docs.poll();
    QCOMPARE(m_log,
             QStringList({"editable", "clear", "about", "replaced", "loaded", "state", "state"}));
    QCOMPARE(valueAt(docs, u"Global/Name"), QString("pixinsight"));
    QVERIFY(!docs.isChangedOnDisk());
    // With a change pending it is not; a file gone is said to be missing.
    m_pids = {4242};
    docs.poll();
    docs.document()->findPath(u"Global/Name")->value = QStringLiteral("mine");
    docs.documentEdited();
    QVERIFY(writeFile(m_path, settings("again")));
    m_pids.clear();
    docs.poll();
    QCOMPARE(valueAt(docs, u"Global/Name"), QString("mine"));
    QVERIFY(QFile::remove(m_path));
    docs.poll();
    QVERIFY(docs.isChangedOnDisk() && docs.isFileMissing());
    QCOMPARE(docs.currentFile(), m_path);
}

// The worker held at its start: no verdicts meanwhile, results for a file left behind dropped.
void TestDocumentManager::worker_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QString>("text");
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    const QString reading = "Reading core-1-pxi.settings…";
    const QString loading = "Loading core-1-pxi.settings…";
    QTest::newRow("save") << "save"
                          << "Saving…"
                          << "mine"
                          << "busy idle state";
    QTest::newRow("keep changes")
        << "keep" << reading << "mine"
        << "busy idle note soon2 busy idle soon1 busy idle about busy idle "
           "replaced loaded state busy idle again state done";
    QTest::newRow("keep changes, a view slow to let go")
        << "keep, slow view" << reading << "mine"
        << "busy idle note soon2 busy idle soon1 busy let go idle about busy idle "
           "replaced loaded state busy idle again state done";
    QTest::newRow("keep changes, file broken") << "broken" << reading << "mine"
                                               << "busy idle failed";
    QTest::newRow("load dropped for another")
        << "another" << loading << "b"
        << "clear soon2 busy idle soon1 busy idle about busy clear idle about busy idle replaced "
           "loaded state";
    QTest::newRow("read-only work") << "read"
                                    << "Checking…"
                                    << "mine"
                                    << "busy idle read mine";
    QTest::newRow("read-only work dropped for another")
        << "read, another"
        << "Checking…"
        << "b"
        << "busy clear idle soon2 busy idle soon1 busy idle about busy idle replaced loaded state";
    QTest::newRow("load dropped by unload")
        << "unload" << loading << "<none>"
        << "clear soon2 busy idle soon1 busy idle about busy about replaced:null idle";
}

void TestDocumentManager::worker()
{
    QFETCH(QString, step);
    QFETCH(QString, text);
    QFETCH(QString, name);
    QFETCH(QString, expected);
    const QString other = m_dir->filePath(QStringLiteral("core-2-pxi.settings"));
    QVERIFY(writeFile(m_path, settings("a")) && writeFile(other, settings("b")));
    DocumentManager docs;
    watch(docs);
    QVERIFY(docs.load(m_path));
    docs.document()->findPath(u"Global/Name")->value = QStringLiteral("mine");
    docs.documentEdited(1);
    m_slowView = step.endsWith("slow view");
    const bool keeps = step.startsWith("keep") || step == "broken";
    if (keeps) {
        m_queued.append(LeftoverItem());
        QVERIFY(
            writeFile(m_path, step != "broken" ? settings("a", "theirs") : "<xsdt version=\"1\">"));
    }
    connect(&docs, &DocumentManager::busyChanged, this,
            [this](bool busy) { m_log.append(busy ? "busy" : "idle"); });
    QSignalSpy busy(&docs, &DocumentManager::busyChanged);
    QString error;
    DocumentManager::KeepChanges keep{
        [this](const XsdtDocument &old) {
            m_log.append(old.findPath(u"Global/Name")->value == "mine" ? "note" : "lost");
        },
        [&] {
            docs.document()->findPath(u"Global/Name")->value = "mine";
            docs.documentEdited(1);
            m_log.append("again");
        },
        [&](bool ok, const QString &message) {
            m_log.append(ok ? "done" : "failed");
            error = message;
        },
        {}};
    DocumentManager::setWorkerThreshold(0);
    m_hold = true;
    const auto release = qScopeGuard([this] { m_gate.release(10); });
    m_log.clear();
    QString seen; // by the worker, while the document is held still
    if (step == "save")
        docs.startSave();
    else if (step.startsWith("read"))
        docs.startReadOnly(
            "Checking…", 0, [&] { seen = valueAt(docs, u"Global/Name"); },
            [&] { m_log.append("read " + seen); });
    else if (keeps)
        docs.startReloadKeepingChanges(keep);
    else
        docs.startLoad(m_path);
    QVERIFY(docs.isBusy() && !docs.fileState().canSave && !docs.fileState().canReload);
    QCOMPARE(docs.isKeepingChanges(), keeps);
    QCOMPARE(docs.busyText(), text);
    docs.poll(); // no verdict while the worker has the file
    if (step != "save" && !keeps && !step.startsWith("read"))
        QTRY_VERIFY(m_log.contains("about")); // the views let go in turns before
    if (step.endsWith("another"))
        docs.startLoad(other);
    else if (step == "unload")
        docs.unload();
    m_gate.release(10);
    while (docs.isBusy())
        QVERIFY(busy.wait());
    QCOMPARE(m_log.join(' '), expected);
    QVERIFY(!docs.isKeepingChanges());
    QCOMPARE(valueAt(docs, u"Global/Name"), name);
    QCOMPARE(docs.pendingCount(), keeps ? 2 : step == "read" ? 1 : 0); // the queued file stays
    QVERIFY(error.isEmpty() || error.startsWith(m_path + " is not a valid PixInsight settings"));
}

// A large file on the worker: the reader's progress reaches this thread in order, a restore keeps
// its refusals, and the poll's hash after a save neither locks the file nor cries wolf.
void TestDocumentManager::workerReports_data()
{
    QTest::addColumn<QString>("step");
    QTest::addColumn<QByteArray>("backup");
    QTest::addColumn<QString>("outcome");
    QTest::newRow("load") << "load" << QByteArray() << "";
    QTest::newRow("poll after a save") << "poll" << QByteArray() << "[ac]";
    QTest::newRow("restore while PixInsight runs")
        << "running" << settings("b")
        << "refused c: PixInsight is running. Close it before restoring a backup.";
    QTest::newRow("restore of a broken backup")
        << "restore" << QByteArray("<xsdt")
        << "refused c: The backup is not a valid settings file:";
}

void TestDocumentManager::workerReports()
{
    QFETCH(QString, step);
    QFETCH(QByteArray, backup);
    QFETCH(QString, outcome);
    testdata::GeneratorOptions options;
    options.targetBytes = 5 << 20;
    const QByteArray bytes = step == "load" ? testdata::generateSettings(options) : settings("a");
    QVERIFY(writeFile(m_path, bytes) && writeFile(m_path + ".bak-1", backup));
    DocumentManager docs;
    docs.setDeletionGuard(m_policy.deletionGuard());
    QList<qint64> seen; // -1: not of the whole file
    connect(&docs, &DocumentManager::busyProgress, this,
            [&](qint64 done, qint64 total) { seen.append(total == bytes.size() ? done : -1); });
    QString result;
    // Workers reading the nodes are stopped before they are marked saved.
    const auto saved = [&] {
        return docs.document()->findPath(u"Global/Name")->originalValue.toString();
    };
    connect(&docs, &DocumentManager::aboutToMarkSaved, this, [&] { result += "[" + saved(); });
    connect(&docs, &DocumentManager::markedSaved, this, [&] { result += saved() + "]"; });
    connect(&docs, &DocumentManager::restored, this, [&](bool ok, const QString &error) {
        result = (ok ? "restored " : "refused ") + valueAt(docs, u"Global/Name") +
                 (ok ? QString() : ": " + error);
    });
    DocumentManager::setWorkerThreshold(0);
    if (step == "load") {
        docs.startLoad(m_path);
    } else {
        QVERIFY(docs.load(m_path));
        if (step == "running")
            m_pids = {4242};
        docs.document()->findPath(u"Global/Name")->value = "c";
        if (step == "poll") {
            QVERIFY(docs.save().ok);
            docs.poll();
        } else {
            docs.startRestore(m_path + ".bak-1");
        }
        QCOMPARE(docs.isBusy(), step != "poll");
    }
    QTRY_VERIFY(docs.isIdle());
    QCOMPARE(result.left(outcome.size()), outcome);
    QCOMPARE(readFile(m_path) == bytes, result.startsWith("refused") || step == "load");
    if (step == "poll") {
        QVERIFY(!docs.isChangedOnDisk());
        QVERIFY(writeFile(m_path, settings("d")));
        docs.poll();
        QTRY_VERIFY(docs.isIdle());
        QVERIFY(docs.isChangedOnDisk());
    }
    if (step == "load") {
        QVERIFY(seen.size() >= 3 && seen.first() == 0 && seen.last() == bytes.size());
        QVERIFY(std::is_sorted(seen.cbegin(), seen.cend()));
    }
}

QTEST_GUILESS_MAIN(TestDocumentManager)
#include "tst_documentmanager.moc"
