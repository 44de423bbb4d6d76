#include "views/reviewdialog.h"

#include "document/values.h"
#include "document/xsdtdocument.h"
#include "model/settingsmodel.h"

#include <QCheckBox>
#include <QDir>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QLocale>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTreeWidget>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

namespace vrn {

namespace {

constexpr qsizetype kReviewLimit = 120;
constexpr qsizetype kToolTipLimit = 500;

QString reviewText(const XsdtNode *node, const QString &text)
{
    if (node->type == QLatin1Char('B'))
        return blockDisplayText(*node);
    QString shown = text.size() > kReviewLimit ? text.left(kReviewLimit) + QChar(0x2026) : text;
    shown.replace(QLatin1Char('\n'), QChar(0x23CE));
    return shown;
}

// The nodes with their paths, sorted by path ignoring case (document order among equals).
// Ignoring case, and runs of digits by their value, as a file manager sorts: File12 before
// File102. (The system's collation leaves numbers as text in the C locale.)
int naturalCompare(QStringView a, QStringView b)
{
    qsizetype i = 0;
    qsizetype j = 0;
    const auto run = [](QStringView text, qsizetype &at) {
        const qsizetype start = at;
        while (at < text.size() && text[at].isDigit())
            ++at;
        qsizetype first = start;
        while (first < at - 1 && text[first] == u'0')
            ++first;
        return text.sliced(first, at - first);
    };
    while (i < a.size() && j < b.size()) {
        if (a[i].isDigit() && b[j].isDigit()) {
            const QStringView x = run(a, i);
            const QStringView y = run(b, j);
            if (x.size() != y.size())
                return x.size() < y.size() ? -1 : 1;
            if (const int order = x.compare(y); order != 0)
                return order;
            continue;
        }
        if (const int order = a.sliced(i, 1).compare(b.sliced(j, 1), Qt::CaseInsensitive);
            order != 0)
            return order;
        ++i;
        ++j;
    }
    return int(a.size() - i > 0) - int(b.size() - j > 0);
}

QList<QPair<QString, XsdtNode *>> sortedByPath(const QList<XsdtNode *> &nodes)
{
    QList<QPair<QString, XsdtNode *>> sorted;
    sorted.reserve(nodes.size());
    for (XsdtNode *node : nodes)
        sorted.append({node->path(), node});
    std::stable_sort(sorted.begin(), sorted.end(), [](const auto &a, const auto &b) {
        return naturalCompare(a.first, b.first) < 0;
    });
    return sorted;
}

// A plain text box at most this many lines of its font tall.
void limitLines(QPlainTextEdit *edit, double lines)
{
    const int margins = 2 * edit->frameWidth() + int(2 * edit->document()->documentMargin());
    edit->setMaximumHeight(int(std::ceil(edit->fontMetrics().lineSpacing() * lines)) + margins);
}

} // namespace

ReviewDialog::ReviewDialog(SettingsModel *model, XsdtDocument *document, QWidget *parent)
    : QDialog(parent)
    , m_model(model)
    , m_document(document)
{
    setWindowTitle(tr("Review changes"));
    resize(980, 640);

    auto *layout = new QVBoxLayout(this);

    m_summaryLabel = new QLabel(this);
    m_summaryLabel->setWordWrap(true);
    layout->addWidget(m_summaryLabel);

    auto *filterRow = new QHBoxLayout;
    m_filterEdit = new QLineEdit(this);
    m_filterEdit->setAccessibleName(tr("Filter changes"));
    m_filterEdit->setPlaceholderText(tr("Filter by setting name or value"));
    m_filterEdit->setClearButtonEnabled(true);
    // Enter in the filter must not press "Save", the dialog's default button.
    m_filterEdit->installEventFilter(this);
    m_showEdits = new QCheckBox(tr("Edits"), this);
    m_showEdits->setChecked(true);
    m_showDeletions = new QCheckBox(tr("Deletions"), this);
    m_showDeletions->setChecked(true);
    m_showAdditions = new QCheckBox(tr("Additions"), this);
    m_showAdditions->setChecked(true);
    filterRow->addWidget(m_filterEdit, 1);
    filterRow->addWidget(m_showEdits);
    filterRow->addWidget(m_showAdditions);
    filterRow->addWidget(m_showDeletions);
    layout->addLayout(filterRow);

    m_tree = new QTreeWidget(this);
    m_tree->setColumnCount(4);
    m_tree->setHeaderLabels({tr("Change"), tr("Setting"), tr("Before"), tr("After")});
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_tree->setAlternatingRowColors(true);
    m_tree->setUniformRowHeights(true);
    m_tree->setRootIsDecorated(true);
    // Paths differ at their ends; the tool tip holds the whole one.
    m_tree->setTextElideMode(Qt::ElideMiddle);
    QHeaderView *header = m_tree->header();
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    header->setSectionResizeMode(1, QHeaderView::Interactive);
    header->resizeSection(1, 360);
    header->setSectionResizeMode(2, QHeaderView::Stretch);
    header->setSectionResizeMode(3, QHeaderView::Stretch);
    layout->addWidget(m_tree, 1);

    m_detailText = new QPlainTextEdit(this);
    m_detailText->setReadOnly(true);
    m_detailText->setPlaceholderText(tr("Select a change to see its full text."));
    limitLines(m_detailText, 5.5);
    layout->addWidget(m_detailText);

    m_leftoverText = new QPlainTextEdit(this);
    m_leftoverText->setReadOnly(true);
    limitLines(m_leftoverText, 6.5);
    m_leftoverText->hide();
    layout->addWidget(m_leftoverText);

    auto *note = new QLabel(tr("Saving makes a timestamped backup of the current file first, "
                               "checks the result, and replaces the file in one step."),
                            this);
    note->setWordWrap(true);
    layout->addWidget(note);

    auto *buttons = new QHBoxLayout;
    m_revertButton = new QPushButton(tr("Revert selected"), this);
    m_revertButton->setToolTip(tr("Take the selected changes back: edits return to their saved "
                                  "value, deletions are undone, new values are not created."));
    m_revertButton->setAutoDefault(false);
    m_cancelButton = new QPushButton(tr("Cancel"), this);
    m_cancelButton->setAutoDefault(false);
    m_saveButton = new QPushButton(tr("Save"), this);
    m_saveButton->setDefault(true);
    buttons->addWidget(m_revertButton);
    buttons->addStretch();
    buttons->addWidget(m_cancelButton);
    buttons->addWidget(m_saveButton);
    layout->addLayout(buttons);

    // textChanged rather than textEdited: the clear button changes the text too.
    connect(m_filterEdit, &QLineEdit::textChanged, this, &ReviewDialog::fill);
    connect(m_showEdits, &QCheckBox::toggled, this, &ReviewDialog::fill);
    connect(m_showDeletions, &QCheckBox::toggled, this, &ReviewDialog::fill);
    connect(m_showAdditions, &QCheckBox::toggled, this, &ReviewDialog::fill);
    connect(m_tree, &QTreeWidget::itemSelectionChanged, this, &ReviewDialog::updateDetails);
    connect(m_tree, &QTreeWidget::itemExpanded, this, &ReviewDialog::populateDeletion);
    connect(m_revertButton, &QPushButton::clicked, this, &ReviewDialog::takeBack);
    connect(m_cancelButton, &QPushButton::clicked, this, &QDialog::reject);
    connect(m_saveButton, &QPushButton::clicked, this, &QDialog::accept);

    populate();
    m_tree->setFocus();
}

void ReviewDialog::setLeftoverItems(const QList<LeftoverItem> &items)
{
    m_leftovers = items;
    if (items.isEmpty()) {
        m_leftoverText->clear();
        m_leftoverText->hide();
    } else {
        QStringList lines;
        lines.append(tr("Also deleted from disk, permanently, right after the settings are "
                        "written (%n items):",
                        nullptr, int(items.size())));
        bool anyProtected = false;
        for (const LeftoverItem &item : items) {
            QString line = QStringLiteral("   ") + QDir::toNativeSeparators(item.path);
            if (item.inInstallation) {
                line += tr("   (protected)");
                anyProtected = true;
            }
            lines.append(line);
        }
        QString text = lines.join(QLatin1Char('\n'));
        if (anyProtected)
            text += tr("\nThe protected ones need administrator permission: you will be asked "
                       "for it.");
        m_leftoverText->setPlainText(text);
        // No taller than its text, so that the list keeps the room.
        limitLines(m_leftoverText, qMin(6.5, text.count(QLatin1Char('\n')) + 1.5));
        m_leftoverText->show();
    }
    fill();
}

void ReviewDialog::setFileNotes(const QStringList &notes)
{
    m_fileNotes = notes;
    fill();
}

void ReviewDialog::populate()
{
    // The lists walk the whole document: taken once here, not again for every filter key or
    // note, since nothing but this dialog's own revert changes the document while it is open.
    XsdtDocument::PendingNodes pending =
        m_document ? m_document->pendingNodes() : XsdtDocument::PendingNodes();
    m_deletions = std::move(pending.deleted);
    m_edits = std::move(pending.changed);
    m_additions = std::move(pending.added);
    fill();
}

void ReviewDialog::fill()
{
    m_tree->clear();
    const QList<XsdtNode *> &deletions = m_deletions;
    const QList<XsdtNode *> &edits = m_edits;
    const QList<XsdtNode *> &additions = m_additions;
    qsizetype removed = 0;
    for (const XsdtNode *node : deletions)
        removed += node->valueCount();
    qsizetype added = 0;
    for (const XsdtNode *node : additions)
        added += node->valueCount();
    const qsizetype changes = edits.size() + deletions.size() + additions.size();

    if (changes > 0 && additions.isEmpty())
        m_summaryLabel->setText(tr("%1 and %2 (%3 removed) will be written to the settings file.")
                                    .arg(tr("%n edits", nullptr, int(edits.size())),
                                         tr("%n deletions", nullptr, int(deletions.size())),
                                         tr("%n values", nullptr, int(removed))));
    else if (changes > 0)
        m_summaryLabel->setText(
            tr("%1, %2 (%3 new) and %4 (%5 removed) will be written to the settings file.")
                .arg(tr("%n edits", nullptr, int(edits.size())),
                     tr("%n additions", nullptr, int(additions.size())),
                     tr("%n values", nullptr, int(added)),
                     tr("%n deletions", nullptr, int(deletions.size())),
                     tr("%n values", nullptr, int(removed))));
    else if (!m_leftovers.isEmpty())
        m_summaryLabel->setText(tr("The settings file itself is not changed."));
    else
        m_summaryLabel->setText(tr("There are no changes to save."));
    if (const XsdtDocument::InvalidUtf8 &bad = m_document->invalidUtf8;
        bad.count > 0 && changes > 0) {
        // Said before the save, because the save is what makes the loss permanent in the file.
        m_summaryLabel->setText(
            m_summaryLabel->text() + QLatin1Char('\n') +
            tr("%n byte sequences that are not valid UTF-8 (first at line %1, column %2) will "
               "be written as U+FFFD; the backup keeps the original bytes.",
               nullptr, bad.count)
                .arg(bad.line)
                .arg(bad.column));
    }
    if (changes > 0 && !m_fileNotes.isEmpty())
        m_summaryLabel->setText(m_summaryLabel->text() + QLatin1Char('\n') +
                                m_fileNotes.join(QLatin1Char('\n')));

    const QString filter = m_filterEdit->text().trimmed();
    const auto passes = [&filter](const QString &path, const XsdtNode *node) {
        if (filter.isEmpty() || path.contains(filter, Qt::CaseInsensitive))
            return true;
        return node->isValue() && node->type != QLatin1Char('B') &&
               (node->value.contains(filter, Qt::CaseInsensitive) ||
                node->originalValue.contains(filter, Qt::CaseInsensitive));
    };

    QList<QTreeWidgetItem *> rows;
    if (m_showDeletions->isChecked()) {
        QFont bold = m_tree->font();
        bold.setBold(true);
        for (const auto &[path, node] : sortedByPath(deletions)) {
            if (!passes(path, node))
                continue;
            auto *item = new QTreeWidgetItem({tr("Delete"), path,
                                              tr("%n values", nullptr, int(node->valueCount())),
                                              tr("(removed)")});
            item->setFont(0, bold);
            item->setForeground(0, QColor(214, 60, 60));
            item->setToolTip(1, path);
            item->setData(0, NodeRole, QVariant::fromValue(node));
            item->setData(0, DeletionRole, true);
            item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            rows.append(item);
        }
    }
    if (m_showEdits->isChecked()) {
        for (const auto &[path, node] : sortedByPath(edits)) {
            if (!passes(path, node))
                continue;
            auto *item =
                new QTreeWidgetItem({tr("Edit"), path, reviewText(node, node->originalValue),
                                     reviewText(node, node->value)});
            item->setToolTip(1, path);
            item->setToolTip(2, node->originalValue.left(kToolTipLimit));
            item->setToolTip(3, node->value.left(kToolTipLimit));
            item->setData(0, NodeRole, QVariant::fromValue(node));
            item->setData(0, DeletionRole, false);
            rows.append(item);
        }
    }
    if (m_showAdditions->isChecked()) {
        QFont bold = m_tree->font();
        bold.setBold(true);
        for (const auto &[path, node] : sortedByPath(additions)) {
            if (!passes(path, node))
                continue;
            auto *item = new QTreeWidgetItem(
                {tr("Add"), path, tr("(new)"),
                 node->isValue() ? reviewText(node, node->value)
                                 : tr("%n values", nullptr, int(node->valueCount()))});
            item->setFont(0, bold);
            item->setToolTip(1, path);
            if (node->isValue())
                item->setToolTip(3, node->value.left(kToolTipLimit));
            item->setData(0, NodeRole, QVariant::fromValue(node));
            item->setData(0, DeletionRole, false);
            item->setData(0, AdditionRole, true);
            if (node->isGroup())
                item->setChildIndicatorPolicy(QTreeWidgetItem::ShowIndicator);
            rows.append(item);
        }
    }
    m_tree->addTopLevelItems(rows);
    if (rows.isEmpty() && changes > 0) {
        auto *nothing = new QTreeWidgetItem({tr("Nothing matches the filters.")});
        nothing->setFlags(Qt::ItemIsEnabled);
        m_tree->addTopLevelItem(nothing);
        nothing->setFirstColumnSpanned(true);
    }

    m_saveButton->setEnabled(changes > 0 || !m_leftovers.isEmpty());
    m_revertButton->setEnabled(false);
    updateDetails();
}

void ReviewDialog::populateDeletion(QTreeWidgetItem *item)
{
    if (!item || item->childCount() > 0)
        return;
    const auto *node = item->data(0, NodeRole).value<XsdtNode *>();
    if (!node)
        return;
    // The values of a new group are listed the other way round: nothing before, the value after.
    const bool addition = item->data(0, AdditionRole).toBool();
    const auto childRow = [item, addition](const XsdtNode *value) {
        const QString text = reviewText(value, value->value);
        auto *child =
            new QTreeWidgetItem(item, {QString(), value->path(), addition ? tr("(new)") : text,
                                       addition ? text : tr("(removed)")});
        child->setToolTip(1, child->text(1));
        child->setToolTip(addition ? 3 : 2, value->value.left(kToolTipLimit));
    };
    if (node->isValue()) {
        childRow(node);
        return;
    }
    // Document order without recursion: a deleted group can be deep and very large.
    struct Frame
    {
        const XsdtNode *group;
        size_t next;
    };
    QList<Frame> stack{{node, 0}};
    int listed = 0;
    while (!stack.isEmpty() && listed < MaxDeletionChildren) {
        Frame &top = stack.last();
        if (top.next >= top.group->children.size()) {
            stack.removeLast();
            continue;
        }
        const XsdtNode *child = top.group->children[top.next++].get();
        if (child->isGroup()) {
            stack.append({child, 0});
        } else {
            childRow(child);
            ++listed;
        }
    }
    const qsizetype leftOut = node->valueCount() - listed;
    if (leftOut > 0) {
        auto *more = new QTreeWidgetItem(item, {tr("...and %L1 more values").arg(leftOut)});
        more->setFlags(Qt::ItemIsEnabled);
        more->setFirstColumnSpanned(true);
    }
}

void ReviewDialog::updateDetails()
{
    const QList<QTreeWidgetItem *> selected = m_tree->selectedItems();
    // Rows inside a deletion go back only with the deletion: with nothing else chosen there is
    // nothing to take back, and a button that did nothing would leave the row looking stuck.
    m_revertButton->setEnabled(std::any_of(selected.begin(), selected.end(), [](auto *item) {
        return !item->parent() && item->data(0, NodeRole).template value<XsdtNode *>();
    }));
    if (selected.isEmpty()) {
        m_detailText->clear();
        return;
    }
    if (selected.size() > 1) {
        m_detailText->setPlainText(
            tr("%1 changes selected.").arg(QLocale().toString(selected.size())));
        return;
    }
    const QTreeWidgetItem *item = selected.constFirst();
    const auto *node = item->data(0, NodeRole).value<XsdtNode *>();
    if (!node) {
        m_detailText->clear();
        return;
    }
    QString text = node->path() + QLatin1Char('\n');
    if (item->data(0, AdditionRole).toBool() && node->isValue())
        text += tr("New value (%1): %2").arg(typeDisplayName(node->type), node->value);
    else if (item->data(0, AdditionRole).toBool())
        text += tr("A new entry with %n values. Expand the row to see them.", nullptr,
                   int(node->valueCount()));
    else if (!item->data(0, DeletionRole).toBool())
        text += tr("Before: %1\nAfter:  %2").arg(node->originalValue, node->value);
    else if (node->isValue())
        text += tr("Removed value: %1").arg(node->value);
    else
        text += tr("The whole entry is removed (%n values). Expand the row to see them.", nullptr,
                   int(node->valueCount()));
    m_detailText->setPlainText(text);
}

void ReviewDialog::takeBack()
{
    QList<QPair<XsdtNode *, const QTreeWidgetItem *>> chosen;
    for (const QTreeWidgetItem *item : m_tree->selectedItems()) {
        if (item->parent())
            continue; // rows inside a deleted or new group go back with their group
        if (auto *node = item->data(0, NodeRole).value<XsdtNode *>())
            chosen.append({node, item});
    }
    // One step in the window's undo history, so Ctrl+Z there brings all of them back.
    m_model->beginBatch(tr("revert of %n changes", nullptr, int(chosen.size())));
    for (const auto &[node, item] : chosen) {
        if (item->data(0, AdditionRole).toBool())
            m_model->undoAddition(node);
        else if (item->data(0, DeletionRole).toBool())
            m_model->undoDeletion(node);
        else
            m_model->revertValue(node);
    }
    m_model->endBatch();
    populate();
}

bool ReviewDialog::eventFilter(QObject *watched, QEvent *event)
{
    if (watched == m_filterEdit && event->type() == QEvent::KeyPress) {
        const int key = static_cast<QKeyEvent *>(event)->key();
        if (key == Qt::Key_Return || key == Qt::Key_Enter) {
            m_tree->setFocus(); // the filter applies as typed; Enter moves on to the list
            return true;
        }
    }
    return QDialog::eventFilter(watched, event);
}

} // namespace vrn
