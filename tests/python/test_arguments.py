"""Argument matching and conversion, common to every constructor: keyword-only and required
parameters, checked before anything is converted; conversion in declaration order; floats to
f32, integers by the index protocol into i32."""

from __future__ import annotations

import math
from fractions import Fraction

import numpy as np
import pytest

import engine_records as engine
from brantle import (
    FaultSegment,
    HfConfig,
    PathParameters,
    RecordParameters,
    SiteParameters,
    SlipModel,
    SourceParameters,
    VelocityModel1D,
)
from conftest import config_parts, make_segment, segment_kwargs, velocity_kwargs

SEGMENT = make_segment()

MATCHING_ERRORS = [
    (
        lambda: SiteParameters(0.5),
        "SiteParameters() takes no positional arguments (1 given); pass every argument by keyword, "
        "for example fmax_hz=...",
    ),
    (
        lambda: RecordParameters(40.0, 0.01),
        "RecordParameters() takes no positional arguments (2 given); pass every argument by keyword, "
        "for example duration_s=...",
    ),
    (lambda: SiteParameters(), "SiteParameters() missing 1 required keyword-only argument: 'fmax_hz'"),
    (lambda: RecordParameters(dt=0.01), "RecordParameters() missing 1 required keyword-only argument: 'duration_s'"),
    (
        lambda: HfConfig(),
        "HfConfig() missing 4 required keyword-only arguments: 'source', 'path', 'site' and 'record'",
    ),
    (
        lambda: PathParameters(rayset=[1]),
        "PathParameters() missing 1 required keyword-only argument: 'path_duration_model'",
    ),
    (
        lambda: SiteParameters(fmax_hz=25.0, fmax=25.0),
        "SiteParameters() got an unexpected keyword argument 'fmax'; did you mean 'fmax_hz'?",
    ),
    (
        lambda: SiteParameters(fmax_hz=25.0, colour="red"),
        "SiteParameters() got an unexpected keyword argument 'colour'",
    ),
    (
        lambda: FaultSegment(**segment_kwargs(), hypocenter_down_dip_km=4.0),
        "FaultSegment() got an unexpected keyword argument 'hypocenter_down_dip_km'; "
        "did you mean 'hypocentre_down_dip_km'?",
    ),
    (lambda: SlipModel(), "SlipModel() missing 1 required argument: 'segments'"),
    (lambda: SlipModel([SEGMENT], [SEGMENT]), "SlipModel() takes 1 positional argument but 2 were given"),
    (lambda: SlipModel([SEGMENT], segments=[SEGMENT]), "SlipModel() got multiple values for argument 'segments'"),
    (lambda: SlipModel(segment=[SEGMENT]), "SlipModel() got an unexpected keyword argument 'segment'; did you mean 'segments'?"),
    # Matching comes first: a bad value next to an unknown keyword is not looked at.
    (
        lambda: SiteParameters(fmax_hz="fast", extra=1),
        "SiteParameters() got an unexpected keyword argument 'extra'",
    ),
    (
        lambda: VelocityModel1D(**{k: v for k, v in velocity_kwargs().items() if k != "vs_moho_km_s"}, thickness=1),
        "VelocityModel1D() got an unexpected keyword argument 'thickness'; did you mean 'thickness_km'?",
    ),
]


@pytest.mark.parametrize("call, message", MATCHING_ERRORS)
def test_argument_matching_errors(call, message):
    with pytest.raises(TypeError) as raised:
        call()
    assert str(raised.value) == message


def test_positional_and_keyword_forms_of_slip_model_agree():
    assert SlipModel([SEGMENT]).subfault_count == SlipModel(segments=[SEGMENT]).subfault_count == 6


# --------------------------------------------------------------------------- conversion order

CONVERSION_ORDER = [
    # (call, exception, message): the first failing argument in declaration order is reported.
    (
        lambda: RecordParameters(dt="b", duration_s="a"),
        TypeError,
        "RecordParameters() argument 'duration_s' must be a real number, not str",
    ),
    (
        lambda: FaultSegment(**segment_kwargs(strike_deg=None, slip=[[1.0]])),
        TypeError,
        "FaultSegment() argument 'strike_deg' must be a real number, not NoneType",
    ),
    (
        lambda: FaultSegment(**segment_kwargs(rupture_time_s=np.zeros((2, 3)), slip=np.zeros(3, np.float32))),
        TypeError,
        "FaultSegment() argument 'slip' must have exactly 2 dimensions, not 1",
    ),
    # Array types before the grid shapes, shapes before the stress drops.
    (
        lambda: FaultSegment(**segment_kwargs(slip=np.zeros((1, 1), np.float32), stress_drop_bars=np.zeros((2, 3), np.float64))),
        TypeError,
        "FaultSegment() argument 'stress_drop_bars' must have dtype float32, not float64 (arrays are not converted)",
    ),
    (
        lambda: PathParameters(path_duration_model=2.5, rayset=[1.5]),
        TypeError,
        "PathParameters() argument 'rayset': element 0 must be an integer, not float",
    ),
    # Types of all arrays and the Moho threshold before the memory layout.
    (
        lambda: VelocityModel1D(**velocity_kwargs(vp_km_s=np.zeros(8)[::2], vs_moho_km_s="deep")),
        TypeError,
        "VelocityModel1D() argument 'vs_moho_km_s' must be a real number, not str",
    ),
    (
        lambda: HfConfig(**{**config_parts(), "record": None, "site": None}),
        TypeError,
        "HfConfig() argument 'site' must be a SiteParameters, not NoneType",
    ),
]


@pytest.mark.parametrize("call, exception, message", CONVERSION_ORDER)
def test_first_failing_argument_in_declaration_order(call, exception, message):
    with pytest.raises(exception) as raised:
        call()
    assert str(raised.value) == message


# --------------------------------------------------------------------------- floats


class OnlyIndex:
    def __index__(self):
        return 7


F32 = lambda x: float(np.float32(x))  # noqa: E731

FLOATS = [
    (25, 25.0),
    (True, 1.0),
    (40.96, F32(40.96)),
    (0.1, F32(0.1)),
    (np.float64(0.1), F32(0.1)),
    (np.float32(0.1), F32(0.1)),
    (np.int64(12), 12.0),
    (Fraction(1, 3), F32(1 / 3)),
    (OnlyIndex(), 7.0),
    (1e39, math.inf),
    (-1e39, -math.inf),
    (3.4028235e38, F32(3.4028235e38)),  # the largest f32 stays finite
    (1e-46, 0.0),  # below half the smallest subnormal
    (-1e-46, -0.0),
    (math.nan, math.nan),
    (2**100, F32(2.0**100)),
]


@pytest.mark.parametrize("value, stored", FLOATS, ids=[repr(v) for v, _ in FLOATS])
def test_float_arguments_round_to_nearest_f32(value, stored):
    site = SiteParameters(fmax_hz=value)
    assert engine.same_float(engine.record(site).f_max_hz, stored)


@pytest.mark.parametrize(
    "value, exception, message",
    [
        ("25", TypeError, "SiteParameters() argument 'fmax_hz' must be a real number, not str"),
        (None, TypeError, "SiteParameters() argument 'fmax_hz' must be a real number, not NoneType"),
        ([25.0], TypeError, "SiteParameters() argument 'fmax_hz' must be a real number, not list"),
        (1 + 2j, TypeError, "SiteParameters() argument 'fmax_hz' must be a real number, not complex"),
        (10**400, OverflowError, "SiteParameters() argument 'fmax_hz' is too large to convert to float"),
    ],
)
def test_float_arguments_refused(value, exception, message):
    with pytest.raises(exception) as raised:
        SiteParameters(fmax_hz=value)
    assert str(raised.value) == message
    assert raised.value.__cause__ is not None  # the interpreter's own explanation is kept


def test_float_conversion_errors_from_user_code_pass_through():
    class Broken:
        def __float__(self):
            raise ZeroDivisionError("no value")

    with pytest.raises(ZeroDivisionError, match="no value"):
        SiteParameters(fmax_hz=Broken())


def test_every_scalar_lands_in_its_field():
    source = SourceParameters(
        corner_frequency_constant=1.5,
        corner_frequency_alpha=2.5,
        rupture_velocity_fraction=3.5,
        rupture_velocity_shallow=4.5,
        rupture_velocity_deep=5.5,
        rupture_velocity_sigma=6.5,
    )
    assert engine.config(source) == {
        "czero": 1.5,
        "calpha": 2.5,
        "rupture_velocity": {"frac": 3.5, "shallow": 4.5, "deep": 5.5, "rv_sig1": 6.5},
    }
    record = RecordParameters(duration_s=40.96, dt=0.01)
    assert engine.config(record) == {"duration_s": F32(40.96), "dt_s": F32(0.01)}

    values = {name: float(k + 0.25) for k, name in enumerate(engine.SEGMENT_FLOATS_AFTER_COUNTS[:-1])}
    stored = engine.segment(FaultSegment(**segment_kwargs(longitude_deg=-1.25, latitude_deg=-2.25, **values)))
    assert (stored["fault_lon_deg"], stored["fault_lat_deg"]) == (-1.25, -2.25)
    assert {name: stored[name] for name in values} == values


# --------------------------------------------------------------------------- integers

INTEGERS_ACCEPTED = [
    (0, 0),
    (True, 1),
    (False, 0),
    (np.int64(2), 2),
    (np.uint8(11), 11),
    (OnlyIndex(), 7),
    (2**31 - 1, 2**31 - 1),
    (-(2**31), -(2**31)),
]


@pytest.mark.parametrize("value, code", INTEGERS_ACCEPTED, ids=[repr(v) for v, _ in INTEGERS_ACCEPTED])
def test_integer_arguments_by_the_index_protocol(value, code):
    path = PathParameters(rayset=[value], path_duration_model=0)
    assert engine.config(path)["rayset"] == [code]


@pytest.mark.parametrize(
    "value, exception, message",
    [
        (1.0, TypeError, "PathParameters() argument 'path_duration_model' must be an integer, not float"),
        (np.float64(1.0), TypeError, "PathParameters() argument 'path_duration_model' must be an integer, not numpy.float64"),
        ("1", TypeError, "PathParameters() argument 'path_duration_model' must be an integer, not str"),
        (None, TypeError, "PathParameters() argument 'path_duration_model' must be an integer, not NoneType"),
        (
            2**31,
            OverflowError,
            "PathParameters() argument 'path_duration_model' is outside the signed 32-bit range "
            "[-2147483648, 2147483647]: 2147483648",
        ),
        (
            -(2**31) - 1,
            OverflowError,
            "PathParameters() argument 'path_duration_model' is outside the signed 32-bit range "
            "[-2147483648, 2147483647]: -2147483649",
        ),
        (
            2**70,
            OverflowError,
            "PathParameters() argument 'path_duration_model' is outside the signed 32-bit range "
            "[-2147483648, 2147483647]: 1180591620717411303424",
        ),
    ],
)
def test_integer_arguments_refused(value, exception, message):
    with pytest.raises(exception) as raised:
        PathParameters(rayset=[1], path_duration_model=value)
    assert str(raised.value) == message
