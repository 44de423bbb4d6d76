#pragma once

#include <QCoreApplication>
#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

// The watcher that keeps the history while the window is closed, switched on or off for this
// user: as the systemd user service varnel-history.service where systemd runs the user's
// services, otherwise through an entry in the user's autostart folder (started at once too; it
// stops by itself once the preference says so).
class HistoryService
{
    Q_DECLARE_TR_FUNCTIONS(vrn::HistoryService)

public:
    struct Places
    {
        QString programDir; // where varnelctl is installed, beside the program
        QString dataDir;    // the installation's data folder, which holds the autostart entry
        QString runtimeDir; // $XDG_RUNTIME_DIR: a user manager listens there
        QString configDir;  // $XDG_CONFIG_HOME: the autostart folder is there
    };
    // Those of this session, for a program installed beside varnelctl.
    static Places places();

    // Runs a program and waits for it, or only starts it (`detached`); false with the reason.
    using Runner = std::function<bool(const QString &program, const QStringList &arguments,
                                      bool detached, QString *error)>;
    // Test seam; an empty function restores the real one.
    static void setRunner(Runner runner);

    // Blocks while systemctl runs: not for the window's thread.
    static bool apply(bool on, const Places &places, QString *error = nullptr);
};

} // namespace vrn
