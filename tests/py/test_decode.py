"""decode, decode_json, decode_batch and decode_batch_json on the real data."""

import gc
import json
import sys
import threading

import pytest
from hypothesis import HealthCheck, given, settings
from hypothesis import strategies as st

from tamberok import _tamberok as m

from conftest import MIXED_VINS
from test_args import NumpyBool

pytestmark = pytest.mark.usefixtures("real_data")

VIN = "1HGCM82633A004352"
HEAD = ["vin", "wmi", "descriptor", "model_year", "error_codes", "check_digit_valid",
        "corrected_vin"]
ELEMENT_KEYS = ["group_name", "variable", "value", "element_id", "attribute_id", "code",
                "data_type", "decode", "source", "pattern_id", "vin_schema_id", "keys",
                "created_on", "wmi_id", "to_be_qced"]


def test_dicts_have_the_head_keys_then_elements_or_attributes_in_order():
    result = m.decode(VIN)
    assert list(result) == HEAD + ["elements"]
    assert [result[key] for key in HEAD] == [VIN, "1HG", "1HGCM826*3A", 2003, [0], True, ""]
    for element in result["elements"]:
        assert list(element) == ELEMENT_KEYS
        assert type(element["to_be_qced"]) is bool and type(element["element_id"]) is int
    flat = m.decode(VIN, flat=True)
    assert list(flat) == HEAD + ["attributes"]
    assert [flat["attributes"][k] for k in ("Make", "Model Year")] == ["HONDA", "2003"]


def test_multi_valued_attribute_is_a_list_even_with_one_value():
    names = set(m.multi_valued())
    for vin in MIXED_VINS:
        for name, value in m.decode(vin, flat=True)["attributes"].items():
            assert isinstance(value, list) == (name in names), (vin, name)


def test_result_without_model_year_gives_none():
    nested, flat = m.decode(""), m.decode("", flat=True)
    assert nested["model_year"] is None and flat["model_year"] is None
    assert nested["error_codes"] == flat["error_codes"] == [6, 7, 11]


@pytest.mark.parametrize("flat", [False, True])
def test_flat_accepts_explicit_booleans_and_numpy_bool(flat):
    expected = m.decode(VIN, flat=flat)
    assert m.decode(vin=VIN, flat=flat) == expected
    assert m.decode(VIN, flat=NumpyBool(flat)) == expected
    assert m.decode(VIN) == m.decode(VIN, flat=False)


@pytest.mark.parametrize("flat", [False, True])
def test_json_forms_load_to_the_dicts_in_input_order(flat):
    for vin in MIXED_VINS:
        assert json.loads(m.decode_json(vin, flat=flat)) == m.decode(vin, flat=flat), vin
    vins = MIXED_VINS + m.generate(40, seed=7)
    batch = m.decode_batch(vins, flat=flat)
    assert json.loads(m.decode_batch_json(vins, flat=flat)) == batch
    assert batch == [m.decode(vin, flat=flat) for vin in vins]
    assert m.decode_batch_json([VIN], flat=flat) == "[" + m.decode_json(VIN, flat=flat) + "]"


def test_empty_batches_give_empty_list_and_empty_array():
    assert m.decode_batch([]) == [] == m.decode_batch((), flat=True)
    assert m.decode_batch_json([]) == "[]"


def test_batch_accepts_any_sequence_of_str_and_repeats_give_equal_new_dicts():
    class Vins:
        def __len__(self):
            raise RuntimeError("a failing length only costs the reservation")

        def __getitem__(self, i):
            if i >= 2:
                raise IndexError
            return VIN

    expected = [m.decode(VIN)] * 2
    assert m.decode_batch((VIN, VIN)) == expected
    first, second = m.decode_batch(Vins())
    assert [first, second] == expected and first is not second


def test_keys_are_the_same_interned_objects_across_calls_and_forms():
    nested, flat = m.decode(VIN), m.decode(VIN, flat=True)
    batch = m.decode_batch([VIN])[0]
    for a, b in zip(nested, batch):
        assert a is b
    for a, b in zip(list(nested)[:7], flat):
        assert a is b
    element_keys = [list(e) for e in nested["elements"] + batch["elements"]]
    assert all(k is element_keys[0][i] for keys in element_keys for i, k in enumerate(keys))


def test_keys_are_interned_strs():
    nested, flat = m.decode(VIN), m.decode_batch([VIN], flat=True)[0]
    keys = list(nested) + list(flat) + [k for e in nested["elements"] for k in e]
    assert [k for k in keys if sys.intern(k) is not k] == []


@pytest.mark.parametrize("flat", [False, True])
def test_flat_attributes_keep_the_order_of_first_appearance_in_every_form(flat):
    for vin in MIXED_VINS:
        nested = m.decode(vin)
        names = list(dict.fromkeys(e["variable"] for e in nested["elements"]))
        items = list(m.decode(vin, flat=True)["attributes"].items())
        assert [name for name, _ in items] == names, vin
        assert list(json.loads(m.decode_json(vin, flat=True))["attributes"].items()) == items
        assert list(m.decode_batch([vin], flat=True)[0]["attributes"].items()) == items
        loaded = json.loads(m.decode_batch_json([vin], flat=True))[0]
        assert list(loaded["attributes"].items()) == items


@pytest.mark.parametrize("flat", [False, True])
def test_dict_batch_leaves_the_collector_as_it_found_it(flat):
    assert gc.isenabled()
    m.decode_batch([VIN] * 3, flat=flat)
    assert gc.isenabled()
    gc.disable()
    try:
        m.decode_batch([VIN] * 3, flat=flat)
        assert not gc.isenabled()
    finally:
        gc.enable()


def test_element_texts_are_cached_strs_shared_between_results_of_one_thread():
    one = {e["element_id"]: e for e in m.decode(VIN)["elements"]}
    two = {e["element_id"]: e for e in m.decode_batch([VIN, "1HGCM82633A004353"])[1]["elements"]}
    shared = one.keys() & two.keys()
    assert shared
    for element_id in shared:
        for key in ("group_name", "variable", "code", "data_type", "decode"):
            assert one[element_id][key] is two[element_id][key]


def test_a_thread_that_cached_element_texts_can_exit():
    # Its cache is torn down without the interpreter lock; the references it
    # held are released later by a thread that has the lock.
    for _ in range(3):
        worker = threading.Thread(target=lambda: m.decode_batch([VIN] * 10))
        worker.start()
        worker.join()
    assert m.decode(VIN)["elements"] == m.decode_batch([VIN])[0]["elements"]


def test_bad_item_in_a_batch_decodes_nothing():
    with pytest.raises(TypeError):
        m.decode_batch([VIN, None, VIN])


VIN_LIKE = st.text(alphabet=st.characters(blacklist_categories=("Cs",)), max_size=24) | \
    st.text(alphabet="0123456789ABCDEFGHJKLMNPRSTUVWXYZ* 9&", min_size=10, max_size=18)


# No deadline and no check of how fast examples are made: both measure the
# machine's load rather than the module.
@settings(max_examples=150, deadline=None, database=None,
          suppress_health_check=[HealthCheck.too_slow])
@given(vins=st.lists(VIN_LIKE, max_size=6), flat=st.booleans())
def test_any_text_decodes_and_its_json_loads_to_the_same_value(vins, flat):
    batch = m.decode_batch(vins, flat=flat)
    assert json.loads(m.decode_batch_json(vins, flat=flat)) == batch
    for vin, result in zip(vins, batch):
        assert json.loads(m.decode_json(vin, flat=flat)) == result
