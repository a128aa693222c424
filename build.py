"""`python3 -m build`, run from the repository root, comes here first.

When this interpreter can build quorvel's packages, the command goes on to
the `build` package (the Python package builder) as if this file were not
here. When it cannot, the command stops with a message that names an
interpreter of this machine that can, instead of the error an interpreter
without `build` gives here ("No module named build.__main__": it takes the
CMake build folder build/ for the package).

Building needs the `build` package, and with --no-isolation (no network)
setuptools 61 or later and wheel in the same interpreter.
"""

import os
import re
import runpy
import subprocess
import sys
from pathlib import Path

ROOT = Path(__file__).resolve().parent
# --no-isolation, alone or among other one-letter flags of build's (-wn).
NO_ISOLATION = re.compile(r"--no-isolation|-[swxhV]*n[swxhV]*")
# Checks an interpreter, in isolated mode from the root folder, so that
# neither this file nor build/ stands in for a package.
PROBE = ("import importlib.util as u, sys\n"
         "missing = [n for n in sys.argv[1:] if u.find_spec(n) is None]\n"
         "if 'setuptools' not in missing:\n"
         "    import setuptools\n"
         "    if int(setuptools.__version__.split('.')[0]) < 61: missing.append('setuptools>=61')\n"
         "print(' '.join(missing))\n")


def needed(arguments):
    """The packages the builder needs in this interpreter for `arguments`."""
    isolated = not any(NO_ISOLATION.fullmatch(argument) for argument in arguments)
    return ["build"] if isolated else ["build", "setuptools", "wheel"]


def missing_in(python, packages):
    """The packages that `python` lacks, or None when it cannot be run."""
    try:
        result = subprocess.run([python, "-I", "-c", PROBE, *packages], cwd="/", capture_output=True, text=True,
                                timeout=60)
    except OSError:
        return None
    return result.stdout.split() if result.returncode == 0 else None


def interpreters():
    """Debian's python3, then every python3 on PATH."""
    found = []
    on_path = [str(Path(directory) / "python3") for directory in os.environ.get("PATH", "").split(os.pathsep) if directory]
    for candidate in ["/usr/bin/python3", *on_path]:
        if Path(candidate).is_file() and candidate not in found:
            found.append(candidate)
    return found


def main():
    arguments = sys.argv[1:]
    packages = needed(arguments)
    missing = missing_in(sys.executable, packages)
    if missing == []:
        sys.path[:] = [entry for entry in sys.path if Path(entry or ".").resolve() != ROOT]
        runpy.run_module("build", run_name="__main__", alter_sys=True)
        return
    lacking = missing or packages
    listed = lacking[0] if len(lacking) == 1 else ", ".join(lacking[:-1]) + " and " + lacking[-1]
    able = next((python for python in interpreters() if missing_in(python, packages) == []), None)
    if able:
        advice = f"Use {able}, which has what it needs: {able} -m build {' '.join(arguments)}".rstrip()
    else:
        advice = ("No python3 here has what it needs: install Debian's python3-build, python3-setuptools and "
                  "python3-wheel (scripts/install-deps does).")
    package_word = "package" if len(lacking) == 1 else "packages"
    sys.exit(f"quorvel: {sys.executable} cannot build quorvel: it lacks the {package_word} {listed}. {advice}")


if __name__ == "__main__":
    main()
