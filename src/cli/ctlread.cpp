// The commands of varnelctl that only read.
#include "cli/ctl.h"

#include "document/valuenodes.h"
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/comparison.h"
#include "knowledge/healthcheck.h"
#include "knowledge/paths.h"
#include "knowledge/repositories.h"
#include "knowledge/setupfile.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTextStream>

namespace vrn {

namespace {

QString modifiedText(const QFileInfo &info)
{
    return info.lastModified().toString(Qt::ISODate);
}

// Text as a JSON string, escaped as QJsonDocument escapes it.
void appendJson(QString &out, QStringView text)
{
    out += QLatin1Char('"');
    for (const QChar c : text) {
        switch (c.unicode()) {
        case '"':
            out += QLatin1String("\\\"");
            break;
        case '\\':
            out += QLatin1String("\\\\");
            break;
        case '\b':
            out += QLatin1String("\\b");
            break;
        case '\f':
            out += QLatin1String("\\f");
            break;
        case '\n':
            out += QLatin1String("\\n");
            break;
        case '\r':
            out += QLatin1String("\\r");
            break;
        case '\t':
            out += QLatin1String("\\t");
            break;
        default:
            if (c.unicode() < 0x20)
                out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
            else
                out += c;
        }
    }
    out += QLatin1Char('"');
}

// One side of a record: its type and value, or null.
void appendSide(QString &out, const XsdtNode *node)
{
    if (!node) {
        out += QLatin1String("null");
        return;
    }
    out += QLatin1String("{\n                \"type\": ");
    appendJson(out, QStringView(&node->type, 1));
    out += QLatin1String(",\n                \"value\": ");
    appendJson(out, node->value);
    out += QLatin1String("\n            }");
}

// One record of `diff --json`, laid out as QJsonDocument lays out an object in the records
// list (keys in order), with whether the types differ and what the window's copy of the
// second file's value would do. Written by hand: a million records through QJsonDocument
// take several times as long as reading both files.
void appendRecord(QString &out, const Comparison &comparison, int position)
{
    static const char *const kinds[] = {"different", "onlyFirst", "onlySecond"};
    const DiffRecord &record = comparison.records()[position];
    const bool different = record.kind == DiffRecord::Different;
    out += QLatin1String("        {\n            \"copy\": ");
    if (different) {
        out += QLatin1String("{\n                \"reason\": ");
        appendJson(out, comparison.whyNot(position));
        out += QLatin1String(",\n                \"verdict\": ");
        appendJson(out, Comparison::verdictName(comparison.verdict(position)));
        out += QLatin1String("\n            }");
    } else {
        out += QLatin1String("null");
    }
    out += QLatin1String(",\n            \"first\": ");
    appendSide(out, record.here);
    out += QLatin1String(",\n            \"kind\": ");
    appendJson(out, QString::fromLatin1(kinds[record.kind]));
    out += QLatin1String(",\n            \"path\": ");
    appendJson(out, record.path);
    out += QLatin1String(",\n            \"second\": ");
    appendSide(out, record.there);
    out += different && record.here->type != record.there->type
               ? QLatin1String(",\n            \"typeDiffers\": true\n        }")
               : QLatin1String(",\n            \"typeDiffers\": false\n        }");
}

} // namespace

int Ctl::files(const QStringList &)
{
    const QStringList found =
        m_parser->isSet(QStringLiteral("file")) ? QStringList{chosenFile()} : findSettingsFiles();
    if (found.isEmpty() && !m_json) {
        // Finding none is an answer, not a failure; the note goes where it cannot be taken for
        // a record.
        m_err << tr("No PixInsight settings file found in %1.")
                     .arg(native(configDirectories().join(QStringLiteral(", "))))
              << '\n';
        m_err.flush();
    }
    QJsonArray array;
    QStringList lines;
    int code = ExitDone;
    for (const QString &path : found) {
        const QFileInfo info(path);
        if (!info.isFile()) {
            code = fail(ExitNotFound, path, QString(), tr("No such file."));
            continue;
        }
        const qsizetype count = listBackups(path).size();
        array.append(QJsonObject{{QStringLiteral("path"), path},
                                 {QStringLiteral("label"), fileLabel(path)},
                                 {QStringLiteral("instance"), instanceNumber(path)},
                                 {QStringLiteral("size"), info.size()},
                                 {QStringLiteral("modified"), modifiedText(info)},
                                 {QStringLiteral("backups"), count}});
        lines.append(
            QStringList{native(path), fileLabel(path), tr("%n backups", nullptr, int(count))}.join(
                QLatin1Char('\t')));
    }
    print({{QStringLiteral("files"), array}}, lines);
    return code;
}

int Ctl::get(const QStringList &paths)
{
    XsdtDocument document;
    const QString file = chosenFile();
    QByteArray hash;
    if (const int code = readDocument(document, file, m_json ? &hash : nullptr, &paths))
        return code;
    const bool recursive = m_parser->isSet(QStringLiteral("recursive"));
    int code = ExitDone;
    QJsonArray array;
    QStringList lines;
    for (const QString &path : paths) {
        // Twins too: each value the path names.
        const QList<XsdtNode *> nodes = nodesAtPath(document.root, path);
        if (nodes.isEmpty() || nodes.contains(&document.root)) {
            code = fail(ExitNotFound, file, path, tr("No such setting."));
            continue;
        }
        QList<XsdtNode *> values;
        for (XsdtNode *node : nodes)
            collectValueNodes(node, values, recursive);
        for (const XsdtNode *value : std::as_const(values)) {
            array.append(valueJson(value));
            lines.append(
                QStringList{value->path(), typeDisplayName(value->type), escaped(value->value)}
                    .join(QLatin1Char('\t')));
        }
    }
    print({{QStringLiteral("file"), file},
           {QStringLiteral("sha256"), QString::fromLatin1(hash.toHex())},
           {QStringLiteral("values"), array}},
          lines);
    return code;
}

int Ctl::check(const QStringList &)
{
    loadKnowledge();
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    const QList<Finding> findings = runHealthCheck(document, m_schema, HealthEnv::system());
    QJsonArray array;
    QStringList lines;
    int code = ExitDone;
    for (const Finding &finding : findings) {
        QStringList paths;
        for (const XsdtNode *node : finding.nodes) {
            if (!paths.contains(node->path()))
                paths.append(node->path());
        }
        if (finding.severity != Severity::Note)
            code = ExitFinding;
        array.append(QJsonObject{{QStringLiteral("id"), finding.id},
                                 {QStringLiteral("severity"), severityName(finding.severity)},
                                 {QStringLiteral("paths"), QJsonArray::fromStringList(paths)},
                                 {QStringLiteral("title"), finding.title},
                                 {QStringLiteral("text"), finding.text}});
        lines.append(
            QStringList{severityName(finding.severity),
                        paths.isEmpty() ? QStringLiteral("-") : paths.join(QStringLiteral(", ")),
                        escaped(finding.title), escaped(finding.text)}
                .join(QLatin1Char('\t')));
    }
    print({{QStringLiteral("file"), file}, {QStringLiteral("findings"), array}}, lines);
    return code;
}

int Ctl::diff(const QStringList &files)
{
    const QString first =
        files.size() == 2 ? QFileInfo(files.at(0)).absoluteFilePath() : chosenFile();
    const QString second = QFileInfo(files.constLast()).absoluteFilePath();
    XsdtDocument a;
    XsdtDocument b;
    if (const int code = readDocument(a, first))
        return code;
    if (const int code = readDocument(b, second))
        return code;
    // The rules the window's Compare page copies by, so that both tell the same about a copy.
    loadKnowledge();
    Comparison comparison;
    comparison.setRules(&m_policy, &m_schema);
    comparison.compare(a, b);
    const QList<DiffRecord> &records = comparison.records();
    // Written as they are made: a whole list of two large unrelated files would take many
    // times their size in memory before the first line came out.
    if (m_json) {
        // The frame as print() would lay it out, with the records in their place.
        const QByteArray frame =
            QJsonDocument(QJsonObject{{QStringLiteral("first"), first},
                                      {QStringLiteral("records"), QJsonArray()},
                                      {QStringLiteral("second"), second}})
                .toJson(QJsonDocument::Indented);
        const qsizetype at = frame.indexOf("[\n    ]");
        m_out << frame.left(at + 1);
        QString record;
        const char *separator = "\n";
        for (int position : comparison.current()) {
            record.clear();
            appendRecord(record, comparison, position);
            m_out << separator << record;
            separator = ",\n";
        }
        m_out << "\n    " << frame.mid(at + 6);
        m_out.flush();
        return records.isEmpty() ? ExitDone : ExitFinding;
    }
    for (int position : comparison.current()) {
        const DiffRecord &record = records[position];
        QString status = tr("Different");
        if (record.kind == DiffRecord::OnlyHere)
            status = tr("Only in the first file");
        else if (record.kind == DiffRecord::OnlyThere)
            status = tr("Only in the second file");
        else if (record.here->type != record.there->type)
            status += tr(" (type %1 / %2)").arg(record.here->type).arg(record.there->type);
        m_out << QStringList{status, record.path,
                             record.here ? escaped(record.here->value) : QString(),
                             record.there ? escaped(record.there->value) : QString()}
                     .join(QLatin1Char('\t'))
              << '\n';
    }
    m_out.flush();
    return records.isEmpty() ? ExitDone : ExitFinding;
}

int Ctl::backups(const QStringList &)
{
    const QString file = chosenFile();
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return noFile(file);
    QJsonArray array;
    QStringList lines;
    for (const QString &path : listBackups(file)) {
        const QFileInfo info(path);
        array.append(QJsonObject{{QStringLiteral("name"), info.fileName()},
                                 {QStringLiteral("path"), path},
                                 {QStringLiteral("size"), info.size()},
                                 {QStringLiteral("modified"), modifiedText(info)}});
        lines.append(
            QStringList{info.fileName(), QString::number(info.size()), modifiedText(info)}.join(
                QLatin1Char('\t')));
    }
    print({{QStringLiteral("file"), file}, {QStringLiteral("backups"), array}}, lines);
    return ExitDone;
}

int Ctl::exportValues(const QStringList &paths)
{
    loadKnowledge();
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    SetupChoice choice;
    for (const QString &path : paths) {
        const QList<XsdtNode *> nodes = nodesAtPath(document.root, path);
        if (nodes.isEmpty() || nodes.contains(&document.root))
            return fail(ExitNotFound, file, path, tr("No such setting."));
        choice.subtrees.append(nodes);
    }
    choice.modules = m_parser->values(QStringLiteral("module"));
    QList<XsdtNode *> values;
    QString error;
    if (!setupValues(document, m_schema, m_policy, choice, &values, &error))
        return fail(ExitNotFound, file, QString(), error);
    m_out << writeSetupFile(values, file, choice.modules);
    m_out.flush();
    return ExitDone;
}

int Ctl::paths(const QStringList &)
{
    const bool replacing = m_parser->isSet(QStringLiteral("replace"));
    if (replacing && m_parser->isSet(QStringLiteral("missing")))
        return usage(tr("--missing and --replace cannot be used together."));
    if (replacing)
        return replacePaths(m_parser->values(QStringLiteral("replace")));
    for (const char *option : {"dry-run", "expect-hash", "allow-replacement"}) {
        if (m_parser->isSet(QLatin1String(option)))
            return usage(
                tr("--%1 applies to paths only with --replace.").arg(QLatin1String(option)));
    }
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    const bool missingOnly = m_parser->isSet(QStringLiteral("missing"));
    QJsonArray array;
    QStringList lines;
    int missing = 0;
    for (const PathValue &value : pathValues(document, HealthEnv::system())) {
        missing += value.exists ? 0 : 1;
        if (missingOnly && value.exists)
            continue;
        array.append(QJsonObject{{QStringLiteral("path"), value.node->path()},
                                 {QStringLiteral("value"), value.path},
                                 {QStringLiteral("exists"), value.exists}});
        lines.append(
            QStringList{value.node->path(), escaped(native(value.path)),
                        value.exists ? QStringLiteral("exists") : QStringLiteral("missing")}
                .join(QLatin1Char('\t')));
    }
    print({{QStringLiteral("file"), file},
           {QStringLiteral("missing"), missing},
           {QStringLiteral("paths"), array}},
          lines);
    return ExitDone;
}

int Ctl::repos(const QStringList &)
{
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    const RepositoryReport report = repositoryReport(document);
    QJsonObject json{{QStringLiteral("file"), file}};
    QStringList lines;
    const auto addSwitch = [&](const char *name, const XsdtNode *node) {
        json.insert(QLatin1String(name),
                    node ? QJsonValue(node->value == QLatin1String("true")) : QJsonValue());
        if (node)
            lines.append(QStringList{QStringLiteral("switch"), node->path(), node->value}.join(
                QLatin1Char('\t')));
    };
    addSwitch("allowUnsigned", report.allowUnsigned);
    addSwitch("allowInsecure", report.allowInsecure);
    QJsonArray repositories;
    for (const Repository &repository : report.repositories) {
        QStringList urls;
        QStringList sameAs;
        bool plain = false;
        for (const XsdtNode *url : repository.urls) {
            urls.append(url->value);
            plain = plain || report.plainHttp.contains(url);
            for (const QList<XsdtNode *> &same : report.sameUrl) {
                if (!same.contains(url))
                    continue;
                for (const XsdtNode *other : same) {
                    if (other != url && !sameAs.contains(other->parent->path()))
                        sameAs.append(other->parent->path());
                }
            }
        }
        QJsonArray values;
        QStringList others;
        for (const XsdtNode *value : repository.others) {
            values.append(valueJson(value));
            others.append(value->key + QLatin1Char('=') + escaped(value->value));
        }
        QStringList flags;
        if (!sameAs.isEmpty())
            flags.append(QStringLiteral("same-url"));
        if (plain)
            flags.append(QStringLiteral("http"));
        repositories.append(
            QJsonObject{{QStringLiteral("path"), repository.group->path()},
                        {QStringLiteral("urls"), QJsonArray::fromStringList(urls)},
                        {QStringLiteral("values"), values},
                        {QStringLiteral("sameUrlAs"), QJsonArray::fromStringList(sameAs)},
                        {QStringLiteral("plainHttp"), plain}});
        const auto field = [](const QStringList &parts) {
            return parts.isEmpty() ? QStringLiteral("-") : parts.join(QLatin1Char(','));
        };
        QStringList escapedUrls;
        for (const QString &url : std::as_const(urls))
            escapedUrls.append(escaped(url));
        lines.append(QStringList{QStringLiteral("repository"), repository.group->path(),
                                 field(escapedUrls), field(flags), field(others)}
                         .join(QLatin1Char('\t')));
    }
    json.insert(QStringLiteral("repositories"), repositories);
    if (!report.container && !m_json) {
        // Having none is an answer; the note goes where it cannot be taken for a record.
        m_err << tr("%1 lists no update repositories.").arg(native(file)) << '\n';
        m_err.flush();
    }
    print(json, lines);
    return ExitDone;
}

} // namespace vrn
