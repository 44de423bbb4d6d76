#include "views/cleanupview.h"

#include "document/xsdtdocument.h"
#include "document/xsdtwriter.h"
#include "knowledge/deletionpolicy.h"
#include "model/settingsmodel.h"
#include "views/sizetext.h"
#include "widgets/dialogs.h"

#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLocale>
#include <QPushButton>
#include <QSet>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>
#include <utility>
#include <vector>

namespace vrn {

namespace {

constexpr Qt::Alignment kNumberAlignment = Qt::AlignRight | Qt::AlignVCenter;

qint64 totalValues(const QList<XsdtNode *> &nodes)
{
    qint64 total = 0;
    for (const XsdtNode *node : nodes)
        total += node->valueCount();
    return total;
}

// Sizes are worked out on the GUI thread, as values may change there meanwhile, and the rows
// made there, in slices of about this long.
constexpr qint64 kSliceMs = 30;

qint64 totalBytes(const QList<XsdtNode *> &nodes, const QHash<const XsdtNode *, qint64> &sizes)
{
    qint64 total = 0;
    for (const XsdtNode *node : nodes)
        total += sizes.value(node);
    return total;
}

void setItemEnabled(QTreeWidgetItem *item, bool enabled)
{
    const Qt::ItemFlags flags =
        enabled ? item->flags() | Qt::ItemIsEnabled : item->flags() & ~Qt::ItemIsEnabled;
    if (flags != item->flags()) // every change repaints the row
        item->setFlags(flags);
}

// Each tick has the tree measure the section above the entry again, and that counts the
// section's every row: ticking all entries of a large file one by one took minutes. While
// this lives, the tree hears of no tick; it repaints once at the end.
class QuietTicks
{
public:
    explicit QuietTicks(QTreeWidget *tree)
        : m_tree(tree)
        , m_signals(tree)
        , m_rows(tree->model())
    {}
    ~QuietTicks() { m_tree->viewport()->update(); }
    QuietTicks(const QuietTicks &) = delete;
    QuietTicks &operator=(const QuietTicks &) = delete;

private:
    QTreeWidget *m_tree;
    const QSignalBlocker m_signals;
    const QSignalBlocker m_rows;
};

// A row of the list. Its label and tip are held as plain strings and its counts as numbers,
// written out when shown: Qt's own store of them, with the counts' texts and alignments, was
// half of each row, and a large file has hundreds of thousands.
class CleanupRow : public QTreeWidgetItem
{
public:
    using QTreeWidgetItem::QTreeWidgetItem;

    void setLabel(const QString &label, const QString &toolTip = QString())
    {
        m_label = label;
        m_toolTip = toolTip;
    }
    void setNumbers(qint64 values, qint64 bytes)
    {
        m_values = values;
        m_bytes = bytes;
    }
    // The Status column: `queued` of `of` are marked for deletion. Kept as numbers too: as
    // text in Qt's store it took a hundred bytes a row once a large file's list was queued.
    // True when the status changed.
    bool setQueued(int queued, int of)
    {
        // Nothing queued shows nothing, whatever the count: the first look at a new list
        // changes no row.
        if (queued == 0 && of != 0)
            of = -1;
        if (of < 0)
            queued = 0;
        if (queued == m_queued && of == m_of)
            return false;
        m_queued = queued;
        m_of = of;
        emitDataChanged();
        return true;
    }
    bool isQueued() const { return m_of >= 0 && m_queued == m_of; }
    QVariant data(int column, int role) const override
    {
        if (column == 3 && (role == Qt::DisplayRole || role == Qt::EditRole) && m_of >= 0) {
            if (m_queued == m_of)
                return CleanupView::tr("Queued for deletion");
            if (m_queued > 0)
                return CleanupView::tr("Partly queued (%L1 of %L2)").arg(m_queued).arg(m_of);
        }
        if (column == 0 && (role == Qt::DisplayRole || role == Qt::EditRole) && !m_label.isNull())
            return m_label;
        if (column == 0 && role == Qt::ToolTipRole && !m_toolTip.isNull())
            return m_toolTip;
        if ((column == 1 || column == 2) && m_values >= 0) {
            if (role == Qt::DisplayRole || role == Qt::EditRole)
                return column == 1 ? QLocale().toString(m_values) : CleanupView::sizeText(m_bytes);
            if (role == Qt::TextAlignmentRole)
                return QVariant::fromValue(kNumberAlignment);
        }
        return QTreeWidgetItem::data(column, role);
    }

private:
    QString m_label;
    QString m_toolTip;
    qint64 m_values = -1; // none shown
    qint64 m_bytes = 0;
    int m_queued = 0;
    int m_of = -1; // no status shown
};

// A tickable row. Qt works out the box of a row that follows the rows below it from all of
// them each time it is asked, which every paint does: at 300 MB that took a tenth of a second
// per paint. Such a row keeps what it worked out until a row below it is ticked or unticked.
class TickRow : public CleanupRow
{
public:
    using CleanupRow::CleanupRow;

    QVariant data(int column, int role) const override
    {
        if (column != 0 || role != Qt::CheckStateRole || !(flags() & Qt::ItemIsAutoTristate))
            return CleanupRow::data(column, role);
        if (!m_state.isValid())
            m_state = CleanupRow::data(column, role);
        return m_state;
    }
    void setData(int column, int role, const QVariant &value) override
    {
        if (column == 0 && role == Qt::CheckStateRole) {
            for (QTreeWidgetItem *row = this; row; row = row->parent())
                static_cast<TickRow *>(row)->m_state.clear();
        }
        CleanupRow::setData(column, role, value);
    }

private:
    mutable QVariant m_state;
};

} // namespace

CleanupView::CleanupView(SettingsModel *model, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
{
    QVBoxLayout *layout = pageLayout(
        tr("Tick what you want to remove and press <b>Queue for deletion</b>. Nothing is removed "
           "until you save, and queued entries can be undone here or with <i>Edit &gt; Revert "
           "all changes</i>."),
        Qt::RichText);

    m_tree = new QTreeWidget(this);
    m_tree->setColumnCount(4);
    m_tree->setHeaderLabels({tr("Entry"), tr("Values"), tr("Size"), tr("Status")});
    m_tree->setRootIsDecorated(true);
    m_tree->setAlternatingRowColors(true);
    m_tree->setUniformRowHeights(true);
    QHeaderView *header = m_tree->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 4; ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    // Fitted to the rows on screen: measuring a thousand rows of every column again each time
    // the page is shown made switching to it slow.
    header->setResizeContentsPrecision(0);
    layout->addWidget(m_tree, 1);

    auto *row = new QHBoxLayout;
    m_statusLabel = new QLabel(this);
    m_statusLabel->setWordWrap(true);
    row->addWidget(m_statusLabel, 1);
    m_undoButton = new QPushButton(tr("Undo queued deletion"), this);
    row->addWidget(m_undoButton);
    m_queueButton = new QPushButton(tr("Queue for deletion"), this);
    row->addWidget(m_queueButton);
    layout->addLayout(row);

    connect(m_queueButton, &QPushButton::clicked, this, &CleanupView::queueTicked);
    connect(m_undoButton, &QPushButton::clicked, this, &CleanupView::undoTicked);
    // Ticking a section passes the tick to every entry below it, one change signal each, and
    // a bulk queue is one edit per node: the status is worked out once after such a burst.
    connect(m_model, &SettingsModel::edited, this, &CleanupView::scheduleStatus);
    connect(m_tree, &QTreeWidget::itemChanged, this, &CleanupView::scheduleStatus);
    updateStatus();
}

CleanupView::~CleanupView()
{
    dropRows();
}

QString CleanupView::sizeText(qint64 bytes)
{
    return vrn::sizeText(bytes, 1, false);
}

QString CleanupView::geometryLabel(const XsdtNode *node)
{
    QStringList parts = node->path().split(QLatin1Char('/'), Qt::SkipEmptyParts);
    parts.removeIf([](const QString &part) {
        return part == QLatin1String("ModuleData") || part == QLatin1String("Interfaces");
    });
    if (!parts.isEmpty() && parts.constLast() == QLatin1String("Geometry"))
        parts.removeLast();
    return parts.join(QStringLiteral(" \u203A "));
}

// A cleanup group as found in one document: its rows in the order shown, with their labels
// (paths for a group that goes as one entry) and, for a group of many entries, their reasons.
struct PlannedGroup
{
    QString title;
    QString description;
    bool each = false;
    QList<XsdtNode *> kept;
    QStringList labels;
    QStringList reasons;
};

struct CleanupView::Plan
{
    QList<PlannedGroup> groups;
    // Saved settings by tool: a module's own group and its ModuleData are one entry.
    QList<QList<XsdtNode *>> saved;
    QStringList savedLabels;
    QStringList savedReasons;
    // Every node a row shows, and the sizes of those measured so far.
    QList<XsdtNode *> toMeasure;
    QHash<const XsdtNode *, qint64> sizes;
    // How far the rows are made: the next group, the next of its entries (-1: the group's own
    // row first), the next saved settings entry, and the rows made so far.
    qsizetype nextGroup = 0;
    qsizetype nextEntry = -1;
    QTreeWidgetItem *groupRow = nullptr;
    qsizetype nextSaved = 0;
    int rows = 0;
};

namespace {

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

// Entries without a single value (an empty group) free nothing worth a row: they are left out.
// Reads keys, structure and the rules only, never values or marks (other pages change those
// meanwhile), so that it can run off the GUI thread.
PlannedGroup planGroup(const DeletionPolicy &policy, const XsdtDocument &document,
                       const CleanupGroup &group)
{
    const auto isSafe = [&policy](const XsdtNode *node) {
        return policy.ruleVerdictFor(node).level == DeleteLevel::Safe;
    };
    PlannedGroup planned{group.title, group.description, group.each, {}, {}, {}};
    if (!group.each) {
        for (const QString &path : group.paths) {
            XsdtNode *node = document.findPath(path);
            if (node && node->valueCount() > 0 && isSafe(node)) {
                planned.kept.append(node);
                planned.labels.append(node->path());
            }
        }
        return planned;
    }
    QList<QPair<QString, XsdtNode *>> labelled;
    for (const QString &pattern : group.paths) {
        for (XsdtNode *node : nodesMatching(const_cast<XsdtNode *>(&document.root), pattern)) {
            if (node->valueCount() > 0 && isSafe(node))
                labelled.append({CleanupView::geometryLabel(node), node});
        }
    }
    sortByLabel(labelled);
    for (const auto &[label, node] : std::as_const(labelled)) {
        planned.kept.append(node);
        planned.labels.append(label);
        planned.reasons.append(policy.ruleVerdictFor(node).reason);
    }
    return planned;
}

} // namespace

void CleanupView::setDocument(XsdtDocument *document)
{
    m_job.stop(); // whatever it found belongs to the document that goes
    // Tens of thousands of rows take a while to delete. Those below the two sections hold
    // nothing of the window's (no font or widget): out of the tree, they go on a pool thread.
    std::vector<std::unique_ptr<QTreeWidgetItem>> rows;
    {
        const QSignalBlocker blocker(m_tree);
        for (QTreeWidgetItem *top : {m_safeTop, m_settingsTop}) {
            if (top) {
                for (QTreeWidgetItem *row : top->takeChildren())
                    rows.emplace_back(row);
            }
        }
        dropRows();
        m_tree->clear();
    }
    // The lists naming them are as long, and go with them.
    freeAside(std::make_pair(std::move(rows), std::exchange(m_entries, {})));
    m_safeTop = nullptr;
    m_settingsTop = nullptr;
    m_document = document;
    m_plan.reset();
    m_stale = document && m_model->policy();
    if (m_stale && isVisible())
        startBuild();
    updateStatus();
}

void CleanupView::showEvent(QShowEvent *event)
{
    TaskPage::showEvent(event);
    if (m_stale)
        startBuild();
    else if (m_statusStale)
        updateStatus();
}

void CleanupView::ensureBuilt()
{
    if (m_stale)
        startBuild();
    if (m_job.isRunning())
        m_job.finishNow();
    if (m_plan)
        buildSome(true);
    if (m_statusPending)
        updateStatus();
}

// Rows of a list still being made are not in the tree, which would otherwise delete them.
void CleanupView::dropRows()
{
    if (m_safeTop && !m_safeTop->treeWidget()) {
        delete m_safeTop;
        delete m_settingsTop;
        m_safeTop = nullptr;
        m_settingsTop = nullptr;
    }
}

void CleanupView::startBuild()
{
    m_stale = false;
    m_plan.reset();
    const DeletionPolicy *policy = m_model->policy();
    XsdtDocument *document = m_document;
    m_job.start([this, policy, document,
                 groups = policy->cleanupGroups()](const std::atomic_bool &cancelled) {
        auto plan = std::make_shared<Plan>();
        for (const CleanupGroup &group : groups) {
            if (cancelled)
                return BackgroundJob::Finish();
            plan->groups.append(planGroup(*policy, *document, group));
        }
        QList<QPair<QString, XsdtNode *>> byPath;
        for (XsdtNode *node : warnEntriesBelow(*policy, &document->root)) {
            if (cancelled)
                return BackgroundJob::Finish();
            if (node->valueCount() > 0)
                byPath.append({toolName(node), node});
        }
        sortByLabel(byPath);
        for (const auto &[label, node] : std::as_const(byPath)) {
            const QString reason = policy->ruleVerdictFor(node).reason;
            if (!plan->savedLabels.isEmpty() && plan->savedLabels.constLast() == label) {
                plan->saved.last().append(node);
                if (!plan->savedReasons.last().split(QLatin1Char('\n')).contains(reason))
                    plan->savedReasons.last() += QLatin1Char('\n') + reason;
                continue;
            }
            plan->saved.append({node});
            plan->savedLabels.append(label);
            plan->savedReasons.append(reason);
        }
        for (const PlannedGroup &group : std::as_const(plan->groups))
            plan->toMeasure.append(group.kept.cbegin(), group.kept.cend());
        for (const QList<XsdtNode *> &nodes : std::as_const(plan->saved))
            plan->toMeasure.append(nodes.cbegin(), nodes.cend());
        return BackgroundJob::Finish([this, plan] {
            m_plan = plan;
            m_measured = 0;
            buildSome(false);
        });
    });
    updateStatus();
}

// The sizes first, then the rows, a slice at a time. The rows are made outside the tree, which
// takes them all at once at the end: a row added to a shown tree costs a layout of its own.
void CleanupView::buildSome(bool all)
{
    QElapsedTimer clock;
    clock.start();
    const std::shared_ptr<Plan> run = m_plan;
    Plan &plan = *run;
    const auto later = [this, run] {
        QTimer::singleShot(0, this, [this, run] {
            if (m_plan == run) // not replaced by a newer document meanwhile
                buildSome(false);
        });
    };
    while (m_measured < plan.toMeasure.size()) {
        const XsdtNode *node = plan.toMeasure.at(m_measured++);
        if (!plan.sizes.contains(node))
            plan.sizes.insert(node, serializedSize(node));
        if (!all && clock.elapsed() >= kSliceMs && m_measured < plan.toMeasure.size())
            return later();
    }
    if (!m_safeTop) {
        m_safeTop = makeSection(tr("Safe to clean - PixInsight recreates these"));
        m_settingsTop =
            makeSection(tr("Saved tool and script settings - deleting loses your configuration"));
    }
    m_sizes = &plan.sizes;
    while (makeNextRow(plan)) {
        if (!all && (m_sliceRule ? m_sliceRule(plan.rows) : clock.elapsed() >= kSliceMs)) {
            m_sizes = nullptr;
            return later();
        }
    }
    m_sizes = nullptr;
    if (m_safeTop->childCount() == 0)
        addDetail(m_safeTop, tr("Nothing to clean in this file."));
    if (m_settingsTop->childCount() == 0)
        addDetail(m_settingsTop, tr("No tool settings found."));
    {
        const QSignalBlocker blocker(m_tree);
        m_tree->addTopLevelItems({m_safeTop, m_settingsTop});
        m_safeTop->setExpanded(true);
        m_settingsTop->setExpanded(true);
    }
    m_plan.reset();
    // Looking at every entry's marks takes a tenth of a second at 300 MB: on a turn of its own
    // unless the list is wanted at once.
    if (all)
        updateStatus();
    else
        scheduleStatus();
}

// Makes the next row with whatever goes below it (a group that goes as one entry comes whole,
// with the few paths it names); false when all are made.
bool CleanupView::makeNextRow(Plan &plan)
{
    while (plan.nextGroup < plan.groups.size()) {
        const PlannedGroup &group = plan.groups.at(plan.nextGroup);
        const QList<XsdtNode *> &kept = group.kept;
        if (kept.isEmpty()) {
            ++plan.nextGroup;
            continue;
        }
        ++plan.rows;
        if (!group.each) {
            QTreeWidgetItem *entry = addEntryItem(m_safeTop, group.title, kept,
                                                  group.description + QLatin1Char('\n') +
                                                      group.labels.join(QStringLiteral(", ")),
                                                  false);
            for (qsizetype i = 0; i < kept.size(); ++i)
                addDetail(entry, group.labels.at(i), kept.at(i));
            ++plan.nextGroup;
            return true;
        }
        if (plan.nextEntry < 0) {
            plan.groupRow = addGroupRow(group);
            plan.nextEntry = 0;
            return true;
        }
        const qsizetype i = plan.nextEntry++;
        addEntryItem(plan.groupRow, group.labels.at(i), {kept.at(i)}, group.reasons.at(i), false);
        if (plan.nextEntry == kept.size()) {
            ++plan.nextGroup;
            plan.nextEntry = -1;
            plan.groupRow = nullptr;
        }
        return true;
    }
    if (plan.nextSaved < plan.saved.size()) {
        const qsizetype i = plan.nextSaved++;
        const QList<XsdtNode *> &nodes = plan.saved.at(i);
        QTreeWidgetItem *entry = addEntryItem(m_settingsTop, plan.savedLabels.at(i), nodes,
                                              plan.savedReasons.at(i), true);
        for (const XsdtNode *node : nodes.size() > 1 ? nodes : QList<XsdtNode *>())
            addDetail(entry, node->path(), node);
        ++plan.rows;
        return true;
    }
    return false;
}

QTreeWidgetItem *CleanupView::addGroupRow(const PlannedGroup &group)
{
    const QList<XsdtNode *> &kept = group.kept;
    auto *row = new TickRow(m_safeTop);
    row->setLabel(tr("%1 (%2)").arg(group.title, QLocale().toString(kept.size())),
                  group.description);
    row->setNumbers(totalValues(kept), totalBytes(kept, *m_sizes));
    row->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsAutoTristate);
    row->setCheckState(0, Qt::Unchecked);
    return row;
}

QTreeWidgetItem *CleanupView::makeSection(const QString &title)
{
    auto *section = new TickRow;
    section->setText(0, title);
    QFont font = section->font(0);
    font.setWeight(QFont::Bold);
    section->setFont(0, font);
    section->setFlags(Qt::ItemIsUserCheckable | Qt::ItemIsEnabled | Qt::ItemIsAutoTristate);
    section->setCheckState(0, Qt::Unchecked);
    return section;
}

void CleanupView::addDetail(QTreeWidgetItem *parent, const QString &text, const XsdtNode *node)
{
    auto *detail = new CleanupRow(parent);
    detail->setLabel(text);
    if (node)
        detail->setNumbers(node->valueCount(), m_sizes->value(node));
    detail->setFlags(Qt::ItemIsEnabled);
}

QTreeWidgetItem *CleanupView::addEntryItem(QTreeWidgetItem *parent, const QString &label,
                                           const QList<XsdtNode *> &nodes, const QString &toolTip,
                                           bool needsConfirmation)
{
    auto *entry = new TickRow(parent);
    entry->setLabel(label, toolTip);
    const qint64 bytes = totalBytes(nodes, *m_sizes);
    entry->setNumbers(totalValues(nodes), bytes);
    entry->setFlags(Qt::ItemIsSelectable | Qt::ItemIsUserCheckable | Qt::ItemIsEnabled);
    entry->setCheckState(0, Qt::Unchecked);
    m_entries.push_back({entry, nodes, bytes, needsConfirmation});
    return entry;
}

std::vector<const CleanupView::Entry *> CleanupView::tickedEntries() const
{
    std::vector<const Entry *> out;
    for (const Entry &entry : m_entries) {
        if (entry.row->checkState(0) == Qt::Checked)
            out.push_back(&entry);
    }
    return out;
}

void CleanupView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    updateStatus();
}

void CleanupView::tickAll(bool skipNeedingConfirmation)
{
    ensureBuilt();
    {
        const QuietTicks quiet(m_tree);
        for (const Entry &entry : m_entries) {
            const bool skip = skipNeedingConfirmation && entry.needsConfirmation;
            entry.row->setCheckState(0, skip ? Qt::Unchecked : Qt::Checked);
        }
    }
    updateStatus();
}

void CleanupView::scheduleStatus()
{
    // Every entry's status is looked at again, which takes a good part of a second for a
    // large file: behind another page of the shown window it waits until this one is shown.
    if (window()->isVisible() && !isVisible()) {
        m_statusStale = true;
        return;
    }
    if (m_statusPending)
        return;
    m_statusPending = true;
    QTimer::singleShot(0, this, [this] {
        if (m_statusPending)
            updateStatus();
    });
}

void CleanupView::updateStatus()
{
    m_statusPending = false;
    m_statusStale = false;
    const QSignalBlocker blocker(m_tree);
    // Every row of this list is one of this file's own.
    const auto row = [](QTreeWidgetItem *item) { return static_cast<CleanupRow *>(item); };
    // Counted as the window title counts them: entries marked for deletion, each once whatever
    // rows list it, and none inside an entry that goes as a whole.
    QSet<const XsdtNode *> queued;
    bool statusChanged = false;
    for (const Entry &item : m_entries) {
        QTreeWidgetItem *entry = item.row;
        const QList<XsdtNode *> &nodes = item.nodes;
        const auto deleted =
            std::count_if(nodes.begin(), nodes.end(), [](XsdtNode *n) { return n->isDeleted(); });
        statusChanged |= row(entry)->setQueued(int(deleted), int(nodes.size()));
        for (const XsdtNode *node : nodes) {
            if (node->pendingDelete && !(node->parent && node->parent->isDeleted()))
                queued.insert(node);
        }
        setItemEnabled(entry, !m_viewOnly);
    }
    // Group rows would pass a tick on to the entries below them, and say how many of those
    // are queued.
    for (QTreeWidgetItem *top : {m_safeTop, m_settingsTop}) {
        if (!top)
            continue;
        setItemEnabled(top, !m_viewOnly);
        for (int i = 0; i < top->childCount(); ++i) {
            QTreeWidgetItem *child = top->child(i);
            // Only a group of entries follows its rows; an entry has no tri-state box.
            if (!(child->flags() & Qt::ItemIsAutoTristate))
                continue;
            setItemEnabled(child, !m_viewOnly);
            int done = 0;
            for (int e = 0; e < child->childCount(); ++e)
                done += row(child->child(e))->isQueued() ? 1 : 0;
            statusChanged |= row(child)->setQueued(done, child->childCount());
        }
    }
    // The Status column fits its texts again, as it does when Qt holds them.
    if (statusChanged)
        QMetaObject::invokeMethod(m_tree->header(), "resizeSections", Qt::QueuedConnection);
    if (m_document && isBuilding()) {
        m_queueButton->setEnabled(false);
        m_undoButton->setEnabled(false);
        m_statusLabel->setText(
            tr("Still looking through this file for what can be cleaned; the list follows in a "
               "moment..."));
        return;
    }
    const std::vector<const Entry *> ticked = tickedEntries();
    qint64 tickedBytes = 0;
    int tickedNodes = 0;
    for (const Entry *entry : ticked) {
        tickedBytes += entry->bytes;
        tickedNodes += int(entry->nodes.size());
    }
    if (m_viewOnly) {
        m_queueButton->setEnabled(false);
        m_undoButton->setEnabled(false);
        m_statusLabel->setText(tr("PixInsight is running: view only."));
    } else if (!ticked.empty()) {
        // Undo only where a ticked entry holds a mark of its own to take back.
        const bool undoable = std::any_of(ticked.begin(), ticked.end(), [](const Entry *entry) {
            const QList<XsdtNode *> &nodes = entry->nodes;
            return std::any_of(nodes.begin(), nodes.end(),
                               [](const XsdtNode *n) { return n->pendingDelete; });
        });
        m_queueButton->setEnabled(true);
        m_undoButton->setEnabled(undoable);
        m_statusLabel->setText(
            tr("Ticked: %n entries (about %1)", nullptr, tickedNodes).arg(sizeText(tickedBytes)));
    } else {
        m_queueButton->setEnabled(false);
        m_undoButton->setEnabled(false);
        m_statusLabel->setText(tr("%n entries queued for deletion", nullptr, int(queued.size())));
    }
}

void CleanupView::queueTicked()
{
    const std::vector<const Entry *> ticked = tickedEntries();
    QStringList needing;
    for (const Entry *entry : ticked) {
        if (entry->needsConfirmation)
            needing.append(entry->row->text(0));
    }
    if (!needing.isEmpty() && m_confirmSavedSettings) {
        Dialogs::Message ask;
        ask.icon = QMessageBox::Warning;
        ask.title = tr("Delete saved settings?");
        ask.text =
            tr("This removes the saved configuration of %n tools or scripts. They will start "
               "from their defaults.",
               nullptr, int(needing.size()));
        ask.informativeText =
            tr("Nothing is removed until you save, and you can undo it before then.");
        ask.detailedText = needing.join(QLatin1Char('\n'));
        ask.buttons = QMessageBox::Yes | QMessageBox::Cancel;
        ask.defaultButton = QMessageBox::Cancel;
        const auto answer = Dialogs::message(this, ask);
        if (answer != QMessageBox::Yes)
            return;
    }
    int queued = 0;
    QString firstRefusal;
    m_model->beginBatch([](int changes) { return tr("cleanup of %n entries", nullptr, changes); });
    {
        const QuietTicks quiet(m_tree);
        for (const Entry *entry : ticked) {
            for (XsdtNode *node : entry->nodes) {
                QString whyNot;
                if (m_model->queueDeletion(node, &whyNot))
                    ++queued;
                else if (firstRefusal.isEmpty())
                    firstRefusal = whyNot;
            }
            entry->row->setCheckState(0, Qt::Unchecked);
        }
    }
    m_model->endBatch();
    if (!firstRefusal.isEmpty())
        emit message(tr("Some entries were refused: %1").arg(firstRefusal));
    else
        emit message(tr("Queued %n entries for deletion. Save to apply.", nullptr, queued));
    updateStatus();
}

void CleanupView::undoTicked()
{
    const std::vector<const Entry *> ticked = tickedEntries();
    m_model->beginBatch(
        [](int changes) { return tr("cancelled cleanup of %n entries", nullptr, changes); });
    {
        const QuietTicks quiet(m_tree);
        for (const Entry *entry : ticked) {
            for (XsdtNode *node : entry->nodes)
                m_model->undoDeletion(node);
            entry->row->setCheckState(0, Qt::Unchecked);
        }
    }
    m_model->endBatch();
    updateStatus();
}

} // namespace vrn
