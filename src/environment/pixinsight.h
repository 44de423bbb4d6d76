#pragma once

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

class XsdtDocument;
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

// The answer of the running check. When the processes cannot be listed nobody can tell, and
// everything that writes PixInsight's files treats that answer as "may be running".
struct PixInsightCheck
{
    bool known = true;
    QList<qint64> pids; // processes named exactly "PixInsight"
    QString reason;     // why the check could not be made

    PixInsightCheck() = default;
    // A plain list is an answer that was made, so fakes can hand one back.
    PixInsightCheck(QList<qint64> ids)
        : pids(std::move(ids))
    {}
    static PixInsightCheck failed(const QString &why);
    bool mayBeRunning() const { return !known || !pids.isEmpty(); }
};

// Looks for PixInsight among the running processes.
PixInsightCheck checkPixInsight();
// Ids of the processes named exactly "PixInsight"; empty when none runs or the check failed.
QList<qint64> runningPixInsightPids();
// True when PixInsight runs or when that cannot be found out.
bool isPixInsightRunning();

// Test seam for the check: the real one reads the process names under /proc. An empty
// function restores it.
using ProcessQuery = std::function<PixInsightCheck()>;
void setPixInsightProcessQuery(ProcessQuery query);

// The processes under a proc file system root whose name (the comm entry, what `pgrep -x`
// matches) is exactly `name`; not known when the root cannot be listed or does not show this
// program itself.
PixInsightCheck processesNamed(const QString &procRoot, const QByteArray &name);

bool looksAbsolute(const QString &path, bool windowsPaths);

struct BinDirSearch
{
    QString binDir;       // empty when not found
    QStringList lookedIn; // installation folders tried, in order
};
BinDirSearch locateBinDir(const QList<XsdtNode *> &valueNodes, const HealthEnv &env);

// "@pxi_bin_dir/x" names x in the bin folder; anything else is a path already.
QString resolveRegistryPath(const QString &value, const QString &binDir);

// The PixInsight version the settings file says last wrote it, as "product [last version]" with
// whichever of the two it records; empty when it records neither.
QString recordedPixInsightVersion(const XsdtDocument &document);

} // namespace vrn
