#include "tool_arguments.h"

#include <optional>

#include "utf8.h"

namespace delta {

support::Result<ToolArguments> parse_tool_arguments(const std::vector<std::string>& arguments) {
  std::optional<std::string> from, to, output, full_archive;
  const std::pair<const char*, std::optional<std::string>*> options[] = {
      {"--from", &from}, {"--to", &to}, {"--output", &output}, {"--full-archive", &full_archive}};
  for (size_t i = 0; i < arguments.size(); ++i) {
    std::optional<std::string>* slot = nullptr;
    for (const auto& [name, value] : options) {
      if (arguments[i] == name) slot = value;
    }
    if (!slot) return support::Error("unknown argument: " + support::printable(arguments[i]));
    if (*slot) return support::Error(arguments[i] + " given twice");
    if (i + 1 == arguments.size()) return support::Error(arguments[i] + " requires a value");
    *slot = arguments[++i];
  }
  for (const auto& [name, value] : options) {
    if (!*value && value != &full_archive) return support::Error(std::string(name) + " is required");
  }
  return ToolArguments{*from, *to, *output, full_archive.value_or("")};
}

}  // namespace delta
