"""quorvellan.read_recording on the example recordings, on one cut short by a
crash and on one with two segments (both made here from the examples), the
CSV round trip, the plot and the command line."""
import csv
import json
import math
import os
import pathlib
import subprocess
import sys

import pytest

import quorvellan
from quorvellan.recording import COLUMNS, RecordingError, RecordingWarning

FIXTURES = pathlib.Path(__file__).resolve().parents[3] / "tests" / "fixtures" / "recordings"
EXAMPLES = sorted(FIXTURES.glob("*.jsonl"))
PACKAGE_DIR = str(pathlib.Path(quorvellan.__file__).resolve().parents[1])


def lines_of(path):
    return pathlib.Path(path).read_text().splitlines(keepends=True)


def expected_rows(lines, start=0.0, segment=0):
    """Each sample line as the row the reader must give, the user's position and
    rotation carried from the last command before it."""
    rows, user, rotation = [], [math.nan] * 2, [math.nan] * 4
    for line in lines[1:]:
        entry = json.loads(line)
        if entry.get("command") == "userPosition":
            user = entry["value"]
        elif entry.get("command") == "userRotation":
            rotation = entry["value"]
        elif entry["event"] == "sample":
            rows.append({"time": start + entry["t"], "segment": segment, "state": "connected",
                         "floor_x": entry["floorSpeed"][0], "floor_y": entry["floorSpeed"][1],
                         "normalized_x": entry["floorSpeed"][0] / 1.5,
                         "magnitude": math.hypot(*entry["floorSpeed"]),
                         "ring_x": entry["ring"][0], "ring_y": entry["ring"][1], "ring_z": entry["ring"][2],
                         "running": entry["running"], "running_unlocked": entry["runningUnlocked"],
                         "user_x": user[0], "user_y": user[1], "user_rotation_w": rotation[0],
                         "user_rotation_z": rotation[3]})
    return rows


def assert_rows(recording, rows, first=0):
    for index, row in enumerate(rows, first):
        for name, value in row.items():
            got = recording.columns[name][index]
            if isinstance(value, float) and math.isnan(value):
                assert math.isnan(got), (name, index)
            else:
                assert got == pytest.approx(value, abs=1e-12) if isinstance(value, float) else got == value, \
                    (name, index, got, value)


def write(tmp_path, name, lines):
    path = tmp_path / name
    path.write_text("".join(lines))
    return path


@pytest.mark.parametrize("example", EXAMPLES, ids=lambda path: path.stem)
def test_examples_read_into_columns_that_match_the_file(example):
    lines = lines_of(example)
    recording = quorvellan.read_recording(example)
    rows = expected_rows(lines)
    assert len(recording) == len(rows) > 0
    assert_rows(recording, rows)
    assert recording.cut_lines == () and recording.segment_starts == [0.0]
    assert [c.state for c in recording.connections] == ["connected", "stopped"]
    commands = [json.loads(line) for line in lines if '"command"' in line]
    assert [(c.command, c.value) for c in recording.commands] == [(c["command"], c["value"]) for c in commands]
    # Waiting for the first connection is no loss, nor is the stop at the end.
    assert recording.lost_intervals() == [] and recording.connections[-1].time == recording.segment_ends[0]


# A program that crashed cut its last line short: every complete line is kept
# and the cut one named. The next program, if any, starts its segment on a
# line of its own or right after the cut bytes, on one time axis.
@pytest.mark.parametrize("cut, separator, next_program", [(401, "", False), (300, "\n", True), (300, "", True)],
                         ids=["file ends", "own line", "same line"])
def test_lines_cut_short_are_skipped_and_segments_follow_one_another(tmp_path, cut, separator, next_program):
    walk = lines_of(FIXTURES / "walk.jsonl")[:cut]
    walk[-1] = walk[-1][:25] + separator
    brake = lines_of(FIXTURES / "brake.jsonl") if next_program else []
    if brake:
        header = json.loads(brake[0])
        header["startTime"] = json.loads(walk[0])["startTime"].replace("33.766Z", "53.766Z")  # 20 s later
        brake[0] = json.dumps(header) + "\n"
    with pytest.warns(RecordingWarning, match=f"line {cut} was cut short"):
        recording = quorvellan.read_recording(write(tmp_path, "cut.jsonl", walk + brake))
    assert recording.cut_lines == (cut,)
    assert recording.segment_starts == ([0.0, 20.0] if brake else [0.0])
    first, second = expected_rows(walk[:-1]), expected_rows(brake, start=20.0, segment=1) if brake else []
    assert len(recording) == len(first) + len(second)
    assert_rows(recording, first)
    assert_rows(recording, second, first=len(first))
    assert list(recording.columns["segment"]).count(1) == len(second)
    # No "stopped" line: the first program's connection is lost only from its
    # last line to the next program's connection.
    gaps = [(recording.segment_ends[0], pytest.approx(20.0 + json.loads(brake[1])["t"]))] if brake else []
    assert recording.lost_intervals() == gaps
    if brake:
        # The second stream's user is unknown until it sends a position.
        assert math.isnan(recording.columns["user_x"][len(first)])
        assert [c.segment for c in recording.connections] == [0, 1, 1]


HEADER = '{"format":"quorvellan-recording","version":%s,"startTime":"%s"}\n'
WALK = lines_of(FIXTURES / "walk.jsonl")[:10]
BROKEN = {  # lines, the line the error must name
    "not a recording": (['{"event":"sample","t":0}\n'], 1),
    "newer version": ([HEADER % (2, "2026-01-01T00:00:00.000Z")], 1),
    "bad start time": ([HEADER % (1, "yesterday")], 1),
    "damaged mid-file": (WALK[:5] + ['{"event":"sam\n'] + WALK[5:], 6),
    "time missing": (WALK[:5] + ['{"event":"failedRead","failedReads":1}\n'], 6),
    "speeds mistyped": (WALK[:5] + ['{"event":"sample","t":1,"floorSpeed":[1,"x"],"ring":[0,0,0]}\n'], 6),
}


@pytest.mark.parametrize("case", BROKEN)
def test_broken_files_raise_an_error_naming_the_line(tmp_path, case):
    lines, number = BROKEN[case]
    with pytest.raises(RecordingError, match=f"line {number}:"):
        quorvellan.read_recording(write(tmp_path, "broken.jsonl", lines))


def with_loss(lines, lost, back):
    """The lines with the connection lost from `lost` to `back` s and no sample between."""
    change = '{"event":"connection","state":"%s","status":0,"serial":"EXAMPLE-WALK","reconnects":%d,"t":%r}\n'
    body = [line for line in lines[1:] if not ('"sample"' in line and lost <= json.loads(line)["t"] < back)]
    body += [change % ("lost", 0, lost), change % ("connected", 1, back)]
    return lines[:1] + sorted(body, key=lambda line: json.loads(line)["t"])


def test_plot_breaks_every_line_over_a_loss_under_a_title_naming_the_treadmill(tmp_path):
    numpy = pytest.importorskip("numpy")
    pytest.importorskip("matplotlib")
    lines = with_loss(lines_of(FIXTURES / "walk.jsonl"), 2.996, 5.573)
    recording = quorvellan.read_recording(write(tmp_path, "lost.jsonl", lines))
    assert recording.lost_intervals() == [(2.996, 5.573)]
    figure = recording.figure()
    assert figure.axes[0].get_title() == "EXAMPLE-WALK, recorded 2026-12-08 07:47:33 UTC"
    plotted = [line for axis in figure.axes for line in axis.lines]
    assert [line.get_label() for line in plotted][-2:] == ["user_x", "user_y"]
    for line in plotted:
        time, value = line.get_xdata(), line.get_ydata()
        (gap,) = numpy.flatnonzero(numpy.isnan(time))
        assert time[gap - 1] < 2.996 and time[gap + 1] >= 5.573 and math.isnan(value[gap]), line.get_label()


@pytest.mark.parametrize("method, package", [("to_pandas", "pandas"), ("figure", "matplotlib")])
def test_without_an_optional_package_the_error_says_what_to_install(monkeypatch, method, package):
    recording = quorvellan.read_recording(FIXTURES / "standing.jsonl")
    monkeypatch.setitem(sys.modules, package, None)
    with pytest.raises(ImportError, match=f"python3-{package}, or pip install {package}"):
        getattr(recording, method)()


def test_csv_round_trip_and_pandas(tmp_path):
    recording = quorvellan.read_recording(FIXTURES / "walk.jsonl")
    out = tmp_path / "walk.csv"
    recording.write_csv(out)
    with open(out, newline="") as source:
        rows = list(csv.reader(source))
    assert tuple(rows[0]) == COLUMNS and len(rows) == len(recording) + 1
    converters = {"segment": int, "state": str, "running": lambda text: text == "True",
                  "running_unlocked": lambda text: text == "True"}
    for index, row in enumerate(rows[1:]):
        for name, text in zip(COLUMNS, row):
            value, original = converters.get(name, float)(text), recording.columns[name][index]
            assert value == original or (math.isnan(value) and math.isnan(original)), (name, index)
    pandas = pytest.importorskip("pandas")
    frame = recording.to_pandas()
    assert list(frame.columns) == list(COLUMNS) and len(frame) == len(recording)
    pandas.testing.assert_frame_equal(pandas.read_csv(out, float_precision="round_trip"), frame, check_exact=True)


def test_columns_are_numpy_arrays_when_numpy_is_there_and_lists_without():
    numpy = pytest.importorskip("numpy")
    recording = quorvellan.read_recording(FIXTURES / "brake.jsonl")
    assert recording.columns["time"].dtype == numpy.float64 and recording.columns["running"].dtype == bool
    assert numpy.all(numpy.diff(recording.columns["time"]) >= 0)
    without = subprocess.run(
        [sys.executable, "-c", "import sys; sys.modules['numpy'] = None\n"
         "import quorvellan; r = quorvellan.read_recording(sys.argv[1])\n"
         "print(type(r.columns['time']).__name__, len(r))", str(FIXTURES / "brake.jsonl")],
        capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=PACKAGE_DIR))
    assert without.stdout.split() == ["list", str(len(recording))], without.stderr


def run_module(*arguments):
    return subprocess.run([sys.executable, "-m", "quorvellan.recording", *map(str, arguments)],
                          capture_output=True, text=True, env=dict(os.environ, PYTHONPATH=PACKAGE_DIR))


def test_command_line_writes_csv_and_plot_and_refuses_a_bad_file(tmp_path):
    pytest.importorskip("matplotlib")
    result = run_module(FIXTURES / "walk.jsonl", "--csv", tmp_path / "w.csv", "--plot", tmp_path / "w.png")
    assert result.returncode == 0 and result.stderr == "", result.stderr
    assert "499 samples" in result.stdout and "0 stretch(es) without a connection" in result.stdout
    png = (tmp_path / "w.png").read_bytes()
    assert png.startswith(b"\x89PNG\r\n\x1a\n") and len(png) > 10_000
    assert (tmp_path / "w.csv").read_text().count("\n") == 500
    bad = run_module(write(tmp_path, "bad.jsonl", ['{"event":"sample"}\n']))
    assert bad.returncode == 2 and "line 1:" in bad.stderr
