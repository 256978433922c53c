// What the turnmend binding files share: the conversions of the resolver's
// arguments (turnmend_inputs.cpp) and the registration of each area.
#pragma once

// Every file binding turnmend types sees the same casters.
#include <nanobind/stl/function.h>
#include <nanobind/stl/optional.h>
#include <nanobind/stl/pair.h>
#include <nanobind/stl/shared_ptr.h>
#include <nanobind/stl/string.h>
#include <nanobind/stl/vector.h>

#include <vector>

#include "convert.h"
#include "tessarin/turnmend/resolver.h"

namespace tessarin::py {

// One card record; TypeError naming `what` for anything else.
turnmend::CardRef card_ref(nb::handle item, const char* what);
// A list of card records (None gives none); None items become null
// references when allowed.
turnmend::CardList card_list(nb::handle cards, bool allow_none, const char* what = "cards");
// The caller's card list: records, card maps, and other items skipped.
std::vector<turnmend::CardSource> card_sources(nb::handle cards);
std::vector<turnmend::ContextCandidate> candidate_list(nb::handle candidates);
// None, or a ContextCandidate; TypeError naming `what` for anything else.
const turnmend::ContextCandidate* optional_candidate(nb::handle value, const char* what);
nb::list cards_to_python(const turnmend::CardList& cards);
// A dict of part names to values, as display texts ("" for None).
turnmend::QuestionParts question_parts(nb::handle parts);
turnmend::ResolverConfig config_from_python(nb::handle config);

using TurnmendClass = nb::class_<turnmend::Turnmend>;

void register_turnmend_records(nb::module_& m);
void register_turnmend_resolver(nb::module_& m);
// The resolver's steps, as methods of the Turnmend class.
void register_turnmend_steps(TurnmendClass& cls);

}  // namespace tessarin::py
