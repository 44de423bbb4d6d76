// The commands of varnelctl that only read.
#include "cli/ctl.h"

#include "document/valuenodes.h"
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/compare.h"
#include "knowledge/healthcheck.h"
#include "knowledge/setupfile.h"
#include "knowledge/paths.h"
#include "knowledge/repositories.h"

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
    if (const int code = readDocument(document, file, m_json ? &hash : nullptr))
        return code;
    return printValues(document, file, paths,
                       {{QStringLiteral("file"), file},
                        {QStringLiteral("sha256"), QString::fromLatin1(hash.toHex())}});
}

int Ctl::printValues(const XsdtDocument &document, const QString &file, const QStringList &paths,
                     QJsonObject json)
{
    const bool recursive = m_parser->isSet(QStringLiteral("recursive"));
    int code = ExitDone;
    QJsonArray array;
    QStringList lines;
    for (const QString &path : paths) {
        XsdtNode *node = document.findPath(path);
        if (!node || node == &document.root) {
            code = fail(ExitNotFound, file, path, tr("No such setting."));
            continue;
        }
        QList<XsdtNode *> values;
        collectValueNodes(node, values, recursive);
        for (const XsdtNode *value : std::as_const(values)) {
            array.append(valueJson(value));
            lines.append(
                QStringList{value->path(), typeDisplayName(value->type), escaped(value->value)}
                    .join(QLatin1Char('\t')));
        }
    }
    json.insert(QStringLiteral("values"), array);
    print(json, lines);
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
    return printDiff({{QStringLiteral("first"), first}, {QStringLiteral("second"), second}},
                     compareDocuments(a, b));
}

int Ctl::printDiff(QJsonObject json, const QList<DiffRecord> &records)
{
    QJsonArray array;
    QStringList lines;
    for (const DiffRecord &record : records) {
        auto side = [](const XsdtNode *node) -> QJsonValue {
            if (!node)
                return QJsonValue();
            return QJsonObject{{QStringLiteral("type"), QString(node->type)},
                               {QStringLiteral("value"), node->value}};
        };
        static const char *const kinds[] = {"different", "onlyFirst", "onlySecond"};
        array.append(QJsonObject{{QStringLiteral("path"), record.path},
                                 {QStringLiteral("kind"), QLatin1String(kinds[record.kind])},
                                 {QStringLiteral("first"), side(record.here)},
                                 {QStringLiteral("second"), side(record.there)}});
        QString status = tr("Different");
        if (record.kind == DiffRecord::OnlyHere)
            status = tr("Only in the first file");
        else if (record.kind == DiffRecord::OnlyThere)
            status = tr("Only in the second file");
        else if (record.here->type != record.there->type)
            status += tr(" (type %1 / %2)").arg(record.here->type).arg(record.there->type);
        lines.append(QStringList{status, record.path,
                                 record.here ? escaped(record.here->value) : QString(),
                                 record.there ? escaped(record.there->value) : QString()}
                         .join(QLatin1Char('\t')));
    }
    json.insert(QStringLiteral("records"), array);
    print(json, lines);
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
        XsdtNode *node = document.findPath(path);
        if (!node || node == &document.root)
            return fail(ExitNotFound, file, path, tr("No such setting."));
        choice.subtrees.append(node);
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
        return replacePaths(m_parser->value(QStringLiteral("replace")));
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
                                 {QStringLiteral("value"), value.node->value},
                                 {QStringLiteral("exists"), value.exists}});
        lines.append(
            QStringList{value.node->path(), escaped(native(value.node->value)),
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
