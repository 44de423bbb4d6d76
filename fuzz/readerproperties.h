#pragma once

#include <QByteArray>
#include <QList>
#include <QPair>
#include <QString>

namespace vrn::fuzz {

// Checks what must hold for any input: the reader either refuses it, or its tree writes back
// to text that reads back to the same tree, writing that again gives the same bytes, and the
// layout flag tells truly whether the input was already in that form. Returns an empty text
// when everything holds, otherwise what went wrong.
QString readerPropertyViolation(const QByteArray &input);

// The generated part of the seed corpus: small settings files in every layout, by file name.
QList<QPair<QString, QByteArray>> generatedSeeds();

} // namespace vrn::fuzz
