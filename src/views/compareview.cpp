#include "views/compareview.h"

#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "model/comparisoncopy.h"
#include "model/settingsmodel.h"
#include "store/memoryfit.h"
#include "views/comparefilechooser.h"
#include "views/comparerows.h"
#include "views/comparisonprogress.h"
#include "widgets/dialogs.h"
#include "widgets/flowlayout.h"

#include <QAction>
#include <QApplication>
#include <QCheckBox>
#include <QClipboard>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QPushButton>
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>

namespace vrn {

namespace {

// As the tree filter: the list is filtered again once typing pauses, not on every key.
constexpr int kTypingPauseMs = 200;

} // namespace

CompareView::CompareView(SettingsModel *model, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_comparison(new Comparison(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 0);

    auto *chooserRow = new QHBoxLayout;
    chooserRow->addWidget(new QLabel(tr("Compare with:"), this));
    m_chooser = new CompareFileChooser(this);
    chooserRow->addWidget(m_chooser, 1);
    layout->addLayout(chooserRow);

    // Flowing: at large text sizes the options take a second line instead of being cut.
    auto *filterRow = new FlowLayout;
    m_different = new QCheckBox(tr("Different"), this);
    m_different->setChecked(true);
    m_onlyHere = new QCheckBox(tr("Only in this file"), this);
    m_onlyThere = new QCheckBox(tr("Only in the other file"), this);
    m_hideNoise = new QCheckBox(tr("Hide statistics, window state and generated lists"), this);
    m_hideNoise->setChecked(true);
    m_hideNoise->setToolTip(tr("Statistics, window geometry and layout, histories and the "
                               "featured scripts list differ between any two files and rarely "
                               "matter."));
    m_search = new QLineEdit(this);
    m_search->setPlaceholderText(tr("Search"));
    m_search->setAccessibleName(tr("Search the differences"));
    m_search->setAccessibleDescription(tr("Shows only rows whose path or values hold it"));
    m_search->setClearButtonEnabled(true);
    for (QCheckBox *box : {m_different, m_onlyHere, m_onlyThere, m_hideNoise}) {
        filterRow->addWidget(box);
        connect(box, &QCheckBox::toggled, this, &CompareView::showResults);
    }
    m_searchPause.setSingleShot(true);
    m_searchPause.setInterval(kTypingPauseMs);
    connect(m_search, &QLineEdit::textChanged, &m_searchPause, qOverload<>(&QTimer::start));
    connect(&m_searchPause, &QTimer::timeout, this, &CompareView::showResults);
    connect(m_search, &QLineEdit::returnPressed, this, &CompareView::showResults);
    m_verdictSlices.setSingleShot(true);
    m_verdictSlices.setInterval(0);
    connect(&m_verdictSlices, &QTimer::timeout, this, &CompareView::workOutVerdicts);
    layout->addLayout(filterRow);
    layout->addWidget(m_search);

    m_summary = new QLabel(this);
    m_summary->setWordWrap(true); // long counts must not widen the window at large text sizes
    layout->addWidget(m_summary);

    m_progress = new ComparisonProgress(m_comparison, this);
    layout->addWidget(m_progress);
    connect(m_progress->cancelButton(), &QPushButton::clicked, this,
            &CompareView::cancelComparison);

    m_rows = new CompareRows(m_comparison, this);
    connect(m_rows, &CompareRows::filled, this, [this] {
        m_tree->expandAll();
        workOutVerdicts();
    });
    m_tree = new QTreeView(this);
    m_tree->setModel(m_rows);
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_tree->setAlternatingRowColors(true);
    m_tree->setUniformRowHeights(true);
    m_tree->setContextMenuPolicy(Qt::CustomContextMenu);
    QHeaderView *header = m_tree->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Interactive);
    header->resizeSection(0, 340);
    header->setSectionResizeMode(1, QHeaderView::Stretch);
    header->setSectionResizeMode(2, QHeaderView::Stretch);
    header->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    // Fit the status column to the rows on screen: a long list would be measured whole.
    header->setResizeContentsPrecision(0);
    layout->addWidget(m_tree, 1);

    auto *buttons = new QHBoxLayout;
    buttons->addStretch(1);
    m_copySelected = new QPushButton(tr("Use the other file's value for selected"), this);
    m_copyAll = new QPushButton(tr("Use the other file's value for all shown"), this);
    buttons->addWidget(m_copySelected);
    buttons->addWidget(m_copyAll);
    layout->addLayout(buttons);

    connect(m_chooser, &CompareFileChooser::fileChosen, this, [this](const QString &path) {
        QString error;
        if (!compareWith(path, &error))
            emit message(error);
        fillFileChoices();
    });
    connect(m_chooser, &CompareFileChooser::noneChosen, this, &CompareView::forgetOtherFile);
    connect(m_tree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &CompareView::updateButtons);
    connect(m_tree, &QTreeView::customContextMenuRequested, this, &CompareView::showContextMenu);
    connect(m_tree, &QTreeView::doubleClicked, this, [this](const QModelIndex &index) {
        const int position = m_rows->positionAt(index);
        if (position >= 0 && records()[position].here)
            emit revealRequested(records()[position].here);
    });
    connect(m_copySelected, &QPushButton::clicked, this, [this] { copyValues(selectedRecords()); });
    connect(m_copyAll, &QPushButton::clicked, this, &CompareView::copyAllShown);
    connect(m_model, &SettingsModel::edited, m_comparison, &Comparison::scheduleUpdate);
    // A large document is outlined on the worker, which lets go of it before every change.
    m_comparison->setOutlineOnWorker(true);
    connect(m_model, &SettingsModel::aboutToChange, m_comparison, &Comparison::releaseDocument);
    connect(m_model, &SettingsModel::modelAboutToBeReset, m_comparison,
            &Comparison::releaseDocument);
    connect(m_model, &SettingsModel::modelReset, this, [this] {
        m_comparison->noteOtherChange();
        m_comparison->scheduleUpdate();
    });
    connect(m_model, &SettingsModel::dataChanged, this, &CompareView::onDataChanged);
    // An entry that came or went moves records between the sides: compared again in full.
    connect(m_model, &SettingsModel::rowsInserted, this,
            [this] { m_comparison->noteValueChanged(nullptr); });
    connect(m_model, &SettingsModel::rowsRemoved, this,
            [this] { m_comparison->noteValueChanged(nullptr); });
    connect(m_comparison, &Comparison::finished, this, &CompareView::onFinished);
    connect(m_comparison, &Comparison::patched, this, &CompareView::onPatched);
    connect(m_comparison, &Comparison::updateNeeded, this, &CompareView::recompute);
    connect(m_comparison, &Comparison::failed, this, &CompareView::onFailed);

    fillFileChoices();
    updateButtons();
}

CompareView::~CompareView() = default;

void CompareView::setDocument(XsdtDocument *document)
{
    setDocument(document, document && m_pathSource ? m_pathSource() : QString());
}

void CompareView::setDocument(XsdtDocument *document, const QString &path)
{
    // A file being read when the document went away is read again for the next one.
    if (isComparing() && m_readingFile)
        m_pendingPath = m_comparison->runningPath();
    stopWorker();
    clearResults();
    m_document = document;
    m_path = path;
    if (!document) {
        m_summary->clear();
        updateButtons();
        fillFileChoices();
        return;
    }
    const QString pending = std::exchange(m_pendingPath, QString());
    if (sameFile(m_comparison->otherPath(), path))
        forgetOther();
    if (!pending.isEmpty() && !sameFile(pending, path)) {
        forgetOther();
        QString error;
        if (!compareWith(pending, &error))
            emit message(error);
        fillFileChoices();
        return;
    }
    fillFileChoices();
    // The model's reset asked for a comparison already, in a turn after the one that hands the
    // new document to every page: outlining a large one takes a while.
    if (m_comparison->hasOther())
        m_comparison->scheduleUpdate();
    else
        recompute();
}

void CompareView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    updateButtons();
}

void CompareView::clearResults()
{
    m_rows->clear();
    m_comparison->clearRecords();
    m_verdictSlices.stop();
}

void CompareView::stopWorker()
{
    m_comparison->cancel();
    m_readingFile = false;
    m_progress->stop();
}

void CompareView::forgetOther()
{
    clearResults();
    m_comparison->clear();
    m_otherIsBackup = false;
}

void CompareView::forgetOtherFile()
{
    stopWorker();
    forgetOther();
    recompute();
    fillFileChoices();
}

void CompareView::cancelComparison()
{
    if (!isComparing())
        return;
    forgetOtherFile();
    emit message(tr("Comparison cancelled."));
}

bool CompareView::isSearchPending() const
{
    return m_searchPause.isActive() || m_rows->isFilling();
}

QString CompareView::otherPath() const
{
    return isComparing() ? m_comparison->runningPath() : m_comparison->otherPath();
}

void CompareView::finishComparison()
{
    m_comparison->finishNow();
    m_rows->finishFill();
    while (m_verdictSlices.isActive())
        workOutVerdicts();
}

void CompareView::onDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    const QModelIndex parent = topLeft.parent();
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row)
        m_comparison->noteValueChanged(m_model->nodeForIndex(m_model->index(row, 0, parent)));
}

void CompareView::recompute()
{
    clearResults();
    if (!m_document) {
        m_summary->clear();
    } else if (!m_comparison->hasOther()) {
        m_summary->setText(tr("Pick another settings file to see how it differs from this one."));
    } else {
        m_comparison->setRules(m_model->policy(), m_model->schema());
        m_comparison->startAgain(*m_document);
        showBusy(m_comparison->otherPath());
    }
    updateButtons();
}

void CompareView::showBusy(const QString &path)
{
    m_summary->clear(); // the counts of an earlier comparison no longer hold
    m_progress->start(path);
}

void CompareView::onFinished()
{
    m_progress->stop();
    if (std::exchange(m_readingFile, false))
        fillFileChoices();
    const QString other = m_comparison->otherPath();
    const QStringList backups = m_path.isEmpty() ? QStringList() : listBackups(m_path);
    m_otherIsBackup = std::any_of(backups.begin(), backups.end(),
                                  [&other](const QString &b) { return sameFile(b, other); });
    // The document changed while the worker compared it as it was.
    if (m_comparison->hasChanges())
        recompute();
    else
        showResults();
}

void CompareView::onFailed(const QString &error)
{
    m_readingFile = false;
    m_progress->stop();
    recompute(); // which drops the results first
    fillFileChoices();
    emit message(error);
}

// Only the values edited since the last comparison were compared again: their rows are
// patched in place, and a long list is not rebuilt for one edit.
void CompareView::onPatched(const Comparison::Patch &patch)
{
    if (!m_rows->takePatch(patch)) {
        showResults();
        return;
    }
    workOutVerdicts();
}

void CompareView::showResults()
{
    m_searchPause.stop();
    // Behind another page of the shown window, a long list waits until this page is shown.
    m_resultsDue = window()->isVisible() && !isVisible();
    if (!m_document || !m_comparison->hasOther() || isComparing() || m_resultsDue) {
        m_rows->clear();
        updateButtons();
        return;
    }
    CompareRows::Filter filter;
    filter.kinds[DiffRecord::Different] = m_different->isChecked();
    filter.kinds[DiffRecord::OnlyHere] = m_onlyHere->isChecked();
    filter.kinds[DiffRecord::OnlyThere] = m_onlyThere->isChecked();
    filter.hideNoise = m_hideNoise->isChecked() && m_model->policy();
    filter.search = m_search->text().trimmed();
    m_verdictSlices.stop(); // until the new rows are in
    m_rows->fill(filter);
    updateButtons();
}

void CompareView::workOutVerdicts()
{
    m_verdictSlices.stop();
    if (!m_rows->workOutVerdicts())
        m_verdictSlices.start();
    updateSummary();
    updateButtons();
}

void CompareView::updateSummary()
{
    QString text = tr("%1 different, %2 only in this file, %3 only in the other file")
                       .arg(m_rows->count(DiffRecord::Different))
                       .arg(m_rows->count(DiffRecord::OnlyHere))
                       .arg(m_rows->count(DiffRecord::OnlyThere));
    if (const int hidden = m_rows->hidden(); hidden > 0)
        text += tr(" (%1 more hidden as statistics, window state or generated lists)").arg(hidden);
    if (m_otherIsBackup)
        text += QLatin1Char('\n') + m_rows->restoreText();
    // Why the rows shown will not be copied, once every verdict is known.
    if (const QString rest = m_rows->verdictsKnown() ? m_rows->notCopiedText() : QString();
        !rest.isEmpty())
        text += QLatin1Char('\n') + tr("Not copied: %1.").arg(rest);
    m_summary->setText(text);
}

QList<int> CompareView::selectedRecords() const
{
    return m_rows->recordsOf(m_tree->selectionModel()->selectedRows());
}

void CompareView::updateButtons()
{
    const QList<int> selected = selectedRecords();
    const bool anySelected = std::any_of(selected.begin(), selected.end(),
                                         [this](int p) { return m_rows->copyable(p); });
    m_copySelected->setEnabled(!m_viewOnly && anySelected);
    const qsizetype n = m_rows->copyableCount();
    m_copyAll->setEnabled(!m_viewOnly && n > 0);
    m_copyAll->setText(n > 0 ? tr("Use the other file's value for all shown (%Ln)", nullptr, int(n))
                             : tr("Use the other file's value for all shown"));
    const QString running =
        m_viewOnly ? tr("PixInsight is running; nothing can be copied until it is closed.")
                   : QString();
    m_copySelected->setToolTip(running);
    m_copyAll->setToolTip(running);
}

void CompareView::copyValues(const QList<int> &positions)
{
    if (positions.isEmpty())
        return;
    // PixInsight may have started while the question was open.
    if (m_viewOnly || m_model->isViewOnly()) {
        emit message(tr("PixInsight is running, so nothing was copied. Close PixInsight, then "
                        "copy again."));
        return;
    }
    emit message(copyCompared(*m_model, *m_comparison, positions,
                              QFileInfo(m_comparison->otherPath()).fileName()));
}

void CompareView::copyAllShown()
{
    const QString question = copyQuestion(*m_comparison, m_rows->shown(),
                                          QFileInfo(m_comparison->otherPath()).fileName());
    if (!question.isEmpty() &&
        Dialogs::question(this, tr("Copy values"), question) == QMessageBox::Yes)
        copyValues(m_rows->shown());
}

void CompareView::showContextMenu(const QPoint &pos)
{
    const int position = m_rows->positionAt(m_tree->indexAt(pos));
    if (position < 0)
        return;
    const DiffRecord record = records()[position];
    const QString path = record.path(); // taken before the menu lets anything change
    QMenu menu(this);
    QAction *use = menu.addAction(tr("Use the other file's value"));
    use->setEnabled(m_rows->copyable(position) && !m_viewOnly);
    QAction *reveal = menu.addAction(tr("Show in All settings"));
    reveal->setEnabled(record.here);
    QAction *copyPath = menu.addAction(tr("Copy setting path"));
    QAction *chosen = Dialogs::execMenu(&menu, m_tree->viewport()->mapToGlobal(pos));
    if (chosen == use)
        copyValues({position});
    else if (chosen == reveal)
        emit revealRequested(record.here);
    else if (chosen == copyPath)
        QApplication::clipboard()->setText(path);
}

void CompareView::showEvent(QShowEvent *event)
{
    TaskPage::showEvent(event);
    fillFileChoices(); // backups made or deleted while the page was away
    if (m_resultsDue)
        showResults();
}

void CompareView::fillFileChoices()
{
    m_chooser->fill(m_path, m_document, otherPath());
}

// What can be told at once is refused at once, leaving the comparison shown as it was; the
// file itself is read and compared on the worker.
bool CompareView::compareWith(const QString &path, QString *error)
{
    const auto fail = [error](const QString &text) {
        if (error)
            *error = text;
        return false;
    };
    if (!m_document)
        return fail(tr("No settings file is open."));
    if (sameFile(path, m_path))
        return fail(tr("That is the file being edited."));
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) {
        return fail(
            tr("Cannot read %1: %2").arg(QDir::toNativeSeparators(path), file.errorString()));
    }
    const MemoryFit fit = MemoryFit::forComparison(m_path, path, true);
    if (!fit.fits() && !Dialogs::goDespiteShortage(this, fit.shortage(path),
                                                   MemoryFit::comparingRisk(), QMessageBox::Yes))
        return fail(tr("%1 was not compared.").arg(QDir::toNativeSeparators(path)));
    stopWorker();
    forgetOther();
    m_comparison->setRules(m_model->policy(), m_model->schema());
    m_comparison->startWithFile(*m_document, path);
    m_readingFile = true;
    showBusy(path);
    fillFileChoices();
    updateButtons();
    return true;
}

} // namespace vrn
