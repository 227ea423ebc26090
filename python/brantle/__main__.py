"""Command line: ``python -m brantle demo`` and ``python -m brantle info SCENARIO``."""

from __future__ import annotations

import argparse
import sys

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
    commands.add_parser(
        "demo",
        help="load the bundled example scenario and summarise it",
        description=f"Load the bundled example scenario ({example_scenario_path()}) and summarise it.",
    )
    info = commands.add_parser("info", help="load a scenario file and summarise it")
    info.add_argument("scenario", metavar="SCENARIO", help="the scenario's TOML file")
    args = parser.parse_args(argv)

    path = example_scenario_path() if args.command == "demo" else args.scenario
    try:
        text = summarise(load_scenario(path))
    except ScenarioError as error:
        print(f"brantle: error: {error}", file=sys.stderr)
        return 1
    print(text)
    if args.command == "demo":
        print(f"\nTo start a scenario of your own, copy {example_scenario_path().parent}"
              "\nand check it with: python -m brantle info PATH/scenario.toml")
    return 0


if __name__ == "__main__":
    sys.exit(main())
