#include "views/comparefilechooser.h"

#include "environment/discovery.h"
#include "widgets/dialogs.h"

#include <QFileInfo>

namespace vrn {

namespace {

constexpr int kMaxBackups = 25;
const QString kBrowse = QStringLiteral("?");

} // namespace

CompareFileChooser::CompareFileChooser(QWidget *parent)
    : QComboBox(parent)
{
    setSizeAdjustPolicy(QComboBox::AdjustToMinimumContentsLengthWithIcon);
    connect(this, &QComboBox::activated, this, &CompareFileChooser::onActivated);
}

void CompareFileChooser::fill(const QString &edited, bool haveDocument, const QString &compared)
{
    m_edited = edited;
    m_haveDocument = haveDocument;
    m_compared = compared;
    const QSignalBlocker blocker(this);
    clear();
    addItem(tr("Choose a file to compare with..."), QString());
    for (const QString &path : findSettingsFiles()) {
        if (!sameFile(path, edited))
            addItem(fileLabel(path), path);
    }
    if (haveDocument && !edited.isEmpty()) {
        for (const QString &backup : listBackups(edited).mid(0, kMaxBackups))
            addItem(tr("Backup: %1").arg(fileLabel(backup)), backup);
    }
    int current = 0;
    for (int i = 1; i < count() && !compared.isEmpty(); ++i) {
        if (sameFile(itemData(i).toString(), compared)) {
            current = i;
            break;
        }
    }
    if (!compared.isEmpty() && current == 0) {
        addItem(fileLabel(compared), compared);
        current = count() - 1;
    }
    addItem(tr("Browse..."), kBrowse);
    setCurrentIndex(current);
}

void CompareFileChooser::onActivated(int index)
{
    const QString data = itemData(index).toString();
    if (data.isEmpty()) {
        emit noneChosen();
        return;
    }
    QString path = data;
    if (data == kBrowse) {
        path =
            Dialogs::getOpenFileName(this, tr("Compare with"), QFileInfo(m_edited).absolutePath(),
                                     tr("PixInsight settings (*.settings *.bak-*);;All files (*)"));
    }
    if (!path.isEmpty())
        emit fileChosen(path);
    else
        fill(m_edited, m_haveDocument, m_compared); // back to the file compared with
}

} // namespace vrn
