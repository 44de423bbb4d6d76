// Saves a settings file over and over until it is killed, for the crash-consistency test of
// tst_store. Arguments: the settings file and the path of a string value that holds
// "crash-gen-<n>"; each save writes the next n and reports "saved <n> <milliseconds> <ms>",
// the second time being when the save asked the clock last, which is when it named the backup:
// from there on it writes files.
#include "environment/pixinsight.h"
#include "store/files.h"
#include "store/settingsstore.h"

#include <QElapsedTimer>

#include <cstdio>

using namespace vrn;

int main(int argc, char **argv)
{
    // The test starts no PixInsight; listing the processes would only slow the saves down.
    setPixInsightProcessQuery([] { return QList<qint64>(); });
    SettingsStore store;
    QString error;
    XsdtNode *marker = nullptr;
    if (argc != 3 || !store.load(QString::fromLocal8Bit(argv[1]), &error) ||
        !(marker = store.document.findPath(QString::fromLocal8Bit(argv[2])))) {
        std::fprintf(stderr, "usage: %s settings-file value-path\n%s\n", argv[0],
                     qPrintable(error));
        return 2;
    }
    const QString prefix = QStringLiteral("crash-gen-");
    qint64 generation = marker->value.mid(prefix.size()).toLongLong();
    std::printf("ready %lld\n", static_cast<long long>(generation));
    std::fflush(stdout);
    // The real clock, watched.
    QElapsedTimer timer;
    qint64 lastClockCall = 0;
    setStoreClock([&] {
        lastClockCall = timer.elapsed();
        return QDateTime::currentDateTime();
    });
    for (;;) {
        marker->value = prefix + QString::number(++generation);
        timer.start();
        if (!store.save(&error)) {
            std::printf("error %s\n", qPrintable(error));
            return 3;
        }
        std::printf("saved %lld %lld %lld\n", static_cast<long long>(generation),
                    static_cast<long long>(timer.elapsed()), static_cast<long long>(lastClockCall));
        std::fflush(stdout);
    }
}
