#pragma once

#include <QByteArray>
#include <QHash>
#include <QJsonObject>
#include <QList>
#include <QPair>
#include <QSet>
#include <QString>
#include <QStringList>

namespace vrn {

struct XsdtNode;
class XsdtDocument;

enum class EditorKind {
    Bool = 0,
    Choice = 1,
    Integer = 2,
    Unsigned = 3,
    Real = 4,
    Text = 5,
    FilePath = 6,
    Directory = 7,
    Color = 8
};

// What the editor knows about one setting.
struct VariableInfo
{
    QString label;
    QString description;
    EditorKind kind = EditorKind::Text;
    bool readOnly = false;
    bool known = false;
    bool hasRange = false;
    double min = 0;
    double max = 0;
    QList<QPair<int, QString>> choices;
};

struct PageSpec
{
    QString title;
    QStringList paths;
};

// PixInsight's documented global variables plus hand-made refinements, and the Preferences pages.
class Schema
{
public:
    bool load(const QByteArray &globalsBytes, const QByteArray &overlayBytes,
              QString *error = nullptr);

    static QString variableId(const XsdtNode *node);
    VariableInfo info(const XsdtNode *node) const;
    // False when the node is surely no documented variable, as its key alone tells: info() then
    // gives only what its type and key say, for a label.
    bool mayBeDocumented(const XsdtNode *node) const;
    QList<PageSpec> pagesFor(const XsdtDocument &document) const;
    bool isHidden(const XsdtNode *node) const;
    const QList<PageSpec> &pages() const { return m_pages; }

private:
    void addLastKey(const QString &key);

    struct Global
    {
        QString description;
        bool readOnly = false;
        // Derived from the description once at load time.
        QString cleaned;
        bool hasRange = false;
        double min = 0;
        double max = 0;
    };
    QHash<QString, Global> m_globals;
    QHash<QString, QJsonObject> m_refinements;
    QList<PageSpec> m_pages;
    QSet<QString> m_hidden;
    QSet<QString> m_lastKeys; // last key of every id above, to skip undocumented nodes quickly
    QByteArray m_keyShapes;   // length and first character of those keys, tested first
};

// "MaxModuleThreadPriority" -> "Max module thread priority".
QString labelFromIdentifier(const QString &key);

} // namespace vrn
