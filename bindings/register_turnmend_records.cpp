// The resolver's records as dataclass-like Python classes: TurnContextCard,
// IntentDelta, ContextCandidate, ContextResolution and ResolverConfig.
#include "record.h"
#include "turnmend_bindings.h"

namespace tessarin::py {

using namespace tessarin::turnmend;
using namespace nb::literals;

inline FieldType field_type(Tag<CardRef>) {
  return {"TurnContextCard or None", "TurnContextCard | None"};
}
inline FieldType field_type(Tag<IntentDelta>) { return {"IntentDelta", "IntentDelta"}; }
inline FieldType field_type(Tag<RequiredColumns>) {
  return {"dict of str to list of str",
          "collections.abc.Mapping[str, collections.abc.Sequence[str]]"};
}
inline FieldType field_type(Tag<std::vector<ContextCandidate>>) {
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
  card.field("turn_id", &TurnContextCard::turn_id, required,
             "id of the turn; a larger id is a more recent turn")
      .field("session_id", &TurnContextCard::session_id, "your session key; carried, not read")
      .field("tenant_id", &TurnContextCard::tenant_id, "your tenant key; carried, not read")
      .field("user_question", &TurnContextCard::user_question, "the user's message of that turn")
      .field("resolved_question", &TurnContextCard::resolved_question,
             "the standalone question that turn answered")
      .field("assistant_answer_summary", &TurnContextCard::assistant_answer_summary,
             "short summary of the AI output")
      .field("task_type", &TurnContextCard::task_type,
             "\"text_to_sql\", \"text_to_config\", \"document_qa\", \"rag\", "
             "\"chart_generation\", \"report_generation\", \"general_answer\", \"unknown\" "
             "(or any other string)")
      .field("artifact_type", &TurnContextCard::artifact_type,
             "\"sql\", \"json_config\", \"text_answer\", \"chart\", \"table\", "
             "\"document_summary\", \"retrieval_answer\", \"unknown\" (or any other string)")
      .field("artifact_id", &TurnContextCard::artifact_id,
             "your id of the artifact (chart, table, widget); a message naming it points at "
             "this card (*chart 7* and *chart #7* match `chart_7`, *revenue_2023* matches "
             "`revenue_2023`; so does `artifact_type` + \"_\" + `turn_id`, e.g. *chart 1* "
             "for a chart of turn 1)")
      .field("artifact_label", &TurnContextCard::artifact_label,
             "human label of the artifact; matched the same way")
      .field("topic_keywords", &TurnContextCard::topic_keywords, "topic words of the turn")
      .field("entities", &TurnContextCard::entities,
             "entity and metadata names (tables, columns, ...)")
      .field("selected_metadata_ids", &TurnContextCard::selected_metadata_ids,
             "ids such as `\"table:sales_orders\"`, `\"column:sales_orders.region\"`; "
             "returned as `anchor_metadata_ids`")
      .field("query_state", &TurnContextCard::query_state,
             "structured state of the produced query, see below")
      .field("retrieval_state", &TurnContextCard::retrieval_state,
             "structured state of a retrieval turn")
      .field("output_state", &TurnContextCard::output_state,
             "structured state of the output (chart type, axes, ...)")
      .field("sql", &TurnContextCard::sql, "the generated query; carried, not read")
      .field("config", &TurnContextCard::config, "the generated configuration; carried, not read")
      .field("answer_excerpt", &TurnContextCard::answer_excerpt,
             "excerpt of the answer; carried, not read")
      .field("created_at_ms", &TurnContextCard::created_at_ms, varying,
             "creation time; carried, not read")
      .field("quality_score", &TurnContextCard::quality_score,
             "your rating of the turn, 0 to 1; multiplies the card's ranking score")
      .field("is_active", &TurnContextCard::is_active,
             "whether the result is still active; when some cards are active only those are "
             "considered")
      .field("extra", &TurnContextCard::extra, "free data of yours");
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
  resolution
      .field("context_type", &ContextResolution::context_type, required,
             "\"fresh_question\", \"follow_up_latest\", \"follow_up_specific_turn\", "
             "\"modify_previous_query\", \"suggestion_request\" or \"clarification_needed\"")
      .field("current_question", &ContextResolution::current_question, required,
             "the message, trimmed")
      .field("resolved_question", &ContextResolution::resolved_question, required,
             "a standalone instruction for your LLM")
      .field("metadata_search_query", &ContextResolution::metadata_search_query, required,
             "a short keyword query: give it to `Schemasift.select`")
      .field("base_turn_id", &ContextResolution::base_turn_id,
             "the turn the message builds on, or null")
      .field("use_previous_state", &ContextResolution::use_previous_state,
             "true when built on a base turn")
      .field("intent_delta", &ContextResolution::intent_delta,
             "the change asked for: `operation` (\"add_granularity\", \"replace_group_by\", "
             "\"set_top_n\", \"add_filter\", ...) and its hints")
      .field("required_tables", &ContextResolution::required_tables,
             "carried over from the base turn: pass them to `select(..., "
             "required_tables=...)`")
      .field("required_columns", &ContextResolution::required_columns,
             "carried over from the base turn: pass them to `select(..., "
             "required_tables=...)`")
      .field("anchor_metadata_ids", &ContextResolution::anchor_metadata_ids,
             "the base card's `selected_metadata_ids` (when `include_anchor_metadata_ids`)")
      .field("allow_related_tables", &ContextResolution::allow_related_tables,
             "whether selection may add tables beyond the required ones")
      .field("confidence", &ContextResolution::confidence,
             "0.0 to 0.99 for contextual resolutions; 0.95 for fresh questions; 0.0 for "
             "clarifications")
      .field("reason", &ContextResolution::reason,
             "a fixed English sentence saying which rule decided")
      .field("clarification_question", &ContextResolution::clarification_question,
             "for \"clarification_needed\": the question to ask the user (\"Which previous "
             "result should I use? turn 1: ...\")")
      .field("candidates", &ContextResolution::candidates, nb::rv_policy::copy,
             "the ranked cards: `turn_id`, `score` (6 decimals), `reasons` (\"explicit turn "
             "reference: 3\", \"active card\", \"latest active turn\", \"recent turn\", "
             "\"keyword overlap 0.50\", ...)")
      .field("route", &ContextResolution::route,
             "what to do next: \"generate\", \"clarify\" or \"suggest\"")
      .field("extra", &ContextResolution::extra,
             "`base_task_type`, `base_artifact_type`, `base_artifact_id` of the base card");
  resolution.finish().def("to_dict", &ContextResolution::to_dict, "include_candidates"_a = true,
                          "The resolution as a map, field by field; \"candidates\" left out "
                          "when include_candidates is false.");

  Record<ResolverConfig> config(m, "ResolverConfig",
                                "Weights, thresholds, limits and switches of the resolver.");
  config
      .field("max_recent_cards", &ResolverConfig::max_recent_cards,
             "At most this many cards (active ones, most recent first) are considered.")
      .field("max_cards_for_llm_fallback", &ResolverConfig::max_cards_for_llm_fallback,
             "At most this many card summaries are passed to the callable.")
      .field("followup_threshold", &ResolverConfig::followup_threshold,
             "A card scoring at least this is a safe base for a follow-up or modification. "
             "Below it, a base is taken only for a pronoun follow-up (\"it\", \"that\", ...)"
             " scoring at least 0.2 (see `prefer_latest_for_pronoun_followup`); otherwise "
             "the resolver asks back.")
      .field("clarification_margin", &ResolverConfig::clarification_margin,
             "When the two best cards are closer than this and the message refers back "
             "ambiguously, the resolver asks which turn is meant instead of guessing.")
      .field("fresh_question_min_tokens", &ResolverConfig::fresh_question_min_tokens,
             "A message with at least this many words (after stop words) and no "
             "back-reference reads as a complete, fresh question.")
      .field("recency_weight", &ResolverConfig::recency_weight,
             "× recency: 1.0 for the newest card down to 1/n for the oldest of n")
      .field("keyword_overlap_weight", &ResolverConfig::keyword_overlap_weight,
             "× the share of message words found in the card's text")
      .field("entity_overlap_weight", &ResolverConfig::entity_overlap_weight,
             "× the overlap with the card's entities, topic keywords and metadata ids")
      .field("artifact_match_weight", &ResolverConfig::artifact_match_weight,
             "the message names the card's artifact (\"chart 7\" for `chart_7`)")
      .field("explicit_reference_weight", &ResolverConfig::explicit_reference_weight,
             "the message names the card's turn (\"turn 3\", \"#3\", \"the second chart\")")
      .field("active_card_bonus", &ResolverConfig::active_card_bonus,
             "the card is active; again when it is the `active_turn_id` given to `resolve`; "
             "again when it is the latest active turn")
      .field("task_type_match_weight", &ResolverConfig::task_type_match_weight,
             "the card's `task_type` equals the `preferred_task_type` given to `resolve`")
      .field("prefer_latest_for_pronoun_followup",
             &ResolverConfig::prefer_latest_for_pronoun_followup,
             "A message that refers back with a pronoun takes the best card even below "
             "`followup_threshold` (at least 0.2).")
      .field("ask_clarification_when_ambiguous", &ResolverConfig::ask_clarification_when_ambiguous,
             "False: take the best card above the threshold even when the second is close.")
      .field("use_llm_fallback", &ResolverConfig::use_llm_fallback,
             "Allow the `llm_fallback` callable given to `Turnmend(config, llm_fallback)` "
             "for messages the rules cannot settle. Off, or without a callable, the rules' "
             "answer (often a clarification) stands.")
      .field("llm_fallback_confidence_ceiling", &ResolverConfig::llm_fallback_confidence_ceiling,
             "When set, a contextual resolution whose confidence is below it is also offered"
             " to the callable, which may replace it. `None`: only unsettled messages go to "
             "the callable.")
      .field("max_metadata_query_terms", &ResolverConfig::max_metadata_query_terms,
             "The metadata search query keeps at most this many distinct words, the most "
             "frequent first.")
      .field("include_previous_required_columns",
             &ResolverConfig::include_previous_required_columns,
             "Carry the base card's columns (`required_columns`/`columns_by_table`, or its "
             "active columns for a single table) into `required_columns`; false keeps only "
             "the columns of the query state (metrics, date columns, dimensions, group by).")
      .field("include_anchor_metadata_ids", &ResolverConfig::include_anchor_metadata_ids,
             "Copy the base card's `selected_metadata_ids` into `anchor_metadata_ids`.")
      .field("include_debug_candidates", &ResolverConfig::include_debug_candidates,
             "Keep the ranked candidates in contextual and clarification resolutions "
             "(`candidates`, and `to_dict()[\"candidates\"]`). Fresh questions keep theirs "
             "regardless.");
  config.finish();
}

}  // namespace

void register_turnmend_records(nb::module_& m) { register_records(m); }

}  // namespace tessarin::py
