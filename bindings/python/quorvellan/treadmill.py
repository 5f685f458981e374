"""A Pythonic face of the library: one Treadmill per process."""
import ctypes
import enum
import os
import re
import threading

from . import _native


class Status(enum.IntEnum):
    """What InitInternal reports through its status code."""
    CONNECTED = 0
    VERSION_TOO_OLD = 3
    NOT_LOCAL_CONTROLLER = 4
    NOT_REMOTE_CONTROLLER = 5
    FAILURE = 8

    @property
    def meaning(self):
        return _MEANINGS[self]


_MEANINGS = {
    Status.CONNECTED: "connected, handshake passed",
    Status.VERSION_TOO_OLD: "the controller's version is below the required minimum: update the controller",
    Status.NOT_LOCAL_CONTROLLER: "no reply, or the peer is not the local controller interface: another "
                                 "program on that port, or a network controller (connect with local=False)",
    Status.NOT_REMOTE_CONTROLLER: "no reply, or the peer is not the network controller: another program "
                                  "on that port, or the local controller interface (connect with local=True)",
    Status.FAILURE: "nothing accepted the connection, or the handshake reply was malformed: is the "
                    "controller (or quorvellan-controller-sim) running at that host and port?",
}

ADDRESS_ENV = "QUORVELLAN_CONTROLLER"


# host[:port] or [IPv6]:port as the library reads it; it connects nowhere for
# anything else (and prints why).
_HOST_PORT = re.compile(r"(\[[0-9A-Fa-f.]*:[0-9A-Fa-f:.]*\]|[A-Za-z0-9._-]{1,253})(?::(\d{1,5}))?")


def controller_address(local=True):
    """What the library tried, for messages: $QUORVELLAN_CONTROLLER when set, else the default."""
    chosen = os.environ.get(ADDRESS_ENV, "").strip()
    if not chosen:
        return "localhost:6158" if local else "the network host built into the library, port 6158"
    match = _HOST_PORT.fullmatch(chosen)
    if not match or (match.group(2) and not 1 <= int(match.group(2)) <= 65535):
        return f"nothing: {ADDRESS_ENV}={chosen!r} is not host[:port], see the library's Error: line"
    return f"{match.group(1)}:{int(match.group(2) or 6158)} (from {ADDRESS_ENV})"


def describe_status(code):
    """Meaning of a status code, also for codes this binding does not know."""
    try:
        return Status(code).meaning
    except ValueError:
        return "unknown status code"


class TreadmillError(Exception):
    """A failed connect; `status_code` is the library's code (3, 4, 5 or 8)."""

    def __init__(self, status_code, local=True):
        self.status_code = status_code
        self.meaning = describe_status(status_code)
        self.address = controller_address(local)
        super().__init__(f"cannot connect to the treadmill controller at {self.address}: "
                         f"status {status_code} ({self.meaning})")


# The core takes calls from one thread at a time and has one session per
# process: every Treadmill goes through this one lock.
_CORE_LOCK = threading.RLock()


class _Serialised:
    """The library's functions, each called under the core's lock."""

    def __init__(self, library):
        self._library = library

    def __getattr__(self, name):
        function = getattr(self._library, name)

        def call(*args):
            with _CORE_LOCK:
                return function(*args)

        setattr(self, name, call)
        return call


class Treadmill:
    """The treadmill behind the controller process.

    Safe to use from several threads: calls into the library are serialised by
    one lock (a call waits while another thread's call, up to 3 s for connect,
    is in progress). For a game loop that must never wait, use TreadmillStream.
    Commands that set speeds, position or rotation are queued and leave with the
    next query or on/off command; a key set twice before that keeps its first value.

        with Treadmill.connect(local=True) as treadmill:
            treadmill.set_run_state(True)
            print(treadmill.floor_speeds)
    """

    def __init__(self, library=None):
        self._lib = _Serialised(library if library is not None else _native.library())

    @classmethod
    def connect(cls, local=True, library=None):
        """Connects and checks the controller; raises TreadmillError on failure."""
        treadmill = cls(library)
        treadmill.reconnect(local)
        return treadmill

    def reconnect(self, local=True):
        """Connects again (same session); raises TreadmillError on failure."""
        status = ctypes.c_int(-1)
        if self._lib.InitInternal(ctypes.byref(status), local) != 1:
            raise TreadmillError(status.value, local)

    def close(self):
        """Stops the library's network service (DeInitInternal)."""
        self._lib.DeInitInternal()

    def __enter__(self):
        return self

    def __exit__(self, *exc_info):
        self.close()
        return False

    # Queries: one exchange each (except info and api_lock), fallbacks on failure.

    @property
    def connected(self):
        return self._lib.CheckConnection() == 1

    @property
    def floor_speeds(self):
        return self._lib.GetFloorSpeeds()

    @property
    def floor_speeds_normalized(self):
        return self._lib.GetFloorSpeedsNormalized()

    @property
    def floor_speed_magnitude(self):
        return self._lib.GetFloorSpeedMagnitude()

    @property
    def ring(self):
        return self._lib.GetRing()

    def run_state(self, check_lock=False):
        """True when running; with check_lock, only when also not locked."""
        return self._lib.GetTreadmillRunState(check_lock)

    @property
    def running(self):
        return self.run_state(False)

    @property
    def serial_number(self):
        """The serial number, or "" when it cannot be read."""
        return _native.take_serial_number(self._lib.GetTreadmillSerialNumber())

    @property
    def info(self):
        return self._lib.GetTreadmillInfo()

    @property
    def api_lock(self):
        return self._lib.GetAPILock()

    # Commands.

    def set_brake(self, applied):
        self._lib.SetBrake(bool(applied))

    def set_run_state(self, enabled):
        self._lib.SetTreadmillRunState(bool(enabled))

    def set_manual_speeds(self, x, y):
        self._lib.SetManualSpeeds(x, y)

    def set_user_position(self, x, y):
        self._lib.SetUserPosition(x, y)

    def set_user_rotation(self, w, x, y, z):
        self._lib.SetUserRotation(w, x, y, z)

    def set_api_lock(self, locked):
        """Accepted and ignored by the library."""
        self._lib.SetAPILock(bool(locked))
