"""decode_batch_json makes its str piece by piece while the workers decode:
the text is the same for every batch size and wherever non-ASCII results
fall, and a failure midway leaves nothing behind."""

import os

import pytest

import tamberok
from tamberok import _tamberok as m

from conftest import run_python

pytestmark = pytest.mark.usefixtures("real_data")

PACKAGE_PATH = os.path.dirname(os.path.dirname(tamberok.__file__))


@pytest.mark.parametrize("flat", [False, True])
def test_text_equals_the_single_texts_joined_for_every_batch_size(flat):
    vins = m.generate(4097, seed=14)
    texts = [m.decode_json(vin, flat=flat) for vin in vins]
    # 4,096 is where every piece reaches its largest size on eight workers.
    for n in (0, 1, 4, 5, 127, 128, 129, 1000, 4095, 4096, 4097):
        # Compared apart from the assert: a diff of texts this long takes ages.
        same = m.decode_batch_json(vins[:n], flat=flat) == "[" + ",".join(texts[:n]) + "]"
        assert same, n


# On two workers a batch of 1,100 VINs is cut into pieces of 128 results.
# Results holding one-, two- and four-byte characters sit at the first and
# last place of pieces, between pieces of plain ASCII.
EDGES = r"""
import os
os.environ["RAYON_NUM_THREADS"] = "2"
from tamberok import _tamberok as m
vins = m.generate(1100, seed=7)
odd = {127: "1HGCM82633A00435\u2013", 128: "ÄÖÜ1234567890ABCD", 256: "1HG\U0001d518CM82633A004",
       639: "é", 640: "\u20ac", 1023: "1HGCM82633A004352", 1024: "\U0001d518", 1099: "Ä"}
for at, vin in odd.items():
    vins[at] = vin
for flat in (False, True):
    text = m.decode_batch_json(vins, flat=flat)
    print(text == "[" + ",".join(m.decode_json(vin, flat=flat) for vin in vins) + "]")
"""


def test_non_ascii_results_at_the_edges_of_pieces_leave_the_text_identical():
    assert run_python(EDGES, PACKAGE_PATH) == "True\nTrue\n"


# The address space is capped a little above what the process uses, so that
# the batch runs out of memory partway: after part of its text was made. The
# text needs some 100 MB; only a small batch runs before the cap (the pool
# and its workers' state), so that no large block it freed can hold it.
FAILURE = r"""
import resource, tracemalloc
from tamberok import _tamberok as m

def address_space():
    with open("/proc/self/status", encoding="ascii") as f:
        return int(next(line for line in f if line.startswith("VmSize:")).split()[1]) * 1024

vins = m.generate(20000, seed=3)
m.decode_batch_json(vins[:3000])
tracemalloc.start()
before = tracemalloc.get_traced_memory()[0]
soft, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (address_space() + 48 * 2**20, hard))
try:
    m.decode_batch_json(vins)
    print("no exception")
except BaseException as error:
    print(type(error).__module__, type(error).__name__, error)
resource.setrlimit(resource.RLIMIT_AS, (soft, hard))
current, peak = tracemalloc.get_traced_memory()
tracemalloc.stop()
print("pieces made", peak - before > 2**20, "pieces freed", current - before < 2**20)
expected = "[" + ",".join(m.decode_json(vin) for vin in vins) + "]"
print("works after", m.decode_batch_json(vins) == expected)
"""


def test_running_out_of_memory_midway_raises_frees_every_piece_and_the_module_goes_on():
    out = run_python(FAILURE, PACKAGE_PATH).splitlines()
    assert out[0] in ("pyo3_runtime PanicException memory allocation failed",
                      "pyo3_runtime PanicException Python API call failed")
    assert out[1:] == ["pieces made True pieces freed True", "works after True"]
