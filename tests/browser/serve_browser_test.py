#!/usr/bin/python3
# SPDX-License-Identifier: MIT
"""The kine serve page in a real browser: Debian's Chromium, headless, driven
through its DevTools protocol (python3-websocket).

  serve_browser_test.py FIXTURE SCREENSHOT

FIXTURE serves two simulated DAQs (A: moving waves, B: a constant level).
Checks that the page shows both, that the traces advance, that B is drawn at
its level and at about 0 after its zero button, and that B unplugged shows
as gone. SCREENSHOT receives a picture of the page. Exits 77 (skipped) when
Chromium or python3-websocket is missing.
"""
import json
import os
import shutil
import subprocess
import sys
import tempfile
import time
import urllib.request

SKIP = 77
LEVEL = [1200, -300, 4000]


def skip(what, package):
    print(f"SKIPPED: {what} is missing; install it with: "
          f"apt-get install -y --no-install-recommends {package}")
    sys.exit(SKIP)


try:
    import websocket
except ImportError:
    skip("python3-websocket", "python3-websocket")
CHROMIUM = shutil.which("chromium") or ("/usr/bin/chromium" if os.access("/usr/bin/chromium", os.X_OK) else None)
if not CHROMIUM:
    skip("Chromium", "chromium")


def wait_for(what, check, timeout=20.0, step=0.1):
    """Calls check() until it returns something true; fails after timeout."""
    end = time.monotonic() + timeout
    last = None
    while time.monotonic() < end:
        last = check()
        if last:
            return last
        time.sleep(step)
    raise AssertionError(f"timed out waiting for {what}; last state: {last!r}")


class DevTools:
    """One page of Chromium, over the DevTools websocket."""

    def __init__(self, url):
        self.ws = websocket.create_connection(url, timeout=30, suppress_origin=True)
        self.next_id = 0

    def call(self, method, **params):
        self.next_id += 1
        self.ws.send(json.dumps({"id": self.next_id, "method": method, "params": params}))
        while True:
            reply = json.loads(self.ws.recv())
            if reply.get("id") == self.next_id:
                if "error" in reply:
                    raise AssertionError(f"{method}: {reply['error']}")
                return reply["result"]

    def evaluate(self, expression):
        result = self.call("Runtime.evaluate", expression=expression, returnByValue=True)
        if "exceptionDetails" in result:
            raise AssertionError(f"{expression}: {result['exceptionDetails']}")
        return result["result"].get("value")


def main():
    fixture_path, screenshot = sys.argv[1], sys.argv[2]
    fixture = subprocess.Popen([fixture_path], stdin=subprocess.PIPE, stdout=subprocess.PIPE, text=True)
    profile = tempfile.mkdtemp(prefix="kine-chromium-")
    browser = None
    try:
        lines = {}
        for _ in range(3):
            key, _, value = fixture.stdout.readline().strip().rpartition(" ")
            lines[key] = value
        url, port_b = lines["url"], lines["port B"]
        browser = subprocess.Popen(
            [CHROMIUM, "--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
             "--disable-background-networking", "--disable-component-update", "--disable-sync",
             "--disable-extensions", "--hide-scrollbars", "--window-size=1280,1500",
             f"--user-data-dir={profile}", "--remote-debugging-port=0", "about:blank"],
            stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        active = os.path.join(profile, "DevToolsActivePort")
        wait_for("Chromium's DevTools port", lambda: os.path.exists(active) and open(active).read().count("\n") >= 1)
        port = open(active).read().split("\n")[0]
        targets = json.load(urllib.request.urlopen(f"http://127.0.0.1:{port}/json/list", timeout=10))
        page = DevTools(next(t for t in targets if t["type"] == "page")["webSocketDebuggerUrl"])
        page.call("Page.enable")
        page.call("Page.navigate", url=url)

        def summary():
            return page.evaluate("window.kineView ? kineView.summary() : null")

        def both_drawn():
            s = summary()
            daqs = s and [d for d in s["daqs"] if d["state"] == "streaming" and d["draws"] > 2]
            return s if s and s["connected"] and len(daqs) == 2 else None

        s = wait_for("both DAQs drawn", both_drawn, timeout=30)
        b = next(d for d in s["daqs"] if d["port"] == port_b)
        a = next(d for d in s["daqs"] if d["port"] != port_b)

        # The traces advance: newer samples arrive (A runs at 100 Hz, the
        # speed its family opens with; B at 1,000 Hz) and the x axis moves on.
        def advanced():
            later = {d["id"]: d for d in summary()["daqs"]}
            return later if all(later[d["id"]]["received"] > d["received"] + rate // 2 and
                                later[d["id"]]["xMax"] > d["xMax"] + 0.5 for d, rate in ((a, 100), (b, 1000))) else None

        later = wait_for("both traces advance", advanced)
        assert len(later[a["id"]]["drawn"]) == 4, later[a["id"]]  # one chart per sensor

        def drawn_b():
            return next(d for d in summary()["daqs"] if d["id"] == b["id"])["drawn"][0][:3]

        level = drawn_b()
        assert level == LEVEL, f"B drawn at {level}, expected {LEVEL}"

        page.evaluate(f"document.querySelector('button[data-action=zero][data-id=\"{b['id']}\"]').click()")
        wait_for("B drawn at about 0 after zero", lambda: all(abs(v) <= 2 for v in drawn_b()), timeout=10)
        time.sleep(0.5)  # a little more trace after the step, for the picture

        shot = page.call("Page.captureScreenshot", format="png", captureBeyondViewport=True)["data"]
        os.makedirs(os.path.dirname(screenshot), exist_ok=True)
        with open(screenshot, "wb") as f:
            import base64
            f.write(base64.b64decode(shot))
        print(f"screenshot: {screenshot}")

        fixture.stdin.write("unplug B\n")
        fixture.stdin.flush()
        assert fixture.stdout.readline().strip() == "unplugged B"

        def b_gone():
            d = next(d for d in summary()["daqs"] if d["id"] == b["id"])
            return d if d["state"] == "gone" and not d["plugged"] else None

        wait_for("B shown as gone and unplugged", b_gone, timeout=15)
        row = page.evaluate(f"document.querySelector('#list tr[data-id=\"{b['id']}\"]').textContent")
        assert "unplugged" in row, row
        a_now = next(d for d in summary()["daqs"] if d["id"] == a["id"])
        assert a_now["state"] == "streaming", a_now
        print("ok: both DAQs shown, traces advance, level and zero drawn, unplug shown")
    finally:
        if browser:
            browser.terminate()
            browser.wait(timeout=10)
        if fixture.poll() is None:
            fixture.stdin.close()
            fixture.wait(timeout=10)
        shutil.rmtree(profile, ignore_errors=True)


if __name__ == "__main__":
    main()
