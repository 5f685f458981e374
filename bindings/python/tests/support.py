"""Helpers for the binding tests: the simulator as a child process, polling."""
import subprocess
import threading
import time

READY_TIMEOUT_S = 10.0


class Simulator:
    """A running quorvellan-controller-sim; its output is drained so it never blocks."""

    def __init__(self, program, *options):
        self.process = subprocess.Popen([program, "--port", "6158", *options],
                                        stdout=subprocess.PIPE, stderr=subprocess.STDOUT, text=True)
        self._lines = []
        self._ready = threading.Event()
        threading.Thread(target=self._drain, daemon=True).start()
        ready = self._ready.wait(READY_TIMEOUT_S)
        if not ready or self.process.poll() is not None:
            self.stop()
            raise RuntimeError("simulator did not start: " + self.output())

    def _drain(self):
        for line in self.process.stdout:
            self._lines.append(line)
            if line.startswith("listening on"):
                self._ready.set()
        self._ready.set()  # it exited: stop waiting, the caller looks at the output

    def output(self):
        return "".join(self._lines)

    def stop(self):
        if self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=5)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait()


def eventually(condition, timeout_s=5.0, interval_s=0.02, treadmill=None, local=True):
    """Polls condition() until it is true or the time is up; returns its last value.
    With a treadmill, a connection lost meanwhile is restored before each poll."""
    deadline = time.monotonic() + timeout_s
    while True:
        if treadmill is not None:
            keep_connected(treadmill, local)
        value = condition()
        if value or time.monotonic() > deadline:
            return value
        time.sleep(interval_s)


# This machine stalls now and then for about 100 ms; a reply caught by such a
# stall misses the read deadline and the library closes the connection. Long
# loops therefore reconnect and count such events instead of failing on them.
MAX_FAILED_READS = 20


def keep_connected(treadmill, local=True):
    """Reconnects after a lost connection; True when it had to."""
    if treadmill.connected:
        return False
    treadmill.reconnect(local)
    return True


def read_serial_numbers(treadmill, count, local=True):
    """Reads the serial number until `count` reads succeeded.

    A failed read must give "" and is followed by a reconnect when the
    connection is lost. Returns the good reads and the number of failed ones
    (the loop gives up after MAX_FAILED_READS failures).
    """
    good, failed = [], 0
    while len(good) < count and failed <= MAX_FAILED_READS:
        serial = treadmill.serial_number
        if serial:
            good.append(serial)
            continue
        failed += 1
        keep_connected(treadmill, local)
    return good, failed
