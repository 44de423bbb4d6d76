#include "model/settingsfilterproxy.h"

#include "document/xsdtnode.h"
#include "model/settingsmodel.h"

#include <utility>

namespace vrn {

SettingsFilterProxy::SettingsFilterProxy(QObject *parent)
    : QSortFilterProxyModel(parent)
{
    // Ancestors of matches come from the walk. Recursive filtering would search every rejected
    // subtree on each re-filter instead, which is the whole file for a word found nowhere.
    setRecursiveFilteringEnabled(false);
    // The filter reads the nodes, not a role. Naming a role that repaints never carry keeps the
    // base class from re-checking rows for every repainted range (see sourceDataChanged).
    setFilterRole(SettingsModel::NodeRole);
}

void SettingsFilterProxy::setSourceModel(QAbstractItemModel *model)
{
    if (sourceModel())
        disconnect(sourceModel(), nullptr, this, nullptr);
    QSortFilterProxyModel::setSourceModel(model);
    if (!model)
        return;
    connect(model, &QAbstractItemModel::dataChanged, this, &SettingsFilterProxy::sourceDataChanged);
    // A replaced document: the old answers name nodes that are gone.
    connect(model, &QAbstractItemModel::modelReset, this, [this] {
        if (!isFiltering())
            return;
        m_scan.reset();
        rescan();
    });
    // New entries are not in the last scan, and entries taken out leave counts behind: scanned
    // again once, after the whole batch of rows came or went.
    const auto rowsMoved = [this] {
        if (!isFiltering() || std::exchange(m_rescanQueued, true))
            return;
        QMetaObject::invokeMethod(
            this,
            [this] {
                m_rescanQueued = false;
                if (isFiltering())
                    rescan();
            },
            Qt::QueuedConnection);
    };
    connect(model, &QAbstractItemModel::rowsInserted, this, rowsMoved);
    connect(model, &QAbstractItemModel::rowsRemoved, this, rowsMoved);
    // Every value may have changed (a save committed them); the nodes are the same.
    connect(model, &QAbstractItemModel::layoutChanged, this, [this] {
        if (isFiltering())
            rescan();
    });
    if (auto *settings = qobject_cast<SettingsModel *>(model)) {
        connect(settings, &SettingsModel::valuesChanged, this, [this] {
            if (isFiltering()) {
                rescan();
                return;
            }
            // Views repaint what they show; the value and type columns leave the tree view's
            // row bookkeeping alone, which a range over the first column would walk.
            if (const int rows = rowCount(); rows > 0)
                emit dataChanged(index(0, 1), index(rows - 1, columnCount() - 1));
        });
    }
}

void SettingsFilterProxy::setRescanHandler(std::function<void()> handler)
{
    m_rescanHandler = std::move(handler);
}

void SettingsFilterProxy::rescan()
{
    if (m_rescanHandler) {
        m_rescanHandler();
        return;
    }
    auto *model = qobject_cast<SettingsModel *>(sourceModel());
    auto scan = std::make_unique<TreeFilterScan>(model ? model->rootNode() : nullptr, m_text,
                                                 m_changedOnly);
    scan->runToEnd();
    m_scan = std::move(scan);
    invalidateRowsFilter();
}

void SettingsFilterProxy::setScan(std::unique_ptr<TreeFilterScan> scan)
{
    m_text = scan->text();
    m_changedOnly = scan->changedOnly();
    m_scan = std::move(scan);
    // Forgets every mapping: cheaper than checking each mapped row again when the view has
    // just been collapsed, and never wrong.
    invalidate();
}

void SettingsFilterProxy::resetWithScan(std::unique_ptr<TreeFilterScan> scan)
{
    beginResetModel();
    m_text = scan->text();
    m_changedOnly = scan->changedOnly();
    m_scan = std::move(scan);
    // The base class forgets its row mappings on a reset of its own.
    endResetModel();
}

// An edit, a revert or a queued deletion changes whether that one node passes. Its ancestors
// may have to appear or go with it, which the base class does not see without recursive
// filtering, so the rows the view knows are checked again when anything changed.
void SettingsFilterProxy::sourceDataChanged(const QModelIndex &topLeft,
                                            const QModelIndex &bottomRight, const QList<int> &)
{
    if (!isFiltering() || !m_scan || !m_scan->isDone() || !topLeft.isValid())
        return;
    const QModelIndex parent = topLeft.parent();
    bool changed = false;
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
        changed |= m_scan->update(nodeAt(row, parent));
    if (changed)
        invalidateRowsFilter();
}

void SettingsFilterProxy::setFilterText(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed == m_text)
        return;
    m_text = trimmed;
    rescan();
}

void SettingsFilterProxy::setChangedOnly(bool changedOnly)
{
    if (changedOnly == m_changedOnly)
        return;
    m_changedOnly = changedOnly;
    rescan();
}

const XsdtNode *SettingsFilterProxy::nodeAt(int sourceRow, const QModelIndex &sourceParent) const
{
    if (const auto *model = qobject_cast<const SettingsModel *>(sourceModel())) {
        // Straight to the node: the same answer as the node role without a QVariant per row.
        const XsdtNode *parentNode = model->nodeForIndex(sourceParent);
        if (parentNode && sourceRow >= 0 && size_t(sourceRow) < parentNode->children.size())
            return parentNode->children[size_t(sourceRow)].get();
        return nullptr;
    }
    if (!sourceModel())
        return nullptr;
    return sourceModel()
        ->index(sourceRow, 0, sourceParent)
        .data(SettingsModel::NodeRole)
        .value<XsdtNode *>();
}

bool SettingsFilterProxy::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    if (!isFiltering())
        return true;
    const XsdtNode *node = nodeAt(sourceRow, sourceParent);
    if (!node)
        return true;
    // While a new walk is under way nothing is known about this document yet.
    return m_scan && m_scan->isDone() && m_scan->shows(node);
}

} // namespace vrn
