# SPDX-License-Identifier: MIT
"""One DAQ connection."""

import ctypes
import errno
import math
import os
import sys
import threading
import time
import warnings
import weakref

from . import records
from ._lib import library
from .errors import (ConfigError, NoSuchSensorError, NotOpenError, OpenError, OpenReason,
                     OverflowWarning, ReadCode, ReaderStoppedError, WrongReadError)
from .records import Config, ForceTorque, PACKAGE_SIZE, PACKAGE6D_SIZE

# Read results of the C functions.
READ_OVERFLOW, NOT_OPEN, NO_SUCH_SENSOR, READER_STOPPED = (
    ReadCode.READ_OVERFLOW, ReadCode.NOT_OPEN, ReadCode.NO_SUCH_SENSOR, ReadCode.READER_STOPPED)
SIX_AXIS_VERSIONS = (5, 8)  # the six-axis units, as the library's isSixAxis() says

_GENERIC_OPEN_FAILURE = ("the port could not be opened as a DAQ, or no frame with a good "
                         "checksum arrived within about one second")


def _caller_level():
    """The stack level of the first caller outside this package, for warnings."""
    level, frame = 1, sys._getframe(1)
    while frame is not None and frame.f_globals.get("__name__", "").startswith("kine."):
        frame, level = frame.f_back, level + 1
    return level


class _Arrays:
    """The handle and the sample arrays the library allocated for it.

    The read-all arrays are handed back to the library on every call, which
    resizes or replaces them; they are released exactly once, by release(),
    which close() and garbage collection both reach."""

    def __init__(self, lib, handle):
        self.lib = lib
        self.handle = handle
        self.packages = ctypes.c_void_p()
        self.packages6d = ctypes.c_void_p()
        self._lock = threading.Lock()

    def release_arrays(self):
        with self._lock:
            if self.packages:
                self.lib.callDeletePackageArray(ctypes.byref(self.packages))
                self.packages.value = None
            if self.packages6d:
                self.lib.callDeletePackage6DArray(ctypes.byref(self.packages6d))
                self.packages6d.value = None

    def release(self):
        self.release_arrays()
        with self._lock:
            handle, self.handle = self.handle, None
        if handle:
            self.lib.callKineDAQ_Dispose(handle)


def _port_fields(port, device_version):
    if device_version is None:
        if not hasattr(port, "portName"):
            raise TypeError("Daq() takes a port record, or a device path and its device version text")
        return port.portName, port.deviceVersion
    return os.fspath(port), device_version


class Daq:
    """A connection to one DAQ, opened on construction.

        Daq(port)                       # a record from list_ports() or PortMonitor
        Daq("/dev/ttyACM0", "34 v0.9")  # a device path and its device version text
        Daq(port, speed=1000, zero=True)  # settings and a tare at every open

    speed, filter and mode are applied right after every open (an 0xAA-family
    DAQ is set to 100 Hz by each open) and confirmed from the DAQ: ConfigError
    if it does not take them. Samples buffered before the change are dropped.
    zero=True then tares every sensor on its first samples.

    Every read takes the samples decoded since the previous read. Operations
    on a closed connection raise NotOpenError; a connection may be used from
    several threads, one call at a time, except that the waiting reads
    (wait_read..., stream()) may wait in several threads while close() comes
    from another.
    """

    def __init__(self, port, device_version=None, *, speed=None, filter=None, mode=None, zero=False):
        self.path, self.device_version = _port_fields(port, device_version)
        self._at_open = (speed, filter, mode, zero)
        self._lib = library()
        handle = self._lib.callKineDAQ_Create()
        if not handle:
            raise MemoryError("libkine could not create a connection")
        self._res = _Arrays(self._lib, handle)
        self._finalizer = weakref.finalize(self, self._res.release)
        self._lock = threading.RLock()
        # Threads inside a waiting read; dispose() waits for them to leave.
        self._waiting = 0
        self._left = threading.Condition(self._lock)
        self._carry = None  # rows of read_array beyond the n asked for
        try:
            self.open()
        except BaseException:
            self._finalizer()  # now, not when the traceback lets go of self
            raise

    # ---- opening and closing ------------------------------------------

    def open(self):
        """(Re)opens the DAQ; raises OpenError with the reason."""
        path, text = self.path, self.device_version
        with self._lock:
            self._carry = None
            # The library follows a link such as /dev/serial/by-id/... itself.
            if self._lib.callOpen(self._handle(), os.fsencode(path), text.encode()):
                self._apply_at_open()
                return
            raise self._open_error()

    def _apply_at_open(self):
        speed, filter, mode, zero = self._at_open
        try:
            if (speed, filter, mode) != (None, None, None):
                self.set_config(speed, filter, mode)
                # Samples taken before the change are not the ones asked for.
                (self.read_all_6d if self.version in SIX_AXIS_VERSIONS else self.read_all)()
            if zero:
                # zero() takes the newest sample: wait for one after the drop
                # above, reading with keep so that it stays for the zeroing.
                buf = ctypes.create_string_buffer(max(PACKAGE_SIZE, PACKAGE6D_SIZE))
                six = self.version in SIX_AXIS_VERSIONS
                end = time.monotonic() + 2.0
                while time.monotonic() < end and (
                        self._lib.callRead6D(self._handle(), buf, True) if six
                        else self._lib.callRead(self._handle(), buf, 0, True)) <= 0:
                    time.sleep(0.002)
                self.zero()
        except BaseException:
            self.close()
            raise

    def _open_error(self):
        path, text = self.path, self.device_version
        lib, handle = self._lib, self._handle()
        reason, err = None, 0
        if lib.has("callGetLastOpenError"):
            code = lib.callGetLastOpenError(handle)
            reason = OpenReason(code) if code in OpenReason.__members__.values() else code
            if lib.has("callGetLastOpenErrno"):
                err = lib.callGetLastOpenErrno(handle)
            detail = (lib.callOpenErrorText(code) or b"").decode(errors="replace") \
                if lib.has("callOpenErrorText") else f"reason {code}"
        elif not os.path.exists(path):
            reason, err, detail = OpenReason.NO_DEVICE, errno.ENOENT, "no such device"
        elif not os.access(path, os.R_OK | os.W_OK):
            reason, err, detail = OpenReason.PERMISSION_DENIED, errno.EACCES, "permission denied"
        else:
            detail = _GENERIC_OPEN_FAILURE
        if err:
            detail += f" ({os.strerror(err)})"
        return OpenError(f"cannot open DAQ {path} ({text!r}): {detail}", path, text, reason, err)

    def close(self):
        """Stops the connection and releases its sample arrays; harmless when closed."""
        with self._lock:
            if self._res.handle:
                self._lib.callClose(self._res.handle)
            self._res.release_arrays()
            self._carry = None

    def dispose(self):
        """Closes the connection and frees it for good; a thread waiting in
        a waiting read gets NotOpenError."""
        with self._lock:
            if self._waiting and self._res.handle:
                self._lib.callClose(self._res.handle)  # ends their waits at once
                self._left.wait_for(lambda: self._waiting == 0)
            self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.dispose()

    def __repr__(self):
        state = "open" if self.is_open else "closed"
        return f"<kine.Daq {self.path} {self.device_version!r} {state}>"

    def _handle(self):
        if not self._res.handle:
            raise NotOpenError("this Daq was disposed")
        return self._res.handle

    # ---- status ---------------------------------------------------------

    @property
    def is_open(self):
        with self._lock:
            return bool(self._res.handle) and self._lib.callIsOpen(self._res.handle)

    @property
    def sensor_count(self):
        """Sensors of the DAQ: 1 or 4 once data has arrived (0 before)."""
        with self._lock:
            return self._lib.callGetSensorSize(self._handle())

    @property
    def version(self):
        """Protocol version 3..8 (0 before the first frame)."""
        with self._lock:
            return self._lib.callGetActualVersion(self._handle())

    @property
    def port_name(self):
        with self._lock:
            return (self._lib.callGetPortName(self._handle()) or b"").decode(errors="replace")

    def _check_open(self):
        if not self._lib.callIsOpen(self._handle()):
            raise NotOpenError(f"the DAQ on {self.path} is not open")

    def _result(self, r, six_axis=False):
        """Turns a negative read result into an exception or a warning;
        True when samples came, False when none (or an overflow lost them).
        `six_axis`: the read made was a six-axis one (read_6d, read_all_6d),
        for which -1 is always an overflow."""
        if r > 0:
            return True
        if r == 0:
            # A pass that ends because the reader stopped also reports 0.
            self._check_open()
            return False
        if r == NOT_OPEN:
            raise NotOpenError(f"the DAQ on {self.path} is not open")
        if r == READER_STOPPED:
            raise ReaderStoppedError(f"the DAQ on {self.path} went away while reading")
        if r == NO_SUCH_SENSOR:
            raise NoSuchSensorError("no such sensor on this DAQ")
        if r == READ_OVERFLOW:
            # A three-axis read of a six-axis unit also returns -1.
            if not six_axis and self._lib.callGetActualVersion(self._res.handle) in SIX_AXIS_VERSIONS:
                raise WrongReadError("this is a six-axis unit: use read_6d() or read_all_6d()")
            warnings.warn(OverflowWarning(
                f"reading {self.path} too slowly: the reader dropped old bytes"),
                stacklevel=_caller_level())
            return False
        raise NotOpenError(f"unexpected read result {r} from libkine")

    def _need_six_axis(self, six_axis):
        v = self._lib.callGetActualVersion(self._handle())
        if v and (v in SIX_AXIS_VERSIONS) != six_axis:
            raise WrongReadError(
                "this is a six-axis unit: use read_6d() or read_all_6d()" if not six_axis
                else f"version {v} is not a six-axis unit: use read() or read_all()")

    # ---- reads --------------------------------------------------------

    def read(self, sensor=0):
        """The newest sample of one sensor, or None if none arrived since
        the last read."""
        if not 0 <= sensor < 16:
            raise NoSuchSensorError(f"sensor {sensor} is outside 0..15")
        with self._lock:
            self._need_six_axis(False)
            buf = ctypes.create_string_buffer(PACKAGE_SIZE)
            if self._result(self._lib.callRead(self._handle(), buf, sensor, False)):
                return records.samples(buf.raw, 1, 1)[0]._replace(sensor=sensor)
            return None

    def read_6d(self):
        """The newest sample of a six-axis unit, or None."""
        with self._lock:
            self._need_six_axis(True)
            buf = ctypes.create_string_buffer(PACKAGE6D_SIZE)
            if self._result(self._lib.callRead6D(self._handle(), buf, False), six_axis=True):
                return records.sample6d(buf.raw)
            return None

    def read_6axis(self):
        """Force and torque combined from the newest samples of a
        four-sensor DAQ, or None."""
        with self._lock:
            values = (ctypes.c_int * 6)()
            if self._result(self._lib.callRead6Axis(self._handle(), values, False)):
                return ForceTorque(*values)
            return None

    def read_all(self):
        """Every sample decoded since the last read, in time order (each
        sensor of a frame, then the next frame)."""
        with self._lock:
            carried = self._take_carry(False)
            data, count, sensors = self._read_block(False)
            return carried + (records.samples(data, count, sensors) if count else [])

    def read_all_6d(self):
        """Every six-axis sample decoded since the last read, oldest first."""
        with self._lock:
            carried = self._take_carry(True)
            data, count, _ = self._read_block(True)
            return carried + records.samples6d(data, count)

    def read_all_6axis(self):
        """ForceTorque of every frame of a four-sensor DAQ since the last read."""
        with self._lock:
            values = ctypes.c_void_p()
            try:
                r = self._lib.callReadAll6Axis(self._handle(), ctypes.byref(values), False)
                if not self._result(r):
                    return []
                flat = (ctypes.c_int * (6 * r)).from_address(values.value)
                return [ForceTorque(*flat[6 * i:6 * i + 6]) for i in range(r)]
            finally:
                if values:
                    self._lib.callDeleteIntArray(ctypes.byref(values))

    def _read_block(self, six_axis):
        """One read-all pass: (bytes of the records, samples per sensor,
        sensors), the records sensor-major as the library stores them."""
        self._need_six_axis(six_axis)
        if six_axis:
            holder, fn, size = self._res.packages6d, self._lib.callReadAll6D, PACKAGE6D_SIZE
        else:
            holder, fn, size = self._res.packages, self._lib.callReadAll, PACKAGE_SIZE
        r = fn(self._handle(), ctypes.byref(holder), False)
        got = self._result(r, six_axis)
        sensors = 1 if six_axis else max(1, self._lib.callGetSensorSize(self._res.handle))
        if not got:
            return b"", 0, sensors
        return ctypes.string_at(holder.value, size * r * sensors), r, sensors

    def _take_carry(self, six_axis):
        carry, self._carry = self._carry, None
        if carry is None or carry.size == 0:
            return []
        data = carry.tobytes()
        if six_axis:
            return records.samples6d(data, len(carry))
        sensors = 1 if carry.ndim == 1 else carry.shape[1]
        step = sensors * PACKAGE_SIZE
        return [s for i in range(len(carry)) for s in records.samples(data, 1, sensors, i * step)]

    def stream(self, seconds=None, poll=None):
        """Yields samples the moment they arrive (Sample6D for six-axis
        units) for `seconds`, or until the caller stops iterating. Between
        samples the thread sleeps in the library's waiting read. `poll` is
        accepted for older callers and not used."""
        wait = self.wait_read_all_6d if self.version in SIX_AXIS_VERSIONS else self.wait_read_all
        end = None if seconds is None else time.monotonic() + seconds
        while True:
            left = None if end is None else end - time.monotonic()
            if left is not None and left <= 0:
                return
            yield from wait(left)

    # ---- waiting reads ----------------------------------------------------

    # The longest single wait handed to the library: the library's wait is
    # not cut short by signals, so Python gets to run its signal handlers
    # (KeyboardInterrupt) between waits of at most this long. Data ends a
    # wait at once, so it adds no latency.
    _WAIT_SLICE_MS = 250

    def wait_read(self, timeout=None, sensor=0):
        """The next sample of one sensor, as soon as it has arrived; None
        when `timeout` seconds pass first (None: no limit; 0: a plain read).
        Raises NotOpenError at once when the connection is closed, also by
        close() on another thread."""
        if not 0 <= sensor < 16:
            raise NoSuchSensorError(f"sensor {sensor} is outside 0..15")
        buf = ctypes.create_string_buffer(PACKAGE_SIZE)
        if self._wait(timeout, False, lambda h, ms: self._lib.callWaitRead(h, buf, sensor, ms)):
            return records.samples(buf.raw, 1, 1)[0]._replace(sensor=sensor)
        return None

    def wait_read_6d(self, timeout=None):
        """The next sample of a six-axis unit, as wait_read()."""
        buf = ctypes.create_string_buffer(PACKAGE6D_SIZE)
        if self._wait(timeout, True, lambda h, ms: self._lib.callWaitRead6D(h, buf, ms)):
            return records.sample6d(buf.raw)
        return None

    def wait_read_all(self, timeout=None):
        """Every sample since the last read, as read_all(), once at least one
        has arrived; [] when `timeout` seconds pass first (None: no limit)."""
        return self._wait_all(timeout, False)

    def wait_read_all_6d(self, timeout=None):
        """Every six-axis sample since the last read, as wait_read_all()."""
        return self._wait_all(timeout, True)

    def _wait_all(self, timeout, six_axis):
        with self._lock:
            if self._carry is not None and self._carry.size:  # rows left by read_array come first
                return self.read_all_6d() if six_axis else self.read_all()
        data, count, sensors = self._wait_block(six_axis, timeout)
        if six_axis:
            return records.samples6d(data, count)
        return records.samples(data, count, sensors) if count else []

    def _wait_block(self, six_axis, timeout):
        """_read_block() through the waiting read."""
        if six_axis:
            fn, release, size = self._lib.callWaitReadAll6D, self._lib.callDeletePackage6DArray, PACKAGE6D_SIZE
        else:
            fn, release, size = self._lib.callWaitReadAll, self._lib.callDeletePackageArray, PACKAGE_SIZE
        # An array of this call's own: close() on another thread may release
        # the connection's arrays while this thread waits.
        holder = ctypes.c_void_p()
        try:
            count = self._wait(timeout, six_axis, lambda h, ms: fn(h, ctypes.byref(holder), ms))
            sensors = 1
            if not six_axis and count:
                with self._lock:
                    sensors = max(1, self._lib.callGetSensorSize(self._handle()))
            return (ctypes.string_at(holder.value, size * count * sensors) if count else b""), count, sensors
        finally:
            if holder:
                release(ctypes.byref(holder))

    def _wait(self, timeout, six_axis, call):
        """Runs call(handle, milliseconds) in waits of at most
        _WAIT_SLICE_MS until it gives samples, the timeout passes or it
        fails; the sample count (0 for none)."""
        if timeout is not None and timeout < 0:
            raise ValueError(f"timeout must be None or at least 0 seconds, not {timeout!r}")
        end = None if timeout is None else time.monotonic() + timeout
        while True:
            left = self._WAIT_SLICE_MS if end is None else \
                min(self._WAIT_SLICE_MS, max(0, math.ceil((end - time.monotonic()) * 1000)))
            with self._lock:
                self._need_six_axis(six_axis)
                handle = self._handle()
                self._waiting += 1
            try:
                r = call(handle, left)  # the library's wait, without the lock or the GIL
            finally:
                with self._lock:
                    self._waiting -= 1
                    self._left.notify_all()
            if r != 0 or left == 0:
                with self._lock:
                    return self._wait_result(r, six_axis)

    def _wait_result(self, r, six_axis):
        return r if self._result(r, six_axis) else 0

    def read_array(self, n=None, timeout=None):
        """Samples as a NumPy structured array with the C records' fields.

        n None: everything decoded since the last read. Otherwise waits
        until n samples (frames) have come, or raises TimeoutError after
        `timeout` seconds; samples beyond n are kept for the next read.
        Shape (n,) for one sensor and six-axis units, (n, 4) for four
        sensors. Needs numpy."""
        from . import _numpy
        return _numpy.read_array(self, n, timeout)

    # ---- configuration and zeroing --------------------------------------

    @property
    def config(self):
        """The configuration the DAQ reports now (Config)."""
        with self._lock:
            self._check_open()
            return Config.from_byte(self._lib.callGetConfig(self._handle(), None))

    def set_config(self, speed=None, filter=None, mode=None):
        """Sends speed (1000, 333, 100, 30 Hz), filter (0 for none, 150, 50,
        15 Hz) and mode (0 or "raw", 1 or "compensated"); what is not given
        stays. Returns the configuration read back; raises ConfigError when
        the DAQ does not report what was sent."""
        if speed is not None and speed not in records.SPEEDS:
            raise ValueError(f"speed must be one of {records.SPEEDS} Hz, not {speed!r}")
        if filter is not None and filter not in records.FILTERS:
            raise ValueError(f"filter must be one of {records.FILTERS} Hz, not {filter!r}")
        if isinstance(mode, str):
            if mode not in records.MODES:
                raise ValueError(f"mode must be 'raw' or 'compensated', not {mode!r}")
            mode = records.MODES[mode]
        elif mode is not None and mode not in (0, 1):
            raise ValueError(f"mode must be 0 (raw) or 1 (compensated), not {mode!r}")
        with self._lock:
            now = self.config
            want = now._replace(speed=now.speed if speed is None else speed,
                                filter=now.filter if filter is None else filter,
                                mode=now.mode if mode is None else mode)
            ok = self._lib.callSendConfig(self._handle(), want.mode, want.speed, want.filter)
            # The library compares one read-back taken soon after sending; a
            # busy machine can make that one stale, so look again for a while.
            end = time.monotonic() + 1.0
            while True:
                got = Config.from_byte(self._lib.callGetConfig(self._handle(), None))
                took = (got.speed, got.filter) == (want.speed, want.filter) or ok
                if took and (mode is None or got.mode == mode):
                    break
                self._check_open()
                if time.monotonic() >= end:
                    raise ConfigError(f"the DAQ reports {got.speed} Hz, filter {got.filter}, "
                                      f"mode {got.mode} after {want.speed} Hz, filter "
                                      f"{want.filter}, mode {want.mode} was sent")
            return got

    def zero(self, sensor=None):
        """Makes the current reading the zero of one sensor, or of every
        sensor (or the six-axis unit) when sensor is None."""
        self._zeroing(sensor, self._lib.callZero, self._lib.callZeroAll)

    def unzero(self, sensor=None):
        """Resets the zero of one sensor, or of all (six-axis included)."""
        self._zeroing(sensor, self._lib.callUnzero, self._lib.callUnzeroAll)

    def _zeroing(self, sensor, one, every):
        with self._lock:
            self._check_open()
            if sensor is None:
                every(self._handle())
            elif not one(self._handle(), sensor):
                self._check_open()
                raise NoSuchSensorError(f"no sensor {sensor} on this DAQ")

    def offset(self, sensor=0):
        """The zero offset of one sensor (a Sample; all zero when unzeroed)."""
        with self._lock:
            buf = ctypes.create_string_buffer(PACKAGE_SIZE)
            if not self._lib.callGetOffset(self._handle(), sensor, buf):
                self._check_open()
                raise NoSuchSensorError(f"no sensor {sensor} on this DAQ")
            return records.samples(buf.raw, 1, 1)[0]._replace(sensor=sensor)

    @property
    def offsets(self):
        """The zero offsets of every sensor, by sensor index."""
        with self._lock:
            self._check_open()
            return tuple(self.offset(s) for s in range(self.sensor_count))
