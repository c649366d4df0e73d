"""Argument binding and conversion: the TypeError wordings, the note that
names the parameter, and the integer, boolean and list rules. Every case here
fails before any data is read, so it holds on the placeholder build too."""

import pytest

from tamberok import _tamberok as m

VIN = "1HGCM82633A004352"


def raised(call):
    with pytest.raises(BaseException) as info:
        call()
    error = info.value
    return type(error), str(error), getattr(error, "__notes__", None)


BINDING_ERRORS = [
    (lambda: m.decode(VIN, True), "decode() takes 1 positional arguments but 2 were given"),
    (lambda: m.decode_json(VIN, False, 3),
     "decode_json() takes 1 positional arguments but 3 were given"),
    (lambda: m.pairwise(5), "pairwise() takes 0 positional arguments but 1 was given"),
    (lambda: m.seeded(1, 2), "seeded() takes 0 positional arguments but 2 were given"),
    (lambda: m.sweep(["wmi"], ["pattern"]),
     "sweep() takes from 0 to 1 positional arguments but 2 were given"),
    (lambda: m.generate(1, 2), "generate() takes 1 positional arguments but 2 were given"),
    (lambda: m.decode(VIN, flat=False, fast=True),
     "decode() got an unexpected keyword argument 'fast'"),
    (lambda: m.decode_batch([VIN], vin=VIN),
     "decode_batch() got an unexpected keyword argument 'vin'"),
    (lambda: m.pairwise(seed=1), "pairwise() got an unexpected keyword argument 'seed'"),
    (lambda: m.decode(VIN, vin=VIN), "decode() got multiple values for argument 'vin'"),
    (lambda: m.sweep([], dimensions=[]), "sweep() got multiple values for argument 'dimensions'"),
    (lambda: m.decode(), "decode() missing 1 required positional argument: 'vin'"),
    (lambda: m.decode_batch_json(flat=True),
     "decode_batch_json() missing 1 required positional argument: 'vins'"),
    (lambda: m.generate(seed=3), "generate() missing 1 required positional argument: 'n'"),
]


@pytest.mark.parametrize("call,message", BINDING_ERRORS)
def test_binding_error_is_a_type_error_without_note(call, message):
    assert raised(call) == (TypeError, message, None)


class NumpyBool:
    """Stands in for numpy.bool_: recognised by its type's module and name."""

    def __init__(self, value):
        self.value = value

    def __bool__(self):
        return self.value


NumpyBool.__module__ = "numpy"
NumpyBool.__name__ = "bool_"
NumpyBoolWithoutBool = type("bool", (), {"__module__": "numpy"})
NotNumpyBool = type("bool_", (), {"__module__": "numpyish", "__bool__": lambda self: True})


class Text(str):
    """A str subclass: a text wherever a str is, never a list of texts."""


CONVERSION_ERRORS = [
    (lambda: m.decode(VIN, flat=None), TypeError,
     "'NoneType' object cannot be converted to 'PyBool'", "flat"),
    (lambda: m.decode(VIN, flat=1), TypeError,
     "'int' object cannot be converted to 'PyBool'", "flat"),
    (lambda: m.decode_batch([], flat=0), TypeError,
     "'int' object cannot be converted to 'PyBool'", "flat"),
    (lambda: m.decode(VIN, flat=NotNumpyBool()), TypeError,
     "'bool_' object cannot be converted to 'PyBool'", "flat"),
    (lambda: m.decode(VIN, flat=NumpyBoolWithoutBool()), TypeError,
     "object of type 'bool' does not define a '__bool__' conversion", "flat"),
    (lambda: m.decode(123), TypeError, "'int' object cannot be converted to 'PyString'", "vin"),
    (lambda: m.decode(b"1HG"), TypeError,
     "'bytes' object cannot be converted to 'PyString'", "vin"),
    (lambda: m.decode("\ud800"), UnicodeEncodeError,
     "'utf-8' codec can't encode character '\\ud800' in position 0: surrogates not allowed",
     "vin"),
    (lambda: m.decode_batch(VIN), TypeError, "Can't extract `str` to `Vec`", "vins"),
    (lambda: m.decode_batch_json([VIN, 7]), TypeError,
     "'int' object cannot be converted to 'PyString'", "vins"),
    (lambda: m.decode_batch({VIN: 1}), TypeError,
     "'dict' object cannot be converted to 'Sequence'", "vins"),
    (lambda: m.decode_batch({VIN}), TypeError,
     "'set' object cannot be converted to 'Sequence'", "vins"),
    (lambda: m.decode_batch(None), TypeError,
     "'NoneType' object cannot be converted to 'Sequence'", "vins"),
    (lambda: m.decode_batch(Text(VIN)), TypeError, "Can't extract `str` to `Vec`", "vins"),
    (lambda: m.decode_batch_json(Text(VIN), flat=True), TypeError,
     "Can't extract `str` to `Vec`", "vins"),
    (lambda: m.sweep("wmi"), TypeError, "Can't extract `str` to `Vec`", "dimensions"),
    (lambda: m.sweep(Text("wmi")), TypeError, "Can't extract `str` to `Vec`", "dimensions"),
    (lambda: m.generate(-1), OverflowError, "can't convert negative int to unsigned", "n"),
    (lambda: m.generate(2**64), OverflowError, "int too big to convert", "n"),
    (lambda: m.generate(1.0), TypeError, "'float' object cannot be interpreted as an integer",
     "n"),
    (lambda: m.generate(5, seed=None), TypeError,
     "'NoneType' object cannot be interpreted as an integer", "seed"),
    (lambda: m.generate(5, year=2**31), OverflowError,
     "out of range integral type conversion attempted", "year"),
    (lambda: m.generate(5, vehicle_type=-2**31 - 1), OverflowError,
     "out of range integral type conversion attempted", "vehicle_type"),
    (lambda: m.generate(5, wmi=3), TypeError, "'int' object cannot be converted to 'PyString'",
     "wmi"),
    (lambda: m.pairwise(limit=None), TypeError,
     "'NoneType' object cannot be interpreted as an integer", "limit"),
    (lambda: m.seeded(limit=-1), OverflowError, "can't convert negative int to unsigned",
     "limit"),
]


@pytest.mark.parametrize("call,kind,message,parameter", CONVERSION_ERRORS)
def test_conversion_error_keeps_its_type_and_gains_a_note(call, kind, message, parameter):
    assert raised(call) == (kind, message, [f"while processing '{parameter}'"])


def test_first_failing_conversion_in_declared_order_ends_the_call():
    # Positional parameters first, then keyword-only ones in declared order.
    assert raised(lambda: m.generate(-1, year=2**40, seed=None))[2] == ["while processing 'n'"]
    assert raised(lambda: m.generate(1, year=2**40, seed=None))[2] == ["while processing 'seed'"]


def test_argument_errors_come_before_value_checks():
    assert raised(lambda: m.generate(10**8, wmi=1))[0] is TypeError
    assert raised(lambda: m.sweep(["nope", 1]))[0] is TypeError


VALUE_ERRORS = [
    (lambda: m.generate(10_000_001),
     "n=10000001 is too large; generate at most 10000000 VINs per call"),
    (lambda: m.generate(2**64 - 1, seed=1, wmi="1HG"),
     "n=18446744073709551615 is too large; generate at most 10000000 VINs per call"),
    (lambda: m.sweep(["WMI"]), "unknown dimension: WMI"),
    (lambda: m.sweep(("wmi", "pattern ", "engine")), "unknown dimension: pattern "),
    (lambda: m.sweep(dimensions=["exception", "bogus", "alsobogus"]), "unknown dimension: bogus"),
]


@pytest.mark.parametrize("call,message", VALUE_ERRORS)
def test_bad_values_raise_value_error(call, message):
    assert raised(call) == (ValueError, message, None)
