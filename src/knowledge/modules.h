#pragma once

#include <QList>
#include <QString>
#include <QStringList>

namespace vrn {

struct XsdtNode;
class XsdtDocument;

// Everything a settings file records about one module: its registry entry and its data.
struct ModuleEntries
{
    QString name;
    bool registered = false;
    XsdtNode *registryEntry = nullptr; // null when not registered
    QList<XsdtNode *> nodes;           // data, access records, top-level group, process entries

    // The registry entry counts as one value; its bytes are not counted.
    qsizetype valueCount() const;
    qint64 byteSize() const;
    // Nothing but access records is left, and those are never deleted: once a module's data
    // is gone they stay for good, with nothing for the user to do about them.
    bool onlyAccessRecords() const;
};

// "…/Kestrane-pxm.so" -> "Kestrane"; empty for anything that is no module file.
QString moduleNameFromFile(const QString &path);

// Names in the module registry, without duplicates, sorted ignoring case.
QStringList registeredModules(const XsdtDocument &document);

// The top-level keys PixInsight writes itself; every other top-level group belongs to a module
// or script.
bool isPixInsightTopLevelKey(const QString &key);

// Names that have data in the file, sorted ignoring case.
QStringList modulesWithData(const XsdtDocument &document);

ModuleEntries moduleEntries(const XsdtDocument &document, const QString &name);

// Modules that left data behind but are not in the registry, in name order.
QList<ModuleEntries> unusedModuleData(const XsdtDocument &document);

// Modules named like the query (ignoring case) or, when none is, containing it. `exact` tells
// which of the two it was. An empty query finds nothing.
QList<ModuleEntries> findModule(const XsdtDocument &document, const QString &query,
                                bool *exact = nullptr);

// The registry entry, then every value of the module's data in document order.
QList<XsdtNode *> valueNodes(const ModuleEntries &entries);

} // namespace vrn
