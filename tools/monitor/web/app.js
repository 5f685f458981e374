// The monitor's web view: live samples from the WebSocket, or a recording
// played with a time slider. Plain canvas drawing: no library to fetch or
// keep up to date, and a few hundred points per plot draw in well under a
// millisecond.
'use strict';

const kWindowSeconds = 30;
const kRingRadius = 0.5;      // metres, as the monitor's walker
const kGapIntervals = 3;      // a pause of this many sample intervals is drawn as a gap
const kMinGapSeconds = 0.25;  // but never a shorter one: a busy machine stalls for ~100 ms
// Every colour of the drawings; the legends take theirs from here.
const kColors = {
  x: '#1565c0', y: '#e65100', belts: '#2e7d32', user: '#6a1b9a', ring: '#555', reach: '#bbb', axes: '#bbb',
  grid: '#ddd', labels: '#666', title: '#222', cursor: '#c62828',
};
const kTopLegend = [
  { mark: '\u25cb', label: 'ring', color: kColors.ring },
  { mark: '\u25cf', label: 'user', color: kColors.user },
  { mark: '\u2192', label: 'belts (1 m/s = 0.5 m)', color: kColors.belts },
  { mark: '\u25cc', label: 'where the ring can go', color: kColors.reach },
];

const view = {
  mode: 'live',
  history: [],       // samples of the last kWindowSeconds, oldest first
  arrivals: [],      // arrival times (ms) of the live samples of the last second
  recording: null,   // { frames, duration, rate, skipped }
  position: 0,       // seconds into the recording
  playing: false,
  lastLive: null,
  shown: null,       // the sample on screen, drawn again when the window's size changes
  drawn: {},         // per plot: its time labels and the runs of points drawn
};
// What the plots show, for the browser tests.
window.webView = { drawn: () => view.drawn };

const $ = (id) => document.getElementById(id);

function fixed(value, digits = 3) {
  return typeof value === 'number' ? value.toFixed(digits) : '-';
}

// Gives a canvas as many pixels as it has on screen; draws in CSS pixels.
function fitCanvas(canvas) {
  const ratio = window.devicePixelRatio || 1;
  const width = canvas.clientWidth, height = canvas.clientHeight;
  const pixelsWide = Math.max(1, Math.round(width * ratio)), pixelsHigh = Math.max(1, Math.round(height * ratio));
  if (canvas.width !== pixelsWide || canvas.height !== pixelsHigh) {
    canvas.width = pixelsWide;
    canvas.height = pixelsHigh;
  }
  const g = canvas.getContext('2d');
  g.setTransform(ratio, 0, 0, ratio, 0, 0);
  g.clearRect(0, 0, width, height);
  return { g, width, height };
}

// ---- Readouts ------------------------------------------------------------

function showState(state, detail = '') {
  $('state').textContent = state;
  $('state').className = state;
  $('state-detail').textContent = detail;
}

function stateDetail(sample) {
  if (sample.state === 'lost') return '(reconnecting)';
  if (sample.state === 'connecting') return '(waiting for the controller)';
  return '';
}

function showSample(sample) {
  showState(sample.state, stateDetail(sample));
  $('serial').textContent = sample.serial || '-';
  $('reconnects').textContent = sample.reconnects;
  $('time').textContent = fixed(sample.time, 2);
  // Without a reading the values are the stream's zeros: shown as none.
  const read = (value) => (sample.connected ? value : undefined);
  $('floor-x').textContent = fixed(read(sample.floorSpeed.x));
  $('floor-y').textContent = fixed(read(sample.floorSpeed.y));
  $('magnitude').textContent = fixed(read(sample.magnitude));
  $('ring-x').textContent = fixed(read(sample.ring.x));
  $('ring-y').textContent = fixed(read(sample.ring.y));
  $('running').textContent = !sample.connected ? '-' : sample.running ? (sample.runningUnlocked ? 'yes' : 'yes, locked') : 'no';
  view.shown = sample;
  draw();
}

function draw() {
  if (!view.shown) return;
  drawTop(view.shown);
  drawPlots(view.history, timeAxis(), gapSeconds());
}

function addToHistory(history, sample) {
  // A monitor started again counts its time from 0: its old samples go.
  if (history.length && sample.time < history[history.length - 1].time) history.length = 0;
  history.push(sample);
  while (history.length && history[0].time < sample.time - kWindowSeconds) history.shift();
}

function showLegend() {
  $('legend').replaceChildren(...kTopLegend.map(({ mark, label, color }) => {
    const item = document.createElement('span');
    const swatch = document.createElement('b');
    swatch.style.color = color;
    swatch.textContent = mark;
    item.append(swatch, ` ${label}`);
    return item;
  }));
}

// ---- Top-down view -------------------------------------------------------

function drawTop(sample) {
  const { g, width, height } = fitCanvas($('top'));
  const size = Math.min(width, height);
  const scale = size / (4.4 * kRingRadius);  // pixels per metre: the ring may sit 0.5 m off centre
  const px = (x) => width / 2 + x * scale;
  const py = (y) => height / 2 - y * scale;  // ahead (+y) is up

  g.strokeStyle = kColors.axes;
  g.beginPath(); g.moveTo(px(0), 0); g.lineTo(px(0), height); g.moveTo(0, py(0)); g.lineTo(width, py(0)); g.stroke();
  // Where the ring's centre can go.
  g.strokeStyle = kColors.reach;
  g.setLineDash([4, 4]);
  g.beginPath(); g.arc(px(0), py(0), kRingRadius * scale, 0, 2 * Math.PI); g.stroke();
  g.setLineDash([]);
  drawScale(g, width, height, scale);
  g.fillStyle = kColors.title;
  g.font = '12px system-ui';
  g.fillText('ahead', px(0) + 4, 14);
  // Without a reading there is nothing true to draw: no zeros for a ring and belts not read.
  if (!sample.connected) {
    g.fillStyle = kColors.labels;
    g.fillText(`no reading (${sample.state})`, 6, 14);
    return;
  }

  // The ring around the user, at its reported position.
  g.strokeStyle = g.fillStyle = kColors.ring;
  g.lineWidth = 2;
  g.beginPath(); g.arc(px(sample.ring.x), py(sample.ring.y), kRingRadius * scale, 0, 2 * Math.PI); g.stroke();
  g.beginPath(); g.arc(px(sample.ring.x), py(sample.ring.y), 4, 0, 2 * Math.PI); g.fill();

  if (sample.user) {
    g.fillStyle = kColors.user;
    g.beginPath(); g.arc(px(sample.user.x), py(sample.user.y), 8, 0, 2 * Math.PI); g.fill();
  }

  // The belts' velocity, from the centre, 1 m/s = one ring radius.
  const tipX = px(sample.floorSpeed.x * kRingRadius), tipY = py(sample.floorSpeed.y * kRingRadius);
  g.strokeStyle = g.fillStyle = kColors.belts;
  g.lineWidth = 3;
  g.beginPath(); g.moveTo(px(0), py(0)); g.lineTo(tipX, tipY); g.stroke();
  if (sample.magnitude > 0.01) {
    const angle = Math.atan2(tipY - py(0), tipX - px(0));
    g.beginPath();
    g.moveTo(tipX, tipY);
    g.lineTo(tipX - 12 * Math.cos(angle - 0.4), tipY - 12 * Math.sin(angle - 0.4));
    g.lineTo(tipX - 12 * Math.cos(angle + 0.4), tipY - 12 * Math.sin(angle + 0.4));
    g.fill();
  }
  g.lineWidth = 1;
}

// A bar of half a metre (the ring's radius) in the bottom right corner.
function drawScale(g, width, height, scale) {
  const length = kRingRadius * scale, right = width - 10, y = height - 10;
  g.strokeStyle = g.fillStyle = kColors.title;
  g.lineWidth = 2;
  g.beginPath();
  g.moveTo(right - length, y - 5); g.lineTo(right - length, y); g.lineTo(right, y); g.lineTo(right, y - 5);
  g.stroke();
  g.lineWidth = 1;
  g.font = '12px system-ui';
  g.fillText(`${kRingRadius} m`, right - length / 2 - 12, y - 6);
}

// ---- Time plots ----------------------------------------------------------

// 1, 2 or 5 times a power of ten: the smallest such step of at least `raw`.
function niceStep(raw) {
  const power = 10 ** Math.floor(Math.log10(raw));
  return [1, 2, 5, 10].map((m) => m * power).find((step) => step >= raw - 1e-9);
}

const secondsLabel = (value) => `${Number(value.toFixed(3))} s`;

// Live: the last 30 s up to the newest sample. A recording: its own seconds
// from its start, all of it when it is shorter than 30 s.
function timeAxis() {
  if (view.mode === 'recording') {
    const span = Math.min(kWindowSeconds, view.recording.duration) || 1;
    const start = Math.max(0, view.position - span);
    const step = niceStep(span / 6);
    const ticks = [];
    for (let t = Math.ceil(start / step - 1e-9) * step; t <= start + span + 1e-9; t += step)
      ticks.push({ time: t, label: secondsLabel(t) });
    return { start, end: start + span, ticks, cursor: view.position };
  }
  const end = view.shown.time;
  const ticks = [];
  for (let ago = 0; ago <= kWindowSeconds; ago += 5) ticks.push({ time: end - ago, label: ago ? `-${secondsLabel(ago)}` : 'now' });
  return { start: end - kWindowSeconds, end, ticks };
}

// A pause longer than this between samples is samples missing.
function gapSeconds() {
  const rate = view.mode === 'recording' ? view.recording.rate : view.shown.sampleRate;
  return Math.max(rate ? kGapIntervals / rate : 0, kMinGapSeconds);
}

// The samples as runs of points drawn joined: a sample without a reading is
// left out, and a pause longer than `gap` or a loss between two samples ends
// a run, so a lost stretch shows as a gap, never as zeros.
function runsOf(history, value, gap) {
  const runs = [];
  let run = null, last = -Infinity;
  for (const sample of history) {
    if (!sample.connected) {
      run = null;
      continue;
    }
    if (!run || sample.gapBefore || sample.time - last > gap) runs.push(run = []);
    run.push([sample.time, value(sample)]);
    last = sample.time;
  }
  return runs;
}

function drawPlot(canvas, title, unit, history, axis, gap, series) {
  const { g, width, height } = fitCanvas(canvas);
  const left = 46, right = 10, top = 18, bottom = 16;
  const drawn = series.map((s) => ({ label: s.label, color: s.color, runs: runsOf(history, s.value, gap) }));
  let limit = 0.5;
  for (const s of drawn) for (const run of s.runs) for (const [, value] of run) limit = Math.max(limit, Math.abs(value));
  const low = series.every((s) => s.positive) ? 0 : -limit;
  const x = (time) => left + (width - left - right) * (time - axis.start) / (axis.end - axis.start);
  const y = (value) => top + (height - top - bottom) * (limit - value) / (limit - low);

  g.strokeStyle = kColors.grid;
  g.fillStyle = kColors.labels;
  g.font = '11px system-ui';
  for (const value of [low, (low + limit) / 2, limit]) {
    g.beginPath(); g.moveTo(left, y(value)); g.lineTo(width - right, y(value)); g.stroke();
    g.fillText(value.toFixed(2), 4, y(value) + 4);
  }
  for (const tick of axis.ticks) {
    const labelWidth = g.measureText(tick.label).width;
    g.fillText(tick.label, Math.min(Math.max(x(tick.time) - labelWidth / 2, left), width - right - labelWidth), height - 3);
  }
  g.fillStyle = kColors.title;
  g.fillText(`${title} (${unit})`, left, 12);
  if (axis.cursor !== undefined) {
    g.strokeStyle = kColors.cursor;
    g.beginPath(); g.moveTo(x(axis.cursor), top); g.lineTo(x(axis.cursor), height - bottom); g.stroke();
  }

  let legend = left + 160;
  g.save();
  g.beginPath(); g.rect(left, 0, width - left - right, height); g.clip();
  for (const s of drawn) {
    g.strokeStyle = g.fillStyle = s.color;
    g.fillText(s.label, legend, 12);
    legend += 70;
    g.lineWidth = 1.5;
    for (const run of s.runs) {
      if (run.length === 1) g.fillRect(x(run[0][0]) - 1.5, y(run[0][1]) - 1.5, 3, 3);  // a lone sample: a dot
      g.beginPath();
      run.forEach(([time, value], i) => (i ? g.lineTo(x(time), y(value)) : g.moveTo(x(time), y(value))));
      g.stroke();
    }
  }
  g.restore();
  view.drawn[canvas.id] = { ticks: axis.ticks.map((tick) => tick.label), series: drawn };
}

function drawPlots(history, axis, gap) {
  drawPlot($('plot-floor'), 'floor speed', 'm/s', history, axis, gap, [
    { label: 'x', color: kColors.x, value: (s) => s.floorSpeed.x },
    { label: 'y', color: kColors.y, value: (s) => s.floorSpeed.y },
  ]);
  drawPlot($('plot-magnitude'), 'speed magnitude', 'm/s', history, axis, gap, [
    { label: '|v|', color: kColors.belts, value: (s) => s.magnitude, positive: true },
  ]);
  drawPlot($('plot-ring'), 'ring position', 'm', history, axis, gap, [
    { label: 'x', color: kColors.x, value: (s) => s.ring.x },
    { label: 'y', color: kColors.y, value: (s) => s.ring.y },
  ]);
}

// ---- Live ----------------------------------------------------------------

// Live: samples counted as they arrive over the last second. A recording
// shows its own rate, from its timestamps.
function showRate() {
  const now = performance.now();
  while (view.arrivals.length && view.arrivals[0] < now - 1000) view.arrivals.shift();
  if (view.mode === 'live') $('rate').textContent = `${view.arrivals.length} /s`;
}

function connectLive() {
  const socket = new WebSocket(`ws://${location.host}/samples`);
  socket.onmessage = (event) => {
    const sample = JSON.parse(event.data);
    view.arrivals.push(performance.now());
    view.lastLive = sample;
    if (view.mode !== 'live') return;
    addToHistory(view.history, sample);
    showSample(sample);
  };
  socket.onclose = () => {
    if (view.mode === 'live') showState('monitor unreachable', '(trying again)');
    setTimeout(connectLive, 1000);
  };
}

// ---- Recordings (docs/recording-format.md) -------------------------------

// Turns a recording's lines into samples like the live ones. A file may hold
// several segments (a program that started its stream again), each from its
// own header line; they play one after another, each segment's times
// following the previous segment's last time. The last line of the file or
// of a segment may be cut short (a program that crashed): it is skipped and
// listed in `skipped`. Every recorded sample is a reading; a loss of the
// connection or a new segment between two of them is marked `gapBefore`.
// The sample rate comes from the samples' own times. Throws an Error naming
// the line for a file that is not a recording.
function parseRecording(text) {
  const lines = text.split('\n');
  const cut = lines.pop();  // '' after a file's last '\n'
  const skipped = [];
  if (!lines.length && cut === '') throw new Error('line 1: the file is empty');
  const parsed = lines.map((line) => {
    try { return JSON.parse(line); } catch (e) { return undefined; }
  });
  const isObject = (value) => typeof value === 'object' && value !== null && !Array.isArray(value);
  const isHeader = (value) => isObject(value) && 'format' in value;
  const checkHeader = (header, number) => {
    if (header.format !== 'quorvellan-recording') throw new Error(`line ${number}: not a recording`);
    if (header.version !== 1)
      throw new Error(`line ${number}: format version ${JSON.stringify(header.version)}; this page reads version 1`);
  };
  const frames = [];
  let context = { state: 'connecting', serial: '', reconnects: 0, user: undefined };
  let first = null;
  const segment = { count: 0, start: 0, lastTime: null };  // start: when its "t" is 0
  const intervals = [];  // between samples with no loss between them
  let previous = null;   // the time of the sample before, unless a loss or a segment came since
  parsed.forEach((event, index) => {
    const number = index + 1;
    if (event === undefined) {
      if (number > 1 && isHeader(parsed[index + 1])) {
        skipped.push(`line ${number}: cut short (a new segment starts after it); skipped`);
        return;
      }
      throw new Error(`line ${number}: not JSON`);
    }
    if (!isObject(event)) throw new Error(`line ${number}: not a JSON object`);
    if (number === 1 || isHeader(event)) {
      checkHeader(event, number);
      if (segment.count++ > 0 && segment.lastTime !== null) segment.start += Math.max(segment.lastTime, 0);
      segment.lastTime = null;
      previous = null;
      return;
    }
    if (typeof event.t !== 'number') throw new Error(`line ${number}: no time "t"`);
    segment.lastTime = event.t;
    if (event.event === 'connection') {
      context = { ...context, state: event.state, serial: event.serial, reconnects: event.reconnects };
      if (event.state !== 'connected') previous = null;
    } else if (event.event === 'command' && event.command === 'userPosition') {
      context.user = { x: event.value[0], y: event.value[1] };
    } else if (event.event === 'sample') {
      if (!Array.isArray(event.floorSpeed) || !Array.isArray(event.ring))
        throw new Error(`line ${number}: a sample without floorSpeed or ring`);
      const time = segment.start + event.t;
      if (first === null) first = time;
      if (previous !== null) intervals.push(time - previous);
      const gapBefore = previous === null && frames.length > 0;
      previous = time;
      const [fx, fy] = event.floorSpeed;
      frames.push({
        time: time - first, floorSpeed: { x: fx, y: fy }, magnitude: Math.hypot(fx, fy),
        ring: { x: event.ring[0], y: event.ring[1], z: event.ring[2] },
        running: event.running, runningUnlocked: event.runningUnlocked, user: context.user,
        state: context.state, serial: context.serial, reconnects: context.reconnects,
        connected: true, gapBefore,
      });
    }
  });
  if (cut !== '') skipped.push(`line ${lines.length + 1}: cut short (the file ends inside this line); skipped`);
  if (!frames.length) throw new Error(`line ${lines.length + (cut !== '' ? 1 : 0)}: the recording has no sample`);
  return { frames, duration: frames[frames.length - 1].time, skipped, rate: rateOf(intervals) };
}

// Samples per second from the intervals between them: their median, which
// a few samples missing or one late poll do not move.
function rateOf(intervals) {
  if (!intervals.length) return 0;
  const sorted = [...intervals].sort((a, b) => a - b);
  const median = sorted[Math.floor((sorted.length - 1) / 2)];
  return median > 0 ? 1 / median : 0;
}

function showRecordingAt(seconds) {
  const { frames, duration } = view.recording;
  view.position = Math.min(Math.max(seconds, 0), duration);
  let last = 0;
  while (last + 1 < frames.length && frames[last + 1].time <= view.position) ++last;
  let firstShown = last;
  while (firstShown > 0 && frames[firstShown - 1].time >= view.position - kWindowSeconds) --firstShown;
  view.history = frames.slice(firstShown, last + 1);
  $('slider').value = view.position;
  $('recording-time').textContent = `${view.position.toFixed(2)} / ${duration.toFixed(2)} s`;
  showSample(frames[last]);
}

function play() {
  if (view.mode !== 'recording') return;
  view.playing = !view.playing;
  $('play').textContent = view.playing ? 'pause' : 'play';
  if (!view.playing) return;
  if (view.position >= view.recording.duration) view.position = 0;
  let before = performance.now();
  const step = (now) => {
    if (!view.playing || view.mode !== 'recording') return;
    showRecordingAt(view.position + (now - before) / 1000);
    before = now;
    if (view.position >= view.recording.duration) return play();
    requestAnimationFrame(step);
  };
  requestAnimationFrame(step);
}

function openRecording(file) {
  file.text().then((text) => {
    try {
      view.recording = parseRecording(text);
    } catch (error) {
      $('recording-error').textContent = `${file.name}: ${error.message}`;
      $('recording-notice').textContent = '';
      return;
    }
    $('recording-error').textContent = '';
    // A recording of a program that crashed ends inside a line: say so.
    $('recording-notice').textContent = view.recording.skipped.length
      ? `${file.name}: ${view.recording.skipped.join('; ')}` : '';
    view.mode = 'recording';
    view.playing = false;
    $('mode').textContent = `recording ${file.name}`;
    $('slider').max = view.recording.duration;
    $('rate').textContent = view.recording.rate ? `${view.recording.rate.toFixed(1)} /s` : '-';
    for (const id of ['play', 'slider', 'live']) $(id).disabled = false;
    $('play').textContent = 'play';
    showRecordingAt(0);
  });
}

function backToLive() {
  view.mode = 'live';
  view.playing = false;
  view.history = [];
  $('mode').textContent = 'live';
  for (const id of ['play', 'slider', 'live']) $(id).disabled = true;
  $('recording-time').textContent = '';
  if (view.lastLive) showSample(view.lastLive);
}

$('recording-file').addEventListener('change', (event) => {
  if (event.target.files.length) openRecording(event.target.files[0]);
});
$('play').addEventListener('click', play);
$('slider').addEventListener('input', (event) => {
  if (view.mode === 'recording') showRecordingAt(Number(event.target.value));
});
$('live').addEventListener('click', backToLive);
window.addEventListener('resize', draw);
showLegend();
setInterval(showRate, 250);
connectLive();
