#include "knowledge/schema.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"

#include <QCoreApplication>
#include <QJsonArray>
#include <QJsonDocument>
#include <QRegularExpression>
#include <QVarLengthArray>

#include <cmath>
#include <limits>

namespace vrn {

namespace {

class SchemaText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Schema)
};

// Both knowledge files share one reading: blank means "nothing here", anything else must be an
// object.
bool parseObject(const QByteArray &bytes, const QString &fileName, QJsonObject *out, QString *error)
{
    const QByteArray trimmed = bytes.trimmed();
    if (trimmed.isEmpty()) {
        *out = QJsonObject();
        return true;
    }
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(trimmed, &parseError);
    if (!json.isObject()) {
        if (error)
            *error = SchemaText::tr("%1: %2").arg(fileName, parseError.errorString());
        return false;
    }
    *out = json.object();
    return true;
}

const QRegularExpression &referencePattern()
{
    static const QRegularExpression pattern(QStringLiteral(
        R"(\s*See the (?:pcl::\w+ namespace|documentation for \w+|[\w/]+ global variable)\.?)"));
    return pattern;
}

const QRegularExpression &rangePattern()
{
    static const QRegularExpression pattern(
        QStringLiteral(R"(\[\s*(-?\d+(?:\.\d+)?)\s*,\s*(-?\d+(?:\.\d+)?)\s*\])"));
    return pattern;
}

bool isUpperLetter(QChar c)
{
    return (c >= QLatin1Char('A') && c <= QLatin1Char('Z')) ||
           c.category() == QChar::Letter_Uppercase;
}

EditorKind kindForType(QChar type)
{
    switch (type.unicode()) {
    case 'b':
        return EditorKind::Bool;
    case 'i':
        return EditorKind::Integer;
    case 'u':
        return EditorKind::Unsigned;
    case 'F':
    case 'f':
        return EditorKind::Real;
    default:
        return EditorKind::Text;
    }
}

// Paths, folders and colours are told apart by the key's ending; "File2" counts as "File".
EditorKind refineByKey(EditorKind kind, const QString &key)
{
    QStringView stripped(key);
    while (!stripped.isEmpty() && stripped.back().isDigit())
        stripped.chop(1);
    if (kind == EditorKind::Text) {
        if (stripped.endsWith(QLatin1String("Directory")))
            return EditorKind::Directory;
        if (stripped.endsWith(QLatin1String("File")) ||
            stripped.endsWith(QLatin1String("FilePath")) ||
            stripped.endsWith(QLatin1String("Path")))
            return EditorKind::FilePath;
    } else if (kind == EditorKind::Unsigned) {
        if (stripped.endsWith(QLatin1String("Color")) ||
            stripped.endsWith(QLatin1String("Foreground")) ||
            stripped.endsWith(QLatin1String("Background")))
            return EditorKind::Color;
    }
    return kind;
}

bool isNumericKind(EditorKind kind)
{
    return kind == EditorKind::Integer || kind == EditorKind::Unsigned || kind == EditorKind::Real;
}

int truncatedInt(double v)
{
    if (std::isnan(v))
        return 0;
    return int(qBound(double(std::numeric_limits<int>::min()), v,
                      double(std::numeric_limits<int>::max())));
}

// The last key of an id; a node whose key is none of these cannot have an entry.
QString lastSegment(const QString &id)
{
    const qsizetype slash = id.lastIndexOf(QLatin1Char('/'));
    return slash < 0 ? id : id.mid(slash + 1);
}

// A key's length and first character, as an index into a table of the shapes of all last
// keys: a cheap first test before the set lookup, which most keys of a file never reach.
qsizetype keyShape(const QString &key)
{
    if (key.isEmpty())
        return 0;
    return qMin<qsizetype>(key.size(), 63) * 128 + (key.at(0).unicode() & 0x7F);
}

} // namespace

bool Schema::load(const QByteArray &globalsBytes, const QByteArray &overlayBytes, QString *error)
{
    m_globals.clear();
    m_refinements.clear();
    m_pages.clear();
    m_hidden.clear();
    m_lastKeys.clear();
    m_keyShapes.fill(0, 64 * 128);

    QJsonObject globals;
    QJsonObject overlay;
    if (!parseObject(globalsBytes, QStringLiteral("globals.json"), &globals, error) ||
        !parseObject(overlayBytes, QStringLiteral("overlay.json"), &overlay, error))
        return false;

    const QJsonObject variables = globals.value(QLatin1String("variables")).toObject();
    for (auto it = variables.begin(); it != variables.end(); ++it) {
        const QJsonObject record = it.value().toObject();
        Global global;
        global.description = record.value(QLatin1String("description")).toString();
        global.readOnly = record.value(QLatin1String("readOnly")).toBool();
        // Cleaning and range detection depend only on the text, so they are done once here.
        global.cleaned = global.description;
        global.cleaned.remove(referencePattern());
        global.cleaned = global.cleaned.trimmed();
        const QRegularExpressionMatch range = rangePattern().match(global.cleaned);
        if (range.hasMatch()) {
            global.hasRange = true;
            global.min = range.captured(1).toDouble();
            global.max = range.captured(2).toDouble();
        }
        m_globals.insert(it.key(), global);
        addLastKey(lastSegment(it.key()));
    }

    const QJsonObject refinements = overlay.value(QLatin1String("variables")).toObject();
    for (auto it = refinements.begin(); it != refinements.end(); ++it) {
        m_refinements.insert(it.key(), it.value().toObject());
        addLastKey(lastSegment(it.key()));
    }

    const QJsonArray pages = overlay.value(QLatin1String("pages")).toArray();
    for (const QJsonValue &value : pages) {
        const QJsonObject record = value.toObject();
        PageSpec page;
        page.title = record.value(QLatin1String("title")).toString();
        for (const QJsonValue &path : record.value(QLatin1String("paths")).toArray()) {
            // An empty path would name the root and show the whole file as one page.
            const QString text = path.toString();
            if (!text.isEmpty())
                page.paths.append(text);
        }
        if (!page.title.isEmpty() && !page.paths.isEmpty())
            m_pages.append(page);
    }

    for (const QJsonValue &value : overlay.value(QLatin1String("hide")).toArray())
        m_hidden.insert(value.toString());
    return true;
}

void Schema::addLastKey(const QString &key)
{
    m_lastKeys.insert(key);
    m_keyShapes[keyShape(key)] = 1;
}

QString Schema::variableId(const XsdtNode *node)
{
    if (!node)
        return QString();
    QString id = node->path();
    if (id.startsWith(QLatin1String("Global/")))
        id.remove(0, 7);
    if (id.startsWith(QLatin1String("Preferences/")))
        id.remove(0, 12);
    return id;
}

VariableInfo Schema::info(const XsdtNode *node) const
{
    VariableInfo info;
    if (!node)
        return info;
    info.label = labelFromIdentifier(node->key);
    info.kind = refineByKey(kindForType(node->type), node->key);

    if (!mayBeDocumented(node))
        return info;
    const QString id = variableId(node);

    const auto global = m_globals.constFind(id);
    if (global != m_globals.constEnd()) {
        info.known = true;
        info.readOnly = global->readOnly;
        info.description = global->cleaned;
        if (global->hasRange && isNumericKind(info.kind)) {
            info.hasRange = true;
            info.min = global->min;
            info.max = global->max;
        }
    }

    const auto refinement = m_refinements.constFind(id);
    if (refinement == m_refinements.constEnd())
        return info;
    const QJsonObject &r = *refinement;
    if (r.contains(QLatin1String("label")))
        info.label = r.value(QLatin1String("label")).toString();
    if (r.contains(QLatin1String("description")))
        info.description = r.value(QLatin1String("description")).toString();
    const bool hasMin = r.contains(QLatin1String("min"));
    const bool hasMax = r.contains(QLatin1String("max"));
    if (hasMin || hasMax) {
        if (!info.hasRange) {
            info.hasRange = true;
            info.min = std::numeric_limits<double>::lowest();
            info.max = std::numeric_limits<double>::max();
        }
        if (hasMin)
            info.min = r.value(QLatin1String("min")).toDouble();
        if (hasMax)
            info.max = r.value(QLatin1String("max")).toDouble();
    }
    const QJsonArray choices = r.value(QLatin1String("choices")).toArray();
    if (!choices.isEmpty() &&
        (info.kind == EditorKind::Integer || info.kind == EditorKind::Unsigned)) {
        info.kind = EditorKind::Choice;
        for (const QJsonValue &choice : choices) {
            const QJsonArray pair = choice.toArray();
            info.choices.append({truncatedInt(pair.at(0).toDouble()), pair.at(1).toString()});
        }
    }
    return info;
}

bool Schema::mayBeDocumented(const XsdtNode *node) const
{
    // Most nodes of a file are no documented variable; their key alone tells, without building
    // the path. (A key with a "/" in it would make the path end differently, so it is looked
    // up in full.)
    const bool possible = !m_keyShapes.isEmpty() && m_keyShapes.at(keyShape(node->key)) &&
                          m_lastKeys.contains(node->key);
    return possible || node->key.contains(QLatin1Char('/'));
}

QList<PageSpec> Schema::pagesFor(const XsdtDocument &document) const
{
    QList<PageSpec> result;
    QSet<QString> used;
    for (const PageSpec &page : m_pages) {
        PageSpec kept;
        kept.title = page.title;
        for (const QString &path : page.paths) {
            if (document.findPath(path)) {
                kept.paths.append(path);
                used.insert(path);
            }
        }
        if (!kept.paths.isEmpty())
            result.append(kept);
    }
    const XsdtNode *preferences = document.findPath(u"Global/Preferences");
    if (!preferences)
        return result;
    for (const auto &child : preferences->children) {
        if (!child->isGroup() || child->key == QLatin1String("ProcessInterface"))
            continue;
        const QString path = child->path();
        if (used.contains(path))
            continue;
        // A key that occurs twice would otherwise get two pages showing the same group.
        used.insert(path);
        result.append(PageSpec{labelFromIdentifier(child->key), {path}});
    }
    return result;
}

bool Schema::isHidden(const XsdtNode *node) const
{
    return node && !m_hidden.isEmpty() && m_hidden.contains(node->path());
}

QString labelFromIdentifier(const QString &key)
{
    const qsizetype n = key.size();
    // An uppercase letter after another starts a new word only when a lowercase word follows;
    // a lone "s" ends a plural acronym ("URLs", "IDsCount") unless more lowercase follows.
    auto beginsLowerWord = [&](qsizetype j) {
        if (j >= n || !key.at(j).isLower())
            return false;
        if (key.at(j) != QLatin1Char('s'))
            return true;
        return j + 1 < n && !isUpperLetter(key.at(j + 1));
    };

    // Labels are made for every row of every view, so the work stays on the stack until the
    // one allocation of the result.
    QVarLengthArray<QChar, 128> spaced;
    spaced.reserve(n + n / 2 + 1);
    for (qsizetype i = 0; i < n; ++i) {
        const QChar c = key.at(i);
        if (c == QLatin1Char('_')) {
            spaced.append(QLatin1Char(' '));
            continue;
        }
        if (i > 0) {
            const QChar p = key.at(i - 1);
            bool space = false;
            if (isUpperLetter(c)) {
                if (p.isLower() || p.isDigit())
                    space = true;
                else if (isUpperLetter(p))
                    space = beginsLowerWord(i + 1);
            } else if (c.isDigit()) {
                space = p.isLetter();
            }
            if (space)
                spaced.append(QLatin1Char(' '));
        }
        spaced.append(c);
    }

    QString label;
    label.reserve(spaced.size());
    bool first = true;
    for (qsizetype i = 0; i < spaced.size();) {
        if (spaced[i] == QLatin1Char(' ')) {
            ++i;
            continue;
        }
        qsizetype end = i;
        bool ascii = true;
        while (end < spaced.size() && spaced[end] != QLatin1Char(' ')) {
            ascii = ascii && spaced[end].unicode() < 0x80;
            ++end;
        }
        const QStringView word(spaced.constData() + i, end - i);
        if (!first)
            label += QLatin1Char(' ');
        if (word.size() >= 2 && isUpperLetter(word.at(0)) && isUpperLetter(word.at(1))) {
            label += word; // an acronym stays as it is
        } else if (ascii) {
            for (qsizetype k = 0; k < word.size(); ++k) {
                const char16_t u = word.at(k).unicode();
                const bool upper = first && k == 0;
                if (upper && u >= 'a' && u <= 'z')
                    label += QChar(u - 'a' + 'A');
                else if (!upper && u >= 'A' && u <= 'Z')
                    label += QChar(u - 'A' + 'a');
                else
                    label += QChar(u);
            }
        } else if (first) {
            label += word.left(1).toString().toUpper() + word.mid(1).toString().toLower();
        } else {
            label += word.toString().toLower();
        }
        first = false;
        i = end;
    }
    return label;
}

} // namespace vrn
