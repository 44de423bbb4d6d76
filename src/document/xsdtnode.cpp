#include "document/xsdtnode.h"

#include "document/values.h"

#include <QStringList>
#include <QVarLengthArray>

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <cstdlib>
#include <mutex>
#include <new>
#include <unordered_map>
#include <vector>

namespace vrn {

// A large file holds about a million nodes: a few bytes more here are megabytes more there.
static_assert(sizeof(XsdtNode) <= 64, "XsdtNode grew");
// An unedited value reads its text from the original just before it.
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Winvalid-offsetof"
static_assert(offsetof(XsdtNode, value) == offsetof(XsdtNode, originalValue) + sizeof(XsdtText),
              "value must follow originalValue");
#pragma GCC diagnostic pop

namespace {

// Nodes and small child lists are carved from aligned slabs; a slab goes back to the system
// when the last thing carved from it is freed. Each thread carves from its own current slab,
// so nodes may be made and deleted on any thread. A slab becomes current already counting
// every piece it could ever hold and one more for itself: carving a piece then needs no atomic
// operation, which a million nodes would notice, and the pieces never carved are taken off the
// count when the slab is full. Slabs are small enough that the allocator serves the aligned
// block from its heap instead of mapping twice the size for it.
constexpr size_t kSlabSize = 32 * 1024;
constexpr size_t kSlabHeader = 64;
constexpr qint64 kSlabPieces = qint64(kSlabSize - kSlabHeader) / 8; // pieces are 8 bytes or more

struct Slab
{
    std::atomic<qint64> live{kSlabPieces + 1};
};

void releaseSlab(Slab *slab, qint64 count = 1)
{
    if (slab->live.fetch_sub(count, std::memory_order_acq_rel) == count) {
        slab->~Slab();
        std::free(slab);
    }
}

// Plain data in the program's own thread storage, so that reaching it takes neither a check
// whether it was made yet nor a call: nodes are made by the million.
struct CurrentSlab
{
    Slab *slab = nullptr;
    char *next = nullptr;
    char *end = nullptr;
    qint64 uncarved = 0; // counted in the slab but not carved yet
    void retire()
    {
        if (slab)
            releaseSlab(slab, uncarved + 1);
        slab = nullptr;
    }
};

thread_local constinit CurrentSlab t_slab __attribute__((tls_model("initial-exec")));

// Lets go of the thread's slab when the thread ends; made with the thread's first slab.
struct SlabRetirer
{
    ~SlabRetirer() { t_slab.retire(); }
};

thread_local SlabRetirer t_slabRetirer;

// Child lists up to this size come from the slabs as well; larger ones from the heap.
constexpr size_t kSmallBlock = 1024;

// `bytes` at most kSmallBlock or sizeof(XsdtNode).
void *slabAllocate(size_t bytes)
{
    bytes = std::max<size_t>((bytes + 7) & ~size_t(7), 8);
    CurrentSlab &current = t_slab;
    if (size_t(current.end - current.next) < bytes) {
        void *memory = std::aligned_alloc(kSlabSize, kSlabSize);
        if (!memory)
            throw std::bad_alloc();
        current.retire();
        (void)&t_slabRetirer; // made on first use
        current.slab = new (memory) Slab;
        current.next = static_cast<char *>(memory) + kSlabHeader;
        current.end = static_cast<char *>(memory) + kSlabSize;
        current.uncarved = kSlabPieces;
    }
    void *at = current.next;
    current.next += bytes;
    --current.uncarved;
    return at;
}

void slabRelease(void *at)
{
    releaseSlab(
        reinterpret_cast<Slab *>(reinterpret_cast<quintptr>(at) & ~quintptr(kSlabSize - 1)));
}

} // namespace

void XsdtChildren::reallocate(size_t newCapacity)
{
    const size_t count = size();
    Q_ASSERT(newCapacity >= count);
    if (newCapacity == 0) {
        release();
        return;
    }
    const size_t bytes = sizeof(Block) + newCapacity * sizeof(value_type);
    auto *block =
        static_cast<Block *>(bytes <= kSmallBlock ? slabAllocate(bytes) : std::malloc(bytes));
    if (!block)
        throw std::bad_alloc();
    block->size = quint32(count);
    block->capacity = quint32(newCapacity);
    value_type *to = block->items();
    value_type *from = data();
    for (size_t i = 0; i < count; ++i) {
        new (to + i) value_type(std::move(from[i]));
        from[i].~value_type();
    }
    freeBlock(m_d);
    m_d = block;
}

void XsdtChildren::freeBlock(Block *block)
{
    if (!block)
        return;
    if (sizeof(Block) + block->capacity * sizeof(value_type) <= kSmallBlock)
        slabRelease(block);
    else
        std::free(block);
}

void XsdtChildren::release()
{
    if (!m_d)
        return;
    // Detached first: a node's destructor must not see its own parent's list half torn down.
    Block *block = std::exchange(m_d, nullptr);
    value_type *items = block->items();
    for (quint32 i = 0; i < block->size; ++i)
        items[i].~value_type();
    freeBlock(block);
}

void XsdtChildren::reserve(size_t count)
{
    if (count > capacity())
        reallocate(count);
}

void XsdtChildren::shrink_to_fit()
{
    if (capacity() > size())
        reallocate(size());
}

void XsdtChildren::push_back(value_type &&node)
{
    const size_t count = size();
    if (count == capacity())
        reallocate(count < 4 ? 4 : count * 2);
    new (m_d->items() + count) value_type(std::move(node));
    ++m_d->size;
}

void XsdtChildren::pop_back()
{
    Q_ASSERT(!empty());
    value_type *last = m_d->items() + m_d->size - 1;
    value_type gone = std::move(*last); // destroyed after the list is consistent again
    last->~value_type();
    --m_d->size;
}

XsdtChildren::iterator XsdtChildren::insert(const_iterator at, value_type &&node)
{
    const size_t index = size_t(at - begin());
    push_back(std::move(node));
    std::rotate(begin() + index, end() - 1, end());
    return begin() + index;
}

XsdtChildren::iterator XsdtChildren::erase(const_iterator first, const_iterator last)
{
    const size_t from = size_t(first - begin());
    const size_t to = size_t(last - begin());
    if (from == to)
        return begin() + from;
    // Moved out first and destroyed at the end, so that the list never holds a dead node.
    std::vector<value_type> gone;
    gone.reserve(to - from);
    for (size_t i = from; i < to; ++i)
        gone.push_back(std::move(data()[i]));
    std::move(begin() + to, end(), begin() + from);
    const size_t count = size() - (to - from);
    for (size_t i = count; i < size(); ++i)
        data()[i].~value_type();
    m_d->size = quint32(count);
    return begin() + from;
}

void XsdtChildren::clear()
{
    release();
}

namespace {

// The algorithm and blocks of compressed values: a handful per file, so they live outside the
// nodes.
struct Compressed
{
    QString algorithm;
    QString text;
};

// Left to the end of the process on purpose: nodes of static documents die after statics do.
std::mutex &compressedMutex()
{
    static auto *mutex = new std::mutex;
    return *mutex;
}

// Node-based, so that a reference handed out stays valid while other entries come and go.
std::unordered_map<const XsdtNode *, Compressed> &compressedTable()
{
    static auto *table = new std::unordered_map<const XsdtNode *, Compressed>;
    return *table;
}

const QString &noText()
{
    static const QString empty;
    return empty;
}

} // namespace

void *XsdtNode::operator new(size_t size)
{
    return size == sizeof(XsdtNode) ? slabAllocate(size) : ::operator new(size);
}

void XsdtNode::operator delete(void *node, size_t size) noexcept
{
    if (!node)
        return;
    if (size == sizeof(XsdtNode))
        slabRelease(node);
    else
        ::operator delete(node);
}

XsdtNode::~XsdtNode()
{
    if (m_compressed) {
        std::lock_guard lock(compressedMutex());
        compressedTable().erase(this);
    }
}

const QString &XsdtNode::compression() const
{
    if (!m_compressed)
        return noText();
    std::lock_guard lock(compressedMutex());
    return compressedTable().at(this).algorithm;
}

const QString &XsdtNode::compressedText() const
{
    if (!m_compressed)
        return noText();
    std::lock_guard lock(compressedMutex());
    return compressedTable().at(this).text;
}

void XsdtNode::setCompressed(QString algorithm, QString text)
{
    std::lock_guard lock(compressedMutex());
    if (algorithm.isEmpty() && text.isEmpty()) {
        compressedTable().erase(this);
        m_compressed = false;
    } else {
        compressedTable()[this] = Compressed{std::move(algorithm), std::move(text)};
        m_compressed = true;
    }
}

XsdtNode *XsdtNode::appendChild(Kind childKind, QString childKey)
{
    auto node = std::make_unique<XsdtNode>();
    node->kind = childKind;
    node->key = std::move(childKey);
    node->parent = this;
    children.push_back(std::move(node));
    return children.back().get();
}

QString XsdtNode::path() const
{
    QVarLengthArray<const XsdtNode *, 16> chain;
    qsizetype length = 0;
    for (const XsdtNode *n = this; n && n->parent; n = n->parent) {
        chain.append(n);
        length += n->key.size() + 1;
    }
    QString result;
    result.reserve(length);
    for (qsizetype i = chain.size() - 1; i >= 0; --i) {
        result += chain[i]->key.view();
        if (i > 0)
            result += QLatin1Char('/');
    }
    return result;
}

XsdtNode *XsdtNode::findPath(QStringView path) const
{
    const XsdtNode *node = this;
    for (QStringView part : path.tokenize(u'/', Qt::SkipEmptyParts)) {
        node = node->childByKey(part);
        if (!node)
            return nullptr;
    }
    return const_cast<XsdtNode *>(node);
}

XsdtNode *XsdtNode::childByKey(QStringView childKey) const
{
    for (const auto &child : children) {
        if (child->key == childKey)
            return child.get();
    }
    return nullptr;
}

int XsdtNode::indexInParent() const
{
    if (!parent)
        return 0;
    const auto &siblings = parent->children;
    for (size_t i = 0; i < siblings.size(); ++i) {
        if (siblings[i].get() == this)
            return int(i);
    }
    return 0;
}

bool XsdtNode::isEditable() const
{
    return kind == Value && compression().isEmpty() && isEditableType(type);
}

bool XsdtNode::isDeleted() const
{
    for (const XsdtNode *n = this; n; n = n->parent) {
        if (n->pendingDelete)
            return true;
    }
    return false;
}

bool XsdtNode::isAdded() const
{
    for (const XsdtNode *n = this; n; n = n->parent) {
        if (n->pendingAdd)
            return true;
    }
    return false;
}

qsizetype XsdtNode::valueCount() const
{
    if (kind == Value)
        return 1;
    qsizetype count = 0;
    for (const auto &child : children)
        count += child->valueCount();
    return count;
}

void XsdtNode::revertSubtree()
{
    // What was added since the file was read goes again.
    children.erase(std::remove_if(children.begin(), children.end(),
                                  [](const std::unique_ptr<XsdtNode> &c) { return c->pendingAdd; }),
                   children.end());
    pendingDelete = false;
    if (kind == Value)
        value = originalValue;
    for (const auto &child : children)
        child->revertSubtree();
}

QString shortenedPath(const QString &path)
{
    constexpr qsizetype kEnds = 3;       // keys kept at each end of a deep path
    constexpr qsizetype kKeyLength = 60; // characters kept of one key
    const QChar ellipsis(0x2026);
    QStringList keys = path.split(QLatin1Char('/'));
    if (keys.size() > 2 * kEnds + 1)
        keys = keys.mid(0, kEnds) + QStringList{QString(ellipsis)} + keys.mid(keys.size() - kEnds);
    for (QString &key : keys) {
        if (key.size() > kKeyLength)
            key = key.left(kKeyLength - 1) + ellipsis;
    }
    return keys.join(QLatin1Char('/'));
}

} // namespace vrn
