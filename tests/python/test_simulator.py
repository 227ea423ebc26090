"""Simulator and run_stations: construction errors, the output array, refused arguments,
reproducibility of every station's record, threads, the fixture generator and memory."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap
import threading

import numpy as np
import pytest

import brantle
from conftest import config_parts, make_segment, velocity_kwargs


def realistic_segment(**changes) -> brantle.FaultSegment:
    """The shared 2 x 3 test segment with slip in metres and rupture times of a few seconds."""
    shape = (2, 3)
    r, c = np.meshgrid(np.arange(shape[0]), np.arange(shape[1]), indexing="ij")
    grids = {
        "slip": (100.0 + 20.0 * r + 10.0 * c).astype(np.float32),
        "rise_time_s": np.ones(shape, np.float32),
        "rupture_time_s": (0.8 * c + 0.5 * r).astype(np.float32),
        "stress_drop_bars": np.full(shape, 50.0, np.float32),
    }
    grids.update(changes)
    return make_segment(shape, **grids)


def simulator(duration_s=40.96, rayset=(2, 1, 2), segments=None) -> brantle.Simulator:
    parts = config_parts()
    parts["record"] = brantle.RecordParameters(duration_s=duration_s, dt=0.01)
    parts["path"] = brantle.PathParameters(rayset=list(rayset), path_duration_model=11)
    slip = brantle.SlipModel(segments if segments is not None else [realistic_segment()])
    return brantle.Simulator(brantle.HfConfig(**parts), slip, brantle.VelocityModel1D(**velocity_kwargs()))


def stations(n=2, seed0=10, distance_step_deg=0.1, longitude0_deg=-120.2) -> dict[str, np.ndarray]:
    """n stations east of the test segment (the first about 5 km away), each with its own seed."""
    k = np.arange(n)
    return {
        "latitude_deg": np.full(n, 35.75, dtype=np.float32),
        "longitude_deg": (longitude0_deg + distance_step_deg * k).astype(np.float32),
        "station_seed": (seed0 + k).astype(np.uint64),
        "kappa_s": np.full(n, 0.04, dtype=np.float32),
        "q_frequency_exponent": np.full(n, 0.6, dtype=np.float32),
    }


@pytest.fixture(scope="module")
def sim() -> brantle.Simulator:
    return simulator()


def test_arguments_by_position_or_keyword_build_the_same_simulator():
    parts = brantle.HfConfig(**config_parts())
    slip = brantle.SlipModel([make_segment()])
    vmod = brantle.VelocityModel1D(**velocity_kwargs())
    a = brantle.Simulator(parts, slip, vmod).run_stations(**stations())
    b = brantle.Simulator(config=parts, slip_model=slip, velocity_model=vmod).run_stations(**stations())
    assert np.array_equal(a, b)
    with pytest.raises(TypeError, match="'config' must be a HfConfig, not SlipModel"):
        brantle.Simulator(slip, parts, vmod)
    with pytest.raises(TypeError, match="missing 1 required argument: 'velocity_model'"):
        brantle.Simulator(parts, slip)


def segment_with(**changes):
    return realistic_segment(**changes)


@pytest.mark.parametrize(
    "build, message",
    [
        (
            lambda: simulator(segments=[realistic_segment(), make_segment(subfault_width_km=3.0)]),
            "segment 1 has subfault_width_km = 3 km, but segment 0 has 2.5 km; every segment must be diced the "
            "same way because the subfault size is one quantity for the whole run",
        ),
        (
            lambda: simulator(segments=[segment_with(slip=np.zeros((2, 3), np.float32))]),
            "the slip model has no active subfault: every moment weight is at most 0.001, so every record would "
            "be NaN",
        ),
        (
            lambda: simulator(duration_s=3e7),
            "duration_s / dt gives 3000000000 samples; a record holds at most 2147483647",
        ),
    ],
    ids=["diced-differently", "no-active-subfault", "record-too-long"],
)
def test_construction_errors(build, message):
    with pytest.raises(ValueError) as raised:
        build()
    assert str(raised.value) == message


def test_output_array_layout(sim):
    out = sim.run_stations(**stations(2))
    assert out.shape == (3, 2, 4096)
    assert out.dtype == np.float32
    assert out.strides == (32768, 16384, 4)
    assert out.flags.writeable and out.flags.c_contiguous and out.flags.aligned
    assert not out.flags.owndata and out.base is not None  # a holder owns the memory
    out[0, 0, 0] = 1.0  # and it is really writeable

    empty = sim.run_stations(**stations(0))
    assert empty.shape == (3, 0, 4096)
    assert empty.dtype == np.float32


def test_records_are_finite_and_quiet_before_the_first_arrival(sim):
    # 25 to 45 km away: the S waves need 6 s or more, the windows open well after the origin.
    out = sim.run_stations(**stations(3, longitude0_deg=-119.97))
    assert np.isfinite(out).all()
    assert (np.abs(out) > 0).any(axis=2).all()  # every component of every station has signal
    first = np.argmax(np.abs(out).max(axis=0) > 0, axis=1)
    assert (first > 50).all()  # half a second at least before anything arrives


def _with(name, value):
    kwargs = stations(2)
    kwargs[name] = value
    return kwargs


REFUSED = [
    ("latitude_deg", np.zeros(2, np.float64), TypeError, "'latitude_deg' must have dtype float32, not float64"),
    ("station_seed", np.arange(2, dtype=np.int64), TypeError, "'station_seed' must have dtype uint64, not int64"),
    ("kappa_s", np.zeros((2, 1), np.float32), TypeError, "'kappa_s' must have exactly 1 dimension, not 2"),
    ("longitude_deg", [0.0, 0.0], TypeError, "'longitude_deg' must be a 1-dimensional numpy.ndarray"),
    ("q_frequency_exponent", np.zeros(2, ">f4"), TypeError, "'q_frequency_exponent' must have dtype float32 in "
     "native byte order"),
    ("latitude_deg", np.zeros(4, np.float32)[::2], TypeError, "^The given array is not contiguous or is misaligned.$"),
    ("latitude_deg", np.zeros(3, np.float32), ValueError,
     r"^latitude_deg, longitude_deg, station_seed, kappa_s and q_frequency_exponent must have one entry per "
     r"station; got lengths \[3, 2, 2, 2, 2\]$"),
    ("kappa_s", np.zeros(3, np.float32), ValueError, r"got lengths \[2, 2, 2, 3, 2\]$"),
]


@pytest.mark.parametrize("name, value, error, message", REFUSED, ids=[f"{r[0]}-{r[2].__name__}" for r in REFUSED])
def test_refused_arguments(sim, name, value, error, message):
    with pytest.raises(error, match=message):
        sim.run_stations(**_with(name, value))


def test_refused_calls(sim):
    with pytest.raises(TypeError, match="takes no positional arguments"):
        sim.run_stations(*stations(1).values())
    kwargs = stations(1)
    del kwargs["kappa_s"]
    with pytest.raises(TypeError, match="missing 1 required keyword-only argument: 'kappa_s'"):
        sim.run_stations(**kwargs)
    with pytest.raises(TypeError, match="unexpected keyword argument 'kappa'"):
        sim.run_stations(kappa=np.zeros(1, np.float32), **stations(1))


def test_a_station_record_does_not_depend_on_its_batch(sim):
    batch = stations(5)
    together = sim.run_stations(**batch)
    for position in (0, 2, 4):
        alone = sim.run_stations(**{k: v[position : position + 1] for k, v in batch.items()})
        assert np.array_equal(alone[:, 0], together[:, position])
    reversed_batch = sim.run_stations(**{k: v[::-1].copy() for k, v in batch.items()})
    assert np.array_equal(reversed_batch[:, ::-1], together)
    assert np.array_equal(sim.run_stations(**batch), together)  # and on a repeated call


def test_threads_sharing_one_simulator_get_the_sequential_records(sim):
    batches = [stations(3, seed0=100 * k) for k in range(4)]
    expected = [sim.run_stations(**b) for b in batches]
    results: list = [None] * len(batches)
    barrier = threading.Barrier(2)

    def work(indices):
        barrier.wait()
        for k in indices:
            results[k] = sim.run_stations(**batches[k])

    threads = [threading.Thread(target=work, args=(range(t, len(batches), 2),)) for t in range(2)]
    for t in threads:
        t.start()
    for t in threads:
        t.join()
    for got, want in zip(results, expected):
        assert np.array_equal(got, want)


def test_the_inputs_are_read_once(sim):
    batch = stations(2)
    before = sim.run_stations(**batch)
    batch["latitude_deg"][:] = 0.0  # changing the caller's arrays afterwards changes nothing
    assert before.shape == (3, 2, 4096)
    assert not np.array_equal(sim.run_stations(**batch), before)


def test_internal_stop_is_a_runtime_error_and_the_interpreter_goes_on():
    broken = simulator(rayset=(1, -1))
    with pytest.raises(RuntimeError, match="^ray type -1 is negative; th1 would be undefined$"):
        broken.run_stations(**stations(2))
    assert simulator(rayset=(1,)).run_stations(**stations(1)).shape == (3, 1, 4096)


def run_python(code: str, env: dict | None = None) -> subprocess.CompletedProcess:
    return subprocess.run([sys.executable, "-c", textwrap.dedent(code)], capture_output=True, text=True,
                          env=env, timeout=120, cwd=os.path.dirname(__file__))


SUBPROCESS_RECORDS = """
    import numpy as np
    from test_simulator import simulator, stations
    batch = stations(2, distance_step_deg=0.0)
    batch["station_seed"] = np.array([7, 7 + 2**40], dtype=np.uint64)  # same low 32 bits
    np.save("{path}", simulator().run_stations(**batch))
"""


def test_fixture_generator_is_chosen_by_the_environment(tmp_path):
    records = {}
    for mode in ("modern", "fixture", "fixture-empty"):
        env = {k: v for k, v in os.environ.items() if k != "QUILLON_FIXTURE_RNG"}
        if mode != "modern":
            env["QUILLON_FIXTURE_RNG"] = "" if mode == "fixture-empty" else "1"
        path = tmp_path / f"{mode}.npy"
        result = run_python(SUBPROCESS_RECORDS.format(path=path), env)
        assert result.returncode == 0, result.stderr
        records[mode] = np.load(path)
    # Any value, the empty string included, selects the fixture generator; its records differ
    # from the modern generator's, and in both modes every seed bit reaches the record (the
    # per-subfault seeds mix all 64 bits before the fixture keeps the low 32).
    assert np.array_equal(records["fixture"], records["fixture-empty"])
    assert not np.array_equal(records["fixture"], records["modern"])
    for mode in ("modern", "fixture"):
        assert np.isfinite(records[mode]).all()
        assert not np.array_equal(records[mode][:, 0], records[mode][:, 1])


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the address sanitizer needs the address space")
def test_an_output_too_large_to_allocate_is_a_memory_error():
    result = run_python(
        """
        import resource
        import numpy as np
        from test_simulator import simulator, stations
        big = simulator(duration_s=2e7)  # 2e9 samples per component: 24 GB per station
        resource.setrlimit(resource.RLIMIT_AS, (4 << 30, 4 << 30))
        try:
            big.run_stations(**stations(1))
        except MemoryError:
            print("MemoryError")
        print(big is not None)
        """
    )
    assert result.returncode == 0, result.stderr
    assert result.stdout.split() == ["MemoryError", "True"]


def test_the_output_memory_is_freed_with_the_array(sim):
    def resident_mb() -> float:
        with open("/proc/self/statm") as f:
            return int(f.read().split()[1]) * os.sysconf("SC_PAGE_SIZE") / 2**20

    batch = stations(16)
    sim.run_stations(**batch)
    start = resident_mb()
    for _ in range(60):  # 60 x 3 x 16 x 4096 x 4 bytes = 47 MB if nothing were freed
        out = sim.run_stations(**batch)
        del out
    assert resident_mb() - start < 20
