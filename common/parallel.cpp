// Numbered tasks on a few native threads.
#include "tessarin/common/parallel.h"

#include <algorithm>
#include <atomic>
#include <system_error>
#include <thread>
#include <vector>

namespace tessarin::parallel {

std::size_t core_count() { return std::max(1u, std::thread::hardware_concurrency()); }

void for_each_index(std::size_t count, std::size_t threads,
                    const std::function<void(std::size_t)>& task) {
  std::atomic<std::size_t> next{0};
  auto work = [&] {
    for (std::size_t i = next++; i < count; i = next++) task(i);
  };
  threads = std::min(threads, count);
  std::vector<std::jthread> pool;
  if (threads > 1) {
    pool.reserve(threads - 1);
    try {
      for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
    } catch (const std::system_error&) {
      // No more threads to be had: those started and this one share the work.
    }
  }
  work();
}  // the pool joins here

}  // namespace tessarin::parallel
