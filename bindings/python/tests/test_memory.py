"""Memory exhaustion inside a call becomes MemoryError, not a crash."""

import os

import pytest

from conftest import run_python

# AddressSanitizer ends the process when operator new finds no memory, rather
# than throwing std::bad_alloc, so a module built with it cannot show this.
UNDER_ADDRESS_SANITIZER = "libasan" in os.environ.get("LD_PRELOAD", "")

# Converts a vector that grows until the address-space limit stops it: the
# engine side runs out of memory while the interpreter itself still has room.
EXHAUST = r"""
import itertools, resource, sys, quorvel

db = quorvel.Quorvel(sys.argv[1])
db.insert("a", [1.0])

class Endless:
    def __len__(self):
        return 0
    def __getitem__(self, index):
        return 1.0
    def __iter__(self):
        return itertools.repeat(1.0, 1 << 30)

with open("/proc/self/status") as status:
    size = next(int(line.split()[1]) * 1024 for line in status if line.startswith("VmSize:"))
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (size + (256 << 20), hard))
try:
    db.insert("b", Endless())
    print("stored")
except MemoryError:
    print("MemoryError")
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
db.insert("c", [1.0])
print(db.get_all())
"""


@pytest.mark.skipif(UNDER_ADDRESS_SANITIZER, reason="AddressSanitizer does not throw std::bad_alloc")
def test_memory_exhaustion_raises_memory_error_and_leaves_the_instance_usable(tmp_path):
    result = run_python(EXHAUST, str(tmp_path / "memory.db"))
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError", "[('a', None), ('c', None)]"]
