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

} // namespace vrn
