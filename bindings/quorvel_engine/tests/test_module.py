"""The module's surface: what it exports, its stub, its docstrings and its
version."""

import ast
import inspect
import pydoc
import re
from pathlib import Path

import quorvel_engine

SOURCE = Path(__file__).resolve().parents[3]
STUB = SOURCE / "bindings" / "quorvel_engine" / "quorvel_engine.pyi"


def stub_tree():
    return ast.parse(STUB.read_text())


def stub_class(name):
    (found,) = [node for node in stub_tree().body if isinstance(node, ast.ClassDef) and node.name == name]
    return ({item.name for item in found.body if isinstance(item, ast.FunctionDef)}
            | {item.target.id for item in found.body if isinstance(item, ast.AnnAssign)})


def public(names):
    return {name for name in names if not name.startswith("_") or name in ("__enter__", "__exit__")}


def test_the_stub_names_what_the_module_has():
    module_level = {node.name for node in stub_tree().body if isinstance(node, ast.ClassDef)}
    assert module_level == set(quorvel_engine.__all__)
    for name in quorvel_engine.__all__:
        assert hasattr(quorvel_engine, name)
    stub_all = next(node for node in stub_tree().body
                    if isinstance(node, ast.Assign) and node.targets[0].id == "__all__")
    assert ast.literal_eval(stub_all.value) == quorvel_engine.__all__
    for cls in ("Engine", "HnswConfig"):
        runtime = public(dir(getattr(quorvel_engine, cls))) - public(dir(object))
        assert public(stub_class(cls)) - {"__init__"} == runtime, cls


def test_help_shows_signatures_and_documentation():
    text = pydoc.render_doc(quorvel_engine.Engine, renderer=pydoc.plaintext)
    assert "search(self, /, query, k=10, *, where=None, decay=None, now=None, filter_through_index=False)" in text
    assert "Stores many records in one transaction" in text
    assert str(inspect.signature(quorvel_engine.Engine)) == (
        "(path, *, metric='cosine', dimension=None, index=None, workers=None)")
    assert str(inspect.signature(quorvel_engine.HnswConfig)) == (
        "(m=16, ef_construction=200, ef_search=64, m_max=None, m_max0=None, ml=None, *, selection='closest', "
        "keep_pruned=False, seed=None, retire_deleted=False, retired_share=0.2, build_threads=1)")
    for name in ("insert", "insert_many", "get", "delete", "search", "search_many", "attach_index",
                 "compact_index", "detach_index", "close"):
        assert len(getattr(quorvel_engine.Engine, name).__doc__) > 20, name
    assert quorvel_engine.Hit.__doc__.startswith("Hit(id, score, metadata)")
    assert quorvel_engine.Record.__doc__.startswith("Record(id, vector, metadata, timestamp)")


def test_version_is_the_projects():
    pyproject = (SOURCE / "pyproject.toml").read_text()
    assert quorvel_engine.__version__ == re.search(r'^version = "(.+)"$', pyproject, re.M).group(1)
