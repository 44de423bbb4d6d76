#include "document/xsdtdocument.h"

#include <algorithm>

namespace vrn {

namespace {

// One walk for the three lists, in tree order. A new entry is an addition whatever was typed
// into it since; inside it only deletions are looked for.
void collectPending(const XsdtNode *node, XsdtDocument::PendingNodes &out, bool onlyDeletions)
{
    for (const auto &child : node->children) {
        if (child->pendingDelete) {
            out.deleted.append(child.get());
        } else if (child->pendingAdd) {
            if (!onlyDeletions)
                out.added.append(child.get());
            collectPending(child.get(), out, true);
        } else if (child->kind != XsdtNode::Value) {
            collectPending(child.get(), out, onlyDeletions);
        } else if (!onlyDeletions && child->value != child->originalValue) {
            out.changed.append(child.get());
        }
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
        // Written only where set, and a value never edited left as it reads: a save of a few
        // edits in a large file then only reads its nodes, instead of writing to every one.
        if (child->pendingAdd)
            child->pendingAdd = false;
        if (child->kind == XsdtNode::Value) {
            if (!child->value.hasOwnText())
                continue;
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

XsdtDocument::PendingNodes XsdtDocument::pendingNodes() const
{
    PendingNodes out;
    collectPending(&root, out, false);
    return out;
}

QList<XsdtNode *> XsdtDocument::changedValues() const
{
    return pendingNodes().changed;
}

QList<XsdtNode *> XsdtDocument::deletedNodes() const
{
    return pendingNodes().deleted;
}

QList<XsdtNode *> XsdtDocument::addedNodes() const
{
    return pendingNodes().added;
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
