#include "views/repositoriesview.h"

#include "document/xsdtdocument.h"
#include "knowledge/repositories.h"
#include "knowledge/schema.h"
#include "model/settingsmodel.h"
#include "widgets/settingmenu.h"
#include "widgets/settingrow.h"

#include <QFrame>
#include <QGroupBox>
#include <QHBoxLayout>
#include <QLabel>
#include <QPushButton>
#include <QScopeGuard>
#include <QScrollArea>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>

namespace vrn {

namespace {

// What decides the page's flags and layout: when an edit changes it the page is made again,
// otherwise its rows only show the new values.
QList<const void *> shapeOf(const RepositoryReport &report)
{
    QList<const void *> shape{report.container, report.allowUnsigned, report.allowInsecure};
    for (const QList<XsdtNode *> &same : report.sameUrl) {
        shape.append(nullptr);
        for (const XsdtNode *node : same)
            shape.append(node);
    }
    shape.append(nullptr);
    for (const XsdtNode *node : report.plainHttp)
        shape.append(node);
    shape.append(nullptr);
    for (const Repository &repository : report.repositories) {
        shape.append(repository.group);
        for (const XsdtNode *node : repository.urls)
            shape.append(node);
    }
    return shape;
}

} // namespace

RepositoriesView::RepositoriesView(SettingsModel *model, const Schema *schema, QWidget *parent)
    : TaskPage(parent)
    , m_model(model)
    , m_schema(schema)
{
    QVBoxLayout *layout = pageLayout(
        tr("The update repositories PixInsight checks for new modules and scripts, and the "
           "switches that decide which of them it accepts. Changes and removals are queued: "
           "review and save them as any other change."));
    m_scroll = new QScrollArea(this);
    m_scroll->setFocusPolicy(Qt::NoFocus); // Tab goes from the controls above to the first row
    m_scroll->setWidgetResizable(true);
    m_scroll->setFrameShape(QFrame::NoFrame);
    layout->addWidget(m_scroll, 1);

    connect(m_model, &SettingsModel::edited, this, [this] {
        if (m_refreshPending || !m_document)
            return;
        m_refreshPending = true;
        QTimer::singleShot(0, this, [this] {
            if (m_refreshPending)
                refreshState();
        });
    });
    rebuild();
}

void RepositoriesView::setDocument(XsdtDocument *document)
{
    m_document = document;
    m_refreshPending = false;
    rebuild();
}

void RepositoriesView::setViewOnly(bool viewOnly)
{
    m_viewOnly = viewOnly;
    for (SettingRow *row : std::as_const(m_rows))
        row->setViewOnly(viewOnly);
    refreshState();
}

QLabel *RepositoriesView::addText(const QString &text, QWidget *parent, QVBoxLayout *layout,
                                  bool warning)
{
    auto *label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextFormat(Qt::PlainText);
    label->setTextInteractionFlags(Qt::TextSelectableByMouse);
    if (warning) {
        // The theme's own warning colour is not available everywhere: an amber band reads in
        // both themes.
        label->setAutoFillBackground(true);
        QPalette palette = label->palette();
        palette.setBrush(QPalette::Window, QColor(255, 190, 0, 70));
        label->setPalette(palette);
        label->setMargin(4);
    }
    layout->addWidget(label);
    return label;
}

SettingRow *RepositoriesView::addRow(XsdtNode *node, QWidget *parent, QVBoxLayout *layout)
{
    auto *row =
        new SettingRow(node, m_schema ? m_schema->info(node) : VariableInfo(), m_model, parent);
    row->setViewOnly(m_viewOnly);
    connect(row, &SettingRow::rejected, this, &RepositoriesView::message);
    connect(row, &SettingRow::menuRequested, this,
            [this, row](XsdtNode *target, const QPoint &globalPos) {
                showPageMenu(row, m_model, target, globalPos, m_viewOnly);
            });
    layout->addWidget(row);
    m_rows.insert(node, row);
    return row;
}

void RepositoriesView::rebuild()
{
    // A removal or an edit that makes the page again leaves the user where they were: the new
    // content is complete before it replaces the old one, so that it has its size at once and
    // the old position exists in it.
    const int scrolled = m_scroll->verticalScrollBar()->value();
    const auto keepPlace = qScopeGuard([this, scrolled] {
        m_scroll->setWidget(m_content); // deletes the previous content with its rows
        m_scroll->verticalScrollBar()->setValue(scrolled);
    });
    m_refreshPending = false;
    m_rows.clear();
    m_remove.clear();
    m_state.clear();
    m_empty = nullptr;
    m_content = new QWidget;
    auto *layout = new QVBoxLayout(m_content);

    m_shape.clear();
    if (!m_document) {
        m_empty =
            addText(tr("Open a settings file to see its update repositories."), m_content, layout);
        layout->addStretch(1);
        return;
    }
    const RepositoryReport report = repositoryReport(*m_document);
    m_shape = shapeOf(report);

    auto *security = new QGroupBox(tr("Which repositories PixInsight accepts"), m_content);
    auto *securityLayout = new QVBoxLayout(security);
    for (XsdtNode *node : {report.allowUnsigned, report.allowInsecure}) {
        if (node)
            addRow(node, security, securityLayout)->setShowPath(true);
    }
    if (!report.allowUnsigned || !report.allowInsecure)
        addText(tr("This file does not set %1; PixInsight uses its default.")
                    .arg(!report.allowUnsigned && !report.allowInsecure
                             ? tr("AllowUnsignedRepositories and AllowInsecureRepositories")
                         : !report.allowUnsigned ? QStringLiteral("AllowUnsignedRepositories")
                                                 : QStringLiteral("AllowInsecureRepositories")),
                security, securityLayout);
    layout->addWidget(security);

    if (!report.container) {
        m_empty = addText(tr("This file lists no update repositories: it has no "
                             "Global/UpdateManager/Repositories group. PixInsight adds it when "
                             "you add a repository in its Update Manager."),
                          m_content, layout);
        layout->addStretch(1);
        return;
    }
    if (report.repositories.isEmpty() && report.looseValues.isEmpty()) {
        m_empty = addText(tr("The repositories group of this file is empty: no update "
                             "repository is configured."),
                          m_content, layout);
        layout->addStretch(1);
        return;
    }

    // Repositories go by their place on the page, as the file's keys for them mean nothing
    // to the user. Each address is flagged on the repository it sits in, naming the others.
    QHash<const XsdtNode *, int> number;
    for (const Repository &repository : report.repositories)
        number.insert(repository.group, int(number.size()) + 1);
    QHash<const XsdtNode *, QStringList> twins;
    for (const QList<XsdtNode *> &same : report.sameUrl) {
        for (const XsdtNode *node : same) {
            QStringList others;
            for (const XsdtNode *other : same) {
                if (other == node)
                    continue;
                const int place = number.value(other->parent);
                others.append(place > 0 ? tr("repository %1").arg(place) : other->path());
            }
            twins.insert(node, others);
        }
    }
    const int repeated = int(report.sameUrl.size());
    const int plain = int(report.plainHttp.size());
    QStringList summary{tr("Repositories: %n.", nullptr, int(report.repositories.size()))};
    if (repeated > 0)
        summary.append(tr("Addresses given more than once: %n.", nullptr, repeated));
    if (plain > 0)
        summary.append(tr("Addresses without encryption (http://): %n.", nullptr, plain));
    addText(summary.join(QLatin1Char(' ')), m_content, layout, repeated + plain > 0);

    for (const Repository &repository : report.repositories) {
        auto *box =
            new QGroupBox(tr("Repository %1").arg(number.value(repository.group)), m_content);
        box->setToolTip(repository.group->path());
        auto *boxLayout = new QVBoxLayout(box);
        if (repository.urls.isEmpty())
            addText(tr("No address found in this repository's values."), box, boxLayout);
        for (XsdtNode *url : repository.urls) {
            addRow(url, box, boxLayout);
            if (twins.contains(url))
                addText(tr("The same address as %1.").arg(twins.value(url).join(tr(" and "))), box,
                        boxLayout, true);
            if (report.plainHttp.contains(url))
                addText(tr("Plain http://: downloads from this address are not encrypted. Use "
                           "https:// if the repository offers it."),
                        box, boxLayout, true);
        }
        for (XsdtNode *other : repository.others)
            addRow(other, box, boxLayout);
        auto *footer = new QHBoxLayout;
        auto *state = new QLabel(box);
        footer->addWidget(state, 1);
        auto *remove = new QPushButton(tr("Remove repository..."), box);
        XsdtNode *group = repository.group;
        connect(remove, &QPushButton::clicked, this, [this, group] {
            if (group->isDeleted())
                emit restoreRequested(group);
            else
                emit deleteRequested(group);
        });
        footer->addWidget(remove);
        boxLayout->addLayout(footer);
        m_remove.insert(group, remove);
        m_state.insert(group, state);
        layout->addWidget(box);
    }
    if (!report.looseValues.isEmpty()) {
        auto *box = new QGroupBox(tr("Other values of the repositories group"), m_content);
        auto *boxLayout = new QVBoxLayout(box);
        for (XsdtNode *node : report.looseValues)
            addRow(node, box, boxLayout)->setShowPath(true);
        layout->addWidget(box);
    }
    layout->addStretch(1);
    refreshState();
}

void RepositoriesView::refreshState()
{
    m_refreshPending = false;
    if (m_document && shapeOf(repositoryReport(*m_document)) != m_shape) {
        rebuild();
        return;
    }
    for (SettingRow *row : std::as_const(m_rows))
        row->refresh();
    for (auto it = m_remove.cbegin(); it != m_remove.cend(); ++it) {
        const bool queued = it.key()->isDeleted();
        QPushButton *remove = it.value();
        remove->setText(queued ? tr("Keep repository") : tr("Remove repository..."));
        remove->setEnabled(!m_viewOnly);
        m_state.value(it.key())->setText(queued ? tr("Queued for removal. Save to apply.")
                                                : QString());
    }
}

QString RepositoriesView::visibleText() const
{
    QStringList lines;
    if (!m_content)
        return QString();
    for (const QWidget *widget : m_content->findChildren<QWidget *>()) {
        if (!widget->isVisibleTo(m_content))
            continue;
        if (const auto *box = qobject_cast<const QGroupBox *>(widget))
            lines.append(box->title());
        else if (const auto *label = qobject_cast<const QLabel *>(widget);
                 label && !label->text().isEmpty())
            lines.append(label->text());
    }
    return lines.join(QLatin1Char('\n'));
}

} // namespace vrn
