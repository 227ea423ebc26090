"""The brantle command: demo, run (with Ctrl-C and --resume), info, and its usage errors."""

from __future__ import annotations

import os
import shutil
import signal
import subprocess
import sys
import time
from pathlib import Path

import numpy as np
import pytest
import xarray as xr

import brantle
from brantle import cli
from brantle.run import run_scenario
from brantle.scenario import example_scenario_path, load_scenario
from scenario_copies import small_scenario, station_lines

SUMMARY = [
    "  segments:        2",
    "    1 south: 12 along strike x 8 down dip = 96 subfaults of 2 x 2 km; strike 320, dip 90, rake 0",
    "    2 north: 8 along strike x 8 down dip = 64 subfaults of 2 x 2 km; strike 335, dip 90, rake 0",
    "  subfaults:       160",
    "  layers:          7 after Moho truncation (8 given; Moho at 33 km where vs reaches 4.3 km/s)",
    "  record:          8000 samples per record (80 s at dt = 0.01 s)",
    "  stations:        12",
    "  pairs:           3840 (subfault, ray) pairs = 160 subfaults with slip x 2 ray types x 12 stations",
]


def run(*args: str, cwd: Path | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "brantle", *args], capture_output=True, text=True, timeout=120,
                          cwd=cwd)


def records(path: Path) -> np.ndarray:
    with xr.open_dataset(path) as ds:
        return ds.acceleration.values


# --------------------------------------------------------------------------- demo


def test_demo_runs_the_bundled_example(tmp_path):
    result = run("demo", "--no-progress", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert result.stderr == ""
    lines = result.stdout.splitlines()
    assert lines[0] == "scenario: Two-segment strike-slip, Mw 6.9"
    assert lines[1] == f"  file:            {example_scenario_path()}"
    for expected in SUMMARY:
        assert expected in lines
    out = tmp_path / "out" / "demo"
    assert f"records: {out / 'records.nc'}" in lines
    assert f"intensity measures: {out / 'intensity_measures.csv'}" in lines
    assert any(line.startswith("figures: records.png, ") and line.endswith(f" in {out}") for line in lines)

    with xr.open_dataset(out / "records.nc") as ds:
        assert ds.acceleration.shape == (3, 12, 8000) and ds.acceleration.dtype == np.float32
        assert np.isfinite(ds.acceleration.values).all()
        assert list(ds.station.values[:2]) == ["PKA", "CHO"]
        # Peak ground acceleration falls with distance (the nearest station beats the farthest
        # by far more than the scatter of single records).
        pga = np.abs(ds.acceleration.values[:2]).max(axis=(0, 2))
        order = np.argsort(ds.distance_km.values)
        assert pga[order[0]] > 5 * pga[order[-1]]
    assert (out / "records.png").stat().st_size > 10_000

    # Run again (as make demo does), it replaces its own output with identical records.
    first = records(out / "records.nc")
    again = run("demo", "--no-progress", "--no-plots", "--no-intensity", cwd=tmp_path)
    assert again.returncode == 0, again.stderr
    assert np.array_equal(records(out / "records.nc"), first)


# --------------------------------------------------------------------------- info


def test_info_says_what_a_run_would_do(tmp_path):
    target = tmp_path / "mine"
    shutil.copytree(example_scenario_path().parent, target)
    info = run("info", str(target / "scenario.toml"))
    assert info.returncode == 0, info.stderr
    lines = info.stdout.splitlines()
    for expected in SUMMARY:
        assert expected in lines
    assert f"  scenario hash:   {brantle.load_example().content_hash()}" in lines

    (tmp_path / "two.csv").write_text("name,latitude_deg,longitude_deg,seed\nA,35.9,-120.1,1\nB,36.0,-120.2,2\n")
    info = run("info", str(target / "scenario.toml"), "--stations", str(tmp_path / "two.csv"))
    assert "  pairs:           640 (subfault, ray) pairs = 160 subfaults with slip x 2 ray types x 2 stations" in \
        info.stdout.splitlines()


def test_info_reports_a_broken_scenario_and_fails(tmp_path):
    target = tmp_path / "mine"
    shutil.copytree(example_scenario_path().parent, target)
    (target / "velocity_model.csv").unlink()
    result = run("info", str(target / "scenario.toml"))
    assert result.returncode == 1
    assert result.stdout == ""
    assert result.stderr == (
        f"brantle: error: {target}/scenario.toml: [velocity_model] file: file 'velocity_model.csv' not found "
        f"(looked for {target}/velocity_model.csv)\n"
    )


# --------------------------------------------------------------------------- run


def test_run_with_other_stations_then_resume(tmp_path):
    toml = small_scenario(tmp_path / "s", ["A", "B", "C"])
    (tmp_path / "more.csv").write_text(station_lines(["A", "B", "C", "D", "E"]))
    out = tmp_path / "out"
    options = ["--out", str(out), "--threads", "2", "--batch-size", "2", "--no-progress", "--no-plots"]
    first = run("run", str(toml), *options)
    assert first.returncode == 0, first.stderr
    assert first.stderr == ""
    assert f"records: {out / 'records.nc'}" in first.stdout.splitlines()
    assert "simulated 3 stations in " in first.stdout and " on 2 threads (" in first.stdout
    assert (out / "intensity_measures.csv").is_file()

    # Into a folder with records, only with --resume or --overwrite.
    refused = run("run", str(toml), *options, "--stations", str(tmp_path / "more.csv"))
    assert refused.returncode == 1
    assert refused.stderr.startswith(f"brantle: error: {out}: holds records of an earlier run (records.nc); "
                                     "add --resume to continue it")
    resumed = run("run", str(toml), *options, "--stations", str(tmp_path / "more.csv"), "--resume")
    assert resumed.returncode == 0, resumed.stderr
    assert "resuming: 3 of 5 stations were written before" in resumed.stdout
    assert "simulated 2 stations in " in resumed.stdout and "kept 3 stations written before" in resumed.stdout
    with xr.open_dataset(out / "records.nc") as ds:
        assert list(ds.station.values) == ["A", "B", "C", "D", "E"]


def test_run_default_output_folder_is_named_after_the_scenario(tmp_path):
    toml = small_scenario(tmp_path / "quake", ["A"], duration_s=2.0)
    result = run("run", str(toml), "--no-progress", "--no-plots", "--no-intensity", cwd=tmp_path)
    assert result.returncode == 0, result.stderr
    assert (tmp_path / "out" / "quake" / "records.nc").is_file()


def test_ctrl_c_keeps_whole_batches_and_resume_finishes_the_same_records(tmp_path):
    names = [f"N{k:02d}" for k in range(40)]  # seconds of work: time to press Ctrl-C
    toml = small_scenario(tmp_path / "s", names, duration_s=40.0)
    out = tmp_path / "out"
    command = [sys.executable, "-m", "brantle", "run", str(toml), "--out", str(out), "--threads", "1",
               "--batch-size", "1", "--no-progress", "--no-plots", "--no-intensity"]
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    deadline = time.monotonic() + 60
    while len(list((out / "batches").glob("batch-*.nc"))) < 2 and process.poll() is None and time.monotonic() < deadline:
        time.sleep(0.02)
    process.send_signal(signal.SIGINT)
    stdout, stderr = process.communicate(timeout=60)
    assert process.returncode == 130, stderr
    assert "brantle: interrupted: " in stderr and " of 40 stations are written in " in stderr
    assert "run the same command with --resume" in stderr
    assert "Traceback" not in stderr
    assert not (out / "records.nc").exists()
    assert [p.name for p in out.rglob("*.tmp")] == []
    batches = sorted((out / "batches").glob("batch-*.nc"))
    assert 2 <= len(batches) < 40
    for path in batches:
        assert records(path).shape == (3, 1, 4000)

    resumed = subprocess.run(command + ["--resume"], capture_output=True, text=True, timeout=120)
    assert resumed.returncode == 0, resumed.stderr
    assert f"kept {len(batches)} stations written before" in resumed.stdout
    one_go = run_scenario(load_scenario(toml), tmp_path / "one_go", threads=2, intensity=False, plots=False)
    with xr.open_dataset(out / "records.nc") as a, xr.open_dataset(one_go.records_file) as b:
        xr.testing.assert_identical(a, b)
        assert np.array_equal(a.acceleration.values.view(np.uint32), b.acceleration.values.view(np.uint32))


@pytest.mark.parametrize(
    "args, message",
    [
        (["--threads", "2", "--scheduler", "tcp://127.0.0.1:1"], "argument --scheduler: not allowed with argument --threads"),
        (["--format", "netcdf,segy"], "argument --format: expected a comma-separated list of netcdf, mseed, sac; got 'netcdf,segy'"),
        (["--threads", "0"], "argument --threads: expected at least 1, got 0"),
        (["--batch-size", "two"], "argument --batch-size: expected a whole number, got 'two'"),
        (["--resume", "--overwrite"], "argument --overwrite: not allowed with argument --resume"),
    ],
    ids=["threads-and-scheduler", "format", "threads", "batch-size", "resume-and-overwrite"],
)
def test_usage_errors(args, message, capsys):
    with pytest.raises(SystemExit) as exited:
        cli.main(["run", "scenario.toml", *args])
    assert exited.value.code == 2
    assert capsys.readouterr().err.splitlines()[-1] == f"brantle run: error: {message}"


@pytest.mark.parametrize(
    "args, module, message",
    [
        (["--format", "sac"], "brantle.obspy_io", "--format sac needs brantle.obspy_io, which is not installed "
         "(pip install 'brantle[obspy]')"),
        (["--scheduler", "tcp://127.0.0.1:1"], "brantle.distributed", "--scheduler needs brantle.distributed, "
         "which is not installed (pip install 'brantle[dask]')"),
    ],
    ids=["streams", "scheduler"],
)
def test_missing_optional_parts_fail_before_simulating(tmp_path, monkeypatch, capsys, args, module, message):
    toml = small_scenario(tmp_path / "s", ["A"], duration_s=2.0)
    monkeypatch.setitem(sys.modules, module, None)  # an import of it now fails
    assert cli.main(["run", str(toml), "--out", str(tmp_path / "out"), "--no-progress", *args]) == 1
    assert capsys.readouterr().err == f"brantle: error: {message}\n"
    assert not (tmp_path / "out").exists()


def test_usage_and_version():
    assert run().returncode == 2
    assert run("info").returncode == 2
    version = run("--version")
    assert version.returncode == 0 and version.stdout.strip() == f"brantle {brantle.__version__}"


def test_console_script_is_installed():
    script = Path(sys.executable).parent / "brantle"
    result = subprocess.run([str(script), "--version"], capture_output=True, text=True, timeout=60)
    assert result.returncode == 0 and result.stdout.strip() == f"brantle {brantle.__version__}"


# --------------------------------------------------------------------------- other engineers' parts


def test_streams_on_request(tmp_path):
    pytest.importorskip("obspy")
    pytest.importorskip("brantle.obspy_io")
    toml = small_scenario(tmp_path / "s", ["A", "B"], duration_s=2.0)
    result = run("run", str(toml), "--out", str(tmp_path / "out"), "--format", "netcdf,mseed,sac", "--no-progress",
                 "--no-plots", "--no-intensity")
    assert result.returncode == 0, result.stderr
    assert "streams: " in result.stdout
    assert (tmp_path / "out" / "records.nc").is_file()


def test_run_on_a_local_cluster_matches_threads(tmp_path):
    pytest.importorskip("brantle.distributed")
    distributed = pytest.importorskip("distributed")
    toml = small_scenario(tmp_path / "s", ["A", "B", "C", "D"], duration_s=2.0)
    quiet = ["--no-progress", "--no-plots", "--no-intensity"]
    threads = run("run", str(toml), "--out", str(tmp_path / "threads"), *quiet)
    assert threads.returncode == 0, threads.stderr
    with distributed.LocalCluster(n_workers=2, threads_per_worker=1, processes=True, host="127.0.0.1",
                                  dashboard_address=None) as cluster:
        dask = run("run", str(toml), "--out", str(tmp_path / "dask"), "--scheduler", cluster.scheduler_address,
                   "--batch-size", "1", *quiet)
    assert dask.returncode == 0, dask.stderr
    assert f"on the workers of {cluster.scheduler_address}" in dask.stdout
    with xr.open_dataset(tmp_path / "threads" / "records.nc") as a, xr.open_dataset(tmp_path / "dask" / "records.nc") as b:
        xr.testing.assert_identical(a, b)
