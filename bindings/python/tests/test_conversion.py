"""Conversion of arguments: text, float sequences, counts and metadata."""

import array
import math
import pathlib

import pytest

import quorvel
from conftest import f32, stored_records


class Text(str):
    pass


class Index:
    def __init__(self, value):
        self.value = value

    def __index__(self):
        return self.value


class Real:
    def __init__(self, value):
        self.value = value

    def __float__(self):
        return self.value


class Sized:
    """A sequence whose reported length is wrong or fails."""

    def __init__(self, items, length):
        self.items = items
        self.length = length

    def __len__(self):
        if isinstance(self.length, Exception):
            raise self.length
        return self.length

    def __getitem__(self, index):
        return self.items[index]


class FailingAt:
    """A sequence whose iteration fails with `error` at position `at`."""

    def __init__(self, at, error):
        self.at = at
        self.error = error

    def __getitem__(self, index):
        if index == self.at:
            raise self.error
        return 1.0


def generator():
    yield 1.0


# --- text: path and id --------------------------------------------------------

NOT_TEXT = [
    (1, "int"),
    (1.5, "float"),
    (None, "NoneType"),
    (b"a", "bytes"),
    (pathlib.PurePosixPath("a"), "PurePosixPath"),
    (["a"], "list"),
    (Index(1), "Index"),
]


@pytest.mark.parametrize("value, type_name", NOT_TEXT)
@pytest.mark.parametrize("method", ["get", "delete", "insert"])
def test_id_must_be_text(db, method, value, type_name):
    args = (value, [1.0]) if method == "insert" else (value,)
    with pytest.raises(TypeError) as raised:
        getattr(db, method)(*args)
    assert str(raised.value) == f"argument 'id': '{type_name}' object cannot be converted to 'PyString'"
    assert raised.value.__cause__ is None
    assert db.get_all() == []


@pytest.mark.parametrize("value, type_name", NOT_TEXT)
def test_path_must_be_text(value, type_name):
    with pytest.raises(TypeError) as raised:
        quorvel.Quorvel(value)
    assert str(raised.value) == f"argument 'path': '{type_name}' object cannot be converted to 'PyString'"


def test_path_may_be_a_str_subclass(tmp_path):
    db = quorvel.Quorvel(Text(tmp_path / "sub.db"))
    db.insert("a", [1.0])
    del db
    assert list(stored_records(str(tmp_path / "sub.db"))) == ["a"]


def test_ids_are_utf8_text(db):
    db.insert(Text("é"), [1.0], '"x"')
    db.insert("\0nul", [1.0], '"y"')
    assert db.get("é") == '"x"'
    assert db.get("e\u0301") is None  # another normalisation is another id
    assert db.get("\0nul") == '"y"'
    assert db.get_all() == [("é", '"x"'), ("\0nul", '"y"')]


@pytest.mark.parametrize("method", ["get", "delete", "insert"])
def test_lone_surrogate_raises_the_encoders_error(db, method):
    args = ("\ud800", [1.0]) if method == "insert" else ("\ud800",)
    with pytest.raises(UnicodeEncodeError):
        getattr(db, method)(*args)
    assert db.get_all() == []


def test_lone_surrogate_path():
    with pytest.raises(UnicodeEncodeError):
        quorvel.Quorvel("\udcff.db")


# --- float sequences: vector and query ---------------------------------------

ACCEPTED_VECTORS = [
    ([1, True, 2.5], [1.0, 1.0, 2.5]),
    ((0.1, -2), [f32(0.1), -2.0]),
    (range(3), [0.0, 1.0, 2.0]),
    (b"\x01\x02", [1.0, 2.0]),
    (bytearray(b"\xff"), [255.0]),
    (array.array("d", [0.5, 1e-50]), [0.5, 0.0]),
    ([], []),
    ([Real(3.25), Index(7), False], [3.25, 7.0, 0.0]),
    ([16777217], [16777216.0]),  # rounded to the nearest 32-bit float
    (Sized([1.0, 2.0], ValueError("no length")), [1.0, 2.0]),  # the length is only a hint
    (Sized([1.0, 2.0], 2**40), [1.0, 2.0]),
]


@pytest.mark.parametrize("value, stored", ACCEPTED_VECTORS)
def test_accepted_vectors(db_path, value, stored):
    db = quorvel.Quorvel(db_path)
    db.insert("a", value)
    del db
    # The file holds the shortest text of each 32-bit float.
    assert [f32(element) for element in stored_records(db_path)["a"]["vector"]] == stored


REFUSED_SEQUENCES = [
    ("1,2", "Can't extract `str` to `Vec`"),
    (Text("12"), "Can't extract `str` to `Vec`"),
    ({1: 2}, "'dict' object cannot be converted to 'Sequence'"),
    ({1.0}, "'set' object cannot be converted to 'Sequence'"),
    (generator(), "'generator' object cannot be converted to 'Sequence'"),
    (iter([1.0]), "'list_iterator' object cannot be converted to 'Sequence'"),
    (5, "'int' object cannot be converted to 'Sequence'"),
    (None, "'NoneType' object cannot be converted to 'Sequence'"),
]


@pytest.mark.parametrize("value, message", REFUSED_SEQUENCES)
def test_refused_sequences(db, value, message):
    db.insert("kept", [1.0])
    with pytest.raises(TypeError) as raised:
        db.insert("a", value)
    assert str(raised.value) == "argument 'vector': " + message
    with pytest.raises(TypeError) as raised:
        db.search(value, 1)
    assert str(raised.value) == "argument 'query': " + message
    assert db.get_all() == [("kept", None)]


def test_element_type_error_is_reraised_with_the_parameter(db):
    with pytest.raises(TypeError) as raised:
        db.insert("a", [1.0, "2"])
    assert str(raised.value).startswith("argument 'vector': ")
    assert str(raised.value) != "argument 'vector': "
    assert db.get_all() == []


def test_reraised_type_error_keeps_the_cause(db):
    cause = KeyError("inner cause")

    class Broken:
        def __float__(self):
            raise TypeError("no float here") from cause

    with pytest.raises(TypeError) as raised:
        db.search([Broken()], 1)
    assert str(raised.value) == "argument 'query': no float here"
    assert raised.value.__cause__ is cause


def test_type_error_subclass_is_not_reraised(db):
    class MyTypeError(TypeError):
        pass

    class Broken:
        def __float__(self):
            raise MyTypeError("mine")

    with pytest.raises(MyTypeError) as raised:
        db.insert("a", [Broken()])
    assert str(raised.value) == "mine"


class NotAFloat:
    def __float__(self):
        raise ValueError("bad float")


@pytest.mark.parametrize("value, error", [
    ([1.0, NotAFloat()], ValueError),
    ([2**1100], OverflowError),
    (FailingAt(2, RuntimeError("stop")), RuntimeError),
    (FailingAt(0, KeyboardInterrupt()), KeyboardInterrupt),
])
def test_other_element_errors_propagate_unchanged(db, value, error):
    with pytest.raises(error) as raised:
        db.insert("a", value)
    assert not str(raised.value).startswith("argument")
    assert db.get_all() == []


@pytest.mark.parametrize("value", [[1e300], [-1e39], [math.nan], [math.inf, 1.0]])
def test_non_finite_elements_are_refused_when_stored(db, value):
    with pytest.raises(RuntimeError) as raised:
        db.insert("a", value)
    assert str(raised.value).startswith("Storage error: Serialization error: ")
    assert db.get_all() == []
    db.insert("b", [1.0])
    # A query may hold them: the search completes.
    assert len(db.search(value, 5)) == 1


# --- counts: k -----------------------------------------------------------------

@pytest.mark.parametrize("k, expected", [
    (0, 0), (1, 1), (True, 1), (False, 0), (Index(2), 2), (2**64 - 1, 3), (3, 3), (10, 3),
])
def test_accepted_counts(db, k, expected):
    for name in "abc":
        db.insert(name, [1.0])
    assert len(db.search([1.0], k)) == expected


@pytest.mark.parametrize("k, error", [
    (-1, OverflowError), (2**64, OverflowError), (Index(-5), OverflowError),
])
def test_counts_out_of_range(db, k, error):
    with pytest.raises(error) as raised:
        db.search([1.0], k)
    assert not str(raised.value).startswith("argument")


@pytest.mark.parametrize("k", [2.0, "3", None, [1]])
def test_counts_without_index_conversion(db, k):
    with pytest.raises(TypeError) as raised:
        db.search([1.0], k)
    assert str(raised.value).startswith("argument 'k': ")


def test_query_is_converted_before_k(db):
    with pytest.raises(TypeError) as raised:
        db.search("q", "k")
    assert str(raised.value).startswith("argument 'query': ")


# --- metadata ------------------------------------------------------------------

@pytest.mark.parametrize("value, type_name", [({"a": 1}, "dict"), (1, "int"), (b"{}", "bytes")])
def test_metadata_must_be_text(db, value, type_name):
    with pytest.raises(TypeError) as raised:
        db.insert("a", [1.0], value)
    assert str(raised.value) == f"argument 'metadata': '{type_name}' object cannot be converted to 'PyString'"
    assert db.get_all() == []


@pytest.mark.parametrize("text, message", [
    ("", "EOF while parsing a value at line 1 column 0"),
    ("{bad", "key must be a string at line 1 column 2"),
    ("1 x", "trailing characters at line 1 column 3"),
    ('{"a":\n tru}', "expected ident at line 2 column 5"),
])
def test_metadata_that_is_not_json(db, text, message):
    with pytest.raises(ValueError) as raised:
        db.insert("a", [1.0], text)
    assert str(raised.value) == message
    assert db.get_all() == []
    assert db.get("a") is None


def test_metadata_with_a_lone_surrogate_raises_the_encoders_error(db):
    with pytest.raises(UnicodeEncodeError):
        db.insert("a", [1.0], '"\ud800"')
    assert db.get_all() == []


def test_metadata_may_be_a_str_subclass_or_none(db):
    db.insert("a", [1.0], Text("[1, 2]"))
    db.insert("b", [1.0], None)
    db.insert("c", [1.0], metadata=None)
    assert db.get_all() == [("a", "[1,2]"), ("b", None), ("c", None)]


def test_arguments_are_converted_in_parameter_order(db):
    with pytest.raises(TypeError) as raised:
        db.insert(1, "v", {})
    assert str(raised.value).startswith("argument 'id': ")
    with pytest.raises(TypeError) as raised:
        db.insert("a", "v", {})
    assert str(raised.value).startswith("argument 'vector': ")
    with pytest.raises(TypeError) as raised:
        db.insert("a", [], {})
    assert str(raised.value).startswith("argument 'metadata': ")
