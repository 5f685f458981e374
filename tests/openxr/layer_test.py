"""The OpenXR layer through the system's OpenXR loader, with the simulator walking.

The test application reads a locomotion action bound to the left stick every
frame; the test runtime plays a scripted head pose and real sticks. The layer
is found as an implicit layer in a private XDG data folder. The simulator's
belts re-centre the user: a head held 0.3 m ahead of the centre makes the floor
run back at 2.5 * 0.3 = 0.75 m/s, so the user walks ahead at 0.75 m/s, half of
the default speed for full deflection. Run by ctest (tests/openxr.cmake) in a
network namespace of its own; the programs come in QUORVELLAN_XR_TEST_* variables.

The tables run each row also with Khronos' core validation layer, which the
loader puts below ours (XR_ENABLE_API_LAYERS: explicit layers come after the
implicit ones), so it checks our calls down the chain too: it must stay silent.
"""
import json
import math
import os
import pathlib
import re
import subprocess
import time

import pytest

SIMULATOR = os.environ["QUORVELLAN_XR_TEST_SIMULATOR"]
MONITOR = os.environ["QUORVELLAN_XR_TEST_MONITOR"]
APP = os.environ["QUORVELLAN_XR_TEST_APP"]
RUNTIME_JSON = os.environ["QUORVELLAN_XR_TEST_RUNTIME_JSON"]
LAYER_MANIFEST = pathlib.Path(os.environ["QUORVELLAN_XR_TEST_LAYER_MANIFEST"])

OFFSET = 0.3          # metres ahead of the centre
WALK = 0.5            # the stick's deflection for OFFSET at the default 1.5 m/s
TOLERANCE = 0.05
HEAD_HEIGHT = 1.7
VALIDATION_LAYER = "XR_APILAYER_LUNARG_core_validation"
VALIDATION_MANIFESTS = pathlib.Path("/usr/share/openxr/1/api_layers/explicit.d")
VALIDATED = pytest.mark.parametrize("validation", [False, True], ids=["plain", "validated"])


def ahead(direction_yaw, distance=OFFSET, centre=(0.0, 0.0)):
    """Stage position `distance` away from `centre` ([x, z]) towards yaw `direction_yaw` (+y up, -z forward)."""
    angle = math.radians(direction_yaw)
    return [centre[0] - distance * math.sin(angle), HEAD_HEIGHT, centre[1] - distance * math.cos(angle)]


def treadmill_position(head, centre=(0.0, 0.0), forward_yaw=0.0):
    """Where the head stands on the treadmill (x right, y forward) under a calibration."""
    dx, dz = head[0] - centre[0], head[2] - centre[1]
    angle = math.radians(forward_yaw)
    return (dx * math.cos(angle) - dz * math.sin(angle), -dx * math.sin(angle) - dz * math.cos(angle))


class Rig:
    """One case's simulator, layer folder, config and application runs."""

    port = 7100

    def __init__(self, folder):
        self.folder = folder
        self.simulator = None
        self.simulator_log = folder / "simulator.log"
        self.config = folder / "layer.json"
        self.layer_log = folder / "layer.log"
        self.layers = folder / "data"
        self.validation = False
        self.runs = 0
        Rig.port += 1
        self.port = Rig.port
        self.install_layer()

    def install_layer(self):
        """The layer's manifest in an implicit-layer folder of our own, naming the library by full path."""
        manifest = json.loads(LAYER_MANIFEST.read_text())
        library = manifest["api_layer"]["library_path"]
        manifest["api_layer"]["library_path"] = str((LAYER_MANIFEST.parent / library).resolve())
        implicit = self.layers / "openxr" / "1" / "api_layers" / "implicit.d"
        implicit.mkdir(parents=True)
        (implicit / LAYER_MANIFEST.name).write_text(json.dumps(manifest))

    def start_simulator(self, *options):
        self.simulator = subprocess.Popen(
            [SIMULATOR, "--port", str(self.port), "--log", *options],
            stdout=self.simulator_log.open("w"), stderr=subprocess.STDOUT)
        deadline = time.monotonic() + 10
        while "listening on" not in self.simulator_log.read_text():
            assert self.simulator.poll() is None and time.monotonic() < deadline, self.simulator_log.read_text()
            time.sleep(0.05)

    def enable_belts(self):
        """A second client starts the treadmill (the run state outlives it); again if it saw no sample running."""
        for _ in range(5):
            monitor = subprocess.run([MONITOR, "--controller", f"127.0.0.1:{self.port}", "--enable", "--json",
                                      "--seconds", "1"], check=True, capture_output=True, text=True, timeout=30)
            if '"running":true' in monitor.stdout:
                return
        pytest.fail("the monitor never saw the treadmill running: " + monitor.stdout[-1000:])

    def stop(self):
        if self.simulator:
            self.simulator.terminate()
            self.simulator.wait(timeout=10)

    def run_app(self, script, layer=True, frames=250, period_ms=10, **environment):
        """Runs the application; its frames and the seconds xrDestroyInstance took."""
        script_path = self.folder / "script.json"
        script_path.write_text(json.dumps(script))
        empty = self.folder / "none"
        env = {k: v for k, v in os.environ.items() if k != "QUORVELLAN_XR_LAYER_DISABLE"}
        self.runs += 1
        validation_log = self.folder / f"validation-{self.runs}.txt"
        if self.validation:
            assert list(VALIDATION_MANIFESTS.glob("XrApiLayer_core_validation*.json")), \
                "no core validation layer: scripts/install-deps installs openxr-layer-corevalidation"
            # Its messages go to the file (made at the first one); the loader names the layers it loads on stdout.
            env.update(XR_ENABLE_API_LAYERS=VALIDATION_LAYER, XR_API_LAYER_PATH=str(VALIDATION_MANIFESTS),
                       XR_CORE_VALIDATION_FILE_NAME=str(validation_log), XR_LOADER_DEBUG="info")
        env.update(XR_RUNTIME_JSON=RUNTIME_JSON, QUORVELLAN_TEST_XR_SCRIPT=str(script_path),
                   QUORVELLAN_XR_CONFIG=str(self.config), QUORVELLAN_XR_LOG=str(self.layer_log),
                   QUORVELLAN_CONTROLLER=f"127.0.0.1:{self.port}",
                   XDG_DATA_HOME=str(self.layers if layer else empty), XDG_DATA_DIRS=str(empty),
                   XDG_CONFIG_HOME=str(empty), XDG_CONFIG_DIRS=str(empty), **environment)
        result = subprocess.run([APP, "--frames", str(frames), "--period-ms", str(period_ms)], env=env,
                                capture_output=True, text=True, timeout=120)
        assert result.returncode == 0, result.stderr
        if self.validation:
            # The loader loads the layers in their order from the application down: the validation layer last.
            loaded = re.findall(r"succeeded loading layer (\w+)", result.stdout)
            assert loaded and loaded[-1] == VALIDATION_LAYER, result.stdout
            assert not validation_log.exists(), validation_log.read_text()[:4000]
        # The core prints its own errors on stdout (a hanging controller's "Error: ..."): frames are the JSON lines.
        lines = [json.loads(line) for line in result.stdout.splitlines() if line.startswith("{")]
        assert len(lines) == frames + 1, result.stdout
        check_truthful(lines[:-1])
        return lines[:-1], lines[-1]["destroyNs"] / 1e9

    def user_positions(self):
        """The user positions the simulator received, in order."""
        positions = []
        for line in self.simulator_log.read_text().splitlines():
            if "{" not in line:
                continue
            try:
                message = json.loads(line[line.index("{"):])
            except json.JSONDecodeError:
                continue
            if "user position x" in message and "user position y" in message:
                positions.append((message["user position x"], message["user position y"]))
        return positions


@pytest.fixture
def rig(tmp_path):
    rig = Rig(tmp_path)
    yield rig
    rig.stop()


def check_truthful(frames):
    """changedSinceLastSync and lastChangeTime agree with the values the application saw."""
    for before, now in zip(frames, frames[1:]):
        assert now["isActive"], now
        moved = (now["x"], now["y"]) != (before["x"], before["y"])
        assert now["changedSinceLastSync"] == moved, (before, now)
        expected_change_time = now["time"] if moved else before["lastChangeTime"]
        assert now["lastChangeTime"] == expected_change_time, (before, now)


def settled(frames, count=20):
    """The stick's mean over the last frames, once the belts have reached their speed."""
    tail = frames[-count:]
    return (sum(f["x"] for f in tail) / count, sum(f["y"] for f in tail) / count)


# name, head yaw, direction walked (stage yaw), real stick, config keys, expected stick
WALKING = [
    ("facing 0, ahead", 0, 0, [0, 0], {}, (0, WALK)),
    ("facing 90, ahead", 90, 90, [0, 0], {}, (0, WALK)),
    ("facing 180, ahead", 180, 180, [0, 0], {}, (0, WALK)),
    ("facing -90, ahead", -90, -90, [0, 0], {}, (0, WALK)),
    ("facing 0, to the right", 0, -90, [0, 0], {}, (WALK, 0)),
    ("facing 90, to the left", 90, 180, [0, 0], {}, (-WALK, 0)),
    ("full deflection at 1 m/s", 0, 0, [0, 0], {"fullDeflectionSpeed": 1.0}, (0, 0.75)),
    ("real stick larger wins", 0, 0, [0.8, 0], {}, (0.8, 0)),
    ("walking larger wins", 0, 0, [0, -0.2], {}, (0, WALK)),
    ("calibrated centre and yaw", 90, 90, [0, 0],
     {"calibration": {"centre": [1.0, -1.0], "forwardYaw": 90}}, (0, WALK)),
    ("calibrated yaw, facing its forward, walking its right", 45, -45, [0, 0],
     {"calibration": {"centre": [0.0, 0.0], "forwardYaw": 45}}, (WALK, 0)),
]


@VALIDATED
@pytest.mark.parametrize("name,yaw,direction,real,keys,expected", WALKING, ids=[row[0] for row in WALKING])
def test_walking_moves_the_stick(rig, name, yaw, direction, real, keys, expected, validation):
    rig.validation = validation
    calibration = keys.get("calibration", {})
    centre, forward_yaw = calibration.get("centre", (0.0, 0.0)), calibration.get("forwardYaw", 0.0)
    head = ahead(direction, centre=centre)
    rig.config.write_text(json.dumps({"enable": True, **keys}))
    rig.start_simulator()
    rig.enable_belts()
    frames, _ = rig.run_app({"headPosition": head, "headYaw": yaw, "leftStick": real})
    x, y = settled(frames)
    print(f"{name}: stick ({x:+.3f}, {y:+.3f}), expected ({expected[0]:+.3f}, {expected[1]:+.3f})")
    assert abs(x - expected[0]) < TOLERANCE and abs(y - expected[1]) < TOLERANCE, (x, y, frames[-1])
    # One log line says what the layer bound: the action, on both profiles.
    bound = [line for line in rig.layer_log.read_text().splitlines() if "session bound" in line]
    assert len(bound) == 1 and "move" in bound[0], rig.layer_log.read_text()
    assert "oculus/touch_controller" in bound[0] and "valve/index_controller" in bound[0], bound
    # The head reaches the simulator as the user's position on the treadmill.
    positions = rig.user_positions()
    assert positions, rig.simulator_log.read_text()[-2000:]
    want = treadmill_position(head, centre, forward_yaw)
    print(f"{name}: user position ({positions[-1][0]:+.3f}, {positions[-1][1]:+.3f}), expected "
          f"({want[0]:+.3f}, {want[1]:+.3f})")
    assert abs(positions[-1][0] - want[0]) < 0.01 and abs(positions[-1][1] - want[1]) < 0.01, (positions[-1], want)


def test_standing_passes_the_real_stick_exactly(rig):
    rig.config.write_text(json.dumps({"enable": True}))
    rig.start_simulator()
    rig.enable_belts()
    stick = [[0.3, -0.6], [0.3, -0.6], [-0.25, 0.125], [0.0, 0.0], [0.7, 0.7]]
    script = {"headPosition": ahead(0, 0.0), "leftStick": stick * 30}
    frames, _ = rig.run_app(script, frames=150)
    assert [(f["x"], f["y"]) for f in frames] == [pytest.approx(tuple(s), abs=1e-6) for s in (stick * 30)[:150]]


def frame_values(frames):
    return [{k: f[k] for k in ("time", "x", "y", "isActive", "changedSinceLastSync", "lastChangeTime")}
            for f in frames]


# A walking user and a moving real stick: every value must equal a run without the layer.
PASS_THROUGH_SCRIPT = {"headPosition": ahead(0), "headYaw": 0,
                       "leftStick": [[0.1 * (i % 7) - 0.3, 0.05 * (i % 5)] for i in range(40)]}
# name, simulator options (None: no simulator), config text (None: no file), extra environment
PASS_THROUGH = [
    ("not connected", None, '{"enable": true}', {}),
    ("disabled by the variable", [], '{"enable": true}', {"QUORVELLAN_XR_LAYER_DISABLE": "1"}),
    ("config missing", [], None, {}),
    ("config malformed", [], '{"enable": true, "hand": ', {}),
    ("config with a bad value", [], '{"enable": true, "fullDeflectionSpeed": "fast"}', {}),
    ("config disables it", [], '{"enable": false}', {}),
    ("stick of the other hand", [], '{"enable": true, "hand": "right"}', {}),
]


@VALIDATED
@pytest.mark.parametrize("name,simulator,config,environment", PASS_THROUGH, ids=[row[0] for row in PASS_THROUGH])
def test_pass_through_equals_a_run_without_the_layer(rig, name, simulator, config, environment, validation):
    rig.validation = validation
    if config is not None:
        rig.config.write_text(config)
    if simulator is not None:
        rig.start_simulator(*simulator)
        rig.enable_belts()
    without, _ = rig.run_app(PASS_THROUGH_SCRIPT, layer=False, frames=150)
    with_layer, _ = rig.run_app(PASS_THROUGH_SCRIPT, frames=150, **environment)
    assert frame_values(with_layer) == frame_values(without)


def p99(values):
    return sorted(values)[int(0.99 * (len(values) - 1))]


@pytest.mark.parametrize("fault", [["--stall"], ["--delay-ms", "2000"]], ids=["stall", "delay"])
def test_frame_loop_never_waits_on_a_hanging_controller(rig, fault):
    rig.config.write_text(json.dumps({"enable": True}))
    rig.start_simulator(*fault)
    frames, destroy_seconds = rig.run_app(PASS_THROUGH_SCRIPT, frames=300, period_ms=5)
    print(f"{fault}: p99 read {p99([f['readNs'] for f in frames]) / 1e6:.3f} ms, p99 frame "
          f"{p99([f['frameNs'] for f in frames]) / 1e6:.3f} ms, destroy {destroy_seconds:.3f} s")
    assert p99([f["readNs"] for f in frames]) < 20e6
    assert p99([f["frameNs"] for f in frames]) < 20e6
    assert destroy_seconds < 5
    without, _ = rig.run_app(PASS_THROUGH_SCRIPT, layer=False, frames=300, period_ms=5)
    assert frame_values(frames) == frame_values(without)


def test_calibration_trigger_takes_the_head_pose(rig):
    rig.config.write_text(json.dumps({"enable": True, "calibration": {"centre": [0, 0], "forwardYaw": 0}}))
    pathlib.Path(str(rig.config) + ".calibrate").touch()
    rig.start_simulator()
    rig.run_app({"headPosition": [0.5, HEAD_HEIGHT, -0.2], "headYaw": 30}, frames=150)
    calibration = json.loads(rig.config.read_text())["calibration"]
    assert calibration["centre"] == pytest.approx([0.5, -0.2], abs=1e-3)
    assert calibration["forwardYaw"] == pytest.approx(30, abs=0.1)
