#pragma once

#include "widgets/pagecolumn.h"
#include "widgets/settingmenu.h"

#include <QLabel>
#include <QScrollArea>
#include <QVBoxLayout>
#include <QWidget>

namespace vrn {

class XsdtDocument;
struct XsdtNode;

// What every task page shares: it is handed the open document (or none) and the view-only
// state by the main window, and asks the main window to delete, undo, reveal or report.
class TaskPage : public QWidget
{
    Q_OBJECT

public:
    using QWidget::QWidget;

    // Called with null before the document is replaced or pruned; the page must let go of
    // every node pointer it holds.
    virtual void setDocument(XsdtDocument *document) = 0;
    virtual void setViewOnly(bool viewOnly) = 0;

signals:
    void message(const QString &text);
    void deleteRequested(vrn::XsdtNode *node);
    void restoreRequested(vrn::XsdtNode *node);
    void revealRequested(vrn::XsdtNode *node);

protected:
    // The page's column, starting with the sentence that says what the page is for. Where the
    // window cannot give the column the room it needs (the largest text on a small screen),
    // the column scrolls instead of its parts being drawn over each other.
    QVBoxLayout *pageLayout(const QString &intro, Qt::TextFormat format = Qt::AutoText)
    {
        auto *outer = new QVBoxLayout(this);
        outer->setContentsMargins(0, 0, 0, 0);
        auto *scroll = new QScrollArea(this);
        scroll->setObjectName(QStringLiteral("pageScroll"));
        scroll->setFocusPolicy(Qt::NoFocus); // no Tab stop of its own
        scroll->setFrameShape(QFrame::NoFrame);
        scroll->setWidgetResizable(true);
        auto *column = new PageColumn(scroll);
        scroll->setWidget(column);
        outer->addWidget(scroll);
        auto *layout = new QVBoxLayout(column);
        layout->setContentsMargins(0, 6, 0, 0);
        auto *label = new QLabel(intro, column);
        label->setWordWrap(true);
        label->setTextFormat(format);
        layout->addWidget(label);
        return layout;
    }

    // The shared setting menu, whose delete, undo and reveal entries ask through this page.
    void showPageMenu(QWidget *parent, SettingsModel *model, XsdtNode *node,
                      const QPoint &globalPos, bool viewOnly)
    {
        SettingMenuCallbacks callbacks;
        callbacks.onDelete = [this](XsdtNode *n) { emit deleteRequested(n); };
        callbacks.onRestore = [this](XsdtNode *n) { emit restoreRequested(n); };
        callbacks.onReveal = [this](XsdtNode *n) { emit revealRequested(n); };
        showSettingMenu(parent, model, node, globalPos, viewOnly, callbacks);
    }
};

} // namespace vrn
