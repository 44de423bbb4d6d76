#include "privileged/helpermode.h"

#include "privileged/leftoverdeletion.h"

#include <QCoreApplication>

#include <cstdio>
#include <cstring>

namespace vrn {

namespace {

class HelperText
{
    Q_DECLARE_TR_FUNCTIONS(vrn::HelperMode)
};

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
    // The installed-updates helper is not part of this version yet: its switch is answered as
    // a malformed command line rather than being taken for an editor option.
    std::fprintf(
        stderr, "%s\n",
        qPrintable(
            HelperText::tr("%1: this version of Varnel has no such helper mode.").arg(mode)));
    return 6;
}

} // namespace vrn
