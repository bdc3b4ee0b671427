#include "tools.h"

namespace installer {

Tools Tools::under(const std::string& root) {
  return Tools{root + "/usr/bin/ditto", root + "/usr/libexec/PlistBuddy",
               root + "/usr/bin/codesign", root + "/usr/sbin/spctl", root + "/usr/bin/open"};
}

}  // namespace installer
