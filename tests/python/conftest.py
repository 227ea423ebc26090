"""Shared builders for the Python tests. The tests import the installed package (they run from
tests/python, so the source tree's python/ folder is not on the path)."""

from __future__ import annotations

import sys
from pathlib import Path

import numpy as np
import pytest

sys.path.insert(0, str(Path(__file__).parent))  # engine_records

import brantle  # noqa: E402

SCALARS = {
    "longitude_deg": -120.25,
    "latitude_deg": 35.75,
    "strike_deg": 320.0,
    "dip_deg": 90.0,
    "rake_deg": 0.0,
    "top_depth_km": 1.0,
    "subfault_length_km": 2.0,
    "subfault_width_km": 2.5,
    "hypocentre_along_strike_km": 3.0,
    "hypocentre_down_dip_km": 4.0,
}
GRIDS = ("slip", "rise_time_s", "rupture_time_s", "stress_drop_bars")


def grids(shape=(2, 3)) -> dict[str, np.ndarray]:
    """Four float32 grids whose every value says which grid, row and column it is:
    grid g (1-4), row r, column c holds g*100 + r*10 + c + 1 (all positive, so the stress
    drop is valid)."""
    rows, columns = shape
    r, c = np.meshgrid(np.arange(rows), np.arange(columns), indexing="ij")
    return {name: (100.0 * (g + 1) + 10.0 * r + c + 1).astype(np.float32) for g, name in enumerate(GRIDS)}


def segment_kwargs(shape=(2, 3), **changes) -> dict:
    kwargs = dict(SCALARS)
    kwargs.update(grids(shape))
    kwargs.update(changes)
    return kwargs


def make_segment(shape=(2, 3), **changes) -> brantle.FaultSegment:
    return brantle.FaultSegment(**segment_kwargs(shape, **changes))


def velocity_kwargs(vs=(1.0, 2.0, 3.5, 4.0), vs_moho_km_s=3.5, **changes) -> dict:
    n = len(vs)
    kwargs = {
        "thickness_km": np.arange(1, n + 1, dtype=np.float32),
        "vp_km_s": np.array(vs, dtype=np.float64) * 1.75,
        "vsh_km_s": np.array(vs, dtype=np.float64),
        "density_g_cm3": np.linspace(2.2, 3.3, n),
        "quality_factor_p": np.arange(100, 100 + 10 * n, 10, dtype=np.float32),
        "quality_factor_s": np.arange(50, 50 + 10 * n, 10, dtype=np.float32),
        "vs_moho_km_s": vs_moho_km_s,
    }
    kwargs.update(changes)
    return kwargs


def config_parts() -> dict:
    return {
        "source": brantle.SourceParameters(
            corner_frequency_constant=1.8,
            corner_frequency_alpha=0.2,
            rupture_velocity_fraction=0.8,
            rupture_velocity_shallow=0.7,
            rupture_velocity_deep=1.0,
            rupture_velocity_sigma=0.1,
        ),
        "path": brantle.PathParameters(rayset=[2, 1, 2], path_duration_model=11),
        "site": brantle.SiteParameters(fmax_hz=25.0),
        "record": brantle.RecordParameters(duration_s=40.96, dt=0.01),
    }


# One instance of every class, built from valid arguments.
INSTANCES = {
    "FaultSegment": lambda: make_segment(),
    "SlipModel": lambda: brantle.SlipModel([make_segment()]),
    "VelocityModel1D": lambda: brantle.VelocityModel1D(**velocity_kwargs()),
    "SourceParameters": lambda: config_parts()["source"],
    "PathParameters": lambda: config_parts()["path"],
    "SiteParameters": lambda: config_parts()["site"],
    "RecordParameters": lambda: config_parts()["record"],
    "HfConfig": lambda: brantle.HfConfig(**config_parts()),
    "Simulator": lambda: brantle.Simulator(
        brantle.HfConfig(**config_parts()),
        brantle.SlipModel([make_segment()]),
        brantle.VelocityModel1D(**velocity_kwargs()),
    ),
}


@pytest.fixture(params=list(INSTANCES))
def instance(request):
    return INSTANCES[request.param]()
