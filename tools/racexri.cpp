// Removes records from an installed.xri while a second process keeps adding its own, and counts
// the other program's records that went missing. The writer either renames a new file over the
// record file or rewrites it in place.
//
//   varnel-race-xri rename|inplace [RUNS]

#include "privileged/installedupdates.h"

#include <QByteArray>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QMap>
#include <QTemporaryDir>

#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

using namespace vrn;

namespace {

QByteArray record(const char *prefix, int n)
{
    return "  <package fileName=\"" + QByteArray(prefix) + QByteArray::number(n) +
           ".tgz\" type=\"module\"/>\n";
}

QByteArray readAll(int fd)
{
    QByteArray bytes;
    char buffer[65536];
    ssize_t n;
    while ((n = ::pread(fd, buffer, sizeof buffer, bytes.size())) > 0)
        bytes.append(buffer, n);
    return bytes;
}

// Adds W1, W2, ... one write at a time until `stop` becomes readable; returns how many writes
// were completed (a write whose read found no complete file is skipped, as a careful program
// would).
int writer(const QByteArray &path, bool inPlace, int stop)
{
    int written = 0;
    for (;;) {
        pollfd p{stop, POLLIN, 0};
        if (::poll(&p, 1, 0) > 0)
            return written;
        const int fd = ::open(path.constData(), O_RDWR | O_CLOEXEC);
        if (fd < 0)
            continue;
        QByteArray bytes = readAll(fd);
        const qsizetype end = bytes.lastIndexOf("</xri>");
        if (end < 0) {
            ::close(fd);
            continue;
        }
        bytes.insert(end, record("W", written + 1));
        bool ok;
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
        ::close(fd);
        if (ok)
            ++written;
    }
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
    for (int k = 1; k <= runs; ++k)
        start += record("R", k);
    start += "</xri>\n";
    if (!dir.isValid() || !QDir().mkpath(QFileInfo(path).path()))
        return 1;
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(start) != start.size())
        return 1;
    file.close();

    int stop[2];
    int count[2];
    if (::pipe(stop) != 0 || ::pipe(count) != 0)
        return 1;
    const pid_t child = ::fork();
    if (child == 0) {
        const int written = writer(QFile::encodeName(path), inPlace, stop[0]);
        ::write(count[1], &written, sizeof written);
        ::_exit(0);
    }
    QMap<int, int> codes;
    for (int k = 1; k <= runs; ++k)
        ++codes[removeRecords(path, {QString("R%1.tgz").arg(k)}, false).code];
    ::write(stop[1], "x", 1);
    int written = 0;
    if (::read(count[0], &written, sizeof written) != sizeof written)
        return 1;
    ::waitpid(child, nullptr, 0);

    QFile result(path);
    if (!result.open(QIODevice::ReadOnly))
        return 1;
    const QByteArray bytes = result.readAll();
    int lost = 0;
    for (int n = 1; n <= written; ++n)
        lost += !bytes.contains(record("W", n));
    std::printf("%s writer, %d removals:", argv[1], runs);
    for (auto it = codes.cbegin(); it != codes.cend(); ++it)
        std::printf(" exit %d x%d", it.key(), it.value());
    std::printf("; the writer wrote %d records, %d of them lost\n", written, lost);
    return lost == 0 ? 0 : 1;
}
