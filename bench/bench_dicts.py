"""What the dict forms of results cost from Python.

On the traffic-weighted corpus of bench/golden.py: the per-VIN time of
decode (nested, with the results kept in a list and with each dropped at
once; flat, kept), the VINs per second of decode_batch (nested and flat),
and per result the Python memory it holds, the number of blocks it
allocated and the number of objects the cyclic collector tracks. Each time
is the median of a few runs.

  PYTHONPATH=build/pkg python3 bench/bench_dicts.py [count]
"""

import gc
import os
import statistics
import sys
import time
import tracemalloc

import tamberok

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import golden  # noqa: E402  (the traffic-weighted corpus)

RUNS = 5


def median_seconds(call):
    times = []
    for _ in range(RUNS):
        gc.collect()
        start = time.perf_counter()
        result = call()
        times.append(time.perf_counter() - start)
        del result
    return statistics.median(times)


def dropped(vins):
    decode = tamberok.decode
    for vin in vins:
        decode(vin)


def per_result(vins, flat):
    """Bytes, allocated blocks and collector-tracked objects per kept result."""
    gc.collect()
    objects = len(gc.get_objects())
    blocks = sys.getallocatedblocks()
    tracemalloc.start()
    results = [tamberok.decode(vin, flat=flat) for vin in vins]
    size = tracemalloc.get_traced_memory()[0]
    tracemalloc.stop()
    gc.collect()
    tracked = len(gc.get_objects()) - objects
    made = sys.getallocatedblocks() - blocks
    del results
    return size / len(vins), made / len(vins), tracked / len(vins)


def main():
    count = int(sys.argv[1]) if len(sys.argv) > 1 else 20_000
    vins = golden.traffic_vins()[:count]
    tamberok.decode_batch(vins[:1000])  # warms every cache and worker
    print(f"bench_dicts: traffic corpus, {len(vins):,} VINs, median of {RUNS}")
    kept = median_seconds(lambda: [tamberok.decode(vin) for vin in vins])
    gone = median_seconds(lambda: dropped(vins))
    flat = median_seconds(lambda: [tamberok.decode(vin, flat=True) for vin in vins])
    print(f"  decode nested kept    {kept / len(vins) * 1e6:8.2f} us/VIN")
    print(f"  decode nested dropped {gone / len(vins) * 1e6:8.2f} us/VIN")
    print(f"  decode flat kept      {flat / len(vins) * 1e6:8.2f} us/VIN")
    for form in (False, True):
        name = "flat" if form else "nested"
        batch = median_seconds(lambda: tamberok.decode_batch(vins, flat=form))
        print(f"  decode_batch {name:6}   {len(vins) / batch:10,.0f} VINs/s")
    sample = vins[:5_000]
    for form in (False, True):
        name = "flat" if form else "nested"
        size, blocks, tracked = per_result(sample, form)
        print(f"  per {name:6} result      {size:8,.0f} bytes, {blocks:6.1f} blocks,"
              f" {tracked:5.1f} tracked objects")
    return 0


if __name__ == "__main__":
    sys.exit(main())
