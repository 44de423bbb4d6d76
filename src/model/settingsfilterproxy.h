#pragma once

#include <QSortFilterProxyModel>

namespace vrn {

// Narrows the advanced tree by a text (in the path, or in an editable value) and to pending
// changes only; ancestors of matching rows stay visible.
class SettingsFilterProxy : public QSortFilterProxyModel
{
    Q_OBJECT

public:
    explicit SettingsFilterProxy(QObject *parent = nullptr);

    void setFilterText(const QString &text);
    QString filterText() const { return m_text; }
    void setChangedOnly(bool changedOnly);
    bool isChangedOnly() const { return m_changedOnly; }
    bool isFiltering() const { return m_changedOnly || !m_text.isEmpty(); }

    void setSourceModel(QAbstractItemModel *model) override;

protected:
    bool filterAcceptsRow(int sourceRow, const QModelIndex &sourceParent) const override;

private:
    void sourceDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                           const QList<int> &roles);

    QString m_text;
    bool m_changedOnly = false;
    bool m_refilterPending = false;
};

} // namespace vrn
