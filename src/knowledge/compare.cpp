#include "knowledge/compare.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"

#include <QHash>
#include <QStringView>
#include <QVarLengthArray>

#include <algorithm>
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
    {
        m_slots.resize(m_capacity);
        m_keys.reserve(expected + 1);
    }

    // The entry of `key` below `parent`, or -1.
    qint32 find(qint32 parent, QStringView key) const
    {
        const quint64 h = hash(parent, key);
        for (size_t i = start(h);; i = next(i)) {
            const Slot &slot = m_slots[i];
            if (slot.id < 0)
                return -1;
            if (slot.hash == quint32(h >> 32) && slot.parent == parent &&
                m_keys[size_t(slot.id)]->view() == key)
                return slot.id;
        }
    }

    // The entry of `key` below `parent`, made with the id `next` when there is none yet. Ids
    // are given in turn from 1 (0 stands for the root), and `key` must outlive the index.
    qint32 findOrAdd(qint32 parent, const XsdtKey &key, qint32 id)
    {
        const quint64 h = hash(parent, key.view());
        for (size_t i = start(h);; i = next(i)) {
            Slot &slot = m_slots[i];
            if (slot.id < 0) {
                slot = Slot{parent, id, quint32(h >> 32)};
                m_keys.resize(size_t(id) + 1);
                m_keys[size_t(id)] = &key;
                return id;
            }
            if (slot.hash == quint32(h >> 32) && slot.parent == parent &&
                m_keys[size_t(slot.id)]->view() == key.view())
                return slot.id;
        }
    }

private:
    // Twelve bytes, for a table of a million slots and more at 50 MB; the key is looked up by id.
    struct Slot
    {
        qint32 parent = 0;
        qint32 id = -1; // -1: free
        quint32 hash = 0;
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
    std::vector<Slot> m_slots;
    // By id: the key of the first node with that path, which the other document holds.
    std::vector<const XsdtKey *> m_keys;
};

// One distinct path of the other document: its values are m_occurrences[first, first + count)
// in document order.
struct PathEntry
{
    qint32 first = 0;
    qint32 count = 0;
};

// A value of the other document: its path's entry and its rank among the values of that path,
// which find it in the occurrences.
struct ThereValue
{
    qint32 id = 0;
    qint32 rank = 0;
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

// A compressed value's text is only a summary of its blocks, so two different blocks can
// share it: the blocks themselves are compared too.
bool sameValue(const XsdtNode &a, const XsdtNode &b)
{
    return a.type == b.type && a.value == b.value && a.compression() == b.compression() &&
           a.compressedText() == b.compressedText();
}

// Checked every this many entries: a cancelled comparison ends within a few milliseconds.
constexpr quint32 kCheckEvery = 4096;
// The outline's entries walked are let go of this many at a time (3 MB).
constexpr quint32 kLetGoEvery = 65536;

} // namespace

class DocumentComparison::Index
{
public:
    using RecordSink = DocumentComparison::RecordSink;

    explicit Index(const XsdtDocument &there)
        : Index(there, countNodes(&there.root))
    {}

    // Room for every node at once: lists grown by doubling would leave the room they outgrew
    // taken up on a worker's heap.
    Index(const XsdtDocument &there, size_t nodeCount)
        : m_index(nodeCount)
    {
        m_entries.reserve(nodeCount + 1);
        m_thereValues.reserve(nodeCount);
        m_entries.emplace_back();      // entry 0 stands for the root
        std::vector<XsdtNode *> nodes; // the values in document order, until they are laid out
        nodes.reserve(nodeCount);
        indexThere(&there.root, 0, nodes);
        // Lay the values of each path side by side, in document order.
        qint32 next = 0;
        for (PathEntry &entry : m_entries) {
            entry.first = next;
            next += entry.count;
            entry.count = 0;
        }
        m_occurrences.resize(size_t(next));
        for (size_t i = 0; i < nodes.size(); ++i) {
            ThereValue &value = m_thereValues[i];
            PathEntry &entry = m_entries[size_t(value.id)];
            value.rank = entry.count++;
            m_occurrences[size_t(entry.first + value.rank)] = nodes[i];
        }
    }

    QList<DiffRecord> run(DocumentOutline &here, HereRanks *ranks,
                          const std::atomic_bool *cancelled, std::atomic<qint64> *done,
                          const RecordSink &seen) const
    {
        Walk walk(m_entries.size(), true, seen ? &seen : nullptr, cancelled, nullptr, done);
        // At most every entry of both: room not filled is never touched.
        walk.records.reserve(here.size() + qsizetype(m_thereValues.size()));
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
        Walk walk(m_entries.size(), true, seen, cancelled, released, done);
        if (entries > 0)
            walk.records.reserve(entries + qsizetype(m_thereValues.size()));
        walkNodes(walk, &here.root, 0, QString(), queued);
        return finish(walk, ranks);
    }

    qint64 run(const XsdtDocument &here, const RecordSink &take) const
    {
        Walk walk(m_entries.size(), false, &take, nullptr, nullptr, nullptr);
        walkNodes(walk, &here.root, 0, QString(), nullptr);
        finish(walk, nullptr);
        return walk.handed;
    }

    bool recordFor(XsdtNode *value, const HereRanks &ranks, DiffRecord *record) const
    {
        QVarLengthArray<const XsdtNode *, 16> chain;
        for (const XsdtNode *n = value; n && n->parent; n = n->parent)
            chain.append(n);
        qint32 id = 0;
        for (qsizetype i = chain.size() - 1; i >= 0 && id >= 0; --i)
            id = m_index.find(id, chain[i]->key.view());
        XsdtNode *other = id >= 0 ? pairOf(m_entries[size_t(id)], ranks.value(value, 0)) : nullptr;
        if (other && sameValue(*value, *other))
            return false;
        *record = {other ? DiffRecord::Different : DiffRecord::OnlyHere, value, other};
        return true;
    }

private:
    XsdtNode *pairOf(const PathEntry &entry, qint32 rank) const
    {
        return rank < entry.count ? m_occurrences[size_t(entry.first + rank)] : nullptr;
    }

    void indexThere(const XsdtNode *group, qint32 groupId, std::vector<XsdtNode *> &nodes)
    {
        for (const auto &child : group->children) {
            if (child->pendingDelete)
                continue;
            const qint32 id = m_index.findOrAdd(groupId, child->key, qint32(m_entries.size()));
            if (id == qint32(m_entries.size()))
                m_entries.emplace_back();
            if (child->isValue()) {
                ++m_entries[size_t(id)].count;
                m_thereValues.push_back({id, 0});
                nodes.push_back(child.get());
            } else {
                indexThere(child.get(), id, nodes);
            }
        }
    }

    // What one comparison keeps while it walks, so that the index itself stays untouched.
    struct Walk
    {
        Walk(size_t entries, bool keep, const RecordSink *take, const std::atomic_bool *cancelled,
             const std::atomic_bool *released, std::atomic<qint64> *done)
            : hereSeen(entries, 0)
            , keep(keep)
            , take(take)
            , cancelled(cancelled)
            , released(released)
            , done(done)
        {}

        // Per entry of the index, this document's values with the path met so far, which is
        // also the rank of the next one.
        std::vector<qint32> hereSeen;
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
        qint64 handed = 0;
        bool stop = false;

        bool stopped() const { return stop; }

        template <typename Path>
        void add(Path path, int kind, XsdtNode *here, XsdtNode *there)
        {
            const DiffRecord record{kind, here, there};
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
        if (walk.stopped())
            return {};
        // The owner may be waiting to change this document meanwhile: asked as the walk asks.
        quint32 checked = 0;
        for (const ThereValue &value : m_thereValues) {
            if (++checked % kCheckEvery == 0 && stopAsked(walk))
                return {};
            if (value.rank >= walk.hereSeen[size_t(value.id)]) {
                XsdtNode *node = pairOf(m_entries[size_t(value.id)], value.rank);
                walk.add(NodePath{node}, DiffRecord::OnlyThere, nullptr, node);
            }
        }
        if (ranks)
            *ranks = std::move(walk.ranks);
        return std::move(walk.records);
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
            const qint32 rank = walk.hereSeen[size_t(id)]++;
            if (rank > 0)
                walk.ranks.insert(node, rank);
            other = pairOf(m_entries[size_t(id)], rank);
        }
        if (!other)
            walk.add(Joined{prefix, key}, DiffRecord::OnlyHere, node, nullptr);
        else if (!same(*other))
            walk.add(Joined{prefix, key}, DiffRecord::Different, node, other);
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
        for (const auto &child : group->children) {
            if (!step(walk))
                return;
            if (child->pendingDelete) {
                if (queued)
                    queued->push_back(child.get());
                continue;
            }
            const qint32 id = groupId >= 0 ? m_index.find(groupId, child->key.view()) : -1;
            if (child->isGroup())
                walkNodes(walk, child.get(), id, prefix + child->key + QLatin1Char('/'), queued);
            else
                meet(walk, id, child.get(), prefix, child->key.view(),
                     [&](const XsdtNode &other) { return sameValue(*child, other); });
        }
    }

    PathIndex m_index;
    std::vector<PathEntry> m_entries;
    std::vector<ThereValue> m_thereValues; // in document order
    std::vector<XsdtNode *> m_occurrences;
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
