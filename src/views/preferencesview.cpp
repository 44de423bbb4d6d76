#include "views/preferencesview.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "model/settingsmodel.h"
#include "widgets/collapsiblesection.h"
#include "widgets/settingmenu.h"
#include "widgets/settingrow.h"

#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QScrollArea>
#include <QSplitter>
#include <QStackedWidget>
#include <QToolButton>
#include <QVBoxLayout>

namespace vrn {

PreferencesView::PreferencesView(SettingsModel *model, const Schema *schema, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_schema(schema)
{
    auto *layout = new QVBoxLayout(this);
    // The same gap under the tab bar as on every other page.
    layout->setContentsMargins(0, 6, 0, 0);
    m_searchEdit = new QLineEdit(this);
    m_searchEdit->setAccessibleName(tr("Search preferences"));
    m_searchEdit->setPlaceholderText(tr("Search names, descriptions and text values"));
    m_searchEdit->setClearButtonEnabled(true);
    layout->addWidget(m_searchEdit);

    auto *splitter = new QSplitter(Qt::Horizontal, this);
    splitter->setChildrenCollapsible(false);
    m_pageList = new QListWidget(splitter);
    m_pageList->setMinimumWidth(170);
    m_pageList->setMaximumWidth(300);
    m_stack = new QStackedWidget(splitter);
    m_emptyLabel = new QLabel(m_stack);
    m_emptyLabel->setAlignment(Qt::AlignCenter);
    m_emptyLabel->setWordWrap(true);
    m_stack->addWidget(m_emptyLabel);
    updateEmptyText();
    splitter->addWidget(m_pageList);
    splitter->addWidget(m_stack);
    splitter->setStretchFactor(1, 1);
    layout->addWidget(splitter, 1);

    connect(m_searchEdit, &QLineEdit::textChanged, this, &PreferencesView::runSearch);
    connect(m_pageList, &QListWidget::currentRowChanged, this, &PreferencesView::onPageSelected);
    connect(m_model, &SettingsModel::dataChanged, this, &PreferencesView::refreshRows);
    connect(m_model, &SettingsModel::modelReset, this, &PreferencesView::refreshAllRows);
    // A save commits every value without a reset: the rows lose their changed look then.
    connect(m_model, &SettingsModel::valuesChanged, this, &PreferencesView::refreshAllRows);
}

PreferencesView::~PreferencesView() = default;

int PreferencesView::pageCount() const
{
    return int(m_pages.size());
}

QString PreferencesView::pageTitle(int index) const
{
    return index >= 0 && index < pageCount() ? m_pages[size_t(index)]->title : QString();
}

void PreferencesView::clearPages()
{
    const QSignalBlocker blocker(m_pageList);
    m_pageList->clear();
    for (const auto &page : m_pages) {
        m_stack->removeWidget(page->scroll);
        page->scroll->hide();
        page->scroll->deleteLater();
    }
    m_pages.clear();
    m_rowsByNode.clear();
    m_stack->setCurrentIndex(0);
}

void PreferencesView::showBusy(bool busy, const QString &text)
{
    m_busyText = busy ? text : QString();
    updateEmptyText();
}

void PreferencesView::updateEmptyText()
{
    // Without a file there is nothing a search could have missed: say what is going on.
    if (m_document)
        m_emptyLabel->setText(tr("No matching settings."));
    else if (!m_busyText.isEmpty())
        m_emptyLabel->setText(m_busyText);
    else
        m_emptyLabel->setText(tr("No settings file is open."));
}

void PreferencesView::setDocument(XsdtDocument *document)
{
    clearPages();
    m_document = document;
    updateEmptyText();
    if (!document)
        return;
    for (const PageSpec &pageSpec : m_schema->pagesFor(*document)) {
        std::unique_ptr<Page> page = buildPage(pageSpec);
        if (!page)
            continue;
        page->item = new QListWidgetItem(page->title, m_pageList);
        m_stack->addWidget(page->scroll);
        m_pages.push_back(std::move(page));
    }
    updateMarks();
    // A search typed before the file was (re)loaded applies to the new pages too.
    const QString text = m_searchText;
    m_searchText.clear();
    if (!text.isEmpty())
        runSearch();
    if (m_pageList->currentRow() < 0 && !m_pages.empty())
        m_pageList->setCurrentRow(0);
}

void PreferencesView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    for (SettingRow *row : std::as_const(m_rowsByNode))
        row->setViewOnly(viewOnly);
}

bool PreferencesView::collect(XsdtNode *group, Section &section, QList<XsdtNode *> &values) const
{
    for (const auto &child : group->children) {
        XsdtNode *node = child.get();
        if (m_schema->isHidden(node))
            continue;
        if (node->isValue()) {
            if (!node->isEditable())
                continue;
            section.entries.push_back({node, m_schema->info(node), nullptr});
            values.append(node);
        } else {
            auto sub = std::make_unique<Section>();
            sub->group = node;
            if (collect(node, *sub, values))
                section.entries.push_back({node, VariableInfo(), std::move(sub)});
        }
    }
    return !section.entries.empty();
}

std::unique_ptr<PreferencesView::Page> PreferencesView::buildPage(const PageSpec &pageSpec)
{
    auto page = std::make_unique<Page>();
    page->title = pageSpec.title;
    const bool sections = pageSpec.paths.size() >= 2;
    for (const QString &path : pageSpec.paths) {
        XsdtNode *node = m_document->findPath(path);
        if (!node || node->children.empty())
            continue;
        if (!sections) {
            collect(node, page->root, page->values);
            continue;
        }
        auto sub = std::make_unique<Section>();
        sub->group = node;
        sub->initiallyOpen = sub->openBeforeSearch = true;
        if (collect(node, *sub, page->values))
            page->root.entries.push_back({node, VariableInfo(), std::move(sub)});
    }
    if (page->values.isEmpty())
        return nullptr;

    page->scroll = new QScrollArea(m_stack);

    page->scroll->setFocusPolicy(Qt::NoFocus); // Tab goes from the controls above to the first row
    page->scroll->setWidgetResizable(true);
    page->scroll->setFrameShape(QFrame::NoFrame);
    auto *content = new QWidget(page->scroll);
    auto *layout = new QVBoxLayout(content);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);
    buildGroup(page->root, layout, page.get(), 0);
    layout->addStretch(1);
    page->scroll->setWidget(content);
    return page;
}

void PreferencesView::buildGroup(Section &section, QLayout *layout, Page *page, int depth)
{
    QWidget *parent = layout->parentWidget();
    for (Entry &entry : section.entries) {
        if (entry.section) {
            addSection(*entry.section, layout, page, depth + 1);
            continue;
        }
        auto *row = new SettingRow(entry.node, entry.info, m_model, parent);
        row->setViewOnly(m_viewOnly);
        connect(row, &SettingRow::rejected, this, &PreferencesView::message);
        connect(row, &SettingRow::menuRequested, this, &PreferencesView::showNodeMenu);
        layout->addWidget(row);
        m_rowsByNode.insert(entry.node, row);
    }
}

void PreferencesView::addSection(Section &section, QLayout *layout, Page *page, int depth)
{
    auto *widget =
        new CollapsibleSection(labelFromIdentifier(section.group->key), layout->parentWidget());
    section.widget = widget;
    QToolButton *title = widget->button();
    title->setSizePolicy(QSizePolicy::Expanding, title->sizePolicy().verticalPolicy());
    title->setContextMenuPolicy(Qt::CustomContextMenu);
    XsdtNode *group = section.group;
    connect(
        title, &QToolButton::customContextMenuRequested, this,
        [this, title, group](const QPoint &pos) { showNodeMenu(group, title->mapToGlobal(pos)); });
    Section *target = &section;
    widget->setBuilder([this, target, page, depth] {
        buildGroup(*target, target->widget->contentLayout(), page, depth);
        // Rows made while a search is active follow it at once.
        applySearch(*target);
    });
    layout->addWidget(widget);
    if (section.initiallyOpen)
        widget->setExpanded(true);
}

void PreferencesView::showNodeMenu(XsdtNode *node, const QPoint &globalPos)
{
    SettingMenuCallbacks callbacks;
    callbacks.onDelete = [this](XsdtNode *n) { emit deleteRequested(n); };
    callbacks.onRestore = [this](XsdtNode *n) { emit restoreRequested(n); };
    showSettingMenu(this, m_model, node, globalPos, m_viewOnly, callbacks);
}

void PreferencesView::refreshRows(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    if (m_pages.empty())
        return;
    refreshRowsInRange(m_rowsByNode, m_model, topLeft, bottomRight);
    updateMarks();
}

void PreferencesView::refreshAllRows()
{
    for (SettingRow *row : std::as_const(m_rowsByNode))
        row->refresh();
    updateMarks();
}

void PreferencesView::updateMarks()
{
    for (const auto &page : m_pages) {
        int changed = 0;
        for (const XsdtNode *node : std::as_const(page->values))
            changed += node->value != node->originalValue ? 1 : 0;
        const QString text =
            changed >= 1 ? tr("%1   \u25CF %L2").arg(page->title).arg(changed) : page->title;
        if (page->item->text() == text)
            continue;
        page->item->setText(text);
        QFont font = page->item->font();
        font.setBold(changed >= 1);
        page->item->setFont(font);
    }
}

void PreferencesView::setSearchText(const QString &text)
{
    m_searchEdit->setText(text);
    runSearch();
}

void PreferencesView::rememberOpenState(Section &section)
{
    for (Entry &entry : section.entries) {
        if (!entry.section)
            continue;
        Section &sub = *entry.section;
        sub.openBeforeSearch = sub.widget ? sub.widget->isExpanded() : sub.initiallyOpen;
        rememberOpenState(sub);
    }
}

bool PreferencesView::markMatches(Section &section)
{
    bool any = false;
    for (Entry &entry : section.entries) {
        if (entry.section)
            any = markMatches(*entry.section) || any;
        else
            any = any || SettingRow::matches(entry.node, entry.info, m_searchText);
    }
    section.matched = any;
    return any;
}

void PreferencesView::applySearch(Section &section)
{
    const bool searching = !m_searchText.isEmpty();
    for (Entry &entry : section.entries) {
        if (!entry.section) {
            if (SettingRow *row = m_rowsByNode.value(entry.node))
                row->setVisible(row->matches(m_searchText));
            continue;
        }
        Section &sub = *entry.section;
        if (!sub.widget)
            continue;
        if (searching) {
            sub.widget->setVisible(sub.matched);
            if (sub.matched)
                sub.widget->setExpanded(true);
        } else {
            sub.widget->setVisible(true);
            sub.widget->setExpanded(sub.openBeforeSearch);
        }
        applySearch(sub);
    }
}

void PreferencesView::runSearch()
{
    const QString text = m_searchEdit->text().trimmed();
    if (text == m_searchText)
        return;
    if (m_searchText.isEmpty()) {
        for (const auto &page : m_pages)
            rememberOpenState(page->root);
    }
    m_searchText = text;
    for (size_t i = 0; i < m_pages.size(); ++i) {
        Page &page = *m_pages[i];
        const bool any = markMatches(page.root);
        applySearch(page.root);
        m_pageList->setRowHidden(int(i), !text.isEmpty() && !any);
    }
    const int current = m_pageList->currentRow();
    if (current >= 0 && !m_pageList->isRowHidden(current))
        return;
    for (int r = 0; r < m_pageList->count(); ++r) {
        if (!m_pageList->isRowHidden(r)) {
            m_pageList->setCurrentRow(r);
            return;
        }
    }
    m_pageList->setCurrentRow(-1);
    m_stack->setCurrentIndex(0);
}

bool PreferencesView::showPage(int index)
{
    if (index < 0 || index >= m_pageList->count() || m_pageList->isRowHidden(index))
        return false;
    m_pageList->setCurrentRow(index);
    return true;
}

void PreferencesView::onPageSelected(int row)
{
    m_stack->setCurrentIndex(row < 0 ? 0 : row + 1);
}

} // namespace vrn
