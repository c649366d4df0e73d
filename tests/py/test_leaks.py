"""No reference leaks: repeated calls, failing ones included, leave the
number of live Python objects and the resident memory where they were."""

import gc
import sys

import pytest

from tamberok import _tamberok as m

pytestmark = pytest.mark.usefixtures("real_data")

VINS = ["1HGCM82633A004352", "5YJ3E1EA7KF317000", "JH4KA7561PC008269", "", "1HG"]


def swallow(call):
    try:
        call()
    except BaseException:
        pass


CALLS = [
    ("decode", lambda i: m.decode(VINS[i % 5])),
    ("decode flat", lambda i: m.decode(VINS[i % 5], flat=True)),
    ("decode_json", lambda i: m.decode_json(VINS[i % 5], flat=i % 2 == 0)),
    ("decode_batch", lambda i: m.decode_batch(VINS, flat=i % 2 == 0)),
    ("decode_batch_json", lambda i: m.decode_batch_json(VINS, flat=i % 2 == 0)),
    ("elements", lambda i: m.elements()),
    ("multi_valued", lambda i: m.multi_valued()),
    ("generate", lambda i: m.generate(20, seed=i, wmi="1hg")),
    ("binding error", lambda i: swallow(lambda: m.decode(VINS[0], vin=VINS[0]))),
    ("conversion error", lambda i: swallow(lambda: m.decode_batch(["ok", 5]))),
    ("overflow error", lambda i: swallow(lambda: m.generate(5, year=2**40))),
    ("value error", lambda i: swallow(lambda: m.sweep(["wmi", "nope"]))),
]


def live_blocks_after(call, times):
    for i in range(100):
        call(i)
    gc.collect()
    before = sys.getallocatedblocks()
    for i in range(times):
        call(i)
    gc.collect()
    return sys.getallocatedblocks() - before


@pytest.mark.parametrize("name,call", CALLS, ids=[c[0] for c in CALLS])
def test_repeated_calls_leave_no_objects_behind(name, call):
    # A leak of one object per call would show as 2000 blocks in every round;
    # the interpreter's own caches and free lists settle after a round or two,
    # so the smallest growth of three rounds is the one that tells.
    grown = min(live_blocks_after(call, 2000) for _ in range(3))
    assert grown < 100, grown


def resident_bytes():
    with open("/proc/self/statm") as statm:
        return int(statm.read().split()[1]) * 4096


def test_resident_memory_stays_flat_over_a_hundred_thousand_decodes():
    for vin in VINS * 200:
        m.decode(vin)
        m.decode_batch([vin])
    before = resident_bytes()
    for i in range(100_000):
        m.decode(VINS[i % 5])
    for i in range(10_000):
        m.decode_batch(VINS[i % 5:])
    # A leaked result dict per call would be gigabytes; allocator noise is a
    # few megabytes at most.
    assert resident_bytes() - before < 32 * 2**20
