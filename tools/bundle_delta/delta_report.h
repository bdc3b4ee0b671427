// What a run tells its user: the stored files, the totals, and what the
// delta saves against a full update.
#pragma once

#include <cstdint>
#include <string>

#include "delta_plan.h"

namespace delta {

// One line per patched or added file with its size (and the patch's, and
// the patch's base when it is another file) and what the archive stores, a
// line of totals, and "delta archive: {n} bytes, full archive: {m} bytes
// ({percent} %)".
std::string delta_report(const DeltaPlan& plan, std::uint64_t delta_size,
                         std::uint64_t full_size);

}  // namespace delta
