#pragma once

#include <sys/types.h>

namespace vrn::testdata {

// The user "nobody", whom nothing in a test folder belongs to.
constexpr uid_t kNobody = 65534;

// Runs the enclosed code with another effective user, so that permissions are enforced even
// though the tests run as root; the real user stays root, so the guard can switch back.
class EffectiveUser
{
public:
    explicit EffectiveUser(uid_t uid);
    ~EffectiveUser();
    bool ok() const { return m_ok; }

private:
    bool m_ok;
};

} // namespace vrn::testdata
