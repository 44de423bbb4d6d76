#pragma once

#include <QByteArray>
#include <QString>

namespace vrn::testdata {

// The bytes of a file or resource, or nothing when it cannot be read.
QByteArray readFile(const QString &path);

// Writes the bytes over the file, making the folders above it first; true when all were written.
bool writeFile(const QString &path, const QByteArray &bytes);

} // namespace vrn::testdata
