#include "history/historyrecorder.h"

#include "document/xsdtdocument.h"
#include "history/historypreferences.h"
#include "history/versioncompare.h"
#include "store/files.h"

#include <QDir>

namespace vrn {

namespace {

constexpr qint64 kLargestCounted = qint64(128) << 20;

} // namespace

HistoryRecorder::HistoryRecorder(VersionAuthor author)
    : m_author(author)
{}

HistoryRecorder::~HistoryRecorder()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_wake.notify_all();
    if (m_thread.joinable())
        m_thread.join();
}

std::function<void(const SettingsStore::FileWrite &)> HistoryRecorder::observer()
{
    return [this](const SettingsStore::FileWrite &write) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_queue.push_back(write);
        if (!m_thread.joinable())
            m_thread = std::thread([this] { run(); });
        m_wake.notify_all();
    };
}

void HistoryRecorder::setFailureHandler(std::function<void(const QString &)> handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failed = std::move(handler);
}

void HistoryRecorder::waitForIdle()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return m_queue.empty() && !m_busy; });
}

void HistoryRecorder::run()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    for (;;) {
        m_wake.wait(lock, [this] { return m_stop || !m_queue.empty(); });
        if (m_queue.empty())
            return;
        const SettingsStore::FileWrite write = m_queue.front();
        m_queue.pop_front();
        m_busy = true;
        lock.unlock();
        record(write);
        lock.lock();
        m_busy = false;
        m_idle.notify_all();
    }
}

void HistoryRecorder::record(const SettingsStore::FileWrite &write)
{
    if (!HistoryPreferences::read().enabled)
        return;
    QString error;
    HistoryStore store;
    bool ok = store.open(write.path, &error);
    // The content before is usually there already (the watcher recorded it); when it is not,
    // it comes from the backup the save made of exactly those bytes. A watcher that was quicker
    // has recorded the content after, and the one before with it.
    const HistoryVersion *last = ok ? store.newest() : nullptr;
    const QByteArray afterHash = sha256(write.after);
    if (ok && !write.beforeHash.isEmpty() &&
        (!last || (last->sha256 != write.beforeHash && last->sha256 != afterHash))) {
        QByteArray before;
        ok = readFile(write.beforeCopy, before, &error);
        if (ok && sha256(before) != write.beforeHash) {
            ok = false;
            error = tr("the backup %1 no longer holds the file as it was")
                        .arg(QDir::toNativeSeparators(write.beforeCopy));
        }
        ok = ok && recordAndCount(store, before, VersionAuthor::Unknown, 0, &error) > 0;
    }
    const VersionAuthor author = write.restore ? VersionAuthor::Restore : m_author;
    ok = ok && recordAndCount(store, write.after, author, 0, &error) > 0;
    if (ok)
        return;
    std::function<void(const QString &)> failed;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        failed = m_failed;
    }
    if (failed)
        failed(tr("The history of %1 could not keep this version: %2")
                   .arg(QDir::toNativeSeparators(write.path), error));
}

qint64 HistoryRecorder::recordVersion(HistoryStore &store, const QByteArray &bytes,
                                      VersionAuthor author, qint64 replaces, QString *error,
                                      XsdtDocument *parsed)
{
    HistoryStore::Record record;
    record.bytes = bytes;
    record.sha256 = sha256(bytes);
    record.author = author;
    record.replaces = replaces;
    const HistoryVersion *last = store.newest();
    XsdtDocument scratch;
    XsdtDocument &document = parsed ? *parsed : scratch;
    if ((!last || last->sha256 != record.sha256) && !document.parse(bytes, &record.damaged) &&
        record.damaged.isEmpty())
        record.damaged = tr("The file does not parse.");
    return store.record(record, error);
}

bool HistoryRecorder::countChanges(HistoryStore &store, qint64 id, const XsdtDocument &document,
                                   QString *error)
{
    const HistoryVersion *version = store.version(id);
    // Two documents of a file this large take gigabytes: its versions go uncounted.
    if (!version || version->isDamaged() || version->changed >= 0 ||
        version->size > kLargestCounted)
        return true;
    const HistoryVersion *before = store.goodBefore(id);
    if (!before)
        return true;
    QByteArray older;
    XsdtDocument previous;
    if (!store.read(before->id, &older, error) || !previous.parse(older, error))
        return false;
    return store.setChanged(id, changedValues(previous, document), error);
}

qint64 HistoryRecorder::recordAndCount(HistoryStore &store, const QByteArray &bytes,
                                       VersionAuthor author, qint64 replaces, QString *error)
{
    XsdtDocument document;
    const qint64 id = recordVersion(store, bytes, author, replaces, error, &document);
    // A count that cannot be made leaves the version as it is, with its count unknown.
    if (id > 0)
        countChanges(store, id, document);
    return id;
}

} // namespace vrn
