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
