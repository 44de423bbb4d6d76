#include "history/versioncompare.h"

namespace vrn {

QList<DiffRecord> compareVersions(const XsdtDocument &older, const XsdtDocument &newer)
{
    return compareDocuments(older, newer);
}

} // namespace vrn
