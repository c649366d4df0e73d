"""The module's face: names, version, docstrings and text signatures."""

import inspect

import pytest

import tamberok
from tamberok import _tamberok

NAMES = ["decode", "decode_batch", "decode_json", "decode_batch_json", "multi_valued",
         "elements", "generate", "sweep", "cover_vins", "pairwise", "seeded", "__version__"]


def test_all_lists_the_functions_then_version_and_the_package_reexports_them():
    assert _tamberok.__all__ == NAMES == tamberok.__all__
    assert _tamberok.__version__ == "0.0.6" == tamberok.__version__
    assert not hasattr(_tamberok, "GENERATE_MAX")
    for name in NAMES[:-1]:
        assert getattr(tamberok, name) is getattr(_tamberok, name)
        assert getattr(_tamberok, name).__self__ is _tamberok


# Every function: its text signature and its docstring, exactly.
FUNCTIONS = [
    ("decode", "(vin, *, flat=False)", "Decode a single VIN to a dict."),
    ("decode_batch", "(vins, *, flat=False)",
     "Decode a batch of VINs to a list of dicts.\n\n"
     "The decode work runs in parallel with the GIL released; only the final\n"
     "marshalling of results into Python dicts holds the GIL."),
    ("decode_json", "(vin, *, flat=False)",
     "Decode a single VIN to a JSON object string (same shape as `decode`)."),
    ("decode_batch_json", "(vins, *, flat=False)",
     "Decode a batch of VINs to a single JSON array string.\n\n"
     "Decode *and* JSON serialization run in parallel with the GIL released; the\n"
     "caller gets back one string (`json.loads` it for a list equal to\n"
     "`decode_batch`). For large batches this is several times faster than\n"
     "`decode_batch`, which must build a ~15-key dict per element under the GIL."),
    ("multi_valued", "()", "The variable names whose `flat=True` value is always a list."),
    ("elements", "()",
     "The static element table: one `(variable, element_id, group_name, code,\n"
     "data_type, decode)` dict per public element, for callers that want to pin to\n"
     "element ids rather than the vPIC variable names (which NHTSA renames between\n"
     "data releases)."),
    ("generate", "(n, *, seed=0, wmi=None, make=None, year=None, vehicle_type=None)",
     "Generate `n` valid VINs, deterministic for a given `seed`.\n\n"
     "Each VIN comes from a real WMI, a schema that WMI uses, and one of that\n"
     "schema's patterns, so it decodes to real attributes rather than to an\n"
     "unknown-manufacturer error. Filters are conjunctive; `vehicle_type` is a\n"
     "VehicleType row id (2 = passenger car, 7 = MPV). Returns fewer than `n` only\n"
     "when the filter matches nothing. Raises `ValueError` when `n` exceeds\n"
     "`GENERATE_MAX`."),
    ("sweep", "(dimensions=None)",
     "One VIN per row of every requested data dimension \u2014 the brute-force list.\n\n"
     "`dimensions` names any of `wmi`, `pattern`, `engine`, `vspec`, `exception`,\n"
     "`default`; omit it for all six. This is large (the `pattern` dimension alone\n"
     "is ~545k VINs), so ask for one dimension at a time unless you want the lot."),
    ("cover_vins", "()",
     "The smallest VIN set that exercises every decode behaviour this data month\n"
     "can reach \u2014 computed when the artifact was built, so it costs nothing here.\n\n"
     "Use it as a decoder test corpus: a few hundred VINs that between them touch\n"
     "every resolution rung, error code, conversion and tiebreak the data supports."),
    ("pairwise", "(*, limit=0)",
     "Every pair of descriptor character-classes each schema can distinguish.\n\n"
     "The full output space cannot be enumerated \u2014 elements driven by disjoint\n"
     "descriptor positions vary independently, so their values multiply. This is\n"
     "the strongest coverage that is finite: strength-2 covering arrays, which buy\n"
     "the interactions the decoder's own logic turns on (dedup, tiebreaks, an\n"
     "element read while resolving a sibling) at roughly 3x the row sweep."),
    ("seeded", "(*, limit=0)",
     "Every decoding rule matched *and* every 2-way descriptor interaction covered,\n"
     "in one corpus.\n\n"
     "Each rule's own key seeds a VIN \u2014 the positions it pins stay pinned, so the\n"
     "rule is guaranteed to match \u2014 and the positions it leaves free are chosen to\n"
     "knock out outstanding class pairs. Cheaper than sweeping and pairing\n"
     "separately, and stronger per VIN: the freed positions make sibling rules\n"
     "co-match instead of being padding chosen so nothing else does."),
]


def test_the_table_names_every_function_once():
    assert [name for name, _, _ in FUNCTIONS] == NAMES[:-1]


@pytest.mark.parametrize("name,signature", [(n, s) for n, s, _ in FUNCTIONS])
def test_text_signature_gives_inspect_signature(name, signature):
    function = getattr(_tamberok, name)
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature


@pytest.mark.parametrize("name,doc", [(n, d) for n, _, d in FUNCTIONS])
def test_docstring_is_the_text_after_the_signature_line(name, doc):
    assert getattr(_tamberok, name).__doc__ == doc


def test_em_dashes_survive_in_every_docstring_that_has_them():
    for name in ("sweep", "cover_vins", "pairwise", "seeded"):
        assert "\u2014" in getattr(_tamberok, name).__doc__
        assert "--" not in getattr(_tamberok, name).__doc__


@pytest.mark.parametrize("name", ["elements", "multi_valued", "cover_vins"])
def test_no_argument_function_refuses_an_argument(name):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(_tamberok, name)(1)
