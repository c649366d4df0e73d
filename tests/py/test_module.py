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


SIGNATURES = [
    ("decode", "(vin, *, flat=False)"),
    ("decode_batch", "(vins, *, flat=False)"),
    ("decode_json", "(vin, *, flat=False)"),
    ("decode_batch_json", "(vins, *, flat=False)"),
    ("multi_valued", "()"),
    ("elements", "()"),
    ("generate", "(n, *, seed=0, wmi=None, make=None, year=None, vehicle_type=None)"),
    ("sweep", "(dimensions=None)"),
    ("cover_vins", "()"),
    ("pairwise", "(*, limit=0)"),
    ("seeded", "(*, limit=0)"),
]


@pytest.mark.parametrize("name,signature", SIGNATURES)
def test_text_signature_gives_inspect_signature(name, signature):
    function = getattr(_tamberok, name)
    assert function.__text_signature__ == signature
    assert str(inspect.signature(function)) == signature


# The one-line, the multi-paragraph and the em-dash docstrings.
DOCS = {
    "decode": "Decode a single VIN to a dict.",
    "decode_batch_json": (
        "Decode a batch of VINs to a single JSON array string.\n\n"
        "Decode *and* JSON serialization run in parallel with the GIL released; the\n"
        "caller gets back one string (`json.loads` it for a list equal to\n"
        "`decode_batch`). For large batches this is several times faster than\n"
        "`decode_batch`, which must build a ~15-key dict per element under the GIL."),
    "cover_vins": (
        "The smallest VIN set that exercises every decode behaviour this data month\n"
        "can reach \u2014 computed when the artifact was built, so it costs nothing here.\n\n"
        "Use it as a decoder test corpus: a few hundred VINs that between them touch\n"
        "every resolution rung, error code, conversion and tiebreak the data supports."),
}


@pytest.mark.parametrize("name", sorted(DOCS))
def test_docstring_is_the_text_after_the_signature_line(name):
    assert getattr(_tamberok, name).__doc__ == DOCS[name]


def test_em_dashes_survive_in_every_docstring_that_has_them():
    for name in ("sweep", "cover_vins", "pairwise", "seeded"):
        assert "\u2014" in getattr(_tamberok, name).__doc__
        assert "--" not in getattr(_tamberok, name).__doc__


@pytest.mark.parametrize("name", ["elements", "multi_valued", "cover_vins"])
def test_no_argument_function_refuses_an_argument(name):
    with pytest.raises(TypeError, match=r"takes no arguments \(1 given\)"):
        getattr(_tamberok, name)(1)
