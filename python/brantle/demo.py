"""The demo: a run of the bundled example scenario into a fresh folder, and the picture a
seismologist looks at first (three components of a near, a middle and a far station, and
peak ground acceleration against distance), which every run draws as ``records.png``."""

from __future__ import annotations

import os
from pathlib import Path
from typing import Callable, Sequence

import numpy as np

from .scenario import Scenario, load_example, rupture_distance_km

__all__ = ["COMPONENTS", "plot_records", "rupture_distance_km", "run_demo"]

COMPONENTS = ("090", "000", "UP")
G_CM_S2 = 981.0


def plot_records(title: str, names: Sequence[str], distance_km: np.ndarray, pga_cm_s2: np.ndarray,
                 picks: Sequence[int], picked_records: np.ndarray, dt_s: float):
    """A figure: the three components of the stations ``picks`` (their records are
    ``picked_records``, shaped (3, len(picks), n_time), cm/s²) beside the larger-horizontal
    PGA of every station against rupture distance. Built without pyplot, so it needs no
    display and can be drawn from any thread."""
    from matplotlib.figure import Figure

    t = np.arange(picked_records.shape[2]) * dt_s
    fig = Figure(figsize=(13, 8), layout="constrained")
    grid = fig.add_gridspec(max(1, len(picks)), 2, width_ratios=[1.6, 1])
    for row, k in enumerate(picks):
        ax = fig.add_subplot(grid[row, 0])
        scale = float(np.abs(picked_records[:, row]).max()) or 1.0
        for m, component in enumerate(COMPONENTS):
            ax.plot(t, picked_records[m, row] / scale * 0.45 - m, lw=0.5, color=("C0", "C1", "C2")[m])
            ax.text(t[-1], -m, f" {component}", va="center", fontsize=8)
        ax.set_yticks([])
        ax.set_xlim(t[0], t[-1])
        ax.set_title(f"{names[k]}  {distance_km[k]:.0f} km   peak {scale:.0f} cm/s²", fontsize=9, loc="left")
        if row == len(picks) - 1:
            ax.set_xlabel("time after origin (s)")
    ax = fig.add_subplot(grid[:, 1])
    ax.loglog(distance_km, pga_cm_s2 / G_CM_S2, "o", color="C3")
    if len(names) <= 50:  # beyond that the labels hide the points
        for k, name in enumerate(names):
            ax.annotate(name, (distance_km[k], pga_cm_s2[k] / G_CM_S2), fontsize=7, xytext=(3, 3),
                        textcoords="offset points")
    ax.set_xlabel("rupture distance (km)")
    ax.set_ylabel("PGA, larger horizontal (g)")
    ax.grid(True, which="both", lw=0.3)
    fig.suptitle(title or "brantle scenario")
    return fig


def run_demo(out_dir: str | os.PathLike = Path("out/demo"), *, scenario: Scenario | None = None,
             threads: int | None = None, plots: bool = True, intensity: bool = True,
             progress: Callable[[int], None] | None = None):
    """Run the bundled example (or ``scenario``) into ``out_dir``, replacing what an earlier
    demo left there; returns the :class:`brantle.run.RunResult`."""
    from .run import run_scenario

    return run_scenario(scenario or load_example(), out_dir, threads=threads, overwrite=True, plots=plots,
                        intensity=intensity, progress=progress)
