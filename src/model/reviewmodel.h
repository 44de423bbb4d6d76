#pragma once

#include "document/xsdtdocument.h"

#include <QAbstractItemModel>
#include <QList>
#include <QString>

#include <atomic>
#include <vector>

namespace vrn {

struct XsdtNode;

// The pending changes of a document as the review lists them: one row per deletion, edit and
// addition, sorted by path, narrowed by a filter. A row's texts are made only when a view asks
// for them and the values under a deleted or new group only when it is expanded, so that a list
// of many thousands of changes opens at once.
class ReviewModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    // Data of a top-level row, column 0: the node, whether the row is a deletion, and whether it
    // is an addition.
    static constexpr int NodeRole = Qt::UserRole;
    static constexpr int DeletionRole = Qt::UserRole + 1;
    static constexpr int AdditionRole = Qt::UserRole + 2;
    // Rows listed below a group before the rest is only counted.
    static constexpr int MaxGroupChildren = 300;

    enum class Change { Deletion, Edit, Addition };

    explicit ReviewModel(QObject *parent = nullptr);
    ~ReviewModel() override;

    struct Sorted
    {
        QString path;
        XsdtNode *node;
    };
    // The changes of each kind sorted by path: what a list is made from.
    struct SortedChanges
    {
        std::vector<Sorted> deletions;
        std::vector<Sorted> edits;
        std::vector<Sorted> additions;
    };
    // May run on another thread while nothing changes the document; gives up, with part of
    // the changes left out, once `cancelled` is set.
    static SortedChanges sortChanges(XsdtDocument::PendingNodes pending,
                                     const std::atomic_bool *cancelled = nullptr);

    // Takes the changes (sorted here, once) and lists those the filter lets through.
    void setChanges(XsdtDocument::PendingNodes pending);
    void setChanges(SortedChanges sorted);
    // A row shows when its kind is ticked and the text (trimmed) is empty, part of its path, or
    // part of the old or new text of a value that is not a Block, ignoring case. With changes
    // but no row, one row says that nothing matches.
    void setFilter(const QString &text, bool edits, bool deletions, bool additions);

    // Sorted by path.
    const QList<XsdtNode *> &deletions() const { return m_deletions; }
    const QList<XsdtNode *> &edits() const { return m_edits; }
    const QList<XsdtNode *> &additions() const { return m_additions; }
    qsizetype changeCount() const
    {
        return m_deletions.size() + m_edits.size() + m_additions.size();
    }
    // Whether the only row is the one saying nothing matches.
    bool isNothingMatching() const { return m_nothing; }

    XsdtNode *nodeAt(const QModelIndex &index) const;
    // The top-level row of a change shown for the node, or an invalid index.
    QModelIndex indexOf(const XsdtNode *node, int column = 0) const;

    QModelIndex index(int row, int column, const QModelIndex &parent = {}) const override;
    QModelIndex parent(const QModelIndex &child) const override;
    int rowCount(const QModelIndex &parent = {}) const override;
    int columnCount(const QModelIndex &parent = {}) const override;
    bool hasChildren(const QModelIndex &parent = {}) const override;
    bool canFetchMore(const QModelIndex &parent) const override;
    void fetchMore(const QModelIndex &parent) override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;

private:
    struct Child
    {
        const XsdtNode *value = nullptr; // null: the row counting the values left out
        qsizetype leftOut = 0;
    };
    struct Row
    {
        XsdtNode *node = nullptr;
        QString path;
        Change change = Change::Edit;
        bool fetched = false;
        std::vector<Child> children;
    };
    bool isGroupRow(const Row &row) const;
    QVariant childData(const Row &row, const Child &child, int column, int role) const;

    QList<XsdtNode *> m_deletions;
    QList<XsdtNode *> m_edits;
    QList<XsdtNode *> m_additions;
    std::vector<Sorted> m_sortedDeletions;
    std::vector<Sorted> m_sortedEdits;
    std::vector<Sorted> m_sortedAdditions;
    std::vector<Row> m_rows;
    bool m_nothing = false;
};

} // namespace vrn
