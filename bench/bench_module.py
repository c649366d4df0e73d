"""Throughput of the module from Python.

Two corpora of real-data VINs: 100,000 made by generate() with WMIs drawn
uniformly, and 100,000 weighted like real traffic (bench/traffic-mix.tsv,
the corpus of bench/golden.py). Prints the per-VIN time of decode, VINs per
second of decode_batch and decode_batch_json (nested and flat), their
ratio, the time json.loads needs for the JSON batch, the JSON batch on one
worker (a child process with RAYON_NUM_THREADS=1) against the whole pool,
and a batch of one VIN against decode of it. Each figure is the best of a
few runs.
"""

import gc
import json
import os
import subprocess
import sys
import time

import tamberok

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import golden  # noqa: E402  (the traffic-weighted corpus)

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


def json_batch_rate(vins):
    tamberok.decode_batch_json(vins)  # warms every worker
    return len(vins) / best_seconds(lambda: tamberok.decode_batch_json(vins))


def one_worker_json_rate():
    """VINs/s of the nested JSON batch with a pool of one worker."""
    code = ("import sys; sys.path.insert(0, %r); import bench_module as b, golden; "
            "print(b.json_batch_rate(golden.traffic_vins()[:%d]))"
            % (os.path.dirname(os.path.abspath(__file__)), COUNT))
    env = dict(os.environ, RAYON_NUM_THREADS="1")
    done = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, text=True)
    return float(done.stdout.strip()) if done.returncode == 0 else float("nan")


def corpus_figures(name, vins):
    print(f"  -- {name} corpus, {len(vins):,} VINs")
    single = best_seconds(lambda: [tamberok.decode(vin) for vin in vins[:SINGLE]])
    single_flat = best_seconds(lambda: [tamberok.decode(vin, flat=True) for vin in vins[:SINGLE]])
    single_json = best_seconds(lambda: [tamberok.decode_json(vin) for vin in vins[:SINGLE]])
    print(f"  decode            {single / SINGLE * 1e6:8.1f} us/VIN")
    print(f"  decode flat       {single_flat / SINGLE * 1e6:8.1f} us/VIN")
    print(f"  decode_json       {single_json / SINGLE * 1e6:8.1f} us/VIN")
    ones = vins[:2_000]
    one_batch = best_seconds(lambda: [tamberok.decode_batch([vin]) for vin in ones])
    one_decode = best_seconds(lambda: [tamberok.decode(vin) for vin in ones])
    print(f"  decode_batch([v]) {one_batch / len(ones) * 1e6:8.1f} us/VIN"
          f"  ({one_batch / one_decode:.2f}x decode(v))")

    for flat in (False, True):
        form = "flat" if flat else "nested"
        dicts = best_seconds(lambda: tamberok.decode_batch(vins, flat=flat))
        text = tamberok.decode_batch_json(vins, flat=flat)
        as_json = best_seconds(lambda: tamberok.decode_batch_json(vins, flat=flat))
        loads = best_seconds(lambda: json.loads(text))
        print(f"  decode_batch      {form:6} {len(vins) / dicts:12,.0f} VINs/s")
        print(f"  decode_batch_json {form:6} {len(vins) / as_json:12,.0f} VINs/s"
              f"  ({len(text) / 1e6:,.0f} M characters of JSON)")
        print(f"  json.loads        {form:6} {len(vins) / loads:12,.0f} VINs/s")
        print(f"  JSON batch is {dicts / as_json:.2f}x the dict batch;"
              f" with json.loads {dicts / (as_json + loads):.2f}x")
        del text


def main():
    try:
        tamberok.multi_valued()
    except BaseException as error:  # the placeholder build raises PanicException
        print(f"bench_module: no real data embedded ({type(error).__name__}); skipped")
        return 0
    workers = os.environ.get("RAYON_NUM_THREADS") or os.cpu_count()
    print(f"bench_module: worker threads: {workers}")
    corpus_figures("uniform", tamberok.generate(COUNT, seed=2024))
    traffic = golden.traffic_vins()[:COUNT]
    corpus_figures("traffic", traffic)
    many = json_batch_rate(traffic)
    one = one_worker_json_rate()
    print(f"  decode_batch_json nested, traffic: {many:,.0f} VINs/s on {workers} workers,"
          f" {one:,.0f} on one: {many / one:.2f}x")
    return 0


if __name__ == "__main__":
    sys.exit(main())
