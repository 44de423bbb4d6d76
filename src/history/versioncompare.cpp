#include "history/versioncompare.h"

#include "knowledge/comparison.h"

namespace vrn {

int changedValues(const XsdtDocument &older, const XsdtDocument &newer)
{
    Comparison comparison;
    comparison.compare(older, newer);
    return int(comparison.records().size());
}

} // namespace vrn
