#include "update.h"

#include "bundle_attributes.h"
#include "bundle_discovery.h"
#include "bundle_swap.h"
#include "bundle_verification.h"
#include "delta_update.h"
#include "fs.h"
#include "install_lock.h"
#include "path.h"
#include "staging.h"
#include "utf8.h"

namespace installer {
namespace {

using support::Error;
using support::Result;
using support::lossy_utf8;

Result<std::string> check_inputs(const Args& args) {
  if (!support::is_regular_file(args.archive)) {
    return Error("update archive does not exist: " + lossy_utf8(args.archive));
  }
  if (!support::is_directory(args.target_app)) {
    return Error("target application bundle is invalid: " + lossy_utf8(args.target_app));
  }
  std::optional<std::string> install_directory = support::parent(args.target_app);
  if (!install_directory) return Error("application bundle has no parent directory");
  return std::move(*install_directory);
}

// Finds and names the new bundle, rebuilds it from the installed one for a
// delta, takes group and other write permission from it, so that the checks
// see what will be installed, and verifies it; the staging directory is
// removed when any of these fails.
Result<std::string> accept_candidate(const Args& args, const std::string& staging, Log& log,
                                     const Tools& tools) {
  Result<std::string> candidate = find_app_bundle(staging);
  Result<void> checked = candidate ? check_bundle_name(candidate.value(), args.target_app)
                                   : Result<void>(Error(candidate.error()));
  if (checked && args.delta) {
    checked = rebuild_from_delta(staging, candidate.value(), args.target_app, log, tools);
  }
  if (checked) checked = remove_group_and_other_write(candidate.value());
  if (checked) {
    log.line("verifying the new application bundle...");
    std::optional<std::string> not_older_than;
    if (args.refuse_downgrade) not_older_than = args.target_app;
    checked = verify_bundle(candidate.value(), args.bundle_id, args.skip_signature_verification,
                            log, tools, args.team_id, not_older_than);
  }
  if (!checked) {
    clean_up_staging(staging, log);
    return std::move(checked).take_error();
  }
  return candidate;
}

}  // namespace

Result<void> run(const Args& args, Log& log, const Tools& tools, const UpdateTiming& timing) {
  log.line("installing " + lossy_utf8(args.archive) + " over " + lossy_utf8(args.target_app) +
           " (parent pid " + std::to_string(args.parent_pid) + ")");

  Result<std::string> install_directory = check_inputs(args);
  if (!install_directory) return std::move(install_directory).take_error();

  if (Result<void> waited = wait_for_application_exit(args.parent_pid, log, timing.wait);
      !waited) {
    return waited;
  }

  // Held to the end of the run: another run's clean-up would otherwise
  // delete this one's staging directory, or the bundle it has just installed.
  InstallLock lock = lock_install_directory(install_directory.value(), log);
  Result<std::string> staging =
      prepare_and_extract(install_directory.value(), args.archive, log, tools, args.archive_sha256);
  if (!staging) return std::move(staging).take_error();

  Result<std::string> candidate = accept_candidate(args, staging.value(), log, tools);
  if (!candidate) return std::move(candidate).take_error();

  // Gatekeeper has just assessed this very bundle; left quarantined, every
  // relaunch would meet the first-launch prompt and App Translocation.
  clear_quarantine(candidate.value(), log);

  if (Result<void> installed = install_bundle(candidate.value(), args.target_app,
                                              install_directory.value(), staging.value(), log);
      !installed) {
    return installed;
  }

  if (!args.relaunch_after_install) return support::success();
  log.line("relaunching Zentrivale...");
  return relaunch(args.target_app, log, tools, timing.relaunch);
}

Result<void> verify_update(const Args& args, Log& log, const Tools& tools) {
  log.line("verifying " + lossy_utf8(args.archive) + " for " + lossy_utf8(args.target_app));

  Result<std::string> install_directory = check_inputs(args);
  if (!install_directory) return std::move(install_directory).take_error();

  // Staged beside the installed bundle, as for an installation, so that the
  // check meets the same volume and the same permissions. Its clean-up
  // removes staging directories too, so it takes the lock as well.
  InstallLock lock = lock_install_directory(install_directory.value(), log);
  Result<std::string> staging =
      prepare_and_extract(install_directory.value(), args.archive, log, tools, args.archive_sha256);
  if (!staging) return std::move(staging).take_error();

  Result<std::string> candidate = accept_candidate(args, staging.value(), log, tools);
  if (!candidate) return std::move(candidate).take_error();

  clean_up_staging(staging.value(), log);
  return support::success();
}

}  // namespace installer
