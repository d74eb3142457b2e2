# SPDX-License-Identifier: MIT
"""kine.Calibration over libkine's calibration functions."""

import json
import os

import pytest

import kine

SAMPLE = os.path.join(os.environ.get("KINE_SOURCE_DIR", os.path.join(os.path.dirname(__file__), "..", "..", "..")),
                      "examples", "calibration", "SIM00001-sensor0.json")


def test_sample_file_maps_counts_to_newtons():
    cal = kine.Calibration(SAMPLE)
    assert (cal.daq_serial, cal.sensor, cal.inputs, cal.units) == ("SIM00001", 0, "force", ("N", "N", "N"))
    fx, fy, fz = cal.apply((800, -400, 2000))
    assert (fx, fy) == (10.0, -5.0)
    assert fz == pytest.approx(0.0004 * 800 + 0.0002 * 400 + 0.05 * 2000)
    with pytest.raises(kine.CalibrationError, match="maps force channels"):
        cal.apply(kine.ForceTorque(1, 2, 3, 4, 5, 6))


def test_bad_file_names_the_field(tmp_path):
    doc = json.load(open(SAMPLE))
    doc["matrix"] = doc["matrix"][:2]
    bad = tmp_path / "bad.json"
    bad.write_text(json.dumps(doc))
    with pytest.raises(kine.CalibrationError, match=r'field "matrix": has 2 rows'):
        kine.Calibration(bad)
