#pragma once

#include "knowledge/backgroundjob.h"
#include "knowledge/leftovers.h"

#include <QDialog>
#include <QList>
#include <QStringList>

class QCheckBox;
class QLabel;
class QLineEdit;
class QPlainTextEdit;
class QModelIndex;
class QPushButton;
class QTreeView;

namespace vrn {

class ReviewModel;
class SettingsModel;
class XsdtDocument;

// The last look before anything is written: every pending edit, every queued deletion and
// every file that will be removed from disk. Taking a change back acts on the model at once.
class ReviewDialog : public QDialog
{
    Q_OBJECT

public:
    ReviewDialog(SettingsModel *model, XsdtDocument *document, QWidget *parent = nullptr);

    void setLeftoverItems(const QList<LeftoverItem> &items);
    // What saving does to the file beyond the changes (its other names keep the old content),
    // said under the summary.
    void setFileNotes(const QStringList &notes);
    // Lists the document's changes. Many are sorted on a worker: the list, the counts and Save
    // wait for them.
    void populate();
    bool isListing() const { return m_job.isRunning(); }
    // Waits for the changes being sorted and lists them now, for callers that look at once.
    void finishListing() { m_job.finishNow(); }
    // Changes listed at once; more are sorted on a worker. For tests; returns the last limit.
    static qsizetype setListAtOnce(qsizetype changes);
    // Lists the values under a deleted or new group; the list does it when a row is expanded.
    void populateDeletion(const QModelIndex &index);

    QLabel *summaryLabel() const { return m_summaryLabel; }
    QLineEdit *filterEdit() const { return m_filterEdit; }
    QCheckBox *showEditsBox() const { return m_showEdits; }
    QCheckBox *showDeletionsBox() const { return m_showDeletions; }
    QCheckBox *showAdditionsBox() const { return m_showAdditions; }
    QTreeView *tree() const { return m_tree; }
    ReviewModel *reviewModel() const { return m_list; }
    QPlainTextEdit *detailText() const { return m_detailText; }
    QPlainTextEdit *leftoverText() const { return m_leftoverText; }
    QPushButton *revertButton() const { return m_revertButton; }
    QPushButton *cancelButton() const { return m_cancelButton; }
    QPushButton *saveButton() const { return m_saveButton; }

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    void updateDetails();
    void takeBack();
    // Lists the changes taken by populate(), filtered as the controls say.
    void fill();
    // The counts above the list, and whether there is anything to save.
    void updateSummary();

    SettingsModel *m_model;
    XsdtDocument *m_document;
    QList<LeftoverItem> m_leftovers;
    QStringList m_fileNotes;
    ReviewModel *m_list = nullptr;

    QLabel *m_summaryLabel = nullptr;
    QLineEdit *m_filterEdit = nullptr;
    QCheckBox *m_showEdits = nullptr;
    QCheckBox *m_showDeletions = nullptr;
    QCheckBox *m_showAdditions = nullptr;
    QTreeView *m_tree = nullptr;
    QPlainTextEdit *m_detailText = nullptr;
    QPlainTextEdit *m_leftoverText = nullptr;
    QPushButton *m_revertButton = nullptr;
    QPushButton *m_cancelButton = nullptr;
    QPushButton *m_saveButton = nullptr;
    qsizetype m_listing = 0; // changes being sorted on the worker
    BackgroundJob m_job{this};
};

} // namespace vrn
