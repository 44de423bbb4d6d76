#pragma once

#include "views/taskpage.h"

#include <QFileSystemWatcher>
#include <QTimer>

#include <functional>

class QCheckBox;
class QComboBox;
class QLabel;
class QPushButton;
class QTreeView;

namespace vrn {

class CompareRows;
class ComparisonProgress;
class DeletionPolicy;
class HistoryBrowser;
class HistoryTimeline;
class Schema;
class SettingsModel;

// The History page: every version of the settings file its history keeps, newest first. A
// version picked is compared with the one before it or with the open file; chosen values are
// copied from it into the open file as one undo step, or the whole version is restored through
// the guarded restore. A damaged version shows the reader's message and offers the nearest
// good one.
class HistoryView : public TaskPage
{
    Q_OBJECT

public:
    HistoryView(SettingsModel *model, const DeletionPolicy *policy, const Schema *schema,
                QWidget *parent = nullptr);
    ~HistoryView() override;

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;
    // Where the open document's file is; its history is the one shown.
    void setEditedPathSource(std::function<QString()> source);

    // Opens the history of the file now open, anew (also after the data folder changed).
    void openHistory();
    // Reads the list of versions again, keeping the one picked.
    void refresh();
    // Picks the version and compares it as the page is set to.
    void showVersion(qint64 id);
    // Waits for the comparison under way and shows it now (screenshots, tests).
    void finishComparison();

    // For tests and screenshot mode.
    HistoryBrowser *browser() const { return m_browser; }
    QTreeView *timeline() const { return m_timeline; }
    QTreeView *differences() const { return m_diff; }
    QComboBox *againstChooser() const { return m_against; }
    QLabel *problemLabel() const { return m_problem; }
    QPushButton *goodVersionButton() const { return m_good; }
    QPushButton *copyButton() const { return m_copy; }
    QPushButton *restoreButton() const { return m_restore; }
    QPushButton *pinButton() const { return m_pin; }

signals:
    // The user confirmed nothing yet: the window asks, then restores these bytes through the
    // guarded restore.
    void restoreRequested(const QByteArray &bytes, const QString &name);

protected:
    void showEvent(QShowEvent *event) override;

private:
    void watchFolder();
    void compareSelected();
    void forgetOpenFileRecords();
    void onFinished();
    void onFailed(const QString &error, qint64 nearestGood);
    void showResults();
    void copyChosen();
    void togglePin();
    void updateButtons();
    qint64 selectedId() const;

    SettingsModel *m_model;
    HistoryBrowser *m_browser;
    HistoryTimeline *m_versions;
    CompareRows *m_rows = nullptr;
    XsdtDocument *m_document = nullptr;
    std::function<QString()> m_pathSource;
    QString m_path;
    bool m_viewOnly = false;
    bool m_recompareDue = false;     // a comparison with the open file, after entries went
    bool m_compareWhenShown = false; // put off while out of sight, for want of memory
    qint64 m_goodId = 0;
    QFileSystemWatcher m_watcher;
    QTimer m_refreshPause;

    QLabel *m_state = nullptr;
    QTreeView *m_timeline = nullptr;
    QComboBox *m_against = nullptr;
    QCheckBox *m_hideNoise = nullptr;
    QLabel *m_problem = nullptr;
    QPushButton *m_good = nullptr;
    ComparisonProgress *m_progress = nullptr;
    QLabel *m_summary = nullptr;
    QTreeView *m_diff = nullptr;
    QPushButton *m_copy = nullptr;
    QPushButton *m_restore = nullptr;
    QPushButton *m_pin = nullptr;
};

} // namespace vrn
