#pragma once

#include "document/xsdttext.h"
#include "knowledge/deletionpolicy.h"

#include <QAbstractItemModel>
#include <QHash>

#include <functional>
#include <memory>
#include <optional>
#include <utility>
#include <vector>

class QUndoStack;

namespace vrn {

class XsdtDocument;
struct XsdtNode;
struct NewValue;
class Schema;

// The tree model over the open settings document and the one gate through which every view
// changes it. It keeps no copy of the data and no change list: pending edits and queued
// deletions live in the nodes, so every view sees the same state.
class SettingsModel : public QAbstractItemModel
{
    Q_OBJECT

public:
    enum Roles { NodeRole = Qt::UserRole + 1 };

    explicit SettingsModel(QObject *parent = nullptr);

    void setDocument(XsdtDocument *document);
    XsdtDocument *document() const { return m_document; }
    void setPolicy(const DeletionPolicy *policy);
    const DeletionPolicy *policy() const { return m_policy; }
    // The documented ranges and options every new value is checked against; without one, only
    // the value's type is.
    void setSchema(const Schema *schema);
    const Schema *schema() const { return m_schema; }
    void setViewOnly(bool viewOnly);
    bool isViewOnly() const { return m_viewOnly; }
    // Why nothing can be changed while view-only, when it is not PixInsight running.
    void setViewOnlyReason(const QString &reason) { m_viewOnlyReason = reason; }

    XsdtNode *rootNode() const;
    XsdtNode *nodeForIndex(const QModelIndex &index) const;
    QModelIndex indexForNode(const XsdtNode *node, int column = 0) const;
    DeleteVerdict deletionVerdict(const XsdtNode *node) const;
    bool isEditLocked(const XsdtNode *node) const;
    // Why the node's value cannot be edited now, as a sentence for the user; empty when it can.
    QString whyNotEditable(const XsdtNode *node) const;
    // Why setData would refuse this text for the node, as a sentence for the user; empty when
    // it would store it. The same check as varnelctl's, so that no page accepts what it refuses.
    QString refusal(const XsdtNode *node, const QString &text, QString *normalized = nullptr) const;

    // Values that refusal() accepted, each with the text it normalized to, written as one
    // step named `text` (inside a batch, as part of the batch's step). A bulk copy checks every
    // value before it asks the user and need not check it again here; entries that cannot be
    // edited now are left alone. Returns how many values changed.
    int setAcceptedValues(const std::vector<std::pair<XsdtNode *, XsdtText>> &values,
                          const QString &text);
    // Creates values the file does not hold, each with the groups it needs, checked by the
    // rules an edit passes, as one step named `text` (inside a batch, as part of the batch's
    // step). `reasons` gets, for each value in turn, why it was not created (empty when it
    // was). Returns how many were created.
    int addValues(const QList<NewValue> &values, const QString &text,
                  QStringList *reasons = nullptr);
    // Takes back the creation of an entry made by addValues (the topmost of those it created).
    void undoAddition(XsdtNode *node);
    bool queueDeletion(XsdtNode *node, QString *whyNot = nullptr);
    // queueDeletion() for each node in turn, as part of the open batch (without one, each
    // node is a step of its own): the same checks and outcome, at a fraction of the cost for
    // hundreds of thousands of nodes. `refused` hears of each node refused, with the reason.
    // Returns how many nodes are queued, those already deleted with an entry above included.
    int queueDeletions(const std::vector<XsdtNode *> &nodes,
                       const std::function<void(XsdtNode *, const QString &)> &refused = {});
    void undoDeletion(XsdtNode *node);
    // undoDeletion() for each node in turn, as part of the open batch (without one, each node
    // is a step of its own), with one count of what is pending.
    void undoDeletions(const std::vector<XsdtNode *> &nodes);
    void revertValue(XsdtNode *node);
    void revertAll();
    void notifySubtree(const XsdtNode *node);
    void refreshAll();

    // Undo history of the changes made through the model. Every change is one step; changes
    // made between beginBatch() and endBatch() are one step named by the batch's text. The
    // history is emptied when the document is replaced (and by the caller after a save).
    QUndoStack *undoStack() const { return m_undoStack; }
    void beginBatch(const QString &text);
    // A step named when it ends, from the number of changes it holds: a bulk action knows
    // beforehand what it asks for, not what was accepted.
    void beginBatch(std::function<QString(int changes)> text);
    void endBatch();
    bool canUndo() const;
    bool canRedo() const;
    void undo();
    void redo();
    void clearHistory();

    // One node's state before and after a step: enough to put it back exactly. The texts share
    // the nodes' own data, so that putting a value back costs no copy and leaves it as read.
    struct NodeChange
    {
        XsdtNode *node = nullptr;
        XsdtText valueBefore;
        XsdtText valueAfter;
        bool markBefore = false;
        bool markAfter = false;
    };
    // Puts the nodes into their state before (undo) or after (redo) the changes.
    void applyChanges(const std::vector<NodeChange> &changes, bool after);
    // An entry a step put into the tree (`in`) or took out of it. While it is out, the step
    // owns it, so that pointers to it stay valid until the step itself is dropped.
    struct Insertion
    {
        XsdtNode *node = nullptr;
        XsdtNode *parent = nullptr;
        size_t row = 0;
        bool in = true;
        std::unique_ptr<XsdtNode> held;
    };
    void applyInsertions(std::vector<Insertion> &insertions, bool after);

    QModelIndex index(int row, int column,
                      const QModelIndex &parent = QModelIndex()) const override;
    QModelIndex parent(const QModelIndex &index) const override;
    int rowCount(const QModelIndex &parent = QModelIndex()) const override;
    int columnCount(const QModelIndex &parent = QModelIndex()) const override;
    QVariant data(const QModelIndex &index, int role = Qt::DisplayRole) const override;
    bool setData(const QModelIndex &index, const QVariant &value, int role = Qt::EditRole) override;
    QVariant headerData(int section, Qt::Orientation orientation,
                        int role = Qt::DisplayRole) const override;
    Qt::ItemFlags flags(const QModelIndex &index) const override;
    QModelIndex sibling(int row, int column, const QModelIndex &index) const override;
    bool hasChildren(const QModelIndex &parent = QModelIndex()) const override;

signals:
    // Values or marks are about to change: work that reads the document on another thread
    // stops before they are written.
    void aboutToChange();
    // Any value, mark or state may look different now, but no row moved, came or went: what
    // shows rows repaints and refreshes them all once.
    void valuesChanged();
    // What aboutToChange stopped may start again: no value changed after all (a save only
    // marked the values as saved).
    void resumeWork();
    void edited();
    void editRejected(const QString &reason);
    // The document's count of pending changes moved by `delta`, told as the nodes are written,
    // before anything may count them again; nothing when only a count can tell.
    void pendingChanged(std::optional<int> delta);

private:
    int rowOf(const XsdtNode *node) const;
    void record(const QString &text, std::vector<NodeChange> changes,
                std::vector<Insertion> insertions = {});
    void addToBatch(std::vector<NodeChange> changes);
    void putIn(Insertion &insertion);
    void takeOutOf(Insertion &insertion);
    void notifyChildren(const XsdtNode *node, const QModelIndex &nodeIndex);
    void markForDeletion(XsdtNode *node, bool mark);
    // What queueDeletion() makes of a node below entries marked or new as told: queue it, take
    // it as deleted already, or refuse it with the reason.
    enum class Deletable { Yes, Already, Refused };
    Deletable deletable(const XsdtNode *node, bool deletedAbove, bool addedAbove,
                        QString *whyNot) const;

    XsdtDocument *m_document = nullptr;
    const DeletionPolicy *m_policy = nullptr;
    const Schema *m_schema = nullptr;
    QString viewOnlyReason() const;
    bool m_viewOnly = false;
    QString m_viewOnlyReason;
    QUndoStack *m_undoStack = nullptr;
    int m_batchDepth = 0;
    QString m_batchText;
    std::function<QString(int)> m_batchNamer;
    std::vector<NodeChange> m_batchChanges;
    std::vector<Insertion> m_batchInsertions;
    // Rows of the children of large groups. The row of a node is its position among its
    // siblings, and views ask for parents of many rows while they paint; a linear search per
    // question would make a group with 100,000 children quadratic. Entries are checked before
    // use, so a stale entry only costs a rebuild of that group's rows.
    mutable QHash<const XsdtNode *, int> m_rowCache;
};

} // namespace vrn
