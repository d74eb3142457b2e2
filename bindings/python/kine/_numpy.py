# SPDX-License-Identifier: MIT
"""NumPy views of sample blocks (imported only when numpy is wanted)."""

import time

import numpy as np

from .daq import SIX_AXIS_VERSIONS
from .records import PACKAGE_SIZE, PACKAGE6D_SIZE

_I4 = "=i4"
# The memory layout of kine_package and kine_package6d, field by field.
PACKAGE_DTYPE = np.dtype({
    "names": ["raw", "x", "y", "z", "x2", "y2", "z2", "inconsistent", "aux", "config", "version"],
    "formats": [(_I4, (8,)), _I4, _I4, _I4, _I4, _I4, _I4, (_I4, (8,)), _I4, "u1", _I4],
    "offsets": [0, 32, 36, 40, 44, 48, 52, 56, 88, 92, 96],
    "itemsize": PACKAGE_SIZE,
})
PACKAGE6D_DTYPE = np.dtype({
    "names": ["Fx", "Fy", "Fz", "Tx", "Ty", "Tz", "sensors"],
    "formats": [_I4] * 6 + [(PACKAGE_DTYPE, (4,))],
    "offsets": [0, 4, 8, 12, 16, 20, 24],
    "itemsize": PACKAGE6D_SIZE,
})


def _block(daq, six_axis, wait=None):
    """One read-all pass as an array of frames: (count,) or (count, sensors);
    with `wait` (seconds, -1 for no limit) through the waiting read."""
    if wait is None:
        data, count, sensors = daq._read_block(six_axis)
    else:
        data, count, sensors = daq._wait_block(six_axis, None if wait < 0 else wait)
    if six_axis:
        return np.frombuffer(data, PACKAGE6D_DTYPE, count).copy()
    rows = np.frombuffer(data, PACKAGE_DTYPE, count * sensors)
    if sensors == 1:
        return rows.copy()
    # Sensor-major in the library's array; one row per frame here.
    return np.ascontiguousarray(rows.reshape(sensors, count).T)


def _join(parts, dtype):
    # Concatenating structured arrays drops their padding; keep the C layout.
    return np.concatenate(parts).astype(dtype, copy=False)


def read_array(daq, n, timeout):
    six_axis = daq.version in SIX_AXIS_VERSIONS
    dtype = PACKAGE6D_DTYPE if six_axis else PACKAGE_DTYPE
    with daq._lock:
        parts = [] if daq._carry is None else [daq._carry]
        daq._carry = None
    have = sum(len(p) for p in parts)
    end = None if timeout is None else time.monotonic() + timeout
    wait = None  # the first pass takes what is there
    try:
        while True:
            if wait is None:
                with daq._lock:
                    block = _block(daq, six_axis)
            else:  # sleeps in the library until samples arrive; close() may come from another thread
                block = _block(daq, six_axis, wait)
            if len(block) or not parts:
                parts.append(block)
                have += len(block)
            if n is None or have >= n:
                break
            if end is not None and time.monotonic() >= end:
                raise TimeoutError(f"{have} of {n} samples arrived within {timeout} s")
            wait = -1 if end is None else max(0.0, end - time.monotonic())
    except BaseException:
        if parts:  # what arrived stays for the next read
            daq._carry = _join(parts, dtype)
        raise
    whole = _join(parts, dtype)
    if n is not None and len(whole) > n:
        daq._carry, whole = whole[n:], whole[:n]
    return whole
