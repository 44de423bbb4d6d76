#include "history/historywatcher.h"

#include "environment/pixinsight.h"
#include "history/historypreferences.h"
#include "history/historyrecorder.h"
#include "store/files.h"
#include "store/nativepath.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QSet>
#include <QSettings>
#include <QSocketNotifier>
#include <QThread>
#include <QTimer>

#include <chrono>
#include <optional>
#include <sys/inotify.h>
#include <unistd.h>

namespace vrn {

namespace {

// Larger files are not recorded: the history would hold several copies of them in memory.
constexpr qint64 kMaxFileBytes = qint64(1) << 30;

constexpr uint32_t kFolderMask = IN_MODIFY | IN_CLOSE_WRITE | IN_ATTRIB | IN_CREATE | IN_DELETE |
                                 IN_MOVED_FROM | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF |
                                 IN_ONLYDIR | IN_MASK_ADD;
// On the nearest folder above a missing one: enough to see it come back.
constexpr uint32_t kAboveMask =
    IN_CREATE | IN_MOVED_TO | IN_DELETE_SELF | IN_MOVE_SELF | IN_ONLYDIR | IN_MASK_ADD;

bool isSettingsName(const QString &name)
{
    return name.startsWith(QLatin1String("core-")) && name.endsWith(QLatin1String("-pxi.settings"));
}

QString sessionOf(const QList<qint64> &pids)
{
    QList<qint64> sorted = pids;
    std::sort(sorted.begin(), sorted.end());
    QStringList parts;
    for (const qint64 pid : sorted)
        parts.append(QString::number(pid));
    return parts.join(QLatin1Char(','));
}

} // namespace

struct HistoryWatcher::Target
{
    QString path;
    QSet<QString> names; // the paths whose events concern it: as followed and as resolved
    HistoryStore store;
    bool opened = false;
    int lock = -1;
    bool other = false; // another watcher holds its lock
    QTimer *timer = nullptr;
    bool writing = false;        // a write was seen that has not been closed yet
    bool written = false;        // seen written since it was last recorded
    bool pixInsightSeen = false; // PixInsight ran while the file was being written
    FileStamp recordedStamp;     // of the bytes last recorded or found recorded
    qint64 interimId = 0;        // the version made while PixInsight runs, which may give way
    QString session;             // of the PixInsight processes then
    qint64 slotStart = 0;
    QString said; // the trouble said last

    ~Target()
    {
        if (lock >= 0)
            ::close(lock);
    }
};

HistoryWatcher::HistoryWatcher(const Options &options, QObject *parent)
    : QObject(parent)
    , m_options(options)
{}

HistoryWatcher::~HistoryWatcher()
{
    if (m_inotify >= 0)
        ::close(m_inotify);
    if (m_defaultLock >= 0)
        ::close(m_defaultLock);
}

qint64 HistoryWatcher::monotonic() const
{
    if (m_options.monotonicMs)
        return m_options.monotonicMs();
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

HistoryWatcher::Target *HistoryWatcher::targetFor(const QString &path)
{
    const QString absolute = QFileInfo(path).absoluteFilePath();
    for (const auto &target : m_targets) {
        if (target->path == absolute)
            return target.get();
    }
    auto target = std::make_unique<Target>();
    target->path = absolute;
    target->names = {absolute, HistoryStore::canonicalFile(absolute)};
    target->timer = new QTimer(this);
    target->timer->setSingleShot(true);
    Target *raw = target.get();
    connect(target->timer, &QTimer::timeout, this, [this, raw] {
        const Outcome outcome = recordTarget(raw);
        if (outcome != Outcome::Done)
            settle(raw, outcome == Outcome::Busy ? m_options.settleMs : m_options.retryMs);
        emit looked(raw->path);
    });
    m_targets.push_back(std::move(target));
    return raw;
}

void HistoryWatcher::addTargets()
{
    for (const QString &file : std::as_const(m_options.files))
        targetFor(file);
    for (const QString &folder : std::as_const(m_options.folders)) {
        for (const QString &name : QDir(folder).entryList(QDir::Files)) {
            if (isSettingsName(name))
                targetFor(folder + QLatin1Char('/') + name);
        }
    }
}

void HistoryWatcher::say(Target *target, const QString &text)
{
    if (target && target->said == text)
        return;
    if (target)
        target->said = text;
    emit message(text);
}

bool HistoryWatcher::stillEnabled()
{
    if (HistoryPreferences::read().enabled)
        return true;
    if (m_notifier)
        m_notifier->setEnabled(false);
    for (const auto &target : m_targets)
        target->timer->stop();
    emit message(tr("The history is switched off in Varnel's preferences; the watcher stops."));
    emit finished();
    return false;
}

bool HistoryWatcher::takeLock(Target *target, bool quiet)
{
    if (target->lock >= 0)
        return true;
    QString error;
    target->lock =
        HistoryStore::lockForWatcher(HistoryStore::folderFor(target->path), &target->other, &error);
    if (quiet)
        return target->lock >= 0;
    if (target->other)
        say(target, tr("Another watcher keeps the history of %1 already; this one leaves it "
                       "alone.")
                        .arg(nativePath(target->path)));
    else if (target->lock < 0)
        say(target, error);
    return target->lock >= 0;
}

bool HistoryWatcher::start(QString *why)
{
    auto refuse = [why](const QString &reason) {
        if (why)
            *why = reason;
        return false;
    };
    if (!HistoryPreferences::read().enabled)
        return refuse(tr("The history is switched off in Varnel's preferences (Keep a history "
                         "of this settings file)."));
    if (!m_options.folders.isEmpty()) {
        bool taken = false;
        m_defaultLock = HistoryStore::lockForWatcher(HistoryStore::root(), &taken);
        if (taken)
            return refuse(tr("Another watcher keeps the history of the settings files already."));
    }
    addTargets();
    // Following only named files that other watchers have already is doing nothing.
    if (m_options.folders.isEmpty()) {
        bool any = false;
        for (const auto &target : m_targets)
            any = takeLock(target.get(), m_targets.size() == 1) || any;
        if (!any && !m_targets.empty() && m_targets.front()->other)
            return refuse(tr("Another watcher keeps the history of %1 already.")
                              .arg(nativePath(m_targets.front()->path)));
    }
    m_inotify = ::inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
    if (m_inotify < 0)
        return refuse(tr("Cannot follow changes to files: %1").arg(qt_error_string(errno)));
    m_notifier = new QSocketNotifier(m_inotify, QSocketNotifier::Read, this);
    connect(m_notifier, &QSocketNotifier::activated, this, &HistoryWatcher::readEvents);
    m_preferencesFolder =
        QFileInfo(QSettings(QStringLiteral("Varnelhaus"), QStringLiteral("Varnelhaus")).fileName())
            .absolutePath();
    armWatches();
    for (const auto &target : m_targets)
        settle(target.get(), 0);
    return true;
}

void HistoryWatcher::armWatches()
{
    QStringList wanted = m_options.folders;
    for (const auto &target : m_targets) {
        target->names = {target->path, HistoryStore::canonicalFile(target->path)};
        for (const QString &name : std::as_const(target->names))
            wanted.append(QFileInfo(name).absolutePath());
    }
    wanted.append(m_preferencesFolder);
    wanted.removeDuplicates();
    m_wantedFolders = wanted;
    QHash<int, QString> watched;
    for (const QString &folder : std::as_const(wanted)) {
        // A folder that is not there is waited for on the nearest one above it.
        QString existing = folder;
        while (!QFileInfo(existing).isDir() && QFileInfo(existing).absolutePath() != existing)
            existing = QFileInfo(existing).absolutePath();
        const int wd = ::inotify_add_watch(m_inotify, QFile::encodeName(existing).constData(),
                                           existing == folder ? kFolderMask : kAboveMask);
        if (wd >= 0 && (existing == folder || !watched.contains(wd)))
            watched.insert(wd, existing);
    }
    for (auto it = m_watched.cbegin(); it != m_watched.cend(); ++it) {
        if (!watched.contains(it.key()))
            ::inotify_rm_watch(m_inotify, it.key());
    }
    m_watched = watched;
}

void HistoryWatcher::readEvents()
{
    alignas(inotify_event) char buffer[64 * 1024];
    bool rearm = false;
    QSet<Target *> touched;
    // Asked once for all the events read together: a large write comes as many of them.
    std::optional<bool> pixInsight;
    for (;;) {
        const ssize_t got = ::read(m_inotify, buffer, sizeof buffer);
        if (got <= 0)
            break;
        for (ssize_t at = 0; at < got;) {
            const auto *event = reinterpret_cast<const inotify_event *>(buffer + at);
            at += ssize_t(sizeof(inotify_event) + event->len);
            if (event->mask & IN_Q_OVERFLOW) {
                // Events were lost: nothing known about writes under way holds any more.
                for (const auto &target : m_targets) {
                    target->writing = false;
                    touched.insert(target.get());
                }
                rearm = true;
                continue;
            }
            const QString folder = m_watched.value(event->wd);
            if (event->mask & (IN_IGNORED | IN_DELETE_SELF | IN_MOVE_SELF | IN_ISDIR) ||
                !m_wantedFolders.contains(folder)) {
                rearm = true;
                continue;
            }
            const QString name = event->len ? QFile::decodeName(event->name) : QString();
            const QString path = folder + QLatin1Char('/') + name;
            if (folder == m_preferencesFolder && !m_options.folders.contains(folder) &&
                name.endsWith(QLatin1String(".conf"))) {
                if (!stillEnabled())
                    return;
            }
            if (m_options.folders.contains(folder) && isSettingsName(name))
                targetFor(path);
            for (const auto &target : m_targets) {
                if (!target->names.contains(path))
                    continue;
                if (event->mask & IN_MODIFY) {
                    target->writing = true;
                    if (!pixInsight)
                        pixInsight = !checkPixInsight().pids.isEmpty();
                    target->pixInsightSeen = target->pixInsightSeen || *pixInsight;
                } else if (event->mask & ~IN_ATTRIB) {
                    // Closed, or the name now stands for another file.
                    target->writing = false;
                }
                target->written = true;
                touched.insert(target.get());
            }
        }
    }
    if (rearm) {
        armWatches();
        // The file may have come back with its folder before the watch did.
        for (const auto &target : m_targets)
            touched.insert(target.get());
    }
    for (Target *target : std::as_const(touched))
        settle(target, m_options.settleMs);
}

void HistoryWatcher::settle(Target *target, int delayMs)
{
    target->timer->start(delayMs);
}

HistoryWatcher::Outcome HistoryWatcher::recordTarget(Target *target)
{
    if (!stillEnabled())
        return Outcome::Done;
    if (!takeLock(target))
        return target->other ? Outcome::Done : Outcome::Failed;
    // Its writer still has it open: the close says when it is done.
    if (target->writing)
        return Outcome::Done;
    QString error;
    if (!target->opened && !(target->opened = target->store.open(target->path, &error))) {
        say(target, error);
        return Outcome::Failed;
    }
    // Copied from another computer: never added to, and no use trying again until it is gone.
    if (target->store.isReadOnly()) {
        say(target, target->store.readOnlyReason());
        target->opened = false;
        return Outcome::Done;
    }
    const FileStamp now = fileStamp(target->path);
    if (!now.exists || now == target->recordedStamp)
        return Outcome::Done;
    if (now.size > kMaxFileBytes) {
        say(target,
            tr("%1 is larger than 1 GiB; its history is not kept.").arg(nativePath(target->path)));
        return Outcome::Done;
    }
    QByteArray bytes;
    FileStamp stamp;
    if (!readFileStamped(target->path, bytes, &stamp, &error)) {
        say(target, error);
        return Outcome::Failed;
    }
    // Written while it was read: read again once it has settled.
    if (fileStamp(target->path) != stamp || stamp.size != bytes.size())
        return Outcome::Busy;

    // What was there before the watcher looked was written by nobody it knows of, and is not
    // a version PixInsight may replace with its next save.
    const PixInsightCheck running = checkPixInsight();
    const bool runningNow = target->written && !running.pids.isEmpty();
    const VersionAuthor author =
        runningNow || target->pixInsightSeen ? VersionAuthor::PixInsight : VersionAuthor::Unknown;
    const QString session = sessionOf(running.pids);
    target->store.refresh();
    const HistoryVersion *last = target->store.newest();
    const qint64 lastId = last ? last->id : 0;
    const bool sameSlot = runningNow && target->interimId != 0 && target->interimId == lastId &&
                          session == target->session &&
                          monotonic() - target->slotStart < m_options.runningSlotMs;
    const qint64 id = HistoryRecorder::recordAndCount(target->store, bytes, author,
                                                      sameSlot ? lastId : 0, &error);
    if (id == 0) {
        say(target, tr("The history of %1 could not keep this version (the versions kept before "
                       "are whole; it tries again later): %2")
                        .arg(nativePath(target->path), error));
        return Outcome::Failed;
    }
    target->said.clear();
    target->recordedStamp = stamp;
    target->pixInsightSeen = false;
    target->written = false;
    if (id != lastId) {
        if (runningNow && !sameSlot) {
            target->slotStart = monotonic();
            target->session = session;
        }
        target->interimId = runningNow ? id : 0;
        emit recorded(target->path, id);
    }
    if (target->store.pruneDue()) {
        HistoryStore::Pruned pruned;
        if (!target->store.prune({HistoryPreferences::read().maxBytes}, &pruned, false, &error))
            say(target, error);
    }
    return Outcome::Done;
}

bool HistoryWatcher::recordOnce(QString *why)
{
    addTargets();
    bool any = false;
    for (const auto &target : m_targets) {
        // A file written a moment ago may still be being written: it gets its moment first.
        for (int attempt = 0; attempt < 10; ++attempt) {
            const FileStamp stamp = fileStamp(target->path);
            const qint64 age = QDateTime::currentMSecsSinceEpoch() - stamp.mtimeNs / 1000000;
            if (stamp.exists && age >= 0 && age < m_options.settleMs)
                QThread::msleep(ulong(m_options.settleMs - age));
            const Outcome outcome = recordTarget(target.get());
            if (outcome != Outcome::Busy) {
                any = any || outcome == Outcome::Done;
                break;
            }
        }
    }
    if (!any && why)
        *why = m_targets.empty() ? tr("No settings file to keep the history of.")
                                 : tr("No version could be recorded.");
    return any;
}

} // namespace vrn
