// The monitor's web view: live samples from the WebSocket, or a recording
// played with a time slider. Plain canvas drawing: no library to fetch or
// keep up to date, and a few hundred points per plot draw in well under a
// millisecond.
'use strict';

const kWindowSeconds = 30;
const kRingRadius = 0.5;  // metres, as the monitor's walker
const kColors = { x: '#1565c0', y: '#e65100', magnitude: '#2e7d32' };

const view = {
  mode: 'live',
  history: [],       // samples of the last kWindowSeconds, oldest first
  arrivals: [],      // arrival times (ms) of the live samples of the last second
  recording: null,   // { frames, duration }
  position: 0,       // seconds into the recording
  playing: false,
  lastLive: null,
};

const $ = (id) => document.getElementById(id);

function fixed(value, digits = 3) {
  return typeof value === 'number' ? value.toFixed(digits) : '-';
}

// ---- Readouts ------------------------------------------------------------

function showSample(sample) {
  const state = $('state');
  state.textContent = sample.state;
  state.className = sample.state;
  $('serial').textContent = sample.serial || '-';
  $('reconnects').textContent = sample.reconnects;
  $('time').textContent = fixed(sample.time, 2);
  $('floor-x').textContent = fixed(sample.floorSpeed.x);
  $('floor-y').textContent = fixed(sample.floorSpeed.y);
  $('magnitude').textContent = fixed(sample.magnitude);
  $('ring-x').textContent = fixed(sample.ring.x);
  $('ring-y').textContent = fixed(sample.ring.y);
  $('running').textContent = sample.running ? (sample.runningUnlocked ? 'yes' : 'yes, locked') : 'no';
  drawTop(sample);
  drawPlots(view.history, sample.time);
}

function addToHistory(history, sample) {
  history.push(sample);
  while (history.length && history[0].time < sample.time - kWindowSeconds) history.shift();
}

// ---- Top-down view -------------------------------------------------------

function drawTop(sample) {
  const canvas = $('top');
  const g = canvas.getContext('2d');
  const size = canvas.width;
  const scale = size / (4.4 * kRingRadius);  // pixels per metre: the ring may sit 0.5 m off centre
  const px = (x) => size / 2 + x * scale;
  const py = (y) => size / 2 - y * scale;    // ahead (+y) is up
  g.clearRect(0, 0, size, size);

  g.strokeStyle = '#bbb';
  g.beginPath(); g.moveTo(px(0), 0); g.lineTo(px(0), size); g.moveTo(0, py(0)); g.lineTo(size, py(0)); g.stroke();
  // Where the ring's centre can go.
  g.setLineDash([4, 4]);
  g.beginPath(); g.arc(px(0), py(0), kRingRadius * scale, 0, 2 * Math.PI); g.stroke();
  g.setLineDash([]);

  // The ring around the user, at its reported position.
  g.strokeStyle = '#555';
  g.lineWidth = 2;
  g.beginPath(); g.arc(px(sample.ring.x), py(sample.ring.y), kRingRadius * scale, 0, 2 * Math.PI); g.stroke();
  g.fillStyle = '#555';
  g.beginPath(); g.arc(px(sample.ring.x), py(sample.ring.y), 4, 0, 2 * Math.PI); g.fill();

  if (sample.user) {
    g.fillStyle = '#6a1b9a';
    g.beginPath(); g.arc(px(sample.user.x), py(sample.user.y), 8, 0, 2 * Math.PI); g.fill();
  }

  // The belts' velocity, from the centre, 1 m/s = one ring radius.
  const tipX = px(sample.floorSpeed.x * kRingRadius), tipY = py(sample.floorSpeed.y * kRingRadius);
  g.strokeStyle = g.fillStyle = kColors.magnitude;
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
  g.fillStyle = '#333';
  g.font = '12px system-ui';
  g.fillText('ahead', px(0) + 4, 14);
  g.fillText('ring \u25cb  user \u25cf  belts \u2192', 6, size - 8);
}

// ---- Time plots ----------------------------------------------------------

function drawPlot(canvas, title, unit, history, end, series) {
  const g = canvas.getContext('2d');
  const width = canvas.width, height = canvas.height, left = 46, top = 18, bottom = 16;
  g.clearRect(0, 0, width, height);
  let limit = 0.5;
  for (const sample of history) for (const s of series) limit = Math.max(limit, Math.abs(s.value(sample)));
  const low = series.every((s) => s.positive) ? 0 : -limit;
  const x = (time) => left + (width - left - 8) * (1 - (end - time) / kWindowSeconds);
  const y = (value) => top + (height - top - bottom) * (limit - value) / (limit - low);

  g.strokeStyle = '#ddd';
  g.fillStyle = '#666';
  g.font = '11px system-ui';
  for (const value of [low, (low + limit) / 2, limit]) {
    g.beginPath(); g.moveTo(left, y(value)); g.lineTo(width - 8, y(value)); g.stroke();
    g.fillText(value.toFixed(2), 4, y(value) + 4);
  }
  for (let seconds = 0; seconds <= kWindowSeconds; seconds += 5)
    g.fillText(seconds ? `-${seconds} s` : 'now', x(end - seconds) - 12, height - 3);
  g.fillStyle = '#222';
  g.fillText(`${title} (${unit})`, left, 12);

  let legend = left + 160;
  for (const s of series) {
    g.strokeStyle = g.fillStyle = s.color;
    g.fillText(s.label, legend, 12);
    legend += 70;
    g.lineWidth = 1.5;
    g.beginPath();
    history.forEach((sample, i) => {
      const point = [x(sample.time), y(s.value(sample))];
      if (i === 0) g.moveTo(...point); else g.lineTo(...point);
    });
    g.stroke();
  }
  g.lineWidth = 1;
}

function drawPlots(history, end) {
  drawPlot($('plot-floor'), 'floor speed', 'm/s', history, end, [
    { label: 'x', color: kColors.x, value: (s) => s.floorSpeed.x },
    { label: 'y', color: kColors.y, value: (s) => s.floorSpeed.y },
  ]);
  drawPlot($('plot-magnitude'), 'speed magnitude', 'm/s', history, end, [
    { label: '|v|', color: kColors.magnitude, value: (s) => s.magnitude, positive: true },
  ]);
  drawPlot($('plot-ring'), 'ring position', 'm', history, end, [
    { label: 'x', color: kColors.x, value: (s) => s.ring.x },
    { label: 'y', color: kColors.y, value: (s) => s.ring.y },
  ]);
}

// ---- Live ----------------------------------------------------------------

function showRate() {
  const now = performance.now();
  while (view.arrivals.length && view.arrivals[0] < now - 1000) view.arrivals.shift();
  $('rate').textContent = `${view.arrivals.length} /s`;
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
    if (view.mode === 'live') {
      $('state').textContent = 'monitor unreachable';
      $('state').className = 'unreachable';
    }
    setTimeout(connectLive, 1000);
  };
}

// ---- Recordings (docs/recording-format.md) -------------------------------

// Turns a recording's lines into samples like the live ones. A file may hold
// several segments (a program that started its stream again), each from its
// own header line; they play one after another, each segment's times
// following the previous segment's last time. The last line of the file or
// of a segment may be cut short (a program that crashed): it is skipped and
// listed in `skipped`. Throws an Error naming the line for a file that is
// not a recording.
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
      return;
    }
    if (typeof event.t !== 'number') throw new Error(`line ${number}: no time "t"`);
    segment.lastTime = event.t;
    if (event.event === 'connection') {
      context = { ...context, state: event.state, serial: event.serial, reconnects: event.reconnects };
    } else if (event.event === 'command' && event.command === 'userPosition') {
      context.user = { x: event.value[0], y: event.value[1] };
    } else if (event.event === 'sample') {
      if (!Array.isArray(event.floorSpeed) || !Array.isArray(event.ring))
        throw new Error(`line ${number}: a sample without floorSpeed or ring`);
      const time = segment.start + event.t;
      if (first === null) first = time;
      const [fx, fy] = event.floorSpeed;
      frames.push({
        time: time - first, floorSpeed: { x: fx, y: fy }, magnitude: Math.hypot(fx, fy),
        ring: { x: event.ring[0], y: event.ring[1], z: event.ring[2] },
        running: event.running, runningUnlocked: event.runningUnlocked, user: context.user,
        state: context.state, serial: context.serial, reconnects: context.reconnects,
      });
    }
  });
  if (cut !== '') skipped.push(`line ${lines.length + 1}: cut short (the file ends inside this line); skipped`);
  if (!frames.length) throw new Error(`line ${lines.length + (cut !== '' ? 1 : 0)}: the recording has no sample`);
  return { frames, duration: frames[frames.length - 1].time, skipped };
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
setInterval(showRate, 250);
connectLive();
