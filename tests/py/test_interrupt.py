"""A signal that arrives while a batch runs is answered between its pieces,
not once the whole batch is done: its handler's exception (KeyboardInterrupt
for Ctrl-C) comes out of the call, what the call made is given back, and the
next call gives the same results as before; a handler that returns lets the
batch finish. Each case runs in a process of its own, which sends itself
SIGINT."""

import json
import os

import pytest

import tamberok
from conftest import C_HEAP, run_python

PACKAGE_PATH = os.path.dirname(os.path.dirname(tamberok.__file__))

pytestmark = pytest.mark.usefixtures("real_data")

# A thread polls the bytes Python has allocated (it gets the lock only
# between the pieces of the batch, or once the call is over) and sends SIGINT
# once the batch has made 10 MB. The handler notes the bytes when it runs:
# between pieces that is what there was when the signal went out; once the
# call is over it is the whole result. The batch is a few VINs over and over.
#
# The sender keeps the lock from its reading to its kill. Otherwise a caller
# that has waited the switch interval for the lock (5 ms: the sender only
# needs to be descheduled, as on a busy two-core machine) takes it in
# between and converts every piece ready meanwhile, megabytes the measure
# then counts against the batch. With an interval far longer than any case,
# a thread gives the lock up only where it blocks: the sender in time.sleep,
# the caller while its workers decode. So however fast, busy or wide the
# machine, no piece is converted between the reading and the kill, and the
# handler runs before the next one.
PRELUDE = r"""
import ctypes, gc, json, os, signal, sys, threading, time, tracemalloc
from tamberok import _tamberok as m

sys.setswitchinterval(1000)

calls = {
    "decode_batch": lambda vins: m.decode_batch(vins),
    "decode_batch flat": lambda vins: m.decode_batch(vins, flat=True),
    "decode_batch_json": lambda vins: m.decode_batch_json(vins),
    "decode_batch_json flat": lambda vins: m.decode_batch_json(vins, flat=True),
}
call = calls[CALL]
few = m.generate(40, seed=21) + ["", "1HG", "1HGCM82633A004352XX"]
out = {}

def send_once_made(before, over):
    while not over.is_set():
        now = tracemalloc.get_traced_memory()[0]
        if now - before >= 10 * 2**20:
            out["sent"] = now
            os.kill(os.getpid(), signal.SIGINT)
            return
        time.sleep(0.001)

def call_sending_sigint(vins):
    before = tracemalloc.get_traced_memory()[0]
    over = threading.Event()
    sender = threading.Thread(target=send_once_made, args=(before, over))
    sender.start()
    try:
        return call(vins)
    finally:
        over.set()
        sender.join()

MB = 2**20
"""

# The batch (100,000 VINs) makes 100 MB or more; it is decoded twice in part
# beforehand, so that the workers' caches and per-thread state are made
# before the C heap is measured.
INTERRUPTED = PRELUDE + C_HEAP + r"""

class Stop(Exception):
    pass

vins = (few * 2400)[:100_000]
expected = call(few * 50)
call(vins[:20_000])
call(vins[:20_000])

def handler(signum, frame):
    out["handler"] = tracemalloc.get_traced_memory()[0]
    if HANDLER == "calls the module":
        out["inner call right"] = call(few * 50) == expected
    if HANDLER == "raises its own":
        raise Stop("stopped by the handler")
    signal.default_int_handler(signum, frame)
signal.signal(signal.SIGINT, handler)

heap_before = c_heap()
tracemalloc.start()
before = tracemalloc.get_traced_memory()[0]
try:
    call_sending_sigint(vins)
    out["raised"] = None
except BaseException as error:
    out["raised"] = [type(error).__name__, str(error)]
gc.collect()
kept = tracemalloc.get_traced_memory()[0] - before
tracemalloc.stop()
print(json.dumps({
    "raised": out["raised"],
    "made after the signal (MB)": round((out["handler"] - out["sent"]) / MB, 1),
    "python memory kept (MB)": round(kept / MB, 2),
    "c heap kept (MB)": round((c_heap() - heap_before) / MB, 2),
    "inner call right": out.get("inner call right"),
    "next call right": call(few * 50) == expected,
}))
"""

CALLS = ["decode_batch", "decode_batch flat", "decode_batch_json", "decode_batch_json flat"]
HANDLERS = {
    "raises KeyboardInterrupt": (["KeyboardInterrupt", ""], None),
    "raises its own": (["Stop", "stopped by the handler"], None),
    "calls the module": (["KeyboardInterrupt", ""], True),
}


@pytest.mark.parametrize("handler", list(HANDLERS))
@pytest.mark.parametrize("call", CALLS)
def test_a_signal_during_a_batch_raises_between_pieces_and_leaves_nothing_behind(call, handler):
    got = json.loads(run_python(f"CALL = {call!r}\nHANDLER = {handler!r}\n{INTERRUPTED}",
                                PACKAGE_PATH))
    raised, inner_call_right = HANDLERS[handler]
    # A piece holds 128 results, well under a megabyte; the rest of the
    # batch is a hundred megabytes or more. The pieces the workers had made
    # when the batch stopped hold a few megabytes of the C heap.
    assert got["made after the signal (MB)"] < 5, got
    assert got["python memory kept (MB)"] < 1, got
    assert got["c heap kept (MB)"] < 2, got
    assert (got["raised"], got["inner call right"], got["next call right"]) == (
        raised, inner_call_right, True), got


# The batch (40,000 VINs) makes 40 MB or more; the handler notes that it ran
# and returns.
HANDLED = PRELUDE + r"""
vins = (few * 1000)[:40_000]
if CALL.startswith("decode_batch_json"):
    texts = [m.decode_json(vin, flat=CALL.endswith("flat")) for vin in few]
    expected = "[" + ",".join(texts[i % len(few)] for i in range(len(vins))) + "]"
else:
    results = [m.decode(vin, flat=CALL.endswith("flat")) for vin in few]
    expected = [results[i % len(few)] for i in range(len(vins))]

def handler(signum, frame):
    out["handler"] = tracemalloc.get_traced_memory()[0]
signal.signal(signal.SIGINT, handler)
tracemalloc.start()
got = call_sending_sigint(vins)
print(json.dumps({
    "made after the signal (MB)": round((out["handler"] - out["sent"]) / MB, 1),
    "every result": got == expected,
}))
"""


@pytest.mark.parametrize("call", CALLS)
def test_a_signal_whose_handler_returns_lets_the_batch_finish_with_every_result(call):
    got = json.loads(run_python(f"CALL = {call!r}\n{HANDLED}", PACKAGE_PATH))
    assert got["made after the signal (MB)"] < 5, got
    assert got["every result"] is True, got
