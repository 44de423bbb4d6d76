#pragma once

#include <QStringList>

namespace vrn {

// What deleting the queued leftover files came to, for the window that reports it.
struct LeftoverReport
{
    int deleted = 0;
    // Each message followed by the paths it concerns; empty when everything went.
    QStringList problems;
};

} // namespace vrn
