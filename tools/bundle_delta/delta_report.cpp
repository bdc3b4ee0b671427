#include "delta_report.h"

#include <cstdio>

#include "utf8.h"

namespace delta {
namespace {

std::string percent(std::uint64_t part, std::uint64_t whole) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", whole == 0 ? 0.0 : 100.0 * part / whole);
  return text;
}

}  // namespace

std::string delta_report(const DeltaPlan& plan, std::uint64_t delta_size,
                         std::uint64_t full_size) {
  std::string report;
  std::size_t patched = 0, added = 0;
  for (const StoredFile& file : plan.stored) {
    const std::string size = std::to_string(file.size) + " bytes";
    if (file.source == installer::DeltaEntry::Source::patched) {
      ++patched;
      report += "patched " + support::printable(file.path) + ": " + size + ", patch " +
                std::to_string(file.patch_size) + " bytes";
      if (file.base_path != file.path) report += " from " + support::printable(file.base_path);
    } else {
      ++added;
      report += "added " + support::printable(file.path) + ": " + size + ", " +
                std::to_string(file.deflated_size) + " deflated";
    }
    report += "\n";
  }
  report += "kept " + std::to_string(plan.kept) + " files, patched " + std::to_string(patched) +
            ", added " + std::to_string(added) + "\n";
  report += "delta archive: " + std::to_string(delta_size) + " bytes, full archive: " +
            std::to_string(full_size) + " bytes (" + percent(delta_size, full_size) + " %)\n";
  return report;
}

}  // namespace delta
