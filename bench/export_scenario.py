"""Write a scenario as plain whitespace-separated text for the C++ benchmarks.

The engine benchmarks cannot read TOML; this script reads a scenario with the package's own
loader (the bundled example when no file is named) and writes every number the engine needs.
Reals are written as the shortest text that reads back as the same double, so a reader that
parses each one as a double and rounds it to single precision where the engine keeps single
precision gets exactly the values the Python classes hand to the engine.

    python bench/export_scenario.py OUTPUT [SCENARIO.toml]

Layout (one record per line, `#` lines are comments):

    brantle-scenario 1
    source  corner_frequency_constant corner_frequency_alpha rupture_velocity_fraction
            rupture_velocity_shallow rupture_velocity_deep rupture_velocity_sigma
    path    path_duration_model ray_count code...
    site    fmax_hz
    record  duration_s dt
    layers  layer_count vs_moho_km_s
            thickness_km vp_km_s vsh_km_s density_g_cm3 quality_factor_p quality_factor_s  (per layer)
    segments segment_count
    segment longitude_deg latitude_deg strike_deg dip_deg rake_deg top_depth_km
            subfault_length_km subfault_width_km hypocentre_along_strike_km
            hypocentre_down_dip_km down_dip_count along_strike_count
            slip ...            (down_dip_count x along_strike_count values, row by row from the top edge)
            rise_time_s ...
            rupture_time_s ...
            stress_drop_bars ...
    stations station_count
    station name latitude_deg longitude_deg kappa_s q_frequency_exponent seed   (per station)
"""

from __future__ import annotations

import sys
from pathlib import Path

FORMAT_VERSION = 1


def _real(value: float) -> str:
    # repr of a Python float round-trips exactly; a float32 widened to float is exact too.
    return repr(float(value))


def _reals(values) -> str:
    return " ".join(_real(v) for v in values)


def _token(name: str) -> str:
    # Names are single tokens in the file; the benchmark only prints them.
    cleaned = "".join(ch if ch.isprintable() and not ch.isspace() else "_" for ch in name)
    return cleaned or "-"


def export_lines(scenario) -> list[str]:
    source = scenario.source
    path = scenario.path
    vm = scenario.velocity_model
    lines = [
        f"brantle-scenario {FORMAT_VERSION}",
        f"# {scenario.file}",
        "source " + _reals([
            source.corner_frequency_constant,
            source.corner_frequency_alpha,
            source.rupture_velocity_fraction,
            source.rupture_velocity_shallow,
            source.rupture_velocity_deep,
            source.rupture_velocity_sigma,
        ]),
        f"path {int(path.path_duration_model)} {len(path.rayset)} " + " ".join(str(int(c)) for c in path.rayset),
        f"site {_real(scenario.site.fmax_hz)}",
        f"record {_real(scenario.record.duration_s)} {_real(scenario.record.dt)}",
        f"layers {vm.layers_given} {_real(vm.vs_moho_km_s)}",
    ]
    for k in range(vm.layers_given):
        lines.append(_reals([
            vm.thickness_km[k],
            vm.vp_km_s[k],
            vm.vsh_km_s[k],
            vm.density_g_cm3[k],
            vm.quality_factor_p[k],
            vm.quality_factor_s[k],
        ]))
    lines.append(f"segments {len(scenario.segments)}")
    for segment in scenario.segments:
        scalars = [
            segment.longitude_deg,
            segment.latitude_deg,
            segment.strike_deg,
            segment.dip_deg,
            segment.rake_deg,
            segment.top_depth_km,
            segment.subfault_length_km,
            segment.subfault_width_km,
            segment.hypocentre_along_strike_km,
            segment.hypocentre_down_dip_km,
        ]
        lines.append(f"segment {_reals(scalars)} {segment.down_dip_count} {segment.along_strike_count}")
        for grid in (segment.slip, segment.rise_time_s, segment.rupture_time_s, segment.stress_drop_bars):
            lines.append(_reals(grid.reshape(-1)))  # C order: row by row from the top edge
    lines.append(f"stations {len(scenario.stations)}")
    for station in scenario.stations:
        lines.append("station " + " ".join([
            _token(station.name),
            _real(station.latitude_deg),
            _real(station.longitude_deg),
            _real(station.kappa_s),
            _real(station.q_frequency_exponent),
            str(int(station.seed)),
        ]))
    return lines


def main(argv: list[str]) -> int:
    if len(argv) not in (2, 3):
        print(__doc__.split("\n\n")[2].strip(), file=sys.stderr)
        return 2
    from brantle.scenario import load_example, load_scenario

    scenario = load_scenario(argv[2]) if len(argv) == 3 else load_example()
    output = Path(argv[1])
    output.parent.mkdir(parents=True, exist_ok=True)
    temporary = output.with_name(output.name + ".partial")
    temporary.write_text("\n".join(export_lines(scenario)) + "\n", encoding="utf-8")
    temporary.replace(output)  # a reader never sees half a file
    print(f"exported {scenario.file} to {output}")
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv))
