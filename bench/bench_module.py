"""Throughput of the module from Python.

Two corpora of real-data VINs: 100,000 made by generate() with WMIs drawn
uniformly, and 100,000 weighted like real traffic (bench/traffic-mix.tsv,
the corpus of bench/golden.py). Prints the per-VIN time of decode, VINs per
second of decode_batch and decode_batch_json (nested and flat), their
ratio, the time json.loads needs for the JSON batch, the JSON batch on one
worker (a child process with RAYON_NUM_THREADS=1) against the whole pool
for both corpora and forms, the peak memory of a child process that makes
the nested JSON batch of the traffic corpus once, and a batch of one VIN
against decode of it. Each figure is the best of a few runs.

  python3 bench/bench_module.py          every figure (about 3 minutes)
  python3 bench/bench_module.py --json   only the JSON batch figures
"""

import gc
import json
import os
import subprocess
import sys
import tempfile
import time

import tamberok

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import golden  # noqa: E402  (the traffic-weighted corpus)

COUNT = 100_000
SINGLE = 20_000
RUNS = 3
HERE = os.path.dirname(os.path.abspath(__file__))


def best_seconds(call, runs=RUNS):
    best = float("inf")
    for _ in range(runs):
        gc.collect()
        start = time.perf_counter()
        result = call()
        best = min(best, time.perf_counter() - start)
        del result
    return best


def corpus(name):
    if name == "uniform":
        return tamberok.generate(COUNT, seed=2024)
    return golden.traffic_vins()[:COUNT]


def json_batch_rate(vins, flat=False):
    tamberok.decode_batch_json(vins, flat=flat)  # warms every worker
    return len(vins) / best_seconds(lambda: tamberok.decode_batch_json(vins, flat=flat))


def child_output(code, **env):
    """What a child process running `code` (with bench_module imported as b) prints."""
    code = "import sys; sys.path.insert(0, %r); import bench_module as b; " % HERE + code
    done = subprocess.run([sys.executable, "-c", code], env=dict(os.environ, **env),
                          capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else "nan"


def one_worker_json_rate(name, flat):
    """VINs/s of the JSON batch with a pool of one worker."""
    code = "print(b.json_batch_rate(b.corpus(%r), flat=%r))" % (name, flat)
    return float(child_output(code, RAYON_NUM_THREADS="1"))


def peak_rss_kb():
    """The peak resident memory of this process image (VmHWM): unlike
    ru_maxrss, it does not inherit the peak of the parent that forked it."""
    with open("/proc/self/status", encoding="ascii") as f:
        return int(next(line for line in f if line.startswith("VmHWM:")).split()[1])


def json_batch_peak_mb(vins):
    """Peak resident memory of a child process, in MB, before and after it
    makes the nested JSON batch of `vins` once. The child reads the VINs
    from a file, since making the corpus itself takes more memory than the
    batch."""
    with tempfile.NamedTemporaryFile("w", encoding="utf-8", suffix=".txt") as f:
        f.write("\n".join(vins))
        f.flush()
        code = ("vins = open(%r, encoding='utf-8').read().split('\\n'); "
                "b.tamberok.decode_batch_json(vins[:10]); before = b.peak_rss_kb(); "
                "text = b.tamberok.decode_batch_json(vins); "
                "print(before, b.peak_rss_kb())" % f.name)
        figures = child_output(code).split()
    return [int(kb) / 1024 for kb in figures] if len(figures) == 2 else [float("nan")] * 2


def json_figures(workers):
    """The JSON batch on the whole pool against one worker, for both corpora and forms."""
    for name in ("uniform", "traffic"):
        vins = corpus(name)
        for flat in (False, True):
            form = "flat" if flat else "nested"
            many = json_batch_rate(vins, flat)
            one = one_worker_json_rate(name, flat)
            print(f"  decode_batch_json {form:6} {name:7}: {many:9,.0f} VINs/s on {workers} workers,"
                  f" {one:9,.0f} on one: {many / one:.2f}x")
        if name == "traffic":
            before, after = json_batch_peak_mb(vins)
        del vins
    print(f"  peak memory of a child making the nested traffic JSON batch: {after:,.0f} MB"
          f" ({before:,.0f} MB before the call)")


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
    if "--json" not in sys.argv[1:]:
        for name in ("uniform", "traffic"):
            corpus_figures(name, corpus(name))
    json_figures(workers)
    return 0


if __name__ == "__main__":
    sys.exit(main())
