// The extension module tessarin._core: the shared value and pattern services
// at top level, and one submodule per library.
#include "register.h"

NB_MODULE(_core, m) {
  m.doc() = "Native core of tessarin.";
  // Module-level objects (compiled patterns, vocabularies) live until the
  // interpreter exits; nanobind's exit-time leak report would only be noise.
  nanobind::set_leak_warnings(false);
  tessarin::py::register_routines(m);
  tessarin::py::register_json(m);
  tessarin::py::register_regex(m);
  nanobind::module_ turnmend = m.def_submodule("turnmend", "Context resolution.");
  tessarin::py::register_turnmend(turnmend);
  nanobind::module_ schemasift = m.def_submodule("schemasift", "Metadata selection.");
  tessarin::py::register_schemasift(schemasift);
}
