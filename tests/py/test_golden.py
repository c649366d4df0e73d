"""The recorded output of the golden corpus (bench/golden.py): 100,000
traffic-weighted VINs and malformed ones decode byte for byte as recorded.
Holds for the data month and calendar year the hashes name; skips elsewhere."""

import importlib.util
import os

import pytest

pytestmark = pytest.mark.usefixtures("real_data")

_PATH = os.path.join(os.path.dirname(__file__), "..", "..", "bench", "golden.py")
_SPEC = importlib.util.spec_from_file_location("golden", _PATH)
golden = importlib.util.module_from_spec(_SPEC)
_SPEC.loader.exec_module(golden)


def test_golden_corpus_decodes_to_the_recorded_hashes_for_the_recorded_data_month_and_year():
    reason = golden.comparable()
    if reason:
        pytest.skip(reason)
    _, values = golden.hashes()
    assert values == golden.RECORDED["hashes"]
