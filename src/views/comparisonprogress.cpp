#include "views/comparisonprogress.h"

#include "knowledge/comparison.h"
#include "widgets/wholenames.h"

#include <QFileInfo>
#include <QHBoxLayout>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>

#include <algorithm>

namespace vrn {

namespace {

constexpr int kProgressEveryMs = 100;

} // namespace

ComparisonProgress::ComparisonProgress(const Comparison *comparison, QWidget *parent)
    : QWidget(parent)
    , m_comparison(comparison)
{
    auto *row = new QHBoxLayout(this);
    row->setContentsMargins(0, 0, 0, 0);
    m_label = new QLabel(this);
    m_bar = new QProgressBar(this);
    m_bar->setTextVisible(false);
    m_cancel = new QPushButton(tr("Cancel"), this);
    row->addWidget(m_label);
    row->addWidget(m_bar, 1);
    row->addWidget(m_cancel);
    hide();
    m_timer.setInterval(kProgressEveryMs);
    connect(&m_timer, &QTimer::timeout, this, &ComparisonProgress::showProgress);
}

void ComparisonProgress::start(const QString &path)
{
    m_label->setText(tr("Comparing with %1…").arg(namesKeptWhole(QFileInfo(path).fileName())));
    m_bar->setRange(0, 0);
    show();
    m_timer.start();
}

void ComparisonProgress::stop()
{
    m_timer.stop();
    hide();
}

void ComparisonProgress::showProgress()
{
    const qint64 done = m_comparison->progressDone();
    const qint64 total = m_comparison->progressTotal();
    if (done <= 0 || total <= 0)
        return; // still reading the other file: the bar keeps moving without a figure
    m_bar->setRange(0, 1000);
    m_bar->setValue(int(std::min<qint64>(1000, done * 1000 / total)));
}

} // namespace vrn
