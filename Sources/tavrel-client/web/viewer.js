// The live viewer: decodes the helper's H.264 stream with WebCodecs onto a canvas and turns
// the mouse, touch and keyboard into the helper's HID events, in the screen's points.

const token = new URLSearchParams(location.search).get('token') ?? '';
const canvas = document.getElementById('video');
const context = canvas.getContext('2d', { willReadFrequently: true });
const screenBox = document.getElementById('screen');
const outline = document.getElementById('outline');
const statusLine = document.getElementById('status');
const notice = document.getElementById('notice');

// What tests and benchmarks read.
const stats = (window.viewerStats = {
  connected: false,
  frames: 0,
  fps: 0,
  screen: null,
  codec: null,
  latencies: [],
  lastLatencyMs: null,
});

let socket = null;
let screen = null; // the helper's describe document
let nextId = 1;
const waiting = new Map(); // request id -> resolve

function say(text) {
  notice.hidden = !text;
  notice.textContent = text ?? '';
}

function request(op, extra = {}) {
  if (!socket || socket.readyState !== WebSocket.OPEN) return Promise.resolve(null);
  const id = nextId++;
  socket.send(JSON.stringify({ id, op, ...extra }));
  return new Promise((resolve) => waiting.set(id, resolve));
}

function hid(events) {
  return request('hid', { events });
}

// ---- video ------------------------------------------------------------------------------------

let decoder = null;
let codec = null;
let timestamp = 0;
const frameTimes = [];

// NAL units of one Annex B access unit, as [type, offset of the unit's first byte].
function nalUnits(bytes) {
  const units = [];
  for (let i = 0; i + 2 < bytes.length; i++) {
    if (bytes[i] === 0 && bytes[i + 1] === 0 && bytes[i + 2] === 1) {
      if (i + 3 < bytes.length) units.push([bytes[i + 3] & 0x1f, i + 3]);
      i += 2;
    }
  }
  return units;
}

// "avc1.PPCCLL" from the SPS's profile, constraint flags and level.
function codecOf(bytes, at) {
  const hex = (value) => value.toString(16).padStart(2, '0');
  return `avc1.${hex(bytes[at + 1])}${hex(bytes[at + 2])}${hex(bytes[at + 3])}`;
}

function resetDecoder() {
  if (decoder && decoder.state !== 'closed') decoder.close();
  decoder = null;
  codec = null;
}

function showFrame(frame) {
  if (canvas.width !== frame.displayWidth || canvas.height !== frame.displayHeight) {
    canvas.width = frame.displayWidth;
    canvas.height = frame.displayHeight;
  }
  context.drawImage(frame, 0, 0, canvas.width, canvas.height);
  frame.close();
  const now = performance.now();
  stats.frames++;
  frameTimes.push(now);
  while (frameTimes.length && now - frameTimes[0] > 1000) frameTimes.shift();
  checkLatency(now);
  say(null);
}

function video(data) {
  const bytes = new Uint8Array(data);
  const units = nalUnits(bytes);
  const key = units.length > 0 && units[0][0] === 7;
  if (key) {
    const wanted = codecOf(bytes, units[0][1]);
    if (wanted !== codec || !decoder || decoder.state === 'closed') {
      resetDecoder();
      decoder = new VideoDecoder({
        output: showFrame,
        error: (error) => {
          say(`decoding failed (${error.message}): reconnecting…`);
          resetDecoder();
          socket?.close(); // a fresh stream begins with a key frame
        },
      });
      decoder.configure({ codec: wanted, optimizeForLatency: true });
      codec = stats.codec = wanted;
    }
  }
  if (!decoder || decoder.state !== 'configured') return; // wait for a key frame
  decoder.decode(
    new EncodedVideoChunk({ type: key ? 'key' : 'delta', timestamp: (timestamp += 33333), data: bytes })
  );
}

// ---- click-to-frame latency: pointer up -> first decoded frame that differs ------------------

const probe = document.createElement('canvas');
const probeContext = probe.getContext('2d', { willReadFrequently: true });
let measuring = null;

function sample() {
  probe.width = Math.max(1, canvas.width >> 2);
  probe.height = Math.max(1, canvas.height >> 2);
  probeContext.drawImage(canvas, 0, 0, probe.width, probe.height);
  return probeContext.getImageData(0, 0, probe.width, probe.height).data;
}

function differs(a, b) {
  if (a.length !== b.length) return true;
  // Re-encoding a still screen moves channels a little; a change moves them a lot.
  for (let i = 0; i < a.length; i++) if (Math.abs(a[i] - b[i]) > 40) return true;
  return false;
}

function startLatency() {
  measuring = { since: performance.now(), before: sample() };
}

function checkLatency(now) {
  if (!measuring) return;
  if (now - measuring.since > 5000) {
    measuring = null;
    return;
  }
  if (!differs(sample(), measuring.before)) return;
  stats.lastLatencyMs = now - measuring.since;
  stats.latencies.push(stats.lastLatencyMs);
  measuring = null;
}

setInterval(() => {
  stats.fps = frameTimes.length;
  const latency = stats.lastLatencyMs === null ? '–' : `${Math.round(stats.lastLatencyMs)} ms`;
  statusLine.textContent = stats.connected
    ? `live · ${stats.fps} fps · click→frame ${latency}`
    : 'not connected';
}, 250);

// ---- connection -------------------------------------------------------------------------------

function connect() {
  socket = new WebSocket(`ws://${location.host}/live?token=${encodeURIComponent(token)}`);
  socket.binaryType = 'arraybuffer';
  socket.onopen = () => {
    stats.connected = true;
    say(null);
  };
  socket.onmessage = (event) => {
    if (typeof event.data !== 'string') return video(event.data);
    const message = JSON.parse(event.data);
    if (message.type === 'screen') {
      screen = stats.screen = message.screen;
      screenBox.style.aspectRatio = `${screen.width_pt} / ${screen.height_pt}`;
    } else if (message.type === 'answer') {
      waiting.get(message.id)?.(message);
      waiting.delete(message.id);
    } else if (message.type === 'trouble') {
      say(`the helper: ${message.text}`);
    }
  };
  socket.onclose = () => {
    stats.connected = false;
    resetDecoder();
    for (const resolve of waiting.values()) resolve(null);
    waiting.clear();
    say('disconnected: reconnecting…');
    setTimeout(connect, 1000);
  };
}

// ---- touches ----------------------------------------------------------------------------------

function pointOf(event) {
  const box = canvas.getBoundingClientRect();
  const clamp = (value) => Math.min(1, Math.max(0, value));
  return {
    x: clamp((event.clientX - box.left) / box.width) * screen.width_pt,
    y: clamp((event.clientY - box.top) / box.height) * screen.height_pt,
  };
}

function touch(phase, point) {
  return hid([{ kind: 'touch', phase, x: point.x, y: point.y }]);
}

let finger = null; // { id, moving, next } while a pointer is down

canvas.addEventListener('pointerdown', (event) => {
  if (!screen || !event.isPrimary || event.altKey || finger) return;
  canvas.setPointerCapture(event.pointerId);
  canvas.focus();
  finger = { id: event.pointerId, moving: false, next: null };
  touch('down', pointOf(event));
  event.preventDefault();
});

// A moved finger is a further "down" at its new point. Moves wait for the one before them, so
// a fast mouse never queues up stale points.
function move(point) {
  if (finger.moving) {
    finger.next = point;
    return;
  }
  finger.moving = true;
  const current = finger;
  touch('down', point).then(() => {
    current.moving = false;
    if (finger === current && current.next) {
      const next = current.next;
      current.next = null;
      move(next);
    }
  });
}

canvas.addEventListener('pointermove', (event) => {
  if (finger && event.pointerId === finger.id) move(pointOf(event));
  else if (event.altKey) inspect(event);
  else hideOutline();
});

function lift(event) {
  if (!finger || event.pointerId !== finger.id) return;
  finger = null;
  touch('up', pointOf(event));
  startLatency();
}
canvas.addEventListener('pointerup', lift);
canvas.addEventListener('pointercancel', lift);

// ---- keys and buttons -------------------------------------------------------------------------

// Keyboard usages (page 7) by KeyboardEvent.code.
const usages = { Space: 44, Enter: 40, NumpadEnter: 40, Backspace: 42, ShiftLeft: 225, ShiftRight: 229 };
for (let i = 0; i < 26; i++) usages[`Key${String.fromCharCode(65 + i)}`] = 4 + i;
for (let i = 1; i <= 9; i++) usages[`Digit${i}`] = 29 + i;
usages.Digit0 = 39;

function key(event, phase) {
  const code = usages[event.code];
  if (code === undefined || event.ctrlKey || event.metaKey || (phase === 'down' && event.repeat)) {
    return;
  }
  event.preventDefault();
  hid([{ kind: 'key', phase, code }]);
}
document.addEventListener('keydown', (event) => {
  if (event.key === 'Alt') return;
  key(event, 'down');
});
document.addEventListener('keyup', (event) => {
  if (event.key === 'Alt') return hideOutline();
  key(event, 'up');
});

for (const button of document.querySelectorAll('[data-button]')) {
  button.addEventListener('click', () => {
    const name = button.dataset.button;
    hid([
      { kind: 'button', phase: 'down', button: name },
      { kind: 'button', phase: 'up', button: name },
    ]);
    startLatency();
  });
}

// ---- element inspector ------------------------------------------------------------------------

let tree = null; // { at, elements } flattened
let asking = false;

function flatten(elements, into = []) {
  for (const element of elements ?? []) {
    into.push(element);
    flatten(element.children, into);
  }
  return into;
}

async function refreshTree() {
  if (asking || (tree && performance.now() - tree.at < 1000)) return;
  asking = true;
  const answer = await request('accessibility');
  asking = false;
  if (answer?.ok) tree = { at: performance.now(), elements: flatten(answer.json.elements) };
}

function hideOutline() {
  outline.hidden = true;
}

function inspect(event) {
  if (!screen) return;
  refreshTree();
  if (!tree) return;
  const { x, y } = pointOf(event);
  let found = null;
  for (const element of tree.elements) {
    const f = element.frame;
    if (x < f.x || y < f.y || x > f.x + f.width || y > f.y + f.height) continue;
    if (!found || f.width * f.height <= found.frame.width * found.frame.height) found = element;
  }
  if (!found) return hideOutline();
  const box = canvas.getBoundingClientRect();
  const sx = box.width / screen.width_pt;
  const sy = box.height / screen.height_pt;
  Object.assign(outline.style, {
    left: `${found.frame.x * sx}px`,
    top: `${found.frame.y * sy}px`,
    width: `${found.frame.width * sx}px`,
    height: `${found.frame.height * sy}px`,
  });
  outline.hidden = false;
  document.getElementById('inspector').hidden = false;
  const text = (value) => (value === null || value === undefined ? '—' : String(value));
  for (const field of ['type', 'label', 'identifier', 'value']) {
    document.getElementById(`inspect-${field}`).textContent = text(found[field]);
  }
}

// ---- start ------------------------------------------------------------------------------------

if (!('VideoDecoder' in window)) {
  say('this browser has no WebCodecs video decoder');
} else {
  connect();
}
