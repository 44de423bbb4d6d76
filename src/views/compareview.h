#pragma once

#include "knowledge/comparison.h"
#include "views/comparefilechooser.h"
#include "views/comparisonprogress.h"
#include "views/taskpage.h"

#include <QList>
#include <QString>
#include <QStringList>
#include <QTimer>

#include <functional>
#include <utility>

class QCheckBox;
class QComboBox;
class QLabel;
class QLineEdit;
class QPushButton;
class QTreeView;

namespace vrn {

class CompareRows;
class SettingsModel;

// The Compare page: the open document against another settings file (another instance's or a
// backup), listing the values that differ or exist on one side only, and copying chosen
// values of the other file into this one as ordinary pending edits. Nothing is added or
// deleted, and the other file is only read. The comparison engine reads the other file and
// compares on a worker, with progress and Cancel on the page.
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
    void setEditedPathSource(std::function<QString()> source) { m_pathSource = std::move(source); }

    // Starts reading and comparing the file; false, with the reason, when it cannot even start
    // (the edited file itself, a file that cannot be opened). A file that turns out not to be a
    // settings file is reported through message() when the worker is done.
    bool compareWith(const QString &path, QString *error = nullptr);
    // Lists the files and backups on disk again, keeping the file compared with; called after
    // a save, which makes a backup the list must offer.
    void refreshFileChoices() { fillFileChoices(); }
    // Back to no other file, as when the first entry of the chooser is picked.
    void forgetOtherFile();
    // Gives up the comparison under way, as its Cancel button does: back to no other file.
    void cancelComparison();
    bool isComparing() const { return m_comparison->isRunning(); }
    // A comparison asked for (after an edit or a new document) has yet to start.
    bool isComparisonDue() const { return m_comparison->isUpdateDue(); }
    // While the file is read or saved, or kept changes are made again, the document is about to
    // change: comparing it meanwhile would be done again at once, so it waits.
    void holdComparisons(bool hold) { m_comparison->hold(hold); }
    // Waits for the comparison under way and shows it now, for screenshot mode and tests.
    void finishComparison();
    // Waits for the worker without taking its result, which arrives from the event loop as
    // usual: for tests of results that come too late.
    void waitForWorker() { m_comparison->waitForWorker(); }
    // Typed search text or a filter not yet applied to the list.
    bool isSearchPending() const;
    // The file compared with, or being read to be compared with.
    QString otherPath() const;
    const QList<DiffRecord> &records() const { return m_comparison->records(); }
    // The engine behind the page, for tests.
    const Comparison *comparison() const { return m_comparison; }

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
    QPushButton *cancelButton() const { return m_progress->cancelButton(); }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void recompute();
    void stopWorker();
    void showBusy(const QString &path);
    void onFinished();
    void onFailed(const QString &error);
    void showResults();
    void workOutVerdicts();
    void updateButtons();
    void copyValues(const QList<int> &positions);
    void fillFileChoices();
    void onPatched(const Comparison::Patch &patch);
    void forgetOther();
    void clearResults();
    void onDataChanged(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void showContextMenu(const QPoint &pos);
    void copyAllShown();
    QList<int> selectedRecords() const;
    void updateSummary();

    SettingsModel *m_model = nullptr;
    Comparison *m_comparison = nullptr;
    XsdtDocument *m_document = nullptr;
    QString m_path;
    std::function<QString()> m_pathSource;
    // A file that was being read when the document went away, read again for the next one.
    QString m_pendingPath;
    QTimer m_searchPause;
    // What a copy would do is worked out for the shown records a slice at a time between
    // events, and the button that copies them all counts once it is done.
    QTimer m_verdictSlices;
    CompareRows *m_rows = nullptr;
    bool m_viewOnly = false;
    bool m_readingFile = false;   // the run under way reads a newly chosen file
    bool m_resultsDue = false;    // compared while another page was shown
    bool m_otherIsBackup = false; // the file compared with is a backup of the edited one

    CompareFileChooser *m_chooser = nullptr;
    QCheckBox *m_different = nullptr;
    QCheckBox *m_onlyHere = nullptr;
    QCheckBox *m_onlyThere = nullptr;
    QCheckBox *m_hideNoise = nullptr;
    QLineEdit *m_search = nullptr;
    QLabel *m_summary = nullptr;
    ComparisonProgress *m_progress = nullptr;
    QTreeView *m_tree = nullptr;
    QPushButton *m_copySelected = nullptr;
    QPushButton *m_copyAll = nullptr;
};

} // namespace vrn
