"""Threads, the interpreter lock and fork."""

import json
import os
import select
import signal
import sys
import threading

import pytest

from tamberok import _tamberok as m

pytestmark = pytest.mark.usefixtures("real_data")


def test_threads_decoding_batches_at_once_get_their_own_results():
    batches = [m.generate(300, seed=seed) for seed in range(6)]
    expected = [m.decode_batch(vins) for vins in batches]
    expected_json = [m.decode_batch_json(vins, flat=True) for vins in batches]
    got = [None] * len(batches)
    got_json = [None] * len(batches)

    def work(i):
        for _ in range(3):
            got[i] = m.decode_batch(batches[i])
            got_json[i] = m.decode_batch_json(batches[i], flat=True)

    threads = [threading.Thread(target=work, args=(i,)) for i in range(len(batches))]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join()
    assert got == expected
    assert got_json == expected_json


def ran_python_while_inside(call):
    """Whether this thread ran Python code while another thread was inside
    call(). With a switch interval far longer than the test, a thread that
    holds the lock keeps it until it releases it itself, so this thread,
    once it waits for the lock, gets it only inside a call that releases it
    or when the other thread ends. The other thread makes the call again
    until this one has had the lock (up to 20 times), so that the answer
    does not depend on how soon this thread waits for it."""
    state = {"inside": False, "seen": False}

    def target():
        for _ in range(20):
            state["inside"] = True
            call()
            state["inside"] = False
            if state["seen"]:
                return

    interval = sys.getswitchinterval()
    sys.setswitchinterval(100.0)
    try:
        worker = threading.Thread(target=target)
        worker.start()  # returns once this thread gets the lock back
        state["seen"] = state["inside"]
        progress = sum(range(10_000))  # pure Python work meanwhile
        worker.join()
    finally:
        sys.setswitchinterval(interval)
    return state["seen"] and progress == 49_995_000


BIG_BATCH = ["1HGCM82633A004352", "5YJ3E1EA7KF317000", "garbage"] * 2000

LOCK_RULES = [
    ("decode_batch", lambda: m.decode_batch(BIG_BATCH), True),
    ("decode_batch flat", lambda: m.decode_batch(BIG_BATCH, flat=True), True),
    ("decode_batch_json", lambda: m.decode_batch_json(BIG_BATCH), True),
    ("generate", lambda: m.generate(100_000), True),
    ("sweep", lambda: m.sweep(["pattern"]), True),
    ("pairwise", lambda: m.pairwise(limit=200_000), True),
    ("seeded", lambda: m.seeded(limit=200_000), True),
    ("decode", lambda: m.decode("1HGCM82633A004352"), False),
    ("decode_json", lambda: m.decode_json("1HGCM82633A004352"), False),
    ("elements", lambda: m.elements(), False),
    ("multi_valued", lambda: m.multi_valued(), False),
    ("cover_vins", lambda: m.cover_vins(), False),
]


@pytest.mark.parametrize("name,call,releases", LOCK_RULES, ids=[r[0] for r in LOCK_RULES])
def test_which_functions_release_the_interpreter_lock(name, call, releases):
    assert ran_python_while_inside(call) is releases


@pytest.mark.skipif(not hasattr(os, "fork"), reason="needs fork")
def test_child_after_fork_decodes_batches_on_a_pool_of_its_own():
    vins = m.generate(200, seed=3) + ["", "1HG"]
    expected = m.decode_batch(vins)  # the parent's pool exists before the fork
    read_end, write_end = os.pipe()
    pid = os.fork()
    if pid == 0:
        try:
            ok = (m.decode_batch(vins) == expected
                  and json.loads(m.decode_batch_json(vins)) == expected)
            os.write(write_end, b"ok" if ok else b"wrong")
        finally:
            os._exit(0)
    os.close(write_end)
    try:
        ready, _, _ = select.select([read_end], [], [], 120)
        if not ready:
            os.kill(pid, signal.SIGKILL)
        answer = os.read(read_end, 8) if ready else b"hung"
    finally:
        os.close(read_end)
        os.waitpid(pid, 0)
    assert answer == b"ok"
    assert m.decode_batch(vins) == expected  # and the parent's pool still works
