#pragma once

#include "document/xsdtdocument.h"

#include <QString>

#include <functional>

namespace vrn {

// The written form handed out in pieces as it is made, so that a large file's text is never
// held whole. False when `sink` refused a piece; writing stops there.
using PieceSink = std::function<bool(const char *data, qsizetype size)>;
bool serializeInPieces(const XsdtDocument &document, const PieceSink &sink);

// readsBackAs() over text held elsewhere (a mapped file). `progress` hears how far the reader
// got, so that what lies behind it can be let go.
bool readsBackFrom(const XsdtDocument &document, const char *data, qsizetype size, QString *error,
                   QString *where, const XsdtDocument::Progress &progress);

} // namespace vrn
