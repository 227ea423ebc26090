"""Runs into output folders: the records file's layout, batch files that are whole or absent
after an interrupted run, resuming to the same records as a run in one go, and the outputs a
resumed run refuses to mix with."""

from __future__ import annotations

import dataclasses
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

import brantle
from brantle import output
from brantle.output import OutputError, OutputFolder, records_dataset, run_attributes, station_table
from brantle.run import Run, run_scenario
from brantle.scenario import load_scenario
from scenario_copies import edit, small_scenario, station_lines

NAMES = [f"S{k:02d}" for k in range(9)]


@pytest.fixture(scope="module")
def scenario_file(tmp_path_factory):
    return small_scenario(tmp_path_factory.mktemp("scenario") / "small", NAMES)


@pytest.fixture(scope="module")
def one_go(scenario_file, tmp_path_factory):
    """A run in one go: the reference every other run must reproduce bit for bit."""
    out = tmp_path_factory.mktemp("one_go")
    result = run_scenario(load_scenario(scenario_file), out, threads=2, batch_size=4, intensity=False, plots=False)
    return result


def quick(scenario, out, **options):
    return run_scenario(scenario, out, threads=2, intensity=False, plots=False, **options)


def assert_same_records(path_a: Path, path_b: Path) -> None:
    with xr.open_dataset(path_a) as a, xr.open_dataset(path_b) as b:
        xr.testing.assert_identical(a, b)
        assert np.array_equal(a.acceleration.values.view(np.uint32), b.acceleration.values.view(np.uint32))


def leftovers(folder: Path) -> list[str]:
    return sorted(p.name for p in folder.rglob("*") if p.name.endswith(".tmp"))


def stations_in_batches(folder: Path) -> int:
    total = 0
    for path in (folder / "batches").glob("batch-*.nc"):
        with xr.open_dataset(path) as batch:
            total += batch.sizes["station"]
    return total


def interrupt_after(batches: int):
    """A progress callback that presses Ctrl-C once ``batches`` batches are written."""
    seen = []

    def progress(n: int) -> None:
        seen.append(n)
        if len(seen) == batches:
            raise KeyboardInterrupt

    return progress


# ------------------------------------------------------------------------------ layout


def test_records_file_layout_and_values(scenario_file, one_go):
    scenario = load_scenario(scenario_file)
    simulator = brantle.Simulator(*scenario.build())
    expected = simulator.run_stations(**scenario.station_arrays())
    with xr.open_dataset(one_go.records_file) as ds:
        assert ds.acceleration.dims == ("component", "station", "time")
        assert list(ds.component.values) == ["090", "000", "UP"]
        assert list(ds.station.values) == NAMES
        assert ds.acceleration.attrs["units"] == "cm/s^2"
        assert ds.acceleration.dtype == np.float32
        assert ds.time.attrs["units"] == "s" and ds.time.values[1] == pytest.approx(0.01)
        assert ds.sizes["time"] == scenario.record_samples == 1000
        assert ds.attrs["scenario_hash"] == scenario.content_hash()
        assert ds.attrs["brantle_version"] == brantle.__version__
        assert ds.attrs["dt_s"] == 0.01
        assert ds.seed.dtype == np.uint64 and list(ds.seed.values) == [s.seed for s in scenario.stations]
        assert (ds.distance_km > 1).all() and (ds.distance_km < 80).all()
        # Written batch by batch and combined: the same as one batch of every station.
        assert np.array_equal(ds.acceleration.values, expected)
        # The in-memory Dataset is the file's.
        xr.testing.assert_identical(ds.load(), records_dataset(station_table(scenario), expected, run_attributes(scenario)))
    folder = one_go.out_dir
    assert not (folder / "batches").exists()
    assert leftovers(folder) == []


# ------------------------------------------------------------------------------ interrupted and resumed


def test_interrupted_run_keeps_whole_batches_and_resumes_to_the_same_records(scenario_file, one_go, tmp_path):
    scenario = load_scenario(scenario_file)
    with pytest.raises(KeyboardInterrupt):
        quick(scenario, tmp_path, batch_size=2, progress=interrupt_after(2))
    assert leftovers(tmp_path) == []
    assert not (tmp_path / "records.nc").exists()
    batches = sorted((tmp_path / "batches").iterdir())
    assert len(batches) == 2
    reference = xr.open_dataset(one_go.records_file)
    for path in batches:  # each a whole file, its records those of the run in one go
        with xr.open_dataset(path) as batch:
            assert batch.sizes["station"] in (1, 2)  # 9 stations: the last batch holds one
            np.testing.assert_array_equal(batch.acceleration.values,
                                          reference.acceleration.sel(station=batch.station.values).values)
    reference.close()
    written = stations_in_batches(tmp_path)

    result = quick(scenario, tmp_path, resume=True, batch_size=3)
    assert (result.resumed, result.simulated) == (written, 9 - written)
    assert_same_records(result.records_file, one_go.records_file)
    assert not (tmp_path / "batches").exists() and leftovers(tmp_path) == []

    # Everything done: a second resume simulates nothing and leaves the records as they are.
    again = quick(scenario, tmp_path, resume=True)
    assert (again.resumed, again.simulated) == (9, 0)
    assert_same_records(again.records_file, one_go.records_file)


def test_interrupt_while_writing_leaves_no_partial_file(scenario_file, tmp_path, monkeypatch):
    """Ctrl-C after a batch file is written but before it is renamed: neither the temporary
    file nor the batch may stay."""
    real_fsync = output._fsync
    calls = []

    def fsync_then_interrupt(path):
        real_fsync(path)
        calls.append(path)
        if len(calls) == 2:
            raise KeyboardInterrupt

    monkeypatch.setattr(output, "_fsync", fsync_then_interrupt)
    with pytest.raises(KeyboardInterrupt):
        quick(load_scenario(scenario_file), tmp_path, batch_size=3)
    assert [p.name for p in (tmp_path / "batches").iterdir()] == ["batch-000001.nc"]
    assert leftovers(tmp_path) == []


def test_resume_removes_what_a_killed_run_left_mid_write(scenario_file, one_go, tmp_path):
    scenario = load_scenario(scenario_file)
    with pytest.raises(KeyboardInterrupt):
        quick(scenario, tmp_path, batch_size=4, progress=interrupt_after(1))
    # A run killed outright (no Ctrl-C handling) leaves its temporary file behind.
    stale = tmp_path / "batches" / ".batch-000002.nc.999.0badf00d.tmp"
    stale.write_bytes(b"half a file")
    written = stations_in_batches(tmp_path)
    result = quick(scenario, tmp_path, resume=True)
    assert result.resumed == written and not stale.exists()
    assert_same_records(result.records_file, one_go.records_file)


def test_resume_with_more_stations_simulates_only_the_new_ones(scenario_file, tmp_path):
    scenario = load_scenario(scenario_file)
    first = dataclasses.replace(scenario, stations=scenario.stations[:5])
    quick(first, tmp_path)
    result = quick(scenario, tmp_path, resume=True)
    assert (result.resumed, result.simulated) == (5, 4)
    with xr.open_dataset(result.records_file) as ds:
        assert list(ds.station.values) == NAMES


def edit_stress_drop(folder: Path) -> None:
    edit(folder / "scenario.toml", 'stress_drop_bars = "segment_north/stress_drop_bars.csv"', "stress_drop_bars = 40")


def edit_kappa(folder: Path) -> None:
    path = folder / "stations.csv"
    lines = path.read_text().splitlines()
    lines[3] = lines[3].replace(",,", ",0.07,")
    path.write_text("\n".join(lines) + "\n")


def drop_station(folder: Path) -> None:
    (folder / "stations.csv").write_text(station_lines(NAMES[:-1]))


REFUSED = [
    ("another-scenario", edit_stress_drop, {"resume": True},
     "holds records of another scenario (its parameters, grids or layers differ: scenario_hash"),
    ("station-changed", edit_kappa, {"resume": True},
     "station 'S02' was written with other values (kappa_s 0.04 then, 0.07 now)"),
    ("station-dropped", drop_station, {"resume": True},
     "holds records of stations the station list lacks ('S08'); resuming would drop them from records.nc"),
    ("no-resume", lambda folder: None, {}, "holds records of an earlier run (records.nc); add --resume"),
]


@pytest.mark.parametrize("change, options, message", [c[1:] for c in REFUSED], ids=[c[0] for c in REFUSED])
def test_refuses_to_mix_records(scenario_file, tmp_path, change, options, message):
    folder = tmp_path / "scenario"
    small_scenario(folder, NAMES)
    out = tmp_path / "out"
    quick(load_scenario(folder / "scenario.toml"), out)
    before = sorted(p.name for p in out.iterdir())
    change(folder)
    with pytest.raises(OutputError, match="^" + str(out).replace(".", r"\.")) as raised:
        quick(load_scenario(folder / "scenario.toml"), out, **options)
    assert message in str(raised.value)
    assert sorted(p.name for p in out.iterdir()) == before  # nothing touched


def test_refuses_another_package_version(scenario_file, tmp_path, monkeypatch):
    scenario = load_scenario(scenario_file)
    with pytest.raises(KeyboardInterrupt):
        quick(scenario, tmp_path, batch_size=4, progress=interrupt_after(1))
    monkeypatch.setattr(brantle, "__version__", "99.0")
    with pytest.raises(OutputError, match=r"batch-000001\.nc: holds records of another brantle version"):
        quick(scenario, tmp_path, resume=True)


def test_overwrite_starts_again(scenario_file, one_go, tmp_path):
    scenario = load_scenario(scenario_file)
    with pytest.raises(KeyboardInterrupt):
        quick(dataclasses.replace(scenario, stations=scenario.stations[:4]), tmp_path, batch_size=1,
              progress=interrupt_after(2))
    result = quick(scenario, tmp_path, overwrite=True, batch_size=4)
    assert (result.resumed, result.simulated) == (0, 9)
    assert_same_records(result.records_file, one_go.records_file)


def test_one_run_per_folder(tmp_path):
    with OutputFolder(tmp_path):
        with pytest.raises(OutputError, match="another brantle run is writing to this folder"):
            OutputFolder(tmp_path).__enter__()
    with OutputFolder(tmp_path):  # released
        pass


def test_intensity_table_and_figures(scenario_file, tmp_path):
    result = run_scenario(load_scenario(scenario_file), tmp_path, threads=2)
    names = sorted(p.name for p in result.files)
    assert "intensity_measures.csv" in names and "records.png" in names and "psa.png" in names
    lines = (tmp_path / "intensity_measures.csv").read_text().splitlines()
    assert lines[0].startswith("name,distance_km,pga_e_cm_s2")
    assert [line.split(",")[0] for line in lines[1:]] == NAMES
    with xr.open_dataset(result.records_file) as ds:
        distance = ds.distance_km.values
        pga = np.abs(ds.acceleration.values[:2]).max(axis=(0, 2))
    assert np.allclose([float(line.split(",")[1]) for line in lines[1:]], distance, rtol=1e-6)
    assert np.allclose([float(line.split(",")[5]) for line in lines[1:]], pga, rtol=1e-6)  # pga_h_cm_s2


def test_products_of_other_records_do_not_stay(scenario_file, tmp_path):
    """A table or figure made from the records of an earlier finish would describe other
    stations than records.nc: a finish that does not make them again removes them."""
    scenario = load_scenario(scenario_file)
    run_scenario(dataclasses.replace(scenario, stations=scenario.stations[:3]), tmp_path, threads=2)
    (tmp_path / "notes.txt").write_text("mine")
    assert (tmp_path / "intensity_measures.csv").exists() and (tmp_path / "psa.png").exists()
    quick(scenario, tmp_path, resume=True)
    assert sorted(p.name for p in tmp_path.iterdir() if not p.name.startswith(".")) == ["notes.txt", "records.nc"]
