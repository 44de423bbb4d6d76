#pragma once

#include "knowledge/backgroundjob.h"
#include "views/cleanuprows.h"
#include "views/taskpage.h"

#include <functional>
#include <memory>

class QLabel;
class QPushButton;
class QTreeView;

namespace vrn {

class SettingsModel;

// The Cleanup page: what PixInsight recreates by itself, in the groups the deletion rules
// name, and the saved settings of tools and scripts, ticked and queued for deletion in bulk.
// Every entry comes from the deletion rules' verdicts and every deletion goes through the
// model, which may still refuse it.
class CleanupView : public TaskPage
{
    Q_OBJECT

public:
    explicit CleanupView(SettingsModel *model, QWidget *parent = nullptr);

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;

    // Screenshot mode: ticks every entry (leaving those that need confirmation unticked when
    // asked) and can switch the confirmation of saved settings off.
    void tickAll(bool skipNeedingConfirmation);
    void setConfirmSavedSettings(bool confirm) { m_confirmSavedSettings = confirm; }

    // This page's size format: B, then KiB with one decimal, nothing larger.
    static QString sizeText(qint64 bytes);

    // These wait for the list of a new document, for callers that look at it straight away.
    QTreeView *tree()
    {
        ensureBuilt();
        return m_tree;
    }
    QLabel *statusLabel()
    {
        ensureBuilt();
        return m_statusLabel;
    }
    QPushButton *queueButton()
    {
        ensureBuilt();
        return m_queueButton;
    }
    QPushButton *undoButton()
    {
        ensureBuilt();
        return m_undoButton;
    }
    // The list of the current document is not in place yet.
    bool isBuilding() const { return m_stale || m_job.isRunning() || m_unmeasured; }
    void ensureBuilt();
    // For tests: a slice of measuring ends when this says so, given the nodes measured so far,
    // rather than after a set time.
    void setSliceRule(std::function<bool(qsizetype measured)> rule)
    {
        m_sliceRule = std::move(rule);
    }

protected:
    void showEvent(QShowEvent *event) override;

private:
    void startBuild();
    // Lets go of the list, to be made again: the tree is about to change shape.
    void dropList();
    void measureSome(bool all);
    void scheduleStatus();
    void updateStatus();
    void queueTicked();
    void undoTicked();

    SettingsModel *m_model = nullptr;
    XsdtDocument *m_document = nullptr;
    bool m_viewOnly = false;
    bool m_confirmSavedSettings = true;
    bool m_statusPending = false;
    bool m_statusStale = false; // edited while another page was shown
    CleanupRows *m_rows = nullptr;
    QTreeView *m_tree = nullptr;
    QLabel *m_statusLabel = nullptr;
    QPushButton *m_undoButton = nullptr;
    QPushButton *m_queueButton = nullptr;
    // A new document is only looked at once the page is shown; the looking runs off the GUI
    // thread, and the sizes of what it found are measured on it, a slice at a time.
    bool m_stale = false;
    std::shared_ptr<CleanupRows::List> m_unmeasured;
    qsizetype m_measured = 0;
    std::function<bool(qsizetype)> m_sliceRule;
    BackgroundJob m_job{this};
};

} // namespace vrn
