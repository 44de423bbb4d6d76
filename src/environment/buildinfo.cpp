#include "environment/buildinfo.h"

#include "buildinfo_generated.h"

namespace vrn {

QString programVersion()
{
    return QStringLiteral(VARNEL_VERSION);
}

QString sourceRevision()
{
    return QStringLiteral(VARNEL_REVISION);
}

} // namespace vrn
