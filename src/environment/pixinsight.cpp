#include "environment/pixinsight.h"

#include "document/xsdtnode.h"

#include <QDir>
#include <QFileInfo>
#include <QProcess>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>

namespace vrn {

namespace {

ProcessQuery &processQuery()
{
    static ProcessQuery query;
    return query;
}

QString withSlashes(QString path)
{
    return path.replace(QLatin1Char('\\'), QLatin1Char('/'));
}

} // namespace

HealthEnv HealthEnv::system()
{
    HealthEnv env;
    env.exists = [](const QString &path) { return QFileInfo::exists(path); };
    env.logicalProcessors = QThread::idealThreadCount();
    env.windowsPaths = false;
    const QString home = QDir::homePath();
    env.installCandidates.append(QStringLiteral("/opt/PixInsight"));
    if (!home.isEmpty()) {
        const QString candidate = home + QStringLiteral("/PixInsight");
        if (!env.installCandidates.contains(candidate))
            env.installCandidates.append(candidate);
    }
    return env;
}

QList<qint64> parseProcessIds(const QByteArray &output)
{
    QList<qint64> ids;
    for (const QByteArray &line : output.split('\n')) {
        bool ok = false;
        const qint64 id = line.trimmed().toLongLong(&ok, 10);
        if (ok)
            ids.append(id);
    }
    return ids;
}

QList<qint64> queryProcessIds(const QString &program, const QStringList &arguments, int timeoutMs)
{
    QProcess process;
    process.setProgram(program);
    process.setArguments(arguments);
    process.setStandardErrorFile(QProcess::nullDevice());
    process.start(QIODevice::ReadOnly);
    if (!process.waitForStarted(timeoutMs))
        return {};
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished(1000);
        return {};
    }
    return parseProcessIds(process.readAllStandardOutput());
}

void setPixInsightProcessQuery(ProcessQuery query)
{
    processQuery() = std::move(query);
}

QList<qint64> runningPixInsightPids()
{
    if (processQuery())
        return processQuery()();
    return queryProcessIds(QStringLiteral("pgrep"),
                           {QStringLiteral("-x"), QStringLiteral("PixInsight")}, 3000);
}

bool isPixInsightRunning()
{
    return !runningPixInsightPids().isEmpty();
}

bool looksAbsolute(const QString &path, bool windowsPaths)
{
    if (windowsPaths) {
        static const QRegularExpression drive(QStringLiteral(R"(^[A-Za-z]:[\\/])"));
        if (drive.match(path).hasMatch() || path.startsWith(QLatin1String("\\\\")) ||
            path.startsWith(QLatin1String("//")))
            return true;
    }
    return path.startsWith(QLatin1Char('/')) || path.startsWith(QLatin1Char('~'));
}

BinDirSearch locateBinDir(const QList<XsdtNode *> &valueNodes, const HealthEnv &env)
{
    BinDirSearch result;
    if (!env.binDir.isEmpty()) {
        const QString dir = withSlashes(env.binDir);
        result.lookedIn.append(dir);
        if (!env.exists || env.exists(env.binDir))
            result.binDir = dir;
    }
    if (!result.binDir.isEmpty())
        return result;

    static const QRegularExpression installPattern(
        QStringLiteral(
            R"(^(.*[/\\]PixInsight)[/\\](?:bin|rsc|color|library|etc|doc|include|lib|src)[/\\])"),
        QRegularExpression::CaseInsensitiveOption);
    static const QRegularExpression rscPattern(QStringLiteral(R"(^(.+)[/\\]rsc[/\\])"));
    QStringList recorded;
    for (const XsdtNode *node : valueNodes) {
        if (!node || node->kind != XsdtNode::Value || node->type != QLatin1Char('s'))
            continue;
        const QString &value = node->value;
        if (value.size() > 400 || !looksAbsolute(value, env.windowsPaths) ||
            value.startsWith(QLatin1Char('@')))
            continue;
        const QString path = node->path();
        if (!path.startsWith(QLatin1String("Global/Preferences/")) &&
            !path.startsWith(QLatin1String("Global/ColorManagement/")) &&
            !path.startsWith(QLatin1String("Global/FavoriteProcesses/")))
            continue;
        QRegularExpressionMatch match = installPattern.match(value);
        if (!match.hasMatch() && path.startsWith(QLatin1String("Global/Preferences/Application/")))
            match = rscPattern.match(value);
        if (match.hasMatch()) {
            const QString folder = withSlashes(match.captured(1));
            if (!recorded.contains(folder))
                recorded.append(folder);
        }
    }
    std::sort(recorded.begin(), recorded.end());

    QStringList candidates = recorded;
    for (const QString &candidate : env.installCandidates)
        candidates.append(withSlashes(candidate));
    for (const QString &folder : std::as_const(candidates)) {
        if (!result.lookedIn.contains(folder))
            result.lookedIn.append(folder);
        const QString bin = folder + QStringLiteral("/bin");
        if (!env.exists || env.exists(bin)) {
            result.binDir = bin;
            break;
        }
    }
    return result;
}

QString resolveRegistryPath(const QString &value, const QString &binDir)
{
    static const QLatin1String prefix("@pxi_bin_dir/");
    if (value.startsWith(prefix))
        return binDir + QLatin1Char('/') + value.mid(prefix.size());
    return value;
}

} // namespace vrn
