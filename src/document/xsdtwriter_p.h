#pragma once

#include <QByteArray>

namespace vrn {

class XsdtDocument;

// True when serialize() of the document would give exactly these bytes; stops at the first
// difference without building the whole output.
bool serializesTo(const XsdtDocument &doc, const QByteArray &bytes);

} // namespace vrn
