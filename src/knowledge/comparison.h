#pragma once

#include "knowledge/compare.h"

#include <QByteArray>
#include <QHash>
#include <QList>
#include <QObject>
#include <QSet>
#include <QString>
#include <QStringList>

#include <atomic>
#include <cstddef>
#include <functional>
#include <iterator>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vrn {

class BackgroundJob;
class DeletionPolicy;
class FileBytes;
class Schema;

// What copying the other file's value into this file would do with one record, worked out
// before anything is written so that a question, a result and varnelctl tell the same story.
enum class CopyVerdict : signed char {
    Copyable,    // the other file's text is stored as it stands
    OneSide,     // exists in one of the files only
    Protected,   // a protected type or compressed data, on either side
    Rules,       // the rules never copy it (specific to one installation) or lock it
    Queued,      // this file's entry is marked for deletion
    TypeDiffers, // the two entries are of different types
    Invalid,     // the other file's text is not valid for this entry's type
    Inexact,     // it would be stored in another spelling, so the two would still differ
    AlreadySame, // differs in spelling only; copying would not change this file's value
    Refused,     // the value check turns it down (range, options, read-only)
};
constexpr int kCopyVerdicts = int(CopyVerdict::Refused) + 1;

// The comparison of this settings document with another one, shared by the Compare page,
// varnelctl and the history of versions: the records in which the two differ (a path held more
// than once pairs its k-th entries), whether each is noise by the rules, its group, and what
// copying the other file's value would do. The other side is two documents at hand, or a file
// or its bytes read on a worker with progress and cancel; the records are then patched after
// small edits of this document instead of being made anew.
class Comparison : public QObject
{
    Q_OBJECT

public:
    explicit Comparison(QObject *parent = nullptr);
    ~Comparison() override;

    // The rules the verdicts and noise come from; either may be null (then only the types are
    // checked). Both must outlive the comparison.
    void setRules(const DeletionPolicy *policy, const Schema *schema);

    // Compares here with there now, on this thread. `there` must outlive the records.
    void compare(const XsdtDocument &here, const XsdtDocument &there);
    // Reads the file (or takes its bytes) and compares `here` with it on a worker; finished()
    // or failed() follows. `here` is outlined at once (or walked by the worker, see below) and
    // may be edited meanwhile: the edits are then noted, and the caller compares again once
    // this is done.
    void startWithFile(const XsdtDocument &here, const QString &path);
    // Reads the other side's bytes whole, in place of what `bytes` held; false with the reason.
    using ReadWhole = std::function<bool(FileBytes *bytes, QString *error)>;
    // The bytes are given back as they are read, so such a run is never started again. Bytes
    // still to be filled (FileBytes::fillFrom) are filled as the reader comes to them, and read
    // whole by `readWhole` when that was cut short.
    void startWithBytes(const XsdtDocument &here, std::shared_ptr<FileBytes> bytes,
                        const QString &path, ReadWhole readWhole = {});
    // Compares `here` again with the other side read last, on a worker.
    void startAgain(const XsdtDocument &here);
    // Lets the worker walk `here` itself instead of an outline taken at once, so that a large
    // document costs its owner nothing to compare and no copy of it is held; the owner then
    // calls releaseDocument() before anything changes `here` or lets it go (cancel() and
    // clear() do so too).
    void setOutlineOnWorker(bool onWorker);
    // Waits until the worker no longer reads this document; a walk cut short makes the run
    // under way end without records, to be compared again.
    void releaseDocument();
    // For comparisons looked at only through their records, never patched or compared again
    // (one version against another): once compared, the worker keeps of the other document it
    // read only the entries the records point at and those that hold them, and the same of
    // `here` when given, which must be the document compared, walked on the worker and read by
    // nothing else meanwhile.
    void keepOnlyRecords(bool only, XsdtDocument *here = nullptr);
    // Gives up the run under way; its result is dropped and the other side read before stays.
    void cancel();
    // Forgets the other side and every record.
    void clear();
    // Forgets the records and keeps the other side, for a document that goes away.
    void clearRecords();
    bool isRunning() const;
    // Runs an update that is due, waits for the run under way and takes its result now
    // (screenshots, tests).
    void finishNow();
    // Waits for the worker without taking its result, which comes through the event loop.
    void waitForWorker();
    // Entries of this document walked so far, and in all, for a progress bar.
    qint64 progressDone() const;
    qint64 progressTotal() const;

    // The file compared with (or being read), and whether another side is at hand.
    QString otherPath() const { return m_otherPath; }
    QString runningPath() const { return m_runningPath; }
    bool hasOther() const { return bool(m_other); }
    const XsdtDocument *otherDocument() const;

    // Every record of the last comparison; a value that stops differing leaves its record
    // behind, so positions stay valid until the next full comparison.
    const QList<DiffRecord> &records() const { return m_records; }
    // Positions of records in order: all of them until a patch leaves some out or adds some,
    // so that a comparison of a million records needs no list of them before then.
    class Positions
    {
    public:
        class Iterator
        {
        public:
            using iterator_category = std::forward_iterator_tag;
            using value_type = int;
            using difference_type = std::ptrdiff_t;
            using pointer = const int *;
            using reference = int;

            Iterator(const int *list, size_t at)
                : m_list(list)
                , m_at(at)
            {}
            int operator*() const { return m_list ? m_list[m_at] : int(m_at); }
            Iterator &operator++()
            {
                ++m_at;
                return *this;
            }
            bool operator==(const Iterator &other) const { return m_at == other.m_at; }
            bool operator!=(const Iterator &other) const { return m_at != other.m_at; }

        private:
            const int *m_list;
            size_t m_at;
        };

        Positions(const int *list, size_t count)
            : m_list(list)
            , m_count(count)
        {}
        Iterator begin() const { return Iterator(m_list, 0); }
        Iterator end() const { return Iterator(m_list, m_count); }
        size_t size() const { return m_count; }
        bool empty() const { return m_count == 0; }
        int front() const { return *begin(); }

    private:
        const int *m_list; // null: every position from 0 on
        size_t m_count;
    };
    // The records that still differ, in display order.
    Positions current() const;
    // Statistics, window state and generated lists, by the rules.
    bool isNoise(int position);
    // The group a record is listed under: its path's first keys, one more below
    // "Global/Preferences/"; an empty label for a value at the top level.
    int groupOf(int position);
    const QStringList &groupLabels() const { return m_groupLabels; }
    // Where the group part of a path ends (its "/"), or -1 at the top level.
    static qsizetype groupCut(QStringView path);

    CopyVerdict verdict(int position) const;
    // The same for a record kept elsewhere (a listing handed out record by record).
    CopyVerdict verdictOf(const DiffRecord &record) const;
    // The text a Copyable record's copy stores.
    QString copyText(int position) const;
    // Why a record cannot be copied, as a sentence for the user; empty when it can.
    QString whyNot(int position) const { return whyNot(m_records[position], verdict(position)); }
    QString whyNot(const DiffRecord &record, CopyVerdict verdict) const;
    struct CopyPlan
    {
        std::vector<std::pair<XsdtNode *, XsdtText>> values; // node and the text to store
        int counts[kCopyVerdicts] = {};                      // the records by verdict
    };
    CopyPlan planCopy(const QList<int> &positions) const;
    // "12 marked for deletion; 3 of a different type": the records not copied, by reason.
    static QString notCopiedText(const int (&counts)[kCopyVerdicts]);
    // The verdict's name in varnelctl's JSON.
    static QString verdictName(CopyVerdict verdict);

    // This document changed since the comparison: one value, or anything else (marks, a reset).
    void noteValueChanged(XsdtNode *value);
    void noteOtherChange() { m_needsFull = true; }
    bool hasChanges() const { return m_needsFull || !m_changedValues.isEmpty(); }
    // The records made anew for the values noted: rows to repaint, rows gone, and whether
    // records were added (then the list is shown again). False when only a full comparison
    // can tell; the notes are kept for it.
    struct Patch
    {
        QSet<int> changed;
        QSet<int> removed;
        bool added = false;
    };
    bool patch(Patch *patch);

    // After changes were noted, a turn later (so that a burst of edits is taken in once): the
    // records are patched (patched()), or updateNeeded() asks the owner to compare again.
    void scheduleUpdate();
    // While this document is read or saved it is about to change: updates wait until let go.
    void hold(bool hold);
    // An update asked for has yet to run.
    bool isUpdateDue() const { return m_updatePending || m_heldUpdate; }

signals:
    void patched(const vrn::Comparison::Patch &patch);
    void updateNeeded();
    void finished();
    // The other file could not be read or is no settings file; it is forgotten.
    void failed(const QString &error);

private:
    struct Other;
    struct Outcome;
    struct Reading;
    struct Reasons;
    const Reasons &reasons() const;
    void take(std::shared_ptr<Other> other, QList<DiffRecord> records, HereRanks ranks);
    void start(const XsdtDocument &here, const QString &path, std::shared_ptr<const Other> other,
               std::shared_ptr<FileBytes> bytes, ReadWhole readWhole);
    void takeOutcome(Outcome &outcome);
    void runUpdate();

    const DeletionPolicy *m_policy = nullptr;
    const Schema *m_schema = nullptr;
    std::unique_ptr<BackgroundJob> m_job;
    std::shared_ptr<std::atomic<qint64>> m_progressDone;
    std::shared_ptr<std::atomic<qint64>> m_progressTotal;
    bool m_outlineOnWorker = false;
    bool m_recordsOnly = false;
    XsdtDocument *m_hereToPrune = nullptr;
    std::shared_ptr<Reading> m_reading;
    QString m_otherPath;
    QString m_runningPath;
    std::shared_ptr<const Other> m_other;
    QList<DiffRecord> m_records;
    HereRanks m_ranks;
    // The records that still differ, when not all of them do.
    std::vector<int> m_current;
    bool m_currentAll = false;
    std::vector<int> &currentList();
    // Per record, worked out when first needed: -1 not yet known, else 0 or 1.
    std::vector<signed char> m_noise;
    // The groups in m_groupLabels of the records before m_runsEnd, as runs: a walk gives the
    // records in document order, so that those of a group mostly follow one another. Each run
    // is its first record and its group; m_lastRun is the run a listing in order asked last.
    std::vector<std::pair<int, int>> m_groupRuns;
    int m_runsEnd = 0;
    size_t m_lastRun = 0;
    // Per record from m_runsEnd on, its group, or -1 when not known yet.
    std::vector<int> m_groups;
    QStringList m_groupLabels;
    QHash<QString, int> m_groupByLabel;
    // Per record, its verdict (-1 not yet known): checked once, for the question, and not
    // again for each of thousands of values copied.
    mutable std::vector<signed char> m_verdicts;
    mutable std::once_flag m_reasonsMade;
    mutable std::unique_ptr<const Reasons> m_reasons;
    QSet<XsdtNode *> m_changedValues;
    bool m_needsFull = false;
    QSet<XsdtNode *> m_queuedAtCompare;
    bool m_updatePending = false;
    bool m_held = false;
    bool m_heldUpdate = false; // asked for while held
    int m_holdChanges = 0;
};

} // namespace vrn
