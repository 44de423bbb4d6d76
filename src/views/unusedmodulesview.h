#pragma once

#include "knowledge/backgroundjob.h"
#include "knowledge/leftovers.h"
#include "views/taskpage.h"

#include <QHash>
#include <QList>
#include <QSet>
#include <QString>

#include <vector>

class QCheckBox;
class QLabel;
class QPushButton;
class QScrollArea;
class QVBoxLayout;

namespace vrn {

class CollapsibleSection;
class Schema;
class SettingRow;
class SettingsModel;

// Data of modules that are no longer in PixInsight's module list, one card per module, with
// the files those modules left on disk. Settings entries are queued through the model; files
// are only remembered here, by their request keys, until the window deletes them after a save.
class UnusedModulesView : public TaskPage
{
    Q_OBJECT

public:
    struct Card
    {
        QString name;
        QList<XsdtNode *> nodes;
        qsizetype valueCount = 0;
        qint64 byteSize = 0;
        QCheckBox *tick = nullptr;
        CollapsibleSection *section = nullptr;
        QWidget *row = nullptr;
        bool built = false;
        QList<LeftoverItem> items;
        QList<QCheckBox *> itemTicks;
        QList<QLabel *> itemLabels;
    };

    // Value rows made per card; the rest are counted, not shown.
    static constexpr int MaxRows = 400;

    UnusedModulesView(SettingsModel *model, Schema *schema, QWidget *parent = nullptr);

    void setDocument(XsdtDocument *document) override;
    void setViewOnly(bool viewOnly) override;
    void setFolders(const QString &settingsFolder, const QString &programFolder);
    QString settingsFolder() const { return m_settingsFolder; }
    QString programFolder() const { return m_programFolder; }
    void refresh();
    void clearFileQueue();
    // The queued files that are still on disk, formed again from their keys.
    QList<LeftoverItem> queuedFiles() const;
    int queuedFileCount() const { return int(m_queuedFiles.size()); }
    void expandModule(const QString &name);
    // Sizes of the files on disk are counted off the GUI thread: a module folder can hold tens
    // of thousands of files.
    bool isMeasuring()
    {
        ensureBuilt();
        return !m_unmeasured.isEmpty();
    }
    // The cards of the current document are not in place yet.
    bool isBuilding() const { return m_stale || m_job.isRunning(); }
    // Waits for the cards, for callers that look at them straight away.
    void ensureBuilt();
    void buildCard(Card &card);

    // "1.5 KiB": the size format of this page.
    static QString formatSize(qint64 bytes);

    const std::vector<Card> &cards()
    {
        ensureBuilt();
        return m_cards;
    }
    QLabel *summaryLabel()
    {
        ensureBuilt();
        return m_summary;
    }
    QPushButton *tickAllButton()
    {
        ensureBuilt();
        return m_tickAll;
    }
    QPushButton *queueButton()
    {
        ensureBuilt();
        return m_queue;
    }
    QPushButton *undoButton()
    {
        ensureBuilt();
        return m_undo;
    }

public slots:
    void updateStatus();
    void tickAll();
    void queueTicked();
    void undoTicked();

signals:
    void queueChanged();
    void measured();

protected:
    void showEvent(QShowEvent *event) override;

private:
    struct Found;
    void startBuild();
    void makeCards(const QList<Found> &found);
    void clearCards();
    void refreshRows(const QModelIndex &topLeft, const QModelIndex &bottomRight);
    void showMenu(XsdtNode *node, const QPoint &globalPos);
    void addItemRow(Card &card, const LeftoverItem &item);
    void startMeasuring();
    void applySizes(const QList<LeftoverItem> &items);

    SettingsModel *m_model;
    Schema *m_schema;
    XsdtDocument *m_document = nullptr;
    QString m_settingsFolder;
    QString m_programFolder;
    bool m_viewOnly = false;
    // Cards live in a vector that is only ever rebuilt whole, so a card's address holds until
    // the next refresh.
    std::vector<Card> m_cards;
    // Modules of which only protected access records remain: named apart in the summary, as
    // there is nothing to remove (a module that also left files on disk keeps its card).
    QStringList m_accessOnly;
    QHash<XsdtNode *, SettingRow *> m_rows;
    QSet<QString> m_queuedFiles;
    // Keys of the items whose sizes are still being counted, and which count is current.
    QSet<QString> m_unmeasured;
    int m_measureRun = 0;

    QLabel *m_summary = nullptr;
    QScrollArea *m_scroll = nullptr;
    QVBoxLayout *m_cardLayout = nullptr;
    QPushButton *m_tickAll = nullptr;
    QPushButton *m_undo = nullptr;
    QPushButton *m_queue = nullptr;
    // A new document or new folders are only looked at once the page is shown; the looking
    // (document and disk) runs off the GUI thread.
    bool m_stale = false;
    BackgroundJob m_job{this};
};

} // namespace vrn
