"""Python values in and out: metadata kinds, vectors of every form, and what
is refused, with which class and message."""

import array
import math

import numpy as np
import pytest

import quorvel_engine
from conftest import f32
from quorvel_engine import ConfigError, Engine, RefusedValueError


def kinds(value):
    """The type of `value` and of everything in it, keys in sorted order."""
    if isinstance(value, dict):
        return {key: kinds(item) for key, item in sorted(value.items())}
    if isinstance(value, list):
        return [kinds(item) for item in value]
    return type(value).__name__


@pytest.mark.parametrize("metadata", [
    None, True, False, 0, 1, -1, 2**63 - 1, -2**63, 2**64 - 1, 1.0, -0.5, 1e300, "", "ünï ✓", [],
    [1, 1.0, True, None, "x", [[]]], {}, {"b": 1, "a": [True, None], "": {"z": -2}},
    (1, 2),  # a tuple is a JSON array: it comes back as a list
])
def test_metadata_comes_back_as_the_same_values_and_kinds(db, metadata):
    db.insert("r", [1.0], metadata)
    back = db.get("r").metadata
    expected = list(metadata) if isinstance(metadata, tuple) else metadata
    assert back == expected
    assert kinds(back) == kinds(expected)  # int, float and bool stay apart, at every level


def test_objects_come_back_with_their_keys_in_byte_order_and_the_last_repeat_kept(db):
    db.insert("r", [1.0], {"é": 1, "z": 2, "a": 3})
    assert list(db.get("r").metadata) == ["a", "z", "é"]


NESTED_TOO_DEEP = [[]]
for _ in range(126):
    NESTED_TOO_DEEP = [NESTED_TOO_DEEP]
SELF_HOLDING = []
SELF_HOLDING.append(SELF_HOLDING)


@pytest.mark.parametrize("metadata, error, message", [
    (float("nan"), RefusedValueError, "metadata holds the float nan, which has no JSON form"),
    ({"x": [float("-inf")]}, RefusedValueError, "metadata holds the float -inf, which has no JSON form"),
    (2**64, RefusedValueError,
     "metadata holds the int 18446744073709551616, outside the integers JSON values hold (-2**63 to 2**64 - 1)"),
    (-2**63 - 1, RefusedValueError,
     "metadata holds the int -9223372036854775809, outside the integers JSON values hold (-2**63 to 2**64 - 1)"),
    (NESTED_TOO_DEEP, RefusedValueError, "metadata is nested deeper than 127 levels"),
    (SELF_HOLDING, RefusedValueError, "metadata is nested deeper than 127 levels"),
    ({1: "x"}, TypeError, "metadata keys must be str, not 'int'"),
    ({1, 2}, TypeError, "metadata cannot hold a value of type 'set'"),
    ({"x": b"bytes"}, TypeError, "metadata cannot hold a value of type 'bytes'"),
    ("\ud800", UnicodeEncodeError, None),
])
def test_metadata_that_json_cannot_hold_is_refused_and_nothing_is_stored(db, metadata, error, message):
    with pytest.raises(error) as raised:
        db.insert("r", [1.0], metadata)
    if message is not None:
        assert str(raised.value) == message
    assert "r" not in db


def test_the_deepest_metadata_allowed_reads_back_after_a_reopen(db_path):
    deepest = NESTED_TOO_DEEP[0]  # 127 levels
    with Engine(db_path) as db:
        db.insert("r", [1.0], deepest)
    with Engine(db_path) as db:
        assert db.get("r").metadata == deepest


@pytest.mark.parametrize("vector", [
    [1.5, -2, 3], (1.5, -2, 3), array.array("f", [1.5, -2, 3]), array.array("d", [1.5, -2, 3]),
    np.array([1.5, -2, 3], dtype=np.float32), np.array([1.5, -2, 3], dtype=np.float64),
    np.array([1, -2, 3, 9], dtype=np.int64)[:3] * np.array([1.5, 1, 1]),   # computed, float64
    np.array([[1.5, 0], [-2, 0], [3, 0]], dtype=np.float32)[:, 0],        # strided, not contiguous
    np.array([1.5, -2, 3], dtype=">f4"),                                   # big-endian: element by element
    memoryview(np.array([1.5, -2, 3], dtype=np.float32)),
])
def test_every_form_of_a_vector_stores_the_same_floats(db, vector):
    db.insert("r", vector)
    assert db.get("r").vector.tolist() == [1.5, -2.0, 3.0]


def test_returned_vectors_keep_their_own_length_and_floats_across_engines(tmp_path):
    # Short and long vectors (the latter beyond what a get copies on the
    # stack) from two engines in turn; each returned array is its own copy.
    short = [float(i) + 0.5 for i in range(3)]
    long = [float(-i) / 7 for i in range(1000)]
    with Engine(str(tmp_path / "short.db")) as a, Engine(str(tmp_path / "long.db")) as b:
        a.insert("s", short)
        b.insert("l", long)
        for _ in range(2):
            first, second = a.get("s").vector, b.get("l").vector
            assert (first.tolist(), second.tolist()) == (short, [f32(x) for x in long])
            first[0] = 99.0
            assert a.get("s").vector.tolist() == short


def test_a_returned_vector_is_wrapped_by_numpy_without_a_copy(db):
    db.insert("r", np.array([0.1, 0.2, 0.3], dtype=np.float32))
    vector = db.get("r").vector
    wrapped = np.asarray(vector)
    assert wrapped.dtype == np.float32
    assert wrapped.ctypes.data == vector.buffer_info()[0]
    assert wrapped.tolist() == [f32(0.1), f32(0.2), f32(0.3)]


@pytest.mark.parametrize("vector, error, message", [
    ("abc", TypeError, "a vector must be a sequence of numbers, not a str"),
    (3, TypeError, "a vector must be a sequence of numbers, not 'int'"),
    ({1.0: 1}, TypeError, "a vector must be a sequence of numbers, not 'dict'"),
    ([1.0, "x"], TypeError, "vector element 1 must be a number, not 'str'"),
    (np.ones((2, 2), dtype=np.float32), RefusedValueError, "a vector must have one dimension, not 2"),
    ([1.0, math.nan], RefusedValueError,
     "Storage error: Serialization error: vector element 1 is NaN, which has no JSON form"),
    (np.array([1e300, 0]), RefusedValueError,
     "Storage error: Serialization error: vector element 0 is infinite, which has no JSON form"),
])
def test_vectors_that_cannot_be_stored_are_refused(db, vector, error, message):
    with pytest.raises(error) as raised:
        db.insert("r", vector)
    assert str(raised.value) == message
    assert len(db) == 0


def test_a_vector_of_another_length_than_the_database_names_both_lengths(db_path):
    with Engine(db_path) as db:
        db.insert("a", [1.0, 2.0, 3.0])
        assert db.dimension == 3
        for call in (lambda: db.insert("b", [1.0, 2.0]), lambda: db.search([1.0, 2.0, 3.0, 4.0]),
                     lambda: db.insert_many(["b"], [[1.0]])):
            with pytest.raises(ValueError, match=r"the vector has \d floats, the database's dimension is 3"):
                call()
        assert len(db) == 1
    with pytest.raises(ConfigError, match='record "a" has 3 floats, the dimension given is 4$'):
        Engine(db_path, dimension=4)


def test_the_refusal_classes_are_value_errors_under_one_base():
    for name in ("RefusedValueError", "ConfigError"):
        cls = getattr(quorvel_engine, name)
        assert issubclass(cls, ValueError) and issubclass(cls, quorvel_engine.Error)
    for name in ("FileInUseError", "DamagedFileError", "ForkedChildError"):
        assert issubclass(getattr(quorvel_engine, name), quorvel_engine.StorageError)
    assert issubclass(quorvel_engine.StorageError, quorvel_engine.Error)
    assert issubclass(quorvel_engine.EngineClosedError, quorvel_engine.Error)


@pytest.mark.parametrize("options, error, message", [
    ({"metric": "l2"}, ConfigError, "metric must be cosine, dot, euclidean or manhattan, not 'l2'"),
    ({"metric": 1}, TypeError, "metric must be a str, not 'int'"),
    ({"dimension": 0}, ConfigError, "dimension must be at least 1, got 0"),
    ({"dimension": -1}, ConfigError, "dimension must be at least 1, got -1"),
    ({"dimension": True}, TypeError, "dimension must be an int, not 'bool'"),
    ({"workers": 0}, ConfigError, "workers must be from 1 to 1024, got 0"),
    ({"workers": 1025}, ConfigError, "workers must be from 1 to 1024, got 1025"),
    ({"index": {"m": 16}}, TypeError, "index must be a quorvel_engine.HnswConfig or None, not 'dict'"),
    ({"index": quorvel_engine.HnswConfig(ml=float("nan"))}, ConfigError, "Index config error: ml is NaN"),
    ({"index": quorvel_engine.HnswConfig(retired_share=1.5)}, ConfigError,
     "Index config error: retired_share = 1.500000 must lie between 0 and 1"),
])
def test_options_that_cannot_work_are_refused_before_the_file_is_made(tmp_path, options, error, message):
    path = tmp_path / "never.db"
    with pytest.raises(error) as raised:
        Engine(str(path), **options)
    assert str(raised.value) == message
    assert not path.exists()


def test_hnsw_config_takes_its_omitted_fields_from_m():
    config = quorvel_engine.HnswConfig(m=8)
    assert (config.m, config.m_max, config.m_max0, config.ef_construction, config.ef_search) == (8, 8, 16, 200, 64)
    assert config.ml == f32(1 / math.log(f32(8)))
    assert quorvel_engine.HnswConfig(m=1).ml == 1.0
    assert quorvel_engine.HnswConfig(12, 100, 10, m_max=5, m_max0=7, ml=0.5) == quorvel_engine.HnswConfig(
        m=12, ef_construction=100, ef_search=10, m_max=5, m_max0=7, ml=0.5)
    assert repr(quorvel_engine.HnswConfig()) == (
        "HnswConfig(m=16, ef_construction=200, ef_search=64, m_max=16, m_max0=32, ml=0.36067376, "
        "selection='closest', keep_pruned=False, seed=None, retire_deleted=False, retired_share=0.2, "
        "build_threads=1)")
    with pytest.raises(ConfigError, match=r"^m must be an int from 0 to 2\*\*64 - 1, got -1$"):
        quorvel_engine.HnswConfig(m=-1)


def test_hnsw_config_options_read_back_and_keep_what_m_gives():
    options = {"selection": "diverse", "keep_pruned": True, "seed": 2**32 - 1, "retire_deleted": True,
               "retired_share": 0.5, "build_threads": 0}
    config = quorvel_engine.HnswConfig(m=8, **options)
    assert {name: getattr(config, name) for name in options} == options
    assert (config.m_max, config.m_max0, config.ml) == (8, 16, f32(1 / math.log(f32(8))))
    assert config != quorvel_engine.HnswConfig(m=8)
    assert quorvel_engine.HnswConfig(seed=None, selection=None).seed is None


@pytest.mark.parametrize("options, error, message", [
    ({"selection": "far"}, ConfigError, "selection must be closest or diverse, not 'far'"),
    ({"selection": 1}, TypeError, "selection must be a str, not 'int'"),
    ({"keep_pruned": 1}, TypeError, "keep_pruned must be a bool, not 'int'"),
    ({"retire_deleted": "yes"}, TypeError, "retire_deleted must be a bool, not 'str'"),
    ({"seed": 2**32}, ConfigError, "seed must be an int from 0 to 2**32 - 1, got 4294967296"),
    ({"seed": -1}, ConfigError, "seed must be an int from 0 to 2**32 - 1, got -1"),
    ({"retired_share": "0.2"}, TypeError, "retired_share must be a number, not 'str'"),
    ({"build_threads": -1}, ConfigError, "build_threads must be an int from 0 to 2**64 - 1, got -1"),
])
def test_hnsw_config_options_of_the_wrong_kind_or_range(options, error, message):
    with pytest.raises(error) as raised:
        quorvel_engine.HnswConfig(**options)
    assert str(raised.value) == message


@pytest.mark.parametrize("call, error, message", [
    (lambda db: db.insert(1, [1.0]), TypeError, "an id must be a str, not 'int'"),
    (lambda db: db.insert("r", [1.0], timestamp=-1), RefusedValueError,
     "a timestamp must be an int from 0 to 2**64 - 1, got -1"),
    (lambda db: db.insert("r", [1.0], timestamp=1.5), TypeError, "timestamp must be an int, not 'float'"),
    (lambda db: db.search([1.0], -1), RefusedValueError, "k must be an int from 0 to 2**64 - 1, got -1"),
    (lambda db: db.search([1.0], where=[("a", 1)]), TypeError,
     "where must be a dict of metadata keys and values, not 'list'"),
    (lambda db: db.search([1.0], decay=-0.5), RefusedValueError, "decay must be a number in (0, 1], got -0.5"),
    (lambda db: db.search([1.0], decay=1.5), RefusedValueError, "decay must be a number in (0, 1], got 1.5"),
    (lambda db: db.search([1.0], decay=1e-50), RefusedValueError, "decay must be a number in (0, 1], got 1e-50"),
    (lambda db: db.search([1.0], decay=0.5, now=-1), RefusedValueError, "now must be an int from 0 to 2**64 - 1, got -1"),
    (lambda db: db.get(b"r"), TypeError, "an id must be a str, not 'bytes'"),
    (lambda db: db.search([1.0], filter_through_index=1), TypeError, "filter_through_index must be a bool, not 'int'"),
    (lambda db: db.search_many([[1.0]], filter_through_index=None), TypeError,
     "filter_through_index must be a bool, not 'NoneType'"),
])
def test_arguments_of_the_wrong_kind_or_range(db, call, error, message):
    with pytest.raises(error) as raised:
        call(db)
    assert str(raised.value) == message


def test_a_path_with_a_nul_is_refused(tmp_path):
    with pytest.raises(ValueError, match="^embedded null byte$"):
        Engine(str(tmp_path / "a\0b"))
