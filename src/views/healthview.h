#pragma once

#include "environment/pixinsight.h"
#include "knowledge/healthcheck.h"
#include "views/taskpage.h"

#include <QHash>
#include <QList>

#include <memory>

class QComboBox;
class QLabel;
class QPushButton;
class QTimer;
class QVBoxLayout;

namespace vrn {

class BackgroundJob;
class Schema;
class SettingRow;
class SettingsModel;

// The Health check page: the findings of the health check as cards, each with a severity
// stripe, its explanation and the entries it is about, editable in place. The check runs the
// first time the page is shown after a document is set, and again on request, on a worker so
// that the window stays usable; it never changes anything itself.
class HealthView : public TaskPage
{
    Q_OBJECT

public:
    HealthView(SettingsModel *model, Schema *schema, QWidget *parent = nullptr);
    ~HealthView() override;

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;
    // Starts the check; its cards follow when it is done.
    void runCheck();
    bool isChecking() const;
    // Waits for a running check and shows its findings now.
    void finishCheck();
    // The computer the check runs against; the running system's unless a test sets another.
    void setEnvironment(const HealthEnv &environment) { m_environment = environment; }

    const QList<Finding> &findings() const { return m_findings; }
    const QList<QWidget *> &cards() const { return m_cards; }
    SettingRow *rowFor(const XsdtNode *node) const { return m_rows.value(node); }
    QLabel *summaryLabel() const { return m_summary; }
    QPushButton *runButton() const { return m_runButton; }
    QPushButton *moreButton() const { return m_moreButton; }
    // Which findings get cards: every severity or one, every kind or one (item data: the id).
    QComboBox *severityFilter() const { return m_severityFilter; }
    QComboBox *kindFilter() const { return m_kindFilter; }
    static constexpr qsizetype kCardsAtOnce = 100;
    // Cards built in one turn of the event loop; the rest of a hundred follow in later turns.
    static constexpr qsizetype kCardsPerTurn = 10;
    bool hasRun() const { return m_hasRun; }

signals:
    void openUnusedModules();
    void summaryChanged(int problems, int warnings);

protected:
    void showEvent(QShowEvent *event) override;

private:
    QWidget *buildCard(const Finding &finding);
    void buildMoreCards();
    // With `now`, builds what is wanted whether the page is shown or not.
    void buildSlice(bool now = false);
    void addGroupLine(QVBoxLayout *layout, QWidget *card, XsdtNode *node);
    void clearCards();
    QPushButton *addDeleteButton(const QString &text, QWidget *card, XsdtNode *node,
                                 QLabel *label = nullptr);
    void refreshDeleteControls();
    // Cards again for the findings the two filters let through.
    void applyFilter();
    void fillKindFilter();
    void updateSummary();
    void showFindings(QList<Finding> findings);
    void stopForChange();
    void markStale();
    void refreshRows(const QModelIndex &topLeft, const QModelIndex &bottomRight);

    SettingsModel *m_model = nullptr;
    Schema *m_schema = nullptr;
    HealthEnv m_environment;
    XsdtDocument *m_document = nullptr;
    QList<Finding> m_findings;
    QList<qsizetype> m_shown; // the findings that pass the filters, by position
    QList<QWidget *> m_cards;
    QPushButton *m_moreButton = nullptr;
    QHash<const XsdtNode *, SettingRow *> m_rows;
    // The delete buttons of the cards, with the entry each one queues and the line naming it.
    struct DeleteControl
    {
        XsdtNode *node;
        QPushButton *button;
        QLabel *label; // null where a setting row names the entry
        bool deletable;
    };
    QList<DeleteControl> m_deleteControls;
    bool m_viewOnly = false;
    bool m_hasRun = false;
    bool m_staleNoticeShown = false;
    bool m_recheck = false; // a check was stopped for a change and runs again after it
    std::unique_ptr<BackgroundJob> m_checker;
    qsizetype m_cardsWanted = 0;
    QTimer *m_sliceTimer = nullptr;

    QLabel *m_summary = nullptr;
    QComboBox *m_severityFilter = nullptr;
    QComboBox *m_kindFilter = nullptr;
    QPushButton *m_runButton = nullptr;
    QVBoxLayout *m_cardsLayout = nullptr;
};

} // namespace vrn
