"""What the methods return, and how records persist across a reopen."""

import pytest

import quorvel
from conftest import f32, stored_records


def test_empty_database(db):
    assert db.get("a") is None
    assert db.get_all() == []
    assert db.search([1.0, 0.0], 10) == []
    assert db.search([], 0) == []
    assert db.delete("a") is None


def test_insert_and_delete_return_none(db):
    assert db.insert("a", [1.0], '{"k": 1}') is None
    assert db.delete("a") is None
    assert db.delete("never there") is None
    assert db.get_all() == []


@pytest.mark.parametrize("text, compact", [
    ('{"b": 1, "a": [true, null]}', '{"a":[true,null],"b":1}'),
    ('{ "b" : 1 , "a" : 2 , "b" : 3 }', '{"a":2,"b":3}'),
    ("5", "5"),
    ("[1,2]", "[1,2]"),
    ("true", "true"),
    ('"text"', '"text"'),
    ('"\\u00e9\\ud83d\\ude00"', '"é😀"'),
    ("1E2", "100.0"),
    ("-0", "-0.0"),
    ("18446744073709551616", "1.8446744073709552e+19"),
])
def test_metadata_comes_back_in_compact_form(db, text, compact):
    db.insert("a", [1.0], text)
    assert db.get("a") == compact
    assert db.get_all() == [("a", compact)]
    assert db.search([1.0], 1) == [("a", 1.0, compact)]


def test_get_returns_none_without_metadata(db):
    db.insert("a", [1.0])
    assert db.get("a") is None
    assert db.get_all() == [("a", None)]


def test_search_results(db):
    db.insert("x", [1.0, 0.0], '{"n": "x"}')
    db.insert("diagonal", [1.0, 1.0])
    db.insert("y", [0.0, 1.0], '{"n": "y"}')
    db.insert("minus x", [-2.0, 0.0])
    db.insert("empty", [])
    results = db.search([3.0, 0.0], 10)
    diagonal = results[1][1]
    # The 32-bit score, widened exactly.
    assert type(diagonal) is float and f32(diagonal) == diagonal
    assert diagonal == pytest.approx(0.5**0.5, abs=1e-6)
    assert results == [
        ("x", 1.0, '{"n":"x"}'),
        ("diagonal", diagonal, None),
        ("y", 0.0, '{"n":"y"}'),
        ("empty", 0.0, None),  # equal scores keep record-list order
        ("minus x", -1.0, None),
    ]
    assert all(type(result) is tuple and len(result) == 3 for result in results)
    assert db.search([3.0, 0.0], 2) == results[:2]
    assert db.search([3.0, 0.0], 0) == []


def test_results_are_new_objects(db):
    db.insert("a", [1.0], '{"k": 1}')
    first = db.get_all()
    first.append("extra")
    assert db.get_all() == [("a", '{"k":1}')]
    assert db.get_all() is not db.get_all()
    found = db.search([1.0], 1)
    db.delete("a")
    assert found == [("a", 1.0, '{"k":1}')]
    assert db.search([1.0], 1) == []


def test_reinsert_replaces_the_record_in_place(db_path):
    db = quorvel.Quorvel(db_path)
    db.insert("a", [1.0, 0.0], '{"v": 1}')
    db.insert("b", [0.0, 1.0])
    db.insert("a", [0.0, 1.0], '{"v": 2}')
    # One entry per id, at the place of the first insert.
    assert db.get("a") == '{"v":2}'
    assert db.get_all() == [("a", '{"v":2}'), ("b", None)]
    assert db.search([0.0, 1.0], 10) == [("a", 1.0, '{"v":2}'), ("b", 1.0, None)]
    del db
    db = quorvel.Quorvel(db_path)
    assert db.get("a") == '{"v":2}'
    assert db.get_all() == [("a", '{"v":2}'), ("b", None)]
    assert db.search([0.0, 1.0], 10) == [("a", 1.0, '{"v":2}'), ("b", 1.0, None)]
    db.delete("a")
    assert db.get("a") is None
    assert db.get_all() == [("b", None)]


def test_reopen_loads_records_in_id_byte_order(db_path):
    ids = ["b", "a", "é", "z", "", "ab", "B", "\0"]
    db = quorvel.Quorvel(db_path)
    for id_ in ids:
        db.insert(id_, [1.0], f'"{len(id_)}"')
    assert [id_ for id_, _ in db.get_all()] == ids  # insertion order
    del db
    db = quorvel.Quorvel(db_path)
    expected = sorted(ids, key=lambda id_: id_.encode())
    assert [id_ for id_, _ in db.get_all()] == expected
    assert expected == ["", "\0", "B", "a", "ab", "b", "z", "é"]
    # Equal scores rank in record-list order, the reopened one.
    assert [id_ for id_, _, _ in db.search([1.0], 100)] == expected


def test_stored_null_metadata_reads_back_as_absent(db_path):
    db = quorvel.Quorvel(db_path)
    db.insert("a", [1.0], "null")
    assert db.get("a") == "null"
    del db
    db = quorvel.Quorvel(db_path)
    assert db.get("a") is None


def test_file_holds_each_record_in_its_json_form(db_path):
    db = quorvel.Quorvel(db_path)
    db.insert("a", [1.0, 0.5], '{"k": [1, "x"]}')
    db.insert("b", [], None)
    db.delete("missing")
    del db
    assert stored_records(db_path) == {
        "a": {"id": "a", "vector": [1.0, 0.5], "metadata": {"k": [1, "x"]}, "timestamp": None},
        "b": {"id": "b", "vector": [], "metadata": None, "timestamp": None},
    }


def test_deep_metadata_reads_back_after_reopen(db_path):
    db = quorvel.Quorvel(db_path)
    deepest = "[" * 127 + "]" * 127
    db.insert("deep", [1.0], deepest)
    with pytest.raises(ValueError) as raised:
        db.insert("deeper", [1.0], "[" * 128 + "]" * 128)
    assert str(raised.value) == "recursion limit exceeded at line 1 column 128"
    del db
    db = quorvel.Quorvel(db_path)
    assert db.get("deep") == deepest
    assert db.get_all() == [("deep", deepest)]
