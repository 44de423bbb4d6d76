#pragma once

#include <QTreeView>

namespace vrn {

class SettingsModel;

// The advanced tree. F2 and Enter edit the row's value whichever column is current, so a value
// can be changed with the keyboard alone; a value that cannot be edited says why instead.
class SettingsTreeView : public QTreeView
{
    Q_OBJECT

public:
    explicit SettingsTreeView(SettingsModel *model, QWidget *parent = nullptr);

    // Rows and columns as the window shows them; call after setting the model.
    void setColumnLayout();
    // What Expand all opens at most: every group of a file of a few megabytes, while typing into
    // the filter afterwards stays within a fifth of a second on a 50 MB file.
    static constexpr int ExpandAllBudget = 25000;

    // Opens every group when there are at most `groupBudget` of them; otherwise the levels from
    // the top that stay within it together, and returns how many levels that is (-1: all).
    // Opening a million rows blocks for seconds, and every later change of the tree pays again.
    int expandAllWithin(int groupBudget);
    // Opens the editor of the value in the index's row, or reports why there is none.
    bool editValue(const QModelIndex &index);

signals:
    void editRefused(const QString &reason);

protected:
    bool edit(const QModelIndex &index, EditTrigger trigger, QEvent *event) override;
    void keyPressEvent(QKeyEvent *event) override;

private:
    QString refusal(const QModelIndex &valueIndex) const;

    SettingsModel *m_model;
};

} // namespace vrn
