// The tool root is compiled into each program and fixed when the project is
// configured: nothing at run time (environment, arguments, PATH) changes it.
#include "tools.h"

#ifndef ZENTRIVALE_TOOL_ROOT
#error "ZENTRIVALE_TOOL_ROOT is set by the build"
#endif

namespace installer {

Tools Tools::installed() { return under(ZENTRIVALE_TOOL_ROOT); }

}  // namespace installer
