// Python facilities behind the selector's vector backends: sentence-
// transformers models as the sentence encoder, and Python TF-IDF vectorizers
// that a caller (a test comparing with scikit-learn, say) installs.
#pragma once

#include <nanobind/nanobind.h>

#include <memory>

#include "tessarin/schemasift/vector_backends.h"

namespace tessarin::py {

// Installs the sentence encoder loader that imports sentence_transformers
// when a selection first asks for a model (never at import time), and the
// private hooks _set_tfidf_vectorizer_factory / _restore_native_tfidf.
void register_schemasift_python_backends(nanobind::module_& m);

// The Python object behind a facility handle when Python made it, else the
// handle itself (an opaque native object), or None.
nanobind::object facility_object(const std::shared_ptr<schemasift::TfidfVectorizer>& handle);
nanobind::object facility_object(const std::shared_ptr<const schemasift::TfidfMatrix>& handle);
nanobind::object facility_object(const std::shared_ptr<schemasift::SentenceEncoder>& handle);
nanobind::object facility_object(const std::shared_ptr<const schemasift::EmbeddingMatrix>& handle);

// Document embeddings of a sentence-transformers model, as its encode()
// returned them (rows of a prepared catalog loaded from a pickle).
std::shared_ptr<const schemasift::EmbeddingMatrix> python_embedding_matrix(nanobind::handle rows);

}  // namespace tessarin::py
