// _tfidf_similarities: fits the native TF-IDF index on documents and scores
// one question, so tests and benchmarks can compare it with other vectorizers.
#include "register_tfidf.h"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <string_view>
#include <vector>

#include "tessarin/schemasift/tfidf.h"

namespace tessarin::py {

namespace nb = nanobind;

namespace {

// The documents are read in place as UTF-8 (no copies): the list and its
// strings stay alive and unchanged while the GIL is held.
std::vector<double> tfidf_similarities(nb::list docs, const std::string& question) {
  std::vector<std::string_view> views;
  views.reserve(docs.size());
  for (nb::handle doc : docs) {
    if (!PyUnicode_Check(doc.ptr())) throw nb::type_error("documents must be str");
    Py_ssize_t size = 0;
    const char* data = PyUnicode_AsUTF8AndSize(doc.ptr(), &size);
    if (data == nullptr) throw nb::python_error();
    views.emplace_back(data, static_cast<std::size_t>(size));
  }
  return schemasift::TfidfIndex::fit(views).similarities(question);
}

}  // namespace

void register_tfidf(nb::module_& m) {
  m.def("_tfidf_similarities", &tfidf_similarities, nb::arg("docs"), nb::arg("question"),
        "Cosine similarity of the question to every document under a TF-IDF index of word "
        "unigrams and bigrams fitted on the documents; empty when the vocabulary is empty.");
}

}  // namespace tessarin::py
