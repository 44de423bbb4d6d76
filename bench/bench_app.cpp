// The program as a user meets it: time from process start to the painted main window with a
// large settings file, and the cost of the environment poll that runs every three seconds on
// the GUI thread.
#include "benchutil.h"

#include "app/mainwindow.h"
#include "environment/discovery.h"
#include "environment/pixinsight.h"

#include <QDateTime>
#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>

#include <algorithm>
#include <cstdio>
#include <vector>

namespace vrn::bench {

namespace {

qint64 g_sink = 0;

// A home folder holding one PixInsight settings file of about the given size.
bool prepareHome(const QTemporaryDir &home, qint64 megabytes)
{
    const QString dir = home.path() + QStringLiteral("/.PixInsight");
    QDir().mkpath(dir);
    QFile file(dir + QStringLiteral("/core-1-pxi.settings"));
    const QByteArray &bytes = generatedFile(megabytes * 1000 * 1000);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size())
        return false;
    // Written an hour ago, as a settings file usually is: a file written within the last
    // seconds is hashed in full at every poll until its time stamp can be trusted.
    const QDateTime hourAgo = QDateTime::currentDateTime().addSecs(-3600);
    return file.setFileTime(hourAgo, QFileDevice::FileModificationTime) &&
           file.setFileTime(hourAgo, QFileDevice::FileAccessTime);
}

void startupAt(qint64 megabytes, int rounds)
{
    QTemporaryDir home;
    if (!prepareHome(home, megabytes))
        return;
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), home.path());
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), home.path() + QStringLiteral("/.config"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), home.path() + QStringLiteral("/.cache"));
    env.insert(QStringLiteral("VARNEL_REPORT_SHOWN"), QStringLiteral("1"));
    if (env.value(QStringLiteral("DISPLAY")).isEmpty() &&
        env.value(QStringLiteral("WAYLAND_DISPLAY")).isEmpty())
        env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));

    std::vector<double> ms;
    for (int i = 0; i < rounds + 1; ++i) {
        QProcess process;
        process.setProcessEnvironment(env);
        const qint64 started = QDateTime::currentMSecsSinceEpoch();
        process.start(QStringLiteral(VARNEL_PROGRAM), {});
        if (!process.waitForFinished(120000)) {
            process.kill();
            std::fprintf(stderr, "varnel did not finish\n");
            return;
        }
        const QByteArray out = process.readAllStandardOutput();
        const qsizetype at = out.indexOf("shown ");
        if (at < 0) {
            std::fprintf(stderr, "varnel did not report its window: %s\n",
                         process.readAllStandardError().constData());
            return;
        }
        const qint64 shown = out.mid(at + 6).trimmed().toLongLong();
        if (i > 0) // the first run warms the file cache
            ms.push_back(double(shown - started));
    }
    std::printf(
        "  start-up to painted window, %lld MB file: median %.0f ms, min %.0f ms (%d runs)\n",
        static_cast<long long>(megabytes), median(ms), *std::min_element(ms.begin(), ms.end()),
        rounds);
}

void pollAt(qint64 megabytes)
{
    QTemporaryDir home;
    if (!prepareHome(home, megabytes))
        return;
    const QByteArray savedHome = qgetenv("HOME");
    const QByteArray savedConfig = qgetenv("XDG_CONFIG_HOME");
    qputenv("HOME", home.path().toLocal8Bit());
    qputenv("XDG_CONFIG_HOME", (home.path() + QStringLiteral("/.config")).toLocal8Bit());
    {
        MainWindow window;
        Suite suite(
            QStringLiteral("Environment poll with a %1 MB file open (GUI thread, every 3 s)")
                .arg(megabytes));
        suite.add(QStringLiteral("MainWindow::pollEnvironment"), 0,
                  [&] { window.pollEnvironment(); });
        suite.add(QStringLiteral("  running check (/proc/*/comm)"), 0,
                  [&] { g_sink += runningPixInsightPids().size(); });
        suite.add(QStringLiteral("  SettingsStore::changedOnDisk"), 0,
                  [&] { g_sink += window.store().changedOnDisk(); });
        suite.add(QStringLiteral("  findSettingsFiles"), 0,
                  [&] { g_sink += findSettingsFiles().size(); });
        suite.add(QStringLiteral("  XsdtDocument::pendingChangeCount"), 0,
                  [&] { g_sink += window.store().document.pendingChangeCount(); });
        suite.add(QStringLiteral("  MainWindow::updateState"), 0, [&] { window.updateState(); });
        suite.run(options().quick ? 5 : 15);
        suite.print();
    }
    qputenv("HOME", savedHome);
    qputenv("XDG_CONFIG_HOME", savedConfig);
}

} // namespace

void benchApp()
{
    std::printf("\nThe program\n");
    const int rounds = options().quick ? 3 : 5;
    QList<qint64> sizes = options().sizes;
    if (sizes.isEmpty())
        sizes = options().quick ? QList<qint64>{10} : QList<qint64>{10, 50};
    for (qint64 mb : sizes)
        startupAt(mb, mb > 50 ? 3 : rounds);
    pollAt(sizes.constLast());
}

} // namespace vrn::bench
