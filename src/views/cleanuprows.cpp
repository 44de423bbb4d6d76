#include "views/cleanuprows.h"

#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "views/sizetext.h"

#include <QCoreApplication>
#include <QFont>
#include <QHash>
#include <QLocale>

#include <algorithm>

namespace vrn {

namespace {

// The rows' texts are the page's, under its name for translations.
struct CleanupTexts
{
    Q_DECLARE_TR_FUNCTIONS(vrn::CleanupView)
};

constexpr int kColumns = 4;
constexpr Qt::Alignment kNumberAlignment = Qt::AlignRight | Qt::AlignVCenter;

// An index's internal id names the row it is listed under: which kind in the two low bits,
// and which one above them.
enum Above : quintptr { AboveNothing = 0, AboveSection = 1, AboveGroup = 2, AboveEntry = 3 };

quintptr idOf(Above above, quintptr number)
{
    return number << 2 | above;
}

template <typename Node>
void sortByLabel(QList<QPair<QString, Node *>> &labelled)
{
    std::stable_sort(labelled.begin(), labelled.end(), [](const auto &a, const auto &b) {
        return a.first.compare(b.first, Qt::CaseInsensitive) < 0;
    });
}

// What a saved-settings entry is listed as: a tool's settings at the top of the file and its
// ModuleData both under the tool's name, anything else under its path.
QString toolName(const XsdtNode *node)
{
    const XsdtNode *parent = node->parent;
    const bool topLevel = parent && !parent->parent;
    const bool moduleData = parent && parent->parent && !parent->parent->parent &&
                            parent->key == QLatin1String("ModuleData");
    return topLevel || moduleData ? node->key.toString() : node->path();
}

QString statusText(quint32 queued, quint32 of)
{
    if (queued == 0)
        return {};
    if (queued == of)
        return CleanupTexts::tr("Queued for deletion");
    return CleanupTexts::tr("Partly queued (%L1 of %L2)").arg(queued).arg(of);
}

// The texts of the Values and Size columns.
QVariant numberData(int column, int role, qint64 values, qint64 bytes)
{
    if (role == Qt::TextAlignmentRole)
        return QVariant::fromValue(kNumberAlignment);
    if (role != Qt::DisplayRole && role != Qt::EditRole)
        return {};
    return column == 1 ? QLocale().toString(values) : CleanupRows::sizeText(bytes);
}

// The box of a row standing for `of` entries.
QVariant tickState(quint32 ticked, quint32 of)
{
    if (of == 0) // only the row saying so: no box
        return {};
    return ticked == 0 ? Qt::Unchecked : ticked == of ? Qt::Checked : Qt::PartiallyChecked;
}

// Builds a list, entry by entry.
class Planner
{
public:
    explicit Planner(CleanupRows::List &list)
        : m_list(list)
    {}
    void addEntry(qint32 group, const QList<XsdtNode *> &nodes, const QString &toolTip)
    {
        auto tip = m_toolTips.constFind(toolTip);
        if (tip == m_toolTips.cend()) {
            tip = m_toolTips.insert(toolTip, quint32(m_list.toolTips.size()));
            m_list.toolTips.append(toolTip);
        }
        m_list.entries.push_back({quint32(m_list.nodes.size()), group, *tip});
        for (XsdtNode *node : nodes)
            m_list.nodes.push_back({node, node->valueCount()});
    }

private:
    CleanupRows::List &m_list;
    QHash<QString, quint32> m_toolTips;
};

} // namespace

QString CleanupRows::sizeText(qint64 bytes)
{
    return vrn::sizeText(bytes, 1, false);
}

QString CleanupRows::geometryLabel(const XsdtNode *node)
{
    QStringList parts = node->path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.removeIf([](const QString &part) {
        return part == QLatin1String("ModuleData") || part == QLatin1String("Interfaces");
    });
    if (!parts.isEmpty() && parts.constLast() == QLatin1String("Geometry"))
        parts.removeLast();
    return parts.join(QStringLiteral(" \u203A "));
}

std::span<const CleanupRows::List::Node> CleanupRows::List::nodesOf(quint32 entry) const
{
    const quint32 first = entries[entry].firstNode;
    const quint32 end =
        entry + 1 < entries.size() ? entries[entry + 1].firstNode : quint32(nodes.size());
    return {nodes.data() + first, end - first};
}

std::unique_ptr<CleanupRows::List> CleanupRows::plan(const DeletionPolicy &policy,
                                                     XsdtDocument &document,
                                                     const std::atomic_bool &cancelled)
{
    auto list = std::make_unique<List>();
    Planner planner(*list);
    const auto isSafe = [&policy](const XsdtNode *node) {
        return policy.ruleVerdictFor(node).level == DeleteLevel::Safe;
    };
    for (const CleanupGroup &group : policy.cleanupGroups()) {
        if (cancelled)
            return nullptr;
        const auto number = qint32(list->groups.size());
        const auto firstEntry = quint32(list->entries.size());
        if (!group.each) {
            QList<XsdtNode *> kept;
            QStringList paths;
            for (const QString &path : group.paths) {
                XsdtNode *node = document.findPath(path);
                if (node && node->valueCount() > 0 && isSafe(node)) {
                    kept.append(node);
                    paths.append(node->path());
                }
            }
            if (!kept.isEmpty()) {
                planner.addEntry(number, kept,
                                 group.description + QLatin1Char('\n') +
                                     paths.join(QStringLiteral(", ")));
            }
        } else {
            QList<QPair<QString, XsdtNode *>> labelled;
            for (const QString &pattern : group.paths) {
                for (XsdtNode *node : nodesMatching(&document.root, pattern)) {
                    if (node->valueCount() > 0 && isSafe(node))
                        labelled.append({CleanupRows::geometryLabel(node), node});
                }
            }
            sortByLabel(labelled);
            for (const auto &[label, node] : std::as_const(labelled))
                planner.addEntry(number, {node}, policy.ruleVerdictFor(node).reason);
        }
        const auto entries = quint32(list->entries.size()) - firstEntry;
        if (entries > 0)
            list->groups.push_back(
                {group.title, group.description, group.each, firstEntry, entries});
    }
    // Saved settings by tool: a module's own group and its ModuleData are one entry.
    list->firstSaved = quint32(list->entries.size());
    QList<QPair<QString, XsdtNode *>> byName;
    for (XsdtNode *node : warnEntriesBelow(policy, &document.root)) {
        if (cancelled)
            return nullptr;
        if (node->valueCount() > 0)
            byName.append({toolName(node), node});
    }
    sortByLabel(byName);
    for (qsizetype i = 0; i < byName.size();) {
        QList<XsdtNode *> nodes;
        QStringList reasons;
        const QString &name = byName.at(i).first;
        for (; i < byName.size() && byName.at(i).first == name; ++i) {
            XsdtNode *node = byName.at(i).second;
            nodes.append(node);
            const QString reason = policy.ruleVerdictFor(node).reason;
            if (!reasons.contains(reason))
                reasons.append(reason);
        }
        planner.addEntry(-1, nodes, reasons.join(QLatin1Char('\n')));
    }
    return list;
}

CleanupRows::CleanupRows(QObject *parent)
    : QAbstractItemModel(parent)
{}

CleanupRows::~CleanupRows() = default;

void CleanupRows::setList(std::unique_ptr<List> list)
{
    beginResetModel();
    m_list = std::move(list);
    m_ticked[0] = m_ticked[1] = 0;
    if (m_list) {
        for (List::Group &group : m_list->groups) {
            for (quint32 e = group.firstEntry; e < group.firstEntry + group.entries; ++e) {
                for (const List::Node &node : m_list->nodesOf(e)) {
                    group.values += node.values;
                    group.bytes += node.bytes;
                }
            }
        }
    }
    endResetModel();
}

QString CleanupRows::entryLabel(quint32 entry) const
{
    const List::Entry &e = m_list->entries[entry];
    if (e.group < 0)
        return toolName(m_list->nodes[e.firstNode].node);
    const List::Group &group = m_list->groups[size_t(e.group)];
    return group.each ? CleanupRows::geometryLabel(m_list->nodes[e.firstNode].node) : group.title;
}

void CleanupRows::setEnabled(bool enabled)
{
    if (enabled == m_enabled)
        return;
    m_enabled = enabled;
    rowsChanged(0, kColumns - 1);
    if (!m_list)
        return;
    // The paths below entries grey out with them.
    for (quint32 e = 0; e < m_list->entries.size(); ++e) {
        const QModelIndex entry = entryIndex(e, 0);
        if (const int rows = rowCount(entry); rows > 0)
            emit dataChanged(index(0, 0, entry), index(rows - 1, kColumns - 1, entry));
    }
}

void CleanupRows::tickAll(bool skipNeedingConfirmation)
{
    if (!m_list)
        return;
    tick(0, m_list->firstSaved, true);
    tick(m_list->firstSaved, quint32(m_list->entries.size()), !skipNeedingConfirmation);
}

void CleanupRows::untickAll()
{
    if (m_list)
        tick(0, quint32(m_list->entries.size()), false);
}

void CleanupRows::tick(quint32 first, quint32 end, bool ticked)
{
    bool changed = false;
    for (quint32 e = first; e < end; ++e) {
        List::Entry &entry = m_list->entries[e];
        if (entry.ticked == ticked)
            continue;
        entry.ticked = ticked;
        changed = true;
        quint32 &section = m_ticked[entry.group < 0 ? 1 : 0];
        section = ticked ? section + 1 : section - 1;
        if (entry.group >= 0) {
            quint32 &group = m_list->groups[size_t(entry.group)].ticked;
            group = ticked ? group + 1 : group - 1;
        }
    }
    if (!changed)
        return;
    const QList<int> roles{Qt::CheckStateRole};
    if (end - first > 1) {
        rowsChanged(0, 0, roles);
        return;
    }
    // One box, and those of the rows above it.
    for (QModelIndex row = entryIndex(first, 0); row.isValid(); row = row.parent())
        emit dataChanged(row, row, roles);
}

CleanupRows::Marks CleanupRows::takeMarks()
{
    Marks marks;
    if (!m_list)
        return marks;
    // Sorted and counted once at the end: a set of 160,000 nodes grows by many rehashes.
    std::vector<const XsdtNode *> queued;
    for (List::Group &group : m_list->groups)
        group.queued = 0;
    // Neighbouring entries share their parent: its marks are looked up once for them.
    const XsdtNode *parent = nullptr;
    bool withParent = false;
    for (quint32 e = 0; e < m_list->entries.size(); ++e) {
        List::Entry &entry = m_list->entries[e];
        const std::span<const List::Node> nodes = m_list->nodesOf(e);
        quint32 deleted = 0;
        for (const List::Node &listed : nodes) {
            const XsdtNode *node = listed.node;
            if (node->parent != std::exchange(parent, node->parent))
                withParent = parent && parent->isDeleted();
            deleted += withParent || node->pendingDelete ? 1 : 0;
            if (node->pendingDelete && !withParent)
                queued.push_back(node);
        }
        marks.statusChanged |= deleted != entry.queued;
        entry.queued = deleted;
        if (entry.group >= 0 && deleted == nodes.size())
            ++m_list->groups[size_t(entry.group)].queued;
    }
    std::sort(queued.begin(), queued.end());
    marks.queued = int(std::unique(queued.begin(), queued.end()) - queued.begin());
    if (marks.statusChanged)
        rowsChanged(3, 3, {Qt::DisplayRole});
    return marks;
}

void CleanupRows::rowsChanged(int firstColumn, int lastColumn, const QList<int> &roles)
{
    if (!m_list)
        return;
    const auto all = [&](const QModelIndex &parent) {
        const int rows = rowCount(parent);
        if (rows > 0)
            emit dataChanged(index(0, firstColumn, parent), index(rows - 1, lastColumn, parent),
                             roles);
    };
    all({});
    for (int s = 0; s < 2; ++s)
        all(index(s, 0));
    const QModelIndex safe = index(0, 0);
    for (size_t g = 0; g < m_list->groups.size(); ++g) {
        if (m_list->groups[g].each)
            all(index(int(g), 0, safe));
    }
}

CleanupRows::Row CleanupRows::rowAt(const QModelIndex &index) const
{
    const quintptr id = index.internalId();
    const auto number = quint32(id >> 2);
    const auto row = quint32(index.row());
    switch (Above(id & 3)) {
    case AboveNothing:
        return {Row::Section, row};
    case AboveSection:
        if (number == 0) {
            if (m_list->groups.empty())
                return {Row::Placeholder, 0};
            const List::Group &group = m_list->groups[row];
            return group.each ? Row{Row::Group, row} : Row{Row::Entry, group.firstEntry};
        }
        if (m_list->firstSaved == m_list->entries.size())
            return {Row::Placeholder, 1};
        return {Row::Entry, m_list->firstSaved + row};
    case AboveGroup:
        return {Row::Entry, m_list->groups[number].firstEntry + row};
    case AboveEntry:
        return {Row::Node, m_list->entries[number].firstNode + row};
    }
    return {Row::Placeholder, 0};
}

QModelIndex CleanupRows::entryIndex(quint32 entry, int column) const
{
    const List::Entry &e = m_list->entries[entry];
    if (e.group < 0)
        return createIndex(int(entry - m_list->firstSaved), column, idOf(AboveSection, 1));
    const List::Group &group = m_list->groups[size_t(e.group)];
    if (!group.each)
        return createIndex(e.group, column, idOf(AboveSection, 0));
    return createIndex(int(entry - group.firstEntry), column, idOf(AboveGroup, quintptr(e.group)));
}

QModelIndex CleanupRows::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    if (!parent.isValid())
        return createIndex(row, column, idOf(AboveNothing, 0));
    const Row above = rowAt(parent);
    const Above kind = above.kind == Row::Section ? AboveSection
                       : above.kind == Row::Group ? AboveGroup
                                                  : AboveEntry;
    return createIndex(row, column, idOf(kind, above.number));
}

QModelIndex CleanupRows::parent(const QModelIndex &child) const
{
    if (!child.isValid())
        return {};
    const quintptr id = child.internalId();
    const auto number = int(id >> 2);
    switch (Above(id & 3)) {
    case AboveNothing:
        return {};
    case AboveSection:
        return createIndex(number, 0, idOf(AboveNothing, 0));
    case AboveGroup:
        return createIndex(number, 0, idOf(AboveSection, 0));
    case AboveEntry:
        return entryIndex(quint32(number), 0);
    }
    return {};
}

int CleanupRows::rowCount(const QModelIndex &parent) const
{
    if (!m_list)
        return 0;
    if (!parent.isValid())
        return 2;
    if (parent.column() != 0)
        return 0;
    const Row row = rowAt(parent);
    switch (row.kind) {
    case Row::Section:
        // A section with nothing in it says so in a row of its own.
        return std::max(1, row.number == 0 ? int(m_list->groups.size())
                                           : int(m_list->entries.size() - m_list->firstSaved));
    case Row::Group:
        return int(m_list->groups[row.number].entries);
    case Row::Entry: {
        // The paths of a group that goes whole, and those of saved settings kept in two places.
        const qint32 group = m_list->entries[row.number].group;
        const auto nodes = quint32(m_list->nodesOf(row.number).size());
        const bool shown = group < 0 ? nodes > 1 : !m_list->groups[size_t(group)].each;
        return shown ? int(nodes) : 0;
    }
    default:
        return 0;
    }
}

int CleanupRows::columnCount(const QModelIndex &) const
{
    return kColumns;
}

QVariant CleanupRows::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case 0:
        return CleanupTexts::tr("Entry");
    case 1:
        return CleanupTexts::tr("Values");
    case 2:
        return CleanupTexts::tr("Size");
    default:
        return CleanupTexts::tr("Status");
    }
}

Qt::ItemFlags CleanupRows::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // View only greys out every row.
    const Qt::ItemFlags enabled = m_enabled ? Qt::ItemIsEnabled : Qt::NoItemFlags;
    switch (rowAt(index).kind) {
    case Row::Section:
    case Row::Group:
        return Qt::ItemIsUserCheckable | enabled;
    case Row::Entry:
        return Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | enabled;
    default:
        return enabled;
    }
}

QVariant CleanupRows::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const int column = index.column();
    const bool text = role == Qt::DisplayRole || role == Qt::EditRole;
    const Row row = rowAt(index);
    switch (row.kind) {
    case Row::Section: {
        if (column != 0)
            return {};
        const quint32 entries = row.number == 0
                                    ? m_list->firstSaved
                                    : quint32(m_list->entries.size()) - m_list->firstSaved;
        if (role == Qt::CheckStateRole)
            return tickState(m_ticked[row.number], entries);
        if (role == Qt::FontRole) {
            QFont font;
            font.setWeight(QFont::Bold);
            return font;
        }
        if (!text)
            return {};
        return row.number == 0
                   ? CleanupTexts::tr("Safe to clean - PixInsight recreates these")
                   : CleanupTexts::tr(
                         "Saved tool and script settings - deleting loses your configuration");
    }
    case Row::Placeholder:
        if (column != 0 || !text)
            return {};
        return row.number == 0 ? CleanupTexts::tr("Nothing to clean in this file.")
                               : CleanupTexts::tr("No tool settings found.");
    case Row::Group: {
        const List::Group &group = m_list->groups[row.number];
        if (column == 1 || column == 2)
            return numberData(column, role, group.values, group.bytes);
        if (column == 3)
            return text ? statusText(group.queued, group.entries) : QVariant();
        if (role == Qt::CheckStateRole)
            return tickState(group.ticked, group.entries);
        if (role == Qt::ToolTipRole)
            return group.description;
        if (!text)
            return {};
        return CleanupTexts::tr("%1 (%2)").arg(group.title,
                                               QLocale().toString(qint64(group.entries)));
    }
    case Row::Entry: {
        const List::Entry &entry = m_list->entries[row.number];
        const std::span<const List::Node> nodes = m_list->nodesOf(row.number);
        if (column == 1 || column == 2) {
            qint64 values = 0;
            qint64 bytes = 0;
            for (const List::Node &node : nodes) {
                values += node.values;
                bytes += node.bytes;
            }
            return numberData(column, role, values, bytes);
        }
        if (column == 3)
            return text ? statusText(entry.queued, quint32(nodes.size())) : QVariant();
        if (role == Qt::CheckStateRole)
            return entry.ticked ? Qt::Checked : Qt::Unchecked;
        if (role == Qt::ToolTipRole)
            return m_list->toolTips.at(entry.toolTip);
        return text ? entryLabel(row.number) : QVariant();
    }
    case Row::Node: {
        const List::Node &node = m_list->nodes[row.number];
        if (column == 1 || column == 2)
            return numberData(column, role, node.values, node.bytes);
        return column == 0 && text ? node.node->path() : QVariant();
    }
    }
    return {};
}

bool CleanupRows::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (!index.isValid() || index.column() != 0 || role != Qt::CheckStateRole)
        return false;
    const auto state = value.value<Qt::CheckState>();
    if (state == Qt::PartiallyChecked)
        return false;
    const bool ticked = state == Qt::Checked;
    const Row row = rowAt(index);
    switch (row.kind) {
    case Row::Section:
        if (row.number == 0)
            tick(0, m_list->firstSaved, ticked);
        else
            tick(m_list->firstSaved, quint32(m_list->entries.size()), ticked);
        break;
    case Row::Group: {
        const List::Group &group = m_list->groups[row.number];
        tick(group.firstEntry, group.firstEntry + group.entries, ticked);
        break;
    }
    case Row::Entry:
        tick(row.number, row.number + 1, ticked);
        break;
    default:
        return false;
    }
    emit ticksChanged();
    return true;
}

} // namespace vrn
