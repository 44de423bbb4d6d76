#pragma once

#include "widgets/settingmenu.h"

#include <QLabel>
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
    // The page's column, starting with the sentence that says what the page is for.
    QVBoxLayout *pageLayout(const QString &intro, Qt::TextFormat format = Qt::AutoText)
    {
        auto *layout = new QVBoxLayout(this);
        layout->setContentsMargins(0, 6, 0, 0);
        auto *label = new QLabel(intro, this);
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
