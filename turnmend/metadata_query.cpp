// Metadata search query and base constraints (placeholder definitions).
#include "turnmend/resolver.h"

namespace tessarin::turnmend {

std::string Turnmend::_compose_metadata_search_query(const std::string&, const TurnContextCard&,
                                                     const IntentDelta&, const std::string&) const {
  return std::string();
}
std::pair<StringList, RequiredColumns> Turnmend::_constraints_from_base(const TurnContextCard&,
                                                                        const IntentDelta&) const {
  return {};
}
std::string Turnmend::_limit_query_terms(const std::string&) const { return std::string(); }

}  // namespace tessarin::turnmend
