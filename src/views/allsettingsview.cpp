#include "views/allsettingsview.h"

#include "document/xsdtdocument.h"
#include "model/settingsfilterproxy.h"
#include "model/settingsmodel.h"
#include "widgets/settingmenu.h"
#include "widgets/settingstreeview.h"
#include "widgets/treefilter.h"
#include "widgets/valuedelegate.h"

#include <QCheckBox>
#include <QHBoxLayout>
#include <QLineEdit>
#include <QShortcut>
#include <QVBoxLayout>

#include <utility>

namespace vrn {

AllSettingsView::AllSettingsView(SettingsModel *model, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 0);
    auto *row = new QHBoxLayout;
    m_filterEdit = new QLineEdit(this);
    m_filterEdit->setAccessibleName(tr("Filter the tree"));
    m_filterEdit->setPlaceholderText(
        tr("Filter this tree by name or value (Ctrl+F searches everything)"));
    m_filterEdit->setClearButtonEnabled(true);
    row->addWidget(m_filterEdit, 1);
    m_changedOnly = new QCheckBox(tr("Changed only"), this);
    row->addWidget(m_changedOnly);
    layout->addLayout(row);

    m_proxy = new SettingsFilterProxy(this);
    m_proxy->setSourceModel(m_model);
    m_tree = new SettingsTreeView(m_model, this);
    m_tree->setModel(m_model); // the filter puts its proxy in between while it filters
    m_treeFilter = new TreeFilter(m_model, m_proxy, m_tree, this);
    connect(m_treeFilter, &TreeFilter::applied, this, &AllSettingsView::onFilterApplied);
    connect(m_filterEdit, &QLineEdit::textChanged, m_treeFilter, &TreeFilter::setText);
    connect(m_changedOnly, &QCheckBox::toggled, m_treeFilter, &TreeFilter::setChangedOnly);
    connect(m_filterEdit, &QLineEdit::textChanged, this, [this] { m_cappedSaid = false; });
    connect(m_changedOnly, &QCheckBox::toggled, this, [this] { m_cappedSaid = false; });
    auto *delegate = new ValueDelegate(m_tree);
    m_tree->setItemDelegateForColumn(1, delegate);
    connect(delegate, &ValueDelegate::rejected, this, &AllSettingsView::editRejected);
    connect(m_tree, &SettingsTreeView::editRefused, this, &TaskPage::message);
    m_tree->setColumnLayout();
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    m_tree->setEditTriggers(QAbstractItemView::DoubleClicked | QAbstractItemView::SelectedClicked |
                            QAbstractItemView::EditKeyPressed);
    connect(m_tree, &QTreeView::customContextMenuRequested, this,
            &AllSettingsView::showContextMenu);
    layout->addWidget(m_tree, 1);

    auto *del = new QShortcut(QKeySequence::Delete, m_tree);
    del->setContext(Qt::WidgetShortcut);
    connect(del, &QShortcut::activated, this, &AllSettingsView::deleteCurrent);
}

// The model has the new document by now; the tree opens the way a new file opens. A large
// document's tree closes before the model lets go of it when it shows a filter: closing a tree
// opened all the way takes as long as the proxy's reset. Shown unfiltered, it closes in slices
// through letGo().
void AllSettingsView::setDocument(XsdtDocument *document)
{
    m_document = document;
    if (document) {
        resetExpansion();
    } else {
        m_tree->stopExpanding();
        if (m_tree->model() != m_model)
            m_tree->collapseAll();
    }
}

void AllSettingsView::letGo(const std::function<void()> &done)
{
    setDocument(nullptr);
    // The model's reset would drop the persistent index of every open group in one turn: half
    // a second for the million groups of a 300 MB file.
    if (m_tree->model() != m_model || m_tree->closeEverything(done))
        done();
}

void AllSettingsView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
}

void AllSettingsView::expandToPreferences()
{
    const XsdtNode *prefs = m_document ? m_document->findPath(u"Global/Preferences") : nullptr;
    if (!prefs)
        return;
    for (QModelIndex index = m_tree->fromSource(m_model->indexForNode(prefs)); index.isValid();
         index = index.parent())
        m_tree->expand(index);
}

void AllSettingsView::revealNode(XsdtNode *node)
{
    if (!node)
        return;
    {
        // The filter goes at once, without a typing pause that would close the tree again.
        const QSignalBlocker text(m_filterEdit);
        const QSignalBlocker changed(m_changedOnly);
        m_filterEdit->clear();
        m_changedOnly->setChecked(false);
    }
    m_treeFilter->clearNow();
    const QModelIndex index = m_tree->fromSource(m_model->indexForNode(node));
    if (!index.isValid())
        return;
    for (QModelIndex up = index.parent(); up.isValid(); up = up.parent())
        m_tree->expand(up);
    m_tree->setCurrentIndex(index);
    m_tree->scrollTo(index, QAbstractItemView::PositionAtCenter);
}

void AllSettingsView::expandAll()
{
    m_tree->expandEverything();
}

void AllSettingsView::resetExpansion()
{
    if (m_treeFilter->isActive())
        return;
    m_tree->stopExpanding(); // an Expand all still going would open it all again
    m_tree->collapseAll();
    expandToPreferences();
}

void AllSettingsView::onFilterApplied(bool filtering, bool capped)
{
    if (!filtering)
        expandToPreferences();
    // Said to someone looking at the tree, once for each filter the user sets: a reload or an
    // edit filters the tree anew, and a message already dealt with must not come back.
    if (capped && isVisible() && !std::exchange(m_cappedSaid, true))
        emit message(tr("Many settings match: only the first %1 rows are opened. Open a group to "
                        "see the matches inside it.")
                         .arg(TreeFilter::RowBudget));
}

void AllSettingsView::deleteCurrent()
{
    const QModelIndex index = m_tree->toSource(m_tree->currentIndex());
    if (XsdtNode *node = index.isValid() ? m_model->nodeForIndex(index) : nullptr)
        emit deleteRequested(node);
}

void AllSettingsView::showContextMenu(const QPoint &pos)
{
    const QModelIndex index = m_tree->toSource(m_tree->indexAt(pos));
    XsdtNode *node = index.isValid() ? m_model->nodeForIndex(index) : nullptr;
    if (!node)
        return;
    SettingMenuCallbacks callbacks;
    callbacks.onDelete = [this](XsdtNode *n) { emit deleteRequested(n); };
    callbacks.onRestore = [this](XsdtNode *n) { emit restoreRequested(n); };
    callbacks.onEdit = [this](XsdtNode *n) {
        m_tree->editValue(m_tree->fromSource(m_model->indexForNode(n)));
    };
    callbacks.offerCopy = true;
    showSettingMenu(this, m_model, node, m_tree->viewport()->mapToGlobal(pos), m_viewOnly,
                    callbacks);
}

} // namespace vrn
