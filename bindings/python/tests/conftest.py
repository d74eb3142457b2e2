# SPDX-License-Identifier: MIT
"""Simulated DAQs for the tests: the kine-sim tool run as a subprocess."""

import os
import signal
import subprocess
import time

import pytest

TEXTS = {3: "68 v1.1", 4: "94 v0.9", 5: "95 v1.0", 6: "31 v0.9", 7: "34 v0.9", 8: "64 v0.9"}


class Sim:
    def __init__(self, version, *options):
        self.version = version
        self.text = TEXTS[version]
        self.proc = subprocess.Popen([os.environ["KINE_SIM"], "--version", str(version), *options],
                                     stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, text=True)
        self.path = self.proc.stdout.readline().strip()
        assert self.path.startswith("/dev/"), f"kine-sim printed {self.path!r}"

    def stop(self):
        if self.proc.poll() is None:
            self.proc.send_signal(signal.SIGTERM)
            assert self.proc.wait(timeout=30) == 0


@pytest.fixture
def sim():
    """sim(version, *kine-sim options) starts a simulated DAQ, stopped at the end."""
    started = []

    def start(version, *options):
        started.append(Sim(version, *options))
        return started[-1]

    yield start
    for s in started:
        s.stop()


def wait_for(condition, seconds=10.0):
    end = time.monotonic() + seconds
    while time.monotonic() < end:
        value = condition()
        if value:
            return value
        time.sleep(0.005)
    raise AssertionError("condition not met within %s s" % seconds)
