#include "views/sizetext.h"

#include <QCoreApplication>

namespace vrn {

namespace {

class SizeText
{
    Q_DECLARE_TR_FUNCTIONS(SizeText)
};

} // namespace

QString sizeText(qint64 bytes, int kibDecimals, bool withMiB)
{
    if (bytes < 1024)
        return SizeText::tr("%1 B").arg(bytes);
    // Decided on the printed figure, so that rounding can never carry it into the next unit.
    const QString kib = QString::number(double(bytes) / 1024.0, 'f', kibDecimals);
    if (!withMiB || kib.toDouble() < 1024.0)
        return SizeText::tr("%1 KiB").arg(kib);
    return SizeText::tr("%1 MiB").arg(double(bytes) / 1048576.0, 0, 'f', 1);
}

} // namespace vrn
