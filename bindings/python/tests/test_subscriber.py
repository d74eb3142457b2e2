# SPDX-License-Identifier: MIT
"""kine.Subscriber: the wire format decoded in Python, and a stream from kine publish."""

import os
import re
import struct
import subprocess
import sys
import warnings

import pytest

import kine
from kine.subscriber import Batch, Metadata, decode

zmq = pytest.importorskip("zmq")


def metadata_body(topic=b"A1B2", version=7, sensors=4, flags=0, width=16, next_sample=5):
    body = b"KINE" + struct.pack("<HBB", 1, 1, 0)
    body += struct.pack("<IBBBBHHQQ", 99, version, sensors, flags, 0xB0, 1000, width, next_sample, 0)
    for text in (topic, b"34 v0.9", topic, b"/dev/ttyACM0"):
        body += bytes([len(text)]) + text
    return body


def data_body(first, rows, session=99, width=None):
    body = b"KINE" + struct.pack("<HBB", 1, 2, 0)
    body += struct.pack("<IIQqqQHH", session, len(rows), first, 1, 2, 0, width or len(rows[0]), 0)
    for row in rows:
        body += struct.pack("<%di" % len(row), *row)
    return body


@pytest.mark.parametrize("numpy", [True, False])
def test_decodes_the_documented_layout(numpy):
    m = decode(metadata_body())
    assert isinstance(m, Metadata)
    assert (m.protocol_version, m.sensors, m.six_axis, m.rate_hz, m.topic, m.port) == \
        (7, 4, False, 1000, "A1B2", "/dev/ttyACM0")
    assert kine.subscriber.columns(m)[:5] == ["s0_x", "s0_y", "s0_z", "s0_aux", "s1_x"]
    rows = [tuple(range(-8, 8)), tuple(range(100, 116))]
    b = decode(data_body(5, rows), numpy=numpy)
    assert isinstance(b, Batch)
    assert (b.first, b.count, b.width) == (5, 2, 16)
    assert [tuple(int(v) for v in r) for r in b.values] == rows


@pytest.mark.parametrize("body, reason", [
    (b"KIN", "shorter than the 8-byte header"),
    (b"KINX" + bytes(60), 'does not start with "KINE"'),
    (metadata_body()[:4] + b"\x02" + metadata_body()[5:], "wire format version 2"),
    (metadata_body(version=9), "protocol version 9"),
    (metadata_body(width=4), "values per sample"),
    (metadata_body()[:-1], "runs past the end"),
    (data_body(0, [tuple(range(16))])[:-1], "bytes of values"),
    (data_body(0, [tuple(range(16))], width=17)[:60], "17 values per sample"),
])
def test_rejects_malformed_messages_with_a_reason(body, reason):
    with pytest.raises(kine.WireFormatError, match=reason):
        decode(body)


def test_subscriber_skips_malformed_messages_and_reports_gaps():
    context = zmq.Context()
    pub = context.socket(zmq.PUB)
    port = pub.bind_to_random_port("tcp://127.0.0.1")
    with kine.Subscriber("tcp://127.0.0.1:%d" % port, context=context) as sub:
        row = tuple(range(16))
        with warnings.catch_warnings(record=True) as caught:
            warnings.simplefilter("always")
            got = []
            for _ in range(200):  # until the subscription has reached the publisher
                pub.send_multipart([b"A1B2", metadata_body()])
                pub.send_multipart([b"A1B2", b"garbage"])
                pub.send_multipart([b"A1B2", data_body(5, [row])])
                pub.send_multipart([b"A1B2", data_body(8, [row, row])])
                got = list(sub.batches(seconds=0.05))
                if got:
                    break
        assert [(b.first, b.missed) for b in got[:2]] == [(5, 0), (8, 2)]
        assert sub.missed >= 2 and sub.rejected >= 1
        kinds = {w.category for w in caught}
        assert kine.WireFormatWarning in kinds and kine.SampleLossWarning in kinds
    pub.close()
    context.term()


def test_receives_the_stream_of_kine_publish(sim):
    daq = sim(3, "--signal", "constant", "--amplitude", "500")
    pub = subprocess.Popen([os.environ["KINE_TOOL"], "publish", daq.path, "--bind", "tcp://127.0.0.1:*"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = pub.stdout.readline().split()[-1]
        assert url.startswith("tcp://127.0.0.1:"), url + pub.stderr.read()
        numbers = []
        with kine.Subscriber(url) as sub:
            for s in sub.samples(seconds=20):
                assert s.topic == daq.path and s.values[0] == 500
                numbers.append(s.number)
                if len(numbers) == 300:
                    break
        assert numbers == list(range(numbers[0], numbers[0] + 300))
        assert sub.metadata[daq.path].protocol_version == 3
    finally:
        pub.terminate()
        pub.wait(timeout=30)


def test_readme_example_runs_against_kine_publish(sim):
    readme = open(os.path.join(os.environ["KINE_SOURCE_DIR"], "README.md")).read()
    example = re.search(r"## Beyond one computer.*?```python\n(.*?)```", readme, re.S).group(1)
    daq = sim(3)
    pub = subprocess.Popen([os.environ["KINE_TOOL"], "publish", daq.path, "--bind", "tcp://127.0.0.1:*"],
                           stdout=subprocess.PIPE, stderr=subprocess.PIPE, text=True)
    try:
        url = pub.stdout.readline().split()[-1]
        done = subprocess.run([sys.executable, "-c", example.replace("tcp://lab-pc:5556", url)],
                              capture_output=True, text=True, timeout=60)
        lines = done.stdout.splitlines()
        assert done.returncode == 0, done.stderr
        assert len(lines) > 500 and lines[0].startswith(daq.path + " "), done.stdout[:200]
    finally:
        pub.terminate()
        pub.wait(timeout=30)
