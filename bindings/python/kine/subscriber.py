# SPDX-License-Identifier: MIT
"""Receiving the DAQ streams of `kine publish` over ZeroMQ (needs python3-zmq).

    import kine
    with kine.Subscriber("tcp://lab-pc:5556") as sub:
        for s in sub.samples(seconds=10):
            print(s.topic, s.number, s.values)

Pure Python: it decodes the documented wire format (docs/wire-format.md)
and needs neither libkine nor a DAQ. `batches()` yields whole messages,
their values as a NumPy array of shape (count, width) when NumPy is there.
Samples lost between publisher and subscriber show as gaps in the sample
numbers: counted in `missed`, announced with a SampleLossWarning. Malformed
messages are skipped with a WireFormatWarning and counted in `rejected`;
decode() raises WireFormatError for them.
"""

import collections
import struct
import time
import warnings

from .errors import KineError

FORMAT_VERSION = 1
_HEADER = struct.Struct("<4sHBB")
_METADATA = struct.Struct("<IBBBBHHQQ")
_DATA = struct.Struct("<IIQqqQHH")
_MAX_TEXT = 64
_MAX_SAMPLES = 100000
_MAX_WIDTH = 16


class WireFormatError(KineError, ValueError):
    """A message that is not in kine's wire format."""


class WireFormatWarning(RuntimeWarning):
    """A malformed message was skipped."""


class SampleLossWarning(RuntimeWarning):
    """Samples were lost before the batch that follows."""


Metadata = collections.namedtuple("Metadata", [
    "session", "protocol_version", "sensors", "six_axis", "config", "rate_hz", "width",
    "next_sample", "overflows", "topic", "device_version", "serial", "port"])


def columns(metadata):
    """Names of the values of a sample, as `kine stream` names its columns."""
    if metadata.six_axis:
        return ["Fx", "Fy", "Fz", "Tx", "Ty", "Tz"]
    names = ["x", "y", "z", "aux"]
    if metadata.sensors == 1:
        return names
    return ["s%d_%s" % (k, n) for k in range(metadata.sensors) for n in names]


Batch = collections.namedtuple("Batch", [
    "topic", "first", "count", "monotonic_ns", "wall_ns", "overflows", "width", "values",
    "missed", "metadata", "session"])
Batch.__doc__ = """One data message: `count` samples numbered from `first`, read at one host
time. `values` is a NumPy int32 array (count, width) when NumPy is there,
else a list of tuples. `missed`: samples lost just before it."""

Sample = collections.namedtuple("RemoteSample", ["topic", "number", "monotonic_ns", "wall_ns", "values"])


def _texts(body, at):
    texts = []
    for _ in range(4):
        if at >= len(body):
            raise WireFormatError("metadata text runs past the end")
        n = body[at]
        if n > _MAX_TEXT or at + 1 + n > len(body):
            raise WireFormatError("metadata text runs past the end or exceeds 64 bytes")
        texts.append(body[at + 1:at + 1 + n].decode("utf-8", "replace"))
        at += 1 + n
    if at != len(body):
        raise WireFormatError("metadata message has %d bytes after its end" % (len(body) - at))
    return texts


def decode(body, numpy=True):
    """Decodes one message body into Metadata or a Batch (topic None, missed 0)."""
    body = bytes(body)
    if len(body) < _HEADER.size:
        raise WireFormatError("message of %d bytes is shorter than the 8-byte header" % len(body))
    magic, version, kind, reserved = _HEADER.unpack_from(body)
    if magic != b"KINE":
        raise WireFormatError('message does not start with "KINE"')
    if version != FORMAT_VERSION:
        raise WireFormatError("message has wire format version %d; this decoder reads version %d"
                              % (version, FORMAT_VERSION))
    if reserved:
        raise WireFormatError("message has a nonzero reserved header byte")
    at = _HEADER.size
    if kind == 1:
        if len(body) < at + _METADATA.size:
            raise WireFormatError("metadata message shorter than its fixed part")
        (session, protocol, sensors, flags, config, rate, width, next_sample,
         overflows) = _METADATA.unpack_from(body, at)
        if not 3 <= protocol <= 8:
            raise WireFormatError("metadata names protocol version %d (3..8 exist)" % protocol)
        if not 1 <= sensors <= 4:
            raise WireFormatError("metadata names %d sensors (1..4)" % sensors)
        if flags > 1:
            raise WireFormatError("metadata has unknown flags")
        six = bool(flags & 1)
        if width != (6 if six else 4 * sensors):
            raise WireFormatError("metadata gives %d values per sample for its kind of DAQ" % width)
        topic, device_version, serial, port = _texts(body, at + _METADATA.size)
        return Metadata(session, protocol, sensors, six, config, rate, width, next_sample, overflows,
                        topic, device_version, serial, port)
    if kind == 2:
        if len(body) < at + _DATA.size:
            raise WireFormatError("data message shorter than its fixed part")
        (session, count, first, mono, wall, overflows, width, reserved) = _DATA.unpack_from(body, at)
        if reserved:
            raise WireFormatError("data message has a nonzero reserved field")
        if not 1 <= count <= _MAX_SAMPLES:
            raise WireFormatError("data message holds %d samples (1..%d)" % (count, _MAX_SAMPLES))
        if not 1 <= width <= _MAX_WIDTH:
            raise WireFormatError("data message has %d values per sample (1..16)" % width)
        start = at + _DATA.size
        if len(body) - start != 4 * count * width:
            raise WireFormatError("data message carries %d bytes of values; %d samples of %d values need %d"
                                  % (len(body) - start, count, width, 4 * count * width))
        values = _values(body[start:], count, width, numpy)
        return Batch(None, first, count, mono, wall, overflows, width, values, 0, None, session)
    raise WireFormatError("message of unknown kind %d" % kind)


def _values(raw, count, width, numpy):
    if numpy:
        try:
            import numpy as np
        except ImportError:
            pass
        else:
            return np.frombuffer(raw, dtype="<i4").astype(np.int32).reshape(count, width)
    flat = struct.unpack("<%di" % (count * width), raw)
    return [flat[i * width:(i + 1) * width] for i in range(count)]


class Subscriber:
    """Subscribes to `url` (tcp://host:5556) for one DAQ's topic, or all of them.

    Samples of a DAQ are delivered only after its metadata (in `metadata`,
    by topic); a publisher that restarts starts its sample numbers again.
    """

    def __init__(self, url, topic=None, context=None):
        import zmq  # python3-zmq
        self._zmq = zmq
        self._context = context or zmq.Context.instance()
        self._socket = self._context.socket(zmq.SUB)
        self._socket.setsockopt(zmq.LINGER, 0)
        self._topic = topic
        self._socket.setsockopt(zmq.SUBSCRIBE, (topic or "").encode())
        self._socket.connect(url)
        self.metadata = {}
        self._expected = {}
        self.missed = 0
        self.rejected = 0

    def close(self):
        self._socket.close()

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()

    def _next(self, deadline):
        """The next Batch or new Metadata, or None when the deadline passes."""
        while True:
            wait = None if deadline is None else max(0, int((deadline - time.monotonic()) * 1000))
            if not self._socket.poll(wait):
                return None
            frames = self._socket.recv_multipart()
            topic = frames[0].decode("utf-8", "replace")
            if self._topic is not None and topic != self._topic:
                continue
            try:
                if len(frames) != 2:
                    raise WireFormatError("message is not a topic and one body")
                message = decode(frames[1])
                if isinstance(message, Metadata) and message.topic != topic:
                    raise WireFormatError("metadata for %r arrived under another topic" % message.topic)
            except WireFormatError as e:
                self.rejected += 1
                warnings.warn("rejected a message on topic %s: %s" % (topic, e), WireFormatWarning, stacklevel=3)
                continue
            known = self.metadata.get(topic)
            if isinstance(message, Metadata):
                if known is None or known.session != message.session:
                    self._expected[topic] = message.next_sample
                self.metadata[topic] = message
                if known is None or known.session != message.session or known.width != message.width:
                    return message
                continue
            if known is None or known.session != message.session:
                continue  # its metadata has not come yet
            if message.first < self._expected[topic] or message.width != known.width:
                self.rejected += 1
                warnings.warn("rejected a message on topic %s: sample numbers went back or the layout changed"
                              % topic, WireFormatWarning, stacklevel=3)
                continue
            missed = message.first - self._expected[topic]
            self._expected[topic] = message.first + message.count
            if missed:
                self.missed += missed
                warnings.warn("%s: %d samples lost before sample %d" % (topic, missed, message.first),
                              SampleLossWarning, stacklevel=3)
            return message._replace(topic=topic, missed=missed, metadata=known)

    def batches(self, seconds=None):
        """Yields a Batch per message for `seconds` (None: without end)."""
        deadline = None if seconds is None else time.monotonic() + seconds
        while deadline is None or time.monotonic() < deadline:
            got = self._next(deadline)
            if isinstance(got, Batch):
                yield got

    def samples(self, seconds=None):
        """Yields one RemoteSample(topic, number, monotonic_ns, wall_ns, values) per sample."""
        for b in self.batches(seconds):
            for i, row in enumerate(b.values):
                yield Sample(b.topic, b.first + i, b.monotonic_ns, b.wall_ns, tuple(int(v) for v in row))

    __iter__ = samples
