// The fault-injection library as the black-box tests use it: the variables
// of one fault, and the trace that the library writes.
#pragma once

#include <string>
#include <vector>

namespace faults {

// One FAULT_<call> setting: `value` is "<errno>", "<n>:<errno>" or
// "<n>+:<errno>" (empty: no failure, e.g. only a stop), `path` and `fd`
// select the calls that count, `stop` stops the process before the n-th.
struct Fault {
  std::string call;  // "RENAME", "WRITE", ...
  std::string value;
  std::string path;
  std::string fd;
  std::string stop;
  std::string after;  // FAULT_AFTER: "<CALL>:<text>"; nothing counts before it

  // The errno name of `value` ("EACCES" of "2:EACCES").
  std::string error_name() const;
  // "FAULT_RENAME=2:EACCES" and the filters, as environment entries.
  std::vector<std::string> environment() const;
  // As the matrix shows it: "RENAME=2:EACCES [path ...]".
  std::string text() const;
};

Fault fault(const std::string& call, const std::string& value, const std::string& path = "",
            const std::string& after = "");

// "LD_PRELOAD=<library>", "FAULT_TRACE=<trace>" and every fault's variables.
std::vector<std::string> shim_environment(const std::string& library, const std::string& trace,
                                          const std::vector<Fault>& faults);

struct TraceLine {
  long sequence = 0;
  std::string call;    // "STOP" for the stop marker
  long count = 0;      // 0 when a filter left the call out
  int error = 0;       // the injected error, 0 when the call went through
  std::string subject;
  int fd = -1;         // a WRITE's descriptor
  std::string detail;  // what a WRITE wrote (its first line)
};

std::vector<TraceLine> read_trace(const std::string& path);

// The installer's message that a WRITE of its log echo carries, or "" when
// the line is no such write.
std::string echoed_message(const TraceLine& line);

}  // namespace faults
