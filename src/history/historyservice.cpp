#include "history/historyservice.h"

#include "store/files.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QStandardPaths>

#include <fcntl.h>
#include <unistd.h>

namespace vrn {

namespace {

const char *const kUnit = "varnel-history.service";
const char *const kEntry = "varnel-history.desktop";

bool runProgram(const QString &program, const QStringList &arguments, bool detached, QString *error)
{
    if (detached) {
        if (QProcess::startDetached(program, arguments))
            return true;
        *error = HistoryService::tr("%1 could not be started.").arg(program);
        return false;
    }
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(15000) || process.exitStatus() != QProcess::NormalExit ||
        process.exitCode() != 0) {
        const QString output = QString::fromLocal8Bit(process.readAllStandardError()).trimmed();
        *error = output.isEmpty() ? process.errorString() : output;
        return false;
    }
    return true;
}

HistoryService::Runner &runner()
{
    static HistoryService::Runner run;
    return run;
}

} // namespace

HistoryService::Places HistoryService::places()
{
    const QString programDir = QCoreApplication::applicationDirPath();
    return {programDir, QDir::cleanPath(programDir + QLatin1String("/../share/varnel")),
            qEnvironmentVariable("XDG_RUNTIME_DIR"),
            QStandardPaths::writableLocation(QStandardPaths::GenericConfigLocation)};
}

void HistoryService::setRunner(Runner run)
{
    runner() = std::move(run);
}

bool HistoryService::apply(bool on, const Places &places, QString *error)
{
    QString reason;
    auto run = [&](const QString &program, const QStringList &arguments, bool detached) {
        return runner() ? runner()(program, arguments, detached, &reason)
                        : runProgram(program, arguments, detached, &reason);
    };
    auto fail = [&](const QString &message) {
        if (error && error->isEmpty())
            *error = message;
        return false;
    };
    const QString varnelctl = places.programDir + QLatin1String("/varnelctl");
    if (!QFileInfo(varnelctl).isExecutable())
        return fail(tr("varnelctl, which keeps the history while Varnel is closed, is not "
                       "installed beside it in %1.")
                        .arg(QDir::toNativeSeparators(places.programDir)));
    const QString autostart = places.configDir + QLatin1String("/autostart");
    if (!on) {
        // Only the entry's own name in that folder, looked up through the folder itself.
        const int dir = ::open(QFile::encodeName(autostart).constData(),
                               O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
        if (dir >= 0) {
            ::unlinkat(dir, kEntry, 0);
            ::close(dir);
        }
    }
    // systemctl --user reaches the user's manager through this socket.
    if (!places.runtimeDir.isEmpty() &&
        QFileInfo::exists(places.runtimeDir + QLatin1String("/systemd/private"))) {
        if (run(QStringLiteral("systemctl"),
                {QStringLiteral("--user"),
                 on ? QStringLiteral("enable") : QStringLiteral("disable"), QStringLiteral("--now"),
                 QLatin1String(kUnit)},
                false))
            return true;
        return fail(
            (on ? tr("systemctl could not start %1: %2") : tr("systemctl could not stop %1: %2"))
                .arg(QLatin1String(kUnit), reason));
    }
    // The watcher that runs stops by itself once the preference says so.
    if (!on)
        return true;
    QByteArray entry;
    QString readError;
    if (!readFile(places.dataDir + QLatin1Char('/') + QLatin1String(kEntry), entry, &readError))
        return fail(readError);
    if (!QDir().mkpath(autostart) ||
        !writeFileVerified(autostart + QLatin1Char('/') + QLatin1String(kEntry), entry, &reason))
        return fail(reason.isEmpty()
                        ? tr("Cannot make the folder %1.").arg(QDir::toNativeSeparators(autostart))
                        : reason);
    // A watcher that runs already makes this one stop at once.
    if (!run(varnelctl, {QStringLiteral("watch")}, true))
        return fail(reason);
    return true;
}

} // namespace vrn
