"""elements() and multi_valued() over the element table of the real data."""

import pytest

from tamberok import _tamberok as m

pytestmark = pytest.mark.usefixtures("real_data")

KEYS = ["variable", "element_id", "group_name", "code", "data_type", "decode"]


def test_elements_are_six_key_dicts_of_public_elements_in_ascending_id():
    elements = m.elements()
    assert len(elements) == 140  # the public elements of this data month
    assert all(list(e) == KEYS for e in elements)
    ids = [e["element_id"] for e in elements]
    assert ids == sorted(set(ids))
    assert all(e["decode"] != "" for e in elements)
    assert "NCSA Note" not in {e["variable"] for e in elements} and 186 not in ids


def test_decoded_variables_are_catalogue_variables():
    catalogue = {e["element_id"]: e for e in m.elements()}
    for vin in m.generate(30, seed=11) + ["1HGCM82633A004352", ""]:
        for element in m.decode(vin)["elements"]:
            row = catalogue[element["element_id"]]
            assert [row[k] for k in KEYS] == [element[k] for k in KEYS]


def test_multi_valued_lists_the_public_note_elements_of_this_data_month():
    assert m.multi_valued() == [
        "Note", "Other Restraint System Info", "Other Engine Info", "Other Bus Info",
        "Other Motorcycle Info", "Other Trailer Info", "Active Safety System Note"]
    assert set(m.multi_valued()) <= {e["variable"] for e in m.elements()}


def test_repeated_calls_give_equal_but_new_lists():
    first, second = m.elements(), m.elements()
    assert first == second and first is not second and first[0] is not second[0]
    assert m.multi_valued() == m.multi_valued()
