"""Python binding of QuorvellanAPI, the client library for two-dimensional treadmills.

The shared library is found through the environment variable QUORVELLAN_LIBRARY,
next to this package, in the library folder of the prefix it was installed into
with `cmake --install`, or on the loader path, in that order.
"""
from ._native import FloorSpeeds, Ring, TreadmillInfo, library, load_library
from .stream import RecordingStatus, StreamError, StreamSample, StreamState, TreadmillStream
from .treadmill import Status, Treadmill, TreadmillError, describe_status

__all__ = ["FloorSpeeds", "Ring", "TreadmillInfo", "Status", "Treadmill", "TreadmillError",
           "describe_status", "library", "load_library",
           "StreamError", "StreamSample", "StreamState", "TreadmillStream", "RecordingStatus",
           "Recording", "RecordingError", "RecordingWarning", "read_recording"]
__version__ = "1.3.0"

_RECORDING_NAMES = {"Recording", "RecordingError", "RecordingWarning", "read_recording"}


def __getattr__(name):
    # The recording reader is imported on first use, not with the package: else
    # `python -m quorvellan.recording` would find it imported already and run a
    # second copy of it as the program (runpy warns of that on every run).
    if name in _RECORDING_NAMES:
        from . import recording
        return getattr(recording, name)
    raise AttributeError(f"module {__name__!r} has no attribute {name!r}")
