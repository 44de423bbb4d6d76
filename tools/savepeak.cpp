// Memory and time of one save: loads a settings file, changes one string value, saves, and
// prints the resident peak while loading and while saving (the kernel's high-water mark, reset
// in between) with its ratio to the file's size. With --history the save is recorded in a
// version history kept in a temporary folder, as the window does, and the peak runs until the
// version is recorded; --history=twice saves twice, so that the second save's version is made
// against the first's. With --generate it first writes a generated file of the given size in
// megabytes to the path and exits.
#include "document/xsdtdocument.h"
#include "environment/pixinsight.h"
#include "generator/generator.h"
#include "history/historyrecorder.h"
#include "store/settingsstore.h"

#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>

#include <cstdio>
#include <memory>

using namespace vrn;

namespace {

qint64 statusKiB(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong();
    }
    return -1;
}

// Makes the current resident size the new high-water mark.
void resetPeak()
{
    QFile refs(QStringLiteral("/proc/self/clear_refs"));
    if (refs.open(QIODevice::WriteOnly))
        refs.write("5");
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 4 && qstrcmp(argv[1], "--generate") == 0) {
        testdata::GeneratorOptions options;
        options.seed = 7;
        options.targetBytes = QByteArray(argv[2]).toLongLong() * 1000 * 1000;
        QFile out(QString::fromLocal8Bit(argv[3]));
        const QByteArray bytes = testdata::generateSettings(options);
        return out.open(QIODevice::WriteOnly) && out.write(bytes) == bytes.size() ? 0 : 1;
    }
    const bool twice = argc == 3 && qstrcmp(argv[1], "--history=twice") == 0;
    const bool history = twice || (argc == 3 && qstrcmp(argv[1], "--history") == 0);
    const int saves = twice ? 2 : 1;
    if (argc != 2 && !history) {
        std::fprintf(stderr,
                     "usage: %s [--history[=twice]] settings-file | --generate MB settings-file\n",
                     argv[0]);
        return 2;
    }
    const QString path = QString::fromLocal8Bit(argv[argc - 1]);
    // The history goes where the user's own cannot be touched.
    QTemporaryDir data;
    std::unique_ptr<HistoryRecorder> recorder;
    if (history) {
        qputenv("XDG_DATA_HOME", data.filePath(QStringLiteral("data")).toLocal8Bit());
        qputenv("XDG_CONFIG_HOME", data.filePath(QStringLiteral("config")).toLocal8Bit());
        recorder = std::make_unique<HistoryRecorder>(VersionAuthor::Varnel);
    }
    const double mib = QFileInfo(path).size() / 1048576.0;
    SettingsStore store;
    if (recorder) {
        store.onFileWritten = recorder->observer();
        store.holdFileReaders = recorder->fileHold();
        recorder->setFailureHandler(
            [](const QString &message) { std::fprintf(stderr, "%s\n", qPrintable(message)); });
    }
    QString error;
    QElapsedTimer timer;
    timer.start();
    if (!store.load(path, &error)) {
        std::fprintf(stderr, "%s\n", qPrintable(error));
        return 1;
    }
    const qint64 loadMs = timer.elapsed();
    const qint64 loadPeak = statusKiB("VmHWM:");
    XsdtNode *edited = testdata::firstEditableString(store.document.root);
    if (!edited)
        return 1;
    const qint64 before = statusKiB("VmRSS:");
    resetPeak();
    timer.start();
    qint64 historyMs = 0;
    QStringList backups;
    for (int i = 0; i < saves; ++i) {
        edited->value = edited->value.toString() + QStringLiteral("-edited");
        QString backup;
        if (!store.save(&error, &backup)) {
            std::fprintf(stderr, "%s\n", qPrintable(error));
            return 1;
        }
        backups.append(backup);
        if (recorder) {
            QElapsedTimer recording;
            recording.start();
            recorder->waitForIdle();
            historyMs += recording.elapsed();
        }
    }
    const qint64 saveMs = timer.elapsed();
    const qint64 savePeak = statusKiB("VmHWM:");
    for (const QString &backup : std::as_const(backups))
        QFile::remove(backup);
    if (recorder)
        std::printf("history on, %d save(s); waited %lld ms for the recording\n", saves, historyMs);
    std::printf("file %.1f MiB; load %lld ms, peak %.0f MiB (%.1fx); resident after load %.0f MiB "
                "(%.1fx); save %lld ms, peak %.0f MiB (%.1fx)\n",
                mib, loadMs, loadPeak / 1024.0, loadPeak / 1024.0 / mib, before / 1024.0,
                before / 1024.0 / mib, saveMs, savePeak / 1024.0, savePeak / 1024.0 / mib);
    return 0;
}
