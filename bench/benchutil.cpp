#include "benchutil.h"

#include "generator/generator.h"
#include "knowledge/builtin.h"
#include "knowledge/schema.h"

#include <QElapsedTimer>
#include <QFile>
#include <QMap>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <malloc.h>
#include <unistd.h>

namespace vrn::bench {

namespace {
Options g_options;
}

const Options &options()
{
    return g_options;
}

void setOptions(const Options &o)
{
    g_options = o;
}

bool wanted(const QString &area)
{
    return g_options.only.isEmpty() || g_options.only.contains(area);
}

namespace {
bool g_failed = false;
} // namespace

void fail(const QString &what)
{
    std::fprintf(stderr, "FAILED: %s\n", qPrintable(what));
    g_failed = true;
}

bool failed()
{
    return g_failed;
}

qint64 threadCpuNs()
{
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return qint64(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

double median(std::vector<double> values)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    return n % 2 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

void Suite::add(const QString &name, qint64 bytes, std::function<void()> run,
                const QString &reference, std::function<void()> untimed)
{
    m_items.push_back(Item{name, bytes, std::move(run), reference, std::move(untimed), {}, {}});
}

void Suite::addPrepared(const QString &name, qint64 bytes, std::function<void()> prepare,
                        std::function<void()> run, const QString &reference)
{
    m_items.push_back(Item{name, bytes, std::move(run), reference, {}, std::move(prepare), {}});
}

void Suite::run(int repetitions)
{
    std::fprintf(stderr, "  %s: %d rounds of %zu items\n", qPrintable(m_title), repetitions,
                 m_items.size());
    for (auto &item : m_items) { // one warm-up round, not counted
        if (item.prepare)
            item.prepare();
        item.run();
        if (item.untimed)
            item.untimed();
    }
    for (int r = 0; r < repetitions; ++r) {
        for (auto &item : m_items) {
            if (item.prepare)
                item.prepare();
            QElapsedTimer timer;
            timer.start();
            item.run();
            item.ms.push_back(double(timer.nsecsElapsed()) / 1e6);
            if (item.untimed)
                item.untimed();
        }
    }
}

const Suite::Item *Suite::find(const QString &name) const
{
    for (const auto &item : m_items) {
        if (item.name == name)
            return &item;
    }
    return nullptr;
}

double Suite::medianMs(const QString &name) const
{
    const Item *item = find(name);
    return item ? median(item->ms) : 0;
}

double Suite::minMs(const QString &name) const
{
    const Item *item = find(name);
    return item && !item->ms.empty() ? *std::min_element(item->ms.begin(), item->ms.end()) : 0;
}

void Suite::print() const
{
    std::printf("\n%s\n", qPrintable(m_title));
    std::printf("  %-44s %10s %10s %10s  %s\n", "item", "median ms", "min ms", "MB/s",
                "ratio (median)");
    for (const auto &item : m_items) {
        const double med = median(item.ms);
        const double mn = item.ms.empty() ? 0 : *std::min_element(item.ms.begin(), item.ms.end());
        QString rate = QStringLiteral("-");
        if (item.bytes > 0 && med > 0)
            rate = QString::number(double(item.bytes) / 1e6 / (med / 1e3), 'f', 1);
        QString ratio;
        if (!item.reference.isEmpty()) {
            const Item *ref = find(item.reference);
            if (ref && med > 0)
                ratio = QStringLiteral("%1 x %2")
                            .arg(median(ref->ms) / med, 0, 'f', 2)
                            .arg(item.reference);
        }
        std::printf("  %-44s %10.3f %10.3f %10s  %s\n", qPrintable(item.name), med, mn,
                    qPrintable(rate), qPrintable(ratio));
    }
    std::fflush(stdout);
}

qint64 residentBytes()
{
    malloc_trim(0);
    QFile statm(QStringLiteral("/proc/self/statm"));
    if (!statm.open(QIODevice::ReadOnly))
        return 0;
    const QList<QByteArray> fields = statm.readAll().split(' ');
    if (fields.size() < 2)
        return 0;
    return fields.at(1).toLongLong() * sysconf(_SC_PAGESIZE);
}

qint64 heapBytes()
{
    const struct mallinfo2 info = mallinfo2();
    return qint64(info.uordblks + info.hblkhd);
}

DeletionPolicy shippedPolicy()
{
    DeletionPolicy policy;
    Schema schema;
    if (!loadBuiltInKnowledge(schema, policy).policyLoaded)
        std::fprintf(stderr, "deletion rules not loaded\n");
    return policy;
}

const QByteArray &generatedFile(qint64 bytes, quint64 seed)
{
    static QMap<QPair<qint64, quint64>, QByteArray> cache;
    auto key = qMakePair(bytes, seed);
    auto it = cache.find(key);
    if (it == cache.end()) {
        testdata::GeneratorOptions o;
        o.seed = seed;
        o.targetBytes = bytes;
        it = cache.insert(key, testdata::generateSettings(o));
    }
    return it.value();
}

} // namespace vrn::bench
