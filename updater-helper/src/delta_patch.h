// Applying a binary patch of a delta update: the new file from the old one.
#pragma once

#include <cstdint>

#include "result.h"

namespace installer {

// Applies the patch read sequentially from `patch_fd` (from its current
// offset) to the old file `old_fd` of `old_size` bytes, read only at offsets,
// and writes the new file sequentially to `new_fd`. Memory is fixed,
// whatever the sizes. Every length in the patch is checked against the old
// file, the new size the patch declares and what the patch still holds,
// before it is used. Errors: "the patch is damaged: {what}", or the system's
// error of a failed read or write.
support::Result<void> apply_patch(int old_fd, std::uint64_t old_size, int patch_fd, int new_fd);

}  // namespace installer
