#pragma once

#include "document/xsdtkey.h"
#include "document/xsdttext.h"
#include "document/xsdtvaluetext.h"

#include <QMetaType>
#include <QString>
#include <QStringView>
#include <QtGlobal>

#include <cstddef>
#include <iterator>
#include <memory>
#include <utility>

namespace vrn {

struct XsdtNode;

// The children of a node: the part of std::vector's interface the program uses, in one pointer
// instead of three (a large file holds about a million nodes, most of them values that never
// have children). Size and capacity sit in front of the elements in the same block.
class XsdtChildren
{
public:
    using value_type = std::unique_ptr<XsdtNode>;
    using size_type = size_t;
    using difference_type = std::ptrdiff_t;
    using reference = value_type &;
    using const_reference = const value_type &;
    using iterator = value_type *;
    using const_iterator = const value_type *;
    using reverse_iterator = std::reverse_iterator<iterator>;
    using const_reverse_iterator = std::reverse_iterator<const_iterator>;

    XsdtChildren() = default;
    XsdtChildren(const XsdtChildren &) = delete;
    XsdtChildren &operator=(const XsdtChildren &) = delete;
    XsdtChildren(XsdtChildren &&other) noexcept
        : m_d(std::exchange(other.m_d, nullptr))
    {}
    XsdtChildren &operator=(XsdtChildren &&other) noexcept
    {
        std::swap(m_d, other.m_d);
        return *this;
    }
    ~XsdtChildren() { release(); }

    size_t size() const { return m_d ? m_d->size : 0; }
    size_t capacity() const { return m_d ? m_d->capacity : 0; }
    bool empty() const { return size() == 0; }

    value_type *data() { return m_d ? m_d->items() : nullptr; }
    const value_type *data() const { return m_d ? m_d->items() : nullptr; }
    iterator begin() { return data(); }
    iterator end() { return data() + size(); }
    const_iterator begin() const { return data(); }
    const_iterator end() const { return data() + size(); }
    const_iterator cbegin() const { return begin(); }
    const_iterator cend() const { return end(); }
    reverse_iterator rbegin() { return reverse_iterator(end()); }
    reverse_iterator rend() { return reverse_iterator(begin()); }
    const_reverse_iterator rbegin() const { return const_reverse_iterator(end()); }
    const_reverse_iterator rend() const { return const_reverse_iterator(begin()); }

    value_type &operator[](size_t i) { return data()[i]; }
    const value_type &operator[](size_t i) const { return data()[i]; }
    value_type &at(size_t i)
    {
        Q_ASSERT(i < size());
        return data()[i];
    }
    const value_type &at(size_t i) const
    {
        Q_ASSERT(i < size());
        return data()[i];
    }
    value_type &front() { return data()[0]; }
    const value_type &front() const { return data()[0]; }
    value_type &back() { return data()[size() - 1]; }
    const value_type &back() const { return data()[size() - 1]; }

    void reserve(size_t count);
    void shrink_to_fit();
    void push_back(value_type &&node);
    void pop_back();
    iterator insert(const_iterator at, value_type &&node);
    iterator erase(const_iterator at) { return erase(at, at + 1); }
    iterator erase(const_iterator first, const_iterator last);
    void clear();

private:
    struct Block
    {
        quint32 size;
        quint32 capacity;
        value_type *items() { return reinterpret_cast<value_type *>(this + 1); }
    };
    void reallocate(size_t capacity);
    void release();
    static void freeBlock(Block *block);
    Block *m_d = nullptr;
};

// One element of a settings file: an <i> group or a <v> value. Pending edits live here:
// a changed value is `value` differing from `originalValue`, a queued deletion is
// `pendingDelete` (which takes the whole subtree with it).
struct XsdtNode
{
    enum Kind : quint8 { Group = 0, Value = 1 };

    // Small members first and the rare compressed content kept outside: a large file holds about
    // a million nodes, so every byte here counts a megabyte.
    Kind kind = Group;
    bool textForm = false;
    bool selfClosing = false;
    bool pendingDelete = false;
    // The file writes this value's tab, line feed and carriage return characters as character
    // references. An edited value is always written that way: an XML reader turns them into
    // spaces when they stand raw in an attribute. Untouched values keep the form they were read in.
    bool referencedBreaks : 1 = false;
    // Created since the file was read: the entry and everything below it are new. The next save
    // writes them like any other node; until then taking the addition back removes them.
    bool pendingAdd : 1 = false;

private:
    bool m_compressed = false; // the node has an entry in the table of compressed contents

public:
    QChar type;
    XsdtKey key;
    // The value as the file holds it; `value` reads as this until it is edited, and a save or
    // a revert makes it do so again. `value` must follow it directly.
    XsdtText originalValue;
    XsdtValueText value;
    XsdtNode *parent = nullptr;
    XsdtChildren children;

    // The algorithm and encoded blocks of a compressed value, empty for every other node.
    const QString &compression() const;
    const QString &compressedText() const;
    void setCompressed(QString algorithm, QString text);

    XsdtNode() = default;
    XsdtNode(const XsdtNode &) = delete;
    XsdtNode &operator=(const XsdtNode &) = delete;
    ~XsdtNode();

    // Nodes come from slabs: a million separate allocations would cost a header each and much
    // of the reading time.
    static void *operator new(size_t size);
    static void operator delete(void *node, size_t size) noexcept;

    // Appends a new node at the end of the children and returns it.
    XsdtNode *appendChild(Kind childKind, QString childKey);

    bool isGroup() const { return kind == Group; }
    bool isValue() const { return kind == Value; }

    QString path() const;
    XsdtNode *findPath(QStringView path) const;
    XsdtNode *childByKey(QStringView childKey) const;
    int indexInParent() const;
    bool isEditable() const;
    bool isDeleted() const;
    // The node or one of its ancestors was created since the file was read.
    bool isAdded() const;
    qsizetype valueCount() const;
    void revertSubtree();
};

// A setting path fit for a message: a deep path keeps its first and last keys around "…" and
// very long keys are cut, so that a message stays readable whatever the file holds.
QString shortenedPath(const QString &path);

} // namespace vrn

Q_DECLARE_METATYPE(vrn::XsdtNode *)
