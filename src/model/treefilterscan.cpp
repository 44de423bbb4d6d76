#include "model/treefilterscan.h"

#include "document/xsdtnode.h"

#include <QElapsedTimer>

namespace vrn {

TreeFilterScan::TreeFilterScan(const XsdtNode *root, const QString &text, bool changedOnly)
    : m_text(text.trimmed())
    , m_changedOnly(changedOnly)
{
    if (root && (!m_text.isEmpty() || m_changedOnly))
        m_stack.push_back({root, 0, 0});
}

bool TreeFilterScan::changedTest(const XsdtNode *node) const
{
    if (!m_changedOnly)
        return true;
    if (node->isValue())
        return node->value != node->originalValue || node->pendingDelete || node->isAdded();
    return node->pendingDelete || node->pendingAdd;
}

bool TreeFilterScan::step(qint64 budgetNs)
{
    QElapsedTimer clock;
    clock.start();
    int sinceCheck = 0;
    while (!m_stack.empty()) {
        if (budgetNs >= 0 && ++sinceCheck >= 256) {
            sinceCheck = 0;
            if (clock.nsecsElapsed() > budgetNs)
                return false;
        }
        Frame &top = m_stack.back();
        if (top.next >= top.node->children.size()) {
            m_stack.pop_back();
            continue;
        }
        const XsdtNode *node = top.node->children[top.next++].get();
        const qsizetype parentLength = top.pathLength;
        m_path.truncate(parentLength);
        if (parentLength > 0)
            m_path.append(QLatin1Char('/'));
        m_path.append(node->key);
        bool pathMatch = false;
        if (!m_text.isEmpty()) {
            // The parent's path did not match (or the walk would not be here), so a match has
            // to end in the part just added.
            const qsizetype from = qMax<qsizetype>(0, parentLength - m_text.size() + 1);
            pathMatch = QStringView(m_path).mid(from).contains(m_text, Qt::CaseInsensitive);
        }
        if (pathMatch && !m_changedOnly && node->isGroup()) {
            m_whole.insert(node);
            count(node, 1);
            continue;
        }
        const bool textMatch =
            m_text.isEmpty() || pathMatch ||
            (node->isEditable() && node->value.contains(m_text, Qt::CaseInsensitive));
        if (textMatch && changedTest(node)) {
            m_passing.insert(node);
            count(node, 1);
        }
        if (!node->children.empty())
            m_stack.push_back({node, 0, m_path.size()});
    }
    return true;
}

void TreeFilterScan::count(const XsdtNode *node, int delta)
{
    for (const XsdtNode *n = node; n && n->parent; n = n->parent) {
        int &c = m_count[n];
        c += delta;
        if (c <= 0)
            m_count.remove(n);
    }
}

bool TreeFilterScan::underWhole(const XsdtNode *node) const
{
    if (m_whole.isEmpty())
        return false;
    for (const XsdtNode *n = node; n; n = n->parent)
        if (m_whole.contains(n))
            return true;
    return false;
}

bool TreeFilterScan::shows(const XsdtNode *node) const
{
    return m_count.contains(node) || underWhole(node);
}

bool TreeFilterScan::passes(const XsdtNode *node) const
{
    if (!node || !node->parent || !changedTest(node))
        return false;
    if (m_text.isEmpty())
        return true;
    if (node->isEditable() && node->value.contains(m_text, Qt::CaseInsensitive))
        return true;
    return node->path().contains(m_text, Qt::CaseInsensitive);
}

bool TreeFilterScan::update(const XsdtNode *node)
{
    if (!node || underWhole(node))
        return false;
    const bool was = m_passing.contains(node);
    const bool now = passes(node);
    if (was == now)
        return false;
    if (now)
        m_passing.insert(node);
    else
        m_passing.remove(node);
    count(node, now ? 1 : -1);
    return true;
}

} // namespace vrn
