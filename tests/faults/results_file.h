// The tests' findings as tab-separated records, one a line: what the fault
// matrix and the crash-consistency test write under the build directory and
// fault_report renders as documents.
#pragma once

#include <string>
#include <vector>

namespace faults {

using Record = std::vector<std::string>;

// One line: the fields with tab, line feed and backslash escaped.
std::string results_line(const Record& fields);

// The records of `path`; false when it cannot be read.
bool read_results(const std::string& path, std::vector<Record>& records);

// Writes `records` to `path`, replacing it; false when it cannot be written.
bool write_results(const std::string& path, const std::vector<Record>& records);

}  // namespace faults
