#pragma once

#include "document/xsdtdocument.h"
#include "document/xsdtkey.h"
#include "document/xsdttext.h"

#include <QHash>
#include <QList>
#include <QString>

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <utility>
#include <vector>

namespace vrn {

// One value entry in which two settings documents differ. It holds no path of its own: two
// large unrelated files differ in a million values, and their paths weighed more than either
// file. The path is made when asked, from the entry's keys, and the kind from the sides that
// exist, so that a record is two pointers.
struct DiffRecord
{
    enum Kind { Different = 0, OnlyHere = 1, OnlyThere = 2 };

    XsdtNode *here = nullptr;  // the entry in this document; null for OnlyThere
    XsdtNode *there = nullptr; // the entry in the other document; null for OnlyHere

    Kind kind() const { return !here ? OnlyThere : !there ? OnlyHere : Different; }

    const XsdtNode *node() const { return here ? here : there; }
    // The keys joined by "/", the same on both sides.
    QString path() const;
};

// Whether two values are the same to a comparison: type, text and any compressed blocks.
bool sameValue(const XsdtNode &a, const XsdtNode &b);

// The value entries of `here` that differ from `there` or are missing there, in document
// order, followed by the entries found only in `there`, in its document order. Entries queued
// for deletion take no part. A path held more than once is paired by rank: the k-th entry of a
// path here with the k-th entry of that path there; the entries left over on either side are
// "only here" or "only there". Changes neither document.
QList<DiffRecord> compareDocuments(const XsdtDocument &here, const XsdtDocument &there);

// What a comparison reads of this document, taken while nothing changes it so that the
// comparison can run on a worker while the document stays open to edits. Keys and values are
// shared strings, so taking it is one walk that copies no text. Entries queued for deletion are
// left out with everything below them; the nodes themselves are only carried along, never read
// again.
class DocumentOutline
{
public:
    DocumentOutline() = default;
    explicit DocumentOutline(const XsdtDocument &document);
    // The outline, taken on a worker; none when `stop` was set before it was complete.
    static std::shared_ptr<DocumentOutline> take(const XsdtDocument &document,
                                                 const std::atomic_bool &stop);
    qsizetype size() const { return qsizetype(m_entries.size()); }
    // The entries left out for being queued for deletion, without those below them.
    const std::vector<XsdtNode *> &queued() const { return m_queued; }

private:
    friend class DocumentComparison;
    // 48 bytes: a 50 MB file has a million.
    struct Entry
    {
        XsdtNode *node = nullptr;
        XsdtKey key;
        XsdtText value; // shares the node's text, Latin-1 as it is kept there
        union {
            quint32 end;            // for a group, the entry after the last one below it
            qint32 compressed = -1; // for a value, algorithm and blocks in m_compressed
        };
        QChar type;
        bool group = false;
    };
    void add(const XsdtNode *group);
    // Lets go of the entries before `end`, which a walk has done with: their share of the
    // strings, and the memory they took, given back at once.
    void letGoBefore(size_t end);
    const std::atomic_bool *m_stop = nullptr;
    size_t m_letGo = 0;       // the entries before it are let go
    quintptr m_givenBack = 0; // the memory of m_entries before it is given back
    bool m_stopped = false;
    std::vector<Entry> m_entries;
    std::vector<std::pair<QString, QString>> m_compressed;
    std::vector<XsdtNode *> m_queued;
};

// This document's values that are not the first of their path, with their rank, as one
// comparison found them: few in any real file, and enough to pair an edited value again.
using HereRanks = QHash<const XsdtNode *, qint32>;

// The other document indexed once, for comparing a document that changes against it again
// and again: after an edit of one value only that value's record needs to be made anew. The
// index does not change once built, so comparisons may run on it from several threads.
class DocumentComparison
{
public:
    explicit DocumentComparison(const XsdtDocument &there);
    ~DocumentComparison();
    DocumentComparison(const DocumentComparison &) = delete;
    DocumentComparison &operator=(const DocumentComparison &) = delete;

    // A record as the walk makes it, with its path, which is valid only during the call.
    using RecordSink = std::function<void(const DiffRecord &, QStringView path)>;

    // The same records as compareDocuments(here, there); `ranks` receives the pairing for
    // recordFor(). Gives up, returning nothing, soon after `cancelled` is set; `done` counts
    // the entries of `here` walked so far. `seen`, when given, is handed each record kept.
    // The outline is used up on the way, so that it and the records are never both whole.
    QList<DiffRecord> compare(DocumentOutline &here, HereRanks *ranks = nullptr,
                              const std::atomic_bool *cancelled = nullptr,
                              std::atomic<qint64> *done = nullptr,
                              const RecordSink &seen = {}) const;
    // The same, walking `here` itself while nothing changes it; `queued` receives the entries
    // left out for being queued for deletion, as the outline's queued().
    QList<DiffRecord> compare(const XsdtDocument &here, HereRanks *ranks = nullptr,
                              std::vector<XsdtNode *> *queued = nullptr) const;
    // The same on a worker, while the owner of `here` waits to change it: gives up, returning
    // nothing, soon after `cancelled` or `released` is set. `done` counts the entries walked,
    // of `total`, which is told first.
    QList<DiffRecord> compare(const XsdtDocument &here, HereRanks *ranks,
                              std::vector<XsdtNode *> *queued, const std::atomic_bool &cancelled,
                              const std::atomic_bool &released, std::atomic<qint64> *done,
                              std::atomic<qint64> *total, const RecordSink &seen) const;
    // The same records handed to `take` one by one, in the same order, and kept nowhere: a
    // listing of two large unrelated files would otherwise hold more than both files. Returns
    // the number of records.
    qint64 forEachRecord(const XsdtDocument &here, const RecordSink &take) const;
    // The same records as the compare() above against a file read bit by bit: `read` is handed
    // the sieve to read it with, which keeps of it only the values the records point at and the
    // groups holding them, so that the other file never stands whole beside `here`. `here` is
    // indexed instead, and read until the records are made; `read` returns false when the file
    // does not read or the sieve stopped it, and then so does this, with no records. `hold`,
    // when given, is locked from when `here` is first read, after the file's text was checked,
    // and left locked unless the comparison is cut short; then it is unlocked as soon as the
    // sieve stops the reading, before the reader frees what it read.
    using Read = std::function<bool(const XsdtDocument::Sieve &)>;
    static bool compareSifted(const XsdtDocument &here, const Read &read,
                              QList<DiffRecord> *records, std::vector<XsdtNode *> *queued,
                              const std::atomic_bool &cancelled, const std::atomic_bool &released,
                              const RecordSink &seen, std::unique_lock<std::mutex> *hold = nullptr);
    // The other document's values that take part: with the entries of `here` walked, the most
    // records a comparison can make.
    qsizetype valueCount() const;
    // The record the comparison makes for one value of `here` that takes part in it (not
    // queued for deletion); false when that value is the same in the other document. Pairs
    // the value as the compare() that gave `ranks` did, so no entry of `here` may have been
    // queued, unqueued, added or removed since.
    bool recordFor(XsdtNode *value, const HereRanks &ranks, DiffRecord *record) const;

private:
    class Index;
    std::unique_ptr<Index> m_index;
};

} // namespace vrn
