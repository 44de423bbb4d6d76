#include "views/pathsview.h"

#include "document/xsdtdocument.h"
#include "knowledge/backgroundjob.h"
#include "model/settingsmodel.h"
#include "store/nativepath.h"

#include <QAbstractTableModel>
#include <QCheckBox>
#include <QDir>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPushButton>
#include <QSet>
#include <QSplitter>
#include <QTimer>
#include <QTreeView>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>

namespace vrn {

namespace {

constexpr int kGroupRole = Qt::UserRole;
constexpr int kNodeRole = Qt::UserRole + 1;

// The first `stretched` columns share the width; the others start `widths` characters wide.
// Sized to their contents they would measure a thousand rows at every change of the list.
void layOutColumns(QTreeView *view, int stretched, const QList<int> &widths)
{
    QHeaderView *header = view->header();
    header->setStretchLastSection(false);
    const int unit = view->fontMetrics().horizontalAdvance(QLatin1Char('x'));
    for (int column = 0; column < stretched + widths.size(); ++column) {
        if (column < stretched) {
            header->setSectionResizeMode(column, QHeaderView::Stretch);
            continue;
        }
        header->setSectionResizeMode(column, QHeaderView::Interactive);
        header->resizeSection(column, unit * widths.at(column - stretched));
    }
}

} // namespace

// The planned changes as rows; a setting's path is only made for the rows on screen.
class PathsView::PreviewModel : public QAbstractTableModel
{
public:
    enum { Columns = 4 };
    using QAbstractTableModel::QAbstractTableModel;

    const QList<PathReplacement> &plan() const { return m_plan; }
    void setPlan(QList<PathReplacement> plan)
    {
        beginResetModel();
        m_plan = std::move(plan);
        endResetModel();
    }
    int rowCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : int(m_plan.size());
    }
    int columnCount(const QModelIndex &parent = {}) const override
    {
        return parent.isValid() ? 0 : Columns;
    }
    QVariant data(const QModelIndex &index, int role) const override
    {
        if (!index.isValid() || (role != Qt::DisplayRole && role != Qt::ToolTipRole))
            return {};
        const PathReplacement &change = m_plan.at(index.row());
        switch (index.column()) {
        case 0:
            return nativePath(change.before);
        case 1:
            // Refused values are listed after the changes, each with its reason.
            if (!change.refusal.isEmpty())
                return PathsView::tr("Not changed: %1").arg(change.refusal);
            return nativePath(change.after);
        case 2:
            if (!change.refusal.isEmpty())
                return QVariant();
            return change.newPathExists ? PathsView::tr("Yes") : PathsView::tr("No");
        default:
            return change.node->path();
        }
    }
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override
    {
        if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
            return {};
        const QString titles[] = {PathsView::tr("Before"), PathsView::tr("After"),
                                  PathsView::tr("New path exists"), PathsView::tr("Setting")};
        return section >= 0 && section < Columns ? titles[section] : QVariant();
    }

private:
    QList<PathReplacement> m_plan;
};

PathsView::PathsView(SettingsModel *model, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_env(HealthEnv::system())
    , m_scan(std::make_unique<BackgroundJob>(this))
    , m_planJob(std::make_unique<BackgroundJob>(this))
    , m_previewModel(new PreviewModel(this))
{
    QVBoxLayout *layout = pageLayout(
        tr("Values in this file that name a file or folder, grouped by folder, and whether each "
           "is there on this computer. After a move to a new drive or computer, replace the old "
           "beginning of the paths with the new one below."));

    auto *row = new QHBoxLayout;
    m_status = new QLabel(this);
    m_status->setWordWrap(true);
    row->addWidget(m_status, 1);
    m_missingOnly = new QCheckBox(tr("Missing only"), this);
    row->addWidget(m_missingOnly);
    layout->addLayout(row);

    // The list and the replacement share the height; the user decides which gets more.
    auto *splitter = m_splitter = new QSplitter(Qt::Vertical, this);
    splitter->setChildrenCollapsible(false);
    auto *top = new QWidget(splitter);
    auto *topLayout = new QVBoxLayout(top);
    topLayout->setContentsMargins(0, 0, 0, 0);
    m_tree = new QTreeWidget(top);
    m_tree->setHeaderLabels({tr("Path"), tr("Setting"), tr("On this computer")});
    m_tree->setAlternatingRowColors(true);
    m_tree->setUniformRowHeights(true);
    layOutColumns(m_tree, 1, {44, 18});
    topLayout->addWidget(m_tree, 1);
    m_empty = new QLabel(top);
    m_empty->setWordWrap(true);
    m_empty->setAlignment(Qt::AlignTop | Qt::AlignLeft);
    m_empty->hide();
    topLayout->addWidget(m_empty, 1);
    splitter->addWidget(top);
    layout->addWidget(splitter, 1);

    m_replaceBox = new QGroupBox(tr("Replace the beginning of paths"), splitter);
    auto *box = new QVBoxLayout(m_replaceBox);
    auto *form = new QFormLayout;
    m_oldPrefix = new QLineEdit(m_replaceBox);
    m_oldPrefix->setPlaceholderText(nativePath(QStringLiteral("/media/old/astro")));
    form->addRow(tr("Old beginning:"), m_oldPrefix);
    m_newPrefix = new QLineEdit(m_replaceBox);
    m_newPrefix->setPlaceholderText(nativePath(QStringLiteral("/home/astro/data")));
    form->addRow(tr("New beginning:"), m_newPrefix);
    box->addLayout(form);
    auto *buttons = new QHBoxLayout;
    m_previewStatus = new QLabel(m_replaceBox);
    m_previewStatus->setWordWrap(true);
    buttons->addWidget(m_previewStatus, 1);
    m_previewButton = new QPushButton(tr("Preview"), m_replaceBox);
    buttons->addWidget(m_previewButton, 0, Qt::AlignTop);
    box->addLayout(buttons);
    // A model over the plan, not an item per row: a moved home folder changes thousands.
    m_previewView = new QTreeView(m_replaceBox);
    m_previewView->setModel(m_previewModel);
    m_previewView->setRootIsDecorated(false);
    m_previewView->setUniformRowHeights(true);
    m_previewView->setAlternatingRowColors(true);
    // Long paths keep their beginning and their file name; the setting's path gives way first.
    m_previewView->setTextElideMode(Qt::ElideMiddle);
    layOutColumns(m_previewView, 2, {16, 30});
    m_previewView->hide();
    box->addWidget(m_previewView, 1);
    auto *confirm = new QHBoxLayout;
    confirm->addStretch(1);
    m_cancelButton = new QPushButton(tr("Cancel"), m_replaceBox);
    m_replaceButton = new QPushButton(tr("Replace"), m_replaceBox);
    confirm->addWidget(m_cancelButton);
    confirm->addWidget(m_replaceButton);
    box->addLayout(confirm);
    splitter->addWidget(m_replaceBox);
    splitter->setStretchFactor(0, 1);

    connect(m_missingOnly, &QCheckBox::toggled, this, &PathsView::showGroups);
    connect(m_tree, &QTreeWidget::itemExpanded, this, &PathsView::fillGroup);
    connect(m_tree, &QTreeWidget::itemActivated, this, [this](QTreeWidgetItem *item) {
        if (auto *node = reinterpret_cast<XsdtNode *>(item->data(0, kNodeRole).value<quintptr>()))
            emit revealRequested(node);
    });
    connect(m_previewButton, &QPushButton::clicked, this, &PathsView::onPreview);
    connect(m_oldPrefix, &QLineEdit::returnPressed, this, &PathsView::onPreview);
    connect(m_newPrefix, &QLineEdit::returnPressed, this, &PathsView::onPreview);
    connect(m_cancelButton, &QPushButton::clicked, this, &PathsView::clearPreview);
    connect(m_replaceButton, &QPushButton::clicked, this, &PathsView::confirmReplacement);
    // The scan reads values the edit is about to write: it stops first, and the edit that
    // follows asks for a fresh one.
    connect(m_model, &SettingsModel::aboutToChange, this, [this] {
        if (m_scan->isRunning()) {
            m_scan->stop();
            m_rescanPending = false;
            m_interrupted = true;
        }
    });
    connect(m_model, &SettingsModel::resumeWork, this, [this] {
        if (!std::exchange(m_interrupted, false) || !m_document)
            return;
        if (isVisible())
            startScan();
        else
            m_stale = true;
    });
    // A change anywhere may add, remove or alter a path: search again once the burst is over.
    connect(m_model, &SettingsModel::edited, this, [this] {
        if (!m_document || m_rescanPending)
            return;
        // Out of sight the page only notes that it is behind; it looks again when shown.
        if (!isVisible()) {
            m_stale = true;
            return;
        }
        m_rescanPending = true;
        QTimer::singleShot(0, this, [this] {
            if (m_rescanPending && m_document)
                startScan();
        });
    });
    setDocument(nullptr);
}

PathsView::~PathsView() = default;

void PathsView::setEnvironment(const HealthEnv &environment)
{
    m_env = environment;
    if (m_document)
        startScan();
}

void PathsView::setDocument(XsdtDocument *document)
{
    // The worker reads the old document: it must have stopped before that document goes.
    m_scan->stop();
    m_rescanPending = false;
    m_document = document;
    m_scanned = false;
    // A large file's paths take tens of milliseconds to let go of.
    freeAside(std::make_tuple(std::exchange(m_values, {}), std::exchange(m_allGroups, {}),
                              std::exchange(m_missingGroups, {})));
    m_missingCount = 0;
    m_tree->clear();
    clearPreview();
    if (document)
        startScan();
    else
        showGroups();
}

void PathsView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    updateControls();
}

void PathsView::showEvent(QShowEvent *event)
{
    TaskPage::showEvent(event);
    if (m_stale && m_document)
        startScan();
}

void PathsView::startScan()
{
    m_rescanPending = false;
    m_stale = false;
    m_interrupted = false;
    const XsdtDocument *document = m_document;
    const HealthEnv env = m_env;
    m_scan->start([this, document, env](const std::atomic_bool &cancelled) {
        // Grouped here too: at 50 MB that is tens of thousands of paths.
        auto scan = std::make_shared<Scan>();
        scan->values = pathValues(*document, env, &cancelled);
        scan->all = groupByFolder(scan->values, env.windowsPaths);
        scan->missing = groupByFolder(scan->values, env.windowsPaths, true);
        return [this, document, scan] {
            if (document == m_document) // a result for a file that has gone is dropped
                takeScan(std::move(*scan));
        };
    });
    if (m_scanned)
        m_status->setText(tr("Looking for paths in the file again after the last change..."));
    updateControls();
}

bool PathsView::isScanning() const
{
    return m_scan->isRunning();
}

void PathsView::finishScan()
{
    if (m_scan->isRunning())
        m_scan->finishNow();
}

void PathsView::takeScan(Scan scan)
{
    m_values = std::move(scan.values);
    m_allGroups = std::move(scan.all);
    m_missingGroups = std::move(scan.missing);
    m_missingCount = 0;
    for (const PathGroup &group : std::as_const(m_missingGroups))
        m_missingCount += group.missing;
    m_scanned = true;
    showGroups();
}

const QList<PathGroup> &PathsView::shownGroups() const
{
    return m_missingOnly->isChecked() ? m_missingGroups : m_allGroups;
}

void PathsView::showGroups()
{
    // Folders the user opened stay open when the list is made again after a change.
    QSet<QString> open;
    for (int i = 0; i < m_tree->topLevelItemCount(); ++i) {
        if (m_tree->topLevelItem(i)->isExpanded())
            open.insert(m_tree->topLevelItem(i)->text(0));
    }
    m_tree->clear();
    const QList<PathGroup> &groups = shownGroups();
    QString empty;
    if (!m_document)
        empty = tr("Open a settings file to see the paths it holds.");
    else if (!m_scanned)
        empty = tr("Looking for paths in the file...");
    else if (m_values.isEmpty())
        empty = tr("This file holds no values that name a file or folder.");
    else if (groups.isEmpty())
        empty = tr("Every path in this file is there on this computer.");
    m_empty->setText(empty);
    m_empty->setVisible(!empty.isEmpty());
    m_tree->setVisible(empty.isEmpty());

    QList<QTreeWidgetItem *> items;
    items.reserve(groups.size());
    for (qsizetype i = 0; i < groups.size(); ++i) {
        const PathGroup &group = groups.at(i);
        auto *item = new QTreeWidgetItem;
        item->setText(0, nativePath(group.folder));
        item->setText(1, tr("%n values", nullptr, int(group.values.size())));
        if (group.missing > 0)
            item->setText(2, tr("%n missing", nullptr, int(group.missing)));
        item->setData(0, kGroupRole, qlonglong(i));
        // The rows below a folder are made when it is opened: a large file holds thousands.
        item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
        items.append(item);
    }
    m_tree->addTopLevelItems(items);
    for (QTreeWidgetItem *item : std::as_const(items)) {
        if (open.contains(item->text(0)))
            item->setExpanded(true);
    }

    if (!m_document)
        m_status->clear();
    else if (!m_scanned)
        m_status->setText(tr("Looking for paths in the file..."));
    else if (isScanning())
        m_status->setText(tr("Looking for paths in the file again after the last change..."));
    else
        m_status->setText(
            tr("Paths: %n. Folders: %1. Missing on this computer: %2.", nullptr,
               int(m_values.size()))
                .arg(QLocale().toString(m_allGroups.size()), QLocale().toString(m_missingCount)));
    updateControls();
}

void PathsView::fillGroup(QTreeWidgetItem *item)
{
    if (item->parent() || item->childCount() > 0)
        return;
    const qsizetype index = item->data(0, kGroupRole).toLongLong();
    const QList<PathGroup> &groups = shownGroups();
    if (index < 0 || index >= groups.size())
        return;
    QList<QTreeWidgetItem *> children;
    for (const PathValue &value : groups.at(index).values) {
        auto *child = new QTreeWidgetItem;
        child->setText(0, nativePath(value.path));
        child->setText(1, value.node->path());
        child->setText(2, value.exists ? tr("Found") : tr("Missing"));
        child->setToolTip(0, nativePath(value.path));
        child->setData(0, kNodeRole, quintptr(value.node));
        children.append(child);
    }
    item->addChildren(children);
}

void PathsView::onPreview()
{
    preview(m_oldPrefix->text().trimmed(), m_newPrefix->text().trimmed());
}

void PathsView::preview(const QString &oldPrefix, const QString &newPrefix)
{
    if (m_oldPrefix->text().trimmed() != oldPrefix)
        m_oldPrefix->setText(oldPrefix);
    if (m_newPrefix->text().trimmed() != newPrefix)
        m_newPrefix->setText(newPrefix);
    clearPreview();
    if (!m_document)
        return;
    if (m_stale || m_rescanPending)
        startScan();
    finishScan();
    const QString from = QDir::fromNativeSeparators(oldPrefix);
    const QString to = QDir::fromNativeSeparators(newPrefix);
    const QList<PathMap> maps{{from, to}};
    QString error;
    if (!planPrefixReplacement(QList<PathValue>(), maps, m_env, nullptr, &error)) {
        m_previewStatus->setText(error);
        return;
    }
    // Thousands of new paths are looked up on disk: that is the worker's job.
    m_previewStatus->setText(tr("Working out what would change..."));
    const QList<PathValue> values = m_values;
    const HealthEnv env = m_env;
    const XsdtDocument *document = m_document;
    // Each value is checked as Replace will check it, so the preview counts only what it does.
    const SettingsModel *model = m_model;
    const ValueCheck check = [model](const XsdtNode *node, const QString &text,
                                     QString *normalized) {
        return model->refusal(node, text, normalized);
    };
    m_planJob->start([=, this](const std::atomic_bool &) {
        auto plan = std::make_shared<QList<PathReplacement>>();
        planPrefixReplacement(values, maps, env, plan.get(), nullptr, check);
        return [this, document, plan, oldPrefix] {
            if (document == m_document)
                showPlan(std::move(*plan), oldPrefix);
        };
    });
}

void PathsView::showPlan(QList<PathReplacement> plan, const QString &oldPrefix)
{
    if (plan.isEmpty()) {
        m_previewStatus->setText(
            tr("No path in this file begins with %1.").arg(nativePath(oldPrefix)));
        return;
    }
    const auto refused =
        std::stable_partition(plan.begin(), plan.end(),
                              [](const auto &change) { return change.refusal.isEmpty(); }) -
        plan.begin();
    QSet<const XsdtNode *> refusedValues;
    for (auto change = plan.cbegin() + refused; change != plan.cend(); ++change)
        refusedValues.insert(change->node);
    m_previewModel->setPlan(std::move(plan));
    const QList<PathReplacement> &shown = m_previewModel->plan();
    const auto missing = std::count_if(shown.begin(), shown.begin() + refused,
                                       [](const PathReplacement &c) { return !c.newPathExists; });
    m_previewView->show();
    // The splitter keeps the page's layout unaware that its least height grew with the
    // preview: told now, the page scrolls at large text sizes instead of squeezing the fields.
    m_splitter->updateGeometry();
    // The preview is what the user reads now: it gets all the height the folder list can
    // give up.
    const int height = qMax(m_splitter->height(), m_splitter->minimumSizeHint().height());
    const int folders = qMin(height / 3, m_splitter->widget(0)->minimumSizeHint().height());
    m_splitter->setSizes({folders, height - folders});
    QString text = tr("Paths that will change: %n.", nullptr, int(refused));
    if (!refusedValues.isEmpty())
        text += QLatin1Char(' ') + tr("Values that may not be changed, listed last: %n.", nullptr,
                                      int(refusedValues.size()));
    if (missing > 0)
        text += QLatin1Char(' ') +
                tr("New paths not found on this computer: %n.", nullptr, int(missing));
    m_previewStatus->setText(text);
    updateControls();
}

bool PathsView::isPreviewing() const
{
    return m_planJob->isRunning();
}

void PathsView::finishPreview()
{
    if (m_planJob->isRunning())
        m_planJob->finishNow();
}

const QList<PathReplacement> &PathsView::plan() const
{
    return m_previewModel->plan();
}

bool PathsView::confirmReplacement()
{
    if (plan().isEmpty() || m_viewOnly)
        return false;
    const QList<PathReplacement> plan = this->plan();
    clearPreview();
    int made = 0;
    int skipped = 0;
    m_model->beginBatch(
        [](int changes) { return tr("replacement of %n path beginnings", nullptr, changes); });
    const XsdtNode *last = nullptr;
    bool changed = false;
    for (const PathReplacement &change : plan) {
        if (!change.refusal.isEmpty())
            continue; // listed apart in the preview, never tried
        // The paths of a value follow each other and change together. A value changed since
        // the preview was shown is left as it is now.
        if (change.node != last)
            changed = !change.node->isDeleted() && change.node->value == change.valueBefore &&
                      m_model->setData(m_model->indexForNode(change.node, 1), change.valueAfter,
                                       Qt::EditRole);
        last = change.node;
        ++(changed ? made : skipped);
    }
    m_model->endBatch();
    if (skipped == 0)
        emit message(tr("Paths changed: %n. Review and save when ready.", nullptr, made));
    else
        emit message(tr("Paths changed: %n. Not changed, because they were edited since the "
                        "preview or refused: %1. Review and save when ready.",
                        nullptr, made)
                         .arg(skipped));
    return made > 0;
}

void PathsView::clearPreview()
{
    m_planJob->stop();
    m_previewModel->setPlan({});
    m_previewView->hide();
    m_splitter->setSizes({m_splitter->height(), 0}); // the box keeps the height it needs
    m_previewStatus->clear();
    updateControls();
}

void PathsView::updateControls()
{
    const bool usable = m_document && !m_viewOnly;
    m_oldPrefix->setEnabled(usable);
    m_newPrefix->setEnabled(usable);
    m_previewButton->setEnabled(usable);
    m_replaceButton->setEnabled(usable && !plan().isEmpty() &&
                                plan().constFirst().refusal.isEmpty());
    m_cancelButton->setEnabled(!plan().isEmpty());
    if (m_viewOnly && m_document)
        m_previewStatus->setText(tr("PixInsight is running: view only."));
}

} // namespace vrn
