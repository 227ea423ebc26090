#!/usr/bin/env python3
"""Generate the bundled strike-slip example scenario.

The scenario is a magnitude ~6.7 earthquake on a vertical right-lateral strike-slip fault of
two segments (a 24 km southern segment striking N40W and a 16 km northern one bending to
N25W), diced into 2 km x 2 km subfaults from 1 km to 17 km depth: 160 subfaults in all.

Every subfault grid is written as a CSV file with one line per down-dip row, the top row
first, and one column per subfault along strike, starting at the segment's along-strike start
(the south-east end): the `(down_dip, along_strike)` order that FaultSegment takes.

- slip: an elliptical background slip that tapers to the fault edges plus a Gaussian asperity
  near the hypocentre, ~3.5 m peak, in centimetres;
- rupture time: the distance over the unfolded fault plane from the hypocentre divided by a
  rupture velocity of 0.8 x 3.5 km/s;
- rise time: 0.6 s to 2 s, growing with slip;
- stress drop: 30 to 70 bars, growing with slip.

Run it from anywhere; by default it writes into the package's example directory
(python/brantle/examples/strike_slip), which is what `python -m brantle demo` loads:

    python examples/make_example.py [--out DIR]

Only NumPy is needed. The output is deterministic.
"""

from __future__ import annotations

import argparse
import math
from pathlib import Path

import numpy as np

HERE = Path(__file__).resolve().parent
DEFAULT_OUT = HERE.parent / "python" / "brantle" / "examples" / "strike_slip"

SUBFAULT_KM = 2.0
DOWN_DIP = 8  # rows, 1 km to 17 km depth
TOP_DEPTH_KM = 1.0
SEGMENTS = [  # name, strike (deg), subfaults along strike
    ("south", 320.0, 12),
    ("north", 335.0, 8),
]
# South-east end of the southern segment's top edge.
START_LAT, START_LON = 35.70, -120.20
# Hypocentre: 7 km along strike from the south-east end, 10 km down dip (11 km depth).
HYPO_ALONG_KM, HYPO_DOWN_KM = 7.0, 10.0
RUPTURE_VELOCITY_KM_S = 0.8 * 3.5

KM_PER_DEG_LAT = 111.19


def km_per_deg_lon(lat_deg: float) -> float:
    return KM_PER_DEG_LAT * math.cos(math.radians(lat_deg))


def move(lat: float, lon: float, azimuth_deg: float, km: float) -> tuple[float, float]:
    """A point `km` away from (lat, lon) towards `azimuth_deg`, on a local flat earth (good to
    well under 100 m over the few tens of kilometres used here)."""
    north = km * math.cos(math.radians(azimuth_deg))
    east = km * math.sin(math.radians(azimuth_deg))
    return lat + north / KM_PER_DEG_LAT, lon + east / km_per_deg_lon(lat)


def fault_grids():
    """The four grids of each segment over the unfolded fault (x along strike from the south-
    east end, continuing across the bend; z down dip from the top edge)."""
    total_km = sum(n for _, _, n in SEGMENTS) * SUBFAULT_KM
    width_km = DOWN_DIP * SUBFAULT_KM
    grids = []
    x0 = 0.0
    for _, _, along in SEGMENTS:
        x = x0 + (np.arange(along) + 0.5) * SUBFAULT_KM
        z = (np.arange(DOWN_DIP) + 0.5) * SUBFAULT_KM
        xx, zz = np.meshgrid(x, z)  # shape (down_dip, along_strike)

        # Elliptical background, tapering towards every edge but the top (the rupture reaches
        # close to the surface), plus an asperity next to the hypocentre.
        u = (xx - total_km / 2) / (total_km / 2)
        w = zz / width_km
        background = 120.0 * np.sqrt(np.clip(1.0 - u**2, 0.0, None)) * np.sqrt(np.clip(1.0 - w**2, 0.0, None))
        asperity = 260.0 * np.exp(-(((xx - 13.0) / 7.0) ** 2 + ((zz - 8.0) / 4.5) ** 2))
        slip_cm = 15.0 + background + asperity

        distance_km = np.hypot(xx - HYPO_ALONG_KM, zz - HYPO_DOWN_KM)
        rupture_time_s = distance_km / RUPTURE_VELOCITY_KM_S

        grids.append((xx, zz, slip_cm, rupture_time_s))
        x0 += along * SUBFAULT_KM
    peak = max(g[2].max() for g in grids)
    out = []
    for _, _, slip_cm, rupture_time_s in grids:
        relative = slip_cm / peak
        out.append(
            {
                "slip_cm": slip_cm,
                "rise_time_s": 0.6 + 1.4 * relative,
                "rupture_time_s": rupture_time_s,
                "stress_drop_bars": 30.0 + 40.0 * relative,
            }
        )
    return out


def segment_origins():
    """Reference point of each segment: the middle of its top edge."""
    lat, lon = START_LAT, START_LON
    origins = []
    for _, strike, along in SEGMENTS:
        half = along * SUBFAULT_KM / 2
        origins.append(move(lat, lon, strike, half))
        lat, lon = move(lat, lon, strike, 2 * half)
    return origins


def trace_points():
    """The surface trace (the fault is vertical) as a dense list of points."""
    lat, lon = START_LAT, START_LON
    points = []
    for _, strike, along in SEGMENTS:
        for s in np.linspace(0.0, along * SUBFAULT_KM, 200):
            points.append(move(lat, lon, strike, float(s)))
        lat, lon = move(lat, lon, strike, along * SUBFAULT_KM)
    return np.array(points)


def distance_to_trace_km(lat: float, lon: float, trace: np.ndarray) -> float:
    north = (trace[:, 0] - lat) * KM_PER_DEG_LAT
    east = (trace[:, 1] - lon) * km_per_deg_lon(lat)
    return float(np.hypot(north, east).min())


# Stations: name, where (the fault point they face: along-strike km from the south-east end,
# or "S"/"N" beyond an end), side (+1 north-east, -1 south-west), wanted distance to the trace
# in km, own kappa (empty: the scenario default).
STATIONS = [
    ("PKA", 12.0, +1, 5.0, "0.035"),
    ("CHO", 22.0, -1, 8.0, ""),
    ("VAR", 30.0, +1, 12.0, "0.045"),
    ("GOL", 6.0, -1, 18.0, ""),
    ("SMR", 36.0, +1, 25.0, "0.030"),
    ("TEM", "S", 0, 32.0, ""),
    ("CAN", 18.0, -1, 40.0, "0.050"),
    ("SHA", "N", 0, 50.0, ""),
    ("LKH", 10.0, +1, 60.0, "0.040"),
    ("MTH", 28.0, -1, 72.0, ""),
    ("BRV", "S", 0, 85.0, "0.060"),
    ("CLW", 34.0, +1, 100.0, ""),
]


def station_position(where, side, distance_km):
    if where == "S":
        return move(START_LAT, START_LON, SEGMENTS[0][1] + 180.0, distance_km)
    if where == "N":
        lat, lon = START_LAT, START_LON
        for _, strike, along in SEGMENTS:
            lat, lon = move(lat, lon, strike, along * SUBFAULT_KM)
        return move(lat, lon, SEGMENTS[-1][1], distance_km)
    lat, lon = START_LAT, START_LON
    remaining = float(where)
    for _, strike, along in SEGMENTS:
        length = along * SUBFAULT_KM
        if remaining <= length:
            lat, lon = move(lat, lon, strike, remaining)
            return move(lat, lon, strike + 90.0 * side, distance_km)
        lat, lon = move(lat, lon, strike, length)
        remaining -= length
    raise ValueError(where)


# A generic continental crust over a mantle half-space: thickness, vp, vs, density, Qp, Qs.
# The Moho lies at 33 km, where vs first reaches vs_moho_km_s = 4.3 km/s; the layer below it
# is cut off by the Moho truncation.
VELOCITY_MODEL = [
    (0.5, 2.50, 1.20, 2.10, 60, 30),
    (1.5, 4.20, 2.40, 2.40, 150, 75),
    (3.0, 5.50, 3.20, 2.60, 300, 150),
    (10.0, 6.00, 3.50, 2.70, 500, 250),
    (12.0, 6.50, 3.75, 2.85, 700, 350),
    (6.0, 7.00, 4.00, 3.00, 800, 400),
    (20.0, 8.00, 4.50, 3.30, 1000, 500),
    (0.0, 8.20, 4.60, 3.40, 1000, 500),
]

SCENARIO = """\
# A magnitude ~{mw:.1f} strike-slip earthquake on a two-segment vertical fault, recorded by
# twelve stations 5 to 100 km from the fault. Generated by examples/make_example.py.
#
# Keys are the argument names of the brantle classes; see the README for the format.
name = "Two-segment strike-slip, Mw {mw:.1f}"
description = "Vertical right-lateral fault, 40 km x 16 km in 160 subfaults of 2 km x 2 km"

[source]
corner_frequency_constant = 1.8
corner_frequency_alpha = 0.2    # no effect here: the alpha term vanishes for dip 90, rake 0
rupture_velocity_fraction = 0.8 # rupture velocity / shear velocity
rupture_velocity_shallow = 0.7  # factor on the fraction above 5 km depth
rupture_velocity_deep = 1.0     # factor on the fraction at the bottom of the fault
rupture_velocity_sigma = 0.1    # log-normal scatter of the rupture velocity per subfault

[path]
rayset = [1, 2]                 # the up-going and the down-going direct ray
path_duration_model = 0

[site]
fmax_hz = 25.0

[record]
duration_s = 80.0
dt = 0.01

[velocity_model]
file = "velocity_model.csv"
vs_moho_km_s = 4.3
{segments}
[stations]
file = "stations.csv"
kappa_s = 0.04                  # for stations without their own
q_frequency_exponent = 0.6
"""

SEGMENT = """
[[segments]]
name = "{name}"
longitude_deg = {lon:.4f}        # middle of the segment's top edge
latitude_deg = {lat:.4f}
strike_deg = {strike:g}
dip_deg = 90.0
rake_deg = 0.0
top_depth_km = {top:g}
subfault_length_km = {size:g}
subfault_width_km = {size:g}
hypocentre_along_strike_km = {hypo_along:g}{hypo_note}
hypocentre_down_dip_km = {hypo_down:g}
slip = "segment_{name}/slip_cm.csv"       # cm
rise_time_s = "segment_{name}/rise_time_s.csv"
rupture_time_s = "segment_{name}/rupture_time_s.csv"
stress_drop_bars = "segment_{name}/stress_drop_bars.csv"
"""


def write_grid(path: Path, values: np.ndarray, what: str) -> None:
    rows, columns = values.shape
    with path.open("w") as f:
        f.write(f"# {what}: {rows} rows down dip (top edge first) x {columns} subfaults along strike\n")
        for row in values:
            f.write(",".join(f"{v:.2f}" for v in row) + "\n")


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.split("\n\n")[0])
    parser.add_argument("--out", type=Path, default=DEFAULT_OUT, help=f"output directory (default: {DEFAULT_OUT})")
    out = parser.parse_args().out
    out.mkdir(parents=True, exist_ok=True)

    descriptions = {
        "slip_cm": "slip in cm",
        "rise_time_s": "rise time in s",
        "rupture_time_s": "rupture time in s after the origin time",
        "stress_drop_bars": "stress drop in bars",
    }
    moment = 0.0
    for (name, _, _), grids in zip(SEGMENTS, fault_grids()):
        folder = out / f"segment_{name}"
        folder.mkdir(exist_ok=True)
        for key, values in grids.items():
            write_grid(folder / f"{key}.csv", values, descriptions[key])
        # Rough moment with a crustal rigidity of 3.3e11 dyne/cm^2.
        moment += float(grids["slip_cm"].sum()) * 3.3e11 * (SUBFAULT_KM * 1e5) ** 2

    trace = trace_points()
    with (out / "stations.csv").open("w") as f:
        f.write("# Stations around the fault; the distance to the surface trace is in each comment line.\n")
        f.write("# An empty kappa_s takes the default of [stations] in scenario.toml.\n")
        f.write("name,latitude_deg,longitude_deg,kappa_s,seed\n")
        for k, (name, where, side, distance, kappa) in enumerate(STATIONS):
            lat, lon = station_position(where, side, distance)
            seed = (0x9E3779B97F4A7C15 * (k + 1) + 0x2545F4914F6CDD1D) % 2**64
            f.write(f"# {name}: {distance_to_trace_km(lat, lon, trace):.1f} km from the trace\n")
            f.write(f"{name},{lat:.4f},{lon:.4f},{kappa},{seed}\n")

    with (out / "velocity_model.csv").open("w") as f:
        f.write("# Layers from the surface down; the last one is cut off at the Moho (vs >= 4.3 km/s).\n")
        f.write("thickness_km,vp_km_s,vsh_km_s,density_g_cm3,quality_factor_p,quality_factor_s\n")
        for layer in VELOCITY_MODEL:
            f.write(",".join(f"{v:g}" for v in layer) + "\n")

    mw = 2 / 3 * math.log10(moment) - 10.7
    segments = []
    start_km = 0.0
    for (name, strike, along), (lat, lon) in zip(SEGMENTS, segment_origins()):
        # The hypocentre in each segment's own along-strike coordinate: on the northern
        # segment it lies before the segment's start.
        hypo_along = HYPO_ALONG_KM - start_km
        segments.append(SEGMENT.format(
            name=name, lon=lon, lat=lat, strike=strike, top=TOP_DEPTH_KM, size=SUBFAULT_KM,
            hypo_along=hypo_along, hypo_down=HYPO_DOWN_KM,
            hypo_note="  # on the southern segment" if hypo_along < 0 else ""))
        start_km += along * SUBFAULT_KM
    (out / "scenario.toml").write_text(SCENARIO.format(mw=mw, segments="".join(segments)))
    print(f"wrote the example into {out}: moment ~{moment:.2e} dyne.cm, Mw ~{mw:.1f}")


if __name__ == "__main__":
    main()
