"""brantle: high-frequency earthquake ground motion by the stochastic method, summed over a
finite fault.

The classes come from the compiled engine module ``brantle._brantle``:

- :class:`FaultSegment` and :class:`SlipModel`: the earthquake as planar segments diced into
  subfaults carrying slip, rise time, rupture time and stress drop;
- :class:`VelocityModel1D`: the layered crust, truncated at the Moho;
- :class:`SourceParameters`, :class:`PathParameters`, :class:`SiteParameters`,
  :class:`RecordParameters` and :class:`HfConfig`: the configuration;
- :class:`Simulator`: built once from those three, it simulates batches of stations with
  ``run_stations`` (the interpreter lock is released, so threads can share one).

:func:`simulate_stations` runs many stations on a pool of threads sharing one simulator.

:func:`load_scenario` reads a scenario file (TOML with CSV or .npy grids beside it) into plain
data whose :meth:`Scenario.build` makes these objects; :func:`load_example` loads the bundled
example. :func:`run_scenario` simulates every station of a scenario into an output folder
(NetCDF records written batch by batch, resumable, then intensity measures and figures), as the
``brantle run`` command does; ``brantle demo`` runs the bundled example.
"""

from importlib.metadata import PackageNotFoundError as _PackageNotFoundError
from importlib.metadata import version as _version

from ._brantle import (
    FaultSegment,
    HfConfig,
    PathParameters,
    RecordParameters,
    Simulator,
    SiteParameters,
    SlipModel,
    SourceParameters,
    VelocityModel1D,
)
from .run import run_scenario
from .scenario import (
    Scenario,
    ScenarioError,
    derive_station_seed,
    example_scenario_path,
    load_example,
    load_scenario,
)
from .simulate import iter_batches, simulate_stations

try:
    __version__ = _version("brantle")
except _PackageNotFoundError:  # imported from a source tree that was never installed
    __version__ = "0+unknown"

__all__ = [
    "FaultSegment",
    "SlipModel",
    "VelocityModel1D",
    "SourceParameters",
    "PathParameters",
    "SiteParameters",
    "RecordParameters",
    "HfConfig",
    "Simulator",
    "simulate_stations",
    "iter_batches",
    "run_scenario",
    "Scenario",
    "ScenarioError",
    "derive_station_seed",
    "example_scenario_path",
    "load_example",
    "load_scenario",
    "__version__",
]
