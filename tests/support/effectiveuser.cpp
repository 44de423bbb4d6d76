#include "support/effectiveuser.h"

#include <QtGlobal>

#include <unistd.h>

namespace vrn::testdata {

EffectiveUser::EffectiveUser(uid_t uid)
    : m_ok(::setegid(uid) == 0 && ::seteuid(uid) == 0)
{}

EffectiveUser::~EffectiveUser()
{
    if (::seteuid(0) != 0 || ::setegid(0) != 0)
        qFatal("could not return to root");
}

} // namespace vrn::testdata
