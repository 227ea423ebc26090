"""Scenario files: the bundled example, the alternative forms of the format, and a table of
malformed scenarios with the message each one gets."""

from __future__ import annotations

import filecmp
import pickle
import shutil
import subprocess
import sys
from pathlib import Path

import numpy as np
import pytest

import engine_records as engine
import brantle
from brantle.scenario import ScenarioError, example_scenario_path, load_example, load_scenario, record_samples

REPO = Path(__file__).resolve().parents[2]


@pytest.fixture
def scenario_dir(tmp_path):
    """A private copy of the bundled example to edit."""
    target = tmp_path / "example"
    shutil.copytree(example_scenario_path().parent, target)
    return target


def edit(path: Path, old: str, new: str) -> None:
    text = path.read_text()
    assert text.count(old) == 1, f"{old!r} is not in {path} exactly once"
    path.write_text(text.replace(old, new))


# --------------------------------------------------------------------------- the example


def test_bundled_example_is_installed_with_the_package():
    path = example_scenario_path()
    assert path.is_file()
    assert path.parent.parent.parent == Path(brantle.__file__).parent


def test_bundled_example_loads_and_builds():
    scenario = load_example()
    assert [s.name for s in scenario.segments] == ["south", "north"]
    assert [s.slip.shape for s in scenario.segments] == [(8, 12), (8, 8)]
    assert scenario.subfault_count == 160
    assert scenario.record_samples == 8000
    assert len(scenario.stations) == 12
    assert len({s.seed for s in scenario.stations}) == 12
    config, slip_model, velocity_model = scenario.build()
    assert isinstance(config, brantle.HfConfig)
    assert slip_model.subfault_count == 160
    assert velocity_model.layer_count == 7
    assert scenario.velocity_model.moho_depth_km() == 33.0
    # A realistic source: slip up to a few metres, tens of bars, rupture spreading from the
    # hypocentre.
    slip = np.concatenate([s.slip.ravel() for s in scenario.segments])
    stress = np.concatenate([s.stress_drop_bars.ravel() for s in scenario.segments])
    assert 200 < slip.max() < 500 and slip.min() > 0
    assert 30 <= stress.min() and stress.max() <= 70
    assert scenario.segments[0].rupture_time_s.min() < 0.5


def test_bundled_example_is_what_the_generator_writes(tmp_path):
    subprocess.run([sys.executable, str(REPO / "examples" / "make_example.py"), "--out", str(tmp_path)],
                   check=True, capture_output=True)
    bundled = example_scenario_path().parent
    written = sorted(p.relative_to(tmp_path) for p in tmp_path.rglob("*") if p.is_file())
    assert written == sorted(p.relative_to(bundled) for p in bundled.rglob("*") if p.is_file())
    for name in written:
        assert filecmp.cmp(tmp_path / name, bundled / name, shallow=False), name


def test_scenario_is_plain_picklable_data():
    scenario = load_example()
    clone = pickle.loads(pickle.dumps(scenario))
    assert clone.stations == scenario.stations
    assert clone.source == scenario.source and clone.path == scenario.path
    for mine, theirs in zip(clone.segments, scenario.segments):
        for name in ("slip", "rise_time_s", "rupture_time_s", "stress_drop_bars"):
            np.testing.assert_array_equal(getattr(mine, name), getattr(theirs, name))
    assert clone.build().slip_model.subfault_count == 160
    with pytest.raises(ValueError, match="read-only"):
        scenario.segments[0].slip[0, 0] = 0


def test_station_arrays_have_the_batch_dtypes():
    arrays = load_example().station_arrays()
    assert {k: v.dtype for k, v in arrays.items()} == {
        "latitude_deg": np.float32,
        "longitude_deg": np.float32,
        "station_seed": np.uint64,
        "kappa_s": np.float32,
        "q_frequency_exponent": np.float32,
    }
    # Empty kappa cells take the scenario default, and 64-bit seeds survive whole.
    assert arrays["kappa_s"][1] == np.float32(0.04)
    assert int(arrays["station_seed"][0]) == 14086536477059537202


def test_grids_reach_the_engine_in_file_order():
    scenario = load_example()
    slip_model = scenario.build_slip_model()
    stored = engine.slip_model(slip_model)["segments"][1]
    south = scenario.segments[1]
    assert (stored["down_dip_count"], stored["along_strike_count"]) == (8, 8)
    assert [s["slip"] for s in stored["subfaults"]] == [float(v) for v in south.slip.ravel()]
    assert stored["hypocentre_along_strike_km"] == -17.0


@pytest.mark.parametrize(
    "duration, dt, samples",
    [(40.96, 0.01, 4096), (80.0, 0.01, 8000), (1.0, 3.0, 0), (-1.0, 0.01, 0), (1.0, float("nan"), 0)],
)
def test_record_samples_count_in_single_precision(duration, dt, samples):
    assert record_samples(duration, dt) == samples


# --------------------------------------------------------------------------- other forms


def test_npy_grids_and_uniform_values(scenario_dir):
    south = scenario_dir / "segment_south"
    slip = np.loadtxt(south / "slip_cm.csv", delimiter=",", dtype=np.float64)
    np.save(south / "slip_cm.npy", slip)
    edit(scenario_dir / "scenario.toml", 'slip = "segment_south/slip_cm.csv"', 'slip = "segment_south/slip_cm.npy"')
    edit(scenario_dir / "scenario.toml", 'stress_drop_bars = "segment_south/stress_drop_bars.csv"',
         "stress_drop_bars = 50")
    scenario = load_scenario(scenario_dir / "scenario.toml")
    np.testing.assert_array_equal(scenario.segments[0].slip, load_example().segments[0].slip)
    assert scenario.segments[0].stress_drop_bars.shape == (8, 12)
    assert (scenario.segments[0].stress_drop_bars == 50).all()


def test_inline_velocity_model(scenario_dir):
    lines = [line for line in (scenario_dir / "velocity_model.csv").read_text().splitlines() if line[0] != "#"]
    names = lines[0].split(",")
    columns = zip(*(line.split(",") for line in lines[1:]))
    inline = "\n".join(f"{name} = [{', '.join(values)}]" for name, values in zip(names, columns))
    edit(scenario_dir / "scenario.toml", 'file = "velocity_model.csv"', inline)
    loaded = load_scenario(scenario_dir / "scenario.toml").velocity_model
    bundled = load_example().velocity_model
    for name in names:
        np.testing.assert_array_equal(getattr(loaded, name), getattr(bundled, name))
        assert getattr(loaded, name).dtype == getattr(bundled, name).dtype


# --------------------------------------------------------------------------- malformed


def toml(old, new):
    return lambda d: edit(d / "scenario.toml", old, new)


def file_edit(name, old, new):
    return lambda d: edit(d / name, old, new)


def rewrite(name, old, new):
    """Replace every occurrence."""
    return lambda d: (d / name).write_text((d / name).read_text().replace(old, new))


def write(name, text):
    return lambda d: (d / name).write_text(text)


def zero_slip(d):
    for segment in ("south", "north"):
        path = d / f"segment_{segment}" / "slip_cm.csv"
        rows = [line for line in path.read_text().splitlines() if not line.startswith("#")]
        path.write_text("\n".join(",".join("0" for _ in row.split(",")) for row in rows) + "\n")


T = "{dir}/scenario.toml"
MALFORMED = [
    # --- the TOML file and its tables
    ("missing-table", toml("[record]\nduration_s = 80.0\ndt = 0.01\n", ""), f"{T}: missing table [record]"),
    ("unknown-top-key", toml('name = "Two', 'nmae = "Two'), f"{T}: top level: unknown key 'nmae'; did you mean 'name'?"),
    ("table-not-table", lambda d: (toml("[site]\nfmax_hz = 25.0\n", "")(d), toml('name = "Two', 'site = 25.0\nname = "Two')(d)),
     f"{T}: [site]: expected a table, got the number 25.0"),
    ("unknown-key", toml("fmax_hz = 25.0", "fmax = 25.0"), f"{T}: [site]: unknown key 'fmax'; did you mean 'fmax_hz'?"),
    ("missing-key", toml("corner_frequency_constant = 1.8\n", ""), f"{T}: [source]: missing 'corner_frequency_constant'"),
    ("negative-dt", toml("dt = 0.01", "dt = -0.01"), f"{T}: [record] dt: expected a positive number, got -0.01"),
    ("string-dt", toml("dt = 0.01", 'dt = "0.01"'), f"{T}: [record] dt: expected a number, got the string '0.01'"),
    ("bool-dt", toml("dt = 0.01", "dt = true"), f"{T}: [record] dt: expected a number, got the boolean true"),
    ("nan-fmax", toml("fmax_hz = 25.0", "fmax_hz = nan"), f"{T}: [site] fmax_hz: expected a positive number, got nan"),
    ("huge-fmax", toml("fmax_hz = 25.0", "fmax_hz = 1e39"),
     f"{T}: [site] fmax_hz: expected a positive number, got 1e+39 (beyond the single-precision range)"),
    ("huge-int-duration", toml("duration_s = 80.0", "duration_s = 1" + "0" * 400),
     f"{T}: [record] duration_s: expected a positive number, got 1{'0' * 400} (beyond the single-precision range)"),
    ("tiny-dt", toml("dt = 0.01", "dt = 1e-50"),
     f"{T}: [record] dt: expected a positive number, got 1e-50 (0.0 in single precision)"),
    ("short-record", toml("duration_s = 80.0", "duration_s = 0.005"),
     f"{T}: [record]: duration_s = 0.005 is shorter than one sample of dt = 0.01"),
    ("long-record", toml("dt = 0.01", "dt = 1e-8"),
     f"{T}: [record]: duration_s / dt gives {record_samples(80.0, 1e-8)} samples; a record holds at most 2147483647"),
    ("negative-sigma", toml("rupture_velocity_sigma = 0.1", "rupture_velocity_sigma = -0.1"),
     f"{T}: [source] rupture_velocity_sigma: expected a number >= 0, got -0.1"),
    ("empty-rayset", toml("rayset = [1, 2]", "rayset = []"),
     f"{T}: [path] rayset: expected at least one ray code: with none, every record would be zero"),
    ("float-ray", toml("rayset = [1, 2]", "rayset = [1, 2.5]"),
     f"{T}: [path] rayset element 2: expected an integer, got the number 2.5"),
    ("string-rayset", toml("rayset = [1, 2]", 'rayset = "12"'),
     f"{T}: [path] rayset: expected an array of ray codes such as [1, 2], got the string '12'"),
    ("negative-ray", toml("rayset = [1, 2]", "rayset = [1, -2]"),
     f"{T}: [path] rayset element 2: expected a ray code from 0 to 2147483647, got -2"),
    ("duration-model", toml("path_duration_model = 0", "path_duration_model = 3"),
     f"{T}: [path] path_duration_model: expected one of 0, 1, 2, 11, 12, got 3"),
    # --- velocity model
    ("layers-missing", toml('file = "velocity_model.csv"', 'file = "layers.csv"'),
     f"{T}: [velocity_model] file: file 'layers.csv' not found (looked for {{dir}}/layers.csv)"),
    ("layer-not-number", file_edit("velocity_model.csv", "3,5.5,3.2,2.6,300,150", "3,fast,3.2,2.6,300,150"),
     "{dir}/velocity_model.csv, line 5, vp_km_s: expected a number, got 'fast'"),
    ("layer-short", file_edit("velocity_model.csv", "3,5.5,3.2,2.6,300,150", "3,5.5,3.2,2.6,300"),
     "{dir}/velocity_model.csv, line 5: expected 6 values (thickness_km, vp_km_s, vsh_km_s, density_g_cm3, "
     "quality_factor_p, quality_factor_s), got 5"),
    ("layer-column", file_edit("velocity_model.csv", "vsh_km_s", "vs_km_s"),
     "{dir}/velocity_model.csv, line 2: unknown column 'vs_km_s'; did you mean 'vsh_km_s'?"),
    ("layer-negative", file_edit("velocity_model.csv", "10,6,3.5,2.7", "-10,6,3.5,2.7"),
     "{dir}/velocity_model.csv, line 6, thickness_km: expected a number >= 0, got -10.0"),
    ("layer-zero-q", file_edit("velocity_model.csv", "300,150", "300,0"),
     "{dir}/velocity_model.csv, line 5, quality_factor_s: expected a positive number, got 0.0"),
    ("layers-none", write("velocity_model.csv", "thickness_km,vp_km_s,vsh_km_s,density_g_cm3,quality_factor_p,"
                          "quality_factor_s\n"),
     "{dir}/velocity_model.csv: expected at least one layer below the header"),
    ("moho-at-top", toml("vs_moho_km_s = 4.3", "vs_moho_km_s = 1.0"),
     f"{T}: [velocity_model] vs_moho_km_s: the first layer's vsh_km_s = 1.2 already reaches vs_moho_km_s = 1, "
     "so there is no crust above the Moho"),
    ("single-layer", toml('file = "velocity_model.csv"',
                          "thickness_km = [30.0]\nvp_km_s = [6.0]\nvsh_km_s = [3.5]\n"
                          "density_g_cm3 = [2.7]\nquality_factor_p = [500]\nquality_factor_s = [250]"),
     f"{T}: [velocity_model]: expected at least two layers: the last one becomes the half-space below the Moho, "
     "so a single layer leaves no crust above it"),
    ("inline-lengths", toml('file = "velocity_model.csv"',
                            "thickness_km = [1.0, 0.0]\nvp_km_s = [5.0, 8.0]\nvsh_km_s = [3.0, 4.5]\n"
                            "density_g_cm3 = [2.7, 3.3]\nquality_factor_p = [500, 1000]\nquality_factor_s = [250]"),
     f"{T}: [velocity_model]: every layer property needs one entry per layer; got lengths thickness_km 2, "
     "vp_km_s 2, vsh_km_s 2, density_g_cm3 2, quality_factor_p 2, quality_factor_s 1"),
    # --- segments
    ("segment-typo", toml("hypocentre_down_dip_km = 10\nslip = \"segment_south",
                          "hypocenter_down_dip_km = 10\nslip = \"segment_south"),
     f"{T}: [[segments]] #1: unknown key 'hypocenter_down_dip_km'; did you mean 'hypocentre_down_dip_km'?"),
    ("segment-dip", toml('strike_deg = 335\ndip_deg = 90.0', 'strike_deg = 335\ndip_deg = 0.0'),
     f"{T}: [[segments]] #2 ('north') dip_deg: expected a dip above 0 and at most 90 degrees, got 0.0"),
    ("segment-latitude", toml("latitude_deg = 35.7827", "latitude_deg = 135.7827"),
     f"{T}: [[segments]] #1 ('south') latitude_deg: expected a latitude from -90 to 90 degrees, got 135.7827"),
    ("grid-missing", toml('rise_time_s = "segment_north/rise_time_s.csv"', 'rise_time_s = "segment_north/rise.csv"'),
     f"{T}: [[segments]] #2 ('north') rise_time_s: file 'segment_north/rise.csv' not found "
     "(looked for {dir}/segment_north/rise.csv)"),
    ("grid-suffix", toml('slip = "segment_north/slip_cm.csv"', 'slip = "segment_north/slip_cm.txt"'),
     f"{T}: [[segments]] #2 ('north') slip: file 'segment_north/slip_cm.txt' not found "
     "(looked for {dir}/segment_north/slip_cm.txt)"),
    ("slip-number", toml('slip = "segment_north/slip_cm.csv"', "slip = 100"),
     f"{T}: [[segments]] #2 ('north') slip: expected the name of a .csv or .npy file, got the number 100"),
    ("grid-ragged", file_edit("segment_south/slip_cm.csv", "55.81,86.92,", "55.81,"),
     "{dir}/segment_south/slip_cm.csv, line 3: expected 12 values like the first row, got 11"),
    ("grid-text", file_edit("segment_south/slip_cm.csv", "55.81,86.92,", "55.81,lots,"),
     "{dir}/segment_south/slip_cm.csv, line 3, column 2: expected a number, got 'lots'"),
    ("grid-shape", file_edit("segment_north/rupture_time_s.csv", "7.19,7.83,8.49,9.15,9.83,10.50,11.19,11.87\n", ""),
     f"{T}: [[segments]] #2 ('north') rupture_time_s: {{dir}}/segment_north/rupture_time_s.csv holds (7, 8) "
     "subfaults (down dip, along strike) but slip holds (8, 8): the four grids describe the same subfaults"),
    ("stress-negative", file_edit("segment_north/stress_drop_bars.csv", "\n44.54,", "\n-5,"),
     "{dir}/segment_north/stress_drop_bars.csv, line 2, column 1: expected a positive stress drop (bars), got -5.0"),
    ("slip-nan", file_edit("segment_south/slip_cm.csv", "55.81,86.92,", "55.81,nan,"),
     "{dir}/segment_south/slip_cm.csv, line 3, column 2: expected a slip >= 0 (cm), got nan"),
    ("slip-overflow", file_edit("segment_south/slip_cm.csv", "55.81,86.92,", "55.81,1e39,"),
     "{dir}/segment_south/slip_cm.csv, line 3, column 2: 1e+39 is beyond the single-precision range"),
    ("diced-differently", toml("subfault_width_km = 2\nhypocentre_along_strike_km = -17",
                               "subfault_width_km = 2.5\nhypocentre_along_strike_km = -17"),
     f"{T}: [[segments]] #2 ('north') subfault_width_km: 2.5 differs from the first segment's 2.0; every segment "
     "must be diced into subfaults of one size"),
    ("no-slip", zero_slip, f"{T}: segments: every subfault has zero slip: there is no earthquake to simulate"),
    ("segments-typo", rewrite("scenario.toml", "[[segments]]", "[[segment]]"),
     f"{T}: top level: unknown key 'segment'; did you mean 'segments'?"),
    ("no-segments", rewrite("scenario.toml", "[[segments]]", "[[ignored]]"),
     f"{T}: top level: unknown key 'ignored'"),
    # --- stations
    ("station-column", file_edit("stations.csv", "name,latitude_deg,longitude_deg,kappa_s,seed",
                                 "name,lat,longitude_deg,kappa_s,seed"),
     "{dir}/stations.csv, line 3: unknown column 'lat'"),
    ("station-no-seed", file_edit("stations.csv", "kappa_s,seed", "kappa_s,sd"),
     "{dir}/stations.csv, line 3: unknown column 'sd'; did you mean 'seed'?"),
    ("seed-float", file_edit("stations.csv", "7040507222673184071", "12.5"),
     "{dir}/stations.csv, line 7, seed: expected an integer from 0 to 18446744073709551615, got '12.5'"),
    ("seed-negative", file_edit("stations.csv", "7040507222673184071", "-1"),
     "{dir}/stations.csv, line 7, seed: expected an integer from 0 to 18446744073709551615, got '-1'"),
    ("seed-too-big", file_edit("stations.csv", "7040507222673184071", "18446744073709551616"),
     "{dir}/stations.csv, line 7, seed: expected an integer from 0 to 18446744073709551615, got 18446744073709551616"),
    ("seed-twice", file_edit("stations.csv", "7040507222673184071", "14086536477059537202"),
     "{dir}/stations.csv, line 7, seed: station 'CHO' has the seed of station 'PKA'; "
     "stations with one seed get the same random noise"),
    ("name-twice", file_edit("stations.csv", "CHO,", "PKA,"),
     "{dir}/stations.csv, line 7, name: station 'PKA' already appears on line 5"),
    ("latitude", file_edit("stations.csv", "CHO,35.8053", "CHO,95.8053"),
     "{dir}/stations.csv, line 7, latitude_deg: expected a latitude from -90 to 90 degrees, got 95.8053"),
    ("kappa-default", toml("kappa_s = 0.04  ", "# no default kappa"),
     "{dir}/stations.csv, line 7, kappa_s: station 'CHO' has no kappa_s: give one in the file or a default "
     "kappa_s in [stations]"),
    ("station-cells", file_edit("stations.csv", "CHO,35.8053,-120.4246,,", "CHO,35.8053,-120.4246,"),
     "{dir}/stations.csv, line 7: expected 5 values (name, latitude_deg, longitude_deg, kappa_s, seed), got 4"),
    ("no-stations", write("stations.csv", "# nobody\nname,latitude_deg,longitude_deg,seed\n"),
     "{dir}/stations.csv: expected at least one station below the header"),
    ("no-seed", file_edit("stations.csv", "7040507222673184071", ""),
     "{dir}/stations.csv, line 7, seed: station 'CHO' has no seed: give one in the file or a scenario seed "
     f"(the top-level key seed in {T})"),
    ("scenario-seed-negative", toml('name = "Two', 'seed = -1\nname = "Two'),
     f"{T}: top level seed: expected an integer from 0 to 18446744073709551615, got -1"),
    ("scenario-seed-big", toml('name = "Two', 'seed = 18446744073709551616\nname = "Two'),
     f"{T}: top level seed: expected an integer from 0 to 18446744073709551615, got 18446744073709551616"),
    ("scenario-seed-string", toml('name = "Two', 'seed = "42"\nname = "Two'),
     f"{T}: top level seed: expected an integer from 0 to 18446744073709551615, got the string '42'"),
    ("derived-seed-clash", lambda d: (toml('name = "Two', 'seed = 5\nname = "Two')(d),
                                      file_edit("stations.csv", "7040507222673184071", "")(d),
                                      file_edit("stations.csv", "14086536477059537202",
                                                str(brantle.derive_station_seed(5, "CHO")))(d)),
     "{dir}/stations.csv, line 7, seed: station 'CHO' has the seed of station 'PKA'; "
     "stations with one seed get the same random noise"),
]


@pytest.mark.parametrize("change, message", [c[1:] for c in MALFORMED], ids=[c[0] for c in MALFORMED])
def test_malformed_scenarios(scenario_dir, change, message):
    change(scenario_dir)
    with pytest.raises(ScenarioError) as raised:
        load_scenario(scenario_dir / "scenario.toml")
    assert str(raised.value) == message.replace("{dir}", str(scenario_dir))
    assert isinstance(raised.value, ValueError)


@pytest.mark.parametrize(
    "content, start",
    [
        ("name = \n", "not valid TOML: "),
        (b"name = \"\xff\"\n", "not valid UTF-8 text: "),
    ],
    ids=["syntax", "encoding"],
)
def test_unreadable_scenario_files(tmp_path, content, start):
    path = tmp_path / "scenario.toml"
    path.write_bytes(content.encode() if isinstance(content, str) else content)
    with pytest.raises(ScenarioError) as raised:
        load_scenario(path)
    assert str(raised.value).startswith(f"{path}: {start}")


def test_missing_scenario_file(tmp_path):
    with pytest.raises(ScenarioError) as raised:
        load_scenario(tmp_path / "nothing.toml")
    assert str(raised.value) == f"{tmp_path}/nothing.toml: no such scenario file"


def test_npy_grid_errors(scenario_dir):
    south = scenario_dir / "segment_south"
    toml_path = scenario_dir / "scenario.toml"
    edit(toml_path, 'rise_time_s = "segment_south/rise_time_s.csv"', 'rise_time_s = "segment_south/rise.npy"')
    for values, message in [
        (np.ones((8, 12, 1)), "expected a two-dimensional array (down dip, along strike), got 3 dimensions"),
        (np.array([["a"] * 12] * 8), "expected real numbers, got dtype <U1"),
        (np.ones((8, 0)), "expected at least one subfault, got an empty (8, 0) array"),
    ]:
        np.save(south / "rise.npy", values)
        with pytest.raises(ScenarioError) as raised:
            load_scenario(toml_path)
        assert str(raised.value) == f"{south}/rise.npy: {message}"
    np.save(south / "rise.npy", np.array([[object()]], dtype=object), allow_pickle=True)
    with pytest.raises(ScenarioError, match="rise.npy: not a readable NumPy .npy file: "):
        load_scenario(toml_path)


# --------------------------------------------------------------------------- seeds, stations, hash


def test_derived_seed_is_pinned():
    """The derivation is part of every record: a change would silently change all of them."""
    assert brantle.derive_station_seed(20240601, "PKA") == 15864120573283373031
    assert brantle.derive_station_seed(0, "Zürich") == 8244603165081809611
    with pytest.raises(ValueError, match="scenario_seed must be an integer from 0 to"):
        brantle.derive_station_seed(2**64, "PKA")


def test_derived_seeds_and_records_survive_station_list_edits(tmp_path):
    """Removing one station and adding two changes neither the seed nor the record of any
    other station."""
    from scenario_copies import small_scenario, station_lines

    before = ["A1", "B2", "C3", "D4"]
    toml_path = small_scenario(tmp_path / "s", before, duration_s=5.0)
    scenario = load_scenario(toml_path)
    # B2 removed, X0 and Y9 added; the kept stations keep their lines (station_lines places
    # stations by their position in the list).
    old_lines = {line.split(",")[0]: line for line in station_lines(before).splitlines()[1:]}
    new_lines = station_lines(["X0", "A1", "C3", "D4", "Y9"]).splitlines()
    edited = [new_lines[0]] + [old_lines.get(line.split(",")[0], line) for line in new_lines[1:]]
    (tmp_path / "s" / "stations.csv").write_text("\n".join(edited) + "\n")
    after = load_scenario(toml_path)

    simulator = brantle.Simulator(*scenario.build())
    records = dict(zip(scenario.station_names, simulator.run_stations(**scenario.station_arrays()).transpose(1, 0, 2)))
    seeds = {s.name: s.seed for s in scenario.stations}
    records_after = dict(zip(after.station_names, simulator.run_stations(**after.station_arrays()).transpose(1, 0, 2)))
    for station in after.stations:
        if station.name in seeds:
            assert station.seed == seeds[station.name] == brantle.derive_station_seed(20240601, station.name)
            assert np.array_equal(records_after[station.name], records[station.name])
    assert len({s.seed for s in after.stations}) == 5


def test_explicit_seeds_win_over_derived(scenario_dir):
    edit(scenario_dir / "scenario.toml", 'name = "Two', 'seed = 77\nname = "Two')
    edit(scenario_dir / "stations.csv", "7040507222673184071", "")
    scenario = load_scenario(scenario_dir / "scenario.toml")
    assert scenario.seed == 77
    assert scenario.stations[0].seed == 14086536477059537202  # PKA keeps its own
    assert scenario.stations[1].seed == brantle.derive_station_seed(77, "CHO")


def test_stations_from_another_file(scenario_dir, tmp_path, monkeypatch):
    other = tmp_path / "others.csv"
    other.write_text("name,latitude_deg,longitude_deg,seed\nNEW,35.9,-120.1,3\n")
    monkeypatch.chdir(tmp_path)
    scenario = load_scenario(scenario_dir / "scenario.toml", stations="others.csv")
    assert [(s.name, s.seed, s.kappa_s) for s in scenario.stations] == [("NEW", 3, 0.04)]  # the defaults hold
    # The scenario's own stations file is then neither needed nor read.
    (scenario_dir / "stations.csv").unlink()
    assert load_scenario(scenario_dir / "scenario.toml", stations=other).stations == scenario.stations
    with pytest.raises(ScenarioError) as raised:
        load_scenario(scenario_dir / "scenario.toml", stations=tmp_path / "absent.csv")
    assert str(raised.value) == f"{tmp_path}/absent.csv: no such stations file"
    other.write_text("name,latitude_deg,longitude_deg,seed\nNEW,35.9,-120.1,x\n")
    with pytest.raises(ScenarioError, match=f"^{other}, line 2, seed: expected an integer"):
        load_scenario(scenario_dir / "scenario.toml", stations=other)


def change_grid_value(d):
    edit(d / "segment_south" / "slip_cm.csv", "55.81,86.92,", "55.81,86.93,")


def swap_segments(d):
    head, first, second_and_rest = (d / "scenario.toml").read_text().split("[[segments]]")
    second, rest = second_and_rest.split("[stations]")
    (d / "scenario.toml").write_text(f"{head}[[segments]]{second}[[segments]]{first}[stations]{rest}")


HASH_CHANGES = [
    ("grid-value", change_grid_value, True),
    ("parameter", toml("fmax_hz = 25.0", "fmax_hz = 25.000001"), True),
    ("layer", file_edit("velocity_model.csv", "300,150", "300,151"), True),
    ("ray-order", toml("rayset = [1, 2]", "rayset = [2, 1]"), True),
    ("segment-order", lambda d: swap_segments(d), True),
    ("stations", file_edit("stations.csv", "CHO,35.8053", "CHO,35.9053"), False),
    ("names", lambda d: rewrite("scenario.toml", 'name = "', 'name = "renamed ')(d), False),
    ("same-grid-as-npy", lambda d: (np.save(d / "segment_south" / "slip.npy",
                                            np.loadtxt(d / "segment_south" / "slip_cm.csv", delimiter=",")),
                                    toml('slip = "segment_south/slip_cm.csv"', 'slip = "segment_south/slip.npy"')(d)),
     False),
]


@pytest.mark.parametrize("change, differs", [c[1:] for c in HASH_CHANGES], ids=[c[0] for c in HASH_CHANGES])
def test_content_hash_follows_what_shapes_records(scenario_dir, change, differs):
    change(scenario_dir)
    assert (load_scenario(scenario_dir / "scenario.toml").content_hash() != load_example().content_hash()) == differs
