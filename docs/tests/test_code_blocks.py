"""Every fenced code block of the README (and of any other Markdown file that
says `<!-- every code block here is run by make test -->`) is run or
compiled, so that none can drift from what the project does.

The blocks of one document run in order, in one temporary folder, as a
reader following along would run them. By the block's language:

  python  run on this interpreter with the built modules and the pure-Python
          package from python/; where a comment
          shows the value of an expression (`db.get("x")  # '{"a":1}'`, or
          a comment line just below it), the value's repr must match it,
          `...` standing for any text
  sh      run with bash -e; `build` names the built tree and /opt/quorvel a
          temporary install of it, which the runner makes first; the built
          program `quorvel` comes first on PATH
  cpp     a whole program, compiled against that install (pkg-config) and
          run; it must exit with 0
  sql     run on an empty database: the schema it makes must be the one
          that the module gives a new file
  text    not code

A comment line just before the opening fence changes that:
  <!-- file: NAME -->       the block is written to NAME in the folder, for
                            a later block to use, and not run itself
  <!-- not run: REASON -->  the block is not run, for the reason given
A shell block that installs packages or runs make must say why it is not
run. CTest sets QUORVEL_BUILD_DIR, QUORVEL_CMAKE and QUORVEL_CXX.
"""

import ast
import io
import json
import os
import re
import sqlite3
import subprocess
import sys
import tokenize
from pathlib import Path

import pytest

SOURCE_DIR = Path(__file__).resolve().parents[2]
BUILD_DIR = Path(os.environ["QUORVEL_BUILD_DIR"]).resolve()
CMAKE = os.environ["QUORVEL_CMAKE"]
CXX = os.environ["QUORVEL_CXX"]

RUN_MARK = "<!-- every code block here is run by make test -->"
# The install prefix that the documents name; a temporary one stands in.
DOCUMENTED_PREFIX = "/opt/quorvel"
# What a shell block may not do without saying why it is not run.
NOT_WITHOUT_REASON = re.compile(r"\b(apt-get|apt|pip3? install|make|sudo)\b")
FENCE = re.compile(r"^```(\S*)\s*$")
MARK = re.compile(r"^<!--\s*(file|not run):\s*(.+?)\s*-->$")


def documents():
    found = [SOURCE_DIR / "README.md"]
    for path in sorted(SOURCE_DIR.rglob("*.md")):
        relative = path.relative_to(SOURCE_DIR).parts
        if path in found or any(part.startswith(("build", ".")) or part == "node_modules" for part in relative):
            continue
        if RUN_MARK in path.read_text(encoding="utf-8"):
            found.append(path)
    return found


def blocks_of(path):
    """(first line number, language, mark, text) of each fenced block."""
    lines = path.read_text(encoding="utf-8").splitlines()
    blocks = []
    i = 0
    while i < len(lines):
        opening = FENCE.match(lines[i])
        if not opening:
            i += 1
            continue
        mark = MARK.match(lines[i - 1].strip()) if i > 0 else None
        end = next((j for j in range(i + 1, len(lines)) if lines[j].strip() == "```"), None)
        assert end is not None, f"{path.name}:{i + 1}: the block is not closed"
        blocks.append((i + 1, opening.group(1), mark.groups() if mark else None, "\n".join(lines[i + 1:end]) + "\n"))
        i = end + 1
    return blocks


# --- Python blocks -----------------------------------------------------------

SHOWN_VALUE = re.compile(r"""^(\[|\(|\{|'|"|-?\d|None\b|True\b|False\b)""")


def shown_values(source):
    """{line of an expression statement: the value its comment shows}."""
    comments = {}
    for token in tokenize.generate_tokens(io.StringIO(source).readline):
        if token.type == tokenize.COMMENT:
            comments[token.start[0]] = token.string[1:].strip()
    statements = ast.parse(source).body
    starts = [statement.lineno for statement in statements] + [len(source.splitlines()) + 1]
    shown = {}
    for statement, next_start in zip(statements, starts[1:]):
        if not isinstance(statement, ast.Expr):
            continue
        candidates = [statement.end_lineno, statement.end_lineno + 1]
        text = next((comments[line] for line in candidates if line < next_start and line in comments), None)
        if text is not None and SHOWN_VALUE.match(text):
            shown[statement.lineno] = text
    return shown


# Runs a block statement by statement and compares each shown value.
PYTHON_DRIVER = r"""
import ast, json, re, sys
source, shown = open(sys.argv[1]).read(), {int(k): v for k, v in json.loads(sys.argv[2]).items()}
names = {"__name__": "__main__"}
for statement in ast.parse(source).body:
    if statement.lineno in shown:
        value = eval(compile(ast.Expression(statement.value), "block", "eval"), names)
        pattern = ".*?".join(map(re.escape, shown[statement.lineno].split("...")))
        if not re.fullmatch(pattern, repr(value)):
            sys.exit(f"line {statement.lineno}: shows {shown[statement.lineno]}, but the value is {value!r}")
    else:
        exec(compile(ast.Module([statement], []), "block", "exec"), names)
"""


def module_dirs():
    """Every folder of the built tree that holds a Python extension module."""
    return sorted({str(path.parent) for path in BUILD_DIR.rglob("*.abi3.so") if "setuptools" not in path.parts})


def run_python(text, folder, environment):
    script = folder / "block.py"
    script.write_text(text)
    env = dict(environment, PYTHONPATH=os.pathsep.join(module_dirs() + [str(SOURCE_DIR / "python")]),
               PYTHONDONTWRITEBYTECODE="1")
    result = subprocess.run([sys.executable, "-c", PYTHON_DRIVER, script, json.dumps(shown_values(text))],
                            cwd=folder, env=env, capture_output=True, text=True, timeout=300)
    script.unlink()
    return result


# --- The other languages -----------------------------------------------------

def run_shell(text, folder, environment):
    return subprocess.run(["bash", "-e", "-c", text.replace(DOCUMENTED_PREFIX, str(folder / "prefix"))],
                          cwd=folder, env=environment, capture_output=True, text=True, timeout=600)


def run_cpp(text, folder, environment):
    source = folder / "block.cc"
    source.write_text(text)
    flags = subprocess.run(["pkg-config", "--cflags", "--libs", "quorvel"], env=environment, capture_output=True,
                           text=True, check=True).stdout.split()
    result = subprocess.run([CXX, "-std=c++23", str(source), "-o", str(folder / "block"), *flags],
                            capture_output=True, text=True, timeout=600)
    if result.returncode == 0:
        result = subprocess.run([str(folder / "block")], cwd=folder, env=environment, capture_output=True, text=True,
                                timeout=300)
    source.unlink()
    return result


def schema(connection):
    return connection.execute("SELECT type, name, tbl_name, sql FROM sqlite_master ORDER BY name").fetchall()


def check_sql(text, folder, environment):
    documented = sqlite3.connect(":memory:")
    documented.executescript(text)
    made = folder / "made-by-the-module.db"
    code = f"import quorvel; quorvel.Quorvel({str(made)!r})"
    created = subprocess.run([sys.executable, "-c", code], env=dict(environment, PYTHONPATH=os.pathsep.join(module_dirs())),
                             capture_output=True, text=True, timeout=60)
    assert created.returncode == 0, created.stderr
    with sqlite3.connect(made) as connection:
        assert schema(documented) == schema(connection)
    connection.close()
    for leftover in folder.glob(made.name + "*"):
        leftover.unlink()
    return None


RUNNERS = {"python": run_python, "sh": run_shell, "cpp": run_cpp, "sql": check_sql}


ALL_BLOCKS = [(path, block) for path in documents() for block in blocks_of(path)]


def test_every_block_has_a_rule():
    for path, (line, language, mark, text) in ALL_BLOCKS:
        where = f"{path.name}:{line}"
        if mark and mark[0] == "not run":
            assert len(mark[1]) > 10, f"{where}: say why the block is not run"
            continue
        if mark:
            continue
        assert language in RUNNERS or language == "text", f"{where}: no rule runs a block of '{language}'"
        if language == "sh":
            commands = "\n".join(re.sub(r"(^|\s)#.*", "", line) for line in text.splitlines())
            assert not NOT_WITHOUT_REASON.search(commands), f"{where}: this block installs or builds; say why it is not run"


@pytest.fixture
def environment(tmp_path):
    """The folder the blocks of a document run in, with the built tree
    installed where the documents install it, and the environment that
    finds it."""
    folder = tmp_path
    (folder / "build").symlink_to(BUILD_DIR)
    subprocess.run([CMAKE, "--install", str(BUILD_DIR), "--prefix", str(folder / "prefix")], check=True,
                   capture_output=True)
    (pc_file,) = (folder / "prefix").rglob("quorvel.pc")
    env = dict(os.environ, PKG_CONFIG_PATH=str(pc_file.parent),
               PATH=os.pathsep.join([str(BUILD_DIR / "tools" / "quorvel"), os.environ.get("PATH", "")]))
    return folder, env


@pytest.mark.parametrize("document", documents(), ids=lambda path: path.name)
def test_blocks_run_in_order(document, environment):
    folder, env = environment
    for line, language, mark, text in blocks_of(document):
        if mark and mark[0] == "not run":
            continue
        if mark:
            (folder / mark[1]).write_text(text)
            continue
        if language not in RUNNERS:
            continue
        result = RUNNERS[language](text, folder, env)
        if result is not None:
            assert result.returncode == 0, (f"{document.name}:{line} ({language}) failed:\n{text}\n"
                                            f"{result.stdout}\n{result.stderr}")
