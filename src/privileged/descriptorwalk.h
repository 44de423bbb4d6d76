#pragma once

#include "store/descriptors.h"

#include <QString>

#include <sys/stat.h>

#include <functional>

namespace vrn {

// Where a removal stands between looking at a folder and acting on what it saw: about to open
// it, or about to remove it once emptied. Another program may swap the folder right there.
enum class WalkStep { Open, Remove };

// Test seam: called at each step with the open folder holding the entry and the entry's name.
void setWalkStepHook(std::function<void(WalkStep step, int dirFd, const char *name)> hook);

// Opens the folder `name` in the open folder `dirFd` as openFolderIn() does, but only while it
// is still the folder `seen` when it was looked at; another one swapped in since is refused
// with errno ESTALE. `opened` receives what the opened folder is.
UniqueFd openSeenFolder(int dirFd, const char *name, const struct stat &seen, quint64 mountId,
                        struct stat *opened);

// Empties and removes the folder `name` in the open folder `dirFd`, the folder `seen` on the
// mount `mountId`, through descriptors alone: no path is looked up again, no link followed and
// no mount point entered. Descriptors are held only along the way down to the folder being
// emptied. True only when nothing remains; otherwise `*error` receives the first reason the
// system gave (EMFILE or ENFILE when it ran out of descriptors), or stays 0 when it gave none.
bool removeFolderAt(int dirFd, const char *name, const struct stat &seen, quint64 mountId,
                    int *error = nullptr);

// Deletes a folder and everything in it through the walk above; true only when nothing
// remains. A folder that is itself a link or a mount point is refused and left alone, and so is
// a path that names it through "." or "..".
bool removeTree(const QString &folder, int *error = nullptr);

} // namespace vrn
