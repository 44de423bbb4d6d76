#include "history/historyrecorder.h"

#include "document/xsdtdocument.h"
#include "history/historypreferences.h"
#include "history/versioncompare.h"
#include "store/files.h"

#include <QDir>
#include <QFile>

#include <utility>

#include <unistd.h>

namespace vrn {

namespace {

constexpr qint64 kLargestCounted = qint64(128) << 20;
// Counting a save's changes parses it and the version before: beside the document the window
// holds, that is done at once only for files this small.
constexpr qsizetype kCountedAtOnce = qsizetype(16) << 20;

} // namespace

struct HistoryRecorder::Content
{
    QByteArray bytes;
    QByteArray hash;
    int file = -1;

    Content() = default;
    Content(const Content &) = delete;
    Content &operator=(const Content &) = delete;
    Content &operator=(Content &&other) noexcept
    {
        std::swap(bytes, other.bytes);
        std::swap(hash, other.hash);
        std::swap(file, other.file);
        return *this;
    }
    ~Content()
    {
        if (file >= 0)
            ::close(file);
    }
};

HistoryRecorder::HistoryRecorder(VersionAuthor author, bool untilWaited)
    : m_author(author)
    , m_untilWaited(untilWaited)
{}

HistoryRecorder::~HistoryRecorder()
{
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
        if (!m_queue.empty())
            startLocked();
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
        if (!m_untilWaited)
            startLocked();
        m_wake.notify_all();
    };
}

std::function<std::unique_lock<std::mutex>()> HistoryRecorder::fileHold()
{
    return [this] { return std::unique_lock<std::mutex>(m_fileMutex); };
}

void HistoryRecorder::startLocked()
{
    if (!m_thread.joinable())
        m_thread = std::thread([this] { run(); });
}

void HistoryRecorder::setFailureHandler(std::function<void(const QString &)> handler)
{
    std::lock_guard<std::mutex> lock(m_mutex);
    m_failed = std::move(handler);
}

void HistoryRecorder::waitForIdle()
{
    std::unique_lock<std::mutex> lock(m_mutex);
    if (!m_queue.empty())
        startLocked();
    m_wake.notify_all();
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
    if (ok && !write.beforeHash.isEmpty() &&
        (!last || (last->sha256 != write.beforeHash && last->sha256 != write.afterHash))) {
        Content before;
        ok = readHashed(write.beforeCopy, &before, &error);
        if (ok && before.hash != write.beforeHash) {
            ok = false;
            error = tr("the backup %1 no longer holds the file as it was")
                        .arg(QDir::toNativeSeparators(write.beforeCopy));
        }
        ok = ok &&
             recordChecked(store, before, write.beforeReads, VersionAuthor::Unknown, &error) > 0;
    }
    // Only one version is held at a time: the one before went with its scope. A large file is
    // stored from its descriptor, so the readers' hold lasts until that is closed: a save or
    // restore meanwhile would find its lease refused, as if another program had the file open.
    std::unique_lock<std::mutex> hold(m_fileMutex, std::defer_lock);
    Content after;
    if (ok) {
        hold.lock();
        ok = readHashed(write.path, &after, &error);
    }
    if (ok && after.hash != write.afterHash) {
        // A save that followed has replaced the file already, after backing up exactly these
        // bytes; otherwise another program wrote it before it could be read here.
        QString later;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            for (const SettingsStore::FileWrite &next : m_queue) {
                if (next.path == write.path && next.beforeHash == write.afterHash) {
                    later = next.beforeCopy;
                    break;
                }
            }
        }
        Content copy;
        if (!later.isEmpty() && readHashed(later, &copy, nullptr) && copy.hash == write.afterHash) {
            after = std::move(copy);
        } else {
            // What the file holds now is kept, but not as this save's.
            QString reason;
            const bool kept =
                recordChecked(store, after, false, VersionAuthor::Unknown, &reason) > 0;
            error = kept ? tr("the file changed again before this version was read; the "
                              "history keeps what it holds now, as written by an unknown program")
                         : reason;
            ok = false;
        }
    }
    // The save read these bytes back and proved that they parse.
    const VersionAuthor author = write.restore ? VersionAuthor::Restore : m_author;
    ok = ok && recordChecked(store, after, true, author, &error) > 0;
    after = Content(); // closed before the hold goes
    if (hold.owns_lock())
        hold.unlock();
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

bool HistoryRecorder::readHashed(const QString &path, Content *content, QString *error)
{
    *content = Content();
    FileStamp stamp;
    content->file = openStamped(path, &stamp, error);
    if (content->file < 0)
        return false;
    if (stamp.size > kCountedAtOnce) {
        if (sha256Of(content->file, &content->hash))
            return true;
        if (error && error->isEmpty())
            *error = tr("Cannot read %1: %2")
                         .arg(QDir::toNativeSeparators(path), qt_error_string(errno));
        return false;
    }
    // Small enough to be held whole, and parsed when its changes are counted.
    ::close(std::exchange(content->file, -1));
    if (!readFile(path, content->bytes, error))
        return false;
    content->hash = sha256(content->bytes);
    return true;
}

qint64 HistoryRecorder::recordChecked(HistoryStore &store, Content &content, bool parses,
                                      VersionAuthor author, QString *error)
{
    const HistoryVersion *last = store.newest();
    const bool known = last && last->sha256 == content.hash;
    if (content.file >= 0 && !parses && !known) {
        // Whether it parses is not known: it is read whole to see.
        QFile file;
        if (!file.open(content.file, QIODevice::ReadOnly, QFileDevice::DontCloseHandle) ||
            !file.seek(0)) {
            if (error && error->isEmpty())
                *error = file.errorString();
            return 0;
        }
        content.bytes = file.readAll();
        content.hash = sha256(content.bytes);
        ::close(std::exchange(content.file, -1));
    }
    if (content.file < 0 || known)
        return recordAndCount(store, content.bytes, author, 0, error, content.hash);
    // Too large to hold in two documents beside the window's own, nor whole beside its
    // document: stored in pieces as it is read, and counted when the History page first
    // compares it.
    HistoryStore::Record record;
    record.file = content.file;
    record.sha256 = content.hash;
    record.author = author;
    return store.record(record, error);
}

qint64 HistoryRecorder::recordVersion(HistoryStore &store, const QByteArray &bytes,
                                      VersionAuthor author, qint64 replaces, QString *error,
                                      XsdtDocument *parsed, const QByteArray &hash)
{
    HistoryStore::Record record;
    record.bytes = bytes;
    record.sha256 = hash.isEmpty() ? sha256(bytes) : hash;
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
                                       VersionAuthor author, qint64 replaces, QString *error,
                                       const QByteArray &hash)
{
    const QByteArray sha = hash.isEmpty() ? sha256(bytes) : hash;
    // Bytes the newest version holds already are not parsed, and there is nothing to count
    // them with.
    const HistoryVersion *last = store.newest();
    const bool parsed = !last || last->sha256 != sha;
    XsdtDocument document;
    const qint64 id = recordVersion(store, bytes, author, replaces, error, &document, sha);
    // A count that cannot be made leaves the version as it is, with its count unknown.
    if (id > 0 && parsed)
        countChanges(store, id, document);
    return id;
}

} // namespace vrn
