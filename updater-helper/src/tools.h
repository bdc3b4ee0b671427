// The macOS tools the installer runs, each by its full path.
#pragma once

#include <string>

namespace installer {

struct Tools {
  std::string ditto;
  std::string plist_buddy;
  std::string codesign;
  std::string spctl;
  std::string open;

  // The tools under `root`, e.g. root + "/usr/bin/ditto".
  static Tools under(const std::string& root);

  // The tools of this build: under the tool root fixed when the project was
  // configured (empty for the shipped macOS installer, so "/usr/bin/ditto").
  // Nothing at run time changes it.
  static Tools installed();
};

}  // namespace installer
