#include "model/settingsmodel.h"

#include "document/additions.h"
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "knowledge/schema.h"
#include "knowledge/valuecheck.h"

#include <QBrush>
#include <QColor>
#include <QFont>
#include <QGuiApplication>
#include <QPalette>
#include <QUndoCommand>
#include <QUndoStack>

#include <algorithm>
#include <functional>

namespace vrn {

namespace {

constexpr int kColumns = 3;
constexpr qsizetype kDisplayLimit = 200;
// Below this many siblings a linear search is cheaper than a hash lookup.
constexpr size_t kLinearRowLimit = 32;

// What a deletion mark changes in a row. Repaints of whole subtrees name these roles: an empty
// list would make a recursive filter proxy re-check every ancestor of every range, and a tree
// view then searches its rows for each of them, which is quadratic in an expanded tree.
const QList<int> kMarkRoles = {Qt::DisplayRole, Qt::FontRole, Qt::BackgroundRole,
                               Qt::ForegroundRole, Qt::ToolTipRole};

const QChar kReturnSymbol(0x23CE);
const QChar kEllipsis(0x2026);

// Text a step back from the normal one, for values that cannot be edited; still at least 4.5:1
// against plain and alternate rows in both themes.
QColor mutedTextColor(const QPalette &palette)
{
    const QColor text = palette.color(QPalette::Active, QPalette::Text);
    const QColor base = palette.color(QPalette::Active, QPalette::Base);
    const auto mix = [](int a, int b) { return (3 * a + b) / 4; };
    return QColor(mix(text.red(), base.red()), mix(text.green(), base.green()),
                  mix(text.blue(), base.blue()));
}

bool isChanged(const XsdtNode *node)
{
    return node->kind == XsdtNode::Value && node->value != node->originalValue;
}

// What an entry adds to the document's count of pending changes, as the document counts them:
// an entry marked for deletion or new counts once with everything below it, an edited value
// once. A change of one entry moves the count by the difference, whatever else a step holds.
int pendingWeight(const XsdtNode *node, bool below = false)
{
    if (!below) {
        for (const XsdtNode *above = node->parent; above; above = above->parent) {
            if (above->pendingDelete || above->pendingAdd)
                return 0;
        }
    }
    if (node->pendingDelete || node->pendingAdd || isChanged(node))
        return 1;
    int weight = 0;
    for (const auto &child : node->children)
        weight += pendingWeight(child.get(), true);
    return weight;
}

// Whether an entry above a node is marked for deletion or new, looked up once for a run of
// siblings: a change to one of them leaves their parent and everything above it as it was.
struct Above
{
    const XsdtNode *parent = nullptr;
    bool deleted = false;
    bool added = false;

    void lookAt(const XsdtNode *node)
    {
        if (node->parent == std::exchange(parent, node->parent))
            return;
        deleted = added = false;
        for (const XsdtNode *n = parent; n; n = n->parent) {
            deleted = deleted || n->pendingDelete;
            added = added || n->pendingAdd;
        }
    }
    // pendingWeight() of a node below.
    int weightOf(const XsdtNode *node) const
    {
        return deleted || added ? 0 : pendingWeight(node, true);
    }
};

// Above this many nodes a step is repainted as a whole, like revertAll, instead of row by row.
constexpr size_t kRowRepaintLimit = 64;

// One undo step: the before and after state of the nodes it touched, never a copy of the
// document. The change is already made when the step is pushed, so its first redo does
// nothing.
class ChangeCommand : public QUndoCommand
{
public:
    ChangeCommand(SettingsModel *model, const QString &text,
                  std::vector<SettingsModel::NodeChange> changes,
                  std::vector<SettingsModel::Insertion> insertions = {})
        : QUndoCommand(text)
        , m_model(model)
        , m_changes(std::move(changes))
        , m_insertions(std::move(insertions))
    {}

    // Entries go back into the tree before their values are set, and values are set before
    // their entries leave it, so that a value is never changed on an entry outside the tree.
    void undo() override
    {
        m_model->applyInsertions(m_insertions, false);
        m_model->applyChanges(m_changes, false);
    }
    void redo() override
    {
        if (std::exchange(m_done, false))
            return;
        m_model->applyChanges(m_changes, true);
        m_model->applyInsertions(m_insertions, true);
    }

private:
    SettingsModel *m_model;
    std::vector<SettingsModel::NodeChange> m_changes;
    std::vector<SettingsModel::Insertion> m_insertions;
    bool m_done = true;
};

// Row by row for a few changes, so that pages can patch what they show; one layout change for
// many, so that every page and proxy looks at the document once instead of once per value.
// Changes made in a batch are announced here when it ends, never one by one: a copy of
// 200,000 values would otherwise make every page recompute 200,000 times.
void announce(SettingsModel &model, const std::vector<SettingsModel::NodeChange> &changes)
{
    if (changes.size() > kRowRepaintLimit) {
        model.refreshAll();
    } else {
        for (const SettingsModel::NodeChange &change : changes) {
            if (change.markBefore != change.markAfter) {
                model.notifySubtree(change.node);
            } else {
                const QModelIndex first = model.indexForNode(change.node, 0);
                emit model.dataChanged(first, first.sibling(first.row(), kColumns - 1), {});
            }
        }
    }
    emit model.edited();
}

} // namespace

SettingsModel::SettingsModel(QObject *parent)
    : QAbstractItemModel(parent)
    , m_undoStack(new QUndoStack(this))
{}

void SettingsModel::setDocument(XsdtDocument *document)
{
    // The steps hold node pointers: none may outlive the document they were made on.
    clearHistory();
    beginResetModel();
    m_document = document;
    m_rowCache.clear();
    endResetModel();
}

void SettingsModel::beginBatch(const QString &text)
{
    if (m_batchDepth++ == 0) {
        m_batchText = text;
        m_batchNamer = nullptr;
        m_batchChanges.clear();
        m_batchInsertions.clear();
    }
}

void SettingsModel::beginBatch(std::function<QString(int)> text)
{
    if (m_batchDepth++ == 0) {
        m_batchText.clear();
        m_batchNamer = std::move(text);
        m_batchChanges.clear();
        m_batchInsertions.clear();
    }
}

void SettingsModel::endBatch()
{
    if (m_batchDepth == 0 || --m_batchDepth > 0)
        return;
    std::vector<NodeChange> changes = std::exchange(m_batchChanges, {});
    std::vector<Insertion> insertions = std::exchange(m_batchInsertions, {});
    if (changes.empty() && insertions.empty())
        return;
    // A created entry counts its values, as the user gave them.
    qsizetype count = qsizetype(changes.size());
    for (const Insertion &insertion : insertions)
        count += insertion.in ? insertion.node->valueCount() : 1;
    const QString text = m_batchNamer ? m_batchNamer(int(count)) : m_batchText;
    m_batchNamer = nullptr;
    // The changes are made; what they look like is told once, now. Rows that came or went
    // were told as they did.
    announce(*this, changes);
    m_undoStack->push(new ChangeCommand(this, text, std::move(changes), std::move(insertions)));
}

void SettingsModel::record(const QString &text, std::vector<NodeChange> changes,
                           std::vector<Insertion> insertions)
{
    if (changes.empty() && insertions.empty())
        return;
    if (!changes.empty())
        emit aboutToChange(); // every caller writes the nodes right after this
    if (m_batchDepth > 0) {
        addToBatch(std::move(changes));
        m_batchInsertions.insert(m_batchInsertions.end(),
                                 std::make_move_iterator(insertions.begin()),
                                 std::make_move_iterator(insertions.end()));
        return;
    }
    m_undoStack->push(new ChangeCommand(this, text, std::move(changes), std::move(insertions)));
}

void SettingsModel::addToBatch(std::vector<NodeChange> changes)
{
    if (m_batchChanges.empty())
        m_batchChanges = std::move(changes);
    else
        m_batchChanges.insert(m_batchChanges.end(), std::make_move_iterator(changes.begin()),
                              std::make_move_iterator(changes.end()));
}

void SettingsModel::putIn(Insertion &insertion)
{
    if (!insertion.held)
        return;
    const int row = int(qMin(insertion.row, insertion.parent->children.size()));
    beginInsertRows(indexForNode(insertion.parent), row, row);
    Placement placement;
    placement.parent = insertion.parent;
    placement.row = size_t(row);
    placement.node = std::move(insertion.held);
    insertPlacement(placement);
    endInsertRows();
}

void SettingsModel::takeOutOf(Insertion &insertion)
{
    XsdtNode *node = insertion.node;
    if (insertion.held || node->parent != insertion.parent)
        return;
    const int row = node->indexInParent();
    beginRemoveRows(indexForNode(insertion.parent), row, row);
    insertion.row = size_t(row);
    insertion.held = takeOut(node);
    endRemoveRows();
}

void SettingsModel::applyInsertions(std::vector<Insertion> &insertions, bool after)
{
    if (!m_document || insertions.empty())
        return;
    emit aboutToChange();
    // Undo walks backwards, so every row is the one the entry had when it came or went.
    const auto apply = [this, after](Insertion &insertion) {
        if (insertion.in == after)
            putIn(insertion);
        else
            takeOutOf(insertion);
    };
    if (after)
        std::for_each(insertions.begin(), insertions.end(), apply);
    else
        std::for_each(insertions.rbegin(), insertions.rend(), apply);
    emit pendingChanged(std::nullopt);
    emit edited();
}

bool SettingsModel::canUndo() const
{
    return m_document && !m_viewOnly && m_undoStack->canUndo();
}

bool SettingsModel::canRedo() const
{
    return m_document && !m_viewOnly && m_undoStack->canRedo();
}

void SettingsModel::undo()
{
    if (canUndo())
        m_undoStack->undo();
}

void SettingsModel::redo()
{
    if (canRedo())
        m_undoStack->redo();
}

void SettingsModel::clearHistory()
{
    m_batchChanges.clear();
    m_batchInsertions.clear();
    m_undoStack->clear();
}

void SettingsModel::applyChanges(const std::vector<NodeChange> &changes, bool after)
{
    if (!m_document || changes.empty())
        return;
    emit aboutToChange();
    // Undo walks backwards, so a node touched twice in one step ends in its first state.
    int delta = 0;
    Above above;
    const auto apply = [after, &delta, &above](const NodeChange &change) {
        XsdtNode *node = change.node;
        above.lookAt(node);
        const int before = above.weightOf(node);
        node->value = after ? change.valueAfter : change.valueBefore;
        node->pendingDelete = after ? change.markAfter : change.markBefore;
        delta += above.weightOf(node) - before;
    };
    if (after)
        std::for_each(changes.begin(), changes.end(), apply);
    else
        std::for_each(changes.rbegin(), changes.rend(), apply);
    emit pendingChanged(delta);
    announce(*this, changes);
}

void SettingsModel::setSchema(const Schema *schema)
{
    m_schema = schema;
}

void SettingsModel::setPolicy(const DeletionPolicy *policy)
{
    m_policy = policy;
}

void SettingsModel::setViewOnly(bool viewOnly)
{
    if (m_viewOnly == viewOnly)
        return;
    m_viewOnly = viewOnly;
    refreshAll();
}

XsdtNode *SettingsModel::rootNode() const
{
    return m_document ? &m_document->root : nullptr;
}

XsdtNode *SettingsModel::nodeForIndex(const QModelIndex &index) const
{
    if (!index.isValid())
        return rootNode();
    return static_cast<XsdtNode *>(index.internalPointer());
}

QModelIndex SettingsModel::indexForNode(const XsdtNode *node, int column) const
{
    if (!node || !m_document || node == &m_document->root || !node->parent)
        return {};
    return createIndex(rowOf(node), column, const_cast<XsdtNode *>(node));
}

DeleteVerdict SettingsModel::deletionVerdict(const XsdtNode *node) const
{
    if (!m_policy)
        return {};
    return m_policy->verdictFor(node);
}

bool SettingsModel::isEditLocked(const XsdtNode *node) const
{
    return m_policy && m_policy->isEditLocked(node);
}

QString SettingsModel::viewOnlyReason() const
{
    return m_viewOnlyReason.isEmpty() ? tr("PixInsight is running; nothing can be changed.")
                                      : m_viewOnlyReason;
}

QString SettingsModel::whyNotEditable(const XsdtNode *node) const
{
    if (!node || !node->isValue())
        return tr("Only values can be edited; %1 is a group.")
            .arg(node ? node->key.toString() : QString());
    if (m_viewOnly)
        return viewOnlyReason();
    if (node->pendingDelete)
        return tr("%1 is marked for deletion. Undo the deletion to edit it.").arg(node->key);
    if (node->isDeleted())
        return tr("%1 is inside an entry marked for deletion.").arg(node->key);
    if (!node->compression().isEmpty())
        return tr("%1 is compressed data, shown for reference only.").arg(node->key);
    if (!node->isEditable())
        return tr("%1 is of the protected type %2, shown for reference only.")
            .arg(node->key, typeDisplayName(node->type));
    if (isEditLocked(node))
        return tr("%1 is part of the module registry or version records and is locked against "
                  "editing.")
            .arg(node->key);
    return QString();
}

QString SettingsModel::refusal(const XsdtNode *node, const QString &text, QString *normalized) const
{
    static const Schema noSchema;
    QString error;
    if (!checkNewValue(node, text, m_schema ? *m_schema : noSchema, m_policy, normalized, &error))
        return error.isEmpty() ? tr("The value was not accepted.") : error;
    return QString();
}

int SettingsModel::rowOf(const XsdtNode *node) const
{
    const XsdtNode *parentNode = node->parent;
    if (!parentNode)
        return 0;
    const auto &siblings = parentNode->children;
    const size_t count = siblings.size();
    if (count <= kLinearRowLimit)
        return node->indexInParent();
    const auto hit = m_rowCache.constFind(node);
    if (hit != m_rowCache.constEnd() && size_t(*hit) < count &&
        siblings[size_t(*hit)].get() == node)
        return *hit;
    // First question about this group (or its rows moved): learn all its rows at once.
    int found = 0;
    for (size_t i = 0; i < count; ++i) {
        const XsdtNode *sibling = siblings[i].get();
        m_rowCache.insert(sibling, int(i));
        if (sibling == node)
            found = int(i);
    }
    return found;
}

QModelIndex SettingsModel::index(int row, int column, const QModelIndex &parent) const
{
    if (!m_document || row < 0 || column < 0 || column >= kColumns)
        return {};
    if (parent.isValid() && parent.column() != 0)
        return {};
    const XsdtNode *parentNode = nodeForIndex(parent);
    if (!parentNode || size_t(row) >= parentNode->children.size())
        return {};
    return createIndex(row, column, parentNode->children[size_t(row)].get());
}

QModelIndex SettingsModel::parent(const QModelIndex &index) const
{
    if (!index.isValid() || !m_document)
        return {};
    const XsdtNode *node = nodeForIndex(index);
    const XsdtNode *parentNode = node ? node->parent : nullptr;
    if (!parentNode || parentNode == &m_document->root || !parentNode->parent)
        return {};
    return createIndex(rowOf(parentNode), 0, const_cast<XsdtNode *>(parentNode));
}

QModelIndex SettingsModel::sibling(int row, int column, const QModelIndex &index) const
{
    if (!index.isValid() || column < 0 || column >= kColumns)
        return {};
    if (row == index.row())
        return createIndex(row, column, index.internalPointer());
    const XsdtNode *parentNode = nodeForIndex(index)->parent;
    if (!parentNode || row < 0 || size_t(row) >= parentNode->children.size())
        return {};
    return createIndex(row, column, parentNode->children[size_t(row)].get());
}

int SettingsModel::rowCount(const QModelIndex &parent) const
{
    if (!m_document)
        return 0;
    if (parent.isValid() && parent.column() != 0)
        return 0;
    const XsdtNode *node = nodeForIndex(parent);
    return node ? int(node->children.size()) : 0;
}

int SettingsModel::columnCount(const QModelIndex &) const
{
    return kColumns;
}

bool SettingsModel::hasChildren(const QModelIndex &parent) const
{
    return rowCount(parent) > 0;
}

QVariant SettingsModel::data(const QModelIndex &index, int role) const
{
    if (!index.isValid())
        return {};
    const XsdtNode *node = nodeForIndex(index);
    if (!node)
        return {};
    const bool isValue = node->kind == XsdtNode::Value;

    switch (role) {
    case NodeRole:
        return QVariant::fromValue(const_cast<XsdtNode *>(node));
    case Qt::DisplayRole:
        switch (index.column()) {
        case 0:
            return node->key.toString();
        case 1: {
            if (!isValue)
                return {};
            if (node->type == QLatin1Char('B'))
                return blockDisplayText(*node);
            // Cut before replacing: the replacement keeps the length, and a long value
            // should not be copied whole for every repaint.
            QString text = node->value.size() > kDisplayLimit
                               ? node->value.left(kDisplayLimit) + kEllipsis
                               : node->value.toString();
            text.replace(QLatin1Char('\n'), kReturnSymbol);
            return text;
        }
        case 2:
            if (node->pendingDelete)
                return tr("Will be deleted");
            if (isValue)
                return typeDisplayName(node->type);
            return tr("%n items", nullptr, int(node->children.size()));
        default:
            return {};
        }
    case Qt::EditRole:
        if (index.column() == 1 && isValue)
            return node->value.toString();
        return {};
    case Qt::ToolTipRole: {
        QString tip = node->path();
        if (isValue) {
            tip += QLatin1Char('\n') + typeDisplayName(node->type);
            if (!node->isEditable())
                tip += tr(" - protected, shown for reference only");
            if (isChanged(node))
                tip += tr("\nOriginal value: %1").arg(node->originalValue.left(kDisplayLimit));
        }
        if (node->pendingDelete) {
            tip += tr("\nMarked for deletion (%n values); removed when you save.", nullptr,
                      int(node->valueCount()));
        } else if (node->isAdded()) {
            tip += tr("\nNew: written to the file when you save.");
        } else if (node->isDeleted()) {
            tip += tr("\nInside an entry marked for deletion.");
        } else if (m_policy) {
            const DeleteVerdict verdict = m_policy->verdictFor(node);
            if (verdict.level != DeleteLevel::Never)
                tip += tr("\nCan be deleted: %1").arg(verdict.reason);
        }
        return tip;
    }
    case Qt::FontRole: {
        const bool changed = isChanged(node);
        if (changed || node->pendingDelete) {
            QFont font = QGuiApplication::font();
            font.setWeight(changed ? QFont::Bold : QFont::Normal);
            font.setStrikeOut(node->isDeleted());
            return font;
        }
        if (node->isDeleted()) {
            QFont font = QGuiApplication::font();
            font.setStrikeOut(true);
            return font;
        }
        return {};
    }
    case Qt::BackgroundRole:
        if (node->pendingDelete)
            return QBrush(QColor(230, 60, 60, 60));
        if (isChanged(node))
            return QBrush(QColor(255, 190, 0, 70));
        if (node->pendingAdd)
            return QBrush(QColor(40, 170, 80, 60));
        return {};
    case Qt::ForegroundRole:
        // Entries queued for deletion keep the full text colour: struck through on red, a
        // muted grey was hard to read in the dark theme.
        if (isValue && !node->isEditable() && !node->isDeleted())
            return QBrush(mutedTextColor(QGuiApplication::palette()));
        return {};
    default:
        return {};
    }
}

bool SettingsModel::setData(const QModelIndex &index, const QVariant &value, int role)
{
    if (role != Qt::EditRole || !index.isValid() || index.column() != 1 || m_viewOnly)
        return false;
    XsdtNode *node = nodeForIndex(index);
    if (!node || !node->isEditable() || node->isDeleted())
        return false;
    QString normalized;
    const QString error = refusal(node, value.toString(), &normalized);
    if (!error.isEmpty()) {
        emit editRejected(error);
        return false;
    }
    if (normalized == node->value)
        return false;
    // A batch is named as a whole: no text per value for a copy of thousands.
    record(m_batchDepth > 0 ? QString() : tr("edit of %1").arg(node->key),
           {{node, node->value, normalized, node->pendingDelete, node->pendingDelete}});
    const int before = pendingWeight(node);
    node->value = normalized;
    emit pendingChanged(pendingWeight(node) - before);
    if (m_batchDepth > 0)
        return true; // announced when the batch ends
    emit dataChanged(index.sibling(index.row(), 0), index.sibling(index.row(), kColumns - 1), {});
    emit edited();
    return true;
}

QVariant SettingsModel::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case 0:
        return tr("Setting");
    case 1:
        return tr("Value");
    case 2:
        return tr("Type");
    default:
        return {};
    }
}

Qt::ItemFlags SettingsModel::flags(const QModelIndex &index) const
{
    if (!index.isValid())
        return Qt::NoItemFlags; // the invisible root takes no part in selection or drops
    Qt::ItemFlags result = Qt::ItemIsSelectable | Qt::ItemIsEnabled;
    if (index.column() != 1 || m_viewOnly)
        return result;
    const XsdtNode *node = nodeForIndex(index);
    if (node && node->isEditable() && !node->isDeleted() && !isEditLocked(node))
        result |= Qt::ItemIsEditable;
    return result;
}

int SettingsModel::setAcceptedValues(const std::vector<std::pair<XsdtNode *, XsdtText>> &values,
                                     const QString &text)
{
    if (!m_document || m_viewOnly)
        return 0;
    std::vector<NodeChange> changes;
    changes.reserve(values.size());
    // Copies come in document order, so neighbours share their groups.
    Above above;
    int delta = 0;
    // The type and the locks were part of the check the caller made; only what may have
    // changed since is looked at again. A lock would cost a path per entry.
    for (const auto &[node, stored] : values) {
        if (!node || !node->isEditable())
            continue;
        above.lookAt(node);
        if (above.deleted || node->pendingDelete || stored == node->value)
            continue;
        if (changes.empty())
            emit aboutToChange();
        // Below a new entry a value counts with it, not on its own.
        const int before = above.weightOf(node);
        changes.push_back({node, node->value, stored, false, false});
        node->value = stored;
        delta += above.weightOf(node) - before;
    }
    if (changes.empty())
        return 0;
    emit pendingChanged(delta);
    const int count = int(changes.size());
    if (m_batchDepth > 0) {
        if (m_batchChanges.empty())
            m_batchChanges = std::move(changes);
        else
            m_batchChanges.insert(m_batchChanges.end(), std::make_move_iterator(changes.begin()),
                                  std::make_move_iterator(changes.end()));
        return count; // announced when the batch ends
    }
    announce(*this, changes);
    m_undoStack->push(new ChangeCommand(this, text, std::move(changes)));
    return count;
}

int SettingsModel::addValues(const QList<NewValue> &values, const QString &text,
                             QStringList *reasons)
{
    if (!m_document || m_viewOnly) {
        if (reasons)
            reasons->fill(m_document ? viewOnlyReason() : tr("No settings file is open."),
                          values.size());
        return 0;
    }
    std::vector<Insertion> made;
    for (const NewValue &value : values) {
        Placement placement;
        QString why;
        QString normalized;
        if (placeNewValue(m_document->root, value, &placement, &why))
            why = refusal(placement.value, value.value, &normalized);
        if (reasons)
            reasons->append(why);
        if (!why.isEmpty())
            continue;
        placement.value->value = normalized;
        placement.value->originalValue = normalized;
        if (made.empty())
            emit aboutToChange();
        const int row = int(placement.row);
        beginInsertRows(indexForNode(placement.parent), row, row);
        XsdtNode *parentNode = placement.parent;
        XsdtNode *node = insertPlacement(placement);
        endInsertRows();
        made.push_back({node, parentNode, size_t(row), true, nullptr});
    }
    const int count = int(made.size());
    const bool batched = m_batchDepth > 0;
    if (count > 0)
        emit pendingChanged(std::nullopt);
    record(text, {}, std::move(made));
    if (count > 0 && !batched)
        emit edited();
    return count;
}

void SettingsModel::undoAddition(XsdtNode *node)
{
    if (!node || !m_document || !node->pendingAdd || !node->parent)
        return;
    emit aboutToChange();
    std::vector<Insertion> step;
    step.push_back({node, node->parent, 0, false, nullptr});
    takeOutOf(step.front());
    emit pendingChanged(std::nullopt);
    record(tr("taken back addition of %1").arg(node->key), {}, std::move(step));
    if (m_batchDepth == 0)
        emit edited();
}

SettingsModel::Deletable SettingsModel::deletable(const XsdtNode *node, bool deletedAbove,
                                                  bool addedAbove, QString *whyNot) const
{
    const auto refuse = [whyNot](const QString &reason) {
        if (whyNot)
            *whyNot = reason;
        return Deletable::Refused;
    };
    if (deletedAbove || node->pendingDelete)
        return Deletable::Already;
    if (addedAbove || node->pendingAdd)
        return refuse(tr("%1 is new and not in the file yet; take its addition back in the review "
                         "instead.")
                          .arg(node->key));
    if (!m_policy)
        return refuse(QString());
    const DeleteVerdict verdict = m_policy->verdictFor(node);
    if (verdict.level == DeleteLevel::Never)
        return refuse(verdict.reason);
    return Deletable::Yes;
}

bool SettingsModel::queueDeletion(XsdtNode *node, QString *whyNot)
{
    if (!node || !m_document || node == &m_document->root || !node->parent) {
        if (whyNot)
            *whyNot = tr("Nothing to delete.");
        return false;
    }
    if (m_viewOnly) {
        if (whyNot)
            *whyNot = viewOnlyReason();
        return false;
    }
    const Deletable check =
        deletable(node, node->parent->isDeleted(), node->parent->isAdded(), whyNot);
    if (check != Deletable::Yes)
        return check == Deletable::Already;
    // A batch is named as a whole: the text of each of its thousands of steps would go unread.
    record(m_batchDepth > 0 ? QString() : tr("queue deletion of %1").arg(node->key),
           {{node, node->value, node->value, false, true}});
    markForDeletion(node, true);
    if (m_batchDepth > 0)
        return true;
    notifySubtree(node);
    emit edited();
    return true;
}

int SettingsModel::queueDeletions(const std::vector<XsdtNode *> &nodes,
                                  const std::function<void(XsdtNode *, const QString &)> &refused)
{
    int queued = 0;
    QString whyNot;
    const auto refuse = [&refused, &whyNot](XsdtNode *node) {
        if (refused)
            refused(node, std::exchange(whyNot, {}));
    };
    if (m_batchDepth == 0 || !m_document || m_viewOnly) {
        for (XsdtNode *node : nodes) {
            if (queueDeletion(node, &whyNot))
                ++queued;
            else
                refuse(node);
        }
        return queued;
    }
    // A node below one marked here has another parent, and finds the mark on its own walk.
    Above above;
    std::vector<NodeChange> changes;
    changes.reserve(nodes.size());
    int delta = 0;
    for (XsdtNode *node : nodes) {
        if (!node || node == &m_document->root || !node->parent) {
            whyNot = tr("Nothing to delete.");
            refuse(node);
            continue;
        }
        above.lookAt(node);
        const Deletable check = deletable(node, above.deleted, above.added, &whyNot);
        if (check == Deletable::Refused) {
            refuse(node);
            continue;
        }
        ++queued;
        if (check == Deletable::Already)
            continue;
        if (changes.empty())
            emit aboutToChange(); // before the first node is written
        changes.push_back({node, node->value, node->value, false, true});
        const int before = above.weightOf(node);
        node->pendingDelete = true;
        delta += above.weightOf(node) - before;
    }
    if (changes.empty())
        return queued;
    emit pendingChanged(delta);
    addToBatch(std::move(changes));
    return queued;
}

void SettingsModel::undoDeletion(XsdtNode *node)
{
    if (!node || !m_document || !node->pendingDelete)
        return;
    record(m_batchDepth > 0 ? QString() : tr("cancelled deletion of %1").arg(node->key),
           {{node, node->value, node->value, true, false}});
    markForDeletion(node, false);
    if (m_batchDepth > 0)
        return;
    notifySubtree(node);
    emit edited();
}

void SettingsModel::undoDeletions(const std::vector<XsdtNode *> &nodes)
{
    if (m_batchDepth == 0 || !m_document) {
        for (XsdtNode *node : nodes)
            undoDeletion(node);
        return;
    }
    // A node below one taken back here has another parent, and finds it on its own walk.
    Above above;
    std::vector<NodeChange> changes;
    int delta = 0;
    for (XsdtNode *node : nodes) {
        if (!node || !node->pendingDelete)
            continue;
        if (changes.empty())
            emit aboutToChange(); // before the first node is written
        changes.push_back({node, node->value, node->value, true, false});
        above.lookAt(node);
        const int before = above.weightOf(node);
        node->pendingDelete = false;
        delta += above.weightOf(node) - before;
    }
    if (changes.empty())
        return;
    emit pendingChanged(delta);
    addToBatch(std::move(changes));
}

void SettingsModel::revertValue(XsdtNode *node)
{
    if (!node || !m_document || !isChanged(node))
        return;
    record(tr("revert of %1").arg(node->key),
           {{node, node->value, node->originalValue, node->pendingDelete, node->pendingDelete}});
    const int before = pendingWeight(node);
    node->value = node->originalValue;
    emit pendingChanged(pendingWeight(node) - before);
    if (m_batchDepth > 0)
        return;
    emit dataChanged(indexForNode(node, 0), indexForNode(node, 1), {});
    emit edited();
}

void SettingsModel::revertAll()
{
    if (!m_document)
        return;
    std::vector<NodeChange> changes;
    std::vector<Insertion> removals;
    // New entries go whole: only the topmost of those made inside each other is taken out.
    const std::function<void(XsdtNode *, bool)> collect = [&](XsdtNode *node, bool added) {
        if (node->pendingDelete || isChanged(node))
            changes.push_back({node, node->value, node->originalValue, node->pendingDelete, false});
        if (node->pendingAdd && !added)
            removals.push_back({node, node->parent, 0, false, nullptr});
        for (const auto &child : node->children)
            collect(child.get(), added || node->pendingAdd);
    };
    collect(&m_document->root, false);
    const int count = int(changes.size() + removals.size());
    emit aboutToChange();
    beginResetModel();
    // Kept by the step rather than dropped with the rest of the changes, so that undo can put
    // them back.
    for (Insertion &removal : removals) {
        removal.row = size_t(removal.node->indexInParent());
        removal.held = takeOut(removal.node);
    }
    m_document->revertAll();
    m_rowCache.clear();
    endResetModel();
    emit pendingChanged(std::nullopt);
    record(tr("revert all (%n changes)", nullptr, count), std::move(changes), std::move(removals));
    emit edited();
}

void SettingsModel::markForDeletion(XsdtNode *node, bool mark)
{
    const int before = pendingWeight(node);
    node->pendingDelete = mark;
    emit pendingChanged(pendingWeight(node) - before);
}

void SettingsModel::notifySubtree(const XsdtNode *node)
{
    if (!node || !m_document)
        return;
    if (node == &m_document->root || !node->parent) {
        refreshAll();
        return;
    }
    const QModelIndex first = indexForNode(node, 0);
    emit dataChanged(first, first.sibling(first.row(), kColumns - 1), kMarkRoles);
    notifyChildren(node, first);
}

// Everything may look different (view-only switched, a save committed every edit, a batch of
// thousands of values undone), but no row moves. One signal says so at once: a dataChanged per
// group would be one signal per group of the whole file, and an expanded tree view whose Type
// column fits its contents measures its visible rows again for each of them (13 s for a 1 MB
// file; minutes at 50 MB). Nor is it a layout change, after which every proxy and view maps
// each expanded row again (seconds at 50 MB). Views repaint, pages refresh their rows, filter
// proxies filter once.
void SettingsModel::refreshAll()
{
    if (!m_document)
        return;
    emit valuesChanged();
}

// One dataChanged over all child rows of the node, then the same below every child that has
// children of its own. Rows come from the loop, never from a search among siblings.
void SettingsModel::notifyChildren(const XsdtNode *node, const QModelIndex &nodeIndex)
{
    const auto &kids = node->children;
    if (kids.empty())
        return;
    const int last = int(kids.size()) - 1;
    emit dataChanged(index(0, 0, nodeIndex), index(last, kColumns - 1, nodeIndex), kMarkRoles);
    for (int row = 0; row <= last; ++row) {
        const XsdtNode *child = kids[size_t(row)].get();
        if (!child->children.empty())
            notifyChildren(child, createIndex(row, 0, const_cast<XsdtNode *>(child)));
    }
}

} // namespace vrn
