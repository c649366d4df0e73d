"""What a long-running process sees of the module: its memory under varied
traffic, and the cost of its first decode.

Memory: a child process (8 workers unless RAYON_NUM_THREADS says otherwise)
runs one sweep(), then decode_batch over random 17-character VINs on real
WMIs (each WMI of the sweep, the other 14 characters drawn from the VIN
alphabet, seeded), 50,000 per batch with the results dropped; it prints its
resident size (VmRSS) after the sweep and after each million VINs, and the
growth from the first million to the last.

Cold start: for each of a few VINs, fresh processes each time the first
decode() after the import and then the median of 2,000 decodes of the same
VIN; printed are the medians over the processes and their ratio.

  PYTHONPATH=build/pkg python3 bench/bench_process.py [millions]   (default 3)
"""

import os
import random
import statistics
import subprocess
import sys

ALPHABET = "ABCDEFGHJKLMNPRSTUVWXYZ0123456789"
BATCH = 50_000
COLD_VINS = ["1HGCM82633A004352", "5YJSA1E26HF000001", "3FA6P0H77HR100000", "WBA3A5C50CF256651"]
COLD_PROCESSES = 15


def rss_mib():
    with open("/proc/self/status") as status:
        for line in status:
            if line.startswith("VmRSS:"):
                return int(line.split()[1]) / 1024
    return 0.0


def memory_child(millions):
    import tamberok

    sweep = tamberok.sweep()
    wmis = sorted({v[:3] for v in sweep})
    del sweep
    print(f"  after one sweep()            {rss_mib():8.1f} MiB", flush=True)
    rng = random.Random(18)
    marks = {}
    done = 0
    while done < millions * 1_000_000:
        vins = [rng.choice(wmis) + "".join(rng.choices(ALPHABET, k=14)) for _ in range(BATCH)]
        tamberok.decode_batch(vins)
        done += BATCH
        if done % 1_000_000 == 0:
            marks[done // 1_000_000] = rss_mib()
            print(f"  after {done // 1_000_000} M random VINs        {marks[done // 1_000_000]:8.1f} MiB",
                  flush=True)
    if len(marks) > 1:
        first, last = marks[1], marks[max(marks)]
        print(f"  growth from 1 M to {max(marks)} M          {100 * (last - first) / first:+8.2f} %")


def cold_child(vin):
    import time

    import tamberok

    start = time.perf_counter()
    tamberok.decode(vin)
    first = time.perf_counter() - start
    times = []
    for _ in range(2000):
        start = time.perf_counter()
        tamberok.decode(vin)
        times.append(time.perf_counter() - start)
    print(first, statistics.median(times))


def run_child(*args, **env):
    out = subprocess.run([sys.executable, __file__, *args], env=dict(os.environ, **env),
                         capture_output=True, text=True, check=True)
    return out.stdout


def main():
    millions = int(sys.argv[1]) if len(sys.argv) > 1 else 3
    workers = os.environ.get("RAYON_NUM_THREADS", "8")
    print(f"bench_process: memory of decode_batch on {workers} workers, random VINs on real WMIs")
    sys.stdout.flush()
    subprocess.run([sys.executable, __file__, "--memory", str(millions)], check=True,
                   env=dict(os.environ, RAYON_NUM_THREADS=workers))
    print(f"bench_process: first decode of a fresh process against a warm one "
          f"(median of {COLD_PROCESSES} processes)")
    for vin in COLD_VINS:
        firsts, warms = [], []
        for _ in range(COLD_PROCESSES):
            first, warm = map(float, run_child("--cold", vin).split())
            firsts.append(first)
            warms.append(warm)
        first, warm = statistics.median(firsts), statistics.median(warms)
        print(f"  {vin}  first {1e3 * first:6.2f} ms  warm {1e6 * warm:6.2f} us  "
              f"ratio {first / warm:6.0f}")


if __name__ == "__main__":
    if sys.argv[1:2] == ["--memory"]:
        memory_child(int(sys.argv[2]))
    elif sys.argv[1:2] == ["--cold"]:
        cold_child(sys.argv[2])
    else:
        main()
