#include "app/filebanner.h"

#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>

namespace vrn {

FileBanner::FileBanner(QWidget *parent)
    : QWidget(parent)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    m_label = new QLabel(this);
    m_label->setWordWrap(true);
    m_label->setMargin(8);
    m_label->setTextFormat(Qt::RichText);
    m_label->setAutoFillBackground(true);
    m_label->hide();
    row->addWidget(m_label, 1);
    m_reload = new QPushButton(tr("Reload"), this);
    m_reload->hide();
    connect(m_reload, &QPushButton::clicked, this, &FileBanner::reloadRequested);
    row->addWidget(m_reload, 0, Qt::AlignVCenter);
    m_reloadKeep = new QPushButton(tr("Reload and keep my changes"), this);
    m_reloadKeep->hide();
    connect(m_reloadKeep, &QPushButton::clicked, this, &FileBanner::reloadKeepRequested);
    row->addWidget(m_reloadKeep, 0, Qt::AlignVCenter);
    hide();
}

void FileBanner::showState(const DocumentManager &docs, DocumentManager::FileState state)
{
    QString text;
    QColor colour(255, 120, 0, 90);
    const XsdtDocument::InvalidUtf8 &bad = docs.store().document.invalidUtf8;
    // What the worker does comes first: it is over soon, and the notices are taken again then.
    if (docs.isBusy()) {
        text = docs.busyText().toHtmlEscaped();
        colour = QColor(80, 160, 255, 70);
        state.notice = DocumentManager::FileState::NoNotice;
    }
    switch (state.notice) {
    case DocumentManager::FileState::NoNotice:
        break;
    case DocumentManager::FileState::RunningUnknown:
        text = tr("<b>Cannot tell whether PixInsight is running - view only.</b> %1. Until this "
                  "can be checked, PixInsight counts as running: saving and restoring are "
                  "blocked.")
                   .arg(docs.runningUnknownReason().toHtmlEscaped());
        colour = QColor(255, 190, 0, 90);
        break;
    case DocumentManager::FileState::Running:
        text = tr("<b>PixInsight is running - view only.</b> It keeps its settings in memory and "
                  "overwrites this file, so edits made now would be lost. Close PixInsight to "
                  "edit.");
        colour = QColor(255, 190, 0, 90);
        break;
    case DocumentManager::FileState::Missing:
        // Reloading could only fail; a backup can still be put in its place.
        text = tr("<b>The settings file is missing: it was deleted, moved or renamed after it "
                  "was loaded.</b> Saving is blocked. Put the file back or restore a backup.");
        break;
    case DocumentManager::FileState::ChangedOnDisk:
        text = state.pending < 1
                   ? tr("<b>The file changed on disk since it was loaded.</b>")
                   : tr("<b>The file changed on disk since it was loaded.</b> Saving is blocked. "
                        "Reload to continue (your %n unsaved changes will be discarded), or "
                        "reload and keep your changes where the other program left the values "
                        "alone.",
                        nullptr, state.pending);
        break;
    case DocumentManager::FileState::InvalidUtf8:
        // Those bytes cannot be written back, so the values holding them do change.
        text = (bad.path.isEmpty()
                    ? tr("Byte sequences in this file that are not valid UTF-8: %n (the first at "
                         "line %1, column %2). Saving writes them as U+FFFD; the backup keeps the "
                         "original bytes.",
                         nullptr, bad.count)
                          .arg(bad.line)
                          .arg(bad.column)
                    : tr("Byte sequences in this file that are not valid UTF-8: %n (the first in "
                         "%1). Saving writes them as U+FFFD; the backup keeps the original bytes.",
                         nullptr, bad.count)
                          .arg(bad.path.toHtmlEscaped()));
        colour = QColor(255, 190, 0, 90);
        break;
    case DocumentManager::FileState::OtherLayout:
        text = tr("This file uses a non-default layout (for example indented XML). Values are "
                  "unaffected; saving will rewrite it in PixInsight's compact layout.");
        colour = QColor(80, 160, 255, 70);
        break;
    }
    m_label->setText(text);
    if (!text.isEmpty()) {
        QPalette palette = m_label->palette();
        palette.setBrush(QPalette::All, QPalette::Window, colour);
        m_label->setPalette(palette);
    }
    m_label->setVisible(!text.isEmpty());
    // Hidden as a whole, so that the window spends no spacing on it.
    setVisible(!text.isEmpty());
    const bool reload = state.notice == DocumentManager::FileState::ChangedOnDisk;
    m_reload->setVisible(reload);
    m_reloadKeep->setVisible(reload && state.canReloadKeep);
}

} // namespace vrn
