#include "store/memoryfit.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocale>

namespace vrn {

namespace {

MemoryFit::Source &source()
{
    static MemoryFit::Source given;
    return given;
}

qint64 memAvailable()
{
    QFile meminfo(QStringLiteral("/proc/meminfo"));
    if (!meminfo.open(QIODevice::ReadOnly))
        return -1;
    // The file is small and says it in kB: "MemAvailable:   12345678 kB".
    const QByteArray all = meminfo.readAll();
    const qsizetype at = all.indexOf("\nMemAvailable:");
    if (at < 0)
        return -1;
    const qsizetype end = all.indexOf('\n', at + 1);
    QByteArray field = all.mid(at + 14, end < 0 ? -1 : end - at - 14).trimmed();
    if (!field.endsWith(" kB"))
        return -1;
    field.chop(3);
    bool ok = false;
    const qint64 kib = field.trimmed().toLongLong(&ok);
    return ok && kib >= 0 ? kib * 1024 : -1;
}

} // namespace

void MemoryFit::setSource(Source given)
{
    source() = std::move(given);
}

qint64 MemoryFit::availableNow()
{
    return source() ? source()() : memAvailable();
}

MemoryFit MemoryFit::forSize(qint64 fileBytes, double factor)
{
    MemoryFit fit;
    fit.needed = qint64(double(qMax<qint64>(fileBytes, 0)) * factor);
    fit.available = availableNow();
    return fit;
}

MemoryFit MemoryFit::forFile(const QString &filePath, double factor)
{
    const QFileInfo info(filePath);
    return forSize(info.isFile() ? info.size() : 0, factor);
}

MemoryFit MemoryFit::forComparison(const QString &first, const QString &second, bool firstOpen)
{
    const auto size = [](const QString &path) {
        const QFileInfo info(path);
        return double(info.isFile() ? info.size() : 0);
    };
    const double firstBytes = size(first);
    const double secondBytes = size(second);
    if (firstOpen)
        return forComparisonWithOpen(qint64(firstBytes), qint64(secondBytes));
    MemoryFit fit;
    fit.needed = qint64(kCompareFactor * (firstBytes + secondBytes));
    fit.available = availableNow();
    return fit;
}

MemoryFit MemoryFit::forComparisonWithOpen(qint64 openBytes, qint64 otherBytes)
{
    MemoryFit fit;
    fit.needed = qint64(kCompareOpenFactor * double(qMax<qint64>(openBytes, 0)) +
                        kCompareOtherFactor * double(qMax<qint64>(otherBytes, 0)));
    fit.available = availableNow();
    return fit;
}

QString MemoryFit::comparingRisk()
{
    return tr("Compared anyway, it may make the computer slow to respond, or the system may end "
              "Varnel to free memory. Close other programs first, or compare anyway.");
}

QString MemoryFit::shortage(const QString &filePath) const
{
    const QLocale locale;
    return tr("Opening %1 needs about %2 of memory, but only %3 are available now.")
        .arg(QDir::toNativeSeparators(filePath), locale.formattedDataSize(needed, 1),
             locale.formattedDataSize(qMax<qint64>(available, 0), 1));
}

} // namespace vrn
