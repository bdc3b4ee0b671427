// Writing ZIP archives as the installer's extraction (ditto -x -k) reads
// them.
#pragma once

#include <string>
#include <vector>

#include "result.h"
#include "zip_item.h"

namespace delta {

// Writes `items` in order to `archive` (replacing it), files deflated at the
// best level (but those compressed already), with a fixed time so that equal input gives equal archives.
// Files with a source path are read one at a time while the archive is
// written. Error: "cannot write {archive}: {cause}".
support::Result<void> write_zip(const std::string& archive, const std::vector<ZipItem>& items);

}  // namespace delta
