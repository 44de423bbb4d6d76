#include "history/historyrecorder.h"

#include "document/xsdtdocument.h"
#include "history/historypreferences.h"
#include "history/versioncompare.h"
#include "store/files.h"

#include <QDir>

namespace vrn {

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
    // it comes from the backup the save made of exactly those bytes.
    const HistoryVersion *last = ok ? store.newest() : nullptr;
    if (ok && !write.beforeHash.isEmpty() && (!last || last->sha256 != write.beforeHash)) {
        QByteArray before;
        ok = readFile(write.beforeCopy, before, &error);
        if (ok && sha256(before) != write.beforeHash)
            ok = false, error = tr("the backup %1 no longer holds the file as it was")
                                    .arg(QDir::toNativeSeparators(write.beforeCopy));
        ok = ok && recordVersion(store, before, VersionAuthor::Unknown, 0, &error) > 0;
    }
    const VersionAuthor author = write.restore ? VersionAuthor::Restore : m_author;
    ok = ok && recordVersion(store, write.after, author, 0, &error) > 0;
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
                                      VersionAuthor author, qint64 replaces, QString *error)
{
    HistoryStore::Record record;
    record.bytes = bytes;
    record.sha256 = sha256(bytes);
    record.author = author;
    record.replaces = replaces;
    const HistoryVersion *last = store.newest();
    if (!last || last->sha256 != record.sha256) {
        XsdtDocument document;
        if (!document.parse(bytes, &record.damaged)) {
            if (record.damaged.isEmpty())
                record.damaged = tr("The file does not parse.");
        } else {
            // Counted against the version this one follows once it is recorded.
            const qint64 after = last && last->id == replaces ? replaces : last ? last->id + 1 : 0;
            const HistoryVersion *before = store.goodBefore(after);
            QByteArray older;
            XsdtDocument previous;
            if (before && store.read(before->id, &older) && previous.parse(older))
                record.changed = int(compareVersions(previous, document).size());
        }
    }
    return store.record(record, error);
}

} // namespace vrn
