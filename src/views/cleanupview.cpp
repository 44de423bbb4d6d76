#include "views/cleanupview.h"

#include "document/xsdtdocument.h"
#include "document/xsdtwriter.h"
#include "knowledge/deletionpolicy.h"
#include "model/settingsmodel.h"
#include "widgets/dialogs.h"

#include <QElapsedTimer>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QPushButton>
#include <QTimer>
#include <QTreeView>
#include <QVBoxLayout>

#include <utility>

namespace vrn {

namespace {

// Sizes are worked out on the GUI thread, as values may change there meanwhile, in slices of
// about this long.
constexpr qint64 kSliceMs = 30;

// A change below a closed row shows nowhere, but the tree looks for each row of it among those
// it lists before it finds that out: ticking all the window positions of a 50 MB file that way
// took a third of a second.
class CleanupTree : public QTreeView
{
public:
    using QTreeView::QTreeView;

protected:
    void dataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight,
                     const QList<int> &roles) override
    {
        for (QModelIndex above = topLeft.parent(); above.isValid(); above = above.parent()) {
            if (!isExpanded(above))
                return;
        }
        QTreeView::dataChanged(topLeft, bottomRight, roles);
    }
};

std::vector<XsdtNode *> tickedNodes(const CleanupRows::List &list)
{
    std::vector<XsdtNode *> nodes;
    for (quint32 e = 0; e < list.entries.size(); ++e) {
        if (!list.entries[e].ticked)
            continue;
        for (const CleanupRows::List::Node &node : list.nodesOf(e))
            nodes.push_back(node.node);
    }
    return nodes;
}

} // namespace

CleanupView::CleanupView(SettingsModel *model, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
{
    QVBoxLayout *layout = pageLayout(
        tr("Tick what you want to remove and press <b>Queue for deletion</b>. Nothing is removed "
           "until you save, and queued entries can be undone here or with <i>Edit &gt; Revert "
           "all changes</i>."),
        Qt::RichText);

    m_rows = new CleanupRows(this);
    m_tree = new CleanupTree(this);
    m_tree->setModel(m_rows);
    m_tree->setRootIsDecorated(true);
    m_tree->setAlternatingRowColors(true);
    m_tree->setUniformRowHeights(true);
    QHeaderView *header = m_tree->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    for (int column = 1; column < 4; ++column)
        header->setSectionResizeMode(column, QHeaderView::ResizeToContents);
    // Fitted to the rows on screen: measuring a thousand rows of every column again each time
    // the page is shown made switching to it slow.
    header->setResizeContentsPrecision(0);
    layout->addWidget(m_tree, 1);

    auto *row = new QHBoxLayout;
    m_statusLabel = new QLabel(this);
    m_statusLabel->setWordWrap(true);
    row->addWidget(m_statusLabel, 1);
    m_undoButton = new QPushButton(tr("Undo queued deletion"), this);
    row->addWidget(m_undoButton);
    m_queueButton = new QPushButton(tr("Queue for deletion"), this);
    row->addWidget(m_queueButton);
    layout->addLayout(row);

    connect(m_queueButton, &QPushButton::clicked, this, &CleanupView::queueTicked);
    connect(m_undoButton, &QPushButton::clicked, this, &CleanupView::undoTicked);
    // A bulk queue is one edit per node: the status is worked out once after such a burst.
    connect(m_model, &SettingsModel::edited, this, &CleanupView::scheduleStatus);
    connect(m_rows, &CleanupRows::ticksChanged, this, &CleanupView::scheduleStatus);
    // An entry taken out is held by the undo step that took it, and freed with that step: the
    // list lets go of it at once. The list is made on a worker, which must not read the tree
    // while it changes shape; it is made again once the change is done.
    connect(m_model, &SettingsModel::rowsAboutToBeRemoved, this, &CleanupView::dropList);
    connect(m_model, &SettingsModel::rowsAboutToBeInserted, this, [this] {
        if (isBuilding())
            dropList();
    });
    const auto buildAgain = [this] {
        if (m_stale && isVisible())
            startBuild();
    };
    connect(m_model, &SettingsModel::rowsRemoved, this, buildAgain);
    connect(m_model, &SettingsModel::rowsInserted, this, buildAgain);
    updateStatus();
}

void CleanupView::dropList()
{
    m_job.stop();
    m_rows->setList(nullptr);
    m_unmeasured.reset();
    m_stale = m_document && m_model->policy();
    scheduleStatus();
}

QString CleanupView::sizeText(qint64 bytes)
{
    return CleanupRows::sizeText(bytes);
}

void CleanupView::setDocument(XsdtDocument *document)
{
    m_job.stop(); // whatever it found belongs to the document that goes
    m_rows->setList(nullptr);
    m_unmeasured.reset();
    m_document = document;
    m_stale = document && m_model->policy();
    if (m_stale && isVisible())
        startBuild();
    updateStatus();
}

void CleanupView::showEvent(QShowEvent *event)
{
    TaskPage::showEvent(event);
    if (m_stale)
        startBuild();
    else if (m_statusStale)
        updateStatus();
}

void CleanupView::ensureBuilt()
{
    if (m_stale)
        startBuild();
    if (m_job.isRunning())
        m_job.finishNow();
    if (m_unmeasured)
        measureSome(true);
    if (m_statusPending)
        updateStatus();
}

void CleanupView::startBuild()
{
    m_stale = false;
    m_unmeasured.reset();
    const DeletionPolicy *policy = m_model->policy();
    XsdtDocument *document = m_document;
    m_job.start([this, policy, document](const std::atomic_bool &cancelled) {
        std::shared_ptr<CleanupRows::List> list = CleanupRows::plan(*policy, *document, cancelled);
        if (!list)
            return BackgroundJob::Finish();
        return BackgroundJob::Finish([this, list] {
            m_unmeasured = list;
            m_measured = 0;
            measureSome(false);
        });
    });
    updateStatus();
}

// The sizes a slice at a time; the rows then come all at once.
void CleanupView::measureSome(bool all)
{
    QElapsedTimer clock;
    clock.start();
    const std::shared_ptr<CleanupRows::List> run = m_unmeasured;
    std::vector<CleanupRows::List::Node> &nodes = run->nodes;
    while (m_measured < qsizetype(nodes.size())) {
        CleanupRows::List::Node &node = nodes[size_t(m_measured++)];
        node.bytes = serializedSize(node.node);
        if (all || m_measured == qsizetype(nodes.size()))
            continue;
        if (m_sliceRule ? m_sliceRule(m_measured) : clock.elapsed() >= kSliceMs) {
            QTimer::singleShot(0, this, [this, run] {
                if (m_unmeasured == run) // not replaced by a newer document meanwhile
                    measureSome(false);
            });
            return;
        }
    }
    m_unmeasured.reset();
    m_rows->setList(std::make_unique<CleanupRows::List>(std::move(*run)));
    m_tree->expand(m_rows->index(0, 0));
    m_tree->expand(m_rows->index(1, 0));
    // Looking at every entry's marks takes a tenth of a second at 300 MB: on a turn of its own
    // unless the list is wanted at once.
    if (all)
        updateStatus();
    else
        scheduleStatus();
}

void CleanupView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    updateStatus();
}

void CleanupView::tickAll(bool skipNeedingConfirmation)
{
    ensureBuilt();
    m_rows->tickAll(skipNeedingConfirmation);
    updateStatus();
}

void CleanupView::scheduleStatus()
{
    // Every entry's status is looked at again, which takes a good part of a second for a
    // large file: behind another page of the shown window it waits until this one is shown.
    if (window()->isVisible() && !isVisible()) {
        m_statusStale = true;
        return;
    }
    if (m_statusPending)
        return;
    m_statusPending = true;
    QTimer::singleShot(0, this, [this] {
        if (m_statusPending)
            updateStatus();
    });
}

void CleanupView::updateStatus()
{
    m_statusPending = false;
    m_statusStale = false;
    m_rows->setEnabled(!m_viewOnly);
    const CleanupRows::Marks marks = m_rows->takeMarks();
    // The Status column fits its texts again: the header does not follow the rows' texts.
    if (marks.statusChanged)
        QMetaObject::invokeMethod(m_tree->header(), "resizeSections", Qt::QueuedConnection);
    if (m_document && isBuilding()) {
        m_queueButton->setEnabled(false);
        m_undoButton->setEnabled(false);
        m_statusLabel->setText(
            tr("Still looking through this file for what can be cleaned; the list follows in a "
               "moment..."));
        return;
    }
    qint64 tickedBytes = 0;
    int tickedNodes = 0;
    // Undo only where a ticked entry holds a mark of its own to take back.
    bool undoable = false;
    if (const CleanupRows::List *list = m_rows->list()) {
        for (quint32 e = 0; e < list->entries.size(); ++e) {
            if (!list->entries[e].ticked)
                continue;
            for (const CleanupRows::List::Node &node : list->nodesOf(e)) {
                tickedBytes += node.bytes;
                undoable |= node.node->pendingDelete;
                ++tickedNodes;
            }
        }
    }
    if (m_viewOnly) {
        m_queueButton->setEnabled(false);
        m_undoButton->setEnabled(false);
        m_statusLabel->setText(tr("PixInsight is running: view only."));
    } else if (tickedNodes > 0) {
        m_queueButton->setEnabled(true);
        m_undoButton->setEnabled(undoable);
        m_statusLabel->setText(
            tr("Ticked: %n entries (about %1)", nullptr, tickedNodes).arg(sizeText(tickedBytes)));
    } else {
        m_queueButton->setEnabled(false);
        m_undoButton->setEnabled(false);
        m_statusLabel->setText(tr("%n entries queued for deletion", nullptr, marks.queued));
    }
}

void CleanupView::queueTicked()
{
    const CleanupRows::List *list = m_rows->list();
    if (!list)
        return;
    QStringList needing;
    for (quint32 e = list->firstSaved; e < list->entries.size(); ++e) {
        if (list->entries[e].ticked)
            needing.append(m_rows->entryLabel(e));
    }
    if (!needing.isEmpty() && m_confirmSavedSettings) {
        Dialogs::Message ask;
        ask.icon = QMessageBox::Warning;
        ask.title = tr("Delete saved settings?");
        ask.text =
            tr("This removes the saved configuration of %n tools or scripts. They will start "
               "from their defaults.",
               nullptr, int(needing.size()));
        ask.informativeText =
            tr("Nothing is removed until you save, and you can undo it before then.");
        ask.detailedText = needing.join(QLatin1Char('\n'));
        ask.buttons = QMessageBox::Yes | QMessageBox::Cancel;
        ask.defaultButton = QMessageBox::Cancel;
        const auto answer = Dialogs::message(this, ask);
        if (answer != QMessageBox::Yes)
            return;
    }
    const std::vector<XsdtNode *> nodes = tickedNodes(*list);
    QString firstRefusal;
    m_model->beginBatch([](int changes) { return tr("cleanup of %n entries", nullptr, changes); });
    const int queued =
        m_model->queueDeletions(nodes, [&firstRefusal](XsdtNode *, const QString &why) {
            if (firstRefusal.isEmpty())
                firstRefusal = why;
        });
    m_rows->untickAll();
    m_model->endBatch();
    if (!firstRefusal.isEmpty())
        emit message(tr("Some entries were refused: %1").arg(firstRefusal));
    else
        emit message(tr("Queued %n entries for deletion. Save to apply.", nullptr, queued));
    updateStatus();
}

void CleanupView::undoTicked()
{
    const CleanupRows::List *list = m_rows->list();
    if (!list)
        return;
    m_model->beginBatch(
        [](int changes) { return tr("cancelled cleanup of %n entries", nullptr, changes); });
    m_model->undoDeletions(tickedNodes(*list));
    m_rows->untickAll();
    m_model->endBatch();
    updateStatus();
}

} // namespace vrn
