#include "widgets/settingstreeview.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "model/settingsmodel.h"

#include <QHeaderView>
#include <QKeyEvent>

namespace vrn {

SettingsTreeView::SettingsTreeView(SettingsModel *model, QWidget *parent)
    : QTreeView(parent)
    , m_model(model)
{}

void SettingsTreeView::setColumnLayout()
{
    setUniformRowHeights(true);
    setAlternatingRowColors(true);
    QHeaderView *columns = header();
    columns->setStretchLastSection(false);
    columns->setSectionResizeMode(0, QHeaderView::Interactive);
    columns->resizeSection(0, 380);
    columns->setSectionResizeMode(1, QHeaderView::Stretch);
    columns->setSectionResizeMode(2, QHeaderView::ResizeToContents);
    // Fit the Type column to the rows on screen only: measuring a thousand rows again for
    // every repainted block makes queueing a large group take seconds in an expanded tree.
    columns->setResizeContentsPrecision(0);
}

int SettingsTreeView::expandAllWithin(int groupBudget)
{
    const XsdtDocument *document = m_model->document();
    if (!document)
        return -1;
    std::vector<const XsdtNode *> level{&document->root};
    qint64 groups = 0;
    for (int depth = 0;; ++depth) {
        std::vector<const XsdtNode *> next;
        for (const XsdtNode *parent : level) {
            for (const auto &child : parent->children) {
                if (child->isGroup() && !child->children.empty())
                    next.push_back(child.get());
            }
        }
        if (next.empty()) {
            expandAll();
            return -1;
        }
        groups += qint64(next.size());
        if (groups > groupBudget) {
            if (depth > 0)
                expandToDepth(depth - 1);
            return depth;
        }
        level = std::move(next);
    }
}

QString SettingsTreeView::refusal(const QModelIndex &valueIndex) const
{
    if (valueIndex.flags().testFlag(Qt::ItemIsEditable))
        return QString();
    const auto *node = valueIndex.data(SettingsModel::NodeRole).value<XsdtNode *>();
    return m_model->whyNotEditable(node);
}

bool SettingsTreeView::editValue(const QModelIndex &index)
{
    if (!index.isValid())
        return false;
    const QModelIndex value = index.sibling(index.row(), 1);
    const QString why = refusal(value);
    if (!why.isEmpty()) {
        emit editRefused(why);
        return false;
    }
    setCurrentIndex(value);
    return QTreeView::edit(value, AllEditTriggers, nullptr);
}

bool SettingsTreeView::edit(const QModelIndex &index, EditTrigger trigger, QEvent *event)
{
    if (trigger != EditKeyPressed && trigger != DoubleClicked)
        return QTreeView::edit(index, trigger, event);
    if (!index.isValid())
        return false;
    const QModelIndex value = index.sibling(index.row(), 1);
    const auto *node = value.data(SettingsModel::NodeRole).value<XsdtNode *>();
    // A double click on a group opens or closes it; only values have something to edit.
    if (!node || !node->isValue()) {
        if (trigger == EditKeyPressed)
            emit editRefused(m_model->whyNotEditable(node));
        return false;
    }
    const QString why = refusal(value);
    if (!why.isEmpty()) {
        emit editRefused(why);
        return false;
    }
    if (value != currentIndex())
        setCurrentIndex(value);
    return QTreeView::edit(value, trigger, event);
}

void SettingsTreeView::keyPressEvent(QKeyEvent *event)
{
    const bool enter = event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter;
    if (enter && state() != EditingState && currentIndex().isValid()) {
        const QModelIndex current = currentIndex();
        const auto *node = current.data(SettingsModel::NodeRole).value<XsdtNode *>();
        if (node && node->isGroup())
            setExpanded(current.siblingAtColumn(0), !isExpanded(current.siblingAtColumn(0)));
        else
            editValue(current);
        event->accept();
        return;
    }
    QTreeView::keyPressEvent(event);
}

} // namespace vrn
