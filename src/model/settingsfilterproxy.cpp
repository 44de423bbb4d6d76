#include "model/settingsfilterproxy.h"

#include "document/xsdtnode.h"
#include "model/settingsmodel.h"

#include <QTimer>
#include <QVarLengthArray>

namespace vrn {

namespace {

// Whether the node's path contains the text, ignoring case, without building the path as a
// string: the filter runs over every row of a large tree. A match may span the "/" between
// keys, so the path is assembled on the stack.
bool pathContains(const XsdtNode *node, const QString &text)
{
    QVarLengthArray<const XsdtNode *, 16> chain;
    qsizetype length = 0;
    for (const XsdtNode *n = node; n && n->parent; n = n->parent) {
        chain.append(n);
        length += n->key.size() + 1;
    }
    QVarLengthArray<QChar, 512> path;
    path.reserve(length);
    for (qsizetype i = chain.size() - 1; i >= 0; --i) {
        path.append(chain[i]->key.constData(), chain[i]->key.size());
        if (i > 0)
            path.append(QLatin1Char('/'));
    }
    return QStringView(path.constData(), path.size()).contains(text, Qt::CaseInsensitive);
}

} // namespace

SettingsFilterProxy::SettingsFilterProxy(QObject *parent)
    : QSortFilterProxyModel(parent)
{
    setRecursiveFilteringEnabled(true);
    // The filter reads the nodes, not a role. Naming a role that repaints never carry keeps the
    // base class from re-checking all ancestors for each repainted range (see sourceDataChanged).
    setFilterRole(SettingsModel::NodeRole);
}

void SettingsFilterProxy::setSourceModel(QAbstractItemModel *model)
{
    if (sourceModel())
        disconnect(sourceModel(), &QAbstractItemModel::dataChanged, this,
                   &SettingsFilterProxy::sourceDataChanged);
    QSortFilterProxyModel::setSourceModel(model);
    if (model)
        connect(model, &QAbstractItemModel::dataChanged, this,
                &SettingsFilterProxy::sourceDataChanged);
}

// A repaint of a subtree (a deletion queued or undone) names its roles, so the base class
// re-checks only the repainted rows. While a filter is on, their ancestors may have to appear
// or go as well: check everything once, after the burst of signals.
void SettingsFilterProxy::sourceDataChanged(const QModelIndex &, const QModelIndex &,
                                            const QList<int> &roles)
{
    if (roles.isEmpty() || roles.contains(filterRole()) || !isFiltering() || m_refilterPending)
        return;
    m_refilterPending = true;
    QTimer::singleShot(0, this, [this] {
        m_refilterPending = false;
        if (isFiltering())
            invalidateRowsFilter();
    });
}

void SettingsFilterProxy::setFilterText(const QString &text)
{
    const QString trimmed = text.trimmed();
    if (trimmed == m_text)
        return;
    m_text = trimmed;
    invalidateFilter();
}

void SettingsFilterProxy::setChangedOnly(bool changedOnly)
{
    if (changedOnly == m_changedOnly)
        return;
    m_changedOnly = changedOnly;
    invalidateFilter();
}

bool SettingsFilterProxy::filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const
{
    const XsdtNode *node = nullptr;
    if (const auto *model = qobject_cast<const SettingsModel *>(sourceModel())) {
        // Straight to the node: the same answer as the node role without a QVariant per row.
        const XsdtNode *parentNode = model->nodeForIndex(sourceParent);
        if (parentNode && sourceRow >= 0 && size_t(sourceRow) < parentNode->children.size())
            node = parentNode->children[size_t(sourceRow)].get();
    } else if (sourceModel()) {
        node = sourceModel()
                   ->index(sourceRow, 0, sourceParent)
                   .data(SettingsModel::NodeRole)
                   .value<XsdtNode *>();
    }
    if (!node)
        return true;

    if (m_changedOnly) {
        if (node->isValue()) {
            if (node->value == node->originalValue && !node->pendingDelete)
                return false;
        } else if (!node->pendingDelete) {
            return false;
        }
    }
    if (m_text.isEmpty())
        return true;
    if (pathContains(node, m_text))
        return true;
    return node->isEditable() && node->value.contains(m_text, Qt::CaseInsensitive);
}

} // namespace vrn
