#include "document/additions.h"

#include <QCoreApplication>

namespace vrn {

namespace {

struct AdditionText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Additions)
};

bool refuse(QString *error, const QString &message)
{
    if (error && error->isEmpty())
        *error = message;
    return false;
}

// The row after the last child named `after`, else that of the first named `before`, else last.
size_t rowBetween(const XsdtNode &parent, const QString &after, const QString &before)
{
    const auto &kids = parent.children;
    if (!after.isEmpty()) {
        for (size_t i = kids.size(); i-- > 0;) {
            if (kids[i]->key == after)
                return i + 1;
        }
    }
    if (!before.isEmpty()) {
        for (size_t i = 0; i < kids.size(); ++i) {
            if (kids[i]->key == before)
                return i;
        }
    }
    return kids.size();
}

} // namespace

bool placeNewValue(const XsdtNode &root, const NewValue &newValue, Placement *placement,
                   QString *error)
{
    const QStringList &keys = newValue.keys;
    const qsizetype count = keys.size();
    if (count == 0 || newValue.type.isNull())
        return refuse(error, AdditionText::tr("A new value needs a path and a type."));
    const auto pathTo = [&keys](qsizetype level) {
        return QStringList(keys.mid(0, level + 1)).join(QLatin1Char('/'));
    };
    XsdtNode *parent = const_cast<XsdtNode *>(&root);
    qsizetype level = 0;
    for (; level < count; ++level) {
        XsdtNode *found = nullptr;
        int same = 0;
        for (const auto &child : parent->children) {
            if (child->key == keys.at(level) && same++ == 0)
                found = child.get();
        }
        if (!found)
            break;
        if (level == count - 1)
            return refuse(
                error,
                found->isGroup()
                    ? AdditionText::tr("%1 is a group in the file, not a value.").arg(pathTo(level))
                    : AdditionText::tr("%1 is in the file already.").arg(pathTo(level)));
        if (same > 1)
            return refuse(error, AdditionText::tr("%1 is held %2 times in the file, so a new value "
                                                  "below it has no one place.")
                                     .arg(pathTo(level))
                                     .arg(same));
        if (found->isValue())
            return refuse(error,
                          AdditionText::tr("%1 is a value, not a group.").arg(pathTo(level)));
        parent = found;
    }
    if (parent->isDeleted())
        return refuse(error, AdditionText::tr("%1 is marked for deletion.").arg(parent->path()));

    auto top = std::make_unique<XsdtNode>();
    XsdtNode *node = top.get();
    node->key = keys.at(level);
    for (qsizetype i = level + 1; i < count; ++i)
        node = node->appendChild(XsdtNode::Group, keys.at(i));
    node->kind = XsdtNode::Value;
    node->type = newValue.type;
    node->originalValue = newValue.value;
    // Written the way the writer writes an edited value: breaks as character references.
    node->referencedBreaks = true;
    top->pendingAdd = true;
    top->parent = parent;

    if (placement) {
        placement->parent = parent;
        placement->level = int(level);
        // Inside a group that is new itself, the values come in the order they are given.
        placement->row = newValue.level == level && !parent->isAdded()
                             ? rowBetween(*parent, newValue.after, newValue.before)
                             : parent->children.size();
        placement->value = node;
        placement->node = std::move(top);
    }
    return true;
}

XsdtNode *insertPlacement(Placement &placement)
{
    XsdtNode *node = placement.node.get();
    auto &kids = placement.parent->children;
    node->parent = placement.parent;
    kids.insert(kids.begin() + qMin(placement.row, kids.size()), std::move(placement.node));
    return node;
}

std::unique_ptr<XsdtNode> takeOut(XsdtNode *node)
{
    if (!node || !node->parent)
        return nullptr;
    auto &kids = node->parent->children;
    const auto at = kids.begin() + node->indexInParent();
    if (at == kids.end() || at->get() != node)
        return nullptr;
    std::unique_ptr<XsdtNode> taken = std::move(*at);
    kids.erase(at);
    taken->parent = nullptr;
    return taken;
}

} // namespace vrn
