#include "views/unusedmodulesview.h"

#include "document/valuenodes.h"
#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "knowledge/modules.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "views/sizetext.h"
#include "widgets/collapsiblesection.h"
#include "widgets/dialogs.h"
#include "widgets/settingmenu.h"
#include "widgets/settingrow.h"

#include <QCheckBox>
#include <QDesktopServices>
#include <QDir>
#include <QFileInfo>
#include <QFutureWatcher>
#include <QHBoxLayout>
#include <QLabel>
#include <QPromise>
#include <QPushButton>
#include <QScrollArea>
#include <QStyle>
#include <QStyleOptionButton>
#include <QToolButton>
#include <QUrl>
#include <QVBoxLayout>

#include <algorithm>
#include <memory>

namespace vrn {

namespace {

// A tick whose text is a path: shortened in the middle to the room it gets, so a long path
// never runs into the size beside it; the whole path is its accessible name.
class PathCheckBox : public QCheckBox
{
public:
    PathCheckBox(const QString &path, QWidget *parent)
        : QCheckBox(path, parent)
        , m_path(path)
    {
        setAccessibleName(path);
        setSizePolicy(QSizePolicy::Ignored, sizePolicy().verticalPolicy());
    }

    QSize sizeHint() const override
    {
        QStyleOptionButton option;
        initStyleOption(&option);
        option.text = m_path;
        return style()->sizeFromContents(
            QStyle::CT_CheckBox, &option,
            QSize(fontMetrics().horizontalAdvance(m_path), fontMetrics().height()), this);
    }

protected:
    void resizeEvent(QResizeEvent *event) override
    {
        QCheckBox::resizeEvent(event);
        elide();
    }
    void changeEvent(QEvent *event) override
    {
        QCheckBox::changeEvent(event);
        if (event->type() == QEvent::FontChange || event->type() == QEvent::StyleChange)
            elide();
    }

private:
    void elide()
    {
        QStyleOptionButton option;
        initStyleOption(&option);
        const QRect contents = style()->subElementRect(QStyle::SE_CheckBoxContents, &option, this);
        const QString shown =
            fontMetrics().elidedText(m_path, Qt::ElideMiddle, qMax(0, width() - contents.left()));
        if (shown != text())
            setText(shown);
    }

    QString m_path;
};

QLabel *boldLabel(const QString &text, QWidget *parent)
{
    auto *label = new QLabel(text, parent);
    QFont font = label->font();
    font.setBold(true);
    label->setFont(font);
    return label;
}

} // namespace

UnusedModulesView::UnusedModulesView(SettingsModel *model, Schema *schema, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_schema(schema)
{
    QVBoxLayout *layout = pageLayout(
        tr("Modules that still have saved data but are <b>not in PixInsight's current module "
           "list</b>: uninstalled, renamed or replaced. Expand one to see its entries and values. "
           "The list is what PixInsight last recorded, so a module that failed to load or was "
           "disabled for a while would appear here too. Nothing is removed until you save."));
    m_summary = new QLabel(this);
    m_summary->setWordWrap(true);
    m_summary->setWordWrap(true);
    layout->addWidget(m_summary);

    m_scroll = new QScrollArea(this);

    m_scroll->setFocusPolicy(Qt::NoFocus); // Tab goes from the controls above to the first row
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    auto *container = new QWidget(m_scroll);
    m_cardLayout = new QVBoxLayout(container);
    m_cardLayout->setContentsMargins(0, 0, 0, 0);
    m_cardLayout->setSpacing(2);
    m_cardLayout->addStretch(1);
    m_scroll->setWidget(container);
    layout->addWidget(m_scroll, 1);

    auto *buttons = new QHBoxLayout;
    m_tickAll = new QPushButton(tr("Tick all"), this);
    m_undo = new QPushButton(tr("Undo queued deletion"), this);
    m_queue = new QPushButton(tr("Queue ticked for deletion"), this);
    buttons->addWidget(m_tickAll);
    buttons->addStretch(1);
    buttons->addWidget(m_undo);
    buttons->addWidget(m_queue);
    layout->addLayout(buttons);

    connect(m_tickAll, &QPushButton::clicked, this, &UnusedModulesView::tickAll);
    connect(m_queue, &QPushButton::clicked, this, &UnusedModulesView::queueTicked);
    connect(m_undo, &QPushButton::clicked, this, &UnusedModulesView::undoTicked);
    connect(m_model, &SettingsModel::edited, this, &UnusedModulesView::updateStatus);
    connect(m_model, &SettingsModel::modelReset, this, [this] {
        for (SettingRow *row : std::as_const(m_rows))
            row->refresh();
        updateStatus();
    });
    connect(m_model, &SettingsModel::dataChanged, this, &UnusedModulesView::refreshRows);
    updateStatus();
}

QString UnusedModulesView::formatSize(qint64 bytes)
{
    return sizeText(bytes, 1, true);
}

void UnusedModulesView::setDocument(XsdtDocument *document)
{
    m_job.stop(); // whatever it found belongs to the document that goes
    m_stale = false;
    clearCards();
    m_document = document;
    if (!document)
        m_summary->clear();
    else
        refresh();
}

void UnusedModulesView::setFolders(const QString &settingsFolder, const QString &programFolder)
{
    if (settingsFolder == m_settingsFolder && programFolder == m_programFolder)
        return;
    m_settingsFolder = settingsFolder;
    m_programFolder = programFolder;
    if (m_document)
        refresh();
}

void UnusedModulesView::clearCards()
{
    for (Card &card : m_cards) {
        m_cardLayout->removeWidget(card.row);
        card.row->hide();
        card.row->deleteLater();
    }
    m_cards.clear();
    m_rows.clear();
}

// A module that left data behind, as found off the GUI thread.
struct UnusedModulesView::Found
{
    ModuleEntries record;
    qsizetype valueCount = 0;
    QList<LeftoverItem> items;
};

void UnusedModulesView::refresh()
{
    m_job.stop();
    clearCards();
    m_stale = m_document != nullptr;
    if (m_stale && isVisible())
        startBuild();
    updateStatus();
}

void UnusedModulesView::showEvent(QShowEvent *event)
{
    TaskPage::showEvent(event);
    if (m_stale)
        startBuild();
}

void UnusedModulesView::ensureBuilt()
{
    if (m_stale)
        startBuild();
    if (m_job.isRunning())
        m_job.finishNow();
}

void UnusedModulesView::startBuild()
{
    m_stale = false;
    // Keys and structure only, and the disk: values and marks may change on other pages
    // meanwhile, so the registry's values go along as they are now.
    m_job.start([this, document = m_document, registry = registryValues(*m_document),
                 programFolder = m_programFolder,
                 settingsFolder = m_settingsFolder](const std::atomic_bool &cancelled) {
        auto found = std::make_shared<QList<Found>>();
        for (ModuleEntries &record : unusedModuleData(*document, registry)) {
            if (cancelled)
                return BackgroundJob::Finish();
            Found module;
            module.valueCount = record.valueCount();
            module.items = findLeftovers(programFolder, settingsFolder, record.name, false);
            module.record = std::move(record);
            found->append(std::move(module));
        }
        return BackgroundJob::Finish([this, found] { makeCards(*found); });
    });
    updateStatus();
}

void UnusedModulesView::makeCards(const QList<Found> &found)
{
    m_cards.reserve(found.size());
    m_accessOnly.clear();
    QWidget *container = m_cardLayout->parentWidget();
    for (const Found &module : found) {
        const ModuleEntries &record = module.record;
        if (record.onlyAccessRecords() && module.items.isEmpty()) {
            m_accessOnly.append(record.name);
            continue;
        }
        Card card;
        card.name = record.name;
        card.nodes = record.nodes;
        card.valueCount = module.valueCount;
        card.byteSize = record.byteSize();
        card.items = module.items;

        card.row = new QWidget(container);
        auto *rowLayout = new QHBoxLayout(card.row);
        rowLayout->setContentsMargins(4, 2, 4, 2);
        card.tick = new QCheckBox(card.row);
        card.tick->setToolTip(tr("Tick to include in the bulk actions below."));
        rowLayout->addWidget(card.tick, 0, Qt::AlignTop);
        card.section = new CollapsibleSection(record.name, card.row);
        rowLayout->addWidget(card.section, 1);
        // As tall as the header button, so the box sits level with the module's name.
        card.tick->setFixedHeight(card.section->button()->sizeHint().height());
        m_cardLayout->insertWidget(m_cardLayout->count() - 1, card.row);
        // Found by its section, not by a reference: the vector may move while it fills.
        CollapsibleSection *section = card.section;
        section->setBuilder([this, section] {
            for (Card &c : m_cards) {
                if (c.section == section)
                    buildCard(c);
            }
        });
        connect(card.tick, &QCheckBox::toggled, this, &UnusedModulesView::updateStatus);
        m_cards.push_back(std::move(card));
    }
    startMeasuring();
    updateStatus();
}

void UnusedModulesView::startMeasuring()
{
    ++m_measureRun;
    m_unmeasured.clear();
    QList<LeftoverItem> items;
    for (const Card &card : m_cards) {
        for (const LeftoverItem &item : card.items) {
            items.append(item);
            m_unmeasured.insert(requestText(item));
        }
    }
    if (items.isEmpty())
        return;
    using Watcher = QFutureWatcher<QList<LeftoverItem>>;
    auto *watcher = new Watcher(this);
    const int run = m_measureRun;
    connect(watcher, &Watcher::finished, this, [this, watcher, run] {
        watcher->deleteLater();
        // A refresh since then started a count of its own.
        if (run == m_measureRun && watcher->future().resultCount() == 1)
            applySizes(watcher->result());
    });
    // Only copies cross: the worker reads the file system and nothing of this page.
    auto promise = std::make_shared<QPromise<QList<LeftoverItem>>>();
    watcher->setFuture(promise->future());
    runAside([promise, items]() mutable {
        promise->start();
        for (LeftoverItem &item : items)
            measure(item);
        promise->addResult(items);
        promise->finish();
    });
}

void UnusedModulesView::applySizes(const QList<LeftoverItem> &measuredItems)
{
    QHash<QString, LeftoverItem> byKey;
    for (const LeftoverItem &item : measuredItems)
        byKey.insert(requestText(item), item);
    for (Card &card : m_cards) {
        for (LeftoverItem &item : card.items) {
            const auto found = byKey.constFind(requestText(item));
            if (found != byKey.cend()) {
                item.size = found->size;
                item.fileCount = found->fileCount;
            }
        }
    }
    m_unmeasured.clear();
    updateStatus();
    emit measured();
}

void UnusedModulesView::addItemRow(Card &card, const LeftoverItem &item)
{
    QWidget *content = card.section->content();
    auto *row = new QWidget(content);
    auto *layout = new QHBoxLayout(row);
    layout->setContentsMargins(4, 0, 4, 0);
    auto *tick = new PathCheckBox(QDir::toNativeSeparators(item.path), row);
    tick->setToolTip(item.inInstallation
                         ? tr("Inside the PixInsight installation: deleting it needs "
                              "administrator permission.")
                         : tr("Tick to queue it for deletion."));
    layout->addWidget(tick, 1);
    auto *label = new QLabel(row);
    layout->addWidget(label);
    auto *open = new QToolButton(row);
    open->setAutoRaise(true);
    open->setIcon(style()->standardIcon(QStyle::SP_DirOpenIcon));
    open->setToolTip(tr("Open the folder in the file manager"));
    open->setAccessibleName(tr("Open folder"));
    const QString folder = item.isFolder ? item.path : QFileInfo(item.path).path();
    connect(open, &QToolButton::clicked, this,
            [folder] { QDesktopServices::openUrl(QUrl::fromLocalFile(folder)); });
    layout->addWidget(open);
    card.section->contentLayout()->addWidget(row);
    card.itemTicks.append(tick);
    card.itemLabels.append(label);
    connect(tick, &QCheckBox::toggled, this, &UnusedModulesView::updateStatus);
}

void UnusedModulesView::buildCard(Card &card)
{
    if (card.built)
        return;
    card.built = true;
    QWidget *content = card.section->content();
    QVBoxLayout *layout = card.section->contentLayout();
    if (!card.items.isEmpty()) {
        QLabel *title = boldLabel(tr("Files and folders left on disk"), content);
        title->setContentsMargins(4, 4, 0, 2);
        layout->addWidget(title);
        for (const LeftoverItem &item : std::as_const(card.items))
            addItemRow(card, item);
    }

    QList<XsdtNode *> nodes = card.nodes;
    std::stable_sort(nodes.begin(), nodes.end(), [](const XsdtNode *a, const XsdtNode *b) {
        return a->path().compare(b->path(), Qt::CaseInsensitive) < 0;
    });
    int rows = 0;
    qsizetype values = 0;
    for (XsdtNode *node : std::as_const(nodes)) {
        QList<XsdtNode *> held;
        collectValueNodes(node, held);
        values += held.size();
        QLabel *header =
            boldLabel(tr("%1  (%n values)", nullptr, int(held.size())).arg(node->path()), content);
        header->setContentsMargins(4, 8, 0, 2);
        header->setContextMenuPolicy(Qt::CustomContextMenu);
        connect(
            header, &QLabel::customContextMenuRequested, this,
            [this, header, node](const QPoint &pos) { showMenu(node, header->mapToGlobal(pos)); });
        layout->addWidget(header);
        for (XsdtNode *value : std::as_const(held)) {
            if (rows >= MaxRows)
                break;
            auto *row = new SettingRow(value, m_schema ? m_schema->info(value) : VariableInfo(),
                                       m_model, content);
            row->setShowPath(false);
            row->setViewOnly(m_viewOnly);
            connect(row, &SettingRow::rejected, this, &UnusedModulesView::message);
            connect(row, &SettingRow::menuRequested, this, &UnusedModulesView::showMenu);
            layout->addWidget(row);
            m_rows.insert(value, row);
            ++rows;
        }
    }
    if (values > rows) {
        auto *more = new QLabel(tr("...and %L1 more values. Use \"Show in All settings\" from the "
                                   "right-click menu to see the rest.")
                                    .arg(values - rows),
                                content);
        more->setContentsMargins(4, 4, 0, 4);
        layout->addWidget(more);
    }
    updateStatus();
}

void UnusedModulesView::showMenu(XsdtNode *node, const QPoint &globalPos)
{
    showPageMenu(this, m_model, node, globalPos, m_viewOnly);
}

void UnusedModulesView::refreshRows(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    if (m_rows.isEmpty())
        return;
    const QModelIndex parent = topLeft.parent();
    for (int r = topLeft.row(); r <= bottomRight.row(); ++r) {
        if (SettingRow *row = m_rows.value(m_model->nodeForIndex(m_model->index(r, 0, parent))))
            row->refresh();
    }
}

void UnusedModulesView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    for (SettingRow *row : std::as_const(m_rows))
        row->setViewOnly(viewOnly);
    updateStatus();
}

void UnusedModulesView::updateStatus()
{
    int queuedCards = 0;
    int tickedCards = 0;
    int tickedItems = 0;
    qint64 tickedSize = 0;
    for (Card &card : m_cards) {
        int marked = 0;
        for (const XsdtNode *node : std::as_const(card.nodes)) {
            if (node->isDeleted())
                ++marked;
        }
        QString title = tr("%1  -  %n values, %2", nullptr, int(card.valueCount))
                            .arg(card.name, formatSize(card.byteSize));
        if (std::any_of(card.items.cbegin(), card.items.cend(),
                        [](const LeftoverItem &item) { return item.inInstallation; }))
            title += tr("   (contains protected files)");
        if (marked > 0) {
            title += marked == card.nodes.size() ? tr("   [queued for deletion]")
                                                 : tr("   [partly queued for deletion]");
            ++queuedCards;
        }
        card.section->setTitle(title);
        if (card.tick->isChecked()) {
            ++tickedCards;
            tickedSize += card.byteSize;
        }
        card.tick->setEnabled(!m_viewOnly);
        for (int i = 0; i < card.itemTicks.size(); ++i) {
            const LeftoverItem &item = card.items.at(i);
            QString text;
            if (m_unmeasured.contains(requestText(item)))
                text = tr("%1, counting files...").arg(leftoverLabel(item.kind));
            else if (item.isFolder)
                text = tr("%1, %n files, %2", nullptr, item.fileCount)
                           .arg(leftoverLabel(item.kind), formatSize(item.size));
            else
                text = tr("%1, %2").arg(leftoverLabel(item.kind), formatSize(item.size));
            if (item.inInstallation)
                text += tr(" - protected");
            const bool queued = m_queuedFiles.contains(requestText(item));
            if (queued)
                text += tr("   [queued for deletion]");
            card.itemLabels.at(i)->setText(text);
            QCheckBox *tick = card.itemTicks.at(i);
            tick->setEnabled(!queued && !m_viewOnly);
            if (tick->isChecked())
                ++tickedItems;
        }
    }
    const bool anyTicked = tickedCards > 0 || tickedItems > 0;
    m_queue->setEnabled(!m_viewOnly && anyTicked);
    m_undo->setEnabled(!m_viewOnly && anyTicked);
    m_tickAll->setEnabled(!m_cards.empty());

    QString summary;
    if (!m_document) {
        m_summary->clear();
        return;
    }
    if (isBuilding()) {
        m_summary->setText(tr("Still looking for the data of modules that are no longer in the "
                              "module list; the list follows in a moment..."));
        return;
    }
    const int cards = int(m_cards.size());
    if (cards == 0)
        summary = tr("No unused module data: every module with saved data is in the module list.");
    else if (tickedCards == 0)
        summary = tr("%n unused modules; %1 queued for deletion", nullptr, cards).arg(queuedCards);
    else
        summary =
            tr("%n unused modules; %1 ticked (about %2); %3 queued for deletion", nullptr, cards)
                .arg(tickedCards)
                .arg(formatSize(tickedSize))
                .arg(queuedCards);
    if (!m_queuedFiles.isEmpty())
        summary += tr("; %n files or folders queued for deletion from disk", nullptr,
                      int(m_queuedFiles.size()));
    if (isMeasuring())
        summary += tr("; counting the files left on disk...");
    if (!m_accessOnly.isEmpty())
        summary += QLatin1Char('\n') +
                   tr("Only protected access records remain for %1: PixInsight keeps them, and "
                      "there is nothing to remove.")
                       .arg(m_accessOnly.join(QStringLiteral(", ")));
    m_summary->setText(summary);
}

void UnusedModulesView::tickAll()
{
    for (Card &card : m_cards) {
        const QSignalBlocker blocker(card.tick);
        card.tick->setChecked(true);
    }
    updateStatus();
}

void UnusedModulesView::queueTicked()
{
    QList<Card *> modules;
    QStringList names;
    QList<LeftoverItem> items;
    for (Card &card : m_cards) {
        if (card.tick->isChecked()) {
            modules.append(&card);
            names.append(card.name);
        }
    }
    for (Card &card : m_cards) {
        for (int i = 0; i < card.itemTicks.size(); ++i) {
            const LeftoverItem &item = card.items.at(i);
            if (!card.itemTicks.at(i)->isChecked() || m_queuedFiles.contains(requestText(item)))
                continue;
            items.append(item);
            // The question must tell how much goes, even before the count in the background
            // has come back.
            if (m_unmeasured.contains(requestText(item)))
                measure(items.last());
        }
    }
    if (modules.isEmpty() && items.isEmpty())
        return;

    if (!modules.isEmpty()) {
        Dialogs::Message ask;
        ask.icon = QMessageBox::Warning;
        ask.title = tr("Delete unused module data?");
        ask.text = tr("This removes the saved data of %n modules that are not in the module list.",
                      nullptr, int(modules.size()));
        ask.informativeText =
            tr("Nothing is removed until you save, and you can undo it before then.");
        ask.detailedText = names.join(QLatin1Char('\n'));
        ask.buttons = QMessageBox::Yes | QMessageBox::Cancel;
        ask.defaultButton = QMessageBox::Cancel;
        const auto answer = Dialogs::message(this, ask);
        if (answer != QMessageBox::Yes)
            return;
    }
    if (!items.isEmpty()) {
        QString informative = tr("They are not moved to the Recycle Bin or Trash: once deleted "
                                 "they cannot be brought back. Until you save, you can still "
                                 "undo it.")
                                  .toHtmlEscaped();
        QStringList lines;
        bool anyProtected = false;
        for (const LeftoverItem &item : std::as_const(items)) {
            anyProtected = anyProtected || item.inInstallation;
            const QString path = QDir::toNativeSeparators(item.path);
            lines.append(item.isFolder ? tr("%1   (%n files, %2)", nullptr, item.fileCount)
                                             .arg(path, formatSize(item.size))
                                       : tr("%1   (%2)").arg(path, formatSize(item.size)));
        }
        if (anyProtected)
            informative += QStringLiteral("<br><br>") +
                           tr("<b>Some of them are inside the PixInsight installation. Deleting "
                              "those needs administrator permission:</b> you will be asked for it "
                              "when you save.");
        Dialogs::Message ask;
        ask.icon = QMessageBox::Warning;
        ask.title = tr("Delete files and folders?");
        ask.text = tr("This permanently deletes %n files or folders from disk when you save.",
                      nullptr, int(items.size()));
        ask.informativeText = informative;
        ask.detailedText = lines.join(QLatin1Char('\n'));
        ask.textFormat = Qt::RichText;
        ask.buttons = QMessageBox::Yes | QMessageBox::Cancel;
        ask.defaultButton = QMessageBox::Cancel;
        const auto answer = Dialogs::message(this, ask);
        if (answer != QMessageBox::Yes)
            return;
    }

    int queuedEntries = 0;
    QStringList refused;
    // One undo step for the whole bulk action, as the user took it.
    m_model->beginBatch(tr("queue deletion of %n modules' data", nullptr, int(modules.size())));
    for (Card *card : std::as_const(modules)) {
        for (XsdtNode *node : std::as_const(card->nodes)) {
            QString whyNot;
            if (m_model->queueDeletion(node, &whyNot))
                ++queuedEntries;
            else
                refused.append(node->path());
        }
        const QSignalBlocker blocker(card->tick);
        card->tick->setChecked(false);
    }
    m_model->endBatch();
    for (const LeftoverItem &item : std::as_const(items))
        m_queuedFiles.insert(requestText(item));
    for (Card &card : m_cards) {
        for (QCheckBox *tick : std::as_const(card.itemTicks)) {
            const QSignalBlocker blocker(tick);
            tick->setChecked(false);
        }
    }
    updateStatus();
    if (!items.isEmpty())
        emit queueChanged();

    QStringList parts;
    if (!modules.isEmpty()) {
        parts.append(refused.isEmpty()
                         ? tr("Queued %1 of %n modules for deletion.", nullptr, int(modules.size()))
                               .arg(tr("%n entries", nullptr, queuedEntries))
                         : tr("Queued %1; %n protected entries were left alone (%2).", nullptr,
                              int(refused.size()))
                               .arg(tr("%n entries", nullptr, queuedEntries),
                                    refused.join(QStringLiteral(", "))));
    }
    if (!items.isEmpty())
        parts.append(
            tr("Queued %n files or folders for deletion from disk.", nullptr, int(items.size())));
    emit message(parts.join(QLatin1Char(' ')) + tr(" Save to apply."));
}

void UnusedModulesView::undoTicked()
{
    bool keysRemoved = false;
    m_model->beginBatch(tr("cancelled deletion of module data"));
    for (Card &card : m_cards) {
        if (card.tick->isChecked()) {
            for (XsdtNode *node : std::as_const(card.nodes))
                m_model->undoDeletion(node);
            // A queued file's own box is disabled, so the module's tick is how its files are
            // taken back too; the confirmation promised that they could be.
            for (const LeftoverItem &item : std::as_const(card.items))
                keysRemoved = m_queuedFiles.remove(requestText(item)) || keysRemoved;
            const QSignalBlocker blocker(card.tick);
            card.tick->setChecked(false);
        }
        for (int i = 0; i < card.itemTicks.size(); ++i) {
            QCheckBox *tick = card.itemTicks.at(i);
            if (!tick->isChecked())
                continue;
            keysRemoved = m_queuedFiles.remove(requestText(card.items.at(i))) || keysRemoved;
            const QSignalBlocker blocker(tick);
            tick->setChecked(false);
        }
    }
    m_model->endBatch();
    updateStatus();
    if (keysRemoved)
        emit queueChanged();
}

void UnusedModulesView::clearFileQueue()
{
    m_queuedFiles.clear();
    updateStatus();
    emit queueChanged();
}

QList<LeftoverItem> UnusedModulesView::queuedFiles() const
{
    QStringList keys(m_queuedFiles.cbegin(), m_queuedFiles.cend());
    keys.sort();
    QList<LeftoverItem> items;
    for (const QString &key : std::as_const(keys)) {
        const LeftoverItem item = itemFromRequest(key, m_programFolder, m_settingsFolder);
        if (!item.path.isEmpty())
            items.append(item);
    }
    return items;
}

void UnusedModulesView::expandModule(const QString &name)
{
    ensureBuilt();
    for (Card &card : m_cards) {
        if (card.name == name) {
            card.section->setExpanded(true);
            m_scroll->ensureWidgetVisible(card.row);
            return;
        }
    }
}

} // namespace vrn
