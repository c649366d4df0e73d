"""The corpus functions as seen through the module: argument defaults and
forms, and the shape of what they return. Their algorithms have their own
tests in the core."""

import re

import pytest

from tamberok import _tamberok as m

pytestmark = pytest.mark.usefixtures("real_data")

VIN_TEXT = re.compile(r"[A-HJ-NPR-Z0-9]{17}")


def test_generate_treats_none_as_absent_is_reproducible_and_may_give_nothing():
    plain = m.generate(25)
    assert plain == m.generate(25, seed=0, wmi=None, make=None, year=None, vehicle_type=None)
    assert plain == m.generate(n=25)
    assert len(plain) == 25 and all(VIN_TEXT.fullmatch(vin) for vin in plain)
    assert m.generate(25, seed=1) == m.generate(25, seed=1) != plain
    assert m.generate(0) == []
    assert m.generate(10, wmi="no such wmi") == [] == m.generate(10, make="No Such Make Anywhere")
    # The ends of the signed 32-bit range are accepted (and match no schema).
    assert m.generate(10, year=2**31 - 1) == [] == m.generate(10, year=-2**31)
    assert m.generate(10, vehicle_type=2**31 - 1) == [] == m.generate(10, vehicle_type=-2**31)


def test_sweep_none_is_all_six_dimensions_in_order_and_requests_concatenate_with_repeats():
    everything = m.sweep()
    assert m.sweep(None) == everything == m.sweep(dimensions=None)
    assert everything == m.sweep(["wmi", "pattern", "engine", "vspec", "exception", "default"])
    wmi, engine = m.sweep(["wmi"]), m.sweep(dimensions=("engine",))
    assert m.sweep(["wmi", "engine", "wmi"]) == wmi + engine + wmi
    assert m.sweep([]) == []


@pytest.mark.parametrize("corpus", [m.pairwise, m.seeded])
def test_limit_defaults_to_zero_and_stops_between_schemas(corpus):
    first_schema = corpus(limit=1)
    assert first_schema and all(VIN_TEXT.fullmatch(vin) for vin in first_schema)
    longer = corpus(limit=len(first_schema) + 1)
    assert longer[:len(first_schema)] == first_schema and len(longer) > len(first_schema)
    assert corpus(limit=2**64 - 1) == corpus() == corpus(limit=0)


def test_cover_vins_are_the_same_list_on_every_call():
    first = m.cover_vins()
    assert first == m.cover_vins() and first is not m.cover_vins()
    assert all(type(vin) is str for vin in first)
