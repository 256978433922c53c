// Text and map renderings of the selection records.
#include "tessarin/schemasift/records.h"

#include "tessarin/common/display.h"

namespace tessarin::schemasift {

namespace {

constexpr std::string_view kArrow = " \u2192 ";
// Two joins reach across one junction table. The drop-off is left off: on
// a large multi-database catalog every cut it made cost recall.
constexpr std::int64_t kHighRecallJoinPathLength = 2;
constexpr double kHighRecallDropOff = 0.0;

}  // namespace

SelectorConfig SelectorConfig::high_recall(std::optional<std::string> model_name_or_path,
                                           std::int64_t top_k_tables) {
  SelectorConfig config;
  config.strategy = std::string(Strategy::HYBRID);
  config.top_k_tables = top_k_tables;
  config.use_embeddings_if_available = true;
  config.embedding_model_name_or_path = std::move(model_name_or_path);
  config.fuse_table_ranks = true;
  config.max_join_path_length = kHighRecallJoinPathLength;
  config.table_score_drop_off = kHighRecallDropOff;
  config.show_progress_bar = true;
  return config;
}

std::string SelectionMetrics::summary() const {
  std::string out;
  out.reserve(128);
  // "<label><before> -> <after> (<cut>% cut), ": before and after carry the
  // marker ("~" for estimates).
  auto add_cut = [&](std::string_view label, std::string_view marker, std::int64_t before,
                     std::int64_t after, double percent) {
    out += label;
    out += marker;
    out += std::to_string(before);
    out += kArrow;
    out += marker;
    out += std::to_string(after);
    out += " (";
    out += format_fixed(percent, 1);
    out += "% cut), ";
  };
  add_cut("tables ", "", input_tables, output_tables, table_reduction_percent);
  add_cut("columns ", "", input_columns, output_columns, column_reduction_percent);
  add_cut("tokens ", "~", input_estimated_tokens, output_estimated_tokens, token_reduction_percent);
  out += "compression ";
  out += format_fixed(compression_ratio, 2);
  out += "x";
  return out;
}

JsonMap SelectionMetrics::to_dict() const {
  JsonMap out;
  out.reserve(14);
  out.append_new("input_tables", static_cast<long long>(input_tables));
  out.append_new("input_columns", static_cast<long long>(input_columns));
  out.append_new("output_tables", static_cast<long long>(output_tables));
  out.append_new("output_columns", static_cast<long long>(output_columns));
  out.append_new("input_chars", static_cast<long long>(input_chars));
  out.append_new("output_chars", static_cast<long long>(output_chars));
  out.append_new("input_estimated_tokens", static_cast<long long>(input_estimated_tokens));
  out.append_new("output_estimated_tokens", static_cast<long long>(output_estimated_tokens));
  out.append_new("table_reduction_percent", table_reduction_percent);
  out.append_new("column_reduction_percent", column_reduction_percent);
  out.append_new("char_reduction_percent", char_reduction_percent);
  out.append_new("token_reduction_percent", token_reduction_percent);
  out.append_new("compression_ratio", compression_ratio);
  out.append_new("catalog_hash", catalog_hash);
  return out;
}

JsonMap MetadataSelectionResult::to_dict(bool include_debug) const {
  JsonMap out;
  out.reserve(4);
  out.append_new("selected_metadata", selected_metadata);
  out.append_new("metrics", metrics.to_dict());
  out.append_new("intent", intent.to_dict());
  if (include_debug) out.append_new("debug", debug);
  return out;
}

}  // namespace tessarin::schemasift
