"""The manylinux platform tag that shared objects honestly earn.

A manylinux_2_X wheel promises to load on any Linux with glibc 2.X or newer
and the C++ runtime that such systems ship. The promise is about symbol
versions: every version an object needs from the C runtime (GLIBC_*), the C++
runtime (GLIBCXX_*, CXXABI_*) and the compiler runtime (GCC_*) must be one the
manylinux_2_X policy allows. The C++ runtime moves faster than glibc, so the
glibc baseline alone is not enough: a module built by GCC 12 needs
GLIBCXX_3.4.30, which no system of the glibc 2.34 generation is promised to
have, so such a module is manylinux_2_35 even if it needs nothing newer than
GLIBC_2.34. The tag is the lowest policy that allows every needed version.
"""

import os
import re
import subprocess

# The newest version of each runtime that the x86_64 manylinux policies allow
# (auditwheel's manylinux-policy.json); each policy also allows every older one.
# A policy's newest GLIBC is its own glibc, since manylinux_2_X promises glibc
# 2.X: auditwheel's x86_64 lists name only the versions glibc defined there, and
# they skip 2.37 (as they skip 2.19 to 2.21), so its manylinux_2_37 list ends at
# 2.36 although a glibc 2.37 system has everything 2.37 defines.
X86_64_POLICIES = [
    # glibc   GLIBC        GLIBCXX        CXXABI         GCC
    (5,  {"GLIBC": (2, 5),  "GLIBCXX": (3, 4, 8),  "CXXABI": (1, 3, 1),  "GCC": (4, 2, 0)}),
    (12, {"GLIBC": (2, 12), "GLIBCXX": (3, 4, 13), "CXXABI": (1, 3, 3),  "GCC": (4, 3, 0)}),
    (17, {"GLIBC": (2, 17), "GLIBCXX": (3, 4, 19), "CXXABI": (1, 3, 7),  "GCC": (4, 8, 0)}),
    (24, {"GLIBC": (2, 24), "GLIBCXX": (3, 4, 22), "CXXABI": (1, 3, 10), "GCC": (4, 8, 0)}),
    (26, {"GLIBC": (2, 26), "GLIBCXX": (3, 4, 22), "CXXABI": (1, 3, 10), "GCC": (4, 8, 0)}),
    (27, {"GLIBC": (2, 27), "GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}),
    (28, {"GLIBC": (2, 28), "GLIBCXX": (3, 4, 24), "CXXABI": (1, 3, 11), "GCC": (7, 0, 0)}),
    (31, {"GLIBC": (2, 31), "GLIBCXX": (3, 4, 28), "CXXABI": (1, 3, 12), "GCC": (7, 0, 0)}),
    (34, {"GLIBC": (2, 34), "GLIBCXX": (3, 4, 29), "CXXABI": (1, 3, 13), "GCC": (7, 0, 0)}),
    (35, {"GLIBC": (2, 35), "GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (12, 0, 0)}),
    (36, {"GLIBC": (2, 36), "GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (12, 0, 0)}),
    (37, {"GLIBC": (2, 37), "GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (12, 0, 0)}),
    (38, {"GLIBC": (2, 38), "GLIBCXX": (3, 4, 30), "CXXABI": (1, 3, 13), "GCC": (12, 0, 0)}),
    (39, {"GLIBC": (2, 39), "GLIBCXX": (3, 4, 33), "CXXABI": (1, 3, 15), "GCC": (14, 0, 0)}),
    (40, {"GLIBC": (2, 40), "GLIBCXX": (3, 4, 33), "CXXABI": (1, 3, 15), "GCC": (14, 0, 0)}),
]

# Versions named rather than numbered, and the first policy that allows them.
X86_64_NAMED_VERSIONS = {"CXXABI_TM_1": 17, "CXXABI_FLOAT128": 24, "GLIBC_ABI_DT_RELR": 36}

NUMBERED_VERSION = re.compile(r"([A-Z]+)_([0-9]+(?:\.[0-9]+)*)")


def policy_allows(policy, glibc_minor, version):
    """Whether the policy of manylinux_2_<glibc_minor> allows a needed version."""
    if version in X86_64_NAMED_VERSIONS:
        return X86_64_NAMED_VERSIONS[version] <= glibc_minor
    numbered = NUMBERED_VERSION.fullmatch(version)
    if numbered is None or numbered.group(1) not in policy:
        return False
    return tuple(int(part) for part in numbered.group(2).split(".")) <= policy[numbered.group(1)]


def lowest_policy(versions):
    """The glibc minor version X of the lowest manylinux_2_X policy that allows
    every needed version, or None when no policy does."""
    for glibc_minor, policy in X86_64_POLICIES:
        if all(policy_allows(policy, glibc_minor, version) for version in versions):
            return glibc_minor
    return None


def needed_versions(path):
    """The symbol versions the object at `path` needs: {library soname: {version}},
    from its version-needs section (`readelf -V`)."""
    out = subprocess.run(["readelf", "-V", "-W", path], capture_output=True, text=True,
                         check=True).stdout
    needs = {}
    section = ""
    library = None
    for line in out.splitlines():
        if line.startswith("Version "):
            section = line
            continue
        if not section.startswith("Version needs"):
            continue
        if match := re.search(r"File: (\S+)", line):
            library = match.group(1)
            needs.setdefault(library, set())
        elif match := re.search(r"Name: (\S+)", line):
            needs[library].add(match.group(1))
    return needs


def platform_tag(paths, arch):
    """The platform tag of a wheel whose shared objects are `paths`. Versions one
    of them needs from another of them are the wheel's own business."""
    if arch != "x86_64":
        return f"linux_{arch}"
    own = {os.path.basename(path) for path in paths}
    versions = set()
    for path in paths:
        for library, names in needed_versions(path).items():
            if library not in own:
                versions |= names
    glibc_minor = lowest_policy(versions)
    if glibc_minor is None:
        newest, policy = X86_64_POLICIES[-1]
        beyond = sorted(v for v in versions if not policy_allows(policy, newest, v))
        raise ValueError(f"no manylinux policy allows the symbol versions {', '.join(beyond)}")
    return f"manylinux_2_{glibc_minor}_{arch}"
