// Crash consistency: hundreds of updates, each killed with SIGKILL (with its
// tools) at a chosen call or a random instant, on the exchange path and on a
// volume that refuses the exchange. After each kill the installed bundle must
// be complete, old or new; only a kill between the fallback's two renames may
// leave the target path empty, and then the previous version must be complete
// at the backup path. A normal update must then succeed and leave exactly one
// backup. The run writes its findings as records that fault_report renders
// as docs/crash-consistency.md.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <regex>
#include <sstream>

#include "installer_child.h"
#include "error_texts.h"
#include "fault_injection.h"
#include "file_digest.h"
#include "results_file.h"
#include "test_bundles.h"

#ifndef STAND_IN_ROOT
#error "STAND_IN_ROOT and CRASH_RESULTS come from the build"
#endif
// The results go to $CRASH_RESULTS when that is set, else to CRASH_RESULTS (in
// the build directory).

namespace faults {

namespace {

namespace fs = std::filesystem;

constexpr size_t kMinimumKills = 500;
constexpr size_t kRandomKills = 300;

const char kStaging[] = ".zentrivale-update-staging-";
const char kBackupPrefix[] = ".Zentrivale.backup-";

// A full update on the exchange or the fallback path, or a delta update
// (exchange path) rebuilt from the installed version.
enum class Mode { exchange, fallback, delta };

const char* mode_name(Mode mode) {
  switch (mode) {
    case Mode::exchange: return "exchange";
    case Mode::fallback: return "fallback";
    case Mode::delta: return "delta";
  }
  return "";
}

// Where the kill fell, by what the run had logged and what it had moved.
enum class Phase {
  preparation,        // log, checks, wait, leftover staging removal, staging creation
  extraction,         // ditto
  rebuild,            // a delta's rebuild from the installed bundle
  verification,       // PlistBuddy, codesign, spctl
  exchange,           // around the atomic exchange and the backup's preservation
  fallback_renames,   // around the two renames on a volume without the exchange
  staging_clean_up,   // the swap is done, the staging directory goes
  old_backups,        // removing older backups
  finished,           // everything logged; the process was on its way out
};
constexpr Phase kPhases[] = {Phase::preparation,      Phase::extraction,
                             Phase::rebuild,          Phase::verification,
                             Phase::exchange,
                             Phase::fallback_renames, Phase::staging_clean_up,
                             Phase::old_backups,      Phase::finished};

const char* phase_name(Phase phase) {
  switch (phase) {
    case Phase::preparation: return "preparation (log, checks, wait, leftover staging, new staging)";
    case Phase::extraction: return "extraction (ditto)";
    case Phase::rebuild: return "rebuild of a delta update";
    case Phase::verification: return "verification (PlistBuddy, codesign, spctl)";
    case Phase::exchange: return "atomic exchange and preserving the backup";
    case Phase::fallback_renames: return "fallback renames (exchange refused)";
    case Phase::staging_clean_up: return "staging clean-up after the swap";
    case Phase::old_backups: return "clean-up of older backups";
    case Phase::finished: return "after the last log line";
  }
  return "";
}

// What the target path held after a kill.
enum class TargetState { previous, updated, empty_previous_at_backup };

struct Tally {
  size_t systematic = 0;
  size_t random = 0;
  std::map<TargetState, size_t> targets;
};

// The states the swap passes through, as a kill finds them.
const char* const kBeforeSwap = "before the swap: previous version at the target path";
const char* const kExchangedInStaging =
    "exchanged: new version at the target path, previous one still in the staging directory";
const char* const kBetweenRenames =
    "between the fallback's renames: target path empty, previous version at the backup path";
const char* const kSwapped = "swapped: new version at the target path, previous one at the backup path";

struct Findings {
  size_t updates = 0;
  size_t kills = 0;
  size_t completed_before_kill = 0;
  size_t follow_ups = 0;
  size_t fallback_gaps_recovered = 0;
  std::map<Phase, Tally> phases;
  std::map<std::pair<Mode, std::string>, size_t> swap_states;
  std::map<Mode, long> calls_per_update;
  // The calls of a delta update's rebuild, from its log line to the next.
  long rebuild_first_call = 0, rebuild_last_call = 0;
  size_t delta_kills = 0, delta_kills_in_rebuild = 0;
  std::map<Mode, double> seconds_per_update;
  // How long a whole update takes now, from the latest normal updates: the
  // machine's load changes while the test runs.
  double recent_seconds = 0;
  std::vector<std::string> violations;
  double seconds = 0;
  unsigned seed = 0;
  size_t bundle_entries = 0;
};

// The install tree that every update of the run works on.
class Workspace {
 public:
  Workspace() {
    fs::create_directories(home_);
    fs::create_directories(install_);
    for (const char* version : {"A", "B"}) {
      archives_[version] = signed_archive(STAND_IN_ROOT, dir_.path(), version);
      versions_[version] = snapshot(dir_.path() + "/source-" + std::string(version) +
                                     "/Zentrivale.app");
    }
#ifdef BUNDLE_DELTA
    for (const char* version : {"A", "B"}) {
      std::string from = version == std::string("A") ? "B" : "A";
      deltas_[version] = delta_archive(BUNDLE_DELTA, dir_.path(), from, version);
      delta_digests_[version] = test_support::sha256_hex_of_file(deltas_[version]);
    }
#endif
    fs::copy(dir_.path() + "/source-A/Zentrivale.app", target(),
             fs::copy_options::recursive | fs::copy_options::copy_symlinks);
  }

  std::string target() const { return install_ + "/Zentrivale.app"; }
  std::string install() const { return install_; }
  std::string home() const { return home_; }
  std::string log() const { return home_ + "/Library/Logs/Zentrivale/update-helper.log"; }
  std::string trace() const { return dir_.path() + "/trace"; }
  std::string backup(pid_t pid) const { return install_ + "/" + kBackupPrefix + std::to_string(pid); }
  std::string staging(pid_t pid) const { return install_ + "/" + kStaging + std::to_string(pid); }
  const Snapshot& version(const std::string& name) const { return versions_.at(name); }

  // "A" or "B" when the target holds that version complete, "" otherwise.
  std::string version_at(const std::string& path) const {
    Snapshot tree = snapshot(path);
    for (const auto& [name, files] : versions_) {
      if (difference(files, tree).empty()) return name;
    }
    return "";
  }

  // What an earlier, interrupted run left: a staging directory with a part
  // of a bundle in it.
  void leave_staging_of_an_earlier_run() const {
    std::string leftover = install_ + "/" + kStaging + "1/Zentrivale.app/Contents";
    fs::create_directories(leftover);
    write_file(leftover + "/Info.plist", "partial\n");
  }

  ChildUpdate update_to(const std::string& version, Mode mode) const {
    ChildUpdate update;
    update.home = home_;
    update.archive = archives_.at(version);
    update.target = target();
    update.stand_in_root = STAND_IN_ROOT;
    update.exchange_refused = mode == Mode::fallback;
    if (mode == Mode::delta) {
      update.archive = deltas_.at(version);
      update.delta_sha256 = delta_digests_.at(version);
    }
    return update;
  }

 private:
  TempDir dir_{"faults-crash"};
  std::string home_ = dir_.path() + "/home";
  std::string install_ = dir_.path() + "/Applications";
  std::map<std::string, std::string> archives_;
  std::map<std::string, std::string> deltas_;  // to each version from the other
  std::map<std::string, std::string> delta_digests_;
  std::map<std::string, Snapshot> versions_;
};

std::string other(const std::string& version) { return version == "A" ? "B" : "A"; }

// The messages logged since `offset` bytes of the log.
std::vector<std::string> messages_since(const std::string& log, size_t offset) {
  std::string text = read_file(log);
  std::istringstream lines(offset < text.size() ? text.substr(offset) : "");
  std::vector<std::string> messages;
  static const std::regex record(R"(\[[0-9]+\] (.*))");
  std::smatch match;
  for (std::string line; std::getline(lines, line);) {
    if (std::regex_match(line, match, record)) messages.push_back(match[1].str());
  }
  return messages;
}

bool starts_with(const std::string& text, const std::string& prefix) {
  return text.compare(0, prefix.size(), prefix) == 0;
}

Phase phase_of(const std::vector<std::string>& messages, Mode mode, bool swapped,
               bool backup_in_place) {
  std::string last = messages.empty() ? "" : messages.back();
  if (last == "extracting the update archive...") return Phase::extraction;
  if (last == "rebuilding the new application from the installed one...") return Phase::rebuild;
  if (last == "verifying the new application bundle...") return Phase::verification;
  if (last == "installing the new application...") {
    if (swapped && backup_in_place) return Phase::staging_clean_up;
    return mode == Mode::fallback ? Phase::fallback_renames : Phase::exchange;
  }
  if (starts_with(last, "previous version kept as rollback backup at ") ||
      starts_with(last, "removed stale ")) {
    // "removed stale" after the swap names older backups; before the
    // extraction it names leftover staging directories.
    bool after_swap = std::find(messages.begin(), messages.end(),
                                "installing the new application...") != messages.end();
    return after_swap ? Phase::old_backups : Phase::preparation;
  }
  if (last == "update installed successfully") return Phase::finished;
  return Phase::preparation;
}

class CrashRun {
 public:
  explicit CrashRun(Findings& findings) : findings_(findings) {
    findings_.bundle_entries = workspace_.version("A").size();
  }

  // One normal update; the run's calls are counted through the trace.
  void normal_update(Mode mode, bool count_calls) {
    std::string from = workspace_.version_at(workspace_.target());
    workspace_.leave_staging_of_an_earlier_run();
    ChildUpdate update = workspace_.update_to(other(from), mode);
    if (count_calls) {
      fs::remove(workspace_.trace());
      update.trace = workspace_.trace();
    }
    ChildOutcome outcome = run_update(update);
    if (count_calls) {
      std::vector<TraceLine> trace = read_trace(workspace_.trace());
      findings_.calls_per_update[mode] = static_cast<long>(trace.size());
      if (mode == Mode::delta) find_rebuild_calls(trace);
      findings_.seconds_per_update[mode] = outcome.seconds;
      findings_.recent_seconds = outcome.seconds;
    }
    check_normal_update(outcome, from, "a calibration update");
  }

  // The rebuild's calls: those after the write of its log line, up to the
  // write of the next.
  void find_rebuild_calls(const std::vector<TraceLine>& trace) {
    for (const TraceLine& line : trace) {
      if (line.call != "WRITE") continue;
      if (line.detail.find("rebuilding the new application") != std::string::npos) {
        findings_.rebuild_first_call = line.sequence + 1;
      } else if (line.detail.find("verifying the new application bundle") != std::string::npos &&
                 findings_.rebuild_first_call > 0 && findings_.rebuild_last_call == 0) {
        findings_.rebuild_last_call = line.sequence - 1;
      }
    }
  }

  // An update stopped before its `call`-th intercepted call and killed there.
  void kill_at_call(Mode mode, long call) {
    kill_one(mode, [&](ChildUpdate update) {
      update.stop_at = call;
      return run_update(update);
    }, true);
  }

  // An update killed `delay` after its start.
  void kill_after(Mode mode, std::chrono::microseconds delay) {
    kill_one(mode, [&](const ChildUpdate& update) {
      return run_update_killed_after(update, delay);
    }, false);
  }

 private:
  template <typename Start>
  void kill_one(Mode mode, Start start, bool systematic) {
    ++findings_.updates;
    std::string from = workspace_.version_at(workspace_.target());
    std::string to = other(from);
    workspace_.leave_staging_of_an_earlier_run();
    size_t log_offset = read_file(workspace_.log()).size();
    ChildOutcome outcome = start(workspace_.update_to(to, mode));
    if (outcome.ending == Ending::completed) {
      ++findings_.completed_before_kill;
      check_normal_update(outcome, from, "an update that completed before its kill");
      return;
    }
    ++findings_.kills;
    std::vector<std::string> messages = messages_since(workspace_.log(), log_offset);
    std::string backup = workspace_.backup(outcome.pid);
    std::string at_target = workspace_.version_at(workspace_.target());
    bool target_there = lexists(workspace_.target());
    bool swapped = at_target == to;
    bool backup_in_place = workspace_.version_at(backup) == from;
    Phase phase = phase_of(messages, mode, swapped, backup_in_place);
    std::string where = describe_kill(mode, outcome, phase, messages);
    if (mode == Mode::delta) {
      ++findings_.delta_kills;
      if (phase == Phase::rebuild) ++findings_.delta_kills_in_rebuild;
    }

    TargetState state = TargetState::previous;
    if (at_target == from) {
      state = TargetState::previous;
    } else if (at_target == to) {
      state = TargetState::updated;
    } else if (!target_there && phase == Phase::fallback_renames && backup_in_place) {
      state = TargetState::empty_previous_at_backup;
    } else {
      violation(where + ": the target path holds no complete bundle (" +
                difference(workspace_.version(from), snapshot(workspace_.target())) +
                "), and the previous version is " +
                (backup_in_place ? "at the backup path" : "not at the backup path"));
      return;
    }
    // The previous version is never lost: at the target, the backup path, or
    // (after the exchange, before it was moved on) inside the staging directory.
    if (state == TargetState::updated && !backup_in_place &&
        workspace_.version_at(workspace_.staging(outcome.pid) + "/Zentrivale.app") != from) {
      violation(where + ": the previous version is complete nowhere");
    }
    Tally& tally = findings_.phases[phase];
    ++(systematic ? tally.systematic : tally.random);
    ++tally.targets[state];
    if (std::find(messages.begin(), messages.end(), "installing the new application...") !=
            messages.end() &&
        phase != Phase::old_backups && phase != Phase::finished) {
      const char* swap_state = state == TargetState::previous ? kBeforeSwap
                               : state == TargetState::empty_previous_at_backup
                                   ? kBetweenRenames
                               : backup_in_place ? kSwapped
                                                 : kExchangedInStaging;
      ++findings_.swap_states[{mode, swap_state}];
    }

    if (state == TargetState::empty_previous_at_backup) recover_from_fallback_gap(backup, where);
    std::string now = workspace_.version_at(workspace_.target());
    ++findings_.follow_ups;
    ChildOutcome follow_up = run_update(workspace_.update_to(other(now), Mode::exchange));
    check_normal_update(follow_up, now, "the update after " + where);
    findings_.recent_seconds = 0.8 * findings_.recent_seconds + 0.2 * follow_up.seconds;
  }

  // The installer cannot start its next update without a target; what the
  // user (or support) does is to rename the backup back. The test makes sure
  // the refusal names the target, then does exactly that.
  void recover_from_fallback_gap(const std::string& backup, const std::string& where) {
    ++findings_.fallback_gaps_recovered;
    size_t log_offset = read_file(workspace_.log()).size();
    ChildOutcome refused = run_update(workspace_.update_to("A", Mode::exchange));
    std::vector<std::string> messages = messages_since(workspace_.log(), log_offset);
    std::string expected =
        "update installation failed: target application bundle is invalid: " + workspace_.target();
    if (refused.exit_code != 1 || messages.empty() || messages.back() != expected) {
      violation(where + ": an update with the target path empty did not fail with \"" +
                expected + "\"");
    }
    fs::rename(backup, workspace_.target());
  }

  void check_normal_update(const ChildOutcome& outcome, const std::string& from,
                           const std::string& what) {
    std::string to = other(from);
    std::vector<std::string> entries = list_directory(workspace_.install());
    std::vector<std::string> expected{kBackupPrefix + std::to_string(outcome.pid),
                                      "Zentrivale.app"};
    if (outcome.ending != Ending::completed || outcome.exit_code != 0) {
      violation(what + " did not succeed");
    } else if (workspace_.version_at(workspace_.target()) != to) {
      violation(what + " did not install version " + to + " complete");
    } else if (entries != expected) {
      std::string listing;
      for (const std::string& entry : entries) listing += " " + entry;
      violation(what + " left the install directory with" + listing +
                " instead of one backup beside the bundle");
    } else if (workspace_.version_at(workspace_.backup(outcome.pid)) != from) {
      violation(what + " left a backup that is not the complete previous version");
    }
  }

  std::string describe_kill(Mode mode, const ChildOutcome& outcome, Phase phase,
                            const std::vector<std::string>& messages) const {
    std::ostringstream text;
    text << "kill of update " << findings_.updates << " (" << mode_name(mode) << ", "
         << phase_name(phase)
         << ", " << outcome.seconds * 1000 << " ms, last line \""
         << (messages.empty() ? "" : messages.back()) << "\")";
    return text.str();
  }

  void violation(const std::string& text) {
    findings_.violations.push_back(replace_all(text, workspace_.install(), "T/Applications"));
  }

  Findings& findings_;
  Workspace workspace_;
};

// A number as the document shows it: three significant digits.
std::string shown(double value) {
  std::ostringstream text;
  text.precision(3);
  text << value;
  return text.str();
}

// The findings as records (see crash_document.h for their fields).
std::vector<Record> results(const Findings& findings) {
  std::vector<Record> records{
      {"updates", std::to_string(findings.updates)},
      {"kills", std::to_string(findings.kills)},
      {"completed_before_kill", std::to_string(findings.completed_before_kill)},
      {"follow_ups", std::to_string(findings.follow_ups)},
      {"fallback_gaps_recovered", std::to_string(findings.fallback_gaps_recovered)},
      {"seconds", shown(findings.seconds)},
      {"seed", std::to_string(findings.seed)},
      {"bundle_entries", std::to_string(findings.bundle_entries)},
      {"rebuild_calls", std::to_string(findings.rebuild_first_call),
       std::to_string(findings.rebuild_last_call)},
      {"delta_kills", std::to_string(findings.delta_kills),
       std::to_string(findings.delta_kills_in_rebuild)},
  };
  for (const std::string& violation : findings.violations) records.push_back({"violation", violation});
  for (const auto& [mode, calls] : findings.calls_per_update) {
    records.push_back({"calls", mode_name(mode), std::to_string(calls),
                       shown(findings.seconds_per_update.at(mode) * 1000)});
  }
  for (Phase phase : kPhases) {
    auto found = findings.phases.find(phase);
    Tally tally = found == findings.phases.end() ? Tally{} : found->second;
    auto count = [&tally](TargetState state) {
      auto it = tally.targets.find(state);
      return std::to_string(it == tally.targets.end() ? size_t{0} : it->second);
    };
    records.push_back({"phase", phase_name(phase), std::to_string(tally.systematic),
                       std::to_string(tally.random), count(TargetState::previous),
                       count(TargetState::updated),
                       count(TargetState::empty_previous_at_backup)});
  }
  for (Mode mode : {Mode::exchange, Mode::fallback, Mode::delta}) {
    for (const char* state : {kBeforeSwap, kExchangedInStaging, kBetweenRenames, kSwapped}) {
      auto found = findings.swap_states.find({mode, state});
      if (found == findings.swap_states.end()) continue;
      records.push_back({"swap", mode_name(mode), state, std::to_string(found->second)});
    }
  }
  return records;
}

TEST(CrashConsistency, KilledUpdatesAlwaysLeaveACompleteApplication) {
  reap_orphans_here();
  Findings findings;
  const char* seed_text = std::getenv("CRASH_SEED");
  findings.seed = seed_text ? static_cast<unsigned>(std::strtoul(seed_text, nullptr, 10))
                            : std::random_device{}();
  std::mt19937 random(findings.seed);
  auto started = std::chrono::steady_clock::now();
  {
    CrashRun run(findings);
    // The first update makes the older backup that every later one removes.
    run.normal_update(Mode::exchange, false);
    run.normal_update(Mode::exchange, true);
    run.normal_update(Mode::fallback, true);
#ifdef BUNDLE_DELTA
    run.normal_update(Mode::delta, true);
#endif
    ASSERT_TRUE(findings.violations.empty()) << findings.violations.front();

    for (Mode mode : {Mode::exchange, Mode::fallback}) {
      for (long call = 1; call <= findings.calls_per_update[mode]; ++call) {
        run.kill_at_call(mode, call);
      }
    }
    // Delta updates mostly where they differ from full ones: in the rebuild.
    for (long call = 1; call <= findings.calls_per_update[Mode::delta]; ++call) {
      bool in_rebuild =
          call >= findings.rebuild_first_call && call <= findings.rebuild_last_call;
      if (call % (in_rebuild ? 2 : 6) == 0) run.kill_at_call(Mode::delta, call);
    }
    for (size_t i = 0; i < kRandomKills || findings.kills < kMinimumKills; ++i) {
      Mode mode = i % 3 == 2 ? Mode::fallback : Mode::exchange;
#ifdef BUNDLE_DELTA
      if (i % 6 == 5) mode = Mode::delta;
#endif
      double whole = findings.recent_seconds * 1e6;
      std::uniform_real_distribution<double> instant(0, whole);
      run.kill_after(mode, std::chrono::microseconds(static_cast<long>(instant(random))));
      ASSERT_LT(i, 4 * kRandomKills) << "the random kills keep missing the updates";
    }
  }
  findings.seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
  const char* results_path = std::getenv("CRASH_RESULTS");
  std::string path = results_path && *results_path ? results_path : CRASH_RESULTS;
  EXPECT_TRUE(write_results(path, results(findings))) << "cannot write " << path;

  EXPECT_GE(findings.kills, kMinimumKills);
  for (const std::string& violation : findings.violations) ADD_FAILURE() << violation;
#ifdef BUNDLE_DELTA
  EXPECT_GT(findings.rebuild_last_call, findings.rebuild_first_call);
  EXPECT_GT(2 * findings.delta_kills_in_rebuild, findings.delta_kills)
      << "most delta updates should be killed during their rebuild";
#endif
  for (Phase phase : {Phase::preparation, Phase::extraction,
#ifdef BUNDLE_DELTA
                      Phase::rebuild,
#endif
                      Phase::verification,
                      Phase::exchange, Phase::fallback_renames, Phase::staging_clean_up,
                      Phase::old_backups}) {
    const Tally& tally = findings.phases[phase];
    EXPECT_GE(tally.systematic + tally.random, 1u) << "no kill in " << phase_name(phase);
  }
  for (auto [mode, state] : {std::pair{Mode::exchange, kBeforeSwap},
                             std::pair{Mode::exchange, kExchangedInStaging},
                             std::pair{Mode::exchange, kSwapped},
                             std::pair{Mode::fallback, kBeforeSwap},
                             std::pair{Mode::fallback, kBetweenRenames},
                             std::pair{Mode::fallback, kSwapped}}) {
    size_t kills = findings.swap_states[std::make_pair(mode, std::string(state))];
    EXPECT_GE(kills, 1u) << "no kill found the swap " << state;
  }
  std::cout << "results: " << path << "\n";
}

}  // namespace
}  // namespace faults
