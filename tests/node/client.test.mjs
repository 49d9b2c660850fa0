// The Node client against a stand-in for the tool (fake-tool.sh), which ends, fails or hangs as
// each case needs: what the client makes of the tool's statuses, lines, file and signals.
import { test, after } from 'node:test';
import assert from 'node:assert/strict';
import { spawn } from 'node:child_process';
import { once } from 'node:events';
import { existsSync, mkdtempSync, readFileSync, rmSync, writeFileSync } from 'node:fs';
import { tmpdir } from 'node:os';
import { join } from 'node:path';
import { setTimeout as sleep } from 'node:timers/promises';
import { fileURLToPath } from 'node:url';
import { start } from '../../clients/node/index.mjs';

const client = new URL('../../clients/node/index.mjs', import.meta.url).href;
const tool = fileURLToPath(new URL('fake-tool.sh', import.meta.url));
const folder = mkdtempSync(join(tmpdir(), 'tarn-node-client-'));
after(() => rmSync(folder, { recursive: true, force: true }));
let files = 0;
const output = () => join(folder, `${++files}.wav`);
// Far past any wait below, even on a loaded machine: a promise that never settles fails here.
const limit = { timeout: 60_000 };

const startFake = (env, options) =>
  start({ output: output(), tool, ...options, env: { ...process.env, ...env } });

async function until(check, what) {
  for (const deadline = Date.now() + 30_000; !check(); await sleep(100)) {
    if (Date.now() > deadline) assert.fail(`still not ${what}`);
  }
}

test('a failing status rejects the start with its class, code and line', limit, async () => {
  for (const [status, name, code, line, message = line] of [
    [64, 'UsageError', 'EUSAGE', 'unknown arg: --loud'],
    [3, 'StartError', 'ESTART', 'start failed: Connection refused'],
    [4, 'PermissionError', 'EPERMISSION', 'start failed: access to record refused'],
    [70, 'TapError', 'EEXIT', 'out of sorts', 'tarn-audio-tap exited with status 70'],
  ]) {
    await assert.rejects(startFake({ FAKE_LINE: line, FAKE_STATUS: status }),
      { name, code, status, line, message });
  }
});

test('a file that stood at the path is not taken for the capture\'s own', limit, async () => {
  const path = output();
  writeFileSync(path, 'an older recording');
  // The tool runs a while before it fails, time enough for the client to see the old file.
  await assert.rejects(startFake({ FAKE_SLEEP: 1, FAKE_LINE: 'start failed: x', FAKE_STATUS: 3 },
    { output: path }), { name: 'StartError', code: 'ESTART' });
});

test('a start rejects if the tool ends before capturing, or is too slow', limit, async () => {
  await assert.rejects(startFake({}), { code: 'EEXIT', status: 0 });
  await assert.rejects(startFake({ FAKE_SLEEP: 60 }, { startTimeout: 1000 }),
    { code: 'ETIMEDOUT' });
});

test('stop() twice or after the end gives the status; one exit event', limit, async () => {
  const line = 'stream stopped with error: Connection terminated';
  const stopped = await startFake({ FAKE_TOUCH: 1, FAKE_SLEEP: 60 });
  const failed = await startFake({ FAKE_TOUCH: 1, FAKE_SLEEP: 60, FAKE_LINE: line,
    FAKE_STATUS: 2 });
  const exits = [stopped, failed].map((tap) => {
    const events = [];
    tap.on('exit', (...event) => events.push(event));
    return events;
  });
  failed.mute(); // the stand-in's cue to fail, as when the server ends the capture
  await once(failed, 'exit');
  const stops = [stopped.stop(), stopped.stop(), failed.stop(), failed.stop()];
  assert.deepEqual(await Promise.all(stops), [0, 0, 2, 2]);
  assert.deepEqual(exits[0], [[0, undefined]]);
  assert.equal(exits[1].length, 1);
  const [status, error] = exits[1][0];
  assert.equal(status, 2);
  assert.deepEqual([error.name, error.code, error.status, error.line, error.message],
    ['StreamError', 'ESTREAM', 2, line, line]);
});

test('a Node program that exits stops the tool it started', limit, async () => {
  const log = join(folder, 'term.log');
  const program = spawn(process.execPath, ['--input-type=module', '-e', `import { start } from
    '${client}'; await start(${JSON.stringify({ output: output(), tool })}); process.exit(0);`],
  { env: { ...process.env, FAKE_TOUCH: 1, FAKE_SLEEP: 60, FAKE_TERMLOG: log },
    detached: true, stdio: ['ignore', 'ignore', 'inherit'] });
  try {
    assert.deepEqual(await once(program, 'exit'), [0, null]);
    await until(() => existsSync(log) && readFileSync(log, 'utf8') === 'TERM\n', 'told to stop');
  } finally {
    // The program's own process group: the stand-in and its sleep, if they outlived it.
    try { process.kill(-program.pid, 'SIGKILL'); } catch { /* all ended already */ }
  }
});
