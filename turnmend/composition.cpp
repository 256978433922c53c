// Resolved-question composition (placeholder definitions).
#include "turnmend/resolver.h"

namespace tessarin::turnmend {

std::string Turnmend::_compose_resolved_question(const std::string& current_question,
                                                 const TurnContextCard&, const IntentDelta&,
                                                 const std::string&,
                                                 const std::vector<ContextCandidate>&,
                                                 const ContextCandidate*) const {
  return current_question;
}
JsonMap Turnmend::_merge_top_candidate_states(const ContextCandidate&,
                                              const std::vector<ContextCandidate>&, std::int64_t) {
  return JsonMap();
}
QuestionParts Turnmend::_state_to_question_parts(const JsonMap&) { return QuestionParts(); }
std::string Turnmend::_filters_to_text(const JsonValue&) { return std::string(); }
std::string Turnmend::_render_question_parts(const QuestionParts&, const std::string& fallback) {
  return fallback;
}
void Turnmend::_apply_numeric_override(QuestionParts&, const IntentDelta&) {}

}  // namespace tessarin::turnmend
