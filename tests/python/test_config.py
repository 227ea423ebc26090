"""The configuration classes: the ray set, the path-duration code and HfConfig's copies."""

from __future__ import annotations

import gc

import numpy as np
import pytest

import engine_records as engine
from brantle import HfConfig, PathParameters, RecordParameters, SiteParameters, SourceParameters
from conftest import config_parts

# PathDurationModel in declaration order: Gp2010, Wus, Ena, Bt2014Wus, Bt2015Ena.
GP2010, WUS, ENA, BT2014WUS, BT2015ENA = range(5)


@pytest.mark.parametrize(
    "rayset, codes",
    [
        ([], []),
        ((2, 1, 2), [2, 1, 2]),  # order and repeats kept
        (range(4), [0, 1, 2, 3]),
        (np.array([1, 2], dtype=np.int64), [1, 2]),
        ([True, np.int16(-3)], [1, -3]),  # negative codes are only refused when a ray is traced
    ],
    ids=["empty", "tuple", "range", "ndarray", "bool-and-numpy"],
)
def test_rayset_accepts_any_sequence_of_integers(rayset, codes):
    assert engine.config(PathParameters(rayset=rayset, path_duration_model=0))["rayset"] == codes


@pytest.mark.parametrize(
    "rayset, message",
    [
        ("12", "PathParameters() argument 'rayset' is a str, and a str cannot be taken as a sequence of ray codes"),
        (
            b"\x01\x02",
            "PathParameters() argument 'rayset' is a bytes object, and a bytes object cannot be taken as a sequence "
            "of ray codes",
        ),
        (
            bytearray(b"12"),
            "PathParameters() argument 'rayset' is a bytearray, and a bytearray cannot be taken as a sequence of ray codes",
        ),
        (12, "PathParameters() argument 'rayset' must be a sequence of ray codes, not int"),
        ({1, 2}, "PathParameters() argument 'rayset' must be a sequence of ray codes, not set"),
        ({1: 2}, "PathParameters() argument 'rayset' must be a sequence of ray codes, not dict"),
        ((c for c in [1, 2]), "PathParameters() argument 'rayset' must be a sequence of ray codes, not generator"),
        ([1, 1.5], "PathParameters() argument 'rayset': element 1 must be an integer, not float"),
        ([1, "2"], "PathParameters() argument 'rayset': element 1 must be an integer, not str"),
        ([[1]], "PathParameters() argument 'rayset': element 0 must be an integer, not list"),
    ],
    ids=["str", "bytes", "bytearray", "int", "set", "dict", "generator", "float", "str-element", "nested"],
)
def test_rayset_refusals(rayset, message):
    with pytest.raises(TypeError) as raised:
        PathParameters(rayset=rayset, path_duration_model=0)
    assert str(raised.value) == message


def test_rayset_element_out_of_range():
    with pytest.raises(OverflowError) as raised:
        PathParameters(rayset=[1, 2, 2**31], path_duration_model=0)
    assert str(raised.value) == (
        "PathParameters() argument 'rayset': element 2 is outside the signed 32-bit range "
        "[-2147483648, 2147483647]: 2147483648"
    )


@pytest.mark.parametrize(
    "code, model",
    [(-(2**31), GP2010), (-3, GP2010), (0, GP2010), (1, WUS), (2, ENA), (11, BT2014WUS), (12, BT2015ENA)],
)
def test_path_duration_codes(code, model):
    assert engine.config(PathParameters(rayset=[1, 2], path_duration_model=code))["path_duration"] == model


@pytest.mark.parametrize("code", [3, 7, 10, 13, 2**31 - 1])
def test_unknown_path_duration_codes(code):
    with pytest.raises(ValueError) as raised:
        PathParameters(rayset=[1, 2], path_duration_model=code)
    assert str(raised.value) == f"path_duration_model {code} is not one of 0, 1, 2, 11, 12"


@pytest.mark.parametrize(
    "argument, wrong, message",
    [
        ("source", "path", "HfConfig() argument 'source' must be a SourceParameters, not PathParameters"),
        ("path", "source", "HfConfig() argument 'path' must be a PathParameters, not SourceParameters"),
        ("site", None, "HfConfig() argument 'site' must be a SiteParameters, not NoneType"),
        ("record", "site", "HfConfig() argument 'record' must be a RecordParameters, not SiteParameters"),
    ],
)
def test_hf_config_argument_classes(argument, wrong, message):
    parts = config_parts()
    parts[argument] = parts[wrong] if wrong else None
    with pytest.raises(TypeError) as raised:
        HfConfig(**parts)
    assert str(raised.value) == message


def test_hf_config_holds_copies_of_its_parts():
    parts = config_parts()
    expected = {name: engine.config(part) for name, part in parts.items()}
    config = HfConfig(**parts)
    stored = engine.config(config)
    assert stored == expected
    assert stored["path"]["rayset"] == [2, 1, 2]
    assert stored["path"]["path_duration"] == BT2014WUS
    # The ray list is a copy of its own, which outlives the PathParameters it came from.
    assert engine.record(config).path.rayset.begin != engine.record(parts["path"]).rayset.begin
    del parts
    gc.collect()
    PathParameters(rayset=[9] * 3, path_duration_model=0)  # likely to reuse the freed memory
    assert engine.config(config) == stored


def test_configuration_values_are_not_range_checked():
    # What the engine makes of a zero or negative interval is decided when a simulator is built.
    record = RecordParameters(duration_s=-1.0, dt=0.0)
    assert engine.config(record) == {"duration_s": -1.0, "dt_s": 0.0}
    site = SiteParameters(fmax_hz=-5)
    assert engine.config(site) == {"f_max_hz": -5.0}
