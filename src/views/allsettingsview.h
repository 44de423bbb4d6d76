#pragma once

#include "views/taskpage.h"

#include <functional>

class QCheckBox;
class QLineEdit;
class QPoint;

namespace vrn {

class SettingsFilterProxy;
class SettingsModel;
class SettingsTreeView;
class TreeFilter;

// The All settings page: the whole document as a tree with a filter row above it. A new
// document opens at its Preferences; typing filters after a pause and opens the matches.
class AllSettingsView : public TaskPage
{
    Q_OBJECT

public:
    explicit AllSettingsView(SettingsModel *model, QWidget *parent = nullptr);

    void setDocument(XsdtDocument *document) override;
    // Lets go of the document ahead of its replacement, then calls `done`: a tree opened all
    // the way on a large file closes in slices, where the model's reset would close it at once.
    void letGo(const std::function<void()> &done);
    void setViewOnly(bool viewOnly) override;

    // Drops the filter and selects the node, opening the groups above it.
    void revealNode(XsdtNode *node);
    // Opens every group, a slice at a time (see SettingsTreeView::expandEverything).
    void expandAll();
    // Everything closed but the way to the Preferences; left alone while a filter is on, which
    // opens its own matches once it has looked through the document.
    void resetExpansion();
    // The right-click menu of the row at pos, in the tree's viewport coordinates.
    void showContextMenu(const QPoint &pos);

    SettingsTreeView *tree() const { return m_tree; }
    SettingsFilterProxy *proxy() const { return m_proxy; }
    QLineEdit *filterEdit() const { return m_filterEdit; }
    QCheckBox *changedOnlyBox() const { return m_changedOnly; }

signals:
    // The value editor refused what was typed.
    void editRejected(const QString &reason);

private:
    void expandToPreferences();
    void deleteCurrent();
    void onFilterApplied(bool filtering, bool capped);

    SettingsModel *m_model;
    XsdtDocument *m_document = nullptr;
    bool m_viewOnly = false;
    SettingsFilterProxy *m_proxy = nullptr;
    SettingsTreeView *m_tree = nullptr;
    TreeFilter *m_treeFilter = nullptr;
    QLineEdit *m_filterEdit = nullptr;
    QCheckBox *m_changedOnly = nullptr;
    bool m_cappedSaid = false; // that the filter's matches are too many to open
};

} // namespace vrn
