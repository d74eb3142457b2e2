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


# On a new handle callListPorts waits for discovery's first scan, but for 25
# polls of 16 ms at most. A call shorter than that saw the scan end; a longer
# one may have given up first (probing a slow DAQ takes longer), so it is
# repeated, for a while.
_FIRST_SCAN_WAIT = 0.4
_FIRST_SCAN_PATIENCE = 10.0


def _first_list(lib, handle):
    end = time.monotonic() + _FIRST_SCAN_PATIENCE
    while True:
        start = time.monotonic()
        found = _copy_list(lib, handle)
        now = time.monotonic()
        if now - start < _FIRST_SCAN_WAIT or now >= end:
            return found


# One discovery handle serves every list_ports() call, so later calls are
# quick and DAQs probed once (and maybe opened since) are not probed again.
# It is disposed when the interpreter exits.
_shared = None
_scanned = False  # a list of _shared has seen its first scan end
_shared_lock = threading.Lock()


def list_ports():
    """The DAQs attached now, as Port records in port-name order. The first
    call starts discovery and waits for its first scan (10 s at most)."""
    global _shared, _scanned
    lib = library()
    with _shared_lock:
        if _shared is None:
            _shared = _Handle(lib, "port discovery has stopped: the interpreter is exiting")
            _scanned = False
            atexit.register(_shared.dispose)
        with _shared.use() as handle:
            if _scanned:
                return _copy_list(lib, handle)
            found = _first_list(lib, handle)
            _scanned = True
            return found


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
