#pragma once

#include <QString>

namespace vrn {

// A size in B, then KiB with the given decimals, then (when the page has it) MiB with one
// decimal. A KiB figure that would print as 1024 is shown in MiB instead, so 1,048,575 bytes
// read "1.0 MiB", never "1024 KiB".
QString sizeText(qint64 bytes, int kibDecimals, bool withMiB);

} // namespace vrn
