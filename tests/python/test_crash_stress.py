"""Threads that change shared records and containers while other threads call
the libraries with them: no crash and no error but the documented ones. Runs
in a subprocess, bounded in calls and time."""

from support import run_program

_PROGRAM = """
    import random, sys, threading
    import tessarin
    from tessarin import compile_pattern, json_text, display_text
    from tessarin.turnmend import ResolverConfig, Turnmend, TurnContextCard

    sys.setswitchinterval(1e-5)
    shared_list = [1, "a", 2.5, None]
    shared_dict = {"k": [1, 2], "s": "text"}
    cards = [TurnContextCard(turn_id=i, user_question="revenue by region") for i in range(1, 9)]
    pattern = compile_pattern(r"(\\w+\\s?)*$")
    texts = ["word " * 1200 + "!", "a" * 6000]
    stop = threading.Event()
    failures = []

    class Mutating:
        # A value whose str() changes the shared containers mid-conversion.
        def __str__(self):
            shared_list.append(len(shared_list))
            shared_dict.pop("s", None)
            return "m"

    def mutate(seed):
        rng = random.Random(seed)
        while not stop.is_set():
            op = rng.randrange(6)
            if op == 0:
                shared_list.append(rng.choice([Mutating(), [1] * rng.randrange(50), "x"]))
            elif op == 1 and len(shared_list) > 40:
                del shared_list[: rng.randrange(len(shared_list))]
            elif op == 2:
                shared_dict[str(rng.randrange(30))] = rng.choice([Mutating(), {"n": [2] * 9}, 3])
            elif op == 3:
                shared_dict.clear()
            elif op == 4:
                card = rng.choice(cards)
                card.user_question = "total revenue by month " * rng.randrange(20)
                card.query_state = {"active_tables": ["t"] * rng.randrange(20)}
            else:
                texts[rng.randrange(2)] = "word " * rng.randrange(2000)

    def call(seed, calls):
        rng = random.Random(seed)
        resolvers = [Turnmend(), Turnmend(ResolverConfig(use_llm_fallback=True),
                                          llm_fallback=lambda q, s, p: None)]
        for _ in range(calls):
            op = rng.randrange(6)
            try:
                if op == 0:
                    json_text(shared_list, sort_keys=True)
                elif op == 1:
                    display_text(shared_dict)
                elif op == 2:
                    TurnContextCard(turn_id=1, query_state=shared_dict, entities=["e"])
                elif op == 3:
                    rng.choice(resolvers).resolve("make it monthly", cards)
                elif op == 4:
                    pattern.search(texts[rng.randrange(2)])
                else:
                    json_text({"cards": [c.to_resolver_summary() for c in cards]})
            except RuntimeError as error:
                if "changed size during conversion" not in str(error):
                    failures.append(repr(error))
            except Exception as error:
                failures.append(repr(error))

    mutators = [threading.Thread(target=mutate, args=(i,)) for i in range(2)]
    callers = [threading.Thread(target=call, args=(10 + i, 5000)) for i in range(3)]
    for t in mutators + callers:
        t.start()
    for t in callers:
        t.join()
    stop.set()
    for t in mutators:
        t.join()
    assert not failures, failures[:5]
    print("done")
"""


def test_threads_changing_shared_inputs_while_calls_run():
    assert run_program(_PROGRAM, timeout=300).strip() == "done"
