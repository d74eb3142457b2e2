# SPDX-License-Identifier: MIT
"""Port discovery: the prototypes against the C header, ownership rules over
a counting stand-in for the ports C functions, and end to end with simulated
DAQs in a fake /dev and sysfs tree, through the test build of the library
(which exports the seam that points discovery at such a tree)."""

import ctypes
import os
import re
import shutil
import subprocess
import sys
import tempfile

import pytest

import kine
from conftest import wait_for
from kine import _lib, ports

SOURCE = os.environ["KINE_SOURCE_DIR"]
TESTLIB = os.path.join(os.environ["KINE_BUILD_DIR"], "testlib", "libkine.so.0")


def c_type(decl, is_result=False):
    """The ctypes type the package uses for a C declaration: handles, records
    and arrays as addresses, a pointer's address as POINTER(c_void_p)."""
    stars = decl.count("*") + decl.count("[")
    base = [w for w in re.findall(r"\w+", decl) if w not in ("const", "struct")][0]
    if stars == 0:
        return {"void": None, "bool": ctypes.c_bool, "int": ctypes.c_int,
                "unsigned": ctypes.c_ubyte}[base]
    if base == "char" and stars == 1:
        return ctypes.c_char_p
    return ctypes.c_void_p if stars == 1 or is_result else ctypes.POINTER(ctypes.c_void_p)


def test_prototypes_match_the_c_header():
    header = open(os.path.join(SOURCE, "include", "kine", "kine_c.h")).read()
    declared = {name: (result, args) for result, name, args in
                re.findall(r"KINE_API\s+([\w\s*]+?)\s*(\w+)\(([^)]*)\);", header)}
    # The reasons of a failed open come with a later library; the rest is declared.
    assert set(_lib.PROTOTYPES) - set(declared) <= {
        "callGetLastOpenError", "callGetLastOpenErrno", "callOpenErrorText"}
    for name, (result, args) in _lib.PROTOTYPES.items():
        if name in declared:
            c_result, c_args = declared[name]
            params = [] if c_args.strip() == "void" else c_args.split(",")
            assert (result, args) == (c_type(c_result, True), [c_type(a) for a in params]), name


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

    def callIsSettled(self, h):
        return True

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


# --- end to end: simulated DAQs in a fake /dev and sysfs tree -------------

# Version, kine-sim options and the port record discovery reports, for one
# DAQ of each family; the 0xAA one streams slowly so that its identity reply
# is not drowned in data.
DAQS = {"ttyACM0": (3, [], "68 v1.1", ""),
        "ttyACM1": (7, ["--speed", "30", "--serial", "A1B2"], "34 v0.9", "A1B2")}


@pytest.fixture
def tree(monkeypatch):
    """A fake /dev folder and sysfs tree, as the C++ discovery tests build
    them, in two short /tmp folders (port names must fit 24 characters), and
    the test build of the library pointed at it; list_ports starts anew."""
    lib = _lib.CLibrary(ctypes.CDLL(TESTLIB), TESTLIB)
    monkeypatch.setattr(_lib, "_loaded", lib)
    monkeypatch.setattr(ports, "_shared", None)
    roots = [tempfile.mkdtemp(prefix=p, dir="/tmp") for p in ("kd", "ks")]
    lib._cdll.kine_ports_set_roots(*(r.encode() for r in roots))
    yield roots
    lib._cdll.kine_ports_set_roots(None, None)
    for r in roots:
        shutil.rmtree(r)


def plug(sim, tree, name):
    """A simulated DAQ on the USB serial device <dev>/<name>: the sysfs
    folders enumeration reads its ids from, and kine-sim's link."""
    dev, sys_root = tree
    usb = f"{sys_root}/devices/usb1/1-{name}"
    os.makedirs(f"{usb}/1-{name}:1.0", exist_ok=True)
    for field, text in (("idVendor", "0403"), ("idProduct", "6001"), ("serial", "FT1")):
        with open(f"{usb}/{field}", "w") as f:
            f.write(text + "\n")
    if not os.path.exists(f"{sys_root}/class/tty/{name}"):
        os.makedirs(f"{sys_root}/class/tty/{name}")
        os.symlink(f"{usb}/1-{name}:1.0", f"{sys_root}/class/tty/{name}/device")
    version, options, text, serial = DAQS[name]
    path = f"{dev}/{name}"
    return sim(version, "--link", path, *options), kine.Port(path, text, serial)


class Ledger:
    """Wraps the ports C functions of `lib` to pair every handle, list and
    string they allocate with its release: `live` holds what is not yet
    released; a second release, or a list released with another n, fails."""

    def __init__(self, lib, monkeypatch):
        self.live, self.last_list = {}, None

        def wrap(name):
            def wrapper(fn):
                real = getattr(lib, name)
                monkeypatch.setattr(lib, name, lambda *args: fn(real, *args))
            return wrapper

        @wrap("callKinePorts_Create")
        def create(real):
            return self.take(real(), "handle")

        @wrap("callKinePorts_Dispose")
        def dispose(real, h):
            real(self.give(h, "handle"))

        @wrap("callListPorts")
        def list_ports(real, h):
            self.last_list = self.take(real(h), "list")
            return self.last_list

        @wrap("callGetLastSize")
        def last_size(real, h):
            n = real(h)
            self.live[self.last_list] = ("list", n)
            return n

        @wrap("callDeletePORTLIST")
        def delete_list(real, pointer, n):
            real(pointer, self.give(pointer._obj.value, ("list", n)) and n)

        for name in ("callGetNewPort", "callGetLostPort"):
            @wrap(name)
            def take_port(real, h, slots):
                real(h, slots)
                for address in slots:
                    self.take(address, "text")

        @wrap("callDeleteKPORT")
        def delete_port(real, slots):
            for address in slots:
                if address:
                    self.give(address, "text")
            real(slots)

    def take(self, address, kind):
        assert address and address not in self.live
        self.live[address] = kind
        return address

    def give(self, address, kind):
        assert self.live.pop(address, None) == kind, f"{kind} released twice or never allocated"
        return address


def test_list_and_monitor_with_simulated_daqs(tree, sim, monkeypatch):
    ledger = Ledger(_lib.library(), monkeypatch)
    with kine.PortMonitor() as monitor:
        assert monitor.get(timeout=0.3) is None and kine.list_ports() == []
        first, port0 = plug(sim, tree, "ttyACM0")
        assert monitor.get(timeout=30) == kine.PortEvent(kine.PLUGGED, port0)
        second, port1 = plug(sim, tree, "ttyACM1")
        assert monitor.get(timeout=30) == kine.PortEvent(kine.PLUGGED, port1)
        # list_ports' own monitor probes the DAQ too, maybe later.
        wait_for(lambda: kine.list_ports() == [port0, port1], 30)
        first.stop()  # removes the link: the DAQ is unplugged
        assert monitor.get(timeout=30) == kine.PortEvent(kine.UNPLUGGED, port0)
        assert monitor.get(timeout=0.3) is None

        # Python code raising between the C side's allocation and its release.
        monkeypatch.setattr(ports, "_text", lambda address: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            kine.list_ports()
        second.stop()
        with pytest.raises(ZeroDivisionError):
            monitor.get(timeout=30)
    ports._shared.dispose()
    assert ledger.live == {}


def test_short_script_lists_both_families_and_leaves_no_thread(tree, sim):
    """The README's discovery example, run as a script of its own."""
    readme = open(os.path.join(SOURCE, "README.md")).read()
    python = readme[readme.index("## Python"):]
    example = next(b for b in re.findall(r"```python\n(.*?)```", python, re.S) if "list_ports" in b)
    assert len(example.strip().splitlines()) <= 5
    prelude = f"""
import atexit, ctypes, os
atexit.register(lambda: print("threads at exit", len(os.listdir("/proc/self/task"))))
import kine._lib
kine._lib._loaded = kine._lib.CLibrary(ctypes.CDLL({TESTLIB!r}), {TESTLIB!r})
kine._lib._loaded._cdll.kine_ports_set_roots({tree[0]!r}.encode(), {tree[1]!r}.encode())
"""
    # A probe that times out on a loaded machine is retried only 1.25 s later,
    # too late for a first list: up to three tries, each with new DAQs (a
    # probed 0xAA-family DAQ streams faster and is probed quicker next time).
    for attempt in range(3):
        daqs = [plug(sim, tree, name) for name in DAQS]
        done = subprocess.run([sys.executable, "-c", prelude + example], capture_output=True,
                              text=True, timeout=120)
        assert done.returncode == 0, done.stderr
        *listed, threads = done.stdout.splitlines()
        assert threads == "threads at exit 1"
        if listed == [" ".join(port) for _, port in daqs]:
            break
        for daq, _ in daqs:
            daq.stop()
    else:
        pytest.fail(f"the DAQs were not listed: {listed}")


def test_shared_handle_keeps_no_events(tree, sim):
    """list_ports' own discovery handle: nobody takes its plug events, so
    each call discards them instead of letting them pile up."""
    lib = _lib.library()
    assert kine.list_ports() == []
    for _ in range(3):
        daq, port = plug(sim, tree, "ttyACM0")
        assert wait_for(lambda: kine.list_ports() == [port], 30)
        daq.stop()
        assert wait_for(lambda: kine.list_ports() == [], 30)
    with ports._shared.use() as handle:
        assert not lib.callIsNewPort(handle) and not lib.callIsLostPort(handle)
    ports._shared.dispose()


def test_probe_ports_from_the_environment_and_port_status(tree, sim, monkeypatch):
    """KINE_PROBE_PORTS makes a simulator's pseudo-terminal a candidate;
    port_status says what discovery made of every port."""
    daq = sim(3)
    monkeypatch.setenv("KINE_PROBE_PORTS", daq.path)
    with open(os.path.join(tree[0], "ttyS0"), "w"):
        pass  # a node that is no USB device (and no terminal)
    assert kine.list_ports() == [kine.Port(daq.path, "68 v1.1", "")]
    status = {s.port: s for s in kine.port_status()}
    assert status[daq.path].state == "DAQ" and status[daq.path].deviceVersion == "68 v1.1"
    assert status[os.path.join(tree[0], "ttyS0")].state == "not USB"
    ports._shared.dispose()
