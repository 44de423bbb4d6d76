#include "document/xsdtdocument.h"
#include "environment/pixinsight.h"
#include "knowledge/deletionpolicy.h"
#include "store/files.h"
#include "store/settingsstore.h"
#include "support/generator.h"
#include "support/treecompare.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

using namespace vrn;

namespace {

const char kOverlay[] =
    "{\"policy\": {\"defaultReason\": \"Not on the list.\", \"delete\": ["
    "{\"path\": \"Global/Statistics\", \"level\": \"safe\", \"reason\": \"Usage counters.\"},"
    "{\"path\": \"Global/**\", \"level\": \"never\", \"reason\": \"Core data.\"},"
    "{\"path\": \"*\", \"level\": \"warn\", \"groupsOnly\": true, \"reason\": \"Tool "
    "settings.\"}]}}";

const char kRunning[] = "PixInsight is running. It keeps its settings in memory and would "
                        "overwrite the file. Close PixInsight first.";
const char kChanged[] = "The file changed on disk since it was loaded (PixInsight may have "
                        "written it). Reload it and redo your edits.";
const char kName[] = "core-1-pxi.settings";
const char kProcessors[] = "Global/Preferences/Process/MaxProcessors";
const char kFont[] = "Global/Preferences/Application/HighResFont";

// Every test runs with this clock: backup names are known in advance, and files written by
// the test are old enough for their stamps to be trusted.
const QDateTime kNow(QDate(2031, 5, 6), QTime(7, 8, 9));
const char kStamp[] = ".bak-20310506-070809";

QByteArray generated(qint64 bytes, quint64 seed = 3)
{
    testdata::GeneratorOptions options;
    options.seed = seed;
    options.targetBytes = bytes;
    return testdata::generateSettings(options);
}

bool writeBytes(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("(unreadable)");
}

QStringList entries(const QString &dir)
{
    return QDir(dir).entryList(
        QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
}

uint modeOf(const QString &path)
{
    struct stat st;
    return ::stat(QFile::encodeName(path).constData(), &st) == 0 ? uint(st.st_mode & 07777) : 0;
}

// Bytes this process has read so far, from the kernel's own count.
qint64 bytesReadSoFar()
{
    QFile io(QStringLiteral("/proc/self/io"));
    if (!io.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : io.readAll().split('\n')) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

// Root ignores permission bits, so a read-only folder or an unreadable file only refuses
// access to an ordinary user: while alive this runs the process as nobody. Without root the
// bits already apply.
class AsNobody
{
public:
    explicit AsNobody(bool active = true)
    {
        if (active && ::geteuid() == 0)
            m_ok = ::setegid(65534) == 0 && ::seteuid(65534) == 0;
    }
    ~AsNobody() { restore(); }
    void restore()
    {
        if (::getuid() == 0) {
            if (::geteuid() != 0 && ::seteuid(0) != 0)
                qFatal("cannot return to root");
            if (::getegid() != 0 && ::setegid(0) != 0)
                qFatal("cannot return to the root group");
        }
    }
    bool ok() const { return m_ok; }

private:
    bool m_ok = true;
};

// A folder with a generated settings file, reachable by nobody.
struct Scratch
{
    QTemporaryDir dir;
    QString file;
    QByteArray original;

    explicit Scratch(qint64 size = 64 * 1024, quint64 seed = 3)
    {
        ::chmod(QFile::encodeName(dir.path()).constData(), 0755);
        file = dir.filePath(QString::fromLatin1(kName));
        original = generated(size, seed);
        writeBytes(file, original);
    }
    QString backup(const char *suffix = "") const
    {
        return file + QLatin1String(kStamp) + QLatin1String(suffix);
    }
};

bool nobodyCanEnter(const QString &dir)
{
    AsNobody nobody;
    return nobody.ok() && ::access(QFile::encodeName(dir).constData(), X_OK) == 0;
}

// Replaces the file by a same-sized one that differs in one byte, moved over it by rename.
void replaceByRename(const QString &file, qint64 at)
{
    QByteArray other = bytesOf(file);
    other[at] = other.at(at) == 'x' ? 'y' : 'x';
    const QString temp = file + QStringLiteral(".other");
    QVERIFY(writeBytes(temp, other));
    QVERIFY(::rename(QFile::encodeName(temp).constData(), QFile::encodeName(file).constData()) ==
            0);
}

// Changes one byte in place, then puts the modification time back as it was.
void changeByteKeepingTime(const QString &file, qint64 at)
{
    struct stat st;
    QVERIFY(::stat(QFile::encodeName(file).constData(), &st) == 0);
    QFile f(file);
    QVERIFY(f.open(QIODevice::ReadWrite));
    QVERIFY(f.seek(at));
    const char c = f.peek(1).at(0) == 'x' ? 'y' : 'x';
    QVERIFY(f.write(&c, 1) == 1);
    f.close();
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(file).constData(), times, 0) == 0);
}

// The message with %1 and %2 replaced where it has them.
QString filled(QString message, const QString &first, const QString &second = QString())
{
    return message.replace(QLatin1String("%1"), QDir::toNativeSeparators(first))
        .replace(QLatin1String("%2"), QDir::toNativeSeparators(second));
}

XsdtNode *node(SettingsStore &store, const char *path)
{
    return store.document.findPath(QString::fromLatin1(path));
}

} // namespace

class TestStore : public QObject
{
    Q_OBJECT

private slots:
    void initTestCase();
    void init();
    void cleanup();
    void backupNames();
    void loadFailures_data();
    void loadFailures();
    void saveRefusals_data();
    void saveRefusals();
    void reparseComparison_data();
    void reparseComparison();
    void saveWithoutChanges();
    void saveWritesEditsAndOneBackup();
    void twoSavesInOneSecond();
    void changesWhileSaving_data();
    void changesWhileSaving();
    void saveFailures_data();
    void saveFailures();
    void verifiedWrites();
    void restoreBackup();
    void restoreRefusals_data();
    void restoreRefusals();
    void pollSeesEveryChange_data();
    void pollSeesEveryChange();
    void pollReadsOnlyWhenNeeded();
    void crashConsistency();

private:
    DeletionPolicy m_policy;
};

void TestStore::initTestCase()
{
    QStandardPaths::setTestModeEnabled(true);
    QString error;
    QVERIFY2(m_policy.load(kOverlay, &error), qPrintable(error));
}

void TestStore::init()
{
    setPixInsightProcessQuery([] { return QList<qint64>(); });
    setStoreClock([] { return kNow; });
}

void TestStore::cleanup()
{
    setPixInsightProcessQuery({});
    setStoreClock({});
}

void TestStore::backupNames()
{
    QTemporaryDir dir;
    const QString file = dir.filePath(QString::fromLatin1(kName));
    setStoreClock([] { return QDateTime(QDate(2026, 12, 5), QTime(10, 22, 33)); });
    const QString base = file + QStringLiteral(".bak-20261205-102233");
    QCOMPARE(backupPathFor(file), base);
    QCOMPARE(backupPathFor(file, QStringLiteral("before-restore")),
             base + QStringLiteral("-before-restore"));
    QVERIFY(writeBytes(base, "x"));
    QCOMPARE(backupPathFor(file), base + QStringLiteral("-2"));
    // A dangling link takes its name as much as a file does.
    QVERIFY(QFile::link(dir.filePath(QStringLiteral("nowhere")), base + QStringLiteral("-2")));
    QCOMPARE(backupPathFor(file), base + QStringLiteral("-3"));
    QCOMPARE(backupPathFor(file, QStringLiteral("before-restore")),
             base + QStringLiteral("-before-restore"));
}

void TestStore::loadFailures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("message"); // %1 is the native path
    QTest::newRow("missing") << "missing"
                             << "Cannot read %1: No such file or directory";
    QTest::newRow("folder") << "folder"
                            << "Cannot read %1: Not a regular file";
    QTest::newRow("pipe") << "pipe"
                          << "Cannot read %1: Not a regular file";
    QTest::newRow("unreadable") << "unreadable"
                                << "Cannot read %1: Permission denied";
    QTest::newRow("not xsdt") << "not xsdt"
                              << "%1 is not a valid PixInsight settings file: Not a PixInsight "
                                 "settings file (no <xsdt> element).";
}

void TestStore::loadFailures()
{
    QFETCH(QString, scenario);
    QFETCH(QString, message);
    Scratch s;
    SettingsStore store;
    QVERIFY(store.load(s.file));
    const QString other = s.dir.filePath(QStringLiteral("other"));
    if (scenario == QLatin1String("folder"))
        QVERIFY(QDir().mkdir(other));
    else if (scenario == QLatin1String("pipe"))
        QVERIFY(::mkfifo(QFile::encodeName(other).constData(), 0644) == 0);
    else if (scenario == QLatin1String("unreadable"))
        QVERIFY(writeBytes(other, s.original) && QFile::setPermissions(other, {}));
    else if (scenario == QLatin1String("not xsdt"))
        QVERIFY(writeBytes(other, "hello"));
    const bool asNobody = scenario == QLatin1String("unreadable");
    if (asNobody && !nobodyCanEnter(s.dir.path()))
        QSKIP("the temporary folder is not reachable by an unprivileged user");

    QString error;
    {
        AsNobody nobody(asNobody);
        QVERIFY(nobody.ok());
        QVERIFY(!store.load(other, &error));
    }
    QCOMPARE(error, filled(message, other));
    if (scenario == QLatin1String("not xsdt")) {
        // A file that is not a settings file leaves nothing loaded.
        QVERIFY(!store.loaded);
        QVERIFY(store.document.root.children.empty());
        QVERIFY(!store.changedOnDisk());
    } else {
        // A read failure leaves the open file as it was.
        QVERIFY(store.loaded);
        QCOMPARE(store.path, s.file);
        QCOMPARE(store.loadedHash, sha256(s.original));
        QVERIFY(node(store, kProcessors));
    }
}

void TestStore::saveRefusals_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("message");
    QTest::newRow("not loaded") << "not loaded"
                                << "No file is loaded.";
    QTest::newRow("PixInsight running") << "running" << kRunning;
    QTest::newRow("one byte changed") << "one byte changed" << kChanged;
    QTest::newRow("replaced") << "replaced" << kChanged;
    QTest::newRow("deleted") << "deleted" << kChanged;
    QTest::newRow("protected by a rule")
        << "protected"
        << "'Global/Preferences/Process' is protected and cannot be deleted. Core data. Nothing "
           "was written.";
    QTest::newRow("protected by default")
        << "default"
        << "'LastVersion' is protected and cannot be deleted. Not on the list. Nothing was "
           "written.";
    QTest::newRow("no policy")
        << "no policy"
        << "'Global/Statistics' is protected and cannot be deleted.  Nothing was written.";
    QTest::newRow("value does not survive writing")
        << "surrogate"
        << "Internal error: the edited document differs after re-parsing at "
           "Global/Preferences/Application/HighResFont. Nothing was written.";
    QTest::newRow("text does not read back")
        << "too deep"
        << "Internal error: the edited document does not parse back (%1). Nothing was written.";
}

void TestStore::saveRefusals()
{
    QFETCH(QString, scenario);
    QFETCH(QString, message);
    Scratch s;
    SettingsStore store;
    QByteArray onDisk = s.original;
    if (scenario != QLatin1String("not loaded")) {
        QVERIFY(store.load(s.file));
        store.policy = &m_policy;
        node(store, kProcessors)->value = QStringLiteral("7");
    }
    const qint64 at = s.original.indexOf("Statistics");
    if (scenario == QLatin1String("running")) {
        setPixInsightProcessQuery([] { return QList<qint64>{4242}; });
    } else if (scenario == QLatin1String("one byte changed")) {
        onDisk[at] = 's';
        QFile f(s.file);
        QVERIFY(f.open(QIODevice::ReadWrite) && f.seek(at) && f.write("s", 1) == 1);
    } else if (scenario == QLatin1String("replaced")) {
        replaceByRename(s.file, at);
        onDisk = bytesOf(s.file);
    } else if (scenario == QLatin1String("deleted")) {
        QVERIFY(QFile::remove(s.file));
    } else if (scenario == QLatin1String("protected")) {
        node(store, "Global/Statistics")->pendingDelete = true; // allowed, and first
        node(store, "Global/Preferences/Process")->pendingDelete = true;
    } else if (scenario == QLatin1String("default")) {
        node(store, "LastVersion")->pendingDelete = true;
    } else if (scenario == QLatin1String("no policy")) {
        store.policy = nullptr;
        node(store, "Global/Statistics")->pendingDelete = true;
    } else if (scenario == QLatin1String("surrogate")) {
        // An unpaired surrogate has no UTF-8 form, so it cannot come back as it was.
        node(store, kFont)->value = QString(QChar(0xD800));
    } else if (scenario == QLatin1String("too deep")) {
        // The writer can write what the reader refuses: more levels than it accepts.
        XsdtNode *deep = &store.document.root;
        for (int i = 0; i < 1001; ++i)
            deep = deep->appendChild(XsdtNode::Group, QStringLiteral("g"));
        XsdtDocument probe;
        QString readerError;
        QVERIFY(!probe.parse(store.document.serialize(), &readerError));
        QVERIFY2(readerError.startsWith(QLatin1String("elements nested too deeply")),
                 qPrintable(readerError));
        message = message.arg(readerError);
    }

    QString error;
    QString backup = QStringLiteral("(untouched)");
    QVERIFY(!store.save(&error, &backup));
    QCOMPARE(error, message);
    QVERIFY(backup.isEmpty());
    const QStringList expected = scenario == QLatin1String("deleted")
                                     ? QStringList()
                                     : QStringList{QString::fromLatin1(kName)};
    QCOMPARE(entries(s.dir.path()), expected);
    if (!expected.isEmpty())
        QCOMPARE(bytesOf(s.file), onDisk);
    if (store.loaded) {
        QVERIFY(store.document.pendingChangeCount() > 0);
        QCOMPARE(store.loadedHash, sha256(s.original));
    }
}

void TestStore::reparseComparison_data()
{
    QTest::addColumn<QByteArray>("edited");
    QTest::addColumn<QString>("marked"); // a node marked for deletion in the edited tree
    QTest::addColumn<QByteArray>("reparsed");
    QTest::addColumn<QString>("where"); // "(same)" when no difference is expected
    const QByteArray pair =
        "<xsdt><i k=\"G\"><v k=\"a\" t=\"i\" v=\"1\"/>"
        "<v k=\"b\" t=\"s\" v=\"x\"/></i><v k=\"z\" t=\"b\" v=\"true\"/></xsdt>";
    const QByteArray zlib = "<xsdt><v k=\"c\" t=\"B\" c=\"zlib\"><s u=\"1\">AA==</s></v></xsdt>";
    QTest::newRow("equal") << pair << "" << pair << "(same)";
    QTest::newRow("marked node left out")
        << pair << "G/a"
        << QByteArray("<xsdt><i k=\"G\"><v k=\"b\" t=\"s\" v=\"x\"/></i>"
                      "<v k=\"z\" t=\"b\" v=\"true\"/></xsdt>")
        << "(same)";
    QTest::newRow("fewer at the top")
        << pair << "" << QByteArray("<xsdt><i k=\"G\"/></xsdt>") << "";
    QTest::newRow("fewer inside") << pair << ""
                                  << QByteArray("<xsdt><i k=\"G\"><v k=\"a\" t=\"i\" v=\"1\"/></i>"
                                                "<v k=\"z\" t=\"b\" v=\"true\"/></xsdt>")
                                  << "G";
    QTest::newRow("marked node kept") << pair << "G/a" << pair << "G";
    QByteArray other = pair;
    QTest::newRow("key") << pair << "" << other.replace("k=\"b\"", "k=\"B\"") << "G/b";
    other = pair;
    QTest::newRow("type") << pair << "" << other.replace("t=\"i\"", "t=\"u\"") << "G/a";
    other = pair;
    QTest::newRow("value") << pair << "" << other.replace("v=\"x\"", "v=\"y\"") << "G/b";
    other = pair;
    QTest::newRow("kind") << pair << ""
                          << other.replace("<v k=\"z\" t=\"b\" v=\"true\"/>", "<i k=\"z\"/>")
                          << "z";
    other = zlib;
    QTest::newRow("compressed text") << zlib << "" << other.replace("AA==", "AB==") << "c";
    other = zlib;
    QTest::newRow("compression") << zlib << "" << other.replace("zlib", "lz4") << "c";
}

void TestStore::reparseComparison()
{
    QFETCH(QByteArray, edited);
    QFETCH(QString, marked);
    QFETCH(QByteArray, reparsed);
    QFETCH(QString, where);
    XsdtDocument a;
    XsdtDocument b;
    QVERIFY(a.parse(edited));
    QVERIFY(b.parse(reparsed));
    if (!marked.isEmpty())
        a.findPath(marked)->pendingDelete = true;
    QString found = QStringLiteral("(untouched)");
    const bool same = sameAfterReparse(a.root, b.root, &found);
    QCOMPARE(same ? QStringLiteral("(same)") : found, where);
}

void TestStore::saveWithoutChanges()
{
    Scratch s;
    SettingsStore store;
    QVERIFY(store.load(s.file));
    const FileStamp before = fileStamp(s.file);
    XsdtNode *value = node(store, kProcessors);
    value->value = QStringLiteral("7");
    value->value = value->originalValue;
    // Nothing to write is success even while PixInsight runs: nothing is touched.
    setPixInsightProcessQuery([] { return QList<qint64>{4242}; });
    QString error;
    QString backup = QStringLiteral("(untouched)");
    QVERIFY(store.save(&error, &backup));
    QVERIFY(error.isEmpty());
    QVERIFY(backup.isEmpty());
    QCOMPARE(fileStamp(s.file), before);
    QCOMPARE(entries(s.dir.path()), QStringList{QString::fromLatin1(kName)});
}

void TestStore::saveWritesEditsAndOneBackup()
{
    Scratch s(256 * 1024);
    QVERIFY(QFile::setPermissions(s.file, QFile::ReadOwner | QFile::WriteOwner | QFile::ReadGroup));
    SettingsStore store;
    QVERIFY(store.load(s.file));
    store.policy = &m_policy;
    XsdtDocument expected;
    QVERIFY(expected.parse(s.original));
    auto edit = [&](const char *path, const QString &value) {
        node(store, path)->value = value;
        expected.findPath(QString::fromLatin1(path))->value = value;
    };
    auto mark = [&](const char *path) {
        node(store, path)->pendingDelete = true;
        expected.findPath(QString::fromLatin1(path))->pendingDelete = true;
    };
    edit(kProcessors, QStringLiteral("7"));
    edit(kFont, QStringLiteral("Noto & <Sans> \"quoted\" 'single' \u00fc\u65e5 \U0001F52D"));
    edit("Global/Preferences/Security/AllowUnsignedScriptExecution", QStringLiteral("true"));
    mark("Global/Statistics"); // safe
    mark("CommandHistory");    // warn

    QString error;
    QString backup;
    QVERIFY2(store.save(&error, &backup), qPrintable(error));
    QCOMPARE(backup, s.backup());
    QCOMPARE(entries(s.dir.path()),
             (QStringList{QString::fromLatin1(kName), QFileInfo(backup).fileName()}));
    QCOMPARE(bytesOf(backup), s.original);
    QCOMPARE(modeOf(backup), 0640u);
    QCOMPARE(modeOf(s.file), 0640u);

    const QByteArray written = bytesOf(s.file);
    XsdtDocument reread;
    QVERIFY(reread.parse(written));
    QCOMPARE(testdata::treeDifference(expected.root, reread.root, true), QString());
    QCOMPARE(testdata::treeDifference(store.document.root, reread.root), QString());
    QCOMPARE(store.document.pendingChangeCount(), 0);
    QVERIFY(!store.document.findPath(QStringLiteral("Global/Statistics")));
    QCOMPARE(store.loadedHash, sha256(written));
    QVERIFY(!store.changedOnDisk());
    QVERIFY(!store.contentChangedOnDisk());
    QVERIFY(error.isEmpty());
}

void TestStore::twoSavesInOneSecond()
{
    Scratch s;
    SettingsStore store;
    QVERIFY(store.load(s.file));
    node(store, kProcessors)->value = QStringLiteral("7");
    QString first;
    QVERIFY(store.save(nullptr, &first));
    const QByteArray afterFirst = bytesOf(s.file);
    node(store, kProcessors)->value = QStringLiteral("5");
    QString second;
    QVERIFY(store.save(nullptr, &second));
    QCOMPARE(first, s.backup());
    QCOMPARE(second, s.backup("-2"));
    QCOMPARE(bytesOf(first), s.original);
    QCOMPARE(bytesOf(second), afterFirst);
    QCOMPARE(node(store, kProcessors)->originalValue, QString("5"));
}

void TestStore::changesWhileSaving_data()
{
    QTest::addColumn<bool>("pixInsightStarts");
    QTest::addColumn<QString>("message");
    QTest::newRow("file written") << false << kChanged;
    QTest::newRow("PixInsight started") << true << kRunning;
}

void TestStore::changesWhileSaving()
{
    // The running check is asked once more just before the old file is replaced; that is the
    // moment to act as PixInsight (or another program) would.
    QFETCH(bool, pixInsightStarts);
    QFETCH(QString, message);
    Scratch s;
    SettingsStore store;
    QVERIFY(store.load(s.file));
    node(store, kProcessors)->value = QStringLiteral("7");
    QByteArray outside = s.original;
    const qint64 at = outside.indexOf("Statistics");
    outside[at] = 's';
    int calls = 0;
    setPixInsightProcessQuery([&]() -> QList<qint64> {
        if (++calls < 2)
            return {};
        if (pixInsightStarts)
            return {4242};
        QFile f(s.file);
        if (f.open(QIODevice::ReadWrite) && f.seek(at))
            f.write("s", 1);
        return {};
    });
    QString error;
    QVERIFY(!store.save(&error));
    QCOMPARE(error, message);
    QCOMPARE(calls, 2);
    QCOMPARE(bytesOf(s.file), pixInsightStarts ? s.original : outside);
    // The backup was made before the last check and stays; nothing else is left behind.
    QCOMPARE(entries(s.dir.path()),
             (QStringList{QString::fromLatin1(kName), QFileInfo(s.backup()).fileName()}));
    QCOMPARE(bytesOf(s.backup()), s.original);
    QCOMPARE(store.document.pendingChangeCount(), 1);
    QCOMPARE(store.loadedHash, sha256(s.original));
}

void TestStore::saveFailures_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("message"); // %1 the file, %2 the backup (native)
    QTest::newRow("read-only folder") << "read-only folder"
                                      << "Could not create the backup %2. Nothing was written.";
    QTest::newRow("unreadable file") << "unreadable file" << kChanged;
    QTest::newRow("folder disappears") << "folder disappears" << kChanged;
    QTest::newRow("disk full part way") << "file size limit"
                                        << "Error writing %1: File too large";
}

void TestStore::saveFailures()
{
    QFETCH(QString, scenario);
    QFETCH(QString, message);
    Scratch s;
    if (!nobodyCanEnter(s.dir.path()))
        QSKIP("the temporary folder is not reachable by an unprivileged user");
    SettingsStore store;
    QVERIFY(store.load(s.file));
    XsdtNode *font = node(store, kFont);
    // Grows the file, so that a size limit can let the backup through and stop the write.
    font->value = QString(8192, QLatin1Char('F'));

    bool asNobody = false;
    bool backupExpected = false;
    if (scenario == QLatin1String("read-only folder")) {
        QVERIFY(::chmod(QFile::encodeName(s.dir.path()).constData(), 0555) == 0);
        asNobody = true;
    } else if (scenario == QLatin1String("unreadable file")) {
        QVERIFY(QFile::setPermissions(s.file, {}));
        asNobody = true;
    } else if (scenario == QLatin1String("folder disappears")) {
        QVERIFY(QDir(s.dir.path()).removeRecursively());
    } else if (scenario == QLatin1String("file size limit")) {
        backupExpected = true;
    }

    QString error;
    bool saved = false;
    bool changed = false;
    if (asNobody) {
        AsNobody nobody;
        QVERIFY(nobody.ok());
        changed = store.changedOnDisk();
        saved = store.save(&error);
    } else if (scenario == QLatin1String("file size limit")) {
        // A real write error from the kernel after a given number of bytes, as on a full disk.
        struct rlimit old;
        QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
        const auto previous = std::signal(SIGXFSZ, SIG_IGN);
        struct rlimit limited = old;
        limited.rlim_cur = rlim_t(s.original.size() + 1024);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        saved = store.save(&error);
        ::setrlimit(RLIMIT_FSIZE, &old);
        std::signal(SIGXFSZ, previous);
        changed = store.changedOnDisk();
    } else {
        changed = store.changedOnDisk();
        saved = store.save(&error);
    }
    QVERIFY(!saved);
    QCOMPARE(error, filled(message, s.file, s.backup()));
    QCOMPARE(changed, scenario != QLatin1String("read-only folder") &&
                          scenario != QLatin1String("file size limit"));
    QCOMPARE(store.document.pendingChangeCount(), 1);
    QCOMPARE(store.loadedHash, sha256(s.original));
    if (scenario == QLatin1String("folder disappears")) {
        QVERIFY(!QFileInfo::exists(s.dir.path()));
        return;
    }
    QCOMPARE(bytesOf(s.file), s.original);
    QStringList expected{QString::fromLatin1(kName)};
    if (backupExpected) {
        expected.append(QFileInfo(s.backup()).fileName());
        QCOMPARE(bytesOf(s.backup()), s.original);
    }
    QCOMPARE(entries(s.dir.path()), expected);
}

void TestStore::verifiedWrites()
{
    Scratch s;
    if (!nobodyCanEnter(s.dir.path()))
        QSKIP("the temporary folder is not reachable by an unprivileged user");
    // Through a link: the target is replaced, the link stays a link, the mode is kept.
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath(QStringLiteral("real.settings"));
    QVERIFY(writeBytes(target, "old"));
    QVERIFY(QFile::setPermissions(target, QFile::ReadOwner | QFile::WriteOwner));
    const QString link = s.dir.filePath(QStringLiteral("link.settings"));
    QVERIFY(QFile::link(target, link));
    QString error;
    QVERIFY2(writeFileVerified(link, "new content", &error), qPrintable(error));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(bytesOf(target), QByteArray("new content"));
    QCOMPARE(modeOf(target), 0600u);
    QCOMPARE(entries(elsewhere.path()), QStringList{"real.settings"});

    // A check that says no before the replacement leaves the old file and no temporary one.
    QVERIFY(!writeFileVerified(s.file, "replacement", &error, [](QString *message) {
        *message = QStringLiteral("stopped");
        return false;
    }));
    QCOMPARE(error, QString("stopped"));
    QCOMPARE(bytesOf(s.file), s.original);
    QCOMPARE(entries(s.dir.path()), (QStringList{QString::fromLatin1(kName), "link.settings"}));

    error.clear();
    const QString missing = s.dir.filePath(QStringLiteral("gone/core-1-pxi.settings"));
    QVERIFY(!writeFileVerified(missing, "x", &error));
    QCOMPARE(error, QStringLiteral("Cannot open %1 for writing: No such file or directory")
                        .arg(QDir::toNativeSeparators(missing)));

    error.clear();
    QVERIFY(::chmod(QFile::encodeName(s.dir.path()).constData(), 0555) == 0);
    {
        AsNobody nobody;
        QVERIFY(nobody.ok());
        QVERIFY(!writeFileVerified(s.file, "x", &error));
        QCOMPARE(error, QStringLiteral("Cannot open %1 for writing: Permission denied")
                            .arg(QDir::toNativeSeparators(s.file)));
        error.clear();
        bool taken = true;
        QVERIFY(!writeNewFileVerified(s.backup(), "x", 0644, &taken, &error));
        QVERIFY(!taken);
        QCOMPARE(error, QStringLiteral("Cannot create %1: Permission denied")
                            .arg(QDir::toNativeSeparators(s.backup())));
    }
    QCOMPARE(bytesOf(s.file), s.original);

    // A new file never replaces what is there, not even an empty one.
    QVERIFY(::chmod(QFile::encodeName(s.dir.path()).constData(), 0755) == 0);
    const QString taken = s.dir.filePath(QStringLiteral("taken"));
    QVERIFY(writeBytes(taken, ""));
    bool exists = false;
    QVERIFY(!writeNewFileVerified(taken, "content", 0644, &exists));
    QVERIFY(exists);
    QCOMPARE(bytesOf(taken), QByteArray());
    QVERIFY(writeNewFileVerified(s.dir.filePath(QStringLiteral("fresh")), "content", 0604));
    QCOMPARE(bytesOf(s.dir.filePath(QStringLiteral("fresh"))), QByteArray("content"));
    QCOMPARE(modeOf(s.dir.filePath(QStringLiteral("fresh"))), 0604u);
    QCOMPARE(entries(s.dir.path()),
             (QStringList{QString::fromLatin1(kName), "fresh", "link.settings", "taken"}));
}

void TestStore::restoreBackup()
{
    Scratch s;
    SettingsStore store;
    QVERIFY(store.load(s.file));
    node(store, kProcessors)->value = QStringLiteral("7");
    QString backup;
    QVERIFY(store.save(nullptr, &backup));
    const QByteArray saved = bytesOf(s.file);
    node(store, kFont)->value = QStringLiteral("pending");

    QString error;
    QVERIFY2(store.restoreBackup(backup, &error), qPrintable(error));
    // The file as it was before the restore is kept first.
    const QString before = s.backup("-before-restore");
    QCOMPARE(entries(s.dir.path()),
             (QStringList{QString::fromLatin1(kName), QFileInfo(backup).fileName(),
                          QFileInfo(before).fileName()}));
    QCOMPARE(bytesOf(before), saved);
    QCOMPARE(bytesOf(backup), s.original);
    QCOMPARE(bytesOf(s.file), s.original);
    XsdtDocument expected;
    QVERIFY(expected.parse(s.original));
    QCOMPARE(testdata::treeDifference(expected.root, store.document.root), QString());
    QCOMPARE(store.document.pendingChangeCount(), 0);
    QCOMPARE(store.loadedHash, sha256(s.original));
    QVERIFY(!store.changedOnDisk());
}

void TestStore::restoreRefusals_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<QString>("message"); // %1 the chosen backup (native)
    QTest::newRow("not a settings file")
        << "not xsdt"
        << "The backup is not a valid settings file: Not a PixInsight settings file (no <xsdt> "
           "element).";
    QTest::newRow("broken settings file")
        << "broken"
        << "The backup is not a valid settings file: unexpected end of file (line 1, column 20, "
           "in A)";
    QTest::newRow("not loaded") << "not loaded"
                                << "No file is loaded.";
    QTest::newRow("PixInsight running")
        << "running"
        << "PixInsight is running. Close it before restoring a backup.";
    QTest::newRow("missing backup") << "missing"
                                    << "Cannot read %1: No such file or directory";
    QTest::newRow("folder as backup") << "folder"
                                      << "Cannot read %1: Not a regular file";
    QTest::newRow("current file cannot be backed up")
        << "read-only folder"
        << "Could not back up the current file first. Nothing was changed.";
}

void TestStore::restoreRefusals()
{
    QFETCH(QString, scenario);
    QFETCH(QString, message);
    Scratch s;
    QTemporaryDir chosenDir;
    ::chmod(QFile::encodeName(chosenDir.path()).constData(), 0755);
    const QString chosen = chosenDir.filePath(QStringLiteral("chosen"));
    QVERIFY(writeBytes(chosen, generated(8 * 1024, 9)));
    SettingsStore store;
    if (scenario != QLatin1String("not loaded")) {
        QVERIFY(store.load(s.file));
        node(store, kProcessors)->value = QStringLiteral("7");
    }
    bool asNobody = false;
    if (scenario == QLatin1String("not xsdt")) {
        QVERIFY(writeBytes(chosen, "just some text\n"));
    } else if (scenario == QLatin1String("broken")) {
        QVERIFY(writeBytes(chosen, "<xsdt><i k=\"A\"></i>"));
    } else if (scenario == QLatin1String("running")) {
        setPixInsightProcessQuery([] { return QList<qint64>{4242}; });
    } else if (scenario == QLatin1String("missing")) {
        QVERIFY(QFile::remove(chosen));
    } else if (scenario == QLatin1String("folder")) {
        QVERIFY(QFile::remove(chosen) && QDir().mkdir(chosen));
    } else if (scenario == QLatin1String("read-only folder")) {
        if (!nobodyCanEnter(s.dir.path()))
            QSKIP("the temporary folder is not reachable by an unprivileged user");
        QVERIFY(::chmod(QFile::encodeName(s.dir.path()).constData(), 0555) == 0);
        asNobody = true;
    }
    const QByteArray chosenBytes = bytesOf(chosen);
    QString error;
    {
        AsNobody nobody(asNobody);
        QVERIFY(nobody.ok());
        QVERIFY(!store.restoreBackup(chosen, &error));
    }
    QCOMPARE(error, filled(message, chosen));
    QCOMPARE(bytesOf(s.file), s.original);
    QCOMPARE(entries(s.dir.path()), QStringList{QString::fromLatin1(kName)});
    QCOMPARE(bytesOf(chosen), chosenBytes);
    if (store.loaded) {
        QCOMPARE(store.document.pendingChangeCount(), 1);
        QCOMPARE(store.loadedHash, sha256(s.original));
    }
}

void TestStore::pollSeesEveryChange_data()
{
    QTest::addColumn<QString>("scenario");
    QTest::addColumn<bool>("changed");
    QTest::newRow("untouched") << "untouched" << false;
    QTest::newRow("same bytes written again") << "same bytes" << false;
    QTest::newRow("one byte, time put back") << "byte in place" << true;
    QTest::newRow("renamed over, same size and time") << "renamed over" << true;
    QTest::newRow("grown") << "grown" << true;
    QTest::newRow("deleted") << "deleted" << true;
    QTest::newRow("unreadable") << "unreadable" << true;
}

void TestStore::pollSeesEveryChange()
{
    QFETCH(QString, scenario);
    QFETCH(bool, changed);
    Scratch s;
    SettingsStore store;
    QVERIFY(!store.changedOnDisk()); // nothing loaded
    QVERIFY(store.load(s.file));
    QVERIFY(!store.changedOnDisk()); // the stamp is now remembered
    const qint64 at = s.original.indexOf("Statistics");
    bool asNobody = false;
    if (scenario == QLatin1String("same bytes")) {
        QVERIFY(writeBytes(s.file, s.original));
    } else if (scenario == QLatin1String("byte in place")) {
        changeByteKeepingTime(s.file, at);
    } else if (scenario == QLatin1String("renamed over")) {
        struct stat st;
        QVERIFY(::stat(QFile::encodeName(s.file).constData(), &st) == 0);
        replaceByRename(s.file, at);
        const struct timespec times[2] = {st.st_atim, st.st_mtim};
        QVERIFY(::utimensat(AT_FDCWD, QFile::encodeName(s.file).constData(), times, 0) == 0);
    } else if (scenario == QLatin1String("grown")) {
        QFile f(s.file);
        QVERIFY(f.open(QIODevice::Append) && f.write("\n") == 1);
    } else if (scenario == QLatin1String("deleted")) {
        QVERIFY(QFile::remove(s.file));
    } else if (scenario == QLatin1String("unreadable")) {
        if (!nobodyCanEnter(s.dir.path()))
            QSKIP("the temporary folder is not reachable by an unprivileged user");
        QVERIFY(QFile::setPermissions(s.file, {}));
        asNobody = true;
    }
    AsNobody nobody(asNobody);
    QVERIFY(nobody.ok());
    QCOMPARE(store.changedOnDisk(), changed);
    QCOMPARE(store.changedOnDisk(), changed); // and again, from what the first poll learnt
    QCOMPARE(store.contentChangedOnDisk(), changed);
    if (changed) {
        node(store, kProcessors)->value = QStringLiteral("7");
        QString error;
        QVERIFY(!store.save(&error));
        QCOMPARE(error, QString::fromLatin1(kChanged));
    }
}

void TestStore::pollReadsOnlyWhenNeeded()
{
    if (bytesReadSoFar() < 0)
        QSKIP("/proc/self/io is not available");
    Scratch s(2 * 1024 * 1024);
    const qint64 size = s.original.size();
    SettingsStore store;
    QVERIFY(store.load(s.file));
    qint64 before = bytesReadSoFar();
    QVERIFY(!store.changedOnDisk());
    QVERIFY(bytesReadSoFar() - before < size / 4);
    before = bytesReadSoFar();
    QVERIFY(!store.contentChangedOnDisk());
    QVERIFY(bytesReadSoFar() - before >= size);

    // After a save the new file is too fresh to vouch for itself: the next poll reads it.
    node(store, kProcessors)->value = QStringLiteral("7");
    QVERIFY(store.save());
    before = bytesReadSoFar();
    QVERIFY(!store.changedOnDisk());
    QVERIFY(bytesReadSoFar() - before >= size);

    // With the real clock a file written moments ago is never taken on trust.
    setStoreClock({});
    QVERIFY(writeBytes(s.file, s.original));
    QVERIFY(store.load(s.file));
    for (int poll = 0; poll < 2; ++poll) {
        before = bytesReadSoFar();
        QVERIFY(!store.changedOnDisk());
        QVERIFY(bytesReadSoFar() - before >= size);
    }
}

void TestStore::crashConsistency()
{
    // A helper saves a 2 MB file over and over and is killed at random moments. After every kill
    // the file must be exactly the previous or the new content, and every backup complete.
    const int trials = qEnvironmentVariableIsSet("VARNEL_CRASH_TRIALS")
                           ? qEnvironmentVariableIntValue("VARNEL_CRASH_TRIALS")
                           : 200;
    QTemporaryDir dir;
    const QString file = dir.filePath(QString::fromLatin1(kName));
    const QString markerPath = QString::fromLatin1(kFont);
    XsdtDocument model;
    QVERIFY(model.parse(generated(2 * 1000 * 1000, 11)));
    XsdtNode *marker = model.findPath(markerPath);
    QVERIFY(marker);
    auto contentFor = [&](qint64 generation) {
        marker->value = QStringLiteral("crash-gen-%1").arg(generation);
        return model.serialize();
    };
    static const QRegularExpression generationPattern(QStringLiteral("crash-gen-(\\d+)"));
    auto generationIn = [](const QByteArray &bytes) {
        const QRegularExpressionMatch m = generationPattern.match(
            QString::fromLatin1(bytes.mid(qMax<qint64>(0, bytes.indexOf("crash-gen-")), 40)));
        return m.hasMatch() ? m.captured(1).toLongLong() : qint64(-1);
    };
    QVERIFY(writeBytes(file, contentFor(0)));

    QRandomGenerator random(20260501);
    qint64 onDisk = 0;
    double meanSaveMs = 0;
    double meanWritingFromMs = 0;
    int savesSeen = 0;
    int killedBeforeReplace = 0;
    int killedAfterReplace = 0;
    int backupsChecked = 0;
    int completeTemporaries = 0;
    static const QRegularExpression saveFileName(QRegularExpression::anchoredPattern(
        QRegularExpression::escape(QString::fromLatin1(kName)) + "\\.\\w{6}"));
    int failures = 0;
    for (int trial = 0; trial < trials; ++trial) {
        QProcess helper;
        helper.setProgram(QStringLiteral(VARNEL_SAVE_HELPER));
        helper.setArguments({file, markerPath});
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start();
        QVERIFY(helper.waitForStarted());
        while (!helper.canReadLine() && helper.state() == QProcess::Running)
            helper.waitForReadyRead(10000);
        QCOMPARE(helper.readLine().trimmed(), QByteArray("ready ") + QByteArray::number(onDisk));

        qint64 lastSaved = onDisk;
        auto consume = [&](const QByteArray &line) {
            const QList<QByteArray> words = line.trimmed().split(' ');
            if (words.value(0) == "error")
                return false;
            if (words.value(0) == "saved" && words.size() == 4) {
                lastSaved = words.at(1).toLongLong();
                ++savesSeen;
                meanSaveMs += (words.at(2).toDouble() - meanSaveMs) / qMin(savesSeen, 20);
                meanWritingFromMs +=
                    (words.at(3).toDouble() - meanWritingFromMs) / qMin(savesSeen, 20);
            }
            return true;
        };
        QSignalSpy finished(&helper, &QProcess::finished);
        if (trial == 0) {
            // Learns how long a save takes in this build before killing anywhere in one: let
            // three saves complete, then kill in the fourth.
            while (savesSeen < 3 && helper.state() == QProcess::Running) {
                helper.waitForReadyRead(60000);
                while (helper.canReadLine())
                    QVERIFY(consume(helper.readLine()));
            }
            helper.kill(); // SIGKILL
        } else {
            // Every other kill falls where files are written (backup, replacement, read-back),
            // the brief part of a save where a kill can do harm; the rest anywhere.
            const int delay = trial % 2
                                  ? int(meanWritingFromMs +
                                        random.bounded(qMax(1.0, meanSaveMs - meanWritingFromMs)))
                                  : int(random.bounded(1.25 * meanSaveMs));
            QTimer::singleShot(delay, &helper, [&] { helper.kill(); });
        }
        QVERIFY(finished.wait(60000));
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        for (const QByteArray &line : helper.readAllStandardOutput().split('\n'))
            QVERIFY2(consume(line), line.constData());

        const QByteArray bytes = bytesOf(file);
        const qint64 generation = generationIn(bytes);
        if ((generation != lastSaved && generation != lastSaved + 1) ||
            bytes != contentFor(generation)) {
            ++failures;
            qWarning("trial %d: the file is not generation %lld or %lld", trial,
                     static_cast<long long>(lastSaved), static_cast<long long>(lastSaved + 1));
            break;
        }
        if (trial % 20 == 0) {
            XsdtDocument parsed;
            QVERIFY(parsed.parse(bytes));
            QCOMPARE(testdata::treeDifference(model.root, parsed.root), QString());
        }
        ++(generation == lastSaved ? killedBeforeReplace : killedAfterReplace);
        onDisk = generation;

        for (const QString &name : entries(dir.path())) {
            if (name == QLatin1String(kName))
                continue;
            const QString path = dir.filePath(name);
            if (name.startsWith(QLatin1String(kName) + QLatin1String(".bak-"))) {
                const QByteArray backup = bytesOf(path);
                const qint64 of = generationIn(backup);
                ++backupsChecked;
                if (of < 0 || of > generation || backup != contentFor(of)) {
                    ++failures;
                    qWarning("trial %d: incomplete backup %s", trial, qPrintable(name));
                }
            } else {
                // The save file names its finished content for a moment before renaming it
                // over the file; a kill in between leaves that complete copy, nothing less.
                const QByteArray copy = bytesOf(path);
                const bool complete = saveFileName.match(name).hasMatch() &&
                                      generationIn(copy) == generation + 1 &&
                                      copy == contentFor(generation + 1);
                ++(complete ? completeTemporaries : failures);
                qWarning("trial %d: left behind: %s (%s)", trial, qPrintable(name),
                         complete ? "a complete copy" : "not a complete copy");
            }
            QFile::remove(path);
        }
        if (failures)
            break;
    }
    qInfo(
        "%d kills: %d before the file was replaced, %d after; %d saves completed, mean %.0f ms, "
        "writing from %.0f ms; %d backups checked; %d complete temporary copies left; %d failures",
        killedBeforeReplace + killedAfterReplace, killedBeforeReplace, killedAfterReplace,
        savesSeen, meanSaveMs, meanWritingFromMs, backupsChecked, completeTemporaries, failures);
    QCOMPARE(failures, 0);
    QCOMPARE(killedBeforeReplace + killedAfterReplace, trials);
}

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
