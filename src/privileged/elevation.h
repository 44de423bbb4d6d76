#pragma once

#include <QString>
#include <QStringList>

namespace vrn {

// What came of starting the helper through the authorisation tool.
struct ElevatedResult
{
    enum Status {
        Ran = 0,         // the helper ran; see exitCode
        Denied = 1,      // the user refused or cancelled the authorisation
        Unavailable = 2, // no authorisation tool on this system
        Failed = 3,      // the tool or the helper could not run; see message
    };
    Status status = Failed;
    int exitCode = -1;
    QString message; // a clause without a closing full stop: callers put it in brackets
};

// The tool runElevated() would use now: pkexec where polkit is installed, else sudo (run
// without a prompt), else none.
enum class ElevationTool { None, Pkexec, Sudo };
ElevationTool elevationTool();

// True when pkexec or sudo is there to ask for administrator rights.
bool elevationAvailable();

// Runs this program's own executable with the helper arguments through pkexec, or else
// through "sudo -n", and waits for it (5 s to start, 120 s to finish). Only the exit code
// comes back.
ElevatedResult runElevated(const QStringList &helperArguments);

// True when a file can be created in the folder that holds path; the GUI asks for
// administrator rights only when it cannot.
bool canWriteBeside(const QString &path);

// Test seam: which tools and which program the launcher uses, and its time limits. Empty
// fields take the real ones.
struct ElevationTools
{
    QString pkexec;  // "/usr/bin/pkexec"
    QString sudo;    // "/usr/bin/sudo"
    QString program; // this program's own executable
    int startTimeoutMs = 0;
    int finishTimeoutMs = 0;
};
void setElevationTools(const ElevationTools &tools);

} // namespace vrn
