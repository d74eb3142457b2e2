# SPDX-License-Identifier: MIT
"""Finding the library, installing, numpy being optional, the README example."""

import ctypes
import os
import re
import shutil
import subprocess
import sys

import pytest

import kine
from kine._lib import CLibrary

BUILD = os.environ["KINE_BUILD_DIR"]
SOURCE = os.environ["KINE_SOURCE_DIR"]
BUILT_LIB = os.path.join(BUILD, "libkine.so.0")


def run_python(code, pythonpath, **env):
    clean = {k: v for k, v in os.environ.items()
             if k not in ("PYTHONPATH", "KINE_LIBRARY", "LD_LIBRARY_PATH")}
    clean.update(env, PYTHONPATH=pythonpath)
    done = subprocess.run([sys.executable, "-c", code], env=clean, capture_output=True,
                          text=True, timeout=120)
    return done.stdout + done.stderr


@pytest.mark.parametrize("case", ["env", "next to package", "loader path", "nowhere"])
def test_library_lookup_order(tmp_path, case):
    package = tmp_path / "kine"
    shutil.copytree(os.path.join(SOURCE, "bindings", "python", "kine"), package)
    env = {}
    if case == "env":
        env["KINE_LIBRARY"] = BUILT_LIB
    elif case == "next to package":  # wins over KINE_LIBRARY
        shutil.copy(BUILT_LIB, package)
        env["KINE_LIBRARY"] = BUILT_LIB
    elif case == "loader path":
        env["LD_LIBRARY_PATH"] = BUILD
    out = run_python("import kine; print(kine.library().path)", str(tmp_path), **env)
    expected = {"env": BUILT_LIB, "next to package": str(package / "libkine.so.0"),
                "loader path": "libkine.so.0"}
    if case in expected:
        assert out.strip() == expected[case]
    else:
        assert "LibraryNotFoundError" in out
        for tried in (str(package / "libkine.so.0"), "KINE_LIBRARY (not set)",
                      "libkine.so.0 on the system's loader path"):
            assert tried in out


def test_installed_package_uses_the_installed_library(sim, tmp_path):
    prefix = tmp_path / "prefix"
    subprocess.run([os.environ["KINE_CMAKE"], "--install", BUILD, "--prefix", str(prefix)],
                   check=True, capture_output=True)
    s = sim(3)
    out = run_python(f"""
import kine
with kine.Daq({s.path!r}, {s.text!r}) as daq:
    print(kine.library().path, next(daq.stream()).version)
""", str(prefix / "lib" / "python3" / "dist-packages"))
    path, version = out.split()
    assert os.path.realpath(path) == os.path.realpath(prefix / "lib" / "libkine.so.0")
    assert version == "3"


def test_works_without_numpy(sim):
    s = sim(7)
    out = run_python(f"""
import sys
sys.modules["numpy"] = None  # as if not installed
import kine
daq = kine.Daq({s.path!r}, {s.text!r})
print(next(daq.stream()).version)
try:
    daq.read_array(1)
except ImportError:
    print("no-numpy")
""", os.environ["PYTHONPATH"])
    assert out.split() == ["7", "no-numpy"]


def test_missing_functions_are_named():
    lib = CLibrary(ctypes.CDLL(None), "this program")  # has no libkine functions
    assert not lib.has("callListPorts")
    with pytest.raises(kine.MissingFunctionError, match="this program has no function callListPorts"):
        lib.callListPorts
    with pytest.raises(AttributeError):
        lib.somethingElse


def test_readme_example_runs(sim):
    readme = open(os.path.join(SOURCE, "README.md")).read()
    example = re.search(r"## Python\n.*?```python\n(.*?)```", readme, re.S).group(1)
    assert len(example.strip().splitlines()) == 5
    s = sim(7)
    assert '"34 v0.9"' in example
    out = run_python(example.replace("/dev/ttyACM0", s.path), os.environ["PYTHONPATH"])
    lines = out.splitlines()
    assert len(lines) > 20 and all(re.fullmatch(r"[0-3]( -?\d+){3}", line) for line in lines), out


def test_pip_installs_the_package_into_a_virtual_environment(tmp_path):
    """pip install bindings/python in a fresh venv, offline (Debian's
    setuptools and wheel build it), then the installed copy finds the built library."""
    venv = tmp_path / "venv"
    subprocess.run([sys.executable, "-m", "venv", "--system-site-packages", str(venv)], check=True,
                   capture_output=True)
    # A copy: setuptools builds inside the folder it installs from.
    source = tmp_path / "python"
    shutil.copytree(os.path.join(SOURCE, "bindings", "python"), source,
                    ignore=shutil.ignore_patterns("build", "*.egg-info", "__pycache__", "tests"))
    pip = subprocess.run([str(venv / "bin" / "pip"), "install", "--no-index", "--no-build-isolation", "-q",
                          str(source)], capture_output=True, text=True, timeout=300)
    assert pip.returncode == 0, pip.stdout + pip.stderr
    cmake = open(os.path.join(SOURCE, "CMakeLists.txt")).read()
    project_version = re.search(r"project\(kine VERSION ([0-9.]+)", cmake).group(1)
    done = subprocess.run([str(venv / "bin" / "python"), "-c",
                           "import kine; print(kine.__file__, kine.__version__, kine.library().path)"],
                          cwd=str(tmp_path), capture_output=True, text=True, timeout=60,
                          env={"PATH": os.environ["PATH"], "KINE_LIBRARY": BUILT_LIB})
    where, version, lib = done.stdout.split()
    assert where.startswith(str(venv)) and version == project_version == kine.__version__
    assert lib == BUILT_LIB


def test_result_codes_match_the_header():
    """Every read code and open reason of kine_result.h, with its number."""
    with open(os.path.join(os.environ["KINE_SOURCE_DIR"], "include/kine/kine_result.h")) as f:
        header = f.read()
    reads = dict(re.findall(r"#define KINE_(\w+) \((-\d+)\)", header))
    reasons = dict(re.findall(r"\bKINE_OPEN_(\w+) = (\d+)", header))
    assert len(reads) >= 4 and len(reasons) >= 14
    assert {c.name: c.value for c in kine.ReadCode} == {n: int(v) for n, v in reads.items()}
    assert {r.name: r.value for r in kine.OpenReason} == {n: int(v) for n, v in reasons.items()}
