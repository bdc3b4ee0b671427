#include "matrix_report.h"

#include <algorithm>
#include <fstream>
#include <map>
#include <sstream>

namespace faults {
namespace {

std::map<Program, std::vector<MatrixRow>>& rows() {
  static std::map<Program, std::vector<MatrixRow>> recorded;
  return recorded;
}

std::map<Program, std::vector<CallSite>>& sites() {
  static std::map<Program, std::vector<CallSite>> recorded;
  return recorded;
}

// A table cell: no line breaks, no column separators.
std::string cell(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '|') {
      out += "\\|";
    } else if (c == '\n') {
      out += "<br>";
    } else {
      out += c;
    }
  }
  return out;
}

std::string code(const std::string& text) { return text.empty() ? "" : "`" + cell(text) + "`"; }

void table(std::ostream& out, std::vector<MatrixRow> table_rows, const std::string& message_title,
           const std::string& previous_title) {
  std::sort(table_rows.begin(), table_rows.end(),
            [](const MatrixRow& a, const MatrixRow& b) { return a.order < b.order; });
  out << "| # | call | fault | step | exit | " << message_title << " | " << previous_title
      << " | verdict |\n|---|---|---|---|---|---|---|---|\n";
  for (const MatrixRow& row : table_rows) {
    std::string verdict = "ok";
    if (!row.violations.empty()) {
      verdict = "**VIOLATED**: ";
      for (size_t i = 0; i < row.violations.size(); ++i) {
        verdict += (i ? "; " : "") + row.violations[i];
      }
    }
    out << "| " << row.order << " | " << row.call << " | " << code(row.fault) << " | "
        << cell(row.step) << " | " << row.exit_status << " | " << code(row.message) << " | "
        << cell(row.previous) << " | " << cell(verdict) << " |\n";
  }
}

void site_list(std::ostream& out, const std::vector<CallSite>& program_sites) {
  size_t covered = 0;
  for (const CallSite& site : program_sites) covered += site.cases.empty() ? 0 : 1;
  out << covered << " of " << program_sites.size()
      << " call sites are failed by at least one row.\n\n"
         "| call site (call, subject, after the log line) | rows |\n|---|---|\n";
  for (const CallSite& site : program_sites) {
    std::string list;
    for (const std::string& name : site.cases) list += (list.empty() ? "" : ", ") + name;
    out << "| " << code(site.site) << " | " << (list.empty() ? "**none**" : list) << " |\n";
  }
  out << "\n";
}

}  // namespace

void record_row(Program program, MatrixRow row) { rows()[program].push_back(std::move(row)); }

void record_call_sites(Program program, std::vector<CallSite> program_sites) {
  sites()[program] = std::move(program_sites);
}

bool any_rows() { return !rows().empty(); }

bool write_matrix(const std::string& path, const std::string& command) {
  std::ostringstream out;
  out << "# Fault matrix\n\n"
         "Regenerate with `" << command << "` (from the repository root). The file is\n"
         "written by that test run itself; do not edit it by hand.\n\n"
         "Each row runs a built program black-box with the fault-injection library\n"
         "(`tests/support/fault_injection.c`) preloaded, failing one system call\n"
         "(the n-th call whose subject matches, as the fault column says) with the given\n"
         "error, and records what the program did. A row passes when the exit status\n"
         "and the final message are the designed ones and, for the installer, the\n"
         "previous version of the application is complete, file by file, at the target\n"
         "path or at a path that the update log names, the new version is complete at\n"
         "the target path after a success, and the install directory holds exactly the\n"
         "entries it should. The test also checks in the library's trace that the\n"
         "intended call failed. Any violated rule fails the test.\n\n"
         "Paths: `T` is the test's temporary directory, `<pid>` the installer's process\n"
         "ID. Every installer row starts from the same tree: `T/Applications/Zentrivale.app`\n"
         "(version 1: 16 files and a link), an older backup `.Zentrivale.backup-1`, a\n"
         "leftover `.zentrivale-update-staging-1`, and a signed archive of version 2.\n"
         "The rows whose step begins with \"delta:\" install, with `--delta` and the\n"
         "archive's digest, the delta of version 1 to 2 that `bundle_delta` makes\n"
         "instead (one file kept, the others patched against their installed\n"
         "versions); a fault-free delta run's rebuild calls (after the log line\n"
         "`rebuilding the new application from the installed one...`) must each be\n"
         "failed by one of them.\n\n";
  out << "## bundle_installer\n\n";
  table(out, rows()[Program::installer], "final log message", "previous version");
  out << "\n## bundle_starter\n\nThe launcher runs in a private network namespace with "
         "the test's backend and frontend doubles (backend listens on 127.0.0.1:3000, "
         "frontend exits 0).\n\n";
  table(out, rows()[Program::launcher], "standard error", "children");
  out << "\n## Call sites of a normal run\n\n"
         "Every intercepted call of a traced, fault-free run, grouped by call, subject\n"
         "and the last log line before it (writes by destination only), with the rows\n"
         "whose fault fails a call of that group. A site that no row fails makes the\n"
         "test fail.\n\n### bundle_installer\n\n";
  site_list(out, sites()[Program::installer]);
  out << "### bundle_starter\n\n";
  site_list(out, sites()[Program::launcher]);
  out << "## Calls that no row fails, and why\n\n"
         "- `read` (PlistBuddy's output), `pipe2`, `fstat`, `fcntl`, `close`, `poll`,\n"
         "  `socket`, `getsockopt`, `nanosleep`: not intercepted by the library.\n"
         "- The launcher's one message is written through stdio, whose writes glibc\n"
         "  makes internally; they cannot be intercepted by symbol.\n"
         "- `CONNECT=EINTR`: POSIX says an interrupted connect goes on asynchronously,\n"
         "  and the launcher rightly waits for it as for one in progress; the library\n"
         "  cannot imitate a connection that goes on, so the row would test the\n"
         "  library, not the launcher (a non-blocking connect is never interrupted\n"
         "  on Linux or macOS in any case).\n"
         "- Faults that only delay (every readiness connection refused: 120 s; every\n"
         "  probe of the parent EPERM: 600 s) are tested at the function level with\n"
         "  short timings, not here.\n";
  std::ofstream file(path, std::ios::trunc);
  file << out.str();
  return static_cast<bool>(file);
}

}  // namespace faults
