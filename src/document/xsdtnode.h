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
    enum Kind : quint8 { Group = 0, Value = 1 };

    // Small members first and the rare compressed content behind a pointer: a large file holds
    // about a million nodes, so every byte here counts a megabyte.
    Kind kind = Group;
    bool textForm = false;
    bool selfClosing = false;
    bool pendingDelete = false;
    // The file writes this value's tab, line feed and carriage return characters as character
    // references. An edited value is always written that way: an XML reader turns them into
    // spaces when they stand raw in an attribute. Untouched values keep the form they were read in.
    bool referencedBreaks = false;
    QChar type;
    QString key;
    QString value;
    QString originalValue;
    XsdtNode *parent = nullptr;
    std::vector<std::unique_ptr<XsdtNode>> children;

    // The algorithm and encoded blocks of a compressed value, empty for every other node.
    const QString &compression() const { return m_compressed ? m_compressed->algorithm : none(); }
    const QString &compressedText() const { return m_compressed ? m_compressed->text : none(); }
    void setCompressed(QString algorithm, QString text);

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

private:
    struct Compressed
    {
        QString algorithm;
        QString text;
    };
    static const QString &none();
    std::unique_ptr<Compressed> m_compressed;
};

// A setting path fit for a message: a deep path keeps its first and last keys around "…" and
// very long keys are cut, so that a message stays readable whatever the file holds.
QString shortenedPath(const QString &path);

} // namespace vrn

Q_DECLARE_METATYPE(vrn::XsdtNode *)
