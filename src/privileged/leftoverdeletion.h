#pragma once

#include "knowledge/leftovers.h"
#include "store/leftoverreport.h"

#include <QList>
#include <QString>
#include <QStringList>

#include <functional>

namespace vrn {

// Outcome of the deletion engine; code as the helper's exit codes (0 done, 2 PixInsight is
// running, 3 not found, 4 refused, 5 some items remain, 6 nothing named).
struct LeftoverDeletion
{
    int code = 0;
    QString message;
    int removed = 0;
};

// Deletes the items the requests name. Every path is formed here from the two folders and a
// safe name; every item is checked before the first one is deleted, and links are refused.
LeftoverDeletion deleteLeftovers(const QStringList &requests, const QString &installDir,
                                 const QString &userDir, bool checkRunning);

// The helper mode: arguments start with "--leftovers-helper", then "delete" and the requests.
// Returns the process exit code.
int leftoversHelper(const QStringList &arguments);

// Deletes queued items with the user's own rights and hands the protected ones the user may
// not delete to one run of the elevated helper.
LeftoverReport deleteQueuedLeftovers(const QList<LeftoverItem> &items, const QString &installDir,
                                     const QString &userDir);

// The part that needs administrator rights: one run of the helper for these items, reported
// by what is still on disk afterwards.
void deleteElevated(const QList<LeftoverItem> &items, LeftoverReport *report);

// Test seam: runs after every item was checked and before the first is deleted.
void setLeftoverCheckedHook(std::function<void()> hook);

} // namespace vrn
