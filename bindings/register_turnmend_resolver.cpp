// Turnmend and resolve_context: the resolver class, its Python fallback
// callable and the resolve call, which releases the GIL while it runs when a
// fallback is set (the fallback takes it back to call Python).
#include <memory>
#include <stdexcept>

#include "register.h"
#include "turnmend_bindings.h"

namespace tessarin::py {

using namespace tessarin::turnmend;
using namespace nb::literals;

namespace {

// Calls a Python callable as the resolver's fallback. Python errors count
// as no answer, except KeyboardInterrupt and SystemExit, which abort the
// resolve and reach its caller.
struct PythonFallback {
  PyRef callable;

  explicit PythonFallback(nb::handle fn) : callable(fn) {}

  std::optional<JsonMap> operator()(const std::string& question,
                                    const std::vector<JsonMap>& summaries,
                                    const JsonMap& preliminary) const {
    nb::gil_scoped_acquire gil;
    try {
      nb::list summary_list;
      for (const JsonMap& summary : summaries) summary_list.append(from_json_map(summary));
      nb::object answer = callable.get()(nb::str(question.data(), question.size()), summary_list,
                                         from_json_map(preliminary));
      if (answer.is_none()) return std::nullopt;
      if (!PyDict_Check(answer.ptr())) throw std::invalid_argument("fallback answer is not a dict");
      return to_json_map(answer, "the fallback answer");
    } catch (nb::python_error& e) {
      if (is_interrupt(e)) throw FallbackInterrupted(std::current_exception());
      // Dropped here, with the GIL held.
      throw std::runtime_error("fallback callable failed");
    }
  }
};

// A Python callable held by a resolver can refer back to the resolver (a
// module-level function sees the module's globals), so Turnmend takes part
// in cyclic garbage collection.
int turnmend_traverse(PyObject* self, visitproc visit, void* arg) {
  Py_VISIT(Py_TYPE(self));
  if (!nb::inst_ready(self)) return 0;
  const Turnmend* resolver = nb::inst_ptr<Turnmend>(self);
  if (const PythonFallback* py = resolver->llm_fallback.target<PythonFallback>())
    Py_VISIT(py->callable.get().ptr());
  return 0;
}

int turnmend_clear(PyObject* self) {
  if (nb::inst_ready(self)) nb::inst_ptr<Turnmend>(self)->llm_fallback = nullptr;
  return 0;
}

PyType_Slot turnmend_slots[] = {{Py_tp_traverse, reinterpret_cast<void*>(turnmend_traverse)},
                                {Py_tp_clear, reinterpret_cast<void*>(turnmend_clear)},
                                {0, nullptr}};

ResolverLLMFallback fallback_from_python(nb::handle fn) {
  if (fn.is_none()) return nullptr;
  if (!PyCallable_Check(fn.ptr()))
    throw nb::type_error(("llm_fallback must be callable, got " + python_type_name(fn)).c_str());
  return PythonFallback(fn);
}

nb::object fallback_to_python(const ResolverLLMFallback& fn) {
  if (!fn) return nb::none();
  if (const PythonFallback* py = fn.target<PythonFallback>()) return py->callable.object();
  return nb::cpp_function(fn);
}

// The caller's card records, each replaced in `sources` by a private copy
// taken under the GIL: another thread may assign a card's fields while the
// resolve runs without it. Candidates still hand back the caller's objects.
class CardSnapshots {
 public:
  explicit CardSnapshots(std::vector<CardSource>& sources) {
    originals_.reserve(sources.size());
    for (CardSource& source : sources) {
      CardRef* card = std::get_if<CardRef>(&source);
      if (!card || !*card) continue;
      CardRef copy = std::make_shared<const TurnContextCard>(**card);
      originals_.emplace_back(copy.get(), std::move(*card));
      *card = std::move(copy);
    }
  }

  // Points the resolution's candidates back at the caller's cards.
  void restore(ContextResolution& resolution) const {
    for (ContextCandidate& candidate : resolution.candidates) {
      for (const auto& [copy, original] : originals_) {
        if (candidate.card.get() == copy) {
          candidate.card = original;
          break;
        }
      }
    }
  }

 private:
  std::vector<std::pair<const TurnContextCard*, CardRef>> originals_;
};

ContextResolution resolve_released(const Turnmend& resolver, nb::handle current_question,
                                   nb::handle context_cards,
                                   std::optional<std::int64_t> active_turn_id,
                                   std::optional<std::string> preferred_task_type) {
  std::string question =
      current_question.is_none() ? std::string() : to_utf8(current_question, "current_question");
  std::vector<CardSource> sources = card_sources(context_cards);
  // Without a fallback no Python code runs until the resolve returns, so
  // holding the GIL keeps the caller's cards still; copying them would cost
  // as much as the resolve itself.
  if (!resolver.llm_fallback)
    return resolver.resolve(question, sources, active_turn_id, preferred_task_type);
  // The fallback runs Python code, which may assign card fields: work on
  // copies and let other threads run meanwhile.
  CardSnapshots snapshots(sources);
  ContextResolution result;
  {
    nb::gil_scoped_release release;
    result = resolver.resolve(question, sources, active_turn_id, preferred_task_type);
  }
  snapshots.restore(result);
  return result;
}

void register_resolver_class(nb::module_& m) {
  TurnmendClass cls(
      m, "Turnmend",
      "Rule-based resolver of contextual AI questions: decides how the current message "
      "relates to the caller's recent turn cards.",
      nb::type_slots(turnmend_slots));
  cls.def(
         "__init__",
         [](Turnmend* self, nb::handle config, nb::handle llm_fallback) {
           new (self) Turnmend(config_from_python(config), fallback_from_python(llm_fallback));
         },
         "config"_a = nb::none(), "llm_fallback"_a = nb::none())
      .def_prop_ro(
          "config", [](Turnmend& self) -> ResolverConfig& { return self.config; },
          nb::rv_policy::reference_internal, "The resolver's ResolverConfig.")
      .def_prop_ro(
          "llm_fallback",
          [](const Turnmend& self) { return fallback_to_python(self.llm_fallback); },
          "The fallback callable given at construction, or None.")
      .def(
          "resolve",
          [](const Turnmend& self, nb::handle current_question, nb::handle context_cards,
             std::optional<std::int64_t> active_turn_id,
             std::optional<std::string> preferred_task_type) {
            // A private copy, so a config changed from another thread cannot
            // change under the running resolve.
            Turnmend snapshot = self;
            return resolve_released(snapshot, current_question, context_cards, active_turn_id,
                                    std::move(preferred_task_type));
          },
          "current_question"_a.none(), "context_cards"_a = nb::none(), nb::kw_only(),
          "active_turn_id"_a = nb::none(), "preferred_task_type"_a = nb::none(),
          "Resolve the message against the cards (records or card maps; None items are "
          "skipped). TypeError for a card map with an unknown key, no \"turn_id\" or an unfitting "
          "value.");
  register_turnmend_steps(cls);

  m.def(
      "resolve_context",
      [](nb::handle current_question, nb::handle context_cards,
         std::optional<std::int64_t> active_turn_id, std::optional<std::string> preferred_task_type,
         nb::handle config, nb::handle llm_fallback) {
        Turnmend resolver(config_from_python(config), fallback_from_python(llm_fallback));
        return resolve_released(resolver, current_question, context_cards, active_turn_id,
                                std::move(preferred_task_type));
      },
      "current_question"_a.none(), "context_cards"_a = nb::none(), nb::kw_only(),
      "active_turn_id"_a = nb::none(), "preferred_task_type"_a = nb::none(),
      "config"_a = nb::none(), "llm_fallback"_a = nb::none(),
      "Turnmend(config, llm_fallback).resolve(...) in one call.");
  m.def("_demonstration_text", &demonstration_text, "The text the demonstration run prints.");
}

}  // namespace

void register_turnmend_resolver(nb::module_& m) { register_resolver_class(m); }

}  // namespace tessarin::py
