"""VelocityModel1D: exact dtypes, contiguous aligned arrays, one entry per layer, and the
Moho truncation with its errors."""

from __future__ import annotations

import math

import numpy as np
import pytest

import engine_records as engine
from brantle import VelocityModel1D
from conftest import velocity_kwargs


@pytest.mark.parametrize(
    "vs_moho, depths, thicknesses, vs",
    [
        (3.5, [1, 3, 3], [1, 2, 0], [1.0, 2.0, 3.5]),  # the third layer becomes the half-space
        (10.0, [1, 3, 6, 10], [1, 2, 3, 0], [1.0, 2.0, 3.5, 4.0]),  # nothing reaches the threshold
        (math.nan, [1, 3, 6, 10], [1, 2, 3, 0], [1.0, 2.0, 3.5, 4.0]),  # NaN never reaches it
        (3.5000001, [1, 3, 6, 6], [1, 2, 3, 0], [1.0, 2.0, 3.5, 4.0]),  # compared in f64, not f32
    ],
)
def test_truncation_at_the_moho(vs_moho, depths, thicknesses, vs):
    model = VelocityModel1D(**velocity_kwargs(vs_moho_km_s=vs_moho))
    layers = engine.layers(model)
    assert model.layer_count == len(layers) == len(depths)
    assert [layer["depth_km"] for layer in layers] == depths
    assert [layer["thickness_km"] for layer in layers] == thicknesses
    assert [layer["vsh_km_s"] for layer in layers] == vs


def test_layer_values_are_carried_unchanged():
    kwargs = velocity_kwargs(
        vs=(1.0, 2.0, 3.0),
        vs_moho_km_s=10.0,
        vp_km_s=np.array([1.1, 2.2000000000000002, 3.3]),
        density_g_cm3=np.array([2.1, 2.4, 2.7]),
        quality_factor_p=np.array([0.0, 150.5, 1e30], dtype=np.float32),  # quality factors, not inverted
        quality_factor_s=np.array([-1.0, 75.25, 500.0], dtype=np.float32),
    )
    layers = engine.layers(VelocityModel1D(**kwargs))
    assert [layer["vp_km_s"] for layer in layers] == [1.1, 2.2000000000000002, 3.3]  # f64 exactly
    assert [layer["density_g_cm3"] for layer in layers] == [2.1, 2.4, 2.7]
    assert [layer["attenuation_p"] for layer in layers] == [0.0, 150.5, float(np.float32(1e30))]
    assert [layer["attenuation_s"] for layer in layers] == [-1.0, 75.25, 500.0]


def test_model_keeps_copies_of_the_arrays():
    kwargs = velocity_kwargs(vs_moho_km_s=10.0)
    model = VelocityModel1D(**kwargs)
    before = engine.layers(model)
    for value in kwargs.values():
        if isinstance(value, np.ndarray):
            value[...] = 0
    assert engine.layers(model) == before


EMPTY = {name: np.array([], dtype=velocity_kwargs()[name].dtype) for name in (
    "thickness_km", "vp_km_s", "vsh_km_s", "density_g_cm3", "quality_factor_p", "quality_factor_s")}

VALUE_ERRORS = [
    (velocity_kwargs(vs_moho_km_s=1.0),
     "the first layer already reaches vs_moho = 1 km/s, so there is no model above the Moho to simulate"),
    (velocity_kwargs(vs_moho_km_s=0.5),
     "the first layer already reaches vs_moho = 0.5 km/s, so there is no model above the Moho to simulate"),
    # The threshold is kept in double precision: 0.1, not 0.10000000149011612.
    (velocity_kwargs(vs=(4.0, 5.0), vs_moho_km_s=0.1),
     "the first layer already reaches vs_moho = 0.1 km/s, so there is no model above the Moho to simulate"),
    (velocity_kwargs(vs=(math.inf,), vs_moho_km_s=1e300),
     "the first layer already reaches vs_moho = 1" + "0" * 300 + " km/s, so there is no model above the Moho "
     "to simulate"),
    (velocity_kwargs(**EMPTY), "velocity model has no layers"),
    (velocity_kwargs(vsh_km_s=np.array([1.0, 2.0]), vs=(1.0, 2.0, 3.0)),
     "every layer property must have one entry per layer. Got lengths [3, 3, 2, 3, 3, 3] for (thickness_km, "
     "vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s)"),
    (velocity_kwargs(quality_factor_s=np.ones(0, dtype=np.float32), vs=(1.0,)),
     "every layer property must have one entry per layer. Got lengths [1, 1, 1, 1, 1, 0] for (thickness_km, "
     "vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s)"),
]


@pytest.mark.parametrize("kwargs, message", VALUE_ERRORS)
def test_value_errors(kwargs, message):
    with pytest.raises(ValueError) as raised:
        VelocityModel1D(**kwargs)
    assert str(raised.value) == message


NOT_CONTIGUOUS = "The given array is not contiguous or is misaligned."


def misaligned(values: np.ndarray) -> np.ndarray:
    buffer = bytearray(values.nbytes + 1)
    view = np.frombuffer(buffer, dtype=values.dtype, offset=1, count=values.size)
    view[...] = values
    return view


TYPE_ERRORS = [
    ("thickness_km", np.arange(1, 5, dtype=np.float64),
     "VelocityModel1D() argument 'thickness_km' must have dtype float32, not float64 (arrays are not converted)"),
    ("vp_km_s", np.ones(4, dtype=np.float32),
     "VelocityModel1D() argument 'vp_km_s' must have dtype float64, not float32 (arrays are not converted)"),
    ("density_g_cm3", np.ones(4, dtype=np.longdouble),
     "VelocityModel1D() argument 'density_g_cm3' must have dtype float64, not float128 (arrays are not converted)"),
    ("quality_factor_p", [100.0, 200.0, 300.0, 400.0],
     "VelocityModel1D() argument 'quality_factor_p' must be a 1-dimensional numpy.ndarray of dtype float32, not list"),
    ("quality_factor_s", np.ones((4, 1), dtype=np.float32),
     "VelocityModel1D() argument 'quality_factor_s' must have exactly 1 dimension, not 2"),
    ("vsh_km_s", np.ones(4).astype(np.dtype(np.float64).newbyteorder()),
     f"VelocityModel1D() argument 'vsh_km_s' must have dtype float64 in native byte order, not the byte-swapped "
     f"{np.dtype(np.float64).newbyteorder().str}; convert it with .astype(numpy.float64)"),
    ("vs_moho_km_s", "4.3", "VelocityModel1D() argument 'vs_moho_km_s' must be a real number, not str"),
    # Memory layout, checked after every argument converted.
    ("vp_km_s", np.arange(8, dtype=np.float64)[::2], NOT_CONTIGUOUS),
    ("vp_km_s", np.arange(4, dtype=np.float64)[::-1], NOT_CONTIGUOUS),
    ("thickness_km", misaligned(np.arange(1, 5, dtype=np.float32)), NOT_CONTIGUOUS),
    ("density_g_cm3", misaligned(np.ones(4)), NOT_CONTIGUOUS),
]


@pytest.mark.parametrize("argument, value, message", TYPE_ERRORS)
def test_type_and_layout_errors(argument, value, message):
    with pytest.raises(TypeError) as raised:
        VelocityModel1D(**velocity_kwargs(**{argument: value}))
    assert str(raised.value) == message


def test_layout_is_checked_before_lengths():
    # A strided array of the wrong length: the layout error comes first.
    with pytest.raises(TypeError, match="^The given array is not contiguous or is misaligned.$"):
        VelocityModel1D(**velocity_kwargs(quality_factor_p=np.ones(20, dtype=np.float32)[::2]))


def test_empty_and_single_element_views_pass_the_layout_check():
    # An empty or one-element slice of a strided view is contiguous whatever its stride.
    kwargs = velocity_kwargs(vs=(1.0,), vs_moho_km_s=4.0)
    kwargs["vp_km_s"] = np.arange(10.0)[3::5][:1]
    assert VelocityModel1D(**kwargs).layer_count == 1
    empty = {name: np.asarray(value)[::2][:0] if isinstance(value, np.ndarray) else value
             for name, value in velocity_kwargs().items()}
    with pytest.raises(ValueError, match="^velocity model has no layers$"):
        VelocityModel1D(**empty)
