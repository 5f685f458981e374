"""ctypes declarations of the library's C entry points.

Every prototype is set here (argtypes and restype), because ctypes otherwise
assumes int arguments and an int result: a double would be passed in the
wrong register and a one-byte bool read as four bytes.
"""
import ctypes
import ctypes.util
import os
import sys
import sysconfig

LIBRARY_ENV = "QUORVELLAN_LIBRARY"

if sys.platform == "win32":
    _FILE_NAMES = ("QuorvellanAPI.dll",)
elif sys.platform == "darwin":
    _FILE_NAMES = ("libQuorvellanAPI.dylib",)
else:
    _FILE_NAMES = ("libQuorvellanAPI.so", "libQuorvellanAPI.so.1")


class FloorSpeeds(ctypes.Structure):
    """Floor belt speeds along x and y (two doubles, returned by value)."""
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double)]

    def __repr__(self):
        return f"FloorSpeeds(x={self.x!r}, y={self.y!r})"


class Ring(ctypes.Structure):
    """Ring position; w is 0.45 after a good read."""
    _fields_ = [("x", ctypes.c_double), ("y", ctypes.c_double),
                ("z", ctypes.c_double), ("w", ctypes.c_double)]

    def __repr__(self):
        return f"Ring(x={self.x!r}, y={self.y!r}, z={self.z!r}, w={self.w!r})"


class TreadmillInfo(ctypes.Structure):
    """Reserved record of 96 bytes, always returned all zero."""
    _fields_ = [("reserved", ctypes.c_ubyte * 96)]


# name: (restype, argtypes)
_PROTOTYPES = {
    "InitInternal": (ctypes.c_int, [ctypes.POINTER(ctypes.c_int), ctypes.c_bool]),
    "DeInitInternal": (ctypes.c_int, []),
    "CheckConnection": (ctypes.c_int, []),
    "GetFloorSpeeds": (FloorSpeeds, []),
    "GetFloorSpeedsNormalized": (FloorSpeeds, []),
    "GetFloorSpeedMagnitude": (ctypes.c_double, []),
    "GetRing": (Ring, []),
    "GetTreadmillRunState": (ctypes.c_bool, [ctypes.c_bool]),
    # c_void_p, not c_char_p: the pointer itself tells a fresh buffer (ours to
    # free) from the library's constant empty string (never to be freed).
    "GetTreadmillSerialNumber": (ctypes.c_void_p, []),
    "GetTreadmillInfo": (TreadmillInfo, []),
    "GetAPILock": (ctypes.c_bool, []),
    "SetBrake": (None, [ctypes.c_bool]),
    "SetTreadmillRunState": (None, [ctypes.c_bool]),
    "SetManualSpeeds": (None, [ctypes.c_double, ctypes.c_double]),
    "SetUserPosition": (None, [ctypes.c_double, ctypes.c_double]),
    "SetUserRotation": (None, [ctypes.c_double] * 4),
    "SetAPILock": (None, [ctypes.c_bool]),
}


def library_folders():
    """The folders the package's own libraries may be in: its own folder (the wheel,
    a copied package), then, when the sources are where `cmake --install` puts them
    (<prefix>/share/QuorvellanAPI/python/quorvellan), that prefix's library folders."""
    here = os.path.dirname(os.path.abspath(__file__))
    python = os.path.dirname(here)
    project = os.path.dirname(python)
    if (os.path.basename(python), os.path.basename(project)) != ("python", "QuorvellanAPI"):
        return [here]
    prefix = os.path.dirname(os.path.dirname(project))
    if sys.platform == "win32":
        return [here, os.path.join(prefix, "bin")]
    # lib/<multiarch> is where a Debian-style prefix such as /usr has it.
    multiarch = sysconfig.get_config_var("MULTIARCH") or getattr(sys.implementation, "_multiarch", "")
    names = ([os.path.join("lib", multiarch)] if multiarch else []) + ["lib64", "lib"]
    return [here] + [os.path.join(prefix, name) for name in names]


def _candidates():
    """Where to look, in order: the environment, library_folders(), the loader path."""
    explicit = os.environ.get(LIBRARY_ENV)
    if explicit:
        yield explicit
        return
    for folder in library_folders():
        for name in _FILE_NAMES:
            path = os.path.join(folder, name)
            if os.path.exists(path):
                yield path
    yield from _FILE_NAMES
    found = ctypes.util.find_library("QuorvellanAPI")
    if found:
        yield found


def _declare(library):
    for name, (restype, argtypes) in _PROTOTYPES.items():
        function = getattr(library, name)
        function.restype = restype
        function.argtypes = argtypes
    return library


def load_library():
    """Loads the library and declares every entry point; raises OSError when none is found."""
    global _loaded_path
    tried = []
    for candidate in _candidates():
        try:
            library = _declare(ctypes.CDLL(candidate))
            _loaded_path = candidate
            return library
        except OSError as error:
            tried.append(f"{candidate}: {error}")
    raise OSError("QuorvellanAPI library not found (set %s). Tried:\n  %s"
                  % (LIBRARY_ENV, "\n  ".join(tried)))


_library = None
_loaded_path = ""


def loaded_path():
    """The path or name the core was loaded from ("" before it is)."""
    return _loaded_path


def library():
    """The loaded library, loaded on first use."""
    global _library
    if _library is None:
        _library = load_library()
    return _library


def _c_free():
    """free() of the C runtime the library allocates with.

    The Windows DLL allocates with msvcrt (its import table names it), so its
    buffers go back to msvcrt's free, whatever runtime Python itself uses.
    """
    if sys.platform == "win32":
        free = ctypes.CDLL("msvcrt").free
    else:
        free = ctypes.CDLL(None).free  # the process's malloc family, as the library sees it
    free.argtypes = [ctypes.c_void_p]
    free.restype = None
    return free


_free = _c_free()


def take_serial_number(address):
    """Copies the string the library returned and releases the buffer when it is ours.

    The failure result is the library's constant empty string, which must never
    be freed. A successful read of an empty serial number is a fresh one-byte
    buffer that looks the same; it cannot be told apart by content, so an
    empty result is left alone (one byte leaked at most).
    """
    if not address:
        return ""
    text = ctypes.string_at(address).decode("utf-8", errors="replace")
    if text:
        _free(address)
    return text
