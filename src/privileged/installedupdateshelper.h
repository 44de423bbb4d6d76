#pragma once

#include "privileged/installedupdates.h"

#include <QStringList>

namespace vrn {

// The installed-updates helper mode, run with administrator rights: the arguments start with
// the switch, then "remove" and package file names, or "restore". It finds the record file by
// itself and answers only with its exit code.
int installedUpdatesHelper(const QStringList &arguments);

// The editor's side of a change to the record file ("remove" with names, or "restore"): done
// here when the folder is writable, otherwise by the helper with administrator rights. On
// success from the helper, backupPath holds the newest backup's file name. *denied tells that
// the user refused the authorisation.
RecordChangeResult changeRecordFile(const QString &path, const QString &verb,
                                    const QStringList &names, bool *denied = nullptr);

} // namespace vrn
