"""Records on disk: NetCDF files that open as an xarray Dataset, written batch by batch and
atomically, so a run can be interrupted and resumed.

Every records file has the dimensions ``component`` (``"090"`` east, ``"000"`` north, ``"UP"``
vertical), ``station`` and ``time``; the data variable ``acceleration`` (float32, cm/s²); the
coordinates ``station`` (names), ``time`` (s after the origin time), ``latitude_deg``,
``longitude_deg``, ``distance_km`` (rupture distance), and the station inputs ``kappa_s``,
``q_frequency_exponent`` and ``seed``; and the attributes of :func:`run_attributes`. A run
folder holds:

``batches/batch-NNNNNN.nc``
    One file per finished batch of stations while a run is under way.
``records.nc``
    All stations, in the order of the station list, once every batch is done; the batch
    files are then removed.

Files are written under a temporary name beside the target and renamed, so a reader (or a
resumed run) only ever sees whole files. ``xarray.open_dataset(path)`` or
:func:`open_records` reads any of them.

The files are written with the ``netCDF4`` library directly rather than through
``Dataset.to_netcdf``: the combined file is filled batch by batch, so a run of hundreds of
thousands of stations never holds all records in memory.
"""

from __future__ import annotations

import math
import os
import re
import secrets
from dataclasses import dataclass
from pathlib import Path
from typing import Any, Iterable, Iterator, Mapping, Sequence

import numpy as np

from .scenario import Scenario, rupture_distance_km

__all__ = [
    "BATCH_DIR",
    "COMPONENTS",
    "RECORDS_FILE",
    "OutputError",
    "OutputFolder",
    "StationTable",
    "open_records",
    "random_generator",
    "read_records",
    "records_dataset",
    "run_attributes",
    "station_table",
    "write_records",
]

COMPONENTS = ("090", "000", "UP")
RECORDS_FILE = "records.nc"
BATCH_DIR = "batches"
ACCELERATION_UNITS = "cm/s^2"

#: Attributes that must be equal for records to belong to one run (and so to be resumed).
IDENTITY_ATTRIBUTES = ("scenario_hash", "brantle_version", "random_generator", "dt_s")

_BATCH_NAME = re.compile(r"batch-(\d{6,})\.nc")
_TEMPORARY = re.compile(r"\..+\.tmp")
_PRODUCT = re.compile(r"intensity_measures\.csv|records\.png|fourier_spectra\.png|psa\.png|.+_vs_distance\.png")
_COPY_STATIONS = 256  # stations per read when copying records between files


class OutputError(Exception):
    """An output folder that cannot be used as asked; the message says why and what to do."""


def _netcdf4():
    try:
        import netCDF4
    except ImportError:
        raise OutputError(
            "writing records needs the netCDF4 package: pip install 'brantle[io]' (xarray and netCDF4)"
        ) from None
    return netCDF4


# ------------------------------------------------------------------------------- stations


@dataclass(frozen=True, eq=False)
class StationTable:
    """Per-station coordinates of a records file, one entry per station."""

    name: np.ndarray  # str (object)
    latitude_deg: np.ndarray  # float64
    longitude_deg: np.ndarray  # float64
    distance_km: np.ndarray  # float64, rupture distance
    kappa_s: np.ndarray  # float64
    q_frequency_exponent: np.ndarray  # float64
    seed: np.ndarray  # uint64

    #: The columns that, with the scenario, decide a station's record.
    INPUTS = ("latitude_deg", "longitude_deg", "kappa_s", "q_frequency_exponent", "seed")

    def __len__(self) -> int:
        return len(self.name)

    def take(self, indices: Sequence[int] | np.ndarray) -> StationTable:
        indices = np.asarray(indices, dtype=np.intp)
        return StationTable(**{key: getattr(self, key)[indices] for key in _STATION_COLUMNS})

    def inputs(self, k: int) -> tuple:
        return tuple(getattr(self, key)[k].item() for key in self.INPUTS)


_STATION_COLUMNS = ("name", "latitude_deg", "longitude_deg", "distance_km", "kappa_s", "q_frequency_exponent", "seed")
_COORDINATE_ATTRIBUTES = {
    "latitude_deg": {"units": "degrees_north", "long_name": "station latitude"},
    "longitude_deg": {"units": "degrees_east", "long_name": "station longitude"},
    "distance_km": {"units": "km", "long_name": "rupture distance (to the nearest subfault centre)"},
    "kappa_s": {"units": "s", "long_name": "site kappa"},
    "q_frequency_exponent": {"units": "1", "long_name": "frequency exponent of the path Q"},
    "seed": {"long_name": "random seed of the station"},
}


def station_table(scenario: Scenario) -> StationTable:
    """The stations of ``scenario`` with their rupture distances."""
    stations = scenario.stations
    latitude = np.array([s.latitude_deg for s in stations], dtype=np.float64)
    longitude = np.array([s.longitude_deg for s in stations], dtype=np.float64)
    return StationTable(
        name=np.array([s.name for s in stations], dtype=object),
        latitude_deg=latitude,
        longitude_deg=longitude,
        distance_km=rupture_distance_km(scenario, latitude, longitude) if stations else np.zeros(0),
        kappa_s=np.array([s.kappa_s for s in stations], dtype=np.float64),
        q_frequency_exponent=np.array([s.q_frequency_exponent for s in stations], dtype=np.float64),
        seed=np.array([s.seed for s in stations], dtype=np.uint64),
    )


def random_generator() -> str:
    """The generator station runs draw from in this process: the engine switches to a test
    generator when QUILLON_FIXTURE_RNG is set, and records then differ."""
    return "fixture" if "QUILLON_FIXTURE_RNG" in os.environ else "pcg32"


def run_attributes(scenario: Scenario) -> dict[str, Any]:
    """The global attributes of a records file of ``scenario``."""
    from . import __version__

    return {
        "title": f"brantle records: {scenario.name}" if scenario.name else "brantle records",
        "scenario_name": scenario.name,
        "scenario_description": scenario.description,
        "scenario_hash": scenario.content_hash(),
        "brantle_version": __version__,
        "random_generator": random_generator(),
        "dt_s": float(scenario.record.dt),
    }


# ------------------------------------------------------------------------------- files


def _temporary_beside(path: Path) -> Path:
    # Same folder, so the rename is atomic; a fresh name, so two writers never share one.
    return path.with_name(f".{path.name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")


def _fsync(path: Path) -> None:
    fd = os.open(path, os.O_RDONLY)
    try:
        os.fsync(fd)  # the data is on disk before the name says the file is whole
    finally:
        os.close(fd)


def _create(path: Path, stations: StationTable, n_time: int, attributes: Mapping[str, Any]):
    """A new records file with every coordinate written and ``acceleration`` still empty;
    returns the open netCDF4 Dataset."""
    netCDF4 = _netcdf4()
    ds = netCDF4.Dataset(path, "w", format="NETCDF4")
    try:
        ds.setncatts(dict(attributes))
        ds.createDimension("component", len(COMPONENTS))
        ds.createDimension("station", len(stations))
        ds.createDimension("time", n_time)
        component = ds.createVariable("component", str, ("component",))
        component[:] = np.array(COMPONENTS, dtype=object)
        component.long_name = "090 east, 000 north, UP vertical"
        station = ds.createVariable("station", str, ("station",))
        if len(stations):
            station[:] = np.asarray(stations.name, dtype=object)
        time = ds.createVariable("time", "f8", ("time",), fill_value=False)
        time[:] = np.arange(n_time, dtype=np.float64) * float(attributes["dt_s"])
        time.units = "s"
        time.long_name = "time after the origin time"
        for key, attrs in _COORDINATE_ATTRIBUTES.items():
            values = getattr(stations, key)
            variable = ds.createVariable(key, values.dtype, ("station",), fill_value=False)
            variable[:] = values
            variable.setncatts(attrs)
        acceleration = ds.createVariable(
            "acceleration", "f4", ("component", "station", "time"), fill_value=False,
            chunksizes=(len(COMPONENTS), 1, max(n_time, 1)) if len(stations) and n_time else None,
        )
        acceleration.units = ACCELERATION_UNITS
        acceleration.long_name = "ground acceleration"
        acceleration.coordinates = " ".join(_COORDINATE_ATTRIBUTES)
    except BaseException:
        ds.close()
        raise
    return ds


def _atomic(path: Path, fill) -> Path:
    """Write ``path`` through ``fill(temporary_path)`` and a rename; on any error or Ctrl-C
    the temporary file is removed and ``path`` is as it was."""
    temporary = _temporary_beside(path)
    try:
        fill(temporary)
        _fsync(temporary)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return path


def write_records(path: str | os.PathLike, stations: StationTable, records: np.ndarray,
                  attributes: Mapping[str, Any]) -> Path:
    """Write records ``(3, n_station, n_time)`` in cm/s² and their stations to ``path``
    atomically."""
    records = np.asarray(records)
    if records.ndim != 3 or records.shape[0] != 3 or records.shape[1] != len(stations):
        raise ValueError(f"records must be shaped (3, {len(stations)}, n_time); got {records.shape}")

    def fill(temporary: Path) -> None:
        with _create(temporary, stations, records.shape[2], attributes) as ds:
            if records.size:
                ds["acceleration"][:] = records.astype(np.float32, copy=False)

    return _atomic(Path(path), fill)


def records_dataset(stations: StationTable, records: np.ndarray, attributes: Mapping[str, Any]):
    """The records as an xarray Dataset, laid out as in a records file."""
    import xarray as xr

    n_time = np.asarray(records).shape[2]
    coords: dict[str, Any] = {
        "component": ("component", np.array(COMPONENTS, dtype=object), {"long_name": "090 east, 000 north, UP vertical"}),
        "station": ("station", np.asarray(stations.name, dtype=object)),
        "time": ("time", np.arange(n_time, dtype=np.float64) * float(attributes["dt_s"]),
                 {"units": "s", "long_name": "time after the origin time"}),
    }
    for key, attrs in _COORDINATE_ATTRIBUTES.items():
        coords[key] = ("station", getattr(stations, key), attrs)
    acceleration = xr.Variable(("component", "station", "time"), np.asarray(records, dtype=np.float32),
                               {"units": ACCELERATION_UNITS, "long_name": "ground acceleration"})
    return xr.Dataset({"acceleration": acceleration}, coords=coords, attrs=dict(attributes))


def open_records(path: str | os.PathLike):
    """A records file as a lazily read xarray Dataset."""
    import xarray as xr

    return xr.open_dataset(path)


@dataclass(frozen=True, eq=False)
class RecordsFile:
    """What a records file holds, without its records."""

    path: Path
    attributes: dict[str, Any]
    stations: StationTable
    n_time: int


def read_header(path: Path) -> RecordsFile:
    """The attributes and stations of a records file; OutputError if it is not one."""
    netCDF4 = _netcdf4()
    try:
        with netCDF4.Dataset(path, "r") as ds:
            attributes = {key: ds.getncattr(key) for key in ds.ncattrs()}
            stations = StationTable(name=np.asarray(ds["station"][:], dtype=object),
                                    **{key: np.asarray(ds[key][:]) for key in _COORDINATE_ATTRIBUTES})
            n_time = len(ds.dimensions["time"])
            if ds["acceleration"].dimensions != ("component", "station", "time"):
                raise KeyError("acceleration")
    except (OSError, KeyError, IndexError) as error:
        raise OutputError(f"{path}: not a readable brantle records file ({error}); move it away, "
                          "or delete it to simulate its stations again") from None
    return RecordsFile(path, attributes, stations, n_time)


def read_records(path: str | os.PathLike, start: int = 0, stop: int | None = None) -> np.ndarray:
    """Acceleration of stations ``start`` to ``stop`` of a records file, ``(3, n, n_time)``."""
    netCDF4 = _netcdf4()
    with netCDF4.Dataset(path, "r") as ds:
        variable = ds["acceleration"]
        variable.set_auto_maskandscale(False)
        return np.asarray(variable[:, start:stop, :], dtype=np.float32)


def _runs(pairs: Iterable[tuple[int, int]], longest: int) -> Iterator[tuple[int, int, int]]:
    """(source start, target start, length) of runs where both indices step by one, at most
    ``longest`` long, from (source, target) pairs sorted by source."""
    run: list[int] | None = None
    for source, target in pairs:
        if run is not None and source == run[0] + run[2] and target == run[1] + run[2] and run[2] < longest:
            run[2] += 1
            continue
        if run is not None:
            yield tuple(run)  # type: ignore[misc]
        run = [source, target, 1]
    if run is not None:
        yield tuple(run)  # type: ignore[misc]


# ------------------------------------------------------------------------------- a run folder


class OutputFolder:
    """The output folder of one run: batch files, the combined records file, the lock that
    keeps a second run out while this one writes."""

    def __init__(self, out_dir: str | os.PathLike) -> None:
        self.path = Path(out_dir)
        self.records_file = self.path / RECORDS_FILE
        self.batch_dir = self.path / BATCH_DIR
        self._lock_fd: int | None = None
        self._next_batch = 0

    # ----- the lock

    def __enter__(self) -> OutputFolder:
        self.path.mkdir(parents=True, exist_ok=True)
        self.lock()
        return self

    def __exit__(self, *exc) -> None:
        self.unlock()

    def lock(self) -> None:
        """Refuse a second run writing into the same folder at the same time."""
        try:
            import fcntl
        except ImportError:  # no advisory locks on this system
            return
        fd = os.open(self.path / ".brantle.lock", os.O_RDWR | os.O_CREAT, 0o644)
        try:
            fcntl.flock(fd, fcntl.LOCK_EX | fcntl.LOCK_NB)
        except BlockingIOError:
            os.close(fd)
            raise OutputError(f"{self.path}: another brantle run is writing to this folder") from None
        self._lock_fd = fd

    def unlock(self) -> None:
        if self._lock_fd is not None:
            os.close(self._lock_fd)  # closing releases the lock
            self._lock_fd = None

    # ----- what is there

    def batch_files(self) -> list[Path]:
        if not self.batch_dir.is_dir():
            return []
        found = [(int(m.group(1)), p) for p in self.batch_dir.iterdir() if (m := _BATCH_NAME.fullmatch(p.name))]
        return [p for _, p in sorted(found)]

    def records_files(self) -> list[Path]:
        """Every file with records in the folder: the combined file first, then the batches."""
        combined = [self.records_file] if self.records_file.exists() else []
        return combined + self.batch_files()

    def remove_temporaries(self) -> None:
        """Remove what an earlier run killed mid-write left behind (never whole files)."""
        for folder in (self.path, self.batch_dir):
            if folder.is_dir():
                for p in folder.iterdir():
                    if _TEMPORARY.fullmatch(p.name) and p.is_file():
                        p.unlink(missing_ok=True)

    def clear(self) -> None:
        """Remove the records of an earlier run and what was made of them (for a run that
        starts again)."""
        for p in self.records_files():
            p.unlink()
        self.remove_batch_dir()
        self.remove_products()

    def products(self) -> list[Path]:
        """The files a finished run makes from records.nc: the intensity table, the figures,
        the stream files and their inventories (files of other names are left alone)."""
        found = [p for p in self.path.glob("*") if p.is_file() and _PRODUCT.fullmatch(p.name)]
        for fmt, suffix in (("mseed", ".mseed"), ("sac", ".sac")):
            folder = self.path / fmt
            if folder.is_dir():
                found += [p for p in folder.iterdir() if p.is_file() and (p.suffix == suffix or p.name == "stations.xml")]
        return sorted(found)

    def remove_products(self) -> None:
        """Remove the products of an earlier finish, so none is left describing other
        records than records.nc."""
        for p in self.products():
            p.unlink()
        for fmt in ("mseed", "sac"):
            folder = self.path / fmt
            if folder.is_dir() and not any(folder.iterdir()):
                folder.rmdir()

    def remove_batch_dir(self) -> None:
        for p in self.batch_files():
            p.unlink()
        if self.batch_dir.is_dir() and not any(self.batch_dir.iterdir()):
            self.batch_dir.rmdir()

    def written_stations(self, attributes: Mapping[str, Any], stations: StationTable) -> dict[str, tuple[Path, int]]:
        """Stations of ``stations`` already written here by a run with the same identity
        attributes, as name -> (file, index in the file).

        Raises OutputError when a file belongs to another scenario or package version, when a
        station was written with other inputs than it has now, or when the folder holds
        stations that ``stations`` lacks (the combined file would lose them)."""
        wanted = {str(name): k for k, name in enumerate(stations.name)}
        written: dict[str, tuple[Path, int]] = {}
        others: list[str] = []
        for path in self.records_files():
            header = read_header(path)
            self._check_identity(header, attributes)
            for j, name in enumerate(header.stations.name):
                name = str(name)
                if name not in wanted:
                    others.append(name)
                    continue
                k = wanted[name]
                if header.stations.inputs(j) != stations.inputs(k):
                    then = dict(zip(StationTable.INPUTS, header.stations.inputs(j)))
                    now = dict(zip(StationTable.INPUTS, stations.inputs(k)))
                    changed = ", ".join(f"{key} {then[key]!r} then, {now[key]!r} now" for key in then if then[key] != now[key])
                    raise OutputError(
                        f"{path}: station {name!r} was written with other values ({changed}); "
                        "choose another output folder, or start again with --overwrite"
                    )
                written.setdefault(name, (path, j))
        if others:
            unique = sorted(set(others))
            shown = ", ".join(repr(n) for n in unique[:5]) + (f" and {len(unique) - 5} more" if len(unique) > 5 else "")
            raise OutputError(
                f"{self.path}: holds records of stations the station list lacks ({shown}); resuming would drop "
                "them from records.nc. Resume with a station list that includes them, choose another output "
                "folder, or start again with --overwrite"
            )
        return written

    def _check_identity(self, header: RecordsFile, attributes: Mapping[str, Any]) -> None:
        for key in IDENTITY_ATTRIBUTES:
            theirs, ours = header.attributes.get(key), attributes[key]
            if theirs != ours:
                what = {
                    "scenario_hash": "another scenario (its parameters, grids or layers differ",
                    "brantle_version": "another brantle version (records may differ",
                    "random_generator": "another random generator (QUILLON_FIXTURE_RNG differs",
                    "dt_s": "another time step (dt differs",
                }[key]
                name = header.attributes.get("scenario_name", "")
                raise OutputError(
                    f"{header.path}: holds records of {what}: {key} {theirs!r} there, {ours!r} here)"
                    + (f" [scenario {name!r}]" if name and key == "scenario_hash" else "")
                    + "; refusing to mix them. Choose another output folder, or start again with --overwrite"
                )

    # ----- writing

    def write_batch(self, stations: StationTable, records: np.ndarray, attributes: Mapping[str, Any]) -> Path:
        """Write one finished batch as the next batch file, atomically."""
        self.batch_dir.mkdir(parents=True, exist_ok=True)
        if self._next_batch == 0:
            existing = self.batch_files()
            self._next_batch = int(_BATCH_NAME.fullmatch(existing[-1].name).group(1)) + 1 if existing else 1
        path = self.batch_dir / f"batch-{self._next_batch:06d}.nc"
        self._next_batch += 1
        return write_records(path, stations, records, attributes)

    def combine(self, stations: StationTable, sources: Mapping[str, tuple[Path, int]], n_time: int,
                attributes: Mapping[str, Any]) -> Path:
        """Write ``records.nc`` with every station of ``stations``, in that order, copied from
        ``sources`` (name -> (file, index)) a few hundred stations at a time; atomically."""
        by_file: dict[Path, list[tuple[int, int]]] = {}
        for target, name in enumerate(stations.name):
            path, source = sources[str(name)]
            by_file.setdefault(path, []).append((source, target))
        netCDF4 = _netcdf4()

        def fill(temporary: Path) -> None:
            with _create(temporary, stations, n_time, attributes) as out:
                acceleration = out["acceleration"]
                for path, pairs in by_file.items():
                    with netCDF4.Dataset(path, "r") as source_ds:
                        variable = source_ds["acceleration"]
                        variable.set_auto_maskandscale(False)
                        for source, target, n in _runs(sorted(pairs), _COPY_STATIONS):
                            acceleration[:, target : target + n, :] = variable[:, source : source + n, :]

        return _atomic(self.records_file, fill)


def default_batch_size(n_station: int, workers: int) -> int:
    """Stations per batch when none is asked for: about four batches per worker, so the load
    stays balanced, and at most 64, so an interrupted run loses little and each batch file
    stays small."""
    return max(1, min(64, math.ceil(n_station / (4 * max(1, workers)))))
