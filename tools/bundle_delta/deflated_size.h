// How large bytes become in the archive, to judge whether a patch pays.
#pragma once

#include <cstdint>
#include <string_view>

namespace delta {

// The size of `bytes` deflated at the best level, as the archive stores them.
std::uint64_t deflated_size(std::string_view bytes);

}  // namespace delta
