#!/usr/bin/env python3
"""The monitor's web view in a real browser (headless Chromium through
Selenium), against the simulator: the page reads "connecting" before the
controller runs, then follows the treadmill, reads "lost" within 1 s of the
controller stopping and "connected" after it returns, drawing the lost
stretch as a gap; it plays a recording on the recording's own seconds and
rate, also one of two segments with lines cut short and a lost stretch.
Saves a screenshot of the played recording.

Run it in a network namespace of its own (port 6158, no network at all):
    unshare -n bash -c 'ip link set lo up && web_browser_test.py ...'
"""
import argparse
import os
import subprocess
import sys
import tempfile
import time
import unittest

from selenium import webdriver
from selenium.webdriver.chrome.options import Options
from selenium.webdriver.chrome.service import Service
from selenium.webdriver.common.by import By

from tools_test_support import stop, wait_for

ARGS = None
SERIAL = "BROWSER-0001"
MANUAL = (0.5, -0.3)  # belt speeds the monitor asks for; the simulator ramps to them
TOLERANCE = 0.01


def start_simulator():
    simulator = subprocess.Popen([ARGS.simulator, "--serial", SERIAL], stdout=subprocess.PIPE, text=True)
    line = simulator.stdout.readline()
    assert line.startswith("listening on"), line
    return simulator


class WebViewInABrowser(unittest.TestCase):
    def setUp(self):
        self.simulator = None  # each test starts it when it needs it
        self.output = tempfile.TemporaryFile("w+")
        self.monitor = subprocess.Popen(
            [ARGS.monitor, "--web", "0", "--enable", "--manual", f"{MANUAL[0]},{MANUAL[1]}", "--rate", "20",
             "--seconds", "120"], stdout=self.output, stderr=subprocess.STDOUT, text=True)
        self.url = wait_for(self.monitor_url, 5, "the monitor prints its address")
        self.profile = tempfile.TemporaryDirectory()
        options = Options()
        options.binary_location = ARGS.chromium
        for flag in ("--headless", "--no-sandbox", "--disable-gpu", "--disable-quic", "--no-first-run",
                     "--disable-background-networking", "--disable-component-update", "--disable-sync",
                     f"--user-data-dir={self.profile.name}", "--window-size=1300,900"):
            options.add_argument(flag)
        self.browser = webdriver.Chrome(service=Service(executable_path=ARGS.chromedriver), options=options)

    def tearDown(self):
        self.browser.quit()
        stop(self.monitor)
        if self.simulator:
            stop(self.simulator)
        self.profile.cleanup()

    def monitor_url(self):
        self.output.seek(0)
        for line in self.output.read().splitlines():
            if line.startswith("web view: http://"):
                return line.split(": ", 1)[1]
        return None

    def text(self, element_id):
        return self.browser.find_element(By.ID, element_id).text

    def number(self, element_id, unit=""):
        try:
            return float(self.text(element_id).removesuffix(unit))
        except ValueError:
            return None

    def near(self, element_id, expected):
        value = self.number(element_id)
        return value is not None and abs(value - expected) <= TOLERANCE

    def drawn(self, plot):
        """What the page drew on a plot: its time labels and each series' runs of [time, value]."""
        return self.browser.execute_script("return window.webView.drawn()[arguments[0]];", plot)

    def assert_gap_at(self, time):
        """Every series of every plot breaks around `time`: no point drawn there, no line across."""
        for plot in ("plot-floor", "plot-magnitude", "plot-ring"):
            for series in self.drawn(plot)["series"]:
                runs = series["runs"]
                self.assertTrue(any(before[-1][0] < time < after[0][0] for before, after in zip(runs, runs[1:])),
                                f"{plot} {series['label']}: no gap at {time} s in {runs}")

    def slide_to(self, seconds):
        self.browser.execute_script(
            "const s = document.getElementById('slider'); s.value = arguments[0];"
            "s.dispatchEvent(new Event('input'));", seconds)

    def test_page_waits_for_the_controller_follows_it_and_plays_a_recording(self):
        self.browser.get(self.url)
        wait_for(lambda: self.text("state") == "connecting", 10, "the page reads connecting with no controller")
        self.assertEqual([self.text(field) for field in ("floor-x", "magnitude", "ring-y", "running")], ["-"] * 4,
                         "no reading shows no values, not zeros")
        self.simulator = start_simulator()
        wait_for(lambda: self.text("state") == "connected", 10, "the page reads connected")
        self.assertEqual(self.text("serial"), SERIAL)
        wait_for(lambda: self.near("floor-x", MANUAL[0]) and self.near("floor-y", MANUAL[1]), 5,
                 "the floor speeds reach the simulator's")
        self.assertAlmostEqual(self.number("magnitude"), (MANUAL[0] ** 2 + MANUAL[1] ** 2) ** 0.5, delta=TOLERANCE)
        self.assertEqual((self.number("ring-x"), self.number("ring-y")), (0.0, 0.0))
        # Counted over the last second on the page: about the monitor's 20 per second.
        wait_for(lambda: 14 <= (self.number("rate", " /s") or 0) <= 26, 3, "a sample rate of about 20 /s")
        bottom, height = self.browser.execute_script(
            "return [document.querySelector('main').getBoundingClientRect().bottom, window.innerHeight];")
        self.assertGreater(bottom, height - 40, "the plots end where the window does")

        stopped_at = time.monotonic()
        stop(self.simulator)
        wait_for(lambda: self.text("state") == "lost", 2, "the page reads lost")
        lost_after = time.monotonic() - stopped_at
        print(f"state read lost {lost_after * 1000:.0f} ms after the simulator stopped")
        self.assertLessEqual(lost_after, 1.0)
        lost_time = self.number("time")  # a sample of the lost stretch, on the monitor's clock

        self.simulator = start_simulator()
        wait_for(lambda: self.text("state") == "connected", 5, "the page reads connected again")
        self.assertEqual(self.text("reconnects"), "1")
        wait_for(lambda: self.near("floor-x", MANUAL[0]), 5, "the belts run again")
        self.assert_gap_at(lost_time)
        before_loss = max((run for run in self.drawn("plot-floor")["series"][0]["runs"] if run[-1][0] < lost_time),
                          key=lambda run: run[-1][0])
        self.assertAlmostEqual(before_loss[-1][1], MANUAL[0], delta=TOLERANCE, msg="the last reading, not a zero")

        self.browser.find_element(By.ID, "recording-file").send_keys(os.path.abspath(ARGS.recording))
        wait_for(lambda: self.text("mode").startswith("recording"), 5, "the recording opens")
        self.assertEqual(self.text("serial"), "EXAMPLE-WALK")
        # The recording's own rate (it polled at 50 per second), not the monitor's 20.
        self.assertAlmostEqual(self.number("rate", " /s"), 50.0, delta=1.0)
        self.assertEqual(self.drawn("plot-floor")["ticks"][:3], ["0 s", "2 s", "4 s"])
        self.browser.find_element(By.ID, "play").click()
        time.sleep(1.0)
        played = float(self.browser.find_element(By.ID, "slider").get_attribute("value"))
        self.assertTrue(0.5 <= played <= 2.5, f"played {played} s in about 1 s")
        self.browser.find_element(By.ID, "play").click()  # pause

        # Into the diagonal part of the walk with the slider: both belts move.
        self.slide_to(7.5)
        self.assertTrue(self.text("recording-time").startswith("7.50 / "), self.text("recording-time"))
        self.assertAlmostEqual(self.number("time"), 7.5, delta=0.05)  # the sample shown: the last one before
        self.assertGreater(abs(self.number("floor-x")), 0.1)
        self.assertGreater(abs(self.number("floor-y")), 0.1)
        self.assertEqual(self.text("state"), "connected")
        # The legend's colours are the drawing's: each mark's colour is on the canvas.
        legend = self.browser.execute_script("""
            const canvas = document.getElementById('top');
            const pixels = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
            const drawn = new Set();
            for (let i = 0; i < pixels.length; i += 4)
              if (pixels[i + 3] === 255) drawn.add(`rgb(${pixels[i]}, ${pixels[i + 1]}, ${pixels[i + 2]})`);
            return [...document.querySelectorAll('#legend b')].map((mark) => {
              const color = getComputedStyle(mark).color;
              return [mark.parentElement.textContent.slice(2), color, drawn.has(color)];
            });""")
        self.assertEqual([label for label, _, _ in legend[:3]], ["ring", "user", "belts (1 m/s = 0.5 m)"])
        for label, color, drawn in legend[:3]:  # ring, user, belts (the dashed reach is anti-aliased)
            self.assertTrue(drawn, f"the legend's {label} ({color}) is not a colour of the drawing")
        self.assertEqual(len({color for _, color, _ in legend}), len(legend), legend)
        self.browser.save_screenshot(ARGS.screenshot)
        print(f"screenshot: {ARGS.screenshot}")

    def test_page_plays_segments_and_skips_lines_cut_short(self):
        """Two segments (a program that started its stream again), the first
        with a lost stretch and cut short by a crash, the file too: every
        complete line plays, on the recording's own seconds."""
        header = '{"format":"quorvellan-recording","version":1,"startTime":"2026-12-08T08:00:00.000Z"}'

        def sample(t, y):
            return ('{"t":%s,"event":"sample","floorSpeed":[0,%s],"ring":[0,0,0],"running":true,'
                    '"runningUnlocked":true}' % (t, y))
        def connection(t, state):
            return '{"t":%s,"event":"connection","state":"%s","status":0,"serial":"","reconnects":0}' % (t, state)
        cut = sample(1.5, 9)[:30]
        lines = [header, sample(0.5, 1), sample(1, 2), connection(1.2, "lost"), connection(2, "connected"),
                 sample(2, 4), sample(2.5, 5), cut, header, sample(0.25, 3)]
        with tempfile.NamedTemporaryFile("w", suffix=".jsonl", delete=False) as recording:
            recording.write("\n".join(lines) + "\n" + cut)
        try:
            self.browser.get(self.url)
            self.browser.find_element(By.ID, "recording-file").send_keys(recording.name)
            wait_for(lambda: self.text("mode").startswith("recording"), 5,
                     f"the recording opens (error: {self.text('recording-error')})")
            notice = self.text("recording-notice")
            self.assertIn("line 8: cut short (a new segment starts after it); skipped", notice)
            self.assertIn("line 11: cut short (the file ends inside this line); skipped", notice)
            # The second segment follows the first one's last time: 0, 0.5, 1.5, 2, then 2.25 s.
            self.assertEqual(self.text("recording-time"), "0.00 / 2.25 s")
            self.assertEqual(self.text("rate"), "2.0 /s")  # from the samples' times
            self.slide_to(2.25)
            self.assertAlmostEqual(self.number("floor-y"), 3.0, delta=TOLERANCE)
            floor = self.drawn("plot-floor")
            self.assertEqual(floor["ticks"], ["0 s", "0.5 s", "1 s", "1.5 s", "2 s"])
            # The lost stretch and the new segment are gaps.
            self.assertEqual(floor["series"][1]["runs"], [[[0, 1], [0.5, 2]], [[1.5, 4], [2, 5]], [[2.25, 3]]])
        finally:
            os.unlink(recording.name)


if __name__ == "__main__":
    parser = argparse.ArgumentParser()
    for option in ("simulator", "monitor", "chromium", "chromedriver", "recording", "screenshot"):
        parser.add_argument(f"--{option}", required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)
