#include "document/valuenodes.h"

#include "document/xsdtnode.h"

namespace vrn {

namespace {

void collectBelow(const XsdtNode *node, QList<XsdtNode *> &out, bool recursive)
{
    for (const auto &child : node->children) {
        if (child->isValue())
            out.append(child.get());
        else if (recursive)
            collectBelow(child.get(), out, true);
    }
}

} // namespace

void collectValueNodes(XsdtNode *node, QList<XsdtNode *> &out, bool recursive)
{
    if (node->isValue())
        out.append(node);
    else
        collectBelow(node, out, recursive);
}

} // namespace vrn
