// Helpers shared by every binding file: conversion between Python objects
// and JsonValue (with the nanobind casters for JsonValue and OrderedMap<V>),
// iteration over the caller's lists, references to Python objects that any
// thread may drop, and the interrupt rule for callbacks.
//
// Python -> JsonValue: None, bool, int (int64; larger ones raise
// OverflowError), float, str, list and tuple, dict with str keys (order
// kept). Anything else becomes an opaque value that keeps the object itself
// and its str() as display text; it converts back to the very same object.
#pragma once

#include <nanobind/nanobind.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/string_view.h>
#include <nanobind/stl/vector.h>

#include <exception>
#include <memory>
#include <string>
#include <vector>

#include "tessarin/common/json_value.h"

namespace tessarin::py {

namespace nb = nanobind;

// Throws nb::python_error / std::overflow_error / nb::value_error.
JsonValue to_json(nb::handle obj);
// A dict converted to a map; TypeError naming `what` when obj is not a dict.
JsonMap to_json_map(nb::handle obj, const char* what);
nb::object from_json(const JsonValue& value);
nb::object from_json_map(const JsonMap& map);

// UTF-8 text of a Python str; TypeError naming `what` otherwise.
std::string to_utf8(nb::handle obj, const char* what);

// Python name of obj's type, for error messages.
std::string python_type_name(nb::handle obj);

// Calls f on each item of any iterable but a str or a dict, each item held
// while f runs. TypeError naming `what` for a str or a dict; the iterator's
// own error (TypeError for a non-iterable) otherwise.
template <class F>
void for_each_item(nb::handle iterable, const char* what, F&& f) {
  if (PyUnicode_Check(iterable.ptr()) || PyDict_Check(iterable.ptr()))
    throw nb::type_error(
        (std::string(what) + " must be a list, got " + python_type_name(iterable)).c_str());
  nb::object iterator = nb::steal(PyObject_GetIter(iterable.ptr()));
  if (!iterator.is_valid()) throw nb::python_error();
  while (PyObject* item = PyIter_Next(iterator.ptr())) {
    nb::object owned = nb::steal(item);
    f(nb::handle(owned));
  }
  if (PyErr_Occurred()) throw nb::python_error();
}

// The items of an iterable (for_each_item), each a str: TypeError naming
// `item_what` for any other item.
std::vector<std::string> str_items(nb::handle iterable, const char* what, const char* item_what);

// The str items of an iterable, others skipped: a word set taken as Python
// takes set(items), where a non-str item can never equal a word.
std::vector<std::string> str_items_skipping(nb::handle iterable);
template <class WordSet>
WordSet word_set_skipping(nb::handle iterable) {
  std::vector<std::string> words = str_items_skipping(iterable);
  return WordSet(words.begin(), words.end());
}

// A Python list of the texts of a range of std::string or std::string_view.
template <class Range>
nb::list str_list(const Range& texts) {
  nb::list out;
  for (const auto& item : texts) {
    std::string_view text(item);
    out.append(nb::str(text.data(), text.size()));
  }
  return out;
}

// A strong reference that may be dropped on any thread, with or without the
// GIL (nanobind defers the release until the GIL is held).
class PyRef {
 public:
  explicit PyRef(nb::handle object)
      : ref_(object.inc_ref().ptr(), [](PyObject* p) {
          if (nb::detail::cleanup_guard guard{}) Py_DECREF(p);
        }) {}
  nb::handle get() const { return ref_.get(); }
  nb::object object() const { return nb::borrow(ref_.get()); }

 private:
  std::shared_ptr<PyObject> ref_;
};

// KeyboardInterrupt and SystemExit raised by a callback end the call that ran
// it; any other error of a callback counts as that callback failing.
bool is_interrupt(nb::python_error& error);
// Restores the Python error that `cause` holds (the caught python_error of
// an interrupt), as the error of the current call.
void restore_interrupt(const std::exception_ptr& cause);

}  // namespace tessarin::py

namespace nanobind::detail {

// A caster through the conversion functions of Traits: a conversion error
// makes the argument not match (nanobind then reports the call); a failed
// conversion back to Python raises. Traits::accepts screens the object first.
template <class T, class Traits>
struct converting_caster {
  NB_TYPE_CASTER(T, Traits::name)

  bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
    if (!Traits::accepts(src)) return false;
    try {
      value = Traits::to_cpp(src);
      return true;
    } catch (python_error& e) {
      e.restore();
      PyErr_Clear();
      return false;
    } catch (...) {
      return false;
    }
  }
  static handle from_cpp(const T& v, rv_policy, cleanup_list*) noexcept {
    try {
      return Traits::to_python(v).release();
    } catch (python_error& e) {
      e.restore();
      return handle();
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, Traits::failure);
      return handle();
    }
  }
};

struct JsonValueTraits {
  static constexpr auto name = const_name("object");
  static constexpr const char* failure = "could not convert a JSON value to Python";
  static bool accepts(handle) { return true; }
  static tessarin::JsonValue to_cpp(handle src) { return tessarin::py::to_json(src); }
  static object to_python(const tessarin::JsonValue& v) { return tessarin::py::from_json(v); }
};

template <>
struct type_caster<tessarin::JsonValue> : converting_caster<tessarin::JsonValue, JsonValueTraits> {
};

// OrderedMap<V> <-> dict with str keys, order kept.
template <class V>
struct type_caster<tessarin::OrderedMap<V>> {
  using Map = tessarin::OrderedMap<V>;
  using ValueCaster = make_caster<V>;
  NB_TYPE_CASTER(Map, const_name("dict[str, ") + ValueCaster::Name + const_name("]"))

  bool from_python(handle src, uint8_t flags, cleanup_list* cleanup) noexcept {
    if (!PyDict_Check(src.ptr())) return false;
    value.clear();
    PyObject *key, *item;
    Py_ssize_t pos = 0;
    const Py_ssize_t n = PyDict_Size(src.ptr());
    while (PyDict_Next(src.ptr(), &pos, &key, &item)) {
      // Held while the value converts: a callback may change the dict.
      object k = borrow(key), v = borrow(item);
      Py_ssize_t size;
      if (!PyUnicode_Check(k.ptr())) return false;
      const char* text = PyUnicode_AsUTF8AndSize(k.ptr(), &size);
      if (!text) {
        PyErr_Clear();
        return false;
      }
      std::string name(text, static_cast<size_t>(size));
      ValueCaster caster;
      if (!caster.from_python(v, flags, cleanup) || PyDict_Size(src.ptr()) != n) return false;
      value.set(std::move(name), caster.operator cast_t<V>());
    }
    return true;
  }

  template <class M>
  static handle from_cpp(M&& map, rv_policy policy, cleanup_list* cleanup) noexcept {
    object dict = steal(PyDict_New());
    if (!dict.is_valid()) return handle();
    for (auto& [key, item] : map) {
      object k =
          steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
      object v = steal(ValueCaster::from_cpp(forward_like_<M>(item), policy, cleanup));
      if (!k.is_valid() || !v.is_valid()) return handle();
      if (PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()) != 0) return handle();
    }
    return dict.release();
  }
};

struct JsonMapTraits {
  static constexpr auto name = const_name("dict[str, object]");
  static constexpr const char* failure = "could not convert a JSON map to Python";
  static bool accepts(handle src) { return PyDict_Check(src.ptr()); }
  static tessarin::JsonMap to_cpp(handle src) { return tessarin::py::to_json_map(src, "value"); }
  static object to_python(const tessarin::JsonMap& m) { return tessarin::py::from_json_map(m); }
};

template <>
struct type_caster<tessarin::JsonMap> : converting_caster<tessarin::JsonMap, JsonMapTraits> {};

}  // namespace nanobind::detail
