#include "privileged/installedupdateshelper.h"

#include "environment/pixinsight.h"
#include "privileged/elevation.h"

#include <QCoreApplication>
#include <QDir>

#include <cstdio>

namespace vrn {

namespace {

struct Texts
{
    Q_DECLARE_TR_FUNCTIONS(vrn::InstalledUpdates)
};

const char kSwitch[] = "--installed-updates-helper";
const char kRemove[] = "remove";
const char kRestore[] = "restore";

RecordChangeResult failure(const QString &message, int code = RecordChangeResult::Failed)
{
    RecordChangeResult result;
    result.code = code;
    result.message = message;
    return result;
}

RecordChangeResult changeHere(const QString &path, const QString &verb, const QStringList &names)
{
    if (verb == QLatin1String(kRemove))
        return removeRecords(path, names, true);
    if (verb == QLatin1String(kRestore))
        return restoreNewestBackup(path, true);
    return failure(QString(), RecordChangeResult::NothingNamed);
}

} // namespace

int installedUpdatesHelper(const QStringList &arguments)
{
    // Nobody reads this, but whoever runs the helper by hand sees why it stopped.
    auto refuse = [](int code, const QString &why) {
        std::fprintf(stderr, "%s\n", qPrintable(why));
        return code;
    };
    const QString usage = Texts::tr("The command line was not understood; nothing was changed. "
                                    "Use: --installed-updates-helper remove FILENAME... or "
                                    "--installed-updates-helper restore");
    if (arguments.size() < 2 || arguments.constFirst() != QLatin1String(kSwitch))
        return refuse(RecordChangeResult::NothingNamed, usage);
    // Never a path from the command line: the helper finds the file where PixInsight lives.
    const QString path = findRecordFile();
    if (path.isEmpty()) {
        QStringList tried;
        for (const QString &folder : HealthEnv::system().installCandidates)
            tried.append(QDir::toNativeSeparators(recordFilePath(folder)));
        return refuse(RecordChangeResult::NotFound,
                      Texts::tr("PixInsight's record of installed updates was not found (looked "
                                "for %1); nothing was changed.")
                          .arg(tried.join(QStringLiteral(", "))));
    }
    const QString verb = arguments.at(1);
    // Anything more than asked for may be a mistyped command; better refused than guessed at.
    if ((verb != QLatin1String(kRemove) && verb != QLatin1String(kRestore)) ||
        (verb == QLatin1String(kRestore) && arguments.size() > 2))
        return refuse(RecordChangeResult::NothingNamed, usage);
    const RecordChangeResult result = changeHere(path, verb, arguments.mid(2));
    if (!result.message.isEmpty())
        refuse(result.code, result.message);
    return result.code;
}

RecordChangeResult changeRecordFile(const QString &path, const QString &verb,
                                    const QStringList &names, bool *denied)
{
    if (denied)
        *denied = false;
    if (canWriteBeside(path))
        return changeHere(path, verb, names);
    if (!elevationAvailable())
        return failure(Texts::tr("Changing this file needs administrator rights, which cannot "
                                 "be requested on this system yet."));

    const ElevatedResult run = runElevated(QStringList{QLatin1String(kSwitch), verb} + names);
    switch (run.status) {
    case ElevatedResult::Denied:
        if (denied)
            *denied = true;
        return failure(Texts::tr("Cancelled: administrator permission was not given, so "
                                 "nothing was changed."));
    case ElevatedResult::Unavailable:
    case ElevatedResult::Failed:
        return failure(Texts::tr("The elevated helper could not run (%1).").arg(run.message));
    case ElevatedResult::Ran:
        break;
    }
    switch (run.exitCode) {
    case RecordChangeResult::Done: {
        RecordChangeResult result;
        result.count = int(names.size());
        result.backupPath = listRecordBackups(path).value(0);
        return result;
    }
    case RecordChangeResult::Running:
        return failure(Texts::tr("PixInsight is running. Close it first."), run.exitCode);
    case RecordChangeResult::NotFound:
        return failure(Texts::tr("The record file (or a backup to restore) was not found."),
                       run.exitCode);
    case RecordChangeResult::Refused:
        return failure(
            Texts::tr("The change was refused: a package was missing or is not a module."),
            run.exitCode);
    default:
        return failure(Texts::tr("The change failed (code %1). The file was left as it was, or "
                                 "the backup was put back.")
                           .arg(run.exitCode),
                       run.exitCode);
    }
}

} // namespace vrn
