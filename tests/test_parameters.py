"""The Parameters class: defaults, setter conversions and its text form."""
import math

import numpy as np
import pytest

import malven

FIELDS = [
    ("n_passes", 2), ("e1", 2.0), ("e2", 5.0), ("gap_open", 3.0), ("gap_extend", 0.5),
    ("use_secondary", True), ("max_iter", 100), ("cutoff_dist", 10.0), ("score_cutoff", 2.0),
    ("convergence", 0.01), ("verbosity", 1),
]


def test_defaults():
    p = malven.Parameters()
    for name, value in FIELDS:
        got = getattr(p, name)
        assert got == value and type(got) is type(value), name
    assert repr(p) == "Parameters(n_passes=2, e1=2, e2=5, gap_open=3, use_secondary=true)"


def test_setters_store_converted_values():
    p = malven.Parameters()
    p.e1 = 3
    assert p.e1 == 3.0 and isinstance(p.e1, float)
    p.max_iter = 4294967295
    assert p.max_iter == 4294967295
    p.use_secondary = np.bool_(False)
    assert p.use_secondary is False
    p.gap_open = 2.5
    p.use_secondary = False
    assert repr(p) == "Parameters(n_passes=2, e1=3, e2=5, gap_open=2.5, use_secondary=false)"
    p.convergence = float("nan")
    assert math.isnan(p.convergence)
    p.n_passes = 0
    p.gap_extend = -1.0
    assert (p.n_passes, p.gap_extend) == (0, -1.0)


@pytest.mark.parametrize(
    "name, value, exc, message",
    [
        ("max_iter", 3.7, TypeError, None),
        ("max_iter", -1, OverflowError, "out of range integral type conversion attempted"),
        ("max_iter", 4294967296, OverflowError, "out of range integral type conversion attempted"),
        ("n_passes", 2**70, OverflowError, "out of range integral type conversion attempted"),
        ("use_secondary", 1, TypeError, None),
        ("use_secondary", None, TypeError, None),
        ("e1", "x", TypeError, None),
        ("e1", None, TypeError, None),
    ],
)
def test_setter_failures_leave_instance_unchanged(name, value, exc, message):
    p = malven.Parameters()
    before = getattr(p, name)
    with pytest.raises(exc) as info:
        setattr(p, name, value)
    if message:
        assert str(info.value) == message
    assert getattr(p, name) == before


def test_float_setter_failure_names_value_and_keeps_cause():
    p = malven.Parameters()
    with pytest.raises(TypeError) as info:
        p.e2 = "x"
    assert str(info.value).startswith("argument 'value': ")
    assert isinstance(info.value.__cause__, TypeError)


def test_integer_setter_failure_is_the_interpreters_own():
    p = malven.Parameters()
    with pytest.raises(TypeError) as info:
        p.max_iter = 3.7
    assert not str(info.value).startswith("argument")


@pytest.mark.parametrize("name", [n for n, _ in FIELDS])
def test_attributes_cannot_be_deleted(name):
    with pytest.raises(AttributeError, match="^can't delete attribute$"):
        delattr(malven.Parameters(), name)


@pytest.mark.parametrize(
    "value, text",
    [(2.0, "2"), (0.5, "0.5"), (0.01, "0.01"), (1e-7, "0.0000001"), (1e21, "1000000000000000000000"),
     (-3.25, "-3.25"), (0.1 + 0.2, "0.30000000000000004"), (float("nan"), "NaN"),
     (float("inf"), "inf"), (float("-inf"), "-inf"), (123456.789, "123456.789")],
)
def test_repr_floats_are_shortest_positional(value, text):
    p = malven.Parameters()
    p.e1 = value
    assert repr(p).split(", ")[1] == f"e1={text}"


def test_instances_are_independent():
    a, b = malven.Parameters(), malven.Parameters()
    a.e1 = 9
    assert b.e1 == 2.0


class OnlyIndex:
    """A number with an index conversion and no float conversion."""

    def __index__(self):
        return 7


class OnlyFloat:
    def __float__(self):
        return 2.5


@pytest.mark.parametrize("value, expected", [(OnlyIndex(), 7.0), (OnlyFloat(), 2.5),
                                             (np.int64(4), 4.0), (True, 1.0)])
def test_float_settings_take_index_and_float_conversions(value, expected):
    # Both interpreters must accept the same objects: PyPy's own float conversion has no
    # index fallback, so the module makes it.
    p = malven.Parameters()
    p.e1 = value
    assert p.e1 == expected and type(p.e1) is float
    hits = malven.scan_database(malven.Domain("q"), [], score_cutoff=value)
    assert hits == []


def test_field_helpers_cover_every_setting_and_round_trip():
    from keldascope import parameters
    assert parameters.field_names() == tuple(name for name, _ in FIELDS)
    p = malven.Parameters()
    p.e1, p.max_iter, p.use_secondary = 1.5, 7, False
    d = parameters.to_dict(p)
    assert d == {**dict(FIELDS), "e1": 1.5, "max_iter": 7, "use_secondary": False}
    back = parameters.from_dict(d)
    assert parameters.to_dict(back) == d
    assert parameters.to_dict(parameters.coerce({"e2": 4.0}))["e2"] == 4.0
    assert parameters.coerce(None) is None and parameters.to_dict(None) is None
    with pytest.raises(TypeError, match="e3"):
        parameters.from_dict({"e3": 1.0})
    with pytest.raises(TypeError):
        parameters.from_dict({"max_iter": 1.5})  # the class's own conversion
    with pytest.raises(TypeError):
        parameters.coerce("defaults")
