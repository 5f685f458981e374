"""Python binding of QuorvellanAPI, the client library for two-dimensional treadmills.

The shared library is found through the environment variable QUORVELLAN_LIBRARY,
next to this package, or on the loader path, in that order.
"""
from ._native import FloorSpeeds, Ring, TreadmillInfo, library, load_library
from .recording import Recording, RecordingError, RecordingWarning, read_recording
from .stream import RecordingStatus, StreamError, StreamSample, StreamState, TreadmillStream
from .treadmill import Status, Treadmill, TreadmillError, describe_status

__all__ = ["FloorSpeeds", "Ring", "TreadmillInfo", "Status", "Treadmill", "TreadmillError",
           "describe_status", "library", "load_library",
           "StreamError", "StreamSample", "StreamState", "TreadmillStream", "RecordingStatus",
           "Recording", "RecordingError", "RecordingWarning", "read_recording"]
__version__ = "1.3.0"
