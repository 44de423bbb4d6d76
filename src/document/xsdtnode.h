#pragma once

#include <QMetaType>
#include <QString>
#include <QStringView>

#include <memory>
#include <vector>

namespace vrn {

// One element of a settings file: an <i> group or a <v> value. Pending edits live here:
// a changed value is `value` differing from `originalValue`, a queued deletion is
// `pendingDelete` (which takes the whole subtree with it).
struct XsdtNode
{
    enum Kind { Group = 0, Value = 1 };

    Kind kind = Group;
    QString key;
    QChar type;
    QString value;
    QString originalValue;
    bool textForm = false;
    QString compression;
    QString compressedText;
    bool selfClosing = false;
    bool pendingDelete = false;
    XsdtNode *parent = nullptr;
    std::vector<std::unique_ptr<XsdtNode>> children;

    XsdtNode() = default;
    XsdtNode(const XsdtNode &) = delete;
    XsdtNode &operator=(const XsdtNode &) = delete;

    // Appends a new node at the end of the children and returns it.
    XsdtNode *appendChild(Kind childKind, QString childKey);

    bool isGroup() const { return kind == Group; }
    bool isValue() const { return kind == Value; }

    QString path() const;
    XsdtNode *findPath(QStringView path) const;
    XsdtNode *childByKey(QStringView childKey) const;
    int indexInParent() const;
    bool isEditable() const;
    bool isDeleted() const;
    qsizetype valueCount() const;
    void revertSubtree();
};

// A setting path fit for a message: a deep path keeps its first and last keys around "…" and
// very long keys are cut, so that a message stays readable whatever the file holds.
QString shortenedPath(const QString &path);

} // namespace vrn

Q_DECLARE_METATYPE(vrn::XsdtNode *)
