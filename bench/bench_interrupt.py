"""How long a late Ctrl-C waits: SIGINT sent by another process at 25, 50
and 75 % of a 200,000-VIN batch's own time, and the time from the signal to
the KeyboardInterrupt the call raises (the batch stops between two pieces,
and what it made so far is freed first), as a share of the batch's time.

    PYTHONPATH=build/pkg python3 bench/bench_interrupt.py [VINS] [RUNS]

Each figure is the median of RUNS runs (3 unless given)."""

import gc
import os
import signal
import statistics
import subprocess
import sys
import time

from tamberok import _tamberok as m

VINS = int(sys.argv[1]) if len(sys.argv) > 1 else 200_000
RUNS = int(sys.argv[2]) if len(sys.argv) > 2 else 3
SHARES = (0.25, 0.50, 0.75)

CALLS = [
    ("decode_batch", lambda vins: m.decode_batch(vins)),
    ("decode_batch flat", lambda vins: m.decode_batch(vins, flat=True)),
    ("decode_batch_json", lambda vins: m.decode_batch_json(vins)),
    ("decode_batch_json flat", lambda vins: m.decode_batch_json(vins, flat=True)),
]

# Waits for a moment on the system's monotonic clock (one line on stdin),
# sends SIGINT to its parent then, and prints when it sent it. Another
# process, so that sending needs nothing of this interpreter.
SENDER = r"""
import os, signal, sys, time
pid = os.getppid()
for line in sys.stdin:
    at = float(line)
    while time.monotonic() < at - 0.002:
        time.sleep(0.001)
    while time.monotonic() < at:
        pass
    sent = time.monotonic()
    os.kill(pid, signal.SIGINT)
    print(sent, flush=True)
"""


def batch_time(call, vins):
    times = []
    for _ in range(RUNS):
        gc.collect()
        start = time.monotonic()
        result = call(vins)
        times.append(time.monotonic() - start)
        del result
    return statistics.median(times)


def wait_after_signal(sender, call, vins, after):
    """Seconds from SIGINT, sent `after` seconds into the call, to the
    KeyboardInterrupt; None when the call returned first."""
    gc.collect()
    result = None
    start = time.monotonic()
    sender.stdin.write(f"{start + after}\n")
    sender.stdin.flush()
    try:
        result = call(vins)
        time.sleep(1)  # the signal is on its way
    except KeyboardInterrupt:
        raised = time.monotonic()
    sent = float(sender.stdout.readline())
    return None if result is not None else raised - sent


def main():
    # Python's own handler, which raises KeyboardInterrupt, even where the
    # shell started this with SIGINT ignored (in the background, say).
    signal.signal(signal.SIGINT, signal.default_int_handler)
    vins = m.generate(VINS, seed=5)
    sender = subprocess.Popen([sys.executable, "-c", SENDER], stdin=subprocess.PIPE,
                              stdout=subprocess.PIPE, text=True)
    print(f"Python {sys.version.split()[0]}, {VINS:,} VINs, median of {RUNS} runs; "
          "the wait from SIGINT to KeyboardInterrupt, in ms and as a share of the batch's time")
    header = f"{'call':<24}{'batch (s)':>10}" + "".join(
        f"{f'sent at {int(share * 100)} %':>22}" for share in SHARES)
    print(header)
    print("-" * len(header))
    for name, call in CALLS:
        call(vins[:20_000])  # the workers' caches and state
        whole = batch_time(call, vins)
        cells = []
        for share in SHARES:
            # A batch slower than its measure (a busy machine) may end before
            # a late signal: such a run is tried again, up to RUNS times.
            tries = [wait_after_signal(sender, call, vins, share * whole) for _ in range(RUNS)]
            waits = [wait for wait in tries if wait is not None]
            for _ in range(RUNS):
                if len(waits) == RUNS:
                    break
                wait = wait_after_signal(sender, call, vins, share * whole)
                if wait is not None:
                    waits.append(wait)
            if not waits:
                cells.append(f"{'returned first':>22}")
                continue
            wait = statistics.median(waits)
            cells.append(f"{wait * 1000:>10.1f} ms {wait / whole * 100:>6.1f} %")
        print(f"{name:<24}{whole:>10.2f}" + "".join(cells), flush=True)
    sender.stdin.close()
    sender.wait()


if __name__ == "__main__":
    main()
