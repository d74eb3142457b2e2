# SPDX-License-Identifier: MIT
"""kine: force-sensor DAQs from Python, over libkine's C functions.

    import kine
    with kine.Daq("/dev/ttyACM0", "34 v0.9") as daq:
        for sample in daq.stream(seconds=1):
            print(sample.sensor, sample.x, sample.y, sample.z)

numpy is optional; Daq.read_array needs it. Subscriber receives the streams
of `kine publish` from another computer (python3-zmq). The library is looked up next
to the package, then at KINE_LIBRARY, then on the system's loader path.
"""

# The package's version, the same as the library it was released with
# (kine.library().version() tells which library is loaded).
__version__ = "0.1.0"

from ._lib import MissingFunctionError, library
from .calibration import Calibration, CalibrationError
from .daq import Daq
from .errors import (ConfigError, KineError, LibraryNotFoundError, NoSuchSensorError,
                     NotOpenError, OpenError, OpenReason, OverflowWarning, ReadCode,
                     ReaderStoppedError, WrongReadError)
from .ports import PLUGGED, UNPLUGGED, Port, PortEvent, PortMonitor, PortStatus, list_ports, port_status
from .records import Config, ForceTorque, Sample, Sample6D
from .subscriber import SampleLossWarning, Subscriber, WireFormatError, WireFormatWarning

__all__ = [
    "__version__",
    "Daq", "Calibration", "CalibrationError", "list_ports", "port_status", "PortMonitor", "Port", "PortEvent",
    "PortStatus", "PLUGGED", "UNPLUGGED",
    "Sample", "Sample6D", "ForceTorque", "Config", "library",
    "KineError", "LibraryNotFoundError", "MissingFunctionError", "OpenError", "OpenReason", "ReadCode",
    "NotOpenError", "ReaderStoppedError", "NoSuchSensorError", "WrongReadError", "ConfigError",
    "OverflowWarning", "Subscriber", "WireFormatError", "WireFormatWarning", "SampleLossWarning",
]
