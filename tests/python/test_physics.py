"""Physics as a user would check it: the mean Fourier amplitude spectrum of many simulated
records of one subfault and one ray matches the stochastic-method target (omega-squared source
with subevent scaling, 1/R spreading, anelastic attenuation, kappa) shaped by the radiation
pattern, computed here independently in double precision."""

from __future__ import annotations

import math

import numpy as np

import brantle

DT_S = 0.01
N_TIME = 8192
KAPPA_S = 0.02
CZERO = 1.8
RUPTURE_FRACTION = 0.8
SLIP_CM = 100.0
STRESS_DROP_BARS = 50.0
SIDE_KM = 2.0
DEPTH_KM = 10.0
VS_KM_S, VP_KM_S, RHO_G_CM3, Q = 3.5, 6.0, 2.7, 1.0e4
LAT0, LON0 = 35.0, -120.0
RANGE_KM = 20.0


def one_subfault_simulator() -> brantle.Simulator:
    grid = lambda v: np.full((1, 1), v, np.float32)  # noqa: E731
    segment = brantle.FaultSegment(
        longitude_deg=LON0, latitude_deg=LAT0, strike_deg=0.0, dip_deg=90.0, rake_deg=0.0,
        top_depth_km=DEPTH_KM - SIDE_KM / 2, subfault_length_km=SIDE_KM, subfault_width_km=SIDE_KM,
        hypocentre_along_strike_km=0.0, hypocentre_down_dip_km=1.0,
        slip=grid(SLIP_CM), rise_time_s=grid(1.0), rupture_time_s=grid(0.0), stress_drop_bars=grid(STRESS_DROP_BARS),
    )
    # One 40 km layer over a half-space: the direct up-going ray stays in one medium, so its
    # path length is the straight distance and the site amplification is 1.
    crust = brantle.VelocityModel1D(
        thickness_km=np.array([40.0, 10.0], np.float32), vp_km_s=np.array([VP_KM_S, 8.0]),
        vsh_km_s=np.array([VS_KM_S, 4.6]), density_g_cm3=np.array([RHO_G_CM3, 3.3]),
        quality_factor_p=np.array([Q, Q], np.float32), quality_factor_s=np.array([Q, Q], np.float32),
        vs_moho_km_s=4.5,
    )
    config = brantle.HfConfig(
        source=brantle.SourceParameters(
            corner_frequency_constant=CZERO, corner_frequency_alpha=0.0, rupture_velocity_fraction=RUPTURE_FRACTION,
            rupture_velocity_shallow=1.0, rupture_velocity_deep=1.0, rupture_velocity_sigma=0.0),
        path=brantle.PathParameters(rayset=[1], path_duration_model=0),
        site=brantle.SiteParameters(fmax_hz=25.0),
        record=brantle.RecordParameters(duration_s=N_TIME * DT_S, dt=DT_S),
    )
    return brantle.Simulator(config, brantle.SlipModel([segment]), crust)


def target_amplitude(f_hz: np.ndarray, distance_km: float) -> np.ndarray:
    """Fourier acceleration amplitude (cm/s) of the synthesised series before radiation."""
    beta_cm_s = VS_KM_S * 1e5
    mu_area = VS_KM_S**2 * RHO_G_CM3 * SIDE_KM**2 * 1e20  # dyne/cm per cm of slip
    total_moment = SLIP_CM * mu_area
    subevent_moment = STRESS_DROP_BARS * SIDE_KM**3 * 1e21
    moment_scale = total_moment / subevent_moment  # one subfault: sqrt(1)
    corner_hz = RUPTURE_FRACTION * CZERO * VS_KM_S / SIDE_KM / math.pi
    w = 2 * math.pi * f_hz
    source = w**2 / (1 + (f_hz / corner_hz) ** 2) * 0.8946 / (RHO_G_CM3 * 4 * math.pi * beta_cm_s**3) * subevent_moment
    qbar = distance_km / (VS_KM_S * Q)
    path = np.exp(-math.pi * (f_hz * qbar + KAPPA_S * f_hz)) / (distance_km * 1e5)
    subevents = (f_hz**2 + corner_hz**2) * moment_scale / (f_hz**2 * moment_scale + corner_hz**2)
    # The inverse transform divides by half the source constant: the series carries twice it.
    return source * path * subevents / 0.4473


def mean_horizontal_pattern_power(takeoff_rad: float, azimuth_rad: float, samples: int = 400_000) -> float:
    """E[SV^2 + SH^2] over the random +-45 degree perturbations of all five angles, which is the
    expected power of the east plus the north radiation gain."""
    rng = np.random.default_rng(1)
    jitter = lambda: (rng.random(samples) - 0.5) * (math.pi / 2)  # noqa: E731
    i = takeoff_rad + jitter()
    az = azimuth_rad + jitter()
    strike = jitter()
    dip = math.pi / 2 + jitter()
    rake = jitter()
    phi = az - strike
    sl, cl, sd, cd, si, ci, sp, cp = (np.sin(rake), np.cos(rake), np.sin(dip), np.cos(dip), np.sin(i), np.cos(i),
                                      np.sin(phi), np.cos(phi))
    cos2d, cos2i, cos2p = cd**2 - sd**2, ci**2 - si**2, cp**2 - sp**2
    sv = (sl * cos2d * cos2i * sp - cl * cd * cos2i * cp + 2 * cl * sd * si * ci * sp * cp
          - 2 * sl * sd * cd * si * ci * (1 + sp**2))
    sh = cl * cd * ci * sp + cl * sd * si * cos2p + sl * cos2d * ci * cp - 2 * sl * sd * cd * si * sp * cp
    return float(np.mean(sv**2 + sh**2))


def test_mean_fourier_spectrum_matches_the_target_across_the_band():
    seeds = 200
    km_per_deg_lon = math.pi * 6378.137 / 180 * math.cos(math.radians(LAT0))  # close enough at 20 km
    stations = {
        "latitude_deg": np.full(seeds, LAT0, np.float32),
        "longitude_deg": np.full(seeds, LON0 + RANGE_KM / km_per_deg_lon, np.float32),
        "station_seed": np.arange(1, seeds + 1, dtype=np.uint64) * np.uint64(7919),
        "kappa_s": np.full(seeds, KAPPA_S, np.float32),
        "q_frequency_exponent": np.zeros(seeds, np.float32),  # attenuation exp(-pi f R / (v Q))
    }
    records = one_subfault_simulator().run_stations(**stations)
    assert np.isfinite(records).all()

    f_hz = np.fft.rfftfreq(N_TIME, DT_S)
    power = ((np.abs(np.fft.rfft(records[:2], axis=2)) * DT_S) ** 2).sum(axis=0).mean(axis=0)

    distance_km = math.hypot(RANGE_KM, DEPTH_KM)
    takeoff = math.pi - math.asin(RANGE_KM / distance_km)  # up-going ray in a uniform layer
    expected = target_amplitude(f_hz, distance_km) ** 2 * mean_horizontal_pattern_power(takeoff, math.pi / 2)

    # Third-octave bands from 0.3 to 20 Hz: the mean power of 2 x 200 records, averaged over a
    # band, scatters by a few per cent; a missing factor of sqrt(2), a kappa or Q slip or a
    # wrong subevent scaling moves a band by far more than the 20 per cent allowed.
    edges = 0.3 * 2 ** (np.arange(0, 19) / 3)
    ratios = []
    for low, high in zip(edges[:-1], edges[1:]):
        band = (f_hz >= low) & (f_hz < high)
        ratios.append(power[band].mean() / expected[band].mean())
    ratios = np.array(ratios)
    assert np.all((ratios > 0.8) & (ratios < 1.25)), dict(zip(np.round(edges[:-1], 2), np.round(ratios, 3)))
