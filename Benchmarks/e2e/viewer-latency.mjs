// Click-to-frame in the browser viewer against a `hid` request -> first stream chunk over the
// helper's socket, on one simulated iPhone; prints p50 and p90 of each and their difference.
//   TAVREL_BINARY_DIR=build node Benchmarks/e2e/viewer-latency.mjs [taps]
// Uses Tests/browser/node_modules (scripts/install-deps installs it).

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
const taps = Number(process.argv[2] ?? 30);
const home = mkdtempSync(join(tmpdir(), 'tavrel-latency-'));
const env = { ...process.env, HOME: home };
const socketPath = join(home, 'helper.sock');
const tool = (name, ...args) => execFileSync(join(build, name), args, { env }).toString().trim();
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));
const percentile = (values, p) => [...values].sort((a, b) => a - b)[Math.floor((values.length - 1) * p)];

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
    await sleep(300);
  }
  socket.destroy();
  return results;
}

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
  await page.waitForFunction(() => window.viewerStats?.frames > 0);
  const box = await page.locator('#video').boundingBox();
  const at = { x: box.x + (point.x / 393) * box.width, y: box.y + (point.y / 852) * box.height };
  for (let index = 0; index < taps; index++) {
    const count = await page.evaluate(() => window.viewerStats.latencies.length);
    await page.mouse.click(at.x, at.y);
    await page.waitForFunction((n) => window.viewerStats.latencies.length > n, count);
    await sleep(300);
  }
  const browserLatencies = await page.evaluate(() => window.viewerStats.latencies);
  await browser.close();
  const socketResults = await socketLatencies(point);
  const report = (name, values) =>
    `${name}: p50 ${percentile(values, 0.5).toFixed(1)} ms, p90 ${percentile(values, 0.9).toFixed(1)} ms (${values.length} taps)`;
  console.log(report('browser click -> differing frame', browserLatencies));
  console.log(report('socket hid -> first chunk      ', socketResults));
  console.log(`browser adds at p50: ${(percentile(browserLatencies, 0.5) - percentile(socketResults, 0.5)).toFixed(1)} ms`);
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
