// The live viewer: decodes the helper's H.264 stream with WebCodecs onto a canvas and turns
// the mouse, touch and keyboard into the helper's HID events, in the screen's points.

const token = new URLSearchParams(location.search).get('token') ?? '';
const canvas = document.getElementById('video');
const context = canvas.getContext('2d');
const screenBox = document.getElementById('screen');
const outline = document.getElementById('outline');
const statusLine = document.getElementById('status');
const notice = document.getElementById('notice');
const saveReplay = document.getElementById('save-replay');

// What tests and benchmarks read.
const stats = (window.viewerStats = {
  connected: false,
  frames: 0,
  fps: 0,
  screen: null,
  codec: null,
  latencies: [],
  lastLatencyMs: null,
  // One per measured tap, in this page's performance.now() milliseconds (see trace below).
  traces: [],
  clock: null, // { offsetMs, rttMs }: the client's monotonic clock minus this page's
  replays: 0, // last seconds saved
  get pending() {
    return waiting.size; // requests not answered yet
  },
});

let socket = null;
let screen = null; // the helper's describe document
let nextId = 1;
const waiting = new Map(); // request id -> resolve

function say(text) {
  notice.hidden = !text;
  notice.textContent = text ?? '';
}

// The answer, or null once the socket closes; `.id` is the request's id.
function request(op, extra = {}) {
  if (!socket || socket.readyState !== WebSocket.OPEN) return Promise.resolve(null);
  const id = nextId++;
  socket.send(JSON.stringify({ id, op, ...extra }));
  const answer = new Promise((resolve) => waiting.set(id, resolve));
  answer.id = id;
  return answer;
}

function hid(events, extra = {}) {
  return request('hid', { events, ...extra });
}

// ---- video ------------------------------------------------------------------------------------

let decoder = null;
let codec = null;
let videoMessages = 0; // on this socket; a chunk's timestamp is its number
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

let shown = null; // the frame on the canvas: a measured tap compares later frames with it

function resetDecoder() {
  if (decoder && decoder.state !== 'closed') decoder.close();
  decoder = null;
  codec = null;
  shown?.close();
  shown = null;
}

function showFrame(frame) {
  const decoded = performance.now();
  const number = Math.round(frame.timestamp / 33333);
  if (canvas.width !== frame.displayWidth || canvas.height !== frame.displayHeight) {
    canvas.width = frame.displayWidth;
    canvas.height = frame.displayHeight;
  }
  context.drawImage(frame, 0, 0, canvas.width, canvas.height);
  const painted = performance.now();
  shown?.close();
  shown = frame;
  stats.frames++;
  frameTimes.push(decoded);
  while (frameTimes.length && decoded - frameTimes[0] > 1000) frameTimes.shift();
  if (measuring) checkLatency(frame, number, decoded, painted);
  say(null);
}

function video(data) {
  const number = ++videoMessages;
  measuring?.arrived.set(number, performance.now());
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
    new EncodedVideoChunk({ type: key ? 'key' : 'delta', timestamp: number * 33333, data: bytes })
  );
}

// ---- click-to-frame latency: pointer up -> first decoded frame that differs ------------------
//
// A measured tap is timed at every stage it passes, all on this page's clock: pointerUp (the
// event's own time), handled, sent (the hid request on the WebSocket); in the client received,
// written (to the helper), answered, chunk (the first stream chunk the helper sent after it) and
// forwarded (that chunk's WebSocket message); then arrived, decoded (that chunk's frame out of
// the decoder), differed (the first decoded frame that differs), painted (that frame drawn on
// the canvas) and detected (when the comparison said so). The client's stages come in a "trace"
// message on its monotonic clock, put on this one with the offset that "clock" requests measure.

const probe = document.createElement('canvas');
const probeContext = probe.getContext('2d', { willReadFrequently: true });
const kept = 1000; // latencies and traces a page keeps
let measuring = null; // the tap whose differing frame is awaited
let traced = null; // a measured tap that waits for the client's trace

function keep(list, value) {
  list.push(value);
  if (list.length > kept) list.shift();
}

// Sums of 4x4 blocks of one channel: enough to see a label change, and read from the frame, not
// back from the canvas (which stalls a GPU canvas). Never rejects; null when unreadable.
async function blocksOf(frame) {
  if (!frame) return null;
  const { width, height } = frame.visibleRect;
  let plane;
  let step = 1;
  if (/^(I420A?|I422|I444|NV12)$/.test(frame.format ?? '')) {
    // Packed from the visible rectangle: the luma plane comes first, `width` bytes a row.
    const copy = frame.clone();
    plane = new Uint8Array(copy.allocationSize());
    try {
      await copy.copyTo(plane);
    } catch {
      return null;
    } finally {
      copy.close();
    }
  } else {
    // An opaque or RGB frame: drawn small, and its green channel read.
    if (probe.width !== width || probe.height !== height) Object.assign(probe, { width, height });
    probeContext.drawImage(frame, 0, 0, width, height);
    plane = probeContext.getImageData(0, 0, width, height).data.subarray(1);
    step = 4;
  }
  const across = width >> 2;
  const sums = new Uint16Array(across * (height >> 2));
  for (let y = 0; y < (height & ~3); y++) {
    const row = y * width * step;
    const into = (y >> 2) * across;
    for (let x = 0; x < across << 2; x++) sums[into + (x >> 2)] += plane[row + x * step];
  }
  return sums;
}

function differs(a, b) {
  if (!a || !b) return false;
  if (a.length !== b.length) return true;
  // Re-encoding a still screen moves a block's mean a little; a change moves it a lot.
  for (let i = 0; i < a.length; i++) if (Math.abs(a[i] - b[i]) > 40 * 16) return true;
  return false;
}

function startLatency(id, pointerUp, handled) {
  const sent = performance.now();
  measuring = {
    id,
    pointerUp,
    handled,
    sent,
    before: blocksOf(shown),
    checks: Promise.resolve(),
    arrived: new Map(),
    decoded: new Map(),
    painted: new Map(),
  };
}

// Frames are compared in the order they came, each read as it comes (the next frame closes it).
function checkLatency(frame, number, decoded, painted) {
  const tap = measuring;
  tap.decoded.set(number, decoded);
  tap.painted.set(number, painted);
  if (decoded - tap.sent > 5000) {
    measuring = null;
    return;
  }
  const blocks = blocksOf(frame);
  tap.checks = tap.checks.then(async () => {
    if (tap.differed !== undefined || !differs(await blocks, await tap.before)) return;
    if (measuring === tap) measuring = null;
    Object.assign(tap, { differed: decoded, differingVideo: number, detected: performance.now() });
    stats.lastLatencyMs = decoded - tap.pointerUp;
    keep(stats.latencies, stats.lastLatencyMs);
    traced = tap;
    if (tap.client) finishTrace(tap);
  });
}

function clientTrace(client) {
  const tap = [measuring, traced].find((each) => each?.id === client.id);
  if (!tap) return;
  tap.client = client;
  if (tap === traced) finishTrace(tap);
}

function finishTrace(tap) {
  traced = null;
  if (!stats.clock) return;
  const page = (ms) => ms - stats.clock.offsetMs;
  const { client } = tap;
  keep(stats.traces, {
    pointerUp: tap.pointerUp,
    handled: tap.handled,
    sent: tap.sent,
    received: page(client.received),
    written: page(client.written),
    answered: page(client.answered),
    chunk: page(client.chunk),
    forwarded: page(client.sent),
    arrived: tap.arrived.get(client.video) ?? null,
    decoded: tap.decoded.get(client.video) ?? null,
    painted: tap.painted.get(tap.differingVideo),
    differed: tap.differed,
    detected: tap.detected,
    // Whether the chunk that followed the request is the frame that showed the tap.
    sameFrame: client.video === tap.differingVideo,
    clockRttMs: stats.clock.rttMs,
  });
}

// The client's clock minus this page's, from the quickest of a few round trips.
async function syncClock() {
  let best = null;
  for (let round = 0; round < 10; round++) {
    const before = performance.now();
    const answer = await request('clock');
    const after = performance.now();
    if (!answer?.ok) return;
    if (!best || after - before < best.rttMs) {
      best = { rttMs: after - before, offsetMs: answer.json.monotonic_ms - (before + after) / 2 };
    }
  }
  stats.clock = best;
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
    videoMessages = 0;
    say(null);
    syncClock();
  };
  socket.onmessage = (event) => {
    if (typeof event.data !== 'string') return video(event.data);
    const message = JSON.parse(event.data);
    if (message.type === 'screen') {
      screen = stats.screen = message.screen;
      screenBox.style.aspectRatio = `${screen.width_pt} / ${screen.height_pt}`;
      // Only a helper that keeps its last seconds can save them.
      saveReplay.hidden = !message.replay_seconds;
      saveReplay.textContent = `Save the last ${message.replay_seconds} seconds`;
    } else if (message.type === 'answer') {
      waiting.get(message.id)?.(message);
      waiting.delete(message.id);
    } else if (message.type === 'trace') {
      clientTrace(message.client);
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

// ---- the last seconds -------------------------------------------------------------------------

// The viewer asks the helper for its last seconds and renders them with the touches painted on;
// the page offers the MP4 as a download.
saveReplay.addEventListener('click', async () => {
  saveReplay.disabled = true;
  say('saving the last seconds…');
  try {
    const response = await fetch(`/replay.mp4?token=${encodeURIComponent(token)}`);
    if (!response.ok) {
      say(`no replay: ${(await response.text()).trim()}`);
      return;
    }
    const link = document.createElement('a');
    link.href = URL.createObjectURL(await response.blob());
    link.download = `replay-${new Date().toISOString().replace(/[:.]/g, '-')}.mp4`;
    document.body.append(link);
    link.click();
    link.remove();
    setTimeout(() => URL.revokeObjectURL(link.href), 60000);
    stats.replays += 1;
    say(null);
  } catch (error) {
    say(`no replay: ${error.message}`);
  } finally {
    saveReplay.disabled = false;
  }
});

// ---- touches ----------------------------------------------------------------------------------

function pointOf(event) {
  const box = canvas.getBoundingClientRect();
  const clamp = (value) => Math.min(1, Math.max(0, value));
  return {
    x: clamp((event.clientX - box.left) / box.width) * screen.width_pt,
    y: clamp((event.clientY - box.top) / box.height) * screen.height_pt,
  };
}

function touchEvent(phase, finger, point) {
  const event = { kind: 'touch', phase, x: point.x, y: point.y };
  if (finger === 1) event.finger = 1; // finger 0 is what every host has always sent
  return event;
}

// Up to two fingers: the first pointer down is finger 0; a second touch pointer while a touch is
// down is finger 1. Any other pointer (a third finger, the mouse beside a touch) is left out.
// With the mouse, Alt-drag drives both: finger 0 under the pointer and finger 1 mirrored about
// the screen's centre, the way desktop simulators pinch and rotate.
const pointers = new Map(); // pointerId -> { fingers: [{ finger, at(point) }], last }
const markers = [0, 1].map((finger) => document.getElementById(`finger-${finger}`));

function mirrored(point) {
  return { x: screen.width_pt - point.x, y: screen.height_pt - point.y };
}

function fingersDown() {
  return [...pointers.values()].flatMap((pointer) => pointer.fingers);
}

// Both finger positions are drawn while two fingers touch.
function drawFingers() {
  const places = new Map();
  for (const pointer of pointers.values()) {
    for (const { finger, at } of pointer.fingers) places.set(finger, at(pointer.last));
  }
  const two = places.size === 2;
  const box = canvas.getBoundingClientRect();
  for (const [finger, marker] of markers.entries()) {
    const point = places.get(finger);
    marker.hidden = !two || !point;
    if (marker.hidden) continue;
    marker.style.left = `${(point.x / screen.width_pt) * box.width}px`;
    marker.style.top = `${(point.y / screen.height_pt) * box.height}px`;
  }
}

function eventsOf(pointer, phase) {
  return pointer.fingers.map(({ finger, at }) => touchEvent(phase, finger, at(pointer.last)));
}

canvas.addEventListener('pointerdown', (event) => {
  if (!screen || pointers.has(event.pointerId)) return;
  const down = fingersDown();
  let fingers;
  if (down.length === 0 && event.altKey && event.pointerType === 'mouse') {
    fingers = [
      { finger: 0, at: (point) => point },
      { finger: 1, at: mirrored },
    ];
  } else if (down.length === 0 && event.isPrimary && !event.altKey) {
    fingers = [{ finger: 0, at: (point) => point }];
  } else if (down.length === 1 && event.pointerType === 'touch' &&
             [...pointers.values()][0].touch) {
    fingers = [{ finger: 1 - down[0].finger, at: (point) => point }];
  } else {
    return;
  }
  canvas.setPointerCapture(event.pointerId);
  canvas.focus();
  const pointer = { fingers, last: pointOf(event), touch: event.pointerType === 'touch' };
  pointers.set(event.pointerId, pointer);
  hid([...pendingMoves(), ...eventsOf(pointer, 'down')]);
  drawFingers();
  event.preventDefault();
});

// A moved finger is a further "down" at its new point. Moves wait for the one before them, so a
// fast mouse never queues up stale points; the points of both fingers that moved meanwhile go
// together, as one request.
let moving = false;
const moved = new Set(); // pointers whose latest point has not been sent

// The moves not sent yet, taken to go out now. A finger that lands or lifts takes them along
// ahead of its own event: sent after it, a move of the first finger would come once two are
// down, and the device would see it as the start of a gesture of two.
function pendingMoves() {
  const events = [...moved].flatMap((pointer) => eventsOf(pointer, 'down'));
  moved.clear();
  return events;
}

function sendMoves() {
  if (moving || moved.size === 0) return;
  const events = pendingMoves();
  moving = true;
  hid(events).then(() => {
    moving = false;
    sendMoves();
  });
}

canvas.addEventListener('pointermove', (event) => {
  const pointer = pointers.get(event.pointerId);
  if (pointer) {
    pointer.last = pointOf(event);
    moved.add(pointer);
    sendMoves();
    drawFingers();
  } else if (event.altKey) {
    inspect(event);
  } else {
    hideOutline();
  }
});

function lift(event) {
  const pointer = pointers.get(event.pointerId);
  if (!pointer) return;
  const handled = performance.now();
  pointers.delete(event.pointerId);
  moved.delete(pointer);
  pointer.last = pointOf(event);
  drawFingers();
  const events = [...pendingMoves(), ...eventsOf(pointer, 'up')];
  // The last finger to lift is timed to the frame it changes.
  if (pointers.size > 0) hid(events);
  else startLatency(hid(events, { trace: true }).id, event.timeStamp, handled);
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
  button.addEventListener('click', (event) => {
    const handled = performance.now();
    const name = button.dataset.button;
    const events = [
      { kind: 'button', phase: 'down', button: name },
      { kind: 'button', phase: 'up', button: name },
    ];
    startLatency(hid(events, { trace: true }).id, event.timeStamp, handled);
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
