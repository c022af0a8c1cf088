// What the Node end-to-end tests share: the build's programs run in a temporary HOME, simulated
// iPhones booted there and served by tavrel-helper, the children started on the way (all stopped,
// the devices shut down and the HOME removed by `cleanUp`), and polling for a condition.

import assert from 'node:assert/strict';
import { spawn, execFile } from 'node:child_process';
import { mkdtempSync, rmSync, existsSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { promisify } from 'node:util';

const run = promisify(execFile);

// Polls `condition` until it gives something truthy, or fails after `seconds`.
export async function waitFor(what, condition, seconds = 20) {
  const deadline = Date.now() + seconds * 1000;
  let last;
  for (;;) {
    try {
      last = await condition();
      if (last) return last;
    } catch (error) {
      last = error;
    }
    if (Date.now() > deadline) assert.fail(`${what}: not within ${seconds} s (last: ${last})`);
    await new Promise((resolve) => setTimeout(resolve, 50));
  }
}

export async function stopChild(child) {
  if (child.exitCode !== null || child.signalCode !== null) return;
  child.kill('SIGTERM');
  await Promise.race([child.ended, new Promise((resolve) => setTimeout(resolve, 5000))]);
  if (child.exitCode === null && child.signalCode === null) child.kill('SIGKILL');
}

// A temporary HOME named after `prefix`, for the programs of the build tree in TAVREL_BINARY_DIR.
export function simulatedHome(prefix) {
  const build = process.env.TAVREL_BINARY_DIR;
  assert.ok(build, 'TAVREL_BINARY_DIR names the build tree');
  const home = mkdtempSync(join(tmpdir(), prefix));
  const env = { ...process.env, HOME: home };
  const children = [];
  const devices = [];

  const program = (name) => join(build, name);

  async function tool(name, ...args) {
    const { stdout } = await run(program(name), args, { env, timeout: 60000 });
    return stdout.trim();
  }

  // `stdin`: 'pipe' for a child the test writes to.
  function start(name, args, { stdin = 'ignore' } = {}) {
    const child = spawn(program(name), args, { env, stdio: [stdin, 'pipe', 'pipe'] });
    child.output = '';
    child.errors = '';
    child.stdout.on('data', (data) => (child.output += data));
    child.stderr.on('data', (data) => (child.errors += data));
    child.ended = new Promise((resolve) => child.on('exit', (code, signal) => resolve({ code, signal })));
    children.push(child);
    return child;
  }

  // Creates and boots a simulated iPhone; returns its UDID.
  async function bootDevice(name, model) {
    const udid = await tool('tavrel-simctl', 'create', name, model);
    devices.push(udid);
    await tool('tavrel-simctl', 'boot', udid);
    return udid;
  }

  // Starts a helper for `udid` on `socketPath` and returns it once it answers.
  // `more`: further options of serve, e.g. ['--replay-seconds', '3'].
  async function serve(udid, socketPath, more = []) {
    const helper = start('tavrel-helper', ['serve', '--udid', udid, '--socket', socketPath, ...more]);
    await waitFor('the helper serves', async () => {
      if (helper.exitCode !== null) throw new Error(`the helper ended: ${helper.errors}`);
      return existsSync(socketPath) && (await tool('tavrel-client', '--socket', socketPath, 'describe'));
    });
    return helper;
  }

  async function cleanUp() {
    for (const child of children.reverse()) await stopChild(child);
    for (const udid of devices) {
      await run(program('tavrel-simctl'), ['shutdown', udid], { env }).catch(() => {});
    }
    rmSync(home, { recursive: true, force: true });
  }

  return { home, env, program, tool, start, bootDevice, serve, cleanUp };
}
