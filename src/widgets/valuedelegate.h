#pragma once

#include <QStyledItemDelegate>

namespace vrn {

// Editor of the value column in the advanced tree: a true/false choice for Boolean values,
// the ordinary line edit for everything else. The model validates what is written.
class ValueDelegate : public QStyledItemDelegate
{
    Q_OBJECT

public:
    explicit ValueDelegate(QObject *parent = nullptr);

    QWidget *createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                          const QModelIndex &index) const override;
    void setEditorData(QWidget *editor, const QModelIndex &index) const override;
    void setModelData(QWidget *editor, QAbstractItemModel *model,
                      const QModelIndex &index) const override;

signals:
    // Typed text the value's type does not accept; the editor stays open with it.
    void rejected(const QString &reason);

protected:
    bool eventFilter(QObject *object, QEvent *event) override;

private:
    QString refusal(QWidget *editor) const;
};

} // namespace vrn
