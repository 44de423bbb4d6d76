#include "app/busyindicator.h"

#include "store/documentmanager.h"

#include <QApplication>
#include <QLabel>
#include <QProgressBar>
#include <QStatusBar>

namespace vrn {

BusyIndicator::BusyIndicator(DocumentManager *docs, QStatusBar *statusBar)
    : QObject(statusBar)
    , m_statusBar(statusBar)
{
    m_label = new QLabel(statusBar);
    m_bar = new QProgressBar(statusBar);
    m_bar->setMaximumWidth(160);
    statusBar->addPermanentWidget(m_label);
    statusBar->addPermanentWidget(m_bar);
    m_label->hide();
    m_bar->hide();
    connect(docs, &DocumentManager::busyChanged, this, &BusyIndicator::onBusyChanged);
    connect(docs, &DocumentManager::busyProgress, this, &BusyIndicator::onProgress);
}

BusyIndicator::~BusyIndicator()
{
    if (m_depth > 0)
        QApplication::restoreOverrideCursor();
}

void BusyIndicator::onBusyChanged(bool busy, const QString &text)
{
    // Brief work may be announced inside a longer step: the cursor goes with the outer one.
    if (busy && m_depth++ == 0)
        QApplication::setOverrideCursor(Qt::BusyCursor);
    else if (!busy && m_depth > 0 && --m_depth == 0)
        QApplication::restoreOverrideCursor();
    // What the status bar said was about the file as it was ("Loaded ..."), not the step now.
    if (busy && !text.isEmpty())
        m_statusBar->clearMessage();
    m_label->setText(text);
    // Steps that cannot say how far they are keep the bar moving; reading fills it.
    m_bar->setRange(0, 0);
    m_bar->setTextVisible(false);
    m_label->setVisible(busy && !text.isEmpty());
    m_bar->setVisible(busy && !text.isEmpty());
}

void BusyIndicator::onProgress(qint64 done, qint64 total)
{
    m_bar->setRange(0, 100);
    m_bar->setValue(total > 0 ? int(done * 100 / total) : 0);
    m_bar->setTextVisible(true);
}

} // namespace vrn
