#!python
"""Runs the quorvel program that the quorvel package carries.

pip installs this file as `quorvel` into the environment's bin/ and points
its first line at the environment's interpreter. The program lives in the
package's bin/ directory, beside the oneTBB library it loads, so it is
looked up where `import quorvel` looks: along sys.path.
"""

import os
import sys


def main():
    for entry in sys.path:
        program = os.path.join(entry or os.curdir, "quorvel", "bin", "quorvel")
        if os.access(program, os.X_OK):
            os.execv(program, [sys.argv[0]] + sys.argv[1:])
    sys.stderr.write("quorvel: no installed quorvel package holds the program (bin/quorvel); reinstall quorvel\n")
    return 1


if __name__ == "__main__":
    sys.exit(main())
