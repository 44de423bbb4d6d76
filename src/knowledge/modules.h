#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <memory>

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

// A module registry entry with its value as it was when copied. Work off the GUI thread is
// handed such copies, taken on the GUI thread, as the entries' values and marks may change
// there while it runs.
struct RegistryValue
{
    XsdtNode *node = nullptr;
    QString value;
};
QList<RegistryValue> registryValues(const XsdtDocument &document);

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
// The same by the registry's values as copied beforehand; nothing once `cancelled` is set.
QList<ModuleEntries> unusedModuleData(const XsdtDocument &document,
                                      const QList<RegistryValue> &registry,
                                      const std::atomic_bool *cancelled = nullptr);

// Modules named like the query (ignoring case) or, when none is, containing it. `exact` tells
// which of the two it was. An empty query finds nothing.
QList<ModuleEntries> findModule(const XsdtDocument &document, const QString &query,
                                bool *exact = nullptr);

// What Find module looks up, prepared once for a document: a large file has thousands of
// modules, and preparing takes long enough to be done on a worker after loading.
class ModuleFinder
{
public:
    // Gives up early, leaving nothing to find, once `cancelled` is set.
    explicit ModuleFinder(const XsdtDocument &document,
                          const std::atomic_bool *cancelled = nullptr);
    // The same by the registry's values as copied beforehand.
    ModuleFinder(const XsdtDocument &document, const QList<RegistryValue> &registry,
                 const std::atomic_bool *cancelled = nullptr);
    ~ModuleFinder();
    ModuleFinder(const ModuleFinder &) = delete;
    ModuleFinder &operator=(const ModuleFinder &) = delete;

    // Modules with data, then registered modules without; the suggestions for a name.
    const QStringList &names() const { return m_names; }
    // As findModule() on the document it was made for.
    QList<ModuleEntries> find(const QString &query, bool *exact = nullptr) const;
    // Only the modules of exactly this name, ignoring case.
    QList<ModuleEntries> findExact(const QString &query) const;
    // The script data groups named `name` ignoring case, in document order, as they were when
    // the finder was made.
    QList<XsdtNode *> scriptGroups(const QString &name) const;

private:
    QStringList exactNames(const QString &query) const;
    QList<ModuleEntries> entriesOf(QStringList names) const;

    class Index;
    QStringList m_candidates; // with data, then registered, as a search goes through them
    QStringList m_names;
    // By case-folded name: an export asks for thousands of names, and a scan of every
    // candidate for each took seconds. What is found is compared ignoring case as before.
    QHash<QString, QStringList> m_candidatesFolded;
    QHash<QString, QList<XsdtNode *>> m_scriptsFolded;
    std::unique_ptr<Index> m_index;
};

// The registry entry, then every value of the module's data in document order.
QList<XsdtNode *> valueNodes(const ModuleEntries &entries);

// Sorts ignoring case and drops exact duplicates, keeping the first occurrence: the result is
// the same as removing duplicates first and then sorting stably.
void sortUniqueIgnoringCase(QStringList &names);

// What a module search finds for exactly this name (ignoring case), registry entries left out,
// followed by the values of the script data group of that name: the data that goes with a
// module or script when a setup moves to another computer. When nothing has the name, the
// result is empty and `similar` lists the names that contain it.
QList<XsdtNode *> moduleDataValues(const XsdtDocument &document, const QString &name,
                                   QStringList *similar = nullptr);
// The same with a finder made once for the document, for many names in a row.
QList<XsdtNode *> moduleDataValues(const XsdtDocument &document, const ModuleFinder &finder,
                                   const QString &name, QStringList *similar = nullptr);

// A module file registered a second time: `first` is the earlier registry entry, `later` the
// one that repeats it, `file` the file both name with "@pxi_bin_dir" resolved.
struct DoubledRegistration
{
    XsdtNode *first = nullptr;
    XsdtNode *later = nullptr;
    QString file;
};

// Registry entries that name a module file an earlier live entry already names, compared after
// resolving "@pxi_bin_dir" to `binDir` (when it is known) and, with Windows rules, ignoring
// case and separator kind. Entries queued for deletion are left out.
QList<DoubledRegistration> doubledRegistrations(const XsdtDocument &document, const QString &binDir,
                                                bool windowsPaths);

} // namespace vrn
