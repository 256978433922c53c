// One registration function per area of the extension module.
#pragma once

#include <nanobind/nanobind.h>

namespace tessarin::py {

void register_json(nanobind::module_& m);
void register_regex(nanobind::module_& m);
// _Function and _Method, the wrappers tessarin/__init__.py puts around every
// function and method.
void register_routines(nanobind::module_& m);
void register_turnmend(nanobind::module_& m);
void register_schemasift(nanobind::module_& m);
// The parts of tessarin.schemasift added by register_schemasift: the
// records of the catalog and intent, those of the selection, the selector.
void register_schemasift_catalog_records(nanobind::module_& m);
void register_schemasift_selection_records(nanobind::module_& m);
void register_schemasift_selector(nanobind::module_& m);

}  // namespace tessarin::py
