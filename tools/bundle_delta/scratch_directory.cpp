#include "scratch_directory.h"

#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <vector>

#include "os_error.h"
#include "path.h"
#include "utf8.h"
#include "tree_removal.h"

namespace delta {

support::Result<ScratchDirectory> ScratchDirectory::beside(const std::string& output) {
  std::string directory = support::parent(output).value_or("");
  std::string name = support::file_name(output).value_or("delta");
  std::string pattern = support::join(directory.empty() ? "." : directory, "." + name + ".XXXXXX");
  std::vector<char> buffer(pattern.begin(), pattern.end());
  buffer.push_back('\0');
  if (!::mkdtemp(buffer.data())) {
    return support::Error("cannot create a temporary directory beside " + support::printable(output) +
                          ": " + support::os_error_text(errno));
  }
  return ScratchDirectory(buffer.data());
}

ScratchDirectory::~ScratchDirectory() {
  // Nothing to report to: the run's outcome is already decided.
  if (!path_.empty()) (void)installer::remove_tree(path_);
}

}  // namespace delta
