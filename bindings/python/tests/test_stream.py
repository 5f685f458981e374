"""TreadmillStream against the simulator: the sample, commands, a controller
killed and restarted, the rule for on/off commands given while disconnected,
latest() racing stop(), and a forked child."""
import subprocess
import sys
import threading
import time

import pytest

import quorvellan
from quorvellan import StreamState
from support import eventually

SERIAL = "PY-STREAM-7"


def fast_stream():
    return quorvellan.TreadmillStream(local=True, reconnect_min_ms=20, reconnect_max_ms=100)


def wait_for(stream, condition, timeout_s=5.0):
    sample = quorvellan.StreamSample()
    assert eventually(lambda: condition(stream.latest(into=sample)), timeout_s), \
        f"state {sample.state}, status {sample.last_status}"
    return sample


def test_sample_and_commands_against_the_simulator(simulator):
    simulator("--identity", "local", "--serial", SERIAL)
    with fast_stream() as stream:
        sample = wait_for(stream, lambda s: s.connected and s.time_ns != 0)
        assert sample.serial_number == SERIAL
        assert sample.last_status == 0
        assert sample.running == 0
        assert sample.ring.w == 0.45
        assert 0 <= stream.clock_ns() - sample.time_ns < 5_000_000_000

        assert stream.set_run_state(True) is True
        wait_for(stream, lambda s: s.running == 1 and s.running_unlocked == 1)
        stream.set_user_position(0.0, 0.3)  # ahead of the centre: the belts carry the user back
        sample = wait_for(stream, lambda s: s.floor_speed_magnitude > 0.0)
        assert sample.floor_speeds_normalized.y == pytest.approx(sample.floor_speeds.y / 1.5)
        assert stream.set_run_state(False) is True
        wait_for(stream, lambda s: s.running == 0)
        assert sample.dropped_commands == 0


def test_controller_killed_and_restarted(simulator):
    running = simulator("--identity", "local", "--serial", SERIAL)
    with fast_stream() as stream:
        wait_for(stream, lambda s: s.connected)
        running.process.kill()
        running.process.wait()
        lost = wait_for(stream, lambda s: s.state == StreamState.LOST)
        assert lost.floor_speed_magnitude == 0.0 and lost.running == 0
        assert stream.set_run_state(True) is False  # dropped: never sent later

        time.sleep(0.3)
        simulator("--identity", "local", "--serial", SERIAL)
        back = wait_for(stream, lambda s: s.connected and s.time_ns > lost.time_ns)
        assert back.reconnects >= 1
        assert back.dropped_commands == 1
        time.sleep(0.2)
        assert stream.latest().running == 0


def test_second_stream_fails_with_a_reason_and_stop_is_bounded():
    stream = fast_stream()
    with pytest.raises(quorvellan.StreamError) as failure:
        quorvellan.TreadmillStream()
    assert "already" in str(failure.value)
    started = time.monotonic()
    stream.stop()
    assert time.monotonic() - started < 1.0
    stream.stop()
    with fast_stream() as again:
        assert again.latest().state in (StreamState.CONNECTING, StreamState.LOST)


class _WatchedLibrary:
    """The stream library with a slow Stop, counting calls that use a handle
    Stop has begun to free (they are not passed on, so nothing reads freed
    memory). A reader sleeps between taking the handle and using it, as a
    thread preempted there would."""

    def __init__(self, library):
        self._library = library
        self._stopping = set()
        self.misuses = 0

    def __getattr__(self, name):
        function = getattr(self._library, name)
        if name == "QuorvellanStreamStop":
            def stop(handle):
                self._stopping.add(handle.value)
                time.sleep(0.05)
                function(handle)
            return stop
        if name == "QuorvellanStreamLatest":
            def latest(handle, sample):
                time.sleep(0.001)
                if handle.value is not None and handle.value in self._stopping:
                    self.misuses += 1
                    return None
                return function(handle, sample)
            return latest
        return function


def test_latest_racing_stop_never_uses_a_freed_handle():
    for _ in range(5):
        stream = fast_stream()
        watched = _WatchedLibrary(stream._lib)
        stream._lib = watched
        stopped = threading.Event()

        def read():
            while not stopped.is_set():
                stream.latest()

        readers = [threading.Thread(target=read) for _ in range(2)]
        for reader in readers:
            reader.start()
        time.sleep(0.02)
        stream.stop()
        stopped.set()
        for reader in readers:
            reader.join()
        assert watched.misuses == 0
        assert stream.latest().state == StreamState.STOPPED


# A program that forks while its stream runs; the child just exits, so the
# copy of the stream is stopped on the way out. Exit codes say what failed.
_FORK_SCRIPT = r"""
import os, sys, time
import quorvellan

def wait_for(condition, timeout_s=10.0):
    deadline = time.monotonic() + timeout_s
    while not condition():
        if time.monotonic() > deadline:
            return False
        time.sleep(0.01)
    return True

stream = quorvellan.TreadmillStream(local=True, reconnect_min_ms=20, reconnect_max_ms=100)
if not wait_for(lambda: stream.latest().connected and stream.latest().time_ns != 0):
    sys.exit(3)
child = os.fork()
if child == 0:
    sys.exit(0)
status = []
if not wait_for(lambda: status.append(os.waitpid(child, os.WNOHANG)) or status[-1][0] != 0, 20.0):
    os.kill(child, 9)
    os.waitpid(child, 0)
    print("the child hung on its way out")
    sys.exit(4)
if status[-1][1] != 0:
    print("child ended with", status[-1][1])
    sys.exit(5)
first = stream.latest().sequence
wait_for(lambda: stream.latest().sequence > first + 50)
sample = stream.latest()
print("parent: state", sample.state, "reconnects", sample.reconnects, "failed reads", sample.failed_reads)
sys.exit(0 if sample.connected and sample.reconnects == 0 and sample.failed_reads == 0 else 6)
"""


def test_a_forked_child_that_exits_leaves_the_parents_stream_alone(simulator):
    simulator("--identity", "local", "--serial", SERIAL)
    result = subprocess.run([sys.executable, "-W", "ignore", "-c", _FORK_SCRIPT], capture_output=True,
                            text=True, timeout=90)
    assert result.returncode == 0, result.stdout + result.stderr


def test_start_recording_writes_what_read_recording_reads_and_samples_show_their_values(simulator, tmp_path):
    simulator("--identity", "local", "--serial", SERIAL)
    path = tmp_path / "session.jsonl"
    with quorvellan.TreadmillStream.start_recording(path, reconnect_min_ms=20, reconnect_max_ms=100) as stream:
        sample = wait_for(stream, lambda s: s.connected and s.sequence > 20)
        assert sample.state is StreamState.CONNECTED
        shown = repr(sample)
        for part in ("state=CONNECTED", f"serial_number='{SERIAL}'", f"sequence={sample.sequence}",
                     "ring=(+0.000, +0.000, +0.000)", f"exchanges={sample.exchanges}"):
            assert part in shown, shown
        assert stream.recording().recording and stream.recording().lines_written > 0
    recording = quorvellan.read_recording(path)
    assert len(recording) > 10 and recording.connections[0].serial == SERIAL
    assert [c.state for c in recording.connections][-1] == "stopped"
    unknown = quorvellan.StreamSample(state_code=9)
    assert unknown.state == 9 and "state=9" in repr(unknown)
    with pytest.raises(ValueError):
        quorvellan.TreadmillStream.start_recording("")


def test_a_recording_that_cannot_be_written_is_reported_and_the_stream_runs(simulator):
    simulator("--identity", "local", "--serial", SERIAL)
    with quorvellan.TreadmillStream.start_recording("/nonexistent-folder/x.jsonl") as stream:
        # The file is opened by the recorder's own thread: the error comes soon after Start.
        eventually(lambda: stream.recording().last_error != 0, 10)
        status = stream.recording()
        assert not status.recording and status.last_error == 2  # ENOENT
        wait_for(stream, lambda s: s.connected)
    with fast_stream() as stream:
        assert repr(stream.recording()) == \
            "RecordingStatus(recording=False, last_error=0, lines_written=0, lines_lost=0)"
