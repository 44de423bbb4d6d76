#pragma once

#include "history/historystore.h"

#include <QHash>
#include <QObject>
#include <QStringList>

#include <functional>
#include <memory>

class QSocketNotifier;
class QTimer;

namespace vrn {

// Follows settings files with inotify and records a version of each once it has stayed
// unchanged for a moment: what PixInsight writes while it runs and when it exits, what any
// other program writes. The folders are watched, not the files, since a file is usually
// replaced by a rename; a folder deleted and made again is found again through the nearest
// folder above it that is there.
//
// A file is only ever opened to be read, and never while a write to it is known to be under
// way: one that changed while it was read is read again later, so a file caught half written
// is not taken for a damaged one. One that stays unreadable for the reader once its writer is
// done is recorded as damaged, with the reader's message.
//
// While PixInsight runs it saves every few seconds; of those, the history keeps the newest of
// each ten minutes, and the one it writes when it exits.
class HistoryWatcher : public QObject
{
    Q_OBJECT

public:
    struct Options
    {
        QStringList files;   // followed by name
        QStringList folders; // and every core-*-pxi.settings found in these, also new ones
        int settleMs = 2000; // how long a file must stay unchanged before it is recorded
        qint64 runningSlotMs = 10 * 60 * 1000;
        int retryMs = 5 * 60 * 1000; // after a recording failed (disk full, say)
        // The clock the slots are measured on; empty: the steady clock, which never goes back.
        std::function<qint64()> monotonicMs;
    };

    explicit HistoryWatcher(const Options &options, QObject *parent = nullptr);
    ~HistoryWatcher() override;

    // Starts following and records each file as it is now. False, with the reason, when there
    // is nothing to do: the history is switched off in the preferences, inotify is not
    // available, or another watcher follows these files already.
    bool start(QString *why);
    // Records each file once as it is now and returns; false when none could be recorded.
    bool recordOnce(QString *why);

signals:
    // Something the user should know, each trouble said once until it goes away.
    void message(const QString &text);
    void recorded(const QString &file, qint64 id);
    // After each look at a file, whether or not it made a version.
    void looked(const QString &file);
    // The history was switched off: the watcher stopped.
    void finished();

private:
    struct Target;
    enum class Outcome { Done, Busy, Failed };
    Target *targetFor(const QString &path);
    // The files named, and those in the folders followed.
    void addTargets();
    void armWatches();
    void readEvents();
    void settle(Target *target, int delayMs);
    // Done also when there was nothing to record; Busy when the file was being written.
    Outcome recordTarget(Target *target);
    // Said unless `quiet`, when the caller says it.
    bool takeLock(Target *target, bool quiet = false);
    void say(Target *target, const QString &text);
    bool stillEnabled();
    qint64 monotonic() const;

    Options m_options;
    int m_inotify = -1;
    QSocketNotifier *m_notifier = nullptr;
    QHash<int, QString> m_watched; // watch descriptor -> folder
    QStringList m_wantedFolders;   // what the watches are for
    QString m_preferencesFolder;
    int m_defaultLock = -1; // held by the watcher that follows the usual folders
    std::vector<std::unique_ptr<Target>> m_targets;
};

} // namespace vrn
