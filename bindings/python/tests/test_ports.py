"""Port discovery's ownership rules, over a counting stand-in for the ports
C functions (end to end with simulated DAQs once the library has them)."""

import ctypes

import pytest

import kine
from kine import ports


class FakePorts:
    """The ports C functions' memory contract: every string and list is a
    separate allocation that the delete functions must free exactly once."""

    def __init__(self, listed, new=(), lost=()):
        self.listed, self.new, self.lost = list(listed), list(new), list(lost)
        self.live, self.freed, self.disposed = {}, [], 0

    def _alloc(self, obj):
        self.live[ctypes.addressof(obj)] = obj
        return ctypes.addressof(obj)

    def _free(self, address):
        assert address in self.live, "freed twice or never allocated"
        self.freed.append(self.live.pop(address))

    def _fill(self, slots, port):
        for i, text in enumerate(port):
            slots[i] = self._alloc(ctypes.create_string_buffer(text.encode()))

    def callKinePorts_Create(self):
        return 1

    def callKinePorts_Dispose(self, h):
        self.disposed += 1

    def callListPorts(self, h):
        array = (ctypes.c_void_p * (3 * len(self.listed)))()
        for k, port in enumerate(self.listed):
            self._fill((ctypes.c_void_p * 3).from_address(ctypes.addressof(array) + 24 * k), port)
        return self._alloc(array)

    def callGetLastSize(self, h):
        return len(self.listed)

    def callDeletePORTLIST(self, list_address, n):
        array = list_address._obj.value
        for slot in (ctypes.c_void_p * (3 * n)).from_address(array):
            self._free(slot)
        self._free(array)

    def callIsNewPort(self, h):
        return bool(self.new)

    def callIsLostPort(self, h):
        return bool(self.lost)

    def callGetNewPort(self, h, slots):
        self._fill(slots, self.new.pop(0))

    def callGetLostPort(self, h, slots):
        self._fill(slots, self.lost.pop(0))

    def callDeleteKPORT(self, slots):
        for slot in slots:
            if slot:
                self._free(slot)


A = ("/dev/ttyACM0", "34 v0.9", "A1B2")
B = ("/dev/ttyACM1", "68 v1.1", "")


@pytest.fixture
def fake(monkeypatch):
    def use(*args, **kw):
        lib = FakePorts(*args, **kw)
        monkeypatch.setattr(ports, "library", lambda: lib)
        monkeypatch.setattr(ports, "_shared", None)
        return lib
    return use


def test_list_is_copied_and_released_once_even_when_copying_fails(fake, monkeypatch):
    lib = fake([A, B])
    assert kine.list_ports() == [kine.Port(*A), kine.Port(*B)]
    assert not lib.live and len(lib.freed) == 7
    monkeypatch.setattr(ports, "_text", lambda address: 1 / 0)
    with pytest.raises(ZeroDivisionError):
        kine.list_ports()
    assert not lib.live


def test_monitor_orders_events_and_releases_every_triple(fake, monkeypatch):
    lib = fake([], new=[A, B])
    with kine.PortMonitor(poll=0.001) as monitor:
        assert [e.kind for e in monitor.events(timeout=0.05)] == [kine.PLUGGED] * 2
        lib.lost, lib.new = [A], [A]  # unplugged and plugged again within one poll
        assert [(e.kind, e.port.portName) for e in monitor.events(timeout=0.05)] == [
            (kine.UNPLUGGED, A[0]), (kine.PLUGGED, A[0])]
        assert monitor.get(timeout=0.01) is None
        lib.new = [B]
        monkeypatch.setattr(ports, "_text", lambda address: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            monitor.get(timeout=0.01)
    assert not lib.live and lib.disposed == 1
