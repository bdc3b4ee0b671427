#include "results_file.h"

#include <fstream>

namespace faults {

std::string results_line(const Record& fields) {
  std::string line;
  for (size_t i = 0; i < fields.size(); ++i) {
    if (i > 0) line += '\t';
    for (char c : fields[i]) {
      if (c == '\t') {
        line += "\\t";
      } else if (c == '\n') {
        line += "\\n";
      } else if (c == '\\') {
        line += "\\\\";
      } else {
        line += c;
      }
    }
  }
  return line + "\n";
}

bool read_results(const std::string& path, std::vector<Record>& records) {
  std::ifstream file(path);
  if (!file) return false;
  for (std::string line; std::getline(file, line);) {
    Record fields(1);
    for (size_t i = 0; i < line.size(); ++i) {
      if (line[i] == '\t') {
        fields.emplace_back();
      } else if (line[i] == '\\' && i + 1 < line.size()) {
        char escaped = line[++i];
        fields.back() += escaped == 't' ? '\t' : escaped == 'n' ? '\n' : escaped;
      } else {
        fields.back() += line[i];
      }
    }
    records.push_back(std::move(fields));
  }
  return true;
}

bool write_results(const std::string& path, const std::vector<Record>& records) {
  std::ofstream file(path, std::ios::trunc);
  for (const Record& record : records) file << results_line(record);
  return static_cast<bool>(file);
}

}  // namespace faults
