#include "knowledge/comparison.h"

#include "document/stringblocks.h"
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "knowledge/backgroundjob.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/readahead.h"
#include "knowledge/schema.h"
#include "knowledge/valuecheck.h"
#include "store/files.h"

#include <QDir>
#include <QThread>
#include <QThreadPool>
#include <QTimer>
#include <QVarLengthArray>

#include <algorithm>
#include <iterator>
#include <mutex>
#include <numeric>
#include <optional>
#include <system_error>
#include <thread>
#include <type_traits>

namespace vrn {

namespace {

// Beyond this many values edited at once a full comparison is cheaper than patching records
// one by one.
constexpr qsizetype kPatchLimit = 2000;

// Freeing the records of a large comparison, and the lists made with them, takes tens of
// milliseconds at 50 MB: a pool thread does it, so that a copy or reload that compares again
// does not wait for it. The nodes they point at stay where they are.
template <typename List>
void freeElsewhere(List &list)
{
    if (list.size() > kPatchLimit)
        freeAside(std::exchange(list, {}));
    list.clear();
}

// The number of a group label, given the next one when it is new.
int labelNumber(const QString &label, QStringList &labels, QHash<QString, int> &numbers)
{
    const auto found = numbers.constFind(label);
    if (found != numbers.constEnd())
        return *found;
    numbers.insert(label, int(labels.size()));
    labels.append(label);
    return int(labels.size()) - 1;
}

// Whether a comes before b in document order (both in the same document).
bool documentOrder(const XsdtNode *a, const XsdtNode *b)
{
    QVarLengthArray<const XsdtNode *, 16> chainA;
    QVarLengthArray<const XsdtNode *, 16> chainB;
    for (const XsdtNode *n = a; n; n = n->parent)
        chainA.append(n);
    for (const XsdtNode *n = b; n; n = n->parent)
        chainB.append(n);
    qsizetype i = chainA.size() - 1;
    qsizetype j = chainB.size() - 1;
    while (i > 0 && j > 0 && chainA[i - 1] == chainB[j - 1]) {
        --i;
        --j;
    }
    if (i == 0 || j == 0)
        return i < j; // an ancestor comes before what lies inside it
    return chainA[i - 1]->indexInParent() < chainB[j - 1]->indexInParent();
}

bool noiseByRules(const DeletionPolicy &rules, const XsdtNode *node)
{
    return rules.isCompareNoise(pathKeys(node), true);
}

// The same from a record's path, for a worker that may not read this document's nodes.
bool noiseByPath(const DeletionPolicy &rules, QStringView path)
{
    // Paths are keys joined by "/", which no key holds.
    return rules.isCompareNoise(path.toString().split(QLatin1Char('/')), true);
}

// Fills in the noise of the records not known yet, from the other file's entry or, without
// one, this file's (which the caller may read). Asked of a million records, the rules take
// longer than the whole walk, so two threads share them where there are two cores. Gives up
// soon after `stop` says so.
void markNoise(const DeletionPolicy &rules, const QList<DiffRecord> &records,
               std::vector<signed char> &noise, const std::function<bool()> &stop)
{
    constexpr qsizetype kChunk = 4096;
    std::atomic<qsizetype> next = 0;
    std::atomic_bool stopped = false;
    const auto work = [&] {
        for (qsizetype from; (from = next.fetch_add(kChunk)) < records.size();) {
            if (stopped.load(std::memory_order_relaxed) || stop()) {
                stopped = true;
                return;
            }
            const qsizetype to = std::min(records.size(), from + kChunk);
            for (qsizetype i = from; i < to; ++i) {
                const DiffRecord &record = records.at(i);
                if (noise[size_t(i)] < 0)
                    noise[size_t(i)] =
                        noiseByRules(rules, record.there ? record.there : record.here);
            }
        }
    };
    std::optional<std::thread> helper;
    if (records.size() > kChunk && QThread::idealThreadCount() > 1) {
        try {
            helper.emplace(work);
        } catch (const std::system_error &) {
            // No thread to be had: this one does it all.
        }
    }
    work();
    if (helper)
        helper->join();
}

// The number of each record's group, as the walk hands the records over with their paths.
// Records come in document order, so most share the group of the one before: that one is
// checked first, without making a label or looking it up.
class GroupNumbers
{
public:
    GroupNumbers(QStringList &labels, QHash<QString, int> &numbers)
        : m_labels(labels)
        , m_numbers(numbers)
    {}

    int of(QStringView path)
    {
        const qsizetype cut = Comparison::groupCut(path);
        const QStringView label = cut < 0 ? QStringView() : path.left(cut);
        if (m_last < 0 || label != QStringView(m_labels.at(m_last)))
            m_last = labelNumber(label.toString(), m_labels, m_numbers);
        return m_last;
    }

private:
    QStringList &m_labels;
    QHash<QString, int> &m_numbers;
    int m_last = -1;
};

// Moves out of `group` every entry below it that no record points at and that holds none of the
// entries they point at, into `dropped`: only pointers move, so the caller frees them later,
// after letting go of the document.
void dropUnneeded(XsdtNode &group, const QSet<const XsdtNode *> &needed,
                  std::vector<std::unique_ptr<XsdtNode>> &dropped)
{
    auto kept = group.children.begin();
    for (auto &child : group.children) {
        if (!needed.contains(child.get())) {
            dropped.push_back(std::move(child));
            continue;
        }
        if (child->isGroup())
            dropUnneeded(*child, needed, dropped);
        *kept++ = std::move(child);
    }
    group.children.erase(kept, group.children.end());
}

// The entries the records point at and those that hold them.
QSet<const XsdtNode *> recordEntries(const QList<DiffRecord> &records)
{
    QSet<const XsdtNode *> needed;
    for (const DiffRecord &record : records) {
        for (const XsdtNode *side : {record.here, record.there}) {
            for (const XsdtNode *n = side; n && !needed.contains(n); n = n->parent)
                needed.insert(n);
        }
    }
    return needed;
}

} // namespace

// The other side, read once: its document and the index over it, which nobody changes once
// handed over, so workers and the owner may read them at the same time.
struct Comparison::Other
{
    std::unique_ptr<XsdtDocument> owned;
    const XsdtDocument *document = nullptr;
    std::unique_ptr<DocumentComparison> index;
    // Read through a sieve, which kept only what the records point at: comparing again reads
    // the file again. The document is null while no run was complete.
    bool sifted = false;
    // Bytes given rather than a file: nothing to read again.
    bool given = false;
};

// What a worker hands back: everything about the records that does not depend on the state of
// this document's nodes, which only the owner's thread reads.
struct Comparison::Outcome
{
    std::shared_ptr<const Other> other;
    QString error; // the other file could not be read: the reason, with its path
    QList<DiffRecord> records;
    HereRanks ranks;
    std::vector<signed char> noise;
    std::vector<std::pair<int, int>> groupRuns;
    QStringList groupLabels;
    QHash<QString, int> groupByLabel;
    QSet<XsdtNode *> queued;
    bool stale = false; // this document was about to change before it was walked in full
};

// A worker's walk of this document: it holds the lock while it reads the document.
struct Comparison::Reading
{
    std::atomic_bool stop = false;
    std::mutex lock;
};

Comparison::Comparison(QObject *parent)
    : QObject(parent)
    , m_job(std::make_unique<BackgroundJob>(this))
{}

Comparison::~Comparison()
{
    // Once it lets go of the document, the worker holds nothing of this object's, so it need
    // not be waited for.
    releaseDocument();
    m_job->abandon();
}

void Comparison::setOutlineOnWorker(bool onWorker)
{
    m_outlineOnWorker = onWorker;
}

void Comparison::releaseDocument()
{
    const std::shared_ptr<Reading> reading = std::exchange(m_reading, nullptr);
    if (!reading)
        return;
    reading->stop.store(true);
    const std::lock_guard wait(reading->lock);
}

qint64 Comparison::progressTotal() const
{
    return m_progressTotal ? m_progressTotal->load() : 0;
}

void Comparison::setRules(const DeletionPolicy *policy, const Schema *schema)
{
    m_policy = policy;
    m_schema = schema;
}

const XsdtDocument *Comparison::otherDocument() const
{
    return m_other ? m_other->document : nullptr;
}

qint64 Comparison::progressDone() const
{
    return m_progressDone ? m_progressDone->load() : 0;
}

bool Comparison::isRunning() const
{
    return m_job->isRunning();
}

void Comparison::clearRecords()
{
    freeElsewhere(m_records);
    freeElsewhere(m_ranks);
    m_current.clear();
    m_currentAll = false;
    m_noise.clear();
    m_groupRuns.clear();
    m_runsEnd = 0;
    m_lastRun = 0;
    m_groups.clear();
    m_verdicts.clear();
    m_changedValues.clear();
    freeElsewhere(m_queuedAtCompare);
    m_needsFull = false;
}

void Comparison::clear()
{
    cancel();
    clearRecords();
    // The other file's document takes a good part of a second to free at 300 MB.
    if (m_other)
        freeAside(std::exchange(m_other, nullptr));
    m_otherPath.clear();
    m_hereToPrune = nullptr;
    freeElsewhere(m_groupLabels);
    freeElsewhere(m_groupByLabel);
}

void Comparison::cancel()
{
    releaseDocument();
    m_job->abandon();
    m_runningPath.clear();
}

void Comparison::compare(const XsdtDocument &here, const XsdtDocument &there)
{
    clear();
    auto other = std::make_shared<Other>();
    other->document = &there;
    other->index = std::make_unique<DocumentComparison>(there);
    HereRanks ranks;
    std::vector<XsdtNode *> queued;
    QList<DiffRecord> records = other->index->compare(here, &ranks, &queued);
    for (XsdtNode *node : queued)
        m_queuedAtCompare.insert(node);
    m_other = std::move(other);
    m_records = std::move(records);
    m_ranks = std::move(ranks);
    const auto count = size_t(m_records.size());
    m_noise.assign(count, -1);
    m_groups.assign(count, -1);
    m_verdicts.assign(count, -1);
    m_currentAll = true;
}

void Comparison::startWithFile(const XsdtDocument &here, const QString &path)
{
    start(here, path, nullptr, nullptr, {});
}

void Comparison::startWithBytes(const XsdtDocument &here, std::shared_ptr<FileBytes> bytes,
                                const QString &path, ReadWhole readWhole)
{
    start(here, path, nullptr, std::move(bytes), std::move(readWhole));
}

void Comparison::startAgain(const XsdtDocument &here)
{
    if (m_other && m_other->index)
        start(here, m_otherPath, m_other, nullptr, {});
    else if (m_other && m_other->sifted && !m_other->given && !m_recordsOnly)
        start(here, m_otherPath, nullptr, nullptr, {});
}

void Comparison::keepOnlyRecords(bool only, XsdtDocument *here)
{
    m_recordsOnly = only;
    m_hereToPrune = only ? here : nullptr;
}

// This document is outlined here in one walk that shares its strings, or, when the owner lets
// go of it before every change, walked by the worker itself, which holds it only while it walks.
// Otherwise the worker reads the outline, its own copy of the rules and the other side, which it
// reads itself or shares unchanged with the owner. So the document stays open to edits
// meanwhile, and an edit only asks for another run once this one is done.
void Comparison::start(const XsdtDocument &here, const QString &path,
                       std::shared_ptr<const Other> other, std::shared_ptr<FileBytes> bytes,
                       ReadWhole readWhole)
{
    releaseDocument();
    m_job->abandon();
    std::shared_ptr<DocumentOutline> outline;
    std::shared_ptr<Reading> reading;
    if (m_outlineOnWorker)
        m_reading = reading = std::make_shared<Reading>();
    else
        outline = std::make_shared<DocumentOutline>(here);
    auto rules = m_policy ? std::make_shared<const DeletionPolicy>(*m_policy) : nullptr;
    auto done = std::make_shared<std::atomic<qint64>>(0);
    auto total = std::make_shared<std::atomic<qint64>>(outline ? outline->size() : 0);
    m_progressDone = done;
    m_progressTotal = total;
    m_runningPath = path;
    const bool recordsOnly = m_recordsOnly;
    XsdtDocument *hereToPrune = reading ? m_hereToPrune : nullptr;
    if (!readWhole) {
        readWhole = [path](FileBytes *into, QString *error) {
            return into->read(path, nullptr, error);
        };
    }
    m_job->start([self = this, document = &here, reading, path, other, bytes, readWhole, outline,
                  rules, done, total, recordsOnly,
                  hereToPrune](const std::atomic_bool &cancelled) mutable -> BackgroundJob::Finish {
        // Let go of the outline and the bytes here once done, not on the owner's thread.
        auto here = std::exchange(outline, nullptr);
        auto given = std::exchange(bytes, nullptr);
        auto outcome = std::make_shared<Outcome>();
        const auto report = [self, outcome] {
            return [self, outcome] { self->takeOutcome(*outcome); };
        };
        const auto notRead = [&](const QString &why) {
            outcome->error = tr("%1 is not a valid PixInsight settings file: %2")
                                 .arg(QDir::toNativeSeparators(path), why);
            return report();
        };
        // Given back as it is read, so that the text never stays whole beside the documents.
        FileBytes fromFile;
        FileBytes &fileBytes = given ? *given : fromFile;
        // Read through the sieve, a file, or bytes still to be filled, are also read only as the
        // reader comes to them, checked as they come (see ReadAhead).
        ReadAhead ahead(fileBytes);
        const auto readOther = [&](XsdtDocument &into, QString *error,
                                   const XsdtDocument::Sieve &sieve, bool byteProgress) {
            const QByteArrayView text = fileBytes.view();
            XsdtDocument::Progress progress;
            if (byteProgress) {
                total->store(text.size());
                progress = [&](qint64 read, qint64) { done->store(read); };
            }
            const XsdtDocument::LetGo letGo = [&fileBytes, &ahead](qsizetype before) {
                fileBytes.letGoBefore(before);
                ahead.readPast(before);
            };
            if (sieve)
                return into.parseSifted(text, sieve, error, progress, letGo);
            return into.parse(text, error, progress, letGo);
        };
        // Read through a sieve against this document, which the worker walks, when there is no
        // index of the other side to reuse: the other file then never stands whole beside it.
        const bool sift = reading && !other;
        std::shared_ptr<Other> fresh;
        if (!other) {
            fresh = std::make_shared<Other>();
            fresh->owned = std::make_unique<XsdtDocument>();
            if (given ? !sift && fileBytes.filling() && !readWhole(&fileBytes, &outcome->error)
                      : !(sift ? fileBytes.openToFill(path, &outcome->error)
                               : fileBytes.read(path, nullptr, &outcome->error)))
                return report();
            if (sift)
                ahead.start();
        }
        if (!other && !sift) {
            QString parseError;
            const bool parsed = readOther(*fresh->owned, &parseError, {}, false);
            // Done with as soon as it is read: the index is built and the walk made without the
            // text beside the two documents.
            fileBytes.letGoBefore(fileBytes.size());
            if (!parsed)
                return notRead(parseError);
            if (cancelled.load())
                return {};
            fresh->document = fresh->owned.get();
            fresh->index = std::make_unique<DocumentComparison>(*fresh->document);
            other = fresh;
        }
        // Of a side looked at only through the records, the rest is let go of once compared.
        std::vector<std::unique_ptr<XsdtNode>> dropped;
        const auto keepOnlyRecords = [&](XsdtDocument *hereToo) {
            if (!recordsOnly || !fresh)
                return;
            const QSet<const XsdtNode *> needed = recordEntries(outcome->records);
            dropUnneeded(fresh->owned->root, needed, dropped);
            if (hereToo)
                dropUnneeded(hereToo->root, needed, dropped);
            // It would pair values with entries gone, and nothing is compared with it again.
            fresh->index.reset();
            outcome->ranks.clear();
        };
        // Where the records are grouped, worked out from the paths as the walk makes them, and
        // which are noise: from the path for an entry only here that this document's outline
        // stands for, from the nodes after the walk for the rest.
        GroupNumbers groups(outcome->groupLabels, outcome->groupByLabel);
        const auto seen = [&](const DiffRecord &record, QStringView path) {
            if (outcome->noise.empty() && other) {
                // Room for the most records there can be, told once the walk has counted this
                // document: a list grown by doubling is copied at the height of the comparison.
                // Room not filled is never touched.
                outcome->noise.reserve(size_t(total->load() + other->index->valueCount()));
            }
            const int group = groups.of(path);
            if (outcome->groupRuns.empty() || outcome->groupRuns.back().second != group)
                outcome->groupRuns.emplace_back(int(outcome->noise.size()), group);
            outcome->noise.push_back(!rules                    ? 0
                                     : record.there || reading ? -1
                                                               : noiseByPath(*rules, path));
        };
        const auto markAllNoise = [&](const std::atomic_bool *released) {
            if (rules) {
                markNoise(*rules, outcome->records, outcome->noise,
                          [&] { return cancelled.load() || (released && released->load()); });
            }
        };
        std::vector<XsdtNode *> queued;
        if (sift) {
            fresh->sifted = true;
            fresh->given = bool(given);
            QString parseError;
            const auto read = [&](const XsdtDocument::Sieve &sieve) {
                return readOther(*fresh->owned, &parseError, sieve, true);
            };
            // This document is held from its owner while the file is read, from its first
            // element on: the owner sets `stop`, and the sieve ends the reading soon after.
            std::unique_lock lock(reading->lock, std::defer_lock);
            bool compared = false;
            const auto compare = [&] {
                if (!reading->stop.load()) {
                    compared = DocumentComparison::compareSifted(*document, read, &outcome->records,
                                                                 &queued, cancelled, reading->stop,
                                                                 seen, &lock);
                }
            };
            compare();
            // The reader came to bytes not read ahead, a value longer than the part read ahead
            // or text that is not UTF-8, or the bytes read were not all there was (a file that
            // grew, a version whose bytes are not the ones recorded): all again, read whole.
            if ((compared || !parseError.isEmpty()) && ahead.cutShort() && !cancelled.load()) {
                if (lock.owns_lock())
                    lock.unlock();
                outcome->records.clear();
                outcome->noise.clear();
                outcome->groupRuns.clear();
                queued.clear();
                fresh->owned = std::make_unique<XsdtDocument>();
                parseError.clear();
                compared = false;
                ahead.stop();
                if (!readWhole(&fileBytes, &outcome->error))
                    return report();
                compare();
            }
            fileBytes.letGoBefore(fileBytes.size());
            if (!parseError.isEmpty())
                return notRead(parseError);
            if (compared)
                markAllNoise(&reading->stop);
            outcome->stale = reading->stop.load();
            if (outcome->stale || cancelled.load() || !compared) {
                // Nothing of a reading cut short is kept but where to read from again. What was
                // read of a large file takes tens of milliseconds to free, which the owner
                // waiting to change this document need not wait for.
                if (lock.owns_lock())
                    lock.unlock();
                outcome->records.clear();
                fresh->owned.reset();
            } else {
                fresh->document = fresh->owned.get();
                keepOnlyRecords(hereToPrune);
            }
            outcome->other = fresh;
        } else if (reading) {
            outcome->other = other;
            // Walked once the other side is read, so that this document is not held from its
            // owner while the file is read. The owner sets `stop`, then waits for the lock
            // before it changes the document or lets it go: the walk ends soon after, and the
            // owner compares again.
            const std::lock_guard lock(reading->lock);
            if (!reading->stop.load()) {
                outcome->records =
                    other->index->compare(*document, &outcome->ranks, &queued, cancelled,
                                          reading->stop, done.get(), total.get(), seen);
                markAllNoise(&reading->stop);
            }
            outcome->stale = reading->stop.load();
            if (!outcome->stale && !cancelled.load())
                keepOnlyRecords(hereToPrune);
        } else {
            outcome->other = other;
            outcome->records =
                other->index->compare(*here, &outcome->ranks, &cancelled, done.get(), seen);
            markAllNoise(nullptr);
            queued = here->queued();
            if (!cancelled.load())
                keepOnlyRecords(nullptr);
        }
        dropped.clear(); // freed here, once this document is let go of again
        if (cancelled.load())
            return {};
        if (outcome->stale)
            return report(); // the document is about to change: compared again
        outcome->queued = QSet<XsdtNode *>(queued.begin(), queued.end());
        return report();
    });
}

void Comparison::takeOutcome(Outcome &outcome)
{
    const QString path = std::exchange(m_runningPath, QString());
    if (!outcome.error.isEmpty()) {
        clear();
        emit failed(outcome.error);
        return;
    }
    if (m_other != outcome.other && m_other)
        freeAside(std::exchange(m_other, outcome.other));
    m_other = outcome.other;
    m_otherPath = path;
    if (hasChanges() || outcome.stale) {
        // The document changed while the worker compared it as it was: the owner compares
        // again, and these records are of no use then.
        freeElsewhere(outcome.records);
        clearRecords();
        m_needsFull = true;
        emit finished();
        return;
    }
    clearRecords();
    m_records = std::move(outcome.records);
    m_ranks = std::move(outcome.ranks);
    m_noise = std::move(outcome.noise);
    m_groupRuns = std::move(outcome.groupRuns);
    m_runsEnd = int(m_records.size());
    freeElsewhere(m_groupLabels);
    freeElsewhere(m_groupByLabel);
    m_groupLabels = std::move(outcome.groupLabels);
    m_groupByLabel = std::move(outcome.groupByLabel);
    m_queuedAtCompare = std::move(outcome.queued);
    m_currentAll = true;
    m_verdicts.assign(size_t(m_records.size()), -1);
    emit finished();
}

void Comparison::finishNow()
{
    if (m_updatePending)
        runUpdate();
    // Edits made meanwhile start another run when the first one is taken.
    while (m_job->isRunning())
        m_job->finishNow();
}

void Comparison::scheduleUpdate()
{
    if (m_updatePending)
        return;
    m_updatePending = true;
    // Asked for in the middle of a turn that may go on (a new document reaching every page),
    // and Qt runs every timer due in one go: the timer starts when this turn's work is done,
    // so that the update comes after the window painted and took input.
    QMetaObject::invokeMethod(
        this, [this] { QTimer::singleShot(1, this, &Comparison::runUpdate); },
        Qt::QueuedConnection);
}

void Comparison::hold(bool hold)
{
    const int change = ++m_holdChanges;
    if (hold) {
        m_held = true;
        return;
    }
    // Let go a turn later: an update asked for meanwhile may be due in this same turn, right
    // after the work that held it.
    QMetaObject::invokeMethod(
        this,
        [this, change] {
            if (change != m_holdChanges)
                return;
            m_held = false;
            if (std::exchange(m_heldUpdate, false))
                scheduleUpdate();
        },
        Qt::QueuedConnection);
}

void Comparison::runUpdate()
{
    if (!std::exchange(m_updatePending, false))
        return; // run early by finishNow()
    if (m_held) {
        m_heldUpdate = true;
        return;
    }
    if (isRunning()) {
        m_needsFull = true; // taken up when the running comparison is done
        return;
    }
    Patch patched;
    if (hasChanges() && patch(&patched))
        emit this->patched(patched);
    else
        emit updateNeeded();
}

void Comparison::waitForWorker()
{
    m_job->waitForWork();
}

void Comparison::noteValueChanged(XsdtNode *value)
{
    if (isRunning())
        m_needsFull = true; // the run under way compares the document as it was
    if (m_needsFull || !m_other)
        return;
    if (!value || value->isGroup() || m_changedValues.size() >= kPatchLimit) {
        m_needsFull = true;
        m_changedValues.clear();
        return;
    }
    m_changedValues.insert(value);
}

// Only the values edited since the last comparison are compared again. Whether a value takes
// part at all (its deletion mark and its ancestors') must be as it was, or the other file's
// entries at that path would change side too; then the full comparison runs instead.
bool Comparison::patch(Patch *patch)
{
    if (!m_other || !m_other->document || m_needsFull || isRunning())
        return false;
    for (XsdtNode *node : std::as_const(m_changedValues)) {
        bool wasQueued = false;
        for (XsdtNode *n = node; n && !wasQueued; n = n->parent)
            wasQueued = m_queuedAtCompare.contains(n);
        if (wasQueued != node->isDeleted())
            return false;
    }
    // Read through a sieve, the other file kept only the values that differed: a value that
    // was the same, or had no record, needs the whole comparison again.
    QHash<const XsdtNode *, XsdtNode *> sifted;
    if (!m_other->index) {
        for (const DiffRecord &record : std::as_const(m_records)) {
            if (record.here && m_changedValues.contains(record.here))
                sifted.insert(record.here, record.there);
        }
        for (XsdtNode *node : std::as_const(m_changedValues)) {
            if (!node->isDeleted() && !sifted.contains(node))
                return false;
        }
    }
    std::vector<int> &positions = currentList();
    QHash<XsdtNode *, size_t> slotOf;
    for (size_t slot = 0; slot < positions.size(); ++slot) {
        XsdtNode *here = m_records[positions[slot]].here;
        if (here && m_changedValues.contains(here))
            slotOf.insert(here, slot);
    }
    for (XsdtNode *node : std::as_const(m_changedValues)) {
        if (node->isDeleted())
            continue;
        DiffRecord record{node, sifted.value(node)};
        const bool differs = m_other->index ? m_other->index->recordFor(node, m_ranks, &record)
                                            : !record.there || !sameValue(*node, *record.there);
        const auto hit = slotOf.constFind(node);
        if (hit != slotOf.constEnd()) {
            const int position = positions[*hit];
            if (differs) {
                m_records[position] = record;
                m_verdicts[size_t(position)] = -1; // it may hold the other value by now
                patch->changed.insert(position);
            } else {
                patch->removed.insert(position);
            }
        } else if (differs) {
            // A value that now differs joins the records at its place in document order,
            // among this file's entries, which all come before the other file's.
            const int position = int(m_records.size());
            m_records.append(record);
            m_noise.push_back(-1);
            m_verdicts.push_back(-1);
            m_groups.push_back(-1);
            const auto hereEnd =
                std::partition_point(positions.begin(), positions.end(), [this](int p) {
                    return m_records[p].kind() != DiffRecord::OnlyThere;
                });
            const auto at = std::lower_bound(
                positions.begin(), hereEnd, node,
                [this](int p, const XsdtNode *n) { return documentOrder(m_records[p].here, n); });
            positions.insert(at, position);
            patch->added = true;
        }
    }
    m_changedValues.clear();
    if (!patch->removed.isEmpty()) {
        positions.erase(std::remove_if(positions.begin(), positions.end(),
                                       [&](int p) { return patch->removed.contains(p); }),
                        positions.end());
    }
    return true;
}

Comparison::Positions Comparison::current() const
{
    if (m_currentAll)
        return Positions(nullptr, size_t(m_records.size()));
    return Positions(m_current.data(), m_current.size());
}

std::vector<int> &Comparison::currentList()
{
    if (std::exchange(m_currentAll, false)) {
        m_current.resize(size_t(m_records.size()));
        std::iota(m_current.begin(), m_current.end(), 0);
    }
    return m_current;
}

bool Comparison::isNoise(int position)
{
    signed char &known = m_noise[size_t(position)];
    if (known < 0)
        known = m_policy && noiseByRules(*m_policy, m_records[position].node());
    return known;
}

qsizetype Comparison::groupCut(QStringView path)
{
    // Preferences sit one level deeper than everything else, so they get one more level.
    const int wanted = path.startsWith(QLatin1String("Global/Preferences/")) ? 3 : 2;
    qsizetype cut = -1;
    for (int depth = 0; depth < wanted; ++depth) {
        const qsizetype next = path.indexOf(QLatin1Char('/'), cut + 1);
        if (next < 0)
            break;
        cut = next;
    }
    return cut;
}

int Comparison::groupOf(int position)
{
    if (position < m_runsEnd) {
        const auto runEnd = [this](size_t run) {
            return run + 1 < m_groupRuns.size() ? m_groupRuns[run + 1].first : m_runsEnd;
        };
        if (m_groupRuns[m_lastRun].first > position || position >= runEnd(m_lastRun)) {
            const auto after = std::upper_bound(
                m_groupRuns.begin(), m_groupRuns.end(), position,
                [](int p, const std::pair<int, int> &run) { return p < run.first; });
            m_lastRun = size_t(after - m_groupRuns.begin()) - 1;
        }
        return m_groupRuns[m_lastRun].second;
    }
    int &group = m_groups[size_t(position - m_runsEnd)];
    if (group < 0)
        group = GroupNumbers(m_groupLabels, m_groupByLabel).of(m_records[position].path());
    return group;
}

// The value check every editor goes through, asked before the copy: a question must name the
// number that will be copied, not the number of rows that differ. A value is copied only when
// it is stored exactly as the other file holds it, so that the two compare equal afterwards.
CopyVerdict Comparison::verdict(int position) const
{
    signed char &known = m_verdicts[size_t(position)];
    if (known < 0)
        known = qint8(verdictOf(m_records[position]));
    return CopyVerdict(known);
}

CopyVerdict Comparison::verdictOf(const DiffRecord &record) const
{
    static const Schema noSchema;
    CopyVerdict verdict = CopyVerdict::Copyable;
    QString normalized;
    if (record.kind() != DiffRecord::Different)
        verdict = CopyVerdict::OneSide;
    else if (record.here->isDeleted())
        verdict = CopyVerdict::Queued;
    // The other side must be a plain value too: a compressed value's text is a summary, and a
    // block's text is encoded data, neither of which belongs in an editable entry.
    else if (!record.here->isEditable() || !record.there->isEditable())
        verdict = CopyVerdict::Protected;
    else if (m_policy && m_policy->isKeptFromCopies(record.here))
        verdict = CopyVerdict::Rules;
    else if (record.here->type != record.there->type)
        verdict = CopyVerdict::TypeDiffers;
    if (verdict != CopyVerdict::Copyable)
        return verdict;
    // The value check validates the text as the type's own check does, so the plain type check
    // runs apart only for a value it turns down: a million records are checked at 50 MB. The
    // rules' lock was asked above already.
    const QString there = record.there->value;
    if (checkNewValue(record.here, there, m_schema ? *m_schema : noSchema, nullptr, &normalized)) {
        if (normalized == record.here->value)
            return CopyVerdict::AlreadySame;
        return normalized == there ? CopyVerdict::Copyable : CopyVerdict::Inexact;
    }
    if (!validateValue(record.here->type, there, &normalized))
        return CopyVerdict::Invalid;
    return normalized == record.here->value ? CopyVerdict::AlreadySame : CopyVerdict::Refused;
}

QString Comparison::copyText(int position) const
{
    // Copyable means stored exactly as the other file holds it.
    return verdict(position) == CopyVerdict::Copyable ? m_records[position].there->value.toString()
                                                      : QString();
}

// The reasons that name nothing but the entries' types, made once: a listing of a large
// comparison gives one for each of hundreds of thousands of records.
struct Comparison::Reasons
{
    static constexpr char16_t kTypes[] = u"biuFfstB";
    static constexpr int kTypeCount = int(std::size(kTypes)) - 1;

    static int typeIndex(QChar type)
    {
        const auto found = std::find(kTypes, kTypes + kTypeCount, type.unicode());
        return found == kTypes + kTypeCount ? -1 : int(found - kTypes);
    }
    static QString protectedType(bool mine, QChar type)
    {
        return mine
                   ? tr("this file's entry is of the protected type %1.").arg(typeDisplayName(type))
                   : tr("the other file's entry is of the protected type %1.")
                         .arg(typeDisplayName(type));
    }
    static QString typesDiffer(QChar here, QChar there)
    {
        return tr("the entries have different types (%1 in this file, %2 in the other).")
            .arg(typeDisplayName(here), typeDisplayName(there));
    }

    Reasons()
    {
        for (int a = 0; a < kTypeCount; ++a) {
            protectedHere[a] = protectedType(true, kTypes[a]);
            protectedThere[a] = protectedType(false, kTypes[a]);
            for (int b = 0; b < kTypeCount; ++b)
                typeDiffers[a][b] = typesDiffer(kTypes[a], kTypes[b]);
        }
    }

    const QString oneSide = tr("the entry exists in one of the files only.");
    const QString compressedHere =
        tr("this file's entry is compressed data, shown for reference only.");
    const QString compressedThere =
        tr("the other file's value is compressed data, shown for reference only.");
    const QString locked = tr("the rules lock this entry against editing: it is part of the "
                              "module registry or version records.");
    const QString neverCopied = tr("the rules never copy this entry between files: it belongs to "
                                   "one PixInsight installation.");
    const QString queued = tr("this file's entry is marked for deletion.");
    const QString alreadySame =
        tr("copying would not change this file's value; the two differ only in spelling.");
    QString protectedHere[kTypeCount];
    QString protectedThere[kTypeCount];
    QString typeDiffers[kTypeCount][kTypeCount];
};

const Comparison::Reasons &Comparison::reasons() const
{
    std::call_once(m_reasonsMade, [this] { m_reasons = std::make_unique<const Reasons>(); });
    return *m_reasons;
}

QString Comparison::whyNot(const DiffRecord &record, CopyVerdict verdict) const
{
    static const Schema noSchema;
    const Reasons &texts = reasons();
    QString why;
    switch (verdict) {
    case CopyVerdict::Copyable:
        return QString();
    case CopyVerdict::OneSide:
        return texts.oneSide;
    case CopyVerdict::Protected: {
        // The side that stops it, this file's first: that is the entry a copy would write.
        const bool mine = !record.here->isEditable();
        const XsdtNode *node = mine ? record.here : record.there;
        if (!node->compression().isEmpty())
            return mine ? texts.compressedHere : texts.compressedThere;
        const int type = Reasons::typeIndex(node->type);
        if (type < 0)
            return Reasons::protectedType(mine, node->type);
        return mine ? texts.protectedHere[type] : texts.protectedThere[type];
    }
    case CopyVerdict::Rules:
        if (m_policy && m_policy->isEditLocked(record.here))
            return texts.locked;
        return texts.neverCopied;
    case CopyVerdict::Queued:
        return texts.queued;
    case CopyVerdict::TypeDiffers: {
        const int here = Reasons::typeIndex(record.here->type);
        const int there = Reasons::typeIndex(record.there->type);
        if (here < 0 || there < 0)
            return Reasons::typesDiffer(record.here->type, record.there->type);
        return texts.typeDiffers[here][there];
    }
    case CopyVerdict::Invalid:
        validateValue(record.here->type, record.there->value, nullptr, &why);
        return tr("the other file's value does not fit this file's entry. %1").arg(why);
    case CopyVerdict::Inexact: {
        QString stored;
        validateValue(record.here->type, record.there->value, &stored);
        return tr("the other file's value would be stored as %1, so the two would still differ.")
            .arg(stored);
    }
    case CopyVerdict::AlreadySame:
        return texts.alreadySame;
    case CopyVerdict::Refused:
        checkNewValue(record.here, record.there->value, m_schema ? *m_schema : noSchema, m_policy,
                      nullptr, &why);
        return why;
    }
    return QString();
}

Comparison::CopyPlan Comparison::planCopy(const QList<int> &positions) const
{
    // The other file's texts are copied: sharing its blocks would keep all of its text in
    // memory for as long as the copy can be undone. Copied into small blocks of their own, a
    // few hundred thousand of them cost no allocation each.
    constexpr qsizetype kLongest = 1024;
    ByteBlocks latin1(kLongest);
    StringBlocks utf16(kLongest);
    const auto own = [&](const XsdtText &text) {
        if (text.isEmpty())
            return text; // holds no block, and stays null or empty as it was
        return text.visit([&](auto view) {
            if constexpr (std::is_same_v<decltype(view), QLatin1String>)
                return XsdtText::fromLatin1(latin1.copy(view));
            else
                return XsdtText(utf16.copy(view));
        });
    };
    CopyPlan plan;
    for (int position : positions) {
        const CopyVerdict kind = verdict(position);
        ++plan.counts[int(kind)];
        if (kind == CopyVerdict::Copyable)
            plan.values.emplace_back(m_records[position].here,
                                     own(m_records[position].there->value));
    }
    return plan;
}

QString Comparison::notCopiedText(const int (&counts)[kCopyVerdicts])
{
    QStringList parts;
    const auto add = [&](CopyVerdict verdict, const char *text) {
        if (const int n = counts[int(verdict)]; n > 0)
            parts << tr(text, nullptr, n);
    };
    add(CopyVerdict::OneSide, QT_TR_NOOP("%Ln only in one of the files"));
    add(CopyVerdict::Protected, QT_TR_NOOP("%Ln of a protected type or compressed"));
    add(CopyVerdict::Rules, QT_TR_NOOP("%Ln kept by the rules"));
    add(CopyVerdict::Queued, QT_TR_NOOP("%Ln marked for deletion"));
    add(CopyVerdict::TypeDiffers, QT_TR_NOOP("%Ln of a different type"));
    add(CopyVerdict::Invalid, QT_TR_NOOP("%Ln not valid for the type of this file's entry"));
    add(CopyVerdict::Inexact, QT_TR_NOOP("%Ln not stored exactly as written there"));
    add(CopyVerdict::AlreadySame, QT_TR_NOOP("%Ln already equal in value"));
    add(CopyVerdict::Refused, QT_TR_NOOP("%Ln refused by the value check"));
    return parts.join(QStringLiteral("; "));
}

QString Comparison::verdictName(CopyVerdict verdict)
{
    static const char *const names[] = {"copyable",    "oneSide",     "protected", "rules",
                                        "queued",      "typeDiffers", "invalid",   "inexact",
                                        "alreadySame", "refused"};
    static_assert(std::size(names) == kCopyVerdicts);
    return QLatin1String(names[int(verdict)]);
}

} // namespace vrn
