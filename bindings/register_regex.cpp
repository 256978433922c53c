// Python surface of the regex engine: compile_pattern, the Pattern class
// (tessarin::Regex itself, so C++ code returning a Regex hands Python a
// Pattern) and Match. Offsets are in code points, as Python's own.
#include <nanobind/nanobind.h>
#include <nanobind/stl/string.h>

#include <optional>
#include <string>
#include <utility>
#include <variant>
#include <vector>

#include "convert.h"
#include "register.h"
#include "tessarin/common/regex.h"
#include "tessarin/common/regex_internal.h"
#include "tessarin/common/regex_replace.h"

namespace tessarin::py {

namespace {

// Texts longer than this are matched without holding the GIL.
constexpr std::size_t kReleaseGilFrom = 4096;

std::u32string code_points(nb::handle text) {
  if (!PyUnicode_Check(text.ptr()))
    throw nb::type_error(("expected str, got " + python_type_name(text)).c_str());
  PyObject* s = text.ptr();
  Py_ssize_t n = PyUnicode_GET_LENGTH(s);
  int kind = PyUnicode_KIND(s);
  const void* data = PyUnicode_DATA(s);
  std::u32string out(static_cast<std::size_t>(n), U'\0');
  for (Py_ssize_t i = 0; i < n; ++i)
    out[static_cast<std::size_t>(i)] = PyUnicode_READ(kind, data, i);
  return out;
}

nb::str to_str(std::u32string_view text) {
  PyObject* s = PyUnicode_FromKindAndData(PyUnicode_4BYTE_KIND, text.data(),
                                          static_cast<Py_ssize_t>(text.size()));
  if (!s) throw nb::python_error();
  return nb::steal<nb::str>(s);
}

nb::object substring(nb::handle text, std::size_t start, std::size_t end) {
  PyObject* s =
      PyUnicode_Substring(text.ptr(), static_cast<Py_ssize_t>(start), static_cast<Py_ssize_t>(end));
  if (!s) throw nb::python_error();
  return nb::steal(s);
}

std::size_t clamp_pos(Py_ssize_t pos, std::size_t size) {
  if (pos < 0) return 0;
  return std::min(static_cast<std::size_t>(pos), size);
}

// Runs f(pattern) on a copy that shares the immutable compiled program, so
// the match owns what it reads while other threads run.
template <class F>
auto without_gil_if_long(const Regex& re, std::size_t size, F&& f) {
  if (size < kReleaseGilFrom) return f(re);
  const Regex owned = re;
  nb::gil_scoped_release release;
  return f(owned);
}

struct Match {
  RegexMatch match;
  nb::object text;  // the searched str
  Regex re;
  std::size_t pos;

  std::size_t checked_group(nb::handle g) const {
    if (!PyLong_Check(g.ptr())) throw nb::index_error("no such group");
    long long index = PyLong_AsLongLong(g.ptr());
    if (PyErr_Occurred()) {
      PyErr_Clear();
      throw nb::index_error("no such group");
    }
    if (index < 0 || static_cast<std::size_t>(index) > re.group_count())
      throw nb::index_error("no such group");
    return static_cast<std::size_t>(index);
  }

  Py_ssize_t start(nb::handle g) const {
    std::size_t i = checked_group(g);
    return match.matched(i) ? static_cast<Py_ssize_t>(match.start(i)) : -1;
  }
  Py_ssize_t end(nb::handle g) const {
    std::size_t i = checked_group(g);
    return match.matched(i) ? static_cast<Py_ssize_t>(match.end(i)) : -1;
  }
  nb::object group_text(std::size_t i, nb::handle unset) const {
    if (!match.matched(i)) return nb::borrow(unset);
    return substring(text, match.start(i), match.end(i));
  }
  nb::object group(nb::args args) const {
    if (args.size() == 0) return group_text(0, nb::none());
    if (args.size() == 1) return group_text(checked_group(args[0]), nb::none());
    nb::list items;
    for (nb::handle a : args) items.append(group_text(checked_group(a), nb::none()));
    return nb::tuple(items);
  }
  nb::tuple groups(nb::handle unset) const {
    nb::list items;
    for (std::size_t i = 1; i <= re.group_count(); ++i) items.append(group_text(i, unset));
    return nb::tuple(items);
  }
  std::string repr() const {
    nb::object whole = group_text(0, nb::none());
    return "<tessarin.Match object; span=(" + std::to_string(match.start()) + ", " +
           std::to_string(match.end()) + "), match=" + nb::cast<std::string>(nb::repr(whole)) + ">";
  }
};

nb::object sub(const Regex& re, nb::handle repl, nb::handle text) {
  std::u32string r = code_points(repl);
  std::u32string t = code_points(text);
  std::optional<RegexTemplate> tpl;
  try {
    tpl.emplace(r, re.group_count());
  } catch (const RegexTemplateError& e) {
    throw nb::value_error(e.what());
  } catch (const RegexGroupNameError& e) {
    throw nb::index_error(e.what());
  }
  return to_str(without_gil_if_long(re, t.size(), [&](const Regex& p) { return p.sub(*tpl, t); }));
}

enum class Anchor { kSearch, kMatch, kFull };

nb::object find_one(const Regex& re, nb::handle text, Py_ssize_t pos, Anchor anchor) {
  std::u32string t = code_points(text);
  std::size_t start = clamp_pos(pos, t.size());
  RegexMatch m;
  bool found = without_gil_if_long(re, t.size(), [&](const Regex& p) {
    switch (anchor) {
      case Anchor::kMatch:
        return p.match_at(t, start, m);
      case Anchor::kFull:
        return p.full_match(t, start, m);
      default:
        return p.search(t, start, m);
    }
  });
  if (!found) return nb::none();
  return nb::cast(Match{std::move(m), nb::borrow(text), re, start});
}

std::vector<RegexMatch> all_matches(const Regex& re, std::u32string_view t) {
  return without_gil_if_long(re, t.size(), [&](const Regex& p) { return p.find_all(t); });
}

nb::list findall(const Regex& re, nb::handle text) {
  std::u32string t = code_points(text);
  nb::list out;
  std::size_t groups = re.group_count();
  nb::str empty("");
  for (const RegexMatch& m : all_matches(re, t)) {
    if (groups == 0) {
      out.append(substring(text, m.start(), m.end()));
    } else if (groups == 1) {
      out.append(m.matched(1) ? substring(text, m.start(1), m.end(1)) : nb::object(empty));
    } else {
      nb::list items;
      for (std::size_t g = 1; g <= groups; ++g)
        items.append(m.matched(g) ? substring(text, m.start(g), m.end(g)) : nb::object(empty));
      out.append(nb::tuple(items));
    }
  }
  return out;
}

nb::object finditer(const Regex& re, nb::handle text) {
  std::u32string t = code_points(text);
  nb::list out;
  for (RegexMatch& m : all_matches(re, t))
    out.append(nb::cast(Match{std::move(m), nb::borrow(text), re, 0}));
  return nb::iter(out);
}

std::string pattern_repr(const Regex& re) {
  std::string out = "tessarin.compile_pattern(";
  out += nb::cast<std::string>(nb::repr(nb::str(re.pattern().c_str(), re.pattern().size())));
  if (re.ignorecase()) out += ", ignorecase=True";
  return out + ")";
}

Regex compile(nb::handle pattern, bool ignorecase) {
  std::string text = to_utf8(pattern, "pattern");
  return Regex(text, ignorecase);
}

}  // namespace

void register_regex(nb::module_& m) {
  nb::class_<Match>(m, "Match", "One match; offsets count code points.")
      .def("start", &Match::start, nb::arg("group") = 0,
           "Offset where the group starts, -1 when it did not take part.")
      .def("end", &Match::end, nb::arg("group") = 0,
           "Offset where the group ends, -1 when it did not take part.")
      .def(
          "span", [](const Match& x, nb::handle g) { return nb::make_tuple(x.start(g), x.end(g)); },
          nb::arg("group") = 0, "(start, end) of the group.")
      .def("group", &Match::group, nb::sig("def group(self, *groups: int) -> typing.Any"),
           "The text of one group (the whole match without arguments), or a tuple of several.")
      .def("groups", &Match::groups, nb::arg("default") = nb::none(),
           "The texts of all groups; `default` for a group that did not take part.")
      .def("__getitem__", [](const Match& x,
                             nb::handle g) { return x.group_text(x.checked_group(g), nb::none()); })
      .def_prop_ro("string", [](const Match& x) { return x.text; })
      .def_prop_ro("re", [](const Match& x) { return x.re; })
      .def_prop_ro("pos", [](const Match& x) { return x.pos; })
      .def("__bool__", [](const Match&) { return true; })
      .def("__repr__", &Match::repr);

  nb::class_<Regex>(m, "Pattern",
                    "A compiled pattern of the tessarin dialect (Python's re syntax without "
                    "flags, optionally case-insensitive under simple case folding).")
      .def(
          "__init__",
          [](Regex* self, nb::handle pattern, bool ignorecase) {
            new (self) Regex(compile(pattern, ignorecase));
          },
          nb::arg("pattern"), nb::arg("ignorecase") = false)
      .def_prop_ro("pattern", [](const Regex& re) { return re.pattern(); })
      .def_prop_ro("ignorecase", &Regex::ignorecase)
      .def_prop_ro("groups", &Regex::group_count)
      .def(
          "search",
          [](const Regex& re, nb::handle text, Py_ssize_t pos) {
            return find_one(re, text, pos, Anchor::kSearch);
          },
          nb::arg("text"), nb::arg("pos") = 0, "The first match from `pos` on, or None.")
      .def(
          "match",
          [](const Regex& re, nb::handle text, Py_ssize_t pos) {
            return find_one(re, text, pos, Anchor::kMatch);
          },
          nb::arg("text"), nb::arg("pos") = 0, "A match starting at `pos`, or None.")
      .def(
          "fullmatch",
          [](const Regex& re, nb::handle text, Py_ssize_t pos) {
            return find_one(re, text, pos, Anchor::kFull);
          },
          nb::arg("text"), nb::arg("pos") = 0,
          "A match from `pos` to the end of the text, or None.")
      .def("findall", &findall, nb::arg("text"),
           "Every non-overlapping match, as re.findall gives them.")
      .def("finditer", &finditer, nb::arg("text"), "An iterator over every non-overlapping match.")
      .def("sub", &sub, nb::arg("repl"), nb::arg("text"),
           "Replaces every match as re.sub does, template escapes and group references included.")
      .def("__repr__", &pattern_repr)
      .def("__eq__",
           [](const Regex& a, nb::handle b) {
             if (!nb::isinstance<Regex>(b)) return false;
             const Regex& other = nb::cast<const Regex&>(b);
             return a.pattern() == other.pattern() && a.ignorecase() == other.ignorecase();
           })
      .def("__hash__",
           [](const Regex& re) { return nb::hash(nb::make_tuple(re.pattern(), re.ignorecase())); })
      .def("__copy__", [](const Regex& re) { return re; })
      .def(
          "__deepcopy__", [](const Regex& re, nb::handle) { return re; }, nb::arg("memo"))
      .def("__getstate__",
           [](const Regex& re) { return nb::make_tuple(re.pattern(), re.ignorecase()); })
      .def("__setstate__", [](Regex& self, const nb::tuple& state) {
        if (state.size() != 2 || !PyBool_Check(state[1].ptr()))
          throw nb::value_error("bad pickle state for Pattern: expected (pattern, ignorecase)");
        new (&self) Regex(compile(state[0], state[1].ptr() == Py_True));
      });

  m.def("_regex_memo_from_start", &regex_detail::set_memo_from_start, nb::arg("on"),
        "Test hook: memoize every search from its first step.");
  m.def("compile_pattern", &compile, nb::arg("pattern"), nb::arg("ignorecase") = false,
        "compile_pattern(pattern, ignorecase=False) -> Pattern\n\n"
        "Compiles a pattern; ValueError names the fault and its position.");
}

}  // namespace tessarin::py
