"""The main job on a scenario: simulate every station on a pool of threads sharing one
:class:`Simulator`, write the records with station metadata to one ``.npz`` file, and draw the
picture a seismologist looks at first (three components of a near, a middle and a far station,
and peak ground acceleration against distance)."""

from __future__ import annotations

import json
import math
import os
import time
from dataclasses import dataclass
from pathlib import Path

import numpy as np

from ._brantle import Simulator
from .scenario import Scenario
from .simulate import simulate_stations

__all__ = ["DemoResult", "rupture_distance_km", "run_demo", "write_records", "plot_records"]

COMPONENTS = ("090", "000", "UP")
EARTH_RADIUS_KM = 6371.0


@dataclass(frozen=True)
class DemoResult:
    records_file: Path
    figure_file: Path | None
    seconds: float
    threads: int


def _subfault_centres(scenario: Scenario) -> np.ndarray:
    """Centres of every subfault as (latitude, longitude, depth_km) rows, on a local flat earth
    around each segment's reference point (good to well under a kilometre over a fault)."""
    rows = []
    for s in scenario.segments:
        strike, dip = math.radians(s.strike_deg), math.radians(s.dip_deg)
        n_dd, n_as = s.slip.shape
        down_dip = (np.arange(n_dd) + 0.5) * s.subfault_width_km
        along = (np.arange(n_as) + 0.5) * s.subfault_length_km - n_as * s.subfault_length_km / 2
        a, d = np.meshgrid(along, down_dip)
        horizontal = d * math.cos(dip)  # down dip points to the right of the strike
        east = a * math.sin(strike) + horizontal * math.cos(strike)
        north = a * math.cos(strike) - horizontal * math.sin(strike)
        km_per_deg = math.pi * EARTH_RADIUS_KM / 180
        lat = s.latitude_deg + north / km_per_deg
        lon = s.longitude_deg + east / (km_per_deg * math.cos(math.radians(s.latitude_deg)))
        depth = s.top_depth_km + d * math.sin(dip)
        rows.append(np.column_stack([lat.ravel(), lon.ravel(), depth.ravel()]))
    return np.concatenate(rows)


def rupture_distance_km(scenario: Scenario, latitude_deg: np.ndarray, longitude_deg: np.ndarray) -> np.ndarray:
    """Distance from each station to the nearest subfault centre, in km (a rupture distance)."""
    centres = _subfault_centres(scenario)
    lat1 = np.radians(np.asarray(latitude_deg, dtype=float))[:, None]
    lon1 = np.radians(np.asarray(longitude_deg, dtype=float))[:, None]
    lat2, lon2 = np.radians(centres[:, 0])[None, :], np.radians(centres[:, 1])[None, :]
    haversine = np.sin((lat2 - lat1) / 2) ** 2 + np.cos(lat1) * np.cos(lat2) * np.sin((lon2 - lon1) / 2) ** 2
    surface_km = 2 * EARTH_RADIUS_KM * np.arcsin(np.sqrt(haversine))
    return np.sqrt(surface_km**2 + centres[None, :, 2] ** 2).min(axis=1)


def write_records(path: Path, scenario: Scenario, records: np.ndarray, distance_km: np.ndarray) -> None:
    """Records and station metadata in one compressed ``.npz``; ``attributes`` is JSON."""
    from . import __version__

    stations = scenario.stations
    attributes = {
        "scenario": scenario.name,
        "scenario_file": str(scenario.file),
        "brantle_version": __version__,
        "units": "cm/s^2",
        "quantity": "acceleration",
        "dims": ["component", "station", "time"],
        "components": list(COMPONENTS),
        "dt_s": scenario.record.dt,
    }
    tmp = path.with_name(path.name + ".partial.npz")
    np.savez_compressed(
        tmp,
        acceleration_cm_s2=records,
        time_s=np.arange(records.shape[2], dtype=np.float64) * np.float64(np.float32(scenario.record.dt)),
        component=np.array(COMPONENTS),
        station=np.array([s.name for s in stations]),
        latitude_deg=np.array([s.latitude_deg for s in stations]),
        longitude_deg=np.array([s.longitude_deg for s in stations]),
        distance_km=distance_km,
        station_seed=np.array([s.seed for s in stations], dtype=np.uint64),
        kappa_s=np.array([s.kappa_s for s in stations]),
        attributes=np.array(json.dumps(attributes)),
    )
    os.replace(tmp, path)  # a reader never sees half a file


def plot_records(path: Path, scenario: Scenario, records: np.ndarray, distance_km: np.ndarray) -> None:
    import matplotlib

    matplotlib.use("Agg")
    import matplotlib.pyplot as plt

    names = [s.name for s in scenario.stations]
    order = np.argsort(distance_km)
    picks = [order[0], order[len(order) // 2], order[-1]] if len(order) >= 3 else list(order)
    t = np.arange(records.shape[2]) * scenario.record.dt
    pga = np.abs(records[:2]).max(axis=(0, 2))  # larger horizontal peak

    fig = plt.figure(figsize=(13, 8), layout="constrained")
    grid = fig.add_gridspec(len(picks), 2, width_ratios=[1.6, 1])
    for row, k in enumerate(picks):
        ax = fig.add_subplot(grid[row, 0])
        scale = np.abs(records[:, k]).max() or 1.0
        for m, component in enumerate(COMPONENTS):
            ax.plot(t, records[m, k] / scale * 0.45 - m, lw=0.5, color=("C0", "C1", "C2")[m])
            ax.text(t[-1], -m, f" {component}", va="center", fontsize=8)
        ax.set_yticks([])
        ax.set_xlim(t[0], t[-1])
        ax.set_title(f"{names[k]}  {distance_km[k]:.0f} km   peak {scale:.0f} cm/s²", fontsize=9, loc="left")
        if row == len(picks) - 1:
            ax.set_xlabel("time after origin (s)")
    ax = fig.add_subplot(grid[:, 1])
    ax.loglog(distance_km, pga / 981.0, "o", color="C3")
    for k in range(len(names)):
        ax.annotate(names[k], (distance_km[k], pga[k] / 981.0), fontsize=7, xytext=(3, 3),
                    textcoords="offset points")
    ax.set_xlabel("rupture distance (km)")
    ax.set_ylabel("PGA, larger horizontal (g)")
    ax.grid(True, which="both", lw=0.3)
    fig.suptitle(scenario.name or "brantle scenario")
    fig.savefig(path, dpi=120)
    plt.close(fig)


def run_demo(scenario: Scenario, out_dir: Path, *, threads: int | None = None, progress: bool = True,
             plot: bool = True) -> DemoResult:
    """Simulate every station of ``scenario`` and write ``records.npz`` (and ``records.png``)
    into ``out_dir``."""
    out_dir.mkdir(parents=True, exist_ok=True)
    built = scenario.build()
    simulator = Simulator(built.config, built.slip_model, built.velocity_model)
    threads = max(1, threads or os.cpu_count() or 1)
    arrays = scenario.station_arrays()

    bar = None
    if progress:
        try:
            from tqdm import tqdm

            bar = tqdm(total=len(scenario.stations), unit="station", desc="simulating", dynamic_ncols=True)
        except ImportError:
            bar = None
    start = time.perf_counter()
    try:
        records = simulate_stations(simulator, arrays, threads=threads, batch_size=1,
                                    progress=bar.update if bar is not None else None)
    finally:
        if bar is not None:
            bar.close()
    seconds = time.perf_counter() - start

    distance_km = rupture_distance_km(scenario, arrays["latitude_deg"], arrays["longitude_deg"])
    records_file = out_dir / "records.npz"
    write_records(records_file, scenario, records, distance_km)
    figure_file = None
    if plot:
        figure_file = out_dir / "records.png"
        plot_records(figure_file, scenario, records, distance_km)
    return DemoResult(records_file, figure_file, seconds, threads)
