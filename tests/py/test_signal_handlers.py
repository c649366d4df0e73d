"""A signal's handler that runs inside a batch (between its pieces) runs in
the process as the caller left it: it, and any thread that runs meanwhile,
finds the cyclic collector as the caller set it, and what they set is kept;
a handler that forks leaves a child whose call ends (with every result when
the handler returns there, at once when it exits) and a parent that goes on
as its own handler decided.

The cases that need a handler run inside a batch run in a process of their
own, whose thread sends the signal once the batch has made 1 MB of Python
objects (a few percent of it); the handler notes what the batch had made when
it ran, which tells that it ran inside."""

import gc
import json
import os

import pytest

import tamberok
from conftest import run_python

m = tamberok._tamberok
PACKAGE_PATH = os.path.dirname(os.path.dirname(tamberok.__file__))

pytestmark = pytest.mark.usefixtures("real_data")

VIN = "1HGCM82633A004352"


# The batch's conversion pauses the collector once per piece and once for
# the list, and a pause that restored the wrong state would flip it, which
# an even number of pauses hides: 1 and 4 VINs are one piece made on the
# calling thread; up to 8 VINs per worker each VIN is a piece of its own, so
# 5 and 6 VINs are an even and an odd number of pauses on any machine; 1000
# VINs are many pieces.
@pytest.mark.parametrize("vins", [1, 4, 5, 6, 1000], ids=lambda n: f"{n} VINs")
@pytest.mark.parametrize("flat", [False, True], ids=["nested", "flat"])
@pytest.mark.parametrize("enabled", [True, False], ids=["collector on", "collector off"])
def test_a_dict_batch_leaves_the_collector_as_the_call_found_it(enabled, flat, vins):
    was = gc.isenabled()
    gc.enable() if enabled else gc.disable()
    try:
        m.decode_batch([VIN] * vins, flat=flat)
        after = gc.isenabled()
    finally:
        gc.enable() if was else gc.disable()
    assert after is enabled


# A thread sends `signum` once the batch that starts next has made 1 MB of
# its 20 MB or more. The switch interval is left as it is: a thread that
# has waited that long for the interpreter lock is handed it when the batch
# next lets it go, between two groups of its pieces, so the signal goes out
# a group or two of pieces after the first megabyte whatever the machine's
# speed or load, and its handler runs between two pieces of the batch.
# (With a switch interval beyond the run, the thread would get the lock
# only when the batch happened to wait for its workers, at times only
# once the batch was over.) Two workers keep a group to at most 8 pieces of
# 128 results (5 % of the batch) however many processors the machine has.
PRELUDE = r"""
import gc, json, os, signal, sys, threading, time, tracemalloc, warnings
os.environ["RAYON_NUM_THREADS"] = "2"  # read when the first batch builds the pool
from tamberok import _tamberok as m

warnings.simplefilter("ignore", DeprecationWarning)  # 3.12 warns of fork beside threads

CALLS = {
    "decode_batch": lambda vins: m.decode_batch(vins),
    "decode_batch flat": lambda vins: m.decode_batch(vins, flat=True),
    "decode_batch_json": lambda vins: m.decode_batch_json(vins),
    "decode_batch_json flat": lambda vins: m.decode_batch_json(vins, flat=True),
}
few = m.generate(40, seed=21) + ["", "1HG", "1HGCM82633A004352XX"]
vins = (few * 500)[:20_000]

def expected(name):
    flat = name.endswith("flat")
    if name.startswith("decode_batch_json"):
        texts = [m.decode_json(vin, flat=flat) for vin in few]
        return "[" + ",".join(texts[i % len(few)] for i in range(len(vins))) + "]"
    results = [m.decode(vin, flat=flat) for vin in few]
    return [results[i % len(few)] for i in range(len(vins))]

def made():
    return tracemalloc.get_traced_memory()[0]

def send_once_made(signum):
    before = made()
    def send():
        while made() - before < 2**20:
            time.sleep(0.0005)
        os.kill(os.getpid(), signum)
    threading.Thread(target=send, daemon=True).start()
    return before

# A batch whose handler runs inside it: what the call returned, and whether
# the handler (which notes made() in out[note]) ran inside, before the last
# tenth of the batch was made (after the call, the whole result is made).
def run_with_handler(name, signum, out, note):
    before = send_once_made(signum)
    got = CALLS[name](vins)
    out[note + " inside"] = out[note] - before < 0.9 * (made() - before)
    return got

tracemalloc.start()
"""

# The collector as the caller left it (STATE) and a handler that ACTS:
# "looks" only notes what it sees; "switches" sets the opposite of the
# caller's state; "lets a thread run" waits while another thread notes what
# it sees and switches the collector on, and that thread, once the batch is
# over, sets back what it saw (as code that turns the collector on for a
# while does).
COLLECTOR = PRELUDE + r"""
out = {}
waited = threading.Event()
batch_over = threading.Event()

def other_thread():
    out["thread saw"] = gc.isenabled()
    gc.enable()
    waited.set()
    batch_over.wait()
    gc.enable() if out["thread saw"] else gc.disable()

def handler(signum, frame):
    out["handler"] = made()
    out["handler saw"] = gc.isenabled()
    if ACTS == "switches":
        gc.disable() if STATE else gc.enable()
    if ACTS == "lets a thread run":
        thread = threading.Thread(target=other_thread)
        thread.start()
        waited.wait()
        out["thread"] = thread
signal.signal(signal.SIGUSR1, handler)

want = expected(CALL)
gc.enable() if STATE else gc.disable()
got = run_with_handler(CALL, signal.SIGUSR1, out, "handler")
batch_over.set()
if "thread" in out:
    out.pop("thread").join()
out["after"] = gc.isenabled()
out["every result"] = got == want
del out["handler"]
print(json.dumps(out))
"""

ACTIONS = ["looks", "switches", "lets a thread run"]


@pytest.mark.parametrize("acts", ACTIONS)
@pytest.mark.parametrize("state", [True, False], ids=["collector on", "collector off"])
@pytest.mark.parametrize("call", ["decode_batch", "decode_batch flat"])
def test_a_handler_inside_a_dict_batch_and_other_threads_find_and_keep_the_callers_collector(
        call, state, acts):
    got = json.loads(run_python(f"CALL = {call!r}\nSTATE = {state}\nACTS = {acts!r}\n{COLLECTOR}",
                                PACKAGE_PATH))
    expected = {"handler inside": True, "handler saw": state, "after": state,
                "every result": True}
    if acts == "switches":
        expected["after"] = not state
    if acts == "lets a thread run":
        expected["thread saw"] = state
    assert got == expected


# The handler forks; the child returns from it ("returns") or calls
# sys.exit(7) in it ("exits"). The parent waits for the child, which
# reports with its exit status whether its call returned every result; a
# child that has not ended after a minute is taken for hung. With
# NESTED, the handler that forks is that of a second batch, which a handler
# of the first runs (both in the child go on).
FORK = PRELUDE + r"""
out = {}
forked = []

def forking_handler(signum, frame):
    out["forked"] = made()
    pid = os.fork()
    forked.append(pid)
    if pid == 0 and CHILD == "exits":
        sys.exit(7)

def outer_handler(signum, frame):
    out["outer"] = made()
    out["inner right"] = run_with_handler(INNER, signal.SIGUSR2, out, "forked") == expected(INNER)

signal.signal(signal.SIGUSR2, forking_handler)
signal.signal(signal.SIGUSR1, outer_handler)
want = expected(CALL)
if INNER:
    got = run_with_handler(CALL, signal.SIGUSR1, out, "outer")
else:
    got = run_with_handler(CALL, signal.SIGUSR2, out, "forked")
right = got == want and out.get("inner right", True)
if forked == [0]:
    os._exit(0 if right else 3)

deadline = time.monotonic() + 60
while True:
    done, status = os.waitpid(forked[0], os.WNOHANG)
    if done:
        child = os.waitstatus_to_exitcode(status)
        break
    if time.monotonic() > deadline:
        os.kill(forked[0], signal.SIGKILL)
        os.waitpid(forked[0], 0)
        child = "hung"
        break
    time.sleep(0.01)
print(json.dumps({"handlers inside": [out[k] for k in ("outer inside", "forked inside") if k in out],
                  "parent right": right, "child": child}))
"""

FORKING_CALLS = [("decode_batch", None), ("decode_batch flat", None), ("decode_batch_json", None),
                 ("decode_batch_json flat", None), ("decode_batch", "decode_batch_json"),
                 ("decode_batch_json flat", "decode_batch flat")]


@pytest.mark.parametrize("child", ["returns", "exits"])
@pytest.mark.parametrize("call,inner", FORKING_CALLS,
                         ids=[f"{i} in {c}'s handler" if i else c for c, i in FORKING_CALLS])
def test_a_handler_that_forks_inside_a_batch_leaves_a_child_whose_call_ends(call, inner, child):
    got = json.loads(run_python(
        f"CALL = {call!r}\nINNER = {inner!r}\nCHILD = {child!r}\n{FORK}", PACKAGE_PATH))
    # 0: the child's calls returned every result; 7: its handler's exit.
    assert got == {"handlers inside": [True, True] if inner else [True], "parent right": True,
                   "child": 0 if child == "returns" else 7}
