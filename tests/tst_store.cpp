#include "document/xsdtdocument.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "knowledge/deletionpolicy.h"
#include "store/files.h"
#include "store/memoryfit.h"
#include "store/settingsstore.h"
#include "support/effectiveuser.h"
#include "support/testfiles.h"
#include "support/treecompare.h"
#include "support/watchdog.h"

#include <QProcess>
#include <QRandomGenerator>
#include <QRegularExpression>
#include <QScopeGuard>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTimer>
#include <QtTest>

#include <csignal>
#include <fcntl.h>
#include <optional>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <unistd.h>

using namespace vrn;

namespace {

const char kOverlay[] =
    "{\"policy\": {\"defaultReason\": \"Not on the list.\", \"delete\": [{\"path\": "
    "\"Global/Statistics\", \"level\": \"safe\", \"reason\": \"Usage counters.\"},{\"path\": "
    "\"Global/**\", \"level\": \"never\", \"reason\": \"Core data.\"},{\"path\": \"*\", \"level\": "
    "\"warn\", \"groupsOnly\": true, \"reason\": \"Tool settings.\"}]}}";

const char kRunning[] = "PixInsight is running. It keeps its settings in memory and would "
                        "overwrite the file. Close PixInsight first.";
const char kChanged[] = "The file changed on disk since it was loaded (PixInsight may have "
                        "written it). Nothing was written. Use Reload and keep my changes (File "
                        "menu or Shift+F5) to make your edits again on the new version, then "
                        "save.";
const char kRestoreChanged[] = "The file changed on disk while the backup was being restored "
                               "(PixInsight may have written it). That version was kept; nothing "
                               "was changed.";
const char kInUse[] = "Nothing was %1: another program has the file open. Close that program, "
                      "then %2 again.";
const char kMissing[] = "%4 no longer exists: it was deleted, moved or renamed after it was "
                        "loaded. Nothing was written. To keep your changes, put the file back "
                        "and save again.";
const char kUnknown[] = "Cannot tell whether PixInsight is running: no process list. %1 is "
                        "refused while that cannot be checked, since a running PixInsight would "
                        "overwrite the file. Nothing was %2.";
const char kReadOnly[] = "%4 is read-only (its owner may not write it). Nothing was %1.";
const char kOverwritten[] = "%1 was replaced with %2, but another program wrote it right after: it "
                            "now holds that program's version%3. The backup %4 holds the file as "
                            "it was before %5; restoring it would undo the other program's change "
                            "too.";
const QString kName = "core-1-pxi.settings";
const char kProcessors[] = "Global/Preferences/Process/MaxProcessors";
const char kFont[] = "Global/Preferences/Application/HighResFont";

// Every test runs with this clock: backup names are known in advance, and files written by
// the test are old enough for their stamps to be trusted.
const QDateTime kNow(QDate(2031, 5, 6), QTime(7, 8, 9));
const QString kStamp = ".bak-20310506-070809";

QByteArray generated(qint64 bytes, quint64 seed = 3)
{
    testdata::GeneratorOptions options;
    options.seed = seed;
    options.targetBytes = bytes;
    return testdata::generateSettings(options);
}

using testdata::writeFile;

QByteArray bytesOf(const QString &path)
{
    QFile file(path);
    return QFileInfo(path).isFile() && file.open(QIODevice::ReadOnly) ? file.readAll()
                                                                      : QByteArray("(unreadable)");
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

// "uid:gid", to compare owners in one line.
QString ownerOf(const QString &path)
{
    struct stat st;
    if (::stat(QFile::encodeName(path).constData(), &st) != 0)
        return QString();
    return QString("%1:%2").arg(st.st_uid).arg(st.st_gid);
}

// A file's access control list and its attribute user.note.
QString aclOf(const QString &path)
{
    QProcess getfacl;
    getfacl.start("getfacl", {"-cpn", path});
    char note[8] = {};
    ::getxattr(QFile::encodeName(path).constData(), "user.note", note, sizeof note - 1);
    return QString::fromUtf8(getfacl.waitForFinished() ? getfacl.readAll() : path.toUtf8()) +
           QString(note);
}

bool setMode(const QString &path, mode_t mode)
{
    return ::chmod(QFile::encodeName(path).constData(), mode) == 0;
}

// Changes one byte in place, as an editor or PixInsight writing the file would.
bool putByte(const QString &path, qint64 at, char c)
{
    QFile file(path);
    return file.open(QIODevice::ReadWrite) && file.seek(at) && file.putChar(c);
}

// Replaces the file by another holding these bytes, renamed over it.
bool renameOver(const QString &path, const QByteArray &bytes)
{
    const QString temp = path + ".new";
    return writeFile(temp, bytes) &&
           ::rename(QFile::encodeName(temp).constData(), QFile::encodeName(path).constData()) == 0;
}

// Runs `change`, then puts the file's modification time back as it was.
bool keepingTime(const QString &path, const std::function<bool()> &change)
{
    struct stat st;
    const QByteArray name = QFile::encodeName(path);
    if (::stat(name.constData(), &st) != 0 || !change())
        return false;
    const struct timespec times[2] = {st.st_atim, st.st_mtim};
    return ::utimensat(AT_FDCWD, name.constData(), times, 0) == 0;
}

// Puts the file's times the given number of seconds into the past.
bool setAge(const QString &path, qint64 seconds)
{
    const struct timespec old = {::time(nullptr) - seconds, 0};
    const struct timespec times[2] = {old, old};
    return ::utimensat(AT_FDCWD, QFile::encodeName(path).constData(), times, 0) == 0;
}

// Bytes this process has read so far, from the kernel's own count.
qint64 bytesReadSoFar()
{
    QFile io("/proc/self/io");
    const QList<QByteArray> lines =
        io.open(QIODevice::ReadOnly) ? io.readAll().split('\n') : QList<QByteArray>();
    for (const QByteArray &line : lines) {
        if (line.startsWith("rchar:"))
            return line.mid(6).trimmed().toLongLong();
    }
    return -1;
}

// Root ignores permission bits, so a read-only folder or an unreadable file only refuses
// access to an ordinary user: such rows run as nobody, who must reach the temporary folder.
// Without root the bits already apply.
bool nobodyCanEnter(const QString &dir)
{
    if (::geteuid() != 0)
        return true;
    testdata::EffectiveUser nobody(testdata::kNobody);
    return nobody.ok() &&
           ::faccessat(AT_FDCWD, QFile::encodeName(dir).constData(), X_OK, AT_EACCESS) == 0;
}

// A folder with a generated settings file, reachable by nobody.
struct Scratch
{
    QTemporaryDir dir;
    QString file = dir.filePath(kName);
    QByteArray original;

    explicit Scratch(qint64 size = 64 * 1024)
        : original(generated(size))
    {
        setMode(dir.path(), 0755);
        writeFile(file, original);
    }
    QString backup(const char *suffix = "") const { return file + kStamp + QLatin1String(suffix); }
};

// The message with %1, %2, ... replaced by native paths.
QString filled(QString message, const QStringList &paths)
{
    for (qsizetype i = 0; i < paths.size(); ++i)
        message.replace(QString("%%1").arg(i + 1), QDir::toNativeSeparators(paths[i]));
    return message;
}

// Sets or clears the append-only mark of a folder; false where the system does not allow it.
bool setAppendOnly(const QString &dir, bool on)
{
    return QProcess::execute("chattr", {on ? "+a" : "-a", dir}) == 0;
}

// Whether this process may take a write lease on the file.
bool leasesWork(const QString &path)
{
    const int fd = ::open(QFile::encodeName(path).constData(), O_RDONLY | O_CLOEXEC);
    const bool ok = fd >= 0 && ::fcntl(fd, F_SETLEASE, F_WRLCK) == 0;
    ::close(fd);
    return ok;
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
    void failuresChangeNothing_data();
    void failuresChangeNothing();
    void reparseComparison_data();
    void reparseComparison();
    void saveTwiceAndRestore();
    void verifiedWrites();
    void pollReadsOnlyWhenNeeded();
    void memoryFitBoundary();
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
    setReplaceHook({});
    setReplacedHook({});
}

void TestStore::backupNames()
{
    // A dangling link takes its name as much as a file does.
    QTemporaryDir dir;
    const QString file = dir.filePath(kName);
    QVERIFY(QFile::link(dir.filePath("nowhere"), file + kStamp));
    QCOMPARE(backupPathFor(file), file + kStamp + "-2");
}

void TestStore::failuresChangeNothing_data()
{
    // Rows name the operation unless it is a save. %1 is the file to load or restore, else the
    // settings file; %2 the backup of a save, %3 the one made before a restore, %4 the settings
    // file. `kind` is the store's failure code; no failure leaves a backup behind.
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("kind");

    const auto row = [](const char *name, const QString &message, const QString &kind) {
        QTest::newRow(name) << message << kind;
    };
    row("load: missing", "Cannot read %1: No such file or directory", "");
    row("load: pipe", "Cannot read %1: Not a regular file", "");
    row("load: unreadable file", "Cannot read %1: Permission denied", "");
    row("load: not a settings file",
        "%1 is not a valid PixInsight settings file: Not a PixInsight settings file (no <xsdt> "
        "element).",
        "");
    row("not loaded", "No file is loaded.", "not loaded");
    row("PixInsight running", kRunning, "running");
    row("PixInsight check fails", QString(kUnknown).arg("Saving", "written"), "running");
    row("read-only file", QString(kReadOnly).arg("written"), "read-only");
    row("attribute that cannot be carried",
        "Could not create the backup %2: the extended attribute security.varnel of " + kName +
            " cannot be carried over to it (Operation not permitted). Nothing was written.",
        "failed");
    row("one byte changed, time kept", kChanged, "changed");
    row("replaced, same size and time", kChanged, "changed");
    row("deleted", kMissing, "changed");
    row("folder disappears", kMissing, "changed");
    row("unreadable file", "Cannot read %4: Permission denied. Nothing was written.", "failed");
    row("protected",
        "'Global/UpdateManager' is protected and cannot be deleted. Core data. Nothing was "
        "written.",
        "refused");
    row("no policy",
        "'Global/Statistics' is protected and cannot be deleted.  Nothing was written.", "refused");
    row("value does not survive writing",
        "Internal error: the edited document differs after re-parsing at "
        "Global/Preferences/Application/HighResFont. Nothing was written.",
        "failed");
    row("text does not read back",
        "Internal error: the edited document does not parse back (%1). Nothing was written.",
        "failed");
    row("read-only folder",
        "Could not create the backup %2: Permission denied. Nothing was written.", "failed");
    // The backup is made before these fail and taken back; the file stays the old one, or the
    // other program's.
    row("file written while saving", kChanged, "changed");
    row("rewritten unchanged while saving", kChanged, "changed");
    row("PixInsight started while saving", kRunning, "running");
    row("written in the last moment, no lease", kChanged, "changed");
    row("replaced in the last moment", kChanged, "changed");
    row("pipe in the last moment", kChanged, "changed");
    row("opened in the last moment", QString(kInUse).arg("written", "save"), "in use");
    row("held open", QString(kInUse).arg("written", "save"), "in use");
    row("written after the swap, no lease", kChanged, "changed");
    row("folder renamed while saving", kMissing, "changed");
    row("append-only folder",
        "Cannot open %4 for writing: the folder only allows adding files (it is marked "
        "append-only or immutable). The file was not changed.",
        "failed");
    row("disk full part way", "Error writing %1: File too large. The file was not changed.",
        "failed");
    row("write: read-only folder",
        "Cannot open %1 for writing: Permission denied. The file was not changed.", "");
    row("write: attribute that cannot be carried",
        "Cannot carry the extended attribute security.varnel of %1 over to the new file: "
        "Operation not permitted. The file was not changed.",
        "");
    // Written by another program right after the swap: the backup is not what is there.
    row("written right after the swap",
        QString(kOverwritten).arg("%4", "your changes", ", not your changes", "%2", "this save"),
        "failed");
    row("restore: written right after the swap",
        QString(kOverwritten).arg("%4", "the backup", "", "%3", "the restore"), "failed");
    // Restoring a backup refuses as carefully.
    row("restore: not loaded", "No file is loaded.", "not loaded");
    row("restore: PixInsight running", "PixInsight is running. Close it before restoring a backup.",
        "running");
    row("restore: PixInsight check fails", QString(kUnknown).arg("Restoring", "changed"),
        "running");
    row("restore: read-only file", QString(kReadOnly).arg("changed"), "read-only");
    row("restore: not a settings file",
        "The backup is not a valid settings file: Not a PixInsight settings file (no <xsdt> "
        "element).",
        "refused");
    row("restore: missing", "Cannot read %1: No such file or directory", "failed");
    row("restore: unreadable file", "Cannot read %4: Permission denied. Nothing was changed.",
        "failed");
    row("restore: read-only folder",
        "Could not back up the current file to %3: Permission denied. Nothing was changed.",
        "failed");
    row("restore: replaced in the last moment", kRestoreChanged, "changed");
    row("restore: held open", QString(kInUse).arg("changed", "restore"), "in use");
}

void TestStore::failuresChangeNothing()
{
    QFETCH(QString, message);
    QFETCH(QString, kind);
    const testdata::Watchdog watchdog; // a pipe opened by mistake would block
    const QByteArray tag = QTest::currentDataTag();
    const qsizetype colon = tag.indexOf(": ");
    const QByteArray op = colon < 0 ? QByteArray("save") : tag.left(colon);
    const QByteArray scenario = tag.mid(colon < 0 ? 0 : colon + 2);
    Scratch s;
    // Old enough that a write in the same instant as the test's own moves the time.
    QVERIFY(setAge(s.file, 3600));
    QTemporaryDir chosenDir; // holds the file to load or restore
    const QString chosen = chosenDir.filePath("chosen");
    QVERIFY(setMode(chosenDir.path(), 0755));
    QVERIFY(writeFile(chosen, scenario == "not a settings file" ? QByteArray("just text\n")
                                                                : generated(8 * 1024, 9)));
    SettingsStore store;
    if (scenario != "not loaded") {
        QVERIFY(store.load(s.file));
        store.mayDelete = m_policy.deletionGuard();
        // Grows the file, so that a size limit can let the backup through and stop the write.
        node(store, kFont)->value = QString(8192, 'F');
    }
    const qint64 at = s.original.indexOf("Statistics");
    QByteArray changed = s.original;
    changed[at] = 's';
    bool asNobody = false;
    rlim_t sizeLimit = RLIM_INFINITY;
    int calls = 0;
    int held = -1; // a writer's handle, opened before the save
    const QString moved = s.dir.path() + "-moved";
    if (scenario == "PixInsight running") {
        setPixInsightProcessQuery([] { return QList<qint64>{4242}; });
    } else if (scenario == "PixInsight check fails") {
        setPixInsightProcessQuery([] { return PixInsightCheck::failed("no process list"); });
    } else if (scenario == "one byte changed, time kept") {
        QVERIFY(keepingTime(s.file, [&] { return putByte(s.file, at, 's'); }));
    } else if (scenario == "replaced, same size and time") {
        QVERIFY(keepingTime(s.file, [&] { return renameOver(s.file, changed); }));
    } else if (scenario == "deleted") {
        QVERIFY(QFile::remove(s.file));
    } else if (scenario == "folder disappears") {
        QVERIFY(QDir(s.dir.path()).removeRecursively());
    } else if (scenario == "unreadable file") {
        asNobody = QFile::setPermissions(op == "load" ? chosen : s.file, {});
    } else if (scenario == "pipe") {
        QVERIFY(QFile::remove(chosen) &&
                ::mkfifo(QFile::encodeName(chosen).constData(), 0644) == 0);
    } else if (scenario == "protected") {
        node(store, "Global/Statistics")->pendingDelete = true; // allowed, and first
        node(store, "Global/UpdateManager")->pendingDelete = true;
    } else if (scenario == "no policy") {
        store.mayDelete = nullptr;
        node(store, "Global/Statistics")->pendingDelete = true;
    } else if (scenario == "value does not survive writing") {
        // An unpaired surrogate has no UTF-8 form, so it cannot come back as it was.
        node(store, kFont)->value = QString(QChar(0xD800));
    } else if (scenario == "text does not read back") {
        // The writer can write what the reader refuses: more levels than it accepts.
        XsdtNode *deep = &store.document.root;
        for (int i = 0; i < 1001; ++i)
            deep = deep->appendChild(XsdtNode::Group, "g");
        XsdtDocument probe;
        QString readerError;
        QVERIFY(!probe.parse(store.document.serialize(), &readerError));
        message = message.arg(readerError);
    } else if (scenario == "read-only folder") {
        asNobody = setMode(s.dir.path(), 0555);
    } else if (scenario.endsWith("while saving")) {
        // The running check is asked once more just before the old file is replaced; that is
        // the moment to act as PixInsight (or another program) would.
        const QByteArray what = scenario;
        setPixInsightProcessQuery([&, what]() -> QList<qint64> {
            if (++calls == 2 && what.startsWith("file"))
                putByte(s.file, at, 's');
            if (calls == 2 && what.startsWith("folder"))
                QFile::rename(s.dir.path(), moved);
            if (calls == 2 && what.startsWith("rewritten"))
                renameOver(s.file, s.original);
            return QList<qint64>(calls == 2 && what.startsWith("PixInsight") ? 1 : 0, 4242);
        });
    } else if (scenario.contains("in the last moment")) {
        // After every check, just before the swap: the other program's write must survive. A
        // program that opens the file then finds it leased; one that does not own the file
        // cannot lease it, so the displaced file is checked instead.
        if (scenario.startsWith("written")) {
            if (::geteuid() != 0)
                QSKIP("only root can save a file it neither owns nor may lease");
            asNobody = setMode(s.dir.path(), 0777) && setMode(s.file, 0666);
        } else if (scenario.startsWith("opened") && !leasesWork(s.file)) {
            QSKIP("this file system has no leases");
        }
        const QString pipe = s.dir.filePath("pipe");
        setReplaceHook([&, scenario, pipe](const QString &) {
            if (scenario.startsWith("written"))
                QVERIFY(putByte(s.file, at, 's'));
            else if (scenario.startsWith("replaced"))
                QVERIFY(renameOver(s.file, changed));
            else if (scenario.startsWith("pipe"))
                QVERIFY(::mkfifo(QFile::encodeName(pipe).constData(), 0644) == 0 &&
                        ::rename(QFile::encodeName(pipe).constData(),
                                 QFile::encodeName(s.file).constData()) == 0);
            else // an open that does not wait is turned away, and breaks the lease by trying
                QCOMPARE(::open(QFile::encodeName(s.file).constData(), O_WRONLY | O_NONBLOCK) < 0
                             ? errno
                             : 0,
                         EWOULDBLOCK);
        });
    } else if (scenario == "held open") {
        if (!leasesWork(s.file))
            QSKIP("this file system has no leases");
        held = ::open(QFile::encodeName(s.file).constData(), O_WRONLY | O_CLOEXEC);
    } else if (scenario == "written after the swap, no lease") {
        // Opened before the swap, written after the displaced file was checked: the writes land
        // in the displaced file, which must go back in place.
        if (::geteuid() != 0)
            QSKIP("only root can save a file it neither owns nor may lease");
        asNobody = setMode(s.dir.path(), 0777) && setMode(s.file, 0666);
        held = ::open(QFile::encodeName(s.file).constData(), O_WRONLY | O_CLOEXEC);
        setReplacedHook([&](const QString &) { QCOMPARE(::pwrite(held, "s", 1, at), 1); });
    } else if (scenario == "append-only folder") {
        if (!setAppendOnly(s.dir.path(), true))
            QSKIP("this file system or user cannot mark a folder append-only");
    } else if (scenario == "disk full part way") {
        // A real write error from the kernel after a given number of bytes, as on a full disk.
        sizeLimit = rlim_t(s.original.size() + 1024);
    } else if (scenario == "missing") {
        QVERIFY(QFile::remove(chosen));
    } else if (scenario == "read-only file") {
        QVERIFY(setMode(s.file, 0444));
    } else if (scenario == "attribute that cannot be carried") {
        // Only root may give a file such an attribute.
        asNobody = ::geteuid() == 0 && setMode(s.dir.path(), 0777) && setMode(s.file, 0666) &&
                   !::setxattr(QFile::encodeName(s.file).constData(), "security.varnel", "x", 1, 0);
        if (!asNobody)
            QSKIP("only root can give a file an attribute its owner cannot carry");
    } else if (scenario == "written right after the swap") {
        setReplacedHook([&](const QString &) { QVERIFY(renameOver(s.file, changed)); });
    }
    if (asNobody && !nobodyCanEnter(s.dir.path()))
        QSKIP("the temporary folder is not reachable by an unprivileged user");
    const bool othersWrite = scenario.startsWith("file written") ||
                             scenario.startsWith("written") || scenario.startsWith("replaced in") ||
                             scenario == "held open";
    const QByteArray onDisk = scenario.startsWith("pipe in") ? QByteArray("(unreadable)")
                              : othersWrite                  ? changed
                                                             : bytesOf(s.file);
    const int pending = store.document.pendingChangeCount();

    QString error;
    struct rlimit old;
    QVERIFY(::getrlimit(RLIMIT_FSIZE, &old) == 0);
    struct rlimit limited = old;
    limited.rlim_cur = qMin(old.rlim_cur, sizeLimit);
    const auto previous = std::signal(SIGXFSZ, SIG_IGN);
    {
        std::optional<testdata::EffectiveUser> nobody;
        if (asNobody && ::geteuid() == 0)
            nobody.emplace(testdata::kNobody);
        QVERIFY(!nobody || nobody->ok());
        // Polls first: they must see exactly the changes made on disk.
        const bool seen = scenario.startsWith("one byte") || scenario.startsWith("replaced,") ||
                          scenario == "deleted" || scenario == "folder disappears" ||
                          (scenario == "unreadable file" && op != "load");
        QCOMPARE(store.changedOnDisk(), seen);
        QCOMPARE(store.changedOnDisk(), seen); // again, from what the first poll learnt
        QCOMPARE(store.contentChangedOnDisk(), seen);
        QVERIFY(::setrlimit(RLIMIT_FSIZE, &limited) == 0);
        const bool done = op == "load"      ? store.load(chosen, &error)
                          : op == "restore" ? store.restoreBackup(chosen, &error)
                          : op == "write"   ? writeFileVerified(s.file, "x", &error)
                                            : store.save(&error);
        ::setrlimit(RLIMIT_FSIZE, &old);
        QVERIFY(!done);
    }
    // What the writer holding the file writes now must land in the file, not in a displaced one.
    QVERIFY(held < 0 || (::pwrite(held, "s", 1, at) == 1 && ::close(held) == 0));
    std::signal(SIGXFSZ, previous);
    setReplaceHook({});
    setReplacedHook({});
    if (scenario == "append-only folder")
        QVERIFY(setAppendOnly(s.dir.path(), false));
    if (scenario == "folder renamed while saving")
        QVERIFY(QFile::rename(moved, s.dir.path()));
    const bool other = op == "load" || op == "restore";
    QCOMPARE(error, filled(message, {other ? chosen : s.file, s.backup(),
                                     s.backup("-before-restore"), s.file}));
    // Only a file that does not parse leaves nothing loaded; anything else keeps the file open
    // with its edits.
    const bool unloaded = scenario == "not loaded" || tag == "load: not a settings file";
    QCOMPARE(store.loaded, !unloaded);
    QCOMPARE(store.document.pendingChangeCount(), unloaded ? 0 : pending);
    QCOMPARE(store.document.root.children.empty(), unloaded);
    if (!unloaded) {
        QCOMPARE(store.path, s.file);
        QCOMPARE(store.loadedHash, sha256(s.original));
    }

    static const char *const kinds[] = {"",       "not loaded", "running", "changed",
                                        "in use", "refused",    "failed",  "read-only"};
    QCOMPARE(kinds[int(store.failure())], kind);

    // Nothing else is left behind: no temporary file, no backup.
    QVERIFY(!QFileInfo::exists(s.dir.path()) || setMode(s.dir.path(), 0755));
    const bool gone = scenario == "deleted" || scenario == "folder disappears";
    QStringList left{kName};
    if (scenario == "written right after the swap")
        left.append(kName + kStamp + (op == "save" ? "" : "-before-restore"));
    QCOMPARE(entries(s.dir.path()), gone ? QStringList() : left);
    if (!gone)
        QCOMPARE(bytesOf(s.file), onDisk);
}

void TestStore::reparseComparison_data()
{
    QTest::addColumn<QByteArray>("edited");
    QTest::addColumn<QString>("marked"); // a node marked for deletion in the edited tree
    QTest::addColumn<QByteArray>("reparsed");
    QTest::addColumn<QString>("where"); // "(same)" when no difference is expected
    const QByteArray a = "<v k=\"a\" t=\"i\" v=\"1\"/>";
    const QByteArray b = "<v k=\"b\" t=\"s\" v=\"x\"/>";
    const QByteArray z = "<v k=\"z\" t=\"b\" v=\"true\"/>";
    const QByteArray tree = "<xsdt><i k=\"G\">" + a + b + "</i>" + z + "</xsdt>";
    const QByteArray zlib = "<xsdt><v k=\"c\" t=\"B\" c=\"zlib\"><s u=\"1\">AA==</s></v></xsdt>";
    // The reparsed tree is the edited one with `from` replaced by `to`.
    auto row = [](const char *name, const QByteArray &edited, const char *marked,
                  const QByteArray &from, const QByteArray &to, const char *where) {
        QTest::newRow(name) << edited << QString::fromLatin1(marked)
                            << QByteArray(edited).replace(from, to) << QString::fromLatin1(where);
    };
    row("marked node left out", tree, "G/a", a, "", "(same)");
    row("marked node kept", tree, "G/a", a, a, "G/b");
    row("fewer at the top", tree, "", z, "", "");
    row("more inside", tree, "", b, b + b, "G");
    row("one too many in the middle", tree, "", a, a + a, "G/b");
    row("group emptied", tree, "", "<i k=\"G\">" + a + b + "</i>", "<i k=\"G\"/>", "G");
    row("does not parse", tree, "", "</xsdt>", "", "(error)");
    // A value that differs is the failed save "value does not survive writing".
    row("key", tree, "", "k=\"b\"", "k=\"B\"", "G/b");
    row("type", tree, "", "t=\"i\"", "t=\"u\"", "G/a");
    // An empty group read back as a value: only the kind tells them apart.
    row("kind", QByteArray(tree).replace(z, "<i k=\"z\"/>"), "", "<i k=\"z\"/>", z, "z");
    row("compressed text", zlib, "", "AA==", "AB==", "c");
    row("compression", zlib, "", "zlib", "lz4", "c");
}

void TestStore::reparseComparison()
{
    QFETCH(QByteArray, edited);
    QFETCH(QString, marked);
    QFETCH(QByteArray, reparsed);
    QFETCH(QString, where);
    XsdtDocument a;
    QVERIFY(a.parse(edited));
    if (!marked.isEmpty())
        a.findPath(marked)->pendingDelete = true;
    QString found = "(untouched)";
    QString error;
    const bool same = a.readsBackAs(reparsed, &error, &found);
    QCOMPARE(same ? "(same)" : error.isEmpty() ? found : "(error)", where);
}

void TestStore::saveTwiceAndRestore()
{
    Scratch s(256 * 1024);
    QVERIFY(setMode(s.file, 0640));
    // Run as root on a user's file, every file written keeps that user as owner.
    if (::geteuid() == 0)
        QCOMPARE(::chown(QFile::encodeName(s.file).constData(), 65534, 65534), 0);
    const QString owner = ownerOf(s.file);
    // Attributes go to the backup and the new file; the folder's default access list adds none.
    QVERIFY(::setxattr(QFile::encodeName(s.file).constData(), "user.note", "kept", 4, 0) == 0);
    QVERIFY(QProcess::execute("setfacl", {"-d", "-m", "u:31337:rw", s.dir.path()}) == 0);
    const QString attributes = aclOf(s.file);
    SettingsStore store;
    QVERIFY(store.load(s.file));
    store.mayDelete = m_policy.deletionGuard();
    // Nothing to write is success even while PixInsight runs: nothing is touched.
    setPixInsightProcessQuery([] { return QList<qint64>{4242}; });
    const FileStamp before = fileStamp(s.file);
    QVERIFY(store.save());
    QCOMPARE(fileStamp(s.file), before);
    QCOMPARE(entries(s.dir.path()), QStringList{kName});
    setPixInsightProcessQuery([] { return QList<qint64>(); });

    XsdtDocument expected;
    QVERIFY(expected.parse(s.original));
    for (const auto &[path, value] :
         {std::pair{kProcessors, "7"},
          {kFont, "Noto & <Sans> \"quoted\" 'single' \u00fc\u65e5 \U0001F52D"}}) {
        node(store, path)->value = value;
        expected.findPath(QString::fromLatin1(path))->value = value;
    }
    for (const char *path : {"Global/Statistics", "CommandHistory"}) { // safe, warn
        node(store, path)->pendingDelete = true;
        expected.findPath(QString::fromLatin1(path))->pendingDelete = true;
    }

    // One backup, byte for byte the old file and with its mode; the file holds the edits.
    QString error;
    QString backup;
    QVERIFY2(store.save(&error, &backup), qPrintable(error));
    QCOMPARE(backup, s.backup());
    QCOMPARE(entries(s.dir.path()), (QStringList{kName, QFileInfo(backup).fileName()}));
    QCOMPARE(bytesOf(backup), s.original);
    QCOMPARE(modeOf(backup), 0640u);
    QCOMPARE(modeOf(s.file), 0640u);
    QCOMPARE(ownerOf(backup), owner);
    QCOMPARE(ownerOf(s.file), owner);
    QCOMPARE(aclOf(backup), attributes);
    QCOMPARE(aclOf(s.file), attributes);
    const QByteArray written = bytesOf(s.file);
    XsdtDocument reread;
    QVERIFY(reread.parse(written));
    QCOMPARE(testdata::treeDifference(expected.root, reread.root, true), QString());
    QCOMPARE(testdata::treeDifference(store.document.root, reread.root), QString());
    QCOMPARE(store.document.pendingChangeCount(), 0);
    QCOMPARE(store.loadedHash, sha256(written));

    // A second save in the same second takes the next name; an access list goes along.
    QVERIFY(QProcess::execute("setfacl", {"-m", "u:31337:r,g::-,m::r", s.file}) == 0);
    const QString withList = aclOf(s.file);
    node(store, kProcessors)->value = "5";
    QString second;
    QVERIFY(store.save(nullptr, &second));
    QCOMPARE(second, s.backup("-2"));
    QCOMPARE(bytesOf(second), written);
    QCOMPARE(aclOf(second), withList);
    QCOMPARE(aclOf(s.file), withList);

    // A restore keeps the current file first, then shows exactly the backup, no edits pending.
    const QByteArray current = bytesOf(s.file);
    node(store, kFont)->value = "pending";
    QVERIFY2(store.restoreBackup(backup, &error), qPrintable(error));
    QCOMPARE(entries(s.dir.path()),
             (QStringList{kName, QFileInfo(backup).fileName(), QFileInfo(second).fileName(),
                          QFileInfo(s.backup("-before-restore")).fileName()}));
    QCOMPARE(bytesOf(s.backup("-before-restore")), current);
    QCOMPARE(bytesOf(s.file), s.original);
    QCOMPARE(ownerOf(s.backup("-before-restore")), owner);
    QCOMPARE(ownerOf(s.file), owner);
    XsdtDocument original;
    QVERIFY(original.parse(s.original));
    QCOMPARE(testdata::treeDifference(original.root, store.document.root), QString());
    QCOMPARE(store.document.pendingChangeCount(), 0);
    QCOMPARE(store.loadedHash, sha256(s.original));

    // With the file gone there is nothing to keep first: the backup simply comes back, with
    // its owner and mode.
    QVERIFY(QFile::remove(s.file));
    QVERIFY2(store.restoreBackup(second, &error), qPrintable(error));
    QCOMPARE(bytesOf(s.file), written);
    QCOMPARE(modeOf(s.file), 0640u);
    QCOMPARE(aclOf(s.file), withList);
    QCOMPARE(ownerOf(s.file), owner);
    QCOMPARE(entries(s.dir.path()).size(), 4);
}

void TestStore::verifiedWrites()
{
    Scratch s;
    // Through a link: the target is replaced, the link stays a link, the mode is kept.
    QTemporaryDir elsewhere;
    const QString target = elsewhere.filePath("real.settings");
    QVERIFY(writeFile(target, "old") && setMode(target, 0600));
    const QString link = s.dir.filePath("link.settings");
    QVERIFY(QFile::link(target, link));
    QString error;
    QVERIFY2(writeFileVerified(link, "new content", &error), qPrintable(error));
    QVERIFY(QFileInfo(link).isSymLink());
    QCOMPARE(bytesOf(target), QByteArray("new content"));
    QCOMPARE(modeOf(target), 0600u);
    QCOMPARE(entries(elsewhere.path()), QStringList{"real.settings"});
    // Read-only stays read-only, also when written as root.
    for (const uint mode : {0444u, 0400u, 0555u, 0640u}) {
        QVERIFY(setMode(target, mode));
        QVERIFY2(writeFileVerified(target, "content", &error), qPrintable(error));
        QCOMPARE(modeOf(target), mode);
    }

    // A new file never replaces what is there, not even an empty one.
    const QString taken = s.dir.filePath("taken");
    QVERIFY(writeFile(taken, ""));
    bool exists = false;
    QVERIFY(!writeNewFileVerified(taken, "content", 0644, &exists));
    QVERIFY(exists);
    QCOMPARE(bytesOf(taken), QByteArray());

    // A backup copied from the open file holds what was checked, or is not made at all.
    const int fd = ::open(QFile::encodeName(s.file).constData(), O_RDONLY | O_CLOEXEC);
    const auto closeFd = qScopeGuard([fd] { ::close(fd); });
    QString copy;
    bool changed = true;
    QVERIFY(copyBackup(s.file, fd, sha256(s.original), QString(), &copy, &changed));
    QVERIFY(!changed);
    QCOMPARE(bytesOf(copy), s.original);
    QVERIFY(QFile::remove(copy));
    QVERIFY(!copyBackup(s.file, fd, sha256("other"), QString(), &copy, &changed));
    QVERIFY(changed);

    QCOMPARE(entries(s.dir.path()), (QStringList{kName, "link.settings", "taken"}));
}

// A file that needs exactly the memory there is fits; one byte more does not.
void TestStore::memoryFitBoundary()
{
    const auto freeAgain = qScopeGuard([] { MemoryFit::setSource({}); });
    MemoryFit::setSource([] { return qint64(4500); });
    QVERIFY(MemoryFit::forSize(1000, 4.5).fits());
    MemoryFit::setSource([] { return qint64(4499); });
    QVERIFY(!MemoryFit::forSize(1000, 4.5).fits());
}

void TestStore::pollReadsOnlyWhenNeeded()
{
    // What a file is measured against before it is read: the system's own figure, in bytes,
    // which counts the free memory and more besides.
    const qint64 available = MemoryFit::availableNow();
    QVERIFY(available > qint64(sysconf(_SC_AVPHYS_PAGES)) * getpagesize() / 2);
    QVERIFY(available <= qint64(sysconf(_SC_PHYS_PAGES)) * getpagesize());
    if (bytesReadSoFar() < 0)
        QSKIP("/proc/self/io is not available");
    Scratch s(2 * 1024 * 1024);
    const qint64 size = s.original.size();
    SettingsStore store;
    QVERIFY(store.load(s.file));
    // The bytes one poll reads; -1 when it reports a change, which none of these may.
    auto reads = [&](bool full) {
        const qint64 before = bytesReadSoFar();
        const bool changed = full ? store.contentChangedOnDisk() : store.changedOnDisk();
        return changed ? -1 : bytesReadSoFar() - before;
    };
    const qint64 quick = reads(false);
    QVERIFY(quick >= 0 && quick < size / 4);
    QVERIFY(reads(true) >= size);
    // The same bytes written again: a new stamp, so the content is read, and found unchanged.
    QVERIFY(writeFile(s.file, s.original));
    QVERIFY(reads(false) >= size);

    // After a save the new file is too fresh to vouch for itself: the next poll reads it.
    node(store, kProcessors)->value = "7";
    QVERIFY(store.save());
    QVERIFY(reads(false) >= size);

    // With the real clock a file written moments ago is never taken on trust.
    setStoreClock({});
    QVERIFY(writeFile(s.file, s.original));
    QVERIFY(store.load(s.file));
    QVERIFY(reads(false) >= size);
    QVERIFY(reads(false) >= size);
    // Nor one whose modification time was put back: its change time is fresh.
    QVERIFY(setAge(s.file, 3600));
    QVERIFY(store.load(s.file));
    QVERIFY(reads(false) >= size);
}

void TestStore::crashConsistency()
{
    // A helper saves a 2 MB file over and over and is killed at random moments. After every kill
    // the file must be exactly the previous or the new content, every backup complete, and
    // anything else left behind a complete copy of one of them. A stress run sets
    // VARNEL_CRASH_TRIALS; the default stays well inside the test's time on a busy machine.
    const int trials = qEnvironmentVariableIsSet("VARNEL_CRASH_TRIALS")
                           ? qEnvironmentVariableIntValue("VARNEL_CRASH_TRIALS")
                           : 20;
    QTemporaryDir dir;
    const QString file = dir.filePath(kName);
    XsdtDocument model;
    QVERIFY(model.parse(generated(2 * 1000 * 1000, 11)));
    XsdtNode *marker = model.findPath(QString::fromLatin1(kFont));
    QVERIFY(marker);
    auto contentFor = [&](qint64 generation) {
        marker->value = QString("crash-gen-%1").arg(generation);
        return model.serialize();
    };
    auto generationIn = [](const QByteArray &bytes) {
        static const QRegularExpression pattern("crash-gen-(\\d+)");
        const QRegularExpressionMatch m = pattern.match(
            QString::fromLatin1(bytes.mid(qMax<qint64>(0, bytes.indexOf("crash-gen-")), 40)));
        return m.hasMatch() ? m.captured(1).toLongLong() : qint64(-1);
    };
    // The temporary name of a replacement: after a kill it may stay behind, holding the new
    // content (killed before the swap) or the old one (killed after it).
    static const QRegularExpression saveFileName(
        QRegularExpression::anchoredPattern(QRegularExpression::escape(kName) + "\\.\\w{6}"));
    QVERIFY(writeFile(file, contentFor(0)));

    QRandomGenerator random(20260501);
    qint64 onDisk = 0;
    double saveMs = 0;        // how long a save takes and when it starts writing files, from the
    double writingFromMs = 0; // first three saves
    int killedAfterReplace = 0;
    for (int trial = 0; trial < trials; ++trial) {
        QProcess helper;
        helper.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        helper.start(QString(VARNEL_SAVE_HELPER), {file, QString::fromLatin1(kFont)});
        while (!helper.canReadLine() && helper.waitForReadyRead(10000)) {
        }
        QCOMPARE(helper.readLine().trimmed(), "ready " + QByteArray::number(onDisk));
        qint64 lastSaved = onDisk;
        auto consume = [&](const QByteArray &line) {
            const QList<QByteArray> words = line.trimmed().split(' ');
            if (words.value(0) == "saved") {
                lastSaved = words.value(1).toLongLong();
                if (lastSaved <= 3) { // the first three saves time the rest
                    saveMs += words.value(2).toDouble() / 3;
                    writingFromMs += words.value(3).toDouble() / 3;
                }
            }
            return words.value(0) != "error";
        };
        QSignalSpy finished(&helper, &QProcess::finished);
        if (trial == 0) {
            // Learns how long a save takes in this build before killing anywhere in one: let
            // three saves complete, then kill in the fourth.
            while (lastSaved < 3 && helper.waitForReadyRead(60000)) {
                while (helper.canReadLine())
                    QVERIFY(consume(helper.readLine()));
            }
            helper.kill();
        } else {
            // Every other kill falls where files are written (backup, replacement, read-back),
            // the brief part of a save where a kill can do harm; the rest anywhere.
            const int delay =
                trial % 2 ? int(writingFromMs + random.bounded(qMax(1.0, saveMs - writingFromMs)))
                          : int(random.bounded(1.25 * saveMs));
            QTimer::singleShot(delay, &helper, [&] { helper.kill(); }); // SIGKILL
        }
        QVERIFY(finished.wait(60000));
        QCOMPARE(helper.exitStatus(), QProcess::CrashExit);
        for (const QByteArray &line : helper.readAllStandardOutput().split('\n'))
            QVERIFY2(consume(line), line.constData());

        const QByteArray bytes = bytesOf(file);
        const qint64 generation = generationIn(bytes);
        const QByteArray trialName = "trial " + QByteArray::number(trial);
        QVERIFY2((generation == lastSaved || generation == lastSaved + 1) &&
                     bytes == contentFor(generation),
                 trialName.constData());
        killedAfterReplace += generation == lastSaved + 1 ? 1 : 0;
        onDisk = generation;
        for (const QString &name : entries(dir.path())) {
            if (name == kName)
                continue;
            const QString path = dir.filePath(name);
            const QByteArray copy = bytesOf(path);
            const qint64 of = generationIn(copy);
            const bool complete = name.startsWith(kName + ".bak-")
                                      ? of >= 0 && of <= generation && copy == contentFor(of)
                                      : saveFileName.match(name).hasMatch() &&
                                            (of == generation + 1 || of == generation - 1) &&
                                            copy == contentFor(of);
            QVERIFY2(complete, QByteArray(trialName + ": incomplete " + name.toUtf8()).constData());
            QFile::remove(path);
        }
    }
    qInfo("%d kills, %d after the file was replaced; a save takes %.0f ms, writing from %.0f ms",
          trials, killedAfterReplace, saveMs, writingFromMs);
}

QTEST_GUILESS_MAIN(TestStore)
#include "tst_store.moc"
