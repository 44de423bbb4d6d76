#include "knowledge/healthcheck.h"

#include "document/values.h"
#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"
#include "environment/pixinsight.h"
#include "knowledge/modules.h"
#include "knowledge/paths.h"
#include "knowledge/schema.h"

#include <QCoreApplication>
#include <QDir>
#include <QLocale>

#include <algorithm>
#include <limits>
#include <numeric>
#include <vector>

namespace vrn {

namespace {

class HealthText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::HealthCheck)
};

QString shortest(double value)
{
    return QString::number(value, 'g', QLocale::FloatingPointShortest);
}

Finding finding(const char *id, Severity severity, QString title, QString text,
                QList<XsdtNode *> nodes = {}, FindingAction action = FindingAction::None)
{
    return Finding{QString::fromLatin1(id), severity,         std::move(title),
                   std::move(text),         std::move(nodes), action};
}

void appendLiveValues(XsdtNode *node, QList<XsdtNode *> &values)
{
    for (const auto &child : node->children) {
        if (child->pendingDelete)
            continue;
        if (child->isValue())
            values.append(child.get());
        else
            appendLiveValues(child.get(), values);
    }
}

// The values below the top-level "Global" groups that are not going away, in document order.
// Every test that looks at values looks only at paths starting with "Global/", so the rest of
// a large file (module data, histories) is never visited here.
QList<XsdtNode *> liveGlobalValues(const XsdtDocument &document)
{
    QList<XsdtNode *> values;
    for (const auto &top : document.root.children) {
        if (top->isGroup() && !top->pendingDelete && top->key == QLatin1String("Global"))
            appendLiveValues(top.get(), values);
    }
    return values;
}

bool underPathSettings(const QString &path)
{
    return path.startsWith(QLatin1String("Global/Preferences/")) ||
           path.startsWith(QLatin1String("Global/ColorManagement/"));
}

void checkValue(XsdtNode *node, const VariableInfo &info, const HealthEnv &env,
                QList<Finding> &findings)
{
    const QString &value = node->value;
    if ((info.kind == EditorKind::FilePath || info.kind == EditorKind::Directory) &&
        !info.readOnly && env.exists && underPathSettings(node->path())) {
        // Each path the value holds, read as the Paths page reads it.
        QStringList missing;
        for (const PathSpan &span : pathsInText(value, env.windowsPaths)) {
            const QString path = value.mid(span.start, span.length);
            if (!env.exists(path))
                missing.append(QDir::toNativeSeparators(path));
        }
        if (!missing.isEmpty()) {
            const QString title = info.kind == EditorKind::Directory
                                      ? HealthText::tr("%1: the folder does not exist")
                                      : HealthText::tr("%1: the file does not exist");
            findings.append(finding(
                "path-missing", Severity::Warning, title.arg(info.label),
                HealthText::tr("%1 is not on this computer. If it is a drive that is not "
                               "connected right now, ignore this; otherwise point the setting "
                               "at somewhere that exists.")
                    .arg(missing.join(QStringLiteral(", "))),
                {node}));
        }
    }
    if (info.hasRange && (info.kind == EditorKind::Integer || info.kind == EditorKind::Unsigned ||
                          info.kind == EditorKind::Real)) {
        bool ok = false;
        const double number = value.toDouble(&ok);
        if (ok && (number < info.min || number > info.max)) {
            // A range open on one side keeps the largest double there; that is no bound to show.
            const bool noMin = info.min <= std::numeric_limits<double>::lowest();
            const bool noMax = info.max >= std::numeric_limits<double>::max();
            QString documented;
            if (noMax)
                documented = HealthText::tr("The value is %1; PixInsight documents at least %2.")
                                 .arg(value, shortest(info.min));
            else if (noMin)
                documented = HealthText::tr("The value is %1; PixInsight documents at most %2.")
                                 .arg(value, shortest(info.max));
            else
                documented = HealthText::tr("The value is %1; PixInsight documents %2 to %3.")
                                 .arg(value, shortest(info.min), shortest(info.max));
            findings.append(
                finding("out-of-range", Severity::Problem,
                        HealthText::tr("%1 is outside its documented range").arg(info.label),
                        documented, {node}));
        }
    }
    if (info.kind == EditorKind::Choice) {
        const int number = value.toInt(nullptr, 10);
        const bool known = std::any_of(info.choices.begin(), info.choices.end(),
                                       [&](const auto &choice) { return choice.first == number; });
        if (!known) {
            QStringList options;
            for (const auto &choice : info.choices)
                options.append(
                    QStringLiteral("%1 = %2").arg(QString::number(choice.first), choice.second));
            findings.append(finding(
                "unknown-option", Severity::Warning,
                HealthText::tr("%1 has an option value that is not recognised").arg(info.label),
                HealthText::tr("The value is %1; the known options are: %2.")
                    .arg(value, options.join(QLatin1String(", "))),
                {node}));
        }
    }
}

void checkProcessors(const XsdtDocument &document, const HealthEnv &env, QList<Finding> &findings)
{
    if (env.logicalProcessors <= 0)
        return;
    XsdtNode *node = document.findPath(u"Global/Preferences/Process/MaxProcessors");
    if (!node || !node->isValue() || node->isDeleted())
        return;
    const int setting = node->value.toInt(nullptr, 10);
    if (setting <= env.logicalProcessors)
        return;
    findings.append(finding(
        "too-many-processors", Severity::Warning,
        HealthText::tr("Maximum processors is higher than this computer has"),
        HealthText::tr("The setting is %1 and this computer has %2 logical processors. This is "
                       "harmless on the computer the file came from, but here PixInsight will "
                       "simply use them all.")
            .arg(node->value, QString::number(env.logicalProcessors)),
        {node}));
}

// A node's path, and which of the entries of that name it is when the path alone cannot say.
QString entryLabel(const XsdtNode *node)
{
    int place = 0;
    int named = 0;
    if (!node->parent)
        return node->path();
    for (const auto &sibling : node->parent->children) {
        if (sibling->key != node->key)
            continue;
        ++named;
        if (sibling.get() == node)
            place = named;
    }
    return named < 2 ? node->path()
                     : HealthText::tr("%1 (entry %2 of %3 with that key)")
                           .arg(node->path())
                           .arg(place)
                           .arg(named);
}

void checkDoubledRegistrations(const XsdtDocument &document, const QList<XsdtNode *> &values,
                               QString binDir, const HealthEnv &env, QList<Finding> &findings)
{
    // Without the folder found on this computer, the one the file itself records is where
    // PixInsight resolved its placeholders when it wrote them.
    if (binDir.isEmpty()) {
        HealthEnv recorded;
        recorded.windowsPaths = env.windowsPaths;
        binDir = locateBinDir(values, recorded).binDir;
    }
    for (const DoubledRegistration &twice :
         doubledRegistrations(document, binDir, env.windowsPaths)) {
        const QString name = moduleNameFromFile(twice.file);
        findings.append(finding(
            "module-registered-twice", Severity::Warning,
            HealthText::tr("%1 is registered twice").arg(name.isEmpty() ? twice.file : name),
            HealthText::tr("The module registry entries %1 and %2 both name %3, so PixInsight "
                           "loads it twice and complains about duplicate identifiers. The "
                           "later entry can go.")
                .arg(entryLabel(twice.first), entryLabel(twice.later),
                     QDir::toNativeSeparators(twice.file)),
            {twice.first, twice.later}, FindingAction::DeleteLastEntry));
    }
}

void checkModuleFiles(const XsdtDocument &document, const QList<XsdtNode *> &values,
                      const HealthEnv &env, QList<Finding> &findings,
                      const std::atomic_bool *cancelled)
{
    XsdtNode *modules = document.root.childByKey(u"Modules");
    if (!modules || !modules->isGroup())
        return;
    const BinDirSearch search = locateBinDir(values, env);
    checkDoubledRegistrations(document, values, search.binDir, env, findings);
    if (search.binDir.isEmpty()) {
        const QString places =
            search.lookedIn.isEmpty()
                ? HealthText::tr("(nowhere: no location is recorded in the file and none is "
                                 "known for this system)")
                : search.lookedIn.join(QLatin1String(", "));
        findings.append(finding(
            "modules-unchecked", Severity::Note, HealthText::tr("Module files were not checked"),
            HealthText::tr("The PixInsight program folder could not be found, so the registered "
                           "modules could not be matched to files. Looked in: %1.")
                .arg(places)));
        return;
    }
    if (!env.exists)
        return;
    QList<XsdtNode *> missing;
    QStringList names;
    qsizetype visited = 0;
    for (const auto &child : modules->children) {
        // Each entry asks the file system: asked often enough to stop within milliseconds.
        if ((++visited & 63) == 0 && cancelled && cancelled->load())
            return;
        if (!child->isValue() || child->isDeleted())
            continue;
        const QString file = resolveRegistryPath(child->value, search.binDir);
        if (!looksAbsolute(file, env.windowsPaths) || env.exists(file))
            continue;
        missing.append(child.get());
        const QString name = moduleNameFromFile(child->value);
        names.append(name.isEmpty() ? child->value.toString() : name);
    }
    if (missing.isEmpty())
        return;
    findings.append(finding(
        "module-file-missing", Severity::Warning,
        HealthText::tr("%n registered modules have no file on this computer", nullptr,
                       int(missing.size())),
        HealthText::tr("Listed in the module registry but not in %1: %2. PixInsight repairs its "
                       "registry at startup, so this only matters if the modules should be "
                       "there.")
            .arg(QDir::toNativeSeparators(search.binDir), names.join(QLatin1String(", "))),
        missing));
}

struct KeyedChild
{
    QStringView key;
    qsizetype index; // position among the live children
    XsdtNode *node;
};

// Sorts by key, then place. A group of a million children takes a check a tenth of a second and
// more to sort, and an edit waits for a check to stop: such a group is sorted in slices that are
// merged, with a look at `cancelled` in between. False when it stopped.
bool sortKeyed(std::vector<KeyedChild> &keyed, const std::atomic_bool *cancelled)
{
    const auto less = [](const KeyedChild &a, const KeyedChild &b) {
        if (a.key != b.key)
            return a.key < b.key;
        return a.index < b.index;
    };
    constexpr size_t kSlice = 8192;
    const size_t size = keyed.size();
    const auto at = [&](size_t i) { return keyed.begin() + qsizetype(std::min(i, size)); };
    const auto stopped = [cancelled] { return cancelled && cancelled->load(); };
    for (size_t from = 0; from < size; from += kSlice) {
        if (stopped())
            return false;
        std::sort(at(from), at(from + kSlice), less);
    }
    for (size_t width = kSlice; width < size; width *= 2) {
        for (size_t from = 0; from + width < size; from += 2 * width) {
            if (stopped())
                return false;
            std::inplace_merge(at(from), at(from + width), at(from + 2 * width), less);
        }
    }
    return true;
}

// Duplicates among the live children of one node, in the order their keys first occur. The
// children are sorted by key in a scratch buffer reused for every group: most groups have no
// duplicate, and sorting short keys costs far less than hashing them.
void duplicatesAmongChildren(const XsdtNode *node, std::vector<KeyedChild> &scratch,
                             QList<Finding> &findings, const std::atomic_bool *cancelled)
{
    scratch.clear();
    for (const auto &child : node->children) {
        if (!child->pendingDelete)
            scratch.push_back({child->key.view(), qsizetype(scratch.size()), child.get()});
    }
    if (scratch.size() < 2 || !sortKeyed(scratch, cancelled))
        return;

    // Runs of equal keys, each in document order; then the runs by where their key first
    // occurs.
    QList<QList<XsdtNode *>> groups;
    QList<qsizetype> firstIndex;
    for (size_t i = 0; i < scratch.size();) {
        size_t end = i + 1;
        while (end < scratch.size() && scratch[end].key == scratch[i].key)
            ++end;
        if (end - i > 1) {
            QList<XsdtNode *> same;
            for (size_t j = i; j < end; ++j)
                same.append(scratch[j].node);
            groups.append(same);
            firstIndex.append(scratch[i].index);
        }
        i = end;
    }
    if (groups.isEmpty())
        return;
    QList<qsizetype> order(groups.size());
    std::iota(order.begin(), order.end(), 0);
    std::sort(order.begin(), order.end(),
              [&](qsizetype a, qsizetype b) { return firstIndex.at(a) < firstIndex.at(b); });

    const QString where = node->parent ? node->path() : HealthText::tr("the top level");
    for (qsizetype g : std::as_const(order)) {
        const QList<XsdtNode *> &same = groups.at(g);
        findings.append(finding(
            "duplicate-key", Severity::Warning,
            HealthText::tr("\"%1\" appears %2 times in %3")
                .arg(same.first()->key, QString::number(same.size()), where),
            HealthText::tr("A key should occur once. PixInsight reads only one of them, so the "
                           "other holds data it never uses, or a stale copy that may be the one "
                           "it picks."),
            same));
    }
}

void checkUnusedModules(const XsdtDocument &document, QList<Finding> &findings,
                        const std::atomic_bool *cancelled)
{
    QList<ModuleEntries> unused = unusedModuleData(document, registryValues(document), cancelled);
    unused.removeIf([](const ModuleEntries &entries) { return entries.onlyAccessRecords(); });
    if (unused.isEmpty())
        return;
    QStringList names;
    qsizetype values = 0;
    for (const ModuleEntries &entries : unused) {
        names.append(entries.name);
        values += entries.valueCount();
    }
    findings.append(finding(
        "unused-modules", Severity::Note,
        HealthText::tr("%n modules have saved data but are not in the module list", nullptr,
                       int(unused.size())),
        HealthText::tr("%1 (%n values in all). Uninstalled, renamed or replaced modules leave "
                       "their data behind.",
                       nullptr, int(values))
            .arg(names.join(QLatin1String(", "))),
        {}, FindingAction::OpenUnusedModules));
}

void checkSecuritySwitches(const XsdtDocument &document, QList<Finding> &findings)
{
    static const char *const keys[] = {
        "AllowInsecureRepositories",
        "AllowUnsignedModuleInstallation",
        "AllowUnsignedRepositories",
        "AllowUnsignedScriptExecution",
    };
    QList<XsdtNode *> on;
    QStringList labels;
    for (const char *key : keys) {
        const QString path = QStringLiteral("Global/Preferences/Security/") + QLatin1String(key);
        XsdtNode *node = document.findPath(path);
        if (!node || !node->isValue() || node->isDeleted() || node->value != QLatin1String("true"))
            continue;
        on.append(node);
        labels.append(labelFromIdentifier(node->key).toLower());
    }
    if (on.isEmpty())
        return;
    findings.append(finding(
        "unsigned-allowed", Severity::Note,
        HealthText::tr("PixInsight is set to allow unsigned or insecure content"),
        HealthText::tr("Turned on: %1. That is a choice, not an error; it just lowers PixInsight's "
                       "protection.")
            .arg(labels.join(QLatin1String("; "))),
        on));
}

void collectUnwritable(XsdtNode *node, QList<XsdtNode *> &holders, UnwritableCharacter &first,
                       const std::atomic_bool *cancelled)
{
    if (cancelled && cancelled->load(std::memory_order_relaxed))
        return;
    for (const auto &child : node->children) {
        if (child->pendingDelete)
            continue;
        if (child->isGroup()) {
            collectUnwritable(child.get(), holders, first, cancelled);
            continue;
        }
        if (!child->compression().isEmpty())
            continue;
        const UnwritableCharacter bad = findUnwritableCharacter(child->value.toString());
        if (bad.position == 0)
            continue;
        if (holders.isEmpty())
            first = bad;
        holders.append(child.get());
    }
}

// Values anywhere in the file, not only below "Global": any one of them makes the whole file
// unreadable to a conforming XML reader.
void checkUnwritableCharacters(const XsdtDocument &document, QList<Finding> &findings,
                               const std::atomic_bool *cancelled)
{
    QList<XsdtNode *> holders;
    UnwritableCharacter first;
    collectUnwritable(const_cast<XsdtNode *>(&document.root), holders, first, cancelled);
    if (holders.isEmpty())
        return;
    findings.append(finding(
        "unwritable-character", Severity::Warning,
        HealthText::tr("%n values hold characters that XML does not allow", nullptr,
                       int(holders.size())),
        HealthText::tr("The first is %1 at position %2 of %3. Programs that read the file as XML "
                       "refuse it because of them; edit or delete these values.")
            .arg(characterCode(first.code))
            .arg(first.position)
            .arg(shortenedPath(holders.first()->path())),
        holders));
}

} // namespace

QList<Finding> runHealthCheck(const XsdtDocument &document, const Schema &schema,
                              const HealthEnv &env, const std::atomic_bool *cancelled)
{
    const auto stopped = [cancelled] { return cancelled && cancelled->load(); };
    QList<Finding> findings;
    const QList<XsdtNode *> values = liveGlobalValues(document);
    qsizetype visited = 0;
    for (XsdtNode *node : values) {
        // Each value may ask the file system: asked often enough to stop within milliseconds.
        if ((++visited & 63) == 0 && stopped())
            return {};
        if (node->isEditable())
            checkValue(node, schema.info(node), env, findings);
    }
    checkProcessors(document, env, findings);
    // The bin folder is only ever recorded below "Global", so these values are all it needs.
    checkModuleFiles(document, values, env, findings, cancelled);
    if (stopped())
        return {};
    // The walks of the whole tree below take hundreds of milliseconds each on a large file,
    // which an edit would have to wait for: they stop as soon as they are told.
    findDuplicateKeys(&document.root, findings, cancelled);
    if (stopped())
        return {};
    checkUnusedModules(document, findings, cancelled);
    checkSecuritySwitches(document, findings);
    if (stopped())
        return {};
    checkUnwritableCharacters(document, findings, cancelled);
    if (stopped())
        return {};
    if (const XsdtDocument::InvalidUtf8 &bad = document.invalidUtf8; bad.count > 0) {
        XsdtNode *node = bad.path.isEmpty() ? nullptr : document.findPath(bad.path);
        findings.append(finding(
            "invalid-utf8", Severity::Warning,
            HealthText::tr("%n byte sequences in the file are not valid UTF-8", nullptr, bad.count),
            HealthText::tr("The first is at line %1, column %2%3. They are shown as \uFFFD, and "
                           "saving writes them that way; the backup made by the save keeps the "
                           "original bytes.")
                .arg(bad.line)
                .arg(bad.column)
                .arg(bad.path.isEmpty() ? QString() : HealthText::tr(", in %1").arg(bad.path)),
            node ? QList<XsdtNode *>{node} : QList<XsdtNode *>{}));
    }

    std::stable_sort(findings.begin(), findings.end(), [](const Finding &a, const Finding &b) {
        return int(a.severity) > int(b.severity);
    });
    return findings;
}

void findDuplicateKeys(const XsdtNode *node, QList<Finding> &findings,
                       const std::atomic_bool *cancelled)
{
    if (!node)
        return;
    // Depth first, each node's own duplicates before those of its children, without recursion.
    std::vector<const XsdtNode *> stack{node};
    std::vector<KeyedChild> scratch;
    while (!stack.empty() && !(cancelled && cancelled->load(std::memory_order_relaxed))) {
        const XsdtNode *current = stack.back();
        stack.pop_back();
        duplicatesAmongChildren(current, scratch, findings, cancelled);
        for (auto it = current->children.rbegin(); it != current->children.rend(); ++it) {
            if ((*it)->isGroup() && !(*it)->pendingDelete)
                stack.push_back(it->get());
        }
    }
}

QString severityName(Severity severity)
{
    switch (severity) {
    case Severity::Note:
        return HealthText::tr("Note");
    case Severity::Warning:
        return HealthText::tr("Warning");
    case Severity::Problem:
        return HealthText::tr("Problem");
    }
    return QString();
}

QString findingKindName(const QString &id)
{
    static const struct
    {
        const char *id;
        const char *name;
    } kinds[] = {
        {"out-of-range", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Numbers outside their range")},
        {"path-missing", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Missing files and folders")},
        {"unknown-option", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Unknown options")},
        {"too-many-processors",
         QT_TRANSLATE_NOOP("vrn::HealthCheck", "More threads than processors")},
        {"module-registered-twice",
         QT_TRANSLATE_NOOP("vrn::HealthCheck", "Modules registered twice")},
        {"module-file-missing", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Missing module files")},
        {"modules-unchecked", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Module files not checked")},
        {"duplicate-key", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Keys that appear twice")},
        {"unused-modules", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Data of unused modules")},
        {"unsigned-allowed", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Unsigned content allowed")},
        {"unwritable-character",
         QT_TRANSLATE_NOOP("vrn::HealthCheck", "Characters XML does not allow")},
        {"invalid-utf8", QT_TRANSLATE_NOOP("vrn::HealthCheck", "Bytes that are not UTF-8")},
    };
    for (const auto &kind : kinds) {
        if (id == QLatin1String(kind.id))
            return HealthText::tr(kind.name);
    }
    return id;
}

} // namespace vrn
