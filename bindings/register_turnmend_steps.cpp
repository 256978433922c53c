// The resolver's steps as methods of Turnmend (underscore names): the
// pipeline, ranking, message signals, intent delta, question composition,
// metadata query and fallback steps, each callable on its own.
#include "turnmend_bindings.h"

namespace tessarin::py {

using namespace tessarin::turnmend;
using namespace nb::literals;

namespace {

void register_pipeline_steps(TurnmendClass& cls) {
  cls.def(
         "_fresh",
         [](const Turnmend& self, const std::string& current_question, nb::handle candidates,
            const std::string& reason) {
           return self._fresh(current_question, candidate_list(candidates), reason);
         },
         "current_question"_a, "candidates"_a = nb::none(), "reason"_a = "",
         "A fresh-question resolution of the message.")
      .def(
          "_clarify",
          [](const Turnmend& self, const std::string& current_question, nb::handle candidates,
             const std::string& reason, const std::string& question) {
            return self._clarify(current_question, candidate_list(candidates), reason, question);
          },
          "current_question"_a, "candidates"_a, "reason"_a, "question"_a,
          "A clarification resolution asking `question` back.")
      .def(
          "_build_contextual_resolution",
          [](const Turnmend& self, const std::string& context_type,
             const std::string& current_question, const ContextCandidate& base_candidate,
             const IntentDelta& intent_delta, nb::handle candidates, const std::string& route,
             const std::string& reason) {
            return self._build_contextual_resolution(context_type, current_question, base_candidate,
                                                     intent_delta, candidate_list(candidates),
                                                     route, reason);
          },
          "context_type"_a, "current_question"_a, "base_candidate"_a, "intent_delta"_a,
          "candidates"_a, "route"_a, "reason"_a, "A resolution built on the base candidate's card.")
      .def(
          "_finalize_resolution",
          [](const Turnmend& self, const ContextResolution& resolution, nb::handle cards,
             const JsonMap& preliminary) {
            return self._finalize_resolution(resolution, card_list(cards, false), preliminary);
          },
          "resolution"_a, "cards"_a, "preliminary"_a,
          "Offer a resolution below the confidence ceiling to the LLM fallback.")
      .def(
          "_normalize_cards",
          [](const Turnmend&, nb::handle cards) {
            return cards_to_python(Turnmend::_normalize_cards(card_sources(cards)));
          },
          "cards"_a, "Cards kept as given, card maps turned into cards, other items skipped.")
      .def(
          "_recent_cards",
          [](const Turnmend& self, nb::handle cards) {
            return cards_to_python(self._recent_cards(card_list(cards, false)));
          },
          "cards"_a, "The active cards (all when none is active), most recent first, capped.")
      .def(
          "_latest_active_turn_id",
          [](const Turnmend&, nb::handle cards) {
            return Turnmend::_latest_active_turn_id(card_list(cards, true));
          },
          "cards"_a, "Largest turn_id among the active cards, or None.");
}

void register_ranking_steps(TurnmendClass& cls) {
  cls.def(
         "_rank_candidates",
         [](const Turnmend& self, const std::string& current_question, nb::handle cards,
            std::optional<std::int64_t> explicit_turn_id,
            std::optional<std::string> explicit_artifact_ref,
            std::optional<std::int64_t> active_turn_id,
            std::optional<std::string> preferred_task_type) {
           return self._rank_candidates(current_question, card_list(cards, false), explicit_turn_id,
                                        explicit_artifact_ref, active_turn_id, preferred_task_type);
         },
         "current_question"_a, "cards"_a, "explicit_turn_id"_a = nb::none(),
         "explicit_artifact_ref"_a = nb::none(), "active_turn_id"_a = nb::none(),
         "preferred_task_type"_a = nb::none(), "One scored candidate per card, best first.")
      .def(
          "_choose_base_for_contextual_request",
          [](const Turnmend& self, nb::handle best, nb::handle second,
             const std::string& current_question, bool ambiguous_reference) -> nb::object {
            const ContextCandidate* chosen = self._choose_base_for_contextual_request(
                optional_candidate(best, "best"), optional_candidate(second, "second"),
                current_question, ambiguous_reference);
            return chosen ? nb::borrow(best) : nb::none();
          },
          "best"_a.none(), "second"_a.none(), "current_question"_a, "ambiguous_reference"_a,
          "The best candidate when it is a safe base, else None.")
      .def(
          "_detect_explicit_turn_reference",
          [](const Turnmend&, const std::string& question) {
            return Turnmend::_detect_explicit_turn_reference(question);
          },
          "question"_a, "Turn number named in the message, or None.")
      .def(
          "_detect_artifact_reference",
          [](const Turnmend&, const std::string& question) {
            return Turnmend::_detect_artifact_reference(question);
          },
          "question"_a, "Artifact reference text of the message, or None.")
      .def(
          "_artifact_matches",
          [](const Turnmend&, const std::string& ref, const TurnContextCard& card) {
            return Turnmend::_artifact_matches(ref, card);
          },
          "ref"_a, "card"_a, "Whether the artifact reference names the card.")
      .def(
          "_build_ambiguity_question",
          [](const Turnmend&, nb::handle candidates) {
            return Turnmend::_build_ambiguity_question(candidate_list(candidates));
          },
          "candidates"_a, "The question asking which previous result to use.");
}

void register_signal_steps(TurnmendClass& cls) {
  auto predicate = [&cls](const char* name, bool (*fn)(const std::string&), const char* doc) {
    cls.def(
        name, [fn](const Turnmend&, const std::string& question) { return fn(question); },
        "question"_a, doc);
  };
  predicate("_is_suggestion_request", &Turnmend::_is_suggestion_request,
            "Whether the message asks for suggestions or next questions.");
  predicate("_has_followup_signal", &Turnmend::_has_followup_signal,
            "Whether the message carries a follow-up term or a clarification-risk phrase.");
  predicate("_has_pronoun_followup", &Turnmend::_has_pronoun_followup,
            "Whether the message refers back with a pronoun-like word.");
  predicate("_has_ambiguous_reference", &Turnmend::_has_ambiguous_reference,
            "Whether answering without asking back is risky.");
  cls.def(
         "_has_modify_signal",
         [](const Turnmend&, const std::string& question, const IntentDelta& delta) {
           return Turnmend::_has_modify_signal(question, delta);
         },
         "question"_a, "delta"_a, "Whether the message asks to change a previous result.")
      .def("_looks_like_complete_question", &Turnmend::_looks_like_complete_question, "question"_a,
           "Whether the message reads as a complete standalone question.");
}

void register_delta_steps(TurnmendClass& cls) {
  auto hint = [&cls](const char* name, std::optional<std::string> (*fn)(const std::string&),
                     const char* doc) {
    cls.def(
        name, [fn](const Turnmend&, const std::string& q) { return fn(q); }, "q"_a, doc);
  };
  cls.def(
      "_extract_intent_delta",
      [](const Turnmend&, const std::string& question) {
        return Turnmend::_extract_intent_delta(question);
      },
      "question"_a, "The change of a previous analysis that the message asks for.");
  hint("_extract_metric_hint", &Turnmend::_extract_metric_hint,
       "Metric named after an aggregation word of the normalized message, or None.");
  hint("_extract_dimension_hint", &Turnmend::_extract_dimension_hint,
       "Grouping dimension of the normalized message, or None.");
  hint("_extract_filter_hint", &Turnmend::_extract_filter_hint,
       "Filter text of the normalized message, or None.");
  cls.def_static("_clean_hint", &Turnmend::_clean_hint, "hint"_a,
                 "A captured hint cut at its first stop word, trimmed; \"\" when unusable.");
}

void register_composition_steps(TurnmendClass& cls) {
  cls.def(
         "_compose_resolved_question",
         [](const Turnmend& self, const std::string& current_question, const TurnContextCard& base,
            const IntentDelta& delta, const std::string& context_type, nb::handle candidates,
            nb::handle base_candidate) {
           return self._compose_resolved_question(
               current_question, base, delta, context_type, candidate_list(candidates),
               optional_candidate(base_candidate, "base_candidate"));
         },
         "current_question"_a, "base"_a, "delta"_a, "context_type"_a, "candidates"_a = nb::none(),
         "base_candidate"_a = nb::none(), "The standalone question for the caller's LLM.")
      .def(
          "_merge_top_candidate_states",
          [](const Turnmend&, const ContextCandidate& base_candidate, nb::handle candidates,
             std::int64_t top_n) {
            return Turnmend::_merge_top_candidate_states(base_candidate, candidate_list(candidates),
                                                         top_n);
          },
          "base_candidate"_a, "candidates"_a, "top_n"_a = 3,
          "Query states of the top candidates merged into one.")
      .def(
          "_state_to_question_parts",
          [](const Turnmend&, const JsonMap& state) {
            return Turnmend::_state_to_question_parts(state);
          },
          "state"_a, "Metric, grouping, filter and granularity texts of a query state.")
      .def(
          "_filters_to_text",
          [](const Turnmend&, const JsonValue& filters) {
            return Turnmend::_filters_to_text(filters);
          },
          "filters"_a.none(), "Text of a state's filters.")
      .def(
          "_render_question_parts",
          [](const Turnmend&, nb::handle parts, const std::string& fallback) {
            return Turnmend::_render_question_parts(question_parts(parts), fallback);
          },
          "parts"_a, "fallback"_a, "The \"Show ...\" sentence of the parts, or the fallback.")
      .def(
          "_apply_numeric_override",
          [](const Turnmend&, nb::handle parts, const IntentDelta& delta) {
            QuestionParts converted = question_parts(parts);
            QuestionParts before = converted;
            Turnmend::_apply_numeric_override(converted, delta);
            for (const auto& [key, value] : converted) {
              const std::string* old = before.find(key);
              if (!old || *old != value)
                PyDict_SetItemString(parts.ptr(), key.c_str(),
                                     nb::str(value.data(), value.size()).ptr());
            }
          },
          "parts"_a, "delta"_a,
          "Replace the last number of the filter (else metric) part, in place.");
}

void register_query_steps(TurnmendClass& cls) {
  cls.def("_compose_metadata_search_query", &Turnmend::_compose_metadata_search_query,
          "current_question"_a, "base"_a, "delta"_a, "resolved_question"_a,
          "Short keyword query for metadata selection.")
      .def("_constraints_from_base", &Turnmend::_constraints_from_base, "base"_a, "delta"_a,
           "(required tables, required columns per table) carried over from the base card.")
      .def("_limit_query_terms", &Turnmend::_limit_query_terms, "text"_a,
           "At most max_metadata_query_terms distinct words of the text, most frequent first.");
}

void register_fallback_steps(TurnmendClass& cls) {
  cls.def(
         "_try_llm_fallback",
         [](const Turnmend& self, const std::string& current_question, nb::handle cards,
            const JsonMap& preliminary) {
           return self._try_llm_fallback(current_question, card_list(cards, false), preliminary);
         },
         "current_question"_a, "cards"_a, "preliminary"_a,
         "The fallback callable's resolution, or None when it is off, absent or unusable.")
      .def(
          "_resolution_from_llm_dict",
          [](const Turnmend& self, const std::string& current_question, const JsonValue& data,
             nb::handle cards) {
            return self._resolution_from_llm_dict(current_question, data, card_list(cards, false));
          },
          "current_question"_a, "data"_a.none(), "cards"_a,
          "A resolution read from a fallback answer map (raises when it is unusable).");
}

}  // namespace

void register_turnmend_steps(TurnmendClass& cls) {
  register_pipeline_steps(cls);
  register_ranking_steps(cls);
  register_signal_steps(cls);
  register_delta_steps(cls);
  register_composition_steps(cls);
  register_query_steps(cls);
  register_fallback_steps(cls);
}

}  // namespace tessarin::py
