#include "knowledge/compare.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"

#include <QHash>
#include <QStringView>
#include <QVarLengthArray>

#include <algorithm>
#include <cstdlib>
#include <mutex>
#include <new>
#include <optional>
#include <utility>
#include <vector>

#ifdef Q_OS_LINUX
#include <sys/mman.h>
#include <unistd.h>
#endif

namespace vrn {

namespace {

// The other document's paths as a tree of keys: one entry per distinct path, each found by
// (parent entry, key). Hashing one short key per level is much cheaper than building and
// hashing every full path, and groups that occur twice merge into one entry as their paths
// do. A plain open-addressing table sized once keeps a 50 MB file's million lookups cheap; it
// is mapped onto its slots by multiplication rather than a power-of-two mask, so that it is
// filled to four fifths instead of a quarter to a half.
class PathIndex
{
public:
    explicit PathIndex(size_t expected)
        : m_capacity(std::max<size_t>(16, expected + expected / 4 + 1))
        , m_slots(static_cast<Slot *>(std::calloc(m_capacity, sizeof(Slot))))
    {
        if (!m_slots)
            throw std::bad_alloc();
        m_first.reserve(expected + 1);
        m_first.push_back(nullptr); // entry 0 stands for the root
    }

    // The entry of `key` below `parent`, or -1.
    qint32 find(qint32 parent, QStringView key) const
    {
        const quint64 h = hash(parent, key);
        for (size_t i = start(h);; i = next(i)) {
            const Slot &slot = m_slots[i];
            if (slot.id == 0)
                return -1;
            if (slot.parent == parent && m_first[size_t(slot.id)]->key.view() == key)
                return slot.id;
        }
    }

    // The entry of `node`'s key below `parent`, made for it when there is none yet. Ids are
    // given in turn from 1, and the node must outlive the index.
    qint32 findOrAdd(qint32 parent, XsdtNode *node)
    {
        const quint64 h = hash(parent, node->key.view());
        for (size_t i = start(h);; i = next(i)) {
            Slot &slot = m_slots[i];
            if (slot.id == 0) {
                slot = Slot{parent, qint32(m_first.size())};
                m_first.push_back(node);
                return slot.id;
            }
            if (slot.parent == parent && m_first[size_t(slot.id)]->key.view() == node->key.view())
                return slot.id;
        }
    }

    qint32 size() const { return qint32(m_first.size()); }
    // The first node of the other document with the entry's path, a group or a value.
    XsdtNode *first(qint32 id) const { return m_first[size_t(id)]; }

private:
    // Eight bytes, for a table of a million slots and more at 50 MB; the key is looked up by id
    // only for a slot of the same parent, which siblings seldom share.
    struct Slot
    {
        qint32 parent;
        qint32 id; // 0, which stands for the root and is never looked up: free
    };
    struct FreeSlots
    {
        void operator()(Slot *table) const { std::free(table); }
    };

    static quint64 hash(qint32 parent, QStringView key)
    {
        quint64 h = 0xcbf29ce484222325ULL ^ (quint64(quint32(parent)) * 0x9e3779b97f4a7c15ULL);
        for (QChar c : key)
            h = (h ^ c.unicode()) * 0x100000001b3ULL;
        h ^= h >> 29;
        h *= 0xbf58476d1ce4e5b9ULL;
        return h ^ (h >> 32);
    }
    size_t start(quint64 h) const { return size_t((quint64(quint32(h)) * m_capacity) >> 32); }
    size_t next(size_t i) const { return i + 1 == m_capacity ? 0 : i + 1; }

    size_t m_capacity;
    // From calloc, which hands a large table over as zeroed pages without writing them: at
    // 300 MB it is 60 MB, which filled at once would keep the document it indexes from its
    // owner for 20 ms; so it is written slot by slot by the walk that looks whether to stop.
    std::unique_ptr<Slot[], FreeSlots> m_slots;
    // By id: the node that gave the entry its key, which doubles as the path's only value in
    // nearly every file, so that no list of values by path is needed.
    std::vector<XsdtNode *> m_first;
};

size_t countNodes(const XsdtNode *node)
{
    size_t count = node->children.size();
    for (const auto &child : node->children)
        count += countNodes(child.get());
    return count;
}

// The entries a walk of this document passes: the children of every group that takes part.
qint64 entriesWalked(const XsdtNode *group)
{
    qint64 count = qint64(group->children.size());
    for (const auto &child : group->children) {
        if (child->isGroup() && !child->pendingDelete)
            count += entriesWalked(child.get());
    }
    return count;
}

// Per entry of the index, how many values with its path a walk has met, which is also the rank
// of the next one: a byte each, as nearly every path holds one value, and the rare count past
// that kept aside.
class MetCounts
{
public:
    explicit MetCounts(size_t entries)
        : m_small(entries, 0)
    {}

    // Counts one more, and tells the count before.
    qint32 next(qint32 id)
    {
        quint8 &small = m_small[size_t(id)];
        if (small < kAside)
            return small++;
        return kAside + m_aside[id]++;
    }
    // Counts one less, when there is one to take.
    bool takeOne(qint32 id)
    {
        quint8 &small = m_small[size_t(id)];
        if (small == kAside) {
            const auto more = m_aside.find(id);
            if (more != m_aside.end() && *more > 0) {
                --*more;
                return true;
            }
        }
        if (small == 0)
            return false;
        --small;
        return true;
    }

private:
    static constexpr quint8 kAside = 255; // from here on the count goes on in m_aside
    std::vector<quint8> m_small;
    QHash<qint32, qint32> m_aside;
};

// Checked every this many entries: a cancelled comparison ends within a few milliseconds.
constexpr quint32 kCheckEvery = 4096;
// The outline's entries walked are let go of this many at a time (3 MB).
constexpr quint32 kLetGoEvery = 65536;

// The same, giving up (and telling 0) soon after `stop` says so: a large document takes a
// tenth of a second to count, which its owner may be waiting for.
size_t countNodes(const XsdtNode *node, const std::function<bool()> &stop, size_t &counted)
{
    size_t count = node->children.size();
    for (const auto &child : node->children) {
        if (counted++ % kCheckEvery == 0 && stop())
            return 0;
        if (!child->children.empty()) {
            const size_t below = countNodes(child.get(), stop, counted);
            if (below == 0)
                return 0;
            count += below;
        }
    }
    return count;
}

} // namespace

class DocumentComparison::Index
{
    friend class DocumentComparison; // compareSifted() builds one once the file's text is checked

public:
    using RecordSink = DocumentComparison::RecordSink;

    explicit Index(const XsdtDocument &there)
        : Index(there, countNodes(&there.root))
    {}

    // Room for every node at once: lists grown by doubling would leave the room they outgrew
    // taken up on a worker's heap. Indexing gives up soon after `stop` is set.
    Index(const XsdtDocument &there, size_t nodeCount, const std::function<bool()> &stop = {})
        : m_root(&there.root)
        , m_index(nodeCount)
        , m_stop(stop ? &stop : nullptr)
    {
        indexThere(&there.root, 0);
        m_stop = nullptr;
        // Each path's further values side by side, in document order.
        std::stable_sort(m_more.begin(), m_more.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
    }

    bool stopped() const { return m_stopped; }

    QList<DiffRecord> run(DocumentOutline &here, HereRanks *ranks,
                          const std::atomic_bool *cancelled, std::atomic<qint64> *done,
                          const RecordSink &seen) const
    {
        Walk walk(size_t(m_index.size()), true, seen ? &seen : nullptr, cancelled, nullptr, done);
        // At most every entry of both: room not filled is never touched.
        walk.records.reserve(here.size() + m_valueCount);
        walkHere(walk, here, 0, quint32(here.m_entries.size()), 0, QString());
        return finish(walk, ranks);
    }

    // The same walk over the document itself, for a comparison made at once on the thread that
    // owns it: nothing can change it meanwhile, so no outline needs to be copied first.
    QList<DiffRecord> run(const XsdtDocument &here, HereRanks *ranks,
                          std::vector<XsdtNode *> *queued, const std::atomic_bool *cancelled,
                          const std::atomic_bool *released, std::atomic<qint64> *done,
                          const RecordSink *seen, qint64 entries) const
    {
        Walk walk(size_t(m_index.size()), true, seen, cancelled, released, done);
        if (entries > 0)
            walk.records.reserve(entries + m_valueCount);
        walkNodes(walk, &here.root, 0, QString(), queued);
        return finish(walk, ranks);
    }

    qint64 run(const XsdtDocument &here, const RecordSink &take) const
    {
        Walk walk(size_t(m_index.size()), false, &take, nullptr, nullptr, nullptr);
        walkNodes(walk, &here.root, 0, QString(), nullptr);
        finish(walk, nullptr);
        return walk.handed;
    }

    qsizetype valueCount() const { return m_valueCount; }

    bool recordFor(XsdtNode *value, const HereRanks &ranks, DiffRecord *record) const
    {
        QVarLengthArray<const XsdtNode *, 16> chain;
        for (const XsdtNode *n = value; n && n->parent; n = n->parent)
            chain.append(n);
        qint32 id = 0;
        for (qsizetype i = chain.size() - 1; i >= 0 && id >= 0; --i)
            id = m_index.find(id, chain[i]->key.view());
        XsdtNode *other = id >= 0 ? pairOf(id, ranks.value(value, 0)) : nullptr;
        if (other && sameValue(*value, *other))
            return false;
        *record = {value, other};
        return true;
    }

private:
    // The rank-th value of the path's entry in the other document, or null.
    XsdtNode *pairOf(qint32 id, qint32 rank) const
    {
        XsdtNode *first = m_index.first(id);
        if (first->isValue()) {
            if (rank == 0)
                return first;
            --rank;
        }
        const auto [from, to] = std::equal_range(m_more.begin(), m_more.end(), id, ByPath());
        return rank < to - from ? from[rank].second : nullptr;
    }

    void indexThere(const XsdtNode *group, qint32 groupId)
    {
        for (const auto &child : group->children) {
            if (m_stop && m_indexed++ % kCheckEvery == 0 && (*m_stop)())
                m_stopped = true;
            if (m_stopped)
                return;
            if (child->pendingDelete)
                continue;
            const qint32 id = m_index.findOrAdd(groupId, child.get());
            if (child->isValue()) {
                ++m_valueCount;
                if (m_index.first(id) != child.get())
                    m_more.emplace_back(id, child.get());
            } else {
                indexThere(child.get(), id);
            }
        }
    }

    // What one comparison keeps while it walks, so that the index itself stays untouched.
    struct Walk
    {
        Walk(size_t entries, bool keep, const RecordSink *take, const std::atomic_bool *cancelled,
             const std::atomic_bool *released, std::atomic<qint64> *done)
            : hereSeen(entries)
            , keep(keep)
            , take(take)
            , cancelled(cancelled)
            , released(released)
            , done(done)
        {}

        // This document's values met so far by path, counted down again as the other
        // document's values with the path are paired.
        MetCounts hereSeen;
        HereRanks ranks;
        QList<DiffRecord> records;
        bool keep; // whether the records go into `records`
        // When set, each record is handed here too, its path built in `scratch`, which keeps
        // its room from one record to the next.
        const RecordSink *take;
        QString scratch;
        const std::atomic_bool *cancelled;
        const std::atomic_bool *released; // the document is about to change
        std::atomic<qint64> *done;
        qint64 steps = 0;
        qint64 listed = 0; // the other document's values listed
        qint64 handed = 0;
        bool stop = false;

        bool stopped() const { return stop; }

        template <typename Path>
        void add(Path path, XsdtNode *here, XsdtNode *there)
        {
            const DiffRecord record{here, there};
            if (keep)
                records.append(record);
            if (!take)
                return;
            scratch.truncate(0);
            path(scratch);
            ++handed;
            (*take)(record, scratch);
        }
    };

    // Builds a record's path in the walk's scratch string.
    struct Joined
    {
        QStringView prefix;
        QStringView key;
        void operator()(QString &scratch) const { scratch.append(prefix).append(key); }
    };
    struct NodePath
    {
        const XsdtNode *node;
        void operator()(QString &scratch) const
        {
            QVarLengthArray<const XsdtNode *, 16> chain;
            for (const XsdtNode *n = node; n && n->parent; n = n->parent)
                chain.append(n);
            for (qsizetype i = chain.size() - 1; i >= 0; --i) {
                scratch.append(chain[i]->key);
                if (i > 0)
                    scratch.append(QLatin1Char('/'));
            }
        }
    };

    static bool sameAsThere(const DocumentOutline &outline, const DocumentOutline::Entry &entry,
                            const XsdtNode &other)
    {
        if (entry.type != other.type || !(other.value == entry.value))
            return false;
        if (entry.compressed < 0)
            return other.compression().isEmpty() && other.compressedText().isEmpty();
        const auto &[algorithm, blocks] = outline.m_compressed[size_t(entry.compressed)];
        return algorithm == other.compression() && blocks == other.compressedText();
    }

    QList<DiffRecord> finish(Walk &walk, HereRanks *ranks) const
    {
        qint32 next = 1;
        if (walk.stopped() || !listThere(walk, m_root, 0, next))
            return {};
        if (ranks)
            *ranks = std::move(walk.ranks);
        return std::move(walk.records);
    }

    // The other document's values that no value of this one met, in its document order: of
    // the values of a path, the first as many as this document has are taken. The entries are
    // met in the order the index gave them out, so a node that is its path's first takes the
    // next one without a look-up. False when the walk is to stop; the owner may be waiting to
    // change this document meanwhile.
    bool listThere(Walk &walk, const XsdtNode *group, qint32 groupId, qint32 &next) const
    {
        for (const auto &child : group->children) {
            if (child->pendingDelete)
                continue;
            const qint32 id = next < m_index.size() && m_index.first(next) == child.get()
                                  ? next++
                                  : m_index.find(groupId, child->key.view());
            if (child->isGroup()) {
                if (!listThere(walk, child.get(), id, next))
                    return false;
                continue;
            }
            if (++walk.listed % kCheckEvery == 0 && stopAsked(walk))
                return false;
            if (!walk.hereSeen.takeOne(id))
                walk.add(NodePath{child.get()}, nullptr, child.get());
        }
        return true;
    }

    static bool stopAsked(const Walk &walk)
    {
        return (walk.cancelled && walk.cancelled->load(std::memory_order_relaxed)) ||
               (walk.released && walk.released->load(std::memory_order_relaxed));
    }

    // Counts one more entry walked; false once the comparison is to stop.
    static bool step(Walk &walk)
    {
        if (++walk.steps % kCheckEvery == 0) {
            if (walk.done)
                walk.done->store(walk.steps, std::memory_order_relaxed);
            if (stopAsked(walk))
                walk.stop = true;
        }
        return !walk.stop;
    }

    // One value of this document met at its path's entry `id` (-1: the other document has no
    // such path). The k-th value of a path here meets the k-th value of that path there: a key
    // written twice (two recent files both named File02) pairs with its own twin and never
    // with the other.
    template <typename Same>
    void meet(Walk &walk, qint32 id, XsdtNode *node, const QString &prefix, QStringView key,
              Same same) const
    {
        XsdtNode *other = nullptr;
        if (id >= 0) {
            const qint32 rank = walk.hereSeen.next(id);
            if (rank > 0)
                walk.ranks.insert(node, rank);
            other = pairOf(id, rank);
        }
        if (!other)
            walk.add(Joined{prefix, key}, node, nullptr);
        else if (!same(*other))
            walk.add(Joined{prefix, key}, node, other);
    }

    // The entries [first, last) of the outline are one group's children. groupId is the other
    // document's entry for this group's path, or -1 when it has none (then nothing below can
    // match either). prefix is the group's path and a "/", built once for all its records.
    // Everything before the entry walked is done with, and is let go of on the way; what a
    // group's entry holds is read before its children are walked.
    void walkHere(Walk &walk, DocumentOutline &here, quint32 first, quint32 last, qint32 groupId,
                  const QString &prefix) const
    {
        for (quint32 i = first; i < last && step(walk);) {
            if (i % kLetGoEvery == 0)
                here.letGoBefore(i);
            const DocumentOutline::Entry &entry = here.m_entries[i];
            const qint32 id = groupId >= 0 ? m_index.find(groupId, entry.key.view()) : -1;
            if (entry.group) {
                const quint32 end = std::max(entry.end, i + 1);
                walkHere(walk, here, i + 1, end, id,
                         prefix + entry.key.toString() + QLatin1Char('/'));
                i = end;
                continue;
            }
            ++i;
            meet(walk, id, entry.node, prefix, entry.key.view(),
                 [&](const XsdtNode &other) { return sameAsThere(here, entry, other); });
        }
    }

    void walkNodes(Walk &walk, const XsdtNode *group, qint32 groupId, const QString &prefix,
                   std::vector<XsdtNode *> *queued) const
    {
        walkEntries(
            walk, group, groupId, prefix, queued,
            [&](const XsdtNode &child, qint32 parentId) {
                return parentId >= 0 ? m_index.find(parentId, child.key.view()) : -1;
            },
            [&](XsdtNode *child, qint32 id, const QString &childPrefix) {
                meet(walk, id, child, childPrefix, child->key.view(),
                     [&](const XsdtNode &other) { return sameValue(*child, other); });
            });
    }

    // The entries of this document that take part, in order: each group's entries with its
    // path as the prefix, each value handed to `value` with its entry. Entries queued for
    // deletion go to `queued`, without what lies below them.
    template <typename IdOf, typename Value>
    void walkEntries(Walk &walk, const XsdtNode *group, qint32 groupId, const QString &prefix,
                     std::vector<XsdtNode *> *queued, IdOf idOf, Value value) const
    {
        for (const auto &child : group->children) {
            if (!step(walk))
                return;
            if (child->pendingDelete) {
                if (queued)
                    queued->push_back(child.get());
                continue;
            }
            const qint32 id = idOf(*child, groupId);
            if (child->isGroup())
                walkEntries(walk, child.get(), id, prefix + child->key + QLatin1Char('/'), queued,
                            idOf, value);
            else
                value(child.get(), id, prefix);
        }
    }

    // A file compared with the indexed document as it is read: the values met so far, and what
    // was kept of them.
    struct Sifting
    {
        explicit Sifting(size_t entries)
            : thereSeen(entries)
        {}
        // The file's values met so far by path: the rank of the next one, and once the file is
        // read, how many of this document's values with the path are paired.
        MetCounts thereSeen;
        // This document's values paired with one of the file's that differs.
        QHash<const XsdtNode *, XsdtNode *> differing;
        std::vector<XsdtNode *> onlyThere; // in the file's order
        // The groups open around the value last met, from the top, with their entries: a group
        // leaves once complete, so that no pointer here outlives its node.
        QVarLengthArray<std::pair<const XsdtNode *, qint32>, 16> groups;
        qint64 steps = 0;
    };

    // What the file's value just read becomes: dropped when equal to the value it pairs with
    // here, kept for a record otherwise. A group just read leaves the open groups.
    XsdtDocument::Sift sift(Sifting &sifting, const XsdtNode &node, const Walk &walk) const
    {
        if (node.isGroup()) {
            for (qsizetype i = 0; i < sifting.groups.size(); ++i) {
                if (sifting.groups[i].first == &node) {
                    sifting.groups.resize(i);
                    break;
                }
            }
            return XsdtDocument::Sift::Drop;
        }
        if (++sifting.steps % kCheckEvery == 0 && stopAsked(walk))
            return XsdtDocument::Sift::Stop;
        const qint32 groupId = groupEntry(sifting, node.parent);
        const qint32 id = groupId >= 0 ? m_index.find(groupId, node.key.view()) : -1;
        XsdtNode *here = id >= 0 ? pairOf(id, sifting.thereSeen.next(id)) : nullptr;
        if (here && sameValue(*here, node))
            return XsdtDocument::Sift::Drop;
        // Read by this worker alone, and the records point into it once it is handed over.
        auto *there = const_cast<XsdtNode *>(&node);
        if (here)
            sifting.differing.insert(here, there);
        else
            sifting.onlyThere.push_back(there);
        return XsdtDocument::Sift::Keep;
    }

    // The records of the file read through sift(), in the order compare() gives them: this
    // document's values in its order, each paired as the file's values met them, then the
    // values only the file holds.
    bool finishSifted(Walk &walk, Sifting &sifting, std::vector<XsdtNode *> *queued) const
    {
        walkPaired(walk, sifting, queued);
        for (XsdtNode *there : sifting.onlyThere) {
            if (++walk.listed % kCheckEvery == 0 && stopAsked(walk))
                return false;
            walk.add(NodePath{there}, nullptr, there);
        }
        return !walk.stopped();
    }

    // The entry of a group of the file being read, from the groups open around the value met
    // before: most values follow one another in one group.
    qint32 groupEntry(Sifting &sifting, const XsdtNode *group) const
    {
        auto &open = sifting.groups;
        if (!open.isEmpty() && open.back().first == group)
            return open.back().second;
        QVarLengthArray<const XsdtNode *, 16> chain; // from the group up, the root left out
        for (const XsdtNode *n = group; n && n->parent; n = n->parent)
            chain.append(n);
        const qsizetype depth = chain.size();
        qsizetype same = 0;
        while (same < open.size() && same < depth && open[same].first == chain[depth - 1 - same])
            ++same;
        open.resize(same);
        qint32 id = same > 0 ? open.back().second : 0;
        for (qsizetype i = depth - 1 - same; i >= 0; --i) {
            id = id >= 0 ? m_index.find(id, chain[i]->key.view()) : -1;
            open.append({chain[i], id});
        }
        return id;
    }

    // This document's values in order after the file was read through sift(): the first as
    // many of a path as the file has are paired, and differ when sift() said so. The entries are
    // met in the order the index gave them out, so a node that is its path's first takes the
    // next one without a look-up.
    void walkPaired(Walk &walk, Sifting &sifting, std::vector<XsdtNode *> *queued) const
    {
        qint32 next = 1;
        walkEntries(
            walk, m_root, 0, QString(), queued,
            [&](const XsdtNode &child, qint32 parentId) {
                return next < m_index.size() && m_index.first(next) == &child
                           ? next++
                           : m_index.find(parentId, child.key.view());
            },
            [&](XsdtNode *child, qint32 id, const QString &prefix) {
                if (!sifting.thereSeen.takeOne(id)) {
                    walk.add(Joined{prefix, child->key.view()}, child, nullptr);
                } else if (!sifting.differing.isEmpty()) {
                    if (XsdtNode *there = sifting.differing.value(child))
                        walk.add(Joined{prefix, child->key.view()}, child, there);
                }
            });
    }

    const XsdtNode *m_root;
    PathIndex m_index;
    const std::function<bool()> *m_stop = nullptr; // while indexing
    size_t m_indexed = 0;
    bool m_stopped = false;
    qsizetype m_valueCount = 0;
    // The values that are not their path's first node (a key written twice), by entry and
    // then in document order.
    std::vector<std::pair<qint32, XsdtNode *>> m_more;
    struct ByPath
    {
        bool operator()(const std::pair<qint32, XsdtNode *> &a, qint32 id) const
        {
            return a.first < id;
        }
        bool operator()(qint32 id, const std::pair<qint32, XsdtNode *> &a) const
        {
            return id < a.first;
        }
    };
};

DocumentOutline::DocumentOutline(const XsdtDocument &document)
{
    m_entries.reserve(countNodes(&document.root));
    add(&document.root);
}

std::shared_ptr<DocumentOutline> DocumentOutline::take(const XsdtDocument &document,
                                                       const std::atomic_bool &stop)
{
    auto outline = std::make_shared<DocumentOutline>();
    outline->m_stop = &stop;
    outline->m_entries.reserve(countNodes(&document.root));
    outline->add(&document.root);
    if (outline->m_stopped)
        return nullptr;
    outline->m_stop = nullptr;
    return outline;
}

void DocumentOutline::add(const XsdtNode *group)
{
    for (const auto &child : group->children) {
        if (m_stop && m_entries.size() % kCheckEvery == 0 &&
            m_stop->load(std::memory_order_relaxed))
            m_stopped = true;
        if (m_stopped)
            return;
        if (child->pendingDelete) {
            m_queued.push_back(child.get());
            continue;
        }
        const size_t at = m_entries.size();
        Entry &entry = m_entries.emplace_back();
        entry.node = child.get();
        entry.key = child->key;
        entry.group = child->isGroup();
        if (entry.group) {
            add(child.get());
            m_entries[at].end = quint32(m_entries.size());
            continue;
        }
        entry.type = child->type;
        entry.value = child->value.text();
        if (!child->compression().isEmpty() || !child->compressedText().isEmpty()) {
            entry.compressed = qint32(m_compressed.size());
            m_compressed.emplace_back(child->compression(), child->compressedText());
        }
    }
}

void DocumentOutline::letGoBefore(size_t end)
{
    end = std::min(end, m_entries.size());
    for (; m_letGo < end; ++m_letGo)
        m_entries[m_letGo] = Entry();
#ifdef Q_OS_LINUX
    // Entries let go of hold nothing to free: the zero bytes these pages read as from now on
    // destroy as harmlessly.
    const auto page = quintptr(sysconf(_SC_PAGESIZE));
    const auto from = std::max(m_givenBack, (quintptr(m_entries.data()) + page - 1) & ~(page - 1));
    const quintptr to = quintptr(m_entries.data() + end) & ~(page - 1);
    if (page > 0 && to > from &&
        madvise(reinterpret_cast<void *>(from), to - from, MADV_DONTNEED) == 0)
        m_givenBack = to;
#endif
}

DocumentComparison::DocumentComparison(const XsdtDocument &there)
    : m_index(std::make_unique<Index>(there))
{}

DocumentComparison::~DocumentComparison() = default;

QList<DiffRecord> DocumentComparison::compare(DocumentOutline &here, HereRanks *ranks,
                                              const std::atomic_bool *cancelled,
                                              std::atomic<qint64> *done,
                                              const RecordSink &seen) const
{
    return m_index->run(here, ranks, cancelled, done, seen);
}

bool DocumentComparison::recordFor(XsdtNode *value, const HereRanks &ranks,
                                   DiffRecord *record) const
{
    return m_index->recordFor(value, ranks, record);
}

QList<DiffRecord> DocumentComparison::compare(const XsdtDocument &here, HereRanks *ranks,
                                              std::vector<XsdtNode *> *queued) const
{
    return m_index->run(here, ranks, queued, nullptr, nullptr, nullptr, nullptr, 0);
}

QList<DiffRecord> DocumentComparison::compare(const XsdtDocument &here, HereRanks *ranks,
                                              std::vector<XsdtNode *> *queued,
                                              const std::atomic_bool &cancelled,
                                              const std::atomic_bool &released,
                                              std::atomic<qint64> *done, std::atomic<qint64> *total,
                                              const RecordSink &seen) const
{
    const qint64 entries = entriesWalked(&here.root);
    if (total)
        total->store(entries);
    return m_index->run(here, ranks, queued, &cancelled, &released, done, seen ? &seen : nullptr,
                        entries);
}

qint64 DocumentComparison::forEachRecord(const XsdtDocument &here, const RecordSink &take) const
{
    return m_index->run(here, take);
}

bool DocumentComparison::compareSifted(const XsdtDocument &here, const Read &read,
                                       QList<DiffRecord> *records, std::vector<XsdtNode *> *queued,
                                       const std::atomic_bool &cancelled,
                                       const std::atomic_bool &released, const RecordSink &seen,
                                       std::unique_lock<std::mutex> *hold)
{
    records->clear();
    const auto stop = [&] { return cancelled.load() || released.load(); };
    // This document is indexed, and held, once the reader has checked the file's text and meets
    // its first element: the check of a large file takes long enough to be felt by an owner
    // waiting to change this document.
    std::optional<Index> index;
    std::optional<Index::Sifting> sifting;
    const auto indexHere = [&] {
        if (index)
            return bool(sifting);
        if (hold)
            hold->lock();
        if (stop())
            return false; // the owner may be changing this document by now
        size_t counted = 0;
        const size_t nodes = countNodes(&here.root, stop, counted);
        if (stop())
            return false;
        index.emplace(here, nodes, stop);
        if (index->stopped() || stop())
            return false;
        sifting.emplace(size_t(index->m_index.size()));
        return true;
    };
    Index::Walk walk(0, true, seen ? &seen : nullptr, &cancelled, &released, nullptr);
    bool cutShort = false;
    const bool wasRead = read([&](const XsdtNode &node) {
        if (cutShort)
            return XsdtDocument::Sift::Stop;
        const XsdtDocument::Sift sifted =
            indexHere() ? index->sift(*sifting, node, walk) : XsdtDocument::Sift::Stop;
        if (sifted == XsdtDocument::Sift::Stop) {
            // Nothing reads this document from here on. The reader still frees what it kept of
            // the file, a tenth of a second at 300 MB, which the owner need not wait for.
            cutShort = true;
            if (hold && hold->owns_lock())
                hold->unlock();
        }
        return sifted;
    });
    if (cutShort || !wasRead || !indexHere() || !index->finishSifted(walk, *sifting, queued)) {
        // Cut short, this document is not read again: the owner waiting to change it need not
        // wait while the index and the pairs of a large file are freed.
        if (hold && hold->owns_lock())
            hold->unlock();
        return false;
    }
    *records = std::move(walk.records);
    return true;
}

qsizetype DocumentComparison::valueCount() const
{
    return m_index->valueCount();
}

// A compressed value's text is only a summary of its blocks, so two different blocks can
// share it: the blocks themselves are compared too.
bool sameValue(const XsdtNode &a, const XsdtNode &b)
{
    return a.type == b.type && a.value == b.value && a.compression() == b.compression() &&
           a.compressedText() == b.compressedText();
}

QString DiffRecord::path() const
{
    const XsdtNode *entry = node();
    return entry ? entry->path() : QString();
}

QList<DiffRecord> compareDocuments(const XsdtDocument &here, const XsdtDocument &there)
{
    return DocumentComparison(there).compare(here);
}

} // namespace vrn
