// _tfidf_similarities: fits the native TF-IDF index on documents and scores
// one question, so tests and benchmarks can compare it with other vectorizers.
#include "register_tfidf.h"

#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <string>
#include <string_view>
#include <vector>

#include "schemasift/tfidf.h"

namespace tessarin::py {

namespace nb = nanobind;

namespace {

std::vector<double> tfidf_similarities(const std::vector<std::string>& docs,
                                       const std::string& question) {
  std::vector<std::string_view> views(docs.begin(), docs.end());
  nb::gil_scoped_release unlocked;
  return schemasift::TfidfIndex::fit(views).similarities(question);
}

}  // namespace

void register_tfidf(nb::module_& m) {
  m.def("_tfidf_similarities", &tfidf_similarities, nb::arg("docs"), nb::arg("question"),
        "Cosine similarity of the question to every document under a TF-IDF index of word "
        "unigrams and bigrams fitted on the documents; empty when the vocabulary is empty.");
}

}  // namespace tessarin::py
