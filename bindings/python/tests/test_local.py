"""The binding against the simulator answering as the controller on this machine."""
import math

import pytest

import quorvellan
from support import MAX_FAILED_READS, eventually, read_serial_numbers

SERIAL = "PY-SERIAL-0042"


@pytest.fixture
def treadmill(simulator):
    simulator("--identity", "local", "--serial", SERIAL)
    return quorvellan.Treadmill.connect(local=True)


def close_to(speeds, x, y, tolerance=1e-9):
    return abs(speeds.x - x) <= tolerance and abs(speeds.y - y) <= tolerance


class TestQueries:
    def test_connected_and_idle(self, treadmill):
        assert treadmill.connected is True
        assert treadmill.running is False
        assert treadmill.run_state(check_lock=True) is False
        assert close_to(treadmill.floor_speeds, 0.0, 0.0)
        assert close_to(treadmill.floor_speeds_normalized, 0.0, 0.0)
        assert treadmill.floor_speed_magnitude == 0.0

    def test_ring_carries_the_fourth_value_after_a_good_read(self, treadmill):
        ring = treadmill.ring
        assert (ring.x, ring.y, ring.z, ring.w) == (0.0, 0.0, 0.0, 0.45)

    def test_info_and_lock_need_no_controller(self, treadmill):
        assert bytes(treadmill.info.reserved) == bytes(96)
        treadmill.set_api_lock(True)
        assert treadmill.api_lock is False

    def test_serial_number_read_10000_times(self, treadmill):
        good, failed = read_serial_numbers(treadmill, 10000)
        assert len(good) == 10000 and set(good) == {SERIAL}
        assert failed <= MAX_FAILED_READS

    def test_each_serial_number_is_a_fresh_buffer(self, lib, treadmill):
        first = lib.GetTreadmillSerialNumber()
        second = lib.GetTreadmillSerialNumber()
        assert first != second
        assert quorvellan._native.take_serial_number(first) == SERIAL
        assert quorvellan._native.take_serial_number(second) == SERIAL


class TestCommands:
    def test_run_state_follows_the_command(self, treadmill):
        treadmill.set_run_state(True)
        assert treadmill.running is True
        assert treadmill.run_state(check_lock=True) is True
        treadmill.set_run_state(False)
        assert treadmill.running is False

    def test_manual_speeds_are_reached_and_the_brake_stops_the_belts(self, treadmill):
        treadmill.set_run_state(True)
        treadmill.set_manual_speeds(0.6, -0.3)
        assert eventually(lambda: close_to(treadmill.floor_speeds, 0.6, -0.3, 1e-6), treadmill=treadmill)
        assert close_to(treadmill.floor_speeds_normalized, 0.4, -0.2, 1e-6)
        assert treadmill.floor_speed_magnitude == pytest.approx(math.hypot(0.6, -0.3))
        treadmill.set_brake(True)
        # 0.0 is also the failure result: the run state read next proves the connection held.
        assert eventually(lambda: treadmill.floor_speed_magnitude == 0.0 and treadmill.running,
                          treadmill=treadmill)
        treadmill.set_brake(False)
        assert eventually(lambda: close_to(treadmill.floor_speeds, 0.6, -0.3, 1e-6), treadmill=treadmill)

    def test_walking_forward_moves_the_belt_back_and_the_ring_follows(self, treadmill):
        treadmill.set_run_state(True)
        treadmill.set_user_position(0.0, 0.2)
        assert eventually(lambda: treadmill.floor_speeds.y < -0.1, treadmill=treadmill)
        assert eventually(lambda: abs(treadmill.ring.y - 0.2) < 1e-3, treadmill=treadmill)
        ring = treadmill.ring
        assert ring.x == pytest.approx(0.0) and ring.w == 0.45


class TestWire:
    """What the binding's arguments become on the wire, as the simulator logs it."""

    @pytest.fixture
    def logged(self, simulator):
        running = simulator("--identity", "local", "--log")
        return running, quorvellan.Treadmill.connect(local=True)

    def test_doubles_arrive_in_argument_order(self, logged):
        running, treadmill = logged
        treadmill.set_manual_speeds(0.5, -0.25)
        treadmill.set_user_position(1.5, -2.0)
        treadmill.set_user_rotation(0.5, 0.25, -0.125, 1.0)
        treadmill.floor_speeds
        expected = ('"manualXSpeed":0.5,"manualYSpeed":-0.25,'
                    '"sender":{"name":"QUORVELLAN CONTROLLER API","version":{"major":1,"minor":3}},'
                    '"user position x":1.5,"user position y":-2.0,'
                    '"user rotation w":0.5,"user rotation x":0.25,"user rotation y":-0.125,"user rotation z":1.0}')
        assert eventually(lambda: expected in running.output()), running.output()

    def test_booleans_arrive_as_json_booleans(self, logged):
        running, treadmill = logged
        treadmill.set_brake(True)
        treadmill.set_run_state(False)
        assert eventually(lambda: '{"brake":true,"sender"' in running.output()), running.output()
        assert eventually(lambda: '{"enabled":false,"sender"' in running.output()), running.output()


class TestLock:
    def test_locked_treadmill_runs_but_not_unlocked(self, simulator):
        simulator("--identity", "local", "--locked")
        treadmill = quorvellan.Treadmill.connect(local=True)
        treadmill.set_run_state(True)
        assert treadmill.running is True
        assert treadmill.run_state(check_lock=True) is False


class TestContextManager:
    def test_with_block_connects_and_leaves_cleanly(self, simulator):
        simulator("--identity", "local", "--serial", SERIAL)
        with quorvellan.Treadmill.connect(local=True) as treadmill:
            assert treadmill.serial_number == SERIAL
        # After the block the library's service is stopped; connecting again restarts it.
        with quorvellan.Treadmill.connect(local=True) as treadmill:
            assert treadmill.serial_number == SERIAL
