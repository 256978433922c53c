"""How list arguments of words treat what is not a list of str: each public
call keeps its rule (the two libraries differ, and callers rely on each)."""

import pytest
import tessarin.schemasift as schemasift
import tessarin.turnmend as turnmend


@pytest.mark.parametrize(
    "call, expected",
    [
        # turnmend: every stop word must be a str.
        (lambda: turnmend.tokenize("a b", stopwords=["b", 1]), "a stop word must be str, got int"),
        (lambda: turnmend.tokenize("a b", stopwords="b"), "stopwords must be a list, got str"),
        (lambda: turnmend.tokenize("a b", stopwords=5), "'int' object is not iterable"),
        (lambda: turnmend.overlap_score(["a"], [None]), "b must be str, got NoneType"),
        # schemasift's selection lists name the list and the entry.
        (
            lambda: schemasift.Schemasift().select(
                "q", schemasift.demo_catalog(), required_tables=[3]
            ),
            "required_tables entries must be str, got int",
        ),
        (lambda: schemasift.tokenize("a", stopwords=5), "'int' object is not iterable"),
    ],
)
def test_rejected_word_lists(call, expected):
    with pytest.raises(TypeError) as error:
        call()
    assert str(error.value) == expected


def test_schemasift_word_sets_take_what_set_would():
    # A non-str item can never equal a word, as in set(items).
    assert schemasift.tokenize("orders of a b", stopwords=[1, "orders", None]) == ["of", "a", "b"]
    catalog = schemasift.MetadataCatalog(
        tables=[schemasift.TableMeta("orders")],
        relationships=[schemasift.RelationshipMeta("orders", "id", "customers", "id")],
    )
    (relationship,) = catalog.relationships
    assert relationship.involves(["orders", 7, "customers"]) and not relationship.involves(
        ["orders", 7]
    )
    assert relationship.touches(["orders", 7]) and not relationship.touches([7])


def test_turnmend_word_lists_take_any_iterable():
    assert turnmend.tokenize("a b c", stopwords=(w for w in ["b"])) == ["a", "c"]
    assert turnmend.overlap_score(iter(["a", "b"]), {"b"}) == 1.0
