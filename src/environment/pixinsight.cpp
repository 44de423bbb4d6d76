#include "environment/pixinsight.h"

#include "document/xsdtdocument.h"
#include "document/xsdtnode.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QRegularExpression>
#include <QThread>

#include <algorithm>
#include <cerrno>
#include <dirent.h>
#include <fcntl.h>
#include <unistd.h>

namespace vrn {

namespace {

struct ProcessMessages
{
    Q_DECLARE_TR_FUNCTIONS(vrn::PixInsight)
};

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

PixInsightCheck PixInsightCheck::failed(const QString &why)
{
    PixInsightCheck check;
    check.known = false;
    check.reason = why;
    return check;
}

PixInsightCheck processesNamed(const QString &procRoot, const QByteArray &name)
{
    const QByteArray root = QFile::encodeName(procRoot);
    DIR *dir = ::opendir(root.constData());
    if (!dir)
        return PixInsightCheck::failed(ProcessMessages::tr("Cannot list the running programs in "
                                                           "%1: %2")
                                           .arg(procRoot, qt_error_string(errno)));
    // A table that does not show this program itself (an empty folder mounted over it, or one
    // of another PID namespace) would not show PixInsight either.
    char self[32];
    const ssize_t selfSize = ::readlink(QByteArray(root + "/self").constData(), self, sizeof self);
    const qint64 own = selfSize > 0 ? QByteArray(self, selfSize).toLongLong() : 0;
    bool ownSeen = false;
    PixInsightCheck check;
    while (const dirent *entry = ::readdir(dir)) {
        bool ok = false;
        const qint64 pid = QByteArray(entry->d_name).toLongLong(&ok, 10);
        if (!ok || pid <= 0)
            continue;
        ownSeen = ownSeen || pid == own;
        // A process may end between the listing and this read; it is simply not there then.
        const QByteArray comm = root + '/' + entry->d_name + "/comm";
        const int fd = ::open(comm.constData(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            continue;
        char buffer[64];
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        ::close(fd);
        if (n <= 0)
            continue;
        QByteArray read(buffer, n);
        if (read.endsWith('\n'))
            read.chop(1);
        if (read == name)
            check.pids.append(pid);
    }
    ::closedir(dir);
    if (!ownSeen)
        return PixInsightCheck::failed(
            ProcessMessages::tr("%1 does not show this program itself (it is empty or hidden)")
                .arg(procRoot));
    std::sort(check.pids.begin(), check.pids.end());
    return check;
}

void setPixInsightProcessQuery(ProcessQuery query)
{
    processQuery() = std::move(query);
}

PixInsightCheck checkPixInsight()
{
    if (processQuery())
        return processQuery()();
    return processesNamed(QStringLiteral("/proc"), QByteArrayLiteral("PixInsight"));
}

QList<qint64> runningPixInsightPids()
{
    return checkPixInsight().pids;
}

bool isPixInsightRunning()
{
    return checkPixInsight().mayBeRunning();
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

QString recordedPixInsightVersion(const XsdtDocument &document)
{
    auto topValue = [&document](QStringView key) {
        const XsdtNode *node = document.root.childByKey(key);
        return node && node->isValue() ? node : nullptr;
    };
    const XsdtNode *product = topValue(u"PixInsight");
    const XsdtNode *last = topValue(u"LastVersion");
    if (!last || last->value.isEmpty())
        return product ? product->value.toString() : QString();
    if (!product)
        return last->value;
    return QStringLiteral("%1 [%2]").arg(product->value, last->value);
}

} // namespace vrn
