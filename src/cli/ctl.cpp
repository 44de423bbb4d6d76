#include "cli/ctl.h"

#include "document/values.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/compare.h"
#include "knowledge/healthcheck.h"
#include "knowledge/valuecheck.h"
#include "store/settingsstore.h"

#include <QCommandLineParser>
#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTextStream>

#include <functional>

namespace vrn {

namespace {

const QString kFormat = QStringLiteral("varnel-preferences");

struct CommandSpec
{
    const char *name;
    int minArgs;
    int maxArgs; // -1: any number
    QStringList options;
};

const QList<CommandSpec> &commandSpecs()
{
    static const QList<CommandSpec> table = {
        {"files", 0, 0, {}},
        {"get", 1, -1, {QStringLiteral("recursive")}},
        {"set",
         1,
         -1,
         {QStringLiteral("dry-run"), QStringLiteral("expect-hash"),
          QStringLiteral("allow-replacement")}},
        {"delete",
         1,
         -1,
         {QStringLiteral("dry-run"), QStringLiteral("force"), QStringLiteral("expect-hash"),
          QStringLiteral("allow-replacement")}},
        {"check", 0, 0, {}},
        {"diff", 1, 2, {}},
        {"backups", 0, 0, {}},
        {"restore", 1, 1, {}},
        {"prune",
         0,
         0,
         {QStringLiteral("keep"), QStringLiteral("dry-run"), QStringLiteral("permanently")}},
        {"export", 0, -1, {}},
        {"import",
         1,
         1,
         {QStringLiteral("dry-run"), QStringLiteral("expect-hash"),
          QStringLiteral("allow-replacement")}},
    };
    return table;
}

QString native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// One record per line, fields separated by tabs: the characters that would break that layout
// are written as escapes, and the backslash too so the escapes stay unambiguous.
QString escaped(QString text)
{
    text.replace(QLatin1Char('\\'), QLatin1String("\\\\"));
    text.replace(QLatin1Char('\t'), QLatin1String("\\t"));
    text.replace(QLatin1Char('\n'), QLatin1String("\\n"));
    text.replace(QLatin1Char('\r'), QLatin1String("\\r"));
    return text;
}

QJsonObject valueJson(const XsdtNode *node)
{
    return {{QStringLiteral("path"), node->path()},
            {QStringLiteral("type"), QString(node->type)},
            {QStringLiteral("typeName"), typeDisplayName(node->type)},
            {QStringLiteral("value"), node->value}};
}

void collectValues(const XsdtNode *node, bool recursive, QList<const XsdtNode *> &out)
{
    for (const auto &child : node->children) {
        if (child->isValue())
            out.append(child.get());
        else if (recursive)
            collectValues(child.get(), true, out);
    }
}

// The values below node that their own path names: at every level the first of twins, as a
// lookup by path resolves them. Later twins are unreachable by path and so never exported.
void forEachNamedValue(XsdtNode *node, const std::function<void(XsdtNode *)> &visit)
{
    QSet<QStringView> keys;
    for (const auto &child : node->children) {
        if (keys.contains(child->key))
            continue;
        keys.insert(child->key);
        if (child->isValue())
            visit(child.get());
        else
            forEachNamedValue(child.get(), visit);
    }
}

QString modifiedText(const QFileInfo &info)
{
    return info.lastModified().toString(Qt::ISODate);
}

} // namespace

Ctl::Ctl(QTextStream &out, QTextStream &err)
    : m_out(out)
    , m_err(err)
{}

Ctl::~Ctl() = default;

QString Ctl::helpText()
{
    return tr(
        "Usage: varnelctl COMMAND [ARGUMENTS] [OPTIONS]\n"
        "Reads, changes, checks and compares PixInsight settings files with the same checks\n"
        "and the same guarded save as Varnel. Nothing is written while PixInsight runs; every\n"
        "write makes a timestamped backup beside the file first.\n"
        "\n"
        "Commands:\n"
        "  files                  the settings files found, with their backup counts\n"
        "  get PATH...            type and value of each setting; a group prints its values\n"
        "                         (--recursive: those of its subgroups too)\n"
        "  set PATH=VALUE...      change values (checked for type, range and options)\n"
        "  delete PATH...         delete entries the deletion rules allow (--force for those\n"
        "                         that need a confirmation in the window)\n"
        "  check                  the health check's findings, one per line\n"
        "  diff [FILE_A] FILE_B   the value entries in which two files differ (FILE_A: the\n"
        "                         --file file by default)\n"
        "  backups                the backups of the file, newest first\n"
        "  restore BACKUP         replace the file with one of its backups (name or path)\n"
        "  prune --keep N         move all but the newest N backups to the trash (refused\n"
        "                         when there is none, unless --permanently is given)\n"
        "  export [PATH...]       the documented, editable preferences (or the given\n"
        "                         subtrees) as JSON on standard output\n"
        "  import FILE            apply an exported JSON file: all of it or nothing\n"
        "\n"
        "Options:\n"
        "  --file F               the settings file (default: the first one found, as the\n"
        "                         window opens)\n"
        "  --json                 JSON on standard output instead of text\n"
        "  --dry-run              show what would change and write nothing\n"
        "  --force                also delete entries that need a confirmation\n"
        "  --expect-hash SHA256   write only if the file still has this content (the \"sha256\"\n"
        "                         that get --json reported)\n"
        "  --recursive            get: include subgroups\n"
        "  --keep N               prune: how many backups to keep\n"
        "  --permanently          prune: delete the backups for good instead of moving them\n"
        "                         to the trash\n"
        "  --allow-replacement    set, delete, import: save even though byte sequences that\n"
        "                         are not valid UTF-8 will be written as U+FFFD\n"
        "  -h, --help             this text\n"
        "  --version              the version\n"
        "\n"
        "Text output has one record per line with tab-separated fields (set and import:\n"
        "path, type, old value, new value; delete: path, number of values); a backslash, tab,\n"
        "line feed or carriage return inside a value is written as \\\\, \\t, \\n or \\r.\n"
        "Errors go to standard error, naming the file and setting they concern.\n"
        "\n"
        "Exit codes:\n"
        "  0  done\n"
        "  1  check found a Warning or Problem; diff found a difference\n"
        "  2  PixInsight is running; nothing was written\n"
        "  3  file, setting or backup not found, or the file is not a settings file\n"
        "  4  refused: invalid value, protected entry, import problems, bytes that are not\n"
        "     UTF-8, no trash for prune, the file changed since it was read, or another\n"
        "     program has it open; nothing was written\n"
        "  5  writing failed; the file was left as it was\n"
        "  6  malformed command line\n");
}

int Ctl::usage(const QString &problem)
{
    m_err << "varnelctl: " << problem << '\n'
          << tr("Usage: varnelctl COMMAND [ARGUMENTS] [--file F] [--json] "
                "(varnelctl --help lists the commands)")
          << '\n';
    m_err.flush();
    return ExitUsage;
}

int Ctl::fail(int code, const QString &file, const QString &path, const QString &message)
{
    QStringList parts{QStringLiteral("varnelctl")};
    if (!file.isEmpty())
        parts.append(native(file));
    if (!path.isEmpty())
        parts.append(path);
    parts.append(message);
    m_err << parts.join(QStringLiteral(": ")) << '\n';
    m_err.flush();
    return code;
}

void Ctl::print(const QJsonObject &json, const QStringList &lines)
{
    if (m_json)
        m_out << QJsonDocument(json).toJson(QJsonDocument::Indented);
    else
        for (const QString &line : lines)
            m_out << line << '\n';
    m_out.flush();
}

bool Ctl::loadKnowledge()
{
    auto resource = [](const QString &name) {
        QFile file(name);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    };
    const QByteArray overlay = resource(QStringLiteral(":/schema/overlay.json"));
    QString error;
    if (!m_schema.load(resource(QStringLiteral(":/schema/globals.json")), overlay, &error)) {
        fail(ExitDone, QString(), QString(),
             tr("The built-in settings descriptions could not be read (%1).").arg(error));
    }
    error.clear();
    if (!m_policy.load(overlay, &error)) {
        // A policy that failed to load must refuse every deletion, as in the window.
        m_policy = DeletionPolicy();
        fail(ExitDone, QString(), QString(),
             tr("The built-in deletion rules could not be read (%1). Nothing can be deleted.")
                 .arg(error));
        return false;
    }
    return true;
}

QString Ctl::chosenFile() const
{
    const QString named = m_parser->value(QStringLiteral("file"));
    if (!named.isEmpty())
        return QFileInfo(named).absoluteFilePath();
    return findSettingsFiles().value(0);
}

int Ctl::noFile(const QString &file)
{
    if (!file.isEmpty())
        return fail(ExitNotFound, file, QString(), tr("No such file."));
    return fail(ExitNotFound, QString(), QString(),
                tr("No PixInsight settings file found in %1. Use --file to name one.")
                    .arg(native(configDirectories().join(QStringLiteral(", ")))));
}

int Ctl::readDocument(XsdtDocument &document, const QString &file, QByteArray *hash)
{
    // Commands that only read skip the store: it hashes every byte for its change check, which
    // costs nearly as much as parsing a large file and guards nothing when nothing is written.
    if (file.isEmpty())
        return noFile(file);
    QByteArray bytes;
    QString error;
    if (!readFile(file, bytes, &error))
        return fail(ExitNotFound, QString(), QString(), error);
    if (!document.parse(bytes, &error))
        return fail(ExitNotFound, QString(), QString(),
                    tr("%1 is not a valid PixInsight settings file: %2").arg(native(file), error));
    if (hash)
        *hash = sha256(bytes);
    return ExitDone;
}

int Ctl::openStore(SettingsStore &store, const QString &file)
{
    if (file.isEmpty())
        return noFile(file);
    store.policy = &m_policy;
    QString error;
    if (!store.load(file, &error))
        return fail(ExitNotFound, QString(), QString(), error);
    const QString expected = m_parser->value(QStringLiteral("expect-hash")).toLower();
    if (!expected.isEmpty() && QString::fromLatin1(store.loadedHash.toHex()) != expected) {
        // The caller decided on the content it read earlier; this is not that content (or the
        // hash was never this file's).
        return fail(ExitRefused, store.path, QString(),
                    tr("The file's SHA-256 is %1, not the %2 given with --expect-hash: it was "
                       "changed since that hash was taken, or the hash is not this file's. "
                       "Nothing was written.")
                        .arg(QString::fromLatin1(store.loadedHash.toHex()), expected));
    }
    return ExitDone;
}

int Ctl::refusalCode(const SettingsStore &store) const
{
    if (checkPixInsight().mayBeRunning())
        return ExitRunning;
    // Rewritten (even with the same bytes), replaced, deleted or held open by another program.
    const SettingsStore::Failure failure = store.failure();
    if (failure == SettingsStore::Failure::ChangedOnDisk ||
        failure == SettingsStore::Failure::InUse)
        return ExitRefused;
    return ExitWriteFailed;
}

int Ctl::save(SettingsStore &store, const QStringList &changeLines, QJsonObject json)
{
    QStringList lines = changeLines;
    if (!json.contains(QStringLiteral("deleted"))) {
        QJsonArray changes;
        for (const XsdtNode *node : store.document.changedValues()) {
            QJsonObject change = valueJson(node);
            change.insert(QStringLiteral("before"), node->originalValue);
            changes.append(change);
            lines.append(QStringList{node->path(), typeDisplayName(node->type),
                                     escaped(node->originalValue), escaped(node->value)}
                             .join(QLatin1Char('\t')));
        }
        json.insert(QStringLiteral("changes"), changes);
    }
    json.insert(QStringLiteral("file"), store.path);
    json.insert(QStringLiteral("dryRun"), m_dryRun);
    json.insert(QStringLiteral("backup"), QJsonValue());
    if (store.document.pendingChangeCount() == 0) {
        lines.append(tr("No changes."));
        print(json, lines);
        return ExitDone;
    }
    if (const XsdtDocument::InvalidUtf8 &bad = store.document.invalidUtf8; bad.count > 0) {
        // The values holding those bytes change on save, so this is no note about layout.
        const QString replaced =
            (bad.path.isEmpty()
                 ? tr("Byte sequences that are not valid UTF-8 and will be written as U+FFFD: %n "
                      "(the first at line %1, column %2).",
                      nullptr, bad.count)
                       .arg(bad.line)
                       .arg(bad.column)
                 : tr("Byte sequences that are not valid UTF-8 and will be written as U+FFFD: %n "
                      "(the first in %1).",
                      nullptr, bad.count)
                       .arg(bad.path));
        if (!m_parser->isSet(QStringLiteral("allow-replacement")))
            return fail(ExitRefused, store.path, QString(),
                        replaced + QLatin1Char(' ') +
                            tr("Nothing was written. Add --allow-replacement to save anyway; the "
                               "backup keeps the original bytes."));
        fail(ExitDone, store.path, QString(),
             replaced + QLatin1Char(' ') + tr("The backup keeps the original bytes."));
    } else if (!store.document.compactLayout) {
        fail(ExitDone, store.path, QString(),
             tr("This file uses a non-default layout (for example indented XML). Values are "
                "unaffected; saving will rewrite it in PixInsight's compact layout."));
    }
    if (m_dryRun) {
        lines.append(tr("Dry run: nothing was written."));
        print(json, lines);
        return ExitDone;
    }
    QString error;
    QString backup;
    if (!store.save(&error, &backup)) {
        // The store says why in words; the exit code says which kind of refusal it was. The
        // window's words for a change on disk point to its Reload and keep my changes.
        const int code = refusalCode(store);
        if (store.failure() == SettingsStore::Failure::ChangedOnDisk &&
            fileStamp(store.path).exists)
            error = tr("The file changed on disk while it was being saved (another program "
                       "wrote it). Nothing was written; run the command again to apply it to "
                       "the new version.");
        return fail(code, store.path, QString(), error);
    }
    const QString name = QFileInfo(backup).fileName();
    json.insert(QStringLiteral("backup"), name);
    lines.append(tr("Saved. Backup: %1").arg(name));
    print(json, lines);
    return ExitDone;
}

int Ctl::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    m_parser = &parser;
    const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")}, tr("This text."));
    parser.addOptions({
        help,
        {QStringLiteral("version"), tr("The version.")},
        {QStringLiteral("file"), tr("The settings file."), QStringLiteral("F")},
        {QStringLiteral("json"), tr("JSON output.")},
        {QStringLiteral("dry-run"), tr("Write nothing.")},
        {QStringLiteral("force"), tr("Delete entries that need a confirmation.")},
        {QStringLiteral("expect-hash"), tr("Expected SHA-256 of the file."),
         QStringLiteral("SHA256")},
        {QStringLiteral("recursive"), tr("Include subgroups.")},
        {QStringLiteral("keep"), tr("Backups to keep."), QStringLiteral("N")},
        {QStringLiteral("permanently"), tr("Delete instead of moving to the trash.")},
        {QStringLiteral("allow-replacement"), tr("Write invalid UTF-8 as U+FFFD.")},
    });
    if (!parser.parse(arguments)) {
        // The parser names an unknown option without its dashes; say it as it was typed.
        const QStringList unknown = parser.unknownOptionNames();
        if (!unknown.isEmpty()) {
            QString typed = unknown.constFirst();
            for (const QString &argument : arguments.mid(1)) {
                const QString name = argument.section(QLatin1Char('='), 0, 0);
                if (name == QLatin1String("--") + typed || name == QLatin1Char('-') + typed) {
                    typed = name;
                    break;
                }
            }
            return usage(tr("Unknown option '%1'.").arg(typed));
        }
        return usage(parser.errorText());
    }
    if (parser.isSet(help)) {
        m_out << helpText();
        m_out.flush();
        return ExitDone;
    }
    if (parser.isSet(QStringLiteral("version"))) {
        m_out << QCoreApplication::applicationName() << ' '
              << QCoreApplication::applicationVersion() << '\n';
        m_out.flush();
        return ExitDone;
    }
    QStringList args = parser.positionalArguments();
    if (args.isEmpty())
        return usage(tr("No command given."));
    const QString command = args.takeFirst();
    const CommandSpec *entry = nullptr;
    for (const CommandSpec &candidate : commandSpecs()) {
        if (command == QLatin1String(candidate.name))
            entry = &candidate;
    }
    if (!entry)
        return usage(tr("Unknown command '%1'.").arg(command));
    if (args.size() < entry->minArgs || (entry->maxArgs >= 0 && args.size() > entry->maxArgs))
        return usage(tr("Wrong number of arguments for %1.").arg(command));
    for (const QString &option : parser.optionNames()) {
        if (option != QLatin1String("file") && option != QLatin1String("json") &&
            !entry->options.contains(option))
            return usage(tr("--%1 does not apply to %2.").arg(option, command));
    }
    const QString hash = parser.value(QStringLiteral("expect-hash"));
    if (parser.isSet(QStringLiteral("expect-hash")) &&
        (hash.size() != 64 || QByteArray::fromHex(hash.toLatin1()).toHex() != hash.toLower()))
        return usage(tr("--expect-hash needs the 64 hexadecimal digits of a SHA-256."));
    if (parser.isSet(QStringLiteral("file")) && parser.value(QStringLiteral("file")).isEmpty())
        return usage(tr("--file needs a file name."));
    m_json = parser.isSet(QStringLiteral("json"));
    m_dryRun = parser.isSet(QStringLiteral("dry-run"));

    if (command == QLatin1String("files"))
        return files();
    if (command == QLatin1String("backups"))
        return backups();
    if (command == QLatin1String("restore"))
        return restore(args.constFirst());
    if (command == QLatin1String("prune")) {
        if (!parser.isSet(QStringLiteral("keep")))
            return usage(tr("prune needs --keep N."));
        return prune(parser.value(QStringLiteral("keep")));
    }
    if (command == QLatin1String("get"))
        return get(args);
    if (command == QLatin1String("set")) {
        for (const QString &assignment : std::as_const(args)) {
            if (assignment.indexOf(QLatin1Char('=')) <= 0)
                return usage(tr("'%1' is not of the form PATH=VALUE.").arg(assignment));
        }
    }
    loadKnowledge();
    if (command == QLatin1String("set"))
        return set(args);
    if (command == QLatin1String("delete"))
        return remove(args);
    if (command == QLatin1String("check"))
        return check();
    if (command == QLatin1String("diff"))
        return diff(args);
    if (command == QLatin1String("export"))
        return exportValues(args);
    return importValues(args.constFirst());
}

int Ctl::files()
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
    const bool recursive = m_parser->isSet(QStringLiteral("recursive"));
    int code = ExitDone;
    QJsonArray array;
    QStringList lines;
    for (const QString &path : paths) {
        const XsdtNode *node = document.findPath(path);
        if (!node || node == &document.root) {
            code = fail(ExitNotFound, file, path, tr("No such setting."));
            continue;
        }
        QList<const XsdtNode *> values;
        if (node->isValue())
            values.append(node);
        else
            collectValues(node, recursive, values);
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

int Ctl::set(const QStringList &assignments)
{
    SettingsStore store;
    if (const int code = openStore(store, chosenFile()))
        return code;
    int code = ExitDone;
    for (const QString &assignment : assignments) {
        const qsizetype equals = assignment.indexOf(QLatin1Char('='));
        const QString path = assignment.left(equals);
        XsdtNode *node = store.document.findPath(path);
        if (!node || node == &store.document.root) {
            code = qMax(code, fail(ExitNotFound, store.path, path, tr("No such setting.")));
            continue;
        }
        QString normalized;
        QString error;
        if (node->isValue() && assignment.mid(equals + 1) == node->value)
            continue; // no change, so nothing to check
        if (!checkNewValue(node, assignment.mid(equals + 1), m_schema, &m_policy, &normalized,
                           &error)) {
            code = fail(ExitRefused, store.path, path, error);
            continue;
        }
        node->value = normalized;
    }
    if (code != ExitDone)
        return code;
    return save(store, {}, {});
}

int Ctl::remove(const QStringList &paths)
{
    SettingsStore store;
    if (const int code = openStore(store, chosenFile()))
        return code;
    const bool force = m_parser->isSet(QStringLiteral("force"));
    int code = ExitDone;
    for (const QString &path : paths) {
        XsdtNode *node = store.document.findPath(path);
        if (!node || node == &store.document.root) {
            code = qMax(code, fail(ExitNotFound, store.path, path, tr("No such setting.")));
            continue;
        }
        const DeleteVerdict verdict = m_policy.verdictFor(node);
        if (verdict.level == DeleteLevel::Never) {
            code = fail(ExitRefused, store.path, path, tr("Cannot delete. %1").arg(verdict.reason));
            continue;
        }
        if (verdict.level == DeleteLevel::Warn && !force) {
            code = fail(ExitRefused, store.path, path,
                        tr("%1 Add --force to delete it anyway.").arg(verdict.reason));
            continue;
        }
        node->pendingDelete = true;
    }
    if (code != ExitDone)
        return code;
    QJsonArray array;
    QStringList lines;
    for (const XsdtNode *node : store.document.deletedNodes()) {
        const int count = int(node->valueCount());
        array.append(
            QJsonObject{{QStringLiteral("path"), node->path()}, {QStringLiteral("values"), count}});
        lines.append(node->path() + QLatin1Char('\t') + QString::number(count));
    }
    return save(store, lines, {{QStringLiteral("deleted"), array}});
}

int Ctl::check()
{
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
    const QList<DiffRecord> records = compareDocuments(a, b);
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
    print({{QStringLiteral("first"), first},
           {QStringLiteral("second"), second},
           {QStringLiteral("records"), array}},
          lines);
    return records.isEmpty() ? ExitDone : ExitFinding;
}

int Ctl::backups()
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

int Ctl::restore(const QString &backup)
{
    SettingsStore store;
    const QString file = chosenFile();
    if (file.isEmpty())
        return noFile(file);
    store.policy = &m_policy;
    // A file that is missing or does not parse is exactly what a backup is for, as in the window:
    // the store keeps a broken file as a backup before replacing it.
    QString loadError;
    if (!store.load(file, &loadError) && store.path.isEmpty()) {
        if (!fileMissing(file))
            return fail(ExitNotFound, QString(), QString(), loadError);
        store.path = QFileInfo(file).absoluteFilePath();
    }
    // Only the file's own backups: the window offers nothing else, and a slip of the tab key
    // must not put some other file in place of the settings.
    const QStringList before = listBackups(store.path);
    const QString wanted = QFileInfo(backup).absoluteFilePath();
    QString chosen;
    for (const QString &candidate : before) {
        if (QFileInfo(candidate).fileName() == backup || candidate == wanted)
            chosen = candidate;
    }
    if (chosen.isEmpty())
        return fail(
            ExitNotFound, store.path, QString(),
            tr("%1 is not one of this file's backups (varnelctl backups lists them).").arg(backup));
    QString error;
    if (!store.restoreBackup(chosen, &error)) {
        QByteArray bytes;
        XsdtDocument scratch;
        int code = refusalCode(store);
        if (code == ExitWriteFailed && (!readFile(chosen, bytes) || !scratch.parse(bytes)))
            code = ExitRefused;
        return fail(code, store.path, QString(), error);
    }
    QString saved;
    for (const QString &path : listBackups(store.path)) {
        if (!before.contains(path))
            saved = QFileInfo(path).fileName();
    }
    QStringList lines{tr("Restored %1").arg(QFileInfo(chosen).fileName())};
    if (!saved.isEmpty())
        lines.append(tr("The replaced file was backed up as %1.").arg(saved));
    print({{QStringLiteral("file"), store.path},
           {QStringLiteral("restored"), QFileInfo(chosen).fileName()},
           {QStringLiteral("backup"), saved.isEmpty() ? QJsonValue() : QJsonValue(saved)}},
          lines);
    return ExitDone;
}

int Ctl::prune(const QString &keepText)
{
    bool ok = false;
    const int keep = keepText.toInt(&ok);
    if (!ok || keep < 0)
        return usage(tr("--keep needs a number of backups, 0 or more."));
    const QString file = chosenFile();
    if (file.isEmpty() || !QFileInfo(file).isFile())
        return noFile(file);
    const OldBackups old = oldBackups(file, keep);
    QStringList lines;
    QJsonArray names;
    for (const QString &path : old.paths) {
        names.append(QFileInfo(path).fileName());
        lines.append(QFileInfo(path).fileName());
    }
    const bool permanently = m_parser->isSet(QStringLiteral("permanently"));
    QJsonObject json{{QStringLiteral("file"), file},
                     {QStringLiteral("dryRun"), m_dryRun},
                     {QStringLiteral("removed"), names},
                     {QStringLiteral("movedToTrash"), false},
                     {QStringLiteral("trash"), QJsonValue()}};
    if (old.paths.isEmpty()) {
        lines.append(tr("No backups to remove."));
        print(json, lines);
        return ExitDone;
    }
    if (!permanently) {
        // Deleting for good is the user's choice to make, not a quiet fallback.
        const TrashPlace trash = trashPlaceFor(QFileInfo(file).absolutePath());
        if (!trash.usable())
            return fail(ExitRefused, file, QString(),
                        tr("Cannot move the backups to the trash: %1. Nothing was removed. Add "
                           "--permanently to delete them for good.")
                            .arg(trash.reason));
        json.insert(QStringLiteral("trash"), trash.folder);
    }
    if (m_dryRun) {
        lines.append(permanently ? tr("Dry run: nothing was deleted.")
                                 : tr("Dry run: nothing was moved."));
        print(json, lines);
        return ExitDone;
    }
    const BackupRemoval removal = removeBackups(file, old.paths, !permanently);
    lines.clear();
    names = QJsonArray();
    for (const QString &path : old.paths) {
        if (!removal.failedPaths.contains(path)) {
            names.append(QFileInfo(path).fileName());
            lines.append(QFileInfo(path).fileName());
        }
    }
    json.insert(QStringLiteral("removed"), names);
    json.insert(QStringLiteral("movedToTrash"), removal.movedToTrash);
    json.insert(QStringLiteral("trash"),
                removal.trashFolder.isEmpty() ? QJsonValue() : QJsonValue(removal.trashFolder));
    const QString kib = QString::number(removal.bytesFreed / 1024);
    if (removal.movedToTrash)
        // Said with the folder: on another file system it is not the desktop's trash, and the
        // space stays taken there until that folder is emptied.
        lines.append(
            tr("Backups moved to the trash folder %1: %n (%2 KiB).", nullptr, removal.removed)
                .arg(native(removal.trashFolder), kib));
    else if (removal.removed > 0)
        lines.append(
            tr("Backups deleted for good: %n (%1 KiB).", nullptr, removal.removed).arg(kib));
    print(json, lines);
    int code = ExitDone;
    for (const QString &path : removal.failedPaths)
        code = fail(
            ExitWriteFailed, path, QString(),
            removal.trashProblem.isEmpty()
                ? tr("Could not remove this backup.")
                : tr("Could not move this backup to the trash: %1.").arg(removal.trashProblem));
    return code;
}

int Ctl::exportValues(const QStringList &paths)
{
    XsdtDocument document;
    const QString file = chosenFile();
    if (const int code = readDocument(document, file))
        return code;
    QList<XsdtNode *> roots;
    for (const QString &path : paths) {
        XsdtNode *node = document.findPath(path);
        if (!node || node == &document.root)
            return fail(ExitNotFound, file, path, tr("No such setting."));
        roots.append(node);
    }
    // Every documented variable lives below Global.
    const bool documentedOnly = roots.isEmpty();
    if (documentedOnly && document.findPath(u"Global"))
        roots.append(document.findPath(u"Global"));
    QJsonArray array;
    QSet<const XsdtNode *> seen;
    auto consider = [&](XsdtNode *node) {
        // Only what import would accept back: editable, not locked, not read-only.
        if (seen.contains(node) || !node->isEditable() || m_policy.isEditLocked(node))
            return;
        const VariableInfo info = m_schema.info(node);
        if (info.readOnly || (documentedOnly && !info.known))
            return;
        seen.insert(node);
        array.append(QJsonObject{{QStringLiteral("path"), node->path()},
                                 {QStringLiteral("type"), QString(node->type)},
                                 {QStringLiteral("value"), node->value}});
    };
    for (XsdtNode *root : std::as_const(roots)) {
        if (root->isValue())
            consider(root);
        else
            forEachNamedValue(root, consider);
    }
    m_out << QJsonDocument(QJsonObject{{QStringLiteral("format"), kFormat},
                                       {QStringLiteral("version"), 1},
                                       {QStringLiteral("source"), file},
                                       {QStringLiteral("values"), array}})
                 .toJson(QJsonDocument::Indented);
    m_out.flush();
    return ExitDone;
}

int Ctl::importValues(const QString &file)
{
    QByteArray bytes;
    QString error;
    if (!readFile(QFileInfo(file).absoluteFilePath(), bytes, &error))
        return fail(ExitNotFound, QString(), QString(), error);
    QJsonParseError parseError;
    const QJsonDocument json = QJsonDocument::fromJson(bytes, &parseError);
    if (json.isNull())
        return fail(ExitRefused, file, QString(), parseError.errorString());
    if (json.object().value(QStringLiteral("format")).toString() != kFormat ||
        !json.object().value(QStringLiteral("values")).isArray())
        return fail(ExitRefused, file, QString(),
                    tr("Not a preferences file written by varnelctl export."));
    SettingsStore store;
    if (const int code = openStore(store, chosenFile()))
        return code;
    // Every entry is checked before anything changes, and every problem is named, so one
    // run shows all that needs fixing.
    int problems = 0;
    const QJsonArray entries = json.object().value(QStringLiteral("values")).toArray();
    // A lookup by path scans the siblings at every level; for a large import one pass over the
    // document is far cheaper.
    QHash<QString, XsdtNode *> index;
    if (entries.size() > 64)
        forEachNamedValue(&store.document.root,
                          [&](XsdtNode *node) { index.insert(node->path(), node); });
    for (qsizetype i = 0; i < entries.size(); ++i) {
        const QJsonObject entry = entries.at(i).toObject();
        const QString path = entry.value(QStringLiteral("path")).toString();
        const QString type = entry.value(QStringLiteral("type")).toString();
        const QJsonValue value = entry.value(QStringLiteral("value"));
        auto problem = [&](const QString &message) {
            ++problems;
            fail(ExitRefused, file, path, message);
        };
        XsdtNode *node = path.isEmpty()     ? nullptr
                         : !index.isEmpty() ? index.value(path)
                                            : store.document.findPath(path);
        if (path.isEmpty() || type.size() != 1 || !value.isString()) {
            problem(tr("Entry %1 needs a path, a one-letter type and a text value.").arg(i + 1));
        } else if (!node || !node->isValue()) {
            problem(tr("No such setting in %1.").arg(native(store.path)));
        } else if (type.at(0) != node->type) {
            problem(tr("The type is %1 here but %2 in the import.")
                        .arg(typeDisplayName(node->type), typeDisplayName(type.at(0))));
        } else if (value.toString() != node->value) {
            // An equal text is no change, even where typing it again would be normalised.
            QString normalized;
            QString message;
            if (checkNewValue(node, value.toString(), m_schema, &m_policy, &normalized, &message))
                node->value = normalized;
            else
                problem(message);
        }
    }
    if (problems > 0)
        return fail(ExitRefused, file, QString(),
                    tr("%n problems; nothing was imported.", nullptr, problems));
    return save(store, {}, {});
}

} // namespace vrn
