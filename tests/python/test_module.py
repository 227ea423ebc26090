"""The module itself and what every class shares: names, docstrings, signatures, immutability,
finality, no instance dict or weak references, no pickling or copying."""

from __future__ import annotations

import copy
import inspect
import pickle
import subprocess
import sys
import weakref

import pytest

import brantle
from brantle import _brantle
from conftest import INSTANCES

CLASS_ORDER = [
    "FaultSegment",
    "SlipModel",
    "VelocityModel1D",
    "SourceParameters",
    "PathParameters",
    "SiteParameters",
    "RecordParameters",
    "HfConfig",
    "Simulator",
]

DOCS = {
    "SourceParameters": (
        "(*, corner_frequency_constant, corner_frequency_alpha, rupture_velocity_fraction, "
        "rupture_velocity_shallow, rupture_velocity_deep, rupture_velocity_sigma)",
        "The earthquake source: how strong the high-frequency radiation is, and how fast the\n"
        "rupture travels.",
    ),
    "PathParameters": (
        "(*, rayset, path_duration_model)",
        "The path from source to site shared by every station: which rays, and how duration grows\n"
        "with distance.",
    ),
    "SiteParameters": (
        "(*, fmax_hz)",
        "The near-surface parameters shared by every station.\n\n"
        "Quarter-wavelength site amplification is always applied and is not a field here.",
    ),
    "RecordParameters": ("(*, duration_s, dt)", "The shape of the record to produce."),
    "HfConfig": (
        "(*, source, path, site, record)",
        "Everything needed to simulate, with nothing about where the inputs came from.",
    ),
    "FaultSegment": (
        "(*, longitude_deg, latitude_deg, strike_deg, dip_deg, rake_deg, top_depth_km, "
        "subfault_length_km, subfault_width_km, hypocentre_along_strike_km, hypocentre_down_dip_km, "
        "slip, rise_time_s, rupture_time_s, stress_drop_bars)",
        "One fault segment: geometry plus the four subfault grids.\n\n"
        "Grids are `(down_dip, along_strike)` for `slip`/`rise`/`trup`/`stress_drop_bars` and the\n"
        "row order the `.stoch` format itself uses.",
    ),
    "SlipModel": ("(segments)", "A whole slip model: one or more [`PyFaultSegment`]."),
    "VelocityModel1D": (
        "(*, thickness_km, vp_km_s, vsh_km_s, density_g_cm3, quality_factor_p, quality_factor_s, vs_moho_km_s)",
        "The 1-D velocity model, already truncated at the Moho.",
    ),
    "Simulator": (
        "(config, slip_model, velocity_model)",
        "A configured simulation, ready to run stations against.\n\n"
        "Built once per source; the station-independent work \u2014 the air layer, the slip-model\n"
        "normalisation, the moment scaling \u2014 happens here rather than per station.\n\n"
        "# Threads, not processes\n\n"
        "`run_stations` releases the GIL and takes `&self`, so one of these can be shared across a\n"
        "**dask thread pool**. It is deliberately not picklable: `dask.distributed` would need to\n"
        "send it between processes, and a silent re-normalisation on the far side is a worse\n"
        "failure than a loud one here.",
    ),
}


def test_module_holds_exactly_the_classes_in_order():
    own = [name for name in vars(_brantle) if not (name.startswith("__") and name.endswith("__"))]
    assert own == CLASS_ORDER
    assert _brantle.__doc__ == ""
    for name in CLASS_ORDER:
        assert getattr(brantle, name) is getattr(_brantle, name)
        assert isinstance(getattr(_brantle, name), type)


def test_import_is_silent_even_with_warnings_as_errors():
    # A class without a module makes the interpreter warn on import; -W error turns that into
    # an import failure for every user who runs their tests strictly.
    result = subprocess.run(
        [sys.executable, "-W", "error", "-c", "import brantle, brantle._brantle"],
        capture_output=True,
        text=True,
    )
    assert result.returncode == 0, result.stderr


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_docstring_and_text_signature(name):
    cls = getattr(_brantle, name)
    signature, doc = DOCS[name]
    assert cls.__text_signature__ == signature
    assert cls.__doc__ == doc
    parameters = inspect.signature(cls).parameters.values()
    kinds = {p.kind for p in parameters}
    positional = name in ("SlipModel", "Simulator")
    expected = inspect.Parameter.POSITIONAL_OR_KEYWORD if positional else inspect.Parameter.KEYWORD_ONLY
    assert kinds == {expected}
    assert all(p.default is inspect.Parameter.empty for p in parameters)


def test_property_docstrings():
    assert _brantle.SlipModel.subfault_count.__doc__ == "Total subfaults across all segments"
    assert _brantle.VelocityModel1D.layer_count.__doc__ == "Layers remaining after Moho truncation."


@pytest.mark.parametrize("name", CLASS_ORDER)
def test_class_is_final_immutable_and_bare_named(name):
    cls = getattr(_brantle, name)
    assert cls.__name__ == cls.__qualname__ == name
    assert cls.__module__ == "brantle"
    with pytest.raises(TypeError, match=f"type '{name}' is not an acceptable base type"):
        type("Sub", (cls,), {})
    with pytest.raises(TypeError, match="immutable type"):
        cls.extra = 1
    with pytest.raises(TypeError, match="immutable type"):
        del cls.__doc__
    assert cls.__dictoffset__ == 0
    assert cls.__weakrefoffset__ == 0


def test_instance_is_immutable_without_dict_or_weakref(instance):
    name = type(instance).__name__
    assert not hasattr(instance, "__dict__")
    with pytest.raises(AttributeError, match=f"'{name}' object has no attribute 'extra'"):
        instance.extra = 1
    with pytest.raises(TypeError, match=f"cannot create weak reference to '{name}' object"):
        weakref.ref(instance)
    public = [a for a in dir(instance) if not a.startswith("_")]
    own = {"SlipModel": ["subfault_count"], "VelocityModel1D": ["layer_count"], "Simulator": ["run_stations"]}
    assert public == own.get(name, [])
    for attribute in (a for a in public if a != "run_stations"):
        with pytest.raises(AttributeError, match="not writable"):
            setattr(instance, attribute, 0)
        with pytest.raises(AttributeError, match="not writable"):
            delattr(instance, attribute)


@pytest.mark.parametrize("operation", [pickle.dumps, copy.copy, copy.deepcopy], ids=["pickle", "copy", "deepcopy"])
def test_no_pickling_or_copying(instance, operation):
    with pytest.raises(TypeError, match=f"cannot pickle '{type(instance).__name__}' object"):
        operation(instance)


def test_equality_and_hash_are_identity(instance):
    # Built twice from the same arguments: still two different objects.
    second = INSTANCES[type(instance).__name__]()
    assert instance == instance
    assert instance != second
    assert hash(instance) == object.__hash__(instance)
