#pragma once

#include "document/xsdtdocument.h"

#include <QByteArray>
#include <QString>

namespace vrn {

// Parses the bytes through a decoded copy, as parse() does for a file that is not well-formed
// UTF-8; parse() reads any other file as it stands. Both must give the same document, which
// the fuzzer checks through this.
bool parseDecoded(XsdtDocument &doc, const QByteArray &bytes, QString *error = nullptr,
                  const XsdtDocument::Progress &progress = {});

// Whether the bytes are well-formed UTF-8, as QByteArray::isValidUtf8() says, in a fraction of
// its time on text that is nearly all ASCII: parse() asks it of every file before reading it.
bool isWellFormedUtf8(const char *data, qsizetype size);

} // namespace vrn
