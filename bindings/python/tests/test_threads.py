"""Several threads share one Treadmill: the binding serialises their calls into
the library, which takes one caller at a time, so none crashes or hangs."""
import threading
import time

import quorvellan
from support import MAX_FAILED_READS

SERIAL = "PY-THREADS-3"
SECONDS = 2.0


def test_many_threads_share_one_treadmill(simulator):
    simulator("--identity", "local", "--serial", SERIAL)
    treadmill = quorvellan.Treadmill.connect(local=True)
    errors, serials, failed = [], [], []
    stop_at = time.monotonic() + SECONDS

    def run(work):
        try:
            while time.monotonic() < stop_at:
                work()
        except Exception as error:  # any exception is a failure of the test
            errors.append(error)

    def read_serial():
        serial = treadmill.serial_number
        (serials if serial else failed).append(serial)
        if not treadmill.connected:
            treadmill.reconnect(True)

    workers = [
        lambda: treadmill.floor_speeds,
        lambda: treadmill.set_user_position(0.1, 0.2),
        read_serial,
        lambda: (treadmill.run_state(True), treadmill.ring),
    ]
    threads = [threading.Thread(target=run, args=(work,)) for work in workers]
    for thread in threads:
        thread.start()
    for thread in threads:
        thread.join(SECONDS + 10)
    assert not any(thread.is_alive() for thread in threads), "a thread hung"
    assert not errors
    assert serials and set(serials) == {SERIAL}
    assert len(failed) <= MAX_FAILED_READS
