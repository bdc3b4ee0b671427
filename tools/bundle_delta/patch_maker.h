// Making the binary patch that turns one file into another.
#pragma once

#include <string>
#include <string_view>

namespace delta {

// A patch that installer::apply_patch turns, applied to `old_bytes`, into
// exactly `new_bytes`. Stored deflated in the delta archive.
std::string make_patch(std::string_view old_bytes, std::string_view new_bytes);

}  // namespace delta
