// The commands of varnelctl that write: the settings file or its backups.
#include "cli/ctl.h"

#include "document/values.h"
#include "document/xsdtdocument.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"
#include "knowledge/paths.h"
#include "knowledge/setupfile.h"
#include "knowledge/valuecheck.h"
#include "store/documentmanager.h"

#include <QCommandLineParser>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QTextStream>

namespace vrn {

int Ctl::set(const QStringList &assignments)
{
    for (const QString &assignment : assignments) {
        if (assignment.indexOf(QLatin1Char('=')) <= 0)
            return usage(tr("'%1' is not of the form PATH=VALUE.").arg(assignment));
    }
    loadKnowledge();
    DocumentManager docs;
    if (const int code = openDocument(docs, chosenFile()))
        return code;
    SettingsStore &store = docs.store();
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
    return save(docs, {}, {});
}

int Ctl::remove(const QStringList &paths)
{
    loadKnowledge();
    DocumentManager docs;
    if (const int code = openDocument(docs, chosenFile()))
        return code;
    SettingsStore &store = docs.store();
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
        lines.append(escaped(node->path()) + QLatin1Char('\t') + QString::number(count));
    }
    return save(docs, lines, {{QStringLiteral("deleted"), array}});
}

int Ctl::restore(const QStringList &arguments)
{
    const QString &backup = arguments.constFirst();
    const QString file = chosenFile();
    if (file.isEmpty())
        return noFile(file);
    if (const int code = checkMemory(file))
        return code;
    DocumentManager docs;
    docs.setDeletionGuard(m_policy.deletionGuard());
    recordSaves(docs.store());
    // A file that is missing or does not parse is exactly what a backup is for, as in the window:
    // the store keeps a broken file as a backup before replacing it.
    QString loadError;
    docs.load(file, &loadError);
    const QString target = docs.currentFile();
    if (target.isEmpty())
        return fail(ExitNotFound, QString(), QString(), loadError);
    // Only the file's own backups: the window offers nothing else, and a slip of the tab key
    // must not put some other file in place of the settings.
    const QStringList before = listBackups(target);
    const QString wanted = QFileInfo(backup).absoluteFilePath();
    QString chosen;
    for (const QString &candidate : before) {
        if (QFileInfo(candidate).fileName() == backup || candidate == wanted)
            chosen = candidate;
    }
    if (chosen.isEmpty())
        return fail(
            ExitNotFound, target, QString(),
            tr("%1 is not one of this file's backups (varnelctl backups lists them).").arg(backup));
    QString error;
    prepareReplace(docs.store());
    if (!docs.restoreBackup(chosen, &error)) {
        QByteArray bytes;
        XsdtDocument scratch;
        int code = refusalCode(docs.store());
        if (code == ExitWriteFailed && (!readFile(chosen, bytes) || !scratch.parse(bytes)))
            code = ExitRefused;
        return fail(code, target, QString(), refusal(docs.store(), error));
    }
    QString saved;
    for (const QString &path : listBackups(target)) {
        if (!before.contains(path))
            saved = QFileInfo(path).fileName();
    }
    print({{QStringLiteral("file"), target},
           {QStringLiteral("restored"), QFileInfo(chosen).fileName()},
           {QStringLiteral("backup"), saved.isEmpty() ? QJsonValue() : QJsonValue(saved)}},
          {});
    note(tr("Restored %1").arg(QFileInfo(chosen).fileName()));
    if (!saved.isEmpty())
        note(tr("The replaced file was backed up as %1.").arg(saved));
    return ExitDone;
}

int Ctl::prune(const QStringList &)
{
    const QString keepText = m_parser->value(QStringLiteral("keep"));
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
        lines.append(escaped(QFileInfo(path).fileName()));
    }
    const bool permanently = m_parser->isSet(QStringLiteral("permanently"));
    QJsonObject json{{QStringLiteral("file"), file},
                     {QStringLiteral("dryRun"), m_dryRun},
                     {QStringLiteral("removed"), names},
                     {QStringLiteral("movedToTrash"), false},
                     {QStringLiteral("trash"), QJsonValue()}};
    if (old.paths.isEmpty()) {
        print(json, lines);
        note(tr("No backups to remove."));
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
        print(json, lines);
        note(permanently ? tr("Dry run: nothing was deleted.") : tr("Dry run: nothing was moved."));
        return ExitDone;
    }
    const BackupRemoval removal = removeBackups(file, old.paths, !permanently);
    lines.clear();
    names = QJsonArray();
    for (const QString &path : old.paths) {
        if (!removal.failedPaths.contains(path)) {
            names.append(QFileInfo(path).fileName());
            lines.append(escaped(QFileInfo(path).fileName()));
        }
    }
    json.insert(QStringLiteral("removed"), names);
    json.insert(QStringLiteral("movedToTrash"), removal.movedToTrash);
    json.insert(QStringLiteral("trash"),
                removal.trashFolder.isEmpty() ? QJsonValue() : QJsonValue(removal.trashFolder));
    print(json, lines);
    const QString kib = QString::number(removal.bytesFreed / 1024);
    if (removal.movedToTrash)
        // Said with the folder: on another file system it is not the desktop's trash, and the
        // space stays taken there until that folder is emptied.
        note(tr("Backups moved to the trash folder %1: %n (%2 KiB).", nullptr, removal.removed)
                 .arg(native(removal.trashFolder), kib));
    else if (removal.removed > 0)
        note(tr("Backups deleted for good: %n (%1 KiB).", nullptr, removal.removed).arg(kib));
    int code = ExitDone;
    for (const QString &path : removal.failedPaths)
        code = fail(
            ExitWriteFailed, path, QString(),
            removal.trashProblem.isEmpty()
                ? tr("Could not remove this backup.")
                : tr("Could not move this backup to the trash: %1.").arg(removal.trashProblem));
    return code;
}

int Ctl::importValues(const QStringList &arguments)
{
    const QString &file = arguments.constFirst();
    QList<PathMap> maps;
    QString error;
    if (!parsePathMaps(m_parser->values(QStringLiteral("map")), HealthEnv::system().windowsPaths,
                       &maps, &error))
        return usage(tr("--map: %1").arg(error));
    loadKnowledge();
    QByteArray bytes;
    if (!readFile(QFileInfo(file).absoluteFilePath(), bytes, &error))
        return fail(ExitNotFound, QString(), QString(), error);
    SetupFile setup;
    if (!readSetupFile(std::move(bytes), &setup, &error))
        return fail(ExitRefused, file, QString(), error);
    DocumentManager docs;
    if (const int code = openDocument(docs, chosenFile()))
        return code;
    SettingsStore &store = docs.store();
    ImportPlan plan =
        planImport(store.document, setup, maps, HealthEnv::system().windowsPaths, m_schema,
                   &m_policy, store.path, m_parser->isSet(QStringLiteral("add-missing")));
    for (const ImportChange &change : std::as_const(plan.changes))
        change.node->value = change.value;
    // Checked one by one against the file as it was; creating one may still stand in the way
    // of the next (a value where another needs a group).
    for (const NewValue &added : std::as_const(plan.additions)) {
        Placement placement;
        QString why;
        if (placeNewValue(store.document.root, added, &placement, &why))
            insertPlacement(placement);
        else
            plan.problems.append({added.keys.join(QLatin1Char('/')), why});
    }
    // Every problem is named, so one run shows all that needs fixing.
    for (const ImportProblem &problem : std::as_const(plan.problems))
        say(file, problem.path, problem.message);
    if (!plan.problems.isEmpty())
        return fail(ExitRefused, file, QString(),
                    tr("%n problems; nothing was imported.", nullptr, int(plan.problems.size())));
    return save(docs, {}, {});
}

int Ctl::replacePaths(const QStringList &mappings)
{
    const HealthEnv env = HealthEnv::system();
    QList<PathMap> maps;
    QString error;
    if (!parsePathMaps(mappings, env.windowsPaths, &maps, &error))
        return usage(tr("--replace: %1").arg(error));
    loadKnowledge();
    DocumentManager docs;
    if (const int code = openDocument(docs, chosenFile()))
        return code;
    SettingsStore &store = docs.store();
    const ValueCheck check = [this](const XsdtNode *node, const QString &text,
                                    QString *normalized) {
        QString why;
        if (checkNewValue(node, text, m_schema, &m_policy, normalized, &why))
            return QString();
        return why.isEmpty() ? tr("The value was not accepted.") : why;
    };
    QList<PathReplacement> plan;
    if (!planPrefixReplacement(store.document, maps, env, &plan, &error, check))
        return fail(ExitRefused, store.path, QString(), error);
    // What may change does; each value that may not is named with its own reason.
    int refused = 0;
    int changed = 0;
    const XsdtNode *last = nullptr;
    for (const PathReplacement &change : std::as_const(plan)) {
        const bool first = change.node != last; // the paths of a value follow each other
        last = change.node;
        if (!change.refusal.isEmpty()) {
            if (first) {
                say(store.path, change.node->path(), change.refusal);
                ++refused;
            }
            continue;
        }
        if (first) {
            change.node->value = change.valueAfter;
            ++changed;
        }
        if (!change.newPathExists)
            warn(store.path, tr("%1: %2 is not on this computer.")
                                 .arg(change.node->path(), native(change.after)));
    }
    if (changed == 0 && refused > 0)
        return fail(
            ExitRefused, store.path, QString(),
            tr("None of the %n values may be changed; nothing was written.", nullptr, refused));
    return save(docs, {}, {});
}

} // namespace vrn
