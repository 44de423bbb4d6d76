#include "views/comparerows.h"

#include "document/values.h"
#include "document/xsdtnode.h"
#include "knowledge/comparison.h"

#include <QElapsedTimer>
#include <QFont>
#include <QPalette>
#include <QWidget>

#include <algorithm>
#include <utility>

namespace vrn {

namespace {

constexpr quintptr kGroupRow = quintptr(1) << (sizeof(quintptr) * 8 - 2);
constexpr int kNoRecord = -1;
constexpr int kColumns = 4;
constexpr qsizetype kValueColumnLimit = 90;
constexpr qsizetype kToolTipLimit = 300;
// Beyond this many rows to patch the list is filled again.
constexpr qsizetype kRowPatchLimit = 200;
// Records whose copy verdict is worked out at once; more are worked out in slices this long.
constexpr qsizetype kVerdictsAtOnce = 2000;
constexpr qint64 kVerdictSliceNs = 12'000'000;

QString valueText(const XsdtNode *node)
{
    if (node->type == QLatin1Char('B'))
        return blockDisplayText(node->value);
    // Cut before replacing: the replacement keeps the length.
    QString text = node->value.size() > kValueColumnLimit
                       ? node->value.left(kValueColumnLimit) + QChar(0x2026)
                       : node->value.toString();
    text.replace(QLatin1Char('\n'), QChar(0x23CE));
    return text;
}

} // namespace

CompareRows::CompareRows(Comparison *comparison, QWidget *view)
    : QAbstractItemModel(view)
    , m_comparison(comparison)
    , m_view(view)
{
    m_fillSlices.setSingleShot(true);
    connect(&m_fillSlices, &QTimer::timeout, this, [this] {
        if (!fillSome(false))
            m_fillSlices.start();
    });
}

// One fill as it goes: the rows and counts so far, where it is, and the part of a path it
// looked in last. Nothing of it is shown until it is done.
struct CompareRows::Filling
{
    explicit Filling(const Comparison::Positions &positions)
        : next(positions.begin())
        , end(positions.end())
    {}
    Comparison::Positions::Iterator next;
    Comparison::Positions::Iterator end;
    std::vector<Group> groups;
    std::vector<int> rowOfLabel;
    QList<int> shown;
    int counts[3] = {0, 0, 0};
    int hidden = 0;
    const XsdtNode *group = nullptr;
    bool groupMatches = false;
    QString tail;
    qsizetype tailLength = 0;
};

namespace {

constexpr qsizetype kFillAtOnce = 20'000;
constexpr qint64 kFillSliceNs = 12'000'000;
qsizetype recordsPerSlice = 0; // 0: slices end by time

} // namespace

CompareRows::~CompareRows() = default;

qsizetype CompareRows::setRecordsPerSlice(qsizetype records)
{
    return std::exchange(recordsPerSlice, records);
}

void CompareRows::stopFill()
{
    m_fillSlices.stop();
    m_filling.reset();
}

void CompareRows::clear()
{
    stopFill();
    m_shown.clear();
    restartVerdicts();
    reset({}, false);
}

// The rows listed so far go at once: kept while the new ones are found, they would show what
// the filter no longer lets through, and their copy would act on them.
void CompareRows::fill(const Filter &filter)
{
    clear();
    m_filter = filter;
    const Comparison::Positions current = m_comparison->current();
    m_filling = std::make_unique<Filling>(current);
    if (fillSome(recordsPerSlice == 0 && current.size() <= size_t(kFillAtOnce)))
        return;
    m_fillSlices.start();
}

void CompareRows::finishFill()
{
    if (m_filling)
        fillSome(true);
}

bool CompareRows::fillSome(bool all)
{
    QElapsedTimer clock;
    clock.start();
    Filling &f = *m_filling;
    const QString &search = m_filter.search;
    // Whether a record's path holds the search text, without making every path: records in a
    // row mostly share their group, whose part is looked in once; a match that begins there
    // and ends in the key is found in the part's last characters and the key.
    const auto pathMatches = [&](const DiffRecord &record) {
        const XsdtNode *node = record.node();
        if (node->parent != f.group) {
            f.group = node->parent;
            const QString part = f.group->parent ? f.group->path() + QLatin1Char('/') : QString();
            f.groupMatches = part.contains(search, Qt::CaseInsensitive);
            f.tail = part.right(search.size() - 1);
            f.tailLength = f.tail.size();
        }
        if (f.groupMatches)
            return true;
        f.tail.truncate(f.tailLength);
        return f.tail.append(node->key).contains(search, Qt::CaseInsensitive);
    };
    auto sliceOver = [&clock, done = qsizetype(0)]() mutable {
        ++done;
        return recordsPerSlice > 0 ? done > recordsPerSlice
                                   : done % 256 == 0 && clock.nsecsElapsed() >= kFillSliceNs;
    };
    for (; f.next != f.end; ++f.next) {
        if (!all && sliceOver())
            return false;
        const int position = *f.next;
        const DiffRecord &record = m_comparison->records()[position];
        if (m_filter.hideNoise && m_comparison->isNoise(position)) {
            ++f.hidden;
            continue;
        }
        ++f.counts[record.kind()];
        if (!m_filter.kinds[record.kind()])
            continue;
        if (!search.isEmpty() && !pathMatches(record) &&
            !(record.here && record.here->value.contains(search, Qt::CaseInsensitive)) &&
            !(record.there && record.there->value.contains(search, Qt::CaseInsensitive)))
            continue;
        const int label = m_comparison->groupOf(position);
        if (size_t(label) >= f.rowOfLabel.size())
            f.rowOfLabel.resize(size_t(label) + 1, -1);
        int &row = f.rowOfLabel[size_t(label)];
        if (row < 0) {
            row = int(f.groups.size());
            f.groups.push_back({label, {}});
        }
        f.groups[size_t(row)].positions.push_back(position);
        f.shown.append(position);
    }
    const std::unique_ptr<Filling> done = std::move(m_filling);
    m_fillSlices.stop();
    m_shown = std::move(done->shown);
    std::copy(std::begin(done->counts), std::end(done->counts), std::begin(m_counts));
    m_hidden = done->hidden;
    reset(std::move(done->groups), true);
    emit filled();
    return true;
}

bool CompareRows::takePatch(const Comparison::Patch &patch)
{
    restartVerdicts(); // the ones known are known at once
    if (m_filling) {   // gone through before the patch: filled again
        stopFill();
        return false;
    }
    // An edited value may no longer match the search text, which looks at values too.
    const bool searching = !m_filter.search.isEmpty() && !patch.changed.isEmpty();
    if (patch.added || searching || patch.removed.size() + patch.changed.size() > kRowPatchLimit)
        return false;
    for (int g = int(m_groups.size()) - 1; g >= 0; --g) {
        std::vector<int> &rows = m_groups[size_t(g)].positions;
        const QModelIndex parent = index(g, 0);
        for (int r = int(rows.size()) - 1; r >= 0; --r) {
            if (patch.removed.contains(rows[size_t(r)])) {
                beginRemoveRows(parent, r, r);
                rows.erase(rows.begin() + r);
                endRemoveRows();
            } else if (patch.changed.contains(rows[size_t(r)])) {
                emit dataChanged(index(r, 0, parent), index(r, kColumns - 1, parent));
            }
        }
        if (rows.empty()) {
            beginRemoveRows({}, g, g);
            m_rowOfLabel[size_t(m_groups[size_t(g)].label)] = -1;
            m_groups.erase(m_groups.begin() + g);
            for (size_t later = size_t(g); later < m_groups.size(); ++later)
                m_rowOfLabel[size_t(m_groups[later].label)] = int(later);
            endRemoveRows();
        }
    }
    for (int position : patch.removed) {
        if (m_filter.hideNoise && m_comparison->isNoise(position))
            --m_hidden;
        else
            --m_counts[m_comparison->records()[position].kind()];
        m_shown.removeOne(position);
    }
    return !m_groups.empty();
}

void CompareRows::reset(std::vector<Group> groups, bool placeholder)
{
    beginResetModel();
    m_groups = std::move(groups);
    m_rowOfLabel.assign(size_t(m_comparison->groupLabels().size()), -1);
    for (size_t row = 0; row < m_groups.size(); ++row)
        m_rowOfLabel[size_t(m_groups[row].label)] = int(row);
    m_placeholder = placeholder && m_groups.empty();
    endResetModel();
}

bool CompareRows::isGroupRow(const QModelIndex &index) const
{
    return index.internalId() & kGroupRow;
}

int CompareRows::positionAt(const QModelIndex &index) const
{
    if (!index.isValid() || isGroupRow(index))
        return kNoRecord;
    return int(index.internalId() - 1);
}

QList<int> CompareRows::recordsOf(const QModelIndexList &rows) const
{
    QList<int> out;
    QSet<int> taken;
    const auto take = [&](int position) {
        if (position >= 0 && !taken.contains(position)) {
            taken.insert(position);
            out.append(position);
        }
    };
    for (const QModelIndex &index : rows) {
        take(positionAt(index));
        for (int i = 0, count = rowCount(index); i < count; ++i)
            take(positionAt(this->index(i, 0, index)));
    }
    return out;
}

QModelIndex CompareRows::index(int row, int column, const QModelIndex &parent) const
{
    if (row < 0 || column < 0 || column >= kColumns)
        return {};
    if (!parent.isValid()) {
        if (row >= rowCount())
            return {};
        const quintptr label = m_placeholder ? 0 : quintptr(m_groups[size_t(row)].label);
        return createIndex(row, column, kGroupRow | label);
    }
    if (!isGroupRow(parent) || m_placeholder || parent.column() != 0)
        return {};
    const Group &group = m_groups[size_t(parent.row())];
    if (size_t(row) >= group.positions.size())
        return {};
    return createIndex(row, column, quintptr(group.positions[size_t(row)]) + 1);
}

QModelIndex CompareRows::parent(const QModelIndex &child) const
{
    if (!child.isValid() || isGroupRow(child))
        return {};
    const int label = m_comparison->groupOf(int(child.internalId() - 1));
    return createIndex(m_rowOfLabel[size_t(label)], 0, kGroupRow | quintptr(label));
}

int CompareRows::rowCount(const QModelIndex &parent) const
{
    if (!parent.isValid())
        return m_placeholder ? 1 : int(m_groups.size());
    if (!isGroupRow(parent) || parent.column() != 0 || m_placeholder)
        return 0;
    return int(m_groups[size_t(parent.row())].positions.size());
}

int CompareRows::columnCount(const QModelIndex &) const
{
    return kColumns;
}

QVariant CompareRows::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case 0:
        return tr("Setting");
    case 1:
        return m_here.isEmpty() ? tr("This file") : m_here;
    case 2:
        return m_there.isEmpty() ? tr("Other file") : m_there;
    default:
        return tr("Status");
    }
}

Qt::ItemFlags CompareRows::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags;
    if (m_placeholder)
        return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    if (!isGroupRow(index))
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
    return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
}

QVariant CompareRows::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const int column = index.column();
    if (isGroupRow(index)) {
        if (column != 0)
            return {};
        if (role == Qt::UserRole)
            return kNoRecord;
        if (role == Qt::DisplayRole) {
            if (m_placeholder)
                return tr("Nothing to show with the current filters.");
            const QString &label =
                m_comparison->groupLabels().at(m_groups[size_t(index.row())].label);
            return label.isEmpty() ? tr("(top level)") : label;
        }
        if (role == Qt::FontRole && !m_placeholder) {
            QFont bold = m_view->font();
            bold.setBold(true);
            return bold;
        }
        return {};
    }
    const int position = positionAt(index);
    const DiffRecord &record = m_comparison->records()[position];
    switch (role) {
    case Qt::DisplayRole:
        switch (column) {
        case 0:
            return rowLabel(position);
        case 1:
            return record.here ? valueText(record.here) : QString();
        case 2:
            return record.there ? valueText(record.there) : QString();
        default:
            return statusText(position);
        }
    case Qt::ToolTipRole:
        // On every cell: a greyed row says why wherever the pointer rests on it.
        return toolTip(position);
    case Qt::ForegroundRole:
        if (column == 0 && record.kind() == DiffRecord::Different &&
            m_comparison->verdict(position) != CopyVerdict::Copyable)
            return m_view->palette().brush(QPalette::Disabled, QPalette::Text);
        return {};
    case Qt::UserRole:
        return column == 0 ? QVariant(position) : QVariant();
    default:
        return {};
    }
}

// A restore puts back every value that differs, listed or not: the filters must not make it
// look smaller than it is.
QString CompareRows::restoreText() const
{
    const char *const kinds[] = {QT_TR_NOOP("%Ln different"), QT_TR_NOOP("%Ln only in this file"),
                                 QT_TR_NOOP("%Ln only in the backup")};
    int total = m_hidden;
    int listable = 0;
    QStringList unlisted;
    for (int kind = 0; kind < 3; ++kind) {
        total += m_counts[kind];
        if (m_filter.kinds[kind])
            listable += m_counts[kind];
        else if (m_counts[kind] > 0)
            unlisted << tr(kinds[kind], nullptr, m_counts[kind]);
    }
    if (const int missed = listable - int(m_shown.size()); missed > 0)
        unlisted << tr("%Ln not matching the search", nullptr, missed);
    if (m_hidden > 0)
        unlisted << tr("%Ln statistics, window state or generated lists", nullptr, m_hidden);
    const QString text = tr("Restoring this backup would change %Ln values.", nullptr, total);
    if (unlisted.isEmpty())
        return text;
    return text + QLatin1Char(' ') + tr("Not listed: %1.").arg(unlisted.join(QStringLiteral("; ")));
}

bool CompareRows::workOutVerdicts()
{
    QElapsedTimer clock;
    clock.start();
    const bool all = m_shown.size() - m_verdictNext <= kVerdictsAtOnce;
    while (m_verdictNext < m_shown.size() && (all || clock.nsecsElapsed() < kVerdictSliceNs))
        ++m_verdictCounts[int(m_comparison->verdict(m_shown[m_verdictNext++]))];
    return verdictsKnown();
}

void CompareRows::restartVerdicts()
{
    m_verdictNext = 0;
    std::fill(std::begin(m_verdictCounts), std::end(m_verdictCounts), 0);
}

bool CompareRows::copyable(int position) const
{
    return m_comparison->verdict(position) == CopyVerdict::Copyable;
}

qsizetype CompareRows::copyableCount() const
{
    return verdictsKnown() ? m_verdictCounts[int(CopyVerdict::Copyable)] : 0;
}

QString CompareRows::notCopiedText() const
{
    int counts[kCopyVerdicts];
    std::copy(std::begin(m_verdictCounts), std::end(m_verdictCounts), counts);
    counts[int(CopyVerdict::Copyable)] = 0;
    return Comparison::notCopiedText(counts);
}

void CompareRows::setSideNames(const QString &here, const QString &there, const QString &onlyHere,
                               const QString &onlyThere)
{
    m_here = here;
    m_there = there;
    m_onlyHere = onlyHere;
    m_onlyThere = onlyThere;
    emit headerDataChanged(Qt::Horizontal, 1, 2);
}

QString CompareRows::rowLabel(int position) const
{
    const QString path = m_comparison->records()[position].path();
    const qsizetype cut = Comparison::groupCut(path);
    return cut < 0 ? path : path.mid(cut + 1);
}

QString CompareRows::statusText(int position) const
{
    const DiffRecord &record = m_comparison->records()[position];
    switch (record.kind()) {
    case DiffRecord::Different: {
        QString status = tr("Different");
        if (record.here->type != record.there->type)
            status += tr(" (type %1 / %2)").arg(record.here->type).arg(record.there->type);
        return status;
    }
    case DiffRecord::OnlyHere:
        return m_onlyHere.isEmpty() ? tr("Only in this file") : m_onlyHere;
    default:
        return m_onlyThere.isEmpty() ? tr("Only in the other file") : m_onlyThere;
    }
}

QString CompareRows::toolTip(int position) const
{
    const DiffRecord &record = m_comparison->records()[position];
    QString tip = record.path();
    const QString named = QStringLiteral("\n%1: %2");
    if (record.here)
        tip += m_here.isEmpty() ? tr("\nThis file: %1").arg(record.here->value.left(kToolTipLimit))
                                : named.arg(m_here, record.here->value.left(kToolTipLimit));
    if (record.there)
        tip += m_there.isEmpty()
                   ? tr("\nOther file: %1").arg(record.there->value.left(kToolTipLimit))
                   : named.arg(m_there, record.there->value.left(kToolTipLimit));
    if (record.kind() == DiffRecord::OnlyThere)
        return tip + tr("\nDoes not exist in this file; adding entries is not offered.");
    if (record.kind() != DiffRecord::Different ||
        m_comparison->verdict(position) == CopyVerdict::Copyable)
        return tip;
    return tip + tr("\nCannot be copied: %1").arg(m_comparison->whyNot(position));
}

} // namespace vrn
