"""The module's surface: docstring, the polarity enumeration and argument conversion."""

import pickle

import pytest

import qor_engine
from qor_engine import Charge, ChargePolarity, Environment, NarrativeSequencer


def test_module_docstring_and_exports():
    assert qor_engine.__doc__ == "Tessivane Engine Python Bindings"
    assert qor_engine.POSITIVE is ChargePolarity.POSITIVE
    assert qor_engine.NEGATIVE is ChargePolarity.NEGATIVE
    assert qor_engine.NEUTRAL == ChargePolarity.NEUTRAL
    for name in ("ChargePolarity", "Charge", "Environment", "NarrativeSequencer"):
        assert isinstance(getattr(qor_engine, name), type)


@pytest.mark.parametrize(
    ("member", "value", "name"),
    [(ChargePolarity.POSITIVE, 0, "POSITIVE"), (ChargePolarity.NEGATIVE, 1, "NEGATIVE"), (ChargePolarity.NEUTRAL, 2, "NEUTRAL")],
)
def test_polarity_members(member, value, name):
    assert int(member) == value
    assert member.value == value
    assert member.name == name
    assert ChargePolarity(value) == member
    assert ChargePolarity.__members__[name] == member
    assert hash(member) == hash(ChargePolarity(value))
    assert pickle.loads(pickle.dumps(member)) == member
    assert member != value  # never equal to a plain int
    assert str(member) == f"ChargePolarity.{name}"


def test_polarity_accepts_any_32_bit_integer():
    odd = ChargePolarity(5)
    assert int(odd) == 5
    assert odd != ChargePolarity.NEUTRAL
    assert pickle.loads(pickle.dumps(odd)).value == 5
    assert ChargePolarity(-(2**31)).value == -(2**31)
    with pytest.raises(TypeError):
        ChargePolarity(2**31)


class Floaty:
    def __float__(self):
        return 2.5


class Indexy:
    def __index__(self):
        return 7


@pytest.mark.parametrize(("given", "stored"), [(2, 2.0), (True, 1.0), (Floaty(), 2.5), (Indexy(), 7.0), (-0.0, -0.0)])
def test_float_parameters_convert(given, stored):
    assert Charge(given, ChargePolarity.POSITIVE, "a").magnitude == stored
    zone = Environment("z")
    zone.add_charge(given, ChargePolarity.POSITIVE, "a")
    zone.add_equals_gate("g", given)
    assert zone.charges[0].magnitude == stored


@pytest.mark.parametrize("given", ["2", None, [1.0], b"1"])
def test_float_parameters_refuse_non_numbers(given):
    with pytest.raises(TypeError):
        Charge(given, ChargePolarity.POSITIVE, "a")
    with pytest.raises(TypeError):
        Environment("z").add_equals_gate("g", given)


@pytest.mark.parametrize(("given", "stored"), [("é", "é"), (b"abc", "abc"), (bytearray(b"xy"), "xy"), ("", "")])
def test_str_parameters_take_str_bytes_and_bytearray(given, stored):
    zone = Environment(given)
    zone.add_charge(1.0, ChargePolarity.POSITIVE, given)
    assert zone.id == stored
    assert zone.charges[0].visual_id == stored


def test_polarity_parameters_take_only_polarities():
    zone = Environment("z")
    with pytest.raises(TypeError):
        Charge(1.0, 0, "a")
    with pytest.raises(TypeError):
        zone.add_charge(1.0, 1, "a")
    for refuse_none in (
        lambda: Charge(1.0, None, "a"),
        lambda: zone.add_charge(1.0, None, "a"),
    ):
        with pytest.raises(RuntimeError):
            refuse_none()
    with pytest.raises(TypeError, match="^polarity must be a ChargePolarity, not NoneType$"):
        Charge(1.0, ChargePolarity.POSITIVE, "a").polarity = None
    assert zone.charges == []


def test_keyword_arguments():
    root = Environment(id="root")
    sub = Environment(id="sub")
    root.add_sub_environment(sub_env=sub)
    root.add_charge(magnitude=1.0, polarity=ChargePolarity.NEGATIVE, visual_id="c")
    root.add_plus_magician(visual_id="p")
    root.add_equals_gate(visual_id="g", target=1.0)
    root.add_inequality_gate(visual_id="j", target=2.0, comparison_type=">")
    charge = Charge(magnitude=1.0, polarity=ChargePolarity.POSITIVE, visual_id="x")
    sequencer = NarrativeSequencer(env=root)
    assert charge.visual_id == "x"
    assert sequencer.current_frame == 0


@pytest.mark.parametrize("method", ["to_json", "add_charge", "add_sub_environment", "add_plus_magician", "add_inequality_gate"])
def test_methods_have_docstrings(method):
    assert getattr(Environment, method).__doc__
