"""Intensity measures of three-component acceleration records, station by station.

Records are acceleration in cm/s², shaped ``(3, n_station, n_time)`` with the components
ordered 090 (east), 000 (north), vertical, sampled every ``dt_s`` seconds: the layout
:func:`brantle.simulate.simulate_stations` returns. From them :func:`intensity_measures`
computes, per station:

=====================  ============  ===========================================================
measure                unit          definition
=====================  ============  ===========================================================
PGA                    cm/s²         largest absolute sample, per component; the larger
                                     horizontal; RotD50 of the two horizontals
PGV                    cm/s          the same of the velocity (trapezoid integration from rest,
                                     linear baseline so the ground ends at rest)
PSA                    g             RotD50 of the pseudo-spectral acceleration ω²·SD of a
                                     damped oscillator (5% by default) at :data:`DEFAULT_PERIODS_S`
Arias intensity        m/s           π/(2g)·∫a²dt with a in m/s², per component
significant duration   s             time between 5% and 95% of the Arias intensity, per component
=====================  ============  ===========================================================

g is :data:`G_M_S2` = 9.81 m/s² throughout (Arias intensity and the conversion of PSA to g).

RotD50 (rotation-independent median): the two horizontal time series are rotated to every
angle 0, 1, ..., 179°, the peak of each rotated series is taken, and the median of these 180
peaks is reported. For a PSA the rotated series is the oscillator response (the oscillator is
linear, so rotating the response equals the response to the rotated record).

:func:`intensity_table` lays the measures out as a NumPy structured array, one row per station,
whose field names carry the units (``pga_rotd50_cm_s2``, ``psa_rotd50_0.1s_g``, ...), and
:func:`write_intensity_csv` writes that table with a header line.
"""

from __future__ import annotations

import csv
import math
import os
import secrets
from dataclasses import dataclass
from pathlib import Path
from typing import Callable, Sequence

import numpy as np
from scipy.signal import lfilter

__all__ = [
    "COMPONENTS",
    "DEFAULT_PERIODS_S",
    "G_M_S2",
    "IntensityMeasures",
    "arias_intensity",
    "fourier_amplitude",
    "intensity_measures",
    "intensity_table",
    "pga",
    "pgv",
    "psa",
    "psa_rotd",
    "rotd",
    "significant_duration",
    "velocity",
    "write_intensity_csv",
]

#: Component suffixes of the table's columns, in the records' order: 090 (east), 000 (north), vertical.
COMPONENTS = ("e", "n", "z")

#: Oscillator periods of the PSA, in s, unless a caller gives others.
DEFAULT_PERIODS_S = (0.01, 0.02, 0.03, 0.05, 0.075, 0.1, 0.15, 0.2, 0.25, 0.3, 0.4, 0.5, 0.75,
                     1.0, 1.5, 2.0, 3.0, 4.0, 5.0)

#: Acceleration of gravity in m/s², for Arias intensity and for PSA in g.
G_M_S2 = 9.81

#: Fraction of critical damping of the PSA oscillator, unless a caller gives another.
DEFAULT_DAMPING = 0.05

#: The oscillator's response is computed with at least this many samples per oscillator period
#: (or, for periods below two samples, per Nyquist period): a sinusoid's sampled peak is then
#: within 1 - cos(180°/20) = 1.2% of its true peak. Coarser records are first resampled.
SAMPLES_PER_PERIOD = 20

#: Rotation angles of RotD measures, in degrees.
ROTATION_ANGLES_DEG = np.arange(180)
_COS, _SIN = np.cos(np.radians(ROTATION_ANGLES_DEG)), np.sin(np.radians(ROTATION_ANGLES_DEG))

_SAMPLE_BUDGET = 1 << 22  # float64 samples per working block (32 MiB): stations go in chunks


# ---------------------------------------------------------------------------------------------
# Input checks


def _check_dt(dt_s: float) -> float:
    try:
        dt = float(dt_s)
    except (TypeError, ValueError):
        raise ValueError(f"dt_s must be a number of seconds; got {dt_s!r}") from None
    if not (math.isfinite(dt) and dt > 0):
        raise ValueError(f"dt_s must be a positive, finite number of seconds; got {dt_s!r}")
    return dt


def _check_records(records_cm_s2: np.ndarray, dt_s: float) -> tuple[np.ndarray, float]:
    """The records as float64 ``(3, n_station, n_time)`` and dt as a float, or ValueError."""
    dt = _check_dt(dt_s)
    records = np.asarray(records_cm_s2)
    if records.ndim != 3 or records.shape[0] != 3:
        hint = " (for one station use records[:, None, :])" if records.ndim == 2 and records.shape[0] == 3 else ""
        raise ValueError(
            "records must be shaped (3, n_station, n_time) with components east, north, vertical;"
            f" got shape {records.shape}{hint}"
        )
    if records.shape[2] < 2:
        raise ValueError(f"records need at least 2 time samples; got {records.shape[2]}")
    if not np.issubdtype(records.dtype, np.number) or np.iscomplexobj(records):
        raise ValueError(f"records must be real numbers (cm/s²); got dtype {records.dtype}")
    records = records.astype(np.float64, copy=False)
    finite = np.isfinite(records)
    if not finite.all():
        component, station, sample = np.argwhere(~finite)[0]
        raise ValueError(
            f"records hold a non-finite value: component {COMPONENTS[component]}, station {station},"
            f" sample {sample} ({records[component, station, sample]})"
        )
    return records, dt


def _check_traces(traces_cm_s2: np.ndarray) -> np.ndarray:
    """Any array of time series (time last) as float64, or ValueError."""
    traces = np.asarray(traces_cm_s2)
    if traces.ndim < 1 or traces.shape[-1] < 2:
        raise ValueError(f"time series need at least 2 samples along the last axis; got shape {traces.shape}")
    if not np.issubdtype(traces.dtype, np.number) or np.iscomplexobj(traces):
        raise ValueError(f"time series must be real numbers; got dtype {traces.dtype}")
    traces = traces.astype(np.float64, copy=False)
    if not np.isfinite(traces).all():
        raise ValueError("time series hold a non-finite value")
    return traces


def _check_periods(periods_s: Sequence[float], damping: float) -> tuple[np.ndarray, float]:
    periods = np.atleast_1d(np.asarray(periods_s, dtype=np.float64))
    if periods.ndim != 1 or periods.size == 0:
        raise ValueError(f"periods_s must be a non-empty sequence of periods in s; got {periods_s!r}")
    if not (np.isfinite(periods).all() and (periods > 0).all()):
        raise ValueError(f"periods_s must be positive and finite; got {periods.tolist()}")
    damping = float(damping)
    if not (0 < damping < 1):
        raise ValueError(f"damping is a fraction of critical in (0, 1); got {damping}")
    return periods, damping


# ---------------------------------------------------------------------------------------------
# Peaks, rotation, integration


def pga(records_cm_s2: np.ndarray) -> np.ndarray:
    """Peak ground acceleration per component and station, in the records' unit (cm/s²).

    Parameters
    ----------
    records_cm_s2 : array, shape (..., n_time)
        Acceleration time series; the peak is taken over the last axis.

    Returns
    -------
    array, shape (...)
        The largest absolute sample (no interpolation between samples).
    """
    return np.abs(_check_traces(records_cm_s2)).max(axis=-1)


def velocity(records_cm_s2: np.ndarray, dt_s: float) -> np.ndarray:
    """Ground velocity in cm/s from acceleration in cm/s², same shape (time last).

    Trapezoid integration from rest, then a linear baseline ``v_end * t / t_end`` is removed so
    the velocity ends at zero.

    Why this way: the trapezoid rule integrates exactly the piecewise-linear acceleration between
    samples (the same interpolation the oscillator uses) and starts from rest, as the ground does;
    integrating in the frequency domain instead treats the record as periodic and takes out the
    mean velocity, which distorts a one-sided pulse. The ground is at rest again after any
    earthquake, so a velocity left at the end of the record is an acceleration offset (a constant
    offset c makes a drift c·t); the linear baseline removes exactly such an offset.
    """
    dt = _check_dt(dt_s)
    a = _check_traces(records_cm_s2)
    v = np.zeros_like(a)
    np.cumsum((a[..., 1:] + a[..., :-1]) * (0.5 * dt), axis=-1, out=v[..., 1:])
    ramp = np.linspace(0.0, 1.0, a.shape[-1])
    return v - v[..., -1:] * ramp


def pgv(records_cm_s2: np.ndarray, dt_s: float) -> np.ndarray:
    """Peak ground velocity in cm/s per trace (time last) of acceleration in cm/s²; see :func:`velocity`."""
    return np.abs(velocity(records_cm_s2, dt_s)).max(axis=-1)


def _rotated_peaks(x: np.ndarray, y: np.ndarray, cos: np.ndarray, sin: np.ndarray) -> np.ndarray:
    """max over samples of |x cos θ + y sin θ| for each row and angle: (m, k) -> (m, n_angle),
    in blocks of samples so memory stays bounded."""
    m, k = x.shape
    peaks = np.zeros((m, cos.size))
    block = max(1, _SAMPLE_BUDGET // max(1, m * cos.size))
    for start in range(0, k, block):
        xs, ys = x[:, start : start + block, None], y[:, start : start + block, None]
        np.maximum(peaks, np.abs(xs * cos + ys * sin).max(axis=1), out=peaks)
    return peaks


def _sector_peaks(x: np.ndarray, y: np.ndarray, width_deg: int = 20) -> np.ndarray:
    """The same as ``_rotated_peaks`` at every angle of :data:`ROTATION_ANGLES_DEG`, sector by
    sector of ``width_deg`` angles, rotating only the samples that can hold a peak in the sector.

    Within half a sector Δ of its centre c, a sample's projection is at most
    |p·e_c| cos Δ + |p×e_c| sin Δ; the sample with the largest |p·e_c| gives, at every angle of
    the sector, a peak of at least the least of its own projections there. Samples whose bound
    lies below that cannot be the peak anywhere in the sector.
    """
    m, n = x.shape
    r2 = x * x + y * y
    peaks = np.empty((m, ROTATION_ANGLES_DEG.size))
    half = math.radians((width_deg - 1) / 2)
    rows = np.arange(m)
    for first in range(0, ROTATION_ANGLES_DEG.size, width_deg):
        cos, sin = _COS[first : first + width_deg], _SIN[first : first + width_deg]
        centre = math.radians(ROTATION_ANGLES_DEG[first]) + half
        along = np.abs(x * math.cos(centre) + y * math.sin(centre))
        best = along.argmax(axis=1)
        floor = np.abs(x[rows, best, None] * cos + y[rows, best, None] * sin).min(axis=1)
        bound = along * math.cos(half) + np.sqrt(np.maximum(r2 - along * along, 0.0)) * math.sin(half)
        k = int((bound >= floor[:, None]).sum(axis=1).max())
        if k < n:
            keep = np.argpartition(-bound, k - 1, axis=1)[:, :k]
            peaks[:, first : first + width_deg] = _rotated_peaks(
                np.take_along_axis(x, keep, 1), np.take_along_axis(y, keep, 1), cos, sin)
        else:
            peaks[:, first : first + width_deg] = _rotated_peaks(x, y, cos, sin)
    return peaks


def _rotd_peaks(x: np.ndarray, y: np.ndarray) -> np.ndarray:
    """Peak of the rotated series at every angle of :data:`ROTATION_ANGLES_DEG`: (m, n) -> (m, 180).

    Exact, but only samples that can hold a peak are rotated at every angle. The 64 samples of
    largest horizontal amplitude r give a lower bound on every angle's peak (the least of their
    peaks); a sample below it in r projects below it at every angle, so it cannot matter. When
    those 64 samples are all the samples above the bound they give the peaks; otherwise (slow,
    elliptical oscillator motion) the samples above the bound go through ``_sector_peaks``.
    """
    m, n = x.shape
    k = 64
    if n <= k:
        return _rotated_peaks(x, y, _COS, _SIN)
    r = np.hypot(x, y)
    top = np.argpartition(-r, k, axis=1)[:, :k]
    peaks = _rotated_peaks(np.take_along_axis(x, top, 1), np.take_along_axis(y, top, 1), _COS, _SIN)
    above = (r >= peaks.min(axis=1, keepdims=True)).sum(axis=1)
    rows = np.flatnonzero(above > k)  # elsewhere the top 64 hold every sample above the bound
    if rows.size:
        keep_n = int(above[rows].max())
        xs, ys = x[rows], y[rows]
        if keep_n < n:
            keep = np.argpartition(-r[rows], keep_n - 1, axis=1)[:, :keep_n]
            xs, ys = np.take_along_axis(xs, keep, 1), np.take_along_axis(ys, keep, 1)
        peaks[rows] = _sector_peaks(xs, ys)
    return peaks


def rotd(horizontal: np.ndarray, percentile: float = 50.0) -> np.ndarray:
    """RotD of a horizontal pair: the percentile over angles 0..179° of the rotated series' peak.

    Parameters
    ----------
    horizontal : array, shape (2, ..., n_time)
        East and north time series (any unit; the result has the same unit).
    percentile : float
        50 gives RotD50 (the median; with 180 angles, the mean of the 90th and 91st peak),
        100 gives RotD100 (the largest peak over angles).

    Returns
    -------
    array, shape (...)
    """
    pair = _check_traces(horizontal)
    if pair.ndim < 2 or pair.shape[0] != 2:
        raise ValueError(f"rotd takes the two horizontal components along the first axis; got shape {pair.shape}")
    if not 0 <= percentile <= 100:
        raise ValueError(f"percentile must be in [0, 100]; got {percentile}")
    batch = pair.shape[1:-1]
    x = pair[0].reshape(-1, pair.shape[-1])
    y = pair[1].reshape(-1, pair.shape[-1])
    if x.shape[0] == 0:
        return np.zeros(batch)
    return np.percentile(_rotd_peaks(x, y), percentile, axis=1).reshape(batch)


# ---------------------------------------------------------------------------------------------
# Oscillator
#
# Choice, by bench/bench_intensity.py (same records, one run): our own oscillator, not pyrotd.
# It was 2.0-2.6 times faster (RotD50 at the 19 default periods, 20 stations of 8000 samples,
# pyrotd on one process as on a 2-core machine), and it is exact where pyrotd is not:
# pyrotd multiplies the Fourier spectrum by the transfer function without zero padding, so the
# response wraps around the record's end (free vibration at long periods lands at the start),
# it builds the frequency axis as if the length were even, and its default RotD keeps only the
# samples above 0.7 x the smaller component peak, a rule of thumb rather than a bound.
#
# Ours: the exact response to acceleration that is linear between samples (Nigam and Jennings),
# written as a second-order recursive filter whose coefficients come from one 4x4 matrix
# exponential per period, run by scipy.signal.lfilter over all stations at once. Records too
# coarse for an oscillator are resampled by zero-padding their spectrum (exact for band-limited
# records) to SAMPLES_PER_PERIOD samples per period, and every record is followed by silence
# one oscillator period long so the free vibration after the record's end counts.


def _expm(a: np.ndarray) -> np.ndarray:
    """Matrix exponential by scaling and squaring of a Taylor series (a few small matrices:
    scipy.linalg.expm costs milliseconds per call here, this microseconds)."""
    norm = np.abs(a).sum(axis=1).max()
    squarings = max(0, math.ceil(math.log2(norm / 0.25))) if norm > 0.25 else 0
    a = a / 2.0**squarings
    result = term = np.eye(a.shape[0])
    for k in range(1, 14):  # |a| <= 1/4: the remainder is below 1e-17
        term = term @ a / k
        result = result + term
    for _ in range(squarings):
        result = result @ result
    return result


def _oscillator_filter(period_s: float, damping: float, dt_s: float) -> tuple[np.ndarray, np.ndarray]:
    """Filter coefficients (b, a) mapping ground acceleration samples to relative displacement
    of the oscillator u'' + 2ζωu' + ω²u = -a(t), with a linear between samples, from rest."""
    omega = 2 * math.pi / period_s
    # State (u, u', a, da/dt): the last two hold the linear ground acceleration within a step.
    m = np.zeros((4, 4))
    m[0, 1] = 1.0
    m[1, 0], m[1, 1], m[1, 2] = -omega**2, -2 * damping * omega, -1.0
    m[2, 3] = 1.0
    e = _expm(m * dt_s)
    phi = e[:2, :2]
    gamma0, gamma1 = e[:2, 2], e[:2, 3] / dt_s
    # x[k+1] = phi x[k] + p a[k] + q a[k+1], with the slope (a[k+1] - a[k]) / dt
    p, q = gamma0 - gamma1, gamma1
    # u = first row of (zI - phi)^-1 (p + q z), over det(zI - phi), in powers of 1/z.
    b = np.array([
        q[0],
        p[0] - phi[1, 1] * q[0] + phi[0, 1] * q[1],
        phi[0, 1] * p[1] - phi[1, 1] * p[0],
    ])
    a = np.array([1.0, -np.trace(phi), np.linalg.det(phi)])
    return b, a


def _fast_length(n: int) -> int:
    """Smallest 2^i 3^j 5^k at least n (quick FFT lengths)."""
    best = 1 << max(0, (n - 1).bit_length())
    p5 = 1
    while p5 < best:
        p35 = p5
        while p35 < best:
            p = p35
            while p < n:
                p *= 2
            best = min(best, p)
            p35 *= 3
        p5 *= 5
    return best


def _resample(traces: np.ndarray, factor: int, n_out: int) -> np.ndarray:
    """Band-limited resampling of traces (time last) to ``factor`` times the rate, first
    ``n_out`` samples. Traces are zero-padded first so the spectrum's periodicity does not fold
    the end onto the start."""
    n = traces.shape[-1]
    if factor == 1:
        out = np.zeros(traces.shape[:-1] + (n_out,))
        out[..., : min(n, n_out)] = traces[..., :n_out]
        return out
    n_fft = _fast_length(max(n, -(-n_out // factor)) + 64)
    spectrum = np.fft.rfft(traces, n_fft, axis=-1)
    if n_fft % 2 == 0:
        spectrum[..., -1] *= 0.5  # the Nyquist bin splits into +/- frequencies once it is not the last
    out = np.fft.irfft(spectrum, n_fft * factor, axis=-1)[..., :n_out]
    return out * factor


def _oscillator_peaks(
    traces: np.ndarray,
    dt_s: float,
    periods_s: np.ndarray,
    damping: float,
    reduce: Callable[[np.ndarray], np.ndarray],
) -> np.ndarray:
    """``reduce`` of the relative displacement (cm for cm/s² input) at every period.

    ``traces`` is shaped (k, m, n_time): k components that ``reduce`` combines, m stations.
    ``reduce`` maps a (k, m', n) response block to an (m',) result. Returns (m, n_period).
    """
    k, m, n = traces.shape
    result = np.empty((m, periods_s.size))
    # Resampling factor per period: enough samples per oscillator period, and per Nyquist period
    # for periods the record cannot carry (there the oscillator follows the ground).
    factors = np.maximum(1, np.ceil(SAMPLES_PER_PERIOD * dt_s / np.maximum(periods_s, 2 * dt_s))).astype(int)
    for factor in map(int, np.unique(factors)):
        group = np.flatnonzero(factors == factor)
        tail = int(math.ceil(periods_s[group].max() / dt_s))  # free vibration after the record
        n_fine = (n + tail) * factor
        chunk = max(1, _SAMPLE_BUDGET // (k * n_fine))
        for start in range(0, m, chunk):
            block = _resample(traces[:, start : start + chunk], factor, n_fine)
            for j in group:
                b, a = _oscillator_filter(periods_s[j], damping, dt_s / factor)
                result[start : start + chunk, j] = reduce(lfilter(b, a, block, axis=-1))
    return result


def psa(
    records_cm_s2: np.ndarray,
    dt_s: float,
    periods_s: Sequence[float] = DEFAULT_PERIODS_S,
    damping: float = DEFAULT_DAMPING,
) -> np.ndarray:
    """Pseudo-spectral acceleration ω²·SD of each single trace, in the records' unit (cm/s²).

    Parameters
    ----------
    records_cm_s2 : array, shape (..., n_time)
        Acceleration time series, e.g. one component ``records[0]``.
    dt_s : float
        Sample interval in s.
    periods_s : sequence of float
        Oscillator periods in s.
    damping : float
        Fraction of critical damping (0.05 for 5%).

    Returns
    -------
    array, shape (..., n_period)
        PSA in cm/s² (divide by ``100 * G_M_S2`` for g).
    """
    dt = _check_dt(dt_s)
    periods, damping = _check_periods(periods_s, damping)
    traces = _check_traces(records_cm_s2)
    batch = traces.shape[:-1]
    flat = traces.reshape(1, -1, traces.shape[-1])
    sd = _oscillator_peaks(flat, dt, periods, damping, lambda u: np.abs(u[0]).max(axis=-1))
    return (sd * (2 * np.pi / periods) ** 2).reshape(batch + (periods.size,))


def psa_rotd(
    horizontal_cm_s2: np.ndarray,
    dt_s: float,
    periods_s: Sequence[float] = DEFAULT_PERIODS_S,
    damping: float = DEFAULT_DAMPING,
    percentile: float = 50.0,
) -> np.ndarray:
    """RotD PSA of horizontal pairs, in the records' unit (cm/s²).

    Parameters
    ----------
    horizontal_cm_s2 : array, shape (2, n_station, n_time)
        East and north acceleration (``records[:2]``).
    dt_s, periods_s, damping
        As for :func:`psa`.
    percentile : float
        50 for RotD50, 100 for RotD100.

    Returns
    -------
    array, shape (n_station, n_period)
        ω² times the percentile over angles 0..179° of the peak rotated oscillator displacement.
    """
    dt = _check_dt(dt_s)
    periods, damping = _check_periods(periods_s, damping)
    pair = _check_traces(horizontal_cm_s2)
    if pair.ndim != 3 or pair.shape[0] != 2:
        raise ValueError(f"psa_rotd takes east and north shaped (2, n_station, n_time); got shape {pair.shape}")
    if not 0 <= percentile <= 100:
        raise ValueError(f"percentile must be in [0, 100]; got {percentile}")
    if pair.shape[1] == 0:
        return np.zeros((0, periods.size))

    def reduce(u: np.ndarray) -> np.ndarray:
        return np.percentile(_rotd_peaks(u[0], u[1]), percentile, axis=1)

    sd = _oscillator_peaks(pair, dt, periods, damping, reduce)
    return sd * (2 * np.pi / periods) ** 2


# ---------------------------------------------------------------------------------------------
# Energy and duration


def _cumulative_arias(records_cm_s2: np.ndarray, dt_s: float) -> np.ndarray:
    """π/(2g)·∫₀ᵗ a² dt in m/s at every sample, by the trapezoid rule on a² (a in m/s²)."""
    a2 = (records_cm_s2 / 100.0) ** 2
    cumulative = np.zeros_like(a2)
    np.cumsum((a2[..., 1:] + a2[..., :-1]) * (0.5 * dt_s), axis=-1, out=cumulative[..., 1:])
    return cumulative * (math.pi / (2 * G_M_S2))


def arias_intensity(records_cm_s2: np.ndarray, dt_s: float) -> np.ndarray:
    """Arias intensity π/(2g)·∫a²dt in m/s, per trace (time last) of acceleration in cm/s²;
    g = :data:`G_M_S2` m/s²."""
    dt = _check_dt(dt_s)
    return _cumulative_arias(_check_traces(records_cm_s2), dt)[..., -1]


def significant_duration(
    records_cm_s2: np.ndarray, dt_s: float, start: float = 0.05, end: float = 0.95
) -> np.ndarray:
    """Time in s between the Arias intensity reaching ``start`` and ``end`` of its total, per
    trace (time last); crossing times are interpolated linearly between samples.

    A trace with no motion at all (zero Arias intensity) has no such duration: NaN.
    """
    dt = _check_dt(dt_s)
    if not 0 <= start < end <= 1:
        raise ValueError(f"need 0 <= start < end <= 1; got start={start}, end={end}")
    cumulative = _cumulative_arias(_check_traces(records_cm_s2), dt)
    batch = cumulative.shape[:-1]
    flat = cumulative.reshape(-1, cumulative.shape[-1])
    total = flat[:, -1:]
    with np.errstate(invalid="ignore", divide="ignore"):
        husid = flat / total  # normalised, non-decreasing from 0 to 1
    times = np.empty((flat.shape[0], 2))
    for column, level in enumerate((start, end)):
        # First sample at or above the level, and the linear crossing within the step before it.
        i = np.clip((husid < level).sum(axis=1), 1, flat.shape[1] - 1)
        rows = np.arange(flat.shape[0])
        lo, hi = husid[rows, i - 1], husid[rows, i]
        with np.errstate(invalid="ignore", divide="ignore"):
            fraction = np.where(hi > lo, (level - lo) / (hi - lo), 0.0)
        times[:, column] = (i - 1 + np.clip(fraction, 0.0, 1.0)) * dt
    duration = times[:, 1] - times[:, 0]
    duration[total[:, 0] <= 0] = np.nan
    return duration.reshape(batch)


def fourier_amplitude(records_cm_s2: np.ndarray, dt_s: float) -> tuple[np.ndarray, np.ndarray]:
    """Fourier amplitude spectrum |A(f)| = |Σ a e^{-2πift}·dt| in cm/s, per trace (time last).

    Returns
    -------
    frequencies_hz : array, shape (n_frequency,)
        0 to the Nyquist frequency.
    amplitude_cm_s : array, shape (..., n_frequency)
    """
    dt = _check_dt(dt_s)
    traces = _check_traces(records_cm_s2)
    return np.fft.rfftfreq(traces.shape[-1], dt), np.abs(np.fft.rfft(traces, axis=-1)) * dt


# ---------------------------------------------------------------------------------------------
# All measures, the table and the CSV file


@dataclass(frozen=True)
class IntensityMeasures:
    """Intensity measures of n_station stations. Arrays shaped (3, n_station) follow the
    records' component order (east, north, vertical)."""

    periods_s: np.ndarray  #: (n_period,) oscillator periods in s
    damping: float  #: fraction of critical damping of the PSA oscillator
    pga_cm_s2: np.ndarray  #: (3, n_station)
    pga_horizontal_cm_s2: np.ndarray  #: (n_station,) the larger of east and north
    pga_rotd50_cm_s2: np.ndarray  #: (n_station,)
    pgv_cm_s: np.ndarray  #: (3, n_station)
    pgv_horizontal_cm_s: np.ndarray  #: (n_station,)
    pgv_rotd50_cm_s: np.ndarray  #: (n_station,)
    psa_rotd50_g: np.ndarray  #: (n_station, n_period), in g = G_M_S2
    arias_m_s: np.ndarray  #: (3, n_station)
    d5_95_s: np.ndarray  #: (3, n_station), NaN for a component without motion

    @property
    def n_station(self) -> int:
        return self.pga_cm_s2.shape[1]

    def columns(self) -> dict[str, np.ndarray]:
        """Every measure as one column per station, keyed by a name that carries its unit."""
        out: dict[str, np.ndarray] = {}
        for c, suffix in enumerate(COMPONENTS):
            out[f"pga_{suffix}_cm_s2"] = self.pga_cm_s2[c]
        out["pga_h_cm_s2"] = self.pga_horizontal_cm_s2
        out["pga_rotd50_cm_s2"] = self.pga_rotd50_cm_s2
        for c, suffix in enumerate(COMPONENTS):
            out[f"pgv_{suffix}_cm_s"] = self.pgv_cm_s[c]
        out["pgv_h_cm_s"] = self.pgv_horizontal_cm_s
        out["pgv_rotd50_cm_s"] = self.pgv_rotd50_cm_s
        for j, period in enumerate(self.periods_s):
            out[f"psa_rotd50_{period:g}s_g"] = self.psa_rotd50_g[:, j]
        for c, suffix in enumerate(COMPONENTS):
            out[f"arias_{suffix}_m_s"] = self.arias_m_s[c]
        for c, suffix in enumerate(COMPONENTS):
            out[f"d5_95_{suffix}_s"] = self.d5_95_s[c]
        return out


def intensity_measures(
    records_cm_s2: np.ndarray,
    dt_s: float,
    periods_s: Sequence[float] = DEFAULT_PERIODS_S,
    damping: float = DEFAULT_DAMPING,
) -> IntensityMeasures:
    """Every intensity measure of three-component records.

    Parameters
    ----------
    records_cm_s2 : array, shape (3, n_station, n_time)
        Acceleration in cm/s², components east (090), north (000), vertical.
    dt_s : float
        Sample interval in s.
    periods_s : sequence of float
        PSA periods in s (default :data:`DEFAULT_PERIODS_S`).
    damping : float
        Fraction of critical damping of the PSA oscillator (default 0.05).
    """
    records, dt = _check_records(records_cm_s2, dt_s)
    periods, damping = _check_periods(periods_s, damping)
    peak_a = np.abs(records).max(axis=-1)
    v = velocity(records, dt)
    peak_v = np.abs(v).max(axis=-1)
    return IntensityMeasures(
        periods_s=periods,
        damping=damping,
        pga_cm_s2=peak_a,
        pga_horizontal_cm_s2=peak_a[:2].max(axis=0),
        pga_rotd50_cm_s2=rotd(records[:2]),
        pgv_cm_s=peak_v,
        pgv_horizontal_cm_s=peak_v[:2].max(axis=0),
        pgv_rotd50_cm_s=rotd(v[:2]),
        psa_rotd50_g=psa_rotd(records[:2], dt, periods, damping) / (100.0 * G_M_S2),
        arias_m_s=arias_intensity(records, dt),
        d5_95_s=significant_duration(records, dt),
    )


def intensity_table(names: Sequence[str], distances_km: Sequence[float], measures: IntensityMeasures) -> np.ndarray:
    """One row per station: ``name``, ``distance_km`` and every column of
    :meth:`IntensityMeasures.columns`, as a NumPy structured array."""
    names = [str(name) for name in names]
    distances = np.asarray(distances_km, dtype=np.float64).reshape(-1)
    n = measures.n_station
    if len(names) != n or distances.size != n:
        raise ValueError(
            f"need one name and one distance per station: {n} stations, {len(names)} names,"
            f" {distances.size} distances"
        )
    columns = measures.columns()
    width = max([1] + [len(name) for name in names])
    dtype = [("name", f"U{width}"), ("distance_km", "f8")] + [(key, "f8") for key in columns]
    table = np.empty(n, dtype=dtype)
    table["name"] = names
    table["distance_km"] = distances
    for key, values in columns.items():
        table[key] = values
    return table


def write_intensity_csv(
    path: str | os.PathLike, names: Sequence[str], distances_km: Sequence[float], measures: IntensityMeasures
) -> Path:
    """Write the table of :func:`intensity_table` as CSV: a header of column names (units in
    the names), then one row per station; numbers with 7 significant digits (the precision of
    float32 records), NaN as ``nan``. Written to a temporary file beside ``path`` and renamed,
    so a reader never sees half a table. Returns the path."""
    table = intensity_table(names, distances_km, measures)
    path = Path(path)
    # A fresh name beside the target (same file system, so the rename is atomic), created with
    # the usual permissions rather than mkstemp's owner-only ones.
    temporary = path.with_name(f".{path.name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")
    try:
        with open(temporary, "x", newline="", encoding="utf-8") as f:
            writer = csv.writer(f)
            writer.writerow(table.dtype.names)
            for row in table:
                writer.writerow([row["name"]] + [format(float(value), ".7g") for value in list(row)[1:]])
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return path
