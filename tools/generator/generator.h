#pragma once

#include <QByteArray>
#include <QString>
#include <QStringList>

namespace vrn {
struct XsdtNode;
}

namespace vrn::testdata {

// Options of the deterministic settings-file generator. The same seed and size give the
// same tree whatever the layout, so a compact and an indented file can be compared.
struct GeneratorOptions
{
    quint64 seed = 1;
    qint64 targetBytes = 256 * 1024; // roughly the size of the compact form
    bool indented = false;           // line breaks and indentation between elements
    bool alternateSyntax = false;    // single quotes, numeric references, other attribute order
    bool duplicateKeys = true;       // a few keys that occur twice among their siblings
    bool compressed = true;          // values in the compressed block form
    bool unknownType = true;         // one value with a type code the editor does not know
    // Things a health check should find: a folder that does not exist, an out-of-range value,
    // data of a module that is not registered, a duplicate key.
    bool plantProblems = false;
    // The rest of what a health check reports: an option value outside its list, more
    // processors than a small computer has (64), and two switches that allow unsigned content
    // (plus a third written "True", which does not count).
    bool plantMoreProblems = false;
    // A top-level PixelClipboard group, which the module analysis counts as the data of a
    // module that is not registered.
    bool pixelClipboard = true;
    // The user's home folder in the paths the file records, as on another computer.
    QString home = QStringLiteral("/home/astro");
};

QByteArray generateSettings(const GeneratorOptions &options);

// A compact settings file around hand-written <i>/<v> elements, for small test documents.
QByteArray wrapSettings(const QByteArray &elements);

// PixInsight's installed.xri with this many packages: mostly modules, some of PixInsight's own
// packages, the module "Orrinpad" recorded twice and "OrrinpadTools" among the first ones.
QByteArray generateRecordFile(int packages, quint64 seed = 1);

// Names used by the generator, so tests can look for what it wrote.
QStringList generatedModuleNames(const GeneratorOptions &options);
// The first editable string value below `node` in file order: something a measurement can
// change so that a save has work to do.
XsdtNode *firstEditableString(const XsdtNode &node);

inline constexpr const char *kUnregisteredModule = "Kestrane";
inline constexpr const char *kMissingFolder = "/media/astro/OldDisk/PixInsight-Downloads";

} // namespace vrn::testdata
