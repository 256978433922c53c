// The word overlaps the ranking computes for every card on every resolve,
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

#include "turnmend/records.h"

namespace tessarin::turnmend::detail {

struct CardOverlaps {
  double keyword = 0.0;
  double entity = 0.0;
};

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
