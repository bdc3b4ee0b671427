// Applying a binary patch of a delta update: the new file from the old one.
// The format is in delta_patch_format.h.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "platform.h"
#include "result.h"

namespace installer {

// How every message about a damaged patch begins.
inline constexpr std::string_view kDamagedDelta = "the delta update is damaged: ";

// Applies the patch file `patch_fd` (a regular file, read at offsets from its
// start) to the old file `old_fd` of `old_size` bytes, read only at offsets,
// and writes the new file sequentially to `new_fd`. The patch must declare
// `new_size` bytes, checked before the first byte is written; every length
// in it is checked against the old file, that size and what the patch still
// holds before it is used, so nothing beyond `new_size` is ever written.
// Memory is fixed, whatever the sizes: three decoders with their
// dictionaries, bounded, four buffers and 1 MiB of the old file's blocks. Yields the SHA-256 of the bytes
// written. Errors: "the delta update is damaged: the patch of {name}
// {what}", or the system's error of a failed read or write.
support::Result<support::platform::Sha256Digest> apply_patch(int old_fd, std::uint64_t old_size,
                                                             int patch_fd, int new_fd,
                                                             std::uint64_t new_size,
                                                             std::string_view name);

// Whether `error` from apply_patch says that the patch is damaged.
bool is_damaged_patch(const std::string& error);

}  // namespace installer
