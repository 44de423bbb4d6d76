#pragma once

#include "views/taskpage.h"

#include <QHash>
#include <QList>

class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace vrn {

class Schema;
class SettingRow;
class SettingsModel;

// The Repositories page: the update repositories the file lists, each with its addresses and
// whatever else its group holds, flags for an address given twice or without encryption, and
// the two switches that decide whether PixInsight accepts unsigned or insecure ones. Values are
// edited in place; a repository is removed through the window's deletion request, which asks
// first.
class RepositoriesView : public TaskPage
{
    Q_OBJECT

public:
    RepositoriesView(SettingsModel *model, const Schema *schema, QWidget *parent = nullptr);

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;

    // The whole page as plain text, a line per label: what tests and the user read.
    QString visibleText() const;
    QPushButton *removeButton(const XsdtNode *repository) const
    {
        return m_remove.value(repository);
    }
    SettingRow *rowFor(const XsdtNode *node) const { return m_rows.value(node); }
    QLabel *emptyLabel() const { return m_empty; }

private:
    void rebuild();
    void refreshState();
    SettingRow *addRow(XsdtNode *node, QWidget *parent, QVBoxLayout *layout);
    QLabel *addText(const QString &text, QWidget *parent, QVBoxLayout *layout,
                    bool warning = false);

    SettingsModel *m_model;
    const Schema *m_schema;
    XsdtDocument *m_document = nullptr;
    bool m_viewOnly = false;
    bool m_refreshPending = false;
    QScrollArea *m_scroll = nullptr;
    QWidget *m_content = nullptr;
    QLabel *m_empty = nullptr;
    QHash<const XsdtNode *, SettingRow *> m_rows;
    QHash<const XsdtNode *, QPushButton *> m_remove;
    QHash<const XsdtNode *, QLabel *> m_state;
    QList<const void *> m_shape; // of the report the page was made from
};

} // namespace vrn
