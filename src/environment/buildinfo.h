#pragma once

#include <QString>

namespace vrn {

// The program's version, such as "0.1.3".
QString programVersion();
// The short revision of the sources this program was built from, or "unknown" when the build
// had no repository to ask.
QString sourceRevision();

} // namespace vrn
