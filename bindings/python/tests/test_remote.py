"""The binding against the simulator answering as the controller on the network
(run with the library variant whose network host is this machine)."""
import pytest

import quorvellan
from support import eventually

SERIAL = "NET-7"


def connect_error():
    with pytest.raises(quorvellan.TreadmillError) as caught:
        quorvellan.Treadmill.connect(local=False)
    return caught.value


class TestRemote:
    def test_connect_query_and_command(self, simulator):
        simulator("--identity", "remote", "--serial", SERIAL)
        treadmill = quorvellan.Treadmill.connect(local=False)
        assert treadmill.connected is True
        assert treadmill.serial_number == SERIAL
        assert treadmill.running is False
        treadmill.set_run_state(True)
        treadmill.set_manual_speeds(-0.9, 0.0)
        assert eventually(lambda: abs(treadmill.floor_speeds.x + 0.9) < 1e-6, treadmill=treadmill, local=False)
        assert treadmill.floor_speeds_normalized.x == pytest.approx(-0.6)
        assert treadmill.ring.w == 0.45

    def test_local_identity_answering_the_network_handshake(self, simulator):
        simulator("--identity", "local")
        assert connect_error().status_code == quorvellan.Status.NOT_REMOTE_CONTROLLER

    def test_version_too_old(self, simulator):
        simulator("--identity", "remote", "--version", "1.2.1")
        assert connect_error().status_code == quorvellan.Status.VERSION_TOO_OLD

    def test_oldest_accepted_version(self, simulator):
        simulator("--identity", "remote", "--version", "1.2.2")
        assert quorvellan.Treadmill.connect(local=False).connected is True
