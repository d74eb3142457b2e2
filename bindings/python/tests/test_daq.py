# SPDX-License-Identifier: MIT
"""The Daq class end to end against simulated DAQs."""

import gc
import itertools
import os
import signal
import threading
import time
import warnings

import numpy as np
import pytest

import kine
from conftest import wait_for


def frames_in_order(aux):
    """The aux ramp of the default signal rises a little with every frame."""
    steps = [b - a for a, b in zip(aux, aux[1:])]
    return all(0 < step < 100 for step in steps)


@pytest.mark.parametrize("version,sensors", [(3, 1), (7, 4)])
def test_three_axis_stream_read_and_array(sim, version, sensors):
    s = sim(version)
    port = kine.Port(s.path, s.text, "") if version == 7 else None  # a record from discovery
    with (kine.Daq(port) if port else kine.Daq(s.path, s.text)) as daq:
        assert (daq.version, daq.sensor_count, daq.port_name) == (version, sensors, s.path)
        got = list(itertools.islice(daq.stream(), 20 * sensors))
        assert [x.sensor for x in got] == list(range(sensors)) * 20
        assert {x.version for x in got} == {version}
        assert frames_in_order([x.aux for x in got if x.sensor == sensors - 1])
        newest = wait_for(lambda: daq.read(sensors - 1))
        assert newest.sensor == sensors - 1 and newest.version == version

        array = daq.read_array(30)  # rows beyond 30 stay for the next read
        assert array.shape == ((30,) if sensors == 1 else (30, sensors))
        assert (array["version"] == version).all()
        after = wait_for(daq.read_all)
        last = array["aux"][-1] if sensors == 1 else array["aux"][-1, 0]
        assert frames_in_order([last] + [x.aux for x in after if x.sensor == 0])
        assert (np.diff(array["aux"], axis=0) > 0).all()


@pytest.mark.parametrize("version", [5, 8])
def test_six_axis_unit(sim, version):
    s = sim(version, "--signal", "constant", "--amplitude", "300")
    with kine.Daq(s.path, s.text) as daq:
        got = list(itertools.islice(daq.stream(), 10))
        assert all(isinstance(x, kine.Sample6D) and len(x.sensors) == 4 for x in got)
        assert {x.sensors[3].version for x in got} == {version}
        assert wait_for(daq.read_6d).Fz == 300
        array = daq.read_array(5)
        assert array.shape == (5,) and (array["Fz"] == 300).all()
        assert (array["sensors"]["version"] == version).all()
        with pytest.raises(kine.WrongReadError):
            daq.read()
        daq.zero()
        assert wait_for(daq.read_6d).Fz == 0
        daq.unzero()
        assert wait_for(daq.read_6d).Fz == 300


@pytest.mark.parametrize("version", [3, 7])
def test_configuration_and_zeroing(sim, version):
    s = sim(version, "--signal", "constant", "--amplitude", "400")
    with kine.Daq(s.path, s.text) as daq:
        config = daq.set_config(speed=333, filter=15)
        assert (config.speed, config.filter) == (333, 15) and daq.config == config
        assert daq.set_config(speed=1000).filter == 15  # what is not given stays
        for bad in ({"speed": 500}, {"filter": 7}, {"mode": "fast"}, {"mode": 2}):
            with pytest.raises(ValueError):
                daq.set_config(**bad)
        if version == 7:  # the 0xAA family takes no mode: said, not ignored
            with pytest.raises(kine.ConfigError):
                daq.set_config(mode="compensated")

        assert wait_for(daq.read).z != 0
        # zero() stores a zero offset when its own read finds no sample yet
        # (the library does not report it); take the first one that caught one.
        wait_for(lambda: daq.zero(0) or daq.offset(0).z)
        wait_for(daq.read)
        assert wait_for(daq.read).z == 0
        assert daq.offset(0).z == daq.offsets[0].z != 0
        daq.unzero()
        assert wait_for(daq.read).z != 0 and daq.offset(0).z == 0
        with pytest.raises(kine.NoSuchSensorError):
            daq.zero(5)
        if version == 3:
            with pytest.raises(kine.NoSuchSensorError):
                daq.read_6axis()
        else:
            assert wait_for(daq.read_6axis)._fields == ("Fx", "Fy", "Fz", "Tx", "Ty", "Tz")
            assert len(wait_for(daq.read_all_6axis)[0]) == 6


def test_open_failures(sim):
    with pytest.raises(kine.OpenError) as e:
        kine.Daq("/dev/kine-absent", "34 v0.9")
    assert e.value.reason == kine.OpenReason.NO_DEVICE and "kine-absent" in str(e.value)
    with pytest.raises(kine.OpenError) as e:
        kine.Daq("/dev/" + "x" * 30, "34 v0.9")
    assert e.value.reason == kine.OpenReason.INVALID_ARGUMENT
    with pytest.raises(kine.OpenError):
        kine.Daq(sim(3, "--stopped").path, "68 v1.1")  # silent: no frame arrives
    with pytest.raises(TypeError):
        kine.Daq("/dev/ttyACM0")


def test_reason_from_library_goes_into_the_error(sim, monkeypatch):
    lib = kine.library()
    monkeypatch.setattr(lib, "callGetLastOpenError", lambda h: 3, raising=False)
    monkeypatch.setattr(lib, "callGetLastOpenErrno", lambda h: 11, raising=False)
    monkeypatch.setattr(lib, "callOpenErrorText", lambda code: b"held by another program",
                        raising=False)
    with pytest.raises(kine.OpenError) as e:
        kine.Daq(sim(3, "--stopped").path, "68 v1.1")
    assert (e.value.reason, e.value.errno) == (kine.OpenReason.BUSY, 11)
    assert "held by another program" in str(e.value) and os.strerror(11) in str(e.value)


def test_closed_and_lost_connections(sim):
    s = sim(3)
    daq = kine.Daq(s.path, s.text)
    with daq:
        wait_for(daq.read)
        s.stop()  # the DAQ goes away: reads raise once the reader notices
        wait_for(lambda: not daq.is_open)
        with pytest.raises(kine.NotOpenError):
            daq.read_all()
        daq.close()
        for call in (daq.read, daq.read_all, daq.zero, daq.set_config, lambda: daq.config):
            with pytest.raises(kine.NotOpenError):
                call()
    with pytest.raises(kine.NotOpenError):
        daq.version  # disposed by the with block


@pytest.mark.parametrize("version", [7, 5, 8])
def test_overflow_is_a_warning(sim, version):
    """Also on a six-axis unit, whose three-axis reads return the same -1."""
    s = sim(version)
    with kine.Daq(s.path, s.text) as daq:
        daq.set_config(speed=1000)
        read = daq.read_all_6d if version in (5, 8) else daq.read_all

        def overflowed():
            time.sleep(2.0)  # the reader's buffer holds 100,000 bytes: 0.9 to 1.8 s of data
            with warnings.catch_warnings(record=True) as caught:
                warnings.simplefilter("always")
                read()
            return any(issubclass(w.category, kine.OverflowWarning) for w in caught)
        wait_for(overflowed, 30)
        with warnings.catch_warnings():  # the read right after may still report it
            warnings.simplefilter("ignore", kine.OverflowWarning)
            assert wait_for(read)  # and reading goes on


def test_a_long_link_opens(sim, tmp_path):
    """A /dev/serial/by-id/... name is longer than a port record: the
    library follows it to the device node."""
    s = sim(3)
    link = tmp_path / "usb-Kine_DAQ_SIM00001-if00-port0"
    link.symlink_to(s.path)
    with kine.Daq(link, s.text) as daq:
        assert wait_for(daq.read)


def test_read_all_arrays_are_released_exactly_once(sim, monkeypatch):
    lib = kine.library()
    live, released = set(), []
    read_all, delete = lib.callReadAll, lib.callDeletePackageArray

    def counting_read_all(h, holder, keep):
        r = read_all(h, holder, keep)
        live.clear()
        live.update({holder._obj.value} - {None})
        return r

    def counting_delete(holder):
        released.append(holder._obj.value)
        delete(holder)

    monkeypatch.setattr(lib, "callReadAll", counting_read_all)
    monkeypatch.setattr(lib, "callDeletePackageArray", counting_delete)
    s = sim(7)
    daq = kine.Daq(s.path, s.text)
    wait_for(daq.read_all)
    with monkeypatch.context() as m:  # Python fails while decoding: the array stays owned
        m.setattr(kine.records, "samples", lambda *a: 1 / 0)
        with pytest.raises(ZeroDivisionError):
            wait_for(daq.read_all)
    assert live and not released
    final = set(live)
    daq.close()
    daq.close()
    assert released == list(final)
    daq.open()
    wait_for(daq.read_all)
    final = set(live)
    del daq
    gc.collect()  # the finalizer releases what close() did not
    assert released[1:] == list(final)


def test_waiting_reads_and_dispose_while_waiting(sim):
    s = sim(3)
    with kine.Daq(s.path, s.text) as daq:
        assert daq.wait_read(timeout=10).version == 3
        batch = daq.wait_read_all(10)
        assert batch and {x.version for x in batch} == {3}
        with pytest.raises(kine.WrongReadError):
            daq.wait_read_6d(1)
        with pytest.raises(ValueError):
            daq.wait_read(-1)

        os.kill(s.proc.pid, signal.SIGSTOP)  # the DAQ falls silent
        try:
            ended = []

            def waiter():
                try:
                    while True:
                        daq.wait_read_all()
                except kine.NotOpenError as e:
                    ended.append(e)

            t = threading.Thread(target=waiter)
            t.start()
            time.sleep(0.05)
            daq.dispose()  # ends the wait, then frees the connection
            t.join(10)
            assert not t.is_alive() and ended
        finally:
            os.kill(s.proc.pid, signal.SIGCONT)
