#pragma once

#include <QString>
#include <QStringList>

namespace vrn {

// The program: helper modes (recognised only as the very first argument) or the editor.
int runVarnel(int argc, char **argv);

// Checks the editor's command line before anything graphical exists. Returns the exit code when
// the program is done (help, version, a malformed line), with what to print in *output (stdout)
// and *error (stderr); -1 when the editor should start.
int parseCommandLine(const QStringList &arguments, QString *output, QString *error);

// "dark" and "light" (any case) choose those themes; anything else follows the system.
int themeFromOption(const QString &value);

// True when the program can show a window here; a Linux session without a display server
// cannot, and the toolkit would abort instead of saying so.
bool haveDisplay();

} // namespace vrn
