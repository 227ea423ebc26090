"""Running many stations on one :class:`Simulator` from a pool of threads.

``Simulator.run_stations`` releases the interpreter lock while it computes, so threads that
share one simulator run in parallel on separate cores. Each station's record depends only on
the simulator, the station's own values and its seed, so how the stations are split into
batches and which thread runs which batch never changes a record.
"""

from __future__ import annotations

import os
from contextlib import closing
from concurrent.futures import FIRST_COMPLETED, Future, ThreadPoolExecutor, wait
from typing import Callable, Iterator, Mapping

import numpy as np

from ._brantle import Simulator

__all__ = ["STATION_ARGUMENTS", "iter_batches", "simulate_stations", "station_columns"]

#: The per-station arrays of ``Simulator.run_stations``, in its order, with their dtypes.
STATION_ARGUMENTS: dict[str, type] = {
    "latitude_deg": np.float32,
    "longitude_deg": np.float32,
    "station_seed": np.uint64,
    "kappa_s": np.float32,
    "q_frequency_exponent": np.float32,
}


def station_columns(stations: Mapping[str, np.ndarray]) -> dict[str, np.ndarray]:
    """The five station arrays in the exact dtypes ``run_stations`` takes, checked for equal
    lengths; ValueError otherwise."""
    missing = [name for name in STATION_ARGUMENTS if name not in stations]
    if missing:
        raise ValueError(f"stations lacks {', '.join(missing)}; expected the arrays {list(STATION_ARGUMENTS)}")
    columns = {
        name: np.ascontiguousarray(np.asarray(stations[name]).astype(dtype, copy=False).reshape(-1))
        for name, dtype in STATION_ARGUMENTS.items()
    }
    lengths = [len(c) for c in columns.values()]
    if len(set(lengths)) != 1:
        raise ValueError(f"the station arrays must have one entry per station; got lengths {lengths}")
    return columns


def iter_batches(
    simulator: Simulator,
    stations: Mapping[str, np.ndarray],
    *,
    threads: int | None = None,
    batch_size: int = 1,
) -> Iterator[tuple[int, np.ndarray]]:
    """Simulate ``stations`` in batches of ``batch_size`` on ``threads`` threads (default: one
    per core) and yield ``(start, records)`` for each batch as it completes, in any order:
    ``records`` holds stations ``start`` to ``start + records.shape[1]`` of the arrays.

    At most two batches per thread are queued or done but not yet taken, so a slow consumer
    holds back the pool instead of piling up records in memory. Closing the iterator early
    (or an exception in the consumer, such as Ctrl-C) drops the batches not started and waits
    for the running ones, whose records are discarded.
    """
    columns = station_columns(stations)
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1; got {batch_size}")
    threads = max(1, threads if threads is not None else (os.cpu_count() or 1))
    n_station = len(columns["latitude_deg"])
    starts = iter(range(0, n_station, batch_size))

    def run(start: int) -> tuple[int, np.ndarray]:
        batch = {name: column[start : start + batch_size] for name, column in columns.items()}
        return start, simulator.run_stations(**batch)

    pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="brantle")
    pending: set[Future] = set()
    try:
        for start in starts:
            pending.add(pool.submit(run, start))
            if len(pending) >= 2 * threads:
                break
        while pending:
            done, pending = wait(pending, return_when=FIRST_COMPLETED)
            for future in done:
                start = next(starts, None)
                if start is not None:
                    pending.add(pool.submit(run, start))
            for future in done:
                yield future.result()
    finally:
        for future in pending:
            future.cancel()
        pool.shutdown(wait=True, cancel_futures=True)


def simulate_stations(
    simulator: Simulator,
    stations: Mapping[str, np.ndarray],
    *,
    threads: int | None = None,
    batch_size: int = 1,
    progress: Callable[[int], None] | None = None,
) -> np.ndarray:
    """Simulate every station of ``stations`` and return their records.

    ``stations`` maps the five argument names of ``run_stations`` to one-dimensional arrays of
    equal length (values are converted to the exact dtypes the module takes). ``threads``
    defaults to the number of cores. ``progress``, if given, is called with the number of
    stations each finished batch held. Returns acceleration in cm/s², float32, shaped
    ``(3, n_station, n_time)`` with components ordered 090 (east), 000 (north), vertical.
    """
    columns = station_columns(stations)
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1; got {batch_size}")
    n_station = len(columns["latitude_deg"])
    # An empty batch costs nothing and tells the record length.
    n_time = simulator.run_stations(**{name: column[:0] for name, column in columns.items()}).shape[2]
    records = np.empty((3, n_station, n_time), dtype=np.float32)
    # closing(): on an error in progress() the pool stops now, not when the traceback is freed.
    with closing(iter_batches(simulator, columns, threads=threads, batch_size=batch_size)) as batches:
        for start, batch_records in batches:
            records[:, start : start + batch_records.shape[1]] = batch_records
            if progress is not None:
                progress(batch_records.shape[1])
    return records
