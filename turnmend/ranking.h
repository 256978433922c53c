// Helpers of the ranking: reference detection on a message lowered once,
// and the word overlaps it computes for every card on every resolve,
// measured without building the card's word lists.
//
// CardOverlapMeter gives exactly
//   overlap_score(tokenize(message), card.tokens()) and
//   overlap_score(tokenize(message), tokenize(entities, topic keywords and
//                 metadata ids joined with blanks)),
// all with the default stop words. It scans the card's pieces in place and
// walks plain state maps without writing their JSON text.
#pragma once

#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "turnmend/records.h"

namespace tessarin::turnmend::detail {

struct CardOverlaps {
  double keyword = 0.0;
  double entity = 0.0;
};

// Reference detection on the message already lower-cased as code points
// (the resolver lowers it once for both).
std::optional<std::int64_t> explicit_turn_reference(std::u32string_view lowered);
std::optional<std::string> artifact_reference(std::u32string_view lowered);
// format_fixed(x, 2), with a fast path for scores in (0, 1].
std::string two_decimal_text(double x);
// artifact_reference with every pattern run as written (for tests: the
// detection above skips or replaces some searches).
std::optional<std::string> artifact_reference_by_pattern(std::u32string_view lowered);

class CardOverlapMeter {
 public:
  explicit CardOverlapMeter(const StringList& message_tokens);
  ~CardOverlapMeter();
  CardOverlapMeter(const CardOverlapMeter&) = delete;
  CardOverlapMeter& operator=(const CardOverlapMeter&) = delete;

  CardOverlaps measure(const TurnContextCard& card);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace tessarin::turnmend::detail
