// Python surface of prepared catalogs: tessarin.schemasift.PreparedCatalog,
// its attributes and its pickled form.
//
// A prepared catalog is immutable and shared: the Python object holds the
// snapshot by reference, every selection on it holds another reference
// while it runs without the GIL, and nothing a caller does to the catalog
// it was made from reaches it.
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>

#include <string>
#include <utility>
#include <vector>

#include "convert.h"
#include "schemasift_catalog_input.h"
#include "schemasift_prepared.h"
#include "schemasift_python_backends.h"
#include "tessarin/schemasift/records.h"
#include "tessarin/schemasift/selector.h"

#ifndef TESSARIN_VERSION
#error "TESSARIN_VERSION must name the package version"
#endif

namespace tessarin::py {

namespace {

namespace ss = tessarin::schemasift;

constexpr const char* kStateTag = "tessarin.PreparedCatalog";
constexpr const char* kBinaryPayload = "binary";
constexpr const char* kRecordPayload = "records";

[[noreturn]] void raise_catalog_type(nb::handle value) {
  throw nb::type_error(("catalog must be a MetadataCatalog, a PreparedCatalog or a dict, got " +
                        python_type_name(value))
                           .c_str());
}

// The snapshot, held by the caller: a __setstate__ on the object while the
// GIL is released replaces the object's reference, not what the caller holds.
std::shared_ptr<const ss::PreparedCatalog> core_of(const PreparedHandle& self) {
  if (!self.core) throw nb::type_error("PreparedCatalog is not initialized");
  return self.core;
}

std::shared_ptr<const ss::PreparedCatalog> prepared_from(ss::MetadataCatalog catalog) {
  nb::gil_scoped_release release;
  return std::make_shared<const ss::PreparedCatalog>(std::move(catalog));
}

// ---- pickled form ----

nb::tuple state_of(const PreparedHandle& self) {
  std::shared_ptr<const ss::PreparedCatalog> snapshot = core_of(self);
  const ss::PreparedCatalog& core = *snapshot;
  std::string blob;
  bool binary = true;
  std::vector<std::pair<std::string, std::shared_ptr<const ss::EmbeddingMatrix>>> held;
  {
    nb::gil_scoped_release release;
    held = core.embeddings_held();
    try {
      blob = core.serialize();
    } catch (const std::invalid_argument&) {
      binary = false;  // a value without a JSON form: pickle the records instead
    }
  }
  nb::object payload = binary ? nb::object(nb::bytes(blob.data(), blob.size()))
                              : nb::cast(core.catalog(), nb::rv_policy::copy);
  nb::list embeddings;
  for (const auto& [model, matrix] : held) {
    nb::object rows = facility_object(matrix);
    // Rows a native encoder made have no Python form; they are encoded again.
    if (!rows.is_none() && !nb::isinstance<ss::EmbeddingMatrix>(rows))
      embeddings.append(nb::make_tuple(nb::str(model.data(), model.size()), rows));
  }
  return nb::make_tuple(kStateTag, TESSARIN_VERSION, binary ? kBinaryPayload : kRecordPayload,
                        payload, embeddings);
}

[[noreturn]] void raise_bad_state() {
  throw nb::type_error("PreparedCatalog state must be the tuple its __getstate__ returns");
}

std::shared_ptr<ss::PreparedCatalog> core_from_payload(const std::string& kind,
                                                       nb::handle payload) {
  if (kind == kBinaryPayload) {
    if (!PyBytes_Check(payload.ptr())) raise_bad_state();
    // Read in place: the state tuple holds the bytes object, which nothing
    // can change, for the whole call.
    std::string_view blob(PyBytes_AS_STRING(payload.ptr()),
                          static_cast<std::size_t>(PyBytes_GET_SIZE(payload.ptr())));
    nb::gil_scoped_release release;
    return ss::PreparedCatalog::deserialize(blob);
  }
  if (kind == kRecordPayload) {
    if (!nb::isinstance<ss::MetadataCatalog>(payload)) raise_bad_state();
    ss::MetadataCatalog catalog = nb::cast<const ss::MetadataCatalog&>(payload);
    nb::gil_scoped_release release;
    return std::make_shared<ss::PreparedCatalog>(std::move(catalog));
  }
  raise_bad_state();
}

void set_state(PreparedHandle& self, nb::handle state) {
  if (!PyTuple_Check(state.ptr()) || PyTuple_GET_SIZE(state.ptr()) != 5) raise_bad_state();
  nb::tuple items = nb::borrow<nb::tuple>(state);
  if (!PyUnicode_Check(items[0].ptr()) || !PyUnicode_Check(items[1].ptr()) ||
      !PyUnicode_Check(items[2].ptr()) || !PyList_Check(items[4].ptr()))
    raise_bad_state();
  if (to_utf8(items[0], "state") != kStateTag) raise_bad_state();
  std::string version = to_utf8(items[1], "state");
  if (version != TESSARIN_VERSION)
    throw nb::value_error(("this prepared catalog was pickled by tessarin " + version +
                           " and cannot be loaded by tessarin " + TESSARIN_VERSION +
                           ": prepare the catalog again")
                              .c_str());
  std::shared_ptr<ss::PreparedCatalog> core =
      core_from_payload(to_utf8(items[2], "state"), items[3]);
  for (nb::handle entry : nb::borrow<nb::list>(items[4])) {
    if (!PyTuple_Check(entry.ptr()) || PyTuple_GET_SIZE(entry.ptr()) != 2 ||
        !PyUnicode_Check(PyTuple_GET_ITEM(entry.ptr(), 0)))
      raise_bad_state();
    core->put_embeddings(to_utf8(PyTuple_GET_ITEM(entry.ptr(), 0), "state"),
                         python_embedding_matrix(PyTuple_GET_ITEM(entry.ptr(), 1)));
  }
  new (&self) PreparedHandle{std::move(core)};
}

// ---- documentation ----

constexpr const char* kClassDoc =
    "PreparedCatalog(catalog)\n\n"
    "An immutable snapshot of a catalog with everything a selection derives\n"
    "from the catalog alone: the normalized records, the size and hash of its\n"
    "measuring text, and the lexical index; the scoring documents, the fitted\n"
    "TF-IDF index and the document embeddings of each model are computed by the\n"
    "first selection that asks for them (or by warm_up) and kept.\n\n"
    "`catalog` is a catalog dict of any accepted shape, a MetadataCatalog\n"
    "(copied: later changes to it do not reach the prepared catalog) or a\n"
    "PreparedCatalog (shared). Schemasift.select, select_many and\n"
    "select_metadata accept it wherever they accept a catalog and give the\n"
    "results the same call gives on the catalog it was made from. Selections\n"
    "never change it, and any number of threads may select on it at once.\n"
    "It pickles (document embeddings included), for worker processes.";

}  // namespace

std::shared_ptr<const ss::PreparedCatalog> prepared_of(nb::handle catalog) {
  if (!nb::isinstance<PreparedHandle>(catalog)) return nullptr;
  if (!nb::inst_ready(catalog)) throw nb::type_error("PreparedCatalog is not initialized");
  return core_of(nb::cast<const PreparedHandle&>(catalog));
}

std::shared_ptr<const ss::PreparedCatalog> prepare(nb::handle catalog) {
  if (auto prepared = prepared_of(catalog)) return prepared;
  if (nb::isinstance<ss::MetadataCatalog>(catalog))
    return prepared_from(nb::cast<const ss::MetadataCatalog&>(catalog));
  if (!PyDict_Check(catalog.ptr())) raise_catalog_type(catalog);
  return prepare_catalog_object(catalog);
}

void register_prepared_catalog(nb::module_& m) {
  nb::class_<PreparedHandle>(m, "PreparedCatalog", kClassDoc)
      .def(
          "__init__",
          [](PreparedHandle* self, nb::handle catalog) {
            new (self) PreparedHandle{prepare(catalog)};
          },
          nb::arg("catalog"))
      .def_prop_ro(
          "catalog", [](const PreparedHandle& self) { return core_of(self)->catalog(); },
          nb::rv_policy::copy, "A copy of the prepared MetadataCatalog.")
      .def_prop_ro(
          "catalog_hash", [](const PreparedHandle& self) { return core_of(self)->catalog_hash(); },
          "The catalog_hash of a selection that keeps the catalog's database name.")
      .def_prop_ro(
          "table_count", [](const PreparedHandle& self) { return core_of(self)->table_count(); },
          "Number of tables.")
      .def_prop_ro(
          "column_count", [](const PreparedHandle& self) { return core_of(self)->column_count(); },
          "Number of columns, over all tables.")
      .def_prop_ro(
          "nbytes",
          [](const PreparedHandle& self) {
            std::shared_ptr<const ss::PreparedCatalog> core = core_of(self);
            nb::gil_scoped_release release;  // waits for a lock an encoding may hold
            return core->nbytes();
          },
          "Memory held, in bytes (records, indexes and what selections have added).")
      .def(
          "warm_up",
          [](const PreparedHandle& self, nb::handle config) {
            if (!config.is_none() && !nb::isinstance<ss::SelectorConfig>(config))
              throw nb::type_error(
                  ("config must be a SelectorConfig or None, got " + python_type_name(config))
                      .c_str());
            ss::Schemasift selector(config.is_none() ? ss::SelectorConfig{}
                                                     : nb::cast<const ss::SelectorConfig&>(config));
            std::shared_ptr<const ss::PreparedCatalog> core = core_of(self);
            nb::gil_scoped_release release;
            selector.warm_up(*core);
          },
          nb::arg("config") = nb::none(),
          "Computes now what selections with this config (default: SelectorConfig())\n"
          "would compute on first use: the scoring documents, the TF-IDF index and\n"
          "the document embeddings of its model, as its strategy asks.")
      .def("__getstate__", &state_of)
      .def("__setstate__", &set_state)
      .def("__repr__", [](const PreparedHandle& self) {
        std::shared_ptr<const ss::PreparedCatalog> held = core_of(self);
        const ss::PreparedCatalog& core = *held;
        return "PreparedCatalog(database=" +
               nb::cast<std::string>(nb::repr(nb::cast(core.catalog().database))) +
               ", tables=" + std::to_string(core.table_count()) +
               ", columns=" + std::to_string(core.column_count()) + ", catalog_hash='" +
               core.catalog_hash() + "')";
      });
}

}  // namespace tessarin::py
