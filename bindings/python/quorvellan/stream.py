"""TreadmillStream: the treadmill's newest state without waiting, for game loops.

A thread inside libQuorvellanStream polls the controller and reconnects in the
background; latest() copies the newest sample and never waits on the network.
While a stream runs it is the only user of the core library: do not use a
Treadmill meanwhile. One stream per process at a time.
"""
import ctypes
import enum
import os
import sys

from . import _native
from ._native import FloorSpeeds, Ring

STREAM_LIBRARY_ENV = "QUORVELLAN_STREAM_LIBRARY"
SERIAL_SIZE = 64


class StreamState(enum.IntEnum):
    STOPPED = 0
    CONNECTING = 1
    CONNECTED = 2
    LOST = 3
    CONTROLLER_TOO_OLD = 4
    WRONG_CONTROLLER = 5


class StreamOptions(ctypes.Structure):
    _fields_ = [("local", ctypes.c_int32), ("reconnect_min_ms", ctypes.c_int32),
                ("reconnect_max_ms", ctypes.c_int32), ("reserved", ctypes.c_int32),
                ("poll_rate_hz", ctypes.c_double)]


class StreamSample(ctypes.Structure):
    """One poll; speeds, ring and run state are zero unless state is CONNECTED."""
    _fields_ = [("sequence", ctypes.c_uint64), ("time_ns", ctypes.c_int64),
                ("state", ctypes.c_int32), ("last_status", ctypes.c_int32),
                ("floor_speeds", FloorSpeeds), ("floor_speeds_normalized", FloorSpeeds),
                ("floor_speed_magnitude", ctypes.c_double), ("ring", Ring),
                ("running", ctypes.c_int32), ("running_unlocked", ctypes.c_int32),
                ("serial_bytes", ctypes.c_char * SERIAL_SIZE),
                ("exchanges", ctypes.c_uint64), ("failed_reads", ctypes.c_uint64),
                ("reconnects", ctypes.c_uint64), ("dropped_commands", ctypes.c_uint64)]

    @property
    def serial_number(self):
        return self.serial_bytes.decode("utf-8", errors="replace")

    @property
    def connected(self):
        return self.state == StreamState.CONNECTED


assert ctypes.sizeof(StreamSample) == 200 and ctypes.sizeof(StreamOptions) == 24

_HANDLE = ctypes.c_void_p
_PROTOTYPES = {
    "QuorvellanStreamDefaultOptions": (None, [ctypes.POINTER(StreamOptions)]),
    "QuorvellanStreamStart": (ctypes.c_int, [ctypes.POINTER(StreamOptions), ctypes.POINTER(_HANDLE)]),
    "QuorvellanStreamErrorText": (ctypes.c_char_p, [ctypes.c_int]),
    "QuorvellanStreamStop": (None, [_HANDLE]),
    "QuorvellanStreamLatest": (None, [_HANDLE, ctypes.POINTER(StreamSample)]),
    "QuorvellanStreamClockNs": (ctypes.c_int64, []),
    "QuorvellanStreamSetUserPosition": (None, [_HANDLE, ctypes.c_double, ctypes.c_double]),
    "QuorvellanStreamSetUserRotation": (None, [_HANDLE] + [ctypes.c_double] * 4),
    "QuorvellanStreamSetManualSpeeds": (None, [_HANDLE, ctypes.c_double, ctypes.c_double]),
    "QuorvellanStreamSetBrake": (ctypes.c_int, [_HANDLE, ctypes.c_int]),
    "QuorvellanStreamSetRunState": (ctypes.c_int, [_HANDLE, ctypes.c_int]),
}


def _candidates():
    explicit = os.environ.get(STREAM_LIBRARY_ENV)
    if explicit:
        yield explicit
        return
    names = {"win32": ("QuorvellanStream.dll",)}.get(
        sys.platform, ("libQuorvellanStream.so", "libQuorvellanStream.so.1"))
    # Beside the core that was loaded (QUORVELLAN_LIBRARY may point elsewhere), then beside the package.
    folders = [os.path.dirname(_native.loaded_path()), os.path.dirname(os.path.abspath(__file__))]
    for folder in dict.fromkeys(f for f in folders if f):
        for name in names:
            yield os.path.join(folder, name)
    yield from names


_stream_library = None


def stream_library():
    """libQuorvellanStream, loaded after the core on first use.

    Loading the core first makes both share one core, and lets the stream load
    where only the core's file is: on Linux the stream needs libQuorvellanAPI.so.1,
    the core's soname, which the loaded core answers to under any file name; on
    Windows QuorvellanStream.dll takes the QuorvellanAPI.dll already loaded.
    """
    global _stream_library
    if _stream_library is None:
        _native.library()
        tried = []
        for candidate in _candidates():
            try:
                library = ctypes.CDLL(candidate)
                break
            except OSError as error:
                tried.append(f"{candidate}: {error}")
        else:
            raise OSError("QuorvellanStream library not found (set %s). Tried:\n  %s"
                          % (STREAM_LIBRARY_ENV, "\n  ".join(tried)))
        for name, (restype, argtypes) in _PROTOTYPES.items():
            function = getattr(library, name)
            function.restype, function.argtypes = restype, argtypes
        _stream_library = library
    return _stream_library


class StreamError(Exception):
    """Start failed; `code` is the library's result (already running, bad options, ...)."""

    def __init__(self, code, text):
        self.code = code
        super().__init__(f"cannot start the treadmill stream: {text}")


class TreadmillStream:
    """The background stream, as a context manager.

        with TreadmillStream(local=True) as stream:
            stream.set_user_position(0.0, 0.2)
            sample = stream.latest()
            if sample.connected:
                print(sample.floor_speeds.x, sample.running)

    Position, rotation and manual speeds keep only their newest value. Brake and
    run state are sent in order while connected; given at any other time they
    are dropped (the set_ function returns False) and counted.
    """

    def __init__(self, local=True, poll_rate_hz=250.0, reconnect_min_ms=100, reconnect_max_ms=1000):
        self._lib = stream_library()
        options = StreamOptions(1 if local else 0, reconnect_min_ms, reconnect_max_ms, 0, poll_rate_hz)
        self._handle = _HANDLE()
        result = self._lib.QuorvellanStreamStart(ctypes.byref(options), ctypes.byref(self._handle))
        if result != 0:
            raise StreamError(result, self._lib.QuorvellanStreamErrorText(result).decode())
        self._sample = StreamSample()

    def latest(self, into=None):
        """The newest sample; pass `into` to reuse a record instead of making one."""
        sample = into if into is not None else StreamSample()
        self._lib.QuorvellanStreamLatest(self._handle, ctypes.byref(sample))
        return sample

    def clock_ns(self):
        """The clock of sample.time_ns: the sample's age is clock_ns() - time_ns."""
        return self._lib.QuorvellanStreamClockNs()

    def set_user_position(self, x, y):
        self._lib.QuorvellanStreamSetUserPosition(self._handle, x, y)

    def set_user_rotation(self, w, x, y, z):
        self._lib.QuorvellanStreamSetUserRotation(self._handle, w, x, y, z)

    def set_manual_speeds(self, x, y):
        self._lib.QuorvellanStreamSetManualSpeeds(self._handle, x, y)

    def set_brake(self, applied):
        return self._lib.QuorvellanStreamSetBrake(self._handle, 1 if applied else 0) == 1

    def set_run_state(self, enabled):
        return self._lib.QuorvellanStreamSetRunState(self._handle, 1 if enabled else 0) == 1

    def stop(self):
        """Ends the stream (bounded, about 200 ms at most); calling it again does nothing."""
        if self._handle:
            handle, self._handle = self._handle, _HANDLE()
            self._lib.QuorvellanStreamStop(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
        return False

    def __del__(self):
        if getattr(self, "_handle", None):
            self.stop()
