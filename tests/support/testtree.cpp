#include "support/testtree.h"

#include "generator/generator.h"

#include <QStringList>

namespace vrn::testdata {

XsdtNode *ensurePath(XsdtNode *root, const QString &path, XsdtNode::Kind kind, QChar type,
                     const QString &value)
{
    const QStringList keys = path.split(QLatin1Char('/'));
    XsdtNode *node = root;
    for (qsizetype i = 0; i < keys.size(); ++i) {
        const bool last = i + 1 == keys.size();
        XsdtNode *child = node->childByKey(keys.at(i));
        if (!child || (last && child->kind != kind) || (!last && !child->isGroup()))
            child = node->appendChild(last ? kind : XsdtNode::Group, keys.at(i));
        node = child;
    }
    if (node->isValue()) {
        node->type = type;
        node->value = value;
        node->originalValue = value;
    }
    return node;
}

std::unique_ptr<XsdtDocument> parsedSettings(const QByteArray &elements)
{
    auto doc = std::make_unique<XsdtDocument>();
    QString error;
    if (!doc->parse(wrapSettings(elements), &error))
        qFatal("test document does not parse: %s", qPrintable(error));
    return doc;
}

} // namespace vrn::testdata
