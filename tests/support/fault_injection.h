// The driver of the fault-injection library (fault_injection.c): the
// variables of one fault and the trace that the library writes, for a
// program it is preloaded into; and ScopedFault, for a test that has the
// library linked in.
#pragma once

#include <cstdlib>
#include <initializer_list>
#include <string>
#include <utility>
#include <vector>

extern "C" void fault_injection_reset(void);
extern "C" long fault_injection_failures(const char* variable);

namespace faults {

// Sets FAULT_* variables of the linked-in library for its lifetime. Only for
// tests that link fault_injection.c.
class ScopedFault {
 public:
  explicit ScopedFault(std::initializer_list<std::pair<const char*, const char*>> variables)
      : variables_(variables) {
    for (const auto& [name, value] : variables_) ::setenv(name, value, 1);
    fault_injection_reset();
  }
  ~ScopedFault() {
    for (const auto& variable : variables_) ::unsetenv(variable.first);
    fault_injection_reset();
  }
  ScopedFault(const ScopedFault&) = delete;
  ScopedFault& operator=(const ScopedFault&) = delete;

  // How many calls the fault set by `variable` has failed so far.
  long failures(const char* variable) const { return fault_injection_failures(variable); }

 private:
  std::vector<std::pair<const char*, const char*>> variables_;
};

// One FAULT_<call> setting: `value` is "<errno>", "<n>:<errno>" or
// "<n>+:<errno>" (empty: no failure, e.g. only a stop); `key` selects the
// calls on a path ending with it ("WRITE@update-helper.log:EIO"), `path` and
// `fd` the calls that count otherwise, `stop` stops the process before the
// n-th.
struct Fault {
  std::string call;  // "RENAME", "WRITE", ...
  std::string value;
  std::string key;   // the path (or program) the call touches ends with this
  std::string path;
  std::string fd;
  std::string stop;
  std::string after;  // FAULT_AFTER: "<CALL>:<text>"; nothing counts before it

  // The errno name of `value` ("EACCES" of "2:EACCES").
  std::string error_name() const;
  // "FAULT_RENAME=2:EACCES" and the filters, as environment entries.
  std::vector<std::string> environment() const;
  // As the matrix shows it: "WRITE@update-helper.log:EIO",
  // "RENAME=2:EACCES where the subject has ...".
  std::string text() const;
  // Whether a call with this subject is selected by `key` and `path`.
  bool selects(const std::string& subject) const;
};

Fault fault(const std::string& call, const std::string& value, const std::string& path = "",
            const std::string& after = "");
// A fault keyed on the path a call touches, written as the matrix shows it:
// "<CALL>@<key>:<errno>", "<CALL>@<key>:<n>:<errno>" or
// "<CALL>@<key>:<n>+:<errno>".
Fault keyed(const std::string& written);

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
