// Batch selection: many questions on one prepared catalog, spread over a
// few native threads that share nothing mutable but a question counter.
#include <atomic>
#include <exception>

#include "tessarin/common/parallel.h"
#include "tessarin/schemasift/selector.h"

namespace tessarin::schemasift {

std::vector<MetadataSelectionResult> Schemasift::select_many(
    const std::vector<std::string>& questions, const PreparedCatalog& catalog,
    const SelectOptions& options, std::size_t threads) const {
  std::vector<MetadataSelectionResult> results(questions.size());
  std::vector<std::exception_ptr> errors(questions.size());
  // An interrupt (KeyboardInterrupt in Python) starts no further question.
  std::atomic<bool> interrupted{false};
  auto answer = [&](std::size_t i) {
    if (interrupted) return;
    try {
      results[i] = select(questions[i], catalog, options);
    } catch (const FacilityInterrupted&) {
      errors[i] = std::current_exception();
      interrupted = true;
    } catch (...) {
      errors[i] = std::current_exception();
    }
  };
  parallel::for_each_index(questions.size(), threads == 0 ? parallel::core_count() : threads,
                           answer);

  for (const std::exception_ptr& error : errors)
    if (error) std::rethrow_exception(error);
  return results;
}

}  // namespace tessarin::schemasift
