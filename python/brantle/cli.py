"""The ``brantle`` command (also ``python -m brantle``):

    brantle run SCENARIO [--stations CSV] [--out DIR] [--threads N | --scheduler ADDRESS]
                         [--batch-size K] [--format netcdf,mseed,sac] [--resume | --overwrite]
    brantle demo [--out DIR]
    brantle info SCENARIO [--stations CSV]

Exit status: 0 done, 1 a scenario or output folder that cannot be used (the message says
why), 2 a usage error, 130 interrupted (Ctrl-C; only whole batches are on disk).
"""

from __future__ import annotations

import argparse
import sys
from pathlib import Path
from typing import Any, Sequence

from . import __version__
from .output import OutputError
from .run import FORMATS, Run, RunResult
from .scenario import Scenario, ScenarioError, example_scenario_path, load_example, load_scenario

__all__ = ["main"]

DEMO_OUT = Path("out/demo")


class _Failure(Exception):
    """A run that cannot go on; the message is for the user (exit status 1)."""


class _Interrupted(Exception):
    """Ctrl-C; the message says what was kept (exit status 130)."""


def summarise(scenario: Scenario) -> str:
    """Build the scenario's objects (which checks them once more, in the engine) and describe
    what they hold."""
    try:
        built = scenario.build()
    except ValueError as error:  # the engine's own checks, beyond the loader's
        raise ScenarioError(f"{scenario.file}: {error}") from error
    return scenario.summary(layer_count=built.velocity_model.layer_count)


def default_out_dir(scenario_file: str | Path) -> Path:
    """out/NAME, NAME being the scenario file's stem, or its folder's name for scenario.toml."""
    path = Path(scenario_file)
    name = path.parent.resolve().name if path.stem == "scenario" else path.stem
    return Path("out") / (name or "run")


def _formats(text: str) -> tuple[str, ...]:
    formats = tuple(dict.fromkeys(f.strip().lower() for f in text.split(",") if f.strip()))
    unknown = [f for f in formats if f not in FORMATS]
    if unknown or not formats:
        raise argparse.ArgumentTypeError(f"expected a comma-separated list of {', '.join(FORMATS)}; got {text!r}")
    return formats


def _positive(text: str) -> int:
    try:
        value = int(text)
    except ValueError:
        raise argparse.ArgumentTypeError(f"expected a whole number, got {text!r}") from None
    if value < 1:
        raise argparse.ArgumentTypeError(f"expected at least 1, got {value}")
    return value


def _parser() -> argparse.ArgumentParser:
    parser = argparse.ArgumentParser(
        prog="brantle",
        description="Stochastic finite-fault synthesis of high-frequency earthquake ground motion.",
    )
    parser.add_argument("--version", action="version", version=f"brantle {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")

    run = commands.add_parser(
        "run", help="simulate every station of a scenario into an output folder",
        description="Simulate every station of a scenario. Records go to DIR/records.nc (NetCDF, written batch by "
        "batch under DIR/batches while the run goes on), intensity measures to DIR/intensity_measures.csv, "
        "figures to DIR/*.png. An interrupted run continues with --resume.",
    )
    run.add_argument("scenario", metavar="SCENARIO", help="the scenario's TOML file")
    run.add_argument("--stations", metavar="CSV", type=Path, help="read the stations from this CSV file instead")
    run.add_argument("--out", metavar="DIR", type=Path, help="output folder (default: out/NAME of the scenario)")
    where = run.add_mutually_exclusive_group()
    where.add_argument("--threads", metavar="N", type=_positive, help="threads sharing one simulator (default: one per core)")
    where.add_argument("--scheduler", metavar="ADDRESS", help="run on a Dask cluster, e.g. tcp://HOST:8786")
    run.add_argument("--batch-size", metavar="K", type=_positive,
                     help="stations per batch and per batch file (default: about four batches per worker, at most 64)")
    run.add_argument("--format", metavar="LIST", type=_formats, default=("netcdf",), dest="formats",
                     help="comma-separated output formats among netcdf, mseed, sac (default: netcdf; "
                     "records.nc is always written, since --resume reads it)")
    again = run.add_mutually_exclusive_group()
    again.add_argument("--resume", action="store_true",
                       help="keep the stations an earlier run of the same scenario wrote to DIR, simulate the rest")
    again.add_argument("--overwrite", action="store_true", help="remove the records an earlier run wrote to DIR first")
    _finishing_options(run)

    demo = commands.add_parser(
        "demo", help="run the bundled example scenario",
        description=f"Run the bundled example scenario ({example_scenario_path()}) into a fresh folder.",
    )
    demo.add_argument("--out", metavar="DIR", type=Path, default=DEMO_OUT, help=f"output folder (default: {DEMO_OUT})")
    demo.add_argument("--threads", metavar="N", type=_positive, help="threads sharing one simulator (default: one per core)")
    _finishing_options(demo)

    info = commands.add_parser("info", help="check a scenario and say what a run of it would do",
                               description="Load and check a scenario; print its subfaults, layers, samples, "
                               "stations and the (subfault, ray) pairs a run computes.")
    info.add_argument("scenario", metavar="SCENARIO", help="the scenario's TOML file")
    info.add_argument("--stations", metavar="CSV", type=Path, help="read the stations from this CSV file instead")
    return parser


def _finishing_options(parser: argparse.ArgumentParser) -> None:
    parser.add_argument("--no-intensity", action="store_true", help="no intensity-measure table")
    parser.add_argument("--no-plots", action="store_true", help="no figures")
    parser.add_argument("--no-progress", action="store_true", help="no progress bar")


def main(argv: Sequence[str] | None = None) -> int:
    args = _parser().parse_args(argv)
    try:
        if args.command == "info":
            print(summarise(load_scenario(args.scenario, stations=args.stations)))
            return 0
        if args.command == "demo":
            scenario = load_example()
            args.scheduler, args.batch_size, args.formats, args.resume, args.overwrite = None, None, ("netcdf",), False, True
        else:
            scenario = load_scenario(args.scenario, stations=args.stations)
            if args.out is None:
                args.out = default_out_dir(args.scenario)
        print(summarise(scenario))
        result = _run(scenario, args)
    except (ScenarioError, OutputError, _Failure) as error:
        print(f"brantle: error: {error}", file=sys.stderr)
        return 1
    except OSError as error:  # a full disk, a folder that cannot be written
        where = f"{error.filename}: " if error.filename else ""
        print(f"brantle: error: {where}{error.strerror or error}", file=sys.stderr)
        return 1
    except _Interrupted as interrupted:
        print(f"\nbrantle: interrupted: {interrupted}", file=sys.stderr)
        return 130
    except KeyboardInterrupt:
        print("\nbrantle: interrupted", file=sys.stderr)
        return 130
    _report(result, args)
    return 0


def _run(scenario: Scenario, args: argparse.Namespace) -> RunResult:
    _check_optional_modules(args)
    client = _connect(args.scheduler) if args.scheduler else None
    bar = None
    try:
        with Run(scenario, args.out, resume=args.resume, overwrite=args.overwrite) as run:
            if run.resumed:
                print(f"\nresuming: {run.resumed} of {run.total} stations were written before")
            bar = _progress_bar(run.total, run.resumed, disabled=args.no_progress)
            try:
                run.simulate(threads=args.threads, client=client, batch_size=args.batch_size,
                             progress=bar.update if bar is not None else None)
            except KeyboardInterrupt:
                if bar is not None:
                    bar.close()
                written = run.resumed + run.simulated
                raise _Interrupted(
                    f"{written} of {run.total} stations are written in "
                    f"{run.folder.batch_dir if run.simulated else run.folder.path}; run the same command with "
                    "--resume to simulate the rest") from None
            except ValueError as error:  # the engine refused the scenario or a station
                raise _Failure(f"{scenario.file}: {error}") from error
            finally:
                if bar is not None:
                    bar.close()
            try:
                return run.finish(formats=args.formats, intensity=not args.no_intensity, plots=not args.no_plots)
            except KeyboardInterrupt:
                raise _Interrupted(f"while finishing; every station is written in {run.folder.path}: run the same "
                                   "command with --resume to finish") from None
    finally:
        if client is not None:
            client.close()


def _check_optional_modules(args: argparse.Namespace) -> None:
    """Fail before simulating, not after, when an asked-for part is not installed."""
    needs = [("brantle.distributed", "--scheduler", "dask")] if args.scheduler else []
    needs += [("brantle.obspy_io", f"--format {fmt}", "obspy") for fmt in args.formats if fmt != "netcdf"]
    for module, option, extra in needs:
        try:
            __import__(module)
        except ImportError as error:
            raise _Failure(f"{option} needs {error.name or module}, which is not installed "
                           f"(pip install 'brantle[{extra}]')") from None


def _connect(address: str) -> Any:
    from distributed import Client

    try:
        return Client(address, timeout="30s")
    except (OSError, TimeoutError) as error:
        raise _Failure(f"--scheduler {address}: cannot connect: {error}") from None


def _progress_bar(total: int, initial: int, *, disabled: bool):
    if disabled or initial >= total:
        return None
    try:
        from tqdm import tqdm
    except ImportError:
        return None
    # tqdm shows stations per second and the time left from the stations done in this run.
    return tqdm(total=total, initial=initial, unit="station", desc="simulating", dynamic_ncols=True)


def _report(result: RunResult, args: argparse.Namespace) -> None:
    print()
    if result.simulated:
        rate = result.simulated / result.seconds if result.seconds > 0 else float("inf")
        print(f"simulated {result.simulated} stations in {result.seconds:.1f} s on {result.workers}"
              f" ({rate:.3g} stations/s)")
    if result.resumed:
        print(f"kept {result.resumed} stations written before")
    print(f"records: {result.records_file.resolve()}")
    tables = [p for p in result.files if p.suffix == ".csv"]
    figures = [p for p in result.files if p.suffix == ".png"]
    streams = [p for p in result.files if p.suffix not in (".csv", ".png")]  # with their stations.xml
    by_folder: dict[Path, list[Path]] = {}
    for path in streams:
        by_folder.setdefault(path.parent, []).append(path)
    for folder, paths in by_folder.items():
        print(f"streams: {len(paths)} files in {folder.resolve()}")
    for label, paths in (("intensity measures", tables), ("figures", figures)):
        if len(paths) == 1:
            print(f"{label}: {paths[0].resolve()}")
        elif paths:
            shown = ", ".join(p.name for p in paths[:6]) + (f" and {len(paths) - 6} more" if len(paths) > 6 else "")
            print(f"{label}: {shown} in {paths[0].parent.resolve()}")
    for note in result.notes:
        print(f"note: {note}")
    if args.command == "demo":
        print(f"\nTo start a scenario of your own, copy {example_scenario_path().parent}"
              "\nand run it with: brantle run PATH/scenario.toml")

