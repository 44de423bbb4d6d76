#include "knowledge/modules.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "document/xsdtwriter.h"

#include <QHash>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <optional>

namespace vrn {

namespace {

bool lessIgnoringCase(const QString &a, const QString &b)
{
    return QString::compare(a, b, Qt::CaseInsensitive) < 0;
}

// Stable, so names that differ only in case keep a fixed order.
void sortIgnoringCase(QStringList &names)
{
    std::stable_sort(names.begin(), names.end(), lessIgnoringCase);
}

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

// The places where a module's traces are looked up, hashed once so that gathering many
// modules does not rescan the same large groups for each of them.
class ModuleIndex
{
public:
    explicit ModuleIndex(const XsdtDocument &document)
    {
        if (XsdtNode *modules = topGroup(document, u"Modules")) {
            for (const auto &child : modules->children) {
                if (!child->isValue())
                    continue;
                const QString name = moduleNameFromFile(child->value);
                if (!name.isEmpty() && !m_registry.contains(name))
                    m_registry.insert(name, child.get());
            }
        }
        indexGroups(topGroup(document, u"ModuleData"), m_data);
        indexGroups(topGroup(document, u"ModuleDataAccess"), m_access);
        indexGroups(&document.root, m_topLevel);
        indexFirst(document.findPath(u"Global/Preferences/ProcessInterface"), m_interfaces);
        indexFirst(document.findPath(u"Global/Statistics/Process"), m_statistics);
    }

    ModuleEntries entries(const QString &name) const
    {
        ModuleEntries result;
        result.name = name;
        result.registryEntry = m_registry.value(name);
        result.registered = result.registryEntry != nullptr;

        QStringList processKeys{name};
        for (XsdtNode *node : m_data.value(name)) {
            result.nodes.append(node);
            appendGroupChildKeys(node->childByKey(u"Interfaces"), processKeys);
        }
        result.nodes.append(m_access.value(name));
        if (!isPixInsightTopLevelKey(name)) {
            for (XsdtNode *node : m_topLevel.value(name)) {
                result.nodes.append(node);
                appendGroupChildKeys(node->childByKey(u"Interfaces"), processKeys);
            }
        }
        processKeys.removeDuplicates();
        for (const QString &key : std::as_const(processKeys)) {
            if (XsdtNode *node = m_interfaces.value(key); node && node->isGroup())
                result.nodes.append(node);
            if (XsdtNode *node = m_statistics.value(key); node && node->isGroup())
                result.nodes.append(node);
        }
        return result;
    }

private:
    // Every group child per key, in document order.
    static void indexGroups(const XsdtNode *parent, QHash<QStringView, QList<XsdtNode *>> &out)
    {
        if (!parent)
            return;
        for (const auto &child : parent->children) {
            if (child->isGroup())
                out[QStringView(child->key)].append(child.get());
        }
    }

    // The first child per key, whatever its kind, as a path lookup would find it.
    static void indexFirst(const XsdtNode *parent, QHash<QStringView, XsdtNode *> &out)
    {
        if (!parent || !parent->isGroup())
            return;
        for (const auto &child : parent->children) {
            const QStringView key(child->key);
            if (!out.contains(key))
                out.insert(key, child.get());
        }
    }

    QHash<QString, XsdtNode *> m_registry;
    QHash<QStringView, QList<XsdtNode *>> m_data;
    QHash<QStringView, QList<XsdtNode *>> m_access;
    QHash<QStringView, QList<XsdtNode *>> m_topLevel;
    QHash<QStringView, XsdtNode *> m_interfaces;
    QHash<QStringView, XsdtNode *> m_statistics;
};

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

QString moduleNameFromFile(const QString &path)
{
    static const QRegularExpression pattern(QStringLiteral(R"(([^/\\]+?)-pxm\.(?:dll|so|dylib)$)"));
    const QRegularExpressionMatch match = pattern.match(path);
    return match.hasMatch() ? match.captured(1) : QString();
}

QStringList registeredModules(const XsdtDocument &document)
{
    QStringList names;
    XsdtNode *modules = topGroup(document, u"Modules");
    if (!modules)
        return names;
    QSet<QString> seen;
    for (const auto &child : modules->children) {
        if (!child->isValue())
            continue;
        const QString name = moduleNameFromFile(child->value);
        if (!name.isEmpty() && !seen.contains(name)) {
            seen.insert(name);
            names.append(name);
        }
    }
    sortIgnoringCase(names);
    return names;
}

bool isPixInsightTopLevelKey(const QString &key)
{
    static const QSet<QString> keys = {
        QStringLiteral("Global"),
        QStringLiteral("MainWindow"),
        QStringLiteral("Modules"),
        QStringLiteral("ModuleData"),
        QStringLiteral("ModuleDataAccess"),
        QStringLiteral("ScriptData"),
        QStringLiteral("LastVersion"),
        QStringLiteral("PixInsight"),
        QStringLiteral("CentralWidgetClients"),
        QStringLiteral("CommandHistory"),
        QStringLiteral("DontShowAgain"),
        QStringLiteral("ExtensibleWidgets"),
        QStringLiteral("FileExplorer"),
        QStringLiteral("FloatingInstanceInfoViewer"),
        QStringLiteral("FloatingSourceEditor"),
        QStringLiteral("ThreadPerformanceOptimization"),
    };
    return keys.contains(key);
}

QStringList modulesWithData(const XsdtDocument &document)
{
    QStringList names;
    QSet<QString> seen;
    auto add = [&](const QString &name) {
        if (!seen.contains(name)) {
            seen.insert(name);
            names.append(name);
        }
    };
    for (QStringView container : {u"ModuleData", u"ModuleDataAccess"}) {
        if (XsdtNode *group = topGroup(document, container)) {
            for (const auto &child : group->children) {
                if (child->isGroup() && child->key != QLatin1String("0"))
                    add(child->key);
            }
        }
    }
    for (const auto &child : document.root.children) {
        if (child->isGroup() && !isPixInsightTopLevelKey(child->key))
            add(child->key);
    }
    sortIgnoringCase(names);
    return names;
}

ModuleEntries moduleEntries(const XsdtDocument &document, const QString &name)
{
    return ModuleIndex(document).entries(name);
}

QList<ModuleEntries> unusedModuleData(const XsdtDocument &document)
{
    QList<ModuleEntries> result;
    const QStringList registered = registeredModules(document);
    const QSet<QString> known(registered.begin(), registered.end());
    std::optional<ModuleIndex> index;
    for (const QString &name : modulesWithData(document)) {
        if (known.contains(name))
            continue;
        if (!index)
            index.emplace(document);
        result.append(index->entries(name));
    }
    return result;
}

QList<ModuleEntries> findModule(const XsdtDocument &document, const QString &query, bool *exact)
{
    if (exact)
        *exact = false;
    const QString q = query.trimmed();
    if (q.isEmpty())
        return {};
    QStringList candidates = modulesWithData(document) + registeredModules(document);
    candidates.removeDuplicates();

    QStringList matches;
    for (const QString &name : std::as_const(candidates)) {
        if (name.compare(q, Qt::CaseInsensitive) == 0)
            matches.append(name);
    }
    if (exact)
        *exact = !matches.isEmpty();
    if (matches.isEmpty()) {
        for (const QString &name : std::as_const(candidates)) {
            if (name.contains(q, Qt::CaseInsensitive))
                matches.append(name);
        }
    }
    sortIgnoringCase(matches);

    QList<ModuleEntries> result;
    if (matches.isEmpty())
        return result;
    const ModuleIndex index(document);
    result.reserve(matches.size());
    for (const QString &name : std::as_const(matches))
        result.append(index.entries(name));
    return result;
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

} // namespace vrn
