#include "matrix_document.h"

#include <algorithm>
#include <map>
#include <sstream>

namespace faults {
namespace {

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

std::string matrix_document(const std::vector<Record>& records) {
  std::map<std::string, std::vector<MatrixRow>> rows;
  std::map<std::string, std::vector<CallSite>> sites;
  for (const Record& record : records) {
    if (record.size() >= 9 && record[0] == "row") {
      MatrixRow row;
      row.order = std::stoi(record[2]);
      row.call = record[3];
      row.fault = record[4];
      row.step = record[5];
      row.exit_status = record[6];
      row.message = record[7];
      row.previous = record[8];
      row.violations.assign(record.begin() + 9, record.end());
      rows[record[1]].push_back(row);
    } else if (record.size() >= 3 && record[0] == "site") {
      sites[record[1]].push_back({record[2], Record(record.begin() + 3, record.end())});
    }
  }
  std::ostringstream out;
  out << "# Fault matrix\n\n"
         "Regenerate with `make fault-matrix` (from the repository root): the test run\n"
         "writes its results under the build directory and `fault_report` renders this\n"
         "file from them (`make fault-report` renders it again); do not edit it by hand.\n\n"
         "Each row runs a built program black-box with the fault-injection library\n"
         "(`tests/support/fault_injection.c`) preloaded, failing one system call with\n"
         "the given error, and records what the program did. The fault column says\n"
         "which call: `OPEN@update-helper.log:EACCES` fails the calls on a path that\n"
         "ends with `update-helper.log` (for a write, the path its descriptor was\n"
         "opened with; for a spawn, the program), `...:2:EACCES` only the second of\n"
         "them; the count form `WRITE=4:EIO` (the n-th call whose subject matches, when\n"
         "a filter follows) stays where no path tells the calls apart, and a wait is\n"
         "chosen by the spawn before it (`after the first POSIX_SPAWN on ...`).\n\n"
         "A row passes when the exit status\n"
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
  table(out, rows["installer"], "final log message", "previous version");
  out << "\n## bundle_starter\n\nThe launcher runs in a private network namespace with "
         "the test's backend and frontend doubles (backend listens on 127.0.0.1:3000, "
         "frontend exits 0).\n\n";
  table(out, rows["launcher"], "standard error", "children");
  out << "\n## Call sites of a normal run\n\n"
         "Every intercepted call of a traced, fault-free run, grouped by call, subject\n"
         "and the last log line before it (writes by destination only), with the rows\n"
         "whose fault fails a call of that group. A site that no row fails makes the\n"
         "test fail.\n\n### bundle_installer\n\n";
  site_list(out, sites["installer"]);
  out << "### bundle_starter\n\n";
  site_list(out, sites["launcher"]);
  out << "## Calls that no row fails, and why\n\n"
         "- `read` and `fsync`: intercepted only while a fault chooses them, so that\n"
         "  traces and counts leave them out; no row chooses them yet.\n"
         "- `pipe2`, `fstat`, `fcntl`, `close`, `poll`, `socket`, `getsockopt`,\n"
         "  `nanosleep`: not intercepted by the library.\n"
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
  return out.str();
}

}  // namespace faults
