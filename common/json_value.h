// JsonValue: the dynamic value type shared by both libraries (card states,
// catalogs in flexible shapes, map conversions of records, debug records).
//
// A value is null, bool, int64, double, UTF-8 string, list, insertion-ordered
// string-keyed map, or an "opaque" value: an object with no JSON form that
// keeps only its display text.
#pragma once

#include <cstdint>
#include <initializer_list>
#include <iterator>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <variant>
#include <vector>

namespace tessarin {

// Insertion-ordered map from string keys to values. Lookups are linear: the
// maps of this system are small, and order is part of their meaning.
template <class V>
class OrderedMap {
 public:
  using value_type = std::pair<std::string, V>;
  using iterator = typename std::vector<value_type>::iterator;
  using const_iterator = typename std::vector<value_type>::const_iterator;

  OrderedMap() = default;
  OrderedMap(std::initializer_list<value_type> items) {
    for (const auto& item : items) set(item.first, item.second);
  }

  const V* find(std::string_view key) const {
    for (const auto& item : items_)
      if (item.first == key) return &item.second;
    return nullptr;
  }
  V* find(std::string_view key) {
    for (auto& item : items_)
      if (item.first == key) return &item.second;
    return nullptr;
  }
  bool contains(std::string_view key) const { return find(key) != nullptr; }

  // Replaces the value of an existing key in place, else appends.
  V& set(std::string key, V value) {
    if (V* existing = find(key)) {
      *existing = std::move(value);
      return *existing;
    }
    items_.emplace_back(std::move(key), std::move(value));
    return items_.back().second;
  }
  // Appends without looking for the key; the caller guarantees it is new.
  V& append_new(std::string key, V value) {
    items_.emplace_back(std::move(key), std::move(value));
    return items_.back().second;
  }
  // Appends a value built in place from args, without looking for the key.
  template <class... Args>
  V& emplace_new(std::string_view key, Args&&... args) {
    items_.emplace_back(std::piecewise_construct, std::forward_as_tuple(key),
                        std::forward_as_tuple(std::forward<Args>(args)...));
    return items_.back().second;
  }
  // Value for key, default-inserted at the end when absent.
  V& operator[](std::string_view key) {
    if (V* existing = find(key)) return *existing;
    items_.emplace_back(std::string(key), V());
    return items_.back().second;
  }
  bool erase(std::string_view key) {
    for (auto it = items_.begin(); it != items_.end(); ++it) {
      if (it->first == key) {
        items_.erase(it);
        return true;
      }
    }
    return false;
  }

  std::size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  void clear() { items_.clear(); }
  void reserve(std::size_t n) { items_.reserve(n); }
  iterator begin() { return items_.begin(); }
  iterator end() { return items_.end(); }
  const_iterator begin() const { return items_.begin(); }
  const_iterator end() const { return items_.end(); }
  const std::vector<value_type>& items() const { return items_; }

  friend bool operator==(const OrderedMap& a, const OrderedMap& b) { return a.items_ == b.items_; }

 private:
  std::vector<value_type> items_;
};

class JsonValue;
using JsonList = std::vector<JsonValue>;
using JsonMap = OrderedMap<JsonValue>;

// An object without a JSON form: written by JSON as the string of its display
// text, and shown bare by display text.
// `payload` lets a host runtime keep the original object (the Python bindings
// keep the Python object, so it comes back unchanged); the core never reads it.
struct JsonOpaque {
  std::string display;
  std::shared_ptr<void> payload;
  friend bool operator==(const JsonOpaque& a, const JsonOpaque& b) {
    return a.display == b.display;
  }
};

class JsonValue {
 public:
  enum class Kind { Null, Bool, Int, Double, String, List, Map, Opaque };

  JsonValue() = default;
  JsonValue(std::nullptr_t) {}
  JsonValue(bool b) : v_(b) {}
  JsonValue(int i) : v_(static_cast<std::int64_t>(i)) {}
  JsonValue(long i) : v_(static_cast<std::int64_t>(i)) {}
  JsonValue(long long i) : v_(static_cast<std::int64_t>(i)) {}
  JsonValue(double d) : v_(d) {}
  JsonValue(const char* s) : v_(std::string(s)) {}
  JsonValue(std::string s) : v_(std::move(s)) {}
  JsonValue(std::string_view s) : v_(std::string(s)) {}
  JsonValue(JsonList l) : v_(std::move(l)) {}
  JsonValue(JsonMap m) : v_(std::move(m)) {}
  JsonValue(JsonOpaque o) : v_(std::move(o)) {}

  Kind kind() const { return static_cast<Kind>(v_.index()); }
  bool is_null() const { return kind() == Kind::Null; }
  bool is_bool() const { return kind() == Kind::Bool; }
  bool is_int() const { return kind() == Kind::Int; }
  bool is_double() const { return kind() == Kind::Double; }
  bool is_number() const { return is_int() || is_double(); }
  bool is_string() const { return kind() == Kind::String; }
  bool is_list() const { return kind() == Kind::List; }
  bool is_map() const { return kind() == Kind::Map; }
  bool is_opaque() const { return kind() == Kind::Opaque; }

  // Unchecked accessors: the caller has tested the kind.
  bool as_bool() const { return std::get<bool>(v_); }
  std::int64_t as_int() const { return std::get<std::int64_t>(v_); }
  double as_double() const { return std::get<double>(v_); }
  const std::string& as_string() const { return std::get<std::string>(v_); }
  std::string& as_string() { return std::get<std::string>(v_); }
  const JsonList& as_list() const { return std::get<JsonList>(v_); }
  JsonList& as_list() { return std::get<JsonList>(v_); }
  const JsonMap& as_map() const { return std::get<JsonMap>(v_); }
  JsonMap& as_map() { return std::get<JsonMap>(v_); }
  const JsonOpaque& as_opaque() const { return std::get<JsonOpaque>(v_); }

  // Numeric value of an int or double (bool counts as 0/1), else 0.
  double to_double() const {
    switch (kind()) {
      case Kind::Int:
        return static_cast<double>(as_int());
      case Kind::Double:
        return as_double();
      case Kind::Bool:
        return as_bool() ? 1.0 : 0.0;
      default:
        return 0.0;
    }
  }

  // Empty: null, false, 0, 0.0 (either sign), "", [] or {}. NaN is not empty.
  bool is_empty() const {
    switch (kind()) {
      case Kind::Null:
        return true;
      case Kind::Bool:
        return !as_bool();
      case Kind::Int:
        return as_int() == 0;
      case Kind::Double:
        return as_double() == 0.0;
      case Kind::String:
        return as_string().empty();
      case Kind::List:
        return as_list().empty();
      case Kind::Map:
        return as_map().empty();
      case Kind::Opaque:
        return false;
    }
    return false;
  }

  // Map lookup; null when this is not a map or the key is absent.
  const JsonValue* get(std::string_view key) const {
    return is_map() ? as_map().find(key) : nullptr;
  }

  friend bool operator==(const JsonValue& a, const JsonValue& b) { return a.v_ == b.v_; }

 private:
  std::variant<std::monostate, bool, std::int64_t, double, std::string, JsonList, JsonMap,
               JsonOpaque>
      v_;
};

// The name of the equivalent Python type ("NoneType", "int", "dict", ...),
// for error messages about values of the wrong kind.
inline const char* python_kind_name(const JsonValue& value) {
  // In the order of JsonValue::Kind.
  static constexpr const char* kNames[] = {"NoneType", "bool", "int",  "float",
                                           "str",      "list", "dict", "object"};
  static_assert(std::size(kNames) == static_cast<std::size_t>(JsonValue::Kind::Opaque) + 1);
  return kNames[static_cast<std::size_t>(value.kind())];
}

// A list of the strings, in order.
inline JsonList json_list(const std::vector<std::string>& items) {
  return JsonList(items.begin(), items.end());
}

// The value, or null when there is none.
template <class T>
JsonValue json_or_null(const std::optional<T>& value) {
  return value ? JsonValue(*value) : JsonValue();
}

// The first non-empty of a and b.
inline const JsonValue& first_non_empty(const JsonValue& a, const JsonValue& b) {
  return a.is_empty() ? b : a;
}

}  // namespace tessarin
