#include "knowledge/paths.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "environment/pixinsight.h"

#include <QCoreApplication>
#include <QHash>

#include <algorithm>
#include <numeric>

namespace vrn {

namespace {

struct PathText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Paths)
};

bool isSeparator(QChar c, bool windowsPaths)
{
    return c == QLatin1Char('/') || (windowsPaths && c == QLatin1Char('\\'));
}

bool sameChar(QChar a, QChar b, bool windowsPaths)
{
    if (a == b)
        return true;
    if (!windowsPaths)
        return false;
    return (isSeparator(a, true) && isSeparator(b, true)) || a.toCaseFolded() == b.toCaseFolded();
}

// Trailing separators go, except where they are the root itself ("/", "C:\").
QString withoutTrailingSeparators(const QString &path, bool windowsPaths)
{
    qsizetype end = path.size();
    while (end > 1 && isSeparator(path.at(end - 1), windowsPaths)) {
        if (windowsPaths && end == 3 && path.at(1) == QLatin1Char(':'))
            break;
        --end;
    }
    return path.left(end);
}

bool isPath(QStringView text, bool windowsPaths)
{
    return !text.startsWith(QLatin1Char('@')) && looksAbsolute(text.toString(), windowsPaths) &&
           !text.contains(QChar(0));
}

bool isPathValue(const XsdtNode *node, bool windowsPaths)
{
    return node->isEditable() && node->type == QLatin1Char('s') &&
           !pathsInText(node->value.toString(), windowsPaths).isEmpty();
}

void collectPathNodes(XsdtNode *node, bool windowsPaths, QList<XsdtNode *> &out,
                      const std::atomic_bool *cancelled = nullptr)
{
    for (const auto &child : node->children) {
        if (child->pendingDelete)
            continue;
        if (child->isGroup()) {
            if (cancelled && cancelled->load(std::memory_order_relaxed))
                return;
            collectPathNodes(child.get(), windowsPaths, out, cancelled);
        } else if (isPathValue(child.get(), windowsPaths))
            out.append(child.get());
    }
}

// Windows paths compare ignoring case and separator kind.
QString comparable(const QString &path, bool windowsPaths)
{
    if (!windowsPaths)
        return path;
    QString folded = path.toCaseFolded();
    folded.replace(QLatin1Char('\\'), QLatin1Char('/'));
    return folded;
}

class ExistenceCache
{
public:
    explicit ExistenceCache(const HealthEnv &env)
        : m_env(env)
    {}
    bool operator()(const QString &path)
    {
        if (!m_env.exists)
            return true;
        auto it = m_known.constFind(path);
        if (it == m_known.constEnd())
            it = m_known.insert(path, m_env.exists(path));
        return it.value();
    }

private:
    const HealthEnv &m_env;
    QHash<QString, bool> m_known;
};

} // namespace

QList<PathSpan> pathsInText(QStringView text, bool windowsPaths)
{
    QList<PathSpan> spans;
    qsizetype start = 0;
    while (start <= text.size()) {
        qsizetype end = start;
        while (end < text.size() && text.at(end) != QLatin1Char('\n') &&
               text.at(end) != QLatin1Char('\r'))
            ++end;
        QStringView line = text.mid(start, end - start);
        // "PATH|DIGITS": a place in the file, not part of its name.
        const qsizetype bar = line.lastIndexOf(QLatin1Char('|'));
        if (bar >= 0 && bar + 1 < line.size() &&
            std::all_of(line.begin() + bar + 1, line.end(),
                        [](QChar c) { return c >= QLatin1Char('0') && c <= QLatin1Char('9'); }))
            line = line.left(bar);
        if (!line.isEmpty() && isPath(line, windowsPaths))
            spans.append(PathSpan{start, line.size()});
        start = end + 1;
    }
    return spans;
}

QList<PathValue> pathValues(const XsdtDocument &document, const HealthEnv &env,
                            const std::atomic_bool *cancelled)
{
    QList<XsdtNode *> nodes;
    collectPathNodes(const_cast<XsdtNode *>(&document.root), env.windowsPaths, nodes, cancelled);
    ExistenceCache exists(env);
    QList<PathValue> values;
    values.reserve(nodes.size());
    for (XsdtNode *node : std::as_const(nodes)) {
        if (cancelled && cancelled->load(std::memory_order_relaxed))
            break;
        const QString text = node->value;
        for (const PathSpan &span : pathsInText(text, env.windowsPaths)) {
            const QString path = text.mid(span.start, span.length);
            values.append(PathValue{node, path, exists(path)});
        }
    }
    return values;
}

QString pathFolder(const QString &path, bool windowsPaths)
{
    const QString trimmed = withoutTrailingSeparators(path, windowsPaths);
    qsizetype cut = trimmed.size() - 1;
    while (cut >= 0 && !isSeparator(trimmed.at(cut), windowsPaths))
        --cut;
    if (cut < 0)
        return trimmed;
    // The root keeps its separator: "/x" sits in "/", "C:\x" in "C:\".
    const bool root = cut == 0 || (windowsPaths && cut == 2 && trimmed.at(1) == QLatin1Char(':'));
    return trimmed.left(root ? cut + 1 : cut);
}

QList<PathGroup> groupByFolder(const QList<PathValue> &values, bool windowsPaths, bool missingOnly)
{
    QList<PathGroup> groups;
    QHash<QString, qsizetype> index;
    QStringList keys;
    for (const PathValue &value : values) {
        if (missingOnly && value.exists)
            continue;
        const QString folder = pathFolder(value.path, windowsPaths);
        const QString key = comparable(folder, windowsPaths);
        auto it = index.constFind(key);
        if (it == index.constEnd()) {
            it = index.insert(key, groups.size());
            groups.append(PathGroup{folder, {}, 0});
            keys.append(key);
        }
        PathGroup &group = groups[it.value()];
        group.values.append(value);
        group.missing += value.exists ? 0 : 1;
    }
    QList<qsizetype> order(groups.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](qsizetype a, qsizetype b) { return keys.at(a) < keys.at(b); });
    QList<PathGroup> sorted;
    sorted.reserve(groups.size());
    for (qsizetype i : std::as_const(order))
        sorted.append(std::move(groups[i]));
    return sorted;
}

namespace {

bool isAscii(QStringView text)
{
    return std::all_of(text.begin(), text.end(), [](QChar c) { return c.unicode() < 0x80; });
}

// The same name whichever Unicode form it was written in: "é" as one character or as "e" and
// an accent (file systems and tools differ in which one they keep).
bool sameNormalized(QStringView a, QStringView b, bool windowsPaths)
{
    return comparable(a.toString().normalized(QString::NormalizationForm_C), windowsPaths) ==
           comparable(b.toString().normalized(QString::NormalizationForm_C), windowsPaths);
}

} // namespace

qsizetype matchPathPrefix(const QString &value, const QString &prefix, bool windowsPaths)
{
    const QString p = withoutTrailingSeparators(prefix, windowsPaths);
    if (p.isEmpty())
        return -1;
    const bool root = isSeparator(p.back(), windowsPaths);
    if (isAscii(value) && isAscii(p)) {
        if (value.size() < p.size())
            return -1;
        for (qsizetype i = 0; i < p.size(); ++i) {
            if (!sameChar(value.at(i), p.at(i), windowsPaths))
                return -1;
        }
        if (value.size() == p.size() || root || isSeparator(value.at(p.size()), windowsPaths))
            return p.size();
        return -1;
    }
    // Lengths differ between the forms: try each place where a folder name ends.
    for (qsizetype end = 1; end <= value.size(); ++end) {
        const bool boundary = root
                                  ? isSeparator(value.at(end - 1), windowsPaths)
                                  : end == value.size() || isSeparator(value.at(end), windowsPaths);
        if (boundary && sameNormalized(QStringView(value).left(end), p, windowsPaths))
            return end;
    }
    return -1;
}

QString replacePathPrefix(const QString &value, const QString &oldPrefix, const QString &newPrefix,
                          bool windowsPaths)
{
    const qsizetype matched = matchPathPrefix(value, oldPrefix, windowsPaths);
    if (matched < 0)
        return QString();
    QString head = withoutTrailingSeparators(newPrefix, windowsPaths);
    // The new beginning is written in the form the value keeps its names in, where the value
    // shows one; as typed where it reads the same in both.
    if (!isAscii(value)) {
        const bool composed = value.normalized(QString::NormalizationForm_C) == value;
        const bool decomposed = value.normalized(QString::NormalizationForm_D) == value;
        if (composed != decomposed)
            head = head.normalized(composed ? QString::NormalizationForm_C
                                            : QString::NormalizationForm_D);
    }
    QStringView rest = QStringView(value).mid(matched);
    const bool headEnds = !head.isEmpty() && isSeparator(head.back(), windowsPaths);
    const bool restStarts = !rest.isEmpty() && isSeparator(rest.front(), windowsPaths);
    if (headEnds && restStarts)
        rest = rest.mid(1);
    else if (!headEnds && !restStarts && !rest.isEmpty()) {
        // The old prefix was a root ("/"), so its separator went with it.
        const bool backslash = windowsPaths && head.contains(QLatin1Char('\\'));
        return head + QLatin1Char(backslash ? '\\' : '/') + rest;
    }
    return head + rest;
}

namespace {

bool checkMaps(const QList<PathMap> &maps, bool windowsPaths, QString *error)
{
    for (const PathMap &map : maps) {
        for (const QString &prefix : {map.from, map.to}) {
            if (!looksAbsolute(prefix, windowsPaths)) {
                if (error)
                    *error = PathText::tr("%1 is not an absolute path.")
                                 .arg(prefix.isEmpty() ? PathText::tr("An empty text")
                                                       : QStringLiteral("\"%1\"").arg(prefix));
                return false;
            }
        }
    }
    return true;
}

void planOver(const QList<XsdtNode *> &nodes, const QList<PathMap> &maps, const HealthEnv &env,
              const ValueCheck &check, QList<PathReplacement> *plan)
{
    ExistenceCache exists(env);
    QList<std::pair<QString, QString>> changed;
    for (XsdtNode *node : nodes) {
        changed.clear();
        QString after = mapPathsInText(node->value, maps, env.windowsPaths, &changed);
        if (changed.isEmpty() || !plan)
            continue;
        QString refusal;
        if (check) {
            QString normalized = after;
            refusal = check(node, after, &normalized);
            after = normalized;
        }
        for (const auto &[before, path] : std::as_const(changed))
            plan->append(
                PathReplacement{node, before, path, exists(path), node->value, after, refusal});
    }
}

} // namespace

QString mapPathsInText(const QString &text, const QList<PathMap> &maps, bool windowsPaths,
                       QList<std::pair<QString, QString>> *changed)
{
    QString mapped;
    qsizetype done = 0;
    for (const PathSpan &span : pathsInText(text, windowsPaths)) {
        const QString path = text.mid(span.start, span.length);
        const QString after = mapPath(path, maps, windowsPaths);
        if (after.isNull() || after == path)
            continue;
        mapped += QStringView(text).mid(done, span.start - done) + after;
        done = span.start + span.length;
        if (changed)
            changed->append({path, after});
    }
    if (done == 0)
        return text;
    return mapped + QStringView(text).mid(done);
}

QString mapPath(const QString &path, const QList<PathMap> &maps, bool windowsPaths)
{
    const PathMap *best = nullptr;
    qsizetype bestLength = -1;
    for (const PathMap &map : maps) {
        const qsizetype matched = matchPathPrefix(path, map.from, windowsPaths);
        if (matched > bestLength) {
            bestLength = matched;
            best = &map;
        }
    }
    return best ? replacePathPrefix(path, best->from, best->to, windowsPaths) : QString();
}

bool planPrefixReplacement(const XsdtDocument &document, const QList<PathMap> &maps,
                           const HealthEnv &env, QList<PathReplacement> *plan, QString *error,
                           const ValueCheck &check)
{
    if (plan)
        plan->clear();
    if (!checkMaps(maps, env.windowsPaths, error))
        return false;
    QList<XsdtNode *> nodes;
    collectPathNodes(const_cast<XsdtNode *>(&document.root), env.windowsPaths, nodes);
    planOver(nodes, maps, env, check, plan);
    return true;
}

bool planPrefixReplacement(const QList<PathValue> &values, const QList<PathMap> &maps,
                           const HealthEnv &env, QList<PathReplacement> *plan, QString *error,
                           const ValueCheck &check)
{
    if (plan)
        plan->clear();
    if (!checkMaps(maps, env.windowsPaths, error))
        return false;
    QList<XsdtNode *> nodes;
    nodes.reserve(values.size());
    for (const PathValue &value : values) {
        // A value's paths follow each other. Values queued for deletion since they were found
        // are no paths to plan for; edited ones are planned as they are now.
        if ((nodes.isEmpty() || nodes.constLast() != value.node) && !value.node->isDeleted() &&
            isPathValue(value.node, env.windowsPaths))
            nodes.append(value.node);
    }
    planOver(nodes, maps, env, check, plan);
    return true;
}

namespace {

// OLD=NEW split at the one "=" with an absolute path on either side, so that either may hold
// "=" itself; "OLD"=NEW in double quotes where more than one "=" would do.
bool splitMapping(const QString &mapping, bool windowsPaths, PathMap *map, QString *problem)
{
    const qsizetype quoted =
        mapping.startsWith(QLatin1Char('"')) ? mapping.indexOf(QLatin1String("\"="), 1) : -1;
    QList<qsizetype> splits;
    if (quoted > 0) {
        *map = PathMap{mapping.mid(1, quoted - 1), mapping.mid(quoted + 2)};
        if (looksAbsolute(map->from, windowsPaths) && looksAbsolute(map->to, windowsPaths))
            return true;
    } else {
        for (qsizetype i = mapping.indexOf(QLatin1Char('=')); i >= 0;
             i = mapping.indexOf(QLatin1Char('='), i + 1)) {
            if (looksAbsolute(mapping.left(i), windowsPaths) &&
                looksAbsolute(mapping.mid(i + 1), windowsPaths))
                splits.append(i);
        }
        if (splits.size() == 1) {
            *map = PathMap{mapping.left(splits.constFirst()), mapping.mid(splits.constFirst() + 1)};
            return true;
        }
    }
    if (!mapping.contains(QLatin1Char('=')))
        *problem = PathText::tr("\"%1\" is not of the form OLD=NEW.").arg(mapping);
    else if (splits.size() > 1)
        *problem = PathText::tr("\"%1\" can be read as more than one OLD=NEW. Put the old path "
                                "in double quotes: \"OLD\"=NEW.")
                       .arg(mapping);
    else
        *problem = PathText::tr("\"%1\": both sides must be absolute paths.").arg(mapping);
    return false;
}

} // namespace

bool parsePathMaps(const QStringList &mappings, bool windowsPaths, QList<PathMap> *maps,
                   QString *error)
{
    QList<PathMap> parsed;
    QStringList seen;
    for (const QString &mapping : mappings) {
        PathMap map;
        QString problem;
        if (splitMapping(mapping, windowsPaths, &map, &problem)) {
            const QString key =
                comparable(withoutTrailingSeparators(map.from, windowsPaths), windowsPaths)
                    .normalized(QString::NormalizationForm_C);
            if (seen.contains(key))
                problem = PathText::tr("\"%1\" is mapped twice.").arg(map.from);
            seen.append(key);
        }
        if (!problem.isEmpty()) {
            if (error)
                *error = problem;
            return false;
        }
        parsed.append(map);
    }
    if (maps)
        *maps = parsed;
    return true;
}

QString mapImportedValue(QChar type, const QString &value, const QList<PathMap> &maps,
                         bool windowsPaths)
{
    return type == QLatin1Char('s') ? mapPathsInText(value, maps, windowsPaths) : value;
}

} // namespace vrn
