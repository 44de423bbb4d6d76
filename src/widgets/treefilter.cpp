#include "widgets/treefilter.h"

#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "model/treefilterscan.h"
#include "widgets/settingstreeview.h"

#include <vector>

namespace vrn {

TreeFilter::TreeFilter(SettingsModel *model, SettingsFilterProxy *proxy, SettingsTreeView *view,
                       QObject *parent)
    : QObject(parent)
    , m_model(model)
    , m_proxy(proxy)
    , m_view(view)
{
    m_typing.setSingleShot(true);
    m_typing.setInterval(TypingPauseMs);
    connect(&m_typing, &QTimer::timeout, this, &TreeFilter::refresh);
    // Each slice is its own turn of the event loop, so input and painting come in between.
    m_slices.setSingleShot(true);
    m_slices.setInterval(0);
    connect(&m_slices, &QTimer::timeout, this, &TreeFilter::step);
    m_proxy->setRescanHandler([this] { refresh(); });
}

TreeFilter::~TreeFilter()
{
    if (m_proxy)
        m_proxy->setRescanHandler({});
}

void TreeFilter::setText(const QString &text)
{
    if (text == m_text)
        return;
    m_text = text;
    m_typing.start();
}

void TreeFilter::setChangedOnly(bool changedOnly)
{
    if (changedOnly == m_changedOnly)
        return;
    m_changedOnly = changedOnly;
    m_typing.stop();
    refresh();
}

void TreeFilter::refresh()
{
    m_typing.stop();
    // A walk already under way is for an older question, or for a document that is gone.
    m_scan = std::make_unique<TreeFilterScan>(m_model->rootNode(), m_text, m_changedOnly);
    step();
}

void TreeFilter::clearNow()
{
    if (!isActive() && !isBusy())
        return;
    m_typing.stop();
    m_slices.stop();
    m_view->stopClosing();
    m_text.clear();
    m_changedOnly = false;
    m_scan.reset();
    m_proxy->setScan(std::make_unique<TreeFilterScan>(nullptr, QString(), false));
}

void TreeFilter::step()
{
    if (!m_scan)
        return;
    if (m_scan->step(SliceNs))
        finish();
    else
        m_slices.start();
}

void TreeFilter::finish()
{
    m_slices.stop();
    // Unfiltered, the view shows the settings model itself, which maps no rows: opening
    // everything, and letting go of it all on a reload, cost a fraction of what they cost
    // through the proxy.
    QAbstractItemModel *shown = m_model;
    if (isActive())
        shown = m_proxy;
    const bool onProxy = m_view->model() == m_proxy;
    // The view lets go of every open group when it changes models, which takes a tenth of a
    // second and more for a large file opened all the way: they are closed in slices first.
    if (!onProxy && shown == m_proxy) {
        const TreeFilterScan *scan = m_scan.get();
        if (!m_view->closeEverything([this, scan] {
                if (m_scan && m_scan.get() == scan && m_scan->isDone())
                    finish();
            }))
            return;
    }
    const bool many = onProxy && m_proxy->heldIndexes() > ManyOpenRows;
    // Filtering a collapsed tree is several times faster than filtering an expanded one,
    // whose every expanded row the view would have to keep track of.
    if (m_view->model() == shown && !many) {
        m_view->collapseAll();
        m_proxy->setScan(std::move(m_scan));
    } else {
        const QModelIndex current =
            onProxy ? m_proxy->mapToSource(m_view->currentIndex()) : m_view->currentIndex();
        if (many) {
            // Collapsing takes the open rows' persistent indexes out of the proxy one at a
            // time, which is seconds for a large file opened completely; a reset drops them
            // together.
            m_proxy->resetWithScan(std::move(m_scan));
        } else if (shown == m_proxy) {
            m_proxy->setScan(std::move(m_scan)); // before the view asks it for rows
        }
        m_view->setModel(shown);
        if (m_scan)
            m_proxy->setScan(std::move(m_scan)); // forgets the rows the view mapped through it
        // The current row stays current as with the collapse, without scrolling to it.
        const QModelIndex index = shown == m_proxy ? m_proxy->mapFromSource(current) : current;
        if (index.isValid()) {
            const bool autoScroll = m_view->hasAutoScroll();
            m_view->setAutoScroll(false);
            m_view->setCurrentIndex(index);
            m_view->setAutoScroll(autoScroll);
        }
    }
    const bool capped = isActive() && expandMatches();
    emit applied(isActive(), capped);
}

// Opens groups with matches in document order while the rows shown stay within the budget;
// true when some group had to stay closed.
bool TreeFilter::expandMatches()
{
    struct Frame
    {
        QModelIndex parent;
        int next;
        int count;
    };
    int rows = m_proxy->rowCount();
    std::vector<Frame> stack{{QModelIndex(), 0, rows}};
    bool capped = false;
    while (!stack.empty()) {
        Frame &top = stack.back();
        if (top.next >= top.count) {
            stack.pop_back();
            continue;
        }
        const QModelIndex index = m_proxy->index(top.next++, 0, top.parent);
        const int kids = m_proxy->rowCount(index);
        if (kids == 0)
            continue;
        if (rows + kids > RowBudget) {
            capped = true;
            continue;
        }
        m_view->expand(index);
        rows += kids;
        stack.push_back({index, 0, kids});
    }
    return capped;
}

} // namespace vrn
