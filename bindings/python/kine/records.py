# SPDX-License-Identifier: MIT
"""Immutable sample and configuration records.

Field names are those of the C records (kine_package, kine_package6d); a
sample also carries the index of the sensor it came from. Records are
decoded straight from the library's memory with struct, which keeps a
1 kHz stream of four sensors cheap.
"""

import struct
from typing import NamedTuple, Tuple

PACKAGE_SIZE = 100
PACKAGE6D_SIZE = 424
# raw[8], x y z, x2 y2 z2, inconsistent[8], aux, config byte, version
_PACKAGE = struct.Struct("@8i3i3i8iiBi")
_AXES = struct.Struct("@6i")
assert _PACKAGE.size == PACKAGE_SIZE and _AXES.size + 4 * PACKAGE_SIZE == PACKAGE6D_SIZE

SPEEDS = (1000, 333, 100, 30)  # Hz by speed code
FILTERS = (0, 150, 50, 15)  # cut-off Hz by filter code, 0: no filter
MODES = {"raw": 0, "compensated": 1}


class Config(NamedTuple):
    """A sensor configuration: state 0..7, speed and filter in Hz, mode
    0 (raw) or 1 (compensated)."""
    state: int
    speed: int
    filter: int
    mode: int

    @classmethod
    def from_byte(cls, byte):
        return _CONFIGS[byte & 0xFF]

    @property
    def byte(self):
        return (self.state << 5) | (SPEEDS.index(self.speed) << 3) \
            | (FILTERS.index(self.filter) << 1) | self.mode


_CONFIGS = tuple(Config(b >> 5, SPEEDS[(b >> 3) & 3], FILTERS[(b >> 1) & 3], b & 1)
                 for b in range(256))


class Sample(NamedTuple):
    """One sample of one 3-axis sensor."""
    raw: Tuple[int, ...]
    x: int
    y: int
    z: int
    x2: int
    y2: int
    z2: int
    inconsistent: Tuple[int, ...]
    aux: int
    config: Config
    version: int
    sensor: int = 0


class Sample6D(NamedTuple):
    """One sample of a 6-axis unit with the four sensor samples it came from."""
    Fx: int
    Fy: int
    Fz: int
    Tx: int
    Ty: int
    Tz: int
    sensors: Tuple[Sample, ...]


class ForceTorque(NamedTuple):
    """Force and torque of a four-sensor DAQ, combined on the host."""
    Fx: int
    Fy: int
    Fz: int
    Tx: int
    Ty: int
    Tz: int


def _sample(v, sensor):
    return Sample(v[0:8], v[8], v[9], v[10], v[11], v[12], v[13], v[14:22], v[22],
                  _CONFIGS[v[23]], v[24], sensor)


def samples(data, count, sensors, offset=0):
    """`count` samples per sensor from a sensor-major block of records
    (sensor s's samples at s*count...), returned in time order: every
    sensor of the first frame, then of the next."""
    per_sensor = [[_sample(_PACKAGE.unpack_from(data, offset + (s * count + i) * PACKAGE_SIZE), s)
                   for i in range(count)] for s in range(sensors)]
    if sensors == 1:
        return per_sensor[0]
    return [per_sensor[s][i] for i in range(count) for s in range(sensors)]


def sample6d(data, offset=0):
    axes = _AXES.unpack_from(data, offset)
    base = offset + _AXES.size
    sensors = tuple(_sample(_PACKAGE.unpack_from(data, base + k * PACKAGE_SIZE), k)
                    for k in range(4))
    return Sample6D(*axes, sensors)


def samples6d(data, count):
    return [sample6d(data, i * PACKAGE6D_SIZE) for i in range(count)]
