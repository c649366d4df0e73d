"""The build that embeds the EMPTY placeholder: it imports, checks arguments
as usual, and every call that needs data raises pyo3_runtime.PanicException,
a BaseException that `except Exception` does not catch."""

import json
import os

import pytest

from conftest import EMPTY_MESSAGE, run_python

CALLS = {
    "decode": "m.decode('1HGCM82633A004352')",
    "decode flat": "m.decode('1HGCM82633A004352', flat=True)",
    "decode_json": "m.decode_json('')",
    "decode_batch empty": "m.decode_batch([])",
    "decode_batch": "m.decode_batch(['1HGCM82633A004352'], flat=True)",
    "decode_batch_json empty": "m.decode_batch_json([])",
    "elements": "m.elements()",
    "multi_valued": "m.multi_valued()",
    "generate": "m.generate(0)",
    "sweep": "m.sweep([])",
    "cover_vins": "m.cover_vins()",
    "pairwise": "m.pairwise(limit=1)",
    "seeded": "m.seeded()",
    "argument error first": "m.decode_batch('x')",
    "value error first": "m.generate(10**7 + 1)",
    "unknown dimension first": "m.sweep(['bogus'])",
}

SCRIPT = """
import json
import os
from tamberok import _tamberok as m
outcomes = {}
for name, call in CALLS.items():
    try:
        try:
            eval(call)
            outcomes[name] = None
        except Exception as error:
            outcomes[name] = ["Exception", type(error).__name__, str(error)]
    except BaseException as error:
        kind = type(error)
        outcomes[name] = [kind.__module__ + "." + kind.__name__,
                          [c.__name__ for c in kind.__mro__], str(error)]
print(json.dumps(outcomes))
"""


@pytest.fixture(scope="module")
def outcomes(empty_pkg):
    return json.loads(run_python(f"CALLS = {CALLS!r}\n{SCRIPT}", empty_pkg))


PANICKING = [name for name in CALLS if "first" not in name]


@pytest.mark.parametrize("name", PANICKING)
def test_call_needing_data_raises_panic_exception_past_except_exception(outcomes, name):
    assert outcomes[name] == [
        "pyo3_runtime.PanicException",
        ["PanicException", "BaseException", "object"],
        EMPTY_MESSAGE,
    ]


@pytest.mark.parametrize("name,kind,message", [
    ("argument error first", "TypeError", "Can't extract `str` to `Vec`"),
    ("value error first", "ValueError",
     "n=10000001 is too large; generate at most 10000000 VINs per call"),
    ("unknown dimension first", "ValueError", "unknown dimension: bogus"),
])
def test_argument_checks_run_before_the_data_check(outcomes, name, kind, message):
    assert outcomes[name] == ["Exception", kind, message]


OUT_OF_MEMORY = """
import resource
from tamberok import _tamberok as m
vins = m.generate(100_000, seed=1)
m.decode_batch(vins[:5000], flat=True)
with open("/proc/self/statm") as statm:
    mapped = int(statm.read().split()[0]) * 4096
# A small part of what either batch needs: the flat dicts fit in 100 to 150 MB
# more, the nested text needs half a gigabyte. The smaller need comes first, so
# that what one call leaves mapped after failing cannot make room for the other.
resource.setrlimit(resource.RLIMIT_AS, (mapped + 32 * 2**20, resource.RLIM_INFINITY))
for call in (lambda: m.decode_batch(vins, flat=True), lambda: m.decode_batch_json(vins)):
    try:
        call()
        print("no failure")
    except BaseException as error:
        print(type(error).__name__, error)
resource.setrlimit(resource.RLIMIT_AS, (resource.RLIM_INFINITY, resource.RLIM_INFINITY))
print(m.decode_batch(vins[:2]) == [m.decode(vins[0]), m.decode(vins[1])])
"""


def test_running_out_of_memory_raises_panic_exception_and_the_process_goes_on(real_data):
    import tamberok
    out = run_python(OUT_OF_MEMORY, os.path.dirname(os.path.dirname(tamberok.__file__)))
    *failures, after = out.splitlines()
    assert after == "True"
    assert failures and all(
        line in ("PanicException memory allocation failed",
                 "PanicException Python API call failed") or line.startswith("MemoryError")
        for line in failures), failures
