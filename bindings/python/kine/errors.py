# SPDX-License-Identifier: MIT
"""Exceptions and warnings of the kine package."""

import enum


class KineError(Exception):
    """Base of every error the package raises."""


class LibraryNotFoundError(KineError, OSError):
    """libkine could not be loaded; .tried lists each place and why."""

    def __init__(self, message, tried=()):
        super().__init__(message)
        self.tried = list(tried)

    def __str__(self):
        return self.args[0]


# The numbers below are the library's, from kine/kine_result.h; a test
# checks that every code there is here with the same number.

class ReadCode(enum.IntEnum):
    """Negative results of the library's reads (the KINE_* read codes)."""
    READ_OVERFLOW = -1
    NOT_OPEN = -2
    NO_SUCH_SENSOR = -3
    READER_STOPPED = -4


class OpenReason(enum.IntEnum):
    """Why an open failed (the library's kine_open_error codes)."""
    OK = 0
    NO_DEVICE = 1
    PERMISSION_DENIED = 2
    BUSY = 3
    NOT_SERIAL = 4
    NO_DATA = 5
    BAD_CHECKSUMS = 6
    VERSION_MISMATCH = 7
    NO_CONFIG_ANSWER = 8
    CANCELLED = 9
    INVALID_ARGUMENT = 10
    ALREADY_OPEN = 11
    IO_ERROR = 12
    NO_MEMORY = 13


class OpenError(KineError):
    """A DAQ could not be opened.

    .reason is an OpenReason, or None when neither the library nor the
    package could tell; .errno is the operating system's error number or 0.
    """

    def __init__(self, message, path=None, device_version=None, reason=None, errno=0):
        super().__init__(message)
        self.path = path
        self.device_version = device_version
        self.reason = reason
        self.errno = errno


class NotOpenError(KineError):
    """The connection is not open: never opened, closed, or its DAQ went
    away (silent for 550 ms, unplugged, port failed). Open it again."""


class ReaderStoppedError(NotOpenError):
    """The reader thread ended while a read ran. Open the DAQ again."""


class NoSuchSensorError(KineError, LookupError):
    """The sensor index is not a sensor of this DAQ, or a four-sensor read
    was asked of a DAQ without four sensors."""


class WrongReadError(KineError, TypeError):
    """A three-axis read of a six-axis unit, or a six-axis read of a
    three-axis DAQ."""


class ConfigError(KineError):
    """The DAQ did not report the configuration that was sent."""


class OverflowWarning(RuntimeWarning):
    """The reader dropped old bytes because the application read too slowly;
    samples were lost. Reading goes on normally."""
