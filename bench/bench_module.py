"""Throughput of the module from Python, on 100,000 VINs made from the real
data by generate() (real WMIs, schemas and pattern keys).

Prints per-VIN time of decode, VINs per second of decode_batch and
decode_batch_json (nested and flat), their ratio, and the time json.loads
needs for the JSON batch. Each figure is the best of a few runs.
"""

import gc
import json
import os
import sys
import time

import tamberok

COUNT = 100_000
SINGLE = 20_000
RUNS = 3


def best_seconds(call, runs=RUNS):
    best = float("inf")
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def main():
    try:
        tamberok.multi_valued()
    except BaseException as error:  # the placeholder build raises PanicException
        print(f"bench_module: no real data embedded ({type(error).__name__}); skipped")
        return 0
    vins = tamberok.generate(COUNT, seed=2024)
    workers = os.environ.get("RAYON_NUM_THREADS") or os.cpu_count()
    print(f"bench_module: {len(vins):,} VINs, worker threads: {workers}")

    single = best_seconds(lambda: [tamberok.decode(vin) for vin in vins[:SINGLE]])
    single_flat = best_seconds(lambda: [tamberok.decode(vin, flat=True) for vin in vins[:SINGLE]])
    single_json = best_seconds(lambda: [tamberok.decode_json(vin) for vin in vins[:SINGLE]])
    print(f"  decode            {single / SINGLE * 1e6:8.1f} us/VIN")
    print(f"  decode flat       {single_flat / SINGLE * 1e6:8.1f} us/VIN")
    print(f"  decode_json       {single_json / SINGLE * 1e6:8.1f} us/VIN")

    for flat in (False, True):
        form = "flat" if flat else "nested"
        dicts = best_seconds(lambda: tamberok.decode_batch(vins, flat=flat))
        text = tamberok.decode_batch_json(vins, flat=flat)
        as_json = best_seconds(lambda: tamberok.decode_batch_json(vins, flat=flat))
        loads = best_seconds(lambda: json.loads(text))
        print(f"  decode_batch      {form:6} {len(vins) / dicts:12,.0f} VINs/s")
        print(f"  decode_batch_json {form:6} {len(vins) / as_json:12,.0f} VINs/s"
              f"  ({len(text) / 1e6:,.0f} MB of JSON)")
        print(f"  json.loads        {form:6} {len(vins) / loads:12,.0f} VINs/s")
        print(f"  JSON batch is {dicts / as_json:.2f}x the dict batch;"
              f" with json.loads {dicts / (as_json + loads):.2f}x")
        del text
    return 0


if __name__ == "__main__":
    sys.exit(main())
