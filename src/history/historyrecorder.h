#pragma once

#include "history/historystore.h"
#include "store/settingsstore.h"

#include <QCoreApplication>

#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>

namespace vrn {

class XsdtDocument;

// Records the saves and restores of the window or of varnelctl in the file's history: the
// store tells it of each write (SettingsStore::onFileWritten), and it records the content
// before and after on a thread of its own, so that a save never waits for the history nor
// fails because of it. A recording that fails is reported through the failure handler.
class HistoryRecorder
{
    Q_DECLARE_TR_FUNCTIONS(vrn::HistoryRecorder)

public:
    // `author`: who saves through the stores this recorder is handed to. With `untilWaited`
    // the writes wait for waitForIdle(), so that a program which lets go of its document
    // before waiting never holds the document and a version at the same time.
    explicit HistoryRecorder(VersionAuthor author, bool untilWaited = false);
    // Records what is queued first.
    ~HistoryRecorder();
    HistoryRecorder(const HistoryRecorder &) = delete;
    HistoryRecorder &operator=(const HistoryRecorder &) = delete;

    // For SettingsStore::onFileWritten: queues the write and returns at once.
    std::function<void(const SettingsStore::FileWrite &)> observer();
    // For SettingsStore::holdFileReaders: the recorder reads a written version from the file
    // itself, and waits while the store writes.
    std::function<std::unique_lock<std::mutex>()> fileHold();
    // Called on the recorder's thread with what went wrong.
    void setFailureHandler(std::function<void(const QString &message)> handler);
    // Until everything queued is recorded.
    void waitForIdle();

    // Records `bytes` as the newest version of `store`, marked damaged with the reader's
    // message when it does not parse; `parsed` then holds the document it reads as (for
    // countChanges). `replaces` as in HistoryStore::Record. The version's id, or 0.
    static qint64 recordVersion(HistoryStore &store, const QByteArray &bytes, VersionAuthor author,
                                qint64 replaces = 0, QString *error = nullptr,
                                XsdtDocument *parsed = nullptr, const QByteArray &hash = {});
    // Counts the values that changed in version `id` (read as `document`) since the good
    // version before it, and keeps the count in the history. A second step, so that the
    // version is safe on disk before the slower comparison runs. Versions of files over 128 MiB
    // are left uncounted.
    static bool countChanges(HistoryStore &store, qint64 id, const XsdtDocument &document,
                             QString *error = nullptr);
    // Both. `hash`, when given, is the SHA-256 of `bytes`.
    static qint64 recordAndCount(HistoryStore &store, const QByteArray &bytes, VersionAuthor author,
                                 qint64 replaces = 0, QString *error = nullptr,
                                 const QByteArray &hash = {});

private:
    void run();
    void record(const SettingsStore::FileWrite &write);
    // A version to record: its bytes, or for a large file the open file itself, read in pieces
    // when it is stored, so that it is never held whole beside the window's document.
    struct Content;
    // The file's content and its SHA-256; the message is kept when one was given already.
    static bool readHashed(const QString &path, Content *content, QString *error);
    // Records content whose SHA-256 is known; `parses` when it is known to read as a settings
    // file, so that it need not be parsed unless its changes are counted.
    static qint64 recordChecked(HistoryStore &store, Content &content, bool parses,
                                VersionAuthor author, QString *error);

    void startLocked();

    const VersionAuthor m_author;
    const bool m_untilWaited;
    std::mutex m_mutex;
    std::mutex m_fileMutex; // held while the settings file is open here
    std::condition_variable m_wake;
    std::condition_variable m_idle;
    std::deque<SettingsStore::FileWrite> m_queue;
    bool m_busy = false;
    bool m_stop = false;
    std::function<void(const QString &)> m_failed;
    std::thread m_thread;
};

} // namespace vrn
