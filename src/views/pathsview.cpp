#include "views/pathsview.h"

#include "document/xsdtdocument.h"
#include "model/backgroundjob.h"
#include "model/settingsmodel.h"

#include <QCheckBox>
#include <QDir>
#include <QFormLayout>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QSet>
#include <QSplitter>
#include <QTimer>
#include <QTreeWidget>
#include <QVBoxLayout>

namespace vrn {

namespace {

constexpr int kGroupRole = Qt::UserRole;
constexpr int kNodeRole = Qt::UserRole + 1;

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

QTreeWidget *makeTree(const QStringList &headers, QWidget *parent)
{
    auto *tree = new QTreeWidget(parent);
    tree->setColumnCount(int(headers.size()));
    tree->setHeaderLabels(headers);
    tree->setAlternatingRowColors(true);
    tree->setUniformRowHeights(true);
    QHeaderView *header = tree->header();
    header->setStretchLastSection(false);
    for (int column = 0; column < headers.size(); ++column)
        header->setSectionResizeMode(column, column == 0 ? QHeaderView::Stretch
                                                         : QHeaderView::ResizeToContents);
    return tree;
}

} // namespace

PathsView::PathsView(SettingsModel *model, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_env(HealthEnv::system())
    , m_scan(std::make_unique<BackgroundJob>(this))
{
    auto *layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 6, 0, 0);
    auto *intro = new QLabel(
        tr("Values in this file that name a file or folder, grouped by folder, and whether each "
           "is there on this computer. After a move to a new drive or computer, replace the old "
           "beginning of the paths with the new one below."),
        this);
    intro->setWordWrap(true);
    layout->addWidget(intro);

    auto *row = new QHBoxLayout;
    m_status = new QLabel(this);
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
    m_tree = makeTree({tr("Path"), tr("Setting"), tr("On this computer")}, top);
    m_tree->setRootIsDecorated(true);
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
    m_oldPrefix->setPlaceholderText(native(QStringLiteral("/media/old/astro")));
    form->addRow(tr("Old beginning:"), m_oldPrefix);
    m_newPrefix = new QLineEdit(m_replaceBox);
    m_newPrefix->setPlaceholderText(native(QStringLiteral("/home/astro/data")));
    form->addRow(tr("New beginning:"), m_newPrefix);
    box->addLayout(form);
    auto *buttons = new QHBoxLayout;
    m_previewStatus = new QLabel(m_replaceBox);
    m_previewStatus->setWordWrap(true);
    buttons->addWidget(m_previewStatus, 1);
    m_previewButton = new QPushButton(tr("Preview"), m_replaceBox);
    buttons->addWidget(m_previewButton, 0, Qt::AlignTop);
    box->addLayout(buttons);
    m_previewTree =
        makeTree({tr("Before"), tr("After"), tr("New path exists"), tr("Setting")}, m_replaceBox);
    m_previewTree->setRootIsDecorated(false);
    m_previewTree->header()->setSectionResizeMode(1, QHeaderView::Stretch);
    m_previewTree->hide();
    box->addWidget(m_previewTree, 1);
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
    m_folderCount = -1;
    m_values.clear();
    m_groups.clear();
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
    const XsdtDocument *document = m_document;
    const HealthEnv env = m_env;
    m_scan->start([this, document, env](const std::atomic_bool &cancelled) {
        auto values = std::make_shared<QList<PathValue>>(pathValues(*document, env, &cancelled));
        return [this, document, values] {
            if (document == m_document) // a result for a file that has gone is dropped
                takeScan(std::move(*values));
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

void PathsView::takeScan(QList<PathValue> values)
{
    m_values = std::move(values);
    m_scanned = true;
    m_folderCount =
        m_missingOnly->isChecked() ? groupByFolder(m_values, m_env.windowsPaths).size() : -1;
    showGroups();
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
    m_groups = groupByFolder(m_values, m_env.windowsPaths, m_missingOnly->isChecked());
    if (m_folderCount < 0)
        m_folderCount = m_groups.size();
    qsizetype missing = 0;
    for (const PathValue &value : std::as_const(m_values))
        missing += value.exists ? 0 : 1;
    QString empty;
    if (!m_document)
        empty = tr("Open a settings file to see the paths it holds.");
    else if (!m_scanned)
        empty = tr("Looking for paths in the file...");
    else if (m_values.isEmpty())
        empty = tr("This file holds no values that name a file or folder.");
    else if (m_groups.isEmpty())
        empty = tr("Every path in this file is there on this computer.");
    m_empty->setText(empty);
    m_empty->setVisible(!empty.isEmpty());
    m_tree->setVisible(empty.isEmpty());

    QList<QTreeWidgetItem *> items;
    items.reserve(m_groups.size());
    for (qsizetype i = 0; i < m_groups.size(); ++i) {
        const PathGroup &group = m_groups.at(i);
        auto *item = new QTreeWidgetItem;
        item->setText(0, native(group.folder));
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
        m_status->setText(tr("Paths: %n. Folders: %1. Missing on this computer: %2.", nullptr,
                             int(m_values.size()))
                              .arg(m_folderCount)
                              .arg(missing));
    updateControls();
}

void PathsView::fillGroup(QTreeWidgetItem *item)
{
    if (item->parent() || item->childCount() > 0)
        return;
    const qsizetype index = item->data(0, kGroupRole).toLongLong();
    if (index < 0 || index >= m_groups.size())
        return;
    QList<QTreeWidgetItem *> children;
    for (const PathValue &value : m_groups.at(index).values) {
        auto *child = new QTreeWidgetItem;
        child->setText(0, native(value.node->value));
        child->setText(1, value.node->path());
        child->setText(2, value.exists ? tr("Found") : tr("Missing"));
        child->setToolTip(0, native(value.node->value));
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
    QString error;
    if (!planPrefixReplacement(m_values, QDir::fromNativeSeparators(oldPrefix),
                               QDir::fromNativeSeparators(newPrefix), m_env, &m_plan, &error)) {
        m_previewStatus->setText(error);
        return;
    }
    if (m_plan.isEmpty()) {
        m_previewStatus->setText(tr("No path in this file begins with %1.").arg(native(oldPrefix)));
        return;
    }
    QList<QTreeWidgetItem *> rows;
    qsizetype missing = 0;
    for (const PathReplacement &change : std::as_const(m_plan)) {
        auto *row = new QTreeWidgetItem;
        row->setText(0, native(change.before));
        row->setText(1, native(change.after));
        row->setText(2, change.newPathExists ? tr("Yes") : tr("No"));
        row->setText(3, change.node->path());
        row->setToolTip(1, native(change.after));
        rows.append(row);
        missing += change.newPathExists ? 0 : 1;
    }
    m_previewTree->addTopLevelItems(rows);
    m_previewTree->show();
    // The preview is what the user reads now: it gets most of the height.
    const int height = m_splitter->height();
    m_splitter->setSizes({height / 3, height - height / 3});
    QString text = tr("Values that would change: %n.", nullptr, int(m_plan.size()));
    if (missing > 0)
        text += QLatin1Char(' ') +
                tr("New paths not found on this computer: %n.", nullptr, int(missing));
    m_previewStatus->setText(text);
    updateControls();
}

bool PathsView::confirmReplacement()
{
    if (m_plan.isEmpty() || m_viewOnly)
        return false;
    const QList<PathReplacement> plan = m_plan;
    clearPreview();
    int made = 0;
    int skipped = 0;
    m_model->beginBatch(
        [](int changes) { return tr("replacement of %n path beginnings", nullptr, changes); });
    for (const PathReplacement &change : plan) {
        // A value changed since the preview was shown is left as it is now.
        if (change.node->isDeleted() || change.node->value != change.before ||
            !m_model->setData(m_model->indexForNode(change.node, 1), change.after, Qt::EditRole))
            ++skipped;
        else
            ++made;
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
    m_plan.clear();
    m_previewTree->clear();
    m_previewTree->hide();
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
    m_replaceButton->setEnabled(usable && !m_plan.isEmpty());
    m_cancelButton->setEnabled(!m_plan.isEmpty());
    if (m_viewOnly && m_document)
        m_previewStatus->setText(tr("PixInsight is running: view only."));
}

} // namespace vrn
