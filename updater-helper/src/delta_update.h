// --delta: completing the staged bundle of a delta archive from the
// installed one before it is checked like any update.
#pragma once

#include <string>

#include "result.h"
#include "tools.h"
#include "update_log.h"

namespace installer {

// Logs "rebuilding the new application from the installed one...", reads
// the manifest beside the staged bundle, checks that the installed bundle
// `target` is the manifest's base version, rebuilds `candidate` and checks
// that it declares the manifest's new version. Errors:
// "the archive holds no delta manifest",
// "the delta update's manifest is invalid: {what}",
// "this delta update is for version {base}; the installed application is version {installed}",
// "the installed application does not match this delta update: {path}",
// "the rebuilt application is version {rebuilt}, not this delta update's version {new}",
// and those of reading either version and of the rebuild.
support::Result<void> rebuild_from_delta(const std::string& staging, const std::string& candidate,
                                         const std::string& target, Log& log, const Tools& tools);

}  // namespace installer
