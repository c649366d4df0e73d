"""Shared fixtures of the module tests.

The module under test is the package on PYTHONPATH (build/pkg). Tests that
need the real vehicle data skip on a build that embeds the EMPTY placeholder,
unless TAMBEROK_REQUIRE_DATA=1, which turns the skip into a failure.
TAMBEROK_EMPTY_PKG names the package directory of the placeholder build.
"""

import os
import subprocess
import sys
import tempfile

import pytest
from hypothesis.configuration import set_hypothesis_home_dir

import tamberok

# Keep hypothesis's caches out of the work tree.
set_hypothesis_home_dir(os.path.join(tempfile.gettempdir(), "tamberok-hypothesis"))

EMPTY_MESSAGE = (
    "tamberok: this binary embeds the EMPTY placeholder artifact (data/vpic.rkyv was absent at "
    "build time), so every decode would be wrong. Get real data: `make download && make data` "
    "(runs tamberok-import), download vpic.rkyv from a GitHub release of this repo, or install "
    "the prebuilt wheel from PyPI."
)


def _has_data():
    try:
        tamberok.multi_valued()
    except BaseException as error:  # PanicException derives from BaseException
        if type(error).__name__ == "PanicException" and str(error) == EMPTY_MESSAGE:
            return False
        raise
    return True


HAS_DATA = _has_data()


@pytest.fixture
def real_data():
    """Skips (or fails, when data is required) on a placeholder build."""
    if not HAS_DATA:
        if os.environ.get("TAMBEROK_REQUIRE_DATA") == "1":
            pytest.fail("the module embeds the EMPTY placeholder but TAMBEROK_REQUIRE_DATA=1")
        pytest.skip("the module embeds the EMPTY placeholder artifact")


# For code run in a child interpreter: c_heap(), the bytes the C heap holds
# after a collection (glibc's mallinfo2: in-use chunks and mapped blocks),
# which, unlike the resident size, the heap's own caching does not change.
C_HEAP = """
import ctypes, gc
class MallInfo2(ctypes.Structure):
    _fields_ = [(name, ctypes.c_size_t) for name in
                ("arena", "ordblks", "smblks", "hblks", "hblkhd", "usmblks", "fsmblks",
                 "uordblks", "fordblks", "keepcost")]
libc = ctypes.CDLL(None)
libc.mallinfo2.restype = MallInfo2
def c_heap():
    gc.collect()
    info = libc.mallinfo2()
    return info.uordblks + info.hblkhd
"""


def run_python(code, pythonpath):
    """Runs `code` in a fresh interpreter with `pythonpath`; returns stdout."""
    env = dict(os.environ, PYTHONPATH=pythonpath)
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True,
                          text=True, timeout=300)
    assert done.returncode == 0, done.stderr
    return done.stdout


@pytest.fixture(scope="session")
def empty_pkg():
    """The package directory of the build that embeds the EMPTY placeholder."""
    path = os.environ.get("TAMBEROK_EMPTY_PKG")
    if not path or not os.path.isdir(os.path.join(path, "tamberok")):
        pytest.skip("TAMBEROK_EMPTY_PKG does not name the placeholder build")
    return path


# A mix of good, odd and broken VINs: every one of them decodes to a result.
MIXED_VINS = [
    "1HGCM82633A004352", "5YJ3E1EA7KF317000", "JH4KA7561PC008269", "1hgcm82633a004352",
    "  1HGCM82633A004352\t", "1HGCM82633A00435", "1HGCM82633A0043521234", "", "X", "1HG",
    "WVWZZZ1JZXW000001", "1M8GDM9AXKP042788", "ÄÖÜ1234567890ABCD", 'AB"\\CDEFGHJKLMNPR',
    "IOQIOQIOQIOQIOQIO", "1HGCM82633A004352",
]
