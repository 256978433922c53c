// Python objects as the facilities of the selector's vector backends.
//
// Selections run without the GIL, so every call into Python takes it, and
// every Python reference held by C++ is released under it (or leaked when
// the interpreter is already gone). Python errors travel as nb::python_error:
// a failing build ends the selection with the caller's own exception, while
// the backends turn loading and scoring failures into "unavailable".
#include "schemasift_python_backends.h"

#include <nanobind/stl/shared_ptr.h>

#include <list>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "convert.h"
#include "tessarin/schemasift/document_cache.h"

namespace tessarin::py {

namespace nb = nanobind;
namespace ss = tessarin::schemasift;
using namespace nb::literals;

namespace {

// Calls into Python; KeyboardInterrupt and SystemExit end the selection
// instead of counting as a failure of the facility.
template <class F>
auto interruptible(F&& call) {
  try {
    return call();
  } catch (nb::python_error& e) {
    if (is_interrupt(e)) throw ss::FacilityInterrupted{std::current_exception()};
    throw;
  }
}

// float() of every item of an iterable of numbers.
std::vector<double> floats_of(nb::handle values) {
  std::vector<double> out;
  for (nb::handle value : nb::iter(values)) {
    double x = PyFloat_AsDouble(value.ptr());
    if (x == -1.0 && PyErr_Occurred()) throw nb::python_error();
    out.push_back(x);
  }
  return out;
}

// A facility's value held as the Python object that a Python facility made.
template <class Base>
struct PyHeld final : Base {
  explicit PyHeld(nb::handle o) : object(o) {}
  PyRef object;
};
using PyTfidfMatrix = PyHeld<ss::TfidfMatrix>;
using PyEmbeddingMatrix = PyHeld<ss::EmbeddingMatrix>;

// An object with fit_transform(texts) -> matrix and
// cosine_similarity(matrix, question) -> iterable of floats.
class PyTfidfVectorizer final : public ss::TfidfVectorizer {
 public:
  explicit PyTfidfVectorizer(nb::handle v) : vectorizer(v) {}

  std::shared_ptr<const ss::TfidfMatrix> fit_transform(
      const std::vector<std::string_view>& texts) override {
    nb::gil_scoped_acquire gil;
    nb::object matrix = vectorizer.get().attr("fit_transform")(str_list(texts));
    return std::make_shared<PyTfidfMatrix>(matrix);
  }

  std::vector<double> cosine_similarity(const ss::TfidfMatrix& matrix,
                                        std::string_view question) const override {
    nb::gil_scoped_acquire gil;
    const auto& rows = dynamic_cast<const PyTfidfMatrix&>(matrix);
    return interruptible([&] {
      return floats_of(vectorizer.get().attr("cosine_similarity")(
          rows.object.get(), nb::str(question.data(), question.size())));
    });
  }

  PyRef vectorizer;
};

// A sentence-transformers model: encode(texts, normalize_embeddings=True)
// gives one unit-length row per text; a question's similarities are the
// document rows times its own row. The document rows of the last few
// document lists are kept: encoding a catalog's documents takes seconds,
// and the model gives the same rows for the same texts.
class PySentenceEncoder final : public ss::SentenceEncoder {
 public:
  explicit PySentenceEncoder(nb::handle m) : model(m) {}

  std::shared_ptr<const ss::EmbeddingMatrix> encode(
      const std::vector<std::string_view>& texts) override {
    return encoded_.find_or_make(texts, [&] {
      nb::gil_scoped_acquire gil;
      return std::make_shared<const PyEmbeddingMatrix>(normalized(str_list(texts)));
    });
  }

  // The model's own bar, on stderr, and only when stderr is a terminal: a
  // log file would fill with its redraws.
  std::shared_ptr<const ss::EmbeddingMatrix> encode_with_progress(
      const std::vector<std::string_view>& texts) override {
    return encoded_.find_or_make(texts, [&] {
      nb::gil_scoped_acquire gil;
      nb::object stderr_ = nb::module_::import_("sys").attr("stderr");
      bool terminal = !stderr_.is_none() && nb::hasattr(stderr_, "isatty") &&
                      nb::cast<bool>(stderr_.attr("isatty")());
      nb::list list = str_list(texts);
      nb::object rows = terminal ? model.get().attr("encode")(list, "normalize_embeddings"_a = true,
                                                              "show_progress_bar"_a = true)
                                 : normalized(list);
      return std::make_shared<const PyEmbeddingMatrix>(rows);
    });
  }

  std::vector<double> similarities(const ss::EmbeddingMatrix& embeddings,
                                   std::string_view question) override {
    nb::gil_scoped_acquire gil;
    const auto& rows = dynamic_cast<const PyEmbeddingMatrix&>(embeddings);
    return interruptible([&] {
      nb::list one;
      one.append(nb::str(question.data(), question.size()));
      nb::object vector = normalized(one)[0];
      nb::object product =
          nb::steal(PyNumber_MatrixMultiply(rows.object.get().ptr(), vector.ptr()));
      if (!product.is_valid()) throw nb::python_error();
      return floats_of(product);
    });
  }

  PyRef model;

 private:
  static constexpr std::size_t kCachedDocumentLists = 2;

  nb::object normalized(const nb::list& texts) const {
    return model.get().attr("encode")(texts, "normalize_embeddings"_a = true);
  }

  ss::DocumentCache<PyEmbeddingMatrix> encoded_{kCachedDocumentLists};
};

// Loaded models by name, most recent first, so that a service does not load
// its model again for every message. An entry holds the model class it was
// made with: another sentence_transformers module (reloaded, or replaced in
// a test) means another model. Accessed only with the GIL held.
struct LoadedModel {
  std::string name;
  PyRef model_class;
  std::shared_ptr<PySentenceEncoder> encoder;
};
constexpr std::size_t kLoadedModels = 2;

std::list<LoadedModel>& loaded_models() {
  static auto* models = new std::list<LoadedModel>();  // outlives the interpreter
  return *models;
}

std::shared_ptr<ss::SentenceEncoder> load_model(const std::string& name) {
  nb::object model_class =
      nb::module_::import_("sentence_transformers").attr("SentenceTransformer");
  std::list<LoadedModel>& models = loaded_models();
  for (auto it = models.begin(); it != models.end(); ++it) {
    if (it->name != name || !it->model_class.get().is(model_class)) continue;
    models.splice(models.begin(), models, it);
    return models.front().encoder;
  }
  auto encoder =
      std::make_shared<PySentenceEncoder>(model_class(nb::str(name.data(), name.size())));
  models.push_front(LoadedModel{name, PyRef(model_class), encoder});
  if (models.size() > kLoadedModels) models.pop_back();
  return encoder;
}

std::shared_ptr<ss::SentenceEncoder> load_sentence_transformer(const std::string& name) {
  nb::gil_scoped_acquire gil;
  return interruptible([&] { return load_model(name); });
}

void clear_vector_caches() {
  std::list<LoadedModel> dropped;
  dropped.swap(loaded_models());
  ss::clear_tfidf_cache();
}

void set_tfidf_vectorizer_factory(nb::handle factory) {
  if (factory.is_none()) {
    ss::set_tfidf_vectorizer_factory({});
    return;
  }
  if (!PyCallable_Check(factory.ptr())) throw nb::type_error("factory must be callable or None");
  ss::set_tfidf_vectorizer_factory(
      [made = PyRef(factory)]() -> std::shared_ptr<ss::TfidfVectorizer> {
        nb::gil_scoped_acquire gil;
        nb::object vectorizer = interruptible([&] { return made.get()(); });
        if (vectorizer.is_none()) return nullptr;
        return std::make_shared<PyTfidfVectorizer>(vectorizer);
      });
}

template <class Python, class Handle>
nb::object object_or_handle(const std::shared_ptr<Handle>& handle, PyRef Python::*member) {
  if (!handle) return nb::none();
  if (auto* python = dynamic_cast<const Python*>(handle.get())) return (python->*member).object();
  return nb::cast(handle);
}

}  // namespace

nb::object facility_object(const std::shared_ptr<ss::TfidfVectorizer>& handle) {
  return object_or_handle(handle, &PyTfidfVectorizer::vectorizer);
}
nb::object facility_object(const std::shared_ptr<const ss::TfidfMatrix>& handle) {
  return object_or_handle(handle, &PyTfidfMatrix::object);
}
nb::object facility_object(const std::shared_ptr<ss::SentenceEncoder>& handle) {
  return object_or_handle(handle, &PySentenceEncoder::model);
}
nb::object facility_object(const std::shared_ptr<const ss::EmbeddingMatrix>& handle) {
  return object_or_handle(handle, &PyEmbeddingMatrix::object);
}

std::shared_ptr<const ss::EmbeddingMatrix> python_embedding_matrix(nb::handle rows) {
  return std::make_shared<const PyEmbeddingMatrix>(rows);
}

void register_schemasift_python_backends(nb::module_& m) {
  nb::register_exception_translator([](const std::exception_ptr& error, void*) {
    try {
      std::rethrow_exception(error);
    } catch (const ss::FacilityInterrupted& e) {
      restore_interrupt(e.cause);
    }
  });
  ss::set_sentence_encoder_loader(load_sentence_transformer);
  m.def("_set_tfidf_vectorizer_factory", &set_tfidf_vectorizer_factory, "factory"_a.none(),
        "Installs a Python TF-IDF facility: factory() returns an object with\n"
        "fit_transform(texts) and cosine_similarity(matrix, question); None\n"
        "leaves the selector without TF-IDF. Not thread-safe: for tests.");
  m.def("_restore_native_tfidf", &ss::restore_native_tfidf_vectorizer,
        "Puts the native TF-IDF index back as the TF-IDF facility.");
  m.def("_clear_vector_caches", &clear_vector_caches,
        "Drops the loaded embedding models, their document embeddings and the\n"
        "fitted TF-IDF indexes that selections keep for reuse.");
}

}  // namespace tessarin::py
