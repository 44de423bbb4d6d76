#pragma once

#include <QString>

namespace vrn {

// The program: helper modes (recognised only as the very first argument) or the editor.
int runVarnel(int argc, char **argv);

// "dark" and "light" (any case) choose those themes; anything else follows the system.
int themeFromOption(const QString &value);

// True when the program can show a window here; a Linux session without a display server
// cannot, and the toolkit would abort instead of saying so.
bool haveDisplay();

} // namespace vrn
