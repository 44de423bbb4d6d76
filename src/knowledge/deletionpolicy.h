#pragma once

#include <QHash>
#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

struct XsdtNode;

enum class DeleteLevel { Never = 0, Warn = 1, Safe = 2 };

struct DeleteVerdict
{
    DeleteLevel level = DeleteLevel::Never;
    QString reason;
};

// A node path pattern: "*" matches one key, a trailing "**" anything strictly below.
struct PathPattern
{
    QStringList segments;
    bool deep = false;

    static bool compile(const QString &text, PathPattern *out);
    bool matches(const QStringList &keys) const;
};

struct DeletionRule
{
    QStringList segments;
    bool deep = false;
    bool groupsOnly = false;
    DeleteLevel level = DeleteLevel::Never;
    QString reason;
    int specificity = 0;
};

struct CleanupGroup
{
    QString title;
    QString description;
    QStringList paths;
    bool each = false;
};

// Decides for every entry whether it may be deleted freely, after a warning, or not at all.
// Read once from the built-in overlay; when that fails every verdict is Never.
class DeletionPolicy
{
public:
    DeletionPolicy();

    bool load(const QByteArray &overlayBytes, QString *error = nullptr);

    DeleteVerdict verdictFor(const XsdtNode *node) const;
    // The rules' verdict alone, from the node's keys. verdictFor() also reads the values and
    // marks of the module registry for a registry entry; work off the GUI thread asks this.
    DeleteVerdict ruleVerdictFor(const XsdtNode *node) const;
    // verdictFor() as a save asks it: may the entry go, and if not, why. The policy must
    // outlive the guard.
    std::function<bool(const XsdtNode *node, QString *reason)> deletionGuard() const;
    bool isEditLocked(const XsdtNode *node) const;
    bool isCompareNoCopy(const XsdtNode *node) const;
    // Either of the two above, with the node's keys gathered once.
    bool isKeptFromCopies(const XsdtNode *node) const;
    bool isCompareNoise(const XsdtNode *node) const;
    // The same for the entry with these keys, for callers that hold no node.
    bool isCompareNoise(const QStringList &keys, bool isValue) const;
    const QList<CleanupGroup> &cleanupGroups() const { return m_cleanup; }
    const QList<DeletionRule> &rules() const { return m_rules; }
    // Where in rules() those are that can match a path whose first key is this one, in order:
    // a rule naming another first key never can.
    const QList<qsizetype> &rulesFor(QStringView firstKey) const;
    QString defaultReason() const { return m_defaultReason; }

private:
    void reset();
    void clearLists();

    QList<DeletionRule> m_rules;
    QHash<QString, QList<qsizetype>> m_rulesByFirstKey;
    QList<qsizetype> m_rulesForAnyKey; // those that begin with "*"
    QList<PathPattern> m_compareNoise;
    QList<PathPattern> m_compareNoCopy;
    QList<PathPattern> m_editLocked;
    QList<CleanupGroup> m_cleanup;
    QString m_defaultReason;
};

// Every node whose path matches a pattern of keys and "*" segments, in document order.
QList<XsdtNode *> nodesMatching(XsdtNode *root, const QString &pattern);

// Entries judged Warn within three levels below the root (saved tool and script settings).
QList<XsdtNode *> warnEntriesBelow(const DeletionPolicy &policy, XsdtNode *root);

// The keys of a node's path, top level first (empty for the root).
QStringList pathKeys(const XsdtNode *node);

} // namespace vrn
