#include "privileged/elevation.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>

namespace vrn {

namespace {

class ElevationText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::Elevation)
};

ElevationTools &tools()
{
    static ElevationTools seam;
    return seam;
}

QString pkexecPath()
{
    return tools().pkexec.isEmpty() ? QStringLiteral("/usr/bin/pkexec") : tools().pkexec;
}

QString sudoPath()
{
    return tools().sudo.isEmpty() ? QStringLiteral("/usr/bin/sudo") : tools().sudo;
}

ElevatedResult failed(const QString &message)
{
    ElevatedResult result;
    result.status = ElevatedResult::Failed;
    result.message = message;
    return result;
}

} // namespace

void setElevationTools(const ElevationTools &seam)
{
    tools() = seam;
}

ElevationTool elevationTool()
{
    if (QFileInfo::exists(pkexecPath()))
        return ElevationTool::Pkexec;
    if (QFileInfo::exists(sudoPath()))
        return ElevationTool::Sudo;
    return ElevationTool::None;
}

bool elevationAvailable()
{
    return elevationTool() != ElevationTool::None;
}

ElevatedResult runElevated(const QStringList &helperArguments)
{
    const QString program =
        tools().program.isEmpty() ? QCoreApplication::applicationFilePath() : tools().program;
    QString tool;
    QStringList arguments;
    const ElevationTool which = elevationTool();
    if (which == ElevationTool::Pkexec) {
        tool = pkexecPath();
    } else if (which == ElevationTool::Sudo) {
        tool = sudoPath();
        // Never prompt: there is no terminal to answer on.
        arguments.append(QStringLiteral("-n"));
    } else {
        ElevatedResult result;
        result.status = ElevatedResult::Unavailable;
        result.message = ElevationText::tr("no authorisation tool (pkexec or sudo) is installed");
        return result;
    }
    arguments.append(program);
    arguments.append(helperArguments);

    QProcess process;
    process.setProgram(tool);
    process.setArguments(arguments);
    // Nothing but the exit code crosses back; no input either, so nothing can wait for a
    // password on our behalf.
    process.setStandardInputFile(QProcess::nullDevice());
    process.setStandardOutputFile(QProcess::nullDevice());
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start();
    const int startMs = tools().startTimeoutMs > 0 ? tools().startTimeoutMs : 5000;
    const int finishMs = tools().finishTimeoutMs > 0 ? tools().finishTimeoutMs : 120000;
    if (!process.waitForStarted(startMs)) {
        process.kill();
        process.waitForFinished(1000);
        return failed(ElevationText::tr("%1 could not be started").arg(tool));
    }
    if (!process.waitForFinished(finishMs)) {
        process.kill();
        process.waitForFinished(1000);
        return failed(ElevationText::tr("the helper did not finish in two minutes"));
    }
    // A helper killed by a signal has no exit code to speak of; taking the number Qt reports
    // could read as success.
    if (process.exitStatus() != QProcess::NormalExit)
        return failed(ElevationText::tr("the helper stopped unexpectedly"));

    const int code = process.exitCode();
    if (tool.endsWith(QLatin1String("pkexec"))) {
        if (code == 126) {
            ElevatedResult result;
            result.status = ElevatedResult::Denied;
            return result;
        }
        if (code == 127)
            return failed(ElevationText::tr("pkexec could not run the helper"));
    } else if (code == 1) {
        return failed(ElevationText::tr("sudo needs a password and cannot ask for one here; "
                                        "install polkit to be asked for it"));
    }
    ElevatedResult result;
    result.status = ElevatedResult::Ran;
    result.exitCode = code;
    return result;
}

bool canWriteBeside(const QString &path)
{
    const QString folder = QFileInfo(path).absolutePath();
    QFile probe(folder + QStringLiteral("/.vrne-write-test-") +
                QString::number(QCoreApplication::applicationPid()));
    // NewOnly: never through a link or over a file someone else left there.
    if (!probe.open(QIODevice::WriteOnly | QIODevice::NewOnly))
        return false;
    probe.close();
    probe.remove();
    return true;
}

} // namespace vrn
