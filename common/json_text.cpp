// JSON writer with the exact output of Python's json.dumps, and a reader with
// the acceptance of json.loads (NaN and the infinities included).
#include "tessarin/common/json_text.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <limits>
#include <system_error>
#include <unordered_map>
#include <vector>

#include "tessarin/common/display.h"
#include "tessarin/common/unicode.h"

namespace tessarin {

namespace {

constexpr char kHexDigits[] = "0123456789abcdef";

// Bytes a string run may copy unchanged: everything but '"', '\\' and control
// characters; with ensure_ascii also nothing from 0x7F up.
constexpr std::array<bool, 256> plain_bytes(bool ascii_only) {
  std::array<bool, 256> plain{};
  for (int b = 0x20; b < 256; ++b) plain[b] = b != '"' && b != '\\' && (!ascii_only || b < 0x7F);
  return plain;
}
constexpr std::array<bool, 256> kPlainUnicode = plain_bytes(false);
constexpr std::array<bool, 256> kPlainAscii = plain_bytes(true);

void append_u_escape(std::string& out, unsigned unit) {
  char buf[6] = {'\\',
                 'u',
                 kHexDigits[(unit >> 12) & 0xF],
                 kHexDigits[(unit >> 8) & 0xF],
                 kHexDigits[(unit >> 4) & 0xF],
                 kHexDigits[unit & 0xF]};
  out.append(buf, sizeof buf);
}

void append_escaped_byte(std::string& out, unsigned char b) {
  switch (b) {
    case '"':
      out.append("\\\"");
      break;
    case '\\':
      out.append("\\\\");
      break;
    case '\b':
      out.append("\\b");
      break;
    case '\t':
      out.append("\\t");
      break;
    case '\n':
      out.append("\\n");
      break;
    case '\f':
      out.append("\\f");
      break;
    case '\r':
      out.append("\\r");
      break;
    default:
      append_u_escape(out, b);
  }
}

// Whether any of the eight bytes of a word is '"', '\\' or below 0x20.
bool word_needs_escape(std::uint64_t w) {
  constexpr std::uint64_t kOnes = 0x0101010101010101ull;
  constexpr std::uint64_t kHigh = 0x8080808080808080ull;
  auto zero_byte = [](std::uint64_t x) { return (x - kOnes) & ~x & kHigh; };
  // Bytes below 0x20 (bytes from 0x80 up never count as below).
  std::uint64_t below = (w - kOnes * 0x20) & ~w & kHigh;
  return (below | zero_byte(w ^ (kOnes * '"')) | zero_byte(w ^ (kOnes * '\\'))) != 0;
}

}  // namespace

bool json_string_is_plain(std::string_view s) {
  std::size_t i = 0;
  for (; i + 8 <= s.size(); i += 8) {
    std::uint64_t word;
    std::memcpy(&word, s.data() + i, 8);
    if (word_needs_escape(word)) return false;
  }
  for (; i < s.size(); ++i)
    if (!kPlainUnicode[static_cast<unsigned char>(s[i])]) return false;
  return true;
}

void append_json_string(std::string& out, std::string_view s, bool ensure_ascii) {
  const std::array<bool, 256>& plain = ensure_ascii ? kPlainAscii : kPlainUnicode;
  out.push_back('"');
  if (!ensure_ascii && json_string_is_plain(s)) {
    out.append(s);
    out.push_back('"');
    return;
  }
  std::size_t i = 0;
  while (i < s.size()) {
    std::size_t run = i;
    while (run < s.size() && plain[static_cast<unsigned char>(s[run])]) ++run;
    out.append(s.data() + i, run - i);
    i = run;
    if (i == s.size()) break;
    unsigned char b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      append_escaped_byte(out, b);
      ++i;
      continue;
    }
    char32_t cp = unicode::next_code_point(s, i);
    if (cp < 0x10000) {
      append_u_escape(out, cp);
    } else {
      char32_t v = cp - 0x10000;
      append_u_escape(out, 0xD800 + (v >> 10));
      append_u_escape(out, 0xDC00 + (v & 0x3FF));
    }
  }
  out.push_back('"');
}

namespace {

class Writer {
 public:
  Writer(std::string& out, const JsonWriteOptions& options)
      : out_(out), options_(options), indent_(options.indent) {}

  void write(const JsonValue& value, int depth) {
    switch (value.kind()) {
      case JsonValue::Kind::Null:
        out_.append("null");
        return;
      case JsonValue::Kind::Bool:
        out_.append(value.as_bool() ? "true" : "false");
        return;
      case JsonValue::Kind::Int: {
        char buf[24];
        auto result = std::to_chars(buf, buf + sizeof buf, value.as_int());
        out_.append(buf, result.ptr);
        return;
      }
      case JsonValue::Kind::Double:
        append_json_double(out_, value.as_double());
        return;
      case JsonValue::Kind::String:
        append_json_string(out_, value.as_string(), options_.ensure_ascii);
        return;
      case JsonValue::Kind::List:
        write_list(value.as_list(), depth);
        return;
      case JsonValue::Kind::Map:
        write_map(value.as_map(), depth);
        return;
      case JsonValue::Kind::Opaque:
        append_json_string(out_, value.as_opaque().display, options_.ensure_ascii);
        return;
    }
  }

 private:
  bool indented() const { return indent_ >= 0; }

  // Before an item: the separator from the previous one, then with
  // indentation a line break and the item's indent.
  void item_start(bool first, int depth) {
    if (indented()) {
      if (!first) out_.push_back(',');
      newline(depth);
    } else if (!first) {
      out_.append(", ");
    }
  }
  void newline(int depth) {
    out_.push_back('\n');
    out_.append(static_cast<std::size_t>(indent_) * static_cast<std::size_t>(depth), ' ');
  }
  void close(char bracket, int depth) {
    if (indented()) newline(depth);
    out_.push_back(bracket);
  }

  void write_list(const JsonList& list, int depth) {
    if (list.empty()) {
      out_.append("[]");
      return;
    }
    out_.push_back('[');
    bool first = true;
    for (const JsonValue& item : list) {
      item_start(first, depth + 1);
      first = false;
      write(item, depth + 1);
    }
    close(']', depth);
  }

  void write_entry(const JsonMap::value_type& entry, bool first, int depth) {
    item_start(first, depth);
    append_json_string(out_, entry.first, options_.ensure_ascii);
    out_.append(": ");
    write(entry.second, depth);
  }

  void write_map(const JsonMap& map, int depth) {
    if (map.empty()) {
      out_.append("{}");
      return;
    }
    out_.push_back('{');
    if (options_.sort_keys) {
      std::vector<const JsonMap::value_type*> entries;
      entries.reserve(map.size());
      for (const auto& entry : map) entries.push_back(&entry);
      // UTF-8 byte order is code-point order.
      std::stable_sort(entries.begin(), entries.end(),
                       [](const auto* a, const auto* b) { return a->first < b->first; });
      for (std::size_t i = 0; i < entries.size(); ++i) write_entry(*entries[i], i == 0, depth + 1);
    } else {
      bool first = true;
      for (const auto& entry : map) {
        write_entry(entry, first, depth + 1);
        first = false;
      }
    }
    close('}', depth);
  }

  std::string& out_;
  const JsonWriteOptions& options_;
  int indent_;
};

// ---------------------------------------------------------------- reader

constexpr int kMaxParseDepth = 1000;
// Maps at least this large get a key index, so duplicate-key checks stay
// linear in the size of the text.
constexpr std::size_t kIndexedMapSize = 16;

class Parser {
 public:
  explicit Parser(std::string_view text) : text_(text) {}

  JsonValue parse_document() {
    skip_whitespace();
    JsonValue value = parse_value(0);
    skip_whitespace();
    if (pos_ != text_.size()) fail("Extra data", pos_);
    return value;
  }

 private:
  [[noreturn]] void fail(const char* what, std::size_t byte_pos) const {
    std::string_view before = text_.substr(0, std::min(byte_pos, text_.size()));
    std::size_t offset = unicode::code_point_length(before);
    std::size_t line = 1 + static_cast<std::size_t>(std::count(before.begin(), before.end(), '\n'));
    std::size_t line_start = before.rfind('\n');
    std::size_t column = line_start == std::string_view::npos
                             ? offset + 1
                             : unicode::code_point_length(before.substr(line_start + 1)) + 1;
    throw JsonParseError(std::string(what) + ": line " + std::to_string(line) + " column " +
                             std::to_string(column) + " (char " + std::to_string(offset) + ")",
                         offset);
  }

  bool at_end() const { return pos_ >= text_.size(); }
  char peek() const { return text_[pos_]; }

  void skip_whitespace() {
    while (!at_end()) {
      char c = peek();
      if (c != ' ' && c != '\t' && c != '\n' && c != '\r') return;
      ++pos_;
    }
  }

  bool consume_word(std::string_view word) {
    if (text_.substr(pos_, word.size()) != word) return false;
    pos_ += word.size();
    return true;
  }

  JsonValue parse_value(int depth) {
    if (at_end()) fail("Expecting value", pos_);
    switch (peek()) {
      case '{':
        return parse_object(depth + 1);
      case '[':
        return parse_array(depth + 1);
      case '"':
        return JsonValue(parse_string());
      case 'n':
        if (consume_word("null")) return JsonValue();
        break;
      case 't':
        if (consume_word("true")) return JsonValue(true);
        break;
      case 'f':
        if (consume_word("false")) return JsonValue(false);
        break;
      case 'N':
        if (consume_word("NaN")) return JsonValue(std::numeric_limits<double>::quiet_NaN());
        break;
      case 'I':
        if (consume_word("Infinity")) return JsonValue(std::numeric_limits<double>::infinity());
        break;
      case '-':
        if (consume_word("-Infinity")) return JsonValue(-std::numeric_limits<double>::infinity());
        return parse_number();
      default:
        if (peek() >= '0' && peek() <= '9') return parse_number();
    }
    fail("Expecting value", pos_);
  }

  void enter(int depth) const {
    if (depth > kMaxParseDepth) fail("Nesting too deep", pos_);
  }

  JsonValue parse_array(int depth) {
    enter(depth);
    ++pos_;  // '['
    JsonList list;
    if (closed_by(']')) return list;
    do {
      skip_whitespace();
      list.push_back(parse_value(depth));
    } while (another_item(']'));
    return list;
  }

  JsonValue parse_object(int depth) {
    enter(depth);
    ++pos_;  // '{'
    JsonMap map;
    std::unordered_map<std::string, std::size_t> index;
    if (closed_by('}')) return map;
    do {
      skip_whitespace();
      if (at_end() || peek() != '"')
        fail("Expecting property name enclosed in double quotes", pos_);
      std::string key = parse_string();
      skip_whitespace();
      if (at_end() || peek() != ':') fail("Expecting ':' delimiter", pos_);
      ++pos_;
      skip_whitespace();
      JsonValue value = parse_value(depth);
      insert(map, index, std::move(key), std::move(value));
    } while (another_item('}'));
    return map;
  }

  // Skips white space, then `close` if it is there; true if it was.
  bool closed_by(char close) {
    skip_whitespace();
    if (at_end() || peek() != close) return false;
    ++pos_;
    return true;
  }

  // After an item of a list or map: true past a ',' (an item follows),
  // false past `close`.
  bool another_item(char close) {
    skip_whitespace();
    if (!at_end() && peek() == ',') {
      ++pos_;
      return true;
    }
    if (closed_by(close)) return false;
    fail("Expecting ',' delimiter", pos_);
  }

  // A repeated key keeps its first position and takes the last value, as a
  // Python dict does.
  static void insert(JsonMap& map, std::unordered_map<std::string, std::size_t>& index,
                     std::string key, JsonValue value) {
    if (map.size() < kIndexedMapSize) {
      if (JsonValue* existing = map.find(key)) {
        *existing = std::move(value);
      } else {
        map.append_new(std::move(key), std::move(value));
      }
      return;
    }
    if (index.empty()) {
      std::size_t i = 0;
      for (const auto& entry : map) index.emplace(entry.first, i++);
    }
    auto [it, inserted] = index.emplace(key, map.size());
    if (inserted) {
      map.append_new(std::move(key), std::move(value));
    } else {
      (map.begin() + static_cast<std::ptrdiff_t>(it->second))->second = std::move(value);
    }
  }

  unsigned parse_hex4(std::size_t at) const {
    if (text_.size() - at < 4) fail("Invalid \\uXXXX escape", at - 1);
    unsigned unit = 0;
    for (std::size_t k = 0; k < 4; ++k) {
      char c = text_[at + k];
      unsigned digit;
      if (c >= '0' && c <= '9') {
        digit = static_cast<unsigned>(c - '0');
      } else if (c >= 'a' && c <= 'f') {
        digit = static_cast<unsigned>(c - 'a' + 10);
      } else if (c >= 'A' && c <= 'F') {
        digit = static_cast<unsigned>(c - 'A' + 10);
      } else {
        fail("Invalid \\uXXXX escape", at - 1);
      }
      unit = unit * 16 + digit;
    }
    return unit;
  }

  // At a backslash-u escape (pos_ at the 'u'): one code point, a surrogate
  // pair joined. Lone surrogates have no UTF-8 form and are refused.
  char32_t parse_unicode_escape() {
    std::size_t escape_start = pos_ - 1;
    unsigned unit = parse_hex4(pos_ + 1);
    pos_ += 5;
    if (unit >= 0xDC00 && unit <= 0xDFFF) fail("Unpaired surrogate in \\u escape", escape_start);
    if (unit < 0xD800 || unit > 0xDBFF) return unit;
    if (text_.substr(pos_, 2) != "\\u") fail("Unpaired surrogate in \\u escape", escape_start);
    unsigned low = parse_hex4(pos_ + 2);
    if (low < 0xDC00 || low > 0xDFFF) fail("Unpaired surrogate in \\u escape", escape_start);
    pos_ += 6;
    return 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
  }

  std::string parse_string() {
    std::size_t start = pos_;
    ++pos_;  // opening quote
    std::string out;
    while (true) {
      std::size_t run = pos_;
      while (run < text_.size()) {
        unsigned char b = static_cast<unsigned char>(text_[run]);
        if (b == '"' || b == '\\' || b < 0x20) break;
        if (b < 0x80) {
          ++run;
        } else {
          try {
            unicode::next_code_point(text_, run);
          } catch (const unicode::Utf8Error&) {
            fail("Invalid UTF-8", run);
          }
        }
      }
      out.append(text_.data() + pos_, run - pos_);
      pos_ = run;
      if (at_end()) fail("Unterminated string starting at", start);
      char c = peek();
      if (c == '"') {
        ++pos_;
        return out;
      }
      if (c != '\\') fail("Invalid control character at", pos_);
      if (pos_ + 1 >= text_.size()) fail("Unterminated string starting at", start);
      char esc = text_[pos_ + 1];
      ++pos_;
      switch (esc) {
        case '"':
        case '\\':
        case '/':
          out.push_back(esc);
          break;
        case 'b':
          out.push_back('\b');
          break;
        case 'f':
          out.push_back('\f');
          break;
        case 'n':
          out.push_back('\n');
          break;
        case 'r':
          out.push_back('\r');
          break;
        case 't':
          out.push_back('\t');
          break;
        case 'u':
          unicode::append_utf8(out, parse_unicode_escape());
          continue;
        default:
          fail("Invalid \\escape", pos_ - 1);
      }
      ++pos_;
    }
  }

  std::size_t scan_digits(std::size_t at) const {
    while (at < text_.size() && text_[at] >= '0' && text_[at] <= '9') ++at;
    return at;
  }

  JsonValue parse_number() {
    std::size_t start = pos_;
    std::size_t at = pos_;
    if (text_[at] == '-') ++at;
    if (at >= text_.size() || text_[at] < '0' || text_[at] > '9') fail("Expecting value", start);
    at = text_[at] == '0' ? at + 1 : scan_digits(at);
    bool is_float = false;
    if (at + 1 < text_.size() && text_[at] == '.' && text_[at + 1] >= '0' && text_[at + 1] <= '9') {
      at = scan_digits(at + 1);
      is_float = true;
    }
    if (at < text_.size() && (text_[at] == 'e' || text_[at] == 'E')) {
      std::size_t exp = at + 1;
      if (exp < text_.size() && (text_[exp] == '+' || text_[exp] == '-')) ++exp;
      std::size_t end = scan_digits(exp);
      if (end > exp) {
        at = end;
        is_float = true;
      }
    }
    pos_ = at;
    const char* first = text_.data() + start;
    const char* last = text_.data() + at;
    if (!is_float) {
      std::int64_t v = 0;
      auto result = std::from_chars(first, last, v);
      if (result.ec != std::errc()) fail("Integer out of the 64-bit range", start);
      return JsonValue(v);
    }
    double d = 0.0;
    auto result = std::from_chars(first, last, d);
    if (result.ec == std::errc::result_out_of_range) d = out_of_range_double(start, at);
    return JsonValue(d);
  }

  // The value float() gives for a decimal beyond the double range: a signed
  // infinity for huge magnitudes, a signed zero for tiny ones.
  double out_of_range_double(std::size_t start, std::size_t end) const {
    std::string_view number = text_.substr(start, end - start);
    bool negative = number.front() == '-';
    std::size_t exp_at = number.find_first_of("eE");
    std::string_view mantissa = number.substr(0, exp_at);
    long long exponent = 0;
    if (exp_at != std::string_view::npos) {
      std::string_view digits = number.substr(exp_at + 1);
      bool exp_negative = !digits.empty() && digits.front() == '-';
      if (!digits.empty() && (digits.front() == '-' || digits.front() == '+'))
        digits.remove_prefix(1);
      for (char c : digits) exponent = std::min(exponent * 10 + (c - '0'), 1000000000LL);
      if (exp_negative) exponent = -exponent;
    }
    // Decimal magnitude of the first non-zero mantissa digit.
    std::size_t point = mantissa.find('.');
    if (point == std::string_view::npos) point = mantissa.size();
    long long magnitude = 0;
    for (std::size_t k = negative ? 1 : 0; k < mantissa.size(); ++k) {
      if (mantissa[k] == '.' || mantissa[k] == '0') continue;
      magnitude =
          k < point ? static_cast<long long>(point - k) - 1 : -static_cast<long long>(k - point);
      break;
    }
    double result = magnitude + exponent > 0 ? std::numeric_limits<double>::infinity() : 0.0;
    return negative ? -result : result;
  }

  std::string_view text_;
  std::size_t pos_ = 0;
};

}  // namespace

void append_json_double(std::string& out, double x) {
  append_float_repr(out, x, "NaN", "Infinity");
}

void append_json_text(std::string& out, const JsonValue& value, const JsonWriteOptions& options) {
  Writer(out, options).write(value, 0);
}

std::string json_text(const JsonValue& value, const JsonWriteOptions& options) {
  std::string out;
  append_json_text(out, value, options);
  return out;
}

JsonValue parse_json(std::string_view text) { return Parser(text).parse_document(); }

}  // namespace tessarin
