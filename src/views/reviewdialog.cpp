#include "views/reviewdialog.h"

#include "document/values.h"
#include "document/xsdtdocument.h"
#include "model/reviewmodel.h"
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
#include <QTreeView>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>
#include <utility>

namespace vrn {

namespace {

qsizetype listAtOnce = 20'000;

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

    // Rows are made as they come into view: a list of many thousands opens at once.
    m_list = new ReviewModel(this);
    m_tree = new QTreeView(this);
    m_tree->setModel(m_list);
    m_tree->setSelectionMode(QAbstractItemView::ExtendedSelection);
    m_tree->setAlternatingRowColors(true);
    m_tree->setUniformRowHeights(true);
    m_tree->setRootIsDecorated(true);
    // Paths differ at their ends; the tool tip holds the whole one.
    m_tree->setTextElideMode(Qt::ElideMiddle);
    QHeaderView *header = m_tree->header();
    header->setSectionsClickable(false); // nothing sorts by a column here
    header->setStretchLastSection(false);
    header->setSectionResizeMode(0, QHeaderView::ResizeToContents);
    // Fit the change column to the rows on screen: its few words are measured there, not on a
    // thousand rows of a long list each time the dialog opens.
    header->setResizeContentsPrecision(0);
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
    connect(m_tree->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            &ReviewDialog::updateDetails);
    connect(m_tree, &QTreeView::expanded, this, &ReviewDialog::populateDeletion);
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
    updateSummary(); // the list itself does not change
}

void ReviewDialog::setFileNotes(const QStringList &notes)
{
    m_fileNotes = notes;
    updateSummary(); // the list itself does not change
}

qsizetype ReviewDialog::setListAtOnce(qsizetype changes)
{
    return std::exchange(listAtOnce, changes);
}

void ReviewDialog::populate()
{
    // The lists walk the whole document: taken once here, not again for every filter key or
    // note, since nothing but this dialog's own revert changes the document while it is open.
    XsdtDocument::PendingNodes pending =
        m_document ? m_document->pendingNodes() : XsdtDocument::PendingNodes();
    const qsizetype count = pending.deleted.size() + pending.changed.size() + pending.added.size();
    if (count <= listAtOnce) {
        m_job.stop();
        m_listing = 0;
        m_list->setChanges(std::move(pending));
        fill();
        return;
    }
    // Nothing to revert or save meanwhile: the list shows no row until all are in.
    m_listing = count;
    m_list->setChanges(ReviewModel::SortedChanges());
    fill();
    m_job.start([this, pending = std::move(pending)](const std::atomic_bool &cancelled) mutable {
        auto sorted = std::make_shared<ReviewModel::SortedChanges>(
            ReviewModel::sortChanges(std::move(pending), &cancelled));
        return BackgroundJob::Finish([this, sorted] {
            m_listing = 0;
            m_list->setChanges(std::move(*sorted));
            fill();
        });
    });
}

void ReviewDialog::fill()
{
    updateSummary();
    m_list->setFilter(m_filterEdit->text(), m_showEdits->isChecked(), m_showDeletions->isChecked(),
                      m_showAdditions->isChecked());
    if (m_list->isNothingMatching())
        m_tree->setFirstColumnSpanned(0, QModelIndex(), true);
    m_revertButton->setEnabled(false);
    updateDetails();
}

void ReviewDialog::updateSummary()
{
    if (m_listing > 0) {
        m_summaryLabel->setText(tr("Listing %n changes...", nullptr, int(m_listing)));
        m_saveButton->setEnabled(false);
        return;
    }
    const QList<XsdtNode *> &deletions = m_list->deletions();
    const QList<XsdtNode *> &edits = m_list->edits();
    const QList<XsdtNode *> &additions = m_list->additions();
    qsizetype removed = 0;
    for (const XsdtNode *node : deletions)
        removed += node->valueCount();
    qsizetype added = 0;
    for (const XsdtNode *node : additions)
        added += node->valueCount();
    const qsizetype changes = m_list->changeCount();

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

    m_saveButton->setEnabled(changes > 0 || !m_leftovers.isEmpty());
}

void ReviewDialog::populateDeletion(const QModelIndex &index)
{
    if (m_list->canFetchMore(index))
        m_list->fetchMore(index);
    // The row counting the values left out speaks across the columns.
    const int last = m_list->rowCount(index) - 1;
    if (last >= 0 && m_list->flags(m_list->index(last, 0, index)) == Qt::ItemIsEnabled)
        m_tree->setFirstColumnSpanned(last, index, true);
}

void ReviewDialog::updateDetails()
{
    const QModelIndexList selected = m_tree->selectionModel()->selectedRows();
    // Rows inside a deletion go back only with the deletion: with nothing else chosen there is
    // nothing to take back, and a button that did nothing would leave the row looking stuck.
    m_revertButton->setEnabled(
        std::any_of(selected.begin(), selected.end(),
                    [this](const QModelIndex &row) { return m_list->nodeAt(row) != nullptr; }));
    if (selected.isEmpty()) {
        m_detailText->clear();
        return;
    }
    if (selected.size() > 1) {
        m_detailText->setPlainText(
            tr("%1 changes selected.").arg(QLocale().toString(selected.size())));
        return;
    }
    const QModelIndex row = selected.constFirst();
    const XsdtNode *node = m_list->nodeAt(row);
    if (!node) {
        m_detailText->clear();
        return;
    }
    const bool addition = row.data(ReviewModel::AdditionRole).toBool();
    QString text = node->path() + QLatin1Char('\n');
    if (addition && node->isValue())
        text += tr("New value (%1): %2").arg(typeDisplayName(node->type), node->value);
    else if (addition)
        text += tr("A new entry with %n values. Expand the row to see them.", nullptr,
                   int(node->valueCount()));
    else if (!row.data(ReviewModel::DeletionRole).toBool())
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
    // Rows inside a deleted or new group have no node of their own: they go back with their
    // group.
    QList<QPair<XsdtNode *, QModelIndex>> chosen;
    for (const QModelIndex &row : m_tree->selectionModel()->selectedRows()) {
        if (XsdtNode *node = m_list->nodeAt(row))
            chosen.append({node, row});
    }
    // One step in the window's undo history, so Ctrl+Z there brings all of them back.
    m_model->beginBatch(tr("revert of %n changes", nullptr, int(chosen.size())));
    for (const auto &[node, row] : chosen) {
        if (row.data(ReviewModel::AdditionRole).toBool())
            m_model->undoAddition(node);
        else if (row.data(ReviewModel::DeletionRole).toBool())
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
