#include "widgets/valuedelegate.h"

#include "document/xsdtnode.h"
#include "model/settingsmodel.h"

#include <QAbstractProxyModel>
#include <QApplication>
#include <QComboBox>
#include <QKeyEvent>
#include <QLineEdit>
#include <QToolTip>

namespace vrn {

ValueDelegate::ValueDelegate(QObject *parent)
    : QStyledItemDelegate(parent)
{}

QWidget *ValueDelegate::createEditor(QWidget *parent, const QStyleOptionViewItem &option,
                                     const QModelIndex &index) const
{
    auto *node = index.data(SettingsModel::NodeRole).value<XsdtNode *>();
    if (!node || !node->isValue() || node->type != QLatin1Char('b')) {
        QWidget *editor = QStyledItemDelegate::createEditor(parent, option, index);
        // Checked by the settings model below the view's proxies when the user commits (see
        // refusal()).
        const QAbstractItemModel *model = index.model();
        while (const auto *proxy = qobject_cast<const QAbstractProxyModel *>(model))
            model = proxy->sourceModel();
        const auto *settings = qobject_cast<const SettingsModel *>(model);
        if (editor && node && settings) {
            editor->setProperty("vrnNode", QVariant::fromValue(node));
            editor->setProperty("vrnModel",
                                QVariant::fromValue(const_cast<SettingsModel *>(settings)));
        }
        return editor;
    }
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

QString ValueDelegate::refusal(QWidget *editor) const
{
    const auto *edit = qobject_cast<QLineEdit *>(editor);
    const auto *node = editor->property("vrnNode").value<XsdtNode *>();
    const auto *model = editor->property("vrnModel").value<SettingsModel *>();
    if (!edit || !node || !model)
        return QString();
    return model->refusal(node, edit->text());
}

// Enter, Tab and leaving the editor would write the text and close the editor. Text the value's
// type refuses stays in the editor instead, with the reason beside it, so that the user can
// correct it; Escape still gives up.
bool ValueDelegate::eventFilter(QObject *object, QEvent *event)
{
    auto *editor = qobject_cast<QWidget *>(object);
    bool commits = false;
    if (editor && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        commits = key == Qt::Key_Return || key == Qt::Key_Enter || key == Qt::Key_Tab ||
                  key == Qt::Key_Backtab;
    } else if (editor && event->type() == QEvent::FocusOut) {
        commits = QApplication::activePopupWidget() == nullptr; // not its own context menu
    }
    if (commits) {
        const QString why = refusal(editor);
        if (!why.isEmpty()) {
            editor->setToolTip(why);
            QToolTip::showText(editor->mapToGlobal(QPoint(0, editor->height())), why, editor);
            if (event->type() == QEvent::KeyPress)
                emit rejected(why);
            return true;
        }
        editor->setToolTip(QString());
    }
    return QStyledItemDelegate::eventFilter(object, event);
}

} // namespace vrn
