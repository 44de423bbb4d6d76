// The history of a settings file on a real file system: the store stopped while it records,
// thinning on a made-up clock, the watcher following writes of every kind, and the switch of
// the background watcher. HOME and the XDG folders point into a temporary folder.
#include "document/xsdtdocument.h"
#include "generator/generator.h"
#include "history/historybrowser.h"
#include "history/historyrecorder.h"
#include "history/historyservice.h"
#include "history/historystore.h"
#include "history/historywatcher.h"
#include "history/thinning.h"
#include "history/versioncodec.h"
#include "knowledge/comparison.h"
#include "store/files.h"
#include "store/settingsstore.h"
#include "support/testfiles.h"

#include <QDir>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QtTest>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>

using namespace vrn;

namespace {

// A small settings file whose one value is `n`.
QByteArray settings(int n)
{
    return testdata::wrapSettings(
        QStringLiteral(R"(<i k="Global"><v k="Count" t="i" v="%1"/></i>)").arg(n).toUtf8());
}

QByteArray generated(quint64 seed)
{
    testdata::GeneratorOptions options;
    options.seed = seed;
    options.targetBytes = 48 * 1024;
    return testdata::generateSettings(options);
}

// Wednesday, 17 June 2026, 12:00 UTC.
const qint64 kNowMs = QDateTime(QDate(2026, 6, 17), QTime(12, 0), Qt::UTC).toMSecsSinceEpoch();

// "D HH:MM [pinned] [damaged]": a version D days before kNowMs at that time of day.
HistoryVersion versionFrom(const QString &text, qint64 id)
{
    const QStringList parts = text.split(' ');
    HistoryVersion version;
    version.id = id;
    const QDate day = QDate(2026, 6, 17).addDays(-parts.at(0).toInt());
    version.timeMs =
        QDateTime(day, QTime::fromString(parts.at(1), "HH:mm"), Qt::UTC).toMSecsSinceEpoch();
    version.sha256 = QByteArray(32, char(id));
    version.pinned = parts.contains("pinned");
    version.damaged = parts.contains("damaged") ? "truncated" : "";
    return version;
}

qint64 add(HistoryStore &store, const QByteArray &bytes, QString *error = nullptr)
{
    HistoryStore::Record record;
    record.bytes = bytes;
    return store.record(record, error);
}

// Hands the bytes out in pieces of at most 1000, as a file may.
versioncodec::Reader reader(const QByteArray &bytes)
{
    return [bytes, at = qsizetype(0)](char *buffer, qsizetype capacity, qsizetype *got,
                                      QString *) mutable {
        *got = qMin(qMin(capacity, qsizetype(1000)), bytes.size() - at);
        std::copy_n(bytes.constData() + at, *got, buffer);
        at += *got;
        return true;
    };
}

versioncodec::Writer appender(QByteArray *to)
{
    return [to](const char *data, qsizetype size, QString *) {
        to->append(data, size);
        return true;
    };
}

HistoryWatcher::Options quick(int retryMs = 5 * 60 * 1000)
{
    HistoryWatcher::Options options;
    options.settleMs = 20;
    options.retryMs = retryMs;
    return options;
}

QStringList frameFiles(const HistoryStore &store)
{
    return QDir(store.folder() + "/objects").entryList(QDir::Files | QDir::Hidden);
}

} // namespace

class TestHistory : public QObject
{
    Q_OBJECT

    QTemporaryDir m_home;
    QString m_folder;
    QString m_file;

    // Replaces the file by a rename, the way most programs write.
    void replace(const QString &path, const QByteArray &bytes)
    {
        QVERIFY(testdata::writeFile(path + ".new", bytes));
        QVERIFY(QFile::rename(path + ".new", path) ||
                (QFile::remove(path) && QFile::rename(path + ".new", path)));
    }

    std::unique_ptr<HistoryWatcher> watcher(HistoryWatcher::Options options = quick())
    {
        if (options.files.isEmpty())
            options.files = {m_file};
        auto made = std::make_unique<HistoryWatcher>(options);
        QSignalSpy recorded(made.get(), &HistoryWatcher::recorded);
        QString why;
        if (!made->start(&why) || !recorded.wait(5000))
            qWarning("the watcher did not start: %s", qPrintable(why));
        return made;
    }

    QList<HistoryVersion> versions()
    {
        HistoryStore store;
        return store.open(m_file) ? store.versions() : QList<HistoryVersion>();
    }

    QByteArray bytesOf(const HistoryVersion &version)
    {
        HistoryStore store;
        QByteArray bytes;
        return store.open(m_file) && store.read(version.id, &bytes) ? bytes : "unreadable";
    }

private slots:
    void initTestCase()
    {
        QVERIFY(m_home.isValid());
        qputenv("HOME", m_home.path().toLocal8Bit());
        qputenv("XDG_DATA_HOME", m_home.filePath("data").toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", m_home.filePath("config").toLocal8Bit());
        qputenv("TZ", "UTC");
        tzset();
        // A write beyond the file size limit fails instead of ending the process.
        std::signal(SIGXFSZ, SIG_IGN);
    }

    void init()
    {
        QDir(m_home.path()).removeRecursively();
        m_folder = m_home.filePath("pi");
        m_file = m_folder + "/core-1-pxi.settings";
        QVERIFY(testdata::writeFile(m_file, settings(1)));
        setStoreClock({});
    }

    // Whatever moment the recording process dies at, the store opens with the versions it had
    // or with the new one as well, each reading back as recorded, and a later prune clears what
    // the dead process left.
    void killedWhileRecording_data()
    {
        QTest::addColumn<QString>("step");
        QTest::addColumn<int>("kept");
        QTest::newRow("frame stored, manifest not written") << "frame written" << 2;
        QTest::newRow("new manifest complete, not yet in place") << "swap" << 2;
        QTest::newRow("manifest in place") << "manifest written" << 3;
    }

    void killedWhileRecording()
    {
        QFETCH(QString, step);
        QFETCH(int, kept);
        HistoryStore store;
        QVERIFY(store.open(m_file));
        const QList<QByteArray> contents = {generated(1), generated(1).replace("1", "2"),
                                            generated(1).replace("1", "3"), generated(4)};
        QVERIFY(add(store, contents.at(0)) && add(store, contents.at(1)));
        const pid_t child = fork();
        if (child == 0) {
            if (step == "swap")
                setReplaceHook([](const QString &) { ::raise(SIGKILL); });
            HistoryStore::setStepHook([step](const char *now) {
                if (step == now)
                    ::raise(SIGKILL);
            });
            add(store, contents.at(2));
            ::_exit(0);
        }
        int status = 0;
        QCOMPARE(::waitpid(child, &status, 0), child);
        QVERIFY(WIFSIGNALED(status));

        HistoryStore reopened;
        QVERIFY(reopened.open(m_file));
        QCOMPARE(reopened.versions().size(), kept);
        QVERIFY(add(reopened, contents.at(3)) > 0);
        HistoryStore::Pruned pruned;
        QVERIFY(reopened.prune({}, &pruned));
        QVERIFY(pruned.removed.isEmpty());
        const QList<HistoryVersion> all = reopened.versions();
        QCOMPARE(frameFiles(reopened).size(), all.size());
        for (qsizetype i = 0; i < all.size(); ++i) {
            QByteArray bytes;
            QVERIFY(reopened.read(all.at(i).id, &bytes));
            QVERIFY(bytes == contents.at(i == all.size() - 1 ? 3 : i));
        }
    }

    void thinning_data()
    {
        QTest::addColumn<QStringList>("versions"); // oldest recorded first
        QTest::addColumn<QList<int>>("kept");
        QTest::newRow("every version of the last week")
            << QStringList{"6 23:00", "3 10:00", "0 09:00", "0 11:00"} << QList<int>{0, 1, 2, 3};
        QTest::newRow("the newest of each day in the month before")
            << QStringList{"11 10:00", "10 08:00", "10 18:00", "0 10:00"} << QList<int>{0, 2, 3};
        QTest::newRow("the newest of a week before that")
            << QStringList{"60 10:00", "59 10:00", "0 10:00"} << QList<int>{1, 2};
        QTest::newRow("a pinned one whatever its age")
            << QStringList{"60 10:00 pinned", "59 10:00", "0 10:00"} << QList<int>{0, 1, 2};
        QTest::newRow("the newest good one behind damaged ones")
            << QStringList{"20 10:00", "20 12:00 damaged", "20 14:00 damaged"} << QList<int>{0, 2};
        QTest::newRow("the clock ahead, then back")
            << QStringList{"10 09:00", "-2 10:00", "10 08:00"} << QList<int>{0, 1, 2};
        QTest::newRow("the clock years back")
            << QStringList{"0 10:00", "4000 10:00", "4000 11:00"} << QList<int>{0, 1, 2};
    }

    void thinning()
    {
        QFETCH(QStringList, versions);
        QList<HistoryVersion> list;
        for (const QString &text : std::as_const(versions))
            list.append(versionFrom(text, list.size() + 1));
        QList<int> kept;
        const QSet<qint64> ids = keptByAge(list, kNowMs);
        for (const HistoryVersion &version : std::as_const(list)) {
            if (ids.contains(version.id))
                kept.append(int(version.id - 1));
        }
        QTEST(kept, "kept");
    }

    // Over the size limit the oldest versions go first, never a pinned one or the newest, and
    // their frames with them.
    void pruneToSizeLimit()
    {
        HistoryStore store;
        QVERIFY(store.open(m_file));
        for (int week = 0; week < 4; ++week) {
            setStoreClock([week] {
                return QDateTime::fromMSecsSinceEpoch(kNowMs - (4 - week) * 7 * 86400000LL);
            });
            QVERIFY(add(store, generated(10 + week)) > 0);
        }
        QVERIFY(store.setPinned(1, true, "before the 1.9 update"));
        setStoreClock([] { return QDateTime::fromMSecsSinceEpoch(kNowMs); });
        const qint64 frame = store.storedBytes() / 4;
        HistoryStore::Pruned pruned;
        QVERIFY(store.prune({frame * 5 / 2}, &pruned));
        QCOMPARE(pruned.removed, (QList<qint64>{2, 3}));
        QCOMPARE(frameFiles(store).size(), 2);
        QByteArray bytes;
        QVERIFY(store.read(1, &bytes) && bytes == generated(10));
        QCOMPARE(store.versions().constFirst().note, QString("before the 1.9 update"));
    }

    // A damaged frame is reported when read and never used again: the next version is made
    // without it.
    void damagedFrame_data()
    {
        QTest::addColumn<int>("damaged");
        QTest::addColumn<bool>("swapped"); // another version's frame put in its place
        QTest::newRow("a byte of the version's own frame") << 2 << false;
        QTest::newRow("a byte of the keyframe it was made against") << 1 << false;
        QTest::newRow("another version's frame in its place") << 2 << true;
    }

    void damagedFrame()
    {
        QFETCH(int, damaged);
        QFETCH(bool, swapped);
        HistoryStore store;
        QVERIFY(store.open(m_file));
        const QByteArray first = generated(5);
        const QByteArray second = QByteArray(first).replace("astro", "nova!");
        QVERIFY(add(store, first) && add(store, second));
        const QString path =
            store.folder() + "/objects/" + store.version(damaged)->sha256.toHex() + ".zst";
        QByteArray frame = testdata::readFile(path);
        frame[frame.size() / 2] = char(frame.at(frame.size() / 2) ^ 0x20);
        if (swapped)
            frame = testdata::readFile(QString(path).replace(store.version(2)->sha256.toHex(),
                                                             store.version(1)->sha256.toHex()));
        QVERIFY(testdata::writeFile(path, frame));
        QByteArray bytes;
        QString error;
        QVERIFY(!store.read(2, &bytes, &error));
        QVERIFY2(error.startsWith("Version 2 in the history of ") &&
                     error.contains(" is damaged and cannot be used: "),
                 qPrintable(error));
        QVERIFY(bytes.isEmpty());
        FileBytes given;
        QVERIFY(!store.read(2, &given));
        QCOMPARE(given.size(), 0);
        // Decoded as it is read, it never fills whole; compared, it is told as damaged, never
        // compared as the bytes it decodes to.
        if (store.openToFill(2, &given))
            QVERIFY(given.fillTo(given.size()) < given.size() || !given.filledWhole());
        HistoryBrowser browser;
        QVERIFY(browser.open(m_file));
        QSignalSpy failed(&browser, &HistoryBrowser::failed);
        browser.compare(2, HistoryBrowser::Against::Previous, nullptr);
        QVERIFY(failed.wait(5000));
        QVERIFY2(failed.first().first().toString().startsWith(
                     QString("Version %1 in the history of ").arg(damaged)),
                 qPrintable(failed.first().first().toString()));
        const QByteArray third = QByteArray(first).replace("astro", "sky!!");
        QVERIFY(add(store, third) == 3);
        QVERIFY(store.read(3, &bytes) && bytes == third);
        QVERIFY(store.read(3, &given) && given.view() == third);
        QVERIFY(store.openToFill(3, &given) && given.fillTo(given.size()) == third.size());
        QVERIFY(given.filledWhole() && given.view() == third);
    }

    // A version is stored in pieces, each made against the part of the keyframe where its
    // bytes are found, so that neither is held whole: whatever moved, it reads back exactly, and
    // what the keyframe holds costs little.
    void piecesReadBack_data()
    {
        QTest::addColumn<QByteArray>("version");
        QTest::addColumn<int>("most"); // stored bytes
        const QByteArray first = generated(5);
        const QByteArray other = generated(6).mid(2000, 24 * 1024);
        QByteArray edited = first;
        for (qsizetype at = 1000; at < edited.size(); at += 3000)
            edited.replace(at, 5, "12345678");
        QByteArray moved = first;
        moved.insert(500, moved.right(10 * 1024)).chop(10 * 1024);
        QTest::newRow("values changed all over") << edited << 1200;
        QTest::newRow("a large insertion near the start")
            << QByteArray(first).insert(1000, other) << 10000;
        QTest::newRow("a large part removed") << QByteArray(first).remove(3000, 20 * 1024) << 1500;
        QTest::newRow("the end moved to the start") << moved << 2000;
        QTest::newRow("shorter than a piece") << first.left(3000) << 200;
        QTest::newRow("empty") << QByteArray() << 100;
    }

    void piecesReadBack()
    {
        QFETCH(QByteArray, version);
        QFETCH(int, most);
        const QByteArray first = generated(5);
        QByteArray keyframe;
        QVERIFY(versioncodec::encodeKeyframe(first.size(), reader(first), appender(&keyframe)));
        QByteArray stored;
        bool tooLarge = true;
        QString error;
        QVERIFY2(versioncodec::encodeAgainst(
                     version.size(), reader(version), [&keyframe] { return reader(keyframe); },
                     sha256(first), appender(&stored), 0, &tooLarge, &error, {4096, 4096}),
                 qPrintable(error));
        QVERIFY(!tooLarge);
        QByteArray back;
        QByteArray reference;
        QVERIFY2(versioncodec::decode(stored, first, &back, &error), qPrintable(error));
        QVERIFY(back == version);
        // The same decoded as it is read, a little at a time.
        versioncodec::Decoding decoding;
        QVERIFY(decoding.start([&stored] { return reader(stored); },
                               [&keyframe] { return reader(keyframe); }));
        QByteArray streamed(decoding.size(), '\0');
        qsizetype got = 0;
        bool read = true;
        for (qsizetype at = 0; (read = decoding.read(streamed.data() + at, 1000, &got)) && got;)
            at += got;
        QVERIFY(read && streamed == version);
        QVERIFY(versioncodec::referenceOf(stored, &reference) && reference == sha256(first));
        QVERIFY2(stored.size() <= most, qPrintable(QString::number(stored.size())));
    }

    // Versions stored as one frame made against the whole keyframe, as the history kept them
    // before, still read back exactly.
    void wholeFrameVersionsRead()
    {
        const QString keyHash = "73b59ea088fe2372554487f43a68f594e44735a1fda152720b14173652bfb2d1";
        const QString versionHash =
            "1a8d34d7415d21915bb0f3d653e837e1d365c1afab1753eebfb8ebd60a3e74d9";
        const QDir frames(VARNEL_WHOLE_FRAMES);
        QByteArray keyframe;
        QByteArray version;
        QByteArray reference;
        QVERIFY(versioncodec::decode(testdata::readFile(frames.filePath(keyHash + ".zst")), {},
                                     &keyframe));
        QCOMPARE(QString(sha256(keyframe).toHex()), keyHash);
        const QByteArray stored = testdata::readFile(frames.filePath(versionHash + ".zst"));
        QVERIFY(versioncodec::referenceOf(stored, &reference));
        QCOMPARE(QString(reference.toHex()), keyHash);
        QVERIFY(versioncodec::decode(stored, keyframe, &version));
        QCOMPARE(QString(sha256(version).toHex()), versionHash);
    }

    // A large version is stored from the open file, read in pieces; a file that no longer holds
    // the bytes it was hashed as is refused, and leaves nothing behind.
    void recordedFromTheFile_data()
    {
        QTest::addColumn<bool>("changed");
        QTest::newRow("as it was hashed") << false;
        QTest::newRow("changed since it was hashed") << true;
    }

    void recordedFromTheFile()
    {
        QFETCH(bool, changed);
        HistoryStore store;
        QVERIFY(store.open(m_file));
        const QByteArray first = generated(5);
        const QByteArray second = QByteArray(first).replace("astro", "nova!");
        QVERIFY(add(store, first));
        QVERIFY(testdata::writeFile(m_file, second));
        HistoryStore::Record record;
        record.file = ::open(QFile::encodeName(m_file).constData(), O_RDONLY | O_CLOEXEC);
        record.sha256 = sha256(changed ? QByteArray(second).replace("nova!", "sky!!") : second);
        QString error;
        const qint64 id = store.record(record, &error);
        ::close(record.file);
        QCOMPARE(id, changed ? 0 : 2);
        QCOMPARE(error.isEmpty(), !changed);
        QCOMPARE(frameFiles(store).size(), changed ? 1 : 2);
        QByteArray bytes;
        QVERIFY(changed || (store.read(2, &bytes) && bytes == second));
        const QString frame = store.folder() + "/objects/" + sha256(second).toHex() + ".zst";
        QVERIFY(changed || QFileInfo(frame).size() < 1000);
    }

    // A history copied from another computer is read, never added to; one kept for another
    // file is not used at all.
    void foreignHistory_data()
    {
        QTest::addColumn<QString>("key");
        QTest::addColumn<QString>("value");
        QTest::addColumn<QString>("message");
        QTest::newRow("kept on another computer") << "machine"
                                                  << "0123456789abcdef"
                                                  << "was kept on another computer";
        QTest::newRow("kept for another file")
            << "file"
            << "/home/other/core-1-pxi.settings"
            << "it holds the history of /home/other/core-1-pxi.settings, not of ";
    }

    void foreignHistory()
    {
        QFETCH(QString, key);
        QFETCH(QString, value);
        QFETCH(QString, message);
        HistoryStore store;
        QVERIFY(store.open(m_file) && add(store, settings(1)));
        const QString manifest = store.folder() + "/manifest.json";
        QJsonObject json = QJsonDocument::fromJson(testdata::readFile(manifest)).object();
        json[key] = value;
        QVERIFY(testdata::writeFile(manifest, QJsonDocument(json).toJson()));
        HistoryStore copied;
        QString error;
        const bool opened = copied.open(m_file, &error);
        QCOMPARE(opened, key == "machine");
        if (opened) {
            QVERIFY(copied.isReadOnly());
            QByteArray bytes;
            QVERIFY(copied.read(1, &bytes) && bytes == settings(1));
            QVERIFY(add(copied, settings(2), &error) == 0);
        }
        QVERIFY2(error.contains(message), qPrintable(error));
        QVERIFY(testdata::readFile(manifest) == QJsonDocument(json).toJson());
    }

    // Each way a file gets written ends in one version of what it holds once the writer is
    // done; a file cut short by a writer that was killed is recorded as damaged.
    void watcherFollowsWrites_data()
    {
        QTest::addColumn<QString>("how");
        QTest::newRow("replaced by a rename") << "rename";
        QTest::newRow("rewritten in place") << "in place";
        QTest::newRow("held open half written, then finished") << "held open";
        QTest::newRow("cut short by a writer that was killed") << "killed";
        QTest::newRow("through a symbolic link") << "link";
        QTest::newRow("its folder deleted and made again") << "folder";
    }

    void watcherFollowsWrites()
    {
        QFETCH(QString, how);
        QString written = m_file;
        if (how == "link") {
            written = m_home.filePath("elsewhere/real.settings");
            QVERIFY(testdata::writeFile(written, settings(1)));
            QVERIFY(QFile::remove(m_file) && QFile::link(written, m_file));
        }
        const auto watching = watcher();
        QSignalSpy recorded(watching.get(), &HistoryWatcher::recorded);
        QSignalSpy looked(watching.get(), &HistoryWatcher::looked);
        const QByteArray next = settings(2);
        if (how == "rename" || how == "link") {
            replace(written, next);
        } else if (how == "in place") {
            QVERIFY(testdata::writeFile(m_file, next));
        } else if (how == "held open") {
            QFile file(m_file);
            QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
            QVERIFY(file.write(next.left(next.size() / 2)) > 0 && file.flush());
            QVERIFY(looked.wait(5000));
            QCOMPARE(versions().size(), 1);
            QVERIFY(file.write(next.mid(next.size() / 2)) > 0);
        } else if (how == "killed") {
            const QString whole = m_home.filePath("whole");
            QVERIFY(testdata::writeFile(whole, next));
            QCOMPARE(QProcess::execute(
                         "/bin/sh",
                         {"-c", "exec 3>\"$0\"; head -c 40 \"$1\" >&3; kill -9 $$", m_file, whole}),
                     -1); // crashed
        } else if (how == "folder") {
            QVERIFY(QDir(m_folder).removeRecursively());
            QVERIFY(looked.wait(5000));
            QVERIFY(QDir().mkpath(m_folder));
            QVERIFY(looked.wait(5000));
            QVERIFY(testdata::writeFile(m_file, next));
        }
        QVERIFY(recorded.wait(5000));
        const QList<HistoryVersion> kept = versions();
        QCOMPARE(kept.size(), 2);
        if (how == "killed") {
            QString reader;
            QVERIFY(!XsdtDocument().parse(next.left(40), &reader));
            QCOMPARE(kept.last().damaged, reader);
            QVERIFY(bytesOf(kept.last()) == next.left(40));
        } else {
            QCOMPARE(kept.last().damaged, QString());
            QVERIFY(bytesOf(kept.last()) == next);
            QCOMPARE(kept.last().changed, 1);
        }
    }

    // A full disk is said once, not at every try; the versions before stay whole, and the
    // version is recorded once there is room again.
    void failureIsSaidOnce()
    {
        const auto watching = watcher(quick(10));
        QSignalSpy said(watching.get(), &HistoryWatcher::message);
        QSignalSpy looked(watching.get(), &HistoryWatcher::looked);
        QSignalSpy recorded(watching.get(), &HistoryWatcher::recorded);
        replace(m_file, settings(2));
        rlimit limit{};
        QCOMPARE(::getrlimit(RLIMIT_FSIZE, &limit), 0);
        const rlimit unlimited = limit;
        limit.rlim_cur = 64; // smaller than any frame or manifest
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &limit), 0);
        QTRY_VERIFY_WITH_TIMEOUT(looked.size() >= 4, 5000);
        QCOMPARE(::setrlimit(RLIMIT_FSIZE, &unlimited), 0);
        QCOMPARE(said.size(), 1);
        QVERIFY2(said.at(0).at(0).toString().contains(" could not keep this version (the versions "
                                                      "kept before are whole; it tries again "
                                                      "later): "),
                 qPrintable(said.at(0).at(0).toString()));
        QCOMPARE(recorded.size(), 0);
        QCOMPARE(versions().size(), 1);
        QVERIFY(bytesOf(versions().at(0)) == settings(1));
        QVERIFY(recorded.wait(5000));
        QVERIFY(bytesOf(versions().at(1)) == settings(2));
    }

    // While PixInsight runs, its saves within ten minutes give way to the newest, also when the
    // wall clock goes back meanwhile; a save ten minutes on, and one after it exits, stay.
    void savesWhilePixInsightRuns()
    {
        QTemporaryDir bin;
        QVERIFY(QFile::copy("/bin/sleep", bin.filePath("PixInsight")));
        QProcess pixinsight;
        pixinsight.start(bin.filePath("PixInsight"), {"60"});
        QVERIFY(pixinsight.waitForStarted());
        qint64 clock = 0;
        HistoryWatcher::Options options = quick();
        options.monotonicMs = [&clock] { return clock; };
        const auto watching = watcher(options);
        QSignalSpy recorded(watching.get(), &HistoryWatcher::recorded);
        auto save = [&](int n, qint64 after) {
            clock += after;
            replace(m_file, settings(n));
            return recorded.wait(5000);
        };
        QVERIFY(save(2, 0));
        setStoreClock([] { return QDateTime::currentDateTime().addDays(-1); });
        QVERIFY(save(3, 60000));
        QVERIFY(save(4, 9 * 60000));
        QVERIFY(save(5, 1));
        pixinsight.kill();
        QVERIFY(pixinsight.waitForFinished());
        QVERIFY(save(6, 1));
        QStringList kept;
        for (const HistoryVersion &version : versions())
            kept.append(QString("%1 %2 %3")
                            .arg(version.id)
                            .arg(authorKey(version.author))
                            .arg(QString::fromUtf8(bytesOf(version)).section('"', -2, -2)));
        QCOMPARE(kept,
                 (QStringList{"1 unknown 1", "3 pixinsight 3", "5 pixinsight 5", "6 unknown 6"}));
    }

    // Each save is kept as the bytes it wrote, read from the file it put in place: also when
    // saves follow each other before the first is recorded, when the watcher was quicker (its
    // version, by somebody unknown, is claimed), and when the file is rewritten where it lies
    // before it is read (what it then holds is kept as nobody's, and that is said).
    void recorderKeepsEachSave_data()
    {
        QTest::addColumn<QList<int>>("known");
        QTest::addColumn<QList<int>>("saves");
        QTest::addColumn<int>("rewrite");
        QTest::addColumn<QStringList>("kept");
        QTest::addColumn<bool>("said");
        QTest::newRow("first save, the version before from its backup")
            << QList<int>{} << QList<int>{2} << 0 << QStringList{"1 unknown 1", "2 varnel 2"}
            << false;
        QTest::newRow("the watcher recorded the save first")
            << QList<int>{1, 2} << QList<int>{2} << 0 << QStringList{"1 unknown 1", "2 varnel 2"}
            << false;
        QTest::newRow("two saves before either is recorded")
            << QList<int>{1} << QList<int>{2, 3} << 0
            << QStringList{"1 unknown 1", "2 varnel 2", "3 varnel 3"} << false;
        QTest::newRow("rewritten in place before it is read")
            << QList<int>{1} << QList<int>{2} << 9 << QStringList{"1 unknown 1", "2 unknown 9"}
            << true;
    }

    void recorderKeepsEachSave()
    {
        QFETCH(QList<int>, known);
        QFETCH(QList<int>, saves);
        QFETCH(int, rewrite);
        QFETCH(QStringList, kept);
        QFETCH(bool, said);
        HistoryStore history;
        QVERIFY(history.open(m_file));
        for (const int n : known)
            QVERIFY(add(history, settings(n)));
        // Nothing is recorded before waitForIdle: every save is written first.
        HistoryRecorder recorder(VersionAuthor::Varnel, true);
        QStringList failures;
        recorder.setFailureHandler([&failures](const QString &message) { failures << message; });
        SettingsStore file;
        file.onFileWritten = recorder.observer();
        QVERIFY(file.load(m_file));
        for (const int n : saves) {
            file.document.findPath(u"Global/Count")->value = QString::number(n);
            QString error;
            QVERIFY2(file.save(&error), qPrintable(error));
        }
        if (rewrite) {
            QFile same(m_file);
            QVERIFY(same.open(QIODevice::ReadWrite | QIODevice::Truncate));
            QVERIFY(same.write(settings(rewrite)) == settings(rewrite).size());
        }
        recorder.waitForIdle();
        QStringList got;
        for (const HistoryVersion &version : versions())
            got << QString("%1 %2 %3")
                       .arg(version.id)
                       .arg(authorKey(version.author))
                       .arg(QString::fromUtf8(bytesOf(version)).section('"', -2, -2));
        QCOMPARE(got, kept);
        QCOMPARE(!failures.isEmpty(), said);
    }

    // A save of a file too large to hold whole beside its document is recorded from the file in
    // pieces, against the version before, and reads back exactly.
    void largeSaveRecordedFromTheFile()
    {
        testdata::GeneratorOptions options;
        options.seed = 3;
        options.targetBytes = 17 << 20;
        QVERIFY(testdata::writeFile(m_file, testdata::generateSettings(options)));
        HistoryRecorder recorder(VersionAuthor::Varnel, true);
        QStringList failures;
        recorder.setFailureHandler([&failures](const QString &message) { failures << message; });
        SettingsStore file;
        file.onFileWritten = recorder.observer();
        file.holdFileReaders = recorder.fileHold();
        QVERIFY(file.load(m_file));
        XsdtNode *edited = testdata::firstEditableString(file.document.root);
        QVERIFY(edited);
        edited->value = edited->value.toString() + "-edited";
        QVERIFY(file.save());
        // The recorder has the file open only under the readers' hold, which a save takes
        // before its lease: any other descriptor on the file refuses the lease.
        std::atomic_bool idle = false;
        std::thread waiter([&] {
            recorder.waitForIdle();
            idle = true;
        });
        const QString target = QFileInfo(m_file).canonicalFilePath();
        bool openUnheld = false;
        while (!idle && !openUnheld) {
            const auto hold = recorder.fileHold()();
            for (const QFileInfo &fd :
                 QDir("/proc/self/fd").entryInfoList(QDir::Files | QDir::System))
                openUnheld = openUnheld || fd.symLinkTarget() == target;
        }
        waiter.join();
        QVERIFY(!openUnheld);
        QCOMPARE(failures, QStringList());
        const QList<HistoryVersion> kept = versions();
        QCOMPARE(kept.size(), 2);
        QVERIFY(bytesOf(kept.at(1)) == testdata::readFile(m_file));
        HistoryStore store;
        QVERIFY(store.open(m_file));
        QVERIFY(
            QFileInfo(store.folder() + "/objects/" + kept.at(1).sha256.toHex() + ".zst").size() <
            16 * 1024);
    }

    // A version recorded without its count (a large file's) is not counted against nothing
    // when the same bytes are recorded again, and the first comparison with the version before
    // it counts it and keeps the count.
    void countedWhenFirstCompared()
    {
        const auto twoValues = [](int n) {
            return testdata::wrapSettings(
                QString(R"(<i k="Global"><v k="Count" t="i" v="%1"/><v k="Name" t="s" v="x"/></i>)")
                    .arg(n)
                    .toUtf8());
        };
        HistoryStore history;
        QVERIFY(history.open(m_file) && add(history, twoValues(1)) && add(history, twoValues(2)));
        QCOMPARE(HistoryRecorder::recordAndCount(history, twoValues(2), VersionAuthor::PixInsight),
                 2);
        QCOMPARE(versions().at(1).changed, -1);
        HistoryBrowser browser;
        QVERIFY(browser.open(m_file));
        QSignalSpy finished(&browser, &HistoryBrowser::finished);
        browser.compare(2, HistoryBrowser::Against::Previous, nullptr);
        QVERIFY(finished.wait(5000));
        QTRY_COMPARE(versions().at(1).changed, 1);

        // Against the open file, which the worker reads itself: a run that the file changed
        // under is made again, and only its records are told.
        XsdtDocument open;
        QVERIFY(open.parse(twoValues(3)));
        finished.clear();
        browser.compare(2, HistoryBrowser::Against::OpenFile, &open);
        browser.comparison()->noteOtherChange();
        QVERIFY(finished.wait(5000));
        browser.finishNow();
        QCOMPARE(finished.size(), 1);
        QCOMPARE(browser.comparison()->records().size(), 1);
        QCOMPARE(browser.comparison()->records().front().here->value, "3");
    }

    void secondWatcherDoesNothing()
    {
        const auto first = watcher();
        HistoryWatcher::Options options = quick();
        options.files = {m_file};
        HistoryWatcher second(options);
        QString why;
        QVERIFY(!second.start(&why));
        QCOMPARE(why, "Another watcher keeps the history of " + m_file + " already.");
    }

    // The switch for the watcher while the window is closed: systemd's user service where a
    // user manager runs, the autostart entry elsewhere.
    void backgroundService_data()
    {
        QTest::addColumn<bool>("systemd");
        QTest::addColumn<bool>("on");
        QTest::addColumn<QStringList>("runs");
        QTest::addColumn<bool>("entry");
        QTest::newRow("systemd, on")
            << true << true << QStringList{"systemctl --user enable --now varnel-history.service"}
            << false;
        QTest::newRow("systemd, off")
            << true << false << QStringList{"systemctl --user disable --now varnel-history.service"}
            << false;
        QTest::newRow("autostart, on") << false << true << QStringList{"varnelctl watch &"} << true;
        QTest::newRow("autostart, off") << false << false << QStringList{} << false;
    }

    void backgroundService()
    {
        QFETCH(bool, systemd);
        QFETCH(bool, on);
        const HistoryService::Places places{m_home.filePath("bin"), m_home.filePath("share"),
                                            m_home.filePath("run"), m_home.filePath("config")};
        QVERIFY(testdata::writeFile(places.programDir + "/varnelctl", "#!/bin/sh\n"));
        QVERIFY(QFile::setPermissions(places.programDir + "/varnelctl",
                                      QFile::ReadOwner | QFile::ExeOwner));
        QVERIFY(testdata::writeFile(places.dataDir + "/varnel-history.desktop", "[Desktop Entry]"));
        if (systemd)
            QVERIFY(testdata::writeFile(places.runtimeDir + "/systemd/private", ""));
        const QString entry = places.configDir + "/autostart/varnel-history.desktop";
        if (!on)
            QVERIFY(testdata::writeFile(entry, "[Desktop Entry]"));
        QStringList runs;
        HistoryService::setRunner([&](const QString &program, const QStringList &arguments,
                                      bool detached, QString *) {
            runs.append(QStringList{QFileInfo(program).fileName(), arguments.join(' ')}.join(' ') +
                        (detached ? " &" : ""));
            return true;
        });
        QString error;
        const bool applied = HistoryService::apply(on, places, &error);
        HistoryService::setRunner({});
        QVERIFY2(applied, qPrintable(error));
        QTEST(runs, "runs");
        QTEST(QFile::exists(entry), "entry");
    }
};

QTEST_GUILESS_MAIN(TestHistory)
#include "tst_history.moc"
