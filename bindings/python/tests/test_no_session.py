"""The binding against the library before any connect: declarations, records,
fallbacks, and where the library is found. No controller, no network."""
import ctypes
import os
import re
import shutil
import subprocess
import sys

import pytest

import quorvellan
from quorvellan import _native

HEADER = os.path.join(os.path.dirname(__file__), "..", "..", "..", "api", "QuorvellanAPI.h")

# C types of the public header and the ctypes that carry them.
C_TO_CTYPES = {
    "int": ctypes.c_int,
    "int*": ctypes.POINTER(ctypes.c_int),
    "bool": ctypes.c_bool,
    "double": ctypes.c_double,
    "const char*": ctypes.c_void_p,
    "void": None,
    "FloorSpeeds": quorvellan.FloorSpeeds,
    "Ring": quorvellan.Ring,
    "TreadmillInfo": quorvellan.TreadmillInfo,
}


def c_type(declaration):
    """The type of "int* statusCode" as "int*"."""
    type_part = re.match(r"\s*(.*?)\s*\w+\s*$", declaration).group(1)
    return re.sub(r"\s*\*", "*", type_part)


def header_signatures():
    """{name: (result type, [parameter types])} of every export in the header."""
    text = open(HEADER).read()
    pattern = re.compile(r"QUORVELLAN_API\s+(.+?)\s*QUORVELLAN_CALL\s+(\w+)\s*\(([^)]*)\)")
    signatures = {}
    for result, name, parameters in pattern.findall(text):
        types = [c_type(parameter) for parameter in parameters.split(",")
                 if parameter.strip() not in ("", "void")]
        signatures[name] = (c_type(result + " result"), types)
    return signatures


class TestDeclarations:
    def test_every_header_export_and_no_other_is_declared(self):
        assert set(header_signatures()) == set(_native._PROTOTYPES)
        assert len(_native._PROTOTYPES) == 17

    def test_every_export_declared_as_in_the_header(self, lib):
        for name, (result, parameters) in header_signatures().items():
            function = getattr(lib, name)
            assert function.restype is C_TO_CTYPES[result], name
            assert list(function.argtypes) == [C_TO_CTYPES[p] for p in parameters], name

    def test_records_have_the_c_sizes_and_layout(self):
        assert ctypes.sizeof(quorvellan.FloorSpeeds) == 16
        assert ctypes.sizeof(quorvellan.Ring) == 32
        assert quorvellan.Ring.w.offset == 24
        assert ctypes.sizeof(quorvellan.TreadmillInfo) == 96
        assert ctypes.sizeof(ctypes.c_bool) == 1


class TestBeforeConnect:
    def test_queries_return_their_fallbacks(self):
        treadmill = quorvellan.Treadmill()
        assert treadmill.connected is False
        assert (treadmill.floor_speeds.x, treadmill.floor_speeds.y) == (0.0, 0.0)
        normalized = treadmill.floor_speeds_normalized
        assert (normalized.x, normalized.y) == (0.0, 0.0)
        assert treadmill.floor_speed_magnitude == 0.0
        ring = treadmill.ring
        assert (ring.x, ring.y, ring.z, ring.w) == (0.0, 0.0, 0.0, 0.0)  # no 0.45: nothing was read
        assert treadmill.run_state(False) is False
        assert treadmill.run_state(True) is False
        assert treadmill.serial_number == ""

    def test_serial_number_failure_is_the_library_constant(self, lib):
        first, second = lib.GetTreadmillSerialNumber(), lib.GetTreadmillSerialNumber()
        assert first and first == second
        assert ctypes.string_at(first) == b""
        for _ in range(10000):
            assert quorvellan.Treadmill().serial_number == ""
        assert lib.GetTreadmillSerialNumber() == first

    def test_info_is_96_zero_bytes_and_lock_stays_false(self):
        treadmill = quorvellan.Treadmill()
        assert bytes(treadmill.info.reserved) == bytes(96)
        treadmill.set_api_lock(True)
        assert treadmill.api_lock is False

    def test_commands_do_nothing_and_deinit_returns_one(self, lib):
        treadmill = quorvellan.Treadmill()
        treadmill.set_brake(True)
        treadmill.set_run_state(True)
        treadmill.set_manual_speeds(1.0, 2.0)
        treadmill.set_user_position(0.5, -0.5)
        treadmill.set_user_rotation(1.0, 0.0, 0.0, 0.0)
        assert treadmill.connected is False
        assert lib.DeInitInternal() == 1


class TestStatus:
    @pytest.mark.parametrize("code, status", [(0, quorvellan.Status.CONNECTED),
                                              (3, quorvellan.Status.VERSION_TOO_OLD),
                                              (4, quorvellan.Status.NOT_LOCAL_CONTROLLER),
                                              (5, quorvellan.Status.NOT_REMOTE_CONTROLLER),
                                              (8, quorvellan.Status.FAILURE)])
    def test_codes_map_to_statuses(self, code, status):
        assert quorvellan.Status(code) is status
        error = quorvellan.TreadmillError(code)
        assert error.status_code == code
        assert status.meaning in str(error) and f"status {code}" in str(error)

    def test_unknown_code_is_described(self):
        assert quorvellan.TreadmillError(42).meaning == "unknown status code"


class TestContextManager:
    class RecordingLibrary:
        def __init__(self):
            self.calls = []

        def InitInternal(self, status, local):
            self.calls.append(("InitInternal", local))
            ctypes.cast(status, ctypes.POINTER(ctypes.c_int))[0] = 0
            return 1

        def DeInitInternal(self):
            self.calls.append(("DeInitInternal",))
            return 1

    def test_leaving_the_block_stops_the_library(self):
        recorded = self.RecordingLibrary()
        with quorvellan.Treadmill.connect(local=False, library=recorded):
            assert recorded.calls == [("InitInternal", False)]
        assert recorded.calls[-1] == ("DeInitInternal",)

    def test_an_exception_in_the_block_still_stops_the_library(self):
        recorded = self.RecordingLibrary()
        with pytest.raises(ZeroDivisionError):
            with quorvellan.Treadmill.connect(library=recorded):
                1 / 0
        assert recorded.calls[-1] == ("DeInitInternal",)


def load_in_child(package_parent, environment):
    """Imports the package in a new interpreter; returns (exit code, output)."""
    script = "import quorvellan; print(quorvellan.library()._name, quorvellan.Treadmill().connected)"
    child = subprocess.run([sys.executable, "-c", script], cwd=package_parent, env=environment,
                           capture_output=True, text=True, timeout=60)
    return child.returncode, child.stdout + child.stderr


class TestLibraryLocation:
    @pytest.fixture
    def package_copy(self, tmp_path):
        shutil.copytree(os.path.dirname(quorvellan.__file__), tmp_path / "quorvellan",
                        ignore=shutil.ignore_patterns("__pycache__", "*.so*", "*.dll", "*.dylib"))
        return tmp_path

    @pytest.fixture
    def clean_environment(self):
        environment = {k: v for k, v in os.environ.items()
                       if k not in (_native.LIBRARY_ENV, "LD_LIBRARY_PATH", "PYTHONPATH")}
        environment["PYTHONDONTWRITEBYTECODE"] = "1"
        return environment

    def built_library(self):
        return os.environ[_native.LIBRARY_ENV]

    def test_found_next_to_the_package(self, package_copy, clean_environment):
        shutil.copy(self.built_library(), package_copy / "quorvellan" / _native._FILE_NAMES[0])
        code, output = load_in_child(package_copy, clean_environment)
        assert code == 0, output
        assert str(package_copy / "quorvellan") in output and "False" in output

    def test_found_through_the_environment(self, package_copy, clean_environment):
        clean_environment[_native.LIBRARY_ENV] = self.built_library()
        code, output = load_in_child(package_copy, clean_environment)
        assert code == 0, output
        assert self.built_library() in output

    def test_found_on_the_loader_path(self, package_copy, clean_environment, tmp_path):
        loader_dir = tmp_path / "lib"
        loader_dir.mkdir()
        shutil.copy(self.built_library(), loader_dir / _native._FILE_NAMES[0])
        clean_environment["LD_LIBRARY_PATH"] = str(loader_dir)
        code, output = load_in_child(package_copy, clean_environment)
        assert code == 0, output
        assert output.startswith(_native._FILE_NAMES[0]) and "False" in output

    def test_missing_library_names_what_was_tried(self, package_copy, clean_environment):
        clean_environment[_native.LIBRARY_ENV] = "/nonexistent/libQuorvellanAPI.so"
        code, output = load_in_child(package_copy, clean_environment)
        assert code != 0
        assert "QuorvellanAPI library not found" in output and "/nonexistent/libQuorvellanAPI.so" in output
