"""The manylinux platform tag that the wheel's binaries may carry.

A wheel tagged manylinux_2_X promises to load on every Linux system whose
glibc is 2.X or later. The binaries' versioned symbols say what they need:
the newest GLIBC_ version decides X, and the versions they need of the C++
runtime (GLIBCXX_ and CXXABI_ of libstdc++, GCC_ of libgcc_s) must be ones
that the policy's reference distribution ships, as the manylinux policies
check them.
"""

import re
import subprocess

# For each policy, the newest version of each C++ runtime symbol set that
# its reference distribution's runtime provides.
POLICIES = {
    17: {"GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7), "GCC": (4, 8, 0)},    # CentOS 7, GCC 4.8
    28: {"GLIBCXX": (3, 4, 25), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)},   # AlmaLinux 8, GCC 8
    31: {"GLIBCXX": (3, 4, 28), "CXXABI": (1, 3, 12), "GCC": (7, 0, 0)},   # Ubuntu 20.04, GCC 10
    34: {"GLIBCXX": (3, 4, 29), "CXXABI": (1, 3, 13), "GCC": (7, 0, 0)},   # AlmaLinux 9, GCC 11
    35: {"GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (12, 0, 0)},  # Ubuntu 22.04, GCC 12
}

VERSIONED = re.compile(r"Name: (GLIBC|GLIBCXX|CXXABI|GCC)_([0-9.]+)")


def needed_versions(path):
    """{symbol set: every version of it that the ELF file at `path` needs}."""
    listing = subprocess.run(["readelf", "--version-info", "--wide", str(path)], capture_output=True, text=True,
                             check=True).stdout
    # Only the needed versions (.gnu.version_r), not the ones a library defines.
    needed_part = listing.partition("Version needs section")[2]
    needed = {}
    for name, version in VERSIONED.findall(needed_part):
        needed.setdefault(name, set()).add(tuple(int(part) for part in version.split(".")))
    return needed


def platform_tag(paths, machine):
    """The manylinux_2_X_<machine> tag of binaries at `paths`; ValueError
    when one needs a C++ runtime newer than the policy allows."""
    needed = {}
    for path in paths:
        for name, versions in needed_versions(path).items():
            needed.setdefault(name, set()).update(versions)
    glibc = max(needed.get("GLIBC", {(2, 17)}))
    minor = max(glibc[1], 17)
    # A policy between the listed ones gets the limits of the one below it,
    # which are never more generous.
    limits = POLICIES[max(key for key in POLICIES if key <= minor)]
    for name, newest in limits.items():
        beyond = sorted(version for version in needed.get(name, ()) if version > newest)
        if beyond:
            shown = ".".join(map(str, beyond[-1]))
            raise ValueError(f"{name}_{shown} is newer than manylinux_2_{minor} allows")
    return f"manylinux_2_{minor}_{machine}"
