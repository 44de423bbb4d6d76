#pragma once

#include <QCoreApplication>
#include <QString>

#include <functional>

namespace vrn {

// Whether a settings file of a given size can be opened in the memory this machine has free,
// asked before reading it, so that a file far too large is refused with a reason instead of
// the system's out-of-memory killer ending the program halfway.
class MemoryFit
{
    Q_DECLARE_TR_FUNCTIONS(vrn::MemoryFit)

public:
    // Bytes of memory per byte of file at the peak of opening and saving it, as measured: the
    // file's bytes while they are read beside the document built from them (4.2 to 4.4 times
    // the file at 50 and 300 MB), or the document and the new text of a save.
    static constexpr double kReadFactor = 4.5;
    // A look-up of a few settings holds the file's bytes and little else (1.25 times).
    static constexpr double kLookUpFactor = 1.5;
    // Comparing two files, per byte of both: the two documents, the index of the second and
    // the records. Two unrelated 50 MB files peaked at 2.8 times the two in varnelctl.
    static constexpr double kCompareFactor = 5.0;
    // What comparing adds to a document open in the window: per byte of the other file, its
    // document, the index of it and the records of entries only there; per byte of the open
    // file, the records of its entries. Two unrelated 50 MB files added 3.0 to 3.2 times the
    // other file (2.6 to 2.7 times the two with the open document), the heap's slack moving it
    // from run to run.
    static constexpr double kCompareOtherFactor = 4.0;
    static constexpr double kCompareOpenFactor = 0.5;
    // The window adds its tree model, pages and analyses: 7 times a 1.9 GB file was seen.
    static constexpr double kWindowFactor = 7.0;

    qint64 needed = 0;     // bytes
    qint64 available = -1; // bytes free for new work now; -1 when nobody can tell

    // An unknown amount of free memory counts as enough: the check must not lock users out.
    bool fits() const { return available < 0 || needed <= available; }
    // "Opening … needs about 1.2 GiB of memory, but only 800 MiB are available."
    QString shortage(const QString &filePath) const;

    // The fit of the file at `filePath` (0 bytes needed when it cannot be found).
    static MemoryFit forFile(const QString &filePath, double factor = kReadFactor);
    static MemoryFit forSize(qint64 fileBytes, double factor = kReadFactor);
    // The fit of comparing two files (one that cannot be found counts 0 bytes); when the first
    // is open already, only what comparing adds to it.
    static MemoryFit forComparison(const QString &first, const QString &second, bool firstOpen);
    // What comparing adds to a document of `openBytes` in memory already, with `otherBytes`.
    static MemoryFit forComparisonWithOpen(qint64 openBytes, qint64 otherBytes);
    // What the user is told before comparing despite a shortage.
    static QString comparingRisk();

    // Memory the system could give now without swapping: MemAvailable of /proc/meminfo, -1
    // when it cannot be read. Tests set another source; an empty function restores it.
    using Source = std::function<qint64()>;
    static void setSource(Source source);
    static qint64 availableNow();
};

} // namespace vrn
