# SPDX-License-Identifier: MIT
"""Calibration files: a sensor's counts to newtons and newton-metres.

    cal = kine.Calibration("sensor0.json")
    fx, fy, fz = cal.apply(sample)        # a Sample (or a Sample6D, six values)

The file is read and checked by libkine (docs/calibration.md); a bad file
raises CalibrationError naming the field.
"""

import ctypes

from ._lib import library
from .errors import KineError
from .records import ForceTorque, Sample, Sample6D

_INPUTS = ("force", "raw", "axes")


class CalibrationError(KineError, ValueError):
    """A calibration file could not be read, or does not fit the samples."""


class Calibration:
    """One sensor's calibration, loaded from a file. Immutable."""

    def __init__(self, path):
        lib = library()
        error = ctypes.create_string_buffer(1024)
        handle = lib.callCalibration_Load(str(path).encode(), error, len(error))
        if not handle:
            raise CalibrationError(error.value.decode(errors="replace"))
        self._lib, self._handle = lib, handle
        self.path = str(path)
        self.outputs = lib.callCalibration_Outputs(handle)
        self.inputs = _INPUTS[lib.callCalibration_Inputs(handle)]
        self.input_count = lib.callCalibration_InputCount(handle)
        self.sensor = lib.callCalibration_Sensor(handle)
        text = lambda name: lib.callCalibration_Text(handle, name.encode()).decode()
        self.daq_serial, self.sensor_serial, self.date = text("daq_serial"), text("sensor_serial"), text("date")
        self.units = tuple(text("unit%d" % i) for i in range(self.outputs))

    def __del__(self):
        handle, self._handle = getattr(self, "_handle", None), None
        if handle:
            self._lib.callCalibration_Dispose(handle)

    def __repr__(self):
        return "Calibration(%r: sensor %d of DAQ %s, %s)" % (self.path, self.sensor, self.daq_serial, self.inputs)

    def apply(self, sample):
        """SI values of one sample: (Fx, Fy, Fz) in N, or for six axes
        (Fx, Fy, Fz, Tx, Ty, Tz) in N and N·m. A Sample, a Sample6D, a
        ForceTorque, or a sequence of counts in input order."""
        values = (ctypes.c_double * self.outputs)()
        if isinstance(sample, Sample):
            counts = {"force": (sample.x, sample.y, sample.z), "raw": sample.raw}.get(self.inputs)
        elif isinstance(sample, (Sample6D, ForceTorque)):
            counts = (sample.Fx, sample.Fy, sample.Fz, sample.Tx, sample.Ty, sample.Tz) \
                if self.inputs == "axes" else None
        else:
            counts = tuple(sample)
        if counts is None:
            raise CalibrationError("%s maps %s channels; a %s does not have them"
                                   % (self.path, self.inputs, type(sample).__name__))
        n = self.input_count
        if len(counts) < n:
            raise CalibrationError("%s needs %d counts, got %d" % (self.path, n, len(counts)))
        array = (ctypes.c_int32 * n)(*counts[:n])
        if self._lib.callCalibration_ApplyCounts(self._handle, array, 1, values) != 1:
            raise CalibrationError("%s could not be applied" % self.path)
        return tuple(values)
