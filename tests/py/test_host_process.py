"""The module lives through its host process's whole life: collections that
start in the middle of a call, daemon threads still inside a call when the
interpreter exits, fork at any moment, an address-space limit, and inputs
whose memory must not stay behind. Each case that could take the process
down runs in a process of its own."""

import gc
import os
import subprocess
import sys

import pytest

import tamberok
from conftest import C_HEAP, run_python

PACKAGE_PATH = os.path.dirname(os.path.dirname(tamberok.__file__))
VIN = "1HGCM82633A004352"

pytestmark = pytest.mark.usefixtures("real_data")


def start_python(code):
    env = dict(os.environ, PYTHONPATH=PACKAGE_PATH)
    return subprocess.Popen([sys.executable, "-c", code], env=env, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE, text=True)


def finish(process, timeout=120):
    try:
        out, err = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        process.kill()
        out, err = process.communicate()
        return "timeout", out, err
    return process.returncode, out, err


# A profiler's collector callback that reads every list the collection may
# see: a list made before its items would hold empty places.
LIST_WALK = """
import gc, tamberok
def walk(phase, info):
    if phase == "start":
        for o in gc.get_objects(generation=0):
            if type(o) is list:
                for item in o:
                    pass
gc.callbacks.append(walk)
vins = tamberok.generate(1000, seed=5) + ["1HGCM82633A004352" + "X" * 30]
kept = []
for _ in range(4):
    kept += [tamberok.decode(v) for v in vins]
    kept += [tamberok.decode(v, flat=True) for v in vins]
    kept += tamberok.decode_batch(vins[:50], flat=True)
print(len(kept))
"""


def test_a_collector_callback_that_walks_every_new_list_finds_them_complete():
    assert run_python(LIST_WALK, PACKAGE_PATH).split() == ["8208"]


def test_no_collection_starts_while_decode_batch_converts_its_results():
    vins = tamberok.generate(300, seed=2)
    starts = []

    def count(phase, info):
        if phase == "start":
            starts.append(info["generation"])

    threshold = gc.get_threshold()
    gc.callbacks.append(count)
    gc.set_threshold(10)
    try:
        for flat in (False, True):
            # Nothing pending when the call starts: a collection that the
            # allocations before it were due runs here, not at its end.
            gc.collect()
            del starts[:]
            results = tamberok.decode_batch(vins, flat=flat)
            during = len(starts)
            assert during == 0 and len(results) == 300, flat
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(count)


DAEMONS_AT_EXIT = """
import threading, time, tamberok
vins = tamberok.generate(3000, seed=1)
calls = {
    "decode_batch": lambda: tamberok.decode_batch(vins),
    "decode_batch_json": lambda: tamberok.decode_batch_json(vins, flat=True),
    "generate": lambda: tamberok.generate(3000, seed=2),
    "sweep": lambda: tamberok.sweep(["wmi"]),
    "pairwise": lambda: tamberok.pairwise(limit=3000),
    "seeded": lambda: tamberok.seeded(limit=3000),
}
call = calls[NAME]
def loop():
    while True:
        call()
for _ in range(4):
    threading.Thread(target=loop, daemon=True).start()
time.sleep(0.5)
print("exiting")
"""

GIL_RELEASING = ["decode_batch", "decode_batch_json", "generate", "sweep", "pairwise", "seeded"]


@pytest.mark.parametrize("name", GIL_RELEASING)
def test_daemon_threads_inside_a_call_do_not_crash_the_interpreter_at_exit(name):
    runs = [start_python(f"NAME = {name!r}\n{DAEMONS_AT_EXIT}") for _ in range(4)]
    for returncode, out, err in map(finish, runs):
        assert (returncode, out, err) == (0, "exiting\n", "")


# Forks while another thread runs the process's first batch, which builds
# the lazily made structures; the child must decode on its own.
FORK_IN_FIRST_BATCH = """
import os, threading, time, warnings, tamberok
warnings.simplefilter("ignore", DeprecationWarning)  # 3.12 warns of fork beside threads
vins = ["1HGCM82633A004352", "5YJSA1E26HF000001", "JTDKB20U793000000"] * 3000
worker = threading.Thread(target=lambda: tamberok.decode_batch(vins), daemon=True)
worker.start()
time.sleep(DELAY)
pid = os.fork()
if pid == 0:
    r = tamberok.decode_batch(["1HGCM82633A004352"] * 50)
    j = tamberok.decode_json("1HGCM82633A004352", flat=True)
    os._exit(0 if r[0]["model_year"] == 2003 and '"Make":"HONDA"' in j else 3)
deadline = time.monotonic() + 60
while True:
    done, status = os.waitpid(pid, os.WNOHANG)
    if done:
        print("child", os.waitstatus_to_exitcode(status))
        break
    if time.monotonic() > deadline:
        os.kill(pid, 9)
        print("child hung")
        break
    time.sleep(0.01)
worker.join()
"""


def test_a_child_forked_at_any_moment_of_the_first_batch_decodes():
    delays = [0, 0.0005, 0.001, 0.0015, 0.002, 0.0025, 0.003, 0.001]
    runs = [start_python(f"DELAY = {d}\n{FORK_IN_FIRST_BATCH}") for d in delays]
    for delay, (returncode, out, err) in zip(delays, map(finish, runs)):
        assert (returncode, out, err) == (0, "child 0\n", ""), delay


# The batch needs 150 to 200 MB more; the smaller batch before the cap
# makes the pool and its workers' state, and frees too little to hold them.
ADDRESS_SPACE_LIMIT = """
import resource, tamberok
vins = tamberok.generate(30000, seed=3)
tamberok.decode_batch(vins[:3000])
pages = int(open("/proc/self/statm").read().split()[0])
_, hard = resource.getrlimit(resource.RLIMIT_AS)
resource.setrlimit(resource.RLIMIT_AS, (pages * resource.getpagesize() + (8 << 20), hard))
try:
    tamberok.decode_batch(vins)
    print("no failure")
except BaseException as error:
    print(type(error).__name__)
resource.setrlimit(resource.RLIMIT_AS, (hard, hard))
print(tamberok.decode_batch(vins[:300]) == [tamberok.decode(v) for v in vins[:300]])
"""


def test_running_out_of_address_space_raises_and_the_process_goes_on():
    out = run_python(ADDRESS_SPACE_LIMIT, PACKAGE_PATH).split()
    assert out[0] in ("MemoryError", "PanicException") and out[1:] == ["True"], out


# What the C heap holds after the calls against before them. A worker's first piece makes its per-thread state, and which of
# several workers take part in a batch is up to the machine's load: with one
# worker, the same calls with a VIN of ordinary length have made all of it
# before the measure, which then counts only what the huge input left.
HUGE_INPUT = """
import os
os.environ["RAYON_NUM_THREADS"] = "1"
import tamberok
""" + C_HEAP + """
vins = tamberok.generate(200, seed=9)
tamberok.decode("1HGCM82633A004352" + "A" * 100)
tamberok.decode_batch(vins + ["1HGCM82633A004352" + "A" * 100])
before = c_heap()
huge = "1HGCM82633A004352" + "A" * 20_000_000
r = tamberok.decode(huge)
assert len(r["vin"]) == len(huge)
r = tamberok.decode_batch(vins + [huge])
assert len(r[-1]["vin"]) == len(huge)
del huge, r
print((c_heap() - before) >> 10)
"""


def test_a_huge_input_leaves_at_most_two_megabytes_behind():
    kept_kib = int(run_python(HUGE_INPUT, PACKAGE_PATH))
    assert kept_kib <= 2048, kept_kib


def test_no_static_of_the_module_is_built_under_a_lock():
    # A function-local static has a guard variable: a lock that a fork can
    # catch held by another thread, leaving the child's copy locked.
    module = tamberok._tamberok.__file__
    symbols = subprocess.run(["readelf", "-sW", module], capture_output=True, text=True,
                             check=True).stdout.splitlines()
    assert [line for line in symbols if "_ZGV" in line and " TLS " not in line] == []
