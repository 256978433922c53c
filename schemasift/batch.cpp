// Batch selection: many questions on one prepared catalog, spread over a
// few native threads that share nothing mutable but a question counter.
#include <algorithm>
#include <atomic>
#include <exception>
#include <thread>

#include "tessarin/schemasift/selector.h"

namespace tessarin::schemasift {

std::vector<MetadataSelectionResult> Schemasift::select_many(
    const std::vector<std::string>& questions, const PreparedCatalog& catalog,
    const SelectOptions& options, std::size_t threads) const {
  std::vector<MetadataSelectionResult> results(questions.size());
  std::vector<std::exception_ptr> errors(questions.size());
  std::atomic<std::size_t> next{0};
  // An interrupt (KeyboardInterrupt in Python) starts no further question.
  std::atomic<bool> interrupted{false};

  auto work = [&] {
    for (std::size_t i = next++; i < questions.size() && !interrupted; i = next++) {
      try {
        results[i] = select(questions[i], catalog, options);
      } catch (const FacilityInterrupted&) {
        errors[i] = std::current_exception();
        interrupted = true;
      } catch (...) {
        errors[i] = std::current_exception();
      }
    }
  };

  if (threads == 0) threads = std::max(1u, std::thread::hardware_concurrency());
  threads = std::min(threads, questions.size());
  if (threads <= 1) {
    work();
  } else {
    std::vector<std::jthread> pool;
    pool.reserve(threads - 1);
    for (std::size_t t = 1; t < threads; ++t) pool.emplace_back(work);
    work();
  }  // the pool joins here

  for (const std::exception_ptr& error : errors)
    if (error) std::rethrow_exception(error);
  return results;
}

}  // namespace tessarin::schemasift
