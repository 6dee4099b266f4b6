'use strict';
// Private sound servers and checks of the recorded file, for the client's tests and benchmark.

const { execFileSync } = require('node:child_process');
const fs = require('node:fs');
const os = require('node:os');
const path = require('node:path');

const REPO = path.resolve(__dirname, '../../..');
const PROGRAM = process.env.SAR_PROGRAM || path.join(REPO, 'build', 'system-audio-recorder');
const SOUND_SERVER = path.join(REPO, 'tests', 'support', 'sound-server');
// A socket path where nothing listens.
const NOWHERE = 'unix:/nonexistent/sar-node/native';

class SoundServer {
  constructor(kind = 'pulse') {
    // Short: a Unix socket path lives under it.
    this.dir = fs.mkdtempSync(path.join('/tmp', `sar-node-${kind}-`));
    execFileSync(SOUND_SERVER, ['start', kind, this.dir], { stdio: ['ignore', 'ignore', 'inherit'], timeout: 60000 });
    const line = fs.readFileSync(path.join(this.dir, 'env'), 'utf8').trim();
    this.pulseServer = line.slice(line.indexOf('=') + 1).replace(/^['"]|['"]$/g, '');
  }

  kill() {
    execFileSync(SOUND_SERVER, ['kill', this.dir], { stdio: 'ignore', timeout: 30000 });
  }

  stop() {
    execFileSync(SOUND_SERVER, ['stop', this.dir], { stdio: 'ignore', timeout: 30000 });
    fs.rmSync(this.dir, { recursive: true, force: true });
  }
}

// Runs fn with some environment variables changed; the program is spawned inside the call, so it
// sees them, and the rest of the tests do not.
function withEnv(vars, fn) {
  const saved = {};
  for (const key of Object.keys(vars)) {
    saved[key] = process.env[key];
    process.env[key] = vars[key];
  }
  try {
    return fn();
  } finally {
    for (const [key, value] of Object.entries(saved)) {
      if (value === undefined) delete process.env[key];
      else process.env[key] = value;
    }
  }
}

function scratchDir() {
  return fs.mkdtempSync(path.join(os.tmpdir(), 'sar-node-out-'));
}

// The types of an MP4 file's top-level boxes: a finished file has moov and no moof.
function topLevelBoxes(file) {
  const data = fs.readFileSync(file);
  const types = [];
  for (let at = 0; at + 8 <= data.length;) {
    let size = data.readUInt32BE(at);
    const type = data.toString('latin1', at + 4, at + 8);
    if (size === 1) size = Number(data.readBigUInt64BE(at + 8));
    else if (size === 0) size = data.length - at;
    if (size < 8) throw new Error(`${file}: a box of ${size} bytes at ${at}`);
    types.push(type);
    at += size;
  }
  return types;
}

// The audio duration in seconds, as ffprobe reads it.
function duration(file) {
  const out = execFileSync('ffprobe', ['-v', 'error', '-show_entries', 'format=duration', '-of', 'csv=p=0', file], {
    encoding: 'utf8',
  });
  return Number(out.trim());
}

function processGone(pid) {
  try {
    const stat = fs.readFileSync(`/proc/${pid}/stat`, 'utf8');
    return stat.slice(stat.lastIndexOf(')') + 2).startsWith('Z');
  } catch {
    return true;
  }
}

async function waitFor(condition, what, timeoutMs = 10000) {
  const deadline = Date.now() + timeoutMs;
  while (!condition()) {
    if (Date.now() > deadline) throw new Error(`${what}: not within ${timeoutMs} ms`);
    await new Promise((resolve) => setTimeout(resolve, 10));
  }
}

module.exports = {
  REPO,
  PROGRAM,
  NOWHERE,
  SoundServer,
  withEnv,
  scratchDir,
  topLevelBoxes,
  duration,
  processGone,
  waitFor,
};
