"""What the tools' end-to-end tests share: a bounded wait for a condition and
the stop of a process they started."""
import signal
import subprocess
import time


def wait_for(condition, timeout, what):
    """Polls `condition` every 20 ms; returns its first true value or fails."""
    end = time.monotonic() + timeout
    while True:
        value = condition()
        if value:
            return value
        if time.monotonic() > end:
            raise AssertionError(f"not within {timeout} s: {what}")
        time.sleep(0.02)


def stop(process):
    """SIGTERM, which every tool must end on within 10 s (else it is killed
    and the test fails); closes the process's output pipe."""
    if process.poll() is None:
        process.send_signal(signal.SIGTERM)
        try:
            process.wait(timeout=10)
        except subprocess.TimeoutExpired:
            process.kill()
            process.wait()
            raise AssertionError(f"{process.args} did not end within 10 s of SIGTERM")
    if process.stdout:
        process.stdout.close()
