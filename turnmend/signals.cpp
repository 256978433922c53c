// Message signal predicates (placeholder definitions).
#include "turnmend/resolver.h"

namespace tessarin::turnmend {

bool Turnmend::_is_suggestion_request(const std::string&) { return false; }
bool Turnmend::_has_followup_signal(const std::string&) { return false; }
bool Turnmend::_has_modify_signal(const std::string&, const IntentDelta&) { return false; }
bool Turnmend::_has_pronoun_followup(const std::string&) { return false; }
bool Turnmend::_has_ambiguous_reference(const std::string&) { return false; }
bool Turnmend::_looks_like_complete_question(const std::string&) const { return false; }

}  // namespace tessarin::turnmend
