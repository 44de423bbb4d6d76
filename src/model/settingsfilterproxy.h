#pragma once

#include "model/treefilterscan.h"

#include <QSortFilterProxyModel>

#include <functional>
#include <memory>

namespace vrn {

// Narrows the advanced tree by a text (in the path, or in an editable value) and to pending
// changes only; ancestors of matching rows stay visible. Which rows show is worked out once by a
// walk over the document (TreeFilterScan) and then only looked up, so re-filtering the rows a
// view has opened costs little however large the file is.
class SettingsFilterProxy : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit SettingsFilterProxy(QObject *parent = nullptr);

    // Both filter at once, walking the whole document.
    void setFilterText(const QString &text);
    void setChangedOnly(bool changedOnly);
    QString filterText() const { return m_text; }
    bool isChangedOnly() const { return m_changedOnly; }
    bool isFiltering() const { return m_changedOnly || !m_text.isEmpty(); }

    // Takes a finished walk and filters by it.
    void setScan(std::unique_ptr<TreeFilterScan> scan);
    // The same through a reset, which also closes every row of the views: for views holding
    // many open rows (see heldIndexes), whose persistent indexes a reset drops all at once.
    void resetWithScan(std::unique_ptr<TreeFilterScan> scan);
    // Persistent indexes into this model, about one for each row a view has open.
    qsizetype heldIndexes() const { return persistentIndexList().size(); }
    // When set, the document is walked again by this instead of at once (after the document was
    // replaced, or every value changed); until then the proxy shows nothing.
    void setRescanHandler(std::function<void()> handler);

    void setSourceModel(QAbstractItemModel *model) override;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    void rescan();
    void sourceDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                           const QList<int> &roles);
    const XsdtNode *nodeAt(int sourceRow, const QModelIndex &sourceParent) const;

    QString m_text;
    bool m_changedOnly = false;
    bool m_rescanQueued = false;
    std::unique_ptr<TreeFilterScan> m_scan;
    std::function<void()> m_rescanHandler;
};

} // namespace vrn
