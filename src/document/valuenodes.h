#pragma once

#include <QList>

namespace vrn {

struct XsdtNode;

// Appends the value nodes at and below node to out, in document order: node itself when it is a
// value, else its values, and with recursive those of its subgroups too.
void collectValueNodes(XsdtNode *node, QList<XsdtNode *> &out, bool recursive = true);

} // namespace vrn
