#include "bundle_version.h"

#include <vector>

#include "bundle_verification.h"
#include "path.h"
#include "utf8.h"

namespace installer {
namespace {

constexpr const char* kInfoPlist = "Contents/Info.plist";
constexpr const char* kVersionKey = "CFBundleVersion";

// The components without their leading zeros; nothing unless every one is a
// non-empty run of digits.
std::optional<std::vector<std::string_view>> components(std::string_view version) {
  std::vector<std::string_view> parts;
  for (;;) {
    size_t dot = version.find('.');
    std::string_view part = version.substr(0, dot);
    if (part.empty()) return std::nullopt;
    for (char c : part) {
      if (c < '0' || c > '9') return std::nullopt;
    }
    part.remove_prefix(std::min(part.find_first_not_of('0'), part.size()));
    parts.push_back(part);
    if (dot == std::string_view::npos) return parts;
    version.remove_prefix(dot + 1);
  }
}

// Digit runs without leading zeros: the longer is the larger.
int compare_numbers(std::string_view a, std::string_view b) {
  if (a.size() != b.size()) return a.size() < b.size() ? -1 : 1;
  return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

}  // namespace

std::optional<int> compare_bundle_versions(std::string_view a, std::string_view b) {
  std::optional<std::vector<std::string_view>> left = components(a), right = components(b);
  if (!left || !right) return std::nullopt;
  for (size_t i = 0; i < std::max(left->size(), right->size()); ++i) {
    std::string_view x = i < left->size() ? (*left)[i] : std::string_view();
    std::string_view y = i < right->size() ? (*right)[i] : std::string_view();
    if (int order = compare_numbers(x, y); order != 0) return order;
  }
  return 0;
}

std::string comparable_bundle_version(std::string_view value) {
  return support::trim_unicode_white_space(support::lossy_utf8(value));
}

std::optional<std::string> bundle_version_fault(std::string_view version) {
  if (version.empty()) return "is empty";
  if (version.find('\n') != std::string_view::npos) return "holds a line feed";
  return std::nullopt;
}

support::Result<std::string> read_bundle_version(const std::string& bundle, const Tools& tools,
                                                 bool* value_at_fault) {
  support::Result<std::string> printed =
      read_plist_key(support::join(bundle, kInfoPlist), kVersionKey, tools, value_at_fault);
  if (!printed) return printed;
  return comparable_bundle_version(*printed);
}

support::Result<std::string> read_installed_version(const std::string& target,
                                                    const Tools& tools) {
  bool value_at_fault = false;
  support::Result<std::string> version = read_bundle_version(target, tools, &value_at_fault);
  if (version) return version;
  // The value's own faults are told as "the application's Info.plist", the
  // new bundle's words; the others (PlistBuddy not run, a property list that
  // is no file) name their cause and stay as they are.
  if (!value_at_fault) return version;
  return support::Error(
      "could not read CFBundleVersion from the installed application's Info.plist");
}

support::Result<void> check_not_older(const std::string& bundle, const std::string& target,
                                      const Tools& tools) {
  support::Result<std::string> installed = read_installed_version(target, tools);
  if (!installed) return std::move(installed).take_error();
  support::Result<std::string> update = read_bundle_version(bundle, tools);
  if (!update) return std::move(update).take_error();

  std::optional<int> order = compare_bundle_versions(*update, *installed);
  if (!order) {
    return support::Error("cannot compare bundle versions " + support::printable(*update) +
                          " and " + support::printable(*installed));
  }
  if (*order < 0) {
    return support::Error("the update (version " + support::printable(*update) +
                          ") is older than the installed application (version " +
                          support::printable(*installed) + ")");
  }
  return support::success();
}

}  // namespace installer
