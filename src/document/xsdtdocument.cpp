#include "document/xsdtdocument.h"

#include <algorithm>

namespace vrn {

namespace {

void collectChanged(const XsdtNode *node, QList<XsdtNode *> &out)
{
    for (const auto &child : node->children) {
        // A new entry is an addition, whatever was typed into it since.
        if (child->pendingDelete || child->pendingAdd)
            continue;
        if (child->kind == XsdtNode::Value) {
            if (child->value != child->originalValue)
                out.append(child.get());
        } else {
            collectChanged(child.get(), out);
        }
    }
}

void collectDeleted(const XsdtNode *node, QList<XsdtNode *> &out)
{
    for (const auto &child : node->children) {
        if (child->pendingDelete)
            out.append(child.get());
        else
            collectDeleted(child.get(), out);
    }
}

void collectAdded(const XsdtNode *node, QList<XsdtNode *> &out)
{
    for (const auto &child : node->children) {
        if (child->pendingDelete)
            continue;
        if (child->pendingAdd)
            out.append(child.get());
        else
            collectAdded(child.get(), out);
    }
}

int countPending(const XsdtNode *node)
{
    int count = 0;
    for (const auto &child : node->children) {
        if (child->pendingDelete || child->pendingAdd)
            ++count;
        else if (child->kind == XsdtNode::Value)
            count += child->value != child->originalValue ? 1 : 0;
        else
            count += countPending(child.get());
    }
    return count;
}

void commitSubtree(XsdtNode *node)
{
    auto &kids = node->children;
    kids.erase(std::remove_if(kids.begin(), kids.end(),
                              [](const std::unique_ptr<XsdtNode> &c) { return c->pendingDelete; }),
               kids.end());
    for (const auto &child : kids) {
        child->pendingAdd = false;
        if (child->kind == XsdtNode::Value) {
            // The file now holds an edited value's breaks as the writer wrote them.
            if (child->value != child->originalValue)
                child->referencedBreaks = true;
            child->originalValue = child->value.text();
            child->value = child->originalValue; // lets the edited text go
        } else
            commitSubtree(child.get());
    }
}

} // namespace

void XsdtDocument::clear()
{
    root.children.clear();
    head.clear();
    tail.clear();
    compactLayout = false;
    invalidUtf8 = {};
}

void XsdtDocument::revertAll()
{
    root.revertSubtree();
}

QList<XsdtNode *> XsdtDocument::changedValues() const
{
    QList<XsdtNode *> out;
    collectChanged(&root, out);
    return out;
}

QList<XsdtNode *> XsdtDocument::deletedNodes() const
{
    QList<XsdtNode *> out;
    collectDeleted(&root, out);
    return out;
}

QList<XsdtNode *> XsdtDocument::addedNodes() const
{
    QList<XsdtNode *> out;
    collectAdded(&root, out);
    return out;
}

int XsdtDocument::pendingChangeCount() const
{
    return countPending(&root);
}

void XsdtDocument::commit()
{
    commitSubtree(&root);
    invalidUtf8 = {}; // the file now holds the replacement characters themselves
}

} // namespace vrn
