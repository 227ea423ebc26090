"""Figures of intensity measures: PSA spectra and Fourier amplitude spectra of chosen stations,
and any measure of the intensity table against distance.

Every function returns a :class:`matplotlib.figure.Figure` built without pyplot, so nothing
depends on a display or on a global backend, and figures can be made from worker threads; save
one with ``figure.savefig("name.png")`` (rendered by Agg).
"""

from __future__ import annotations

from typing import Sequence

import numpy as np
from matplotlib.figure import Figure

from .intensity import IntensityMeasures, fourier_amplitude

__all__ = ["plot_fourier_spectra", "plot_measure_vs_distance", "plot_psa"]

_COMPONENT_TITLES = ("090 (east)", "000 (north)", "vertical")


def _station_indices(stations: Sequence[int | str], names: Sequence[str] | None, n_station: int) -> list[int]:
    """Indices of ``stations``, given as indices or, with ``names``, as station names."""
    names = list(names) if names is not None else None
    if names is not None and len(names) != n_station:
        raise ValueError(f"need one name per station: {n_station} stations, {len(names)} names")
    indices = []
    for station in stations:
        if isinstance(station, str):
            if names is None or station not in names:
                raise ValueError(f"no station named {station!r}" + ("" if names else " (no names were given)"))
            indices.append(names.index(station))
        else:
            index = int(station)
            if not -n_station <= index < n_station:
                raise ValueError(f"station index {index} out of range for {n_station} stations")
            indices.append(index % n_station)
    if not indices:
        raise ValueError("choose at least one station")
    return indices


def _label(index: int, names: Sequence[str] | None) -> str:
    return str(names[index]) if names is not None else f"station {index}"


def plot_psa(
    measures: IntensityMeasures, stations: Sequence[int | str], names: Sequence[str] | None = None
) -> Figure:
    """RotD50 PSA (g) against period (s) on log axes, one line per chosen station.

    ``stations`` are indices into the measures or, with ``names``, station names.
    """
    chosen = _station_indices(stations, names, measures.n_station)
    figure = Figure(figsize=(6.4, 4.8), layout="constrained")
    ax = figure.add_subplot()
    for index in chosen:
        ax.plot(measures.periods_s, measures.psa_rotd50_g[index], marker=".", label=_label(index, names))
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("period (s)")
    ax.set_ylabel(f"PSA RotD50, {measures.damping:.0%} damping (g)")
    ax.grid(True, which="both", lw=0.3)
    ax.legend(fontsize="small")
    return figure


def plot_fourier_spectra(
    records_cm_s2: np.ndarray, dt_s: float, stations: Sequence[int | str], names: Sequence[str] | None = None
) -> Figure:
    """Fourier amplitude spectra (cm/s) against frequency (Hz) on log axes: one panel per
    component, one line per chosen station. ``records_cm_s2`` is shaped (3, n_station, n_time)."""
    records = np.asarray(records_cm_s2)
    if records.ndim != 3 or records.shape[0] != 3:
        raise ValueError(f"records must be shaped (3, n_station, n_time); got shape {records.shape}")
    chosen = _station_indices(stations, names, records.shape[1])
    frequencies_hz, amplitude = fourier_amplitude(records[:, chosen], dt_s)
    figure = Figure(figsize=(11, 3.8), layout="constrained")
    axes = figure.subplots(1, 3, sharey=True)
    for c, ax in enumerate(axes):
        for j, index in enumerate(chosen):
            # The zero-frequency bin has no place on a log axis.
            ax.plot(frequencies_hz[1:], amplitude[c, j, 1:], lw=0.6, label=_label(index, names))
        ax.set_xscale("log")
        ax.set_yscale("log")
        ax.set_title(_COMPONENT_TITLES[c])
        ax.set_xlabel("frequency (Hz)")
        ax.grid(True, which="both", lw=0.3)
    axes[0].set_ylabel("Fourier amplitude (cm/s)")
    axes[0].legend(fontsize="small")
    return figure


def plot_measure_vs_distance(table: np.ndarray, column: str) -> Figure:
    """One column of :func:`brantle.intensity.intensity_table` against ``distance_km``, on log
    axes. Stations whose value or distance is not positive and finite cannot be drawn on log
    axes; the title says how many were left out."""
    if table.dtype.names is None or "distance_km" not in table.dtype.names:
        raise ValueError("table must be an intensity table with a distance_km column")
    if column not in table.dtype.names or column in ("name", "distance_km"):
        measures = [name for name in table.dtype.names if name not in ("name", "distance_km")]
        raise ValueError(f"no measure {column!r} in the table; its measures are {measures}")
    distance = np.asarray(table["distance_km"], dtype=float)
    value = np.asarray(table[column], dtype=float)
    drawable = np.isfinite(distance) & np.isfinite(value) & (distance > 0) & (value > 0)
    figure = Figure(figsize=(6.4, 4.8), layout="constrained")
    ax = figure.add_subplot()
    ax.plot(distance[drawable], value[drawable], "o", ms=4)
    ax.set_xscale("log")
    ax.set_yscale("log")
    ax.set_xlabel("distance (km)")
    ax.set_ylabel(column)
    left_out = int((~drawable).sum())
    ax.set_title(f"{column} against distance" + (f" ({left_out} stations not positive, left out)" if left_out else ""))
    ax.grid(True, which="both", lw=0.3)
    return figure
