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
import threading

from . import _native
from ._native import FloorSpeeds, Ring

STREAM_LIBRARY_ENV = "QUORVELLAN_STREAM_LIBRARY"
SERIAL_SIZE = 64


class StreamState(enum.IntEnum):
    """A sample's connection state; compares equal to the C constants."""
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
                ("state_code", ctypes.c_int32), ("last_status", ctypes.c_int32),
                ("floor_speeds", FloorSpeeds), ("floor_speeds_normalized", FloorSpeeds),
                ("floor_speed_magnitude", ctypes.c_double), ("ring", Ring),
                ("running", ctypes.c_int32), ("running_unlocked", ctypes.c_int32),
                ("serial_bytes", ctypes.c_char * SERIAL_SIZE),
                ("exchanges", ctypes.c_uint64), ("failed_reads", ctypes.c_uint64),
                ("reconnects", ctypes.c_uint64), ("dropped_commands", ctypes.c_uint64)]

    @property
    def state(self):
        """StreamState; a code this binding does not know stays a plain int."""
        try:
            return StreamState(self.state_code)
        except ValueError:
            return self.state_code

    @property
    def serial_number(self):
        return self.serial_bytes.decode("utf-8", errors="replace")

    @property
    def connected(self):
        return self.state_code == StreamState.CONNECTED

    def __repr__(self):
        state = self.state.name if isinstance(self.state, StreamState) else self.state
        return (f"StreamSample(sequence={self.sequence}, time_ns={self.time_ns}, state={state}, "
                f"last_status={self.last_status}, floor_speeds=({self.floor_speeds.x:+.3f}, "
                f"{self.floor_speeds.y:+.3f}), magnitude={self.floor_speed_magnitude:.3f}, "
                f"ring=({self.ring.x:+.3f}, {self.ring.y:+.3f}, {self.ring.z:+.3f}), "
                f"running={bool(self.running)}, running_unlocked={bool(self.running_unlocked)}, "
                f"serial_number={self.serial_number!r}, exchanges={self.exchanges}, "
                f"failed_reads={self.failed_reads}, reconnects={self.reconnects}, "
                f"dropped_commands={self.dropped_commands})")


class RecordingStatus(ctypes.Structure):
    """The recording's state: lines written and lost, the last errno (0: none)."""
    _fields_ = [("recording_flag", ctypes.c_int32), ("last_error", ctypes.c_int32),
                ("lines_written", ctypes.c_uint64), ("lines_lost", ctypes.c_uint64)]

    @property
    def recording(self):
        return self.recording_flag != 0

    def __repr__(self):
        return (f"RecordingStatus(recording={self.recording}, last_error={self.last_error}, "
                f"lines_written={self.lines_written}, lines_lost={self.lines_lost})")


assert ctypes.sizeof(StreamSample) == 200 and ctypes.sizeof(StreamOptions) == 24
assert ctypes.sizeof(RecordingStatus) == 24

_HANDLE = ctypes.c_void_p
_PROTOTYPES = {
    "QuorvellanStreamDefaultOptions": (None, [ctypes.POINTER(StreamOptions)]),
    "QuorvellanStreamStart": (ctypes.c_int, [ctypes.POINTER(StreamOptions), ctypes.POINTER(_HANDLE)]),
    "QuorvellanStreamStartRecording": (ctypes.c_int, [ctypes.POINTER(StreamOptions), ctypes.c_char_p,
                                                       ctypes.POINTER(_HANDLE)]),
    "QuorvellanStreamRecording": (None, [_HANDLE, ctypes.POINTER(RecordingStatus)]),
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
    # Beside the core that was loaded (QUORVELLAN_LIBRARY may point elsewhere), then
    # where the core is looked for: beside the package, in the prefix it was installed into.
    folders = [os.path.dirname(_native.loaded_path())] + _native.library_folders()
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

    With record_path (or start_recording) the stream also writes a recording;
    without one, $QUORVELLAN_RECORD is honoured as by the C library.

    Position, rotation and manual speeds keep only their newest value. Brake and
    run state are sent in order while connected; given at any other time they
    are dropped (the set_ function returns False) and counted.

    Any thread may call latest() and the set_ functions, also while another
    one calls stop(): a short lock keeps the handle from being freed during
    such a call (stop() frees it outside the lock, so latest() never waits for
    Stop). After stop(), latest() gives a STOPPED sample and commands do nothing.
    """

    def __init__(self, local=True, poll_rate_hz=250.0, reconnect_min_ms=100, reconnect_max_ms=1000,
                 record_path=None):
        self._lib = stream_library()
        options = StreamOptions(1 if local else 0, reconnect_min_ms, reconnect_max_ms, 0, poll_rate_hz)
        self._lock = threading.Lock()
        self._pid = os.getpid()
        self._handle = _HANDLE()
        path = os.fsencode(record_path) if record_path else None
        result = self._lib.QuorvellanStreamStartRecording(ctypes.byref(options), path, ctypes.byref(self._handle))
        if result != 0:
            raise StreamError(result, self._lib.QuorvellanStreamErrorText(result).decode())
        self._sample = StreamSample()

    @classmethod
    def start_recording(cls, path, **options):
        """A stream that records to `path` (docs/recording-format.md; read it back with
        quorvellan.read_recording). A file that cannot be written does not stop the
        stream: recording() tells."""
        if not path:
            raise ValueError("start_recording needs a file name")
        return cls(record_path=path, **options)

    def recording(self):
        """RecordingStatus: recording, last_error, lines_written, lines_lost (all zero without a file)."""
        status = RecordingStatus()
        with self._lock:
            self._lib.QuorvellanStreamRecording(self._handle, ctypes.byref(status))
        return status

    def latest(self, into=None):
        """The newest sample; pass `into` to reuse a record instead of making one."""
        sample = into if into is not None else StreamSample()
        with self._lock:
            self._lib.QuorvellanStreamLatest(self._handle, ctypes.byref(sample))
        return sample

    def clock_ns(self):
        """The clock of sample.time_ns: the sample's age is clock_ns() - time_ns."""
        return self._lib.QuorvellanStreamClockNs()

    def set_user_position(self, x, y):
        with self._lock:
            self._lib.QuorvellanStreamSetUserPosition(self._handle, x, y)

    def set_user_rotation(self, w, x, y, z):
        with self._lock:
            self._lib.QuorvellanStreamSetUserRotation(self._handle, w, x, y, z)

    def set_manual_speeds(self, x, y):
        with self._lock:
            self._lib.QuorvellanStreamSetManualSpeeds(self._handle, x, y)

    def set_brake(self, applied):
        with self._lock:
            return self._lib.QuorvellanStreamSetBrake(self._handle, 1 if applied else 0) == 1

    def set_run_state(self, enabled):
        with self._lock:
            return self._lib.QuorvellanStreamSetRunState(self._handle, 1 if enabled else 0) == 1

    def stop(self):
        """Ends the stream (bounded, about 200 ms at most); calling it again does nothing.

        In a child of os.fork() it releases the parent's stream at once (the
        library leaves the parent's thread and connection alone), without the
        lock, which a thread of the parent may have held when it forked."""
        if os.getpid() != self._pid:
            handle, self._handle = self._handle, _HANDLE()
        else:
            with self._lock:
                handle, self._handle = self._handle, _HANDLE()
        if handle:
            self._lib.QuorvellanStreamStop(handle)

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.stop()
        return False

    def __del__(self):
        if getattr(self, "_handle", None):
            self.stop()
