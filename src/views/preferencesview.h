#pragma once

#include "knowledge/schema.h"
#include "views/taskpage.h"

#include <QHash>
#include <QList>
#include <QModelIndex>
#include <QPair>
#include <QPoint>

#include <memory>
#include <vector>

class QLayout;
class QLineEdit;
class QListWidget;
class QListWidgetItem;
class QScrollArea;
class QStackedWidget;

namespace vrn {

class CollapsibleSection;
class SettingRow;
class SettingsModel;

// PixInsight's preferences as named pages of setting rows, with a search across all pages.
// What a page shows is worked out from the document when it is attached; the rows of closed
// sections are only made when a section is first opened, so a large file costs nothing for
// sections nobody looks at.
class PreferencesView : public TaskPage
{
    Q_OBJECT

public:
    PreferencesView(SettingsModel *model, const Schema *schema, QWidget *parent = nullptr);
    ~PreferencesView() override;

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;
    // What the document manager is doing, shown in place of the pages while there are none.
    void showBusy(bool busy, const QString &text);
    bool showPage(int index);
    void setSearchText(const QString &text);
    void showNodeMenu(XsdtNode *node, const QPoint &globalPos);

    int pageCount() const;
    QString pageTitle(int index) const;
    QLineEdit *searchEdit() const { return m_searchEdit; }
    QListWidget *pageList() const { return m_pageList; }
    QStackedWidget *stack() const { return m_stack; }
    QLabel *emptyLabel() const { return m_emptyLabel; }
    SettingRow *rowFor(const XsdtNode *node) const { return m_rowsByNode.value(node); }

private:
    struct Entry;
    // A group shown on a page: its values and the groups below it, in document order. The
    // page itself is the root section, without a header.
    struct Section
    {
        XsdtNode *group = nullptr;
        std::vector<Entry> entries;
        CollapsibleSection *widget = nullptr;
        bool initiallyOpen = false;
        bool openBeforeSearch = false;
        bool matched = true;
    };
    // A value (with what the schema says about it) or a group.
    struct Entry
    {
        XsdtNode *node = nullptr;
        VariableInfo info;
        std::unique_ptr<Section> section;
    };
    struct Page
    {
        QString title;
        Section root;
        QList<XsdtNode *> values; // everything the page shows, for its change mark
        QListWidgetItem *item = nullptr;
        QScrollArea *scroll = nullptr;
    };

    std::unique_ptr<Page> buildPage(const PageSpec &pageSpec);
    bool collect(XsdtNode *group, Section &section, QList<XsdtNode *> &values) const;
    void buildGroup(Section &section, QLayout *layout, Page *page, int depth);
    void addSection(Section &section, QLayout *layout, Page *page, int depth);
    void clearPages();
    void refreshRows(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void refreshAllRows();
    void updateMarks();
    void runSearch();
    bool markMatches(Section &section);
    void applySearch(Section &section);
    void rememberOpenState(Section &section);
    void onPageSelected(int row);
    void updateEmptyText();

    SettingsModel *m_model;
    const Schema *m_schema;
    XsdtDocument *m_document = nullptr;
    bool m_viewOnly = false;
    QString m_searchText; // trimmed, as last applied
    QLineEdit *m_searchEdit = nullptr;
    QListWidget *m_pageList = nullptr;
    QStackedWidget *m_stack = nullptr;
    QLabel *m_emptyLabel = nullptr;
    QString m_busyText;
    std::vector<std::unique_ptr<Page>> m_pages;
    QHash<const XsdtNode *, SettingRow *> m_rowsByNode;
};

} // namespace vrn
