// The card overlap meter of the ranking: for one message and each card,
//   overlap_score(tokenize(message), card.tokens()) and
//   overlap_score(tokenize(message), tokenize(entities, topic keywords and
//                 metadata ids joined with blanks)),
// all with the default stop words, measured in one pass over the card's
// pieces (plain state maps are walked without writing their JSON text).
#pragma once

#include <memory>

#include "tessarin/turnmend/records.h"

namespace tessarin::turnmend::detail {

struct CardOverlaps {
  double keyword = 0.0;
  double entity = 0.0;
};

// Keeps its own copy of the message words, so any list will do.
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
