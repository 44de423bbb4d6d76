#pragma once

#include <QtGlobal>

namespace vrn {

// The program's own preferences about the history, kept with its other preferences, so that
// the window, varnelctl and the watcher read the same.
struct HistoryPreferences
{
    bool enabled = true;            // "History/Enabled"
    qint64 maxBytes = 1024LL << 20; // "History/MaxMegabytes"; 0: no limit

    static HistoryPreferences read();
    void write() const;
};

} // namespace vrn
