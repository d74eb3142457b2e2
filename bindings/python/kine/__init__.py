"""kine: force-sensor DAQs from Python, over libkine's C functions.

    import kine
    with kine.Daq("/dev/ttyACM0", "34 v0.9") as daq:
        for sample in daq.stream(seconds=1):
            print(sample.sensor, sample.x, sample.y, sample.z)

numpy is optional; Daq.read_array needs it. The library is looked up next
to the package, then at KINE_LIBRARY, then on the system's loader path.
"""

from ._lib import MissingFunctionError, library
from .calibration import Calibration, CalibrationError
from .daq import Daq
from .errors import (ConfigError, KineError, LibraryNotFoundError, NoSuchSensorError,
                     NotOpenError, OpenError, OpenReason, OverflowWarning, ReaderStoppedError,
                     WrongReadError)
from .ports import PLUGGED, UNPLUGGED, Port, PortEvent, PortMonitor, list_ports
from .records import Config, ForceTorque, Sample, Sample6D

__all__ = [
    "Daq", "Calibration", "CalibrationError", "list_ports", "PortMonitor", "Port", "PortEvent", "PLUGGED", "UNPLUGGED",
    "Sample", "Sample6D", "ForceTorque", "Config", "library",
    "KineError", "LibraryNotFoundError", "MissingFunctionError", "OpenError", "OpenReason",
    "NotOpenError", "ReaderStoppedError", "NoSuchSensorError", "WrongReadError", "ConfigError",
    "OverflowWarning",
]
