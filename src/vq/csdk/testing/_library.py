"""Binding the kit to the stand-in library.

The package ships the stand-in libvq3-c.so twice: beside the extension
module (where a production install puts the real library instead) and in
this folder.  Loading this folder's copy first, by absolute path, makes
the dynamic linker satisfy the module's dependency on the soname
libvq3-c.so with it when vq.csdk.c_sdk is imported afterwards.  Nothing is
ever written into the installed package.
"""

import ctypes
import filecmp
import importlib.util
import os
import sys
import warnings
from types import FrameType
from typing import List, Optional, Tuple

SONAME = "libvq3-c.so"
#: the stand-in copy that the kit loads
KIT_LIBRARY = os.path.join(os.path.dirname(os.path.abspath(__file__)), SONAME)

# the control surface the kit needs from whatever library c_sdk is bound to
CONTROLS = (
    "vqstub_reset",
    "vqstub_set_recording",
    "vqstub_set_call_cap",
    "vqstub_calls_dropped",
    "vqstub_set_market",
    "vqstub_market_feed",
    "vqstub_call_count",
    "vqstub_script_int",
    "vqstub_queue_event",
)


class BindingError(ImportError):
    """vq.csdk.c_sdk is bound to a library that is not the stand-in."""


class StandinWarning(UserWarning):
    """The kit bound vq.csdk.c_sdk to its stand-in although another library
    sits beside the module, outside a test run that asked for the stand-in."""


def _maps() -> List[Tuple[int, int, str]]:
    """(start, end, path) of every file mapping of this process."""
    out = []
    with open("/proc/self/maps") as maps:
        for line in maps:
            fields = line.split(None, 5)
            if len(fields) == 6 and fields[5].startswith("/"):
                lo, hi = fields[0].split("-")
                out.append((int(lo, 16), int(hi, 16), fields[5].rstrip("\n")))
    return out


def _file_at(address: int) -> Optional[str]:
    for lo, hi, path in _maps():
        if lo <= address < hi:
            return path
    return None


def mapped_copies() -> List[str]:
    """Paths of every libvq3-c.so mapped into this process."""
    seen: List[str] = []
    for _, _, path in _maps():
        if os.path.basename(path) == SONAME and path not in seen:
            seen.append(path)
    return seen


def bound_library(module_file: str) -> Optional[str]:
    """Path of the libvq3-c.so that the loaded extension module calls.

    dlsym on the module's handle searches the module and then its own
    dependencies, so it finds the library the module was linked to."""
    handle = ctypes.CDLL(module_file, mode=os.RTLD_NOLOAD)
    try:
        address = ctypes.cast(handle.vqi_poll, ctypes.c_void_p).value
    except AttributeError:
        return None
    return _file_at(address) if address else None


_lib: Optional[ctypes.CDLL] = None


def _how_to_fix() -> str:
    return (
        "Import vq.csdk.testing before anything imports vq.csdk.c_sdk (with pytest, "
        "the vq-csdk plugin does this), or run the test in a fresh process."
    )


def activate() -> ctypes.CDLL:
    """Load the stand-in before vq.csdk.c_sdk, import c_sdk, and return a
    handle on the library it is bound to.  Idempotent."""
    global _lib
    if _lib is not None:
        return _lib
    if "vq.csdk.c_sdk" not in sys.modules:
        if not os.path.isfile(KIT_LIBRARY):
            raise BindingError(
                "the testing kit's stand-in library %s is missing; reinstall the vq "
                "package (a source checkout has no built libraries)" % KIT_LIBRARY
            )
        others = [p for p in mapped_copies() if not _same_file(p, KIT_LIBRARY)]
        if not others:
            ctypes.CDLL(KIT_LIBRARY, mode=os.RTLD_NOW | os.RTLD_GLOBAL)
            _warn_if_shadowing()
    from vq.csdk import c_sdk

    bound = bound_library(c_sdk.__file__)
    if bound is None:
        raise BindingError(
            "cannot tell which %s vq.csdk.c_sdk (%s) is bound to" % (SONAME, c_sdk.__file__)
        )
    lib = ctypes.CDLL(bound)
    missing = [name for name in CONTROLS if not hasattr(lib, name)]
    if missing:
        raise BindingError(
            "vq.csdk.c_sdk is already bound to %s, which is not the stand-in library "
            "(it lacks %s); the testing kit's stand-in is %s. %s"
            % (bound, ", ".join(missing), KIT_LIBRARY, _how_to_fix())
        )
    _lib = lib
    return lib


def beside_module() -> Optional[str]:
    """Path of the libvq3-c.so beside vq.csdk.c_sdk, found without importing
    the module; None if there is none."""
    spec = importlib.util.find_spec("vq.csdk.c_sdk")
    if spec is None or not spec.origin:
        return None
    path = os.path.join(os.path.dirname(spec.origin), SONAME)
    return path if os.path.isfile(path) else None


def _requested_by_pytest() -> bool:
    plugin = sys.modules.get("vq.csdk.pytest_plugin")
    return bool(getattr(plugin, "standin_requested", False))


def _warn_if_shadowing() -> None:
    # A script that imports the kit by accident (to read a CSV, say) would
    # otherwise trade on the simulator without a word.  The shipped stand-in
    # beside the module is a byte-for-byte copy of the kit's.
    if _requested_by_pytest():
        return
    beside = beside_module()
    if beside is None or filecmp.cmp(beside, KIT_LIBRARY, shallow=False):
        return
    warnings.warn(
        "vq.csdk.testing binds vq.csdk.c_sdk to its stand-in library %s, not to the library "
        "beside the module %s: every library call in this process is simulated. Import "
        "vq.csdk.testing only in tests." % (KIT_LIBRARY, beside),
        StandinWarning,
        stacklevel=_importer_level(),
    )


def _importer_level() -> int:
    """The stacklevel, seen from _warn_if_shadowing, of the code that
    imported the kit: warnings itself steps over the import machinery's
    frames, so only the kit's own frames are counted."""
    here = os.path.dirname(os.path.abspath(__file__))
    level = 1
    frame: Optional[FrameType] = sys._getframe(2)
    while frame is not None:
        name = frame.f_code.co_filename
        internal = "importlib" in name and "_bootstrap" in name
        if not internal:
            if not name.startswith(here + os.sep):
                return level + 1
            level += 1
        frame = frame.f_back
    return level


def _same_file(a: str, b: str) -> bool:
    try:
        return os.path.samefile(a, b)
    except OSError:
        return False
