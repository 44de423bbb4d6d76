#include "knowledge/compare.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "knowledge/deletionpolicy.h"

#include <QHash>
#include <QStringView>
#include <QVarLengthArray>

#include <bit>
#include <utility>
#include <vector>

namespace vrn {

namespace {

// The other document's paths as a tree of keys: one entry per distinct path, each found by
// (parent entry, key). Hashing one short key per level is much cheaper than building and
// hashing every full path, and groups that occur twice merge into one entry as their paths
// do. A plain open-addressing table sized once keeps a 50 MB file's million lookups cheap.
class PathIndex
{
public:
    explicit PathIndex(size_t expected)
    {
        const size_t capacity = std::bit_ceil(std::max<size_t>(16, expected * 2));
        m_slots.resize(capacity);
        m_mask = capacity - 1;
    }

    // The entry of `key` below `parent`, or -1.
    qint32 find(qint32 parent, const QString &key) const
    {
        const quint64 h = hash(parent, key);
        for (size_t i = size_t(h) & m_mask;; i = (i + 1) & m_mask) {
            const Slot &slot = m_slots[i];
            if (!slot.key)
                return -1;
            if (slot.hash == quint32(h >> 32) && slot.parent == parent && *slot.key == key)
                return slot.id;
        }
    }

    // The entry of `key` below `parent`, made with the id `next` when there is none yet.
    qint32 findOrAdd(qint32 parent, const QString &key, qint32 next)
    {
        const quint64 h = hash(parent, key);
        for (size_t i = size_t(h) & m_mask;; i = (i + 1) & m_mask) {
            Slot &slot = m_slots[i];
            if (!slot.key) {
                slot = Slot{&key, parent, next, quint32(h >> 32)};
                return next;
            }
            if (slot.hash == quint32(h >> 32) && slot.parent == parent && *slot.key == key)
                return slot.id;
        }
    }

private:
    struct Slot
    {
        const QString *key = nullptr; // the key of the first node with this path
        qint32 parent = 0;
        qint32 id = 0;
        quint32 hash = 0;
    };

    static quint64 hash(qint32 parent, const QString &key)
    {
        quint64 h = 0xcbf29ce484222325ULL ^ (quint64(quint32(parent)) * 0x9e3779b97f4a7c15ULL);
        for (QChar c : key)
            h = (h ^ c.unicode()) * 0x100000001b3ULL;
        h ^= h >> 29;
        h *= 0xbf58476d1ce4e5b9ULL;
        return h ^ (h >> 32);
    }

    std::vector<Slot> m_slots;
    size_t m_mask = 0;
};

// One distinct path of the other document: its values are m_occurrences[first, first + count)
// in document order. hereSeen counts this document's values with the path met so far, which is
// also the rank of the next one.
struct PathEntry
{
    qint32 first = 0;
    qint32 count = 0;
    qint32 hereSeen = 0;
};

// A value of the other document, its path's entry and its rank among the values of that path.
struct ThereValue
{
    XsdtNode *node = nullptr;
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

// A compressed value's text is only a summary of its blocks, so two different blocks can
// share it: the blocks themselves are compared too.
bool sameValue(const XsdtNode &a, const XsdtNode &b)
{
    return a.type == b.type && a.value == b.value && a.compression() == b.compression() &&
           a.compressedText() == b.compressedText();
}

} // namespace

class DocumentComparison::Index
{
public:
    explicit Index(const XsdtDocument &there)
        : m_index(countNodes(&there.root))
    {
        m_entries.emplace_back(); // entry 0 stands for the root
        indexThere(&there.root, 0);
        // Lay the values of each path side by side, in document order.
        qint32 next = 0;
        for (PathEntry &entry : m_entries) {
            entry.first = next;
            next += entry.count;
            entry.count = 0;
        }
        m_occurrences.resize(size_t(next));
        for (ThereValue &value : m_thereValues) {
            PathEntry &entry = m_entries[size_t(value.id)];
            value.rank = entry.count++;
            m_occurrences[size_t(entry.first + value.rank)] = value.node;
        }
    }

    QList<DiffRecord> run(const XsdtDocument &here)
    {
        for (PathEntry &entry : m_entries)
            entry.hereSeen = 0;
        m_hereRanks.clear();
        walkHere(&here.root, 0, QString());
        for (const ThereValue &value : m_thereValues) {
            if (value.rank >= m_entries[size_t(value.id)].hereSeen)
                m_records.append({value.node->path(), DiffRecord::OnlyThere, nullptr, value.node});
        }
        return std::exchange(m_records, {});
    }

    bool recordFor(XsdtNode *value, DiffRecord *record) const
    {
        QVarLengthArray<const XsdtNode *, 16> chain;
        for (const XsdtNode *n = value; n && n->parent; n = n->parent)
            chain.append(n);
        qint32 id = 0;
        for (qsizetype i = chain.size() - 1; i >= 0 && id >= 0; --i)
            id = m_index.find(id, chain[i]->key);
        XsdtNode *other =
            id >= 0 ? pairOf(m_entries[size_t(id)], m_hereRanks.value(value, 0)) : nullptr;
        if (other && sameValue(*value, *other))
            return false;
        *record = {value->path(), other ? DiffRecord::Different : DiffRecord::OnlyHere, value,
                   other};
        return true;
    }

private:
    XsdtNode *pairOf(const PathEntry &entry, qint32 rank) const
    {
        return rank < entry.count ? m_occurrences[size_t(entry.first + rank)] : nullptr;
    }

    void indexThere(const XsdtNode *group, qint32 groupId)
    {
        for (const auto &child : group->children) {
            if (child->pendingDelete)
                continue;
            const qint32 id = m_index.findOrAdd(groupId, child->key, qint32(m_entries.size()));
            if (id == qint32(m_entries.size()))
                m_entries.emplace_back();
            if (child->isValue()) {
                ++m_entries[size_t(id)].count;
                m_thereValues.push_back({child.get(), id, 0});
            } else {
                indexThere(child.get(), id);
            }
        }
    }

    // groupId is the other document's entry for this group's path, or -1 when it has none
    // (then nothing below can match either). prefix is the group's path and a "/", built once
    // for all its records. The k-th value of a path here meets the k-th value of that path
    // there: a key written twice (two recent files both named File02) pairs with its own twin
    // and never with the other one.
    void walkHere(const XsdtNode *group, qint32 groupId, const QString &prefix)
    {
        for (const auto &child : group->children) {
            if (child->pendingDelete)
                continue;
            const qint32 id = groupId >= 0 ? m_index.find(groupId, child->key) : -1;
            if (child->isGroup()) {
                walkHere(child.get(), id, prefix + child->key + QLatin1Char('/'));
                continue;
            }
            XsdtNode *other = nullptr;
            if (id >= 0) {
                PathEntry &entry = m_entries[size_t(id)];
                const qint32 rank = entry.hereSeen++;
                if (rank > 0)
                    m_hereRanks.insert(child.get(), rank);
                other = pairOf(entry, rank);
            }
            if (!other)
                m_records.append({prefix + child->key, DiffRecord::OnlyHere, child.get(), nullptr});
            else if (!sameValue(*child, *other))
                m_records.append({prefix + child->key, DiffRecord::Different, child.get(), other});
        }
    }

    PathIndex m_index;
    std::vector<PathEntry> m_entries;
    std::vector<ThereValue> m_thereValues; // in document order
    std::vector<XsdtNode *> m_occurrences;
    // This document's values that are not the first of their path, with their rank, from the
    // last run: few in any real file, and enough to pair an edited value again on its own.
    QHash<const XsdtNode *, qint32> m_hereRanks;
    QList<DiffRecord> m_records;
};

DocumentComparison::DocumentComparison(const XsdtDocument &there)
    : m_index(std::make_unique<Index>(there))
{}

DocumentComparison::~DocumentComparison() = default;

QList<DiffRecord> DocumentComparison::compare(const XsdtDocument &here)
{
    return m_index->run(here);
}

bool DocumentComparison::recordFor(XsdtNode *value, DiffRecord *record) const
{
    return m_index->recordFor(value, record);
}

QList<DiffRecord> compareDocuments(const XsdtDocument &here, const XsdtDocument &there)
{
    return DocumentComparison(there).compare(here);
}

bool isCopyable(const DiffRecord &record, const DeletionPolicy *policy)
{
    if (record.kind != DiffRecord::Different || !record.here || !record.there)
        return false;
    // The other side must be a plain value too: a compressed value's text is a summary, and a
    // block's text is encoded data, neither of which belongs in an editable entry.
    if (!record.here->isEditable() || !record.there->isEditable() || record.here->isDeleted())
        return false;
    return !policy || !policy->isCompareNoCopy(record.here);
}

} // namespace vrn
