// libFuzzer target for the settings reader: no crash, hang or sanitizer report on any input,
// and every accepted input must survive the write/read round trip.
#include "readerproperties.h"

#include <cstdio>
#include <cstdlib>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size)
{
    const QByteArray input =
        QByteArray::fromRawData(reinterpret_cast<const char *>(data), qsizetype(size));
    const QString violation = vrn::fuzz::readerPropertyViolation(QByteArray(input));
    if (!violation.isEmpty()) {
        std::fprintf(stderr, "property violated: %s\n", qPrintable(violation));
        std::abort();
    }
    return 0;
}
