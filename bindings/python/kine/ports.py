# SPDX-License-Identifier: MIT
"""Port discovery: the DAQs attached now, and plug and unplug events.

Every string and array the library allocates here is handed back to its
delete function exactly once, in a finally clause, so an exception while
copying (or a KeyboardInterrupt) leaks nothing.
"""

import atexit
import collections
import contextlib
import ctypes
import threading
import time
import weakref
from typing import NamedTuple

from ._lib import library

PLUGGED, UNPLUGGED = "plugged", "unplugged"


class Port(NamedTuple):
    """A DAQ port: device path, device version text, serial text."""
    portName: str
    deviceVersion: str
    deviceSerial: str


class PortEvent(NamedTuple):
    kind: str  # PLUGGED or UNPLUGGED
    port: Port


def _text(address):
    return ctypes.string_at(address).decode("utf-8", "replace") if address else ""


def _take_port(lib, take, handle):
    """One port triple from callGetNewPort / callGetLostPort, copied out and
    released."""
    slots = (ctypes.c_void_p * 3)()
    try:
        take(handle, slots)
        return Port(_text(slots[0]), _text(slots[1]), _text(slots[2]))
    finally:
        lib.callDeleteKPORT(slots)


def _copy_list(lib, handle):
    """The library's port list, copied out and released."""
    array = ctypes.c_void_p()
    n = 0
    try:
        array.value = lib.callListPorts(handle)
        n = lib.callGetLastSize(handle)
        if n < 1 or not array:
            return []
        slots = (ctypes.c_void_p * (3 * n)).from_address(array.value)
        return [Port(_text(slots[3 * i]), _text(slots[3 * i + 1]), _text(slots[3 * i + 2]))
                for i in range(n)]
    finally:
        if array:
            lib.callDeletePORTLIST(ctypes.byref(array), n)


class _Handle:
    """A discovery handle (its monitor thread runs while it exists). Calls
    go through use(), which keeps dispose() from freeing the handle under a
    call running on another thread."""

    def __init__(self, lib, closed_message):
        self.lib = lib
        self.value = lib.callKinePorts_Create()
        if not self.value:
            raise MemoryError("libkine could not start port discovery")
        self._closed_message = closed_message
        self._lock = threading.Lock()

    @contextlib.contextmanager
    def use(self):
        with self._lock:
            if not self.value:
                raise ValueError(self._closed_message)
            yield self.value

    def dispose(self):
        with self._lock:
            value, self.value = self.value, None
        if value:
            self.lib.callKinePorts_Dispose(value)


class PortStatus(NamedTuple):
    """A serial port and what discovery decided about it (see port_status)."""
    port: str
    usb_id: str         # "vvvv:pppp", or "" when not a USB device
    state: str          # one of STATES
    holder_pid: int     # "busy": the process holding the port, 0 when unknown
    holder_command: str
    deviceVersion: str  # "DAQ": as in Port
    deviceSerial: str


# kine_port_status.h's kine_port_state, by value.
STATES = ("pending", "DAQ", "not USB", "other vendor", "excluded", "busy",
          "no permission", "no answer", "other kind", "open failed")


class _CPortStatus(ctypes.Structure):
    _fields_ = [("port", ctypes.c_char * 64), ("vendor_id", ctypes.c_int),
                ("product_id", ctypes.c_int), ("state", ctypes.c_int),
                ("holder_pid", ctypes.c_int), ("holder_command", ctypes.c_char * 32),
                ("device_version", ctypes.c_char * 25), ("device_serial", ctypes.c_char * 25)]


assert ctypes.sizeof(_CPortStatus) == 164  # the C record's size


def _decode(raw):
    return raw.decode("utf-8", "replace")


def _port_status(lib, handle):
    records = (_CPortStatus * 64)()
    while True:
        n = lib.callGetPortStatus(handle, ctypes.addressof(records), len(records))
        if n <= len(records):
            break
        records = (_CPortStatus * n)()
    return [PortStatus(_decode(r.port),
                       "" if r.vendor_id < 0 else f"{r.vendor_id:04x}:{r.product_id:04x}",
                       STATES[r.state] if 0 <= r.state < len(STATES) else str(r.state),
                       r.holder_pid, _decode(r.holder_command), _decode(r.device_version),
                       _decode(r.device_serial))
            for r in records[:max(n, 0)]]


# A new handle's first pass probes every candidate; a slow or silent port
# can take seconds. The first list waits for it, within limits.
_FIRST_SCAN_PATIENCE = 60.0


def _wait_settled(lib, handle):
    end = time.monotonic() + _FIRST_SCAN_PATIENCE
    while not lib.callIsSettled(handle) and time.monotonic() < end:
        time.sleep(0.02)


def _discard_events(lib, handle):
    """Takes and frees the events waiting on a handle that only lists."""
    while lib.callIsLostPort(handle):
        _take_port(lib, lib.callGetLostPort, handle)
    while lib.callIsNewPort(handle):
        _take_port(lib, lib.callGetNewPort, handle)


# One discovery handle serves every list_ports() and port_status() call, so
# later calls are quick and DAQs probed once (and maybe opened since) are not
# probed again. Nobody takes its plug events: each call discards them. It is
# disposed when the interpreter exits.
_shared = None
_shared_lock = threading.Lock()


@contextlib.contextmanager
def _shared_handle():
    global _shared
    lib = library()
    with _shared_lock:
        if _shared is None:
            _shared = _Handle(lib, "port discovery has stopped: the interpreter is exiting")
            atexit.register(_shared.dispose)
        with _shared.use() as handle:
            _wait_settled(lib, handle)
            yield lib, handle
            _discard_events(lib, handle)


def list_ports():
    """The DAQs attached now, as Port records in port-name order. The first
    call starts discovery and waits until it has probed every candidate
    (60 s at most). KINE_PROBE_PORTS and KINE_EXCLUDE_PORTS in os.environ
    at that moment name ports to probe whatever their vendor, and ports
    never to touch."""
    with _shared_handle() as (lib, handle):
        return _copy_list(lib, handle)


def port_status():
    """Every serial port discovery sees and what it decided, as PortStatus
    records: why a DAQ is not found (busy, and by whom; no permission; not
    probed because of its vendor; ...)."""
    with _shared_handle() as (lib, handle):
        return _port_status(lib, handle)


class PortMonitor:
    """Plug and unplug events of DAQs, from the moment it is created.

        with kine.PortMonitor(timeout=10) as monitor:
            for event in monitor:              # ends after 10 s without events
                print(event.kind, event.port.portName)

    Events are PortEvent(kind, port); a DAQ attached when the monitor starts
    is reported as plugged once discovery has probed it.
    """

    def __init__(self, timeout=None, poll=0.02):
        self.timeout = timeout
        self.poll = poll
        self._lib = library()
        self._handle = _Handle(self._lib, "the PortMonitor is closed")
        self._finalizer = weakref.finalize(self, self._handle.dispose)
        self._pending = collections.deque()
        self._present = set()
        self._lock = threading.Lock()

    def close(self):
        """Stops discovery (waits for the current scan to end)."""
        self._finalizer()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _drain(self):
        lib, lost, new = self._lib, [], []
        with self._handle.use() as h:
            while lib.callIsLostPort(h):
                lost.append(_take_port(lib, lib.callGetLostPort, h))
            while lib.callIsNewPort(h):
                new.append(_take_port(lib, lib.callGetNewPort, h))
        # Unplugs of ports seen before come first (an unplug and a replug
        # within one poll), those of ports plugged within this poll last.
        later = []
        for port in lost:
            if port.portName in self._present:
                self._present.discard(port.portName)
                self._pending.append(PortEvent(UNPLUGGED, port))
            else:
                later.append(port)
        for port in new:
            if port.portName:
                self._present.add(port.portName)
                self._pending.append(PortEvent(PLUGGED, port))
        for port in later:
            if port.portName:
                self._present.discard(port.portName)
                self._pending.append(PortEvent(UNPLUGGED, port))

    def get(self, timeout=None):
        """The next event, or None when none came within `timeout` seconds
        (None: wait for ever)."""
        end = None if timeout is None else time.monotonic() + timeout
        while True:
            with self._lock:
                if not self._pending:
                    self._drain()
                if self._pending:
                    return self._pending.popleft()
            if end is not None and time.monotonic() >= end:
                return None
            time.sleep(self.poll)

    def events(self, timeout=None):
        """Yields events until `timeout` seconds pass without one."""
        while True:
            event = self.get(timeout)
            if event is None:
                return
            yield event

    def __iter__(self):
        return self.events(self.timeout)
