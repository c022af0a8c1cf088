// Click-to-frame in the browser viewer against a `hid` request -> first stream chunk over the
// helper's socket, on one simulated iPhone, with where the browser path's time goes.
//   TAVREL_BINARY_DIR=build node Benchmarks/e2e/viewer-latency.mjs [taps per batch] [runs]
// Each run taps "Tap me" through the browser, then the same number of times over the socket, so
// the two are compared under the same load. Uses Tests/browser/node_modules.
//
// The browser figure runs from the page's own pointerup event (its timeStamp) to the decoder's
// output of the first frame that differs (what the page's status line shows; drawing it on the
// canvas is reported as a stage of its own and in a total of its own); Playwright's dispatch of the mouse event is measured
// apart and is not in it. Every stage is on the page's clock: the client reports its own on its
// monotonic clock and the page maps them with the offset of the quickest "clock" round trip.

import { spawn, execFileSync } from 'node:child_process';
import { createRequire } from 'node:module';
import { mkdtempSync, rmSync, existsSync } from 'node:fs';
import net from 'node:net';
import { tmpdir } from 'node:os';
import { join, dirname } from 'node:path';
import { fileURLToPath } from 'node:url';

const here = dirname(fileURLToPath(import.meta.url));
const { chromium } = createRequire(join(here, '../../Tests/browser/package.json'))('playwright-core');
const build = process.env.TAVREL_BINARY_DIR ?? join(here, '../../build');
const taps = Number(process.argv[2] ?? 20);
const runs = Number(process.argv[3] ?? 3);
const home = mkdtempSync(join(tmpdir(), 'tavrel-latency-'));
const env = { ...process.env, HOME: home };
const socketPath = join(home, 'helper.sock');
const tool = (name, ...args) => execFileSync(join(build, name), args, { env }).toString().trim();
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.floor((values.length - 1) * p)];
// A still screen between taps, and a finger held as long as a quick click holds it.
const settleMs = 300;
const holdMs = 80;

function frame(id, json) {
  const body = Buffer.from(JSON.stringify(json));
  const head = Buffer.alloc(13);
  head.writeUInt32BE(9 + body.length, 0);
  head.writeUInt8(1, 4);
  head.writeUInt32BE(id, 5);
  head.writeUInt32BE(body.length, 9);
  return Buffer.concat([head, body]);
}

// Times from sending a tap to the first chunk of a stream that was idle before it.
async function socketLatencies(point) {
  const socket = net.createConnection(socketPath);
  await new Promise((resolve) => socket.once('connect', resolve));
  let buffer = Buffer.alloc(0);
  let onChunk = null;
  socket.on('data', (data) => {
    buffer = Buffer.concat([buffer, data]);
    while (buffer.length >= 4 && buffer.length >= 4 + buffer.readUInt32BE(0)) {
      const kind = buffer.readUInt8(4);
      buffer = buffer.subarray(4 + buffer.readUInt32BE(0));
      if (kind === 4) onChunk?.();
    }
  });
  socket.write(frame(1, { op: 'stream', fps: 30, scale: 0.5, key_frame_s: 2, bitrate: 4000000 }));
  await sleep(1000);
  const results = [];
  for (let index = 0; index < taps; index++) {
    const chunk = new Promise((resolve) => (onChunk = resolve));
    const start = performance.now();
    const touch = (phase) => ({ kind: 'touch', phase, x: point.x, y: point.y });
    socket.write(frame(2 + index, { op: 'hid', events: [touch('down'), touch('up')] }));
    await chunk;
    results.push(performance.now() - start);
    onChunk = null;
    await sleep(settleMs);
  }
  socket.destroy();
  return results;
}

// This process's performance.now() minus the page's, from the quickest of a few round trips.
async function pageOffset(page) {
  let best = null;
  for (let round = 0; round < 9; round++) {
    const before = performance.now();
    const there = await page.evaluate(() => performance.now());
    const after = performance.now();
    if (!best || after - before < best.rttMs) best = { rttMs: after - before, offsetMs: (before + after) / 2 - there };
  }
  return best;
}

// Taps through the page; returns the page's traces and Playwright's dispatch times.
async function browserTaps(page, at) {
  const first = await page.evaluate(() => window.viewerStats.traces.length);
  const offset = await pageOffset(page);
  const dispatch = [];
  for (let index = 0; index < taps; index++) {
    const count = await page.evaluate(() => window.viewerStats.traces.length);
    await page.mouse.move(at.x, at.y);
    await page.mouse.down();
    await sleep(holdMs);
    const called = performance.now();
    await page.mouse.up();
    const resolved = performance.now();
    await page.waitForFunction((n) => window.viewerStats.traces.length > n, count, { timeout: 10000 });
    const pointerUp = await page.evaluate(() => window.viewerStats.traces.at(-1).pointerUp);
    dispatch.push({ called: called - offset.offsetMs, resolved: resolved - offset.offsetMs, pointerUp });
    await sleep(settleMs);
  }
  const traces = await page.evaluate((n) => window.viewerStats.traces.slice(n), first);
  return { traces, dispatch, offset };
}

const stages = [
  ['pointerup event -> handler', (t) => t.handled - t.pointerUp],
  ['handler -> WebSocket send', (t) => t.sent - t.handled],
  ['page -> client (WebSocket)', (t) => t.received - t.sent],
  ['client -> hid written to helper', (t) => t.written - t.received],
  ['helper: hid written -> first chunk', (t) => t.chunk - t.written],
  ['client: chunk -> WebSocket message out', (t) => t.forwarded - t.chunk],
  ['client -> page (WebSocket)', (t) => t.arrived - t.forwarded],
  ['page: message -> decoder output', (t) => t.decoded - t.arrived],
  ['page: decoded -> differing frame', (t) => t.differed - t.decoded],
  ['page: decoder output -> painted', (t) => t.painted - t.differed],
  ['page: decoder output -> compared', (t) => t.detected - t.differed],
];
// Means add up stage by stage (medians do not); p50 and p90 are what the target speaks of.
const mean = (values) => values.reduce((sum, value) => sum + value, 0) / values.length;
const line = (name, values) =>
  `  ${name.padEnd(40)} p50 ${percentile(values, 0.5).toFixed(2).padStart(6)} ms   p90 ${percentile(values, 0.9).toFixed(2).padStart(6)} ms   mean ${mean(values).toFixed(2).padStart(6)} ms`;

const children = [];
try {
  const udid = tool('tavrel-simctl', 'create', 'Latency iPhone', 'iPhone-15-Pro');
  tool('tavrel-simctl', 'boot', udid);
  children.push(spawn(join(build, 'tavrel-helper'), ['serve', '--udid', udid, '--socket', socketPath], { env }));
  while (!existsSync(socketPath)) await sleep(50);
  const tree = JSON.parse(tool('tavrel-client', '--socket', socketPath, 'accessibility', '--raw'));
  const button = tree.elements.flatMap(function all(item) {
    return [item, ...item.children.flatMap(all)];
  }).find((item) => item.identifier === 'tap-button');
  const point = { x: button.frame.x + button.frame.width / 2, y: button.frame.y + button.frame.height / 2 };

  const viewer = spawn(join(build, 'tavrel-client'), ['--socket', socketPath, 'view'], { env });
  children.push(viewer);
  const url = await new Promise((resolve) => viewer.stdout.once('data', (data) => resolve(data.toString().trim())));
  const browser = await chromium.launch({ executablePath: '/usr/bin/chromium', args: ['--no-sandbox'] });
  const page = await browser.newPage({ viewport: { width: 900, height: 1000 } });
  await page.goto(url);
  await page.waitForFunction(() => window.viewerStats?.frames > 0 && window.viewerStats.clock);
  const box = await page.locator('#video').boundingBox();
  const screen = await page.evaluate(() => window.viewerStats.screen);
  const at = { x: box.x + (point.x / screen.width_pt) * box.width, y: box.y + (point.y / screen.height_pt) * box.height };

  const all = { traces: [], dispatch: [], socket: [] };
  console.log(`${taps} taps a batch, ${runs} runs; times are medians (p50) and p90`);
  for (let run = 1; run <= runs; run++) {
    const { traces, dispatch, offset } = await browserTaps(page, at);
    const socket = await socketLatencies(point);
    const total = traces.map((t) => t.differed - t.pointerUp);
    const adds = percentile(total, 0.5) - percentile(socket, 0.5);
    console.log(
      `run ${run}: browser pointerup -> differing frame decoded p50 ${percentile(total, 0.5).toFixed(1)} / p90 ${percentile(total, 0.9).toFixed(1)} ms; ` +
        `socket hid -> first chunk p50 ${percentile(socket, 0.5).toFixed(1)} / p90 ${percentile(socket, 0.9).toFixed(1)} ms; ` +
        `browser adds ${adds.toFixed(1)} ms at p50 (page clock round trip ${offset.rttMs.toFixed(1)} ms)`
    );
    all.traces.push(...traces);
    all.dispatch.push(...dispatch);
    all.socket.push(...socket);
  }
  await browser.close();

  const { traces } = all;
  console.log(`\nthe browser path, stage by stage (${traces.length} taps; client clock round trip p50 ${percentile(traces.map((t) => t.clockRttMs), 0.5).toFixed(2)} ms):`);
  for (const [name, of] of stages) console.log(line(name, traces.map(of)));
  const total = traces.map((t) => t.differed - t.pointerUp);
  const painted = traces.map((t) => t.painted - t.pointerUp);
  const outsideHelper = traces.map((t) => t.differed - t.pointerUp - (t.chunk - t.written));
  console.log(line('pointerup -> decoder output (total)', total));
  console.log(line('pointerup -> painted', painted));
  console.log(line('total less the helper\'s own stage', outsideHelper));
  console.log(line('socket path: hid -> first chunk', all.socket));
  const adds = (values) => (percentile(values, 0.5) - percentile(all.socket, 0.5)).toFixed(1);
  console.log(`  browser adds at p50 (total p50 - socket p50): ${adds(total)} ms; to painted: ${adds(painted)} ms`);
  console.log(`  taps whose first chunk after the request was the differing frame: ${traces.filter((t) => t.sameFrame).length} of ${traces.length}`);
  console.log('\nPlaywright, not in the figures above (its clock mapped with a page round trip):');
  console.log(line('page.mouse.up() call -> pointerup event', all.dispatch.map((d) => d.pointerUp - d.called)));
  console.log(line('page.mouse.up() call -> resolved', all.dispatch.map((d) => d.resolved - d.called)));
} finally {
  for (const child of children.reverse()) child.kill('SIGTERM');
  await sleep(500);
  try {
    for (const line of tool('tavrel-simctl', 'list').split('\n').filter(Boolean)) {
      tool('tavrel-simctl', 'shutdown', JSON.parse(line).udid);
    }
  } catch {}
  rmSync(home, { recursive: true, force: true });
}
