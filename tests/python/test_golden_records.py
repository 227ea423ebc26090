"""Records pinned to the bit. A station's record is a fixed function of the simulator, the
station and its seed; any change to the order or rounding of the engine's arithmetic, to a
random stream or to a seed derivation changes these hashes. If a change is intended, say so in
the commit and update the hashes; otherwise it is a fault."""

from __future__ import annotations

import hashlib
import io
import os
import subprocess
import sys

import numpy as np
import pytest

import brantle


def two_segment_simulator() -> brantle.Simulator:
    segments = []
    for lon, lat, strike in ((-120.30, 35.80, 320.0), (-120.38, 35.88, 335.0)):
        r, c = np.meshgrid(np.arange(3), np.arange(4), indexing="ij")
        segments.append(brantle.FaultSegment(
            longitude_deg=lon, latitude_deg=lat, strike_deg=strike, dip_deg=80.0, rake_deg=170.0,
            top_depth_km=1.0, subfault_length_km=2.0, subfault_width_km=2.0,
            hypocentre_along_strike_km=1.0, hypocentre_down_dip_km=4.0,
            slip=(50.0 + 30.0 * r + 20.0 * c).astype(np.float32),
            rise_time_s=np.ones((3, 4), np.float32),
            rupture_time_s=(0.7 * c + 0.6 * r).astype(np.float32),
            stress_drop_bars=(40.0 + 5.0 * c).astype(np.float32),
        ))
    crust = brantle.VelocityModel1D(
        thickness_km=np.array([1.5, 4.0, 14.0, 14.0, 5.0], np.float32),
        vp_km_s=np.array([3.4, 5.5, 6.2, 6.7, 8.0]), vsh_km_s=np.array([1.9, 3.2, 3.6, 3.9, 4.6]),
        density_g_cm3=np.array([2.2, 2.6, 2.75, 2.9, 3.3]),
        quality_factor_p=np.array([150, 400, 700, 900, 1000], np.float32),
        quality_factor_s=np.array([75, 200, 350, 450, 500], np.float32),
        vs_moho_km_s=4.3,
    )
    config = brantle.HfConfig(
        source=brantle.SourceParameters(corner_frequency_constant=1.8, corner_frequency_alpha=0.2,
                                        rupture_velocity_fraction=0.8, rupture_velocity_shallow=0.7,
                                        rupture_velocity_deep=1.2, rupture_velocity_sigma=0.1),
        path=brantle.PathParameters(rayset=[1, 2, 0, 3], path_duration_model=11),
        site=brantle.SiteParameters(fmax_hz=20.0),
        record=brantle.RecordParameters(duration_s=30.0, dt=0.01),
    )
    return brantle.Simulator(config, brantle.SlipModel(segments), crust)


STATIONS = {
    "latitude_deg": np.array([35.85, 36.05, 35.60], np.float32),
    "longitude_deg": np.array([-120.25, -120.10, -120.70], np.float32),
    "station_seed": np.array([1, 2**63 + 12345, 987654321987654321], np.uint64),
    "kappa_s": np.array([0.04, 0.0, 0.03], np.float32),  # the middle one takes the fmax high cut
    "q_frequency_exponent": np.array([0.6, 0.5, 0.0], np.float32),
}

GOLDEN = {
    "modern": ["7046525504ec0a88", "61e83c8d2ff6fe19", "767e002bae60a673"],
    "fixture": ["cf05df07b650223f", "5a9c614c98e8b5bb", "5f8139c694f2f065"],
}


def record_hashes(records: np.ndarray) -> list[str]:
    return [hashlib.sha256(np.ascontiguousarray(records[:, k]).tobytes()).hexdigest()[:16]
            for k in range(records.shape[1])]


def records_in(mode: str) -> np.ndarray:
    if mode == "modern" and "QUILLON_FIXTURE_RNG" not in os.environ:
        return two_segment_simulator().run_stations(**STATIONS)
    env = {k: v for k, v in os.environ.items() if k != "QUILLON_FIXTURE_RNG"}
    if mode == "fixture":
        env["QUILLON_FIXTURE_RNG"] = "1"
    code = ("import sys, numpy as np; sys.path.insert(0, %r); import test_golden_records as t; "
            "np.save(sys.stdout.buffer, t.two_segment_simulator().run_stations(**t.STATIONS))"
            % os.path.dirname(__file__))
    out = subprocess.run([sys.executable, "-c", code], env=env, capture_output=True, check=True, timeout=120)
    return np.load(io.BytesIO(out.stdout))


@pytest.mark.parametrize("mode", list(GOLDEN))
def test_records_are_pinned(mode):
    records = records_in(mode)
    assert records.shape == (3, 3, 3000)
    assert np.isfinite(records).all() and (records != 0).any(axis=2).all()
    assert record_hashes(records) == GOLDEN[mode]
