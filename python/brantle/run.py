"""A run: every station of a scenario simulated into an output folder, batch by batch, with
the intensity measures and figures at the end; interrupted runs resume where they stopped.

    with Run(scenario, "out/mine", resume=True) as run:
        run.simulate(threads=4, progress=print)
        result = run.finish()

or, in one call, :func:`run_scenario`. The folder's layout is described in
:mod:`brantle.output`; :meth:`Run.finish` adds ``intensity_measures.csv`` and the figures.
"""

from __future__ import annotations

import os
import time
from contextlib import closing
from dataclasses import dataclass, field
from pathlib import Path
from typing import Any, Callable, Iterator, Sequence

import numpy as np

from .output import (
    RECORDS_FILE,
    OutputError,
    OutputFolder,
    StationTable,
    _atomic,
    default_batch_size,
    read_header,
    read_records,
    run_attributes,
    station_table,
)
from .scenario import Scenario

__all__ = ["FORMATS", "INTENSITY_FILE", "Run", "RunResult", "run_scenario"]

#: Output formats: NetCDF is always written (it is what a resumed run reads); miniSEED and SAC
#: come from brantle.obspy_io.
FORMATS = ("netcdf", "mseed", "sac")
INTENSITY_FILE = "intensity_measures.csv"
#: Measures of the intensity table drawn against distance, when the table has them.
DISTANCE_PLOTS = ("pga_rotd50_cm_s2", "pgv_rotd50_cm_s", "psa_rotd50_0.2s_g", "psa_rotd50_1s_g")
_CHUNK_STATIONS = 256  # stations per chunk when reading records.nc back


@dataclass
class RunResult:
    out_dir: Path
    records_file: Path
    stations: int  # in the records file
    simulated: int  # in this run
    resumed: int  # taken from an earlier run
    seconds: float  # simulating
    workers: str  # what simulated: "N threads" or the scheduler's address
    files: list[Path] = field(default_factory=list)  # everything else written: tables, figures, streams
    notes: list[str] = field(default_factory=list)  # what was skipped, and why


class Run:
    """One run of ``scenario`` into ``out_dir``. Entering it locks the folder and checks what
    an earlier run left there: without ``resume`` or ``overwrite`` a folder with records is
    refused; with ``overwrite`` they are removed; with ``resume`` the stations already written
    by the same scenario are skipped (records of another scenario, package version or station
    inputs are refused)."""

    def __init__(self, scenario: Scenario, out_dir: str | os.PathLike, *, resume: bool = False,
                 overwrite: bool = False) -> None:
        if resume and overwrite:
            raise ValueError("resume and overwrite exclude each other")
        self.scenario = scenario
        self.folder = OutputFolder(out_dir)
        self.resume = resume
        self.overwrite = overwrite
        self.attributes = run_attributes(scenario)
        self.stations: StationTable | None = None
        self.sources: dict[str, tuple[Path, int]] = {}  # station name -> (file, index) written
        self.resumed = 0
        self.simulated = 0
        self.seconds = 0.0
        self.workers = ""

    def __enter__(self) -> Run:
        self.folder.__enter__()
        try:
            self._prepare()
        except BaseException:
            self.folder.__exit__(None, None, None)
            raise
        return self

    def __exit__(self, *exc) -> None:
        self.folder.__exit__(*exc)

    def _prepare(self) -> None:
        self.folder.remove_temporaries()
        self.stations = station_table(self.scenario)
        existing = self.folder.records_files()
        if existing and not (self.resume or self.overwrite):
            raise OutputError(
                f"{self.folder.path}: holds records of an earlier run ({existing[0].name}"
                + (f" and {len(existing) - 1} more files" if len(existing) > 1 else "")
                + "); add --resume to continue it, --overwrite to start again, or choose another output folder"
            )
        if self.overwrite:
            self.folder.clear()
        elif self.resume:
            self.sources = self.folder.written_stations(self.attributes, self.stations)
            self.resumed = len(self.sources)

    @property
    def total(self) -> int:
        return len(self.scenario.stations)

    @property
    def pending(self) -> list[int]:
        """Indices of the stations still to simulate, in station-list order."""
        assert self.stations is not None, "enter the Run first"
        return [k for k, name in enumerate(self.stations.name) if str(name) not in self.sources]

    def simulate(self, *, threads: int | None = None, client: Any = None, batch_size: int | None = None,
                 progress: Callable[[int], None] | None = None) -> None:
        """Simulate the pending stations on ``threads`` threads (default one per core) or, with
        a ``distributed.Client``, on its workers; write each batch as it finishes, then call
        ``progress`` with its station count. A KeyboardInterrupt (or any error) stops the run
        with only whole batches on disk."""
        pending = self.pending
        if not pending:
            return
        arrays = {key: values[pending] for key, values in self.scenario.station_arrays().items()}
        if client is not None:
            workers = _cluster_threads(client)
            self.workers = f"the workers of {_scheduler_address(client)}"
        else:
            workers = max(1, threads if threads is not None else (os.cpu_count() or 1))
            self.workers = f"{workers} thread" + ("s" if workers != 1 else "")
        size = batch_size if batch_size is not None else default_batch_size(len(pending), workers)
        if size < 1:
            raise ValueError(f"batch_size must be at least 1; got {size}")
        started = time.perf_counter()
        try:
            with closing(self._batches(arrays, size, threads=workers, client=client)) as batches:
                for start, records in batches:
                    indices = pending[start : start + records.shape[1]]
                    batch_stations = self.stations.take(indices)
                    path = self.folder.write_batch(batch_stations, records, self.attributes)
                    for j, name in enumerate(batch_stations.name):
                        self.sources[str(name)] = (path, j)
                    self.simulated += len(indices)
                    if progress is not None:
                        progress(len(indices))
        finally:
            self.seconds += time.perf_counter() - started

    def _batches(self, arrays: dict[str, np.ndarray], batch_size: int, *, threads: int,
                 client: Any) -> Iterator[tuple[int, np.ndarray]]:
        if client is not None:
            from .distributed import simulate_batches

            return simulate_batches(client, self.scenario, arrays, batch_size)
        from ._brantle import Simulator
        from .simulate import iter_batches

        simulator = Simulator(*self.scenario.build())
        return iter_batches(simulator, arrays, threads=threads, batch_size=batch_size)

    # ----- the end

    def finish(self, *, formats: Sequence[str] = ("netcdf",), intensity: bool = True, plots: bool = True,
               plot_stations: Sequence[str] | None = None) -> RunResult:
        """Combine every station into ``records.nc`` (the batch files are then removed), write
        the requested stream formats, and, unless turned off, the intensity-measure table and
        the figures."""
        assert self.stations is not None, "enter the Run first"
        unknown = [f for f in formats if f not in FORMATS]
        if unknown:
            raise ValueError(f"unknown output format {unknown[0]!r}; expected some of {', '.join(FORMATS)}")
        missing = len(self.pending)
        if missing:
            raise OutputError(f"{self.folder.path}: {missing} stations are not simulated yet; nothing was combined")
        n_time = self.scenario.record_samples
        result = RunResult(self.folder.path, self.folder.records_file, self.total, self.simulated, self.resumed,
                           self.seconds, self.workers or "none (every station was written before)")
        if self._needs_combining():
            self.folder.combine(self.stations, self.sources, n_time, self.attributes)
        self.folder.remove_batch_dir()
        self.sources = {str(name): (self.folder.records_file, k) for k, name in enumerate(self.stations.name)}
        self.folder.remove_products()  # what is not made again below would describe other records

        for fmt in formats:
            if fmt != "netcdf":
                result.files += self._write_streams(fmt)
        measures = None
        if intensity:
            try:
                measures = self._intensity_measures()
            except ImportError as error:
                result.notes.append(f"no intensity measures: {error.name or error} is not installed "
                                    "(pip install 'brantle[intensity]')")
            else:
                from .intensity import write_intensity_csv

                result.files.append(write_intensity_csv(self.folder.path / INTENSITY_FILE, list(self.stations.name),
                                                        self.stations.distance_km, measures))
        if plots:
            try:
                result.files += self._figures(measures, plot_stations)
            except ImportError as error:
                result.notes.append(f"no figures: {error.name or error} is not installed "
                                    "(pip install 'brantle[demo]')")
        return result

    def _needs_combining(self) -> bool:
        """False only when records.nc already holds exactly these stations, in this order,
        with these attributes (a resumed run that found everything done)."""
        if self.simulated or self.folder.batch_files() or not self.folder.records_file.exists():
            return True
        header = read_header(self.folder.records_file)
        return (header.attributes != self.attributes
                or [str(n) for n in header.stations.name] != [str(n) for n in self.stations.name])

    def _chunks(self) -> Iterator[tuple[int, np.ndarray]]:
        """(start, records) of records.nc, a few hundred stations at a time."""
        for start in range(0, self.total, _CHUNK_STATIONS):
            yield start, read_records(self.folder.records_file, start, start + _CHUNK_STATIONS)

    def _write_streams(self, fmt: str) -> list[Path]:
        from .obspy_io import write_streams

        stations = self.stations
        before = set(self.folder.path.rglob("*"))
        # A few hundred stations at a time: a run may not fit in memory whole.
        written = write_streams(self.folder.path, self.scenario.name, [str(n) for n in stations.name],
                                stations.latitude_deg, stations.longitude_deg, self._chunks(),
                                float(self.scenario.record.dt), fmt)
        if isinstance(written, (list, tuple)):
            return [Path(p) for p in written]
        return sorted(p for p in set(self.folder.path.rglob("*")) - before if p.is_file())

    def _intensity_measures(self):
        from .intensity import IntensityMeasures, intensity_measures

        dt = float(self.scenario.record.dt)
        parts = [intensity_measures(records, dt) for _, records in self._chunks()]
        return _concatenate_measures(IntensityMeasures, parts)

    def _figures(self, measures, plot_stations: Sequence[str] | None) -> list[Path]:
        from .demo import plot_records

        stations = self.stations
        names = [str(n) for n in stations.name]
        picks = _picks(stations.distance_km) if plot_stations is None else [names.index(n) for n in plot_stations]
        picked = np.concatenate([read_records(self.folder.records_file, k, k + 1) for k in picks], axis=1)
        if measures is not None:
            pga = measures.pga_horizontal_cm_s2
        else:
            pga = np.concatenate([np.abs(r[:2]).max(axis=(0, 2)) for _, r in self._chunks()])
        dt = float(self.scenario.record.dt)
        written = [_save(self.folder.path / "records.png",
                         plot_records(self.scenario.name, names, stations.distance_km, pga, picks, picked, dt))]
        if measures is None:
            return written
        from .intensity import intensity_table
        from .plots import plot_fourier_spectra, plot_measure_vs_distance, plot_psa

        picked_names = [names[k] for k in picks]
        written.append(_save(self.folder.path / "fourier_spectra.png", plot_fourier_spectra(picked, dt, picked_names, picked_names)))
        written.append(_save(self.folder.path / "psa.png", plot_psa(measures, picks, names)))
        table = intensity_table(names, stations.distance_km, measures)
        for column in DISTANCE_PLOTS:
            if column in table.dtype.names:
                written.append(_save(self.folder.path / f"{column}_vs_distance.png", plot_measure_vs_distance(table, column)))
        return written


def _picks(distance_km: np.ndarray) -> list[int]:
    """The nearest, a middle and the farthest station."""
    order = np.argsort(distance_km, kind="stable")
    chosen = [order[0], order[len(order) // 2], order[-1]] if len(order) >= 3 else list(order)
    return [int(k) for k in dict.fromkeys(chosen)]


def _save(path: Path, figure) -> Path:
    return _atomic(path, lambda temporary: figure.savefig(temporary, dpi=120, format="png"))


def _scheduler_address(client: Any) -> str:
    try:
        return str(client.scheduler.address)
    except AttributeError:
        return repr(client)


def _cluster_threads(client: Any) -> int:
    try:
        return max(1, sum(client.nthreads().values()))
    except Exception:  # a client that cannot say; batches are then sized for one worker
        return 1


def _concatenate_measures(cls, parts: list):
    """One IntensityMeasures of every station from per-chunk ones (station axis: the last of
    per-component arrays, the first of PSA)."""
    first = parts[0]
    fields: dict[str, Any] = {"periods_s": first.periods_s, "damping": first.damping}
    for name in ("pga_cm_s2", "pgv_cm_s", "arias_m_s", "d5_95_s"):
        fields[name] = np.concatenate([getattr(p, name) for p in parts], axis=1)
    for name in ("pga_horizontal_cm_s2", "pga_rotd50_cm_s2", "pgv_horizontal_cm_s", "pgv_rotd50_cm_s", "psa_rotd50_g"):
        fields[name] = np.concatenate([getattr(p, name) for p in parts], axis=0)
    return cls(**fields)


def run_scenario(scenario: Scenario, out_dir: str | os.PathLike, *, threads: int | None = None, client: Any = None,
                 batch_size: int | None = None, formats: Sequence[str] = ("netcdf",), resume: bool = False,
                 overwrite: bool = False, intensity: bool = True, plots: bool = True,
                 progress: Callable[[int], None] | None = None) -> RunResult:
    """Simulate every station of ``scenario`` into ``out_dir`` and finish the run (see
    :class:`Run`)."""
    with Run(scenario, out_dir, resume=resume, overwrite=overwrite) as run:
        run.simulate(threads=threads, client=client, batch_size=batch_size, progress=progress)
        return run.finish(formats=formats, intensity=intensity, plots=plots)

