#pragma once

#include <QAbstractTableModel>

namespace vrn {

class HistoryBrowser;

// The History page's list of versions, newest first: time, who wrote it, size, values changed
// since the version before, and pin and note. Rows are made as they are painted, so a history
// of thousands of versions lists at once.
class HistoryTimeline : public QAbstractTableModel
{
    Q_OBJECT

public:
    enum Column { Time, Author, Size, Changed, Note, Columns };

    explicit HistoryTimeline(const HistoryBrowser *browser, QObject *parent = nullptr);

    // The browser read its list again.
    void reload();

    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;

private:
    const HistoryBrowser *m_browser;
};

} // namespace vrn
