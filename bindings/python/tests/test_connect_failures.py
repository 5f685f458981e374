"""Failed connects: the exception carries the library's status code."""
import pytest

import quorvellan


def connect_error(local=True):
    with pytest.raises(quorvellan.TreadmillError) as caught:
        quorvellan.Treadmill.connect(local=local)
    return caught.value


class TestFailedConnect:
    def test_no_controller_listening(self):
        error = connect_error()
        assert error.status_code == quorvellan.Status.FAILURE == 8
        assert "status 8" in str(error) and error.meaning in str(error)
        assert "controller at localhost:6158: " in str(error) and "running at that host and port" in str(error)

    def test_address_set_in_the_process_is_used_and_named(self, simulator, monkeypatch):
        simulator("--identity", "local", "--port", "16311")
        monkeypatch.setenv("QUORVELLAN_CONTROLLER", "127.0.0.1:16311")
        assert quorvellan.Treadmill.connect(local=True).connected is True
        monkeypatch.setenv("QUORVELLAN_CONTROLLER", " 127.0.0.1:16312\n")
        assert "controller at 127.0.0.1:16312 (from QUORVELLAN_CONTROLLER): status 8" in str(connect_error())
        # A typo reaches nothing, not the simulator on the default port, and says so.
        simulator("--identity", "local")
        monkeypatch.setenv("QUORVELLAN_CONTROLLER", "127.0.0.1:x")
        assert "controller at nothing: QUORVELLAN_CONTROLLER='127.0.0.1:x' is not host[:port]" in str(connect_error())

    def test_after_a_failed_connect_the_failure_results_hold(self, lib):
        connect_error()
        treadmill = quorvellan.Treadmill()
        assert treadmill.connected is False
        assert treadmill.running is False
        assert treadmill.run_state(check_lock=True) is False
        for _ in range(10000):
            assert treadmill.serial_number == ""
        constant = lib.GetTreadmillSerialNumber()
        assert constant == lib.GetTreadmillSerialNumber()

    def test_network_identity_answering_the_local_handshake(self, simulator):
        simulator("--identity", "remote")
        assert connect_error().status_code == quorvellan.Status.NOT_LOCAL_CONTROLLER

    def test_wrong_name(self, simulator):
        simulator("--identity", "local", "--wrong-name")
        assert connect_error().status_code == quorvellan.Status.NOT_LOCAL_CONTROLLER

    def test_version_too_old(self, simulator):
        simulator("--identity", "local", "--version", "1.1.0")
        error = connect_error()
        assert error.status_code == quorvellan.Status.VERSION_TOO_OLD
        # The handshake failed on content: the connection itself stays up.
        assert quorvellan.Treadmill().connected is True

    def test_oldest_accepted_version(self, simulator):
        simulator("--identity", "local", "--version", "1.1.1")
        assert quorvellan.Treadmill.connect(local=True).connected is True
