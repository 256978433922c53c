// Candidate ranking and reference detection (placeholder definitions).
#include "turnmend/resolver.h"

namespace tessarin::turnmend {

std::vector<ContextCandidate> Turnmend::_rank_candidates(const std::string&, const CardList&,
                                                         std::optional<std::int64_t>,
                                                         const std::optional<std::string>&,
                                                         std::optional<std::int64_t>,
                                                         const std::optional<std::string>&) const {
  return {};
}

const ContextCandidate* Turnmend::_choose_base_for_contextual_request(const ContextCandidate*,
                                                                      const ContextCandidate*,
                                                                      const std::string&,
                                                                      bool) const {
  return nullptr;
}

std::optional<std::int64_t> Turnmend::_detect_explicit_turn_reference(const std::string&) {
  return std::nullopt;
}

std::optional<std::string> Turnmend::_detect_artifact_reference(const std::string&) {
  return std::nullopt;
}

bool Turnmend::_artifact_matches(const std::string&, const TurnContextCard&) { return false; }

std::string Turnmend::_build_ambiguity_question(const std::vector<ContextCandidate>&) {
  return std::string();
}

}  // namespace tessarin::turnmend
