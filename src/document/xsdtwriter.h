#pragma once

#include <QString>

namespace vrn {

struct XsdtNode;

// Escapes the five XML special characters; everything else is written as it is.
QString xmlEscape(const QString &text);

// UTF-8 length of the node's written form, nodes marked for deletion included.
qint64 serializedSize(const XsdtNode *node);

} // namespace vrn
