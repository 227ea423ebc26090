"""FaultSegment and SlipModel: the grids read by logical index in any memory layout, stored row
by row from the top edge, and every refusal with its exact message."""

from __future__ import annotations

import numpy as np
import pytest

import engine_records as engine
from brantle import FaultSegment, SlipModel
from conftest import GRIDS, SCALARS, grids, make_segment, segment_kwargs


def subfaults(segment) -> list[tuple]:
    return [tuple(s.values()) for s in engine.segment(segment)["subfaults"]]


def expected_subfaults(values: dict[str, np.ndarray]) -> list[tuple]:
    rows, columns = values["slip"].shape
    return [tuple(float(values[g][r, c]) for g in GRIDS) for r in range(rows) for c in range(columns)]


def test_grids_become_subfaults_row_by_row_from_the_top_edge():
    values = grids((2, 3))
    stored = engine.segment(FaultSegment(**segment_kwargs(**values)))
    assert (stored["down_dip_count"], stored["along_strike_count"]) == (2, 3)
    assert [tuple(s.values()) for s in stored["subfaults"]] == expected_subfaults(values)
    # Storage entry 4 is row 1, column 1: subfault (i, j) = (2, 2) of the 1-based grid.
    assert stored["subfaults"][4] == {
        "slip": 112.0,
        "rise_time_s": 212.0,
        "rupture_time_s": 312.0,
        "stress_drop_bars": 412.0,
    }
    assert stored["along_strike_offset_km"] == 3 * 0.5 * SCALARS["subfault_length_km"]
    assert stored["subfault_length_km"] == SCALARS["subfault_length_km"]
    assert stored["subfault_width_km"] == SCALARS["subfault_width_km"]


def unaligned(values: np.ndarray) -> np.ndarray:
    """The same values in memory that starts one byte off a float boundary."""
    buffer = bytearray(values.nbytes + 1)
    view = np.frombuffer(buffer, dtype=np.float32, offset=1, count=values.size).reshape(values.shape)
    view[...] = values
    assert not view.flags.aligned
    return view


def strided(values: np.ndarray) -> np.ndarray:
    big = np.zeros((values.shape[0] * 2, values.shape[1] * 3), dtype=np.float32)
    big[::2, ::3] = values
    return big[::2, ::3]


LAYOUTS = {
    "row-major": lambda v: np.ascontiguousarray(v),
    "column-major": lambda v: np.asfortranarray(v),
    "transposed": lambda v: np.ascontiguousarray(v.T).T,
    "strided": strided,
    "reversed": lambda v: np.ascontiguousarray(v[::-1, ::-1])[::-1, ::-1],
    "unaligned": unaligned,
}


@pytest.mark.parametrize("layout", list(LAYOUTS))
def test_any_memory_layout_gives_the_row_major_segment(layout):
    values = grids((3, 4))
    viewed = {name: LAYOUTS[layout](grid) for name, grid in values.items()}
    for name in GRIDS:
        np.testing.assert_array_equal(viewed[name], values[name])
    reference = make_segment(**values)
    assert subfaults(FaultSegment(**segment_kwargs(**viewed))) == subfaults(reference)


def test_broadcast_grid_of_one_row():
    row = np.arange(1, 5, dtype=np.float32)
    values = {name: np.broadcast_to(row, (3, 4)) for name in GRIDS}
    assert subfaults(FaultSegment(**segment_kwargs(**values))) == [(float(v),) * 4 for v in np.tile(row, 3)]


def test_segment_keeps_copies_of_the_grids():
    values = grids((2, 2))
    segment = FaultSegment(**segment_kwargs(**values))
    before = subfaults(segment)
    for grid in values.values():
        grid[...] = -7.0
    assert subfaults(segment) == before


def test_values_other_than_stress_drop_are_not_checked():
    values = grids((1, 3))
    values["slip"][0] = [np.nan, -1.0, np.inf]
    values["rise_time_s"][0, 0] = -5.0
    stored = engine.segment(FaultSegment(**segment_kwargs(dip_deg=np.nan, rake_deg=-720.0, **values)))
    assert np.isnan(stored["dip_deg"]) and stored["rake_deg"] == -720.0
    slips = [s["slip"] for s in stored["subfaults"]]
    assert np.isnan(slips[0]) and slips[1:] == [-1.0, np.inf]
    assert stored["subfaults"][0]["rise_time_s"] == -5.0


def shapes(**overrides) -> dict:
    return {name: np.ones(overrides.get(name, (2, 3)), dtype=np.float32) for name in GRIDS}


@pytest.mark.parametrize(
    "grid_shapes, message",
    [
        (
            shapes(rise_time_s=(3, 2)),
            "slip (2, 3), rise_time_s (3, 2), rupture_time_s (2, 3) and stress_drop_bars (2, 3) must have the "
            "same shape -- they describe the same subfaults",
        ),
        (
            shapes(slip=(1, 1)),
            "slip (1, 1), rise_time_s (2, 3), rupture_time_s (2, 3) and stress_drop_bars (2, 3) must have the "
            "same shape -- they describe the same subfaults",
        ),
        (
            shapes(stress_drop_bars=(0, 3)),
            "slip (2, 3), rise_time_s (2, 3), rupture_time_s (2, 3) and stress_drop_bars (0, 3) must have the "
            "same shape -- they describe the same subfaults",
        ),
        (shapes(slip=(0, 3), rise_time_s=(0, 3), rupture_time_s=(0, 3), stress_drop_bars=(0, 3)),
         "a segment needs at least one subfault; got an empty grid"),
        (shapes(slip=(4, 0), rise_time_s=(4, 0), rupture_time_s=(4, 0), stress_drop_bars=(4, 0)),
         "a segment needs at least one subfault; got an empty grid"),
    ],
    ids=["rise-transposed", "slip-smaller", "stress-empty", "no-rows", "no-columns"],
)
def test_grid_shape_errors(grid_shapes, message):
    with pytest.raises(ValueError) as raised:
        FaultSegment(**segment_kwargs(**grid_shapes))
    assert str(raised.value) == message


STRESS_DROPS = [
    # (row 0, row 1 of a 2 x 2 grid in row-major order) -> the reported value
    ([[1.0, -1.5], [0.0, 1.0]], "-1.5"),
    ([[1.0, 1.0], [0.0, -1.5]], "0"),
    ([[-0.0, 1.0], [1.0, 1.0]], "-0"),
    ([[np.nan, -1.0], [1.0, 1.0]], "NaN"),
    ([[1.0, np.inf], [1.0, 1.0]], "inf"),
    ([[1.0, 1.0], [-np.inf, 1.0]], "-inf"),
    ([[-0.1, 1.0], [1.0, 1.0]], "-0.1"),  # the shortest decimal of the f32, not 0.10000000149
    ([[-1e30, 1.0], [1.0, 1.0]], "-1000000000000000000000000000000"),
    ([[-1e-45, 1.0], [1.0, 1.0]], "-0.000000000000000000000000000000000000000000001"),
    ([[-16777217.0, 1.0], [1.0, 1.0]], "-16777216"),
]


@pytest.mark.parametrize("stress, shown", STRESS_DROPS, ids=[s for _, s in STRESS_DROPS])
def test_first_bad_stress_drop_in_row_major_order(stress, shown):
    values = grids((2, 2))
    values["stress_drop_bars"] = np.array(stress, dtype=np.float32)
    with pytest.raises(ValueError) as raised:
        FaultSegment(**segment_kwargs(**values))
    assert str(raised.value) == f"stress_drop_bars must be positive and finite everywhere; got {shown}"


def test_first_bad_stress_drop_is_found_by_logical_index_in_a_transposed_view():
    logical = np.ones((2, 3), dtype=np.float32)
    logical[0, 2] = -2.0
    logical[1, 0] = -1.0  # earlier in memory order of the column-major copy, later logically
    values = grids((2, 3))
    values["stress_drop_bars"] = np.asfortranarray(logical)
    with pytest.raises(ValueError, match="got -2$"):
        FaultSegment(**segment_kwargs(**values))


def test_tiny_positive_stress_drop_passes():
    values = grids((1, 1))
    values["stress_drop_bars"] = np.array([[1e-40]], dtype=np.float32)  # subnormal, still positive
    assert engine.segment(FaultSegment(**segment_kwargs(**values)))["subfaults"][0]["stress_drop_bars"] > 0


def swapped(values: np.ndarray) -> np.ndarray:
    return values.astype(values.dtype.newbyteorder())


ARRAY_ERRORS = [
    ("slip", [[1.0, 2.0, 3.0], [4.0, 5.0, 6.0]],
     "FaultSegment() argument 'slip' must be a 2-dimensional numpy.ndarray of dtype float32, not list"),
    ("rise_time_s", np.ones((2, 3)),
     "FaultSegment() argument 'rise_time_s' must have dtype float32, not float64 (arrays are not converted)"),
    ("rupture_time_s", np.ones((2, 3), dtype=np.float16),
     "FaultSegment() argument 'rupture_time_s' must have dtype float32, not float16 (arrays are not converted)"),
    ("stress_drop_bars", np.ones((2, 3), dtype=np.int32),
     "FaultSegment() argument 'stress_drop_bars' must have dtype float32, not int32 (arrays are not converted)"),
    ("slip", np.ones(6, dtype=np.float32), "FaultSegment() argument 'slip' must have exactly 2 dimensions, not 1"),
    ("slip", np.ones((1, 2, 3), dtype=np.float32),
     "FaultSegment() argument 'slip' must have exactly 2 dimensions, not 3"),
    ("slip", np.float32(1.0),
     "FaultSegment() argument 'slip' must be a 2-dimensional numpy.ndarray of dtype float32, not numpy.float32"),
    ("slip", swapped(np.ones((2, 3), dtype=np.float32)),
     f"FaultSegment() argument 'slip' must have dtype float32 in native byte order, not the byte-swapped "
     f"{np.dtype(np.float32).newbyteorder().str}; convert it with .astype(numpy.float32)"),
]


@pytest.mark.parametrize("argument, value, message", ARRAY_ERRORS)
def test_grid_type_errors(argument, value, message):
    with pytest.raises(TypeError) as raised:
        FaultSegment(**segment_kwargs(**{argument: value}))
    assert str(raised.value) == message


# --------------------------------------------------------------------------- SlipModel


def test_slip_model_copies_its_segments_in_order():
    first = make_segment((2, 3))
    second = make_segment((1, 4), strike_deg=10.0)
    model = SlipModel((first, second, first))
    assert model.subfault_count == 6 + 4 + 6
    stored = engine.slip_model(model)
    assert stored["subfault_count"] == 16
    assert [s["strike_deg"] for s in stored["segments"]] == [320.0, 10.0, 320.0]
    assert stored["segments"][0] == stored["segments"][2] == engine.segment(first)
    assert stored["segments"][1] == engine.segment(second)
    # The same FaultSegment twice gives two separate copies, neither of them the original.
    addresses = {engine.record(model).segments.items(engine.Segment)[k].subfaults.begin for k in (0, 2)}
    assert len(addresses | {engine.record(first).subfaults.begin}) == 3


def test_slip_model_outlives_its_segments():
    segment = make_segment((2, 3))
    expected = engine.segment(segment)
    model = SlipModel(segments=[segment])
    del segment
    make_segment((2, 3), slip=np.zeros((2, 3), np.float32))
    assert engine.slip_model(model)["segments"] == [expected]


@pytest.mark.parametrize(
    "segments, exception, message",
    [
        ([], ValueError, "a slip model needs at least one segment"),
        ((), ValueError, "a slip model needs at least one segment"),
        ("seg", TypeError,
         "SlipModel() argument 'segments' is a str, and a str cannot be taken as a sequence of FaultSegment objects"),
        (make_segment(), TypeError, "SlipModel() argument 'segments' must be a sequence of FaultSegment objects, not FaultSegment"),
        ({make_segment()}, TypeError, "SlipModel() argument 'segments' must be a sequence of FaultSegment objects, not set"),
        ([make_segment(), 3], TypeError, "SlipModel() argument 'segments': element 1 must be a FaultSegment, not int"),
        ([make_segment(), SlipModel([make_segment()])], TypeError,
         "SlipModel() argument 'segments': element 1 must be a FaultSegment, not SlipModel"),
    ],
    ids=["empty-list", "empty-tuple", "str", "bare-segment", "set", "int-element", "slip-model-element"],
)
def test_slip_model_refusals(segments, exception, message):
    with pytest.raises(exception) as raised:
        SlipModel(segments)
    assert str(raised.value) == message
