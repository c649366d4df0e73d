"""Result dicts share the strs and ints that repeat between results. The JSON
forms build no Python objects but one str, so they are the reference that a
shared value must always equal."""

import gc
import importlib.util
import json
import os
import sys

import pytest

import tamberok
from tamberok import _tamberok as m

from conftest import MIXED_VINS, run_python

pytestmark = pytest.mark.usefixtures("real_data")

VIN = "1HGCM82633A004352"
PACKAGE_PATH = os.path.dirname(os.path.dirname(tamberok.__file__))
# The longest text a module keeps, and the bytes of all it keeps together.
LONGEST_SHARED = 512
SHARED_BYTES = 2**20


def suggested_vin(result):
    [element] = [e for e in result["elements"] if e["variable"] == "Suggested VIN"]
    return element


def many_vins():
    # Many makes and years, then the same VINs with one position changed, so
    # that texts come and go in the cache between them.
    vins = m.generate(1500, seed=7) + MIXED_VINS
    return vins + [v[:5] + "Z" + v[6:] for v in vins[:500]]


@pytest.mark.parametrize("flat", [False, True])
def test_dicts_of_many_different_vins_equal_their_json(flat):
    vins = many_vins()
    batch = m.decode_batch(vins, flat=flat)
    for vin, in_batch in zip(vins, batch):
        expected = json.loads(m.decode_json(vin, flat=flat))
        assert m.decode(vin, flat=flat) == expected, vin
        assert in_batch == expected, vin


def test_equal_texts_from_different_fields_are_one_str():
    first, second = m.decode(VIN), m.decode(VIN + "X")
    assert first["wmi"] is second["wmi"]
    vehicle_type = next(e for e in first["elements"] if e["variable"] == "Vehicle Type")
    assert vehicle_type["keys"] == first["wmi"] == "1HG"
    assert vehicle_type["keys"] is first["wmi"]
    # The suggested VIN of an over-long input is its value and attribute id.
    suggested = suggested_vin(second)
    assert suggested["value"] == VIN + "!"
    assert suggested["value"] is suggested["attribute_id"]
    flat = m.decode(VIN, flat=True)["attributes"]
    assert flat["Make"] is next(e["value"] for e in first["elements"] if e["variable"] == "Make")


# Flat multi-valued values of this data month: several items, two equal
# items, one item.
MULTI_VALUED = [
    ("1E919AAAXWA731111", "Other Engine Info", ["Brushless motor", "motor power =350W", "=1Hp"]),
    ("5Z6AAAARXBA111111", "Other Restraint System Info",
     ["2nd row outboard 3-point manual belts", "2nd row center 3-point manual belts"]),
    ("1A9AA3AA8WA494111", "Other Engine Info", ["Net Brake Horse Power: 3000 or less"] * 2),
    ("YV1AAAAR0AA111111", "Other Restraint System Info",
     ["3 Point Seat Belt on all designated seating positions"]),
]


@pytest.mark.parametrize("vin,variable,items", MULTI_VALUED)
def test_items_of_flat_multi_valued_values_of_this_data_month_are_shared_strs(vin, variable, items):
    first = m.decode(vin, flat=True)["attributes"][variable]
    again = m.decode(vin, flat=True)["attributes"][variable]
    # Five VINs: a batch on the pool, its results turned into dicts in pieces.
    in_batch = [r["attributes"][variable] for r in m.decode_batch([vin] * 5, flat=True)]
    nested = [e["value"] for e in m.decode(vin)["elements"] if e["variable"] == variable]
    assert first == again == nested == items
    assert in_batch == [items] * 5
    # Each result has a list of its own, of the same strs.
    lists = [first, again] + in_batch
    assert len({id(values) for values in lists}) == len(lists)
    holders = {"again": again, "nested": nested}
    holders.update({f"batch {k}": values for k, values in enumerate(in_batch)})
    for i, item in enumerate(first):
        fresh = [name for name, values in holders.items() if values[i] is not item]
        if first[items.index(item)] is not item:  # equal items of one list too
            fresh.append("an equal item before it")
        assert fresh == [], (i, item)


@pytest.mark.parametrize("extra,shared", [
    (LONGEST_SHARED - 18, True),
    (LONGEST_SHARED - 17, True),
    (LONGEST_SHARED - 16, False),
    (LONGEST_SHARED + 100, False),
])
def test_texts_up_to_the_longest_kept_are_shared_and_longer_ones_are_new(extra, shared):
    # Each position past the seventeenth becomes one "!" of the suggested VIN.
    vin = VIN + "X" * extra
    one, two = suggested_vin(m.decode(vin)), suggested_vin(m.decode(vin))
    assert one["value"] == two["value"] == VIN + "!" * extra
    assert len(one["value"]) == 17 + extra
    assert (one["value"] is two["value"]) == shared


def test_texts_beyond_ascii_are_equal_in_every_result():
    values = [next(e["value"] for e in m.decode("WDBEA51AXKA111111")["elements"]
                   if e["variable"] == "Plant State") for _ in range(3)]
    assert values == ["BADEN-WÜRTTEMBERG"] * 3


def test_results_stay_right_once_the_cache_has_taken_all_the_bytes_it_may():
    # Distinct suggested VINs of 400 characters, four megabytes of them.
    vins = [f"{VIN[:11]}{n:06d}" + "X" * 383 for n in range(10_000)]
    gc.collect()
    before = sys.getallocatedblocks()
    for start in range(0, len(vins), 1000):
        m.decode_batch(vins[start:start + 1000])
    gc.collect()
    # The cache now holds strs of at most a megabyte, each one block, and
    # has let go of every str it dropped to make room.
    assert sys.getallocatedblocks() - before < SHARED_BYTES // 400 + 300
    for vin in vins[::997] + many_vins()[::50]:
        assert m.decode(vin) == json.loads(m.decode_json(vin)), vin
        assert m.decode(vin, flat=True) == json.loads(m.decode_json(vin, flat=True)), vin


@pytest.mark.parametrize("change", [
    lambda e: e.update(value="changed", extra=1),
    lambda e: e.pop("variable"),
    lambda e: e.clear(),
    lambda e: e.setdefault("group_name", None) and e.__delitem__("keys"),
])
def test_changing_an_element_dict_changes_no_other_result(change):
    expected = json.loads(m.decode_json(VIN))
    first, second = m.decode(VIN), m.decode(VIN)
    for element in first["elements"]:
        change(element)
    assert second == expected and m.decode(VIN) == expected
    assert m.decode_batch([VIN] * 2) == [expected] * 2
    assert all(type(e) is dict and list(e) == list(f)
               for e, f in zip(m.decode(VIN)["elements"], expected["elements"]))


def test_a_str_given_out_and_dropped_again_keeps_its_count_of_references():
    text = suggested_vin(m.decode(VIN + "XX"))["value"]
    references = sys.getrefcount(text)
    for _ in range(100):
        m.decode(VIN + "XX")
        m.decode_batch([VIN + "XX"] * 3, flat=True)
    assert sys.getrefcount(text) == references


def fresh_module():
    spec = importlib.util.find_spec("tamberok._tamberok")
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def test_a_decode_that_the_collector_runs_inside_another_gives_the_same_results():
    # With a threshold of one, every dict the conversion makes starts a
    # collection, whose callback converts a result of its own on the same
    # module, starting from empty caches.
    module = fresh_module()
    vins = m.generate(30, seed=11) + [VIN + "XY"]
    expected = [json.loads(m.decode_json(v)) for v in vins]
    inner, failures = [], []

    def callback(phase, info):
        if phase == "start" and len(inner) < 200:
            i = len(inner) % len(vins)
            try:
                inner.append((i, module.decode(vins[i])))
            except BaseException as error:  # the collector would only print it
                failures.append(error)
                inner.append((i, None))

    threshold = gc.get_threshold()
    gc.callbacks.append(callback)
    gc.set_threshold(1)
    try:
        outer = [module.decode(v) for v in vins]
    finally:
        gc.set_threshold(*threshold)
        gc.callbacks.remove(callback)
    assert outer == expected
    # Up to 3.11 a collection starts at an allocation, so most inner decodes
    # run in the middle of an outer conversion; from 3.12 on collections
    # start only between bytecodes, here after each outer call.
    assert failures == [] and len(inner) > (100 if sys.version_info < (3, 12) else 10)
    assert all(result == expected[i] for i, result in inner)


# Reloading the module keeps it as it is. A second instance, made from the
# same file without going through sys.modules, has caches of its own;
# dropping either instance leaves the other and every result made by either
# intact.
SECOND_INSTANCE = r"""
import gc, importlib.util, json, sys
import tamberok
from tamberok import _tamberok as first
before = first.decode("1HGCM82633A004352")
names = list(first.__all__)
assert importlib.reload(first) is first and first.__all__ == names
assert first.decode("1HGCM82633A004352") == before
spec = importlib.util.find_spec("tamberok._tamberok")
second = importlib.util.module_from_spec(spec)
spec.loader.exec_module(second)
assert second is not first and second.decode is not first.decode
VIN = "1HGCM82633A004352"
def suggested_vin(result):
    return next(e for e in result["elements"] if e["variable"] == "Suggested VIN")
vins = first.generate(300, seed=3) + [VIN + "X" * 40]
expected = [json.loads(first.decode_json(v)) for v in vins]
kept = [second.decode(v) for v in vins] + first.decode_batch(vins)
text = suggested_vin(kept[len(vins) - 1])["value"]
held = sys.getrefcount(text)
del second
gc.collect()
# The second instance's cache no longer holds the text.
assert sys.getrefcount(text) == held - 1, (sys.getrefcount(text), held)
assert kept == expected + expected
third = importlib.util.module_from_spec(spec)
spec.loader.exec_module(third)
assert [third.decode(v) for v in vins] == expected
assert first.decode_batch(vins, flat=True) == third.decode_batch(vins, flat=True)
del first, third, tamberok
sys.modules.pop("tamberok._tamberok")
sys.modules.pop("tamberok")
gc.collect()
assert kept == expected + expected
print("ok")
"""


def test_a_second_instance_of_the_module_has_caches_of_its_own_and_frees_them():
    assert run_python(SECOND_INSTANCE, PACKAGE_PATH).split() == ["ok"]
