#include "knowledge/modules.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "document/xsdtwriter.h"
#include "environment/pixinsight.h"

#include <QDir>
#include <QHash>
#include <QStringList>

#include <algorithm>
#include <optional>
#include <utility>
#include <vector>

namespace vrn {

void sortUniqueIgnoringCase(QStringList &names)
{
    // Each name folded once: comparing ignoring case folds both names at every step, and the
    // hundred thousand names of a large file took a good part of a second. Folded names
    // compare as the names do ignoring case.
    std::vector<std::pair<QString, qsizetype>> keyed;
    keyed.reserve(size_t(names.size()));
    for (qsizetype i = 0; i < names.size(); ++i)
        keyed.emplace_back(names.at(i).toCaseFolded(), i);
    std::stable_sort(keyed.begin(), keyed.end(), [](const auto &a, const auto &b) {
        return QString::compare(a.first, b.first, Qt::CaseSensitive) < 0;
    });
    QStringList unique;
    unique.reserve(names.size());
    qsizetype runStart = 0; // first element in `unique` of the current case-insensitive run
    const QString *runKey = nullptr;
    for (const auto &[key, at] : keyed) {
        const QString &name = names.at(at);
        if (!runKey || *runKey != key) {
            runStart = unique.size();
            runKey = &key;
        }
        bool seen = false;
        for (qsizetype i = runStart; i < unique.size() && !seen; ++i)
            seen = unique.at(i) == name;
        if (!seen)
            unique.append(name);
    }
    names = std::move(unique);
}

namespace {

XsdtNode *topGroup(const XsdtDocument &document, QStringView key)
{
    XsdtNode *node = document.root.childByKey(key);
    return node && node->isGroup() ? node : nullptr;
}

void appendGroupChildKeys(const XsdtNode *node, QStringList &keys)
{
    if (!node || !node->isGroup())
        return;
    for (const auto &child : node->children) {
        if (child->isGroup())
            keys.append(child->key);
    }
}

void appendValuesBelow(XsdtNode *node, QList<XsdtNode *> &out)
{
    if (node->isValue()) {
        out.append(node);
        return;
    }
    for (const auto &child : node->children)
        appendValuesBelow(child.get(), out);
}

// The children of one group sorted by key, document order kept among equal keys, so that
// looking up many names costs a binary search each instead of a scan of a large group.
// (Sorting is also much cheaper here than hashing every key.)
class SortedChildren
{
public:
    SortedChildren() = default;
    SortedChildren(const XsdtNode *parent, bool groupsOnly)
    {
        if (!parent || !parent->isGroup())
            return;
        m_entries.reserve(parent->children.size());
        for (const auto &child : parent->children) {
            if (!groupsOnly || child->isGroup())
                m_entries.push_back({child->key.view(), child.get()});
        }
        std::stable_sort(m_entries.begin(), m_entries.end(), byKey);
    }

    // Every indexed child with this key, in document order.
    template <typename Visit>
    void forEach(QStringView key, Visit visit) const
    {
        auto range =
            std::equal_range(m_entries.begin(), m_entries.end(), Entry{key, nullptr}, byKey);
        for (auto it = range.first; it != range.second; ++it)
            visit(it->node);
    }

    // The first child with this key, as a path lookup would find it.
    XsdtNode *first(QStringView key) const
    {
        XsdtNode *found = nullptr;
        auto it = std::lower_bound(m_entries.begin(), m_entries.end(), Entry{key, nullptr}, byKey);
        if (it != m_entries.end() && it->key == key)
            found = it->node;
        return found;
    }

private:
    struct Entry
    {
        QStringView key;
        XsdtNode *node;
    };
    static bool byKey(const Entry &a, const Entry &b) { return a.key < b.key; }
    std::vector<Entry> m_entries;
};

// Where a module's traces are looked up, prepared once for all the modules of one call.
class ModuleIndex
{
public:
    ModuleIndex(const XsdtDocument &document, const QList<RegistryValue> &registry)
        : m_data(topGroup(document, u"ModuleData"), true)
        , m_access(topGroup(document, u"ModuleDataAccess"), true)
        , m_topLevel(&document.root, true)
        , m_interfaces(document.findPath(u"Global/Preferences/ProcessInterface"), false)
        , m_statistics(document.findPath(u"Global/Statistics/Process"), false)
    {
        for (const RegistryValue &entry : registry) {
            QString name = moduleNameFromFile(entry.value);
            if (!name.isEmpty())
                m_registry.push_back({std::move(name), entry.node});
        }
        std::stable_sort(m_registry.begin(), m_registry.end(),
                         [](const auto &a, const auto &b) { return a.first < b.first; });
    }

    ModuleEntries entries(const QString &name) const
    {
        ModuleEntries result;
        result.name = name;
        auto registry =
            std::lower_bound(m_registry.begin(), m_registry.end(), name,
                             [](const auto &entry, const QString &n) { return entry.first < n; });
        if (registry != m_registry.end() && registry->first == name) {
            result.registryEntry = registry->second;
            result.registered = true;
        }

        QStringList processKeys{name};
        m_data.forEach(name, [&](XsdtNode *node) {
            result.nodes.append(node);
            appendGroupChildKeys(node->childByKey(u"Interfaces"), processKeys);
        });
        m_access.forEach(name, [&](XsdtNode *node) { result.nodes.append(node); });
        if (!isPixInsightTopLevelKey(name)) {
            m_topLevel.forEach(name, [&](XsdtNode *node) {
                result.nodes.append(node);
                appendGroupChildKeys(node->childByKey(u"Interfaces"), processKeys);
            });
        }
        processKeys.removeDuplicates();
        for (const QString &key : std::as_const(processKeys)) {
            if (XsdtNode *node = m_interfaces.first(key); node && node->isGroup())
                result.nodes.append(node);
            if (XsdtNode *node = m_statistics.first(key); node && node->isGroup())
                result.nodes.append(node);
        }
        return result;
    }

private:
    std::vector<std::pair<QString, XsdtNode *>> m_registry; // by name, first entry first
    SortedChildren m_data;
    SortedChildren m_access;
    SortedChildren m_topLevel;
    SortedChildren m_interfaces;
    SortedChildren m_statistics;
};

QStringList registeredNames(const QList<RegistryValue> &registry)
{
    QStringList names;
    for (const RegistryValue &entry : registry) {
        const QString name = moduleNameFromFile(entry.value);
        if (!name.isEmpty())
            names.append(name);
    }
    sortUniqueIgnoringCase(names);
    return names;
}

} // namespace

qsizetype ModuleEntries::valueCount() const
{
    qsizetype count = registryEntry ? 1 : 0;
    for (const XsdtNode *node : nodes)
        count += node->valueCount();
    return count;
}

qint64 ModuleEntries::byteSize() const
{
    qint64 bytes = 0;
    for (const XsdtNode *node : nodes)
        bytes += serializedSize(node);
    return bytes;
}

bool ModuleEntries::onlyAccessRecords() const
{
    return !nodes.isEmpty() && std::all_of(nodes.cbegin(), nodes.cend(), [](const XsdtNode *node) {
        const XsdtNode *group = node->parent; // must be the top-level ModuleDataAccess
        return group && group->parent && !group->parent->parent &&
               group->key == QLatin1String("ModuleDataAccess");
    });
}

QString moduleNameFromFile(const QString &path)
{
    // The file name before "-pxm." and one of the three library suffixes at the very end (or
    // before one final line break, as a pattern's "$" would allow). Hand-written because the
    // registry of a large file has thousands of entries and this runs for each.
    QStringView s(path);
    if (s.endsWith(u'\n'))
        s.chop(1);
    qsizetype suffix = 0;
    for (QStringView ending : {u"-pxm.so", u"-pxm.dll", u"-pxm.dylib"}) {
        if (s.endsWith(ending)) {
            suffix = ending.size();
            break;
        }
    }
    if (suffix == 0)
        return QString();
    const QStringView stem = s.chopped(suffix);
    qsizetype start = stem.size();
    while (start > 0 && stem.at(start - 1) != u'/' && stem.at(start - 1) != u'\\')
        --start;
    return stem.size() > start ? stem.mid(start).toString() : QString();
}

QList<RegistryValue> registryValues(const XsdtDocument &document)
{
    QList<RegistryValue> values;
    if (XsdtNode *modules = topGroup(document, u"Modules")) {
        for (const auto &child : modules->children) {
            if (child->isValue())
                values.append({child.get(), child->value});
        }
    }
    return values;
}

QStringList registeredModules(const XsdtDocument &document)
{
    return registeredNames(registryValues(document));
}

bool isPixInsightTopLevelKey(const QString &key)
{
    static const QLatin1String keys[] = {
        QLatin1String("Global"),
        QLatin1String("MainWindow"),
        QLatin1String("Modules"),
        QLatin1String("ModuleData"),
        QLatin1String("ModuleDataAccess"),
        QLatin1String("ScriptData"),
        QLatin1String("LastVersion"),
        QLatin1String("PixInsight"),
        QLatin1String("CentralWidgetClients"),
        QLatin1String("CommandHistory"),
        QLatin1String("DontShowAgain"),
        QLatin1String("ExtensibleWidgets"),
        QLatin1String("FileExplorer"),
        QLatin1String("FloatingInstanceInfoViewer"),
        QLatin1String("FloatingSourceEditor"),
        QLatin1String("ThreadPerformanceOptimization"),
        // The deletion rules describe it as PixInsight's pixel clipboard state.
        QLatin1String("PixelClipboard"),
    };
    return std::any_of(std::begin(keys), std::end(keys),
                       [&](QLatin1String own) { return key == own; });
}

QStringList modulesWithData(const XsdtDocument &document)
{
    QStringList names;
    for (QStringView container : {u"ModuleData", u"ModuleDataAccess"}) {
        if (XsdtNode *group = topGroup(document, container)) {
            for (const auto &child : group->children) {
                if (child->isGroup() && child->key != QLatin1String("0"))
                    names.append(child->key);
            }
        }
    }
    for (const auto &child : document.root.children) {
        if (child->isGroup() && !isPixInsightTopLevelKey(child->key))
            names.append(child->key);
    }
    sortUniqueIgnoringCase(names);
    return names;
}

ModuleEntries moduleEntries(const XsdtDocument &document, const QString &name)
{
    return ModuleIndex(document, registryValues(document)).entries(name);
}

QList<ModuleEntries> unusedModuleData(const XsdtDocument &document)
{
    return unusedModuleData(document, registryValues(document));
}

QList<ModuleEntries> unusedModuleData(const XsdtDocument &document,
                                      const QList<RegistryValue> &registry,
                                      const std::atomic_bool *cancelled)
{
    // Each step sorts tens of thousands of names in a large file: a worker told to stop waits
    // for one of them at most.
    const auto stopped = [cancelled] { return cancelled && cancelled->load(); };
    QList<ModuleEntries> result;
    QStringList registered = registeredNames(registry);
    if (stopped())
        return {};
    std::sort(registered.begin(), registered.end());
    const QStringList withData = modulesWithData(document);
    std::optional<ModuleIndex> index;
    for (const QString &name : withData) {
        if (stopped())
            return {};
        if (std::binary_search(registered.cbegin(), registered.cend(), name))
            continue;
        if (!index)
            index.emplace(document, registry);
        result.append(index->entries(name));
    }
    return result;
}

class ModuleFinder::Index : public ModuleIndex
{
public:
    using ModuleIndex::ModuleIndex;
};

ModuleFinder::ModuleFinder(const XsdtDocument &document, const std::atomic_bool *cancelled)
    : ModuleFinder(document, registryValues(document), cancelled)
{}

ModuleFinder::ModuleFinder(const XsdtDocument &document, const QList<RegistryValue> &registry,
                           const std::atomic_bool *cancelled)
{
    const QStringList withData = modulesWithData(document);
    if (cancelled && cancelled->load())
        return;
    const QStringList registered = registeredNames(registry);
    m_candidates = withData + registered;
    m_names = withData;
    // Names with data, then registered names without: looked up in a sorted copy rather than
    // by scanning the list once for each of thousands of registered names.
    QStringList sorted = withData;
    std::sort(sorted.begin(), sorted.end());
    for (const QString &name : registered) {
        if (!std::binary_search(sorted.cbegin(), sorted.cend(), name))
            m_names.append(name);
    }
    if (cancelled && cancelled->load())
        return;
    for (const QString &name : std::as_const(m_candidates))
        m_candidatesFolded[name.toCaseFolded()].append(name);
    if (XsdtNode *scripts = topGroup(document, u"ScriptData")) {
        for (const auto &child : scripts->children) {
            if (child->isGroup())
                m_scriptsFolded[child->key.view().toString().toCaseFolded()].append(child.get());
        }
    }
    m_index = std::make_unique<Index>(document, registry);
}

ModuleFinder::~ModuleFinder() = default;

QList<ModuleEntries> ModuleFinder::find(const QString &query, bool *exact) const
{
    if (exact)
        *exact = false;
    const QString q = query.trimmed();
    if (q.isEmpty() || !m_index)
        return {};
    QStringList matches = exactNames(q);
    if (exact)
        *exact = !matches.isEmpty();
    if (matches.isEmpty()) {
        for (const QString &name : m_candidates) {
            if (name.contains(q, Qt::CaseInsensitive))
                matches.append(name);
        }
    }
    return entriesOf(matches);
}

QList<ModuleEntries> ModuleFinder::findExact(const QString &query) const
{
    const QString q = query.trimmed();
    if (q.isEmpty() || !m_index)
        return {};
    return entriesOf(exactNames(q));
}

QStringList ModuleFinder::exactNames(const QString &q) const
{
    QStringList matches;
    for (const QString &name : m_candidatesFolded.value(q.toCaseFolded())) {
        if (name.compare(q, Qt::CaseInsensitive) == 0)
            matches.append(name);
    }
    return matches;
}

QList<ModuleEntries> ModuleFinder::entriesOf(QStringList names) const
{
    sortUniqueIgnoringCase(names);
    QList<ModuleEntries> result;
    result.reserve(names.size());
    for (const QString &name : std::as_const(names))
        result.append(m_index->entries(name));
    return result;
}

QList<XsdtNode *> ModuleFinder::scriptGroups(const QString &name) const
{
    QList<XsdtNode *> groups;
    for (XsdtNode *group : m_scriptsFolded.value(name.toCaseFolded())) {
        if (group->key.compare(name, Qt::CaseInsensitive) == 0)
            groups.append(group);
    }
    return groups;
}

QList<ModuleEntries> findModule(const XsdtDocument &document, const QString &query, bool *exact)
{
    if (exact)
        *exact = false;
    if (query.trimmed().isEmpty())
        return {};
    return ModuleFinder(document).find(query, exact);
}

QList<XsdtNode *> valueNodes(const ModuleEntries &entries)
{
    QList<XsdtNode *> values;
    if (entries.registryEntry)
        values.append(entries.registryEntry);
    for (XsdtNode *node : entries.nodes)
        appendValuesBelow(node, values);
    return values;
}

QList<XsdtNode *> moduleDataValues(const XsdtDocument &document, const QString &name,
                                   QStringList *similar)
{
    return moduleDataValues(document, ModuleFinder(document), name, similar);
}

QList<XsdtNode *> moduleDataValues(const XsdtDocument &document, const ModuleFinder &finder,
                                   const QString &name, QStringList *similar)
{
    if (similar)
        similar->clear();
    QList<XsdtNode *> values;
    // The names that merely contain this one are looked for only when nothing has it.
    const QList<ModuleEntries> modules = finder.findExact(name);
    QList<XsdtNode *> found;
    for (const ModuleEntries &entries : modules) {
        for (XsdtNode *node : entries.nodes)
            appendValuesBelow(node, found);
    }
    const QString q = name.trimmed();
    XsdtNode *scripts = q.isEmpty() ? nullptr : topGroup(document, u"ScriptData");
    if (scripts) {
        for (XsdtNode *group : finder.scriptGroups(q))
            appendValuesBelow(group, found);
    }
    for (XsdtNode *node : std::as_const(found)) {
        if (!node->isDeleted())
            values.append(node);
    }
    // Looked for only when the name found nothing: an export names thousands that all do.
    if (found.isEmpty() && similar) {
        for (const ModuleEntries &entries : modules.isEmpty() ? finder.find(name) : modules)
            similar->append(entries.name);
        if (scripts) {
            for (const auto &child : scripts->children) {
                if (child->isGroup() && child->key.contains(q, Qt::CaseInsensitive) &&
                    child->key.compare(q, Qt::CaseInsensitive) != 0)
                    similar->append(child->key);
            }
        }
        sortUniqueIgnoringCase(*similar);
    }
    return values;
}

QList<DoubledRegistration> doubledRegistrations(const XsdtDocument &document, const QString &binDir,
                                                bool windowsPaths)
{
    QList<DoubledRegistration> doubled;
    XsdtNode *modules = topGroup(document, u"Modules");
    if (!modules || modules->pendingDelete)
        return doubled;
    static const QLatin1String placeholder("@pxi_bin_dir/");
    QHash<QString, std::pair<XsdtNode *, QString>> firstByFile;
    for (const auto &child : modules->children) {
        if (!child->isValue() || child->pendingDelete || child->value.trimmed().isEmpty())
            continue;
        // Without a known bin folder a placeholder entry still equals its own kind.
        QString file = binDir.isEmpty() && child->value.startsWith(placeholder)
                           ? child->value.toString()
                           : resolveRegistryPath(child->value, binDir);
        if (windowsPaths)
            file.replace(QLatin1Char('\\'), QLatin1Char('/'));
        // Cleaning costs more than the rest for a large registry, and few entries need it.
        if (file.contains(QLatin1String("//")) || file.contains(QLatin1String("/.")))
            file = QDir::cleanPath(file);
        const QString key = windowsPaths ? file.toCaseFolded() : file;
        auto it = firstByFile.constFind(key);
        if (it == firstByFile.constEnd())
            firstByFile.insert(key, {child.get(), file});
        else
            doubled.append(DoubledRegistration{it->first, child.get(), it->second});
    }
    return doubled;
}

} // namespace vrn
