// The settings file's history: recording versions of a large file that changes a little (CPU
// per version, disk per version), listing a long history, and comparing two versions.
#include "benchutil.h"

#include "document/xsdtdocument.h"
#include "history/historybrowser.h"
#include "history/historyrecorder.h"
#include "history/historystore.h"
#include "history/versioncompare.h"
#include "store/files.h"

#include <QElapsedTimer>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRandomGenerator>
#include <QTemporaryDir>

#include <cstdio>
#include <sys/resource.h>

namespace vrn::bench {

namespace {

double cpuSeconds()
{
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return double(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
           double(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec) / 1e6;
}

// The least CPU time of a few runs, in ms: on a busy machine wall time says little.
double cpuMs(const std::function<void()> &run)
{
    double least = 1e9;
    for (int round = 0; round < 3; ++round) {
        const double before = cpuSeconds();
        run();
        least = std::min(least, (cpuSeconds() - before) * 1000);
    }
    return least;
}

// Versions of a file, each with 100 values changed at random from the one before, as
// PixInsight's own writes change it.
class Versions
{
public:
    Versions(const QByteArray &first, quint64 seed)
        : m_random(seed)
    {
        if (m_document.parse(first))
            collect(&m_document.root);
    }
    bool ok() const { return !m_values.isEmpty(); }
    QByteArray next()
    {
        for (int edit = 0; edit < 100; ++edit) {
            XsdtNode *node = m_values.at(m_random.bounded(int(m_values.size())));
            const char16_t type = node->type.unicode();
            if (type == 'b')
                node->value = node->value == QLatin1String("true") ? QStringLiteral("false")
                                                                   : QStringLiteral("true");
            else if (type == 'i' || type == 'u')
                node->value = QString::number(m_random.bounded(1000));
            else if (type == 'F' || type == 'f')
                node->value = QString::number(m_random.bounded(1000)) + QLatin1String(".5");
            else
                node->value = QStringLiteral("text %1").arg(m_random.bounded(100000));
        }
        return m_document.serialize();
    }

private:
    void collect(XsdtNode *node)
    {
        for (const auto &child : node->children) {
            if (child->isValue() && child->isEditable())
                m_values.append(child.get());
            collect(child.get());
        }
    }

    XsdtDocument m_document;
    QList<XsdtNode *> m_values;
    QRandomGenerator m_random;
};

QString setUpHome(const QTemporaryDir &dir)
{
    qputenv("XDG_DATA_HOME", dir.filePath(QStringLiteral("data")).toLocal8Bit());
    return dir.filePath(QStringLiteral("core-1-pxi.settings"));
}

void recordVersions(qint64 megabytes, int count)
{
    const QByteArray &first = generatedFile(megabytes * 1000 * 1000);
    Versions versions(first, 42);
    if (!versions.ok())
        return;
    QTemporaryDir dir;
    const QString file = setUpHome(dir);
    // The same versions twice: into one history as the watcher records them, into another only
    // stored, to tell the storing from reading the file as settings.
    HistoryStore store;
    HistoryStore storing;
    if (!store.open(file) || !storing.open(dir.filePath(QStringLiteral("core-2-pxi.settings"))))
        return;
    std::vector<double> whole, stored, counted;
    QByteArray bytes = first;
    for (int version = 0; version < count; ++version) {
        if (version > 0)
            bytes = versions.next();
        HistoryStore::Record record;
        record.bytes = bytes;
        double before = cpuSeconds();
        storing.record(record);
        stored.push_back(cpuSeconds() - before);
        before = cpuSeconds();
        QString error;
        XsdtDocument parsed;
        const qint64 id = HistoryRecorder::recordVersion(store, bytes, VersionAuthor::PixInsight, 0,
                                                         &error, &parsed);
        if (id == 0)
            std::fprintf(stderr, "recording failed: %s\n", qPrintable(error));
        whole.push_back(cpuSeconds() - before);
        before = cpuSeconds();
        HistoryRecorder::countChanges(store, id, parsed);
        counted.push_back(cpuSeconds() - before);
    }
    const qint64 disk = store.storedBytes();
    std::printf("History: %d versions of a %lld MB file (%lld bytes), 100 random edits each\n",
                count, megabytes, qlonglong(first.size()));
    std::printf("  stored: %lld bytes, %.3f %% of the file per version (target <= 2 %%)\n",
                qlonglong(disk), 100.0 * double(disk) / count / double(first.size()));
    std::printf("  CPU per version, storing only (frame + manifest): median %.3f s, max %.3f s\n",
                median(stored), *std::max_element(stored.begin(), stored.end()));
    std::printf("  CPU per version, recording (hash, parse for damage, store): median %.3f s, "
                "max %.3f s (target <= 1 s)\n",
                median(whole), *std::max_element(whole.begin(), whole.end()));
    std::printf("  CPU per version, counting the values changed since the version before (read "
                "it back, parse it, compare), after the version is safe: median %.3f s, max %.3f "
                "s\n",
                median(counted), *std::max_element(counted.begin(), counted.end()));
}

void listVersions(int count)
{
    QTemporaryDir dir;
    const QString file = setUpHome(dir);
    HistoryStore store;
    HistoryStore::Record record;
    record.bytes = generatedFile(100 * 1000);
    if (!store.open(file) || store.record(record) == 0)
        return;
    // A manifest as long as years of a busy PixInsight would make it, all naming one frame.
    const QString path = store.folder() + QLatin1String("/manifest.json");
    QByteArray bytes;
    readFile(path, bytes);
    QJsonObject json = QJsonDocument::fromJson(bytes).object();
    QJsonArray versions = json.value(QLatin1String("versions")).toArray();
    const QJsonObject one = versions.first().toObject();
    for (int id = 2; id <= count; ++id) {
        QJsonObject next = one;
        next.insert(QStringLiteral("id"), id);
        next.insert(QStringLiteral("changed"), id % 37);
        versions.append(next);
    }
    json.insert(QStringLiteral("versions"), versions);
    json.insert(QStringLiteral("nextId"), count + 1);
    writeFileVerified(path, QJsonDocument(json).toJson(QJsonDocument::Compact));
    Suite suite(QStringLiteral("History: listing %1 versions (manifest of %2 KiB)")
                    .arg(count)
                    .arg(QFileInfo(path).size() / 1024));
    qint64 sink = 0;
    // As the History page lists them: newest first, each row's texts made as it is painted.
    auto list = [&] {
        HistoryBrowser listed;
        listed.open(file);
        for (int row = 0; row < listed.count(); ++row)
            sink += listed.at(row).id;
    };
    suite.add(QStringLiteral("open the history and list its versions"), 0, list);
    suite.run(options().quick ? 3 : 9);
    suite.print();
    std::printf("  target <= 100 ms: %.1f ms (%.1f ms of CPU)\n",
                suite.medianMs(QStringLiteral("open the history and list its versions")),
                cpuMs(list));
}

void compareTwo(qint64 megabytes)
{
    const QByteArray &first = generatedFile(megabytes * 1000 * 1000);
    Versions versions(first, 7);
    if (!versions.ok())
        return;
    const QByteArray second = versions.next();
    QTemporaryDir dir;
    const QString file = setUpHome(dir);
    HistoryStore store;
    HistoryStore::Record record;
    record.bytes = first;
    if (!store.open(file) || store.record(record) == 0)
        return;
    record.bytes = second;
    if (store.record(record) == 0)
        return;
    Suite suite(QStringLiteral("History: comparing two versions of a %1 MB file").arg(megabytes));
    qint64 sink = 0;
    auto compare = [&] {
        QByteArray a, b;
        XsdtDocument older, newer;
        store.read(1, &a);
        store.read(2, &b);
        older.parse(a);
        newer.parse(b);
        sink += changedValues(older, newer);
    };
    suite.add(QStringLiteral("read both, parse both, compare"), 0, compare);
    suite.run(options().quick ? 2 : 5);
    suite.print();
    std::printf("  target <= 1500 ms: %.0f ms (%.0f ms of CPU)\n",
                suite.medianMs(QStringLiteral("read both, parse both, compare")), cpuMs(compare));
}

} // namespace

void benchHistory()
{
    const qint64 megabytes = options().quick ? 10 : 50;
    recordVersions(megabytes, options().quick ? 10 : 50);
    listVersions(5000);
    compareTwo(megabytes);
}

} // namespace vrn::bench
