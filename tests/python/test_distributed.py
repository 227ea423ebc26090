"""Stations on a local Dask cluster of two worker processes: records bit-identical to one
process for any batch size, one simulator built per worker process and scenario, the build
error of a bad scenario at the caller, argument errors before any work, a bounded number of
batches in flight, and work cancelled when the caller stops early."""

from __future__ import annotations

import dataclasses
import time

import numpy as np
import pytest

distributed = pytest.importorskip("distributed")

import brantle  # noqa: E402
from brantle.distributed import (  # noqa: E402
    forget_scenario,
    simulate_batches,
    simulate_with_client,
    simulator_builds,
)
from brantle.scenario import RecordConfig  # noqa: E402


def shortened(scenario, duration_s: float):
    return dataclasses.replace(scenario, record=RecordConfig(duration_s=duration_s, dt=scenario.record.dt))


def single_process(scenario) -> np.ndarray:
    return brantle.simulate_stations(brantle.Simulator(*scenario.build()), scenario.station_arrays(), threads=1)


def same_bits(a: np.ndarray, b: np.ndarray) -> bool:
    return a.shape == b.shape and a.dtype == b.dtype == np.float32 and np.array_equal(a.view(np.uint32), b.view(np.uint32))


@pytest.fixture(scope="module")
def client():
    # Loopback only; the workers inherit this process's environment (and so PYTHONPATH).
    with distributed.LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                                  dashboard_address=None) as cluster, distributed.Client(cluster) as client:
        client.wait_for_workers(2, timeout=60)
        yield client


@pytest.fixture(scope="module")
def scenario():
    return shortened(brantle.load_example(), 10.0)  # the example's 12 stations, 10 s records


@pytest.fixture(scope="module")
def reference(scenario):
    return single_process(scenario)


@pytest.mark.parametrize("batch_size", [1, 5, 7, 100])
def test_records_are_those_of_one_process(client, scenario, reference, batch_size):
    n_station = reference.shape[1]
    batches = dict(simulate_batches(client, scenario, scenario.station_arrays(), batch_size))
    assert sorted(batches) == list(range(0, n_station, batch_size))
    for start, records in batches.items():
        assert same_bits(records, reference[:, start : start + batch_size]), f"batch at {start}"
    assert same_bits(simulate_with_client(client, scenario, batch_size=batch_size), reference)


def test_each_worker_process_builds_each_scenario_once(client, scenario, reference):
    other = shortened(scenario, 6.0)
    renamed = dataclasses.replace(scenario, name="same earthquake, other name", stations=scenario.stations[:3])
    for run in (scenario, other, scenario, renamed, other):
        records = simulate_with_client(client, run, batch_size=2)
        assert same_bits(records, reference[:, :3] if run is renamed else single_process(run))

    workers = set(client.scheduler_info()["workers"])
    builds = simulator_builds(client)
    assert set(builds) == workers
    for address in workers:
        # renamed has the content hash of scenario (names and stations are no part of a simulator).
        assert builds[address] == {scenario.content_hash(): 1, other.content_hash(): 1}, address

    assert forget_scenario(client, other) and not forget_scenario(client, other)
    assert same_bits(simulate_with_client(client, other, batch_size=4), single_process(other))
    assert all(counts[other.content_hash()] == 2 for counts in simulator_builds(client).values())


def test_a_scenario_that_does_not_build_fails_at_the_caller_every_time(client, scenario):
    broken = dataclasses.replace(scenario, record=RecordConfig(duration_s=10.0, dt=0.0))
    for _ in range(2):  # the second try builds again rather than finding a half-registered plugin
        with pytest.raises(ValueError, match="a record holds at most"):
            simulate_with_client(client, broken, batch_size=4)


@pytest.mark.parametrize(
    "arrays_change, batch_size, message",
    [
        ({}, 0, "batch_size must be an integer of at least 1; got 0"),
        ({}, 2.5, "batch_size must be an integer of at least 1; got 2.5"),
        ({"kappa_s": None}, 4, "stations lacks kappa_s"),
        ({"station_seed": np.arange(3, dtype=np.uint64)}, 4, "one entry per station"),
    ],
    ids=["zero-batch", "fractional-batch", "missing-array", "unequal-lengths"],
)
def test_argument_errors_come_before_any_work(client, scenario, arrays_change, batch_size, message):
    arrays = {**scenario.station_arrays(), **arrays_change}
    arrays = {key: value for key, value in arrays.items() if value is not None}
    with pytest.raises(ValueError, match=message):
        simulate_batches(client, scenario, arrays, batch_size)  # raises on the call, not on iteration


def test_no_stations(client, scenario):
    empty = {key: values[:0] for key, values in scenario.station_arrays().items()}
    records = simulate_with_client(client, scenario, empty, batch_size=3)
    assert records.shape == (3, 0, scenario.record_samples) and records.dtype == np.float32


def brantle_tasks(dask_scheduler) -> list[str]:
    return [str(key) for key in dask_scheduler.tasks if str(key).startswith("brantle-batch")]


def test_a_slow_caller_holds_back_the_cluster_and_stopping_cancels_the_rest(client):
    long = shortened(brantle.load_example(), 40.0)  # batches long enough to be running when we stop
    arrays = {key: np.tile(values, 4) for key, values in long.station_arrays().items()}  # 48 stations
    batches = simulate_batches(client, long, arrays, 1)
    start, records = next(batches)
    assert records.shape[1] == 1
    time.sleep(1.0)  # a slow caller: the workers must not run ahead through all 48 batches
    in_flight = client.run_on_scheduler(brantle_tasks)
    # Two per worker thread, and the batch just taken while the scheduler forgets it.
    assert 0 < len(in_flight) <= 2 * 2 + 1, in_flight
    batches.close()
    deadline = time.monotonic() + 30
    while client.run_on_scheduler(brantle_tasks) and time.monotonic() < deadline:
        time.sleep(0.1)
    assert client.run_on_scheduler(brantle_tasks) == []
