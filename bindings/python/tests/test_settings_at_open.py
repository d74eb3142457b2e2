# SPDX-License-Identifier: MIT
"""Daq(..., speed=, filter=, mode=, zero=): settings and a tare at every open."""

import pytest

import kine
from conftest import wait_for


def test_settings_and_tare_hold_across_opens(sim):
    s = sim(7, "--signal", "constant", "--amplitude", "400")
    with kine.Daq(s.path, s.text, speed=1000, filter=15, zero=True) as daq:
        for _ in range(2):  # every open of an 0xAA-family DAQ sets 100 Hz: applied again
            assert (daq.config.speed, daq.config.filter) == (1000, 15)
            assert daq.offset(0).z != 0
            assert wait_for(daq.read).z == 0
            daq.close()
            daq.open()


def test_settings_not_taken_raise_and_close(sim):
    s = sim(7, "--refuse-config")
    with pytest.raises(kine.ConfigError):
        kine.Daq(s.path, s.text, speed=333)
