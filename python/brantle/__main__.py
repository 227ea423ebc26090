"""Command line: ``python -m brantle demo`` simulates the bundled example; ``python -m brantle
info SCENARIO`` checks a scenario and says what it holds."""

from __future__ import annotations

import argparse
import sys
from pathlib import Path

from . import __version__
from .scenario import Scenario, ScenarioError, example_scenario_path, load_scenario


def summarise(scenario: Scenario) -> str:
    """Build the scenario's objects (which checks them once more, in the engine) and describe
    what they hold."""
    built = scenario.build()
    return scenario.summary(layer_count=built.velocity_model.layer_count)


def main(argv: list[str] | None = None) -> int:
    parser = argparse.ArgumentParser(
        prog="python -m brantle",
        description="Stochastic finite-fault synthesis of high-frequency earthquake ground motion.",
    )
    parser.add_argument("--version", action="version", version=f"brantle {__version__}")
    commands = parser.add_subparsers(dest="command", required=True, metavar="COMMAND")
    demo = commands.add_parser(
        "demo",
        help="simulate every station of the bundled example scenario",
        description=f"Simulate every station of the bundled example scenario ({example_scenario_path()}) "
        "on a pool of threads, and write the records (records.npz) and a picture of them (records.png).",
    )
    demo.add_argument("--out", type=Path, default=Path("out/demo"), help="output folder (default: out/demo)")
    demo.add_argument("--threads", type=int, default=None, help="threads sharing the simulator (default: one per core)")
    demo.add_argument("--no-plot", action="store_true", help="write the records only")
    demo.add_argument("--no-progress", action="store_true", help="no progress bar")
    info = commands.add_parser("info", help="load a scenario file and summarise it")
    info.add_argument("scenario", metavar="SCENARIO", help="the scenario's TOML file")
    args = parser.parse_args(argv)

    path = example_scenario_path() if args.command == "demo" else args.scenario
    try:
        scenario = load_scenario(path)
        text = summarise(scenario)
    except ScenarioError as error:
        print(f"brantle: error: {error}", file=sys.stderr)
        return 1
    print(text)
    if args.command == "demo":
        return run_demo_command(scenario, args)
    return 0


def run_demo_command(scenario: Scenario, args: argparse.Namespace) -> int:
    from .demo import run_demo

    if args.threads is not None and args.threads < 1:
        print(f"brantle: error: --threads must be at least 1; got {args.threads}", file=sys.stderr)
        return 2
    try:
        result = run_demo(scenario, args.out, threads=args.threads, progress=not args.no_progress,
                          plot=not args.no_plot)
    except KeyboardInterrupt:
        print("brantle: interrupted; nothing was written", file=sys.stderr)
        return 130
    print(f"\nsimulated {len(scenario.stations)} stations in {result.seconds:.1f} s on {result.threads} threads")
    print(f"records: {result.records_file.resolve()}")
    if result.figure_file is not None:
        print(f"picture: {result.figure_file.resolve()}")
    print(f"\nTo start a scenario of your own, copy {example_scenario_path().parent}"
          "\nand check it with: python -m brantle info PATH/scenario.toml")
    return 0


if __name__ == "__main__":
    sys.exit(main())
