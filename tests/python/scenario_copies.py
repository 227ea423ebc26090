"""Editable copies of the bundled example for tests that run scenarios: shorter records, a
scenario seed and a station list of the test's choosing."""

from __future__ import annotations

import shutil
from pathlib import Path

import numpy as np

from brantle.scenario import example_scenario_path


def edit(path: Path, old: str, new: str) -> None:
    text = path.read_text()
    assert text.count(old) == 1, f"{old!r} is not in {path} exactly once"
    path.write_text(text.replace(old, new))


def station_lines(names, seeds=None) -> str:
    """A stations CSV: stations a few to some 60 km from the fault, one per name; ``seeds``
    maps names to explicit seeds (the others derive theirs)."""
    seeds = seeds or {}
    lines = ["name,latitude_deg,longitude_deg,kappa_s,seed"]
    for k, name in enumerate(names):
        angle = 2.3 * k
        radius_deg = 0.1 + 0.05 * (k % 10)
        lat, lon = 35.85 + radius_deg * np.cos(angle), -120.3 + radius_deg * np.sin(angle)
        lines.append(f"{name},{lat:.4f},{lon:.4f},,{seeds.get(name, '')}")
    return "\n".join(lines) + "\n"


def small_scenario(folder: Path, names, *, duration_s: float = 10.0, seed: int = 20240601) -> Path:
    """A copy of the example in ``folder`` with ``duration_s`` records, a scenario seed and the
    stations ``names`` (seeds derived); returns the scenario file."""
    shutil.copytree(example_scenario_path().parent, folder)
    toml = folder / "scenario.toml"
    edit(toml, "duration_s = 80.0", f"duration_s = {duration_s}")
    edit(toml, 'name = "Two', f'seed = {seed}\nname = "Two')
    (folder / "stations.csv").write_text(station_lines(names))
    return toml
