'use strict';
// The client against the real program and a private sound server.

const assert = require('node:assert/strict');
const { spawn } = require('node:child_process');
const { once } = require('node:events');
const fs = require('node:fs');
const path = require('node:path');
const { after, before, describe, test } = require('node:test');

const { record, checkPermissions, RecorderError } = require('system-audio-recorder');
const {
  PROGRAM,
  NOWHERE,
  SoundServer,
  withEnv,
  scratchDir,
  topLevelBoxes,
  duration,
  processGone,
  waitFor,
} = require('./support.js');

const STAMP = /^\d{4}-\d\d-\d\dT\d\d:\d\d:\d\dZ$/;
const TIMEOUT = 30000;

let server;
let out;
before(() => {
  server = new SoundServer('pulse');
  process.env.PULSE_SERVER = server.pulseServer;
  out = scratchDir();
});
after(() => {
  server.stop();
  fs.rmSync(out, { recursive: true, force: true });
});

describe('a recording', () => {
  test('queued requests are sent one at a time and answered in order', { timeout: TIMEOUT }, async () => {
    const rec = await record({ directory: out, filename: 'queued', binary: PROGRAM });
    assert.equal(rec.path, path.join(out, 'queued.m4a'));
    assert.match(rec.timestamp, STAMP);
    const ended = once(rec, 'end');

    // Sent at once, these would reach the program merged and reordered (SIGINT first).
    const answered = [];
    const requests = ['pause', 'pause', 'resume', 'resume', 'pause', 'stop'].map((kind) =>
      rec[kind]().then((value) => {
        answered.push(kind);
        return value;
      }),
    );
    const results = await Promise.all(requests);
    assert.deepEqual(answered, ['pause', 'pause', 'resume', 'resume', 'pause', 'stop']);
    assert.equal(results[5].code, 'RECORDING_STOPPED');
    assert.match(results[5].timestamp, STAMP);

    const [end] = await ended;
    assert.deepEqual(end, { code: 'RECORDING_STOPPED', response: results[5], exitCode: 0, signal: null });
    assert.deepEqual(await rec.stop(), results[5], 'a second stop gives the same answer');
    await assert.rejects(rec.pause(), { code: 'RECORDING_STOPPED' });
    assert.ok(fs.statSync(rec.path).size > 0);
  });

  test(
    "'end' reports a failure nobody asked about, and later requests fail with it",
    { timeout: TIMEOUT },
    async () => {
      const own = new SoundServer('pulse');
      try {
        const rec = withEnv({ PULSE_SERVER: own.pulseServer }, () =>
          record({ directory: out, filename: 'server-gone', binary: PROGRAM }),
        );
        const started = await rec;
        const ended = once(started, 'end');
        own.kill();
        const [end] = await ended;
        assert.equal(end.code, 'STREAM_ERROR');
        assert.equal(end.exitCode, 0);
        for (const request of ['pause', 'stop']) {
          await assert.rejects(
            started[request](),
            (error) => error instanceof RecorderError && error.code === 'STREAM_ERROR',
          );
        }
      } finally {
        own.stop();
      }
    },
  );

  test('ends cleanly when its host process goes away', { timeout: TIMEOUT }, async () => {
    const script = `
      const { record } = require(${JSON.stringify(require.resolve('system-audio-recorder'))});
      record({ directory: ${JSON.stringify(out)}, filename: 'host-gone', binary: ${JSON.stringify(PROGRAM)} })
        .then((rec) => process.stdout.write(JSON.stringify({ pid: rec.pid, path: rec.path }) + '\\n'));`;
    const host = spawn(process.execPath, ['-e', script], { stdio: ['ignore', 'pipe', 'inherit'] });
    const [line] = await once(host.stdout, 'data');
    const { pid, path: file } = JSON.parse(line);
    // Some audio in the file first: a recording without any stays in its fragmented form.
    await waitFor(() => topLevelBoxes(file).includes('moof'), 'a first fragment written');
    host.kill('SIGKILL');
    await waitFor(() => processGone(pid), 'the recorder ends after its host');
    // Finished: index at the front, no fragments left.
    assert.deepEqual(
      topLevelBoxes(file).filter((box) => box !== 'free'),
      ['ftyp', 'moov', 'mdat'],
    );
    assert.ok(duration(file) > 0);
  });
});

describe('failures reject with the code', () => {
  const cases = [
    {
      name: 'a missing directory',
      options: () => ({ directory: path.join(out, 'missing') }),
      code: 'AUDIO_FILE_CREATION_FAILED',
    },
    { name: 'no sound server', env: { PULSE_SERVER: NOWHERE }, code: 'NO_DISPLAY_FOUND' },
    { name: 'no directory', options: () => ({ directory: undefined }), code: 'NO_PATH_SPECIFIED' },
    { name: 'a missing program', options: () => ({ binary: '/nonexistent/system-audio-recorder' }), code: 'ENOENT' },
    { name: 'a program that says nothing', options: () => ({ binary: '/bin/true' }), code: 'PROCESS_ENDED' },
  ];
  for (const { name, options = () => ({}), env = {}, code } of cases) {
    test(name, { timeout: TIMEOUT }, async () => {
      const promise = withEnv(env, () => record({ directory: out, binary: PROGRAM, ...options() }));
      await assert.rejects(promise, (error) => {
        assert.ok(error instanceof Error);
        assert.equal(error.code, code, error.message);
        return true;
      });
    });
  }

  test('a failure carries the reason the program gave', { timeout: TIMEOUT }, async () => {
    const directory = path.join(out, 'missing');
    const error = await record({ directory, filename: 'x', binary: PROGRAM }).catch((e) => e);
    assert.equal(error.response.path, path.join(directory, 'x.m4a'));
    assert.ok(error.response.error);
    assert.equal(error.message, `AUDIO_FILE_CREATION_FAILED: ${error.response.error}`);
  });
});

describe('checkPermissions', () => {
  test('granted with a sound server, found on PATH by default', { timeout: TIMEOUT }, async () => {
    const env = { PATH: `${path.dirname(PROGRAM)}:${process.env.PATH}` };
    assert.deepEqual(await withEnv(env, () => checkPermissions()), { granted: true });
  });

  test('denied without one', { timeout: TIMEOUT }, async () => {
    const answer = withEnv({ PULSE_SERVER: NOWHERE }, () => checkPermissions({ binary: PROGRAM }));
    assert.deepEqual(await answer, { granted: false });
  });
});
