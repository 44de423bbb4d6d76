#pragma once

#include <QAbstractItemModel>
#include <QStringList>

#include <atomic>
#include <memory>
#include <span>
#include <vector>

namespace vrn {

class DeletionPolicy;
class XsdtDocument;
struct XsdtNode;

// The rows of the Cleanup page. Two sections: what PixInsight recreates, a row per cleanup group
// of the deletion rules (a group picked entry by entry lists its entries below its row), and the
// saved settings of tools and scripts. An entry of several nodes lists their paths below it.
// A large file lists hundreds of thousands of entries, so an entry is a few numbers over the
// document's nodes, its texts are written out when shown, and a group row keeps the counts of
// its entries ticked and queued instead of asking them on every paint.
class CleanupRows : public QAbstractItemModel
{
    Q_OBJECT

public:
    // What one document has to clean, in the order shown.
    struct List
    {
        // A node an entry stands for, with its values and size when the list was made.
        struct Node
        {
            XsdtNode *node = nullptr;
            qint64 values = 0;
            qint64 bytes = 0;
        };
        // Its nodes run from firstNode up to the next entry's.
        struct Entry
        {
            quint32 firstNode = 0;
            qint32 group = -1;   // -1: saved settings, which ask before they are queued
            quint32 toolTip = 0; // in toolTips
            quint32 queued = 0;  // of its nodes, as last looked at
            bool ticked = false;
        };
        struct Group
        {
            QString title;
            QString description;
            bool each = false; // entry by entry; otherwise one entry for all its nodes
            quint32 firstEntry = 0;
            quint32 entries = 0;
            qint64 values = 0;
            qint64 bytes = 0;
            quint32 ticked = 0; // of its entries
            quint32 queued = 0; // of its entries, with every node
        };
        std::vector<Node> nodes;
        std::vector<Entry> entries; // the groups' first, then the saved settings
        std::vector<Group> groups;  // those with an entry
        QStringList toolTips;       // each text once: thousands of entries give the same reason
        quint32 firstSaved = 0;

        std::span<const Node> nodesOf(quint32 entry) const;
    };

    // Entries without a single value (an empty group) free nothing worth a row: they are left
    // out. Reads keys, structure and the rules only, never values or marks (other pages change
    // those meanwhile), so that it can run off the GUI thread; the sizes are left to measure.
    // Null when cancelled.
    static std::unique_ptr<List> plan(const DeletionPolicy &policy, XsdtDocument &document,
                                      const std::atomic_bool &cancelled);

    // "SomeTool › Main" for ModuleData/SomeTool/Interfaces/Main/Geometry.
    static QString geometryLabel(const XsdtNode *node);
    // The page's size format: B, then KiB with one decimal, nothing larger.
    static QString sizeText(qint64 bytes);

    explicit CleanupRows(QObject *parent = nullptr);
    ~CleanupRows() override;

    // The rows of a measured list, none without one.
    void setList(std::unique_ptr<List> list);
    const List *list() const { return m_list.get(); }
    QString entryLabel(quint32 entry) const;

    void setEnabled(bool enabled);
    // Screenshot mode ticks every entry, perhaps but those that ask first.
    void tickAll(bool skipNeedingConfirmation);
    void untickAll();

    // Every entry's status from the marks of its nodes, and the entries queued for deletion
    // counted as the window title counts them: each once whatever rows list it, and none inside
    // an entry that goes as a whole.
    struct Marks
    {
        int queued = 0;
        bool statusChanged = false;
    };
    Marks takeMarks();

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    QVariant headerData(int section, Qt::Orientation orientation, int role) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QVariant data(const QModelIndex &index, int role) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role) override;

signals:
    // The user ticked or unticked rows.
    void ticksChanged();

private:
    struct Row
    {
        enum Kind { Section, Group, Entry, Node, Placeholder } kind;
        quint32 number; // of the section, group, entry or node
    };
    Row rowAt(const QModelIndex &index) const;
    QModelIndex entryIndex(quint32 entry, int column) const;
    void tick(quint32 first, quint32 end, bool ticked);
    // Every row with a box or a status, over these columns; the paths below an entry have
    // neither.
    void rowsChanged(int firstColumn, int lastColumn, const QList<int> &roles = {});

    std::unique_ptr<List> m_list;
    quint32 m_ticked[2] = {0, 0}; // entries of each section
    bool m_enabled = true;
};

} // namespace vrn
