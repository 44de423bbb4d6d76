#pragma once

#include <QHash>
#include <QSet>
#include <QString>

#include <vector>

namespace vrn {

struct XsdtNode;

// Which rows of the advanced tree a filter shows: a node whose path contains the text, or an
// editable value that contains it, limited to pending changes when asked, together with every
// ancestor of such a node. The walk over the document can be done in slices, so that a large
// file is filtered without holding up the window; it never changes the document.
class TreeFilterScan
{
public:
    TreeFilterScan(const XsdtNode *root, const QString &text, bool changedOnly);

    // Walks on for about the given time; true when the whole document has been seen.
    bool step(qint64 budgetNs);
    void runToEnd() { step(-1); }
    bool isDone() const { return m_stack.empty(); }

    QString text() const { return m_text; }
    bool changedOnly() const { return m_changedOnly; }

    // After the walk (and kept up to date by update()):
    bool shows(const XsdtNode *node) const;
    // Whether the node passes on its own, ignoring its ancestors and descendants.
    bool passes(const XsdtNode *node) const;
    // Re-checks one node after its value or mark changed; true when its row may have to appear
    // or go.
    bool update(const XsdtNode *node);
    bool isEmpty() const { return m_count.isEmpty() && m_whole.isEmpty(); }

private:
    struct Frame
    {
        const XsdtNode *node;
        size_t next;
        qsizetype pathLength;
    };
    bool changedTest(const XsdtNode *node) const;
    bool underWhole(const XsdtNode *node) const;
    void count(const XsdtNode *node, int delta);

    QString m_text;
    bool m_changedOnly;
    std::vector<Frame> m_stack;
    QString m_path;
    // Passing nodes below each shown node (itself included); a node shows while it has any.
    QHash<const XsdtNode *, int> m_count;
    QSet<const XsdtNode *> m_passing;
    // Groups whose own path contains the text: everything below them passes as well, so the
    // walk does not go in (this keeps a one-letter filter cheap).
    QSet<const XsdtNode *> m_whole;
};

} // namespace vrn
