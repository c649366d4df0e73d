"""Golden check: the decode output of a fixed corpus, hashed and compared
against the hashes recorded when the corpus was introduced, so that speed
work cannot change a single result byte unnoticed.

The corpus is 100,000 VINs weighted like real traffic (bench/traffic-mix.tsv:
generate(count * 100, wmi=WMI, year=YEAR) per row) plus malformed inputs of
the kinds the randomized tests draw: truncations, lower case, blanks, I/O/Q,
non-ASCII, wrong check digits, random text. Hashed: decode_batch_json of all
of it (nested and flat), decode_json of a slice, and the repr of the dicts
of decode_batch and decode for a smaller slice (repr shows key order and
bool/int types as well as values).

Results depend on the data month (the downloaded data/vpic.db that the
artifact is built from) and on the calendar year (model-year rules look at
the current year). The recorded hashes therefore name the sha256 of
data/vpic.db and the year they hold for; elsewhere the check reports itself
not comparable instead of failing.

  python3 bench/golden.py            compare (exit 1 on a mismatch)
  python3 bench/golden.py --record   print the values to record below
"""

import hashlib
import os
import random
import sys
import time

import tamberok

HERE = os.path.dirname(os.path.abspath(__file__))
MIX = os.path.join(HERE, "traffic-mix.tsv")
DATA = os.path.join(HERE, "..", "data", "vpic.db")

PER_SAMPLE_VIN = 100  # traffic-mix.tsv counts 1,000 VINs: 100,000 in all
DICT_SLICE = 4_000
JSON_SLICE = 4_000

# Recorded by `golden.py --record` before the decoder's speed work.
RECORDED = {
    "data_sha256": "f9b3118a3d3f7d1c1398eac51ade275c28262b851026ac951c4703e0c280ef69",
    "year": 2026,
    "hashes": {
        "corpus": "e660c9c26041b3ddcb8d71e23c835a4d0411b02485a500a1a3276870961558c0",
        "decode_batch_json nested":
            "4db596dd17d3e2a8d64d5b30ea8219ddfa755b5757fabbea54dc397d8d68c052",
        "decode_json nested": "81f095b7e46e7b70689475a980f903af3066f7ae61aed715917677eb0e165e14",
        "decode_batch nested": "8381932126e5ae3bcf5497d4af186f313d16f97377c36edf9fefeda923410a00",
        "decode nested": "8381932126e5ae3bcf5497d4af186f313d16f97377c36edf9fefeda923410a00",
        "decode_batch_json flat":
            "885490a608f34c50bfc6b9799911205d34f4593cf2cdf4b481c245d50e79c4d3",
        "decode_json flat": "152bc72acbd15f8726be90578370d356cfeff75b5054a144f0a14c1e56acb803",
        "decode_batch flat": "dd037101a72022f2d3febeb76c4721f221ae6e31ca7dff7c411b89e0c066c4e3",
        "decode flat": "dd037101a72022f2d3febeb76c4721f221ae6e31ca7dff7c411b89e0c066c4e3",
    },
}


def traffic_vins():
    """The traffic-weighted corpus, the same on every run."""
    vins = []
    with open(MIX, encoding="utf-8") as f:
        rows = [line.rstrip("\n").split("\t") for line in f
                if line.strip() and not line.startswith("#")]
    assert rows[0] == ["wmi", "year", "count"], rows[0]
    for index, (wmi, year, count) in enumerate(rows[1:]):
        vins += tamberok.generate(int(count) * PER_SAMPLE_VIN, seed=1000 + index, wmi=wmi,
                                  year=int(year))
    return vins


MIXED = [
    "1HGCM82633A004352", "5YJ3E1EA7KF317000", "JH4KA7561PC008269", "1hgcm82633a004352",
    "  1HGCM82633A004352\t", "1HGCM82633A00435", "1HGCM82633A0043521234", "", "X", "1HG",
    "WVWZZZ1JZXW000001", "1M8GDM9AXKP042788", "ÄÖÜ1234567890ABCD", 'AB"\\CDEFGHJKLMNPR',
    "IOQIOQIOQIOQIOQIO", " ", "\t\n", "*****************", "1G1" + "*" * 14,
]
VIN_CHARS = "0123456789ABCDEFGHJKLMNPRSTUVWXYZ* 9&"
ODD_CHARS = "IOQioq*_#|[]-^\"\\\t\n\x00\x1f\x7fÄé€𝔘 "


def malformed_vins(base):
    """Deterministic broken variants of real VINs, and random texts."""
    rng = random.Random(14)
    out = list(MIXED)
    for vin in base:
        kind = rng.randrange(10)
        at = rng.randrange(len(vin))
        if kind == 0:
            out.append(vin[:rng.randrange(len(vin))])
        elif kind == 1:
            out.append(vin.lower() if rng.randrange(2) else vin[:at] + vin[at:].lower())
        elif kind == 2:
            out.append(" " * rng.randrange(3) + vin + rng.choice(["", " ", "\t", "\n "]))
        elif kind == 3:
            out.append(vin[:at] + rng.choice("IOQ") + vin[at + 1:])
        elif kind == 4:
            out.append(vin[:at] + rng.choice(ODD_CHARS) + vin[at + 1:])
        elif kind == 5:
            digit = "0123456789X".replace(vin[8], "")
            out.append(vin[:8] + rng.choice(digit) + vin[9:])
        elif kind == 6:
            out.append(vin + "".join(rng.choice(VIN_CHARS) for _ in range(rng.randrange(1, 8))))
        elif kind == 7:
            out.append(vin[:at] + vin[at + 1:])
        elif kind == 8:
            out.append(vin[:at] + "*" + vin[at + 1:])
        else:
            out.append(vin[:3] + "9" + vin[4:] if len(vin) > 4 else vin)
    for _ in range(len(base)):
        if rng.randrange(2):
            size = rng.randrange(25)
            out.append("".join(chr(rng.choice([rng.randrange(32, 127), rng.randrange(0x80, 0x800),
                                               rng.randrange(0x800, 0xD800),
                                               rng.randrange(0x10000, 0x110000),
                                               rng.randrange(0, 32)]))
                               for _ in range(size)))
        else:
            size = rng.randrange(10, 19)
            out.append("".join(rng.choice(VIN_CHARS) for _ in range(size)))
    return out


def sha(text):
    return hashlib.sha256(text.encode("utf-8", "surrogatepass")).hexdigest()


def hashes():
    traffic = traffic_vins()
    corpus = traffic + malformed_vins(traffic[::50])
    json_slice = corpus[:JSON_SLICE // 2] + corpus[-JSON_SLICE // 2:]
    dict_slice = corpus[:DICT_SLICE // 2] + corpus[-DICT_SLICE // 2:]
    out = {"corpus": sha("\n".join(corpus))}
    for flat in (False, True):
        form = "flat" if flat else "nested"
        out[f"decode_batch_json {form}"] = sha(tamberok.decode_batch_json(corpus, flat=flat))
        out[f"decode_json {form}"] = sha(
            "\n".join(tamberok.decode_json(vin, flat=flat) for vin in json_slice))
        out[f"decode_batch {form}"] = sha(repr(tamberok.decode_batch(dict_slice, flat=flat)))
        out[f"decode {form}"] = sha(
            repr([tamberok.decode(vin, flat=flat) for vin in dict_slice]))
    return len(corpus), out


def data_sha256():
    try:
        with open(DATA, "rb") as f:
            return hashlib.sha256(f.read()).hexdigest()
    except OSError:
        return None


def comparable():
    """Why the recorded hashes do not apply here, or None when they do."""
    try:
        tamberok.multi_valued()
    except BaseException as error:  # the placeholder build raises PanicException
        return f"no real data embedded ({type(error).__name__})"
    if data_sha256() != RECORDED["data_sha256"]:
        return "data/vpic.db is not the data month the hashes were recorded with"
    if time.gmtime().tm_year != RECORDED["year"]:
        return f"the hashes were recorded in {RECORDED['year']}; model-year rules differ now"
    return None


def main(argv):
    if "--record" in argv:
        count, values = hashes()
        print(f"# {count} VINs")
        print(repr({"data_sha256": data_sha256(), "year": time.gmtime().tm_year,
                    "hashes": values}))
        return 0
    reason = comparable()
    if reason:
        print(f"golden: not comparable: {reason}")
        return 0
    start = time.perf_counter()
    count, values = hashes()
    bad = [name for name, value in values.items() if RECORDED["hashes"].get(name) != value]
    took = time.perf_counter() - start
    if bad:
        print(f"golden: MISMATCH over {count} VINs in: {', '.join(bad)}")
        return 1
    print(f"golden: {count} VINs, all {len(values)} hashes equal ({took:.1f} s)")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
