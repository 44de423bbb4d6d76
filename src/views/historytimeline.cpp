#include "views/historytimeline.h"

#include "history/historybrowser.h"
#include "views/sizetext.h"

#include <QApplication>
#include <QDateTime>
#include <QPalette>

namespace vrn {

HistoryTimeline::HistoryTimeline(const HistoryBrowser *browser, QObject *parent)
    : QAbstractTableModel(parent)
    , m_browser(browser)
{}

void HistoryTimeline::reload()
{
    beginResetModel();
    endResetModel();
}

int HistoryTimeline::rowCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : m_browser->count();
}

int HistoryTimeline::columnCount(const QModelIndex &parent) const
{
    return parent.isValid() ? 0 : Columns;
}

QVariant HistoryTimeline::headerData(int section, Qt::Orientation orientation, int role) const
{
    if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
        return {};
    switch (section) {
    case Time:
        return tr("Written");
    case Author:
        return tr("By");
    case Size:
        return tr("Size");
    case Changed:
        return tr("Values changed");
    default:
        return tr("Pin and note");
    }
}

QVariant HistoryTimeline::data(const QModelIndex &index, int role) const
{
    if (!index.isValid() || index.row() >= m_browser->count())
        return {};
    const HistoryVersion &version = m_browser->at(index.row());
    if (role == Qt::UserRole)
        return version.id;
    if (role == Qt::ToolTipRole && version.isDamaged())
        return tr("Did not read as a settings file: %1").arg(version.damaged);
    if (role == Qt::ForegroundRole && version.isDamaged() && index.column() == Changed)
        return QApplication::palette().brush(QPalette::Active, QPalette::Highlight);
    if (role == Qt::TextAlignmentRole && (index.column() == Size || index.column() == Changed))
        return int(Qt::AlignRight | Qt::AlignVCenter);
    if (role != Qt::DisplayRole)
        return {};
    switch (index.column()) {
    case Time:
        return QDateTime::fromMSecsSinceEpoch(version.timeMs)
            .toString(QStringLiteral("yyyy-MM-dd HH:mm:ss"));
    case Author:
        return authorLabel(version.author);
    case Size:
        return sizeText(version.size, 0, true);
    case Changed:
        if (version.isDamaged())
            return tr("damaged");
        if (version.changed >= 0)
            return QString::number(version.changed);
        return m_browser->store().goodBefore(version.id) ? tr("not counted") : tr("first kept");
    default:
        if (!version.pinned)
            return version.note;
        return version.note.isEmpty() ? tr("Pinned") : tr("Pinned: %1").arg(version.note);
    }
}

} // namespace vrn
