#include "crash_document.h"

#include <map>
#include <sstream>

namespace faults {
namespace {

std::string percent(size_t part, size_t whole) {
  std::ostringstream text;
  text.precision(1);
  text << std::fixed << (whole == 0 ? 0.0 : 100.0 * static_cast<double>(part) / static_cast<double>(whole)) << " %";
  return text.str();
}

}  // namespace

std::string crash_document(const std::vector<Record>& records) {
  std::map<std::string, Record> values;
  std::vector<std::string> violations;
  std::vector<Record> calls, phases, swaps;
  for (const Record& record : records) {
    if (record.empty()) continue;
    if (record[0] == "violation" && record.size() == 2) {
      violations.push_back(record[1]);
    } else if (record[0] == "calls" && record.size() == 4) {
      calls.push_back(record);
    } else if (record[0] == "phase" && record.size() == 7) {
      phases.push_back(record);
    } else if (record[0] == "swap" && record.size() == 4) {
      swaps.push_back(record);
    } else {
      values[record[0]] = record;
    }
  }
  auto value = [&values](const std::string& name, size_t field = 1) {
    const Record& record = values[name];
    return field < record.size() ? record[field] : std::string("?");
  };
  std::ostringstream out;
  out.precision(3);
  out << "# Crash consistency of the update installer\n\n"
         "Regenerate with `make crash-consistency` (from the repository root): the\n"
         "test run writes its results under the build directory and `fault_report`\n"
         "renders this file from them (`make fault-report` renders it again); `make test`\n"
         "runs the same test (ctest label `robustness`) and leaves its results in the\n"
         "build directory.\n\n"
         "## Result\n\n"
      << "| | |\n|---|---|\n"
      << "| updates started | " << value("updates") << " |\n"
      << "| killed with SIGKILL | " << value("kills") << " |\n"
      << "| completed before their kill instant | " << value("completed_before_kill") << " |\n"
      << "| following normal updates checked | " << value("follow_ups") << " |\n"
      << "| kills between the fallback's two renames | " << value("fallback_gaps_recovered")
      << " |\n"
      << "| **violations** | **" << violations.size() << "** |\n"
      << "| seconds for the whole run | " << value("seconds") << " |\n"
      << "| random seed | " << value("seed") << " |\n\n";
  if (!violations.empty()) {
    out << "Violations:\n\n";
    for (const std::string& violation : violations) out << "- " << violation << "\n";
    out << "\n";
  }
  out << "## What is checked\n\n"
         "Each update runs the installer's update sequence (`installer::run`, with every\n"
         "pause set to zero and `--no-relaunch`) in a forked child, in a process group of\n"
         "its own, with the tool stand-ins, from version A to version B of a bundle of\n"
      << value("bundle_entries")
      << " entries (files, directories and a link) or back, with an older backup\n"
         "and a leftover staging directory of an earlier run in the install directory.\n"
         "The child and its tools\n"
         "(ditto, PlistBuddy, codesign, spctl) are killed together with SIGKILL, as a\n"
         "crash or a power cut would end them. After each kill:\n\n"
         "1. The target path holds a complete bundle, the previous version or the new\n"
         "   one, compared file by file (contents, modes, links) with the version's\n"
         "   archive; or, only when the kill fell between the fallback's two renames,\n"
         "   the target path is empty and the previous version is complete at this\n"
         "   run's backup path.\n"
         "2. The previous version is complete somewhere: at the target path, at the\n"
         "   backup path, or, between the exchange and the move of the previous version\n"
         "   to the backup path, inside the staging directory.\n"
         "3. A normal update follows and must succeed, install the other version\n"
         "   complete and leave exactly two entries in the install directory: the\n"
         "   bundle and one backup, which holds the previous version complete.\n\n"
         "Where the kill left the target path empty, the installer cannot be started\n"
         "for the next update by the application (there is none); the test checks that\n"
         "an update then fails with \"target application bundle is invalid: {}\", and\n"
         "renames the backup back to the target path, as the user or support would,\n"
         "before the following update.\n\n"
         "## Kill points\n\n"
         "- At every call: the fault-injection library stops the child (SIGSTOP) just\n"
         "  before its n-th intercepted system call (`FAULT_STOP=n`), for every n from 1\n"
         "  to the number of calls of a whole update, on both paths; the test then kills\n"
         "  it. Every state between two calls that change the file system is reached.\n"
         "- At a random instant: SIGKILL after a delay drawn uniformly between zero and\n"
         "  the duration of a whole update (a moving average of the latest ones), which\n"
         "  mostly lands inside ditto and the signature tools, on both paths.\n"
         "- The exchange is refused (`FAULT_RENAMEAT2=EXDEV`) for the fallback path.\n\n";
  for (const Record& record : calls) {
    bool delta = record[1] == "delta";
    out << (delta ? "A delta update" : "An update on the ")
        << (delta ? "" : record[1] + " path")
        << " makes " << record[2] << " intercepted calls and takes about "
        << record[3] << " ms here.\n";
  }
  out << "\nDelta updates (from the installed version to the other, with `--delta` and\n"
         "the archive's digest, made by `bundle_delta`) are killed at every second call\n"
         "of their rebuild (calls " << value("rebuild_calls") << " to "
      << value("rebuild_calls", 2) << "), at every sixth call elsewhere, and at\n"
         "random instants: "
      << value("delta_kills") << " kills, " << value("delta_kills", 2)
      << " of them during the rebuild.\n";
  out << "\n| phase | kills at a call | kills at a random instant | target: previous version | "
         "target: new version | target empty, previous at backup |\n"
         "|---|---|---|---|---|---|\n";
  size_t random_kills = 0;
  for (const Record& record : phases) {
    out << "| " << record[1] << " | " << record[2] << " | " << record[3] << " | " << record[4]
        << " | " << record[5] << " | " << record[6] << " |\n";
    random_kills += std::stoul(record[3]);
  }
  out << "\nStates of the swap that kills found (from \"installing the new application...\"\n"
         "until the staging clean-up is done):\n\n| path | state | kills |\n|---|---|---|\n";
  for (const Record& record : swaps) {
    out << "| " << record[1] << " | " << record[2] << " | " << record[3] << " |\n";
  }
  out << "\nRandom instants fell in the phases above in proportion to the time each\n"
         "takes; "
      << percent(random_kills, std::stoul(value("kills")))
      << " of all kills were at a random instant.\n\n"
      << "## Answer\n\n";
  if (!violations.empty()) {
    out << violations.size()
        << " kills broke the rules above; they are listed under Result.\n";
  } else {
    out << "No kill left the application incomplete at the target path. The one state\n"
           "without an application at the target path is the instant between the\n"
           "fallback's two renames, which exists only on a volume that refuses the atomic\n"
           "exchange (`renamex_np` with `RENAME_SWAP`; APFS and HFS+ support it): there\n"
           "the previous version is complete at `.Zentrivale.backup-<pid>` beside the\n"
           "target, and renaming it back restores the application. Every other kill\n"
           "leaves a runnable application, and the next update clears what the killed\n"
           "one left behind. The random instants are drawn from the seed above; set\n"
           "`CRASH_SEED` to repeat a draw.\n";
  }
  return out.str();
}


}  // namespace faults
