#pragma once

#include "knowledge/backgroundjob.h"
#include "views/taskpage.h"

#include <QHash>
#include <QList>

#include <functional>
#include <memory>
#include <vector>

class QLabel;
class QPushButton;
class QTreeWidget;
class QTreeWidgetItem;

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
    ~CleanupView() override;

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;

    // Screenshot mode: ticks every entry (leaving those that need confirmation unticked when
    // asked) and can switch the confirmation of saved settings off.
    void tickAll(bool skipNeedingConfirmation);
    void setConfirmSavedSettings(bool confirm) { m_confirmSavedSettings = confirm; }

    // "SomeTool › Main" for ModuleData/SomeTool/Interfaces/Main/Geometry.
    static QString geometryLabel(const XsdtNode *node);
    // This page's size format: B, then KiB with one decimal, nothing larger.
    static QString sizeText(qint64 bytes);

    // These wait for the list of a new document, for callers that look at it straight away.
    QTreeWidget *tree()
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
    bool isBuilding() const { return m_stale || m_job.isRunning() || m_plan; }
    void ensureBuilt();
    // For tests: a slice of rows ends when this says so, given the rows made so far, rather
    // than after a set time.
    void setSliceRule(std::function<bool(int rowsMade)> rule) { m_sliceRule = std::move(rule); }

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct Plan;
    void startBuild();
    void buildSome(bool all);
    bool makeNextRow(Plan &plan);
    QTreeWidgetItem *addEntryItem(QTreeWidgetItem *parent, const QString &label,
                                  const QList<XsdtNode *> &nodes, const QString &toolTip,
                                  bool needsConfirmation);
    static QTreeWidgetItem *makeSection(const QString &title);
    void addDetail(QTreeWidgetItem *parent, const QString &text, const XsdtNode *node = nullptr);
    QTreeWidgetItem *addGroupRow(const struct PlannedGroup &group);
    void dropRows();
    struct Entry;
    std::vector<const Entry *> tickedEntries() const;
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
    QTreeWidget *m_tree = nullptr;
    // The two sections; while their rows are being made they are not in the tree yet.
    QTreeWidgetItem *m_safeTop = nullptr;
    QTreeWidgetItem *m_settingsTop = nullptr;
    // Every tickable entry row in tree order, for a fixed visiting order: the nodes it stands
    // for, whether queueing it needs the user's confirmation, and its size (worked out once,
    // when the row is made).
    struct Entry
    {
        QTreeWidgetItem *row = nullptr;
        QList<XsdtNode *> nodes;
        qint64 bytes = 0;
        bool needsConfirmation = false;
    };
    std::vector<Entry> m_entries;
    QLabel *m_statusLabel = nullptr;
    QPushButton *m_undoButton = nullptr;
    QPushButton *m_queueButton = nullptr;
    // A new document is only looked at once the page is shown; the looking runs off the GUI
    // thread.
    bool m_stale = false;
    std::shared_ptr<Plan> m_plan; // found, its sizes being measured and its rows made
    qsizetype m_measured = 0;
    const QHash<const XsdtNode *, qint64> *m_sizes = nullptr; // while the rows are made
    std::function<bool(int)> m_sliceRule;
    BackgroundJob m_job{this};
};

} // namespace vrn
