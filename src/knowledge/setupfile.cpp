#include "knowledge/setupfile.h"

#include "document/valuenodes.h"
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "knowledge/deletionpolicy.h"
#include "knowledge/modules.h"
#include "knowledge/schema.h"
#include "knowledge/valuecheck.h"

#include <QCoreApplication>
#include <QDir>
#include <QHash>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QRegularExpression>
#include <QSet>

#include <algorithm>
#include <memory>

namespace vrn {

namespace {

struct SetupText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Setup)
};

// A lookup by path scans the siblings at every level, and indexing every value of a large file
// costs more than the import itself: only the groups the entries pass through are indexed, each
// once.
class PathLookup
{
public:
    // Every entry at the path, twins included, in document order.
    QList<XsdtNode *> find(const XsdtNode &root, const QString &path)
    {
        QList<XsdtNode *> found{const_cast<XsdtNode *>(&root)};
        for (QStringView key : QStringView(path).tokenize(u'/')) {
            QList<XsdtNode *> next;
            for (const XsdtNode *node : std::as_const(found)) {
                if (node->isGroup())
                    next += childrenOf(node).value(key);
            }
            found = std::move(next);
        }
        return found;
    }

private:
    const QHash<QStringView, QList<XsdtNode *>> &childrenOf(const XsdtNode *group)
    {
        auto children = m_groups.find(group);
        if (children == m_groups.end()) {
            QHash<QStringView, QList<XsdtNode *>> keys;
            keys.reserve(qsizetype(group->children.size()));
            for (const auto &child : group->children)
                keys[child->key.view()].append(child.get());
            children = m_groups.insert(group, keys);
        }
        return *children;
    }

    QHash<const XsdtNode *, QHash<QStringView, QList<XsdtNode *>>> m_groups;
};

// Keys joined by "/": nothing before the first, after the last or between two.
bool isSettingPath(const QString &path)
{
    return !path.startsWith(QLatin1Char('/')) && !path.endsWith(QLatin1Char('/')) &&
           !path.contains(QLatin1String("//"));
}

// The key at `level` of the nearest entry before (step -1) or after (step 1) entry `index` that
// shares its path down to that level and differs there: its neighbour in the file it was
// exported from, since an export lists the values of a group together and in file order.
QString neighbourKey(const QList<QStringList> &keys, qsizetype index, qsizetype level,
                     qsizetype step)
{
    const QStringList &own = keys.at(index);
    for (qsizetype j = index + step; j >= 0 && j < keys.size(); j += step) {
        const QStringList &other = keys.at(j);
        if (other.size() <= level || !std::equal(own.begin(), own.begin() + level, other.begin()))
            break;
        if (other.at(level) != own.at(level))
            return other.at(level);
    }
    return QString();
}

} // namespace

QString setupFormat()
{
    // The name predates module data in the file; files written before still read.
    return QStringLiteral("varnel-preferences");
}

QList<XsdtNode *> nodesAtPath(const XsdtNode &root, QStringView path)
{
    QList<XsdtNode *> found{const_cast<XsdtNode *>(&root)};
    for (QStringView key : path.tokenize(u'/')) {
        QList<XsdtNode *> next;
        for (const XsdtNode *node : std::as_const(found)) {
            for (const auto &child : node->children) {
                if (child->key == key)
                    next.append(child.get());
            }
        }
        found = std::move(next);
    }
    return found;
}

bool setupValues(const XsdtDocument &document, const Schema &schema, const DeletionPolicy &policy,
                 const SetupChoice &choice, QList<XsdtNode *> *values, QString *error)
{
    QList<XsdtNode *> taken;
    QSet<const XsdtNode *> seen;
    bool documentedOnly = false;
    auto consider = [&](XsdtNode *node) {
        // Only what an import would accept back: editable, not locked, not read-only.
        if (seen.contains(node) || !node->isEditable() || node->isDeleted() ||
            policy.isEditLocked(node))
            return;
        const VariableInfo info = schema.info(node);
        if (info.readOnly || (documentedOnly && !info.known))
            return;
        seen.insert(node);
        taken.append(node);
    };
    const auto considerBelow = [&](XsdtNode *root) {
        QList<XsdtNode *> below;
        collectValueNodes(root, below);
        for (XsdtNode *node : std::as_const(below))
            consider(node);
    };
    // Every documented variable lives below Global.
    if (choice.preferences && document.findPath(u"Global")) {
        documentedOnly = true;
        considerBelow(document.findPath(u"Global"));
        documentedOnly = false;
    }
    for (XsdtNode *root : choice.subtrees)
        considerBelow(root);
    // Preparing the lookup of modules goes through the whole file: once for all the names.
    std::unique_ptr<ModuleFinder> finder;
    if (!choice.modules.isEmpty())
        finder = std::make_unique<ModuleFinder>(document);
    for (const QString &name : choice.modules) {
        QStringList similar;
        const QList<XsdtNode *> data = moduleDataValues(document, *finder, name, &similar);
        if (data.isEmpty()) {
            if (error)
                *error = similar.isEmpty()
                             ? SetupText::tr("No module or script named \"%1\" has data in "
                                             "this file.")
                                   .arg(name)
                             : SetupText::tr("No module or script named \"%1\" has data in "
                                             "this file. Similar names: %2.")
                                   .arg(name, similar.join(QStringLiteral(", ")));
            return false;
        }
        for (XsdtNode *node : data)
            consider(node);
    }
    if (values)
        *values = taken;
    return true;
}

QStringList exportableModules(const XsdtDocument &document)
{
    QStringList names = modulesWithData(document);
    if (const XsdtNode *scripts = document.findPath(u"ScriptData")) {
        for (const auto &child : scripts->children) {
            if (child->isGroup() && !child->isDeleted())
                names.append(child->key);
        }
    }
    // A name may be a module's and a script's: listed once.
    sortUniqueIgnoringCase(names);
    return names;
}

static QJsonObject setupEntry(const XsdtNode *node)
{
    return QJsonObject{{QStringLiteral("path"), node->path()},
                       {QStringLiteral("type"), QString(node->type)},
                       {QStringLiteral("value"), node->value.toString()}};
}

QByteArray writeSetupFile(const QList<XsdtNode *> &values, const QString &source,
                          const QStringList &modules)
{
    // One JSON document of every value took six times the settings file while it was written.
    // The library writes the frame with the list left empty, then each value on its own, and
    // the values are set into the frame's list as the library would have indented them.
    QJsonObject json{{QStringLiteral("format"), setupFormat()},
                     {QStringLiteral("version"), 1},
                     {QStringLiteral("source"), source},
                     {QStringLiteral("values"), QJsonArray()}};
    // Left out when empty, so a preferences export reads as it always did.
    if (!modules.isEmpty())
        json.insert(QStringLiteral("modules"), QJsonArray::fromStringList(modules));
    const QByteArray frame = QJsonDocument(json).toJson(QJsonDocument::Indented);
    // Strings hold their line breaks escaped, so this is the list and nothing else.
    static const QByteArray emptyList = QByteArrayLiteral("\"values\": [\n    ]");
    const qsizetype list = frame.indexOf(emptyList);
    if (values.isEmpty())
        return frame;
    if (list < 0) { // a library that writes otherwise: the one document, whatever it costs
        QJsonArray array;
        for (const XsdtNode *node : values)
            array.append(setupEntry(node));
        json.insert(QStringLiteral("values"), array);
        return QJsonDocument(json).toJson(QJsonDocument::Indented);
    }
    const qsizetype opened = list + emptyList.indexOf('\n') + 1; // after "[" and its line break
    QByteArray out;
    out.reserve(frame.size() + values.size() * 96);
    out.append(frame.constData(), opened);
    const QByteArray indent(8, ' ');
    for (qsizetype i = 0; i < values.size(); ++i) {
        const QByteArray one = QJsonDocument(setupEntry(values[i])).toJson(QJsonDocument::Indented);
        // Every line two levels in; the object's own last line break becomes the separator.
        qsizetype from = 0;
        for (qsizetype end = one.indexOf('\n'); end >= 0; end = one.indexOf('\n', from)) {
            out.append(indent);
            out.append(one.constData() + from, end - from);
            from = end + 1;
            if (from < one.size())
                out.append('\n');
        }
        out.append(i + 1 < values.size() ? ",\n" : "\n");
    }
    out.append(frame.constData() + opened, frame.size() - opened);
    return out;
}

bool readSetupFile(QByteArray bytes, SetupFile *setup, QString *error)
{
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(bytes, &parseError);
    // The text is done with: a setup of every module's data is several times the settings
    // file, and the values are yet to be made from the parsed document.
    bytes = QByteArray();
    if (json.isNull()) {
        if (error)
            *error = parseError.errorString();
        return false;
    }
    const QJsonObject object = json.object();
    if (object.value(QStringLiteral("format")).toString() != setupFormat() ||
        !object.value(QStringLiteral("values")).isArray()) {
        if (error)
            *error = SetupText::tr("Not a preferences file written by varnelctl export.");
        return false;
    }
    // Files of the first version did not always say so; a later one may mean something else.
    const QJsonValue version = object.value(QStringLiteral("version"));
    if (!version.isUndefined() && version != QJsonValue(1)) {
        if (error)
            *error = SetupText::tr("The file is of version %1 of the format; this program reads "
                                   "version 1 only.")
                         .arg(version.toVariant().toString());
        return false;
    }
    SetupFile read;
    read.source = object.value(QStringLiteral("source")).toString();
    for (const QJsonValue &name : object.value(QStringLiteral("modules")).toArray())
        read.modules.append(name.toString());
    const QJsonArray items = object.value(QStringLiteral("values")).toArray();
    read.values.reserve(items.size());
    QSet<QString> types; // a handful, shared rather than one string per value
    for (const QJsonValue &item : items) {
        const QJsonObject entry = item.toObject();
        SetupValue value;
        value.path = entry.value(QStringLiteral("path")).toString();
        value.type = *types.insert(entry.value(QStringLiteral("type")).toString());
        value.value = entry.value(QStringLiteral("value")).toString();
        value.wellFormed = !value.path.isEmpty() && value.type.size() == 1 &&
                           entry.value(QStringLiteral("value")).isString();
        read.values.append(std::move(value));
    }
    if (setup)
        *setup = std::move(read);
    return true;
}

ImportPlan planImport(const XsdtDocument &document, const SetupFile &setup,
                      const QList<PathMap> &maps, bool windowsPaths, const Schema &schema,
                      const DeletionPolicy *policy, const QString &target, bool addMissing,
                      const std::atomic<bool> *cancelled)
{
    ImportPlan plan;
    PathLookup lookup;
    QList<QStringList> keys;
    if (addMissing) {
        keys.reserve(setup.values.size());
        for (const SetupValue &entry : setup.values)
            keys.append(entry.path.split(QLatin1Char('/'), Qt::SkipEmptyParts));
    }
    // A path the file holds more than once (twins) takes the entries given for it in order, as
    // a comparison pairs them.
    QHash<QString, qsizetype> given;
    for (qsizetype i = 0; i < setup.values.size(); ++i) {
        if (cancelled && (i & 1023) == 0 && cancelled->load())
            return plan;
        const SetupValue &entry = setup.values.at(i);
        auto problem = [&](const QString &message) {
            plan.problems.append(ImportProblem{entry.path, message});
        };
        if (!entry.wellFormed) {
            problem(SetupText::tr("Entry %1 needs a path, a one-letter type and a text value.")
                        .arg(i + 1));
            continue;
        }
        if (!isSettingPath(entry.path)) {
            problem(SetupText::tr("Entry %1 is no setting path: keys joined by \"/\", with none "
                                  "at either end and never two in a row.")
                        .arg(i + 1));
            continue;
        }
        QList<XsdtNode *> nodes = lookup.find(document.root, entry.path);
        nodes.removeIf([](const XsdtNode *node) { return !node->isValue(); });
        const qsizetype rank = given[entry.path]++;
        if (nodes.isEmpty() && addMissing) {
            if (rank > 0) {
                problem(SetupText::tr("Given more than once, but a new setting is created once: "
                                      "PixInsight reads only one of two entries with the same "
                                      "name."));
                continue;
            }
            NewValue added;
            added.keys = keys.at(i);
            added.type = entry.type.at(0);
            QString message;
            Placement placement;
            QString normalized;
            if (!placeNewValue(document.root, added, &placement, &message) ||
                !checkNewValue(placement.value,
                               mapImportedValue(added.type, entry.value, maps, windowsPaths),
                               schema, policy, &normalized, &message)) {
                problem(message);
                continue;
            }
            added.value = normalized;
            added.level = placement.level;
            added.after = neighbourKey(keys, i, placement.level, -1);
            added.before = neighbourKey(keys, i, placement.level, 1);
            plan.additions.append(added);
            continue;
        }
        if (nodes.isEmpty()) {
            problem(SetupText::tr("No such setting in %1.").arg(QDir::toNativeSeparators(target)));
            continue;
        }
        if (rank >= nodes.size()) {
            problem(SetupText::tr("Given more than once, but %1 holds this setting only %n "
                                  "times.",
                                  nullptr, int(nodes.size()))
                        .arg(QDir::toNativeSeparators(target)));
            continue;
        }
        XsdtNode *node = nodes.at(rank);
        if (entry.type.at(0) != node->type) {
            problem(SetupText::tr("The type is %1 here but %2 in the import.")
                        .arg(typeDisplayName(node->type), typeDisplayName(entry.type.at(0))));
            continue;
        }
        const QString value = mapImportedValue(node->type, entry.value, maps, windowsPaths);
        // An equal text is no change, even where typing it again would be normalised.
        if (value == node->value)
            continue;
        QString normalized;
        QString message;
        if (checkNewValue(node, value, schema, policy, &normalized, &message))
            plan.changes.append(ImportChange{node, normalized});
        else
            problem(message);
    }
    return plan;
}

QString suggestedOldHome(const SetupFile &setup, bool windowsPaths,
                         const std::function<bool(const QString &)> &exists)
{
    static const QRegularExpression unixHome(QStringLiteral("^/(?:home|Users)/[^/]+(?=/|$)"));
    static const QRegularExpression windowsHome(
        QStringLiteral("^[A-Za-z]:[\\\\/]Users[\\\\/][^\\\\/]+(?=[\\\\/]|$)"),
        QRegularExpression::CaseInsensitiveOption);
    QHash<QString, int> counts;
    QString best;
    for (const SetupValue &entry : setup.values) {
        if (entry.type != QLatin1String("s"))
            continue;
        for (const PathSpan &span : pathsInText(entry.value, windowsPaths)) {
            const QRegularExpressionMatch match =
                (windowsPaths ? windowsHome : unixHome)
                    .match(entry.value.mid(span.start, span.length));
            if (!match.hasMatch())
                continue;
            const QString home = match.captured();
            if (++counts[home] > counts.value(best))
                best = home;
        }
    }
    if (best.isEmpty() || !exists || exists(best))
        return QString();
    return best;
}

QList<SetupFolder> setupFolders(const SetupFile &setup, bool windowsPaths)
{
    static const QRegularExpression unixRoot(QStringLiteral("^/[^/]+(?:/[^/|]+)?"));
    static const QRegularExpression windowsRoot(
        QStringLiteral("^[A-Za-z]:[\\\\/][^\\\\/]+(?:[\\\\/][^\\\\/|]+)?"));
    QHash<QString, int> counts;
    for (const SetupValue &entry : setup.values) {
        if (entry.type != QLatin1String("s"))
            continue;
        for (QStringView line : QStringView(entry.value).split(QLatin1Char('\n'))) {
            const QRegularExpressionMatch root =
                (windowsPaths ? windowsRoot : unixRoot).match(line.trimmed());
            if (root.hasMatch())
                ++counts[root.captured()];
        }
    }
    QList<SetupFolder> folders;
    folders.reserve(counts.size());
    for (auto it = counts.cbegin(); it != counts.cend(); ++it)
        folders.append({it.key(), it.value()});
    std::sort(folders.begin(), folders.end(), [](const SetupFolder &a, const SetupFolder &b) {
        return a.paths != b.paths ? a.paths > b.paths : a.folder < b.folder;
    });
    return folders;
}

} // namespace vrn
