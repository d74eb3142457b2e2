#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""The real-kernel tier: kine against Linux's own ftdi_sio driver.

Boots the distribution kernel under QEMU (TCG) with a small initramfs built
here (busybox, the USB host controller and USB-serial modules, the kine tool
and its shared libraries), plugs QEMU's emulated FT232 converters whose far
ends are kine-sim units on Unix sockets, and runs kine in the guest through a
small agent on a second serial line. Every check is made against what the
simulated DAQs received and sent.

Exit status: 0 all checks passed, 1 a check failed, 77 the packages are
missing (the tier is skipped; the install line is printed).
"""

import argparse
import base64
import glob
import gzip
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import tempfile
import threading
import time

SKIP = 77
INSTALL = "apt-get install -y --no-install-recommends qemu-system-x86 linux-image-amd64 busybox-static"
MODULES = ["xhci-pci", "ftdi_sio"]  # with their dependencies, from modules.dep
HERE = os.path.dirname(os.path.abspath(__file__))


failures = []
figures = {}


plug_times = []  # wall-clock times of the monitor's device_add


def plug(monitor):
    plug_times.append(time.time())
    monitor.command("device_add usb-serial,chardev=c37,id=d37,bus=xhci.0")


def log(text):
    print(text, flush=True)


def check(ok, what, detail=""):
    log(("  ok    " if ok else "  FAIL  ") + what + (f": {detail}" if detail and not ok else ""))
    if not ok:
        failures.append(what)
    return ok


# ---------------------------------------------------------------- the guest image

def find_prerequisites():
    missing = []
    qemu = shutil.which("qemu-system-x86_64")
    if not qemu:
        missing.append("qemu-system-x86_64 (qemu-system-x86)")
    kernels = sorted(glob.glob("/boot/vmlinuz-*"))
    kernel = None
    for k in reversed(kernels):
        version = os.path.basename(k)[len("vmlinuz-"):]
        if os.path.exists(f"/lib/modules/{version}/modules.dep") and os.access(k, os.R_OK):
            kernel = (k, version)
            break
    if kernel is None:
        missing.append("a readable /boot/vmlinuz-* with /lib/modules (linux-image-amd64)")
    busybox = None
    for candidate in ("/bin/busybox", "/usr/bin/busybox"):
        ldd = subprocess.run(["ldd", candidate], capture_output=True) if os.path.exists(candidate) else None
        if ldd and b"not a dynamic executable" in ldd.stdout + ldd.stderr:
            busybox = candidate
            break
    if busybox is None:
        missing.append("a static busybox (busybox-static)")
    return qemu, kernel, busybox, missing


def module_files(version):
    root = f"/lib/modules/{version}"
    deps = {}
    with open(f"{root}/modules.dep") as f:
        for line in f:
            path, _, rest = line.partition(":")
            deps[path] = rest.split()
    by_name = {re.sub(r"\.ko(\.\w+)?$", "", os.path.basename(p)).replace("_", "-"): p for p in deps}
    order = []

    def add(path):
        for d in deps[path]:
            add(d)
        if path not in order:
            order.append(path)

    for name in MODULES:
        add(by_name[name.replace("_", "-")])
    return root, order


def read_module(path):
    with open(path, "rb") as f:
        data = f.read()
    if path.endswith(".xz"):
        import lzma
        data = lzma.decompress(data)
    elif path.endswith(".zst"):
        data = subprocess.run(["zstd", "-dc", path], check=True, capture_output=True).stdout
    return data


def shared_libraries(binaries):
    libs = set()
    for b in binaries:
        out = subprocess.run(["ldd", b], capture_output=True, text=True).stdout
        for line in out.splitlines():
            m = re.search(r"(/\S+)", line.split("=>")[-1])
            if m and os.path.exists(m.group(1)):
                libs.add(m.group(1))
    return sorted(libs)


class Cpio:
    """A newc archive, written without the cpio program."""

    def __init__(self):
        self.parts = []
        self.ino = 1

    def _entry(self, name, mode, data=b"", target=None):
        body = target.encode() if target is not None else data
        header = "070701" + "".join(f"{v:08X}" for v in (
            self.ino, mode, 0, 0, 1, 0, len(body), 0, 0, 0, 0, len(name) + 1, 0))
        self.ino += 1
        self.parts.append(header.encode() + name.encode() + b"\0")
        self.parts.append(b"\0" * ((4 - (110 + len(name) + 1) % 4) % 4))
        self.parts.append(body)
        self.parts.append(b"\0" * ((4 - len(body) % 4) % 4))

    def dir(self, name):
        self._entry(name, stat.S_IFDIR | 0o755)

    def file(self, name, data, mode=0o755):
        self._entry(name, stat.S_IFREG | mode, data)

    def link(self, name, target):
        self._entry(name, stat.S_IFLNK | 0o777, target=target)

    def bytes(self):
        self._entry("TRAILER!!!", 0)
        return b"".join(self.parts)


def stripped(binary):
    """The binary without its debugging information: a smaller image boots faster."""
    with tempfile.TemporaryDirectory() as d:
        out = os.path.join(d, "stripped")
        if subprocess.run(["objcopy", "--strip-debug", binary, out], capture_output=True).returncode == 0:
            with open(out, "rb") as f:
                return f.read()
    with open(binary, "rb") as f:
        return f.read()


def build_initramfs(path, version, busybox, kine, library):
    archive = Cpio()
    made = set()

    def ensure_dirs(p):
        parts = p.strip("/").split("/")[:-1]
        for i in range(1, len(parts) + 1):
            d = "/".join(parts[:i])
            if d not in made:
                made.add(d)
                archive.dir(d)

    def put(name, data, mode=0o755):
        ensure_dirs(name)
        archive.file(name.strip("/"), data, mode)

    for d in ("bin", "dev", "proc", "sys", "tmp", "etc", "modules", "lib", "lib64", "usr", "usr/lib"):
        made.add(d)
        archive.dir(d)
    with open(busybox, "rb") as f:
        put("bin/busybox", f.read())
    archive.link("bin/sh", "busybox")
    for name, script in (("init", "guest_init.sh"), ("agent.sh", "guest_agent.sh")):
        with open(os.path.join(HERE, script), "rb") as f:
            put(name, f.read())
    put("etc/passwd", b"root:x:0:0:root:/:/bin/sh\nuser:x:1000:1000:user:/tmp:/bin/sh\n", 0o644)
    put("etc/group", b"root:x:0:\nuser:x:1000:\n", 0o644)

    root, modules = module_files(version)
    names = []
    for m in modules:
        name = re.sub(r"\.(xz|zst)$", "", os.path.basename(m))
        put("modules/" + name, read_module(os.path.join(root, m)), 0o644)
        names.append(name)
    put("modules/order", ("\n".join(names) + "\n").encode(), 0o644)

    put("bin/kine", stripped(kine))
    # The library the tool was built with, found first on the loader's path.
    put("lib/" + os.path.basename(os.path.realpath(library)), stripped(library))
    soname = subprocess.run(["objdump", "-p", library], capture_output=True, text=True).stdout
    m = re.search(r"SONAME\s+(\S+)", soname)
    if m and m.group(1) != os.path.basename(os.path.realpath(library)):
        archive.link("lib/" + m.group(1), os.path.basename(os.path.realpath(library)))
    for lib in shared_libraries([kine, library]):
        name = os.path.basename(lib)
        if name.startswith("libkine.so"):
            continue  # the library given, put above
        if name.startswith("libkine"):  # the project's other libraries (libkine_zmq), from the build tree
            put("lib/" + name, stripped(os.path.realpath(lib)))
            continue
        with open(os.path.realpath(lib), "rb") as f:
            put(lib, f.read())
    with open(path, "wb") as f:
        f.write(archive.bytes())


# ---------------------------------------------------------------- the host side

def connect_unix(path, deadline=20):
    """A connection to QEMU's socket at `path`, once QEMU has made it."""
    end = time.monotonic() + deadline
    while True:
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_STREAM)
        try:
            sock.connect(path)
            return sock
        except OSError:
            sock.close()
            if time.monotonic() > end:
                raise
            time.sleep(0.05)


class Line:
    """A byte stream from a QEMU socket chardev, split into timestamped lines."""

    def __init__(self, path):
        self.sock = connect_unix(path)
        self.lines = []
        self.cond = threading.Condition()
        self.partial = b""
        threading.Thread(target=self._read, daemon=True).start()

    def _read(self):
        while True:
            try:
                data = self.sock.recv(65536)
            except OSError:
                data = b""
            if not data:
                return
            now = time.monotonic()
            with self.cond:
                self.partial += data
                while b"\n" in self.partial:
                    line, self.partial = self.partial.split(b"\n", 1)
                    self.lines.append((now, line.decode(errors="replace").rstrip("\r")))
                self.cond.notify_all()

    def send(self, text):
        self.sock.sendall(text.encode())

    def wait(self, predicate, timeout, since=0.0):
        """The first line (time, text) that arrived at or after `since` and
        satisfies predicate."""
        end = time.monotonic() + timeout
        with self.cond:
            while True:
                for item in self.lines:
                    if item[0] >= since and predicate(item[1]):
                        return item
                left = end - time.monotonic()
                if left <= 0:
                    return None
                self.cond.wait(left)

    def after(self, t):
        with self.cond:
            return [text for (when, text) in self.lines if when >= t]


def rows_flow(csv):
    """A guest command that waits (up to 30 s) until a stream has written
    its header and a row to `csv`: it has opened the DAQ and reads it."""
    return (f"i=0; while [ $(cat {csv} 2>/dev/null | wc -l) -lt 2 ] && [ $i -lt 300 ]; do "
            "sleep 0.1; i=$((i+1)); done")


class Agent:
    def __init__(self, line):
        self.line = line
        self.next_id = 0

    def run(self, command, timeout=60):
        self.next_id += 1
        tag = f"@@ {self.next_id} "
        self.line.send(f"{self.next_id} {command}\n")
        got = self.line.wait(lambda t: t.startswith(tag), timeout)
        if got is None:
            raise RuntimeError(f"guest did not answer within {timeout} s: {command}")
        parts = got[1].split(" ", 3)
        status = int(parts[2])
        output = gzip.decompress(base64.b64decode(parts[3])).decode(errors="replace") if len(parts) > 3 else ""
        return status, output


class Monitor:
    """QEMU's human monitor on a Unix socket."""

    def __init__(self, path):
        self.sock = connect_unix(path)
        self._until_prompt()

    def _until_prompt(self):
        data = b""
        while not data.endswith(b"(qemu) "):
            chunk = self.sock.recv(4096)
            if not chunk:
                raise RuntimeError("QEMU monitor closed")
            data += chunk
        return data.decode(errors="replace")

    def command(self, text):
        self.sock.sendall(text.encode() + b"\n")
        return self._until_prompt()


class Sim:
    """A kine-sim unit on a Unix socket, recording what the host sends."""

    def __init__(self, binary, workdir, name, version, serial=None):
        self.name = name
        self.socket = os.path.join(workdir, name + ".sock")
        self.record = os.path.join(workdir, name + ".rx")
        self.errors = os.path.join(workdir, name + ".err")
        args = [binary, "--version", str(version), "--socket", self.socket, "--record", self.record,
                "--signal", "count"]
        if serial:
            args += ["--serial", serial]
        self.proc = subprocess.Popen(args, stdout=subprocess.PIPE, stderr=open(self.errors, "w"))
        self.proc.stdout.readline()  # the socket path: it listens now

    def received(self):
        with open(self.record, "rb") as f:
            return f.read()

    def config_bytes(self):
        with open(self.errors) as f:
            return [int(m, 16) for m in re.findall(r"configuration byte now 0x([0-9A-F]{2})", f.read())]

    def stop(self):
        self.proc.send_signal(signal.SIGTERM)
        try:
            self.proc.wait(5)
        except subprocess.TimeoutExpired:
            self.proc.kill()


def command_frames(data):
    """Splits what a host sent into command frames; None if any byte is not
    part of a well-formed one (echoed data, line noise)."""
    frames, i = [], 0
    while i < len(data):
        if data[i] == 0xAB:
            need = 6
        elif data[i] == 0xAA and i + 4 <= len(data):
            need = 6 + data[i + 3]
        else:
            return None
        frame = data[i:i + need]
        if len(frame) < need or (sum(frame[:-2]) & 0xFFFF) != (frame[-2] << 8 | frame[-1]):
            return None
        frames.append(frame)
        i += need
    return frames


def csv_rows(text):
    lines = [l for l in text.splitlines() if l and l[0].isdigit()]
    return [l.split(",") for l in lines]


def counts_consecutive(rows, columns, first_value_column=3):
    """Every sample carries the frame count plus the channel offsets, and each
    follows the one before: returns (samples, problems)."""
    problems = []
    previous = None
    for row in rows:
        values = [int(float(v)) for v in row[first_value_column:first_value_column + len(columns)]]
        base = values[0] - columns[0]
        expected = [(base + c) for c in columns]
        if values != expected:
            problems.append(f"sample {row[2]}: {values} is no frame of the counter")
        elif previous is not None and base != (previous + 1) % 16384:
            problems.append(f"sample {row[2]}: count {base} after {previous}")
        previous = base
    return len(rows), problems


# ---------------------------------------------------------------- the checks

def quiet(sim, since, what):
    """Checks that `sim` received nothing after its first `since` bytes."""
    got = sim.received()[since:]
    check(got == b"", what, f"{len(got)} bytes: {got[:24].hex(' ')}")
    return len(sim.received())


def restore(agent, sim37):
    """A 0x37-family DAQ takes every stray byte as its configuration: when the
    kernel's echo at a first open has changed it, put the defaults back."""
    config = sim37.config_bytes()
    if config and config[-1] != 0xA0:
        agent.run("for n in /dev/ttyUSB*; do kine config $n --speed 1000 --filter 0 --mode raw; done")
    return len(sim37.received())


def by_version(listing):
    return {entry["device_version"][:2]: entry["port"] for entry in listing}


def run_checks(agent, events, monitor, sim37, simAA):
    log("kine list, text and JSON, as root")
    # The first contact with a fresh node: the kernel opens it in its default
    # cooked mode and echoes what arrives while open(2) itself runs (the
    # driver programs the chip and raises DTR and RTS before it returns), so
    # bytes echoed here are counted, not judged; busybox's stty shows the same.
    for attempt in range(3):
        status, text = agent.run("kine list")
        if "68 v1.1" in text and "34 v0.9" in text:
            break
    figures["kine list tries until both DAQs are listed"] = str(attempt + 1)
    first_contact = len(sim37.received())
    markAA = len(simAA.received())
    figures["bytes echoed at the first open of a fresh node (0x37, 0xAA)"] = f"{first_contact}, {markAA}"
    mark37 = first_contact
    mark37 = restore(agent, sim37)
    for attempt in range(3):
        status, text = agent.run("kine list")
        if "68 v1.1" in text and "34 v0.9" in text:
            break
    check(status == 0, "kine list exits 0", text)
    check("68 v1.1" in text and "34 v0.9" in text and "SIMAA007" in text, "kine list shows both families", text)
    status, out = agent.run("kine list --json")
    listing = json.loads(out) if status == 0 else []
    ports = by_version(listing)
    check(set(ports) == {"68", "34"}, "kine list --json shows both families", out)
    port37, portAA = ports.get("68", "/dev/ttyUSB0"), ports.get("34", "/dev/ttyUSB1")
    mark37 = quiet(sim37, mark37, "discovery writes no byte to the 0x37-family DAQ")
    frames = command_frames(simAA.received()[markAA:])
    check(frames is not None, "discovery sends the 0xAA-family DAQ command frames only",
          simAA.received()[markAA:markAA + 48].hex(" "))

    log("kine stream, every sample checked")
    seconds = 5
    for sim, port, columns in ((sim37, port37, [0, 1, 2, 3]),
                               (simAA, portAA, [0, 1, 2, 3, 100, 101, 102, 103, 200, 201, 202, 203,
                                                300, 301, 302, 303])):
        before = len(sim.received())
        status, out = agent.run(f"kine stream {port} --duration {seconds} --csv /tmp/s.csv --force >/dev/null 2>&1; "
                                "echo status $?; cat /tmp/s.csv", timeout=60)
        rows = csv_rows(out)
        n, problems = counts_consecutive(rows, columns)
        check("status 0" in out, f"kine stream {sim.name} ends with status 0", out[:400])
        check(n > 0 and not problems, f"kine stream {sim.name}: {n} samples, each the next frame of the DAQ",
              "; ".join(problems[:5]))
        rate = n / seconds
        figures[f"samples/s {sim.name}"] = f"{rate:.0f} ({n} in {seconds} s, 0 lost)" if not problems else f"{rate:.0f}, {len(problems)} problems"
        # The DAQ's speed setting bounds the rate (an 0xAA-family open
        # configures its default); the simulator drops the frames the
        # converter cannot take, so none is lost on the way.
        speed = [1000, 333, 100, 30][(sim.config_bytes() or [0xA0])[-1] >> 3 & 3]
        # The rate counts the open within --duration: a bound, not a figure.
        check(rate > 0.7 * speed, f"kine stream {sim.name} keeps up with the DAQ's {speed} frames/s",
              f"{rate:.0f}/s")
        if sim is sim37:
            mark37 = quiet(sim37, mark37, "opening and closing a stream writes no byte to the 0x37-family DAQ")
        else:
            frames = command_frames(simAA.received()[before:])
            check(frames is not None, "a stream sends the 0xAA-family DAQ command frames only")

    log("kine zero")
    status, out = agent.run(f"kine zero {port37}")
    check(status == 0 and "offset" in out, "kine zero on the 0x37 family prints the offsets", out)
    mark37 = quiet(sim37, mark37, "kine zero writes no byte to the 0x37-family DAQ")
    before = len(simAA.received())
    status, out = agent.run(f"kine zero {portAA}")
    frames = command_frames(simAA.received()[before:])
    check(status == 0 and frames is not None, "kine zero on the 0xAA family sends command frames only", out)

    log("busy")
    agent.run(f"kine stream {port37} --duration 60 --csv /tmp/busy.csv >/tmp/busy.out 2>&1 &")
    # The first stream holds the DAQ once its rows flow (an open under TCG
    # on a loaded host can take seconds).
    agent.run(rows_flow("/tmp/busy.csv"))
    status, out = agent.run(f"kine stream {port37} --duration 1 --csv /dev/null")
    _, first = agent.run("cat /tmp/busy.out; pidof kine")
    check(status == 1 and "busy" in out, "a second kine stream on the same DAQ says busy",
          f"{status}: {out}; the first stream: {first}")
    # The first stream ends on SIGTERM like on Ctrl-C: it closes the DAQ,
    # then writes its summary. (Its process stays a zombie: the guest's init
    # reaps no orphans.)
    _, out = agent.run("killall kine; i=0; while ! grep -q 'samples to' /tmp/busy.out && [ $i -lt 100 ]; do "
                       "sleep 0.2; i=$((i+1)); done; cat /tmp/busy.out", timeout=120)
    check("kine: wrote " in out, "the first stream ends on SIGTERM with its summary", out)
    mark37 = quiet(sim37, mark37, "a stream and a refused open write no byte to the 0x37-family DAQ")

    log("list --watch: unplug and plug on the real driver")
    start = time.monotonic()
    agent.run("kine list --watch --json > /dev/ttyS2 2>&1 &")
    present = events.wait(lambda t: '"present"' in t and port37 in t, 20, start)
    check(present is not None, "kine list --watch reports the DAQs present")
    unplug_at = time.monotonic()
    monitor.command("device_del d37")
    gone = events.wait(lambda t: '"unplugged"' in t, 20, unplug_at)
    check(gone is not None, "unplugging the converter is reported")
    if gone:
        figures["unplug -> event"] = f"{(gone[0] - unplug_at) * 1000:.0f} ms"
    time.sleep(1)
    plug_at = time.monotonic()
    plug(monitor)
    back = events.wait(lambda t: '"plugged"' in t, 20, plug_at)
    check(back is not None, "plugging the converter in is reported")
    if back:
        figures["plug -> event"] = f"{(back[0] - plug_at) * 1000:.0f} ms"
    agent.run("kill %1 2>/dev/null; killall kine 2>/dev/null; true")
    # A plugged-in converter comes up as a fresh node: its first open is the
    # kernel's again (counted above); later contacts are judged.
    figures["bytes echoed at the first open after plugging in"] = str(len(sim37.received()) - mark37)
    mark37 = restore(agent, sim37)

    log("--reconnect across an unplug")
    agent.run(f"(kine stream {port37} --duration 14 --csv /tmp/r.csv --reconnect >/tmp/r.out 2>&1; "
              "echo $? > /tmp/r.status) >/dev/null 2>&1 &")
    agent.run(rows_flow("/tmp/r.csv"))
    time.sleep(2)
    monitor.command("device_del d37")
    time.sleep(2)
    plug(monitor)
    agent.run("while [ ! -e /tmp/r.status ]; do sleep 0.2; done", timeout=40)
    _, said = agent.run("cat /tmp/r.status /tmp/r.out")
    _, out = agent.run("cat /tmp/r.csv")
    rows = csv_rows(out)
    # Each connection's samples are consecutive frames; what the converter
    # held or the line discipline had queued when the DAQ went, and what came
    # before the new connection's first read, is gone with the old port.
    times = [float(r[0]) for r in rows] or [0.0]
    at = max(range(1, len(times)), key=lambda i: times[i] - times[i - 1], default=0)
    gap = times[at] - times[at - 1] if at else 0.0
    n1, before = counts_consecutive(rows[:at], [0, 1, 2, 3])
    n2, after = counts_consecutive(rows[at:], [0, 1, 2, 3])
    problems = before + after
    figures["reconnect: longest pause in the samples"] = f"{gap:.1f} s"
    check(said.startswith("0") and not problems and gap > 1.0 and times[-1] - times[0] > 8,
          "kine stream --reconnect goes on after the DAQ is plugged in again, each connection losing no sample",
          f"{said!r}, {n1} + {n2} samples, longest gap {gap:.1f} s, {problems[:3]}")
    figures["bytes echoed at the first open after plugging in (reconnect)"] = str(len(sim37.received()) - mark37)
    mark37 = restore(agent, sim37)

    log("config, as the DAQ sees it")
    status, out = agent.run(f"kine config {portAA} --speed 100 --filter 15")
    cfg = simAA.config_bytes()
    check(status == 0 and cfg and (cfg[-1] >> 3) & 3 == 2 and (cfg[-1] >> 1) & 3 == 3,
          "kine config --speed 100 --filter 15 reaches the 0xAA-family DAQ", f"{out} {[hex(c) for c in cfg]}")
    status, out = agent.run(f"kine config {portAA} --speed 1000 --filter 0")
    status, out = agent.run(f"kine config {port37} --speed 333 --mode compensated")
    cfg = sim37.config_bytes()
    check(status == 0 and cfg and (cfg[-1] >> 3) & 3 == 1 and cfg[-1] & 1 == 1,
          "kine config --speed 333 --mode compensated reaches the 0x37-family DAQ",
          f"{out} {[hex(c) for c in cfg]}")

    log("as a normal user")
    status, out = agent.run("ls -l /dev/ttyUSB*; su -s /bin/sh -c 'kine list' user")
    check(status != 0 or "no DAQ" in out or "68 v1.1" not in out,
          "a normal user cannot use nodes of mode 0600", out)
    for attempt in range(3):  # discovery's first look may miss a DAQ under TCG's slowness
        status, out = agent.run("chmod 0666 /dev/ttyUSB*; su -s /bin/sh -c 'kine list' user")
        if "68 v1.1" in out and "34 v0.9" in out:
            break
    check(status == 0 and "68 v1.1" in out and "34 v0.9" in out, "a normal user lists both DAQs once udev's mode is on",
          out)
    # The kernel makes the node 0600; udev makes it readable a little later.
    monitor.command("device_del d37")
    agent.run("while [ -e /dev/ttyUSB0 ] && [ -e /dev/ttyUSB1 ]; do sleep 0.1; done")
    # The redirection is root's: the event line's node is not the user's to open.
    agent.run("su -s /bin/sh -c 'kine list --watch --json' user > /dev/ttyS2 2>&1 &")
    time.sleep(2)
    mark = time.monotonic()
    plug(monitor)
    agent.run("until [ $(ls /dev/ttyUSB* | wc -l) -ge 2 ]; do sleep 0.05; done; "
              "for n in /dev/ttyUSB*; do [ \"$(stat -c %a $n)\" = 600 ] && (sleep 0.4; chmod 0666 $n) & done; wait")
    seen = None
    end = time.monotonic() + 10
    while time.monotonic() < end and seen is None:
        # "present" when the monitor's first pass, which kine list waits for,
        # was still under way at the plug; "plugged" after it.
        seen = next((t for t in events.after(mark)
                     if ('"plugged"' in t or '"present"' in t) and "68 v1.1" in t), None)
        time.sleep(0.1)
    agent.run("killall kine 2>/dev/null; true")
    check(seen is not None, "a normal user's monitor reports a DAQ whose node turns readable after 0.4 s",
          "\n".join(events.after(mark - 3)))


def check_rates(trace):
    """The kernel programs a converter with the node's saved rate when a port
    opens (9600 on a fresh node); kine then sets 1,000,000 and nothing else.
    Once a device has run at 1,000,000, any other rate is kine's doing."""
    rates = {}
    with open(trace, errors="replace") as f:
        for m in re.finditer(r"@(\d+\.\d+):usb_serial_set_baud dev (\d+):(\d+) baud rate (\d+)", f.read()):
            rates.setdefault(m.group(2) + ":" + m.group(3), []).append((float(m.group(1)), int(m.group(4))))
    wrong = {}
    for device, seen in rates.items():
        # A fresh node after a plug-in starts at the kernel's 9600 again.
        for (t0, r0), (t1, r1) in zip(seen, seen[1:]):
            if r0 == 1000000 and r1 != 1000000 and not any(t0 <= p <= t1 for p in plug_times):
                wrong[device] = [r for _, r in seen]
    rates = {d: [r for _, r in v] for d, v in rates.items()}
    figures["rates programmed per converter"] = "; ".join(
        f"{d}: {len(v)} times, {sorted(set(v))}" for d, v in rates.items())
    check(bool(rates) and not wrong, "no open programs a converter at another rate than 1,000,000 (no 9600 step)",
          str({d: v[:12] for d, v in wrong.items()}))


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--kine", required=True)
    parser.add_argument("--library", required=True)
    parser.add_argument("--sim", required=True)
    parser.add_argument("--keep", help="keep the work folder here")
    args = parser.parse_args()

    qemu, kernel, busybox, missing = find_prerequisites()
    if missing:
        log("SKIPPED: the real-kernel tier needs " + ", ".join(missing))
        log("install with: " + INSTALL)
        return SKIP

    workdir = args.keep or tempfile.mkdtemp(prefix="kine-kernel-")
    os.makedirs(workdir, exist_ok=True)
    started = time.monotonic()
    image = os.path.join(workdir, "initramfs.cpio")
    build_initramfs(image, kernel[1], busybox, args.kine, args.library)
    log(f"initramfs: {os.path.getsize(image) // 1024} KiB, kernel {kernel[1]}, built in "
        f"{time.monotonic() - started:.1f} s")

    sim37 = Sim(args.sim, workdir, "daq37", 3)
    simAA = Sim(args.sim, workdir, "daqAA", 7, serial="SIMAA007")
    qemu_proc = None
    try:
        w = lambda name: os.path.join(workdir, name)
        command = [
            qemu, "-machine", "pc", "-accel", "tcg", "-cpu", "max", "-smp", "1", "-m", "512",
            "-nodefaults", "-no-user-config", "-display", "none", "-no-reboot",
            "-kernel", kernel[0], "-initrd", image,
            "-append", "console=ttyS0 quiet panic=-1 rdinit=/init",
            "-chardev", f"file,id=console,path={w('console.log')}", "-serial", "chardev:console",
            "-chardev", f"socket,id=agent,path={w('agent.sock')},server=on,wait=off", "-serial", "chardev:agent",
            "-chardev", f"socket,id=events,path={w('events.sock')},server=on,wait=off", "-serial", "chardev:events",
            "-monitor", f"unix:{w('monitor.sock')},server=on,wait=off",
            # Every rate the guest programs on a converter, as QEMU sees it.
            "-trace", "enable=usb_serial_set_baud", "-D", w("qemu.log"), "-msg", "timestamp=on",
            "-device", "qemu-xhci,id=xhci",
            "-chardev", f"socket,id=c37,path={sim37.socket}", "-device", "usb-serial,chardev=c37,id=d37,bus=xhci.0",
            "-chardev", f"socket,id=cAA,path={simAA.socket}", "-device", "usb-serial,chardev=cAA,id=dAA,bus=xhci.0",
        ]
        boot_start = time.monotonic()
        qemu_proc = subprocess.Popen(command, stdin=subprocess.DEVNULL)
        agent_line = Line(w("agent.sock"))
        events = Line(w("events.sock"))
        monitor = Monitor(w("monitor.sock"))
        ready = agent_line.wait(lambda t: t.startswith("@@ ready"), 240)
        if ready is None:
            with open(w("console.log"), errors="replace") as f:
                log(f.read()[-3000:])
            check(False, "the guest boots")
            return 1
        figures["boot to agent"] = f"{ready[0] - boot_start:.1f} s"
        agent = Agent(agent_line)
        agent.run("until [ -e /dev/ttyUSB0 ] && [ -e /dev/ttyUSB1 ]; do sleep 0.1; done", timeout=30)
        run_checks(agent, events, monitor, sim37, simAA)
        check_rates(w("qemu.log"))
    except Exception:  # a broken guest or harness is a failure, never a pass
        import traceback
        check(False, "the tier runs to its end", traceback.format_exc())
    finally:
        if qemu_proc:
            qemu_proc.kill()
            qemu_proc.wait()
        sim37.stop()
        simAA.stop()
        if not args.keep:
            shutil.rmtree(workdir, ignore_errors=True)

    figures["whole tier"] = f"{time.monotonic() - started:.0f} s"
    for k, v in figures.items():
        log(f"figure: {k}: {v}")
    if failures:
        log(f"{len(failures)} check(s) failed")
        return 1
    log("all checks passed")
    return 0


if __name__ == "__main__":
    sys.exit(main())
