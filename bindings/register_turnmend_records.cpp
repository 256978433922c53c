// The resolver's records as dataclass-like Python classes: TurnContextCard,
// IntentDelta, ContextCandidate, ContextResolution and ResolverConfig.
#include "record.h"
#include "turnmend_bindings.h"

namespace tessarin::py {

using namespace tessarin::turnmend;
using namespace nb::literals;

constexpr FieldType field_type(Tag<CardRef>) {
  return {"TurnContextCard or None", "TurnContextCard | None"};
}
constexpr FieldType field_type(Tag<IntentDelta>) { return {"IntentDelta", "IntentDelta"}; }
constexpr FieldType field_type(Tag<RequiredColumns>) {
  return {"dict of str to list of str", "collections.abc.Mapping[str, collections.abc.Sequence[str]]"};
}
constexpr FieldType field_type(Tag<std::vector<ContextCandidate>>) {
  return {"list of ContextCandidate", "collections.abc.Sequence[ContextCandidate]"};
}

// The card of a candidate: None, or the caller's card object itself.
template <>
struct FieldConverter<CardRef> {
  static CardRef convert(nb::handle value, const std::string& owner, const char* field) {
    if (value.is_none()) return nullptr;
    CardRef out;
    if (!nb::try_cast<CardRef>(value, out))
      raise_field_type(owner, field, field_type_of<CardRef>().label, value);
    return out;
  }
};

namespace {

void register_card(nb::module_& m) {
  Record<TurnContextCard> card(m, "TurnContextCard",
                               "Compact memory of one earlier AI turn, stored by the caller after "
                               "every successful turn and passed back with the next message.");
  card.field("turn_id", &TurnContextCard::turn_id, required, "Turn id; larger is more recent.")
      .field("session_id", &TurnContextCard::session_id)
      .field("tenant_id", &TurnContextCard::tenant_id)
      .field("user_question", &TurnContextCard::user_question)
      .field("resolved_question", &TurnContextCard::resolved_question)
      .field("assistant_answer_summary", &TurnContextCard::assistant_answer_summary)
      .field("task_type", &TurnContextCard::task_type)
      .field("artifact_type", &TurnContextCard::artifact_type)
      .field("artifact_id", &TurnContextCard::artifact_id)
      .field("artifact_label", &TurnContextCard::artifact_label)
      .field("topic_keywords", &TurnContextCard::topic_keywords)
      .field("entities", &TurnContextCard::entities)
      .field("selected_metadata_ids", &TurnContextCard::selected_metadata_ids)
      .field("query_state", &TurnContextCard::query_state)
      .field("retrieval_state", &TurnContextCard::retrieval_state)
      .field("output_state", &TurnContextCard::output_state)
      .field("sql", &TurnContextCard::sql)
      .field("config", &TurnContextCard::config)
      .field("answer_excerpt", &TurnContextCard::answer_excerpt)
      .field("created_at_ms", &TurnContextCard::created_at_ms, varying)
      .field("quality_score", &TurnContextCard::quality_score)
      .field("is_active", &TurnContextCard::is_active)
      .field("extra", &TurnContextCard::extra);
  nb::class_<TurnContextCard>& cls = card.finish();
  cls.def("searchable_text", &TurnContextCard::searchable_text,
          "The card's text for keyword matching: its questions, summary, types, artifact, "
          "keywords, entities, metadata ids and compact states joined by blanks.")
      .def("tokens", &TurnContextCard::tokens, "tokenize(searchable_text()).")
      .def("active_tables", &TurnContextCard::active_tables,
           "query_state \"active_tables\", else \"tables\", as a list.")
      .def("active_columns", &TurnContextCard::active_columns,
           "query_state \"active_columns\", else \"columns\", as a list.")
      .def("required_columns_by_table", &TurnContextCard::required_columns_by_table,
           "Columns per table from \"required_columns\" / \"columns_by_table\", or the active "
           "columns of a single active table.")
      .def("to_resolver_summary", &TurnContextCard::to_resolver_summary, "max_chars"_a = 1200,
           "Compact map of the card handed to the LLM fallback.")
      .def_static("_compact_state", &TurnContextCard::_compact_state, "state"_a,
                  "The kept state keys of `state`, in the kept-key order.")
      .def_static(
          "from_dict",
          [](nb::handle mapping) {
            return TurnContextCard::from_map(to_json_map(mapping, "a card map"));
          },
          "mapping"_a,
          "Card from a map of field names to values. TypeError for an unknown key, a missing "
          "\"turn_id\" or a value that does not fit its field.");
}

void register_records(nb::module_& m) {
  register_card(m);

  Record<IntentDelta> delta(m, "IntentDelta",
                            "The generic change the current message asks for of a previous "
                            "analysis.");
  delta.field("operation", &IntentDelta::operation)
      .field("granularity", &IntentDelta::granularity)
      .field("dimension_hint", &IntentDelta::dimension_hint)
      .field("metric_hint", &IntentDelta::metric_hint)
      .field("filter_hint", &IntentDelta::filter_hint)
      .field("sort_hint", &IntentDelta::sort_hint)
      .field("compare_hint", &IntentDelta::compare_hint)
      .field("top_n", &IntentDelta::top_n)
      .field("bottom_n", &IntentDelta::bottom_n)
      .field("replace_numeric_value", &IntentDelta::replace_numeric_value)
      .field("raw_hints", &IntentDelta::raw_hints);
  delta.finish().def("to_dict", &IntentDelta::to_dict, "The delta as a map of its 11 fields.");

  Record<ContextCandidate> candidate(m, "ContextCandidate",
                                     "One earlier turn scored as the possible base of the "
                                     "message; `card` is the caller's card object itself.");
  candidate.field("turn_id", &ContextCandidate::turn_id, required)
      .field("score", &ContextCandidate::score, required)
      .field("reasons", &ContextCandidate::reasons)
      .field("card", &ContextCandidate::card);
  candidate.finish().def("to_dict", &ContextCandidate::to_dict,
                         "turn_id, score rounded to 6 places, and reasons.");

  Record<ContextResolution> resolution(m, "ContextResolution",
                                       "The result of resolving one user message.");
  resolution.field("context_type", &ContextResolution::context_type, required)
      .field("current_question", &ContextResolution::current_question, required)
      .field("resolved_question", &ContextResolution::resolved_question, required)
      .field("metadata_search_query", &ContextResolution::metadata_search_query, required)
      .field("base_turn_id", &ContextResolution::base_turn_id)
      .field("use_previous_state", &ContextResolution::use_previous_state)
      .field("intent_delta", &ContextResolution::intent_delta)
      .field("required_tables", &ContextResolution::required_tables)
      .field("required_columns", &ContextResolution::required_columns)
      .field("anchor_metadata_ids", &ContextResolution::anchor_metadata_ids)
      .field("allow_related_tables", &ContextResolution::allow_related_tables)
      .field("confidence", &ContextResolution::confidence)
      .field("reason", &ContextResolution::reason)
      .field("clarification_question", &ContextResolution::clarification_question)
      .field("candidates", &ContextResolution::candidates, nb::rv_policy::copy)
      .field("route", &ContextResolution::route)
      .field("extra", &ContextResolution::extra);
  resolution.finish().def("to_dict", &ContextResolution::to_dict, "include_candidates"_a = true,
                          "The resolution as a map, field by field; \"candidates\" left out "
                          "when include_candidates is false.");

  Record<ResolverConfig> config(m, "ResolverConfig",
                                "Weights, thresholds, limits and switches of the resolver.");
  config.field("max_recent_cards", &ResolverConfig::max_recent_cards)
      .field("max_cards_for_llm_fallback", &ResolverConfig::max_cards_for_llm_fallback)
      .field("followup_threshold", &ResolverConfig::followup_threshold)
      .field("clarification_margin", &ResolverConfig::clarification_margin)
      .field("fresh_question_min_tokens", &ResolverConfig::fresh_question_min_tokens)
      .field("recency_weight", &ResolverConfig::recency_weight)
      .field("keyword_overlap_weight", &ResolverConfig::keyword_overlap_weight)
      .field("entity_overlap_weight", &ResolverConfig::entity_overlap_weight)
      .field("artifact_match_weight", &ResolverConfig::artifact_match_weight)
      .field("explicit_reference_weight", &ResolverConfig::explicit_reference_weight)
      .field("active_card_bonus", &ResolverConfig::active_card_bonus)
      .field("task_type_match_weight", &ResolverConfig::task_type_match_weight)
      .field("prefer_latest_for_pronoun_followup",
             &ResolverConfig::prefer_latest_for_pronoun_followup)
      .field("ask_clarification_when_ambiguous", &ResolverConfig::ask_clarification_when_ambiguous)
      .field("use_llm_fallback", &ResolverConfig::use_llm_fallback)
      .field("llm_fallback_confidence_ceiling", &ResolverConfig::llm_fallback_confidence_ceiling)
      .field("max_metadata_query_terms", &ResolverConfig::max_metadata_query_terms)
      .field("include_previous_required_columns",
             &ResolverConfig::include_previous_required_columns)
      .field("include_anchor_metadata_ids", &ResolverConfig::include_anchor_metadata_ids)
      .field("include_debug_candidates", &ResolverConfig::include_debug_candidates);
  config.finish();
}

}  // namespace

void register_turnmend_records(nb::module_& m) { register_records(m); }

}  // namespace tessarin::py
