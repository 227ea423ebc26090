"""Intensity measures against closed forms: peaks of known series, the velocity of a known pulse,
oscillators at resonance and after a short pulse, RotD50 under rotation and against every
angle, Arias intensity and significant duration of a sine; the table, its CSV file, the
figures, and the input errors."""

from __future__ import annotations

import csv
import math

import numpy as np
import pytest
from scipy.integrate import solve_ivp

from brantle.intensity import (
    DEFAULT_PERIODS_S,
    G_M_S2,
    arias_intensity,
    fourier_amplitude,
    intensity_measures,
    intensity_table,
    pga,
    pgv,
    psa,
    psa_rotd,
    rotd,
    significant_duration,
    velocity,
    write_intensity_csv,
)
from brantle.intensity import _rotd_peaks  # the pruned rotation, checked against rotating everything
from brantle.plots import plot_fourier_spectra, plot_measure_vs_distance, plot_psa

ZETA = 0.05


def sine(amplitude, period_s, duration_s, dt_s, phase=0.0):
    t = np.arange(int(round(duration_s / dt_s)) + 1) * dt_s
    return amplitude * np.sin(2 * np.pi * t / period_s + phase)


def three(east, north=None, vertical=None):
    """One station's (3, 1, n_time) record; missing components are silent."""
    east = np.asarray(east, dtype=float)
    zero = np.zeros_like(east)
    return np.stack([east, zero if north is None else north, zero if vertical is None else vertical])[:, None, :]


@pytest.fixture(scope="module")
def noise_records():
    """Four stations of band-limited noise under an envelope, float32 like the simulator's,
    dt 0.01 s, 20 s, cm/s²."""
    rng = np.random.default_rng(7)
    n = 2000
    t = np.arange(n) * 0.01
    envelope = (t / 4) ** 2 * np.exp(-2 * (t / 4 - 1))
    f = np.fft.rfftfreq(n, 0.01)
    noise = np.fft.irfft(np.fft.rfft(rng.standard_normal((3, 4, n)) * envelope) / (1 + (f / 10) ** 4), n)
    return (100 * noise / np.abs(noise).max()).astype(np.float32)


# ---------------------------------------------------------------------------------------------
# Peaks and velocity


@pytest.mark.parametrize(
    "east, north, vertical, per_component, horizontal",
    [
        ([0, 3, -7, 2], [1, -1, 0, 0], [0, 0, 0, 0], [7, 1, 0], 7),  # a negative peak counts by size
        ([0, 1, 0, 0], [0, 0, -4, 2], [0, 9, 0, 0], [1, 4, 9], 4),  # the vertical is no horizontal
        ([-5, 5, 0, 0], [0, 0, 0, 5], [0, 0, 0, -5], [5, 5, 5], 5),  # ties
    ],
)
def test_pga_of_known_series(east, north, vertical, per_component, horizontal):
    m = intensity_measures(three(east, north, vertical), 0.01, periods_s=(1.0,))
    np.testing.assert_array_equal(m.pga_cm_s2[:, 0], per_component)
    assert m.pga_horizontal_cm_s2[0] == horizontal


@pytest.mark.parametrize("offset_cm_s2", [0.0, 3.0, -0.5])
def test_velocity_of_a_full_sine_pulse(offset_cm_s2):
    """a = A sin(2πt/Tp) for one period in silence: v = A·Tp/(2π)·(1 - cos(2πt/Tp)), peak A·Tp/π.
    A constant acceleration offset (a baseline error) is removed by the baseline."""
    dt, amplitude, pulse_s = 0.001, 200.0, 0.5
    t = np.arange(int(3.0 / dt) + 1) * dt
    inside = (t >= 1.0) & (t <= 1.0 + pulse_s)
    phase = 2 * np.pi * (t - 1.0) / pulse_s
    a = np.where(inside, amplitude * np.sin(phase), 0.0)
    expected = np.where(inside, amplitude * pulse_s / (2 * np.pi) * (1 - np.cos(phase)), 0.0)
    v = velocity(a + offset_cm_s2, dt)
    np.testing.assert_allclose(v, expected, atol=1e-4 * expected.max())
    assert pgv(a + offset_cm_s2, dt) == pytest.approx(amplitude * pulse_s / np.pi, rel=1e-4)


def test_fourier_amplitude_of_a_sine():
    """|Σ A sin(2πf₀t)·dt| at f₀ over whole periods is A·L/2, in cm/s; elsewhere on the grid 0."""
    dt, amplitude, length_s = 0.01, 50.0, 10.0
    a = sine(amplitude, 0.5, length_s, dt)[:-1]  # exactly 20 whole periods
    frequencies_hz, fas = fourier_amplitude(a, dt)
    assert frequencies_hz[np.argmax(fas)] == pytest.approx(2.0)
    assert fas.max() == pytest.approx(amplitude * length_s / 2, rel=1e-9)
    assert np.delete(fas, np.argmax(fas)).max() < 1e-9 * fas.max()


# ---------------------------------------------------------------------------------------------
# Oscillator


@pytest.mark.parametrize(
    "period_s, dt_s, damping",
    [
        (0.5, 0.005, ZETA),
        (2.0, 0.01, ZETA),
        (0.2, 0.01, 0.02),
        (0.03, 0.01, ZETA),  # three samples a period: the record is resampled first
        (0.05, 0.02, ZETA),  # two and a half samples a period
    ],
)
def test_psa_of_a_long_sine_at_resonance(period_s, dt_s, damping):
    """Steady state at resonance: SD = A/(2ζω²), so PSA = ω²·SD = A/(2ζ); in g, A/(2ζ)/g."""
    amplitude = 100.0
    duration_s = 8 / (damping * 2 * np.pi / period_s) + 2 * period_s  # e^-8 of the transient left
    a = sine(amplitude, period_s, duration_s, dt_s)
    assert psa(a, dt_s, (period_s,), damping)[0] == pytest.approx(amplitude / (2 * damping), rel=0.015)
    # Along east only, every rotated peak is |cos θ| of it: the median over 0..179° is cos 45°.
    rotd50 = psa_rotd(three(a)[:2], dt_s, (period_s,), damping)[0, 0]
    assert rotd50 == pytest.approx(amplitude / (2 * damping) / math.sqrt(2), rel=0.015)
    in_g = intensity_measures(three(a), dt_s, (period_s,), damping).psa_rotd50_g[0, 0]
    assert in_g == pytest.approx(rotd50 / (100 * G_M_S2), rel=1e-12)


def test_psa_at_very_short_period_is_pga():
    """A stiff oscillator follows the ground: PSA(T -> 0) = PGA."""
    dt = 0.005
    t = np.arange(2000) * dt
    a = 80 * np.exp(-(((t - 5) / 0.6) ** 2)) * np.sin(2 * np.pi * 3 * t)
    spectrum = psa(a, dt, (0.001, 0.005, 0.01))
    np.testing.assert_allclose(spectrum, pga(a), rtol=0.005)


def test_psa_after_a_pulse_shorter_than_the_period():
    """A half-sine pulse of area ΔV far shorter than T acts as an impulse; the free vibration
    u = -ΔV/ωd·e^(-ζωt)·sin(ωd t) peaks after the record ends, at tan(ωd t) = ωd/(ζω)."""
    dt, period_s, pulse_s, area_cm_s = 0.001, 5.0, 0.02, 10.0
    t = np.arange(int(0.1 / dt) + 1) * dt  # 0.1 s of record, the peak comes near 1.25 s
    a = np.where(t <= pulse_s, area_cm_s * np.pi / (2 * pulse_s) * np.sin(np.pi * t / pulse_s), 0.0)
    area_cm_s = np.trapezoid(a, dx=dt)  # of the record as sampled, linear between samples
    omega = 2 * np.pi / period_s
    omega_d = omega * math.sqrt(1 - ZETA**2)
    t_peak = math.atan(omega_d / (ZETA * omega)) / omega_d
    sd = area_cm_s / omega_d * math.exp(-ZETA * omega * t_peak) * math.sin(omega_d * t_peak)
    assert psa(a, dt, (period_s,))[0] == pytest.approx(omega**2 * sd, rel=5e-4)


def test_psa_matches_an_independent_integration(noise_records):
    """The recursion against a high-order ODE solver on the same piecewise-linear record (the
    record starts from rest and is followed by silence, as the oscillator assumes)."""
    dt = 0.01
    a = np.concatenate([[0.0], noise_records[0, 0].astype(float), np.zeros(400)])
    t = np.arange(a.size) * dt
    periods = (0.2, 1.0, 3.0)
    for period_s, value in zip(periods, psa(a, dt, periods)):
        omega = 2 * np.pi / period_s

        def motion(time, state):
            return [state[1], -np.interp(time, t, a) - 2 * ZETA * omega * state[1] - omega**2 * state[0]]

        u = solve_ivp(motion, (0, t[-1]), [0.0, 0.0], t_eval=t, method="DOP853", rtol=1e-10, atol=1e-12,
                      max_step=dt / 2).y[0]
        assert value == pytest.approx(omega**2 * np.abs(u).max(), rel=1e-6), period_s


# ---------------------------------------------------------------------------------------------
# RotD50


def test_rotd50_does_not_depend_on_the_recording_orientation(noise_records):
    """A record polarised along east and the same record turned by 30° (an integer angle, so the
    180 rotations are the same set) have the same RotD50 of PGA, PGV and PSA: peak/√2."""
    s = noise_records[0].astype(float)  # (4 stations, n)
    along_east = np.stack([s, np.zeros_like(s), np.zeros_like(s)])
    turned = np.stack([s * math.cos(math.radians(30)), s * math.sin(math.radians(30)), np.zeros_like(s)])
    periods = (0.05, 0.3, 2.0)
    a, b = intensity_measures(along_east, 0.01, periods), intensity_measures(turned, 0.01, periods)
    for name in ("pga_rotd50_cm_s2", "pgv_rotd50_cm_s", "psa_rotd50_g"):
        np.testing.assert_allclose(getattr(a, name), getattr(b, name), rtol=1e-9, err_msg=name)
    np.testing.assert_allclose(a.pga_rotd50_cm_s2, np.abs(s).max(axis=1) / math.sqrt(2), rtol=1e-12)
    np.testing.assert_allclose(a.psa_rotd50_g, psa(s, 0.01, periods) / math.sqrt(2) / (100 * G_M_S2), rtol=1e-12)


@pytest.mark.parametrize("motion", ["noise", "circle", "ellipse", "line", "short"])
def test_rotd_equals_rotating_every_sample(motion):
    """Only samples that can hold a peak are rotated; the peak at every one of the 180 angles,
    and so every percentile, must equal rotating them all."""
    rng = np.random.default_rng(11)
    n = 5 if motion == "short" else 3000
    t = np.arange(n)[None, :]
    if motion in ("noise", "short"):
        x, y = rng.standard_normal((2, 3, n))
    elif motion == "circle":  # every sample as far out: nothing can be left out
        x, y = np.cos(0.03 * t + rng.uniform(0, 6, (3, 1))), np.sin(0.03 * t + rng.uniform(0, 6, (3, 1)))
    elif motion == "ellipse":  # a slow oscillator's motion, growing and decaying
        envelope = np.exp(-(((t - n / 2) / (n / 5)) ** 2))
        x = envelope * np.cos(0.02 * t) * np.array([[1.0], [2.0], [0.3]])
        y = envelope * np.sin(0.021 * t + 0.5)
    else:
        s = rng.standard_normal((3, n))
        x, y = s * 0.6, s * -0.8
    y = np.ascontiguousarray(np.broadcast_to(y, x.shape))
    theta = np.radians(np.arange(180))[:, None, None]
    every = np.abs(x * np.cos(theta) + y * np.sin(theta)).max(axis=-1)  # (180, 3)
    np.testing.assert_array_equal(_rotd_peaks(x, y), every.T)
    for percentile in (0, 50, 100):
        np.testing.assert_array_equal(rotd(np.stack([x, y]), percentile), np.percentile(every, percentile, axis=0))


def test_working_in_small_blocks_changes_nothing(noise_records, monkeypatch):
    """Stations go through the oscillator, and samples through the rotation, in blocks bounded
    in memory; blocks of one station (and a few samples) give the same measures."""
    periods = (0.02, 0.3, 2.0)
    whole = intensity_measures(noise_records, 0.01, periods)
    monkeypatch.setattr("brantle.intensity._SAMPLE_BUDGET", 1000)
    small = intensity_measures(noise_records, 0.01, periods)
    for name in ("pga_rotd50_cm_s2", "pgv_rotd50_cm_s", "psa_rotd50_g"):
        np.testing.assert_array_equal(getattr(small, name), getattr(whole, name), err_msg=name)


# ---------------------------------------------------------------------------------------------
# Arias intensity and significant duration


@pytest.mark.parametrize("amplitude_cm_s2, period_s, length_s", [(100.0, 0.5, 10.0), (981.0, 0.2, 4.0), (5.0, 1.0, 30.0)])
def test_arias_intensity_and_duration_of_a_sine(amplitude_cm_s2, period_s, length_s):
    """Ia = π/(2g)·A²·L/2 in m/s (A in m/s²). The cumulative energy grows evenly, so the 5-95%
    duration is 0.9 L, wherever the sine sits in the record (here after 3 s of silence)."""
    dt = 0.005
    a = np.concatenate([np.zeros(600), sine(amplitude_cm_s2, period_s, length_s, dt), np.zeros(300)])
    expected = math.pi / (2 * 9.81) * (amplitude_cm_s2 / 100) ** 2 * length_s / 2
    assert arias_intensity(a, dt) == pytest.approx(expected, rel=1e-9)
    assert significant_duration(a, dt) == pytest.approx(0.9 * length_s, abs=period_s / 4)


def test_significant_duration_of_a_silent_trace_is_undefined():
    durations = significant_duration(np.stack([np.zeros(100), np.r_[np.zeros(50), 1.0, np.zeros(49)]]), 0.01)
    assert np.isnan(durations[0])
    # One sample's energy spreads over the steps on either side (trapezoid rule): 0.9 of 2 dt.
    assert durations[1] == pytest.approx(0.018)


# ---------------------------------------------------------------------------------------------
# Table, CSV and figures


def test_table_columns_and_units():
    """A known record: a 2 Hz sine of 981 cm/s² (1 g) on east for 10 s."""
    dt = 0.005
    a = sine(981.0, 0.5, 10.0, dt)
    m = intensity_measures(three(a), dt, periods_s=(0.5, 1.0))
    table = intensity_table(["S1"], [12.5], m)
    names = table.dtype.names
    assert names[:2] == ("name", "distance_km")
    assert "psa_rotd50_0.5s_g" in names and "psa_rotd50_1s_g" in names
    row = table[0]
    assert row["name"] == "S1" and row["distance_km"] == 12.5
    assert row["pga_e_cm_s2"] == pytest.approx(981.0, rel=1e-6)
    assert row["pga_h_cm_s2"] == row["pga_e_cm_s2"]
    assert row["pgv_e_cm_s"] == pytest.approx(2 * 981.0 * 0.5 / (2 * np.pi), rel=1e-3)  # v = A/ω·(1 - cos ωt)
    assert row["arias_e_m_s"] == pytest.approx(math.pi / (2 * 9.81) * 9.81**2 * 5, rel=1e-6)
    assert row["d5_95_e_s"] == pytest.approx(9.0, abs=0.15)
    assert row["psa_rotd50_0.5s_g"] == pytest.approx(1 / (2 * ZETA) / math.sqrt(2), rel=0.02)  # resonance, in g
    assert np.isnan(row["d5_95_n_s"]) and row["arias_n_m_s"] == 0


def test_csv_has_a_header_with_units_and_round_trips(tmp_path, noise_records):
    names = ["plain", 'with, comma "and quotes"', "ünïcode"]
    distances = [5.0, 20.0, 80.5]
    m = intensity_measures(noise_records[:, :3], 0.01)
    path = write_intensity_csv(tmp_path / "im.csv", names, distances, m)
    with open(path, newline="", encoding="utf-8") as f:
        rows = list(csv.DictReader(f))
    header = list(rows[0])
    assert header[:7] == ["name", "distance_km", "pga_e_cm_s2", "pga_n_cm_s2", "pga_z_cm_s2", "pga_h_cm_s2",
                          "pga_rotd50_cm_s2"]
    assert [f"psa_rotd50_{p:g}s_g" for p in DEFAULT_PERIODS_S] == [h for h in header if h.startswith("psa_")]
    table = intensity_table(names, distances, m)
    assert [row["name"] for row in rows] == names
    for key in header[1:]:
        np.testing.assert_allclose([float(row[key]) for row in rows], table[key], rtol=1e-6, err_msg=key)
    assert sorted(p.name for p in tmp_path.iterdir()) == ["im.csv"]  # no temporary file left


def test_csv_of_a_failed_table_leaves_no_file(tmp_path, noise_records):
    m = intensity_measures(noise_records[:, :2], 0.01, periods_s=(1.0,))
    with pytest.raises(ValueError, match="2 stations, 1 names, 2 distances"):
        write_intensity_csv(tmp_path / "im.csv", ["only one"], [1.0, 2.0], m)
    assert list(tmp_path.iterdir()) == []


def test_no_stations_give_an_empty_table(tmp_path):
    m = intensity_measures(np.zeros((3, 0, 100)), 0.01)
    path = write_intensity_csv(tmp_path / "im.csv", [], [], m)
    lines = path.read_text().splitlines()
    assert len(lines) == 1 and lines[0].startswith("name,distance_km,pga_e_cm_s2")


def test_figures(tmp_path, noise_records):
    names = ["near", "mid", "far", "farther"]
    m = intensity_measures(noise_records, 0.01, periods_s=(0.1, 0.5, 2.0))
    table = intensity_table(names, [0.0, 10.0, 30.0, 90.0], m)  # a station at 0 km cannot go on log axes

    psa_figure = plot_psa(m, ["far", 0], names)
    (ax,) = psa_figure.axes
    assert (ax.get_xscale(), ax.get_yscale()) == ("log", "log")
    assert [line.get_label() for line in ax.lines] == ["far", "near"]
    np.testing.assert_array_equal(ax.lines[0].get_ydata(), m.psa_rotd50_g[2])

    fas_figure = plot_fourier_spectra(noise_records, 0.01, [1, 3], names)
    assert len(fas_figure.axes) == 3 and all(len(a.lines) == 2 for a in fas_figure.axes)
    assert fas_figure.axes[0].lines[0].get_xdata()[0] > 0  # no zero frequency on a log axis

    distance_figure = plot_measure_vs_distance(table, "pga_rotd50_cm_s2")
    (ax,) = distance_figure.axes
    np.testing.assert_array_equal(ax.lines[0].get_xdata(), [10.0, 30.0, 90.0])
    assert "1 stations not positive" in ax.get_title()

    for i, figure in enumerate((psa_figure, fas_figure, distance_figure)):
        path = tmp_path / f"figure{i}.png"
        figure.savefig(path)
        assert path.read_bytes()[:8] == b"\x89PNG\r\n\x1a\n"

    with pytest.raises(ValueError, match="no station named 'nowhere'"):
        plot_psa(m, ["nowhere"], names)
    with pytest.raises(ValueError, match="station index 4 out of range"):
        plot_fourier_spectra(noise_records, 0.01, [4])
    with pytest.raises(ValueError, match="no measure 'pga'"):
        plot_measure_vs_distance(table, "pga")


# ---------------------------------------------------------------------------------------------
# Input errors

GOOD = np.zeros((3, 2, 50))
BAD_SAMPLE = GOOD.copy()
BAD_SAMPLE[1, 1, 7] = np.nan


@pytest.mark.parametrize(
    "call, message",
    [
        (lambda: intensity_measures(np.zeros((2, 50)), 0.01), r"shaped \(3, n_station, n_time\).*got shape \(2, 50\)"),
        (lambda: intensity_measures(np.zeros((3, 50)), 0.01), r"records\[:, None, :\]"),
        (lambda: intensity_measures(np.zeros((2, 4, 50)), 0.01), r"got shape \(2, 4, 50\)"),
        (lambda: intensity_measures(np.zeros((3, 4, 1)), 0.01), "at least 2 time samples; got 1"),
        (lambda: intensity_measures(GOOD, 0.0), "positive, finite number of seconds; got 0.0"),
        (lambda: intensity_measures(GOOD, -0.01), "positive, finite"),
        (lambda: intensity_measures(GOOD, float("nan")), "positive, finite"),
        (lambda: intensity_measures(GOOD, "fast"), "dt_s must be a number of seconds; got 'fast'"),
        (lambda: intensity_measures(BAD_SAMPLE, 0.01), "non-finite value: component n, station 1, sample 7"),
        (lambda: intensity_measures(GOOD.astype(complex), 0.01), "real numbers"),
        (lambda: intensity_measures(GOOD, 0.01, periods_s=(0.1, -1.0)), "positive and finite"),
        (lambda: intensity_measures(GOOD, 0.01, periods_s=()), "non-empty"),
        (lambda: intensity_measures(GOOD, 0.01, damping=0.0), r"damping is a fraction of critical in \(0, 1\)"),
        (lambda: intensity_measures(GOOD, 0.01, damping=5), r"in \(0, 1\); got 5"),
        (lambda: psa(np.zeros(1), 0.01), "at least 2 samples"),
        (lambda: psa_rotd(GOOD, 0.01), r"east and north shaped \(2, n_station, n_time\)"),
        (lambda: rotd(np.zeros((3, 50))), "two horizontal components along the first axis"),
        (lambda: rotd(np.zeros((2, 50)), percentile=150), r"percentile must be in \[0, 100\]"),
        (lambda: significant_duration(np.ones(10), 0.01, 0.95, 0.05), "need 0 <= start < end <= 1"),
        (lambda: arias_intensity(np.ones(10), 0), "positive, finite"),
    ],
)
def test_input_errors(call, message):
    with pytest.raises(ValueError, match=message):
        call()
