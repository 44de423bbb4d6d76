#include "widgets/editrequests.h"

#include "document/xsdtnode.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/repositories.h"
#include "model/settingsmodel.h"
#include "widgets/dialogs.h"

namespace vrn {

EditRequests::EditRequests(SettingsModel *model, QWidget *window)
    : QObject(window)
    , m_model(model)
    , m_window(window)
{}

void EditRequests::requestDeletion(XsdtNode *node)
{
    if (!node || node->pendingDelete)
        return;
    const DeleteVerdict verdict = m_model->deletionVerdict(node);
    if (verdict.level == DeleteLevel::Never) {
        Dialogs::information(m_window, tr("Cannot delete"),
                             QStringLiteral("%1\n\n%2").arg(node->path(), verdict.reason));
        return;
    }
    const int values = int(node->valueCount());
    if (verdict.level == DeleteLevel::Warn && !m_dontAskDelete) {
        bool dontAsk = false;
        Dialogs::Message ask;
        ask.icon = QMessageBox::Warning;
        ask.title = tr("Delete saved information?");
        ask.text = tr("Delete %1?\n(%n values)", nullptr, values).arg(entryDescription(node));
        ask.informativeText =
            verdict.reason +
            tr("\n\nNothing is removed until you save, and you can undo it before then.");
        ask.buttons = QMessageBox::Yes | QMessageBox::Cancel;
        ask.defaultButton = QMessageBox::Cancel;
        ask.checkBoxText = tr("Don't ask again until I close the program");
        ask.checked = &dontAsk;
        if (Dialogs::message(m_window, ask) != QMessageBox::Yes)
            return;
        m_dontAskDelete = dontAsk;
    }
    QString whyNot;
    if (m_model->queueDeletion(node, &whyNot)) {
        QString what = entryDescription(node);
        what.front() = what.front().toUpper(); // it starts the sentence
        emit message(
            tr("%1 queued for deletion (%n values). Save to apply.", nullptr, values).arg(what),
            8000);
    } else {
        Dialogs::information(m_window, tr("Cannot delete"), whyNot);
    }
}

bool EditRequests::revertAll(int count)
{
    if (Dialogs::question(m_window, tr("Revert all changes"),
                          tr("Discard all %n unsaved changes?", nullptr, count),
                          QMessageBox::Yes | QMessageBox::No) != QMessageBox::Yes)
        return false;
    m_model->revertAll();
    return true;
}

} // namespace vrn
