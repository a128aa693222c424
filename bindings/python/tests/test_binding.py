"""Binding of positional and keyword arguments to parameters."""

import pytest

import quorvel


# (method, positional arguments, keyword arguments, TypeError message). The
# constructor is the method "__new__".
BINDING_ERRORS = [
    ("__new__", (), {}, "Quorvel.__new__() missing 1 required positional argument: 'path'"),
    ("__new__", ("a", "b"), {}, "Quorvel.__new__() takes 1 positional arguments but 2 were given"),
    ("__new__", ("a",), {"mode": 1}, "Quorvel.__new__() got an unexpected keyword argument 'mode'"),
    ("__new__", ("a",), {"path": "a"}, "Quorvel.__new__() got multiple values for argument 'path'"),
    ("insert", (), {}, "Quorvel.insert() missing 2 required positional arguments: 'id' and 'vector'"),
    ("insert", ("a",), {}, "Quorvel.insert() missing 1 required positional argument: 'vector'"),
    ("insert", (), {"vector": [1]}, "Quorvel.insert() missing 1 required positional argument: 'id'"),
    ("insert", (), {"metadata": None},
     "Quorvel.insert() missing 2 required positional arguments: 'id' and 'vector'"),
    ("insert", (1, 2, 3, 4), {},
     "Quorvel.insert() takes from 2 to 3 positional arguments but 4 were given"),
    ("insert", ("a", [1]), {"id": "b"}, "Quorvel.insert() got multiple values for argument 'id'"),
    ("insert", ("a", [1], None), {"metadata": None},
     "Quorvel.insert() got multiple values for argument 'metadata'"),
    ("insert", ("a", [1]), {"meta": "{}"}, "Quorvel.insert() got an unexpected keyword argument 'meta'"),
    ("search", (), {}, "Quorvel.search() missing 2 required positional arguments: 'query' and 'k'"),
    ("search", ([1],), {}, "Quorvel.search() missing 1 required positional argument: 'k'"),
    ("search", ([1], 1, 2), {}, "Quorvel.search() takes 2 positional arguments but 3 were given"),
    ("search", ([1],), {"n": 1}, "Quorvel.search() got an unexpected keyword argument 'n'"),
    ("get", (), {}, "Quorvel.get() missing 1 required positional argument: 'id'"),
    ("get", ("a", "b"), {}, "Quorvel.get() takes 1 positional arguments but 2 were given"),
    ("get", ("a",), {"id": "a"}, "Quorvel.get() got multiple values for argument 'id'"),
    ("get", (), {"ident": "a"}, "Quorvel.get() got an unexpected keyword argument 'ident'"),
    ("get", (), {"idé": "a"}, "Quorvel.get() got an unexpected keyword argument 'idé'"),
    ("delete", (), {}, "Quorvel.delete() missing 1 required positional argument: 'id'"),
    ("delete", ("a", "b", "c"), {}, "Quorvel.delete() takes 1 positional arguments but 3 were given"),
    ("delete", (), {"key": "a"}, "Quorvel.delete() got an unexpected keyword argument 'key'"),
    # The order of the checks: too many positional arguments first, then the
    # keywords one by one in the order given, then missing parameters.
    ("insert", (1, 2, 3, 4), {"bogus": 1},
     "Quorvel.insert() takes from 2 to 3 positional arguments but 4 were given"),
    ("insert", ("a",), {"bogus": 1, "id": "b"},
     "Quorvel.insert() got an unexpected keyword argument 'bogus'"),
    ("insert", ("a",), {"id": "b", "bogus": 1},
     "Quorvel.insert() got multiple values for argument 'id'"),
    ("insert", (), {"bogus": 1}, "Quorvel.insert() got an unexpected keyword argument 'bogus'"),
    # Binding comes before conversion: the arguments are not looked at.
    ("get", (1, 2), {}, "Quorvel.get() takes 1 positional arguments but 2 were given"),
]


@pytest.mark.parametrize("method, args, kwargs, message", BINDING_ERRORS)
def test_binding_errors(db, method, args, kwargs, message):
    if method == "__new__":
        call = quorvel.Quorvel
    else:
        call = getattr(db, method)
    with pytest.raises(TypeError) as raised:
        call(*args, **kwargs)
    assert str(raised.value) == message
    assert raised.value.__cause__ is None
    assert db.get_all() == []


def test_get_all_takes_no_arguments(db):
    with pytest.raises(TypeError):
        db.get_all(1)
    with pytest.raises(TypeError):
        db.get_all(all=True)


def test_every_parameter_may_be_given_by_keyword(db_path):
    db = quorvel.Quorvel(path=db_path)
    db.insert(metadata='{"m": 1}', vector=[1, 0], id="a")
    db.insert("b", vector=[0, 1])
    assert db.get(id="a") == '{"m":1}'
    assert db.search(k=1, query=[1, 0]) == [("a", 1.0, '{"m":1}')]
    db.delete(id="a")
    assert db.get_all() == [("b", None)]
