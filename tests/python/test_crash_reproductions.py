"""Programs that once ended the interpreter, each run in a subprocess (so a
crash fails one test instead of the suite) and repeated inside it."""

import textwrap

import pytest

from support import run_program


# --- Re-entrant conversion: a str() that changes the container being read ---

_CLEARING_ITEM = """
    import tessarin
    from tessarin.turnmend import Turnmend, TurnContextCard
    from tessarin.schemasift import Schemasift

    class Clears:
        def __init__(self, target):
            self.target = target
        def __str__(self):
            self.target.clear()
            return "e"

    def outcome(call):
        try:
            return "ok " + str(call())[:20]
        except RuntimeError as error:
            assert "changed size during conversion" in str(error), error
            return "changed"
"""

_CONVERSIONS = {
    "json_text of a list": """
        L = []; L += [Clears(L), [0.5] * 1000]
        seen.add(outcome(lambda: tessarin.json_text(L)))
    """,
    "display_text of a list": """
        L = []; L += [Clears(L), [0.5] * 1000]
        seen.add(outcome(lambda: tessarin.display_text(L)))
    """,
    "json_text of a dict": """
        d = {}; d.update(a=Clears(d), b=[1.5] * 1000, c="x")
        seen.add(outcome(lambda: tessarin.json_text(d)))
    """,
    "nested list in a dict": """
        L = []; d = {"k": L}; L += [Clears(d), Clears(L), [0.5] * 100]
        seen.add(outcome(lambda: tessarin.json_text(d, sort_keys=True, indent=2)))
    """,
    "card query_state": """
        d = {}; d.update(a=Clears(d), b=list(range(500)))
        seen.add(outcome(lambda: TurnContextCard(turn_id=1, query_state=d)))
    """,
    "card map": """
        d = {"turn_id": 1}; d["query_state"] = {"x": Clears(d)}; d["entities"] = ["a"] * 100
        seen.add(outcome(lambda: Turnmend().resolve("show it by month", [d])))
    """,
    "question parts": """
        d = {}; d.update(metric=Clears(d), grouping=["x"] * 100)
        seen.add(outcome(lambda: Turnmend()._render_question_parts(d, "fallback")))
    """,
    "catalog sample values": """
        col = {"name": "region", "type": "text", "sample_values": []}
        col["sample_values"] += [Clears(col["sample_values"]), ["v"] * 500]
        catalog = {"database": "db", "tables": [{"name": "sales", "columns": [col]}]}
        seen.add(outcome(lambda: Schemasift().select("sales by region", catalog)))
    """,
}


@pytest.mark.parametrize("case", sorted(_CONVERSIONS))
def test_container_changed_by_str_during_conversion(case):
    program = _CLEARING_ITEM + "\n    seen = set()\n    for _ in range(100):\n" + textwrap.indent(
        textwrap.dedent(_CONVERSIONS[case]), " " * 8) + "\n    print(sorted(seen))\n"
    run_program(program)


def test_list_changed_by_str_names_the_change():
    out = run_program(_CLEARING_ITEM + """
    L = []; L += [Clears(L), 1]
    print(outcome(lambda: tessarin.json_text(L)))
    """)
    assert out.strip() == "changed"


# --- resolve while another thread assigns fields of its cards ---------------


def test_resolve_while_another_thread_assigns_card_fields():
    out = run_program("""
        import sys, threading
        from tessarin import json_text
        from tessarin.turnmend import ResolverConfig, Turnmend, TurnContextCard

        cards = [TurnContextCard(turn_id=i, user_question=f"revenue by region {i}",
                                 query_state={"active_tables": ["sales"]}) for i in range(1, 11)]
        stop = threading.Event()

        def assign():
            n = 0
            while not stop.is_set():
                n += 1
                for card in cards:
                    card.user_question = ("total revenue by month " * (n % 37)) + "\\u00e9" * (n % 5)
                    card.query_state = {"active_tables": ["table_%d" % (n % 3)] * (n % 29)}
                    card.entities = ["entity name %d" % n] * (n % 31)

        fallback_calls = []
        def fallback(question, summaries, preliminary):
            fallback_calls.append(1)
            cards[0].user_question = "changed by the fallback"
            return None

        sys.setswitchinterval(1e-5)  # many thread switches inside each resolve
        threads = [threading.Thread(target=assign) for _ in range(2)]
        for t in threads:
            t.start()
        try:
            plain = Turnmend()
            with_fallback = Turnmend(ResolverConfig(use_llm_fallback=True), llm_fallback=fallback)
            for i in range(10000):
                for resolver, message in ((plain, "make it monthly"), (with_fallback, "and by month?")):
                    result = resolver.resolve(message, cards)
                    assert all(c.card is None or any(c.card is k for k in cards)
                               for c in result.candidates)
                    if i % 100 == 0:
                        json_text(result.to_dict())
        finally:
            stop.set()
            for t in threads:
                t.join()
        print("done")
    """)
    assert out.strip() == "done"


# --- regex: patterns that went exponential -------------------------------------


def test_backtracking_patterns_end_quickly_on_30_characters():
    out = run_program("""
        import re
        from tessarin import compile_pattern
        cases = [(r"(a*)*$", "a" * 30 + "b"), (r"()*(a+)+b", "a" * 30), (r"(?=(a+)+b)", "a" * 30),
                 (r"(.*)*x", "a" * 30), (r"(a(?!b)+)+b", "a" * 30)]
        for _ in range(100):
            for pattern, text in cases:
                found = compile_pattern(pattern).search(text)
                assert (found and found.span()) == (None if found is None else found.span())
        print("done")
    """, timeout=120)
    assert out.strip() == "done"


# --- pickles without state, with a wrong state or crafted -------------------

_PICKLE_PRELUDE = """
    import pickle, pickletools
    from tessarin import compile_pattern, Pattern
    from tessarin.turnmend import TurnContextCard, IntentDelta, ContextCandidate, ContextResolution, ResolverConfig
    from tessarin.schemasift import MetadataCatalog, TableMeta, ColumnMeta

    CLASSES = [TurnContextCard, IntentDelta, ContextCandidate, ContextResolution, ResolverConfig,
               MetadataCatalog, TableMeta, ColumnMeta]
    CLEAR = (TypeError, ValueError, pickle.UnpicklingError)

    def expect_clear_error(call):
        try:
            call()
        except CLEAR:
            return
        raise AssertionError("no clear error")

    def crafted(cls, state_pickle=None):
        # NEWOBJ of the class, then optionally BUILD with the given state.
        head = pickle.dumps(cls, protocol=2)[:-1]  # the class, without STOP
        body = head + b")\\x81"                    # empty args tuple, NEWOBJ
        if state_pickle is not None:
            body += state_pickle[2:-1] + b"b"       # state object, BUILD
        return body + b"."
"""


def test_crafted_pickles_raise_clear_errors():
    out = run_program(_PICKLE_PRELUDE + """
    import warnings
    warnings.simplefilter("ignore")
    for _ in range(100):
        for cls in CLASSES:
            bare = pickle.loads(crafted(cls))             # __new__ and nothing else
            for use in (repr, lambda o: o == o, lambda o: getattr(o, cls.__match_args__[0]),
                        pickle.dumps, lambda o: o.__getstate__(), lambda o: o.__copy__()):
                expect_clear_error(lambda: use(bare))
            for state in ((), (1, 2), ("x",) * 40, None, [1], {"a": 1}):
                expect_clear_error(lambda: pickle.loads(crafted(cls, pickle.dumps(state, protocol=2))))
        for state in ((), ("a",), ("a", 1), (1, True), ("(", False)):
            expect_clear_error(lambda: pickle.loads(crafted(Pattern, pickle.dumps(state, protocol=2))))
    print("done")
    """)
    assert out.strip() == "done"


def test_wrong_field_types_in_state_name_the_field():
    out = run_program(_PICKLE_PRELUDE + """
    state = TurnContextCard(turn_id=1).__getstate__()
    bad = (state[0], 5) + state[2:]
    try:
        pickle.loads(crafted(TurnContextCard, pickle.dumps(bad, protocol=2)))
    except TypeError as error:
        print(error)
    good = pickle.loads(pickle.dumps(TurnContextCard(turn_id=7, entities=["x"])))
    print(good.turn_id, good.entities)
    """)
    assert "TurnContextCard.session_id must be str" in out
    assert "7 ['x']" in out
