// The message signals of one resolve, read with the message lower-cased once
// (each Turnmend signal predicate, called alone, lowers it itself).
#pragma once

#include <string>

#include "tessarin/turnmend/resolver.h"

namespace tessarin::turnmend::detail {

struct MessageSignals {
  bool suggestion = false;
  bool followup = false;
  bool modification = false;
  bool complete = false;
  bool ambiguous = false;
};

// Exactly _is_suggestion_request, _has_followup_signal, _has_modify_signal,
// _looks_like_complete_question and _has_ambiguous_reference of the question.
MessageSignals message_signals(const Turnmend& resolver, const std::string& question,
                               const IntentDelta& delta);

}  // namespace tessarin::turnmend::detail
