"""Read the engine value a brantle object wraps, for tests only.

The classes expose nothing but two counts, so what a constructor stored (the f32 rounding of
an argument, the storage order of a grid, a Moho-truncated layer list) is read here straight
from the object's memory: the C++ value sits right after the CPython object header, laid out
as the engine headers declare it (quillon/config.hpp, quillon/input.hpp), with a std::vector
as three pointers (libstdc++: begin, end, end of storage). `record()` checks that the object
is exactly as large as that layout says, so a header change shows up as a failure here rather
than as wrong values.
"""

from __future__ import annotations

import ctypes as C
import math
from typing import Any

class Vector(C.Structure):
    _fields_ = [("begin", C.c_void_p), ("end", C.c_void_p), ("capacity_end", C.c_void_p)]

    def items(self, ctype: Any) -> list:
        if not self.begin:
            return []
        count = (self.end - self.begin) // C.sizeof(ctype)
        return list((ctype * count).from_address(self.begin))


class RuptureVelocity(C.Structure):
    _fields_ = [(n, C.c_float) for n in ("frac", "shallow", "deep", "rv_sig1")]


class SourceParameters(C.Structure):
    _fields_ = [("czero", C.c_float), ("calpha", C.c_float), ("rupture_velocity", RuptureVelocity)]


class PathParameters(C.Structure):
    _fields_ = [("rayset", Vector), ("path_duration", C.c_uint8)]


class SiteParameters(C.Structure):
    _fields_ = [("f_max_hz", C.c_float)]


class RecordParameters(C.Structure):
    _fields_ = [("duration_s", C.c_float), ("dt_s", C.c_float)]


class HfConfig(C.Structure):
    _fields_ = [
        ("source", SourceParameters),
        ("path", PathParameters),
        ("site", SiteParameters),
        ("record", RecordParameters),
    ]


class Subfault(C.Structure):
    _fields_ = [(n, C.c_float) for n in ("slip", "rise_time_s", "rupture_time_s", "stress_drop_bars")]


SEGMENT_FLOATS_AFTER_COUNTS = (
    "subfault_length_km",
    "subfault_width_km",
    "strike_deg",
    "dip_deg",
    "rake_deg",
    "top_depth_km",
    "hypocentre_along_strike_km",
    "hypocentre_down_dip_km",
    "along_strike_offset_km",
)


class Segment(C.Structure):
    _fields_ = (
        [("fault_lon_deg", C.c_float), ("fault_lat_deg", C.c_float)]
        + [("along_strike_count", C.c_size_t), ("down_dip_count", C.c_size_t)]
        + [(n, C.c_float) for n in SEGMENT_FLOATS_AFTER_COUNTS]
        + [("subfaults", Vector)]
    )


class StochModel(C.Structure):
    _fields_ = [
        ("segments", Vector),
        ("subfault_count", C.c_size_t),
        ("fault_area_km2", C.c_float),
        ("max_hypocentre_depth_km", C.c_float),
    ]


class InputLayer(C.Structure):
    _fields_ = [
        ("depth_km", C.c_float),
        ("thickness_km", C.c_float),
        ("vp_km_s", C.c_double),
        ("vsh_km_s", C.c_double),
        ("density_g_cm3", C.c_double),
        ("attenuation_p", C.c_float),
        ("attenuation_s", C.c_float),
    ]


LAYOUT = {
    "SourceParameters": SourceParameters,
    "PathParameters": PathParameters,
    "SiteParameters": SiteParameters,
    "RecordParameters": RecordParameters,
    "HfConfig": HfConfig,
    "FaultSegment": Segment,
    "SlipModel": StochModel,
    "VelocityModel1D": Vector,  # of InputLayer
}


def _wrapper(layout: Any) -> Any:
    """The wrapper struct: the object header (reference count, type) and then the value."""
    fields = [("ob_refcnt", C.c_ssize_t), ("ob_type", C.c_void_p), ("inner", layout)]
    return type("Wrapper", (C.Structure,), {"_fields_": fields})


def record(obj: Any) -> Any:
    """The ctypes view of the engine value inside `obj` (valid while `obj` lives)."""
    wrapper = _wrapper(LAYOUT[type(obj).__name__])
    assert C.sizeof(wrapper) == type(obj).__basicsize__, "engine record layout changed"
    return wrapper.from_address(id(obj)).inner


def as_python(value: Any) -> Any:
    """A ctypes structure as plain Python data (dicts, lists, floats, ints)."""
    if isinstance(value, Vector):
        raise TypeError("vectors need their element type; use Vector.items")
    if isinstance(value, C.Structure):
        out = {}
        for name, _ in value._fields_:
            field = getattr(value, name)
            if isinstance(field, Vector):
                element = {"rayset": C.c_int32, "subfaults": Subfault, "segments": Segment}[name]
                field = [as_python(item) for item in field.items(element)]
            out[name] = as_python(field)
        return out
    if isinstance(value, (C.c_int32, C.c_float)):
        return value.value
    return value


def segment(obj: Any) -> dict:
    return as_python(record(obj))


def slip_model(obj: Any) -> dict:
    return as_python(record(obj))


def layers(obj: Any) -> list[dict]:
    return [as_python(layer) for layer in record(obj).items(InputLayer)]


def config(obj: Any) -> dict:
    return as_python(record(obj))


def same_float(a: float, b: float) -> bool:
    """Equal as stored, NaN equal to NaN and 0.0 distinct from -0.0."""
    if math.isnan(a) or math.isnan(b):
        return math.isnan(a) and math.isnan(b)
    return a == b and math.copysign(1.0, a) == math.copysign(1.0, b)
