"""python -m brantle: the demo on the bundled example and `info` on a scenario file."""

from __future__ import annotations

import json
import shutil
import subprocess
import sys

import numpy as np

import brantle
from brantle.scenario import example_scenario_path


def run(*args: str) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-m", "brantle", *args], capture_output=True, text=True, timeout=60)


def test_demo_simulates_the_bundled_example(tmp_path):
    result = run("demo", "--out", str(tmp_path), "--no-progress")
    assert result.returncode == 0, result.stderr
    lines = result.stdout.splitlines()
    assert lines[0] == "scenario: Two-segment strike-slip, Mw 6.9"
    assert lines[1] == f"  file:            {example_scenario_path()}"
    for expected in [
        "  segments:        2",
        "    1 south: 12 along strike x 8 down dip = 96 subfaults of 2 x 2 km; strike 320, dip 90, rake 0",
        "    2 north: 8 along strike x 8 down dip = 64 subfaults of 2 x 2 km; strike 335, dip 90, rake 0",
        "  subfaults:       160",
        "  layers:          7 after Moho truncation (8 given; Moho at 33 km where vs reaches 4.3 km/s)",
        "  record:          8000 samples per record (80 s at dt = 0.01 s)",
        "  stations:        12",
    ]:
        assert expected in lines
    assert result.stderr == ""
    assert f"records: {tmp_path / 'records.npz'}" in lines
    assert f"picture: {tmp_path / 'records.png'}" in lines

    with np.load(tmp_path / "records.npz") as saved:
        records = saved["acceleration_cm_s2"]
        assert records.shape == (3, 12, 8000) and records.dtype == np.float32
        assert np.isfinite(records).all()
        assert list(saved["station"][:2]) == ["PKA", "CHO"]
        assert json.loads(str(saved["attributes"]))["units"] == "cm/s^2"
        # Peak ground acceleration falls with distance (the nearest station beats the farthest
        # by far more than the scatter of single records).
        pga = np.abs(records[:2]).max(axis=(0, 2))
        order = np.argsort(saved["distance_km"])
        assert pga[order[0]] > 5 * pga[order[-1]]
    assert (tmp_path / "records.png").stat().st_size > 10_000


def test_demo_rerun_gives_identical_records(tmp_path):
    for folder in ("a", "b"):
        assert run("demo", "--out", str(tmp_path / folder), "--no-progress", "--no-plot").returncode == 0
    with np.load(tmp_path / "a" / "records.npz") as a, np.load(tmp_path / "b" / "records.npz") as b:
        assert np.array_equal(a["acceleration_cm_s2"], b["acceleration_cm_s2"])


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


def test_info_on_a_copy_matches_the_demo(tmp_path):
    target = tmp_path / "mine"
    shutil.copytree(example_scenario_path().parent, target)
    info = run("info", str(target / "scenario.toml"))
    demo = run("demo", "--out", str(tmp_path / "out"), "--no-progress", "--no-plot")
    assert info.returncode == 0
    assert info.stdout.splitlines()[2:] == demo.stdout.splitlines()[2 : len(info.stdout.splitlines())]


def test_usage_errors_and_version():
    assert run().returncode == 2
    assert run("info").returncode == 2
    version = run("--version")
    assert version.returncode == 0 and version.stdout.strip() == f"brantle {brantle.__version__}"
