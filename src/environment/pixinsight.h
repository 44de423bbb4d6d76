#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

struct XsdtNode;

// Facts about a computer that the analyses need, so they can run against a made-up one too.
struct HealthEnv
{
    std::function<bool(const QString &path)> exists; // empty: nothing is reported missing
    int logicalProcessors = 0;                       // 0 or less: processor check off
    bool windowsPaths = false;
    QString binDir;
    QStringList installCandidates;

    static HealthEnv system();
};

// Ids of the processes named exactly "PixInsight"; empty when none runs or the query failed.
QList<qint64> runningPixInsightPids();
bool isPixInsightRunning();

// Test seam for the process query: the real one runs `pgrep -x PixInsight`. An empty function
// restores it.
using ProcessQuery = std::function<QList<qint64>()>;
void setPixInsightProcessQuery(ProcessQuery query);

// Runs a program that prints one process id per line and waits at most timeoutMs for it;
// empty when it cannot start or does not finish in time.
QList<qint64> queryProcessIds(const QString &program, const QStringList &arguments, int timeoutMs);
QList<qint64> parseProcessIds(const QByteArray &output);

bool looksAbsolute(const QString &path, bool windowsPaths);

struct BinDirSearch
{
    QString binDir;       // empty when not found
    QStringList lookedIn; // installation folders tried, in order
};
BinDirSearch locateBinDir(const QList<XsdtNode *> &valueNodes, const HealthEnv &env);

// "@pxi_bin_dir/x" names x in the bin folder; anything else is a path already.
QString resolveRegistryPath(const QString &value, const QString &binDir);

} // namespace vrn
