#pragma once

#include <QString>

namespace vrn {

// For a wrapped label showing a file name or path: the same text with a word joiner (U+2060)
// after each hyphen inside a name, so that "core-1-pxi.settings" moves to the next line whole
// instead of being cut after "core-1-". Lines still break at spaces and separators. Only for
// labels the user cannot select: copied text must be the exact name.
QString namesKeptWhole(const QString &text);

} // namespace vrn
