// Removes records from an installed.xri, one per run, while a second process adds one record of
// its own at a random moment of each run, and counts the other program's records that went
// missing. The other program either renames a new file over the record file or rewrites it in
// place.
//
//   varnel-race-xri rename|inplace [RUNS]

#include "privileged/installedupdates.h"

#include <QByteArray>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vrn;

namespace {

QByteArray recordText(const char *prefix, int n)
{
    return "  <package fileName=\"" + QByteArray(prefix) + QByteArray::number(n) +
           ".tgz\" type=\"module\"/>\n";
}

QByteArray readWhole(int fd)
{
    QByteArray bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof buffer, bytes.size())) > 0)
        bytes.append(buffer, n);
    return bytes;
}

// One write adding the record W<n>, as another program would make it; false when it found no
// complete file to add to (a careful program would not write then).
bool addRecord(const QByteArray &path, bool inPlace, int n)
{
    const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    QByteArray bytes = readWhole(fd);
    const qsizetype end = bytes.lastIndexOf("</xri>");
    bool ok = end >= 0;
    if (ok) {
        bytes.insert(end, recordText("W", n));
        if (inPlace) {
            ok = ::ftruncate(fd, 0) == 0 &&
                 ::pwrite(fd, bytes.constData(), size_t(bytes.size()), 0) == ssize_t(bytes.size());
        } else {
            const QByteArray temp = path + ".w";
            const int out =
                ::open(temp.constData(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
            ok = out >= 0 &&
                 ::write(out, bytes.constData(), size_t(bytes.size())) == ssize_t(bytes.size());
            ok = ::close(out) == 0 && ok && ::rename(temp.constData(), path.constData()) == 0;
        }
    }
    ::close(fd);
    return ok;
}

// The other program: for each run it is told to go, waits a random part of `spanNs` so that its
// write lands anywhere in the removal, writes W<run> and answers whether it did.
void writer(const QByteArray &path, bool inPlace, qint64 spanNs, int go, int done)
{
    int run;
    while (::read(go, &run, sizeof run) == sizeof run) {
        const qint64 wait = QRandomGenerator::global()->bounded(spanNs);
        const timespec delay{time_t(wait / 1000000000), long(wait % 1000000000)};
        ::nanosleep(&delay, nullptr);
        const char wrote = addRecord(path, inPlace, run) ? 1 : 0;
        ::write(done, &wrote, 1);
    }
    ::_exit(0);
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2 || (qstrcmp(argv[1], "rename") != 0 && qstrcmp(argv[1], "inplace") != 0)) {
        std::fprintf(stderr, "usage: %s rename|inplace [RUNS]\n", argv[0]);
        return 2;
    }
    const bool inPlace = qstrcmp(argv[1], "inplace") == 0;
    const int runs = argc > 2 ? std::atoi(argv[2]) : 1000;
    QTemporaryDir dir;
    const QString path = recordFilePath(dir.filePath("PixInsight"));
    QByteArray start = "<xri>\n";
    for (int k = 1; k <= runs + 1; ++k)
        start += recordText("R", k);
    start += "</xri>\n";
    if (!dir.isValid() || !QDir().mkpath(QFileInfo(path).path()))
        return 1;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(start) != start.size())
        return 1;
    file.close();

    // How long one removal takes here, so that the other program's writes spread over it.
    QElapsedTimer timer;
    timer.start();
    removeRecords(path, {QStringLiteral("R1.tgz")}, false);
    const qint64 spanNs = qMax<qint64>(timer.nsecsElapsed() * 3 / 2, 1000);

    int go[2];
    int done[2];
    if (::pipe(go) != 0 || ::pipe(done) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(go[1]);
        writer(QFile::encodeName(path), inPlace, spanNs, go[0], done[1]);
    }
    ::close(go[0]);
    QMap<int, int> codes;
    QList<int> written;
    for (int k = 2; k <= runs + 1; ++k) {
        ::write(go[1], &k, sizeof k);
        ++codes[removeRecords(path, {QString("R%1.tgz").arg(k)}, false).code];
        char wrote = 0;
        if (::read(done[0], &wrote, 1) != 1)
            return 1;
        if (wrote)
            written.append(k);
    }
    ::close(go[1]);
    ::waitpid(child, nullptr, 0);

    QFile result(path);
    if (!result.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray bytes = result.readAll();
    int lost = 0;
    for (int n : std::as_const(written))
        lost += !bytes.contains(recordText("W", n));
    std::printf("%s writer, %d removals:", argv[1], runs);
    for (auto it = codes.cbegin(); it != codes.cend(); ++it)
        std::printf(" exit %d x%d", it.key(), it.value());
    std::printf("; the other program wrote %d records, %d of them lost\n", int(written.size()),
                lost);
    return lost == 0 ? 0 : 1;
}
