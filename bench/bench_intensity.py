"""RotD50 PSA at the default periods: brantle's own oscillator against pyrotd, same records.

Run: ``.venv/bin/python bench/bench_intensity.py [--stations N] [--repeat R]``

The records are shaped like the bundled example's (dt 0.01 s, 80 s, east and north): Gaussian
noise under a rise-and-decay envelope, with an omega-squared-like spectrum cut at 25 Hz, a
different seed per station. Both approaches compute RotD50 PSA, 5% damping, at
``DEFAULT_PERIODS_S``; the best of R runs of each is reported with their ratio, and how far the
two results lie apart (they should agree to a few per cent except where pyrotd's unpadded
spectrum wraps the long-period response around, and at short periods where it resamples less).
pyrotd is a development requirement only (requirements-dev.txt), used here and nowhere else.
"""

from __future__ import annotations

import argparse
import time
import warnings

import numpy as np

from brantle.intensity import DEFAULT_PERIODS_S, psa_rotd

DT_S = 0.01
DURATION_S = 80.0


def synthetic_records(n_station: int, seed: int = 2024) -> np.ndarray:
    """East and north acceleration in cm/s², (2, n_station, n_time)."""
    rng = np.random.default_rng(seed)
    n = int(round(DURATION_S / DT_S))
    t = np.arange(n) * DT_S
    envelope = (t / 8.0) ** 2 * np.exp(-2.0 * (t / 8.0 - 1.0))  # peaks at 8 s
    f = np.fft.rfftfreq(n, DT_S)
    shape = f**2 / (1 + (f / 0.5) ** 2) / (1 + (f / 25.0) ** 8)  # omega-squared, cut at 25 Hz
    noise = rng.standard_normal((2, n_station, n)) * envelope
    records = np.fft.irfft(np.fft.rfft(noise, axis=-1) * shape, n, axis=-1)
    return records * (200.0 / np.abs(records).max(axis=-1, keepdims=True))


def best_of(repeat: int, run) -> tuple[float, object]:
    best, result = float("inf"), None
    for _ in range(repeat):
        start = time.perf_counter()
        result = run()
        best = min(best, time.perf_counter() - start)
    return best, result


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--stations", type=int, default=20)
    parser.add_argument("--repeat", type=int, default=3)
    args = parser.parse_args()
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore")  # pyrotd imports the deprecated pkg_resources
            import pyrotd
    except ImportError as error:
        raise SystemExit(f"bench_intensity: pyrotd is needed for the comparison ({error}); "
                         "it is in requirements-dev.txt") from None

    records = synthetic_records(args.stations)
    periods = np.asarray(DEFAULT_PERIODS_S)

    def ours() -> np.ndarray:
        return psa_rotd(records, DT_S, periods, 0.05)

    def theirs() -> np.ndarray:
        out = np.empty((args.stations, periods.size))
        for s in range(args.stations):
            r = pyrotd.calc_rotated_spec_accels(DT_S, records[0, s], records[1, s], 1.0 / periods,
                                                osc_damping=0.05, percentiles=[50])
            out[s] = r.spec_accel
        return out

    ours_s, ours_psa = best_of(args.repeat, ours)
    theirs_s, theirs_psa = best_of(args.repeat, theirs)
    difference = np.abs(theirs_psa / ours_psa - 1)
    n_time = records.shape[-1]
    print(f"RotD50 PSA, {args.stations} stations x {n_time} samples (dt {DT_S} s), {periods.size} periods, "
          f"best of {args.repeat}")
    print(f"  brantle oscillator (exact recursion, lfilter): {ours_s:8.3f} s  "
          f"({args.stations / ours_s:8.1f} stations/s)")
    print(f"  pyrotd {pyrotd.__version__} (frequency domain):          {theirs_s:8.3f} s  "
          f"({args.stations / theirs_s:8.1f} stations/s)")
    print(f"  ratio pyrotd / brantle: {theirs_s / ours_s:.2f}")
    print("  |pyrotd / brantle - 1| by period (median over stations, max):")
    for j, period in enumerate(periods):
        print(f"    {period:6g} s  {np.median(difference[:, j]):7.2%}  {difference[:, j].max():7.2%}")


if __name__ == "__main__":
    main()
