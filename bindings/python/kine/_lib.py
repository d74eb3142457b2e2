# SPDX-License-Identifier: MIT
"""Finding libkine and calling its C functions.

`library()` loads the shared library once, looking next to the package
first, then at KINE_LIBRARY, then through the system's loader path. Its
result is a thin wrapper whose attributes are the C functions with their
argument and result types set; each is looked up on first use, so a library
without some functions (port discovery, open-failure reasons) still serves
the rest. Tests replace attributes of the wrapper to count calls.
"""

import ctypes
import os
import threading

from .errors import KineError, LibraryNotFoundError

_NAMES = ("libkine.so.0", "libkine.so")

H = ctypes.c_void_p  # a KineDAQHandle* or a ports handle
P = ctypes.c_void_p  # a record or array the caller provides
PP = ctypes.POINTER(ctypes.c_void_p)  # the address of a pointer the library fills
_int, _bool = ctypes.c_int, ctypes.c_bool

# name: (result type, argument types)
PROTOTYPES = {
    "callKineDAQ_Create": (H, []),
    "callKineDAQ_Dispose": (None, [H]),
    "callOpen": (_bool, [H, ctypes.c_char_p, ctypes.c_char_p]),
    "callClose": (None, [H]),
    "callIsOpen": (_bool, [H]),
    "callGetPortName": (ctypes.c_char_p, [H]),
    "callGetSensorSize": (_int, [H]),
    "callGetActualVersion": (_int, [H]),
    "callGetConfig": (ctypes.c_ubyte, [H, P]),
    "callSendConfig": (_bool, [H, _int, _int, _int]),
    "callZero": (_bool, [H, _int]),
    "callZeroAll": (None, [H]),
    "callUnzero": (_bool, [H, _int]),
    "callUnzeroAll": (None, [H]),
    "callGetOffset": (_bool, [H, _int, P]),
    "callRead": (_int, [H, P, _int, _bool]),
    "callRead6D": (_int, [H, P, _bool]),
    "callRead6Axis": (_int, [H, P, _bool]),
    "callReadAll": (_int, [H, PP, _bool]),
    "callReadAll6D": (_int, [H, PP, _bool]),
    "callReadAll6Axis": (_int, [H, PP, _bool]),
    # Waiting reads; newer libraries only.
    "callWaitRead": (_int, [H, P, _int, _int]),
    "callWaitRead6D": (_int, [H, P, _int]),
    "callWaitReadAll": (_int, [H, PP, _int]),
    "callWaitReadAll6D": (_int, [H, PP, _int]),
    "callDeletePackageArray": (None, [PP]),
    "callDeletePackage6DArray": (None, [PP]),
    "callDeleteIntArray": (None, [PP]),
    # Reasons of a failed open; newer libraries only.
    "callGetLastOpenError": (_int, [H]),
    "callGetLastOpenErrno": (_int, [H]),
    "callOpenErrorText": (ctypes.c_char_p, [_int]),
    # Calibration files; newer libraries only.
    "callCalibration_Load": (H, [ctypes.c_char_p, ctypes.c_char_p, _int]),
    "callCalibration_Dispose": (None, [H]),
    "callCalibration_Outputs": (_int, [H]),
    "callCalibration_Inputs": (_int, [H]),
    "callCalibration_InputCount": (_int, [H]),
    "callCalibration_Sensor": (_int, [H]),
    "callCalibration_Text": (ctypes.c_char_p, [H, ctypes.c_char_p]),
    "callCalibration_ApplyCounts": (_int, [H, P, _int, P]),
    # Port discovery. Strings and arrays come back as plain addresses so that
    # the package can hand them to the delete functions.
    "callKinePorts_Create": (H, []),
    "callKinePorts_Dispose": (None, [H]),
    "callListPorts": (ctypes.c_void_p, [H]),
    "callGetLastSize": (_int, [H]),
    "callIsNewPort": (_bool, [H]),
    "callIsLostPort": (_bool, [H]),
    "callGetNewPort": (None, [H, PP]),
    "callGetLostPort": (None, [H, PP]),
    "callDeleteKPORT": (None, [PP]),
    "callDeletePORTLIST": (None, [PP, _int]),
    "callIsSettled": (_bool, [H]),
    "callGetPortStatus": (_int, [H, ctypes.c_void_p, _int]),
}


class MissingFunctionError(KineError, AttributeError):
    """The loaded library lacks a C function this feature needs."""


class CLibrary:
    """The loaded library; attributes are its C functions, typed."""

    def __init__(self, cdll, path):
        self._cdll = cdll
        self.path = path

    def __getattr__(self, name):
        if name not in PROTOTYPES:
            raise AttributeError(name)
        try:
            fn = getattr(self._cdll, name)
        except AttributeError:
            raise MissingFunctionError(
                f"{self.path} has no function {name}: this feature needs a newer libkine"
            ) from None
        fn.restype, fn.argtypes = PROTOTYPES[name]
        setattr(self, name, fn)  # later look-ups bypass __getattr__
        return fn

    def has(self, name):
        try:
            getattr(self, name)
        except MissingFunctionError:
            return False
        return True


def _package_dirs():
    """Folders next to the package: the one recorded by the build or the
    install, then the package folder itself."""
    here = os.path.dirname(os.path.abspath(__file__))
    dirs = []
    try:
        from ._location import LIBRARY_DIR
    except ImportError:
        pass
    else:
        dirs.append(os.path.normpath(os.path.join(here, LIBRARY_DIR)))
    dirs.append(here)
    return dirs


def _candidates():
    """(description, what to hand to dlopen) in the order they are tried."""
    for d in _package_dirs():
        for name in _NAMES:
            yield os.path.join(d, name), os.path.join(d, name)
    env = os.environ.get("KINE_LIBRARY")
    if env:
        if os.path.isdir(env):
            for name in _NAMES:
                yield f"KINE_LIBRARY {os.path.join(env, name)}", os.path.join(env, name)
        else:
            yield f"KINE_LIBRARY {env}", env
    else:
        yield "KINE_LIBRARY (not set)", None
    for name in _NAMES:
        yield f"{name} on the system's loader path", name


def load():
    """Loads the first library that opens; raises LibraryNotFoundError
    naming every place tried and why it failed."""
    tried = []
    for what, target in _candidates():
        if target is None:
            tried.append(what)
            continue
        if os.sep in target and not os.path.exists(target):
            tried.append(f"{what}: no such file")
            continue
        try:
            cdll = ctypes.CDLL(target)
        except OSError as e:
            tried.append(f"{what}: {e}")
            continue
        if not hasattr(cdll, "callKineDAQ_Create"):
            tried.append(f"{what}: not libkine (no callKineDAQ_Create)")
            continue
        return CLibrary(cdll, target)
    raise LibraryNotFoundError(
        "libkine not found; tried:\n  " + "\n  ".join(tried)
        + "\nBuild or install it, or set KINE_LIBRARY to the path of libkine.so.",
        tried)


_loaded = None
_lock = threading.Lock()


def library():
    """The process-wide library, loaded on first use."""
    global _loaded
    with _lock:
        if _loaded is None:
            _loaded = load()
        return _loaded
