"""Records as ObsPy streams, written as miniSEED or SAC files that seismology tools read.

:func:`write_streams` writes into a folder named after the format inside the output folder:

``mseed/NET.STA.mseed``
    One file per station: a Stream of three traces, FLOAT32 encoding (the records' exact
    samples), 4096-byte records. miniSEED has no place for coordinates, so they are in
    ``mseed/stations.xml`` beside them.
``sac/NET.STA..CHA.sac``
    One file per trace (SAC holds one), with the station coordinates in ``stla``/``stlo``.
``stations.xml``
    A StationXML inventory (in both folders) of every station: code, full name (the site
    name), coordinates and channels with their orientation and sampling rate.

The headers:

Channels
    ``?NE``, ``?NN`` and ``?NZ`` for the 090 (east), 000 (north) and vertical components: ``N``
    for an accelerometer, and the band code the sampling rate calls for under the SEED
    conventions for instruments with a long-period response: ``H`` from 80 Hz to under 250 Hz
    (so ``HNE``, ``HNN``, ``HNZ`` at the usual 100 or 200 Hz), ``B`` from 10 Hz, ``M`` above
    1 Hz, ``L`` below; ``C`` from 250 Hz and ``F`` from 1000 Hz. The location code is empty.
Network
    ``XX`` (the code for networks of no registered operator) unless another is given.
Station codes
    At most five characters from A-Z and 0-9, as miniSEED allows (SAC allows eight; the
    same code is used for both). A name that already is such a code keeps it. Any other name
    is turned into one: accents are dropped, letters upper-cased, every other character
    removed, and the rest cut to five characters (``"Ünïon-Hill 2"`` becomes ``UNION``);
    when that code is taken, its end is replaced by a base-36 counter (``UNIO1``, ``UNIO2``,
    ...), and a name with no letter or digit starts from ``STA``. A code depends on the
    other stations (and their order) only when cleaned names clash. The full name is the
    site name in ``stations.xml``; the stream files keep only the code.
Start time
    The origin time: ``origin_time`` if given, else 1970-01-01T00:00:00 UTC, so that a
    sample's time stamp is its time in seconds after the origin. SAC also marks it with
    ``o = 0`` and ``iztype = io``.
Units
    Acceleration in cm/s², float32, as simulated. SAC says so in ``kuser0 = "cm/s**2"``
    (``idep`` stays unknown: SAC's acceleration unit is nm/s²); ``stations.xml`` gives every
    channel the calibration units ``CM/S**2``; miniSEED itself cannot say.
Coordinates
    Latitudes as given; longitudes in -180 to 180 degrees (StationXML's range), so 200
    becomes -160. Elevation and depth 0 m: the records are at the free surface.

Every file is written under a temporary name (``.NAME.PID.RANDOM.tmp``) beside its target and
renamed over it, so an interrupted write leaves whole files only; leftovers of a killed writer
are removed by the next call. Files are not synced to disk one by one (a run can write hundreds
of thousands): the rename guards against interruptions, not against a power cut.
"""

from __future__ import annotations

import math
import os
import re
import secrets
import unicodedata
from pathlib import Path
from typing import Callable, Iterable, Iterator, Sequence

import numpy as np
from obspy import Stream, Trace, UTCDateTime
from obspy.core.inventory import Channel, Inventory, Network, Site, Station
from obspy.core.util import AttribDict
from obspy.io.sac.header import ENUM_VALS as SAC_ENUM

__all__ = [
    "DEFAULT_NETWORK",
    "DEFAULT_ORIGIN_TIME",
    "FORMATS",
    "INVENTORY_FILE",
    "band_code",
    "channel_codes",
    "station_codes",
    "write_streams",
]

FORMATS = ("mseed", "sac")
DEFAULT_NETWORK = "XX"
#: Start time of every record when the scenario gives no origin time: the time stamps are then
#: the seconds after the origin.
DEFAULT_ORIGIN_TIME = UTCDateTime(0)
INVENTORY_FILE = "stations.xml"
ACCELERATION_UNITS = "cm/s**2"  # in the SAC header, SEED's spelling
MAX_STATION_CODE = 5

_CODE = re.compile(r"[A-Z0-9]{1,5}")
_NETWORK = re.compile(r"[A-Z0-9]{1,2}")
_TEMPORARY = re.compile(r"\..+\.tmp")
_BASE36 = "0123456789ABCDEFGHIJKLMNOPQRSTUVWXYZ"
# Orientation codes and (azimuth, dip) of the three components: 090 east, 000 north, vertical
# (StationXML dips are positive downward, so up is -90).
_COMPONENTS = (("E", 90.0, 0.0), ("N", 0.0, 0.0), ("Z", 0.0, -90.0))
# SAC's component angles: azimuth from north, incidence from vertical up.
_SAC_ANGLES = ((90.0, 90.0), (0.0, 90.0), (0.0, 0.0))


# ---------------------------------------------------------------------------- codes


def band_code(sampling_rate_hz: float) -> str:
    """SEED band code of a long-period-response instrument (an accelerometer) sampled at
    ``sampling_rate_hz``."""
    for minimum_hz, code in ((1000.0, "F"), (250.0, "C"), (80.0, "H"), (10.0, "B")):
        if sampling_rate_hz >= minimum_hz:
            return code
    return "M" if sampling_rate_hz > 1.0 else "L"


def channel_codes(dt_s: float) -> tuple[str, str, str]:
    """The channel codes of the east, north and vertical components at sampling interval
    ``dt_s``, e.g. ``("HNE", "HNN", "HNZ")`` at 0.01 s."""
    band = band_code(round(1.0 / dt_s, 3))  # 1 / float32(0.004) is 249.99998 Hz, meant as 250
    return tuple(f"{band}N{orientation}" for orientation, _, _ in _COMPONENTS)  # type: ignore[return-value]


def _cleaned(name: str) -> str:
    ascii_text = unicodedata.normalize("NFKD", name).encode("ascii", "ignore").decode("ascii")
    return re.sub(r"[^A-Z0-9]", "", ascii_text.upper())


def _base36(number: int) -> str:
    digits = ""
    while True:
        number, digit = divmod(number, 36)
        digits = _BASE36[digit] + digits
        if number == 0:
            return digits


def station_codes(names: Sequence[str]) -> list[str]:
    """Distinct station codes of at most five characters A-Z, 0-9 for ``names`` (distinct,
    non-empty), made as the module docstring says."""
    names = _checked_names(names)
    codes: list[str | None] = [name if _CODE.fullmatch(name) else None for name in names]
    taken = {code for code in codes if code is not None}
    next_counter: dict[str, int] = {}
    for k, name in enumerate(names):
        if codes[k] is not None:
            continue
        base = _cleaned(name)[:MAX_STATION_CODE] or "STA"
        code = base
        counter = next_counter.get(base, 1)
        while code in taken:
            suffix = _base36(counter)
            if len(suffix) > MAX_STATION_CODE:
                raise ValueError(f"no five-character station code is left for {name!r}")
            code = base[: MAX_STATION_CODE - len(suffix)] + suffix
            counter += 1
        next_counter[base] = counter
        codes[k] = code
        taken.add(code)
    return codes  # type: ignore[return-value]


# ---------------------------------------------------------------------------- checks


def _checked_names(names: Sequence[str]) -> list[str]:
    names = [str(name) for name in names]
    seen: set[str] = set()
    for k, name in enumerate(names):
        if not name.strip():
            raise ValueError(f"station {k} has an empty name; expected a non-empty name for every station")
        if name in seen:
            raise ValueError(f"station name {name!r} appears twice; expected distinct names")
        seen.add(name)
    return names


def _checked_coordinates(latitudes, longitudes, n_station: int) -> tuple[np.ndarray, np.ndarray]:
    lat = np.asarray(latitudes, dtype=np.float64).reshape(-1)
    lon = np.asarray(longitudes, dtype=np.float64).reshape(-1)
    if len(lat) != n_station or len(lon) != n_station:
        raise ValueError(f"expected {n_station} latitudes and longitudes (one per station); "
                         f"got {len(lat)} and {len(lon)}")
    bad = np.flatnonzero(~(np.abs(lat) <= 90.0))
    if bad.size:
        raise ValueError(f"station {bad[0]} has latitude {lat[bad[0]]}; expected -90 to 90 degrees")
    bad = np.flatnonzero(~((lon >= -180.0) & (lon <= 360.0)))
    if bad.size:
        raise ValueError(f"station {bad[0]} has longitude {lon[bad[0]]}; expected -180 to 360 degrees")
    return lat, np.where(lon > 180.0, lon - 360.0, lon)


def _checked_records(records, n_station: int) -> np.ndarray:
    records = np.asarray(records)
    if records.ndim != 3 or records.shape[:2] != (3, n_station):
        raise ValueError(f"records must be shaped (3, {n_station}, n_time) for {n_station} stations; "
                         f"got {records.shape}")
    if not np.issubdtype(records.dtype, np.floating):
        raise ValueError(f"records must be floating-point acceleration in cm/s²; got dtype {records.dtype}")
    return records


def _checked_chunks(chunks: Iterable[tuple[int, np.ndarray]], n_station: int) -> Iterator[tuple[int, np.ndarray]]:
    """Each ``(start, block)`` checked as it comes: blocks of consecutive stations, in order,
    which together cover every station exactly once."""
    expected = 0
    for start, block in chunks:
        block = np.asarray(block)
        if start != expected:
            raise ValueError(f"record blocks must cover stations 0 to {n_station - 1} in order; a block "
                             f"starts at station {start} where {expected} was expected")
        if block.ndim != 3 or block.shape[0] != 3 or start + block.shape[1] > n_station:
            raise ValueError(f"a record block starting at station {start} must be shaped (3, n, n_time) with "
                             f"at most {n_station - start} stations; got {block.shape}")
        yield start, _checked_records(block, block.shape[1])
        expected = start + block.shape[1]
    if expected != n_station:
        raise ValueError(f"record blocks ended at station {expected} of {n_station}")


# ---------------------------------------------------------------------------- files


def _temporary_beside(path: Path) -> Path:
    # Same folder, so the rename is atomic; a fresh name, so two writers never share one.
    return path.with_name(f".{path.name}.{os.getpid()}.{secrets.token_hex(4)}.tmp")


def _atomic(path: Path, fill: Callable[[Path], None]) -> Path:
    """Write ``path`` through ``fill(temporary)`` and a rename; on any error or Ctrl-C the
    temporary file is removed and ``path`` is as it was."""
    temporary = _temporary_beside(path)
    try:
        fill(temporary)
        os.replace(temporary, path)
    except BaseException:
        temporary.unlink(missing_ok=True)
        raise
    return path


def _remove_temporaries(folder: Path) -> None:
    for path in folder.iterdir():
        if _TEMPORARY.fullmatch(path.name) and path.is_file():
            path.unlink(missing_ok=True)


def _ascii(text: str, length: int) -> str:
    """``text`` as the printable ASCII a fixed-width header field holds, cut to ``length``."""
    plain = unicodedata.normalize("NFKD", text).encode("ascii", "ignore").decode("ascii")
    return " ".join("".join(c if c.isprintable() else " " for c in plain).split())[:length]


def _inventory(network: str, codes: list[str], names: list[str], lat: np.ndarray, lon: np.ndarray,
               channels: tuple[str, ...], sampling_rate_hz: float, start: UTCDateTime,
               scenario_name: str) -> Inventory:
    from . import __version__

    stations = []
    for code, name, la, lo in zip(codes, names, lat, lon):
        channel_list = [
            Channel(code=channel, location_code="", latitude=la, longitude=lo, elevation=0.0, depth=0.0,
                    azimuth=azimuth, dip=dip, sample_rate=sampling_rate_hz, start_date=start,
                    types=["GEOPHYSICAL", "SYNTHESIZED"], calibration_units="CM/S**2",
                    calibration_units_description="acceleration in cm/s^2")
            for channel, (_, azimuth, dip) in zip(channels, _COMPONENTS)
        ]
        stations.append(Station(code=code, latitude=la, longitude=lo, elevation=0.0, start_date=start,
                                site=Site(name=name), channels=channel_list))
    description = f"brantle synthetic records: {scenario_name}" if scenario_name else "brantle synthetic records"
    return Inventory(networks=[Network(code=network, stations=stations, description=description)],
                     source=f"brantle {__version__}")


def _traces(records: np.ndarray, k: int, header: dict, channels: tuple[str, ...]) -> list[Trace]:
    traces = []
    for c, channel in enumerate(channels):
        data = np.ascontiguousarray(records[c, k], dtype=np.float32)
        traces.append(Trace(data=data, header={**header, "channel": channel}))
    return traces


def write_streams(
    out_dir: str | os.PathLike,
    scenario_name: str,
    station_names: Sequence[str],
    latitudes: Sequence[float] | np.ndarray,
    longitudes: Sequence[float] | np.ndarray,
    records: np.ndarray | Iterable[tuple[int, np.ndarray]],
    dt_s: float,
    fmt: str,
    *,
    origin_time: UTCDateTime | str | None = None,
    network: str = DEFAULT_NETWORK,
) -> list[Path]:
    """Write every station's records as ObsPy streams in miniSEED or SAC files.

    Parameters
    ----------
    out_dir
        The output folder; the files go into its subfolder ``mseed`` or ``sac``.
    scenario_name
        Goes into the inventory's network description and SAC's ``kevnm`` (16 ASCII characters).
    station_names, latitudes, longitudes
        One distinct, non-empty name and its coordinates in degrees per station.
    records
        Acceleration in cm/s², shaped ``(3, n_station, n_time)``: 090 (east), 000 (north),
        vertical. Written as float32 (records of the engine are float32 already). For runs too
        large to hold in memory, an iterable of ``(start, block)`` pairs instead: blocks of
        consecutive stations ``start, start + 1, ...`` shaped ``(3, n_block, n_time)``, in
        order, covering every station once; only one block is held at a time.
    dt_s
        Sampling interval in seconds, positive.
    fmt
        ``"mseed"`` or ``"sac"``.
    origin_time
        Start time of every record (a UTCDateTime or anything it parses); default
        :data:`DEFAULT_ORIGIN_TIME`.
    network
        Network code, one or two characters A-Z, 0-9.

    Returns
    -------
    list of Path
        Every file written: the streams, then ``stations.xml``.
    """
    if fmt not in FORMATS:
        raise ValueError(f"unknown stream format {fmt!r}; expected one of {', '.join(FORMATS)}")
    if not (isinstance(dt_s, (int, float, np.floating)) and math.isfinite(dt_s) and dt_s > 0):
        raise ValueError(f"dt_s must be a positive number of seconds; got {dt_s!r}")
    if not _NETWORK.fullmatch(network):
        raise ValueError(f"network must be one or two characters A-Z, 0-9; got {network!r}")
    names = _checked_names(station_names)
    if isinstance(records, np.ndarray):
        blocks = iter([(0, _checked_records(records, len(names)))])
    else:
        blocks = _checked_chunks(records, len(names))
    lat, lon = _checked_coordinates(latitudes, longitudes, len(names))
    start = DEFAULT_ORIGIN_TIME if origin_time is None else UTCDateTime(origin_time)
    codes = station_codes(names)
    channels = channel_codes(float(dt_s))

    folder = Path(out_dir) / fmt
    folder.mkdir(parents=True, exist_ok=True)
    _remove_temporaries(folder)
    write = _write_mseed if fmt == "mseed" else _write_sac
    written = []
    for first, block in blocks:
        written += write(folder, network, codes[first:], lat[first:], lon[first:], block, float(dt_s), start,
                         channels, _ascii(scenario_name, 16))
    inventory = _inventory(network, codes, names, lat, lon, channels, 1.0 / float(dt_s), start, scenario_name)
    written.append(_atomic(folder / INVENTORY_FILE, lambda path: inventory.write(str(path), format="STATIONXML")))
    return written


def _station_traces(network: str, codes: list[str], records: np.ndarray, dt_s: float, start: UTCDateTime,
                    channels: tuple[str, ...]) -> Iterator[tuple[int, str, list[Trace]]]:
    """(k, station code, three traces) for every station of a block; `codes` starts with the
    block's first station."""
    for k in range(records.shape[1]):
        header = {"network": network, "station": codes[k], "location": "", "delta": dt_s, "starttime": start}
        yield k, codes[k], _traces(records, k, header, channels)


def _write_mseed(folder: Path, network: str, codes: list[str], lat: np.ndarray, lon: np.ndarray,
                 records: np.ndarray, dt_s: float, start: UTCDateTime, channels: tuple[str, ...],
                 event_name: str) -> list[Path]:
    written = []
    for _, code, traces in _station_traces(network, codes, records, dt_s, start, channels):
        stream = Stream(traces)
        written.append(_atomic(folder / f"{network}.{code}.mseed",
                               lambda path: stream.write(str(path), format="MSEED", encoding="FLOAT32")))
    return written


def _write_sac(folder: Path, network: str, codes: list[str], lat: np.ndarray, lon: np.ndarray,
               records: np.ndarray, dt_s: float, start: UTCDateTime, channels: tuple[str, ...],
               event_name: str) -> list[Path]:
    written = []
    for k, code, traces in _station_traces(network, codes, records, dt_s, start, channels):
        for trace, (azimuth, incidence) in zip(traces, _SAC_ANGLES):
            trace.stats.sac = AttribDict(
                stla=lat[k], stlo=lon[k], stel=0.0, stdp=0.0, cmpaz=azimuth, cmpinc=incidence,
                o=0.0, iztype=SAC_ENUM["io"], kevnm=event_name, kuser0=ACCELERATION_UNITS,
            )
            path = folder / f"{network}.{code}..{trace.stats.channel}.sac"
            written.append(_atomic(path, lambda temporary: trace.write(str(temporary), format="SAC")))
    return written
