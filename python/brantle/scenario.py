"""Scenario files: one earthquake, the crust and the stations, in a form a user can edit.

A scenario is a TOML file with tables named after the brantle classes, and CSV or NumPy
``.npy`` files beside it for everything that is a table of numbers:

``[source]``, ``[path]``, ``[site]``, ``[record]``
    The keyword arguments of :class:`SourceParameters`, :class:`PathParameters`,
    :class:`SiteParameters` and :class:`RecordParameters`, under the same names.
``[velocity_model]``
    ``vs_moho_km_s`` and either ``file`` (a CSV with the header ``thickness_km, vp_km_s,
    vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s`` and one line per layer from
    the surface down) or the six columns inline as TOML arrays under those names.
``[[segments]]``
    One table per fault segment, in order: an optional ``name``, the ten scalar arguments of
    :class:`FaultSegment`, and its four grids ``slip`` (cm), ``rise_time_s``,
    ``rupture_time_s`` and ``stress_drop_bars``, each the name of a CSV or ``.npy`` file
    holding one row per subfault down dip (the top edge first) and one column per subfault
    along strike. Any grid but ``slip`` may instead be one number used for every subfault.
``[stations]``
    ``file``: a CSV with the columns ``name``, ``latitude_deg``, ``longitude_deg`` and
    optionally ``kappa_s``, ``q_frequency_exponent`` and ``seed``; ``kappa_s`` and
    ``q_frequency_exponent`` in the table are the defaults for stations that leave them empty.
``seed`` (top level)
    The scenario seed, an integer from 0 to 2**64 - 1. A station without a seed of its own
    gets :func:`derive_station_seed` of it and the station's name, so adding or removing
    stations never changes another station's record.

File names are relative to the scenario file; ``load_scenario(path, stations=CSV)`` reads
the stations from another CSV file instead (relative to the working directory), with the
defaults and the seed of the scenario. In CSV files, blank lines and lines starting
with ``#`` are ignored.

:func:`load_scenario` reads and checks everything and returns a :class:`Scenario`: plain,
picklable Python data. Nothing of the extension module is made until :meth:`Scenario.build`.
Every problem is reported as a :class:`ScenarioError` naming the file, the key or line, and
what was expected; a scenario is only returned whole.
"""

from __future__ import annotations

import csv
import dataclasses
import difflib
import hashlib
import io
import math
import tomllib
from dataclasses import dataclass
from importlib import resources
from pathlib import Path
from typing import Any, NamedTuple, NoReturn

import numpy as np

from ._brantle import (
    FaultSegment,
    HfConfig,
    PathParameters,
    RecordParameters,
    SiteParameters,
    SlipModel,
    SourceParameters,
    VelocityModel1D,
)

__all__ = [
    "BuiltScenario",
    "PathConfig",
    "RecordConfig",
    "Scenario",
    "ScenarioError",
    "SegmentData",
    "SiteConfig",
    "SourceConfig",
    "Station",
    "VelocityModelData",
    "derive_station_seed",
    "example_scenario_path",
    "load_example",
    "load_scenario",
    "record_samples",
    "rupture_distance_km",
]

MAX_SEED = 2**64 - 1
MAX_RECORD_SAMPLES = 2**31 - 1
PATH_DURATION_MODELS = (0, 1, 2, 11, 12)
LAYER_COLUMNS = (
    "thickness_km",
    "vp_km_s",
    "vsh_km_s",
    "density_g_cm3",
    "quality_factor_p",
    "quality_factor_s",
)
GRIDS = ("slip", "rise_time_s", "rupture_time_s", "stress_drop_bars")
SEGMENT_SCALARS = (
    "longitude_deg",
    "latitude_deg",
    "strike_deg",
    "dip_deg",
    "rake_deg",
    "top_depth_km",
    "subfault_length_km",
    "subfault_width_km",
    "hypocentre_along_strike_km",
    "hypocentre_down_dip_km",
)


class ScenarioError(ValueError):
    """A scenario file that cannot be used as it stands; the message says where and why."""


def derive_station_seed(scenario_seed: int, name: str) -> int:
    """The seed of a station that has none of its own: the first 8 bytes of the BLAKE2b hash of
    the scenario seed (8 bytes, little-endian) followed by the station name in UTF-8, read as a
    little-endian unsigned integer. It depends on nothing else, so station lists can be edited
    freely."""
    if not 0 <= scenario_seed <= MAX_SEED:
        raise ValueError(f"scenario_seed must be an integer from 0 to {MAX_SEED}; got {scenario_seed}")
    digest = hashlib.blake2b(scenario_seed.to_bytes(8, "little") + name.encode("utf-8"), digest_size=8).digest()
    return int.from_bytes(digest, "little")


# ---------------------------------------------------------------------------- data


@dataclass(frozen=True)
class SourceConfig:
    corner_frequency_constant: float
    corner_frequency_alpha: float
    rupture_velocity_fraction: float
    rupture_velocity_shallow: float
    rupture_velocity_deep: float
    rupture_velocity_sigma: float


@dataclass(frozen=True)
class PathConfig:
    rayset: tuple[int, ...]
    path_duration_model: int


@dataclass(frozen=True)
class SiteConfig:
    fmax_hz: float


@dataclass(frozen=True)
class RecordConfig:
    duration_s: float
    dt: float


@dataclass(frozen=True, eq=False)
class VelocityModelData:
    """The layers as given, from the surface down (before the Moho truncation)."""

    thickness_km: np.ndarray  # float32
    vp_km_s: np.ndarray  # float64
    vsh_km_s: np.ndarray  # float64
    density_g_cm3: np.ndarray  # float64
    quality_factor_p: np.ndarray  # float32
    quality_factor_s: np.ndarray  # float32
    vs_moho_km_s: float

    @property
    def layers_given(self) -> int:
        return len(self.thickness_km)

    def moho_depth_km(self) -> float | None:
        """Depth of the first layer at least as fast as ``vs_moho_km_s`` (the Moho), summed in
        single precision as the truncation does; None when no layer reaches it."""
        depth = np.float32(0.0)
        for thickness, vs in zip(self.thickness_km, self.vsh_km_s):
            if vs >= self.vs_moho_km_s:
                return float(depth)
            depth = np.float32(depth + thickness)
        return None


@dataclass(frozen=True, eq=False)
class SegmentData:
    """One fault segment: the ten scalars and the four ``(down_dip, along_strike)`` grids."""

    name: str
    longitude_deg: float
    latitude_deg: float
    strike_deg: float
    dip_deg: float
    rake_deg: float
    top_depth_km: float
    subfault_length_km: float
    subfault_width_km: float
    hypocentre_along_strike_km: float
    hypocentre_down_dip_km: float
    slip: np.ndarray  # float32, cm
    rise_time_s: np.ndarray  # float32
    rupture_time_s: np.ndarray  # float32
    stress_drop_bars: np.ndarray  # float32

    @property
    def down_dip_count(self) -> int:
        return int(self.slip.shape[0])

    @property
    def along_strike_count(self) -> int:
        return int(self.slip.shape[1])

    def arguments(self) -> dict[str, Any]:
        """The keyword arguments of :class:`FaultSegment`."""
        return {f.name: getattr(self, f.name) for f in dataclasses.fields(self) if f.name != "name"}


@dataclass(frozen=True)
class Station:
    name: str
    latitude_deg: float
    longitude_deg: float
    kappa_s: float
    q_frequency_exponent: float
    seed: int


class BuiltScenario(NamedTuple):
    """The extension-module objects of a scenario, ready for a simulator."""

    config: HfConfig
    slip_model: SlipModel
    velocity_model: VelocityModel1D


def record_samples(duration_s: float, dt: float) -> int:
    """Samples per record: ``duration_s / dt`` in single precision, truncated toward zero
    (negative or NaN give 0), as the engine counts them."""
    with np.errstate(all="ignore"):
        ratio = np.float32(duration_s) / np.float32(dt)
    if not ratio > 0:
        return 0
    if math.isinf(ratio):
        return 2**64 - 1
    return int(ratio)


@dataclass(frozen=True, eq=False)
class Scenario:
    """A checked scenario. Plain data: it can be pickled, copied and sent anywhere; call
    :meth:`build` for the extension-module objects."""

    file: Path
    name: str
    description: str
    source: SourceConfig
    path: PathConfig
    site: SiteConfig
    record: RecordConfig
    velocity_model: VelocityModelData
    segments: tuple[SegmentData, ...]
    stations: tuple[Station, ...]
    seed: int | None = None  # the scenario seed stations without their own derive theirs from

    @property
    def subfault_count(self) -> int:
        return sum(s.slip.size for s in self.segments)

    @property
    def active_subfault_count(self) -> int:
        """Subfaults with slip: the others radiate nothing and the engine skips them."""
        return sum(int(np.count_nonzero(s.slip > 0)) for s in self.segments)

    @property
    def station_names(self) -> list[str]:
        return [s.name for s in self.stations]

    def estimated_pairs(self) -> int:
        """(subfault, ray) pairs a run computes: active subfaults x ray types x stations."""
        return self.active_subfault_count * len(self.path.rayset) * len(self.stations)

    def content_hash(self) -> str:
        """SHA-256 (hex) of everything that shapes the records but the station list: the source,
        path, site and record parameters, the layers and every segment's scalars and grids, as
        exact values. Names, descriptions, file paths and stations do not count, so outputs of
        one earthquake with different stations can be told to belong together."""
        digest = hashlib.sha256(b"brantle scenario 1\n")

        def put(label: str, value: Any) -> None:
            if isinstance(value, np.ndarray):
                data = np.ascontiguousarray(value)
                digest.update(f"{label} {data.dtype.str} {data.shape}\n".encode())
                digest.update(data.tobytes())
            elif isinstance(value, float):
                digest.update(f"{label} {value.hex()}\n".encode())  # exact, unlike a decimal
            else:
                digest.update(f"{label} {value!r}\n".encode())

        for part in ("source", "path", "site", "record"):
            for key, value in dataclasses.asdict(getattr(self, part)).items():
                put(f"{part}.{key}", value)
        for field in dataclasses.fields(self.velocity_model):
            put(f"velocity_model.{field.name}", getattr(self.velocity_model, field.name))
        put("segments", len(self.segments))
        for k, segment in enumerate(self.segments):
            for key, value in segment.arguments().items():
                put(f"segment{k}.{key}", value)
        return digest.hexdigest()

    @property
    def record_samples(self) -> int:
        return record_samples(self.record.duration_s, self.record.dt)

    def build_config(self) -> HfConfig:
        return HfConfig(
            source=SourceParameters(**dataclasses.asdict(self.source)),
            path=PathParameters(rayset=list(self.path.rayset), path_duration_model=self.path.path_duration_model),
            site=SiteParameters(**dataclasses.asdict(self.site)),
            record=RecordParameters(**dataclasses.asdict(self.record)),
        )

    def build_slip_model(self) -> SlipModel:
        segments = []
        for k, segment in enumerate(self.segments):
            try:
                segments.append(FaultSegment(**segment.arguments()))
            except ValueError as error:
                raise ScenarioError(f"{self.file}: {_segment_label(k, segment.name)}: {error}") from error
        return SlipModel(segments)

    def build_velocity_model(self) -> VelocityModel1D:
        model = self.velocity_model
        try:
            return VelocityModel1D(**{c: getattr(model, c) for c in LAYER_COLUMNS}, vs_moho_km_s=model.vs_moho_km_s)
        except ValueError as error:
            raise ScenarioError(f"{self.file}: [velocity_model]: {error}") from error

    def build(self) -> BuiltScenario:
        """The configuration, slip model and velocity model of the extension module."""
        return BuiltScenario(self.build_config(), self.build_slip_model(), self.build_velocity_model())

    def station_arrays(self) -> dict[str, np.ndarray]:
        """The stations as the per-station arrays of a batch run: float32 coordinates, kappas
        and exponents and uint64 seeds, keyed by argument name."""
        return {
            "latitude_deg": np.array([s.latitude_deg for s in self.stations], dtype=np.float32),
            "longitude_deg": np.array([s.longitude_deg for s in self.stations], dtype=np.float32),
            "station_seed": np.array([s.seed for s in self.stations], dtype=np.uint64),
            "kappa_s": np.array([s.kappa_s for s in self.stations], dtype=np.float32),
            "q_frequency_exponent": np.array([s.q_frequency_exponent for s in self.stations], dtype=np.float32),
        }

    def summary(self, layer_count: int | None = None) -> str:
        """A few lines on what the scenario holds. ``layer_count`` is the number of layers kept
        after the Moho truncation (``VelocityModel1D.layer_count``)."""
        vm = self.velocity_model
        lines = [f"scenario: {self.name}" if self.name else "scenario:", f"  file:            {self.file}"]
        if self.description:
            lines.append(f"  description:     {self.description}")
        lines.append(f"  segments:        {len(self.segments)}")
        for k, s in enumerate(self.segments):
            label = f"{k + 1}" + (f" {s.name}" if s.name else "")
            lines.append(
                f"    {label}: {s.along_strike_count} along strike x {s.down_dip_count} down dip"
                f" = {s.slip.size} subfaults of {s.subfault_length_km:g} x {s.subfault_width_km:g} km;"
                f" strike {s.strike_deg:g}, dip {s.dip_deg:g}, rake {s.rake_deg:g}"
            )
        lines.append(f"  subfaults:       {self.subfault_count}")
        moho = vm.moho_depth_km()
        where = (
            f"Moho at {moho:g} km where vs reaches {vm.vs_moho_km_s:g} km/s"
            if moho is not None
            else f"no layer reaches vs_moho = {vm.vs_moho_km_s:g} km/s"
        )
        kept = f"{layer_count} after Moho truncation" if layer_count is not None else "before Moho truncation"
        lines.append(f"  layers:          {kept} ({vm.layers_given} given; {where})")
        lines.append(
            f"  record:          {self.record_samples} samples per record"
            f" ({self.record.duration_s:g} s at dt = {self.record.dt:g} s)"
        )
        lines.append(f"  stations:        {len(self.stations)}")
        lines.append(
            f"  pairs:           {self.estimated_pairs()} (subfault, ray) pairs = {self.active_subfault_count} subfaults"
            f" with slip x {len(self.path.rayset)} ray types x {len(self.stations)} stations"
        )
        lines.append(f"  scenario hash:   {self.content_hash()}")
        return "\n".join(lines)


# ---------------------------------------------------------------------------- geometry

EARTH_RADIUS_KM = 6371.0


def _subfault_centres(scenario: Scenario) -> np.ndarray:
    """Centres of every subfault as (latitude, longitude, depth_km) rows, on a local flat earth
    around each segment's reference point (good to well under a kilometre over a fault)."""
    rows = []
    for s in scenario.segments:
        strike, dip = math.radians(s.strike_deg), math.radians(s.dip_deg)
        n_dd, n_as = s.slip.shape
        down_dip = (np.arange(n_dd) + 0.5) * s.subfault_width_km
        along = (np.arange(n_as) + 0.5) * s.subfault_length_km - n_as * s.subfault_length_km / 2
        a, d = np.meshgrid(along, down_dip)
        horizontal = d * math.cos(dip)  # down dip points to the right of the strike
        east = a * math.sin(strike) + horizontal * math.cos(strike)
        north = a * math.cos(strike) - horizontal * math.sin(strike)
        km_per_deg = math.pi * EARTH_RADIUS_KM / 180
        lat = s.latitude_deg + north / km_per_deg
        lon = s.longitude_deg + east / (km_per_deg * math.cos(math.radians(s.latitude_deg)))
        depth = s.top_depth_km + d * math.sin(dip)
        rows.append(np.column_stack([lat.ravel(), lon.ravel(), depth.ravel()]))
    return np.concatenate(rows)


def rupture_distance_km(scenario: Scenario, latitude_deg: np.ndarray, longitude_deg: np.ndarray) -> np.ndarray:
    """Distance from each station to the nearest subfault centre, in km (a rupture distance)."""
    centres = _subfault_centres(scenario)
    latitude = np.radians(np.asarray(latitude_deg, dtype=float)).reshape(-1)
    longitude = np.radians(np.asarray(longitude_deg, dtype=float)).reshape(-1)
    lat2, lon2 = np.radians(centres[:, 0])[None, :], np.radians(centres[:, 1])[None, :]
    depth2 = centres[None, :, 2] ** 2
    distance = np.empty(latitude.shape)
    step = max(1, (1 << 20) // len(centres))  # stations per block: about 8 MB per temporary
    for start in range(0, len(latitude), step):
        lat1 = latitude[start : start + step, None]
        lon1 = longitude[start : start + step, None]
        haversine = np.sin((lat2 - lat1) / 2) ** 2 + np.cos(lat1) * np.cos(lat2) * np.sin((lon2 - lon1) / 2) ** 2
        surface_km = 2 * EARTH_RADIUS_KM * np.arcsin(np.sqrt(haversine))
        distance[start : start + step] = np.sqrt(surface_km**2 + depth2).min(axis=1)
    return distance


# ---------------------------------------------------------------------------- loading


def example_scenario_path() -> Path:
    """The bundled example scenario (installed with the package)."""
    return Path(str(resources.files("brantle").joinpath("examples", "strike_slip", "scenario.toml")))


def load_example() -> Scenario:
    """Load the bundled two-segment strike-slip example."""
    return load_scenario(example_scenario_path())


def load_scenario(path: str | Path, stations: str | Path | None = None) -> Scenario:
    """Read and check a scenario TOML file and the files it names.

    ``stations``, if given, is a stations CSV file read instead of the one the scenario names
    (the ``[stations]`` table then needs no ``file``, and may be left out).

    Raises :class:`ScenarioError` (a ValueError) naming the file and the key or line of the
    first problem found.
    """
    file = Path(path)
    try:
        with file.open("rb") as f:
            document = tomllib.load(f)
    except FileNotFoundError:
        raise ScenarioError(f"{file}: no such scenario file") from None
    except OSError as error:
        raise ScenarioError(f"{file}: cannot be read: {error.strerror or error}") from None
    except tomllib.TOMLDecodeError as error:
        raise ScenarioError(f"{file}: not valid TOML: {error}") from None
    except UnicodeDecodeError as error:
        raise ScenarioError(f"{file}: not valid UTF-8 text: {error}") from None
    return _Loader(file, None if stations is None else Path(stations)).scenario(document)


def _describe(value: Any) -> str:
    """A TOML value for a message: its kind, and the value itself when it is short."""
    if isinstance(value, bool):
        return f"the boolean {str(value).lower()}"
    if isinstance(value, (int, float)):
        return f"the number {value!r}"
    if isinstance(value, str):
        return f"the string {value!r}"
    if isinstance(value, dict):
        return "a table"
    if isinstance(value, list):
        return "an array"
    return f"a {type(value).__name__}"  # dates and times


def _suggest(word: str, choices: tuple[str, ...] | list[str]) -> str:
    close = difflib.get_close_matches(word, list(choices), n=1, cutoff=0.6)
    return f"; did you mean {close[0]!r}?" if close else ""


def _segment_label(index: int, name: str) -> str:
    return f"[[segments]] #{index + 1}" + (f" ({name!r})" if name else "")


# Checks on a number: a test and what it means, for the message.
_CHECKS = {
    "any": (lambda v: True, "a finite number"),
    "positive": (lambda v: v > 0, "a positive number"),
    "non-negative": (lambda v: v >= 0, "a number >= 0"),
    "latitude": (lambda v: -90 <= v <= 90, "a latitude from -90 to 90 degrees"),
    "longitude": (lambda v: -180 <= v <= 360, "a longitude from -180 to 360 degrees"),
    "dip": (lambda v: 0 < v <= 90, "a dip above 0 and at most 90 degrees"),
}


class _Loader:
    def __init__(self, file: Path, stations_file: Path | None = None) -> None:
        self.file = file
        self.base = file.parent
        self.stations_file = stations_file  # replaces [stations] file

    def fail(self, where: str, message: str) -> NoReturn:
        """A problem at `where`: a table or key of the scenario file, or a place in another
        file (an _InFile, which names the file itself)."""
        if isinstance(where, _InFile):
            self.fail_in(where, message)
        raise ScenarioError(f"{self.file}: {where}: {message}")

    def fail_in(self, where: str | Path, message: str) -> NoReturn:
        """A problem in another file; `where` starts with that file's path."""
        raise ScenarioError(f"{where}: {message}")

    # ----- TOML values

    def table(self, document: dict, key: str, where: str = "") -> dict:
        label = f"{where}{key}"
        if key not in document:
            raise ScenarioError(f"{self.file}: missing table [{label}]")
        value = document[key]
        if not isinstance(value, dict):
            self.fail(f"[{label}]", f"expected a table, got {_describe(value)}")
        return value

    def keys(self, table: dict, where: str, required: tuple[str, ...], optional: tuple[str, ...] = ()) -> None:
        known = required + optional
        for key in table:
            if key not in known:
                self.fail(where, f"unknown key {key!r}{_suggest(key, known)}")
        missing = [k for k in required if k not in table]
        if missing:
            self.fail(where, "missing " + ", ".join(repr(k) for k in missing))

    def number(self, table: dict, key: str, where: str, check: str = "any", single: bool = True) -> float:
        value = table[key]
        if isinstance(value, bool) or not isinstance(value, (int, float)):
            self.fail(f"{where} {key}", f"expected a number, got {_describe(value)}")
        try:
            number = float(value)
        except OverflowError:
            number = math.inf if value > 0 else -math.inf
        return self.checked(number, f"{where} {key}", check, single, shown=value)

    def checked(self, value: float, where: str, check: str, single: bool, shown: Any = None) -> float:
        test, meaning = _CHECKS[check]
        shown = value if shown is None else shown
        # The engine holds most values in single precision: check what it will see.
        with np.errstate(over="ignore"):
            seen = float(np.float32(value)) if single else value
        if not math.isfinite(seen):
            beyond = " (beyond the single-precision range)" if single else " (beyond the double-precision range)"
            extra = beyond if isinstance(shown, int) or math.isfinite(value) else ""
            self.fail(where, f"expected {meaning}, got {shown!r}{extra}")
        if not test(seen):
            rounded = f" ({seen!r} in single precision)" if test(value) else ""
            self.fail(where, f"expected {meaning}, got {shown!r}{rounded}")
        return value

    def integer(self, value: Any, where: str) -> int:
        if isinstance(value, bool) or not isinstance(value, int):
            self.fail(where, f"expected an integer, got {_describe(value)}")
        return value

    def string(self, table: dict, key: str, where: str) -> str:
        value = table[key]
        if not isinstance(value, str):
            self.fail(f"{where} {key}", f"expected a string, got {_describe(value)}")
        return value

    def referenced_file(self, table: dict, key: str, where: str) -> Path:
        name = self.string(table, key, where)
        if not name:
            self.fail(f"{where} {key}", "expected a file name, got an empty string")
        path = self.base / name
        if not path.is_file():
            self.fail(f"{where} {key}", f"file {name!r} not found (looked for {path})")
        return path

    # ----- the scenario

    def scenario(self, document: dict) -> Scenario:
        self.keys(
            document,
            "top level",
            (),
            ("name", "description", "seed", "source", "path", "site", "record", "velocity_model", "segments",
             "stations"),
        )
        name = self.string(document, "name", "top level") if "name" in document else ""
        description = self.string(document, "description", "top level") if "description" in document else ""
        seed = self.scenario_seed(document["seed"]) if "seed" in document else None
        source = self.source(self.table(document, "source"))
        path = self.path(self.table(document, "path"))
        site = self.site(self.table(document, "site"))
        record = self.record(self.table(document, "record"))
        velocity_model = self.velocity_model(self.table(document, "velocity_model"))
        if "segments" not in document:
            raise ScenarioError(f"{self.file}: missing [[segments]]: a scenario needs at least one fault segment")
        segments = self.segments(document["segments"])
        if self.stations_file is not None and "stations" not in document:
            stations = self.stations({}, seed)
        else:
            stations = self.stations(self.table(document, "stations"), seed)
        return Scenario(
            file=self.file,
            name=name,
            description=description,
            source=source,
            path=path,
            site=site,
            record=record,
            velocity_model=velocity_model,
            segments=segments,
            stations=stations,
            seed=seed,
        )

    def scenario_seed(self, value: Any) -> int:
        if isinstance(value, bool) or not isinstance(value, int) or not 0 <= value <= MAX_SEED:
            shown = value if isinstance(value, int) and not isinstance(value, bool) else _describe(value)
            self.fail("top level seed", f"expected an integer from 0 to {MAX_SEED}, got {shown}")
        return value

    def source(self, table: dict) -> SourceConfig:
        checks = {
            "corner_frequency_constant": "positive",
            "corner_frequency_alpha": "non-negative",
            "rupture_velocity_fraction": "positive",
            "rupture_velocity_shallow": "positive",
            "rupture_velocity_deep": "positive",
            "rupture_velocity_sigma": "non-negative",
        }
        self.keys(table, "[source]", tuple(checks))
        return SourceConfig(**{k: self.number(table, k, "[source]", c) for k, c in checks.items()})

    def path(self, table: dict) -> PathConfig:
        self.keys(table, "[path]", ("rayset", "path_duration_model"))
        rayset = table["rayset"]
        if not isinstance(rayset, list):
            self.fail("[path] rayset", f"expected an array of ray codes such as [1, 2], got {_describe(rayset)}")
        if not rayset:
            self.fail("[path] rayset", "expected at least one ray code: with none, every record would be zero")
        codes = []
        for k, code in enumerate(rayset):
            code = self.integer(code, f"[path] rayset element {k + 1}")
            if not 0 <= code <= 2**31 - 1:
                self.fail(f"[path] rayset element {k + 1}", f"expected a ray code from 0 to 2147483647, got {code}")
            codes.append(code)
        model = self.integer(table["path_duration_model"], "[path] path_duration_model")
        if model not in PATH_DURATION_MODELS:
            self.fail("[path] path_duration_model", f"expected one of 0, 1, 2, 11, 12, got {model}")
        return PathConfig(rayset=tuple(codes), path_duration_model=model)

    def site(self, table: dict) -> SiteConfig:
        self.keys(table, "[site]", ("fmax_hz",))
        return SiteConfig(fmax_hz=self.number(table, "fmax_hz", "[site]", "positive"))

    def record(self, table: dict) -> RecordConfig:
        self.keys(table, "[record]", ("duration_s", "dt"))
        duration = self.number(table, "duration_s", "[record]", "positive")
        dt = self.number(table, "dt", "[record]", "positive")
        samples = record_samples(duration, dt)
        if samples < 1:
            self.fail("[record]", f"duration_s = {duration!r} is shorter than one sample of dt = {dt!r}")
        if samples > MAX_RECORD_SAMPLES:
            self.fail("[record]", f"duration_s / dt gives {samples} samples; a record holds at most {MAX_RECORD_SAMPLES}")
        return RecordConfig(duration_s=duration, dt=dt)

    # ----- velocity model

    def velocity_model(self, table: dict) -> VelocityModelData:
        where = "[velocity_model]"
        if "file" in table:
            self.keys(table, where, ("file", "vs_moho_km_s"))
            csv_path = self.referenced_file(table, "file", where)
            columns = self.layer_csv(csv_path)
        else:
            self.keys(table, where, LAYER_COLUMNS + ("vs_moho_km_s",), ("file",))
            columns = {}
            for column in LAYER_COLUMNS:
                values = table[column]
                if not isinstance(values, list):
                    self.fail(f"{where} {column}", f"expected an array with one number per layer, got {_describe(values)}")
                checked = []
                for k, value in enumerate(values):
                    checked.append(self.number({column: value}, column, f"{where} layer {k + 1}", _LAYER_CHECKS[column],
                                               single=column in _SINGLE_LAYER_COLUMNS))
                columns[column] = checked
            lengths = [len(columns[c]) for c in LAYER_COLUMNS]
            if len(set(lengths)) > 1:
                self.fail(where, "every layer property needs one entry per layer; got lengths "
                          + ", ".join(f"{c} {n}" for c, n in zip(LAYER_COLUMNS, lengths)))
            if lengths[0] == 0:
                self.fail(where, "expected at least one layer")
        vs_moho = self.number(table, "vs_moho_km_s", where, "positive", single=False)
        model = VelocityModelData(
            thickness_km=_frozen(np.array(columns["thickness_km"], dtype=np.float32)),
            vp_km_s=_frozen(np.array(columns["vp_km_s"], dtype=np.float64)),
            vsh_km_s=_frozen(np.array(columns["vsh_km_s"], dtype=np.float64)),
            density_g_cm3=_frozen(np.array(columns["density_g_cm3"], dtype=np.float64)),
            quality_factor_p=_frozen(np.array(columns["quality_factor_p"], dtype=np.float32)),
            quality_factor_s=_frozen(np.array(columns["quality_factor_s"], dtype=np.float32)),
            vs_moho_km_s=vs_moho,
        )
        if model.vsh_km_s[0] >= vs_moho:
            self.fail(f"{where} vs_moho_km_s",
                      f"the first layer's vsh_km_s = {model.vsh_km_s[0]:g} already reaches vs_moho_km_s = {vs_moho:g}, "
                      "so there is no crust above the Moho")
        if len(model.vsh_km_s) == 1:
            # The only layer becomes the half-space: no layer is left for a source to sit in, and
            # every ray of every station would stop.
            self.fail(f"{where}", "expected at least two layers: the last one becomes the half-space below the Moho, "
                      "so a single layer leaves no crust above it")
        return model

    def layer_csv(self, path: Path) -> dict[str, list[float]]:
        header, rows = self.read_csv(path)
        for column in header:
            if column not in LAYER_COLUMNS:
                self.fail_in(f"{path}, line {rows.header_line}", f"unknown column {column!r}{_suggest(column, LAYER_COLUMNS)}")
        missing = [c for c in LAYER_COLUMNS if c not in header]
        if missing:
            self.fail_in(f"{path}, line {rows.header_line}", "missing column " + ", ".join(repr(c) for c in missing))
        columns: dict[str, list[float]] = {c: [] for c in LAYER_COLUMNS}
        for line, cells in rows:
            for column, cell in zip(header, cells):
                where = _InFile(f"{path}, line {line}, {column}")
                columns[column].append(self.checked(self.parse_float(cell, where), where, _LAYER_CHECKS[column],
                                                    single=column in _SINGLE_LAYER_COLUMNS))
        if not columns["thickness_km"]:
            self.fail_in(str(path), "expected at least one layer below the header")
        return columns

    # ----- segments

    def segments(self, value: Any) -> tuple[SegmentData, ...]:
        if not isinstance(value, list) or not all(isinstance(v, dict) for v in value):
            self.fail("segments", "expected one or more [[segments]] tables")
        if not value:
            self.fail("segments", "expected at least one [[segments]] table")
        segments = tuple(self.segment(k, table) for k, table in enumerate(value))
        first = segments[0]
        for k, segment in enumerate(segments[1:], start=1):
            for key in ("subfault_length_km", "subfault_width_km"):
                mine, theirs = np.float32(getattr(segment, key)), np.float32(getattr(first, key))
                if mine != theirs:
                    self.fail(f"{_segment_label(k, segment.name)} {key}",
                              f"{getattr(segment, key)!r} differs from the first segment's {getattr(first, key)!r}; "
                              "every segment must be diced into subfaults of one size")
        if not any(np.any(s.slip > 0) for s in segments):
            self.fail("segments", "every subfault has zero slip: there is no earthquake to simulate")
        return segments

    def segment(self, index: int, table: dict) -> SegmentData:
        where = _segment_label(index, "")
        self.keys(table, where, SEGMENT_SCALARS + GRIDS, ("name",))
        name = self.string(table, "name", where) if "name" in table else ""
        where = _segment_label(index, name)
        checks = {
            "longitude_deg": "longitude",
            "latitude_deg": "latitude",
            "strike_deg": "any",
            "dip_deg": "dip",
            "rake_deg": "any",
            "top_depth_km": "non-negative",
            "subfault_length_km": "positive",
            "subfault_width_km": "positive",
            "hypocentre_along_strike_km": "any",
            "hypocentre_down_dip_km": "any",
        }
        scalars = {k: self.number(table, k, where, c) for k, c in checks.items()}
        if not isinstance(table["slip"], str):
            self.fail(f"{where} slip", f"expected the name of a .csv or .npy file, got {_describe(table['slip'])}")
        slip = self.grid(table, "slip", where, None)
        grids = {"slip": slip}
        for key in GRIDS[1:]:
            grids[key] = self.grid(table, key, where, slip.values.shape)
        fields: dict[str, Any] = {**scalars, **{k: _frozen(g.values) for k, g in grids.items()}}
        return SegmentData(name=name, **fields)

    def grid(self, table: dict, key: str, where: str, shape: tuple[int, int] | None) -> "_Grid":
        value = table[key]
        label = f"{where} {key}"
        if shape is not None and not isinstance(value, str):
            number = self.number(table, key, where, "any")
            grid = _Grid(np.full(shape, number, dtype=np.float32), label, None)
        else:
            if not isinstance(value, str):
                self.fail(label, f"expected the name of a .csv or .npy file, or one number, got {_describe(value)}")
            path = self.referenced_file(table, key, where)
            suffix = path.suffix.lower()
            if suffix == ".csv":
                grid = self.grid_csv(path)
            elif suffix == ".npy":
                grid = self.grid_npy(path)
            else:
                self.fail(label, f"expected a .csv or .npy file, got {value!r}")
            if shape is not None and grid.values.shape != shape:
                self.fail(label, f"{grid.label} holds {_shape(grid.values.shape)} subfaults (down dip, along strike) "
                          f"but slip holds {_shape(shape)}: the four grids describe the same subfaults")
        test, meaning = _GRID_CHECKS[key]
        bad = ~(np.isfinite(grid.values) & test(grid.values))
        if bad.any():
            r, c = (int(i) for i in np.argwhere(bad)[0])
            message = f"expected {meaning}, got {float(grid.values[r, c])!r}"
            if isinstance(value, str):
                self.fail_in(grid.locate(r, c), message)
            self.fail(label, message)
        return grid

    def grid_csv(self, path: Path) -> "_Grid":
        rows, lines = [], []
        for line, text in self.lines(path):
            cells = next(csv.reader([text]))
            rows.append([self.parse_float(cell, f"{path}, line {line}, column {k + 1}") for k, cell in enumerate(cells)])
            lines.append(line)
            if len(rows[-1]) != len(rows[0]):
                self.fail_in(f"{path}, line {line}",
                          f"expected {len(rows[0])} values like the first row, got {len(rows[-1])}")
        if not rows:
            self.fail_in(str(path), "expected at least one row of numbers")
        with np.errstate(over="ignore"):
            values = np.array(rows, dtype=np.float64).astype(np.float32)
        overflow = np.isinf(values) & np.isfinite(np.array(rows))
        if overflow.any():
            r, c = (int(i) for i in np.argwhere(overflow)[0])
            self.fail_in(f"{path}, line {lines[r]}, column {c + 1}", f"{rows[r][c]!r} is beyond the single-precision range")
        return _Grid(values, str(path), lambda r, c: f"{path}, line {lines[r]}, column {c + 1}")

    def grid_npy(self, path: Path) -> "_Grid":
        try:
            values = np.load(path, allow_pickle=False)
        except (OSError, ValueError) as error:
            self.fail_in(str(path), f"not a readable NumPy .npy file: {error}")
        if not isinstance(values, np.ndarray) or values.ndim != 2:
            self.fail_in(str(path), f"expected a two-dimensional array (down dip, along strike), got {values.ndim} dimensions")
        if values.dtype.kind not in "fiu":
            self.fail_in(str(path), f"expected real numbers, got dtype {values.dtype}")
        if values.size == 0:
            self.fail_in(str(path), f"expected at least one subfault, got an empty {_shape(values.shape)} array")
        with np.errstate(over="ignore"):
            single = values.astype(np.float32)
        overflow = np.isinf(single) & np.isfinite(values)
        if overflow.any():
            r, c = (int(i) for i in np.argwhere(overflow)[0])
            self.fail_in(f"{path}, [{r}, {c}]", f"{values[r, c]!r} is beyond the single-precision range")
        return _Grid(single, str(path), lambda r, c: f"{path}, [{r}, {c}] (row {r + 1} down dip, column {c + 1} along strike)")

    # ----- stations

    def stations(self, table: dict, scenario_seed: int | None) -> tuple[Station, ...]:
        where = "[stations]"
        if self.stations_file is None:
            self.keys(table, where, ("file",), ("kappa_s", "q_frequency_exponent"))
        else:
            self.keys(table, where, (), ("file", "kappa_s", "q_frequency_exponent"))
        defaults = {
            "kappa_s": self.number(table, "kappa_s", where, "non-negative") if "kappa_s" in table else None,
            "q_frequency_exponent": (
                self.number(table, "q_frequency_exponent", where) if "q_frequency_exponent" in table else None
            ),
        }
        if self.stations_file is None:
            path = self.referenced_file(table, "file", where)
        else:
            path = self.stations_file
            if not path.is_file():
                self.fail_in(str(path), "no such stations file")
        header, rows = self.read_csv(path)
        required = ("name", "latitude_deg", "longitude_deg")
        known = required + ("kappa_s", "q_frequency_exponent", "seed")
        for column in header:
            if column not in known:
                self.fail_in(f"{path}, line {rows.header_line}", f"unknown column {column!r}{_suggest(column, known)}")
        missing = [c for c in required if c not in header]
        if missing:
            self.fail_in(f"{path}, line {rows.header_line}", "missing column " + ", ".join(repr(c) for c in missing))

        stations: list[Station] = []
        names: dict[str, int] = {}
        seeds: dict[int, str] = {}
        for line, cells in rows:
            row = dict(zip(header, cells))
            at = _InFile(f"{path}, line {line}")
            name = row["name"]
            if not name:
                self.fail_in(f"{at}, name", "expected a station name, got an empty cell")
            if name in names:
                self.fail_in(f"{at}, name", f"station {name!r} already appears on line {names[name]}")
            names[name] = line
            values: dict[str, float] = {}
            for column, check in (("latitude_deg", "latitude"), ("longitude_deg", "longitude")):
                values[column] = self.checked(self.parse_float(row[column], f"{at}, {column}"), _InFile(f"{at}, {column}"), check, True)
            for column, check in (("kappa_s", "non-negative"), ("q_frequency_exponent", "any")):
                cell = row.get(column, "")
                if cell == "":
                    default = defaults[column]
                    if default is None:
                        self.fail_in(f"{at}, {column}", f"station {name!r} has no {column}: give one in the file "
                                     f"or a default {column} in [stations]")
                    values[column] = default
                else:
                    values[column] = self.checked(self.parse_float(cell, f"{at}, {column}"), _InFile(f"{at}, {column}"), check, True)
            if row.get("seed", "") != "":
                seed = self.parse_seed(row["seed"], f"{at}, seed")
            elif scenario_seed is not None:
                seed = derive_station_seed(scenario_seed, name)
            else:
                self.fail_in(f"{at}, seed", f"station {name!r} has no seed: give one in the file or a scenario "
                             f"seed (the top-level key seed in {self.file})")
            if seed in seeds:
                self.fail_in(f"{at}, seed", f"station {name!r} has the seed of station {seeds[seed]!r}; "
                          "stations with one seed get the same random noise")
            seeds[seed] = name
            stations.append(Station(name=name, seed=seed, **values))
        if not stations:
            self.fail_in(str(path), "expected at least one station below the header")
        return tuple(stations)

    # ----- text files

    def lines(self, path: Path):
        """(line number, text) of every line that is neither blank nor a comment."""
        try:
            text = path.read_text(encoding="utf-8")
        except OSError as error:
            self.fail_in(str(path), f"cannot be read: {error.strerror or error}")
        except UnicodeDecodeError as error:
            self.fail_in(str(path), f"not valid UTF-8 text: {error}")
        for number, line in enumerate(io.StringIO(text), start=1):
            stripped = line.strip()
            if stripped and not stripped.startswith("#"):
                yield number, stripped

    def read_csv(self, path: Path) -> tuple[list[str], "_Rows"]:
        lines = list(self.lines(path))
        if not lines:
            self.fail_in(str(path), "expected a header line")
        header_line, header_text = lines[0]
        header = [c.strip() for c in next(csv.reader([header_text]))]
        seen = set()
        for column in header:
            if column in seen:
                self.fail_in(f"{path}, line {header_line}", f"column {column!r} appears twice")
            seen.add(column)
        rows = _Rows(header_line)
        for line, text in lines[1:]:
            cells = [c.strip() for c in next(csv.reader([text]))]
            if len(cells) != len(header):
                self.fail_in(f"{path}, line {line}", f"expected {len(header)} values ({', '.join(header)}), got {len(cells)}")
            rows.append((line, cells))
        return header, rows

    def parse_float(self, cell: str, where: str) -> float:
        try:
            return float(cell.strip())
        except ValueError:
            self.fail_in(where, f"expected a number, got {cell!r}")

    def parse_seed(self, cell: str, where: str) -> int:
        text = cell.strip()
        if not text.isdigit() or not text.isascii():
            self.fail_in(where, f"expected an integer from 0 to {MAX_SEED}, got {cell!r}")
        seed = int(text)
        if seed > MAX_SEED:
            self.fail_in(where, f"expected an integer from 0 to {MAX_SEED}, got {text}")
        return seed


class _InFile(str):
    """A place in a file other than the scenario file: it names the file itself."""


class _Rows(list):
    def __init__(self, header_line: int) -> None:
        super().__init__()
        self.header_line = header_line


@dataclass
class _Grid:
    values: np.ndarray
    label: str
    locate: Any  # (row, column) -> where, for messages


_LAYER_CHECKS = {
    "thickness_km": "non-negative",
    "vp_km_s": "positive",
    "vsh_km_s": "positive",
    "density_g_cm3": "positive",
    "quality_factor_p": "positive",
    "quality_factor_s": "positive",
}
_SINGLE_LAYER_COLUMNS = ("thickness_km", "quality_factor_p", "quality_factor_s")

_GRID_CHECKS = {
    "slip": (lambda v: v >= 0, "a slip >= 0 (cm)"),
    "rise_time_s": (lambda v: v >= 0, "a rise time >= 0 (s)"),
    "rupture_time_s": (lambda v: v >= 0, "a rupture time >= 0 (s)"),
    "stress_drop_bars": (lambda v: v > 0, "a positive stress drop (bars)"),
}


def _shape(shape: tuple[int, ...]) -> str:
    return "(" + ", ".join(str(n) for n in shape) + ")"


def _frozen(values: np.ndarray) -> np.ndarray:
    values.flags.writeable = False
    return values
