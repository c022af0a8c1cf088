// tavrel-client mcp through the official Model Context Protocol client (and, for what no client
// sends, raw lines on its standard input), against simulated iPhones booted in a temporary HOME.
// Run by ctest: TAVREL_BINARY_DIR names the build tree.

import { after, before, describe, test } from 'node:test';
import assert from 'node:assert/strict';
import { execFile } from 'node:child_process';
import { existsSync, writeFileSync, readdirSync, readFileSync } from 'node:fs';
import { join } from 'node:path';
import { promisify } from 'node:util';
import { Client, ProtocolError } from '@modelcontextprotocol/client';
import { StdioClientTransport } from '@modelcontextprotocol/client/stdio';
import { simulatedHome, waitFor } from '../Support/simulated.mjs';

const run = promisify(execFile);

const toolNames = [
  'list_devices', 'screenshot', 'ui_tree', 'find_elements', 'tap', 'swipe', 'type_text',
  'press_key', 'press_button', 'wait_for', 'record_start', 'record_stop', 'save_replay',
];

// ---- devices, helpers, servers ------------------------------------------------------------------

const simulated = simulatedHome('tavrel-mcp-');
const { home, env, program, tool, start } = simulated;
const socketA = join(home, 'a.sock');
const clients = [];
let udidA = null;
let udidB = null;

// The helper processes serving `udid`, found by their command lines.
function helpersOf(udid) {
  const found = [];
  for (const pid of readdirSync('/proc').filter((name) => /^\d+$/.test(name))) {
    try {
      const words = readFileSync(`/proc/${pid}/cmdline`, 'utf8').split('\0');
      if (words[0].endsWith('tavrel-helper') && words.includes(udid)) found.push(pid);
    } catch {
      // the process ended while we looked
    }
  }
  return found;
}

async function connect(mode, args, options = {}) {
  const transport = new StdioClientTransport({
    command: program('tavrel-client'),
    args,
    env,
    stderr: 'pipe',
  });
  let errors = '';
  transport.stderr?.on('data', (data) => (errors += data));
  const client = new Client(
    { name: 'tavrel-mcp-tests', version: '1.0.0' },
    { versionNegotiation: { mode }, ...options },
  );
  try {
    await client.connect(transport);
  } catch (error) {
    error.message += `\nserver's standard error:\n${errors}`;
    throw error;
  }
  client.errors = () => errors;
  clients.push(client);
  return client;
}

const served = () => ['--socket', socketA, 'mcp'];

function text(result) {
  return result.content.filter((block) => block.type === 'text').map((block) => block.text).join('\n');
}

async function call(client, name, args = {}, options = {}) {
  const result = await client.callTool({ name, arguments: args }, options);
  assert.ok(!result.isError, `${name} failed: ${text(result)}`);
  return result;
}

async function taps(client, device) {
  const tree = text(await call(client, 'ui_tree', device ? { device } : {}));
  const found = tree.match(/"Taps: (\d+)" #tap-count/);
  assert.ok(found, `no tap count in:\n${tree}`);
  return Number(found[1]);
}

async function probe(file) {
  const { stdout } = await run('ffprobe', [
    '-v', 'error', '-count_frames', '-select_streams', 'v:0',
    '-show_entries', 'stream=codec_name,width,height,nb_read_frames:format=duration',
    '-of', 'json', file,
  ]);
  const report = JSON.parse(stdout);
  return { ...report.streams[0], duration: Number(report.format?.duration) };
}

async function protocolError(promise) {
  try {
    await promise;
  } catch (error) {
    assert.ok(error instanceof ProtocolError, `not a protocol error: ${error}`);
    return error;
  }
  assert.fail('the call succeeded');
}

before(async () => {
  udidA = await simulated.bootDevice('MCP iPhone', 'iPhone-15-Pro');
  await simulated.serve(udidA, socketA, ['--replay-seconds', '3']);
  udidB = await simulated.bootDevice('Second iPhone', 'iPhone-SE');
});

after(async () => {
  for (const client of clients) await client.close().catch(() => {});
  await simulated.cleanUp();
});

// ---- through the official client ----------------------------------------------------------------

describe('tavrel-client mcp', { concurrency: false }, () => {
  test('each way the client connects lands in its era with a valid tool list', async () => {
    const ways = [
      ['legacy', 'legacy', {}],
      ['auto', 'modern', {}],
      [{ pin: '2026-07-28' }, 'modern', {}],
      // A newer version first: the server's -32022 names the versions it speaks, and the
      // client corrects itself to 2026-07-28.
      ['auto', 'modern', { supportedProtocolVersions: ['2027-01-01', '2026-07-28', '2025-11-25'] }],
    ];
    for (const [mode, era, options] of ways) {
      const client = await connect(mode, served(), options);
      assert.equal(client.getProtocolEra(), era, `mode ${JSON.stringify(mode)}`);
      assert.equal(client.getServerVersion()?.name, 'tavrel-client');
      const { tools } = await client.listTools();
      assert.deepEqual(tools.map((item) => item.name), toolNames);
      for (const item of tools) {
        assert.equal(item.inputSchema.type, 'object', item.name);
        assert.equal(item.inputSchema.additionalProperties, false, item.name);
        for (const hint of ['readOnlyHint', 'destructiveHint', 'openWorldHint']) {
          assert.equal(typeof item.annotations[hint], 'boolean', `${item.name} ${hint}`);
        }
      }
      assert.equal(tools.find((item) => item.name === 'ui_tree').annotations.readOnlyHint, true);
      assert.equal(tools.find((item) => item.name === 'tap').annotations.readOnlyHint, false);
      assert.match(text(await call(client, 'ui_tree')), /Button "Tap me" #tap-button @/);
      await client.close();
    }
    // Offered only a newer version, the client learns from -32022 which one the server speaks
    // and does not fall back to the handshake of a server that has the newer era.
    await assert.rejects(
      connect('auto', served(), { supportedProtocolVersions: ['2027-01-01', '2025-11-25'] }),
      (error) => {
        assert.equal(error.code, -32022, String(error));
        assert.deepEqual([error.supported, error.requested], [['2026-07-28'], '2027-01-01']);
        return true;
      },
    );
  });

  test('a screenshot decodes to the size it promises', async () => {
    const client = await connect('legacy', served());
    const screen = JSON.parse(text(await call(client, 'list_devices')))[0].screen;
    const cases = [
      [{}, screen.width_pt, screen.height_pt],
      [{ crop: { x: 20, y: 100, width: 200, height: 100 } }, 200, 100],
      [{ max_width: 120, quality: 50 }, 120, Math.round((120 * screen.height_px) / screen.width_px)],
    ];
    for (const [args, width, height] of cases) {
      const result = await call(client, 'screenshot', args);
      const image = result.content.find((block) => block.type === 'image');
      assert.equal(image.mimeType, 'image/jpeg');
      const promised = JSON.parse(result.content.find((block) => block.type === 'text').text);
      const file = join(home, 'shot.jpg');
      writeFileSync(file, Buffer.from(image.data, 'base64'));
      const decoded = await probe(file);
      assert.equal(decoded.codec_name, 'mjpeg');
      assert.deepEqual([decoded.width, decoded.height], [promised.width, promised.height]);
      assert.ok(Math.abs(decoded.width - width) <= 1, `width ${decoded.width}, wanted ${width}`);
      assert.ok(Math.abs(decoded.height - height) <= 1, `height ${decoded.height}, wanted ${height}`);
      assert.ok(JSON.stringify(result).length < 1000000);
    }
    await client.close();
  });

  test('a tap on tap-button by identifier changes "Taps: N"', async () => {
    const client = await connect({ pin: '2026-07-28' }, served());
    const before = await taps(client);
    const result = await call(client, 'tap', { element: 'tap-button', screenshot_after: true });
    assert.match(text(result), /tapped at \(\d+(\.\d)?, \d+(\.\d)?\) on Button "Tap me"/);
    assert.ok(result.content.some((block) => block.type === 'image'), 'the settled screen');
    await waitFor('the count grows', async () => (await taps(client)) === before + 1);
    // An element named by a label several elements share is refused with the candidates.
    const many = await client.callTool({ name: 'tap', arguments: { element: 'Row' } });
    assert.equal(many.isError, true);
    assert.match(text(many), /no element has the identifier or label "Row"; elements whose label contains it:\n {2}Cell "Row 1"/);
    await client.close();
  });

  test('typing reaches the name field', async () => {
    const client = await connect('auto', served());
    await call(client, 'tap', { element: 'name-field' });
    await call(client, 'type_text', { text: 'Hello MCP' });
    const found = await call(client, 'wait_for', { element: 'name-field', state: 'value', value: 'Hello MCP' });
    assert.match(text(found), /#name-field ="Hello MCP"/);
    await call(client, 'press_key', { key: 'return' });
    const unknown = await protocolError(client.callTool({ name: 'press_key', arguments: { key: 'hyper' } }));
    assert.equal(unknown.code, -32602);
    assert.match(unknown.message, /key is not a key name: hyper/);
    await client.close();
  });

  test('wait_for sees an element appear, reports what the screen showed, and stops when cancelled', async () => {
    const client = await connect('legacy', served());
    const next = `Taps: ${(await taps(client)) + 1}`;
    const waiting = client.callTool({ name: 'wait_for', arguments: { element: next, timeout_s: 20 } });
    // Another client of the same helper taps.
    await tool('tavrel-client', '--socket', socketA, 'tap', '--element', 'tap-button');
    const appeared = await waiting;
    assert.ok(!appeared.isError, text(appeared));
    assert.match(text(appeared), new RegExp(`StaticText "${next}" #tap-count`));

    const missing = await client.callTool({ name: 'wait_for', arguments: { element: 'no-such-thing', timeout_s: 0.3 } });
    assert.equal(missing.isError, true);
    assert.match(text(missing), /"no-such-thing" did not appear within 0.3 s; the screen showed:\n.*#tap-button/s);

    const controller = new AbortController();
    const started = Date.now();
    const cancelled = client.callTool(
      { name: 'wait_for', arguments: { element: 'never-there', timeout_s: 60 } },
      { signal: controller.signal },
    );
    setTimeout(() => controller.abort('no longer wanted'), 200);
    await assert.rejects(cancelled);
    // The server stopped waiting: the next call is answered long before the 60 s are up.
    await call(client, 'list_devices');
    assert.ok(Date.now() - started < 15000, `${Date.now() - started} ms`);
    await client.close();
  });

  test('a recording with marks plays in ffprobe', async () => {
    const client = await connect('legacy', served());
    const file = join(home, 'marked.mp4');
    await call(client, 'record_start', { path: file, marks: true, fps: 30, scale: 0.5 });
    const again = await client.callTool({ name: 'record_start', arguments: { path: file } });
    assert.equal(again.isError, true);
    await call(client, 'tap', { element: 'tap-button', screenshot_after: true });
    await call(client, 'swipe', { element: 'row-3', direction: 'up', distance: 150, seconds: 0.4 });
    await call(client, 'swipe', { x1: 196, y1: 450, x2: 196, y2: 650, seconds: 0.4, screenshot_after: true });
    const report = JSON.parse(text(await call(client, 'record_stop')));
    assert.equal(report.touches, 3);
    assert.equal(report.marks, true);
    const [written] = report.files;
    assert.equal(written.path, file);
    const played = await probe(file);
    assert.equal(played.codec_name, 'h264');
    assert.deepEqual([played.width, played.height], [written.width, written.height]);
    assert.ok(Number(played.nb_read_frames) > 10, `${played.nb_read_frames} frames`);
    assert.ok(played.duration > 0.5 && Math.abs(played.duration - written.duration_s) < 0.2);
    const none = await client.callTool({ name: 'record_stop', arguments: {} });
    assert.equal(none.isError, true);
    assert.match(text(none), /no recording runs on this device/);
    await client.close();
  });

  test('save_replay writes the last seconds with their touches, or says how to keep them', async () => {
    const client = await connect('auto', ['mcp', '--socket', socketA, '--udid', udidB]);
    await call(client, 'tap', { device: socketA, element: 'tap-button' });
    const file = join(home, 'replay.mp4');
    const gif = join(home, 'replay.gif');
    const report = JSON.parse(text(await call(client, 'save_replay', { device: socketA, path: file, gif })));
    assert.ok(report.touches >= 1, `touches: ${report.touches}`);
    assert.deepEqual(report.files.map((written) => written.path), [file, gif]);
    const played = await probe(file);
    assert.equal(played.codec_name, 'h264');
    assert.ok(played.duration > 0 && played.duration <= 3 + 1 / 30 + 0.01, `${played.duration} s`);
    const { stdout } = await run('gifsicle', ['--info', gif]);
    // A still screen is one picture held: a GIF of one image or more.
    assert.match(stdout, /^\* .*replay\.gif \d+ images?\n/);
    const refused = await client.callTool({ name: 'save_replay', arguments: { device: udidB, path: join(home, 'b.mp4') } });
    assert.equal(refused.isError, true);
    assert.equal(text(refused), 'the helper keeps no replay: start it with --replay-seconds N (status 409)');
    assert.equal(existsSync(join(home, 'b.mp4')), false);
    const named = await protocolError(client.callTool({ name: 'save_replay', arguments: { device: socketA, path: join(home, 'r.mov') } }));
    assert.match(named.message, /path must end in \.mp4/);
    await client.close();
    await waitFor('the helper of B is gone', () => helpersOf(udidB).length === 0);
  });

  test('two devices are kept apart, and --udid starts and stops its own helper', async () => {
    const client = await connect('auto', ['mcp', '--socket', socketA, '--udid', udidB]);
    const devices = JSON.parse(text(await call(client, 'list_devices')));
    assert.deepEqual(devices.map((device) => device.device), [socketA, udidB]);
    assert.equal(devices[1].screen.width_pt, 375, 'the second is an iPhone SE');
    const unnamed = await protocolError(client.callTool({ name: 'ui_tree', arguments: {} }));
    assert.equal(unnamed.code, -32602);
    assert.match(unnamed.message, /device is required: this server drives 2 devices/);
    const unknown = await protocolError(client.callTool({ name: 'tap', arguments: { device: 'nope', x: 1, y: 1 } }));
    assert.match(unknown.message, /device nope is not served here/);
    const [a, b] = [await taps(client, socketA), await taps(client, udidB)];
    await call(client, 'tap', { device: udidB, element: 'tap-button' });
    await waitFor('B counts the tap', async () => (await taps(client, udidB)) === b + 1);
    assert.equal(await taps(client, socketA), a, 'A saw no tap');
    assert.equal(helpersOf(udidB).length, 1);
    await client.close();
    await waitFor('the helper of B is gone', () => helpersOf(udidB).length === 0);
  });

  test('errors of the protocol come back as errors, the device\'s as isError results', async () => {
    const client = await connect('legacy', served());
    const cases = [
      [{ name: 'no_such_tool', arguments: {} }, /Unknown tool: no_such_tool/],
      [{ name: 'tap', arguments: { x: 'left', y: 3 } }, /x must be of type number/],
      [{ name: 'tap', arguments: { x: 3 } }, /y is required/],
      [{ name: 'tap', arguments: { x: 1, y: 2, pressure: 3 } }, /pressure is not an argument of this tool/],
      [{ name: 'screenshot', arguments: { quality: 500 } }, /quality must be at most 100/],
      [{ name: 'screenshot', arguments: { crop: { x: 0, y: 0, width: 10 } } }, /crop.height is required/],
      [{ name: 'wait_for', arguments: { element: 'x', timeout_s: 61 } }, /timeout_s must be at most 60/],
      [{ name: 'record_start', arguments: { path: join(home, 'x.mov') } }, /path must end in .mp4/],
    ];
    for (const [params, message] of cases) {
      const error = await protocolError(client.callTool(params));
      assert.equal(error.code, -32602, params.name);
      assert.match(error.message, message);
    }
    const refused = await client.callTool({ name: 'screenshot', arguments: { crop: { x: 0, y: 0, width: 0, height: 10 } } });
    assert.equal(refused.isError, true);
    assert.match(text(refused), /\(status 400\)$/);
    const untypable = await client.callTool({ name: 'type_text', arguments: { text: 'a!' } });
    assert.equal(untypable.isError, true);
    assert.match(text(untypable), /type knows letters, digits and spaces, not !/);
    await client.ping();
    await client.close();
  });
});

// ---- raw lines, as no client sends them ---------------------------------------------------------

// A server on pipes of our own: send a line, read the answers line by line.
function rawServer(args) {
  const child = start('tavrel-client', args, { stdin: 'pipe' });
  const lines = [];
  let waiting = null;
  let buffer = '';
  child.stdout.on('data', (data) => {
    buffer += data;
    let newline;
    while ((newline = buffer.indexOf('\n')) >= 0) {
      lines.push(buffer.slice(0, newline));
      buffer = buffer.slice(newline + 1);
      waiting?.();
    }
  });
  const next = async () => {
    const deadline = Date.now() + 20000;
    while (lines.length === 0) {
      if (Date.now() > deadline) assert.fail(`no answer; standard error:\n${child.errors}`);
      await new Promise((resolve) => {
        waiting = resolve;
        setTimeout(resolve, 100);
      });
    }
    return JSON.parse(lines.shift());
  };
  const send = (line) => child.stdin.write(`${line}\n`);
  const ask = async (message) => {
    send(JSON.stringify({ jsonrpc: '2.0', ...message }));
    return next();
  };
  return { child, send, next, ask, lines };
}

describe('tavrel-client mcp on raw lines', { concurrency: false }, () => {
  test('each kind of bad input gets its answer and the server goes on', async () => {
    const server = rawServer(served());
    const meta = (version) => ({ _meta: { 'io.modelcontextprotocol/protocolVersion': version, 'io.modelcontextprotocol/clientCapabilities': {} } });
    const early = await server.ask({ id: 1, method: 'tools/list' });
    assert.equal(early.error.code, -32600, 'a handshake-era request before initialize');
    for (const [asked, agreed] of [['2024-11-05', '2024-11-05'], ['2025-06-18', '2025-06-18'], ['1999-01-01', '2025-11-25'], ['2026-07-28', '2025-11-25']]) {
      const answer = await server.ask({ id: 'init', method: 'initialize', params: { protocolVersion: asked, capabilities: {}, clientInfo: { name: 'raw', version: '0' } } });
      assert.equal(answer.result.protocolVersion, agreed, `asked ${asked}`);
    }
    server.send(JSON.stringify({ jsonrpc: '2.0', method: 'notifications/initialized' }));
    const lines = [
      ['{"jsonrpc":"2.0","id":2,"method":"tools/list"', null, -32700],
      ['not json at all', null, -32700],
      ['[{"jsonrpc":"2.0","id":3,"method":"ping"}]', null, -32600],
      ['42', null, -32600],
      ['{"jsonrpc":"2.0","id":4}', 4, -32600],
      ['{"jsonrpc":"1.0","id":5,"method":"ping"}', 5, -32600],
      ['{"jsonrpc":"2.0","id":6,"method":7}', 6, -32600],
      ['{"jsonrpc":"2.0","id":{"a":1},"method":"ping"}', null, -32600],
      ['{"jsonrpc":"2.0","id":7,"method":"tools/call","params":[1]}', 7, -32600],
      ['{"jsonrpc":"2.0","id":8,"method":"resources/list"}', 8, -32601],
      ['{"jsonrpc":"2.0","id":9,"method":"tools/call","params":{"name":"tap","arguments":{"x":"1","y":2}}}', 9, -32602],
      ['{"jsonrpc":"2.0","id":10,"method":"tools/call","params":{"arguments":{}}}', 10, -32602],
      [`{"jsonrpc":"2.0","id":11,"method":"x","params":{"pad":"${'x'.repeat(5 * 1024 * 1024)}"}}`, null, -32600],
    ];
    for (const [line, id, code] of lines) {
      server.send(line);
      const answer = await server.next();
      assert.equal(answer.error?.code, code, line.slice(0, 80));
      assert.equal(answer.id, id, line.slice(0, 80));
      // Still serving.
      assert.deepEqual((await server.ask({ id: 'p', method: 'ping' })).result, {});
    }
    const overlong = lines.at(-1);
    assert.ok(overlong);
    // The 2026-07-28 era on the same process: a version it does not speak, discovery, a call.
    const unsupported = await server.ask({ id: 12, method: 'tools/list', params: meta('2099-01-01') });
    assert.equal(unsupported.error.code, -32022);
    assert.deepEqual(unsupported.error.data, { supported: ['2026-07-28'], requested: '2099-01-01' });
    const discovered = await server.ask({ id: 13, method: 'server/discover', params: meta('2026-07-28') });
    assert.deepEqual(discovered.result.supportedVersions, ['2026-07-28']);
    assert.equal(discovered.result.resultType, 'complete');
    const listed = await server.ask({ id: 14, method: 'tools/list', params: meta('2026-07-28') });
    assert.equal(listed.result.tools.length, toolNames.length);
    assert.equal(listed.result.resultType, 'complete');
    assert.equal(listed.result._meta['io.modelcontextprotocol/serverInfo'].name, 'tavrel-client');
    server.child.stdin.end();
    assert.deepEqual(await server.child.ended, { code: 0, signal: null });
    assert.equal(server.lines.length, 0, 'nothing but answers on standard output');
  });

  test('the end of input finishes a recording before the server exits', async () => {
    const server = rawServer(served());
    await server.ask({ id: 1, method: 'initialize', params: { protocolVersion: '2025-11-25', capabilities: {}, clientInfo: { name: 'raw', version: '0' } } });
    const file = join(home, 'unfinished.mp4');
    const started = await server.ask({ id: 2, method: 'tools/call', params: { name: 'record_start', arguments: { path: file } } });
    assert.ok(!started.result.isError, JSON.stringify(started));
    const tapped = await server.ask({ id: 3, method: 'tools/call', params: { name: 'tap', arguments: { element: 'tap-button', screenshot_after: true } } });
    assert.ok(!tapped.result.isError, JSON.stringify(tapped.result.content[0]));
    server.child.stdin.end();
    assert.deepEqual(await server.child.ended, { code: 0, signal: null });
    const played = await probe(file);
    assert.equal(played.codec_name, 'h264');
    assert.ok(Number(played.nb_read_frames) > 0);
  });
});
