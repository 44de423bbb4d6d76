// The frame of varnelctl: the command and option tables, the command line, output, errors,
// choosing the file, opening it and saving it.
#include "cli/ctl.h"

#include "document/valuenodes.h"
#include "document/values.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "history/historyrecorder.h"
#include "knowledge/builtin.h"
#include "knowledge/setupfile.h"
#include "store/documentmanager.h"

#include <QCommandLineParser>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QSet>
#include <QTextStream>

#include <algorithm>

namespace vrn {

namespace {

// Where --help starts the second column.
constexpr int kHelpIndent = 25;

QString helpRows(const QString &first, const QString &text)
{
    // At least two spaces between the columns, where the manual page's maker looks for them.
    QString rows = QStringLiteral("  ") + first;
    rows += first.size() > kHelpIndent - 4 ? QLatin1Char('\n') + QString(kHelpIndent, u' ')
                                           : QString(kHelpIndent - 2 - first.size(), u' ');
    rows += text.split(QLatin1Char('\n')).join(QLatin1Char('\n') + QString(kHelpIndent, u' '));
    return rows + QLatin1Char('\n');
}

QString optionSynopsis(const CtlOption &option)
{
    QString text = QLatin1String("--") + QLatin1String(option.name);
    if (option.shortName)
        text.prepend(QLatin1Char('-') + QLatin1String(option.shortName) + QLatin1String(", "));
    if (option.valueName)
        text += QLatin1Char(' ') + QLatin1String(option.valueName);
    return text;
}

const CtlOption &optionNamed(const QString &name)
{
    for (const CtlOption &option : Ctl::options()) {
        if (name == QLatin1String(option.name))
            return option;
    }
    Q_UNREACHABLE(); // the parser knows only the options of the table
}

} // namespace

const QList<CtlOption> &Ctl::options()
{
    // In the order --help lists them.
    static const QList<CtlOption> table = {
        {"file", nullptr, "F", CtlOption::Every,
         QT_TRANSLATE_NOOP("vrn::Ctl", "the settings file (default: the first one found, as the\n"
                                       "window opens)")},
        {"json", nullptr, nullptr, CtlOption::Every,
         QT_TRANSLATE_NOOP("vrn::Ctl", "JSON on standard output instead of text")},
        {"dry-run", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "show what would change and write nothing")},
        {"force", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "replace the file even when it is read-only; delete:\n"
                                       "also entries that need a confirmation")},
        {"expect-hash", nullptr, "SHA256", CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl",
                           "write only if the file still has this content (the \"sha256\"\n"
                           "that get --json reported)")},
        {"recursive", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "get: include subgroups")},
        {"keep", nullptr, "N", CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "prune: how many backups to keep")},
        {"permanently", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "prune: delete the backups for good instead of moving them\n"
                                       "to the trash")},
        {"allow-replacement", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "set, delete, import: save even though byte sequences that\n"
                                       "are not valid UTF-8 will be written as U+FFFD")},
        {"preferences", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "export: the documented, editable preferences too, when\n"
                                       "PATH or --module is given")},
        {"module", nullptr, "NAME", CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "export: also the data of this module or script (what\n"
                                       "the module search finds for the name; repeatable)"),
         true},
        {"map", nullptr, "OLD=NEW", CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "import: paths that begin with the folder OLD begin with\n"
                                       "NEW instead (repeatable; the longest match wins)"),
         true},
        {"add-missing", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "import: create the settings the file does not have yet,\n"
                                       "with the types the JSON file gives")},
        {"missing", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "paths: only those not found on this computer")},
        {"replace", nullptr, "OLD=NEW", CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "paths: change the beginning OLD of every path to NEW\n"
                                       "(repeatable; the longest match wins)"),
         true},
        {"ignore-memory", nullptr, nullptr, CtlOption::Every,
         QT_TRANSLATE_NOOP("vrn::Ctl", "read the file even when it looks too large for the memory\n"
                                       "available now")},
        {"prune", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "history: thin the versions as the watcher does once a\n"
                                       "day (with --dry-run: only say which would go)")},
        {"note", nullptr, "TEXT", CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "history pin: why the version is kept")},
        {"once", nullptr, nullptr, CtlOption::Command,
         QT_TRANSLATE_NOOP("vrn::Ctl", "watch: record the file as it is now and stop")},
        {"help", "h", nullptr, CtlOption::Alone, QT_TRANSLATE_NOOP("vrn::Ctl", "this text")},
        {"version", nullptr, nullptr, CtlOption::Alone,
         QT_TRANSLATE_NOOP("vrn::Ctl", "the version")},
    };
    return table;
}

const QList<CtlCommand> &Ctl::commands()
{
    const QString dryRun = QStringLiteral("dry-run");
    const QString expectHash = QStringLiteral("expect-hash");
    const QString allowReplacement = QStringLiteral("allow-replacement");
    const QString force = QStringLiteral("force");
    // In the order --help lists them.
    static const QList<CtlCommand> table = {
        {"files",
         "files",
         QT_TRANSLATE_NOOP("vrn::Ctl", "the settings files found, with their backup counts"),
         0,
         0,
         {},
         nullptr,
         &Ctl::files},
        {"get",
         QT_TRANSLATE_NOOP("vrn::Ctl", "get PATH..."),
         QT_TRANSLATE_NOOP("vrn::Ctl", "type and value of each setting; a group prints its values\n"
                                       "(--recursive: those of its subgroups too)"),
         1,
         -1,
         {QStringLiteral("recursive")},
         nullptr,
         &Ctl::get},
        {"set",
         QT_TRANSLATE_NOOP("vrn::Ctl", "set PATH=VALUE..."),
         QT_TRANSLATE_NOOP("vrn::Ctl", "change values (checked for type, range and options)"),
         1,
         -1,
         {dryRun, expectHash, allowReplacement, force},
         nullptr,
         &Ctl::set},
        {"delete",
         QT_TRANSLATE_NOOP("vrn::Ctl", "delete PATH..."),
         QT_TRANSLATE_NOOP("vrn::Ctl",
                           "delete entries the deletion rules allow (--force for those\n"
                           "that need a confirmation in the window)"),
         1,
         -1,
         {dryRun, force, expectHash, allowReplacement},
         nullptr,
         &Ctl::remove},
        {"check",
         "check",
         QT_TRANSLATE_NOOP("vrn::Ctl", "the health check's findings, one per line"),
         0,
         0,
         {},
         nullptr,
         &Ctl::check},
        {"diff",
         QT_TRANSLATE_NOOP("vrn::Ctl", "diff [FILE_A] FILE_B"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "the value entries in which two files differ (FILE_A: the\n"
                                       "--file file by default)"),
         1,
         2,
         {},
         nullptr,
         &Ctl::diff},
        {"backups",
         "backups",
         QT_TRANSLATE_NOOP("vrn::Ctl", "the backups of the file, newest first"),
         0,
         0,
         {},
         nullptr,
         &Ctl::backups},
        {"restore",
         QT_TRANSLATE_NOOP("vrn::Ctl", "restore BACKUP"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "replace the file with one of its backups (name or path)"),
         1,
         1,
         {force},
         nullptr,
         &Ctl::restore},
        {"prune",
         QT_TRANSLATE_NOOP("vrn::Ctl", "prune --keep N"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "move all but the newest N backups to the trash (refused\n"
                                       "when there is none, unless --permanently is given)"),
         0,
         0,
         {QStringLiteral("keep"), dryRun, QStringLiteral("permanently")},
         "keep",
         &Ctl::prune},
        {"export",
         QT_TRANSLATE_NOOP("vrn::Ctl", "export [PATH...]"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "as JSON on standard output: the documented, editable\n"
                                       "preferences, or the given subtrees and the data of each\n"
                                       "--module (with the preferences only when --preferences\n"
                                       "is given)"),
         0,
         -1,
         {QStringLiteral("preferences"), QStringLiteral("module")},
         nullptr,
         &Ctl::exportValues},
        {"import",
         QT_TRANSLATE_NOOP("vrn::Ctl", "import FILE"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "apply an exported JSON file, paths rewritten by each\n"
                                       "--map: all of it or nothing (--add-missing: settings\n"
                                       "the file lacks are created)"),
         1,
         1,
         {dryRun, expectHash, allowReplacement, QStringLiteral("map"),
          QStringLiteral("add-missing"), force},
         nullptr,
         &Ctl::importValues},
        {"paths",
         "paths",
         QT_TRANSLATE_NOOP("vrn::Ctl",
                           "the values that name a file or folder and whether it exists\n"
                           "(--missing: only those not found); --replace OLD=NEW changes\n"
                           "the beginning OLD of each, whole folder names only"),
         0,
         0,
         {QStringLiteral("missing"), QStringLiteral("replace"), dryRun, expectHash,
          allowReplacement, force},
         nullptr,
         &Ctl::paths},
        {"history",
         "history",
         QT_TRANSLATE_NOOP("vrn::Ctl", "the versions of the file its history keeps, newest first\n"
                                       "(--prune: thin them to the preferences' limits)"),
         0,
         0,
         {QStringLiteral("prune"), dryRun},
         nullptr,
         &Ctl::history},
        {"history diff",
         QT_TRANSLATE_NOOP("vrn::Ctl", "history diff A [B]"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "the value entries in which version A differs from\n"
                                       "version B (default: the file as it is now)"),
         1,
         2,
         {},
         nullptr,
         &Ctl::historyDiff},
        {"history get",
         QT_TRANSLATE_NOOP("vrn::Ctl", "history get VERSION PATH..."),
         QT_TRANSLATE_NOOP("vrn::Ctl", "type and value of each setting in a version"),
         2,
         -1,
         {QStringLiteral("recursive")},
         nullptr,
         &Ctl::historyGet},
        {"history restore",
         QT_TRANSLATE_NOOP("vrn::Ctl", "history restore VERSION"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "replace the file with a version, as restore does"),
         1,
         1,
         {},
         nullptr,
         &Ctl::historyRestore},
        {"history pin",
         QT_TRANSLATE_NOOP("vrn::Ctl", "history pin VERSION [--note TEXT]"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "keep a version whatever the thinning"),
         1,
         1,
         {QStringLiteral("note")},
         nullptr,
         &Ctl::historyPin},
        {"history unpin",
         QT_TRANSLATE_NOOP("vrn::Ctl", "history unpin VERSION"),
         QT_TRANSLATE_NOOP("vrn::Ctl", "let the thinning take a pinned version again"),
         1,
         1,
         {},
         nullptr,
         &Ctl::historyUnpin},
        {"watch",
         "watch",
         QT_TRANSLATE_NOOP("vrn::Ctl", "keep the history: record each version the file is\n"
                                       "written as (the background service runs this)"),
         0,
         0,
         {QStringLiteral("once")},
         nullptr,
         &Ctl::watch},
        {"repos",
         "repos",
         QT_TRANSLATE_NOOP("vrn::Ctl", "the update repositories, flagged when an address is given\n"
                                       "twice or is plain http://, and the switches that accept\n"
                                       "unsigned or insecure ones"),
         0,
         0,
         {},
         nullptr,
         &Ctl::repos},
    };
    return table;
}

Ctl::Ctl(QTextStream &out, QTextStream &err)
    : m_out(out)
    , m_err(err)
{}

Ctl::~Ctl() = default;

QString Ctl::helpText()
{
    QString text =
        tr("Usage: varnelctl COMMAND [ARGUMENTS] [OPTIONS]\n"
           "Reads, changes, checks and compares PixInsight settings files with the same checks\n"
           "and the same guarded save as Varnel. Nothing is written while PixInsight runs; every\n"
           "write makes a timestamped backup beside the file first.\n"
           "\n"
           "Commands:\n");
    for (const CtlCommand &command : commands())
        text += helpRows(tr(command.synopsis), tr(command.help));
    text += QLatin1Char('\n') + tr("Options:\n");
    for (const CtlOption &option : options())
        text += helpRows(optionSynopsis(option), tr(option.help));
    return text +
           tr("\n"
              "Output:\n"
              "Standard output holds only records, one per line with tab-separated fields (set\n"
              "and import: path, type, old value, new value; delete: path, number of values).\n"
              "Errors and notes (\"Saved. Backup: NAME\", \"Dry run: nothing was written.\") go\n"
              "to standard error, one per line, naming the file and setting they concern. In\n"
              "both, a backslash, tab, line feed or carriage return is written as \\\\, \\t,\n"
              "\\n or \\r, and any other control character as \\u and four hexadecimal digits.\n"
              "\n"
              "Exit codes:\n"
              "  0  done\n"
              "  1  check found a Warning or Problem; diff or history diff found a difference\n"
              "  2  PixInsight is running, or whether it runs cannot be told; nothing was\n"
              "     written\n"
              "  3  file, setting, backup or version not found, or not a settings file (also a\n"
              "     damaged version)\n"
              "  4  refused: invalid value, protected entry, import problems, bytes that are not\n"
              "     UTF-8, no trash for prune, the file changed since it was read, another\n"
              "     program has it open, it is read-only (without --force), or a history kept\n"
              "     on another computer or for another file; nothing was written (paths\n"
              "     --replace: none of the values it matched may be changed; when some may,\n"
              "     they are, and it exits 0)\n"
              "  5  writing failed; the file was left as it was, unless the message says what\n"
              "     it holds now\n"
              "  6  malformed command line, an OLD=NEW of --map or --replace among them\n"
              "  7  the file would not fit in the memory available now; nothing was read\n");
}

int Ctl::usage(const QString &problem)
{
    m_err << "varnelctl: " << escaped(problem) << '\n'
          << tr("Usage: varnelctl COMMAND [ARGUMENTS] [--file F] [--json] "
                "(varnelctl --help lists the commands)")
          << '\n';
    m_err.flush();
    return ExitUsage;
}

void Ctl::say(const QString &file, const QString &path, const QString &message)
{
    // One line each, as the records are: a name may hold a line break or a tab.
    QStringList parts{QStringLiteral("varnelctl")};
    if (!file.isEmpty())
        parts.append(escaped(native(file)));
    if (!path.isEmpty())
        parts.append(escaped(path));
    parts.append(escaped(message));
    m_err << parts.join(QStringLiteral(": ")) << '\n';
    m_err.flush();
}

int Ctl::fail(int code, const QString &file, const QString &path, const QString &message)
{
    say(file, path, message);
    return code;
}

void Ctl::warn(const QString &file, const QString &message)
{
    say(file, QString(), message);
}

void Ctl::note(const QString &message)
{
    // The JSON form carries the same in its keys.
    if (!m_json)
        say(QString(), QString(), message);
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

void Ctl::loadKnowledge()
{
    const BuiltInLoad loaded = loadBuiltInKnowledge(m_schema, m_policy);
    if (!loaded.schemaLoaded)
        warn(QString(), tr("The built-in settings descriptions could not be read (%1).")
                            .arg(loaded.schemaError));
    // A policy that failed to load refuses every deletion, as in the window.
    if (!loaded.policyLoaded)
        warn(QString(),
             tr("The built-in deletion rules could not be read (%1). Nothing can be deleted.")
                 .arg(loaded.policyError));
}

QString Ctl::exportFormat()
{
    return setupFormat();
}

QString Ctl::native(const QString &path)
{
    return QDir::toNativeSeparators(path);
}

// One record per line, fields separated by tabs: the characters that would break that layout
// are written as escapes, and the backslash too so the escapes stay unambiguous.
QString Ctl::escaped(QString text)
{
    // Other control characters too: written raw they would move the cursor or change the
    // colours of the terminal that shows them.
    const auto plain = [](QChar c) {
        const char16_t u = c.unicode(); // U+0000 to U+001F and U+007F to U+009F are controls
        return u >= 0xa0 || (u >= 0x20 && u < 0x7f && u != u'\\');
    };
    if (std::all_of(text.cbegin(), text.cend(), plain))
        return text;
    QString out;
    out.reserve(text.size() + 8);
    for (const QChar c : std::as_const(text)) {
        if (plain(c))
            out += c;
        else if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else
            out += QStringLiteral("\\u%1").arg(c.unicode(), 4, 16, QLatin1Char('0'));
    }
    return out;
}

QJsonObject Ctl::valueJson(const XsdtNode *node)
{
    return {{QStringLiteral("path"), node->path()},
            {QStringLiteral("type"), QString(node->type)},
            {QStringLiteral("typeName"), typeDisplayName(node->type)},
            {QStringLiteral("value"), node->value.toString()}};
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

int Ctl::checkMemory(const QString &file, double factor)
{
    return checkMemory(MemoryFit::forFile(file, factor), file);
}

int Ctl::checkMemory(const MemoryFit &fit, const QString &what)
{
    if (m_parser->isSet(QStringLiteral("ignore-memory")) || fit.fits())
        return ExitDone;
    return fail(ExitNoMemory, QString(), QString(),
                fit.shortage(what) + QLatin1Char(' ') +
                    tr("Nothing was read. Close other programs, or add --ignore-memory to read "
                       "it anyway."));
}

int Ctl::readDocument(XsdtDocument &document, const QString &file, QByteArray *hash,
                      const QStringList *only)
{
    // Commands that only read skip the store: it hashes every byte for its change check, which
    // costs nearly as much as parsing a large file and guards nothing when nothing is written.
    if (file.isEmpty())
        return noFile(file);
    if (const int code =
            checkMemory(file, only ? MemoryFit::kLookUpFactor : MemoryFit::kReadFactor))
        return code;
    QString error;
    const bool ok = parseFile(document, file, hash, only, &error);
    return reportRead(ok, error);
}

bool Ctl::parseFile(XsdtDocument &document, const QString &file, QByteArray *hash,
                    const QStringList *only, QString *error, QByteArray *buffer)
{
    QByteArray own;
    QByteArray &bytes = buffer ? *buffer : own;
    if (!readFile(file, bytes, error))
        return false;
    QString parseError;
    if (!(only ? document.parsePaths(bytes, *only, &parseError)
               : document.parse(bytes, &parseError))) {
        *error = tr("%1 is not a valid PixInsight settings file: %2").arg(native(file), parseError);
        return false;
    }
    if (hash)
        *hash = sha256(bytes);
    return true;
}

int Ctl::reportRead(bool ok, const QString &error)
{
    return ok ? int(ExitDone) : fail(ExitNotFound, QString(), QString(), error);
}

int Ctl::openDocument(DocumentManager &docs, const QString &file)
{
    if (file.isEmpty())
        return noFile(file);
    if (const int code = checkMemory(file))
        return code;
    docs.setDeletionGuard(m_policy.deletionGuard());
    recordSaves(docs.store());
    QString error;
    if (!docs.load(file, &error))
        return fail(ExitNotFound, QString(), QString(), error);
    const SettingsStore &store = docs.store();
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
    // Also when nobody can tell whether it runs: that refusal is the same one.
    if (checkPixInsight().mayBeRunning())
        return ExitRunning;
    // Rewritten (even with the same bytes), replaced, deleted or held open by another program,
    // or read-only.
    const SettingsStore::Failure failure = store.failure();
    if (failure == SettingsStore::Failure::ChangedOnDisk ||
        failure == SettingsStore::Failure::InUse || failure == SettingsStore::Failure::ReadOnly)
        return ExitRefused;
    return ExitWriteFailed;
}

void Ctl::prepareReplace(SettingsStore &store)
{
    store.replaceReadOnly = m_parser->isSet(QStringLiteral("force"));
    for (const QString &note : store.replaceNotes())
        warn(QString(), note);
}

QString Ctl::refusal(const SettingsStore &store, const QString &error) const
{
    return store.failure() == SettingsStore::Failure::ReadOnly
               ? error + QLatin1Char(' ') + tr("Add --force to replace it anyway.")
               : error;
}

int Ctl::save(DocumentManager &docs, const QStringList &changeLines, QJsonObject json)
{
    const SettingsStore &store = docs.store();
    QStringList lines = changeLines;
    if (!json.contains(QStringLiteral("deleted"))) {
        QJsonArray changes;
        for (const XsdtNode *node : store.document.changedValues()) {
            QJsonObject change = valueJson(node);
            change.insert(QStringLiteral("before"), node->originalValue.toString());
            changes.append(change);
            lines.append(QStringList{escaped(node->path()), typeDisplayName(node->type),
                                     escaped(node->originalValue), escaped(node->value)}
                             .join(QLatin1Char('\t')));
        }
        // A created value had no value before: null in JSON, an empty field in text.
        for (XsdtNode *added : store.document.addedNodes()) {
            QList<XsdtNode *> values;
            collectValueNodes(added, values);
            for (const XsdtNode *node : std::as_const(values)) {
                QJsonObject change = valueJson(node);
                change.insert(QStringLiteral("before"), QJsonValue());
                change.insert(QStringLiteral("added"), true);
                changes.append(change);
                lines.append(QStringList{node->path(), typeDisplayName(node->type), QString(),
                                         escaped(node->value)}
                                 .join(QLatin1Char('\t')));
            }
        }
        json.insert(QStringLiteral("changes"), changes);
    }
    json.insert(QStringLiteral("file"), store.path);
    json.insert(QStringLiteral("dryRun"), m_dryRun);
    json.insert(QStringLiteral("backup"), QJsonValue());
    if (store.document.pendingChangeCount() == 0) {
        print(json, lines);
        note(tr("No changes."));
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
        warn(store.path, replaced + QLatin1Char(' ') + tr("The backup keeps the original bytes."));
    } else if (!store.document.compactLayout) {
        warn(store.path,
             tr("This file uses a non-default layout (for example indented XML). Values are "
                "unaffected; saving will rewrite it in PixInsight's compact layout."));
    }
    if (m_dryRun) {
        print(json, lines);
        note(tr("Dry run: nothing was written."));
        return ExitDone;
    }
    prepareReplace(docs.store());
    const DocumentManager::SaveResult saved = docs.save();
    if (!saved.ok) {
        QString error = saved.error;
        // The store says why in words; the exit code says which kind of refusal it was. The
        // window's words for a change on disk point to its Reload and keep my changes.
        const int code = refusalCode(store);
        if (store.failure() == SettingsStore::Failure::ChangedOnDisk &&
            fileStamp(store.path).exists)
            error = tr("The file changed on disk while it was being saved (another program "
                       "wrote it). Nothing was written; run the command again to apply it to "
                       "the new version.");
        return fail(code, store.path, QString(), refusal(store, error));
    }
    const QString name = QFileInfo(saved.backupPath).fileName();
    json.insert(QStringLiteral("backup"), name);
    print(json, lines);
    note(tr("Saved. Backup: %1").arg(name));
    return ExitDone;
}

int Ctl::run(const QStringList &arguments)
{
    QCommandLineParser parser;
    m_parser = &parser;
    for (const CtlOption &option : options()) {
        QStringList names{QLatin1String(option.name)};
        if (option.shortName)
            names.prepend(QLatin1String(option.shortName));
        parser.addOption(
            QCommandLineOption(names, tr(option.help), QLatin1String(option.valueName)));
    }
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
    if (parser.isSet(QStringLiteral("help"))) {
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
    QString command = args.takeFirst();
    if (command == QLatin1String("__complete"))
        return completions(args);
    const CtlCommand *entry = nullptr;
    for (const CtlCommand &candidate : commands()) {
        // "history diff" and the like: a command with a second word of its own.
        const QString name = QLatin1String(candidate.name);
        if (!args.isEmpty() && name == command + QLatin1Char(' ') + args.constFirst()) {
            command = name;
            args.removeFirst();
            entry = &candidate;
            break;
        }
        if (name == command)
            entry = &candidate;
    }
    if (!entry)
        return usage(tr("Unknown command '%1'.").arg(command));
    if (args.size() < entry->minArgs || (entry->maxArgs >= 0 && args.size() > entry->maxArgs))
        return usage(tr("Wrong number of arguments for %1.").arg(command));
    const QStringList given = parser.optionNames();
    for (const QString &option : given) {
        if (optionNamed(option).scope != CtlOption::Every && !entry->options.contains(option))
            return usage(tr("--%1 does not apply to %2.").arg(option, command));
        // The parser would keep the last value and drop the others without a word.
        if (optionNamed(option).valueName && !optionNamed(option).repeatable &&
            given.count(option) > 1)
            return usage(tr("--%1 is given more than once; it takes one value.").arg(option));
    }
    const QString hash = parser.value(QStringLiteral("expect-hash"));
    if (parser.isSet(QStringLiteral("expect-hash")) &&
        (hash.size() != 64 || QByteArray::fromHex(hash.toLatin1()).toHex() != hash.toLower()))
        return usage(tr("--expect-hash needs the 64 hexadecimal digits of a SHA-256."));
    if (parser.isSet(QStringLiteral("file")) && parser.value(QStringLiteral("file")).isEmpty())
        return usage(tr("--file needs a file name."));
    m_json = parser.isSet(QStringLiteral("json"));
    m_dryRun = parser.isSet(QStringLiteral("dry-run"));

    if (entry->requiredOption && !parser.isSet(QLatin1String(entry->requiredOption)))
        return usage(tr("%1 needs --%2 %3.")
                         .arg(command, QLatin1String(entry->requiredOption),
                              QLatin1String(optionNamed(entry->requiredOption).valueName)));
    const int code = (this->*entry->handler)(args);
    finishRecording();
    return code;
}

} // namespace vrn
