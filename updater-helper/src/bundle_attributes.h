// What the new bundle's entries carry once it is installed: their modes and
// the download's quarantine attribute.
#pragma once

#include <string>

#include "result.h"
#include "update_log.h"

namespace installer {

// Removes group and other write permission from `bundle` and every entry in
// it; links are left as they are and never followed. A regular file with
// more than one link fails it before its mode is touched. Errors (names
// below `bundle` escaped): "the new application contains a hard link: {path}",
// "could not remove group and other write permission from {path}: {}", or
// the walk's "could not read {path}: {}".
support::Result<void> remove_group_and_other_write(const std::string& bundle);

// Removes the quarantine attribute from `bundle` and every file, directory
// and link in it (from a link itself, never through it; a read-only entry
// is made writable by its owner for the removal and given its mode back)
// and logs
// "cleared the quarantine attribute from {n} entries" when there were any.
// Failures are logged, never returned: the update has passed Gatekeeper's
// assessment already.
void clear_quarantine(const std::string& bundle, Log& log);

}  // namespace installer
