// Helpers of the candidate ranking: reference detection on a message lowered
// once, the two-decimal text of an overlap, and the order of score sorts.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace tessarin::turnmend::detail {

// Reference detection on the message already lower-cased as code points
// (the resolver lowers it once for both).
std::optional<std::int64_t> explicit_turn_reference(std::u32string_view lowered);
std::optional<std::string> artifact_reference(std::u32string_view lowered);
// format_fixed(x, 2), with a fast path for scores in (0, 1].
std::string two_decimal_text(double x);

// Order of "highest score first" sorts; NaN scores sort last so the order
// stays a strict weak order.
inline bool higher_score(double a, double b) {
  if (a != a) return false;
  if (b != b) return true;
  return a > b;
}

}  // namespace tessarin::turnmend::detail
