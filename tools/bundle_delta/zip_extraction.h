// Extracting ZIP archives without writing outside the destination.
#pragma once

#include <string>

#include "result.h"

namespace delta {

// Extracts `archive` into the existing directory `destination`: directories,
// files and links with their permission bits. Refuses, before writing it,
// any entry named absolutely or with an empty, "." or ".." component, and
// never writes through a link, so nothing lands outside `destination`.
// Error: "cannot extract {archive}: {cause}".
support::Result<void> extract_zip(const std::string& archive, const std::string& destination);

}  // namespace delta
