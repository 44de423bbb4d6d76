#include "support/nodebuilder.h"

#include <QStringList>

namespace vrn::testdata {

XsdtNode *addGroup(XsdtNode &root, const QString &path)
{
    XsdtNode *node = &root;
    for (const QString &key : path.split(QLatin1Char('/'), Qt::SkipEmptyParts)) {
        XsdtNode *child = node->childByKey(key);
        if (!child || !child->isGroup())
            child = node->appendChild(XsdtNode::Group, key);
        node = child;
    }
    return node;
}

XsdtNode *addValue(XsdtNode &root, const QString &path, QChar type, const QString &value)
{
    const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
    XsdtNode *parent = slash < 0 ? &root : addGroup(root, path.left(slash));
    XsdtNode *node = parent->appendChild(XsdtNode::Value, path.mid(slash + 1));
    node->type = type;
    node->value = value;
    node->originalValue = value;
    return node;
}

} // namespace vrn::testdata
