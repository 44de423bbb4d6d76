// The comparison of two settings documents: two unrelated files, and one file against a copy
// of itself with scattered edits (the usual case: a backup of the file being edited). Then the
// engine as the window and varnelctl use it, on two files on disk: time, and the window's
// resident peak.
#include "benchutil.h"

#include "document/valuenodes.h"
#include "document/xsdtdocument.h"
#include "knowledge/comparison.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <sys/resource.h>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include <cstdio>
#include <memory>

namespace vrn::bench {

namespace {

qint64 g_sink = 0;

bool writeFile(const QString &path, const QByteArray &bytes)
{
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

qint64 statusBytes(const char *field)
{
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n')) {
        if (line.startsWith(field))
            return line.mid(qstrlen(field)).trimmed().split(' ').value(0).toLongLong() * 1024;
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

qint64 peakBytes()
{
    return statusBytes("VmHWM:");
}

double seconds(const timeval &t)
{
    return double(t.tv_sec) + double(t.tv_usec) / 1e6;
}

// User and system time of every thread of this process so far.
double processCpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return seconds(usage.ru_utime) + seconds(usage.ru_stime);
}

// varnelctl diff of the two files as its own process, built beside the benchmark: its CPU
// time from the kernel's account of finished children. Its resident peak is not told there
// (a child's peak includes what it had before exec, a copy of this large process): measure
// it with /usr/bin/time -v.
void runVarnelctl(const QString &first, const QString &second)
{
    const QString program =
        QCoreApplication::applicationDirPath() + QStringLiteral("/../src/cli/varnelctl");
    rusage before{};
    getrusage(RUSAGE_CHILDREN, &before);
    QProcess process;
    process.setStandardOutputFile(QProcess::nullDevice());
    QElapsedTimer clock;
    clock.start();
    process.start(program, {QStringLiteral("diff"), QStringLiteral("--json"), first, second});
    if (!process.waitForFinished(600000) || process.exitStatus() != QProcess::NormalExit) {
        std::printf("  varnelctl diff: did not run (%s)\n", qPrintable(program));
        return;
    }
    const qint64 wallMs = clock.elapsed();
    rusage after{};
    getrusage(RUSAGE_CHILDREN, &after);
    const double cpu = seconds(after.ru_utime) - seconds(before.ru_utime) +
                       seconds(after.ru_stime) - seconds(before.ru_stime);
    std::printf("  varnelctl diff --json: exit %d, cpu %.2f s, wall %lld ms\n", process.exitCode(),
                cpu, wallMs);
}

std::unique_ptr<XsdtDocument> parse(const QByteArray &bytes)
{
    auto doc = std::make_unique<XsdtDocument>();
    if (!doc->parse(bytes)) {
        std::fprintf(stderr, "generated file does not parse\n");
        return nullptr;
    }
    return doc;
}

void compareAt(qint64 megabytes)
{
    const qint64 size = megabytes * 1000 * 1000;
    generatedFile(size, 7); // the bytes are kept for the run: not part of the document
    const qint64 beforeDocument = residentBytes();
    auto first = parse(generatedFile(size, 7));
    const qint64 documentBytes = residentBytes() - beforeDocument;
    auto second = parse(generatedFile(size, 8));
    auto copy = parse(generatedFile(size, 7));
    if (!first || !second || !copy)
        return;
    QList<XsdtNode *> values;
    collectValueNodes(&copy->root, values);
    const int edits = 1000;
    for (int i = 0; i < edits; ++i)
        values[qsizetype(i) * values.size() / edits]->value += QLatin1Char('x');

    const qsizetype unrelated = compareDocuments(*first, *second).size();
    const qsizetype edited = compareDocuments(*copy, *first).size();
    Suite suite(QStringLiteral("Compare, %1 MB generated files (%2 values; %3 records between "
                               "seeds 7 and 8, %4 after %5 edits)")
                    .arg(megabytes)
                    .arg(values.size())
                    .arg(unrelated)
                    .arg(edited)
                    .arg(edits));
    suite.add(QStringLiteral("walk: collect every value of both (reference)"), 0, [&] {
        QList<XsdtNode *> out;
        collectValueNodes(&first->root, out);
        collectValueNodes(&second->root, out);
        g_sink += out.size();
    });
    suite.add(
        QStringLiteral("compareDocuments, two seeds"), 0,
        [&] { g_sink += compareDocuments(*first, *second).size(); },
        QStringLiteral("walk: collect every value of both (reference)"));
    suite.add(
        QStringLiteral("compareDocuments, itself with 1,000 edits"), 0,
        [&] { g_sink += compareDocuments(*copy, *first).size(); },
        QStringLiteral("walk: collect every value of both (reference)"));
    QTemporaryDir dir;
    const QString firstPath = dir.filePath(QStringLiteral("core-1-pxi.settings"));
    const QString secondPath = dir.filePath(QStringLiteral("core-2-pxi.settings"));
    if (!writeFile(firstPath, generatedFile(size, 7)) ||
        !writeFile(secondPath, generatedFile(size, 8)))
        return;
    const DeletionPolicy policy = shippedPolicy();
    suite.add(
        QStringLiteral("Comparison with a file: read, indexed, compared on the worker"), 0,
        [&] {
            Comparison comparison;
            comparison.setRules(&policy, nullptr);
            comparison.setOutlineOnWorker(true); // as the window does
            comparison.startWithFile(*first, secondPath);
            comparison.finishNow();
            g_sink += comparison.records().size();
        },
        QStringLiteral("walk: collect every value of both (reference)"));
    const int rounds = options().quick ? 3 : (megabytes >= 50 ? 5 : 11);
    suite.run(rounds);
    suite.print();
    std::printf("  goal: each comparison under 1 s at 50 MB\n");

    // What the window adds to the open document while it compares it with another file, three
    // times. Room the heap kept from the rounds before would be used again without showing in
    // the peak, as it would not in a window comparing for the first time: it is given back
    // first. The CPU time of all threads is what a busy machine cannot spoil.
    const double files = 2.0 * double(size);
    for (int run = 0; run < 3; ++run) {
#ifdef __GLIBC__
        malloc_trim(0);
#endif
        const qint64 before = residentBytes();
        resetPeak();
        const double cpuBefore = processCpuSeconds();
        QElapsedTimer clock;
        clock.start();
        Comparison comparison;
        comparison.setRules(&policy, nullptr);
        comparison.setOutlineOnWorker(true);
        comparison.startWithFile(*first, secondPath);
        comparison.finishNow();
        const qint64 wallMs = clock.elapsed();
        const double cpu = processCpuSeconds() - cpuBefore;
        const qint64 peak = peakBytes();
        std::printf("  window: %lld records; peak above the open document %.0f MiB; with it "
                    "%.1fx the two files; cpu %.2f s, wall %lld ms\n",
                    qint64(comparison.records().size()), double(peak - before) / 1048576.0,
                    (double(peak) - double(before) + double(documentBytes)) / files, cpu, wallMs);
    }
    runVarnelctl(firstPath, secondPath);
}

} // namespace

void benchCompare()
{
    QList<qint64> sizes = options().sizes;
    if (sizes.isEmpty())
        sizes = options().quick ? QList<qint64>{1, 10} : QList<qint64>{1, 10, 50};
    for (qint64 mb : sizes)
        compareAt(mb);
    if (g_sink == 42)
        std::printf(" ");
}

} // namespace vrn::bench
