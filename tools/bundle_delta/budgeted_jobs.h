// Running independent jobs on a few threads without letting the memory they
// hold together grow past a budget.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <vector>

namespace delta {

// Runs `job(i)` once for every i below `costs.size()`, on at most `threads`
// threads (the caller's among them), and returns when all have run. Jobs
// start costliest first; a job starts only while the costs of the jobs
// running, its own included, stay within `budget`, and one that exceeds the
// budget alone runs alone. An exception a job throws is thrown again here
// once every job has run.
void run_within_budget(const std::vector<std::uint64_t>& costs, std::uint64_t budget,
                       unsigned threads, const std::function<void(std::size_t)>& job);

}  // namespace delta
