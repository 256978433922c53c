// Conversion between Python objects and JsonValue, and the nanobind casters
// for JsonValue and OrderedMap<V>.
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

#include <string>

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

}  // namespace tessarin::py

namespace nanobind::detail {

template <>
struct type_caster<tessarin::JsonValue> {
  NB_TYPE_CASTER(tessarin::JsonValue, const_name("object"))

  bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
    try {
      value = tessarin::py::to_json(src);
      return true;
    } catch (python_error& e) {
      e.restore();
      PyErr_Clear();
      return false;
    } catch (...) {
      return false;
    }
  }
  static handle from_cpp(const tessarin::JsonValue& v, rv_policy, cleanup_list*) noexcept {
    try {
      return tessarin::py::from_json(v).release();
    } catch (python_error& e) {
      e.restore();
      return handle();
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "could not convert a JSON value to Python");
      return handle();
    }
  }
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
      object k = steal(PyUnicode_FromStringAndSize(key.data(), static_cast<Py_ssize_t>(key.size())));
      object v = steal(ValueCaster::from_cpp(forward_like_<M>(item), policy, cleanup));
      if (!k.is_valid() || !v.is_valid()) return handle();
      if (PyDict_SetItem(dict.ptr(), k.ptr(), v.ptr()) != 0) return handle();
    }
    return dict.release();
  }
};

template <>
struct type_caster<tessarin::JsonMap> {
  NB_TYPE_CASTER(tessarin::JsonMap, const_name("dict[str, object]"))

  bool from_python(handle src, uint8_t, cleanup_list*) noexcept {
    if (!PyDict_Check(src.ptr())) return false;
    try {
      value = tessarin::py::to_json_map(src, "value");
      return true;
    } catch (python_error& e) {
      e.restore();
      PyErr_Clear();
      return false;
    } catch (...) {
      return false;
    }
  }
  static handle from_cpp(const tessarin::JsonMap& m, rv_policy, cleanup_list*) noexcept {
    try {
      return tessarin::py::from_json_map(m).release();
    } catch (python_error& e) {
      e.restore();
      return handle();
    } catch (...) {
      PyErr_SetString(PyExc_RuntimeError, "could not convert a JSON map to Python");
      return handle();
    }
  }
};

}  // namespace nanobind::detail
