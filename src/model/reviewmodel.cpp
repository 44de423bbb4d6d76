#include "model/reviewmodel.h"

#include "document/values.h"
#include "document/xsdtnode.h"
#include "knowledge/backgroundjob.h"

#include <QColor>
#include <QFont>

#include <algorithm>
#include <cstring>
#include <future>
#include <tuple>
#include <utility>

namespace vrn {

namespace {

constexpr qsizetype kReviewLimit = 120;
constexpr qsizetype kToolTipLimit = 500;
constexpr int kColumns = 4;

QString reviewText(const XsdtNode *node, const QString &text)
{
    if (node->type == QLatin1Char('B'))
        return blockDisplayText(*node);
    QString shown = text.size() > kReviewLimit ? text.left(kReviewLimit) + QChar(0x2026) : text;
    shown.replace(QLatin1Char('\n'), QChar(0x23CE));
    return shown;
}

// How many units two texts share from their start, compared four at a time: the long common
// beginnings of paths are most of what sorting them costs.
qsizetype commonStart(QStringView a, QStringView b)
{
    const qsizetype shorter = std::min(a.size(), b.size());
    const char16_t *x = a.utf16();
    const char16_t *y = b.utf16();
    qsizetype i = 0;
    for (; i + 4 <= shorter; i += 4) {
        quint64 u;
        quint64 v;
        std::memcpy(&u, x + i, sizeof u);
        std::memcpy(&v, y + i, sizeof v);
        if (u != v)
            break;
    }
    while (i < shorter && x[i] == y[i])
        ++i;
    return i;
}

// Ignoring case, and runs of digits by their value, as a file manager sorts: File12 before
// File102. (The system's collation leaves numbers as text in the C locale.)
int naturalCompare(QStringView a, QStringView b)
{
    // Paths share long beginnings: the text both have in common orders nothing, unless it ends
    // inside a number, whose value is then read from its first digit on.
    qsizetype i = commonStart(a, b);
    while (i > 0 && a[i - 1].isDigit())
        --i;
    qsizetype j = i;
    const auto run = [](QStringView text, qsizetype &at) {
        const qsizetype start = at;
        while (at < text.size() && text[at].isDigit())
            ++at;
        qsizetype first = start;
        while (first < at - 1 && text[first] == u'0')
            ++first;
        return text.sliced(first, at - first);
    };
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const QStringView x = run(a, i);
            const QStringView y = run(b, j);
            if (x.size() != y.size())
                return x.size() < y.size() ? -1 : 1;
            if (const int order = x.compare(y); order != 0)
                return order;
            continue;
        }
        if (const int order = a.sliced(i, 1).compare(b.sliced(j, 1), Qt::CaseInsensitive);
            order != 0)
            return order;
        ++i;
        ++j;
    }
    return int(a.size() - i > 0) - int(b.size() - j > 0);
}

// Document order among equal paths. The second half is named and sorted on another thread
// meanwhile, which halves the wait for a review of hundreds of thousands of changes; the merge
// keeps the first half's entries before equal ones of the second. Once cancelled, every
// comparison says "equal", which ends the sort soon.
template <typename Sorted>
std::vector<Sorted> sortedByPath(const QList<XsdtNode *> &nodes, const std::atomic_bool *cancelled)
{
    const auto stopped = [cancelled] {
        return cancelled && cancelled->load(std::memory_order_relaxed);
    };
    const auto less = [stopped](const Sorted &a, const Sorted &b) {
        return !stopped() && naturalCompare(a.path, b.path) < 0;
    };
    std::vector<Sorted> sorted(size_t(nodes.size()));
    const auto sortPart = [&nodes, &sorted, less, stopped](size_t from, size_t to) {
        for (size_t i = from; i < to && !(i % 4096 == 0 && stopped()); ++i)
            sorted[i] = {nodes[qsizetype(i)]->path(), nodes[qsizetype(i)]};
        std::stable_sort(sorted.begin() + qsizetype(from), sorted.begin() + qsizetype(to), less);
    };
    const size_t half = sorted.size() / 2;
    std::future<void> second;
    if (half > 0)
        second = std::async(std::launch::async, sortPart, half, sorted.size());
    sortPart(0, half > 0 ? half : sorted.size());
    if (half > 0) {
        second.get();
        std::inplace_merge(sorted.begin(), sorted.begin() + qsizetype(half), sorted.end(), less);
    }
    return sorted;
}

QFont boldFont()
{
    // Only the weight is set, so the view's own font supplies the rest.
    QFont bold;
    bold.setBold(true);
    return bold;
}

} // namespace

ReviewModel::ReviewModel(QObject *parent)
    : QAbstractItemModel(parent)
{}

ReviewModel::~ReviewModel()
{
    freeAside(std::make_tuple(std::move(m_sortedDeletions), std::move(m_sortedEdits),
                              std::move(m_sortedAdditions), std::move(m_rows)));
}

ReviewModel::SortedChanges ReviewModel::sortChanges(XsdtDocument::PendingNodes pending,
                                                    const std::atomic_bool *cancelled)
{
    return {sortedByPath<Sorted>(pending.deleted, cancelled),
            sortedByPath<Sorted>(pending.changed, cancelled),
            sortedByPath<Sorted>(pending.added, cancelled)};
}

void ReviewModel::setChanges(XsdtDocument::PendingNodes pending)
{
    setChanges(sortChanges(std::move(pending)));
}

void ReviewModel::setChanges(SortedChanges sorted)
{
    // A long list's many paths take a while to free: not on the window's thread.
    freeAside(SortedChanges{std::exchange(m_sortedDeletions, std::move(sorted.deletions)),
                            std::exchange(m_sortedEdits, std::move(sorted.edits)),
                            std::exchange(m_sortedAdditions, std::move(sorted.additions))});
    m_deletions.clear();
    m_edits.clear();
    m_additions.clear();
    for (const Sorted &s : m_sortedDeletions)
        m_deletions.append(s.node);
    for (const Sorted &s : m_sortedEdits)
        m_edits.append(s.node);
    for (const Sorted &s : m_sortedAdditions)
        m_additions.append(s.node);
}

void ReviewModel::setFilter(const QString &text, bool edits, bool deletions, bool additions)
{
    const QString filter = text.trimmed();
    const auto passes = [&filter](const Sorted &s) {
        if (filter.isEmpty() || s.path.contains(filter, Qt::CaseInsensitive))
            return true;
        const XsdtNode *node = s.node;
        return node->isValue() && node->type != QLatin1Char('B') &&
               (node->value.contains(filter, Qt::CaseInsensitive) ||
                node->originalValue.contains(filter, Qt::CaseInsensitive));
    };
    beginResetModel();
    m_rows.clear();
    const auto add = [&](const std::vector<Sorted> &sorted, Change change) {
        for (const Sorted &s : sorted) {
            if (passes(s))
                m_rows.push_back({s.node, s.path, change, false, {}});
        }
    };
    if (deletions)
        add(m_sortedDeletions, Change::Deletion);
    if (edits)
        add(m_sortedEdits, Change::Edit);
    if (additions)
        add(m_sortedAdditions, Change::Addition);
    m_nothing = m_rows.empty() && changeCount() > 0;
    endResetModel();
}

XsdtNode *ReviewModel::nodeAt(const QModelIndex &index) const
{
    if (!index.isValid() || index.internalId() != 0 || m_nothing)
        return nullptr;
    return m_rows[size_t(index.row())].node;
}

QModelIndex ReviewModel::indexOf(const XsdtNode *node, int column) const
{
    if (m_nothing)
        return {};
    for (size_t i = 0; i < m_rows.size(); ++i) {
        if (m_rows[i].node == node)
            return createIndex(int(i), column, quintptr(0));
    }
    return {};
}

bool ReviewModel::isGroupRow(const Row &row) const
{
    return row.change == Change::Deletion ||
           (row.change == Change::Addition && row.node->isGroup());
}

// Top-level rows carry the id 0, a value under a group the group's row plus one.
QModelIndex ReviewModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!hasIndex(row, column, parent))
        return {};
    if (!parent.isValid())
        return createIndex(row, column, quintptr(0));
    return createIndex(row, column, quintptr(parent.row()) + 1);
}

QModelIndex ReviewModel::parent(const QModelIndex &child) const
{
    if (!child.isValid() || child.internalId() == 0)
        return {};
    return createIndex(int(child.internalId() - 1), 0, quintptr(0));
}

int ReviewModel::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return m_nothing ? 1 : int(m_rows.size());
    if (parent.column() != 0 || parent.internalId() != 0 || m_nothing)
        return 0;
    return int(m_rows[size_t(parent.row())].children.size());
}

int ReviewModel::columnCount(const QModelIndex &) const
{
    return kColumns;
}

bool ReviewModel::hasChildren(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return rowCount() > 0;
    if (parent.column() != 0 || parent.internalId() != 0 || m_nothing)
        return false;
    return isGroupRow(m_rows[size_t(parent.row())]);
}

bool ReviewModel::canFetchMore(const QModelIndex &parent) const
{
    if (!hasChildren(parent) || !parent.isValid())
        return false;
    return !m_rows[size_t(parent.row())].fetched;
}

void ReviewModel::fetchMore(const QModelIndex &parent)
{
    if (!canFetchMore(parent))
        return;
    Row &row = m_rows[size_t(parent.row())];
    row.fetched = true;
    std::vector<Child> children;
    if (row.node->isValue()) {
        children.push_back({row.node, 0});
    } else {
        // Document order without recursion: a group can be deep and very large.
        struct Frame
        {
            const XsdtNode *group;
            size_t next;
        };
        std::vector<Frame> stack{{row.node, 0}};
        while (!stack.empty() && children.size() < size_t(MaxGroupChildren)) {
            Frame &top = stack.back();
            if (top.next >= top.group->children.size()) {
                stack.pop_back();
                continue;
            }
            const XsdtNode *child = top.group->children[top.next++].get();
            if (child->isGroup())
                stack.push_back({child, 0});
            else
                children.push_back({child, 0});
        }
        const qsizetype leftOut = row.node->valueCount() - qsizetype(children.size());
        if (leftOut > 0)
            children.push_back({nullptr, leftOut});
    }
    beginInsertRows(parent, 0, int(children.size()) - 1);
    row.children = std::move(children);
    endInsertRows();
}

QVariant ReviewModel::childData(const Row &row, const Child &child, int column, int role) const
{
    if (!child.value) {
        if (column == 0 && role == Qt::DisplayRole)
            return tr("...and %L1 more values").arg(child.leftOut);
        return {};
    }
    // The values of a new group are listed the other way round: nothing before, the value after.
    const bool addition = row.change == Change::Addition;
    if (role == Qt::DisplayRole) {
        switch (column) {
        case 1:
            return child.value->path();
        case 2:
            return addition ? tr("(new)") : reviewText(child.value, child.value->value);
        case 3:
            return addition ? reviewText(child.value, child.value->value) : tr("(removed)");
        default:
            return QString();
        }
    }
    if (role == Qt::ToolTipRole) {
        if (column == 1)
            return child.value->path();
        if (column == (addition ? 3 : 2))
            return child.value->value.left(kToolTipLimit);
    }
    return {};
}

QVariant ReviewModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const int column = index.column();
    if (m_nothing) {
        if (column == 0 && role == Qt::DisplayRole)
            return tr("Nothing matches the filters.");
        return {};
    }
    if (index.internalId() != 0) {
        const Row &row = m_rows[size_t(index.internalId() - 1)];
        return childData(row, row.children[size_t(index.row())], column, role);
    }
    const Row &row = m_rows[size_t(index.row())];
    const XsdtNode *node = row.node;
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case 0:
            return row.change == Change::Deletion ? tr("Delete")
                   : row.change == Change::Edit   ? tr("Edit")
                                                  : tr("Add");
        case 1:
            return row.path;
        case 2:
            if (row.change == Change::Deletion)
                return tr("%n values", nullptr, int(node->valueCount()));
            return row.change == Change::Edit ? reviewText(node, node->originalValue) : tr("(new)");
        case 3:
            if (row.change == Change::Deletion)
                return tr("(removed)");
            if (row.change == Change::Addition && !node->isValue())
                return tr("%n values", nullptr, int(node->valueCount()));
            return reviewText(node, node->value);
        }
        return {};
    case Qt::ToolTipRole:
        if (column == 1)
            return row.path;
        if (column == 2 && row.change == Change::Edit)
            return node->originalValue.left(kToolTipLimit);
        if (column == 3 && row.change != Change::Deletion && node->isValue())
            return node->value.left(kToolTipLimit);
        return {};
    case Qt::FontRole:
        if (column == 0 && row.change != Change::Edit)
            return boldFont();
        return {};
    case Qt::ForegroundRole:
        if (column == 0 && row.change == Change::Deletion)
            return QColor(214, 60, 60);
        return {};
    case NodeRole:
        if (column == 0)
            return QVariant::fromValue(row.node);
        return {};
    case DeletionRole:
        if (column == 0)
            return row.change == Change::Deletion;
        return {};
    case AdditionRole:
        if (column == 0 && row.change == Change::Addition)
            return true;
        return {};
    }
    return {};
}

QVariant ReviewModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case 0:
        return tr("Change");
    case 1:
        return tr("Setting");
    case 2:
        return tr("Before");
    case 3:
        return tr("After");
    }
    return {};
}

Qt::ItemFlags ReviewModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    // The rows that only say something can be neither chosen nor taken back.
    if (m_nothing || (index.internalId() != 0 &&
                      !m_rows[size_t(index.internalId() - 1)].children[size_t(index.row())].value))
        return Qt::ItemIsEnabled;
    return Qt::ItemIsEnabled | Qt::ItemIsSelectable;
}

} // namespace vrn
