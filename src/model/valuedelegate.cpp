#include "model/valuedelegate.h"

#include "document/xsdtnode.h"
#include "model/settingsmodel.h"

#include <QComboBox>

namespace vrn {

ValueDelegate::ValueDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{}

QWidget *ValueDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                                     const QModelIndex &index) const
{
    const auto *node = index.data(SettingsModel::NodeRole).value<XsdtNode *>();
    if (!node || !node->isValue() || node->type != QLatin1Char('b'))
        return QStyledItemDelegate::createEditor(parent, option, index);
    auto *combo = new QComboBox(parent);
    combo->addItem(QStringLiteral("true"));
    combo->addItem(QStringLiteral("false"));
    // A choice is the whole edit: write it and close at once.
    connect(combo, &QComboBox::activated, this, [this, combo] {
        auto *self = const_cast<ValueDelegate *>(this);
        emit self->commitData(combo);
        emit self->closeEditor(combo);
    });
    return combo;
}

void ValueDelegate::setEditorData(QWidget *editor, const QModelIndex &index) const
{
    if (auto *combo = qobject_cast<QComboBox *>(editor)) {
        const int row = combo->findText(index.data(Qt::EditRole).toString());
        combo->setCurrentIndex(row);
        return;
    }
    QStyledItemDelegate::setEditorData(editor, index);
}

void ValueDelegate::setModelData(QWidget *editor, QAbstractItemModel *model,
                                 const QModelIndex &index) const
{
    if (auto *combo = qobject_cast<QComboBox *>(editor)) {
        model->setData(index, combo->currentText(), Qt::EditRole);
        return;
    }
    QStyledItemDelegate::setModelData(editor, model, index);
}

} // namespace vrn
