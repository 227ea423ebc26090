"""Stations per second on the bundled example: 1 thread, 2 threads, and a local Dask cluster
of 2 worker processes (1 thread each), measured in one run, with their ratios to 1 thread.

Run: ``make bench`` (after the build, with every other benchmark), or alone:
``.venv/bin/python bench/bench_scaleout.py [--copies K] [--repeat R]``

The example's 12 stations are simulated ``K`` times over (default 2, so 24 stations; the
copies repeat the same stations, which costs the same as new ones). Threads share one
simulator through ``simulate_stations`` with its default batch of 1 station; the cluster runs
``simulate_with_client`` with its default batch size. The cluster is started and every worker
has built its simulator before the clock starts (that start-up is printed apart), so the
figure is the steady rate of a long run, including sending batches and records between
processes. Each figure is the best of R runs; the records of all three must be bit-identical.
The cluster listens on 127.0.0.1 only.
"""

from __future__ import annotations

import argparse
import time

import numpy as np

import brantle
from brantle.distributed import simulate_with_client


def best_seconds(run, repeat: int) -> tuple[float, np.ndarray]:
    best, records = float("inf"), None
    for _ in range(repeat):
        started = time.perf_counter()
        records = run()
        best = min(best, time.perf_counter() - started)
    return best, records


def main() -> None:
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--copies", type=int, default=2, help="times the example's stations are run (default 2)")
    parser.add_argument("--repeat", type=int, default=3, help="runs of each, the best is reported (default 3)")
    args = parser.parse_args()

    from distributed import Client, LocalCluster

    scenario = brantle.load_example()
    arrays = {key: np.tile(values, args.copies) for key, values in scenario.station_arrays().items()}
    n_station = len(arrays["station_seed"])
    simulator = brantle.Simulator(*scenario.build())
    print(f"bench_scaleout: {scenario.name}, {n_station} stations of {scenario.record_samples} samples, "
          f"best of {args.repeat}")

    rates, results = {}, {}
    for threads in (1, 2):
        seconds, results[threads] = best_seconds(
            lambda: brantle.simulate_stations(simulator, arrays, threads=threads), args.repeat)
        rates[f"{threads} thread" + ("s" if threads > 1 else "")] = n_station / seconds

    started = time.perf_counter()
    with LocalCluster(n_workers=2, processes=True, threads_per_worker=1, host="127.0.0.1",
                      dashboard_address=None) as cluster, Client(cluster) as client:
        client.wait_for_workers(2)
        one = {key: values[:1] for key, values in arrays.items()}
        simulate_with_client(client, scenario, one, batch_size=1)  # every worker builds its simulator
        startup_s = time.perf_counter() - started
        seconds, results["cluster"] = best_seconds(lambda: simulate_with_client(client, scenario, arrays), args.repeat)
        rates["2-process cluster"] = n_station / seconds

    for label, rate in rates.items():
        print(f"  {label:<18} {rate:8.2f} stations/s")
    print(f"  (cluster start-up and simulator builds, not counted: {startup_s:.1f} s)")
    base = rates["1 thread"]
    print(f"  ratio 2 threads / 1 thread:            {rates['2 threads'] / base:.2f}")
    print(f"  ratio 2-process cluster / 1 thread:    {rates['2-process cluster'] / base:.2f}")
    identical = all(np.array_equal(results[1].view(np.uint32), r.view(np.uint32)) for r in results.values())
    print(f"  records bit-identical across all three: {'yes' if identical else 'NO'}")
    if not identical:
        raise SystemExit("bench_scaleout: the records differ between schedulers")


if __name__ == "__main__":
    main()
