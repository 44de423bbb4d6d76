#include "widgets/settingstreeview.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "model/settingsmodel.h"

#include <QAbstractProxyModel>
#include <QApplication>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QKeyEvent>
#include <QTimer>

#include <algorithm>
#include <utility>
#include <vector>

namespace vrn {

namespace {

// Opening and closing groups run in slices of about this long.
qint64 s_sliceMs = 25;

} // namespace

// The groups to open, as indexes of the settings model: those recorded as open while a
// closed group above hides them, then those opened on screen, in document order.
struct SettingsTreeView::Expansion
{
    std::vector<QModelIndex> record;
    std::vector<QModelIndex> open;
    size_t next = 0;
    bool recording = true;
};

// The open groups whose rows are still to be looked at, as indexes of the settings model.
struct SettingsTreeView::Closing
{
    std::vector<std::pair<const XsdtNode *, QModelIndex>> open;
    // The group whose rows are being looked at, and the next of them: a group may hold a
    // hundred thousand open groups, more than a slice can close.
    std::pair<const XsdtNode *, QModelIndex> current{nullptr, QModelIndex()};
    size_t next = 0;
    std::function<void()> then;
};

SettingsTreeView::SettingsTreeView(SettingsModel *model, QWidget *parent)
    : QTreeView(parent)
    , m_model(model)
{}

qint64 SettingsTreeView::setSliceMs(qint64 ms)
{
    return std::exchange(s_sliceMs, ms);
}

SettingsTreeView::~SettingsTreeView()
{
    stopExpanding();
}

void SettingsTreeView::setModel(QAbstractItemModel *model)
{
    stopExpanding();
    stopClosing();
    QAbstractItemModel *old = this->model();
    if (model == old)
        return;
    // The view makes a selection model for each model and keeps the old ones until their model
    // goes; the tree switches models whenever a filter comes or goes.
    QItemSelectionModel *oldSelection = selectionModel();
    QTreeView::setModel(model);
    if (oldSelection && oldSelection->parent() == this)
        oldSelection->deleteLater();
    if (old)
        disconnect(old, nullptr, this, nullptr); // the view let go of its own: these are ours
    if (!model)
        return;
    // Shown directly, the settings model says only once that every value may look different:
    // the value and type columns repaint, as a filter proxy has them repaint. Not through the
    // tree's own dataChanged(), which looks at the height of every open row in the range, all
    // of them for a large file opened all the way, when the rows share one height.
    if (model == m_model) {
        connect(m_model, &SettingsModel::valuesChanged, this, [this] {
            if (const int rows = m_model->rowCount(); rows > 0)
                QAbstractItemView::dataChanged(
                    m_model->index(0, 1), m_model->index(rows - 1, m_model->columnCount() - 1));
        });
    }
    // The indexes an expansion holds are good only while no row comes, goes or moves.
    const auto stop = [this] {
        stopExpanding();
        stopClosing();
    };
    connect(model, &QAbstractItemModel::modelAboutToBeReset, this, stop);
    connect(model, &QAbstractItemModel::layoutAboutToBeChanged, this, stop);
    connect(model, &QAbstractItemModel::rowsAboutToBeInserted, this, stop);
    connect(model, &QAbstractItemModel::rowsAboutToBeRemoved, this, stop);
    connect(model, &QAbstractItemModel::rowsAboutToBeMoved, this, stop);
}

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

void SettingsTreeView::expandEverything()
{
    stopExpanding();
    stopClosing();
    const XsdtDocument *document = m_model->document();
    if (!document || !model())
        return;
    auto plan = std::make_shared<Expansion>();
    planExpansion(&document->root, QModelIndex(), *plan);
    m_expansion = std::move(plan);
    QApplication::setOverrideCursor(Qt::WaitCursor);
    expandSome();
}

void SettingsTreeView::stopExpanding()
{
    if (!m_expansion)
        return;
    m_expansion.reset();
    QApplication::restoreOverrideCursor();
}

// Returns the rows below the node. Every group is listed to be opened on screen, before the
// groups below it; once a group turns out small enough to lay out at once, the groups below it
// are moved to those recorded beforehand, and it opens on screen with them all.
qint64 SettingsTreeView::planExpansion(const XsdtNode *node, const QModelIndex &index,
                                       Expansion &plan) const
{
    const size_t mark = plan.open.size();
    if (index.isValid())
        plan.open.push_back(index);
    qint64 rows = 0;
    for (size_t i = 0; i < node->children.size(); ++i) {
        const XsdtNode *child = node->children[i].get();
        ++rows;
        if (child->isGroup() && !child->children.empty())
            rows += planExpansion(child, m_model->index(int(i), 0, index), plan);
    }
    if (index.isValid() && rows <= RowsAtOnce) {
        plan.record.insert(plan.record.end(), plan.open.begin() + qsizetype(mark) + 1,
                           plan.open.end());
        plan.open.resize(mark + 1);
    }
    return rows;
}

QModelIndex SettingsTreeView::fromSource(const QModelIndex &sourceIndex) const
{
    if (auto *proxy = qobject_cast<QAbstractProxyModel *>(model()))
        return proxy->mapFromSource(sourceIndex);
    return sourceIndex;
}

QModelIndex SettingsTreeView::toSource(const QModelIndex &index) const
{
    if (auto *proxy = qobject_cast<QAbstractProxyModel *>(model()))
        return proxy->mapToSource(index);
    return index;
}

void SettingsTreeView::expandSome()
{
    QElapsedTimer clock;
    clock.start();
    const std::shared_ptr<Expansion> held = m_expansion;
    Expansion &plan = *held;
    const auto later = [this] {
        QTimer::singleShot(0, this, [this, run = std::weak_ptr<Expansion>(m_expansion)] {
            if (!run.expired() && run.lock() == m_expansion) // not stopped or started again since
                expandSome();
        });
    };
    if (plan.recording) {
        // While a layout is pending, expand() only records the group as open; the layout that
        // follows lays out just the rows on screen, as the groups recorded are still hidden.
        scheduleDelayedItemsLayout();
        while (plan.next < plan.record.size()) {
            const QModelIndex index = fromSource(plan.record[plan.next++]);
            if (index.isValid()) {
                model()->rowCount(index); // the proxy maps the group's rows now, not all at the end
                expand(index);
            }
            if (clock.elapsed() >= s_sliceMs && plan.next < plan.record.size())
                return later();
        }
        plan.recording = false;
        plan.next = 0;
    }
    // Each opened group would fit the header and scroll bars to the rows again: once a slice
    // is enough.
    m_geometriesDeferred = true;
    executeDelayedItemsLayout();
    while (plan.next < plan.open.size()) {
        const QModelIndex index = fromSource(plan.open[plan.next++]);
        if (index.isValid()) {
            model()->rowCount(index);
            expand(index);
        }
        if (clock.elapsed() >= s_sliceMs)
            break;
    }
    m_geometriesDeferred = false;
    updateGeometries();
    if (plan.next < plan.open.size())
        return later();
    stopExpanding();
}

bool SettingsTreeView::closeEverything(std::function<void()> then)
{
    stopExpanding();
    stopClosing();
    const XsdtDocument *document = m_model->document();
    if (!document || !model())
        return true;
    m_closing = std::make_shared<Closing>();
    m_closing->open.emplace_back(&document->root, QModelIndex());
    if (closeSome()) {
        m_closing.reset();
        return true;
    }
    m_closing->then = std::move(then);
    return false;
}

// Closes groups for a slice; true once every group is closed, otherwise the next slice is
// queued.
bool SettingsTreeView::closeSome()
{
    QElapsedTimer clock;
    clock.start();
    Closing &closing = *m_closing;
    int closed = 0; // at least one a slice, however short
    // While a layout is pending, collapse() only forgets the group. The groups nearest the top
    // close first, so the layouts between slices have few rows to lay out.
    scheduleDelayedItemsLayout();
    while (closing.current.first || !closing.open.empty()) {
        if (!closing.current.first) {
            closing.current = closing.open.back();
            closing.open.pop_back();
            closing.next = 0;
        }
        const auto [node, parent] = closing.current;
        while (closing.next < node->children.size()) {
            if (closed > 0 && clock.elapsed() >= s_sliceMs) {
                QTimer::singleShot(0, this, [this, run = std::weak_ptr<Closing>(m_closing)] {
                    if (!run.expired() && run.lock() == m_closing && closeSome())
                        std::exchange(m_closing, nullptr)->then();
                });
                return false;
            }
            const size_t i = closing.next++;
            const XsdtNode *child = node->children[i].get();
            if (!child->isGroup() || child->children.empty())
                continue;
            const QModelIndex index = m_model->index(int(i), 0, parent);
            const QModelIndex shown = fromSource(index);
            if (!shown.isValid() || !isExpanded(shown))
                continue;
            collapse(shown);
            ++closed;
            // Values have nothing to close.
            if (std::any_of(child->children.begin(), child->children.end(),
                            [](const auto &row) { return row->isGroup(); }))
                closing.open.emplace_back(child, index);
        }
        closing.current = {nullptr, QModelIndex()};
    }
    return true;
}

void SettingsTreeView::stopClosing()
{
    const std::shared_ptr<Closing> closing = std::exchange(m_closing, nullptr);
    if (closing && closing->then)
        QTimer::singleShot(0, this, closing->then);
}

void SettingsTreeView::updateGeometries()
{
    if (!m_geometriesDeferred)
        QTreeView::updateGeometries();
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
