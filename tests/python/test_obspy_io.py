"""Records written as miniSEED and SAC: read back by ObsPy with the exact samples and the
headers (codes, rate, start, coordinates), station codes for names the formats cannot hold,
argument errors that write nothing, and files that are whole or absent after a failed write."""

from __future__ import annotations

import re

import numpy as np
import pytest

obspy = pytest.importorskip("obspy")

from brantle import obspy_io  # noqa: E402
from brantle.obspy_io import DEFAULT_ORIGIN_TIME, station_codes, write_streams  # noqa: E402

# Awkward names: a code as given, the same in lower case, accents and a clash after cleaning,
# a path, nothing usable, and a name longer than any code.
NAMES = ["PKA", "pka", "Ünïon-Hill 2", "Ünïon-Hill 3", "../../etc/passwd", "***", "Cholame Valley School"]
LATITUDES = np.array([35.8116, 35.9, -33.45, 0.0, 89.99, -90.0, 35.123456789])
LONGITUDES = np.array([-120.2430, 200.0, -70.66, 0.0, 179.99, -180.0, 359.5])
DT_S = 0.01
N_TIME = 1300  # more than one 4096-byte miniSEED record per trace


def make_records() -> np.ndarray:
    records = np.random.default_rng(7).standard_normal((3, len(NAMES), N_TIME)).astype(np.float32) * 300
    # Values a lossy encoding or a float64 round trip would change.
    records[0, 0, :6] = [np.float32(1e-45), -0.0, np.finfo(np.float32).max, np.finfo(np.float32).tiny, 1 / 3, -7e-39]
    return records


def read_stations(folder, fmt: str, codes: list[str]) -> dict[str, obspy.Stream]:
    """code -> the station's three traces as ObsPy reads them from the format's files."""
    streams = {}
    for code in codes:
        if fmt == "mseed":
            streams[code] = obspy.read(str(folder / "mseed" / f"XX.{code}.mseed"), format="MSEED")
        else:
            stream = obspy.Stream()
            for channel in ("HNE", "HNN", "HNZ"):
                stream += obspy.read(str(folder / "sac" / f"XX.{code}..{channel}.sac"), format="SAC")
            streams[code] = stream
    return streams


@pytest.mark.parametrize("fmt, origin_time", [("mseed", None), ("sac", "2024-05-01T12:34:56.5")])
def test_streams_read_back_exactly(tmp_path, fmt, origin_time):
    records = make_records()
    written = write_streams(tmp_path, "Mw 6.9 — scénario", NAMES, LATITUDES, LONGITUDES, records, DT_S, fmt,
                            origin_time=origin_time)
    codes = station_codes(NAMES)
    files_per_station = 1 if fmt == "mseed" else 3
    assert len(written) == len(NAMES) * files_per_station + 1 and all(p.is_file() for p in written)
    assert sorted(p.name for p in (tmp_path / fmt).iterdir()) == sorted(p.name for p in written)

    start = DEFAULT_ORIGIN_TIME if origin_time is None else obspy.UTCDateTime(origin_time)
    wrapped_longitudes = np.where(LONGITUDES > 180, LONGITUDES - 360, LONGITUDES)
    for k, (code, stream) in enumerate(read_stations(tmp_path, fmt, codes).items()):
        assert [tr.id for tr in stream] == [f"XX.{code}..{c}" for c in ("HNE", "HNN", "HNZ")]
        for c, trace in enumerate(stream):
            assert trace.data.dtype == np.float32
            assert np.array_equal(trace.data.view(np.uint32), records[c, k].view(np.uint32))
            assert trace.stats.sampling_rate == pytest.approx(1 / DT_S, rel=1e-12)
            assert trace.stats.starttime == start
            if fmt == "mseed":
                assert trace.stats.mseed.encoding == "FLOAT32"
            else:
                sac = trace.stats.sac
                assert (sac.stla, sac.stlo) == (np.float32(LATITUDES[k]), np.float32(wrapped_longitudes[k]))
                assert (sac.cmpaz, sac.cmpinc) == [(90, 90), (0, 90), (0, 0)][c]
                assert (sac.o, sac.kuser0, sac.kevnm) == (0.0, "cm/s**2", "Mw 6.9 scenario")

    inventory = obspy.read_inventory(str(tmp_path / fmt / "stations.xml"))
    stations = inventory.networks[0].stations
    assert inventory.networks[0].code == "XX"
    assert [(s.code, s.site.name, s.latitude, s.longitude) for s in stations] == list(
        zip(codes, NAMES, LATITUDES, wrapped_longitudes))
    assert [(ch.code, ch.azimuth, ch.dip) for ch in stations[0].channels] == [
        ("HNE", 90, 0), ("HNN", 0, 0), ("HNZ", 0, -90)]


@pytest.mark.parametrize(
    "names, codes",
    [
        (["PKA", "A1B2C"], ["PKA", "A1B2C"]),  # valid codes stay
        (["pka", "PKA"], ["PKA1", "PKA"]),  # a code as given wins over a cleaned name, wherever it stands
        (["Ünïon-Hill", "Ünïon-Hill 2", "union"], ["UNION", "UNIO1", "UNIO2"]),
        (["../../x", "a b", "***", "—"], ["X", "AB", "STA", "STA1"]),
        (["STATION1"] + [f"station{k}" for k in range(2, 40)], None),  # 39 clashes: all distinct
    ],
    ids=["codes", "case", "accents-and-clashes", "punctuation", "many-clashes"],
)
def test_station_codes(names, codes):
    got = station_codes(names)
    if codes is not None:
        assert got == codes
    assert len(set(got)) == len(names)
    assert all(re.fullmatch(r"[A-Z0-9]{1,5}", code) for code in got)


@pytest.mark.parametrize(
    "dt_s, band",
    [(0.01, "H"), (0.005, "H"), (0.0125, "H"), (float(np.float32(0.004)), "C"), (0.001, "F"),
     (0.02, "B"), (0.1, "B"), (0.5, "M"), (1.0, "L")],
)
def test_channel_codes_follow_the_sampling_rate(dt_s, band):
    assert obspy_io.channel_codes(dt_s) == (f"{band}NE", f"{band}NN", f"{band}NZ")


@pytest.mark.parametrize(
    "change, message",
    [
        ({"fmt": "seed"}, "unknown stream format 'seed'; expected one of mseed, sac"),
        ({"records": np.zeros((2, 3, 10), np.float32)}, r"records must be shaped \(3, 3, n_time\)"),
        ({"records": np.zeros((3, 3, 10), np.int32)}, "floating-point acceleration"),
        ({"names": ["A", "B"]}, r"records must be shaped \(3, 2, n_time\)"),
        ({"names": ["A", "B", "A"]}, "station name 'A' appears twice"),
        ({"names": ["A", " ", "C"]}, "station 1 has an empty name"),
        ({"latitudes": [0.0, 91.0, 0.0]}, "station 1 has latitude 91.0; expected -90 to 90"),
        ({"longitudes": [0.0, 0.0, np.nan]}, "station 2 has longitude nan"),
        ({"longitudes": [0.0, 0.0]}, "expected 3 latitudes and longitudes"),
        ({"dt_s": 0.0}, "dt_s must be a positive number"),
        ({"dt_s": float("nan")}, "dt_s must be a positive number"),
        ({"network": "XYZ"}, "network must be one or two characters"),
    ],
)
def test_bad_arguments_write_nothing(tmp_path, change, message):
    arguments = {"names": ["A", "B", "C"], "latitudes": [0.0, 1.0, 2.0], "longitudes": [0.0, 1.0, 2.0],
                 "records": np.zeros((3, 3, 10), np.float32), "dt_s": 0.01, "fmt": "mseed", **change}
    network = {"network": arguments.pop("network")} if "network" in arguments else {}
    with pytest.raises(ValueError, match=message):
        write_streams(tmp_path, "s", arguments["names"], arguments["latitudes"], arguments["longitudes"],
                      arguments["records"], arguments["dt_s"], arguments["fmt"], **network)
    assert list(tmp_path.iterdir()) == []


@pytest.mark.parametrize("fmt", ["mseed", "sac"])
def test_failed_write_leaves_whole_files_only(tmp_path, monkeypatch, fmt):
    names = ["A", "B", "C"]
    old = np.ones((3, 3, 50), np.float32)
    write_streams(tmp_path, "s", names, [0.0] * 3, [0.0] * 3, old, DT_S, fmt)
    (tmp_path / fmt / ".XX.A.mseed.99.0badc0de.tmp").write_bytes(b"left by a killed writer")

    real_write = obspy.Stream.write
    calls = []

    def write_then_fail(stream, filename, *args, **kwargs):
        calls.append(filename)
        if len(calls) == {"mseed": 2, "sac": 5}[fmt]:  # station B's file, B's HNN
            with open(filename, "wb") as half:
                half.write(b"half a file")
            raise KeyboardInterrupt
        return real_write(stream, filename, *args, **kwargs)

    monkeypatch.setattr(obspy.Stream, "write", write_then_fail)
    with pytest.raises(KeyboardInterrupt):
        write_streams(tmp_path, "s", names, [0.0] * 3, [0.0] * 3, old + 1, DT_S, fmt)
    monkeypatch.undo()

    assert [p.name for p in (tmp_path / fmt).iterdir() if p.name.endswith(".tmp")] == []
    values = {code: {tr.stats.channel: tr.data[0] for tr in stream}
              for code, stream in read_stations(tmp_path, fmt, names).items()}
    # Every file is either the new one or still the old one, never a mix or a fragment.
    assert values["A"] == {"HNE": 2.0, "HNN": 2.0, "HNZ": 2.0}
    assert values["B"] == {"HNE": 1.0 if fmt == "mseed" else 2.0, "HNN": 1.0, "HNZ": 1.0}
    assert values["C"] == {"HNE": 1.0, "HNN": 1.0, "HNZ": 1.0}


@pytest.mark.parametrize("fmt", ["mseed", "sac"])
def test_blocks_of_stations_write_the_same_files_as_one_array(tmp_path, fmt):
    records = make_records()
    whole = write_streams(tmp_path / "whole", "s", NAMES, LATITUDES, LONGITUDES, records, DT_S, fmt)
    blocks = ((start, records[:, start : start + 3]) for start in range(0, len(NAMES), 3))
    chunked = write_streams(tmp_path / "blocks", "s", NAMES, LATITUDES, LONGITUDES, blocks, DT_S, fmt)
    assert [p.name for p in chunked] == [p.name for p in whole]
    for a, b in zip(whole, chunked):
        if a.name != "stations.xml":
            assert a.read_bytes() == b.read_bytes(), a.name


@pytest.mark.parametrize(
    "blocks, message",
    [
        (lambda r: [(0, r[:, :3]), (4, r[:, 4:])], "starts at station 4 where 3 was expected"),
        (lambda r: [(0, r[:, :3])], "record blocks ended at station 3 of 7"),
        (lambda r: [(0, r[:, :5]), (5, r[:, 3:])], r"starting at station 5 must be shaped \(3, n, n_time\) with "
         r"at most 2 stations; got \(3, 4, 1300\)"),
    ],
    ids=["gap", "short", "too-many"],
)
def test_blocks_must_cover_every_station_once_in_order(tmp_path, blocks, message):
    with pytest.raises(ValueError, match=message):
        write_streams(tmp_path, "s", NAMES, LATITUDES, LONGITUDES, blocks(make_records()), DT_S, "mseed")
