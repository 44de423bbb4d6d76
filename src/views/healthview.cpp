#include "views/healthview.h"

#include "document/xsdtdocument.h"
#include "knowledge/backgroundjob.h"
#include "knowledge/repositories.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "widgets/settingmenu.h"
#include "widgets/settingrow.h"

#include <QComboBox>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QLocale>
#include <QMap>
#include <QPushButton>
#include <QScrollArea>
#include <QSignalBlocker>
#include <QTimer>
#include <QVBoxLayout>

#include <utility>

namespace vrn {

namespace {

constexpr int kMaxEntries = 12;

QColor stripeColor(Severity severity)
{
    switch (severity) {
    case Severity::Note:
        return QColor(60, 140, 230);
    case Severity::Warning:
        return QColor(226, 150, 0);
    case Severity::Problem:
        return QColor(214, 60, 60);
    }
    return QColor(128, 128, 128);
}

} // namespace

HealthView::HealthView(SettingsModel *model, Schema *schema, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_schema(schema)
    , m_environment(HealthEnv::system())
    , m_checker(std::make_unique<BackgroundJob>(this))
{
    QVBoxLayout *layout = pageLayout(
        tr("Looks through the file for things that are probably wrong: folders and files that do "
           "not exist here, numbers outside their documented range, keys that appear twice, "
           "modules whose file is missing. Nothing is changed by the check; fix a setting right "
           "in the list."));

    auto *row = new QHBoxLayout;
    m_summary = new QLabel(this);
    m_summary->setWordWrap(true);
    row->addWidget(m_summary, 1);
    m_severityFilter = new QComboBox(this);
    m_severityFilter->setAccessibleName(tr("Show findings of severity"));
    m_severityFilter->addItem(tr("All severities"), -1);
    m_severityFilter->addItem(tr("Problems"), int(Severity::Problem));
    m_severityFilter->addItem(tr("Warnings"), int(Severity::Warning));
    m_severityFilter->addItem(tr("Notes"), int(Severity::Note));
    row->addWidget(m_severityFilter);
    m_kindFilter = new QComboBox(this);
    m_kindFilter->setAccessibleName(tr("Show findings of kind"));
    m_kindFilter->setSizeAdjustPolicy(QComboBox::AdjustToContents);
    row->addWidget(m_kindFilter);
    fillKindFilter();
    connect(m_severityFilter, &QComboBox::currentIndexChanged, this, &HealthView::applyFilter);
    connect(m_kindFilter, &QComboBox::currentIndexChanged, this, &HealthView::applyFilter);
    m_runButton = new QPushButton(tr("Run the check again"), this);
    row->addWidget(m_runButton);
    layout->addLayout(row);

    auto *scroll = new QScrollArea(this);

    scroll->setFocusPolicy(Qt::NoFocus); // Tab goes from the controls above to the first row
    scroll->setWidgetResizable(true);
    scroll->setFrameShape(QFrame::NoFrame);
    auto *container = new QWidget(scroll);
    m_cardsLayout = new QVBoxLayout(container);
    m_cardsLayout->setContentsMargins(0, 0, 0, 0);
    m_cardsLayout->setSpacing(10);
    m_moreButton = new QPushButton(container);
    m_moreButton->hide();
    m_cardsLayout->addWidget(m_moreButton, 0, Qt::AlignLeft);
    m_cardsLayout->addStretch(1);
    scroll->setWidget(container);
    connect(m_moreButton, &QPushButton::clicked, this, &HealthView::buildMoreCards);
    m_sliceTimer = new QTimer(this);
    m_sliceTimer->setSingleShot(true);
    m_sliceTimer->setInterval(0);
    connect(m_sliceTimer, &QTimer::timeout, this, [this] { buildSlice(); });
    layout->addWidget(scroll, 1);

    connect(m_runButton, &QPushButton::clicked, this, &HealthView::runCheck);
    connect(m_model, &SettingsModel::aboutToChange, this, &HealthView::stopForChange);
    connect(m_model, &SettingsModel::edited, this, &HealthView::markStale);
    connect(m_model, &SettingsModel::edited, this, &HealthView::refreshDeleteControls);
    connect(m_model, &SettingsModel::resumeWork, this, [this] {
        if (m_recheck)
            runCheck();
    });
    connect(m_model, &SettingsModel::dataChanged, this, &HealthView::refreshRows);
    const auto refreshAll = [this] {
        for (SettingRow *row : std::as_const(m_rows))
            row->refresh();
    };
    connect(m_model, &SettingsModel::modelReset, this, refreshAll);
    connect(m_model, &SettingsModel::valuesChanged, this, refreshAll);
}

HealthView::~HealthView() = default;

void HealthView::setDocument(XsdtDocument *document)
{
    // The worker reads the old document: it must be done before the document may go.
    m_checker->stop();
    m_recheck = false;
    m_runButton->setEnabled(true);
    clearCards();
    // A large file's findings take a while to free: a pool thread does it.
    freeAside(std::make_pair(std::exchange(m_findings, {}), std::exchange(m_shown, {})));
    fillKindFilter();
    m_document = document;
    m_hasRun = false;
    m_staleNoticeShown = false;
    m_summary->clear();
    emit summaryChanged(0, 0);
    if (document && isVisible())
        runCheck();
}

void HealthView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    for (SettingRow *row : std::as_const(m_rows))
        row->setViewOnly(viewOnly);
    refreshDeleteControls();
}

// A delete button is offered while its entry can be queued: the rules allow it, nothing is
// view-only and it is not queued already. A queued entry is struck through, like a setting
// row's title.
void HealthView::refreshDeleteControls()
{
    for (const DeleteControl &control : std::as_const(m_deleteControls)) {
        const bool queued = control.node->isDeleted();
        control.button->setEnabled(control.deletable && !m_viewOnly && !queued);
        if (control.label && control.label->font().strikeOut() != queued) {
            QFont font = control.label->font();
            font.setStrikeOut(queued);
            control.label->setFont(font);
        }
    }
}

QPushButton *HealthView::addDeleteButton(const QString &text, QWidget *card, XsdtNode *node,
                                         QLabel *label)
{
    auto *remove = new QPushButton(text, card);
    const DeleteVerdict verdict = m_model->deletionVerdict(node);
    const bool deletable = verdict.level != DeleteLevel::Never;
    remove->setToolTip(deletable ? verdict.reason : tr("Protected: %1").arg(verdict.reason));
    connect(remove, &QPushButton::clicked, this, [this, node] { emit deleteRequested(node); });
    m_deleteControls.append({node, remove, label, deletable});
    return remove;
}

void HealthView::showEvent(QShowEvent *event)
{
    TaskPage::showEvent(event);
    if (!m_hasRun && m_document)
        runCheck();
    else if (m_cards.size() < m_cardsWanted)
        m_sliceTimer->start();
}

void HealthView::clearCards()
{
    for (QWidget *card : std::as_const(m_cards)) {
        m_cardsLayout->removeWidget(card);
        card->hide();
        card->deleteLater();
    }
    m_cards.clear();
    m_cardsWanted = 0;
    m_sliceTimer->stop();
    m_rows.clear();
    m_deleteControls.clear();
    m_moreButton->hide();
}

void HealthView::runCheck()
{
    clearCards();
    m_findings.clear();
    m_shown.clear();
    m_staleNoticeShown = false;
    m_recheck = false;
    if (!m_document) {
        m_checker->stop();
        m_hasRun = false;
        return;
    }
    m_hasRun = true;
    m_summary->setText(tr("Checking the file..."));
    m_runButton->setEnabled(false);
    const XsdtDocument *document = m_document;
    const Schema *schema = m_schema;
    m_checker->start([this, document, schema, env = m_environment](const auto &cancelled) {
        auto findings =
            std::make_shared<QList<Finding>>(runHealthCheck(*document, *schema, env, &cancelled));
        return [this, findings] { showFindings(std::move(*findings)); };
    });
}

bool HealthView::isChecking() const
{
    return m_checker->isRunning();
}

void HealthView::finishCheck()
{
    m_checker->finishNow();
    while (m_cards.size() < m_cardsWanted)
        buildSlice(true);
}

void HealthView::showFindings(QList<Finding> findings)
{
    m_runButton->setEnabled(true);
    m_findings = std::move(findings);
    fillKindFilter();
    applyFilter();
    updateSummary();
}

// The worker reads the values a change is about to write: it stops first, and the check starts
// again once the change is made, so that no result from before the change is shown.
void HealthView::stopForChange()
{
    if (!m_checker->isRunning())
        return;
    m_checker->stop();
    m_recheck = true;
}

// A card holds a setting row per entry, and a large file can have thousands of findings
// (seconds of building): they are built a hundred at a time, the rest on request. Building and
// laying out a card with its wrapped text takes milliseconds, so a hundred come a few per turn
// of the event loop and the window answers meanwhile.
void HealthView::buildMoreCards()
{
    m_cardsWanted = std::min(m_cards.size() + kCardsAtOnce, m_shown.size());
    buildSlice();
}

void HealthView::buildSlice(bool now)
{
    // Cards made while the page is away would all be laid out at once when it is shown: they
    // wait for the page instead.
    if (!now && !isVisible()) {
        m_moreButton->hide();
        return;
    }
    const qsizetype end =
        std::min(m_cards.size() + (now ? kCardsAtOnce : kCardsPerTurn), m_cardsWanted);
    for (qsizetype i = m_cards.size(); i < end; ++i) {
        QWidget *card = buildCard(m_findings.at(m_shown.at(i)));
        m_cardsLayout->insertWidget(m_cardsLayout->indexOf(m_moreButton), card);
        m_cards.append(card);
    }
    if (m_cards.size() < m_cardsWanted) {
        m_moreButton->hide();
        m_sliceTimer->start();
        return;
    }
    const qsizetype rest = m_shown.size() - m_cards.size();
    m_moreButton->setText(tr("Show more findings (%n not shown yet)", nullptr, int(rest)));
    m_moreButton->setVisible(rest > 0);
}

QWidget *HealthView::buildCard(const Finding &finding)
{
    auto *card = new QFrame(m_cardsLayout->parentWidget());
    card->setFrameShape(QFrame::NoFrame);
    auto *cardLayout = new QHBoxLayout(card);
    cardLayout->setContentsMargins(0, 0, 0, 0);
    cardLayout->setSpacing(0);

    auto *stripe = new QWidget(card);
    stripe->setFixedWidth(6);
    stripe->setAutoFillBackground(true);
    QPalette palette = stripe->palette();
    palette.setColor(QPalette::Window, stripeColor(finding.severity)); // every colour group
    stripe->setPalette(palette);
    cardLayout->addWidget(stripe);

    auto *body = new QVBoxLayout;
    body->setContentsMargins(12, 6, 6, 6);
    body->setSpacing(4);
    cardLayout->addLayout(body, 1);

    auto *title = new QLabel(
        tr("<b>%1:</b> %2")
            .arg(severityName(finding.severity).toHtmlEscaped(), finding.title.toHtmlEscaped()),
        card);
    title->setTextFormat(Qt::RichText);
    title->setWordWrap(true);
    body->addWidget(title);
    auto *text = new QLabel(finding.text, card);
    text->setTextFormat(Qt::PlainText);
    text->setWordWrap(true);
    body->addWidget(text);

    for (XsdtNode *node : finding.nodes.mid(0, kMaxEntries)) {
        if (node->isGroup()) {
            addGroupLine(body, card, node);
            continue;
        }
        auto *row = new SettingRow(node, m_schema->info(node), m_model, card);
        row->setShowPath(true);
        row->setViewOnly(m_viewOnly);
        connect(row, &SettingRow::rejected, this, &HealthView::message);
        connect(row, &SettingRow::menuRequested, this,
                [this, row](XsdtNode *target, const QPoint &globalPos) {
                    showPageMenu(row, m_model, target, globalPos, m_viewOnly);
                });
        body->addWidget(row);
        m_rows.insert(node, row);
    }
    if (finding.nodes.size() > kMaxEntries)
        body->addWidget(new QLabel(
            tr("...and %1 more.").arg(QLocale().toString(finding.nodes.size() - kMaxEntries)),
            card));
    if (finding.action == FindingAction::OpenUnusedModules) {
        auto *open = new QPushButton(tr("Open Unused modules"), card);
        connect(open, &QPushButton::clicked, this, &HealthView::openUnusedModules);
        body->addWidget(open, 0, Qt::AlignLeft);
    }
    if (finding.action == FindingAction::DeleteLastEntry && !finding.nodes.isEmpty()) {
        XsdtNode *last = finding.nodes.last();
        body->addWidget(addDeleteButton(tr("Delete %1...").arg(entryDescription(last)), card, last),
                        0, Qt::AlignLeft);
    }
    refreshDeleteControls();
    return card;
}

void HealthView::addGroupLine(QVBoxLayout *layout, QWidget *card, XsdtNode *node)
{
    auto *line = new QHBoxLayout;
    auto *label = new QLabel(
        tr("<b>%1</b>  (%2)")
            .arg(node->path().toHtmlEscaped(), tr("%n values", nullptr, int(node->valueCount()))),
        card);
    label->setTextFormat(Qt::RichText);
    line->addWidget(label, 1);
    auto *reveal = new QPushButton(tr("Show in All settings"), card);
    connect(reveal, &QPushButton::clicked, this, [this, node] { emit revealRequested(node); });
    line->addWidget(reveal);
    line->addWidget(addDeleteButton(tr("Delete this one..."), card, node, label));
    layout->addLayout(line);
}

// The kinds found, each with its count, keeping the one chosen when it is still there.
void HealthView::fillKindFilter()
{
    const QSignalBlocker block(m_kindFilter);
    const QString chosen = m_kindFilter->currentData().toString();
    QMap<QString, int> counts;
    for (const Finding &finding : std::as_const(m_findings))
        ++counts[finding.id];
    m_kindFilter->clear();
    m_kindFilter->addItem(tr("All kinds"), QString());
    QList<std::pair<QString, QString>> kinds;
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        kinds.append({findingKindName(it.key()), it.key()});
    std::sort(kinds.begin(), kinds.end());
    for (const auto &[name, id] : std::as_const(kinds))
        m_kindFilter->addItem(tr("%1 (%2)").arg(name, QLocale().toString(counts.value(id))), id);
    m_kindFilter->setCurrentIndex(qMax(0, m_kindFilter->findData(chosen)));
}

void HealthView::applyFilter()
{
    const int severity = m_severityFilter->currentData().toInt();
    const QString kind = m_kindFilter->currentData().toString();
    clearCards();
    m_shown.clear();
    for (qsizetype i = 0; i < m_findings.size(); ++i) {
        const Finding &finding = m_findings.at(i);
        if ((severity < 0 || int(finding.severity) == severity) &&
            (kind.isEmpty() || finding.id == kind))
            m_shown.append(i);
    }
    buildMoreCards();
}

void HealthView::updateSummary()
{
    int counts[3] = {0, 0, 0};
    for (const Finding &finding : std::as_const(m_findings)) {
        const int severity = int(finding.severity);
        if (severity >= 0 && severity < 3)
            ++counts[severity];
    }
    if (m_findings.isEmpty())
        m_summary->setText(tr("No problems found."));
    else
        m_summary->setText(tr("%1, %2, %3")
                               .arg(tr("%n problems", nullptr, counts[2]),
                                    tr("%n warnings", nullptr, counts[1]),
                                    tr("%n notes", nullptr, counts[0])));
    emit summaryChanged(counts[2], counts[1]);
}

void HealthView::markStale()
{
    if (m_recheck) {
        runCheck();
        return;
    }
    if (!m_hasRun || m_findings.isEmpty() || m_staleNoticeShown)
        return;
    m_staleNoticeShown = true;
    m_summary->setText(m_summary->text() +
                       tr("   (You changed settings: run the check again to re-check.)"));
}

void HealthView::refreshRows(const QModelIndex &topLeft, const QModelIndex &bottomRight)
{
    if (m_rows.isEmpty())
        return;
    const QModelIndex parent = topLeft.parent();
    for (int row = topLeft.row(); row <= bottomRight.row(); ++row) {
        if (SettingRow *settingRow =
                m_rows.value(m_model->nodeForIndex(m_model->index(row, 0, parent))))
            settingRow->refresh();
    }
}

} // namespace vrn
