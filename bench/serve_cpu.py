#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""CPU of `kine serve` with several simulated DAQs at 1,000 samples/s.

  bench/serve_cpu.py build/tools/kine [--daqs 4] [--seconds 20]

Starts DAQS `kine sim --version 4` units (four sensors, 16 values per sample,
1,000 frames/s), serves them with `kine serve`, and measures the server's
CPU time (user + system, from /proc) over SECONDS: first with no page open,
then with the page open in headless Chromium (when installed), which draws
every trace. Prints the share of one core for both, each DAQ's rate and its
lost-sample count, and the page-less figure as the baseline ratio.
"""
import argparse
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request


def cpu_seconds(pid):
    fields = open(f"/proc/{pid}/stat").read().rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def measure(pid, seconds):
    start, t0 = cpu_seconds(pid), time.monotonic()
    time.sleep(seconds)
    return (cpu_seconds(pid) - start) / (time.monotonic() - t0)


def main():
    parser = argparse.ArgumentParser()
    parser.add_argument("kine")
    parser.add_argument("--daqs", type=int, default=4)
    parser.add_argument("--seconds", type=float, default=20)
    args = parser.parse_args()

    folder = tempfile.mkdtemp(prefix="kine-serve-cpu-")
    processes = []
    try:
        links = []
        for k in range(args.daqs):
            link = os.path.join(folder, f"daq{k}")
            processes.append(subprocess.Popen([args.kine, "sim", "--version", "4", "--signal", "sine",
                                               "--link", link], stdout=subprocess.DEVNULL))
            links.append(link)
        while not all(os.path.exists(l) for l in links):
            time.sleep(0.05)
        server = subprocess.Popen([args.kine, "serve", "--bind", "127.0.0.1:0", *links],
                                  stdout=subprocess.PIPE, text=True)
        processes.append(server)
        url = server.stdout.readline().split()[3]

        def status():
            return json.load(urllib.request.urlopen(url + "api/daqs", timeout=10))

        time.sleep(3)
        alone = measure(server.pid, args.seconds)
        print(f"kine serve, {args.daqs} DAQs at 1,000 samples/s, no page open: {100 * alone:.1f}% of one core")

        chromium = shutil.which("chromium")
        if chromium:
            profile = os.path.join(folder, "profile")
            processes.append(subprocess.Popen(
                [chromium, "--headless", "--no-sandbox", "--disable-gpu", "--no-first-run",
                 "--disable-background-networking", "--disable-component-update", "--disable-sync",
                 "--window-size=1280,2000", f"--user-data-dir={profile}", "--remote-debugging-port=0", url],
                stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL))
            deadline = time.monotonic() + 30
            while status()["tabs"] != 1 and time.monotonic() < deadline:
                time.sleep(0.2)
            time.sleep(3)
            if status()["tabs"] != 1:
                print("the page did not connect", file=sys.stderr)
                return 1
            shown = measure(server.pid, args.seconds)
            print(f"kine serve, {args.daqs} DAQs at 1,000 samples/s, one page open: {100 * shown:.1f}% of one core "
                  f"({shown / alone:.2f} x the page-less figure)")
        else:
            print("Chromium is missing: the figure with a page open is not measured")
        for d in status()["daqs"]:
            print(f"  {d['port']}: {d['state']}, {d['rate']:.0f} samples/s, reads with lost samples: {d['overflows']}")
    finally:
        for p in reversed(processes):
            p.terminate()
            p.wait(timeout=10)
        shutil.rmtree(folder, ignore_errors=True)


if __name__ == "__main__":
    sys.exit(main())
