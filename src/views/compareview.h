#pragma once

#include "knowledge/compare.h"
#include "views/taskpage.h"

#include <QList>
#include <QSet>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <atomic>
#include <functional>
#include <memory>
#include <vector>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTreeView;

namespace vrn {

class BackgroundJob;
class CompareRows;
class SettingsModel;

// The Compare page: the open document against another settings file (another instance's or a
// backup), listing the values that differ or exist on one side only, and copying chosen
// values of the other file into this one as ordinary pending edits. Nothing is added or
// deleted, and the other file is only read. Reading the other file and comparing run on a
// worker, with progress and Cancel on the page.
class CompareView : public TaskPage
{
    Q_OBJECT

public:
    explicit CompareView(SettingsModel *model, QWidget *parent = nullptr);
    ~CompareView() override;

    void setDocument(XsdtDocument *document, const QString &path);
    // The path of the edited file comes from the source the main window set.
    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;
    void setEditedPathSource(std::function<QString()> source);

    // Starts reading and comparing the file; false, with the reason, when it cannot even start
    // (the edited file itself, a file that cannot be opened). A file that turns out not to be a
    // settings file is reported through message() when the worker is done.
    bool compareWith(const QString &path, QString *error = nullptr);
    // Lists the files and backups on disk again, keeping the file compared with; called after
    // a save, which makes a backup the list must offer.
    void refreshFileChoices();
    // Back to no other file, as when the first entry of the chooser is picked.
    void forgetOtherFile();
    // Gives up the comparison under way, as its Cancel button does: back to no other file.
    void cancelComparison();
    bool isComparing() const;
    // A comparison asked for (after an edit or a new document) has yet to start.
    bool isComparisonDue() const { return m_recomputePending || m_heldRecompute; }
    // While the file is read or saved, or kept changes are made again, the document is about to
    // change: comparing it meanwhile would be done again at once, so it waits.
    void holdComparisons(bool hold);
    // Waits for the comparison under way and shows it now, for screenshot mode and tests.
    void finishComparison();
    // Waits for the worker without taking its result, which arrives from the event loop as
    // usual: for tests of results that come too late.
    void waitForWorker();
    // Typed search text not yet applied to the list.
    bool isSearchPending() const { return m_searchPause.isActive(); }
    // The file compared with, or being read to be compared with.
    QString otherPath() const;
    const QList<DiffRecord> &records() const { return m_records; }

    // For tests and screenshot mode.
    QComboBox *fileChooser() const { return m_chooser; }
    QCheckBox *differentBox() const { return m_different; }
    QCheckBox *onlyHereBox() const { return m_onlyHere; }
    QCheckBox *onlyThereBox() const { return m_onlyThere; }
    QCheckBox *hideNoiseBox() const { return m_hideNoise; }
    QLineEdit *searchEdit() const { return m_search; }
    QLabel *summaryLabel() const { return m_summary; }
    QTreeView *tree() const { return m_tree; }
    QPushButton *copySelectedButton() const { return m_copySelected; }
    QPushButton *copyAllButton() const { return m_copyAll; }
    QPushButton *cancelButton() const { return m_cancel; }

protected:
    void showEvent(QShowEvent *event) override;

private:
    friend class CompareRows;

    // What a copy would do with a record, worked out before anything is written so that the
    // confirmation and the result tell the same story.
    enum CopyVerdict : signed char {
        Unknown = -1,
        WillCopy,
        OneSide,     // exists in one of the files only
        Protected,   // protected type, compressed, specific to one installation or locked
        Queued,      // this file's entry is marked for deletion
        Invalid,     // the other file's text is not valid for this entry's type
        AlreadySame, // differs in type or spelling only; copying would not change the text
        Refused,     // the model turns it down (range, choices, read-only)
        VerdictCount
    };

    // The other file as read on a worker: its document and the index over it, which nobody
    // changes once built, so workers and the page may read them at the same time.
    struct OtherFile;
    struct Outcome;

    void recompute();
    void stopWorker();
    void startComparison(const QString &path, std::shared_ptr<const OtherFile> other);
    void takeOutcome(Outcome &outcome);
    void showProgress();
    void showResults();
    void workOutVerdicts();
    void updateButtons();
    void copyValues(const QList<int> &positions);
    void fillFileChoices();
    void scheduleRecompute();
    void runScheduled();
    bool updateChangedValues();
    void onChosen(int index);
    void forgetOther();
    void clearResults();
    void onDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void showContextMenu(const QPoint &pos);
    void copySelected();
    void copyAllShown();
    QList<int> selectedRecords() const;
    int positionAt(const QModelIndex &index) const;
    bool copyable(int position) const;
    CopyVerdict copyVerdict(int position) const;
    // "12 marked for deletion; 3 already the same": the records not copied, by reason.
    QString notCopiedText(const int (&counts)[VerdictCount], const QString &refusal) const;
    bool isNoise(int position);
    bool passesFilters(const DiffRecord &record, const QString &search) const;
    int groupOf(int position);
    QString rowLabel(int position) const;
    QString statusText(int position) const;
    QString toolTip(int position) const;
    void updateSummary();

    SettingsModel *m_model = nullptr;
    XsdtDocument *m_document = nullptr;
    QString m_path;
    std::function<QString()> m_pathSource;
    QString m_otherPath;
    std::shared_ptr<const OtherFile> m_other;
    std::unique_ptr<BackgroundJob> m_job;
    // Entries of this document walked and entries in all, written by the worker.
    std::shared_ptr<std::atomic<qint64>> m_progressDone;
    qint64 m_progressTotal = 0;
    QString m_comparingPath;
    // A file that was being read when the document went away, read again for the next one.
    QString m_pendingPath;
    QTimer m_progressTimer;
    QTimer m_searchPause;
    // What a copy would do is worked out for the shown records up to here; a long list in
    // slices between events, and the button that copies them all counts once it is done.
    QTimer m_verdictSlices;
    qsizetype m_verdictNext = 0;
    QString m_searchText;
    QList<DiffRecord> m_records;
    HereRanks m_ranks;
    // The current records in display order. A value that stops differing leaves its record
    // behind in m_records, so the positions held by the rows stay valid until the next full
    // comparison.
    std::vector<int> m_current;
    // Per record, worked out when first needed: -1 not yet known, else 0 or 1.
    std::vector<signed char> m_noise;
    // Per record, a CopyVerdict worked out when first needed.
    mutable std::vector<signed char> m_copyable;
    // Per record whose verdict is WillCopy, the text the copy stores: checked once, for the
    // question, and not again for each of thousands of values when they are copied.
    mutable std::vector<QString> m_copyText;
    // Per record, its group in m_groupLabels, or -1 when not known yet.
    std::vector<int> m_groups;
    QStringList m_groupLabels;
    QHash<QString, int> m_groupByLabel;
    CompareRows *m_rows = nullptr;
    QList<int> m_shown;
    bool m_viewOnly = false;
    bool m_recomputePending = false;
    bool m_held = false;
    bool m_heldRecompute = false; // asked for while held
    int m_holdChanges = 0;
    // Values edited since the last comparison; a change that is not a value edit of a live
    // value needs the full comparison again.
    QSet<XsdtNode *> m_changedValues;
    bool m_needsFull = false;
    QSet<XsdtNode *> m_deletedAtCompare;
    int m_counts[3] = {0, 0, 0};
    int m_hidden = 0;

    QComboBox *m_chooser = nullptr;
    QCheckBox *m_different = nullptr;
    QCheckBox *m_onlyHere = nullptr;
    QCheckBox *m_onlyThere = nullptr;
    QCheckBox *m_hideNoise = nullptr;
    QLineEdit *m_search = nullptr;
    QLabel *m_summary = nullptr;
    QWidget *m_busy = nullptr;
    QLabel *m_busyLabel = nullptr;
    QProgressBar *m_progress = nullptr;
    QPushButton *m_cancel = nullptr;
    QTreeView *m_tree = nullptr;
    QPushButton *m_copySelected = nullptr;
    QPushButton *m_copyAll = nullptr;
};

} // namespace vrn
