#include "knowledge/deletionpolicy.h"

#include "document/xsdtnode.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QVarLengthArray>

#include <algorithm>

namespace vrn {

namespace {

class Policy
{
    Q_DECLARE_TR_FUNCTIONS(vrn::DeletionPolicy)
};

// Whether a live registry entry earlier than this one names a file of the same name (ignoring
// case): the only registry entries whose deletion cannot leave a module unregistered.
bool repeatsEarlierRegistration(const XsdtNode *entry)
{
    const XsdtNode *modules = entry ? entry->parent : nullptr;
    if (!modules || !entry->isValue() || modules->key != QLatin1String("Modules") ||
        !modules->parent || modules->parent->parent ||
        modules->parent->childByKey(u"Modules") != modules)
        return false;
    const QString entryValue = entry->value;
    QStringView name = QStringView(entryValue).trimmed();
    qsizetype start = name.size();
    while (start > 0 && name.at(start - 1) != u'/' && name.at(start - 1) != u'\\')
        --start;
    name = name.mid(start);
    if (name.isEmpty())
        return false;
    // A plain suffix test first: the policy asks this for every entry of a large registry.
    for (const auto &child : modules->children) {
        if (child.get() == entry)
            return false;
        if (!child->isValue() || child->pendingDelete)
            continue;
        const bool same = child->value.visit([name](auto value) {
            const auto other = value.trimmed();
            if (!other.endsWith(name, Qt::CaseInsensitive))
                return false;
            const qsizetype before = other.size() - name.size();
            const QChar c = before > 0 ? QChar(other.at(before - 1)) : QChar();
            return before == 0 || c == u'/' || c == u'\\';
        });
        if (same)
            return true;
    }
    return false;
}

QString initialDefaultReason()
{
    return Policy::tr("This entry is not on the list of entries known to be safe to remove.");
}

template <typename Keys>
bool segmentsMatch(const QStringList &segments, const Keys &keys)
{
    for (qsizetype i = 0; i < segments.size(); ++i) {
        const QString &segment = segments.at(i);
        if (segment != QLatin1String("*") && segment != keys.at(i))
            return false;
    }
    return true;
}

template <typename Keys>
bool patternMatches(const QStringList &segments, bool deep, const Keys &keys)
{
    if (deep ? keys.size() <= segments.size() : keys.size() != segments.size())
        return false;
    return segmentsMatch(segments, keys);
}

// The keys of a node's path, looked at where they are rather than copied: a large comparison
// asks about each of hundreds of thousands of records.
using NodeKeys = QVarLengthArray<QStringView, 32>;

NodeKeys nodeKeys(const XsdtNode *node)
{
    NodeKeys keys;
    for (const XsdtNode *n = node; n && n->parent; n = n->parent)
        keys.append(n->key.view());
    std::reverse(keys.begin(), keys.end());
    return keys;
}

bool anyMatches(const QList<PathPattern> &patterns, const NodeKeys &keys)
{
    return std::any_of(patterns.begin(), patterns.end(), [&](const PathPattern &p) {
        return patternMatches(p.segments, p.deep, keys);
    });
}

QList<PathPattern> compileList(const QJsonArray &array)
{
    QList<PathPattern> patterns;
    for (const QJsonValue &value : array) {
        PathPattern pattern;
        if (PathPattern::compile(value.toString(), &pattern))
            patterns.append(pattern);
    }
    return patterns;
}

void collectMatching(XsdtNode *node, const QStringList &segments, qsizetype index,
                     QList<XsdtNode *> &out)
{
    const QString &segment = segments.at(index);
    const bool any = segment == QLatin1String("*");
    for (const auto &child : node->children) {
        if (!any && child->key != segment)
            continue;
        if (index + 1 == segments.size())
            out.append(child.get());
        else
            collectMatching(child.get(), segments, index + 1, out);
    }
}

// The rules' verdict alone, without looking at the node's siblings: cheap enough for listings that
// ask about every entry.
template <typename Keys>
DeleteVerdict ruleVerdict(const DeletionPolicy &policy, const Keys &keys, bool isValue)
{
    DeleteVerdict verdict{DeleteLevel::Never, policy.defaultReason()};
    const DeletionRule *best = nullptr;
    const QList<qsizetype> &candidates =
        policy.rulesFor(keys.isEmpty() ? QStringView() : QStringView(keys.at(0)));
    for (const qsizetype i : candidates) {
        const DeletionRule &rule = policy.rules().at(i);
        if (rule.groupsOnly && isValue)
            continue;
        if (!patternMatches(rule.segments, rule.deep, keys))
            continue;
        // Later rules win ties, except that a deep rule never displaces an exact one.
        if (!best || rule.specificity > best->specificity ||
            (rule.specificity == best->specificity && !(rule.deep && !best->deep)))
            best = &rule;
    }
    if (best) {
        verdict.level = best->level;
        if (!best->reason.isEmpty())
            verdict.reason = best->reason;
    }
    return verdict;
}

DeleteVerdict ruleVerdict(const DeletionPolicy &policy, const XsdtNode *node)
{
    if (!node || !node->parent)
        return {DeleteLevel::Never, policy.defaultReason()};
    return ruleVerdict(policy, nodeKeys(node), node->kind == XsdtNode::Value);
}

void collectWarn(const DeletionPolicy &policy, XsdtNode *node, int depth, QList<XsdtNode *> &out)
{
    for (const auto &child : node->children) {
        if (ruleVerdict(policy, child.get()).level == DeleteLevel::Warn)
            out.append(child.get());
        else if (child->kind == XsdtNode::Group && depth < 3)
            collectWarn(policy, child.get(), depth + 1, out);
    }
}

} // namespace

QStringList pathKeys(const XsdtNode *node)
{
    // One allocation, filled from the leaf up and turned round: a large comparison asks this
    // for each of a million records.
    qsizetype depth = 0;
    for (const XsdtNode *n = node; n && n->parent; n = n->parent)
        ++depth;
    QStringList keys;
    keys.reserve(depth);
    for (const XsdtNode *n = node; n && n->parent; n = n->parent)
        keys.append(n->key);
    std::reverse(keys.begin(), keys.end());
    return keys;
}

bool PathPattern::compile(const QString &text, PathPattern *out)
{
    QStringList segments = text.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (segments.isEmpty())
        return false;
    out->deep = segments.constLast() == QLatin1String("**");
    if (out->deep)
        segments.removeLast();
    out->segments = segments;
    return true;
}

bool PathPattern::matches(const QStringList &keys) const
{
    return patternMatches(segments, deep, keys);
}

DeletionPolicy::DeletionPolicy()
{
    reset();
}

void DeletionPolicy::reset()
{
    clearLists();
    m_defaultReason = initialDefaultReason();
}

void DeletionPolicy::clearLists()
{
    m_rules.clear();
    m_rulesByFirstKey.clear();
    m_rulesForAnyKey.clear();
    m_compareNoise.clear();
    m_compareNoCopy.clear();
    m_editLocked.clear();
    m_cleanup.clear();
}

bool DeletionPolicy::load(const QByteArray &overlayBytes, QString *error)
{
    reset();
    const QByteArray trimmed = overlayBytes.trimmed();
    if (trimmed.isEmpty())
        return true;
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(trimmed, &parseError);
    if (json.isNull() || !json.isObject()) {
        if (error)
            *error = Policy::tr("overlay.json: %1").arg(parseError.errorString());
        return false;
    }
    const QJsonObject overlay = json.object();
    const QJsonObject policy = overlay.value(QLatin1String("policy")).toObject();
    if (policy.contains(QLatin1String("defaultReason")))
        m_defaultReason = policy.value(QLatin1String("defaultReason")).toString();

    for (const QJsonValue &value : policy.value(QLatin1String("delete")).toArray()) {
        const QJsonObject record = value.toObject();
        const QString levelText = record.value(QLatin1String("level")).toString();
        DeletionRule rule;
        if (levelText == QLatin1String("never")) {
            rule.level = DeleteLevel::Never;
        } else if (levelText == QLatin1String("warn")) {
            rule.level = DeleteLevel::Warn;
        } else if (levelText == QLatin1String("safe")) {
            rule.level = DeleteLevel::Safe;
        } else {
            // Rules read before a bad one are dropped too: half a rule list could allow more
            // than the whole one would.
            clearLists();
            if (error)
                *error = Policy::tr("overlay.json: unknown delete level '%1'").arg(levelText);
            return false;
        }
        PathPattern pattern;
        if (!PathPattern::compile(record.value(QLatin1String("path")).toString(), &pattern))
            continue;
        rule.segments = pattern.segments;
        rule.deep = pattern.deep;
        rule.specificity =
            int(std::count_if(rule.segments.begin(), rule.segments.end(),
                              [](const QString &s) { return s != QLatin1String("*"); }));
        rule.groupsOnly = record.value(QLatin1String("groupsOnly")).toBool(false);
        rule.reason = record.value(QLatin1String("reason")).toString();
        m_rules.append(rule);
    }

    // Each first key's list holds the rules for any key too, so that a verdict walks one list.
    for (qsizetype i = 0; i < m_rules.size(); ++i) {
        const QStringList &segments = m_rules.at(i).segments;
        if (segments.isEmpty() || segments.constFirst() == QLatin1String("*")) {
            m_rulesForAnyKey.append(i);
            for (QList<qsizetype> &list : m_rulesByFirstKey)
                list.append(i);
        } else {
            auto list = m_rulesByFirstKey.find(segments.constFirst());
            if (list == m_rulesByFirstKey.end())
                list = m_rulesByFirstKey.insert(segments.constFirst(), m_rulesForAnyKey);
            list->append(i);
        }
    }

    m_compareNoise = compileList(overlay.value(QLatin1String("compareNoise")).toArray());
    m_compareNoCopy = compileList(overlay.value(QLatin1String("compareNoCopy")).toArray());
    m_editLocked = compileList(overlay.value(QLatin1String("editLocked")).toArray());

    for (const QJsonValue &value : overlay.value(QLatin1String("cleanup")).toArray()) {
        const QJsonObject record = value.toObject();
        CleanupGroup group;
        group.title = record.value(QLatin1String("title")).toString();
        group.description = record.value(QLatin1String("description")).toString();
        for (const QJsonValue &path : record.value(QLatin1String("paths")).toArray())
            group.paths.append(path.toString());
        group.each = record.value(QLatin1String("each")).toBool(false);
        if (!group.title.isEmpty() && !group.paths.isEmpty())
            m_cleanup.append(group);
    }
    return true;
}

const QList<qsizetype> &DeletionPolicy::rulesFor(QStringView firstKey) const
{
    // Looked up through a view of the key's own characters: no copy is made.
    const auto found =
        m_rulesByFirstKey.constFind(QString::fromRawData(firstKey.data(), firstKey.size()));
    return found == m_rulesByFirstKey.cend() ? m_rulesForAnyKey : *found;
}

std::function<bool(const XsdtNode *, QString *)> DeletionPolicy::deletionGuard() const
{
    return [this](const XsdtNode *node, QString *reason) {
        DeleteVerdict verdict = verdictFor(node);
        *reason = std::move(verdict.reason);
        return verdict.level != DeleteLevel::Never;
    };
}

DeleteVerdict DeletionPolicy::verdictFor(const XsdtNode *node) const
{
    const DeleteVerdict verdict = ruleVerdict(*this, node);
    // The registry is protected as a whole, but a second registration of the same module file
    // is what makes PixInsight complain about duplicate identifiers; the earlier one stays.
    if (verdict.level == DeleteLevel::Never && !m_rules.isEmpty() &&
        repeatsEarlierRegistration(node))
        return {DeleteLevel::Warn, Policy::tr("An earlier entry of the module registry "
                                              "names a module file of the same name. "
                                              "Deleting this one leaves that entry.")};
    return verdict;
}

DeleteVerdict DeletionPolicy::ruleVerdictFor(const XsdtNode *node) const
{
    return ruleVerdict(*this, node);
}

bool DeletionPolicy::isEditLocked(const XsdtNode *node) const
{
    return !node || anyMatches(m_editLocked, nodeKeys(node));
}

bool DeletionPolicy::isCompareNoCopy(const XsdtNode *node) const
{
    return !node || anyMatches(m_compareNoCopy, nodeKeys(node));
}

bool DeletionPolicy::isKeptFromCopies(const XsdtNode *node) const
{
    if (!node)
        return true;
    const NodeKeys keys = nodeKeys(node);
    return anyMatches(m_compareNoCopy, keys) || anyMatches(m_editLocked, keys);
}

bool DeletionPolicy::isCompareNoise(const XsdtNode *node) const
{
    if (!node || !node->parent)
        return false;
    return isCompareNoise(pathKeys(node), node->kind == XsdtNode::Value);
}

bool DeletionPolicy::isCompareNoise(const QStringList &keys, bool isValue) const
{
    if (keys.isEmpty())
        return false;
    if (ruleVerdict(*this, keys, isValue).level == DeleteLevel::Safe)
        return true;
    return std::any_of(m_compareNoise.begin(), m_compareNoise.end(),
                       [&](const PathPattern &p) { return p.matches(keys); });
}

QList<XsdtNode *> nodesMatching(XsdtNode *root, const QString &pattern)
{
    QList<XsdtNode *> out;
    const QStringList segments = pattern.split(QLatin1Char('/'), Qt::SkipEmptyParts);
    if (root && !segments.isEmpty())
        collectMatching(root, segments, 0, out);
    return out;
}

QList<XsdtNode *> warnEntriesBelow(const DeletionPolicy &policy, XsdtNode *root)
{
    QList<XsdtNode *> out;
    if (root)
        collectWarn(policy, root, 1, out);
    return out;
}

} // namespace vrn
