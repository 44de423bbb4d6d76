#include "views/compareview.h"

#include "document/values.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "knowledge/deletionpolicy.h"
#include "model/backgroundjob.h"
#include "model/settingsmodel.h"
#include "widgets/dialogs.h"

#include <QAbstractItemModel>
#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QProgressBar>
#include <QPushButton>
#include <QThreadPool>
#include <QTreeView>
#include <QVBoxLayout>
#include <QVarLengthArray>

#include <algorithm>
#include <numeric>

namespace vrn {

namespace {

constexpr int kGroupMarker = -1;
constexpr int kColumns = 4;
constexpr qsizetype kValueColumnLimit = 90;
constexpr qsizetype kToolTipLimit = 300;
// Beyond this many values edited at once a full comparison is cheaper than patching records
// and rows one by one.
constexpr qsizetype kIncrementalLimit = 2000;
constexpr qsizetype kRowPatchLimit = 200;
constexpr int kMaxBackups = 25;
// As the tree filter: the list is filtered again once typing pauses, not on every key.
constexpr int kTypingPauseMs = 200;
constexpr int kProgressEveryMs = 100;
// Records whose copy verdict is worked out at once; more are worked out in slices this long.
constexpr qsizetype kVerdictsAtOnce = 2000;
constexpr qint64 kVerdictSliceNs = 12'000'000;
const QString kBrowse = QStringLiteral("?");

// Freeing the records of a large comparison takes tens of milliseconds at 50 MB: a pool thread
// does it, so that a copy or reload that compares again does not wait for it. They own only
// their paths; the nodes they point at stay where they are.
void freeElsewhere(QList<DiffRecord> &records)
{
    if (records.size() > kIncrementalLimit)
        QThreadPool::globalInstance()->start([old = std::exchange(records, {})] { Q_UNUSED(old) });
    records.clear();
}

QString valueText(const XsdtNode *node)
{
    if (node->type == QLatin1Char('B'))
        return blockDisplayText(node->value);
    // Cut before replacing: the replacement keeps the length.
    QString text = node->value.size() > kValueColumnLimit
                       ? node->value.left(kValueColumnLimit) + QChar(0x2026)
                       : node->value;
    text.replace(QLatin1Char('\n'), QChar(0x23CE));
    return text;
}

// Splits a path into its group label and the label of its row below the group. Preferences
// sit one level deeper than everything else, so they get one more level of grouping.
void groupLabels(const QString &path, QString *group, QString *row)
{
    const int wanted = path.startsWith(QLatin1String("Global/Preferences/")) ? 3 : 2;
    qsizetype cut = -1;
    for (int depth = 0; depth < wanted; ++depth) {
        const qsizetype next = path.indexOf(QLatin1Char('/'), cut + 1);
        if (next < 0)
            break;
        cut = next;
    }
    if (cut < 0) {
        if (group)
            *group = CompareView::tr("(top level)");
        if (row)
            *row = path;
        return;
    }
    if (group)
        *group = path.left(cut);
    if (row)
        *row = path.mid(cut + 1);
}

// The number of a group label, given the next one when it is new.
int labelNumber(const QString &label, QStringList &labels, QHash<QString, int> &numbers)
{
    const auto found = numbers.constFind(label);
    if (found != numbers.constEnd())
        return *found;
    numbers.insert(label, int(labels.size()));
    labels.append(label);
    return int(labels.size()) - 1;
}

// Whether a comes before b in document order (both in the same document).
bool documentOrder(const XsdtNode *a, const XsdtNode *b)
{
    QVarLengthArray<const XsdtNode *, 16> chainA;
    QVarLengthArray<const XsdtNode *, 16> chainB;
    for (const XsdtNode *n = a; n; n = n->parent)
        chainA.append(n);
    for (const XsdtNode *n = b; n; n = n->parent)
        chainB.append(n);
    qsizetype i = chainA.size() - 1;
    qsizetype j = chainB.size() - 1;
    while (i > 0 && j > 0 && chainA[i - 1] == chainB[j - 1]) {
        --i;
        --j;
    }
    if (i == 0 || j == 0)
        return i < j; // an ancestor comes before what lies inside it
    return chainA[i - 1]->indexInParent() < chainB[j - 1]->indexInParent();
}

} // namespace

struct CompareView::OtherFile
{
    std::unique_ptr<XsdtDocument> document;
    std::unique_ptr<DocumentComparison> comparison;
};

// What a worker hands back: everything about the records that does not depend on the state of
// this document's nodes, which only the GUI thread reads.
struct CompareView::Outcome
{
    std::shared_ptr<const OtherFile> other;
    QString error; // the other file could not be read: the reason, with its path
    QList<DiffRecord> records;
    HereRanks ranks;
    std::vector<signed char> noise;
    std::vector<int> groups;
    QStringList groupLabels;
    QHash<QString, int> groupByLabel;
    QSet<XsdtNode *> queued;
};

// The rows of the result list over the page's records: groups at the top, in order of first
// appearance, each with its records in display order. A filter change hands it new groups in
// one reset, so it costs one pass over plain data instead of building an item per row. Internal
// ids stay valid while rows and groups before them go away: a record row's is its record's
// position plus one, a group row's its label number with kGroupRow set. They differ from row to
// row on purpose: the tree keeps a persistent index per expanded group, hashed by row and id,
// and ids all alike would pile thousands of them into a few buckets. Record rows say they never
// have children, which spares the tree a look among those indexes for each of them.
class CompareRows : public QAbstractItemModel
{
    static constexpr quintptr kGroupRow = quintptr(1) << (sizeof(quintptr) * 8 - 2);

public:
    struct Group
    {
        int label = 0;
        std::vector<int> positions;
    };

    explicit CompareRows(CompareView *view)
        : QAbstractItemModel(view)
        , m_view(view)
    {}

    // Every row anew; `placeholder` asks for the one row that says nothing passed the filters.
    void reset(std::vector<Group> groups, bool placeholder)
    {
        beginResetModel();
        m_groups = std::move(groups);
        m_rowOfLabel.assign(size_t(m_view->m_groupLabels.size()), -1);
        for (size_t row = 0; row < m_groups.size(); ++row)
            m_rowOfLabel[size_t(m_groups[row].label)] = int(row);
        m_placeholder = placeholder && m_groups.empty();
        endResetModel();
    }

    // Repaints the rows of `changed` and takes out those of `removed`, with groups left empty.
    void patch(const QSet<int> &changed, const QSet<int> &removed)
    {
        for (int g = int(m_groups.size()) - 1; g >= 0; --g) {
            std::vector<int> &rows = m_groups[size_t(g)].positions;
            const QModelIndex parent = index(g, 0);
            for (int r = int(rows.size()) - 1; r >= 0; --r) {
                if (removed.contains(rows[size_t(r)])) {
                    beginRemoveRows(parent, r, r);
                    rows.erase(rows.begin() + r);
                    endRemoveRows();
                } else if (changed.contains(rows[size_t(r)])) {
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
    }

    // The record of a row, or -1 for a group row and the placeholder.
    int positionAt(const QModelIndex &index) const
    {
        if (!index.isValid() || isGroupRow(index))
            return kGroupMarker;
        return int(index.internalId() - 1);
    }

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override
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

    QModelIndex parent(const QModelIndex &child) const override
    {
        if (!child.isValid() || isGroupRow(child))
            return {};
        const int label = m_view->m_groups[size_t(child.internalId() - 1)];
        return createIndex(m_rowOfLabel[size_t(label)], 0, kGroupRow | quintptr(label));
    }

    int rowCount(const QModelIndex &parent = {}) const override
    {
        if (!parent.isValid())
            return m_placeholder ? 1 : int(m_groups.size());
        if (!isGroupRow(parent) || parent.column() != 0 || m_placeholder)
            return 0;
        return int(m_groups[size_t(parent.row())].positions.size());
    }

    int columnCount(const QModelIndex & = {}) const override { return kColumns; }

    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        switch (section) {
        case 0:
            return CompareView::tr("Setting");
        case 1:
            return CompareView::tr("This file");
        case 2:
            return CompareView::tr("Other file");
        default:
            return CompareView::tr("Status");
        }
    }

    Qt::ItemFlags flags(const QModelIndex &index) const override
    {
        if (!index.isValid())
            return Qt::NoItemFlags;
        if (m_placeholder)
            return Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
        if (!isGroupRow(index))
            return Qt::ItemIsSelectable | Qt::ItemIsEnabled | Qt::ItemNeverHasChildren;
        return Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    }

    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid())
            return {};
        const int column = index.column();
        if (isGroupRow(index)) {
            if (column != 0)
                return {};
            if (role == Qt::UserRole)
                return kGroupMarker;
            if (role == Qt::DisplayRole) {
                return m_placeholder
                           ? CompareView::tr("Nothing to show with the current filters.")
                           : m_view->m_groupLabels.at(m_groups[size_t(index.row())].label);
            }
            if (role == Qt::FontRole && !m_placeholder) {
                QFont bold = m_view->m_tree->font();
                bold.setBold(true);
                return bold;
            }
            return {};
        }
        const int position = positionAt(index);
        const DiffRecord &record = m_view->m_records[position];
        switch (role) {
        case Qt::DisplayRole:
            switch (column) {
            case 0:
                return m_view->rowLabel(position);
            case 1:
                return record.here ? valueText(record.here) : QString();
            case 2:
                return record.there ? valueText(record.there) : QString();
            default:
                return m_view->statusText(position);
            }
        case Qt::ToolTipRole:
            return column == 0 ? m_view->toolTip(position) : QVariant();
        case Qt::ForegroundRole:
            if (column == 0 && record.kind == DiffRecord::Different && !m_view->copyable(position))
                return m_view->palette().brush(QPalette::Disabled, QPalette::Text);
            return {};
        case Qt::UserRole:
            return column == 0 ? QVariant(position) : QVariant();
        default:
            return {};
        }
    }

private:
    static bool isGroupRow(const QModelIndex &index) { return index.internalId() & kGroupRow; }

    CompareView *m_view;
    std::vector<Group> m_groups;
    // Per group label, the row of its group, or -1 when none is shown.
    std::vector<int> m_rowOfLabel;
    bool m_placeholder = false;
};

CompareView::CompareView(SettingsModel *model, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_job(std::make_unique<BackgroundJob>(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 0);

    auto *chooserRow = new QHBoxLayout;
    chooserRow->addWidget(new QLabel(tr("Compare with:"), this));
    m_chooser = new QComboBox(this);
    m_chooser->setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    chooserRow->addWidget(m_chooser, 1);
    layout->addLayout(chooserRow);

    auto *filterRow = new QHBoxLayout;
    m_different = new QCheckBox(tr("Different"), this);
    m_different->setChecked(true);
    m_onlyHere = new QCheckBox(tr("Only in this file"), this);
    m_onlyThere = new QCheckBox(tr("Only in the other file"), this);
    m_hideNoise = new QCheckBox(tr("Hide statistics, window state and generated lists"), this);
    m_hideNoise->setChecked(true);
    m_hideNoise->setToolTip(tr("Statistics, window geometry and layout, histories and the "
                               "featured scripts list differ between any two files and rarely "
                               "matter."));
    m_search = new QLineEdit(this);
    m_search->setPlaceholderText(tr("Search"));
    m_search->setClearButtonEnabled(true);
    for (QCheckBox *box : {m_different, m_onlyHere, m_onlyThere, m_hideNoise}) {
        filterRow->addWidget(box);
        connect(box, &QCheckBox::toggled, this, &CompareView::showResults);
    }
    filterRow->addWidget(m_search, 1);
    m_searchPause.setSingleShot(true);
    m_searchPause.setInterval(kTypingPauseMs);
    connect(m_search, &QLineEdit::textChanged, &m_searchPause, qOverload<>(&QTimer::start));
    connect(&m_searchPause, &QTimer::timeout, this, &CompareView::showResults);
    connect(m_search, &QLineEdit::returnPressed, this, &CompareView::showResults);
    m_verdictSlices.setSingleShot(true);
    m_verdictSlices.setInterval(0);
    connect(&m_verdictSlices, &QTimer::timeout, this, &CompareView::workOutVerdicts);
    layout->addLayout(filterRow);

    m_summary = new QLabel(this);
    layout->addWidget(m_summary);

    m_busy = new QWidget(this);
    auto *busyRow = new QHBoxLayout(m_busy);
    busyRow->setContentsMargins(0, 0, 0, 0);
    m_busyLabel = new QLabel(m_busy);
    m_progress = new QProgressBar(m_busy);
    m_progress->setTextVisible(false);
    m_cancel = new QPushButton(tr("Cancel"), m_busy);
    busyRow->addWidget(m_busyLabel);
    busyRow->addWidget(m_progress, 1);
    busyRow->addWidget(m_cancel);
    m_busy->hide();
    layout->addWidget(m_busy);
    m_progressTimer.setInterval(kProgressEveryMs);
    connect(&m_progressTimer, &QTimer::timeout, this, &CompareView::showProgress);
    connect(m_cancel, &QPushButton::clicked, this, &CompareView::cancelComparison);

    m_rows = new CompareRows(this);
    m_tree = new QTreeView(this);
    m_tree->setModel(m_rows);
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_tree->setAlternatingRowColors(true);
    m_tree->setUniformRowHeights(true);
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView *header = m_tree->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Interactive);
    header->resizeSection(0, 340);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::Stretch);
    header->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    // Fit the status column to the rows on screen: a long list would be measured whole.
    header->setResizeContentsPrecision(0);
    layout->addWidget(m_tree, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_copySelected = new QPushButton(tr("Use the other file's value for selected"), this);
    m_copyAll = new QPushButton(tr("Use the other file's value for all shown"), this);
    buttons->addWidget(m_copySelected);
    buttons->addWidget(m_copyAll);
    layout->addLayout(buttons);

    connect(m_chooser, &QComboBox::activated, this, &CompareView::onChosen);
    connect(m_tree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CompareView::updateButtons);
    connect(m_tree, &QTreeView::customContextMenuRequested, this, &CompareView::showContextMenu);
    connect(m_tree, &QTreeView::doubleClicked, this, [this](const QModelIndex &index) {
        const int position = positionAt(index);
        if (position >= 0 && m_records[position].here)
            emit revealRequested(m_records[position].here);
    });
    connect(m_copySelected, &QPushButton::clicked, this, &CompareView::copySelected);
    connect(m_copyAll, &QPushButton::clicked, this, &CompareView::copyAllShown);
    connect(m_model, &SettingsModel::edited, this, &CompareView::scheduleRecompute);
    connect(m_model, &SettingsModel::modelReset, this, [this] {
        m_needsFull = true;
        scheduleRecompute();
    });
    connect(m_model, &SettingsModel::dataChanged, this, &CompareView::onDataChanged);

    fillFileChoices();
    updateButtons();
}

CompareView::~CompareView()
{
    // The worker holds nothing of the page's, so it need not be waited for.
    m_job->abandon();
}

void CompareView::setEditedPathSource(std::function<QString()> source)
{
    m_pathSource = std::move(source);
}

void CompareView::setDocument(XsdtDocument *document)
{
    setDocument(document, document && m_pathSource ? m_pathSource() : QString());
}

void CompareView::setDocument(XsdtDocument *document, const QString &path)
{
    // A file being read when the document went away is read again for the next one.
    if (isComparing() && m_comparingPath != m_otherPath)
        m_pendingPath = m_comparingPath;
    stopWorker();
    clearResults();
    m_document = document;
    m_path = path;
    if (!document) {
        m_summary->clear();
        updateButtons();
        fillFileChoices();
        return;
    }
    const QString pending = std::exchange(m_pendingPath, QString());
    if (sameFile(m_otherPath, path))
        forgetOther();
    if (!pending.isEmpty() && !sameFile(pending, path)) {
        forgetOther();
        QString error;
        if (!compareWith(pending, &error))
            emit message(error);
        fillFileChoices();
        return;
    }
    fillFileChoices();
    // The model's reset asked for a comparison already, in a turn after the one that hands the
    // new document to every page: outlining a large one takes a while.
    if (m_other)
        scheduleRecompute();
    else
        recompute();
}

void CompareView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    updateButtons();
}

void CompareView::clearResults()
{
    m_rows->reset({}, false);
    freeElsewhere(m_records);
    m_ranks.clear();
    m_current.clear();
    m_noise.clear();
    m_copyable.clear();
    m_copyText.clear();
    m_groups.clear();
    m_shown.clear();
    m_verdictSlices.stop();
    m_verdictNext = 0;
    m_changedValues.clear();
    m_deletedAtCompare.clear();
    m_needsFull = false;
}

void CompareView::stopWorker()
{
    m_job->abandon();
    m_progressTimer.stop();
    m_busy->hide();
}

void CompareView::forgetOther()
{
    clearResults();
    m_other.reset();
    m_otherPath.clear();
    m_groupLabels.clear();
    m_groupByLabel.clear();
}

void CompareView::forgetOtherFile()
{
    stopWorker();
    forgetOther();
    recompute();
    fillFileChoices();
}

void CompareView::cancelComparison()
{
    if (!isComparing())
        return;
    stopWorker();
    forgetOther();
    recompute();
    fillFileChoices();
    emit message(tr("Comparison cancelled."));
}

QString CompareView::otherPath() const
{
    return isComparing() ? m_comparingPath : m_otherPath;
}

bool CompareView::isComparing() const
{
    return m_job->isRunning();
}

void CompareView::finishComparison()
{
    if (m_recomputePending)
        runScheduled();
    // Edits made meanwhile start another run when the first one is taken.
    while (m_job->isRunning())
        m_job->finishNow();
    while (m_verdictSlices.isActive())
        workOutVerdicts();
}

void CompareView::waitForWorker()
{
    m_job->waitForWork();
}

void CompareView::scheduleRecompute()
{
    if (m_recomputePending)
        return;
    m_recomputePending = true;
    // Asked for in the middle of a turn that may go on (a new document reaching every page),
    // and Qt runs every timer due in one go: the timer starts when this turn's work is done,
    // so that the comparison comes after the window painted and took input.
    QMetaObject::invokeMethod(
        this, [this] { QTimer::singleShot(1, this, &CompareView::runScheduled); },
        Qt::QueuedConnection);
}

void CompareView::holdComparisons(bool hold)
{
    const int change = ++m_holdChanges;
    if (hold) {
        m_held = true;
        return;
    }
    // Let go a turn later: a comparison asked for meanwhile may be due in this same turn, right
    // after the work that held it.
    QMetaObject::invokeMethod(
        this,
        [this, change] {
            if (change != m_holdChanges)
                return;
            m_held = false;
            if (std::exchange(m_heldRecompute, false))
                scheduleRecompute();
        },
        Qt::QueuedConnection);
}

void CompareView::runScheduled()
{
    if (!std::exchange(m_recomputePending, false))
        return; // run early by finishComparison()
    if (m_held) {
        m_heldRecompute = true;
        return;
    }
    if (isComparing()) {
        m_needsFull = true; // taken up when the running comparison is done
        return;
    }
    if (m_needsFull || m_changedValues.isEmpty() || !updateChangedValues())
        recompute();
}

void CompareView::onDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    if (m_needsFull || !m_other)
        return;
    if (isComparing()) {
        m_needsFull = true;
        return;
    }
    const QModelIndex parent = topLeft.parent();
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        XsdtNode *node = m_model->nodeForIndex(m_model->index(row, 0, parent));
        if (!node || node->isGroup() || m_changedValues.size() >= kIncrementalLimit) {
            m_needsFull = true;
            m_changedValues.clear();
            return;
        }
        m_changedValues.insert(node);
    }
}

void CompareView::recompute()
{
    clearResults();
    if (!m_document) {
        m_summary->clear();
    } else if (m_otherPath.isEmpty() || !m_other) {
        m_summary->setText(tr("Pick another settings file to see how it differs from this one."));
    } else {
        startComparison(m_otherPath, m_other);
    }
    updateButtons();
}

// The open document is outlined here, on the GUI thread, in one walk that shares its strings;
// the worker reads only the outline, its own copy of the rules and the other file, which it
// reads itself or shares unchanged with the page. So the window stays editable meanwhile, and
// an edit only asks for another run once this one is done.
void CompareView::startComparison(const QString &path, std::shared_ptr<const OtherFile> other)
{
    stopWorker();
    auto here = std::make_shared<const DocumentOutline>(*m_document);
    const DeletionPolicy *policy = m_model->policy();
    auto rules = policy ? std::make_shared<const DeletionPolicy>(*policy) : nullptr;
    auto done = std::make_shared<std::atomic<qint64>>(0);
    m_progressDone = done;
    m_progressTotal = here->size();
    m_comparingPath = path;
    m_job->start([view = this, path, other, here, rules,
                  done](const std::atomic_bool &cancelled) mutable -> BackgroundJob::Finish {
        // Let go of the outline here once done, not on the GUI thread.
        const auto outline = std::exchange(here, nullptr);
        auto outcome = std::make_shared<Outcome>();
        for (XsdtNode *node : outline->queued())
            outcome->queued.insert(node);
        if (!other) {
            QFile file(path);
            if (!file.open(QIODevice::ReadOnly)) {
                outcome->error = tr("Cannot read %1: %2")
                                     .arg(QDir::toNativeSeparators(path), file.errorString());
                return [view, outcome] { view->takeOutcome(*outcome); };
            }
            auto document = std::make_unique<XsdtDocument>();
            QString parseError;
            if (!document->parse(file.readAll(), &parseError)) {
                outcome->error = tr("%1 is not a valid PixInsight settings file: %2")
                                     .arg(QDir::toNativeSeparators(path), parseError);
                return [view, outcome] { view->takeOutcome(*outcome); };
            }
            if (cancelled.load())
                return {};
            auto fresh = std::make_shared<OtherFile>();
            fresh->comparison = std::make_unique<DocumentComparison>(*document);
            fresh->document = std::move(document);
            other = std::move(fresh);
        }
        outcome->other = other;
        outcome->records =
            other->comparison->compare(*outline, &outcome->ranks, &cancelled, done.get());
        if (cancelled.load())
            return {};
        // Which records are noise and where they are grouped, worked out here from the other
        // file's entries and the paths alone.
        const auto count = size_t(outcome->records.size());
        outcome->noise.assign(count, -1);
        outcome->groups.assign(count, -1);
        QString label;
        for (size_t i = 0; i < count; ++i) {
            const DiffRecord &record = outcome->records.at(qsizetype(i));
            // Paths are keys joined by "/", which no key holds.
            outcome->noise[i] =
                rules && rules->isCompareNoise(record.there ? pathKeys(record.there)
                                                            : record.path.split(QLatin1Char('/')),
                                               true);
            groupLabels(record.path, &label, nullptr);
            outcome->groups[i] = labelNumber(label, outcome->groupLabels, outcome->groupByLabel);
        }
        return [view, outcome] { view->takeOutcome(*outcome); };
    });
    m_busyLabel->setText(tr("Comparing with %1…").arg(QFileInfo(path).fileName()));
    m_progress->setRange(0, 0);
    m_summary->clear(); // the counts of an earlier comparison no longer hold
    m_busy->show();
    m_progressTimer.start();
}

void CompareView::showProgress()
{
    const qint64 done = m_progressDone ? m_progressDone->load() : 0;
    if (done <= 0 || m_progressTotal <= 0)
        return; // still reading the other file: the bar keeps moving without a figure
    m_progress->setRange(0, 1000);
    m_progress->setValue(int(std::min<qint64>(1000, done * 1000 / m_progressTotal)));
}

void CompareView::takeOutcome(Outcome &outcome)
{
    m_progressTimer.stop();
    m_busy->hide();
    if (!outcome.error.isEmpty()) {
        forgetOther();
        recompute();
        fillFileChoices();
        emit message(outcome.error);
        return;
    }
    const bool newFile = m_other != outcome.other;
    m_other = outcome.other;
    m_otherPath = m_comparingPath;
    if (newFile)
        fillFileChoices();
    if (m_needsFull || !m_changedValues.isEmpty()) {
        // The document changed while the worker compared it as it was.
        freeElsewhere(outcome.records);
        recompute();
        return;
    }
    clearResults();
    m_records = std::move(outcome.records);
    m_ranks = std::move(outcome.ranks);
    m_noise = std::move(outcome.noise);
    m_groups = std::move(outcome.groups);
    m_groupLabels = std::move(outcome.groupLabels);
    m_groupByLabel = std::move(outcome.groupByLabel);
    m_deletedAtCompare = std::move(outcome.queued);
    m_current.resize(size_t(m_records.size()));
    std::iota(m_current.begin(), m_current.end(), 0);
    m_copyable.assign(size_t(m_records.size()), -1);
    m_copyText.assign(size_t(m_records.size()), QString());
    showResults();
}

// Only the values edited since the last comparison are compared again. Whether a value takes
// part at all (its deletion mark and its ancestors') must be as it was, or the other file's
// entries at that path would change side too; then the full comparison runs instead.
bool CompareView::updateChangedValues()
{
    if (!m_document || !m_other)
        return false;
    for (XsdtNode *node : std::as_const(m_changedValues)) {
        bool wasDeleted = false;
        for (XsdtNode *n = node; n && !wasDeleted; n = n->parent)
            wasDeleted = m_deletedAtCompare.contains(n);
        if (wasDeleted != node->isDeleted())
            return false;
    }
    QHash<XsdtNode *, size_t> slotOf;
    for (size_t slot = 0; slot < m_current.size(); ++slot) {
        XsdtNode *here = m_records[m_current[slot]].here;
        if (here && m_changedValues.contains(here))
            slotOf.insert(here, slot);
    }
    QSet<int> changedRows;
    QSet<int> removed;
    bool added = false;
    for (XsdtNode *node : std::as_const(m_changedValues)) {
        if (node->isDeleted())
            continue;
        DiffRecord record;
        const bool differs = m_other->comparison->recordFor(node, m_ranks, &record);
        const auto hit = slotOf.constFind(node);
        if (hit != slotOf.constEnd()) {
            const int position = m_current[*hit];
            if (differs) {
                m_records[position] = record;
                m_copyable[size_t(position)] = Unknown; // it may hold the other value by now
                changedRows.insert(position);
            } else {
                removed.insert(position);
            }
        } else if (differs) {
            // A value that now differs joins the records at its place in document order,
            // among this file's entries, which all come before the other file's.
            const int position = int(m_records.size());
            m_records.append(record);
            m_noise.push_back(-1);
            m_copyable.push_back(-1);
            m_copyText.emplace_back();
            m_groups.push_back(-1);
            const auto hereEnd =
                std::partition_point(m_current.begin(), m_current.end(), [this](int p) {
                    return m_records[p].kind != DiffRecord::OnlyThere;
                });
            const auto at = std::lower_bound(
                m_current.begin(), hereEnd, node,
                [this](int p, const XsdtNode *n) { return documentOrder(m_records[p].here, n); });
            m_current.insert(at, position);
            added = true;
        }
    }
    m_changedValues.clear();
    if (!removed.isEmpty()) {
        m_current.erase(std::remove_if(m_current.begin(), m_current.end(),
                                       [&](int p) { return removed.contains(p); }),
                        m_current.end());
    }
    // An edited value may no longer match the search text, which looks at values too.
    const bool searching = !m_search->text().trimmed().isEmpty() && !changedRows.isEmpty();
    if (added || searching || removed.size() + changedRows.size() > kRowPatchLimit) {
        showResults();
        return true;
    }

    // Patch the rows in place: a long list is not rebuilt for one edit.
    m_rows->patch(changedRows, removed);
    for (int position : std::as_const(removed)) {
        if (isNoise(position) && m_hideNoise->isChecked())
            --m_hidden;
        else
            --m_counts[m_records[position].kind];
        m_shown.removeOne(position);
    }
    if (m_rows->rowCount() == 0)
        showResults();
    updateSummary();
    m_verdictNext = 0; // the ones known are known at once
    workOutVerdicts();
    return true;
}

bool CompareView::isNoise(int position)
{
    signed char &known = m_noise[size_t(position)];
    if (known < 0) {
        const DiffRecord &record = m_records[position];
        const DeletionPolicy *policy = m_model->policy();
        known = policy && policy->isCompareNoise(record.here ? record.here : record.there);
    }
    return known;
}

int CompareView::groupOf(int position)
{
    int &group = m_groups[size_t(position)];
    if (group < 0) {
        QString label;
        groupLabels(m_records[position].path, &label, nullptr);
        group = labelNumber(label, m_groupLabels, m_groupByLabel);
    }
    return group;
}

bool CompareView::copyable(int position) const
{
    return copyVerdict(position) == WillCopy;
}

// The model's own checks, asked before the copy: the confirmation must name the number that
// will be copied, not the number of rows that differ.
CompareView::CopyVerdict CompareView::copyVerdict(int position) const
{
    signed char &known = m_copyable[size_t(position)];
    if (known == Unknown) {
        const DiffRecord &record = m_records[position];
        QString normalized;
        if (record.kind != DiffRecord::Different)
            known = OneSide;
        else if (record.here->isDeleted())
            known = Queued;
        else if (!isCopyable(record, m_model->policy()) || m_model->isEditLocked(record.here))
            known = Protected;
        else if (!validateValue(record.here->type, record.there->value, &normalized))
            known = Invalid;
        else if (normalized == record.here->value)
            known = AlreadySame;
        else if (!m_model->refusal(record.here, record.there->value).isEmpty())
            known = Refused; // outside the documented range or choices, for example
        else
            known = WillCopy;
        m_copyText[size_t(position)] = known == WillCopy ? normalized : QString();
    }
    return CopyVerdict(known);
}

QString CompareView::notCopiedText(const int (&counts)[VerdictCount], const QString &refusal) const
{
    QStringList parts;
    if (counts[OneSide] > 0)
        parts << tr("%Ln only in one of the files", nullptr, counts[OneSide]);
    if (counts[Protected] > 0)
        parts << tr("%Ln protected or specific to one PixInsight installation", nullptr,
                    counts[Protected]);
    if (counts[Queued] > 0)
        parts << tr("%Ln marked for deletion", nullptr, counts[Queued]);
    if (counts[Invalid] > 0)
        parts << tr("%Ln not valid for the type of this file's entry", nullptr, counts[Invalid]);
    if (counts[AlreadySame] > 0)
        parts << tr("%Ln already equal in value", nullptr, counts[AlreadySame]);
    if (counts[Refused] > 0) {
        parts << (refusal.isEmpty()
                      ? tr("%Ln refused", nullptr, counts[Refused])
                      : tr("%Ln refused (%1)", nullptr, counts[Refused]).arg(refusal));
    }
    return parts.join(QStringLiteral("; "));
}

bool CompareView::passesFilters(const DiffRecord &record, const QString &search) const
{
    const QCheckBox *box = record.kind == DiffRecord::Different  ? m_different
                           : record.kind == DiffRecord::OnlyHere ? m_onlyHere
                                                                 : m_onlyThere;
    if (!box->isChecked())
        return false;
    if (search.isEmpty())
        return true;
    return record.path.contains(search, Qt::CaseInsensitive) ||
           (record.here && record.here->value.contains(search, Qt::CaseInsensitive)) ||
           (record.there && record.there->value.contains(search, Qt::CaseInsensitive));
}

QString CompareView::rowLabel(int position) const
{
    QString label;
    groupLabels(m_records[position].path, nullptr, &label);
    return label;
}

QString CompareView::statusText(int position) const
{
    const DiffRecord &record = m_records[position];
    switch (record.kind) {
    case DiffRecord::Different: {
        QString status = tr("Different");
        if (record.here->type != record.there->type)
            status += tr(" (type %1 / %2)").arg(record.here->type).arg(record.there->type);
        return status;
    }
    case DiffRecord::OnlyHere:
        return tr("Only in this file");
    default:
        return tr("Only in the other file");
    }
}

QString CompareView::toolTip(int position) const
{
    const DiffRecord &record = m_records[position];
    QString tip = record.path;
    if (record.here)
        tip += tr("\nThis file: %1").arg(record.here->value.left(kToolTipLimit));
    if (record.there)
        tip += tr("\nOther file: %1").arg(record.there->value.left(kToolTipLimit));
    if (record.kind == DiffRecord::OnlyThere)
        return tip + tr("\nDoes not exist in this file; adding entries is not offered.");
    if (record.kind != DiffRecord::Different || copyable(position))
        return tip;
    QString why;
    switch (copyVerdict(position)) {
    case Invalid:
        validateValue(record.here->type, record.there->value, nullptr, &why);
        return tip + tr("\nCannot be copied: the other file's value does not fit this file's "
                        "entry. %1")
                         .arg(why);
    case AlreadySame:
        return tip + tr("\nCopying would not change this file's value; the two differ only in "
                        "type or spelling.");
    case Refused:
        return tip +
               tr("\nCannot be copied: %1").arg(m_model->refusal(record.here, record.there->value));
    default:
        return tip + tr("\nCannot be copied: protected value type, specific to one PixInsight "
                        "installation, or queued for deletion.");
    }
}

// One pass over the records: the groups and rows handed to the list in one reset.
void CompareView::showResults()
{
    m_searchPause.stop();
    m_shown.clear();
    if (!m_document || m_otherPath.isEmpty() || isComparing()) {
        m_rows->reset({}, false);
        updateButtons();
        return;
    }
    const bool hideNoise = m_hideNoise->isChecked() && m_model->policy();
    const QString search = m_search->text().trimmed();
    m_counts[0] = m_counts[1] = m_counts[2] = 0;
    m_hidden = 0;
    std::vector<CompareRows::Group> groups;
    std::vector<int> rowOfLabel(size_t(m_groupLabels.size()), -1);
    for (int position : m_current) {
        const DiffRecord &record = m_records[position];
        if (hideNoise && isNoise(position)) {
            ++m_hidden;
            continue;
        }
        ++m_counts[record.kind];
        if (!passesFilters(record, search))
            continue;
        const int label = groupOf(position);
        if (size_t(label) >= rowOfLabel.size())
            rowOfLabel.resize(size_t(label) + 1, -1);
        int &row = rowOfLabel[size_t(label)];
        if (row < 0) {
            row = int(groups.size());
            groups.push_back({label, {}});
        }
        groups[size_t(row)].positions.push_back(position);
        m_shown.append(position);
    }
    m_rows->reset(std::move(groups), true);
    m_tree->expandAll();
    updateSummary();
    m_verdictNext = 0;
    workOutVerdicts();
}

void CompareView::workOutVerdicts()
{
    m_verdictSlices.stop();
    QElapsedTimer clock;
    clock.start();
    const bool all = m_shown.size() - m_verdictNext <= kVerdictsAtOnce;
    while (m_verdictNext < m_shown.size() && (all || clock.nsecsElapsed() < kVerdictSliceNs))
        copyVerdict(m_shown[m_verdictNext++]);
    if (m_verdictNext < m_shown.size())
        m_verdictSlices.start();
    updateButtons();
}

void CompareView::updateSummary()
{
    QString text = tr("%1 different, %2 only in this file, %3 only in the other file")
                       .arg(m_counts[0])
                       .arg(m_counts[1])
                       .arg(m_counts[2]);
    if (m_hidden > 0)
        text +=
            tr(" (%1 more hidden as statistics, window state or generated lists)").arg(m_hidden);
    m_summary->setText(text);
}

int CompareView::positionAt(const QModelIndex &index) const
{
    return m_rows->positionAt(index);
}

QList<int> CompareView::selectedRecords() const
{
    QList<int> out;
    QSet<int> taken;
    const auto take = [&](int position) {
        if (position >= 0 && !taken.contains(position)) {
            taken.insert(position);
            out.append(position);
        }
    };
    for (const QModelIndex &index : m_tree->selectionModel()->selectedRows()) {
        take(positionAt(index));
        for (int i = 0, rows = m_rows->rowCount(index); i < rows; ++i)
            take(positionAt(m_rows->index(i, 0, index)));
    }
    return out;
}

void CompareView::updateButtons()
{
    const QList<int> selected = selectedRecords();
    const bool anySelected =
        std::any_of(selected.begin(), selected.end(), [this](int p) { return copyable(p); });
    m_copySelected->setEnabled(!m_viewOnly && anySelected);
    const bool counted = m_verdictNext >= m_shown.size();
    const auto n = counted ? std::count_if(m_shown.begin(), m_shown.end(),
                                           [this](int p) { return copyable(p); })
                           : 0;
    m_copyAll->setEnabled(!m_viewOnly && n > 0);
    m_copyAll->setText(n > 0 ? tr("Use the other file's value for all shown (%Ln)", nullptr, int(n))
                             : tr("Use the other file's value for all shown"));
    const QString running =
        m_viewOnly ? tr("PixInsight is running; nothing can be copied until it is closed.")
                   : QString();
    m_copySelected->setToolTip(running);
    m_copyAll->setToolTip(running);
}

void CompareView::copyValues(const QList<int> &positions)
{
    if (positions.isEmpty())
        return;
    // PixInsight may have started while the question was open.
    if (m_viewOnly || m_model->isViewOnly()) {
        emit message(tr("PixInsight is running, so nothing was copied. Close PixInsight, then "
                        "copy again."));
        return;
    }
    int counts[VerdictCount] = {};
    std::vector<std::pair<XsdtNode *, QString>> values;
    for (int position : positions) {
        const CopyVerdict verdict = copyVerdict(position);
        if (verdict == WillCopy)
            values.emplace_back(m_records[position].here, m_copyText[size_t(position)]);
        else
            ++counts[verdict];
    }
    // One undo step for the whole copy, of values checked when their verdict was worked out.
    const QString from = QFileInfo(m_otherPath).fileName();
    m_model->beginBatch([from](int changes) {
        return tr("copy of %n values from %1", nullptr, changes).arg(from);
    });
    counts[WillCopy] = m_model->setAcceptedValues(values, QString());
    m_model->endBatch();
    counts[Refused] += int(values.size()) - counts[WillCopy];
    const int copied = counts[WillCopy];
    const QString rest = notCopiedText(counts, QString());
    if (copied == 0) {
        emit message(tr("Nothing was copied: %1.").arg(rest));
    } else if (rest.isEmpty()) {
        emit message(
            tr("Values copied into this file: %Ln. Review and save when ready.", nullptr, copied));
    } else {
        emit message(tr("Values copied into this file: %Ln. Not copied: %1. Review and save when "
                        "ready.",
                        nullptr, copied)
                         .arg(rest));
    }
}

void CompareView::copySelected()
{
    copyValues(selectedRecords());
}

void CompareView::copyAllShown()
{
    int counts[VerdictCount] = {};
    for (int position : std::as_const(m_shown))
        ++counts[copyVerdict(position)];
    const int n = counts[WillCopy];
    if (n == 0)
        return;
    QString question = tr("Values to copy from %1 into this file: %Ln.", nullptr, n)
                           .arg(QFileInfo(m_otherPath).fileName());
    const QString rest = notCopiedText(counts, QString());
    if (!rest.isEmpty())
        question += QLatin1Char('\n') + tr("Not copied: %1.").arg(rest);
    question += QStringLiteral("\n\n") +
                tr("They become pending changes: you can review, revert and save them as usual.");
    if (Dialogs::question(this, tr("Copy values"), question) == QMessageBox::Yes)
        copyValues(m_shown);
}

void CompareView::showContextMenu(const QPoint &pos)
{
    const int position = positionAt(m_tree->indexAt(pos));
    if (position < 0)
        return;
    const DiffRecord record = m_records[position];
    QMenu menu(this);
    QAction *use = menu.addAction(tr("Use the other file's value"));
    use->setEnabled(copyable(position) && !m_viewOnly);
    QAction *reveal = menu.addAction(tr("Show in All settings"));
    reveal->setEnabled(record.here);
    QAction *copyPath = menu.addAction(tr("Copy setting path"));
    QAction *chosen = Dialogs::execMenu(&menu, m_tree->viewport()->mapToGlobal(pos));
    if (chosen == use)
        copyValues({position});
    else if (chosen == reveal)
        emit revealRequested(record.here);
    else if (chosen == copyPath)
        QApplication::clipboard()->setText(record.path);
}

void CompareView::showEvent(QShowEvent *event)
{
    TaskPage::showEvent(event);
    fillFileChoices(); // backups made or deleted while the page was away
}

void CompareView::refreshFileChoices()
{
    fillFileChoices();
}

void CompareView::fillFileChoices()
{
    const QSignalBlocker blocker(m_chooser);
    m_chooser->clear();
    m_chooser->addItem(tr("Choose a file to compare with..."), QString());
    for (const QString &path : findSettingsFiles()) {
        if (!sameFile(path, m_path))
            m_chooser->addItem(fileLabel(path), path);
    }
    if (m_document && !m_path.isEmpty()) {
        for (const QString &backup : listBackups(m_path).mid(0, kMaxBackups))
            m_chooser->addItem(tr("Backup: %1").arg(fileLabel(backup)), backup);
    }
    // A file being read is already the one chosen.
    const QString chosen = isComparing() ? m_comparingPath : m_otherPath;
    int current = 0;
    for (int i = 1; i < m_chooser->count() && !chosen.isEmpty(); ++i) {
        if (sameFile(m_chooser->itemData(i).toString(), chosen)) {
            current = i;
            break;
        }
    }
    if (!chosen.isEmpty() && current == 0) {
        m_chooser->addItem(fileLabel(chosen), chosen);
        current = m_chooser->count() - 1;
    }
    m_chooser->addItem(tr("Browse..."), kBrowse);
    m_chooser->setCurrentIndex(current);
}

void CompareView::onChosen(int index)
{
    const QString data = m_chooser->itemData(index).toString();
    QString error;
    if (data == kBrowse) {
        const QString path =
            Dialogs::getOpenFileName(this, tr("Compare with"), QFileInfo(m_path).absolutePath(),
                                     tr("PixInsight settings (*.settings *.bak-*);;All files (*)"));
        if (!path.isEmpty() && !compareWith(path, &error))
            emit message(error);
    } else if (data.isEmpty()) {
        forgetOtherFile();
    } else if (!compareWith(data, &error)) {
        emit message(error);
    }
    fillFileChoices();
}

// What can be told at once is refused at once, leaving the comparison shown as it was; the
// file itself is read and compared on the worker.
bool CompareView::compareWith(const QString &path, QString *error)
{
    const auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    if (!m_document)
        return fail(tr("No settings file is open."));
    if (sameFile(path, m_path))
        return fail(tr("That is the file being edited."));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(
            tr("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    stopWorker();
    forgetOther();
    startComparison(path, nullptr);
    fillFileChoices();
    updateButtons();
    return true;
}

} // namespace vrn
