// Cost of Turnmend::resolve from C++: median microseconds per call for the
// four demonstration messages, against one card and against ten.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <vector>

#include "tessarin/turnmend/resolver.h"

using namespace tessarin;
using namespace tessarin::turnmend;

namespace {

// Nine earlier turns of a sales-analytics chat, one a line in bench/turns.tsv
// (shared with bench_turnmend.py) after the line of column names: question,
// table, metric, dimension, task and artifact, tab-separated.
struct Turn {
  std::string question, table, metric, dimension, task, artifact;
};

std::vector<Turn> read_turns() {
  std::ifstream in(TESSARIN_BENCH_TURNS);
  std::vector<Turn> turns;
  Turn t;
  std::string column_names;
  std::getline(in, column_names);
  while (std::getline(in, t.question, '\t') && std::getline(in, t.table, '\t') &&
         std::getline(in, t.metric, '\t') && std::getline(in, t.dimension, '\t') &&
         std::getline(in, t.task, '\t') && std::getline(in, t.artifact))
    turns.push_back(t);
  if (turns.empty()) {
    std::fprintf(stderr, "no turns read from %s\n", TESSARIN_BENCH_TURNS);
    std::exit(1);
  }
  return turns;
}

// The turns as cards, plus the demonstration card.
CardList realistic_cards() {
  const std::vector<Turn> turns = read_turns();
  CardList cards;
  std::int64_t id = 2;
  for (const Turn& t : turns) {
    auto card = std::make_shared<TurnContextCard>();
    card->turn_id = id++;
    card->user_question = t.question;
    card->resolved_question = t.question;
    card->assistant_answer_summary = std::string("Generated output for: ") + t.question;
    card->task_type = t.task;
    card->artifact_type = t.artifact;
    card->topic_keywords = {t.metric, t.dimension};
    card->entities = {t.table, t.metric, t.dimension};
    card->selected_metadata_ids = {std::string("table:") + t.table,
                                   std::string("column:") + t.table + "." + t.metric,
                                   std::string("column:") + t.table + "." + t.dimension};
    card->query_state =
        JsonMap{{"active_tables", JsonList{t.table}},
                {"active_columns", JsonList{t.metric, t.dimension}},
                {"metrics", JsonList{t.metric}},
                {"dimensions", JsonList{t.dimension}},
                {"aggregation", JsonMap{{"function", "sum"}, {"column", t.metric}}}};
    cards.push_back(card);
  }
  cards.push_back(std::make_shared<const TurnContextCard>(demonstration_card()));
  return cards;
}

double median_us(const Turnmend& resolver, const CardList& cards, int rounds) {
  std::vector<double> samples;
  samples.reserve(static_cast<std::size_t>(rounds));
  const auto& messages = demonstration_messages();
  std::size_t sink = 0;
  for (int i = 0; i < rounds; ++i) {
    auto start = std::chrono::steady_clock::now();
    for (const std::string& m : messages)
      sink += resolver.resolve(m, cards).resolved_question.size();
    auto stop = std::chrono::steady_clock::now();
    samples.push_back(std::chrono::duration<double, std::micro>(stop - start).count() /
                      static_cast<double>(messages.size()));
  }
  std::nth_element(samples.begin(), samples.begin() + rounds / 2, samples.end());
  if (sink == 0) std::puts("");
  return samples[static_cast<std::size_t>(rounds / 2)];
}

// A fixed amount of work for instruction counting (valgrind --tool=callgrind
// --toggle-collect='*profile_rounds*'): rounds of the four messages.
[[gnu::noinline]] std::size_t profile_rounds(const Turnmend& resolver, const CardList& cards,
                                             const std::vector<std::string>& messages, int rounds) {
  std::size_t sink = 0;
  for (int i = 0; i < rounds; ++i)
    for (const std::string& m : messages)
      sink += resolver.resolve(m, cards).resolved_question.size();
  return sink;
}

}  // namespace

// With "--profile N [1|10] [message index]": only N rounds against one or ten
// cards, of all messages or of one, no timing.
int main(int argc, char** argv) {
  Turnmend resolver;
  if (argc >= 3 && std::string(argv[1]) == "--profile") {
    const int rounds = std::stoi(argv[2]);
    const bool single = argc >= 4 && std::string(argv[3]) == "1";
    CardList cards = single
                         ? CardList{std::make_shared<const TurnContextCard>(demonstration_card())}
                         : realistic_cards();
    std::vector<std::string> messages = demonstration_messages();
    if (argc >= 5) messages = {messages.at(std::stoul(argv[4]))};
    for (const std::string& m : messages) resolver.resolve(m, cards);  // first-use statics
    return profile_rounds(resolver, cards, messages, rounds) == 0;
  }
  CardList one = {std::make_shared<const TurnContextCard>(demonstration_card())};
  CardList ten = realistic_cards();
  median_us(resolver, ten, 200);  // warm-up
  std::printf("turnmend resolve (C++), median per call over the 4 demonstration messages\n");
  std::printf("   1 card : %8.2f us\n", median_us(resolver, one, 2000));
  std::printf("  10 cards: %8.2f us  (goal < 15)\n", median_us(resolver, ten, 2000));
  return 0;
}
