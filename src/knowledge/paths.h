#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <atomic>
#include <functional>
#include <utility>

namespace vrn {

struct XsdtNode;
class XsdtDocument;
struct HealthEnv;

// Where one path sits in a value's text.
struct PathSpan
{
    qsizetype start = 0;
    qsizetype length = 0;
};

// The paths a value's text holds, in order: the text itself, or each line of a text that spans
// lines; of a line "PATH|DIGITS" (where a script editor keeps its place in a file) the part
// before the bar. Only what looks like an absolute path on the computer counts, never one of
// PixInsight's "@" placeholders or a part holding a NUL.
QList<PathSpan> pathsInText(QStringView text, bool windowsPaths);

// One path held by a string value anywhere in the file; a value holding several gives one each.
struct PathValue
{
    XsdtNode *node = nullptr;
    QString path;
    bool exists = true; // true too when the computer has no existence test
};

// Paths that share a folder, in document order.
struct PathGroup
{
    QString folder; // as the first of its values writes it
    QList<PathValue> values;
    qsizetype missing = 0;
};

// Every path held by a live, editable string value, in document order, each tested for
// existence once. A scan that is `cancelled` gives up with what it has.
QList<PathValue> pathValues(const XsdtDocument &document, const HealthEnv &env,
                            const std::atomic_bool *cancelled = nullptr);

// The folder part of a path: everything before its last separator ("/" for "/x").
QString pathFolder(const QString &path, bool windowsPaths);

// The paths grouped by the folder they sit in, groups sorted by folder; with `missingOnly`
// only the paths that do not exist, and no empty groups.
QList<PathGroup> groupByFolder(const QList<PathValue> &values, bool windowsPaths,
                               bool missingOnly = false);

// How much of `value` the path `prefix` covers when the value starts with it on a path
// boundary ("/data" covers "/data" and "/data/x", never "/database"), or -1. A trailing
// separator of the prefix does not matter; with Windows rules both separators count and
// letters compare ignoring case. Names compare in the same Unicode form (composed "é" matches
// "e" with a combining accent).
qsizetype matchPathPrefix(const QString &value, const QString &prefix, bool windowsPaths);

// `value` with the matched prefix swapped for `newPrefix`, joined with exactly one separator,
// the new prefix in the Unicode form the value is written in; a null string when the prefix
// does not match.
QString replacePathPrefix(const QString &value, const QString &oldPrefix, const QString &newPrefix,
                          bool windowsPaths);

// One OLD=NEW rewrite of path beginnings, as given to an import or a replacement.
struct PathMap
{
    QString from;
    QString to;
};

// The path with the beginning of the longest matching map rewritten (once; maps never chain),
// or a null string when no map matches.
QString mapPath(const QString &path, const QList<PathMap> &maps, bool windowsPaths);

// The text with each path it holds (pathsInText) rewritten by mapPath, every other character
// (line breaks, a "|DIGITS" after a path) as it was; each path that changes is added to
// `changed` as before and after.
QString mapPathsInText(const QString &text, const QList<PathMap> &maps, bool windowsPaths,
                       QList<std::pair<QString, QString>> *changed = nullptr);

// Why a value may not take a new text, empty when it may; the text to store goes to
// `normalized`. The same check that the change itself passes.
using ValueCheck =
    std::function<QString(const XsdtNode *node, const QString &text, QString *normalized)>;

// One path that a replacement changes. The paths of one value follow each other and share the
// value's new text and verdict.
struct PathReplacement
{
    XsdtNode *node = nullptr;
    QString before;
    QString after;
    bool newPathExists = true; // true too when the computer has no existence test
    QString valueBefore;       // the whole value as planned from, and as it becomes
    QString valueAfter;
    QString refusal; // why the value may not be changed; empty when it may
};

// Every path whose beginning the maps would change, in document order, each value checked by
// `check` when there is one. Both sides of every map must look absolute; otherwise nothing is
// planned and `error` says why.
bool planPrefixReplacement(const XsdtDocument &document, const QList<PathMap> &maps,
                           const HealthEnv &env, QList<PathReplacement> *plan,
                           QString *error = nullptr, const ValueCheck &check = {});
// The same over paths found earlier, for a page that keeps them: no walk of the file.
bool planPrefixReplacement(const QList<PathValue> &values, const QList<PathMap> &maps,
                           const HealthEnv &env, QList<PathReplacement> *plan,
                           QString *error = nullptr, const ValueCheck &check = {});

// Reads "OLD=NEW" texts, split at the one "=" with an absolute path on either side (either
// may hold "=" too); where more than one would do, "OLD"=NEW names the old path in double
// quotes. All of them or none: a text without "=", a side that is not an absolute path, a text
// that splits in more than one way, or an OLD given twice refuses the whole list.
bool parsePathMaps(const QStringList &mappings, bool windowsPaths, QList<PathMap> *maps,
                   QString *error = nullptr);

// A string value ("s") with every path it holds mapped (mapPathsInText); any other value
// unchanged.
QString mapImportedValue(QChar type, const QString &value, const QList<PathMap> &maps,
                         bool windowsPaths);

} // namespace vrn
