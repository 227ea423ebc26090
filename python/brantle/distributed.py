"""Running many stations on a Dask cluster: one :class:`Simulator` per worker process.

A :class:`Simulator` cannot be pickled, so it never travels. :func:`simulate_batches`
registers a :class:`SimulatorPlugin` carrying the (picklable) :class:`Scenario` on the client;
Dask sets it up once in every worker process, present and future, and the plugin builds the
process's one simulator there. Tasks then carry only a batch of station arrays and the
plugin's name; the threads of a worker share its simulator (``run_stations`` releases the
interpreter lock).

The plugin is named after the scenario's content hash and registered idempotently: a worker
can serve several scenarios over its life, each built once, and running a scenario again on
the same cluster builds nothing. :func:`forget_scenario` removes a scenario's simulators from
the workers when it will not run again.

Each station's record depends only on the simulator, the station's own values and its seed,
so the records are bit-identical to a single-process run whatever the batch size, the number
of workers or the worker a batch lands on.

    from distributed import Client
    client = Client("tcp://scheduler:8786")
    records = simulate_with_client(client, brantle.load_example())  # (3, n_station, n_time)
"""

from __future__ import annotations

import collections
import itertools
import secrets
import threading
import time
from typing import Any, Iterator, Mapping

import numpy as np
from distributed import WorkerPlugin, as_completed, get_worker

from .output import default_batch_size
from .scenario import Scenario
from .simulate import station_columns

__all__ = [
    "SimulatorPlugin",
    "forget_scenario",
    "plugin_name",
    "simulate_batches",
    "simulate_with_client",
    "simulator_builds",
]

_WINDOW_REFRESH_S = 2.0  # how often the in-flight limit follows workers joining or leaving

# Per worker process: scenario hash -> simulators built. Tests and users read it through
# simulator_builds() to see that each process built each scenario once.
_BUILDS: collections.Counter[str] = collections.Counter()
_BUILDS_LOCK = threading.Lock()


def _package_version() -> str:
    from . import __version__

    return __version__


def plugin_name(scenario: Scenario) -> str:
    """The name of a scenario's plugin on a cluster: the same for every scenario that builds
    the same simulator (the content hash leaves out names and stations)."""
    return f"brantle-simulator-{scenario.content_hash()}"


class SimulatorPlugin(WorkerPlugin):
    """Builds one :class:`Simulator` of ``scenario`` in each worker process it is set up in.

    Registered idempotently under :func:`plugin_name`, so a second registration of the same
    scenario keeps the simulators already built. Setting up fails, and the registration with
    it, when the scenario does not build or the worker runs another brantle version than the
    client (its records could differ)."""

    idempotent = True

    def __init__(self, scenario: Scenario) -> None:
        self.scenario = scenario
        self.scenario_hash = scenario.content_hash()
        self.name = f"brantle-simulator-{self.scenario_hash}"
        self.client_version = _package_version()
        self.simulator: Any = None
        self.error: str | None = None

    def __getstate__(self) -> dict[str, Any]:
        # What travels to the workers: the scenario, never a simulator (it cannot be pickled).
        return {**self.__dict__, "simulator": None, "error": None}

    def setup(self, worker: Any) -> None:
        try:
            worker_version = _package_version()
            if worker_version != self.client_version:
                raise RuntimeError(
                    f"worker {worker.address} runs brantle {worker_version} but the client runs "
                    f"{self.client_version}; install one version everywhere so records agree"
                )
            from ._brantle import Simulator

            self.simulator = Simulator(*self.scenario.build())
        except Exception as error:
            self.error = f"{type(error).__name__}: {error}"
            raise
        with _BUILDS_LOCK:
            _BUILDS[self.scenario_hash] += 1

    def teardown(self, worker: Any) -> None:
        self.simulator = None


def _simulate_batch(name: str, batch: dict[str, np.ndarray]) -> np.ndarray:
    """The task: one batch of stations on this worker's simulator of plugin ``name``."""
    worker = get_worker()
    plugin = worker.plugins.get(name)
    if not isinstance(plugin, SimulatorPlugin):
        raise RuntimeError(
            f"worker {worker.address} has no plugin {name}; the scenario was forgotten "
            "(forget_scenario) while its stations were still running"
        )
    if plugin.simulator is None:
        raise RuntimeError(f"worker {worker.address} could not build the simulator: {plugin.error}")
    # Arrays unpickled from a message may sit misaligned in its buffer; the module needs them
    # aligned and contiguous, and copies only those that are not.
    arrays = {key: np.require(values, requirements=("C_CONTIGUOUS", "ALIGNED")) for key, values in batch.items()}
    return plugin.simulator.run_stations(**arrays)


def _builds_here() -> dict[str, int]:
    with _BUILDS_LOCK:
        return dict(_BUILDS)


def simulator_builds(client: Any) -> dict[str, dict[str, int]]:
    """Simulators each worker process has built so far: worker address -> scenario content
    hash -> count (1 for every scenario a worker has run, unless the process restarted)."""
    return client.run(_builds_here)


def _register(client: Any, scenario: Scenario) -> str:
    """Register the scenario's plugin (a no-op when it already is) and return its name."""
    plugin = SimulatorPlugin(scenario)
    try:
        client.register_plugin(plugin, name=plugin.name)
    except BaseException:
        # The scheduler keeps a plugin whose setup failed; a later idempotent registration
        # would then find it and skip the setup, so remove it for the next try to rebuild.
        try:
            client.unregister_worker_plugin(plugin.name)
        except Exception:
            pass  # not registered after all; the original error is the one to report
        raise
    return plugin.name


def forget_scenario(client: Any, scenario: Scenario) -> bool:
    """Remove the scenario's simulators from the cluster's workers; False if it had none
    there. Do not call it while stations of the scenario are still running."""
    try:
        client.unregister_worker_plugin(plugin_name(scenario))
    except ValueError:  # the scheduler's word for a plugin it does not know
        return False
    return True


def _in_flight_limit(client: Any) -> int:
    """Batches queued or running at once: two per worker thread, so every thread has the next
    batch at hand, while records not yet taken by the caller stay few."""
    try:
        threads = sum(client.nthreads().values())
    except Exception:  # a scheduler that cannot say now; keep some work going
        threads = 1
    return max(2, 2 * threads)


def simulate_batches(
    client: Any,
    scenario: Scenario,
    arrays: Mapping[str, np.ndarray],
    batch_size: int,
) -> Iterator[tuple[int, np.ndarray]]:
    """Simulate stations on the workers of ``client`` (a ``distributed.Client``) in batches
    of ``batch_size``, yielding ``(start, records)`` for each batch as it completes, in any
    order.

    Parameters
    ----------
    client
        A connected ``distributed.Client``; the workers must import the same brantle version.
    scenario
        The scenario whose simulator the workers build (once per worker process).
    arrays
        The five per-station arrays of ``Simulator.run_stations``, keyed ``latitude_deg``,
        ``longitude_deg``, ``station_seed``, ``kappa_s`` and ``q_frequency_exponent``, as
        :meth:`Scenario.station_arrays` gives them (converted to the exact dtypes).
    batch_size
        Stations per task, at least 1.

    Returns
    -------
    Iterator of ``(start, records)``: ``records`` is float32 acceleration in cm/s² shaped
    ``(3, n, n_time)`` for stations ``start`` to ``start + n`` of ``arrays``.

    Raises
    ------
    ValueError
        For arrays that are missing or of unequal lengths, or a batch size below 1, at once.
    Exception
        The scenario's build error, from the first ``next()``, when the workers cannot build it.

    Notes
    -----
    At most two batches per worker thread are in flight, so a slow consumer holds back the
    cluster instead of piling up records on the workers. Closing the iterator early (or an
    error in the consumer, such as Ctrl-C) cancels the batches still queued or running.
    """
    columns = station_columns(arrays)
    if not isinstance(batch_size, (int, np.integer)) or batch_size < 1:
        raise ValueError(f"batch_size must be an integer of at least 1; got {batch_size!r}")
    return _batches(client, scenario, columns, int(batch_size))


def _batches(client: Any, scenario: Scenario, columns: dict[str, np.ndarray],
             batch_size: int) -> Iterator[tuple[int, np.ndarray]]:
    n_station = len(columns["latitude_deg"])
    if n_station == 0:
        return
    name = _register(client, scenario)
    run_token = secrets.token_hex(4)  # keys unique to this call, so two runs never share a task
    starts = iter(range(0, n_station, batch_size))
    futures_start: dict[Any, int] = {}

    def submit(start: int):
        batch = {key: column[start : start + batch_size] for key, column in columns.items()}
        future = client.submit(_simulate_batch, name, batch, key=f"brantle-batch-{run_token}-{start}", pure=False)
        futures_start[future] = start
        return future

    limit = _in_flight_limit(client)
    checked = time.monotonic()
    completed = as_completed([submit(start) for start in itertools.islice(starts, limit)])
    n_time: int | None = None
    try:
        for future in completed:
            start = futures_start.pop(future)
            records = future.result()
            future.release()
            n_time = _check_batch(records, start, min(batch_size, n_station - start), n_time)
            if time.monotonic() - checked > _WINDOW_REFRESH_S:
                limit, checked = _in_flight_limit(client), time.monotonic()
            while len(futures_start) < limit and (start_next := next(starts, None)) is not None:
                completed.add(submit(start_next))
            yield start, records
    finally:
        pending = list(futures_start)
        if pending:
            client.cancel(pending)


def _check_batch(records: Any, start: int, n_expected: int, n_time: int | None) -> int:
    """A worker's records have the batch's shape and every batch the same length; anything
    else (a worker running other code) would corrupt the output, so it stops the run."""
    if not (isinstance(records, np.ndarray) and records.dtype == np.float32 and records.ndim == 3
            and records.shape[:2] == (3, n_expected) and (n_time is None or records.shape[2] == n_time)):
        shape = getattr(records, "shape", None)
        dtype = getattr(records, "dtype", type(records).__name__)
        expected = f"(3, {n_expected}, {n_time if n_time is not None else 'n_time'})"
        raise RuntimeError(f"the batch at station {start} came back as {dtype} {shape}; expected float32 {expected}")
    return records.shape[2]


def simulate_with_client(
    client: Any,
    scenario: Scenario,
    arrays: Mapping[str, np.ndarray] | None = None,
    batch_size: int | None = None,
) -> np.ndarray:
    """Simulate stations on the workers of ``client`` and return all their records.

    Parameters
    ----------
    client
        A connected ``distributed.Client``.
    scenario
        The scenario to simulate.
    arrays
        The five per-station arrays (see :func:`simulate_batches`); default: the scenario's
        own stations, :meth:`Scenario.station_arrays`.
    batch_size
        Stations per task; default: about four batches per worker thread, at most 64.

    Returns
    -------
    numpy.ndarray
        Acceleration in cm/s², float32, shaped ``(3, n_station, n_time)`` with components
        ordered 090 (east), 000 (north), vertical; bit-identical to a single-process run.
    """
    columns = station_columns(arrays if arrays is not None else scenario.station_arrays())
    n_station = len(columns["latitude_deg"])
    if batch_size is None:
        batch_size = default_batch_size(n_station, _in_flight_limit(client) // 2)
    records: np.ndarray | None = None
    batches = simulate_batches(client, scenario, columns, batch_size)
    try:
        for start, batch in batches:
            if records is None:
                records = np.empty((3, n_station, batch.shape[2]), dtype=np.float32)
            records[:, start : start + batch.shape[1]] = batch
    finally:
        batches.close()  # cancel what is left at once on an error, not when it is collected
    if records is None:  # no stations
        records = np.empty((3, 0, scenario.record_samples), dtype=np.float32)
    return records
