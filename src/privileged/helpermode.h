#pragma once

#include <QStringList>

namespace vrn {

// True when this, the very first argument, makes the process a helper instead of the editor.
bool isHelperSwitch(const char *argument);

// Runs the helper mode the first argument names (the program path left out); the result is
// the process exit code. Needs a core application object and no GUI at all.
int runHelperMode(const QStringList &arguments);

} // namespace vrn
