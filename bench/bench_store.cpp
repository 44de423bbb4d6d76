// The settings file store: the change poll that runs every 3 s on the GUI thread, and a save
// end to end with each of its steps timed on its own.
#include "benchutil.h"

#include "document/xsdtdocument.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "store/files.h"
#include "store/settingsstore.h"

#include <QDir>
#include <QFile>
#include <QStorageInfo>
#include <QTemporaryDir>
#include <QThread>

#include <cstdio>

namespace vrn::bench {

namespace {

qint64 g_sink = 0;

bool writeAll(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

void removeBackups(const QString &dir)
{
    const QStringList names = QDir(dir).entryList({QStringLiteral("*.bak-*")}, QDir::Files);
    for (const QString &name : names)
        QFile::remove(dir + QLatin1Char('/') + name);
}

void pollAt(qint64 megabytes)
{
    const QByteArray &bytes = generatedFile(megabytes * 1000 * 1000);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("core-1-pxi.settings"));
    if (!writeAll(path, bytes))
        return;
    // A file PixInsight wrote a while ago: the stamp of one written this instant is not
    // trusted until its times are a few seconds old.
    QThread::msleep(3200);
    SettingsStore store;
    if (!store.load(path)) {
        std::fprintf(stderr, "cannot load the generated file\n");
        return;
    }
    Suite suite(QStringLiteral("Change poll, unchanged %1 MB file (%2 bytes) on %3")
                    .arg(megabytes)
                    .arg(bytes.size())
                    .arg(QString::fromLatin1(QStorageInfo(dir.path()).fileSystemType())));
    suite.add(
        QStringLiteral("changedOnDisk (stat, hash skipped)"), 0,
        [&] { g_sink += store.changedOnDisk(); },
        QStringLiteral("contentChangedOnDisk (full SHA-256)"));
    suite.add(QStringLiteral("contentChangedOnDisk (full SHA-256)"), bytes.size(),
              [&] { g_sink += store.contentChangedOnDisk(); });
    suite.run(options().quick ? 3 : 11);
    suite.print();
    std::printf("  target: poll < 5 ms; %.3f ms (before: every poll hashed, %.1f ms)\n",
                suite.medianMs(QStringLiteral("changedOnDisk (stat, hash skipped)")),
                suite.medianMs(QStringLiteral("contentChangedOnDisk (full SHA-256)")));
}

void saveAt(qint64 megabytes)
{
    const QByteArray &bytes = generatedFile(megabytes * 1000 * 1000);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("core-1-pxi.settings"));
    const QString scratchPath = dir.filePath(QStringLiteral("core-2-pxi.settings"));
    if (!writeAll(path, bytes) || !writeAll(scratchPath, bytes))
        return;
    SettingsStore store;
    if (!store.load(path)) {
        std::fprintf(stderr, "cannot load the generated file\n");
        return;
    }
    XsdtNode *edited = testdata::firstEditableString(store.document.root);
    if (!edited)
        return;
    int round = 0;
    auto nextEdit = [&] { edited->value = QStringLiteral("bench-%1").arg(++round); };

    // The steps of a save, on the same document and bytes, each on its own.
    nextEdit();
    const QByteArray newBytes = store.document.serialize();
    QString backupName;

    Suite suite(QStringLiteral("Save of a %1 MB file (%2 bytes) on %3, end to end and by step")
                    .arg(megabytes)
                    .arg(bytes.size())
                    .arg(QString::fromLatin1(QStorageInfo(dir.path()).fileSystemType())));
    const QString total = QStringLiteral("SettingsStore::save");
    suite.add(
        total, bytes.size(),
        [&] {
            QString error;
            if (!store.save(&error))
                std::fprintf(stderr, "save failed: %s\n", qPrintable(error));
        },
        QString(),
        [&] {
            removeBackups(dir.path());
            nextEdit();
        });
    const QStringList steps = {
        QStringLiteral("  running check (/proc), twice"),
        QStringLiteral("  read + SHA-256 of the file on disk"),
        QStringLiteral("  serialize"),
        QStringLiteral("  re-parse the bytes, comparing as it reads"),
        QStringLiteral("  backup: new file, fsync, read back"),
        QStringLiteral("  atomic replace, fsync, read back"),
        QStringLiteral("  SHA-256 of the new bytes"),
    };
    suite.add(steps[0], 0, [&] { g_sink += isPixInsightRunning() + isPixInsightRunning(); });
    suite.add(steps[1], bytes.size(), [&] {
        QByteArray current;
        FileStamp stamp;
        readFileStamped(scratchPath, current, &stamp);
        g_sink += sha256(current).size();
    });
    suite.add(steps[2], bytes.size(), [&] { g_sink += store.document.serialize().size(); });
    // Against the document as it is then: the end-to-end save changes it every round.
    QByteArray current;
    suite.addPrepared(
        steps[3], bytes.size(), [&] { current = store.document.serialize(); },
        [&] {
            QString error;
            QString where;
            g_sink += store.document.readsBackAs(current, &error, &where);
        });
    suite.add(
        steps[4], bytes.size(),
        [&] { g_sink += writeBackup(scratchPath, bytes, QString(), &backupName); }, QString(),
        [&] { QFile::remove(backupName); });
    suite.add(steps[5], bytes.size(), [&] { g_sink += writeFileVerified(scratchPath, newBytes); });
    suite.add(steps[6], bytes.size(), [&] { g_sink += sha256(newBytes).size(); });
    suite.run(options().quick ? 3 : 9);
    suite.print();

    double sum = 0;
    for (const QString &step : steps)
        sum += suite.medianMs(step);
    const double whole = suite.medianMs(total);
    std::printf("  save median %.1f ms; the steps add up to %.1f ms. Share of each step:\n", whole,
                sum);
    for (const QString &step : steps)
        std::printf("    %-40s %5.1f %%\n", qPrintable(step.trimmed()),
                    100.0 * suite.medianMs(step) / sum);
}

} // namespace

void benchStore()
{
    pollAt(options().quick ? 10 : 50);
    saveAt(10);
}

} // namespace vrn::bench
