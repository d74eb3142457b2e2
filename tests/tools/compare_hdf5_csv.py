# SPDX-License-Identifier: MIT
"""Checks that an HDF5 recording of kine stream holds what the CSV of the
same stream holds: the same samples, times and values, and the sidecar's
metadata as attributes. Usage: compare_hdf5_csv.py FILE.csv FILE.h5 DTYPE"""
import csv
import datetime
import json
import sys

import h5py
import numpy as np

csv_path, h5_path, dtype = sys.argv[1:4]
with open(csv_path, newline="") as f:
    rows = list(csv.reader(f))
header, rows = rows[0], rows[1:]
meta = json.load(open(csv_path + ".json"))

with h5py.File(h5_path, "r") as h5:
    values = h5["values"]
    assert values.dtype == np.dtype(dtype), values.dtype
    columns = header[3:-1]
    assert list(values.attrs["columns"]) == columns, list(values.attrs["columns"])
    assert list(values.attrs["units"]) == meta["units"]
    assert len(rows) > 100 and h5["sample"].shape == (len(rows),), (len(rows), h5["sample"].shape)
    assert values.shape == (len(rows), len(columns))

    table = np.array([[float(x) for x in r[3:-1]] for r in rows])
    np.testing.assert_allclose(values[:], table, rtol=1e-8, atol=0)
    assert list(h5["sample"][:]) == [int(r[2]) for r in rows]
    np.testing.assert_allclose(h5["host_monotonic_s"][:], [float(r[0]) for r in rows], atol=1e-6, rtol=0)
    np.testing.assert_allclose(h5["host_arrival_s"][:], [float(r[-1]) for r in rows], atol=1e-6, rtol=0)
    wall = [datetime.datetime.strptime(r[1], "%Y-%m-%dT%H:%M:%S.%fZ")
            .replace(tzinfo=datetime.timezone.utc).timestamp() for r in rows]
    np.testing.assert_allclose(h5["host_unix_s"][:], wall, atol=2e-6, rtol=0)

    # The sidecar's metadata, apart from the file it names.
    a = h5.attrs
    whole = json.loads(a["metadata_json"])
    assert whole["data_file"] == h5_path
    for key in meta:
        if key != "data_file":
            assert whole[key] == meta[key], key
    for key in ("port", "device_version", "layout", "start_time", "tool_version", "library_version"):
        assert a[key] == meta[key], key
    for key in ("protocol_version", "sensors"):
        assert int(a[key]) == meta[key], key
    for key, value in meta["config"].items():
        assert a["config." + key] == value, key
    assert json.loads(a["calibrations"]) == meta["calibrations"]
    assert int(a["samples_written"]) == len(rows) and int(a["samples_lost"]) == 0
print("same")
