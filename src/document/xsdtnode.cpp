#include "document/xsdtnode.h"

#include "document/values.h"

#include <QStringList>
#include <QVarLengthArray>

namespace vrn {

const QString &XsdtNode::none()
{
    static const QString empty;
    return empty;
}

void XsdtNode::setCompressed(QString algorithm, QString text)
{
    if (algorithm.isEmpty() && text.isEmpty())
        m_compressed.reset();
    else
        m_compressed.reset(new Compressed{std::move(algorithm), std::move(text)});
}

XsdtNode *XsdtNode::appendChild(Kind childKind, QString childKey)
{
    auto node = std::make_unique<XsdtNode>();
    node->kind = childKind;
    node->key = std::move(childKey);
    node->parent = this;
    if (children.capacity() == 0)
        children.reserve(4); // skips the 1-2-4 reallocations that most groups would go through
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
        result += chain[i]->key;
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
