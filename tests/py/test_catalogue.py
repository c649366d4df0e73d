"""elements() and multi_valued() over the element table of the real data."""

import pytest

from tamberok import _tamberok as m

pytestmark = pytest.mark.usefixtures("real_data")

KEYS = ["variable", "element_id", "group_name", "code", "data_type", "decode"]


def test_elements_are_six_key_dicts_in_ascending_element_id():
    elements = m.elements()
    assert elements
    assert all(list(e) == KEYS for e in elements)
    ids = [e["element_id"] for e in elements]
    assert ids == sorted(set(ids))
    assert all(e["decode"] != "" for e in elements)


def test_elements_omit_the_excluded_ncsa_note_in_this_data_month():
    variables = {e["variable"] for e in m.elements()}
    assert "NCSA Note" not in variables
    assert 186 not in {e["element_id"] for e in m.elements()}


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


def test_multi_valued_names_are_catalogue_variables():
    variables = {e["variable"] for e in m.elements()}
    assert set(m.multi_valued()) <= variables


def test_repeated_calls_give_equal_but_new_lists():
    first, second = m.elements(), m.elements()
    assert first == second and first is not second and first[0] is not second[0]
    assert m.multi_valued() == m.multi_valued()
