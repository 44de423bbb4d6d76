#pragma once

#include <QByteArray>
#include <QDateTime>
#include <QString>

namespace vrn::testdata {

// The bytes of a file or resource, or nothing when it cannot be read.
QByteArray readFile(const QString &path);

// Writes the bytes over the file, making the folders above it first, and gives it the
// modification time when one is given; true when all of that worked.
bool writeFile(const QString &path, const QByteArray &bytes, const QDateTime &modified = {});

} // namespace vrn::testdata
