// Turns scores into a choice: tables ranked and chosen under top-k and a
// minimum score (required tables first), columns of each chosen table
// chosen likewise with key, default-column and intent rules, and the
// relationships that join the chosen tables.
#include <algorithm>
#include <array>

#include "tessarin/schemasift/join_paths.h"
#include "tessarin/schemasift/lexical_index.h"
#include "tessarin/schemasift/selector.h"
#include "tessarin/schemasift/selector_internal.h"

namespace tessarin::schemasift {

namespace {

// Share of a table's best lexical column score added to the table.
constexpr double kColumnBonusFactor = 0.2;
// Added to a table or column that the caller requires.
constexpr double kRequiredBonus = 100.0;
// Added to a primary-key or foreign-key column.
constexpr double kKeyBonus = 0.05;
// Added to a table's default date or metric column when the intent asks.
constexpr double kDefaultColumnBonus = 0.5;

bool contains(const WordSet& set, std::string_view name) { return set.find(name) != set.end(); }

bool non_empty(const std::optional<std::string>& value) { return value && !value->empty(); }

// A column being ranked, by reference to the table's own.
struct ColumnEntry {
  const ColumnMeta* column;
  double score;
  std::vector<std::string> reasons;

  friend bool operator==(const ColumnEntry& a, const ColumnEntry& b) {
    return *a.column == *b.column && a.score == b.score && a.reasons == b.reasons;
  }
};

const ColumnMeta& column_of(const ScoredColumn& entry) { return entry.column; }
const ColumnMeta& column_of(const ColumnEntry& entry) { return *entry.column; }
const ColumnMeta& column_of(const ColumnEntry* entry) { return *entry->column; }

// Positions in `ranked` of the best column of each role the intent asks for
// (date or datetime, metric, dimension or text) that no chosen column or
// earlier pick has the name of.
template <class Ranked, class Chosen>
std::vector<std::size_t> intent_picks(const std::vector<Ranked>& ranked,
                                      const std::vector<Chosen>& selected,
                                      const QueryIntent& intent) {
  WordSet chosen_names;
  for (const Chosen& entry : selected) chosen_names.insert(column_of(entry).name);
  std::vector<std::size_t> picks;
  auto add_best_role = [&](std::string_view role_a, std::string_view role_b) {
    for (std::size_t i = 0; i < ranked.size(); ++i) {
      const ColumnMeta& col = column_of(ranked[i]);
      if (contains(chosen_names, col.name)) continue;
      if (col.role == role_a || col.role == role_b) {
        picks.push_back(i);
        chosen_names.insert(col.name);
        return;
      }
    }
  };
  if (intent.has_time_filter || intent.wants_trend)
    add_best_role(ColumnRole::DATE, ColumnRole::DATETIME);
  if (intent.wants_metric) add_best_role(ColumnRole::METRIC, ColumnRole::METRIC);
  if (intent.wants_grouping) add_best_role(ColumnRole::DIMENSION, ColumnRole::TEXT);
  return picks;
}

// The table choice over any kind of scored entry: required entries first
// (in ranked order), then the best others above the minimum score, at least
// one when there is any, at most max(top_k, 1). Returns entry positions.
template <class ScoreOf, class IsRequired, class Equal>
std::vector<std::size_t> choose_positions(std::size_t n, std::int64_t top_k, double min_score,
                                          ScoreOf score_of, IsRequired is_required, Equal equal) {
  std::vector<std::size_t> ranked = internal::ranked_positions(n, score_of);
  std::vector<std::size_t> chosen;
  for (std::size_t entry : ranked)
    if (is_required(entry)) chosen.push_back(entry);
  for (std::size_t entry : ranked) {
    bool already = std::any_of(chosen.begin(), chosen.end(),
                               [&](std::size_t c) { return c == entry || equal(c, entry); });
    if (already) continue;
    if (static_cast<std::int64_t>(chosen.size()) >= top_k) break;
    if (score_of(entry) >= min_score) chosen.push_back(entry);
  }
  if (chosen.empty() && !ranked.empty()) chosen.push_back(ranked.front());
  std::size_t limit = static_cast<std::size_t>(std::max<std::int64_t>(top_k, 1));
  if (chosen.size() > limit) chosen.resize(limit);
  return chosen;
}

// One entry per table, in catalog order, scored by score(position, table,
// entry).
template <class Score>
std::vector<internal::TableScore> score_each_table(const MetadataCatalog& catalog, Score&& score) {
  std::vector<internal::TableScore> scored;
  scored.reserve(catalog.tables.size());
  for (std::size_t i = 0; i < catalog.tables.size(); ++i) {
    internal::TableScore entry;
    entry.position = i;
    score(i, catalog.tables[i], entry);
    scored.push_back(std::move(entry));
  }
  return scored;
}

}  // namespace

// ---- tables ----

double Schemasift::table_score(std::size_t position, const TableMeta& table, double lexical,
                               double best_column, const internal::Similarities& tfidf,
                               const internal::Similarities& embedding,
                               const WordSet& required_tables,
                               std::vector<std::string>& reasons) const {
  double score =
      _blend_scores(lexical, tfidf.table(position, table), embedding.table(position, table));
  score += kColumnBonusFactor * best_column;
  if (contains(required_tables, table.table_name)) {
    score += kRequiredBonus;
    reasons.emplace_back(internal::kReasonRequiredTable);
  }
  return score;
}

std::vector<internal::TableScore> Schemasift::score_table_positions(
    const internal::QueryTerms& terms, const MetadataCatalog& catalog, const QueryIntent& intent,
    const internal::Similarities& tfidf, const internal::Similarities& embedding,
    const WordSet& required_tables) const {
  return score_each_table(
      catalog, [&](std::size_t i, const TableMeta& table, internal::TableScore& entry) {
        double lexical = _normalize_lexical(raw_table_score(terms, table, &entry.reasons));
        double best_column = 0.0;
        for (const ColumnMeta& col : table.columns)
          best_column = std::max(best_column,
                                 _normalize_lexical(raw_column_score(terms, col, intent, nullptr)));
        entry.score = table_score(i, table, lexical, best_column, tfidf, embedding, required_tables,
                                  entry.reasons);
      });
}

// A table or column that the question touches nowhere scores 0 on its
// fields, so its raw score is its role bonus alone, which depends only on
// its role class: such columns are scored once per class, and only the
// others are scored one by one. The largest of the normalized scores is
// the same whatever order they are taken in.
std::vector<internal::TableScore> Schemasift::score_prepared_table_positions(
    const internal::QueryTerms& terms, const PreparedCatalog& prepared, const QueryIntent& intent,
    const internal::Similarities& tfidf, const internal::Similarities& embedding,
    const WordSet& required_tables) const {
  const MetadataCatalog& catalog = prepared.catalog();
  const internal::LexicalIndex& index = prepared.lexical_index();
  // Kept per thread: the arrays grow to the largest catalog the thread
  // selects on, instead of being allocated (and page-faulted) per selection.
  thread_local internal::LexicalEvidence evidence;
  index.gather(terms, evidence);
  std::array<double, internal::kRoleClassCount> class_score{};
  for (std::size_t c = 0; c < internal::kRoleClassCount; ++c) {
    double raw = 0.0;
    add_column_role_bonus(terms, static_cast<internal::RoleClass>(c), intent, raw, nullptr);
    class_score[c] = _normalize_lexical(raw);
  }

  return score_each_table(
      catalog, [&](std::size_t i, const TableMeta& table, internal::TableScore& entry) {
        double lexical = 0.0;
        if (evidence.table_hit[i]) {
          lexical = _normalize_lexical(raw_table_score_from_evidence(terms, evidence, i));
          entry.reasons_pending = true;
        }
        std::array<std::uint32_t, internal::kRoleClassCount> untouched = index.class_counts(i);
        double best_column = 0.0;
        std::size_t first = index.first_column(i);
        for (std::size_t j = 0; j < table.columns.size(); ++j) {
          if (!evidence.column_hit[first + j]) continue;
          internal::RoleClass role = index.column_class(first + j);
          --untouched[static_cast<std::size_t>(role)];
          best_column = std::max(best_column, _normalize_lexical(raw_column_score_from_evidence(
                                                  terms, evidence, first + j, role, intent)));
        }
        for (std::size_t c = 0; c < internal::kRoleClassCount; ++c)
          if (untouched[c] != 0) best_column = std::max(best_column, class_score[c]);
        entry.score = table_score(i, table, lexical, best_column, tfidf, embedding, required_tables,
                                  entry.reasons);
      });
}

void Schemasift::complete_reasons(const internal::QueryTerms& terms, const MetadataCatalog& catalog,
                                  const WordSet& required_tables,
                                  internal::TableScore& entry) const {
  if (!entry.reasons_pending) return;
  const TableMeta& table = catalog.tables[entry.position];
  std::vector<std::string> reasons;
  raw_table_score(terms, table, &reasons);
  if (contains(required_tables, table.table_name))
    reasons.emplace_back(internal::kReasonRequiredTable);
  entry.reasons = std::move(reasons);
  entry.reasons_pending = false;
}

std::vector<ScoredTable> Schemasift::_score_tables(std::string_view question,
                                                   const MetadataCatalog& catalog,
                                                   const QueryIntent& intent,
                                                   const DocScores& tfidf_scores,
                                                   const DocScores& embedding_scores,
                                                   const WordSet& required_tables) const {
  internal::QueryTerms terms(question, intent);
  std::vector<internal::TableScore> scored =
      score_table_positions(terms, catalog, intent, internal::Similarities(&tfidf_scores),
                            internal::Similarities(&embedding_scores), required_tables);
  std::vector<ScoredTable> out;
  out.reserve(scored.size());
  for (internal::TableScore& entry : scored)
    out.push_back(
        ScoredTable{catalog.tables[entry.position], entry.score, std::move(entry.reasons), {}});
  return out;
}

std::vector<std::size_t> Schemasift::choose_table_positions(
    const internal::QueryTerms& terms, const MetadataCatalog& catalog,
    std::vector<internal::TableScore>& scored, const WordSet& required_tables) const {
  auto table_of = [&](std::size_t i) -> const TableMeta& {
    return catalog.tables[scored[i].position];
  };
  return choose_positions(
      scored.size(), config.top_k_tables, config.min_table_score,
      [&](std::size_t i) { return scored[i].score; },
      [&](std::size_t i) { return contains(required_tables, table_of(i).table_name); },
      // Entries are equal when all their fields are (their columns are
      // still empty): a table listed twice, identically, is chosen once.
      [&](std::size_t a, std::size_t b) {
        if (scored[a].score != scored[b].score) return false;
        complete_reasons(terms, catalog, required_tables, scored[a]);
        complete_reasons(terms, catalog, required_tables, scored[b]);
        return scored[a].reasons == scored[b].reasons && table_of(a) == table_of(b);
      });
}

std::vector<std::size_t> Schemasift::_chosen_table_positions(
    const std::vector<ScoredTable>& scored_tables, const WordSet& required_tables) const {
  return choose_positions(
      scored_tables.size(), config.top_k_tables, config.min_table_score,
      [&](std::size_t i) { return scored_tables[i].score; },
      [&](std::size_t i) { return contains(required_tables, scored_tables[i].table.table_name); },
      [&](std::size_t a, std::size_t b) { return scored_tables[a] == scored_tables[b]; });
}

std::vector<ScoredTable> Schemasift::_choose_tables(const std::vector<ScoredTable>& scored_tables,
                                                    const WordSet& required_tables) const {
  std::vector<ScoredTable> out;
  for (std::size_t i : _chosen_table_positions(scored_tables, required_tables))
    out.push_back(scored_tables[i]);
  return out;
}

// ---- columns ----

std::vector<ScoredColumn> Schemasift::score_and_choose_columns(
    const internal::QueryTerms& terms, std::size_t position, const TableMeta& table,
    const QueryIntent& intent, const internal::Similarities& tfidf,
    const internal::Similarities& embedding, const WordSet& required_columns,
    const WordSet& excluded_columns) const {
  // Columns are ranked and chosen by reference; only the chosen ones are
  // copied into the result.
  std::vector<ColumnEntry> collected;
  collected.reserve(table.columns.size());
  for (std::size_t j = 0; j < table.columns.size(); ++j) {
    const ColumnMeta& col = table.columns[j];
    if (contains(excluded_columns, col.name)) continue;
    ColumnEntry entry{&col, 0.0, {}};
    std::vector<std::string>& reasons = entry.reasons;
    double lexical = _normalize_lexical(raw_column_score(terms, col, intent, &reasons));
    double score = _blend_scores(lexical, tfidf.column(position, j, table, col),
                                 embedding.column(position, j, table, col));
    if (contains(required_columns, col.name)) {
      score += kRequiredBonus;
      reasons.emplace_back(internal::kReasonRequiredColumn);
    }
    if (config.include_primary_keys &&
        (col.is_primary_key || col.role == ColumnRole::PRIMARY_KEY)) {
      score += kKeyBonus;
      reasons.emplace_back(internal::kReasonPrimaryKey);
    }
    if (config.include_foreign_keys &&
        (col.is_foreign_key || col.role == ColumnRole::FOREIGN_KEY)) {
      score += kKeyBonus;
      reasons.emplace_back(internal::kReasonForeignKey);
    }
    if (config.include_default_date_on_time_intent && intent.has_time_filter &&
        non_empty(table.default_date_column) && col.name == *table.default_date_column) {
      score += kDefaultColumnBonus;
      reasons.emplace_back(internal::kReasonDefaultDate);
    }
    if (config.include_default_metric_on_metric_intent && intent.wants_metric &&
        non_empty(table.default_metric_column) && col.name == *table.default_metric_column) {
      score += kDefaultColumnBonus;
      reasons.emplace_back(internal::kReasonDefaultMetric);
    }
    entry.score = score;
    collected.push_back(std::move(entry));
  }

  std::vector<std::size_t> order = internal::ranked_positions(
      collected.size(), [&](std::size_t i) { return collected[i].score; });
  std::vector<ColumnEntry> ranked;
  ranked.reserve(collected.size());
  for (std::size_t i : order) ranked.push_back(std::move(collected[i]));

  std::vector<const ColumnEntry*> selected;
  for (const ColumnEntry& entry : ranked)
    if (entry.score >= config.min_column_score) selected.push_back(&entry);
  for (const ColumnEntry& entry : ranked) {
    if (!contains(required_columns, entry.column->name)) continue;
    // An equal entry (the same column listed twice, equally scored) counts
    // as chosen already.
    bool chosen = std::any_of(selected.begin(), selected.end(),
                              [&](const ColumnEntry* other) { return *other == entry; });
    if (!chosen) selected.push_back(&entry);
  }
  for (std::size_t i : intent_picks(ranked, selected, intent)) selected.push_back(&ranked[i]);
  if (selected.empty() && !ranked.empty()) selected.push_back(&ranked.front());
  std::size_t limit =
      static_cast<std::size_t>(std::max<std::int64_t>(config.max_columns_per_table, 1));
  if (selected.size() > limit) selected.resize(limit);
  std::vector<ScoredColumn> out;
  out.reserve(selected.size());
  for (const ColumnEntry* entry : selected)
    out.push_back(ScoredColumn{*entry->column, entry->score, entry->reasons});
  return out;
}

std::vector<ScoredColumn> Schemasift::_score_and_choose_columns(
    std::string_view question, const TableMeta& table, const QueryIntent& intent,
    const DocScores& tfidf_scores, const DocScores& embedding_scores,
    const WordSet& required_columns, const WordSet& excluded_columns) const {
  internal::QueryTerms terms(question, intent);
  return score_and_choose_columns(terms, 0, table, intent, internal::Similarities(&tfidf_scores),
                                  internal::Similarities(&embedding_scores), required_columns,
                                  excluded_columns);
}

std::vector<std::size_t> Schemasift::_intent_column_picks(const std::vector<ScoredColumn>& ranked,
                                                          const std::vector<ScoredColumn>& selected,
                                                          const QueryIntent& intent) {
  return intent_picks(ranked, selected, intent);
}

std::vector<ScoredColumn>& Schemasift::_ensure_intent_columns(
    const TableMeta&, const std::vector<ScoredColumn>& ranked, std::vector<ScoredColumn>& selected,
    const QueryIntent& intent) {
  for (std::size_t i : _intent_column_picks(ranked, selected, intent))
    selected.push_back(ranked[i]);
  return selected;
}

// ---- relationships ----

std::vector<RelationshipMeta> Schemasift::_select_relationships(
    const MetadataCatalog& catalog, const std::vector<ScoredTable>& selected_tables) const {
  std::vector<RelationshipMeta> result;
  if (!config.include_relationships) return result;
  WordSet names;
  for (const ScoredTable& entry : selected_tables) names.insert(entry.table.table_name);
  for (const RelationshipMeta& rel : catalog.relationships)
    if (rel.involves(names)) result.push_back(rel);
  if (config.include_neighbor_tables_for_joins) {
    for (const RelationshipMeta& rel : catalog.relationships)
      if (rel.touches(names) && std::find(result.begin(), result.end(), rel) == result.end())
        result.push_back(rel);
  }
  return result;
}

}  // namespace tessarin::schemasift

// ---- rank fusion and the choice on fused scores (opt-in) ----

namespace tessarin::schemasift {

namespace {

// Reciprocal-rank fusion: a signal gives a table weight / (offset + rank),
// ranks counted from 1 among the tables the signal scores above 0, down to
// kFusionDepth. A small offset lets the first ranks count most.
constexpr double kFusionRankOffset = 2.0;
constexpr std::size_t kFusionDepth = 200;
enum Signal : std::size_t { kLexical, kTfidf, kEmbedding, kColumnEmbedding, kSignalCount };
constexpr std::array<double, kSignalCount> kSignalWeight = {0.3, 0.3, 1.0, 1.0};
constexpr std::array<std::string_view, kSignalCount> kSignalName = {
    "lexical", "TF-IDF", "embedding", "best column embedding"};
// Share of its best related table's fused score that a table gains: the
// tables a question needs are usually joined to one another.
constexpr double kNeighbourLift = 0.6;
// Fused reasons are written for this many of the best tables.
constexpr std::size_t kFusionReasonTables = 20;

// Rank (from 1) of every entry among those above 0, 0 for the others.
std::vector<std::size_t> signal_ranks(const std::vector<double>& values) {
  std::vector<std::size_t> order =
      internal::ranked_positions(values.size(), [&](std::size_t i) { return values[i]; });
  std::vector<std::size_t> rank(values.size(), 0);
  for (std::size_t r = 0; r < order.size() && r < kFusionDepth; ++r) {
    if (!(values[order[r]] > 0.0)) break;
    rank[order[r]] = r + 1;
  }
  return rank;
}

std::string fusion_reason(const std::array<std::vector<std::size_t>, kSignalCount>& ranks,
                          std::size_t table) {
  std::string out = "fused ranks:";
  bool any = false;
  for (std::size_t s = 0; s < kSignalCount; ++s) {
    if (ranks[s][table] == 0) continue;
    out += any ? ", " : " ";
    out += kSignalName[s];
    out += " #";
    out += std::to_string(ranks[s][table]);
    any = true;
  }
  if (!any) out += " none";
  return out;
}

}  // namespace

void Schemasift::fuse_table_scores(const internal::QueryTerms& terms,
                                   const MetadataCatalog& catalog,
                                   std::vector<internal::TableScore>& scored,
                                   const internal::Similarities& tfidf,
                                   const internal::Similarities& embedding,
                                   const WordSet& required_tables) const {
  std::size_t n = scored.size();
  std::array<std::vector<double>, kSignalCount> signal;
  for (auto& values : signal) values.assign(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    std::size_t position = scored[i].position;
    const TableMeta& table = catalog.tables[position];
    signal[kLexical][i] = scored[i].score;
    signal[kTfidf][i] = tfidf.table(position, table);
    signal[kEmbedding][i] = embedding.table(position, table);
    double best = 0.0;
    if (!embedding.empty())
      for (std::size_t j = 0; j < table.columns.size(); ++j)
        best = std::max(best, embedding.column(position, j, table, table.columns[j]));
    signal[kColumnEmbedding][i] = best;
  }
  std::array<std::vector<std::size_t>, kSignalCount> ranks;
  for (std::size_t s = 0; s < kSignalCount; ++s) ranks[s] = signal_ranks(signal[s]);

  // Scaled so that first place on every signal scores 1.
  double best_possible = 0.0;
  for (double w : kSignalWeight) best_possible += w / (kFusionRankOffset + 1.0);
  std::vector<double> fused(n, 0.0);
  for (std::size_t i = 0; i < n; ++i) {
    for (std::size_t s = 0; s < kSignalCount; ++s)
      if (ranks[s][i] != 0)
        fused[i] += kSignalWeight[s] / (kFusionRankOffset + static_cast<double>(ranks[s][i]));
    fused[i] /= best_possible;
  }
  // Related tables, by catalog position; scored holds one entry per table.
  std::vector<std::vector<std::size_t>> neighbours = internal::table_neighbours(catalog);
  std::vector<std::size_t> entry_of(catalog.tables.size(), n);
  for (std::size_t i = 0; i < n; ++i) entry_of[scored[i].position] = i;
  for (std::size_t i = 0; i < n; ++i) {
    double lift = 0.0;
    for (std::size_t to : neighbours[scored[i].position])
      if (entry_of[to] < n) lift = std::max(lift, fused[entry_of[to]]);
    scored[i].score = fused[i] + kNeighbourLift * lift;
    if (contains(required_tables, catalog.tables[scored[i].position].table_name))
      scored[i].score += kRequiredBonus;
  }

  std::vector<std::size_t> order =
      internal::ranked_positions(n, [&](std::size_t i) { return scored[i].score; });
  std::size_t shown = std::min<std::size_t>(
      n, std::max<std::size_t>(kFusionReasonTables, static_cast<std::size_t>(std::max<std::int64_t>(
                                                        config.top_k_tables, 1))));
  for (std::size_t r = 0; r < shown; ++r) {
    internal::TableScore& entry = scored[order[r]];
    complete_reasons(terms, catalog, required_tables, entry);
    entry.reasons.push_back(fusion_reason(ranks, order[r]));
  }
}

std::vector<std::size_t> Schemasift::choose_fused_positions(
    const MetadataCatalog& catalog, const std::vector<internal::TableScore>& scored,
    const WordSet& required_tables) const {
  auto is_required = [&](std::size_t i) {
    return contains(required_tables, catalog.tables[scored[i].position].table_name);
  };
  std::vector<std::size_t> ranked =
      internal::ranked_positions(scored.size(), [&](std::size_t i) { return scored[i].score; });
  std::vector<std::size_t> chosen;
  for (std::size_t i : ranked)
    if (is_required(i)) chosen.push_back(i);
  std::optional<double> best;
  for (std::size_t i : ranked) {
    if (is_required(i)) continue;
    if (static_cast<std::int64_t>(chosen.size()) >= config.top_k_tables) break;
    if (best && scored[i].score < config.table_score_drop_off * *best) break;
    if (!best) best = scored[i].score;
    chosen.push_back(i);
  }
  if (chosen.empty() && !ranked.empty()) chosen.push_back(ranked.front());
  std::size_t limit = static_cast<std::size_t>(std::max<std::int64_t>(config.top_k_tables, 1));
  if (chosen.size() > limit) chosen.resize(limit);
  return chosen;
}

void Schemasift::add_bridge_tables(
    const internal::QueryTerms& terms, const MetadataCatalog& catalog,
    std::vector<internal::TableScore>& scored, const WordSet& required_tables,
    std::vector<std::size_t>& chosen,
    std::vector<std::pair<std::string, std::string>>& bridges) const {
  std::vector<std::size_t> entry_of(catalog.tables.size(), scored.size());
  for (std::size_t i = 0; i < scored.size(); ++i) entry_of[scored[i].position] = i;
  std::vector<std::size_t> positions;
  positions.reserve(chosen.size());
  for (std::size_t i : chosen) positions.push_back(scored[i].position);
  for (internal::BridgeTable& bridge : internal::bridge_tables(
           catalog, positions, static_cast<std::size_t>(config.max_join_path_length))) {
    std::size_t i = entry_of[bridge.position];
    if (i == scored.size()) continue;
    complete_reasons(terms, catalog, required_tables, scored[i]);
    scored[i].reasons.push_back(bridge.reason);
    chosen.push_back(i);
    bridges.emplace_back(catalog.tables[bridge.position].table_name, std::move(bridge.reason));
  }
}

}  // namespace tessarin::schemasift
