#include "widgets/settingmenu.h"

#include "document/xsdtnode.h"
#include "model/settingsmodel.h"
#include "widgets/dialogs.h"

#include <QAction>
#include <QClipboard>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QMenu>

namespace vrn {

namespace {

class SettingMenu
{
    Q_DECLARE_TR_FUNCTIONS(vrn::SettingMenu)
};

} // namespace

void showSettingMenu(QWidget *parent, SettingsModel *model, XsdtNode *node, const QPoint &globalPos,
                     bool viewOnly, const SettingMenuCallbacks &callbacks)
{
    if (!model || !node)
        return;
    viewOnly = viewOnly || model->isViewOnly();

    QMenu menu(parent);
    menu.setToolTipsVisible(true);

    QAction *edit = nullptr;
    if (node->isValue() && callbacks.onEdit) {
        edit = menu.addAction(SettingMenu::tr("Edit value"));
        const QString why = model->whyNotEditable(node);
        edit->setEnabled(why.isEmpty());
        edit->setToolTip(why);
    }
    QAction *revert = nullptr;
    if (node->isValue()) {
        revert = menu.addAction(SettingMenu::tr("Revert this value"));
        revert->setEnabled(node->value != node->originalValue && !viewOnly && !node->isDeleted());
    }
    QAction *copyPath = nullptr;
    QAction *copyValue = nullptr;
    if (callbacks.offerCopy) {
        copyPath = menu.addAction(SettingMenu::tr("Copy setting path"));
        if (node->isValue())
            copyValue = menu.addAction(SettingMenu::tr("Copy value"));
    }
    if (!menu.isEmpty())
        menu.addSeparator();

    const QString kindWord =
        node->isValue() ? SettingMenu::tr("setting") : SettingMenu::tr("group");
    QAction *undo = nullptr;
    QAction *remove = nullptr;
    QAction *why = nullptr;
    DeleteVerdict verdict;
    if (node->pendingDelete) {
        undo = menu.addAction(SettingMenu::tr("Undo deletion"));
        undo->setEnabled(bool(callbacks.onRestore));
    } else if (node->isDeleted()) {
        menu.addAction(SettingMenu::tr("Inside a group marked for deletion"))->setEnabled(false);
    } else {
        verdict = model->deletionVerdict(node);
        if (verdict.level == DeleteLevel::Never) {
            why = menu.addAction(SettingMenu::tr("Why can't this be deleted?"));
        } else {
            remove = menu.addAction(verdict.level == DeleteLevel::Warn
                                        ? SettingMenu::tr("Delete this %1...").arg(kindWord)
                                        : SettingMenu::tr("Delete this %1").arg(kindWord));
            remove->setToolTip(verdict.reason);
            remove->setEnabled(!viewOnly && callbacks.onDelete);
        }
    }

    QAction *reveal = nullptr;
    if (callbacks.onReveal) {
        menu.addSeparator();
        reveal = menu.addAction(SettingMenu::tr("Show in All settings"));
    }

    QAction *chosen = Dialogs::execMenu(&menu, globalPos);
    if (!chosen)
        return;
    if (chosen == edit) {
        callbacks.onEdit(node);
    } else if (chosen == revert) {
        model->revertValue(node);
    } else if (chosen == copyPath) {
        QGuiApplication::clipboard()->setText(node->path());
    } else if (chosen == copyValue) {
        QGuiApplication::clipboard()->setText(node->value);
    } else if (chosen == undo) {
        callbacks.onRestore(node);
    } else if (chosen == remove) {
        callbacks.onDelete(node);
    } else if (chosen == why) {
        Dialogs::information(parent, SettingMenu::tr("Cannot delete"),
                             QStringLiteral("%1\n\n%2").arg(node->path(), verdict.reason));
    } else if (chosen == reveal) {
        callbacks.onReveal(node);
    }
}

} // namespace vrn
