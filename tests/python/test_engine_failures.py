"""Failures inside a constructor end the call with a Python exception and leave the interpreter
running."""

from __future__ import annotations

import os
import subprocess
import sys
import textwrap

import pytest

EXHAUST = textwrap.dedent(
    """
    import resource
    import numpy as np
    import brantle

    # 36 million subfaults from a zero-stride view: 576 MB for the segment's own copy.
    grid = np.broadcast_to(np.float32(1.0), (6000, 6000))
    with open("/proc/self/statm") as statm:
        mapped = int(statm.read().split()[0]) * resource.getpagesize()
    resource.setrlimit(resource.RLIMIT_AS, (mapped + 200 * 2**20, resource.getrlimit(resource.RLIMIT_AS)[1]))
    scalars = dict(longitude_deg=0, latitude_deg=0, strike_deg=0, dip_deg=90, rake_deg=0, top_depth_km=1,
                   subfault_length_km=1, subfault_width_km=1, hypocentre_along_strike_km=0,
                   hypocentre_down_dip_km=0)
    try:
        brantle.FaultSegment(**scalars, slip=grid, rise_time_s=grid, rupture_time_s=grid, stress_drop_bars=grid)
    except MemoryError as error:
        print("MemoryError", repr(str(error)))
    small = np.ones((2, 2), dtype=np.float32)
    segment = brantle.FaultSegment(**scalars, slip=small, rise_time_s=small, rupture_time_s=small,
                                   stress_drop_bars=small)
    print("still running", brantle.SlipModel([segment]).subfault_count)
    """
)


@pytest.mark.skipif("asan" in os.environ.get("LD_PRELOAD", ""), reason="the address sanitizer needs the address space")
def test_exhausted_memory_is_a_memory_error_and_the_interpreter_goes_on():
    result = subprocess.run([sys.executable, "-c", EXHAUST], capture_output=True, text=True, timeout=120)
    assert result.returncode == 0, result.stderr
    assert result.stdout.splitlines() == ["MemoryError ''", "still running 4"]
