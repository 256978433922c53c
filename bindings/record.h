// Record<T>: binds a C++ value struct as a Python class that behaves like a
// dataclass: construction by position (declaration order) and by keyword with
// the struct's defaults, TypeError for a missing required field, an unknown
// keyword or a value of the wrong type (naming the field), readable and
// assignable attributes, ==, a dataclass-style repr, copy, deepcopy, pickle
// and __match_args__.
//
// Defaults are those of a default-constructed T; fields declared `required`
// must be given.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

#include "convert.h"

namespace tessarin::py {

namespace nb = nanobind;

// How a field's type reads in error messages and in the constructor's
// signature. Other value types overload field_type in this namespace.
struct FieldType {
  const char* label;
  const char* annotation;
};
template <class M>
struct Tag {};

// The plain types with a label of their own; their optionals read
// "<label> or None" and "<annotation> | None" (not bool's: an optional bool
// keeps the generic label).
template <class M>
constexpr FieldType plain_field_type() {
  if constexpr (std::is_same_v<M, bool>)
    return {"bool", "bool"};
  else if constexpr (std::is_same_v<M, std::int64_t> || std::is_same_v<M, int>)
    return {"int", "int"};
  else if constexpr (std::is_same_v<M, double>)
    return {"float", "float"};
  else if constexpr (std::is_same_v<M, std::string>)
    return {"str", "str"};
  else if constexpr (std::is_same_v<M, JsonMap>)
    return {"dict", "collections.abc.Mapping[str, object]"};
  else if constexpr (std::is_same_v<M, std::vector<std::string>>)
    return {"list of str", "collections.abc.Sequence[str]"};
  else
    return {nullptr, "object"};
}

template <class M>
FieldType field_type(Tag<M>) {
  constexpr FieldType plain = plain_field_type<M>();
  if constexpr (plain.label != nullptr) return plain;
  return {"a value of the field's type", "object"};
}
template <class M>
FieldType field_type(Tag<std::optional<M>>) {
  constexpr FieldType plain = plain_field_type<M>();
  if constexpr (plain.label == nullptr || std::is_same_v<M, bool>) {
    return {"a value of the field's type", "object"};
  } else {
    static const std::string label = std::string(plain.label) + " or None";
    static const std::string annotation = std::string(plain.annotation) + " | None";
    return {label.c_str(), annotation.c_str()};
  }
}

template <class M>
FieldType field_type_of() {
  return field_type(Tag<M>{});
}

[[noreturn]] inline void raise_field_type(const std::string& owner, const char* field,
                                          const char* label, nb::handle value) {
  throw nb::type_error(
      (owner + "." + field + " must be " + label + ", got " + python_type_name(value)).c_str());
}

// Converts a Python value for a field of type M; TypeError names the field.
template <class M>
struct FieldConverter {
  static M convert(nb::handle value, const std::string& owner, const char* field) {
    M out;
    if (!nb::try_cast<M>(value, out))
      raise_field_type(owner, field, field_type_of<M>().label, value);
    return out;
  }
};
template <>
struct FieldConverter<JsonValue> {
  static JsonValue convert(nb::handle value, const std::string&, const char*) {
    return to_json(value);
  }
};
template <>
struct FieldConverter<JsonMap> {
  static JsonMap convert(nb::handle value, const std::string& owner, const char* field) {
    if (!PyDict_Check(value.ptr())) raise_field_type(owner, field, "dict", value);
    return to_json_map(value, (owner + "." + field).c_str());
  }
};
template <>
struct FieldConverter<std::optional<JsonMap>> {
  static std::optional<JsonMap> convert(nb::handle value, const std::string& owner,
                                        const char* field) {
    if (value.is_none()) return std::nullopt;
    return FieldConverter<JsonMap>::convert(value, owner, field);
  }
};
// bool fields accept exactly True and False (ints are rejected, as a typo
// such as is_active=2 would otherwise pass silently).
template <>
struct FieldConverter<bool> {
  static bool convert(nb::handle value, const std::string& owner, const char* field) {
    if (!PyBool_Check(value.ptr())) raise_field_type(owner, field, "bool", value);
    return value.ptr() == Py_True;
  }
};

// The C++ value of a record instance. An instance made by __new__ alone (a
// pickle stream without state, for one) holds no value yet: TypeError, not a
// read of unconstructed memory.
template <class T>
T& record_value(nb::handle self, const std::string& owner) {
  if (!nb::inst_check(self) || !nb::inst_ready(self))
    throw nb::type_error((owner + " object is not initialized (created by __new__ without "
                                  "__init__ or pickle state)")
                             .c_str());
  return *nb::inst_ptr<T>(self);
}

struct RequiredTag {};
inline constexpr RequiredTag required{};
// A field whose default is computed at construction (a clock reading): the
// signature shows it as "...".
struct VaryingTag {};
inline constexpr VaryingTag varying{};

// The default of a field as the constructor's signature shows it: the value
// itself for None, bool, int, float and str, "..." for anything mutable.
inline std::string default_text(nb::handle value) {
  PyObject* p = value.ptr();
  if (p == Py_None || PyBool_Check(p) || PyLong_Check(p) || PyFloat_Check(p) || PyUnicode_Check(p))
    return nb::cast<std::string>(nb::repr(value));
  return "...";
}

template <class T>
class Record {
 public:
  struct Field {
    std::string name;
    bool required = false;
    // "name: annotation = default", as the constructor's signature shows it.
    std::function<std::string(const T& defaults)> parameter;
    std::function<nb::object(nb::handle self)> get;
    std::function<void(T& self, nb::handle value)> set;
  };

  Record(nb::handle scope, const char* name, const char* doc)
      : cls_(scope, name, doc), name_(name), fields_(std::make_shared<std::vector<Field>>()) {}

  template <class M>
  Record& field(const char* name, M T::*member, const char* doc = nullptr) {
    add<M>(name, member, false, doc);
    return *this;
  }
  template <class M>
  Record& field(const char* name, M T::*member, RequiredTag, const char* doc = nullptr) {
    add<M>(name, member, true, doc);
    return *this;
  }
  template <class M>
  Record& field(const char* name, M T::*member, VaryingTag, const char* doc = nullptr) {
    add<M>(name, member, false, doc);
    fields_->back().parameter = [name = std::string(name)](const T&) {
      return name + ": " + field_type_of<M>().annotation + " = ...";
    };
    return *this;
  }
  // A field read back as a copy: for lists of records, whose elements would
  // otherwise refer into a vector that an assignment can reallocate.
  template <class M>
  Record& field(const char* name, M T::*member, nb::rv_policy policy, const char* doc = nullptr) {
    add<M>(name, member, false, doc, policy);
    return *this;
  }

  nb::class_<T>& cls() { return cls_; }

  // Defines __init__, __eq__, __repr__, pickling and copying from the fields.
  nb::class_<T>& finish();

 private:
  template <class M>
  void add(const char* name, M T::*member, bool is_required, const char* doc,
           nb::rv_policy policy = nb::rv_policy::reference_internal) {
    Field f;
    f.name = name;
    f.required = is_required;
    std::string owner = name_;
    f.get = [member, policy, owner](nb::handle self) -> nb::object {
      T& obj = record_value<T>(self, owner);
      return nb::cast(obj.*member, policy, self);
    };
    std::string field_name = name;
    f.parameter = [member, field_name, is_required](const T& defaults) {
      std::string text = field_name + ": " + field_type_of<M>().annotation;
      if (is_required) return text;
      return text + " = " + default_text(nb::cast(defaults.*member, nb::rv_policy::copy));
    };
    f.set = [member, owner, field_name](T& obj, nb::handle value) {
      obj.*member = FieldConverter<M>::convert(value, owner, field_name.c_str());
    };
    fields_->push_back(f);
    cls_.def_prop_rw(
        name, [get = f.get](nb::handle self) { return get(self); },
        [set = f.set](T& obj, nb::handle value) { set(obj, value); },
        // None reaches the converter: it sets an optional field and is a
        // TypeError naming the field for any other.
        nb::for_setter(nb::arg("value").none()), doc ? doc : "");
  }

  nb::class_<T> cls_;
  std::string name_;
  std::shared_ptr<std::vector<Field>> fields_;
};

template <class T>
nb::class_<T>& Record<T>::finish() {
  auto fields = fields_;
  std::string name = name_;
  std::string signature = "def __init__(self";
  {
    const T defaults{};
    for (const Field& f : *fields) signature += ", " + f.parameter(defaults);
  }
  signature += ") -> None";

  cls_.def(
      "__init__",
      [fields, name](T* self, nb::args args, nb::kwargs kwargs) {
        new (self) T();
        const std::size_t n_args = args.size();
        if (n_args > fields->size())
          throw nb::type_error((name + "() takes " + std::to_string(fields->size()) +
                                " positional arguments but " + std::to_string(n_args) +
                                " were given")
                                   .c_str());
        std::vector<bool> given(fields->size(), false);
        for (std::size_t i = 0; i < n_args; ++i) {
          (*fields)[i].set(*self, args[i]);
          given[i] = true;
        }
        for (auto [key, value] : kwargs) {
          std::string k = nb::cast<std::string>(key);
          std::size_t i = 0;
          while (i < fields->size() && (*fields)[i].name != k) ++i;
          if (i == fields->size())
            throw nb::type_error(
                (name + "() got an unexpected keyword argument '" + k + "'").c_str());
          if (given[i])
            throw nb::type_error(
                (name + "() got multiple values for argument '" + k + "'").c_str());
          (*fields)[i].set(*self, value);
          given[i] = true;
        }
        for (std::size_t i = 0; i < fields->size(); ++i)
          if ((*fields)[i].required && !given[i])
            throw nb::type_error(
                (name + "() missing required argument: '" + (*fields)[i].name + "'").c_str());
      },
      nb::sig(signature.c_str()));

  cls_.def(
      "__eq__",
      [fields](nb::handle self, nb::handle other) -> nb::object {
        if (!nb::isinstance<T>(other) || !self.type().is(other.type()))
          return nb::borrow(Py_NotImplemented);
        for (const Field& f : *fields) {
          int eq = PyObject_RichCompareBool(f.get(self).ptr(), f.get(other).ptr(), Py_EQ);
          if (eq < 0) throw nb::python_error();
          if (!eq) return nb::bool_(false);
        }
        return nb::bool_(true);
      },
      nb::is_operator());
  cls_.attr("__hash__") = nb::none();

  cls_.def("__repr__", [fields, name](nb::handle self) {
    std::string out = name + "(";
    for (std::size_t i = 0; i < fields->size(); ++i) {
      const Field& f = (*fields)[i];
      if (i) out += ", ";
      out += f.name + "=" + nb::cast<std::string>(nb::repr(f.get(self)));
    }
    return out + ")";
  });

  cls_.def("__getstate__", [fields](nb::handle self) {
    nb::list state;
    for (const Field& f : *fields) state.append(f.get(self));
    return nb::tuple(state);
  });
  // The state is checked in full before the instance takes it, so a bad one
  // leaves the instance uninitialized rather than half set.
  cls_.def("__setstate__", [fields, name](T& self, nb::tuple state) {
    if (state.size() != fields->size())
      throw nb::value_error(("bad pickle state for " + name + ": expected a tuple of " +
                             std::to_string(fields->size()) + " fields, got " +
                             std::to_string(state.size()))
                                .c_str());
    T value;
    for (std::size_t i = 0; i < fields->size(); ++i) (*fields)[i].set(value, state[i]);
    new (&self) T(std::move(value));
  });
  cls_.def("__copy__", [name](nb::handle self) { return T(record_value<T>(self, name)); });
  cls_.def(
      "__deepcopy__",
      [](nb::handle self, nb::handle memo) {
        nb::object state = self.attr("__getstate__")();
        nb::object copied = nb::module_::import_("copy").attr("deepcopy")(state, memo);
        nb::object result = self.type().attr("__new__")(self.type());
        result.attr("__setstate__")(copied);
        return result;
      },
      nb::arg("memo"));

  nb::list match_args;
  for (const Field& f : *fields) match_args.append(nb::str(f.name.c_str()));
  cls_.attr("__match_args__") = nb::tuple(match_args);
  return cls_;
}

}  // namespace tessarin::py
