// The viewer in a real headless Chromium, against a simulated iPhone booted in a temporary HOME
// and served by tavrel-helper. Run by ctest: TAVREL_BINARY_DIR names the build tree.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { existsSync, readFileSync } from 'node:fs';
import net from 'node:net';
import { join } from 'node:path';
import { promisify } from 'node:util';
import { chromium } from 'playwright-core';
import { simulatedHome, waitFor } from '../Support/simulated.mjs';

const browserPath = process.env.TAVREL_CHROMIUM ?? '/usr/bin/chromium';

// ---- the device, the helper and the viewer ----------------------------------------------------

const run = promisify(execFile);
const simulated = simulatedHome('tavrel-viewer-');
const { home, tool, start } = simulated;
const socketPath = join(home, 'helper.sock');
let udid = null;
let viewer = null;
let url = null;
let browser = null;

async function client(...args) {
  return tool('tavrel-client', '--socket', socketPath, ...args);
}

async function elements() {
  const flat = [];
  const walk = (items) => items.forEach((item) => (flat.push(item), walk(item.children)));
  walk(JSON.parse(await client('accessibility', '--raw')).elements);
  return flat;
}

async function element(identifier) {
  return (await elements()).find((item) => item.identifier === identifier);
}

async function startViewer() {
  const child = start('tavrel-client', ['--socket', socketPath, 'view', '--port', '0']);
  const line = await waitFor('the viewer prints its URL', () => {
    if (child.exitCode !== null) throw new Error(`the viewer ended: ${child.errors}`);
    return child.output.split('\n').find((text) => text.startsWith('http://'));
  });
  return { child, url: line.trim() };
}

before(async () => {
  assert.ok(existsSync(browserPath), `no browser at ${browserPath}`);
  udid = await simulated.bootDevice('Viewer iPhone', 'iPhone-15-Pro');
  await simulated.serve(udid, socketPath, ['--replay-seconds', '3']);
  ({ child: viewer, url } = await startViewer());
  browser = await chromium.launch({
    executablePath: browserPath,
    args: process.getuid?.() === 0 ? ['--no-sandbox'] : [],
  });
});

after(async () => {
  await browser?.close();
  await simulated.cleanUp();
});

// ---- helpers in the page ----------------------------------------------------------------------

async function openViewer(options = {}, beforeLoading = async () => {}) {
  const page = await browser.newPage({ viewport: { width: 900, height: 1000 }, ...options });
  await beforeLoading(page);
  await page.goto(url);
  await page.waitForFunction(() => window.viewerStats?.frames > 0, null, { timeout: 20000 });
  return page;
}

// The page position of a point on the device's screen.
async function onCanvas(page, x, y) {
  const box = await page.locator('#video').boundingBox();
  const screen = await page.evaluate(() => window.viewerStats.screen);
  return { x: box.x + (x / screen.width_pt) * box.width, y: box.y + (y / screen.height_pt) * box.height };
}

function center(item) {
  return { x: item.frame.x + item.frame.width / 2, y: item.frame.y + item.frame.height / 2 };
}

// "Zoom: 2.3x" and "Angle: -45°" as numbers.
function zoomOf(item) {
  return Number(/^Zoom: ([\d.]+)x$/.exec(item.label)[1]);
}
function angleOf(item) {
  return Number(/^Angle: (-?\d+)°$/.exec(item.label)[1]);
}

// Touches through the DevTools protocol: `touch(type, [point, id], ...)`.
async function touchScreen(page) {
  const cdp = await page.context().newCDPSession(page);
  const touch = (type, ...points) =>
    cdp.send('Input.dispatchTouchEvent', {
      type,
      touchPoints: points.map(([point, id]) => ({ x: point.x, y: point.y, id })),
    });
  return { cdp, touch };
}

// ---- the tests --------------------------------------------------------------------------------

describe('the viewer', { concurrency: false }, () => {
  test('the canvas shows what a screenshot shows', async () => {
    const page = await openViewer();
    const size = await page.evaluate(() => [
      document.getElementById('video').width,
      document.getElementById('video').height,
    ]);
    const shot = join(home, 'shot.jpg');
    // Chromium decodes the screenshot; both pictures are compared at the canvas's size.
    const compare = (data) => page.evaluate(async (data) => {
      const canvas = document.getElementById('video');
      const shown = canvas.getContext('2d').getImageData(0, 0, canvas.width, canvas.height).data;
      const image = new Image();
      image.src = `data:image/jpeg;base64,${data}`;
      await image.decode();
      const other = new OffscreenCanvas(canvas.width, canvas.height);
      const context = other.getContext('2d');
      context.drawImage(image, 0, 0, canvas.width, canvas.height);
      const taken = context.getImageData(0, 0, canvas.width, canvas.height).data;
      const sums = [0, 0, 0];
      for (let i = 0; i < shown.length; i += 4) {
        for (let c = 0; c < 3; c++) sums[c] += Math.abs(shown[i + c] - taken[i + c]);
      }
      return sums.map((sum) => sum / (shown.length / 4));
    }, data);
    // The first frames may still be on their way, and the clock may turn a minute.
    await waitFor('the canvas matches a screenshot', async () => {
      await client('screenshot', shot, '--max-width', String(size[0]), '--quality', '95');
      const difference = await compare(readFileSync(shot).toString('base64'));
      if (difference.some((channel) => channel >= 8)) throw new Error(`mean difference ${difference}`);
      return true;
    });
    // The decoder was configured from the stream's SPS.
    assert.ok(await page.evaluate(() => window.viewerStats.codec.startsWith('avc1.')));
    await page.close();
  });

  test('a click on "Tap me" taps it, and the status shows the click-to-frame time', async () => {
    const page = await openViewer();
    const button = await element('tap-button');
    assert.equal(button.label, 'Tap me');
    const before = (await element('tap-count')).label;
    assert.equal(before, 'Taps: 0');
    const at = await onCanvas(page, center(button).x, center(button).y);
    await page.mouse.click(at.x, at.y);
    await waitFor('Taps: 1', async () => (await element('tap-count')).label === 'Taps: 1');
    await page.waitForFunction(() => window.viewerStats.lastLatencyMs !== null, null, { timeout: 10000 });
    await page.waitForFunction(() => /click→frame \d+ ms/.test(document.getElementById('status').textContent));
    await page.close();
  });

  test('a drag moves the slider', async () => {
    const page = await openViewer();
    const slider = await element('volume-slider');
    const before = slider.value;
    const y = center(slider).y;
    const from = await onCanvas(page, slider.frame.x + 100, y);
    const to = await onCanvas(page, slider.frame.x + slider.frame.width - 5, y);
    await page.mouse.move(from.x, from.y);
    await page.mouse.down();
    await page.mouse.move(to.x, to.y, { steps: 12 });
    await page.mouse.up();
    await waitFor('the slider moves', async () => (await element('volume-slider')).value > before + 0.3);
    await page.close();
  });

  test('a second finger on a touch screen is the second finger, and taps nothing', async () => {
    // The first finger drags the slider to its left end; then a second lands on "Tap me" and
    // lifts. Two fingers down make a gesture of two: the slider stays where the first left it,
    // the second finger taps nothing, and neither lifts the other.
    // The viewer's text messages are held back while the first finger moves, as on a slow
    // helper: its moves then wait for the first one's answer, and must still reach the device
    // before the second finger does.
    let socket = null;
    let holding = false;
    const held = [];
    const page = await openViewer({ hasTouch: true }, (page) =>
      page.routeWebSocket(/\/live/, (route) => {
        socket = route;
        route.connectToServer().onMessage((message) => {
          if (holding && typeof message === 'string') held.push(message);
          else route.send(message);
        });
      })
    );
    const slider = await element('volume-slider');
    const button = await element('tap-button');
    const taps = (await element('tap-count')).label;
    assert.ok((center(button).x - slider.frame.x) / slider.frame.width > 0.3, 'the tap is away from the left end');
    const y = center(slider).y;
    const from = await onCanvas(page, slider.frame.x + slider.frame.width - 5, y);
    const to = await onCanvas(page, slider.frame.x + 2, y);
    const other = await onCanvas(page, center(button).x, center(button).y);
    await page.evaluate(() => {
      window.pointers = [];
      for (const type of ['pointerdown', 'pointerup']) {
        document.getElementById('video').addEventListener(type, (event) =>
          window.pointers.push(`${type} ${event.pointerType} ${event.isPrimary ? 'first' : 'second'}`)
        );
      }
    });
    const { cdp, touch } = await touchScreen(page);
    holding = true;
    await touch('touchStart', [from, 1]);
    for (let step = 1; step <= 10; step++) {
      await touch('touchMove', [{ x: from.x + ((to.x - from.x) * step) / 10, y: from.y }, 1]);
    }
    await touch('touchStart', [to, 1], [other, 2]);
    holding = false;
    for (const message of held.splice(0)) socket.send(message);
    await touch('touchMove', [to, 1], [{ x: other.x + 4, y: other.y }, 2]);
    await touch('touchEnd', [{ x: other.x + 4, y: other.y }, 2]);
    await touch('touchEnd', [to, 1]);
    assert.deepEqual(await page.evaluate(() => window.pointers), [
      'pointerdown touch first',
      'pointerdown touch second',
      'pointerup touch second',
      'pointerup touch first',
    ]);
    await page.waitForFunction(() => window.viewerStats.pending === 0, null, { timeout: 20000 });
    const value = (await element('volume-slider')).value;
    assert.ok(value < 0.1, `the slider is at ${value}`);
    assert.equal((await element('tap-count')).label, taps);
    await cdp.detach();
    await page.close();
  });

  test('two touch points pinch the map, and the page draws both', async () => {
    const page = await openViewer({ hasTouch: true });
    const photo = center(await element('photo'));
    const before = zoomOf(await element('zoom-label'));
    const apart = before >= 2 ? [60, 30] : [30, 60]; // half or twice, within 1x to 4x
    const { cdp, touch } = await touchScreen(page);
    const fingers = async (half) => [
      [await onCanvas(page, photo.x - half, photo.y), 1],
      [await onCanvas(page, photo.x + half, photo.y), 2],
    ];
    await touch('touchStart', ...(await fingers(apart[0])));
    for (let step = 1; step <= 10; step++) {
      await touch('touchMove', ...(await fingers(apart[0] + ((apart[1] - apart[0]) * step) / 10)));
    }
    assert.ok(await page.isVisible('#finger-0'));
    assert.ok(await page.isVisible('#finger-1'));
    await touch('touchEnd', ...(await fingers(apart[1])));
    assert.ok(!(await page.isVisible('#finger-1')));
    const wanted = (before * apart[1]) / apart[0];
    await waitFor(`a zoom near ${wanted}`, async () => {
      const zoom = zoomOf(await element('zoom-label'));
      return Math.abs(zoom - wanted) <= 0.1 * wanted;
    });
    await cdp.detach();
    await page.close();
  });

  test('Alt-drag pinches and rotates about the centre of the screen', async () => {
    const page = await openViewer();
    const screen = await page.evaluate(() => window.viewerStats.screen);
    const middle = { x: screen.width_pt / 2, y: screen.height_pt / 2 };
    const photo = (await element('photo')).frame;
    assert.ok(middle.x > photo.x && middle.x < photo.x + photo.width, 'the map is under the centre');
    assert.ok(middle.y > photo.y && middle.y < photo.y + photo.height, 'the map is under the centre');
    const zoom = zoomOf(await element('zoom-label'));
    const angle = angleOf(await element('angle-label'));
    // The pointer and its mirror: from 120 points apart across to 60 apart up and down (half, a
    // quarter turn clockwise), or the other way round when the map is small.
    const [from, to] = zoom >= 2 ? [{ x: 60, y: 0 }, { x: 0, y: 30 }] : [{ x: 30, y: 0 }, { x: 0, y: 60 }];
    const wanted = zoom * (zoom >= 2 ? 0.5 : 2);
    const start = await onCanvas(page, middle.x + from.x, middle.y + from.y);
    const end = await onCanvas(page, middle.x + to.x, middle.y + to.y);
    await page.keyboard.down('Alt');
    await page.mouse.move(start.x, start.y);
    await page.mouse.down();
    await page.mouse.move(end.x, end.y, { steps: 15 });
    // Both fingers are drawn: one under the pointer, one mirrored about the centre.
    assert.ok(await page.isVisible('#finger-0'));
    assert.ok(await page.isVisible('#finger-1'));
    const mirrored = await onCanvas(page, middle.x - to.x, middle.y - to.y);
    const marker = await page.locator('#finger-1').boundingBox();
    assert.ok(Math.abs(marker.x + marker.width / 2 - mirrored.x) < 3, `marker at ${JSON.stringify(marker)}`);
    assert.ok(Math.abs(marker.y + marker.height / 2 - mirrored.y) < 3, `marker at ${JSON.stringify(marker)}`);
    await page.mouse.up();
    await page.keyboard.up('Alt');
    assert.ok(!(await page.isVisible('#finger-0')));
    await waitFor(`a zoom near ${wanted} and a quarter turn`, async () => {
      const now = zoomOf(await element('zoom-label'));
      const turned = (((angleOf(await element('angle-label')) - angle) % 360) + 360) % 360;
      return Math.abs(now - wanted) <= 0.1 * wanted && Math.abs(turned - 90) <= 5;
    });
    await page.close();
  });

  test('typing into the name field shows the text', async () => {
    const page = await openViewer();
    const field = await element('name-field');
    const at = await onCanvas(page, center(field).x, center(field).y);
    await page.mouse.click(at.x, at.y);
    await page.keyboard.type('hi 42');
    await page.keyboard.down('Shift');
    await page.keyboard.press('KeyX');
    await page.keyboard.up('Shift');
    await waitFor('the typed text', async () => (await element('name-field')).value === 'hi 42X');
    await page.keyboard.press('Backspace');
    await waitFor('a deleted letter', async () => (await element('name-field')).value === 'hi 42');
    await page.close();
  });

  test('holding Alt and pointing inspects an element', async () => {
    const page = await openViewer();
    const button = await element('tap-button');
    const at = await onCanvas(page, center(button).x, center(button).y);
    await page.keyboard.down('Alt');
    await waitFor('the inspector names the button', async () => {
      await page.mouse.move(at.x + Math.random(), at.y);
      return (await page.textContent('#inspect-identifier')) === 'tap-button';
    });
    assert.equal(await page.textContent('#inspect-label'), 'Tap me');
    assert.equal(await page.textContent('#inspect-type'), 'Button');
    assert.ok(await page.isVisible('#outline'));
    await page.keyboard.up('Alt');
    await page.close();
  });

  test('two pages watch at once', async () => {
    const pages = [await openViewer(), await openViewer()];
    const counts = await Promise.all(pages.map((page) => page.evaluate(() => window.viewerStats.frames)));
    // Both see the change a tap makes.
    const button = await element('tap-button');
    const at = await onCanvas(pages[0], center(button).x, center(button).y);
    await pages[0].mouse.click(at.x, at.y);
    for (const [index, page] of pages.entries()) {
      await page.waitForFunction((count) => window.viewerStats.frames > count, counts[index], {
        timeout: 10000,
      });
    }
    await Promise.all(pages.map((page) => page.close()));
  });

  test('requests without the token and sockets from another origin are refused', async () => {
    const base = new URL(url);
    const bare = `${base.origin}/`;
    for (const target of [bare, `${bare}viewer.js`, `${bare}?token=wrong`, `${bare}?token=`]) {
      const response = await fetch(target);
      assert.equal(response.status, 403, target);
    }
    assert.equal((await fetch(url)).status, 200);
    const page = await browser.newPage();
    // Another site in the same browser: the right token does not help it.
    await page.route('http://elsewhere.test/', (route) =>
      route.fulfill({ contentType: 'text/html', body: '<p>elsewhere</p>' })
    );
    await page.goto('http://elsewhere.test/');
    const outcomes = await page.evaluate(
      async ({ host, token }) => {
        const attempt = (path) =>
          new Promise((resolve) => {
            const socket = new WebSocket(`ws://${host}${path}`);
            socket.onopen = () => (socket.close(), resolve('opened'));
            socket.onerror = () => resolve('refused');
          });
        return [await attempt(`/live?token=${token}`), await attempt('/live')];
      },
      { host: base.host, token: base.searchParams.get('token') }
    );
    assert.deepEqual(outcomes, ['refused', 'refused']);
    // The page's own origin without the token is refused too.
    const own = await browser.newPage();
    await own.goto(url);
    assert.equal(
      await own.evaluate(
        (host) =>
          new Promise((resolve) => {
            const socket = new WebSocket(`ws://${host}/live`);
            socket.onopen = () => resolve('opened');
            socket.onerror = () => resolve('refused');
          }),
        base.host
      ),
      'refused'
    );
    await page.close();
    await own.close();
  });

  test('strangers holding connections open never keep a page with the token out', async () => {
    // Anyone on the machine may open connections: idle ones, and ones that send their headers a
    // byte a second and come back when dropped. Bounded: 200 sockets for 8 seconds, loopback only.
    const { hostname, port } = new URL(url);
    const sockets = new Set();
    let stopping = false;
    const stranger = (slow) => {
      if (stopping) return;
      const socket = net.connect({ host: hostname, port: Number(port) });
      sockets.add(socket);
      let timer = null;
      if (slow) {
        const header = 'GET / HTTP/1.1\r\nHost: x\r\n';
        let at = 0;
        timer = setInterval(() => socket.writable && at < header.length && socket.write(header[at++]), 1000);
      }
      socket.on('error', () => {});
      socket.on('close', () => {
        clearInterval(timer);
        sockets.delete(socket);
        setTimeout(() => stranger(slow), 50);
      });
    };
    for (let i = 0; i < 200; ++i) stranger(i % 2 === 1);
    try {
      await new Promise((resolve) => setTimeout(resolve, 500));
      const started = Date.now();
      const outcomes = [];
      while (Date.now() - started < 8000) {
        const asked = Date.now();
        const status = await fetch(url, { signal: AbortSignal.timeout(5000) })
          .then((response) => response.status)
          .catch((error) => error.name);
        outcomes.push({ status, ms: Date.now() - asked });
        await new Promise((resolve) => setTimeout(resolve, 250));
      }
      assert.ok(outcomes.length >= 5, JSON.stringify(outcomes));
      assert.deepEqual(
        outcomes.filter((outcome) => outcome.status !== 200),
        [],
        `every request with the token gets the page: ${JSON.stringify(outcomes)}`
      );
      const page = await openViewer();
      await page.close();
    } finally {
      stopping = true;
      for (const socket of sockets) socket.destroy();
    }
  });

  test('a viewer bound beyond the loopback warns that it is reachable unencrypted', async () => {
    const outside = start('tavrel-client', ['--socket', socketPath, 'view', '--port', '0', '--bind', '0.0.0.0']);
    await waitFor('the viewer prints its URL', () => outside.output.includes('http://'));
    assert.match(outside.errors, /warning: a viewer on 0\.0\.0\.0 is reachable from other machines/);
    outside.kill('SIGTERM');
    await outside.ended;
    assert.doesNotMatch(viewer.errors, /warning/);
  });

  test('messages the viewer cannot use are refused or dropped, and it goes on answering', async () => {
    const page = await openViewer();
    const answers = await page.evaluate(async (token) => {
      const socket = new WebSocket(`ws://${location.host}/live?token=${token}`);
      const answers = {};
      socket.onmessage = (event) => {
        if (typeof event.data !== 'string') return;
        const message = JSON.parse(event.data);
        if (message.type === 'answer') answers[message.id] = message;
      };
      await new Promise((resolve) => (socket.onopen = resolve));
      for (const text of [
        'not json',
        '[1,2]',
        '{"op":"hid"}',
        '{"id":-1,"op":"clock"}',
        '{"id":1,"op":3}',
        '{"id":2,"op":"hid","events":[],"trace":"yes"}',
        '{"id":3,"op":"hid","events":[],"trace":1}',
        '{"id":4,"op":"stream"}',
        '{"id":5,"op":"hid","events":{}}',
        '{"id":6,"op":"clock"}',
      ]) {
        socket.send(text);
      }
      // An answer to a dropped message would come before the clock's, which is answered at once.
      const all = () => [2, 3, 4, 5, 6].every((id) => answers[id]);
      const deadline = performance.now() + 20000;
      while (!all() && performance.now() < deadline) await new Promise((resolve) => setTimeout(resolve, 50));
      socket.close();
      return answers;
    }, new URL(url).searchParams.get('token'));
    assert.deepEqual(Object.keys(answers).sort(), ['2', '3', '4', '5', '6']);
    for (const id of [2, 3]) assert.equal(answers[id].ok, true, `hid ${id}`);
    for (const id of [4, 5]) assert.equal(answers[id].status, 400, `refused ${id}`);
    assert.ok(answers[6].json.monotonic_ms > 0);
    await page.close();
  });

  test('a page that keeps asking and never reads is let go', async () => {
    // A WebSocket of our own that sends "clock" requests (each answered at once) and reads
    // nothing: the answers waiting for it must not grow without bound in the viewer.
    const { host, searchParams } = new URL(url);
    const [address, port] = [host.slice(0, host.lastIndexOf(':')), Number(host.slice(host.lastIndexOf(':') + 1))];
    const socket = net.createConnection({ host: address, port });
    await new Promise((resolve, reject) => socket.once('connect', resolve).once('error', reject));
    socket.write(
      `GET /live?token=${searchParams.get('token')} HTTP/1.1\r\nHost: ${host}\r\nOrigin: http://${host}\r\n` +
        'Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\n' +
        'Sec-WebSocket-Version: 13\r\n\r\n'
    );
    const head = await new Promise((resolve) => socket.once('data', (data) => resolve(data.toString())));
    assert.match(head, /^HTTP\/1\.1 101/);
    socket.pause();
    const closed = new Promise((resolve) => socket.once('close', resolve));
    socket.on('error', () => {});
    // A masked text frame, as a browser sends one.
    const message = (text) => {
      const body = Buffer.from(text);
      const mask = Buffer.from([1, 2, 3, 4]);
      return Buffer.concat([Buffer.from([0x81, 0x80 | body.length]), mask, body.map((byte, i) => byte ^ mask[i % 4])]);
    };
    const deadline = Date.now() + 30000;
    let sent = 0;
    while (!socket.destroyed && Date.now() < deadline) {
      const batch = [];
      for (let i = 0; i < 1000; i++) batch.push(message(JSON.stringify({ id: ++sent, op: 'clock' })));
      if (!socket.write(Buffer.concat(batch))) {
        await Promise.race([new Promise((resolve) => socket.once('drain', resolve)), closed]);
      }
    }
    assert.ok(socket.destroyed, `still open after ${sent} requests`);
    await closed;
    // Others are served as before.
    const page = await openViewer();
    await page.close();
  });

  test('"Save the last 3 seconds" downloads them as an MP4 that plays', async () => {
    const page = await openViewer({ acceptDownloads: true });
    const button = page.locator('#save-replay');
    await button.waitFor({ state: 'visible' });
    assert.equal(await button.textContent(), 'Save the last 3 seconds');
    await page.click('#video');
    const [download] = await Promise.all([page.waitForEvent('download', { timeout: 60000 }), button.click()]);
    assert.match(download.suggestedFilename(), /^replay-.*\.mp4$/);
    const file = join(home, 'saved-replay.mp4');
    await download.saveAs(file);
    const { stdout } = await run('ffprobe', [
      '-v', 'error', '-select_streams', 'v:0', '-show_entries', 'stream=codec_name:format=duration',
      '-of', 'json', file,
    ]);
    const probed = JSON.parse(stdout);
    assert.equal(probed.streams[0].codec_name, 'h264');
    const seconds = Number(probed.format.duration);
    assert.ok(seconds > 0 && seconds <= 3 + 1 / 30 + 0.01, `${seconds} s`);
    assert.equal(await page.evaluate(() => window.viewerStats.replays), 1);
    await page.close();
  });

  test('a helper that keeps no replay shows no button, and the viewer refuses to save one', async () => {
    const plainSocket = join(home, 'plain.sock');
    const plain = start('tavrel-helper', ['serve', '--udid', udid, '--socket', plainSocket]);
    await waitFor('the second helper serves', async () => {
      if (plain.exitCode !== null) throw new Error(`the helper ended: ${plain.errors}`);
      return existsSync(plainSocket) && (await tool('tavrel-client', '--socket', plainSocket, 'describe'));
    });
    const second = start('tavrel-client', ['--socket', plainSocket, 'view', '--port', '0']);
    const address = await waitFor('the viewer prints its URL', () =>
      second.output.split('\n').find((text) => text.startsWith('http://')));
    const page = await browser.newPage();
    await page.goto(address.trim());
    await page.waitForFunction(() => window.viewerStats?.screen !== null, null, { timeout: 20000 });
    assert.equal(await page.locator('#save-replay').isHidden(), true);
    const refused = await page.evaluate(async () => {
      const response = await fetch(`/replay.mp4${location.search}`);
      return [response.status, await response.text()];
    });
    assert.deepEqual(refused, [409, 'the helper keeps no replay: start it with --replay-seconds N\n']);
    await page.close();
    second.kill('SIGINT');
    assert.equal((await second.ended).code, 0);
    plain.kill('SIGTERM');
    await plain.ended;
  });

  test('the home button leaves the app', async () => {
    const page = await openViewer();
    await page.click('#home');
    await waitFor('the home screen', async () => {
      const items = await elements();
      return !items.some((item) => item.identifier === 'tap-button') &&
        items.some((item) => item.label === 'Demo');
    });
    await page.close();
  });

  test('a page reconnects, and Ctrl-C stops the viewer and leaves the helper serving', async () => {
    const page = await openViewer();
    viewer.kill('SIGINT');
    assert.deepEqual(await viewer.ended, { code: 0, signal: null });
    await page.waitForFunction(() => /reconnecting/.test(document.getElementById('notice').textContent));
    assert.ok(JSON.parse(await client('describe')).width_pt > 0);
    // A viewer started again on the same port serves under a new token.
    const port = new URL(url).port;
    const again = start('tavrel-client', ['--socket', socketPath, 'view', '--port', port]);
    await waitFor('the second viewer', () => again.output.includes('http://'));
    const token = new URL(again.output.trim()).searchParams.get('token');
    // The old page holds the old token and stays refused; with the new URL it watches again.
    await page.goto(again.output.trim());
    await page.waitForFunction(() => window.viewerStats.frames > 0, null, { timeout: 20000 });
    assert.ok(token);
    again.kill('SIGINT');
    assert.equal((await again.ended).code, 0);
    await page.close();
  });
});
