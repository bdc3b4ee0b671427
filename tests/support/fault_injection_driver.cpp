#include "fault_injection.h"

#include <sstream>

#include "files.h"

namespace faults {

std::string Fault::error_name() const {
  size_t colon = value.find(':');
  return colon == std::string::npos ? value : value.substr(colon + 1);
}

std::vector<std::string> Fault::environment() const {
  std::vector<std::string> variables;
  if (!key.empty()) {
    variables.push_back("FAULT_" + call + "=@" + key + ":" + value);
  } else if (!value.empty()) {
    variables.push_back("FAULT_" + call + "=" + value);
  }
  if (!path.empty()) variables.push_back("FAULT_" + call + "_PATH=" + path);
  if (!fd.empty()) variables.push_back("FAULT_" + call + "_FD=" + fd);
  if (!stop.empty()) variables.push_back("FAULT_" + call + "_STOP=" + stop);
  if (!after.empty()) variables.push_back("FAULT_AFTER=" + after);
  return variables;
}

std::string Fault::text() const {
  std::string text = key.empty() ? call + "=" + value : call + "@" + key + ":" + value;
  if (!path.empty()) text += " where the subject has \"" + path + "\"";
  if (!fd.empty()) text += " on fd " + fd;
  if (!after.empty()) {
    size_t colon = after.find(':');
    std::string gate = after.substr(colon + 1);
    text += " after the first " + after.substr(0, colon);
    if (!gate.empty()) text += " on \"" + gate + "\"";
  }
  return text;
}

namespace {

bool ends_with(const std::string& text, const std::string& tail) {
  return text.size() >= tail.size() && text.compare(text.size() - tail.size(), tail.size(), tail) == 0;
}

// The library's own rule for FAULT_<CALL>_PATH.
bool has(const std::string& subject, const std::string& filter) {
  if (filter.empty()) return true;
  if (filter.back() != '$') return subject.find(filter) != std::string::npos;
  return ends_with(subject, filter.substr(0, filter.size() - 1));
}

}  // namespace

bool Fault::selects(const std::string& subject) const {
  // A rename's subject is "from -> to": either path is the call's.
  std::vector<std::string> paths{subject};
  size_t arrow = subject.find(" -> ");
  if (arrow != std::string::npos) {
    paths = {subject.substr(0, arrow), subject.substr(arrow + 4)};
  }
  for (const std::string& one : paths) {
    if ((key.empty() || ends_with(one, key)) && has(one, path)) return true;
  }
  return false;
}

Fault keyed(const std::string& written) {
  Fault made;
  size_t at = written.find('@');
  size_t last = written.rfind(':');
  made.call = written.substr(0, at);
  made.key = written.substr(at + 1, last - at - 1);
  made.value = written.substr(last + 1);
  // A count before the error: "<key>:<n>:<errno>" or "<key>:<n>+:<errno>".
  size_t count = made.key.rfind(':');
  if (count != std::string::npos) {
    std::string n = made.key.substr(count + 1);
    if (!n.empty() && n != "+" &&
        n.find_first_not_of("0123456789") == (n.back() == '+' ? n.size() - 1 : std::string::npos)) {
      made.value = n + ":" + made.value;
      made.key.erase(count);
    }
  }
  return made;
}

Fault fault(const std::string& call, const std::string& value, const std::string& path,
            const std::string& after) {
  Fault made;
  made.call = call;
  made.value = value;
  made.path = path;
  made.after = after;
  return made;
}

std::vector<std::string> shim_environment(const std::string& library, const std::string& trace,
                                          const std::vector<Fault>& faults) {
  std::vector<std::string> variables{"LD_PRELOAD=" + library, "FAULT_TRACE=" + trace};
  for (const Fault& fault : faults) {
    std::vector<std::string> more = fault.environment();
    variables.insert(variables.end(), more.begin(), more.end());
  }
  return variables;
}

std::vector<TraceLine> read_trace(const std::string& path) {
  std::vector<TraceLine> lines;
  std::istringstream text(test_support::read_file(path));
  std::string raw;
  while (std::getline(text, raw)) {
    std::istringstream fields(raw);
    TraceLine line;
    std::string count;
    fields >> line.sequence >> line.call;
    if (line.call != "STOP") {
      fields >> count >> line.error;
      line.count = count == "-" ? 0 : std::stol(count);
      std::string rest;
      std::getline(fields, rest);
      if (!rest.empty() && rest[0] == ' ') rest.erase(0, 1);
      size_t detail = line.call == "WRITE" ? rest.find(" : ") : std::string::npos;
      line.subject = rest.substr(0, detail);
      if (detail != std::string::npos) {
        // " : fd=<fd> <data>"
        std::string written = rest.substr(detail + 3);
        size_t space = written.find(' ');
        if (written.compare(0, 3, "fd=") == 0) {
          line.fd = std::stoi(written.substr(3, space - 3));
          line.detail = space == std::string::npos ? "" : written.substr(space + 1);
        }
      }
    }
    lines.push_back(std::move(line));
  }
  return lines;
}

std::string echoed_message(const TraceLine& line) {
  static const std::string prefix = "[update-helper] ";
  if (line.call != "WRITE" || line.detail.compare(0, prefix.size(), prefix) != 0) return "";
  return line.detail.substr(prefix.size());
}

}  // namespace faults
