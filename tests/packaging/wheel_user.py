"""Uses the installed wheel as an application would, from a folder of its own.
usage: python wheel_user.py <expected serial number>
A simulator must listen on port 6158 (local identity)."""
import os
import sys
import time

import quorvellan

package_dir = os.path.dirname(quorvellan.__file__)
loaded = quorvellan.library()._name
assert "site-packages" in package_dir, f"quorvellan imported from {package_dir}, not the venv"
assert os.path.dirname(os.path.abspath(loaded)) == package_dir, f"library loaded from {loaded}"

with quorvellan.Treadmill.connect(local=True) as treadmill:
    serial = treadmill.serial_number
    assert serial == sys.argv[1], f"serial number {serial!r}"
    treadmill.set_run_state(True)
    speeds = []
    for _ in range(10):
        treadmill.set_manual_speeds(0.5, 0.0)
        time.sleep(0.05)
        speeds.append(treadmill.floor_speeds.x)
    assert speeds[-1] > speeds[0] and abs(speeds[-1] - 0.5) < 1e-9, f"belt speeds {speeds}"
    treadmill.set_run_state(False)

# The stream library from the same folder: the first connected sample within
# a generous bound (the poll thread connects on its own).
with quorvellan.TreadmillStream(local=True) as stream:
    sample = stream.latest()
    for _ in range(300):
        if sample.connected:
            break
        time.sleep(0.01)
        sample = stream.latest()
    assert sample.connected and sample.serial_number == sys.argv[1], \
        f"stream sample: state {sample.state}, serial {sample.serial_number!r}"
stream_loaded = quorvellan.stream.stream_library()._name
assert os.path.dirname(os.path.abspath(stream_loaded)) == package_dir, f"stream loaded from {stream_loaded}"
print(f"wheel: ok, library {loaded}, belt x {speeds[0]:.2f} -> {speeds[-1]:.2f}; stream {stream_loaded}, "
      f"sample {sample.sequence}")
