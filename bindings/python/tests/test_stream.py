"""TreadmillStream against the simulator: the sample, commands, a controller
killed and restarted, and the rule for on/off commands given while disconnected."""
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
        status = stream.recording()
        assert not status.recording and status.last_error == 2  # ENOENT
        wait_for(stream, lambda s: s.connected)
    with fast_stream() as stream:
        assert repr(stream.recording()) == \
            "RecordingStatus(recording=False, last_error=0, lines_written=0, lines_lost=0)"
