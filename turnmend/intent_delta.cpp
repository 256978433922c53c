// Intent delta extraction (placeholder definitions).
#include "turnmend/resolver.h"

namespace tessarin::turnmend {

IntentDelta Turnmend::_extract_intent_delta(const std::string&) { return IntentDelta(); }
std::optional<std::string> Turnmend::_extract_metric_hint(const std::string&) {
  return std::nullopt;
}
std::optional<std::string> Turnmend::_extract_dimension_hint(const std::string&) {
  return std::nullopt;
}
std::optional<std::string> Turnmend::_extract_filter_hint(const std::string&) {
  return std::nullopt;
}
std::string Turnmend::_clean_hint(const std::string&) { return std::string(); }

}  // namespace tessarin::turnmend
