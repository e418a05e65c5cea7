#pragma once

#include <algorithm>
#include <atomic>
#include <cstddef>
#include <exception>
#include <mutex>
#include <system_error>
#include <thread>
#include <vector>

namespace qor {

// Threads a call may use: n_jobs with scikit-learn's meaning (<= 0 counts back
// from the cores: -1 all of them, -2 all but one), never below one.
inline int thread_count(int n_jobs) noexcept {
  const int cores = std::max(1, static_cast<int>(std::thread::hardware_concurrency()));
  return std::max(1, n_jobs > 0 ? n_jobs : cores + 1 + n_jobs);
}

// Threads worth starting for `work` small steps (a row visited once, say):
// below about 2**16 steps per thread, starting one costs more than it saves.
inline int threads_for(std::size_t work, int threads) noexcept {
  constexpr std::size_t kStepsPerThread = std::size_t{1} << 16;
  const std::size_t useful = std::max<std::size_t>(1, work / kStepsPerThread);
  return static_cast<int>(
      std::min<std::size_t>(static_cast<std::size_t>(std::max(threads, 1)), useful));
}

// Calls task(i, worker) for every i in [0, tasks), on at most `threads` threads
// (worker in [0, threads) names the thread, for per-thread scratch). Tasks are
// handed out in order from a shared counter; what a task computes must not
// depend on which worker runs it. With one thread, or one task, everything runs
// on the calling thread and no thread is started. A thread the system refuses
// to start (no memory for its stack, too many threads) is done without: the
// tasks go to the workers that did start, the calling thread at least, and the
// result is the same. The first exception a task throws is rethrown here after
// every thread has stopped.
template <class Task>
void parallel_for(std::size_t tasks, int threads, Task&& task) {
  const auto workers = static_cast<std::size_t>(std::max(1, threads));
  if (workers == 1 || tasks <= 1) {
    for (std::size_t i = 0; i < tasks; ++i) task(i, std::size_t{0});
    return;
  }
  std::atomic<std::size_t> next{0};
  std::atomic<bool> failed{false};
  std::exception_ptr error;
  std::mutex error_mutex;
  const auto work = [&](std::size_t worker) {
    for (std::size_t i; !failed.load(std::memory_order_relaxed) &&
                        (i = next.fetch_add(1, std::memory_order_relaxed)) < tasks;) {
      try {
        task(i, worker);
      } catch (...) {
        const std::lock_guard lock(error_mutex);
        if (!error) error = std::current_exception();
        failed = true;
      }
    }
  };
  const std::size_t started = std::min(workers, tasks) - 1;
  std::vector<std::jthread> pool;
  pool.reserve(started);
  for (std::size_t w = 1; w <= started; ++w) {
    try {
      pool.emplace_back(work, w);
    } catch (const std::system_error&) {
      break;
    }
  }
  work(0);
  pool.clear();  // joins
  if (error) std::rethrow_exception(error);
}

}  // namespace qor
