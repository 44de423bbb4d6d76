#pragma once

#include <QDir>
#include <QString>

namespace vrn {

// A path as messages show it: with the system's own separators.
inline QString nativePath(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

} // namespace vrn
