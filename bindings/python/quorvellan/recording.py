"""Recordings (docs/recording-format.md) read into columns for analysis.

    rec = quorvellan.read_recording("session.jsonl")
    rec.columns["time"], rec.columns["floor_x"], ...   # numpy arrays when numpy is installed
    frame = rec.to_pandas()                            # needs pandas

A file may hold several segments, each starting with its own header line; every
time here is seconds from the first segment's start, so the segments follow
one another on one axis (a segment's place comes from its wall-clock start).
Only the last line of a segment may be cut short (the program writing it died):
such a line is skipped, its number listed in `cut_lines`, and a RecordingWarning
is given. Any other malformed line raises RecordingError naming it.

As a program:
    python -m quorvellan.recording FILE [--csv OUT.csv] [--plot OUT.png]
"""
import argparse
import collections
import csv
import datetime
import importlib
import json
import math
import sys
import warnings

FORMAT = "quorvellan-recording"
VERSION = 1

# The stream's normalisation of the raw speeds (see QuorvellanStream.h).
_NORMALISATION_DIVISOR = 1.5
_NORMALISED_LIMIT = 1.5

# The sample columns, in the order of the CSV file.
COLUMNS = ("time", "segment", "state", "floor_x", "floor_y", "normalized_x", "normalized_y", "magnitude",
           "ring_x", "ring_y", "ring_z", "running", "running_unlocked", "user_x", "user_y",
           "user_rotation_w", "user_rotation_x", "user_rotation_y", "user_rotation_z")
_TEXT_COLUMNS = {"state"}
_INTEGER_COLUMNS = {"segment"}
_BOOL_COLUMNS = {"running", "running_unlocked"}

# The plot's panels: label, columns.
_PLOTS = (("floor speed (m/s)", ("floor_x", "floor_y")), ("magnitude (m/s)", ("magnitude",)),
          ("ring (m)", ("ring_x", "ring_y", "ring_z")), ("user position (m)", ("user_x", "user_y")))
_PLOTTED_COLUMNS = tuple(name for _, names in _PLOTS for name in names)

Command = collections.namedtuple("Command", "time segment command value")
ConnectionChange = collections.namedtuple("ConnectionChange", "time segment state status serial reconnects")
FailedRead = collections.namedtuple("FailedRead", "time segment failed_reads")


class RecordingError(ValueError):
    """The file is not a readable recording; the message names the line."""


class RecordingWarning(UserWarning):
    """Something was skipped (a line cut short)."""


def _optional(package, purpose):
    """The optional package, or an ImportError that says how to install it."""
    try:
        return importlib.import_module(package)
    except ImportError as error:
        raise ImportError(f"{purpose} needs {package} (Debian: python3-{package}, or pip install {package})",
                          name=package) from error


def _normalise(raw):
    value = raw / _NORMALISATION_DIVISOR
    return math.copysign(_NORMALISED_LIMIT, value) if abs(value) > _NORMALISED_LIMIT else value


def _start_time(header, number):
    text = header.get("startTime")
    try:
        return datetime.datetime.fromisoformat(text.replace("Z", "+00:00"))
    except (AttributeError, ValueError):
        raise RecordingError(f"line {number}: startTime {text!r} is not an ISO 8601 time") from None


def _is_header(entry):
    return isinstance(entry, dict) and "format" in entry


def _parse(line):
    """The line's object, or None when it is not one complete JSON object."""
    try:
        entry = json.loads(line)
    except ValueError:
        return None
    return entry if isinstance(entry, dict) else None


def _numbers(entry, key, count, number):
    value = entry.get(key)
    if (not isinstance(value, list) or len(value) != count
            or not all(isinstance(v, (int, float)) and not isinstance(v, bool) for v in value)):
        raise RecordingError(f"line {number}: '{key}' must be a list of {count} numbers")
    return [float(v) for v in value]


def _split_glued_header(line):
    """(cut fragment, header) when a line is the cut end of one segment with the
    next segment's header written right after it (no newline between), else None."""
    start = line.find("{", 1)
    while start != -1:
        entry = _parse(line[start:])
        if _is_header(entry):
            return line[:start], entry
        start = line.find("{", start + 1)
    return None


def _entries(lines):
    """(line number, object) of every complete line; the numbers of the cut ones.

    A line that is not a whole JSON object is a cut line when it ends its
    segment (the next line is a header, or there is none, or the next header
    follows on the same line); anywhere else the file is damaged."""
    parsed = [(number, _parse(line)) for number, line in enumerate(lines, 1)]
    entries, cut = [], []
    for index, (number, entry) in enumerate(parsed):
        if entry is not None:
            entries.append((number, entry))
            continue
        glued = _split_glued_header(lines[index])
        following = parsed[index + 1][1] if index + 1 < len(parsed) else None
        if not glued and index + 1 < len(parsed) and not _is_header(following):
            raise RecordingError(f"line {number}: not a JSON object, and not the last line of its segment")
        cut.append(number)
        if glued:
            entries.append((number, glued[1]))
    return entries, cut


class _Builder:
    """Accumulates the columns while the lines are read in order."""

    def __init__(self):
        self.columns = {name: [] for name in COLUMNS}
        self.commands, self.connections, self.failed_reads = [], [], []
        self.headers, self.segment_starts, self.segment_ends = [], [], []
        self._first_start = None

    def header(self, entry, number):
        if entry.get("format") != FORMAT:
            raise RecordingError(f"line {number}: not a {FORMAT} header")
        version = entry.get("version")
        if not isinstance(version, int) or isinstance(version, bool) or version > VERSION:
            raise RecordingError(f"line {number}: version {version!r} is not one this reader knows (up to {VERSION})")
        start = _start_time(entry, number)
        if self._first_start is None:
            self._first_start = start
        self.headers.append(entry)
        self.segment_starts.append((start - self._first_start).total_seconds())
        self.segment_ends.append(self.segment_starts[-1])
        # A new segment is a new stream: nothing is known of it yet.
        self.state = "connecting"
        self.user = [math.nan] * 2
        self.rotation = [math.nan] * 4

    def line(self, entry, number):
        if not self.headers:
            raise RecordingError(f"line {number}: the first line must be the {FORMAT} header")
        t = entry.get("t")
        if not isinstance(t, (int, float)) or isinstance(t, bool):
            raise RecordingError(f"line {number}: 't' must be a number")
        time = self.segment_starts[-1] + float(t)
        segment = len(self.headers) - 1
        self.segment_ends[-1] = max(self.segment_ends[-1], time)
        event = entry.get("event")
        if event == "sample":
            self.sample(entry, number, time, segment)
        elif event == "command":
            self.command(entry, number, time, segment)
        elif event == "connection":
            self.state = entry.get("state")
            self.connections.append(ConnectionChange(time, segment, self.state, entry.get("status"),
                                                     entry.get("serial", ""), entry.get("reconnects")))
        elif event == "failedRead":
            self.failed_reads.append(FailedRead(time, segment, entry.get("failedReads")))
        # Events this reader does not know are left out, as the format asks.

    def sample(self, entry, number, time, segment):
        floor = _numbers(entry, "floorSpeed", 2, number)
        ring = _numbers(entry, "ring", 3, number)
        row = {"time": time, "segment": segment, "state": self.state,
               "floor_x": floor[0], "floor_y": floor[1],
               "normalized_x": _normalise(floor[0]), "normalized_y": _normalise(floor[1]),
               "magnitude": math.hypot(*floor), "ring_x": ring[0], "ring_y": ring[1], "ring_z": ring[2],
               "running": bool(entry.get("running")), "running_unlocked": bool(entry.get("runningUnlocked")),
               "user_x": self.user[0], "user_y": self.user[1],
               "user_rotation_w": self.rotation[0], "user_rotation_x": self.rotation[1],
               "user_rotation_y": self.rotation[2], "user_rotation_z": self.rotation[3]}
        for name in COLUMNS:
            self.columns[name].append(row[name])

    def command(self, entry, number, time, segment):
        name, value = entry.get("command"), entry.get("value")
        if name == "userPosition":
            self.user = _numbers(entry, "value", 2, number)
        elif name == "userRotation":
            self.rotation = _numbers(entry, "value", 4, number)
        self.commands.append(Command(time, segment, name, value))


def _as_arrays(columns):
    try:
        import numpy
    except ImportError:
        return columns
    types = {name: (str if name in _TEXT_COLUMNS else int if name in _INTEGER_COLUMNS
                    else bool if name in _BOOL_COLUMNS else float) for name in columns}
    return {name: numpy.array(values, dtype=types[name]) for name, values in columns.items()}


class Recording:
    """One recording file as columns and event lists.

    columns        sample columns (COLUMNS), numpy arrays when numpy is installed, else lists;
                   user_* are the position and rotation last sent before each sample (NaN before any)
    commands       Command(time, segment, command, value) in file order
    connections    ConnectionChange(time, segment, state, status, serial, reconnects)
    failed_reads   FailedRead(time, segment, failed_reads)
    headers        each segment's header; segment_starts, segment_ends: the time of each one's
                   header and of its last line
    cut_lines      numbers of the lines skipped because they were cut short
    """

    def __init__(self, builder, cut_lines, path=None):
        self.path = path
        self.columns = _as_arrays(builder.columns)
        self.commands = builder.commands
        self.connections = builder.connections
        self.failed_reads = builder.failed_reads
        self.headers = builder.headers
        self.segment_starts = builder.segment_starts
        self.segment_ends = builder.segment_ends
        self.cut_lines = tuple(cut_lines)

    @property
    def header(self):
        return self.headers[0]

    def __len__(self):
        return len(self.columns["time"])

    def __repr__(self):
        return (f"<Recording {self.path or ''!s}: {len(self)} samples, {len(self.commands)} commands, "
                f"{len(self.headers)} segment(s), {len(self.cut_lines)} cut line(s)>")

    def lost_intervals(self):
        """(start, end) of every stretch without a connection once the first was made:
        from a change to any state but "connected", or the last line of a segment,
        until the next "connected" (or the last line of the file). Waiting for the
        first connection is the stream starting, not a loss."""
        markers = [(end, None) for end in self.segment_ends[:-1]]
        markers += [(event.time, event.state) for event in self.connections]
        intervals, lost_since, connected_once = [], None, False
        for time, state in sorted(markers, key=lambda marker: (marker[0], marker[1] is not None)):
            if state == "connected":
                if lost_since is not None:
                    intervals.append((lost_since, time))
                lost_since, connected_once = None, True
            elif lost_since is None and connected_once:
                lost_since = time
        if lost_since is not None and lost_since < self.segment_ends[-1]:
            intervals.append((lost_since, self.segment_ends[-1]))
        return intervals

    def to_pandas(self):
        """The sample columns as a pandas DataFrame (raises ImportError without pandas)."""
        pandas = _optional("pandas", "to_pandas()")
        return pandas.DataFrame({name: self.columns[name] for name in COLUMNS})

    def write_csv(self, path):
        """The sample columns as CSV, one row per sample, COLUMNS as the header."""
        with open(path, "w", newline="", encoding="utf-8") as out:
            writer = csv.writer(out)
            writer.writerow(COLUMNS)
            for row in zip(*(self.columns[name] for name in COLUMNS)):
                writer.writerow([repr(float(v)) if isinstance(v, float) else v for v in row])

    def _title(self):
        """The treadmill's serial number(s) and when the recording started (UTC)."""
        serials = ", ".join(dict.fromkeys(c.serial for c in self.connections if c.serial)) or "serial number unknown"
        return f"{serials}, recorded {_start_time(self.header, 1):%Y-%m-%d %H:%M:%S} UTC"

    def figure(self):
        """Speeds, magnitude, ring and user position over time as a matplotlib Figure,
        stretches without a connection shaded and the lines broken over them
        (raises ImportError without matplotlib)."""
        _optional("matplotlib", "plotting")
        import numpy
        from matplotlib.figure import Figure  # not pyplot: no backend or global state to set up
        figure = Figure(figsize=(10, 9), layout="tight")
        axes = figure.subplots(4, 1, sharex=True)
        lost = self.lost_intervals()
        # A NaN row before the first sample after each loss ends every line there: a
        # line drawn across would show a change of speed nobody measured.
        breaks = numpy.unique(numpy.searchsorted(self.columns["time"], [start for start, _ in lost], side="right"))
        breaks = breaks[(breaks > 0) & (breaks < len(self))]
        broken = {name: numpy.insert(numpy.asarray(self.columns[name], dtype=float), breaks, math.nan)
                  for name in ("time",) + _PLOTTED_COLUMNS}
        for axis, (label, names) in zip(axes, _PLOTS):
            for name in names:
                axis.plot(broken["time"], broken[name], label=name, linewidth=1)
            for start, end in lost:
                axis.axvspan(start, end, color="red", alpha=0.15, linewidth=0)
            axis.set_ylabel(label)
            axis.legend(loc="upper right", fontsize="small")
        axes[0].set_title(self._title())
        axes[-1].set_xlabel("time since the recording started (s); shaded: no connection")
        return figure

    def plot(self, path):
        """figure() written as an image (raises ImportError without matplotlib)."""
        self.figure().savefig(path)


def read_recording(path):
    """Reads a recording file; raises RecordingError (naming the line) when it is not one."""
    with open(path, encoding="utf-8", errors="replace", newline="\n") as source:
        text = source.read()
    lines = text.split("\n")
    if lines and lines[-1] == "":
        lines.pop()  # the newline that ends the last line
    if not lines:
        raise RecordingError(f"{path}: empty file, not a recording")
    entries, cut = _entries(lines)
    builder = _Builder()
    for number, entry in entries:
        if _is_header(entry):
            builder.header(entry, number)
        else:
            builder.line(entry, number)
    if not builder.headers:
        raise RecordingError(f"line 1: the first line must be the {FORMAT} header")
    for number in cut:
        warnings.warn(f"{path}: line {number} was cut short and is skipped", RecordingWarning, stacklevel=2)
    return Recording(builder, cut, path)


def main(arguments=None):
    parser = argparse.ArgumentParser(prog="python -m quorvellan.recording",
                                     description="Summarise a recording; write it as CSV or plot it.")
    parser.add_argument("file")
    parser.add_argument("--csv", metavar="OUT", help="write the sample columns as CSV")
    parser.add_argument("--plot", metavar="OUT.png",
                        help="plot speeds, magnitude, ring and user position (needs matplotlib)")
    options = parser.parse_args(arguments)
    try:
        with warnings.catch_warnings():
            warnings.simplefilter("ignore", RecordingWarning)
            recording = read_recording(options.file)
    except (OSError, RecordingError) as error:
        print(f"quorvellan.recording: {error}", file=sys.stderr)
        return 2
    for number in recording.cut_lines:
        print(f"quorvellan.recording: line {number} was cut short and is skipped", file=sys.stderr)
    if options.csv:
        recording.write_csv(options.csv)
    if options.plot:
        try:
            recording.plot(options.plot)
        except ImportError as error:
            print(f"quorvellan.recording: --plot: {error}", file=sys.stderr)
            return 2
    duration = float(recording.columns["time"][-1]) if len(recording) else 0.0
    print(f"{options.file}: {len(recording)} samples over {duration:.2f} s, {len(recording.commands)} commands, "
          f"{len(recording.connections)} connection changes, {len(recording.headers)} segment(s), "
          f"{len(recording.lost_intervals())} stretch(es) without a connection")
    return 0


if __name__ == "__main__":
    sys.exit(main())
