#!/usr/bin/env python3
"""A real Prometheus server scrapes two monitors watching two simulators.

The library reaches its controller only at port 6158 of this machine, so each
simulator and its monitor get a network namespace of their own, joined to the
test's namespace (run it as root in one of its own: `unshare -n`) by a veth
pair; Prometheus, in the test's namespace, scrapes both across the pairs:

    prometheus 127.0.0.1:9090
      10.77.1.1 <-veth-> 10.77.1.2: simulator PROM-TM-1, monitor --web 10.77.1.2:9158
      10.77.2.1 <-veth-> 10.77.2.2: simulator PROM-TM-2, monitor --web 10.77.2.2:9158

Read back through the query API: both up, the second down once its simulator
stops, and the alert (docs/prometheus-alerts.yml, `for:` shortened to 2 s in
the test's copy) firing for it only. promtool checks the configurations, the
rules, their unit test and the monitor's /metrics text.
"""
import argparse
import json
import os
import re
import subprocess
import sys
import tempfile
import unittest
import urllib.parse
import urllib.request

from tools_test_support import stop, wait_for

ARGS = None
PROMETHEUS = "http://127.0.0.1:9090"
SCRAPE_SECONDS = 1
ALERT_FOR = "2s"
WAIT_SECONDS = 30  # bounds every wait; a healthy run needs a few seconds each


def http_get(url, method="GET"):
    with urllib.request.urlopen(urllib.request.Request(url, method=method), timeout=5) as response:
        return response.headers.get("Content-Type"), response.read().decode()


def run(*command, stdin=None):
    return subprocess.run(command, input=stdin, capture_output=True, text=True, timeout=60)


class Treadmill:
    """A namespace of its own with a simulator on its port 6158 and a monitor
    whose web view listens on the namespace's end of the veth pair."""

    def __init__(self, number, workdir):
        self.serial = f"PROM-TM-{number}"
        self.address = f"10.77.{number}.2:9158"
        self.processes = []
        # Holds the namespace while the simulator and monitor come and go.
        self.holder = self.start("unshare", "-n", "sleep", "600", in_namespace=False)
        own = os.readlink("/proc/self/ns/net")
        wait_for(lambda: os.readlink(f"/proc/{self.holder.pid}/ns/net") != own, 5, "the namespace exists")
        outer, inner = f"vq{number}o", f"vq{number}i"
        self.ip("link", "add", outer, "type", "veth", "peer", "name", inner, "netns", str(self.holder.pid))
        self.ip("addr", "add", f"10.77.{number}.1/24", "dev", outer)
        self.ip("link", "set", outer, "up")
        for arguments in (("addr", "add", f"10.77.{number}.2/24", "dev", inner), ("link", "set", inner, "up"),
                          ("link", "set", "lo", "up")):
            self.ip(*arguments, namespace=True)
        self.simulator = self.start(ARGS.simulator, "--serial", self.serial, stdout=subprocess.PIPE)
        line = self.simulator.stdout.readline()
        assert line.startswith("listening on"), line
        self.monitor_output = open(os.path.join(workdir, f"monitor-{number}.log"), "w+")
        self.monitor = self.start(ARGS.monitor, "--web", self.address, "--rate", "20", stdout=self.monitor_output)
        wait_for(lambda: "web view: http://" in self.output() or self.monitor.poll() is not None, 10,
                 f"monitor {number} serves its page")
        assert self.monitor.poll() is None, self.output()

    def ip(self, *arguments, namespace=False):
        prefix = ("nsenter", "-t", str(self.holder.pid), "-n") if namespace else ()
        subprocess.run(prefix + ("ip",) + arguments, check=True)

    def start(self, *command, in_namespace=True, stdout=subprocess.DEVNULL):
        prefix = ("nsenter", "-t", str(self.holder.pid), "-n") if in_namespace else ()
        process = subprocess.Popen(prefix + command, stdout=stdout, stderr=subprocess.STDOUT, text=True)
        self.processes.append(process)
        return process

    def output(self):
        self.monitor_output.seek(0)
        return self.monitor_output.read()

    def close(self):
        for process in reversed(self.processes):
            stop(process)
        self.monitor_output.close()


def query(expression):
    """{serial: value} of an instant query's result."""
    _, body = http_get(f"{PROMETHEUS}/api/v1/query?" + urllib.parse.urlencode({"query": expression}))
    reply = json.loads(body)
    assert reply["status"] == "success", reply
    return {series["metric"].get("serial", series["metric"].get("instance")): series["value"][1]
            for series in reply["data"]["result"]}


def firing_alerts():
    _, body = http_get(f"{PROMETHEUS}/api/v1/alerts")
    return [alert for alert in json.loads(body)["data"]["alerts"] if alert["state"] == "firing"]


class PrometheusScrapesTwoMonitors(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.workdir = tempfile.TemporaryDirectory()
        cls.treadmills = []
        try:
            cls.treadmills = [Treadmill(1, cls.workdir.name), Treadmill(2, cls.workdir.name)]
            cls.config = cls.write_config()
            cls.prometheus_log = open(os.path.join(cls.workdir.name, "prometheus.log"), "w+")
            cls.prometheus = subprocess.Popen(
                [ARGS.prometheus, f"--config.file={cls.config}",
                 f"--storage.tsdb.path={os.path.join(cls.workdir.name, 'data')}",
                 "--web.listen-address=127.0.0.1:9090"],
                stdout=subprocess.DEVNULL, stderr=cls.prometheus_log)
        except BaseException:
            cls.close_treadmills()
            raise

    @classmethod
    def close_treadmills(cls):
        for treadmill in cls.treadmills:
            treadmill.close()

    @classmethod
    def tearDownClass(cls):
        stop(cls.prometheus)
        cls.prometheus_log.close()
        cls.close_treadmills()
        cls.workdir.cleanup()

    @classmethod
    def write_config(cls):
        with open(ARGS.rules) as source:
            rules, shortened = re.subn(r"(- alert: TreadmillLost\n(?:.*\n)*?\s+for: )10s", rf"\g<1>{ALERT_FOR}",
                                       source.read())
        assert shortened == 1, "the TreadmillLost rule with its 'for: 10s' is not in " + ARGS.rules
        rules_path = os.path.join(cls.workdir.name, "alerts.yml")
        with open(rules_path, "w") as out:
            out.write(rules)
        targets = ", ".join(f"'{t.address}'" for t in cls.treadmills)
        config = os.path.join(cls.workdir.name, "prometheus.yml")
        with open(config, "w") as out:
            out.write(f"global:\n  scrape_interval: {SCRAPE_SECONDS}s\n  evaluation_interval: {SCRAPE_SECONDS}s\n"
                      f"rule_files: ['{rules_path}']\n"
                      f"scrape_configs:\n  - job_name: quorvellan\n    params: {{module: [treadmill]}}\n"
                      f"    static_configs:\n"
                      f"      - targets: [{targets}]\n")
        return config

    def promtool(self, *arguments, stdin=None):
        result = run(ARGS.promtool, *arguments, stdin=stdin)
        self.assertEqual(result.returncode, 0, f"promtool {' '.join(arguments)}:\n{result.stdout}{result.stderr}")
        return result.stdout + result.stderr

    def test_configuration_rules_and_metrics_pass_promtool(self):
        for config in (self.config, ARGS.example_config):
            self.promtool("check", "config", config)
        self.assertIn("3 rules found", self.promtool("check", "rules", ARGS.rules))
        self.assertIn("SUCCESS", self.promtool("test", "rules", ARGS.rules_test))
        url = f"http://{self.treadmills[0].address}/metrics"
        content_type, metrics = wait_for(
            lambda: (lambda got: got if 'quorvellan_treadmill_connected{serial="PROM-TM-1"} 1' in got[1] else None)(
                http_get(url)), WAIT_SECONDS, "the first monitor's /metrics shows its treadmill connected")
        self.assertEqual(content_type, "text/plain; version=0.0.4; charset=utf-8")
        self.promtool("check", "metrics", stdin=metrics)
        _, head = http_get(f"http://{self.treadmills[0].address}/metrics", method="HEAD")
        self.assertEqual(head, "")

    def test_one_treadmill_down_is_seen_through_the_query_api_and_its_alert_fires(self):
        connected = "quorvellan_treadmill_connected"
        both_up = wait_for(lambda: self.query_equals(connected, {"PROM-TM-1": "1", "PROM-TM-2": "1"}),
                           WAIT_SECONDS, "Prometheus sees both treadmills connected")
        print(f"\nquery {connected} with both simulators running: {both_up}")
        self.assertEqual(query('up{job="quorvellan"}'), {t.address: "1" for t in self.treadmills})
        stop(self.treadmills[1].simulator)
        one_down = wait_for(lambda: self.query_equals(connected, {"PROM-TM-1": "1", "PROM-TM-2": "0"}),
                            WAIT_SECONDS, "Prometheus sees the second treadmill lost")
        print(f"query {connected} after PROM-TM-2's simulator stopped: {one_down}")
        print("query quorvellan_stream_state == 1:",
              {serial: state for serial, state in self.states().items()})
        alerts = wait_for(firing_alerts, WAIT_SECONDS, f"an alert fires (for: {ALERT_FOR})")
        print("firing alerts:", [(a["labels"]["alertname"], a["labels"]["serial"], a["labels"]["instance"])
                                 for a in alerts])
        self.assertEqual([(a["labels"]["alertname"], a["labels"]["serial"]) for a in alerts],
                         [("TreadmillLost", "PROM-TM-2")])
        # The monitor of the lost treadmill still answers: the target stays up.
        self.assertEqual(query('up{job="quorvellan"}'), {t.address: "1" for t in self.treadmills})
        rates = query("quorvellan_poll_rate_hertz")
        print("query quorvellan_poll_rate_hertz:", rates)
        self.assertGreater(float(rates["PROM-TM-1"]), 0.0)

    @staticmethod
    def query_equals(expression, expected):
        """The query's result when it is `expected`, else None (Prometheus not up yet counts as not yet)."""
        try:
            result = query(expression)
        except OSError:
            return None
        return result if result == expected else None

    def states(self):
        _, body = http_get(f"{PROMETHEUS}/api/v1/query?" + urllib.parse.urlencode(
            {"query": "quorvellan_stream_state == 1"}))
        return {s["metric"]["serial"]: s["metric"]["state"] for s in json.loads(body)["data"]["result"]}


def main():
    global ARGS
    parser = argparse.ArgumentParser()
    for option in ("simulator", "monitor", "prometheus", "promtool", "rules", "rules-test", "example-config"):
        parser.add_argument("--" + option, required=True)
    ARGS, rest = parser.parse_known_args()
    unittest.main(argv=[sys.argv[0]] + rest, verbosity=2)


if __name__ == "__main__":
    main()
