"""Running many stations on one :class:`Simulator` from a pool of threads.

``Simulator.run_stations`` releases the interpreter lock while it computes, so threads that
share one simulator run in parallel on separate cores. Each station's record depends only on
the simulator, the station's own values and its seed, so how the stations are split into
batches and which thread runs which batch never changes a record.
"""

from __future__ import annotations

import os
from concurrent.futures import ThreadPoolExecutor, as_completed
from typing import Callable, Mapping

import numpy as np

from ._brantle import Simulator

__all__ = ["STATION_ARGUMENTS", "simulate_stations"]

#: The per-station arrays of ``Simulator.run_stations``, in its order, with their dtypes.
STATION_ARGUMENTS: dict[str, type] = {
    "latitude_deg": np.float32,
    "longitude_deg": np.float32,
    "station_seed": np.uint64,
    "kappa_s": np.float32,
    "q_frequency_exponent": np.float32,
}


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
    if batch_size < 1:
        raise ValueError(f"batch_size must be at least 1; got {batch_size}")
    n_station = lengths[0]
    threads = max(1, threads if threads is not None else (os.cpu_count() or 1))

    def run(start: int) -> tuple[int, np.ndarray]:
        batch = {name: column[start : start + batch_size] for name, column in columns.items()}
        return start, simulator.run_stations(**batch)

    if n_station == 0:
        return simulator.run_stations(**columns)
    # An empty batch costs nothing and tells the record length.
    n_time = simulator.run_stations(**{name: column[:0] for name, column in columns.items()}).shape[2]
    records = np.empty((3, n_station, n_time), dtype=np.float32)
    pool = ThreadPoolExecutor(max_workers=threads, thread_name_prefix="brantle")
    try:
        futures = [pool.submit(run, start) for start in range(0, n_station, batch_size)]
        for future in as_completed(futures):
            start, batch_records = future.result()
            records[:, start : start + batch_records.shape[1]] = batch_records
            if progress is not None:
                progress(batch_records.shape[1])
    finally:
        # On an error or Ctrl-C, batches not yet started are dropped; running ones finish.
        pool.shutdown(wait=True, cancel_futures=True)
    return records
