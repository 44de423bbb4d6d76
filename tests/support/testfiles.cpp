#include "support/testfiles.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace vrn::testdata {

QByteArray readFile(const QString &path)
{
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool writeFile(const QString &path, const QByteArray &bytes, const QDateTime &modified)
{
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size() && file.flush() &&
           (modified.isNull() || file.setFileTime(modified, QFileDevice::FileModificationTime));
}

} // namespace vrn::testdata
