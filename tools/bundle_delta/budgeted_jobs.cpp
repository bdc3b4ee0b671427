#include "budgeted_jobs.h"

#include <algorithm>
#include <condition_variable>
#include <exception>
#include <mutex>
#include <numeric>
#include <system_error>
#include <thread>

namespace delta {
namespace {

class BudgetedQueue {
 public:
  BudgetedQueue(const std::vector<std::uint64_t>& costs, std::uint64_t budget)
      : costs_(costs), budget_(budget), order_(costs.size()) {
    std::iota(order_.begin(), order_.end(), std::size_t{0});
    std::stable_sort(order_.begin(), order_.end(),
                     [&](std::size_t a, std::size_t b) { return costs_[a] > costs_[b]; });
  }

  // Takes jobs until none is left, waiting while none fits the budget.
  void work(const std::function<void(std::size_t)>& job) {
    std::unique_lock<std::mutex> lock(mutex_);
    while (!order_.empty()) {
      auto fits = std::find_if(order_.begin(), order_.end(), [&](std::size_t i) {
        return running_ == 0 || costs_[i] <= budget_ - std::min(budget_, held_);
      });
      if (fits == order_.end()) {
        changed_.wait(lock);
        continue;
      }
      const std::size_t i = *fits;
      order_.erase(fits);
      ++running_;
      held_ += costs_[i];
      lock.unlock();
      try {
        job(i);
      } catch (...) {
        std::lock_guard<std::mutex> failed(mutex_);
        if (!failure_) failure_ = std::current_exception();
      }
      lock.lock();
      --running_;
      held_ -= costs_[i];
      changed_.notify_all();
    }
  }

  void rethrow() const {
    if (failure_) std::rethrow_exception(failure_);
  }

 private:
  const std::vector<std::uint64_t>& costs_;
  const std::uint64_t budget_;
  std::vector<std::size_t> order_;  // jobs not started, costliest first
  std::mutex mutex_;
  std::condition_variable changed_;
  std::size_t running_ = 0;
  std::uint64_t held_ = 0;  // the running jobs' costs
  std::exception_ptr failure_;
};

}  // namespace

void run_within_budget(const std::vector<std::uint64_t>& costs, std::uint64_t budget,
                       unsigned threads, const std::function<void(std::size_t)>& job) {
  BudgetedQueue queue(costs, budget);
  std::vector<std::thread> helpers;
  for (std::size_t t = 1; t < threads && t < costs.size(); ++t) {
    try {
      helpers.emplace_back([&] { queue.work(job); });
    } catch (const std::system_error&) {
      break;  // no thread to be had: the jobs run on those there are
    }
  }
  queue.work(job);
  for (std::thread& helper : helpers) helper.join();
  queue.rethrow();
}

}  // namespace delta
