#include "privileged/helpermode.h"

#include "privileged/installedupdateshelper.h"
#include "privileged/leftoverdeletion.h"

#include <cstring>

namespace vrn {

namespace {

const char *const kInstalledUpdatesHelper = "--installed-updates-helper";
const char *const kLeftoversHelper = "--leftovers-helper";

} // namespace

bool isHelperSwitch(const char *argument)
{
    return argument && (std::strcmp(argument, kInstalledUpdatesHelper) == 0 ||
                        std::strcmp(argument, kLeftoversHelper) == 0);
}

int runHelperMode(const QStringList &arguments)
{
    const QString mode = arguments.value(0);
    if (mode == QLatin1String(kLeftoversHelper))
        return leftoversHelper(arguments);
    // Anything else answers as a malformed command line there.
    return installedUpdatesHelper(arguments);
}

} // namespace vrn
