#include "views/historyview.h"

#include "history/historybrowser.h"
#include "knowledge/comparison.h"
#include "model/comparisoncopy.h"
#include "model/settingsmodel.h"
#include "views/comparerows.h"
#include "views/comparisonprogress.h"
#include "views/historytimeline.h"
#include "widgets/dialogs.h"
#include "widgets/wholenames.h"

#include <QCheckBox>
#include <QComboBox>
#include <QDir>
#include <QFileInfo>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>

#include <utility>

namespace vrn {

HistoryView::HistoryView(SettingsModel *model, const DeletionPolicy *policy, const Schema *schema,
                         QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_browser(new HistoryBrowser(this))
{
    m_browser->setRules(policy, schema);
    m_versions = new HistoryTimeline(m_browser, this);
    QVBoxLayout *layout =
        pageLayout(tr("Every version of the settings file kept in its history, newest first, also "
                      "those PixInsight wrote while Varnel was closed. Pick one to see what "
                      "changed in it or how it differs from the open file; copy values from it "
                      "or restore it whole."));
    m_state = new QLabel(this);
    m_state->setWordWrap(true);
    m_state->hide();
    layout->addWidget(m_state);

    auto *splitter = new QSplitter(Qt::Vertical, this);
    m_timeline = new QTreeView(splitter);
    m_timeline->setModel(m_versions);
    m_timeline->setRootIsDecorated(false);
    m_timeline->setUniformRowHeights(true);
    m_timeline->setAlternatingRowColors(true);
    m_timeline->header()->setStretchLastSection(true);
    m_timeline->header()->setSectionResizeMode(QHeaderView::ResizeToContents);
    // Widths from the newest rows: measuring thousands of versions would hold up the listing.
    m_timeline->header()->setResizeContentsPrecision(50);
    m_timeline->header()->setSectionResizeMode(HistoryTimeline::Note, QHeaderView::Stretch);

    auto *lower = new QWidget(splitter);
    auto *column = new QVBoxLayout(lower);
    column->setContentsMargins(0, 0, 0, 0);
    auto *choices = new QHBoxLayout;
    m_against = new QComboBox(lower);
    m_against->addItems(
        {tr("What changed since the version before"), tr("This version against the open file")});
    m_hideNoise = new QCheckBox(tr("Hide statistics, window state and generated lists"), lower);
    m_hideNoise->setChecked(true);
    choices->addWidget(m_against);
    choices->addWidget(m_hideNoise);
    choices->addStretch(1);
    column->addLayout(choices);

    auto *problemRow = new QHBoxLayout;
    m_problem = new QLabel(lower);
    m_problem->setWordWrap(true);
    m_problem->setTextInteractionFlags(Qt::TextSelectableByMouse);
    m_good = new QPushButton(lower);
    problemRow->addWidget(m_problem, 1);
    problemRow->addWidget(m_good);
    column->addLayout(problemRow);
    m_problem->hide();
    m_good->hide();

    m_progress = new ComparisonProgress(m_browser->comparison(), lower);
    column->addWidget(m_progress);
    m_summary = new QLabel(lower);
    column->addWidget(m_summary);
    m_rows = new CompareRows(m_browser->comparison(), lower);
    m_diff = new QTreeView(lower);
    m_diff->setModel(m_rows);
    m_diff->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_diff->setAlternatingRowColors(true);
    m_diff->setUniformRowHeights(true);
    m_diff->header()->setStretchLastSection(false);
    m_diff->header()->setSectionResizeMode(0, QHeaderView::Stretch);
    m_diff->header()->setSectionResizeMode(3, QHeaderView::ResizeToContents);
    column->addWidget(m_diff, 1);

    auto *buttons = new QHBoxLayout;
    m_copy = new QPushButton(tr("Copy chosen values into the open file"), lower);
    m_restore = new QPushButton(tr("Restore this version…"), lower);
    m_pin = new QPushButton(lower);
    m_pin->setAccessibleDescription(tr("A pinned version is kept whatever the history's limits."));
    buttons->addWidget(m_copy);
    buttons->addStretch(1);
    buttons->addWidget(m_pin);
    buttons->addWidget(m_restore);
    column->addLayout(buttons);
    splitter->addWidget(m_timeline);
    splitter->addWidget(lower);
    splitter->setStretchFactor(0, 2);
    splitter->setStretchFactor(1, 3);
    layout->addWidget(splitter, 1);

    m_refreshPause.setSingleShot(true);
    m_refreshPause.setInterval(300);
    connect(&m_refreshPause, &QTimer::timeout, this, &HistoryView::refresh);
    connect(&m_watcher, &QFileSystemWatcher::directoryChanged, this,
            [this] { m_refreshPause.start(); });
    connect(m_timeline->selectionModel(), &QItemSelectionModel::currentRowChanged, this,
            &HistoryView::compareSelected);
    connect(m_against, &QComboBox::currentIndexChanged, this, &HistoryView::compareSelected);
    connect(m_hideNoise, &QCheckBox::toggled, this, &HistoryView::showResults);
    connect(m_browser, &HistoryBrowser::finished, this, &HistoryView::onFinished);
    // A comparison with the open file reads it on the worker, which lets go of it first.
    connect(m_model, &SettingsModel::aboutToChange, m_browser, &HistoryBrowser::releaseOpenFile);
    connect(m_model, &SettingsModel::modelAboutToBeReset, m_browser,
            &HistoryBrowser::releaseOpenFile);
    // Those records point into the open file: an entry about to be taken out of it (an addition
    // undone, which a later edit frees) takes them with it, and they are made again after.
    connect(m_model, &SettingsModel::rowsAboutToBeRemoved, this, [this] {
        if (m_browser->against() != HistoryBrowser::Against::OpenFile || m_recompareDue)
            return;
        forgetOpenFileRecords();
        m_recompareDue = true;
        QTimer::singleShot(0, this, [this] {
            m_recompareDue = false;
            if (m_document)
                compareSelected();
        });
    });
    connect(m_browser, &HistoryBrowser::failed, this, &HistoryView::onFailed);
    connect(m_browser, &HistoryBrowser::versionRead, this,
            [this](qint64 id, const QByteArray &bytes) {
                emit restoreRequested(bytes, m_browser->versionName(id));
            });
    connect(m_progress->cancelButton(), &QPushButton::clicked, this, [this] {
        m_browser->cancel();
        m_progress->stop();
        m_summary->setText(tr("The comparison was cancelled."));
    });
    connect(m_good, &QPushButton::clicked, this, [this] { showVersion(m_goodId); });
    connect(m_diff->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &HistoryView::updateButtons);
    connect(m_copy, &QPushButton::clicked, this, &HistoryView::copyChosen);
    connect(m_pin, &QPushButton::clicked, this, &HistoryView::togglePin);
    connect(m_restore, &QPushButton::clicked, this, [this] {
        if (const qint64 id = selectedId())
            m_browser->read(id);
    });
    updateButtons();
}

HistoryView::~HistoryView() = default;

void HistoryView::setEditedPathSource(std::function<QString()> source)
{
    m_pathSource = std::move(source);
}

void HistoryView::setDocument(XsdtDocument *document)
{
    m_document = document;
    if (!document) {
        // The records of a comparison with the open file point into it.
        if (m_browser->against() == HistoryBrowser::Against::OpenFile)
            forgetOpenFileRecords();
    } else if (m_pathSource && m_pathSource() != m_path) {
        openHistory();
    } else if (isVisible() && m_browser->against() == HistoryBrowser::Against::OpenFile) {
        compareSelected();
    }
    updateButtons();
}

void HistoryView::forgetOpenFileRecords()
{
    m_browser->cancel();
    m_browser->comparison()->clearRecords();
    m_rows->clear();
    m_summary->clear();
    m_progress->stop();
}

void HistoryView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    updateButtons();
}

void HistoryView::openHistory()
{
    m_path = m_pathSource ? m_pathSource() : QString();
    m_rows->clear();
    m_progress->stop();
    m_summary->clear();
    m_problem->hide();
    m_good->hide();
    QString error;
    const bool opened = !m_path.isEmpty() && m_browser->open(m_path, &error);
    if (!opened)
        m_browser->close();
    m_versions->reload();
    watchFolder();
    QString state = error;
    if (m_path.isEmpty())
        state = tr("No settings file is open.");
    else if (opened && m_browser->count() == 0)
        state = tr("No version of %1 has been kept yet. Versions are recorded when the file is "
                   "saved, and while the history is switched on in the File menu, whenever "
                   "PixInsight writes it.")
                    .arg(namesKeptWhole(QDir::toNativeSeparators(m_path)));
    else if (m_browser->store().isReadOnly())
        state = m_browser->store().readOnlyReason();
    m_state->setText(state);
    m_state->setVisible(!state.isEmpty());
    if (m_browser->count() > 0 && isVisible())
        m_timeline->setCurrentIndex(m_versions->index(0, 0));
    updateButtons();
}

void HistoryView::watchFolder()
{
    if (!m_watcher.directories().isEmpty())
        m_watcher.removePaths(m_watcher.directories());
    if (!m_browser->isOpen())
        return;
    // The history's own folder once it is there, its parent until then.
    const QString folder = m_browser->store().folder();
    const QString watched = QFileInfo(folder).isDir() ? folder : HistoryStore::root();
    if (QFileInfo(watched).isDir())
        m_watcher.addPath(watched);
}

void HistoryView::refresh()
{
    if (!m_browser->isOpen())
        return;
    const qint64 picked = selectedId();
    const int before = m_browser->count();
    QString error;
    if (!m_browser->refresh(&error)) {
        m_state->setText(error);
        m_state->setVisible(true);
    } else if (m_browser->count() > 0) {
        m_state->setVisible(m_browser->store().isReadOnly());
    }
    QSignalBlocker quiet(m_timeline->selectionModel());
    m_versions->reload();
    const int row = m_browser->rowOf(picked);
    if (row >= 0)
        m_timeline->setCurrentIndex(m_versions->index(row, 0));
    quiet.unblock();
    watchFolder();
    if (row < 0 && m_browser->count() > 0 && (picked || before == 0) && isVisible())
        m_timeline->setCurrentIndex(m_versions->index(0, 0));
    updateButtons();
}

void HistoryView::showEvent(QShowEvent *event)
{
    TaskPage::showEvent(event);
    if (m_pathSource && m_pathSource() != m_path)
        openHistory();
    else
        refresh();
    if (!selectedId() && m_browser->count() > 0)
        m_timeline->setCurrentIndex(m_versions->index(0, 0));
    else if (std::exchange(m_compareWhenShown, false))
        compareSelected();
}

qint64 HistoryView::selectedId() const
{
    const QModelIndex current = m_timeline->currentIndex();
    return current.isValid() ? current.data(Qt::UserRole).toLongLong() : 0;
}

void HistoryView::showVersion(qint64 id)
{
    const int row = m_browser->rowOf(id);
    if (row >= 0)
        m_timeline->setCurrentIndex(m_versions->index(row, 0));
}

void HistoryView::compareSelected()
{
    const qint64 id = selectedId();
    m_rows->clear();
    m_summary->clear();
    m_problem->hide();
    m_good->hide();
    if (!id) {
        m_browser->cancel();
        m_progress->stop();
        updateButtons();
        return;
    }
    const auto against = m_against->currentIndex() == 1 ? HistoryBrowser::Against::OpenFile
                                                        : HistoryBrowser::Against::Previous;
    if (against == HistoryBrowser::Against::Previous)
        m_rows->setSideNames(tr("Before"), tr("This version"), tr("Removed in this version"),
                             tr("Added in this version"));
    else
        m_rows->setSideNames(tr("Open file"), tr("This version"), tr("Only in the open file"),
                             tr("Only in this version"));
    const MemoryFit fit = m_browser->memoryFit(id, against);
    if (!fit.fits()) {
        m_browser->cancel();
        // A page out of sight (comparing again after an edit elsewhere) asks once it is shown.
        m_compareWhenShown = !isVisible();
        if (m_compareWhenShown ||
            !Dialogs::goDespiteShortage(this, fit.shortage(m_browser->versionName(id)),
                                        MemoryFit::comparingRisk(), QMessageBox::Yes)) {
            onFailed(tr("Version %1 was not compared.").arg(id), 0);
            return;
        }
    }
    m_progress->start(m_browser->versionName(id));
    m_browser->compare(id, against, m_document);
    updateButtons();
}

void HistoryView::finishComparison()
{
    m_browser->finishNow();
}

void HistoryView::onFinished()
{
    m_progress->stop();
    showResults();
}

void HistoryView::onFailed(const QString &error, qint64 nearestGood)
{
    m_progress->stop();
    m_rows->clear();
    m_summary->clear();
    m_goodId = nearestGood;
    m_problem->setText(error);
    m_problem->show();
    m_good->setText(tr("Show %1").arg(m_browser->versionName(nearestGood)));
    m_good->setVisible(nearestGood > 0 && nearestGood != selectedId());
    updateButtons();
}

void HistoryView::showResults()
{
    const Comparison *comparison = m_browser->comparison();
    if (m_browser->isRunning() || !comparison->hasOther()) {
        m_rows->clear();
        return;
    }
    CompareRows::Filter filter;
    filter.kinds[DiffRecord::OnlyHere] = true;
    filter.kinds[DiffRecord::OnlyThere] = true;
    filter.hideNoise = m_hideNoise->isChecked();
    m_rows->fill(filter);
    m_diff->expandAll();
    // The value columns as wide as their header and texts, up to a quarter of the list each.
    for (const int column : {1, 2}) {
        m_diff->resizeColumnToContents(column);
        m_diff->setColumnWidth(column,
                               qMin(m_diff->columnWidth(column), m_diff->viewport()->width() / 4));
    }
    const int shown = int(m_rows->shown().size());
    QString text = m_browser->against() == HistoryBrowser::Against::Previous
                       ? tr("%n values changed since %1", nullptr, shown)
                             .arg(m_browser->versionName(m_browser->baseId()))
                       : tr("%n values differ from the open file", nullptr, shown);
    if (const int hidden = m_rows->hidden(); hidden > 0)
        text += tr(" (%1 more hidden as statistics, window state or generated lists)").arg(hidden);
    m_summary->setText(text);
    updateButtons();
}

void HistoryView::updateButtons()
{
    const qint64 id = selectedId();
    const HistoryVersion *version = id ? m_browser->store().version(id) : nullptr;
    const bool good = version && !version->isDamaged();
    const bool againstOpen = m_browser->against() == HistoryBrowser::Against::OpenFile &&
                             m_browser->shownId() == id && !m_browser->isRunning();
    const bool chosen = m_diff->selectionModel()->hasSelection();
    m_copy->setEnabled(good && againstOpen && chosen && m_document && !m_viewOnly);
    m_copy->setToolTip(againstOpen ? QString()
                                   : tr("Compare this version against the open file to copy "
                                        "values from it."));
    m_restore->setEnabled(good && m_document && !m_viewOnly);
    const bool pinned = version && version->pinned;
    m_pin->setText(pinned ? tr("Unpin this version") : tr("Pin this version"));
    m_pin->setAccessibleName(m_pin->text());
    m_pin->setEnabled(version && !m_browser->store().isReadOnly());
}

void HistoryView::togglePin()
{
    const qint64 id = selectedId();
    const HistoryVersion *version = id ? m_browser->store().version(id) : nullptr;
    if (!version)
        return;
    const bool pin = !version->pinned;
    QString error;
    if (!m_browser->setPinned(id, pin, &error)) {
        emit message(error);
        return;
    }
    const QString name = m_browser->versionName(id);
    emit message(pin ? tr("Pinned %1: it is kept whatever the history's limits.").arg(name)
                     : tr("Unpinned %1.").arg(name));
    refresh();
}

void HistoryView::copyChosen()
{
    const QList<int> positions = m_rows->recordsOf(m_diff->selectionModel()->selectedRows());
    const Comparison &comparison = *m_browser->comparison();
    const QString from = m_browser->versionName(m_browser->shownId());
    const QString question = copyQuestion(comparison, positions, from);
    if (question.isEmpty()) {
        emit message(tr("None of the chosen values can be copied."));
        return;
    }
    if (Dialogs::question(this, tr("Copy values"), question) != QMessageBox::Yes)
        return;
    // PixInsight may have started while the question was open.
    if (m_viewOnly || m_model->isViewOnly() || !m_document) {
        emit message(tr("PixInsight is running, so nothing was copied. Close PixInsight, then "
                        "copy again."));
        return;
    }
    emit message(copyCompared(*m_model, comparison, positions, from));
    // The copied values no longer differ.
    compareSelected();
}

} // namespace vrn
