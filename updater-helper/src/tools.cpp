#include "tools.h"

#ifndef ZENTRIVALE_TOOL_ROOT
#error "ZENTRIVALE_TOOL_ROOT is set by the build"
#endif

namespace installer {

Tools Tools::under(const std::string& root) {
  return Tools{root + "/usr/bin/ditto", root + "/usr/libexec/PlistBuddy",
               root + "/usr/bin/codesign", root + "/usr/sbin/spctl", root + "/usr/bin/open"};
}

Tools Tools::installed() { return under(ZENTRIVALE_TOOL_ROOT); }

}  // namespace installer
