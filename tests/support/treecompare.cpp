#include "support/treecompare.h"

#include "document/xsdtnode.h"

#include <vector>

namespace vrn::testdata {

QString treeDifference(const XsdtNode &a, const XsdtNode &b, bool skipMarked, bool compareForms)
{
    std::vector<const XsdtNode *> left;
    for (const auto &child : a.children) {
        if (!skipMarked || !child->pendingDelete)
            left.push_back(child.get());
    }
    if (left.size() != b.children.size())
        return QStringLiteral("%1: %2 children against %3")
            .arg(a.path())
            .arg(left.size())
            .arg(b.children.size());
    for (size_t i = 0; i < left.size(); ++i) {
        const XsdtNode &x = *left[i];
        const XsdtNode &y = *b.children[i];
        const QString where = x.path();
        if (x.kind != y.kind || x.key != y.key)
            return QStringLiteral("%1: kind/key %2/%3 against %4/%5")
                .arg(where)
                .arg(int(x.kind))
                .arg(x.key)
                .arg(int(y.kind))
                .arg(y.key);
        if (x.kind == XsdtNode::Value) {
            if (x.type != y.type)
                return QStringLiteral("%1: type %2 against %3").arg(where, x.type, y.type);
            if (x.value != y.value)
                return QStringLiteral("%1: value [%2] against [%3]").arg(where, x.value, y.value);
            if (x.compression() != y.compression() || x.compressedText() != y.compressedText())
                return QStringLiteral("%1: compressed content differs").arg(where);
            if (compareForms && x.textForm != y.textForm)
                return QStringLiteral("%1: text form differs").arg(where);
        }
        if (compareForms && x.selfClosing != y.selfClosing)
            return QStringLiteral("%1: empty-element form differs").arg(where);
        const QString below = treeDifference(x, y, skipMarked, compareForms);
        if (!below.isEmpty())
            return below;
    }
    return QString();
}

} // namespace vrn::testdata
