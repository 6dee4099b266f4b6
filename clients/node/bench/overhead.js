'use strict';
// The client's overhead: how long after the program's line a promise settles.
//
//   node bench/overhead.js [RUNS]        (SAR_PROGRAM: the program; default build/system-audio-recorder)
//
// Against a private PulseAudio, alternates RUNS recordings made through the client and RUNS made by
// a bare driver (spawn, split lines, kill) as the peer, each held 200 ms (the client's also pauses
// and resumes first). Prints medians of
// - record() -> resolved vs spawn -> RECORDING_STARTED line, stop() -> resolved vs SIGINT ->
//   RECORDING_STOPPED line, in ms and as ratios;
// - the client's own lag for record(), pause(), resume() and stop(): from the arrival of the chunk
//   holding the line (seen by a listener put ahead of the client's on the program's stdout) to the
//   promise's continuation.

const childProcess = require('node:child_process');
const fs = require('node:fs');
const path = require('node:path');
const { performance } = require('node:perf_hooks');

// Wraps spawn before the client takes it, to see when each chunk of the program's output arrives.
const arrivals = [];
const realSpawn = childProcess.spawn;
childProcess.spawn = (...args) => {
  const child = realSpawn(...args);
  child.stdout.prependListener('data', (chunk) => arrivals.push({ t: performance.now(), text: String(chunk) }));
  return child;
};

const { record } = require('..');
const { PROGRAM, SoundServer, scratchDir } = require('../test/support.js');

const RUNS = Number(process.argv[2] || 20);
const HOLD_MS = 200;
const sleep = (ms) => new Promise((resolve) => setTimeout(resolve, ms));

function arrivalOf(text) {
  const found = arrivals.find((a) => a.text.includes(text));
  if (!found) throw new Error(`no ${text} seen`);
  return found.t;
}

async function throughClient(directory, n) {
  arrivals.length = 0;
  const t0 = performance.now();
  const rec = await record({ directory, filename: `client-${n}`, binary: PROGRAM });
  const started = performance.now();
  await rec.pause();
  const paused = performance.now();
  await rec.resume();
  const resumed = performance.now();
  await sleep(HOLD_MS);
  const t1 = performance.now();
  await rec.stop();
  const stopped = performance.now();
  return {
    start: started - t0,
    stop: stopped - t1,
    startLag: started - arrivalOf('"code":"RECORDING_STARTED"'),
    pauseLag: paused - arrivalOf('Recording paused.'),
    resumeLag: resumed - arrivalOf('Recording resumed.'),
    stopLag: stopped - arrivalOf('"code":"RECORDING_STOPPED"'),
  };
}

function throughBareDriver(directory, n) {
  return new Promise((resolve, reject) => {
    const t0 = performance.now();
    const child = realSpawn(PROGRAM, ['--record', directory, '--filename', `bare-${n}`], {
      stdio: ['ignore', 'pipe', 'ignore'],
    });
    let pending = '';
    let started;
    let t1;
    child.stdout.setEncoding('utf8');
    child.stdout.on('data', (chunk) => {
      pending += chunk;
      let newline;
      while ((newline = pending.indexOf('\n')) !== -1) {
        const line = pending.slice(0, newline);
        pending = pending.slice(newline + 1);
        if (line.includes('"code":"RECORDING_STARTED"')) {
          started = performance.now();
          setTimeout(() => {
            t1 = performance.now();
            child.kill('SIGINT');
          }, HOLD_MS);
        } else if (line.includes('"code":"RECORDING_STOPPED"')) {
          resolve({ start: started - t0, stop: performance.now() - t1 });
        } else if (line.startsWith('{')) {
          reject(new Error(line));
        }
      }
    });
  });
}

function median(values) {
  const sorted = [...values].sort((a, b) => a - b);
  const mid = sorted.length >> 1;
  return sorted.length % 2 ? sorted[mid] : (sorted[mid - 1] + sorted[mid]) / 2;
}

async function main() {
  const server = new SoundServer('pulse');
  process.env.PULSE_SERVER = server.pulseServer;
  const directory = scratchDir();
  const client = [];
  const bare = [];
  try {
    for (let n = 0; n < RUNS; n++) {
      client.push(await throughClient(directory, n));
      bare.push(await throughBareDriver(directory, n));
    }
  } finally {
    server.stop();
    fs.rmSync(directory, { recursive: true, force: true });
  }
  const m = (rows, key) => median(rows.map((row) => row[key]));
  const fmt = (ms) => ms.toFixed(2).padStart(8);
  console.log(`${RUNS} runs each, medians, program ${path.relative(process.cwd(), PROGRAM)}`);
  console.log(`                      client   bare driver   client/bare`);
  for (const key of ['start', 'stop']) {
    const label = key === 'start' ? 'record() -> started' : 'stop() -> stopped  ';
    console.log(
      `${label} ${fmt(m(client, key))} ms ${fmt(m(bare, key))} ms   ${(m(client, key) / m(bare, key)).toFixed(3)}`,
    );
  }
  const lag = (key) => `${m(client, key).toFixed(3)} ms (max ${Math.max(...client.map((r) => r[key])).toFixed(3)})`;
  console.log('client lag after the line, median (max):');
  for (const key of ['startLag', 'pauseLag', 'resumeLag', 'stopLag']) console.log(`  ${key.padEnd(10)} ${lag(key)}`);
}

main().catch((error) => {
  console.error(error);
  process.exitCode = 1;
});
