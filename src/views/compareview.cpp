#include "views/compareview.h"

#include "document/values.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "knowledge/deletionpolicy.h"
#include "model/settingsmodel.h"
#include "widgets/dialogs.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QComboBox>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHash>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>
#include <QVarLengthArray>

#include <algorithm>
#include <numeric>

namespace vrn {

namespace {

constexpr int kGroupMarker = -1;
constexpr qsizetype kValueColumnLimit = 90;
constexpr qsizetype kToolTipLimit = 300;
// Beyond this many values edited at once a full comparison is cheaper than patching records
// and rows one by one.
constexpr qsizetype kIncrementalLimit = 2000;
constexpr qsizetype kRowPatchLimit = 200;
constexpr int kMaxBackups = 25;
const QString kBrowse = QStringLiteral("?");

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
        *group = CompareView::tr("(top level)");
        *row = path;
        return;
    }
    *group = path.left(cut);
    *row = path.mid(cut + 1);
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

int positionOf(const QTreeWidgetItem *item)
{
    return item ? item->data(0, Qt::UserRole).toInt() : kGroupMarker;
}

} // namespace

CompareView::CompareView(SettingsModel *model, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_other(std::make_unique<XsdtDocument>())
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
    connect(m_search, &QLineEdit::textChanged, this, &CompareView::showResults);
    layout->addLayout(filterRow);

    m_summary = new QLabel(this);
    layout->addWidget(m_summary);

    m_tree = new QTreeWidget(this);
    m_tree->setColumnCount(4);
    m_tree->setHeaderLabels({tr("Setting"), tr("This file"), tr("Other file"), tr("Status")});
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
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &CompareView::updateButtons);
    connect(m_tree, &QTreeWidget::customContextMenuRequested, this, &CompareView::showContextMenu);
    connect(m_tree, &QTreeWidget::itemDoubleClicked, this, [this](QTreeWidgetItem *item) {
        const int position = positionOf(item);
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

CompareView::~CompareView() = default;

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
    clearResults();
    m_document = document;
    m_path = path;
    if (!document) {
        m_summary->clear();
        updateButtons();
        fillFileChoices();
        return;
    }
    if (sameFile(m_otherPath, path))
        forgetOther();
    fillFileChoices();
    recompute();
}

void CompareView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    updateButtons();
}

void CompareView::clearResults()
{
    {
        const QSignalBlocker blocker(m_tree);
        m_tree->clear();
    }
    m_records.clear();
    m_current.clear();
    m_noise.clear();
    m_copyable.clear();
    m_shown.clear();
    m_changedValues.clear();
    m_deletedAtCompare.clear();
    m_needsFull = false;
}

void CompareView::forgetOther()
{
    clearResults();
    m_comparison.reset();
    m_other = std::make_unique<XsdtDocument>();
    m_otherPath.clear();
}

void CompareView::forgetOtherFile()
{
    forgetOther();
    recompute();
    fillFileChoices();
}

void CompareView::scheduleRecompute()
{
    if (m_recomputePending)
        return;
    m_recomputePending = true;
    QTimer::singleShot(0, this, &CompareView::runScheduled);
}

void CompareView::runScheduled()
{
    m_recomputePending = false;
    if (m_needsFull || m_changedValues.isEmpty() || !updateChangedValues())
        recompute();
}

void CompareView::onDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    if (m_needsFull || !m_comparison)
        return;
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
    } else if (m_otherPath.isEmpty() || !m_comparison) {
        m_summary->setText(tr("Pick another settings file to see how it differs from this one."));
    } else {
        QApplication::setOverrideCursor(Qt::WaitCursor);
        m_records = m_comparison->compare(*m_document);
        m_current.resize(size_t(m_records.size()));
        std::iota(m_current.begin(), m_current.end(), 0);
        m_noise.assign(size_t(m_records.size()), -1);
        m_copyable.assign(size_t(m_records.size()), -1);
        for (XsdtNode *node : m_document->deletedNodes())
            m_deletedAtCompare.insert(node);
        showResults();
        QApplication::restoreOverrideCursor();
    }
    updateButtons();
}

// Only the values edited since the last comparison are compared again. Whether a value takes
// part at all (its deletion mark and its ancestors') must be as it was, or the other file's
// entries at that path would change side too; then the full comparison runs instead.
bool CompareView::updateChangedValues()
{
    if (!m_document || !m_comparison)
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
        const bool differs = m_comparison->recordFor(node, &record);
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
    const QSignalBlocker blocker(m_tree);
    for (int top = m_tree->topLevelItemCount() - 1; top >= 0; --top) {
        QTreeWidgetItem *group = m_tree->topLevelItem(top);
        for (int i = group->childCount() - 1; i >= 0; --i) {
            QTreeWidgetItem *row = group->child(i);
            const int position = positionOf(row);
            if (removed.contains(position)) {
                delete row;
            } else if (changedRows.contains(position)) {
                group->insertChild(i, makeRow(position));
                delete row;
            }
        }
        if (group->childCount() == 0 && positionOf(group) == kGroupMarker)
            delete group;
    }
    for (int position : std::as_const(removed)) {
        if (isNoise(position) && m_hideNoise->isChecked())
            --m_hidden;
        else
            --m_counts[m_records[position].kind];
        m_shown.removeOne(position);
    }
    if (m_tree->topLevelItemCount() == 0)
        showResults();
    updateSummary();
    updateButtons();
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

bool CompareView::passesFilters(const DiffRecord &record) const
{
    const QCheckBox *box = record.kind == DiffRecord::Different  ? m_different
                           : record.kind == DiffRecord::OnlyHere ? m_onlyHere
                                                                 : m_onlyThere;
    if (!box->isChecked())
        return false;
    const QString text = m_search->text().trimmed();
    if (text.isEmpty())
        return true;
    return record.path.contains(text, Qt::CaseInsensitive) ||
           (record.here && record.here->value.contains(text, Qt::CaseInsensitive)) ||
           (record.there && record.there->value.contains(text, Qt::CaseInsensitive));
}

QTreeWidgetItem *CompareView::makeRow(int position) const
{
    const DiffRecord &record = m_records[position];
    QString group;
    QString label;
    groupLabels(record.path, &group, &label);
    auto *item = new QTreeWidgetItem;
    item->setText(0, label);
    if (record.here)
        item->setText(1, valueText(record.here));
    if (record.there)
        item->setText(2, valueText(record.there));
    QString status;
    QString tip = record.path;
    if (record.here)
        tip += tr("\nThis file: %1").arg(record.here->value.left(kToolTipLimit));
    if (record.there)
        tip += tr("\nOther file: %1").arg(record.there->value.left(kToolTipLimit));
    switch (record.kind) {
    case DiffRecord::Different:
        status = tr("Different");
        if (record.here->type != record.there->type)
            status += tr(" (type %1 / %2)").arg(record.here->type).arg(record.there->type);
        if (!copyable(position)) {
            QString why;
            switch (copyVerdict(position)) {
            case Invalid:
                validateValue(record.here->type, record.there->value, nullptr, &why);
                tip += tr("\nCannot be copied: the other file's value does not fit this file's "
                          "entry. %1")
                           .arg(why);
                break;
            case AlreadySame:
                tip +=
                    tr("\nCopying would not change this file's value; the two differ only in type "
                       "or spelling.");
                break;
            case Refused:
                tip += tr("\nCannot be copied: %1")
                           .arg(m_model->refusal(record.here, record.there->value));
                break;
            default:
                tip += tr("\nCannot be copied: protected value type, specific to one PixInsight "
                          "installation, or queued for deletion.");
                break;
            }
            item->setForeground(0, palette().brush(QPalette::Disabled, QPalette::Text));
        }
        break;
    case DiffRecord::OnlyHere:
        status = tr("Only in this file");
        break;
    default:
        status = tr("Only in the other file");
        tip += tr("\nDoes not exist in this file; adding entries is not offered.");
        break;
    }
    item->setText(3, status);
    item->setToolTip(0, tip);
    item->setData(0, Qt::UserRole, position);
    return item;
}

void CompareView::showResults()
{
    const QSignalBlocker blocker(m_tree);
    m_tree->clear();
    m_shown.clear();
    if (!m_document || m_otherPath.isEmpty()) {
        updateButtons();
        return;
    }
    const bool hideNoise = m_hideNoise->isChecked() && m_model->policy();
    m_counts[0] = m_counts[1] = m_counts[2] = 0;
    m_hidden = 0;
    QList<QTreeWidgetItem *> groups;
    QHash<QString, QTreeWidgetItem *> groupByLabel;
    QFont bold = m_tree->font();
    bold.setBold(true);
    for (int position : m_current) {
        const DiffRecord &record = m_records[position];
        if (hideNoise && isNoise(position)) {
            ++m_hidden;
            continue;
        }
        ++m_counts[record.kind];
        if (!passesFilters(record))
            continue;
        QString groupLabel;
        QString rowLabel;
        groupLabels(record.path, &groupLabel, &rowLabel);
        QTreeWidgetItem *&group = groupByLabel[groupLabel];
        if (!group) {
            group = new QTreeWidgetItem({groupLabel});
            group->setFont(0, bold);
            group->setData(0, Qt::UserRole, kGroupMarker);
            groups.append(group);
        }
        group->addChild(makeRow(position));
        m_shown.append(position);
    }
    m_tree->addTopLevelItems(groups);
    m_tree->expandAll();
    if (groups.isEmpty()) {
        auto *none = new QTreeWidgetItem({tr("Nothing to show with the current filters.")});
        none->setData(0, Qt::UserRole, kGroupMarker);
        none->setFlags(Qt::ItemIsEnabled);
        m_tree->addTopLevelItem(none);
    }
    updateSummary();
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
    for (const QTreeWidgetItem *item : m_tree->selectedItems()) {
        take(positionOf(item));
        for (int i = 0; i < item->childCount(); ++i)
            take(positionOf(item->child(i)));
    }
    return out;
}

void CompareView::updateButtons()
{
    const QList<int> selected = selectedRecords();
    const bool anySelected =
        std::any_of(selected.begin(), selected.end(), [this](int p) { return copyable(p); });
    m_copySelected->setEnabled(!m_viewOnly && anySelected);
    const auto n =
        std::count_if(m_shown.begin(), m_shown.end(), [this](int p) { return copyable(p); });
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
    QString refusal;
    const QMetaObject::Connection watch =
        connect(m_model, &SettingsModel::editRejected, this, [&refusal](const QString &reason) {
            if (refusal.isEmpty())
                refusal = reason;
        });
    // One undo step for the whole copy.
    const QString from = QFileInfo(m_otherPath).fileName();
    m_model->beginBatch([from](int changes) {
        return tr("copy of %n values from %1", nullptr, changes).arg(from);
    });
    for (int position : positions) {
        const DiffRecord &record = m_records[position];
        CopyVerdict verdict = copyVerdict(position);
        if (verdict == WillCopy && !m_model->setData(m_model->indexForNode(record.here, 1),
                                                     record.there->value, Qt::EditRole))
            verdict = Refused;
        ++counts[verdict];
    }
    m_model->endBatch();
    disconnect(watch);
    const int copied = counts[WillCopy];
    const QString rest = notCopiedText(counts, refusal);
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
    const int position = positionOf(m_tree->itemAt(pos));
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
    int current = 0;
    for (int i = 1; i < m_chooser->count() && !m_otherPath.isEmpty(); ++i) {
        if (sameFile(m_chooser->itemData(i).toString(), m_otherPath)) {
            current = i;
            break;
        }
    }
    if (!m_otherPath.isEmpty() && current == 0) {
        m_chooser->addItem(fileLabel(m_otherPath), m_otherPath);
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

bool CompareView::compareWith(const QString &path, QString *error)
{
    const auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    clearResults();
    if (sameFile(path, m_path)) {
        recompute();
        return fail(tr("That is the file being edited."));
    }
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        recompute();
        return fail(
            tr("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    QApplication::setOverrideCursor(Qt::WaitCursor);
    auto other = std::make_unique<XsdtDocument>();
    QString parseError;
    const bool parsed = other->parse(file.readAll(), &parseError);
    QApplication::restoreOverrideCursor();
    if (!parsed) {
        forgetOther();
        recompute();
        return fail(tr("%1 is not a valid PixInsight settings file: %2")
                        .arg(QDir::toNativeSeparators(path), parseError));
    }
    m_comparison.reset(); // it points into the document being replaced
    m_other = std::move(other);
    m_comparison = std::make_unique<DocumentComparison>(*m_other);
    m_otherPath = path;
    fillFileChoices();
    recompute();
    return true;
}

} // namespace vrn
